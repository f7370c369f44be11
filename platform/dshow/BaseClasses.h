#pragma once
// Base classes for writing filters: re-entrant critical sections, an
// aggregatable IUnknown, media types, the filter, its pins (input, rendered
// input, output with an allocator), pin and media-type enumerators, samples and
// a memory allocator, and the creation function a module's class table uses.
// Linked statically into each module (target th_dshowbase, hidden), so every
// object counts towards its own module's DllCanUnloadNow. No Qt.
// One source file per concern: BaseClasses.cpp (IUnknown), BaseMediaType.cpp,
// BaseAllocator.cpp (samples and allocators), BaseFilter.cpp (with the pin
// enumerator), BasePins.cpp (with the media-type enumerator).
//
// How a filter written on these classes behaves, where a writer needs to know:
//
// Reference counts. A filter is a CUnknown: its interfaces forward QueryInterface,
// AddRef and Release to the controlling unknown (the outer object when
// aggregated). Pins share their filter's count (AddRef on a pin counts the
// filter), and the filter owns and deletes its pins. Every CUnknown counts as a
// module object from construction to destruction.
//
// Locks. The filter's lock (given to the filter and, by convention, to its pins)
// guards state changes, connection and format state. Stop, Pause and Run of the
// base take it; pins take it in Connect, ReceiveConnection, Disconnect,
// NotifyAllocator and the flush calls. Receive, EndOfStream and NewSegment of the
// base input pin take no lock: streaming runs beside state changes, and a filter
// that needs to serialise them takes its own lock (the AVI writer takes its
// filter lock in Receive, so its Stop waits for a Receive in progress).
//
// Delivering. CBaseOutputPin::Deliver and the Deliver* calls take no lock; never
// call them while holding a lock that Stop, Pause or the graph's thread takes,
// or a stop can deadlock (see DShow.h for the streaming-thread rules).
//
// State changes. Stop: every connected pin goes Inactive, then the state is
// Stopped. Pause from Stopped: every connected pin goes Active (an output pin
// commits its allocator), then Paused. Run: Pause first when stopped, then each
// connected pin's Run(start), then Running. The base input pin refuses samples
// while the filter is stopped (VFW_E_WRONG_STATE) and while flushing (S_FALSE).
//
// End of stream. CRenderedInputPin raises EC_COMPLETE (param1 S_OK, param2 the
// filter's IBaseFilter) once per stream, and only while running: an end that
// arrives while paused is raised at the next Run; a stop, a new run from
// stopped or a flush arms it again.
//
// Connection. An output pin's Connect(input, type) tries, when the type is
// complete, only that type; otherwise the input pin's enumerated types, then its
// own, skipping those that do not match the partial type. For each it calls
// CheckConnect, CheckMediaType, the input's ReceiveConnection and then
// CompleteConnect (which decides the allocator); a failure undoes the connection
// and calls BreakConnect. Connections change only while the filter is stopped.
//
// Allocators. On CompleteConnect an output pin asks the input pin for its
// requirements and its allocator, lets DecideBufferSize set the properties,
// and tells the input pin the outcome (NotifyAllocator). When the input pin has
// no allocator, the output pin makes a CMemAllocator. The output pin commits
// the allocator when it goes Active and decommits it when Inactive; GetBuffer
// then fails with VFW_E_NOT_COMMITTED, which is how a source thread waiting for
// a buffer learns of the stop.

#include "platform/com/ComServer.h"
#include "platform/dshow/ExtInterfaces.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <span>
#include <string>
#include <vector>

// --- Critical sections ---------------------------------------------------------------

// Re-entrant: a thread that holds it may take it again.
class CCritSec {
public:
    CCritSec() = default;
    CCritSec(const CCritSec&) = delete;
    CCritSec& operator=(const CCritSec&) = delete;

    void Lock() { m_mutex.lock(); }
    void Unlock() { m_mutex.unlock(); }

private:
    std::recursive_mutex m_mutex;
};

class CAutoLock {
public:
    explicit CAutoLock(CCritSec* lock) : m_lock(lock) { m_lock->Lock(); }
    ~CAutoLock() { m_lock->Unlock(); }
    CAutoLock(const CAutoLock&) = delete;
    CAutoLock& operator=(const CAutoLock&) = delete;

private:
    CCritSec* m_lock;
};

