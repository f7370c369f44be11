// bench_avimux: how fast the AVI Mux and File Writer put a type-2 DV capture
// on disk, as a ratio of the raw sequential write speed of the same disk
// measured in the same run: the same bytes in the same chunk sizes, one
// write each, into a file in the same folder. Every timing includes flushing
// the file to the disk (fsync).
//
//   bench_avimux [--frames N] [--dir FOLDER] [--rounds R]
#include "bench/support/BenchDvTypes.h"
#include "platform/dshow/BaseClasses.h"
#include "platform/dshow/BuiltinClasses.h"
#include "platform/media/MediaClasses.h"
#include "platform/dshow/DShow.h"

#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr REFERENCE_TIME kFrame = 400000;
constexpr LONG kDvFrame = 144000;
constexpr LONG kAudioBytes = 7680; // 1920 stereo 16-bit samples at 48 kHz

// A source that hands the mux whole frames from a small pool of buffers,
// filled once, so that only the mux's and the writer's work is timed.
class BenchPin final : public CBaseOutputPin {
public:
    BenchPin(CBaseFilter* source, CCritSec* lock, HRESULT* hr, const CMediaType& type, LONG bytes)
        : CBaseOutputPin("bench output", source, lock, hr, u"Out"), m_type(type),
          m_bytes(bytes)
    {
    }
    HRESULT CheckMediaType(const CMediaType* type) override { return *type == m_type ? S_OK : S_FALSE; }
    HRESULT GetMediaType(int position, CMediaType* type) override
    {
        if (position != 0)
            return VFW_S_NO_MORE_ITEMS;
        *type = m_type;
        return S_OK;
    }
    HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* props) override
    {
        ALLOCATOR_PROPERTIES want{kBuffers, m_bytes, 1, 0}, actual{};
        (void)props;
        return allocator->SetProperties(&want, &actual);
    }
    HRESULT Push(REFERENCE_TIME t0, REFERENCE_TIME t1)
    {
        IMediaSample* s = nullptr;
        HRESULT hr = GetDeliveryBuffer(&s, nullptr, nullptr, 0);
        if (FAILED(hr))
            return hr;
        if (m_filled < kBuffers) {
            BYTE* p = nullptr;
            s->GetPointer(&p);
            for (LONG i = 0; i < m_bytes; ++i)
                p[i] = static_cast<BYTE>(i * 131 + m_filled);
            ++m_filled;
        }
        s->SetActualDataLength(m_bytes);
        s->SetTime(&t0, &t1);
        hr = Deliver(s);
        s->Release();
        return hr;
    }
    static constexpr LONG kBuffers = 4;

private:
    CMediaType m_type;
    LONG m_bytes;
    int m_filled = 0;
};

class BenchSource final : public CBaseFilter {
public:
    BenchSource(const CMediaType& type, LONG bytes, HRESULT* hr)
        : CBaseFilter("bench source", nullptr, &m_lock, GUID_NULL), m_pin(this, &m_lock, hr, type, bytes)
    {
    }
    int GetPinCount() override { return 1; }
    CBasePin* GetPin(int n) override { return n == 0 ? &m_pin : nullptr; }
    BenchPin& Pin() { return m_pin; }

private:
    CCritSec m_lock;
    BenchPin m_pin;
};

double Seconds(Clock::time_point a, Clock::time_point b)
{
    return std::chrono::duration<double>(b - a).count();
}

