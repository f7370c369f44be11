// The Finish page: the report, the one-minute countdown and the shutdown it
// ends in. The countdown is driven tick by tick; the machine is asked through
// a recording backend, never for real.
#include "platform/win/Shutdown.h"
#include "support/WizardFixture.h"

#include <QAction>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTimer>

#include <QCheckBox>
#include <QStackedWidget>

#include <gtest/gtest.h>

namespace {

class RecordingBackend final : public th::win::ShutdownBackend {
public:
    explicit RecordingBackend(QStringList& Log) : log(Log) {}
    bool canPowerOff() override
    {
        log << QStringLiteral("canPowerOff");
        return true;
    }
    bool powerOff() override
    {
        log << QStringLiteral("powerOff");
        return true;
    }

private:
    QStringList& log;
};

// Notes the window's close in the log, with what the project file held then.
class CloseWatcher final : public QObject {
public:
    CloseWatcher(QStringList& Log, QString& FileName) : log(Log), fileName(FileName) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Close) {
            QString entry = QStringLiteral("close");
            if (!fileName.isEmpty()) {
                auto saved = TTHProject::CreateFromFile(fileName);
                entry += saved->Shutdown ? QStringLiteral(" saved-with-shutdown") : QStringLiteral(" saved-without-shutdown");
            }
            log << entry;
        }
        return false;
    }

private:
    QStringList& log;
    QString& fileName;
};

class FinishPage : public wizard_test::WizardFixture {
protected:
    void SetUp() override
    {
        WizardFixture::SetUp();
        th::win::SetShutdownBackend(std::make_unique<RecordingBackend>(log));
        // Any question the shell or the project list asks is answered No.
        dialogs = std::make_unique<wizard_test::DialogRecorder>(mrNo);
        dialogs->onMessage = [this] { log << QStringLiteral("dialog"); };
        dialogs->other = [this](QDialog&) -> int {
            log << QStringLiteral("dialog");
            return mrNo;
        };
        makeForm();
        // The tests tick by hand; the running timer only shows that it is
        // armed, and a real tick while events are processed would count twice.
        form->ShutDownTimer->blockSignals(true);
        watcher = std::make_unique<CloseWatcher>(log, savedFile);
        form->installEventFilter(watcher.get());
    }

    // The window goes while its questions are still answered.
    void TearDown() override
    {
        form.reset();
        dialogs.reset();
        WizardFixture::TearDown();
        th::win::SetShutdownBackend(nullptr);
    }

    TTHProject& OpenProject(bool ShutdownChoice)
    {
        form->FProject = TTHProject::CreateNew(dir.qpath(), QStringLiteral("Tape"));
        form->FProject->SetShutdown(ShutdownChoice);
        return *form->FProject;
    }

    bool Armed() const
    {
        return form->ShutdownTitleLabel->isEnabled() && form->ShutdownProgressBar->isEnabled() &&
               form->CancelShutdownBtn->isEnabled() && form->ShutDownTimer->isActive();
    }
    bool Disarmed() const
    {
        return !form->ShutdownTitleLabel->isEnabled() && !form->ShutdownProgressBar->isEnabled() &&
               !form->CancelShutdownBtn->isEnabled() && !form->ShutDownTimer->isActive() &&
               form->ShutdownProgressBar->value() == 0;
    }

    void Tick(int Times)
    {
        for (int i = 0; i < Times; ++i)
            form->ShutDownTimerTimer();
    }

    QStringList log;
    QString savedFile;
    std::unique_ptr<wizard_test::DialogRecorder> dialogs;
    std::unique_ptr<CloseWatcher> watcher;
};

} // namespace

TEST_F(FinishPage, StartsDisarmedWithItsControls)
{
    EXPECT_EQ(form->FinishTab->objectName(), QStringLiteral("FinishTab"));
    EXPECT_EQ(form->ShutdownGroupBox->title(), QStringLiteral("Shutdown the PC"));
    EXPECT_EQ(form->ShutdownTitleLabel->text(),
              QStringLiteral("TapeHarvest will shutdown the PC in 1 minute. To abort click the Cancel Shutdown button."));
    EXPECT_EQ(form->ShutdownProgressBar->minimum(), 0);
    EXPECT_EQ(form->ShutdownProgressBar->maximum(), 60000);
    EXPECT_EQ(form->ShutDownTimer->interval(), 1000);
    EXPECT_EQ(form->CancelShutdownBtn->text(), QStringLiteral("Cancel Shutdown"));
    EXPECT_EQ(form->findChild<QAction*>(QStringLiteral("CancelShutDown")), form->CancelShutDown);
    EXPECT_TRUE(Disarmed());
}

