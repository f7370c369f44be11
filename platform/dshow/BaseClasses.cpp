#include "platform/dshow/BaseClasses.h"

#include "platform/dshow/Registration.h"

#include <cstdlib>
#include <cstring>


// --- Helpers ---------------------------------------------------------------------------------

HRESULT GetInterface(IUnknown* p, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = p;
    p->AddRef();
    return S_OK;
}

namespace th::dshow {

void CopyName(WCHAR* dst, std::size_t capacity, std::u16string_view src)
{
    if (capacity == 0)
        return;
    const std::size_t n = src.size() < capacity - 1 ? src.size() : capacity - 1;
    for (std::size_t i = 0; i < n; ++i)
        dst[i] = src[i];
    dst[n] = 0;
}

std::u16string ToU16(LPCWSTR s)
{
    return s ? std::u16string(s) : std::u16string();
}

} // namespace th::dshow

// --- CUnknown --------------------------------------------------------------------------------

CUnknown::CUnknown(const char* objectName, IUnknown* outer)
    : m_owner(outer ? outer : static_cast<IUnknown*>(&m_inner)), m_objectName(objectName ? objectName : "")
{
}

CUnknown::~CUnknown() = default;

HRESULT CUnknown::NonDelegatingQueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    if (riid == IID_IUnknown)
        return GetInterface(&m_inner, ppv);
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG CUnknown::NonDelegatingAddRef()
{
    return static_cast<ULONG>(m_cRef.fetch_add(1, std::memory_order_relaxed) + 1);
}

ULONG CUnknown::NonDelegatingRelease()
{
    const LONG left = m_cRef.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) {
        // A destructor that hands out and drops references to itself must not
        // free the object a second time.
        m_cRef.store(1, std::memory_order_relaxed);
        delete this;
        return 0;
    }
    return static_cast<ULONG>(left);
}

// --- CMediaType ------------------------------------------------------------------------------

// Every constructor starts from a zeroed record, so InitMediaType frees nothing.
CMediaType::CMediaType() : AM_MEDIA_TYPE{}
{
    InitMediaType();
}

CMediaType::CMediaType(const GUID& majorType) : AM_MEDIA_TYPE{}
{
    InitMediaType();
    majortype = majorType;
}

CMediaType::CMediaType(const AM_MEDIA_TYPE& other) : AM_MEDIA_TYPE{}
{
    InitMediaType();
    Set(other);
}

CMediaType::CMediaType(const CMediaType& other) : AM_MEDIA_TYPE{}
{
    InitMediaType();
    Set(other);
}

CMediaType& CMediaType::operator=(const AM_MEDIA_TYPE& other)
{
    Set(other);
    return *this;
}

CMediaType& CMediaType::operator=(const CMediaType& other)
{
    Set(other);
    return *this;
}

CMediaType::~CMediaType()
{
    th::dshow::FreeMediaTypeContents(*this);
}

HRESULT CMediaType::Set(const AM_MEDIA_TYPE& other)
{
    if (&other == static_cast<AM_MEDIA_TYPE*>(this))
        return S_OK;
    th::dshow::FreeMediaTypeContents(*this);
    return th::dshow::CopyMediaTypeContents(this, other);
}

void CMediaType::InitMediaType()
{
    th::dshow::FreeMediaTypeContents(*this);
    majortype = GUID_NULL;
    subtype = GUID_NULL;
    formattype = GUID_NULL;
    bFixedSizeSamples = TRUE;
    bTemporalCompression = FALSE;
    lSampleSize = 1;
    pUnk = nullptr;
    cbFormat = 0;
    pbFormat = nullptr;
}

BYTE* CMediaType::AllocFormatBuffer(ULONG length)
{
    ResetFormatBuffer();
    if (length == 0)
        return nullptr;
    pbFormat = static_cast<BYTE*>(CoTaskMemAlloc(length));
    if (!pbFormat)
        return nullptr;
    std::memset(pbFormat, 0, length);
    cbFormat = length;
    return pbFormat;
}

bool CMediaType::SetFormat(const BYTE* format, ULONG length)
{
    if (length == 0) {
        ResetFormatBuffer();
        return true;
    }
    BYTE* p = AllocFormatBuffer(length);
    if (!p)
        return false;
    std::memcpy(p, format, length);
    return true;
}

void CMediaType::ResetFormatBuffer()
{
    if (pbFormat)
        CoTaskMemFree(pbFormat);
    pbFormat = nullptr;
    cbFormat = 0;
}

bool CMediaType::MatchesPartial(const AM_MEDIA_TYPE& partial) const
{
    if (!(partial.majortype == GUID_NULL) && !(partial.majortype == majortype))
        return false;
    if (!(partial.subtype == GUID_NULL) && !(partial.subtype == subtype))
        return false;
    if (!(partial.formattype == GUID_NULL)) {
        if (!(partial.formattype == formattype))
            return false;
        if (partial.cbFormat != 0) {
            if (partial.cbFormat != cbFormat || std::memcmp(partial.pbFormat, pbFormat, cbFormat) != 0)
                return false;
        }
    }
    return true;
}

