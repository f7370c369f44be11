// The main window's shell: actions, menu, status bar, settings, caption,
// start-up, close query, exception handler, help, web pages.
#include "ShellFixture.h"

#include "app/About.h"
#include "app/Application.h"
#include "app/FormPlacement.h"
#include "app/HelpRouter.h"
#include "app/Preferences.h"
#include "app/StartUp.h"
#include "platform/dshow/TlmFileSink.h"
#include "platform/registry/Registry.h"
#include "platform/rtl/SysUtils.h"
#include "platform/win/ScreenSaver.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QRadioButton>
#include <QStatusBar>
#include <QTabWidget>
#include <QTreeWidget>
#include <QUrl>

using namespace shell_test;

namespace {

QAction* action(TMainForm& form, const char* name)
{
    return form.findChild<QAction*>(QString::fromLatin1(name));
}

// Receives the web pages the window asks the desktop to open.
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    UrlCatcher()
    {
        QDesktopServices::setUrlHandler(QStringLiteral("https"), this, "open");
        QDesktopServices::setUrlHandler(QStringLiteral("http"), this, "open");
    }
    ~UrlCatcher() override
    {
        QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
        QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
    }
    QList<QUrl> urls;

public slots:
    void open(const QUrl& url) { urls.append(url); }
};

void mouse(QWidget* target, QEvent::Type type, int x, Qt::MouseButton button = Qt::NoButton)
{
    const QPointF local(x, target->height() / 2);
    QMouseEvent event(type, local, target->mapToGlobal(local), button,
                      type == QEvent::MouseMove ? Qt::NoButton : button, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &event);
}

class ShellTest : public WindowTest {};

} // namespace

// --- Actions, menu, frame ---------------------------------------------------------------

TEST_F(ShellTest, ActionsHaveTheirCaptionsHintsAndShortcuts)
{
    struct Expected {
        const char* name;
        const char* caption;
        const char* hint;
    };
    const Expected table[] = {
        {"ShowMenuAction", "ShowMenuAction", ""},
        {"FileWebHomeAction", "Tolmar Home Page", "Go to the Tolmar Home Page"},
        {"FileWebTHHomeAction", "Tolmar TapeHarvest Home Page", "Go to the Tolmar TapeHarvest Home Page"},
        {"FileWebSupportAction", "Technical Support", "Tolmar Technical Support Home Page"},
        {"FileAboutAction", "About Tolmar TapeHarvest", "About Tolmar TapeHarvest"},
        {"PreferencesAction", "Preferences", "Application Preferences"},
        {"SetupCaptureFolderAction", "Setup Capture Folder", ""},
        {"HelpPageJumpAction", "&Help", ""},
        {"HelpContents", "&Help", "Help Contents"},
        {"FileExit", "E&xit", "Exit|Quits the application"},
        {"NextPage", "&Next >", "Next|Go to the next step"},
        {"PreviosPage", "< &Previous", "Previous|Go back to the previous step"},
        {"NewProjectPage", "&New Project", "Open or create a new project."},
    };
    for (const Expected& e : table) {
        QAction* a = action(*form, e.name);
        ASSERT_NE(a, nullptr) << e.name;
        EXPECT_EQ(a->text(), QString::fromUtf8(e.caption)) << e.name;
        if (*e.hint) {
            EXPECT_EQ(a->toolTip(), QString::fromUtf8(e.hint)) << e.name;
        }
    }
    EXPECT_EQ(form->HelpPageJumpAction->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_F1));
    EXPECT_EQ(form->HelpContents->shortcut(), QKeySequence(Qt::Key_F1));
    EXPECT_FALSE(form->HelpContents->isEnabled());
    // The shortcuts work only for actions the window holds.
    EXPECT_TRUE(form->actions().contains(form->HelpPageJumpAction));
}

