// The OpenDML file writer: byte layout, index and RIFF boundaries, write
// failures, and read-back by libavformat and by our own RIFF walker.
#include "AvRead.h"
#include "AviCheck.h"
#include "WriterFixture.h"

#include "support/TestUtil.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <iterator>
#include <sys/resource.h>

using th::test::FileSizeLimit;

using namespace writertest;
using th::riff::FourCC;
using th::riff::Get16;
using th::riff::Get32;
using th::riff::Get64;

namespace {

std::vector<std::uint8_t> ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void ExpectChunk(const std::vector<std::uint8_t>& b, std::size_t pos, const char (&id)[5], std::uint32_t size)
{
    EXPECT_EQ(Get32(&b[pos]), FourCC(id)) << "id at " << pos;
    EXPECT_EQ(Get32(&b[pos + 4]), size) << "size at " << pos;
}

void ExpectList(const std::vector<std::uint8_t>& b, std::size_t pos, const char (&id)[5], std::uint32_t size,
                const char (&type)[5])
{
    ExpectChunk(b, pos, id, size);
    EXPECT_EQ(Get32(&b[pos + 8]), FourCC(type)) << "list type at " << pos;
}

bool AllZero(const std::vector<std::uint8_t>& b, std::size_t from, std::size_t n)
{
    for (std::size_t i = from; i < from + n; ++i)
        if (b[i] != 0)
            return false;
    return true;
}

void ExpectSuperIndexHeader(const std::vector<std::uint8_t>& b, std::size_t data, const char (&chunkId)[5],
                            std::uint32_t used)
{
    EXPECT_EQ(Get16(&b[data + 0]), 4);  // wLongsPerEntry
    EXPECT_EQ(b[data + 2], 0);          // bIndexSubType
    EXPECT_EQ(b[data + 3], 0);          // bIndexType: index of indexes
    EXPECT_EQ(Get32(&b[data + 4]), used);
    EXPECT_EQ(Get32(&b[data + 8]), FourCC(chunkId));
    EXPECT_TRUE(AllZero(b, data + 12, 12));
}

} // namespace

// --- Byte layout --------------------------------------------------------------------------

