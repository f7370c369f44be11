// The virtual camcorder through the interfaces the capture engine uses: the
// device enumerator, a graph with its filter, the transport, the time code
// reader, the raw AV/C seek, the dropped-frame counts, and plugging.
#include "DvDeviceSupport.h"

#include "platform/dv/VirtualCamcorder.h"
#include "platform/win/Windows.h"
#include "support/TestUtil.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <atomic>
#include <thread>

using namespace th;
using namespace std::chrono_literals;
using dvtest::Rig;
using dvtest::TapeDescription;

namespace {

constexpr auto kPal = dif::System::Pal625_50;
constexpr auto kNtsc = dif::System::Ntsc525_60;

class Camcorder : public ::testing::Test {
protected:
    void TearDown() override { dv::removeCamcorder(); }

    std::string tape(const TapeDescription& desc, const std::string& name = "tape.dv")
    {
        return dvtest::writeTape(dir.file(name), desc);
    }

    void configure(const std::string& path, double speed, dv::DeviceKind kind = dv::DeviceKind::Vcr,
                   std::int64_t blank = -1)
    {
        dv::CamcorderSettings s;
        s.tapePath = path;
        s.speed = speed;
        s.kind = kind;
        s.blankFrames = blank;
        std::string error;
        ASSERT_TRUE(dv::configureCamcorder(s, &error)) << error;
    }

    static bool waitFor(const std::function<bool()>& pred, std::chrono::milliseconds timeout = 10s)
    {
        const auto until = std::chrono::steady_clock::now() + timeout;
        while (!pred()) {
            if (std::chrono::steady_clock::now() > until)
                return false;
            std::this_thread::sleep_for(2ms);
        }
        return true;
    }

    test::TempDir dir;
};

std::vector<LONGLONG> mediaTimes(const std::vector<dvtest::Got>& got)
{
    std::vector<LONGLONG> m;
    for (const auto& g : got)
        m.push_back(g.media);
    return m;
}

// Records what is posted to it, on any thread.
class Recorder : public win::MessageSink {
public:
    struct Posted {
        UINT msg;
        WPARAM wParam;
        std::vector<std::byte> block;
    };
    void post(const TMessage& m, std::shared_ptr<std::vector<std::byte>> block) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        posted.push_back({m.Msg, m.WParam, block ? *block : std::vector<std::byte>{}});
    }
    std::vector<Posted> take()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return std::exchange(posted, {});
    }
    std::mutex mutex;
    std::vector<Posted> posted;
};

} // namespace

// --- Discovery and bad tapes --------------------------------------------------------------

TEST_F(Camcorder, IsListedByItsFriendlyNameOnlyWhileATapeIsConfigured)
{
    EXPECT_TRUE(dvtest::videoInputNames().empty());
    EXPECT_FALSE(dv::camcorderPresent());
    configure(tape({}), 1);
    EXPECT_EQ(dvtest::videoInputNames(), std::vector<std::u16string>{dv::kCamcorderFriendlyName});
    EXPECT_TRUE(dvtest::findDevice());
    dv::removeCamcorder();
    EXPECT_TRUE(dvtest::videoInputNames().empty());
    EXPECT_FALSE(dv::plugCamcorder());
}

