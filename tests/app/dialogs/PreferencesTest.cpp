// The Preferences dialog on drive sets of the tests, driven through its
// widgets with a main window as its owner.
#include "FakeVolumes.h"

#include "app/Dialogs.h"
#include "app/Main.h"
#include "app/Preferences.h"
#include "app/TlmDrvComBox.h"
#include "platform/rtl/SysUtils.h"
#include "platform/rtl/TRegistry.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QTreeView>

#include <gtest/gtest.h>

using th::test::FakeDrives;
using th::test::FakeVolume;
using th::test::GB;
using th::win::BlockDevice;

namespace {

QString storedProjectsPath()
{
    TRegIniFile reg(QStringLiteral("\\Software\\Tolmar\\TapeHarvest"));
    return reg.ReadString(QStringLiteral("Projects"), QStringLiteral("ProjectsPath"), QStringLiteral("<none>"));
}

// An in-place editor is open in the folder tree.
bool editing(TSetupForm* f)
{
    for (auto* e : f->CaptureFolderTreeView->findChildren<QLineEdit*>())
        if (e->isVisible())
            return true;
    return false;
}

void deliverDeletes()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
}

class Preferences : public ::testing::Test {
protected:
    void SetUp() override { Main = std::make_unique<TMainForm>(); }
    void TearDown() override
    {
        SetModalHook({});
        delete Form.data();
        Main.reset();
    }

    // Makes the dialog and shows it, as the main window does.
    TSetupForm* Show()
    {
        Form = new TSetupForm(Main.get());
        Form->show();
        QCoreApplication::processEvents();
        return Form;
    }

    QString messages() const { return Messages.join(QLatin1Char('\n')); }
    // Answers message dialogs with OK and keeps their texts.
    void AnswerMessages()
    {
        SetModalHook([this](QDialog& d) -> int {
            if (auto* box = qobject_cast<QMessageBox*>(&d))
                Messages << box->text();
            return mrOk;
        });
    }

    FakeDrives Drives;
    std::unique_ptr<TMainForm> Main;
    QPointer<TSetupForm> Form;
    QStringList Messages;
};

} // namespace

// --- The proposal ---------------------------------------------------------------------------

TEST_F(Preferences, TheFirstShowingProposesAFolderOnTheBestDriveAtOnce)
{
    Drives.Install({
        {QStringLiteral("C"), QStringLiteral("ext4"), 5 * GB},
        {QStringLiteral("D"), QStringLiteral("vfat"), 20 * GB},
    });
    // Folders for the tree to read in after the proposal is made.
    for (const char* sub : {"/Music", "/Photos", "/Films"})
        ASSERT_TRUE(QDir().mkpath(Drives["D"] + QLatin1String(sub)));
    AnswerMessages();
    TSetupForm* f = Show();
    EXPECT_EQ(f->windowTitle(), QStringLiteral("TapeHarvest Preferences"));
    const QString proposal = Drives["D"] + QStringLiteral("/TapeHarvest");
    EXPECT_EQ(Main->FProjectsFolder, proposal);
    EXPECT_EQ(f->CaptureDriveComboBox->GetDrive(), Drives["D"]);
    EXPECT_EQ(f->TreeRoot(), Drives["D"]);
    EXPECT_EQ(f->NewPathEdit->text(), proposal);
    EXPECT_TRUE(f->Modified);
    EXPECT_TRUE(f->ApplyBtn->isEnabled());
    EXPECT_EQ(f->CurrCapLabel->toolTip(), proposal);
    // Folders the tree reads in afterwards do not take the proposal away.
    const QAbstractItemModel* tree = f->CaptureFolderTreeView->model();
    EXPECT_TRUE(th::test::waitUntil([&] {
        const QModelIndex drive = tree->index(0, 0, f->CaptureFolderTreeView->rootIndex());
        return tree->rowCount(drive) == 3;
    }));
    EXPECT_EQ(f->NewPathEdit->text(), proposal);
    // The tree is open where the proposal will be made, that folder selected
    // and in view; the dialog stands in the screen's middle, as the main
    // window is not shown yet.
    EXPECT_EQ(f->SelectedFolder(), Drives["D"]);
    const QRect item = f->CaptureFolderTreeView->visualRect(f->CaptureFolderTreeView->currentIndex());
    EXPECT_TRUE(f->CaptureFolderTreeView->viewport()->rect().intersects(item));
    EXPECT_LE((f->frameGeometry().center() - f->screen()->availableGeometry().center()).manhattanLength(), 40);
    // Nothing is made or stored before Apply.
    EXPECT_FALSE(QFileInfo::exists(proposal));
    EXPECT_EQ(storedProjectsPath(), QStringLiteral("<none>"));

    // Cancelled, the proposal stays the folder of this run.
    f->CancelBtn->click();
    deliverDeletes();
    EXPECT_TRUE(Form.isNull());
    EXPECT_EQ(Main->FProjectsFolder, proposal);
    EXPECT_EQ(storedProjectsPath(), QStringLiteral("<none>"));
    EXPECT_EQ(messages(), QString());
}