void Flush(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

// The same chunks, header and data, one write each.
double RawWrite(const std::string& path, int frames, std::uint64_t* bytes)
{
    std::vector<std::uint8_t> video(8 + kDvFrame, 1), audio(8 + kAudioBytes, 2);
    const auto t0 = Clock::now();
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return 0;
    *bytes = 0;
    for (int i = 0; i < frames; ++i) {
        *bytes += static_cast<std::uint64_t>(::write(fd, video.data(), video.size()));
        *bytes += static_cast<std::uint64_t>(::write(fd, audio.data(), audio.size()));
    }
    ::fsync(fd);
    ::close(fd);
    return Seconds(t0, Clock::now());
}

double MuxWrite(const std::string& path, int frames, std::uint64_t* bytes)
{
    ComPtr<IGraphBuilder> graph;
    ComPtr<ICaptureGraphBuilder2> builder;
    if (FAILED(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER,
                                IID_PPV_ARGS(graph.ReleaseAndGetAddressOf()))) ||
        FAILED(CoCreateInstance(CLSID_CaptureGraphBuilder2, nullptr, CLSCTX_INPROC_SERVER,
                                IID_PPV_ARGS(builder.ReleaseAndGetAddressOf()))))
        return 0;
    builder->SetFiltergraph(graph.Get());
    ComPtr<IBaseFilter> mux;
    ComPtr<IFileSinkFilter> sink;
    const std::u16string name = th::com::Utf8ToUtf16(path);
    if (FAILED(builder->SetOutputFileName(&MEDIASUBTYPE_Avi, name.c_str(), mux.ReleaseAndGetAddressOf(),
                                          sink.ReleaseAndGetAddressOf())))
        return 0;
    HRESULT hr = S_OK;
    auto* video = new BenchSource(th::bench::PalDvVideoType(), kDvFrame, &hr);
    auto* audio = new BenchSource(th::bench::PcmStereo48kType(), kAudioBytes, &hr);
    ComPtr<IBaseFilter> v, a;
    video->NonDelegatingQueryInterface(IID_IBaseFilter, reinterpret_cast<void**>(v.ReleaseAndGetAddressOf()));
    audio->NonDelegatingQueryInterface(IID_IBaseFilter, reinterpret_cast<void**>(a.ReleaseAndGetAddressOf()));
    graph->AddFilter(v.Get(), u"Video");
    graph->AddFilter(a.Get(), u"Audio");
    if (FAILED(builder->RenderStream(nullptr, &MEDIATYPE_Video, v.Get(), nullptr, mux.Get())) ||
        FAILED(builder->RenderStream(nullptr, &MEDIATYPE_Audio, a.Get(), nullptr, mux.Get())))
        return 0;
    ComPtr<IMediaControl> control;
    graph->QueryInterface(IID_PPV_ARGS(control.ReleaseAndGetAddressOf()));

    const auto t0 = Clock::now();
    control->Run();
    for (int i = 0; i < frames; ++i) {
        if (video->Pin().Push(i * kFrame, (i + 1) * kFrame) != S_OK ||
            audio->Pin().Push(i * kFrame, (i + 1) * kFrame) != S_OK) {
            std::fprintf(stderr, "bench_avimux: a write failed at frame %d\n", i);
            break;
        }
    }
    control->Stop();
    Flush(path);
    const double s = Seconds(t0, Clock::now());
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    *bytes = fd >= 0 ? static_cast<std::uint64_t>(::lseek(fd, 0, SEEK_END)) : 0;
    if (fd >= 0)
        ::close(fd);
    return s;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    th::dshow::RegisterBuiltinClasses();
    th::media::RegisterBuiltinClasses();
    int frames = 3000; // two minutes of PAL type-2 DV, 455 MB
    int rounds = 3;
    std::string dir = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp";
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string opt = argv[i];
        if (opt == "--frames")
            frames = std::max(1, std::atoi(argv[i + 1]));
        else if (opt == "--rounds")
            rounds = std::max(1, std::atoi(argv[i + 1]));
        else if (opt == "--dir")
            dir = argv[i + 1];
    }
    const std::string raw = dir + "/bench_avimux_raw.bin";
    const std::string avi = dir + "/bench_avimux.avi";
    std::vector<double> rawRates, muxRates;
    for (int r = 0; r < rounds; ++r) {
        std::uint64_t rawBytes = 0, muxBytes = 0;
        const double rawS = RawWrite(raw, frames, &rawBytes);
        const double muxS = MuxWrite(avi, frames, &muxBytes);
        ::unlink(raw.c_str());
        ::unlink(avi.c_str());
        if (rawS <= 0 || muxS <= 0) {
            std::fprintf(stderr, "bench_avimux: cannot write in %s\n", dir.c_str());
            return 1;
        }
        rawRates.push_back(rawBytes / rawS / 1e6);
        muxRates.push_back(muxBytes / muxS / 1e6);
        std::printf("round %d: raw %.1f MB/s, mux %.1f MB/s, ratio %.3f\n", r + 1, rawRates.back(), muxRates.back(),
                    muxRates.back() / rawRates.back());
    }
    std::sort(rawRates.begin(), rawRates.end());
    std::sort(muxRates.begin(), muxRates.end());
    const double rawMedian = rawRates[rawRates.size() / 2];
    const double muxMedian = muxRates[muxRates.size() / 2];
    std::printf("frames %d in %s: raw sequential write %.1f MB/s, AVI Mux + File Writer %.1f MB/s\n", frames,
                dir.c_str(), rawMedian, muxMedian);
    std::printf("ratio (mux / raw, medians): %.3f (target >= 0.9)\n", muxMedian / rawMedian);
    return 0;
}
