#pragma once
// The DV Video Decoder (CLSID_DVVideoCodec): DV frames in ("XForm In":
// MEDIATYPE_Video, dvsd), RGB pictures out ("XForm Out": MEDIATYPE_Video,
// MEDIASUBTYPE_RGB32, which a window paints as it is, or else RGB24;
// FORMAT_VideoInfo whose BITMAPINFOHEADER describes a bottom-up DIB, as the
// samples hold it).
// IIPDVDec sets the picture size: DVRESOLUTION_FULL, HALF, QUARTER and DC are
// 720×576, 360×288, 180×144 and 90×72 for 625/50 frames and 720×480,
// 360×240, 180×120 and 90×60 for 525/60 ones. Decoding is libavcodec's, at
// its reduced resolutions for the smaller sizes (so they cost less), and
// libswscale makes the RGB pixels; the DC picture is read straight from the
// blocks' DC coefficients (DvDcPicture.h), which costs next to nothing.
//
// Changing the size while connected. put_IPDisplay first asks the connected
// input pin whether it takes the new type (QueryAccept) and refuses with
// VFW_E_TYPE_NOT_ACCEPTED when it does not; otherwise the output's
// connection type changes at once, and the first sample of the new size
// carries the new type (IMediaSample::SetMediaType), so that a renderer or
// grabber behind learns it with the picture. The allocator's buffers are
// sized for the largest picture, so every size fits them. The same happens
// when the frames change between 625/50 and 525/60.
//
// Streaming. Receive decodes on the upstream's thread straight into a buffer
// of the output's allocator and delivers it holding no lock; the codec
// context, its packet buffer and the scaler are kept between frames. A sample
// that is not a whole DV frame, or that libavcodec cannot decode, is refused
// with kFrameRejected (DVSplitter.h) and nothing is delivered.

#include "platform/dshow/BaseClasses.h"
#include "platform/dv/DifLayout.h"
#include "platform/media/FFmpegUtil.h"

#include <atomic>
#include <cstdint>

namespace th::media {

// Picture size of a display resolution for a system; {0, 0} for a value that
// is not one of the four.
struct PictureSize {
    int width = 0;
    int height = 0;
};
PictureSize dvPictureSize(th::dif::System system, int resolution);

// Decodes DV frames into 24-bit bottom-up DIB pixels. One object serves one
// stream (one thread at a time).
class DvPictureDecoder {
public:
    DvPictureDecoder();
    ~DvPictureDecoder();
    DvPictureDecoder(const DvPictureDecoder&) = delete;
    DvPictureDecoder& operator=(const DvPictureDecoder&) = delete;

    // Decodes `frame` at `resolution` (a DVRESOLUTION_ value) into `pixels`
    // (capacity bytes) and reports the picture's layout. kFrameRejected for a
    // sample that is not a whole DV frame or does not decode; E_INVALIDARG for
    // another resolution; VFW_E_BUFFER_OVERFLOW when the picture does not fit.
    HRESULT decode(const std::uint8_t* frame, std::size_t length, int resolution, std::uint8_t* pixels,
                   std::size_t capacity, DibLayout* layout, int bitCount = 24);

    // The reduced-resolution step libavcodec decodes at (0 full, 1 half, ...);
    // -1 when the last picture needed no decoder (DC).
    int lowres() const { return lowres_; }

private:
    bool open(int lowres);

    AvCodecContextPtr codec_;
    int lowres_ = -1;
    AvPacketPtr packet_;
    AvFramePtr picture_;
    AVBufferRef* input_ = nullptr; // the frame with libavcodec's padding after it
    DibScaler scaler_;
};

class CDVVideoDecoder;

class CDVDecoderInputPin : public CPassThroughInputPin {
public:
    CDVDecoderInputPin(CDVVideoDecoder* filter, CCritSec* lock, HRESULT* hr);
    HRESULT CheckMediaType(const CMediaType* type) override;
    HRESULT Receive(IMediaSample* sample) override;

private:
    CDVVideoDecoder* m_decoder;
};

class CDVDecoderOutputPin : public CBaseOutputPin {
public:
    CDVDecoderOutputPin(CDVVideoDecoder* filter, CCritSec* lock, HRESULT* hr);
    HRESULT CheckMediaType(const CMediaType* type) override;
    HRESULT GetMediaType(int position, CMediaType* type) override;
    HRESULT SetMediaType(const CMediaType* type) override;
    HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* props) override;
    void ChangeConnectionType(const CMediaType& type);

private:
    CDVVideoDecoder* m_decoder;
};

class CDVVideoDecoder : public CBaseFilter, public IIPDVDec {
public:
    static CUnknown* CreateInstance(IUnknown* outer, HRESULT* hr);
    ~CDVVideoDecoder() override;

    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    int GetPinCount() override { return 2; }
    CBasePin* GetPin(int n) override;

    // IIPDVDec
    HRESULT get_IPDisplay(int* displayPix) override;
    HRESULT put_IPDisplay(int displayPix) override;

    // The output type for a system and resolution, 24- or 32-bit RGB.
    static void MakeOutputType(th::dif::System system, int resolution, CMediaType* type, int bitCount = 24);

private:
    friend class CDVDecoderInputPin;
    friend class CDVDecoderOutputPin;
    CDVVideoDecoder(IUnknown* outer, HRESULT* hr);

    HRESULT receive(IMediaSample* sample);
    // The system the connected input describes (625/50 unless it says 480 lines).
    th::dif::System inputSystem() const;

    CCritSec m_lock;
    CDVDecoderInputPin m_input;
    CDVDecoderOutputPin m_output;
    std::atomic<int> m_resolution{1000};

    // What the connected input pin behind was last told (at connection or by a
    // type attached to a sample); touched under m_lock or by the delivering thread.
    th::dif::System m_toldSystem = th::dif::System::None;
    int m_toldResolution = 0;
    std::atomic<int> m_bitCount{24}; // of the connection
    DvPictureDecoder m_core;
};

} // namespace th::media
