// bench_dvdevice: the virtual camcorder into a Null Renderer.
//  1. Unthrottled (speed 0): frames per second the device delivers, played
//     from the start of the tape to its end several times over, against a
//     plain sequential read of the same frames of the same file in the same
//     run (the disk and page cache's own speed).
//  2. Real time (speed 1, 25 frames a second): the process's CPU time while
//     the device plays, as a share of one core.
// Targets: at least 2000 frames per second unthrottled; at most 2 % of a core
// at real time.
//
//   bench_dvdevice [--frames N] [--passes P] [--seconds S] [--dir FOLDER]
#include "bench/support/BenchUtil.h"
#include "platform/dshow/BuiltinClasses.h"
#include "platform/dshow/DShow.h"
#include "platform/dv/VirtualCamcorder.h"

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t kFrameSize = 144000;

double seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

struct Graph {
    ComPtr<IGraphBuilder> graph;
    ComPtr<IMediaControl> control;
    ComPtr<IBaseFilter> device;
    ComPtr<IAMExtTransport> transport;
    ComPtr<IAMDroppedFrames> counts;

    bool build()
    {
        if (FAILED(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                    graph.ReleaseAndGetVoidAddressOf())))
            return false;
        control = graph.As<IMediaControl>();
        ComPtr<ICreateDevEnum> devEnum;
        ComPtr<IEnumMoniker> monikers;
        ComPtr<IMoniker> moniker;
        if (FAILED(CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER, IID_ICreateDevEnum,
                                    devEnum.ReleaseAndGetVoidAddressOf()))
            || devEnum->CreateClassEnumerator(CLSID_VideoInputDeviceCategory, monikers.ReleaseAndGetAddressOf(), 0)
                   != S_OK
            || monikers->Next(1, moniker.ReleaseAndGetAddressOf(), nullptr) != S_OK
            || FAILED(moniker->BindToObject(nullptr, nullptr, IID_IBaseFilter, device.ReleaseAndGetVoidAddressOf())))
            return false;
        ComPtr<IBaseFilter> renderer;
        if (FAILED(CoCreateInstance(CLSID_NullRenderer, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                    renderer.ReleaseAndGetVoidAddressOf())))
            return false;
        graph->AddFilter(device.Get(), u"Device Filter");
        graph->AddFilter(renderer.Get(), u"Null Renderer");
        ComPtr<IPin> out, in;
        ComPtr<IEnumPins> pins;
        device->FindPin(u"DV A/V Out", out.ReleaseAndGetAddressOf());
        renderer->EnumPins(pins.ReleaseAndGetAddressOf());
        if (!out || !pins || pins->Next(1, in.ReleaseAndGetAddressOf(), nullptr) != S_OK)
            return false;
        if (FAILED(graph->ConnectDirect(out.Get(), in.Get(), nullptr)))
            return false;
        transport = device.As<IAMExtTransport>();
        counts = out.As<IAMDroppedFrames>();
        return transport && counts;
    }

    LONG mode()
    {
        LONG m = 0;
        transport->get_Mode(&m);
        return m;
    }

    LONG delivered()
    {
        LONG n = 0;
        counts->GetNumNotDropped(&n);
        return n;
    }

    LONG dropped()
    {
        LONG n = 0;
        counts->GetNumDropped(&n);
        return n;
    }

    void rewindToStart()
    {
        BYTE cmd[8] = {0x00, 0x20, 0x52, 0x20, 24, 0, 0, 0xFF}; // track 24: 00:00:00:00
        LONG length = 8;
        transport->GetTransportBasicParameters(ED_RAW_EXT_DEV_CMD, &length, reinterpret_cast<LPOLESTR*>(cmd));
    }
};

// Frames per second of reading the tape file frame by frame, as the device does.
double rawReadFps(const std::string& path, long frames, int passes)
{
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return 0;
    std::vector<unsigned char> buffer(kFrameSize);
    const auto t0 = Clock::now();
    long done = 0;
    for (int p = 0; p < passes; ++p)
        for (long i = 0; i < frames; ++i)
            if (pread(fd, buffer.data(), kFrameSize, static_cast<off_t>(i) * kFrameSize)
                == static_cast<ssize_t>(kFrameSize))
                ++done;
    const double s = seconds(Clock::now() - t0);
    close(fd);
    return s > 0 ? done / s : 0;
}

} // namespace

