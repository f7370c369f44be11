#pragma once
// The Audio Renderer (CLSID_DSoundRender): one input pin "Audio Input pin
// (rendered)" that takes PCM (MEDIATYPE_Audio, FORMAT_WaveFormatEx, 8, 16 or
// 32 bits) and plays it on the default sound output through Qt Multimedia.
//
// Without a sound output (no sound server, no device, or a format the device
// refuses) the renderer consumes the samples quietly at the pace of its clock:
// a sample is taken when its stream time, counted from the run's start, is
// less than kLeadMs ahead of now, as a device with a buffer of that length
// would take it. Samples without times follow the previous one. A stream
// whose times run far from the clock (by more than kResyncMs) is taken up
// afresh from now. The renderer follows the system's list of outputs
// (audioOutputsChanged, and a look every half second while it has none): an
// output that appears while it runs is opened, one that goes away leaves it
// quiet again.
//
// IBasicAudio: put_Volume / get_Volume in hundredths of a decibel, -10000
// (silence) to 0 (full); E_INVALIDARG outside, the volume unchanged.
//
// Threads. Receive waits (for the device to take the data, or for the clock)
// only in short slices and stops waiting as soon as the renderer stops,
// pauses or flushes, or the streaming thread is asked to stop, so that a stop
// upstream never waits on the sound output. The Qt side (the device list and
// the sink) lives on the main thread and is driven by queued calls that
// never wait; the data crosses in a preallocated ring buffer.

#include "platform/dshow/BaseClasses.h"

#include <atomic>
#include <chrono>
#include <memory>

namespace th::media {

class CAudioRenderer;
struct AudioRing;
class AudioOutput;

class CAudioRendererInputPin final : public CRenderedInputPin {
public:
    CAudioRendererInputPin(CAudioRenderer* renderer, CCritSec* lock, HRESULT* hr);
    HRESULT CheckMediaType(const CMediaType* type) override;
    HRESULT Receive(IMediaSample* sample) override;
    HRESULT BeginFlush() override;

private:
    CAudioRenderer* m_renderer;
};

class CAudioRenderer final : public CBaseFilter, public IBasicAudio {
public:
    static constexpr int kLeadMs = 200;
    static constexpr int kResyncMs = 2000;

    static CUnknown* CreateInstance(IUnknown* outer, HRESULT* hr);
    ~CAudioRenderer() override;

    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    int GetPinCount() override { return 1; }
    CBasePin* GetPin(int n) override { return n == 0 ? &m_input : nullptr; }
    HRESULT Stop() override;
    HRESULT Pause() override;
    HRESULT Run(REFERENCE_TIME start) override;

    // IBasicAudio
    HRESULT put_Volume(LONG volume) override;
    HRESULT get_Volume(LONG* volume) override;

    // True while a sound output plays what the renderer receives.
    bool Playing() const;

private:
    friend class CAudioRendererInputPin;
    CAudioRenderer(IUnknown* outer, HRESULT* hr);
    HRESULT render(IMediaSample* sample);
    // Waits until `until` (steady clock) or a reason to stop waiting; false
    // when the sample is not to be played.
    bool waitUntil(std::chrono::steady_clock::time_point until);
    bool keepWaiting() const;

    CCritSec m_lock;
    CAudioRendererInputPin m_input;
    std::atomic<LONG> m_volume{0};
    std::shared_ptr<AudioRing> m_ring;
    AudioOutput* m_output = nullptr; // lives on the main thread

    // The clock: the run's start and the stream's offset from it; the
    // streaming thread's.
    std::atomic<REFERENCE_TIME> m_runStart{0};
    std::atomic<bool> m_running{false};
    std::atomic<unsigned> m_generation{0}; // changes at every stop, pause and flush
    REFERENCE_TIME m_offset = 0;
    REFERENCE_TIME m_nextDue = 0;
    unsigned m_clockGeneration = ~0u;
};

} // namespace th::media
