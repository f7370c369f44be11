// The Capture page: the device and capture panels, the transport buttons,
// a device that is missing or arrives, and the scenes list rebuilt from the
// project's earlier captures.
#include "CaptureFixture.h"

#include "capture/TlmVWin.h"

#include <QDir>
#include <QLabel>

using namespace capturetest;

namespace {

class CapturePage : public CaptureFixture {
protected:
    bool WaitForState(TTransportState State)
    {
        return th::test::waitUntil([&] { return form->DVCapture->GetTransportState() == State; });
    }
    std::vector<QAction*> Transport() const
    {
        return {form->CamPlay,     form->CamStop, form->CamPause,   form->CamStillPrev, form->CamStillNext,
                form->CamRew,      form->CamFForw, form->CamPlayRew, form->CamPlayFwd};
    }
    QStringList Captions() const
    {
        QStringList l;
        for (int i = 0; i < form->CaptureScenesListView->count(); ++i)
            l << form->CaptureScenesListView->item(i)->text();
        return l;
    }
    // A full capture of the tape from its start with the Start and Stop buttons.
    void CaptureTheTape()
    {
        form->CaptureStart->trigger();
        ASSERT_TRUE(WaitForTapeEnd());
        form->CaptureStop->trigger();
        form->CamRew->trigger();
        ASSERT_TRUE(WaitForState(tsStop));
    }
};

} // namespace

TEST_F(CapturePage, PanelsShowTheDeviceAndTheSettings)
{
    Tape(ThreeScenes(), 1);
    Window(toManual);
    // The window's component: a preview only when a page asks for one, at
    // the size of its window; and a picture while no video is attached.
    EXPECT_FALSE(form->DVCapture->AutoStart());
    EXPECT_EQ(form->DVCapture->DVResolution(), dvrQuarter);
    EXPECT_FALSE(form->PreviewWindow->BackGround().isNull());
    form->resize(form->minimumSize());
    form->show();
    ShowCapturePage();
    // The start balloon hides none of the page's controls.
    ASSERT_TRUE(form->CaptureBalloonHint->Shown());
    const QRect balloon = form->CaptureBalloonHint->frameGeometry();
    for (QWidget* w : std::initializer_list<QWidget*>{form->CaptureDroppedEdit, form->CaptureDateTimeEdit,
                                                      form->StopCaptureButton, form->CaptureStatusText,
                                                      form->CaptureVolumeTrackBar}) {
        const QRect at(w->mapToGlobal(QPoint(0, 0)), w->size());
        EXPECT_FALSE(at.intersects(balloon)) << w->objectName().toStdString();
    }
    EXPECT_EQ(form->CaptureSignalLabel->text(), "PAL (720x576 25fps)");
    EXPECT_EQ(form->CaptureCameraModeLabel->text(), "VCR");
    EXPECT_EQ(form->CaptureModeLabel->text(), "Manual");
    EXPECT_EQ(form->CaptureFileTypeLabel->text(), "Single DV AVI Type-2");
    EXPECT_TRUE(form->CaptureVolumeTrackBar->isEnabled()) << "the preview has sound";
    form->CaptureVolumeTrackBar->setValue(-1500);
    EXPECT_EQ(form->DVCapture->Volume(), -1500);

    TTHProject& p = *form->FProject;
    p.SetStartTime(MakeTimecode(0, 0, 10, 5));
    p.SetEndTime(MakeTimecode(0, 1, 2, 3));
    p.SetSplitFiles(true);
    p.SetFileType(0);
    const std::pair<TTapeOption, const char*> modes[] = {{toXtoN, "00:00:00:00 to 00:01:02:03"},
                                                         {toNtoX, "00:00:10:05 to the end"},
                                                         {toBtoE, "Whole tape"},
                                                         {toXtoX, "00:00:10:05 to 00:01:02:03"}};
    for (const auto& [option, text] : modes) {
        p.SetTapeOption(option);
        form->UpdateCaptureInfo();
        EXPECT_EQ(form->CaptureModeLabel->text(), text);
        EXPECT_FALSE(form->CamNavigatorToolBar->isEnabled()) << "the tape is the program's";
    }
    EXPECT_EQ(form->CaptureFileTypeLabel->text(), "Multiple DV AVI Type-1");
}

