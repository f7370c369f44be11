#pragma once
// The streaming and graph interfaces of the filter graph: pins, filters, media
// samples and allocators, the graph, its control and its events, and the
// capture graph builder. Declarations only; the behaviour every caller relies on
// is stated at each interface. No Qt.

#include "platform/dshow/MediaTypes.h"

#include <cstdint>

using LONG_PTR = std::intptr_t;
using OAHWND = LONG_PTR;
using OAFilterState = LONG;
using LPCOLESTR = const WCHAR*;
using LPOLESTR = WCHAR*;

struct IBaseFilter;
struct IEnumMediaTypes;
struct IFilterGraph;
struct IFileSinkFilter;

// --- Results ---------------------------------------------------------------------------

inline constexpr HRESULT VFW_S_NO_MORE_ITEMS = MakeHResult(0x00040103u);
inline constexpr HRESULT VFW_E_INVALIDMEDIATYPE = MakeHResult(0x80040200u);
inline constexpr HRESULT VFW_E_NEED_OWNER = MakeHResult(0x80040202u);
inline constexpr HRESULT VFW_E_ENUM_OUT_OF_SYNC = MakeHResult(0x80040203u);
inline constexpr HRESULT VFW_E_ALREADY_CONNECTED = MakeHResult(0x80040204u);
inline constexpr HRESULT VFW_E_FILTER_ACTIVE = MakeHResult(0x80040205u);
inline constexpr HRESULT VFW_E_NO_TYPES = MakeHResult(0x80040206u);
inline constexpr HRESULT VFW_E_NO_ACCEPTABLE_TYPES = MakeHResult(0x80040207u);
inline constexpr HRESULT VFW_E_INVALID_DIRECTION = MakeHResult(0x80040208u);
inline constexpr HRESULT VFW_E_NOT_CONNECTED = MakeHResult(0x80040209u);
inline constexpr HRESULT VFW_E_NO_ALLOCATOR = MakeHResult(0x8004020Au);
inline constexpr HRESULT VFW_E_RUNTIME_ERROR = MakeHResult(0x8004020Bu);
inline constexpr HRESULT VFW_E_BUFFER_NOTSET = MakeHResult(0x8004020Cu);
inline constexpr HRESULT VFW_E_BUFFER_OVERFLOW = MakeHResult(0x8004020Du);
inline constexpr HRESULT VFW_E_BADALIGN = MakeHResult(0x8004020Eu);
inline constexpr HRESULT VFW_E_ALREADY_COMMITTED = MakeHResult(0x8004020Fu);
inline constexpr HRESULT VFW_E_BUFFERS_OUTSTANDING = MakeHResult(0x80040210u);
inline constexpr HRESULT VFW_E_NOT_COMMITTED = MakeHResult(0x80040211u);
inline constexpr HRESULT VFW_E_SIZENOTSET = MakeHResult(0x80040212u);
inline constexpr HRESULT VFW_E_NO_SINK = MakeHResult(0x80040214u);
inline constexpr HRESULT VFW_E_NOT_FOUND = MakeHResult(0x80040216u);
inline constexpr HRESULT VFW_E_CANNOT_CONNECT = MakeHResult(0x80040217u);
inline constexpr HRESULT VFW_E_CANNOT_RENDER = MakeHResult(0x80040218u);
inline constexpr HRESULT VFW_E_NOT_STOPPED = MakeHResult(0x80040224u);
inline constexpr HRESULT VFW_E_WRONG_STATE = MakeHResult(0x80040227u);
inline constexpr HRESULT VFW_E_TYPE_NOT_ACCEPTED = MakeHResult(0x8004022Au);
inline constexpr HRESULT VFW_E_SAMPLE_REJECTED_EOS = MakeHResult(0x8004022Cu);
inline constexpr HRESULT VFW_S_DUPLICATE_NAME = MakeHResult(0x0004022Du);
inline constexpr HRESULT VFW_E_DUPLICATE_NAME = MakeHResult(0x8004022Du);
inline constexpr HRESULT VFW_E_TIMEOUT = MakeHResult(0x8004022Eu);
inline constexpr HRESULT VFW_E_SAMPLE_TIME_NOT_SET = MakeHResult(0x80040249u);
inline constexpr HRESULT VFW_E_MEDIA_TIME_NOT_SET = MakeHResult(0x80040251u);
inline constexpr HRESULT VFW_E_NOT_IN_GRAPH = MakeHResult(0x8004025Fu);
inline constexpr HRESULT VFW_S_CANT_CUE = MakeHResult(0x00040268u);
inline constexpr HRESULT VFW_S_NO_STOP_TIME = MakeHResult(0x00040270u);
inline constexpr HRESULT E_PROP_ID_UNSUPPORTED = MakeHResult(0x80070490u);
inline constexpr HRESULT E_PROP_SET_UNSUPPORTED = MakeHResult(0x80070492u);

