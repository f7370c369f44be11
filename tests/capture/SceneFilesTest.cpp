// Scene files end to end: the engine on the virtual camcorder with the writer
// plugin, one file per scene and one file with its scene file, the files read
// back by libavformat and walked chunk by chunk; at real time, frame by frame
// through late, damaged and undated frames and a second run.
#include "EngineRun.h"

#include "AvRead.h"

#include "capture/TlmFrmGrb.h"
#include "platform/rtl/SysUtils.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <thread>

namespace {

class SceneFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string out;
        ASSERT_TRUE(e2e::RegisterWriter(&out)) << out;
        tape = tapes.file("tape.dv");
        ASSERT_TRUE(e2e::MakeTape(tape, scenes, &out)) << out;
        ASSERT_TRUE(e2e::Camcorder(tape, 8));
        dv.SetFileName(dir.qpath() + "/capture.avi");
        collected.Watch(dv);
    }
    void TearDown() override
    {
        dv.SetActive(false);
        th::dv::removeCamcorder();
    }
    // The hash of frame n of the tape, as a video packet of a type-2 file holds it.
    std::uint64_t TapeFrameHash(int n) const
    {
        std::ifstream f(tape, std::ios::binary);
        std::vector<char> frame(144000);
        f.seekg(std::streamoff(n) * 144000);
        f.read(frame.data(), std::streamsize(frame.size()));
        return avread::Hash(frame.data(), frame.size());
    }
    QString SceneFile(int i) const { return dir.qpath() + "/capture" + e2e::Stamp(scenes[i]) + ".avi"; }

    th::test::TempDir tapes, dir;
    std::string tape;
    const std::vector<e2e::Scene> scenes = e2e::FiveScenes();
    e2e::Collected collected; // outlives the component
    TTlmDVCapture dv;
};

} // namespace

TEST_F(SceneFiles, EverySceneGoesIntoItsOwnFileFromItsFirstFrame)
{
    for (const TCaptureMode mode : {cmDVType2, cmDVType1}) {
        SCOPED_TRACE(mode == cmDVType2 ? "type 2" : "type 1");
        for (int i = 0; i < 5; ++i)
            QFile::remove(SceneFile(i));
        collected.files.clear();
        collected.pictures.clear();
        collected.pictureDates.clear();
        collected.frames = 0;
        dv.SetSceneDetection(sdSingleFile);
        dv.SetActive(false);
        dv.SetCaptureMode(mode);
        dv.SetSceneDetection(sdMultiFiles); // activates with the graph of the mode
        ASSERT_TRUE(dv.Active());
        ASSERT_TRUE(QFile::exists(dir.qpath() + "/capture.tmp")) << "the writer starts in the temporary file";
        dv.TransportRew();
        ASSERT_TRUE(th::test::waitUntil([&] { return dv.GetTransportState() == tsStop; }));
        ASSERT_TRUE(e2e::CaptureTape(dv, collected, e2e::TotalFrames(scenes), std::chrono::seconds(60), 5));

        QStringList expected;
        for (int i = 0; i < 5; ++i)
            expected << SceneFile(i);
        EXPECT_EQ(collected.Files(), expected) << "each file reported once, in order";
        QStringList onDisk = QDir(dir.qpath()).entryList(QDir::Files, QDir::Name);
        EXPECT_EQ(onDisk.size(), 5) << onDisk.join(", ").toStdString();
        EXPECT_FALSE(onDisk.join(" ").contains(".tmp")) << "no temporary file is left";

        const auto starts = e2e::SceneStarts(scenes);
        std::int64_t audioBytes = 0;
        for (int i = 0; i < 5; ++i) {
            const avread::File f = avread::Read(SceneFile(i).toStdString());
            ASSERT_TRUE(f.opened) << f.error;
            const avread::Stream* video = nullptr;
            const avread::Stream* audio = nullptr;
            for (const auto& s : f.streams) {
                if (s.type == "video" && !video)
                    video = &s;
                if (s.type == "audio" && !audio)
                    audio = &s;
            }
            ASSERT_NE(video, nullptr);
            ASSERT_NE(audio, nullptr) << "the sound is in every file";
            EXPECT_EQ(video->packets, scenes[i].frames) << i;
            if (mode == cmDVType2 && !video->hashes.empty()) {
                EXPECT_EQ(video->hashes.front(), TapeFrameHash(starts[i])) << "file " << i << " starts at its scene";
            }
            if (mode == cmDVType2)
                audioBytes += audio->bytes;
        }
        if (mode == cmDVType2) {
            EXPECT_EQ(audioBytes, std::int64_t(e2e::TotalFrames(scenes)) * 1920 * 4) << "all of the sound";
        }

        std::lock_guard<std::mutex> g(collected.lock);
        ASSERT_EQ(collected.pictures.size(), 5u) << "one picture per scene";
        for (int i = 0; i < 5; ++i) {
            EXPECT_EQ(e2e::NearestScene(collected.pictures[i], scenes), i) << "picture " << i;
            EXPECT_EQ(collected.pictureDates[i], QString::asprintf("%04d-%02d-%02d %02d:%02d:%02d", scenes[i].year,
                                                                   scenes[i].month, scenes[i].day, scenes[i].hour,
                                                                   scenes[i].min, scenes[i].sec));
        }
    }
}

