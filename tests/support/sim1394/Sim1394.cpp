// A simulated FireWire bus with one DV camcorder on it, built as a library of
// the same soname as libraw1394 (libraw1394.so.11), so that the system's
// libiec61883, libavc1394 and librom1394 and our own device code run over it
// unchanged when a test puts it first on LD_LIBRARY_PATH.
//
// Node 0 is the camcorder, node 1 the computer (and the IRM). Time is the bus
// clock: 8000 cycles a second from the moment the bus was set up. A thread of
// the bus plays the role of the camcorder's transmitter and the controller's
// DMA: it fills every running receiver's buffer with the packets of the cycles
// that went by and wakes the receiver's descriptor every irq_interval packets,
// as the kernel does. Frames follow the deck: one frame per frame period while
// it plays, the still frame while paused, none while stopped or winding.

#include "Sim1394.h"

#include <libraw1394/csr.h>
#include <libraw1394/raw1394.h>

#include <arpa/inet.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#define SIM_API extern "C" __attribute__((visibility("default")))

namespace {

using Clock = std::chrono::steady_clock;

constexpr nodeid_t kCamcorderNode = 0xffc0;
constexpr nodeid_t kLocalNode = 0xffc1;
constexpr int kDataBytes = 480;  // six DIF blocks
constexpr int kCipBytes = 8;
constexpr int kTick = 4;         // ms between runs of the bus thread
constexpr std::uint64_t kAddrFcpCommand = CSR_REGISTER_BASE + CSR_FCP_COMMAND;
constexpr std::uint64_t kAddrRom = CSR_REGISTER_BASE + CSR_CONFIG_ROM;
constexpr std::uint64_t kAddrOmpr = CSR_REGISTER_BASE + 0x900;
constexpr std::uint64_t kAddrOpcr0 = CSR_REGISTER_BASE + 0x904;
constexpr std::uint64_t kAddrImpr = CSR_REGISTER_BASE + 0x980;
constexpr std::uint64_t kAddrIpcr0 = CSR_REGISTER_BASE + 0x984;

struct Event {
    enum Kind { BusReset, Fcp } kind;
    unsigned generation = 0;
    std::vector<unsigned char> data;
};

} // namespace

struct raw1394_handle {
    int fd = -1; // eventfd: readable while something waits for loop_iterate
    unsigned generation = 0;
    void* userdata = nullptr;
    bus_reset_handler_t resetHandler = nullptr;
    fcp_handler_t fcpHandler = nullptr;
    tag_handler_t tagHandler = nullptr;
    bool fcpListen = false;
    std::deque<Event> events;
    // Isochronous receive.
    raw1394_iso_recv_handler_t isoHandler = nullptr;
    unsigned bufPackets = 0;
    unsigned maxPacket = 0;
    int channel = -1;
    unsigned irqInterval = 1;
    bool isoRunning = false;
    // The packets received and not yet taken: the kernel's buffer holds
    // bufPackets, received over the cycles since the last take; the ring is
    // larger, so that packets the bus thread sends late (a busy machine) are
    // not lost where a real buffer would have held them.
    unsigned ringSlots = 0;
    std::int64_t lastTake = 0; // the bus cycle of the receiver's last take
    std::vector<unsigned char> ring; // ringSlots slots of maxPacket bytes
    std::vector<unsigned> ringLen, ringCycle;
    unsigned head = 0, count = 0, sinceSignal = 0;
    std::vector<unsigned char> batch; // packets handed to the handler
};

namespace {

enum class Kind { Vcr, Camera };
// Where the deck answers OUTPUT SIGNAL MODE.
enum class SignalAt { Tape, Unit, Nowhere };

struct Deck {
    // Head position in frames at slot0, moving rate frames per frame period.
    double pos0 = 0;
    std::int64_t slot0 = 0;
    double rate = 0;
    bool frames = false;       // pictures are sent (play modes, pause)
    unsigned char state = 0xC4, mode = 0x60; // TRANSPORT STATE answer
    bool seeking = false;
    std::int64_t seekEnd = 0;  // slot at which the search ends
    double seekTarget = 0;
    bool seekRejected = false;
    std::vector<unsigned char> seekCommand;
    bool stepping = false;     // a step: one frame, then pause
};

// A udev monitor of the firewire subsystem (the tests' libudev.so.1): the
// events of the bus since it was made, its descriptor readable while any wait.
struct Monitor {
    int fd = -1;
    std::deque<thsim1394_uevent> events;
};

struct Bus {
    std::mutex mutex;
    std::vector<Monitor*> monitors;
    bool udev = true;       // monitors can be made
    std::string mirror;     // where the kernel's view (sys/, dev/) is kept, if anywhere
    bool setUp = false;
    bool card = true;
    bool plugged = false; // a camcorder is on the bus
    Kind kind = Kind::Vcr;
    SignalAt signalAt = SignalAt::Tape;
    bool quietIdle = false; // sends no packets at all while it sends no frames
    double windFactor = 1;
    double speed = 1; // bus seconds per second
    unsigned generation = 1;
    Clock::time_point origin;
    std::vector<raw1394_handle*> handles;
    std::thread thread;
    bool stopThread = false;
    std::condition_variable wake;

    // The tape.
    int tapeFd = -1;
    std::int64_t frames = 0, length = 0;
    std::size_t frameSize = 0;
    bool pal = true;
    std::vector<unsigned char> frame; // the frame being sent
    std::int64_t frameIndex = -2;     // which frame `frame` holds (-1: none)