// --- Event codes -----------------------------------------------------------------------

inline constexpr LONG EC_COMPLETE = 0x01;    // a renderer's stream ended (param1 HRESULT, param2 the filter)
inline constexpr LONG EC_USERABORT = 0x02;
inline constexpr LONG EC_ERRORABORT = 0x03;  // streaming stopped on an error (param1 HRESULT)
inline constexpr LONG EC_REPAINT = 0x05;     // a renderer needs its picture again
inline constexpr LONG EC_DEVICE_LOST = 0x1F; // param1 the device's IUnknown, param2 0 removed / 1 back

inline constexpr LONG AM_MEDIAEVENT_NONOTIFY = 0x01;

// --- Plain records ---------------------------------------------------------------------

enum FILTER_STATE : std::int32_t { State_Stopped = 0, State_Paused = 1, State_Running = 2 };
enum PIN_DIRECTION : std::int32_t { PINDIR_INPUT = 0, PINDIR_OUTPUT = 1 };

inline constexpr int MAX_PIN_NAME = 128;
inline constexpr int MAX_FILTER_NAME = 128;

// pFilter holds a counted reference that the caller releases.
struct PIN_INFO {
    IBaseFilter* pFilter;
    PIN_DIRECTION dir;
    WCHAR achName[MAX_PIN_NAME];
};

// pGraph holds a counted reference (when not null) that the caller releases.
struct FILTER_INFO {
    WCHAR achName[MAX_FILTER_NAME];
    IFilterGraph* pGraph;
};

struct ALLOCATOR_PROPERTIES {
    LONG cBuffers;
    LONG cbBuffer;
    LONG cbAlign;
    LONG cbPrefix;
};

// GetBuffer flags.
inline constexpr DWORD AM_GBF_NOWAIT = 4;

// --- Samples and allocators --------------------------------------------------------------

// One buffer of a stream with its times. GetTime: VFW_E_SAMPLE_TIME_NOT_SET
// when no time was set, VFW_S_NO_STOP_TIME (start only; stop = start + 1) when
// only a start time was. GetMediaTime: VFW_E_MEDIA_TIME_NOT_SET when none was
// set. Releasing the last reference returns the buffer to its allocator.
struct IMediaSample : IUnknown {
    virtual HRESULT GetPointer(BYTE** buffer) = 0;
    virtual LONG GetSize() = 0;
    virtual HRESULT GetTime(REFERENCE_TIME* start, REFERENCE_TIME* stop) = 0;
    virtual HRESULT SetTime(REFERENCE_TIME* start, REFERENCE_TIME* stop) = 0;
    virtual HRESULT IsSyncPoint() = 0;
    virtual HRESULT SetSyncPoint(BOOL sync) = 0;
    virtual HRESULT IsPreroll() = 0;
    virtual HRESULT SetPreroll(BOOL preroll) = 0;
    virtual LONG GetActualDataLength() = 0;
    virtual HRESULT SetActualDataLength(LONG length) = 0;
    // S_FALSE and null when the type did not change with this sample.
    virtual HRESULT GetMediaType(AM_MEDIA_TYPE** type) = 0;
    virtual HRESULT SetMediaType(AM_MEDIA_TYPE* type) = 0;
    virtual HRESULT IsDiscontinuity() = 0;
    virtual HRESULT SetDiscontinuity(BOOL discontinuity) = 0;
    virtual HRESULT GetMediaTime(LONGLONG* start, LONGLONG* stop) = 0;
    virtual HRESULT SetMediaTime(LONGLONG* start, LONGLONG* stop) = 0;

protected:
    ~IMediaSample() = default;
};
TH_DECLARE_IID(IMediaSample, "56A8689A-0AD4-11CE-B03A-0020AF0BA770");