TEST_F(Camcorder, ATapeThatIsMissingUnreadableOrNotDvGivesNoDeviceAndOneMessage)
{
    const std::string good = tape({});
    const std::string empty = dir.file("empty.dv");
    std::ofstream(empty).close();
    const std::string garbage = dir.file("garbage.dv");
    {
        std::ofstream f(garbage, std::ios::binary);
        for (int i = 0; i < 300000; ++i)
            f.put(static_cast<char>(i * 31 + 7));
    }
    const std::string shortFile = dir.file("short.dv");
    {
        std::ofstream f(shortFile, std::ios::binary);
        f << std::string(1000, '\x1f');
    }
    const std::string unreadable = dir.file("unreadable.dv");
    std::ofstream(unreadable) << "x";
    ::chmod(unreadable.c_str(), 0);
    const bool root = ::access(unreadable.c_str(), R_OK) == 0;

    std::vector<std::string> bad = {dir.file("missing.dv"), empty, garbage, shortFile, dir.path()};
    if (!root)
        bad.push_back(unreadable);
    for (const std::string& path : bad) {
        SCOPED_TRACE(path);
        configure(good, 1);
        ASSERT_TRUE(dv::camcorderPresent());
        dv::CamcorderSettings s;
        s.tapePath = path;
        std::string error;
        ::testing::internal::CaptureStderr();
        EXPECT_FALSE(dv::configureCamcorder(s, &error));
        const std::string printed = ::testing::internal::GetCapturedStderr();
        EXPECT_NE(error.find(path), std::string::npos) << error;
        EXPECT_EQ(std::count(printed.begin(), printed.end(), '\n'), 1) << printed;
        EXPECT_NE(printed.find(error), std::string::npos);
        EXPECT_FALSE(dv::camcorderPresent());
        EXPECT_TRUE(dvtest::videoInputNames().empty());
    }
}

TEST_F(Camcorder, TheEnvironmentConfiguresItAndBadValuesAreRefusedWithOneMessage)
{
    const std::string good = tape({});
    struct Case {
        const char* tape;
        const char* mode;
        const char* speed;
        bool ok;
        dv::DeviceKind kind;
    };
    const Case cases[] = {
        {good.c_str(), nullptr, nullptr, true, dv::DeviceKind::Vcr},
        {good.c_str(), "camera", "4", true, dv::DeviceKind::Camera},
        {good.c_str(), "VCR", "0", true, dv::DeviceKind::Vcr},
        {good.c_str(), "tripod", nullptr, false, dv::DeviceKind::None},
        {good.c_str(), nullptr, "fast", false, dv::DeviceKind::None},
        {good.c_str(), nullptr, "-1", false, dv::DeviceKind::None},
        {"/nonexistent/tape.dv", nullptr, nullptr, false, dv::DeviceKind::None},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.tape) + " " + (c.mode ? c.mode : "-") + " " + (c.speed ? c.speed : "-"));
        ::setenv("THARVEST_DV_TAPE", c.tape, 1);
        c.mode ? ::setenv("THARVEST_DV_MODE", c.mode, 1) : ::unsetenv("THARVEST_DV_MODE");
        c.speed ? ::setenv("THARVEST_DV_SPEED", c.speed, 1) : ::unsetenv("THARVEST_DV_SPEED");
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(dv::configureCamcorderFromEnvironment(), c.ok);
        const std::string printed = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(std::count(printed.begin(), printed.end(), '\n'), c.ok ? 0 : 1) << printed;
        EXPECT_EQ(dv::camcorderPresent(), c.ok);
        if (c.ok) {
            ComPtr<IBaseFilter> f = dvtest::findDevice();
            ASSERT_TRUE(f);
            LONG type = 0;
            f.As<IAMExtDevice>()->GetCapability(ED_DEVCAP_DEVICE_TYPE, &type, nullptr);
            EXPECT_EQ(type, c.kind == dv::DeviceKind::Camera ? ED_DEVTYPE_CAMERA : ED_DEVTYPE_VCR);
        }
    }
    ::unsetenv("THARVEST_DV_TAPE");
    ::testing::internal::CaptureStderr();
    EXPECT_TRUE(dv::configureCamcorderFromEnvironment());
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_FALSE(dv::camcorderPresent());
}

