// The IEEE 1394 DV device over the simulated bus (tests/support/sim1394): the
// system's libiec61883, libavc1394 and librom1394 talk to a simulated
// camcorder through our libraw1394.so.11, which these tests check is the one
// loaded.
#include "DvDeviceSupport.h"

#include "platform/dv/FireWireDiagnosis.h"
#include "platform/dv/Ieee1394Device.h"
#include "support/TestUtil.h"
#include "support/sim1394/Sim1394.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

using namespace th;
using namespace std::chrono_literals;

namespace {

constexpr auto kPal = dif::System::Pal625_50;

template <typename F>
F* simulation(const char* name)
{
    return reinterpret_cast<F*>(dlsym(RTLD_DEFAULT, name));
}

// The simulated bus, or the test fails: it must never drive a real bus.
bool onSimulatedBus()
{
    auto* marker = simulation<int()>("thsim1394_marker");
    return marker && marker() == 1394;
}

std::int64_t frameNumber(const std::uint8_t* frame, std::size_t size)
{
    const auto tc = dif::readTimecode(frame, size);
    if (!tc)
        return -1;
    return ((tc->hours * 60 + tc->minutes) * 60 + tc->seconds) * 25 + tc->frames;
}

std::shared_ptr<dv::Ieee1394Device> openDeck()
{
    const auto found = dv::findFireWireCamcorders();
    if (found.size() != 1)
        return nullptr;
    std::string error;
    auto device = dv::Ieee1394Device::open(found[0], &error);
    EXPECT_TRUE(device) << error;
    return device;
}

HRESULT seek(dv::Ieee1394Device& device, const dif::Timecode& tc, BYTE* answer)
{
    const std::uint32_t track = dvtest::trackNumberFor(kPal, tc);
    BYTE cmd[8] = {0x00, 0x20, 0x52, 0x20, BYTE(track), BYTE(track >> 8), BYTE(track >> 16), 0xFF};
    const HRESULT hr = device.rawCommand(cmd, 8);
    *answer = cmd[0];
    return hr;
}

} // namespace

// (What the deck does through the device filter, as the virtual camcorder
// does it, is in DvDeviceTest.cpp; here is what the bus shows of it.)
TEST(Ieee1394Device, DrivesTheDeckWithAvcCommandsAndLeavesTheSearchToIt)
{
    ASSERT_TRUE(onSimulatedBus());
    const auto found = dv::findFireWireCamcorders();
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].kind, dv::DeviceKind::Vcr);
    EXPECT_EQ(found[0].model, "TapeHarvest Simulated DV");
    auto deck = openDeck();
    ASSERT_TRUE(deck);
    EXPECT_EQ(deck->system(), kPal);

    // A search of seconds: the call returns once the deck has taken it
    // (INTERIM), the deck can be asked meanwhile, and its end is read back.
    auto* head = simulation<long long()>("thsim1394_head");
    simulation<void(double)>("thsim1394_wind")(0.02);
    BYTE answer = 0;
    LONG mode = 0;
    EXPECT_EQ(seek(*deck, {0, 0, 3, 0}, &answer), S_OK);
    EXPECT_EQ(answer, 0x0F);
    EXPECT_EQ(simulation<int()>("thsim1394_searching")(), 1) << "the call waited for the search";
    ASSERT_EQ(deck->getMode(&mode), S_OK);
    EXPECT_EQ(mode, ED_MODE_FF) << "asked during the search";
    EXPECT_TRUE(test::waitUntil([&] { return deck->getMode(&mode) == S_OK && mode == ED_MODE_STOP; }, 60s));
    EXPECT_EQ(head(), 75);
    simulation<void(double)>("thsim1394_wind")(1);
    DWORD tc = 0;
    ASSERT_EQ(deck->timecode(&tc), S_OK);
    EXPECT_EQ(tc, 0x00000300u);

    // A search beyond the recording ends at its end, a transport command ends one early.
    EXPECT_EQ(seek(*deck, {0, 1, 0, 0}, &answer), S_OK);
    EXPECT_TRUE(test::waitUntil([&] { return simulation<int()>("thsim1394_searching")() == 0; }, 60s));
    EXPECT_EQ(head(), 150);
    EXPECT_EQ(seek(*deck, {0, 0, 1, 0}, &answer), S_OK);
    ASSERT_EQ(deck->putMode(ED_MODE_STOP), S_OK);
    EXPECT_EQ(simulation<int()>("thsim1394_searching")(), 0);

    // An NTSC tape in a deck that answers OUTPUT SIGNAL MODE at the unit, or
    // nowhere (its stream tells then).
    for (const int where : {1, 2}) {
        simulation<void(const char*, int, int)>("thsim1394_insert_tape")(TH_SIM1394_NTSC_TAPE, where, 0);
        const auto ntsc = openDeck();
        ASSERT_TRUE(ntsc);
        EXPECT_EQ(ntsc->system(), dif::System::Ntsc525_60) << where;
        EXPECT_TRUE(ntsc->systemKnown());
        EXPECT_EQ(ntsc->frameSize(), 120000u);
    }
}

