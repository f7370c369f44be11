#include "platform/dv/DifLayout.h"

#include <cstring>

namespace th::dif {

int sequencesPerFrame(System system)
{
    switch (system) {
    case System::Ntsc525_60: return 10;
    case System::Pal625_50: return 12;
    case System::None: break;
    }
    return 0;
}

std::size_t frameSize(System system)
{
    return static_cast<std::size_t>(sequencesPerFrame(system)) * kSequenceSize;
}

FrameRate frameRate(System system)
{
    switch (system) {
    case System::Ntsc525_60: return {30000, 1001};
    case System::Pal625_50: return {25, 1};
    case System::None: break;
    }
    return {0, 1};
}

int timecodeFramesPerSecond(System system)
{
    switch (system) {
    case System::Ntsc525_60: return 30;
    case System::Pal625_50: return 25;
    case System::None: break;
    }
    return 0;
}

int blocksOfSection(Section section)
{
    switch (section) {
    case Section::Header: return 1;
    case Section::Subcode: return kSubcodeBlocks;
    case Section::Vaux: return kVauxBlocks;
    case Section::Audio: return kAudioBlocks;
    case Section::Video: return kVideoBlocks;
    }
    return 0;
}

int blockIndex(Section section, int dbn)
{
    if (dbn < 0 || dbn >= blocksOfSection(section))
        return -1;
    switch (section) {
    case Section::Header: return 0;
    case Section::Subcode: return 1 + dbn;
    case Section::Vaux: return 3 + dbn;
    // Each of the nine rows is one audio block and fifteen video blocks.
    case Section::Audio: return 6 + 16 * dbn;
    case Section::Video: return 7 + dbn + dbn / 15;
    }
    return -1;
}

std::ptrdiff_t blockOffset(System system, int seq, Section section, int dbn)
{
    if (seq < 0 || seq >= sequencesPerFrame(system))
        return -1;
    const int index = blockIndex(section, dbn);
    if (index < 0)
        return -1;
    return static_cast<std::ptrdiff_t>(seq) * static_cast<std::ptrdiff_t>(kSequenceSize)
         + static_cast<std::ptrdiff_t>(index) * static_cast<std::ptrdiff_t>(kBlockSize);
}

void writeBlockId(std::uint8_t* p, const BlockId& id)
{
    // ID0: SCT (bits 7-5), reserved 1 (bit 4), Arb (bits 3-0).
    p[0] = static_cast<std::uint8_t>((static_cast<unsigned>(id.section) & 7u) << 5 | 0x10u
                                     | (static_cast<unsigned>(id.arb) & 0x0Fu));
    // ID1: Dseq (bits 7-4), FSC (bit 3), reserved 111 (bits 2-0).
    p[1] = static_cast<std::uint8_t>((static_cast<unsigned>(id.sequence) & 0x0Fu) << 4
                                     | (id.fsc ? 0x08u : 0u) | 0x07u);
    // ID2: DBN, the block's number within its section.
    p[2] = static_cast<std::uint8_t>(id.block);
}

std::optional<BlockId> readBlockId(const std::uint8_t* p)
{
    const unsigned sct = p[0] >> 5;
    if (sct > static_cast<unsigned>(Section::Video))
        return std::nullopt;
    BlockId id;
    id.section = static_cast<Section>(sct);
    id.arb = p[0] & 0x0F;
    id.sequence = p[1] >> 4;
    id.fsc = (p[1] & 0x08) != 0;
    id.block = p[2];
    if (id.block >= blocksOfSection(id.section))
        return std::nullopt;
    return id;
}

void writeHeaderBlock(std::uint8_t* p, int seq, const HeaderInfo& info)
{
    std::memset(p, 0xFF, kBlockSize);
    writeBlockId(p, {Section::Header, seq, 0, false, 0xF});
    // DSF (bit 7: 0 = 525/60, 1 = 625/50), 0 (bit 6), reserved 1s.
    p[3] = static_cast<std::uint8_t>((info.system == System::Pal625_50 ? 0x80u : 0u) | 0x3Fu);
    // Reserved 1s, then APT, the track application ID (bits 2-0).
    p[4] = static_cast<std::uint8_t>(0xF8u | (static_cast<unsigned>(info.apt) & 7u));
    // TF1-TF3 (bit 7, 0 = area transmitted), reserved 1s, AP1-AP3 (bits 2-0)
    // for the audio, video and subcode areas.
    p[5] = static_cast<std::uint8_t>(0x78u | (static_cast<unsigned>(info.ap1) & 7u));
    p[6] = static_cast<std::uint8_t>(0x78u | (static_cast<unsigned>(info.ap2) & 7u));
    p[7] = static_cast<std::uint8_t>(0x78u | (static_cast<unsigned>(info.ap3) & 7u));
}

} // namespace th::dif
