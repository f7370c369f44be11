// The AVI Mux and File Writer in a graph: samples pushed into the mux's inputs
// come out as files that libavformat reads back and that the tests' own RIFF
// walker finds consistent (idx1, super and standard indexes, headers).

#include "AviTestSupport.h"
#include "support/TestUtil.h"

#include "platform/media/AviMux.h"
#include "platform/media/FileWriter.h"
#include "platform/riff/Riff.h"

#include <gtest/gtest.h>

#include <optional>

#include <atomic>
#include <csignal>
#include <fstream>
#include <sys/resource.h>
#include <thread>

using th::test::FileSizeLimit;

using namespace avitest;
using th::riff::FourCC;

namespace {

constexpr std::size_t kAudioPerFrame = 1920; // 48 kHz at 25 frames/s
constexpr std::size_t kAudioBytes = kAudioPerFrame * 4;

std::vector<std::uint8_t> Tone(std::int64_t first, std::size_t samples)
{
    std::vector<std::uint8_t> b(samples * 4);
    for (std::size_t i = 0; i < samples; ++i) {
        const auto v = static_cast<std::int16_t>(((first + static_cast<std::int64_t>(i)) % 200) * 100 - 10000);
        th::riff::Put16(&b[4 * i], static_cast<std::uint16_t>(v));
        th::riff::Put16(&b[4 * i + 2], static_cast<std::uint16_t>(-v));
    }
    return b;
}

class AviMuxTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        static th::test::TempDir frameDir;
        if (frames_.empty()) {
            frames_ = MakeDvFrames(frameDir.path(), 50);
            tape_ = frameDir.file("frames.dv");
        }
    }
    const std::vector<std::uint8_t>& Frame(std::int64_t i) const
    {
        return frames_[static_cast<std::size_t>(i) % frames_.size()];
    }

    // Pushes frames [from, to) of a type-1 stream, skipping those in `skip`.
    void PushType1(MuxGraph& g, std::int64_t from, std::int64_t to, bool media = true,
                   const std::vector<std::int64_t>& skip = {})
    {
        for (std::int64_t i = from; i < to; ++i) {
            if (std::find(skip.begin(), skip.end(), i) != skip.end())
                continue;
            ASSERT_EQ(g.sources[0]->Push(Frame(i).data(), kPalFrameBytes, FrameTimes(i, media)), S_OK) << i;
        }
    }
    // Pushes frames [from, to) of a type-2 pair (video, then its audio).
    // With `frameNumbers`, both carry the frame's media times, as the DV
    // splitter stamps them.
    void PushType2(MuxGraph& g, std::int64_t from, std::int64_t to, const std::vector<std::int64_t>& skip = {},
                   bool mediaTimes = false)
    {
        for (std::int64_t i = from; i < to; ++i) {
            if (std::find(skip.begin(), skip.end(), i) != skip.end())
                continue;
            ASSERT_EQ(g.sources[0]->Push(Frame(i).data(), kPalFrameBytes, FrameTimes(i, mediaTimes)), S_OK) << i;
            const auto first = static_cast<std::int64_t>(i * kAudioPerFrame);
            const std::vector<std::uint8_t> pcm = Tone(first, kAudioPerFrame);
            Times t = AudioTimes(first, kAudioPerFrame);
            t.hasMedia = mediaTimes;
            ASSERT_EQ(g.sources[1]->Push(pcm.data(), pcm.size(), t), S_OK) << i;
        }
    }

    th::test::TempDir dir;
    static std::vector<std::vector<std::uint8_t>> frames_;
    static std::string tape_;
};

std::vector<std::vector<std::uint8_t>> AviMuxTest::frames_;
std::string AviMuxTest::tape_;

std::int64_t AudioSamples(const AvFile& f)
{
    for (const AvStream& s : f.streams)
        if (s.type == "audio")
            return s.bytes / (2 * std::max(1, s.channels));
    return -1;
}

const AvStream* StreamOf(const AvFile& f, const std::string& type)
{
    for (const AvStream& s : f.streams)
        if (s.type == type)
            return &s;
    return nullptr;
}

} // namespace

// --- Type-1 and type-2 files -------------------------------------------------------------------

