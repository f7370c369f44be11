#include "platform/dshow/StreamFilters.h"

#include <cstring>

namespace th::dshow {

// --- Pass-through output ------------------------------------------------------------------------

CPassThroughOutputPin::CPassThroughOutputPin(const char* objectName, CBaseFilter* filter, CCritSec* lock, HRESULT* hr,
                                             LPCWSTR name, CBaseInputPin* input)
    : CBaseOutputPin(objectName, filter, lock, hr, name), m_input(input)
{
}

HRESULT CPassThroughOutputPin::CheckMediaType(const CMediaType* type)
{
    if (!m_input->IsConnected())
        return VFW_E_NOT_CONNECTED;
    return *type == m_input->CurrentMediaType() ? S_OK : S_FALSE;
}

HRESULT CPassThroughOutputPin::GetMediaType(int position, CMediaType* type)
{
    if (position < 0)
        return E_INVALIDARG;
    if (position > 0 || !m_input->IsConnected())
        return VFW_S_NO_MORE_ITEMS;
    return type->Set(m_input->CurrentMediaType());
}

HRESULT CPassThroughOutputPin::DecideBufferSize(IMemAllocator*, ALLOCATOR_PROPERTIES*)
{
    return S_OK;
}

HRESULT CPassThroughOutputPin::DecideAllocator(IMemInputPin* pin, IMemAllocator** allocator)
{
    // The samples handed on are the upstream's; downstream learns whose they are,
    // and that they must not be written to. This pin neither commits nor owns them.
    if (*allocator) {
        (*allocator)->Release();
        *allocator = nullptr;
    }
    if (IMemAllocator* upstream = m_input->Allocator())
        pin->NotifyAllocator(upstream, TRUE);
    return S_OK;
}

// --- Sample Grabber ----------------------------------------------------------------------------

CGrabberInputPin::CGrabberInputPin(CSampleGrabber* filter, CCritSec* lock, HRESULT* hr)
    : CBaseInputPin("Sample Grabber input", filter, lock, hr, u"Input"), m_grabber(filter)
{
}

HRESULT CGrabberInputPin::CheckMediaType(const CMediaType* type)
{
    return m_grabber->acceptsType(*type) ? S_OK : S_FALSE;
}

HRESULT CGrabberInputPin::Receive(IMediaSample* sample)
{
    const HRESULT hr = CBaseInputPin::Receive(sample);
    if (hr != S_OK)
        return hr;
    return m_grabber->receive(sample);
}

HRESULT CGrabberInputPin::EndOfStream()
{
    const HRESULT hr = CheckStreaming();
    if (hr != S_OK)
        return hr;
    if (m_grabber->m_output.IsConnected())
        return m_grabber->m_output.DeliverEndOfStream();
    return S_OK;
}

HRESULT CGrabberInputPin::BeginFlush()
{
    CBaseInputPin::BeginFlush();
    if (m_grabber->m_output.IsConnected())
        return m_grabber->m_output.DeliverBeginFlush();
    return S_OK;
}

HRESULT CGrabberInputPin::EndFlush()
{
    CBaseInputPin::EndFlush();
    if (m_grabber->m_output.IsConnected())
        return m_grabber->m_output.DeliverEndFlush();
    return S_OK;
}

HRESULT CGrabberInputPin::NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate)
{
    CBasePin::NewSegment(start, stop, rate);
    if (m_grabber->m_output.IsConnected())
        return m_grabber->m_output.DeliverNewSegment(start, stop, rate);
    return S_OK;
}

HRESULT CGrabberInputPin::GetAllocatorRequirements(ALLOCATOR_PROPERTIES* props)
{
    // The samples travel on downstream: its needs are ours.
    IMemInputPin* downstream = m_grabber->m_output.ConnectedInput();
    if (!downstream)
        return E_NOTIMPL;
    return downstream->GetAllocatorRequirements(props);
}

CUnknown* CSampleGrabber::CreateInstance(IUnknown* outer, HRESULT* hr)
{
    return new CSampleGrabber(outer, hr);
}