    Deck deck;
    // Transmitter.
    std::int64_t txCycle = 0; // next cycle to generate
    std::int64_t txSlot = -1; // the frame period being sent
    bool txHasFrame = false;
    unsigned char dbc = 0;
    quadlet_t opcr = 0, ompr = 0;
    std::int64_t graceUntil = -1; // the cycle until which a reset connection goes on
    unsigned loseData = 0, overrun = 0;
    unsigned stallMs = 0; // the next receiver to take its packets is held up so long first
    // IRM.
    int bandwidth = 4915;
    std::uint64_t channels = ~0ull;
};

Bus& bus()
{
    static Bus* b = new Bus;
    return *b;
}

std::int64_t cycleAt(const Bus& b, Clock::time_point t)
{
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(t - b.origin).count();
    return static_cast<std::int64_t>(static_cast<double>(ns) * 8e-6 * b.speed);
}

// First cycle of frame period `slot`.
std::int64_t slotStart(const Bus& b, std::int64_t slot)
{
    if (b.pal)
        return slot * 320;
    return (slot * 8000 * 1001 + 29999) / 30000;
}

std::int64_t slotOf(const Bus& b, std::int64_t cycle)
{
    if (b.pal)
        return cycle / 320;
    return cycle * 30000 / (8000 * 1001);
}

int dataPacketsPerFrame(const Bus& b)
{
    return b.pal ? 300 : 250;
}

void signal(raw1394_handle* h)
{
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(h->fd, &one, sizeof one);
}

void queueEvent(raw1394_handle* h, Event e)
{
    h->events.push_back(std::move(e));
    signal(h);
}

// --- The deck -------------------------------------------------------------------

double windRate(const Bus& b)
{
    // A deck winds at about thirty times play speed.
    return 30.0 * b.windFactor;
}

double position(const Bus& b, std::int64_t slot)
{
    // Before the last command took effect the head stood where it left it.
    return b.deck.pos0 + b.deck.rate * static_cast<double>(std::max<std::int64_t>(slot - b.deck.slot0, 0));
}

void setMotion(Bus& b, std::int64_t slot, double rate, bool frames, unsigned char state, unsigned char mode)
{
    b.deck.pos0 = std::clamp(position(b, slot), 0.0, static_cast<double>(b.length));
    b.deck.slot0 = slot;
    b.deck.rate = rate;
    b.deck.frames = frames;
    b.deck.state = state;
    b.deck.mode = mode;
    b.deck.stepping = false;
}

void queueFcpResponse(Bus& b, const std::vector<unsigned char>& response)
{
    for (raw1394_handle* h : b.handles)
        if (h->fcpListen) {
            Event e{Event::Fcp, 0, response};
            queueEvent(h, std::move(e));
        }
}

// Brings the deck up to `slot`: ends a search, a step, or a motion that ran
// off either end of the tape.
void settle(Bus& b, std::int64_t slot)
{
    Deck& d = b.deck;
    if (d.seeking && slot >= d.seekEnd) {
        d.seeking = false;
        d.pos0 = d.seekTarget;
        d.slot0 = d.seekEnd;
        d.rate = 0;
        d.frames = false;
        d.state = 0xC4;
        d.mode = 0x60;
        std::vector<unsigned char> answer = d.seekCommand;
        answer[0] = d.seekRejected ? 0x0A : 0x09;
        queueFcpResponse(b, answer);
    }
    if (d.stepping && slot > d.slot0) {
        d.pos0 = position(b, d.slot0 + 1);
        d.slot0 = d.slot0 + 1;
        d.rate = 0;
        d.stepping = false;
    }
    if (d.rate != 0 && !d.seeking) {
        const double p = position(b, slot);
        if (p < 0 || p > static_cast<double>(b.length)) {
            const double bound = p < 0 ? 0.0 : static_cast<double>(b.length);
            const auto at = d.slot0 + static_cast<std::int64_t>(std::ceil((bound - d.pos0) / d.rate));
            d.pos0 = bound;
            d.slot0 = std::min(at, slot);
            d.rate = 0;
            d.frames = false;
            d.state = 0xC4;
            d.mode = 0x60;
        }
    }
}

// The frame the camcorder sends in frame period `slot`; -1: none.
std::int64_t frameForSlot(Bus& b, std::int64_t slot)
{
    if (b.kind == Kind::Camera)
        return b.frames > 0 ? slot % b.frames : -1;
    settle(b, slot);
    if (!b.deck.frames)
        return -1;
    const auto index = static_cast<std::int64_t>(std::floor(position(b, slot)));
    return index >= 0 && index < b.frames ? index : -1;
}

bool loadFrame(Bus& b, std::int64_t index)
{
    if (index == b.frameIndex)
        return index >= 0;
    b.frameIndex = index;
    if (index < 0)
        return false;
    const auto got = pread(b.tapeFd, b.frame.data(), b.frameSize, static_cast<off_t>(index * b.frameSize));
    return got == static_cast<ssize_t>(b.frameSize);
}

// --- Time code and the transmitter ---------------------------------------------------

// The subcode time code pack (0x13) of the frame: bytes frames, seconds,
// minutes, hours (BCD, with the flag bits cleared); false when it has none.
bool timecodeOf(const Bus& b, const unsigned char* f, unsigned char out[4])
{
    const int sequences = b.pal ? 12 : 10;
    for (int seq = 0; seq < sequences; ++seq)
        for (int block = 1; block <= 2; ++block) {
            const unsigned char* p = f + (seq * 150 + block) * 80 + 3;
            for (int s = 0; s < 6; ++s) {
                const unsigned char* pack = p + s * 8 + 3;
                if (pack[0] == 0x13 && pack[1] != 0xFF) {
                    out[0] = pack[1] & 0x3F;
                    out[1] = pack[2] & 0x7F;
                    out[2] = pack[3] & 0x7F;
                    out[3] = pack[4] & 0x3F;
                    return true;
                }
            }
        }
    return false;
}

bool transmitting(const Bus& b, std::int64_t cycle)
{
    if (!b.plugged)
        return false;
    const unsigned p2p = (b.opcr >> 24) & 0x3F;
    const bool bcast = (b.opcr >> 30) & 1;
    return p2p > 0 || bcast || cycle < b.graceUntil;
}

void deliver(Bus& b, const unsigned char* packet, unsigned len, std::int64_t cycle, int channel)
{
    for (raw1394_handle* h : b.handles) {
        if (!h->isoRunning || h->channel != channel)
            continue;
        if (h->count >= h->ringSlots || cycle - h->lastTake >= static_cast<std::int64_t>(h->bufPackets))
            continue; // the buffer is full: the packet is lost
        const unsigned slot = (h->head + h->count) % h->ringSlots;
        const unsigned n = std::min(len, h->maxPacket);
        std::memcpy(h->ring.data() + static_cast<std::size_t>(slot) * h->maxPacket, packet, n);
        h->ringLen[slot] = n;
        h->ringCycle[slot] = static_cast<unsigned>(cycle % 8000);
        ++h->count;
        if (++h->sinceSignal >= h->irqInterval) {
            h->sinceSignal = 0;
            signal(h);
        }
    }
}

void transmit(Bus& b, Clock::time_point now)
{
    const std::int64_t until = cycleAt(b, now);
    const int channel = (b.opcr >> 16) & 0x3F;
    const int perFrame = dataPacketsPerFrame(b);
    unsigned char packet[kCipBytes + kDataBytes];
    for (std::int64_t c = b.txCycle; c < until; ++c) {
        if (!transmitting(b, c))
            continue;
        const std::int64_t slot = slotOf(b, c);
        const std::int64_t first = slotStart(b, slot);
        const std::int64_t cycles = slotStart(b, slot + 1) - first;
        const std::int64_t i = c - first;
        // Data packet j goes out at the first cycle i with i * perFrame / cycles == j.
        const std::int64_t j = i * perFrame / cycles;
        if (slot != b.txSlot) {
            b.txSlot = slot;
            b.txHasFrame = loadFrame(b, frameForSlot(b, slot));
        }
        const bool data = b.txHasFrame && (i == 0 || (i - 1) * perFrame / cycles != j);
        if (!b.txHasFrame && b.quietIdle)
            continue;
        packet[0] = static_cast<unsigned char>(kCamcorderNode & 0x3F);
        packet[1] = 0x78; // 120 quadlets per data block
        packet[2] = 0;
        packet[3] = b.dbc;
        packet[4] = 0x80;
        packet[5] = static_cast<unsigned char>(b.pal ? 0x80 : 0x00);
        packet[6] = packet[7] = 0xFF;
        unsigned len = kCipBytes;
        if (data) {
            std::memcpy(packet + kCipBytes, b.frame.data() + j * kDataBytes, kDataBytes);
            len += kDataBytes;
            ++b.dbc;
        }
        if (b.overrun > 0) {
            --b.overrun;
            continue;
        }
        if (data && b.loseData > 0) {
            --b.loseData;
            continue;
        }
        deliver(b, packet, len, c, channel);
    }
    b.txCycle = std::max(b.txCycle, until);
}

void busThread()
{
    Bus& b = bus();
    std::unique_lock<std::mutex> lock(b.mutex);
    while (!b.stopThread) {
        const Clock::time_point now = Clock::now();
        transmit(b, now);
        // A search ends whether or not anybody receives.
        if (b.plugged && b.kind == Kind::Vcr)
            settle(b, slotOf(b, cycleAt(b, now)));
        b.wake.wait_for(lock, std::chrono::milliseconds(kTick), [&] { return b.stopThread; });
    }
}

// --- AV/C -------------------------------------------------------------------------------

std::vector<unsigned char> avc(Bus& b, const unsigned char* cmd, std::size_t len, bool* interim)
{
    *interim = false;
    std::vector<unsigned char> r(cmd, cmd + len);
    if (len < 3) {
        r.resize(3, 0xFF);
        r[0] = 0x08;
        return r;
    }
    const unsigned char ctype = cmd[0], subunit = cmd[1], opcode = cmd[2];
    // Commands act from the first frame period the transmitter has not begun
    // (the bus thread may lag behind the clock on a busy machine).
    const std::int64_t slot = slotOf(b, b.txCycle - 1) + 1;
    if (b.kind == Kind::Vcr)
        settle(b, slot);
    r[0] = 0x08;
    if (subunit == 0xFF && (opcode == 0x30 || opcode == 0x31) && ctype == 0x01 && len >= 8) {
        r[0] = 0x0C;
        if (opcode == 0x30) {
            r[3] = 0x07;
            r[4] = b.kind == Kind::Camera ? 0x38 : 0x20;
            r[5] = 0x08;
            r[6] = 0x00;
            r[7] = 0x46;
        } else {
            r[3] = 0x07;
            r[4] = b.kind == Kind::Camera ? 0x38 : 0x20;
            r[5] = r[6] = r[7] = 0xFF;
        }
        return r;
    }
    if (opcode == 0x78 && ctype == 0x01 && len >= 4) {
        // OUTPUT SIGNAL MODE (SD 625/50 or SD 525/60), a command of the tape
        // subunit: answered where this deck answers it.
        const bool here = subunit == 0xFF ? b.signalAt == SignalAt::Unit
                                          : subunit == 0x20 && b.kind == Kind::Vcr && b.signalAt == SignalAt::Tape;
        if (here) {
            r[0] = 0x0C;
            r[3] = b.pal ? 0x80 : 0x00;
        }
        return r;
    }
    if (subunit != 0x20 || b.kind != Kind::Vcr)
        return r;
    Deck& d = b.deck;
    const double wind = windRate(b);
    if (ctype == 0x00 && (opcode == 0xC3 || opcode == 0xC4) && len >= 4) {
        const unsigned char op = cmd[3];
        r[0] = 0x09;
        if (d.seeking) {
            // A new command ends the search where the tape is.
            d.seeking = false;
            std::vector<unsigned char> answer = d.seekCommand;
            answer[0] = 0x0A;
            queueFcpResponse(b, answer);
        }
        if (opcode == 0xC4) {
            if (op == 0x60)
                setMotion(b, slot, 0, false, 0xC4, 0x60);
            else if (op == 0x75)
                setMotion(b, slot, wind, false, 0xC4, 0x75);
            else if (op == 0x65)
                setMotion(b, slot, -wind, false, 0xC4, 0x65);
            else
                r[0] = 0x08;
            return r;
        }
        if (op == 0x75)
            setMotion(b, slot, 1, true, 0xC3, 0x75);
        else if (op == 0x7D)
            setMotion(b, slot, 0, true, 0xC3, 0x7D);
        else if (op == 0x65)
            setMotion(b, slot, -1, true, 0xC3, 0x65);
        else if (op == 0x3F)
            setMotion(b, slot, 10, true, 0xC3, 0x3F);
        else if (op == 0x4F)
            setMotion(b, slot, -10, true, 0xC3, 0x4F);
        else if (op == 0x31)
            setMotion(b, slot, 0.2, true, 0xC3, 0x31);
        else if (op == 0x41)
            setMotion(b, slot, -0.2, true, 0xC3, 0x41);
        else if (op == 0x30 || op == 0x40) {
            setMotion(b, slot, op == 0x30 ? 1 : -1, true, 0xC3, 0x7D);
            d.stepping = true;
        } else
            r[0] = 0x08;
        return r;
    }
    if (opcode == 0xC2) {
        r[0] = 0x0A; // the cassette is write-protected
        return r;
    }
    if (ctype == 0x01 && opcode == 0xD0 && len >= 4) {
        r[0] = 0x0C;
        r[2] = d.state;
        r[3] = d.mode;
        return r;
    }
    if (ctype == 0x01 && opcode == 0x51 && len >= 8 && cmd[3] == 0x71) {
        r[0] = 0x0C;
        r[4] = r[5] = r[6] = r[7] = 0xFF;
        const auto index = static_cast<std::int64_t>(std::floor(position(b, slot)));
        if (!d.seeking && index >= 0 && index < b.frames) {
            std::vector<unsigned char> f(b.frameSize);
            unsigned char tc[4];
            if (pread(b.tapeFd, f.data(), b.frameSize, static_cast<off_t>(index * b.frameSize))
                    == static_cast<ssize_t>(b.frameSize)
                && timecodeOf(b, f.data(), tc))
                std::memcpy(&r[4], tc, 4);
        }
        return r;
    }
    if (ctype == 0x00 && opcode == 0x52 && len >= 8 && cmd[3] == 0x20) {
        const std::uint32_t track = cmd[4] | cmd[5] << 8 | cmd[6] << 16;
        const std::int64_t tracksPerFrame = b.pal ? 24 : 20;
        std::int64_t target = std::max<std::int64_t>(track / tracksPerFrame - 1, 0);
        const bool beyond = target >= b.frames;
        if (beyond)
            target = b.frames;
        const double from = std::clamp(position(b, slot), 0.0, static_cast<double>(b.length));
        const double distance = std::fabs(static_cast<double>(target) - from);
        // Half a second to thread the tape, then the wind.
        const auto searchSlots = static_cast<std::int64_t>(std::ceil(distance / wind)) + (b.pal ? 12 : 15);
        if (d.seeking) {
            std::vector<unsigned char> answer = d.seekCommand;
            answer[0] = 0x0A;
            queueFcpResponse(b, answer);
        }
        setMotion(b, slot, static_cast<double>(target) >= from ? wind : -wind, false, 0xC4,
                  static_cast<double>(target) >= from ? 0x75 : 0x65);
        d.rate = (static_cast<double>(target) - from) / static_cast<double>(searchSlots);
        d.seeking = true;
        d.seekEnd = slot + searchSlots;
        d.seekTarget = static_cast<double>(target);
        d.seekRejected = beyond;
        d.seekCommand.assign(cmd, cmd + len);
        r[0] = 0x0F;
        *interim = true;
        return r;
    }
    return r;
}

// --- The configuration ROM and registers ---------------------------------------------------

std::vector<quadlet_t> configRom()
{
    std::vector<quadlet_t> q;
    q.push_back(0x04040000);     // bus info block of 4 quadlets
    q.push_back(0x31333934);     // "1394"
    q.push_back(0x20FF5003);     // bus options
    q.push_back(0x08004601);     // GUID
    q.push_back(0x00C0FFEE);
    const std::size_t root = q.size();
    q.push_back(4u << 16);       // root directory: 4 entries
    q.push_back(0x03080046);     // vendor
    q.push_back(0x0C0083C0);     // node capabilities
    q.push_back(0);              // 0x81 textual leaf, filled in below
    q.push_back(0);              // 0xD1 unit directory
    const char* label = "TapeHarvest Simulated DV";
    const std::size_t leaf = q.size();
    const std::size_t textQuadlets = (std::strlen(label) + 4) / 4;
    q.push_back(static_cast<quadlet_t>((textQuadlets + 2) << 16));
    q.push_back(0);
    q.push_back(0);
    for (std::size_t i = 0; i < textQuadlets; ++i) {
        quadlet_t v = 0;
        for (int k = 0; k < 4; ++k) {
            const std::size_t at = i * 4 + k;
            const unsigned char c = at < std::strlen(label) ? static_cast<unsigned char>(label[at]) : 0;
            v |= static_cast<quadlet_t>(c) << (24 - 8 * k);
        }
        q.push_back(v);
    }
    const std::size_t unit = q.size();
    q.push_back(3u << 16);
    q.push_back(0x1200A02D);
    q.push_back(0x13010001);
    q.push_back(0x17000001);
    q[root + 3] = 0x81000000 | static_cast<quadlet_t>(leaf - (root + 3));
    q[root + 4] = 0xD1000000 | static_cast<quadlet_t>(unit - (root + 4));
    return q;
}

bool readRegister(Bus& b, std::uint64_t addr, quadlet_t* value)
{
    static const std::vector<quadlet_t> rom = configRom();
    if (addr >= kAddrRom && addr < kAddrRom + rom.size() * 4 && (addr - kAddrRom) % 4 == 0) {
        *value = rom[(addr - kAddrRom) / 4];
        return true;
    }
    if (addr == kAddrOmpr) {
        *value = b.ompr;
        return true;
    }
    if (addr == kAddrOpcr0) {
        *value = b.opcr;
        return true;
    }
    if (addr == kAddrImpr) {
        *value = 0x80000001;
        return true;
    }
    if (addr == kAddrIpcr0) {
        *value = 0x80000000;
        return true;
    }
    return false;
}

void clearConnections(Bus& b)
{
    b.opcr &= ~(0x3Fu << 24);
    b.opcr &= ~(1u << 30);
    b.bandwidth = 4915;
    b.channels = ~0ull;
}

// The kernel's view of the bus as sysfs and /dev show it, for the program's
// diagnosis: no sys/bus/firewire without the driver, fw0 the controller, fw1
// the camcorder (its device file readable and writable).
void mirror(const Bus& b)
{
    if (b.mirror.empty())
        return;
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path sys = fs::path(b.mirror) / "sys" / "bus" / "firewire", dev = fs::path(b.mirror) / "dev";
    fs::remove_all(sys, ec);
    fs::remove(dev / "fw1", ec);
    if (!b.card)
        return;
    auto node = [&](const char* name, const char* isLocal, const char* units) {
        fs::create_directories(sys / "devices" / name, ec);
        std::ofstream(sys / "devices" / name / "is_local") << isLocal << "\n";
        std::ofstream(sys / "devices" / name / "units") << units << "\n";
    };
    node("fw0", "1", "");
    if (b.plugged) {
        node("fw1", "0", "0x00a02d:0x010001");
        fs::create_directories(dev, ec);
        std::ofstream(dev / "fw1") << "";
    }
}

// A udev event of the firewire subsystem to every monitor: the controller
// (`local`) or the camcorder's node came or went.
void uevent(Bus& b, const char* action, bool local)
{
    thsim1394_uevent e{};
    std::snprintf(e.action, sizeof e.action, "%s", action);
    std::snprintf(e.devnode, sizeof e.devnode, "/dev/fw%d", local ? 0 : 1);
    e.is_local = local ? 1 : 0;
    if (!local)
        std::snprintf(e.units, sizeof e.units, "0x00a02d:0x010001");
    for (Monitor* m : b.monitors) {
        m->events.push_back(e);
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = write(m->fd, &one, sizeof one);
    }
}

void busReset(Bus& b)
{
    ++b.generation;
    for (raw1394_handle* h : b.handles) {
        Event e{Event::BusReset, b.generation, {}};
        queueEvent(h, std::move(e));
    }
}

// Puts the cassette in the deck, stopped at its start; false when it cannot be read.
bool loadTape(Bus& b, const char* path)
{
    if (b.tapeFd >= 0)
        close(b.tapeFd);
    b.tapeFd = open(path, O_RDONLY | O_CLOEXEC);
    if (b.tapeFd < 0)
        return false;
    unsigned char header[80];
    struct stat st{};
    if (pread(b.tapeFd, header, sizeof header, 0) != static_cast<ssize_t>(sizeof header) || fstat(b.tapeFd, &st) != 0)
        return false;
    b.pal = (header[3] & 0x80) != 0;
    b.frameSize = b.pal ? 144000 : 120000;
    b.frames = st.st_size / static_cast<off_t>(b.frameSize);
    b.length = b.frames + (b.pal ? 25 : 30); // a second of blank tape after the recording
    b.frame.assign(b.frameSize, 0);
    b.frameIndex = -2;
    b.txSlot = -1;
    b.deck = Deck{};
    b.deck.slot0 = slotOf(b, cycleAt(b, Clock::now()));
    return true;
}

void setUp(Bus& b)
{
    if (b.setUp)
        return;
    b.setUp = true;
    b.origin = Clock::now();
    b.card = std::getenv("THSIM1394_NOCARD") == nullptr;
    if (const char* speed = std::getenv("THSIM1394_SPEED"))
        b.speed = std::clamp(std::atof(speed), 0.05, 1.0);
    if (const char* wind = std::getenv("THSIM1394_WIND"))
        b.windFactor = std::max(0.01, std::atof(wind));
    if (const char* mode = std::getenv("THSIM1394_MODE"))
        b.kind = std::strcmp(mode, "camera") == 0 ? Kind::Camera : Kind::Vcr;
    b.ompr = 0x3F000001u; // S400, broadcast channel 63, one output plug
    b.opcr = 0x80000000u | (3u << 10) | 122u; // online, S100, payload 122 quadlets
    if (const char* where = std::getenv("THSIM1394_SIGNAL"))
        b.signalAt = std::strcmp(where, "unit") == 0 ? SignalAt::Unit
                     : std::strcmp(where, "none") == 0 ? SignalAt::Nowhere : SignalAt::Tape;
    const char* tape = std::getenv("THSIM1394_TAPE");
    if (!tape)
        return;
    // Without a controller the camcorder waits, cassette in, to be seen.
    b.plugged = loadTape(b, tape) && b.card;
}

// Node 0 is the camcorder while it is on the bus; the computer is the node
// after it (node 0 alone).
bool isCamcorder(const Bus& b, nodeid_t node)
{
    return b.plugged && (node & 0x3F) == 0;
}

bool nodePresent(const Bus& b, nodeid_t node)
{
    return (node & 0x3F) <= (b.plugged ? 1 : 0);
}

// A request of handle `h`: fails as the kernel does for a stale generation
// or an absent node. Called with the lock held.
bool requestAllowed(const Bus& b, const raw1394_handle* h, nodeid_t node)
{
    if (h->generation != b.generation) {
        errno = EAGAIN;
        return false;
    }
    if (!nodePresent(b, node)) {
        errno = ENODEV;
        return false;
    }
    return true;
}

} // namespace

