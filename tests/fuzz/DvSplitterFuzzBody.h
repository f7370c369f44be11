#pragma once
// One fuzz input for the DV Splitter's frame parser and audio decoding, and
// for the DV decoding behind it: the input as a frame of its own, and its
// bytes as edits over a valid frame of the system and audio it picks.
#include <cstddef>
#include <cstdint>

namespace th::fuzz {

void DvSplitterFrameOne(const std::uint8_t* data, std::size_t size);

} // namespace th::fuzz