TEST_F(ShellTest, PopupMenuHoldsItsEntriesInOrder)
{
    ASSERT_NE(form->MainPopupMenu, nullptr);
    const QList<QAction*> entries = form->MainPopupMenu->actions();
    ASSERT_EQ(entries.size(), 7);
    EXPECT_EQ(entries[0], form->PreferencesAction);
    EXPECT_TRUE(entries[1]->isSeparator());
    EXPECT_EQ(entries[2], form->HelpContents);
    ASSERT_NE(entries[3]->menu(), nullptr);
    EXPECT_EQ(entries[3]->text(), QStringLiteral("Tolmar on the Web"));
    EXPECT_EQ(entries[3]->menu()->actions(),
              (QList<QAction*>{form->FileWebHomeAction, form->FileWebTHHomeAction, form->FileWebSupportAction}));
    EXPECT_EQ(entries[4], form->FileAboutAction);
    EXPECT_TRUE(entries[5]->isSeparator());
    EXPECT_EQ(entries[6], form->FileExit);
}

TEST_F(ShellTest, FrameButtonsAreBoundToTheirActions)
{
    EXPECT_EQ(LinkedAction(form->NextBtn), form->NextPage);
    EXPECT_EQ(LinkedAction(form->PrevBtn), form->PreviosPage);
    EXPECT_EQ(LinkedAction(form->HelpBtn), form->HelpPageJumpAction);
    EXPECT_EQ(form->HelpBtn->text(), QStringLiteral("&Help"));
    ASSERT_NE(form->LogoImage->pixmap().isNull(), true);
    EXPECT_EQ(form->LogoImage->pixmap().size(), QSize(48, 48));
    // The pages and the status bar draw images 0 and 1 of both lists.
    EXPECT_GE(form->x16ImageList.Count(), 2);
    EXPECT_GE(form->x32ImageList.Count(), 2);
    // At its smallest the window still holds every page whole (the fullest
    // one scrolls when the fonts are large).
    EXPECT_EQ(form->minimumSize(), QSize(700, 550));
    form->resize(form->minimumSize());
    form->show();
    for (int i = 0; i < form->PageControl->count(); ++i) {
        const QSize least = form->PageControl->widget(i)->minimumSizeHint();
        EXPECT_LE(least.height(), form->PageControl->height()) << form->PageControl->widget(i)->objectName().toStdString();
        EXPECT_LE(least.width(), form->PageControl->width()) << form->PageControl->widget(i)->objectName().toStdString();
    }
}

TEST_F(ShellTest, StatusBarPanelZeroOpensTheMenuUnlessCapturing)
{
    form->show();
    auto* panel0 = form->MainStatusBar->findChild<QWidget*>(QStringLiteral("MainStatusBarPanel0"));
    auto* panel1 = form->MainStatusBar->findChild<QWidget*>(QStringLiteral("MainStatusBarPanel1"));
    ASSERT_NE(panel0, nullptr);
    ASSERT_NE(panel1, nullptr);
    EXPECT_EQ(panel0->width(), 120);
    EXPECT_EQ(panel1->width(), 50);

    mouse(form->MainStatusBar, QEvent::MouseMove, 10);
    EXPECT_EQ(form->MainStatusBar->cursor().shape(), Qt::PointingHandCursor);
    mouse(form->MainStatusBar, QEvent::MouseMove, 130);
    EXPECT_EQ(form->MainStatusBar->cursor().shape(), Qt::ArrowCursor);

    // Right of panel 0, or with another button, nothing opens.
    mouse(form->MainStatusBar, QEvent::MouseButtonPress, 130, Qt::LeftButton);
    mouse(form->MainStatusBar, QEvent::MouseButtonPress, 10, Qt::RightButton);
    EXPECT_FALSE(form->MainPopupMenu->isVisible());

    form->FCapturing = true;
    mouse(form->MainStatusBar, QEvent::MouseButtonPress, 10, Qt::LeftButton);
    EXPECT_FALSE(form->MainPopupMenu->isVisible());

    form->FCapturing = false;
    mouse(form->MainStatusBar, QEvent::MouseMove, 10);
    mouse(form->MainStatusBar, QEvent::MouseButtonPress, 10, Qt::LeftButton);
    ASSERT_TRUE(th::test::waitUntil([&] { return form->MainPopupMenu->isVisible(); }));
    EXPECT_EQ(form->MainStatusBar->cursor().shape(), Qt::ArrowCursor);
    // It opens upwards from the status bar's top-left corner.
    const QPoint corner = form->MainStatusBar->mapToGlobal(QPoint(0, 0));
    const QRect menu = form->MainPopupMenu->geometry();
    EXPECT_EQ(menu.left(), corner.x());
    EXPECT_LE(menu.bottom(), corner.y());
    form->MainPopupMenu->hide();
}

