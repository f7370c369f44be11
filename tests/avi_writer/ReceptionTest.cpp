// What the pins do with samples: recorded formats, the file-sink calls, dropped
// frames by media and stream time, silence, overlapping audio, the scheduled
// file switch, the audio kept behind the video, and samples without a file.
#include "AvRead.h"
#include "WriterFixture.h"
#include "AviCheck.h"
#include "TestSample.h"

#include "avi_writer/AviWriterCore.h"
#include "platform/dshow/StreamingThread.h"
#include "platform/riff/Riff.h"
#include "platform/riff/RiffFile.h"
#include "support/TestUtil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <chrono>
#include <cstring>
#include <future>
#include <thread>

using th::riff::FourCC;
using th::riff::Get32;

namespace {

constexpr REFERENCE_TIME D = 400000; // one PAL frame

struct Core {
    StdWriterLock lock;
    AviWriterCore w;
    AviPinState video;
    AviAudioPinState audio;
    explicit Core(OpenDmlLimits limits = {}) : w(lock, limits) {}
    void BeginRun() { w.BeginRun(&video, &audio); }
};

AM_MEDIA_TYPE VideoType(VIDEOINFOHEADER& vih, REFERENCE_TIME avg, LONG height)
{
    std::memset(&vih, 0, sizeof vih);
    vih.AvgTimePerFrame = avg;
    vih.bmiHeader.biSize = 40;
    vih.bmiHeader.biWidth = 720;
    vih.bmiHeader.biHeight = height;
    vih.bmiHeader.biCompression = FourCC("dvsd");
    AM_MEDIA_TYPE mt{};
    mt.majortype = MEDIATYPE_Video;
    mt.subtype = MEDIASUBTYPE_dvsd;
    mt.formattype = FORMAT_VideoInfo;
    mt.cbFormat = sizeof vih;
    mt.pbFormat = reinterpret_cast<BYTE*>(&vih);
    return mt;
}

AM_MEDIA_TYPE AudioType(WAVEFORMATEX& wfx, DWORD rate)
{
    wfx = {WAVE_FORMAT_PCM, 2, rate, rate * 4, 4, 16, 0};
    AM_MEDIA_TYPE mt{};
    mt.majortype = MEDIATYPE_Audio;
    mt.subtype = MEDIASUBTYPE_PCM;
    mt.formattype = FORMAT_WaveFormatEx;
    mt.cbFormat = sizeof wfx;
    mt.pbFormat = reinterpret_cast<BYTE*>(&wfx);
    return mt;
}

AM_MEDIA_TYPE InterleavedType(DVINFO& dv, LONG sampleSize)
{
    dv = DVINFO{1, 2, 3, 4, 5, 6, {7, 8}};
    AM_MEDIA_TYPE mt{};
    mt.majortype = MEDIATYPE_Interleaved;
    mt.formattype = FORMAT_DvInfo;
    mt.cbFormat = sizeof dv;
    mt.pbFormat = reinterpret_cast<BYTE*>(&dv);
    mt.lSampleSize = sampleSize;
    return mt;
}

void MakeType2(AviWriterCore& w)
{
    VIDEOINFOHEADER vih;
    WAVEFORMATEX wfx;
    w.RecordMediaFormat(AudioType(wfx, 48000));
    w.RecordMediaFormat(VideoType(vih, D, 576));
    State(w).FStreamCount = 2;
}

std::vector<BYTE> Bytes(std::size_t n, BYTE v) { return std::vector<BYTE>(n, v); }

HRESULT Video(Core& c, REFERENCE_TIME t0, REFERENCE_TIME t1, std::size_t n = 1000)
{
    auto s = TestSample::Make(Bytes(n, 0x11), t0, t1);
    return c.w.ReceiveVideo(c.video, s.Get());
}

HRESULT VideoMedia(Core& c, REFERENCE_TIME t0, LONGLONG m0, LONGLONG m1)
{
    auto s = TestSample::Make(Bytes(1000, 0x22), t0, t0 + D);
    s->WithMediaTime(m0, m1);
    return c.w.ReceiveVideo(c.video, s.Get());
}

HRESULT AudioMedia(Core& c, LONGLONG m0, LONGLONG m1, BYTE fill = 0x33)
{
    auto s = TestSample::Make(Bytes(static_cast<std::size_t>(m1 - m0) * 4, fill), 0, 0);
    s->WithMediaTime(m0, m1);
    return c.w.ReceiveAudio(c.audio, s.Get());
}

std::vector<bool> DroppedFlags(const std::string& path)
{
    const auto f = avicheck::Walk(path);
    EXPECT_TRUE(f.ok()) << f.errorText();
    std::vector<bool> v;
    if (!f.streams.empty())
        for (const auto& e : f.streams[0].entries)
            v.push_back(e.dropped);
    return v;
}

std::vector<std::uint32_t> AudioChunkSizes(const std::string& path)
{
    const auto f = avicheck::Walk(path);
    EXPECT_TRUE(f.ok()) << f.errorText();
    std::vector<std::uint32_t> v;
    for (const auto* c : f.movieChunks(FourCC("01wb")))
        v.push_back(c->size);
    return v;
}

std::uint32_t HeaderValue(const std::string& path, std::size_t offset)
{
    return Get32(avicheck::ReadAt(path, static_cast<std::int64_t>(offset), 4).data());
}

std::u16string U16(const std::string& s) { return th::com::Utf8ToUtf16(s); }

} // namespace

