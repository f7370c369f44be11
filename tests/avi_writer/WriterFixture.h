#pragma once
// Formats and sample feeding shared by the writer's tests: what the pins do
// with a sample, done directly on the file writer.
#include "avi_writer/OpenDmlFileWriter.h"

#include "platform/riff/Riff.h"

#include <cstring>
#include <vector>

namespace writertest {

// A file writer with a lock of its own, as a filter gives it one.
struct Writer {
    StdWriterLock lock;
    OpenDmlFileWriter w;
    explicit Writer(OpenDmlLimits limits = {}) : w(lock, limits) {}
};

inline void SetType2(OpenDmlFileWriter& w, bool pal = true)
{
    using namespace th::riff;
    const std::int64_t avg = pal ? 400000 : 333667;
    w.FDVType = 2;
    w.FFrameDuration = avg;
    w.FMicroSecPerFrame = static_cast<std::uint32_t>(avg / 10);
    w.FStreamCount = 2;
    w.FWidth = 720;
    w.FHeight = pal ? 576 : 480;
    w.FVideoFccType = FourCC("vids");
    w.FVideoScale = static_cast<std::uint32_t>(avg);
    w.FVideoRate = 10000000;
    std::uint8_t* b = w.FBitmapInfo;
    std::memset(b, 0, 40);
    Put32(b + 0, 40);                // biSize
    Put32(b + 4, 720);               // biWidth
    Put32(b + 8, pal ? 576 : 480);   // biHeight
    Put16(b + 12, 1);                // biPlanes
    Put16(b + 14, 24);               // biBitCount
    Put32(b + 16, FourCC("dvsd"));   // biCompression
    Put32(b + 20, pal ? 144000 : 120000); // biSizeImage
    std::uint8_t* a = w.FWaveFormat;
    Put16(a + 0, 1);      // wFormatTag PCM
    Put16(a + 2, 2);      // nChannels
    Put32(a + 4, 48000);  // nSamplesPerSec
    Put32(a + 8, 192000); // nAvgBytesPerSec
    Put16(a + 12, 4);     // nBlockAlign
    Put16(a + 14, 16);    // wBitsPerSample
    Put16(a + 16, 0);     // cbSize
}

inline void SetType1(OpenDmlFileWriter& w, bool pal = true)
{
    using namespace th::riff;
    w.FDVType = 1;
    w.FMicroSecPerFrame = pal ? 40000 : 33367;
    w.FStreamCount = 1;
    w.FWidth = 0;
    w.FHeight = 0;
    w.FVideoFccType = FourCC("iavs");
    w.FVideoScale = pal ? 400000 : 333667;
    w.FVideoRate = 10000000;
    for (int i = 0; i < 32; ++i)
        w.FDVInfo[i] = static_cast<std::uint8_t>(0xA0 + i);
}

// A movie chunk as the pins build it: id, size, data in one buffer.
inline std::vector<std::uint8_t> Chunk(std::uint32_t id, const std::vector<std::uint8_t>& data)
{
    std::vector<std::uint8_t> b(data.size() + 8);
    th::riff::Put32(b.data(), id);
    th::riff::Put32(b.data() + 4, static_cast<std::uint32_t>(data.size()));
    if (!data.empty())
        std::memcpy(b.data() + 8, data.data(), data.size());
    return b;
}

inline std::vector<std::uint8_t> Pattern(std::size_t n, unsigned seed)
{
    std::vector<std::uint8_t> d(n);
    std::uint32_t x = seed * 2654435761u + 1;
    for (auto& v : d) {
        x = x * 1664525u + 1013904223u;
        v = static_cast<std::uint8_t>(x >> 24);
    }
    return d;
}

// One video frame the way the video pin writes it.
inline DWORD PutVideo(OpenDmlFileWriter& w, const std::vector<std::uint8_t>& data)
{
    ++w.FVideoFrames;
    w.NoteVideoChunkSize(static_cast<std::uint32_t>(data.size() + 8));
    const auto b = Chunk(w.VideoChunkId(), data);
    const DWORD r = w.WriteMovie(b.data(), b.size());
    if (r == 0)
        w.AddVideoIndexEntry(static_cast<std::uint32_t>(data.size()));
    else
        --w.FVideoFrames; // as the pins count: only what was written
    return r;
}

inline void PutDropped(OpenDmlFileWriter& w, int n)
{
    for (int i = 0; i < n; ++i) {
        ++w.FVideoFrames;
        w.AddVideoIndexEntry(0);
    }
}

// One audio buffer of 16-bit stereo the way the audio pin writes it.
inline DWORD PutAudio(OpenDmlFileWriter& w, const std::vector<std::uint8_t>& data)
{
    const std::int64_t samples = static_cast<std::int64_t>(data.size() / 4);
    w.FAudioSamples += samples;
    w.FAudioIndexSamples += samples;
    w.NoteAudioChunkSize(static_cast<std::uint32_t>(data.size() + 8));
    const auto b = Chunk(th::riff::FourCC("01wb"), data);
    const DWORD r = w.WriteMovie(b.data(), b.size());
    if (r == 0) {
        w.AddAudioIndexEntry(static_cast<std::uint32_t>(data.size()));
    } else {
        w.FAudioSamples -= samples;
        w.FAudioIndexSamples -= samples;
    }
    return r;
}

} // namespace writertest
