#include "platform/dshow/BaseClasses.h"

#include <cstdlib>
#include <utility>

// --- CMediaSample ----------------------------------------------------------------------------

CMediaSample::CMediaSample(CBaseAllocator* allocator, BYTE* buffer, LONG size)
    : m_allocator(allocator), m_buffer(buffer), m_size(size), m_actual(size)
{
}

CMediaSample::~CMediaSample()
{
    if (m_type)
        th::dshow::DeleteMediaType(m_type);
}

HRESULT CMediaSample::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IMediaSample)
        return GetInterface(static_cast<IMediaSample*>(this), ppv);
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG CMediaSample::AddRef()
{
    return static_cast<ULONG>(m_cRef.fetch_add(1, std::memory_order_relaxed) + 1);
}

ULONG CMediaSample::Release()
{
    const LONG left = m_cRef.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) {
        // The allocator may free this sample inside ReleaseBuffer; touch nothing after it.
        CBaseAllocator* allocator = m_allocator;
        allocator->ReleaseBuffer(this);
        return 0;
    }
    return static_cast<ULONG>(left);
}

HRESULT CMediaSample::GetPointer(BYTE** buffer)
{
    if (!buffer)
        return E_POINTER;
    *buffer = m_buffer;
    return S_OK;
}

LONG CMediaSample::GetSize()
{
    return m_size;
}

HRESULT CMediaSample::GetTime(REFERENCE_TIME* start, REFERENCE_TIME* stop)
{
    if (!start || !stop)
        return E_POINTER;
    if (!m_timeValid)
        return VFW_E_SAMPLE_TIME_NOT_SET;
    *start = m_start;
    if (!m_stopValid) {
        *stop = m_start + 1;
        return VFW_S_NO_STOP_TIME;
    }
    *stop = m_stop;
    return S_OK;
}

HRESULT CMediaSample::SetTime(REFERENCE_TIME* start, REFERENCE_TIME* stop)
{
    if (!start) {
        if (stop)
            return E_POINTER;
        m_timeValid = m_stopValid = false;
        return S_OK;
    }
    m_start = *start;
    m_timeValid = true;
    m_stopValid = stop != nullptr;
    if (stop)
        m_stop = *stop;
    return S_OK;
}

HRESULT CMediaSample::IsSyncPoint()
{
    return m_sync ? S_OK : S_FALSE;
}

HRESULT CMediaSample::SetSyncPoint(BOOL sync)
{
    m_sync = sync != FALSE;
    return S_OK;
}

HRESULT CMediaSample::IsPreroll()
{
    return m_preroll ? S_OK : S_FALSE;
}

HRESULT CMediaSample::SetPreroll(BOOL preroll)
{
    m_preroll = preroll != FALSE;
    return S_OK;
}

LONG CMediaSample::GetActualDataLength()
{
    return m_actual;
}

HRESULT CMediaSample::SetActualDataLength(LONG length)
{
    if (length < 0 || length > m_size)
        return VFW_E_BUFFER_OVERFLOW;
    m_actual = length;
    return S_OK;
}

HRESULT CMediaSample::GetMediaType(AM_MEDIA_TYPE** type)
{
    if (!type)
        return E_POINTER;
    if (!m_type) {
        *type = nullptr;
        return S_FALSE;
    }
    *type = th::dshow::CreateMediaType(*m_type);
    return *type ? S_OK : E_OUTOFMEMORY;
}

HRESULT CMediaSample::SetMediaType(AM_MEDIA_TYPE* type)
{
    if (m_type) {
        th::dshow::DeleteMediaType(m_type);
        m_type = nullptr;
    }
    if (type) {
        m_type = th::dshow::CreateMediaType(*type);
        if (!m_type)
            return E_OUTOFMEMORY;
    }
    return S_OK;
}

HRESULT CMediaSample::IsDiscontinuity()
{
    return m_discontinuity ? S_OK : S_FALSE;
}

