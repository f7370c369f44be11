#include "platform/media/DvDcPicture.h"

#include <algorithm>

namespace th::media {

using th::dif::System;

namespace {

// Bytes of a compressed video block: a status byte, four luma blocks of 14
// bytes, then Cr and Cb of 10. Each block begins with its 9-bit signed DC
// coefficient.
constexpr int kLumaAt[4] = {4, 18, 32, 46};
constexpr int kCrAt = 60;
constexpr int kCbAt = 70;

// The five macroblocks of a video segment come from five superblocks: their
// superblock row is offset from the DIF sequence by these, their column is these.
constexpr int kRowOffset[5] = {2, 6, 8, 0, 4};
constexpr int kColumn[5] = {2, 1, 3, 0, 4};

// The block's mean, in the 0-255 range of its component.
int dcLevel(const std::uint8_t* block)
{
    int dc = (block[0] << 1) | (block[1] >> 7);
    if (dc & 0x100)
        dc -= 0x200;
    return std::clamp(128 + dc / 2, 0, 255);
}

struct Rgb {
    std::uint8_t b, g, r;
};

// BT.601 at video levels, as libswscale converts them.
Rgb toRgb(int y, int cb, int cr)
{
    const int c = (y - 16) * 298;
    const int d = cb - 128;
    const int e = cr - 128;
    auto clip = [](int v) { return static_cast<std::uint8_t>(std::clamp((v + 128) >> 8, 0, 255)); };
    return {clip(c + 516 * d), clip(c - 100 * d - 208 * e), clip(c + 409 * e)};
}

void put(std::uint8_t* pixels, int stride, int bytes, int height, int x, int y, Rgb c)
{
    std::uint8_t* p = pixels + static_cast<std::ptrdiff_t>(height - 1 - y) * stride + bytes * x;
    p[0] = c.b;
    p[1] = c.g;
    p[2] = c.r;
    if (bytes == 4)
        p[3] = 0xFF;
}

// Where macroblock `slot` (0-26) of superblock column `column` lies, in
// 8×8 blocks: its top left block and whether its four luma blocks stand in a
// row (4:1:1) or in a square.
struct Place {
    int x = 0, y = 0;
    bool row = false;
};

Place place625(int column, int sbRow, int slot)
{
    // 4:2:0: nine columns of three 16×16 macroblocks, up and down in turn.
    const int c = slot / 3;
    const int r = c % 2 == 0 ? slot % 3 : 2 - slot % 3;
    return {(column * 9 + c) * 2, (sbRow * 3 + r) * 2, false};
}

Place place525(int m, int sbRow, int slot)
{
    // 4:1:1: columns of six 32×8 macroblocks, up and down in turn; columns 1
    // and 3 begin half way down a column shared with the one before, and the
    // last column of the picture (16 pixels wide) holds 16×16 macroblocks.
    static constexpr int kStart[5] = {9, 4, 13, 0, 18};
    const int k = slot + (m == 1 || m == 2 ? 3 : 0);
    const int x = kStart[m] + k / 6;
    const int r = (k / 6) % 2 == 0 ? k % 6 : 5 - k % 6;
    if (x > 21)
        return {x * 4, sbRow * 6 + r * 2, false};
    return {x * 4, sbRow * 6 + r, true};
}

} // namespace

bool decodeDcPicture(const std::uint8_t* frame, std::size_t length, System system, std::uint8_t* pixels, int stride,
                     int bitCount)
{
    const int bytesPerPixel = bitCount == 32 ? 4 : 3;
    const std::size_t bytes = th::dif::frameSize(system);
    if (!frame || !pixels || bytes == 0 || length < bytes)
        return false;
    const int sequences = th::dif::sequencesPerFrame(system);
    const int height = sequences * 6;
    const bool pal = system == System::Pal625_50;
    for (int seq = 0; seq < sequences; ++seq) {
        for (int dbn = 0; dbn < th::dif::kVideoBlocks; ++dbn) {
            const std::ptrdiff_t at = th::dif::blockOffset(system, seq, th::dif::Section::Video, dbn);
            const std::uint8_t* mb = frame + at;
            const int m = dbn % 5;
            const int slot = dbn / 5;
            const int sbRow = (seq + kRowOffset[m]) % sequences;
            const Place p = pal ? place625(kColumn[m], sbRow, slot) : place525(m, sbRow, slot);
            const int cr = dcLevel(mb + kCrAt);
            const int cb = dcLevel(mb + kCbAt);
            for (int b = 0; b < 4; ++b) {
                const int x = p.row ? p.x + b : p.x + b % 2;
                const int y = p.row ? p.y : p.y + b / 2;
                if (x < kDcPictureWidth && y < height)
                    put(pixels, stride, bytesPerPixel, height, x, y, toRgb(dcLevel(mb + kLumaAt[b]), cb, cr));
            }
        }
    }
    return true;
}

} // namespace th::media