TEST_F(AviMuxTest, Type1FileHasOneInterleavedStreamReadBackWithTheTapesAudio)
{
    const std::string path = dir.file("type1.avi");
    {
        MuxGraph g(path, {InterleavedDvType()});
        ASSERT_EQ(g.control->Run(), S_OK);
        PushType1(g, 0, 50);
        ASSERT_EQ(g.control->Stop(), S_OK);
    }
    const AviFile f = Walk(path);
    ASSERT_TRUE(f.errors.empty()) << f.errorText();
    ASSERT_EQ(f.riffs.size(), 1u);
    ASSERT_EQ(f.streams.size(), 1u);
    EXPECT_EQ(f.streams[0].fccType, FourCC("iavs"));
    EXPECT_EQ(f.streams[0].fccHandler, FourCC("dvsd"));
    EXPECT_EQ(f.streams[0].format.size(), sizeof(DVINFO));
    EXPECT_EQ(f.streams[0].rate, 25u);
    EXPECT_EQ(f.streams[0].scale, 1u);
    EXPECT_EQ(f.streams[0].length, 50u);
    EXPECT_EQ(f.avihTotalFrames, 50u);
    EXPECT_EQ(f.dmlhTotalFrames, 50u);
    ASSERT_TRUE(f.hasIdx1);
    EXPECT_EQ(f.idx1.size(), 50u);
    EXPECT_EQ(f.idx1[0].id, FourCC("00dc"));
    EXPECT_EQ(f.idx1[0].size, kPalFrameBytes);
    EXPECT_EQ(f.streams[0].entries.size(), 50u);

    // libavformat splits the interleaved stream into the tape's video and audio.
    const AvFile av = AvRead(path);
    ASSERT_TRUE(av.opened) << av.error;
    const AvStream* video = StreamOf(av, "video");
    ASSERT_NE(video, nullptr);
    EXPECT_EQ(video->codec, "dvvideo");
    EXPECT_EQ(video->packets, 50);
    EXPECT_EQ(video->width, 720);
    EXPECT_EQ(video->height, 576);
    const AvFile tape = AvRead(tape_);
    ASSERT_TRUE(tape.opened) << tape.error;
    EXPECT_GT(AudioSamples(av), 0);
    EXPECT_EQ(AudioSamples(av), AudioSamples(tape));
}

TEST_F(AviMuxTest, Type2FileHasDvVideoAndPcmAudioStreams)
{
    const std::string path = dir.file("type2.avi");
    {
        MuxGraph g(path, {DvVideoType(), PcmType()});
        ASSERT_EQ(g.control->Run(), S_OK);
        PushType2(g, 0, 40);
        ASSERT_EQ(g.control->Stop(), S_OK);
    }
    const AviFile f = Walk(path);
    ASSERT_TRUE(f.errors.empty()) << f.errorText();
    ASSERT_EQ(f.streams.size(), 2u);
    EXPECT_EQ(f.streams[0].fccType, FourCC("vids"));
    EXPECT_EQ(f.streams[0].fccHandler, FourCC("dvsd"));
    EXPECT_EQ(f.streams[0].format.size(), sizeof(BITMAPINFOHEADER));
    EXPECT_EQ(f.streams[0].length, 40u);
    EXPECT_EQ(f.streams[1].fccType, FourCC("auds"));
    EXPECT_EQ(f.streams[1].sampleSize, 4u);
    EXPECT_EQ(f.streams[1].length, 40u * kAudioPerFrame);
    EXPECT_EQ(f.idx1.size(), 80u);
    // Chunks in the order the samples came: video, audio, video, ...
    const std::vector<const Chunk*> chunks = f.movieChunks();
    ASSERT_EQ(chunks.size(), 80u);
    EXPECT_EQ(chunks[0]->id, FourCC("00dc"));
    EXPECT_EQ(chunks[1]->id, FourCC("01wb"));
    EXPECT_EQ(chunks[1]->size, kAudioBytes);

    const AvFile av = AvRead(path);
    ASSERT_TRUE(av.opened) << av.error;
    ASSERT_EQ(av.streams.size(), 2u);
    EXPECT_EQ(av.streams[0].codec, "dvvideo");
    EXPECT_EQ(av.streams[0].packets, 40);
    EXPECT_EQ(av.streams[0].headerFrames, 40);
    EXPECT_EQ(av.streams[1].codec, "pcm_s16le");
    EXPECT_EQ(av.streams[1].sampleRate, 48000);
    EXPECT_EQ(av.streams[1].channels, 2);
    EXPECT_EQ(AudioSamples(av), 40 * static_cast<std::int64_t>(kAudioPerFrame));
}

