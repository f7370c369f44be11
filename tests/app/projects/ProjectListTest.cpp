// The registry's list of known projects: entries found, added, numbered,
// dropped and shown in the Projects page's list.
#include "ProjectsFixture.h"

#include <QApplication>

using namespace projects_test;

using ProjectList = ProjectsTest;

TEST_F(ProjectList, RegisteringTheSameFileAgainKeepsOneEntryAndANameInAnotherCaseIsAnotherProject)
{
    const QString file = makeProject(QStringLiteral("Holiday"));
    form->RegisterProjectFile(file);
    form->RegisterProjectFile(file);
    ASSERT_EQ(entryKeys(), QStringList{QStringLiteral("Project1")});
    EXPECT_EQ(entryValue(QStringLiteral("Project1"), QStringLiteral("Name")), QStringLiteral("Holiday"));

    // "holiday" is a folder and a project of its own: two entries, both listed.
    const QString other = makeProject(QStringLiteral("holiday"));
    form->RegisterProjectFile(other);
    form->RegisterProjectFile(file);
    EXPECT_EQ(entryKeys(), (QStringList{QStringLiteral("Project1"), QStringLiteral("Project2")}));
    EXPECT_EQ(entryValue(QStringLiteral("Project1"), QStringLiteral("FileName")), file);
    EXPECT_EQ(entryValue(QStringLiteral("Project2"), QStringLiteral("FileName")), other);
    EXPECT_EQ(listedNames(), (QStringList{QStringLiteral("Holiday"), QStringLiteral("holiday")}));
    EXPECT_EQ(TMainForm::FindProjectKey(file), QStringLiteral("Project1"));
    EXPECT_EQ(TMainForm::FindProjectKey(other), QStringLiteral("Project2"));
    EXPECT_EQ(TMainForm::FindProjectKey(file.toUpper()), QString());
}

TEST_F(ProjectList, ANewEntryTakesTheLowestFreeNumber)
{
    writeEntry(QStringLiteral("Project1"), QStringLiteral("One"), makeProject(QStringLiteral("One")));
    writeEntry(QStringLiteral("Project3"), QStringLiteral("Three"), makeProject(QStringLiteral("Three")));
    EXPECT_EQ(TMainForm::NewProjectKey(), QStringLiteral("Project2"));

    const QString two = makeProject(QStringLiteral("Two"));
    form->RegisterProjectFile(two);
    EXPECT_EQ(entryValue(QStringLiteral("Project2"), QStringLiteral("FileName")), two);
    EXPECT_EQ(TMainForm::NewProjectKey(), QStringLiteral("Project4"));
}

TEST_F(ProjectList, RefreshListsLiveEntriesSortedAndDropsDeadOnes)
{
    const QString zulu = makeProject(QStringLiteral("zulu"));
    const QString bravo = makeProject(QStringLiteral("bravo"));
    const QString mike = makeProject(QStringLiteral("Mike"));
    writeEntry(QStringLiteral("Project1"), QStringLiteral("zulu"), zulu);
    writeEntry(QStringLiteral("Project2"), QStringLiteral("Gone"), projects + QStringLiteral("/Gone/Gone.thp"));
    writeEntry(QStringLiteral("Project3"), QStringLiteral("bravo"), bravo);
    writeEntry(QStringLiteral("Project4"), QString(), mike); // no "Name"
    writeEntry(QStringLiteral("Project5"), QStringLiteral("NoFile"), QString());
    writeEntry(QStringLiteral("Project6"), QStringLiteral("Folder"), projects); // a folder is no project file

    form->RefreshProjectList();

    // By caption as text: letter case does not put "Error" first.
    EXPECT_EQ(listedNames(), (QStringList{QStringLiteral("bravo"), QStringLiteral("Error"), QStringLiteral("zulu")}));
    ASSERT_NE(listed(mike), nullptr);
    EXPECT_FALSE(listed(mike)->icon(0).isNull());
    EXPECT_EQ(entryKeys(), (QStringList{QStringLiteral("Project1"), QStringLiteral("Project3"), QStringLiteral("Project4")}));

    // A project file deleted outside the program goes at the next refresh.
    ASSERT_TRUE(QFile::remove(zulu));
    form->RefreshProjectList();
    EXPECT_EQ(listedNames(), (QStringList{QStringLiteral("bravo"), QStringLiteral("Error")}));
    EXPECT_EQ(entryKeys(), (QStringList{QStringLiteral("Project3"), QStringLiteral("Project4")}));
}

