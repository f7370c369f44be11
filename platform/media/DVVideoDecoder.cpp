#include "platform/media/DVVideoDecoder.h"

#include "platform/media/DVSplitter.h"
#include "platform/media/DvDcPicture.h"
#include "platform/riff/DvFormat.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace th::media {

using th::dif::System;

namespace {

constexpr std::size_t kLargestPicture = 720 * 4 * 576;

// libavcodec's reduced-resolution step for a display resolution: the step
// whose picture is the size asked. The DC picture needs no decoder.
int lowresFor(int resolution)
{
    switch (resolution) {
    case DVRESOLUTION_FULL: return 0;
    case DVRESOLUTION_HALF: return 1;
    case DVRESOLUTION_QUARTER: return 2;
    default: return -1;
    }
}

bool validResolution(int r)
{
    return lowresFor(r) >= 0 || r == DVRESOLUTION_DC;
}

} // namespace

PictureSize dvPictureSize(System system, int resolution)
{
    const bool pal = system != System::Ntsc525_60;
    const int height = pal ? 576 : 480;
    switch (resolution) {
    case DVRESOLUTION_FULL: return {720, height};
    case DVRESOLUTION_HALF: return {360, height / 2};
    case DVRESOLUTION_QUARTER: return {180, height / 4};
    case DVRESOLUTION_DC: return {kDcPictureWidth, height / 8};
    default: return {};
    }
}

// --- The decoding core ------------------------------------------------------------------------

DvPictureDecoder::DvPictureDecoder() : packet_(av_packet_alloc()), picture_(av_frame_alloc())
{
    input_ = av_buffer_allocz(static_cast<std::size_t>(th::dif::kFrameSizePal) + AV_INPUT_BUFFER_PADDING_SIZE);
}

DvPictureDecoder::~DvPictureDecoder()
{
    av_buffer_unref(&input_);
}

bool DvPictureDecoder::open(int lowres)
{
    if (codec_ && lowres_ == lowres)
        return true;
    codec_.reset();
    lowres_ = -1;
    const AVCodec* dv = avcodec_find_decoder(AV_CODEC_ID_DVVIDEO);
    if (!dv)
        return false;
    AvCodecContextPtr c(avcodec_alloc_context3(dv));
    if (!c)
        return false;
    c->lowres = std::min(lowres, static_cast<int>(dv->max_lowres));
    // One thread: the decoder runs on the streaming thread that feeds it.
    c->thread_count = 1;
    if (avcodec_open2(c.get(), dv, nullptr) < 0)
        return false;
    codec_ = std::move(c);
    lowres_ = lowres;
    return true;
}

HRESULT DvPictureDecoder::decode(const std::uint8_t* frame, std::size_t length, int resolution,
                                 std::uint8_t* pixels, std::size_t capacity, DibLayout* layout, int bitCount)
{
    if (!frame || !pixels || !layout)
        return E_POINTER;
    if (!validResolution(resolution))
        return E_INVALIDARG;
    const System system = th::dif::readSystem(frame, length);
    if (system == System::None)
        return kFrameRejected;
    const PictureSize size = dvPictureSize(system, resolution);
    *layout = dibLayout(size.width, size.height, bitCount);
    if (capacity < layout->sizeImage)
        return VFW_E_BUFFER_OVERFLOW;
    if (resolution == DVRESOLUTION_DC) {
        codec_.reset();
        lowres_ = -1;
        return decodeDcPicture(frame, length, system, pixels, layout->stride, layout->bitCount) ? S_OK
                                                                                              : kFrameRejected;
    }
    if (!packet_ || !picture_ || !input_ || !open(lowresFor(resolution)))
        return E_OUTOFMEMORY;

    // The packet buffer is reused; libavcodec lets go of it once the picture is out.
    if (!av_buffer_is_writable(input_)) {
        av_buffer_unref(&input_);
        input_ = av_buffer_allocz(static_cast<std::size_t>(th::dif::kFrameSizePal) + AV_INPUT_BUFFER_PADDING_SIZE);
        if (!input_)
            return E_OUTOFMEMORY;
    }
    const std::size_t bytes = th::dif::frameSize(system);
    std::memcpy(input_->data, frame, bytes);
    std::memset(input_->data + bytes, 0, AV_INPUT_BUFFER_PADDING_SIZE);
    av_packet_unref(packet_.get());
    packet_->buf = av_buffer_ref(input_);
    if (!packet_->buf)
        return E_OUTOFMEMORY;
    packet_->data = input_->data;
    packet_->size = static_cast<int>(bytes);
    packet_->flags = AV_PKT_FLAG_KEY;

    int rc = avcodec_send_packet(codec_.get(), packet_.get());
    av_packet_unref(packet_.get());
    if (rc < 0) {
        // A context that refused a frame is opened afresh for the next one.
        codec_.reset();
        lowres_ = -1;
        return kFrameRejected;
    }
    av_frame_unref(picture_.get());
    rc = avcodec_receive_frame(codec_.get(), picture_.get());
    if (rc < 0) {
        codec_.reset();
        lowres_ = -1;
        return kFrameRejected;
    }
    const bool ok = scaler_.scale(*picture_, *layout, pixels);
    av_frame_unref(picture_.get());
    return ok ? S_OK : kFrameRejected;
}

