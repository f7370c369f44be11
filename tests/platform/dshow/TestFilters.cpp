#include "TestFilters.h"

#include <cstring>
#include <thread>

namespace dstest {

namespace {
const CLSID kTestSourceClsid = MakeGuid("6D1C0A01-7E61-4A39-9C9A-1B1C1D1E1F01");
const CLSID kTestSinkClsid = MakeGuid("6D1C0A01-7E61-4A39-9C9A-1B1C1D1E1F02");
const CLSID kTestConverterClsid = MakeGuid("6D1C0A01-7E61-4A39-9C9A-1B1C1D1E1F03");

template <class T>
ComPtr<IBaseFilter> asFilter(T* obj)
{
    ComPtr<IBaseFilter> f;
    obj->NonDelegatingQueryInterface(IID_IBaseFilter, f.ReleaseAndGetVoidAddressOf());
    return f;
}
} // namespace

// --- Source ---

TestSourcePin::TestSourcePin(TestSource* filter, CCritSec* lock, HRESULT* hr, LPCWSTR name, const GUID& major)
    : CBaseOutputPin("Test source pin", filter, lock, hr, name), m_source(filter), m_major(major)
{
}

HRESULT TestSourcePin::CheckMediaType(const CMediaType* type)
{
    return type->majortype == m_major && type->subtype == m_source->m_options.subtype ? S_OK : S_FALSE;
}

HRESULT TestSourcePin::GetMediaType(int position, CMediaType* type)
{
    if (position < 0)
        return E_INVALIDARG;
    if (position > 0)
        return VFW_S_NO_MORE_ITEMS;
    type->InitMediaType();
    type->majortype = m_major;
    type->subtype = m_source->m_options.subtype;
    type->formattype = FORMAT_DvInfo;
    type->lSampleSize = static_cast<ULONG>(m_source->m_options.sampleBytes);
    DVINFO info{};
    info.dwDVAAuxSrc = 0xD1C0C0C0;
    type->SetFormat(reinterpret_cast<const BYTE*>(&info), sizeof info);
    return S_OK;
}

HRESULT TestSourcePin::DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* props)
{
    ALLOCATOR_PROPERTIES want = *props;
    want.cBuffers = std::max(want.cBuffers, m_source->m_options.buffers);
    want.cbBuffer = std::max(want.cbBuffer, m_source->m_options.sampleBytes);
    ALLOCATOR_PROPERTIES actual{};
    return allocator->SetProperties(&want, &actual);
}

TestSource::TestSource(const SourceOptions& options)
    : CBaseFilter("Test Source", nullptr, &m_lock, kTestSourceClsid), m_options(options)
{
    HRESULT hr = S_OK;
    auto* first = new TestSourcePin(this, &m_lock, &hr, u"Out", options.major);
    first->SetCategory(options.category);
    m_pins.push_back(first);
    int n = 1;
    for (const GUID& major : options.moreOutputs) {
        const std::u16string name = u"Out" + th::com::Utf8ToUtf16(std::to_string(++n));
        m_pins.push_back(new TestSourcePin(this, &m_lock, &hr, name.c_str(), major));
    }
}

TestSource::~TestSource()
{
    stopThread();
    for (TestSourcePin* p : m_pins)
        delete p;
}

ComPtr<IBaseFilter> TestSource::Make(const SourceOptions& options, TestSource** self)
{
    auto* s = new TestSource(options);
    if (self)
        *self = s;
    return asFilter(s);
}

CBasePin* TestSource::GetPin(int n)
{
    return n >= 0 && n < static_cast<int>(m_pins.size()) ? m_pins[static_cast<std::size_t>(n)] : nullptr;
}

void TestSource::stopThread()
{
    // Without the filter lock: the thread may be waiting for a buffer, or parked.
    m_thread.Stop([this] {
        if (IMemAllocator* a = m_pins[0]->Allocator())
            a->Decommit();
    });
}

