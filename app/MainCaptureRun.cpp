// The capture run: its start, what is recorded while it runs (frames, the
// recording time, files, tape position, progress, disk space, dropped
// frames), the rules by which it ends by itself, and the stop with its report
// line.
//
// The component's events of the streaming threads hand their work to the main
// thread through PostToMain and never wait for it; everything they count is
// therefore touched on the main thread only. Stop delivers what is still
// queued right after the graph has stopped, so that each capture counts
// exactly the files and scenes it reported.
#include "app/Main.h"

#include <exception>

#include "app/TlmScnLV.h"
#include "platform/rtl/DateUtils.h"
#include "platform/win/Drives.h"

#include <QAction>
#include <QFile>
#include <QLineEdit>
#include <QProgressBar>
#include <QStackedWidget>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>

#include <algorithm>
#include <cstdlib>

namespace {

// Bytes of DV video per second of video on disk.
constexpr std::int64_t kDVBytesPerSecond = 3866695;

int FramePeriodMs(int FrameRate)
{
    return FrameRate == 25 ? 40 : 30;
}

// Row Index of the drive view, made (with its caption and "-" in the other
// columns) when missing.
QTreeWidgetItem* DriveRow(QTreeWidget* View, int Index, const QString& Caption)
{
    while (View->topLevelItemCount() <= Index)
        View->addTopLevelItem(new QTreeWidgetItem(QStringList{Caption, QStringLiteral("-"), QStringLiteral("-")}));
    QTreeWidgetItem* row = View->topLevelItem(Index);
    row->setText(0, Caption);
    return row;
}

// Deletes the rows from Index on.
void DeleteDriveRows(QTreeWidget* View, int Index)
{
    while (View->topLevelItemCount() > Index)
        delete View->takeTopLevelItem(View->topLevelItemCount() - 1);
}

} // namespace

void TMainForm::SettleNextCaptureFile()
{
    // The user answered for the file as it was on Capture Setup; a second
    // one-file capture of this visit goes beside the first, not over it.
    if (FProject && !FProject->SplitFiles && FCapturedFiles.contains(FCaptureFileName) &&
        FileExists(FCaptureFileName))
        FCaptureFileName = FreeFileName(FCaptureFileName, {QStringLiteral(".thf")});
    DVCapture->SetFileName(FCaptureFileName);
}

void TMainForm::StartCapture()
{
    if (!FProject)
        return;
    try {
        RunCaptureStart();
    } catch (const std::exception& e) {
        RecoverFromFailedStart();
        const auto* raised = dynamic_cast<const Exception*>(&e);
        throw Exception(QStringLiteral("The capture did not start. %1")
                            .arg(raised ? raised->Message() : QString::fromLocal8Bit(e.what())));
    }
}

void TMainForm::RunCaptureStart()
{
    NextPage->setEnabled(false);
    PreviosPage->setEnabled(false);
    if (DVCapture->GetDeviceType() == dtVCR)
        DVCapture->TransportStop();
    DVCapture->Stop();
    // The preview's frames still on their way are not this capture's.
    DeliverPosted();
    FProgressCount = 0;
    FLastCount = 0;
    FStallTicks = 0;
    FNoFrameTicks = 0;
    FLastRecordTime = 0;
    FRecordTimeBack = false;
    FLastDropped = 0;
    FLastNotDropped = 0;
    CaptureDroppedEdit->setText(QStringLiteral("0"));

    SettleNextCaptureFile();
    if (!FProject->SplitFiles && FProject->Files.contains(FCaptureFileName))
        LoadScenesList(FCaptureFileName);
    DVCapture->SetSceneDetection(FProject->SplitFiles ? sdMultiFiles : sdSingleFile);
    if (FProject->ShowPreview)
        DVCapture->SetCaptureMode(FProject->FileType == 0 ? cmDVType1wPreview : cmDVType2wPreview);
    else
        DVCapture->SetCaptureMode(FProject->FileType == 0 ? cmDVType1 : cmDVType2);

    const TTapeOption option = FProject->TapeOption;
    if (option == toXtoN || option == toXtoX) {
        const BYTE rate = BYTE(DVCapture->FrameRate());
        FStartFrame = TimecodeToFrames(FProject->StartTime, rate);
        FEndFrame = TimecodeToFrames(FProject->EndTime, rate);
        CaptureProgressBar->setRange(0, 100);
        CaptureProgressBar->setValue(0);
        FProgressPercent = 0;
        CaptureProgressBar->show();
    } else {
        CaptureProgressBar->hide();
    }
    CaptureStatusText->setVisible(CaptureProgressBar->isHidden());
    CaptureStatusText->setText(QStringLiteral("Trying to start capture."));

    DVCapture->SetActive(true);
    if (DVCapture->GetDeviceType() == dtVCR)
        DVCapture->TransportPlay();
    SetPriorityClass(GetCurrentProcess(), HIGH_PRIORITY_CLASS);
    UpdateCaptureInfo();
    DVCapture->Start();
    if (option != toManual)
        StartCaptureMonitors();
    // A device that arrived after the page was shown found these off; the
    // end rules of the automatic ranges live in the monitor timer.
    if (!CaptureDiskSpaceMonitorTimer->isActive())
        CaptureDiskSpaceMonitorTimer->start();
    if (!CapSetupCameraMonitoringTimer->isActive())
        CapSetupCameraMonitoringTimer->start();
    FCapturing = true;
    CaptureStatusText->setText(QStringLiteral("Capturing video. Press the Stop button to abort."));
}