TEST_F(Preferences, TheHomeFolderRootsTheProposalWhenItLiesOnTheDrive)
{
    Drives.Install({
        {QStringLiteral("C"), QStringLiteral("ext4"), 50 * GB},
        {QStringLiteral("D"), QStringLiteral("ext4"), 10 * GB},
    });
    const QString home = Drives["C"] + QStringLiteral("/home/user");
    ASSERT_TRUE(QDir().mkpath(home));
    const QByteArray savedHome = qgetenv("HOME");
    qputenv("HOME", QFile::encodeName(home));
    Show();
    qputenv("HOME", savedHome);
    EXPECT_EQ(Main->FProjectsFolder, home + QStringLiteral("/TapeHarvest"));
}

TEST_F(Preferences, WithoutAFixedDriveTheProposalIsInTheHomeFolder)
{
    Drives.Install({
        {QStringLiteral("A"), QStringLiteral("vfat"), 50 * GB, BlockDevice::Removable},
    });
    AnswerMessages();
    TSetupForm* f = Show();
    EXPECT_EQ(messages(), QString());
    EXPECT_EQ(f->CaptureDriveComboBox->currentIndex(), -1);
    EXPECT_EQ(Main->FProjectsFolder, QDir::homePath() + QStringLiteral("/TapeHarvest"));
    EXPECT_EQ(f->NewPathEdit->text(), Main->FProjectsFolder);
    EXPECT_TRUE(f->TreeRoot().isEmpty());
    EXPECT_TRUE(f->ApplyBtn->isEnabled());
}

struct SuggestCase {
    const char* name;
    std::vector<FakeVolume> drives;
    const char* expected;
};

void PrintTo(const SuggestCase& c, std::ostream* os)
{
    *os << c.name;
}

class SuggestDrive : public ::testing::TestWithParam<SuggestCase> {};

TEST_P(SuggestDrive, PrefersTheNtfsClassThenFreeSpace)
{
    FakeDrives drives(GetParam().drives);
    TMainForm main;
    TSetupForm form(&main);
    form.setAttribute(Qt::WA_DeleteOnClose, false);
    EXPECT_EQ(form.SuggestDrive(), drives[QString::fromLatin1(GetParam().expected)]);
}

constexpr std::uint64_t G = GB;