CSampleGrabber::CSampleGrabber(IUnknown* outer, HRESULT* hr)
    : CBaseFilter("Sample Grabber", outer, &m_lock, CLSID_SampleGrabber),
      m_input(this, &m_lock, hr),
      m_output("Sample Grabber output", this, &m_lock, hr, u"Output", &m_input)
{
}

CSampleGrabber::~CSampleGrabber() = default;

HRESULT CSampleGrabber::NonDelegatingQueryInterface(REFIID riid, void** ppv)
{
    if (riid == IID_ISampleGrabber)
        return GetInterface(static_cast<ISampleGrabber*>(this), ppv);
    return CBaseFilter::NonDelegatingQueryInterface(riid, ppv);
}

CBasePin* CSampleGrabber::GetPin(int n)
{
    return n == 0 ? static_cast<CBasePin*>(&m_input) : n == 1 ? static_cast<CBasePin*>(&m_output) : nullptr;
}

HRESULT CSampleGrabber::Stop()
{
    CAutoLock lock(&m_lock);
    ++m_generation;
    return CBaseFilter::Stop();
}

HRESULT CSampleGrabber::Pause()
{
    CAutoLock lock(&m_lock);
    if (IsStopped())
        m_oneShotDone = false;
    return CBaseFilter::Pause();
}

bool CSampleGrabber::acceptsType(const CMediaType& type)
{
    CAutoLock lock(&m_lock);
    if (!type.IsValid())
        return false;
    return !m_hasWanted || type.MatchesPartial(m_wanted);
}

HRESULT CSampleGrabber::receive(IMediaSample* sample)
{
    // Held for the whole call: the graph may drop the grabber while a parked
    // callback still runs.
    const ComPtr<IUnknown> self(GetOwner());
    ComPtr<ISampleGrabberCB> callback;
    LONG which;
    bool buffer;
    bool oneShot;
    LONG generation;
    {
        CAutoLock lock(&m_lock);
        if (m_oneShot && m_oneShotDone)
            return S_FALSE;
        callback = m_callback;
        which = m_callbackWhich;
        buffer = m_bufferSamples;
        oneShot = m_oneShot;
        generation = m_generation;
        if (oneShot)
            m_oneShotDone = true;
    }

    BYTE* data = nullptr;
    sample->GetPointer(&data);
    const LONG length = sample->GetActualDataLength();
    if (buffer && data && length >= 0) {
        std::lock_guard<std::mutex> lock(m_bufferMutex);
        m_buffer.assign(data, data + length);
        m_bufferValid = true;
    }

    if (callback) {
        REFERENCE_TIME start = 0, stop = 0;
        const double seconds = SUCCEEDED(sample->GetTime(&start, &stop)) ? double(start) / double(UNITS) : 0.0;
        StreamingThread::Parked parked;
        try {
            if (which == 0)
                callback->SampleCB(seconds, sample);
            else
                callback->BufferCB(seconds, data, length);
        } catch (...) {
            // The application's failure must not unwind the streaming thread.
        }
    }

    // A stop came while the callback ran (perhaps while it waited for the
    // stopping thread's lock): the run is over for this sample.
    if (StreamingThread::StopRequestedHere())
        return VFW_E_WRONG_STATE;
    {
        CAutoLock lock(&m_lock);
        if (generation != m_generation || IsStopped())
            return VFW_E_WRONG_STATE;
    }

    HRESULT hr = S_OK;
    if (m_output.IsConnected())
        hr = m_output.Deliver(sample);
    if (oneShot) {
        if (m_output.IsConnected())
            m_output.DeliverEndOfStream();
        return S_FALSE;
    }
    return hr;
}

HRESULT CSampleGrabber::SetOneShot(BOOL oneShot)
{
    CAutoLock lock(&m_lock);
    m_oneShot = oneShot != FALSE;
    return S_OK;
}