TEST_F(Camcorder, LoadingTheLibraryConfiguresItFromTheEnvironment)
{
    const std::string good = tape({});
    const std::string check = std::string(TH_BINARY_DIR) + "/tests/th_dv_loadcheck";
    const std::string out = dir.file("out.txt"), err = dir.file("err.txt");
    struct Case {
        const char* tape;
        const char* mode;
        std::string listed;
        int messages;
    };
    const Case cases[] = {
        {good.c_str(), nullptr, "Microsoft DV Camera and VCR vcr\n", 0},
        {good.c_str(), "camera", "Microsoft DV Camera and VCR camera\n", 0},
        {nullptr, nullptr, "", 0},
        {"/nonexistent/tape.dv", nullptr, "", 1},
        {good.c_str(), "deck", "", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.tape ? c.tape : "-") + " " + (c.mode ? c.mode : "-"));
        c.tape ? ::setenv("THARVEST_DV_TAPE", c.tape, 1) : ::unsetenv("THARVEST_DV_TAPE");
        c.mode ? ::setenv("THARVEST_DV_MODE", c.mode, 1) : ::unsetenv("THARVEST_DV_MODE");
        ASSERT_EQ(dvtest::runTool(check, {}, out, err), 0);
        EXPECT_EQ(dvtest::readFile(out), c.listed);
        const std::string printed = dvtest::readFile(err);
        EXPECT_EQ(std::count(printed.begin(), printed.end(), '\n'), c.messages) << printed;
    }
    ::unsetenv("THARVEST_DV_TAPE");
    ::unsetenv("THARVEST_DV_MODE");
}

// --- The filter and its stream -------------------------------------------------------------

// (What both devices offer is in DvDeviceTest.cpp.)
TEST_F(Camcorder, OffersTheLongPlaySignalOfItsTape)
{
    for (const auto system : {kPal, kNtsc}) {
        SCOPED_TRACE(static_cast<int>(system));
        TapeDescription desc;
        desc.system = system;
        desc.longPlay = true;
        configure(tape(desc), 1);
        Rig rig;
        ASSERT_TRUE(rig.build());
        ComPtr<IPin> out;
        rig.device->FindPin(u"DV A/V Out", out.ReleaseAndGetAddressOf());
        AM_MEDIA_TYPE mt{};
        ASSERT_EQ(out->ConnectionMediaType(&mt), S_OK);
        ASSERT_EQ(mt.cbFormat, sizeof(DVINFO));
        DVINFO info;
        std::memcpy(&info, mt.pbFormat, sizeof info);
        EXPECT_EQ((info.dwDVVAuxSrc >> 16) & 0x1F, 1u); // STYPE: SDL
        th::dshow::FreeMediaTypeContents(mt);
        LONG signal = 0;
        EXPECT_EQ(rig.transport->GetTransportBasicParameters(ED_TRANSBASIC_INPUT_SIGNAL, &signal, nullptr), S_OK);
        EXPECT_EQ(signal, system == kPal ? ED_TRANSBASIC_SIGNAL_625_50_SDL : ED_TRANSBASIC_SIGNAL_525_60_SDL);
    }
}

TEST_F(Camcorder, StreamTimesStartAtTheRunAndCountsAtEachStart)
{
    TapeDescription desc;
    desc.frames = 400;
    configure(tape(desc), 10);
    Rig rig;
    ASSERT_TRUE(rig.build());
    rig.setMode(ED_MODE_PLAY);
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run);
        const std::size_t before = rig.sink->count();
        ASSERT_EQ(rig.control->Run(), S_OK);
        ASSERT_TRUE(rig.sink->waitForCount(before + 20));
        ASSERT_EQ(rig.control->Stop(), S_OK);
        const auto got = rig.sink->samples();
        EXPECT_EQ(got[before].start, 0);
        EXPECT_TRUE(got[before].discontinuity);
        LONG delivered = 0;
        rig.dropped->GetNumNotDropped(&delivered);
        EXPECT_EQ(static_cast<std::size_t>(delivered), got.size() - before);
        // The tape went on while the graph was stopped.
        EXPECT_GT(got.back().media, got[before].media);
    }
    // Paused: a live source sends nothing.
    ASSERT_EQ(rig.control->Run(), S_OK);
    ASSERT_TRUE(rig.sink->waitForCount(rig.sink->count() + 3));
    rig.control->Pause();
    FILTER_STATE state;
    EXPECT_EQ(rig.device->GetState(0, &state), VFW_S_CANT_CUE);
    const std::size_t paused = rig.sink->count();
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(rig.sink->count(), paused);
    rig.control->Stop();
}