TEST_F(SceneFiles, ASecondRunOnTheSameGraphLeavesTheLastSceneFileWhole)
{
    dv.SetCaptureMode(cmDVType2);
    dv.SetSceneDetection(sdMultiFiles);
    ASSERT_TRUE(dv.Active());
    ASSERT_TRUE(e2e::CaptureTape(dv, collected, e2e::TotalFrames(scenes)));
    const std::string last = SceneFile(4).toStdString();
    const std::int64_t packets = avread::Read(last).streams.at(0).packets;
    ASSERT_EQ(packets, scenes[4].frames);

    // The tape stands at its end: a new run gets no frames, and must not open
    // the last scene file again.
    collected.files.clear();
    dv.Start();
    th::test::waitUntil([] { return false; }, std::chrono::milliseconds(200));
    dv.Stop();
    EXPECT_EQ(avread::Read(last).streams.at(0).packets, packets);
    EXPECT_TRUE(collected.Files().isEmpty());
    EXPECT_FALSE(QFile::exists(dir.qpath() + "/capture.tmp"));
}

// --- Frame-exact captures at real time ------------------------------------------------------------

namespace {

// Three scenes, captured from the middle of the first at real time, with
// damaged frames at the end of the second, just before the third begins; the
// tape's time code runs from 00:00:00:00, so a frame's number on the tape is
// its time code.
class FrameExact : public ::testing::Test {
protected:
    static constexpr int kFrom = 15;
    static constexpr int kDamagedFrom = 76, kDamagedTo = 80;

