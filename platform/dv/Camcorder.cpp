#include "platform/dv/Camcorder.h"

#include "platform/dshow/DeviceEnum.h"
#include "platform/dv/DifFrame.h"
#include "platform/dv/DvDeviceFilter.h"
#include "platform/riff/DvFormat.h"
#include "platform/win/Windows.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <utility>

namespace th::dv {

namespace {

// The tape speed when the graph sets the pace (speed 0): motions without a
// consumer of frames (winding, a deck nobody streams from) run this many times
// real time.
constexpr double kUnpacedSpeed = 1000.0;
// How long an idle stream sleeps before it looks at the deck again; changes
// of mode, presence and speed wake it at once.
constexpr auto kIdleWait = std::chrono::milliseconds(100);
// A deck that is away, or stopped and not seeking, changes only by something
// that wakes the stream: it looks again seldom, as every wake-up costs.
constexpr auto kStillWait = std::chrono::seconds(1);
constexpr auto kBlankSeconds = 10;
// A deck's servo takes a while to lock once play begins (0.4 s on 625/50):
// the first frame comes that much after Play.
constexpr std::int64_t kLockTicks = 10;
constexpr auto kReaderWait = std::chrono::seconds(2);

// AV/C response codes (byte 0 of the answer).
constexpr BYTE kAvcNotImplemented = 0x08;
constexpr BYTE kAvcAccepted = 0x09;
constexpr BYTE kAvcRejected = 0x0A;
constexpr BYTE kAvcInterim = 0x0F;

const char* kDevicePath = "\\\\?\\avc#tapeharvest_virtual_dv#1#{65e8773d-8f56-11d0-a3b9-00a0c9223196}";

HRESULT notConnected()
{
    return HRESULT_FROM_WIN32(kErrorDeviceNotConnected);
}

double framesPerSecond(dif::System system)
{
    const dif::FrameRate rate = dif::frameRate(system);
    return rate.den ? static_cast<double>(rate.num) / rate.den : 25.0;
}

} // namespace

// --- TapeClock --------------------------------------------------------------------------

TapeClock::TapeClock(double framesPerSecond, double speed)
    : framesPerSecond_(framesPerSecond), speed_(speed), origin_(Clock::now())
{
    ticksPerNs_ = static_cast<long double>(framesPerSecond_) * effectiveSpeed() / 1e9L;
}

double TapeClock::effectiveSpeed() const
{
    return speed_ > 0 ? speed_ : kUnpacedSpeed;
}

std::int64_t TapeClock::raw(Clock::time_point now) const
{
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(now - origin_).count();
    if (ns <= 0)
        return base_;
    return base_ + static_cast<std::int64_t>(std::floor(static_cast<long double>(ns) * ticksPerNs_));
}

TapeClock::Clock::time_point TapeClock::when(std::int64_t tick) const
{
    if (tick <= base_)
        return origin_;
    const long double ns = std::ceil(static_cast<long double>(tick - base_) / ticksPerNs_);
    // A microsecond more, so that raw() has surely reached the tick by then.
    return origin_ + std::chrono::nanoseconds(static_cast<std::int64_t>(ns) + 1000);
}

void TapeClock::setSpeed(double speed, Clock::time_point now)
{
    base_ = raw(now);
    origin_ = now;
    speed_ = speed;
    ticksPerNs_ = static_cast<long double>(framesPerSecond_) * effectiveSpeed() / 1e9L;
}

// --- Camcorder ----------------------------------------------------------------------------

std::shared_ptr<Camcorder> Camcorder::make(std::shared_ptr<DvTape> tape, DeviceKind kind, double speed,
                                           std::int64_t blankFrames)
{
    return std::shared_ptr<Camcorder>(new Camcorder(std::move(tape), kind, speed, blankFrames));
}

Camcorder::Camcorder(std::shared_ptr<DvTape> tape, DeviceKind kind, double speed, std::int64_t blankFrames)
    : tape_(std::move(tape)),
      kind_(kind),
      clock_(framesPerSecond(tape_->system()), speed),
      transport_(tape_->frameCount(),
                 tape_->frameCount()
                     + (blankFrames >= 0 ? blankFrames
                                         : kBlankSeconds * dif::timecodeFramesPerSecond(tape_->system())),
                 0, kLockTicks)
{
}

Camcorder::~Camcorder()
{
    if (deviceHandle_ != 0)
        th::dshow::RemoveDevice(deviceHandle_);
}

REFERENCE_TIME Camcorder::framePeriod() const
{
    return riff::dv::FramePeriod(tape_->system() == dif::System::Ntsc525_60);
}

// --- Presence -------------------------------------------------------------------------------

bool Camcorder::plug()
{
    std::lock_guard<std::mutex> presence(presenceMutex_);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (present_.load())
            return false;
        present_ = true;
        changed();
    }
    std::weak_ptr<Camcorder> weak = weak_from_this();
    deviceHandle_ = th::dshow::AddDevice(CLSID_VideoInputDeviceCategory, kCamcorderFriendlyName,
                                         [weak](REFIID riid, void** ppv) -> HRESULT {
                                             const auto cam = weak.lock();
                                             if (!cam || !cam->present())
                                                 return notConnected();
                                             return DvDeviceFilter::create(cam, riid, ppv);
                                         });
    // The return is told by the device arrival alone, as on the FireWire bus:
    // a component whose graph still holds a filter of the camcorder hears it
    // there too, and would hear of one arrival twice.
    th::win::BroadcastDeviceInterfaceChange(DBT_DEVICEARRIVAL, kCaptureInterfaceClass, kDevicePath);
    return true;
}