TEST_F(FinishPage, ShowsTheReportOneLinePerCapture)
{
    TTHProject& project = OpenProject(false);
    project.Report << QStringLiteral("First capture.") << QStringLiteral("Second capture.");
    form->FinishTabShow();

    EXPECT_EQ(form->TitleLabel->text(), QStringLiteral("Finish"));
    EXPECT_TRUE(form->DescriptionLabel->text().startsWith(QStringLiteral("TapeHarvest finished all tasks")));
    EXPECT_EQ(form->ResultLabel->text().trimmed().split(QLatin1Char('\n')),
              QStringList({QStringLiteral("First capture."), QStringLiteral("Second capture.")}));
    EXPECT_EQ(form->ResultLabel->textFormat(), Qt::PlainText);
    EXPECT_TRUE(Disarmed());
}

TEST_F(FinishPage, ABlankReportMeansNothingWasDone)
{
    TTHProject& project = OpenProject(false);
    form->FinishTabShow();
    EXPECT_EQ(form->ResultLabel->text(), QStringLiteral("TapeHarvest did nothing."));

    project.Report << QString() << QStringLiteral("   ") << QStringLiteral("\t\r");
    form->ResultLabel->setText(QStringLiteral("stale"));
    form->FinishTabShow();
    EXPECT_EQ(form->ResultLabel->text(), QStringLiteral("TapeHarvest did nothing."));
}

TEST_F(FinishPage, WithoutAProjectTheReportAndTheCountdownAreLeftAlone)
{
    OpenProject(true);
    form->FinishTabShow();
    Tick(3);
    form->FProject.reset();
    form->ResultLabel->setText(QStringLiteral("earlier report"));

    form->FinishTabShow();
    EXPECT_EQ(form->ResultLabel->text(), QStringLiteral("earlier report"));
    EXPECT_TRUE(Armed());
    EXPECT_EQ(form->ShutdownProgressBar->value(), 3000);
}

TEST_F(FinishPage, TheChoiceArmsTheCountdownEvenAfterTheProjectTurnedManual)
{
    // A capture stop turns the project into a manual one, which clears the
    // saved flag but not the user's choice.
    TTHProject& project = OpenProject(true);
    project.SetTapeOption(toManual);
    ASSERT_FALSE(project.Shutdown);
    form->FinishTabShow();
    EXPECT_EQ(form->ResultLabel->text(), QStringLiteral("TapeHarvest did nothing."));
    EXPECT_TRUE(Armed());
}

TEST_F(FinishPage, AManualProjectLeftBeginWorkWithTheOptionDisabledCountsNothingDown)
{
    // The choice history said "Shutdown"; the page offered it disabled.
    TTHProject& project = OpenProject(true);
    project.SetCaptureJob(true);
    project.SetTapeOption(toManual);
    form->PageControl->setCurrentWidget(form->StartWorkTab);
    form->StartWorkTabShow();
    ASSERT_FALSE(form->ShutdownJobCheckBox->isEnabled());
    form->NextPageExecute();
    ASSERT_EQ(form->ActivePage(), form->CaptureTab);
    form->NextPageExecute();
    ASSERT_EQ(form->ActivePage(), form->FinishTab);
    EXPECT_TRUE(Disarmed());
    EXPECT_FALSE(log.contains(QStringLiteral("shutdown"))) << log.join(QStringLiteral(", ")).toStdString();
}

TEST_F(FinishPage, ShowingThePageAgainKeepsTheCountWhereItIs)
{
    OpenProject(true);
    form->FinishTabShow();
    Tick(5);
    form->FinishTabShow();
    EXPECT_TRUE(Armed());
    EXPECT_EQ(form->ShutdownProgressBar->value(), 5000);
}

TEST_F(FinishPage, TheTimerAdvancesTheBar)
{
    OpenProject(true);
    form->ShutDownTimer->blockSignals(false);
    form->FinishTabShow();
    EXPECT_TRUE(th::test::waitUntil([&] { return form->ShutdownProgressBar->value() >= 1000; }, std::chrono::seconds(5)));
    form->CancelShutDownExecute();
}

