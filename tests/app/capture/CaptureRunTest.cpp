// The capture run of the main window: the interval and progress arithmetic,
// the per-frame hand-over, the disk rows, and real captures on the virtual
// camcorder that end by each rule, by the Stop button and by the device going.
#include "CaptureFixture.h"

#include "AvRead.h"

#include "platform/riff/RiffFile.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTreeWidget>

#include <thread>

using namespace capturetest;

namespace {

class CaptureRun : public CaptureFixture {};

// The dropped, captured and scene counts of a report line.
std::vector<int> Counts(const QString& Line)
{
    static const QRegularExpression re(
        "There are (\\d+) frames dropped during capture, (\\d+) frames are captured. There are (\\d+) scenes");
    const auto m = re.match(Line);
    return m.hasMatch() ? std::vector<int>{m.captured(1).toInt(), m.captured(2).toInt(), m.captured(3).toInt()}
                        : std::vector<int>{};
}

// The tape is set playing just before the graph runs; its first frame comes
// once the deck has locked, and waits for the graph, so none passes unseen.
void ExpectWholeTape(const QString& Line, int TapeFrames = 85)
{
    const auto counts = Counts(Line);
    ASSERT_EQ(counts.size(), 3u) << Line.toStdString();
    EXPECT_EQ(counts[0], 0);
    EXPECT_EQ(counts[1], TapeFrames);
    EXPECT_EQ(counts[2], 3);
}

// A capture into a folder on a small disk of its own.
class WriteFailure : public CaptureRun {
protected:
    void Into(const th::test::SmallDisk& Disk, bool Split)
    {
        if (Split) {
            std::string out;
            ASSERT_TRUE(e2e::RegisterWriter(&out)) << out;
        }
        Window(toManual);
        form->FProject->SetSplitFiles(Split);
        form->FProject->CaptureFolder = Disk.qpath();
        form->FCaptureFileName = CaptureFile();
        ShowCapturePage();
    }
    // The one message shown, taken so that the fixture does not fail on it.
    QString TakeMessage()
    {
        EXPECT_EQ(messages.size(), 1) << messages.join("\n").toStdString();
        const QString message = messages.value(0);
        messages.clear();
        return message;
    }
    // A full disk stops the capture: one message naming the file and the
    // reason, the preview back, and every file it left listed and sound, its
    // headers counting just the frames it holds, as the report line does.
    void FillTheDisk(bool Split)
    {
        // The tape first: a file size limit, where it stands in for the
        // disk, holds for the tape maker too.
        Tape(ThreeScenes(), 1);
        th::test::SmallDisk disk(th::test::SmallDisk::Kind::Full, 3 * 1024 * 1024);
        if (!disk.usable())
            GTEST_SKIP() << disk.why();
        Into(disk, Split);
        form->CaptureStart->trigger();
        ASSERT_TRUE(form->FCapturing);
        ASSERT_TRUE(WaitForTheEnd()) << "the full disk stops the capture";
        const QString message = TakeMessage();
        const QString file = Split ? CaptureFile("Tape" + e2e::Stamp(ThreeScenes()[0])) : CaptureFile();
        EXPECT_TRUE(message.contains(file)) << message.toStdString();
        EXPECT_TRUE(message.contains(disk.mounted() ? "is full" : "cannot grow any larger")) << message.toStdString();
        EXPECT_FALSE(message.contains("External exception")) << message.toStdString();
        EXPECT_EQ(form->FProject->Files, QStringList{file}) << "what was captured is listed";
        EXPECT_EQ(form->DVCapture->CaptureMode(), cmPreview);
        EXPECT_TRUE(form->NextPage->isEnabled());

        const avread::File av = avread::Read(file.toStdString());
        ASSERT_TRUE(av.opened) << av.error;
        ASSERT_FALSE(av.streams.empty());
        const avread::Stream& video = av.streams[0];
        // At real time on a busy machine frames may be dropped: each keeps
        // its slot as an empty chunk, which libavformat does not return.
        const e2e::FileSlots inFile = e2e::ReadSlots(file, e2e::TapeFrames(tape));
        const std::int64_t held = std::int64_t(inFile.tape.size());
        EXPECT_GT(video.packets, 5);
        EXPECT_LT(held, 40);
        EXPECT_EQ(video.packets, held - inFile.placeholders());
        EXPECT_EQ(inFile.headerFrames, held) << "the headers count only what was written";
        EXPECT_EQ(video.indexEntries, video.packets) << "an index covers every frame on disk";
        const auto line = Counts(form->FProject->Report.value(0));
        ASSERT_EQ(line.size(), 3u);
        EXPECT_EQ(line[0] + line[1], held) << "the report counts the frames in the file";
        EXPECT_EQ(line[0], inFile.placeholders());
        if (!Split) {
            const auto scenes = e2e::ReadScenes(ChangeFileExt(file, ".thf"));
            ASSERT_FALSE(scenes.empty());
            EXPECT_EQ(scenes.back().end, held) << "the scene file ends where the file does";
            EXPECT_LT(scenes.back().start, held);
        }
    }
    // A disk that takes no write for five seconds in the middle of a capture
    // at real time (a page cache written back, a slow USB disk): the capture
    // does not wait for it and loses no frame, and the files are whole.
    void StallTheDisk(bool Split)
    {
        if (Split) {
            std::string out;
            ASSERT_TRUE(e2e::RegisterWriter(&out)) << out;
        }
        const QString gate = QString::fromStdString(tapes.file("disk-stalled"));
        qputenv(th::riff::kHoldWritesVariable, gate.toUtf8());
        auto scenes = ThreeScenes();
        // The stall begins in the first scene and the second begins inside
        // it (a file finished while the disk takes nothing); the third begins
        // while the disk still catches up.
        scenes[0].frames = 75;
        scenes[1].frames = 150;
        Tape(scenes, 1);
        Window(toManual);
        form->FProject->SetSplitFiles(Split);
        ShowCapturePage();
        form->CaptureStart->trigger();
        ASSERT_TRUE(WaitForFrames(25));
        ASSERT_TRUE(QFile(gate).open(QIODevice::WriteOnly));
        Pause(5000);
        QFile::remove(gate);
        ASSERT_TRUE(th::test::waitUntil(
            [&] { return form->FProgressCount > 25 && form->DVCapture->GetTransportState() == tsStop; },
            std::chrono::seconds(60)));
        form->CaptureStop->trigger();
        qunsetenv(th::riff::kHoldWritesVariable);

        const auto line = Counts(form->FProject->Report.value(0));
        ASSERT_EQ(line.size(), 3u);
        // A busy machine may lose a frame at real time now and then; a capture
        // that waited for the disk would lose the 125 frames of the stall.
        EXPECT_LE(line[0], 3) << "frames dropped";
        const auto tapeFrames = e2e::TapeFrames(tape);
        std::int64_t held = 0;
        int previous = -1;
        ASSERT_EQ(form->FProject->Files.size(), Split ? 3 : 1);
        for (const QString& file : form->FProject->Files) {
            SCOPED_TRACE(file.toStdString());
            const e2e::FileSlots inFile = e2e::ReadSlots(file, tapeFrames);
            const avread::File av = avread::Read(file.toStdString());
            ASSERT_TRUE(av.opened) << av.error;
            EXPECT_EQ(av.streams.at(0).packets, std::int64_t(inFile.tape.size()) - inFile.placeholders());
            EXPECT_EQ(inFile.headerFrames, std::int64_t(inFile.tape.size()));
            // Frame by frame: the tape's frames in order, each lost one in its place.
            for (const int frame : inFile.tape) {
                if (frame >= 0) {
                    EXPECT_GT(frame, previous);
                    previous = frame;
                } else {
                    EXPECT_EQ(frame, -1) << "a frame that is not the tape's";
                    ++previous;
                }
            }
            held += std::int64_t(inFile.tape.size());
        }
        EXPECT_EQ(line[0] + line[1], held) << "the report counts the frames in the files";
        EXPECT_GT(held, 200);
    }
    // A folder that cannot be written: the start fails with one message in
    // words, nothing is listed, and neither a stop nor a deactivation raises.
    void ReadOnlyFolder(bool Split)
    {
        th::test::SmallDisk disk(th::test::SmallDisk::Kind::ReadOnly, 1024 * 1024);
        if (!disk.usable())
            GTEST_SKIP() << disk.why();
        Tape(ThreeScenes(), 4);
        Into(disk, Split);
        form->CaptureStart->trigger();
        const QString message = TakeMessage();
        EXPECT_TRUE(message.contains("\"" + CaptureFile() + "\"")) << message.toStdString();
        EXPECT_TRUE(message.contains(disk.mounted() ? "is read-only" : "cannot be created")) << message.toStdString();
        EXPECT_FALSE(message.contains("External exception")) << message.toStdString();
        EXPECT_TRUE(form->FProject->Files.isEmpty());
        EXPECT_EQ(form->DVCapture->GetTransportState(), tsStop) << "the next start begins where this one would have";
        EXPECT_NO_THROW(form->DVCapture->Stop());
        EXPECT_NO_THROW(form->DVCapture->SetActive(false));
        EXPECT_TRUE(QDir(disk.qpath()).entryList(QDir::Files).isEmpty());
    }
};

} // namespace

