// The wizard's navigation: the page order with the capture job on and off,
// the buttons' states, the pushes into the choice history, the failure of a
// step, New Project, and the Jobs page.
#include "ShellFixture.h"

#include <QCheckBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QTreeWidget>

using namespace shell_test;

namespace {

class NavigationTest : public WindowTest {
protected:
    // The wizard on Select Jobs with a new project, as Next from the
    // Projects page leaves it.
    void startOnJobs(bool captureJob)
    {
        form->SetProjectsFolder(projects);
        openNewProject().SetCaptureJob(captureJob);
        form->GoToPage(form->JobsTab);
        ASSERT_EQ(page(), form->JobsTab);
    }

    QString nextCaption() const { return form->NextBtn->text(); }
};

} // namespace

TEST_F(NavigationTest, WithoutTheCaptureJobBeginWorkAndFinishFollowSelectJobs)
{
    startOnJobs(false);
    EXPECT_EQ(form->TitleLabel->text(), QStringLiteral("Select TapeHarvest tasks"));
    EXPECT_TRUE(form->PreviosPage->isEnabled());
    EXPECT_TRUE(form->NextPage->isEnabled());

    form->NextBtn->click();
    EXPECT_EQ(page(), form->StartWorkTab);
    form->NextBtn->click();
    ASSERT_EQ(page(), form->FinishTab);
    // The last page's right-hand button starts a new project.
    EXPECT_FALSE(form->NextPage->isEnabled());
    EXPECT_TRUE(form->PreviosPage->isEnabled());
    EXPECT_EQ(LinkedAction(form->NextBtn), form->NewProjectPage);
    EXPECT_EQ(nextCaption(), QStringLiteral("&New Project"));

    form->PrevBtn->click();
    EXPECT_EQ(page(), form->StartWorkTab);
    EXPECT_EQ(LinkedAction(form->NextBtn), form->NextPage);
    EXPECT_EQ(nextCaption(), QStringLiteral("&Next >"));
    form->PrevBtn->click();
    EXPECT_EQ(page(), form->JobsTab);
    form->PrevBtn->click();
    EXPECT_EQ(page(), form->ProjectsTab);
    EXPECT_FALSE(form->PreviosPage->isEnabled());
    EXPECT_FALSE(form->PrevBtn->isEnabled());
}

TEST_F(NavigationTest, WithTheCaptureJobEveryPageIsVisited)
{
    startOnJobs(true);
    form->NextPageExecute();
    ASSERT_EQ(page(), form->CaptureSetupTab);
    // No recorder is plugged in, so the page has turned to manual capture.
    form->FProject->SetTapeOption(toManual);
    form->NextPageExecute();
    ASSERT_EQ(page(), form->StartWorkTab);
    form->NextPageExecute();
    ASSERT_EQ(page(), form->CaptureTab);
    EXPECT_TRUE(form->NextPage->isEnabled());
    EXPECT_TRUE(form->PreviosPage->isEnabled());
    form->NextPageExecute();
    ASSERT_EQ(page(), form->FinishTab);
    form->PreviosPageExecute();
    ASSERT_EQ(page(), form->CaptureTab);
    form->PreviosPageExecute();
    ASSERT_EQ(page(), form->StartWorkTab);
    form->PreviosPageExecute();
    ASSERT_EQ(page(), form->CaptureSetupTab);
    form->PreviosPageExecute();
    EXPECT_EQ(page(), form->JobsTab);
}

TEST_F(NavigationTest, OnlyNextPushesChoicesIntoTheHistory)
{
    startOnJobs(false);
    // Previous pushes nothing.
    form->PreviosPageExecute();
    EXPECT_EQ(history(QStringLiteral("CaptureJob")), "");
    form->GoToPage(form->JobsTab);

    // Next from Select Jobs pushes the capture job, also unchanged.
    form->NextPageExecute();
    EXPECT_EQ(history(QStringLiteral("CaptureJob")), "01111");
    EXPECT_EQ(history(QStringLiteral("Shutdown")), "");
    form->PreviosPageExecute();
    EXPECT_EQ(history(QStringLiteral("CaptureJob")), "01111");
    form->NextPageExecute();
    EXPECT_EQ(history(QStringLiteral("CaptureJob")), "00111");

    // Next from Begin Work pushes the shutdown choice.
    ASSERT_EQ(page(), form->StartWorkTab);
    form->NextPageExecute();
    EXPECT_EQ(history(QStringLiteral("Shutdown")), "00000");
    ASSERT_EQ(page(), form->FinishTab);
    form->PreviosPageExecute();
    EXPECT_EQ(history(QStringLiteral("Shutdown")), "00000");
    EXPECT_EQ(history(QStringLiteral("RewindTape")), "");
}

