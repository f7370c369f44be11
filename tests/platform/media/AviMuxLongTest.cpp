// The AVI Mux at its real RIFF limit: a type-2 capture of a little more than
// 1 GiB continues in an AVIX piece; the file is walked and read back whole.

#include "AviTestSupport.h"
#include "support/TestUtil.h"

#include "platform/riff/Riff.h"

#include <gtest/gtest.h>

using namespace avitest;
using th::riff::FourCC;

TEST(AviMuxLongTest, ACaptureOverOneGibibyteIsOpenDmlWithAnAvixPiece)
{
    th::test::TempDir dir;
    const std::vector<std::vector<std::uint8_t>> frames = MakeDvFrames(dir.path(), 25);
    const std::string path = dir.file("long.avi");
    constexpr std::int64_t kFrames = 7300; // 7300 x (144008 + 7688) bytes: just over 1 GiB
    std::vector<std::uint8_t> pcm(1920 * 4);
    {
        MuxGraph g(path, {DvVideoType(), PcmType()});
        ASSERT_EQ(g.control->Run(), S_OK);
        for (std::int64_t i = 0; i < kFrames; ++i) {
            ASSERT_EQ(g.sources[0]->Push(frames[static_cast<std::size_t>(i % 25)].data(), kPalFrameBytes,
                                         FrameTimes(i)),
                      S_OK);
            pcm[0] = static_cast<std::uint8_t>(i);
            ASSERT_EQ(g.sources[1]->Push(pcm.data(), pcm.size(), AudioTimes(i * 1920, 1920)), S_OK);
        }
        ASSERT_EQ(g.control->Stop(), S_OK);
    }
    const AviFile f = Walk(path);
    ASSERT_TRUE(f.errors.empty()) << f.errorText();
    EXPECT_GT(f.fileSize, std::uint64_t(1) << 30);
    ASSERT_EQ(f.riffs.size(), 2u);
    EXPECT_EQ(f.riffs[1].type, FourCC("AVIX"));
    EXPECT_LE(static_cast<std::uint64_t>(f.riffs[0].size) + 8, std::uint64_t(1) << 30);
    // The first piece is filled up to less than one frame pair from the limit.
    EXPECT_GT(static_cast<std::uint64_t>(f.riffs[0].size) + 8 + 152000, std::uint64_t(1) << 30);
    for (const StreamHeaders& s : f.streams)
        EXPECT_EQ(s.durations.size(), 2u);
    EXPECT_EQ(f.streams.at(0).entries.size(), static_cast<std::size_t>(kFrames));
    EXPECT_EQ(f.streams.at(0).length, static_cast<std::uint32_t>(kFrames));
    EXPECT_EQ(f.streams.at(1).length, static_cast<std::uint32_t>(kFrames * 1920));
    EXPECT_EQ(f.dmlhTotalFrames, static_cast<std::uint32_t>(kFrames));
    std::uint32_t idx1Video = 0;
    for (const Idx1Entry& e : f.idx1)
        idx1Video += e.id == FourCC("00dc");
    EXPECT_EQ(f.avihTotalFrames, idx1Video);
    EXPECT_EQ(f.streams[0].durations[0], idx1Video);
    EXPECT_LT(idx1Video, static_cast<std::uint32_t>(kFrames));

    const AvFile av = AvRead(path);
    ASSERT_TRUE(av.opened) << av.error;
    EXPECT_EQ(av.streams.at(0).packets, kFrames);
    EXPECT_EQ(av.streams.at(0).headerFrames, kFrames);
    EXPECT_EQ(av.streams.at(1).bytes, kFrames * 1920 * 4);
}
