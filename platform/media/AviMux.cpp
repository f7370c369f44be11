#include "platform/media/AviMux.h"

#include "platform/media/FileWriter.h"
#include "platform/riff/DvFormat.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace th::media {

namespace {

DWORD win32Code(HRESULT hr)
{
    const auto u = static_cast<std::uint32_t>(hr);
    if ((u & 0xFFFF0000u) == 0x80070000u)
        return u & 0xFFFFu;
    return static_cast<DWORD>(ERROR_WRITE_FAULT);
}

} // namespace

// --- The sink over the output pin ------------------------------------------------------

void CAviMuxSink::Reset()
{
    m_pos = 0;
    m_lastFailure = S_OK;
}

DWORD CAviMuxSink::failed(HRESULT hr)
{
    m_lastFailure = hr == S_FALSE ? VFW_E_WRONG_STATE : hr;
    return win32Code(m_lastFailure);
}

// Copies head, data and pad zero bytes into as few samples as they fit, each
// stamped with its byte range, and hands them downstream in order.
DWORD CAviMuxSink::deliver(std::int64_t pos, const void* head, std::size_t headBytes, const void* data,
                           std::size_t n, std::size_t pad)
{
    const auto* parts0 = static_cast<const std::uint8_t*>(head);
    const auto* parts1 = static_cast<const std::uint8_t*>(data);
    std::size_t left[3] = {headBytes, n, pad};
    std::size_t done[3] = {0, 0, 0};
    const std::size_t total = headBytes + n + pad;
    std::size_t sent = 0;
    do {
        IMediaSample* sample = nullptr;
        HRESULT hr = m_pin->GetDeliveryBuffer(&sample, nullptr, nullptr, 0);
        if (FAILED(hr) || !sample)
            return failed(FAILED(hr) ? hr : E_UNEXPECTED);
        BYTE* buffer = nullptr;
        sample->GetPointer(&buffer);
        const std::size_t room = static_cast<std::size_t>(sample->GetSize());
        std::size_t used = 0;
        for (int part = 0; part < 3 && used < room; ++part) {
            const std::size_t k = std::min(left[part], room - used);
            if (k == 0)
                continue;
            if (part == 0)
                std::memcpy(buffer + used, parts0 + done[0], k);
            else if (part == 1)
                std::memcpy(buffer + used, parts1 + done[1], k);
            else
                std::memset(buffer + used, 0, k);
            used += k;
            left[part] -= k;
            done[part] += k;
        }
        REFERENCE_TIME start = pos + static_cast<std::int64_t>(sent);
        REFERENCE_TIME stop = start + static_cast<std::int64_t>(used);
        sample->SetActualDataLength(static_cast<LONG>(used));
        sample->SetTime(&start, &stop);
        sample->SetSyncPoint(TRUE);
        hr = m_pin->Deliver(sample);
        sample->Release();
        if (hr != S_OK)
            return failed(hr);
        sent += used;
    } while (sent < total);
    return 0;
}

DWORD CAviMuxSink::Append(const void* data, std::size_t n)
{
    if (n == 0)
        return 0;
    const DWORD r = deliver(m_pos, nullptr, 0, data, n, 0);
    if (r == 0)
        m_pos += static_cast<std::int64_t>(n);
    return r;
}

DWORD CAviMuxSink::Patch(std::int64_t pos, const void* data, std::size_t n)
{
    if (n == 0)
        return 0;
    return deliver(pos, nullptr, 0, data, n, 0);
}

DWORD CAviMuxSink::AppendChunk(std::uint32_t id, const void* data, std::size_t n)
{
    std::uint8_t head[8];
    riff::Put32(head, id);
    riff::Put32(head + 4, static_cast<std::uint32_t>(n));
    const std::size_t pad = n & 1;
    const DWORD r = deliver(m_pos, head, sizeof head, data, n, pad);
    if (r == 0)
        m_pos += static_cast<std::int64_t>(sizeof head + n + pad);
    return r;
}

