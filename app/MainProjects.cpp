#include "app/Main.h"

#include <QStackedWidget>

void TMainForm::CreateProjectsPage()
{
    ProjectsTab = new QWidget;
    ProjectsTab->setObjectName(QStringLiteral("ProjectsTab"));
    PageControl->addWidget(ProjectsTab);
}

void TMainForm::RefreshProjectList()
{
}

QString TMainForm::FindProjectKey(const QString& FileName)
{
    return {};
}

QString TMainForm::NewProjectKey()
{
    return {};
}

void TMainForm::RegisterProjectFile(const QString& FileName)
{
}

bool TMainForm::CloseProject()
{
    return false;
}

bool TMainForm::CreateNewProject(const QString& Folder, const QString& Name)
{
    return false;
}

bool TMainForm::OpenProjectFile(const QString& FileName)
{
    return false;
}

bool TMainForm::CreateProject(const QString& Folder, const QString& Name)
{
    return false;
}

bool TMainForm::LoadProject(const QString& FileName)
{
    return false;
}

void TMainForm::EnterProjectsPage()
{
}

void TMainForm::LeaveProjectsPage()
{
}

void TMainForm::ProjectsTabShow()
{
}

void TMainForm::NewProjectExecute()
{
}

void TMainForm::SuggestProjectName()
{
}

void TMainForm::SelectOpenProject()
{
}

void TMainForm::SelectProjectInList()
{
}

void TMainForm::UpdateDeleteAction()
{
}

void TMainForm::DelProjectExecute()
{
}

void TMainForm::AddProjectExecute()
{
}

void TMainForm::ChangeFolderProjectExecute()
{
}

void TMainForm::NewProjectEditChange()
{
}

void TMainForm::NewProjectEditEnter()
{
}

void TMainForm::NewProjectEditMouseUp()
{
}

void TMainForm::ProjectsListBoxSelectItem()
{
}