TEST_F(WriteFailure, AFullDiskStopsAOneFileCapture) { FillTheDisk(false); }
TEST_F(WriteFailure, AFullDiskStopsAOneFilePerSceneCapture) { FillTheDisk(true); }
TEST_F(WriteFailure, ADiskThatStallsLosesNoFrameOfAOneFileCapture) { StallTheDisk(false); }
TEST_F(WriteFailure, ADiskThatStallsLosesNoFrameOfAOneFilePerSceneCapture) { StallTheDisk(true); }
TEST_F(WriteFailure, AReadOnlyFolderFailsTheStartOfAOneFileCapture) { ReadOnlyFolder(false); }
TEST_F(WriteFailure, AReadOnlyFolderFailsTheStartOfAOneFilePerSceneCapture) { ReadOnlyFolder(true); }

// The scene file cannot be saved (a folder holds its name): the capture file
// is finished and listed first, then the failure is shown.
TEST_F(WriteFailure, ASceneFileThatCannotBeSavedComesAfterTheFinishedFile)
{
    Tape(ThreeScenes(), 4);
    Window(toManual);
    ShowCapturePage();
    ASSERT_TRUE(QDir().mkpath(ChangeFileExt(CaptureFile(), ".thf")));
    form->CaptureStart->trigger();
    ASSERT_TRUE(WaitForFrames(20));
    form->CaptureStop->trigger();
    const QString message = TakeMessage();
    EXPECT_TRUE(message.contains(ChangeFileExt(CaptureFile(), ".thf"))) << message.toStdString();
    EXPECT_EQ(form->FProject->Files, QStringList{CaptureFile()});
    const avread::File av = avread::Read(CaptureFile().toStdString());
    ASSERT_TRUE(av.opened) << av.error;
    EXPECT_GE(av.streams.at(0).packets, 20);
    EXPECT_EQ(av.streams.at(0).headerFrames, av.streams.at(0).packets) << "finished before the error";
    EXPECT_EQ(form->DVCapture->CaptureMode(), cmPreview);
}

