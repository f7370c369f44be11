// The OpenDML writer at the real 4 GiB limit: a file of 4.6 GB. Slow, so it
// runs where the suite runs without sanitizers only.
#include "AvRead.h"
#include "AviCheck.h"
#include "WriterFixture.h"

#include "support/TestUtil.h"

#include <gtest/gtest.h>

using namespace writertest;

TEST(OpenDmlLong, FilePast4GiBIsIndexedWith64BitOffsets)
{
    th::test::TempDir dir;
    Writer x;
    SetType2(x.w);
    x.w.SetNextFileName(dir.file("big.avi"));
    ASSERT_EQ(x.w.OpenFile(), 0u);
    std::vector<std::uint8_t> frame = Pattern(144000, 7);
    const std::vector<std::uint8_t> sound = Pattern(7680, 8);
    const int frames = 30500; // about 4.6 GB with the audio
    std::uint64_t lastHash = 0;
    for (int i = 0; i < frames; ++i) {
        th::riff::Put32(frame.data(), static_cast<std::uint32_t>(i));
        ASSERT_EQ(PutVideo(x.w, frame), 0u) << i;
        ASSERT_EQ(PutAudio(x.w, sound), 0u) << i;
    }
    lastHash = avread::Hash(frame.data(), frame.size());
    x.w.CloseFile();

    const auto f = avicheck::Walk(dir.file("big.avi"));
    ASSERT_TRUE(f.ok()) << f.errorText();
    EXPECT_GT(f.fileSize, 4ull << 30);
    EXPECT_GE(f.riffs.size(), 5u);
    for (const auto& r : f.riffs)
        EXPECT_LT(r.size + 8, 0x40000000u);
    ASSERT_EQ(f.streams[0].entries.size(), static_cast<std::size_t>(frames));
    EXPECT_GT(f.streams[0].indexPos.back(), std::int64_t{4} << 30);
    EXPECT_GT(f.streams[0].entries.back().dataPos, std::int64_t{4} << 30);

    const auto av = avread::Read(dir.file("big.avi"), false);
    ASSERT_TRUE(av.opened) << av.error;
    EXPECT_EQ(av.streams[0].headerFrames, frames);
    EXPECT_EQ(av.streams[0].indexEntries, frames);
    EXPECT_GT(av.streams[0].lastIndexPos, std::int64_t{4} << 30);
    EXPECT_EQ(avread::HashOfVideoPacket(dir.file("big.avi"), frames - 1), lastHash);
}
