#include "app/Main.h"

#include "app/About.h"
#include "app/Application.h"
#include "app/Dialogs.h"
#include "app/FormPlacement.h"
#include "app/HelpRouter.h"
#include "app/Preferences.h"
#include "platform/rtl/SysUtils.h"
#include "platform/rtl/TRegistry.h"
#include "platform/win/ScreenSaver.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QStackedWidget>
#include <QTabWidget>
#include <QStatusBar>
#include <QTimer>
#include <QTreeWidget>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>

namespace {

const QString kProgramKey = QStringLiteral("\\Software\\Tolmar\\TapeHarvest");
const QString kProgramTitle = QStringLiteral("Tolmar TapeHarvest");

// The maker's pages on the web.
const QString kHomePage = QStringLiteral("https://www.tolmar.example/");
const QString kProductPage = QStringLiteral("https://www.tolmar.example/tapeharvest/");
const QString kSupportPage = QStringLiteral("https://www.tolmar.example/support/");

// Volumes are hundredths of a decibel from silence up to full.
constexpr int kMinVolume = -10000;
constexpr int kMaxVolume = 0;

QAction* makeAction(TMainForm* form, const char* name, const QString& caption, const QString& hint = QString())
{
    // The window holds them, so that their shortcuts work on every page.
    QAction* action = NewAction(form, name, caption, hint);
    form->addAction(action);
    return action;
}

// A panel of the status bar, drawn by its owner. Mouse events pass through to
// the status bar, whose handlers test the position themselves.
class StatusPanel : public QWidget {
public:
    StatusPanel(QWidget* parent, const QString& name, int width, std::function<void(QPainter&, const QRect&)> draw)
        : QWidget(parent), draw_(std::move(draw))
    {
        setObjectName(name);
        setFixedWidth(width);
        setAttribute(Qt::WA_TransparentForMouseEvents);
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        if (!draw_)
            return;
        QPainter painter(this);
        draw_(painter, rect());
    }

private:
    std::function<void(QPainter&, const QRect&)> draw_;
};

} // namespace

TMainForm::TMainForm(QWidget* parent) : QMainWindow(parent), x16ImageList(16, 16), x32ImageList(32, 32)
{
    setObjectName(QStringLiteral("MainForm"));
    setMinimumSize(700, 550);

    DVCapture = new TTlmDVCapture(this);
    DVCapture->setObjectName(QStringLiteral("DVCapture"));
    // The preview fills a 180 x 144 window: decoding it at full size only
    // costs time. Nothing runs before a page asks for it.
    DVCapture->SetAutoStart(false);
    DVCapture->SetDVResolution(dvrQuarter);
    DVCapture->SetDVFrameRate(frFull);
    // Bound for the whole run; the page binds the others while it is entered.
    DVCapture->OnNewScene = [this](const QImage& Bitmap, BYTE Day, BYTE Month, BYTE Hour, BYTE Min, BYTE Sec,
                                   int Year) { DVCaptureNewScene(Bitmap, Day, Month, Hour, Min, Sec, Year); };
    DVCapture->OnNewCaptureFile = [this](QObject* Sender, const QString& AFileName) {
        DVCaptureNewCaptureFile(Sender, AFileName);
    };
    CaptureBalloonHint = new TBalloonHint(this);
    FPostTarget = new QObject(this);
    FormPlacement = new TFormPlacement(this);
    MainHelpRouter = new THelpRouter(this);

    CreateShellActions();
    CreateFrame();
    CreateProjectsPage();
    CreateJobsPage();
    CreateCaptureSetupPage();
    CreateStartWorkPage();
    CreateCapturePage();
    CreateFinishPage();
    FWizardPages = WizardPages();
    UpdateCaption();
    // Every page fits this size; with larger fonts the fullest one scrolls.
    setMinimumSize(700, 550);
}

TMainForm::~TMainForm()
{
    // Take the graph down first: once the component is inactive no streaming
    // thread calls back, and the handlers can go without a race.
    try {
        DVCapture->SetAutoStart(false);
        DVCapture->SetActive(false);
    } catch (const std::exception&) {
        // The graph is freed with the component in any case.
    }
    DVCapture->OnCaptureProgress = nullptr;
    DVCapture->OnNewScene = nullptr;
    DVCapture->OnNewCaptureFile = nullptr;
    DVCapture->OnDeviceLost = nullptr;
    std::lock_guard lock(FPostedLock);
    FPosted.clear();
}