TEST_F(ShellTest, WebActionsOpenTheMakersPages)
{
    UrlCatcher catcher;
    form->FileWebHomeAction->trigger();
    form->FileWebTHHomeAction->trigger();
    form->FileWebSupportAction->trigger();
    ASSERT_EQ(catcher.urls.size(), 3);
    for (const QUrl& url : catcher.urls) {
        EXPECT_TRUE(url.isValid());
        EXPECT_EQ(url.host(), QStringLiteral("www.tolmar.example"));
    }
    EXPECT_NE(catcher.urls[0], catcher.urls[1]);
    EXPECT_NE(catcher.urls[1], catcher.urls[2]);
}

TEST_F(ShellTest, AboutAndPreferencesAreShownModally)
{
    DialogRecorder dialogs;
    form->SetAboutForm(new TAboutForm(form.get()));
    form->FileAboutAction->trigger();
    bool onFolderPage = true;
    dialogs.other = [&](QDialog& d) {
        if (auto* setup = qobject_cast<TSetupForm*>(&d))
            onFolderPage = setup->PreferListPageControl->currentWidget() == setup->CaptureFolderTab &&
                           setup->parent() == form.get();
        return int(QDialog::Rejected);
    };
    form->PreferencesAction->trigger();
    form->SetupCaptureFolderAction->trigger();
    EXPECT_EQ(dialogs.others,
              (QStringList{QStringLiteral("TAboutForm"), QStringLiteral("TSetupForm"), QStringLiteral("TSetupForm")}));
    EXPECT_TRUE(onFolderPage);
    // Each Preferences dialog is gone once it closed.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(form->findChildren<TSetupForm*>().isEmpty());
}

TEST_F(ShellTest, ExitClosesTheWindow)
{
    form->show();
    ASSERT_TRUE(form->isVisible());
    form->FileExit->trigger();
    EXPECT_FALSE(form->isVisible());
}

// --- Settings ---------------------------------------------------------------------------

TEST_F(ShellTest, VolumeIsReadAsNumberAndDamageGivesZero)
{
    const struct {
        const char* stored;
        int volume;
    } cases[] = {{"-2500", -2500}, {"0", 0}, {"loud", 0}, {"", 0}, {"-10000", -10000}, {"5", 0}, {"-10001", 0}};
    for (const auto& c : cases) {
        writeSz(QStringLiteral("Capture"), QStringLiteral("Volume"), QString::fromLatin1(c.stored));
        form->DVCapture->SetVolume(-7);
        form->LoadSettings();
        EXPECT_EQ(form->DVCapture->Volume(), c.volume) << c.stored;
        EXPECT_EQ(form->FProjectsFolder, projects);
    }
}

TEST_F(ShellTest, VolumeIsStoredOnEveryCloseQueryAlsoARefusedOne)
{
    openNewProject().SetCaptureJob(!form->FProject->CaptureJob); // changed, never saved
    form->show();
    form->DVCapture->SetVolume(-1200);
    {
        DialogRecorder dialogs(mrCancel);
        form->close();
        ASSERT_EQ(dialogs.messages.size(), 1u);
        EXPECT_EQ(dialogs.messages[0].text, QStringLiteral("Do you wish to save project Holiday?"));
    }
    EXPECT_TRUE(form->isVisible());
    ASSERT_NE(form->FProject, nullptr);
    EXPECT_EQ(form->windowTitle(), QStringLiteral("Tolmar TapeHarvest - Holiday"));
    EXPECT_EQ(readSz(QStringLiteral("Capture"), QStringLiteral("Volume")), QStringLiteral("-1200"));

    // No: nothing is written and the program may end.
    form->DVCapture->SetVolume(-300);
    DialogRecorder dialogs(mrNo);
    form->close();
    EXPECT_FALSE(form->isVisible());
    EXPECT_EQ(form->FProject, nullptr);
    EXPECT_FALSE(QFile::exists(projects + QStringLiteral("/Holiday/Holiday.thp")));
    EXPECT_EQ(readSz(QStringLiteral("Capture"), QStringLiteral("Volume")), QStringLiteral("-300"));
}

