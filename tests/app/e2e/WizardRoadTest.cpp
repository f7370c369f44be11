// The road of one capture through the real window, as a user walks it: type
// a project name, keep the capture job, pick the tape range and the files,
// start the work, let the capture end by itself and read the report.
#include "app/Dialogs.h"
#include "app/Main.h"
#include "app/TlmScnLV.h"

#include "capture/EngineRun.h"
#include "platform/rtl/SysUtils.h"
#include "platform/rtl/TRegistry.h"
#include "support/TestUtil.h"

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
#include <QPushButton>
#include <QRadioButton>
#include <QStackedWidget>
#include <QTimer>
#include <QTreeWidget>

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

const QString kProgramKey = QStringLiteral("\\Software\\Tolmar\\TapeHarvest");

class WizardRoad : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string out;
        ASSERT_TRUE(e2e::RegisterWriter(&out)) << out;
        tape = dir.file("tape.dv");
        ASSERT_TRUE(e2e::MakeTape(tape, e2e::FiveScenes(), &out)) << out;
        projects = dir.qpath() + QStringLiteral("/Projects");
        ASSERT_TRUE(ForceDirectories(projects));
        TRegIniFile(kProgramKey).WriteString(QStringLiteral("Projects"), QStringLiteral("ProjectsPath"), projects);
        // Every question the wizard asks on this road is a fault: record it and say no.
        SetModalHook([this](QDialog& d) {
            auto* box = qobject_cast<QMessageBox*>(&d);
            asked << d.objectName() + QStringLiteral(": ") + (box ? box->text() : d.windowTitle());
            return int(mrCancel);
        });
    }

    void TearDown() override
    {
        SetModalHook({});
        th::dv::removeCamcorder();
    }

    QPushButton* next() { return form->findChild<QPushButton*>(QStringLiteral("NextBtn")); }

    // Walks from Select Project to the Capture page with the given choices.
    void WalkToCapture(const QString& name, const char* range, bool multipleFiles)
    {
        form = std::make_unique<TMainForm>();
        form->FormCreate();
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

    th::test::TempDir dir;
    std::string tape;
    QString projects;
    QStringList asked;
    std::unique_ptr<TMainForm> form;
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