// --- Formats ---------------------------------------------------------------------------------------

TEST(AviFormats, RecordedValuesFollowTheLastFormat)
{
    StdWriterLock lock;
    AviWriterCore w(lock);
    VIDEOINFOHEADER vih;
    WAVEFORMATEX wfx;
    w.RecordMediaFormat(VideoType(vih, 333667, 480));
    EXPECT_EQ(State(w).FDVType, 2);
    EXPECT_EQ(State(w).FFrameDuration, 333667);
    EXPECT_EQ(State(w).FMicroSecPerFrame, 33366u); // NTSC type 2: 333667 div 10
    EXPECT_EQ(State(w).FVideoScale, 333667u);
    EXPECT_EQ(State(w).FVideoRate, 10000000u);
    EXPECT_EQ(State(w).FVideoFccType, FourCC("vids"));
    EXPECT_EQ(State(w).FHeight, 480);
    EXPECT_EQ(std::memcmp(State(w).FBitmapInfo, &vih.bmiHeader, 40), 0);
    EXPECT_EQ(State(w).FStreamCount, 1u);
    w.RecordMediaFormat(AudioType(wfx, 32000));
    EXPECT_EQ(State(w).FStreamCount, 2u);
    EXPECT_EQ(w.WaveSamplesPerSec(), 32000u);
    EXPECT_EQ(State(w).FDVType, 2); // an audio type leaves it
    // A video format recorded after the audio one sets the count back to 1,
    // and the first frame length stays.
    w.RecordMediaFormat(VideoType(vih, 400000, 576));
    EXPECT_EQ(State(w).FStreamCount, 1u);
    EXPECT_EQ(State(w).FFrameDuration, 333667);

    // Interleaved DV: PAL by its sample size, NTSC otherwise; the frame length is untouched.
    DVINFO dv;
    AM_MEDIA_TYPE mt = InterleavedType(dv, 120000);
    w.RecordMediaFormat(mt);
    EXPECT_EQ(State(w).FDVType, 1);
    EXPECT_EQ(State(w).FMicroSecPerFrame, 33367u);
    EXPECT_EQ(State(w).FVideoScale, 333667u);
    EXPECT_EQ(State(w).FVideoFccType, FourCC("iavs"));
    EXPECT_EQ(State(w).FWidth, 0);
    EXPECT_EQ(std::memcmp(State(w).FDVInfo, &dv, 32), 0);
    EXPECT_EQ(State(w).FFrameDuration, 333667);
    mt.lSampleSize = 144000;
    w.RecordMediaFormat(mt);
    EXPECT_EQ(State(w).FMicroSecPerFrame, 40000u);
    EXPECT_EQ(State(w).FVideoScale, 400000u);

    // A format block shorter than its type is never read past its end.
    mt.formattype = FORMAT_VideoInfo;
    mt.cbFormat = 20;
    w.RecordMediaFormat(mt);
    EXPECT_EQ(State(w).FVideoFccType, FourCC("iavs"));
}

// --- File sink --------------------------------------------------------------------------------------

