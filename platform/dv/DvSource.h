#pragma once
// A DV device as the device filter (DvDeviceFilter.h) sees it, whichever it
// is: the virtual camcorder (Camcorder) or a camcorder on the FireWire bus
// (Ieee1394Device). And what one run of its frames hands the filter's output
// pin, one item at a time: a frame, frame periods in which a frame passed the
// head and was not delivered (with the reason), frame periods without any
// frame (blank tape, a stopped or winding deck), or the end of the run. The
// pin keeps the run's ledger from these items alone; a stream counts nothing
// itself. No Qt.

#include "platform/com/Com.h"
#include "platform/dshow/MediaTypes.h"

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

namespace th::dv {

class DvDeviceFilter;

// Why a frame that passed the head was not delivered.
enum class DropReason {
    None = 0,
    Late,          // the streaming thread came back after the frame had gone by
    NoBuffer,      // every buffer was still downstream
    Damaged,       // the frame could not be read, or is not a DV frame
    OtherStandard, // a DV frame of the other television system than the stream's
    Blank,         // blank tape: nothing recorded, nothing passed the head (no signal)
    Refused,       // downstream refused the sample (the run ends there)
};
inline constexpr std::size_t kDropReasons = static_cast<std::size_t>(DropReason::Refused) + 1;

struct DvFrame {
    enum Kind { Frame, Missed, Idle, Stop };
    Kind kind = Stop;
    // Frame: 1 (the frame was read into the caller's buffer, when it gave one).
    // Missed: the frames that went by undelivered, one period each.
    // Idle: periods without a frame.
    std::int64_t periods = 0;
    DropReason why = DropReason::None; // for Missed
};

// One run of a device's frames, used on the pin's streaming thread.
class DvStream {
public:
    virtual ~DvStream() = default;
    // What comes next, waiting for it; Stop when the run is to end. A frame
    // is read into `into`; with an empty span it goes by unread (no buffer
    // for it).
    virtual DvFrame next(std::span<std::uint8_t> into) = 0;
    // Makes next() return Stop, now and from now on. Any thread.
    virtual void wake() = 0;
    // Faster than real time the source waits for this run's buffers (the
    // pin then waits for a buffer rather than letting a frame go by).
    virtual bool lossless() const = 0;
};

// One device. Its transport contract, for both devices: a raw command returns
// once the deck has taken it (INTERIM or ACCEPTED), a search goes on in the
// deck and its end is read back (mode and time code), any other transport
// command ends it, and no AV/C transaction holds a lock longer than the deck
// takes to answer it. Every call may come on any thread.
class DvSource {
public:
    virtual ~DvSource() = default;

    // --- What it sends: the graph is built for these ---
    virtual std::size_t frameSize() const = 0;
    virtual REFERENCE_TIME framePeriod() const = 0;
    virtual DVINFO dvInfo() const = 0;
    virtual bool present() const = 0;

    // --- What the filter's IAMExtDevice, IAMExtTransport and IAMTimecodeReader ask ---
    virtual HRESULT deviceType(LONG* value) = 0;
    virtual HRESULT putMode(LONG mode) = 0;
    virtual HRESULT getMode(LONG* mode) = 0;
    virtual HRESULT inputSignal(LONG* value) = 0;
    // An AV/C command of `length` bytes, answered in place (byte 0: response code).
    virtual HRESULT rawCommand(BYTE* command, LONG length) = 0;
    virtual HRESULT timecode(DWORD* bcd) = 0;

    // One run into samples of `frameSize` bytes (the graph's); null (and
    // *error) when it cannot be opened. Opened on the thread that runs the
    // filter, so that a source that paces itself by its reader knows of the
    // run from then on.
    virtual std::unique_ptr<DvStream> openRun(std::size_t frameSize, std::string* error) = 0;

    // --- The filters made of it, for its removal ---
    void addFilter(DvDeviceFilter* filter);
    // Waits for a round of notifyGraphs that is calling out.
    void removeFilter(DvDeviceFilter* filter);
    // EC_DEVICE_LOST (param2 `available`) once in every graph holding a
    // filter of the device. The filters are picked under the lock and told
    // with none held.
    void notifyGraphs(LONG available);

private:
    std::mutex filtersMutex_;
    std::condition_variable notified_; // a round of notifyGraphs is over
    bool notifying_ = false;
    std::vector<DvDeviceFilter*> filters_;
};

} // namespace th::dv