TEST_F(AviMuxTest, EachRunFromStoppedWritesTheFileAnew)
{
    const std::string path = dir.file("again.avi");
    MuxGraph g(path, {InterleavedDvType()});
    ASSERT_EQ(g.control->Run(), S_OK);
    PushType1(g, 0, 30);
    ASSERT_EQ(g.control->Stop(), S_OK);
    ASSERT_EQ(g.control->Run(), S_OK);
    PushType1(g, 0, 12);
    ASSERT_EQ(g.control->Pause(), S_OK);
    ASSERT_EQ(g.control->Run(), S_OK); // paused and running again: the same file goes on
    PushType1(g, 12, 20);
    ASSERT_EQ(g.control->Stop(), S_OK);
    const AviFile f = Walk(path);
    ASSERT_TRUE(f.errors.empty()) << f.errorText();
    EXPECT_EQ(f.streams.at(0).length, 20u);
    EXPECT_EQ(AvRead(path).streams.at(0).packets, 20);
}

TEST_F(AviMuxTest, EndOfEveryStreamFinishesTheFileAndCompletesTheGraph)
{
    const std::string path = dir.file("eos.avi");
    MuxGraph g(path, {DvVideoType(), PcmType()});
    ASSERT_EQ(g.control->Run(), S_OK);
    PushType2(g, 0, 10);
    ASSERT_EQ(g.sources[0]->End(), S_OK);
    ASSERT_EQ(g.sources[1]->End(), S_OK);
    // Finished before the stop: complete on disk now.
    const AviFile f = Walk(path);
    ASSERT_TRUE(f.errors.empty()) << f.errorText();
    EXPECT_EQ(f.streams.at(0).length, 10u);
    bool complete = false;
    for (const auto& e : g.Events())
        complete = complete || e.first == EC_COMPLETE;
    EXPECT_TRUE(complete);
    // Samples after the end are refused.
    EXPECT_EQ(g.sources[0]->Push(Frame(0).data(), kPalFrameBytes, FrameTimes(10)), VFW_E_SAMPLE_REJECTED_EOS);
    ASSERT_EQ(g.control->Stop(), S_OK);
    EXPECT_EQ(Walk(path).streams.at(0).length, 10u);
}

// --- Dropped frames and gaps -----------------------------------------------------------------

TEST_F(AviMuxTest, DroppedFramesBecomeEmptyChunksAndAudioGapsSilence)
{
    // By stream times alone, and with the media times a DV splitter gives
    // (frames for the video, samples for the audio).
    for (const bool mediaTimes : {false, true}) {
        SCOPED_TRACE(mediaTimes);
        const std::string path = dir.file(mediaTimes ? "dropped-media.avi" : "dropped.avi");
        {
            MuxGraph g(path, {DvVideoType(), PcmType()});
            ASSERT_EQ(g.control->Run(), S_OK);
            PushType2(g, 0, 40, {10, 11, 25}, mediaTimes);
            ASSERT_EQ(g.control->Stop(), S_OK);
        }
        const AviFile f = Walk(path);
        ASSERT_TRUE(f.errors.empty()) << f.errorText();
        EXPECT_EQ(f.streams.at(0).length, 40u);
        EXPECT_EQ(f.streams.at(1).length, 40u * kAudioPerFrame);
        int empty = 0;
        for (const Idx1Entry& e : f.idx1)
            if (e.id == FourCC("00dc") && e.size == 0) {
                ++empty;
                EXPECT_EQ(e.flags & 0x10u, 0u);
            }
        EXPECT_EQ(empty, 3);
        int emptyStd = 0;
        for (const auto& e : f.streams[0].entries)
            emptyStd += e.size == 0 && !e.key;
        EXPECT_EQ(emptyStd, 3);

        const AvFile av = AvRead(path);
        ASSERT_TRUE(av.opened);
        EXPECT_EQ(av.streams.at(0).headerFrames, 40);
        EXPECT_EQ(av.streams.at(0).packets - av.streams.at(0).emptyPackets, 37);
        EXPECT_EQ(AudioSamples(av), 40 * static_cast<std::int64_t>(kAudioPerFrame));
    }
}

