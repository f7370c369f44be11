#pragma once
// Small pieces the DV filters and the media detector share on top of FFmpeg:
// owning pointers for its objects, its error texts, the layout of a 24-bit
// bottom-up DIB, and a scaler that turns a decoded picture into such a DIB
// with a cached libswscale context. No Qt.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

#include "platform/dshow/MediaTypes.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace th::media {

struct AvFrameFree {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct AvPacketFree {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct AvCodecContextFree {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct AvFormatContextClose {
    void operator()(AVFormatContext* f) const { avformat_close_input(&f); }
};
struct SwsContextFree {
    void operator()(SwsContext* s) const { sws_freeContext(s); }
};
using AvFramePtr = std::unique_ptr<AVFrame, AvFrameFree>;
using AvPacketPtr = std::unique_ptr<AVPacket, AvPacketFree>;
using AvCodecContextPtr = std::unique_ptr<AVCodecContext, AvCodecContextFree>;
using AvFormatContextPtr = std::unique_ptr<AVFormatContext, AvFormatContextClose>;
using SwsContextPtr = std::unique_ptr<SwsContext, SwsContextFree>;

// FFmpeg's text for an error code.
std::string avErrorText(int error);

// A 24-bit DIB: rows of width × 3 bytes padded to a multiple of 4, the
// bottom row first.
struct DibLayout {
    int width = 0;
    int height = 0;
    int stride = 0;
    std::size_t sizeImage = 0;
    int bitCount = 24; // or 32: blue, green, red and an unused byte, as a window paints them
};
DibLayout dibLayout(int width, int height, int bitCount = 24);
// The BITMAPINFOHEADER of such a DIB (biHeight positive: bottom-up, BI_RGB).
BITMAPINFOHEADER dibHeader(const DibLayout& layout);

// Scales and converts decoded pictures into 24-bit bottom-up DIB pixels (blue,
// green, red per pixel, as DIBs store them). The libswscale context is kept
// and reused while the source size and format and the target size stay the
// same, so a stream of pictures costs no allocation after the first.
class DibScaler {
public:
    // False when libswscale cannot make a context for these sizes.
    bool scale(const AVFrame& picture, const DibLayout& target, std::uint8_t* pixels);

private:
    SwsContextPtr context_;
    int srcWidth_ = 0;
    int srcHeight_ = 0;
    int srcFormat_ = -1;
    int dstWidth_ = 0;
    int dstHeight_ = 0;
    int dstBits_ = 0;
};

} // namespace th::media
