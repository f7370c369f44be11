// bench_dvmedia: on one thread, DV frames decoded into RGB24 DIBs per second
// at each display resolution, for 625/50 and 525/60 tapes, against libavcodec
// decoding the same frames at full size without any conversion (the
// reference, measured in the same run); and the media detector's
// milliseconds per 96 x 84 thumbnail of a random frame of a file past 1 GiB
// (target: 20 ms or less), with the time to open it.
//
//   bench_dvmedia [--frames N] [--thumbs N] [--dir FOLDER] [--no-mediadet]
#include "bench/support/BenchUtil.h"
#include "platform/dshow/BuiltinClasses.h"
#include "platform/dshow/DShow.h"
#include "platform/media/MediaClasses.h"
#include "platform/dv/DifLayout.h"
#include "platform/media/DVVideoDecoder.h"
#include "platform/media/FFmpegUtil.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Frame = std::vector<std::uint8_t>;

double secondsSince(Clock::time_point t0)
{
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// A tape of one-frame scenes in changing colours (so that no two frames are alike).
bool makeTape(const std::string& path, bool pal, int frames)
{
    std::vector<std::string> args = {std::string(TH_BIN_DIR) + "/thtape", pal ? "--pal" : "--ntsc"};
    const int scenes = std::min(frames, 4000);
    for (int k = 0; k < scenes; ++k) {
        char desc[160];
        const int len = frames / scenes + (k < frames % scenes ? 1 : 0);
        std::snprintf(desc, sizeof desc, "length=%d,date=2003-06-15,time=14:%02d:%02d,colour=#%02X%02X%02X", len,
                      (k / 60) % 60, k % 60, (k * 37) % 224 + 16, (k * 91) % 224 + 16, (k * 53) % 224 + 16);
        args.push_back("--scene");
        args.push_back(desc);
    }
    args.push_back(path);
    return th::bench::RunQuiet(args) == 0;
}

std::vector<Frame> readFrames(const std::string& path, std::size_t bytes)
{
    std::vector<Frame> frames;
    std::ifstream f(path, std::ios::binary);
    for (;;) {
        Frame fr(bytes);
        if (!f.read(reinterpret_cast<char*>(fr.data()), static_cast<std::streamsize>(bytes)))
            break;
        frames.push_back(std::move(fr));
    }
    return frames;
}

// libavcodec alone: full size, one thread, no conversion.
double referenceFps(const std::vector<Frame>& frames)
{
    const AVCodec* dv = avcodec_find_decoder(AV_CODEC_ID_DVVIDEO);
    th::media::AvCodecContextPtr c(avcodec_alloc_context3(dv));
    c->thread_count = 1;
    avcodec_open2(c.get(), dv, nullptr);
    th::media::AvPacketPtr pkt(av_packet_alloc());
    th::media::AvFramePtr pic(av_frame_alloc());
    std::vector<std::uint8_t> padded(150000 + AV_INPUT_BUFFER_PADDING_SIZE);
    const auto t0 = Clock::now();
    for (const Frame& fr : frames) {
        std::memcpy(padded.data(), fr.data(), fr.size());
        pkt->data = padded.data();
        pkt->size = static_cast<int>(fr.size());
        avcodec_send_packet(c.get(), pkt.get());
        avcodec_receive_frame(c.get(), pic.get());
        av_frame_unref(pic.get());
    }
    return static_cast<double>(frames.size()) / secondsSince(t0);
}

void decodeBench(const std::string& dir, bool pal, int frameCount)
{
    const std::string tape = dir + (pal ? "/bench-pal.dv" : "/bench-ntsc.dv");
    if (!makeTape(tape, pal, frameCount)) {
        std::printf("cannot make the %s tape\n", pal ? "PAL" : "NTSC");
        return;
    }
    const auto frames = readFrames(tape, pal ? th::dif::kFrameSizePal : th::dif::kFrameSizeNtsc);
    std::filesystem::remove(tape);
    const double ref = referenceFps(frames);
    std::printf("%s, %zu frames, one thread; reference (libavcodec, full size, no RGB): %.0f frames/s\n",
                pal ? "625/50" : "525/60", frames.size(), ref);
    std::vector<std::uint8_t> pixels(720 * 576 * 3);
    const struct {
        int value;
        const char* name;
    } resolutions[] = {{DVRESOLUTION_FULL, "FULL"}, {DVRESOLUTION_HALF, "HALF"}, {DVRESOLUTION_QUARTER, "QUARTER"},
                       {DVRESOLUTION_DC, "DC"}};
    for (const auto& r : resolutions) {
        th::media::DvPictureDecoder dec;
        th::media::DibLayout layout;
        dec.decode(frames[0].data(), frames[0].size(), r.value, pixels.data(), pixels.size(), &layout); // warm up
        const auto t0 = Clock::now();
        int failed = 0;
        for (const Frame& fr : frames)
            if (dec.decode(fr.data(), fr.size(), r.value, pixels.data(), pixels.size(), &layout) != S_OK)
                ++failed;
        const double fps = static_cast<double>(frames.size()) / secondsSince(t0);
        std::printf("  %-8s %3dx%-3d  %7.0f frames/s  %5.2fx reference  %s\n", r.name, layout.width, layout.height,
                    fps, fps / ref, failed ? "(frames failed!)" : "");
    }
}

void mediaDetBench(const std::string& dir, int thumbs)
{
    // 7600 PAL frames with their audio: just past 1 GiB, so the file has an AVIX extension.
    const std::string tape = dir + "/bench-long.dv";
    const std::string avi = dir + "/bench-long.avi";
    if (!makeTape(tape, true, 7600) ||
        th::bench::RunQuiet({"ffmpeg", "-nostdin", "-y", "-f", "dv", "-i", tape, "-c", "copy", avi}) != 0) {
        std::printf("cannot make the long file\n");
        return;
    }
    std::filesystem::remove(tape);
    const auto bytes = std::filesystem::file_size(avi);

    ComPtr<IMediaDet> det;
    if (FAILED(CoCreateInstance(CLSID_MediaDet, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&det)))) {
        std::printf("no media detector\n");
        return;
    }
    const std::u16string name = th::com::Utf8ToUtf16(avi);
    BSTR b = SysAllocString(name.c_str());
    auto t0 = Clock::now();
    const HRESULT hr = det->put_Filename(b);
    const double openMs = secondsSince(t0) * 1000;
    SysFreeString(b);
    double rate = 0;
    if (FAILED(hr) || FAILED(det->put_CurrentStream(0)) || FAILED(det->get_FrameRate(&rate)) || rate <= 0) {
        std::printf("cannot open the long file\n");
        return;
    }
    std::vector<char> buffer(40 + 96 * 3 * 84);
    std::mt19937 rng(1394);
    std::vector<double> ms;
    for (int i = 0; i < thumbs; ++i) {
        const int frame = static_cast<int>(rng() % 7600);
        t0 = Clock::now();
        LONG size = 0;
        det->GetBitmapBits(frame / rate, &size, nullptr, 96, 84);
        const HRESULT hb = det->GetBitmapBits(frame / rate, nullptr, buffer.data(), 96, 84);
        ms.push_back(secondsSince(t0) * 1000);
        if (FAILED(hb)) {
            std::printf("frame %d failed\n", frame);
            return;
        }
    }
    std::sort(ms.begin(), ms.end());
    double sum = 0;
    for (double v : ms)
        sum += v;
    std::printf("MediaDet, %.2f GiB OpenDML AVI (ffmpeg), opened in %.1f ms; %d random 96x84 thumbnails:\n",
                static_cast<double>(bytes) / (1 << 30), openMs, thumbs);
    std::printf("  mean %.2f ms  median %.2f ms  max %.2f ms per thumbnail  (target <= 20 ms: %s)\n",
                sum / static_cast<double>(ms.size()), ms[ms.size() / 2], ms.back(),
                sum / static_cast<double>(ms.size()) <= 20 ? "met" : "missed");
    std::filesystem::remove(avi);
}

} // namespace

int main(int argc, char** argv)
{
    th::dshow::RegisterBuiltinClasses();
    th::media::RegisterBuiltinClasses();
    int frames = 500;
    int thumbs = 200;
    bool mediadet = true;
    std::string dir = std::filesystem::temp_directory_path().string();
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--frames" && i + 1 < argc)
            frames = std::max(1, std::atoi(argv[++i]));
        else if (a == "--thumbs" && i + 1 < argc)
            thumbs = std::max(1, std::atoi(argv[++i]));
        else if (a == "--dir" && i + 1 < argc)
            dir = argv[++i];
        else if (a == "--no-mediadet")
            mediadet = false;
        else {
            std::printf("usage: bench_dvmedia [--frames N] [--thumbs N] [--dir FOLDER] [--no-mediadet]\n");
            return 2;
        }
    }
    decodeBench(dir, true, frames);
    decodeBench(dir, false, frames);
    if (mediadet)
        mediaDetBench(dir, thumbs);
    return 0;
}
