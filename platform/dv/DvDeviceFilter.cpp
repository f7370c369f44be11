#include "platform/dv/DvDeviceFilter.h"

#include "platform/dv/DifFrame.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>

namespace th::dv {

namespace {

LONG clampLong(std::int64_t v)
{
    return static_cast<LONG>(std::clamp<std::int64_t>(v, 0, 0x7FFFFFFF));
}

// How long the pin waits for a buffer before it looks again, should an
// allocator not tell of the samples that come back.
constexpr auto kBufferWait = std::chrono::milliseconds(100);

} // namespace

// Wakes the pin that waits for a buffer: when downstream gives a sample back
// (the allocator calls NotifyRelease) and when the run is to end.
class BufferWait final : public IMemAllocatorNotifyCallbackTemp {
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IMemAllocatorNotifyCallbackTemp) {
            *ppv = static_cast<IMemAllocatorNotifyCallbackTemp*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++refs_; }
    ULONG Release() override
    {
        const ULONG n = --refs_;
        if (n == 0)
            delete this;
        return n;
    }
    HRESULT NotifyRelease() override
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++released_;
        }
        changed_.notify_all();
        return S_OK;
    }

    std::uint64_t released()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return released_;
    }
    void wait(std::uint64_t released, std::chrono::milliseconds timeout)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, timeout, [&] { return stopped_ || released_ != released; });
    }
    void setStopped(bool stopped)
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopped_ = stopped;
        }
        changed_.notify_all();
    }

private:
    ~BufferWait() = default;

    std::atomic<ULONG> refs_{0};
    std::mutex mutex_;
    std::condition_variable changed_;
    std::uint64_t released_ = 0;
    bool stopped_ = false;
};

// --- The pin -------------------------------------------------------------------------------

DvOutputPin::DvOutputPin(DvDeviceFilter* filter, CCritSec* lock, HRESULT* hr)
    : CBaseOutputPin("DV device output", filter, lock, hr, u"DV A/V Out"),
      m_device(filter),
      m_bufferWait(new BufferWait)
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
    for (auto& count : m_droppedFor)
        count = 0;
    {
        std::lock_guard<std::mutex> lock(m_historyMutex);
        m_historyNext = m_historyCount = 0;
    }
    const HRESULT hr = CBaseOutputPin::Active();
    if (SUCCEEDED(hr) && Allocator()) {
        ComPtr<IMemAllocatorCallbackTemp> telling;
        if (SUCCEEDED(Allocator()->QueryInterface(IID_IMemAllocatorCallbackTemp, telling.ReleaseAndGetVoidAddressOf())))
            telling->SetNotify(m_bufferWait.Get());
    }
    return hr;
}

HRESULT DvOutputPin::Inactive()
{
    StopStreaming();
    if (Allocator()) {
        ComPtr<IMemAllocatorCallbackTemp> telling;
        if (SUCCEEDED(Allocator()->QueryInterface(IID_IMemAllocatorCallbackTemp, telling.ReleaseAndGetVoidAddressOf())))
            telling->SetNotify(nullptr);
    }
    return CBaseOutputPin::Inactive();
}

