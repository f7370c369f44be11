#pragma once
// The DV figures both AVI writers and the DV filters write into headers and
// media types, in one place. No Qt.

#include <cstddef>
#include <cstdint>

namespace th::riff::dv {

// One frame in 100 ns units: 625/50 (PAL) and 525/60 (NTSC, 30000/1001 frames/s).
inline constexpr std::int64_t kPalFramePeriod = 400000;
inline constexpr std::int64_t kNtscFramePeriod = 333667;
// avih dwMicroSecPerFrame of each.
inline constexpr std::uint32_t kPalMicroSecPerFrame = 40000;
inline constexpr std::uint32_t kNtscMicroSecPerFrame = 33367;
// Bytes of one frame of each (DV25).
inline constexpr std::size_t kPalFrameBytes = 144000;
inline constexpr std::size_t kNtscFrameBytes = 120000;

constexpr std::int64_t FramePeriod(bool ntsc) { return ntsc ? kNtscFramePeriod : kPalFramePeriod; }
constexpr std::uint32_t MicroSecPerFrame(bool ntsc) { return ntsc ? kNtscMicroSecPerFrame : kPalMicroSecPerFrame; }

} // namespace th::riff::dv
