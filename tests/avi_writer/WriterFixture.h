#pragma once
// Formats and sample feeding shared by the writer's tests: what the pins do
// with a sample, done directly on the file writer.
#include "avi_writer/AviWriterCore.h"
#include "avi_writer/OpenDmlFileWriter.h"

#include "platform/riff/Riff.h"

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

// The writer's state as the tests set it up and look at it: references into
// the writer, so that State(w).FVideoFrames reads and sets its count.
struct WriterTestAccess {
    explicit WriterTestAccess(OpenDmlFileWriter& w)
        : FDVType(w.FDVType), FFrameDuration(w.FFrameDuration), FMicroSecPerFrame(w.FMicroSecPerFrame),
          FStreamCount(w.FStreamCount), FWidth(w.FWidth), FHeight(w.FHeight), FVideoFccType(w.FVideoFccType),
          FVideoScale(w.FVideoScale), FVideoRate(w.FVideoRate), FBitmapInfo(w.FBitmapInfo), FDVInfo(w.FDVInfo),
          FWaveFormat(w.FWaveFormat), FChangePending(w.FChangePending), FVideoFrames(w.FVideoFrames),
          FAudioSamples(w.FAudioSamples), FAudioIndexSamples(w.FAudioIndexSamples), FFilePos(w.FFilePos),
          FRiffs(w.FRiffs)
    {
    }
    BYTE& FDVType;
    std::int64_t& FFrameDuration;
    std::uint32_t& FMicroSecPerFrame;
    std::uint32_t& FStreamCount;
    std::int32_t& FWidth;
    std::int32_t& FHeight;
    std::uint32_t& FVideoFccType;
    std::uint32_t& FVideoScale;
    std::uint32_t& FVideoRate;
    std::uint8_t (&FBitmapInfo)[OpenDmlFileWriter::kBitmapInfoSize];
    std::uint8_t (&FDVInfo)[OpenDmlFileWriter::kDVInfoSize];
    std::uint8_t (&FWaveFormat)[OpenDmlFileWriter::kWaveFormatSize];
    bool& FChangePending;
    std::int64_t& FVideoFrames;
    std::int64_t& FAudioSamples;
    std::int64_t& FAudioIndexSamples;
    std::int64_t& FFilePos;
    std::vector<TRiffRecord>& FRiffs;
};

struct CoreTestAccess : WriterTestAccess {
    explicit CoreTestAccess(AviWriterCore& c)
        : WriterTestAccess(c), FNewFileName(c.FNewFileName), FChangeTime(c.FChangeTime), FAudioTime(c.FAudioTime),
          FInterleaveEvent(c.FInterleaveEvent), FInWave(c.FInWave), FAudioWrittenAhead(c.FAudioWrittenAhead)
    {
    }
    std::string& FNewFileName;
    std::int64_t& FChangeTime;
    std::atomic<std::int64_t>& FAudioTime;
    HANDLE& FInterleaveEvent;
    std::uint8_t (&FInWave)[OpenDmlFileWriter::kWaveFormatSize];
    std::int64_t& FAudioWrittenAhead;
};

inline WriterTestAccess State(OpenDmlFileWriter& w) { return WriterTestAccess(w); }
inline CoreTestAccess State(AviWriterCore& c) { return CoreTestAccess(c); }

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
    State(w).FDVType = 2;
    State(w).FFrameDuration = avg;
    State(w).FMicroSecPerFrame = static_cast<std::uint32_t>(avg / 10);
    State(w).FStreamCount = 2;
    State(w).FWidth = 720;
    State(w).FHeight = pal ? 576 : 480;
    State(w).FVideoFccType = FourCC("vids");
    State(w).FVideoScale = static_cast<std::uint32_t>(avg);
    State(w).FVideoRate = 10000000;
    std::uint8_t* b = State(w).FBitmapInfo;
    std::memset(b, 0, 40);
    Put32(b + 0, 40);                // biSize
    Put32(b + 4, 720);               // biWidth
    Put32(b + 8, pal ? 576 : 480);   // biHeight
    Put16(b + 12, 1);                // biPlanes
    Put16(b + 14, 24);               // biBitCount
    Put32(b + 16, FourCC("dvsd"));   // biCompression
    Put32(b + 20, pal ? 144000 : 120000); // biSizeImage
    std::uint8_t* a = State(w).FWaveFormat;
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
    State(w).FDVType = 1;
    State(w).FMicroSecPerFrame = pal ? 40000 : 33367;
    State(w).FStreamCount = 1;
    State(w).FWidth = 0;
    State(w).FHeight = 0;
    State(w).FVideoFccType = FourCC("iavs");
    State(w).FVideoScale = pal ? 400000 : 333667;
    State(w).FVideoRate = 10000000;
    for (int i = 0; i < 32; ++i)
        State(w).FDVInfo[i] = static_cast<std::uint8_t>(0xA0 + i);
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
    ++State(w).FVideoFrames;
    w.NoteVideoChunkSize(static_cast<std::uint32_t>(data.size() + 8));
    const auto b = Chunk(w.VideoChunkId(), data);
    const DWORD r = w.WriteMovie(b.data(), b.size());
    if (r == 0)
        w.AddVideoIndexEntry(static_cast<std::uint32_t>(data.size()));
    else
        --State(w).FVideoFrames; // as the pins count: only what was written
    return r;
}

inline void PutDropped(OpenDmlFileWriter& w, int n)
{
    for (int i = 0; i < n; ++i) {
        ++State(w).FVideoFrames;
        w.AddVideoIndexEntry(0);
    }
}

// One audio buffer of 16-bit stereo the way the audio pin writes it.
inline DWORD PutAudio(OpenDmlFileWriter& w, const std::vector<std::uint8_t>& data)
{
    const std::int64_t samples = static_cast<std::int64_t>(data.size() / 4);
    State(w).FAudioSamples += samples;
    State(w).FAudioIndexSamples += samples;
    w.NoteAudioChunkSize(static_cast<std::uint32_t>(data.size() + 8));
    const auto b = Chunk(th::riff::FourCC("01wb"), data);
    const DWORD r = w.WriteMovie(b.data(), b.size());
    if (r == 0) {
        w.AddAudioIndexEntry(static_cast<std::uint32_t>(data.size()));
    } else {
        State(w).FAudioSamples -= samples;
        State(w).FAudioIndexSamples -= samples;
    }
    return r;
}

} // namespace writertest
