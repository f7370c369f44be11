// The capture engine on a camcorder on the FireWire bus, end to end, over the
// simulated bus (tests/support/sim1394): our libraw1394.so.11 is checked to be
// the one loaded; its camcorder plays a tape of three scenes of 50 frames
// (2003-06-15 10:00:00, 2003-06-15 10:30:00, 2003-06-16 09:00:00) at real time.
#include "EngineRun.h"

#include "AvRead.h"
#include "platform/dv/FireWireDiagnosis.h"
#include "platform/dv/FireWireWatch.h"

#include <QCoreApplication>
#include <QDir>

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstdlib>
#include <fstream>

namespace {

constexpr int kFrames = 150;
// The camcorder plays at real time; every wait for what it does allows a
// ThreadSanitizer build on a busy machine many times what it takes.
constexpr std::chrono::seconds kPatience(60);

template <typename F>
F* simulation(const char* name)
{
    return reinterpret_cast<F*>(dlsym(RTLD_DEFAULT, name));
}

std::vector<std::uint64_t> TapeHashes()
{
    std::ifstream f(std::getenv("THSIM1394_TAPE"), std::ios::binary);
    std::vector<char> frame(144000);
    std::vector<std::uint64_t> hashes;
    while (f.read(frame.data(), std::streamsize(frame.size())))
        hashes.push_back(avread::Hash(frame.data(), frame.size()));
    return hashes;
}

std::vector<std::uint64_t> VideoHashes(const QString& avi, std::string* error)
{
    const avread::File f = avread::Read(avi.toStdString());
    *error = f.error;
    for (const auto& s : f.streams)
        if (s.type == "video")
            return s.hashes;
    return {};
}

class FireWireCapture : public ::testing::Test {
protected:
    // The cassette in the deck and where the deck answers OUTPUT SIGNAL MODE
    // (0: the tape subunit, as most do; 2: nowhere).
    virtual void InsertTape()
    {
        simulation<void(const char*, int, int)>("thsim1394_insert_tape")(std::getenv("THSIM1394_TAPE"), 0, 0);
    }
    void SetUp() override
    {
        auto* marker = simulation<int()>("thsim1394_marker");
        ASSERT_TRUE(marker && marker() == 1394) << "never on a real bus";
        InsertTape();
        th::dv::startFireWireWatch(false);
        ASSERT_TRUE(th::dv::fireWireCamcorder());
        dv.SetAutoStart(false);
        dv.SetFileName(dir.qpath() + "/capture.avi");
        dv.OnDeviceLost = [this](QObject*, TDeviceMode m) { lost.push_back(m); };
        c.Watch(dv);
        dv.SetCaptureMode(cmDVType2);
        dv.SetActive(true);
        ASSERT_TRUE(dv.Active());
        // The camcorder's arrival as the watch started.
        ASSERT_TRUE(th::test::waitUntil([&] { return !lost.empty(); }, kPatience));
        lost.clear();
    }
    void TearDown() override
    {
        dv.SetActive(false);
        th::dv::stopFireWireWatch();
    }

    th::test::TempDir dir;
    e2e::Collected c;
    std::vector<TDeviceMode> lost;
    TTlmDVCapture dv;
};

// A deck with an NTSC tape that does not answer OUTPUT SIGNAL MODE anywhere
// and sends nothing while it does not play: only its frames tell the system.
class FireWireNtscCapture : public FireWireCapture {
protected:
    void InsertTape() override
    {
        simulation<void(const char*, int, int)>("thsim1394_insert_tape")(TH_SIM1394_NTSC_TAPE, 2, 1);
    }
};

} // namespace

