#include "platform/dv/Ieee1394Device.h"

#include "platform/dv/AvcTransaction.h"
#include "platform/dv/DifFrame.h"
#include "platform/dv/DvTape.h"
#include "platform/dv/FireWireWatch.h"
#include "platform/dv/TapeTransport.h"
#include "platform/riff/DvFormat.h"

#include <libavc1394/avc1394.h>
#include <libavc1394/rom1394.h>
#include <libiec61883/iec61883.h>
#include <libraw1394/raw1394.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <pthread.h>
#include <time.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace th::dv {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint16_t kBusNode = 0xffc0;
constexpr DWORD kErrorTimeout = 1460; // ERROR_TIMEOUT: the deck did not answer
// A deck answers a command at once, with INTERIM when it takes long (AV/C
// allows 100 ms); a search itself goes on in the deck.
constexpr auto kRawDeadline = std::chrono::seconds(5);
// The frames' own time code stands for the head while they are this fresh.
constexpr auto kFrameTimecodeFresh = std::chrono::milliseconds(250);
// How long the stream is listened to for its system when the deck does not say.
constexpr auto kListenForSystem = std::chrono::milliseconds(1500);
// Packets the receive buffer holds: one second of the bus.
constexpr unsigned kReceivePackets = 8000;
constexpr unsigned kMaxPacket = 488;
constexpr int kIrqInterval = 250;
// The packets of one pass arrived after the clock was read before it, give
// or take the packets waiting for an interrupt and a late transmitter; and
// before the clock read in it, give or take the time the pass takes.
constexpr std::int64_t kFloorSlack = 4000;
constexpr std::int64_t kCeilingSlack = 800;
// The receiving thread away from its loop this long may have lost packets
// to an overrun; the gap after them is measured on the bus clock for a while.
constexpr auto kAway = std::chrono::milliseconds(700);
constexpr auto kAwayEffect = std::chrono::seconds(3);
// A stream silent this long has the bus looked at again.
constexpr auto kSilence = std::chrono::seconds(2);
// The receiving thread reads the bus clock at least this often.
constexpr int kReceivePoll = 100; // ms

constexpr std::uint8_t kSubunitTape = 0x20;
constexpr std::uint8_t kOpPlay = 0xC3;
constexpr std::uint8_t kOpWind = 0xC4;

HRESULT notConnected()
{
    return HRESULT_FROM_WIN32(kErrorDeviceNotConnected);
}

struct ModeCommand {
    LONG mode;
    std::uint8_t opcode, operand;
};

// The AV/C command of every transport mode the deck is driven in.
constexpr ModeCommand kModes[] = {
    {ED_MODE_PLAY, kOpPlay, 0x75},
    {ED_MODE_STOP, kOpWind, 0x60},
    {ED_MODE_FREEZE, kOpPlay, 0x7D},
    {ED_MODE_THAW, kOpPlay, 0x75},
    {ED_MODE_FF, kOpWind, 0x75},
    {ED_MODE_WIND, kOpWind, 0x75},
    {ED_MODE_REW, kOpWind, 0x65},
    {ED_MODE_REW_FASTEST, kOpWind, 0x65},
    {ED_MODE_PLAY_FASTEST_FWD, kOpPlay, 0x3F},
    {ED_MODE_PLAY_FASTEST_REV, kOpPlay, 0x4F},
    {ED_MODE_PLAY_SLOWEST_FWD, kOpPlay, 0x31},
    {ED_MODE_PLAY_SLOWEST_REV, kOpPlay, 0x41},
    {ED_MODE_REV_PLAY, kOpPlay, 0x65},
    {ED_MODE_STEP_FWD, kOpPlay, 0x30},
    {ED_MODE_STEP_REV, kOpPlay, 0x40},
};

