#pragma once
// One fuzz input for the DIF readers and pack parsers: the input as a frame
// of its own, every five bytes of it as a pack, and its bytes spread as edits
// over a valid frame of the system and length it picks.
#include <cstddef>
#include <cstdint>

namespace th::fuzz {

void DifFrameOne(const std::uint8_t* data, std::size_t size);

} // namespace th::fuzz