TEST_F(FireWireNtscCapture, AnNtscTapeGivesAnNtscFileOfItsLengthWithExactSeeksAndAStallInPlace)
{
    // Built before any frame came, the graph is PAL's; the first frame makes
    // the device go and come back as the NTSC deck it is.
    EXPECT_EQ(dv.SignalFormat(), sfPAL);
    dv.Start();
    ASSERT_TRUE(dv.TransportPlay());
    ASSERT_TRUE(th::test::waitUntil([&] { return lost.size() >= 2; }, kPatience));
    EXPECT_EQ(lost, (std::vector<TDeviceMode>{dmRemoved, dmAvailable}));
    EXPECT_FALSE(dv.Active());
    dv.SetActive(true);
    ASSERT_TRUE(dv.Active());
    ASSERT_EQ(dv.SignalFormat(), sfNTSC);
    ASSERT_EQ(dv.FrameRate(), 30);
    TTimecode tc{};
    for (const TTimecode target : {MakeTimecode(0, 0, 3, 27), MakeTimecode(0, 0, 3, 12), MakeTimecode(0, 0, 0, 0)}) {
        ASSERT_TRUE(dv.SeekATN(target));
        ASSERT_TRUE(th::test::waitUntil([&] { return dv.GetTransportState() == tsStop && dv.ReadTimecode(tc); },
                                        kPatience));
        EXPECT_EQ(tc, target) << "the seek lands on its frame";
    }
    constexpr int kNtscFrames = 600;
    dv.Start();
    ASSERT_TRUE(dv.TransportPlay());
    // The receiving thread is held up for three seconds, two beyond what its buffer holds.
    ASSERT_TRUE(th::test::waitUntil([&] { return c.frames >= 150; }, kPatience));
    simulation<void(unsigned)>("thsim1394_stall_receiver")(3000);
    const bool done = th::test::waitUntil(
        [&] { return c.frames >= 450 && dv.GetTransportState() == tsStop; }, std::chrono::seconds(240));
    int dropped = -1, delivered = -1;
    dv.GetFrameCounts(dropped, delivered);
    dv.Stop();
    ASSERT_TRUE(done) << c.frames << " frames";

    const QString file = dir.qpath() + "/capture.avi";
    const e2e::FileSlots inFile = e2e::ReadSlots(file, e2e::TapeFrames(TH_SIM1394_NTSC_TAPE, 120000));
    ASSERT_FALSE(inFile.tape.empty());
    EXPECT_EQ(inFile.tape.size(), std::size_t(kNtscFrames)) << inFile.tape.front() << " .. " << inFile.tape.back();
    for (std::size_t k = 0; k < inFile.tape.size(); ++k)
        ASSERT_TRUE(inFile.tape[k] == int(k) || inFile.tape[k] == -1) << "slot " << k << " holds " << inFile.tape[k];
    EXPECT_EQ(inFile.placeholders(), dropped);
    EXPECT_GE(dropped, 55) << "two seconds went by unreceived";
    const avread::File read = avread::Read(file.toStdString(), false);
    ASSERT_TRUE(read.opened) << read.error;
    ASSERT_FALSE(read.streams.empty());
    EXPECT_EQ(read.streams[0].height, 480);
    EXPECT_NEAR(read.streams[0].durationSec, 20.02, 0.02) << "600 frames at 29.97 frames/s";
}

TEST_F(FireWireCapture, SeeksAndCapturesEveryFrameAndSceneThroughABusReset)
{
    EXPECT_EQ(dv.GetDeviceType(), dtVCR);
    // The engine's own absolute-track-number seek, answered after the search.
    ASSERT_TRUE(dv.SeekATN(MakeTimecode(0, 0, 4, 0)));
    TTimecode tc{};
    ASSERT_TRUE(th::test::waitUntil([&] { return dv.ReadTimecode(tc) && tc == MakeTimecode(0, 0, 4, 0); }, kPatience));
    ASSERT_TRUE(dv.TransportPlay());
    ASSERT_TRUE(th::test::waitUntil([&] { return dv.ReadTimecode(tc) && tc != MakeTimecode(0, 0, 4, 0); }, kPatience));
    ASSERT_TRUE(dv.SeekATN(MakeTimecode(0, 0, 0, 0)));
    ASSERT_TRUE(th::test::waitUntil([&] { return dv.ReadTimecode(tc) && tc == MakeTimecode(0, 0, 0, 0); }, kPatience));

    dv.Start();
    ASSERT_TRUE(dv.TransportPlay());
    ASSERT_TRUE(th::test::waitUntil([&] { return c.frames >= 40; }, kPatience));
    simulation<void()>("thsim1394_bus_reset")();
    const bool done = th::test::waitUntil([&] { return c.frames >= kFrames && dv.GetTransportState() == tsStop; },
                                          kPatience);
    int dropped = -1, delivered = -1;
    dv.GetFrameCounts(dropped, delivered);
    dv.Stop();
    ASSERT_TRUE(done) << c.frames << " frames";
    EXPECT_EQ(dropped, 0) << "the bus reset lost nothing";
    EXPECT_EQ(simulation<int()>("thsim1394_connections")(), 0) << "the connection is given back";

    std::string error;
    EXPECT_EQ(VideoHashes(dir.qpath() + "/capture.avi", &error), TapeHashes()) << error;
    const auto scenes = e2e::ReadScenes(dir.qpath() + "/capture.thf");
    ASSERT_EQ(scenes.size(), 3u);
    EXPECT_EQ(scenes[0].start, 0);
    EXPECT_EQ(scenes[1].start, 50);
    EXPECT_EQ(scenes[2].start, 100);
    EXPECT_EQ(scenes[2].end, kFrames);
    EXPECT_EQ(scenes[1].name, "2003.06.15 10:30:00");
    EXPECT_EQ(scenes[2].name, "2003.06.16 09:00:00");
}