TEST_F(AviMuxTest, DroppedFramesByMediaTimeWhateverTheFlags)
{
    const std::string path = dir.file("media.avi");
    {
        MuxGraph g(path, {InterleavedDvType()});
        ASSERT_EQ(g.control->Run(), S_OK);
        // Media times skip 5..7; the stream times say nothing (none set).
        for (std::int64_t i = 0; i < 20; ++i) {
            if (i >= 5 && i < 8)
                continue;
            Times t = FrameTimes(i, true);
            t.hasTime = false;
            ASSERT_EQ(g.sources[0]->Push(Frame(i).data(), kPalFrameBytes, t), S_OK);
        }
        // A discontinuity still keeps the places of the 80 frames lost.
        Times t = FrameTimes(100, true);
        t.discontinuity = true;
        ASSERT_EQ(g.sources[0]->Push(Frame(0).data(), kPalFrameBytes, t), S_OK);
        // Half a frame late by stream time (no media times) drops nothing ...
        Times late = FrameTimes(101);
        late.start += kPalFrame / 3;
        ASSERT_EQ(g.sources[0]->Push(Frame(1).data(), kPalFrameBytes, late), S_OK);
        ASSERT_EQ(g.control->Stop(), S_OK);
    }
    const AviFile f = Walk(path);
    ASSERT_TRUE(f.errors.empty()) << f.errorText();
    EXPECT_EQ(f.streams.at(0).length, 102u); // 17 frames, 3 dropped, 80 lost, 2 more
}

TEST_F(AviMuxTest, ShortAndOddSamplesAreRefusedAndCountAsGaps)
{
    const std::string path = dir.file("bad.avi");
    {
        MuxGraph g(path, {DvVideoType(), PcmType()});
        ASSERT_EQ(g.control->Run(), S_OK);
        PushType2(g, 0, 5);
        EXPECT_EQ(g.sources[0]->Push(Frame(5).data(), 1000, FrameTimes(5)), E_INVALIDARG);
        const std::vector<std::uint8_t> odd(7, 0);
        EXPECT_EQ(g.sources[1]->Push(odd.data(), odd.size(), AudioTimes(5 * 1920, 1)), E_INVALIDARG);
        PushType2(g, 6, 10);
        ASSERT_EQ(g.control->Stop(), S_OK);
    }
    const AviFile f = Walk(path);
    ASSERT_TRUE(f.errors.empty()) << f.errorText();
    EXPECT_EQ(f.streams.at(0).length, 10u);
    EXPECT_EQ(f.streams.at(1).length, 10u * kAudioPerFrame);
}

// --- OpenDML ------------------------------------------------------------------------------------

TEST_F(AviMuxTest, FilesPastTheRiffLimitContinueInAvixPiecesWithStandardIndexes)
{
    // Limits just below, at and above a multiple of the chunk sizes.
    for (const std::int64_t limit : {std::int64_t(1500000), std::int64_t(1553000), std::int64_t(2000001)}) {
        SCOPED_TRACE(limit);
        const std::string path = dir.file("odml" + std::to_string(limit) + ".avi");
        {
            MuxGraph g(path, {DvVideoType(), PcmType()}, limit);
            ASSERT_EQ(g.control->Run(), S_OK);
            PushType2(g, 0, 60, {33});
            ASSERT_EQ(g.control->Stop(), S_OK);
        }
        const AviFile f = Walk(path);
        ASSERT_TRUE(f.errors.empty()) << f.errorText();
        ASSERT_GT(f.riffs.size(), 2u);
        for (const Chunk& riff : f.riffs)
            EXPECT_LE(static_cast<std::int64_t>(riff.size) + 8, limit);
        // One standard index per stream and piece.
        EXPECT_EQ(f.streams.at(0).durations.size(), f.riffs.size());
        EXPECT_EQ(f.streams.at(0).entries.size(), 60u);
        EXPECT_EQ(f.streams.at(1).entries.size(), 59u + 1u); // 59 buffers and the silence for 33
        // idx1 only for the first RIFF; avih counts its frames, dmlh all of them.
        std::uint32_t firstRiffFrames = 0;
        for (const Idx1Entry& e : f.idx1)
            firstRiffFrames += e.id == FourCC("00dc");
        EXPECT_EQ(f.avihTotalFrames, firstRiffFrames);
        EXPECT_LT(f.avihTotalFrames, 60u);
        EXPECT_EQ(f.dmlhTotalFrames, 60u);
        EXPECT_EQ(f.streams[0].length, 60u);

        const AvFile av = AvRead(path);
        ASSERT_TRUE(av.opened);
        EXPECT_EQ(av.streams.at(0).packets - av.streams.at(0).emptyPackets, 59);
        EXPECT_EQ(AudioSamples(av), 60 * static_cast<std::int64_t>(kAudioPerFrame));
    }
}