DWORD CAviMuxSink::Flush(std::int64_t* end)
{
    *end = m_pos;
    IPin* peer = m_pin->GetConnected();
    PIN_INFO info{};
    if (!peer || FAILED(peer->QueryPinInfo(&info)) || !info.pFilter)
        return 0;
    ComPtr<IFileWriteBehind> behind;
    const HRESULT q = info.pFilter->QueryInterface(IID_PPV_ARGS(&behind));
    info.pFilter->Release();
    if (FAILED(q) || !behind)
        return 0;
    LONGLONG good = m_pos;
    const HRESULT hr = behind->FlushWrites(&good);
    *end = good;
    return SUCCEEDED(hr) ? 0 : failed(hr);
}

DWORD CAviMuxSink::SetEnd(std::int64_t pos)
{
    IMediaSample* sample = nullptr;
    HRESULT hr = m_pin->GetDeliveryBuffer(&sample, nullptr, nullptr, 0);
    if (FAILED(hr) || !sample)
        return failed(FAILED(hr) ? hr : E_UNEXPECTED);
    REFERENCE_TIME start = pos;
    REFERENCE_TIME stop = pos;
    sample->SetActualDataLength(0);
    sample->SetTime(&start, &stop);
    hr = m_pin->Deliver(sample);
    sample->Release();
    return hr == S_OK ? 0 : failed(hr);
}

// --- Pins ----------------------------------------------------------------------------------

CAviMuxInputPin::CAviMuxInputPin(CAviMux* mux, CCritSec* lock, HRESULT* hr, LPCWSTR name)
    : CBaseInputPin("AVI Mux input", mux, lock, hr, name), m_mux(mux)
{
}

HRESULT CAviMuxInputPin::CheckMediaType(const CMediaType* type)
{
    return type && DescribeStream(*type, nullptr) ? S_OK : S_FALSE;
}

HRESULT CAviMuxInputPin::CompleteConnect(IPin* pin)
{
    const HRESULT hr = CBaseInputPin::CompleteConnect(pin);
    if (SUCCEEDED(hr))
        m_mux->addInputPin();
    return hr;
}

void CAviMuxInputPin::resetTiming(int stream)
{
    m_stream = stream;
    m_ended = false;
    m_havePrev = false;
    m_gap.Reset();
    m_rate.Reset();
}

// Empty chunks for frames, or silence for audio, that the stream lost before
// this sample.
HRESULT CAviMuxInputPin::fillGap(IMediaSample* sample, std::size_t bytes)
{
    AviFileLayout& layout = m_mux->m_layout;
    const AviStreamInfo& info = layout.Stream(m_stream);
    const bool audio = info.kind == AviStreamKind::Audio;

    const riff::SampleTimes times = riff::TimesOf(sample);
    const std::int64_t own = audio ? static_cast<std::int64_t>(bytes / info.blockAlign) : 1;
    m_gap.SetUnitsPerSecond(audio ? static_cast<double>(info.samplesPerSec)
                                  : info.frameDuration > 0 ? static_cast<double>(UNITS) / info.frameDuration : 0);
    m_havePrev = true;
    const std::int64_t missing = m_gap.Missing(times, own);
    if (missing <= 0)
        return S_OK;
    return audio ? layout.WriteSilence(m_stream, missing) : layout.WriteDropped(m_stream, missing);
}

