#include "app/Main.h"

#include "app/Controls.h"
#include "capture/TlmUtil.h"
#include "platform/rtl/SysUtils.h"
#include "platform/win/Shutdown.h"

#include <QAction>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QStackedWidget>
#include <QTimer>
#include <QVBoxLayout>

namespace {

constexpr int kShutdownCountdownMs = 60000;
constexpr int kShutdownTickMs = 1000;

} // namespace

void TMainForm::CreateFinishPage()
{
    FinishTab = new QWidget;
    FinishTab->setObjectName(QStringLiteral("FinishTab"));
    PageControl->addWidget(FinishTab);

    auto* layout = new QVBoxLayout(FinishTab);

    ResultLabel = new QLabel(FinishTab);
    ResultLabel->setObjectName(QStringLiteral("ResultLabel"));
    QFont bold = ResultLabel->font();
    bold.setBold(true);
    ResultLabel->setFont(bold);
    ResultLabel->setWordWrap(true);
    // The report is text the program wrote, never markup.
    ResultLabel->setTextFormat(Qt::PlainText);
    ResultLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    layout->addWidget(ResultLabel, 1);

    ShutdownGroupBox = new QGroupBox(QStringLiteral("Shutdown the PC"), FinishTab);
    ShutdownGroupBox->setObjectName(QStringLiteral("ShutdownGroupBox"));
    auto* boxLayout = new QVBoxLayout(ShutdownGroupBox);

    ShutdownTitleLabel = new QLabel(
        QStringLiteral("TapeHarvest will shutdown the PC in 1 minute. To abort click the Cancel Shutdown button."),
        ShutdownGroupBox);
    ShutdownTitleLabel->setObjectName(QStringLiteral("ShutdownTitleLabel"));
    ShutdownTitleLabel->setAlignment(Qt::AlignCenter);
    ShutdownTitleLabel->setWordWrap(true);
    boxLayout->addWidget(ShutdownTitleLabel);

    ShutdownProgressBar = new QProgressBar(ShutdownGroupBox);
    ShutdownProgressBar->setObjectName(QStringLiteral("ShutdownProgressBar"));
    ShutdownProgressBar->setRange(0, kShutdownCountdownMs);
    ShutdownProgressBar->setValue(0);
    ShutdownProgressBar->setTextVisible(false);
    boxLayout->addWidget(ShutdownProgressBar);

    CancelShutDown = NewAction(this, "CancelShutDown", QStringLiteral("Cancel Shutdown"));
    Bind(CancelShutDown, &QAction::triggered, &TMainForm::CancelShutDownExecute);

    CancelShutdownBtn = new QPushButton(ShutdownGroupBox);
    CancelShutdownBtn->setObjectName(QStringLiteral("CancelShutdownBtn"));
    LinkAction(CancelShutdownBtn, CancelShutDown);
    auto* buttonRow = new QHBoxLayout;
    buttonRow->addStretch(1);
    buttonRow->addWidget(CancelShutdownBtn);
    buttonRow->addStretch(1);
    boxLayout->addLayout(buttonRow);

    layout->addWidget(ShutdownGroupBox);

    ShutDownTimer = new QTimer(this);
    ShutDownTimer->setObjectName(QStringLiteral("ShutDownTimer"));
    ShutDownTimer->setInterval(kShutdownTickMs);
    Bind(ShutDownTimer, &QTimer::timeout, &TMainForm::ShutDownTimerTimer);

    // Disarmed until a project with the shutdown choice shows the page.
    ShutdownTitleLabel->setEnabled(false);
    ShutdownProgressBar->setEnabled(false);
    CancelShutDown->setEnabled(false);
}

void TMainForm::FinishTabShow()
{
    TitleLabel->setText(QStringLiteral("Finish"));
    DescriptionLabel->setText(QStringLiteral(
        "TapeHarvest finished all tasks and ready to start a new project or exit. To start a new project click "
        "the New Project button or click the Exit button to leave the application."));

    if (FProject) {
        QString text;
        for (const QString& line : FProject->Report)
            text += line + QLatin1Char('\n');
        ResultLabel->setText(Trim(text).isEmpty() ? QStringLiteral("TapeHarvest did nothing.") : text);
    }

    ArmShutdown();

    // A long capture may have left other programs in front of the window.
    raise();
    activateWindow();
}

void TMainForm::ArmShutdown()
{
    if (!FProject)
        return;
    ShutdownTitleLabel->setEnabled(FProject->ShutdownChoice);
    const bool armed = ShutdownTitleLabel->isEnabled();
    ShutdownProgressBar->setEnabled(armed);
    CancelShutDown->setEnabled(armed);
    CancelShutdownBtn->setEnabled(armed);
    // Showing the page again while counting keeps the count going where it is.
    if (!armed)
        ShutDownTimer->stop();
    else if (!ShutDownTimer->isActive())
        ShutDownTimer->start();
}

void TMainForm::ShutDownTimerTimer()
{
    const int interval = ShutDownTimer->interval();
    ShutdownProgressBar->setValue(ShutdownProgressBar->value() + interval);
    if (ShutdownProgressBar->value() + interval > ShutdownProgressBar->maximum()) {
        CancelShutDownExecute();
        ShutDownPC();
    }
}

void TMainForm::CancelShutDownExecute()
{
    if (FProject)
        FProject->SetShutdown(false);
    ShutDownTimer->stop();
    ShutdownProgressBar->setValue(0);
    ArmShutdown();
}

void TMainForm::ShutDownPC()
{
    // Saved with the shutdown flag already cleared, so that opening the
    // project again does not switch the machine off a second time. A failed
    // save raises here, before anything is closed.
    if (FProject)
        FProject->Save();
    close();
    ShutdownWindows(EWX_SHUTDOWN);
}

void TMainForm::LeaveFinishPage()
{
    CancelShutDownExecute();
}
