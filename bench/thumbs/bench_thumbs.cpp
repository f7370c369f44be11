// bench_thumbs: how long the Capture page takes per thumbnail when it rebuilds
// its scenes list from one capture file: a frame grabber grabs the first frame
// of each scene at the list's image size and the list view frames it. The
// reference is ffmpeg making the same thumbnails, one run per thumbnail
// (-ss T -frames:v 1 -s 96x84), measured in the same run on the same file.
//
//   bench_thumbs [--minutes M] [--scenes N] [--rounds R] [--dir FOLDER] [--keep]
//
// The capture (M minutes of PAL DV, N scenes of equal length, default 20 and
// 100) is made with the tape maker and put into an AVI file by ffmpeg; it is
// removed at the end unless --keep is given.
#include "bench/support/BenchUtil.h"
#include "app/TlmScnLV.h"
#include "capture/TlmFrmGrb.h"
#include "platform/rtl/SysUtils.h"

#include <QApplication>
#include <QDir>
#include <QFile>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

int Usage()
{
    std::fprintf(stderr, "usage: bench_thumbs [--minutes M] [--scenes N] [--rounds R] [--dir FOLDER] [--keep]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    int minutes = 20, scenes = 100, rounds = 3;
    bool keep = false;
    std::string dir = QDir::tempPath().toStdString();
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--keep")
            keep = true;
        else if (i + 1 < argc && a == "--minutes")
            minutes = std::atoi(argv[++i]);
        else if (i + 1 < argc && a == "--scenes")
            scenes = std::atoi(argv[++i]);
        else if (i + 1 < argc && a == "--rounds")
            rounds = std::atoi(argv[++i]);
        else if (i + 1 < argc && a == "--dir")
            dir = argv[++i];
        else
            return Usage();
    }
    if (minutes < 1 || scenes < 1 || rounds < 1)
        return Usage();

    const std::string tape = dir + "/bench_thumbs.dv";
    const std::string avi = dir + "/bench_thumbs.avi";
    const std::string raw = dir + "/bench_thumbs.raw";
    const long long totalFrames = 25LL * 60 * minutes;
    const long long sceneFrames = totalFrames / scenes;
    if (sceneFrames < 1)
        return Usage();

    // The capture: scenes of equal length, each in the tape maker's next colour.
    std::vector<std::string> make{th::bench::ProgramDir() + "/thtape"};
    for (int i = 0; i < scenes; ++i) {
        char desc[128];
        std::snprintf(desc, sizeof desc, "length=%lld,date=2003-06-15,time=%02d:%02d:%02d", sceneFrames,
                      8 + i / 60 % 12, i % 60, (i * 7) % 60);
        make.push_back("--scene");
        make.push_back(desc);
    }
    make.push_back(tape);
    std::printf("making %d min of PAL DV in %d scenes ...\n", minutes, scenes);
    std::fflush(stdout);
    if (th::bench::RunQuiet(make) != 0 || th::bench::RunQuiet({"ffmpeg", "-loglevel", "error", "-y", "-f", "dv", "-i", tape, "-c", "copy", avi}) != 0) {
        std::fprintf(stderr, "bench_thumbs: cannot make the capture in %s (thtape, ffmpeg)\n", dir.c_str());
        return 1;
    }
    std::remove(tape.c_str());

    std::vector<long long> starts;
    for (int i = 0; i < scenes; ++i)
        starts.push_back(i * sceneFrames);

    // Ours: one grabber per rebuild, as the Capture page makes it.
    TTlmScenesListView view;
    std::vector<double> ours;
    try {
        for (int r = 0; r < rounds; ++r) {
            const auto t0 = Clock::now();
            view.Clear();
            TTlmFramesGrabber grabber;
            grabber.BitmapWidth = view.ImageList()->Width();
            grabber.BitmapHeight = view.ImageList()->Height();
            for (long long start : starts) {
                QImage bitmap;
                if (grabber.GrabFrame(QString::fromStdString(avi), bitmap, start))
                    view.AddScene(QString::number(start), bitmap);
            }
            ours.push_back(Ms(Clock::now() - t0) / scenes);
        }
    } catch (const Exception& e) {
        std::fprintf(stderr, "bench_thumbs: %s\n", e.what());
        return 1;
    }
    if (view.count() != scenes) {
        std::fprintf(stderr, "bench_thumbs: %d of %d thumbnails made\n", view.count(), scenes);
        return 1;
    }

    // ffmpeg: one process per thumbnail.
    std::vector<double> reference;
    for (int r = 0; r < rounds; ++r) {
        const auto t0 = Clock::now();
        for (long long start : starts) {
            char at[32];
            std::snprintf(at, sizeof at, "%.3f", double(start) / 25.0);
            if (th::bench::RunQuiet({"ffmpeg", "-loglevel", "error", "-y", "-ss", at, "-i", avi, "-frames:v", "1", "-s", "96x84", "-f",
                     "rawvideo", "-pix_fmt", "bgr24", raw}) != 0) {
                std::fprintf(stderr, "bench_thumbs: ffmpeg failed at %s s\n", at);
                return 1;
            }
        }
        reference.push_back(Ms(Clock::now() - t0) / scenes);
    }
    std::remove(raw.c_str());
    if (!keep)
        std::remove(avi.c_str());

    const double a = th::bench::Median(ours), b = th::bench::Median(reference);
    std::printf("thumbnails: %d from one %d-minute capture, %d rounds (median)\n", scenes, minutes, rounds);
    std::printf("  frame grabber + scenes list: %8.2f ms per thumbnail (best %.2f)  target <= 20 ms: %s\n", a,
                *std::min_element(ours.begin(), ours.end()), a <= 20 ? "met" : "missed");
    std::printf("  ffmpeg -ss T -frames:v 1 -s 96x84: %8.2f ms per thumbnail (best %.2f)\n", b,
                *std::min_element(reference.begin(), reference.end()));
    std::printf("  ratio ffmpeg / ours: %.2f\n", a > 0 ? b / a : 0.0);
    return 0;
}
