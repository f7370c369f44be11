#pragma once
// The layout of a DV (DIF) stream as consumer camcorders record it (25 Mbit/s,
// IEC 61834 / SMPTE 314M): a frame is 10 (525/60) or 12 (625/50) DIF
// sequences, each of 150 DIF blocks of 80 bytes. Every block starts with a
// three-byte block ID; the sequence holds, in this order, one header block,
// two subcode blocks, three VAUX blocks, then nine rows of one audio block
// followed by fifteen video blocks. No Qt, no FFmpeg.

#include <cstddef>
#include <cstdint>
#include <optional>

namespace th::dif {

inline constexpr std::size_t kBlockSize = 80;
inline constexpr int kBlocksPerSequence = 150;
inline constexpr std::size_t kSequenceSize = kBlockSize * kBlocksPerSequence; // 12000
inline constexpr int kSubcodeBlocks = 2;
inline constexpr int kVauxBlocks = 3;
inline constexpr int kAudioBlocks = 9;
inline constexpr int kVideoBlocks = 135;

// The television system of a frame; None stands for "not a DV frame".
enum class System { None = 0, Ntsc525_60, Pal625_50 };

inline constexpr std::size_t kFrameSizeNtsc = 10 * kSequenceSize;
inline constexpr std::size_t kFrameSizePal = 12 * kSequenceSize;

// 10 or 12 DIF sequences; 0 for None.
int sequencesPerFrame(System system);
// 120000 or 144000 bytes; 0 for None.
std::size_t frameSize(System system);
// Frames per second as a fraction: 30000/1001 or 25/1; 0/1 for None.
struct FrameRate {
    int num = 0;
    int den = 1;
};
FrameRate frameRate(System system);
// Nominal frames per second of the time code: 30 or 25; 0 for None.
int timecodeFramesPerSecond(System system);

// Section type (SCT) of a DIF block, bits 7-5 of the first ID byte.
enum class Section : std::uint8_t { Header = 0, Subcode = 1, Vaux = 2, Audio = 3, Video = 4 };

// Number of blocks of a section in one DIF sequence (1, 2, 3, 9, 135).
int blocksOfSection(Section section);
// Index (0-149) within its DIF sequence of block `dbn` of a section; -1 when
// dbn is out of range for that section.
int blockIndex(Section section, int dbn);
// Byte offset in a frame of block `dbn` of a section in DIF sequence `seq`;
// -1 when either is out of range for the system.
std::ptrdiff_t blockOffset(System system, int seq, Section section, int dbn);

// The three ID bytes of a DIF block.
struct BlockId {
    Section section = Section::Header;
    int sequence = 0;  // Dseq, 0-11
    int block = 0;     // DBN within the section
    bool fsc = false;  // FSC: channel of a 50 Mbit/s stream; always 0 at 25 Mbit/s
    int arb = 0xF;     // the four arbitrary bits of ID0
};
void writeBlockId(std::uint8_t* p, const BlockId& id);
// No value for a section type beyond Video or for a block number beyond 134.
std::optional<BlockId> readBlockId(const std::uint8_t* p);

// The header block's data: DSF (525/60 or 625/50) and the application IDs of
// the track (APT) and of the audio, video and subcode areas (AP1-AP3). Consumer
// DV writes 0 for each.
struct HeaderInfo {
    System system = System::Pal625_50;
    int apt = 0;
    int ap1 = 0;
    int ap2 = 0;
    int ap3 = 0;
};
// Writes the whole 80-byte header block of DIF sequence `seq` at p.
void writeHeaderBlock(std::uint8_t* p, int seq, const HeaderInfo& info);

} // namespace th::dif
