#pragma once
// Helpers of the AVI and renderer tests: a source filter that the test pushes
// samples through on its own thread, the media types of DV and PCM streams,
// DV frames made by the tape maker; the files are read back by the tests'
// AVI oracle (support/AviOracle.h, support/AvRead.h).

#include "platform/dshow/BaseClasses.h"
#include "platform/dshow/DShow.h"
#include "platform/dshow/StreamingThread.h"

#include "AvRead.h"
#include "AviOracle.h"

#include <functional>

#include <cstdint>
#include <string>
#include <vector>

namespace avitest {

inline constexpr REFERENCE_TIME kPalFrame = 400000;
inline constexpr std::size_t kPalFrameBytes = 144000;

// --- Media types ---------------------------------------------------------------------------

CMediaType InterleavedDvType(bool withSampleSize = true);
CMediaType DvVideoType();
CMediaType PcmType(DWORD rate = 48000, WORD channels = 2);
CMediaType Rgb32VideoType(LONG width, LONG height);

// --- A source the test pushes through --------------------------------------------------------

struct Times {
    bool hasTime = true;
    REFERENCE_TIME start = 0, stop = 0;
    bool hasMedia = false;
    LONGLONG mediaStart = 0, mediaStop = 0;
    bool discontinuity = false;
};

// The times of frame i of a 25 frames/s stream (media times i, i + 1 when asked).
Times FrameTimes(std::int64_t i, bool media = false);
// The times of audio that starts at sample `first` and holds `count` samples.
Times AudioTimes(std::int64_t first, std::int64_t count, DWORD rate = 48000, bool media = false);

class PushSource;

class PushSourcePin final : public CBaseOutputPin {
public:
    PushSourcePin(PushSource* source, CCritSec* lock, HRESULT* hr);
    HRESULT CheckMediaType(const CMediaType* type) override;
    HRESULT GetMediaType(int position, CMediaType* type) override;
    HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* props) override;

private:
    PushSource* m_source;
};

class PushSource final : public CBaseFilter {
public:
    static ComPtr<IBaseFilter> Make(const CMediaType& type, LONG bufferBytes, PushSource** self);
    int GetPinCount() override { return 1; }
    CBasePin* GetPin(int n) override { return n == 0 ? &m_pin : nullptr; }

    // Delivers one sample downstream on the calling thread; the receiver's answer.
    HRESULT Push(const void* data, std::size_t n, const Times& times);
    HRESULT End() { return m_pin.DeliverEndOfStream(); }
    // Calls step() on a streaming thread of the source's own until it answers
    // false or the source stops (which waits for the thread, as the
    // platform's sources do).
    bool StartStreaming(std::function<bool()> step);
    HRESULT Stop() override;

private:
    friend class PushSourcePin;
    PushSource(const CMediaType& type, LONG bufferBytes, HRESULT* hr);
    CCritSec m_lock;
    PushSourcePin m_pin;
    CMediaType m_type;
    LONG m_bufferBytes;
    th::dshow::StreamingThread m_thread;
};

// --- Graphs ----------------------------------------------------------------------------------

struct Graph {
    ComPtr<IGraphBuilder> graph;
    ComPtr<IMediaControl> control;
    ComPtr<IMediaEventEx> events;
    ComPtr<ICaptureGraphBuilder2> builder;

    Graph();
    void Add(IBaseFilter* filter, const char16_t* name);
    // The events queued so far (code, param1).
    std::vector<std::pair<LONG, LONG_PTR>> Events();
};

// A mux and file writer made by the capture graph builder for `path`, with
// one source per type connected to the mux in order.
struct MuxGraph : Graph {
    ComPtr<IBaseFilter> mux;
    ComPtr<IFileSinkFilter> sink;
    std::vector<PushSource*> sources;
    std::vector<ComPtr<IBaseFilter>> sourceFilters;

    MuxGraph(const std::string& path, const std::vector<CMediaType>& types, std::int64_t riffLimit = 0);
};

// --- DV frames ----------------------------------------------------------------------------

// PAL frames of a tape made by the tape maker (a scene of `frames` frames).
std::vector<std::vector<std::uint8_t>> MakeDvFrames(const std::string& folder, int frames);

// --- Reading the files back ----------------------------------------------------------------

// The tests' RIFF walker and libavformat's reading, as every AVI test reads files.
using avioracle::AviFile;
using avioracle::Chunk;
using avioracle::FourCCText;
using avioracle::HeaderLength;
using avioracle::Idx1Entry;
using avioracle::ReadAt;
using StreamHeaders = avioracle::Stream;
// The oracle's walk, and the mux's own rule that avih counts every stream of hdrl.
AviFile Walk(const std::string& path);
using AvStream = avread::Stream;
using AvFile = avread::File;
// Probes the streams as a player would (avformat_find_stream_info).
inline AvFile AvRead(const std::string& path)
{
    return avread::Read(path, true, true);
}

} // namespace avitest
