#pragma once
// What the DV device tests share: tapes written frame by frame through th_dif
// (optionally sparse, so that an hour of tape costs only the frames a test
// reads), a sink filter that records what reaches it, and a graph with the
// camcorder's filter found through the system device enumerator.

#include "platform/dshow/BaseClasses.h"
#include "platform/dshow/DShow.h"
#include "platform/dv/DifFrame.h"
#include "platform/dv/DvSource.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace dvtest {

struct TapeDescription {
    th::dif::System system = th::dif::System::Pal625_50;
    std::int64_t frames = 50;
    // Ranges [from, to) of frames written; empty: all. The rest are holes.
    std::vector<std::pair<std::int64_t, std::int64_t>> written;
    std::vector<std::int64_t> damaged; // frames overwritten with garbage
    std::size_t tailBytes = 0;         // a cut-off frame after the last one
    std::vector<std::int64_t> blank;   // frames of blank tape (nothing recorded)
    std::int64_t cutShort = -1;        // a frame that lost its last 3000 bytes, the next ones following at once
    bool longPlay = false;             // STYPE of the VAUX source pack: SDL
};

// Frame i carries the time code of frame count i (drop-frame on 525/60), a
// recording time of 2003-06-15 10:00:00 plus i frame periods, and i in the
// first bytes of its first video block.
std::string writeTape(const std::string& path, const TapeDescription& desc);
std::int64_t indexInFrame(const std::uint8_t* frame);

struct Got {
    LONGLONG media = -1;
    REFERENCE_TIME start = -1, stop = -1;
    std::int64_t index = -1; // as written into the frame
    std::optional<th::dif::Timecode> timecode;
    std::optional<th::dif::RecDateTime> recorded;
    LONG length = 0;
    bool discontinuity = false;
    std::uint64_t hash = 0; // of the sample's bytes
};

std::uint64_t hashBytes(const std::uint8_t* p, std::size_t n);

class Sink;

class SinkPin : public CBaseInputPin {
public:
    SinkPin(Sink* sink, CCritSec* lock, HRESULT* hr);
    HRESULT CheckMediaType(const CMediaType* type) override;
    HRESULT Receive(IMediaSample* sample) override;
    HRESULT EndOfStream() override;

private:
    Sink* m_sink;
};

class Sink : public CBaseFilter {
public:
    Sink();
    ~Sink() override;
    int GetPinCount() override { return 1; }
    CBasePin* GetPin(int n) override { return n == 0 ? &m_pin : nullptr; }

    std::vector<Got> samples();
    std::size_t count();
    bool waitForCount(std::size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(20));
    // Waits until no sample has come for `quiet`.
    void waitQuiet(std::chrono::milliseconds quiet);

    // Every `every`-th sample is held up `delay` in Receive.
    void setDelay(int every, std::chrono::milliseconds delay);
    // Keeps every sample (the pool runs dry), until released.
    void setHoldSamples(bool hold);
    // The next sample blocks in Receive, the thread marked as parked, until unblock().
    void setBlockNext(bool block);
    void unblock();
    bool blocked();
    // Once `n` samples have come, every later one is refused (E_FAIL).
    void refuseAfter(std::size_t n);
    bool endOfStream() const { return m_endOfStream.load(); }

private:
    friend class SinkPin;
    void receive(IMediaSample* sample);

    CCritSec m_lock;
    SinkPin m_pin;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Got> m_samples;
    std::vector<IMediaSample*> m_held;
    std::chrono::steady_clock::time_point m_last = std::chrono::steady_clock::now();
    int m_delayEvery = 0;
    std::chrono::milliseconds m_delay{0};
    bool m_hold = false;
    bool m_blockNext = false;
    bool m_blocked = false;
    bool m_release = false;
    std::atomic<std::size_t> m_refuseAfter{SIZE_MAX};
    std::atomic<bool> m_endOfStream{false};
};

// A graph with the camcorder's filter (found as "Microsoft DV Camera and VCR"
// through the system device enumerator) connected to a Sink.
struct Rig {
    ComPtr<IGraphBuilder> graph;
    ComPtr<IMediaControl> control;
    ComPtr<IMediaEventEx> events;
    ComPtr<IBaseFilter> device;
    ComPtr<IAMExtTransport> transport;
    ComPtr<IAMTimecodeReader> timecodeReader;
    ComPtr<IAMExtDevice> extDevice;
    ComPtr<IAMDroppedFrames> dropped;
    Sink* sink = nullptr;
    ComPtr<IBaseFilter> sinkFilter;

    // False (with a failure recorded) when a step fails.
    bool build();
    LONG mode();
    HRESULT setMode(LONG mode);
    std::optional<DWORD> timecode();
    // With `wait`, returns once the deck has stopped winding to the frame.
    HRESULT seekTrack(std::uint32_t track, BYTE* answer = nullptr, bool wait = true);
    // Events of the graph's queue, drained.
    std::vector<std::pair<LONG, LONG_PTR>> drainEvents();
    // The pin's count of the frames dropped for `why`.
    std::int64_t droppedFor(th::dv::DropReason why);
};

// The camcorder's filter bound from the first moniker of the video-input
// category named "Microsoft DV Camera and VCR"; null when there is none.
ComPtr<IBaseFilter> findDevice(ComPtr<IMoniker>* moniker = nullptr);
std::vector<std::u16string> videoInputNames();

// Runs a program of the build and waits for it: its exit status, -1 when it
// could not run. Plain fork and exec (the thread checker cannot follow the
// address-space sharing start that Qt's process class uses).
// Standard output and error go to the files named, or are thrown away.
int runTool(const std::string& program, const std::vector<std::string>& args, const std::string& outFile = {},
            const std::string& errFile = {});
std::string readFile(const std::string& path);

// The absolute track number the capture engine sends for a time code (the
// reference arithmetic, written out here on its own).
std::uint32_t trackNumberFor(th::dif::System system, const th::dif::Timecode& tc);

} // namespace dvtest