// --- IUnknown for aggregatable objects ------------------------------------------------

struct INonDelegatingUnknown {
    virtual HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) = 0;
    virtual ULONG NonDelegatingAddRef() = 0;
    virtual ULONG NonDelegatingRelease() = 0;

protected:
    ~INonDelegatingUnknown() = default;
};

// Hands out `p` (already of the interface asked for) with a counted reference.
HRESULT GetInterface(IUnknown* p, void** ppv);

class CUnknown : public INonDelegatingUnknown, public th::com::server::ModuleObject {
public:
    // outer: the aggregating object, or null for an object of its own.
    CUnknown(const char* objectName, IUnknown* outer);
    virtual ~CUnknown();
    CUnknown(const CUnknown&) = delete;
    CUnknown& operator=(const CUnknown&) = delete;

    // Answers IUnknown with the object's own (non-delegating) unknown.
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;
    ULONG NonDelegatingAddRef() override;
    // Deletes the object when the count reaches 0.
    ULONG NonDelegatingRelease() override;

    // The controlling unknown: the outer object, or the object's own unknown.
    IUnknown* GetOwner() const { return m_owner; }
    const char* ObjectName() const { return m_objectName; }

protected:
    std::atomic<LONG> m_cRef{0};

private:
    // The non-delegating unknown as an IUnknown, for the object's own identity.
    struct Inner final : IUnknown {
        CUnknown* self;
        explicit Inner(CUnknown* s) : self(s) {}
        HRESULT QueryInterface(REFIID riid, void** ppv) override { return self->NonDelegatingQueryInterface(riid, ppv); }
        ULONG AddRef() override { return self->NonDelegatingAddRef(); }
        ULONG Release() override { return self->NonDelegatingRelease(); }
    };
    Inner m_inner{this};
    IUnknown* m_owner;
    const char* m_objectName;
};

// The IUnknown methods of every interface of a CUnknown-derived class.
#define DECLARE_IUNKNOWN                                                                            \
    HRESULT QueryInterface(REFIID riid, void** ppv) override { return GetOwner()->QueryInterface(riid, ppv); } \
    ULONG AddRef() override { return GetOwner()->AddRef(); }                                        \
    ULONG Release() override { return GetOwner()->Release(); }

// --- Media types --------------------------------------------------------------------------

// An AM_MEDIA_TYPE that owns its format block (task memory) and pUnk.
class CMediaType : public AM_MEDIA_TYPE {
public:
    CMediaType();
    explicit CMediaType(const GUID& majorType);
    CMediaType(const AM_MEDIA_TYPE& other);
    CMediaType(const CMediaType& other);
    CMediaType& operator=(const AM_MEDIA_TYPE& other);
    CMediaType& operator=(const CMediaType& other);
    ~CMediaType();

    // Deep copy; E_OUTOFMEMORY leaves this type without a format.
    HRESULT Set(const AM_MEDIA_TYPE& other);
    // Back to the empty type (GUID_NULL, no format).
    void InitMediaType();
    bool IsValid() const { return !(majortype == GUID_NULL); }

    BYTE* Format() const { return pbFormat; }
    ULONG FormatLength() const { return cbFormat; }
    // A zeroed format block of `length` bytes (replacing the old one); null on failure.
    BYTE* AllocFormatBuffer(ULONG length);
    bool SetFormat(const BYTE* format, ULONG length);
    void ResetFormatBuffer();

    // This (complete) type matches `partial`: every GUID of the partial type that
    // is not GUID_NULL is equal, and a partial format block, when given, is equal.
    bool MatchesPartial(const AM_MEDIA_TYPE& partial) const;
    // Major type or format type GUID_NULL.
    bool IsPartiallySpecified() const;

    // Both sides as the plain type, so that a comparison of two CMediaType
    // has one best candidate, not a member and its reversed form.
    friend bool operator==(const AM_MEDIA_TYPE& a, const CMediaType& b) { return th::dshow::SameMediaType(a, b); }
    friend bool operator==(const CMediaType& a, const CMediaType& b) { return th::dshow::SameMediaType(a, b); }
};