// A bounded pool of buffers, allocated at Commit. GetBuffer waits for a free
// buffer; with AM_GBF_NOWAIT it answers VFW_E_TIMEOUT at once when none is
// free. While decommitted it answers VFW_E_NOT_COMMITTED, and a Decommit wakes
// every waiter with that answer.
struct IMemAllocator : IUnknown {
    virtual HRESULT SetProperties(ALLOCATOR_PROPERTIES* request, ALLOCATOR_PROPERTIES* actual) = 0;
    virtual HRESULT GetProperties(ALLOCATOR_PROPERTIES* props) = 0;
    virtual HRESULT Commit() = 0;
    virtual HRESULT Decommit() = 0;
    virtual HRESULT GetBuffer(IMediaSample** sample, REFERENCE_TIME* start, REFERENCE_TIME* stop, DWORD flags) = 0;
    virtual HRESULT ReleaseBuffer(IMediaSample* sample) = 0;

protected:
    ~IMemAllocator() = default;
};
TH_DECLARE_IID(IMemAllocator, "56A8689C-0AD4-11CE-B03A-0020AF0BA770");

// Told each time a sample goes back to the pool, on the thread that released
// it, with no lock of the allocator held: a source that waits for a buffer
// wakes on it rather than asking again and again.
struct IMemAllocatorNotifyCallbackTemp : IUnknown {
    virtual HRESULT NotifyRelease() = 0;

protected:
    ~IMemAllocatorNotifyCallbackTemp() = default;
};
TH_DECLARE_IID(IMemAllocatorNotifyCallbackTemp, "92980B30-C1DE-11D2-ABF5-00A0C905F375");

// An allocator that tells of released samples. It holds a reference to the
// callback while it is set, and during a call to it; SetNotify(null) ends the
// telling (a call already on its way may still come).
struct IMemAllocatorCallbackTemp : IMemAllocator {
    virtual HRESULT SetNotify(IMemAllocatorNotifyCallbackTemp* notify) = 0;
    virtual HRESULT GetFreeCount(LONG* free) = 0;

protected:
    ~IMemAllocatorCallbackTemp() = default;
};
TH_DECLARE_IID(IMemAllocatorCallbackTemp, "379A0CF0-C1DE-11D2-ABF5-00A0C905F375");

// --- Pins ------------------------------------------------------------------------------

// Connect is called on an output pin with the input pin to connect to and an
// optional (possibly partial) type; the output pin proposes types to the input
// pin's ReceiveConnection. Disconnect breaks one side only (S_FALSE when it was
// not connected); the graph's Disconnect is called for each side.
struct IPin : IUnknown {
    virtual HRESULT Connect(IPin* receivePin, const AM_MEDIA_TYPE* type) = 0;
    virtual HRESULT ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* type) = 0;
    virtual HRESULT Disconnect() = 0;
    // VFW_E_NOT_CONNECTED and null when unconnected.
    virtual HRESULT ConnectedTo(IPin** pin) = 0;
    virtual HRESULT ConnectionMediaType(AM_MEDIA_TYPE* type) = 0;
    virtual HRESULT QueryPinInfo(PIN_INFO* info) = 0;
    virtual HRESULT QueryDirection(PIN_DIRECTION* dir) = 0;
    virtual HRESULT QueryId(LPWSTR* id) = 0;
    // S_OK when the pin would accept the type, else S_FALSE.
    virtual HRESULT QueryAccept(const AM_MEDIA_TYPE* type) = 0;
    virtual HRESULT EnumMediaTypes(IEnumMediaTypes** types) = 0;
    virtual HRESULT EndOfStream() = 0;
    virtual HRESULT BeginFlush() = 0;
    virtual HRESULT EndFlush() = 0;
    virtual HRESULT NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) = 0;