HRESULT CAviMuxInputPin::writeAudio(IMediaSample* sample, const BYTE* data, std::size_t bytes)
{
    AviFileLayout& layout = m_mux->m_layout;
    AviStreamInfo& info = layout.Stream(m_stream);
    // The pin's type is the one the upstream filter attached last (its sound changed).
    AviStreamInfo arriving;
    if (!DescribeStream(m_mt, &arriving) || arriving.kind != AviStreamKind::Audio ||
        arriving.samplesPerSec == info.samplesPerSec) {
        m_rate.Reset();
        const HRESULT hr = fillGap(sample, bytes);
        return SUCCEEDED(hr) ? layout.WriteChunk(m_stream, data, bytes) : hr;
    }
    if (layout.Length(m_stream) == 0 && arriving.format.size() == info.format.size()) {
        // Nothing of the stream is written yet: the file takes this rate.
        info.format = arriving.format;
        info.blockAlign = arriving.blockAlign;
        info.samplesPerSec = arriving.samplesPerSec;
        info.avgBytesPerSec = arriving.avgBytesPerSec;
        info.scale = arriving.scale;
        info.rate = arriving.rate;
        m_rate.Reset();
        const HRESULT hr = fillGap(sample, bytes);
        return SUCCEEDED(hr) ? layout.WriteChunk(m_stream, data, bytes) : hr;
    }
    const auto channels = riff::Get16(arriving.format.data() + 2);
    const auto bits = riff::Get16(arriving.format.data() + 14);
    if (bits != 16 || channels != riff::Get16(info.format.data() + 2) || riff::Get16(info.format.data() + 14) != 16)
        return E_INVALIDARG; // no conversion for it: refused like any sample the file cannot hold
    const riff::SampleTimes times = riff::TimesOf(sample);
    const auto own = static_cast<std::int64_t>(bytes / arriving.blockAlign);
    m_gap.SetUnitsPerSecond(static_cast<double>(arriving.samplesPerSec));
    m_havePrev = true;
    const std::int64_t missing = m_gap.Missing(times, own);
    if (missing > 0) {
        const std::int64_t lost = m_rate.Lost(missing, channels, arriving.samplesPerSec, info.samplesPerSec);
        if (lost > 0)
            if (const HRESULT hr = layout.WriteSilence(m_stream, lost); FAILED(hr))
                return hr;
    }
    if (!m_rate.Convert(reinterpret_cast<const std::int16_t*>(data), own, channels, arriving.samplesPerSec,
                        info.samplesPerSec, m_converted))
        return E_FAIL;
    if (m_converted.empty())
        return S_OK;
    return layout.WriteChunk(m_stream, m_converted.data(), m_converted.size() * sizeof(std::int16_t));
}

HRESULT CAviMuxInputPin::Receive(IMediaSample* sample)
{
    HRESULT hr = CBaseInputPin::Receive(sample);
    if (hr != S_OK)
        return hr;
    BYTE* data = nullptr;
    if (FAILED(sample->GetPointer(&data)))
        return E_POINTER;
    const LONG length = sample->GetActualDataLength();
    if (length < 0 || (length > 0 && !data))
        return E_INVALIDARG;
    const auto bytes = static_cast<std::size_t>(length);

    std::lock_guard<std::mutex> lock(m_mux->m_fileLock);
    AviFileLayout& layout = m_mux->m_layout;
    if (m_stream < 0 || !layout.IsOpen())
        return m_ended ? VFW_E_SAMPLE_REJECTED_EOS : VFW_E_WRONG_STATE;
    if (layout.Failed())
        return layout.FirstError();
    AviStreamInfo& info = layout.Stream(m_stream);
    if (info.kind == AviStreamKind::Interleaved && !m_havePrev)
        SetDvRateFromFrameSize(info, bytes);
    if (info.kind == AviStreamKind::Audio && bytes % info.blockAlign != 0)
        return E_INVALIDARG;
    // A DV frame has one of the two sizes; a short or overlong one is refused
    // (the gap it leaves is filled by the next frame like a dropped one).
    if ((info.kind == AviStreamKind::Interleaved || info.handler == riff::FourCC("dvsd")) &&
        bytes != riff::dv::kNtscFrameBytes && bytes != riff::dv::kPalFrameBytes)
        return E_INVALIDARG;
    const std::int64_t before = layout.Chunks(m_stream);
    if (info.kind == AviStreamKind::Audio) {
        hr = writeAudio(sample, data, bytes);
    } else {
        hr = fillGap(sample, bytes);
        if (SUCCEEDED(hr))
            hr = layout.WriteChunk(m_stream, data, bytes);
    }
    if (FAILED(hr))
        layout.TakeBack(m_stream, before);
    return hr;
}

HRESULT CAviMuxInputPin::EndOfStream()
{
    const HRESULT hr = CheckStreaming();
    if (hr != S_OK)
        return hr;
    bool finished = false;
    {
        std::lock_guard<std::mutex> lock(m_mux->m_fileLock);
        if (m_ended || m_stream < 0)
            return S_OK;
        m_ended = true;
        bool all = true;
        for (const auto& in : m_mux->m_inputs)
            if (in->m_stream >= 0 && !in->m_ended)
                all = false;
        if (all && m_mux->m_layout.IsOpen()) {
            m_mux->finishFile();
            finished = true;
        }
    }
    // Outside the file lock: the writer raises its end of stream from here.
    if (finished)
        m_mux->m_output.DeliverEndOfStream();
    return S_OK;
}

