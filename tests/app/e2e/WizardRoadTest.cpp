// The road of one capture through the real window, as a user walks it: type
// a project name, keep the capture job, pick the tape range and the files,
// start the work, let the capture end by itself and read the report.
#include "app/TlmScnLV.h"

#include "capture/EngineRun.h"
#include "platform/rtl/SysUtils.h"
#include "platform/rtl/TRegistry.h"
#include "support/WizardFixture.h"

#include <QCheckBox>
#include <QDir>
#include <QApplication>
#include <QDomDocument>
#include <QFileDialog>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QStackedWidget>
#include <QTimer>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <csignal>

using namespace std::chrono_literals;

namespace {

const QString kProgramKey = QStringLiteral("\\Software\\Tolmar\\TapeHarvest");

class WizardRoad : public wizard_test::WizardFixture {
protected:
    void SetUp() override
    {
        WizardFixture::SetUp();
        std::string out;
        ASSERT_TRUE(e2e::RegisterWriter(&out)) << out;
        tape = dir.file("tape.dv");
        ASSERT_TRUE(e2e::MakeTape(tape, e2e::FiveScenes(), &out)) << out;
        TRegIniFile(kProgramKey).WriteString(QStringLiteral("Projects"), QStringLiteral("ProjectsPath"), projects);
        // Every question the wizard asks on this road is a fault: record it and say no.
        dialogs = std::make_unique<wizard_test::DialogRecorder>(mrCancel);
        dialogs->onMessage = [this] {
            asked << dialogs->messages.back().name + QStringLiteral(": ") + dialogs->messages.back().text;
        };
        dialogs->other = [this](QDialog& d) {
            asked << d.objectName() + QStringLiteral(": ") + d.windowTitle();
            return int(mrCancel);
        };
    }

    void TearDown() override
    {
        dialogs.reset();
        WizardFixture::TearDown();
        th::dv::removeCamcorder();
    }

    QPushButton* next() { return form->findChild<QPushButton*>(QStringLiteral("NextBtn")); }

    // Walks from Select Project to the Capture page with the given choices.
    void WalkToCapture(const QString& name, const char* range, bool multipleFiles)
    {
        makeForm().FormCreate();
        form->show();
        ASSERT_EQ(form->ActivePage(), form->ProjectsTab);
        auto* edit = form->findChild<QLineEdit*>(QStringLiteral("NewProjectEdit"));
        ASSERT_NE(edit, nullptr);
        edit->setText(name);
        next()->click();
        ASSERT_EQ(form->ActivePage(), form->JobsTab) << asked.join(QStringLiteral("; ")).toStdString();
        auto* job = form->findChild<QCheckBox*>(QStringLiteral("CaptureCheckBox"));
        if (!job->isChecked())
            job->click();
        next()->click();
        ASSERT_EQ(form->ActivePage(), form->CaptureSetupTab);
        auto* choice = form->findChild<QRadioButton*>(QString::fromLatin1(range));
        ASSERT_NE(choice, nullptr);
        ASSERT_TRUE(choice->isEnabled()) << "the camcorder is a video recorder: every range is open";
        choice->click();
        form->findChild<QRadioButton*>(multipleFiles ? QStringLiteral("CapScenesMultRadio")
                                                     : QStringLiteral("CapScenesWholeRadio"))
            ->click();
        next()->click();
        ASSERT_EQ(form->ActivePage(), form->StartWorkTab) << asked.join(QStringLiteral("; ")).toStdString();
        next()->click();
        ASSERT_EQ(form->ActivePage(), form->CaptureTab) << asked.join(QStringLiteral("; ")).toStdString();
    }

    bool WaitForFinish(std::chrono::milliseconds timeout)
    {
        return th::test::waitUntil([this] { return form->ActivePage() == form->FinishTab; }, timeout);
    }

    std::unique_ptr<wizard_test::DialogRecorder> dialogs;
    std::string tape;
    QStringList asked;
};

} // namespace

