// The DV device through the interfaces the capture engine uses (a graph with
// its filter, the transport, the time code reader, the raw AV/C seek, the
// dropped-frame counts), as one suite over both devices: the virtual
// camcorder, and a camcorder on the simulated FireWire bus
// (tests/support/sim1394) playing the same tape. A case that passes for one
// and fails for the other is a difference between the devices.
#include "DvDeviceSupport.h"

#include "platform/dv/FireWireWatch.h"
#include "platform/dv/VirtualCamcorder.h"
#include "support/TestUtil.h"
#include "support/sim1394/Sim1394.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <set>
#include <thread>

using namespace th;
using namespace std::chrono_literals;
using dvtest::Rig;
using dvtest::TapeDescription;

namespace {

constexpr auto kPal = dif::System::Pal625_50;
constexpr auto kNtsc = dif::System::Ntsc525_60;
// Every wait for what a device does allows a ThreadSanitizer build on a busy
// machine many times what it takes.
constexpr auto kPatience = 60s;

template <typename F>
F* simulation(const char* name)
{
    return reinterpret_cast<F*>(dlsym(RTLD_DEFAULT, name));
}

// The virtual camcorder, faster than real time (the tape waits for the graph).
struct Virtual {
    static void load(const std::string& tape, dv::DeviceKind kind, dif::System system)
    {
        dv::stopFireWireWatch();
        dv::CamcorderSettings s;
        s.tapePath = tape;
        s.speed = 4;
        s.kind = kind;
        // A second of blank tape after the recording, as the simulated deck has.
        s.blankFrames = dif::timecodeFramesPerSecond(system);
        std::string error;
        ASSERT_TRUE(dv::configureCamcorder(s, &error)) << error;
    }
    static void unload() { dv::removeCamcorder(); }
};

// A camcorder on the simulated bus at real time (THSIM1394_SPEED), winding
// fast enough that a search across minutes of tape takes a second.
struct FireWire {
    static void load(const std::string& tape, dv::DeviceKind kind, dif::System)
    {
        auto* marker = simulation<int()>("thsim1394_marker");
        ASSERT_TRUE(marker && marker() == 1394) << "never on a real bus";
        dv::removeCamcorder();
        dv::stopFireWireWatch();
        simulation<void(int)>("thsim1394_camera_mode")(kind == dv::DeviceKind::Camera);
        simulation<void(const char*, int, int)>("thsim1394_insert_tape")(tape.c_str(), 0, 0);
        simulation<void(double)>("thsim1394_wind")(20);
        dv::startFireWireWatch(false);
        ASSERT_TRUE(dv::fireWireCamcorder());
    }
    static void unload()
    {
        dv::stopFireWireWatch();
        if (simulation<int()>("thsim1394_marker")) {
            simulation<void(double)>("thsim1394_wind")(1);
            simulation<void(int)>("thsim1394_camera_mode")(0);
        }
    }
};

template <typename Source>
class DvDevice : public ::testing::Test {
protected:
    void TearDown() override { Source::unload(); }

    // Puts a tape of `desc` into the device.
    void load(const TapeDescription& desc, dv::DeviceKind kind = dv::DeviceKind::Vcr)
    {
        Source::load(dvtest::writeTape(dir.file("tape" + std::to_string(++tapes) + ".dv"), desc), kind, desc.system);
    }

    test::TempDir dir;
    int tapes = 0;
};

struct SourceNames {
    template <typename T>
    static std::string GetName(int)
    {
        return std::is_same_v<T, Virtual> ? "Virtual" : "FireWire";
    }
};

using Sources = ::testing::Types<Virtual, FireWire>;
TYPED_TEST_SUITE(DvDevice, Sources, SourceNames);

bool waitFor(const std::function<bool()>& pred)
{
    return test::waitUntil(pred, kPatience);
}

} // namespace

// --- The filter and its stream -------------------------------------------------------------