TEST(AviFileSink, NamesTheirLengthsAndTheEmptyFile)
{
    th::test::TempDir dir;
    Core c;
    MakeType2(c.w);
    LPOLESTR name = nullptr;
    AM_MEDIA_TYPE mt;
    std::memset(&mt, 0xAB, sizeof mt);
    ASSERT_EQ(c.w.GetCurFile(&name, &mt), S_OK);
    EXPECT_EQ(std::u16string(name), u"");
    CoTaskMemFree(name);
    EXPECT_EQ(mt.majortype, GUID_NULL);
    EXPECT_EQ(mt.subtype, GUID_NULL);
    EXPECT_EQ(mt.cbFormat, 0u);

    EXPECT_EQ(c.w.SetFileName(u""), E_OUTOFMEMORY);
    EXPECT_EQ(c.w.SetFileName(nullptr), E_OUTOFMEMORY);
    EXPECT_FALSE(c.w.Armed());

    const std::string base = dir.path() + "/";
    const std::string at260 = base + std::string(260 - base.size() - 4, 'n') + ".avi";
    ASSERT_EQ(at260.size(), 260u);
    {
        std::FILE* old = std::fopen(at260.c_str(), "wb");
        std::fputs("an older file that is longer than nothing", old);
        std::fclose(old);
    }
    EXPECT_EQ(c.w.SetFileName(U16(at260 + "x").c_str()),
              HRESULT_FROM_WIN32(static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE)));
    EXPECT_FALSE(c.w.Armed());
    State(c.w).FChangePending = true;
    EXPECT_EQ(c.w.SetFileName(U16(at260).c_str()), S_OK);
    EXPECT_TRUE(c.w.Armed());
    EXPECT_FALSE(State(c.w).FChangePending); // a SetFileName drops a scheduled change
    EXPECT_FALSE(c.w.IsFileOpen());
    const auto f = avicheck::Walk(at260);
    ASSERT_TRUE(f.ok()) << f.errorText();
    EXPECT_EQ(f.fileSize, 66066u);
    ASSERT_EQ(c.w.GetCurFile(&name, nullptr), S_OK);
    EXPECT_EQ(th::com::Utf16ToUtf8(name), at260);
    CoTaskMemFree(name);

    // A name that cannot be created: a failure, kept with a text that names the file.
    const HRESULT missing = HRESULT_FROM_WIN32(static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(c.w.SetFileName(U16(base + "none/x.avi").c_str()), missing);
    EXPECT_TRUE(c.w.Armed());
    EXPECT_EQ(c.w.WriteError(), missing);
    EXPECT_NE(c.w.WriteErrorText().find(base + "none/x.avi"), std::string::npos) << c.w.WriteErrorText();
}

// --- Dropped frames ----------------------------------------------------------------------------------

TEST(AviVideoReception, DroppedFramesByStreamTime)
{
    th::test::TempDir dir;
    Core c;
    MakeType2(c.w);
    c.w.SetNextFileName(dir.file("s.avi"));
    c.w.Arm(true);
    // The first frame counts no drop: its own length is the gap.
    REFERENCE_TIME end = 5 * D;
    ASSERT_EQ(Video(c, end - D, end), S_OK);
    // Gaps of 1.4, 1.5, 2.5 and 3.5 frame lengths, each from the previous stop.
    for (double g : {1.4, 1.5, 2.5, 3.5}) {
        const REFERENCE_TIME next = end + static_cast<REFERENCE_TIME>(g * D);
        ASSERT_EQ(Video(c, next - D, next), S_OK);
        end = next;
    }
    EXPECT_EQ(State(c.w).FVideoFrames, 1 + 1 + (1 + 1) + (1 + 1) + (1 + 3));
    c.w.CloseFile();
    EXPECT_EQ(DroppedFlags(dir.file("s.avi")),
              (std::vector<bool>{false, false, true, false, true, false, true, true, true, false}));
    EXPECT_EQ(HeaderValue(dir.file("s.avi"), 48), 10u); // dwTotalFrames
}