TEST_F(WizardRoad, ToTheEndOfTheRecordingIntoOneFileWithItsScenes)
{
    ASSERT_TRUE(e2e::Camcorder(tape, 4.0));
    WalkToCapture(QStringLiteral("Summer 2003"), "CapFromNtoXRadio", false);
    ASSERT_TRUE(WaitForFinish(60s)) << asked.join(QStringLiteral("; ")).toStdString();
    EXPECT_TRUE(asked.isEmpty()) << asked.join(QStringLiteral("; ")).toStdString();

    // The capture ended where the recording went back in time: the fourth scene was recorded first.
    const QString folder = projects + QStringLiteral("/Summer 2003");
    const QString capture = folder + QStringLiteral("/Video/Summer 2003.avi");
    EXPECT_TRUE(QFile::exists(capture));
    QFile sceneFile(ChangeFileExt(capture, QStringLiteral(".thf")));
    ASSERT_TRUE(sceneFile.open(QIODevice::ReadOnly));
    QDomDocument scenes;
    ASSERT_TRUE(scenes.setContent(&sceneFile));
    const int count = scenes.documentElement().firstChildElement(QStringLiteral("scenes"))
                          .elementsByTagName(QStringLiteral("scene")).count();
    EXPECT_GE(count, 3);
    EXPECT_LE(count, 4);

    ASSERT_NE(form->FProject, nullptr);
    EXPECT_EQ(form->FProject->Files, QStringList{capture});
    ASSERT_EQ(form->FProject->Report.size(), 1);
    EXPECT_TRUE(form->FProject->Report[0].startsWith(QStringLiteral("TapeHarvest finished a capture task.")));
    EXPECT_EQ(form->ResultLabel->text().trimmed(), form->FProject->Report[0]);
    EXPECT_TRUE(QFile::exists(folder + QStringLiteral("/Summer 2003.thp")));

    // The project is in the list, and the finished file stays as it is when the camcorder comes back.
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey(kProgramKey + QStringLiteral("\\Projects\\Project1"), false));
    EXPECT_EQ(reg.ReadString(QStringLiteral("FileName")), folder + QStringLiteral("/Summer 2003.thp"));
    const qint64 size = QFileInfo(capture).size();
    th::dv::unplugCamcorder();
    th::test::waitUntil([] { return false; }, 500ms);
    th::dv::plugCamcorder();
    th::test::waitUntil([] { return false; }, 1500ms);
    EXPECT_EQ(QFileInfo(capture).size(), size);
}

TEST_F(WizardRoad, TheWholeTapeIntoOneFilePerScene)
{
    ASSERT_TRUE(e2e::Camcorder(tape, 4.0));
    WalkToCapture(QStringLiteral("Tape one"), "CapFromBtoERadio", true);
    ASSERT_TRUE(WaitForFinish(90s)) << asked.join(QStringLiteral("; ")).toStdString();
    EXPECT_TRUE(asked.isEmpty()) << asked.join(QStringLiteral("; ")).toStdString();

    ASSERT_NE(form->FProject, nullptr);
    const QStringList files = form->FProject->Files;
    ASSERT_EQ(files.size(), 5) << files.join(QStringLiteral(", ")).toStdString();
    const auto scenes = e2e::FiveScenes();
    for (int i = 0; i < 5; ++i) {
        EXPECT_TRUE(files[i].endsWith(e2e::Stamp(scenes[i]) + QStringLiteral(".avi"))) << files[i].toStdString();
        EXPECT_TRUE(QFile::exists(files[i]));
    }
    // The deck plays before the graph runs; still the tape's first frame is
    // the first file's first, and nothing was lost on the way.
    const auto tapeFrames = e2e::TapeFrames(tape);
    int inFiles = 0;
    for (int i = 0; i < 5; ++i) {
        const e2e::FileSlots inFile = e2e::ReadSlots(files[i], tapeFrames);
        ASSERT_FALSE(inFile.tape.empty()) << files[i].toStdString();
        if (i == 0) {
            EXPECT_EQ(inFile.tape.front(), 0);
        }
        EXPECT_EQ(inFile.placeholders(), 0) << files[i].toStdString();
        inFiles += int(inFile.tape.size());
    }
    EXPECT_EQ(inFiles, e2e::TotalFrames(scenes));

    // The scenes list of the next visit is built from these files.
    form->LoadScenesList();
    EXPECT_EQ(form->CaptureScenesListView->count(), 5);

    // Every stop turns the project into a manual one; the saved file keeps the chosen range.
    EXPECT_EQ(form->FProject->TapeOption, toManual);
    ASSERT_EQ(form->FProject->Report.size(), 1);
    EXPECT_TRUE(form->FProject->Report[0].endsWith(QStringLiteral("There are 5 scenes was detected.")))
        << form->FProject->Report[0].toStdString();
}

