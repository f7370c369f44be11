// The Select Project page: its two choices, the save question when the open
// project is let go, the page's hooks as Next and Previous run them, and the
// name edit.
#include "ProjectsFixture.h"

#include <QCoreApplication>
#include <QFocusEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

#include <sys/stat.h>

using namespace projects_test;

namespace {

class ProjectsPage : public ProjectsTest {
protected:
    // A new project made by Next with the new-project choice, then changed.
    TTHProject* makeChangedNewProject(const QString& name)
    {
        form->NewProjectEdit->setText(name);
        form->LeaveProjectsPage();
        EXPECT_TRUE(form->FProject && form->FProject->IsNew);
        if (!form->FProject)
            return nullptr;
        form->FProject->SetRewindTape(!form->FProject->RewindTape);
        return form->FProject.get();
    }

    // Chooses the open-project radio, selects FileName's item and goes Next.
    TTHProject* openListed(const QString& fileName)
    {
        if (!form->OpenProjectRadio->isChecked())
            form->OpenProjectRadio->click();
        QTreeWidgetItem* item = listed(fileName);
        EXPECT_NE(item, nullptr);
        if (!item)
            return nullptr;
        form->ProjectsListBox->setCurrentItem(item);
        form->LeaveProjectsPage();
        return form->FProject.get();
    }

    void expectNewChoiceState()
    {
        EXPECT_TRUE(form->NewProject->isChecked());
        EXPECT_TRUE(form->NewProjectRadio->isChecked());
        EXPECT_FALSE(form->OpenProjectRadio->isChecked());
        EXPECT_TRUE(form->NewProjectEdit->isEnabled());
        EXPECT_TRUE(form->ChangeFolderProject->isEnabled());
        EXPECT_FALSE(form->ProjectsListBox->isEnabled());
        EXPECT_FALSE(form->AddProject->isEnabled());
        EXPECT_FALSE(form->DelProject->isEnabled());
        EXPECT_TRUE(form->ProjectsListBox->selectedItems().isEmpty());
    }

    void expectOpenChoiceState()
    {
        EXPECT_TRUE(form->OpenProject->isChecked());
        EXPECT_TRUE(form->OpenProjectRadio->isChecked());
        EXPECT_FALSE(form->NewProjectRadio->isChecked());
        EXPECT_FALSE(form->NewProjectEdit->isEnabled());
        EXPECT_FALSE(form->ProjectFolderLabel->isEnabled());
        EXPECT_TRUE(form->ProjectsListBox->isEnabled());
        EXPECT_TRUE(form->AddProject->isEnabled());
    }

    DialogRecorder answers{mrCancel};
};

} // namespace

TEST_F(ProjectsPage, LeavingTheNewChoiceForAChangedNewProjectAsksAndCancelKeepsIt)
{
    answers.install();
    TTHProject* project = makeChangedNewProject(QStringLiteral("Fresh"));
    ASSERT_NE(project, nullptr);

    answers.answer = mrCancel;
    form->OpenProjectRadio->click();
    EXPECT_EQ(answers.texts(), QStringList{QStringLiteral("Do you wish to save project Fresh?")});
    EXPECT_EQ(form->FProject.get(), project);
    expectNewChoiceState();

    // No: dropped, nothing written.
    answers.answer = mrNo;
    form->OpenProjectRadio->click();
    EXPECT_EQ(answers.texts().size(), 2);
    EXPECT_EQ(form->FProject, nullptr);
    expectOpenChoiceState();
    EXPECT_FALSE(QFileInfo::exists(projects + QStringLiteral("/Fresh")));
    EXPECT_TRUE(entryKeys().isEmpty());
}

TEST_F(ProjectsPage, YesToTheSaveQuestionWritesAndListsTheProject)
{
    answers.install();
    ASSERT_NE(makeChangedNewProject(QStringLiteral("Kept")), nullptr);
    form->FCaptureFileName = QStringLiteral("/somewhere/Kept.avi");

    answers.answer = mrYes;
    form->OpenProjectRadio->click();
    EXPECT_EQ(answers.texts().size(), 1);
    EXPECT_EQ(form->FProject, nullptr);
    EXPECT_TRUE(form->FCaptureFileName.isEmpty());
    const QString file = projects + QStringLiteral("/Kept/Kept.thp");
    EXPECT_TRUE(FileExists(file));
    EXPECT_EQ(entryValue(QStringLiteral("Project1"), QStringLiteral("FileName")), file);
    EXPECT_EQ(listedNames(), QStringList{QStringLiteral("Kept")});
}

