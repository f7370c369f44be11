#pragma once
// What a DV device's stream hands the device filter's output pin, one item at
// a time: a frame, frame periods in which a frame passed the head and was not
// delivered (with the reason), frame periods without any frame (blank tape, a
// stopped or winding deck), or the end of the run. The pin keeps the run's
// ledger from these items alone; a stream counts nothing itself. And what the
// device filter's interfaces ask of a device, whichever it is. No Qt.

#include "platform/com/Com.h"

#include <chrono>
#include <cstdint>
#include <span>

namespace th::dv {

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

struct DvFrame {
    enum Kind { Frame, Missed, Idle, Stop };
    Kind kind = Stop;
    // Frame: 1 (the frame was read into the caller's buffer, when it gave one).
    // Missed: the frames that went by undelivered, one period each.
    // Idle: periods without a frame.
    std::int64_t periods = 0;
    DropReason why = DropReason::None; // for Missed
};

// One run of a device's frames, on the pin's streaming thread: the virtual
// camcorder's tape (Camcorder::Stream) or a camcorder on the FireWire bus.
class DvStream {
public:
    virtual ~DvStream() = default;
    // What comes next; Stop when the run is to end. A frame is read into
    // `into`; with an empty span it goes by unread (no buffer for it).
    virtual DvFrame next(std::span<std::uint8_t> into) = 0;
    // Waits up to `timeout` or until the run is to end.
    virtual void pause(std::chrono::microseconds timeout) = 0;
    // Faster than real time the source waits for this run's buffers.
    virtual bool lossless() const = 0;
};

// What the device filter's IAMExtDevice, IAMExtTransport and
// IAMTimecodeReader ask of a device: the virtual camcorder (Camcorder) or a
// camcorder on the FireWire bus (Ieee1394Device).
class DvControl {
public:
    virtual ~DvControl() = default;
    virtual HRESULT deviceType(LONG* value) = 0;
    virtual HRESULT putMode(LONG mode) = 0;
    virtual HRESULT getMode(LONG* mode) = 0;
    virtual HRESULT inputSignal(LONG* value) = 0;
    // An AV/C command of `length` bytes, answered in place (byte 0: response code).
    virtual HRESULT rawCommand(BYTE* command, LONG length) = 0;
    virtual HRESULT timecode(DWORD* bcd) = 0;
};

} // namespace th::dv