// --- The library's interface ------------------------------------------------------------------

SIM_API raw1394handle_t raw1394_new_handle(void)
{
    Bus& b = bus();
    auto* h = new raw1394_handle;
    h->fd = eventfd(0, EFD_CLOEXEC);
    std::lock_guard<std::mutex> lock(b.mutex);
    setUp(b);
    h->generation = b.generation;
    b.handles.push_back(h);
    if (!b.thread.joinable()) {
        b.stopThread = false;
        b.thread = std::thread(busThread);
    }
    return h;
}

SIM_API raw1394handle_t raw1394_new_handle_on_port(int port)
{
    raw1394handle_t h = raw1394_new_handle();
    if (h && raw1394_set_port(h, port) != 0) {
        raw1394_destroy_handle(h);
        return nullptr;
    }
    return h;
}

SIM_API void raw1394_destroy_handle(raw1394handle_t h)
{
    if (!h)
        return;
    Bus& b = bus();
    std::thread done;
    {
        std::lock_guard<std::mutex> lock(b.mutex);
        b.handles.erase(std::remove(b.handles.begin(), b.handles.end(), h), b.handles.end());
        if (b.handles.empty() && b.thread.joinable()) {
            b.stopThread = true;
            b.wake.notify_all();
            done = std::move(b.thread);
        }
    }
    if (done.joinable())
        done.join();
    close(h->fd);
    delete h;
}