void TMainForm::RecoverFromFailedStart()
{
    FCapturing = false;
    StopCaptureMonitors();
    CaptureDiskSpaceMonitorTimer->stop();
    CapSetupCameraMonitoringTimer->stop();
    SetPriorityClass(GetCurrentProcess(), NORMAL_PRIORITY_CLASS);
    // Each step on its own: what the failed start left may fail again, and
    // the page must come back whatever it is.
    const auto attempt = [](const auto& Step) {
        try {
            Step();
        } catch (const std::exception&) {
        }
    };
    // The deck was set playing for the capture; left so, the next start
    // would begin wherever the tape has run to.
    attempt([this] {
        if (DVCapture->Active() && DVCapture->GetDeviceType() == dtVCR)
            DVCapture->TransportStop();
    });
    attempt([this] { DVCapture->Stop(); });
    DeliverPosted();
    attempt([this] { DVCapture->SetCaptureMode(cmPreview); });
    attempt([this] {
        if (DVCapture->Active())
            DVCapture->Start();
    });
    CaptureProgressBar->hide();
    CaptureStatusText->show();
    attempt([this] { UpdateCaptureInfo(); });
    CaptureStatusText->setText(QStringLiteral("The capture did not start. Press the Start Capture button to try again."));
    NextPage->setEnabled(true);
    PreviosPage->setEnabled(true);
}

void TMainForm::CaptureStartExecute()
{
    if (CaptureBalloonHint->Shown())
        CaptureBalloonHint->HideHint();
    StartCapture();
    if (FShowStopHint) {
        CaptureBalloonHint->SetImages(&StopImageList);
        CaptureBalloonHint->ShowHint(StopCaptureButton, 0, QStringLiteral("Manual capture"),
                                     QStringLiteral("To abort capture press the Stop Capture button."), 10000);
        FShowStopHint = false;
    }
}

void TMainForm::CaptureProgress(BYTE Day, BYTE Month, BYTE Hour, BYTE Min, BYTE Sec, int Year)
{
    PostToMain([this, Day, Month, Hour, Min, Sec, Year] {
        ++FProgressCount;
        // The same second for 25 or 30 frames: a repaint of the edit for each
        // would be wasted.
        const QString text = QString::asprintf("%.2d.%.2d.%.4d %.2d:%.2d:%.2d", Day, Month, Year, Hour, Min, Sec);
        if (text != CaptureDateTimeEdit->text())
            CaptureDateTimeEdit->setText(text);
        if (FProject && FProject->TapeOption == toNtoX && FCapturing) {
            // A frame without a recording date (a short frame, a tape without
            // the date packs) says nothing about the recording's order.
            TDateTime recorded;
            if (!TryEncodeDateTime(Year, Month, Day, Hour, Min, Sec, 0, recorded))
                return;
            if (FLastRecordTime != 0 && recorded < FLastRecordTime)
                FRecordTimeBack = true;
            FLastRecordTime = recorded;
        }
    });
}

void TMainForm::DVCaptureNewCaptureFile(QObject*, const QString& AFileName)
{
    // Queued also when called on the main thread (by Stop), so that the files
    // keep the order in which they were reported.
    PostToMain([this, AFileName] {
        if (!FProject)
            return;
        FProject->Files.append(AFileName);
        // Each finished file is saved with the project at once: a capture
        // that never stops still leaves the project knowing its files.
        if (FCapturing) {
            try {
                FProject->Save();
            } catch (const std::exception&) {
                // Stop saves the project again and reports a failure.
            }
        }
    });
}

