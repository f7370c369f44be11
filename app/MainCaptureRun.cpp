#include "app/Main.h"

void TMainForm::StartCapture()
{
}

void TMainForm::CaptureStartExecute()
{
}

void TMainForm::CaptureProgress(BYTE Day, BYTE Month, BYTE Hour, BYTE Min, BYTE Sec, int Year)
{
}

void TMainForm::DVCaptureNewCaptureFile(QObject* Sender, const QString& AFileName)
{
}

void TMainForm::StartCaptureMonitors()
{
}

void TMainForm::StopCaptureMonitors()
{
}

int TMainForm::TimecodeInterval()
{
    return 0;
}

int TMainForm::CaptureProgressPercent(std::int64_t Frames)
{
    return 0;
}

void TMainForm::UpdateDriveInfo(bool ShowRequired)
{
}

void TMainForm::FinishCapture()
{
}

void TMainForm::StopCapture(bool AutoEnd)
{
}

void TMainForm::CaptureStopExecute()
{
}

void TMainForm::TimecodeTimerTimer()
{
}

void TMainForm::DetectIntermediateStopTimerTimer()
{
}

void TMainForm::CaptureDiskSpaceMonitorTimerTimer()
{
}
