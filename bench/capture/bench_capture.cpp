// bench_capture: the capture engine on the virtual camcorder.
//
// 1. A PAL tape of `--minutes` minutes in scenes of two minutes, played as
//    fast as the graph takes it, captured into one type-2 AVI file with scene
//    detection and a thumbnail per scene: frames per second, and CPU time per
//    frame (the whole process: device, splitter, decoder, mux, writer).
// 2. When ffmpeg is installed: ffmpeg remuxing the same DV stream into one
//    type-2 AVI file, as the reference (the least any capture must do with
//    the stream: read it and write it into an AVI file); the ratio of the two
//    speeds is printed. Otherwise "reference not available".
// 3. The camcorder at real time (25 frames/s) for `--realtime` seconds, on
//    the main window's own component and video window with the settings the
//    window gives them, a type-2 capture with preview: the CPU load as a share
//    of one core.
//
//   bench_capture [--minutes N] [--realtime S] [--dir FOLDER] [--tape FILE]
//
// The tape is made with the tape maker beside this program (or taken from
// --tape when that file exists); everything written goes to --dir (default
// $TMPDIR) and is removed afterwards.
#include "bench/support/BenchUtil.h"
#include "app/Main.h"
#include "capture/TlmDVCap.h"

#include "platform/dv/VirtualCamcorder.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QStackedWidget>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
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

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    int minutes = 20;
    int realtimeSeconds = 30;
    QString dir = QDir::tempPath();
    QString tape;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--minutes" && i + 1 < argc)
            minutes = std::atoi(argv[++i]);
        else if (a == "--realtime" && i + 1 < argc)
            realtimeSeconds = std::atoi(argv[++i]);
        else if (a == "--dir" && i + 1 < argc)
            dir = argv[++i];
        else if (a == "--tape" && i + 1 < argc)
            tape = argv[++i];
        else {
            std::fprintf(stderr, "usage: bench_capture [--minutes N] [--realtime S] [--dir FOLDER] [--tape FILE]\n");
            return 2;
        }
    }
    if (minutes < 1)
        minutes = 1;
    const int sceneMinutes = 2;
    const int scenes = (minutes + sceneMinutes - 1) / sceneMinutes;
    const int totalFrames = minutes * 60 * 25;

    QDir work(dir);
    const QString folder = work.filePath(QString("bench_capture-%1").arg(getpid()));
    if (!QDir().mkpath(folder)) {
        std::fprintf(stderr, "cannot make %s\n", qPrintable(folder));
        return 1;
    }
    bool ownTape = false;
    if (tape.isEmpty() || !QFile::exists(tape)) {
        if (tape.isEmpty())
            tape = folder + "/tape.dv";
        ownTape = tape.startsWith(folder);
        std::vector<std::string> args{th::bench::ProgramDir() + "/thtape"};
        int left = totalFrames;
        for (int s = 0; s < scenes; ++s) {
            const int frames = std::min(left, sceneMinutes * 60 * 25);
            left -= frames;
            // A new recording date every scene, a day apart.
            args.push_back("--scene");
            args.push_back(QString::asprintf("length=%d,date=2003-06-%02d,time=10:00:00", frames, 1 + s).toStdString());
        }
        args.push_back(tape.toStdString());
        std::printf("making a %d-minute PAL tape of %d scenes...\n", minutes, scenes);
        std::fflush(stdout);
        if (th::bench::RunQuiet(args) != 0) {
            std::fprintf(stderr, "the tape maker failed\n");
            return 1;
        }
    }

    int status = 0;
    // --- 1. The engine at unlimited speed ---------------------------------------------------
    double engineFps = 0;
    {
        th::dv::CamcorderSettings settings;
        settings.tapePath = tape.toStdString();
        settings.speed = 0;
        settings.blankFrames = 25;
        std::string error;
        if (!th::dv::configureCamcorder(settings, &error)) {
            std::fprintf(stderr, "camcorder: %s\n", error.c_str());
            return 1;
        }
        TTlmDVCapture dv;
        Counts counts;
        Watch(dv, counts);
        dv.SetAutoStart(false);
        dv.SetFileName(folder + "/capture.avi");
        dv.SetCaptureMode(cmDVType2);
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
    if (OnPath("ffmpeg")) {
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

    // --- 3. Real time with the preview ---------------------------------------------------------
    if (realtimeSeconds > 0) {
        th::dv::CamcorderSettings settings;
        settings.tapePath = tape.toStdString();
        settings.speed = 1;
        std::string error;
        if (!th::dv::configureCamcorder(settings, &error)) {
            std::fprintf(stderr, "camcorder: %s\n", error.c_str());
            return 1;
        }
        // The main window's own component and video window, with the settings
        // the window gives them, in the mode of a type-2 capture with preview;
        // the window's own handler counts the frames.
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
            realtimeSeconds = 0;
        }
        if (realtimeSeconds > 0 && dv.Active()) {
            dv.Start();
            dv.TransportPlay();
            Wait([&] { return frameCount() > 0; }, 10); // past the start-up
            QElapsedTimer wall;
            const double cpu0 = th::bench::CpuSeconds();
            const int frames0 = frameCount();
            wall.start();
            Wait([] { return false; }, realtimeSeconds);
            const double seconds = wall.nsecsElapsed() / 1e9;
            const double cpu = th::bench::CpuSeconds() - cpu0;
            const int frames = frameCount() - frames0;
            int dropped = 0, notDropped = 0;
            dv.GetFrameCounts(dropped, notDropped);
            dv.Stop();
            static const char* const kResolution[] = {"full", "half", "quarter", "DC"};
            std::printf("the main window's engine, real time, type-2 file with the preview decoded at %s size:\n",
                        kResolution[std::clamp(int(dv.DVResolution()), 0, 3)]);
            std::printf("  %d frames in %.1f s (%.1f frames/s), %d dropped; CPU %.1f %% of one core "
                        "(target: at most 8 %%)\n",
                        frames, seconds, frames / seconds, dropped, cpu / seconds * 100);
        }
        dv.SetActive(false);
        th::dv::removeCamcorder();
        QFile::remove(folder + "/realtime.avi");
        QFile::remove(folder + "/realtime.thf");
    }

    if (ownTape)
        QFile::remove(tape);
    QDir(folder).removeRecursively();
    return status;
}