void TMainForm::CreateShellActions()
{
    // Image indexes the pages rely on: x16 0 a project, 1 the program; x32 0
    // a project, 1 a warning.
    x16ImageList.AddStandard(QStringLiteral("folder-videos"), QColor(0x3c, 0x7d, 0xd9));
    x16ImageList.AddStandard(QStringLiteral("camera-video"), QColor(0xd9, 0x6c, 0x1c));
    x32ImageList.AddStandard(QStringLiteral("folder-videos"), QColor(0x3c, 0x7d, 0xd9));
    x32ImageList.AddStandard(QStringLiteral("dialog-warning"), QColor(0xe0, 0xb0, 0x10));

    ShowMenuAction = makeAction(this, "ShowMenuAction", QStringLiteral("ShowMenuAction"));
    Bind(ShowMenuAction, &QAction::triggered, &TMainForm::ShowMenuActionExecute);
    FileWebHomeAction = makeAction(this, "FileWebHomeAction", QStringLiteral("Tolmar Home Page"),
                                   QStringLiteral("Go to the Tolmar Home Page"));
    Bind(FileWebHomeAction, &QAction::triggered, &TMainForm::FileWebHomeActionExecute);
    FileWebTHHomeAction = makeAction(this, "FileWebTHHomeAction", QStringLiteral("Tolmar TapeHarvest Home Page"),
                                     QStringLiteral("Go to the Tolmar TapeHarvest Home Page"));
    Bind(FileWebTHHomeAction, &QAction::triggered, &TMainForm::FileWebTHHomeActionExecute);
    FileWebSupportAction = makeAction(this, "FileWebSupportAction", QStringLiteral("Technical Support"),
                                      QStringLiteral("Tolmar Technical Support Home Page"));
    Bind(FileWebSupportAction, &QAction::triggered, &TMainForm::FileWebSupportActionExecute);
    FileAboutAction = makeAction(this, "FileAboutAction", QStringLiteral("About Tolmar TapeHarvest"),
                                 QStringLiteral("About Tolmar TapeHarvest"));
    Bind(FileAboutAction, &QAction::triggered, &TMainForm::FileAboutActionExecute);
    PreferencesAction = makeAction(this, "PreferencesAction", QStringLiteral("Preferences"),
                                   QStringLiteral("Application Preferences"));
    Bind(PreferencesAction, &QAction::triggered, &TMainForm::PreferencesActionExecute);
    SetupCaptureFolderAction = makeAction(this, "SetupCaptureFolderAction", QStringLiteral("Setup Capture Folder"));
    Bind(SetupCaptureFolderAction, &QAction::triggered, &TMainForm::SetupCaptureFolderActionExecute);
    HelpPageJumpAction = makeAction(this, "HelpPageJumpAction", QStringLiteral("&Help"));
    HelpPageJumpAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_F1));
    Bind(HelpPageJumpAction, &QAction::triggered, &TMainForm::HelpPageJumpActionExecute);
    // Holds F1 for the menu's sake and stays disabled.
    HelpContents = makeAction(this, "HelpContents", QStringLiteral("&Help"), QStringLiteral("Help Contents"));
    HelpContents->setShortcut(QKeySequence(Qt::Key_F1));
    HelpContents->setEnabled(false);
    FileExit = makeAction(this, "FileExit", QStringLiteral("E&xit"), QStringLiteral("Exit|Quits the application"));
    connect(FileExit, &QAction::triggered, this, [this] { close(); });

    // The wizard's navigation exists before any page is made, since pages
    // bind to it.
    NextPage = makeAction(this, "NextPage", QStringLiteral("&Next >"), QStringLiteral("Next|Go to the next step"));
    Bind(NextPage, &QAction::triggered, &TMainForm::NextPageExecute);
    PreviosPage = makeAction(this, "PreviosPage", QStringLiteral("< &Previous"),
                             QStringLiteral("Previous|Go back to the previous step"));
    Bind(PreviosPage, &QAction::triggered, &TMainForm::PreviosPageExecute);
    NewProjectPage = makeAction(this, "NewProjectPage", QStringLiteral("&New Project"),
                                QStringLiteral("Open or create a new project."));
    Bind(NewProjectPage, &QAction::triggered, &TMainForm::NewProjectPageExecute);
}