TYPED_TEST(DvDevice, OffersInterleavedDvWithTheTapesDescription)
{
    for (const auto system : {kPal, kNtsc}) {
        SCOPED_TRACE(static_cast<int>(system));
        TapeDescription desc;
        desc.system = system;
        this->load(desc);
        Rig rig;
        ASSERT_TRUE(rig.build());
        ComPtr<IPin> out;
        rig.device->FindPin(u"DV A/V Out", out.ReleaseAndGetAddressOf());
        AM_MEDIA_TYPE mt{};
        ASSERT_EQ(out->ConnectionMediaType(&mt), S_OK);
        EXPECT_TRUE(mt.majortype == MEDIATYPE_Interleaved);
        EXPECT_TRUE(mt.subtype == MEDIASUBTYPE_dvsd);
        EXPECT_TRUE(mt.formattype == FORMAT_DvInfo);
        EXPECT_EQ(mt.lSampleSize, system == kPal ? 144000u : 120000u);
        ASSERT_EQ(mt.cbFormat, sizeof(DVINFO));
        DVINFO info;
        std::memcpy(&info, mt.pbFormat, sizeof info);
        // VAUX source: PC3 holds 50/60 (bit 5) and STYPE (SD).
        EXPECT_EQ((info.dwDVVAuxSrc >> 16) & 0x20, system == kPal ? 0x20u : 0u);
        EXPECT_EQ((info.dwDVVAuxSrc >> 16) & 0x1F, 0u);
        // AAUX source of both halves: 48 kHz (SMP, bits 5-3 of PC4).
        EXPECT_NE(info.dwDVAAuxSrc, 0xFFFFFFFFu);
        EXPECT_NE(info.dwDVAAuxSrc1, 0xFFFFFFFFu);
        EXPECT_EQ((info.dwDVAAuxSrc >> 27) & 7, 0u);
        th::dshow::FreeMediaTypeContents(mt);

        ComPtr<IKsPropertySet> props = out.As<IKsPropertySet>();
        GUID category{};
        DWORD returned = 0;
        ASSERT_EQ(props->Get(AMPROPSETID_Pin, AMPROPERTY_PIN_CATEGORY, nullptr, 0, &category, sizeof category,
                             &returned),
                  S_OK);
        EXPECT_TRUE(category == PIN_CATEGORY_CAPTURE);

        ComPtr<ICaptureGraphBuilder2> builder;
        ASSERT_EQ(CoCreateInstance(CLSID_CaptureGraphBuilder2, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_ICaptureGraphBuilder2, builder.ReleaseAndGetVoidAddressOf()),
                  S_OK);
        builder->SetFiltergraph(rig.graph.Get());
        ComPtr<IAMDroppedFrames> dropped;
        EXPECT_EQ(builder->FindInterface(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Interleaved, rig.device.Get(),
                                         IID_IAMDroppedFrames, dropped.ReleaseAndGetVoidAddressOf()),
                  S_OK);

        LONG signal = 0;
        EXPECT_EQ(rig.transport->GetTransportBasicParameters(ED_TRANSBASIC_INPUT_SIGNAL, &signal, nullptr), S_OK);
        EXPECT_EQ(signal, system == kPal ? ED_TRANSBASIC_SIGNAL_625_50_SD : ED_TRANSBASIC_SIGNAL_525_60_SD);
        LONG type = 0;
        EXPECT_EQ(rig.extDevice->GetCapability(ED_DEVCAP_DEVICE_TYPE, &type, nullptr), S_OK);
        EXPECT_EQ(type, ED_DEVTYPE_VCR);
        EXPECT_EQ(rig.mode(), ED_MODE_STOP);
    }
}