TEST_F(Camcorder, AtnSeekBeyondTheRecordingIsAbortedAndOtherCommandsRefused)
{
    TapeDescription desc;
    desc.frames = 50;
    configure(tape(desc), 1, dv::DeviceKind::Vcr, 500);
    Rig rig;
    ASSERT_TRUE(rig.build());
    rig.seekTrack(dvtest::trackNumberFor(kPal, {0, 0, 1, 0}));
    BYTE answer[8];
    // The last recorded frame is 00:00:01:24; the next is blank tape.
    EXPECT_EQ(rig.seekTrack(dvtest::trackNumberFor(kPal, {0, 0, 1, 24}), answer), S_OK);
    // Beyond it the deck cannot know at once: it takes the seek, winds to the
    // end of the recording and stops on the blank tape after it; sent there
    // again, it refuses at once.
    EXPECT_EQ(rig.seekTrack(dvtest::trackNumberFor(kPal, {0, 0, 2, 0}), answer), S_OK);
    EXPECT_EQ(answer[0], 0x0F); // INTERIM
    EXPECT_EQ(rig.mode(), ED_MODE_STOP);
    EXPECT_FALSE(rig.timecode()) << "blank tape";
    EXPECT_EQ(rig.seekTrack(dvtest::trackNumberFor(kPal, {5, 0, 0, 0}), answer), 1235);
    EXPECT_EQ(answer[0], 0x0A); // REJECTED
    EXPECT_EQ(rig.seekTrack(dvtest::trackNumberFor(kPal, {0, 0, 1, 24})), S_OK);
    EXPECT_EQ(rig.timecode(), std::optional<DWORD>(0x00000124u));
    // Record is refused: the cassette is protected.
    EXPECT_EQ(rig.setMode(ED_MODE_RECORD), HRESULT_FROM_WIN32(dv::kErrorWriteProtect));

    const BYTE others[][8] = {
        {0x00, 0x20, 0xC3, 0x75, 0xFF, 0xFF, 0xFF, 0xFF}, // PLAY
        {0x01, 0x20, 0x52, 0x20, 0x70, 0x02, 0x00, 0xFF}, // status, not control
        {0x00, 0x20, 0x52, 0x20, 0x70, 0x02, 0x00, 0x00},
        {0x00, 0x28, 0x52, 0x20, 0x70, 0x02, 0x00, 0xFF}, // another subunit
    };
    for (const auto& cmd : others) {
        BYTE buffer[8];
        std::memcpy(buffer, cmd, 8);
        LONG length = 8;
        EXPECT_EQ(rig.transport->GetTransportBasicParameters(ED_RAW_EXT_DEV_CMD, &length,
                                                             reinterpret_cast<LPOLESTR*>(buffer)),
                  HRESULT_FROM_WIN32(dv::kErrorNotSupported));
        EXPECT_EQ(buffer[0], 0x08); // NOT IMPLEMENTED
    }
    BYTE shortCmd[4] = {0x00, 0x20, 0x52, 0x20};
    LONG length = 4;
    EXPECT_TRUE(FAILED(rig.transport->GetTransportBasicParameters(ED_RAW_EXT_DEV_CMD, &length,
                                                                  reinterpret_cast<LPOLESTR*>(shortCmd))));
    EXPECT_EQ(rig.timecode(), std::optional<DWORD>(0x00000124u));
}

