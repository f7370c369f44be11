// Throughput of the media graph: a source pushes 144000-byte samples (one PAL
// DV frame each) as fast as it can through Sample Grabber -> Smart Tee -> two
// Null Renderers, the capture-side shape of the capture graphs. The reference,
// measured in the same run, is the same source straight into one Null
// Renderer; the difference is what the grabber, the tee and the second
// renderer cost. Prints samples per second and microseconds per sample per filter.
//
// A third figure has the grabber buffer every sample, as the capture component
// asks it to (one copy of 144000 bytes per sample).
//
//   bench_graph [samples per run, default 200000] [runs, default 5]

#include "platform/dshow/BaseClasses.h"
#include "platform/dshow/BuiltinClasses.h"
#include "platform/dshow/DShow.h"
#include "platform/dshow/StreamingThread.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr LONG kFrameBytes = 144000;
constexpr REFERENCE_TIME kFrame = 400000;

class BenchSource;

class BenchPin : public CBaseOutputPin {
public:
    BenchPin(CBaseFilter* f, CCritSec* lock) : CBaseOutputPin("Bench out", f, lock, nullptr, u"Out") {}
    HRESULT CheckMediaType(const CMediaType* t) override { return t->majortype == MEDIATYPE_Interleaved ? S_OK : S_FALSE; }
    HRESULT GetMediaType(int pos, CMediaType* t) override
    {
        if (pos != 0)
            return VFW_S_NO_MORE_ITEMS;
        t->InitMediaType();
        t->majortype = MEDIATYPE_Interleaved;
        t->subtype = MEDIASUBTYPE_dvsd;
        t->formattype = FORMAT_DvInfo;
        t->lSampleSize = kFrameBytes;
        DVINFO info{};
        t->SetFormat(reinterpret_cast<const BYTE*>(&info), sizeof info);
        return S_OK;
    }
    HRESULT DecideBufferSize(IMemAllocator* a, ALLOCATOR_PROPERTIES* p) override
    {
        ALLOCATOR_PROPERTIES want = *p, actual{};
        want.cBuffers = std::max<LONG>(want.cBuffers, 8);
        want.cbBuffer = kFrameBytes;
        return a->SetProperties(&want, &actual);
    }
};

class BenchSource : public CBaseFilter {
public:
    explicit BenchSource(int samples) : CBaseFilter("Bench source", nullptr, &m_lock, GUID_NULL), m_pin(this, &m_lock), m_samples(samples) {}
    int GetPinCount() override { return 1; }
    CBasePin* GetPin(int n) override { return n == 0 ? &m_pin : nullptr; }
    HRESULT Run(REFERENCE_TIME start) override
    {
        const HRESULT hr = CBaseFilter::Run(start);
        if (SUCCEEDED(hr))
            m_thread.Start("bench-source", [this] { push(); }, ComPtr<IUnknown>(GetOwner()));
        return hr;
    }
    HRESULT Stop() override
    {
        m_thread.Stop([this] {
            if (IMemAllocator* a = m_pin.Allocator())
                a->Decommit();
        });
        return CBaseFilter::Stop();
    }
    IPin* Pin() { return &m_pin; }

private:
    void push()
    {
        for (int i = 0; i < m_samples && !m_thread.StopRequested(); ++i) {
            IMediaSample* s = nullptr;
            if (FAILED(m_pin.GetDeliveryBuffer(&s, nullptr, nullptr, 0)))
                return;
            BYTE* p = nullptr;
            s->GetPointer(&p);
            std::memcpy(p, &i, sizeof i);
            s->SetActualDataLength(kFrameBytes);
            REFERENCE_TIME t0 = i * kFrame, t1 = t0 + kFrame;
            LONGLONG m0 = i, m1 = i + 1;
            s->SetTime(&t0, &t1);
            s->SetMediaTime(&m0, &m1);
            m_pin.Deliver(s);
            s->Release();
        }
        m_pin.DeliverEndOfStream();
    }

    CCritSec m_lock;
    BenchPin m_pin;
    int m_samples;
    th::dshow::StreamingThread m_thread;
};

class CountingCallback final : public th::com::ComObject<ISampleGrabberCB> {
public:
    HRESULT SampleCB(double, IMediaSample*) override
    {
        ++count;
        return S_OK;
    }
    HRESULT BufferCB(double, BYTE*, LONG) override { return S_OK; }
    long count = 0;
};

ComPtr<IBaseFilter> make(const CLSID& clsid)
{
    ComPtr<IBaseFilter> f;
    CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(f.ReleaseAndGetAddressOf()));
    if (!f) {
        std::fprintf(stderr, "cannot create a platform filter\n");
        std::exit(1);
    }
    return f;
}

ComPtr<IPin> pin(IBaseFilter* f, const char16_t* name)
{
    ComPtr<IPin> p;
    f->FindPin(name, p.ReleaseAndGetAddressOf());
    return p;
}