TEST(AviVideoReception, DroppedFramesByMediaTime)
{
    th::test::TempDir dir;
    Core c;
    MakeType2(c.w);
    c.w.SetNextFileName(dir.file("m.avi"));
    c.w.Arm(true);
    // A first frame with media stop 3 has two drops before it.
    ASSERT_EQ(VideoMedia(c, 0, 2, 3), S_OK);
    EXPECT_EQ(State(c.w).FVideoFrames, 3);
    // Media times that skip two frames count two, whatever the stream times say.
    ASSERT_EQ(VideoMedia(c, D, 5, 6), S_OK);
    EXPECT_EQ(State(c.w).FVideoFrames, 3 + 1 + 2);
    // Consecutive media times are no loss, whatever the stream times say (a
    // deck passing blank tape shows no frame, and loses none).
    ASSERT_EQ(VideoMedia(c, D + static_cast<REFERENCE_TIME>(1.5 * D), 6, 7), S_OK);
    EXPECT_EQ(State(c.w).FVideoFrames, 6 + 1);
    {
        // A frame after two lost ones that cannot be written: the file ends
        // on the frame before, without the two.
        th::test::FileSizeLimit limit(State(c.w).FFilePos + 10);
        ASSERT_EQ(VideoMedia(c, 4 * D, 9, 10), S_OK) << "queued";
        EXPECT_EQ(c.w.Flush(), th::riff::kErrorFileTooLarge);
    }
    EXPECT_EQ(State(c.w).FVideoFrames, 7);
    c.w.CloseFile();
    EXPECT_EQ(DroppedFlags(dir.file("m.avi")),
              (std::vector<bool>{true, true, false, true, true, false, false}));

    // Media stop 1 for a first frame counts none.
    Core d;
    MakeType2(d.w);
    d.w.SetNextFileName(dir.file("m1.avi"));
    d.w.Arm(true);
    ASSERT_EQ(VideoMedia(d, 0, 0, 1), S_OK);
    EXPECT_EQ(State(d.w).FVideoFrames, 1);
}

TEST(AviVideoReception, RestartedStreamTimesCountNothing)
{
    th::test::TempDir dir;
    Core c;
    MakeType2(c.w);
    c.w.SetNextFileName(dir.file("r.avi"));
    c.w.Arm(true);
    for (int i = 100; i < 103; ++i)
        Video(c, i * D, (i + 1) * D);
    c.w.Arm(false);
    c.w.CloseFile();
    // A new run: times start again near zero, below the previous stop.
    c.w.Arm(true);
    c.w.OpenFile();
    Video(c, 0, D);
    Video(c, D, 2 * D);
    EXPECT_EQ(State(c.w).FVideoFrames, 2);
    c.w.CloseFile();
}

TEST(AviVideoReception, FrameLengthFromTheFirstSampleWhenNoFormatGaveIt)
{
    th::test::TempDir dir;
    Core c;
    MakeType2(c.w);
    State(c.w).FFrameDuration = 0;
    c.w.SetNextFileName(dir.file("l.avi"));
    c.w.Arm(true);
    Video(c, 0, 333667);
    EXPECT_EQ(State(c.w).FFrameDuration, 333667);
    Video(c, 3 * 333667, 4 * 333667); // a 3-frame gap: two dropped
    EXPECT_EQ(State(c.w).FVideoFrames, 4);

    // Samples with equal start and stop give no frame length to measure by.
    Core z;
    MakeType2(z.w);
    State(z.w).FFrameDuration = 0;
    z.w.SetNextFileName(dir.file("z.avi"));
    z.w.Arm(true);
    Video(z, 0, 0);
    Video(z, 10 * D, 10 * D);
    EXPECT_EQ(State(z.w).FVideoFrames, 2);
}

// --- Audio ----------------------------------------------------------------------------------------------

TEST(AviAudioReception, SilenceFillsGapsInNominalPieces)
{
    th::test::TempDir dir;
    Core c;
    MakeType2(c.w);
    c.w.SetNextFileName(dir.file("a.avi"));
    c.w.Arm(true);
    SetEvent(State(c.w).FInterleaveEvent); // no video in this test: never wait
    ASSERT_EQ(AudioMedia(c, 0, 1920), S_OK);
    EXPECT_EQ(c.audio.FNominalSamples, 1920);
    ASSERT_EQ(AudioMedia(c, 1920 + 2100, 1920 + 2100 + 1920), S_OK); // gap 2100: one piece
    const LONGLONG at = 1920 + 2100 + 1920;
    ASSERT_EQ(AudioMedia(c, at + 4000, at + 4000 + 1920), S_OK);    // gap 4000: 1920 + 2080
    EXPECT_EQ(State(c.w).FAudioSamples, at + 4000 + 1920);
    c.w.CloseFile();
    EXPECT_EQ(AudioChunkSizes(dir.file("a.avi")),
              (std::vector<std::uint32_t>{7680, 8400, 7680, 7680, 8320, 7680}));
    EXPECT_EQ(HeaderValue(dir.file("a.avi"), 33000), static_cast<std::uint32_t>(at + 4000 + 1920)); // dwLength
    const auto av = avread::Read(dir.file("a.avi"));
    ASSERT_TRUE(av.opened) << av.error;
    EXPECT_EQ(av.streams[1].bytes, (at + 4000 + 1920) * 4);
}

