// The Begin Work page: a one-sentence summary of the work the wizard is about
// to do, an estimate of its time and the choice to shut the PC down after it.
// The page keeps nothing: each showing rebuilds it from the project.
#include "app/Main.h"

#include <QCheckBox>
#include <QLabel>
#include <QStackedWidget>
#include <QVBoxLayout>

namespace {

QString Tc(TTimecode T)
{
    return QString::asprintf("%.2d:%.2d:%.2d:%.2d", int(T.Hours), int(T.Minutes), int(T.Seconds), int(T.Frames));
}

} // namespace

void TMainForm::CreateStartWorkPage()
{
    StartWorkTab = new QWidget;
    StartWorkTab->setObjectName(QStringLiteral("StartWorkTab"));
    PageControl->addWidget(StartWorkTab);

    ShutdownJob = NewAction(this, "ShutdownJob", QStringLiteral("Shutdown the PC after finished."),
                            QStringLiteral("Shutdown the PC after finished."));
    ShutdownJob->setProperty("category", QStringLiteral("Jobs"));
    ShutdownJob->setCheckable(true);
    Bind(ShutdownJob, &QAction::triggered, &TMainForm::ShutdownJobExecute);

    auto* layout = new QVBoxLayout(StartWorkTab);
    StartWorkTopTitleLabel = new QLabel(QStringLiteral("You have selected next tasks for TapeHarvest:"), StartWorkTab);
    StartWorkTopTitleLabel->setObjectName(QStringLiteral("StartWorkTopTitleLabel"));
    layout->addWidget(StartWorkTopTitleLabel);

    JobsListLabel = new QLabel(StartWorkTab);
    JobsListLabel->setObjectName(QStringLiteral("JobsListLabel"));
    QFont bold = JobsListLabel->font();
    bold.setBold(true);
    JobsListLabel->setFont(bold);
    JobsListLabel->setWordWrap(true);
    JobsListLabel->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    layout->addWidget(JobsListLabel);

    StartWorkTimeLabel = new QLabel(StartWorkTab);
    StartWorkTimeLabel->setObjectName(QStringLiteral("StartWorkTimeLabel"));
    StartWorkTimeLabel->setWordWrap(true);
    layout->addWidget(StartWorkTimeLabel);

    ShutdownJobCheckBox = new QCheckBox(StartWorkTab);
    ShutdownJobCheckBox->setObjectName(QStringLiteral("ShutdownJobCheckBox"));
    LinkAction(ShutdownJobCheckBox, ShutdownJob);
    layout->addWidget(ShutdownJobCheckBox);
    layout->addStretch(1);
}

void TMainForm::StartWorkTabShow()
{
    TitleLabel->setText(QStringLiteral("Ready to start work"));
    DescriptionLabel->setText(QStringLiteral(
        "Now TapeHarvest is configured and ready to start work. We are strongly recommend to close all other "
        "programms and do not use PC resources during TapeHarvest working. Click the Next button to start work."));
    JobsListLabel->setText(QString());
    if (!FProject)
        return;

    if (FProject->CaptureJob) {
        QString summary = QStringLiteral("\u2022 ");
        switch (FProject->TapeOption) {
        case toManual:
            summary += QStringLiteral("Manual capture from a DV device ");
            break;
        case toXtoN:
            summary += QStringLiteral("Capture ") +
                       QStringLiteral("from 00:00:00:00 to %1 ").arg(Tc(FProject->EndTime));
            break;
        case toNtoX:
            summary += QStringLiteral("Capture ") +
                       QStringLiteral("from %1 to the end of record ").arg(Tc(FProject->StartTime));
            break;
        case toBtoE:
            summary += QStringLiteral("Capture ") + QStringLiteral("whole tape from the begin to the end ");
            break;
        case toXtoX:
            summary += QStringLiteral("Capture ") +
                       QStringLiteral("from %1 to %2 ").arg(Tc(FProject->StartTime), Tc(FProject->EndTime));
            break;
        default:
            summary += QStringLiteral("Capture ");
            break;
        }
        summary += FProject->SplitFiles ? QStringLiteral("and write video to multiple files ")
                                        : QStringLiteral("and write video to the single file ");
        if (FProject->FileType == 0)
            summary += QStringLiteral("in the DV AVI type-1 format.");
        else if (FProject->FileType == 1)
            summary += QStringLiteral("in the DV AVI type-2 format.");
        JobsListLabel->setText(summary);
    }

    const std::int64_t seconds = FProject->TotalSeconds(DVCapture->FrameRate());
    if (seconds <= 0)
        StartWorkTimeLabel->setText(
            QStringLiteral("TapeHarvest cannot calculate the time needed to complete the project."));
    else
        StartWorkTimeLabel->setText(
            QStringLiteral("TapeHarvest can take approximately more than %1 to complete all selected tasks.")
                .arg(FormatDuration(1, seconds)));

    ShutdownJob->setEnabled(FProject->IsAutomatic());
    ShutdownJob->setChecked(FProject->Shutdown);
}

void TMainForm::ShutdownJobExecute()
{
    if (FProject)
        FProject->SetShutdown(ShutdownJobCheckBox->isChecked());
}
