#include "app/Main.h"

#include <QStackedWidget>

void TMainForm::CreateStartWorkPage()
{
    StartWorkTab = new QWidget;
    StartWorkTab->setObjectName(QStringLiteral("StartWorkTab"));
    PageControl->addWidget(StartWorkTab);
}

void TMainForm::StartWorkTabShow()
{
}

void TMainForm::ShutdownJobExecute()
{
}
