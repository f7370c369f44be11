#pragma once
// The connection types of a type-2 DV capture that the writer benchmarks feed:
// PAL DV video ('dvsd', 25 frames/s) and 48 kHz 16-bit stereo sound.
#include "platform/dshow/BaseClasses.h"

namespace th::bench {

inline constexpr REFERENCE_TIME kPalFramePeriod = 400000; // 100 ns
inline constexpr LONG kPalDvFrameBytes = 144000;

inline CMediaType PalDvVideoType()
{
    CMediaType mt(MEDIATYPE_Video);
    mt.subtype = MEDIASUBTYPE_dvsd;
    mt.formattype = FORMAT_VideoInfo;
    VIDEOINFOHEADER vih{};
    vih.AvgTimePerFrame = kPalFramePeriod;
    vih.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    vih.bmiHeader.biWidth = 720;
    vih.bmiHeader.biHeight = 576;
    vih.bmiHeader.biPlanes = 1;
    vih.bmiHeader.biBitCount = 24;
    vih.bmiHeader.biCompression = 0x64737664; // 'dvsd'
    vih.bmiHeader.biSizeImage = kPalDvFrameBytes;
    mt.SetFormat(reinterpret_cast<const BYTE*>(&vih), sizeof vih);
    return mt;
}

inline CMediaType PcmStereo48kType()
{
    CMediaType mt(MEDIATYPE_Audio);
    mt.subtype = MEDIASUBTYPE_PCM;
    mt.formattype = FORMAT_WaveFormatEx;
    WAVEFORMATEX wf{WAVE_FORMAT_PCM, 2, 48000, 192000, 4, 16, 0};
    mt.SetFormat(reinterpret_cast<const BYTE*>(&wf), sizeof wf);
    return mt;
}

} // namespace th::bench