bool Camcorder::unplug()
{
    std::lock_guard<std::mutex> presence(presenceMutex_);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!present_.load())
            return false;
        present_ = false;
        ungate(TimePoint::clock::now());
        changed();
    }
    if (deviceHandle_ != 0)
        th::dshow::RemoveDevice(deviceHandle_);
    deviceHandle_ = 0;
    notifyGraphs(0);
    th::win::BroadcastDeviceInterfaceChange(DBT_DEVICEREMOVECOMPLETE, kCaptureInterfaceClass, kDevicePath);
    return true;
}

bool Camcorder::setSpeed(double speed)
{
    if (!(speed >= 0) || !std::isfinite(speed))
        return false;
    std::lock_guard<std::mutex> lock(mutex_);
    const TimePoint now = TimePoint::clock::now();
    sync(now);
    const std::int64_t tick = tapeTick(now);
    clock_.setSpeed(speed, now);
    held_ = clock_.raw(now) - tick;
    changed();
    return true;
}

// --- The deck -----------------------------------------------------------------------------

std::int64_t Camcorder::tapeTick(TimePoint now) const
{
    const std::int64_t free = clock_.raw(now) - held_;
    if (!gated_)
        return free;
    if (gateExpires_ && now >= *gateExpires_) {
        const std::int64_t lifted = clock_.raw(*gateExpires_);
        return std::min(lifted - held_, gate_) + clock_.raw(now) - lifted;
    }
    return std::min(free, gate_);
}

std::int64_t Camcorder::commandTick(TimePoint now) const
{
    return std::max(tapeTick(now), lastShown_ + 1);
}

void Camcorder::sync(TimePoint now)
{
    transport_.advanceTo(tapeTick(now));
}

void Camcorder::ungate(TimePoint now)
{
    if (!gated_)
        return;
    const std::int64_t tick = tapeTick(now);
    held_ = clock_.raw(now) - tick;
    gated_ = false;
    gateExpires_.reset();
}

void Camcorder::changed()
{
    ++version_;
    changed_.notify_all();
}

void Camcorder::wakeStreams()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
    }
    changed_.notify_all();
}

HRESULT Camcorder::deviceType(LONG* value)
{
    if (!present_.load())
        return notConnected();
    *value = kind_ == DeviceKind::Camera ? ED_DEVTYPE_CAMERA : ED_DEVTYPE_VCR;
    return S_OK;
}

