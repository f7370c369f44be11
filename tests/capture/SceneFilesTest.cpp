// One file per scene, end to end: the engine on the virtual camcorder with the
// writer plugin, the files read back by libavformat.
#include "EngineRun.h"

#include "AvRead.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <fstream>

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
        ASSERT_TRUE(e2e::CaptureTape(dv, collected, e2e::TotalFrames(scenes)));

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
