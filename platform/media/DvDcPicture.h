#pragma once
// The smallest DV picture (DVRESOLUTION_DC): one pixel per 8×8 block, the
// block's mean as its DC coefficient gives it, read straight from the fixed
// place that coefficient has in every compressed block of the DIF data, with
// no variable-length decoding and no inverse transform. 90×72 for 625/50
// frames (4:2:0), 90×60 for 525/60 ones (4:1:1); each macroblock's colour is
// spread over its luma blocks. No FFmpeg, no Qt.

#include "platform/dv/DifLayout.h"

#include <cstddef>
#include <cstdint>

namespace th::media {

inline constexpr int kDcPictureWidth = 90;

// Writes the picture of a whole frame of that system as a 24- or 32-bit
// bottom-up DIB (blue, green, red and for 32 bits a fourth byte; rows of
// `stride` bytes). False when `length` is short of a frame.
bool decodeDcPicture(const std::uint8_t* frame, std::size_t length, th::dif::System system, std::uint8_t* pixels,
                     int stride, int bitCount = 24);

} // namespace th::media