LONG modeOfState(std::uint8_t state, std::uint8_t mode)
{
    if (state == 0xC2)
        return ED_MODE_RECORD;
    if (state == kOpWind)
        return mode == 0x75 ? ED_MODE_FF : mode == 0x65 ? ED_MODE_REW : ED_MODE_STOP;
    if (state != kOpPlay)
        return ED_MODE_STOP;
    if (mode == 0x75)
        return ED_MODE_PLAY;
    if (mode >= 0x39 && mode <= 0x3F)
        return ED_MODE_PLAY_FASTEST_FWD;
    if (mode >= 0x49 && mode <= 0x4F)
        return ED_MODE_PLAY_FASTEST_REV;
    if (mode >= 0x31 && mode <= 0x38)
        return ED_MODE_PLAY_SLOWEST_FWD;
    if (mode >= 0x41 && mode <= 0x48)
        return ED_MODE_PLAY_SLOWEST_REV;
    if (mode == 0x65)
        return ED_MODE_REV_PLAY;
    return ED_MODE_FREEZE; // 7D, 6D, and the steps, which end frozen
}

DVINFO dvInfoOf(dif::System system)
{
    // The stream's description before any frame came: SD with 48 kHz sound,
    // as camcorders record by default.
    std::vector<std::uint8_t> frame(dif::frameSize(system), 0xFF);
    dif::FrameInfo info;
    info.system = system;
    info.audio.samples = system == dif::System::Pal625_50 ? 1920 : 1600;
    dif::writeFrameInfo(frame.data(), frame.size(), info);
    return dvInfoOfFrame(frame.data(), frame.size());
}

} // namespace

// --- Discovery ------------------------------------------------------------------------------

std::vector<FireWireCamcorder> findFireWireCamcorders()
{
    std::vector<FireWireCamcorder> found;
    raw1394handle_t h = raw1394_new_handle();
    if (!h)
        return found;
    raw1394_portinfo ports[4];
    if (raw1394_get_port_info(h, ports, 4) < 1 || raw1394_set_port(h, 0) != 0) {
        raw1394_destroy_handle(h);
        return found;
    }
    const int nodes = raw1394_get_nodecount(h);
    const int local = raw1394_get_local_id(h) & 0x3F;
    for (int n = 0; n < nodes; ++n) {
        if (n == local)
            continue;
        rom1394_directory dir{};
        if (rom1394_get_directory(h, static_cast<nodeid_t>(n), &dir) < 0)
            continue;
        if (rom1394_get_node_type(&dir) == ROM1394_NODE_TYPE_AVC) {
            const bool tape = avc1394_check_subunit_type(h, n, AVC1394_SUBUNIT_TYPE_VCR) == 1;
            const bool camera = avc1394_check_subunit_type(h, n, AVC1394_SUBUNIT_TYPE_VIDEO_CAMERA) == 1;
            if (tape || camera)
                found.push_back({n, rom1394_get_guid(h, static_cast<nodeid_t>(n)), dir.label ? dir.label : "",
                                 camera ? DeviceKind::Camera : DeviceKind::Vcr});
        }
        rom1394_free_directory(&dir);
    }
    raw1394_destroy_handle(h);
    return found;
}

// --- The device ----------------------------------------------------------------------------------

Ieee1394Device::Ieee1394Device(const FireWireCamcorder& camcorder) : camcorder_(camcorder) {}

Ieee1394Device::~Ieee1394Device() = default;

std::shared_ptr<Ieee1394Device> Ieee1394Device::open(const FireWireCamcorder& camcorder, std::string* error)
{
    std::shared_ptr<Ieee1394Device> device(new Ieee1394Device(camcorder));
    device->avc_ = std::make_unique<AvcUnit>(camcorder.guid, camcorder.node);
    if (!device->avc_->open()) {
        if (error)
            *error = std::string("the FireWire bus cannot be opened: ") + std::strerror(errno);
        return nullptr;
    }
    device->findSystem();
    return device;
}

void Ieee1394Device::findSystem()
{
    std::vector<std::uint8_t> answer;
    // OUTPUT SIGNAL MODE (SD or SDL, 525/60 or 625/50) belongs to the tape
    // subunit; some decks answer it at the unit.
    for (const std::uint8_t address : {kSubunitTape, std::uint8_t(0xFF)})
        if (SUCCEEDED(command({0x01, address, 0x78, 0xFF}, &answer)) && answer.size() >= 4) {
            longPlay_ = (answer[3] & 0x04) != 0;
            learnSystem((answer[3] & 0x80) ? dif::System::Pal625_50 : dif::System::Ntsc525_60);
            return;
        }
    // Neither: the stream says it. A deck that sends nothing while stopped
    // says it with its first frame.
    const dif::System heard = listenForSystem();
    if (heard != dif::System::None) {
        learnSystem(heard);
        return;
    }
    learnSystem(system());
    systemKnown_ = false;
    std::fprintf(stderr,
                 "TapeHarvest DV device: the camcorder does not tell which television system it sends; taken as "
                 "%s until its first frame arrives\n",
                 system() == dif::System::Pal625_50 ? "PAL (625/50)" : "NTSC (525/60)");
}