CAviMuxOutputPin::CAviMuxOutputPin(CAviMux* mux, CCritSec* lock, HRESULT* hr)
    : CBaseOutputPin("AVI Mux output", mux, lock, hr, u"AVI Out")
{
}

HRESULT CAviMuxOutputPin::CheckMediaType(const CMediaType* type)
{
    return type && type->majortype == MEDIATYPE_Stream ? S_OK : S_FALSE;
}

HRESULT CAviMuxOutputPin::GetMediaType(int position, CMediaType* type)
{
    if (position < 0)
        return E_INVALIDARG;
    if (position > 0)
        return VFW_S_NO_MORE_ITEMS;
    type->InitMediaType();
    type->majortype = MEDIATYPE_Stream;
    type->subtype = MEDIASUBTYPE_Avi;
    type->formattype = FORMAT_None;
    type->bFixedSizeSamples = FALSE;
    type->lSampleSize = 1;
    return S_OK;
}

HRESULT CAviMuxOutputPin::DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* props)
{
    ALLOCATOR_PROPERTIES want = *props;
    want.cBuffers = std::max(want.cBuffers, kBuffers);
    want.cbBuffer = std::max(want.cbBuffer, kBufferBytes);
    if (want.cbAlign <= 0)
        want.cbAlign = 1;
    ALLOCATOR_PROPERTIES actual{};
    const HRESULT hr = allocator->SetProperties(&want, &actual);
    if (FAILED(hr))
        return hr;
    return actual.cbBuffer > 0 && actual.cBuffers > 0 ? S_OK : E_FAIL;
}

// --- The filter ----------------------------------------------------------------------------

CUnknown* CAviMux::CreateInstance(IUnknown* outer, HRESULT* hr)
{
    return new CAviMux(outer, hr);
}

CAviMux::CAviMux(IUnknown* outer, HRESULT* hr)
    : CBaseFilter("AVI Mux", outer, &m_lock, CLSID_AviDest), m_output(this, &m_lock, hr), m_sink(&m_output),
      m_layout(m_sink)
{
    m_inputs.reserve(8);
    addInputPin();
}

CAviMux::~CAviMux() = default;

HRESULT CAviMux::NonDelegatingQueryInterface(REFIID riid, void** ppv)
{
    if (riid == IID_IConfigAviMux)
        return GetInterface(static_cast<IConfigAviMux*>(this), ppv);
    if (riid == IID_IConfigInterleaving)
        return GetInterface(static_cast<IConfigInterleaving*>(this), ppv);
    if (riid == IID_IFileWriteStatus)
        return GetInterface(static_cast<IFileWriteStatus*>(this), ppv);
    return CBaseFilter::NonDelegatingQueryInterface(riid, ppv);
}

void CAviMux::addInputPin()
{
    CAutoLock lock(&m_lock);
    if (m_inputs.size() >= 99)
        return;
    const int number = static_cast<int>(m_inputs.size()) + 1;
    std::u16string name = u"Input ";
    name += static_cast<char16_t>(u'0' + number / 10);
    name += static_cast<char16_t>(u'0' + number % 10);
    HRESULT hr = S_OK;
    m_inputs.push_back(std::make_unique<CAviMuxInputPin>(this, &m_lock, &hr, name.c_str()));
    IncrementPinVersion();
}

int CAviMux::GetPinCount()
{
    CAutoLock lock(&m_lock);
    return 1 + static_cast<int>(m_inputs.size());
}

CBasePin* CAviMux::GetPin(int n)
{
    CAutoLock lock(&m_lock);
    if (n == 0)
        return &m_output;
    if (n < 0 || n > static_cast<int>(m_inputs.size()))
        return nullptr;
    return m_inputs[static_cast<std::size_t>(n - 1)].get();
}

CAviMux::FilePlan CAviMux::planFile()
{
    FilePlan plan;
    for (const auto& in : m_inputs) {
        PlannedStream p{in.get(), false, {}};
        p.makesStream = in->IsConnected() && DescribeStream(in->CurrentMediaType(), &p.info);
        plan.inputs.push_back(std::move(p));
    }
    plan.outputConnected = m_output.IsConnected();
    plan.options.oldIndex = m_oldIndex;
    plan.options.riffLimit = m_riffLimit;
    return plan;
}