TEST(AviAudioReception, SilenceByStreamTimeAndOverlaps)
{
    th::test::TempDir dir;
    Core c;
    MakeType2(c.w);
    c.w.SetNextFileName(dir.file("t.avi"));
    c.w.Arm(true);
    SetEvent(State(c.w).FInterleaveEvent);
    auto buffer = [&](REFERENCE_TIME t0, REFERENCE_TIME t1) {
        auto s = TestSample::Make(Bytes(static_cast<std::size_t>(Nearest((t1 - t0) * 48000.0 / 1e7)) * 4, 1), t0, t1);
        return c.w.ReceiveAudio(c.audio, s.Get());
    };
    ASSERT_EQ(buffer(0, D), S_OK); // 1920 samples
    ASSERT_EQ(buffer(D + 437500, 2 * D + 437500), S_OK); // a gap of 2100 samples
    EXPECT_EQ(State(c.w).FAudioSamples, 1920 + 2100 + 1920);
    // A buffer that starts 100 samples before the previous one ended counts
    // the samples it writes, so that the header says what the file holds.
    const REFERENCE_TIME back = 2 * D + 437500 - 20833;
    ASSERT_EQ(buffer(back, back + D), S_OK);
    EXPECT_EQ(State(c.w).FAudioSamples, 1920 + 2100 + 1920 + 1920);
    c.w.CloseFile();
    EXPECT_EQ(AudioChunkSizes(dir.file("t.avi")), (std::vector<std::uint32_t>{7680, 8400, 7680, 7680}));
}

TEST(AviAudioReception, RestartedRunAndFirstEmptyBufferNeverShrinkCounts)
{
    th::test::TempDir dir;
    Core c;
    MakeType2(c.w);
    c.w.SetNextFileName(dir.file("n.avi"));
    c.w.Arm(true);
    SetEvent(State(c.w).FInterleaveEvent);
    // An empty first buffer after a gap leaves no nominal size to cut the gap by: one piece.
    ASSERT_EQ(AudioMedia(c, 5000, 5000), S_OK);
    EXPECT_EQ(c.audio.FNominalSamples, 0);
    ASSERT_EQ(AudioMedia(c, 5000, 6920), S_OK);
    EXPECT_EQ(State(c.w).FAudioSamples, 6920);
    EXPECT_EQ(c.audio.FNominalSamples, 1920);
    c.w.CloseFile();
    EXPECT_EQ(AudioChunkSizes(dir.file("n.avi")), (std::vector<std::uint32_t>{20000, 0, 7680}));

    // A new run: the media times begin again below the previous stop.
    c.w.OpenFile();
    ASSERT_EQ(AudioMedia(c, 0, 1920), S_OK);
    EXPECT_EQ(State(c.w).FAudioSamples, 1920);
    ASSERT_EQ(AudioMedia(c, 1920, 3840), S_OK);
    EXPECT_EQ(State(c.w).FAudioSamples, 3840);
    c.w.CloseFile();
    EXPECT_EQ(AudioChunkSizes(dir.file("n.avi")), (std::vector<std::uint32_t>{7680, 7680}));
}

TEST(AviAudioReception, AudioWaitsForVideoAndGoesOnWithoutIt)
{
    th::test::TempDir dir;
    Core c;
    MakeType2(c.w);
    c.w.SetNextFileName(dir.file("w.avi"));
    c.w.Arm(true);
    ResetEvent(State(c.w).FInterleaveEvent);
    auto s = TestSample::Make(Bytes(7680, 1), 10 * D, 11 * D);
    auto done = std::async(std::launch::async, [&] { return c.w.ReceiveAudio(c.audio, s.Get()); });
    ASSERT_TRUE(th::test::waitUntil([&] { return State(c.w).FAudioTime.load() == 10 * D; }));
    // Video that starts before the audio buffer keeps it waiting ...
    Video(c, 9 * D, 10 * D);
    EXPECT_EQ(done.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
    // ... the first that starts at or after it lets it through.
    Video(c, 10 * D, 11 * D);
    ASSERT_EQ(done.wait_for(std::chrono::milliseconds(1500)), std::future_status::ready);
    EXPECT_EQ(done.get(), S_OK);
    EXPECT_EQ(State(c.w).FAudioTime.load(), 11 * D); // its stop time once through

    // Video that starts before the new stop time resets the event: the next
    // audio buffer waits for the time-out, then is written anyway.
    Video(c, 10 * D + D / 2, 11 * D + D / 2);
    auto s2 = TestSample::Make(Bytes(7680, 2), 11 * D, 12 * D);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(c.w.ReceiveAudio(c.audio, s2.Get()), S_OK);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1900));
    c.w.CloseFile();
    EXPECT_EQ(AudioChunkSizes(dir.file("w.avi")).size(), 2u);
}