bool CMediaType::IsPartiallySpecified() const
{
    return majortype == GUID_NULL || formattype == GUID_NULL;
}

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

CBaseAllocator::~CBaseAllocator() = default;

HRESULT CBaseAllocator::NonDelegatingQueryInterface(REFIID riid, void** ppv)
{
    if (riid == IID_IMemAllocator)
        return GetInterface(static_cast<IMemAllocator*>(this), ppv);
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
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_free.push_back(s);
        if (m_decommitPending && m_allocated == static_cast<LONG>(m_free.size())) {
            m_decommitPending = false;
            Free();
        }
    }
    m_freed.notify_one();
    NonDelegatingRelease();
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

// --- CBaseFilter -----------------------------------------------------------------------------

CBaseFilter::CBaseFilter(const char* objectName, IUnknown* outer, CCritSec* lock, REFCLSID clsid)
    : CUnknown(objectName, outer), m_pLock(lock), m_clsid(clsid)
{
}

CBaseFilter::~CBaseFilter()
{
    if (m_pClock)
        m_pClock->Release();
}

HRESULT CBaseFilter::NonDelegatingQueryInterface(REFIID riid, void** ppv)
{
    if (riid == IID_IBaseFilter)
        return GetInterface(static_cast<IBaseFilter*>(this), ppv);
    if (riid == IID_IMediaFilter)
        return GetInterface(static_cast<IMediaFilter*>(this), ppv);
    if (riid == IID_IPersist)
        return GetInterface(static_cast<IPersist*>(this), ppv);
    if (riid == IID_IAMovieSetup)
        return GetInterface(static_cast<IAMovieSetup*>(this), ppv);
    return CUnknown::NonDelegatingQueryInterface(riid, ppv);
}

HRESULT CBaseFilter::GetClassID(CLSID* clsid)
{
    if (!clsid)
        return E_POINTER;
    *clsid = m_clsid;
    return S_OK;
}

HRESULT CBaseFilter::Stop()
{
    CAutoLock lock(m_pLock);
    HRESULT result = S_OK;
    if (m_State != State_Stopped) {
        const int n = GetPinCount();
        for (int i = 0; i < n; ++i) {
            CBasePin* pin = GetPin(i);
            if (pin && pin->IsConnected()) {
                const HRESULT hr = pin->Inactive();
                if (FAILED(hr) && SUCCEEDED(result))
                    result = hr;
            }
        }
    }
    m_State = State_Stopped;
    return result;
}

HRESULT CBaseFilter::Pause()
{
    CAutoLock lock(m_pLock);
    if (m_State == State_Stopped) {
        const int n = GetPinCount();
        for (int i = 0; i < n; ++i) {
            CBasePin* pin = GetPin(i);
            if (pin && pin->IsConnected()) {
                const HRESULT hr = pin->Active();
                if (FAILED(hr))
                    return hr;
            }
        }
    }
    m_State = State_Paused;
    return S_OK;
}

HRESULT CBaseFilter::Run(REFERENCE_TIME start)
{
    CAutoLock lock(m_pLock);
    m_tStart = start;
    if (m_State == State_Stopped) {
        const HRESULT hr = Pause();
        if (FAILED(hr))
            return hr;
    }
    if (m_State != State_Running) {
        const int n = GetPinCount();
        for (int i = 0; i < n; ++i) {
            CBasePin* pin = GetPin(i);
            if (pin && pin->IsConnected()) {
                const HRESULT hr = pin->Run(start);
                if (FAILED(hr))
                    return hr;
            }
        }
    }
    m_State = State_Running;
    return S_OK;
}

HRESULT CBaseFilter::GetState(DWORD, FILTER_STATE* state)
{
    if (!state)
        return E_POINTER;
    *state = m_State;
    return S_OK;
}

HRESULT CBaseFilter::SetSyncSource(IReferenceClock* clock)
{
    CAutoLock lock(m_pLock);
    if (clock)
        clock->AddRef();
    if (m_pClock)
        m_pClock->Release();
    m_pClock = clock;
    return S_OK;
}

HRESULT CBaseFilter::GetSyncSource(IReferenceClock** clock)
{
    if (!clock)
        return E_POINTER;
    CAutoLock lock(m_pLock);
    *clock = m_pClock;
    if (m_pClock)
        m_pClock->AddRef();
    return S_OK;
}

HRESULT CBaseFilter::EnumPins(IEnumPins** pins)
{
    if (!pins)
        return E_POINTER;
    *pins = new CEnumPins(this);
    return S_OK;
}

HRESULT CBaseFilter::FindPin(LPCWSTR id, IPin** pin)
{
    if (!id || !pin)
        return E_POINTER;
    *pin = nullptr;
    CAutoLock lock(m_pLock);
    const int n = GetPinCount();
    for (int i = 0; i < n; ++i) {
        CBasePin* p = GetPin(i);
        if (p && p->Name() == id)
            return GetInterface(static_cast<IPin*>(p), reinterpret_cast<void**>(pin));
    }
    return VFW_E_NOT_FOUND;
}

