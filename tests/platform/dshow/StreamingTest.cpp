// Streaming through the platform's filters: the Sample Grabber's callbacks,
// types and buffer; stopping while a callback waits for the stopping thread's
// lock; the Smart Tee's times and preview drops; runs repeated on one graph;
// and the streaming threads themselves.
#include "TestFilters.h"

#include <gtest/gtest.h>

#include <cstring>
#include <future>
#include <pthread.h>
#include <thread>

using namespace dstest;
using namespace std::chrono_literals;

namespace {

class RecordingCallback final : public th::com::ComObject<ISampleGrabberCB> {
public:
    HRESULT SampleCB(double time, IMediaSample* sample) override
    {
        REFERENCE_TIME t0 = 0, t1 = 0;
        sample->GetTime(&t0, &t1);
        BYTE* p = nullptr;
        sample->GetPointer(&p);
        std::lock_guard<std::mutex> lock(mutex);
        times.push_back(time);
        starts.push_back(t0);
        onMainThread = onMainThread || std::this_thread::get_id() == main;
        if (throwIt)
            throw std::runtime_error("frame without a date");
        return S_OK;
    }
    HRESULT BufferCB(double time, BYTE* buffer, LONG length) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        times.push_back(time);
        int index = -1;
        if (buffer && length >= 4)
            std::memcpy(&index, buffer, 4);
        bufferIndices.push_back(index);
        lengths.push_back(length);
        return S_OK;
    }
    std::mutex mutex;
    std::vector<double> times;
    std::vector<REFERENCE_TIME> starts;
    std::vector<int> bufferIndices;
    std::vector<LONG> lengths;
    bool onMainThread = false;
    bool throwIt = false;
    std::thread::id main = std::this_thread::get_id();
};

// Takes the owner's lock for every frame, as the capture component's frame callback does.
class LockingCallback final : public th::com::ComObject<ISampleGrabberCB> {
public:
    explicit LockingCallback(CCritSec* lock) : m_lock(lock) {}
    HRESULT SampleCB(double, IMediaSample*) override
    {
        ++entered;
        CAutoLock l(m_lock);
        ++passed;
        return S_OK;
    }
    HRESULT BufferCB(double, BYTE*, LONG) override { return S_OK; }
    std::atomic<int> entered{0};
    std::atomic<int> passed{0};

private:
    CCritSec* m_lock;
};

struct Chain {
    ComPtr<IGraphBuilder> graph = MakeGraph();
    ComPtr<IMediaControl> control = graph.As<IMediaControl>();
    ComPtr<IMediaEventEx> events = graph.As<IMediaEventEx>();

    void add(IBaseFilter* f, const char16_t* name) { ASSERT_EQ(graph->AddFilter(f, name), S_OK); }
    void connect(IPin* out, IPin* in) { ASSERT_EQ(graph->Connect(out, in), S_OK); }
};

IPin* pinOf(IBaseFilter* f, const char16_t* name, std::vector<ComPtr<IPin>>& keep)
{
    keep.push_back(PinByName(f, name));
    return keep.back().Get();
}

} // namespace