HRESULT CSampleGrabber::SetMediaType(const AM_MEDIA_TYPE* type)
{
    CAutoLock lock(&m_lock);
    if (!type) {
        m_wanted.InitMediaType();
        m_hasWanted = false;
        return S_OK;
    }
    const HRESULT hr = m_wanted.Set(*type);
    m_hasWanted = SUCCEEDED(hr);
    return hr;
}

HRESULT CSampleGrabber::GetConnectedMediaType(AM_MEDIA_TYPE* type)
{
    if (!type)
        return E_POINTER;
    CAutoLock lock(&m_lock);
    if (!m_input.IsConnected())
        return VFW_E_NOT_CONNECTED;
    return CopyMediaTypeContents(type, m_input.CurrentMediaType());
}

HRESULT CSampleGrabber::SetBufferSamples(BOOL buffer)
{
    CAutoLock lock(&m_lock);
    m_bufferSamples = buffer != FALSE;
    if (!m_bufferSamples) {
        std::lock_guard<std::mutex> bufferLock(m_bufferMutex);
        m_buffer.clear();
        m_buffer.shrink_to_fit();
        m_bufferValid = false;
    }
    return S_OK;
}

HRESULT CSampleGrabber::GetCurrentBuffer(LONG* size, LONG* buffer)
{
    if (!size)
        return E_POINTER;
    {
        CAutoLock lock(&m_lock);
        if (!m_bufferSamples)
            return E_INVALIDARG;
    }
    std::lock_guard<std::mutex> lock(m_bufferMutex);
    if (!m_bufferValid)
        return VFW_E_WRONG_STATE;
    const LONG bytes = static_cast<LONG>(m_buffer.size());
    if (!buffer) {
        *size = bytes;
        return S_OK;
    }
    if (*size < bytes)
        return E_OUTOFMEMORY;
    std::memcpy(buffer, m_buffer.data(), m_buffer.size());
    *size = bytes;
    return S_OK;
}

HRESULT CSampleGrabber::GetCurrentSample(IMediaSample** sample)
{
    if (sample)
        *sample = nullptr;
    return E_NOTIMPL;
}

HRESULT CSampleGrabber::SetCallback(ISampleGrabberCB* callback, LONG which)
{
    if (which != 0 && which != 1)
        return E_INVALIDARG;
    CAutoLock lock(&m_lock);
    m_callback = callback;
    m_callbackWhich = which;
    return S_OK;
}

// --- Smart Tee ---------------------------------------------------------------------------------

CTeeInputPin::CTeeInputPin(CSmartTee* filter, CCritSec* lock, HRESULT* hr)
    : CBaseInputPin("Smart Tee input", filter, lock, hr, u"Input"), m_tee(filter)
{
}

HRESULT CTeeInputPin::CheckMediaType(const CMediaType* type)
{
    return type->IsValid() ? S_OK : S_FALSE;
}

HRESULT CTeeInputPin::Receive(IMediaSample* sample)
{
    const HRESULT hr = CBaseInputPin::Receive(sample);
    if (hr != S_OK)
        return hr;
    const ComPtr<IUnknown> self(m_tee->GetOwner());
    // Queued first, so the preview thread works beside the capture delivery.
    if (m_tee->m_preview.IsConnected())
        m_tee->enqueue({CSmartTee::Item::Sample, sample, 0, 0, 0.0});
    if (m_tee->m_capture.IsConnected())
        return m_tee->m_capture.Deliver(sample);
    return S_OK;
}

HRESULT CTeeInputPin::EndOfStream()
{
    const HRESULT hr = CheckStreaming();
    if (hr != S_OK)
        return hr;
    if (m_tee->m_preview.IsConnected())
        m_tee->enqueue({CSmartTee::Item::EndOfStream, nullptr, 0, 0, 0.0});
    if (m_tee->m_capture.IsConnected())
        return m_tee->m_capture.DeliverEndOfStream();
    return S_OK;
}