HRESULT CBaseFilter::QueryFilterInfo(FILTER_INFO* info)
{
    if (!info)
        return E_POINTER;
    CAutoLock lock(m_pLock);
    th::dshow::CopyName(info->achName, MAX_FILTER_NAME, m_Name);
    info->pGraph = m_pGraph;
    if (m_pGraph)
        m_pGraph->AddRef();
    return S_OK;
}

HRESULT CBaseFilter::JoinFilterGraph(IFilterGraph* graph, LPCWSTR name)
{
    CAutoLock lock(m_pLock);
    IMediaEventSink* sink = nullptr;
    if (graph) {
        // Not counted: the graph outlives its membership, and counting it would
        // keep graph and filter alive through each other.
        if (SUCCEEDED(graph->QueryInterface(IID_IMediaEventSink, reinterpret_cast<void**>(&sink))))
            sink->Release();
        else
            sink = nullptr;
    }
    {
        std::lock_guard<std::mutex> sinkLock(m_sinkMutex);
        m_pSink = sink;
    }
    m_pGraph = graph;
    m_Name = graph ? th::dshow::ToU16(name) : std::u16string();
    return S_OK;
}

HRESULT CBaseFilter::QueryVendorInfo(LPWSTR* info)
{
    if (info)
        *info = nullptr;
    return E_NOTIMPL;
}

HRESULT CBaseFilter::Register()
{
    const th::dshow::FilterSetup* setup = GetSetupData();
    if (!setup)
        return S_FALSE;
    return th::dshow::RegisterFilters({setup, 1}, th::com::server::ModulePath(), true);
}

HRESULT CBaseFilter::Unregister()
{
    const th::dshow::FilterSetup* setup = GetSetupData();
    if (!setup)
        return S_FALSE;
    return th::dshow::RegisterFilters({setup, 1}, th::com::server::ModulePath(), false);
}

HRESULT CBaseFilter::NotifyEvent(LONG code, LONG_PTR param1, LONG_PTR param2)
{
    std::lock_guard<std::mutex> lock(m_sinkMutex);
    if (!m_pSink)
        return E_NOTIMPL;
    return m_pSink->Notify(code, param1, param2);
}

std::u16string CBaseFilter::FilterName() const
{
    CAutoLock lock(m_pLock);
    return m_Name;
}

// --- CBasePin --------------------------------------------------------------------------------

CBasePin::CBasePin(const char* objectName, CBaseFilter* filter, CCritSec* lock, HRESULT*, LPCWSTR pinName,
                   PIN_DIRECTION dir)
    : CUnknown(objectName, nullptr), m_pName(th::dshow::ToU16(pinName)), m_pFilter(filter), m_pLock(lock), m_dir(dir)
{
}

CBasePin::~CBasePin()
{
    if (m_Connected)
        m_Connected->Release();
}

HRESULT CBasePin::NonDelegatingQueryInterface(REFIID riid, void** ppv)
{
    if (riid == IID_IPin)
        return GetInterface(static_cast<IPin*>(this), ppv);
    if (riid == IID_IKsPropertySet && !(m_category == GUID_NULL))
        return GetInterface(static_cast<IKsPropertySet*>(this), ppv);
    return CUnknown::NonDelegatingQueryInterface(riid, ppv);
}

ULONG CBasePin::NonDelegatingAddRef()
{
    return m_pFilter->AddRef();
}

ULONG CBasePin::NonDelegatingRelease()
{
    return m_pFilter->Release();
}

HRESULT CBasePin::Connect(IPin* receivePin, const AM_MEDIA_TYPE* type)
{
    if (!receivePin)
        return E_POINTER;
    CAutoLock lock(m_pLock);
    if (m_Connected)
        return VFW_E_ALREADY_CONNECTED;
    if (!IsStopped())
        return VFW_E_NOT_STOPPED;
    if (type) {
        const CMediaType partial(*type);
        return AgreeMediaType(receivePin, &partial);
    }
    return AgreeMediaType(receivePin, nullptr);
}

HRESULT CBasePin::AgreeMediaType(IPin* receivePin, const CMediaType* partial)
{
    if (partial && !partial->IsPartiallySpecified())
        return AttemptConnection(receivePin, partial);

    HRESULT firstFailure = VFW_E_NO_ACCEPTABLE_TYPES;
    bool triedAny = false;
    // The input pin's types first, then our own.
    ComPtr<IEnumMediaTypes> theirs;
    if (SUCCEEDED(receivePin->EnumMediaTypes(theirs.ReleaseAndGetAddressOf())) && theirs) {
        const HRESULT hr = TryMediaTypes(receivePin, partial, theirs.Get());
        if (SUCCEEDED(hr))
            return hr;
        if (hr != VFW_E_NO_TYPES) {
            triedAny = true;
            firstFailure = hr;
        }
    }
    ComPtr<IEnumMediaTypes> ours;
    if (SUCCEEDED(EnumMediaTypes(ours.ReleaseAndGetAddressOf())) && ours) {
        const HRESULT hr = TryMediaTypes(receivePin, partial, ours.Get());
        if (SUCCEEDED(hr))
            return hr;
        if (hr != VFW_E_NO_TYPES && !triedAny) {
            triedAny = true;
            firstFailure = hr;
        }
    }
    return triedAny ? firstFailure : VFW_E_NO_ACCEPTABLE_TYPES;
}