void TMainForm::CreateFrame()
{
    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);
    layout->setContentsMargins(0, 0, 0, 0);

    auto* top = new QWidget(central);
    top->setObjectName(QStringLiteral("TopPanel"));
    auto* topLayout = new QHBoxLayout(top);
    auto* titles = new QVBoxLayout;
    TitleLabel = new QLabel(top);
    TitleLabel->setObjectName(QStringLiteral("TitleLabel"));
    QFont bold = TitleLabel->font();
    bold.setBold(true);
    TitleLabel->setFont(bold);
    DescriptionLabel = new QLabel(top);
    DescriptionLabel->setObjectName(QStringLiteral("DescriptionLabel"));
    DescriptionLabel->setWordWrap(true);
    titles->addWidget(TitleLabel);
    titles->addWidget(DescriptionLabel);
    topLayout->addLayout(titles, 1);
    LogoImage = new QLabel(top);
    LogoImage->setObjectName(QStringLiteral("LogoImage"));
    LogoImage->setFixedSize(48, 48);
    {
        TImageList logo(48, 48);
        logo.AddStandard(QStringLiteral("camera-video"), QColor(0xd9, 0x6c, 0x1c));
        LogoImage->setPixmap(logo.Image(0));
    }
    topLayout->addWidget(LogoImage, 0, Qt::AlignTop);
    layout->addWidget(top);

    PageControl = new QStackedWidget(central);
    PageControl->setObjectName(QStringLiteral("PageControl"));
    layout->addWidget(PageControl, 1);

    auto* bottom = new QWidget(central);
    bottom->setObjectName(QStringLiteral("BottomPanel"));
    auto* bottomLayout = new QHBoxLayout(bottom);
    MainStatusBar = new QStatusBar(bottom);
    MainStatusBar->setObjectName(QStringLiteral("MainStatusBar"));
    MainStatusBar->setSizeGripEnabled(false);
    MainStatusBar->setMouseTracking(true);
    MainStatusBar->installEventFilter(this);
    auto* panel0 = new StatusPanel(MainStatusBar, QStringLiteral("MainStatusBarPanel0"), 120,
                                   [this](QPainter& painter, const QRect& rect) {
                                       const int th = painter.fontMetrics().height();
                                       const int iconWidth = x16ImageList.Width();
                                       const int iconHeight = x16ImageList.Height();
                                       const int h = std::max(th, iconHeight);
                                       const int y = (rect.bottom() + 1 - rect.top()) / 2 + rect.top() - h / 2;
                                       painter.drawPixmap(y, y, x16ImageList.Image(1));
                                       const int tx = y + 3 + iconWidth;
                                       const int ty = y + iconHeight / 2 - th / 2;
                                       painter.drawText(QRect(tx, ty, std::max(0, rect.width() - tx), th),
                                                        Qt::AlignLeft | Qt::AlignTop, QStringLiteral("TapeHarvest"));
                                   });
    MainStatusBar->addWidget(panel0);
    MainStatusBar->addWidget(new StatusPanel(MainStatusBar, QStringLiteral("MainStatusBarPanel1"), 50, nullptr));
    bottomLayout->addWidget(MainStatusBar, 1);
    PrevBtn = new QPushButton(QStringLiteral("< &Previous"), bottom);
    PrevBtn->setObjectName(QStringLiteral("PrevBtn"));
    NextBtn = new QPushButton(QStringLiteral("&Next >"), bottom);
    NextBtn->setObjectName(QStringLiteral("NextBtn"));
    HelpBtn = new QPushButton(QStringLiteral("&Help"), bottom);
    HelpBtn->setObjectName(QStringLiteral("HelpBtn"));
    LinkAction(PrevBtn, PreviosPage);
    LinkAction(NextBtn, NextPage);
    LinkAction(HelpBtn, HelpPageJumpAction);
    bottomLayout->addWidget(PrevBtn);
    bottomLayout->addWidget(NextBtn);
    bottomLayout->addWidget(HelpBtn);
    layout->addWidget(bottom);

    setCentralWidget(central);

    MainPopupMenu = new QMenu(this);
    MainPopupMenu->setObjectName(QStringLiteral("MainPopupMenu"));
    MainPopupMenu->addAction(PreferencesAction);
    MainPopupMenu->addSeparator();
    MainPopupMenu->addAction(HelpContents);
    QMenu* web = MainPopupMenu->addMenu(QStringLiteral("Tolmar on the Web"));
    web->setObjectName(QStringLiteral("WebMenu"));
    web->addAction(FileWebHomeAction);
    web->addAction(FileWebTHHomeAction);
    web->addAction(FileWebSupportAction);
    MainPopupMenu->addAction(FileAboutAction);
    MainPopupMenu->addSeparator();
    MainPopupMenu->addAction(FileExit);
}

void TMainForm::Guarded(const std::function<void()>& Handler)
{
    try {
        Handler();
    } catch (const std::exception& e) {
        ApplicationEventsException(e);
    } catch (...) {
        ApplicationEventsException(Exception(QStringLiteral("Unknown exception")));
    }
}

// --- Hand-over from streaming threads ---------------------------------------------------