TEST(OpenDmlLayout, EmptyType2FileHasEveryHeaderFieldInPlace)
{
    th::test::TempDir dir;
    Writer x;
    SetType2(x.w);
    x.w.SetNextFileName(dir.file("t2.avi"));
    ASSERT_EQ(x.w.OpenFile(), 0u);
    EXPECT_EQ(x.w.CloseFile(), 0u);
    const auto b = ReadAll(dir.file("t2.avi"));
    ASSERT_EQ(b.size(), 66066u);

    ExpectList(b, 0, "RIFF", 66058, "AVI ");
    ExpectList(b, 12, "LIST", 66034, "hdrl");
    ExpectChunk(b, 24, "avih", 56);
    EXPECT_EQ(Get32(&b[32]), 40000u);      // dwMicroSecPerFrame
    EXPECT_EQ(Get32(&b[36]), 0u);          // dwMaxBytesPerSec
    EXPECT_EQ(Get32(&b[40]), 0u);          // dwPaddingGranularity
    EXPECT_EQ(Get32(&b[44]), 0x800u);      // dwFlags
    EXPECT_EQ(Get32(&b[48]), 0u);          // dwTotalFrames
    EXPECT_EQ(Get32(&b[52]), 0u);          // dwInitialFrames
    EXPECT_EQ(Get32(&b[56]), 2u);          // dwStreams
    EXPECT_EQ(Get32(&b[60]), 0u);          // dwSuggestedBufferSize
    EXPECT_EQ(Get32(&b[64]), 720u);        // dwWidth
    EXPECT_EQ(Get32(&b[68]), 576u);        // dwHeight
    EXPECT_TRUE(AllZero(b, 72, 16));       // dwReserved

    ExpectList(b, 88, "LIST", 32852, "strl");
    ExpectChunk(b, 100, "strh", 56);
    EXPECT_EQ(Get32(&b[108]), FourCC("vids"));
    EXPECT_EQ(Get32(&b[112]), FourCC("dvsd"));
    EXPECT_TRUE(AllZero(b, 116, 12));      // dwFlags, wPriority, wLanguage, dwInitialFrames
    EXPECT_EQ(Get32(&b[128]), 400000u);    // dwScale
    EXPECT_EQ(Get32(&b[132]), 10000000u);  // dwRate
    EXPECT_EQ(Get32(&b[136]), 0u);         // dwStart
    EXPECT_EQ(Get32(&b[140]), 0u);         // dwLength
    EXPECT_EQ(Get32(&b[144]), 0u);         // dwSuggestedBufferSize
    EXPECT_EQ(Get32(&b[148]), 0u);         // dwQuality
    EXPECT_EQ(Get32(&b[152]), 0u);         // dwSampleSize
    EXPECT_TRUE(AllZero(b, 156, 8));       // rcFrame
    ExpectChunk(b, 164, "strf", 40);
    EXPECT_EQ(std::vector<std::uint8_t>(b.begin() + 172, b.begin() + 212),
              std::vector<std::uint8_t>(State(x.w).FBitmapInfo, State(x.w).FBitmapInfo + 40));
    ExpectChunk(b, 212, "indx", 32728);
    ExpectSuperIndexHeader(b, 220, "00db", 0);
    EXPECT_TRUE(AllZero(b, 244, 2044 * 16));

    ExpectList(b, 32948, "LIST", 32830, "strl");
    ExpectChunk(b, 32960, "strh", 56);
    EXPECT_EQ(Get32(&b[32968]), FourCC("auds"));
    EXPECT_EQ(Get32(&b[32972]), 0u);       // fccHandler
    EXPECT_TRUE(AllZero(b, 32976, 12));
    EXPECT_EQ(Get32(&b[32988]), 1u);       // dwScale
    EXPECT_EQ(Get32(&b[32992]), 48000u);   // dwRate
    EXPECT_EQ(Get32(&b[32996]), 0u);       // dwStart
    EXPECT_EQ(Get32(&b[33000]), 0u);       // dwLength
    EXPECT_EQ(Get32(&b[33004]), 0u);       // dwSuggestedBufferSize
    EXPECT_EQ(Get32(&b[33008]), 0u);       // dwQuality
    EXPECT_EQ(Get32(&b[33012]), 4u);       // dwSampleSize
    EXPECT_TRUE(AllZero(b, 33016, 8));
    ExpectChunk(b, 33024, "strf", 18);
    EXPECT_EQ(std::vector<std::uint8_t>(b.begin() + 33032, b.begin() + 33050),
              std::vector<std::uint8_t>(State(x.w).FWaveFormat, State(x.w).FWaveFormat + 18));
    ExpectChunk(b, 33050, "indx", 32728);
    ExpectSuperIndexHeader(b, 33058, "01wb", 0);
    EXPECT_TRUE(AllZero(b, 33082, 2044 * 16));

    ExpectList(b, 65786, "LIST", 260, "odml");
    ExpectChunk(b, 65798, "dmlh", 248);
    EXPECT_TRUE(AllZero(b, 65806, 248));   // dwGrandFrames 0 and the rest
    ExpectList(b, 66054, "LIST", 4, "movi");

    const auto f = avicheck::Walk(dir.file("t2.avi"));
    EXPECT_TRUE(f.ok()) << f.errorText();
    EXPECT_EQ(f.riffs.size(), 1u);
    EXPECT_TRUE(f.allMovieChunks().empty()); // no standard index chunk
}

TEST(OpenDmlLayout, EmptyType1FileHasEveryHeaderFieldInPlace)
{
    th::test::TempDir dir;
    Writer x;
    SetType1(x.w, false);
    x.w.SetNextFileName(dir.file("t1.avi"));
    ASSERT_EQ(x.w.OpenFile(), 0u);
    x.w.CloseFile();
    const auto b = ReadAll(dir.file("t1.avi"));
    ASSERT_EQ(b.size(), 33220u);
    ExpectList(b, 0, "RIFF", 33212, "AVI ");
    ExpectList(b, 12, "LIST", 33188, "hdrl");
    ExpectChunk(b, 24, "avih", 56);
    EXPECT_EQ(Get32(&b[32]), 33367u);      // NTSC dwMicroSecPerFrame
    EXPECT_EQ(Get32(&b[44]), 0x800u);
    EXPECT_EQ(Get32(&b[56]), 1u);          // dwStreams
    EXPECT_EQ(Get32(&b[64]), 0u);
    EXPECT_EQ(Get32(&b[68]), 0u);
    ExpectList(b, 88, "LIST", 32844, "strl");
    ExpectChunk(b, 100, "strh", 56);
    EXPECT_EQ(Get32(&b[108]), FourCC("iavs"));
    EXPECT_EQ(Get32(&b[112]), FourCC("dvsd"));
    EXPECT_EQ(Get32(&b[128]), 333667u);
    EXPECT_EQ(Get32(&b[132]), 10000000u);
    ExpectChunk(b, 164, "strf", 32);
    EXPECT_EQ(std::vector<std::uint8_t>(b.begin() + 172, b.begin() + 204),
              std::vector<std::uint8_t>(State(x.w).FDVInfo, State(x.w).FDVInfo + 32));
    ExpectChunk(b, 204, "indx", 32728);
    ExpectSuperIndexHeader(b, 212, "00__", 0);
    ExpectList(b, 32940, "LIST", 260, "odml");
    ExpectChunk(b, 32952, "dmlh", 248);
    EXPECT_TRUE(AllZero(b, 32960, 248));
    ExpectList(b, 33208, "LIST", 4, "movi");
}