// VFW_E_NO_TYPES when the enumerator gave no type that matched the partial type.
HRESULT CBasePin::TryMediaTypes(IPin* receivePin, const CMediaType* partial, IEnumMediaTypes* types)
{
    types->Reset();
    HRESULT failure = VFW_E_NO_TYPES;
    for (;;) {
        AM_MEDIA_TYPE* mt = nullptr;
        ULONG fetched = 0;
        if (types->Next(1, &mt, &fetched) != S_OK || fetched != 1 || !mt)
            break;
        CMediaType candidate(*mt);
        th::dshow::DeleteMediaType(mt);
        if (partial && !candidate.MatchesPartial(*partial))
            continue;
        const HRESULT hr = AttemptConnection(receivePin, &candidate);
        if (SUCCEEDED(hr))
            return hr;
        if (failure == VFW_E_NO_TYPES)
            failure = hr;
    }
    return failure;
}

HRESULT CBasePin::AttemptConnection(IPin* receivePin, const CMediaType* type)
{
    HRESULT hr = CheckConnect(receivePin);
    if (FAILED(hr)) {
        BreakConnect();
        return hr;
    }
    hr = CheckMediaType(type);
    if (hr != S_OK) {
        BreakConnect();
        return SUCCEEDED(hr) ? VFW_E_TYPE_NOT_ACCEPTED : hr;
    }
    m_Connected = receivePin;
    m_Connected->AddRef();
    hr = SetMediaType(type);
    if (SUCCEEDED(hr)) {
        hr = receivePin->ReceiveConnection(static_cast<IPin*>(this), type);
        if (SUCCEEDED(hr)) {
            hr = CompleteConnect(receivePin);
            if (SUCCEEDED(hr))
                return hr;
            receivePin->Disconnect();
        }
    }
    m_Connected->Release();
    m_Connected = nullptr;
    m_mt.InitMediaType();
    BreakConnect();
    return hr;
}

HRESULT CBasePin::ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* type)
{
    if (!connector || !type)
        return E_POINTER;
    CAutoLock lock(m_pLock);
    if (m_Connected)
        return VFW_E_ALREADY_CONNECTED;
    if (!IsStopped())
        return VFW_E_NOT_STOPPED;
    HRESULT hr = CheckConnect(connector);
    if (FAILED(hr)) {
        BreakConnect();
        return hr;
    }
    const CMediaType mt(*type);
    hr = CheckMediaType(&mt);
    if (hr != S_OK) {
        BreakConnect();
        return SUCCEEDED(hr) ? VFW_E_TYPE_NOT_ACCEPTED : hr;
    }
    m_Connected = connector;
    m_Connected->AddRef();
    hr = SetMediaType(&mt);
    if (SUCCEEDED(hr)) {
        hr = CompleteConnect(connector);
        if (SUCCEEDED(hr))
            return hr;
    }
    m_Connected->Release();
    m_Connected = nullptr;
    m_mt.InitMediaType();
    BreakConnect();
    return hr;
}

HRESULT CBasePin::Disconnect()
{
    CAutoLock lock(m_pLock);
    if (!IsStopped())
        return VFW_E_NOT_STOPPED;
    return DisconnectInternal();
}

HRESULT CBasePin::DisconnectInternal()
{
    if (!m_Connected)
        return S_FALSE;
    const HRESULT hr = BreakConnect();
    if (FAILED(hr))
        return hr;
    m_Connected->Release();
    m_Connected = nullptr;
    m_mt.InitMediaType();
    return S_OK;
}

HRESULT CBasePin::ConnectedTo(IPin** pin)
{
    if (!pin)
        return E_POINTER;
    CAutoLock lock(m_pLock);
    *pin = m_Connected;
    if (!m_Connected)
        return VFW_E_NOT_CONNECTED;
    m_Connected->AddRef();
    return S_OK;
}

HRESULT CBasePin::ConnectionMediaType(AM_MEDIA_TYPE* type)
{
    if (!type)
        return E_POINTER;
    CAutoLock lock(m_pLock);
    if (!m_Connected) {
        *type = AM_MEDIA_TYPE{};
        return VFW_E_NOT_CONNECTED;
    }
    return th::dshow::CopyMediaTypeContents(type, m_mt);
}

HRESULT CBasePin::QueryPinInfo(PIN_INFO* info)
{
    if (!info)
        return E_POINTER;
    info->pFilter = static_cast<IBaseFilter*>(m_pFilter);
    m_pFilter->AddRef();
    info->dir = m_dir;
    th::dshow::CopyName(info->achName, MAX_PIN_NAME, m_pName);
    return S_OK;
}