HRESULT Camcorder::putMode(LONG mode)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!present_.load())
        return notConnected();
    if (kind_ == DeviceKind::Camera)
        return HRESULT_FROM_WIN32(kErrorNotSupported);
    const TimePoint now = TimePoint::clock::now();
    const std::int64_t tick = commandTick(now);
    switch (transport_.setMode(mode, tick)) {
    case ModeResult::Unknown: return E_INVALIDARG;
    case ModeResult::WriteProtected: return HRESULT_FROM_WIN32(kErrorWriteProtect);
    case ModeResult::Done: break;
    }
    if (pacer_) {
        if (transport_.framesMode()) {
            // The pace-setting stream shows the frame the command found first.
            held_ = clock_.raw(now) - tick;
            gated_ = true;
            gate_ = tick;
        } else {
            ungate(now);
        }
    } else if (transport_.locking() && (clock_.speed() == 0 || clock_.speed() > 1)) {
        // Faster than real time the tape waits for its reader, and a graph
        // runs after the deck was told to play: the first frame waits for it
        // at the end of the lock, for a while.
        held_ = clock_.raw(now) - tick;
        gated_ = true;
        gate_ = transport_.lockEnd();
        gateExpires_ = now + kReaderWait;
    }
    changed();
    return S_OK;
}

HRESULT Camcorder::getMode(LONG* mode)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!present_.load())
        return notConnected();
    if (kind_ == DeviceKind::Camera)
        return HRESULT_FROM_WIN32(kErrorNotSupported);
    sync(TimePoint::clock::now());
    *mode = transport_.mode();
    return S_OK;
}

HRESULT Camcorder::inputSignal(LONG* value)
{
    if (!present_.load())
        return notConnected();
    switch (tape_->signal()) {
    case Signal::Sd525_60: *value = ED_TRANSBASIC_SIGNAL_525_60_SD; break;
    case Signal::Sdl525_60: *value = ED_TRANSBASIC_SIGNAL_525_60_SDL; break;
    case Signal::Sd625_50: *value = ED_TRANSBASIC_SIGNAL_625_50_SD; break;
    case Signal::Sdl625_50: *value = ED_TRANSBASIC_SIGNAL_625_50_SDL; break;
    case Signal::None: return E_FAIL;
    }
    return S_OK;
}

HRESULT Camcorder::rawCommand(BYTE* command, LONG length)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!present_.load())
        return notConnected();
    // Absolute track number seek: CONTROL, tape recorder/player subunit 0,
    // opcode ABSOLUTE TRACK NUMBER, operand 20, the number in three bytes
    // (least significant first), FF.
    const bool atnSeek = kind_ == DeviceKind::Vcr && length == 8 && command[0] == 0x00 && command[1] == 0x20
                         && command[2] == 0x52 && command[3] == 0x20 && command[7] == 0xFF;
    if (!atnSeek) {
        if (length >= 1)
            command[0] = kAvcNotImplemented;
        return HRESULT_FROM_WIN32(kErrorNotSupported);
    }
    const std::uint32_t track = std::uint32_t(command[4]) | std::uint32_t(command[5]) << 8
                                | std::uint32_t(command[6]) << 16;
    const std::int64_t frame = frameOfTrackNumber(tape_->system(), track);
    // A deck does not know where its recording ends before it gets there: it
    // searches on to the end of the recording, stops, and only then answers
    // REJECTED, to a caller that has long had its INTERIM.
    const bool beyond = frame >= transport_.recorded();
    const TimePoint now = TimePoint::clock::now();
    // As a real deck does, it answers at once and winds to the frame
    // afterwards, at the speed of FF or REW; it stops there.
    transport_.search(beyond ? transport_.recorded() : frame, commandTick(now));
    ungate(now);
    changed();
    if (beyond && !transport_.searching()) {
        command[0] = kAvcRejected;
        return static_cast<HRESULT>(kErrorRequestAborted);
    }
    command[0] = transport_.searching() ? kAvcInterim : kAvcAccepted;
    return S_OK;
}

HRESULT Camcorder::timecode(DWORD* bcd)
{
    std::int64_t index;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!present_.load())
            return notConnected();
        if (kind_ == DeviceKind::Camera)
            return E_FAIL; // no tape at the head in camera mode
        sync(TimePoint::clock::now());
        if (!transport_.onRecording())
            return E_FAIL; // blank tape
        index = transport_.head();
        if (index == cachedIndex_) {
            if (cachedTimecode_ < 0)
                return E_FAIL;
            *bcd = static_cast<DWORD>(cachedTimecode_);
            return S_OK;
        }
    }
    std::vector<std::uint8_t> frame(tape_->frameSize());
    std::int64_t value = -1;
    if (tape_->readFrame(index, frame.data()) == DropReason::None)
        if (const auto tc = dif::readTimecode(frame.data(), frame.size()))
            value = dif::timecodeBcd(*tc);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        cachedIndex_ = index;
        cachedTimecode_ = value;
    }
    if (value < 0)
        return E_FAIL;
    *bcd = static_cast<DWORD>(value);
    return S_OK;
}

