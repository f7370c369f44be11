// Transport commands, device type, signal format, time code and the seek by
// absolute track number, on a double of the device's control interfaces.
#include "CaptureFakes.h"

#include <gtest/gtest.h>

using th::com::MakeCom;
using A = TlmDVCaptureTestAccess;

namespace {

class Transport : public ::testing::Test {
protected:
    void SetUp() override
    {
        device = MakeCom<fakes::Device>();
        A::SetDevice(dv, device.Get());
        A::SetActive(dv, true, csStopped);
    }
    void TearDown() override { A::ReleaseAll(dv); }

    // The three operand bytes of the last seek, least significant first.
    std::vector<BYTE> Operands() const
    {
        if (device->rawCommands.empty())
            return {};
        const auto& c = device->rawCommands.back();
        return {c[4], c[5], c[6]};
    }
    std::int64_t LastTrack() const
    {
        const auto o = Operands();
        return o.empty() ? -1 : o[0] | o[1] << 8 | o[2] << 16;
    }
    QString SeekError(TTimecode tc)
    {
        try {
            dv.SeekATN(tc);
        } catch (const Exception& e) {
            return e.Message();
        }
        return "no error";
    }

    TTlmDVCapture dv;
    ComPtr<fakes::Device> device;
};

} // namespace

TEST_F(Transport, CommandsSetTheirModesAndReportOnlyFullSuccess)
{
    const std::vector<std::pair<bool (TTlmDVCapture::*)(), LONG>> commands{
        {&TTlmDVCapture::TransportPlay, ED_MODE_PLAY},
        {&TTlmDVCapture::TransportStop, ED_MODE_STOP},
        {&TTlmDVCapture::TransportPause, ED_MODE_FREEZE},
        {&TTlmDVCapture::TransportStillNext, ED_MODE_STEP_FWD},
        {&TTlmDVCapture::TransportStillPrev, ED_MODE_STEP_REV},
        {&TTlmDVCapture::TransportPlayRew, ED_MODE_PLAY_FASTEST_REV},
        {&TTlmDVCapture::TransportPlayFwd, ED_MODE_PLAY_FASTEST_FWD},
        {&TTlmDVCapture::TransportRew, ED_MODE_REW},
        {&TTlmDVCapture::TransportFForw, ED_MODE_FF},
    };
    for (const auto& [command, mode] : commands) {
        EXPECT_TRUE((dv.*command)());
        EXPECT_EQ(device->modes.back(), mode);
    }
    device->putModeResult = S_FALSE;
    EXPECT_FALSE(dv.TransportPlay()) << "a success code other than S_OK is no success";
    device->putModeResult = E_FAIL;
    EXPECT_FALSE(dv.TransportStop()) << "a failure is a False result, not an error";

    // After a deactivation the last device is still driven.
    device->putModeResult = S_OK;
    A::SetActive(dv, false);
    EXPECT_TRUE(dv.TransportPlay());
    EXPECT_EQ(dv.GetTransportState(), tsPlay);
}

TEST_F(Transport, StatesFollowTheModesAndUnknownModesAreUnknown)
{
    const std::vector<std::pair<LONG, TTransportState>> table{
        {ED_MODE_PLAY, tsPlay},
        {ED_MODE_STOP, tsStop},
        {ED_MODE_FREEZE, tsFreeze},
        {ED_MODE_REW, tsRew},
        {ED_MODE_FF, tsFForw},
        {ED_MODE_PLAY_FASTEST_REV, tsPlayRew},
        {ED_MODE_PLAY_FASTEST_FWD, tsPlayFwd},
        {ED_MODE_STEP_REV, tsStillPrev},
        {ED_MODE_STEP_FWD, tsStillNext},
        {ED_MODE_RECORD, tsRecord},
        {ED_MODE_RECORD_FREEZE, tsRecordFreeze},
        {ED_MODE_PLAY_SLOWEST_REV, tsPlaySlowRew},
        {ED_MODE_PLAY_SLOWEST_FWD, tsPlaySlowFwd},
        {ED_MODE_REW_FASTEST, tsRewFastest},
        {ED_MODE_REV_PLAY, tsRevPlay},
        {ED_MODE_THAW, tsUnknown},
        {ED_MODE_RECORD_STROBE, tsUnknown},
        {ED_MODE_WIND, tsUnknown},
        {0, tsUnknown},
    };
    for (const auto& [mode, state] : table) {
        device->mode = mode;
        EXPECT_EQ(dv.GetTransportState(), state) << mode;
    }
    device->mode = ED_MODE_PLAY;
    device->getModeResult = S_FALSE;
    EXPECT_EQ(dv.GetTransportState(), tsUnknown) << "no reading";
}