TEST_F(NavigationTest, CaptureSetupNextChoosesTheFileAndPushesItsThreeChoices)
{
    startOnJobs(true);
    form->NextPageExecute();
    ASSERT_EQ(page(), form->CaptureSetupTab);
    form->FProject->SetTapeOption(toManual);
    form->PreviosPageExecute();
    EXPECT_TRUE(form->FCaptureFileName.isEmpty());
    EXPECT_EQ(history(QStringLiteral("SplitFiles")), "");
    form->NextPageExecute();
    ASSERT_EQ(page(), form->CaptureSetupTab);
    form->FProject->SetTapeOption(toManual);
    form->NextPageExecute();
    ASSERT_EQ(page(), form->StartWorkTab);
    EXPECT_EQ(form->FCaptureFileName,
              form->FProject->CaptureFolder + QLatin1Char('/') + form->FProject->Name + QStringLiteral(".avi"));
    EXPECT_EQ(history(QStringLiteral("RewindTape")).size(), 5u);
    EXPECT_EQ(history(QStringLiteral("ShowPreview")).size(), 5u);
    EXPECT_EQ(history(QStringLiteral("SplitFiles")).size(), 5u);
    EXPECT_EQ(history(QStringLiteral("Shutdown")), "");
}

TEST_F(NavigationTest, CancelledFileQuestionKeepsCaptureSetupAndPushesNothing)
{
    startOnJobs(true);
    form->NextPageExecute();
    ASSERT_EQ(page(), form->CaptureSetupTab);
    TTHProject& project = *form->FProject;
    project.SetTapeOption(toManual);
    project.SetSplitFiles(false);
    ASSERT_TRUE(QDir().mkpath(project.CaptureFolder));
    {
        QFile f(project.CaptureFolder + QLatin1Char('/') + project.Name + QStringLiteral(".avi"));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }
    DialogRecorder dialogs(3); // "Cancel"
    form->NextBtn->click();
    EXPECT_EQ(page(), form->CaptureSetupTab);
    ASSERT_EQ(dialogs.messages.size(), 2u);
    EXPECT_EQ(dialogs.messages[1].text, QStringLiteral("You have to select a file name to capture."));
    EXPECT_EQ(dialogs.messages[1].icon, QMessageBox::Information);
    EXPECT_EQ(history(QStringLiteral("RewindTape")), "");
    EXPECT_EQ(history(QStringLiteral("ShowPreview")), "");
    EXPECT_EQ(history(QStringLiteral("SplitFiles")), "");
}

TEST_F(NavigationTest, FailingNextStepKeepsThePageAndShowsTheMessage)
{
    startOnJobs(false);
    form->NextPageExecute();
    ASSERT_EQ(page(), form->StartWorkTab);
    // A history value of the wrong type makes the push raise.
    {
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKey(kProgramKey, true));
        reg.WriteString(QStringLiteral("Shutdown"), QStringLiteral("damaged"));
    }
    DialogRecorder dialogs;
    form->NextBtn->click();
    EXPECT_EQ(page(), form->StartWorkTab);
    ASSERT_EQ(dialogs.messages.size(), 1u);
    EXPECT_EQ(dialogs.messages[0].icon, QMessageBox::Critical);
    EXPECT_TRUE(dialogs.messages[0].text.contains(QStringLiteral("Shutdown"))) << dialogs.messages[0].text.toStdString();
    // The handler saved the project on its way.
    EXPECT_FALSE(form->FProject->IsNew);
    EXPECT_EQ(LinkedAction(form->NextBtn), form->NextPage);
}