    void SetUp() override
    {
        std::string out;
        ASSERT_TRUE(e2e::RegisterWriter(&out)) << out;
        tape = tapes.file("tape.dv");
        ASSERT_TRUE(e2e::MakeTape(tape, scenes, &out)) << out;
        tapeFrames = e2e::TapeFrames(tape);
        e2e::DamageFrames(tape, kDamagedFrom, kDamagedTo);
        ASSERT_TRUE(e2e::Camcorder(tape, 1, 10));
        dv.SetAutoStart(false);
        dv.SetFileName(dir.qpath() + "/capture.avi");
        collected.Watch(dv);
    }
    void TearDown() override
    {
        dv.SetActive(false);
        th::dv::removeCamcorder();
    }
    // An empty capture folder and the component active with the graph of the mode.
    bool Afresh(TCaptureMode mode, TSceneDetectionMethod detection)
    {
        for (const QString& f : QDir(dir.qpath()).entryList(QDir::Files))
            QFile::remove(dir.qpath() + "/" + f);
        dv.SetActive(false);
        dv.SetCaptureMode(mode);
        dv.SetSceneDetection(detection);
        dv.SetActive(true);
        return dv.Active();
    }
    int SceneOf(int frame) const
    {
        const auto starts = e2e::SceneStarts(scenes);
        for (int i = int(starts.size()) - 1; i >= 0; --i)
            if (frame >= starts[std::size_t(i)])
                return i;
        return -1;
    }
    // Captures from tape frame `from` to the end of the tape while the
    // transport is asked for its state and time code all the while, as the
    // wizard does; with `slow`, the 40th frame's handler takes 1.6 s (40
    // frame periods, longer than the deck holds the frames that passed), so
    // that frames go by undelivered.
    bool CaptureFrom(int from, bool slow)
    {
        {
            std::lock_guard<std::mutex> g(collected.lock);
            collected.files.clear();
        }
        collected.frames = 0;
        if (!dv.SeekATN(MakeTimecode(0, 0, BYTE(from / 25), BYTE(from % 25)))
            || !th::test::waitUntil([&] { return dv.GetTransportState() == tsStop; }))
            return false;
        int handled = 0;
        dv.OnCaptureProgress = [this, slow, handled](BYTE, BYTE, BYTE, BYTE, BYTE, int) mutable {
            ++collected.frames;
            if (slow && ++handled == 40)
                std::this_thread::sleep_for(std::chrono::milliseconds(1600));
        };
        dv.Start();
        if (!dv.TransportPlay())
            return false;
        TTimecode tc;
        const bool done = th::test::waitUntil(
            [&] {
                dv.ReadTimecode(tc);
                return collected.frames >= 10 && dv.GetTransportState() == tsStop;
            },
            std::chrono::seconds(60));
        // The deck has stopped, but a slow build may still be taking the
        // frames the deck holds: stop once they have all come.
        for (int seen = -1; done && seen != collected.frames;) {
            seen = collected.frames;
            th::test::waitUntil([&] { return collected.frames != seen; }, std::chrono::seconds(1));
        }
        dv.Stop();
        return done;
    }
    // The files of a run, each read slot by slot: together they hold one slot
    // per tape frame from `from` on, placeholders where frames were lost, as
    // many as the device counted; the sound of each file is as long as its
    // pictures, its header and index say how long it is.
    std::vector<e2e::FileSlots> CheckRun(const QStringList& files, int from, bool type2)
    {
        std::vector<e2e::FileSlots> out;
        int dropped = -1, delivered = -1;
        dv.LastFrameCounts(dropped, delivered);
        std::vector<int> all;
        for (const QString& file : files) {
            SCOPED_TRACE(file.toStdString());
            e2e::FileSlots s = e2e::ReadSlots(file, tapeFrames);
            EXPECT_EQ(s.headerFrames, std::int64_t(s.tape.size()));
            if (type2) {
                EXPECT_EQ(s.audioLength, s.audioSamples) << "the header counts samples";
                EXPECT_EQ(s.audioIndexed, s.audioSamples) << "the index counts samples";
                // Sound and pictures start together and stay in step.
                EXPECT_LE(std::abs(s.audioSamples - std::int64_t(s.tape.size()) * 1920), 1920);
            }
            all.insert(all.end(), s.tape.begin(), s.tape.end());
            out.push_back(std::move(s));
        }
        const int missing = int(std::count(all.begin(), all.end(), -1));
        EXPECT_EQ(missing, dropped) << "the report counts the frames missing";
        EXPECT_EQ(int(all.size()) - missing, delivered);
        int misplaced = 0;
        for (std::size_t k = 0; k < all.size(); ++k)
            if (all[k] != -1 && all[k] != from + int(k) && misplaced++ < 5)
                ADD_FAILURE() << "slot " << k << " holds tape frame " << all[k] << ", not " << from + int(k);
        EXPECT_EQ(misplaced, 0) << "every slot holds its own tape frame";
        const int total = e2e::TotalFrames(scenes);
        EXPECT_LE(from + int(all.size()), total);
        EXPECT_GE(from + int(all.size()), total - 8) << "up to the end of the tape";
        return out;
    }

