#pragma once
// The connection types of a type-2 DV capture that the writer benchmarks feed:
// PAL DV video ('dvsd', 25 frames/s) and 48 kHz 16-bit stereo sound.
#include "platform/dshow/BaseClasses.h"
#include "platform/media/DVSplitter.h"
#include "platform/riff/DvFormat.h"

namespace th::bench {

inline constexpr REFERENCE_TIME kPalFramePeriod = th::riff::dv::kPalFramePeriod; // 100 ns
inline constexpr LONG kPalDvFrameBytes = static_cast<LONG>(th::riff::dv::kPalFrameBytes);

// The types the DV Splitter offers, so that the writers see what a capture gives them.
inline CMediaType PalDvVideoType()
{
    CMediaType mt;
    th::media::MakeDvVideoType(th::dif::System::Pal625_50, &mt);
    return mt;
}

inline CMediaType PcmStereo48kType()
{
    CMediaType mt;
    th::media::MakePcmAudioType(48000, &mt);
    return mt;
}

} // namespace th::bench