dif::System Ieee1394Device::listenForSystem()
{
    std::string error;
    const std::unique_ptr<Ieee1394Stream> stream = openStream(&error);
    return stream ? stream->waitForCip(kListenForSystem) : dif::System::None;
}

bool Ieee1394Device::learnSystem(dif::System system)
{
    if (system != dif::System::Pal625_50 && system != dif::System::Ntsc525_60)
        return false;
    std::lock_guard<std::mutex> lock(infoMutex_);
    const bool changed = system_.exchange(system) != system;
    if (changed || !dvInfoSet_)
        dvInfo_ = dvInfoOf(system);
    dvInfoSet_ = true;
    systemKnown_ = true;
    return changed;
}

REFERENCE_TIME Ieee1394Device::framePeriod() const
{
    return riff::dv::FramePeriod(system() == dif::System::Ntsc525_60);
}

DVINFO Ieee1394Device::dvInfo() const
{
    std::lock_guard<std::mutex> lock(infoMutex_);
    return dvInfo_;
}

HRESULT Ieee1394Device::command(std::initializer_list<std::uint8_t> bytes, std::vector<std::uint8_t>* answer,
                                std::chrono::milliseconds deadline)
{
    if (!present_.load())
        return notConnected();
    const std::vector<std::uint8_t> cmd(bytes);
    switch (avc_->transact(cmd.data(), cmd.size(), answer, deadline)) {
    case AvcUnit::Outcome::Gone: return notConnected();
    case AvcUnit::Outcome::NoAnswer: return HRESULT_FROM_WIN32(kErrorTimeout);
    case AvcUnit::Outcome::Answered: break;
    }
    switch ((*answer)[0]) {
    case kAvcAccepted:
    case kAvcStable: return S_OK;
    case kAvcNotImplemented: return HRESULT_FROM_WIN32(kErrorNotSupported);
    default: return E_FAIL; // REJECTED, or the deck is in transition
    }
}

HRESULT Ieee1394Device::deviceType(LONG* value)
{
    if (!present_.load())
        return notConnected();
    *value = camcorder_.kind == DeviceKind::Camera ? ED_DEVTYPE_CAMERA : ED_DEVTYPE_VCR;
    return S_OK;
}

HRESULT Ieee1394Device::putMode(LONG mode)
{
    if (!present_.load())
        return notConnected();
    if (camcorder_.kind == DeviceKind::Camera)
        return HRESULT_FROM_WIN32(kErrorNotSupported);
    if (mode == ED_MODE_RECORD || mode == ED_MODE_RECORD_FREEZE || mode == ED_MODE_RECORD_STROBE)
        return HRESULT_FROM_WIN32(kErrorNotSupported); // this program never records on a tape
    const auto it = std::find_if(std::begin(kModes), std::end(kModes), [&](const ModeCommand& m) { return m.mode == mode; });
    if (it == std::end(kModes))
        return E_INVALIDARG;
    std::vector<std::uint8_t> answer;
    const HRESULT hr = command({0x00, kSubunitTape, it->opcode, it->operand}, &answer);
    forgetFrameTimecode();
    return hr;
}

HRESULT Ieee1394Device::getMode(LONG* mode)
{
    if (camcorder_.kind == DeviceKind::Camera)
        return present_.load() ? HRESULT_FROM_WIN32(kErrorNotSupported) : notConnected();
    std::vector<std::uint8_t> answer;
    const HRESULT hr = command({0x01, kSubunitTape, 0xD0, 0x7F}, &answer);
    if (FAILED(hr))
        return hr;
    if (answer.size() < 4)
        return E_FAIL;
    *mode = modeOfState(answer[2], answer[3]);
    return S_OK;
}

