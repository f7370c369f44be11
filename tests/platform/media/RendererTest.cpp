// The Video Renderer and the Audio Renderer in graphs, under the offscreen Qt
// platform: the video window as the capture engine drives it, the newest
// frame winning on the main thread, the audio consumed at the pace of the
// clock without a sound output, and played on a PulseAudio null sink that
// appears while the renderer runs (when PulseAudio is installed).

#include "AviTestSupport.h"
#include "support/TestUtil.h"

#include "platform/media/AudioRenderer.h"
#include "platform/media/VideoRenderer.h"

#include <QCoreApplication>
#include <QImage>
#include <QProcess>
#include <QStandardPaths>
#include <QWidget>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#if defined(__SANITIZE_THREAD__)
// Qt Multimedia looks for a PulseAudio server on a thread of libpulse, which
// is not built for ThreadSanitizer; its own locking is invisible to it.
extern "C" const char* __tsan_default_suppressions()
{
    return "race:libpulse.so\nrace:libpulsecommon\ncalled_from_lib:libpulse.so.0\n"
           "called_from_lib:libpulsecommon-16.1.so\n";
}
#endif

using namespace avitest;
using namespace std::chrono_literals;
using th::media::WindowHandle;

namespace {

constexpr LONG kW = 64, kH = 48;

// A frame of one colour per half: `top` above, `bottom` below, as a DIB
// (bottom-up rows) of 24 or 32 bits.
std::vector<std::uint8_t> Frame(int bits, QRgb top, QRgb bottom)
{
    const int bpp = bits / 8;
    const std::size_t stride = (kW * bpp + 3) & ~3;
    std::vector<std::uint8_t> b(stride * kH, 0);
    for (int row = 0; row < kH; ++row) {
        // Row 0 of a bottom-up DIB is the picture's last line.
        const QRgb c = row < kH / 2 ? bottom : top;
        for (int x = 0; x < kW; ++x) {
            std::uint8_t* p = &b[stride * row + static_cast<std::size_t>(x * bpp)];
            p[0] = static_cast<std::uint8_t>(qBlue(c));
            p[1] = static_cast<std::uint8_t>(qGreen(c));
            p[2] = static_cast<std::uint8_t>(qRed(c));
        }
    }
    return b;
}

CMediaType Rgb24VideoType(LONG w, LONG h)
{
    CMediaType mt = Rgb32VideoType(w, h);
    mt.subtype = MEDIASUBTYPE_RGB24;
    auto* vih = reinterpret_cast<VIDEOINFOHEADER*>(mt.Format());
    vih->bmiHeader.biBitCount = 24;
    vih->bmiHeader.biSizeImage = static_cast<DWORD>(((w * 3 + 3) & ~3) * h);
    mt.lSampleSize = vih->bmiHeader.biSizeImage;
    return mt;
}

struct VideoGraph : Graph {
    PushSource* source = nullptr;
    ComPtr<IBaseFilter> sourceFilter;
    explicit VideoGraph(const CMediaType& type)
    {
        sourceFilter = PushSource::Make(type, static_cast<LONG>(type.lSampleSize), &source);
        Add(sourceFilter.Get(), u"Source");
        // No sink: the builder renders to the default renderer of video.
        EXPECT_EQ(builder->RenderStream(nullptr, &MEDIATYPE_Video, sourceFilter.Get(), nullptr, nullptr), S_OK);
    }
};

QWidget* RendererWindow(QWidget* owner)
{
    return owner->findChild<QWidget*>(QStringLiteral("VideoRendererWindow"));
}

int FramesShown(QWidget* window)
{
    return window ? window->property("framesShown").toInt() : -1;
}

QRgb Pixel(QWidget* window, int x, int y)
{
    return window->grab().toImage().pixel(x, y) & 0xFFFFFFu;
}

} // namespace

// --- Video Renderer -----------------------------------------------------------------------------

