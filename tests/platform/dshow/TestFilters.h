#pragma once
// Test filters written on the base classes: a source that pushes numbered
// samples on its own streaming thread, a sink that records what reaches it, a
// converter that changes the major type, stand-ins for the classes of the AVI
// and renderer layer, and a message target that records what is posted to it.

#include "platform/dshow/BaseClasses.h"
#include "platform/dshow/DShow.h"
#include "platform/dshow/StreamingThread.h"
#include "platform/win/Windows.h"

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace dstest {

inline constexpr REFERENCE_TIME kFrame = 400000; // 25 frames a second

// --- Source ------------------------------------------------------------------------------

struct SourceOptions {
    GUID major = MEDIATYPE_Interleaved;
    GUID subtype = MEDIASUBTYPE_dvsd;
    LONG sampleBytes = 1000;
    LONG buffers = 8;
    int samples = -1;         // -1: until stopped
    bool mediaTimes = true;   // media times i, i + 1 on sample i
    bool endOfStream = true;  // after the last sample
    GUID category = GUID_NULL; // of the first output pin
    std::vector<GUID> moreOutputs; // major types of further (silent) output pins
    std::chrono::microseconds interval{0}; // between samples
};

class TestSource;

class TestSourcePin : public CBaseOutputPin {
public:
    TestSourcePin(TestSource* filter, CCritSec* lock, HRESULT* hr, LPCWSTR name, const GUID& major);
    HRESULT CheckMediaType(const CMediaType* type) override;
    HRESULT GetMediaType(int position, CMediaType* type) override;
    HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* props) override;

private:
    TestSource* m_source;
    GUID m_major;
};

class TestSource : public CBaseFilter {
public:
    static ComPtr<IBaseFilter> Make(const SourceOptions& options = {}, TestSource** self = nullptr);
    ~TestSource() override;

    int GetPinCount() override { return static_cast<int>(m_pins.size()); }
    CBasePin* GetPin(int n) override;
    HRESULT Run(REFERENCE_TIME start) override;
    HRESULT Pause() override;
    HRESULT Stop() override;

    TestSourcePin* OutputPin(int n = 0) { return m_pins[static_cast<std::size_t>(n)]; }
    int Pushed() const { return m_pushed.load(); }
    const SourceOptions& Options() const { return m_options; }

private:
    friend class TestSourcePin;
    TestSource(const SourceOptions& options);
    void push();
    void stopThread();

    SourceOptions m_options;
    CCritSec m_lock;
    std::vector<TestSourcePin*> m_pins;
    th::dshow::StreamingThread m_thread;
    std::atomic<int> m_pushed{0};
};

// --- Sink --------------------------------------------------------------------------------

struct Received {
    int index;           // the number the source wrote into the sample
    HRESULT timeResult;  // of GetTime
    REFERENCE_TIME start, stop;
    HRESULT mediaResult; // of GetMediaTime
    LONGLONG mediaStart, mediaStop;
    LONG length;
};

struct SinkOptions {
    GUID major = GUID_NULL; // GUID_NULL: every type
    int inputs = 1;
    std::chrono::microseconds delay{0}; // per sample, to make a late branch
    bool rendered = true;               // EC_COMPLETE at the end of the stream
};

class TestSink;

class TestSinkPin : public CRenderedInputPin {
public:
    TestSinkPin(TestSink* filter, CCritSec* lock, HRESULT* hr, LPCWSTR name);
    HRESULT CheckMediaType(const CMediaType* type) override;
    HRESULT Receive(IMediaSample* sample) override;
    HRESULT EndOfStream() override;

private:
    TestSink* m_sink;
};

class TestSink : public CBaseFilter {
public:
    static ComPtr<IBaseFilter> Make(const SinkOptions& options = {}, TestSink** self = nullptr);
    ~TestSink() override;

    int GetPinCount() override { return static_cast<int>(m_pins.size()); }
    CBasePin* GetPin(int n) override;