// --- Input pin ----------------------------------------------------------------------------------

CDVDecoderInputPin::CDVDecoderInputPin(CDVVideoDecoder* filter, CCritSec* lock, HRESULT* hr)
    : CPassThroughInputPin("DV Video Decoder input", filter, lock, hr, u"XForm In", {&filter->m_output}),
      m_decoder(filter)
{
}

HRESULT CDVDecoderInputPin::CheckMediaType(const CMediaType* type)
{
    if (!(type->majortype == MEDIATYPE_Video) || !(type->subtype == MEDIASUBTYPE_dvsd))
        return S_FALSE;
    if (type->formattype == FORMAT_VideoInfo)
        return type->cbFormat >= sizeof(VIDEOINFOHEADER) && type->pbFormat ? S_OK : S_FALSE;
    return type->formattype == GUID_NULL || type->formattype == FORMAT_None ? S_OK : S_FALSE;
}

HRESULT CDVDecoderInputPin::Receive(IMediaSample* sample)
{
    const HRESULT hr = CBaseInputPin::Receive(sample);
    if (hr != S_OK)
        return hr;
    return m_decoder->receive(sample);
}

// --- Output pin ---------------------------------------------------------------------------------

CDVDecoderOutputPin::CDVDecoderOutputPin(CDVVideoDecoder* filter, CCritSec* lock, HRESULT* hr)
    : CBaseOutputPin("DV Video Decoder output", filter, lock, hr, u"XForm Out"), m_decoder(filter)
{
}

HRESULT CDVDecoderOutputPin::GetMediaType(int position, CMediaType* type)
{
    if (position < 0)
        return E_INVALIDARG;
    if (position > 1 || !m_decoder->m_input.IsConnected())
        return VFW_S_NO_MORE_ITEMS;
    // 32 bits first: what a window paints, so that a renderer converts nothing.
    CDVVideoDecoder::MakeOutputType(m_decoder->inputSystem(), m_decoder->m_resolution.load(), type,
                                    position == 0 ? 32 : 24);
    return type->pbFormat ? S_OK : E_OUTOFMEMORY;
}

HRESULT CDVDecoderOutputPin::CheckMediaType(const CMediaType* type)
{
    if (!m_decoder->m_input.IsConnected())
        return VFW_E_NOT_CONNECTED;
    for (int position = 0; position < 2; ++position) {
        CMediaType mine;
        if (GetMediaType(position, &mine) == S_OK && th::dshow::SameMediaType(*type, mine))
            return S_OK;
    }
    return S_FALSE;
}

