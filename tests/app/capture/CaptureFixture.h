#pragma once
// The main window on the virtual camcorder: a tape of chosen scenes, an open
// project in a folder of the test's own, and the Capture page entered and
// shown the way the wizard does it.
#include "EngineRun.h"

#include "app/TlmScnLV.h"
#include "platform/dv/VirtualCamcorder.h"
#include "support/WizardFixture.h"

#include <QAction>
#include <QFile>
#include <QLabel>
#include <QMessageBox>
#include <QLineEdit>
#include <QProgressBar>
#include <QStackedWidget>
#include <QSlider>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace capturetest {

// A scene of n frames recorded at the given date and time.
inline e2e::Scene At(int frames, int year, int month, int day, int hour, int min, int sec, const char* colour,
                     QColor rgb)
{
    return e2e::Scene{frames, year, month, day, hour, min, sec, colour, rgb};
}

// Three scenes in recording order, 85 frames.
inline std::vector<e2e::Scene> ThreeScenes()
{
    return {
        At(40, 2004, 3, 5, 7, 8, 9, "red", QColor(255, 0, 0)),
        At(25, 2004, 3, 5, 9, 0, 0, "green", QColor(0, 255, 0)),
        At(20, 2004, 3, 6, 10, 30, 0, "blue", QColor(0, 0, 255)),
    };
}

inline void Pause(int ms)
{
    th::test::waitUntil([] { return false; }, std::chrono::milliseconds(ms));
}

class CaptureFixture : public wizard_test::WizardFixture {
protected:
    // A handler's exception ends in a message dialog; the test fails on it
    // instead of waiting for an answer. `messages` holds the texts (the
    // object name of any other dialog) that a test has not taken yet.
    void SetUp() override
    {
        WizardFixture::SetUp();
        dialogs = std::make_unique<wizard_test::DialogRecorder>(mrOk);
        dialogs->onMessage = [this] { messages << dialogs->messages.back().text; };
        dialogs->other = [this](QDialog& d) {
            messages << d.objectName();
            return int(mrOk);
        };
    }
    void TearDown() override
    {
        EXPECT_TRUE(messages.isEmpty()) << messages.join("\n").toStdString();
        dialogs.reset();
        WizardFixture::TearDown();
        th::dv::removeCamcorder();
    }

    // Makes the tape and plugs in a camcorder that plays it at Speed, before
    // the window exists, so that the arrival reaches no one.
    void Tape(const std::vector<e2e::Scene>& Scenes, double Speed, std::int64_t BlankFrames = 25,
              th::dv::DeviceKind Kind = th::dv::DeviceKind::Vcr, int LeaderSeconds = 0)
    {
        std::string out;
        tape = tapes.file("tape.dv");
        ASSERT_TRUE(e2e::MakeTape(tape, Scenes, &out, {}, LeaderSeconds)) << out;
        ASSERT_TRUE(e2e::Camcorder(tape, Speed, BlankFrames, Kind));
        Pause(50);
    }

    // The window with an open project of that tape option, a type-2 capture
    // without preview into one file.
    void Window(TTapeOption Option)
    {
        makeForm();
        auto project = TTHProject::CreateNew(projects + "/", QStringLiteral("Tape"));
        project->SetCaptureJob(true);
        project->SetTapeOption(Option);
        project->SetFileType(1);
        project->SetShowPreview(false);
        project->SetSplitFiles(false);
        project->SetRewindTape(false);
        project->SetShutdown(false);
        form->FProject = std::move(project);
        form->FCaptureFileName = CaptureFile();
    }

    QString CaptureFile(const QString& Name = QStringLiteral("Tape")) const
    {
        return form->FProject->CaptureFolder + "/" + Name + ".avi";
    }

    // Enter and show the page, as the wizard's page change does, and let the
    // deck get to where the capture starts.
    void ShowCapturePage()
    {
        ShowCapturePageWithoutWaiting();
        ASSERT_TRUE(WaitForTheTape());
    }
    void ShowCapturePageWithoutWaiting()
    {
        form->EnterCapturePage();
        form->PageControl->setCurrentWidget(form->CaptureTab);
        form->CaptureTabShow();
    }
    // The deck has wound to the start (or the wait has ended otherwise).
    bool WaitForTheTape(std::chrono::seconds Timeout = std::chrono::seconds(60))
    {
        return th::test::waitUntil([&] { return form->FTapeWait == TMainForm::TTapeWait::None; }, Timeout);
    }

    // Processes events until the capture has ended by itself.
    bool WaitForTheEnd(std::chrono::seconds Timeout = std::chrono::seconds(30))
    {
        return th::test::waitUntil([&] { return !form->FCapturing; }, Timeout);
    }

    bool WaitForFrames(std::int64_t Frames, std::chrono::seconds Timeout = std::chrono::seconds(20))
    {
        return th::test::waitUntil([&] { return form->FProgressCount >= Frames; }, Timeout);
    }

    // The tape has played to its end during a capture.
    bool WaitForTapeEnd()
    {
        return th::test::waitUntil([&] {
            return form->FProgressCount > 0 && form->DVCapture->GetTransportState() == tsStop;
        });
    }

    QString Status() const { return form->CaptureStatusText->text(); }

    std::unique_ptr<wizard_test::DialogRecorder> dialogs;
    QStringList messages;
    th::test::TempDir tapes;
    std::string tape;
};

} // namespace capturetest