// As a deck's head reads it: a frame cut short is lost and the frames after
// it are found by their headers; blank tape passes with no signal, nothing
// delivered and nothing counted as lost.
TEST_F(Camcorder, ADamagedFrameIsDroppedInItsPlaceAndACutOffTailIsNotTape)
{
    TapeDescription desc;
    desc.frames = 30;
    desc.damaged = {10, 11};
    desc.tailBytes = 5000;
    desc.blank = {0, 1, 2};
    desc.cutShort = 20;
    configure(tape(desc), 20, dv::DeviceKind::Vcr, 5);
    Rig rig;
    ASSERT_TRUE(rig.build());
    rig.control->Run();
    rig.setMode(ED_MODE_PLAY);
    ASSERT_TRUE(waitFor([&] { return rig.mode() == ED_MODE_STOP; }));
    rig.sink->waitQuiet(100ms);
    const auto got = rig.sink->samples();
    ASSERT_EQ(got.size(), 24u);
    // The damaged frames are dropped and keep their places; after the blank
    // leader the media times count only what the head read.
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_NE(got[i].index, 10);
        EXPECT_NE(got[i].index, 20);
        EXPECT_EQ(got[i].media + 3, got[i].index) << i;
    }
    EXPECT_EQ(got.back().index, 29) << "the frames after the short one are the tape's";
    LONG dropped = -1;
    rig.dropped->GetNumDropped(&dropped);
    EXPECT_EQ(dropped, 3);
    EXPECT_EQ(rig.droppedFor(dv::DropReason::Damaged), 3) << "kept by reason";
    ASSERT_EQ(rig.seekTrack(dvtest::trackNumberFor(kPal, {0, 0, 0, 10})), S_OK);
    EXPECT_FALSE(rig.timecode());
    // 30 whole frames: the cut-off one is not a place to seek to; the deck
    // winds past it to the blank tape.
    EXPECT_EQ(rig.seekTrack(dvtest::trackNumberFor(kPal, {0, 0, 1, 5})), S_OK);
    EXPECT_FALSE(rig.timecode());
    rig.control->Stop();
}

// --- Late downstream filters ------------------------------------------------------------------

TEST_F(Camcorder, AtRealTimeALateDownstreamMakesItDropFramesLeavingGaps)
{
    TapeDescription desc;
    desc.frames = 200;
    configure(tape(desc), 1);
    Rig rig;
    ASSERT_TRUE(rig.build());
    // Every tenth frame held up for 40 frame periods, longer than the deck
    // holds the frames that passed: the rest of them go by.
    rig.sink->setDelay(10, 1600ms);
    rig.setMode(ED_MODE_PLAY);
    ASSERT_EQ(rig.control->Run(), S_OK);
    // The deck is asked where it is all the while, as a time-code display
    // does: that must not hide a single drop.
    std::atomic<bool> polling{true};
    std::thread poller([&] {
        while (polling.load()) {
            rig.mode();
            rig.timecode();
            std::this_thread::sleep_for(2ms);
        }
    });
    const bool came = rig.sink->waitForCount(25);
    polling = false;
    poller.join();
    ASSERT_TRUE(came);
    rig.control->Stop();
    const auto got = rig.sink->samples();
    LONG dropped = 0, delivered = 0;
    rig.dropped->GetNumDropped(&dropped);
    rig.dropped->GetNumNotDropped(&delivered);
    EXPECT_EQ(static_cast<std::size_t>(delivered), got.size());
    EXPECT_GE(dropped, 8);
    // Every frame that went by undelivered is a gap in the media times, and in the stream times.
    LONGLONG gaps = 0;
    for (std::size_t i = 1; i < got.size(); ++i) {
        ASSERT_GE(got[i].media - got[i - 1].media, 1);
        gaps += got[i].media - got[i - 1].media - 1;
        EXPECT_EQ(got[i].start - got[i - 1].start, (got[i].media - got[i - 1].media) * 400000);
    }
    // Frames that went by before the first one came count as well: every
    // frame period of the run is a frame delivered or dropped.
    const LONGLONG before = got.front().start / 400000;
    EXPECT_EQ(gaps + before, dropped);
    // Gone by while the thread was held up, or while every buffer was downstream.
    EXPECT_EQ(rig.droppedFor(dv::DropReason::Late) + rig.droppedFor(dv::DropReason::NoBuffer), dropped);
    EXPECT_GT(rig.droppedFor(dv::DropReason::Late), 0);
    EXPECT_EQ(got.back().start / 400000 + 1, static_cast<LONGLONG>(got.size()) + dropped);
    std::vector<LONG> droppedSlots(64);
    LONG copied = 0;
    ASSERT_EQ(rig.dropped->GetDroppedInfo(64, droppedSlots.data(), &copied), S_OK);
    EXPECT_EQ(copied, std::min<LONG>(dropped, 64));
    for (LONG i = 0; i < copied; ++i)
        for (const auto& g : got)
            EXPECT_NE(g.start, droppedSlots[static_cast<std::size_t>(i)] * 400000LL);
}

