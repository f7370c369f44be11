// The OpenDML writer at its limits: standard index capacity, the RIFF split,
// the super index capacity and write failures.
#include "AvRead.h"
#include "AviCheck.h"
#include "WriterFixture.h"

#include "support/TestUtil.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>

using th::test::FileSizeLimit;

using namespace writertest;
using th::riff::FourCC;
using th::riff::Get32;

namespace {

// Index of the RIFF that holds a file position.
std::size_t RiffOf(const avicheck::AviFile& f, std::int64_t pos)
{
    for (std::size_t i = 0; i < f.riffs.size(); ++i)
        if (pos >= f.riffs[i].pos && pos < f.riffs[i].pos + 8 + f.riffs[i].size)
            return i;
    return f.riffs.size();
}

} // namespace

// --- Standard index capacity ---------------------------------------------------------------------

TEST(OpenDmlIndex, VideoIndexAtItsCapacity)
{
    for (int frames : {2043, 2044, 2045}) {
        SCOPED_TRACE(frames);
        th::test::TempDir dir;
        Writer x;
        SetType2(x.w);
        x.w.SetNextFileName(dir.file("f.avi"));
        ASSERT_EQ(x.w.OpenFile(), 0u);
        std::vector<std::uint64_t> hashes;
        for (int i = 0; i < frames; ++i) {
            const auto d = Pattern(100, i);
            hashes.push_back(avread::Hash(d.data(), d.size()));
            ASSERT_EQ(PutVideo(x.w, d), 0u);
        }
        // The 2044th entry sends the index out at once.
        EXPECT_EQ(x.w.VideoSuperIndexEntries(), frames >= 2044 ? 1u : 0u);
        EXPECT_EQ(x.w.VideoIndexEntries(), frames == 2045 ? 1u : frames == 2044 ? 0u : 2043u);
        x.w.CloseFile();

        const auto f = avicheck::Walk(dir.file("f.avi"));
        ASSERT_TRUE(f.ok()) << f.errorText();
        const auto& s = f.streams[0];
        EXPECT_EQ(s.entries.size(), static_cast<std::size_t>(frames));
        const std::vector<std::uint32_t> want =
            frames == 2045 ? std::vector<std::uint32_t>{2044, 1} : std::vector<std::uint32_t>{static_cast<std::uint32_t>(frames)};
        EXPECT_EQ(s.durations, want);
        // No empty standard index is written at close.
        EXPECT_EQ(f.movieChunks(FourCC("ix00")).size(), want.size());
        EXPECT_TRUE(f.movieChunks(FourCC("ix01")).empty());
        if (frames >= 2044) {
            // It follows the chunk of the 2044th frame directly.
            const auto video = f.movieChunks(FourCC("00db"));
            EXPECT_EQ(s.indexPos[0], video[2043]->pos + 8 + 100);
        }
        const auto av = avread::Read(dir.file("f.avi"));
        ASSERT_TRUE(av.opened) << av.error;
        EXPECT_EQ(av.streams[0].packets, frames);
        EXPECT_EQ(av.streams[0].hashes, hashes);
    }
}

TEST(OpenDmlIndex, AudioIndexDurationsCountSamples)
{
    th::test::TempDir dir;
    Writer x({0x40000000, 4, 2044});
    SetType2(x.w);
    x.w.SetNextFileName(dir.file("a.avi"));
    ASSERT_EQ(x.w.OpenFile(), 0u);
    for (int i = 0; i < 6; ++i)
        PutAudio(x.w, Pattern(4 * (100 + i), i));
    x.w.CloseFile();
    const auto f = avicheck::Walk(dir.file("a.avi"));
    ASSERT_TRUE(f.ok()) << f.errorText();
    EXPECT_EQ(f.streams[1].durations, (std::vector<std::uint32_t>{100 + 101 + 102 + 103, 104 + 105}));
    EXPECT_EQ(f.streams[1].entries.size(), 6u);
    EXPECT_TRUE(f.streams[0].entries.empty());
}

// --- RIFF split ------------------------------------------------------------------------------------

