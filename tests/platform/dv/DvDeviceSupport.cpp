#include "DvDeviceSupport.h"

#include "platform/dshow/StreamingThread.h"
#include "platform/dv/DvDeviceFilter.h"
#include "platform/dv/VirtualCamcorder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <fcntl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace dvtest {

using namespace th;

namespace {

std::ptrdiff_t indexOffset(dif::System system)
{
    return dif::blockOffset(system, 0, dif::Section::Video, 0) + 3;
}

} // namespace

std::string writeTape(const std::string& path, const TapeDescription& desc)
{
    const std::size_t size = dif::frameSize(desc.system);
    const int fps = dif::timecodeFramesPerSecond(desc.system);
    const int fd = ::open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
    EXPECT_GE(fd, 0) << path;
    if (fd < 0)
        return path;
    EXPECT_EQ(::ftruncate(fd, static_cast<off_t>(size * desc.frames + desc.tailBytes)), 0);
    std::vector<std::uint8_t> frame(size);
    const dif::RecDateTime start{{2003, 6, 15}, {10, 0, 0}};
    auto writeFrame = [&](std::int64_t i) {
        std::memset(frame.data(), 0, size);
        dif::FrameInfo info;
        info.system = desc.system;
        info.timecode = dif::timecodeFromFrameCount(desc.system, i);
        info.recorded = dif::addSeconds(start, i / fps);
        info.audio.samples = dif::minSamplesPerFrame(desc.system, 48000);
        EXPECT_TRUE(dif::writeFrameInfo(frame.data(), size, info));
        // The video blocks' IDs, as a camcorder records them: a receiver on
        // the bus finds each block's place in the frame by them.
        for (int seq = 0; seq < dif::sequencesPerFrame(desc.system); ++seq)
            for (int b = 0; b < dif::blocksOfSection(dif::Section::Video); ++b)
                dif::writeBlockId(frame.data() + dif::blockOffset(desc.system, seq, dif::Section::Video, b),
                                  {dif::Section::Video, seq, b, false, 0xF});
        if (desc.longPlay) {
            // Mark every VAUX source pack as the SDL signal (STYPE 00001).
            for (int seq = 0; seq < dif::sequencesPerFrame(desc.system); ++seq)
                for (int b = 0; b < dif::kVauxBlocks; ++b)
                    for (int k = 0; k < 15; ++k) {
                        std::uint8_t* p = frame.data() + dif::blockOffset(desc.system, seq, dif::Section::Vaux, b)
                                          + 3 + 5 * k;
                        if (p[0] == dif::kPackVauxSource)
                            p[3] = static_cast<std::uint8_t>((p[3] & 0xE0) | 0x01);
                    }
        }
        std::memcpy(frame.data() + indexOffset(desc.system), &i, sizeof i);
        for (std::int64_t bad : desc.damaged)
            if (bad == i)
                for (std::size_t b = 0; b < size; ++b)
                    frame[b] = static_cast<std::uint8_t>(b * 7 + 13);
        for (std::int64_t unrecorded : desc.blank)
            if (unrecorded == i)
                std::memset(frame.data(), 0xFF, size);
        EXPECT_EQ(::pwrite(fd, frame.data(), size, static_cast<off_t>(size * i)), static_cast<ssize_t>(size));
    };
    if (desc.written.empty()) {
        for (std::int64_t i = 0; i < desc.frames; ++i)
            writeFrame(i);
    } else {
        for (const auto& [from, to] : desc.written)
            for (std::int64_t i = from; i < to && i < desc.frames; ++i)
                writeFrame(i);
    }
    ::close(fd);
    if (desc.cutShort >= 0) {
        constexpr std::size_t kCut = 3000;
        std::ifstream in(path, std::ios::binary);
        std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        in.close();
        const std::size_t end = size * static_cast<std::size_t>(desc.cutShort + 1);
        bytes.erase(bytes.begin() + static_cast<std::ptrdiff_t>(end - kCut), bytes.begin() + static_cast<std::ptrdiff_t>(end));
        std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), std::streamsize(bytes.size()));
    }
    return path;
}