HRESULT TestSource::Run(REFERENCE_TIME start)
{
    const HRESULT hr = CBaseFilter::Run(start);
    if (FAILED(hr) || !m_pins[0]->IsConnected())
        return hr;
    m_pushed = 0;
    if (!m_thread.Start("test-source", [this] { push(); }, ComPtr<IUnknown>(GetOwner())))
        return E_OUTOFMEMORY;
    return hr;
}

HRESULT TestSource::Pause()
{
    if (m_State == State_Running)
        stopThread(); // a live source sends nothing while paused
    return CBaseFilter::Pause();
}

HRESULT TestSource::Stop()
{
    stopThread();
    return CBaseFilter::Stop();
}

void TestSource::push()
{
    TestSourcePin* pin = m_pins[0];
    for (int i = 0; m_options.samples < 0 || i < m_options.samples; ++i) {
        if (m_thread.StopRequested())
            return;
        IMediaSample* sample = nullptr;
        if (FAILED(pin->GetDeliveryBuffer(&sample, nullptr, nullptr, 0)))
            return;
        BYTE* data = nullptr;
        sample->GetPointer(&data);
        std::memset(data, 0, static_cast<std::size_t>(sample->GetSize()));
        std::memcpy(data, &i, sizeof i);
        sample->SetActualDataLength(m_options.sampleBytes);
        REFERENCE_TIME t0 = i * kFrame, t1 = (i + 1) * kFrame;
        sample->SetTime(&t0, &t1);
        if (m_options.mediaTimes) {
            LONGLONG m0 = i, m1 = i + 1;
            sample->SetMediaTime(&m0, &m1);
        }
        const HRESULT hr = pin->Deliver(sample);
        sample->Release();
        ++m_pushed;
        if (hr != S_OK)
            return;
        if (m_options.interval.count() > 0 && !m_thread.WaitFor(m_options.interval))
            return;
    }
    if (m_options.endOfStream && !m_thread.StopRequested())
        pin->DeliverEndOfStream();
}

// --- Sink ---

TestSinkPin::TestSinkPin(TestSink* filter, CCritSec* lock, HRESULT* hr, LPCWSTR name)
    : CRenderedInputPin("Test sink pin", filter, lock, hr, name), m_sink(filter)
{
}

HRESULT TestSinkPin::CheckMediaType(const CMediaType* type)
{
    if (!type->IsValid())
        return S_FALSE;
    const GUID& want = m_sink->m_options.major;
    return want == GUID_NULL || type->majortype == want ? S_OK : S_FALSE;
}

HRESULT TestSinkPin::Receive(IMediaSample* sample)
{
    const HRESULT hr = CBaseInputPin::Receive(sample);
    if (hr != S_OK)
        return hr;
    Received r{};
    BYTE* data = nullptr;
    sample->GetPointer(&data);
    r.length = sample->GetActualDataLength();
    if (data && r.length >= 4)
        std::memcpy(&r.index, data, sizeof r.index);
    r.timeResult = sample->GetTime(&r.start, &r.stop);
    r.mediaResult = sample->GetMediaTime(&r.mediaStart, &r.mediaStop);
    if (m_sink->m_options.delay.count() > 0)
        std::this_thread::sleep_for(m_sink->m_options.delay);
    {
        std::lock_guard<std::mutex> lock(m_sink->m_mutex);
        m_sink->m_samples.push_back(r);
    }
    m_sink->m_changed.notify_all();
    return S_OK;
}

HRESULT TestSinkPin::EndOfStream()
{
    {
        std::lock_guard<std::mutex> lock(m_sink->m_mutex);
        ++m_sink->m_eos;
    }
    m_sink->m_changed.notify_all();
    if (m_sink->m_options.rendered)
        return CRenderedInputPin::EndOfStream();
    return CheckStreaming();
}