protected:
    ~IPin() = default;
};
TH_DECLARE_IID(IPin, "56A86891-0AD4-11CE-B03A-0020AF0BA770");

// The transport of an input pin. Receive is called on the upstream filter's
// streaming thread: S_OK to go on, S_FALSE to ask the sender to stop sending,
// an error when the sample could not be taken.
struct IMemInputPin : IUnknown {
    virtual HRESULT GetAllocator(IMemAllocator** allocator) = 0;
    virtual HRESULT NotifyAllocator(IMemAllocator* allocator, BOOL readOnly) = 0;
    virtual HRESULT GetAllocatorRequirements(ALLOCATOR_PROPERTIES* props) = 0;
    virtual HRESULT Receive(IMediaSample* sample) = 0;
    virtual HRESULT ReceiveMultiple(IMediaSample** samples, LONG count, LONG* processed) = 0;
    virtual HRESULT ReceiveCanBlock() = 0;

protected:
    ~IMemInputPin() = default;
};
TH_DECLARE_IID(IMemInputPin, "56A8689D-0AD4-11CE-B03A-0020AF0BA770");

// Enumerators answer S_FALSE when fewer than asked were left, and
// VFW_E_ENUM_OUT_OF_SYNC when the set changed since the enumerator was made
// (Reset then starts again on the new set).
struct IEnumPins : IUnknown {
    virtual HRESULT Next(ULONG count, IPin** pins, ULONG* fetched) = 0;
    virtual HRESULT Skip(ULONG count) = 0;
    virtual HRESULT Reset() = 0;
    virtual HRESULT Clone(IEnumPins** clone) = 0;

protected:
    ~IEnumPins() = default;
};
TH_DECLARE_IID(IEnumPins, "56A86892-0AD4-11CE-B03A-0020AF0BA770");

// Each type handed out is a record in task memory (th::dshow::DeleteMediaType).
struct IEnumMediaTypes : IUnknown {
    virtual HRESULT Next(ULONG count, AM_MEDIA_TYPE** types, ULONG* fetched) = 0;
    virtual HRESULT Skip(ULONG count) = 0;
    virtual HRESULT Reset() = 0;
    virtual HRESULT Clone(IEnumMediaTypes** clone) = 0;

protected:
    ~IEnumMediaTypes() = default;
};
TH_DECLARE_IID(IEnumMediaTypes, "89C31040-846B-11CE-97D3-00AA0055595A");

// Pin categories (through IKsPropertySet on a pin, AMPROPSETID_Pin / AMPROPERTY_PIN_CATEGORY).
inline constexpr GUID AMPROPSETID_Pin = MakeGuid("9B00F101-1567-11D1-B3F1-00AA003761C5");
inline constexpr DWORD AMPROPERTY_PIN_CATEGORY = 0;
inline constexpr GUID PIN_CATEGORY_CAPTURE = MakeGuid("FB6C4281-0353-11D1-905F-0000C0CC16BA");
inline constexpr GUID PIN_CATEGORY_PREVIEW = MakeGuid("FB6C4282-0353-11D1-905F-0000C0CC16BA");

inline constexpr DWORD KSPROPERTY_SUPPORT_GET = 1;
inline constexpr DWORD KSPROPERTY_SUPPORT_SET = 2;