    th::test::TempDir tapes, dir;
    std::string tape;
    std::map<std::uint64_t, int> tapeFrames;
    const std::vector<e2e::Scene> scenes = {
        {35, 2003, 6, 15, 14, 22, 5, "red", QColor(255, 0, 0)},
        {45, 2003, 6, 15, 15, 0, 0, "green", QColor(0, 255, 0)},
        {40, 2003, 6, 16, 9, 30, 0, "blue", QColor(0, 0, 255)},
    };
    e2e::Collected collected; // outlives the component
    TTlmDVCapture dv;
};

} // namespace

TEST_F(FrameExact, LateAndDamagedFramesKeepTheirPlacesInEveryModeAndTheCountsSayHowMany)
{
    for (const TSceneDetectionMethod detection : {sdSingleFile, sdMultiFiles})
        for (const TCaptureMode mode : {cmDVType1, cmDVType2}) {
            const bool type2 = mode == cmDVType2;
            SCOPED_TRACE(std::string(type2 ? "type 2, " : "type 1, ") +
                         (detection == sdSingleFile ? "one file" : "one file per scene"));
            ASSERT_TRUE(Afresh(mode, detection));
            ASSERT_TRUE(CaptureFrom(kFrom, true));
            int dropped = 0, delivered = 0;
            dv.LastFrameCounts(dropped, delivered);
            EXPECT_GE(dropped, kDamagedTo - kDamagedFrom + 3) << "damaged and late frames";

            if (detection == sdSingleFile) {
                ASSERT_EQ(collected.Files(), QStringList{dir.qpath() + "/capture.avi"});
                const auto files = CheckRun(collected.Files(), kFrom, type2);
                const std::vector<int>& inFile = files.at(0).tape;
                const auto entries = e2e::ReadScenes(dir.qpath() + "/capture.thf");
                ASSERT_EQ(entries.size(), scenes.size());
                TTlmFramesGrabber grabber;
                grabber.BitmapWidth = 160;
                grabber.BitmapHeight = 120;
                for (std::size_t i = 0; i < entries.size(); ++i) {
                    SCOPED_TRACE(i);
                    // A scene starts at the first of its frames in the file.
                    const auto first = std::find_if(inFile.begin(), inFile.end(),
                                                    [&](int f) { return f >= 0 && SceneOf(f) == int(i); });
                    ASSERT_NE(first, inFile.end());
                    EXPECT_EQ(entries[i].start, int(first - inFile.begin()));
                    EXPECT_EQ(entries[i].end,
                              i + 1 < entries.size() ? entries[i + 1].start - 1 : int(inFile.size()));
                    // The scene list's picture of the scene is of the scene.
                    QImage picture;
                    ASSERT_TRUE(grabber.GrabFrame(dir.qpath() + "/capture.avi", picture, entries[i].start));
                    EXPECT_EQ(e2e::NearestScene(picture, scenes), int(i));
                }
            } else {
                QStringList expected;
                for (const auto& s : scenes)
                    expected << dir.qpath() + "/capture" + e2e::Stamp(s) + ".avi";
                ASSERT_EQ(collected.Files(), expected);
                const auto files = CheckRun(collected.Files(), kFrom, type2);
                for (std::size_t i = 0; i < files.size(); ++i) {
                    SCOPED_TRACE(i);
                    // Every frame of a scene file is of its scene, and frames
                    // lost before a scene's first frame end the file before it,
                    // as they end the scene before it in one file.
                    for (const int f : files[i].tape)
                        if (f >= 0) {
                            EXPECT_EQ(SceneOf(f), int(i)) << f;
                        }
                    if (i > 0 && !files[i].tape.empty()) {
                        EXPECT_GE(files[i].tape.front(), 0) << "a scene file starts with a frame of its scene";
                    }
                }
            }
        }
}