TEST(VideoRendererTest, TheGraphsVideoWindowAttachesTheRendererToItsOwner)
{
    QWidget owner;
    owner.resize(360, 288);
    owner.show();
    VideoGraph g(Rgb32VideoType(kW, kH));
    ComPtr<IVideoWindow> window;
    ASSERT_EQ(g.graph->QueryInterface(IID_PPV_ARGS(window.ReleaseAndGetAddressOf())), S_OK);

    // The calls and arguments of the capture engine's preview window.
    ASSERT_EQ(window->put_Owner(WindowHandle(&owner)), S_OK);
    ASSERT_EQ(window->put_WindowStyle(th::media::WS_CHILD | th::media::WS_CLIPSIBLINGS), S_OK);
    ASSERT_EQ(window->SetWindowPosition(0, 0, 360, 288), S_OK);
    ASSERT_EQ(window->put_Visible(OATRUE), S_OK);
    QWidget* child = RendererWindow(&owner);
    ASSERT_NE(child, nullptr);
    EXPECT_EQ(child->parentWidget(), &owner);
    EXPECT_EQ(child->geometry(), QRect(0, 0, 360, 288));
    EXPECT_TRUE(child->isVisible());

    // The owner is resized: the window follows its position.
    owner.resize(200, 100);
    ASSERT_EQ(window->SetWindowPosition(0, 0, 200, 100), S_OK);
    EXPECT_EQ(child->geometry(), QRect(0, 0, 200, 100));
    ASSERT_EQ(window->put_Visible(OAFALSE), S_OK);
    EXPECT_FALSE(child->isVisible());

    // Detached: the window is taken away.
    ASSERT_EQ(window->put_Owner(0), S_OK);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(RendererWindow(&owner), nullptr);
}

TEST(VideoRendererTest, BadArgumentsAndCallsOffTheMainThreadAreRefused)
{
    QWidget owner;
    VideoGraph g(Rgb32VideoType(kW, kH));
    ComPtr<IVideoWindow> window;
    ASSERT_EQ(g.graph->QueryInterface(IID_PPV_ARGS(window.ReleaseAndGetAddressOf())), S_OK);
    EXPECT_EQ(window->put_Visible(2), E_INVALIDARG);
    EXPECT_EQ(window->SetWindowPosition(0, 0, -1, 10), E_INVALIDARG);
    EXPECT_EQ(window->put_Owner(static_cast<OAHWND>(0x7FFFFFF0)), E_INVALIDARG);
    {
        QWidget gone;
        const OAHWND handle = WindowHandle(&gone);
        ASSERT_NE(handle, 0);
        EXPECT_EQ(th::media::WidgetOfHandle(handle), &gone);
    }
    HRESULT offThread = S_OK;
    std::thread([&] { offThread = window->put_Owner(WindowHandle(nullptr) + 1); }).join();
    EXPECT_EQ(offThread, th::media::RPC_E_WRONG_THREAD);
}

class VideoFrameTest : public ::testing::TestWithParam<int> {};