TestSink::TestSink(const SinkOptions& options, const char* name, const CLSID& clsid)
    : CBaseFilter(name, nullptr, &m_lock, clsid == GUID_NULL ? kTestSinkClsid : clsid), m_options(options)
{
    HRESULT hr = S_OK;
    for (int i = 0; i < options.inputs; ++i) {
        const std::u16string pinName = u"In" + th::com::Utf8ToUtf16(std::to_string(i + 1));
        m_pins.push_back(new TestSinkPin(this, &m_lock, &hr, pinName.c_str()));
    }
}

TestSink::~TestSink()
{
    for (TestSinkPin* p : m_pins)
        delete p;
}

ComPtr<IBaseFilter> TestSink::Make(const SinkOptions& options, TestSink** self)
{
    auto* s = new TestSink(options);
    if (self)
        *self = s;
    return asFilter(s);
}

CBasePin* TestSink::GetPin(int n)
{
    return n >= 0 && n < static_cast<int>(m_pins.size()) ? m_pins[static_cast<std::size_t>(n)] : nullptr;
}

std::vector<Received> TestSink::Samples()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_samples;
}

int TestSink::Count()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<int>(m_samples.size());
}

int TestSink::EndOfStreams()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_eos;
}

bool TestSink::WaitForCount(int n, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return static_cast<int>(m_samples.size()) >= n; });
}

bool TestSink::WaitForEndOfStream(std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_eos > 0; });
}

// --- Converter ---

TestConverterOutput::TestConverterOutput(TestConverter* filter, CCritSec* lock, HRESULT* hr)
    : CBaseOutputPin("Converter output", filter, lock, hr, u"Output"), m_converter(filter)
{
}

HRESULT TestConverterOutput::CheckMediaType(const CMediaType* type)
{
    return m_converter->m_input.IsConnected() && type->majortype == m_converter->m_outMajor ? S_OK : S_FALSE;
}

HRESULT TestConverterOutput::GetMediaType(int position, CMediaType* type)
{
    if (position != 0 || !m_converter->m_input.IsConnected())
        return VFW_S_NO_MORE_ITEMS;
    type->Set(m_converter->m_input.CurrentMediaType());
    type->majortype = m_converter->m_outMajor;
    return S_OK;
}

HRESULT TestConverterOutput::DecideAllocator(IMemInputPin* pin, IMemAllocator** allocator)
{
    *allocator = nullptr;
    if (IMemAllocator* a = m_converter->m_input.Allocator())
        pin->NotifyAllocator(a, TRUE);
    return S_OK;
}

TestConverterInput::TestConverterInput(TestConverter* filter, CCritSec* lock, HRESULT* hr)
    : CBaseInputPin("Converter input", filter, lock, hr, u"Input"), m_converter(filter)
{
}

HRESULT TestConverterInput::CheckMediaType(const CMediaType* type)
{
    return type->IsValid() ? S_OK : S_FALSE;
}

HRESULT TestConverterInput::Receive(IMediaSample* sample)
{
    const HRESULT hr = CBaseInputPin::Receive(sample);
    if (hr != S_OK)
        return hr;
    return m_converter->m_output.IsConnected() ? m_converter->m_output.Deliver(sample) : S_OK;
}

TestConverter::TestConverter(const GUID& outMajor)
    : CBaseFilter("Test Converter", nullptr, &m_lock, kTestConverterClsid),
      m_outMajor(outMajor),
      m_input(this, &m_lock, nullptr),
      m_output(this, &m_lock, nullptr)
{
}

ComPtr<IBaseFilter> TestConverter::Make(const GUID& outMajor)
{
    return asFilter(new TestConverter(outMajor));
}

CBasePin* TestConverter::GetPin(int n)
{
    return n == 0 ? static_cast<CBasePin*>(&m_input) : n == 1 ? static_cast<CBasePin*>(&m_output) : nullptr;
}

// --- Stand-ins ---

std::atomic<LONG> VideoRendererStandIn::s_lastWidth{0};
std::atomic<OAHWND> VideoRendererStandIn::s_lastOwner{0};

VideoRendererStandIn::VideoRendererStandIn()
    : TestSink(SinkOptions{MEDIATYPE_Video, 1, {}, true}, "Video Renderer stand-in", CLSID_VideoRenderer)
{
}