TEST_F(FrameExact, ASecondRunOfOneFilePerSceneLosesNoFrameAndOverwritesNoFile)
{
    dv.SetCaptureMode(cmDVType2);
    dv.SetSceneDetection(sdMultiFiles);
    ASSERT_TRUE(dv.Active());
    const int from = 70; // in the last two scenes
    ASSERT_TRUE(CaptureFrom(from, false));
    const QStringList first = collected.Files();
    ASSERT_EQ(first.size(), 2);
    std::vector<std::vector<int>> firstSlots;
    for (const QString& f : first)
        firstSlots.push_back(e2e::ReadSlots(f, tapeFrames).tape);

    // The same frames again: the same scenes, the same recording seconds.
    ASSERT_TRUE(CaptureFrom(from, false));
    const QStringList second = collected.Files();
    ASSERT_EQ(second.size(), 2);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(second[i], ChangeFileExt(first[i], "") + " (2).avi") << "a free name beside the first";
        EXPECT_EQ(e2e::ReadSlots(first[i], tapeFrames).tape, firstSlots[std::size_t(i)]) << "the first file stays";
    }
    CheckRun(second, from, true);
    int dropped = -1, delivered = -1;
    dv.LastFrameCounts(dropped, delivered);
    // A run that waited on the last run's times stalled for two seconds.
    EXPECT_LT(dropped, 10);
    EXPECT_EQ(dropped + delivered, e2e::TotalFrames(scenes) - from);
}

TEST_F(FrameExact, FramesWithoutADateAreNeverLost)
{
    const int total = e2e::TotalFrames(scenes);
    // A camcorder whose clock was never set, and one set only after 20 frames.
    for (const int undated : {total, 20}) {
        dv.SetActive(false);
        std::string out;
        tape = tapes.file("undated" + std::to_string(undated) + ".dv");
        ASSERT_TRUE(e2e::MakeTape(tape, scenes, &out)) << out;
        e2e::UndateFrames(tape, 0, undated);
        tapeFrames = e2e::TapeFrames(tape);
        ASSERT_TRUE(e2e::Camcorder(tape, 1, 10));
        for (const TSceneDetectionMethod detection : {sdSingleFile, sdMultiFiles}) {
            SCOPED_TRACE(std::to_string(undated) + (detection == sdSingleFile ? " one file" : " one file per scene"));
            ASSERT_TRUE(Afresh(cmDVType2, detection));
            ASSERT_TRUE(CaptureFrom(0, false));
            int dropped = -1, delivered = -1;
            dv.LastFrameCounts(dropped, delivered);
            std::int64_t held = 0;
            for (const QString& f : collected.Files())
                held += std::int64_t(e2e::ReadSlots(f, tapeFrames).tape.size());
            EXPECT_EQ(held, dropped + delivered) << "every frame is in a reported file";
            EXPECT_GE(held, total - 8);
            const QString undatedFile = dir.qpath() + "/capture undated.avi";
            if (detection == sdSingleFile) {
                const auto entries = e2e::ReadScenes(dir.qpath() + "/capture.thf");
                ASSERT_EQ(entries.size(), undated == total ? 1u : 1u + scenes.size());
                // From the first frame in the file (a late first one leaves its place).
                const auto inFile = e2e::ReadSlots(dir.qpath() + "/capture.avi", tapeFrames).tape;
                const auto first = std::find_if(inFile.begin(), inFile.end(), [](int f) { return f >= 0; });
                EXPECT_EQ(entries[0].start, int(first - inFile.begin()));
                EXPECT_EQ(entries[0].name, "undated");
                EXPECT_EQ(entries.back().end, held);
            } else {
                const QStringList files = collected.Files();
                ASSERT_FALSE(files.isEmpty());
                EXPECT_EQ(files.front(), undatedFile);
                EXPECT_EQ(files.size(), undated == total ? 1 : 1 + int(scenes.size()));
            }
        }
    }
}