TEST_F(CaptureRun, IntervalAndPercentFollowTheRange)
{
    Window(toXtoX);
    const TTimecode start = MakeTimecode(0, 10, 0, 0), end = MakeTimecode(0, 10, 5, 0);
    form->FProject->SetStartTime(start);
    form->FProject->SetEndTime(end);
    form->FStartFrame = TimecodeToFrames(start, 25);
    form->FEndFrame = TimecodeToFrames(end, 25);
    struct Row {
        TTimecode tc;
        int interval, percent;
    };
    for (const Row& r : {Row{start, 1000, 0}, Row{MakeTimecode(0, 10, 1, 24), 1000, 39},
                         Row{MakeTimecode(0, 10, 2, 0), 40, 40}, Row{end, 40, 100},
                         Row{MakeTimecode(0, 10, 6, 0), 40, 120}}) {
        form->FTimecode = r.tc;
        EXPECT_EQ(form->TimecodeInterval(), r.interval) << int(r.tc.Seconds) << ":" << int(r.tc.Frames);
        EXPECT_EQ(form->CaptureProgressPercent(TimecodeToFrames(r.tc, 25)), r.percent);
    }
    form->FStartFrame = 0;
    form->FEndFrame = 100;
    EXPECT_EQ(form->CaptureProgressPercent(29), 28) << "29 / 100 * 100 in doubles";
    EXPECT_EQ(form->CaptureProgressPercent(57), 56);
    form->FEndFrame = 0;
    EXPECT_EQ(form->CaptureProgressPercent(1234), 0) << "an empty interval";

    // No device: the tick is skipped, the last code and the interval stay.
    form->FTimecode = MakeTimecode(0, 10, 1, 0);
    form->TimecodeTimer->setInterval(777);
    form->TimecodeTimerTimer();
    EXPECT_EQ(form->FTimecode, MakeTimecode(0, 10, 1, 0));
    EXPECT_EQ(form->TimecodeTimer->interval(), 777);
    form->FProject->SetTapeOption(toNtoX);
    EXPECT_EQ(form->TimecodeInterval(), 40) << "one frame period";
}