TEST_F(ProjectsPage, ANewProjectNeverChangedIsDroppedWithoutAQuestion)
{
    answers.install();
    form->NewProjectEdit->setText(QStringLiteral("Untouched"));
    form->LeaveProjectsPage();
    ASSERT_NE(form->FProject, nullptr);
    EXPECT_TRUE(form->CloseProject());
    EXPECT_TRUE(answers.texts().isEmpty());
    EXPECT_EQ(form->FProject, nullptr);
    EXPECT_FALSE(QFileInfo::exists(projects + QStringLiteral("/Untouched")));
}

TEST_F(ProjectsPage, ASavedProjectIsSavedWithoutAQuestionWhenTheOtherChoiceIsTaken)
{
    const QString file = makeProject(QStringLiteral("Saved"));
    form->RegisterProjectFile(file);
    answers.install();
    TTHProject* project = openListed(file);
    ASSERT_NE(project, nullptr);
    EXPECT_FALSE(project->IsNew);
    const bool split = !project->SplitFiles;
    project->SetSplitFiles(split);

    form->NewProjectRadio->click();
    EXPECT_TRUE(answers.texts().isEmpty());
    EXPECT_EQ(form->FProject, nullptr);
    expectNewChoiceState();
    // The empty name edit got a default name.
    EXPECT_EQ(form->NewProjectEdit->text(), QStringLiteral("My Video"));
    EXPECT_EQ(TTHProject::CreateFromFile(file)->SplitFiles, split);
}

TEST_F(ProjectsPage, NextKeepsTheAlreadyOpenProjectAndOpensAnotherOne)
{
    const QString first = makeProject(QStringLiteral("First"));
    const QString second = makeProject(QStringLiteral("Second"));
    form->RegisterProjectFile(first);
    form->RegisterProjectFile(second);
    TTHProject* project = openListed(first);
    ASSERT_NE(project, nullptr);
    // Changed in memory only: a second load would lose this.
    project->SetShowPreview(!project->ShowPreview);
    const bool preview = project->ShowPreview;

    form->LeaveProjectsPage();
    EXPECT_EQ(form->FProject.get(), project);
    EXPECT_TRUE(project->Modified);

    // Another project: the first is saved as it is let go.
    TTHProject* other = openListed(second);
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(other->Name, QStringLiteral("Second"));
    EXPECT_EQ(TTHProject::CreateFromFile(first)->ShowPreview, preview);
}

TEST_F(ProjectsPage, ComingBackWithASavedProjectSelectsItsEntry)
{
    form->NewProjectEdit->setText(QStringLiteral("Made"));
    form->LeaveProjectsPage();
    TTHProject* project = form->FProject.get();
    ASSERT_NE(project, nullptr);
    // What entering the Capture page does with a new project.
    project->Save();
    form->RegisterProjectFile(project->FileName);
    ASSERT_TRUE(form->NewProject->isChecked());

    answers.install();
    form->EnterProjectsPage();
    EXPECT_EQ(form->FProject.get(), project);
    EXPECT_TRUE(answers.texts().isEmpty());
    expectOpenChoiceState();
    EXPECT_EQ(selectedFile(), project->FileName);
    EXPECT_TRUE(form->DelProject->isEnabled());

    // Next from here keeps it.
    form->LeaveProjectsPage();
    EXPECT_EQ(form->FProject.get(), project);
}

TEST_F(ProjectsPage, ASecondVisitRenamesTheNewProjectInPlace)
{
    form->NewProjectEdit->setText(QStringLiteral("First Name"));
    form->LeaveProjectsPage();
    TTHProject* project = form->FProject.get();
    ASSERT_NE(project, nullptr);
    EXPECT_EQ(form->windowTitle(), QStringLiteral("Tolmar TapeHarvest - First Name"));

    form->EnterProjectsPage();
    form->NewProjectEdit->setText(QStringLiteral("Second Name"));
    form->LeaveProjectsPage();
    EXPECT_EQ(form->FProject.get(), project);
    EXPECT_EQ(project->Name, QStringLiteral("Second Name"));
    EXPECT_EQ(project->CaptureFolder, projects + QStringLiteral("/Second Name/Video"));
    EXPECT_EQ(form->windowTitle(), QStringLiteral("Tolmar TapeHarvest - Second Name"));
}

TEST_F(ProjectsPage, ANameOfAnExistingFolderIsRefused)
{
    makeProject(QStringLiteral("Taken"));
    form->NewProjectEdit->setText(QStringLiteral("Taken"));
    try {
        form->LeaveProjectsPage();
        ADD_FAILURE() << "the name of an existing folder was taken";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("Invalid project name."));
    }
    EXPECT_EQ(form->FProject, nullptr);

    // The same for a rename on a later visit: the project keeps its name.
    form->NewProjectEdit->setText(QStringLiteral("Free"));
    form->LeaveProjectsPage();
    ASSERT_NE(form->FProject, nullptr);
    form->NewProjectEdit->setText(QStringLiteral("Taken"));
    EXPECT_THROW(form->LeaveProjectsPage(), Exception);
    EXPECT_EQ(form->FProject->Name, QStringLiteral("Free"));
}

