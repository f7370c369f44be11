// The capture component with the virtual camcorder: activation, the graphs of
// the capture modes (filters by name in order, and what is connected to
// what), a device that goes and comes back, the automatic start, a mode change
// while running, and stops while frames flow.
#include "CaptureFakes.h"
#include "EngineRun.h"

#include "AvRead.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <thread>

using A = TlmDVCaptureTestAccess;

namespace {

QString Name(IBaseFilter* f)
{
    FILTER_INFO info{};
    if (FAILED(f->QueryFilterInfo(&info)))
        return "?";
    if (info.pGraph)
        info.pGraph->Release();
    return QString::fromUtf16(info.achName);
}

QString Name(IPin* p)
{
    PIN_INFO info{};
    if (FAILED(p->QueryPinInfo(&info)))
        return "?";
    if (info.pFilter)
        info.pFilter->Release();
    return QString::fromUtf16(info.achName);
}

// The filters of a graph in the order they were added.
QStringList Filters(IGraphBuilder* graph)
{
    QStringList names;
    if (!graph)
        return names;
    ComPtr<IEnumFilters> e;
    graph->EnumFilters(e.ReleaseAndGetAddressOf());
    ComPtr<IBaseFilter> f;
    ULONG n = 0;
    while (e->Next(1, f.ReleaseAndGetAddressOf(), &n) == S_OK)
        names << Name(f.Get());
    return names;
}

// Every connection as "filter:output pin -> filter", sorted.
QStringList Connections(IGraphBuilder* graph)
{
    QStringList edges;
    if (!graph)
        return edges;
    ComPtr<IEnumFilters> e;
    graph->EnumFilters(e.ReleaseAndGetAddressOf());
    ComPtr<IBaseFilter> f;
    ULONG n = 0;
    while (e->Next(1, f.ReleaseAndGetAddressOf(), &n) == S_OK) {
        ComPtr<IEnumPins> pins;
        f->EnumPins(pins.ReleaseAndGetAddressOf());
        ComPtr<IPin> pin;
        while (pins->Next(1, pin.ReleaseAndGetAddressOf(), &n) == S_OK) {
            PIN_DIRECTION dir;
            pin->QueryDirection(&dir);
            ComPtr<IPin> peer;
            if (dir != PINDIR_OUTPUT || FAILED(pin->ConnectedTo(peer.ReleaseAndGetAddressOf())))
                continue;
            PIN_INFO info{};
            peer->QueryPinInfo(&info);
            ComPtr<IBaseFilter> to;
            to.Attach(info.pFilter);
            edges << Name(f.Get()) + ":" + Name(pin.Get()) + " -> " + Name(to.Get());
        }
    }
    edges.sort();
    return edges;
}

QStringList Sorted(QStringList l)
{
    l.sort();
    return l;
}

class Device : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string out;
        ASSERT_TRUE(e2e::RegisterWriter(&out)) << out;
        tape = tapes.file("tape.dv");
        ASSERT_TRUE(e2e::MakeTape(tape, scenes, &out)) << out;
        ASSERT_TRUE(e2e::Camcorder(tape, 8));
        dv.SetFileName(dir.qpath() + "/capture.avi");
        dv.SetAutoStart(false);
        dv.OnChangeCaptureState = [this](QObject*, TCaptureState s) { log.push_back("state " + std::to_string(s)); };
        dv.OnChangeCaptureMode = [this](QObject*, TCaptureMode m) { log.push_back("mode " + std::to_string(m)); };
        dv.OnDeviceLost = [this](QObject*, TDeviceMode m) { log.push_back("device " + std::to_string(m)); };
    }
    void TearDown() override
    {
        dv.SetActive(false);
        th::dv::removeCamcorder();
    }
    // A graph of one file per scene, which needs no renderer.
    void ActivateCapture(TCaptureMode mode)
    {
        dv.SetCaptureMode(mode);
        dv.SetSceneDetection(sdMultiFiles);
        ASSERT_TRUE(dv.Active());
        // The arrival of the camcorder plugged in by SetUp is still queued.
        th::test::waitUntil([] { return false; }, std::chrono::milliseconds(100));
        log.clear();
    }

    th::test::TempDir tapes, dir;
    std::string tape;
    const std::vector<e2e::Scene> scenes = e2e::FiveScenes();
    e2e::Collected c; // outlives the component's last events in TearDown
    TTlmDVCapture dv;
    std::vector<std::string> log;
};

} // namespace