HRESULT DvOutputPin::Run(REFERENCE_TIME)
{
    if (m_thread.Running() && m_stop && !m_stop->load())
        return S_OK;
    auto stop = std::make_shared<std::atomic<bool>>(false);
    // Frames of the size the graph was built for.
    const std::size_t size =
        m_mt.lSampleSize > 0 ? static_cast<std::size_t>(m_mt.lSampleSize) : m_device->frameSize();
    std::string error;
    // Opened here, not when the thread gets going, so that a tape that runs
    // faster than real time waits for the run from the start.
    std::shared_ptr<DvStream> run = m_device->source().openRun(size, &error);
    if (!run) {
        std::fprintf(stderr, "TapeHarvest DV device: %s\n", error.c_str());
        return HRESULT_FROM_WIN32(kErrorDeviceNotConnected);
    }
    {
        std::lock_guard<std::mutex> lock(m_runMutex);
        m_run = run;
    }
    m_stop = stop;
    m_bufferWait->setStopped(false);
    ComPtr<IUnknown> keepAlive(m_device->GetOwner());
    if (!m_thread.Start("th-dv-device", [this, stop, run]() mutable { stream(std::move(run), stop); }, keepAlive)) {
        std::lock_guard<std::mutex> lock(m_runMutex);
        m_run.reset();
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

void DvOutputPin::StopStreaming()
{
    const std::shared_ptr<std::atomic<bool>> stop = m_stop;
    if (!stop)
        return;
    m_thread.Stop([this, stop] {
        stop->store(true);
        m_bufferWait->setStopped(true);
        std::lock_guard<std::mutex> lock(m_runMutex);
        if (m_run)
            m_run->wake();
    });
}

std::int64_t DvOutputPin::countDropped()
{
    std::int64_t counted = 0;
    for (const Dropped& pending : m_pendingDropped) {
        counted += pending.count;
        m_droppedFor[static_cast<std::size_t>(pending.why)] += pending.count;
    }
    m_dropped += counted;
    return counted;
}

void DvOutputPin::uncountDropped()
{
    for (const Dropped& pending : m_pendingDropped) {
        m_droppedFor[static_cast<std::size_t>(pending.why)] -= pending.count;
        m_dropped -= pending.count;
    }
    m_pendingDropped.clear();
}

void DvOutputPin::recordDropped()
{
    if (m_pendingDropped.empty())
        return;
    std::lock_guard<std::mutex> lock(m_historyMutex);
    for (const Dropped& pending : m_pendingDropped) {
        const std::int64_t end = pending.firstSlot + pending.count;
        const std::int64_t from =
            std::max<std::int64_t>(pending.firstSlot, end - static_cast<std::int64_t>(kDroppedHistory));
        for (std::int64_t s = from; s < end; ++s) {
            m_history[m_historyNext] = clampLong(s);
            m_historyNext = (m_historyNext + 1) % kDroppedHistory;
            m_historyCount = std::min(m_historyCount + 1, kDroppedHistory);
        }
    }
    m_pendingDropped.clear();
}

void DvOutputPin::noteDropped(std::int64_t firstSlot, std::int64_t count, DropReason why)
{
    if (count <= 0)
        return;
    if (!m_pendingDropped.empty()) {
        Dropped& last = m_pendingDropped.back();
        if (last.firstSlot + last.count == firstSlot && last.why == why) {
            last.count += count;
            return;
        }
    }
    m_pendingDropped.push_back({firstSlot, count, why});
}

void DvOutputPin::waitForBuffer(std::uint64_t released)
{
    m_bufferWait->wait(released, kBufferWait);
}

void DvOutputPin::stream(std::shared_ptr<DvStream> stream, std::shared_ptr<std::atomic<bool>> stop)
{
    const REFERENCE_TIME period = m_device->framePeriod();
    const LONG frameSize = static_cast<LONG>(m_device->frameSize());
    DvStream& run = *stream;
    m_pendingDropped.clear();
    std::int64_t position = 0; // frame periods of the run so far
    bool first = true;
    IMediaSample* sample = nullptr;
    BYTE* buffer = nullptr;
    while (!stop->load()) {
        if (!sample) {
            const std::uint64_t released = m_bufferWait->released();
            const HRESULT hr = GetDeliveryBuffer(&sample, nullptr, nullptr, AM_GBF_NOWAIT);
            if (SUCCEEDED(hr) && sample
                && (FAILED(sample->GetPointer(&buffer)) || !buffer || sample->GetSize() < frameSize)) {
                sample->Release();
                sample = nullptr;
            }
            if (!sample || FAILED(hr)) {
                sample = nullptr;
                // Every buffer is still downstream (or the pool is going away):
                // faster than real time the tape waits for one; at real time
                // the frame goes by.
                if (run.lossless()) {
                    waitForBuffer(released);
                    continue;
                }
            }
        }
        const std::span<std::uint8_t> into =
            sample ? std::span<std::uint8_t>(buffer, static_cast<std::size_t>(frameSize)) : std::span<std::uint8_t>();
        const DvFrame item = run.next(into);
        if (item.kind == DvFrame::Stop)
            break;
        // Blank tape passes the head without a frame: no signal, nothing lost.
        if (item.kind == DvFrame::Idle || (item.kind == DvFrame::Missed && item.why == DropReason::Blank)) {
            position += item.periods;
            continue;
        }
        // At real time the next frame comes at its own pace, buffer or not.
        if (item.kind == DvFrame::Missed || !sample) {
            noteDropped(position, item.periods, item.kind == DvFrame::Missed ? item.why : DropReason::NoBuffer);
            position += item.periods;
            continue;
        }
        // A drop counts once a later frame is delivered: frames that go by
        // after the last delivered one are not part of the run, so that the
        // counts and every file written from the run hold the same frames.
        countDropped();
        const std::int64_t media = m_dropped.load() + m_delivered.load();
        REFERENCE_TIME start = position * period;
        REFERENCE_TIME end = start + period;
        LONGLONG mediaStart = media;
        LONGLONG mediaEnd = media + 1;
        ++position;
        sample->SetTime(&start, &end);
        sample->SetMediaTime(&mediaStart, &mediaEnd);
        sample->SetActualDataLength(frameSize);
        sample->SetSyncPoint(TRUE);
        sample->SetDiscontinuity(first ? TRUE : FALSE);
        first = false;
        ++m_delivered;
        const HRESULT hr = Deliver(sample);
        sample->Release();
        sample = nullptr;
        if (FAILED(hr)) {
            // Downstream cannot take the stream any more (a full disk): the
            // run ends before this frame, which like the drops before it lies
            // after the last frame taken and is not part of the run; the end
            // of the stream is sent so that the graph learns of it.
            --m_delivered;
            uncountDropped();
            DeliverEndOfStream();
            break;
        }
        recordDropped();
        if (th::dshow::StreamingThread::StopRequestedHere())
            break;
    }
    if (sample)
        sample->Release();
    // The run ends with the thread: a tape that waits for it runs free again.
    {
        std::lock_guard<std::mutex> lock(m_runMutex);
        if (m_run == stream)
            m_run.reset();
    }
    stream.reset();
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

HRESULT DvDeviceFilter::create(std::shared_ptr<DvSource> source, REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (!source)
        return E_UNEXPECTED;
    auto* filter = new (std::nothrow) DvDeviceFilter(std::move(source));
    if (!filter)
        return E_OUTOFMEMORY;
    filter->NonDelegatingAddRef();
    const HRESULT hr = filter->NonDelegatingQueryInterface(riid, ppv);
    filter->NonDelegatingRelease();
    return hr;
}

DvDeviceFilter::DvDeviceFilter(std::shared_ptr<DvSource> source)
    : CBaseFilter("DV device", nullptr, &m_lock, CLSID_TapeHarvestDvDevice),
      m_source(std::move(source)),
      m_pin(this, &m_lock, nullptr)
{
    m_source->addFilter(this);
}

DvDeviceFilter::~DvDeviceFilter()
{
    // First, so that no device event reaches a filter being taken apart.
    m_source->removeFilter(this);
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
    return m_source->deviceType(value);
}

HRESULT DvDeviceFilter::put_Mode(LONG mode)
{
    return m_source->putMode(mode);
}

HRESULT DvDeviceFilter::get_Mode(LONG* mode)
{
    if (!mode)
        return E_POINTER;
    return m_source->getMode(mode);
}

HRESULT DvDeviceFilter::GetTransportBasicParameters(LONG param, LONG* value, LPOLESTR* data)
{
    if (!value)
        return E_POINTER;
    switch (param) {
    case ED_TRANSBASIC_INPUT_SIGNAL: return m_source->inputSignal(value);
    case ED_RAW_EXT_DEV_CMD:
        // `data` is the command buffer itself, passed as the string pointer.
        if (!data || *value <= 0)
            return E_POINTER;
        return m_source->rawCommand(reinterpret_cast<BYTE*>(data), *value);
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
    const HRESULT hr = m_source->timecode(&bcd);
    if (SUCCEEDED(hr))
        timecode->timecode.dwFrames = bcd;
    return hr;
}

// --- The filters of a source ------------------------------------------------------------------

void DvSource::addFilter(DvDeviceFilter* filter)
{
    std::lock_guard<std::mutex> lock(filtersMutex_);
    filters_.push_back(filter);
}

void DvSource::removeFilter(DvDeviceFilter* filter)
{
    std::unique_lock<std::mutex> lock(filtersMutex_);
    notified_.wait(lock, [&] { return !notifying_; });
    filters_.erase(std::remove(filters_.begin(), filters_.end(), filter), filters_.end());
}

// A filter that goes away meanwhile waits in removeFilter until the round is over.
void DvSource::notifyGraphs(LONG available)
{
    std::vector<DvDeviceFilter*> targets;
    {
        std::unique_lock<std::mutex> lock(filtersMutex_);
        notified_.wait(lock, [&] { return !notifying_; });
        notifying_ = true;
        std::vector<IFilterGraph*> done;
        for (DvDeviceFilter* filter : filters_) {
            IFilterGraph* graph = filter->graphForEvents();
            if (!graph || std::find(done.begin(), done.end(), graph) != done.end())
                continue;
            done.push_back(graph);
            targets.push_back(filter);
        }
    }
    for (DvDeviceFilter* filter : targets)
        filter->NotifyEvent(EC_DEVICE_LOST, reinterpret_cast<LONG_PTR>(filter->GetOwner()), available);
    {
        std::lock_guard<std::mutex> lock(filtersMutex_);
        notifying_ = false;
    }
    notified_.notify_all();
}

} // namespace th::dv
