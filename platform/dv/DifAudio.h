#pragma once
// Audio samples in the audio DIF blocks of a frame. Each audio block carries
// a five-byte AAUX pack (bytes 3-7) and 72 bytes of samples (bytes 8-79):
// 36 big-endian 16-bit samples, or 24 triplets of two 12-bit samples. The
// samples of a frame are shuffled over the DIF sequences and blocks so that a
// damaged track loses scattered samples, not a run of them.
//
// 48 kHz (and 44.1 kHz) 16-bit stereo: the left channel lies in the first
// half of the DIF sequences, the right one in the second half. 32 kHz 12-bit:
// four channels, the first stereo pair (both channels in one triplet) in the
// first half of the sequences, the second pair in the second half.

#include "platform/dv/DifLayout.h"
#include "platform/dv/DifPacks.h"

#include <cstddef>
#include <cstdint>

namespace th::dif {

// The 12-bit nonlinear code of a 16-bit sample: linear up to ±512, then six
// segments of doubling step; negative values are the ones' complement of the
// positive ones. 0x800 is the "no sample" code and never results: the
// samples from -32768 to -32641 all take the code of -32641.
std::uint16_t encode12(std::int16_t sample);
// The 16-bit sample of a 12-bit code (bits above 11 ignored); the "no sample"
// code 0x800 gives 0.
std::int16_t decode12(std::uint16_t code);

inline constexpr std::uint16_t kNoSample16 = 0x8000;
inline constexpr std::uint16_t kNoSample12 = 0x800;

// Where a sample lies in the frame: DIF sequence, audio block (0-8) and the
// byte offset of its first byte within that block (8-78). `half` is the half
// of the sequences (0 or 1: the channel of a 16-bit pair, or the stereo pair
// of 12-bit audio); `n` is the sample's index in the frame, below
// maxSamplesPerFrame. No value for arguments out of range.
struct AudioSlot {
    int sequence = 0;
    int block = 0;
    int offset = 0;
};
std::optional<AudioSlot> audioSlot(System system, Quantization quantization, int half, int n);

// Shuffles one frame's audio into the sample areas of the audio blocks (their
// IDs and packs are left alone). `first` holds `samples` interleaved stereo
// sample pairs (left, right); `second` the second stereo pair of 12-bit audio
// and is ignored for 16-bit; without it the second pair is written as "no
// sample". Slots beyond `samples` are written as "no sample"; a 16-bit
// sample of -32768, whose code is "no sample", is written as -32767. False (and
// nothing written) when the frame is shorter than the system's frame, or the
// count exceeds the system's most samples per frame at that quantization
// (1944/1620 for 16-bit, 1296/1080 for 12-bit).
bool writeAudioSamples(std::uint8_t* frame, std::size_t length, System system, Quantization quantization,
                       const std::int16_t* first, int samples, const std::int16_t* second = nullptr);

} // namespace th::dif
