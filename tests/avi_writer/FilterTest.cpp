// The filter as the graph sees it: interfaces, pins and their types, state
// changes that open and close files, a scheduled change dropped by Pause and
// Run, samples through the pins, start-stop-start, and streaming on several
// threads against a stop.
#include "AvRead.h"
#include "WriterFixture.h"
#include "AviCheck.h"
#include "TestSample.h"

#include "avi_writer/main.h"
#include "support/TestUtil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

using th::riff::FourCC;

namespace {

constexpr REFERENCE_TIME D = 400000;

ComPtr<IBaseFilter> MakeWriter()
{
    ComPtr<IBaseFilter> f;
    EXPECT_EQ(th::dshow::CreateComObject<TTlmAVIWriter>(nullptr, IID_IBaseFilter, f.ReleaseAndGetVoidAddressOf()),
              S_OK);
    return f;
}

TTlmAVIWriter* Impl(const ComPtr<IBaseFilter>& f) { return static_cast<TTlmAVIWriter*>(f.Get()); }

struct Types {
    VIDEOINFOHEADER vih{};
    WAVEFORMATEX wfx{WAVE_FORMAT_PCM, 2, 48000, 192000, 4, 16, 0};
    DVINFO dv{};
    AM_MEDIA_TYPE video{}, audio{}, interleaved{};
    Types()
    {
        vih.AvgTimePerFrame = D;
        vih.bmiHeader.biSize = 40;
        vih.bmiHeader.biWidth = 720;
        vih.bmiHeader.biHeight = 576;
        video.majortype = MEDIATYPE_Video;
        video.subtype = MEDIASUBTYPE_dvsd;
        video.formattype = FORMAT_VideoInfo;
        video.cbFormat = sizeof vih;
        video.pbFormat = reinterpret_cast<BYTE*>(&vih);
        audio.majortype = MEDIATYPE_Audio;
        audio.subtype = MEDIASUBTYPE_PCM;
        audio.formattype = FORMAT_WaveFormatEx;
        audio.cbFormat = sizeof wfx;
        audio.pbFormat = reinterpret_cast<BYTE*>(&wfx);
        interleaved.majortype = MEDIATYPE_Interleaved;
        interleaved.subtype = MEDIASUBTYPE_dvsd;
        interleaved.formattype = FORMAT_DvInfo;
        interleaved.lSampleSize = 144000;
        interleaved.cbFormat = sizeof dv;
        interleaved.pbFormat = reinterpret_cast<BYTE*>(&dv);
    }
};

ComPtr<IPin> Pin(const ComPtr<IBaseFilter>& f, int n)
{
    return ComPtr<IPin>(Impl(f)->GetPin(n));
}

HRESULT Push(const ComPtr<IPin>& pin, REFERENCE_TIME t0, REFERENCE_TIME t1, std::size_t n)
{
    ComPtr<IMemInputPin> in = pin.As<IMemInputPin>();
    auto s = TestSample::Make(std::vector<BYTE>(n, 0x5A), t0, t1);
    return in->Receive(s.Get());
}

std::u16string U16(const std::string& s) { return th::com::Utf8ToUtf16(s); }

} // namespace

TEST(AviWriterFilter, InterfacesAndIdentity)
{
    auto f = MakeWriter();
    ASSERT_TRUE(f);
    EXPECT_TRUE(f.As<IFileSinkFilter>());
    EXPECT_TRUE(f.As<ITlmFileSinkFilter>());
    EXPECT_TRUE(f.As<IAMovieSetup>());
    EXPECT_TRUE(f.As<IPersist>());
    EXPECT_FALSE(f.As<IMemInputPin>());
    CLSID clsid{};
    EXPECT_EQ(f->GetClassID(&clsid), S_OK);
    EXPECT_EQ(clsid, CLSID_TlmAVIWriter);
    // The added interfaces answer with the filter's own identity.
    ComPtr<IUnknown> a, b;
    f.As<IFileSinkFilter>()->QueryInterface(IID_IUnknown, a.ReleaseAndGetVoidAddressOf());
    f->QueryInterface(IID_IUnknown, b.ReleaseAndGetVoidAddressOf());
    EXPECT_EQ(a.Get(), b.Get());
}