TEST_F(Transport, WithoutInterfacesEverythingAnswersAsForNoDevice)
{
    A::ReleaseAll(dv);
    A::SetActive(dv, true, csStopped);
    EXPECT_EQ(dv.SetTransportMode(ED_MODE_PLAY), S_FALSE);
    EXPECT_FALSE(dv.TransportPlay());
    LONG mode = 7;
    EXPECT_EQ(dv.GetTransportMode(mode), S_FALSE);
    EXPECT_EQ(dv.GetTransportState(), tsUnknown);
    EXPECT_EQ(dv.GetSignalFormat(), sfNone);
    EXPECT_EQ(dv.GetDeviceType(), dtUnknown);
    TTimecode tc = MakeTimecode(1, 2, 3, 4);
    EXPECT_FALSE(dv.ReadTimecode(tc));
    EXPECT_EQ(tc, MakeTimecode(0, 0, 0, 0));
    EXPECT_FALSE(dv.GetTimecode(tc));
    EXPECT_FALSE(dv.SeekATN(MakeTimecode(0, 0, 1, 0)));
}

TEST_F(Transport, DeviceTypeAndSignalFormat)
{
    EXPECT_EQ(dv.GetDeviceType(), dtVCR);
    device->deviceType = ED_DEVTYPE_CAMERA;
    EXPECT_EQ(dv.GetDeviceType(), dtCamera);
    device->deviceType = 1;
    EXPECT_EQ(dv.GetDeviceType(), dtUnknown);

    const std::vector<std::pair<LONG, TDVSignalFormat>> signalTable{
        {ED_TRANSBASIC_SIGNAL_525_60_SD, sfNTSC},
        {ED_TRANSBASIC_SIGNAL_525_60_SDL, sfNTSCLong},
        {ED_TRANSBASIC_SIGNAL_625_50_SD, sfPAL},
        {ED_TRANSBASIC_SIGNAL_625_50_SDL, sfPALLong},
        {5037, sfOther},
    };
    for (const auto& [signal, format] : signalTable) {
        device->signal = signal;
        EXPECT_EQ(dv.GetSignalFormat(), format) << signal;
    }
    device->signalResult = E_FAIL;
    device->signal = ED_TRANSBASIC_SIGNAL_625_50_SD;
    EXPECT_EQ(dv.GetSignalFormat(), sfOther) << "a failed reading";

    A::SetActive(dv, false);
    EXPECT_EQ(dv.GetDeviceType(), dtUnknown) << "inactive";
    EXPECT_EQ(dv.GetSignalFormat(), sfNone);
}

TEST_F(Transport, FrameRateFollowsTheKeptSignalFormat)
{
    EXPECT_EQ(dv.FrameRate(), 25) << "before the first graph build";
    for (const auto& [format, rate] : {std::pair{sfNTSC, 30}, {sfNTSCLong, 30}, {sfPAL, 25}, {sfPALLong, 25},
                                       {sfNone, 25}, {sfOther, 25}}) {
        A::SetSignalFormat(dv, format);
        EXPECT_EQ(dv.FrameRate(), rate) << format;
    }
}