TEST_F(ShellTest, EmptyProjectsFolderAsksOnTheFolderPageAndKeepsItUnstored)
{
    writeSz(QStringLiteral("Projects"), QStringLiteral("ProjectsPath"), QString());
    form->FProjectsFolder.clear();
    DialogRecorder dialogs;
    QString proposed = QStringLiteral("<not asked>");
    dialogs.other = [&](QDialog& d) {
        auto* setup = qobject_cast<TSetupForm*>(&d);
        if (setup && setup->PreferListPageControl->currentWidget() == setup->CaptureFolderTab)
            proposed = form->FProjectsFolder;
        return int(QDialog::Rejected);
    };
    form->LoadSettings();
    ASSERT_EQ(dialogs.others, QStringList{QStringLiteral("TSetupForm")});
    // What the dialog proposed stays for this run; without a proposal the
    // folder in the home folder stands in.
    ASSERT_FALSE(form->FProjectsFolder.isEmpty());
    if (!proposed.isEmpty())
        EXPECT_EQ(form->FProjectsFolder, proposed);
    else
        EXPECT_EQ(form->FProjectsFolder, home + QStringLiteral("/TapeHarvest"));
    ASSERT_NE(form->ProjectFolderLabel, nullptr);
    EXPECT_EQ(form->ProjectFolderLabel->toolTip(), form->FProjectsFolder);
    // Not applied, so the next start asks again.
    EXPECT_EQ(readSz(QStringLiteral("Projects"), QStringLiteral("ProjectsPath")), QString());
}

TEST_F(ShellTest, ProjectsFolderGivenIsTakenAndShown)
{
    const QString other = dir.qpath() + QStringLiteral("/elsewhere/videos");
    form->SetProjectsFolder(other);
    EXPECT_EQ(form->FProjectsFolder, other);
    ASSERT_NE(form->ProjectFolderLabel, nullptr);
    EXPECT_EQ(form->ProjectFolderLabel->toolTip(), other);
    // The run's folder is not the stored one.
    EXPECT_EQ(readSz(QStringLiteral("Projects"), QStringLiteral("ProjectsPath")), projects);
}

// --- Caption, start-up, activation -------------------------------------------------------

TEST_F(ShellTest, CaptionNamesTheOpenProject)
{
    form->UpdateCaption();
    EXPECT_EQ(form->windowTitle(), QStringLiteral("Tolmar TapeHarvest"));
    openNewProject(QStringLiteral("Summer 2004"));
    EXPECT_EQ(form->windowTitle(), QStringLiteral("Tolmar TapeHarvest - Summer 2004"));
    form->FProject.reset();
    form->UpdateCaption();
    EXPECT_EQ(form->windowTitle(), QStringLiteral("Tolmar TapeHarvest"));
}

TEST_F(ShellTest, StartUpWithoutParameterEndsOnTheProjectsPage)
{
    for (const QStringList& params :
         {QStringList{QStringLiteral("tharvest")}, QStringList{QStringLiteral("tharvest"), QStringLiteral("   ")},
          QStringList{QStringLiteral("tharvest"), dir.qpath() + QStringLiteral("/missing.thp")}}) {
        auto window = std::make_unique<TMainForm>();
        SetParamsForTest(params);
        window->FormCreate();
        SetParamsForTest({});
        EXPECT_EQ(window->ActivePage(), window->ProjectsTab) << params.join(' ').toStdString();
        EXPECT_EQ(window->FProject, nullptr);
        EXPECT_EQ(window->FProjectsFolder, projects);
        EXPECT_EQ(window->MainHelpRouter->HelpFile(),
                  ChangeFileExt(QCoreApplication::applicationFilePath(), QStringLiteral(".rcc")));
        EXPECT_EQ(window->FormPlacement->IniSection(), QStringLiteral("Window"));
    }
}