TEST(DShowSampleGrabber, CallsBackOnTheStreamingThreadAndPassesEverySample)
{
    Chain c;
    SourceOptions ten;
    ten.samples = 10;
    TestSource* src = nullptr;
    ComPtr<IBaseFilter> source = TestSource::Make(ten, &src);
    ComPtr<IBaseFilter> grabber = MakeFilter(CLSID_SampleGrabber);
    TestSink* sink = nullptr;
    ComPtr<IBaseFilter> sinkFilter = TestSink::Make({}, &sink);
    std::vector<ComPtr<IPin>> pins;
    c.add(source.Get(), u"Device Filter");
    c.add(grabber.Get(), u"SampleGrab");
    c.add(sinkFilter.Get(), u"Sink");
    c.connect(src->OutputPin(), pinOf(grabber.Get(), u"Input", pins));
    c.connect(pinOf(grabber.Get(), u"Output", pins), sink->InputPin());

    ComPtr<ISampleGrabber> sg = grabber.As<ISampleGrabber>();
    ComPtr<RecordingCallback> cb = th::com::MakeCom<RecordingCallback>();
    EXPECT_EQ(sg->SetCallback(cb.Get(), 2), E_INVALIDARG);
    ASSERT_EQ(sg->SetBufferSamples(TRUE), S_OK);
    ASSERT_EQ(sg->SetOneShot(FALSE), S_OK);
    ASSERT_EQ(sg->SetCallback(cb.Get(), 0), S_OK);

    ASSERT_EQ(c.control->Run(), S_OK);
    ASSERT_TRUE(sink->WaitForEndOfStream());
    c.control->Stop();
    ASSERT_EQ(sink->Count(), 10);
    {
        std::lock_guard<std::mutex> lock(cb->mutex);
        ASSERT_EQ(cb->starts.size(), 10u);
        for (int i = 0; i < 10; ++i) {
            EXPECT_EQ(cb->starts[i], i * kFrame);
            EXPECT_DOUBLE_EQ(cb->times[i], i * 0.04); // the start in seconds
        }
        EXPECT_FALSE(cb->onMainThread);
    }
    // The latest sample is kept while buffering.
    LONG size = 0;
    ASSERT_EQ(sg->GetCurrentBuffer(&size, nullptr), S_OK);
    EXPECT_EQ(size, 1000);
    std::vector<LONG> copy(static_cast<std::size_t>(size) / sizeof(LONG));
    ASSERT_EQ(sg->GetCurrentBuffer(&size, copy.data()), S_OK);
    EXPECT_EQ(copy[0], 9);
    LONG small = 10;
    EXPECT_EQ(sg->GetCurrentBuffer(&small, copy.data()), E_OUTOFMEMORY);

    // BufferCB gets the sample's bytes.
    sg->SetCallback(cb.Get(), 1);
    ASSERT_EQ(c.control->Run(), S_OK);
    ASSERT_TRUE(sink->WaitForCount(20));
    c.control->Stop();
    std::lock_guard<std::mutex> lock(cb->mutex);
    ASSERT_EQ(cb->bufferIndices.size(), 10u);
    EXPECT_EQ(cb->bufferIndices[3], 3);
    EXPECT_EQ(cb->lengths[3], 1000);
}

TEST(DShowSampleGrabber, AnExceptionInTheCallbackDoesNotStopTheStream)
{
    Chain c;
    SourceOptions ten;
    ten.samples = 10;
    TestSource* src = nullptr;
    ComPtr<IBaseFilter> source = TestSource::Make(ten, &src);
    ComPtr<IBaseFilter> grabber = MakeFilter(CLSID_SampleGrabber);
    TestSink* sink = nullptr;
    ComPtr<IBaseFilter> sinkFilter = TestSink::Make({}, &sink);
    std::vector<ComPtr<IPin>> pins;
    c.add(source.Get(), u"Device Filter");
    c.add(grabber.Get(), u"SampleGrab");
    c.add(sinkFilter.Get(), u"Sink");
    c.connect(src->OutputPin(), pinOf(grabber.Get(), u"Input", pins));
    c.connect(pinOf(grabber.Get(), u"Output", pins), sink->InputPin());
    ComPtr<RecordingCallback> cb = th::com::MakeCom<RecordingCallback>();
    cb->throwIt = true;
    grabber.As<ISampleGrabber>()->SetCallback(cb.Get(), 0);
    ASSERT_EQ(c.control->Run(), S_OK);
    ASSERT_TRUE(sink->WaitForEndOfStream());
    c.control->Stop();
    EXPECT_EQ(sink->Count(), 10);
}