TEST_P(VideoFrameTest, FramesArePaintedUprightAndTheNewestWins)
{
    const int bits = GetParam();
    QWidget owner;
    owner.resize(kW * 2, kH * 2);
    owner.show();
    VideoGraph g(bits == 32 ? Rgb32VideoType(kW, kH) : Rgb24VideoType(kW, kH));
    ComPtr<IVideoWindow> window;
    ASSERT_EQ(g.graph->QueryInterface(IID_PPV_ARGS(window.ReleaseAndGetAddressOf())), S_OK);
    ASSERT_EQ(window->put_Owner(WindowHandle(&owner)), S_OK);
    ASSERT_EQ(window->SetWindowPosition(0, 0, kW * 2, kH * 2), S_OK);
    ASSERT_EQ(window->put_Visible(OATRUE), S_OK);
    QWidget* child = RendererWindow(&owner);
    ASSERT_NE(child, nullptr);
    ASSERT_EQ(g.control->Run(), S_OK);

    const std::vector<std::uint8_t> redBlue = Frame(bits, qRgb(255, 0, 0), qRgb(0, 0, 255));
    ASSERT_EQ(g.source->Push(redBlue.data(), redBlue.size(), FrameTimes(0)), S_OK);
    ASSERT_TRUE(th::test::waitUntil([&] { return FramesShown(child) == 1; }));
    EXPECT_EQ(Pixel(child, kW, kH / 4), 0xFF0000u);     // top half: red
    EXPECT_EQ(Pixel(child, kW, kH * 7 / 4), 0x0000FFu); // bottom half: blue

    // Three frames before the main thread gets to them: one paint, the last frame.
    for (int i = 0; i < 3; ++i) {
        const QRgb c = i == 2 ? qRgb(0, 255, 0) : qRgb(255, 255, 0);
        const std::vector<std::uint8_t> f = Frame(bits, c, c);
        ASSERT_EQ(g.source->Push(f.data(), f.size(), FrameTimes(1 + i)), S_OK);
    }
    ASSERT_TRUE(th::test::waitUntil([&] { return FramesShown(child) >= 2; }));
    QCoreApplication::processEvents();
    EXPECT_EQ(FramesShown(child), 2);
    EXPECT_EQ(Pixel(child, kW, kH), 0x00FF00u);

    // A frame shorter than the format says is refused.
    EXPECT_EQ(g.source->Push(redBlue.data(), redBlue.size() / 2, FrameTimes(4)), E_INVALIDARG);
    ASSERT_EQ(g.control->Stop(), S_OK);
}

INSTANTIATE_TEST_SUITE_P(Rgb, VideoFrameTest, ::testing::Values(24, 32));

TEST(VideoRendererTest, FramesFromAStreamingThreadAndAnOwnerThatGoesAway)
{
    auto owner = std::make_unique<QWidget>();
    owner->resize(kW, kH);
    owner->show();
    VideoGraph g(Rgb32VideoType(kW, kH));
    ComPtr<IVideoWindow> window;
    ASSERT_EQ(g.graph->QueryInterface(IID_PPV_ARGS(window.ReleaseAndGetAddressOf())), S_OK);
    ASSERT_EQ(window->put_Owner(WindowHandle(owner.get())), S_OK);
    ASSERT_EQ(window->put_Visible(OATRUE), S_OK);
    ASSERT_EQ(g.control->Run(), S_OK);
    std::atomic<int> pushed{0};
    int i = 0;
    ASSERT_TRUE(g.source->StartStreaming([&] {
        const QRgb c = qRgb(i % 256, 0, 0);
        const std::vector<std::uint8_t> f = Frame(32, c, c);
        if (g.source->Push(f.data(), f.size(), FrameTimes(i++)) != S_OK)
            return false;
        ++pushed;
        std::this_thread::sleep_for(1ms);
        return true;
    }));
    QWidget* child = RendererWindow(owner.get());
    EXPECT_TRUE(th::test::waitUntil([&] { return FramesShown(child) >= 5; }));
    EXPECT_LE(FramesShown(child), pushed.load());
    // The owner is destroyed while frames keep coming; they are still taken.
    owner.reset();
    const int before = pushed;
    EXPECT_TRUE(th::test::waitUntil([&] { return pushed > before + 5; }));
    ASSERT_EQ(g.control->Stop(), S_OK);
    EXPECT_EQ(window->put_Owner(0), S_OK);
}

// --- Audio Renderer -----------------------------------------------------------------------------