TEST(OpenDmlLayout, Type2WithoutAudioFormatKeepsTheAudioStreamList)
{
    th::test::TempDir dir;
    Writer x;
    SetType2(x.w);
    std::memset(State(x.w).FWaveFormat, 0, 18);
    State(x.w).FStreamCount = 1;
    x.w.SetNextFileName(dir.file("noaudio.avi"));
    ASSERT_EQ(x.w.OpenFile(), 0u);
    x.w.CloseFile();
    const auto b = ReadAll(dir.file("noaudio.avi"));
    ASSERT_EQ(b.size(), 66066u);
    EXPECT_EQ(Get32(&b[56]), 1u);      // dwStreams
    EXPECT_EQ(Get32(&b[32992]), 0u);   // audio dwRate
    EXPECT_TRUE(AllZero(b, 33032, 18));
}

TEST(OpenDmlLayout, CountsSizesAndSuggestedBuffersAfterWriting)
{
    th::test::TempDir dir;
    Writer x;
    SetType2(x.w);
    x.w.SetNextFileName(dir.file("data.avi"));
    ASSERT_EQ(x.w.OpenFile(), 0u);
    std::vector<std::vector<std::uint8_t>> video, audio;
    for (int i = 0; i < 10; ++i) {
        video.push_back(Pattern(i == 3 ? 150000 : 144000, i));
        audio.push_back(Pattern(i == 5 ? 7688 : 7680, 100 + i));
        ASSERT_EQ(PutVideo(x.w, video.back()), 0u);
        ASSERT_EQ(PutAudio(x.w, audio.back()), 0u);
    }
    const std::int64_t dataEnd = State(x.w).FFilePos;
    x.w.CloseFile();
    const auto b = ReadAll(dir.file("data.avi"));
    // 10 video and 10 audio chunks, then one standard index per stream at close.
    const std::size_t movie = 9 * 144008 + 150008 + 9 * 7688 + 7696;
    ASSERT_EQ(static_cast<std::int64_t>(b.size()), dataEnd + 2 * 16384);
    ASSERT_EQ(b.size(), 66066 + movie + 2 * 16384);
    EXPECT_EQ(Get32(&b[4]), b.size() - 8);                // RIFF size
    EXPECT_EQ(Get32(&b[66058]), movie + 2 * 16384 + 4);   // movi size
    EXPECT_EQ(Get32(&b[48]), 10u);                        // dwTotalFrames
    EXPECT_EQ(Get32(&b[60]), 150008u);                    // avih dwSuggestedBufferSize
    EXPECT_EQ(Get32(&b[140]), 10u);                       // video dwLength
    EXPECT_EQ(Get32(&b[144]), 150008u);                   // video dwSuggestedBufferSize
    EXPECT_EQ(Get32(&b[33000]), 10u * 1920 + 2);          // audio dwLength in samples
    EXPECT_EQ(Get32(&b[33004]), 7696u);                   // audio dwSuggestedBufferSize
    EXPECT_EQ(Get32(&b[65806]), 10u);                     // dwGrandFrames

    const auto f = avicheck::Walk(dir.file("data.avi"));
    ASSERT_TRUE(f.ok()) << f.errorText();
    ASSERT_EQ(f.streams.size(), 2u);
    EXPECT_EQ(f.streams[0].entries.size(), 10u);
    EXPECT_EQ(f.streams[1].entries.size(), 10u);
    EXPECT_EQ(f.streams[0].durations, std::vector<std::uint32_t>{10});
    EXPECT_EQ(f.streams[1].durations, std::vector<std::uint32_t>{10 * 1920 + 2});
    // The indexes are the last chunks, each exactly 16384 bytes with unused entries zero.
    const auto ix = avicheck::ReadAt(dir.file("data.avi"), f.streams[0].indexPos[0], 16384);
    EXPECT_EQ(Get32(&ix[0]), FourCC("ix00"));
    EXPECT_EQ(Get32(&ix[4]), 16376u);
    EXPECT_EQ(Get64(&ix[20]), 0u); // qwBaseOffset: the first RIFF
    EXPECT_EQ(Get32(&ix[32]), 66066u + 8);
    EXPECT_TRUE(AllZero(ix, 32 + 10 * 8, 16384 - 32 - 10 * 8));

    const auto av = avread::Read(dir.file("data.avi"));
    ASSERT_TRUE(av.opened) << av.error;
    ASSERT_EQ(av.streams.size(), 2u);
    EXPECT_EQ(av.streams[0].type, "video");
    EXPECT_EQ(av.streams[0].codec, "dvvideo");
    EXPECT_EQ(av.streams[0].headerFrames, 10);
    EXPECT_NEAR(av.streams[0].durationSec, 0.4, 1e-9);
    EXPECT_EQ(av.streams[1].type, "audio");
    EXPECT_EQ(av.streams[1].sampleRate, 48000);
    EXPECT_EQ(av.streams[1].channels, 2);
    ASSERT_EQ(av.streams[0].packets, 10);
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(av.streams[0].hashes[i], avread::Hash(video[i].data(), video[i].size())) << i;
    EXPECT_EQ(av.streams[1].bytes, 9 * 7680 + 7688);
}