TYPED_TEST(DvDevice, PlaysTheTapeFrameByFrameWithStreamAndMediaTimes)
{
    for (const auto system : {kPal, kNtsc}) {
        SCOPED_TRACE(static_cast<int>(system));
        TapeDescription desc;
        desc.system = system;
        desc.frames = 60;
        this->load(desc);
        Rig rig;
        ASSERT_TRUE(rig.build());
        EXPECT_EQ(rig.mode(), ED_MODE_STOP);
        ASSERT_EQ(rig.control->Run(), S_OK);
        // Stopped: nothing comes.
        std::this_thread::sleep_for(100ms);
        EXPECT_EQ(rig.sink->count(), 0u);
        ASSERT_EQ(rig.setMode(ED_MODE_PLAY), S_OK);
        // Play runs to the end of the recording and over the blank to the end of the tape.
        ASSERT_TRUE(waitFor([&] { return rig.mode() == ED_MODE_STOP; }));
        rig.sink->waitQuiet(100ms);
        const auto got = rig.sink->samples();
        ASSERT_EQ(got.size(), 60u);
        const REFERENCE_TIME period = system == kPal ? 400000 : 333667;
        EXPECT_TRUE(got[0].discontinuity);
        for (std::size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].media, static_cast<LONGLONG>(i));
            EXPECT_EQ(got[i].index, static_cast<std::int64_t>(i));
            EXPECT_EQ(got[i].length, system == kPal ? 144000 : 120000);
            ASSERT_TRUE(got[i].timecode);
            EXPECT_EQ(*got[i].timecode, dif::timecodeFromFrameCount(system, static_cast<long long>(i)));
            if (i > 0) {
                EXPECT_EQ(got[i].start - got[i - 1].start, period) << i;
                EXPECT_FALSE(got[i].discontinuity) << i;
            }
            EXPECT_EQ(got[i].stop - got[i].start, period);
        }
        LONG dropped = -1, delivered = -1;
        rig.dropped->GetNumDropped(&dropped);
        rig.dropped->GetNumNotDropped(&delivered);
        EXPECT_EQ(dropped, 0);
        EXPECT_EQ(delivered, 60);
        // The head is on blank tape: no time code.
        EXPECT_FALSE(rig.timecode());
        rig.control->Stop();
    }
}