HRESULT CBasePin::QueryDirection(PIN_DIRECTION* dir)
{
    if (!dir)
        return E_POINTER;
    *dir = m_dir;
    return S_OK;
}

HRESULT CBasePin::QueryId(LPWSTR* id)
{
    if (!id)
        return E_POINTER;
    *id = th::com::CoTaskStrDup(m_pName);
    return *id ? S_OK : E_OUTOFMEMORY;
}

HRESULT CBasePin::QueryAccept(const AM_MEDIA_TYPE* type)
{
    if (!type)
        return E_POINTER;
    const CMediaType mt(*type);
    const HRESULT hr = CheckMediaType(&mt);
    return hr == S_OK ? S_OK : S_FALSE;
}

HRESULT CBasePin::EnumMediaTypes(IEnumMediaTypes** types)
{
    if (!types)
        return E_POINTER;
    *types = new CEnumMediaTypes(this);
    return S_OK;
}

HRESULT CBasePin::NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate)
{
    m_tStart = start;
    m_tStop = stop;
    m_dRate = rate;
    return S_OK;
}

HRESULT CBasePin::Set(REFGUID, DWORD, void*, DWORD, void*, DWORD)
{
    return E_NOTIMPL;
}

HRESULT CBasePin::Get(REFGUID propSet, DWORD id, void*, DWORD, void* propData, DWORD dataSize, DWORD* returned)
{
    if (!(propSet == AMPROPSETID_Pin))
        return E_PROP_SET_UNSUPPORTED;
    if (id != AMPROPERTY_PIN_CATEGORY)
        return E_PROP_ID_UNSUPPORTED;
    if (!propData && !returned)
        return E_POINTER;
    if (returned)
        *returned = sizeof(GUID);
    if (!propData)
        return S_OK;
    if (dataSize < sizeof(GUID))
        return E_UNEXPECTED;
    *static_cast<GUID*>(propData) = m_category;
    return S_OK;
}

HRESULT CBasePin::QuerySupported(REFGUID propSet, DWORD id, DWORD* support)
{
    if (!(propSet == AMPROPSETID_Pin))
        return E_PROP_SET_UNSUPPORTED;
    if (id != AMPROPERTY_PIN_CATEGORY)
        return E_PROP_ID_UNSUPPORTED;
    if (support)
        *support = KSPROPERTY_SUPPORT_GET;
    return S_OK;
}

HRESULT CBasePin::SetMediaType(const CMediaType* type)
{
    return m_mt.Set(*type);
}

HRESULT CBasePin::GetMediaType(int position, CMediaType*)
{
    return position < 0 ? E_INVALIDARG : VFW_S_NO_MORE_ITEMS;
}

HRESULT CBasePin::CheckConnect(IPin* pin)
{
    PIN_DIRECTION dir;
    const HRESULT hr = pin->QueryDirection(&dir);
    if (FAILED(hr))
        return hr;
    return dir == m_dir ? VFW_E_INVALID_DIRECTION : S_OK;
}

HRESULT CBasePin::BreakConnect()
{
    return S_OK;
}

HRESULT CBasePin::CompleteConnect(IPin*)
{
    return S_OK;
}

// --- CBaseInputPin ---------------------------------------------------------------------------

CBaseInputPin::CBaseInputPin(const char* objectName, CBaseFilter* filter, CCritSec* lock, HRESULT* hr,
                             LPCWSTR pinName)
    : CBasePin(objectName, filter, lock, hr, pinName, PINDIR_INPUT)
{
}

CBaseInputPin::~CBaseInputPin()
{
    if (m_pAllocator)
        m_pAllocator->Release();
}

HRESULT CBaseInputPin::NonDelegatingQueryInterface(REFIID riid, void** ppv)
{
    if (riid == IID_IMemInputPin)
        return GetInterface(static_cast<IMemInputPin*>(this), ppv);
    return CBasePin::NonDelegatingQueryInterface(riid, ppv);
}

HRESULT CBaseInputPin::GetAllocator(IMemAllocator** allocator)
{
    if (!allocator)
        return E_POINTER;
    CAutoLock lock(m_pLock);
    if (!m_pAllocator) {
        HRESULT hr = S_OK;
        CUnknown* a = CMemAllocator::CreateInstance(nullptr, &hr);
        a->NonDelegatingAddRef();
        hr = a->NonDelegatingQueryInterface(IID_IMemAllocator, reinterpret_cast<void**>(&m_pAllocator));
        a->NonDelegatingRelease();
        if (FAILED(hr))
            return hr;
    }
    *allocator = m_pAllocator;
    m_pAllocator->AddRef();
    return S_OK;
}

HRESULT CBaseInputPin::NotifyAllocator(IMemAllocator* allocator, BOOL readOnly)
{
    CAutoLock lock(m_pLock);
    if (allocator)
        allocator->AddRef();
    if (m_pAllocator)
        m_pAllocator->Release();
    m_pAllocator = allocator;
    m_bReadOnly = readOnly != FALSE;
    return S_OK;
}