namespace {

struct AudioGraph : Graph {
    PushSource* source = nullptr;
    ComPtr<IBaseFilter> sourceFilter;
    ComPtr<IBaseFilter> renderer;
    ComPtr<IBasicAudio> audio;
    AudioGraph()
    {
        EXPECT_EQ(CoCreateInstance(CLSID_DSoundRender, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_PPV_ARGS(renderer.ReleaseAndGetAddressOf())),
                  S_OK);
        Add(renderer.Get(), u"Audio Renderer");
        EXPECT_EQ(renderer->QueryInterface(IID_PPV_ARGS(audio.ReleaseAndGetAddressOf())), S_OK);
        sourceFilter = PushSource::Make(PcmType(), 65536, &source);
        Add(sourceFilter.Get(), u"Source");
        EXPECT_EQ(builder->RenderStream(nullptr, &MEDIATYPE_Audio, sourceFilter.Get(), nullptr, renderer.Get()),
                  S_OK);
    }
    th::media::CAudioRenderer* Renderer()
    {
        return static_cast<th::media::CAudioRenderer*>(static_cast<CBaseFilter*>(renderer.Get()));
    }
};

std::vector<std::uint8_t> Tone(std::size_t samples, std::int64_t first = 0)
{
    std::vector<std::uint8_t> b(samples * 4);
    for (std::size_t i = 0; i < samples; ++i) {
        const double t = static_cast<double>(first + static_cast<std::int64_t>(i)) / 48000.0;
        const auto v = static_cast<std::int16_t>(std::lround(12000.0 * std::sin(2 * M_PI * 440.0 * t)));
        std::memcpy(&b[4 * i], &v, 2);
        std::memcpy(&b[4 * i + 2], &v, 2);
    }
    return b;
}

// Pushes `seconds` of a tone in 100 ms buffers; the elapsed wall time.
std::chrono::milliseconds PushTone(PushSource* source, double seconds, bool timed, std::int64_t offset = 0)
{
    const auto t0 = std::chrono::steady_clock::now();
    const std::int64_t total = static_cast<std::int64_t>(seconds * 48000);
    for (std::int64_t first = 0; first < total; first += 4800) {
        const std::vector<std::uint8_t> pcm = Tone(4800, first);
        Times t = AudioTimes(first, 4800);
        t.start += offset;
        t.stop += offset;
        t.hasTime = timed;
        if (source->Push(pcm.data(), pcm.size(), t) != S_OK)
            break;
    }
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
}

// --- Playing on a PulseAudio null sink ------------------------------------------------------------

// A PulseAudio server of the test's own, without sinks until one is loaded.
class PulseServer {
public:
    explicit PulseServer(const std::string& folder) : m_socket(folder + "/native")
    {
        m_program = QStandardPaths::findExecutable(QStringLiteral("pulseaudio"));
        if (m_program.isEmpty() || QStandardPaths::findExecutable(QStringLiteral("pactl")).isEmpty() ||
            QStandardPaths::findExecutable(QStringLiteral("parec")).isEmpty())
            return;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), QString::fromStdString(folder));
        env.insert(QStringLiteral("PULSE_RUNTIME_PATH"), QString::fromStdString(folder));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), QString::fromStdString(folder));
        m_server.setProcessEnvironment(env);
        m_server.setProcessChannelMode(QProcess::MergedChannels);
        m_server.start(m_program, {QStringLiteral("-n"), QStringLiteral("--daemonize=no"),
                                   QStringLiteral("--exit-idle-time=-1"), QStringLiteral("--use-pid-file=no"),
                                   QStringLiteral("--disable-shm=true"), QStringLiteral("-L"),
                                   QString::fromStdString("module-native-protocol-unix auth-anonymous=1 socket=" +
                                                          m_socket)});
        if (!m_server.waitForStarted(5000))
            return;
        setenv("PULSE_SERVER", ("unix:" + m_socket).c_str(), 1);
        m_ready = th::test::waitUntil([&] { return pactl({QStringLiteral("info")}) == 0; }, 10s);
    }
    ~PulseServer()
    {
        if (m_server.state() != QProcess::NotRunning) {
            m_server.terminate();
            if (!m_server.waitForFinished(5000))
                m_server.kill();
            m_server.waitForFinished(2000);
        }
    }
    bool ready() const { return m_ready; }
    int pactl(const QStringList& args, QByteArray* out = nullptr)
    {
        QProcess p;
        p.start(QStringLiteral("pactl"), args);
        if (!p.waitForFinished(5000)) {
            p.kill();
            p.waitForFinished();
            return -1;
        }
        if (out)
            *out = p.readAllStandardOutput();
        return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    }

