// The DV Splitter fuzz body over its seed corpus and generated inputs, for
// every compiler.
#include "DvSplitterFuzzBody.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <vector>

namespace {

std::vector<std::uint8_t> readFile(const std::filesystem::path& p)
{
    std::ifstream f(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

} // namespace

TEST(DvSplitterFuzz, SeedCorpusRunsWithoutFaults)
{
    int seeds = 0;
    for (const auto& e : std::filesystem::directory_iterator(TH_SOURCE_DIR "/tests/fuzz/corpus/dvsplitter")) {
        const auto input = readFile(e.path());
        th::fuzz::DvSplitterFrameOne(input.empty() ? nullptr : input.data(), input.size());
        ++seeds;
    }
    EXPECT_GE(seeds, 5);
}

TEST(DvSplitterFuzz, GeneratedInputsRunWithoutFaults)
{
    std::mt19937 rng(1394);
    for (int round = 0; round < 400; ++round) {
        // Mostly edit lists; now and then a raw frame-sized input.
        const std::size_t size = round % 40 == 0 ? 120000 + rng() % 30000 : rng() % 400;
        std::vector<std::uint8_t> input(size);
        for (auto& b : input)
            b = static_cast<std::uint8_t>(rng());
        if (size > 3 && round % 40 == 0) {
            // A header block of sequence 0, so the parser goes past the first check.
            input[0] = 0x1F;
            input[1] = 0x07;
            input[2] = 0x00;
            input[3] = round % 80 == 0 ? 0xBF : 0x3F;
        }
        th::fuzz::DvSplitterFrameOne(input.empty() ? nullptr : input.data(), input.size());
    }
    SUCCEED();
}