// --- Samples and the memory allocator -------------------------------------------------------

class CBaseAllocator;

// One buffer of an allocator. Its last Release hands it back to the allocator.
class CMediaSample : public IMediaSample {
public:
    CMediaSample(CBaseAllocator* allocator, BYTE* buffer, LONG size);
    virtual ~CMediaSample();

    HRESULT QueryInterface(REFIID riid, void** ppv) override;
    ULONG AddRef() override;
    ULONG Release() override;

    HRESULT GetPointer(BYTE** buffer) override;
    LONG GetSize() override;
    HRESULT GetTime(REFERENCE_TIME* start, REFERENCE_TIME* stop) override;
    HRESULT SetTime(REFERENCE_TIME* start, REFERENCE_TIME* stop) override;
    HRESULT IsSyncPoint() override;
    HRESULT SetSyncPoint(BOOL sync) override;
    HRESULT IsPreroll() override;
    HRESULT SetPreroll(BOOL preroll) override;
    LONG GetActualDataLength() override;
    HRESULT SetActualDataLength(LONG length) override;
    HRESULT GetMediaType(AM_MEDIA_TYPE** type) override;
    HRESULT SetMediaType(AM_MEDIA_TYPE* type) override;
    HRESULT IsDiscontinuity() override;
    HRESULT SetDiscontinuity(BOOL discontinuity) override;
    HRESULT GetMediaTime(LONGLONG* start, LONGLONG* stop) override;
    HRESULT SetMediaTime(LONGLONG* start, LONGLONG* stop) override;

    // Clears times, flags and type, and sets the length to the whole buffer; the
    // allocator does it before handing the sample out.
    void ResetProperties();
    void SetBuffer(BYTE* buffer, LONG size)
    {
        m_buffer = buffer;
        m_size = size;
    }

private:
    friend class CBaseAllocator;
    std::atomic<LONG> m_cRef{0};
    CBaseAllocator* m_allocator;
    BYTE* m_buffer;
    LONG m_size;
    LONG m_actual = 0;
    bool m_timeValid = false;
    bool m_stopValid = false;
    bool m_mediaTimeValid = false;
    bool m_sync = false;
    bool m_preroll = false;
    bool m_discontinuity = false;
    REFERENCE_TIME m_start = 0;
    REFERENCE_TIME m_stop = 0;
    LONGLONG m_mediaStart = 0;
    LONGLONG m_mediaStop = 0;
    AM_MEDIA_TYPE* m_type = nullptr;
};

// A bounded pool of samples handed out by GetBuffer and returned by their last
// Release. An outstanding sample keeps the allocator alive.
class CBaseAllocator : public CUnknown, public IMemAllocatorCallbackTemp {
public:
    CBaseAllocator(const char* objectName, IUnknown* outer, HRESULT* hr);
    ~CBaseAllocator() override;

    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    HRESULT SetProperties(ALLOCATOR_PROPERTIES* request, ALLOCATOR_PROPERTIES* actual) override;
    HRESULT GetProperties(ALLOCATOR_PROPERTIES* props) override;
    HRESULT Commit() override;
    HRESULT Decommit() override;
    HRESULT GetBuffer(IMediaSample** sample, REFERENCE_TIME* start, REFERENCE_TIME* stop, DWORD flags) override;
    HRESULT ReleaseBuffer(IMediaSample* sample) override;
    HRESULT SetNotify(IMemAllocatorNotifyCallbackTemp* notify) override;
    HRESULT GetFreeCount(LONG* free) override;

protected:
    // Makes the samples for the properties set (called by Commit with the lock held).
    virtual HRESULT Alloc() = 0;
    // Frees the samples; called once every sample is back and the allocator is decommitted.
    virtual void Free() = 0;

    std::mutex m_mutex;
    std::condition_variable m_freed;
    ALLOCATOR_PROPERTIES m_props{};
    bool m_propsSet = false;
    bool m_committed = false;
    bool m_decommitPending = false;
    LONG m_allocated = 0;            // samples that exist
    std::vector<CMediaSample*> m_free; // samples in the pool
    IMemAllocatorNotifyCallbackTemp* m_notify = nullptr; // held (AddRef) while set
};

