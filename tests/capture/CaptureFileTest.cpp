// One capture file, end to end: the engine on the virtual camcorder, at a
// raised speed, capturing a tape of five scenes in type 1 and type 2, with and
// without the preview; the file read back by libavformat and the scene file
// read back as XML.
#include "EngineRun.h"

#include "AvRead.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <fstream>

namespace {

using e2e::ReadScenes;

class CaptureFile : public ::testing::TestWithParam<TCaptureMode> {
protected:
    void SetUp() override
    {
        std::string out;
        tape = tapes.file("tape.dv");
        ASSERT_TRUE(e2e::MakeTape(tape, scenes, &out)) << out;
        ASSERT_TRUE(e2e::Camcorder(tape, 8));
        dv.SetAutoStart(false);
        dv.SetFileName(dir.qpath() + "/capture.avi");
        c.Watch(dv);
    }
    void TearDown() override
    {
        dv.SetActive(false);
        th::dv::removeCamcorder();
    }
    std::vector<std::uint64_t> TapeHashes() const
    {
        std::ifstream f(tape, std::ios::binary);
        std::vector<char> frame(144000);
        std::vector<std::uint64_t> hashes;
        while (f.read(frame.data(), std::streamsize(frame.size())))
            hashes.push_back(avread::Hash(frame.data(), frame.size()));
        return hashes;
    }

    th::test::TempDir tapes, dir;
    std::string tape;
    const std::vector<e2e::Scene> scenes = e2e::FiveScenes();
    e2e::Collected c; // outlives the component
    TTlmDVCapture dv;
};

} // namespace

TEST_P(CaptureFile, HoldsEveryFrameAndListsEveryScene)
{
    const TCaptureMode mode = GetParam();
    if (mode == cmDVType1wPreview || mode == cmDVType2wPreview)
        TH_SKIP_SOUND_UNDER_TSAN();
    TTlmVideoWindow window;
    dv.SetPreviewWindow(&window);
    dv.SetDVResolution(dvrQuarter);
    dv.SetCaptureMode(mode);
    dv.SetActive(true);
    ASSERT_TRUE(dv.Active());
    const bool preview = mode == cmDVType1wPreview || mode == cmDVType2wPreview;
    EXPECT_EQ(window.Attached(), preview);
    const int total = e2e::TotalFrames(scenes);
    ASSERT_TRUE(e2e::CaptureTape(dv, c, total, std::chrono::seconds(60), scenes.size()));

    const QString avi = dir.qpath() + "/capture.avi";
    EXPECT_EQ(c.Files(), QStringList{avi}) << "the file is reported once";

    // The file: every frame of the tape, in order, and all of its sound.
    const avread::File f = avread::Read(avi.toStdString());
    ASSERT_TRUE(f.opened) << f.error;
    const bool type2 = mode == cmDVType2 || mode == cmDVType2wPreview;
    const avread::Stream* video = nullptr;
    const avread::Stream* audio = nullptr;
    for (const auto& s : f.streams) {
        if (s.type == "video" && !video)
            video = &s;
        if (s.type == "audio" && !audio)
            audio = &s;
    }
    ASSERT_NE(video, nullptr);
    EXPECT_EQ(video->packets, total);
    if (type2) {
        EXPECT_EQ(video->hashes, TapeHashes()) << "the frames as the tape holds them";
        ASSERT_NE(audio, nullptr);
        EXPECT_EQ(audio->bytes, std::int64_t(total) * 1920 * 4) << "48 kHz stereo, 1920 samples a frame";
        EXPECT_EQ(audio->sampleRate, 48000);
    } else {
        EXPECT_EQ(video->hashes, TapeHashes()) << "type 1: the interleaved frames as they are";
        if (audio) {
            EXPECT_GT(audio->packets, 0) << "the sound inside the frames";
        }
    }

    // The scene file: exactly the tape's scenes at their frames.
    const auto entries = ReadScenes(dir.qpath() + "/capture.thf");
    const auto starts = e2e::SceneStarts(scenes);
    ASSERT_EQ(entries.size(), scenes.size());
    for (std::size_t i = 0; i < scenes.size(); ++i) {
        const auto& s = scenes[i];
        const QString name =
            QString::asprintf("%04d.%02d.%02d %02d:%02d:%02d", s.year, s.month, s.day, s.hour, s.min, s.sec);
        EXPECT_EQ(entries[i].start, starts[i]) << i;
        EXPECT_EQ(entries[i].end, i + 1 < scenes.size() ? starts[i + 1] - 1 : total) << i;
        EXPECT_EQ(entries[i].name, name);
        EXPECT_EQ(entries[i].datetime, name);
    }

    // One picture per scene, of that scene.
    std::lock_guard<std::mutex> g(c.lock);
    ASSERT_EQ(c.pictures.size(), scenes.size());
    for (std::size_t i = 0; i < scenes.size(); ++i)
        EXPECT_EQ(e2e::NearestScene(c.pictures[i], scenes), int(i)) << "picture " << i;
    EXPECT_EQ(QDir(dir.qpath()).entryList(QDir::Files), (QStringList{"capture.avi", "capture.thf"}));
}

INSTANTIATE_TEST_SUITE_P(Modes, CaptureFile,
                         ::testing::Values(cmDVType1, cmDVType2, cmDVType1wPreview, cmDVType2wPreview),
                         [](const ::testing::TestParamInfo<TCaptureMode>& info) {
                             switch (info.param) {
                             case cmDVType1:
                                 return std::string("Type1");
                             case cmDVType2:
                                 return std::string("Type2");
                             case cmDVType1wPreview:
                                 return std::string("Type1WithPreview");
                             default:
                                 return std::string("Type2WithPreview");
                             }
                         });

TEST_F(CaptureFile, AfterOneFilePerSceneTheSingleFileIsReportedOnce)
{
    std::string out;
    ASSERT_TRUE(e2e::RegisterWriter(&out)) << out;
    dv.SetCaptureMode(cmDVType2);
    dv.SetSceneDetection(sdMultiFiles);
    ASSERT_TRUE(dv.Active());
    ASSERT_TRUE(e2e::CaptureTape(dv, c, e2e::TotalFrames(scenes)));
    ASSERT_EQ(c.Files().size(), 5);
    {
        std::lock_guard<std::mutex> g(c.lock);
        c.files.clear();
    }
    dv.SetSceneDetection(sdSingleFile);
    dv.TransportRew();
    ASSERT_TRUE(th::test::waitUntil([&] { return dv.GetTransportState() == tsStop; }));
    c.frames = 0;
    ASSERT_TRUE(e2e::CaptureTape(dv, c, e2e::TotalFrames(scenes)));
    EXPECT_EQ(c.Files(), QStringList{dir.qpath() + "/capture.avi"});
    EXPECT_EQ(ReadScenes(dir.qpath() + "/capture.thf").size(), scenes.size());
}
