#include "platform/dv/DifFrame.h"

#include <cstring>

namespace th::dif {

namespace {

constexpr int kSyncBlocksPerSubcode = 6;
constexpr std::size_t kSyncBlockSize = 8; // three ID bytes and a pack
constexpr int kPacksPerVaux = 15;

void putPack(std::uint8_t* p, const Pack& pack)
{
    std::memcpy(p, pack.data(), pack.size());
}

// The five-byte positions of one area of a DIF sequence, in storage order.
// Each visitor returns true to stop.
template <class Visit>
bool forEachSubcodePack(const std::uint8_t* frame, System system, int seq, Visit visit)
{
    for (int b = 0; b < kSubcodeBlocks; ++b) {
        const std::uint8_t* block = frame + blockOffset(system, seq, Section::Subcode, b);
        const auto id = readBlockId(block);
        if (!id || id->section != Section::Subcode)
            continue;
        for (int s = 0; s < kSyncBlocksPerSubcode; ++s)
            if (visit(block + 3 + s * kSyncBlockSize + 3))
                return true;
    }
    return false;
}

template <class Visit>
bool forEachVauxPack(const std::uint8_t* frame, System system, int seq, Visit visit)
{
    for (int b = 0; b < kVauxBlocks; ++b) {
        const std::uint8_t* block = frame + blockOffset(system, seq, Section::Vaux, b);
        const auto id = readBlockId(block);
        if (!id || id->section != Section::Vaux)
            continue;
        for (int k = 0; k < kPacksPerVaux; ++k)
            if (visit(block + 3 + k * 5))
                return true;
    }
    return false;
}

template <class Visit>
bool forEachAauxPack(const std::uint8_t* frame, System system, int seq, Visit visit)
{
    for (int b = 0; b < kAudioBlocks; ++b) {
        const std::uint8_t* block = frame + blockOffset(system, seq, Section::Audio, b);
        const auto id = readBlockId(block);
        if (!id || id->section != Section::Audio)
            continue;
        if (visit(block + 3))
            return true;
    }
    return false;
}

template <class ForEach>
std::optional<RecDateTime> findDateTime(const std::uint8_t* frame, System system, ForEach forEach)
{
    std::optional<RecDate> date;
    std::optional<RecTime> time;
    for (int seq = 0; seq < sequencesPerFrame(system) && !(date && time); ++seq) {
        forEach(frame, system, seq, [&](const std::uint8_t* p) {
            if (!date)
                date = parseRecDatePack(p);
            if (!time)
                time = parseRecTimePack(p);
            return date && time;
        });
    }
    if (date && time)
        return RecDateTime{*date, *time};
    return std::nullopt;
}

} // namespace

bool writeFrameInfo(std::uint8_t* frame, std::size_t length, const FrameInfo& info)
{
    const System system = info.system;
    const int sequences = sequencesPerFrame(system);
    if (sequences == 0 || length < frameSize(system))
        return false;

    const bool twelveBit = info.audio.quantization == Quantization::Nonlinear12;
    AauxSource source;
    source.system = system;
    source.frequencyHz = info.audio.frequencyHz;
    source.quantization = info.audio.quantization;
    source.locked = info.audio.locked;
    source.samples = info.audio.samples;
    // 16-bit: one channel of the pair per block, left in the first half and
    // right in the second. 12-bit: both channels of a pair in each block.
    source.channelsPerBlock = twelveBit ? 2 : 1;
    const auto firstHalfSource = aauxSourcePack(source);
    if (!twelveBit)
        source.audioMode = 1;
    else if (!info.secondPair)
        source.audioMode = 0x0F;
    const auto secondHalfSource = aauxSourcePack(source);
    if (!firstHalfSource || !secondHalfSource)
        return false;

    AauxSourceControl audioControl;
    audioControl.recordingStart = info.recordingStart;
    audioControl.speed = normalPlaySpeed(system);
    const Pack audioControlPack = aauxSourceControlPack(audioControl);

    VauxSource videoSource;
    videoSource.system = system;
    VauxSourceControl videoControl;
    videoControl.recordingStart = info.recordingStart;
    const Pack videoSourcePack = vauxSourcePack(videoSource);
    const Pack videoControlPack = vauxSourceControlPack(videoControl);

    const Pack tcPack = timecodePack(info.timecode);
    Pack vauxDate = kNoInfoPack, vauxTime = kNoInfoPack, aauxDate = kNoInfoPack, aauxTime = kNoInfoPack;
    if (info.recorded) {
        vauxDate = recDatePack(kPackVauxRecDate, info.recorded->date);
        vauxTime = recTimePack(kPackVauxRecTime, info.recorded->time);
        aauxDate = recDatePack(kPackAauxRecDate, info.recorded->date);
        aauxTime = recTimePack(kPackAauxRecTime, info.recorded->time);
    }

    HeaderInfo header;
    header.system = system;

    for (int seq = 0; seq < sequences; ++seq) {
        const bool firstHalf = seq < sequences / 2;
        const bool even = seq % 2 == 0;

        writeHeaderBlock(frame + blockOffset(system, seq, Section::Header, 0), seq, header);

        for (int b = 0; b < kSubcodeBlocks; ++b) {
            std::uint8_t* block = frame + blockOffset(system, seq, Section::Subcode, b);
            std::memset(block, 0xFF, kBlockSize);
            writeBlockId(block, {Section::Subcode, seq, b, false, 0xF});
            for (int s = 0; s < kSyncBlocksPerSubcode; ++s) {
                const int syb = b * kSyncBlocksPerSubcode + s;
                std::uint8_t* p = block + 3 + s * kSyncBlockSize;
                // ID0: FR (bit 7, 1 in the first half of the sequences), AP3
                // in sync blocks 0 and 6 or the tag bits (no marks) in the
                // others (bits 6-4), then four bits without information.
                // ID1: four bits without information, the sync block number.
                // The third byte is the unused parity byte.
                p[0] = static_cast<std::uint8_t>((firstHalf ? 0x80 : 0) | (syb % 6 == 0 ? header.ap3 << 4 : 0x70)
                                                 | 0x0F);
                p[1] = static_cast<std::uint8_t>(0xF0 | syb);
                p[2] = 0xFF;
                const Pack* pack = &tcPack;
                if (!firstHalf && syb % 3 == 1)
                    pack = &vauxDate;
                else if (!firstHalf && syb % 3 == 2)
                    pack = &vauxTime;
                putPack(p + 3, *pack);
            }
        }

        for (int b = 0; b < kVauxBlocks; ++b) {
            std::uint8_t* block = frame + blockOffset(system, seq, Section::Vaux, b);
            std::memset(block, 0xFF, kBlockSize);
            writeBlockId(block, {Section::Vaux, seq, b, false, 0x6});
        }
        std::uint8_t* main = even ? frame + blockOffset(system, seq, Section::Vaux, 2) + 3 + 9 * 5
                                  : frame + blockOffset(system, seq, Section::Vaux, 0) + 3;
        putPack(main + 0, videoSourcePack);
        putPack(main + 5, videoControlPack);
        putPack(main + 10, vauxDate);
        putPack(main + 15, vauxTime);

        const int firstMainBlock = even ? 3 : 0;
        for (int b = 0; b < kAudioBlocks; ++b) {
            std::uint8_t* block = frame + blockOffset(system, seq, Section::Audio, b);
            writeBlockId(block, {Section::Audio, seq, b, false, 0x6});
            const Pack* pack = &kNoInfoPack;
            switch (b - firstMainBlock) {
            case 0: pack = firstHalf ? &*firstHalfSource : &*secondHalfSource; break;
            case 1: pack = &audioControlPack; break;
            case 2: pack = &aauxDate; break;
            case 3: pack = &aauxTime; break;
            default: break;
            }
            putPack(block + 3, *pack);
        }
    }
    return true;
}

System readSystem(const std::uint8_t* frame, std::size_t length)
{
    if (!frame || length < kBlockSize)
        return System::None;
    const auto id = readBlockId(frame);
    if (!id || id->section != Section::Header || id->sequence != 0)
        return System::None;
    const System system = (frame[3] & 0x80) ? System::Pal625_50 : System::Ntsc525_60;
    return length >= frameSize(system) ? system : System::None;
}

std::optional<Timecode> readTimecode(const std::uint8_t* frame, std::size_t length)
{
    const System system = readSystem(frame, length);
    std::optional<Timecode> tc;
    for (int seq = 0; seq < sequencesPerFrame(system) && !tc; ++seq)
        forEachSubcodePack(frame, system, seq, [&](const std::uint8_t* p) {
            tc = parseTimecodePack(p);
            return tc.has_value();
        });
    return tc;
}

std::optional<RecDateTime> readRecordingDateTime(const std::uint8_t* frame, std::size_t length)
{
    const System system = readSystem(frame, length);
    if (system == System::None)
        return std::nullopt;
    if (auto dt = findDateTime(frame, system, [](auto... a) { return forEachVauxPack(a...); }))
        return dt;
    if (auto dt = findDateTime(frame, system, [](auto... a) { return forEachSubcodePack(a...); }))
        return dt;
    return findDateTime(frame, system, [](auto... a) { return forEachAauxPack(a...); });
}

std::optional<AudioFormat> readAudioFormat(const std::uint8_t* frame, std::size_t length)
{
    const System system = readSystem(frame, length);
    std::optional<AudioFormat> format;
    for (int seq = 0; seq < sequencesPerFrame(system) && !format; ++seq)
        forEachAauxPack(frame, system, seq, [&](const std::uint8_t* p) {
            const auto source = parseAauxSourcePack(p);
            if (!source || source->system != system)
                return false;
            AudioFormat f;
            f.frequencyHz = source->frequencyHz;
            f.quantization = source->quantization;
            f.locked = source->locked;
            f.samples = source->samples;
            f.channels = source->frequencyHz == 32000 && source->quantization == Quantization::Nonlinear12
                                 && source->signalType == 0
                             ? 4
                             : 2;
            format = f;
            return true;
        });
    return format;
}

} // namespace th::dif
