#include "platform/dv/DvDeviceFilter.h"

#include "platform/dv/DifFrame.h"

#include <algorithm>
#include <functional>
#include <ctime>

namespace th::dv {

namespace {

LONG clampLong(std::int64_t v)
{
    return static_cast<LONG>(std::clamp<std::int64_t>(v, 0, 0x7FFFFFFF));
}

// A live camera frame carries the current date and time as its recording date
// and time; the picture, sound and time code stay as the tape has them.
void stampNow(std::uint8_t* frame, std::size_t length)
{
    const dif::System system = dif::readSystem(frame, length);
    const auto audio = dif::readAudioFormat(frame, length);
    if (system == dif::System::None || !audio)
        return;
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    dif::FrameInfo info;
    info.system = system;
    info.timecode = dif::readTimecode(frame, length).value_or(dif::Timecode{});
    info.recorded = dif::RecDateTime{{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday},
                                     {local.tm_hour, local.tm_min, std::min(local.tm_sec, 59)}};
    info.audio = *audio;
    dif::writeFrameInfo(frame, length, info);
}

} // namespace

// --- The pin -------------------------------------------------------------------------------

DvOutputPin::DvOutputPin(DvDeviceFilter* filter, CCritSec* lock, HRESULT* hr)
    : CBaseOutputPin("DV device output", filter, lock, hr, u"DV A/V Out"), m_device(filter)
{
    SetCategory(PIN_CATEGORY_CAPTURE);
}

DvOutputPin::~DvOutputPin()
{
    StopStreaming();
}

HRESULT DvOutputPin::NonDelegatingQueryInterface(REFIID riid, void** ppv)
{
    if (riid == IID_IAMDroppedFrames)
        return GetInterface(static_cast<IAMDroppedFrames*>(this), ppv);
    return CBaseOutputPin::NonDelegatingQueryInterface(riid, ppv);
}

HRESULT DvOutputPin::CheckMediaType(const CMediaType* type)
{
    if (!type)
        return E_POINTER;
    if (!(type->majortype == MEDIATYPE_Interleaved) || !(type->subtype == MEDIASUBTYPE_dvsd)
        || !(type->formattype == FORMAT_DvInfo) || type->FormatLength() < sizeof(DVINFO))
        return VFW_E_TYPE_NOT_ACCEPTED;
    return S_OK;
}

HRESULT DvOutputPin::GetMediaType(int position, CMediaType* type)
{
    if (!type)
        return E_POINTER;
    if (position < 0)
        return E_INVALIDARG;
    if (position > 0)
        return VFW_S_NO_MORE_ITEMS;
    type->InitMediaType();
    type->majortype = MEDIATYPE_Interleaved;
    type->subtype = MEDIASUBTYPE_dvsd;
    type->formattype = FORMAT_DvInfo;
    type->bFixedSizeSamples = TRUE;
    type->bTemporalCompression = FALSE;
    type->lSampleSize = static_cast<ULONG>(m_device->frameSize());
    const DVINFO info = m_device->dvInfo();
    if (!type->SetFormat(reinterpret_cast<const BYTE*>(&info), sizeof info))
        return E_OUTOFMEMORY;
    return S_OK;
}

HRESULT DvOutputPin::DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* props)
{
    if (!allocator || !props)
        return E_POINTER;
    const LONG frameSize = static_cast<LONG>(m_device->frameSize());
    ALLOCATOR_PROPERTIES want = *props;
    want.cBuffers = std::max(want.cBuffers, kDeviceBuffers);
    want.cbBuffer = std::max(want.cbBuffer, frameSize);
    want.cbAlign = std::max<LONG>(want.cbAlign, 1);
    ALLOCATOR_PROPERTIES actual{};
    const HRESULT hr = allocator->SetProperties(&want, &actual);
    if (FAILED(hr))
        return hr;
    if (actual.cbBuffer < frameSize || actual.cBuffers < 1)
        return E_FAIL;
    return S_OK;
}