TEST(AviAudioReception, AStoppingStreamingThreadStopsWaitingForVideo)
{
    th::test::TempDir dir;
    Core c;
    MakeType2(c.w);
    c.w.SetNextFileName(dir.file("s.avi"));
    c.w.Arm(true);
    ResetEvent(State(c.w).FInterleaveEvent);
    auto s = TestSample::Make(Bytes(7680, 1), 10 * D, 11 * D);

    // The audio arrives on a source's streaming thread; no video follows.
    constexpr HRESULT notYet = 0x7FFFFFFF; // no real result
    std::atomic<HRESULT> result{notYet};
    th::dshow::StreamingThread thread;
    ASSERT_TRUE(thread.Start("audio", [&] { result = c.w.ReceiveAudio(c.audio, s.Get()); }));
    ASSERT_TRUE(th::test::waitUntil([&] { return State(c.w).FAudioTime.load() == 10 * D; }));
    EXPECT_EQ(result.load(), notYet); // still waiting for video

    // Stopping the source ends the wait well before the two-second time-out
    // (which the next case shows a waiting buffer otherwise sits out).
    const auto start = std::chrono::steady_clock::now();
    thread.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
    EXPECT_EQ(result.load(), S_OK);
    c.w.CloseFile();
    EXPECT_EQ(AudioChunkSizes(dir.file("s.avi")).size(), 1u); // the buffer is still written
}

// --- File switch -------------------------------------------------------------------------------------------

TEST(AviFileSwitch, AtTheFirstVideoSampleAtOrAfterTheTimeAudioFollowing)
{
    th::test::TempDir dir;
    Core c;
    MakeType2(c.w);
    ASSERT_EQ(c.w.SetFileName(U16(dir.file("a.tmp")).c_str()), S_OK);
    SetEvent(State(c.w).FInterleaveEvent);
    for (int i = 0; i < 3; ++i) {
        Video(c, i * D, (i + 1) * D);
        AudioMedia(c, i * 1920, (i + 1) * 1920);
    }
    // Scheduled for a time between two frames: the frame that starts after it switches.
    ASSERT_EQ(c.w.ChangeFileName(U16(dir.file("b.avi")).c_str(), 3 * D + 1), S_OK);
    Video(c, 3 * D, 4 * D);
    AudioMedia(c, 3 * 1920, 4 * 1920); // still the old file
    Video(c, 4 * D, 5 * D);            // the first of b.avi
    AudioMedia(c, 4 * 1920, 5 * 1920); // follows into b.avi
    EXPECT_FALSE(State(c.w).FChangePending);
    // A time in the past switches at the next sample.
    c.w.ChangeFileName(U16(dir.file("c.avi")).c_str(), 0);
    Video(c, 5 * D, 6 * D);
    Video(c, 6 * D, 7 * D);
    AudioMedia(c, 5 * 1920, 7 * 1920);
    LPOLESTR cur = nullptr;
    c.w.GetCurFile(&cur, nullptr);
    EXPECT_EQ(th::com::Utf16ToUtf8(cur), dir.file("c.avi"));
    CoTaskMemFree(cur);
    c.w.CloseFile();

    const auto a = avread::Read(dir.file("a.tmp"));
    const auto b = avread::Read(dir.file("b.avi"));
    const auto cc = avread::Read(dir.file("c.avi"));
    ASSERT_TRUE(a.opened && b.opened && cc.opened);
    EXPECT_EQ(a.streams[0].packets, 4);
    EXPECT_EQ(a.streams[1].bytes, 4 * 7680);
    EXPECT_EQ(b.streams[0].packets, 1);
    EXPECT_EQ(b.streams[0].headerFrames, 1); // no dropped frames across the switch
    EXPECT_EQ(b.streams[1].bytes, 7680);
    EXPECT_EQ(cc.streams[0].packets, 2);
    EXPECT_EQ(cc.streams[1].bytes, 2 * 7680);

    // A switch while the disk holds every write does not wait for it; when
    // the disk then refuses the old file's last frames, that failure is the
    // writer's first, the run writes nothing more, and both files are whole.
    ASSERT_EQ(c.w.SetFileName(U16(dir.file("d.tmp")).c_str()), S_OK);
    c.BeginRun();
    ASSERT_EQ(c.w.OpenFile(), 0u); // as the filter opens it when it runs
    const std::string gate = dir.file("held");
    setenv(th::riff::kHoldWritesVariable, gate.c_str(), 1);
    std::fclose(std::fopen(gate.c_str(), "w"));
    c.w.ChangeFileName(U16(dir.file("e.avi")).c_str(), 3 * D);
    constexpr std::size_t kFrame = 20000;
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(Video(c, i * D, (i + 1) * D, kFrame), S_OK);
    // Room for the first frame and its index, not for the second.
    const std::int64_t firstFrameEnd = State(c.w).FFilePos - 2 * std::int64_t(kFrame + 8);
    auto limit = std::make_unique<th::test::FileSizeLimit>(firstFrameEnd + 16384 + 100);
    auto switched = std::async(std::launch::async, [&] { return Video(c, 3 * D, 4 * D, kFrame); });
    const bool waited = switched.wait_for(std::chrono::seconds(30)) != std::future_status::ready;
    std::remove(gate.c_str());
    unsetenv(th::riff::kHoldWritesVariable);
    EXPECT_FALSE(waited) << "the switch waited for the disk";
    EXPECT_EQ(switched.get(), S_OK);
    ASSERT_TRUE(th::test::waitUntil([&] {
        std::lock_guard<StdWriterLock> hold(c.lock);
        return FAILED(c.w.WriteError());
    }, std::chrono::seconds(30)));
    limit.reset();
    EXPECT_EQ(c.w.WriteError(), HRESULT_FROM_WIN32(th::riff::kErrorFileTooLarge));
    EXPECT_NE(c.w.WriteErrorText().find(dir.file("d.tmp")), std::string::npos) << c.w.WriteErrorText();
    EXPECT_EQ(Video(c, 4 * D, 5 * D, kFrame), HRESULT_FROM_WIN32(th::riff::kErrorFileTooLarge));
    c.w.CloseFile();
    EXPECT_EQ(c.w.FramesWritten(), 2);
    const auto d = avread::Read(dir.file("d.tmp"));
    const auto e = avread::Read(dir.file("e.avi"));
    ASSERT_TRUE(d.opened && e.opened) << d.error << e.error;
    EXPECT_EQ(d.streams[0].packets, 1);
    EXPECT_EQ(d.streams[0].headerFrames, 1);
    EXPECT_EQ(d.streams[0].indexEntries, 1);
    EXPECT_EQ(e.streams[0].packets, 1);
    EXPECT_EQ(e.streams[0].headerFrames, 1);
}