private:
    std::string m_socket;
    QString m_program;
    QProcess m_server;
    bool m_ready = false;
};

} // namespace

// The sound system is set up once per process, on its first use, and stays
// with the server it found then. So when the test that plays on a server of
// its own runs, that server is started before any test of the suite, and the
// tests without a sound output use it before it has a sink.
class AudioRendererTest : public ::testing::Test {
public:
    static void SetUpTestSuite()
    {
#if !defined(__SANITIZE_THREAD__)
        const ::testing::UnitTest* unit = ::testing::UnitTest::GetInstance();
        for (int i = 0; i < unit->total_test_suite_count(); ++i) {
            const ::testing::TestSuite* suite = unit->GetTestSuite(i);
            for (int j = 0; j < suite->total_test_count(); ++j) {
                const ::testing::TestInfo* info = suite->GetTestInfo(j);
                const std::string name = info->name();
                if (info->should_run() && (name == "PlaysOnASoundOutputThatAppearsWhileItRuns" ||
                                           name == "TakenDownWhilePlayingItRunsNoQueuedCallOfItsOwner")) {
                    pulseDir = std::make_unique<th::test::TempDir>();
                    pulse = std::make_unique<PulseServer>(pulseDir->path());
                }
            }
        }
#endif
    }
    static void TearDownTestSuite()
    {
        pulse.reset();
        pulseDir.reset();
    }

protected:
    static void NoSoundServer()
    {
        if (pulse && pulse->ready())
            return; // a server without sinks
        // No server to reach, and none started on demand.
        setenv("PULSE_SERVER", "unix:/nonexistent/pulse/native", 1);
    }

    static inline std::unique_ptr<th::test::TempDir> pulseDir;
    static inline std::unique_ptr<PulseServer> pulse;
};

TEST_F(AudioRendererTest, VolumeIsInHundredthsOfADecibelFromMinus10000To0)
{
    NoSoundServer();
    AudioGraph g;
    LONG v = 1;
    ASSERT_EQ(g.audio->get_Volume(&v), S_OK);
    EXPECT_EQ(v, 0);
    EXPECT_EQ(g.audio->put_Volume(-2500), S_OK);
    EXPECT_EQ(g.audio->put_Volume(-10001), E_INVALIDARG);
    EXPECT_EQ(g.audio->put_Volume(1), E_INVALIDARG);
    ASSERT_EQ(g.audio->get_Volume(&v), S_OK);
    EXPECT_EQ(v, -2500);
    EXPECT_EQ(g.audio->put_Volume(-10000), S_OK);
    EXPECT_EQ(g.audio->put_Volume(0), S_OK);
    EXPECT_EQ(g.audio->get_Volume(nullptr), E_POINTER);
}

TEST_F(AudioRendererTest, WithoutASoundOutputTheAudioIsConsumedAtThePaceOfTheClock)
{
    NoSoundServer();
    AudioGraph g;
    constexpr int lead = th::media::CAudioRenderer::kLeadMs;
    // Timed from just before the run, whose start the clock counts from.
    auto since = [](std::chrono::steady_clock::time_point t0) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    };
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(g.control->Run(), S_OK);
    // One second of timed audio cannot go faster than the clock: its last
    // 100 ms buffer is taken a lead's length before it is due.
    PushTone(g.source, 1.0, true);
    EXPECT_GE(since(t0), 900 - lead - 10);
    EXPECT_FALSE(g.Renderer()->Playing());
    // Untimed audio follows on from the previous buffer.
    EXPECT_GE(PushTone(g.source, 0.6, false).count(), 500 - lead - 10);
    // Times an hour away are taken up afresh, not waited for.
    EXPECT_LT(PushTone(g.source, 0.5, true, 3600 * UNITS).count(), 3000);
    ASSERT_EQ(g.control->Stop(), S_OK);
    // Stopped and run again: the clock starts again.
    t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(g.control->Run(), S_OK);
    PushTone(g.source, 0.5, true);
    EXPECT_GE(since(t0), 400 - lead - 10);
    ASSERT_EQ(g.control->Stop(), S_OK);
}