TEST_F(ShellTest, StartUpWithAProjectFileOpensItOnTheJobsPage)
{
    auto saved = TTHProject::CreateNew(projects, QStringLiteral("Wedding"));
    saved->Save();
    const QString file = saved->FileName;
    saved.reset();

    // Given relative to the folder the program starts in, as a shell passes it.
    const QString started = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(projects));
    SetParamsForTest({QStringLiteral("tharvest"), QStringLiteral("Wedding/Wedding.thp")});
    form->FormCreate();
    SetParamsForTest({});
    ASSERT_TRUE(QDir::setCurrent(started));
    ASSERT_NE(form->FProject, nullptr);
    EXPECT_EQ(form->FProject->FileName, file);
    EXPECT_EQ(form->ActivePage(), form->JobsTab);
    EXPECT_EQ(form->windowTitle(), QStringLiteral("Tolmar TapeHarvest - Wedding"));
    EXPECT_TRUE(form->OpenProject->isChecked());
    EXPECT_TRUE(form->OpenProjectRadio->isChecked());
    // Stored by its full path, so a run started elsewhere keeps it.
    form->RefreshProjectList();
    ASSERT_EQ(form->ProjectsListBox->topLevelItemCount(), 1);
    EXPECT_EQ(form->ProjectsListBox->topLevelItem(0)->text(1), file);
}

TEST_F(ShellTest, ExceptionDuringStartUpIsShownAndEndsIt)
{
    const QString file = dir.qpath() + QStringLiteral("/damaged.thp");
    {
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("this is no project");
    }
    DialogRecorder dialogs;
    SetParamsForTest({QStringLiteral("tharvest"), file});
    form->Guarded([&] { form->FormCreate(); });
    SetParamsForTest({});
    ASSERT_EQ(dialogs.messages.size(), 1u);
    EXPECT_EQ(dialogs.messages[0].icon, QMessageBox::Critical);
    EXPECT_EQ(form->ActivePage(), form->ProjectsTab);
    EXPECT_EQ(form->FProject, nullptr);
}

// A damaged file of settings: Exit leaves it as it is; fresh settings keep
// it beside the new one, and the window made then works. Damaged
// registrations are set aside with a word and the writer made known again.
TEST_F(ShellTest, ADamagedRegistryIsSetAsideAtTheUsersWordAndTheWindowWorks)
{
    form.reset();
    const QByteArray garbage(8192, '\x5a');
    const QString settings = QString::fromStdString(th::registry::HiveFile(HKEY_CURRENT_USER));
    const QString classes = QString::fromStdString(th::registry::HiveFile(HKEY_CLASSES_ROOT));
    for (const QString& hive : {settings, classes}) {
        QFile f(hive);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(garbage);
    }
    const auto bytes = [](const QString& File) {
        QFile f(File);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    };
    const QString program = QString::fromStdString(th::test::binDir());
    {
        DialogRecorder exit(2);
        EXPECT_FALSE(PrepareRegistry(program));
        ASSERT_EQ(exit.messages.size(), 1u);
        EXPECT_TRUE(exit.messages[0].text.contains(settings + " is damaged")) << exit.messages[0].text.toStdString();
        EXPECT_EQ(bytes(settings), garbage) << "left as it was";
    }

    DialogRecorder fresh(1);
    ASSERT_TRUE(PrepareRegistry(program));
    ASSERT_EQ(fresh.messages.size(), 2u);
    EXPECT_TRUE(fresh.messages[1].text.startsWith("The registration of the AVI writer plugin cannot be read: "
                                                  "registry file " + classes + " is damaged"))
        << fresh.messages[1].text.toStdString();
    EXPECT_EQ(bytes(ChangeFileExt(settings, ".damaged.db")), garbage) << "kept";
    EXPECT_EQ(bytes(ChangeFileExt(classes, ".damaged.db")), garbage);
    TRegistry reg(KEY_READ);
    reg.SetRootKey(HKEY_CLASSES_ROOT);
    EXPECT_TRUE(reg.KeyExists(QStringLiteral("\\CLSID\\%1\\InprocServer32")
                                  .arg(QString::fromStdString(GuidToText(CLSID_TlmAVIWriter)))))
        << "the writer is registered again";

    // The window on fresh settings: the projects folder is asked for, the
    // first page has its header, and a new project can be made.
    form = std::make_unique<TMainForm>();
    form->FormCreate();
    EXPECT_EQ(fresh.others, QStringList{"TSetupForm"});
    EXPECT_EQ(form->ActivePage(), form->ProjectsTab);
    EXPECT_FALSE(form->TitleLabel->text().isEmpty());
    form->NewProjectEdit->setText(QStringLiteral("Fresh"));
    form->NextPage->trigger();
    EXPECT_EQ(form->ActivePage(), form->JobsTab);
    EXPECT_EQ(fresh.messages.size(), 2u);
}

