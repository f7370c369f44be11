// The project record: defaults, setters and Modified, validation of the
// folder and the name, name suggestions, time estimates.
#include "project/Project.h"

#include "ProjectTestUtil.h"
#include "support/TestUtil.h"

#include <QDir>
#include <QFileInfo>

#include <gtest/gtest.h>

using th::test::raisedMessage;
using th::test::TempDir;
using th::test::writeFile;

namespace {

class ProjectRecord : public ::testing::Test {
protected:
    TempDir dir;
    QString projects() const { return dir.qpath() + QStringLiteral("/Projects/"); }
    std::unique_ptr<TTHProject> make(const QString& name = QStringLiteral("Holiday"))
    {
        return TTHProject::CreateNew(projects(), name);
    }
};

TEST_F(ProjectRecord, NewProjectHasTheDefaultsAndCreatesOnlyTheProjectsFolder)
{
    const QString missing = dir.qpath() + QStringLiteral("/a/b/Projects");
    auto p = TTHProject::CreateNew(missing, QStringLiteral("Holiday"));
    EXPECT_TRUE(QFileInfo(missing).isDir());
    EXPECT_FALSE(QFileInfo::exists(missing + QStringLiteral("/Holiday")));

    EXPECT_EQ(p->ProjectsPath, missing + QStringLiteral("/"));
    EXPECT_EQ(p->Name, QStringLiteral("Holiday"));
    EXPECT_EQ(p->CaptureFolder, missing + QStringLiteral("/Holiday/Video"));
    EXPECT_FALSE(QFileInfo::exists(p->CaptureFolder));
    EXPECT_TRUE(p->CaptureJob);
    EXPECT_TRUE(p->RewindTape);
    EXPECT_TRUE(p->ShowPreview);
    EXPECT_FALSE(p->SplitFiles);
    EXPECT_FALSE(p->Shutdown);
    EXPECT_FALSE(p->ShutdownChoice);
    EXPECT_EQ(p->TapeOption, toXtoN);
    EXPECT_EQ(p->FileType, 1);
    EXPECT_TRUE(p->IsNew);
    EXPECT_FALSE(p->Modified);
    EXPECT_TRUE(p->FileName.isEmpty());
    EXPECT_TRUE(p->Files.isEmpty());
    EXPECT_TRUE(p->Report.isEmpty());
    EXPECT_EQ(p->DefaultFileName(), missing + QStringLiteral("/Holiday/Holiday.thp"));
}

TEST_F(ProjectRecord, SettersGivenTheCurrentValueLeaveModifiedAlone)
{
    auto p = make();
    p->SetCaptureJob(p->CaptureJob);
    p->SetTapeOption(p->TapeOption);
    p->SetRewindTape(p->RewindTape);
    p->SetFileType(p->FileType);
    p->SetShowPreview(p->ShowPreview);
    p->SetSplitFiles(p->SplitFiles);
    p->SetStartTime(p->StartTime);
    p->SetEndTime(p->EndTime);
    p->SetShutdown(p->Shutdown);
    p->SetCaptureFolder(p->CaptureFolder);
    p->SetProjectsPath(p->ProjectsPath);
    p->SetName(p->Name);
    EXPECT_FALSE(p->Modified);
    // Unchanged values validate nothing: the capture folder was not made.
    EXPECT_FALSE(QFileInfo::exists(p->CaptureFolder));

    // Each setter marks a real change.
    const std::vector<std::function<void(TTHProject&)>> changes = {
        [](TTHProject& q) { q.SetCaptureJob(!q.CaptureJob); },
        [](TTHProject& q) { q.SetTapeOption(toXtoX); },
        [](TTHProject& q) { q.SetRewindTape(!q.RewindTape); },
        [](TTHProject& q) { q.SetFileType(0); },
        [](TTHProject& q) { q.SetShowPreview(!q.ShowPreview); },
        [](TTHProject& q) { q.SetSplitFiles(!q.SplitFiles); },
        [](TTHProject& q) { q.SetStartTime(MakeTimecode(0, 0, 0, 1)); },
        [](TTHProject& q) { q.SetEndTime(MakeTimecode(1, 0, 0, 0)); },
        [](TTHProject& q) { q.SetShutdown(!q.Shutdown); },
    };
    for (size_t i = 0; i < changes.size(); ++i) {
        p->Modified = false;
        changes[i](*p);
        EXPECT_TRUE(p->Modified) << "change " << i;
    }
}

TEST_F(ProjectRecord, TimecodeSettersCompareAllFourBytes)
{
    auto p = make();
    p->SetEndTime(MakeTimecode(1, 2, 3, 4));
    const std::vector<TTimecode> others = {MakeTimecode(9, 2, 3, 4), MakeTimecode(1, 9, 3, 4),
                                           MakeTimecode(1, 2, 9, 4), MakeTimecode(1, 2, 3, 9)};
    for (const TTimecode& tc : others) {
        p->SetEndTime(MakeTimecode(1, 2, 3, 4));
        p->Modified = false;
        p->SetEndTime(tc);
        EXPECT_TRUE(p->Modified);
    }
}

TEST_F(ProjectRecord, ShutdownChoiceFollowsEverySetShutdownAndSurvivesManualMode)
{
    auto p = make();
    p->SetShutdown(true);
    p->Modified = false;
    p->ShutdownChoice = false;
    p->SetShutdown(true); // unchanged: not modified, but the choice is copied
    EXPECT_FALSE(p->Modified);
    EXPECT_TRUE(p->ShutdownChoice);

    p->SetTapeOption(toManual);
    EXPECT_FALSE(p->Shutdown);
    EXPECT_TRUE(p->ShutdownChoice);
    EXPECT_TRUE(p->Modified);

    // Already manual: nothing changes, even a shutdown set since.
    p->SetShutdown(true);
    p->Modified = false;
    p->SetTapeOption(toManual);
    EXPECT_TRUE(p->Shutdown);
    EXPECT_FALSE(p->Modified);
}

TEST_F(ProjectRecord, ProjectsPathGetsOneTrailingDelimiter)
{
    auto p = make();
    const QString base = dir.qpath() + QStringLiteral("/Video Projects");

    p->Modified = false;
    p->SetProjectsPath(base);
    EXPECT_EQ(p->ProjectsPath, base + QStringLiteral("/"));
    EXPECT_EQ(p->CaptureFolder, base + QStringLiteral("/Holiday/Video"));
    EXPECT_TRUE(p->Modified);
    EXPECT_TRUE(QFileInfo(base).isDir());

    // With the delimiter already there it is the same folder: no change.
    p->Modified = false;
    p->SetProjectsPath(base + QStringLiteral("/"));
    EXPECT_EQ(p->ProjectsPath, base + QStringLiteral("/"));
    EXPECT_FALSE(p->Modified);

    // A trailing backslash is kept as it stands.
    p->SetProjectsPath(base + QStringLiteral("\\"));
    EXPECT_EQ(p->ProjectsPath, base + QStringLiteral("\\"));

    // Other letter case is another folder here.
    p->SetProjectsPath(base);
    p->SetCaptureFolder(dir.qpath() + QStringLiteral("/elsewhere"));
    p->Modified = false;
    p->SetProjectsPath(dir.qpath() + QStringLiteral("/video projects"));
    EXPECT_TRUE(p->Modified);
    EXPECT_TRUE(QFileInfo(dir.qpath() + QStringLiteral("/video projects")).isDir());
    EXPECT_EQ(p->CaptureFolder, dir.qpath() + QStringLiteral("/video projects/Holiday/Video"));
}

TEST_F(ProjectRecord, InvalidPathsRaiseAndKeepTheOldValue)
{
    auto p = make();
    writeFile(dir.qpath() + QStringLiteral("/plain"), "x");
    const QString blocked = dir.qpath() + QStringLiteral("/plain/sub");
    const QString oldPath = p->ProjectsPath;
    const QString oldFolder = p->CaptureFolder;

    EXPECT_EQ(raisedMessage([&] { p->SetProjectsPath(blocked); }), QStringLiteral("Invalid project path."));
    EXPECT_EQ(raisedMessage([&] { p->SetProjectsPath(QString()); }), QStringLiteral("Invalid project path."));
    EXPECT_EQ(raisedMessage([&] { p->SetCaptureFolder(blocked); }), QStringLiteral("Invalid project path."));
    EXPECT_EQ(raisedMessage([&] { p->SetCaptureFolder(QString()); }), QStringLiteral("Invalid project path."));
    EXPECT_EQ(p->ProjectsPath, oldPath);
    EXPECT_EQ(p->CaptureFolder, oldFolder);
    EXPECT_FALSE(p->Modified);

    EXPECT_EQ(raisedMessage([&] { TTHProject::CreateNew(blocked, QStringLiteral("x")); }),
              QStringLiteral("Invalid project path."));

    // A capture folder that is missing is made with its parents.
    const QString deep = dir.qpath() + QStringLiteral("/c/d/e");
    p->SetCaptureFolder(deep);
    EXPECT_TRUE(QFileInfo(deep).isDir());
    EXPECT_EQ(p->CaptureFolder, deep);
}

TEST_F(ProjectRecord, NameValidationProbesWithAFileAndRemovesIt)
{
    QDir().mkpath(projects() + QStringLiteral("Taken"));
    EXPECT_EQ(raisedMessage([&] { make(QStringLiteral("Taken")); }), QStringLiteral("Invalid project name."));

    auto p = make();
    const QString oldName = p->Name;
    p->Modified = false;
    EXPECT_EQ(raisedMessage([&] { p->SetName(QStringLiteral("Taken")); }), QStringLiteral("Invalid project name."));
    EXPECT_EQ(raisedMessage([&] { p->SetName(QStringLiteral("no/such/folder")); }),
              QStringLiteral("Invalid project name."));
    EXPECT_EQ(p->Name, oldName);
    EXPECT_FALSE(p->Modified);

    p->SetName(QStringLiteral("Summer 2004"));
    EXPECT_EQ(p->CaptureFolder, projects() + QStringLiteral("Summer 2004/Video"));
    EXPECT_FALSE(QFileInfo::exists(projects() + QStringLiteral("Summer 2004")));

    // A plain file of that name passes and stays where it is.
    writeFile(projects() + QStringLiteral("Notes"), "keep me");
    p->SetName(QStringLiteral("Notes"));
    EXPECT_EQ(th::test::readFile(projects() + QStringLiteral("Notes")), QByteArray("keep me"));

    // A dangling link is not followed to make a file elsewhere.
    const QString target = dir.qpath() + QStringLiteral("/target");
    ASSERT_TRUE(QFile::link(target, projects() + QStringLiteral("Link")));
    EXPECT_EQ(raisedMessage([&] { p->SetName(QStringLiteral("Link")); }), QStringLiteral("Invalid project name."));
    EXPECT_FALSE(QFileInfo::exists(target));
}

TEST_F(ProjectRecord, EmptyNamePassesCreationButNotIsValid)
{
    auto p = make(QString());
    EXPECT_TRUE(p->Name.isEmpty());
    EXPECT_EQ(raisedMessage([&] { p->IsValid(); }), QStringLiteral("Invalid project name."));

    auto good = make();
    EXPECT_TRUE(good->IsValid());
}

TEST_F(ProjectRecord, DefaultAndUniqueProjectNames)
{
    EXPECT_EQ(DefaultProjectName(1), QStringLiteral("My Video"));
    EXPECT_EQ(DefaultProjectName(2), QStringLiteral("My Video-02"));
    EXPECT_EQ(DefaultProjectName(99), QStringLiteral("My Video-99"));
    EXPECT_EQ(DefaultProjectName(100), QStringLiteral("My Video-100"));

    const QString folder = dir.qpath();
    EXPECT_EQ(UniqueProjectName(folder), QStringLiteral("My Video"));
    QDir().mkpath(folder + QStringLiteral("/My Video"));
    QDir().mkpath(folder + QStringLiteral("/My Video-02"));
    EXPECT_EQ(UniqueProjectName(folder), QStringLiteral("My Video-03"));
    // Only folders count.
    writeFile(folder + QStringLiteral("/My Video-03"), "x");
    EXPECT_EQ(UniqueProjectName(folder), QStringLiteral("My Video-03"));
}

TEST_F(ProjectRecord, CaptureAndTotalSeconds)
{
    auto p = make();
    p->SetTapeOption(toXtoX);
    p->SetStartTime(MakeTimecode(0, 0, 10, 0));
    p->SetEndTime(MakeTimecode(0, 1, 10, 12));
    EXPECT_EQ(p->CaptureSeconds(25), 60); // 1512 frames
    EXPECT_EQ(p->TotalSeconds(25), 60);
    EXPECT_EQ(p->CaptureSeconds(30), 60); // 1812 frames
    EXPECT_EQ(p->CaptureSeconds(0), -1);
    EXPECT_EQ(p->TotalSeconds(0), -1);
    EXPECT_EQ(p->CaptureSeconds(-25), -1);

    p->SetTapeOption(toXtoN);
    EXPECT_EQ(p->CaptureSeconds(25), 60);

    p->SetEndTime(p->StartTime);
    EXPECT_EQ(p->CaptureSeconds(25), -1);
    p->SetEndTime(MakeTimecode(0, 0, 9, 24));
    EXPECT_EQ(p->CaptureSeconds(25), -1);

    p->SetEndTime(MakeTimecode(0, 1, 10, 12));
    for (TTapeOption option : {toNtoX, toBtoE, toManual}) {
        p->SetTapeOption(option);
        EXPECT_EQ(p->CaptureSeconds(25), -1);
        EXPECT_EQ(p->TotalSeconds(25), -1);
    }

    p->SetTapeOption(toXtoX);
    p->SetCaptureJob(false);
    EXPECT_EQ(p->CaptureSeconds(25), -1);
    EXPECT_EQ(p->TotalSeconds(25), 0);
    EXPECT_EQ(p->TotalSeconds(0), 0);
}

TEST_F(ProjectRecord, IsAutomaticNeedsTheCaptureJobOutsideManualMode)
{
    auto p = make();
    EXPECT_TRUE(p->IsAutomatic());
    p->SetTapeOption(toManual);
    EXPECT_FALSE(p->IsAutomatic());
    p->SetTapeOption(toBtoE);
    p->SetCaptureJob(false);
    EXPECT_FALSE(p->IsAutomatic());
}

} // namespace
