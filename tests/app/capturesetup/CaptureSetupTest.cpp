// The Capture Setup page without a camcorder: the choices and what they
// store, the page with no device, the disk-space estimate, leaving the page
// and the choice of the capture file name.
#include "SetupFixture.h"

#include "platform/dv/FireWireDiagnosis.h"
#include "platform/win/Drives.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QToolButton>
#include <QUrl>
#include <QSettings>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>

namespace {

QString FreeText(std::int64_t Free)
{
    return FormatBytes(QString(), true, Free) + "; about " + FormatDuration(1, Free / 3866695) + " of video";
}

std::int64_t FreeBytes(const QString& Path)
{
    std::uint64_t free = 0;
    if (!GetDiskFreeSpaceEx(QFile::encodeName(Path).constData(), &free, nullptr, nullptr))
        return 0;
    return std::int64_t(free);
}

// Types a name into a shown file dialog, as the user would; the dialog keeps
// what is typed in a focused name field.
void Pick(QFileDialog& Dialog, const QString& Path)
{
    if (QWidget* focused = Dialog.focusWidget())
        focused->clearFocus();
    Dialog.selectFile(Path);
}

void Touch(const QString& Path)
{
    QDir().mkpath(QFileInfo(Path).path());
    QFile f(Path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("RIFF");
}

} // namespace

// --- Choices -------------------------------------------------------------------------

TEST_F(SetupFixture, TheFormStartsWithItsDefaultChoicesAndEachGroupHoldsOne)
{
    EXPECT_TRUE(form->CapFromXtoNRadio->isChecked());
    EXPECT_TRUE(form->CapType2Radio->isChecked());
    EXPECT_TRUE(form->CapPreviewCheckBox->isChecked());
    EXPECT_TRUE(form->CapScenesWholeRadio->isChecked());
    EXPECT_FALSE(form->CapSetupCameraMonitoringTimer->isActive());
    EXPECT_EQ(form->CapSetupCameraMonitoringTimer->interval(), 1000);
    EXPECT_EQ(form->CapFromHSpin->maximum(), 23);
    EXPECT_EQ(form->CapToMSpin->maximum(), 59);
    EXPECT_EQ(form->CapFromSSpin->maximum(), 59);
    EXPECT_EQ(form->CapToFSpin->maximum(), 24);
    EXPECT_EQ(form->CapScenesMult->text(), QStringLiteral("Detect and write scenes in multiple files. "));
    // "from:", "to:", eight unit labels and eight spins.
    EXPECT_EQ(form->IntervalControls.size(), 18u);

    // Picking one choice of a group lets go of the other, action and control alike.
    form->CapFromBtoERadio->click();
    EXPECT_TRUE(form->CapFromBtoE->isChecked());
    EXPECT_FALSE(form->CapFromXtoN->isChecked());
    EXPECT_FALSE(form->CapFromXtoNRadio->isChecked());
    form->CapType1Radio->click();
    EXPECT_FALSE(form->CapType2->isChecked());
    form->CapScenesMultRadio->click();
    EXPECT_FALSE(form->CapScenesWhole->isChecked());
}

TEST_F(SetupFixture, EachPickIsStoredInTheProjectAtOnce)
{
    TTHProject& p = NewProject();
    p.SetFileType(1);
    p.SetShowPreview(true);
    p.SetSplitFiles(false);
    p.SetRewindTape(false);
    p.Modified = false;

    form->CapType1Radio->click();
    EXPECT_EQ(p.FileType, 0);
    EXPECT_TRUE(p.Modified);
    form->CapType2Radio->click();
    EXPECT_EQ(p.FileType, 1);
    form->CapPreviewCheckBox->click();
    EXPECT_FALSE(p.ShowPreview);
    form->CapPreviewCheckBox->click();
    EXPECT_TRUE(p.ShowPreview);
    form->CapScenesMultRadio->click();
    EXPECT_TRUE(p.SplitFiles);
    form->CapScenesWholeRadio->click();
    EXPECT_FALSE(p.SplitFiles);
    form->CapRewindTapeCheckBox->click();
    EXPECT_TRUE(p.RewindTape);
    form->CapRewindTapeCheckBox->click();
    EXPECT_FALSE(p.RewindTape);

    // The interval choice stores its option; without a device the refresh
    // that follows the pick turns the project to manual capture at once.
    form->CapSetupRadio->click();
    EXPECT_EQ(p.TapeOption, toManual);
    EXPECT_TRUE(form->CapFromManualRadio->isChecked());
}

// --- No device ---------------------------------------------------------------------------

TEST_F(SetupFixture, WithoutADeviceOnlyManualCaptureIsOfferedAndTheBalloonSaysWhy)
{
    TTHProject& p = NewProject();
    p.SetTapeOption(toXtoX);
    p.SetShutdown(true);
    p.SetRewindTape(true);
    EnterSetup();

    EXPECT_EQ(p.TapeOption, toManual);
    EXPECT_FALSE(p.Shutdown);
    EXPECT_EQ(ShownRange(), int(toManual));
    for (QRadioButton* r : {form->CapFromXtoNRadio, form->CapFromNtoXRadio, form->CapFromBtoERadio, form->CapSetupRadio})
        EXPECT_FALSE(r->isEnabled()) << r->objectName().toStdString();
    EXPECT_TRUE(form->CapFromManualRadio->isEnabled());
    EXPECT_FALSE(form->CapRewindTapeCheckBox->isEnabled());
    EXPECT_TRUE(form->CapRewindTapeCheckBox->isChecked()) << "shows the project's choice";
    for (QWidget* w : form->IntervalControls)
        EXPECT_FALSE(w->isEnabled());
    EXPECT_EQ(form->CapToFSpin->maximum(), 24);
    EXPECT_TRUE(form->CapSetupCameraMonitoringTimer->isActive());
    EXPECT_TRUE(bool(form->DVCapture->OnDeviceLost));
    EXPECT_TRUE(form->DVCapture->AutoStart());
    EXPECT_EQ(form->TitleLabel->text(), QStringLiteral("Capture setup"));

    ASSERT_TRUE(form->CaptureBalloonHint->Shown());
    EXPECT_EQ(form->CaptureBalloonHint->Title(), QStringLiteral("Not found any DV devices."));
    // Then what the system can tell of why there is no device (no FireWire driver on a test machine).
    const std::string why = th::dv::noDeviceExplanation();
    ASSERT_FALSE(why.empty());
    EXPECT_EQ(form->CaptureBalloonHint->Description(),
              QStringLiteral("To get full power of TapeHarvest connect your camcorder to the PC,\ncheck your "
                             "camcorder is in VCR mode and select one of automatic modes listed above.\n\n")
                  + QString::fromStdString(why));
    EXPECT_EQ(form->CaptureBalloonHint->Anchor(), static_cast<QWidget*>(form->SetupTapeBox));
    EXPECT_EQ(form->CaptureBalloonHint->HideAfterMs(), 20000);
    EXPECT_EQ(form->CaptureBalloonHint->Images(), &form->x32ImageList);

    form->LeaveCaptureSetupPage();
    EXPECT_FALSE(form->CaptureBalloonHint->Shown());
    EXPECT_FALSE(form->FShowNoDeviceHint);
    EXPECT_FALSE(form->CapSetupCameraMonitoringTimer->isActive());
    EXPECT_FALSE(form->DVCapture->AutoStart());
    EXPECT_FALSE(bool(form->DVCapture->OnDeviceLost));
    // No balloon outside the page's showing.
    form->ShowNoDeviceHint();
    EXPECT_FALSE(form->CaptureBalloonHint->Shown());
}

TEST_F(SetupFixture, EnteringShowsTheProjectsOptions)
{
    TTHProject& p = NewProject();
    p.SetFileType(0);
    p.SetShowPreview(false);
    p.SetSplitFiles(true);
    EnterSetup();
    EXPECT_TRUE(form->CapType1Radio->isChecked());
    EXPECT_FALSE(form->CapType2Radio->isChecked());
    EXPECT_FALSE(form->CapPreviewCheckBox->isChecked());
    EXPECT_TRUE(form->CapScenesMultRadio->isChecked());
    EXPECT_FALSE(form->CapScenesWholeRadio->isChecked());
    form->LeaveCaptureSetupPage();

    // A file type that names neither choice shows neither.
    p.FileType = 7;
    EnterSetup();
    EXPECT_FALSE(form->CapType1Radio->isChecked());
    EXPECT_FALSE(form->CapType2Radio->isChecked());
    form->LeaveCaptureSetupPage();
}

// --- Disk space ----------------------------------------------------------------------------

TEST_F(SetupFixture, TheEstimateOfAnIntervalReadsTheRequiredAndMissingSpace)
{
    TTHProject& p = NewProject();
    p.SetTapeOption(toXtoX);
    // A volume with nothing free: every byte required is missing.
    p.CaptureFolder = QStringLiteral("/proc");
    SetFields(MakeTimecode(0, 0, 0, 0), MakeTimecode(0, 10, 0, 0));
    form->UpdateDiskSpaceEstimate();
    EXPECT_EQ(form->CaptureFolderLabel->toolTip(), QStringLiteral("/proc"));
    EXPECT_EQ(form->CapFreeDiskSpaceLabel->text(), QStringLiteral("0 bytes; about 0 sec. of video"));
    EXPECT_EQ(form->CapReqDiskSpaceLabel->text(), QStringLiteral("about 2.16 GB; 10 min. of video"));
    EXPECT_FALSE(form->CapReqDiskSpaceLabel->isHidden());
    EXPECT_FALSE(form->CapReqDiskSpaceTitleLabel->isHidden());
    EXPECT_EQ(form->CapMissDiskSpaceLabel->text(), QStringLiteral("about 2.16 GB; about 10 min. of video"));
    EXPECT_FALSE(form->CapMissDiskSpaceLabel->isHidden());
    EXPECT_FALSE(form->CapMissDiskSpaceTitleLabel->isHidden());

    // Backwards gives the same length.
    SetFields(MakeTimecode(0, 10, 0, 0), MakeTimecode(0, 0, 0, 0));
    form->UpdateDiskSpaceEstimate();
    EXPECT_EQ(form->CapReqDiskSpaceLabel->text(), QStringLiteral("about 2.16 GB; 10 min. of video"));

    // Frames below a second need no space.
    SetFields(MakeTimecode(0, 0, 0, 3), MakeTimecode(0, 0, 0, 20));
    form->UpdateDiskSpaceEstimate();
    EXPECT_EQ(form->CapReqDiskSpaceLabel->text(), QStringLiteral("about 0 bytes; 0 sec. of video"));
    EXPECT_TRUE(form->CapMissDiskSpaceLabel->isHidden());
}

TEST_F(SetupFixture, TheMissingSpaceIsTheRequiredLessWhatTheVolumeHasFree)
{
    // A disk of its own where it can be mounted: the free space of a shared
    // one moves while other tests write.
    th::test::SmallDisk disk(th::test::SmallDisk::Kind::Full, 64 * 1024 * 1024, false);
    TTHProject& p = NewProject();
    p.SetTapeOption(toXtoX);
    p.SetCaptureFolder((disk.mounted() ? disk.qpath() : dir.qpath()) + "/Video");
    // Nearly a day of video: more than the disk holds.
    SetFields(MakeTimecode(0, 0, 0, 0), MakeTimecode(23, 59, 59, 24));
    const std::int64_t required = std::int64_t(86399) * 3866695;
    const std::int64_t before = FreeBytes(p.CaptureFolder);
    form->UpdateDiskSpaceEstimate();
    const std::int64_t after = FreeBytes(p.CaptureFolder);
    const QString shown = form->CapFreeDiskSpaceLabel->text();
    const QString missing = form->CapMissDiskSpaceLabel->text();
    if (disk.mounted()) {
        EXPECT_EQ(before, after);
        EXPECT_LE(before, 64 * 1024 * 1024);
    }
    EXPECT_TRUE(shown == FreeText(before) || shown == FreeText(after)) << shown.toStdString();
    EXPECT_TRUE(missing == "about " + FreeText(required - before) || missing == "about " + FreeText(required - after))
        << missing.toStdString();
    EXPECT_EQ(form->CapReqDiskSpaceLabel->text(), "about " + FormatBytes(QString(), true, required) + "; 23 h. 59 min. of video");
    EXPECT_FALSE(form->CapMissDiskSpaceLabel->isHidden());

    // A second fits: nothing is missing.
    SetFields(MakeTimecode(0, 0, 0, 0), MakeTimecode(0, 0, 1, 0));
    form->UpdateDiskSpaceEstimate();
    EXPECT_TRUE(form->CapMissDiskSpaceLabel->isHidden());
}

TEST_F(SetupFixture, OnlyTheRangesThatAreMeasuredShowTheRequiredSpace)
{
    TTHProject& p = NewProject();
    p.CaptureFolder = QStringLiteral("/proc");
    SetFields(MakeTimecode(0, 0, 0, 0), MakeTimecode(0, 10, 0, 0));
    for (TTapeOption option : {toNtoX, toBtoE, toManual}) {
        p.SetTapeOption(option);
        form->UpdateDiskSpaceEstimate();
        EXPECT_TRUE(form->CapReqDiskSpaceLabel->isHidden()) << int(option);
        EXPECT_TRUE(form->CapReqDiskSpaceTitleLabel->isHidden()) << int(option);
        EXPECT_TRUE(form->CapMissDiskSpaceLabel->isHidden()) << int(option);
        EXPECT_TRUE(form->CapMissDiskSpaceTitleLabel->isHidden()) << int(option);
    }
    // Up to the current position without a time code: not "0 bytes", which
    // would say there is nothing to capture.
    p.SetTapeOption(toXtoN);
    form->UpdateDiskSpaceEstimate();
    EXPECT_FALSE(form->CapReqDiskSpaceLabel->isHidden());
    EXPECT_EQ(form->CapReqDiskSpaceLabel->text(), QStringLiteral("unknown: the tape gives no time code where it stands"));
    EXPECT_TRUE(form->CapMissDiskSpaceLabel->isHidden());
}

TEST_F(SetupFixture, LeavingAReleasingOrAKeyInASpinRenewsTheEstimate)
{
    TTHProject& p = NewProject();
    p.SetTapeOption(toXtoX);
    p.CaptureFolder = QStringLiteral("/proc");
    form->UpdateDiskSpaceEstimate();
    EXPECT_EQ(form->CapReqDiskSpaceLabel->text(), QStringLiteral("about 0 bytes; 0 sec. of video"));

    form->CapToMSpin->setValue(10);
    EXPECT_EQ(form->CapReqDiskSpaceLabel->text(), QStringLiteral("about 0 bytes; 0 sec. of video"))
        << "typing alone changes nothing";
    QFocusEvent out(QEvent::FocusOut);
    QCoreApplication::sendEvent(form->CapToMSpin, &out);
    EXPECT_EQ(form->CapReqDiskSpaceLabel->text(), QStringLiteral("about 2.16 GB; 10 min. of video"));

    form->CapToHSpin->setValue(1);
    QKeyEvent key(QEvent::KeyRelease, Qt::Key_1, Qt::NoModifier, QStringLiteral("1"));
    QCoreApplication::sendEvent(form->CapToHSpin, &key);
    EXPECT_EQ(form->CapReqDiskSpaceLabel->text(), QStringLiteral("about 15.12 GB; 1 h. 10 min. of video"));

    form->CapToHSpin->setValue(0);
    auto* edit = form->CapToHSpin->findChild<QLineEdit*>();
    ASSERT_NE(edit, nullptr);
    QMouseEvent up(QEvent::MouseButtonRelease, QPointF(2, 2), QPointF(2, 2), Qt::LeftButton, Qt::NoButton,
                   Qt::NoModifier);
    QCoreApplication::sendEvent(edit, &up);
    EXPECT_EQ(form->CapReqDiskSpaceLabel->text(), QStringLiteral("about 2.16 GB; 10 min. of video"));
    EXPECT_EQ(p.StartTime, MakeTimecode(0, 0, 0, 0)) << "the fields are stored only when the page is left";
    EXPECT_EQ(p.EndTime, MakeTimecode(0, 0, 0, 0));
}

// --- Capture folder ------------------------------------------------------------------

TEST_F(SetupFixture, BrowsingForAFolderStoresItAndBuildsTheFileNameAnew)
{
    TTHProject& p = NewProject();
    p.SetCaptureFolder(dir.qpath() + "/First");
    form->ChooseCaptureFileName();
    EXPECT_EQ(form->FCaptureFileName, dir.qpath() + "/First/Tape.avi");
    // Qt remembers a folder of a pseudo file system from an earlier dialog,
    // where reading a file can block for good (/proc/kmsg).
    {
        QSettings qt(QSettings::UserScope, QStringLiteral("QtProject"));
        qt.setValue(QStringLiteral("FileDialog/lastVisited"), QUrl::fromLocalFile(QStringLiteral("/proc/sys")).toString());
    }

    // Cancelled: nothing changes.
    QString opened;
    bool back = true;
    SetModalHook([&](QDialog& d) {
        auto* f = qobject_cast<QFileDialog*>(&d);
        EXPECT_NE(f, nullptr);
        if (f) {
            EXPECT_EQ(f->fileMode(), QFileDialog::Directory);
            opened = f->directory().absolutePath();
            if (auto* button = f->findChild<QToolButton*>(QStringLiteral("backButton")))
                back = button->isEnabled();
        }
        return int(QDialog::Rejected);
    });
    form->CapFolderBtnClick();
    EXPECT_EQ(opened, dir.qpath() + "/First");
    EXPECT_FALSE(back) << "the dialog was somewhere before its start folder";
    EXPECT_EQ(p.CaptureFolder, dir.qpath() + "/First");

    const QString second = dir.qpath() + "/Second";
    ASSERT_TRUE(QDir().mkpath(second));
    SetModalHook([&](QDialog& d) {
        static_cast<QFileDialog&>(d).setDirectory(second);
        return int(QDialog::Accepted);
    });
    form->CapFolderBtnClick();
    EXPECT_EQ(p.CaptureFolder, second);
    EXPECT_EQ(form->CaptureFolderLabel->toolTip(), second);
    form->ChooseCaptureFileName();
    EXPECT_EQ(form->FCaptureFileName, second + "/Tape.avi") << "the capture follows the folder chosen";
}

TEST_F(SetupFixture, AFolderThatCannotBeMadeKeepsTheOldOne)
{
    TTHProject& p = NewProject();
    p.SetCaptureFolder(dir.qpath() + "/First");
    form->ChooseCaptureFileName();
    // A folder below a plain file cannot be made (not even by root). The
    // dialog stays in a folder that exists; the name is typed relative to it.
    Touch(dir.qpath() + "/Plain");
    QString chosen;
    SetModalHook([&](QDialog& d) {
        auto& f = static_cast<QFileDialog&>(d);
        f.setDirectory(dir.qpath());
        Pick(f, QStringLiteral("Plain/Sub"));
        chosen = f.selectedFiles().value(0);
        return int(QDialog::Accepted);
    });
    try {
        form->CapFolderBtnClick();
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("Invalid project path."));
    }
    EXPECT_EQ(chosen, dir.qpath() + "/Plain/Sub");
    EXPECT_EQ(p.CaptureFolder, dir.qpath() + "/First");
    EXPECT_EQ(form->FCaptureFileName, dir.qpath() + "/First/Tape.avi");
}