SIM_API int raw1394_get_fd(raw1394handle_t h)
{
    return h->fd;
}

SIM_API void raw1394_set_userdata(raw1394handle_t h, void* data)
{
    h->userdata = data;
}

SIM_API void* raw1394_get_userdata(raw1394handle_t h)
{
    return h->userdata;
}

SIM_API int raw1394_get_port_info(raw1394handle_t, struct raw1394_portinfo* pinf, int maxports)
{
    Bus& b = bus();
    std::lock_guard<std::mutex> lock(b.mutex);
    if (!b.card)
        return 0;
    if (maxports >= 1 && pinf) {
        pinf[0].nodes = b.plugged ? 2 : 1;
        std::snprintf(pinf[0].name, sizeof pinf[0].name, "simulated OHCI");
    }
    return 1;
}

SIM_API int raw1394_set_port(raw1394handle_t h, int port)
{
    Bus& b = bus();
    std::lock_guard<std::mutex> lock(b.mutex);
    if (!b.card || port != 0) {
        errno = b.card ? EINVAL : ENOENT;
        return -1;
    }
    h->generation = b.generation;
    return 0;
}

SIM_API nodeid_t raw1394_get_local_id(raw1394handle_t)
{
    Bus& b = bus();
    std::lock_guard<std::mutex> lock(b.mutex);
    return b.plugged ? kLocalNode : kCamcorderNode;
}