HRESULT Ieee1394Device::inputSignal(LONG* value)
{
    if (!present_.load())
        return notConnected();
    if (system_ == dif::System::Pal625_50)
        *value = longPlay_ ? ED_TRANSBASIC_SIGNAL_625_50_SDL : ED_TRANSBASIC_SIGNAL_625_50_SD;
    else
        *value = longPlay_ ? ED_TRANSBASIC_SIGNAL_525_60_SDL : ED_TRANSBASIC_SIGNAL_525_60_SD;
    return S_OK;
}

HRESULT Ieee1394Device::rawCommand(BYTE* command, LONG length)
{
    if (!present_.load())
        return notConnected();
    if (length < 3)
        return E_INVALIDARG;
    std::vector<std::uint8_t> sent(command, command + length);
    const bool seek = length >= 8 && sent[0] == 0x00 && sent[1] == kSubunitTape && sent[2] == 0x52 && sent[3] == 0x20;
    if (seek && system() == dif::System::Ntsc525_60) {
        // The capture engine's 525/60 track numbers count time-code labels,
        // the numbers drop-frame counting skips among them; the deck counts
        // the frames on its tape. Sent as they come, a seek past the first
        // minute would land a frame or two away from its time code.
        const std::uint32_t track = std::uint32_t(sent[4]) | std::uint32_t(sent[5]) << 8 | std::uint32_t(sent[6]) << 16;
        const auto onTape = static_cast<std::uint32_t>((frameOfTrackNumber(dif::System::Ntsc525_60, track) + 1) * 20);
        sent[4] = static_cast<std::uint8_t>(onTape);
        sent[5] = static_cast<std::uint8_t>(onTape >> 8);
        sent[6] = static_cast<std::uint8_t>(onTape >> 16);
    }
    std::vector<std::uint8_t> answer;
    // Returns once the deck has taken the command: the window is not held for
    // a search, which the deck's state and time code follow to its end.
    switch (avc_->transact(sent.data(), sent.size(), &answer, kRawDeadline, true)) {
    case AvcUnit::Outcome::Gone: return notConnected();
    case AvcUnit::Outcome::NoAnswer: return HRESULT_FROM_WIN32(kErrorTimeout);
    case AvcUnit::Outcome::Answered: break;
    }
    if (seek)
        forgetFrameTimecode();
    // The caller's own operands come back with the deck's response code.
    if (seek && answer.size() >= 8)
        std::copy(command + 4, command + 7, answer.begin() + 4);
    std::memcpy(command, answer.data(), std::min(answer.size(), static_cast<std::size_t>(length)));
    switch (answer[0]) {
    case kAvcAccepted:
    case kAvcInterim:
    case kAvcStable: return S_OK;
    case kAvcRejected: return static_cast<HRESULT>(kErrorRequestAborted);
    case kAvcNotImplemented: return HRESULT_FROM_WIN32(kErrorNotSupported);
    default: return E_FAIL;
    }
}

void Ieee1394Device::forgetFrameTimecode()
{
    std::lock_guard<std::mutex> lock(timecodeMutex_);
    frameTimecode_ = -1;
}

void Ieee1394Device::noteFrameTimecode(std::int64_t bcd)
{
    std::lock_guard<std::mutex> lock(timecodeMutex_);
    frameTimecode_ = bcd;
    frameTimecodeAt_ = Clock::now();
}

HRESULT Ieee1394Device::timecode(DWORD* bcd)
{
    if (!present_.load())
        return notConnected();
    if (camcorder_.kind == DeviceKind::Camera)
        return E_FAIL; // no tape at the head in camera mode
    {
        std::lock_guard<std::mutex> lock(timecodeMutex_);
        if (frameTimecode_ >= 0 && Clock::now() - frameTimecodeAt_ < kFrameTimecodeFresh) {
            *bcd = static_cast<DWORD>(frameTimecode_);
            return S_OK;
        }
    }
    std::vector<std::uint8_t> answer;
    const HRESULT hr = command({0x01, kSubunitTape, 0x51, 0x71, 0xFF, 0xFF, 0xFF, 0xFF}, &answer);
    if (FAILED(hr))
        return hr;
    if (answer.size() < 8 || (answer[4] == 0xFF && answer[5] == 0xFF && answer[6] == 0xFF && answer[7] == 0xFF))
        return E_FAIL; // blank tape
    *bcd = static_cast<DWORD>(answer[7] & 0x3F) << 24 | static_cast<DWORD>(answer[6] & 0x7F) << 16
           | static_cast<DWORD>(answer[5] & 0x7F) << 8 | static_cast<DWORD>(answer[4] & 0x3F);
    return S_OK;
}