TEST_F(Device, ActivationFindsTheCamcorderAndBuildsTheGraphOfTheMode)
{
    dv.SetCaptureMode(cmDVType2);
    log.clear();
    dv.SetSceneDetection(sdMultiFiles);
    ASSERT_TRUE(dv.Active());
    EXPECT_EQ(log, std::vector<std::string>{"state 0"}) << "stopped, announced once";
    EXPECT_EQ(dv.GetCaptureState(), csStopped);
    EXPECT_EQ(dv.SignalFormat(), sfPAL);
    EXPECT_EQ(dv.FrameRate(), 25);
    EXPECT_EQ(dv.GetDeviceType(), dtVCR);
    TTimecode tc;
    EXPECT_TRUE(dv.ReadTimecode(tc));
    EXPECT_EQ(tc, MakeTimecode(0, 0, 0, 0));
    EXPECT_EQ(dv.GetTransportState(), tsStop);
    log.clear();
    dv.SetActive(true);
    EXPECT_TRUE(log.empty()) << "already active";
}

TEST_F(Device, TheCaptureGraphsOfOneFilePerScene)
{
    ActivateCapture(cmDVType2);
    IGraphBuilder* graph = A::Graph(dv);
    EXPECT_EQ(Filters(graph),
              (QStringList{"Device Filter", "SampleGrab", "New Scenes Video Decoder", "PictureGrab",
                           "NewScene SmartTee", "NewScene Null Renderer", "DV Splitter_mux", "Tolmar AVI Writer"}));
    EXPECT_EQ(Connections(graph), Sorted({
                                      "Device Filter:DV A/V Out -> SampleGrab",
                                      "SampleGrab:Output -> DV Splitter_mux",
                                      "DV Splitter_mux:DVVidOut0 -> NewScene SmartTee",
                                      "DV Splitter_mux:AudOut00 -> Tolmar AVI Writer",
                                      "NewScene SmartTee:Capture -> Tolmar AVI Writer",
                                      "NewScene SmartTee:Preview -> New Scenes Video Decoder",
                                      "New Scenes Video Decoder:XForm Out -> PictureGrab",
                                      "PictureGrab:Output -> NewScene Null Renderer",
                                  }));
    EXPECT_TRUE(A::HasFileSwitcher(dv));
    EXPECT_FALSE(A::HasAudio(dv)) << "no preview, no audio control";
    EXPECT_TRUE(QFile::exists(dir.qpath() + "/capture.tmp")) << "the writer was given the temporary name";

    dv.SetCaptureMode(cmDVType1);
    graph = A::Graph(dv);
    EXPECT_EQ(Filters(graph), (QStringList{"Device Filter", "SampleGrab", "New Scenes Video Decoder", "PictureGrab",
                                           "NewScene SmartTee", "NewScene Null Renderer", "NewScenes DV Splitter",
                                           "Tolmar AVI Writer"}));
    EXPECT_EQ(Connections(graph), Sorted({
                                      "Device Filter:DV A/V Out -> SampleGrab",
                                      "SampleGrab:Output -> NewScene SmartTee",
                                      "NewScene SmartTee:Capture -> Tolmar AVI Writer",
                                      "NewScene SmartTee:Preview -> NewScenes DV Splitter",
                                      "NewScenes DV Splitter:DVVidOut0 -> New Scenes Video Decoder",
                                      "New Scenes Video Decoder:XForm Out -> PictureGrab",
                                      "PictureGrab:Output -> NewScene Null Renderer",
                                  }));
    EXPECT_EQ(log, (std::vector<std::string>{"mode 1"}));
}

TEST_F(Device, WithoutTheWriterPluginOneFilePerSceneCannotBeBuilt)
{
    std::string out;
    ASSERT_EQ(th::test::runProgram(th::test::binDir() + "/regsvr", {"/u", "/s", th::test::binDir() + "/thmux.ax"},
                                   &out),
              0)
        << out;
    dv.SetCaptureMode(cmDVType2);
    try {
        dv.SetSceneDetection(sdMultiFiles);
        ADD_FAILURE() << "no error";
    } catch (const EExternalException& e) {
        EXPECT_EQ(e.Message(), "External exception 80040154");
    }
    EXPECT_TRUE(dv.Active()) << "a failed build leaves the component active with a partial graph";
    EXPECT_EQ(dv.GetCaptureState(), csStopped);
    dv.SetActive(false);
    EXPECT_EQ(dv.GetCaptureState(), csConstructed);

    // The single-file graphs need no plugin.
    dv.SetSceneDetection(sdSingleFile);
    EXPECT_TRUE(dv.Active());
    EXPECT_TRUE(Filters(A::Graph(dv)).contains("Mux"));
    dv.SetCaptureMode(cmDVType1);
    EXPECT_TRUE(dv.Active());
}