namespace {

std::mutex& HandOverLock()
{
    static std::mutex lock;
    return lock;
}

} // namespace

void TMainForm::PostToMain(std::function<void()> Work)
{
    // The lock is held while the call is queued and taken again before the
    // call reads anything: Qt's queue orders the call for real, but its own
    // lock is invisible to ThreadSanitizer. One queued call carries every
    // piece of work posted until it runs. The call goes to an object of its
    // own, so that no event filter on the window reads it on the way.
    std::lock_guard lock(FPostedLock);
    FPosted.push_back(std::move(Work));
    if (FDeliveryQueued)
        return;
    FDeliveryQueued = true;
    std::lock_guard queued(HandOverLock());
    QMetaObject::invokeMethod(
        FPostTarget,
        [this] {
            // Taken before the call reads what it carries (its own capture too).
            { std::lock_guard delivered(HandOverLock()); }
            DeliverPosted();
        },
        Qt::QueuedConnection);
}

void TMainForm::DeliverPosted()
{
    std::vector<std::function<void()>> work;
    {
        std::lock_guard lock(FPostedLock);
        work.swap(FPosted);
        FDeliveryQueued = false;
    }
    for (auto& w : work)
        w();
}

void TMainForm::closeEvent(QCloseEvent* event)
{
    bool canClose = true;
    // An exception in the close query refuses the close, as it ends the query.
    try {
        FormCloseQuery(canClose);
    } catch (const std::exception& e) {
        canClose = false;
        ApplicationEventsException(e);
    }
    if (!canClose) {
        event->ignore();
        return;
    }
    Guarded([this] { FormPlacement->SaveFormPlacement(); });
    event->accept();
}

void TMainForm::changeEvent(QEvent* event)
{
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && isActiveWindow())
        Guarded([this] { FormActivate(); });
}

