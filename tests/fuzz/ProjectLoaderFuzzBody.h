#pragma once
// Feeds bytes to the project loader as the contents of a ".thp" file. Shared
// by the libFuzzer target and by the regression test over the seed corpus.
#include <cstddef>
#include <cstdint>

namespace th::fuzz {

// Once per process, with a QApplication in place: a scratch folder for the
// input file, capture folders that are accepted without being made, and a
// missing-file dialog that is answered with Ignore All.
void ProjectLoaderSetUp();
// Loads one input; every failure must be a clean exception.
void ProjectLoaderOne(const std::uint8_t* data, std::size_t size);

} // namespace th::fuzz