TEST(DShowSampleGrabber, AcceptsOnlyTheTypeSetAndReportsTheConnectedOne)
{
    Chain c;
    TestSource* src = nullptr;
    ComPtr<IBaseFilter> source = TestSource::Make({}, &src);
    ComPtr<IBaseFilter> grabber = MakeFilter(CLSID_SampleGrabber);
    c.add(source.Get(), u"Device Filter");
    c.add(grabber.Get(), u"PictureGrab");
    ComPtr<ISampleGrabber> sg = grabber.As<ISampleGrabber>();
    AM_MEDIA_TYPE got{};
    EXPECT_EQ(sg->GetConnectedMediaType(&got), VFW_E_NOT_CONNECTED);

    AM_MEDIA_TYPE rgb{};
    rgb.majortype = MEDIATYPE_Video;
    rgb.subtype = MEDIASUBTYPE_RGB24;
    ASSERT_EQ(sg->SetMediaType(&rgb), S_OK);
    std::vector<ComPtr<IPin>> pins;
    IPin* in = pinOf(grabber.Get(), u"Input", pins);
    EXPECT_TRUE(FAILED(c.graph->Connect(src->OutputPin(), in)));
    // An output cannot connect before the input has a type to pass on.
    TestSink* sink = nullptr;
    ComPtr<IBaseFilter> sinkFilter = TestSink::Make({}, &sink);
    c.add(sinkFilter.Get(), u"Sink");
    EXPECT_TRUE(FAILED(c.graph->Connect(pinOf(grabber.Get(), u"Output", pins), sink->InputPin())));

    AM_MEDIA_TYPE dv{};
    dv.majortype = MEDIATYPE_Interleaved;
    ASSERT_EQ(sg->SetMediaType(&dv), S_OK);
    ASSERT_EQ(c.graph->Connect(src->OutputPin(), in), S_OK);
    ASSERT_EQ(sg->GetConnectedMediaType(&got), S_OK);
    EXPECT_EQ(got.subtype, MEDIASUBTYPE_dvsd);
    EXPECT_EQ(got.formattype, FORMAT_DvInfo);
    ASSERT_EQ(got.cbFormat, sizeof(DVINFO));
    EXPECT_EQ(reinterpret_cast<DVINFO*>(got.pbFormat)->dwDVAAuxSrc, 0xD1C0C0C0u);
    th::dshow::FreeMediaTypeContents(got);
    // The output offers exactly the input's type.
    c.connect(pinOf(grabber.Get(), u"Output", pins), sink->InputPin());
    AM_MEDIA_TYPE out{};
    sink->InputPin()->ConnectionMediaType(&out);
    EXPECT_EQ(out.subtype, MEDIASUBTYPE_dvsd);
    th::dshow::FreeMediaTypeContents(out);
    // Null clears the wish; buffering off means no buffer to read.
    EXPECT_EQ(sg->SetMediaType(nullptr), S_OK);
    LONG size = 0;
    EXPECT_EQ(sg->GetCurrentBuffer(&size, nullptr), E_INVALIDARG);
}

TEST(DShowSampleGrabber, OneShotPassesTheFirstSampleAndEndsTheStream)
{
    Chain c;
    SourceOptions many;
    many.samples = 20;
    TestSource* src = nullptr;
    ComPtr<IBaseFilter> source = TestSource::Make(many, &src);
    ComPtr<IBaseFilter> grabber = MakeFilter(CLSID_SampleGrabber);
    TestSink* sink = nullptr;
    ComPtr<IBaseFilter> sinkFilter = TestSink::Make({}, &sink);
    std::vector<ComPtr<IPin>> pins;
    c.add(source.Get(), u"Device Filter");
    c.add(grabber.Get(), u"SampleGrab");
    c.add(sinkFilter.Get(), u"Sink");
    c.connect(src->OutputPin(), pinOf(grabber.Get(), u"Input", pins));
    c.connect(pinOf(grabber.Get(), u"Output", pins), sink->InputPin());
    grabber.As<ISampleGrabber>()->SetOneShot(TRUE);
    for (int run = 1; run <= 2; ++run) {
        ASSERT_EQ(c.control->Run(), S_OK);
        ASSERT_TRUE(sink->WaitForCount(run));
        ASSERT_TRUE(sink->WaitForEndOfStream());
        std::this_thread::sleep_for(20ms); // room for a wrong second sample
        c.control->Stop();
        EXPECT_EQ(sink->Count(), run); // one per run
        EXPECT_EQ(sink->Samples().back().index, 0);
    }
}