TEST_F(CapturePage, TransportButtonsFollowTheTape)
{
    Tape(ThreeScenes(), 1);
    Window(toManual);
    ShowCapturePage();
    EXPECT_TRUE(form->CamNavigatorToolBar->isEnabled());
    EXPECT_EQ(form->CamPlayButton->defaultAction(), form->CamPlay);
    EXPECT_FALSE(form->CamStillNext->isEnabled());

    form->CamPlayButton->click();
    ASSERT_TRUE(WaitForState(tsPlay));
    form->UpdateCamcorderButtons();
    EXPECT_EQ(form->CamPlayButton->defaultAction(), form->CamPause);
    EXPECT_EQ(form->CamRewButton->defaultAction(), form->CamPlayRew);
    EXPECT_EQ(form->CamFForwButton->defaultAction(), form->CamPlayFwd);
    EXPECT_EQ(form->CamPlayButton->actions().size(), 1) << "no menu of earlier actions";
    EXPECT_FALSE(form->CamStillNext->isEnabled()) << "only while paused";

    form->CamPlayButton->click(); // pause
    ASSERT_TRUE(WaitForState(tsFreeze));
    form->UpdateCamcorderButtons();
    EXPECT_TRUE(form->CamStillPrev->isEnabled() && form->CamStillNext->isEnabled());
    EXPECT_EQ(form->CamPlayButton->defaultAction(), form->CamPlay);
    EXPECT_EQ(form->CamRewButton->defaultAction(), form->CamPlayRew);

    form->CamStopButton->click();
    ASSERT_TRUE(WaitForState(tsStop));
    form->UpdateCamcorderButtons();
    EXPECT_EQ(form->CamRewButton->defaultAction(), form->CamRew);
    EXPECT_FALSE(form->CamStillPrev->isEnabled());
}

TEST_F(CapturePage, ACameraHasNoTransport)
{
    Tape(ThreeScenes(), 1, 25, th::dv::DeviceKind::Camera);
    Window(toManual);
    ShowCapturePage();
    EXPECT_EQ(form->CaptureCameraModeLabel->text(), "Camera");
    for (QAction* a : Transport())
        EXPECT_FALSE(a->isEnabled()) << a->objectName().toStdString();
}

TEST_F(CapturePage, WithoutADeviceNothingStartsUntilOneArrivesAndIsStarted)
{
    Window(toXtoX);
    form->FProject->SetEndTime(MakeTimecode(0, 0, 2, 0));
    ShowCapturePage();
    EXPECT_EQ(Status(), "Cannot find a camcorder. May be camcorder is busy or turned off.");
    EXPECT_EQ(form->CaptureSignalLabel->text(), "No signal");
    EXPECT_EQ(form->CaptureCameraModeLabel->text(), "Off");
    for (QAction* a : Transport())
        EXPECT_FALSE(a->isEnabled()) << a->objectName().toStdString();
    EXPECT_FALSE(form->CaptureStart->isEnabled() || form->CaptureStop->isEnabled());
    for (QTimer* t : {form->TimecodeTimer, form->DetectIntermediateStopTimer, form->CaptureDiskSpaceMonitorTimer,
                      form->CapSetupCameraMonitoringTimer})
        EXPECT_FALSE(t->isActive()) << t->objectName().toStdString();
    EXPECT_FALSE(form->NextPage->isEnabled()) << "an automatic range";

    Tape(ThreeScenes(), 1);
    ASSERT_TRUE(th::test::waitUntil([&] { return form->CaptureCameraModeLabel->text() == "VCR"; }));
    EXPECT_FALSE(form->FCapturing) << "no capture starts by itself";
    EXPECT_TRUE(form->CaptureStart->isEnabled());
    EXPECT_EQ(Status(), "Cannot find a camcorder. May be camcorder is busy or turned off.");
    form->CaptureStart->trigger();
    EXPECT_TRUE(form->FCapturing);
    EXPECT_TRUE(form->TimecodeTimer->isActive()) << "with the end rule of the range";
    EXPECT_TRUE(form->CapSetupCameraMonitoringTimer->isActive() && form->CaptureDiskSpaceMonitorTimer->isActive());
}

