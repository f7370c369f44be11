#pragma once
// What the DV media tests share: tapes from the tape maker, DV frames read
// and rewritten with chosen audio, libavformat as the reference reader, and a
// frame source and a recording sink to push frames through a filter.

#include "platform/dshow/BaseClasses.h"
#include "platform/dshow/DShow.h"
#include "platform/dshow/StreamingThread.h"
#include "platform/dv/DifFrame.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace dvtest {

using Frame = std::vector<std::uint8_t>;

// Runs the tape maker; the arguments come before the output name. Fails the
// test (and returns false) when it does not write the tape.
bool makeTape(const std::vector<std::string>& args, const std::string& output);
// A tape of `frames` one-frame scenes, frame k in paletteColour(k).
bool makeColourTape(bool pal, bool twelveBit, int frames, const std::string& output);
// Distinct colours, far enough apart to survive DV coding and scaling.
struct Rgb {
    int r, g, b;
};
Rgb paletteColour(int k);
inline constexpr int kPaletteSize = 64;

std::vector<Frame> readFrames(const std::string& path, std::size_t frameBytes);
void writeFrames(const std::string& path, const std::vector<Frame>& frames);

// Rewrites a frame's packs and audio: `samples` pairs of `first` (left,
// right interleaved), locked or not. False when th_dif refuses.
bool setAudio(Frame& frame, th::dif::System system, int hz, th::dif::Quantization q, bool locked,
              const std::vector<std::int16_t>& first, int samples);

// libavformat's "dv" demuxer over a raw DV file: per frame, the first audio
// stream's samples (interleaved) and its sample rate.
struct ReferenceAudio {
    bool opened = false;
    int rate = 0;
    std::vector<std::vector<std::int16_t>> frames;
};
ReferenceAudio referenceAudio(const std::string& path);

// Runs ffmpeg with the arguments; true on status 0.
bool runFfmpeg(const std::vector<std::string>& args);

// --- Filters for pushing frames ------------------------------------------------------------

class FrameSource;

class FrameSourcePin : public CBaseOutputPin {
public:
    FrameSourcePin(FrameSource* filter, CCritSec* lock, HRESULT* hr);
    HRESULT CheckMediaType(const CMediaType* type) override;
    HRESULT GetMediaType(int position, CMediaType* type) override;
    HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* props) override;

private:
    FrameSource* m_source;
};

// Pushes its frames on a streaming thread once run: sample i with stream
// times i × frame time and media times i, i + 1, then an end of stream.
class FrameSource : public CBaseFilter {
public:
    static ComPtr<IBaseFilter> Make(std::vector<Frame> frames, const CMediaType& type, REFERENCE_TIME frameTime,
                                    FrameSource** self = nullptr);
    ~FrameSource() override;
    int GetPinCount() override { return 1; }
    CBasePin* GetPin(int n) override { return n == 0 ? &m_pin : nullptr; }
    HRESULT Run(REFERENCE_TIME start) override;
    HRESULT Stop() override;

    // Results of the downstream's Receive, per frame pushed.
    std::vector<HRESULT> Results();
    // A pause between frames, set before running.
    std::chrono::milliseconds interval{0};

private:
    friend class FrameSourcePin;
    FrameSource(std::vector<Frame> frames, const CMediaType& type, REFERENCE_TIME frameTime);
    void push();

    CCritSec m_lock;
    FrameSourcePin m_pin;
    std::vector<Frame> m_frames;
    CMediaType m_type;
    REFERENCE_TIME m_frameTime;
    th::dshow::StreamingThread m_thread;
    std::mutex m_mutex;
    std::vector<HRESULT> m_results;
};

// The interleaved DV type a camcorder's pin offers, with its DVINFO from `frame`.
CMediaType interleavedType(const Frame& frame);

struct Recorded {
    std::vector<std::uint8_t> data;
    HRESULT timeResult = S_OK;
    REFERENCE_TIME start = 0, stop = 0;
    HRESULT mediaResult = S_OK;
    LONGLONG mediaStart = 0, mediaStop = 0;
    bool typeAttached = false;
    CMediaType attached;     // when typeAttached
    CMediaType connection;   // the pin's type once the sample was taken in
};

class RecordingSink;

class RecordingPin : public CBaseInputPin {
public:
    RecordingPin(RecordingSink* filter, CCritSec* lock, HRESULT* hr);
    HRESULT CheckMediaType(const CMediaType* type) override;
    HRESULT Receive(IMediaSample* sample) override;
    HRESULT EndOfStream() override;

private:
    RecordingSink* m_sink;
};

// Takes every sample of one major type (GUID_NULL: any) and keeps a copy.
class RecordingSink : public CBaseFilter {
public:
    static ComPtr<IBaseFilter> Make(const GUID& major, RecordingSink** self = nullptr);
    int GetPinCount() override { return 1; }
    CBasePin* GetPin(int n) override { return n == 0 ? &m_pin : nullptr; }

    std::vector<Recorded> Samples();
    bool WaitForEndOfStream(int timeoutMs = 20000);
    // A type the sink refuses from now on (QueryAccept and attached types).
    void Refuse(const GUID& subtype) { m_refused = subtype; }

private:
    friend class RecordingPin;
    explicit RecordingSink(const GUID& major);
    CCritSec m_lock;
    RecordingPin m_pin;
    GUID m_major;
    GUID m_refused{};
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Recorded> m_samples;
    bool m_eos = false;
};

// A graph with the filters added under the names given.
struct Graph {
    ComPtr<IGraphBuilder> builder;
    ComPtr<IMediaControl> control;
    Graph();
    void add(IBaseFilter* filter, const char16_t* name);
};
ComPtr<IPin> pinOf(IBaseFilter* filter, const char16_t* name);

} // namespace dvtest