TEST_F(Transport, TimecodesAreReadAsBcdHoursToFrames)
{
    device->timecodes = {{S_OK, 0x01234512}};
    TTimecode tc;
    EXPECT_TRUE(dv.ReadTimecode(tc));
    EXPECT_EQ(tc, MakeTimecode(1, 23, 45, 12));
    device->timecodes = {{S_OK, 0x23595924}};
    EXPECT_TRUE(dv.ReadTimecode(tc));
    EXPECT_EQ(tc, MakeTimecode(23, 59, 59, 24));
    device->timecodes = {{E_FAIL, 0x01020304}};
    EXPECT_FALSE(dv.ReadTimecode(tc));
    EXPECT_EQ(tc, MakeTimecode(0, 0, 0, 0));
    A::SetActive(dv, false);
    device->timecodes = {{S_OK, 0x01020304}};
    EXPECT_FALSE(dv.ReadTimecode(tc)) << "inactive";
}

TEST_F(Transport, GetTimecodeNudgesATransportThatReportsNone)
{
    device->timecodes = {{S_OK, 0x00000102}};
    TTimecode tc;
    EXPECT_TRUE(dv.GetTimecode(tc));
    EXPECT_TRUE(device->modes.empty()) << "a first good reading needs no nudge";

    device->timecodeReads = 0;
    device->log.clear();
    device->timecodes = {{E_FAIL, 0}, {E_FAIL, 0}, {S_OK, 0x00000205}};
    EXPECT_TRUE(dv.GetTimecode(tc));
    EXPECT_EQ(tc, MakeTimecode(0, 0, 2, 5));
    EXPECT_EQ(device->log, (std::vector<std::string>{"read", "mode 4304", "mode 4905", "read", "mode 4298", "read"}));

    device->timecodeReads = 0;
    device->log.clear();
    device->timecodes = {{E_FAIL, 0}, {S_OK, 0x00000001}};
    EXPECT_TRUE(dv.GetTimecode(tc));
    EXPECT_EQ(device->log, (std::vector<std::string>{"read", "mode 4304", "mode 4905", "read"}));

    device->timecodeReads = 0;
    device->log.clear();
    device->timecodes = {{E_FAIL, 0}};
    device->putModeResult = E_FAIL;
    EXPECT_FALSE(dv.GetTimecode(tc));
    EXPECT_EQ(device->log, (std::vector<std::string>{"read", "mode 4304", "read", "mode 4298", "read"}))
        << "no step back after a failed step forward";
}

TEST(TrackNumber, PalAndNtscArithmetic)
{
    EXPECT_EQ(TTlmDVCapture::TrackNumber(MakeTimecode(0, 0, 1, 0), sfPAL), 624);
    EXPECT_EQ(TTlmDVCapture::TrackNumber(MakeTimecode(0, 0, 1, 0), sfNTSC), 620);
    EXPECT_EQ(TTlmDVCapture::TrackNumber(MakeTimecode(0, 5, 0, 0), sfNTSC), 179840);
    EXPECT_EQ(TTlmDVCapture::TrackNumber(MakeTimecode(5, 0, 0, 0), sfPALLong), 10800024);
    EXPECT_EQ(TTlmDVCapture::TrackNumber(MakeTimecode(0, 0, 0, 0), sfOther), 20) << "other signals count as NTSC";
    // The drop-frame correction equals 2 frames for every minute not divisible by 10.
    for (int tm = 0; tm < 1440; tm += 7) {
        const auto tc = MakeTimecode(BYTE(tm / 60), BYTE(tm % 60), 30, 10);
        const double fractional = ((tm * 60.0 + 30) * 30 + 11 - 2 * (tm - tm / 10.0)) * 20;
        EXPECT_EQ(TTlmDVCapture::TrackNumber(tc, sfNTSC), std::llround(fractional)) << tm;
    }
}

TEST_F(Transport, SeekSendsTheTrackNumberOfTheNextFrame)
{
    A::SetSignalFormat(dv, sfPAL);
    EXPECT_TRUE(dv.SeekATN(MakeTimecode(0, 0, 1, 0)));
    ASSERT_EQ(device->rawCommands.size(), 1u);
    EXPECT_EQ(device->rawCommands[0], (std::vector<BYTE>{0x00, 0x20, 0x52, 0x20, 0x70, 0x02, 0x00, 0xFF}));
    A::SetSignalFormat(dv, sfNTSC);
    dv.SeekATN(MakeTimecode(0, 0, 1, 0));
    EXPECT_EQ(Operands(), (std::vector<BYTE>{0x6C, 0x02, 0x00}));
    dv.SeekATN(MakeTimecode(0, 5, 0, 0));
    EXPECT_EQ(LastTrack(), 179840);
    A::SetSignalFormat(dv, sfPAL);
    dv.SeekATN(MakeTimecode(5, 0, 0, 0));
    EXPECT_EQ(LastTrack(), 10800024);
    device->rawResult = E_FAIL;
    EXPECT_TRUE(dv.SeekATN(MakeTimecode(0, 0, 2, 0))) << "any other answer of the device is taken as sent";
}