// The refused frame lies past the end of what the files hold: like any frame
// after the last one taken it is not counted.
TEST_F(Camcorder, ASampleRefusedDownstreamEndsTheRunBeforeIt)
{
    TapeDescription desc;
    desc.frames = 100;
    configure(tape(desc), 4);
    Rig rig;
    ASSERT_TRUE(rig.build());
    rig.sink->refuseAfter(10);
    rig.setMode(ED_MODE_PLAY);
    ASSERT_EQ(rig.control->Run(), S_OK);
    ASSERT_TRUE(waitFor([&] { return rig.sink->endOfStream(); })) << "the end of the stream is sent";
    LONG dropped = -1, delivered = -1;
    rig.dropped->GetNumDropped(&dropped);
    rig.dropped->GetNumNotDropped(&delivered);
    EXPECT_EQ(delivered, 10);
    EXPECT_EQ(dropped, 0);
    rig.control->Stop();
}

TEST_F(Camcorder, FasterThanRealTimeTheTapeWaitsForALateDownstream)
{
    TapeDescription desc;
    desc.frames = 60;
    configure(tape(desc), 0, dv::DeviceKind::Vcr, 0);
    Rig rig;
    ASSERT_TRUE(rig.build());
    rig.sink->setDelay(7, 30ms);
    ASSERT_EQ(rig.control->Run(), S_OK);
    rig.setMode(ED_MODE_PLAY);
    ASSERT_TRUE(waitFor([&] { return rig.mode() == ED_MODE_STOP; }));
    rig.sink->waitQuiet(100ms);
    rig.control->Stop();
    const auto media = mediaTimes(rig.sink->samples());
    std::string seen;
    for (auto m : media)
        seen += std::to_string(m) + " ";
    ASSERT_EQ(media.size(), 60u) << seen;
    for (std::size_t i = 0; i < media.size(); ++i)
        EXPECT_EQ(media[i], static_cast<LONGLONG>(i));
    LONG dropped = -1;
    rig.dropped->GetNumDropped(&dropped);
    EXPECT_EQ(dropped, 0);
}

TEST_F(Camcorder, StopReturnsWhileTheDownstreamHoldsEveryBufferOrIsParked)
{
    TapeDescription desc;
    desc.frames = 500;
    for (double speed : {1.0, 0.0}) {
        SCOPED_TRACE(speed);
        configure(tape(desc), speed);
        Rig rig;
        ASSERT_TRUE(rig.build());
        // Without a running graph a fast tape runs on by itself: play from the start each time.
        auto playFromStart = [&] {
            EXPECT_EQ(rig.seekTrack(24), S_OK);
            EXPECT_EQ(rig.setMode(ED_MODE_PLAY), S_OK);
        };
        // The pool runs dry: the device waits for buffers that never come.
        rig.sink->setHoldSamples(true);
        ASSERT_EQ(rig.control->Run(), S_OK);
        playFromStart();
        ASSERT_TRUE(rig.sink->waitForCount(dv::kDeviceBuffers));
        std::this_thread::sleep_for(100ms);
        EXPECT_EQ(rig.sink->count(), static_cast<std::size_t>(dv::kDeviceBuffers));
        // Stop has no deadline of its own: one that waited for the buffers
        // would never return. The bound only turns that hang into a failure.
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(rig.control->Stop(), S_OK);
        EXPECT_LT(std::chrono::steady_clock::now() - t0, 30s);
        rig.sink->setHoldSamples(false);

        // A callback waits for a lock the stopping thread holds: Stop leaves it
        // parked and returns; when it comes back nothing more is delivered.
        rig.sink->setBlockNext(true);
        ASSERT_EQ(rig.control->Run(), S_OK);
        playFromStart();
        ASSERT_TRUE(rig.sink->blocked());
        t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(rig.control->Stop(), S_OK);
        EXPECT_LT(std::chrono::steady_clock::now() - t0, 30s);
        const std::size_t n = rig.sink->count();
        rig.sink->unblock();
        std::this_thread::sleep_for(100ms);
        EXPECT_EQ(rig.sink->count(), n);
        // And it runs again.
        ASSERT_EQ(rig.control->Run(), S_OK);
        playFromStart();
        ASSERT_TRUE(rig.sink->waitForCount(n + 3));
        rig.control->Stop();
    }
}