TEST_F(Device, ARemovedDeviceDeactivatesAndItsReturnRestartsIt)
{
    ActivateCapture(cmDVType2);
    dv.Start();
    ASSERT_EQ(dv.GetCaptureState(), csRunned);
    log.clear();
    ASSERT_TRUE(th::dv::unplugCamcorder());
    ASSERT_TRUE(th::test::waitUntil([&] { return !log.empty() && log.back() == "device 1"; }));
    EXPECT_EQ(log, (std::vector<std::string>{"state 0", "state 3", "device 1"}))
        << "stopped, deactivated, then reported removed";
    EXPECT_FALSE(dv.Active());
    EXPECT_EQ(dv.GetCaptureState(), csConstructed);

    // Back, without AutoStart: reported, nothing else.
    log.clear();
    ASSERT_TRUE(th::dv::plugCamcorder());
    ASSERT_TRUE(th::test::waitUntil([&] { return !log.empty(); }));
    th::test::waitUntil([] { return false; }, std::chrono::milliseconds(200));
    for (const auto& entry : log)
        EXPECT_EQ(entry, "device 0");
    EXPECT_FALSE(dv.Active());

    // Gone and back with AutoStart: activated and running again.
    ASSERT_TRUE(th::dv::unplugCamcorder());
    th::test::waitUntil([] { return false; }, std::chrono::milliseconds(200));
    dv.SetAutoStart(true);
    log.clear();
    ASSERT_TRUE(th::dv::plugCamcorder());
    ASSERT_TRUE(th::test::waitUntil([&] { return dv.GetCaptureState() == csRunned; }));
    ASSERT_TRUE(th::test::waitUntil([&] { return !log.empty() && log.back() == "device 0"; }));
    EXPECT_EQ(log.front(), "state 0");
    EXPECT_EQ(log[1], "state 2");
    EXPECT_EQ(log[2], "device 0");
}

TEST_F(Device, AModeChangeWhileRunningStopsRebuildsAndRestarts)
{
    ActivateCapture(cmDVType2);
    dv.Start();
    dv.SetCaptureMode(cmDVType1);
    EXPECT_EQ(log, (std::vector<std::string>{"state 2", "state 0", "state 2", "mode 1"}));
    EXPECT_EQ(dv.GetCaptureState(), csRunned);
    EXPECT_TRUE(Filters(A::Graph(dv)).contains("NewScenes DV Splitter"));
    dv.Stop();
}