std::unique_ptr<Ieee1394Stream> Ieee1394Device::openStream(std::string* error)
{
    if (!present_.load()) {
        if (error)
            *error = "the camcorder is not connected";
        return nullptr;
    }
    std::unique_ptr<Ieee1394Stream> stream(new Ieee1394Stream(shared_from_this()));
    if (!stream->start(error))
        return nullptr;
    return stream;
}

// --- The stream -----------------------------------------------------------------------------------

Ieee1394Stream::Ieee1394Stream(std::shared_ptr<Ieee1394Device> device)
    : device_(std::move(device)),
      assembler_(
          [this](const std::uint8_t* frame, std::size_t size, std::int64_t slot) {
              // The first frame tells the system for certain.
              if (!framed_) {
                  framed_ = true;
                  device_->learnSystem(assembler_.system());
              }
              if (const auto tc = dif::readTimecode(frame, size))
                  device_->noteFrameTimecode(dif::timecodeBcd(*tc));
              push({Result::Frame, slot, 1, FrameLoss::Bus}, frame, size);
          },
          [this](std::int64_t slot, std::int64_t count, FrameLoss why) {
              push({Result::Missed, slot, count, why}, nullptr, 0);
          })
{
}

void Ieee1394Stream::push(Result result, const std::uint8_t* frame, std::size_t size)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (frame) {
            if (frames_.size() >= kStreamQueueFrames) {
                // The reader is held up: the oldest waiting frame is lost in its place.
                for (Result& r : results_)
                    if (r.kind == Result::Frame) {
                        r = {Result::Missed, r.slot, 1, FrameLoss::Late};
                        spare_.push_back(std::move(frames_.front()));
                        frames_.pop_front();
                        break;
                    }
            }
            std::vector<std::uint8_t> buffer;
            if (!spare_.empty()) {
                buffer = std::move(spare_.back());
                spare_.pop_back();
            }
            buffer.assign(frame, frame + size);
            frames_.push_back(std::move(buffer));
        }
        results_.push_back(result);
    }
    ready_.notify_one();
}

bool Ieee1394Stream::start(std::string* error)
{
    auto fail = [&](const std::string& why) {
        if (error)
            *error = why;
        return false;
    };
    wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    handle_ = raw1394_new_handle();
    if (!handle_ || raw1394_set_port(handle_, 0) != 0 || wakeFd_ < 0)
        return fail(std::string("the FireWire bus cannot be opened: ") + std::strerror(errno));
    raw1394_set_userdata(handle_, this);
    raw1394_set_bus_reset_handler(handle_, &Ieee1394Stream::onBusReset);
    node_ = nodeOfGuid(handle_, device_->camcorder().guid);
    if (node_ < 0)
        return fail("the camcorder is no longer on the FireWire bus");
    bandwidth_ = 1;
    channel_ = iec61883_cmp_connect(handle_, kBusNode | static_cast<nodeid_t>(node_), &oplug_,
                                    raw1394_get_local_id(handle_), &iplug_, &bandwidth_);
    if (channel_ < 0)
        return fail("the camcorder's output could not be connected (no free channel or bandwidth on the bus)");
    if (raw1394_iso_recv_init(handle_, &Ieee1394Stream::onPacket, kReceivePackets, kMaxPacket,
                              static_cast<unsigned char>(channel_), RAW1394_DMA_PACKET_PER_BUFFER, kIrqInterval)
            != 0
        || raw1394_iso_recv_start(handle_, -1, -1, 0) != 0)
        return fail(std::string("the camcorder's stream cannot be received: ") + std::strerror(errno));
    receiving_ = true;
    thread_ = std::thread([this] { receive(); });
    return true;
}