// --- Presence ---------------------------------------------------------------------------------

TEST_F(Camcorder, UnplugWhileStreamingStopsDeliveryAndPostsTheEventOnce)
{
    TapeDescription desc;
    desc.frames = 2000;
    configure(tape(desc), 4);
    Recorder recorder;
    HWND target = win::RegisterMessageSink(&recorder);
    DEV_BROADCAST_DEVICEINTERFACE filter{};
    filter.dbcc_size = 32;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = dv::kCaptureInterfaceClass;
    HDEVNOTIFY notify = RegisterDeviceNotification(target, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    ASSERT_TRUE(notify);

    Rig rig;
    ASSERT_TRUE(rig.build());
    ComPtr<IMoniker> moniker;
    ASSERT_TRUE(dvtest::findDevice(&moniker));
    rig.setMode(ED_MODE_PLAY);
    ASSERT_EQ(rig.control->Run(), S_OK);
    ASSERT_TRUE(rig.sink->waitForCount(10));
    EXPECT_TRUE(rig.drainEvents().empty());

    ASSERT_TRUE(dv::unplugCamcorder());
    EXPECT_FALSE(dv::unplugCamcorder());
    std::this_thread::sleep_for(50ms);
    const std::size_t n = rig.sink->count();
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(rig.sink->count(), n);
    const auto lost = rig.drainEvents();
    ASSERT_EQ(lost.size(), 1u);
    EXPECT_EQ(lost[0].first, EC_DEVICE_LOST);
    EXPECT_EQ(lost[0].second, 0);
    EXPECT_TRUE(dvtest::videoInputNames().empty());
    LONG mode = 0;
    EXPECT_EQ(rig.transport->get_Mode(&mode), HRESULT_FROM_WIN32(dv::kErrorDeviceNotConnected));
    EXPECT_FALSE(rig.timecode());
    ComPtr<IBaseFilter> stale;
    EXPECT_TRUE(FAILED(moniker->BindToObject(nullptr, nullptr, IID_IBaseFilter, stale.ReleaseAndGetVoidAddressOf())));

    recorder.take();
    ASSERT_TRUE(dv::plugCamcorder());
    EXPECT_TRUE(rig.drainEvents().empty()) << "the return is told once, by the device arrival";
    const auto posted = recorder.take();
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0].msg, WM_DEVICECHANGE);
    EXPECT_EQ(posted[0].wParam, DBT_DEVICEARRIVAL);
    DEV_BROADCAST_DEVICEINTERFACE record{};
    ASSERT_GE(posted[0].block.size(), sizeof record);
    std::memcpy(&record, posted[0].block.data(), sizeof record);
    EXPECT_EQ(record.dbcc_devicetype, DBT_DEVTYP_DEVICEINTERFACE);
    EXPECT_TRUE(record.dbcc_classguid == dv::kCaptureInterfaceClass);
    EXPECT_EQ(dvtest::videoInputNames().size(), 1u);
    // Back again, the stream goes on in the running graph.
    ASSERT_TRUE(rig.sink->waitForCount(n + 5));

    // A graph that no longer holds the filter hears nothing.
    rig.control->Stop();
    rig.graph->RemoveFilter(rig.device.Get());
    dv::unplugCamcorder();
    EXPECT_TRUE(rig.drainEvents().empty());
    UnregisterDeviceNotification(notify);
    win::UnregisterMessageSink(target);
}

