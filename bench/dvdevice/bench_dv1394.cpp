// bench_dv1394: the IEEE 1394 DV device over the simulated bus at real time
// (the simulated libraw1394 of the tests, its camcorder playing the test tape).
//  - CPU share of one core spent receiving packets and assembling frames:
//    the CPU time of the stream's receiving thread and of the thread that
//    takes the frames, over the wall time
//    (the simulated bus, the camcorder and the controller's DMA, runs on a
//    thread of its own and is reported apart, as the process's remainder);
//  - frames lost at real time.
// Targets: at most 1 % of a core; no frame lost.
//
//   bench_dv1394 [--seconds S]
// The program puts the simulated library first on the library path and
// starts itself again when it was not started that way.
#include "platform/dv/Ieee1394Device.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace {

double threadCpu()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

double processCpu()
{
    rusage r{};
    getrusage(RUSAGE_SELF, &r);
    return static_cast<double>(r.ru_utime.tv_sec + r.ru_stime.tv_sec)
           + static_cast<double>(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

} // namespace

int main(int argc, char** argv)
{
    double seconds = 5;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
            seconds = std::atof(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: bench_dv1394 [--seconds S (at most 5.5: the tape is 6 s long)]\n");
            return 2;
        }
    }
    if (!dlsym(RTLD_DEFAULT, "thsim1394_marker")) {
        if (std::getenv("THSIM1394_TAPE")) {
            std::fprintf(stderr, "bench_dv1394: the simulated bus did not load\n");
            return 1;
        }
        const char* old = std::getenv("LD_LIBRARY_PATH");
        const std::string path = std::string(TH_SIM1394_DIR) + (old && *old ? std::string(":") + old : "");
        setenv("LD_LIBRARY_PATH", path.c_str(), 1);
        setenv("THSIM1394_TAPE", TH_SIM1394_TAPE, 1);
        execv("/proc/self/exe", argv);
        std::perror("bench_dv1394: exec");
        return 1;
    }
    const auto found = th::dv::findFireWireCamcorders();
    if (found.empty()) {
        std::fprintf(stderr, "bench_dv1394: no camcorder on the simulated bus\n");
        return 1;
    }
    std::string error;
    auto device = th::dv::Ieee1394Device::open(found.front(), &error);
    auto stream = device ? device->openStream(&error) : nullptr;
    if (!stream || device->putMode(ED_MODE_PLAY) != S_OK) {
        std::fprintf(stderr, "bench_dv1394: %s\n", error.empty() ? "the deck does not play" : error.c_str());
        return 1;
    }
    std::vector<std::uint8_t> frame(device->frameSize());
    using Clock = std::chrono::steady_clock;
    // Timing starts with the first frame, so the deck's start is not measured.
    auto r = stream->next(frame, std::chrono::seconds(5));
    if (r.kind != th::dv::Ieee1394Stream::Result::Frame) {
        std::fprintf(stderr, "bench_dv1394: no frame came\n");
        return 1;
    }
    const Clock::time_point start = Clock::now();
    const double cpu0 = threadCpu() + stream->receiverCpuSeconds(), process0 = processCpu();
    long frames = 1, lost = 0;
    const std::int64_t firstSlot = r.slot;
    std::int64_t lastSlot = r.slot;
    while (Clock::now() - start < std::chrono::duration<double>(seconds)) {
        r = stream->next(frame, std::chrono::milliseconds(200));
        if (r.kind == th::dv::Ieee1394Stream::Result::Frame) {
            ++frames;
            lastSlot = r.slot;
        } else if (r.kind == th::dv::Ieee1394Stream::Result::Missed) {
            lost += r.count;
        }
    }
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpu = threadCpu() + stream->receiverCpuSeconds() - cpu0, process = processCpu() - process0;
    std::printf("real time over the simulated bus: %ld frames in %.2f s (%lld frame periods)\n", frames, wall,
                static_cast<long long>(lastSlot - firstSlot + 1));
    std::printf("receiving and assembling: %.3f s CPU = %.2f %% of one core (target <= 1 %%)\n", cpu,
                100.0 * cpu / wall);
    std::printf("the simulated bus and camcorder (reference, not ours): %.2f %% of one core\n",
                100.0 * (process - cpu) / wall);
    std::printf("frames lost: %ld (target 0)\n", lost);
    return 0;
}