bool Ieee1394Stream::readBusClock(std::int64_t* cycles)
{
    constexpr std::int64_t kWrap = 128 * 8000; // the cycle timer's seconds field has 7 bits
    std::uint32_t timer = 0;
    std::uint64_t local = 0;
    if (!clock_ || raw1394_read_cycle_timer(handle_, &timer, &local) != 0) {
        clock_ = false;
        return false;
    }
    const std::int64_t raw = static_cast<std::int64_t>(timer >> 25) * 8000 + ((timer >> 12) & 0x1FFF);
    if (busClock_ < 0)
        busClock_ = raw;
    else
        busClock_ += (raw - busClock_ % kWrap + kWrap) % kWrap;
    *cycles = busClock_;
    return true;
}

unsigned Ieee1394Stream::secondsSkipped(unsigned cycle, bool lost)
{
    if (passStarts_) {
        passStarts_ = false;
        std::int64_t now = 0;
        if (readBusClock(&now))
            ceiling_ = now + kCeilingSlack;
    }
    std::int64_t at;
    unsigned skipped = 0;
    if (lastPacket_ < 0) {
        at = cycle;
        if (clock_)
            at = ceiling_ - ((ceiling_ - cycle) % 8000 + 8000) % 8000;
    } else {
        std::int64_t step = (static_cast<std::int64_t>(cycle) - lastPacket_ % 8000 + 8000) % 8000;
        at = lastPacket_ + (step == 0 ? 8000 : step);
        if (clock_ && overrunPossible_ && lost && at < floor_) {
            // Data packets were lost, and this one came after the clock was
            // read before this pass: the gap before it was longer than the
            // cycle count tells, unless that would put it after the clock read
            // in this pass.
            std::int64_t k = (floor_ - at + 7999) / 8000;
            k = std::min(k, ceiling_ >= at ? (ceiling_ - at) / 8000 : 0);
            skipped = static_cast<unsigned>(k);
            at += k * 8000;
        }
    }
    lastPacket_ = at;
    return skipped;
}