TEST_F(ProjectList, AnEntryOfTheWrongTypeIsSkippedKeptAndToldOnceAndBlocksNoRegistration)
{
    const QString alpha = makeProject(QStringLiteral("Alpha"));
    writeEntry(QStringLiteral("Project1"), QStringLiteral("Alpha"), alpha);
    {
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKey(kListKey + QStringLiteral("\\Project2"), true));
        reg.WriteInteger(QStringLiteral("FileName"), 7);
    }
    DialogRecorder answers{mrCancel};
    answers.answer = mrOk;
    answers.install();

    form->RefreshProjectList();
    EXPECT_EQ(listedNames(), QStringList{QStringLiteral("Alpha")});
    ASSERT_EQ(answers.texts().size(), 1);
    EXPECT_TRUE(answers.texts()[0].contains(QStringLiteral("Project2"))) << answers.texts()[0].toStdString();
    EXPECT_TRUE(answers.texts()[0].contains(QStringLiteral("FileName"))) << answers.texts()[0].toStdString();

    // Registering, as entering the Capture page does, goes on past it and
    // the entry is not told again.
    const QString beta = makeProject(QStringLiteral("Beta"));
    form->RegisterProjectFile(beta);
    form->RefreshProjectList();
    EXPECT_EQ(answers.texts().size(), 1);
    EXPECT_EQ(listedNames(), (QStringList{QStringLiteral("Alpha"), QStringLiteral("Beta")}));
    EXPECT_EQ(entryKeys(), (QStringList{QStringLiteral("Project1"), QStringLiteral("Project2"), QStringLiteral("Project3")}));
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKeyReadOnly(kListKey + QStringLiteral("\\Project2")));
    EXPECT_EQ(reg.ReadInteger(QStringLiteral("FileName")), 7);
}

TEST_F(ProjectList, AnUnreadableProjectFileIsNotRegistered)
{
    const QString bad = projects + QStringLiteral("/Bad/Bad.thp");
    writeFile(bad, "<project><name>");
    EXPECT_THROW(form->RegisterProjectFile(bad), std::exception);
    EXPECT_TRUE(entryKeys().isEmpty());
}

TEST_F(ProjectList, BrowsingRegistersThePickedFileAndStartsInTheProjectsFolderOnlyOnce)
{
    const QString file = makeProject(QStringLiteral("Picked"));
    QStringList startedIn;
    QString pick = file;
    DialogRecorder answers{mrCancel};
    answers.other = [&](QDialog& d) -> int {
        auto& dialog = dynamic_cast<QFileDialog&>(d);
        startedIn << QDir(dialog.directory()).absolutePath();
        if (pick.isEmpty())
            return QDialog::Rejected;
        // A shown file dialog keeps the typed name while its name edit has the focus.
        if (QWidget* focused = QApplication::focusWidget())
            focused->clearFocus();
        dialog.selectFile(pick);
        return QDialog::Accepted;
    };
    answers.install();

    form->AddProjectExecute();
    EXPECT_EQ(entryValue(QStringLiteral("Project1"), QStringLiteral("FileName")), file);
    EXPECT_EQ(listedNames(), QStringList{QStringLiteral("Picked")});

    form->AddProjectDialog->setDirectory(dir.qpath());
    pick.clear();
    form->AddProjectExecute();
    ASSERT_EQ(startedIn.size(), 2);
    EXPECT_EQ(startedIn[0], QDir(projects).absolutePath());
    EXPECT_EQ(startedIn[1], QDir(dir.qpath()).absolutePath());
    EXPECT_EQ(entryKeys().size(), 1);
}