HRESULT DvOutputPin::Active()
{
    m_dropped = 0;
    m_delivered = 0;
    {
        std::lock_guard<std::mutex> lock(m_historyMutex);
        m_historyNext = m_historyCount = 0;
    }
    return CBaseOutputPin::Active();
}

HRESULT DvOutputPin::Inactive()
{
    StopStreaming();
    return CBaseOutputPin::Inactive();
}

HRESULT DvOutputPin::Run(REFERENCE_TIME)
{
    if (m_thread.Running() && m_stop && !m_stop->load())
        return S_OK;
    auto stop = std::make_shared<std::atomic<bool>>(false);
    std::function<void()> body;
    if (m_device->fireWire()) {
        body = [this, stop] { streamFireWire(stop); };
    } else {
        // The run joins the camcorder now, not when its thread gets going, so
        // that a faster-than-real-time tape waits for it from the start.
        auto run = std::make_shared<Camcorder::Stream>(m_device->camcorderPtr(), *stop);
        body = [this, run]() mutable { stream(std::move(run)); };
    }
    m_stop = stop;
    ComPtr<IUnknown> keepAlive(m_device->GetOwner());
    if (!m_thread.Start("th-dv-device", std::move(body), keepAlive))
        return E_OUTOFMEMORY;
    return S_OK;
}

void DvOutputPin::StopStreaming()
{
    const std::shared_ptr<std::atomic<bool>> stop = m_stop;
    if (!stop)
        return;
    m_thread.Stop([this, stop] {
        stop->store(true);
        if (!m_device->fireWire()) {
            m_device->camcorder().wakeStreams();
            return;
        }
        std::lock_guard<std::mutex> lock(m_fireWireMutex);
        if (m_fireWireStream)
            m_fireWireStream->wake();
    });
}

void DvOutputPin::countDropped(std::int64_t firstSlot, std::int64_t count)
{
    if (count <= 0)
        return;
    m_dropped += count;
    std::lock_guard<std::mutex> lock(m_historyMutex);
    const std::int64_t from = std::max<std::int64_t>(firstSlot, firstSlot + count - static_cast<std::int64_t>(kDroppedHistory));
    for (std::int64_t s = from; s < firstSlot + count; ++s) {
        m_history[m_historyNext] = clampLong(s);
        m_historyNext = (m_historyNext + 1) % kDroppedHistory;
        m_historyCount = std::min(m_historyCount + 1, kDroppedHistory);
    }
}

void DvOutputPin::stream(std::shared_ptr<Camcorder::Stream> stream)
{
    const std::shared_ptr<Camcorder> camcorder = m_device->camcorderPtr();
    const DvTape& tape = camcorder->tape();
    const REFERENCE_TIME period = camcorder->framePeriod();
    const LONG frameSize = static_cast<LONG>(tape.frameSize());
    Camcorder::Stream& run = *stream;
    bool first = true;
    for (;;) {
        const FramePlan plan = run.next();
        if (plan.stop)
            break;
        countDropped(plan.slot - plan.missed, plan.missed);

        IMediaSample* sample = nullptr;
        const HRESULT hr = GetDeliveryBuffer(&sample, nullptr, nullptr, AM_GBF_NOWAIT);
        if (FAILED(hr) || !sample) {
            // Every buffer is still downstream (or the pool is going away).
            if (hr == VFW_E_TIMEOUT && run.abandon())
                countDropped(plan.slot, 1);
            run.pause(std::chrono::milliseconds(1));
            continue;
        }
        BYTE* buffer = nullptr;
        if (FAILED(sample->GetPointer(&buffer)) || sample->GetSize() < frameSize
            || !tape.readFrame(plan.tapeIndex, buffer)) {
            sample->Release(); // a dropout: the deck passes nothing on
            continue;
        }
        if (plan.live)
            stampNow(buffer, static_cast<std::size_t>(frameSize));
        deliverFrame(sample, plan.slot * period, period, plan.mediaTime, frameSize, first || plan.missed > 0);
        first = false;
        sample->Release();
        if (th::dshow::StreamingThread::StopRequestedHere())
            break;
    }
}