// --- Leaving ------------------------------------------------------------------------------

TEST_F(SetupFixture, LeavingStoresTheRangeOfTheOptionAndStopsThePage)
{
    TTHProject& p = NewProject();
    EnterSetup();
    SetFields(MakeTimecode(0, 1, 2, 3), MakeTimecode(1, 4, 5, 6));

    p.SetTapeOption(toXtoX);
    form->LeaveCaptureSetupPage();
    EXPECT_EQ(Text(p.StartTime), "00:01:02:03");
    EXPECT_EQ(Text(p.EndTime), "01:04:05:06");
    EXPECT_FALSE(form->CapSetupCameraMonitoringTimer->isActive());
    EXPECT_FALSE(form->DVCapture->Active());
    EXPECT_FALSE(form->DVCapture->AutoStart());
    EXPECT_FALSE(bool(form->DVCapture->OnDeviceLost));

    for (TTapeOption option : {toBtoE, toManual}) {
        p.SetStartTime(MakeTimecode(0, 0, 1, 0));
        p.SetEndTime(MakeTimecode(0, 0, 2, 0));
        EnterSetup();
        p.SetTapeOption(option);
        form->LeaveCaptureSetupPage();
        EXPECT_EQ(Text(p.StartTime), "00:00:00:00") << int(option);
        EXPECT_EQ(Text(p.EndTime), "00:00:00:00") << int(option);
    }
}