void Ieee1394Stream::receive()
{
    pthread_setname_np(pthread_self(), "th-fw-receive");
    pollfd p[2] = {{raw1394_get_fd(handle_), POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    while (!stop_.load()) {
        if (resetPending_)
            busReset();
        // Held up for most of what the receive buffer holds: it may have
        // overrun, and the packets after the gap may lie seconds later than
        // their cycle count tells.
        const auto top = Clock::now();
        if (loopAt_ != Clock::time_point{} && top - loopAt_ > kAway)
            awayUntil_ = top + kAwayEffect;
        loopAt_ = top;
        overrunPossible_ = top < awayUntil_;
        std::int64_t now = 0;
        if (readBusClock(&now))
            floor_ = now - kFloorSlack;
        passStarts_ = true;
        const int ready = poll(p, 2, kReceivePoll);
        const auto at = Clock::now();
        if (packets_ != packetsSeen_) {
            packetsSeen_ = packets_;
            lastHeard_ = at;
            silenceChecked_ = false;
        } else if (packets_ > 0 && !silenceChecked_ && at - lastHeard_ > kSilence) {
            // A stream that stops may be a camcorder that is gone.
            silenceChecked_ = true;
            fireWireCheckBus();
        }
        if (ready == 0) {
            // Packets short of the interrupt interval wait in the buffer
            // until more come: a deck that stops sending would keep its
            // last frame there.
            raw1394_iso_recv_flush(handle_);
            continue;
        }
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            receiveFailed("cannot wait for packets", errno);
            break;
        }
        if (p[1].revents & POLLIN)
            break;
        if (p[0].revents & (POLLERR | POLLHUP | POLLNVAL)) {
            // The device file went away (the camcorder or the controller is gone).
            receiveFailed("the bus closed", 0);
            break;
        }
        if ((p[0].revents & POLLIN) && raw1394_loop_iterate(handle_) != 0 && errno != EINTR && errno != EAGAIN) {
            receiveFailed("cannot receive packets", errno);
            break;
        }
    }
}

void Ieee1394Stream::receiveFailed(const char* what, int error)
{
    std::fprintf(stderr, "TapeHarvest DV device: the camcorder's stream ends: %s%s%s\n", what, error ? ": " : "",
                 error ? std::strerror(error) : "");
    // Whether the camcorder is gone is for the bus to tell; without it the
    // run is told of the loss.
    fireWireCheckBus();
}

Ieee1394Stream::~Ieee1394Stream()
{
    if (thread_.joinable()) {
        wake();
        thread_.join();
    }
    if (handle_) {
        if (receiving_)
            raw1394_iso_shutdown(handle_);
        if (channel_ >= 0 && node_ >= 0)
            iec61883_cmp_disconnect(handle_, kBusNode | static_cast<nodeid_t>(node_), oplug_,
                                    raw1394_get_local_id(handle_), iplug_, static_cast<unsigned>(channel_),
                                    static_cast<unsigned>(bandwidth_));
        raw1394_destroy_handle(handle_);
    }
    if (wakeFd_ >= 0)
        close(wakeFd_);
}

int Ieee1394Stream::onBusReset(raw1394_handle* handle, unsigned int generation)
{
    raw1394_update_generation(handle, generation);
    static_cast<Ieee1394Stream*>(raw1394_get_userdata(handle))->resetPending_ = true;
    return 0;
}

void Ieee1394Stream::busReset()
{
    resetPending_ = false;
    // The camcorder keeps sending for a second after a reset; the
    // connection must be made again before that.
    node_ = nodeOfGuid(handle_, device_->camcorder().guid);
    if (node_ < 0) {
        fireWireCheckBus(); // gone, whether or not udev tells
        return;
    }
    const int channel = iec61883_cmp_reconnect(handle_, kBusNode | static_cast<nodeid_t>(node_), &oplug_,
                                               raw1394_get_local_id(handle_), &iplug_, &bandwidth_, channel_);
    if (channel >= 0)
        ++reconnections_;
}

enum raw1394_iso_disposition Ieee1394Stream::onPacket(raw1394_handle* handle, unsigned char* data,
                                                       unsigned int length, unsigned char, unsigned char,
                                                       unsigned char, unsigned int cycle, unsigned int)
{
    auto* self = static_cast<Ieee1394Stream*>(raw1394_get_userdata(handle));
    if (self->cipSystem_.load() == dif::System::None && length >= 8 && (data[4] & 0x3F) == 0) {
        // FMT 0 (DV): FDF bit 7 is the 50/60 flag.
        {
            std::lock_guard<std::mutex> lock(self->mutex_);
            self->cipSystem_ = (data[5] & 0x80) ? dif::System::Pal625_50 : dif::System::Ntsc525_60;
        }
        self->ready_.notify_all();
    }
    ++self->packets_;
    bool lost = false;
    if (length >= 8) {
        // The DBC names the next data block: a jump means data packets never came.
        lost = self->dbcKnown_ && data[3] != self->nextDbc_;
        self->dbcKnown_ = true;
        self->nextDbc_ = static_cast<std::uint8_t>(data[3] + (length >= 8 + 480 ? 1 : 0));
    }
    self->assembler_.packet(data, length, cycle, self->secondsSkipped(cycle, lost));
    return RAW1394_ISO_OK;
}

dif::System Ieee1394Stream::waitForCip(std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(mutex_);
    ready_.wait_for(lock, timeout, [&] { return stop_.load() || cipSystem_.load() != dif::System::None; });
    return cipSystem_.load();
}

double Ieee1394Stream::receiverCpuSeconds()
{
    clockid_t clock;
    timespec t{};
    if (!thread_.joinable() || pthread_getcpuclockid(thread_.native_handle(), &clock) != 0
        || clock_gettime(clock, &t) != 0)
        return 0;
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

void Ieee1394Stream::wake()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    ready_.notify_all();
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = write(wakeFd_, &one, sizeof one);
}

Ieee1394Stream::Result Ieee1394Stream::next(std::span<std::uint8_t> into, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(mutex_);
    ready_.wait_for(lock, timeout, [&] { return stop_.load() || !results_.empty(); });
    if (stop_.load())
        return {Result::Stop};
    if (results_.empty())
        return {Result::Idle};
    const Result r = results_.front();
    results_.pop_front();
    if (r.kind == Result::Frame) {
        std::vector<std::uint8_t>& frame = frames_.front();
        std::memcpy(into.data(), frame.data(), std::min(frame.size(), into.size()));
        spare_.push_back(std::move(frame));
        frames_.pop_front();
    }
    return r;
}

} // namespace th::dv