TEST_F(FireWireCapture, CountsLostPacketsAndReportsAnUnplugAndReplugWithAValidFile)
{
    dv.Start();
    ASSERT_TRUE(dv.TransportPlay());
    ASSERT_TRUE(th::test::waitUntil([&] { return c.frames >= 30; }, kPatience));
    simulation<void(unsigned)>("thsim1394_lose_packets")(3);
    int dropped = 0, delivered = 0;
    ASSERT_TRUE(th::test::waitUntil([&] {
        dv.GetFrameCounts(dropped, delivered);
        return dropped > 0 && c.frames >= 60;
    }, kPatience));

    // The cable is pulled: the bus resets without the camcorder, which is
    // reported without udev's word.
    const long long atUnplug = simulation<long long()>("thsim1394_head")();
    simulation<void()>("thsim1394_unplug")();
    ASSERT_TRUE(th::test::waitUntil([&] { return !lost.empty() && lost.back() == 1; }, kPatience)) << "reported removed";
    EXPECT_FALSE(dv.Active());

    // What was captured is on disk, whole and readable, every frame the
    // tape's own in its place: the frame of the lost packets, and any that a
    // busy machine could not take, are placeholders.
    const e2e::FileSlots inFile = e2e::ReadSlots(dir.qpath() + "/capture.avi",
                                                 e2e::TapeFrames(std::getenv("THSIM1394_TAPE")));
    ASSERT_GE(inFile.tape.size(), 60u);
    ASSERT_GE(inFile.tape.front(), 0);
    for (std::size_t k = 0; k < inFile.tape.size(); ++k)
        ASSERT_TRUE(inFile.tape[k] == -1 || inFile.tape[k] == inFile.tape.front() + int(k))
            << "slot " << k << " holds " << inFile.tape[k];
    EXPECT_GE(inFile.placeholders(), 1);
    std::string error;
    EXPECT_GE(VideoHashes(dir.qpath() + "/capture.avi", &error).size(),
              inFile.tape.size() - std::size_t(inFile.placeholders()))
        << "libavformat reads it: " << error;

    // Plugged back: reported as back, and the same filters work again.
    simulation<void()>("thsim1394_replug")();
    th::dv::fireWireBusChanged();
    ASSERT_TRUE(th::test::waitUntil([&] { return lost.back() == 0; }, kPatience)) << "reported back";
    QCoreApplication::processEvents(); // what was posted with it
    EXPECT_EQ(lost, (std::vector<TDeviceMode>{dmRemoved, dmAvailable})) << "once removed, once back";
    dv.SetActive(true);
    ASSERT_TRUE(dv.Active());
    // The deck played on while the cable was out (to the tape's end, on a slow machine).
    const TTransportState state = dv.GetTransportState();
    EXPECT_TRUE(state == tsPlay || state == tsStop) << state;
    EXPECT_GT(simulation<long long()>("thsim1394_head")(), atUnplug);

    // Pulled again mid-capture, and this time no handle hears a bus reset
    // (the camcorder's device file goes with it) and no udev tells: the stream
    // that went silent does, and the run ends instead of counting nothing.
    ASSERT_TRUE(dv.SeekATN(MakeTimecode(0, 0, 0, 0)));
    TTimecode tc{};
    ASSERT_TRUE(th::test::waitUntil([&] { return dv.ReadTimecode(tc) && tc == MakeTimecode(0, 0, 0, 0); }, kPatience));
    dv.SetFileName(dir.qpath() + "/again.avi");
    const int before = c.frames;
    dv.Start();
    ASSERT_TRUE(dv.TransportPlay());
    ASSERT_TRUE(th::test::waitUntil([&] { return c.frames >= before + 20; }, kPatience));
    simulation<void()>("thsim1394_unplug_unheard")();
    ASSERT_TRUE(th::test::waitUntil([&] { return lost.back() == dmRemoved; }, kPatience)) << "reported removed";
    EXPECT_FALSE(dv.Active());
    EXPECT_EQ(lost, (std::vector<TDeviceMode>{dmRemoved, dmAvailable, dmRemoved}));
    dv.SetActive(false);
}