int main(int argc, char** argv)
{
    long frames = 750;
    int passes = 8;
    double realSeconds = 10;
    std::string dir = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp";
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--frames")
            frames = std::atol(argv[i + 1]);
        else if (a == "--passes")
            passes = std::atoi(argv[i + 1]);
        else if (a == "--seconds")
            realSeconds = std::atof(argv[i + 1]);
        else if (a == "--dir")
            dir = argv[i + 1];
    }
    if (frames < 25 || passes < 1 || realSeconds <= 0) {
        std::fprintf(stderr, "usage: bench_dvdevice [--frames N>=25] [--passes P] [--seconds S] [--dir FOLDER]\n");
        return 2;
    }

    std::string scratch = dir + "/bench_dvdevice.XXXXXX";
    if (!mkdtemp(scratch.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string tape = scratch + "/tape.dv";
    const std::string scene = "length=" + std::to_string(frames) + ",date=2003-06-15,time=14:00:00";
    if (th::bench::RunQuiet({th::bench::ProgramDir() + "/thtape", "--scene", scene, tape}) != 0) {
        std::fprintf(stderr, "bench_dvdevice: thtape could not make the tape\n");
        return 1;
    }
    CoInitialize(nullptr);
    th::dshow::RegisterBuiltinClasses();
    th::dv::startDevices();
    int status = 0;

    // --- 1. Unthrottled ---
    {
        th::dv::CamcorderSettings settings;
        settings.tapePath = tape;
        settings.speed = 0;
        settings.blankFrames = 0;
        std::string error;
        Graph g;
        if (!th::dv::configureCamcorder(settings, &error) || !g.build()) {
            std::fprintf(stderr, "bench_dvdevice: no device: %s\n", error.c_str());
            return 1;
        }
        const double reference = rawReadFps(tape, frames, passes);
        g.control->Run();
        const auto t0 = Clock::now();
        for (int p = 0; p < passes; ++p) {
            g.rewindToStart();
            g.transport->put_Mode(ED_MODE_PLAY);
            while (g.mode() != ED_MODE_STOP)
                std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        const double s = seconds(Clock::now() - t0);
        g.control->Stop();
        const double fps = g.delivered() / s;
        std::printf("unthrottled: %ld frames in %.3f s = %.0f frames/s (target >= 2000); "
                    "plain read of the same frames %.0f frames/s, ratio %.2f; dropped %ld\n",
                    static_cast<long>(g.delivered()), s, fps, reference, reference > 0 ? fps / reference : 0.0,
                    static_cast<long>(g.dropped()));
        if (fps < 2000)
            status = 1;
    }

    // --- 2. Real time ---
    {
        th::dv::CamcorderSettings settings;
        settings.tapePath = tape;
        settings.speed = 1;
        std::string error;
        Graph g;
        if (!th::dv::configureCamcorder(settings, &error) || !g.build()) {
            std::fprintf(stderr, "bench_dvdevice: no device: %s\n", error.c_str());
            return 1;
        }
        g.transport->put_Mode(ED_MODE_PLAY);
        g.control->Run();
        std::this_thread::sleep_for(std::chrono::milliseconds(200)); // past the start
        const LONG before = g.delivered();
        const double cpu0 = th::bench::CpuSeconds();
        const auto t0 = Clock::now();
        std::this_thread::sleep_for(std::chrono::duration<double>(realSeconds));
        const double cpu = th::bench::CpuSeconds() - cpu0;
        const double wall = seconds(Clock::now() - t0);
        const LONG got = g.delivered() - before;
        g.control->Stop();
        const double share = 100.0 * cpu / wall;
        std::printf("real time: %ld frames in %.2f s (%.2f frames/s), dropped %ld; CPU %.3f s = %.2f %% of one core "
                    "(target <= 2 %%)\n",
                    static_cast<long>(got), wall, got / wall, static_cast<long>(g.dropped()), cpu, share);
        if (share > 2)
            status = 1;
    }

    th::dv::removeCamcorder();
    unlink(tape.c_str());
    rmdir(scratch.c_str());
    return status;
}
