#include "platform/dshow/BaseClasses.h"

#include "platform/dshow/Registration.h"

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
