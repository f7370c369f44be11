#pragma once
// A DV camcorder or deck on the FireWire bus (AV/C tape unit, IEC 61883 DV
// stream), on libraw1394, libiec61883 and libavc1394/librom1394.
//
// Transport. Every mode is sent as an explicit AV/C PLAY or WIND control
// command whose answer is read (ACCEPTED: done; REJECTED, NOT IMPLEMENTED or
// no answer: the call fails and says which); the mode is read back from the
// deck with TRANSPORT STATE. Raw commands go to the deck as they are given
// (a 525/60 absolute track number seek with the number of its frame on the
// tape, where the engine's counts time-code labels), and the call returns
// once the deck has taken the command (INTERIM or ACCEPTED), as the virtual
// camcorder does: a search goes on in the deck, its end is read back from
// the deck's state and time code, and any other transport command ends it.
// A REJECTED answer gives ERROR_REQUEST_ABORTED (1235). No AV/C transaction
// is held for longer than the deck takes to answer. Time code: from the
// frames while the stream runs and the tape was not told to move since,
// otherwise asked with the TIME CODE status command.
//
// Television system. OUTPUT SIGNAL MODE is a command of the tape subunit, and
// decks answer it there, at the unit, or nowhere: it is asked at the subunit,
// then at the unit, and when neither answers the stream is listened to (the
// CIP header of every packet, empty ones too, carries the 50/60 flag). The
// frames that arrive are the truth: a stream whose frames are of the other
// system changes the device's system (learnSystem), for the graphs built after.
//
// Streaming. A stream connects the camcorder's output plug (IEC 61883-1
// point-to-point, restored after every bus reset, within the 1 s the camcorder
// keeps sending) and receives its isochronous packets on a handle of its own,
// assembling frames itself so that every frame lost on the bus, in an overrun
// of the receive buffer or incomplete is counted in its place
// (DvPacketAssembler.h). Packets are received on a thread of the stream's
// own that does nothing else, so the one-second receive buffer never overruns
// while the caller of next() is held up downstream; up to kStreamQueueFrames
// assembled frames wait for it, older ones are counted as lost in their place.
// No Qt.

#include "platform/dshow/ExtInterfaces.h"
#include "platform/dv/DifLayout.h"
#include "platform/dv/DvPacketAssembler.h"
#include "platform/dv/DvSource.h"
#include "platform/dv/VirtualCamcorder.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>
#include <condition_variable>

#include <libraw1394/raw1394.h>

namespace th::dv {

class AvcUnit;

struct FireWireCamcorder {
    int node = -1;
    std::uint64_t guid = 0;
    std::string model;
    DeviceKind kind = DeviceKind::Vcr;
};

// The AV/C units on the bus with a tape or camera subunit. Empty without a
// FireWire controller, without a camcorder, or without permission to open it
// (diagnoseFireWire tells which).
TH_DV_API std::vector<FireWireCamcorder> findFireWireCamcorders();

class Ieee1394Stream;

// Frames that wait for next(): two seconds of video.
inline constexpr std::size_t kStreamQueueFrames = 50;

class TH_DV_API Ieee1394Device : public std::enable_shared_from_this<Ieee1394Device>, public DvSource {
public:
    // Opens the camcorder; null (and *error) when it cannot be reached.
    static std::shared_ptr<Ieee1394Device> open(const FireWireCamcorder& camcorder, std::string* error);
    ~Ieee1394Device();

    const FireWireCamcorder& camcorder() const { return camcorder_; }
    DeviceKind kind() const { return camcorder_.kind; }
    dif::System system() const { return system_.load(); }
    // False while the system is only assumed (the deck did not say, no packet came yet).
    bool systemKnown() const { return systemKnown_.load(); }
    std::size_t frameSize() const override { return dif::frameSize(system()); }
    DVINFO dvInfo() const override;
    REFERENCE_TIME framePeriod() const override;
    // The deck's stream carries `system`: true when the device took it for the other one.
    bool learnSystem(dif::System system);
    // Asks the deck again which signal it sends (a cassette may have changed).
    void findSystem();

    void setPresent(bool present) { present_ = present; }
    bool present() const override { return present_.load(); }

    HRESULT deviceType(LONG* value) override;
    HRESULT putMode(LONG mode) override;
    HRESULT getMode(LONG* mode) override;
    HRESULT inputSignal(LONG* value) override;
    HRESULT rawCommand(BYTE* command, LONG length) override;
    HRESULT timecode(DWORD* bcd) override;

    // One run's frames; null (and *error) when the plug cannot be connected.
    std::unique_ptr<Ieee1394Stream> openStream(std::string* error);
    // A run of the filter over openStream (DvDeviceFilterFireWire.cpp).
    std::unique_ptr<DvStream> openRun(std::size_t frameSize, std::string* error) override;

private:
    friend class Ieee1394Stream;
    explicit Ieee1394Device(const FireWireCamcorder& camcorder);
    // A control or status command; the answer, or the failure as an HRESULT.
    HRESULT command(std::initializer_list<std::uint8_t> bytes, std::vector<std::uint8_t>* answer,
                    std::chrono::milliseconds deadline = std::chrono::seconds(2));
    void noteFrameTimecode(std::int64_t bcd);
    // The tape was told to move: the last frame's time code is no longer where it is.
    void forgetFrameTimecode();
    // The system the CIP headers of the deck's stream name; None when nothing came.
    dif::System listenForSystem();