SIM_API nodeid_t raw1394_get_irm_id(raw1394handle_t h)
{
    return raw1394_get_local_id(h);
}

SIM_API int raw1394_get_nodecount(raw1394handle_t)
{
    Bus& b = bus();
    std::lock_guard<std::mutex> lock(b.mutex);
    return b.plugged ? 2 : 1;
}

SIM_API unsigned int raw1394_get_generation(raw1394handle_t h)
{
    return h->generation;
}

SIM_API void raw1394_update_generation(raw1394handle_t h, unsigned int generation)
{
    h->generation = generation;
}

SIM_API bus_reset_handler_t raw1394_set_bus_reset_handler(raw1394handle_t h, bus_reset_handler_t handler)
{
    bus_reset_handler_t old = h->resetHandler;
    h->resetHandler = handler;
    return old;
}

SIM_API int raw1394_busreset_notify(raw1394handle_t, int)
{
    return 0;
}

SIM_API tag_handler_t raw1394_set_tag_handler(raw1394handle_t h, tag_handler_t handler)
{
    tag_handler_t old = h->tagHandler;
    h->tagHandler = handler;
    return old;
}

SIM_API fcp_handler_t raw1394_set_fcp_handler(raw1394handle_t h, fcp_handler_t handler)
{
    fcp_handler_t old = h->fcpHandler;
    h->fcpHandler = handler;
    return old;
}