TEST_F(AudioRendererTest, StopDoesNotWaitForTheClock)
{
    NoSoundServer();
    AudioGraph g;
    ASSERT_EQ(g.control->Run(), S_OK);
    // Buffers stamped ten seconds ahead keep the renderer waiting on its
    // clock; stopping the source waits for its thread, which must leave the
    // renderer at once (the bound leaves room for a busy machine, far below
    // the ten seconds a wait on the clock would take).
    std::int64_t first = 0;
    std::atomic<int> pushed{0};
    ASSERT_TRUE(g.source->StartStreaming([&] {
        const std::vector<std::uint8_t> pcm = Tone(4800, first);
        Times t = AudioTimes(first, 4800);
        t.start += 10 * UNITS;
        t.stop += 10 * UNITS;
        first += 4800;
        ++pushed;
        return g.source->Push(pcm.data(), pcm.size(), t) == S_OK;
    }));
    th::test::waitUntil([&] { return pushed > 0; });
    std::this_thread::sleep_for(100ms);
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(g.control->Stop(), S_OK);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);
}

TEST_F(AudioRendererTest, OnlyPcmIsTaken)
{
    NoSoundServer();
    Graph g;
    ComPtr<IBaseFilter> renderer;
    ASSERT_EQ(CoCreateInstance(CLSID_DSoundRender, nullptr, CLSCTX_INPROC_SERVER,
                               IID_PPV_ARGS(renderer.ReleaseAndGetAddressOf())),
              S_OK);
    g.Add(renderer.Get(), u"Audio Renderer");
    CMediaType odd = PcmType();
    reinterpret_cast<WAVEFORMATEX*>(odd.Format())->nBlockAlign = 3;
    for (const CMediaType& type : {odd, DvVideoType()}) {
        PushSource* source = nullptr;
        ComPtr<IBaseFilter> filter = PushSource::Make(type, 65536, &source);
        g.Add(filter.Get(), nullptr);
        EXPECT_TRUE(FAILED(g.builder->RenderStream(nullptr, &type.majortype, filter.Get(), nullptr, renderer.Get())));
    }
}

