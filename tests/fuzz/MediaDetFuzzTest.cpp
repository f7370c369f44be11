// The media detector fuzz body over its seed corpus and damaged copies of
// it, for every compiler.
#include "MediaDetFuzzBody.h"

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

void run(const std::vector<std::uint8_t>& input)
{
    th::fuzz::MediaDetOpenOne(input.empty() ? nullptr : input.data(), input.size());
}

} // namespace

TEST(MediaDetFuzz, SeedCorpusAndDamagedCopiesRunWithoutFaults)
{
    std::mt19937 rng(2003);
    int seeds = 0;
    for (const auto& e : std::filesystem::directory_iterator(TH_SOURCE_DIR "/tests/fuzz/corpus/mediadet")) {
        const auto seed = readFile(e.path());
        ++seeds;
        run(seed);
        // Cut at several points, and garbled here and there.
        for (std::size_t cut : {std::size_t(0), std::size_t(12), std::size_t(200), seed.size() / 3, seed.size() / 2,
                                seed.size() - 1})
            run(std::vector<std::uint8_t>(seed.begin(), seed.begin() + static_cast<std::ptrdiff_t>(std::min(cut, seed.size()))));
        for (int round = 0; round < 12; ++round) {
            auto damaged = seed;
            for (int i = 0; i < 1 + round * 4; ++i)
                damaged[rng() % damaged.size()] = static_cast<std::uint8_t>(rng());
            run(damaged);
        }
    }
    EXPECT_GE(seeds, 3);
}