TEST_F(NavigationTest, CapturePageButtonsFollowTheTapeOption)
{
    openNewProject().SetCaptureJob(true);
    // The rule alone, without the page's own entry.
    form->PageControl->setCurrentWidget(form->CaptureTab);
    form->FProject->SetTapeOption(toXtoN);
    form->UpdateNavigation();
    EXPECT_FALSE(form->NextPage->isEnabled());
    EXPECT_FALSE(form->PreviosPage->isEnabled());
    form->FProject->SetTapeOption(toManual);
    form->UpdateNavigation();
    EXPECT_TRUE(form->NextPage->isEnabled());
    EXPECT_TRUE(form->PreviosPage->isEnabled());
    // Without a project the page's place decides.
    form->FProject.reset();
    form->UpdateNavigation();
    EXPECT_TRUE(form->NextPage->isEnabled());
    EXPECT_TRUE(form->PreviosPage->isEnabled());
}

TEST_F(NavigationTest, ProjectsPageNextNeedsANameOrASelectedProject)
{
    form->PageControl->setCurrentWidget(form->ProjectsTab);
    ASSERT_NE(form->NewProjectEdit, nullptr);
    form->NewProject->setChecked(true);
    form->NewProjectEdit->setText(QStringLiteral(" \t "));
    form->UpdateNavigation();
    EXPECT_FALSE(form->NextPage->isEnabled());
    form->NewProjectEdit->setText(QStringLiteral(" x "));
    form->UpdateNavigation();
    EXPECT_TRUE(form->NextPage->isEnabled());

    form->OpenProject->setChecked(true);
    form->DelProject->setEnabled(false);
    form->UpdateNavigation();
    EXPECT_FALSE(form->NextPage->isEnabled());
    form->DelProject->setEnabled(true);
    form->UpdateNavigation();
    EXPECT_TRUE(form->NextPage->isEnabled());
}

TEST_F(NavigationTest, GoingToTheActivePageRunsOnlyItsEnterHook)
{
    startOnJobs(true);
    form->TitleLabel->setText(QStringLiteral("changed"));
    // The enter hook takes the project's value again.
    form->CaptureCheckBox->setChecked(false);
    form->GoToPage(form->JobsTab);
    EXPECT_TRUE(form->CaptureCheckBox->isChecked());
    EXPECT_EQ(form->TitleLabel->text(), QStringLiteral("changed"));
}

TEST_F(NavigationTest, NewProjectClosesTheProjectAndStartsAgain)
{
    startOnJobs(false);
    form->NextPageExecute();
    form->NextPageExecute();
    ASSERT_EQ(page(), form->FinishTab);
    form->NewProjectEdit->setText(QStringLiteral("Holiday"));
    form->OpenProject->setChecked(true);

    // The changed new project is dropped.
    DialogRecorder dialogs(mrNo);
    form->NextBtn->click();
    EXPECT_EQ(dialogs.messages.size(), 1u);
    EXPECT_EQ(form->FProject, nullptr);
    EXPECT_EQ(page(), form->ProjectsTab);
    EXPECT_TRUE(form->NewProject->isChecked());
    EXPECT_TRUE(form->NewProjectRadio->isChecked());
    // The enter hook proposed a fresh name for the emptied edit.
    EXPECT_EQ(form->NewProjectEdit->text(), UniqueProjectName(projects));
    EXPECT_EQ(form->windowTitle(), QStringLiteral("Tolmar TapeHarvest"));
    EXPECT_EQ(nextCaption(), QStringLiteral("&Next >"));

    // Without a project nothing happens.
    form->PageControl->setCurrentWidget(form->FinishTab);
    form->NewProjectPageExecute();
    EXPECT_EQ(page(), form->FinishTab);
}

TEST_F(NavigationTest, NewProjectCancelledInTheSaveQuestionStays)
{
    startOnJobs(false);
    form->NextPageExecute();
    form->NextPageExecute();
    ASSERT_EQ(page(), form->FinishTab);
    ASSERT_TRUE(form->FProject->Modified);
    DialogRecorder dialogs(mrCancel);
    form->NewProjectPageExecute();
    EXPECT_EQ(dialogs.messages.size(), 1u);
    EXPECT_NE(form->FProject, nullptr);
    EXPECT_EQ(page(), form->FinishTab);
}