void CAviMux::startFile(const FilePlan& plan)
{
    std::lock_guard<std::mutex> lock(m_fileLock);
    std::vector<AviStreamInfo> streams;
    for (const PlannedStream& p : plan.inputs) {
        p.pin->resetTiming(-1);
        if (p.makesStream) {
            p.pin->resetTiming(static_cast<int>(streams.size()));
            streams.push_back(p.info);
        }
    }
    if (streams.empty() || !plan.outputConnected)
        return;
    m_sink.Reset();
    m_layout.Begin(streams, plan.options);
}

void CAviMux::finishFile()
{
    if (m_layout.IsOpen()) {
        m_layout.End();
        m_framesWritten = videoFrames();
    }
}

std::int64_t CAviMux::videoFrames() const
{
    for (int s = 0; s < m_layout.StreamCount(); ++s)
        if (m_layout.Kind(s) != AviStreamKind::Audio)
            return m_layout.Length(s);
    return 0;
}

HRESULT CAviMux::GetWriteError(HRESULT* error, LPOLESTR* text)
{
    if (!error || !text)
        return E_POINTER;
    std::lock_guard<std::mutex> file(m_fileLock);
    *error = m_layout.FirstError();
    *text = nullptr;
    return S_OK;
}

HRESULT CAviMux::GetFramesWritten(LONGLONG* frames)
{
    if (!frames)
        return E_POINTER;
    std::lock_guard<std::mutex> file(m_fileLock);
    *frames = m_layout.IsOpen() ? videoFrames() : m_framesWritten;
    return S_OK;
}

// Beginning and finishing a file deliver its headers and indexes: with the
// file lock alone, as Receive delivers, never with the filter lock, which the
// graph and the pins take. The state-change lock keeps the state changes
// from crossing while none of them holds the filter lock.
HRESULT CAviMux::Pause()
{
    std::lock_guard<std::mutex> change(m_stateChange);
    return pauseLocked();
}

// A run from stopped pauses here first, not in the base's Run, which would
// pause with the filter lock held.
HRESULT CAviMux::Run(REFERENCE_TIME start)
{
    std::lock_guard<std::mutex> change(m_stateChange);
    if (IsStopped()) {
        const HRESULT hr = pauseLocked();
        if (FAILED(hr))
            return hr;
    }
    return CBaseFilter::Run(start);
}

HRESULT CAviMux::pauseLocked()
{
    FilePlan plan;
    {
        CAutoLock lock(&m_lock);
        const bool fromStopped = m_State == State_Stopped;
        const HRESULT hr = CBaseFilter::Pause();
        if (FAILED(hr))
            return hr;
        if (!fromStopped)
            return S_OK;
        plan = planFile();
    }
    startFile(plan);
    return S_OK;
}

HRESULT CAviMux::Stop()
{
    std::lock_guard<std::mutex> change(m_stateChange);
    if (!IsStopped()) {
        // The file is finished before the output decommits its buffers.
        std::lock_guard<std::mutex> file(m_fileLock);
        finishFile();
        for (const auto& in : m_inputs)
            in->m_stream = -1;
    }
    return CBaseFilter::Stop();
}

HRESULT CAviMux::SetOutputCompatibilityIndex(BOOL oldIndex)
{
    CAutoLock lock(&m_lock);
    m_oldIndex = oldIndex != FALSE;
    return S_OK;
}

HRESULT CAviMux::GetOutputCompatibilityIndex(BOOL* oldIndex)
{
    if (!oldIndex)
        return E_POINTER;
    CAutoLock lock(&m_lock);
    *oldIndex = m_oldIndex ? TRUE : FALSE;
    return S_OK;
}

HRESULT CAviMux::put_Mode(InterleavingMode mode)
{
    if (mode < INTERLEAVE_NONE || mode > INTERLEAVE_NONE_BUFFERED)
        return E_INVALIDARG;
    CAutoLock lock(&m_lock);
    m_mode = mode;
    return S_OK;
}

HRESULT CAviMux::get_Mode(InterleavingMode* mode)
{
    if (!mode)
        return E_POINTER;
    CAutoLock lock(&m_lock);
    *mode = m_mode;
    return S_OK;
}

void CAviMux::SetRiffLimit(std::int64_t bytes)
{
    CAutoLock lock(&m_lock);
    m_riffLimit = bytes;
}

} // namespace th::media