HRESULT CMediaSample::SetDiscontinuity(BOOL discontinuity)
{
    m_discontinuity = discontinuity != FALSE;
    return S_OK;
}

HRESULT CMediaSample::GetMediaTime(LONGLONG* start, LONGLONG* stop)
{
    if (!start || !stop)
        return E_POINTER;
    if (!m_mediaTimeValid)
        return VFW_E_MEDIA_TIME_NOT_SET;
    *start = m_mediaStart;
    *stop = m_mediaStop;
    return S_OK;
}

HRESULT CMediaSample::SetMediaTime(LONGLONG* start, LONGLONG* stop)
{
    if (!start) {
        m_mediaTimeValid = false;
        return S_OK;
    }
    if (!stop)
        return E_POINTER;
    m_mediaStart = *start;
    m_mediaStop = *stop;
    m_mediaTimeValid = true;
    return S_OK;
}

void CMediaSample::ResetProperties()
{
    m_actual = m_size;
    m_timeValid = m_stopValid = m_mediaTimeValid = false;
    m_sync = m_preroll = m_discontinuity = false;
    if (m_type) {
        th::dshow::DeleteMediaType(m_type);
        m_type = nullptr;
    }
}

// --- CBaseAllocator --------------------------------------------------------------------------

CBaseAllocator::CBaseAllocator(const char* objectName, IUnknown* outer, HRESULT* hr) : CUnknown(objectName, outer)
{
    (void)hr;
}

CBaseAllocator::~CBaseAllocator()
{
    if (m_notify)
        m_notify->Release();
}

HRESULT CBaseAllocator::NonDelegatingQueryInterface(REFIID riid, void** ppv)
{
    if (riid == IID_IMemAllocator)
        return GetInterface(static_cast<IMemAllocator*>(this), ppv);
    if (riid == IID_IMemAllocatorCallbackTemp)
        return GetInterface(static_cast<IMemAllocatorCallbackTemp*>(this), ppv);
    return CUnknown::NonDelegatingQueryInterface(riid, ppv);
}

HRESULT CBaseAllocator::SetProperties(ALLOCATOR_PROPERTIES* request, ALLOCATOR_PROPERTIES* actual)
{
    if (!request || !actual)
        return E_POINTER;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_committed)
        return VFW_E_ALREADY_COMMITTED;
    if (m_allocated != static_cast<LONG>(m_free.size()))
        return VFW_E_BUFFERS_OUTSTANDING;
    const LONG align = request->cbAlign == 0 ? 1 : request->cbAlign;
    if (align < 0 || (align & (align - 1)) != 0)
        return VFW_E_BADALIGN;
    if (request->cBuffers < 0 || request->cbBuffer < 0 || request->cbPrefix < 0)
        return E_INVALIDARG;
    m_props = *request;
    m_props.cbAlign = align;
    if (m_props.cBuffers == 0)
        m_props.cBuffers = 1;
    m_propsSet = true;
    *actual = m_props;
    return S_OK;
}

HRESULT CBaseAllocator::GetProperties(ALLOCATOR_PROPERTIES* props)
{
    if (!props)
        return E_POINTER;
    std::lock_guard<std::mutex> lock(m_mutex);
    *props = m_props;
    return S_OK;
}

HRESULT CBaseAllocator::Commit()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_committed)
        return S_OK;
    if (!m_propsSet || m_props.cbBuffer <= 0)
        return VFW_E_SIZENOTSET;
    if (m_decommitPending) {
        // Samples of the last run are still out: keep the pool and take them back later.
        m_decommitPending = false;
        m_committed = true;
        return S_OK;
    }
    const HRESULT hr = Alloc();
    if (FAILED(hr))
        return hr;
    m_committed = true;
    return S_OK;
}

HRESULT CBaseAllocator::Decommit()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_committed)
        return S_OK;
    m_committed = false;
    if (m_allocated == static_cast<LONG>(m_free.size()))
        Free();
    else
        m_decommitPending = true;
    lock.unlock();
    m_freed.notify_all();
    return S_OK;
}

