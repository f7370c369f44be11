// The DIF fuzz body over generated inputs, for every compiler.
#include "DifFuzzBody.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

TEST(DifFuzz, GeneratedInputsReadWithoutFaults)
{
    std::mt19937 rng(1394);
    for (int round = 0; round < 3000; ++round) {
        // Mostly short edit lists; now and then a long raw input.
        const std::size_t size = round % 50 == 0 ? 120000 + rng() % 30000 : rng() % 600;
        std::vector<std::uint8_t> input(size);
        for (auto& b : input)
            b = static_cast<std::uint8_t>(rng());
        if (size > 3 && round % 2 == 0) {
            // A header block of sequence 0, so the readers go past the first check.
            input[0] = 0x1F;
            input[1] = 0x07;
            input[2] = 0x00;
        }
        th::fuzz::DifFrameOne(input.empty() ? nullptr : input.data(), input.size());
    }
    SUCCEED();
}