TEST(OpenDmlRiff, ChunkReachingTheLimitExactlyStartsAnAvixRiff)
{
    const std::uint32_t header = 66066;
    for (std::uint32_t slack : {0u, 1u}) {
        SCOPED_TRACE(slack);
        th::test::TempDir dir;
        // The third 1008-byte chunk brings the RIFF exactly to the limit (slack
        // 0) or one byte below it (slack 1).
        Writer x({header + 3 * 1008 + slack, 2044, 2044});
        SetType2(x.w);
        x.w.SetNextFileName(dir.file("s.avi"));
        ASSERT_EQ(x.w.OpenFile(), 0u);
        for (int i = 0; i < 3; ++i)
            ASSERT_EQ(PutVideo(x.w, Pattern(1000, i)), 0u);
        EXPECT_EQ(State(x.w).FRiffs.size(), slack == 0 ? 2u : 1u);
        ASSERT_EQ(PutVideo(x.w, Pattern(1000, 3)), 0u);
        EXPECT_EQ(State(x.w).FRiffs.size(), 2u);
        x.w.CloseFile();

        const auto f = avicheck::Walk(dir.file("s.avi"));
        ASSERT_TRUE(f.ok()) << f.errorText();
        ASSERT_EQ(f.riffs.size(), 2u);
        const auto video = f.movieChunks(FourCC("00db"));
        ASSERT_EQ(video.size(), 4u);
        EXPECT_EQ(RiffOf(f, video[2]->pos), slack == 0 ? 1u : 0u);
        EXPECT_EQ(RiffOf(f, video[3]->pos), 1u);
        // Every RIFF stays below the limit.
        for (const auto& r : f.riffs)
            EXPECT_LT(r.size + 8, header + 3 * 1008 + slack);
        // The AVIX header: 'RIFF', size, 'AVIX', 'LIST', movi size, 'movi'.
        const auto h = avicheck::ReadAt(dir.file("s.avi"), f.riffs[1].pos, 24);
        EXPECT_EQ(Get32(&h[0]), FourCC("RIFF"));
        EXPECT_EQ(Get32(&h[8]), FourCC("AVIX"));
        EXPECT_EQ(Get32(&h[12]), FourCC("LIST"));
        EXPECT_EQ(Get32(&h[16]), Get32(&h[4]) - 12);
        EXPECT_EQ(Get32(&h[20]), FourCC("movi"));
        const auto av = avread::Read(dir.file("s.avi"));
        ASSERT_TRUE(av.opened) << av.error;
        EXPECT_EQ(av.streams[0].packets, 4);
    }
}

TEST(OpenDmlRiff, IndexBegunInOneRiffKeepsItsBaseInTheNext)
{
    th::test::TempDir dir;
    // A first RIFF of two frames, standard indexes of four entries.
    Writer x({66066 + 2 * 1008 + 1500, 4, 2044});
    SetType2(x.w);
    x.w.SetNextFileName(dir.file("b.avi"));
    ASSERT_EQ(x.w.OpenFile(), 0u);
    std::vector<std::uint64_t> hashes;
    for (int i = 0; i < 10; ++i) {
        const auto d = Pattern(1000, i);
        hashes.push_back(avread::Hash(d.data(), d.size()));
        ASSERT_EQ(PutVideo(x.w, d), 0u);
        PutAudio(x.w, Pattern(400, 50 + i));
    }
    x.w.CloseFile();
    const auto f = avicheck::Walk(dir.file("b.avi"));
    ASSERT_TRUE(f.ok()) << f.errorText();
    ASSERT_EQ(f.riffs.size(), 2u);
    const auto& s = f.streams[0];
    ASSERT_EQ(s.entries.size(), 10u);
    ASSERT_EQ(s.bases.size(), 3u);
    EXPECT_EQ(s.bases[0], 0u); // the first index began in the first RIFF ...
    EXPECT_GT(RiffOf(f, s.indexPos[0]), 0u); // ... and was written in a later one
    for (std::size_t k = 0; k < s.bases.size(); ++k) {
        // Each base is the start of the RIFF that was the last one when the index began.
        const std::size_t riff = RiffOf(f, static_cast<std::int64_t>(s.bases[k]));
        ASSERT_LT(riff, f.riffs.size());
        EXPECT_EQ(f.riffs[riff].pos, static_cast<std::int64_t>(s.bases[k]));
    }
    const auto av = avread::Read(dir.file("b.avi"));
    ASSERT_TRUE(av.opened) << av.error;
    EXPECT_EQ(av.streams[0].hashes, hashes);
    EXPECT_EQ(av.streams[1].bytes, 10 * 400);
}

