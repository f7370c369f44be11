#include "platform/media/MediaDet.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <sys/stat.h>

namespace th::media {

namespace {

// Frames decoded forward from the last one instead of seeking (cheaper than a
// seek for DV, where every frame is a key frame, only when close).
constexpr std::int64_t kForwardWindow = 8;
// Packets read for one frame before the file is taken as damaged.
constexpr int kMaxPacketsPerFrame = 4096;

AVRational streamRate(const AVStream* st)
{
    if (st->avg_frame_rate.num > 0 && st->avg_frame_rate.den > 0)
        return st->avg_frame_rate;
    if (st->r_frame_rate.num > 0 && st->r_frame_rate.den > 0)
        return st->r_frame_rate;
    return {0, 1};
}

} // namespace

// --- The file --------------------------------------------------------------------------------

MediaFile::~MediaFile()
{
    close();
}

int MediaFile::interrupt(void* self)
{
    auto* f = static_cast<MediaFile*>(self);
    return std::chrono::steady_clock::now() > f->deadline_ ? 1 : 0;
}

void MediaFile::close()
{
    decoder_ = Decoder{};
    havePicture_ = false;
    pictureFrame_ = -1;
    nextFrame_ = -1;
    streams_.clear();
    if (format_)
        avformat_close_input(&format_);
}

HRESULT MediaFile::open(const std::string& path)
{
    close();
    struct stat st{};
    if (path.empty() || ::stat(path.c_str(), &st) != 0)
        return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    if (!S_ISREG(st.st_mode))
        return kInvalidFileFormat;
    if (!packet_)
        packet_.reset(av_packet_alloc());
    if (!picture_)
        picture_.reset(av_frame_alloc());
    AVFormatContext* ctx = avformat_alloc_context();
    if (!ctx || !packet_ || !picture_) {
        avformat_free_context(ctx);
        return E_OUTOFMEMORY;
    }
    ctx->interrupt_callback = {&MediaFile::interrupt, this};
    arm();
    if (avformat_open_input(&ctx, path.c_str(), nullptr, nullptr) < 0)
        return kInvalidFileFormat; // libavformat has freed the context
    format_ = ctx;
    if (avformat_find_stream_info(format_, nullptr) < 0) {
        close();
        return kInvalidFileFormat;
    }
    for (unsigned i = 0; i < format_->nb_streams; ++i) {
        const AVMediaType t = format_->streams[i]->codecpar->codec_type;
        if (t == AVMEDIA_TYPE_VIDEO || t == AVMEDIA_TYPE_AUDIO)
            streams_.push_back(static_cast<int>(i));
    }
    return S_OK;
}

bool MediaFile::isVideo(int stream) const
{
    if (!format_ || stream < 0 || stream >= streamCount())
        return false;
    return format_->streams[streams_[static_cast<std::size_t>(stream)]]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO;
}

double MediaFile::frameRate(int stream) const
{
    if (!isVideo(stream))
        return 0;
    return av_q2d(streamRate(format_->streams[streams_[static_cast<std::size_t>(stream)]]));
}

HRESULT MediaFile::openDecoder(int stream, int lowres)
{
    if (decoder_.codec && decoder_.stream == stream && decoder_.lowres == lowres)
        return S_OK;
    decoder_ = Decoder{};
    havePicture_ = false;
    pictureFrame_ = -1;
    nextFrame_ = -1;
    const AVCodecParameters* par = format_->streams[streams_[static_cast<std::size_t>(stream)]]->codecpar;
    const AVCodec* codec = avcodec_find_decoder(par->codec_id);
    if (!codec)
        return kInvalidFileFormat;
    AvCodecContextPtr c(avcodec_alloc_context3(codec));
    if (!c)
        return E_OUTOFMEMORY;
    if (avcodec_parameters_to_context(c.get(), par) < 0)
        return kInvalidFileFormat;
    c->lowres = std::min(lowres, static_cast<int>(codec->max_lowres));
    c->thread_count = 1;
    if (avcodec_open2(c.get(), codec, nullptr) < 0)
        return kInvalidFileFormat;
    decoder_.stream = stream;
    decoder_.lowres = lowres;
    decoder_.codec = std::move(c);
    return S_OK;
}

// Leaves the picture of `frame` (or, where the file lacks it, the first one
// after it) in picture_.
HRESULT MediaFile::decodeFrame(int stream, std::int64_t frame)
{
    if (havePicture_ && pictureFrame_ == frame)
        return S_OK;
    const int index = streams_[static_cast<std::size_t>(stream)];
    AVStream* st = format_->streams[index];
    const AVRational rate = streamRate(st);
    const AVRational perFrame = av_inv_q(rate);
    const std::int64_t start = st->start_time != AV_NOPTS_VALUE ? st->start_time : 0;
    AVCodecContext* codec = decoder_.codec.get();

    if (!(nextFrame_ >= 0 && frame >= nextFrame_ && frame < nextFrame_ + kForwardWindow)) {
        const std::int64_t target = start + av_rescale_q(frame, perFrame, st->time_base);
        // A file whose first frames were dropped before the capture began has
        // no index entry at or before them: the nearest entry after them does.
        if (av_seek_frame(format_, index, target, AVSEEK_FLAG_BACKWARD) < 0 &&
            av_seek_frame(format_, index, target, AVSEEK_FLAG_BACKWARD | AVSEEK_FLAG_ANY) < 0 &&
            avformat_seek_file(format_, index, INT64_MIN, target, INT64_MAX, 0) < 0)
            return frame == 0 ? kInvalidFileFormat : E_INVALIDARG;
        avcodec_flush_buffers(codec);
    }
    havePicture_ = false;
    pictureFrame_ = -1;
    nextFrame_ = -1;

    bool draining = false;
    for (int packets = 0; packets < kMaxPacketsPerFrame; ++packets) {
        if (!draining) {
            const int rc = av_read_frame(format_, packet_.get());
            if (rc == AVERROR_EOF) {
                draining = true;
                avcodec_send_packet(codec, nullptr);
            } else if (rc < 0) {
                return kInvalidFileFormat;
            } else {
                const bool ours = packet_->stream_index == index;
                const int sent = ours ? avcodec_send_packet(codec, packet_.get()) : 0;
                av_packet_unref(packet_.get());
                if (sent < 0 && sent != AVERROR(EAGAIN))
                    continue; // a damaged packet; the next one may decode
            }
        }
        for (;;) {
            av_frame_unref(picture_.get());
            const int rc = avcodec_receive_frame(codec, picture_.get());
            if (rc == AVERROR(EAGAIN))
                break;
            if (rc == AVERROR_EOF)
                return E_INVALIDARG; // past the last frame
            if (rc < 0)
                break;
            std::int64_t pts = picture_->best_effort_timestamp;
            if (pts == AV_NOPTS_VALUE)
                pts = picture_->pts;
            if (pts == AV_NOPTS_VALUE)
                continue;
            const std::int64_t n =
                av_rescale_q_rnd(pts - start, st->time_base, perFrame,
                                 static_cast<AVRounding>(AV_ROUND_NEAR_INF | AV_ROUND_PASS_MINMAX));
            if (n >= frame) {
                havePicture_ = true;
                pictureFrame_ = frame;
                nextFrame_ = n + 1;
                return S_OK;
            }
        }
        if (std::chrono::steady_clock::now() > deadline_)
            return kInvalidFileFormat;
    }
    return kInvalidFileFormat;
}

HRESULT MediaFile::frameBitmap(int stream, double seconds, int width, int height, std::uint8_t* out)
{
    if (!format_ || stream < 0 || stream >= streamCount())
        return E_INVALIDARG;
    if (!isVideo(stream))
        return VFW_E_INVALIDMEDIATYPE;
    if (width <= 0 || height <= 0 || !std::isfinite(seconds) || seconds < 0)
        return E_INVALIDARG;
    AVStream* st = format_->streams[streams_[static_cast<std::size_t>(stream)]];
    const AVRational rate = streamRate(st);
    if (rate.num <= 0)
        return kInvalidFileFormat;
    // n ÷ rate lands within rounding of frame n's start: a thousandth of a
    // frame of slack keeps it there.
    const double position = std::floor(seconds * av_q2d(rate) + 1e-3);
    if (position > 1e12)
        return E_INVALIDARG;
    const auto frame = static_cast<std::int64_t>(position);
    if (st->nb_frames > 0 && frame >= st->nb_frames)
        return E_INVALIDARG;

    // The smallest reduced resolution that still covers the size asked.
    int lowres = 0;
    const int w = st->codecpar->width;
    const int h = st->codecpar->height;
    while (lowres < 3 && (w >> (lowres + 1)) >= width && (h >> (lowres + 1)) >= height)
        ++lowres;
    arm();
    HRESULT hr = openDecoder(stream, lowres);
    if (FAILED(hr))
        return hr;
    hr = decodeFrame(stream, frame);
    if (FAILED(hr))
        return hr;

    const DibLayout layout = dibLayout(width, height);
    const BITMAPINFOHEADER header = dibHeader(layout);
    std::memcpy(out, &header, sizeof header);
    if (!scaler_.scale(*picture_, layout, out + sizeof header))
        return kInvalidFileFormat;
    return S_OK;
}

// --- The COM object -----------------------------------------------------------------------------

HRESULT CMediaDet::get_Filename(BSTR* fileName)
{
    if (!fileName)
        return E_POINTER;
    std::lock_guard<std::mutex> guard(mutex_);
    *fileName = file_.isOpen() ? SysAllocStringLen(name_.data(), static_cast<UINT>(name_.size())) : nullptr;
    return file_.isOpen() && !*fileName ? E_OUTOFMEMORY : S_OK;
}

HRESULT CMediaDet::put_Filename(BSTR fileName)
{
    std::lock_guard<std::mutex> guard(mutex_);
    file_.close();
    name_.clear();
    current_ = 0;
    if (!fileName)
        return E_INVALIDARG;
    const std::u16string name(fileName);
    const HRESULT hr = file_.open(th::com::Utf16ToUtf8(name));
    if (SUCCEEDED(hr))
        name_ = name;
    return hr;
}

HRESULT CMediaDet::get_OutputStreams(LONG* count)
{
    if (!count)
        return E_POINTER;
    std::lock_guard<std::mutex> guard(mutex_);
    *count = 0;
    if (!file_.isOpen())
        return E_INVALIDARG;
    *count = file_.streamCount();
    return S_OK;
}

HRESULT CMediaDet::get_CurrentStream(LONG* index)
{
    if (!index)
        return E_POINTER;
    std::lock_guard<std::mutex> guard(mutex_);
    if (!file_.isOpen())
        return E_INVALIDARG;
    *index = current_;
    return S_OK;
}

HRESULT CMediaDet::put_CurrentStream(LONG index)
{
    std::lock_guard<std::mutex> guard(mutex_);
    if (!file_.isOpen() || index < 0 || index >= file_.streamCount())
        return E_INVALIDARG;
    current_ = index;
    return S_OK;
}

HRESULT CMediaDet::get_StreamType(GUID* majorType)
{
    if (!majorType)
        return E_POINTER;
    std::lock_guard<std::mutex> guard(mutex_);
    if (!file_.isOpen() || current_ >= file_.streamCount())
        return E_INVALIDARG;
    *majorType = file_.isVideo(current_) ? MEDIATYPE_Video : MEDIATYPE_Audio;
    return S_OK;
}

HRESULT CMediaDet::get_FrameRate(double* framesPerSecond)
{
    if (!framesPerSecond)
        return E_POINTER;
    std::lock_guard<std::mutex> guard(mutex_);
    if (!file_.isOpen() || current_ >= file_.streamCount())
        return E_INVALIDARG;
    if (!file_.isVideo(current_))
        return VFW_E_INVALIDMEDIATYPE;
    *framesPerSecond = file_.frameRate(current_);
    return S_OK;
}

HRESULT CMediaDet::GetBitmapBits(double streamTime, LONG* bufferSize, char* buffer, LONG width, LONG height)
{
    if (!buffer && !bufferSize)
        return E_POINTER;
    std::lock_guard<std::mutex> guard(mutex_);
    if (!file_.isOpen())
        return E_INVALIDARG;
    if (!file_.isVideo(current_))
        return VFW_E_INVALIDMEDIATYPE;
    if (width <= 0 || height <= 0 || width > 65536 || height > 65536)
        return E_INVALIDARG;
    const DibLayout layout = dibLayout(width, height);
    // Sizes whose buffer a LONG could not count are refused too.
    if (layout.sizeImage > 0x7FFFFFFFu - sizeof(BITMAPINFOHEADER))
        return E_INVALIDARG;
    if (!buffer) {
        *bufferSize = static_cast<LONG>(sizeof(BITMAPINFOHEADER) + layout.sizeImage);
        return S_OK;
    }
    return file_.frameBitmap(current_, streamTime, width, height, reinterpret_cast<std::uint8_t*>(buffer));
}

} // namespace th::media