std::int64_t indexInFrame(const std::uint8_t* frame)
{
    const dif::System system = dif::readSystem(frame, dif::kFrameSizePal);
    std::int64_t i = -1;
    std::memcpy(&i, frame + indexOffset(system == dif::System::None ? dif::System::Ntsc525_60 : system), sizeof i);
    return i;
}

std::uint64_t hashBytes(const std::uint8_t* p, std::size_t n)
{
    std::uint64_t h = 14695981039346656037ull; // FNV-1a
    for (std::size_t i = 0; i < n; ++i)
        h = (h ^ p[i]) * 1099511628211ull;
    return h;
}

// --- Sink ---------------------------------------------------------------------------------

SinkPin::SinkPin(Sink* sink, CCritSec* lock, HRESULT* hr)
    : CBaseInputPin("test sink input", sink, lock, hr, u"In"), m_sink(sink)
{
}

HRESULT SinkPin::CheckMediaType(const CMediaType* type)
{
    return type->majortype == MEDIATYPE_Interleaved ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
}

HRESULT SinkPin::Receive(IMediaSample* sample)
{
    const HRESULT hr = CBaseInputPin::Receive(sample);
    if (hr != S_OK)
        return hr;
    if (m_sink->count() >= m_sink->m_refuseAfter.load())
        return E_FAIL;
    m_sink->receive(sample);
    return S_OK;
}

HRESULT SinkPin::EndOfStream()
{
    m_sink->m_endOfStream = true;
    return CBaseInputPin::EndOfStream();
}

void Sink::refuseAfter(std::size_t n)
{
    m_refuseAfter = n;
}

Sink::Sink() : CBaseFilter("test sink", nullptr, &m_lock, GUID_NULL), m_pin(this, &m_lock, nullptr) {}

Sink::~Sink()
{
    for (IMediaSample* s : m_held)
        s->Release();
}

void Sink::receive(IMediaSample* sample)
{
    Got got;
    LONGLONG mediaStop = 0;
    sample->GetMediaTime(&got.media, &mediaStop);
    sample->GetTime(&got.start, &got.stop);
    got.discontinuity = sample->IsDiscontinuity() == S_OK;
    got.length = sample->GetActualDataLength();
    BYTE* p = nullptr;
    sample->GetPointer(&p);
    got.timecode = dif::readTimecode(p, static_cast<std::size_t>(got.length));
    got.recorded = dif::readRecordingDateTime(p, static_cast<std::size_t>(got.length));
    got.index = indexInFrame(p);
    got.hash = hashBytes(p, static_cast<std::size_t>(got.length));

    std::unique_lock<std::mutex> lock(m_mutex);
    const std::size_t n = m_samples.size() + 1;
    m_samples.push_back(got);
    m_last = std::chrono::steady_clock::now();
    if (m_hold) {
        sample->AddRef();
        m_held.push_back(sample);
    }
    m_changed.notify_all();
    if (m_blockNext) {
        m_blockNext = false;
        m_blocked = true;
        m_changed.notify_all();
        th::dshow::StreamingThread::Parked parked;
        m_changed.wait(lock, [&] { return m_release; });
        m_blocked = false;
        return;
    }
    if (m_delayEvery > 0 && n % static_cast<std::size_t>(m_delayEvery) == 0) {
        const auto delay = m_delay;
        lock.unlock();
        std::this_thread::sleep_for(delay);
    }
}

std::vector<Got> Sink::samples()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_samples;
}

std::size_t Sink::count()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_samples.size();
}

bool Sink::waitForCount(std::size_t n, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_samples.size() >= n; });
}

void Sink::waitQuiet(std::chrono::milliseconds quiet)
{
    for (;;) {
        std::this_thread::sleep_for(quiet / 4);
        std::lock_guard<std::mutex> lock(m_mutex);
        if (std::chrono::steady_clock::now() - m_last >= quiet)
            return;
    }
}