namespace {

// Runs `body` on another thread and fails the whole program if it does not
// finish in time: a deadlock cannot be recovered from inside the test.
void withinTimeLimit(std::chrono::seconds limit, const std::function<void()>& body)
{
    auto done = std::async(std::launch::async, body);
    if (done.wait_for(limit) == std::future_status::timeout) {
        ADD_FAILURE() << "deadlock: did not finish within " << limit.count() << " s";
        std::fflush(stdout);
        std::_Exit(1);
    }
    done.get();
}

// Stop while the frame callback waits for the lock the stopping thread holds.
void stopWithCallbackBlocked(bool behindTee)
{
    Chain c;
    TestSource* src = nullptr;
    ComPtr<IBaseFilter> source = TestSource::Make({}, &src);
    ComPtr<IBaseFilter> grabber = MakeFilter(CLSID_SampleGrabber);
    ComPtr<IBaseFilter> tee = MakeFilter(CLSID_SmartTee);
    TestSink *sink = nullptr, *preview = nullptr;
    ComPtr<IBaseFilter> sinkFilter = TestSink::Make({}, &sink), previewFilter = TestSink::Make({}, &preview);
    std::vector<ComPtr<IPin>> pins;
    c.add(source.Get(), u"Device Filter");
    c.add(grabber.Get(), u"SampleGrab");
    c.add(sinkFilter.Get(), u"DV Splitter_mux");
    if (behindTee) {
        c.add(tee.Get(), u"SmartTee");
        c.add(previewFilter.Get(), u"DV Splitter");
        c.connect(src->OutputPin(), pinOf(tee.Get(), u"Input", pins));
        c.connect(pinOf(tee.Get(), u"Capture", pins), pinOf(grabber.Get(), u"Input", pins));
        c.connect(pinOf(tee.Get(), u"Preview", pins), preview->InputPin());
    } else {
        c.connect(src->OutputPin(), pinOf(grabber.Get(), u"Input", pins));
    }
    c.connect(pinOf(grabber.Get(), u"Output", pins), sink->InputPin());

    CCritSec captureLock;
    ComPtr<LockingCallback> cb = th::com::MakeCom<LockingCallback>(&captureLock);
    ASSERT_EQ(grabber.As<ISampleGrabber>()->SetCallback(cb.Get(), 0), S_OK);

    withinTimeLimit(120s, [&] {
        for (int round = 0; round < 150; ++round) {
            const int before = sink->Count();
            ASSERT_EQ(c.control->Run(), S_OK);
            ASSERT_TRUE(sink->WaitForCount(before + 2));
            // Even rounds stop the graph under the lock, as the capture component
            // does; odd rounds only pause it there, so that a sample the waiting
            // callback let through would still be taken downstream.
            const bool stopUnderLock = round % 2 == 0;
            int delivered;
            {
                CAutoLock hold(&captureLock);
                // Make sure a callback is really waiting for our lock now: it
                // has come in and, while we hold the lock, cannot have passed.
                while (cb->entered.load() == cb->passed.load())
                    std::this_thread::yield();
                ASSERT_EQ(c.control->Pause(), S_OK);
                if (stopUnderLock) {
                    ASSERT_EQ(c.control->Stop(), S_OK);
                }
                delivered = sink->Count();
            }
            // The waiting callback now runs; its sample goes no further.
            for (int i = 0; i < 50 && cb->passed.load() != cb->entered.load(); ++i)
                std::this_thread::sleep_for(1ms);
            std::this_thread::sleep_for(1ms);
            EXPECT_EQ(sink->Count(), delivered) << "round " << round;
            if (!stopUnderLock) {
                ASSERT_EQ(c.control->Stop(), S_OK);
            }
        }
    });
    // Started again after all that, the graph streams from the first frame.
    const int before = sink->Count();
    ASSERT_EQ(c.control->Run(), S_OK);
    ASSERT_TRUE(sink->WaitForCount(before + 5));
    EXPECT_EQ(sink->Samples()[static_cast<std::size_t>(before)].index, 0);
    c.control->Stop();
}

} // namespace