// A reopened project: choosing one file per scene and going to the Capture
// page leaves the earlier one-file capture and its scenes as they are; a
// second one-file capture through "Rename" goes to a free name, and the save
// dialog asks before it would replace the earlier file.
TEST_F(WizardRoad, AReopenedProjectLosesNeitherTheEarlierCaptureNorItsScenes)
{
    ASSERT_TRUE(e2e::Camcorder(tape, 4.0));
    WalkToCapture(QStringLiteral("Family Tapes"), "CapFromNtoXRadio", false);
    ASSERT_TRUE(WaitForFinish(60s)) << asked.join(QStringLiteral("; ")).toStdString();
    const QString folder = projects + QStringLiteral("/Family Tapes");
    const QString first = folder + QStringLiteral("/Video/Family Tapes.avi");
    const QString firstScenes = ChangeFileExt(first, QStringLiteral(".thf"));
    const auto readAll = [](const QString& path) {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    };
    const QByteArray scenesBefore = readAll(firstScenes);
    ASSERT_FALSE(scenesBefore.isEmpty());
    const qint64 sizeBefore = QFileInfo(first).size();
    const int sceneCount = int(scenesBefore.count("<scene>"));
    form.reset();

    form = std::make_unique<TMainForm>();
    form->FormCreate();
    form->show();
    form->OpenProjectRadio->click();
    QTreeWidgetItem* listed = nullptr;
    for (int i = 0; i < form->ProjectsListBox->topLevelItemCount(); ++i)
        if (form->ProjectsListBox->topLevelItem(i)->text(1) == folder + QStringLiteral("/Family Tapes.thp"))
            listed = form->ProjectsListBox->topLevelItem(i);
    ASSERT_NE(listed, nullptr);
    form->ProjectsListBox->setCurrentItem(listed);
    next()->click();
    ASSERT_EQ(form->ActivePage(), form->JobsTab) << asked.join(QStringLiteral("; ")).toStdString();
    next()->click();
    ASSERT_EQ(form->ActivePage(), form->CaptureSetupTab);
    form->findChild<QRadioButton*>(QStringLiteral("CapFromManualRadio"))->click();
    form->findChild<QRadioButton*>(QStringLiteral("CapScenesMultRadio"))->click();
    next()->click();
    next()->click();
    ASSERT_EQ(form->ActivePage(), form->CaptureTab) << asked.join(QStringLiteral("; ")).toStdString();
    EXPECT_EQ(readAll(firstScenes), scenesBefore) << "the scene file stays when a name is set";
    EXPECT_EQ(form->CaptureScenesListView->count(), sceneCount) << "the earlier capture shows its scenes";

    // Back to one file, and "Rename": the dialog offers a free name, and
    // typing the earlier file's name asks before replacing it.
    auto* prev = form->findChild<QPushButton*>(QStringLiteral("PrevBtn"));
    prev->click();
    prev->click();
    ASSERT_EQ(form->ActivePage(), form->CaptureSetupTab);
    form->findChild<QRadioButton*>(QStringLiteral("CapFromNtoXRadio"))->click();
    form->findChild<QRadioButton*>(QStringLiteral("CapScenesWholeRadio"))->click();
    QString proposed, replaceQuestion;
    SetModalHook([&](QDialog& d) -> int {
        if (auto* box = qobject_cast<QMessageBox*>(&d)) {
            asked << box->text();
            return 1; // Rename
        }
        auto* save = qobject_cast<QFileDialog*>(&d);
        if (!save)
            return int(QDialog::Rejected);
        proposed = save->selectedFiles().value(0);
        // The dialog's own question comes while its accept runs: say No.
        auto* answer = new QTimer(save);
        QObject::connect(answer, &QTimer::timeout, [&replaceQuestion, answer] {
            for (QWidget* w : QApplication::topLevelWidgets()) {
                auto* box = qobject_cast<QMessageBox*>(w);
                if (box && box->isVisible() && box->button(QMessageBox::No)) {
                    answer->stop();
                    replaceQuestion = box->text();
                    box->button(QMessageBox::No)->click();
                    return;
                }
            }
        });
        answer->start(20);
        auto* typed = save->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        if (!typed)
            return int(QDialog::Rejected);
        typed->setText(ExtractFileName(first));
        QMetaObject::invokeMethod(save, "accept", Qt::DirectConnection);
        if (!save->isVisible())
            return save->result();
        // No: the dialog stays, and the user takes the name it offered.
        typed->clearFocus();
        save->selectFile(proposed);
        QMetaObject::invokeMethod(save, "accept", Qt::DirectConnection);
        return save->isVisible() ? int(QDialog::Rejected) : save->result();
    });
    next()->click();
    ASSERT_EQ(form->ActivePage(), form->StartWorkTab) << asked.join(QStringLiteral("; ")).toStdString();
    const QString second = folder + QStringLiteral("/Video/Family Tapes (2).avi");
    EXPECT_EQ(proposed, second);
    EXPECT_TRUE(replaceQuestion.contains(QStringLiteral("already exists"))) << replaceQuestion.toStdString();
    SetModalHook([this](QDialog& d) {
        asked << d.objectName() + QStringLiteral(": ") + d.windowTitle();
        return int(mrCancel);
    });
    asked.clear();
    next()->click();
    ASSERT_EQ(form->ActivePage(), form->CaptureTab) << asked.join(QStringLiteral("; ")).toStdString();
    ASSERT_TRUE(WaitForFinish(60s)) << asked.join(QStringLiteral("; ")).toStdString();
    EXPECT_TRUE(asked.isEmpty()) << asked.join(QStringLiteral("; ")).toStdString();

    EXPECT_EQ(QFileInfo(first).size(), sizeBefore);
    EXPECT_EQ(readAll(firstScenes), scenesBefore);
    EXPECT_GT(QFileInfo(second).size(), 100000);
    EXPECT_TRUE(QFile::exists(ChangeFileExt(second, QStringLiteral(".thf"))));
    EXPECT_EQ(form->FProject->Files, (QStringList{first, second}));
}