HRESULT CTeeInputPin::BeginFlush()
{
    CBaseInputPin::BeginFlush();
    m_tee->clearQueue();
    if (m_tee->m_preview.IsConnected())
        m_tee->m_preview.DeliverBeginFlush();
    if (m_tee->m_capture.IsConnected())
        m_tee->m_capture.DeliverBeginFlush();
    return S_OK;
}

HRESULT CTeeInputPin::EndFlush()
{
    CBaseInputPin::EndFlush();
    if (m_tee->m_preview.IsConnected())
        m_tee->m_preview.DeliverEndFlush();
    if (m_tee->m_capture.IsConnected())
        m_tee->m_capture.DeliverEndFlush();
    return S_OK;
}

HRESULT CTeeInputPin::NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate)
{
    CBasePin::NewSegment(start, stop, rate);
    if (m_tee->m_preview.IsConnected())
        m_tee->enqueue({CSmartTee::Item::NewSegment, nullptr, start, stop, rate});
    if (m_tee->m_capture.IsConnected())
        return m_tee->m_capture.DeliverNewSegment(start, stop, rate);
    return S_OK;
}

HRESULT CTeeInputPin::GetAllocatorRequirements(ALLOCATOR_PROPERTIES* props)
{
    if (!props)
        return E_POINTER;
    *props = ALLOCATOR_PROPERTIES{kTeeMinimumBuffers, 0, 1, 0};
    return S_OK;
}

HRESULT CTeeInputPin::BreakConnect()
{
    return CBaseInputPin::BreakConnect();
}

CTeePreviewPin::CTeePreviewPin(CSmartTee* filter, CCritSec* lock, HRESULT* hr, CBaseInputPin* input)
    : CPassThroughOutputPin("Smart Tee preview", filter, lock, hr, u"Preview", input), m_tee(filter)
{
    SetCategory(PIN_CATEGORY_PREVIEW);
}

HRESULT CTeePreviewPin::NonDelegatingQueryInterface(REFIID riid, void** ppv)
{
    if (riid == IID_IAMDroppedFrames)
        return GetInterface(static_cast<IAMDroppedFrames*>(this), ppv);
    return CPassThroughOutputPin::NonDelegatingQueryInterface(riid, ppv);
}

HRESULT CTeePreviewPin::GetNumDropped(LONG* dropped)
{
    if (!dropped)
        return E_POINTER;
    *dropped = m_tee->m_dropped.load();
    return S_OK;
}

HRESULT CTeePreviewPin::GetNumNotDropped(LONG* notDropped)
{
    if (!notDropped)
        return E_POINTER;
    *notDropped = m_tee->m_delivered.load();
    return S_OK;
}

HRESULT CTeePreviewPin::GetDroppedInfo(LONG, LONG* frames, LONG* copied)
{
    // Which samples were dropped is not kept, only how many.
    if (!frames || !copied)
        return E_POINTER;
    *copied = 0;
    return S_OK;
}

HRESULT CTeePreviewPin::GetAverageFrameSize(LONG* averageSize)
{
    if (!averageSize)
        return E_POINTER;
    const LONG n = m_tee->m_delivered.load();
    *averageSize = n > 0 ? static_cast<LONG>(m_tee->m_deliveredBytes.load() / n) : 0;
    return S_OK;
}

CUnknown* CSmartTee::CreateInstance(IUnknown* outer, HRESULT* hr)
{
    return new CSmartTee(outer, hr);
}

CSmartTee::CSmartTee(IUnknown* outer, HRESULT* hr)
    : CBaseFilter("Smart Tee", outer, &m_lock, CLSID_SmartTee),
      m_input(this, &m_lock, hr),
      m_capture("Smart Tee capture", this, &m_lock, hr, u"Capture", &m_input),
      m_preview(this, &m_lock, hr, &m_input)
{
    m_capture.SetCategory(PIN_CATEGORY_CAPTURE);
}

CSmartTee::~CSmartTee()
{
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        m_previewStopping = true;
    }
    m_queueChanged.notify_all();
    m_previewThread.Stop();
    clearQueue();
}