TEST_F(FinishPage, ShutsDownOnTheSixtiethTickWithTheBarFull)
{
    TTHProject& project = OpenProject(true);
    project.Save();
    savedFile = project.FileName;
    ASSERT_TRUE(TTHProject::CreateFromFile(savedFile)->Shutdown);
    form->FinishTabShow();
    QSignalSpy bar(form->ShutdownProgressBar, &QProgressBar::valueChanged);

    Tick(59);
    EXPECT_EQ(form->ShutdownProgressBar->value(), 59000);
    EXPECT_TRUE(Armed());
    EXPECT_TRUE(log.isEmpty()) << log.join(QLatin1Char(',')).toStdString();

    Tick(1);
    ASSERT_GE(bar.count(), 2);
    EXPECT_EQ(bar.at(bar.count() - 2).at(0).toInt(), 60000);
    EXPECT_EQ(bar.at(bar.count() - 1).at(0).toInt(), 0);
    EXPECT_TRUE(Disarmed());

    // Saved with the flag cleared, then closed, then the machine asked to
    // switch off (ExitWindowsEx refuses every other action before it asks).
    log.removeAll(QStringLiteral("dialog"));
    EXPECT_EQ(log, QStringList({QStringLiteral("close saved-without-shutdown"), QStringLiteral("canPowerOff"),
                                QStringLiteral("powerOff")}));
    EXPECT_FALSE(TTHProject::CreateFromFile(savedFile)->ShutdownChoice);
    if (form->FProject) {
        EXPECT_FALSE(form->FProject->Shutdown);
        EXPECT_FALSE(form->FProject->ShutdownChoice);
        EXPECT_FALSE(form->FProject->Modified);
    }
}

TEST_F(FinishPage, CancelStopsTheCountAndClearsTheChoice)
{
    TTHProject& project = OpenProject(true);
    project.Save();
    form->FinishTabShow();
    Tick(20);

    form->CancelShutdownBtn->click();
    EXPECT_TRUE(Disarmed());
    EXPECT_FALSE(project.Shutdown);
    EXPECT_FALSE(project.ShutdownChoice);
    EXPECT_TRUE(project.Modified);

    // Nothing re-arms it, and the disarmed button runs nothing.
    form->FinishTabShow();
    EXPECT_TRUE(Disarmed());
    form->CancelShutdownBtn->click();
    EXPECT_TRUE(Disarmed());
    EXPECT_TRUE(log.isEmpty());
}

TEST_F(FinishPage, LeavingThePageCancelsTheCount)
{
    TTHProject& project = OpenProject(true);
    form->FinishTabShow();
    Tick(30);
    form->LeaveFinishPage();
    EXPECT_TRUE(Disarmed());
    EXPECT_FALSE(project.ShutdownChoice);
    EXPECT_FALSE(project.Shutdown);
    EXPECT_TRUE(log.isEmpty());
}

TEST_F(FinishPage, AProjectThatCannotBeSavedStopsTheShutdownBeforeTheClose)
{
    OpenProject(true);
    // A plain file where the project's folder has to go.
    QFile blocker(dir.qpath() + QStringLiteral("/Tape"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    form->FinishTabShow();
    Tick(59);
    EXPECT_THROW(form->ShutDownTimerTimer(), std::exception);
    EXPECT_TRUE(Disarmed());
    EXPECT_TRUE(log.isEmpty()) << log.join(QLatin1Char(',')).toStdString();
    ASSERT_TRUE(form->FProject);
    EXPECT_FALSE(form->FProject->ShutdownChoice);
}

TEST_F(FinishPage, ACountWhoseProjectWasClosedShutsDownWithoutSaving)
{
    OpenProject(true);
    form->FinishTabShow();
    Tick(10);
    form->FProject.reset();
    Tick(50);
    log.removeAll(QStringLiteral("dialog"));
    EXPECT_EQ(log, QStringList({QStringLiteral("close"), QStringLiteral("canPowerOff"), QStringLiteral("powerOff")}));
    EXPECT_FALSE(form->ShutDownTimer->isActive());
    EXPECT_EQ(form->ShutdownProgressBar->value(), 0);
}

// Through the wizard's own navigation.
TEST_F(FinishPage, PreviousDuringTheCountCancelsIt)
{
    TTHProject& project = OpenProject(true);
    project.SetCaptureJob(false);
    form->GoToPage(form->FinishTab);
    ASSERT_EQ(form->ActivePage(), form->FinishTab);
    ASSERT_TRUE(Armed());
    Tick(10);
    form->PreviosPage->trigger();
    EXPECT_NE(form->ActivePage(), form->FinishTab);
    EXPECT_TRUE(Disarmed());
    EXPECT_FALSE(project.ShutdownChoice);
}

TEST_F(FinishPage, NewProjectDuringTheCountLetsItRunOn)
{
    TTHProject& project = OpenProject(true);
    project.SetCaptureJob(false);
    form->GoToPage(form->FinishTab);
    ASSERT_EQ(form->ActivePage(), form->FinishTab);
    Tick(10);
    form->NewProjectPage->trigger();
    EXPECT_EQ(form->ActivePage(), form->ProjectsTab);
    EXPECT_TRUE(form->ShutDownTimer->isActive());
    EXPECT_EQ(form->ShutdownProgressBar->value(), 10000);

    Tick(50);
    EXPECT_TRUE(log.contains(QStringLiteral("powerOff")));
    EXPECT_FALSE(form->ShutDownTimer->isActive());
}