TYPED_TEST(DvDevice, TransportModesShowTheTapeAsADeckDoes)
{
    TapeDescription desc;
    desc.frames = 400;
    this->load(desc);
    Rig rig;
    ASSERT_TRUE(rig.build());
    ASSERT_EQ(rig.control->Run(), S_OK);

    // The frames of a mode, given from a stopped deck, so that none of the
    // mode before can be among them (a deck on the bus has a few frame
    // periods of frames on their way).
    auto playFor = [&](LONG mode, std::size_t frames) {
        EXPECT_EQ(rig.setMode(ED_MODE_STOP), S_OK);
        rig.sink->waitQuiet(250ms);
        const std::size_t from = rig.sink->count();
        EXPECT_EQ(rig.setMode(mode), S_OK);
        const bool came = rig.sink->waitForCount(from + frames, kPatience);
        EXPECT_TRUE(came) << mode;
        const auto all = rig.sink->samples();
        if (!came)
            return std::vector<dvtest::Got>{};
        return std::vector<dvtest::Got>(all.begin() + static_cast<std::ptrdiff_t>(from),
                                        all.begin() + static_cast<std::ptrdiff_t>(from + frames));
    };
    auto strides = [](const std::vector<dvtest::Got>& got) {
        std::set<std::int64_t> s;
        for (std::size_t i = 1; i < got.size(); ++i)
            s.insert(got[i].index - got[i - 1].index);
        return s;
    };

    // From the middle of the tape.
    ASSERT_EQ(rig.seekTrack(dvtest::trackNumberFor(kPal, {0, 0, 8, 0})), S_OK);
    const std::size_t before = rig.sink->count();
    const DWORD stopped = rig.timecode().value_or(0);
    EXPECT_EQ(stopped, 0x00000800u);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(rig.timecode(), std::optional<DWORD>(stopped));
    EXPECT_EQ(rig.sink->count(), before);

    auto play = playFor(ED_MODE_PLAY, 10);
    EXPECT_EQ(strides(play), std::set<std::int64_t>{1});
    // Play starts at the frame where the tape stood.
    ASSERT_EQ(play.size(), 10u);
    EXPECT_EQ(dif::timecodeBcd(*play.front().timecode), stopped);
    auto frozen = playFor(ED_MODE_FREEZE, 5);
    EXPECT_EQ(strides(frozen), std::set<std::int64_t>{0});
    EXPECT_EQ(rig.mode(), ED_MODE_FREEZE);
    // A step moves the still frame on by one.
    ASSERT_EQ(frozen.size(), 5u);
    const std::int64_t still = frozen.back().index;
    ASSERT_EQ(rig.setMode(ED_MODE_STEP_FWD), S_OK);
    EXPECT_EQ(rig.mode(), ED_MODE_FREEZE);
    ASSERT_TRUE(waitFor([&] { return rig.sink->samples().back().index == still + 1; }));
    ASSERT_EQ(rig.setMode(ED_MODE_STEP_REV), S_OK);
    ASSERT_TRUE(waitFor([&] { return rig.sink->samples().back().index == still; }));
    ASSERT_EQ(rig.setMode(ED_MODE_STEP_REV), S_OK);
    ASSERT_TRUE(waitFor([&] { return rig.sink->samples().back().index == still - 1; }));

    EXPECT_EQ(strides(playFor(ED_MODE_PLAY_FASTEST_FWD, 5)), std::set<std::int64_t>{10});
    EXPECT_EQ(strides(playFor(ED_MODE_PLAY_FASTEST_REV, 5)), std::set<std::int64_t>{-10});
    EXPECT_EQ(strides(playFor(ED_MODE_REV_PLAY, 5)), std::set<std::int64_t>{-1});
    const auto slow = playFor(ED_MODE_PLAY_SLOWEST_FWD, 11);
    ASSERT_EQ(slow.size(), 11u);
    EXPECT_EQ(strides(slow), (std::set<std::int64_t>{0, 1}));
    EXPECT_EQ(slow.back().index - slow.front().index, 2);

    // Fast forward moves the tape without frames.
    ASSERT_EQ(rig.setMode(ED_MODE_STOP), S_OK);
    rig.sink->waitQuiet(250ms);
    const std::size_t winding = rig.sink->count();
    const DWORD from = rig.timecode().value_or(0);
    ASSERT_EQ(rig.setMode(ED_MODE_FF), S_OK);
    EXPECT_TRUE(waitFor([&] {
        const auto wound = rig.timecode();
        return !wound || *wound > from; // on blank tape, or further on
    }));
    ASSERT_EQ(rig.setMode(ED_MODE_STOP), S_OK);
    EXPECT_EQ(rig.sink->count(), winding);

    // Rewind moves fast without frames and stops by itself at the start.
    ASSERT_EQ(rig.setMode(ED_MODE_STOP), S_OK);
    rig.sink->waitQuiet(250ms);
    ASSERT_EQ(rig.setMode(ED_MODE_REW), S_OK);
    const std::size_t rewinding = rig.sink->count();
    ASSERT_TRUE(waitFor([&] { return rig.mode() == ED_MODE_STOP; }));
    EXPECT_EQ(rig.sink->count(), rewinding);
    EXPECT_EQ(rig.timecode(), std::optional<DWORD>(0u));

    // Nothing is ever recorded on the user's tape.
    EXPECT_TRUE(FAILED(rig.setMode(ED_MODE_RECORD)));
    EXPECT_EQ(rig.setMode(12345), E_INVALIDARG);
    EXPECT_EQ(rig.mode(), ED_MODE_STOP);
    rig.control->Stop();
}

