// bench_capture: the capture engine on the virtual camcorder.
//
// 1. A PAL tape of `--minutes` minutes in scenes of two minutes, played as
//    fast as the graph takes it, captured into one type-2 AVI file with scene
//    detection and a thumbnail per scene: frames per second, and CPU time per
//    frame (the whole process: device, splitter, decoder, mux, writer).
// 2. When ffmpeg is installed: ffmpeg remuxing the same DV stream into one
//    type-2 AVI file, as the reference; the ratio of the two speeds.
// 3. The floor of a capture with preview, measured here: libavcodec decoding
//    every frame of the same tape at a quarter of its size.
// 4. The main window at real time (25 frames/s) for `--realtime` seconds,
//    `--runs` times: a type-2 capture with the preview shown on an X server
//    and its sound played on a PulseAudio null sink (both started here when
//    they can be), with the settings the window gives them. The CPU time of
//    the program, of the X server and of the sound server, as shares of one
//    core, and their sum against the floor. After each run, when ffplay is
//    installed, the reference: a player showing the same tape at the same
//    size with its sound on the same servers, and the run against it.
// 5. The Capture Setup page idle: the tape stopped and the preview muted.
// 6. A disk that takes no write for five seconds during a capture at real
//    time: the frames lost, and the write-behind queue's worst fill.
//
//   bench_capture [--minutes N] [--realtime S] [--runs N] [--dir FOLDER] [--tape FILE]
//
// The tape is made with the tape maker beside this program (or taken from
// --tape when that file exists); everything written goes to --dir (default
// $TMPDIR) and is removed afterwards. --minutes 0 leaves out 1 and 2.
#include "bench/support/BenchUtil.h"
#include "app/Main.h"
#include "capture/TlmDVCap.h"

#include "platform/dv/VirtualCamcorder.h"
#include "platform/start/PlatformStart.h"
#include "platform/riff/RiffFile.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QEventLoop>
#include <QStackedWidget>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <signal.h>
#include <sstream>
#include <string>
#include <thread>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

bool OnPath(const char* program)
{
    const char* path = std::getenv("PATH");
    if (!path)
        return false;
    const QStringList dirs = QString::fromLocal8Bit(path).split(':', Qt::SkipEmptyParts);
    for (const QString& d : dirs)
        if (QFileInfo(d + "/" + program).isExecutable())
            return true;
    return false;
}

bool Wait(const std::function<bool()>& done, double seconds)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > seconds * 1000)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(2);
    }
    return true;
}

// CPU seconds (user and system) of another process; -1 when it cannot be read.
double ProcessCpuSeconds(pid_t pid)
{
    if (pid <= 0)
        return -1;
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos)
        return -1;
    std::istringstream fields(text.substr(close + 2));
    std::string f;
    long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> f; ++i) {
        if (i == 14)
            utime = std::atoll(f.c_str());
        if (i == 15)
            stime = std::atoll(f.c_str());
    }
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

std::string LoadAverage()
{
    std::ifstream in("/proc/loadavg");
    std::string a, b, c;
    in >> a >> b >> c;
    return a + " " + b + " " + c;
}

// A server of the bench's own, ended with it.
struct Server {
    pid_t pid = -1;
    ~Server() { stop(); }
    bool start(const std::vector<std::string>& args, const std::vector<std::pair<std::string, std::string>>& env = {})
    {
        std::vector<char*> argv;
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        std::fflush(nullptr);
        pid = fork();
        if (pid < 0)
            return false;
        if (pid == 0) {
            for (const auto& [k, v] : env)
                setenv(k.c_str(), v.c_str(), 1);
            if (!std::freopen("/dev/null", "w", stdout) || !std::freopen("/dev/null", "w", stderr))
                _exit(126);
            execvp(argv[0], argv.data());
            _exit(127);
        }
        return true;
    }
    void stop()
    {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
            pid = -1;
        }
    }
};

