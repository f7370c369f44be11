// bench_thmux: how fast the AVI writer puts a DV capture on disk, as a ratio of
// the raw sequential write speed of the same disk measured in the same run
// (the same bytes in the same chunk sizes, one write each), and the same
// capture written by ffmpeg (-c copy into AVI) for reference. Every timing
// includes flushing the file to the disk.
//
//   bench_thmux [--frames N] [--dir FOLDER] [--rounds R]
#include "bench/support/BenchDvTypes.h"
#include "bench/support/BenchUtil.h"
#include "avi_writer/AviWriterCore.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr REFERENCE_TIME kFrame = 400000;
constexpr std::size_t kDvFrame = 144000;
constexpr std::size_t kAudioBytes = 7680; // 1920 stereo 16-bit samples at 48 kHz

class Sample final : public th::com::ComObject<IMediaSample> {
public:
    BYTE* data = nullptr;
    LONG size = 0;
    REFERENCE_TIME t0 = 0, t1 = 0;
    HRESULT GetPointer(BYTE** b) override { *b = data; return S_OK; }
    LONG GetSize() override { return size; }
    HRESULT GetTime(REFERENCE_TIME* a, REFERENCE_TIME* b) override { *a = t0; *b = t1; return S_OK; }
    HRESULT SetTime(REFERENCE_TIME*, REFERENCE_TIME*) override { return E_NOTIMPL; }
    HRESULT IsSyncPoint() override { return S_OK; }
    HRESULT SetSyncPoint(BOOL) override { return S_OK; }
    HRESULT IsPreroll() override { return S_FALSE; }
    HRESULT SetPreroll(BOOL) override { return S_OK; }
    LONG GetActualDataLength() override { return size; }
    HRESULT SetActualDataLength(LONG) override { return E_NOTIMPL; }
    HRESULT GetMediaType(AM_MEDIA_TYPE** t) override { *t = nullptr; return S_FALSE; }
    HRESULT SetMediaType(AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    HRESULT IsDiscontinuity() override { return S_FALSE; }
    HRESULT SetDiscontinuity(BOOL) override { return S_OK; }
    HRESULT GetMediaTime(LONGLONG*, LONGLONG*) override { return VFW_E_MEDIA_TIME_NOT_SET; }
    HRESULT SetMediaTime(LONGLONG*, LONGLONG*) override { return E_NOTIMPL; }
};

void SyncFile(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

std::vector<std::vector<BYTE>> ReadFrames(const std::string& path, int count)
{
    std::vector<std::vector<BYTE>> frames;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return frames;
    std::vector<BYTE> frame(kDvFrame);
    while (static_cast<int>(frames.size()) < count && std::fread(frame.data(), 1, frame.size(), f) == frame.size())
        frames.push_back(frame);
    std::fclose(f);
    return frames;
}

// The same chunks as the writer's movie data, one write each, then flushed.
double RawSeconds(const std::string& path, const std::vector<std::vector<BYTE>>& frames)
{
    std::vector<BYTE> chunk(kDvFrame + 8), audio(kAudioBytes + 8, 0);
    const auto start = Clock::now();
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return -1;
    for (const auto& f : frames) {
        std::memcpy(chunk.data() + 8, f.data(), f.size());
        if (write(fd, chunk.data(), chunk.size()) != static_cast<ssize_t>(chunk.size()))
            return -1;
        if (write(fd, audio.data(), audio.size()) != static_cast<ssize_t>(audio.size()))
            return -1;
    }
    fsync(fd);
    close(fd);
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double WriterSeconds(const std::string& path, std::vector<std::vector<BYTE>>& frames)
{
    StdWriterLock lock;
    AviWriterCore w(lock);
    // Type-2 DV, PAL, 48 kHz stereo, recorded from the connections as the pins do.
    w.RecordMediaFormat(th::bench::PalDvVideoType());
    w.RecordMediaFormat(th::bench::PcmStereo48kType());
    AviPinState video;
    AviAudioPinState audio;
    std::vector<BYTE> pcm(kAudioBytes, 0);
    ComPtr<Sample> v = th::com::MakeCom<Sample>();
    ComPtr<Sample> a = th::com::MakeCom<Sample>();
    const auto start = Clock::now();
    w.SetNextFileName(path);
    w.Arm(true);
    REFERENCE_TIME t = 0;
    for (auto& f : frames) {
        v->data = f.data();
        v->size = static_cast<LONG>(f.size());
        v->t0 = t;
        v->t1 = t + kFrame;
        if (w.ReceiveVideo(video, v.Get()) != S_OK)
            return -1;
        a->data = pcm.data();
        a->size = static_cast<LONG>(pcm.size());
        a->t0 = t;
        a->t1 = t + kFrame;
        if (w.ReceiveAudio(audio, a.Get()) != S_OK)
            return -1;
        t += kFrame;
    }
    w.CloseFile();
    SyncFile(path);
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double FfmpegSeconds(const std::string& tape, const std::string& out)
{
    const auto start = Clock::now();
    if (th::bench::RunQuiet({"ffmpeg", "-hide_banner", "-loglevel", "error", "-nostdin", "-y", "-f", "dv", "-i", tape, "-c",
             "copy", "-f", "avi", out}) != 0)
        return -1;
    SyncFile(out);
    return std::chrono::duration<double>(Clock::now() - start).count();
}

} // namespace

int main(int argc, char** argv)
{
    int frames = 3000;
    int rounds = 3;
    std::string dir = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp";
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--frames")
            frames = std::atoi(argv[i + 1]);
        else if (a == "--dir")
            dir = argv[i + 1];
        else if (a == "--rounds")
            rounds = std::atoi(argv[i + 1]);
    }
    const std::string tape = dir + "/bench_thmux_tape.dv";
    const std::string raw = dir + "/bench_thmux_raw.bin";
    const std::string avi = dir + "/bench_thmux_writer.avi";
    const std::string ref = dir + "/bench_thmux_ffmpeg.avi";
    char desc[128];
    std::snprintf(desc, sizeof desc, "length=%d,date=2003-06-15,time=14:22:05", frames);
    if (th::bench::RunQuiet({th::bench::ProgramDir() + "/thtape", "--scene", desc, tape}) != 0) {
        std::fprintf(stderr, "bench_thmux: cannot make the DV tape with %s/thtape\n", th::bench::ProgramDir().c_str());
        return 1;
    }
    auto dv = ReadFrames(tape, frames);
    if (dv.empty()) {
        std::fprintf(stderr, "bench_thmux: no frames in %s\n", tape.c_str());
        return 1;
    }
    const double bytes = static_cast<double>(dv.size()) * (kDvFrame + 8 + kAudioBytes + 8);
    std::vector<double> rawS, writerS, ffS;
    for (int r = 0; r < rounds; ++r) {
        rawS.push_back(RawSeconds(raw, dv));
        writerS.push_back(WriterSeconds(avi, dv));
        ffS.push_back(FfmpegSeconds(tape, ref));
        unlink(raw.c_str());
        unlink(avi.c_str());
        unlink(ref.c_str());
    }
    unlink(tape.c_str());
    const double rawT = th::bench::Median(rawS), wT = th::bench::Median(writerS), fT = th::bench::Median(ffS);
    if (rawT <= 0 || wT <= 0) {
        std::fprintf(stderr, "bench_thmux: a write failed in %s\n", dir.c_str());
        return 1;
    }
    const double mb = bytes / 1e6;
    std::printf("frames: %zu (%.1f MB of movie data), median of %d rounds, flushed to disk\n", dv.size(), mb, rounds);
    std::printf("raw sequential write: %8.1f MB/s\n", mb / rawT);
    std::printf("thmux writer:         %8.1f MB/s  ratio to raw %.2f (target >= 0.90)\n", mb / wT, rawT / wT);
    if (fT > 0)
        std::printf("ffmpeg -c copy, AVI:  %8.1f MB/s  ratio to raw %.2f\n", mb / fT, rawT / fT);
    else
        std::printf("ffmpeg -c copy, AVI:  not available\n");
    std::printf("realtime PAL DV needs %.1f MB/s\n", (kDvFrame + kAudioBytes + 16) * 25 / 1e6);
    return 0;
}
