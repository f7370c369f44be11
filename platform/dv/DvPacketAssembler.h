#pragma once
// DV frames from the isochronous packets of an IEC 61883-2 stream, with every
// frame that went by and was not received accounted for in its place.
//
// Each packet is a CIP header of two quadlets (byte 3: DBC, which counts data
// packets modulo 256) and, in a data packet, six DIF blocks. A frame starts
// with the header block of DIF sequence 0; each packet's place in the frame
// comes from the ID of its first block, so a frame is complete when all of
// its 300 (625/50) or 250 (525/60) packets came. Frames are placed on the
// bus clock: slot n is the frame period that begins n periods after the
// first packet received, so a frame keeps its slot whatever went missing
// before it.
//
// What went missing is told apart from what was never sent: a jump of the DBC,
// or cycles without any packet while data was flowing, are losses, and every
// frame period they covered is counted; periods in which the camcorder sent
// only empty packets (a stopped deck) are not. A frame with packets missing
// is counted as incomplete. No threads, no I/O.

#include "platform/dv/DifLayout.h"

#include <cstdint>
#include <functional>
#include <vector>

namespace th::dv {

enum class FrameLoss {
    Bus,         // packets lost on the bus
    Overrun,     // the receive buffer was full
    Incomplete,  // a frame with packets missing
    OtherSignal, // a frame of the other television system
    Late,        // assembled, but the reader was held up too long to take it
};

class DvPacketAssembler {
public:
    // A complete frame (valid during the call) in frame period `slot`.
    using FrameSink = std::function<void(const std::uint8_t* frame, std::size_t size, std::int64_t slot)>;
    // `count` frame periods from `slot` on whose frames were lost.
    using LossSink = std::function<void(std::int64_t slot, std::int64_t count, FrameLoss why)>;

    DvPacketAssembler(FrameSink frames, LossSink losses);

    // One received packet: its payload (CIP header first) and its cycle (0..7999).
    // `extraSeconds` whole seconds are known to have passed before it beyond
    // what the cycle number shows (a gap longer than the cycle count wraps).
    void packet(const std::uint8_t* data, std::size_t length, unsigned cycle, unsigned extraSeconds = 0);
    // The stream ends: a frame still in progress is incomplete.
    void finish();

    dif::System system() const { return system_; }
    std::int64_t framesDelivered() const { return delivered_; }
    std::int64_t framesLost() const { return lost_; }

private:
    void lose(std::int64_t slot, std::int64_t count, FrameLoss why);
    void closeFrame();
    void startFrame(std::int64_t cycle, dif::System system);
    double cyclesPerFrame() const;

    FrameSink frames_;
    LossSink losses_;

    bool started_ = false;
    std::int64_t baseCycle_ = 0;  // linear cycle of the first packet: slot 0 begins there
    std::int64_t lastCycle_ = 0;  // linear cycle of the last packet
    std::uint8_t lastDbc_ = 0;
    bool lastWasData_ = false;
    bool lossPending_ = false;    // a loss since the last frame started
    FrameLoss lossWhy_ = FrameLoss::Bus;

    dif::System system_ = dif::System::None;
    bool inFrame_ = false;
    std::int64_t frameCycle_ = 0;
    std::int64_t frameSlot_ = -1;
    dif::System frameSystem_ = dif::System::None;
    int frameLastIndex_ = -1;
    int received_ = 0;
    std::vector<bool> have_;
    std::vector<std::uint8_t> buffer_;
    std::int64_t delivered_ = 0;
    std::int64_t lost_ = 0;
};

} // namespace th::dv
