// The media detector on a capture past 1 GiB, as ffmpeg writes it (OpenDML
// with AVIX extensions): frames on both sides of the first RIFF's end.
#include "DvMediaTestUtil.h"
#include "MediaDetTestUtil.h"

#include "support/TestUtil.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>

using namespace dvtest;
using th::test::TempDir;

TEST(MediaDetLong, FramesOfAFileLargerThanOneGibibyte)
{
    TempDir dir;
    const int frames = 7600;
    const std::string tape = dir.file("long.dv");
    ASSERT_TRUE(makeColourTape(true, false, frames, tape));
    const std::string file = dir.file("long.avi");
    ASSERT_TRUE(runFfmpeg({"-f", "dv", "-i", tape, "-c", "copy", file}));
    std::filesystem::remove(tape);
    ASSERT_GT(std::filesystem::file_size(file), 1ULL << 30);
    auto det = makeDet();
    ASSERT_EQ(openFile(det.Get(), file), S_OK);
    double rate = 0;
    ASSERT_EQ(selectVideo(det.Get(), &rate), 0);
    std::mt19937 rng(1394);
    std::vector<int> asked = {0, frames - 1, 7000, 7001, 6999, 3500, frames - 2};
    for (int i = 0; i < 30; ++i)
        asked.push_back(static_cast<int>(rng() % frames));
    for (int frame : asked)
        expectFrame(det.Get(), rate, frame);
}