    TestSinkPin* InputPin(int n = 0) { return m_pins[static_cast<std::size_t>(n)]; }
    std::vector<Received> Samples();
    int Count();
    int EndOfStreams();
    bool WaitForCount(int n, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    bool WaitForEndOfStream(std::chrono::milliseconds timeout = std::chrono::seconds(10));

protected:
    TestSink(const SinkOptions& options, const char* name = "Test Sink", const CLSID& clsid = GUID_NULL);

private:
    friend class TestSinkPin;
    SinkOptions m_options;
    CCritSec m_lock;
    std::vector<TestSinkPin*> m_pins;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Received> m_samples;
    int m_eos = 0;
};

// --- Converter: one input of any type, one output of another major type ---------------------

class TestConverter;

class TestConverterOutput : public CBaseOutputPin {
public:
    TestConverterOutput(TestConverter* filter, CCritSec* lock, HRESULT* hr);
    HRESULT CheckMediaType(const CMediaType* type) override;
    HRESULT GetMediaType(int position, CMediaType* type) override;
    HRESULT DecideBufferSize(IMemAllocator*, ALLOCATOR_PROPERTIES*) override { return S_OK; }
    HRESULT DecideAllocator(IMemInputPin* pin, IMemAllocator** allocator) override;
    HRESULT Active() override { return S_OK; }
    HRESULT Inactive() override { return S_OK; }

private:
    TestConverter* m_converter;
};

class TestConverterInput : public CBaseInputPin {
public:
    TestConverterInput(TestConverter* filter, CCritSec* lock, HRESULT* hr);
    HRESULT CheckMediaType(const CMediaType* type) override;
    HRESULT Receive(IMediaSample* sample) override;

private:
    TestConverter* m_converter;
};

class TestConverter : public CBaseFilter {
public:
    static ComPtr<IBaseFilter> Make(const GUID& outMajor);
    int GetPinCount() override { return 2; }
    CBasePin* GetPin(int n) override;

private:
    friend class TestConverterOutput;
    friend class TestConverterInput;
    explicit TestConverter(const GUID& outMajor);
    CCritSec m_lock;
    GUID m_outMajor;
    TestConverterInput m_input;
    TestConverterOutput m_output;
};

// --- Stand-ins for the classes of the AVI and renderer layer ---------------------------------

// Registered under CLSID_VideoRenderer: a video sink with a window.
class VideoRendererStandIn : public TestSink, public IVideoWindow {
public:
    static CUnknown* CreateInstance(IUnknown* outer, HRESULT* hr);
    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;
    HRESULT put_Owner(OAHWND owner) override;
    HRESULT put_WindowStyle(LONG style) override;
    HRESULT SetWindowPosition(LONG left, LONG top, LONG width, LONG height) override;
    HRESULT put_Visible(LONG visible) override;

    static std::atomic<LONG> s_lastWidth; // what SetWindowPosition was given last
    static std::atomic<OAHWND> s_lastOwner;

private:
    VideoRendererStandIn();
};

// Registered under CLSID_AviDest: two inputs of any type, an output of MEDIATYPE_Stream.
class AviMuxStandIn;
class AviMuxOutput : public CBaseOutputPin {
public:
    AviMuxOutput(CBaseFilter* filter, CCritSec* lock, HRESULT* hr);
    HRESULT CheckMediaType(const CMediaType* type) override;
    HRESULT GetMediaType(int position, CMediaType* type) override;
    HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* props) override;
};
class AnyInputPin : public CBaseInputPin {
public:
    AnyInputPin(CBaseFilter* filter, CCritSec* lock, HRESULT* hr, LPCWSTR name, const GUID& major = GUID_NULL);
    HRESULT CheckMediaType(const CMediaType* type) override;

private:
    GUID m_major;
};
class AviMuxStandIn : public CBaseFilter {
public:
    static CUnknown* CreateInstance(IUnknown* outer, HRESULT* hr);
    int GetPinCount() override { return 3; }
    CBasePin* GetPin(int n) override;

private:
    AviMuxStandIn();
    CCritSec m_lock;
    AnyInputPin m_in1, m_in2;
    AviMuxOutput m_out;
};

// Registered under CLSID_FileWriter: one MEDIATYPE_Stream input and IFileSinkFilter2.
class FileWriterStandIn : public CBaseFilter, public IFileSinkFilter2 {
public:
    static CUnknown* CreateInstance(IUnknown* outer, HRESULT* hr);
    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;
    int GetPinCount() override { return 1; }
    CBasePin* GetPin(int n) override { return n == 0 ? &m_in : nullptr; }
    HRESULT SetFileName(LPCOLESTR fileName, const AM_MEDIA_TYPE* type) override;
    HRESULT GetCurFile(LPOLESTR* fileName, AM_MEDIA_TYPE* type) override;
    HRESULT SetMode(DWORD flags) override;
    HRESULT GetMode(DWORD* flags) override;

private:
    FileWriterStandIn();
    CCritSec m_lock;
    AnyInputPin m_in;
    std::u16string m_name;
    DWORD m_mode = 0;
};

// Puts the stand-ins into the built-in class table for the object's lifetime.
class StandIns {
public:
    StandIns();
    ~StandIns();

private:
    th::com::CreateFn m_real[3]; // the platform's classes, put back afterwards
};

// --- Message target ---------------------------------------------------------------------------

class MessageRecorder : public th::win::MessageSink {
public:
    MessageRecorder();
    ~MessageRecorder() override;
    void post(const TMessage& msg, std::shared_ptr<std::vector<std::byte>> block) override;
    HWND Handle() const { return m_handle; }
    std::vector<TMessage> Messages();
    bool WaitForCount(std::size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(10));

private:
    HWND m_handle;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<TMessage> m_messages;
};

// --- Helpers -----------------------------------------------------------------------------------

ComPtr<IGraphBuilder> MakeGraph();
ComPtr<IBaseFilter> MakeFilter(const CLSID& clsid);
ComPtr<IPin> PinByName(IBaseFilter* filter, const std::u16string& name);
// The filter whose pin is connected to `pin`, or null.
ComPtr<IBaseFilter> PeerFilter(IPin* pin);
std::u16string FilterNameOf(IBaseFilter* filter);
// Drains the graph's queue, without waiting.
std::vector<LONG> DrainEvents(IMediaEventEx* events);

} // namespace dstest
