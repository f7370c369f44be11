#pragma once
// The filter of a DV device (DvSource.h: the virtual camcorder, or a camcorder
// on the FireWire bus), as BindToObject makes it: one output pin
// "DV A/V Out" in PIN_CATEGORY_CAPTURE with interleaved DV (MEDIATYPE_Interleaved,
// MEDIASUBTYPE_dvsd, FORMAT_DvInfo, fixed samples of 144000 or 120000 bytes)
// and IAMDroppedFrames; the filter answers IAMExtDevice, IAMExtTransport and
// IAMTimecodeReader for its camcorder.
//
// Streaming. While the filter runs, the pin pushes on a thread of its own
// ("th-dv-device") and keeps the run's ledger: every frame that passed the
// head is either delivered or dropped (late, no buffer, damaged, of the other
// television system, refused downstream), whoever else meanwhile moves the
// deck or asks where it is. A sample's stream time counts frame periods since
// the run began (riff::dv::FramePeriod each, stop = start + one period), its media
// time frames since the run began, the dropped ones included (stop = start +
// 1); only the first sample of a run is a discontinuity. Drops are counted
// once a later frame is delivered, so that a run ends with its last delivered
// frame and delivered + dropped is the last media stop. A paused filter
// delivers nothing (it is a live source: GetState answers VFW_S_CANT_CUE).
// The pin keeps a pool of kDeviceBuffers samples and never waits for one at
// real time: a frame without a buffer is dropped; faster than real time the
// tape waits, and the pin with it until downstream gives a sample back. Drops
// are counted by reason as well (droppedFor). A frame is counted as delivered
// before it is passed on, so a grabber that reads the counts sees the frame in
// its hands counted. A sample that downstream refuses (a failure code) ends
// the run: like the drops just before it, it lies after the last frame taken
// and is not counted; the end of the stream is sent.
//
// Stopping. Stop and Pause end the thread and return once it has left the
// filter or is parked in a grabber callback (see StreamingThread.h); the thread
// waits only in its run's next() (which the stop wakes) or for a buffer.
// Internal to th_dv. No Qt.

#include "platform/dshow/BaseClasses.h"
#include "platform/dshow/StreamingThread.h"
#include "platform/dv/DvSource.h"
#include "platform/dv/VirtualCamcorder.h"

#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace th::dv {

inline constexpr std::size_t kDroppedHistory = 128;

// The filter's class identifier (GetClassID); it is not created by class.
inline constexpr CLSID CLSID_TapeHarvestDvDevice = MakeGuid("6C1E5D2A-3B47-4F8E-9A10-5D3C2B7E41F6");

class DvDeviceFilter;
class BufferWait;

// Its type is seen outside th_dv: the device tests read the counts by reason
// from the pin itself.
class TH_DV_API DvOutputPin final : public CBaseOutputPin, public IAMDroppedFrames {
public:
    DvOutputPin(DvDeviceFilter* filter, CCritSec* lock, HRESULT* hr);
    ~DvOutputPin() override;

    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    HRESULT CheckMediaType(const CMediaType* type) override;
    HRESULT GetMediaType(int position, CMediaType* type) override;
    HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* props) override;
    HRESULT Active() override;
    HRESULT Inactive() override;
    HRESULT Run(REFERENCE_TIME start) override;

    // IAMDroppedFrames: counts since the filter last left the stopped state.
    HRESULT GetNumDropped(LONG* dropped) override;
    HRESULT GetNumNotDropped(LONG* notDropped) override;
    // The stream positions (frame periods since the run began) of the last
    // dropped frames, oldest first, up to kDroppedHistory of them.
    HRESULT GetDroppedInfo(LONG size, LONG* frames, LONG* copied) override;
    HRESULT GetAverageFrameSize(LONG* averageSize) override;
    // The frames GetNumDropped counts that were dropped for `why`; the counts
    // of every reason add up to it.
    std::int64_t droppedFor(DropReason why) const { return m_droppedFor[static_cast<std::size_t>(why)].load(); }

    // Ends the streaming thread (idempotent).
    void StopStreaming();