void DvOutputPin::deliverFrame(IMediaSample* sample, REFERENCE_TIME start, REFERENCE_TIME period, LONGLONG media,
                               LONG length, bool discontinuity)
{
    REFERENCE_TIME end = start + period;
    LONGLONG mediaEnd = media + 1;
    sample->SetTime(&start, &end);
    sample->SetMediaTime(&media, &mediaEnd);
    sample->SetActualDataLength(length);
    sample->SetSyncPoint(TRUE);
    sample->SetDiscontinuity(discontinuity ? TRUE : FALSE);
    ++m_delivered;
    Deliver(sample);
}

HRESULT DvOutputPin::GetNumDropped(LONG* dropped)
{
    if (!dropped)
        return E_POINTER;
    *dropped = clampLong(m_dropped.load());
    return S_OK;
}

HRESULT DvOutputPin::GetNumNotDropped(LONG* notDropped)
{
    if (!notDropped)
        return E_POINTER;
    *notDropped = clampLong(m_delivered.load());
    return S_OK;
}

HRESULT DvOutputPin::GetDroppedInfo(LONG size, LONG* frames, LONG* copied)
{
    if (!frames || !copied)
        return E_POINTER;
    if (size <= 0)
        return E_INVALIDARG;
    std::lock_guard<std::mutex> lock(m_historyMutex);
    const std::size_t n = std::min(static_cast<std::size_t>(size), m_historyCount);
    const std::size_t oldest = (m_historyNext + kDroppedHistory - m_historyCount) % kDroppedHistory;
    for (std::size_t i = 0; i < n; ++i)
        frames[i] = m_history[(oldest + i) % kDroppedHistory];
    *copied = static_cast<LONG>(n);
    return S_OK;
}

HRESULT DvOutputPin::GetAverageFrameSize(LONG* averageSize)
{
    if (!averageSize)
        return E_POINTER;
    *averageSize = static_cast<LONG>(m_device->frameSize());
    return S_OK;
}

// --- The filter ----------------------------------------------------------------------------

HRESULT DvDeviceFilter::create(std::shared_ptr<Camcorder> camcorder, REFIID riid, void** ppv)
{
    return make(std::move(camcorder), nullptr, riid, ppv);
}

HRESULT DvDeviceFilter::create(std::shared_ptr<Ieee1394Device> device, REFIID riid, void** ppv)
{
    return make(nullptr, std::move(device), riid, ppv);
}

HRESULT DvDeviceFilter::make(std::shared_ptr<Camcorder> camcorder, std::shared_ptr<Ieee1394Device> fireWire,
                             REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (!camcorder && !fireWire)
        return E_UNEXPECTED;
    auto* filter = new (std::nothrow) DvDeviceFilter(std::move(camcorder), std::move(fireWire));
    if (!filter)
        return E_OUTOFMEMORY;
    filter->NonDelegatingAddRef();
    const HRESULT hr = filter->NonDelegatingQueryInterface(riid, ppv);
    filter->NonDelegatingRelease();
    return hr;
}

DvDeviceFilter::DvDeviceFilter(std::shared_ptr<Camcorder> camcorder, std::shared_ptr<Ieee1394Device> fireWire)
    : CBaseFilter("DV device", nullptr, &m_lock, CLSID_TapeHarvestDvDevice),
      m_camcorder(std::move(camcorder)),
      m_fireWire(std::move(fireWire)),
      m_pin(this, &m_lock, nullptr)
{
    if (m_camcorder)
        m_camcorder->addFilter(this);
    else
        addFireWireFilter(this);
}

std::size_t DvDeviceFilter::frameSize() const
{
    return m_fireWire ? m_fireWire->frameSize() : m_camcorder->tape().frameSize();
}

DVINFO DvDeviceFilter::dvInfo() const
{
    return m_fireWire ? m_fireWire->dvInfo() : m_camcorder->tape().dvInfo();
}