    FireWireCamcorder camcorder_;
    std::unique_ptr<AvcUnit> avc_;
    std::atomic<dif::System> system_{dif::System::Pal625_50};
    std::atomic<bool> systemKnown_{false};
    std::atomic<bool> longPlay_{false};
    mutable std::mutex infoMutex_; // guards dvInfo_ and dvInfoSet_
    DVINFO dvInfo_{};
    bool dvInfoSet_ = false;
    std::atomic<bool> present_{true};
    // The time code of the last frame a stream received, and when.
    std::mutex timecodeMutex_;
    std::int64_t frameTimecode_ = -1;
    std::chrono::steady_clock::time_point frameTimecodeAt_{};
};

class TH_DV_API Ieee1394Stream {
public:
    struct Result {
        enum Kind { Frame, Missed, Idle, Stop } kind = Idle;
        std::int64_t slot = 0;   // frame periods since the stream began
        std::int64_t count = 0;  // Missed: frame periods lost from `slot` on
        FrameLoss why = FrameLoss::Bus;
    };

    ~Ieee1394Stream();
    Ieee1394Stream(const Ieee1394Stream&) = delete;
    Ieee1394Stream& operator=(const Ieee1394Stream&) = delete;

    // The next frame (copied into `into`, at least frameSize() bytes), the
    // next frames lost, Idle after `timeout` without either, Stop after wake().
    Result next(std::span<std::uint8_t> into, std::chrono::milliseconds timeout);
    // Makes next() return Stop, now and from now on.
    void wake();
    // CPU seconds the receiving thread has used.
    double receiverCpuSeconds();
    // Bus resets survived (the connection restored each time).
    int reconnections() const { return reconnections_.load(); }
    // The system the packets' CIP headers name; None before the first packet.
    dif::System cipSystem() const { return cipSystem_.load(); }
    // Waits up to `timeout` for the first packet; its CIP header's system.
    dif::System waitForCip(std::chrono::milliseconds timeout);

private:
    friend class Ieee1394Device;
    explicit Ieee1394Stream(std::shared_ptr<Ieee1394Device> device);
    bool start(std::string* error);
    void busReset();
    void receive();
    // The receiving thread cannot go on: said once, and the bus is looked at.
    void receiveFailed(const char* what, int error);
    void push(Result result, const std::uint8_t* frame, std::size_t size);
    // The bus clock (cycles, not wrapping in 128 s); false when it cannot be read.
    bool readBusClock(std::int64_t* cycles);
    // Whole seconds a packet of `cycle` came after the last one beyond what
    // its cycle shows; `lost`: data packets were lost before it.
    unsigned secondsSkipped(unsigned cycle, bool lost);
    static int onBusReset(raw1394_handle* handle, unsigned int generation);
    static enum raw1394_iso_disposition onPacket(raw1394_handle* handle, unsigned char* data, unsigned int length,
                                                 unsigned char channel, unsigned char tag, unsigned char sy,
                                                 unsigned int cycle, unsigned int dropped);

    std::shared_ptr<Ieee1394Device> device_;
    raw1394_handle* handle_ = nullptr;
    int wakeFd_ = -1;
    std::atomic<bool> stop_{false};
    int node_ = -1;
    int oplug_ = -1, iplug_ = -1, bandwidth_ = 0, channel_ = -1;
    bool receiving_ = false;
    bool resetPending_ = false;
    std::atomic<int> reconnections_{0};
    std::atomic<dif::System> cipSystem_{dif::System::None};
    DvPacketAssembler assembler_; // receiving thread only
    bool framed_ = false;          // a frame came (receiving thread only)
    // The bus clock around the packets of one pass of the loop (receiving
    // thread only): a gap longer than the cycle count's one second is measured on it.
    bool clock_ = true;
    std::int64_t busClock_ = -1;
    std::int64_t floor_ = 0, ceiling_ = 0;
    bool passStarts_ = true;
    std::int64_t lastPacket_ = -1;
    std::chrono::steady_clock::time_point loopAt_{}, awayUntil_{};
    bool overrunPossible_ = false;
    bool dbcKnown_ = false;
    std::uint8_t nextDbc_ = 0;
    // Packets received, and when they last came (receiving thread only).
    std::int64_t packets_ = 0, packetsSeen_ = 0;
    std::chrono::steady_clock::time_point lastHeard_{};
    bool silenceChecked_ = false;
    std::thread thread_;
    std::mutex mutex_; // guards what follows
    std::condition_variable ready_;
    std::deque<Result> results_;
    std::deque<std::vector<std::uint8_t>> frames_; // the frames of the Frame results, in order
    std::vector<std::vector<std::uint8_t>> spare_;
};

} // namespace th::dv