// Buffers of plain memory, aligned as asked, prefix bytes before each.
class CMemAllocator : public CBaseAllocator {
public:
    CMemAllocator(const char* objectName, IUnknown* outer, HRESULT* hr);
    ~CMemAllocator() override;

    static CUnknown* CreateInstance(IUnknown* outer, HRESULT* hr);

protected:
    HRESULT Alloc() override;
    void Free() override;

private:
    std::vector<CMediaSample*> m_all;
    std::vector<void*> m_blocks;
};

// --- Filters and pins ----------------------------------------------------------------------

class CBasePin;

// Registration data of a filter class (see Registration.h).
namespace th::dshow {
struct FilterSetup;
}

class CBaseFilter : public CUnknown, public IBaseFilter, public IAMovieSetup {
public:
    CBaseFilter(const char* objectName, IUnknown* outer, CCritSec* lock, REFCLSID clsid);
    ~CBaseFilter() override;

    DECLARE_IUNKNOWN
    // IUnknown, IPersist, IMediaFilter, IBaseFilter, IAMovieSetup.
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    // IPersist
    HRESULT GetClassID(CLSID* clsid) override;
    // IMediaFilter
    HRESULT Stop() override;
    HRESULT Pause() override;
    HRESULT Run(REFERENCE_TIME start) override;
    HRESULT GetState(DWORD milliseconds, FILTER_STATE* state) override;
    HRESULT SetSyncSource(IReferenceClock* clock) override;
    HRESULT GetSyncSource(IReferenceClock** clock) override;
    // IBaseFilter
    HRESULT EnumPins(IEnumPins** pins) override;
    HRESULT FindPin(LPCWSTR id, IPin** pin) override;
    HRESULT QueryFilterInfo(FILTER_INFO* info) override;
    HRESULT JoinFilterGraph(IFilterGraph* graph, LPCWSTR name) override;
    HRESULT QueryVendorInfo(LPWSTR* info) override;
    // IAMovieSetup: registers GetSetupData() for the module (S_FALSE without it).
    HRESULT Register() override;
    HRESULT Unregister() override;

    // The pins, by index; GetPin may answer null for an index that has no pin.
    virtual int GetPinCount() = 0;
    virtual CBasePin* GetPin(int n) = 0;
    // Pin enumerators fail with VFW_E_ENUM_OUT_OF_SYNC once this changes.
    virtual LONG GetPinVersion() { return m_PinVersion.load(); }
    void IncrementPinVersion() { ++m_PinVersion; }
    virtual const th::dshow::FilterSetup* GetSetupData() { return nullptr; }

    // Raises an event in the graph the filter is in (dropped when in none).
    // Callable on any thread, with or without the filter lock.
    HRESULT NotifyEvent(LONG code, LONG_PTR param1, LONG_PTR param2);

    bool IsStopped() const { return m_State == State_Stopped; }
    bool IsActive() const { return m_State != State_Stopped; }
    FILTER_STATE State() const { return m_State; }
    // The graph the filter is in (not counted), or null.
    IFilterGraph* GetFilterGraph() const { return m_pGraph; }
    std::u16string FilterName() const;
    CCritSec* FilterLock() const { return m_pLock; }

protected:
    std::atomic<FILTER_STATE> m_State{State_Stopped};
    REFERENCE_TIME m_tStart = 0;
    IReferenceClock* m_pClock = nullptr; // counted
    CCritSec* m_pLock;
    CLSID m_clsid;
    IFilterGraph* m_pGraph = nullptr; // not counted
    std::u16string m_Name;
    std::atomic<LONG> m_PinVersion{1};

private:
    std::mutex m_sinkMutex;           // guards m_pSink against a graph leaving while an event is raised
    IMediaEventSink* m_pSink = nullptr; // not counted; lives as long as the graph
};

class CBasePin : public CUnknown, public IPin, public IKsPropertySet {
public:
    CBasePin(const char* objectName, CBaseFilter* filter, CCritSec* lock, HRESULT* hr, LPCWSTR pinName,
             PIN_DIRECTION dir);
    ~CBasePin() override;