TEST_F(AviMuxTest, WithoutTheCompatibilityIndexOnlyTheOpenDmlIndexesAreWritten)
{
    const std::string path = dir.file("noidx1.avi");
    {
        MuxGraph g(path, {InterleavedDvType()});
        ComPtr<IConfigAviMux> config;
        ASSERT_EQ(g.mux->QueryInterface(IID_PPV_ARGS(config.ReleaseAndGetAddressOf())), S_OK);
        BOOL old = FALSE;
        ASSERT_EQ(config->GetOutputCompatibilityIndex(&old), S_OK);
        EXPECT_EQ(old, TRUE);
        ASSERT_EQ(config->SetOutputCompatibilityIndex(FALSE), S_OK);
        ASSERT_EQ(g.control->Run(), S_OK);
        PushType1(g, 0, 10);
        ASSERT_EQ(g.control->Stop(), S_OK);
    }
    const AviFile f = Walk(path);
    ASSERT_TRUE(f.errors.empty()) << f.errorText();
    EXPECT_FALSE(f.hasIdx1);
    EXPECT_EQ(f.avihFlags & 0x10u, 0u);
    EXPECT_EQ(AvRead(path).streams.at(0).packets, 10);
}

TEST_F(AviMuxTest, ConfigurationInterfacesCheckTheirArguments)
{
    MuxGraph g(dir.file("config.avi"), {InterleavedDvType()});
    ComPtr<IConfigInterleaving> interleaving;
    ASSERT_EQ(g.mux->QueryInterface(IID_PPV_ARGS(interleaving.ReleaseAndGetAddressOf())), S_OK);
    EXPECT_EQ(interleaving->put_Mode(INTERLEAVE_NONE), S_OK);
    EXPECT_EQ(interleaving->put_Mode(static_cast<InterleavingMode>(4)), E_INVALIDARG);
    InterleavingMode mode = INTERLEAVE_FULL;
    EXPECT_EQ(interleaving->get_Mode(&mode), S_OK);
    EXPECT_EQ(mode, INTERLEAVE_NONE);

    ComPtr<IFileSinkFilter2> sink2;
    ASSERT_EQ(g.sink->QueryInterface(IID_PPV_ARGS(sink2.ReleaseAndGetAddressOf())), S_OK);
    EXPECT_EQ(sink2->SetMode(AM_FILE_OVERWRITE), S_OK);
    EXPECT_EQ(sink2->SetMode(2), E_INVALIDARG);
    DWORD flags = 0;
    EXPECT_EQ(sink2->GetMode(&flags), S_OK);
    EXPECT_EQ(flags, AM_FILE_OVERWRITE);

    LPOLESTR name = nullptr;
    AM_MEDIA_TYPE mt{};
    ASSERT_EQ(g.sink->GetCurFile(&name, &mt), S_OK);
    EXPECT_EQ(th::com::Utf16ToUtf8(name), dir.file("config.avi"));
    EXPECT_TRUE(mt.majortype == MEDIATYPE_Stream);
    CoTaskMemFree(name);
    th::dshow::FreeMediaTypeContents(mt);
    EXPECT_EQ(g.sink->SetFileName(nullptr, nullptr), E_POINTER);
    EXPECT_EQ(g.sink->SetFileName(u"", nullptr), E_INVALIDARG);

    ASSERT_EQ(g.control->Run(), S_OK);
    EXPECT_EQ(g.sink->SetFileName(u"/tmp/other.avi", nullptr), VFW_E_NOT_STOPPED);
    ASSERT_EQ(g.control->Stop(), S_OK);
    // A new name takes effect at the next run.
    const std::string other = dir.file("other.avi");
    ASSERT_EQ(g.sink->SetFileName(th::com::Utf8ToUtf16(other).c_str(), nullptr), S_OK);
    ASSERT_EQ(g.control->Run(), S_OK);
    PushType1(g, 0, 3);
    ASSERT_EQ(g.control->Stop(), S_OK);
    EXPECT_EQ(Walk(other).streams.at(0).length, 3u);
}