TEST(OpenDmlLayout, ReopenedWriterStartsEachFileAfresh)
{
    th::test::TempDir dir;
    Writer x;
    SetType2(x.w);
    for (int round = 0; round < 2; ++round) {
        x.w.SetNextFileName(dir.file("r" + std::to_string(round) + ".avi"));
        ASSERT_EQ(x.w.OpenFile(), 0u);
        EXPECT_EQ(x.w.OpenFile(), 0u); // already open: nothing happens
        for (int i = 0; i < 3 + round; ++i)
            PutVideo(x.w, Pattern(round == 0 ? 2000 : 1000, i));
        x.w.CloseFile();
        EXPECT_EQ(x.w.CloseFile(), 0u);
    }
    const auto b = ReadAll(dir.file("r1.avi"));
    EXPECT_EQ(Get32(&b[48]), 4u);      // dwTotalFrames of the second file only
    EXPECT_EQ(Get32(&b[144]), 1008u);  // its own largest chunk
    EXPECT_EQ(Get32(&b[60]), 1008u);
    const auto f = avicheck::Walk(dir.file("r1.avi"));
    EXPECT_TRUE(f.ok()) << f.errorText();
    EXPECT_EQ(f.streams[0].entries.size(), 4u);
}

// --- Opening ---------------------------------------------------------------------------------

TEST(OpenDmlOpen, ErrorsAndWritesWithoutAFile)
{
    th::test::TempDir dir;
    Writer x;
    SetType2(x.w);
    EXPECT_EQ(x.w.OpenFile(), 123u); // no name
    std::uint8_t b[16] = {};
    EXPECT_EQ(x.w.WriteMovie(b, sizeof b), static_cast<DWORD>(S_FALSE));
    std::size_t written = 7;
    EXPECT_EQ(x.w.Write(b, sizeof b, &written), static_cast<DWORD>(S_FALSE));
    EXPECT_EQ(written, 0u);
    x.w.AddVideoIndexEntry(16); // no file: nothing to index, no crash
    x.w.NoteVideoChunkSize(24);

    x.w.SetNextFileName(dir.file("no/such/folder.avi"));
    EXPECT_EQ(x.w.OpenFile(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_FALSE(x.w.IsFileOpen());
    x.w.SetNextFileName(dir.path());
    EXPECT_EQ(x.w.OpenFile(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

    State(x.w).FChangePending = true;
    x.w.SetNextFileName(dir.file("ok.avi"));
    EXPECT_EQ(x.w.OpenFile(), 0u);
    EXPECT_FALSE(State(x.w).FChangePending); // opening a file drops a scheduled switch
}

TEST(OpenDmlOpen, FirstHeaderThatCannotBeWrittenLeavesNoFileOpen)
{
    th::test::TempDir dir;
    Writer x;
    SetType2(x.w);
    x.w.SetNextFileName(dir.file("full.avi"));
    {
        FileSizeLimit limit(1000);
        EXPECT_EQ(x.w.OpenFile(), th::riff::kErrorFileTooLarge);
    }
    EXPECT_FALSE(x.w.IsFileOpen());
    EXPECT_EQ(State(x.w).FFilePos, 0);
    EXPECT_TRUE(State(x.w).FRiffs.empty());
    EXPECT_EQ(ReadAll(dir.file("full.avi")).size(), 0u);
    // Room again: the next open writes a sound file.
    ASSERT_EQ(x.w.OpenFile(), 0u);
    PutVideo(x.w, Pattern(500, 1));
    x.w.CloseFile();
    const auto f = avicheck::Walk(dir.file("full.avi"));
    EXPECT_TRUE(f.ok()) << f.errorText();
    EXPECT_EQ(f.streams[0].entries.size(), 1u);
}