HRESULT CBaseAllocator::GetBuffer(IMediaSample** sample, REFERENCE_TIME*, REFERENCE_TIME*, DWORD flags)
{
    if (!sample)
        return E_POINTER;
    *sample = nullptr;
    CMediaSample* s = nullptr;
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            if (!m_committed)
                return VFW_E_NOT_COMMITTED;
            if (!m_free.empty())
                break;
            if (flags & AM_GBF_NOWAIT)
                return VFW_E_TIMEOUT;
            m_freed.wait(lock);
        }
        s = m_free.back();
        m_free.pop_back();
    }
    // Each sample out keeps the allocator alive until it comes back.
    NonDelegatingAddRef();
    s->ResetProperties();
    s->m_cRef.store(1, std::memory_order_relaxed);
    *sample = s;
    return S_OK;
}

HRESULT CBaseAllocator::ReleaseBuffer(IMediaSample* sample)
{
    auto* s = static_cast<CMediaSample*>(sample);
    ComPtr<IMemAllocatorNotifyCallbackTemp> notify;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_free.push_back(s);
        if (m_decommitPending && m_allocated == static_cast<LONG>(m_free.size())) {
            m_decommitPending = false;
            Free();
        }
        notify = m_notify;
    }
    m_freed.notify_one();
    if (notify)
        notify->NotifyRelease();
    NonDelegatingRelease();
    return S_OK;
}

HRESULT CBaseAllocator::SetNotify(IMemAllocatorNotifyCallbackTemp* notify)
{
    if (notify)
        notify->AddRef();
    IMemAllocatorNotifyCallbackTemp* old = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        old = std::exchange(m_notify, notify);
    }
    if (old)
        old->Release();
    return S_OK;
}

HRESULT CBaseAllocator::GetFreeCount(LONG* free)
{
    if (!free)
        return E_POINTER;
    std::lock_guard<std::mutex> lock(m_mutex);
    *free = static_cast<LONG>(m_free.size());
    return S_OK;
}

// --- CMemAllocator ---------------------------------------------------------------------------

CMemAllocator::CMemAllocator(const char* objectName, IUnknown* outer, HRESULT* hr)
    : CBaseAllocator(objectName, outer, hr)
{
}

CMemAllocator::~CMemAllocator()
{
    // Every sample is back (each one held a reference to the allocator).
    Free();
}

CUnknown* CMemAllocator::CreateInstance(IUnknown* outer, HRESULT* hr)
{
    return new CMemAllocator("CMemAllocator", outer, hr);
}

HRESULT CMemAllocator::Alloc()
{
    Free();
    const std::size_t align = static_cast<std::size_t>(m_props.cbAlign);
    const std::size_t prefix = static_cast<std::size_t>(m_props.cbPrefix);
    // The data (after the prefix) starts on the alignment; the block is a whole number of alignments.
    const std::size_t lead = (prefix + align - 1) / align * align;
    std::size_t bytes = lead + static_cast<std::size_t>(m_props.cbBuffer);
    bytes = (bytes + align - 1) / align * align;
    const std::size_t blockAlign = align < alignof(std::max_align_t) ? alignof(std::max_align_t) : align;
    bytes = (bytes + blockAlign - 1) / blockAlign * blockAlign;
    for (LONG i = 0; i < m_props.cBuffers; ++i) {
        void* block = std::aligned_alloc(blockAlign, bytes);
        if (!block) {
            Free();
            return E_OUTOFMEMORY;
        }
        m_blocks.push_back(block);
        auto* s = new CMediaSample(this, static_cast<BYTE*>(block) + lead, m_props.cbBuffer);
        m_all.push_back(s);
        m_free.push_back(s);
    }
    m_allocated = m_props.cBuffers;
    return S_OK;
}

void CMemAllocator::Free()
{
    for (CMediaSample* s : m_all)
        delete s;
    for (void* b : m_blocks)
        std::free(b);
    m_all.clear();
    m_blocks.clear();
    m_free.clear();
    m_allocated = 0;
}
