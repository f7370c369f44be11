// The Capture Setup page on the virtual camcorder: the range proposed for a
// new project from the tape's position, camera mode, NTSC, leaving with and
// without a time code, the device going and coming, and the monitor timer's
// end rules.
#include "SetupFixture.h"

#include "EngineRun.h"

#include <QFileInfo>

using namespace std::chrono_literals;

namespace {

// Frame N of this tape reads the time code 00:00:19:20 + N for N < 15, and
// 00:00:29:20 + (N - 15) after it; a seek to the time code 00:00:00:N puts
// the head on frame N.
const char* const kRecording1 = "length=15,date=2003-06-15,time=14:00:00,tc=00:00:19:20";
const char* const kRecording2 = "length=10,date=2003-06-15,time=15:00:00,tc=00:00:29:20";

bool MakeTape(const std::string& Path, bool Ntsc, std::string* Out)
{
    std::vector<std::string> args;
    if (Ntsc)
        args.push_back("--ntsc");
    for (const char* scene : {kRecording1, kRecording2}) {
        args.push_back("--scene");
        args.push_back(scene);
    }
    args.push_back(Path);
    return th::test::runProgram(th::test::binDir() + "/thtape", args, Out) == 0;
}

} // namespace

class SetupDevice : public SetupFixture {
protected:
    void SetUp() override
    {
        SetupFixture::SetUp();
        // Parts of the window that the capture run's stop uses.
        if (!form->NextPage)
            form->NextPage = new QAction(form.get());
        if (!form->PreviosPage)
            form->PreviosPage = new QAction(form.get());
    }

    void TearDown() override
    {
        SetupFixture::TearDown();
        th::dv::removeCamcorder();
    }

    void Plug(bool Ntsc = false, th::dv::DeviceKind Kind = th::dv::DeviceKind::Vcr)
    {
        std::string out;
        // A new file each time: the camcorder being replaced may still read the old one.
        const std::string tape = dir.file("tape" + std::to_string(++Tapes) + ".dv");
        ASSERT_TRUE(MakeTape(tape, Ntsc, &out)) << out;
        ASSERT_TRUE(e2e::Camcorder(tape, 4.0, 25, Kind));
    }

    // Puts the head on a frame of the tape with the component's seek, then
    // lets go of the device again, as the earlier pages leave it.
    void Position(int Frame, TTimecode Expected)
    {
        TTlmDVCapture& dv = *form->DVCapture;
        dv.SetActive(true);
        ASSERT_TRUE(dv.Active());
        ASSERT_TRUE(dv.SeekATN(MakeTimecode(0, 0, 0, BYTE(Frame))));
        TTimecode tc{};
        EXPECT_TRUE(th::test::waitUntil([&] { return dv.ReadTimecode(tc) && tc == Expected; }, 5s))
            << "read " << Text(tc) << ", expected " << Text(Expected);
        dv.SetActive(false);
    }

    // Seeks while the page is entered. The deck winds after the seek has
    // answered, and the page's refresh would nudge it where it stands when
    // it reads no time code on the way (blank tape): the refresh waits, as
    // the Capture page stops it before its own seek.
    void SeekTo(int Frame, TTimecode Expected)
    {
        TTlmDVCapture& dv = *form->DVCapture;
        QTimer& refresh = *form->CapSetupCameraMonitoringTimer;
        const bool ticking = refresh.isActive();
        refresh.stop();
        ASSERT_TRUE(dv.SeekATN(MakeTimecode(0, 0, 0, BYTE(Frame))));
        TTimecode tc{};
        EXPECT_TRUE(th::test::waitUntil([&] { return dv.ReadTimecode(tc) && tc == Expected; }, 5s))
            << "read " << Text(tc) << ", expected " << Text(Expected);
        if (ticking)
            refresh.start();
    }

    void Tick() { form->CapSetupCameraMonitoringTimerTimer(); }

    int Tapes = 0;
};

// --- The proposal for a new project ----------------------------------------------------

struct Proposal {
    int frame;
    TTimecode tc;
    TTapeOption option;
    bool intoFrom; // the time code lands in the From fields, else in the To fields
};

void PrintTo(const Proposal& P, std::ostream* Os)
{
    *Os << Text(P.tc) << " -> option " << int(P.option);
}