TEST(AviWriterFilter, PinCountFollowsTheRecordedVideoType)
{
    Types t;
    auto f = MakeWriter();
    TTlmAVIWriter* w = Impl(f);
    EXPECT_EQ(w->GetPinCount(), 1);
    EXPECT_EQ(w->GetPin(1), nullptr);
    EXPECT_EQ(w->GetPin(-1), nullptr);
    auto video = Pin(f, 0);
    ASSERT_TRUE(video);
    PIN_INFO info{};
    video->QueryPinInfo(&info);
    EXPECT_EQ(std::u16string(info.achName), u"Input");
    EXPECT_EQ(info.dir, PINDIR_INPUT);
    info.pFilter->Release();

    EXPECT_EQ(video->QueryAccept(&t.audio), S_FALSE);
    EXPECT_EQ(w->GetPinCount(), 1);
    EXPECT_EQ(video->QueryAccept(&t.video), S_OK);
    EXPECT_EQ(w->GetPinCount(), 2);
    auto audio = Pin(f, 1);
    ASSERT_TRUE(audio);
    EXPECT_NE(audio.Get(), video.Get());
    EXPECT_EQ(Pin(f, 1).Get(), audio.Get()); // made once
    EXPECT_EQ(w->GetPin(2), nullptr);
    AM_MEDIA_TYPE notPcm = t.audio;
    notPcm.subtype = MEDIASUBTYPE_dvsd;
    EXPECT_EQ(audio->QueryAccept(&notPcm), S_FALSE);
    EXPECT_EQ(audio->QueryAccept(&t.video), S_FALSE);
    EXPECT_EQ(audio->QueryAccept(&t.audio), S_OK);
    EXPECT_EQ(State(w->Core()).FStreamCount, 2u);
    // The subtype and format of a video type play no part in accepting it.
    AM_MEDIA_TYPE bare{};
    bare.majortype = MEDIATYPE_Video;
    EXPECT_EQ(video->QueryAccept(&bare), S_OK);
    // An interleaved type recorded later makes the audio pin disappear again.
    EXPECT_EQ(video->QueryAccept(&t.interleaved), S_OK);
    EXPECT_EQ(w->GetPinCount(), 1);
    EXPECT_EQ(State(w->Core()).FDVType, 1);
}

TEST(AviWriterFilter, StateChangesOpenAndCloseTheFile)
{
    th::test::TempDir dir;
    Types t;
    auto f = MakeWriter();
    TTlmAVIWriter* w = Impl(f);
    auto video = Pin(f, 0);
    video->QueryAccept(&t.video);
    auto audio = Pin(f, 1);
    audio->QueryAccept(&t.audio);
    State(w->Core()).FStreamCount = 2;
    auto sink = f.As<IFileSinkFilter>();
    ASSERT_EQ(sink->SetFileName(U16(dir.file("a.tmp")).c_str(), nullptr), S_OK);
    EXPECT_FALSE(w->Core().IsFileOpen());

    // A change scheduled while stopped is dropped by Pause, which truncates
    // and reopens the current file.
    f.As<ITlmFileSinkFilter>()->ChangeFileName(U16(dir.file("b.avi")).c_str(), 0);
    EXPECT_EQ(f->Pause(), S_OK);
    EXPECT_TRUE(w->Core().IsFileOpen());
    EXPECT_FALSE(State(w->Core()).FChangePending);
    EXPECT_EQ(f->Run(0), S_OK);
    SetEvent(State(w->Core()).FInterleaveEvent);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(Push(video, i * D, (i + 1) * D, 2000), S_OK);
        EXPECT_EQ(Push(audio, i * D, (i + 1) * D, 7680), S_OK);
    }
    EXPECT_EQ(f->Stop(), S_OK);
    EXPECT_FALSE(w->Core().IsFileOpen());
    EXPECT_FALSE(w->Core().Armed());
    // Samples after the stop are dropped.
    EXPECT_EQ(Push(video, 5 * D, 6 * D, 2000), S_OK);
    EXPECT_FALSE(w->Core().IsFileOpen());
    EXPECT_NE(access(dir.file("b.avi").c_str(), F_OK), 0);
    auto av = avread::Read(dir.file("a.tmp"));
    ASSERT_TRUE(av.opened) << av.error;
    EXPECT_EQ(av.streams[0].packets, 5);
    EXPECT_EQ(av.streams[1].bytes, 5 * 7680);

    // Run again from stopped: the same name is created anew and written again.
    EXPECT_EQ(f->Run(0), S_OK);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(Push(video, i * D, (i + 1) * D, 2000), S_OK);
    EXPECT_EQ(f->Stop(), S_OK);
    av = avread::Read(dir.file("a.tmp"));
    ASSERT_TRUE(av.opened) << av.error;
    EXPECT_EQ(av.streams[0].packets, 3);
    EXPECT_EQ(av.streams[0].headerFrames, 3);
}

TEST(AviWriterFilter, RunWithoutAFileProceedsAndSamplesRetry)
{
    th::test::TempDir dir;
    Types t;
    auto f = MakeWriter();
    TTlmAVIWriter* w = Impl(f);
    auto video = Pin(f, 0);
    video->QueryAccept(&t.video);
    EXPECT_EQ(f->Run(0), S_OK); // no name: the run goes on without a file
    EXPECT_TRUE(w->Core().Armed());
    const HRESULT noName = HRESULT_FROM_WIN32(static_cast<DWORD>(ERROR_INVALID_NAME));
    EXPECT_EQ(Push(video, 0, D, 100), noName) << "a sample without a file is a failure, not a success";
    w->Core().SetNextFileName(dir.file("late.avi"));
    EXPECT_EQ(Push(video, D, 2 * D, 100), S_OK);
    f->Stop();
    const auto file = avicheck::Walk(dir.file("late.avi"));
    ASSERT_TRUE(file.ok()) << file.errorText();
    EXPECT_EQ(file.streams[0].entries.size(), 1u);
}

