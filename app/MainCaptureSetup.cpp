#include "app/Main.h"

#include <QStackedWidget>

void TMainForm::CreateCaptureSetupPage()
{
    CaptureSetupTab = new QWidget;
    CaptureSetupTab->setObjectName(QStringLiteral("CaptureSetupTab"));
    PageControl->addWidget(CaptureSetupTab);
}

void TMainForm::EnterCaptureSetupPage()
{
}

void TMainForm::CaptureSetupTabShow()
{
}

void TMainForm::RefreshCaptureSetup()
{
}

void TMainForm::UpdateDiskSpaceEstimate()
{
}

void TMainForm::ShowNoDeviceHint()
{
}

void TMainForm::SetupDeviceLost(QObject* Sender, TDeviceMode ADeviceMode)
{
}

void TMainForm::CapSetupCameraMonitoringTimerTimer()
{
}

void TMainForm::CapFromXtoNExecute(QAction* Sender)
{
}

void TMainForm::CapRewindTapeExecute()
{
}

void TMainForm::CapType1Execute()
{
}

void TMainForm::CapType2Execute()
{
}

void TMainForm::CapPreviewExecute()
{
}

void TMainForm::CapScenesWholeExecute()
{
}

void TMainForm::CapScenesMultExecute()
{
}

void TMainForm::CapFromHSpinExit()
{
}

void TMainForm::CapFolderBtnClick()
{
}

void TMainForm::LeaveCaptureSetupPage()
{
}

void TMainForm::ChooseCaptureFileName()
{
}