class SetupProposal : public SetupDevice, public ::testing::WithParamInterface<Proposal> {};

TEST_P(SetupProposal, ANewProjectGetsARangeFromTheTapePosition)
{
    const Proposal& p = GetParam();
    Plug();
    Position(p.frame, p.tc);
    TTHProject& project = NewProject();
    const TTimecode earlier = MakeTimecode(0, 1, 2, 3);
    SetFields(earlier, earlier);
    EnterSetup();

    EXPECT_EQ(project.TapeOption, p.option);
    EXPECT_EQ(ShownRange(), int(p.option));
    EXPECT_EQ(Text(p.intoFrom ? From() : To()), Text(p.tc));
    EXPECT_EQ(Text(p.intoFrom ? To() : From()), Text(earlier)) << "the other fields keep their values";
    for (QRadioButton* r : {form->CapFromXtoNRadio, form->CapFromNtoXRadio, form->CapFromBtoERadio, form->CapSetupRadio})
        EXPECT_TRUE(r->isEnabled());
    EXPECT_TRUE(form->CapRewindTapeCheckBox->isEnabled());
    EXPECT_EQ(form->CapFromFSpin->maximum(), 24);
    EXPECT_FALSE(form->CaptureBalloonHint->Shown()) << "a device is there";
    EXPECT_TRUE(form->DVCapture->Active());
    EXPECT_EQ(form->DVCapture->CaptureMode(), cmPreview);
    EXPECT_EQ(form->DVCapture->GetCaptureState(), csRunned);
}

INSTANTIATE_TEST_SUITE_P(Positions, SetupProposal,
                         ::testing::Values(Proposal{4, MakeTimecode(0, 0, 19, 24), toNtoX, true},
                                           Proposal{5, MakeTimecode(0, 0, 20, 0), toXtoN, true},
                                           Proposal{20, MakeTimecode(0, 0, 30, 0), toXtoN, false}),
                         [](const ::testing::TestParamInfo<Proposal>& info) {
                             const TTimecode& tc = info.param.tc;
                             return QString::asprintf("At%02d%02d%02d%02d", tc.Hours, tc.Minutes, tc.Seconds, tc.Frames)
                                 .toStdString();
                         });

TEST_F(SetupDevice, ALaterPickStaysShownAndOnlyTheEntryProposes)
{
    Plug();
    Position(4, MakeTimecode(0, 0, 19, 24));
    TTHProject& p = NewProject();
    EnterSetup();
    ASSERT_EQ(p.TapeOption, toNtoX);

    form->CapFromBtoERadio->click();
    EXPECT_EQ(p.TapeOption, toBtoE);
    EXPECT_EQ(ShownRange(), int(toBtoE));
    for (QWidget* w : form->IntervalControls)
        EXPECT_FALSE(w->isEnabled());

    form->CapSetupRadio->click();
    EXPECT_EQ(p.TapeOption, toXtoX);
    EXPECT_EQ(ShownRange(), int(toXtoX));
    for (QWidget* w : form->IntervalControls)
        EXPECT_TRUE(w->isEnabled());

    // The first tick sees the device type change and refreshes: the pick
    // stays, and the time code goes into the fields again.
    SetFields(MakeTimecode(0, 0, 0, 0), MakeTimecode(0, 0, 0, 0));
    ASSERT_EQ(form->FDeviceType, dtUnknown);
    Tick();
    EXPECT_EQ(form->FDeviceType, dtVCR);
    EXPECT_EQ(p.TapeOption, toXtoX);
    EXPECT_EQ(ShownRange(), int(toXtoX));
    EXPECT_EQ(Text(From()), "00:00:19:24");
    // No change, no refresh.
    SetFields(MakeTimecode(0, 0, 0, 0), MakeTimecode(0, 0, 0, 0));
    Tick();
    EXPECT_EQ(Text(From()), "00:00:00:00");

    form->CapFromManualRadio->click();
    EXPECT_EQ(p.TapeOption, toManual);
    EXPECT_FALSE(form->CapRewindTapeCheckBox->isEnabled());
    form->CapFromXtoNRadio->click();
    EXPECT_EQ(p.TapeOption, toXtoN);
    EXPECT_TRUE(form->CapRewindTapeCheckBox->isEnabled());
}