    DECLARE_IUNKNOWN
    // IPin (and IKsPropertySet when the pin has a category).
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;
    // A pin lives as long as its filter: its count is the filter's.
    ULONG NonDelegatingAddRef() override;
    ULONG NonDelegatingRelease() override;

    // IPin
    HRESULT Connect(IPin* receivePin, const AM_MEDIA_TYPE* type) override;
    HRESULT ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* type) override;
    HRESULT Disconnect() override;
    HRESULT ConnectedTo(IPin** pin) override;
    HRESULT ConnectionMediaType(AM_MEDIA_TYPE* type) override;
    HRESULT QueryPinInfo(PIN_INFO* info) override;
    HRESULT QueryDirection(PIN_DIRECTION* dir) override;
    HRESULT QueryId(LPWSTR* id) override;
    HRESULT QueryAccept(const AM_MEDIA_TYPE* type) override;
    HRESULT EnumMediaTypes(IEnumMediaTypes** types) override;
    HRESULT EndOfStream() override { return S_OK; }
    HRESULT BeginFlush() override = 0;
    HRESULT EndFlush() override = 0;
    // Stores the segment (CurrentStartTime and friends).
    HRESULT NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) override;

    // IKsPropertySet: the pin category (AMPROPSETID_Pin, AMPROPERTY_PIN_CATEGORY), read only.
    HRESULT Set(REFGUID propSet, DWORD id, void* instanceData, DWORD instanceSize, void* propData,
                DWORD dataSize) override;
    HRESULT Get(REFGUID propSet, DWORD id, void* instanceData, DWORD instanceSize, void* propData, DWORD dataSize,
                DWORD* returned) override;
    HRESULT QuerySupported(REFGUID propSet, DWORD id, DWORD* support) override;

    // --- For derived pins ---
    // S_OK when the type is acceptable; anything else refuses it.
    virtual HRESULT CheckMediaType(const CMediaType* type) = 0;
    // Called with the agreed type once a connection is made; stores it.
    virtual HRESULT SetMediaType(const CMediaType* type);
    // The pin's preferred types, from position 0; VFW_S_NO_MORE_ITEMS past the last.
    virtual HRESULT GetMediaType(int position, CMediaType* type);
    virtual LONG GetMediaTypeVersion() { return m_TypeVersion.load(); }
    void IncrementTypeVersion() { ++m_TypeVersion; }
    // Checks the peer before a connection (the base checks its direction).
    virtual HRESULT CheckConnect(IPin* pin);
    // Undoes what CheckConnect and CompleteConnect set up.
    virtual HRESULT BreakConnect();
    virtual HRESULT CompleteConnect(IPin* receivePin);
    // The filter goes from stopped to paused, or back to stopped.
    virtual HRESULT Active() { return S_OK; }
    virtual HRESULT Inactive() { return S_OK; }
    virtual HRESULT Run(REFERENCE_TIME start) { return S_OK; }

    bool IsConnected() const { return m_Connected != nullptr; }
    IPin* GetConnected() const { return m_Connected; }
    const CMediaType& CurrentMediaType() const { return m_mt; }
    PIN_DIRECTION Direction() const { return m_dir; }
    const std::u16string& Name() const { return m_pName; }
    CBaseFilter* Filter() const { return m_pFilter; }
    bool IsStopped() const { return m_pFilter->IsStopped(); }
    // Gives the pin a category (answered through IKsPropertySet).
    void SetCategory(const GUID& category) { m_category = category; }
    const GUID& Category() const { return m_category; }

    REFERENCE_TIME CurrentStartTime() const { return m_tStart; }
    REFERENCE_TIME CurrentStopTime() const { return m_tStop; }
    double CurrentRate() const { return m_dRate; }

protected:
    HRESULT AgreeMediaType(IPin* receivePin, const CMediaType* partial);
    HRESULT TryMediaTypes(IPin* receivePin, const CMediaType* partial, IEnumMediaTypes* types);
    HRESULT AttemptConnection(IPin* receivePin, const CMediaType* type);
    HRESULT DisconnectInternal();

    std::u16string m_pName;
    CBaseFilter* m_pFilter;
    CCritSec* m_pLock;
    PIN_DIRECTION m_dir;
    IPin* m_Connected = nullptr; // counted
    CMediaType m_mt;
    REFERENCE_TIME m_tStart = 0;
    REFERENCE_TIME m_tStop = 0x7FFFFFFFFFFFFFFF;
    double m_dRate = 1.0;
    std::atomic<LONG> m_TypeVersion{1};
    GUID m_category{};
};