HRESULT CDVDecoderOutputPin::SetMediaType(const CMediaType* type)
{
    const HRESULT hr = CBaseOutputPin::SetMediaType(type);
    if (SUCCEEDED(hr)) {
        m_decoder->m_toldSystem = m_decoder->inputSystem();
        m_decoder->m_toldResolution = m_decoder->m_resolution.load();
        m_decoder->m_bitCount = type->subtype == MEDIASUBTYPE_RGB32 ? 32 : 24;
    }
    return hr;
}

HRESULT CDVDecoderOutputPin::DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* props)
{
    ALLOCATOR_PROPERTIES want = *props;
    want.cBuffers = std::max<LONG>(want.cBuffers, 2);
    // Every picture size fits, so that a change of size needs no new allocator.
    want.cbBuffer = std::max<LONG>(want.cbBuffer, static_cast<LONG>(kLargestPicture));
    want.cbAlign = std::max<LONG>(want.cbAlign, 1);
    ALLOCATOR_PROPERTIES actual{};
    const HRESULT hr = allocator->SetProperties(&want, &actual);
    if (FAILED(hr))
        return hr;
    return actual.cbBuffer >= want.cbBuffer && actual.cBuffers >= 1 ? S_OK : E_FAIL;
}

void CDVDecoderOutputPin::ChangeConnectionType(const CMediaType& type)
{
    CAutoLock lock(m_pLock);
    m_mt = type;
}

// --- Filter ---------------------------------------------------------------------------------------

CUnknown* CDVVideoDecoder::CreateInstance(IUnknown* outer, HRESULT* hr)
{
    auto* f = new (std::nothrow) CDVVideoDecoder(outer, hr);
    if (!f && hr)
        *hr = E_OUTOFMEMORY;
    return f;
}

CDVVideoDecoder::CDVVideoDecoder(IUnknown* outer, HRESULT* hr)
    : CBaseFilter("DV Video Decoder", outer, &m_lock, CLSID_DVVideoCodec), m_input(this, &m_lock, hr),
      m_output(this, &m_lock, hr)
{
}

CDVVideoDecoder::~CDVVideoDecoder() = default;

HRESULT CDVVideoDecoder::NonDelegatingQueryInterface(REFIID riid, void** ppv)
{
    if (riid == IID_IIPDVDec)
        return GetInterface(static_cast<IIPDVDec*>(this), ppv);
    return CBaseFilter::NonDelegatingQueryInterface(riid, ppv);
}

CBasePin* CDVVideoDecoder::GetPin(int n)
{
    switch (n) {
    case 0: return &m_input;
    case 1: return &m_output;
    default: return nullptr;
    }
}

void CDVVideoDecoder::MakeOutputType(System system, int resolution, CMediaType* type, int bitCount)
{
    const PictureSize size = dvPictureSize(system, resolution);
    const DibLayout layout = dibLayout(size.width, size.height, bitCount);
    const REFERENCE_TIME frameTime = th::riff::dv::FramePeriod(system == System::Ntsc525_60);
    type->InitMediaType();
    type->majortype = MEDIATYPE_Video;
    type->subtype = layout.bitCount == 32 ? MEDIASUBTYPE_RGB32 : MEDIASUBTYPE_RGB24;
    type->formattype = FORMAT_VideoInfo;
    type->bFixedSizeSamples = TRUE;
    type->bTemporalCompression = FALSE;
    type->lSampleSize = static_cast<ULONG>(layout.sizeImage);
    auto* vih = reinterpret_cast<VIDEOINFOHEADER*>(type->AllocFormatBuffer(sizeof(VIDEOINFOHEADER)));
    if (!vih)
        return;
    vih->rcSource = {0, 0, size.width, size.height};
    vih->rcTarget = {0, 0, size.width, size.height};
    vih->AvgTimePerFrame = frameTime;
    vih->dwBitRate = static_cast<DWORD>(static_cast<LONGLONG>(layout.sizeImage) * 8 * UNITS / frameTime);
    vih->bmiHeader = dibHeader(layout);
}