// --- Dropped frames and the super index -----------------------------------------------------------------

TEST(OpenDmlIndex, DroppedFramesAreEmptyEntriesAndCount)
{
    th::test::TempDir dir;
    Writer x;
    SetType2(x.w);
    x.w.SetNextFileName(dir.file("d.avi"));
    ASSERT_EQ(x.w.OpenFile(), 0u);
    PutVideo(x.w, Pattern(3000, 1));
    PutDropped(x.w, 2);
    PutVideo(x.w, Pattern(3000, 2));
    PutDropped(x.w, 1);
    PutVideo(x.w, Pattern(3000, 3));
    x.w.CloseFile();

    const auto f = avicheck::Walk(dir.file("d.avi"));
    ASSERT_TRUE(f.ok()) << f.errorText();
    const auto& e = f.streams[0].entries;
    ASSERT_EQ(e.size(), 6u);
    const bool dropped[] = {false, true, true, false, true, false};
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(e[i].dropped, dropped[i]) << i;
    const auto ix = avicheck::ReadAt(dir.file("d.avi"), f.streams[0].indexPos[0], 48);
    EXPECT_EQ(Get32(&ix[40]), 0u);          // dwOffset of the first dropped frame
    EXPECT_EQ(Get32(&ix[44]), 0x80000000u); // dwSize
    const auto h = avicheck::ReadAt(dir.file("d.avi"), 0, 66066);
    EXPECT_EQ(Get32(&h[48]), 6u);    // dwTotalFrames
    EXPECT_EQ(Get32(&h[140]), 6u);   // dwLength
    EXPECT_EQ(Get32(&h[65806]), 6u); // dwGrandFrames
    const auto av = avread::Read(dir.file("d.avi"));
    ASSERT_TRUE(av.opened) << av.error;
    EXPECT_EQ(av.streams[0].headerFrames, 6);
    EXPECT_NEAR(av.streams[0].durationSec, 6 * 0.04, 1e-9);
}

TEST(OpenDmlIndex, FullSuperIndexStopsIndexingAndTheFileStaysValid)
{
    th::test::TempDir dir;
    Writer x({0x40000000, 4, 2});
    SetType2(x.w);
    x.w.SetNextFileName(dir.file("full.avi"));
    ASSERT_EQ(x.w.OpenFile(), 0u);
    for (int i = 0; i < 11; ++i)
        ASSERT_EQ(PutVideo(x.w, Pattern(500, i)), 0u);
    x.w.CloseFile();
    const auto f = avicheck::Walk(dir.file("full.avi"));
    ASSERT_TRUE(f.ok()) << f.errorText();
    EXPECT_EQ(f.streams[0].durations, (std::vector<std::uint32_t>{4, 4}));
    EXPECT_EQ(f.streams[0].entries.size(), 8u);
    EXPECT_EQ(f.movieChunks(FourCC("00db")).size(), 11u); // the frames themselves are all there
    EXPECT_EQ(f.movieChunks(FourCC("ix00")).size(), 2u);
    const auto av = avread::Read(dir.file("full.avi"));
    ASSERT_TRUE(av.opened) << av.error;
    EXPECT_GE(av.streams[0].packets, 8);
}