HRESULT CBaseInputPin::GetAllocatorRequirements(ALLOCATOR_PROPERTIES*)
{
    return E_NOTIMPL;
}

HRESULT CBaseInputPin::CheckStreaming()
{
    if (IsStopped())
        return VFW_E_WRONG_STATE;
    if (m_bFlushing)
        return S_FALSE;
    if (m_bRunTimeError)
        return VFW_E_RUNTIME_ERROR;
    return S_OK;
}

HRESULT CBaseInputPin::Receive(IMediaSample* sample)
{
    if (!sample)
        return E_POINTER;
    HRESULT hr = CheckStreaming();
    if (hr != S_OK)
        return hr;
    AM_MEDIA_TYPE* changed = nullptr;
    if (sample->GetMediaType(&changed) == S_OK && changed) {
        const CMediaType mt(*changed);
        th::dshow::DeleteMediaType(changed);
        hr = CheckMediaType(&mt);
        if (hr != S_OK) {
            m_bRunTimeError = true;
            EndOfStream();
            m_pFilter->NotifyEvent(EC_ERRORABORT, VFW_E_TYPE_NOT_ACCEPTED, 0);
            return VFW_E_INVALIDMEDIATYPE;
        }
        CAutoLock lock(m_pLock);
        SetMediaType(&mt);
    }
    return S_OK;
}

HRESULT CBaseInputPin::ReceiveMultiple(IMediaSample** samples, LONG count, LONG* processed)
{
    if (!samples || !processed)
        return E_POINTER;
    *processed = 0;
    HRESULT hr = S_OK;
    while (*processed < count) {
        hr = Receive(samples[*processed]);
        if (hr != S_OK)
            break;
        ++*processed;
    }
    return hr;
}

HRESULT CBaseInputPin::BeginFlush()
{
    CAutoLock lock(m_pLock);
    m_bFlushing = true;
    return S_OK;
}

HRESULT CBaseInputPin::EndFlush()
{
    CAutoLock lock(m_pLock);
    m_bFlushing = false;
    m_bRunTimeError = false;
    return S_OK;
}

HRESULT CBaseInputPin::BreakConnect()
{
    if (m_pAllocator) {
        m_pAllocator->Release();
        m_pAllocator = nullptr;
    }
    return S_OK;
}

HRESULT CBaseInputPin::Inactive()
{
    // The allocator belongs to the upstream pin that committed it; it decommits it.
    m_bRunTimeError = false;
    m_bFlushing = false;
    return S_OK;
}

// --- CRenderedInputPin -----------------------------------------------------------------------

CRenderedInputPin::CRenderedInputPin(const char* objectName, CBaseFilter* filter, CCritSec* lock, HRESULT* hr,
                                     LPCWSTR pinName)
    : CBaseInputPin(objectName, filter, lock, hr, pinName)
{
}

HRESULT CRenderedInputPin::EndOfStream()
{
    const HRESULT hr = CheckStreaming();
    if (hr != S_OK)
        return hr;
    m_bAtEndOfStream = true;
    if (m_pFilter->State() == State_Running)
        DoCompleteHandling();
    return S_OK;
}

HRESULT CRenderedInputPin::EndFlush()
{
    {
        CAutoLock lock(m_pLock);
        m_bAtEndOfStream = false;
        m_bCompleteNotified = false;
    }
    return CBaseInputPin::EndFlush();
}

HRESULT CRenderedInputPin::Active()
{
    m_bAtEndOfStream = false;
    m_bCompleteNotified = false;
    return CBaseInputPin::Active();
}

HRESULT CRenderedInputPin::Inactive()
{
    m_bAtEndOfStream = false;
    m_bCompleteNotified = false;
    return CBaseInputPin::Inactive();
}

HRESULT CRenderedInputPin::Run(REFERENCE_TIME start)
{
    if (m_bAtEndOfStream)
        DoCompleteHandling();
    return CBaseInputPin::Run(start);
}

void CRenderedInputPin::DoCompleteHandling()
{
    // Once per stream, even when the end comes from two threads at once.
    if (m_bCompleteNotified.exchange(true))
        return;
    m_pFilter->NotifyEvent(EC_COMPLETE, S_OK, reinterpret_cast<LONG_PTR>(static_cast<IBaseFilter*>(m_pFilter)));
}

// --- CBaseOutputPin --------------------------------------------------------------------------

CBaseOutputPin::CBaseOutputPin(const char* objectName, CBaseFilter* filter, CCritSec* lock, HRESULT* hr,
                               LPCWSTR pinName)
    : CBasePin(objectName, filter, lock, hr, pinName, PINDIR_OUTPUT)
{
}

CBaseOutputPin::~CBaseOutputPin()
{
    if (m_pAllocator)
        m_pAllocator->Release();
    if (m_pInputPin)
        m_pInputPin->Release();
}