void TMainForm::StartCaptureMonitors()
{
    if (!FProject)
        return;
    const TTapeOption option = FProject->TapeOption;
    if (option == toNtoX) {
        DetectIntermediateStopTimer->setInterval(DVCapture->FrameRate() == 25 ? 40 : 30);
        DetectIntermediateStopTimer->start();
    } else if (option == toXtoN || option == toXtoX) {
        TimecodeTimer->setInterval(TimecodeInterval());
        TimecodeTimer->start();
    }
}

void TMainForm::StopCaptureMonitors()
{
    TimecodeTimer->stop();
    DetectIntermediateStopTimer->stop();
}

int TMainForm::TimecodeInterval()
{
    const int rate = DVCapture->FrameRate();
    const int period = FramePeriodMs(rate);
    if (!FProject || (FProject->TapeOption != toXtoN && FProject->TapeOption != toXtoX))
        return period;
    const std::int64_t remaining = TimecodeDiff(FProject->EndTime, FTimecode, BYTE(rate));
    const std::int64_t margin = TimecodeToFrames(MakeTimecode(0, 0, 3, 0), BYTE(rate));
    return remaining > margin ? 1000 : period;
}

int TMainForm::CaptureProgressPercent(std::int64_t Frames)
{
    const std::int64_t span = FEndFrame - FStartFrame;
    if (span == 0)
        return 0;
    return int(double(Frames - FStartFrame) / double(span) * 100.0);
}

void TMainForm::UpdateDriveInfo(bool ShowRequired)
{
    if (!FProject)
        return;
    if (!ShowRequired)
        DriveInfoView->clear();

    std::uint64_t available = 0;
    if (!GetDiskFreeSpaceEx(QFile::encodeName(FProject->CaptureFolder).constData(), &available, nullptr, nullptr))
        available = 0;
    const std::int64_t free = std::int64_t(std::min<std::uint64_t>(available, std::uint64_t(INT64_MAX)));
    QTreeWidgetItem* row = DriveRow(DriveInfoView, 0, QStringLiteral("Free disk space:"));
    row->setText(1, FormatBytes(QString(), true, free));
    row->setText(2, QStringLiteral("about %1 of video").arg(FormatDuration(1, free / kDVBytesPerSecond)));

    const TTapeOption option = FProject->TapeOption;
    if (ShowRequired && (option == toXtoN || option == toXtoX)) {
        const int rate = DVCapture->FrameRate();
        const std::int64_t remaining = std::abs(TimecodeDiff(FTimecode, FProject->EndTime, BYTE(rate)));
        const std::int64_t seconds = remaining / rate;
        const std::int64_t required = seconds * kDVBytesPerSecond;
        row = DriveRow(DriveInfoView, 1, QStringLiteral("Required space:"));
        row->setText(1, QStringLiteral("about %1").arg(FormatBytes(QString(), true, required)));
        row->setText(2, QStringLiteral("%1 of video").arg(FormatDuration(1, seconds)));
        const std::int64_t missing = required - free;
        if (missing > 0) {
            row = DriveRow(DriveInfoView, 2, QStringLiteral("Missing space:"));
            row->setText(1, QStringLiteral("about %1").arg(FormatBytes(QString(), true, missing)));
            row->setText(2,
                         QStringLiteral("about %1 of video").arg(FormatDuration(1, missing / kDVBytesPerSecond)));
        } else {
            DeleteDriveRows(DriveInfoView, 2);
        }
    } else {
        // Without the required row a missing row means nothing either.
        DeleteDriveRows(DriveInfoView, 1);
    }
}

void TMainForm::FinishCapture()
{
    StopCapture(true);
}