// A tape whose second recording was made with the sound set to 32 kHz 12-bit,
// the others at 48 kHz 16-bit, each with a tone of its own. One file per scene
// declares the rate of the sound it holds; one file keeps the rate of its
// first sound and converts the rest; either way the sound is as long as the
// pictures and each tone keeps its pitch.
TEST_F(FrameExact, ATapeRecordedAtTwoRatesKeepsItsSoundAsLongAndInTuneInEveryFile)
{
    dv.SetActive(false);
    std::string out;
    tape = tapes.file("two-rates.dv");
    const std::vector<double> tones = {440, 554, 659};
    ASSERT_TRUE(e2e::MakeTape(tape, scenes, &out, {"tone=440", "tone=554,audio=32k12", "tone=659"})) << out;
    tapeFrames = e2e::TapeFrames(tape);
    ASSERT_TRUE(e2e::Camcorder(tape, 1, 10));
    const auto starts = e2e::SceneStarts(scenes);
    const auto rateOf = [](int scene) { return scene == 1 ? 32000 : 48000; };
    // The tone of scene `scene` over slots [from, to) of a file at `rate`,
    // a frame's sound kept off each end.
    const auto expectTone = [&](const avread::Stream& audio, int scene, int from, int to) {
        const std::size_t perFrame = std::size_t(audio.sampleRate / 25);
        EXPECT_NEAR(avread::ToneHz(audio.left, std::size_t(from + 1) * perFrame, std::size_t(to - 1) * perFrame,
                                   audio.sampleRate),
                    tones[std::size_t(scene)], tones[std::size_t(scene)] * 0.01)
            << "scene " << scene;
    };
    for (const TSceneDetectionMethod detection : {sdSingleFile, sdMultiFiles}) {
        SCOPED_TRACE(detection == sdSingleFile ? "one file" : "one file per scene");
        ASSERT_TRUE(Afresh(cmDVType2, detection));
        ASSERT_TRUE(CaptureFrom(0, false));
        const QStringList files = collected.Files();
        ASSERT_EQ(files.size(), detection == sdSingleFile ? 1 : 3);
        for (int f = 0; f < int(files.size()); ++f) {
            SCOPED_TRACE(files[f].toStdString());
            const e2e::FileSlots inFile = e2e::ReadSlots(files[f], tapeFrames);
            const avread::File av = avread::Read(files[f].toStdString(), true, false, true);
            ASSERT_TRUE(av.opened) << av.error;
            const auto audio = std::find_if(av.streams.begin(), av.streams.end(),
                                            [](const avread::Stream& s) { return s.type == "audio"; });
            ASSERT_NE(audio, av.streams.end());
            const int rate = detection == sdSingleFile ? rateOf(0) : rateOf(f);
            EXPECT_EQ(audio->sampleRate, rate);
            const std::int64_t perFrame = rate / 25;
            EXPECT_LE(std::abs(std::int64_t(audio->left.size()) - std::int64_t(inFile.tape.size()) * perFrame),
                      perFrame)
                << "as long as the pictures";
            EXPECT_EQ(inFile.audioLength, std::int64_t(audio->left.size())) << "the header counts its samples";
            if (detection == sdMultiFiles) {
                expectTone(*audio, f, 0, int(inFile.tape.size()));
                continue;
            }
            // Slot k holds tape frame origin + k (a frame lost at the start leaves its place).
            const auto dated = std::find_if(inFile.tape.begin(), inFile.tape.end(), [](int t) { return t >= 0; });
            ASSERT_NE(dated, inFile.tape.end());
            const int origin = *dated - int(dated - inFile.tape.begin());
            for (int i = 0; i < 3; ++i) {
                const int first = std::max(0, starts[std::size_t(i)] - origin);
                const int last = i + 1 < 3 ? starts[std::size_t(i) + 1] - origin : int(inFile.tape.size());
                expectTone(*audio, i, first, last);
            }
        }
    }
}