void Sink::setDelay(int every, std::chrono::milliseconds delay)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_delayEvery = every;
    m_delay = delay;
}

void Sink::setHoldSamples(bool hold)
{
    std::vector<IMediaSample*> release;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_hold = hold;
        if (!hold)
            release.swap(m_held);
    }
    for (IMediaSample* s : release)
        s->Release();
}

void Sink::setBlockNext(bool block)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_blockNext = block;
    m_release = false;
}

void Sink::unblock()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_release = true;
    m_changed.notify_all();
}

bool Sink::blocked()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::seconds(10), [&] { return m_blocked; });
}

// --- Graph --------------------------------------------------------------------------------

std::vector<std::u16string> videoInputNames()
{
    std::vector<std::u16string> names;
    ComPtr<ICreateDevEnum> devEnum;
    if (FAILED(CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER, IID_ICreateDevEnum,
                                devEnum.ReleaseAndGetVoidAddressOf())))
        return names;
    ComPtr<IEnumMoniker> monikers;
    if (devEnum->CreateClassEnumerator(CLSID_VideoInputDeviceCategory, monikers.ReleaseAndGetAddressOf(), 0) != S_OK
        || !monikers)
        return names;
    monikers->Reset();
    ComPtr<IMoniker> moniker;
    while (monikers->Next(1, moniker.ReleaseAndGetAddressOf(), nullptr) == S_OK && moniker) {
        ComPtr<IPropertyBag> bag;
        if (FAILED(moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag, bag.ReleaseAndGetVoidAddressOf())))
            continue;
        VARIANT v;
        VariantInit(&v);
        if (SUCCEEDED(bag->Read(u"FriendlyName", &v, nullptr)) && v.vt == VT_BSTR)
            names.emplace_back(v.bstrVal, SysStringLen(v.bstrVal));
        VariantClear(&v);
    }
    return names;
}

ComPtr<IBaseFilter> findDevice(ComPtr<IMoniker>* found)
{
    ComPtr<ICreateDevEnum> devEnum;
    if (FAILED(CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER, IID_ICreateDevEnum,
                                devEnum.ReleaseAndGetVoidAddressOf())))
        return {};
    ComPtr<IEnumMoniker> monikers;
    if (devEnum->CreateClassEnumerator(CLSID_VideoInputDeviceCategory, monikers.ReleaseAndGetAddressOf(), 0) != S_OK
        || !monikers)
        return {};
    ComPtr<IMoniker> moniker;
    while (monikers->Next(1, moniker.ReleaseAndGetAddressOf(), nullptr) == S_OK && moniker) {
        ComPtr<IPropertyBag> bag;
        if (FAILED(moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag, bag.ReleaseAndGetVoidAddressOf())))
            continue;
        VARIANT v;
        VariantInit(&v);
        const bool match = SUCCEEDED(bag->Read(u"FriendlyName", &v, nullptr)) && v.vt == VT_BSTR
                           && std::u16string(v.bstrVal) == th::dv::kCamcorderFriendlyName;
        VariantClear(&v);
        if (!match)
            continue;
        ComPtr<IBaseFilter> filter;
        if (FAILED(moniker->BindToObject(nullptr, nullptr, IID_IBaseFilter, filter.ReleaseAndGetVoidAddressOf())))
            return {};
        if (found)
            *found = moniker;
        return filter;
    }
    return {};
}