HRESULT CBaseOutputPin::CheckConnect(IPin* pin)
{
    HRESULT hr = CBasePin::CheckConnect(pin);
    if (FAILED(hr))
        return hr;
    if (m_pInputPin) {
        m_pInputPin->Release();
        m_pInputPin = nullptr;
    }
    hr = pin->QueryInterface(IID_IMemInputPin, reinterpret_cast<void**>(&m_pInputPin));
    if (FAILED(hr)) {
        m_pInputPin = nullptr;
        return E_NOINTERFACE;
    }
    return S_OK;
}

HRESULT CBaseOutputPin::CompleteConnect(IPin*)
{
    return DecideAllocator(m_pInputPin, &m_pAllocator);
}

HRESULT CBaseOutputPin::BreakConnect()
{
    if (m_pAllocator) {
        m_pAllocator->Decommit();
        m_pAllocator->Release();
        m_pAllocator = nullptr;
    }
    if (m_pInputPin) {
        m_pInputPin->Release();
        m_pInputPin = nullptr;
    }
    return S_OK;
}

HRESULT CBaseOutputPin::DecideAllocator(IMemInputPin* pin, IMemAllocator** allocator)
{
    if (!pin)
        return VFW_E_NO_ALLOCATOR;
    if (*allocator) {
        (*allocator)->Release();
        *allocator = nullptr;
    }
    ALLOCATOR_PROPERTIES props{};
    pin->GetAllocatorRequirements(&props);
    if (props.cbAlign == 0)
        props.cbAlign = 1;

    HRESULT hr = pin->GetAllocator(allocator);
    if (SUCCEEDED(hr) && *allocator) {
        hr = DecideBufferSize(*allocator, &props);
        if (SUCCEEDED(hr)) {
            hr = pin->NotifyAllocator(*allocator, FALSE);
            if (SUCCEEDED(hr))
                return S_OK;
        }
    }
    if (*allocator) {
        (*allocator)->Release();
        *allocator = nullptr;
    }
    hr = InitAllocator(allocator);
    if (SUCCEEDED(hr)) {
        hr = DecideBufferSize(*allocator, &props);
        if (SUCCEEDED(hr)) {
            hr = pin->NotifyAllocator(*allocator, FALSE);
            if (SUCCEEDED(hr))
                return S_OK;
        }
    }
    if (*allocator) {
        (*allocator)->Release();
        *allocator = nullptr;
    }
    return hr;
}

HRESULT CBaseOutputPin::InitAllocator(IMemAllocator** allocator)
{
    HRESULT hr = S_OK;
    CUnknown* a = CMemAllocator::CreateInstance(nullptr, &hr);
    a->NonDelegatingAddRef();
    hr = a->NonDelegatingQueryInterface(IID_IMemAllocator, reinterpret_cast<void**>(allocator));
    a->NonDelegatingRelease();
    return hr;
}

HRESULT CBaseOutputPin::Active()
{
    if (!m_pAllocator)
        return VFW_E_NO_ALLOCATOR;
    return m_pAllocator->Commit();
}

HRESULT CBaseOutputPin::Inactive()
{
    if (!m_pAllocator)
        return VFW_E_NO_ALLOCATOR;
    return m_pAllocator->Decommit();
}

HRESULT CBaseOutputPin::GetDeliveryBuffer(IMediaSample** sample, REFERENCE_TIME* start, REFERENCE_TIME* stop,
                                          DWORD flags)
{
    if (!m_pAllocator)
        return VFW_E_NO_ALLOCATOR;
    return m_pAllocator->GetBuffer(sample, start, stop, flags);
}

HRESULT CBaseOutputPin::Deliver(IMediaSample* sample)
{
    IMemInputPin* pin = m_pInputPin;
    if (!pin)
        return VFW_E_NOT_CONNECTED;
    return pin->Receive(sample);
}

HRESULT CBaseOutputPin::DeliverEndOfStream()
{
    IPin* pin = m_Connected;
    if (!pin)
        return VFW_E_NOT_CONNECTED;
    return pin->EndOfStream();
}

HRESULT CBaseOutputPin::DeliverBeginFlush()
{
    IPin* pin = m_Connected;
    if (!pin)
        return VFW_E_NOT_CONNECTED;
    return pin->BeginFlush();
}

HRESULT CBaseOutputPin::DeliverEndFlush()
{
    IPin* pin = m_Connected;
    if (!pin)
        return VFW_E_NOT_CONNECTED;
    return pin->EndFlush();
}

HRESULT CBaseOutputPin::DeliverNewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate)
{
    IPin* pin = m_Connected;
    if (!pin)
        return VFW_E_NOT_CONNECTED;
    return pin->NewSegment(start, stop, rate);
}

// --- Pass-through input pin ---------------------------------------------------------------------

CPassThroughInputPin::CPassThroughInputPin(const char* objectName, CBaseFilter* filter, CCritSec* lock, HRESULT* hr,
                                           LPCWSTR pinName, std::vector<CBaseOutputPin*> outputs)
    : CBaseInputPin(objectName, filter, lock, hr, pinName), m_outputs(std::move(outputs))
{
}

HRESULT CPassThroughInputPin::EndOfStream()
{
    forEachConnected([](CBaseOutputPin& out) { out.DeliverEndOfStream(); });
    return S_OK;
}

