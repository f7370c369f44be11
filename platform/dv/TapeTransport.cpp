#include "platform/dv/TapeTransport.h"

#include "platform/dshow/ExtInterfaces.h"

#include <algorithm>
#include <cstdlib>

namespace th::dv {

TapeTransport::TapeTransport(std::int64_t recorded, std::int64_t length, std::int64_t tick, std::int64_t lockTicks)
    : recorded_(std::max<std::int64_t>(recorded, 0)),
      length_(std::max<std::int64_t>({length, recorded, 1})),
      mode_(ED_MODE_STOP),
      modeTick_(tick),
      lastTick_(tick),
      lockTicks_(std::max<std::int64_t>(lockTicks, 0)),
      lockUntil_(tick)
{
}

void TapeTransport::hold(std::int64_t tick)
{
    held_[static_cast<std::size_t>(passed_) % kHeldFrames] = Passed{passed_, tick, head_};
    ++passed_;
}

std::optional<TapeTransport::Passed> TapeTransport::heldFrom(std::int64_t ordinal) const
{
    if (ordinal >= passed_)
        return std::nullopt;
    const std::int64_t oldest = std::max<std::int64_t>(passed_ - static_cast<std::int64_t>(kHeldFrames), 0);
    const std::int64_t wanted = std::max(ordinal, oldest);
    return held_[static_cast<std::size_t>(wanted) % kHeldFrames];
}

TapeTransport::Motion TapeTransport::motionOf(long mode)
{
    switch (mode) {
    case ED_MODE_PLAY: return {1, 1};
    case ED_MODE_REV_PLAY: return {-1, 1};
    case ED_MODE_PLAY_FASTEST_FWD: return {10, 1};
    case ED_MODE_PLAY_FASTEST_REV: return {-10, 1};
    case ED_MODE_PLAY_SLOWEST_FWD: return {1, 5};
    case ED_MODE_PLAY_SLOWEST_REV: return {-1, 5};
    case ED_MODE_FF:
    case ED_MODE_WIND: return {30, 1};
    case ED_MODE_REW: return {-30, 1};
    case ED_MODE_REW_FASTEST: return {-60, 1};
    default: return {0, 1};
    }
}

bool TapeTransport::isKnownMode(long mode)
{
    switch (mode) {
    case ED_MODE_PLAY:
    case ED_MODE_STOP:
    case ED_MODE_FREEZE:
    case ED_MODE_THAW:
    case ED_MODE_FF:
    case ED_MODE_REW:
    case ED_MODE_RECORD:
    case ED_MODE_RECORD_STROBE:
    case ED_MODE_STEP_FWD:
    case ED_MODE_RECORD_FREEZE:
    case ED_MODE_STEP_REV:
    case ED_MODE_PLAY_FASTEST_FWD:
    case ED_MODE_PLAY_SLOWEST_FWD:
    case ED_MODE_PLAY_FASTEST_REV:
    case ED_MODE_PLAY_SLOWEST_REV:
    case ED_MODE_WIND:
    case ED_MODE_REW_FASTEST:
    case ED_MODE_REV_PLAY: return true;
    default: return false;
    }
}

bool TapeTransport::framesMode() const
{
    switch (mode_) {
    case ED_MODE_PLAY:
    case ED_MODE_REV_PLAY:
    case ED_MODE_PLAY_FASTEST_FWD:
    case ED_MODE_PLAY_FASTEST_REV:
    case ED_MODE_PLAY_SLOWEST_FWD:
    case ED_MODE_PLAY_SLOWEST_REV:
    case ED_MODE_FREEZE: return true;
    default: return false;
    }
}

void TapeTransport::advanceTo(std::int64_t tick)
{
    if (tick <= lastTick_)
        return;
    const Motion m = motionOf(mode_);
    if (target_ >= 0) {
        // Winding shows nothing, so only the arrival matters: the tick by
        // which the head has covered the distance.
        const std::int64_t speed = std::abs(m.num);
        const std::int64_t arrival = modeTick_ + (std::abs(target_ - base_) + speed - 1) / speed;
        if (tick < arrival) {
            head_ = base_ + m.num * (tick - modeTick_);
            lastTick_ = tick;
            return;
        }
        head_ = base_ = target_;
        target_ = -1;
        mode_ = ED_MODE_STOP;
        modeTick_ = arrival;
        lastTick_ = tick;
        return;
    }
    if (m.num == 0) {
        // The state of each tick counts once the tape has moved past it; a
        // still frame passes once per tick, and only the last are held.
        if (delivers()) {
            const std::int64_t from = std::max<std::int64_t>(lastTick_, tick - static_cast<std::int64_t>(kHeldFrames));
            passed_ += from - lastTick_;
            for (std::int64_t t = from; t < tick; ++t)
                hold(t);
        }
        lastTick_ = tick;
        return;
    }
    const bool frames = framesMode();
    for (std::int64_t t = lastTick_; t < tick; ++t) {
        // Truncation towards zero: a slow reverse waits its five ticks as the
        // forward one does.
        // Before the lock the head waits where play began.
        const std::int64_t moved = std::max<std::int64_t>(t + 1 - modeTick_, 0);
        const std::int64_t head = base_ + static_cast<std::int64_t>(m.num) * moved / m.den;
        if (frames && onRecording() && t >= lockUntil_)
            hold(t);
        lastTick_ = t + 1;
        if (head < 0 || head > length_ - 1) {
            head_ = head < 0 ? 0 : length_ - 1;
            mode_ = ED_MODE_STOP;
            rebase(lastTick_);
            if (tick > lastTick_)
                lastTick_ = tick; // stopped: no frames for the rest
            return;
        }
        head_ = head;
        if (!frames && t + 1 < tick) {
            // Winding shows nothing: straight to the end of the move.
            const std::int64_t end = base_ + static_cast<std::int64_t>(m.num) * (tick - modeTick_) / m.den;
            if (end >= 0 && end <= length_ - 1) {
                head_ = end;
                lastTick_ = tick;
                return;
            }
        }
    }
}

void TapeTransport::rebase(std::int64_t tick)
{
    base_ = head_;
    modeTick_ = std::max(tick, lastTick_);
    // Whatever the deck does next, it no longer waits for a lock.
    lockUntil_ = std::min(lockUntil_, modeTick_);
}

ModeResult TapeTransport::setMode(long mode, std::int64_t tick)
{
    if (!isKnownMode(mode))
        return ModeResult::Unknown;
    if (mode == ED_MODE_RECORD || mode == ED_MODE_RECORD_FREEZE || mode == ED_MODE_RECORD_STROBE)
        return ModeResult::WriteProtected;
    advanceTo(tick);
    target_ = -1;
    const bool fromPictures = framesMode();
    switch (mode) {
    case ED_MODE_STEP_FWD:
        head_ = std::min(head_ + 1, length_ - 1);
        mode_ = ED_MODE_FREEZE;
        break;
    case ED_MODE_STEP_REV:
        head_ = std::max<std::int64_t>(head_ - 1, 0);
        mode_ = ED_MODE_FREEZE;
        break;
    case ED_MODE_THAW:
        if (mode_ == ED_MODE_FREEZE)
            mode_ = ED_MODE_PLAY;
        break;
    default: mode_ = mode; break;
    }
    rebase(tick);
    if (mode == ED_MODE_PLAY && !fromPictures && lockTicks_ > 0) {
        modeTick_ += lockTicks_;
        lockUntil_ = modeTick_;
    }
    return ModeResult::Done;
}

void TapeTransport::locate(std::int64_t frame, std::int64_t tick)
{
    advanceTo(tick);
    target_ = -1;
    head_ = std::clamp<std::int64_t>(frame, 0, length_ - 1);
    mode_ = ED_MODE_STOP;
    rebase(tick);
}

void TapeTransport::search(std::int64_t frame, std::int64_t tick)
{
    advanceTo(tick);
    const std::int64_t target = std::clamp<std::int64_t>(frame, 0, length_ - 1);
    if (target == head_) {
        mode_ = ED_MODE_STOP;
        target_ = -1;
    } else {
        mode_ = target > head_ ? ED_MODE_FF : ED_MODE_REW;
        target_ = target;
    }
    rebase(tick);
}

// --- Absolute track numbers -----------------------------------------------------------

namespace {

constexpr int kTracksPerFramePal = 24;
constexpr int kTracksPerFrameNtsc = 20;
constexpr int kMinutesPerDay = 24 * 60;
constexpr int kNominalFramesPerMinute = 30 * 60;

dif::Timecode ntscLabel(std::int64_t minutes, std::int64_t rest)
{
    dif::Timecode tc;
    tc.hours = static_cast<int>(minutes / 60);
    tc.minutes = static_cast<int>(minutes % 60);
    tc.seconds = static_cast<int>(rest / 30);
    tc.frames = static_cast<int>(rest % 30);
    tc.dropFrame = true;
    return tc;
}

} // namespace

std::optional<dif::Timecode> timecodeOfTrackNumber(dif::System system, std::uint32_t track)
{
    if (system == dif::System::Pal625_50) {
        if (track < kTracksPerFramePal || track % kTracksPerFramePal != 0)
            return std::nullopt;
        return dif::timecodeFromFrameCount(system, track / kTracksPerFramePal - 1);
    }
    if (system != dif::System::Ntsc525_60)
        return std::nullopt;
    // track + 36 × minutes = 20 × (nominal frame count + 1), and the nominal
    // count lies within its minute: at most one number of minutes fits.
    for (std::int64_t minutes = 0; minutes < kMinutesPerDay; ++minutes) {
        const std::int64_t sum = static_cast<std::int64_t>(track) + 36 * minutes;
        if (sum % kTracksPerFrameNtsc != 0)
            continue;
        const std::int64_t rest = sum / kTracksPerFrameNtsc - 1 - minutes * kNominalFramesPerMinute;
        if (rest >= 0 && rest < kNominalFramesPerMinute)
            return ntscLabel(minutes, rest);
    }
    return std::nullopt;
}

std::int64_t frameOfTrackNumber(dif::System system, std::uint32_t track)
{
    if (system == dif::System::Pal625_50)
        return std::max<std::int64_t>(static_cast<std::int64_t>(track / kTracksPerFramePal) - 1, 0);
    if (system != dif::System::Ntsc525_60)
        return 0;
    dif::Timecode tc;
    if (const auto exact = timecodeOfTrackNumber(system, track)) {
        tc = *exact;
    } else {
        const std::int64_t nominal = std::max<std::int64_t>(track / kTracksPerFrameNtsc - 1, 0);
        tc = ntscLabel(nominal / kNominalFramesPerMinute, nominal % kNominalFramesPerMinute);
    }
    if (!dif::isValidTimecode(system, tc))
        tc.frames = 2; // the first frame number of a minute that drop-frame counting keeps
    return dif::frameCountFromTimecode(system, tc);
}

} // namespace th::dv