// --- Streams ------------------------------------------------------------------------------------

namespace {

// A live camera frame carries the current date and time as its recording date
// and time; the picture, sound and time code stay as the tape has them.
void stampNow(std::uint8_t* frame, std::size_t length)
{
    const dif::System system = dif::readSystem(frame, length);
    const auto audio = dif::readAudioFormat(frame, length);
    if (system == dif::System::None || !audio)
        return;
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    dif::FrameInfo info;
    info.system = system;
    info.timecode = dif::readTimecode(frame, length).value_or(dif::Timecode{});
    info.recorded = dif::RecDateTime{{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday},
                                     {local.tm_hour, local.tm_min, std::min(local.tm_sec, 59)}};
    info.audio = *audio;
    dif::writeFrameInfo(frame, length, info);
}

} // namespace

std::unique_ptr<DvStream> Camcorder::openRun(std::size_t, std::string*)
{
    // The tape always has the frames of its own system.
    return std::make_unique<Stream>(shared_from_this());
}

Camcorder::Stream::Stream(std::shared_ptr<Camcorder> camcorder) : cam_(std::move(camcorder))
{
    std::lock_guard<std::mutex> lock(cam_->mutex_);
    const double speed = cam_->clock_.speed();
    lossless_ = speed == 0 || speed > 1;
    if (lossless_ && !cam_->pacer_) {
        cam_->pacer_ = this;
        // The gate the deck set for a reader is this stream's now.
        if (cam_->gateExpires_) {
            if (TimePoint::clock::now() >= *cam_->gateExpires_)
                cam_->ungate(TimePoint::clock::now());
            cam_->gateExpires_.reset();
        }
    }
    runTick_ = next_ = cam_->tapeTick(TimePoint::clock::now());
    shown_ = runTick_ - 1;
    cam_->transport_.advanceTo(runTick_);
    passedSeen_ = cam_->transport_.passed();
    seenVersion_ = cam_->version_;
}

Camcorder::Stream::~Stream()
{
    std::lock_guard<std::mutex> lock(cam_->mutex_);
    if (cam_->pacer_ == this) {
        cam_->ungate(TimePoint::clock::now());
        cam_->pacer_ = nullptr;
    }
}

void Camcorder::Stream::idle(std::unique_lock<std::mutex>& lock)
{
    seenVersion_ = cam_->version_;
    const bool still = !cam_->present_.load() ||
                       (cam_->transport_.mode() == ED_MODE_STOP && !cam_->transport_.searching());
    cam_->changed_.wait_for(lock, still ? kStillWait : kIdleWait,
                            [&] { return stop_.load() || cam_->version_ != seenVersion_; });
}

void Camcorder::Stream::waitUntil(std::unique_lock<std::mutex>& lock, TimePoint deadline)
{
    seenVersion_ = cam_->version_;
    cam_->changed_.wait_until(lock, deadline, [&] { return stop_.load() || cam_->version_ != seenVersion_; });
}

void Camcorder::Stream::wake()
{
    stop_ = true;
    cam_->wakeStreams();
}

DvFrame Camcorder::Stream::next(std::span<std::uint8_t> into)
{
    std::int64_t index = 0;
    bool live = false;
    {
        std::unique_lock<std::mutex> lock(cam_->mutex_);
        if (!pendingFrame_ && !findFrame(lock))
            return DvFrame{DvFrame::Stop, 0, DropReason::None};
        if (pendingMissed_ > 0) {
            const std::int64_t n = std::exchange(pendingMissed_, 0);
            return DvFrame{DvFrame::Missed, n, DropReason::Late};
        }
        if (pendingIdle_ > 0) {
            const std::int64_t n = std::exchange(pendingIdle_, 0);
            return DvFrame{DvFrame::Idle, n, DropReason::None};
        }
        pendingFrame_ = false;
        index = frameIndex_;
        live = frameLive_;
    }
    if (into.empty())
        return DvFrame{DvFrame::Frame, 1, DropReason::None};
    const DvTape& tape = cam_->tape();
    if (into.size() < tape.frameSize())
        return DvFrame{DvFrame::Missed, 1, DropReason::NoBuffer};
    const DropReason bad = tape.readFrame(index, into.data());
    if (bad != DropReason::None)
        return DvFrame{DvFrame::Missed, 1, bad};
    if (live)
        stampNow(into.data(), tape.frameSize());
    return DvFrame{DvFrame::Frame, 1, DropReason::None};
}