TEST(AviWriterFilter, StreamingThreadsAgainstSwitchesAndStop)
{
    th::test::TempDir dir;
    Types t;
    auto f = MakeWriter();
    TTlmAVIWriter* w = Impl(f);
    auto video = Pin(f, 0);
    video->QueryAccept(&t.video);
    auto audio = Pin(f, 1);
    audio->QueryAccept(&t.audio);
    auto sink = f.As<IFileSinkFilter>();
    auto switcher = f.As<ITlmFileSinkFilter>();
    ASSERT_EQ(sink->SetFileName(U16(dir.file("s.tmp")).c_str(), nullptr), S_OK);
    ASSERT_EQ(f->Run(0), S_OK);

    std::atomic<bool> stop{false};
    std::thread videoThread([&] {
        for (int i = 0; i < 400 && !stop; ++i) {
            if (i % 100 == 50) {
                // The engine's per-frame callback: read the name, schedule the next file.
                LPOLESTR cur = nullptr;
                sink->GetCurFile(&cur, nullptr);
                CoTaskMemFree(cur);
                switcher->ChangeFileName(U16(dir.file("s" + std::to_string(i) + ".avi")).c_str(), i * D);
            }
            Push(video, i * D, (i + 1) * D, 1000);
        }
    });
    std::thread audioThread([&] {
        for (int i = 0; i < 400 && !stop; ++i)
            Push(audio, i * D, (i + 1) * D, 7680);
    });
    videoThread.join();
    audioThread.join();
    EXPECT_EQ(f->Stop(), S_OK);
    stop = true;
    EXPECT_FALSE(w->Core().IsFileOpen());
    std::int64_t frames = 0;
    for (const char* name : {"s.tmp", "s50.avi", "s150.avi", "s250.avi", "s350.avi"}) {
        const auto file = avicheck::Walk(dir.file(name));
        ASSERT_TRUE(file.ok()) << name << ": " << file.errorText();
        const auto av = avread::Read(dir.file(name));
        ASSERT_TRUE(av.opened) << name;
        frames += av.streams[0].packets;
    }
    EXPECT_EQ(frames, 400);
}

TEST(AviWriterFilter, Type1DvFromTheTapeMakerReadsBackAsVideoAndAudio)
{
    th::test::TempDir dir;
    const std::string tape = dir.file("t.dv");
    std::string out;
    ASSERT_EQ(th::test::runProgram(th::test::binDir() + "/thtape",
                                   {"--scene", "length=50,date=2003-06-15,time=14:22:05", tape}, &out),
              0)
        << out;
    std::FILE* in = std::fopen(tape.c_str(), "rb");
    ASSERT_TRUE(in);
    Types t;
    auto f = MakeWriter();
    auto video = Pin(f, 0);
    ASSERT_EQ(video->QueryAccept(&t.interleaved), S_OK);
    ASSERT_EQ(f.As<IFileSinkFilter>()->SetFileName(U16(dir.file("t1.avi")).c_str(), nullptr), S_OK);
    ASSERT_EQ(f->Run(0), S_OK);
    ComPtr<IMemInputPin> mem = video.As<IMemInputPin>();
    std::vector<BYTE> frame(144000);
    std::vector<std::uint64_t> hashes;
    for (int i = 0; std::fread(frame.data(), 1, frame.size(), in) == frame.size(); ++i) {
        auto s = TestSample::Make(frame, i * D, (i + 1) * D);
        ASSERT_EQ(mem->Receive(s.Get()), S_OK);
        hashes.push_back(avread::Hash(frame.data(), frame.size()));
    }
    std::fclose(in);
    ASSERT_EQ(hashes.size(), 50u);
    EXPECT_EQ(f->Stop(), S_OK);

    const auto file = avicheck::Walk(dir.file("t1.avi"));
    ASSERT_TRUE(file.ok()) << file.errorText();
    EXPECT_EQ(file.movieChunks(FourCC("00__")).size(), 50u);
    const auto av = avread::Read(dir.file("t1.avi"));
    ASSERT_TRUE(av.opened) << av.error;
    ASSERT_GE(av.streams.size(), 2u);
    EXPECT_EQ(av.streams[0].codec, "dvvideo");
    EXPECT_EQ(av.streams[0].packets, 50);
    EXPECT_EQ(av.streams[1].type, "audio");
    EXPECT_EQ(av.streams[1].sampleRate, 48000);
    EXPECT_NEAR(static_cast<double>(av.streams[1].bytes) / 4 / 48000, 2.0, 0.05);
}
