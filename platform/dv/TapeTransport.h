#pragma once
// The tape deck of the virtual camcorder: where the head is and how the tape
// moves in each transport mode, counted in ticks of tape time (one tick is one
// frame period at the tape's frame rate). No clock and no threads here: the
// caller says which tick it is, so the state machine can be driven exactly.
//
// The tape is `length` frames long; the first `recorded` of them hold the
// recording, the rest is blank (no frames, no time code). A mode change at tick
// t takes effect at t: the frame at the head at t is the one the command found,
// and a moving mode has moved one step by t + 1. The tape stops by itself
// (mode STOP) when a motion would take the head before the first frame or past
// the last one.
//
// Modes (the ED_MODE values) and their motion, in frames per tick:
//   PLAY +1, with frames; REV_PLAY -1, with frames;
//   PLAY_FASTEST_FWD +10 / PLAY_FASTEST_REV -10, with frames (shuttle search);
//   PLAY_SLOWEST_FWD +1/5 / PLAY_SLOWEST_REV -1/5, with frames (each shown 5 times);
//   FF and WIND +30, REW -30, REW_FASTEST -60, without frames;
//   FREEZE 0, the still frame repeated; STOP 0, nothing.
// A search (the absolute track number seek) winds as FF or REW does and stops
// on its frame.
// STEP_FWD and STEP_REV move the head one frame and leave the deck frozen there
// (get_Mode then reports FREEZE); THAW resumes play from a freeze and does
// nothing otherwise. The record modes are refused: the cassette's record
// protection is set, as the tape is a file the camcorder only plays.
//
// A deck that starts playing from a mode without pictures (stopped, winding,
// after a search) shows its first frame only once its servo has locked, some
// ticks later (the lock time, 0 unless set); the head waits for the lock. And
// the frames that passed the head are held for a while, as a receive buffer
// holds them, so that a reader that comes back late still gets them. No Qt.

#include "platform/dv/DifLayout.h"
#include "platform/dv/DifPacks.h"

#include <array>
#include <cstdint>
#include <optional>

#ifndef TH_DV_API
#define TH_DV_API __attribute__((visibility("default")))
#endif

namespace th::dv {

enum class ModeResult { Done = 0, WriteProtected, Unknown };

class TH_DV_API TapeTransport {
public:
    // The deck starts stopped at the first frame, at tick `tick`.
    TapeTransport(std::int64_t recorded, std::int64_t length, std::int64_t tick = 0, std::int64_t lockTicks = 0);

    // A frame that passed the head: its number in the count of passed frames,
    // the tick it was at the head, and where it lies on the tape.
    struct Passed {
        std::int64_t ordinal = 0;
        std::int64_t tick = 0;
        std::int64_t frame = 0;
    };
    // How many passed frames are held.
    static constexpr std::size_t kHeldFrames = 32;

    // Moves the tape on to `tick`. Earlier ticks than the last one are ignored.
    void advanceTo(std::int64_t tick);
    // Changes the mode at `tick` (after advancing to it).
    ModeResult setMode(long mode, std::int64_t tick);
    // Puts the head on `frame` (clamped to the tape) and stops there.
    void locate(std::int64_t frame, std::int64_t tick);
    // Winds from `tick` on towards `frame` (clamped to the tape) at the speed
    // of FF or REW, which the deck reports meanwhile, and stops there. Any
    // mode set before it gets there ends the search where the head is.
    void search(std::int64_t frame, std::int64_t tick);
    bool searching() const { return target_ >= 0; }

    // The state at the last tick advanced to.
    long mode() const { return mode_; }
    std::int64_t head() const { return head_; }
    std::int64_t recorded() const { return recorded_; }
    std::int64_t length() const { return length_; }
    std::int64_t tick() const { return lastTick_; }
    // Ticks gone by with a frame at the head (a picture mode on the
    // recording), counted as the tape moves past them; the state at tick()
    // counts once the tape moves on.
    std::int64_t passed() const { return passed_; }
    // The head is on the recording (not on blank tape).
    bool onRecording() const { return head_ >= 0 && head_ < recorded_; }
    // The mode shows pictures (play modes and freeze).
    bool framesMode() const;
    // A frame is delivered at this tick: a picture mode with the head on the
    // recording, the servo locked.
    bool delivers() const { return framesMode() && onRecording() && !locking(); }
    // Play has begun and the first frame is still to come.
    bool locking() const { return lastTick_ < lockUntil_; }
    // The tick of the first frame after a lock.
    std::int64_t lockEnd() const { return lockUntil_; }
    // The held frame whose ordinal is `ordinal`, or the oldest held one after
    // it when it is no longer held; nothing when no frame from `ordinal` on
    // has passed yet.
    std::optional<Passed> heldFrom(std::int64_t ordinal) const;

    // True for every mode value the deck knows (accepted or refused).
    static bool isKnownMode(long mode);

private:
    struct Motion {
        int num = 0; // frames per `den` ticks, signed
        int den = 1;
    };
    static Motion motionOf(long mode);
    void rebase(std::int64_t tick);
    void hold(std::int64_t tick);

    std::int64_t recorded_;
    std::int64_t length_;
    long mode_;
    std::int64_t base_ = 0;     // the head at modeTick_
    std::int64_t modeTick_;
    std::int64_t head_ = 0;
    std::int64_t lastTick_;
    std::int64_t passed_ = 0;
    std::int64_t target_ = -1; // where a search stops
    std::int64_t lockTicks_;
    std::int64_t lockUntil_ = 0;
    std::array<Passed, kHeldFrames> held_{};
};

// The frame (counted from the start of the tape) that an absolute track number
// names. The capture engine turns a time code TC into a track number for the
// frame after TC: on 625/50 ((minutes × 60 + s) × 25 + f + 1) × 24, on 525/60
// 20 × ((minutes × 60 + s) × 30 + f + 1) − 36 × minutes; the deck lands on TC
// itself, so that on a tape whose time code runs on from 00:00:00:00 the code
// read after the seek is TC. On 525/60 the time code counts drop-frame: a
// number the counting skips (frames 00 and 01 of a minute not divisible by
// ten) lands on the next frame that exists. Numbers the arithmetic cannot give
// land on the nearest frame below.
TH_DV_API std::int64_t frameOfTrackNumber(dif::System system, std::uint32_t track);
// The time code that the track number was made from (the frame after it, as
// above, taken back by one); no value for a number that the arithmetic cannot
// give.
TH_DV_API std::optional<dif::Timecode> timecodeOfTrackNumber(dif::System system, std::uint32_t track);

} // namespace th::dv