private:
    void stream(std::shared_ptr<DvStream> stream, std::shared_ptr<std::atomic<bool>> stop);
    // Frames of the run not delivered, from frame period `firstSlot` on:
    // held until the next frame is delivered, then counted.
    void noteDropped(std::int64_t firstSlot, std::int64_t count, DropReason why);
    // Adds the drops noted so far to the counts, before the frame after them
    // goes downstream (what it reaches reads the counts); returns how many.
    std::int64_t countDropped();
    // Takes them off again: the frame after them was refused.
    void uncountDropped();
    // Keeps them in the history once that frame has been taken.
    void recordDropped();
    // Waits for a sample to come back to the pool since `released`, or for
    // the run to end, a few frame periods at most.
    void waitForBuffer(std::uint64_t released);

    DvDeviceFilter* m_device;
    th::dshow::StreamingThread m_thread;
    std::shared_ptr<std::atomic<bool>> m_stop;

    std::atomic<std::int64_t> m_dropped{0};
    std::atomic<std::int64_t> m_delivered{0};
    std::array<std::atomic<std::int64_t>, kDropReasons> m_droppedFor{};
    std::mutex m_historyMutex;
    std::array<LONG, kDroppedHistory> m_history{};
    std::size_t m_historyNext = 0;
    std::size_t m_historyCount = 0;
    struct Dropped {
        std::int64_t firstSlot, count;
        DropReason why;
    };
    std::vector<Dropped> m_pendingDropped; // streaming thread only
    ComPtr<BufferWait> m_bufferWait;
    std::mutex m_runMutex;
    std::shared_ptr<DvStream> m_run; // while a run streams, for StopStreaming to wake
};

class DvDeviceFilter final : public CBaseFilter,
                             public IAMExtDevice,
                             public IAMExtTransport,
                             public IAMTimecodeReader {
public:
    // A new filter of the device, queried for riid.
    static HRESULT create(std::shared_ptr<DvSource> source, REFIID riid, void** ppv);
    ~DvDeviceFilter() override;

    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    int GetPinCount() override { return 1; }
    CBasePin* GetPin(int n) override { return n == 0 ? &m_pin : nullptr; }
    HRESULT Pause() override;
    HRESULT GetState(DWORD milliseconds, FILTER_STATE* state) override;
    HRESULT JoinFilterGraph(IFilterGraph* graph, LPCWSTR name) override;

    // IAMExtDevice: ED_DEVCAP_DEVICE_TYPE gives ED_DEVTYPE_VCR or ED_DEVTYPE_CAMERA.
    HRESULT GetCapability(LONG capability, LONG* value, double* doubleValue) override;
    // IAMExtTransport (see TapeTransport.h for the modes; a camera has none).
    HRESULT put_Mode(LONG mode) override;
    HRESULT get_Mode(LONG* mode) override;
    // ED_TRANSBASIC_INPUT_SIGNAL: the tape's signal. ED_RAW_EXT_DEV_CMD: *value
    // is the length and `data` the command bytes; only the absolute track number
    // seek is carried out; a seek beyond the recording winds to its end, as a
    // deck does, and gives 1235 only when the tape already stands there. Other
    // commands are refused with HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED).
    HRESULT GetTransportBasicParameters(LONG param, LONG* value, LPOLESTR* data) override;
    // IAMTimecodeReader: the time code of the frame at the head, 0xHHMMSSFF;
    // E_FAIL on blank tape or a frame without one, and for a camera.
    HRESULT GetTimecode(TIMECODE_SAMPLE* timecode) override;

    DvSource& source() const { return *m_source; }
    std::size_t frameSize() const { return m_source->frameSize(); }
    DVINFO dvInfo() const { return m_source->dvInfo(); }
    REFERENCE_TIME framePeriod() const { return m_source->framePeriod(); }
    // The graph the filter is in, for the camcorder's device events (not counted).
    IFilterGraph* graphForEvents() const { return m_eventGraph.load(); }

private:
    explicit DvDeviceFilter(std::shared_ptr<DvSource> source);

    std::shared_ptr<DvSource> m_source;
    CCritSec m_lock;
    DvOutputPin m_pin;
    std::atomic<IFilterGraph*> m_eventGraph{nullptr};
};

} // namespace th::dv