CUnknown* VideoRendererStandIn::CreateInstance(IUnknown*, HRESULT*)
{
    return new VideoRendererStandIn();
}

HRESULT VideoRendererStandIn::NonDelegatingQueryInterface(REFIID riid, void** ppv)
{
    if (riid == IID_IVideoWindow)
        return GetInterface(static_cast<IVideoWindow*>(this), ppv);
    return TestSink::NonDelegatingQueryInterface(riid, ppv);
}

HRESULT VideoRendererStandIn::put_Owner(OAHWND owner)
{
    s_lastOwner = owner;
    return S_OK;
}

HRESULT VideoRendererStandIn::put_WindowStyle(LONG)
{
    return S_OK;
}

HRESULT VideoRendererStandIn::SetWindowPosition(LONG, LONG, LONG width, LONG)
{
    s_lastWidth = width;
    return S_OK;
}

HRESULT VideoRendererStandIn::put_Visible(LONG)
{
    return S_OK;
}

AviMuxOutput::AviMuxOutput(CBaseFilter* filter, CCritSec* lock, HRESULT* hr)
    : CBaseOutputPin("Mux output", filter, lock, hr, u"AVI Out")
{
}

HRESULT AviMuxOutput::CheckMediaType(const CMediaType* type)
{
    return type->majortype == MEDIATYPE_Stream ? S_OK : S_FALSE;
}

HRESULT AviMuxOutput::GetMediaType(int position, CMediaType* type)
{
    if (position != 0)
        return VFW_S_NO_MORE_ITEMS;
    type->InitMediaType();
    type->majortype = MEDIATYPE_Stream;
    type->subtype = MEDIASUBTYPE_Avi;
    type->formattype = FORMAT_None;
    return S_OK;
}

HRESULT AviMuxOutput::DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* props)
{
    ALLOCATOR_PROPERTIES want = *props, actual{};
    want.cBuffers = 1;
    want.cbBuffer = 4096;
    return allocator->SetProperties(&want, &actual);
}

AnyInputPin::AnyInputPin(CBaseFilter* filter, CCritSec* lock, HRESULT* hr, LPCWSTR name, const GUID& major)
    : CBaseInputPin("Any input", filter, lock, hr, name), m_major(major)
{
}

HRESULT AnyInputPin::CheckMediaType(const CMediaType* type)
{
    return type->IsValid() && (m_major == GUID_NULL || type->majortype == m_major) ? S_OK : S_FALSE;
}

AviMuxStandIn::AviMuxStandIn()
    : CBaseFilter("AVI Mux stand-in", nullptr, &m_lock, CLSID_AviDest),
      m_in1(this, &m_lock, nullptr, u"Input 01"),
      m_in2(this, &m_lock, nullptr, u"Input 02"),
      m_out(this, &m_lock, nullptr)
{
}

CUnknown* AviMuxStandIn::CreateInstance(IUnknown*, HRESULT*)
{
    return new AviMuxStandIn();
}

CBasePin* AviMuxStandIn::GetPin(int n)
{
    switch (n) {
    case 0:
        return &m_out;
    case 1:
        return &m_in1;
    case 2:
        return &m_in2;
    default:
        return nullptr;
    }
}

FileWriterStandIn::FileWriterStandIn()
    : CBaseFilter("File Writer stand-in", nullptr, &m_lock, CLSID_FileWriter),
      m_in(this, &m_lock, nullptr, u"in", MEDIATYPE_Stream)
{
}

CUnknown* FileWriterStandIn::CreateInstance(IUnknown*, HRESULT*)
{
    return new FileWriterStandIn();
}

HRESULT FileWriterStandIn::NonDelegatingQueryInterface(REFIID riid, void** ppv)
{
    if (riid == IID_IFileSinkFilter || riid == IID_IFileSinkFilter2)
        return GetInterface(static_cast<IFileSinkFilter2*>(this), ppv);
    return CBaseFilter::NonDelegatingQueryInterface(riid, ppv);
}