HRESULT CPassThroughInputPin::BeginFlush()
{
    CBaseInputPin::BeginFlush();
    forEachConnected([](CBaseOutputPin& out) { out.DeliverBeginFlush(); });
    return S_OK;
}

HRESULT CPassThroughInputPin::EndFlush()
{
    forEachConnected([](CBaseOutputPin& out) { out.DeliverEndFlush(); });
    return CBaseInputPin::EndFlush();
}

HRESULT CPassThroughInputPin::NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate)
{
    CBasePin::NewSegment(start, stop, rate);
    forEachConnected([&](CBaseOutputPin& out) { out.DeliverNewSegment(start, stop, rate); });
    return S_OK;
}

// --- CEnumPins -------------------------------------------------------------------------------

CEnumPins::CEnumPins(CBaseFilter* filter, const CEnumPins* copyFrom)
    : m_filter(filter), m_version(filter->GetPinVersion())
{
    m_filter->AddRef();
    if (copyFrom) {
        m_position = copyFrom->m_position;
        m_version = copyFrom->m_version;
    }
}

CEnumPins::~CEnumPins()
{
    m_filter->Release();
}

HRESULT CEnumPins::Next(ULONG count, IPin** pins, ULONG* fetched)
{
    if (!pins)
        return E_POINTER;
    if (fetched)
        *fetched = 0;
    else if (count > 1)
        return E_INVALIDARG;
    if (m_version != m_filter->GetPinVersion())
        return VFW_E_ENUM_OUT_OF_SYNC;
    ULONG got = 0;
    const int n = m_filter->GetPinCount();
    while (got < count && m_position < n) {
        CBasePin* pin = m_filter->GetPin(m_position++);
        if (!pin)
            continue;
        pins[got] = static_cast<IPin*>(pin);
        pins[got]->AddRef();
        ++got;
    }
    if (fetched)
        *fetched = got;
    return got == count ? S_OK : S_FALSE;
}

HRESULT CEnumPins::Skip(ULONG count)
{
    if (m_version != m_filter->GetPinVersion())
        return VFW_E_ENUM_OUT_OF_SYNC;
    const int n = m_filter->GetPinCount();
    const int left = n - m_position;
    if (static_cast<LONG>(count) > left) {
        m_position = n;
        return S_FALSE;
    }
    m_position += static_cast<int>(count);
    return S_OK;
}

HRESULT CEnumPins::Reset()
{
    m_position = 0;
    m_version = m_filter->GetPinVersion();
    return S_OK;
}

HRESULT CEnumPins::Clone(IEnumPins** clone)
{
    if (!clone)
        return E_POINTER;
    *clone = new CEnumPins(m_filter, this);
    return S_OK;
}

// --- CEnumMediaTypes -------------------------------------------------------------------------

CEnumMediaTypes::CEnumMediaTypes(CBasePin* pin, const CEnumMediaTypes* copyFrom)
    : m_pin(pin), m_version(pin->GetMediaTypeVersion())
{
    static_cast<IPin*>(m_pin)->AddRef();
    if (copyFrom) {
        m_position = copyFrom->m_position;
        m_version = copyFrom->m_version;
    }
}

CEnumMediaTypes::~CEnumMediaTypes()
{
    static_cast<IPin*>(m_pin)->Release();
}

HRESULT CEnumMediaTypes::Next(ULONG count, AM_MEDIA_TYPE** types, ULONG* fetched)
{
    if (!types)
        return E_POINTER;
    if (fetched)
        *fetched = 0;
    else if (count > 1)
        return E_INVALIDARG;
    if (m_version != m_pin->GetMediaTypeVersion())
        return VFW_E_ENUM_OUT_OF_SYNC;
    ULONG got = 0;
    while (got < count) {
        CMediaType mt;
        const HRESULT hr = m_pin->GetMediaType(m_position, &mt);
        if (hr != S_OK)
            break;
        ++m_position;
        AM_MEDIA_TYPE* copy = th::dshow::CreateMediaType(mt);
        if (!copy)
            break;
        types[got++] = copy;
    }
    if (fetched)
        *fetched = got;
    return got == count ? S_OK : S_FALSE;
}

HRESULT CEnumMediaTypes::Skip(ULONG count)
{
    if (m_version != m_pin->GetMediaTypeVersion())
        return VFW_E_ENUM_OUT_OF_SYNC;
    while (count > 0) {
        CMediaType mt;
        if (m_pin->GetMediaType(m_position, &mt) != S_OK)
            return S_FALSE;
        ++m_position;
        --count;
    }
    return S_OK;
}

HRESULT CEnumMediaTypes::Reset()
{
    m_position = 0;
    m_version = m_pin->GetMediaTypeVersion();
    return S_OK;
}

HRESULT CEnumMediaTypes::Clone(IEnumMediaTypes** clone)
{
    if (!clone)
        return E_POINTER;
    *clone = new CEnumMediaTypes(m_pin, this);
    return S_OK;
}