SIM_API int raw1394_start_fcp_listen(raw1394handle_t h)
{
    std::lock_guard<std::mutex> lock(bus().mutex);
    h->fcpListen = true;
    return 0;
}

SIM_API int raw1394_stop_fcp_listen(raw1394handle_t h)
{
    std::lock_guard<std::mutex> lock(bus().mutex);
    h->fcpListen = false;
    return 0;
}

SIM_API int raw1394_read(raw1394handle_t h, nodeid_t node, nodeaddr_t addr, size_t length, quadlet_t* buffer)
{
    Bus& b = bus();
    std::lock_guard<std::mutex> lock(b.mutex);
    if (!requestAllowed(b, h, node))
        return -1;
    if (!isCamcorder(b, node) || length % 4 != 0 || length == 0) {
        errno = EIO; // the computer's own registers are not modelled
        return -1;
    }
    for (std::size_t i = 0; i < length / 4; ++i) {
        quadlet_t v;
        if (!readRegister(b, addr + i * 4, &v)) {
            errno = EIO;
            return -1;
        }
        buffer[i] = htonl(v);
    }
    return 0;
}

SIM_API int raw1394_write(raw1394handle_t h, nodeid_t node, nodeaddr_t addr, size_t length, quadlet_t* data)
{
    Bus& b = bus();
    std::lock_guard<std::mutex> lock(b.mutex);
    if (!requestAllowed(b, h, node))
        return -1;
    if (!isCamcorder(b, node) || addr != kAddrFcpCommand || length == 0 || length > 512) {
        errno = EIO;
        return -1;
    }
    transmit(b, Clock::now()); // the frames before the command still follow the old motion
    bool interim = false;
    std::vector<unsigned char> answer = avc(b, reinterpret_cast<const unsigned char*>(data), length, &interim);
    queueFcpResponse(b, answer);
    return 0;
}

SIM_API int raw1394_lock(raw1394handle_t h, nodeid_t node, nodeaddr_t addr, unsigned int extcode, quadlet_t data,
                         quadlet_t arg, quadlet_t* result)
{
    Bus& b = bus();
    std::lock_guard<std::mutex> lock(b.mutex);
    if (!requestAllowed(b, h, node))
        return -1;
    if (!isCamcorder(b, node) || extcode != RAW1394_EXTCODE_COMPARE_SWAP || addr != kAddrOpcr0) {
        errno = EIO;
        return -1;
    }
    const quadlet_t old = b.opcr;
    if (old == ntohl(arg)) {
        b.opcr = ntohl(data);
        // The owner of a connection has restored it: the grace ends.
        if (((b.opcr >> 24) & 0x3F) > 0)
            b.graceUntil = -1;
    }
    if (result)
        *result = htonl(old);
    return 0;
}

SIM_API int raw1394_bandwidth_modify(raw1394handle_t h, unsigned int bandwidth, enum raw1394_modify_mode mode)
{
    Bus& b = bus();
    std::lock_guard<std::mutex> lock(b.mutex);
    if (h->generation != b.generation) {
        errno = EAGAIN;
        return -1;
    }
    const int bw = static_cast<int>(bandwidth);
    if (mode == RAW1394_MODIFY_ALLOC) {
        if (bw > b.bandwidth) {
            errno = EBUSY;
            return -1;
        }
        b.bandwidth -= bw;
    } else {
        b.bandwidth = std::min(4915, b.bandwidth + bw);
    }
    return 0;
}

SIM_API int raw1394_channel_modify(raw1394handle_t h, unsigned int channel, enum raw1394_modify_mode mode)
{
    Bus& b = bus();
    std::lock_guard<std::mutex> lock(b.mutex);
    if (h->generation != b.generation || channel > 63) {
        errno = channel > 63 ? EINVAL : EAGAIN;
        return -1;
    }
    const std::uint64_t bit = 1ull << (63 - channel);
    if (mode == RAW1394_MODIFY_ALLOC) {
        if (!(b.channels & bit)) {
            errno = EBUSY;
            return -1;
        }
        b.channels &= ~bit;
    } else {
        b.channels |= bit;
    }
    return 0;
}