CBasePin* CSmartTee::GetPin(int n)
{
    switch (n) {
    case 0:
        return &m_input;
    case 1:
        return &m_capture;
    case 2:
        return &m_preview;
    default:
        return nullptr;
    }
}

HRESULT CSmartTee::Pause()
{
    if (IsStopped()) {
        m_dropped = 0;
        m_delivered = 0;
        m_deliveredBytes = 0;
        {
            std::lock_guard<std::mutex> lock(m_queueMutex);
            m_previewStopping = false;
        }
        // Started without the filter lock: it waits for a thread of the last run.
        if (m_preview.IsConnected() &&
            !m_previewThread.Start("th-tee-preview", [this] { previewLoop(); }, ComPtr<IUnknown>(GetOwner())))
            return E_OUTOFMEMORY;
    }
    return CBaseFilter::Pause();
}

HRESULT CSmartTee::Stop()
{
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        m_previewStopping = true;
    }
    m_queueChanged.notify_all();
    m_previewThread.Stop();
    clearQueue();
    return CBaseFilter::Stop();
}

void CSmartTee::enqueue(const Item& item)
{
    IMediaSample* dropped = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        if (m_previewStopping)
            return;
        if (item.kind == Item::Sample) {
            std::size_t samples = 0;
            for (const Item& i : m_queue)
                samples += i.kind == Item::Sample;
            if (samples >= kPreviewQueueDepth) {
                // The preview is late: it loses its oldest sample, never the capture.
                for (auto it = m_queue.begin(); it != m_queue.end(); ++it) {
                    if (it->kind == Item::Sample) {
                        dropped = it->sample;
                        m_queue.erase(it);
                        break;
                    }
                }
                ++m_dropped;
            }
            item.sample->AddRef();
        }
        m_queue.push_back(item);
        if (m_previewWaiting)
            m_queueChanged.notify_one();
    }
    if (dropped)
        dropped->Release();
}

void CSmartTee::clearQueue()
{
    std::deque<Item> old;
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        old.swap(m_queue);
    }
    for (Item& i : old)
        if (i.sample)
            i.sample->Release();
}

void CSmartTee::previewLoop()
{
    for (;;) {
        Item item;
        {
            std::unique_lock<std::mutex> lock(m_queueMutex);
            m_previewWaiting = true;
            m_queueChanged.wait(lock, [&] { return m_previewStopping || !m_queue.empty(); });
            m_previewWaiting = false;
            if (m_previewStopping)
                return;
            item = m_queue.front();
            m_queue.pop_front();
        }
        switch (item.kind) {
        case Item::Sample:
            m_deliveredBytes += item.sample->GetActualDataLength();
            ++m_delivered;
            m_preview.Deliver(item.sample);
            item.sample->Release();
            break;
        case Item::EndOfStream:
            m_preview.DeliverEndOfStream();
            break;
        case Item::NewSegment:
            m_preview.DeliverNewSegment(item.start, item.stop, item.rate);
            break;
        }
        if (StreamingThread::StopRequestedHere())
            return;
    }
}

// --- Null Renderer ------------------------------------------------------------------------------

CNullRendererPin::CNullRendererPin(CBaseFilter* filter, CCritSec* lock, HRESULT* hr)
    : CRenderedInputPin("Null Renderer input", filter, lock, hr, u"In")
{
}

HRESULT CNullRendererPin::CheckMediaType(const CMediaType* type)
{
    return type->IsValid() ? S_OK : S_FALSE;
}

HRESULT CNullRendererPin::Receive(IMediaSample* sample)
{
    return CBaseInputPin::Receive(sample);
}

CUnknown* CNullRenderer::CreateInstance(IUnknown* outer, HRESULT* hr)
{
    return new CNullRenderer(outer, hr);
}

CNullRenderer::CNullRenderer(IUnknown* outer, HRESULT* hr)
    : CBaseFilter("Null Renderer", outer, &m_lock, CLSID_NullRenderer), m_input(this, &m_lock, hr)
{
}

} // namespace th::dshow