TEST_F(CaptureRun, FramesCountOnTheMainThreadAndOnlyOlderRecordingsGoBack)
{
    Window(toNtoX);
    form->FCapturing = true;
    std::thread streaming([&] {
        form->CaptureProgress(5, 3, 7, 8, 9, 2004);
        form->CaptureProgress(5, 3, 7, 8, 9, 2004); // the same second
        form->CaptureProgress(5, 3, 7, 8, 10, 2004);
        form->CaptureProgress(0, 0, 0, 0, 0, 0); // no recording date
    });
    streaming.join(); // never waits for the main thread
    EXPECT_EQ(form->FProgressCount, 0) << "counted on the main thread";
    form->DeliverPosted();
    EXPECT_EQ(form->FProgressCount, 4);
    EXPECT_FALSE(form->FRecordTimeBack);
    EXPECT_EQ(form->CaptureDateTimeEdit->text(), "00.00.0000 00:00:00");
    form->CaptureProgress(5, 3, 7, 8, 9, 2004);
    form->DeliverPosted();
    EXPECT_TRUE(form->FRecordTimeBack);
    EXPECT_EQ(form->CaptureDateTimeEdit->text(), "05.03.2004 07:08:09");
    form->FCapturing = false;
}

TEST_F(CaptureRun, MissingSpaceRowComesAndGoesWithTheRest)
{
    Window(toXtoX);
    form->FProject->SetEndTime(MakeTimecode(200, 0, 0, 0)); // far more than any test disk holds
    QTreeWidget* view = form->DriveInfoView;
    form->UpdateDriveInfo(false);
    ASSERT_EQ(view->topLevelItemCount(), 1);
    EXPECT_EQ(view->topLevelItem(0)->text(0), "Free disk space:");
    EXPECT_TRUE(view->topLevelItem(0)->text(2).startsWith("about ")) << view->topLevelItem(0)->text(2).toStdString();
    form->UpdateDriveInfo(true);
    ASSERT_EQ(view->topLevelItemCount(), 3);
    EXPECT_EQ(view->topLevelItem(1)->text(1), "about " + FormatBytes("", true, 720000LL * 3866695));
    EXPECT_EQ(view->topLevelItem(1)->text(2), FormatDuration(1, 720000) + " of video");
    EXPECT_EQ(view->topLevelItem(2)->text(0), "Missing space:");
    form->FTimecode = MakeTimecode(199, 59, 0, 0);
    form->UpdateDriveInfo(true);
    ASSERT_EQ(view->topLevelItemCount(), 2) << "a minute of video fits";
    EXPECT_EQ(view->topLevelItem(1)->text(2), FormatDuration(1, 60) + " of video");
    form->FProject->SetTapeOption(toManual);
    form->UpdateDriveInfo(true);
    EXPECT_EQ(view->topLevelItemCount(), 1);
}

TEST_F(CaptureRun, XtoXStopsAtTheEndTimecodeAndGoesToFinish)
{
    Tape(ThreeScenes(), 1);
    Window(toXtoX);
    // The deck winds to the start after the seek returns; the capture waits for it.
    form->FProject->SetStartTime(MakeTimecode(0, 0, 2, 0));
    form->FProject->SetEndTime(MakeTimecode(0, 0, 3, 0));
    ShowCapturePage();
    ASSERT_TRUE(form->FCapturing) << Status().toStdString();
    EXPECT_FALSE(form->CaptureProgressBar->isHidden());
    EXPECT_TRUE(form->CaptureStatusText->isHidden());
    EXPECT_TRUE(form->TimecodeTimer->isActive());
    EXPECT_FALSE(form->NextPage->isEnabled());
    ASSERT_TRUE(WaitForTheEnd());

    const auto counts = Counts(form->FProject->Report.value(0));
    ASSERT_EQ(counts.size(), 3u) << form->FProject->Report.join("|").toStdString();
    EXPECT_GE(counts[1], 20);
    EXPECT_LE(counts[1], 40) << "stopped soon after the end code";
    EXPECT_GT(TimecodeDiff(form->FTimecode, form->FProject->EndTime, 25), 0);
    EXPECT_GE(form->CaptureProgressBar->value(), 80);
    EXPECT_TRUE(form->CaptureProgressBar->isHidden());
    EXPECT_EQ(form->FProject->TapeOption, toManual);
    const auto saved = TTHProject::CreateFromFile(form->FProject->FileName);
    EXPECT_EQ(saved->TapeOption, toXtoX) << "saved as chosen";
    EXPECT_EQ(saved->Files, QStringList{CaptureFile()}) << "with the file the stop reported";
    EXPECT_EQ(form->FProject->Files, QStringList{CaptureFile()});
    EXPECT_EQ(form->PageControl->currentWidget(), form->FinishTab);

    // The file begins at the start, less what passed before the graph ran.
    const e2e::FileSlots inFile = e2e::ReadSlots(CaptureFile(), e2e::TapeFrames(tape));
    ASSERT_FALSE(inFile.tape.empty());
    EXPECT_GE(inFile.tape.front(), 50);
    EXPECT_LT(inFile.tape.front(), 65);
}