INSTANTIATE_TEST_SUITE_P(
    Examples, SuggestDrive,
    ::testing::Values(
        SuggestCase{"ThreeTimesTheFreeBytesOnFat32",
                    {{"C", "ext4", 10 * G}, {"D", "vfat", 30 * G}},
                    "D"},
        SuggestCase{"JustUnderThreeTimesStaysOnNtfs",
                    {{"C", "ext4", 10 * G}, {"D", "vfat", 30 * G - G / 10}},
                    "C"},
        SuggestCase{"EqualNtfsDrivesTheFirstWins",
                    {{"C", "ext4", 10 * G}, {"D", "xfs", 10 * G}},
                    "C"},
        SuggestCase{"MostFreeInTheNtfsClass",
                    {{"C", "ext4", 10 * G}, {"D", "btrfs", 11 * G}, {"E", "ntfs3", 2 * G}},
                    "D"},
        SuggestCase{"OtherWithThreeTimesTheChosen",
                    {{"C", "ext4", 10 * G}, {"D", "zfs", 30 * G}},
                    "D"},
        SuggestCase{"OtherWithLessStaysBehind",
                    {{"C", "ext4", 10 * G}, {"D", "zfs", 29 * G}},
                    "C"},
        SuggestCase{"OtherMeasuredAgainstFat32WhenThatWasChosen",
                    {{"C", "ext4", 1 * G}, {"D", "vfat", 10 * G}, {"E", "overlay", 29 * G}},
                    "D"},
        SuggestCase{"Fat32WithoutNtfs",
                    {{"C", "vfat", 1 * G}, {"D", "exfat", 2 * G}},
                    "C"},
        SuggestCase{"OnlyOther",
                    {{"C", "exfat", 1 * G}, {"D", "exfat", 2 * G}},
                    "D"},
        SuggestCase{"NamesCompareExactly",
                    {{"C", "EXT4", 10 * G}, {"D", "VFAT", 11 * G}},
                    "D"},
        SuggestCase{"OnlyFixedDrivesCount",
                    {{"A", "ext4", 100 * G, BlockDevice::Removable}, {"C", "vfat", 1 * G},
                     {"N", "nfs4", 900 * G, BlockDevice::None}},
                    "C"},
        SuggestCase{"NoFreeBytesAnywhereTheSelectedStays",
                    {{"A", "vfat", 100 * G, BlockDevice::Removable}, {"C", "ext4", 0}, {"D", "ext4", 0}},
                    "C"}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Showing with a projects folder -------------------------------------------------------

TEST_F(Preferences, AnExistingProjectsFolderIsSelectedOnItsDrive)
{
    Drives.Install({
        {QStringLiteral("C"), QStringLiteral("ext4"), 5 * GB},
        {QStringLiteral("D"), QStringLiteral("vfat"), 20 * GB},
    });
    const QString folder = Drives["D"] + QStringLiteral("/Video/Projects");
    ASSERT_TRUE(QDir().mkpath(folder));
    Main->FProjectsFolder = folder;
    TSetupForm* f = Show();
    EXPECT_EQ(f->CaptureDriveComboBox->GetDrive(), Drives["D"]);
    EXPECT_EQ(f->TreeRoot(), Drives["D"]);
    EXPECT_EQ(f->SelectedFolder(), folder);
    EXPECT_EQ(f->NewPathEdit->text(), folder);
    EXPECT_EQ(Main->FProjectsFolder, folder);
    EXPECT_EQ(f->CurrCapLabel->toolTip(), folder);
    // Showing changed the edit, so Apply is on.
    EXPECT_TRUE(f->ApplyBtn->isEnabled());

    // The user picks the other drive: the tree moves there with nothing selected.
    f->CaptureDriveComboBox->setCurrentIndex(0);
    emit f->CaptureDriveComboBox->activated(0);
    EXPECT_EQ(f->TreeRoot(), Drives["C"]);
    EXPECT_TRUE(f->SelectedFolder().isEmpty());
    EXPECT_TRUE(f->NewPathEdit->text().isEmpty());
    EXPECT_EQ(Main->FProjectsFolder, folder);
}

TEST_F(Preferences, AFolderNotMadeYetLeavesTheTreeUnselected)
{
    Drives.Install({
        {QStringLiteral("C"), QStringLiteral("ext4"), 5 * GB},
        {QStringLiteral("D"), QStringLiteral("vfat"), 20 * GB},
    });
    Main->FProjectsFolder = Drives["D"] + QStringLiteral("/Gone");
    TSetupForm* f = Show();
    EXPECT_EQ(f->CaptureDriveComboBox->GetDrive(), Drives["D"]);
    EXPECT_TRUE(f->SelectedFolder().isEmpty());
    EXPECT_TRUE(f->NewPathEdit->text().isEmpty());
    EXPECT_FALSE(f->ApplyBtn->isEnabled());
    EXPECT_EQ(f->CurrCapLabel->toolTip(), Drives["D"] + QStringLiteral("/Gone"));
}

TEST_F(Preferences, ClickingAFolderPutsItIntoTheEdit)
{
    Drives.Install({{QStringLiteral("C"), QStringLiteral("ext4"), 5 * GB}});
    ASSERT_TRUE(QDir().mkpath(Drives["C"] + QStringLiteral("/Films")));
    Main->FProjectsFolder = Drives["C"];
    TSetupForm* f = Show();
    ASSERT_EQ(f->SelectedFolder(), Drives["C"]);
    QTreeView* tree = f->findChild<QTreeView*>(QStringLiteral("CaptureFolderTreeView"));
    ASSERT_EQ(tree, f->CaptureFolderTreeView);
    ASSERT_TRUE(th::test::waitUntil([&] { return tree->model()->rowCount(tree->currentIndex()) == 1; }));
    const QModelIndex films = tree->model()->index(0, 0, tree->currentIndex());
    tree->setCurrentIndex(films);
    EXPECT_EQ(f->NewPathEdit->text(), Drives["C"] + QStringLiteral("/Films"));
    EXPECT_TRUE(f->ApplyBtn->isEnabled());
}

// --- Apply, OK and Cancel -----------------------------------------------------------------

TEST_F(Preferences, ApplyMakesTheWholeChainAndStoresIt)
{
    Drives.Install({{QStringLiteral("C"), QStringLiteral("ext4"), 5 * GB}});
    Main->FProjectsFolder = Drives["C"];
    TSetupForm* f = Show();
    const QString path = Drives["C"] + QStringLiteral("/one/two/three");
    f->NewPathEdit->setText(path);
    EXPECT_TRUE(f->ApplyBtn->isEnabled());
    f->ApplyBtn->click();

    EXPECT_TRUE(DirectoryExists(path));
    EXPECT_EQ(storedProjectsPath(), path);
    EXPECT_EQ(Main->FProjectsFolder, path);
    EXPECT_TRUE(f->isVisible());
    EXPECT_EQ(f->SelectedFolder(), path);
    EXPECT_EQ(f->NewPathEdit->text(), path);
    EXPECT_EQ(f->CurrCapLabel->toolTip(), path);
    EXPECT_FALSE(f->Modified);
    EXPECT_FALSE(f->ApplyBtn->isEnabled());
}

TEST_F(Preferences, ApplyOnAnotherDriveMovesTheTreeThere)
{
    Drives.Install({
        {QStringLiteral("C"), QStringLiteral("ext4"), 5 * GB},
        {QStringLiteral("D"), QStringLiteral("vfat"), 20 * GB},
    });
    Main->FProjectsFolder = Drives["C"];
    TSetupForm* f = Show();
    ASSERT_EQ(f->TreeRoot(), Drives["C"]);
    const QString path = Drives["D"] + QStringLiteral("/Projects");
    f->NewPathEdit->setText(path);
    f->ApplyBtnClick();
    EXPECT_EQ(f->CaptureDriveComboBox->GetDrive(), Drives["D"]);
    EXPECT_EQ(f->TreeRoot(), Drives["D"]);
    EXPECT_EQ(f->SelectedFolder(), path);
    EXPECT_EQ(f->NewPathEdit->text(), path);
    EXPECT_EQ(storedProjectsPath(), path);
}

TEST_F(Preferences, ARelativePathIsAppliedAsTheFolderItMade)
{
    Drives.Install({{QStringLiteral("C"), QStringLiteral("ext4"), 5 * GB}});
    const QString saved = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(Drives["C"]));
    Main->FProjectsFolder = Drives["C"];
    TSetupForm* f = Show();
    f->NewPathEdit->setText(QStringLiteral("rel/Projects"));
    f->ApplyBtnClick();
    QDir::setCurrent(saved);
    const QString made = Drives["C"] + QStringLiteral("/rel/Projects");
    EXPECT_TRUE(DirectoryExists(made));
    EXPECT_EQ(Main->FProjectsFolder, made);
    EXPECT_EQ(storedProjectsPath(), made);
}

TEST_F(Preferences, AFolderThatCannotBeMadeAppliesNothing)
{
    Drives.Install({{QStringLiteral("C"), QStringLiteral("ext4"), 5 * GB}});
    QFile blocker(Drives["C"] + QStringLiteral("/file"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    Main->FProjectsFolder = Drives["C"];
    TSetupForm* f = Show();

    const QString bad = Drives["C"] + QStringLiteral("/file/sub");
    f->NewPathEdit->setText(bad);
    try {
        f->ApplyBtnClick();
        ADD_FAILURE() << "Apply passed";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("Cannot create folder \"%1\".").arg(bad));
    }
    f->NewPathEdit->clear();
    try {
        f->ApplyBtnClick();
        ADD_FAILURE() << "Apply passed";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("Unable to create directory"));
    }
    EXPECT_EQ(Main->FProjectsFolder, Drives["C"]);
    EXPECT_EQ(storedProjectsPath(), QStringLiteral("<none>"));
    EXPECT_TRUE(f->Modified);
}

TEST_F(Preferences, OkOnAFolderThatCannotBeMadeShowsTheErrorAndStaysOpen)
{
    Drives.Install({{QStringLiteral("C"), QStringLiteral("ext4"), 5 * GB}});
    QFile blocker(Drives["C"] + QStringLiteral("/file"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    Main->FProjectsFolder = Drives["C"];
    AnswerMessages();
    TSetupForm* f = Show();
    const QString bad = Drives["C"] + QStringLiteral("/file/sub");
    f->NewPathEdit->setText(bad);
    f->OkBtn->click();
    deliverDeletes();
    ASSERT_FALSE(Form.isNull());
    EXPECT_TRUE(f->isVisible());
    EXPECT_EQ(messages(), QStringLiteral("Cannot create folder \"%1\".").arg(bad));
    EXPECT_EQ(Main->FProjectsFolder, Drives["C"]);

    // A folder that exists but takes no new entry, even for root.
    f->NewPathEdit->setText(QStringLiteral("/proc"));
    f->OkBtn->click();
    deliverDeletes();
    ASSERT_FALSE(Form.isNull());
    ASSERT_EQ(Messages.size(), 2);
    EXPECT_TRUE(Messages[1].startsWith(QStringLiteral("The folder \"/proc\" cannot hold projects: no folder can be "
                                                      "made in it (")))
        << Messages[1].toStdString();
    EXPECT_EQ(Main->FProjectsFolder, Drives["C"]);
    EXPECT_EQ(storedProjectsPath(), QStringLiteral("<none>"));

    // Put right, OK applies and the dialog goes.
    const QString good = Drives["C"] + QStringLiteral("/Projects");
    f->NewPathEdit->setText(good);
    f->OkBtn->click();
    deliverDeletes();
    EXPECT_TRUE(Form.isNull());
    EXPECT_EQ(Main->FProjectsFolder, good);
    EXPECT_EQ(storedProjectsPath(), good);
    EXPECT_EQ(Messages.size(), 2);
}

TEST_F(Preferences, ShownModallyTheDialogFreesItselfWhenItCloses)
{
    Drives.Install({{QStringLiteral("C"), QStringLiteral("ext4"), 5 * GB}});
    QPointer<TSetupForm> seen;
    QString editWhenShown;
    SetModalHook([&](QDialog& d) -> int {
        seen = qobject_cast<TSetupForm*>(&d);
        if (seen) {
            editWhenShown = seen->NewPathEdit->text();
            seen->CancelBtn->click();
        }
        return QDialog::Rejected;
    });
    ExecModal(*new TSetupForm(Main.get()));
    deliverDeletes();
    EXPECT_EQ(editWhenShown, Drives["C"] + QStringLiteral("/TapeHarvest"));
    EXPECT_TRUE(seen.isNull());

    // Closed by the hook's answer instead of a button, too.
    SetModalHook([&](QDialog& d) -> int {
        seen = qobject_cast<TSetupForm*>(&d);
        return QDialog::Rejected;
    });
    ExecModal(*new TSetupForm(Main.get()));
    deliverDeletes();
    EXPECT_TRUE(seen.isNull());
}

// --- Make New Folder ----------------------------------------------------------------------

TEST_F(Preferences, NewFolderNamesCountOnlyFolders)
{
    Drives.Install({{QStringLiteral("C"), QStringLiteral("ext4"), 5 * GB}});
    const QString base = Drives["C"] + QStringLiteral("/Video/");
    ASSERT_TRUE(QDir().mkpath(base));
    EXPECT_EQ(TSetupForm::NewFolderName(base), base + QStringLiteral("TapeHarvest"));
    ASSERT_TRUE(QDir().mkpath(base + QStringLiteral("TapeHarvest")));
    ASSERT_TRUE(QDir().mkpath(base + QStringLiteral("TapeHarvest (2)")));
    EXPECT_EQ(TSetupForm::NewFolderName(base), base + QStringLiteral("TapeHarvest (3)"));
    QFile file(base + QStringLiteral("TapeHarvest (3)"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    EXPECT_EQ(TSetupForm::NewFolderName(base), base + QStringLiteral("TapeHarvest (3)"));
}

TEST_F(Preferences, MakeNewFolderMakesTheNextNameAndEditsIt)
{
    Drives.Install({{QStringLiteral("C"), QStringLiteral("ext4"), 5 * GB}});
    const QString video = Drives["C"] + QStringLiteral("/Video");
    ASSERT_TRUE(QDir().mkpath(video + QStringLiteral("/TapeHarvest")));
    ASSERT_TRUE(QDir().mkpath(video + QStringLiteral("/TapeHarvest (2)")));
    Main->FProjectsFolder = video;
    TSetupForm* f = Show();
    ASSERT_EQ(f->SelectedFolder(), video);

    f->MakeNewFolderBtn->click();
    const QString made = video + QStringLiteral("/TapeHarvest (3)");
    EXPECT_TRUE(DirectoryExists(made));
    EXPECT_EQ(f->SelectedFolder(), made);
    EXPECT_EQ(f->NewPathEdit->text(), made);
    EXPECT_TRUE(editing(f));
    EXPECT_FALSE(f->AutoRefresh());

    // The user types a name of their own and confirms it.
    auto* editor = f->CaptureFolderTreeView->findChild<QLineEdit*>();
    ASSERT_NE(editor, nullptr);
    editor->setText(QStringLiteral("Holiday"));
    QMetaObject::invokeMethod(f->CaptureFolderTreeView->itemDelegate(), "commitData", Q_ARG(QWidget*, editor));
    QMetaObject::invokeMethod(f->CaptureFolderTreeView->itemDelegate(), "closeEditor", Q_ARG(QWidget*, editor));
    const QString renamed = video + QStringLiteral("/Holiday");
    EXPECT_TRUE(DirectoryExists(renamed));
    EXPECT_FALSE(QFileInfo::exists(made));
    EXPECT_TRUE(f->AutoRefresh());
    EXPECT_EQ(f->SelectedFolder(), renamed);
    EXPECT_EQ(f->NewPathEdit->text(), renamed);
}

TEST_F(Preferences, MakeNewFolderUnderTheDrivesRoot)
{
    Drives.Install({{QStringLiteral("C"), QStringLiteral("ext4"), 5 * GB}});
    Main->FProjectsFolder = Drives["C"];
    TSetupForm* f = Show();
    ASSERT_EQ(f->SelectedFolder(), Drives["C"]);
    f->MakeNewFolderBtnClick();
    EXPECT_TRUE(DirectoryExists(Drives["C"] + QStringLiteral("/TapeHarvest")));
    EXPECT_EQ(f->SelectedFolder(), Drives["C"] + QStringLiteral("/TapeHarvest"));
}

TEST_F(Preferences, MakeNewFolderDoesNothingWhenItCannotOrHasNoPlace)
{
    Drives.Install({{QStringLiteral("C"), QStringLiteral("ext4"), 5 * GB}});
    QFile file(Drives["C"] + QStringLiteral("/TapeHarvest"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    Main->FProjectsFolder = Drives["C"];
    TSetupForm* f = Show();
    f->MakeNewFolderBtnClick();
    EXPECT_TRUE(QFileInfo(file.fileName()).isFile());
    EXPECT_EQ(f->SelectedFolder(), Drives["C"]);
    EXPECT_FALSE(editing(f));
    // The refresh stays off until the next drive change.
    EXPECT_FALSE(f->AutoRefresh());
    f->CaptureDriveComboBoxChange();
    EXPECT_TRUE(f->AutoRefresh());

    // No folder selected: nothing at all.
    f->CaptureFolderTreeView->setCurrentIndex(QModelIndex());
    const QStringList before = QDir(Drives["C"]).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    f->MakeNewFolderBtnClick();
    EXPECT_EQ(QDir(Drives["C"]).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), before);
    EXPECT_TRUE(f->AutoRefresh());
}