struct IKsPropertySet : IUnknown {
    virtual HRESULT Set(REFGUID propSet, DWORD id, void* instanceData, DWORD instanceSize, void* propData,
                        DWORD dataSize) = 0;
    virtual HRESULT Get(REFGUID propSet, DWORD id, void* instanceData, DWORD instanceSize, void* propData,
                        DWORD dataSize, DWORD* returned) = 0;
    virtual HRESULT QuerySupported(REFGUID propSet, DWORD id, DWORD* support) = 0;

protected:
    ~IKsPropertySet() = default;
};
TH_DECLARE_IID(IKsPropertySet, "31EFAC30-515C-11D0-A9AA-00AA0061BE93");

// --- Filters ---------------------------------------------------------------------------

struct IPersist : IUnknown {
    virtual HRESULT GetClassID(CLSID* clsid) = 0;

protected:
    ~IPersist() = default;
};
TH_DECLARE_IID(IPersist, "0000010C-0000-0000-C000-000000000046");

// A clock the graph may hand its filters. The graph here runs without one
// (filters get null); the interface exists for the filter's SetSyncSource.
struct IReferenceClock : IUnknown {
    virtual HRESULT GetTime(REFERENCE_TIME* time) = 0;

protected:
    ~IReferenceClock() = default;
};
TH_DECLARE_IID(IReferenceClock, "56A86897-0AD4-11CE-B03A-0020AF0BA770");

struct IMediaFilter : IPersist {
    virtual HRESULT Stop() = 0;
    virtual HRESULT Pause() = 0;
    virtual HRESULT Run(REFERENCE_TIME start) = 0;
    // VFW_S_CANT_CUE from a live source while paused.
    virtual HRESULT GetState(DWORD milliseconds, FILTER_STATE* state) = 0;
    virtual HRESULT SetSyncSource(IReferenceClock* clock) = 0;
    virtual HRESULT GetSyncSource(IReferenceClock** clock) = 0;

protected:
    ~IMediaFilter() = default;
};
TH_DECLARE_IID(IMediaFilter, "56A86899-0AD4-11CE-B03A-0020AF0BA770");

// JoinFilterGraph(graph, name) is called by the graph when the filter is added
// (and with null when it is removed); the filter keeps the graph pointer
// without counting it, so that graph and filter do not keep each other alive.
struct IBaseFilter : IMediaFilter {
    virtual HRESULT EnumPins(IEnumPins** pins) = 0;
    virtual HRESULT FindPin(LPCWSTR id, IPin** pin) = 0;
    virtual HRESULT QueryFilterInfo(FILTER_INFO* info) = 0;
    virtual HRESULT JoinFilterGraph(IFilterGraph* graph, LPCWSTR name) = 0;
    virtual HRESULT QueryVendorInfo(LPWSTR* info) = 0;

protected:
    ~IBaseFilter() = default;
};
TH_DECLARE_IID(IBaseFilter, "56A86895-0AD4-11CE-B03A-0020AF0BA770");

// Self-registration of a filter object (through the filter mapper).
struct IAMovieSetup : IUnknown {
    virtual HRESULT Register() = 0;
    virtual HRESULT Unregister() = 0;

protected:
    ~IAMovieSetup() = default;
};
TH_DECLARE_IID(IAMovieSetup, "A3D8CEC0-7E5A-11CF-BBC5-00805F6CEF20");

struct IEnumFilters : IUnknown {
    virtual HRESULT Next(ULONG count, IBaseFilter** filters, ULONG* fetched) = 0;
    virtual HRESULT Skip(ULONG count) = 0;
    virtual HRESULT Reset() = 0;
    virtual HRESULT Clone(IEnumFilters** clone) = 0;

protected:
    ~IEnumFilters() = default;
};
TH_DECLARE_IID(IEnumFilters, "56A86893-0AD4-11CE-B03A-0020AF0BA770");

// --- The graph -------------------------------------------------------------------------