TEST_F(Transport, SeekRejectsOutOfRangeInput)
{
    A::SetSignalFormat(dv, sfPAL);
    EXPECT_EQ(SeekError(MakeTimecode(0, 0, 0, 24)), "no error");
    EXPECT_EQ(SeekError(MakeTimecode(0, 0, 0, 25)), "Frame should be from 0 to 24 for PAL");
    A::SetSignalFormat(dv, sfNTSCLong);
    EXPECT_EQ(SeekError(MakeTimecode(0, 0, 0, 29)), "no error");
    EXPECT_EQ(SeekError(MakeTimecode(0, 0, 0, 30)), "Frame should be from 0 to 29 for NTSC");
    A::SetSignalFormat(dv, sfOther);
    EXPECT_EQ(SeekError(MakeTimecode(0, 0, 0, 99)), "no error") << "no frame limit for other signals";

    const QString invalid = "Invalid Parameter - Time entered should be:\r\nHour:Minute:Second:Frame";
    EXPECT_EQ(SeekError(MakeTimecode(24, 0, 0, 0)), invalid);
    EXPECT_EQ(SeekError(MakeTimecode(0, 60, 0, 0)), invalid);
    EXPECT_EQ(SeekError(MakeTimecode(0, 0, 60, 0)), invalid);

    // Track numbers beyond 24 bits would seek to a wrong place.
    A::SetSignalFormat(dv, sfPAL);
    device->rawCommands.clear();
    EXPECT_EQ(SeekError(MakeTimecode(7, 46, 1, 0)), "no error");
    EXPECT_LE(LastTrack(), 0xFFFFFF);
    QString beyond = SeekError(MakeTimecode(7, 46, 2, 0));
    EXPECT_TRUE(beyond.contains("07:46:02:00")) << beyond.toStdString();
    EXPECT_EQ(device->rawCommands.size(), 1u) << "nothing is sent";
    EXPECT_EQ(SeekError(MakeTimecode(23, 59, 59, 24)), beyond.replace("07:46:02:00", "23:59:59:24"));

    device->rawResult = 1235;
    EXPECT_EQ(SeekError(MakeTimecode(0, 0, 1, 0)), "ATN Seek returns ERROR REQUEST ABORTED");
}

TEST_F(Transport, SeekStopsAPlayingTapeAndNeverMovesACamera)
{
    A::SetSignalFormat(dv, sfPAL);
    device->mode = ED_MODE_PLAY;
    dv.SeekATN(MakeTimecode(0, 0, 1, 0));
    EXPECT_EQ(device->log, (std::vector<std::string>{"mode 4297", "raw"})) << "stop, then the command";
    device->log.clear();
    dv.SeekATN(MakeTimecode(0, 0, 1, 0));
    EXPECT_EQ(device->log, std::vector<std::string>{"raw"}) << "a stopped tape is left alone";

    device->log.clear();
    device->deviceType = ED_DEVTYPE_CAMERA;
    EXPECT_FALSE(dv.SeekATN(MakeTimecode(0, 0, 1, 0)));
    EXPECT_EQ(SeekError(MakeTimecode(0, 0, 0, 99)), "no error") << "a camera is not even checked";
    EXPECT_TRUE(device->log.empty());

    device->deviceType = ED_DEVTYPE_VCR;
    A::SetActive(dv, false);
    EXPECT_FALSE(dv.SeekATN(MakeTimecode(0, 0, 1, 0))) << "inactive";
    EXPECT_TRUE(device->log.empty());
}