// --- Without a file ------------------------------------------------------------------------------------------

TEST(AviReceptionWithoutFile, NotArmedDropsAndArmedWithoutFileCountsNothing)
{
    th::test::TempDir dir;
    Core c;
    MakeType2(c.w);
    SetEvent(State(c.w).FInterleaveEvent);
    EXPECT_EQ(Video(c, 0, D), S_OK);
    EXPECT_EQ(AudioMedia(c, 0, 1920), S_OK);
    EXPECT_FALSE(c.w.IsFileOpen());

    // Armed, but the file cannot be created: every sample tries again, and
    // fails with the kept error.
    c.w.SetNextFileName(dir.file("missing/x.avi"));
    c.w.Arm(true);
    const HRESULT missing = HRESULT_FROM_WIN32(static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(Video(c, D, 2 * D), missing);
    EXPECT_EQ(AudioMedia(c, 1920, 3840), missing);
    EXPECT_EQ(Video(c, 2 * D, 3 * D), missing);
    EXPECT_EQ(State(c.w).FVideoFrames, 0);
    EXPECT_EQ(State(c.w).FAudioSamples, 0);
    c.w.SetNextFileName(dir.file("x.avi"));
    EXPECT_EQ(Video(c, 3 * D, 4 * D), S_OK);
    EXPECT_EQ(AudioMedia(c, 3840, 5760), S_OK);
    EXPECT_EQ(State(c.w).FVideoFrames, 1); // no drops for the frames that had no file
    EXPECT_EQ(State(c.w).FAudioSamples, 1920);
    c.w.CloseFile();
    EXPECT_EQ(DroppedFlags(dir.file("x.avi")), std::vector<bool>{false});

    // A sample without a buffer: its error, nothing counted.
    c.w.OpenFile();
    auto bad = TestSample::Make(Bytes(100, 0), 4 * D, 5 * D);
    bad->pointerResult = E_POINTER;
    EXPECT_EQ(c.w.ReceiveVideo(c.video, bad.Get()), E_POINTER);
    EXPECT_EQ(State(c.w).FVideoFrames, 0);
}

// --- Files byte for byte ----------------------------------------------------------------------------------

// Representative files, each compared with what this writer wrote before its
// index and gap code was shared with the AVI Mux: type-2 with dropped frames,
// a sound gap and a file switch; type-1 NTSC across standard indexes and
// 'AVIX' pieces; a file on a full disk that takes back a gap filler and is
// cut back until its indexes fit.
TEST(AviFilesAsBefore, EveryLayoutIsWrittenByteForByteAsBefore)
{
    th::test::TempDir dir;
    const auto frame = [](int i, std::size_t n) { return Bytes(n, static_cast<BYTE>(0x40 + i)); };
    {
        Core c;
        MakeType2(c.w);
        ASSERT_EQ(c.w.SetFileName(U16(dir.file("type2.avi")).c_str()), S_OK);
        c.BeginRun();
        SetEvent(State(c.w).FInterleaveEvent);
        ASSERT_EQ(c.w.OpenFile(), 0u);
        c.w.ChangeFileName(U16(dir.file("type2b.avi")).c_str(), 6 * D);
        for (int i = 0; i < 9; ++i) {
            if (i == 2 || i == 3)
                continue;
            auto v = TestSample::Make(frame(i, 1000 + 10 * i), i * D, (i + 1) * D);
            ASSERT_EQ(c.w.ReceiveVideo(c.video, v.Get()), S_OK);
            if (i != 5) {
                ASSERT_EQ(AudioMedia(c, i * 1920, (i + 1) * 1920, static_cast<BYTE>(i)), S_OK);
            }
        }
        c.w.CloseFile();
    }
    {
        Core c(OpenDmlLimits{40000, 3, 8});
        DVINFO dv;
        AM_MEDIA_TYPE mt = InterleavedType(dv, 120000);
        c.w.RecordMediaFormat(mt);
        ASSERT_EQ(c.w.SetFileName(U16(dir.file("type1.avi")).c_str()), S_OK);
        c.BeginRun();
        constexpr REFERENCE_TIME N = 333667;
        for (int i = 0; i < 14; ++i) {
            if (i == 7)
                continue;
            auto v = TestSample::Make(frame(i, 5000), i * N, (i + 1) * N);
            ASSERT_EQ(c.w.ReceiveVideo(c.video, v.Get()), S_OK);
        }
        c.w.CloseFile();
    }
    {
        Core c(OpenDmlLimits{0x40000000, 4, 16});
        MakeType2(c.w);
        ASSERT_EQ(c.w.SetFileName(U16(dir.file("full.avi")).c_str()), S_OK);
        c.BeginRun();
        SetEvent(State(c.w).FInterleaveEvent);
        ASSERT_EQ(c.w.OpenFile(), 0u);
        for (int i = 0; i < 5; ++i) {
            auto v = TestSample::Make(frame(i, 3000), i * D, (i + 1) * D);
            ASSERT_EQ(c.w.ReceiveVideo(c.video, v.Get()), S_OK);
            ASSERT_EQ(AudioMedia(c, i * 1920, (i + 1) * 1920, static_cast<BYTE>(i)), S_OK);
        }
        ASSERT_EQ(c.w.Flush(), 0u);
        {
            // Room for less than the next frame or the two indexes: the
            // frame after a gap fails, and the close cuts chunks until the
            // indexes fit.
            th::test::FileSizeLimit limit(State(c.w).FFilePos + 100);
            auto v = TestSample::Make(frame(7, 3000), 7 * D, 8 * D);
            c.w.ReceiveVideo(c.video, v.Get());
            c.w.Flush();
            c.w.CloseFile();
        }
    }
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"type2.avi", "d62d4b88dacc39d59fa8405f1ef41dcc58d42ac2303ca056ded3a9054a97e1d7"},
        {"type2b.avi", "4a672ddb71ed38e34bbcaff58aae8836fb6143065bd07e5ba527fc45118372e0"},
        {"type1.avi", "483df0fab4954e2538ebd8618430f792907f928c93bee6de11a82dbdce0e416c"},
        {"full.avi", "b02fad0752290f450253922a7370cd3524d4f82084d463e75d5f7a8c1f396255"},
    };
    for (const auto& [name, sha] : expected) {
        EXPECT_TRUE(avicheck::Walk(dir.file(name)).ok()) << name;
        EXPECT_EQ(avread::FileSha256(dir.file(name)), sha) << name;
    }
}