TEST_F(AudioRendererTest, PlaysOnASoundOutputThatAppearsWhileItRuns)
{
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "libpulse is not built for ThreadSanitizer; the renderer's own threads are covered without it";
#endif
    if (!pulse || !pulse->ready())
        GTEST_SKIP() << "PulseAudio (pulseaudio, pactl, parec) is not available";

    AudioGraph g;
    ASSERT_EQ(g.control->Run(), S_OK);
    QCoreApplication::processEvents();
    // No output yet: quiet.
    PushTone(g.source, 0.3, true);
    EXPECT_FALSE(g.Renderer()->Playing());

    ASSERT_EQ(pulse->pactl({QStringLiteral("load-module"), QStringLiteral("module-null-sink"),
                           QStringLiteral("sink_name=thnull"), QStringLiteral("rate=48000")}),
              0);
    ASSERT_TRUE(th::test::waitUntil([&] { return g.Renderer()->Playing(); }, 10s));

    QProcess rec;
    rec.start(QStringLiteral("parec"), {QStringLiteral("-d"), QStringLiteral("thnull.monitor"),
                                        QStringLiteral("--raw"), QStringLiteral("--format=s16le"),
                                        QStringLiteral("--rate=48000"), QStringLiteral("--channels=2")});
    ASSERT_TRUE(rec.waitForStarted(5000));
    th::test::waitUntil([] { return false; }, 300ms);

    // The stream plays from a streaming thread while the main thread runs its loop.
    std::atomic<bool> done{false};
    std::thread pusher([&] {
        PushTone(g.source, 1.5, true, 300 * MILLISECONDS);
        done = true;
    });
    EXPECT_TRUE(th::test::waitUntil([&] { return done.load(); }, 10s));
    pusher.join();
    th::test::waitUntil([] { return false; }, 400ms);
    rec.terminate();
    rec.waitForFinished(5000);
    const QByteArray recorded = rec.readAllStandardOutput();

    // With nothing to play, and while muted, the output is suspended, so that
    // the sound server idles; it plays again as soon as there is sound.
    // An output taken down earlier may linger in the server for a moment, so
    // the renderer's output is corked when no stream of the server plays.
    const auto corked = [&] {
        QByteArray out;
        pulse->pactl({QStringLiteral("list"), QStringLiteral("sink-inputs")}, &out);
        return !out.contains("Corked: no");
    };
    EXPECT_TRUE(th::test::waitUntil(corked, 10s)) << "no samples";
    done = false;
    std::thread more([&] {
        PushTone(g.source, 4.0, false);
        done = true;
    });
    EXPECT_TRUE(th::test::waitUntil([&] { return !corked(); }, 10s)) << "samples again";
    EXPECT_TRUE(g.Renderer()->Playing());
    ASSERT_EQ(g.audio->put_Volume(-10000), S_OK);
    EXPECT_TRUE(th::test::waitUntil(corked, 10s)) << "muted";
    EXPECT_FALSE(g.Renderer()->Playing());
    ASSERT_EQ(g.audio->put_Volume(0), S_OK);
    EXPECT_TRUE(th::test::waitUntil([&] { return !corked() || done; }, 10s)) << "unmuted";
    EXPECT_FALSE(done.load()) << "the tone ended before it played again";
    th::test::waitUntil([&] { return done.load(); }, 10s);
    more.join();
    ASSERT_EQ(g.control->Stop(), S_OK);

    // The tone reached the sink: loud samples, at 440 Hz.
    const auto* s = reinterpret_cast<const std::int16_t*>(recorded.constData());
    const std::size_t n = static_cast<std::size_t>(recorded.size()) / 4;
    int peak = 0;
    std::size_t crossings = 0, loud = 0;
    for (std::size_t i = 1; i < n; ++i) {
        peak = std::max(peak, std::abs(static_cast<int>(s[2 * i])));
        if (std::abs(s[2 * i]) > 2000)
            ++loud;
        if ((s[2 * i - 2] < 0) != (s[2 * i] < 0))
            ++crossings;
    }
    EXPECT_GT(peak, 8000);
    EXPECT_LT(peak, 16000);
    // About a second of it, crossing zero 880 times a second.
    EXPECT_GT(loud, 48000u / 2);
    EXPECT_GT(crossings, 600u);
}

// A window closed right after Stop while the sound plays: the renderer goes
// from inside the window's destructor, where no queued call may run (Qt's
// sink runs the event loop as it is deleted).
TEST_F(AudioRendererTest, TakenDownWhilePlayingItRunsNoQueuedCallOfItsOwner)
{
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "libpulse is not built for ThreadSanitizer";
#endif
    if (!pulse || !pulse->ready())
        GTEST_SKIP() << "PulseAudio (pulseaudio, pactl, parec) is not available";
    ASSERT_EQ(pulse->pactl({QStringLiteral("load-module"), QStringLiteral("module-null-sink"),
                           QStringLiteral("sink_name=thdown"), QStringLiteral("rate=48000")}),
              0);
    auto g = std::make_unique<AudioGraph>();
    ASSERT_EQ(g->control->Run(), S_OK);
    std::thread pusher([&] { PushTone(g->source, 2.0, false); });
    EXPECT_TRUE(th::test::waitUntil([&] { return g->Renderer()->Playing(); }, 10s));
    th::test::waitUntil([] { return false; }, 300ms);
    bool ran = false;
    QObject owner;
    QMetaObject::invokeMethod(&owner, [&] { ran = true; }, Qt::QueuedConnection);
    EXPECT_EQ(g->control->Stop(), S_OK);
    pusher.join();
    g.reset();
    EXPECT_FALSE(ran) << "a queued call ran inside the renderer's teardown";
    EXPECT_TRUE(th::test::waitUntil([&] { return ran; }, 10s));
}
