// The filter graph: membership and names, connections and teardown, state,
// events and their default handling, and the renderer's window.
#include "TestFilters.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

using namespace dstest;

namespace {

// A filter that raises whatever event the test asks for, as the DV device raises EC_DEVICE_LOST.
class EventRaiser : public CBaseFilter {
public:
    static ComPtr<IBaseFilter> Make(EventRaiser** self)
    {
        auto* f = new EventRaiser();
        *self = f;
        ComPtr<IBaseFilter> p;
        f->NonDelegatingQueryInterface(IID_IBaseFilter, p.ReleaseAndGetVoidAddressOf());
        return p;
    }
    int GetPinCount() override { return 0; }
    CBasePin* GetPin(int) override { return nullptr; }

private:
    EventRaiser() : CBaseFilter("Event raiser", nullptr, &m_lock, GUID_NULL) {}
    CCritSec m_lock;
};

constexpr LONG kGraphMessage = 0x8001; // WM_APP + 1, as the capture component asks

} // namespace

TEST(DShowGraph, NamesAreUniqueAndFoundExactly)
{
    ComPtr<IGraphBuilder> graph = MakeGraph();
    ASSERT_TRUE(graph);
    ComPtr<IBaseFilter> a = MakeFilter(CLSID_NullRenderer), b = MakeFilter(CLSID_NullRenderer),
                        c = MakeFilter(CLSID_NullRenderer), d = MakeFilter(CLSID_NullRenderer);
    ASSERT_TRUE(a && b && c && d);
    EXPECT_EQ(graph->AddFilter(a.Get(), u"SmartTee"), S_OK);
    EXPECT_EQ(graph->AddFilter(b.Get(), u"SmartTee"), VFW_S_DUPLICATE_NAME);
    EXPECT_EQ(FilterNameOf(b.Get()), u"SmartTee 0001");
    EXPECT_EQ(graph->AddFilter(c.Get(), nullptr), S_OK);
    EXPECT_FALSE(FilterNameOf(c.Get()).empty());
    EXPECT_EQ(graph->AddFilter(a.Get(), u"again"), E_INVALIDARG); // one filter, one membership

    ComPtr<IBaseFilter> found;
    ASSERT_EQ(graph->FindFilterByName(u"SmartTee", found.ReleaseAndGetAddressOf()), S_OK);
    EXPECT_EQ(found.Get(), a.Get());
    // "NewScene SmartTee" and "SmartTee" are different filters; so are letter cases.
    EXPECT_EQ(graph->FindFilterByName(u"smarttee", found.ReleaseAndGetAddressOf()), VFW_E_NOT_FOUND);
    EXPECT_EQ(found.Get(), nullptr);
    EXPECT_EQ(graph->FindFilterByName(u"NewScene SmartTee", found.ReleaseAndGetAddressOf()), VFW_E_NOT_FOUND);

    // Joining tells the filter its graph and name.
    FILTER_INFO info{};
    a->QueryFilterInfo(&info);
    ComPtr<IFilterGraph> asGraph = graph.As<IFilterGraph>();
    EXPECT_EQ(info.pGraph, asGraph.Get());
    info.pGraph->Release();

    ASSERT_EQ(graph->RemoveFilter(a.Get()), S_OK);
    EXPECT_EQ(graph->RemoveFilter(a.Get()), VFW_E_NOT_FOUND);
    a->QueryFilterInfo(&info);
    EXPECT_EQ(info.pGraph, nullptr);
    EXPECT_EQ(graph->FindFilterByName(u"SmartTee", found.ReleaseAndGetAddressOf()), VFW_E_NOT_FOUND);
    // The freed name can be taken again.
    EXPECT_EQ(graph->AddFilter(d.Get(), u"SmartTee"), S_OK);

    ComPtr<IEnumFilters> e;
    ASSERT_EQ(graph->EnumFilters(e.ReleaseAndGetAddressOf()), S_OK);
    std::vector<std::u16string> names;
    IBaseFilter* f = nullptr;
    ULONG n = 0;
    while (e->Next(1, &f, &n) == S_OK) {
        names.push_back(FilterNameOf(f));
        f->Release();
    }
    EXPECT_EQ(names.size(), 3u);
    EXPECT_EQ(names.front(), u"SmartTee 0001");
    EXPECT_EQ(names.back(), u"SmartTee");
}