TEST_F(CaptureRun, NtoXEndsAtTheOlderRecordingAndADeviceArrivalDoesNotCaptureAgain)
{
    auto scenes = ThreeScenes();
    scenes.insert(scenes.begin() + 2, At(40, 2004, 3, 4, 10, 0, 0, "yellow", QColor(255, 255, 0)));
    Tape(scenes, 4);
    Window(toNtoX);
    ShowCapturePage();
    ASSERT_TRUE(form->FCapturing);
    EXPECT_TRUE(form->DetectIntermediateStopTimer->isActive());
    ASSERT_TRUE(WaitForTheEnd());
    const auto counts = Counts(form->FProject->Report.value(0));
    ASSERT_EQ(counts.size(), 3u);
    EXPECT_GE(counts[1], 45) << "into the second scene";
    EXPECT_LT(counts[1], 80) << "not through the older one";
    EXPECT_GE(counts[2], 2);

    const QFileInfo before(CaptureFile());
    ASSERT_TRUE(before.exists());
    ASSERT_TRUE(th::dv::unplugCamcorder());
    ASSERT_TRUE(th::test::waitUntil([&] { return !form->DVCapture->Active(); }));
    ASSERT_TRUE(th::dv::plugCamcorder());
    ASSERT_TRUE(th::test::waitUntil([&] { return form->DVCapture->Active(); }));
    Pause(300);
    EXPECT_NE(form->DVCapture->GetCaptureState(), csRunned);
    EXPECT_EQ(form->DVCapture->CaptureMode(), cmPreview);
    const QFileInfo after(CaptureFile());
    EXPECT_EQ(after.size(), before.size()) << "the finished file is left alone";
    EXPECT_EQ(after.lastModified(), before.lastModified());
    EXPECT_EQ(form->FProject->Report.size(), 1);
}

TEST_F(CaptureRun, BtoERewindsCapturesTheWholeTapeAndRewindsAgain)
{
    Tape(ThreeScenes(), 4);
    Window(toBtoE);
    form->FProject->SetRewindTape(true);
    ShowCapturePage();
    ASSERT_TRUE(form->FCapturing);
    ASSERT_TRUE(WaitForTheEnd());
    ExpectWholeTape(form->FProject->Report.value(0));
    TTimecode tc{};
    EXPECT_TRUE(th::test::waitUntil([&] {
        return form->DVCapture->GetTransportState() == tsStop && form->DVCapture->ReadTimecode(tc) &&
               tc == MakeTimecode(0, 0, 0, 0);
    })) << "rewound after the end";
}

// The tape begins with ten seconds of blank tape, on which the deck delivers
// nothing: the capture waits through it for the recording, which it captures
// from its first frame, and ends at the end of the tape.
TEST_F(CaptureRun, BtoEWaitsThroughABlankLeaderForTheRecording)
{
    Tape(ThreeScenes(), 1, 25, th::dv::DeviceKind::Vcr, 10);
    Window(toBtoE);
    ShowCapturePage();
    ASSERT_TRUE(form->FCapturing);
    ASSERT_TRUE(WaitForTheEnd(std::chrono::seconds(90)));
    EXPECT_EQ(form->PageControl->currentWidget(), form->FinishTab);
    const QString line = form->FProject->Report.value(0);
    const auto counts = Counts(line);
    ASSERT_EQ(counts.size(), 3u) << line.toStdString();
    // A busy machine may drop a frame now and then at real time.
    EXPECT_GE(counts[1], 75) << "the recording: " << line.toStdString();
    EXPECT_LE(counts[1], 85);
    EXPECT_EQ(counts[2], 3);
}

// A deck that stops by itself while the tape is still blank (blank to its
// end, or a deck that gives up) ends the whole-tape capture with a word.
TEST_F(CaptureRun, BtoEOnTapeThatStaysBlankEndsWhenTheDeckStops)
{
    Tape(ThreeScenes(), 1, 25, th::dv::DeviceKind::Vcr, 10);
    Window(toBtoE);
    ShowCapturePage();
    ASSERT_TRUE(form->FCapturing);
    ASSERT_TRUE(th::test::waitUntil([&] { return form->DVCapture->GetTransportState() == tsPlay; },
                                    std::chrono::seconds(30)));
    form->DVCapture->TransportStop();
    ASSERT_TRUE(WaitForTheEnd(std::chrono::seconds(60)));
    EXPECT_EQ(form->FProgressCount, 0) << "stopped on the leader";
    EXPECT_TRUE(form->CaptureStatusText->text().startsWith("No video came from the tape"))
        << form->CaptureStatusText->text().toStdString();
}