// A capture killed at real time (kill -9, as a crash or a power loss ends
// it), in both modes: the project on disk knows the files finished before,
// the scene file the scenes found, and the next open makes the unfinished
// file whole, which libavformat then reads frame for frame.
TEST_F(WizardRoad, AKilledCaptureIsMadeWholeWhenTheProjectIsOpenedAgain)
{
    const QByteArray role = qgetenv("TH_KILLED_CAPTURE");
    if (!role.isEmpty()) {
        // The process that is killed: it captures until it is.
        projects = qEnvironmentVariable("TH_KILLED_PROJECTS");
        TRegIniFile(kProgramKey).WriteString(QStringLiteral("Projects"), QStringLiteral("ProjectsPath"), projects);
        ASSERT_TRUE(e2e::Camcorder(tape, 1.0));
        WalkToCapture(QStringLiteral("Killed ") + QString::fromLatin1(role), "CapFromBtoERadio", role == "scenes");
        th::test::waitUntil([] { return false; }, 120s);
        FAIL() << "not killed";
    }
    const auto tapeFrames = e2e::TapeFrames(tape);
    const auto scenes = e2e::FiveScenes();
    for (const QString& mode : {QStringLiteral("one"), QStringLiteral("scenes")}) {
        SCOPED_TRACE(mode.toStdString());
        const bool perScene = mode == QStringLiteral("scenes");
        const QString name = QStringLiteral("Killed ") + mode;
        const QString folder = projects + QLatin1Char('/') + name;
        const QString video = folder + QStringLiteral("/Video");
        th::test::TempDir registry;
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("TH_KILLED_CAPTURE"), mode);
        env.insert(QStringLiteral("TH_KILLED_PROJECTS"), projects);
        env.insert(QStringLiteral("THARVEST_REGISTRY_DIR"), registry.qpath());
        child.setProcessEnvironment(env);
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.start(QCoreApplication::applicationFilePath(),
                    {QStringLiteral("--gtest_filter=WizardRoad.AKilledCaptureIsMadeWholeWhenTheProjectIsOpenedAgain")});
        ASSERT_TRUE(child.waitForStarted());
        // Killed in its third scene: two finished before it (two scene
        // files, or two scenes in the scene file).
        const QString third = video + QStringLiteral("/") + name + e2e::Stamp(scenes[2]) + QStringLiteral(".avi");
        const QString one = video + QStringLiteral("/") + name + QStringLiteral(".avi");
        // The project is saved on the child's main thread once a file is
        // finished, which a busy machine may bring after the next file began.
        const QString projectFile = folder + QLatin1Char('/') + name + QStringLiteral(".thp");
        const QByteArray second = (name + e2e::Stamp(scenes[1]) + QStringLiteral(".avi")).toUtf8();
        const auto listsSecond = [&] {
            QFile f(projectFile);
            return f.open(QIODevice::ReadOnly) && f.readAll().contains(second);
        };
        const bool reached = th::test::waitUntil(
            [&] {
                return child.state() != QProcess::Running ||
                       (QFileInfo(perScene ? third : one).size() > (perScene ? 10 : 110) * 152000 &&
                        (!perScene || listsSecond()));
            },
            120s);
        ASSERT_EQ(child.state(), QProcess::Running) << "the capture ended before it was killed";
        ASSERT_TRUE(reached);
        ::kill(pid_t(child.processId()), SIGKILL);
        ASSERT_TRUE(child.waitForFinished(30000));

        QFile saved(projectFile);
        ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
        const QByteArray listed = saved.readAll();
        saved.close();
        if (perScene) {
            EXPECT_TRUE(listed.contains((name + e2e::Stamp(scenes[1]) + QStringLiteral(".avi")).toUtf8()))
                << "the finished files are saved with the project as they are finished:\n" << listed.constData();
        } else {
            EXPECT_GE(e2e::ReadScenes(ChangeFileExt(one, QStringLiteral(".thf"))).size(), 3u)
                << "the scene file holds the scenes found";
        }

        // The next open makes the file whole and says so.
        QStringList told;
        SetModalHook([&](QDialog& d) {
            auto* box = qobject_cast<QMessageBox*>(&d);
            told << (box ? box->text() : d.objectName());
            return int(mrOk);
        });
        form = std::make_unique<TMainForm>();
        form->FormCreate();
        ASSERT_TRUE(form->OpenProjectFile(projectFile));
        ASSERT_EQ(told.size(), 1) << told.join(QStringLiteral("; ")).toStdString();
        EXPECT_TRUE(told[0].startsWith(QStringLiteral("A capture of this project was not finished"))) << told[0].toStdString();
        EXPECT_TRUE(QDir(video).entryList({QStringLiteral("*.tmp")}, QDir::Files).isEmpty());

        const QStringList files = form->FProject->Files;
        ASSERT_EQ(files.size(), perScene ? 3 : 1) << files.join(QStringLiteral(", ")).toStdString();
        EXPECT_EQ(files.last(), perScene ? third : one);
        int captured = 0;
        for (int i = 0; i < files.size(); ++i) {
            const e2e::FileSlots held = e2e::ReadSlots(files[i], tapeFrames);
            ASSERT_FALSE(held.tape.empty()) << files[i].toStdString();
            EXPECT_EQ(held.headerFrames, std::int64_t(held.tape.size())) << files[i].toStdString();
            // Frame for frame as on the tape; a frame lost is a placeholder in its slot.
            for (std::size_t k = 0, real = SIZE_MAX; k < held.tape.size(); ++k) {
                if (held.tape[k] < 0)
                    continue;
                if (real != SIZE_MAX) {
                    ASSERT_EQ(held.tape[k] - held.tape[real], int(k - real)) << files[i].toStdString() << " slot " << k;
                }
                real = k;
            }
            // Type 2: the sound's length in the headers and in the index is what is there.
            EXPECT_GT(held.audioSamples, 0);
            EXPECT_EQ(held.audioLength, held.audioSamples) << files[i].toStdString();
            EXPECT_EQ(held.audioIndexed, held.audioSamples) << files[i].toStdString();
            captured += int(held.tape.size());
        }
        EXPECT_TRUE(told[0].contains(
            QStringLiteral("holds %1 frames.").arg(e2e::ReadSlots(files.last(), tapeFrames).tape.size())))
            << told[0].toStdString();
        if (!perScene) {
            const auto entries = e2e::ReadScenes(ChangeFileExt(one, QStringLiteral(".thf")));
            EXPECT_GE(entries.size(), 3u);
        }
        EXPECT_GT(captured, 100);
        // A second open finds nothing to do.
        told.clear();
        form.reset();
        form = std::make_unique<TMainForm>();
        form->FormCreate();
        ASSERT_TRUE(form->OpenProjectFile(projectFile));
        EXPECT_TRUE(told.isEmpty()) << told.join(QStringLiteral("; ")).toStdString();
        form.reset();
        SetModalHook({});
    }
}