TEST_F(SetupFixture, LeavingARangeFromThePositionWithoutATimecodeRaisesAndStoresNothing)
{
    TTHProject& p = NewProject();
    for (TTapeOption option : {toXtoN, toNtoX}) {
        EnterSetup();
        p.SetStartTime(MakeTimecode(0, 0, 1, 0));
        p.SetEndTime(MakeTimecode(0, 0, 2, 0));
        p.SetTapeOption(option);
        try {
            form->LeaveCaptureSetupPage();
            FAIL() << "no exception for option " << int(option);
        } catch (const ETlmTHInfo&) {
            FAIL() << "an error, not information";
        } catch (const Exception& e) {
            // What to do about it follows.
            EXPECT_TRUE(e.Message().startsWith(QStringLiteral("Cannot get timecode from a DV device. ")))
                << e.Message().toStdString();
            EXPECT_TRUE(e.Message().contains(QStringLiteral("Rewind the tape"))) << e.Message().toStdString();
            EXPECT_TRUE(e.Message().contains(QStringLiteral("\"I going to capturing manually.\"")));
        }
        EXPECT_EQ(Text(p.StartTime), "00:00:01:00");
        EXPECT_EQ(Text(p.EndTime), "00:00:02:00");
        EXPECT_TRUE(form->CapSetupCameraMonitoringTimer->isActive()) << "the page stays entered";
        EXPECT_TRUE(bool(form->DVCapture->OnDeviceLost));
        p.SetTapeOption(toManual);
        form->LeaveCaptureSetupPage();
    }
}