// AddFilter gives a filter a name unique in the graph: a name in use gets
// " 0001" (and so on) appended and the answer VFW_S_DUPLICATE_NAME; null gets a
// generated name. FindFilterByName compares exactly and answers VFW_E_NOT_FOUND.
// Connections are made only while the graph is stopped (VFW_E_NOT_STOPPED).
struct IFilterGraph : IUnknown {
    virtual HRESULT AddFilter(IBaseFilter* filter, LPCWSTR name) = 0;
    virtual HRESULT RemoveFilter(IBaseFilter* filter) = 0;
    virtual HRESULT EnumFilters(IEnumFilters** filters) = 0;
    virtual HRESULT FindFilterByName(LPCWSTR name, IBaseFilter** filter) = 0;
    virtual HRESULT ConnectDirect(IPin* out, IPin* in, const AM_MEDIA_TYPE* type) = 0;
    virtual HRESULT Disconnect(IPin* pin) = 0;

protected:
    ~IFilterGraph() = default;
};
TH_DECLARE_IID(IFilterGraph, "56A8689F-0AD4-11CE-B03A-0020AF0BA770");

// Connect joins two pins directly, trying the pins' own types; no filters are
// inserted between them (VFW_E_CANNOT_CONNECT when they agree on none).
struct IGraphBuilder : IFilterGraph {
    virtual HRESULT Connect(IPin* out, IPin* in) = 0;

protected:
    ~IGraphBuilder() = default;
};
TH_DECLARE_IID(IGraphBuilder, "56A868A9-0AD4-11CE-B03A-0020AF0BA770");

// State changes are synchronous: each returns when every filter has made it
// (see DShow.h for the order and for what Stop waits for).
struct IMediaControl : IUnknown {
    virtual HRESULT Run() = 0;
    virtual HRESULT Pause() = 0;
    virtual HRESULT Stop() = 0;
    virtual HRESULT GetState(LONG milliseconds, OAFilterState* state) = 0;

protected:
    ~IMediaControl() = default;
};
TH_DECLARE_IID(IMediaControl, "56A868B1-0AD4-11CE-B03A-0020AF0BA770");

// The graph's event queue, in the order the events were raised. GetEvent waits
// up to the time-out (INFINITE = 0xFFFFFFFF, as a LONG -1) and answers E_ABORT
// when nothing came.
struct IMediaEvent : IUnknown {
    virtual HRESULT GetEvent(LONG* code, LONG_PTR* param1, LONG_PTR* param2, LONG milliseconds) = 0;
    virtual HRESULT CancelDefaultHandling(LONG code) = 0;
    virtual HRESULT RestoreDefaultHandling(LONG code) = 0;
    virtual HRESULT FreeEventParams(LONG code, LONG_PTR param1, LONG_PTR param2) = 0;

protected:
    ~IMediaEvent() = default;
};
TH_DECLARE_IID(IMediaEvent, "56A868B6-0AD4-11CE-B03A-0020AF0BA770");

// SetNotifyWindow(window, message, instance): for every event queued, the
// message is posted to the window (a message target of platform/win) with
// WParam 0 and LParam instance; a window of 0 stops the posting.
// SetNotifyFlags(AM_MEDIAEVENT_NONOTIFY) turns events off (none are queued,
// none posted, the queue is emptied); 0 turns them on.
struct IMediaEventEx : IMediaEvent {
    virtual HRESULT SetNotifyWindow(OAHWND window, LONG message, LONG_PTR instance) = 0;
    virtual HRESULT SetNotifyFlags(LONG flags) = 0;
    virtual HRESULT GetNotifyFlags(LONG* flags) = 0;

protected:
    ~IMediaEventEx() = default;
};
TH_DECLARE_IID(IMediaEventEx, "56A868C0-0AD4-11CE-B03A-0020AF0BA770");

// What a filter gets from its graph (QueryInterface on the graph passed to
// JoinFilterGraph) to raise an event. Callable on any thread; never waits.
struct IMediaEventSink : IUnknown {
    virtual HRESULT Notify(LONG code, LONG_PTR param1, LONG_PTR param2) = 0;

protected:
    ~IMediaEventSink() = default;
};
TH_DECLARE_IID(IMediaEventSink, "56A868A2-0AD4-11CE-B03A-0020AF0BA770");