TEST_F(AviMuxTest, AnExistingFileIsReplacedAndCutToTheNewLength)
{
    const std::string path = dir.file("replace.avi");
    {
        std::ofstream old(path, std::ios::binary);
        const std::string junk(20 * kPalFrameBytes, 'x');
        old << junk;
    }
    {
        MuxGraph g(path, {InterleavedDvType()});
        ASSERT_EQ(g.control->Run(), S_OK);
        PushType1(g, 0, 4);
        ASSERT_EQ(g.control->Stop(), S_OK);
    }
    const AviFile f = Walk(path);
    ASSERT_TRUE(f.errors.empty()) << f.errorText();
    EXPECT_EQ(f.fileSize, static_cast<std::uint64_t>(f.riffs[0].size) + 8);
}

// --- Files that cannot be written ---------------------------------------------------------------

TEST_F(AviMuxTest, AFileThatCannotBeCreatedFailsTheRunAndIsReportedThroughTheGraph)
{
    const std::string path = dir.file("missing/folder/capture.avi");
    MuxGraph g(path, {InterleavedDvType()});
    const HRESULT expected = HRESULT_FROM_WIN32(static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(g.control->Run(), expected);
    EXPECT_EQ(g.sources[0]->Push(Frame(0).data(), kPalFrameBytes, FrameTimes(0)), expected);
    int aborts = 0;
    for (const auto& e : g.Events())
        if (e.first == EC_ERRORABORT) {
            ++aborts;
            EXPECT_EQ(static_cast<HRESULT>(e.second), expected);
        }
    EXPECT_EQ(aborts, 1);
    EXPECT_EQ(g.control->Stop(), S_OK);
}

TEST_F(AviMuxTest, AFileClosedAfterAWriteErrorHasValidHeadersUpToTheLastGoodChunk)
{
    // Where two frames and their audio end, from a file without a limit.
    std::uint64_t twoPairs = 0;
    {
        const std::string ref = dir.file("reference.avi");
        MuxGraph g(ref, {DvVideoType(), PcmType()});
        ASSERT_EQ(g.control->Run(), S_OK);
        PushType2(g, 0, 3);
        ASSERT_EQ(g.control->Stop(), S_OK);
        const AviFile f = Walk(ref);
        ASSERT_EQ(f.movieChunks().size(), 6u);
        const Chunk* c = f.movieChunks()[3];
        twoPairs = static_cast<std::uint64_t>(c->pos) + 8 + c->size;
    }
    // The failing write is a movie chunk and the indexes still fit after the
    // last good one; or nothing more fits, not even the indexes, until the
    // last chunks give way; or a real disk fills up.
    for (const rlim_t limit : {rlim_t(3000000), rlim_t(twoPairs + 10), rlim_t(0)}) {
        SCOPED_TRACE(limit);
        std::optional<th::test::SmallDisk> disk;
        if (limit == 0) {
            disk.emplace(th::test::SmallDisk::Kind::Full, 1536 * 1024, false);
            if (!disk->mounted())
                continue; // the file size limits stand in for it
        }
        const std::string path =
            limit == 0 ? disk->path() + "/full.avi" : dir.file("full" + std::to_string(limit) + ".avi");
        std::uint32_t goodVideo = 0;
        HRESULT failure = S_OK;
        std::vector<std::pair<LONG, LONG_PTR>> events;
        {
            MuxGraph g(path, {DvVideoType(), PcmType()});
            std::optional<FileSizeLimit> fsize;
            if (limit != 0)
                fsize.emplace(limit);
            ASSERT_EQ(g.control->Run(), S_OK);
            // Under the file size limit every frame comes after a lost one,
            // so the frame that fails comes after a gap.
            const std::int64_t step = limit == rlim_t(3000000) ? 2 : 1;
            for (std::int64_t i = 0; i < 40 && failure == S_OK; ++i) {
                failure = g.sources[0]->Push(Frame(i).data(), kPalFrameBytes, FrameTimes(i * step));
                if (failure != S_OK)
                    break;
                ++goodVideo;
                const std::vector<std::uint8_t> pcm = Tone(i * 1920, 1920);
                failure = g.sources[1]->Push(pcm.data(), pcm.size(), AudioTimes(i * 1920, 1920));
            }
            // A write that failed behind the writer's queue is answered by a
            // later sample, at the latest once the queue has gone out.
            if (failure == S_OK) {
                ComPtr<IFileWriteBehind> behind;
                ASSERT_EQ(g.sink.As(&behind), S_OK);
                LONGLONG end = 0;
                EXPECT_TRUE(FAILED(behind->FlushWrites(&end)));
                failure = g.sources[0]->Push(Frame(40).data(), kPalFrameBytes, FrameTimes(40 * step));
            }
            // Later samples get the same first error.
            EXPECT_EQ(g.sources[0]->Push(Frame(0).data(), kPalFrameBytes, FrameTimes(100)), failure);
            ASSERT_EQ(g.control->Stop(), S_OK);
            events = g.Events();
            // The writer's status names the file and the system's reason.
            ComPtr<IFileWriteStatus> status;
            ASSERT_EQ(g.sink.As(&status), S_OK);
            HRESULT kept = S_OK;
            LPOLESTR text = nullptr;
            ASSERT_EQ(status->GetWriteError(&kept, &text), S_OK);
            EXPECT_EQ(kept, failure);
            ASSERT_NE(text, nullptr);
            const std::string message = th::com::Utf16ToUtf8(text);
            CoTaskMemFree(text);
            EXPECT_NE(message.find(path), std::string::npos) << message;
        }
        EXPECT_EQ(failure, HRESULT_FROM_WIN32(limit == 0 ? 112u : 223u)); // ERROR_DISK_FULL, ERROR_FILE_TOO_LARGE
        int aborts = 0;
        for (const auto& e : events)
            aborts += e.first == EC_ERRORABORT;
        EXPECT_EQ(aborts, 1);

        const AviFile f = Walk(path);
        ASSERT_TRUE(f.errors.empty()) << f.errorText();
        if (limit != 0) {
            EXPECT_LE(f.fileSize, limit);
        }
        EXPECT_EQ(f.fileSize, static_cast<std::uint64_t>(f.riffs[0].size) + 8);
        EXPECT_TRUE(f.hasIdx1) << "the indexes always find room";
        // Every chunk on disk is indexed, and the headers count just those.
        EXPECT_EQ(f.streams.at(0).entries.size() + f.streams.at(1).entries.size(), f.movieChunks().size());
        EXPECT_EQ(f.idx1.size(), f.movieChunks().size());
        EXPECT_EQ(f.streams.at(0).entries.size(), f.streams.at(0).length);
        // Frames taken while the failure was still in the queue are not there.
        EXPECT_LE(std::count_if(f.streams.at(0).entries.begin(), f.streams.at(0).entries.end(),
                                [](const auto& e) { return e.size != 0; }),
                  goodVideo);
        if (limit == twoPairs + 10) {
            EXPECT_EQ(f.streams.at(0).length, 2u);
            EXPECT_EQ(f.streams.at(1).entries.size(), 1u) << "the last sound gave way to the indexes";
        }
        ASSERT_FALSE(f.streams.at(0).entries.empty());
        EXPECT_NE(f.streams.at(0).entries.back().size, 0u) << "the gap before the frame that failed is not kept";
        const AvFile av = AvRead(path);
        ASSERT_TRUE(av.opened) << av.error;
        // libavformat returns no packet for the empty chunk of a lost frame.
        const auto& entries = f.streams.at(0).entries;
        const auto frames = std::count_if(entries.begin(), entries.end(), [](const auto& e) { return e.size != 0; });
        EXPECT_EQ(av.streams.at(0).packets, frames);
    }
}

// --- Threads -------------------------------------------------------------------------------------

TEST_F(AviMuxTest, StopWhileTheSourceStreamsEndsWithAValidFile)
{
    const std::string path = dir.file("race.avi");
    for (int round = 0; round < 3; ++round) {
        MuxGraph g(path, {InterleavedDvType()});
        ASSERT_EQ(g.control->Run(), S_OK);
        std::atomic<int> pushed{0};
        std::int64_t i = 0;
        ASSERT_TRUE(g.sources[0]->StartStreaming([&] {
            if (g.sources[0]->Push(Frame(i).data(), kPalFrameBytes, FrameTimes(i)) != S_OK)
                return false;
            ++i;
            ++pushed;
            return true;
        }));
        th::test::waitUntil([&] { return pushed > 5; });
        ASSERT_EQ(g.control->Stop(), S_OK);
        const AviFile f = Walk(path);
        ASSERT_TRUE(f.errors.empty()) << f.errorText();
        EXPECT_GE(f.streams.at(0).length, 6u);
        EXPECT_EQ(f.streams.at(0).length, static_cast<std::uint32_t>(pushed.load()));
    }
}

// --- Files byte for byte -------------------------------------------------------------------------

// Representative files, each compared with what the mux wrote before its
// index and gap code was shared with the AVI writer plugin: type-1 with a
// dropped frame; type-2 with a dropped frame and a sound gap across 'AVIX'
// pieces; a file on a "full disk" whose last frame after a gap fails.
TEST_F(AviMuxTest, EveryLayoutIsWrittenByteForByteAsBefore)
{
    std::vector<std::vector<std::uint8_t>> frames;
    for (int i = 0; i < 8; ++i) {
        std::vector<std::uint8_t> f(kPalFrameBytes);
        for (std::size_t k = 0; k < f.size(); ++k)
            f[k] = static_cast<std::uint8_t>((k * 7 + static_cast<std::size_t>(i) * 13) >> 3);
        frames.push_back(std::move(f));
    }
    const auto frame = [&](std::int64_t i) { return frames[static_cast<std::size_t>(i) % frames.size()].data(); };
    {
        MuxGraph g(dir.file("type1.avi"), {InterleavedDvType()});
        ASSERT_EQ(g.control->Run(), S_OK);
        for (std::int64_t i = 0; i < 10; ++i)
            if (i != 4) {
                ASSERT_EQ(g.sources[0]->Push(frame(i), kPalFrameBytes, FrameTimes(i, true)), S_OK);
            }
        ASSERT_EQ(g.control->Stop(), S_OK);
    }
    {
        MuxGraph g(dir.file("type2.avi"), {DvVideoType(), PcmType()}, 1500000);
        ASSERT_EQ(g.control->Run(), S_OK);
        for (std::int64_t i = 0; i < 24; ++i) {
            if (i == 3)
                continue;
            ASSERT_EQ(g.sources[0]->Push(frame(i), kPalFrameBytes, FrameTimes(i)), S_OK);
            if (i == 6)
                continue;
            const std::vector<std::uint8_t> pcm = Tone(i * 1920, 1920);
            ASSERT_EQ(g.sources[1]->Push(pcm.data(), pcm.size(), AudioTimes(i * 1920, 1920)), S_OK);
        }
        ASSERT_EQ(g.control->Stop(), S_OK);
    }
    {
        MuxGraph g(dir.file("full.avi"), {DvVideoType(), PcmType()});
        ASSERT_EQ(g.control->Run(), S_OK);
        for (std::int64_t i = 0; i < 3; ++i) {
            ASSERT_EQ(g.sources[0]->Push(frame(i), kPalFrameBytes, FrameTimes(i)), S_OK);
            const std::vector<std::uint8_t> pcm = Tone(i * 1920, 1920);
            ASSERT_EQ(g.sources[1]->Push(pcm.data(), pcm.size(), AudioTimes(i * 1920, 1920)), S_OK);
        }
        ComPtr<IFileWriteBehind> behind;
        ASSERT_EQ(g.sink.As(&behind), S_OK);
        LONGLONG end = 0;
        ASSERT_EQ(behind->FlushWrites(&end), S_OK);
        {
            // Room for less than the frame after the gap, not for its indexes.
            FileSizeLimit fsize(end + 1000);
            g.sources[0]->Push(frame(5), kPalFrameBytes, FrameTimes(5));
            behind->FlushWrites(&end);
            g.control->Stop();
        }
    }
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"type1.avi", "8578886d1e2931d04c22df1bdb5afc819c80c0125fd880230905e2a3f9eb0f39"},
        {"type2.avi", "cd1efd0777bd8e8a11e5c8b98432f5abd698b3ed47b3bfe3afdafa12e6e4d058"},
        {"full.avi", "d140b3773222d2d1494e9c75c2c8b3cc4ea4de9f586b128fbf69780379fe8cfe"},
    };
    for (const auto& [name, sha] : expected) {
        EXPECT_TRUE(Walk(dir.file(name)).errors.empty()) << name;
        EXPECT_EQ(avread::FileSha256(dir.file(name)), sha) << name;
    }
}