TEST(DShowStopping, CallbackWaitingForTheStoppersLockDoesNotDeadlock)
{
    stopWithCallbackBlocked(false);
}

TEST(DShowStopping, CallbackBehindATeeWaitingForTheStoppersLockDoesNotDeadlock)
{
    stopWithCallbackBlocked(true);
}

TEST(DShowStopping, ReleasingTheGraphWhileACallbackIsParkedIsSafe)
{
    CCritSec captureLock;
    ComPtr<LockingCallback> cb = th::com::MakeCom<LockingCallback>(&captureLock);
    withinTimeLimit(60s, [&] {
        CAutoLock hold(&captureLock);
        {
            Chain c;
            TestSource* src = nullptr;
            ComPtr<IBaseFilter> source = TestSource::Make({}, &src);
            ComPtr<IBaseFilter> grabber = MakeFilter(CLSID_SampleGrabber);
            std::vector<ComPtr<IPin>> pins;
            c.add(source.Get(), u"Device Filter");
            c.add(grabber.Get(), u"SampleGrab");
            c.connect(src->OutputPin(), pinOf(grabber.Get(), u"Input", pins));
            grabber.As<ISampleGrabber>()->SetCallback(cb.Get(), 0);
            ASSERT_EQ(c.control->Run(), S_OK);
            while (cb->entered.load() == 0)
                std::this_thread::yield();
            // Everything is released while the callback still waits for our lock.
        }
    });
    // The parked thread finishes on its own once the lock is free.
    for (int i = 0; i < 20000 && cb->passed.load() == 0; ++i)
        std::this_thread::sleep_for(1ms);
    EXPECT_EQ(cb->passed.load(), 1);
}

TEST(DShowSmartTee, KeepsStreamAndMediaTimesOnBothOutputs)
{
    Chain c;
    SourceOptions thirty;
    thirty.samples = 30;
    TestSource* src = nullptr;
    ComPtr<IBaseFilter> source = TestSource::Make(thirty, &src);
    ComPtr<IBaseFilter> tee = MakeFilter(CLSID_SmartTee);
    TestSink *capture = nullptr, *preview = nullptr;
    ComPtr<IBaseFilter> a = TestSink::Make({}, &capture), b = TestSink::Make({}, &preview);
    std::vector<ComPtr<IPin>> pins;
    c.add(source.Get(), u"Device Filter");
    c.add(tee.Get(), u"SmartTee");
    c.add(a.Get(), u"Capture");
    c.add(b.Get(), u"Preview");
    c.connect(src->OutputPin(), pinOf(tee.Get(), u"Input", pins));
    c.connect(pinOf(tee.Get(), u"Capture", pins), capture->InputPin());
    c.connect(pinOf(tee.Get(), u"Preview", pins), preview->InputPin());
    ASSERT_EQ(c.control->Run(), S_OK);
    ASSERT_TRUE(capture->WaitForEndOfStream());
    ASSERT_TRUE(preview->WaitForEndOfStream());
    c.control->Stop();

    ASSERT_EQ(capture->Count(), 30);
    for (TestSink* s : {capture, preview}) {
        for (const Received& r : s->Samples()) {
            EXPECT_EQ(r.timeResult, S_OK);
            EXPECT_EQ(r.start, r.index * kFrame);
            EXPECT_EQ(r.stop, (r.index + 1) * kFrame);
            ASSERT_EQ(r.mediaResult, S_OK);
            EXPECT_EQ(r.mediaStart, r.index);
            EXPECT_EQ(r.mediaStop, r.index + 1);
            EXPECT_EQ(r.length, 1000);
        }
    }
}