TEST_F(ShellTest, ActivationShowsTheStartBalloonOnlyForAnEmptyStart)
{
    form->FormCreate();
    ASSERT_EQ(form->ActivePage(), form->ProjectsTab);
    form->FormActivate();
    ASSERT_TRUE(form->CaptureBalloonHint->Shown());
    EXPECT_EQ(form->CaptureBalloonHint->Title(), QStringLiteral("Start new project"));
    EXPECT_EQ(form->CaptureBalloonHint->Description(),
              QStringLiteral("Enter a new project name and press the Next button."));
    EXPECT_EQ(form->CaptureBalloonHint->Anchor(), form->NewProjectEdit);
    EXPECT_EQ(form->CaptureBalloonHint->HideAfterMs(), 10000);
    EXPECT_EQ(form->CaptureBalloonHint->Images(), &form->x16ImageList);
    form->CaptureBalloonHint->HideHint();

    // With a project open there is nothing to start.
    openNewProject();
    form->FormActivate();
    EXPECT_FALSE(form->CaptureBalloonHint->Shown());
    form->FProject.reset();

    // Nor with projects in the list.
    new QTreeWidgetItem(form->ProjectsListBox, QStringList{QStringLiteral("x"), QStringLiteral("y")});
    form->FormActivate();
    EXPECT_FALSE(form->CaptureBalloonHint->Shown());
}

// --- Exception handler ------------------------------------------------------------------

TEST_F(ShellTest, ExceptionSavesTheOpenProjectBeforeTheMessage)
{
    TTHProject& project = openNewProject();
    const QString file = project.DefaultFileName();
    ASSERT_TRUE(project.IsNew);
    DialogRecorder dialogs;
    bool savedFirst = false;
    dialogs.onMessage = [&] { savedFirst = QFile::exists(file) && !form->FProject->IsNew; };
    form->ApplicationEventsException(Exception(QStringLiteral("Something broke.")));
    ASSERT_EQ(dialogs.messages.size(), 1u);
    EXPECT_TRUE(savedFirst);
    EXPECT_EQ(dialogs.messages[0].text, QStringLiteral("Something broke."));
    EXPECT_EQ(dialogs.messages[0].icon, QMessageBox::Critical);
    EXPECT_EQ(form->FProject->FileName, file);
}

TEST_F(ShellTest, InformationExceptionIsShownAsInformation)
{
    DialogRecorder dialogs;
    form->ApplicationEventsException(ETlmTHInfo(QStringLiteral("You have to select a file name to capture.")));
    form->ApplicationEventsException(std::runtime_error("plain"));
    ASSERT_EQ(dialogs.messages.size(), 2u);
    EXPECT_EQ(dialogs.messages[0].icon, QMessageBox::Information);
    EXPECT_EQ(dialogs.messages[0].text, QStringLiteral("You have to select a file name to capture."));
    EXPECT_EQ(dialogs.messages[1].icon, QMessageBox::Critical);
    EXPECT_EQ(dialogs.messages[1].text, QStringLiteral("plain"));
}