// The program starts on a computer whose FireWire driver is not loaded; the
// user loads it as the explanation says, then plugs the camcorder in: the
// explanation follows each step and the camcorder is found, all without a
// restart, as udev tells of the controller and of the camcorder.
TEST(FireWireLateDriver, ADriverLoadedAndACamcorderPluggedLaterAreFoundWithoutARestart)
{
    auto* marker = simulation<int()>("thsim1394_marker");
    ASSERT_TRUE(marker && marker() == 1394) << "never on a real bus";
    th::test::TempDir dir;
    simulation<void(int)>("thsim1394_load_driver")(0);
    simulation<void(const char*)>("thsim1394_mirror")(dir.path().c_str());
    th::dv::setFireWireSystemView(dir.file("sys"), dir.file("dev"));
    e2e::Collected c;
    std::vector<TDeviceMode> lost;
    TTlmDVCapture dv;
    dv.SetAutoStart(false);
    dv.SetFileName(dir.qpath() + "/capture.avi");
    dv.OnDeviceLost = [&](QObject*, TDeviceMode m) { lost.push_back(m); };
    c.Watch(dv);
    th::dv::startFireWireWatch(true);
    auto says = [](const char* text) {
        return th::test::waitUntil([&] { return th::dv::noDeviceExplanation().rfind(text, 0) == 0; }, kPatience);
    };
    EXPECT_TRUE(says("No FireWire driver is loaded.")) << th::dv::noDeviceExplanation();
    EXPECT_FALSE(th::dv::fireWireCamcorder());

    simulation<void(int)>("thsim1394_load_driver")(1);
    EXPECT_TRUE(says("No camcorder is connected.")) << th::dv::noDeviceExplanation();

    simulation<void()>("thsim1394_replug")();
    ASSERT_TRUE(th::test::waitUntil([&] { return !lost.empty(); }, kPatience)) << "the arrival is told";
    EXPECT_EQ(lost, (std::vector<TDeviceMode>{dmAvailable}));
    EXPECT_EQ(th::dv::noDeviceExplanation(), "");
    dv.SetCaptureMode(cmDVType2);
    dv.SetActive(true);
    ASSERT_TRUE(dv.Active()) << "listed and bound";
    EXPECT_EQ(dv.GetDeviceType(), dtVCR);
    ASSERT_TRUE(dv.TransportPlay());
    TTimecode tc{};
    EXPECT_TRUE(th::test::waitUntil([&] { return dv.ReadTimecode(tc) && tc != MakeTimecode(0, 0, 0, 0); }, kPatience))
        << "the deck answers and plays";
    dv.SetActive(false);

    // Pulled out: udev's word, and the explanation says so again.
    simulation<void()>("thsim1394_unplug")();
    EXPECT_TRUE(th::test::waitUntil([&] { return lost.back() == dmRemoved; }, kPatience));
    EXPECT_TRUE(says("No camcorder is connected.")) << th::dv::noDeviceExplanation();
    th::dv::stopFireWireWatch();
}