TEST(OpenDmlIndex, RealSuperIndexCapacity)
{
    th::test::TempDir dir;
    Writer x;
    SetType2(x.w);
    x.w.SetNextFileName(dir.file("cap.avi"));
    ASSERT_EQ(x.w.OpenFile(), 0u);
    PutVideo(x.w, Pattern(100, 0));
    PutDropped(x.w, 2044 * 2044 - 2);
    PutVideo(x.w, Pattern(100, 1)); // the last frame the index can hold
    EXPECT_EQ(x.w.VideoSuperIndexEntries(), 2044u);
    PutVideo(x.w, Pattern(100, 2)); // written, no longer indexed
    PutDropped(x.w, 5);
    x.w.CloseFile();
    const auto f = avicheck::Walk(dir.file("cap.avi"));
    ASSERT_TRUE(f.ok()) << f.errorText();
    EXPECT_EQ(f.streams[0].indexPos.size(), 2044u);
    EXPECT_EQ(f.streams[0].entries.size(), 2044u * 2044u);
    EXPECT_FALSE(f.streams[0].entries.back().dropped);
    EXPECT_EQ(f.movieChunks(FourCC("00db")).size(), 3u);
}

// --- Write failures ---------------------------------------------------------------------------------------

TEST(OpenDmlFailure, AFailedChunkEndsTheFileWhichStaysValidAndCountsOnlyWhatItHolds)
{
    th::test::TempDir dir;
    Writer x;
    SetType2(x.w);
    x.w.SetNextFileName(dir.file("e.avi"));
    ASSERT_EQ(x.w.OpenFile(), 0u);
    std::vector<std::uint64_t> hashes;
    for (int i = 0; i < 3; ++i) {
        const auto d = Pattern(5000, i);
        hashes.push_back(avread::Hash(d.data(), d.size()));
        ASSERT_EQ(PutVideo(x.w, d), 0u);
    }
    const std::int64_t before = State(x.w).FFilePos;
    {
        FileSizeLimit limit(before + 2000); // the next chunk reaches the disk in part only
        // Queued first; the failure behind takes it back.
        EXPECT_EQ(PutVideo(x.w, Pattern(10000, 99)), 0u);
        EXPECT_EQ(x.w.Flush(), th::riff::kErrorFileTooLarge);
    }
    EXPECT_EQ(State(x.w).FFilePos, before);
    // Nothing follows a failed chunk, not even where it would fit again.
    EXPECT_EQ(PutVideo(x.w, Pattern(5000, 3)), th::riff::kErrorFileTooLarge);
    EXPECT_EQ(State(x.w).FFilePos, before);
    EXPECT_EQ(x.w.CloseFile(), HRESULT_FROM_WIN32(th::riff::kErrorFileTooLarge)) << "the first error, at close";
    EXPECT_NE(x.w.WriteErrorText().find(dir.file("e.avi")), std::string::npos) << x.w.WriteErrorText();
    const auto f = avicheck::Walk(dir.file("e.avi"));
    ASSERT_TRUE(f.ok()) << f.errorText();
    EXPECT_EQ(f.streams[0].entries.size(), 3u);
    const auto av = avread::Read(dir.file("e.avi"));
    ASSERT_TRUE(av.opened) << av.error;
    EXPECT_EQ(av.streams[0].hashes, hashes);
    EXPECT_EQ(av.streams[0].headerFrames, 3);
}

// The writes go to the disk behind the writer's back: the write that failed
// is reported by the call that queued it or by the flush after it, whichever
// comes after the disk refused it.
template <typename W>
void ExpectFailsOnce(DWORD put, W& w)
{
    const DWORD flushed = w.Flush();
    EXPECT_EQ(put != 0 ? put : flushed, th::riff::kErrorFileTooLarge) << put << " then " << flushed;
}

TEST(OpenDmlFailure, AStandardIndexThatFailsIsNotPointedAtAndGoesOutAtClose)
{
    th::test::TempDir dir;
    Writer x({0x40000000, 4, 2044});
    SetType2(x.w);
    x.w.SetNextFileName(dir.file("i.avi"));
    ASSERT_EQ(x.w.OpenFile(), 0u);
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(PutVideo(x.w, Pattern(1000, i)), 0u);
    {
        // The fourth frame fits, the index chunk behind it does not.
        FileSizeLimit limit(State(x.w).FFilePos + 1008 + 10);
        ExpectFailsOnce(PutVideo(x.w, Pattern(1000, 3)), x.w);
    }
    EXPECT_EQ(x.w.VideoSuperIndexEntries(), 0u);
    EXPECT_EQ(x.w.VideoIndexEntries(), 4u);
    EXPECT_NE(PutVideo(x.w, Pattern(1000, 4)), 0u);
    EXPECT_TRUE(FAILED(x.w.CloseFile()));
    const auto f = avicheck::Walk(dir.file("i.avi"));
    ASSERT_TRUE(f.ok()) << f.errorText();
    EXPECT_EQ(f.streams[0].durations, (std::vector<std::uint32_t>{4}));
    EXPECT_EQ(f.streams[0].entries.size(), 4u);
}

