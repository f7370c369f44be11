#include "platform/dshow/BaseClasses.h"

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