TEST(DShowSmartTee, SourceWithoutMediaTimesStaysWithoutThem)
{
    Chain c;
    SourceOptions plain;
    plain.samples = 5;
    plain.mediaTimes = false;
    TestSource* src = nullptr;
    ComPtr<IBaseFilter> source = TestSource::Make(plain, &src);
    ComPtr<IBaseFilter> tee = MakeFilter(CLSID_SmartTee);
    TestSink* preview = nullptr;
    ComPtr<IBaseFilter> b = TestSink::Make({}, &preview);
    std::vector<ComPtr<IPin>> pins;
    c.add(source.Get(), u"Device Filter");
    c.add(tee.Get(), u"SmartTee");
    c.add(b.Get(), u"Preview");
    c.connect(src->OutputPin(), pinOf(tee.Get(), u"Input", pins));
    c.connect(pinOf(tee.Get(), u"Preview", pins), preview->InputPin()); // the capture pin left free
    ASSERT_EQ(c.control->Run(), S_OK);
    ASSERT_TRUE(preview->WaitForEndOfStream());
    c.control->Stop();
    ASSERT_GT(preview->Count(), 0);
    for (const Received& r : preview->Samples())
        EXPECT_EQ(r.mediaResult, VFW_E_MEDIA_TIME_NOT_SET);
}

TEST(DShowSmartTee, ALatePreviewDropsWhileTheCaptureGetsEverySample)
{
    Chain c;
    SourceOptions many;
    many.samples = 300;
    TestSource* src = nullptr;
    ComPtr<IBaseFilter> source = TestSource::Make(many, &src);
    ComPtr<IBaseFilter> tee = MakeFilter(CLSID_SmartTee);
    TestSink *capture = nullptr, *preview = nullptr;
    SinkOptions slow;
    slow.delay = 1ms;
    ComPtr<IBaseFilter> a = TestSink::Make({}, &capture), b = TestSink::Make(slow, &preview);
    std::vector<ComPtr<IPin>> pins;
    c.add(source.Get(), u"Device Filter");
    c.add(tee.Get(), u"SmartTee");
    c.add(a.Get(), u"Capture");
    c.add(b.Get(), u"Preview");
    c.connect(src->OutputPin(), pinOf(tee.Get(), u"Input", pins));
    c.connect(pinOf(tee.Get(), u"Capture", pins), capture->InputPin());
    c.connect(pinOf(tee.Get(), u"Preview", pins), preview->InputPin());
    ASSERT_EQ(c.control->Run(), S_OK);
    ASSERT_TRUE(capture->WaitForEndOfStream());
    ASSERT_TRUE(preview->WaitForEndOfStream(30s));

    const std::vector<Received> got = capture->Samples();
    ASSERT_EQ(got.size(), 300u);
    for (int i = 0; i < 300; ++i)
        ASSERT_EQ(got[static_cast<std::size_t>(i)].index, i);

    ComPtr<IAMDroppedFrames> counts;
    ASSERT_EQ(pinOf(tee.Get(), u"Preview", pins)->QueryInterface(IID_PPV_ARGS(counts.ReleaseAndGetAddressOf())), S_OK);
    LONG dropped = -1, delivered = -1, average = 0;
    counts->GetNumDropped(&dropped);
    counts->GetNumNotDropped(&delivered);
    counts->GetAverageFrameSize(&average);
    EXPECT_GT(dropped, 0);
    EXPECT_EQ(dropped + delivered, 300);
    EXPECT_EQ(delivered, preview->Count());
    EXPECT_EQ(average, 1000);
    // The preview sees the stream in order, and its last frame (the newest is kept).
    const std::vector<Received> seen = preview->Samples();
    for (std::size_t i = 1; i < seen.size(); ++i)
        ASSERT_LT(seen[i - 1].index, seen[i].index);
    EXPECT_EQ(seen.back().index, 299);

    // A new run counts afresh.
    c.control->Stop();
    ASSERT_EQ(c.control->Pause(), S_OK);
    counts->GetNumDropped(&dropped);
    EXPECT_EQ(dropped, 0);
    c.control->Stop();
}