// --- File sinks --------------------------------------------------------------------------

// GetCurFile hands out a task-memory string (CoTaskMemFree).
struct IFileSinkFilter : IUnknown {
    virtual HRESULT SetFileName(LPCOLESTR fileName, const AM_MEDIA_TYPE* type) = 0;
    virtual HRESULT GetCurFile(LPOLESTR* fileName, AM_MEDIA_TYPE* type) = 0;

protected:
    ~IFileSinkFilter() = default;
};
TH_DECLARE_IID(IFileSinkFilter, "A2104830-7C70-11CF-8BCE-00AA00A3F1A6");

inline constexpr DWORD AM_FILE_OVERWRITE = 0x1;

struct IFileSinkFilter2 : IFileSinkFilter {
    virtual HRESULT SetMode(DWORD flags) = 0;
    virtual HRESULT GetMode(DWORD* flags) = 0;

protected:
    ~IFileSinkFilter2() = default;
};
TH_DECLARE_IID(IFileSinkFilter2, "00855B90-CE1B-11D0-BD4F-00A0C911CE86");

// The write status of a file writer (the File Writer, the AVI writer plugin)
// since its graph last left the stopped state: the first failure as an
// HRESULT (HRESULT_FROM_WIN32 of the system's error), S_OK when none, and a
// text that names the file, the operation and the system's message, in task
// memory for the caller to free with CoTaskMemFree (null when none).
struct IFileWriteStatus : IUnknown {
    virtual HRESULT GetWriteError(HRESULT* error, LPOLESTR* text) = 0;
    // The video frames (dropped ones included) in the files of the run, as
    // their headers count them; E_NOTIMPL for a writer that does not know.
    virtual HRESULT GetFramesWritten(LONGLONG* frames) = 0;

protected:
    ~IFileWriteStatus() = default;
};
TH_DECLARE_IID(IFileWriteStatus, "D8C16B5C-BED9-4685-B569-C19EE1489D55");

// --- The capture graph builder -------------------------------------------------------------

// RenderStream(category, type, source, intermediate, sink) connects a source
// filter (or one of its output pins) through an optional intermediate filter
// to a sink, or without a sink to the default renderer of the type (video: the
// Video Renderer). An output pin is chosen as the filter's first unconnected
// output pin of the category (when given) that offers a type of the major type
// (when given); so of a Smart Tee the first call takes the capture pin and the
// second the preview pin. An input pin is the first unconnected one that
// accepts the connection.
//
// SetOutputFileName(MEDIASUBTYPE_Avi, name, &mux, &sink) adds an AVI Mux and a
// File Writer that writes `name`, connects them and hands out the mux and the
// writer's IFileSinkFilter.
//
// FindInterface(category, type, filter, iid, out) asks the filter's output pin
// of that category and major type for the interface; without a category the
// filter itself, then each of its pins.
struct ICaptureGraphBuilder2 : IUnknown {
    virtual HRESULT SetFiltergraph(IGraphBuilder* graph) = 0;
    virtual HRESULT GetFiltergraph(IGraphBuilder** graph) = 0;
    virtual HRESULT SetOutputFileName(const GUID* type, LPCOLESTR fileName, IBaseFilter** mux,
                                      IFileSinkFilter** sink) = 0;
    virtual HRESULT FindInterface(const GUID* category, const GUID* type, IBaseFilter* filter, REFIID riid,
                                  void** ppv) = 0;
    virtual HRESULT RenderStream(const GUID* category, const GUID* type, IUnknown* source,
                                 IBaseFilter* intermediate, IBaseFilter* sink) = 0;

protected:
    ~ICaptureGraphBuilder2() = default;
};
TH_DECLARE_IID(ICaptureGraphBuilder2, "93E5A4E0-2D50-11D2-ABFA-00A0C9C6E38D");