REFERENCE_TIME DvDeviceFilter::framePeriod() const
{
    return m_fireWire ? m_fireWire->framePeriod() : m_camcorder->framePeriod();
}

DvDeviceFilter::~DvDeviceFilter()
{
    // First, so that no device event reaches a filter being taken apart.
    if (m_camcorder)
        m_camcorder->removeFilter(this);
    else
        removeFireWireFilter(this);
    m_pin.StopStreaming();
}

HRESULT DvDeviceFilter::NonDelegatingQueryInterface(REFIID riid, void** ppv)
{
    if (riid == IID_IAMExtDevice)
        return GetInterface(static_cast<IAMExtDevice*>(this), ppv);
    if (riid == IID_IAMExtTransport)
        return GetInterface(static_cast<IAMExtTransport*>(this), ppv);
    if (riid == IID_IAMTimecodeReader)
        return GetInterface(static_cast<IAMTimecodeReader*>(this), ppv);
    return CBaseFilter::NonDelegatingQueryInterface(riid, ppv);
}

HRESULT DvDeviceFilter::Pause()
{
    CAutoLock lock(m_pLock);
    if (m_State == State_Running)
        m_pin.StopStreaming(); // a paused live source sends nothing
    return CBaseFilter::Pause();
}

HRESULT DvDeviceFilter::GetState(DWORD milliseconds, FILTER_STATE* state)
{
    const HRESULT hr = CBaseFilter::GetState(milliseconds, state);
    if (SUCCEEDED(hr) && *state == State_Paused)
        return VFW_S_CANT_CUE;
    return hr;
}

HRESULT DvDeviceFilter::JoinFilterGraph(IFilterGraph* graph, LPCWSTR name)
{
    const HRESULT hr = CBaseFilter::JoinFilterGraph(graph, name);
    if (SUCCEEDED(hr))
        m_eventGraph = graph;
    return hr;
}

HRESULT DvDeviceFilter::GetCapability(LONG capability, LONG* value, double*)
{
    if (!value)
        return E_POINTER;
    if (capability != ED_DEVCAP_DEVICE_TYPE)
        return E_NOTIMPL;
    return m_fireWire ? m_fireWire->deviceType(value) : m_camcorder->deviceType(value);
}

HRESULT DvDeviceFilter::put_Mode(LONG mode)
{
    return m_fireWire ? m_fireWire->putMode(mode) : m_camcorder->putMode(mode);
}

HRESULT DvDeviceFilter::get_Mode(LONG* mode)
{
    if (!mode)
        return E_POINTER;
    return m_fireWire ? m_fireWire->getMode(mode) : m_camcorder->getMode(mode);
}

HRESULT DvDeviceFilter::GetTransportBasicParameters(LONG param, LONG* value, LPOLESTR* data)
{
    if (!value)
        return E_POINTER;
    switch (param) {
    case ED_TRANSBASIC_INPUT_SIGNAL:
        return m_fireWire ? m_fireWire->inputSignal(value) : m_camcorder->inputSignal(value);
    case ED_RAW_EXT_DEV_CMD:
        // `data` is the command buffer itself, passed as the string pointer.
        if (!data || *value <= 0)
            return E_POINTER;
        if (m_fireWire)
            return m_fireWire->rawCommand(reinterpret_cast<BYTE*>(data), *value);
        return m_camcorder->rawCommand(reinterpret_cast<BYTE*>(data), *value);
    default: return E_NOTIMPL;
    }
}

HRESULT DvDeviceFilter::GetTimecode(TIMECODE_SAMPLE* timecode)
{
    if (!timecode)
        return E_POINTER;
    if (timecode->dwFlags != static_cast<DWORD>(ED_DEVCAP_TIMECODE_READ))
        return E_INVALIDARG;
    DWORD bcd = 0;
    const HRESULT hr = m_fireWire ? m_fireWire->timecode(&bcd) : m_camcorder->timecode(&bcd);
    if (SUCCEEDED(hr))
        timecode->timecode.dwFrames = bcd;
    return hr;
}

} // namespace th::dv