SIM_API int raw1394_read_cycle_timer(raw1394handle_t, u_int32_t* cycleTimer, u_int64_t* localTime)
{
    Bus& b = bus();
    const Clock::time_point now = Clock::now();
    std::int64_t ticks;
    {
        std::lock_guard<std::mutex> lock(b.mutex);
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(now - b.origin).count();
        ticks = static_cast<std::int64_t>(static_cast<double>(ns) * 0.024576 * b.speed); // 24.576 MHz
    }
    const std::int64_t cycles = ticks / 3072;
    *cycleTimer = static_cast<u_int32_t>(((cycles / 8000) % 128) << 25 | (cycles % 8000) << 12 | ticks % 3072);
    if (localTime)
        *localTime = static_cast<u_int64_t>(
            std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
                .count());
    return 0;
}

SIM_API int raw1394_iso_recv_init(raw1394handle_t h, raw1394_iso_recv_handler_t handler, unsigned int bufPackets,
                                  unsigned int maxPacketSize, unsigned char channel, enum raw1394_iso_dma_recv_mode,
                                  int irqInterval)
{
    Bus& b = bus();
    std::lock_guard<std::mutex> lock(b.mutex);
    if (h->isoHandler || bufPackets == 0 || maxPacketSize == 0) {
        errno = h->isoHandler ? EBUSY : EINVAL;
        return -1;
    }
    h->isoHandler = handler;
    h->bufPackets = bufPackets;
    h->maxPacket = maxPacketSize;
    h->channel = channel;
    h->irqInterval = irqInterval < 0 ? std::max(1u, bufPackets / 4) : std::max(1, irqInterval);
    h->ringSlots = bufPackets * 4;
    h->ring.assign(static_cast<std::size_t>(h->ringSlots) * maxPacketSize, 0);
    h->ringLen.assign(h->ringSlots, 0);
    h->ringCycle.assign(h->ringSlots, 0);
    h->head = h->count = h->sinceSignal = 0;
    return 0;
}

SIM_API int raw1394_iso_recv_start(raw1394handle_t h, int, int, int)
{
    Bus& b = bus();
    std::lock_guard<std::mutex> lock(b.mutex);
    if (!h->isoHandler) {
        errno = EINVAL;
        return -1;
    }
    transmit(b, Clock::now()); // what went by before the start is not received
    h->lastTake = b.txCycle;
    h->isoRunning = true;
    return 0;
}

SIM_API int raw1394_iso_recv_flush(raw1394handle_t h)
{
    std::lock_guard<std::mutex> lock(bus().mutex);
    if (h->count > 0)
        signal(h);
    return 0;
}

SIM_API void raw1394_iso_stop(raw1394handle_t h)
{
    std::lock_guard<std::mutex> lock(bus().mutex);
    h->isoRunning = false;
    h->head = h->count = h->sinceSignal = 0;
}

SIM_API void raw1394_iso_shutdown(raw1394handle_t h)
{
    std::lock_guard<std::mutex> lock(bus().mutex);
    h->isoRunning = false;
    h->isoHandler = nullptr;
    h->head = h->count = 0;
}

SIM_API int raw1394_loop_iterate(raw1394handle_t h)
{
    std::uint64_t n;
    if (read(h->fd, &n, sizeof n) < 0 && errno != EINTR)
        return -1;
    Bus& b = bus();
    unsigned stall = 0;
    {
        std::lock_guard<std::mutex> lock(b.mutex);
        if (h->isoRunning)
            stall = static_cast<unsigned>(std::exchange(b.stallMs, 0u) / b.speed);
    }
    if (stall > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(stall)); // the receiving thread is held up
    std::deque<Event> events;
    unsigned packets = 0;
    std::vector<unsigned> lens, cycles;
    raw1394_iso_recv_handler_t iso;
    int channel;
    {
        std::lock_guard<std::mutex> lock(b.mutex);
        events.swap(h->events);
        iso = h->isoRunning ? h->isoHandler : nullptr;
        channel = h->channel;
        if (iso)
            h->lastTake = cycleAt(b, Clock::now());
        if (iso && h->count > 0) {
            packets = h->count;
            h->batch.resize(static_cast<std::size_t>(packets) * h->maxPacket);
            lens.resize(packets);
            cycles.resize(packets);
            for (unsigned i = 0; i < packets; ++i) {
                const unsigned slot = (h->head + i) % h->ringSlots;
                std::memcpy(h->batch.data() + static_cast<std::size_t>(i) * h->maxPacket,
                            h->ring.data() + static_cast<std::size_t>(slot) * h->maxPacket, h->ringLen[slot]);
                lens[i] = h->ringLen[slot];
                cycles[i] = h->ringCycle[slot];
            }
            h->head = (h->head + packets) % h->ringSlots;
            h->count = 0;
            h->sinceSignal = 0;
        }
    }
    for (Event& e : events) {
        if (e.kind == Event::BusReset) {
            if (h->resetHandler)
                h->resetHandler(h, e.generation);
            else
                h->generation = e.generation;
        } else if (h->fcpHandler) {
            h->fcpHandler(h, kCamcorderNode, 1, e.data.size(), e.data.data());
        }
    }
    for (unsigned i = 0; i < packets; ++i) {
        const auto d = iso(h, h->batch.data() + static_cast<std::size_t>(i) * h->maxPacket, lens[i],
                           static_cast<unsigned char>(channel), 1, 0, cycles[i], 0);
        if (d == RAW1394_ISO_ERROR)
            return -1;
        if (d == RAW1394_ISO_STOP) {
            raw1394_iso_stop(h);
            break;
        }
    }
    return 0;
}

// Needed only so that libiec61883 and libavc1394 link; the camcorder never
// receives from the computer.
SIM_API int raw1394_iso_xmit_init(raw1394handle_t, raw1394_iso_xmit_handler_t, unsigned int, unsigned int,
                                  unsigned char, enum raw1394_iso_speed, int)
{
    errno = ENOSYS;
    return -1;
}

SIM_API int raw1394_iso_xmit_start(raw1394handle_t, int, int)
{
    errno = ENOSYS;
    return -1;
}

SIM_API int raw1394_iso_xmit_sync(raw1394handle_t)
{
    errno = ENOSYS;
    return -1;
}

SIM_API int raw1394_arm_register(raw1394handle_t, nodeaddr_t, size_t, byte_t*, octlet_t, arm_options_t, arm_options_t,
                                 arm_options_t)
{
    errno = ENOSYS;
    return -1;
}

SIM_API int raw1394_arm_unregister(raw1394handle_t, nodeaddr_t)
{
    errno = ENOSYS;
    return -1;
}

