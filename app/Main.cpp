#include "app/Main.h"

#include "app/Dialogs.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QStackedWidget>
#include <QStatusBar>
#include <QTimer>
#include <QVBoxLayout>

TMainForm::TMainForm(QWidget* parent) : QMainWindow(parent), x16ImageList(16, 16), x32ImageList(32, 32)
{
    setObjectName(QStringLiteral("MainForm"));
    setMinimumSize(700, 550);

    DVCapture = new TTlmDVCapture(this);
    DVCapture->setObjectName(QStringLiteral("DVCapture"));
    // Bound for the whole run; the page binds the others while it is entered.
    DVCapture->OnNewScene = [this](const QImage& Bitmap, BYTE Day, BYTE Month, BYTE Hour, BYTE Min, BYTE Sec,
                                   int Year) { DVCaptureNewScene(Bitmap, Day, Month, Hour, Min, Sec, Year); };
    DVCapture->OnNewCaptureFile = [this](QObject* Sender, const QString& AFileName) {
        DVCaptureNewCaptureFile(Sender, AFileName);
    };
    CaptureBalloonHint = new TBalloonHint(this);

    CreateShellActions();
    CreateFrame();
    CreateProjectsPage();
    CreateJobsPage();
    CreateCaptureSetupPage();
    CreateStartWorkPage();
    CreateCapturePage();
    CreateFinishPage();
}

TMainForm::~TMainForm()
{
    // The capture component may still call back while it takes its graph down.
    DVCapture->OnCaptureProgress = nullptr;
    DVCapture->OnNewScene = nullptr;
    DVCapture->OnNewCaptureFile = nullptr;
    DVCapture->OnDeviceLost = nullptr;
    std::lock_guard lock(FPostedLock);
    FPosted.clear();
}

void TMainForm::CreateShellActions()
{
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
    bottomLayout->addWidget(MainStatusBar, 1);
    PrevBtn = new QPushButton(QStringLiteral("< &Previous"), bottom);
    PrevBtn->setObjectName(QStringLiteral("PrevBtn"));
    NextBtn = new QPushButton(QStringLiteral("&Next >"), bottom);
    NextBtn->setObjectName(QStringLiteral("NextBtn"));
    HelpBtn = new QPushButton(QStringLiteral("&Help"), bottom);
    HelpBtn->setObjectName(QStringLiteral("HelpBtn"));
    bottomLayout->addWidget(PrevBtn);
    bottomLayout->addWidget(NextBtn);
    bottomLayout->addWidget(HelpBtn);
    layout->addWidget(bottom);

    setCentralWidget(central);
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

void TMainForm::PostToMain(std::function<void()> Work)
{
    bool queue = false;
    {
        std::lock_guard lock(FPostedLock);
        FPosted.push_back(std::move(Work));
        queue = !FDeliveryQueued;
        FDeliveryQueued = true;
    }
    // One queued call carries every piece of work posted until it runs.
    if (queue)
        QMetaObject::invokeMethod(this, [this] { DeliverPosted(); }, Qt::QueuedConnection);
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
    FormCloseQuery(canClose);
    if (canClose)
        event->accept();
    else
        event->ignore();
}

void TMainForm::changeEvent(QEvent* event)
{
    QMainWindow::changeEvent(event);
}

bool TMainForm::eventFilter(QObject* watched, QEvent* event)
{
    return QMainWindow::eventFilter(watched, event);
}

// --- Shell ------------------------------------------------------------------------------

void TMainForm::FormCreate()
{
}

void TMainForm::FormActivate()
{
}

void TMainForm::FormCloseQuery(bool& CanClose)
{
}

void TMainForm::LoadSettings()
{
}

void TMainForm::SaveSettings()
{
}

void TMainForm::SetProjectsFolder(const QString& Folder)
{
}

void TMainForm::ShowProjectsFolder()
{
}

void TMainForm::UpdateCaption()
{
}

void TMainForm::ShowHelpTopic(const QString& Topic)
{
}

bool TMainForm::ApplicationEventsMessage(TMessage& Msg)
{
    return false;
}

void TMainForm::ApplicationEventsException(const std::exception& E)
{
}

void TMainForm::ShowMenuActionExecute()
{
}

void TMainForm::FileWebHomeActionExecute()
{
}

void TMainForm::FileWebTHHomeActionExecute()
{
}

void TMainForm::FileWebSupportActionExecute()
{
}

void TMainForm::FileAboutActionExecute()
{
}

void TMainForm::PreferencesActionExecute()
{
}

void TMainForm::SetupCaptureFolderActionExecute()
{
}

void TMainForm::HelpPageJumpActionExecute()
{
}