TEST(DShowRuns, StartStopStartOnTheWholeChain)
{
    // source -> grabber -> tee -> Null Renderers, as the capture graphs use them.
    Chain c;
    SourceOptions twenty;
    twenty.samples = 20;
    TestSource* src = nullptr;
    ComPtr<IBaseFilter> source = TestSource::Make(twenty, &src);
    ComPtr<IBaseFilter> grabber = MakeFilter(CLSID_SampleGrabber);
    ComPtr<IBaseFilter> tee = MakeFilter(CLSID_SmartTee);
    ComPtr<IBaseFilter> null1 = MakeFilter(CLSID_NullRenderer), null2 = MakeFilter(CLSID_NullRenderer);
    std::vector<ComPtr<IPin>> pins;
    c.add(source.Get(), u"Device Filter");
    c.add(grabber.Get(), u"SampleGrab");
    c.add(tee.Get(), u"NewScene SmartTee");
    c.add(null1.Get(), u"Null 1");
    c.add(null2.Get(), u"NewScene Null Renderer");
    c.connect(src->OutputPin(), pinOf(grabber.Get(), u"Input", pins));
    c.connect(pinOf(grabber.Get(), u"Output", pins), pinOf(tee.Get(), u"Input", pins));
    c.connect(pinOf(tee.Get(), u"Capture", pins), pinOf(null1.Get(), u"In", pins));
    c.connect(pinOf(tee.Get(), u"Preview", pins), pinOf(null2.Get(), u"In", pins));
    ComPtr<RecordingCallback> cb = th::com::MakeCom<RecordingCallback>();
    grabber.As<ISampleGrabber>()->SetCallback(cb.Get(), 0);

    for (int run = 1; run <= 3; ++run) {
        ASSERT_EQ(c.control->Run(), S_OK);
        LONG code = 0;
        LONG_PTR p1, p2;
        ASSERT_EQ(c.events->GetEvent(&code, &p1, &p2, 10000), S_OK) << "run " << run;
        EXPECT_EQ(code, EC_COMPLETE);
        ASSERT_EQ(c.control->Stop(), S_OK);
        std::lock_guard<std::mutex> lock(cb->mutex);
        EXPECT_EQ(cb->starts.size(), static_cast<std::size_t>(20 * run));
        EXPECT_EQ(cb->starts.back(), 19 * kFrame);
    }
}

TEST(DShowStreamingThread, IsNamedStopsAndLeavesAParkedThread)
{
    th::dshow::StreamingThread thread;
    std::promise<std::string> name;
    std::atomic<bool> ended{false};
    ASSERT_TRUE(thread.Start("th-unit-test", [&] {
        char buf[16] = {};
        pthread_getname_np(pthread_self(), buf, sizeof buf);
        name.set_value(buf);
        EXPECT_TRUE(th::dshow::StreamingThread::OnStreamingThread());
        while (thread.WaitFor(1s)) {
        }
        ended = true;
    }));
    EXPECT_EQ(name.get_future().get(), "th-unit-test");
    EXPECT_FALSE(th::dshow::StreamingThread::OnStreamingThread());
    thread.Stop();
    EXPECT_TRUE(ended);
    EXPECT_FALSE(thread.Running());

    // A parked thread: Stop returns at once, the next Start waits for it to end.
    std::mutex held;
    std::unique_lock<std::mutex> hold(held);
    std::atomic<bool> parked{false}, sawStop{false};
    ASSERT_TRUE(thread.Start("th-unit-test", [&] {
        th::dshow::StreamingThread::Parked mark;
        parked = true;
        std::lock_guard<std::mutex> wait(held);
        sawStop = th::dshow::StreamingThread::StopRequestedHere();
    }));
    while (!parked)
        std::this_thread::yield();
    thread.Stop();
    EXPECT_TRUE(thread.Running());
    hold.unlock();
    ASSERT_TRUE(thread.Start("th-unit-test", [] {}));
    EXPECT_TRUE(sawStop);
    thread.Stop();
}
