#include "platform/dv/DifAudio.h"

#include <cstdint>

namespace th::dif {

namespace {

// Code of a sample from 0 to 32767.
std::uint16_t encodePositive(int v)
{
    if (v < 512)
        return static_cast<std::uint16_t>(v);
    int shift = 1;
    while (v >= (512 << shift))
        ++shift;
    return static_cast<std::uint16_t>((v >> shift) + 256 * shift);
}

int decodePositive(int code)
{
    const int segment = code >> 8;
    if (segment < 2)
        return code;
    const int shift = segment - 1;
    return (code - 256 * shift) << shift;
}

// Samples per row of the shuffle: one sample of every audio block of one half.
int rowLength(System system)
{
    return sequencesPerFrame(system) / 2 * kAudioBlocks;
}

int slotsPerFrame(System system, Quantization quantization)
{
    // 36 samples or 24 triplets in each of the 72-byte sample areas.
    const int perBlock = quantization == Quantization::Linear16 ? 36 : 24;
    return rowLength(system) * perBlock;
}

} // namespace

std::uint16_t encode12(std::int16_t sample)
{
    if (sample >= 0)
        return encodePositive(sample);
    // The negative codes mirror the positive ones; the mirror of 0x7FF would
    // be the "no sample" code, so the lowest samples take the next code up.
    std::uint16_t mirror = encodePositive(~static_cast<int>(sample));
    if (mirror > 0x7FE)
        mirror = 0x7FE;
    return static_cast<std::uint16_t>(~mirror & 0xFFF);
}

std::int16_t decode12(std::uint16_t code)
{
    code &= 0xFFF;
    if (code == kNoSample12)
        return 0;
    if (code < 0x800)
        return static_cast<std::int16_t>(decodePositive(code));
    return static_cast<std::int16_t>(~decodePositive(~code & 0xFFF));
}

std::optional<AudioSlot> audioSlot(System system, Quantization quantization, int half, int n)
{
    const int sequencesPerHalf = sequencesPerFrame(system) / 2;
    if (sequencesPerHalf == 0 || half < 0 || half > 1 || n < 0 || n >= slotsPerFrame(system, quantization))
        return std::nullopt;
    const int row = rowLength(system);     // 54 or 45
    const int perThird = row / 3;          // 18 or 15
    AudioSlot slot;
    slot.sequence = (n / 3 + 2 * (n % 3)) % sequencesPerHalf + half * sequencesPerHalf;
    slot.block = 3 * (n % 3) + (n % row) / perThird;
    slot.offset = 8 + (quantization == Quantization::Linear16 ? 2 : 3) * (n / row);
    return slot;
}

bool writeAudioSamples(std::uint8_t* frame, std::size_t length, System system, Quantization quantization,
                       const std::int16_t* first, int samples, const std::int16_t* second)
{
    const std::size_t size = frameSize(system);
    const int slots = slotsPerFrame(system, quantization);
    if (size == 0 || length < size || samples < 0 || samples > slots || (samples > 0 && !first))
        return false;
    for (int half = 0; half < 2; ++half) {
        for (int n = 0; n < slots; ++n) {
            const auto slot = audioSlot(system, quantization, half, n);
            std::uint8_t* p = frame + blockOffset(system, slot->sequence, Section::Audio, slot->block)
                            + slot->offset;
            if (quantization == Quantization::Linear16) {
                std::uint16_t v = kNoSample16;
                if (n < samples) {
                    // -32768 would read as "no sample".
                    const std::int16_t s = first[2 * n + half];
                    v = static_cast<std::uint16_t>(s == INT16_MIN ? INT16_MIN + 1 : s);
                }
                p[0] = static_cast<std::uint8_t>(v >> 8);
                p[1] = static_cast<std::uint8_t>(v);
            } else {
                const std::int16_t* pair = half == 0 ? first : second;
                std::uint16_t left = kNoSample12;
                std::uint16_t right = kNoSample12;
                if (pair && n < samples) {
                    left = encode12(pair[2 * n]);
                    right = encode12(pair[2 * n + 1]);
                }
                // Triplet: the upper eight bits of each sample, then both
                // lower nibbles.
                p[0] = static_cast<std::uint8_t>(left >> 4);
                p[1] = static_cast<std::uint8_t>(right >> 4);
                p[2] = static_cast<std::uint8_t>((left & 0x0F) << 4 | (right & 0x0F));
            }
        }
    }
    return true;
}

} // namespace th::dif
