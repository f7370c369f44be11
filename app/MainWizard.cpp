// The wizard's navigation: which page follows which, the hooks that run on the
// way, the buttons' states, and the Select Jobs page.
#include "app/Main.h"

#include "platform/rtl/SysUtils.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStackedWidget>
#include <QVBoxLayout>


namespace {

QAction* makeJobAction(TMainForm* form, const char* name, const QString& caption)
{
    QAction* action = NewAction(form, name, caption);
    action->setCheckable(true);
    return action;
}

QCheckBox* makeJobBox(QWidget* page, QVBoxLayout* layout, const char* name, QAction* action)
{
    auto* box = new QCheckBox(page);
    box->setObjectName(QString::fromLatin1(name));
    LinkAction(box, action);
    layout->addWidget(box);
    return box;
}

QLabel* makeHintLabel(QWidget* page, QVBoxLayout* layout, const char* name, const QString& text)
{
    auto* label = new QLabel(text, page);
    label->setObjectName(QString::fromLatin1(name));
    label->setWordWrap(true);
    label->setContentsMargins(22, 0, 0, 12);
    layout->addWidget(label);
    return label;
}

} // namespace

void TMainForm::CreateJobsPage()
{
    JobsTab = new QWidget;
    JobsTab->setObjectName(QStringLiteral("JobsTab"));
    PageControl->addWidget(JobsTab);

    CaptureJob = makeJobAction(this, "CaptureJob", QStringLiteral("Capture video from a DV camcorder or other DV device."));
    Bind(CaptureJob, &QAction::triggered, &TMainForm::CaptureJobExecute);
    EditJob = makeJobAction(this, "EditJob",
                            QStringLiteral("Edit captured video. (This option will be available in the future)"));
    EditJob->setEnabled(false);
    Bind(EditJob, &QAction::triggered, &TMainForm::EditJobExecute);
    CompressJob = makeJobAction(this, "CompressJob", QStringLiteral("Compress video"));
    CompressJob->setEnabled(false);
    CompressJob->setVisible(false);
    Bind(CompressJob, &QAction::triggered, &TMainForm::CompressJobExecute);
    WriteJob = makeJobAction(this, "WriteJob", QStringLiteral("Write video to CD or DVD"));
    WriteJob->setEnabled(false);
    WriteJob->setVisible(false);
    Bind(WriteJob, &QAction::triggered, &TMainForm::WriteJobExecute);

    auto* layout = new QVBoxLayout(JobsTab);
    CaptureCheckBox = makeJobBox(JobsTab, layout, "CaptureCheckBox", CaptureJob);
    CaptureHintLabel = makeHintLabel(
        JobsTab, layout, "CaptureHintLabel",
        QStringLiteral("With TapeHarvest you can capture DV video with scenes detection from a camcorder or other "
                       "DV device to the single file or to the multiple files. TapeHarvest supports both Type-1 and "
                       "Type-2 AVI file formats."));
    EditCheckBox = makeJobBox(JobsTab, layout, "EditCheckBox", EditJob);
    EditHintLabel = makeHintLabel(
        JobsTab, layout, "EditHintLabel",
        QStringLiteral("After capturing you can easy add, mix or delete some scenes. This option will disable "
                       "automatic video processing. After capturing TapeHarvest stops and waits for your commands."));
    EditHintLabel->setEnabled(false);
    CompressCheckBox = makeJobBox(JobsTab, layout, "CompressCheckBox", CompressJob);
    CompressHintLabel = makeHintLabel(JobsTab, layout, "CompressHintLabel", QString());
    CompressHintLabel->setEnabled(false);
    CompressHintLabel->setVisible(false);
    WriteCheckBox = makeJobBox(JobsTab, layout, "WriteCheckBox", WriteJob);
    WriteHintLabel = makeHintLabel(JobsTab, layout, "WriteHintLabel", QString());
    WriteHintLabel->setEnabled(false);
    WriteHintLabel->setVisible(false);
    layout->addStretch(1);
}

std::vector<TMainForm::TWizardPage> TMainForm::WizardPages() const
{
    return {
        {ProjectsTab, &TMainForm::EnterProjectsPage, &TMainForm::ProjectsTabShow, &TMainForm::LeaveProjectsPage,
         "htm/openproject.htm"},
        {JobsTab, &TMainForm::EnterJobsPage, &TMainForm::JobsTabShow, &TMainForm::LeaveJobsPage,
         "htm/selecttask.htm"},
        {CaptureSetupTab, &TMainForm::EnterCaptureSetupPage, &TMainForm::CaptureSetupTabShow,
         &TMainForm::LeaveCaptureSetupPage, "htm/capturesetup.htm"},
        {StartWorkTab, nullptr, &TMainForm::StartWorkTabShow, nullptr, "htm/runntasks.htm"},
        {CaptureTab, &TMainForm::EnterCapturePage, &TMainForm::CaptureTabShow, &TMainForm::LeaveCapturePage,
         "htm/capturerun.htm"},
        {FinishTab, nullptr, &TMainForm::FinishTabShow, &TMainForm::LeaveFinishPage, "htm/finishtask.htm"},
    };
}

const TMainForm::TWizardPage* TMainForm::FindWizardPage(QWidget* Page) const
{
    for (const TWizardPage& p : FWizardPages)
        if (Page && p.Tab == Page)
            return &p;
    return nullptr;
}

void TMainForm::LeavePage(QWidget* Page)
{
    if (const TWizardPage* p = FindWizardPage(Page); p && p->Leave)
        (this->*(p->Leave))();
}