bool TMainForm::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == MainStatusBar) {
        // Panel 0 is the status bar's menu button.
        const int panelWidth = 120;
        if (event->type() == QEvent::MouseMove) {
            const auto* me = static_cast<QMouseEvent*>(event);
            MainStatusBar->setCursor(me->position().x() < panelWidth ? Qt::PointingHandCursor : Qt::ArrowCursor);
        } else if (event->type() == QEvent::MouseButtonPress) {
            const auto* me = static_cast<QMouseEvent*>(event);
            if (me->button() == Qt::LeftButton && me->position().x() < panelWidth) {
                Guarded([this] { ShowMenuActionExecute(); });
                MainStatusBar->setCursor(Qt::ArrowCursor);
            }
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

// --- Shell ------------------------------------------------------------------------------

void TMainForm::FormCreate()
{
    QString help = ChangeFileExt(QCoreApplication::applicationFilePath(), QStringLiteral(".rcc"));
    // Installed, the help file lies in the data folder beside bin/.
    const QString installed = QCoreApplication::applicationDirPath() + QStringLiteral("/../share/tharvest/tharvest.rcc");
    if (!FileExists(help) && FileExists(installed))
        help = QDir::cleanPath(installed);
    MainHelpRouter->SetHelpFile(help);
    FormPlacement->SetIniFileName(kProgramKey);
    FormPlacement->SetIniSection(QStringLiteral("Window"));
    LoadSettings();
    GoToPage(ProjectsTab);
    const QString given = ParamStr(1);
    if (!Trim(given).isEmpty() && FileExists(given)) {
        // Listed by its full path: a path relative to where this run started
        // would name another file, or none, in the next run.
        const QString param = QFileInfo(given).absoluteFilePath();
        RegisterProjectFile(param);
        // The radio follows its action.
        if (OpenProject && !OpenProject->isChecked()) {
            OpenProject->setChecked(true);
            NewProjectExecute();
        }
        LoadProject(param);
        GoToPage(JobsTab);
    }
    RefreshProjectList();
}

void TMainForm::FormActivate()
{
    if (FProject || ActivePage() != ProjectsTab || !NewProjectEdit)
        return;
    if (ProjectsListBox && ProjectsListBox->topLevelItemCount() > 0)
        return;
    ProcessMessages();
    CaptureBalloonHint->SetImages(&x16ImageList);
    CaptureBalloonHint->ShowHint(NewProjectEdit, 0, QStringLiteral("Start new project"),
                                 QStringLiteral("Enter a new project name and press the Next button."), 10000);
}

void TMainForm::FormCloseQuery(bool& CanClose)
{
    SaveSettings();
    // The deck is stopped where it winds; the page stays usable should the
    // close be refused.
    if (FTapeWait != TTapeWait::None)
        EndTapeWait();
    if (FCapturing)
        StopCapture(false);
    if (!CloseProject())
        CanClose = false;
}

void TMainForm::LoadSettings()
{
    TRegIniFile ini(kProgramKey);
    SetProjectsFolder(ini.ReadString(QStringLiteral("Projects"), QStringLiteral("ProjectsPath"), QString()));
    int volume = ini.ReadInteger(QStringLiteral("Capture"), QStringLiteral("Volume"), 0);
    // A number the audio renderer would refuse is damage, read as the default.
    if (volume < kMinVolume || volume > kMaxVolume)
        volume = 0;
    DVCapture->SetVolume(volume);
}

void TMainForm::SaveSettings()
{
    TRegIniFile ini(kProgramKey);
    ini.WriteInteger(QStringLiteral("Capture"), QStringLiteral("Volume"), DVCapture->Volume());
}

void TMainForm::SetProjectsFolder(const QString& Folder)
{
    if (!Folder.isEmpty()) {
        FProjectsFolder = Folder;
    } else {
        // The dialog proposes a folder and writes it here as soon as it opens.
        SetupCaptureFolderActionExecute();
        if (FProjectsFolder.isEmpty())
            FProjectsFolder = QDir::homePath() + QStringLiteral("/TapeHarvest");
    }
    ShowProjectsFolder();
}

void TMainForm::ShowProjectsFolder()
{
    if (ProjectFolderLabel)
        ShowShortenedPath(ProjectFolderLabel, FProjectsFolder);
}

void TMainForm::UpdateCaption()
{
    setWindowTitle(FProject ? kProgramTitle + QStringLiteral(" - ") + FProject->Name : kProgramTitle);
}

void TMainForm::ShowHelpTopic(const QString& Topic)
{
    MainHelpRouter->ShowTopic(Topic);
}

bool TMainForm::ApplicationEventsMessage(TMessage& Msg)
{
    return Msg.Msg == WM_SYSCOMMAND && (Msg.WParam == SC_SCREENSAVE || Msg.WParam == SC_MONITORPOWER) && FCapturing;
}

void TMainForm::ApplicationEventsException(const std::exception& E)
{
    if (FProject) {
        // The message is what the user must see; a project that cannot be
        // saved now does not take its place.
        try {
            FProject->Save();
        } catch (const std::exception& saveError) {
            qWarning("The project could not be saved: %s", saveError.what());
        } catch (...) {
        }
    }
    const auto* exception = dynamic_cast<const Exception*>(&E);
    const QString message = exception ? exception->Message() : QString::fromLocal8Bit(E.what());
    const bool info = dynamic_cast<const ETlmTHInfo*>(&E) != nullptr;
    MessageDlg(message, info ? TMsgDlgType::mtInformation : TMsgDlgType::mtError, {TMsgDlgBtn::mbOK},
               TMsgDlgBtn::mbOK);
}

void TMainForm::ShowMenuActionExecute()
{
    if (FCapturing)
        return;
    // The menu opens upwards from the status bar's top-left corner.
    const QPoint corner = MainStatusBar->mapToGlobal(QPoint(0, 0));
    MainPopupMenu->popup(QPoint(corner.x(), corner.y() - MainPopupMenu->sizeHint().height()));
}

void TMainForm::FileWebHomeActionExecute()
{
    QDesktopServices::openUrl(QUrl(kHomePage));
}

void TMainForm::FileWebTHHomeActionExecute()
{
    QDesktopServices::openUrl(QUrl(kProductPage));
}

void TMainForm::FileWebSupportActionExecute()
{
    QDesktopServices::openUrl(QUrl(kSupportPage));
}

void TMainForm::FileAboutActionExecute()
{
    if (AboutForm)
        ExecModal(*AboutForm);
}

namespace {

// The Preferences dialog, made for one showing; it frees itself when it
// closes, and whatever is left of it goes here.
void runSetupForm(TMainForm* form, bool folderPage)
{
    QPointer<TSetupForm> dialog = new TSetupForm(form);
    if (folderPage)
        dialog->PreferListPageControl->setCurrentWidget(dialog->CaptureFolderTab);
    struct Cleanup {
        QPointer<TSetupForm>& d;
        ~Cleanup() { delete d.data(); }
    } cleanup{dialog};
    ExecModal(*dialog);
}

} // namespace

void TMainForm::PreferencesActionExecute()
{
    runSetupForm(this, false);
}

void TMainForm::SetupCaptureFolderActionExecute()
{
    runSetupForm(this, true);
}

void TMainForm::HelpPageJumpActionExecute()
{
    const QString keyword = HelpKeyword(ActivePage());
    if (!keyword.isEmpty())
        ShowHelpTopic(keyword);
}