// --- The capture file ------------------------------------------------------------------

class FileName : public SetupFixture {
protected:
    void SetUp() override
    {
        SetupFixture::SetUp();
        TTHProject& p = NewProject();
        p.SetCaptureFolder(dir.qpath() + "/Video");
        Default = dir.qpath() + "/Video/Tape.avi";
    }

    // Answers the file question with Answer (and the save dialog with Save
    // when given); counts the dialogs.
    void Answer(int Answer, std::function<int(QFileDialog&)> Save = {})
    {
        SetModalHook([this, Answer, Save](QDialog& d) -> int {
            ++Dialogs;
            if (auto* box = qobject_cast<QMessageBox*>(&d)) {
                Question = box->text();
                QStringList captions;
                for (QAbstractButton* b : box->buttons())
                    captions << b->text();
                Captions = captions.join(',');
                DefaultCaption = box->defaultButton() ? box->defaultButton()->text() : QString();
                EscapeCaption = box->escapeButton() ? box->escapeButton()->text() : QString();
                return Answer;
            }
            auto* f = qobject_cast<QFileDialog*>(&d);
            EXPECT_NE(f, nullptr);
            return f && Save ? Save(*f) : int(QDialog::Rejected);
        });
    }

    void ExpectRefused()
    {
        try {
            form->ChooseCaptureFileName();
            FAIL() << "no exception";
        } catch (const ETlmTHInfo& e) {
            EXPECT_EQ(e.Message(), QStringLiteral("You have to select a file name to capture."));
        }
    }

