#include "platform/media/FFmpegUtil.h"

extern "C" {
#include <libavutil/error.h>
#include <libavutil/pixdesc.h>
}

namespace th::media {

std::string avErrorText(int error)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(error, text, sizeof text);
    return text;
}

DibLayout dibLayout(int width, int height, int bitCount)
{
    DibLayout l;
    l.width = width;
    l.height = height;
    l.bitCount = bitCount == 32 ? 32 : 24;
    l.stride = (width * (l.bitCount / 8) + 3) & ~3;
    l.sizeImage = static_cast<std::size_t>(l.stride) * static_cast<std::size_t>(height);
    return l;
}

BITMAPINFOHEADER dibHeader(const DibLayout& layout)
{
    BITMAPINFOHEADER h{};
    h.biSize = sizeof(BITMAPINFOHEADER);
    h.biWidth = layout.width;
    h.biHeight = layout.height;
    h.biPlanes = 1;
    h.biBitCount = static_cast<WORD>(layout.bitCount);
    h.biCompression = BI_RGB;
    h.biSizeImage = static_cast<DWORD>(layout.sizeImage);
    return h;
}

bool DibScaler::scale(const AVFrame& picture, const DibLayout& target, std::uint8_t* pixels)
{
    if (picture.width <= 0 || picture.height <= 0 || target.width <= 0 || target.height <= 0)
        return false;
    if (!context_ || srcWidth_ != picture.width || srcHeight_ != picture.height || srcFormat_ != picture.format ||
        dstWidth_ != target.width || dstHeight_ != target.height || dstBits_ != target.bitCount) {
        // Accurate rounding keeps libswscale off its fast unscaled YUV to RGB
        // paths, which leave the last columns of rows whose width is not a
        // multiple of 8 unwritten (180 pixels, for one).
        context_.reset(sws_getContext(picture.width, picture.height, static_cast<AVPixelFormat>(picture.format),
                                      target.width, target.height, target.bitCount == 32 ? AV_PIX_FMT_BGR0 : AV_PIX_FMT_BGR24, SWS_BILINEAR | SWS_ACCURATE_RND, nullptr, nullptr,
                                      nullptr));
        if (!context_)
            return false;
        srcWidth_ = picture.width;
        srcHeight_ = picture.height;
        srcFormat_ = picture.format;
        dstWidth_ = target.width;
        dstHeight_ = target.height;
        dstBits_ = target.bitCount;
    }
    // Bottom-up: the picture is read from its last row upwards (negative
    // source strides, as libavfilter's vflip does), so that the DIB's first
    // row is the picture's bottom one. Negative target strides are not safe
    // in every libswscale path.
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(picture.format));
    if (!desc)
        return false;
    const std::uint8_t* src[4] = {};
    int srcStride[4] = {};
    for (int i = 0; i < 4; ++i) {
        if (!picture.data[i])
            continue;
        const bool chroma = (i == 1 || i == 2) && !(desc->flags & AV_PIX_FMT_FLAG_PAL);
        const int rows = chroma ? AV_CEIL_RSHIFT(picture.height, desc->log2_chroma_h) : picture.height;
        src[i] = picture.data[i] + static_cast<std::ptrdiff_t>(rows - 1) * picture.linesize[i];
        srcStride[i] = -picture.linesize[i];
        if (desc->flags & AV_PIX_FMT_FLAG_PAL && i == 1) {
            src[i] = picture.data[i]; // the palette is no plane
            srcStride[i] = picture.linesize[i];
        }
    }
    std::uint8_t* dst[4] = {pixels, nullptr, nullptr, nullptr};
    const int dstStride[4] = {target.stride, 0, 0, 0};
    const int rows = sws_scale(context_.get(), src, srcStride, 0, picture.height, dst, dstStride);
    return rows == target.height;
}

} // namespace th::media