TEST_F(NavigationTest, EdgesOfThePageOrderDoNothing)
{
    form->GoToPage(form->ProjectsTab);
    form->PreviosPageExecute();
    EXPECT_EQ(page(), form->ProjectsTab);
    openNewProject();
    form->PageControl->setCurrentWidget(form->FinishTab);
    form->NextPageExecute();
    EXPECT_EQ(page(), form->FinishTab);
}

TEST_F(NavigationTest, HelpKeywordsOfThePages)
{
    EXPECT_EQ(form->HelpKeyword(form->ProjectsTab), QStringLiteral("htm/openproject.htm"));
    EXPECT_EQ(form->HelpKeyword(form->JobsTab), QStringLiteral("htm/selecttask.htm"));
    EXPECT_EQ(form->HelpKeyword(form->CaptureSetupTab), QStringLiteral("htm/capturesetup.htm"));
    EXPECT_EQ(form->HelpKeyword(form->StartWorkTab), QStringLiteral("htm/runntasks.htm"));
    EXPECT_EQ(form->HelpKeyword(form->CaptureTab), QStringLiteral("htm/capturerun.htm"));
    EXPECT_EQ(form->HelpKeyword(form->FinishTab), QStringLiteral("htm/finishtask.htm"));
    EXPECT_EQ(form->HelpKeyword(nullptr), QString());
}

// --- Jobs page --------------------------------------------------------------------------

TEST_F(NavigationTest, JobsPageOffersTheCaptureJobOnly)
{
    EXPECT_EQ(form->CaptureCheckBox->text(), QStringLiteral("Capture video from a DV camcorder or other DV device."));
    EXPECT_TRUE(form->CaptureCheckBox->isEnabled());
    EXPECT_EQ(form->EditCheckBox->text(),
              QStringLiteral("Edit captured video. (This option will be available in the future)"));
    EXPECT_FALSE(form->EditCheckBox->isEnabled());
    EXPECT_FALSE(form->EditHintLabel->isEnabled());
    EXPECT_TRUE(form->CaptureHintLabel->text().startsWith(QStringLiteral("With TapeHarvest you can capture DV video")));
    EXPECT_TRUE(form->EditHintLabel->text().startsWith(QStringLiteral("After capturing you can easy add")));
    for (QWidget* hidden : std::initializer_list<QWidget*>{form->CompressCheckBox, form->WriteCheckBox,
                                                          form->CompressHintLabel, form->WriteHintLabel}) {
        EXPECT_FALSE(hidden->isEnabled()) << hidden->objectName().toStdString();
        EXPECT_TRUE(hidden->isHidden()) << hidden->objectName().toStdString();
    }
    EXPECT_EQ(form->CompressJob->text(), QStringLiteral("Compress video"));
    EXPECT_EQ(form->WriteJob->text(), QStringLiteral("Write video to CD or DVD"));
}

TEST_F(NavigationTest, CaptureBoxFollowsAndSetsTheProject)
{
    startOnJobs(true);
    EXPECT_TRUE(form->CaptureCheckBox->isChecked());
    EXPECT_TRUE(form->CaptureJob->isChecked());
    form->FProject->Modified = false;

    form->CaptureCheckBox->click();
    EXPECT_FALSE(form->FProject->CaptureJob);
    EXPECT_TRUE(form->FProject->Modified);
    EXPECT_FALSE(form->CaptureJob->isChecked());

    // The leave hook stores the box once more; no change, no modification.
    form->FProject->Modified = false;
    form->LeaveJobsPage();
    EXPECT_FALSE(form->FProject->Modified);
    form->CaptureCheckBox->setChecked(true);
    form->LeaveJobsPage();
    EXPECT_TRUE(form->FProject->CaptureJob);
    EXPECT_TRUE(form->FProject->Modified);

    // Entering with another project shows its value.
    openNewProject(QStringLiteral("Other")).SetCaptureJob(false);
    form->EnterJobsPage();
    EXPECT_FALSE(form->CaptureCheckBox->isChecked());
    EXPECT_FALSE(form->CaptureJob->isChecked());
}

TEST_F(NavigationTest, JobsPageWithoutAProjectTouchesNothing)
{
    form->CaptureCheckBox->setChecked(true);
    form->EnterJobsPage();
    form->CaptureJobExecute();
    form->LeaveJobsPage();
    EXPECT_TRUE(form->CaptureCheckBox->isChecked());
}