    QString Default;
    int Dialogs = 0;
    QString Question, Captions, DefaultCaption, EscapeCaption;
};

TEST_F(FileName, TheDefaultNameIsTakenWithoutAQuestionWhenNoSuchFileExists)
{
    Answer(3);
    form->ChooseCaptureFileName();
    EXPECT_EQ(form->FCaptureFileName, Default);
    EXPECT_EQ(Dialogs, 0);
}

TEST_F(FileName, OneFilePerSceneAsksNothingEvenWhenTheFileExists)
{
    Touch(Default);
    form->FProject->SetSplitFiles(true);
    Answer(3);
    form->ChooseCaptureFileName();
    EXPECT_EQ(form->FCaptureFileName, Default);
    EXPECT_EQ(Dialogs, 0);
}

TEST_F(FileName, RewriteKeepsTheNameOfTheExistingFile)
{
    Touch(Default);
    Answer(2);
    form->ChooseCaptureFileName();
    EXPECT_EQ(form->FCaptureFileName, Default);
    EXPECT_EQ(Dialogs, 1);
    EXPECT_EQ(Question, "The file \"" + Default +
                            "\" is exsists. To capture to the file with a different file name click the \"Rename\" "
                            "button. Or click the \"Rewrite\" button to overwrite the targeted file.");
    EXPECT_EQ(Captions, QStringLiteral("Rename,Rewrite,Cancel"));
    EXPECT_EQ(DefaultCaption, QStringLiteral("Rename"));
    EXPECT_EQ(EscapeCaption, QStringLiteral("Cancel"));
}