TEST_F(CaptureRun, ManualCapturesReturnToThePreviewWithALineEach)
{
    // The deck plays before the graph runs, as the wizard starts it: a long
    // first scene keeps a busy machine from missing all of it.
    auto scenes = ThreeScenes();
    scenes[0].frames = 160;
    Tape(scenes, 4);
    Window(toManual);
    ShowCapturePage();
    EXPECT_TRUE(form->NextPage->isEnabled());
    EXPECT_EQ(form->CaptureBalloonHint->Description(), "To run capture press the Start Capture button.");
    for (int run = 1; run <= 2; ++run) {
        SCOPED_TRACE(run);
        ASSERT_EQ(form->DVCapture->GetCaptureState(), csRunned) << "the preview runs";
        form->CaptureDroppedEdit->setText(QStringLiteral("12"));
        form->StartCaptureButton->click();
        ASSERT_TRUE(form->FCapturing);
        EXPECT_EQ(form->CaptureDroppedEdit->text(), "0") << "not the last capture's";
        EXPECT_EQ(form->CaptureBalloonHint->Shown(), run == 1) << "the stop balloon once per entry";
        EXPECT_FALSE(form->PreviosPage->isEnabled());
        EXPECT_TRUE(form->CaptureStop->isEnabled());
        EXPECT_FALSE(form->TimecodeTimer->isActive() || form->DetectIntermediateStopTimer->isActive());
        ASSERT_TRUE(WaitForTapeEnd());
        form->StopCaptureButton->click();
        ASSERT_EQ(form->FProject->Report.size(), run);
        ExpectWholeTape(form->FProject->Report.last(), 205); // the scenes counted anew
        EXPECT_FALSE(form->FCapturing);
        EXPECT_EQ(form->DVCapture->CaptureMode(), cmPreview);
        EXPECT_TRUE(form->NextPage->isEnabled());
        EXPECT_FALSE(form->CaptureDiskSpaceMonitorTimer->isActive() ||
                     form->CapSetupCameraMonitoringTimer->isActive());
        EXPECT_EQ(Status(), "Ready for capture. Press the Start Capture button to begin.");
        form->CamRew->trigger();
        ASSERT_TRUE(th::test::waitUntil([&] { return form->DVCapture->GetTransportState() == tsStop; }));
    }
    // The second capture keeps the first one's file and goes beside it.
    EXPECT_EQ(form->FProject->Files, (QStringList{CaptureFile(), CaptureFile("Tape (2)")}));
    for (const QString& file : form->FProject->Files) {
        EXPECT_GT(QFileInfo(file).size(), 100000) << file.toStdString();
        EXPECT_TRUE(QFile::exists(ChangeFileExt(file, ".thf"))) << file.toStdString();
    }
    EXPECT_EQ(form->CaptureScenesListView->count(), 6);
    EXPECT_TRUE(form->CaptureScenesListView->item(0)->text().startsWith("05.03.2004 07:08:"))
        << form->CaptureScenesListView->item(0)->text().toStdString();

    // Through Capture Setup again, the user answers "Rewrite" for the file
    // the second capture wrote: the next capture goes there, not beside it.
    form->LeaveCapturePage();
    SetModalHook([](QDialog&) { return 2; });
    form->ChooseCaptureFileName();
    SetModalHook({});
    ASSERT_EQ(form->FCaptureFileName, CaptureFile("Tape (2)"));
    form->CaptureScenesListView->Clear();
    ShowCapturePage();
    EXPECT_EQ(form->CaptureScenesListView->count(), 6) << "its scenes stay until the file is written anew";
    form->CaptureStart->trigger();
    ASSERT_TRUE(WaitForTapeEnd());
    form->CaptureStop->trigger();
    EXPECT_EQ(form->CaptureScenesListView->count(), 6) << "the old scenes of the rewritten file went";
    EXPECT_EQ(form->FProject->Files.value(2), CaptureFile("Tape (2)"));
    EXPECT_FALSE(QFile::exists(CaptureFile("Tape (3)")));
    EXPECT_FALSE(QFile::exists(CaptureFile("Tape (2) (2)")));
}

TEST_F(CaptureRun, OneFilePerSceneListsEveryFile)
{
    std::string out;
    ASSERT_TRUE(e2e::RegisterWriter(&out)) << out;
    Tape(ThreeScenes(), 4);
    Window(toManual);
    form->FProject->SetSplitFiles(true);
    ShowCapturePage();
    form->CaptureStart->trigger();
    ASSERT_TRUE(WaitForTapeEnd());
    form->CaptureStop->trigger();
    QStringList expected;
    for (const auto& s : ThreeScenes())
        expected << CaptureFile("Tape" + e2e::Stamp(s));
    EXPECT_EQ(form->FProject->Files, expected);
    EXPECT_EQ(Counts(form->FProject->Report.value(0)).at(2), 3);
}