class CBaseInputPin : public CBasePin, public IMemInputPin {
public:
    CBaseInputPin(const char* objectName, CBaseFilter* filter, CCritSec* lock, HRESULT* hr, LPCWSTR pinName);
    ~CBaseInputPin() override;

    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    // IMemInputPin
    // A CMemAllocator of the pin's own when no allocator was notified.
    HRESULT GetAllocator(IMemAllocator** allocator) override;
    HRESULT NotifyAllocator(IMemAllocator* allocator, BOOL readOnly) override;
    // E_NOTIMPL: no requirements.
    HRESULT GetAllocatorRequirements(ALLOCATOR_PROPERTIES* props) override;
    // The checks every input pin makes (state, flushing, a new media type
    // attached to the sample, a runtime error); derived pins call it first.
    HRESULT Receive(IMediaSample* sample) override;
    HRESULT ReceiveMultiple(IMediaSample** samples, LONG count, LONG* processed) override;
    HRESULT ReceiveCanBlock() override { return S_OK; }

    // IPin
    HRESULT BeginFlush() override;
    HRESULT EndFlush() override;

    HRESULT BreakConnect() override;
    HRESULT Inactive() override;

    // VFW_E_WRONG_STATE when stopped, S_FALSE when flushing, VFW_E_RUNTIME_ERROR
    // after a runtime error, else S_OK.
    HRESULT CheckStreaming();
    bool IsFlushing() const { return m_bFlushing; }
    bool IsReadOnly() const { return m_bReadOnly; }
    IMemAllocator* Allocator() const { return m_pAllocator; }

protected:
    IMemAllocator* m_pAllocator = nullptr; // counted
    bool m_bReadOnly = false;
    std::atomic<bool> m_bFlushing{false};
    std::atomic<bool> m_bRunTimeError{false};
};

class CRenderedInputPin : public CBaseInputPin {
public:
    CRenderedInputPin(const char* objectName, CBaseFilter* filter, CCritSec* lock, HRESULT* hr, LPCWSTR pinName);

    HRESULT EndOfStream() override;
    HRESULT EndFlush() override;
    HRESULT Active() override;
    HRESULT Inactive() override;
    HRESULT Run(REFERENCE_TIME start) override;

protected:
    void DoCompleteHandling();

    std::atomic<bool> m_bAtEndOfStream{false};
    std::atomic<bool> m_bCompleteNotified{false};
};

class CBaseOutputPin : public CBasePin {
public:
    CBaseOutputPin(const char* objectName, CBaseFilter* filter, CCritSec* lock, HRESULT* hr, LPCWSTR pinName);
    ~CBaseOutputPin() override;

    // Decides the allocator with the connected input pin.
    HRESULT CompleteConnect(IPin* receivePin) override;
    // Needs an input pin with IMemInputPin.
    HRESULT CheckConnect(IPin* pin) override;
    HRESULT BreakConnect() override;
    // Commits / decommits the allocator.
    HRESULT Active() override;
    HRESULT Inactive() override;

    // Output pins receive no flush (E_UNEXPECTED).
    HRESULT EndOfStream() override { return E_UNEXPECTED; }
    HRESULT BeginFlush() override { return E_UNEXPECTED; }
    HRESULT EndFlush() override { return E_UNEXPECTED; }

    // Sets the allocator's properties (SetProperties) from the input pin's
    // requirements in `props`.
    virtual HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* props) = 0;
    virtual HRESULT DecideAllocator(IMemInputPin* pin, IMemAllocator** allocator);
    virtual HRESULT InitAllocator(IMemAllocator** allocator);

    HRESULT GetDeliveryBuffer(IMediaSample** sample, REFERENCE_TIME* start, REFERENCE_TIME* stop, DWORD flags);
    // Hands the sample to the connected input pin (VFW_E_NOT_CONNECTED without one).
    HRESULT Deliver(IMediaSample* sample);
    HRESULT DeliverEndOfStream();
    HRESULT DeliverBeginFlush();
    HRESULT DeliverEndFlush();
    HRESULT DeliverNewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate);

    IMemInputPin* ConnectedInput() const { return m_pInputPin; }
    IMemAllocator* Allocator() const { return m_pAllocator; }