TEST_F(SetupDevice, APickWhileTheEntryPaintsThePageIsKept)
{
    Plug();
    Position(4, MakeTimecode(0, 0, 19, 24));
    TTHProject& p = NewProject();
    // Comes in while the entry's refresh lets pending messages through.
    QMetaObject::invokeMethod(form->CapFromBtoERadio, "click", Qt::QueuedConnection);
    EnterSetup();
    EXPECT_EQ(p.TapeOption, toBtoE);
    EXPECT_EQ(ShownRange(), int(toBtoE));
}

TEST_F(SetupDevice, InCameraModeOnlyManualCaptureIsOffered)
{
    Plug(false, th::dv::DeviceKind::Camera);
    TTHProject& p = NewProject();
    p.SetTapeOption(toBtoE);
    p.SetShutdown(true);
    EnterSetup();
    ASSERT_TRUE(form->DVCapture->Active());
    EXPECT_EQ(form->DVCapture->GetDeviceType(), dtCamera);
    EXPECT_EQ(p.TapeOption, toManual);
    EXPECT_FALSE(p.Shutdown);
    EXPECT_EQ(ShownRange(), int(toManual));
    for (QRadioButton* r : {form->CapFromXtoNRadio, form->CapFromNtoXRadio, form->CapFromBtoERadio, form->CapSetupRadio})
        EXPECT_FALSE(r->isEnabled());
    EXPECT_FALSE(form->CapRewindTapeCheckBox->isEnabled());
    EXPECT_FALSE(form->CaptureBalloonHint->Shown()) << "the balloon is for no device at all";
}

TEST_F(SetupDevice, AnNtscTapeLetsTheFrameFieldsGoTo29)
{
    Plug(true);
    NewProject();
    EnterSetup();
    EXPECT_EQ(form->DVCapture->SignalFormat(), sfNTSC);
    EXPECT_EQ(form->CapFromFSpin->maximum(), 29);
    EXPECT_EQ(form->CapToFSpin->maximum(), 29);
    form->LeaveCaptureSetupPage();

    // A PAL tape in its place brings the limit back.
    Plug(false);
    EnterSetup();
    EXPECT_EQ(form->DVCapture->SignalFormat(), sfPAL);
    EXPECT_EQ(form->CapFromFSpin->maximum(), 24);
    EXPECT_EQ(form->CapToFSpin->maximum(), 24);
}

// --- A project that is not new ----------------------------------------------------------

TEST_F(SetupDevice, AProjectThatIsNotNewShowsItsRangeAndStoresItOnLeaving)
{
    Plug();
    Position(4, MakeTimecode(0, 0, 19, 24));
    TTHProject& p = NewProject();
    p.IsNew = false;
    p.SetTapeOption(toXtoX);
    p.SetStartTime(MakeTimecode(0, 0, 1, 2));
    p.SetEndTime(MakeTimecode(0, 3, 4, 5));
    EnterSetup();
    EXPECT_EQ(p.TapeOption, toXtoX) << "no proposal";
    EXPECT_EQ(ShownRange(), int(toXtoX));
    EXPECT_EQ(Text(From()), "00:00:01:02");
    EXPECT_EQ(Text(To()), "00:03:04:05");
    form->LeaveCaptureSetupPage();
    EXPECT_FALSE(form->DVCapture->Active());

    struct {
        TTapeOption option;
        const char* start;
        const char* end;
    } const cases[] = {{toXtoN, "00:00:00:00", "00:00:19:24"},
                       {toNtoX, "00:00:19:24", "00:00:00:00"},
                       {toBtoE, "00:00:00:00", "00:00:00:00"},
                       {toManual, "00:00:00:00", "00:00:00:00"}};
    for (const auto& c : cases) {
        p.SetStartTime(MakeTimecode(0, 0, 7, 7));
        p.SetEndTime(MakeTimecode(0, 0, 8, 8));
        p.SetTapeOption(c.option);
        EnterSetup();
        EXPECT_EQ(ShownRange(), int(c.option));
        form->LeaveCaptureSetupPage();
        EXPECT_EQ(Text(p.StartTime), c.start) << int(c.option);
        EXPECT_EQ(Text(p.EndTime), c.end) << int(c.option);
    }

    // A value that names no choice shows none selected.
    p.TapeOption = TTapeOption(7);
    EnterSetup();
    EXPECT_EQ(ShownRange(), -1);
    EXPECT_EQ(p.TapeOption, TTapeOption(7));
}