bool Rig::build()
{
    if (FAILED(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                graph.ReleaseAndGetVoidAddressOf()))) {
        ADD_FAILURE() << "no filter graph";
        return false;
    }
    control = graph.As<IMediaControl>();
    events = graph.As<IMediaEventEx>();
    device = findDevice();
    if (!device) {
        ADD_FAILURE() << "no DV device listed";
        return false;
    }
    transport = device.As<IAMExtTransport>();
    timecodeReader = device.As<IAMTimecodeReader>();
    extDevice = device.As<IAMExtDevice>();
    sink = new Sink;
    sinkFilter = static_cast<IBaseFilter*>(sink);
    EXPECT_EQ(graph->AddFilter(device.Get(), u"Device Filter"), S_OK);
    EXPECT_EQ(graph->AddFilter(sinkFilter.Get(), u"Sink"), S_OK);
    ComPtr<IPin> out, in;
    EXPECT_EQ(device->FindPin(u"DV A/V Out", out.ReleaseAndGetAddressOf()), S_OK);
    EXPECT_EQ(sinkFilter->FindPin(u"In", in.ReleaseAndGetAddressOf()), S_OK);
    if (!out || !in)
        return false;
    const HRESULT hr = graph->ConnectDirect(out.Get(), in.Get(), nullptr);
    EXPECT_EQ(hr, S_OK);
    dropped = out.As<IAMDroppedFrames>();
    return SUCCEEDED(hr) && transport && timecodeReader && extDevice && dropped;
}

LONG Rig::mode()
{
    LONG m = 0;
    EXPECT_EQ(transport->get_Mode(&m), S_OK);
    return m;
}

HRESULT Rig::setMode(LONG mode)
{
    return transport->put_Mode(mode);
}

std::optional<DWORD> Rig::timecode()
{
    TIMECODE_SAMPLE tc{};
    tc.dwFlags = ED_DEVCAP_TIMECODE_READ;
    if (timecodeReader->GetTimecode(&tc) != S_OK)
        return std::nullopt;
    return tc.timecode.dwFrames;
}

HRESULT Rig::seekTrack(std::uint32_t track, BYTE* answer, bool wait)
{
    BYTE cmd[8] = {0x00, 0x20, 0x52, 0x20, BYTE(track), BYTE(track >> 8), BYTE(track >> 16), 0xFF};
    LONG length = 8;
    const HRESULT hr = transport->GetTransportBasicParameters(ED_RAW_EXT_DEV_CMD, &length,
                                                              reinterpret_cast<LPOLESTR*>(cmd));
    if (answer)
        std::memcpy(answer, cmd, 8);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    LONG m = 0;
    while (hr == S_OK && wait && transport->get_Mode(&m) == S_OK && (m == ED_MODE_FF || m == ED_MODE_REW)
           && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return hr;
}

std::vector<std::pair<LONG, LONG_PTR>> Rig::drainEvents()
{
    std::vector<std::pair<LONG, LONG_PTR>> got;
    LONG code;
    LONG_PTR p1, p2;
    while (events->GetEvent(&code, &p1, &p2, 0) == S_OK) {
        got.emplace_back(code, p2);
        events->FreeEventParams(code, p1, p2);
    }
    return got;
}

std::int64_t Rig::droppedFor(th::dv::DropReason why)
{
    // The interface is the device pin's own.
    return static_cast<th::dv::DvOutputPin*>(dropped.Get())->droppedFor(why);
}

int runTool(const std::string& program, const std::vector<std::string>& args, const std::string& outFile,
            const std::string& errFile)
{
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        const int out = ::open(outFile.empty() ? "/dev/null" : outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = ::open(errFile.empty() ? "/dev/null" : errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out >= 0)
            ::dup2(out, 1);
        if (err >= 0)
            ::dup2(err, 2);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string readFile(const std::string& path)
{
    std::string text;
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return text;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0)
        text.append(buf, static_cast<std::size_t>(n));
    ::close(fd);
    return text;
}

std::uint32_t trackNumberFor(dif::System system, const dif::Timecode& tc)
{
    const long tm = tc.hours * 60L + tc.minutes;
    const long f = tc.frames + 1;
    if (system == dif::System::Pal625_50)
        return static_cast<std::uint32_t>(((tm * 60 + tc.seconds) * 25 + f) * 24);
    const double n = ((tm * 60.0 + tc.seconds) * 30 + f - 2 * (tm - tm / 10.0)) * 20;
    return static_cast<std::uint32_t>(std::llround(n)) & 0xFFFFFF;
}

} // namespace dvtest