TEST_F(FileName, RenameTakesTheChosenFileWithoutAskingAgain)
{
    Touch(Default);
    const QString other = dir.qpath() + "/Video/Other.avi";
    Touch(other);
    QString title, filter, folder, proposed;
    Answer(1, [&](QFileDialog& f) {
        title = f.windowTitle();
        filter = f.nameFilters().join(';');
        folder = f.directory().absolutePath();
        proposed = f.selectedFiles().value(0);
        EXPECT_EQ(f.acceptMode(), QFileDialog::AcceptSave);
        Pick(f, other);
        return int(QDialog::Accepted);
    });
    form->ChooseCaptureFileName();
    EXPECT_EQ(form->FCaptureFileName, other);
    EXPECT_EQ(Dialogs, 2);
    EXPECT_EQ(title, QStringLiteral("Capture to"));
    EXPECT_EQ(filter, QStringLiteral("AVI files (*.avi)"));
    EXPECT_EQ(folder, dir.qpath() + "/Video");
    EXPECT_EQ(proposed, dir.qpath() + "/Video/Tape (2).avi");

    // The chosen name stays for the project's later captures.
    Dialogs = 0;
    form->ChooseCaptureFileName();
    EXPECT_EQ(form->FCaptureFileName, other);
    EXPECT_EQ(Dialogs, 2) << "it exists too, so the question (and the save dialog) come again";

    // A name typed without an extension is an AVI file.
    Answer(1, [&](QFileDialog& f) {
        Pick(f, QStringLiteral("Second"));
        return int(QDialog::Accepted);
    });
    form->ChooseCaptureFileName();
    EXPECT_EQ(form->FCaptureFileName, dir.qpath() + "/Video/Second.avi");
}