TEST_F(SetupDevice, LeavingOnBlankTapeRaisesAndThePageStaysEntered)
{
    Plug();
    TTHProject& p = NewProject();
    EnterSetup();
    p.SetTapeOption(toNtoX);
    p.SetStartTime(MakeTimecode(0, 0, 1, 0));
    // Play past the recording onto the blank tape, where no time code is.
    // (The deck then stops, or freezes where the page's refresh nudged it.)
    ASSERT_TRUE(form->DVCapture->TransportPlay());
    TTimecode tc{};
    ASSERT_TRUE(th::test::waitUntil(
        [&] { return !form->DVCapture->ReadTimecode(tc) && form->DVCapture->GetTransportState() != tsPlay; }, 20s));
    try {
        form->LeaveCaptureSetupPage();
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_TRUE(e.Message().startsWith(QStringLiteral("Cannot get timecode from a DV device. The tape may stand "
                                                          "past the end of its recording")))
            << e.Message().toStdString();
    }
    EXPECT_EQ(Text(p.StartTime), "00:00:01:00");
    EXPECT_TRUE(form->DVCapture->Active()) << "the preview goes on";
    EXPECT_TRUE(form->CapSetupCameraMonitoringTimer->isActive());
    EXPECT_TRUE(bool(form->DVCapture->OnDeviceLost));

    // Up to the position, the space cannot be told; Previous still goes back.
    form->CapFromXtoNRadio->click();
    EXPECT_EQ(p.TapeOption, toXtoN);
    EXPECT_TRUE(form->CapReqDiskSpaceLabel->text().startsWith("unknown")) << form->CapReqDiskSpaceLabel->text().toStdString();
    form->PreviosPageExecute();
    EXPECT_EQ(form->ActivePage(), form->JobsTab);
    EXPECT_FALSE(form->DVCapture->Active());
    EXPECT_EQ(Text(p.StartTime), "00:00:01:00");

    // Back on the recording the page can be left with Next's range.
    p.SetTapeOption(toNtoX);
    EnterSetup();
    SeekTo(5, MakeTimecode(0, 0, 20, 0));
    form->LeaveCaptureSetupPage();
    EXPECT_EQ(Text(p.StartTime), "00:00:20:00");
    EXPECT_FALSE(form->DVCapture->Active());
}

// --- The device going and coming --------------------------------------------------------

TEST_F(SetupDevice, TheDeviceGoingAndComingBackRefreshesThePage)
{
    Plug();
    Position(5, MakeTimecode(0, 0, 20, 0));
    TTHProject& p = NewProject();
    EnterSetup();
    ASSERT_EQ(p.TapeOption, toXtoN);

    ASSERT_TRUE(th::dv::unplugCamcorder());
    ASSERT_TRUE(th::test::waitUntil([&] { return !form->DVCapture->Active(); }, 5s));
    ASSERT_TRUE(th::test::waitUntil([&] { return p.TapeOption == toManual; }, 5s));
    EXPECT_EQ(ShownRange(), int(toManual));
    EXPECT_FALSE(form->CapFromXtoNRadio->isEnabled());
    EXPECT_TRUE(form->CaptureBalloonHint->Shown());

    // The component starts the preview by itself; the page takes it back up.
    ASSERT_TRUE(th::dv::plugCamcorder());
    ASSERT_TRUE(th::test::waitUntil([&] { return form->CapFromXtoNRadio->isEnabled(); }, 5s));
    EXPECT_TRUE(form->DVCapture->Active());
    EXPECT_EQ(form->DVCapture->GetCaptureState(), csRunned);
    EXPECT_EQ(p.TapeOption, toManual) << "no new proposal after the entry";
    EXPECT_EQ(ShownRange(), int(toManual));

    form->LeaveCaptureSetupPage();
    // Once left, the page no longer follows the device.
    ASSERT_TRUE(th::dv::unplugCamcorder());
    ASSERT_TRUE(th::dv::plugCamcorder());
    th::test::waitUntil([] { return false; }, 300ms);
    EXPECT_FALSE(form->DVCapture->Active());
}