bool Camcorder::Stream::findFrame(std::unique_lock<std::mutex>& lock)
{
    Camcorder& c = *cam_;
    std::int64_t skipped = 0; // camera frames that went by
    for (;;) {
        if (stop_.load())
            return false;
        const TimePoint now = TimePoint::clock::now();
        if (lossless_ && !c.pacer_)
            c.pacer_ = this; // the pace-setter of an earlier run has gone
        const bool pacer = c.pacer_ == this;
        if (!c.present_.load()) {
            if (pacer)
                c.ungate(now);
            idle(lock);
            resync_ = true;
            continue;
        }
        if (resync_) {
            next_ = std::max(next_, c.tapeTick(now));
            resync_ = false;
        }
        // At real time the frames that passed while this run was away are
        // still held, as a receive buffer holds them: they come first.
        if (c.kind_ == DeviceKind::Vcr && !lossless_) {
            c.transport_.advanceTo(c.tapeTick(now));
            if (const auto held = c.transport_.heldFrom(passedSeen_)) {
                const std::int64_t missed = held->ordinal - passedSeen_;
                passedSeen_ = held->ordinal + 1;
                frameIndex_ = held->frame;
                frameLive_ = false;
                show(held->tick, missed);
                return true;
            }
        }
        // The deck may have moved on without this run (a command, a query):
        // it shows the frame at the head now, and the frames that went by
        // meanwhile are in the deck's count of passed frames.
        if (c.kind_ == DeviceKind::Vcr)
            next_ = std::max(next_, c.transport_.tick());
        const std::int64_t free = c.clock_.raw(now) - c.held_;
        if (lossless_ && pacer) {
            if (free < next_) {
                waitUntil(lock, c.clock_.when(next_ + c.held_));
                continue;
            }
            // Late: the tape waited for us.
            c.held_ += free - next_;
            c.gated_ = true;
            c.gate_ = next_;
        } else {
            const std::int64_t tick = c.tapeTick(now);
            if (tick < next_) {
                const TimePoint until = c.gated_ ? now + std::chrono::nanoseconds(c.framePeriod() * 100)
                                                 : c.clock_.when(next_ + c.held_);
                waitUntil(lock, until);
                continue;
            }
            skipped += tick - next_;
            next_ = tick;
        }

        std::int64_t missed = 0;
        if (c.kind_ == DeviceKind::Camera) {
            const std::int64_t recorded = std::max<std::int64_t>(c.transport_.recorded(), 1);
            frameIndex_ = ((next_ % recorded) + recorded) % recorded;
            frameLive_ = true;
            missed = skipped;
        } else {
            c.transport_.advanceTo(next_);
            if (!c.transport_.framesMode()) {
                if (pacer)
                    c.ungate(now);
                idle(lock);
                resync_ = true;
                continue;
            }
            if (c.transport_.locking()) {
                // No frame yet, and no time of the run either: the stream's
                // times begin with the deck's first frame.
                shown_ = next_++;
                continue;
            }
            if (!c.transport_.onRecording()) {
                ++next_; // blank tape passes the head: no frame
                continue;
            }
            frameIndex_ = c.transport_.head();
            frameLive_ = false;
            missed = std::max<std::int64_t>(c.transport_.passed() - passedSeen_, 0);
            // The frame shown now counts as passed once the deck moves on.
            passedSeen_ = c.transport_.passed() + 1;
        }
        show(next_, missed);
        return true;
    }
}

void Camcorder::Stream::show(std::int64_t tick, std::int64_t missed)
{
    pendingMissed_ = missed;
    pendingIdle_ = std::max<std::int64_t>(tick - shown_ - 1 - missed, 0);
    pendingFrame_ = true;
    shown_ = tick;
    next_ = std::max(next_, tick + 1);
    cam_->lastShown_ = std::max(cam_->lastShown_, tick);
}

} // namespace th::dv
