#pragma once
// One virtual camcorder: its tape, its deck, the tape clock, its presence and
// the filters made of it. The filters' interfaces and streaming threads all come
// here; one mutex guards the deck and the clock, and nothing here calls out of
// the camcorder while holding it, except the event sink of a graph (which never
// waits). Internal to th_dv. No Qt.

#include "platform/dshow/ExtInterfaces.h"
#include "platform/dv/DvSource.h"
#include "platform/dv/DvTape.h"
#include "platform/dv/TapeTransport.h"
#include "platform/dv/VirtualCamcorder.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

namespace th::dv {

class DvDeviceFilter;

// Tape time: ticks of one frame period, running at the speed factor times real
// time. `held` is tape time lost while the pace-setting filter was late (the
// tape waited for it).
class TapeClock {
public:
    using Clock = std::chrono::steady_clock;

    TapeClock(double framesPerSecond, double speed);
    // Ticks since the camcorder was made, before `held` is taken off.
    std::int64_t raw(Clock::time_point now) const;
    // When raw() reaches `tick`.
    Clock::time_point when(std::int64_t tick) const;
    // A new speed from `now` on, without a jump in the count.
    void setSpeed(double speed, Clock::time_point now);
    double speed() const { return speed_; }
    // The speed at which the tape runs without a pace-setting filter.
    double effectiveSpeed() const;

private:
    double framesPerSecond_;
    double speed_;
    Clock::time_point origin_;
    std::int64_t base_ = 0;
    long double ticksPerNs_;
};

class Camcorder : public std::enable_shared_from_this<Camcorder>, public DvSource {
public:
    static std::shared_ptr<Camcorder> make(std::shared_ptr<DvTape> tape, DeviceKind kind, double speed,
                                           std::int64_t blankFrames);
    ~Camcorder();
    Camcorder(const Camcorder&) = delete;
    Camcorder& operator=(const Camcorder&) = delete;

    // --- Presence (the enumerator entry, events and messages) ---
    bool plug();
    bool unplug();
    bool present() const override { return present_.load(); }
    bool setSpeed(double speed);

    const DvTape& tape() const { return *tape_; }
    DeviceKind kind() const { return kind_; }
    std::size_t frameSize() const override { return tape_->frameSize(); }
    REFERENCE_TIME framePeriod() const override;
    DVINFO dvInfo() const override { return tape_->dvInfo(); }

    // --- What the filter's interfaces do ---
    HRESULT deviceType(LONG* value) override;
    HRESULT putMode(LONG mode) override;
    HRESULT getMode(LONG* mode) override;
    HRESULT inputSignal(LONG* value) override;
    HRESULT rawCommand(BYTE* command, LONG length) override;
    HRESULT timecode(DWORD* bcd) override;
    std::unique_ptr<DvStream> openRun(std::size_t frameSize, std::string* error) override;

    // --- Streaming ---
    // One streaming run of a filter. Made and used on its streaming thread.
    // It tells what passes the head, tick by tick, and counts nothing: a
    // late call finds the frames that went by meanwhile (whoever else moved
    // the deck or asked it where it is) and reports them as Missed before the
    // frame it delivers.
    class Stream final : public DvStream {
    public:
        explicit Stream(std::shared_ptr<Camcorder> camcorder);
        ~Stream() override;
        Stream(const Stream&) = delete;
        Stream& operator=(const Stream&) = delete;

        // Waits for what comes next; Stop when the run is to end. A frame is
        // read into `into`; with an empty span it goes by unread (the caller
        // had no buffer for it). A frame that cannot be read, or is of the
        // other television system, comes as Missed.
        DvFrame next(std::span<std::uint8_t> into) override;
        void wake() override;
        // Faster than real time the tape waits for this run (the caller then
        // waits for a buffer rather than letting a frame go by).
        bool lossless() const override { return lossless_; }

    private:
        void idle(std::unique_lock<std::mutex>& lock);
        void waitUntil(std::unique_lock<std::mutex>& lock, TapeClock::Clock::time_point deadline);
        // Finds the next frame's tick; false when the run is to end.
        bool findFrame(std::unique_lock<std::mutex>& lock);

        std::shared_ptr<Camcorder> cam_;
        std::atomic<bool> stop_{false};
        bool lossless_;
        std::int64_t runTick_ = 0;
        std::int64_t next_ = 0;     // the tick to deliver next
        std::int64_t shown_ = 0;    // the tick of the last frame found (runTick_ - 1 before the first)
        std::int64_t passedSeen_ = 0; // the deck's passed() count of frames this run has accounted for
        bool resync_ = false;
        std::uint64_t seenVersion_ = 0;
        // Hands out the frame shown at `tick`, after `missed` frames that went by.
        void show(std::int64_t tick, std::int64_t missed);
        // What findFrame found and next() hands out in turn: missed frames,
        // then idle periods, then the frame itself.
        std::int64_t pendingMissed_ = 0;
        std::int64_t pendingIdle_ = 0;
        bool pendingFrame_ = false;
        std::int64_t frameIndex_ = 0;
        bool frameLive_ = false;
    };

    // Wakes every stream so that it sees a stop request.
    void wakeStreams();

private:
    Camcorder(std::shared_ptr<DvTape> tape, DeviceKind kind, double speed, std::int64_t blankFrames);

    using TimePoint = TapeClock::Clock::time_point;
    std::int64_t tapeTick(TimePoint now) const;
    // The tick at which a command given now takes effect.
    std::int64_t commandTick(TimePoint now) const;
    void sync(TimePoint now);
    // The pace-setting stream lets the tape run free again, without a jump.
    void ungate(TimePoint now);
    void changed();

    std::shared_ptr<DvTape> tape_;
    const DeviceKind kind_;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    TapeClock clock_;
    TapeTransport transport_;
    std::int64_t held_ = 0;
    bool gated_ = false;          // the tape waits at gate_ for the pace-setting stream
    std::int64_t gate_ = 0;
    // A gate set before any stream joined lifts by itself then.
    std::optional<TimePoint> gateExpires_;
    const Stream* pacer_ = nullptr;
    // The last tick a stream has shown: a command comes into force no earlier
    // than the tick after it, so the frame it finds is the next one sent.
    std::int64_t lastShown_ = -1;
    std::uint64_t version_ = 0;   // every change of mode, presence and speed
    std::int64_t cachedIndex_ = -1; // the last frame whose time code was read
    std::int64_t cachedTimecode_ = -1;

    std::atomic<bool> present_{false};
    std::mutex presenceMutex_; // serialises plug and unplug
    std::uint64_t deviceHandle_ = 0;
};

} // namespace th::dv