TEST_F(SetupDevice, ARefusedFileNameResumesThePageWithoutANewProposal)
{
    Plug();
    Position(4, MakeTimecode(0, 0, 19, 24));
    TTHProject& p = NewProject();
    p.SetCaptureFolder(dir.qpath() + "/Video");
    {
        QFile existing(dir.qpath() + "/Video/Tape.avi");
        ASSERT_TRUE(existing.open(QIODevice::WriteOnly));
    }
    EnterSetup();
    ASSERT_EQ(p.TapeOption, toNtoX);
    form->CapFromBtoERadio->click();
    form->LeaveCaptureSetupPage();
    ASSERT_FALSE(form->DVCapture->Active());

    SetModalHook([](QDialog&) { return 3; });
    EXPECT_THROW(form->ChooseCaptureFileName(), ETlmTHInfo);
    EXPECT_TRUE(form->DVCapture->Active());
    EXPECT_EQ(form->DVCapture->GetCaptureState(), csRunned);
    EXPECT_TRUE(form->CapSetupCameraMonitoringTimer->isActive());
    EXPECT_EQ(p.TapeOption, toBtoE);
    EXPECT_EQ(ShownRange(), int(toBtoE));
}

// --- End rules of the monitor timer -------------------------------------------------------

TEST_F(SetupDevice, AWholeTapeCaptureEndsWhenTheTransportStopsAfterFrames)
{
    Plug();
    TTHProject& p = NewProject();
    EnterSetup();
    p.SetTapeOption(toBtoE);
    form->FDeviceType = dtVCR;
    form->FCapturing = true;
    ASSERT_EQ(form->DVCapture->GetTransportState(), tsStop);

    // Stopped before the first frame: the tape has not started yet.
    form->FProgressCount = 0;
    Tick();
    EXPECT_TRUE(form->FCapturing);

    // Frames while the tape plays.
    ASSERT_TRUE(form->DVCapture->TransportPlay());
    ASSERT_TRUE(th::test::waitUntil([&] { return form->DVCapture->GetTransportState() == tsPlay; }, 5s));
    form->FProgressCount = 12;
    Tick();
    EXPECT_TRUE(form->FCapturing);

    // The end of the tape.
    ASSERT_TRUE(th::test::waitUntil([&] { return form->DVCapture->GetTransportState() == tsStop; }, 10s));
    Tick();
    EXPECT_FALSE(form->FCapturing);
    EXPECT_EQ(p.TapeOption, toManual);
}

TEST_F(SetupDevice, ACaptureToTheEndOfTheRecordEndsAfterFiveTicksWithoutANewFrame)
{
    Plug();
    TTHProject& p = NewProject();
    EnterSetup();
    p.SetTapeOption(toNtoX);
    form->FDeviceType = dtVCR;
    form->FCapturing = true;
    form->FLastCount = 0;
    form->FStallTicks = 0;

    // Before the first frame the deck gets eight ticks to start playing
    // (a capture that never gets one ends with a word of its own).
    for (int i = 0; i < 7; ++i)
        Tick();
    EXPECT_TRUE(form->FCapturing);
    EXPECT_EQ(form->FStallTicks, 0);

    form->FProgressCount = 10;
    Tick(); // a new count
    EXPECT_EQ(form->FLastCount, 10);
    EXPECT_EQ(form->FStallTicks, 0);
    for (int i = 0; i < 4; ++i)
        Tick();
    EXPECT_EQ(form->FStallTicks, 4);
    EXPECT_TRUE(form->FCapturing);

    // A frame starts the count again.
    form->FProgressCount = 11;
    Tick();
    EXPECT_EQ(form->FStallTicks, 0);
    for (int i = 0; i < 4; ++i)
        Tick();
    EXPECT_TRUE(form->FCapturing);
    Tick(); // the fifth in a row
    EXPECT_FALSE(form->FCapturing);
    EXPECT_EQ(p.TapeOption, toManual);
}

TEST_F(SetupDevice, TheTimerDoesNothingWhileTheComponentIsInactive)
{
    Plug();
    TTHProject& p = NewProject();
    p.SetTapeOption(toNtoX);
    form->FCapturing = true;
    form->FProgressCount = 10;
    form->FLastCount = 10;
    for (int i = 0; i < 8; ++i)
        Tick();
    EXPECT_TRUE(form->FCapturing);
    EXPECT_EQ(form->FStallTicks, 0);
    EXPECT_EQ(form->FDeviceType, dtUnknown);
}