TYPED_TEST(DvDevice, TimecodeReadsTheFrameAtTheHeadAndFailsOnBlankTape)
{
    TapeDescription desc;
    desc.frames = 100;
    this->load(desc);
    Rig rig;
    ASSERT_TRUE(rig.build());
    EXPECT_EQ(rig.timecode(), std::optional<DWORD>(0u));
    // 1 s 12 frames in: 0x00000112.
    ASSERT_EQ(rig.seekTrack(dvtest::trackNumberFor(kPal, {0, 0, 1, 12})), S_OK);
    EXPECT_EQ(rig.timecode(), std::optional<DWORD>(0x00000112u));
    TIMECODE_SAMPLE other{};
    other.dwFlags = 0;
    EXPECT_EQ(rig.timecodeReader->GetTimecode(&other), E_INVALIDARG);
    // Wind onto the blank: no time code there.
    ASSERT_EQ(rig.setMode(ED_MODE_FF), S_OK);
    ASSERT_TRUE(waitFor([&] { return rig.mode() == ED_MODE_STOP; }));
    EXPECT_FALSE(rig.timecode());
    // A step on the blank finds nothing either; back onto the recording it reads again.
    rig.setMode(ED_MODE_STEP_FWD);
    rig.setMode(ED_MODE_STEP_REV);
    EXPECT_FALSE(rig.timecode());
    ASSERT_EQ(rig.seekTrack(dvtest::trackNumberFor(kPal, {0, 0, 3, 24})), S_OK);
    EXPECT_EQ(rig.timecode(), std::optional<DWORD>(0x00000324u));
}

// --- The seek ------------------------------------------------------------------------------

TYPED_TEST(DvDevice, AtnSeekLandsOnTheTimecodeAndPlayStartsThereForPalAndNtsc)
{
    struct Case {
        dif::System system;
        std::vector<dif::Timecode> targets;
    };
    const Case cases[] = {
        {kPal, {{0, 0, 0, 0}, {0, 0, 1, 0}, {0, 0, 59, 24}, {0, 1, 0, 0}, {0, 9, 59, 24}, {0, 10, 0, 0}, {0, 10, 0, 13}}},
        // NTSC: the frames around minutes that drop frame numbers, and the tenth that does not.
        {kNtsc,
         {{0, 0, 0, 0}, {0, 0, 59, 29}, {0, 1, 0, 2}, {0, 1, 0, 3}, {0, 2, 0, 2}, {0, 9, 59, 29}, {0, 10, 0, 0},
          {0, 10, 0, 1}, {0, 10, 0, 2}, {0, 11, 0, 2}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.system));
        const int fps = dif::timecodeFramesPerSecond(c.system);
        TapeDescription desc;
        desc.system = c.system;
        desc.frames = 12LL * 60 * fps;
        for (dif::Timecode tc : c.targets) {
            tc.dropFrame = c.system == kNtsc;
            const std::int64_t at = dif::frameCountFromTimecode(c.system, tc);
            desc.written.emplace_back(at, at + 30);
        }
        this->load(desc);
        Rig rig;
        ASSERT_TRUE(rig.build());
        ASSERT_EQ(rig.control->Run(), S_OK);
        for (dif::Timecode tc : c.targets) {
            tc.dropFrame = c.system == kNtsc;
            SCOPED_TRACE(dif::timecodeBcd(tc));
            BYTE answer[8];
            ASSERT_EQ(rig.seekTrack(dvtest::trackNumberFor(c.system, tc), answer), S_OK);
            EXPECT_TRUE(answer[0] == 0x09 || answer[0] == 0x0F) << int(answer[0]); // ACCEPTED, or INTERIM: winding
            EXPECT_EQ(rig.mode(), ED_MODE_STOP);
            EXPECT_EQ(rig.timecode(), std::optional<DWORD>(dif::timecodeBcd(tc)));
            const std::size_t from = rig.sink->count();
            ASSERT_EQ(rig.setMode(ED_MODE_PLAY), S_OK);
            ASSERT_TRUE(rig.sink->waitForCount(from + 3, kPatience));
            ASSERT_EQ(rig.setMode(ED_MODE_STOP), S_OK);
            rig.sink->waitQuiet(250ms); // a frame on its way when the deck stopped
            const auto first = rig.sink->samples()[from];
            ASSERT_TRUE(first.timecode);
            EXPECT_EQ(dif::timecodeBcd(*first.timecode), dif::timecodeBcd(tc));
            EXPECT_EQ(first.index, dif::frameCountFromTimecode(c.system, tc));
        }
        rig.control->Stop();
    }
}