protected:
    IMemAllocator* m_pAllocator = nullptr; // counted
    IMemInputPin* m_pInputPin = nullptr;   // counted
};

// The input pin of a filter that turns each sample into samples of its own
// outputs: end of stream, flushes and new segments go on to every connected
// output, in the order given.
class CPassThroughInputPin : public CBaseInputPin {
public:
    CPassThroughInputPin(const char* objectName, CBaseFilter* filter, CCritSec* lock, HRESULT* hr,
                         LPCWSTR pinName, std::vector<CBaseOutputPin*> outputs);

    HRESULT EndOfStream() override;
    HRESULT BeginFlush() override;
    HRESULT EndFlush() override;
    HRESULT NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) override;

private:
    template <class Fn>
    void forEachConnected(Fn fn)
    {
        for (CBaseOutputPin* out : m_outputs)
            if (out->IsConnected())
                fn(*out);
    }

    std::vector<CBaseOutputPin*> m_outputs; // the filter's own pins, not counted
};

// --- Enumerators -------------------------------------------------------------------------------

// The pins of a filter, as GetPinCount/GetPin give them (null pins are skipped).
class CEnumPins : public th::com::ComObject<IEnumPins>, public th::com::server::ModuleObject {
public:
    explicit CEnumPins(CBaseFilter* filter, const CEnumPins* copyFrom = nullptr);
    ~CEnumPins() override;

    HRESULT Next(ULONG count, IPin** pins, ULONG* fetched) override;
    HRESULT Skip(ULONG count) override;
    HRESULT Reset() override;
    HRESULT Clone(IEnumPins** clone) override;

private:
    CBaseFilter* m_filter; // counted
    int m_position = 0;
    LONG m_version;
};

// The preferred types of a pin, as GetMediaType gives them.
class CEnumMediaTypes : public th::com::ComObject<IEnumMediaTypes>, public th::com::server::ModuleObject {
public:
    explicit CEnumMediaTypes(CBasePin* pin, const CEnumMediaTypes* copyFrom = nullptr);
    ~CEnumMediaTypes() override;

    HRESULT Next(ULONG count, AM_MEDIA_TYPE** types, ULONG* fetched) override;
    HRESULT Skip(ULONG count) override;
    HRESULT Reset() override;
    HRESULT Clone(IEnumMediaTypes** clone) override;

private:
    CBasePin* m_pin; // counted (through the filter)
    int m_position = 0;
    LONG m_version;
};

// --- Creation from a module's class table --------------------------------------------------------

namespace th::dshow {

// The creation function of a class table entry (th::com::server::ClassEntry)
// for a CUnknown-derived class T with
//   static CUnknown* CreateInstance(IUnknown* outer, HRESULT* hr);
// An aggregated object is created only for IID_IUnknown (the COM rule); an
// object that the query leaves without references is freed again.
template <class T>
HRESULT CreateComObject(IUnknown* outer, REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (outer && !(riid == IID_IUnknown))
        return CLASS_E_NOAGGREGATION;
    HRESULT hr = S_OK;
    CUnknown* obj = T::CreateInstance(outer, &hr);
    if (!obj)
        return FAILED(hr) ? hr : E_OUTOFMEMORY;
    obj->NonDelegatingAddRef();
    if (SUCCEEDED(hr))
        hr = obj->NonDelegatingQueryInterface(riid, ppv);
    obj->NonDelegatingRelease();
    return hr;
}

// The same for the built-in class table (no outer object).
template <class T>
HRESULT CreateBuiltin(REFIID riid, void** ppv)
{
    return CreateComObject<T>(nullptr, riid, ppv);
}

// UTF-16 helpers for the fixed-size name fields of PIN_INFO and FILTER_INFO.
void CopyName(WCHAR* dst, std::size_t capacity, std::u16string_view src);
std::u16string ToU16(LPCWSTR s);

} // namespace th::dshow