// The three processes a user's capture with preview keeps busy.
struct Load {
    pid_t program = -1; // another program measured in place of this one
    pid_t x = -1, sound = -1;
    double self0 = 0, x0 = 0, sound0 = 0;
    QElapsedTimer wall;
    double programSeconds() const { return program > 0 ? ProcessCpuSeconds(program) : th::bench::CpuSeconds(); }
    void begin()
    {
        self0 = programSeconds();
        x0 = ProcessCpuSeconds(x);
        sound0 = ProcessCpuSeconds(sound);
        wall.start();
    }
    // Shares of one core, in per cent: program, X server, sound server.
    std::array<double, 3> end() const
    {
        const double s = wall.nsecsElapsed() / 1e9;
        const double xs = ProcessCpuSeconds(x), ss = ProcessCpuSeconds(sound);
        return {(programSeconds() - self0) / s * 100, xs < 0 ? -1 : (xs - x0) / s * 100,
                ss < 0 ? -1 : (ss - sound0) / s * 100};
    }
};

double Sum(const std::array<double, 3>& a)
{
    return a[0] + std::max(0.0, a[1]) + std::max(0.0, a[2]);
}

// CPU time of libavcodec decoding every frame of the tape at a quarter of its
// size, as a share of one core at 25 frames/s.
double DecodeFloor(const QString& tape, int frames)
{
    QFile f(tape);
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const AVCodec* dv = avcodec_find_decoder(AV_CODEC_ID_DVVIDEO);
    AVCodecContext* c = dv ? avcodec_alloc_context3(dv) : nullptr;
    if (!c)
        return -1;
    c->lowres = 2;
    c->thread_count = 1;
    AVPacket* packet = av_packet_alloc();
    AVFrame* picture = av_frame_alloc();
    if (avcodec_open2(c, dv, nullptr) < 0 || !packet || !picture)
        return -1;
    std::vector<std::uint8_t> buffer(144000 + AV_INPUT_BUFFER_PADDING_SIZE);
    int done = 0;
    const double cpu0 = th::bench::CpuSeconds();
    while (done < frames && f.read(reinterpret_cast<char*>(buffer.data()), 144000) == 144000) {
        packet->data = buffer.data();
        packet->size = 144000;
        if (avcodec_send_packet(c, packet) == 0 && avcodec_receive_frame(c, picture) == 0)
            ++done;
        av_frame_unref(picture);
    }
    const double cpu = th::bench::CpuSeconds() - cpu0;
    av_frame_free(&picture);
    av_packet_free(&packet);
    avcodec_free_context(&c);
    return done > 0 ? cpu / done * 25 * 100 : -1;
}

