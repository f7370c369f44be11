// The Delete Project dialog: its check boxes, the keys that cancel, and what
// OK deletes from disk and from the project list.
#include "ProjectsFixture.h"

#include <QCheckBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>

using namespace projects_test;

namespace {

class DeleteProject : public ProjectsTest {
protected:
    void SetUp() override
    {
        ProjectsTest::SetUp();
        dialog = std::make_unique<TDeleteProjectForm>(form.get());
        form->SetDeleteProjectForm(dialog.get());
    }

    void TearDown() override
    {
        dialog.reset();
        form->SetDeleteProjectForm(nullptr);
        ProjectsTest::TearDown();
    }

    // Shows the dialog for FileName as the Projects page does, with its
    // starting state.
    void showFor(const QString& fileName, const QString& name)
    {
        dialog->FileName = fileName;
        dialog->ProjectName = name;
        dialog->show();
        ASSERT_TRUE(dialog->RemoveProjectCheckBox->isChecked());
        ASSERT_FALSE(dialog->DeleteProjectCheckBox->isChecked());
        ASSERT_FALSE(dialog->DeleteCapturedCheckBox->isChecked());
    }

    void tick(QCheckBox* box, bool on)
    {
        if (box->isChecked() != on)
            box->click();
        ASSERT_EQ(box->isChecked(), on);
    }

    std::unique_ptr<TDeleteProjectForm> dialog;
};

} // namespace

TEST_F(DeleteProject, TheProjectFileBoxImpliesTheListBoxAndNoBoxDisablesOk)
{
    EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Delete Project"));
    showFor(projects + QStringLiteral("/P/P.thp"), QStringLiteral("P"));
    EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Delete Project: P"));
    EXPECT_TRUE(dialog->OkBtn->isEnabled());

    tick(dialog->DeleteProjectCheckBox, true);
    EXPECT_TRUE(dialog->RemoveProjectCheckBox->isChecked());
    EXPECT_FALSE(dialog->RemoveProjectCheckBox->isEnabled());

    tick(dialog->DeleteProjectCheckBox, false);
    EXPECT_TRUE(dialog->RemoveProjectCheckBox->isChecked());
    EXPECT_TRUE(dialog->RemoveProjectCheckBox->isEnabled());

    tick(dialog->RemoveProjectCheckBox, false);
    EXPECT_FALSE(dialog->OkBtn->isEnabled());
    tick(dialog->DeleteCapturedCheckBox, true);
    EXPECT_TRUE(dialog->OkBtn->isEnabled());

    // The next showing starts over.
    dialog->hide();
    showFor(projects + QStringLiteral("/Q/Q.thp"), QStringLiteral("Q"));
    EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Delete Project: Q"));
    EXPECT_TRUE(dialog->RemoveProjectCheckBox->isEnabled());
}

TEST_F(DeleteProject, EnterOnACheckBoxCancelsAndDeletesNothing)
{
    const QString file = makeProject(QStringLiteral("Safe"));
    form->RegisterProjectFile(file);
    int result = -1;
    SetModalHook([&](QDialog& d) -> int {
        auto& shown = dynamic_cast<TDeleteProjectForm&>(d);
        shown.DeleteProjectCheckBox->click();
        shown.DeleteProjectCheckBox->setFocus();
        QTest::keyClick(shown.DeleteProjectCheckBox, Qt::Key_Return);
        result = shown.result();
        return shown.result();
    });
    dialog->FileName = file;
    dialog->ProjectName = QStringLiteral("Safe");
    EXPECT_EQ(ExecModal(*dialog), QDialog::Rejected);
    EXPECT_EQ(result, QDialog::Rejected);
    EXPECT_TRUE(FileExists(file));
    EXPECT_EQ(entryKeys().size(), 1);

    // Escape cancels too.
    SetModalHook([&](QDialog& d) -> int {
        QTest::keyClick(&d, Qt::Key_Escape);
        return d.result();
    });
    EXPECT_EQ(ExecModal(*dialog), QDialog::Rejected);
    EXPECT_EQ(entryKeys().size(), 1);
}