// Seconds from Run to the graph's EC_COMPLETE.
double runOnce(bool chain, bool buffering, int samples, long* delivered, long* previewDropped)
{
    ComPtr<IGraphBuilder> graph;
    CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(graph.ReleaseAndGetAddressOf()));
    auto* src = new BenchSource(samples);
    ComPtr<IBaseFilter> source;
    src->NonDelegatingQueryInterface(IID_IBaseFilter, source.ReleaseAndGetVoidAddressOf());
    graph->AddFilter(source.Get(), u"Device Filter");
    ComPtr<CountingCallback> cb = th::com::MakeCom<CountingCallback>();
    ComPtr<IBaseFilter> tee;
    if (chain) {
        ComPtr<IBaseFilter> grab = make(CLSID_SampleGrabber);
        tee = make(CLSID_SmartTee);
        ComPtr<IBaseFilter> r1 = make(CLSID_NullRenderer), r2 = make(CLSID_NullRenderer);
        graph->AddFilter(grab.Get(), u"SampleGrab");
        graph->AddFilter(tee.Get(), u"SmartTee");
        graph->AddFilter(r1.Get(), u"Capture Null");
        graph->AddFilter(r2.Get(), u"Preview Null");
        ComPtr<ISampleGrabber> sg = grab.As<ISampleGrabber>();
        sg->SetCallback(cb.Get(), 0);
        sg->SetBufferSamples(buffering ? TRUE : FALSE);
        graph->Connect(src->Pin(), pin(grab.Get(), u"Input").Get());
        graph->Connect(pin(grab.Get(), u"Output").Get(), pin(tee.Get(), u"Input").Get());
        graph->Connect(pin(tee.Get(), u"Capture").Get(), pin(r1.Get(), u"In").Get());
        if (FAILED(graph->Connect(pin(tee.Get(), u"Preview").Get(), pin(r2.Get(), u"In").Get()))) {
            std::fprintf(stderr, "cannot build the graph\n");
            std::exit(1);
        }
    } else {
        ComPtr<IBaseFilter> r1 = make(CLSID_NullRenderer);
        graph->AddFilter(r1.Get(), u"Null");
        graph->Connect(src->Pin(), pin(r1.Get(), u"In").Get());
    }
    ComPtr<IMediaControl> control = graph.As<IMediaControl>();
    ComPtr<IMediaEventEx> events = graph.As<IMediaEventEx>();
    control->Pause();
    const auto t0 = std::chrono::steady_clock::now();
    control->Run();
    LONG code = 0;
    LONG_PTR p1, p2;
    if (events->GetEvent(&code, &p1, &p2, 600000) != S_OK || code != EC_COMPLETE) {
        std::fprintf(stderr, "the stream did not complete\n");
        std::exit(1);
    }
    const auto t1 = std::chrono::steady_clock::now();
    control->Stop();
    *delivered = chain ? cb->count : samples;
    *previewDropped = 0;
    if (tee) {
        ComPtr<IAMDroppedFrames> counts;
        pin(tee.Get(), u"Preview")->QueryInterface(IID_PPV_ARGS(counts.ReleaseAndGetAddressOf()));
        LONG d = 0;
        if (counts)
            counts->GetNumDropped(&d);
        *previewDropped = d;
    }
    return std::chrono::duration<double>(t1 - t0).count();
}

} // namespace

int main(int argc, char** argv)
{
    const int samples = argc > 1 ? std::atoi(argv[1]) : 200000;
    const int runs = argc > 2 ? std::atoi(argv[2]) : 5;
    CoInitialize(nullptr);
    th::dshow::RegisterBuiltinClasses();
    std::vector<double> ref, chain, buffered;
    long delivered = 0, dropped = 0;
    for (int r = 0; r < runs; ++r) {
        long d, x;
        ref.push_back(runOnce(false, false, samples, &d, &x));
        chain.push_back(runOnce(true, false, samples, &delivered, &dropped));
        buffered.push_back(runOnce(true, true, samples, &d, &x));
    }
    std::sort(ref.begin(), ref.end());
    std::sort(chain.begin(), chain.end());
    std::sort(buffered.begin(), buffered.end());
    const double refUs = ref[ref.size() / 2] / samples * 1e6;
    const double chainUs = chain[chain.size() / 2] / samples * 1e6;
    const double bufferedUs = buffered[buffered.size() / 2] / samples * 1e6;
    const int addedFilters = 3; // grabber, tee, second null renderer
    std::printf("samples of %ld bytes, %d per run, median of %d runs\n", static_cast<long>(kFrameBytes), samples, runs);
    std::printf("reference  source -> Null Renderer:                      %10.0f samples/s  %7.3f us/sample\n",
                1e6 / refUs, refUs);
    std::printf("chain      source -> grabber -> tee -> 2 Null Renderers: %10.0f samples/s  %7.3f us/sample\n",
                1e6 / chainUs, chainUs);
    std::printf("overhead per sample per added filter: %.3f us (chain - reference, over %d filters)\n",
                (chainUs - refUs) / addedFilters, addedFilters);
    std::printf("whole chain per sample per filter:    %.3f us (chain over its 4 filters)\n", chainUs / 4);
    std::printf("grabber callbacks: %ld of %d; preview samples dropped by the tee: %ld\n", delivered, samples, dropped);
    std::printf("ratio chain / reference: %.2f\n", chainUs / refUs);
    std::printf("chain with the grabber keeping a copy of each sample (SetBufferSamples TRUE, as the capture\n"
                "component sets it): %.3f us/sample, %.3f us per added filter\n",
                bufferedUs, (bufferedUs - refUs) / addedFilters);
    CoUninitialize();
    return 0;
}