TEST(Ieee1394Device, EveryFrameKeepsItsPlaceThroughLossOverrunBusResetAndASlowReader)
{
    ASSERT_TRUE(onSimulatedBus());
    auto deck = openDeck();
    ASSERT_TRUE(deck);
    std::string error;
    auto stream = deck->openStream(&error);
    ASSERT_TRUE(stream) << error;
    EXPECT_EQ(simulation<int()>("thsim1394_connections")(), 1);
    // The stream runs before the tape moves: a stopped deck loses nothing.
    ASSERT_EQ(deck->putMode(ED_MODE_PLAY), S_OK);

    std::vector<std::uint8_t> buffer(deck->frameSize());
    std::map<std::int64_t, std::int64_t> frames;        // slot -> frame of the tape
    std::map<std::int64_t, std::int64_t> missed;        // first slot -> periods
    std::map<dv::FrameLoss, std::int64_t> why;
    std::map<std::int64_t, dv::FrameLoss> whyAt;
    std::chrono::steady_clock::duration held{};
    bool lost = false, overrun = false, reset = false;
    std::int64_t resetSlot = -1, stallSlot = -1;
    const auto until = std::chrono::steady_clock::now() + 120s; // it ends at frame 140
    while (std::chrono::steady_clock::now() < until) {
        const auto r = stream->next(buffer, 500ms);
        ASSERT_NE(r.kind, dv::Ieee1394Stream::Result::Stop);
        if (r.kind == dv::Ieee1394Stream::Result::Frame) {
            frames[r.slot] = frameNumber(buffer.data(), buffer.size());
            if (frames.size() == 15 && !lost) {
                simulation<void(unsigned)>("thsim1394_lose_packets")(3);
                lost = true;
            } else if (frames.size() == 35 && !overrun) {
                simulation<void(unsigned)>("thsim1394_overrun")(700);
                overrun = true;
            } else if (frames.size() == 55 && !reset) {
                simulation<void()>("thsim1394_bus_reset")();
                reset = true;
                resetSlot = r.slot;
            } else if (frames.size() == 75 && stallSlot < 0) {
                // The reader is held up longer than the receive buffer lasts.
                stallSlot = r.slot;
                const auto from = std::chrono::steady_clock::now();
                std::this_thread::sleep_for(1500ms);
                held = std::chrono::steady_clock::now() - from;
            }
            if (frames.rbegin()->second >= 140)
                break;
        } else if (r.kind == dv::Ieee1394Stream::Result::Missed) {
            missed[r.slot] = r.count;
            why[r.why] += r.count;
            whyAt[r.slot] = r.why;
        }
    }
    ASSERT_FALSE(frames.empty());
    // Every frame in its place: the tape's frame number and the slot move together.
    const std::int64_t offset = frames.begin()->second - frames.begin()->first;
    for (const auto& [slot, frame] : frames)
        ASSERT_EQ(frame - slot, offset) << "slot " << slot;
    // Every period from the first frame to the last is a frame or counted as lost, once.
    std::int64_t expect = frames.begin()->first;
    std::map<std::int64_t, std::int64_t> all;
    for (const auto& [slot, frame] : frames)
        all[slot] = 1;
    for (const auto& [slot, count] : missed)
        all[slot] = count;
    for (const auto& [slot, count] : all) {
        ASSERT_EQ(slot, expect);
        expect += count;
    }
    EXPECT_EQ(frames.rbegin()->second, 140);
    EXPECT_GE(why[dv::FrameLoss::Incomplete], 1);
    EXPECT_GE(why[dv::FrameLoss::Overrun] + why[dv::FrameLoss::Incomplete], 3);
    // The bus reset lost nothing, and the stream outlived the camcorder's
    // one-second grace on a connection that was restored.
    ASSERT_GE(resetSlot, 0);
    ASSERT_GT(stallSlot, resetSlot);
    // (A busy machine may hold the reader up past what the stream keeps: then
    // those frames are lost as late, and only those.)
    for (const auto& [slot, count] : missed)
        EXPECT_TRUE(slot + count <= resetSlot || (whyAt[slot] == dv::FrameLoss::Late && held > 1900ms))
            << "lost at " << slot << " after the reset or the stall, why " << int(whyAt[slot]);
    EXPECT_GT(frames.rbegin()->first, resetSlot + 40);
    EXPECT_EQ(stream->reconnections(), 1);
    EXPECT_EQ(simulation<int()>("thsim1394_connections")(), 1);
}

TEST(FireWireDiagnosis, TellsWhatIsMissingFromTheKernelsView)
{
    test::TempDir dir;
    const std::string sys = dir.file("sys"), dev = dir.file("dev");
    auto node = [&](const std::string& name, const char* isLocal, const char* units) {
        const std::string folder = sys + "/bus/firewire/devices/" + name;
        std::filesystem::create_directories(folder);
        std::ofstream(folder + "/is_local") << isLocal << "\n";
        std::ofstream(folder + "/units") << units << "\n";
    };
    EXPECT_EQ(dv::diagnoseFireWire(sys, dev).problem, dv::FireWireProblem::NoDriver);
    std::filesystem::create_directories(sys + "/bus/firewire/devices");
    EXPECT_EQ(dv::diagnoseFireWire(sys, dev).problem, dv::FireWireProblem::NoController);
    node("fw0", "1", "");
    const auto none = dv::diagnoseFireWire(sys, dev);
    EXPECT_EQ(none.problem, dv::FireWireProblem::NoCamcorder);
    EXPECT_NE(none.text.find("switch it on"), std::string::npos) << none.text;
    node("fw1", "0", "0x00a02d:0x010001");
    std::filesystem::create_directories(dev);
    const auto denied = dv::diagnoseFireWire(sys, dev);
    EXPECT_EQ(denied.problem, dv::FireWireProblem::NoPermission);
    EXPECT_NE(denied.text.find("\"video\" group"), std::string::npos) << denied.text;
    std::ofstream(dev + "/fw1") << "";
    EXPECT_EQ(dv::diagnoseFireWire(sys, dev).problem, dv::FireWireProblem::None);
}
