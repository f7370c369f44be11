#include "app/Main.h"

#include <QStackedWidget>

void TMainForm::CreateCapturePage()
{
    CaptureTab = new QWidget;
    CaptureTab->setObjectName(QStringLiteral("CaptureTab"));
    PageControl->addWidget(CaptureTab);
}

void TMainForm::EnterCapturePage()
{
}

void TMainForm::CaptureTabShow()
{
}

void TMainForm::LeaveCapturePage()
{
}

void TMainForm::CaptureDeviceLost(QObject* Sender, TDeviceMode ADeviceMode)
{
}

void TMainForm::UpdateCaptureInfo()
{
}

void TMainForm::UpdateCamcorderButtons()
{
}

void TMainForm::CamPlayExecute()
{
}

void TMainForm::CamStopExecute()
{
}

void TMainForm::CamPauseExecute()
{
}

void TMainForm::CamStillPrevExecute()
{
}

void TMainForm::CamStillNextExecute()
{
}

void TMainForm::CamRewExecute()
{
}

void TMainForm::CamFForwExecute()
{
}

void TMainForm::CamPlayRewExecute()
{
}

void TMainForm::CamPlayFwdExecute()
{
}

void TMainForm::CaptureVolumeTrackBarChange()
{
}

void TMainForm::DVCaptureNewScene(const QImage& Bitmap, BYTE Day, BYTE Month, BYTE Hour, BYTE Min, BYTE Sec, int Year)
{
}

void TMainForm::LoadScenesList()
{
}

void TMainForm::RewindTapeAndWait()
{
}