TEST_F(DeleteProject, OnlyTheCapturedFilesGoAndTheProjectFileKeepsAnEmptyList)
{
    const QString file = makeProject(QStringLiteral("Clips"), {"frame data 1", "frame data 2", "frame data 3"});
    form->RegisterProjectFile(file);
    const QStringList captured = TTHProject::CreateFromFile(file)->Files;
    ASSERT_EQ(captured.size(), 3);
    const QString video = ExtractFileDir(captured[0]);
    writeFile(ChangeFileExt(captured[0], QStringLiteral(".thf")), "scenes");
    writeFile(video + QStringLiteral("/Thumbs.db"), "thumbnails");
    writeFile(video + QStringLiteral("/other.txt"), "not captured");

    showFor(file, QStringLiteral("Clips"));
    tick(dialog->RemoveProjectCheckBox, false);
    tick(dialog->DeleteCapturedCheckBox, true);
    dialog->OkBtn->click();

    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(dialog->result(), QDialog::Accepted);
    for (const QString& f : captured)
        EXPECT_FALSE(QFileInfo::exists(f)) << f.toStdString();
    EXPECT_FALSE(QFileInfo::exists(ChangeFileExt(captured[0], QStringLiteral(".thf"))));
    EXPECT_FALSE(QFileInfo::exists(video + QStringLiteral("/Thumbs.db")));
    EXPECT_TRUE(QFileInfo::exists(video + QStringLiteral("/other.txt")));
    ASSERT_TRUE(FileExists(file));
    EXPECT_TRUE(TTHProject::CreateFromFile(file)->Files.isEmpty());
    EXPECT_EQ(dialog->DelFilesProgress->maximum(), 3);
    EXPECT_EQ(dialog->DelFilesProgress->value(), 3);
    EXPECT_EQ(entryKeys().size(), 1);
    EXPECT_EQ(listedNames(), QStringList{QStringLiteral("Clips")});
}

TEST_F(DeleteProject, DeletingEverythingRemovesAProjectFolderLeftWithoutData)
{
    const QString file = makeProject(QStringLiteral("Whole"), {"clip one", "clip two"});
    const QString folder = projects + QStringLiteral("/Whole");
    writeFile(folder + QStringLiteral("/Video/Thumbs.db"), "thumbnails");
    writeFile(folder + QStringLiteral("/empty.log"), ""); // no data
    QDir().mkpath(folder + QStringLiteral("/Video/sub/deeper"));
    form->RegisterProjectFile(file);
    const QString neighbour = makeProject(QStringLiteral("Neighbour"));
    form->RegisterProjectFile(neighbour);

    showFor(file, QStringLiteral("Whole"));
    tick(dialog->DeleteProjectCheckBox, true);
    tick(dialog->DeleteCapturedCheckBox, true);
    dialog->OkBtn->click();

    EXPECT_FALSE(dialog->isVisible());
    EXPECT_FALSE(QFileInfo::exists(folder));
    EXPECT_TRUE(FileExists(neighbour));
    ASSERT_EQ(entryKeys().size(), 1);
    EXPECT_EQ(entryValue(entryKeys()[0], QStringLiteral("FileName")), neighbour);
    EXPECT_EQ(listedNames(), QStringList{QStringLiteral("Neighbour")});
}

TEST_F(DeleteProject, AFolderWithDataOrOfAnotherNameStays)
{
    const QString file = makeProject(QStringLiteral("Notes"));
    const QString folder = projects + QStringLiteral("/Notes");
    writeFile(folder + QStringLiteral("/Video/keep.txt"), "x");
    showFor(file, QStringLiteral("Notes"));
    tick(dialog->DeleteProjectCheckBox, true);
    dialog->OkBtn->click();
    EXPECT_FALSE(FileExists(file));
    EXPECT_TRUE(QFileInfo::exists(folder + QStringLiteral("/Video/keep.txt")));

    // An empty folder whose name is not the project file's.
    const QString foreign = projects + QStringLiteral("/Other");
    const QString moved = foreign + QStringLiteral("/Moved.thp");
    ASSERT_TRUE(QDir().mkpath(foreign + QStringLiteral("/Video")));
    ASSERT_TRUE(QFile::copy(makeProject(QStringLiteral("Moved")), moved));
    showFor(moved, QStringLiteral("Moved"));
    tick(dialog->DeleteProjectCheckBox, true);
    dialog->OkBtn->click();
    EXPECT_FALSE(FileExists(moved));
    EXPECT_TRUE(QFileInfo(foreign).isDir());

    // A folder whose name differs from the file's only in case is another name too.
    const QString upper = projects + QStringLiteral("/UPPER");
    const QString lowerFile = upper + QStringLiteral("/upper.thp");
    ASSERT_TRUE(QDir().mkpath(upper));
    ASSERT_TRUE(QFile::copy(makeProject(QStringLiteral("upper")), lowerFile));
    showFor(lowerFile, QStringLiteral("upper"));
    tick(dialog->DeleteProjectCheckBox, true);
    dialog->OkBtn->click();
    EXPECT_FALSE(FileExists(lowerFile));
    EXPECT_TRUE(QFileInfo(upper).isDir());
}