TEST_F(FileName, CancelOrACancelledSaveDialogRefusesToGoOn)
{
    Touch(Default);
    Answer(3);
    ExpectRefused();
    EXPECT_EQ(form->FCaptureFileName, Default);

    Answer(1, [](QFileDialog&) { return int(QDialog::Rejected); });
    ExpectRefused();
    EXPECT_EQ(Dialogs, 3);
    EXPECT_EQ(form->FCaptureFileName, Default);
}

TEST_F(FileName, ARefusalOnThePageEntersThePageAgain)
{
    Touch(Default);
    EnterSetup();
    form->LeaveCaptureSetupPage();
    Answer(3);
    ExpectRefused();
    EXPECT_TRUE(form->CapSetupCameraMonitoringTimer->isActive());
    EXPECT_TRUE(bool(form->DVCapture->OnDeviceLost));
    EXPECT_TRUE(form->DVCapture->AutoStart());
    EXPECT_TRUE(form->FShowNoDeviceHint);
    // And it can be left again as usual.
    form->LeaveCaptureSetupPage();
    EXPECT_FALSE(form->CapSetupCameraMonitoringTimer->isActive());
}

TEST_F(FileName, NextAndPreviousStayOnThePageWhenItsStepsRefuse)
{
    TTHProject& p = *form->FProject;
    form->GoToPage(form->CaptureSetupTab);
    ASSERT_EQ(form->ActivePage(), form->CaptureSetupTab);

    // Without a time code Next refuses, but Previous always goes back,
    // storing no range.
    p.SetTapeOption(toXtoN);
    p.SetEndTime(MakeTimecode(0, 0, 2, 0));
    EXPECT_THROW(form->NextPageExecute(), Exception);
    EXPECT_EQ(form->ActivePage(), form->CaptureSetupTab);
    form->PreviosPageExecute();
    EXPECT_EQ(form->ActivePage(), form->JobsTab);
    EXPECT_EQ(Text(p.EndTime), "00:00:02:00");
    EXPECT_FALSE(form->CapSetupCameraMonitoringTimer->isActive());
    EXPECT_FALSE(form->FGoingBack);
    form->GoToPage(form->CaptureSetupTab);

    p.SetTapeOption(toManual);
    Touch(Default);
    Answer(3);
    EXPECT_THROW(form->NextPageExecute(), ETlmTHInfo);
    EXPECT_EQ(form->ActivePage(), form->CaptureSetupTab);
    EXPECT_TRUE(form->CapSetupCameraMonitoringTimer->isActive()) << "the page is entered again";

    Answer(2);
    form->NextPageExecute();
    EXPECT_EQ(form->ActivePage(), form->StartWorkTab);
    EXPECT_FALSE(form->CapSetupCameraMonitoringTimer->isActive());
    EXPECT_EQ(form->FCaptureFileName, Default);
    EXPECT_EQ(form->JobsListLabel->text(),
              QStringLiteral("\u2022 Manual capture from a DV device and write video to the single file in the DV AVI "
                             "type-2 format."));
}

TEST_F(SetupFixture, EveryStepWithoutAProjectLeavesThePageAlone)
{
    EnterSetup();
    int dialogs = 0;
    SetModalHook([&](QDialog&) {
        ++dialogs;
        return int(QDialog::Rejected);
    });
    form->UpdateDiskSpaceEstimate();
    EXPECT_TRUE(form->CapFreeDiskSpaceLabel->text().isEmpty());
    form->LeaveCaptureSetupPage();
    form->ChooseCaptureFileName();
    EXPECT_TRUE(form->FCaptureFileName.isEmpty());
    form->CapFolderBtnClick();
    EXPECT_EQ(dialogs, 0) << "no folder or file is asked for without a project";
}