TEST(DShowGraph, RemoveFilterBreaksBothSidesOfItsConnections)
{
    ComPtr<IGraphBuilder> graph = MakeGraph();
    TestSource* src = nullptr;
    ComPtr<IBaseFilter> source = TestSource::Make({}, &src);
    ComPtr<IBaseFilter> grabber = MakeFilter(CLSID_SampleGrabber);
    TestSink* sink = nullptr;
    ComPtr<IBaseFilter> sinkFilter = TestSink::Make({}, &sink);
    graph->AddFilter(source.Get(), u"Device Filter");
    graph->AddFilter(grabber.Get(), u"SampleGrab");
    graph->AddFilter(sinkFilter.Get(), u"Sink");
    ASSERT_EQ(graph->Connect(src->OutputPin(), PinByName(grabber.Get(), u"Input").Get()), S_OK);
    ASSERT_EQ(graph->Connect(PinByName(grabber.Get(), u"Output").Get(), sink->InputPin()), S_OK);

    ASSERT_EQ(graph->RemoveFilter(grabber.Get()), S_OK);
    EXPECT_FALSE(src->OutputPin()->IsConnected());
    EXPECT_FALSE(sink->InputPin()->IsConnected());
    // The source can connect again at once.
    EXPECT_EQ(graph->Connect(src->OutputPin(), sink->InputPin()), S_OK);
}

TEST(DShowGraph, ReleasingAConnectedGraphFreesEveryFilter)
{
    const long before = th::com::server::ObjectCount();
    {
        ComPtr<IGraphBuilder> graph = MakeGraph();
        TestSource* src = nullptr;
        ComPtr<IBaseFilter> source = TestSource::Make({}, &src);
        TestSink* sink = nullptr;
        ComPtr<IBaseFilter> sinkFilter = TestSink::Make({}, &sink);
        graph->AddFilter(source.Get(), u"Source");
        graph->AddFilter(sinkFilter.Get(), u"Sink");
        ASSERT_EQ(graph->Connect(src->OutputPin(), sink->InputPin()), S_OK);
        graph.As<IMediaControl>()->Run();
        sink->WaitForCount(3);
    }
    // Connected pins hold each other's filters: only a graph that breaks the
    // connections when it goes lets them go.
    EXPECT_EQ(th::com::server::ObjectCount(), before);
}

TEST(DShowGraph, StateFollowsTheControlCalls)
{
    ComPtr<IGraphBuilder> graph = MakeGraph();
    TestSource* src = nullptr;
    SourceOptions live;
    live.samples = 0;
    live.endOfStream = false;
    ComPtr<IBaseFilter> source = TestSource::Make(live, &src);
    TestSink* sink = nullptr;
    ComPtr<IBaseFilter> sinkFilter = TestSink::Make({}, &sink);
    graph->AddFilter(source.Get(), u"Source");
    graph->AddFilter(sinkFilter.Get(), u"Sink");
    graph->Connect(src->OutputPin(), sink->InputPin());
    ComPtr<IMediaControl> control = graph.As<IMediaControl>();
    OAFilterState state = -1;
    control->GetState(0, &state);
    EXPECT_EQ(state, State_Stopped);
    EXPECT_EQ(control->Pause(), S_OK);
    control->GetState(0, &state);
    EXPECT_EQ(state, State_Paused);
    EXPECT_EQ(sink->State(), State_Paused);
    EXPECT_EQ(control->Run(), S_OK);
    EXPECT_EQ(src->State(), State_Running);
    EXPECT_EQ(control->Stop(), S_OK);
    EXPECT_EQ(src->State(), State_Stopped);
    EXPECT_EQ(sink->State(), State_Stopped);
    EXPECT_EQ(control->Stop(), S_OK);
}