SIM_API int raw1394_start_async_send(raw1394handle_t, size_t, size_t, unsigned int, quadlet_t*, unsigned long)
{
    errno = ENOSYS;
    return -1;
}

SIM_API int raw1394_errcode_to_errno(raw1394_errcode_t)
{
    return EIO;
}

SIM_API raw1394_errcode_t raw1394_get_errcode(raw1394handle_t)
{
    return 0;
}

// --- Control by tests ------------------------------------------------------------------------------

SIM_API int thsim1394_marker(void)
{
    return 1394;
}

namespace {

// A change the test makes to the bus, at the moment it makes it: what was
// sent before goes out first.
template <typename F>
void change(F&& f)
{
    Bus& b = bus();
    std::lock_guard<std::mutex> lock(b.mutex);
    setUp(b); // a test may act before the first handle opens
    transmit(b, Clock::now());
    f(b);
}

} // namespace

SIM_API void thsim1394_bus_reset(void)
{
    change([](Bus& b) {
        // Connections the owner does not restore within a second end.
        if (((b.opcr >> 24) & 0x3F) > 0)
            b.graceUntil = cycleAt(b, Clock::now()) + 8000;
        clearConnections(b);
        busReset(b);
    });
}

SIM_API void thsim1394_unplug(void)
{
    change([](Bus& b) {
        b.plugged = false;
        b.graceUntil = -1;
        clearConnections(b);
        busReset(b);
        mirror(b);
        uevent(b, "remove", false);
    });
}

SIM_API void thsim1394_unplug_unheard(void)
{
    change([](Bus& b) {
        if (!b.plugged)
            return;
        b.plugged = false;
        b.graceUntil = -1;
        clearConnections(b);
        ++b.generation; // the reset no handle hears
        mirror(b);
        uevent(b, "remove", false);
    });
}

SIM_API void thsim1394_replug(void)
{
    change([](Bus& b) {
        if (b.tapeFd < 0 || !b.card)
            return;
        b.plugged = true;
        clearConnections(b);
        busReset(b);
        mirror(b);
        uevent(b, "add", false);
    });
}

SIM_API void thsim1394_load_driver(int loaded)
{
    change([loaded](Bus& b) {
        if (b.card == (loaded != 0))
            return;
        b.card = loaded != 0;
        if (!b.card && b.plugged) {
            b.plugged = false;
            uevent(b, "remove", false);
        }
        clearConnections(b);
        busReset(b);
        mirror(b);
        uevent(b, b.card ? "add" : "remove", true);
    });
}

SIM_API void thsim1394_mirror(const char* root)
{
    change([root](Bus& b) {
        b.mirror = root ? root : "";
        mirror(b);
    });
}

SIM_API void thsim1394_udev(int available)
{
    change([available](Bus& b) { b.udev = available != 0; });
}

SIM_API void* thsim1394_udev_monitor_new(void)
{
    Bus& b = bus();
    std::lock_guard<std::mutex> lock(b.mutex);
    setUp(b);
    if (!b.udev)
        return nullptr;
    auto* m = new Monitor;
    m->fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    b.monitors.push_back(m);
    return m;
}

SIM_API int thsim1394_udev_monitor_fd(void* monitor)
{
    return static_cast<Monitor*>(monitor)->fd;
}

SIM_API int thsim1394_udev_monitor_next(void* monitor, struct thsim1394_uevent* event)
{
    Bus& b = bus();
    std::lock_guard<std::mutex> lock(b.mutex);
    auto* m = static_cast<Monitor*>(monitor);
    if (m->events.empty())
        return 0;
    *event = m->events.front();
    m->events.pop_front();
    if (m->events.empty()) {
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t n = read(m->fd, &count, sizeof count);
    }
    return 1;
}

SIM_API void thsim1394_udev_monitor_free(void* monitor)
{
    Bus& b = bus();
    auto* m = static_cast<Monitor*>(monitor);
    {
        std::lock_guard<std::mutex> lock(b.mutex);
        b.monitors.erase(std::remove(b.monitors.begin(), b.monitors.end(), m), b.monitors.end());
    }
    close(m->fd);
    delete m;
}

SIM_API void thsim1394_camera_mode(int camera)
{
    change([camera](Bus& b) {
        b.kind = camera ? Kind::Camera : Kind::Vcr;
        // The camcorder's units change: it leaves the bus and comes back.
        clearConnections(b);
        busReset(b);
    });
}

SIM_API void thsim1394_insert_tape(const char* path, int signalAt, int quietIdle)
{
    change([path, signalAt, quietIdle](Bus& b) {
        b.quietIdle = quietIdle != 0;
        b.signalAt = signalAt == 0 ? SignalAt::Tape : signalAt == 1 ? SignalAt::Unit : SignalAt::Nowhere;
        b.plugged = loadTape(b, path) && b.card;
    });
}

SIM_API void thsim1394_lose_packets(unsigned packets)
{
    change([packets](Bus& b) { b.loseData += packets; });
}

SIM_API void thsim1394_wind(double factor)
{
    change([factor](Bus& b) { b.windFactor = std::max(0.001, factor); });
}

SIM_API int thsim1394_searching(void)
{
    Bus& b = bus();
    std::lock_guard<std::mutex> lock(b.mutex);
    setUp(b);
    settle(b, slotOf(b, cycleAt(b, Clock::now())));
    return b.deck.seeking ? 1 : 0;
}

SIM_API void thsim1394_stall_receiver(unsigned ms)
{
    change([ms](Bus& b) { b.stallMs = ms; });
}

SIM_API void thsim1394_overrun(unsigned cycles)
{
    change([cycles](Bus& b) { b.overrun += cycles; });
}

SIM_API int thsim1394_connections(void)
{
    Bus& b = bus();
    std::lock_guard<std::mutex> lock(b.mutex);
    setUp(b); // a test may act before the first handle opens
    return static_cast<int>((b.opcr >> 24) & 0x3F);
}


SIM_API long long thsim1394_head(void)
{
    Bus& b = bus();
    std::lock_guard<std::mutex> lock(b.mutex);
    setUp(b); // a test may act before the first handle opens
    const std::int64_t slot = slotOf(b, cycleAt(b, Clock::now()));
    settle(b, slot);
    return static_cast<long long>(std::floor(std::clamp(position(b, slot), 0.0, static_cast<double>(b.length))));
}
