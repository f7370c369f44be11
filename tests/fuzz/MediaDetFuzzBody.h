#pragma once
// One fuzz input for the media detector: the input as a file that the
// detector opens, lists and takes two small frames of.
#include <cstddef>
#include <cstdint>

namespace th::fuzz {

void MediaDetOpenOne(const std::uint8_t* data, std::size_t size);

} // namespace th::fuzz
