#include "app/Main.h"

#include <QStackedWidget>

void TMainForm::CreateJobsPage()
{
    JobsTab = new QWidget;
    JobsTab->setObjectName(QStringLiteral("JobsTab"));
    PageControl->addWidget(JobsTab);
}

void TMainForm::GoToPage(QWidget* Page)
{
}

void TMainForm::EnterPage(QWidget* Page)
{
}

void TMainForm::AfterPageChange()
{
}

void TMainForm::UpdateNavigation()
{
}

void TMainForm::NextPageExecute()
{
}

void TMainForm::PreviosPageExecute()
{
}

void TMainForm::NewProjectPageExecute()
{
}

QWidget* TMainForm::ActivePage() const
{
    return nullptr;
}

QString TMainForm::HelpKeyword(QWidget* Page) const
{
    return {};
}

void TMainForm::EnterJobsPage()
{
}

void TMainForm::LeaveJobsPage()
{
}

void TMainForm::JobsTabShow()
{
}

void TMainForm::CaptureJobExecute()
{
}
