// The missing-file check of a loaded project and its dialog, answered
// through the dialog's own buttons.
#include "project/CheckFile.h"
#include "project/Project.h"

#include "ProjectTestUtil.h"
#include "support/TestUtil.h"

#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>

#include <gtest/gtest.h>

using th::test::closeBox;
using th::test::DialogScript;
using th::test::pickAndOk;
using th::test::pressIgnore;
using th::test::pressIgnoreAll;
using th::test::TempDir;
using th::test::writeFile;

namespace {

class MissingFiles : public ::testing::Test {
protected:
    TempDir dir;
    QString path(const QString& rel) const { return dir.qpath() + QStringLiteral("/") + rel; }
    QString touch(const QString& rel)
    {
        writeFile(path(rel), "");
        return path(rel);
    }

    // Saves a project that lists these files and loads it again.
    std::unique_ptr<TTHProject> saveAndLoad(const QStringList& files)
    {
        auto p = TTHProject::CreateNew(path(QStringLiteral("Projects")), QStringLiteral("Trip"));
        p->Files = files;
        p->Save();
        return TTHProject::CreateFromFile(p->FileName);
    }
};

TEST_F(MissingFiles, AllPresentMeansNoDialogAndNoChange)
{
    const QStringList files = {touch(QStringLiteral("v/a.avi")), touch(QStringLiteral("v/b.avi"))};
    DialogScript script;
    auto p = saveAndLoad(files);
    EXPECT_TRUE(script.asked.isEmpty());
    EXPECT_EQ(p->Files, files);
    EXPECT_FALSE(p->Modified);
}

TEST_F(MissingFiles, DuplicatesGoAndTheFirstStays)
{
    const QString a = touch(QStringLiteral("v/a.avi"));
    const QString b = touch(QStringLiteral("v/b.avi"));
    const QString upper = touch(QStringLiteral("V/A.AVI")); // another file on this file system
    DialogScript script;
    auto p = saveAndLoad({a, b, a, upper, b, a});
    EXPECT_TRUE(script.asked.isEmpty());
    EXPECT_EQ(p->Files, QStringList({a, b, upper}));
    EXPECT_TRUE(p->Modified);

    QStringList list = {b, a, b};
    p->Modified = false;
    p->RemoveDuplicates(list);
    EXPECT_EQ(list, QStringList({b, a}));
    EXPECT_TRUE(p->Modified);
}

TEST_F(MissingFiles, FilesOfAMovedFolderAreFoundAfterTheFirstAnswer)
{
    const QStringList old = {path(QStringLiteral("old/A.avi")), path(QStringLiteral("old/B.avi")),
                             path(QStringLiteral("old/C.avi"))};
    const QStringList moved = {touch(QStringLiteral("new/A.avi")), touch(QStringLiteral("new/B.avi")),
                               touch(QStringLiteral("new/C.avi"))};
    DialogScript script({pickAndOk(moved[2])});
    auto p = saveAndLoad(old);
    EXPECT_EQ(script.asked, QStringList{old[2]}); // the last entry is asked about first
    EXPECT_EQ(p->Files, moved);
    EXPECT_TRUE(p->Modified);
}

TEST_F(MissingFiles, IgnoreDropsOneFileAndAsksAboutTheNext)
{
    const QString a = touch(QStringLiteral("v/A.avi"));
    const QString b = path(QStringLiteral("v/B.avi"));
    const QString c = path(QStringLiteral("v/C.avi"));
    DialogScript script({pressIgnore(), pressIgnore()});
    auto p = saveAndLoad({a, b, c});
    EXPECT_EQ(script.asked, QStringList({c, b}));
    EXPECT_EQ(p->Files, QStringList{a});
    EXPECT_TRUE(p->Modified);
}

TEST_F(MissingFiles, TheCloseBoxCountsAsIgnore)
{
    const QString b = path(QStringLiteral("v/B.avi"));
    const QString c = path(QStringLiteral("v/C.avi"));
    DialogScript script({closeBox(), closeBox()});
    auto p = saveAndLoad({b, c});
    EXPECT_EQ(script.asked, QStringList({c, b}));
    EXPECT_TRUE(p->Files.isEmpty());
}

TEST_F(MissingFiles, IgnoreAllStopsAskingAndSearching)
{
    const QString a = path(QStringLiteral("old/A.avi"));
    const QString b = path(QStringLiteral("old/B.avi"));
    const QString c = path(QStringLiteral("old/C.avi"));
    const QString newC = touch(QStringLiteral("new/C.avi"));
    touch(QStringLiteral("new/A.avi")); // would be found in the last folder
    const QString present = touch(QStringLiteral("here/D.avi"));
    DialogScript script({pickAndOk(newC), pressIgnoreAll()});
    auto p = saveAndLoad({present, a, b, c});
    EXPECT_EQ(script.asked, QStringList({c, b}));
    EXPECT_EQ(p->Files, QStringList({present, newC}));
}

TEST_F(MissingFiles, AnyPickedFileReplacesTheEntry)
{
    const QString other = touch(QStringLiteral("elsewhere/renamed.dv"));
    DialogScript script({pickAndOk(other)});
    auto p = saveAndLoad({path(QStringLiteral("v/C.avi"))});
    EXPECT_EQ(p->Files, QStringList{other});
}

TEST_F(MissingFiles, AReplacedEntryEqualToAnotherIsRemovedByTheFinalPass)
{
    const QString x = touch(QStringLiteral("v/X.avi"));
    const QString y = path(QStringLiteral("v/Y.avi"));
    const QString z = touch(QStringLiteral("v/Z.avi"));
    DialogScript script({pickAndOk(x)});
    auto p = saveAndLoad({x, z, y});
    EXPECT_EQ(p->Files, QStringList({x, z}));
    EXPECT_TRUE(p->Modified);
}

TEST_F(MissingFiles, AFolderIsNotAFileForTheCheck)
{
    QDir().mkpath(path(QStringLiteral("v/folder.avi")));
    DialogScript script({pressIgnore()});
    auto p = saveAndLoad({path(QStringLiteral("v/folder.avi"))});
    EXPECT_EQ(script.asked.size(), 1);
    EXPECT_TRUE(p->Files.isEmpty());
}

TEST_F(MissingFiles, BareNamesAreLookedForInTheCurrentDirectoryFirst)
{
    const QString cwd = QDir::currentPath();
    QDir().mkpath(path(QStringLiteral("work")));
    ASSERT_TRUE(QDir::setCurrent(path(QStringLiteral("work"))));
    touch(QStringLiteral("work/A.avi"));
    DialogScript script;
    auto p = TTHProject::CreateNew(path(QStringLiteral("Projects")), QStringLiteral("Trip"));
    p->Files = {path(QStringLiteral("gone/A.avi"))};
    p->CheckFiles();
    QDir::setCurrent(cwd);
    EXPECT_TRUE(script.asked.isEmpty());
    // Recorded where it was found, not as a bare name.
    EXPECT_EQ(p->Files, QStringList{path(QStringLiteral("work/A.avi"))});
}

class CheckFileDialog : public ::testing::Test {
protected:
    TempDir dir;
};

TEST_F(CheckFileDialog, ControlsAndTextsBeforeAndAfterABrowse)
{
    const QString missing = dir.qpath() + QStringLiteral("/old/holiday.avi");
    const QString found = dir.qpath() + QStringLiteral("/new/holiday.avi");
    writeFile(found, "");

    TCheckFileForm form;
    form.MissingFileName = missing;
    EXPECT_EQ(form.windowTitle(), QStringLiteral("Cannot find the file"));
    EXPECT_EQ(form.size(), QSize(530, 259));
    for (const char* name : {"Image1", "TitleLabel", "FileNameLabel", "MainHintLabel", "OtherHintLabel"})
        EXPECT_NE(form.findChild<QLabel*>(QString::fromLatin1(name)), nullptr) << name;
    EXPECT_EQ(form.findChild<QPushButton*>(QStringLiteral("BrowseBtn"))->text(), QStringLiteral("Browse..."));
    EXPECT_EQ(form.findChild<QPushButton*>(QStringLiteral("IgnoreBtn"))->text(), QStringLiteral("Ignore"));
    EXPECT_EQ(form.findChild<QPushButton*>(QStringLiteral("IgnoreAllBtn"))->text(), QStringLiteral("Ignore All"));
    EXPECT_EQ(form.findChild<QPushButton*>(QStringLiteral("OkBtn"))->text(), QStringLiteral("OK"));
    EXPECT_NE(form.findChild<QFileDialog*>(QStringLiteral("OpenDialog")), nullptr);
    EXPECT_EQ(form.TitleLabel->text(), QStringLiteral("TapeHarvest cannot find the file:"));
    EXPECT_EQ(form.CheckResult, TCheckFileForm::IgnoreResult);

    form.FormActivate(&form);
    EXPECT_EQ(form.MainHintLabel->text(), QStringLiteral("You can click the Browse button to find the file yourself."));
    EXPECT_FALSE(form.OkBtn->isEnabled());
    EXPECT_EQ(form.FileNameLabel->toolTip(), missing);

    // A browse that is cancelled changes nothing.
    TCheckFileForm::SetBrowseHook([&](QFileDialog& open) {
        EXPECT_EQ(open.nameFilters().size(), 3);
        EXPECT_EQ(open.nameFilters().at(0), QStringLiteral("holiday.avi (holiday.avi)"));
        return std::optional<QString>();
    });
    form.BrowseBtn->click();
    EXPECT_TRUE(form.NewFileName.isEmpty());
    EXPECT_FALSE(form.OkBtn->isEnabled());

    TCheckFileForm::SetBrowseHook([&](QFileDialog&) { return std::optional<QString>(found); });
    form.BrowseBtn->click();
    TCheckFileForm::SetBrowseHook({});
    EXPECT_EQ(form.NewFileName, found);
    EXPECT_TRUE(form.OkBtn->isEnabled());
    EXPECT_EQ(form.MainHintLabel->text(),
              QStringLiteral("You can click the OK button to replace the \"%1\" to \"%2\".").arg(missing, found));

    // The picked file vanished meanwhile: OK does not replace.
    QFile::remove(found);
    form.FormActivate(&form);
    EXPECT_FALSE(form.OkBtn->isEnabled());
    form.OkBtnClick(form.OkBtn);
    EXPECT_EQ(form.CheckResult, TCheckFileForm::IgnoreResult);
}

TEST_F(CheckFileDialog, LongNamesAreShortenedInTheMiddle)
{
    TCheckFileForm form;
    form.MissingFileName = QStringLiteral("/start/") + QString(300, u'x') + QStringLiteral("/end.avi");
    form.UpdateControls();
    const QString shown = form.FileNameLabel->text();
    EXPECT_TRUE(shown.startsWith(QStringLiteral("/start/"))) << shown.toStdString();
    EXPECT_TRUE(shown.endsWith(QStringLiteral("/end.avi"))) << shown.toStdString();
    EXPECT_TRUE(shown.contains(QChar(0x2026)));
    EXPECT_LE(QFontMetrics(form.FileNameLabel->font()).horizontalAdvance(shown), form.FileNameLabel->width() - 100);
    EXPECT_EQ(form.FileNameLabel->toolTip(), form.MissingFileName);
}

TEST_F(CheckFileDialog, FilterOffersTheNameTheExtensionAndEverything)
{
    EXPECT_EQ(TCheckFileForm::ShellTypeName(QStringLiteral(".zzqx")), QStringLiteral("ZZQX File"));
    EXPECT_EQ(TCheckFileForm::ShellTypeName(QString()), QStringLiteral(" File"));
    const QString avi = TCheckFileForm::ShellTypeName(QStringLiteral(".avi"));
    EXPECT_FALSE(avi.isEmpty());

    // Names with blanks or brackets still match only themselves.
    EXPECT_EQ(TCheckFileForm::OpenDialogNameFilters(QStringLiteral("/v/scene (1).zzqx")),
              QStringList({QStringLiteral("scene (1).zzqx (scene??1?.zzqx)"), QStringLiteral("ZZQX File (*.zzqx)"),
                           QStringLiteral("All files (*)")}));
}

TEST_F(CheckFileDialog, ButtonsSetTheResultAndClose)
{
    const QString found = dir.qpath() + QStringLiteral("/f.avi");
    writeFile(found, "");
    struct Case {
        std::function<void(TCheckFileForm&)> answer;
        qint32 result;
    };
    const std::vector<Case> cases = {
        {pressIgnore(), TCheckFileForm::IgnoreResult},
        {pressIgnoreAll(), TCheckFileForm::IgnoreAllResult},
        {pickAndOk(found), TCheckFileForm::ReplaceResult},
        {closeBox(), TCheckFileForm::IgnoreResult},
    };
    for (const Case& c : cases) {
        TCheckFileForm form;
        form.MissingFileName = dir.qpath() + QStringLiteral("/gone.avi");
        TCheckFileForm::SetAnswerHook(c.answer);
        form.exec();
        TCheckFileForm::SetAnswerHook({});
        EXPECT_FALSE(form.isVisible());
        EXPECT_EQ(form.CheckResult, c.result);
    }
}

} // namespace