TEST_F(CapturePage, ScenesListIsRebuiltFromTheEarlierCaptures)
{
    std::string out;
    ASSERT_TRUE(e2e::RegisterWriter(&out)) << out;
    Tape(ThreeScenes(), 4);
    Window(toManual);
    ShowCapturePage();
    CaptureTheTape(); // one file with a scene file
    form->LeaveCapturePage();
    form->FProject->SetSplitFiles(true);
    form->FCaptureFileName = CaptureFile("Split");
    ShowCapturePage();
    CaptureTheTape(); // a file per scene
    form->LeaveCapturePage();
    ASSERT_EQ(form->FProject->Files.size(), 4);
    // The first scene file is the one whose first frame the tape may have
    // played before the graph ran.
    ASSERT_TRUE(QFile::remove(form->FProject->Files.at(1)));
    form->FProject->Files << CaptureFile("Gone");

    form->LoadScenesList();
    QStringList split = {"Split 20040305-09.00.00.avi", "Split 20040306-10.30.00.avi"};
    EXPECT_EQ(Captions(), QStringList({"2004.03.05 07:08:09", "2004.03.05 09:00:00", "2004.03.06 10:30:00"}) + split);

    // Other elements among the scenes are skipped; a damaged scene file, or
    // a damaged capture file, costs that file's thumbnails only.
    QFile thf(ChangeFileExt(CaptureFile(), ".thf"));
    ASSERT_TRUE(thf.open(QIODevice::WriteOnly));
    thf.write("<video><scenes><note/><scene><start>30</start><name>Only</name></scene></scenes></video>");
    thf.close();
    form->LoadScenesList();
    EXPECT_EQ(Captions(), QStringList{"Only"} + split);
    ASSERT_TRUE(thf.open(QIODevice::WriteOnly));
    thf.write("<video><scenes>");
    thf.close();
    QFile damaged(CaptureFile("Split 20040305-09.00.00"));
    ASSERT_TRUE(damaged.open(QIODevice::WriteOnly));
    damaged.write(QByteArray(4096, 'x'));
    damaged.close();
    form->LoadScenesList();
    EXPECT_EQ(Captions(), QStringList({"Tape.avi cannot be read", "Split 20040305-09.00.00.avi cannot be read",
                                       "Split 20040306-10.30.00.avi"}));
    EXPECT_TRUE(form->CaptureScenesListView->item(0)->toolTip().contains("not valid XML"))
        << form->CaptureScenesListView->item(0)->toolTip().toStdString();
    split[0] += " cannot be read";
    // One nested deeper than scene files go is refused before it is parsed.
    ASSERT_TRUE(thf.open(QIODevice::WriteOnly));
    thf.write("<video><scenes>" + QByteArray("<scene>").repeated(100000) + "</scenes></video>");
    thf.close();
    form->LoadScenesList();
    EXPECT_TRUE(form->CaptureScenesListView->item(0)->toolTip().contains("nested more than 32 deep"))
        << form->CaptureScenesListView->item(0)->toolTip().toStdString();

    // The file the next capture would write keeps its scenes until a capture rewrites it.
    form->DVCapture->SetFileName(CaptureFile());
    form->LoadScenesList();
    EXPECT_EQ(Captions().mid(1), split);
    form->LoadScenesList(CaptureFile());
    EXPECT_EQ(Captions(), split);
}

TEST_F(CapturePage, ACaptureFolderThatCannotBeMadeKeepsThePageUnentered)
{
    Window(toManual);
    // A file where the project's own folder, the capture folder's parent, should be.
    const QString parent = ExtractFileDir(form->FProject->CaptureFolder);
    ASSERT_TRUE(QDir(parent).removeRecursively());
    QFile blocker(parent);
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    EXPECT_THROW(form->EnterCapturePage(), Exception);
    EXPECT_TRUE(form->FProject->FileName.isEmpty()) << "not saved";
    EXPECT_FALSE(form->DVCapture->Active());
}