System CDVVideoDecoder::inputSystem() const
{
    const CMediaType& mt = m_input.CurrentMediaType();
    if (mt.formattype == FORMAT_VideoInfo && mt.cbFormat >= sizeof(VIDEOINFOHEADER) && mt.pbFormat) {
        VIDEOINFOHEADER vih;
        std::memcpy(&vih, mt.pbFormat, sizeof vih);
        const LONG lines = vih.bmiHeader.biHeight < 0 ? -vih.bmiHeader.biHeight : vih.bmiHeader.biHeight;
        if (lines == 480)
            return System::Ntsc525_60;
    }
    return System::Pal625_50;
}

HRESULT CDVVideoDecoder::get_IPDisplay(int* displayPix)
{
    if (!displayPix)
        return E_POINTER;
    *displayPix = m_resolution.load();
    return S_OK;
}

HRESULT CDVVideoDecoder::put_IPDisplay(int displayPix)
{
    if (!validResolution(displayPix))
        return E_INVALIDARG;
    ComPtr<IPin> peer;
    CMediaType type;
    {
        CAutoLock lock(&m_lock);
        if (!m_output.IsConnected()) {
            m_resolution = displayPix;
            return S_OK;
        }
        peer = m_output.GetConnected();
        MakeOutputType(inputSystem(), displayPix, &type, m_bitCount);
    }
    if (!type.pbFormat)
        return E_OUTOFMEMORY;
    // Asked without the filter lock: the pin behind may take locks of its own.
    if (peer->QueryAccept(&type) != S_OK)
        return VFW_E_TYPE_NOT_ACCEPTED;
    CAutoLock lock(&m_lock);
    m_resolution = displayPix;
    if (m_output.IsConnected())
        m_output.ChangeConnectionType(type);
    return S_OK;
}

HRESULT CDVVideoDecoder::receive(IMediaSample* sample)
{
    if (!m_output.IsConnected())
        return S_OK;
    BYTE* frame = nullptr;
    if (FAILED(sample->GetPointer(&frame)) || !frame)
        return E_POINTER;
    const LONG length = sample->GetActualDataLength();
    if (length <= 0)
        return kFrameRejected;
    const System system = th::dif::readSystem(frame, static_cast<std::size_t>(length));
    if (system == System::None)
        return kFrameRejected;

    IMediaSample* out = nullptr;
    HRESULT hr = m_output.GetDeliveryBuffer(&out, nullptr, nullptr, 0);
    if (FAILED(hr))
        return hr;
    BYTE* pixels = nullptr;
    out->GetPointer(&pixels);
    const int resolution = m_resolution.load();
    DibLayout layout;
    const int bitCount = m_bitCount;
    hr = pixels ? m_core.decode(frame, static_cast<std::size_t>(length), resolution, pixels,
                                static_cast<std::size_t>(std::max<LONG>(out->GetSize(), 0)), &layout, bitCount)
                : E_POINTER;
    if (FAILED(hr)) {
        out->Release();
        return hr;
    }
    out->SetActualDataLength(static_cast<LONG>(layout.sizeImage));
    REFERENCE_TIME start = 0, stop = 0;
    const HRESULT ht = sample->GetTime(&start, &stop);
    if (ht == VFW_S_NO_STOP_TIME)
        out->SetTime(&start, nullptr);
    else if (SUCCEEDED(ht))
        out->SetTime(&start, &stop);
    LONGLONG mstart = 0, mstop = 0;
    if (SUCCEEDED(sample->GetMediaTime(&mstart, &mstop)))
        out->SetMediaTime(&mstart, &mstop);
    out->SetSyncPoint(TRUE);
    out->SetDiscontinuity(sample->IsDiscontinuity() == S_OK ? TRUE : FALSE);

    if (system != m_toldSystem || resolution != m_toldResolution) {
        CMediaType type;
        MakeOutputType(system, resolution, &type, bitCount);
        out->SetMediaType(&type);
        m_output.ChangeConnectionType(type);
        m_toldSystem = system;
        m_toldResolution = resolution;
    }
    hr = m_output.Deliver(out);
    out->Release();
    return hr;
}

} // namespace th::media