TEST_F(Camcorder, EveryGraphThatHoldsAFilterOfTheDeviceHearsOfItsRemoval)
{
    configure(tape({}), 1);
    Rig a, b;
    ASSERT_TRUE(a.build());
    ASSERT_TRUE(b.build());
    // A second filter of the same device in graph a: still one event there.
    ComPtr<IBaseFilter> second = dvtest::findDevice();
    a.graph->AddFilter(second.Get(), u"Second");
    dv::unplugCamcorder();
    EXPECT_EQ(a.drainEvents().size(), 1u);
    EXPECT_EQ(b.drainEvents().size(), 1u);
}

// --- Camera ------------------------------------------------------------------------------------

// (Its lack of a transport, on both devices, is in DvDeviceTest.cpp.)
TEST_F(Camcorder, ACameraStreamsLiveFramesStampedNow)
{
    TapeDescription desc;
    desc.frames = 8;
    configure(tape(desc), 10, dv::DeviceKind::Camera);
    Rig rig;
    ASSERT_TRUE(rig.build());
    const std::time_t before = std::time(nullptr);
    ASSERT_EQ(rig.control->Run(), S_OK);
    ASSERT_TRUE(rig.sink->waitForCount(20));
    rig.control->Stop();
    const std::time_t after = std::time(nullptr);
    const auto got = rig.sink->samples();
    std::set<std::int64_t> pictures;
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].media, static_cast<LONGLONG>(i));
        pictures.insert(got[i].index);
        ASSERT_TRUE(got[i].recorded);
        // The tape keeps two digits of the year.
        std::tm lo{}, hi{};
        localtime_r(&before, &lo);
        localtime_r(&after, &hi);
        const auto& r = *got[i].recorded;
        EXPECT_EQ(r.date.year % 100, (lo.tm_year + 1900) % 100);
        EXPECT_EQ(r.date.month, lo.tm_mon + 1);
        EXPECT_EQ(r.date.day, lo.tm_mday);
        const int seconds = r.time.hour * 3600 + r.time.minute * 60 + r.time.second;
        EXPECT_GE(seconds, lo.tm_hour * 3600 + lo.tm_min * 60 + lo.tm_sec);
        EXPECT_LE(seconds, hi.tm_hour * 3600 + hi.tm_min * 60 + hi.tm_sec);
    }
    // The tape's pictures in a loop.
    EXPECT_EQ(pictures.size(), 8u);
}

// --- A tape from the tape maker -----------------------------------------------------------------

TEST_F(Camcorder, PlaysATapeMakerTapeByteForByte)
{
    const std::string path = dir.file("made.dv");
    ASSERT_EQ(dvtest::runTool(test::binDir() + "/thtape",
                              {"--ntsc", "--scene", "length=20,date=2003-06-15,time=14:22:05", "--scene",
                               "length=15,date=2003-06-15,time=18:00:00,tc=restart", path}),
              0);
    configure(path, 20, dv::DeviceKind::Vcr, 0);
    Rig rig;
    ASSERT_TRUE(rig.build());
    rig.control->Run();
    rig.setMode(ED_MODE_PLAY);
    ASSERT_TRUE(waitFor([&] { return rig.mode() == ED_MODE_STOP; }));
    rig.sink->waitQuiet(100ms);
    rig.control->Stop();
    const auto got = rig.sink->samples();
    ASSERT_EQ(got.size(), 35u);
    std::ifstream file(path, std::ios::binary);
    std::vector<char> frame(120000);
    for (const auto& g : got) {
        ASSERT_TRUE(file.read(frame.data(), static_cast<std::streamsize>(frame.size())));
        EXPECT_EQ(g.hash, dvtest::hashBytes(reinterpret_cast<const std::uint8_t*>(frame.data()), frame.size()));
    }
    EXPECT_EQ(dif::timecodeBcd(*got[19].timecode), dif::timecodeBcd(dif::timecodeFromFrameCount(kNtsc, 19)));
    EXPECT_EQ(dif::timecodeBcd(*got[20].timecode), 0u);
    ASSERT_TRUE(got[20].recorded);
    EXPECT_EQ(got[20].recorded->time.hour, 18);
}