bool TMainForm::CaptureJobChosen() const
{
    return FProject && FProject->CaptureJob;
}

void TMainForm::GoToPage(QWidget* Page)
{
    EnterPage(Page);
    if (Page != FShownPage) {
        PageControl->setCurrentWidget(Page);
        FShownPage = Page;
        if (const TWizardPage* p = FindWizardPage(Page))
            (this->*(p->Show))();
    }
    AfterPageChange();
}

void TMainForm::EnterPage(QWidget* Page)
{
    if (const TWizardPage* p = FindWizardPage(Page); p && p->Enter)
        (this->*(p->Enter))();
}

void TMainForm::AfterPageChange()
{
    UpdateNavigation();
}

void TMainForm::UpdateNavigation()
{
    QWidget* page = ActivePage();
    PreviosPage->setEnabled(page != ProjectsTab);
    NextPage->setEnabled(page != FinishTab);
    if (LinkedAction(NextBtn) != NextPage)
        LinkAction(NextBtn, NextPage);

    if (page == ProjectsTab) {
        const bool newChoice = NewProject && NewProject->isChecked();
        const bool openChoice = OpenProject && OpenProject->isChecked();
        bool enabled = false;
        if (newChoice)
            enabled = NewProjectEdit && !Trim(NewProjectEdit->text()).isEmpty();
        else if (openChoice)
            enabled = DelProject && DelProject->isEnabled();
        NextPage->setEnabled(enabled);
    } else if (page == CaptureTab && FProject) {
        // An automatic capture leaves the page by itself.
        const bool manual = FProject->TapeOption == toManual;
        NextPage->setEnabled(manual);
        PreviosPage->setEnabled(manual);
    } else if (page == FinishTab) {
        LinkAction(NextBtn, NewProjectPage);
    }
}

void TMainForm::NextPageExecute()
{
    QWidget* page = ActivePage();
    const int at = PageControl->indexOf(page);
    // The last page has no page after it: its button runs New Project.
    if (at < 0 || at + 1 >= PageControl->count())
        return;
    QWidget* target = PageControl->widget(at + 1);
    LeavePage(page);

    if (page == ProjectsTab) {
        target = JobsTab;
    } else if (page == JobsTab) {
        target = CaptureJobChosen() ? CaptureSetupTab : StartWorkTab;
        if (FProject)
            FProject->RememberChoices({TProjectChoice::CaptureJob});
    } else if (page == CaptureSetupTab) {
        ChooseCaptureFileName();
        if (FProject)
            FProject->RememberChoices(
                {TProjectChoice::RewindTape, TProjectChoice::ShowPreview, TProjectChoice::SplitFiles});
        target = StartWorkTab;
    } else if (page == StartWorkTab) {
        target = CaptureJobChosen() ? CaptureTab : FinishTab;
        // What the page showed is what happens: a choice from the history
        // that the page offered disabled or unchecked shuts nothing down.
        if (FProject && (!ShutdownJob->isEnabled() || !ShutdownJob->isChecked()))
            FProject->SetShutdown(false);
        if (FProject)
            FProject->RememberChoices({TProjectChoice::Shutdown});
    } else if (page == CaptureTab) {
        target = FinishTab;
    }
    GoToPage(target);
}

void TMainForm::PreviosPageExecute()
{
    QWidget* page = ActivePage();
    const int at = PageControl->indexOf(page);
    if (at <= 0)
        return;
    QWidget* target = PageControl->widget(at - 1);
    {
        // Cleared also when the hook raises.
        struct Back {
            bool& flag;
            ~Back() { flag = false; }
        } back{FGoingBack};
        FGoingBack = true;
        LeavePage(page);
    }

    if (page == StartWorkTab)
        target = CaptureJobChosen() ? CaptureSetupTab : JobsTab;
    else if (page == FinishTab)
        target = CaptureJobChosen() ? CaptureTab : StartWorkTab;
    GoToPage(target);
}

void TMainForm::NewProjectPageExecute()
{
    if (!FProject || !CloseProject())
        return;
    if (NewProjectEdit)
        NewProjectEdit->clear();
    // The radio follows its action.
    if (NewProject && !NewProject->isChecked()) {
        NewProject->setChecked(true);
        NewProjectExecute();
    }
    GoToPage(ProjectsTab);
}

QWidget* TMainForm::ActivePage() const
{
    return PageControl ? PageControl->currentWidget() : nullptr;
}

QString TMainForm::HelpKeyword(QWidget* Page) const
{
    const TWizardPage* p = FindWizardPage(Page);
    return p ? QString::fromLatin1(p->HelpKeyword) : QString();
}

void TMainForm::EnterJobsPage()
{
    if (!FProject)
        return;
    CaptureJob->setChecked(FProject->CaptureJob);
    CaptureCheckBox->setChecked(FProject->CaptureJob);
}

void TMainForm::LeaveJobsPage()
{
    if (FProject)
        FProject->SetCaptureJob(CaptureCheckBox->isChecked());
}

void TMainForm::JobsTabShow()
{
    TitleLabel->setText(QStringLiteral("Select TapeHarvest tasks"));
    DescriptionLabel->setText(QStringLiteral(
        "TapeHarvest can execute all tasks automaticly but some of the tasks can disable automatic video "
        "processing. Read description under each checkbox listed below. Select one or more tasks and press the Next "
        "button."));
}

void TMainForm::CaptureJobExecute()
{
    if (FProject)
        FProject->SetCaptureJob(CaptureCheckBox->isChecked());
}