// The call returns once the deck has taken the seek; the search goes on in
// the deck, its end is read back, and another command ends it.
TYPED_TEST(DvDevice, AtnSeekAnswersAtOnceAndWindsThereUntilAnotherCommand)
{
    TapeDescription desc;
    desc.frames = 4 * 60 * 25;
    desc.written = {{0, 30}, {desc.frames - 30, desc.frames}};
    this->load(desc);
    Rig rig;
    ASSERT_TRUE(rig.build());
    BYTE answer[8];
    ASSERT_EQ(rig.seekTrack(dvtest::trackNumberFor(kPal, {0, 3, 59, 0}), answer, false), S_OK);
    EXPECT_EQ(answer[0], 0x0F); // INTERIM
    EXPECT_EQ(rig.mode(), ED_MODE_FF);
    EXPECT_NE(rig.timecode(), std::optional<DWORD>(0x00035900u));
    ASSERT_TRUE(waitFor([&] { return rig.mode() == ED_MODE_STOP; }));
    EXPECT_EQ(rig.timecode(), std::optional<DWORD>(0x00035900u));
    // Back to the start, and a command while it winds ends the search there.
    ASSERT_EQ(rig.seekTrack(dvtest::trackNumberFor(kPal, {0, 0, 0, 5}), answer, false), S_OK);
    EXPECT_EQ(rig.mode(), ED_MODE_REW);
    ASSERT_EQ(rig.setMode(ED_MODE_STOP), S_OK);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(rig.mode(), ED_MODE_STOP);
    EXPECT_NE(rig.timecode(), std::optional<DWORD>(0x00000005u));
    ASSERT_EQ(rig.seekTrack(dvtest::trackNumberFor(kPal, {0, 0, 0, 5})), S_OK);
    EXPECT_EQ(rig.timecode(), std::optional<DWORD>(0x00000005u));
    // Already there: taken, and the tape stays.
    ASSERT_EQ(rig.seekTrack(dvtest::trackNumberFor(kPal, {0, 0, 0, 5}), answer), S_OK);
    EXPECT_TRUE(answer[0] == 0x09 || answer[0] == 0x0F) << int(answer[0]);
    EXPECT_EQ(rig.mode(), ED_MODE_STOP);
    EXPECT_EQ(rig.timecode(), std::optional<DWORD>(0x00000005u));
}

// --- Camera ------------------------------------------------------------------------------------

TYPED_TEST(DvDevice, ACameraHasNoTransportAndStreamsLiveFrames)
{
    TapeDescription desc;
    desc.frames = 8;
    this->load(desc, dv::DeviceKind::Camera);
    Rig rig;
    ASSERT_TRUE(rig.build());
    LONG type = 0;
    EXPECT_EQ(rig.extDevice->GetCapability(ED_DEVCAP_DEVICE_TYPE, &type, nullptr), S_OK);
    EXPECT_EQ(type, ED_DEVTYPE_CAMERA);
    LONG mode = 0;
    EXPECT_TRUE(FAILED(rig.transport->get_Mode(&mode)));
    for (LONG m : {ED_MODE_PLAY, ED_MODE_STOP, ED_MODE_REW})
        EXPECT_EQ(rig.setMode(m), HRESULT_FROM_WIN32(dv::kErrorNotSupported));
    EXPECT_TRUE(FAILED(rig.seekTrack(624)));
    EXPECT_FALSE(rig.timecode());
    LONG signal = 0;
    EXPECT_EQ(rig.transport->GetTransportBasicParameters(ED_TRANSBASIC_INPUT_SIGNAL, &signal, nullptr), S_OK);
    EXPECT_EQ(signal, ED_TRANSBASIC_SIGNAL_625_50_SD);

    ASSERT_EQ(rig.control->Run(), S_OK);
    ASSERT_TRUE(rig.sink->waitForCount(20, kPatience));
    rig.control->Stop();
    const auto got = rig.sink->samples();
    for (std::size_t i = 0; i < got.size(); ++i)
        EXPECT_EQ(got[i].media, static_cast<LONGLONG>(i));
}