void TMainForm::StopCapture(bool AutoEnd)
{
    FCapturing = false;
    StopCaptureMonitors();
    CaptureDiskSpaceMonitorTimer->stop();
    CapSetupCameraMonitoringTimer->stop();
    SetPriorityClass(GetCurrentProcess(), NORMAL_PRIORITY_CLASS);
    if (AutoEnd)
        FShowStartHint = false;
    FRecordTimeBack = false;
    DVCapture->TransportStop();

    int dropped = 0;
    int notDropped = 0;
    // A file that could not be written (a full disk, a scene file that could
    // not be saved) is raised after the rest of the stop, so that what was
    // captured is still listed and saved with the project.
    std::exception_ptr failure;
    try {
        DVCapture->Stop();
    } catch (const std::exception&) {
        failure = std::current_exception();
    }
    // Read once the graph has stopped, so that the report tells what the
    // files hold.
    DVCapture->LastFrameCounts(dropped, notDropped);
    // Nothing comes from the streaming threads any more; what they reported
    // before the stop belongs to this capture.
    DeliverPosted();
    // After a write error the files hold fewer frames than passed the device:
    // the line tells what the files hold.
    const std::int64_t written = DVCapture->FramesWritten();
    if (written >= 0 && written < std::int64_t(dropped) + notDropped)
        notDropped = int(std::max<std::int64_t>(0, written - dropped));

    if (FProject && !FProject->SplitFiles)
        FCapturedFiles.append(DVCapture->FileName());
    if (FProject) {
        FProject->Save();
        FProject->Report.append(QString::asprintf("TapeHarvest finished a capture task. There are %d frames dropped "
                                                  "during capture, %d frames are captured. There are %d scenes was "
                                                  "detected.",
                                                  dropped, notDropped, FSceneCount));
    }
    FSceneCount = 0;
    FProgressCount = 0;
    if (FProject)
        FProject->SetTapeOption(toManual);

    CaptureProgressBar->hide();
    CaptureStatusText->show();
    if (!AutoEnd) {
        DVCapture->SetCaptureMode(cmPreview);
        DVCapture->Start();
    } else {
        // The wizard moves on without leaving the page, so the component stays
        // configured by it. A device arrival (this one coming back, or any
        // other capture device) would then activate and start it again: in the
        // capture mode that would write over the finished capture file.
        DVCapture->SetAutoStart(false);
        DVCapture->SetCaptureMode(cmPreview);
    }
    UpdateCaptureInfo();
    CaptureStatusText->setText(QStringLiteral("Ready for capture. Press the Start Capture button to begin."));
    NextPage->setEnabled(true);
    PreviosPage->setEnabled(true);

    if (AutoEnd) {
        if (FProject && FProject->RewindTape)
            DVCapture->TransportRew();
        GoToPage(FinishTab);
    }
    if (failure)
        std::rethrow_exception(failure);
}

void TMainForm::CaptureStopExecute()
{
    if (CaptureBalloonHint->Shown())
        CaptureBalloonHint->HideHint();
    if (FTapeWait != TTapeWait::None) {
        EndTapeWait();
        return;
    }
    StopCapture(false);
}

void TMainForm::TimecodeTimerTimer()
{
    if (!FProject)
        return;
    // FTimecode keeps the last code read: a failed read gives 00:00:00:00,
    // which would make the interval and the required space those of the
    // whole range.
    TTimecode read{};
    if (!DVCapture->ReadTimecode(read))
        return;
    FTimecode = read;
    const TTapeOption option = FProject->TapeOption;
    if (option == toXtoN || option == toXtoX) {
        // Frame numbers stay below 30, so a rate of 30 orders PAL and NTSC codes alike.
        if (TimecodeDiff(FTimecode, FProject->EndTime, 30) > 0) {
            if (FCapturing)
                FinishCapture();
            return;
        }
        const int percent = CaptureProgressPercent(TimecodeToFrames(FTimecode, BYTE(DVCapture->FrameRate())));
        if (percent != FProgressPercent) {
            FProgressPercent = percent;
            CaptureProgressBar->setValue(std::clamp(percent, CaptureProgressBar->minimum(),
                                                    CaptureProgressBar->maximum()));
        }
    }
    TimecodeTimer->setInterval(TimecodeInterval());
}

void TMainForm::DetectIntermediateStopTimerTimer()
{
    if (FRecordTimeBack && FCapturing)
        FinishCapture();
}

void TMainForm::CaptureDiskSpaceMonitorTimerTimer()
{
    if (PageControl->currentWidget() == CaptureTab)
        UpdateDriveInfo(true);
    if (DVCapture->Active() && DVCapture->CaptureMode() != cmPreview) {
        ReadFrameCounts();
        CaptureDroppedEdit->setText(QString::number(FLastDropped));
    }
}

void TMainForm::ReadFrameCounts()
{
    DVCapture->GetFrameCounts(FLastDropped, FLastNotDropped);
}

void TMainForm::EndCaptureWithoutFrames()
{
    const bool wholeTape = FProject && FProject->TapeOption == toBtoE;
    StopCapture(false);
    CaptureStatusText->setText(
        wholeTape ? QStringLiteral("No video came from the tape: it is blank from its start to its end, or the deck "
                                   "did not play. The capture is stopped.")
                  : QStringLiteral("No video came from the tape: there is no recording where the capture started. "
                                   "The capture is stopped."));
}
