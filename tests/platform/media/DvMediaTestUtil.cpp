#include "DvMediaTestUtil.h"

#include "support/TestUtil.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sys/wait.h>
#include <unistd.h>

namespace dvtest {

namespace {

// Runs a program with plain fork and exec, its output collected. Not
// QProcess: Qt starts children with a clone that shares the parent's memory,
// after which ThreadSanitizer loses track of the parent's locks.
int runCommand(const std::string& program, const std::vector<std::string>& args, std::string* out)
{
    int fds[2];
    if (::pipe(fds) != 0)
        return -1;
    std::vector<std::string> all = {program};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(fds[1], 1);
        ::dup2(fds[1], 2);
        ::close(fds[0]);
        ::close(fds[1]);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(fds[1]);
    if (pid < 0) {
        ::close(fds[0]);
        return -1;
    }
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fds[0], buf, sizeof buf)) > 0)
        if (out && out->size() < 65536)
            out->append(buf, static_cast<std::size_t>(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

bool makeTape(const std::vector<std::string>& args, const std::string& output)
{
    std::vector<std::string> all = args;
    all.push_back(output);
    std::string out;
    const int status = runCommand(th::test::binDir() + "/thtape", all, &out);
    EXPECT_EQ(status, 0) << out;
    return status == 0;
}

Rgb paletteColour(int k)
{
    static const int levels[4] = {16, 96, 176, 240};
    const int i = k % kPaletteSize;
    return {levels[i % 4], levels[(i / 4) % 4], levels[(i / 16) % 4]};
}

bool makeColourTape(bool pal, bool twelveBit, int frames, const std::string& output)
{
    // One scene per frame, each in its own colour. On the command line: a
    // scene file would read '#' as the start of a comment.
    std::vector<std::string> args = {pal ? "--pal" : "--ntsc", "--audio", twelveBit ? "32k12" : "48k16"};
    for (int k = 0; k < frames; ++k) {
        const Rgb c = paletteColour(k);
        char desc[160];
        std::snprintf(desc, sizeof desc, "length=1,date=2003-06-15,time=14:%02d:%02d,colour=#%02X%02X%02X,tone=%d",
                      (k / 60) % 60, k % 60, c.r, c.g, c.b, 200 + (k % 40) * 100);
        args.push_back("--scene");
        args.push_back(desc);
    }
    return makeTape(args, output);
}

std::vector<Frame> readFrames(const std::string& path, std::size_t frameBytes)
{
    std::vector<Frame> frames;
    std::ifstream f(path, std::ios::binary);
    for (;;) {
        Frame fr(frameBytes);
        if (!f.read(reinterpret_cast<char*>(fr.data()), static_cast<std::streamsize>(frameBytes)))
            break;
        frames.push_back(std::move(fr));
    }
    return frames;
}

void writeFrames(const std::string& path, const std::vector<Frame>& frames)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    for (const Frame& fr : frames)
        f.write(reinterpret_cast<const char*>(fr.data()), static_cast<std::streamsize>(fr.size()));
}

bool setAudio(Frame& frame, th::dif::System system, int hz, th::dif::Quantization q, bool locked,
              const std::vector<std::int16_t>& first, int samples)
{
    th::dif::FrameInfo info;
    info.system = system;
    info.timecode = th::dif::parseTimecodePack(frame.data() + 80 + 6).value_or(th::dif::Timecode{});
    info.recorded = th::dif::readRecordingDateTime(frame.data(), frame.size());
    info.audio.frequencyHz = hz;
    info.audio.quantization = q;
    info.audio.locked = locked;
    info.audio.samples = samples;
    if (!th::dif::writeFrameInfo(frame.data(), frame.size(), info))
        return false;
    return th::dif::writeAudioSamples(frame.data(), frame.size(), system, q, first.data(), samples);
}

ReferenceAudio referenceAudio(const std::string& path)
{
    ReferenceAudio ref;
    AVFormatContext* fmt = nullptr;
    if (avformat_open_input(&fmt, path.c_str(), av_find_input_format("dv"), nullptr) < 0)
        return ref;
    ref.opened = true;
    AVPacket* pkt = av_packet_alloc();
    int audioIndex = -1;
    while (av_read_frame(fmt, pkt) >= 0) {
        const AVStream* st = fmt->streams[pkt->stream_index];
        if (st->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) {
            if (audioIndex < 0)
                audioIndex = pkt->stream_index;
            if (pkt->stream_index == audioIndex) {
                ref.rate = st->codecpar->sample_rate;
                const auto k = static_cast<std::size_t>(pkt->pts);
                if (ref.frames.size() <= k)
                    ref.frames.resize(k + 1);
                auto& dst = ref.frames[k];
                dst.resize(static_cast<std::size_t>(pkt->size) / 2);
                for (std::size_t i = 0; i < dst.size(); ++i)
                    dst[i] = static_cast<std::int16_t>(pkt->data[2 * i] | pkt->data[2 * i + 1] << 8);
            }
        }
        av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
    avformat_close_input(&fmt);
    return ref;
}

bool runFfmpeg(const std::vector<std::string>& args)
{
    std::vector<std::string> all = {"-nostdin", "-hide_banner", "-loglevel", "error", "-y"};
    all.insert(all.end(), args.begin(), args.end());
    std::string out;
    const int status = runCommand("ffmpeg", all, &out);
    EXPECT_EQ(status, 0) << out;
    return status == 0;
}

// --- Frame source ------------------------------------------------------------------------------

namespace {
const CLSID kFrameSourceClsid = MakeGuid("3B8E2C10-5A41-4E7B-9D21-6A0F3C4D5E01");
const CLSID kRecordingSinkClsid = MakeGuid("3B8E2C10-5A41-4E7B-9D21-6A0F3C4D5E02");

template <class T>
ComPtr<IBaseFilter> asFilter(T* obj)
{
    ComPtr<IBaseFilter> f;
    obj->NonDelegatingQueryInterface(IID_IBaseFilter, f.ReleaseAndGetVoidAddressOf());
    return f;
}
} // namespace

CMediaType interleavedType(const Frame& frame)
{
    CMediaType t;
    t.majortype = MEDIATYPE_Interleaved;
    t.subtype = MEDIASUBTYPE_dvsd;
    t.formattype = FORMAT_DvInfo;
    t.bFixedSizeSamples = TRUE;
    t.lSampleSize = static_cast<ULONG>(frame.size());
    DVINFO info{};
    auto packData = [&](std::size_t at) {
        return static_cast<DWORD>(frame[at + 1] | frame[at + 2] << 8 | frame[at + 3] << 16 |
                                  static_cast<DWORD>(frame[at + 4]) << 24);
    };
    // The AAUX source pack of DIF sequence 0 (audio block 3) and the VAUX source pack, two packs before the date pack at 458.
    const std::size_t aaux = static_cast<std::size_t>(th::dif::blockOffset(
                                 th::dif::readSystem(frame.data(), frame.size()), 0, th::dif::Section::Audio, 3)) +
                             3;
    info.dwDVAAuxSrc = packData(aaux);
    info.dwDVVAuxSrc = packData(448);
    t.SetFormat(reinterpret_cast<const BYTE*>(&info), sizeof info);
    return t;
}

FrameSourcePin::FrameSourcePin(FrameSource* filter, CCritSec* lock, HRESULT* hr)
    : CBaseOutputPin("Frame source pin", filter, lock, hr, u"Out"), m_source(filter)
{
}

HRESULT FrameSourcePin::CheckMediaType(const CMediaType* type)
{
    return th::dshow::SameMediaType(*type, m_source->m_type) ? S_OK : S_FALSE;
}

HRESULT FrameSourcePin::GetMediaType(int position, CMediaType* type)
{
    if (position < 0)
        return E_INVALIDARG;
    if (position > 0)
        return VFW_S_NO_MORE_ITEMS;
    return type->Set(m_source->m_type);
}

HRESULT FrameSourcePin::DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* props)
{
    ALLOCATOR_PROPERTIES want = *props;
    want.cBuffers = std::max<LONG>(want.cBuffers, 4);
    want.cbBuffer = std::max<LONG>(want.cbBuffer, 150000);
    ALLOCATOR_PROPERTIES actual{};
    return allocator->SetProperties(&want, &actual);
}

FrameSource::FrameSource(std::vector<Frame> frames, const CMediaType& type, REFERENCE_TIME frameTime)
    : CBaseFilter("Frame Source", nullptr, &m_lock, kFrameSourceClsid), m_pin(this, &m_lock, nullptr),
      m_frames(std::move(frames)), m_type(type), m_frameTime(frameTime)
{
}

FrameSource::~FrameSource()
{
    m_thread.Stop([this] {
        if (IMemAllocator* a = m_pin.Allocator())
            a->Decommit();
    });
}

ComPtr<IBaseFilter> FrameSource::Make(std::vector<Frame> frames, const CMediaType& type, REFERENCE_TIME frameTime,
                                      FrameSource** self)
{
    auto* s = new FrameSource(std::move(frames), type, frameTime);
    if (self)
        *self = s;
    return asFilter(s);
}

HRESULT FrameSource::Run(REFERENCE_TIME start)
{
    const HRESULT hr = CBaseFilter::Run(start);
    if (FAILED(hr) || !m_pin.IsConnected())
        return hr;
    {
        std::lock_guard<std::mutex> g(m_mutex);
        m_results.clear();
    }
    if (!m_thread.Start("frame-source", [this] { push(); }, ComPtr<IUnknown>(GetOwner())))
        return E_OUTOFMEMORY;
    return hr;
}

HRESULT FrameSource::Stop()
{
    m_thread.Stop([this] {
        if (IMemAllocator* a = m_pin.Allocator())
            a->Decommit();
    });
    return CBaseFilter::Stop();
}

std::vector<HRESULT> FrameSource::Results()
{
    std::lock_guard<std::mutex> g(m_mutex);
    return m_results;
}

void FrameSource::push()
{
    for (std::size_t i = 0; i < m_frames.size(); ++i) {
        if (m_thread.StopRequested())
            return;
        if (i > 0 && interval.count() > 0 && !m_thread.WaitFor(interval))
            return;
        IMediaSample* sample = nullptr;
        if (FAILED(m_pin.GetDeliveryBuffer(&sample, nullptr, nullptr, 0)))
            return;
        BYTE* data = nullptr;
        sample->GetPointer(&data);
        const Frame& fr = m_frames[i];
        const std::size_t n = std::min(fr.size(), static_cast<std::size_t>(sample->GetSize()));
        std::memcpy(data, fr.data(), n);
        sample->SetActualDataLength(static_cast<LONG>(n));
        REFERENCE_TIME start = static_cast<REFERENCE_TIME>(i) * m_frameTime;
        REFERENCE_TIME stop = start + m_frameTime;
        sample->SetTime(&start, &stop);
        LONGLONG ms = static_cast<LONGLONG>(i), me = static_cast<LONGLONG>(i) + 1;
        sample->SetMediaTime(&ms, &me);
        const HRESULT hr = m_pin.Deliver(sample);
        sample->Release();
        std::lock_guard<std::mutex> g(m_mutex);
        m_results.push_back(hr);
    }
    m_pin.DeliverEndOfStream();
}

// --- Recording sink --------------------------------------------------------------------------------

RecordingPin::RecordingPin(RecordingSink* filter, CCritSec* lock, HRESULT* hr)
    : CBaseInputPin("Recording pin", filter, lock, hr, u"In"), m_sink(filter)
{
}

HRESULT RecordingPin::CheckMediaType(const CMediaType* type)
{
    if (!(m_sink->m_major == GUID_NULL) && !(type->majortype == m_sink->m_major))
        return S_FALSE;
    if (!(m_sink->m_refused == GUID_NULL) && type->subtype == m_sink->m_refused)
        return S_FALSE;
    return S_OK;
}

HRESULT RecordingPin::Receive(IMediaSample* sample)
{
    Recorded r;
    AM_MEDIA_TYPE* attached = nullptr;
    if (sample->GetMediaType(&attached) == S_OK && attached) {
        r.typeAttached = true;
        r.attached = *attached;
        th::dshow::DeleteMediaType(attached);
    }
    const HRESULT hr = CBaseInputPin::Receive(sample);
    if (hr != S_OK)
        return hr;
    BYTE* data = nullptr;
    sample->GetPointer(&data);
    r.data.assign(data, data + sample->GetActualDataLength());
    r.timeResult = sample->GetTime(&r.start, &r.stop);
    r.mediaResult = sample->GetMediaTime(&r.mediaStart, &r.mediaStop);
    {
        CAutoLock lock(m_pLock);
        r.connection = m_mt;
    }
    std::lock_guard<std::mutex> g(m_sink->m_mutex);
    m_sink->m_samples.push_back(std::move(r));
    m_sink->m_changed.notify_all();
    return S_OK;
}

HRESULT RecordingPin::EndOfStream()
{
    std::lock_guard<std::mutex> g(m_sink->m_mutex);
    m_sink->m_eos = true;
    m_sink->m_changed.notify_all();
    return S_OK;
}

RecordingSink::RecordingSink(const GUID& major)
    : CBaseFilter("Recording Sink", nullptr, &m_lock, kRecordingSinkClsid), m_pin(this, &m_lock, nullptr),
      m_major(major)
{
}

ComPtr<IBaseFilter> RecordingSink::Make(const GUID& major, RecordingSink** self)
{
    auto* s = new RecordingSink(major);
    if (self)
        *self = s;
    return asFilter(s);
}

std::vector<Recorded> RecordingSink::Samples()
{
    std::lock_guard<std::mutex> g(m_mutex);
    return m_samples;
}

bool RecordingSink::WaitForEndOfStream(int timeoutMs)
{
    std::unique_lock<std::mutex> g(m_mutex);
    return m_changed.wait_for(g, std::chrono::milliseconds(timeoutMs), [this] { return m_eos; });
}

// --- Graph -------------------------------------------------------------------------------------------

Graph::Graph()
{
    EXPECT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&builder)), S_OK);
    if (builder)
        builder.As(&control);
}

void Graph::add(IBaseFilter* filter, const char16_t* name)
{
    ASSERT_TRUE(SUCCEEDED(builder->AddFilter(filter, name)));
}

ComPtr<IPin> pinOf(IBaseFilter* filter, const char16_t* name)
{
    ComPtr<IPin> pin;
    filter->FindPin(name, pin.ReleaseAndGetAddressOf());
    return pin;
}

} // namespace dvtest
