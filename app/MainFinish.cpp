#include "app/Main.h"

#include <QStackedWidget>

void TMainForm::CreateFinishPage()
{
    FinishTab = new QWidget;
    FinishTab->setObjectName(QStringLiteral("FinishTab"));
    PageControl->addWidget(FinishTab);
}

void TMainForm::FinishTabShow()
{
}

void TMainForm::ArmShutdown()
{
}

void TMainForm::ShutDownTimerTimer()
{
}

void TMainForm::CancelShutDownExecute()
{
}

void TMainForm::ShutDownPC()
{
}

void TMainForm::LeaveFinishPage()
{
}