TEST_F(CaptureRun, ARemovedDeviceStopsTheCaptureAsTheStopButtonDoes)
{
    Tape(ThreeScenes(), 1);
    Window(toManual);
    ShowCapturePage();
    form->CaptureStart->trigger();
    ASSERT_TRUE(WaitForFrames(10));
    ASSERT_TRUE(th::test::waitUntil([&] { return form->FLastNotDropped >= 10; })) << "counts read while it runs";
    ASSERT_TRUE(th::dv::unplugCamcorder());
    ASSERT_TRUE(WaitForTheEnd());
    // The counts say what the file holds, read once the graph had stopped.
    const auto counts = Counts(form->FProject->Report.value(0));
    EXPECT_GT(counts.at(1), 0);
    EXPECT_EQ(counts.at(0) + counts.at(1), int(e2e::ReadSlots(CaptureFile(), {}).tape.size()));
    EXPECT_EQ(form->FProject->Files, QStringList{CaptureFile()});
    EXPECT_TRUE(Status().startsWith("The camcorder was disconnected during the capture")) << Status().toStdString();
    EXPECT_EQ(form->CaptureSignalLabel->text(), "No signal");
    EXPECT_EQ(form->CaptureCameraModeLabel->text(), "Off");
    EXPECT_FALSE(form->CaptureStart->isEnabled());
    EXPECT_TRUE(form->NextPage->isEnabled());
    EXPECT_EQ(form->PageControl->currentWidget(), form->CaptureTab);
}

TEST_F(CaptureRun, ACaptureThatGetsNoFrameEndsWithAWord)
{
    Tape(ThreeScenes(), 4, 3000);
    Window(toManual);
    ShowCapturePage();
    // The deck runs on past the recording, then a capture to the end of the
    // recording is started there.
    form->CamPlay->trigger();
    TTimecode tc{};
    ASSERT_TRUE(th::test::waitUntil([&] { return form->FProgressCount >= 60 && !form->DVCapture->ReadTimecode(tc); }));
    form->FProject->SetTapeOption(toNtoX);
    form->CaptureStart->trigger();
    ASSERT_TRUE(form->FCapturing);
    ASSERT_TRUE(WaitForTheEnd());
    EXPECT_EQ(Status(), "No video came from the tape: there is no recording where the capture started. The capture "
                        "is stopped.");
    EXPECT_EQ(Counts(form->FProject->Report.value(0)).at(1), 0);
    EXPECT_TRUE(form->NextPage->isEnabled());
    EXPECT_EQ(form->PageControl->currentWidget(), form->CaptureTab);
}

TEST_F(CaptureRun, AFailedStartLeavesThePageUsable)
{
    Tape(ThreeScenes(), 4);
    Window(toXtoX);
    form->FProject->SetEndTime(MakeTimecode(0, 0, 2, 0));
    form->EnterCapturePage();
    // Where the capture file should go there is a folder of that name.
    ASSERT_TRUE(QDir().mkpath(CaptureFile()));
    form->PageControl->setCurrentWidget(form->CaptureTab);
    form->Guarded([&] { form->CaptureTabShow(); });
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages.takeFirst().startsWith("The capture did not start. "));
    EXPECT_FALSE(form->FCapturing);
    EXPECT_EQ(Status(), "The capture did not start. Press the Start Capture button to try again.");
    EXPECT_TRUE(form->NextPage->isEnabled() && form->PreviosPage->isEnabled());
    EXPECT_TRUE(form->CaptureStart->isEnabled());
    EXPECT_FALSE(form->CaptureStop->isEnabled());
    EXPECT_FALSE(form->CaptureProgressBar->isVisibleTo(form->CaptureTab));

    // The folder mended, Start Capture captures the range.
    ASSERT_TRUE(QDir(CaptureFile()).removeRecursively());
    form->CamRew->trigger();
    form->CaptureStart->trigger();
    ASSERT_TRUE(form->FCapturing);
    ASSERT_TRUE(WaitForTheEnd());
    EXPECT_EQ(form->PageControl->currentWidget(), form->FinishTab);
    EXPECT_GT(QFileInfo(CaptureFile()).size(), 100000);
}