TEST_F(Device, StopsWhileFramesFlowNeverWaitForEachOther)
{
    // A frame handler that takes its time makes frames wait for the capture
    // lock while Stop holds it and stops the graph. Type 1: the writer's audio
    // pin of type 2 may hold a stop up to its interleave time-out when the
    // stop cuts a frame between its video and its audio.
    ActivateCapture(cmDVType1);
    // Eight times real time: paced by the graph while it runs, and not so
    // fast that the tape runs out between two runs.
    std::atomic<bool> stopped{true};
    std::atomic<int> frames{0}, late{0};
    dv.OnCaptureProgress = [&](BYTE, BYTE, BYTE, BYTE, BYTE, int) {
        ++frames;
        if (stopped)
            ++late;
        std::this_thread::sleep_for(std::chrono::microseconds(300));
    };
    dv.OnChangeCaptureState = [&](QObject*, TCaptureState s) {
        if (s == csStopped)
            stopped = true;
    };
    std::atomic<bool> finished{false};
    std::thread watchdog([&] {
        for (int i = 0; i < 2400 && !finished; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (!finished) {
            std::fprintf(stderr, "Start and Stop did not finish within four minutes\n");
            std::abort();
        }
    });
    int flowing = 0; // runs whose Stop came while frames flowed
    for (int i = 0; i < 300; ++i) {
        if (dv.GetTransportState() == tsStop) {
            dv.TransportRew();
            th::test::waitUntil([&] { return dv.GetTransportState() == tsStop; });
            dv.TransportPlay();
        }
        stopped = false;
        const int before = frames;
        dv.Start();
        // Every other run stops at once, the rest once a few frames came.
        if (i % 2 == 0) {
            // The tape may run out meanwhile; it is rewound before the next run.
            th::test::waitUntil([&] { return frames > before + 2 || dv.GetTransportState() == tsStop; },
                                std::chrono::seconds(5));
            if (frames > before + 2)
                ++flowing;
        }
        dv.Stop();
    }
    finished = true;
    watchdog.join();
    EXPECT_EQ(late, 0) << "no frame after a Stop returned";
    EXPECT_GT(flowing, 50) << "runs stopped while frames flowed";
    std::printf("%d of 150 runs stopped while frames flowed, %d frames in all\n", flowing, int(frames));
}

TEST_F(Device, TheGraphsOfEachModeWithTheMultiplexer)
{
    const QStringList sceneBranch{
        "New Scenes Video Decoder:XForm Out -> PictureGrab",
        "PictureGrab:Output -> NewScene Null Renderer",
    };
    const QStringList previewBranch{
        "DV Splitter:AudOut00 -> AudioRenderer",
        "DV Splitter:DVVidOut0 -> DV Video Decoder",
        "DV Video Decoder:XForm Out -> Video Renderer",
        "SmartTee:Preview -> DV Splitter",
    };
    const QStringList type1{
        "NewScene SmartTee:Capture -> Mux",
        "NewScene SmartTee:Preview -> NewScenes DV Splitter",
        "NewScenes DV Splitter:DVVidOut0 -> New Scenes Video Decoder",
        "SampleGrab:Output -> NewScene SmartTee",
        "Mux:AVI Out -> File writer",
    };
    const QStringList type2{
        "DV Splitter_mux:AudOut00 -> Mux",
        "DV Splitter_mux:DVVidOut0 -> NewScene SmartTee",
        "NewScene SmartTee:Capture -> Mux",
        "NewScene SmartTee:Preview -> New Scenes Video Decoder",
        "SampleGrab:Output -> DV Splitter_mux",
        "Mux:AVI Out -> File writer",
    };
    struct Expected {
        TCaptureMode mode;
        QStringList filters;
        QStringList connections;
    };
    const std::vector<Expected> modes{
        {cmPreview,
         {"Device Filter", "SampleGrab", "DV Splitter", "DV Video Decoder", "Audio Renderer", "Video Renderer"},
         {"Device Filter:DV A/V Out -> SampleGrab", "SampleGrab:Output -> DV Splitter",
          "DV Splitter:AudOut00 -> Audio Renderer", "DV Splitter:DVVidOut0 -> DV Video Decoder",
          "DV Video Decoder:XForm Out -> Video Renderer"}},
        {cmDVType1,
         {"Device Filter", "SampleGrab", "New Scenes Video Decoder", "PictureGrab", "NewScene SmartTee",
          "NewScene Null Renderer", "NewScenes DV Splitter", "Mux", "File writer"},
         QStringList{"Device Filter:DV A/V Out -> SampleGrab"} + sceneBranch + type1},
        {cmDVType2,
         {"Device Filter", "SampleGrab", "New Scenes Video Decoder", "PictureGrab", "NewScene SmartTee",
          "NewScene Null Renderer", "DV Splitter_mux", "Mux", "File writer"},
         QStringList{"Device Filter:DV A/V Out -> SampleGrab"} + sceneBranch + type2},
        {cmDVType1wPreview,
         {"Device Filter", "SampleGrab", "DV Video Decoder", "New Scenes Video Decoder", "PictureGrab", "SmartTee",
          "NewScene SmartTee", "NewScene Null Renderer", "DV Splitter", "NewScenes DV Splitter", "AudioRenderer",
          "Mux", "File writer", "Video Renderer"},
         QStringList{"Device Filter:DV A/V Out -> SmartTee", "SmartTee:Capture -> SampleGrab"} + sceneBranch +
             type1 + previewBranch},
        {cmDVType2wPreview,
         {"Device Filter", "SampleGrab", "DV Video Decoder", "New Scenes Video Decoder", "PictureGrab", "SmartTee",
          "NewScene SmartTee", "NewScene Null Renderer", "DV Splitter", "DV Splitter_mux", "AudioRenderer", "Mux",
          "File writer", "Video Renderer"},
         QStringList{"Device Filter:DV A/V Out -> SmartTee", "SmartTee:Capture -> SampleGrab"} + sceneBranch +
             type2 + previewBranch},
    };
    dv.SetActive(true);
    ASSERT_TRUE(dv.Active());
    for (const auto& e : modes) {
        SCOPED_TRACE(e.mode);
        dv.SetCaptureMode(e.mode);
        EXPECT_EQ(Filters(A::Graph(dv)), e.filters);
        EXPECT_EQ(Connections(A::Graph(dv)), Sorted(e.connections));
        EXPECT_EQ(A::HasFileSink(dv), e.mode != cmPreview);
        EXPECT_FALSE(A::HasFileSwitcher(dv)) << "the multiplexer switches no files";
        const bool preview = e.mode == cmPreview || e.mode == cmDVType1wPreview || e.mode == cmDVType2wPreview;
        EXPECT_EQ(A::HasAudio(dv), preview);
    }
}

TEST_F(Device, ThePreviewWritesNoFile)
{
    TH_SKIP_SOUND_UNDER_TSAN();
    dv.SetActive(true);
    ASSERT_EQ(dv.CaptureMode(), cmPreview);
    c.Watch(dv);
    ASSERT_TRUE(e2e::CaptureTape(dv, c, e2e::TotalFrames(scenes)));
    EXPECT_GE(c.frames, e2e::TotalFrames(scenes)) << "progress for every frame";
    EXPECT_TRUE(QDir(dir.qpath()).entryList(QDir::Files).isEmpty());
    EXPECT_TRUE(c.Files().isEmpty());
    std::lock_guard<std::mutex> g(c.lock);
    EXPECT_TRUE(c.pictures.empty()) << "no thumbnails in the preview";
}

namespace {

int Display(IGraphBuilder* graph, const char16_t* name)
{
    ComPtr<IBaseFilter> f;
    if (FAILED(graph->FindFilterByName(name, f.ReleaseAndGetAddressOf())))
        return -1;
    ComPtr<IIPDVDec> dec;
    int display = -1;
    if (SUCCEEDED(f.As(&dec)))
        dec->get_IPDisplay(&display);
    return display;
}

} // namespace

TEST_F(Device, ThePreviewSettingsActOnThePreviewBranchOnly)
{
    TH_SKIP_SOUND_UNDER_TSAN();
    dv.SetDVResolution(dvrQuarter); // inactive: only stored
    dv.SetCaptureMode(cmDVType2wPreview);
    dv.SetActive(true);
    ASSERT_TRUE(dv.Active());
    IGraphBuilder* graph = A::Graph(dv);
    EXPECT_EQ(Display(graph, u"DV Video Decoder"), DVRESOLUTION_QUARTER) << "applied by the build";
    EXPECT_EQ(Display(graph, u"New Scenes Video Decoder"), DVRESOLUTION_DC);
    dv.SetDVResolution(dvrHalf);
    EXPECT_EQ(Display(graph, u"DV Video Decoder"), DVRESOLUTION_HALF) << "at once";
    EXPECT_EQ(Display(graph, u"New Scenes Video Decoder"), DVRESOLUTION_DC) << "the scene branch keeps its size";
    dv.SetVolume(-1500);
    EXPECT_EQ(dv.Volume(), -1500);

    // Every second preview frame dropped; the file keeps every frame.
    dv.SetDVFrameRate(frHalf);
    c.Watch(dv);
    ASSERT_TRUE(e2e::CaptureTape(dv, c, e2e::TotalFrames(scenes)));
    const avread::File f = avread::Read(dir.file("capture.avi"));
    ASSERT_TRUE(f.opened) << f.error;
    EXPECT_EQ(f.streams.at(0).packets, e2e::TotalFrames(scenes));

    // Without a preview branch the settings cannot find their filters.
    dv.SetCaptureMode(cmDVType2);
    try {
        dv.SetDVResolution(dvrFull);
        ADD_FAILURE() << "no error";
    } catch (const EExternalException& e) {
        EXPECT_EQ(e.ExceptionCode(), VFW_E_NOT_FOUND);
    }
    EXPECT_EQ(dv.DVResolution(), dvrHalf) << "the old value stays";
    EXPECT_THROW(dv.SetDVFrameRate(frFull), EExternalException);
    EXPECT_EQ(dv.Volume(), -1500) << "the volume waits for the next graph with a renderer";
    dv.SetVolume(-20000);
    EXPECT_EQ(dv.Volume(), -20000) << "stored unchecked without a renderer";
    dv.SetVolume(-1500);
    dv.SetCaptureMode(cmPreview);
    EXPECT_EQ(Display(A::Graph(dv), u"DV Video Decoder"), DVRESOLUTION_HALF);
}

TEST_F(Device, AWindowThatOutlivesTheComponentDoesNotHoldItUp)
{
    TTlmVideoWindow window;
    dv.SetActive(false);
    auto other = std::make_unique<TTlmDVCapture>();
    other->SetAutoStart(false);
    other->SetPreviewWindow(&window);
    other->SetActive(true);
    ASSERT_TRUE(other->Active());
    ASSERT_NE(window.Graph(), nullptr);
    other->Start();
    other->TransportPlay();
    th::test::waitUntil([] { return false; }, std::chrono::milliseconds(200));
    // Freed while running, the window still holding the graph.
    // A component held up by the window would never go: the bound only turns
    // that hang into a failure.
    const auto t0 = std::chrono::steady_clock::now();
    other.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(30));
    EXPECT_NE(window.Graph(), nullptr);
}