// The write-behind queue alone, fed as a type-2 capture feeds it (a frame and
// its sound every 40 ms) while the disk takes no write for five seconds: its
// worst fill, and whether the feeding ever waited.
void QueueDuringAStall(const QString& folder)
{
    const QString gate = folder + "/queue-held";
    qputenv(th::riff::kHoldWritesVariable, gate.toUtf8());
    th::riff::File file;
    if (file.Create((folder + "/queue.bin").toStdString()) != 0) {
        std::printf("  queue: cannot create its file\n");
        return;
    }
    const std::vector<std::uint8_t> frame(144008, 0x5A), sound(7688, 0x33);
    double longestCall = 0;
    const auto period = std::chrono::milliseconds(40);
    auto next = std::chrono::steady_clock::now();
    for (int i = 0; i < 25 * 8; ++i) {
        if (i == 25)
            QFile(gate).open(QIODevice::WriteOnly);
        if (i == 25 * 6)
            QFile::remove(gate);
        const auto t0 = std::chrono::steady_clock::now();
        file.Append(frame.data(), frame.size());
        file.Append(sound.data(), sound.size());
        longestCall = std::max(longestCall, std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
        next += period;
        std::this_thread::sleep_until(next);
    }
    QFile::remove(gate);
    qunsetenv(th::riff::kHoldWritesVariable);
    file.Close();
    std::printf("  write-behind queue, fed at 25 frames/s through a 5 s stall: worst fill %.1f MB of %.1f MB, "
                "longest write call %.1f ms\n",
                file.PeakQueued() / 1e6, th::riff::File::kQueueBytes / 1e6, longestCall);
    QFile::remove(folder + "/queue.bin");
}

// Plugs in a camcorder that plays the tape at `speed`; false (with the
// reason on standard error) when it cannot.
bool PlugCamcorder(const QString& tape, double speed, std::int64_t blankFrames = -1)
{
    th::dv::CamcorderSettings settings;
    settings.tapePath = tape.toStdString();
    settings.speed = speed;
    settings.blankFrames = blankFrames;
    std::string error;
    if (th::dv::configureCamcorder(settings, &error))
        return true;
    std::fprintf(stderr, "camcorder: %s\n", error.c_str());
    return false;
}

// Runs the event loop for that long, as the program's own loop does, so that
// the bench itself adds no polling to what is measured.
void RunFor(double seconds)
{
    QEventLoop loop;
    QTimer::singleShot(static_cast<int>(seconds * 1000), &loop, &QEventLoop::quit);
    loop.exec();
}

// A player of the user's showing the same tape as the preview does (a quarter
// of its size, one decoding thread) with its sound on the same X and sound
// servers, measured for that long after its start-up; the player's share is
// -1 when ffplay is not installed or ended before, and 0 when it did nothing.
std::array<double, 3> PlayerReference(const QString& tape, double seconds, Load load)
{
    Server player;
    if (!OnPath("ffplay") || qgetenv("DISPLAY").isEmpty() ||
        !player.start({"ffplay", "-hide_banner", "-loglevel", "error", "-lowres", "2", "-threads", "1", "-f", "dv",
                       tape.toStdString()},
                      {{"SDL_AUDIODRIVER", "pulseaudio"}}))
        return {-1, -1, -1};
    RunFor(5);
    load.program = player.pid;
    load.begin();
    RunFor(seconds);
    std::array<double, 3> shares = load.end();
    if (waitpid(player.pid, nullptr, WNOHANG) != 0) {
        player.pid = -1;
        shares[0] = -1;
    }
    return shares;
}

struct Counts {
    std::atomic<int> frames{0};
    std::atomic<int> pictures{0};
};

void Watch(TTlmDVCapture& dv, Counts& c)
{
    dv.OnCaptureProgress = [&c](BYTE, BYTE, BYTE, BYTE, BYTE, int) { ++c.frames; };
    dv.OnNewScene = [&c](const QImage& bmp, BYTE, BYTE, BYTE, BYTE, BYTE, int) {
        const QImage kept = bmp.copy(); // as the wizard's handler does
        (void)kept;
        ++c.pictures;
    };
}

// The component set for a type-2 capture into one file, started by the bench.
void SetUpType2(TTlmDVCapture& dv, Counts& c, const QString& file)
{
    Watch(dv, c);
    dv.SetAutoStart(false);
    dv.SetFileName(file);
    dv.SetCaptureMode(cmDVType2);
}

} // namespace