TEST_F(DeleteProject, AFolderHoldingALinkIsNotTakenForEmpty)
{
    const QString file = makeProject(QStringLiteral("Linked"));
    const QString folder = projects + QStringLiteral("/Linked");
    const QString outside = dir.qpath() + QStringLiteral("/outside");
    writeFile(outside + QStringLiteral("/precious.avi"), "data");
    ASSERT_TRUE(QFile::link(outside, folder + QStringLiteral("/Video/link")));
    showFor(file, QStringLiteral("Linked"));
    tick(dialog->DeleteProjectCheckBox, true);
    dialog->OkBtn->click();
    EXPECT_FALSE(FileExists(file));
    EXPECT_TRUE(QFileInfo(folder + QStringLiteral("/Video/link")).isSymLink());
    EXPECT_TRUE(FileExists(outside + QStringLiteral("/precious.avi")));
}

TEST_F(DeleteProject, EveryEntryOfTheFileGoesAndAFileNamedInAnotherCaseStays)
{
    const QString file = makeProject(QStringLiteral("Holiday"));
    const QString other = makeProject(QStringLiteral("holiday"));
    writeEntry(QStringLiteral("Project1"), QStringLiteral("Holiday"), file);
    writeEntry(QStringLiteral("Project2"), QStringLiteral("holiday"), other);
    writeEntry(QStringLiteral("Project3"), QStringLiteral("Holiday"), file);

    showFor(file, QStringLiteral("Holiday"));
    dialog->OkBtn->click();
    EXPECT_EQ(entryKeys(), QStringList{QStringLiteral("Project2")});
    EXPECT_TRUE(FileExists(file)); // only the entries were ticked
    EXPECT_EQ(listedNames(), QStringList{QStringLiteral("holiday")});
}

TEST_F(DeleteProject, AnUnreadableProjectKeepsTheDialogOpenAndTheListAsItWas)
{
    const QString file = projects + QStringLiteral("/Broken/Broken.thp");
    writeFile(file, "<project>");
    writeEntry(QStringLiteral("Project1"), QStringLiteral("Broken"), file);
    DialogRecorder answers{mrCancel};
    answers.answer = mrOk;
    answers.install();

    showFor(file, QStringLiteral("Broken"));
    tick(dialog->DeleteProjectCheckBox, true);
    tick(dialog->DeleteCapturedCheckBox, true);
    dialog->OkBtn->click();
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_TRUE(FileExists(file));
    EXPECT_EQ(entryKeys(), QStringList{QStringLiteral("Project1")});
    EXPECT_TRUE(dialog->OkBtn->isEnabled());
}

TEST_F(DeleteProject, ASecondOkOrACloseWhileFilesGoDoesNotUndoTheDeletion)
{
    const QString file = makeProject(QStringLiteral("Busy"), {"a", "b", "c", "d"});
    const QString folder = projects + QStringLiteral("/Busy");
    form->RegisterProjectFile(file);
    showFor(file, QStringLiteral("Busy"));
    tick(dialog->DeleteProjectCheckBox, true);
    tick(dialog->DeleteCapturedCheckBox, true);

    // Run while the captured files are deleted, as the user's clicks would be.
    int seenBusy = 0;
    QTimer::singleShot(0, dialog.get(), [&] {
        seenBusy += dialog->Busy();
        dialog->OkBtn->click();
        dialog->OkBtnClick();
        dialog->reject();
        seenBusy += dialog->isVisible();
    });
    dialog->OkBtn->click();

    EXPECT_EQ(seenBusy, 2);
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(dialog->result(), QDialog::Accepted);
    EXPECT_FALSE(QFileInfo::exists(folder));
    EXPECT_TRUE(entryKeys().isEmpty());
}

TEST_F(DeleteProject, TheMainWindowsDeleteButtonShowsTheDialogForTheSelectedProject)
{
    const QString file = makeProject(QStringLiteral("Chosen"), {"clip"});
    form->RegisterProjectFile(file);
    form->OpenProjectRadio->click();
    form->ProjectsListBox->setCurrentItem(listed(file));
    form->LeaveProjectsPage();
    ASSERT_NE(form->FProject, nullptr);

    SetModalHook([&](QDialog& d) -> int {
        auto& shown = dynamic_cast<TDeleteProjectForm&>(d);
        EXPECT_EQ(shown.windowTitle(), QStringLiteral("Delete Project: Chosen"));
        shown.DeleteProjectCheckBox->click();
        shown.DeleteCapturedCheckBox->click();
        shown.OkBtn->click();
        return shown.result();
    });
    form->DelProjectBtn->click();

    EXPECT_EQ(form->FProject, nullptr);
    EXPECT_FALSE(QFileInfo::exists(projects + QStringLiteral("/Chosen")));
    EXPECT_TRUE(entryKeys().isEmpty());
    EXPECT_EQ(form->ProjectsListBox->topLevelItemCount(), 0);
    EXPECT_FALSE(form->DelProject->isEnabled());
}