// A start past the recording: the deck takes the seek, winds to the end of
// the recording and stops there, and only then refuses it. Nothing is captured
// from the blank tape; the page is left as after a failed start, the deck
// stopped, every way on open.
TEST_F(CaptureRun, AFailedSeekLeavesThePageUsable)
{
    Tape(ThreeScenes(), 4);
    Window(toXtoX);
    form->FProject->SetStartTime(MakeTimecode(0, 0, 8, 0));
    form->FProject->SetEndTime(MakeTimecode(0, 0, 9, 0));
    form->Guarded([&] { ShowCapturePageWithoutWaiting(); });
    EXPECT_NE(form->FTapeWait, TMainForm::TTapeWait::None) << "the deck winds first";
    ASSERT_TRUE(WaitForTheTape());
    ASSERT_EQ(messages.size(), 1);
    const QString message = messages.takeFirst();
    EXPECT_TRUE(message.startsWith("The tape could not be set to the start position (00h00m08s00f): the deck stopped "
                                   "where the tape has no recording."))
        << message.toStdString();
    EXPECT_FALSE(form->FCapturing);
    EXPECT_TRUE(form->FProject->Report.isEmpty()) << "nothing was captured";
    EXPECT_EQ(form->FTapeWait, TMainForm::TTapeWait::None);
    EXPECT_TRUE(Status().startsWith("The tape could not be set to the start position (00h00m08s00f).")) << Status().toStdString();
    EXPECT_TRUE(form->NextPage->isEnabled() && form->PreviosPage->isEnabled());
    EXPECT_TRUE(form->CaptureStart->isEnabled());
    EXPECT_FALSE(form->CaptureStop->isEnabled());
    EXPECT_EQ(form->DVCapture->GetTransportState(), tsStop);

    // The user winds back into the recording and captures from there.
    ASSERT_TRUE(form->DVCapture->TransportRew());
    ASSERT_TRUE(th::test::waitUntil([&] { return form->DVCapture->GetTransportState() == tsStop; }));
    form->CaptureStart->trigger();
    ASSERT_TRUE(form->FCapturing);
    ASSERT_TRUE(WaitForFrames(10));
    form->CaptureStop->trigger();
    EXPECT_EQ(form->FProject->Report.size(), 1);
    EXPECT_TRUE(form->NextPage->isEnabled());
}

// The window goes on with its work while the deck rewinds a long tape, and
// Stop Capture, or closing the window, ends the wait with the deck stopped.
TEST_F(CaptureRun, TheWindowLivesWhileTheTapeRewindsAndStopEndsTheWait)
{
    // Two minutes of tape, wound to its end fast, then rewound at real time.
    Tape(ThreeScenes(), 8, 3000);
    Window(toBtoE);
    form->EnterCapturePage();
    ASSERT_TRUE(form->DVCapture->TransportFForw());
    ASSERT_TRUE(th::test::waitUntil([&] { return form->DVCapture->GetTransportState() == tsStop; }));
    ASSERT_TRUE(th::dv::setCamcorderSpeed(1));

    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    ticker.start(10);
    for (const bool byClosing : {false, true}) {
        SCOPED_TRACE(byClosing ? "closing the window" : "Stop Capture");
        form->PageControl->setCurrentWidget(form->CaptureTab);
        form->CaptureTabShow();
        ASSERT_NE(form->FTapeWait, TMainForm::TTapeWait::None);
        EXPECT_EQ(Status(), "Rewinding the tape.");
        EXPECT_FALSE(form->NextPage->isEnabled() || form->PreviosPage->isEnabled());
        EXPECT_TRUE(form->CaptureStop->isEnabled());
        ticks = 0;
        ASSERT_TRUE(th::test::waitUntil([&] { return ticks >= 5; }));
        EXPECT_NE(form->FTapeWait, TMainForm::TTapeWait::None) << "still rewinding, and the loop runs";

        if (byClosing)
            form->close();
        else
            form->CaptureStop->trigger();
        EXPECT_EQ(form->FTapeWait, TMainForm::TTapeWait::None);
        EXPECT_FALSE(form->FCapturing);
        EXPECT_TRUE(th::test::waitUntil([&] { return form->DVCapture->GetTransportState() == tsStop; }));
        if (!byClosing) {
            EXPECT_TRUE(Status().startsWith("Stopped before the capture began.")) << Status().toStdString();
            EXPECT_TRUE(form->NextPage->isEnabled() && form->PreviosPage->isEnabled());
            EXPECT_TRUE(form->CaptureStart->isEnabled());
            EXPECT_FALSE(form->CaptureStop->isEnabled());
            EXPECT_TRUE(form->FProject->Report.isEmpty()) << "nothing was captured";
        }
    }
    EXPECT_FALSE(form->isVisible());
}