TEST_F(ShellTest, ProjectThatCannotBeSavedStillLetsTheFirstMessageShow)
{
    TTHProject& project = openNewProject();
    // A file inside a plain file cannot be written.
    const QString blocker = dir.qpath() + QStringLiteral("/blocker");
    {
        QFile f(blocker);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }
    project.FileName = blocker + QStringLiteral("/Holiday.thp");
    DialogRecorder dialogs;
    form->ApplicationEventsException(Exception(QStringLiteral("First trouble.")));
    ASSERT_EQ(dialogs.messages.size(), 1u);
    EXPECT_EQ(dialogs.messages[0].text, QStringLiteral("First trouble."));
    EXPECT_TRUE(form->FProject->IsNew);
}

TEST_F(ShellTest, HandlerBoundToASignalShowsItsException)
{
    DialogRecorder dialogs;
    QAction probe;
    form->connect(&probe, &QAction::triggered, form.get(),
                  [&] { form->Guarded([] { throw ETlmTHInfo(QStringLiteral("Stopped here.")); }); });
    probe.trigger();
    ASSERT_EQ(dialogs.messages.size(), 1u);
    EXPECT_EQ(dialogs.messages[0].icon, QMessageBox::Information);
}

// --- System messages --------------------------------------------------------------------

TEST_F(ShellTest, ScreenSaverAndMonitorPowerAreSwallowedOnlyWhileCapturing)
{
    auto swallowed = [&](UINT msg, WPARAM wParam) {
        TMessage m{msg, wParam, 2, 0};
        return form->ApplicationEventsMessage(m);
    };
    EXPECT_FALSE(swallowed(WM_SYSCOMMAND, SC_SCREENSAVE));
    EXPECT_FALSE(swallowed(WM_SYSCOMMAND, SC_MONITORPOWER));
    form->FCapturing = true;
    EXPECT_TRUE(swallowed(WM_SYSCOMMAND, SC_SCREENSAVE));
    EXPECT_TRUE(swallowed(WM_SYSCOMMAND, SC_MONITORPOWER));
    // Exactly these two requests: the low bits of a system command carry no meaning here.
    EXPECT_FALSE(swallowed(WM_SYSCOMMAND, SC_SCREENSAVE + 1));
    EXPECT_FALSE(swallowed(WM_SYSCOMMAND, 0xF060)); // close
    EXPECT_FALSE(swallowed(WM_NULL, SC_SCREENSAVE));
    form->FCapturing = false;
}

// --- Help -------------------------------------------------------------------------------

TEST_F(ShellTest, HelpOpensTheTopicOfTheActivePage)
{
    std::vector<std::pair<QString, QString>> asked;
    THelpRouter::SetDisplayHook([&](const QString& f, const QString& t) { asked.emplace_back(f, t); });
    const QString file = ChangeFileExt(QCoreApplication::applicationFilePath(), QStringLiteral(".rcc"));
    const std::pair<QWidget*, const char*> pages[] = {
        {form->ProjectsTab, "htm/openproject.htm"}, {form->JobsTab, "htm/selecttask.htm"},
        {form->CaptureSetupTab, "htm/capturesetup.htm"}, {form->StartWorkTab, "htm/runntasks.htm"},
        {form->CaptureTab, "htm/capturerun.htm"}, {form->FinishTab, "htm/finishtask.htm"}};
    for (const auto& [p, topic] : pages) {
        asked.clear();
        form->PageControl->setCurrentWidget(p);
        form->HelpBtn->click();
        ASSERT_EQ(asked.size(), 1u) << topic;
        EXPECT_EQ(asked[0].first, file);
        EXPECT_EQ(asked[0].second, QString::fromLatin1(topic));
    }
    // The help file is the program's own path; other topics get ".htm".
    asked.clear();
    form->MainHelpRouter->SetHelpFile(QStringLiteral("/opt/x/tharvest.chm"));
    form->ShowHelpTopic(QStringLiteral("htm/deleteproject"));
    form->ShowHelpTopic(QStringLiteral("htm/other.HTM"));
    THelpRouter::SetDisplayHook({});
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_EQ(asked[0], std::make_pair(QStringLiteral("/opt/x/tharvest.rcc"), QStringLiteral("htm/deleteproject.htm")));
    EXPECT_EQ(asked[1].second, QStringLiteral("htm/other.HTM"));
}

#include "ShellTest.moc"