TEST(OpenDmlFailure, AnAvixHeaderThatFailsEndsTheMovieBeforeTheChunkThatWantedIt)
{
    th::test::TempDir dir;
    Writer x({66066 + 2 * 1008 + 1, 2044, 2044});
    SetType2(x.w);
    x.w.SetNextFileName(dir.file("x.avi"));
    ASSERT_EQ(x.w.OpenFile(), 0u);
    for (int i = 0; i < 2; ++i)
        ASSERT_EQ(PutVideo(x.w, Pattern(1000, i)), 0u);
    {
        FileSizeLimit limit(State(x.w).FFilePos + 10);
        ExpectFailsOnce(PutVideo(x.w, Pattern(1000, 2)), x.w);
    }
    EXPECT_EQ(State(x.w).FRiffs.size(), 1u);
    EXPECT_NE(PutVideo(x.w, Pattern(1000, 3)), 0u);
    x.w.CloseFile();
    const auto f = avicheck::Walk(dir.file("x.avi"));
    ASSERT_TRUE(f.ok()) << f.errorText();
    EXPECT_EQ(f.movieChunks(FourCC("00db")).size(), 2u);
    EXPECT_EQ(f.streams[0].entries.size(), 2u);
}

// A real full disk: the frames and sound in memory-held standard indexes fill
// it, and the indexes still go out at close, by giving up the last chunks.
TEST(OpenDmlFailure, OnAFullDiskTheIndexesStillCoverEveryChunkLeft)
{
    th::test::SmallDisk disk(th::test::SmallDisk::Kind::Full, 2 * 1024 * 1024);
    if (!disk.usable())
        GTEST_SKIP() << disk.why();
    Writer x;
    SetType2(x.w);
    x.w.SetNextFileName(disk.path() + "/full.avi");
    ASSERT_EQ(x.w.OpenFile(), 0u);
    int frames = 0;
    DWORD r = 0;
    while (r == 0 && frames < 100) {
        r = PutVideo(x.w, Pattern(144000, frames));
        if (r == 0) {
            ++frames;
            r = PutAudio(x.w, Pattern(7680, frames));
        }
    }
    ASSERT_NE(r, 0u) << "the disk never filled";
    if (disk.mounted()) {
        EXPECT_EQ(x.w.WriteError(), HRESULT_FROM_WIN32(static_cast<DWORD>(ERROR_DISK_FULL)));
    }
    EXPECT_EQ(x.w.CloseFile(), x.w.WriteError());
    EXPECT_NE(x.w.WriteErrorText().find(disk.path() + "/full.avi"), std::string::npos) << x.w.WriteErrorText();

    const auto f = avicheck::Walk(disk.path() + "/full.avi");
    ASSERT_TRUE(f.ok()) << f.errorText();
    ASSERT_EQ(f.streams.size(), 2u);
    const std::size_t videoChunks = f.movieChunks(FourCC("00db")).size();
    const std::size_t audioChunks = f.movieChunks(FourCC("01wb")).size();
    EXPECT_GT(videoChunks, 5u);
    EXPECT_EQ(f.streams[0].entries.size(), videoChunks) << "every frame on disk is indexed";
    EXPECT_EQ(f.streams[1].entries.size(), audioChunks);
    const auto av = avread::Read(disk.path() + "/full.avi");
    ASSERT_TRUE(av.opened) << av.error;
    EXPECT_EQ(av.streams[0].headerFrames, static_cast<std::int64_t>(videoChunks)) << "counts only what is there";
    EXPECT_EQ(av.streams[0].packets, static_cast<std::int64_t>(videoChunks));
    EXPECT_EQ(av.streams[0].indexEntries, static_cast<int>(videoChunks));
}