int main(int argc, char** argv)
{
    int minutes = 20;
    int realtimeSeconds = 30;
    int runs = 3;
    QString dir = QDir::tempPath();
    QString tape;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--minutes" && i + 1 < argc)
            minutes = std::atoi(argv[++i]);
        else if (a == "--realtime" && i + 1 < argc)
            realtimeSeconds = std::atoi(argv[++i]);
        else if (a == "--runs" && i + 1 < argc)
            runs = std::max(1, std::atoi(argv[++i]));
        else if (a == "--dir" && i + 1 < argc)
            dir = argv[++i];
        else if (a == "--tape" && i + 1 < argc)
            tape = argv[++i];
        else {
            std::fprintf(stderr, "usage: bench_capture [--minutes N] [--realtime S] [--runs N] [--dir FOLDER] "
                                 "[--tape FILE]\n");
            return 2;
        }
    }
    // A line at a time, so that a bench run can be watched (and its phases sampled) as it goes.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    QDir work(dir);
    const QString folder = work.filePath(QString("bench_capture-%1").arg(getpid()));
    if (!QDir().mkpath(folder)) {
        std::fprintf(stderr, "cannot make %s\n", qPrintable(folder));
        return 1;
    }
    std::printf("load average at the start: %s (%ld cores)\n", LoadAverage().c_str(), sysconf(_SC_NPROCESSORS_ONLN));

    // An X server and a sound server of our own, so that their work is
    // measured with the program's; a display given from outside is used as it
    // is, its server not measured.
    Load load;
    Server xvfb, pulse;
    if (qgetenv("DISPLAY").isEmpty() && OnPath("Xvfb")) {
        const int display = 90 + getpid() % 100;
        if (xvfb.start({"Xvfb", ":" + std::to_string(display), "-screen", "0", "1280x1024x24", "-nolisten", "tcp"})) {
            const QString socket = QString("/tmp/.X11-unix/X%1").arg(display);
            QElapsedTimer t;
            t.start();
            while (!QFile::exists(socket) && t.elapsed() < 10000)
                QThread::msleep(20);
            qputenv("DISPLAY", QByteArray(":") + QByteArray::number(display));
            load.x = xvfb.pid;
        }
    }
    if (!qgetenv("DISPLAY").isEmpty() && qgetenv("QT_QPA_PLATFORM").isEmpty())
        qputenv("QT_QPA_PLATFORM", "xcb");
    if (qgetenv("QT_QPA_PLATFORM").isEmpty())
        qputenv("QT_QPA_PLATFORM", "offscreen");
    const std::string pulseDir = (folder + "/pulse").toStdString();
    QDir().mkpath(QString::fromStdString(pulseDir));
    if (OnPath("pulseaudio") &&
        pulse.start({"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
                     "--disable-shm=true", "-L",
                     "module-native-protocol-unix auth-anonymous=1 socket=" + pulseDir + "/native", "-L",
                     "module-null-sink sink_name=bench rate=48000", "-L", "module-suspend-on-idle"},
                    {{"HOME", pulseDir}, {"PULSE_RUNTIME_PATH", pulseDir}, {"XDG_RUNTIME_DIR", pulseDir}})) {
        qputenv("PULSE_SERVER", QByteArray("unix:") + QByteArray::fromStdString(pulseDir) + "/native");
        QElapsedTimer t;
        t.start();
        while (th::bench::RunQuiet({"pactl", "info"}) != 0 && t.elapsed() < 10000)
            QThread::msleep(50);
        load.sound = pulse.pid;
    }
    QApplication app(argc, argv);
    // Before the first camcorder is plugged: the platform's first start sets
    // the camcorder from the environment, which would unplug this bench's.
    th::platform::Start();
    std::printf("display: %s (%s), sound: %s\n", qgetenv("QT_QPA_PLATFORM").constData(),
                load.x > 0 ? "an Xvfb of our own" : qgetenv("DISPLAY").isEmpty() ? "none" : "given, not measured",
                load.sound > 0 ? "a PulseAudio null sink of our own" : "none");

    const int sceneMinutes = 2;
    // Long enough for every real-time part.
    const int tapeMinutes = std::max(minutes, (runs * (realtimeSeconds + 5) + 60) / 60 + 1);
    const int scenes = (tapeMinutes + sceneMinutes - 1) / sceneMinutes;
    const int totalFrames = std::max(1, minutes) * 60 * 25;
    bool ownTape = false;
    if (tape.isEmpty() || !QFile::exists(tape)) {
        if (tape.isEmpty())
            tape = folder + "/tape.dv";
        ownTape = tape.startsWith(folder);
        std::vector<std::string> args{th::bench::ProgramDir() + "/thtape"};
        int left = tapeMinutes * 60 * 25;
        for (int sc = 0; sc < scenes; ++sc) {
            const int frames = std::min(left, sceneMinutes * 60 * 25);
            left -= frames;
            // A new recording date every scene, a day apart.
            args.push_back("--scene");
            args.push_back(QString::asprintf("length=%d,date=2003-06-%02d,time=10:00:00", frames, 1 + sc).toStdString());
        }
        args.push_back(tape.toStdString());
        std::printf("making a %d-minute PAL tape of %d scenes...\n", tapeMinutes, scenes);
        std::fflush(stdout);
        if (th::bench::RunQuiet(args) != 0) {
            std::fprintf(stderr, "the tape maker failed\n");
            return 1;
        }
    }

    int status = 0;
    // --- 1. The engine at unlimited speed ---------------------------------------------------
    double engineFps = 0;
    if (minutes > 0) {
        if (!PlugCamcorder(tape, 0, 25))
            return 1;
        TTlmDVCapture dv;
        Counts counts;
        SetUpType2(dv, counts, folder + "/capture.avi");
        try {
            dv.SetActive(true);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "the capture graph cannot be built: %s\n", e.what());
            return 1;
        }
        if (!dv.Active()) {
            std::fprintf(stderr, "no DV device\n");
            return 1;
        }
        QElapsedTimer wall;
        const double cpu0 = th::bench::CpuSeconds();
        wall.start();
        dv.Start();
        dv.TransportPlay();
        const bool done =
            Wait([&] { return counts.frames >= totalFrames && dv.GetTransportState() == tsStop; }, 3600);
        dv.Stop();
        const double seconds = wall.nsecsElapsed() / 1e9;
        const double cpu = th::bench::CpuSeconds() - cpu0;
        dv.SetActive(false);
        th::dv::removeCamcorder();
        if (!done) {
            std::fprintf(stderr, "the capture did not finish (%d of %d frames)\n", int(counts.frames), totalFrames);
            status = 1;
        }
        engineFps = counts.frames / seconds;
        std::printf("engine, unlimited speed, one type-2 file, scene detection and thumbnails:\n");
        std::printf("  %d frames, %d scenes, %d thumbnails in %.2f s: %.1f frames/s (%.1f x real time)\n",
                    int(counts.frames), scenes, int(counts.pictures), seconds, engineFps, engineFps / 25.0);
        std::printf("  CPU %.3f ms per frame (%.2f s in all)\n", cpu * 1000 / std::max(1, int(counts.frames)), cpu);
        QFile::remove(folder + "/capture.avi");
        QFile::remove(folder + "/capture.thf");
    }

    // --- 2. The reference ----------------------------------------------------------------------
    if (minutes <= 0) {
    } else if (OnPath("ffmpeg")) {
        const QString out = folder + "/reference.avi";
        QElapsedTimer wall;
        const double cpu0 = th::bench::ChildCpuSeconds();
        wall.start();
        const int rc = th::bench::RunQuiet({"ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "dv", "-i",
                                            tape.toStdString(), "-c", "copy", "-f", "avi", out.toStdString()});
        const double seconds = wall.nsecsElapsed() / 1e9;
        const double cpu = th::bench::ChildCpuSeconds() - cpu0;
        if (rc != 0) {
            std::printf("ffmpeg (reference): failed with exit status %d; reference not available\n", rc);
        } else {
            const double fps = totalFrames / seconds;
            std::printf("ffmpeg (reference), the same DV stream remuxed into one type-2 file:\n");
            std::printf("  %d frames in %.2f s: %.1f frames/s; CPU %.3f ms per frame\n", totalFrames, seconds, fps,
                        cpu * 1000 / totalFrames);
            std::printf("  engine / ffmpeg speed: %.2f\n", engineFps / fps);
        }
        QFile::remove(out);
    } else {
        std::printf("ffmpeg: reference not available\n");
    }

    // --- 3. The floor ---------------------------------------------------------------------------
    std::vector<double> floors;
    for (int r = 0; r < runs; ++r)
        floors.push_back(DecodeFloor(tape, 1500));
    const double floor = th::bench::Median(floors);
    std::printf("floor: libavcodec decoding every frame at a quarter of its size: %.2f %% of one core "
                "(median of %d)\n", floor, runs);

    // --- 4. The main window at real time with the preview and its sound ---------------------------
    if (realtimeSeconds > 0) {
        std::vector<double> totals, programs, xs, sounds, ratios, serverRatios, playerRatios;
        for (int r = 0; r < runs; ++r) {
            // Measured again beside each run: a machine shared with others
            // runs everything slower at times, the floor as much as the rest.
            const double runFloor = DecodeFloor(tape, 750);
            if (!PlugCamcorder(tape, 1))
                return 1;
            TMainForm form;
            form.PageControl->setCurrentWidget(form.CaptureTab);
            form.show();
            TTlmDVCapture& dv = *form.DVCapture;
            dv.OnCaptureProgress = [&form](BYTE Day, BYTE Month, BYTE Hour, BYTE Min, BYTE Sec, int Year) {
                form.CaptureProgress(Day, Month, Hour, Min, Sec, Year);
            };
            const auto frameCount = [&form] { return int(form.FProgressCount); };
            dv.SetFileName(folder + "/realtime.avi");
            dv.SetPreviewWindow(form.PreviewWindow);
            dv.SetSceneDetection(sdSingleFile);
            dv.SetCaptureMode(cmDVType2wPreview);
            try {
                dv.SetActive(true);
            } catch (const std::exception& e) {
                std::printf("real time with preview: the graph cannot be built here (%s)\n", e.what());
                break;
            }
            if (!dv.Active())
                break;
            dv.Start();
            dv.TransportPlay();
            Wait([&] { return frameCount() > 25; }, 10); // past the start-up
            const int frames0 = frameCount();
            load.begin();
            RunFor(realtimeSeconds);
            const auto shares = load.end();
            const int frames = frameCount() - frames0;
            int dropped = 0, notDropped = 0;
            dv.GetFrameCounts(dropped, notDropped);
            dv.Stop();
            dv.SetActive(false);
            Wait([] { return false; }, 0.5); // the sound output closes on the main thread
            th::dv::removeCamcorder();
            QFile::remove(folder + "/realtime.avi");
            QFile::remove(folder + "/realtime.thf");
            static const char* const kResolution[] = {"full", "half", "quarter", "DC"};
            std::printf("real time, run %d: the main window, a type-2 capture with the preview at %s size and its "
                        "sound: %d frames, %d dropped\n",
                        r + 1, kResolution[std::clamp(int(dv.DVResolution()), 0, 3)], frames, dropped);
            std::printf("  program %.2f %%, X server %.2f %%, sound server %.2f %%: %.2f %% of one core, %.2f x the "
                        "floor of %.2f %% measured just before\n",
                        shares[0], shares[1], shares[2], Sum(shares), runFloor > 0 ? Sum(shares) / runFloor : 0,
                        runFloor);
            if (runFloor > 0)
                ratios.push_back(Sum(shares) / runFloor);
            programs.push_back(shares[0]);
            xs.push_back(shares[1]);
            sounds.push_back(shares[2]);
            totals.push_back(Sum(shares));
            if (runFloor > 0 && shares[1] >= 0 && shares[2] >= 0)
                serverRatios.push_back((shares[1] + shares[2]) / runFloor);

            const auto player = PlayerReference(tape, realtimeSeconds, load);
            if (player[0] <= 0) {
                std::printf("  the reference, a player showing the same tape: not available (ffplay)\n");
                continue;
            }
            std::printf("  the reference, a player (ffplay) showing the same tape at quarter size with its sound: player "
                        "%.2f %%, X server %.2f %%, sound server %.2f %%: %.2f %%; this run against it: %.2f x\n",
                        player[0], player[1], player[2], Sum(player), Sum(shares) / Sum(player));
            playerRatios.push_back(Sum(shares) / Sum(player));
        }
        if (!totals.empty()) {
            std::printf("real time, median of %zu: program %.2f %%, X server %.2f %%, sound server %.2f %%, together "
                        "%.2f %%; against the floor measured beside each run: %.2f x (target: at most 1.5 x)\n",
                        totals.size(), th::bench::Median(programs), th::bench::Median(xs), th::bench::Median(sounds),
                        th::bench::Median(totals), ratios.empty() ? 0 : th::bench::Median(ratios));
            // What the servers take is out of the program's hands, and the
            // program itself does the floor's work for its preview.
            if (!serverRatios.empty())
                std::printf("  of that, the X server and the sound server alone: %.2f x the floor (median)\n",
                            th::bench::Median(serverRatios));
            if (!playerRatios.empty())
                std::printf("  against the player showing the same tape beside each run: %.2f x (median)\n",
                            th::bench::Median(playerRatios));
        }
    }

    // --- 5. The Capture Setup page, idle -------------------------------------------------------------
    {
        if (PlugCamcorder(tape, 1)) {
            TMainForm form;
            form.FProject = TTHProject::CreateNew(folder + "/Projects/", QStringLiteral("Idle"));
            form.FProject->CaptureJob = true;
            form.show();
            form.PageControl->setCurrentWidget(form.CaptureSetupTab);
            form.EnterCaptureSetupPage();
            form.CaptureSetupTabShow();
            Wait([] { return false; }, 3); // settled: the preview runs, muted, the tape stopped
            std::vector<double> totals;
            const auto shown = [&form] {
                const QWidget* w = form.findChild<QWidget*>(QStringLiteral("VideoRendererWindow"));
                return w ? w->property("framesShown").toInt() : 0;
            };
            for (int r = 0; r < runs; ++r) {
                const int shown0 = shown();
                load.begin();
                RunFor(10);
                const auto shares = load.end();
                totals.push_back(Sum(shares));
                std::printf("Capture Setup page idle, run %d: program %.2f %%, X server %.2f %%, sound server %.2f %%: "
                            "%.2f %% (%d frames shown, the deck %s)\n",
                            r + 1, shares[0], shares[1], shares[2], Sum(shares), shown() - shown0,
                            form.DVCapture->GetTransportState() == tsStop ? "stopped" : "not stopped");
            }
            std::printf("Capture Setup page idle, median: %.2f %% of one core (target: under 0.5 %%)\n",
                        th::bench::Median(totals));
            form.LeaveCaptureSetupPage();
        }
        th::dv::removeCamcorder();
    }

    // --- 6. A disk that stalls for five seconds ------------------------------------------------------
    {
        std::printf("a disk that takes no write for 5 s:\n");
        QueueDuringAStall(folder);
        if (PlugCamcorder(tape, 1)) {
            TTlmDVCapture dv;
            Counts counts;
            SetUpType2(dv, counts, folder + "/stalled.avi");
            try {
                dv.SetActive(true);
                const QString gate = folder + "/disk-held";
                qputenv(th::riff::kHoldWritesVariable, gate.toUtf8());
                dv.Start();
                dv.TransportPlay();
                Wait([&] { return counts.frames >= 50; }, 20);
                QFile(gate).open(QIODevice::WriteOnly);
                Wait([] { return false; }, 5);
                QFile::remove(gate);
                Wait([] { return false; }, 5);
                int dropped = 0, notDropped = 0;
                dv.GetFrameCounts(dropped, notDropped);
                dv.Stop();
                qunsetenv(th::riff::kHoldWritesVariable);
                std::printf("  a type-2 capture at real time through it: %d frames, %d dropped (target: none)\n",
                            notDropped, dropped);
            } catch (const std::exception& e) {
                std::printf("  the capture graph cannot be built: %s\n", e.what());
            }
            dv.SetActive(false);
        }
        th::dv::removeCamcorder();
    }

    std::printf("load average at the end: %s\n", LoadAverage().c_str());
    if (ownTape)
        QFile::remove(tape);
    QDir(folder).removeRecursively();
    return status;
}