TEST(DShowEvents, ReachTheMessageTargetAndTheQueueInOrder)
{
    MessageRecorder target;
    ComPtr<IGraphBuilder> graph = MakeGraph();
    ComPtr<IMediaEventEx> events = graph.As<IMediaEventEx>();
    ASSERT_TRUE(events);
    ASSERT_EQ(events->SetNotifyFlags(0), S_OK);
    ASSERT_EQ(events->SetNotifyWindow(reinterpret_cast<OAHWND>(target.Handle()), kGraphMessage, 77), S_OK);
    EventRaiser* device = nullptr;
    ComPtr<IBaseFilter> deviceFilter = EventRaiser::Make(&device);
    graph->AddFilter(deviceFilter.Get(), u"Device Filter");

    // Raised on another thread, as a device raises them.
    std::thread raiser([&] {
        for (int i = 0; i < 50; ++i)
            device->NotifyEvent(EC_DEVICE_LOST, 0, i);
    });
    raiser.join();
    ASSERT_TRUE(target.WaitForCount(50));
    for (const TMessage& m : target.Messages()) {
        EXPECT_EQ(m.Msg, static_cast<UINT>(kGraphMessage));
        EXPECT_EQ(m.WParam, 0u);
        EXPECT_EQ(m.LParam, 77);
    }
    LONG code;
    LONG_PTR p1, p2;
    for (int i = 0; i < 50; ++i) {
        ASSERT_EQ(events->GetEvent(&code, &p1, &p2, 0), S_OK);
        EXPECT_EQ(code, EC_DEVICE_LOST);
        EXPECT_EQ(p2, i);
        EXPECT_EQ(events->FreeEventParams(code, p1, p2), S_OK);
    }
    EXPECT_EQ(events->GetEvent(&code, &p1, &p2, 0), E_ABORT);

    // A waiting GetEvent is woken by an event from another thread.
    auto waiter = std::async(std::launch::async, [&] {
        LONG c;
        LONG_PTR a, b;
        return events->GetEvent(&c, &a, &b, -1) == S_OK ? c : -1;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    device->NotifyEvent(EC_ERRORABORT, E_FAIL, 0);
    EXPECT_EQ(waiter.get(), EC_ERRORABORT);

    // A window of 0 stops the posting, not the queue.
    events->SetNotifyWindow(0, 0, 0);
    device->NotifyEvent(EC_DEVICE_LOST, 0, 1);
    EXPECT_EQ(target.Messages().size(), 51u);
    EXPECT_EQ(DrainEvents(events.Get()), std::vector<LONG>{EC_DEVICE_LOST});
}

TEST(DShowEvents, NoNotifyQueuesNothingAndAFilterOutsideAGraphRaisesNothing)
{
    MessageRecorder target;
    ComPtr<IGraphBuilder> graph = MakeGraph();
    ComPtr<IMediaEventEx> events = graph.As<IMediaEventEx>();
    events->SetNotifyWindow(reinterpret_cast<OAHWND>(target.Handle()), kGraphMessage, 0);
    EventRaiser* device = nullptr;
    ComPtr<IBaseFilter> deviceFilter = EventRaiser::Make(&device);
    graph->AddFilter(deviceFilter.Get(), u"Device Filter");
    device->NotifyEvent(EC_DEVICE_LOST, 0, 0);
    ASSERT_EQ(events->SetNotifyFlags(AM_MEDIAEVENT_NONOTIFY), S_OK); // also empties the queue
    device->NotifyEvent(EC_DEVICE_LOST, 0, 1);
    EXPECT_TRUE(DrainEvents(events.Get()).empty());
    EXPECT_EQ(target.Messages().size(), 1u);
    EXPECT_EQ(events->SetNotifyFlags(5), E_INVALIDARG);
    events->SetNotifyFlags(0);

    graph->RemoveFilter(deviceFilter.Get());
    EXPECT_TRUE(FAILED(device->NotifyEvent(EC_DEVICE_LOST, 0, 0)));
    EXPECT_TRUE(DrainEvents(events.Get()).empty());
}

TEST(DShowEvents, RepaintIsHandledUnlessCancelled)
{
    ComPtr<IGraphBuilder> graph = MakeGraph();
    ComPtr<IMediaEventEx> events = graph.As<IMediaEventEx>();
    EventRaiser* r = nullptr;
    ComPtr<IBaseFilter> f = EventRaiser::Make(&r);
    graph->AddFilter(f.Get(), u"Renderer");
    r->NotifyEvent(EC_REPAINT, 0, 0);
    EXPECT_TRUE(DrainEvents(events.Get()).empty());
    ComPtr<IMediaEvent> plain = graph.As<IMediaEvent>();
    ASSERT_EQ(plain->CancelDefaultHandling(EC_REPAINT), S_OK);
    r->NotifyEvent(EC_REPAINT, 0, 0);
    r->NotifyEvent(EC_DEVICE_LOST, 0, 0);
    EXPECT_EQ(DrainEvents(events.Get()), (std::vector<LONG>{EC_REPAINT, EC_DEVICE_LOST}));
    plain->RestoreDefaultHandling(EC_REPAINT);
    r->NotifyEvent(EC_REPAINT, 0, 0);
    EXPECT_TRUE(DrainEvents(events.Get()).empty());
}

TEST(DShowEvents, CompleteIsCollectedFromEveryRenderer)
{
    ComPtr<IGraphBuilder> graph = MakeGraph();
    ComPtr<IMediaEventEx> events = graph.As<IMediaEventEx>();
    SourceOptions five;
    five.samples = 5;
    TestSource* src = nullptr;
    ComPtr<IBaseFilter> source = TestSource::Make(five, &src);
    ComPtr<IBaseFilter> tee = MakeFilter(CLSID_SmartTee);
    TestSink *a = nullptr, *b = nullptr;
    ComPtr<IBaseFilter> sinkA = TestSink::Make({}, &a), sinkB = TestSink::Make({}, &b);
    graph->AddFilter(source.Get(), u"Source");
    graph->AddFilter(tee.Get(), u"SmartTee");
    graph->AddFilter(sinkA.Get(), u"A");
    graph->AddFilter(sinkB.Get(), u"B");
    ASSERT_EQ(graph->Connect(src->OutputPin(), PinByName(tee.Get(), u"Input").Get()), S_OK);
    ASSERT_EQ(graph->Connect(PinByName(tee.Get(), u"Capture").Get(), a->InputPin()), S_OK);
    ASSERT_EQ(graph->Connect(PinByName(tee.Get(), u"Preview").Get(), b->InputPin()), S_OK);
    ComPtr<IMediaControl> control = graph.As<IMediaControl>();

    for (int run = 0; run < 2; ++run) {
        ASSERT_EQ(control->Run(), S_OK);
        LONG code = 0;
        LONG_PTR p1 = 0, p2 = 0;
        ASSERT_EQ(events->GetEvent(&code, &p1, &p2, 10000), S_OK);
        EXPECT_EQ(code, EC_COMPLETE);
        EXPECT_EQ(p1, S_OK);
        EXPECT_EQ(p2, 0);
        EXPECT_EQ(a->EndOfStreams(), run + 1);
        EXPECT_EQ(b->EndOfStreams(), run + 1); // both renderers had ended
        EXPECT_EQ(events->GetEvent(&code, &p1, &p2, 50), E_ABORT);
        ASSERT_EQ(control->Stop(), S_OK);
    }

    // Without default handling each renderer's own event comes through.
    events->CancelDefaultHandling(EC_COMPLETE);
    ASSERT_EQ(control->Run(), S_OK);
    ASSERT_TRUE(a->WaitForEndOfStream());
    LONG code;
    LONG_PTR p1, p2;
    ASSERT_EQ(events->GetEvent(&code, &p1, &p2, 10000), S_OK);
    ASSERT_EQ(events->GetEvent(&code, &p1, &p2, 10000), S_OK);
    EXPECT_EQ(code, EC_COMPLETE);
    EXPECT_NE(p2, 0);
    control->Stop();
}

TEST(DShowGraph, AnswersTheVideoWindowOfItsRenderer)
{
    StandIns standIns;
    ComPtr<IGraphBuilder> graph = MakeGraph();
    EXPECT_FALSE(graph.As<IVideoWindow>());
    ComPtr<IBaseFilter> renderer = MakeFilter(CLSID_VideoRenderer);
    ASSERT_TRUE(renderer);
    graph->AddFilter(renderer.Get(), u"Video Renderer");
    ComPtr<IVideoWindow> window = graph.As<IVideoWindow>();
    ASSERT_TRUE(window);
    EXPECT_EQ(window->SetWindowPosition(0, 0, 360, 288), S_OK);
    EXPECT_EQ(VideoRendererStandIn::s_lastWidth.load(), 360);
    EXPECT_EQ(window->put_Owner(1234), S_OK);
    EXPECT_EQ(VideoRendererStandIn::s_lastOwner.load(), 1234);
    // Once the renderer is gone the calls fail instead of reaching it.
    graph->RemoveFilter(renderer.Get());
    EXPECT_EQ(window->put_Visible(OATRUE), E_NOINTERFACE);
}
