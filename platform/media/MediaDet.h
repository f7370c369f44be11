#pragma once
// The media detector (CLSID_MediaDet, IMediaDet) on libavformat, libavcodec
// and libswscale: it opens a media file (AVI of type 1, type 2 and OpenDML,
// as this program and others write them, or anything else libavformat
// reads), lists its audio and video streams, and hands out single frames of
// the current video stream as 24-bit DIBs scaled to the size asked.
//
// Results callers rely on:
// - put_Filename: S_OK when the file opened; HRESULT_FROM_WIN32
//   (ERROR_FILE_NOT_FOUND) when it does not exist, VFW_E_INVALID_FILE_FORMAT
//   (kInvalidFileFormat) when it is not a media file that can be read. A failure leaves no file open
//   (get_Filename then gives no name). The current stream is 0 after an open.
// - get_OutputStreams: the number of audio and video streams, in file order.
// - put_CurrentStream: E_INVALIDARG outside 0 to count - 1.
// - get_StreamType: MEDIATYPE_Video or MEDIATYPE_Audio.
// - get_FrameRate: frames per second of a video stream (25, 29.97...);
//   VFW_E_INVALIDMEDIATYPE for an audio stream.
// - GetBitmapBits(seconds, size, buffer, width, height): with a size pointer
//   and no buffer, the buffer size (40 + the DIB's bytes); with a buffer, a
//   BITMAPINFOHEADER (40 bytes, 24 bits, bottom-up, width × height) followed
//   by the pixels of the frame whose display time range holds `seconds`
//   (frame n for n ÷ frame rate). VFW_E_INVALIDMEDIATYPE when the current
//   stream is not video, E_INVALIDARG for a size below 1 or a time before 0 or
//   past the last frame, VFW_E_INVALID_FILE_FORMAT when the frame cannot be
//   read or decoded.
// Every call without an open file answers E_INVALIDARG (get_Filename: S_OK
// and no name). No call waits longer than a few seconds on a damaged file.
//
// Cost. The file stays open between calls; consecutive frames are decoded
// without seeking, and DV is decoded at libavcodec's reduced resolutions when
// the size asked allows it. One caller at a time is expected; calls are
// serialised all the same.

#include "platform/dshow/DShow.h"
#include "platform/media/FFmpegUtil.h"

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace th::media {

// VFW_E_INVALID_FILE_FORMAT: a file that is no readable media file, or a frame that does not decode.
inline constexpr HRESULT kInvalidFileFormat = MakeHResult(0x8004022Fu);

// The file side of the media detector, for the detector and its tests.
class MediaFile {
public:
    MediaFile() = default;
    ~MediaFile();
    MediaFile(const MediaFile&) = delete;
    MediaFile& operator=(const MediaFile&) = delete;

    HRESULT open(const std::string& path);
    void close();
    bool isOpen() const { return format_ != nullptr; }

    int streamCount() const { return static_cast<int>(streams_.size()); }
    bool isVideo(int stream) const;
    // 0 when libavformat knows no rate.
    double frameRate(int stream) const;

    // The header and pixels of the frame at `seconds` into `out` (40 + DIB bytes).
    HRESULT frameBitmap(int stream, double seconds, int width, int height, std::uint8_t* out);

private:
    struct Decoder {
        int stream = -1;
        int lowres = -1;
        AvCodecContextPtr codec;
    };
    HRESULT openDecoder(int stream, int lowres);
    HRESULT decodeFrame(int stream, std::int64_t frame);
    static int interrupt(void* self);
    void arm() { deadline_ = std::chrono::steady_clock::now() + std::chrono::seconds(5); }

    AVFormatContext* format_ = nullptr;
    std::vector<int> streams_; // libavformat's stream index of each listed stream
    Decoder decoder_;
    AvPacketPtr packet_;
    AvFramePtr picture_;
    bool havePicture_ = false;
    std::int64_t pictureFrame_ = -1; // frame number of the picture held, -1 for none
    std::int64_t nextFrame_ = -1;    // the frame reading would reach next without seeking
    DibScaler scaler_;
    std::chrono::steady_clock::time_point deadline_{};
};

class CMediaDet : public th::com::ComObject<IMediaDet> {
public:
    CMediaDet() = default;

    HRESULT get_Filename(BSTR* fileName) override;
    HRESULT put_Filename(BSTR fileName) override;
    HRESULT get_OutputStreams(LONG* count) override;
    HRESULT get_CurrentStream(LONG* index) override;
    HRESULT put_CurrentStream(LONG index) override;
    HRESULT get_StreamType(GUID* majorType) override;
    HRESULT get_FrameRate(double* framesPerSecond) override;
    HRESULT GetBitmapBits(double streamTime, LONG* bufferSize, char* buffer, LONG width, LONG height) override;

private:
    std::mutex mutex_;
    MediaFile file_;
    std::u16string name_;
    LONG current_ = 0;
};

} // namespace th::media