TEST_F(ProjectsPage, OpeningAVanishedProjectOrANamedPipeFailsAndLeavesNothingOpen)
{
    const QString file = makeProject(QStringLiteral("Vanishing"));
    form->RegisterProjectFile(file);
    ASSERT_TRUE(QFile::remove(file));
    try {
        openListed(file);
        ADD_FAILURE() << "a missing project file was opened";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("Project %1 not found.").arg(file));
    }
    EXPECT_EQ(form->FProject, nullptr);

    // A named pipe in its place is refused at once: opening it would wait
    // for a writer for good.
    ASSERT_EQ(mkfifo(QFile::encodeName(file).constData(), 0600), 0);
    try {
        openListed(file);
        ADD_FAILURE() << "a named pipe was opened as a project";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("\"%1\" is not a project file: it is a named pipe, not a file.").arg(file));
    }
    EXPECT_EQ(form->FProject, nullptr);
}

TEST_F(ProjectsPage, DeleteClosesTheProjectAlsoWhenTheDialogIsCancelled)
{
    const QString file = makeProject(QStringLiteral("Doomed"));
    form->RegisterProjectFile(file);
    ASSERT_NE(openListed(file), nullptr);
    TDeleteProjectForm dialog(form.get());
    form->SetDeleteProjectForm(&dialog);
    QString shownName, shownFile;
    answers.other = [&](QDialog& d) -> int {
        EXPECT_EQ(&d, &dialog);
        shownName = dialog.ProjectName;
        shownFile = dialog.FileName;
        return QDialog::Rejected;
    };
    answers.install();

    ASSERT_TRUE(form->DelProject->isEnabled());
    form->DelProjectBtn->click();
    EXPECT_EQ(answers.others.size(), 1);
    EXPECT_EQ(shownName, QStringLiteral("Doomed"));
    EXPECT_EQ(shownFile, file);
    EXPECT_EQ(form->FProject, nullptr);
    EXPECT_TRUE(FileExists(file));
    EXPECT_EQ(listedNames(), QStringList{QStringLiteral("Doomed")});
    form->SetDeleteProjectForm(nullptr);
}

TEST_F(ProjectsPage, ADefaultNameIsSuggestedOnlyForABlankEditOfTheNewChoice)
{
    form->EnterProjectsPage();
    EXPECT_EQ(form->NewProjectEdit->text(), QStringLiteral("My Video"));

    ASSERT_TRUE(QDir().mkpath(projects + QStringLiteral("/My Video")));
    form->NewProjectEdit->setText(QStringLiteral(" \t "));
    form->EnterProjectsPage();
    EXPECT_EQ(form->NewProjectEdit->text(), QStringLiteral("My Video-02"));

    form->NewProjectEdit->setText(QStringLiteral(" typed "));
    form->EnterProjectsPage();
    EXPECT_EQ(form->NewProjectEdit->text(), QStringLiteral(" typed "));

    form->NewProjectEdit->clear();
    form->OpenProjectRadio->click();
    form->EnterProjectsPage();
    EXPECT_TRUE(form->NewProjectEdit->text().isEmpty());
}

TEST_F(ProjectsPage, TheFirstClickIntoTheNameEditSelectsItsText)
{
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    form->NewProjectEdit->setText(QStringLiteral("My Video"));
    form->NewProjectRadio->setFocus();
    ASSERT_FALSE(form->NewProjectEdit->hasFocus());

    QTest::mouseClick(form->NewProjectEdit, Qt::LeftButton, {}, QPoint(5, 5));
    EXPECT_TRUE(form->FEditEntered == false);
    EXPECT_EQ(form->NewProjectEdit->selectedText(), QStringLiteral("My Video"));

    // The next click places the cursor as usual.
    QTest::mouseClick(form->NewProjectEdit, Qt::LeftButton, {}, QPoint(5, 5));
    EXPECT_FALSE(form->NewProjectEdit->hasSelectedText());

    // The window getting the focus back does not count as entering the edit.
    QFocusEvent back(QEvent::FocusIn, Qt::ActiveWindowFocusReason);
    QCoreApplication::sendEvent(form->NewProjectEdit, &back);
    EXPECT_FALSE(form->FEditEntered);
}
