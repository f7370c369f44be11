#include "platform/media/FFmpegUtil.h"

extern "C" {
#include <libavutil/error.h>
}

namespace th::media {

std::string avErrorText(int error)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(error, text, sizeof text);
    return text;
}

DibLayout dibLayout(int width, int height)
{
    DibLayout l;
    l.width = width;
    l.height = height;
    l.stride = (width * 3 + 3) & ~3;
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
    h.biBitCount = 24;
    h.biCompression = BI_RGB;
    h.biSizeImage = static_cast<DWORD>(layout.sizeImage);
    return h;
}

bool DibScaler::scale(const AVFrame& picture, const DibLayout& target, std::uint8_t* pixels)
{
    if (picture.width <= 0 || picture.height <= 0 || target.width <= 0 || target.height <= 0)
        return false;
    if (!context_ || srcWidth_ != picture.width || srcHeight_ != picture.height || srcFormat_ != picture.format ||
        dstWidth_ != target.width || dstHeight_ != target.height) {
        context_.reset(sws_getContext(picture.width, picture.height, static_cast<AVPixelFormat>(picture.format),
                                      target.width, target.height, AV_PIX_FMT_BGR24, SWS_BILINEAR, nullptr, nullptr,
                                      nullptr));
        if (!context_)
            return false;
        srcWidth_ = picture.width;
        srcHeight_ = picture.height;
        srcFormat_ = picture.format;
        dstWidth_ = target.width;
        dstHeight_ = target.height;
    }
    // Bottom-up: the first picture row goes to the last DIB row, and each next
    // one a stride before it.
    std::uint8_t* dst[4] = {pixels + static_cast<std::ptrdiff_t>(target.height - 1) * target.stride, nullptr, nullptr,
                            nullptr};
    const int dstStride[4] = {-target.stride, 0, 0, 0};
    const int rows = sws_scale(context_.get(), picture.data, picture.linesize, 0, picture.height, dst, dstStride);
    return rows == target.height;
}

} // namespace th::media