HRESULT FileWriterStandIn::SetFileName(LPCOLESTR fileName, const AM_MEDIA_TYPE*)
{
    if (!fileName)
        return E_POINTER;
    m_name = fileName;
    return S_OK;
}

HRESULT FileWriterStandIn::GetCurFile(LPOLESTR* fileName, AM_MEDIA_TYPE* type)
{
    if (!fileName)
        return E_POINTER;
    *fileName = th::com::CoTaskStrDup(m_name);
    if (type)
        *type = AM_MEDIA_TYPE{};
    return S_OK;
}

HRESULT FileWriterStandIn::SetMode(DWORD flags)
{
    m_mode = flags;
    return S_OK;
}

HRESULT FileWriterStandIn::GetMode(DWORD* flags)
{
    if (!flags)
        return E_POINTER;
    *flags = m_mode;
    return S_OK;
}

StandIns::StandIns()
    : m_real{th::com::ReplaceBuiltinClass(CLSID_VideoRenderer, &th::dshow::CreateBuiltin<VideoRendererStandIn>),
             th::com::ReplaceBuiltinClass(CLSID_AviDest, &th::dshow::CreateBuiltin<AviMuxStandIn>),
             th::com::ReplaceBuiltinClass(CLSID_FileWriter, &th::dshow::CreateBuiltin<FileWriterStandIn>)}
{
}

StandIns::~StandIns()
{
    th::com::ReplaceBuiltinClass(CLSID_VideoRenderer, m_real[0]);
    th::com::ReplaceBuiltinClass(CLSID_AviDest, m_real[1]);
    th::com::ReplaceBuiltinClass(CLSID_FileWriter, m_real[2]);
}

// --- Message target ---

MessageRecorder::MessageRecorder() : m_handle(th::win::RegisterMessageSink(this)) {}

MessageRecorder::~MessageRecorder()
{
    th::win::UnregisterMessageSink(m_handle);
}

void MessageRecorder::post(const TMessage& msg, std::shared_ptr<std::vector<std::byte>>)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_messages.push_back(msg);
    }
    m_changed.notify_all();
}

std::vector<TMessage> MessageRecorder::Messages()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_messages;
}

bool MessageRecorder::WaitForCount(std::size_t n, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_messages.size() >= n; });
}

// --- Helpers ---

ComPtr<IGraphBuilder> MakeGraph()
{
    ComPtr<IGraphBuilder> g;
    CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(g.ReleaseAndGetAddressOf()));
    return g;
}

ComPtr<IBaseFilter> MakeFilter(const CLSID& clsid)
{
    ComPtr<IBaseFilter> f;
    CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(f.ReleaseAndGetAddressOf()));
    return f;
}

ComPtr<IPin> PinByName(IBaseFilter* filter, const std::u16string& name)
{
    ComPtr<IPin> pin;
    filter->FindPin(name.c_str(), pin.ReleaseAndGetAddressOf());
    return pin;
}

ComPtr<IBaseFilter> PeerFilter(IPin* pin)
{
    ComPtr<IPin> peer;
    if (FAILED(pin->ConnectedTo(peer.ReleaseAndGetAddressOf())) || !peer)
        return {};
    PIN_INFO info{};
    peer->QueryPinInfo(&info);
    ComPtr<IBaseFilter> f;
    f.Attach(info.pFilter);
    return f;
}

std::u16string FilterNameOf(IBaseFilter* filter)
{
    if (!filter)
        return u"<none>";
    FILTER_INFO info{};
    filter->QueryFilterInfo(&info);
    if (info.pGraph)
        info.pGraph->Release();
    return info.achName;
}

std::vector<LONG> DrainEvents(IMediaEventEx* events)
{
    std::vector<LONG> codes;
    LONG code;
    LONG_PTR p1, p2;
    while (events->GetEvent(&code, &p1, &p2, 0) == S_OK) {
        events->FreeEventParams(code, p1, p2);
        codes.push_back(code);
    }
    return codes;
}

} // namespace dstest
