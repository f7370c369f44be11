// The capture run on doubles of the graph: the recording date of a frame, the
// scene rules, the scene file, the per-scene files and their reports, Start
// and Stop, the frame counts, and the gate against frames that arrive while a
// stop is under way.
#include "CaptureFakes.h"

#include "support/TestUtil.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <thread>

using th::com::MakeCom;
using A = TlmDVCaptureTestAccess;

namespace {

BYTE Bcd(int v)
{
    return BYTE((v / 10) << 4 | (v % 10));
}

// A PAL-sized frame carrying a recording date and time, with the bits that
// real packs set around the digits (reserved bits, the day of the week).
std::vector<BYTE> DVFrame(int year, int month, int day, int hour, int min, int sec, std::size_t size = 144000)
{
    std::vector<BYTE> f(size, 0);
    if (size > 467) {
        f[458] = 0x62;
        f[463] = 0x63;
        f[460] = 0xC0 | Bcd(day);
        f[461] = 0xA0 | Bcd(month); // day of the week in bits 5-7
        f[462] = Bcd(year % 100);
        f[465] = 0x80 | Bcd(sec);
        f[466] = 0x80 | Bcd(min);
        f[467] = 0xC0 | Bcd(hour);
    }
    return f;
}

struct Progress {
    BYTE d, m, h, mi, s;
    int y;
};

QString ReadText(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(f.readAll());
}

QStringList SceneTexts(const QString& path, const char* element)
{
    QDomDocument doc;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly) || !doc.setContent(&f))
        return {"<unreadable>"};
    QStringList out;
    const QDomNodeList scenes = doc.elementsByTagName("scene");
    for (int i = 0; i < scenes.count(); ++i)
        out << scenes.at(i).firstChildElement(element).text();
    return out;
}

class CaptureRun : public ::testing::Test {
protected:
    void SetUp() override
    {
        control = MakeCom<fakes::MediaControl>();
        counts = MakeCom<fakes::DroppedFrames>();
        sink = MakeCom<fakes::FileSink>();
        picture = MakeCom<fakes::Grabber>();
        dv.SetFileName(dir.qpath() + "/capture.avi");
        dv.OnCaptureProgress = [this](BYTE d, BYTE m, BYTE h, BYTE mi, BYTE s, int y) {
            progress.push_back({d, m, h, mi, s, y});
        };
        dv.OnNewCaptureFile = [this](QObject* sender, const QString& name) {
            EXPECT_EQ(sender, &dv);
            reported << QDir(dir.qpath()).relativeFilePath(name);
        };
    }
    void TearDown() override { A::ReleaseAll(dv); }

    // A capture graph of the mode, stopped, with the doubles in place.
    void Graph(TCaptureMode mode, TSceneDetectionMethod detection)
    {
        A::SetMode(dv, mode, detection);
        A::SetActive(dv, true, csStopped);
        A::SetGraph(dv, control.Get(), counts.Get());
        const bool multi = detection == sdMultiFiles && mode != cmPreview;
        if (mode != cmPreview) {
            A::SetFileSink(dv, sink.Get(), multi);
            sink->current = (multi ? ChangeFileExt(dv.FileName(), ".tmp") : dv.FileName()).toStdU16String();
            fakes::FileSink::Touch(sink->current);
        }
        A::InstallCallbacks(dv, picture.Get());
    }
    void Frame(int y, int mo, int d, int h, int mi, int s, LONGLONG start = 0)
    {
        auto f = DVFrame(y, mo, d, h, mi, s);
        A::Frame(dv, f.data(), LONG(f.size()), start);
    }
    QString File(const QString& name) const { return dir.qpath() + "/" + name; }

    th::test::TempDir dir;
    TTlmDVCapture dv;
    ComPtr<fakes::MediaControl> control;
    ComPtr<fakes::DroppedFrames> counts;
    ComPtr<fakes::FileSink> sink;
    ComPtr<fakes::Grabber> picture;
    std::vector<Progress> progress;
    QStringList reported;
};

} // namespace

// --- The recording date and time of a frame --------------------------------------------------

TEST(RecordingDateTime, DigitsComeFromTheMaskedBcdBytes)
{
    BYTE d, m, h, mi, s;
    int y;
    auto f = DVFrame(2003, 6, 15, 14, 22, 5);
    TTlmDVCapture::DecodeRecordingDateTime(f.data(), int(f.size()), d, m, h, mi, s, y);
    EXPECT_EQ(y, 2003);
    EXPECT_EQ(m, 6);
    EXPECT_EQ(d, 15);
    EXPECT_EQ(h, 14);
    EXPECT_EQ(mi, 22);
    EXPECT_EQ(s, 5);

    f = DVFrame(1999, 12, 31, 23, 59, 59);
    TTlmDVCapture::DecodeRecordingDateTime(f.data(), int(f.size()), d, m, h, mi, s, y);
    EXPECT_EQ(QString::asprintf("%d-%d-%d %d:%d:%d", y, m, d, h, mi, s), "1999-12-31 23:59:59");

    // All bits set: only the masked tens count.
    std::fill(f.begin() + 458, f.begin() + 468, 0xFF);
    TTlmDVCapture::DecodeRecordingDateTime(f.data(), int(f.size()), d, m, h, mi, s, y);
    EXPECT_EQ(d, 3 * 10 + 15);
    EXPECT_EQ(m, 1 * 10 + 15);
    EXPECT_EQ(y, 1900 + 15 * 10 + 15) << "units of 10 to 15 are used as they are";
    EXPECT_EQ(s, 7 * 10 + 15);
    EXPECT_EQ(mi, 7 * 10 + 15);
    EXPECT_EQ(h, 3 * 10 + 15);
}

TEST(RecordingDateTime, TwoDigitYearsFrom95AreTheLastCenturyTheOthersThisOne)
{
    BYTE d, m, h, mi, s;
    int y;
    for (const auto& [yy, year] : {std::pair{0, 2000}, {27, 2027}, {94, 2094}, {95, 1995}, {99, 1999}}) {
        auto f = DVFrame(yy, 1, 1, 0, 0, 0);
        TTlmDVCapture::DecodeRecordingDateTime(f.data(), int(f.size()), d, m, h, mi, s, y);
        EXPECT_EQ(y, year) << yy;
    }
}

TEST(RecordingDateTime, ShortAndMissingFramesGiveZeros)
{
    BYTE d = 9, m = 9, h = 9, mi = 9, s = 9;
    int y = 9;
    auto f = DVFrame(2003, 6, 15, 14, 22, 5, 11999);
    TTlmDVCapture::DecodeRecordingDateTime(f.data(), int(f.size()), d, m, h, mi, s, y);
    EXPECT_EQ(d + m + h + mi + s + y, 0);
    y = 9;
    TTlmDVCapture::DecodeRecordingDateTime(nullptr, 144000, d, m, h, mi, s, y);
    EXPECT_EQ(y, 0);
    f = DVFrame(2003, 6, 15, 14, 22, 5, 12000);
    TTlmDVCapture::DecodeRecordingDateTime(f.data(), int(f.size()), d, m, h, mi, s, y);
    EXPECT_EQ(y, 2003) << "one whole DIF sequence is enough";
}

// --- Scene rules and the scene file -----------------------------------------------------------

TEST_F(CaptureRun, ARecordingTimeThatStepsBackOrJumpsStartsAScene)
{
    Graph(cmDVType2, sdSingleFile);
    dv.Start();
    EXPECT_EQ(control->calls, std::vector<std::string>{"Run"});
    EXPECT_EQ(dv.GetCaptureState(), csRunned);
    int frame = 0;
    auto at = [&](int sec) {
        counts->notDropped = ++frame; // the device counts the frame in hand
        Frame(2003, 6, 15, 14, 22, sec);
    };
    at(5); // the first frame after Start always starts a scene
    at(5);
    at(6); // one second later: the same scene
    at(8); // two seconds: a new scene
    at(7); // backwards: a new scene
    at(7);
    counts->notDropped = frame;
    dv.Stop();
    const QString thf = File("capture.thf");
    EXPECT_EQ(SceneTexts(thf, "start"), (QStringList{"0", "3", "4"}));
    EXPECT_EQ(SceneTexts(thf, "end"), (QStringList{"2", "3", "6"}));
    EXPECT_EQ(SceneTexts(thf, "name"),
              (QStringList{"2003.06.15 14:22:05", "2003.06.15 14:22:08", "2003.06.15 14:22:07"}));
    EXPECT_EQ(SceneTexts(thf, "datetime"), SceneTexts(thf, "name"));
    EXPECT_EQ(progress.size(), 6u) << "progress for every frame";
    EXPECT_EQ(reported, QStringList{"capture.avi"}) << "the capture file, once, by Stop";
    EXPECT_EQ(control->calls, (std::vector<std::string>{"Run", "Pause", "Stop"}));
}

TEST_F(CaptureRun, AFrameWithoutAValidDateNeitherStartsNorContinuesAScene)
{
    Graph(cmDVType1, sdSingleFile);
    dv.Start();
    Frame(2003, 6, 15, 14, 22, 5);
    const TDateTime last = A::LastRecordTime(dv);
    Frame(0, 0, 0, 0, 0, 0); // a blank tape: month 0
    auto shortFrame = DVFrame(2003, 6, 15, 14, 22, 5, 1000);
    A::Frame(dv, shortFrame.data(), LONG(shortFrame.size()), 0);
    A::Frame(dv, nullptr, 144000, 0);
    Frame(2003, 2, 30, 14, 22, 5); // no such day
    Frame(2003, 6, 15, 25, 22, 5); // no such hour
    EXPECT_EQ(A::LastRecordTime(dv), last) << "the last valid recording time stays";
    Frame(2003, 6, 15, 14, 22, 6);
    counts->notDropped = 7;
    dv.Stop();
    EXPECT_EQ(SceneTexts(File("capture.thf"), "start"), QStringList{"0"}) << "still the first scene";
    ASSERT_EQ(progress.size(), 7u) << "progress is raised for the undated frames too";
    EXPECT_EQ(progress[1].y, 2000) << "with the values as decoded";
    EXPECT_EQ(progress[1].m, 0);
    EXPECT_EQ(progress[2].y, 0);
    EXPECT_EQ(progress[4].d, 30);
}

TEST_F(CaptureRun, WithoutSceneDetectionEveryFrameIsProgressOnly)
{
    Graph(cmDVType2, sdNone);
    dv.OnNewScene = [](const QImage&, BYTE, BYTE, BYTE, BYTE, BYTE, int) {};
    A::InstallCallbacks(dv, picture.Get());
    dv.Start();
    Frame(2003, 6, 15, 14, 22, 5, 100);
    Frame(2004, 1, 1, 0, 0, 0, 200);
    auto shortFrame = DVFrame(2003, 6, 15, 14, 22, 5, 11999);
    A::Frame(dv, shortFrame.data(), LONG(shortFrame.size()), 300);
    A::Frame(dv, nullptr, 0, 400);
    EXPECT_EQ(A::PictureCB(dv).TargetTime(), -1) << "no picture is asked for";
    dv.Stop();
    ASSERT_EQ(progress.size(), 4u);
    EXPECT_EQ(progress[0].y, 2003);
    EXPECT_EQ(progress[2].y + progress[2].m + progress[2].d + progress[2].h + progress[2].mi + progress[2].s, 0);
    EXPECT_EQ(progress[3].y, 0);
    EXPECT_FALSE(QFile::exists(File("capture.thf")));
    EXPECT_TRUE(reported.isEmpty());
}

TEST_F(CaptureRun, ThePreviewRunsWithProgressAndWritesNothing)
{
    Graph(cmPreview, sdSingleFile);
    dv.Start();
    Frame(2003, 6, 15, 14, 22, 5);
    Frame(2003, 6, 15, 14, 22, 9);
    dv.Stop();
    EXPECT_EQ(progress.size(), 2u);
    EXPECT_FALSE(QFile::exists(File("capture.thf")));
    EXPECT_TRUE(reported.isEmpty());
    EXPECT_TRUE(QDir(dir.qpath()).entryList(QDir::Files).isEmpty());
}

TEST_F(CaptureRun, TheLastSceneEndsAtTheFrameCountOfTheStop)
{
    Graph(cmDVType2, sdSingleFile);
    dv.Start();
    // Counts as the device gives them: the frame in hand already counted.
    counts->notDropped = 1;
    Frame(2003, 6, 15, 14, 22, 5);
    counts->dropped = 10;
    counts->notDropped = 1491;
    Frame(2003, 6, 15, 15, 0, 0);
    counts->dropped = 20;
    counts->notDropped = 2981;
    Frame(2003, 6, 16, 9, 30, 0);
    counts->notDropped = 3980;
    dv.Stop();
    const QString thf = File("capture.thf");
    EXPECT_EQ(SceneTexts(thf, "start"), (QStringList{"0", "1500", "3000"}));
    EXPECT_EQ(SceneTexts(thf, "end"), (QStringList{"1499", "2999", "4000"}));

    // The file as written: the declaration without an encoding, elements in
    // order, no indentation.
    const QString text = ReadText(thf);
    EXPECT_TRUE(text.startsWith("<?xml version=\"1.0\"?>")) << text.left(60).toStdString();
    EXPECT_FALSE(text.contains("encoding"));
    static const QRegularExpression shape(
        "^<\\?xml version=\"1.0\"\\?>\\n?<video><info><programm>Tolmar TapeHarvest</programm>"
        "<filever>1.00</filever><created>\\d{4}-\\d\\d-\\d\\d \\d\\d-\\d\\d-\\d\\d</created></info><scenes>"
        "<scene><start>0</start><name>2003.06.15 14:22:05</name><datetime>2003.06.15 14:22:05</datetime>"
        "<end>1499</end></scene><scene><start>1500</start>.*</scenes></video>\\n?$");
    EXPECT_TRUE(shape.match(text).hasMatch()) << text.toStdString();
    EXPECT_EQ(QDir(dir.qpath()).entryList(QDir::Files), (QStringList{"capture.avi", "capture.thf"}))
        << "no temporary file is left";
}

TEST_F(CaptureRun, ASceneFileThatCannotBeSavedIsRaisedAfterTheCaptureFileIsFinishedAndReported)
{
    // A folder where the scene file belongs: no one, root included, can put a file there.
    ASSERT_TRUE(QDir(dir.qpath()).mkdir("capture.thf"));
    Graph(cmDVType2, sdSingleFile);
    dv.Start();
    counts->notDropped = 1;
    Frame(2003, 6, 15, 14, 22, 5);
    counts->notDropped = 100;
    try {
        dv.Stop();
        FAIL() << "no error";
    } catch (const Exception& e) {
        EXPECT_TRUE(e.Message().contains(File("capture.thf"))) << e.Message().toStdString();
    }
    EXPECT_EQ(control->calls, (std::vector<std::string>{"Run", "Pause", "Stop"})) << "the graph stopped first";
    EXPECT_EQ(reported, QStringList{"capture.avi"}) << "the capture file is finished and reported";
    EXPECT_EQ(dv.GetCaptureState(), csStopped);
    EXPECT_NO_THROW(dv.Stop());
    EXPECT_EQ(QDir(dir.qpath()).entryList(QDir::Files), QStringList{"capture.avi"}) << "no half scene file is left";
}

TEST_F(CaptureRun, ANewSceneAsksForItsPictureAtItsFirstFrame)
{
    dv.OnNewScene = [](const QImage&, BYTE, BYTE, BYTE, BYTE, BYTE, int) {};
    Graph(cmDVType1, sdSingleFile);
    dv.Start();
    Frame(2003, 6, 15, 14, 22, 5, 1200000);
    EXPECT_EQ(A::PictureCB(dv).TargetTime(), 1200000);
    Frame(2003, 6, 15, 14, 22, 6, 1600000);
    EXPECT_EQ(A::PictureCB(dv).TargetTime(), 1200000) << "the same scene asks for nothing";
    dv.Stop();
    dv.Start();
    EXPECT_EQ(A::PictureCB(dv).TargetTime(), -1) << "a new run drops what the last one left pending";
    dv.Stop();
}

// --- File names and one file per scene ----------------------------------------------------------

TEST_F(CaptureRun, TheSceneFileGoesOnlyWhenAOneFileCaptureRewritesItsFile)
{
    const QString thf = File("capture.thf");
    QFile f(thf);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.close();
    dv.SetFileName(File("other.avi"));
    dv.SetFileName(File("capture.avi"));
    EXPECT_TRUE(QFile::exists(thf)) << "a name alone rewrites nothing";
    Graph(cmDVType2, sdMultiFiles);
    dv.Start();
    dv.Stop();
    EXPECT_TRUE(QFile::exists(thf)) << "per-scene files go beside the earlier capture";
    Graph(cmDVType2, sdSingleFile);
    dv.Start();
    EXPECT_FALSE(QFile::exists(thf)) << "the capture file is written anew";
    dv.Stop();
}

TEST_F(CaptureRun, EverySceneGetsItsOwnFileNamedByItsRecordingTime)
{
    Graph(cmDVType2, sdMultiFiles);
    dv.Start();
    QFile tmp(File("capture.tmp"));
    ASSERT_TRUE(tmp.open(QIODevice::WriteOnly)); // as the writer leaves it
    tmp.close();
    Frame(2003, 6, 15, 14, 22, 5, 0);
    Frame(2003, 6, 15, 14, 22, 6, 400000);
    EXPECT_TRUE(reported.isEmpty()) << "the temporary file is never reported";
    Frame(2003, 6, 15, 14, 22, 9, 800000);
    EXPECT_EQ(reported, QStringList{"capture 20030615-14.22.05.avi"}) << "at the next switch";
    Frame(2004, 1, 2, 3, 4, 5, 1200000);
    dv.Stop();
    EXPECT_EQ(reported, (QStringList{"capture 20030615-14.22.05.avi", "capture 20030615-14.22.09.avi",
                                     "capture 20040102-03.04.05.avi"}));
    const std::string base = dir.path() + "/capture ";
    EXPECT_EQ(sink->calls, (std::vector<std::string>{
                               "SetFileName " + dir.path() + "/capture.tmp", // by Start
                               "ChangeFileName " + base + "20030615-14.22.05.avi 0",
                               "ChangeFileName " + base + "20030615-14.22.09.avi 800000",
                               "ChangeFileName " + base + "20040102-03.04.05.avi 1200000",
                           }));
    EXPECT_FALSE(QFile::exists(File("capture.tmp"))) << "Stop deletes the temporary file";
    EXPECT_FALSE(QFile::exists(File("capture.thf"))) << "no scene file with one file per scene";
}

TEST_F(CaptureRun, ANameWithoutExtensionGetsSceneNamesWithoutOne)
{
    dv.SetFileName(File("capture"));
    Graph(cmDVType1, sdMultiFiles);
    dv.Start();
    Frame(2003, 6, 15, 14, 22, 5, 0);
    Frame(2003, 6, 15, 14, 23, 0, 400000);
    dv.Stop();
    EXPECT_EQ(reported, (QStringList{"capture 20030615-14.22.05", "capture 20030615-14.23.00"}));
}

TEST_F(CaptureRun, ASecondRunOnTheSameGraphDoesNotReopenTheLastSceneFile)
{
    Graph(cmDVType2, sdMultiFiles);
    dv.Start();
    Frame(2003, 6, 15, 14, 22, 5, 0);
    dv.Stop();
    EXPECT_EQ(reported, QStringList{"capture 20030615-14.22.05.avi"});
    sink->calls.clear();
    control->calls.clear();
    dv.Start();
    // The writer opens its current file at Run: it must be the temporary one.
    ASSERT_EQ(sink->calls.size(), 1u);
    EXPECT_EQ(sink->calls[0], "SetFileName " + dir.path() + "/capture.tmp");
    EXPECT_EQ(control->calls, std::vector<std::string>{"Run"});
    dv.Stop();
    EXPECT_EQ(reported.size(), 1) << "a run without frames reports nothing";
}

TEST_F(CaptureRun, SettingTheFileNameWhileActiveNamesTheWriter)
{
    Graph(cmDVType2, sdSingleFile);
    dv.SetFileName(File("next.avi"));
    EXPECT_EQ(sink->calls, std::vector<std::string>{"SetFileName " + dir.path() + "/next.avi"});
    Graph(cmPreview, sdSingleFile);
    A::SetFileSink(dv, nullptr, false);
    dv.SetFileName(File("third.avi"));
    EXPECT_EQ(sink->calls.size(), 1u) << "a preview graph has no writer to name";
}

// --- Start, Stop and the frame counts -----------------------------------------------------------

TEST_F(CaptureRun, StartAndStopOnlyActInTheirStates)
{
    std::vector<TCaptureState> states;
    dv.OnChangeCaptureState = [&](QObject*, TCaptureState s) { states.push_back(s); };
    Graph(cmDVType2, sdSingleFile);
    dv.Stop();
    EXPECT_TRUE(control->calls.empty()) << "stopped: Stop does nothing";
    dv.Start();
    dv.Start();
    EXPECT_EQ(control->calls, std::vector<std::string>{"Run"}) << "running: Start does nothing";
    dv.Stop();
    dv.Stop();
    EXPECT_EQ(states, (std::vector<TCaptureState>{csRunned, csStopped}));
    A::SetActive(dv, false, csStopped);
    control->calls.clear();
    dv.Start();
    EXPECT_TRUE(control->calls.empty()) << "inactive: Start does nothing";
    EXPECT_EQ(dv.GetCaptureState(), csConstructed);
}

TEST_F(CaptureRun, FrameCountsAreReadOnlyWhileRunningAndFallBackToTheLastGoodOnes)
{
    Graph(cmDVType2, sdNone);
    int dropped = -1, notDropped = -1;
    dv.GetFrameCounts(dropped, notDropped);
    EXPECT_EQ(dropped, -1) << "stopped: left as they were";
    EXPECT_EQ(notDropped, -1);
    dv.Start();
    counts->dropped = 3;
    counts->notDropped = 70;
    dv.GetFrameCounts(dropped, notDropped);
    EXPECT_EQ(dropped, 3);
    EXPECT_EQ(notDropped, 70);
    counts->dropped = 99;
    counts->notDropped = 99;
    counts->result = E_FAIL;
    dv.GetFrameCounts(dropped, notDropped);
    EXPECT_EQ(dropped, 3);
    EXPECT_EQ(notDropped, 70);
    dv.Stop();
    counts->result = S_OK;
    dv.Start();
    counts->result = E_FAIL;
    dv.GetFrameCounts(dropped, notDropped);
    EXPECT_EQ(dropped, 0) << "Stop forgets the counts of the last run";
    EXPECT_EQ(notDropped, 0);
    dv.Stop();
}

TEST_F(CaptureRun, NoFrameEventFollowsAStopWhileFramesFlow)
{
    // A streaming thread delivers frames through the frame callback without
    // pause while the main thread starts and stops the capture; once Stop has
    // returned, no frame may reach the handlers until the next Start.
    Graph(cmDVType2, sdSingleFile);
    std::atomic<bool> stopped{true}, done{false};
    std::atomic<int> late{0}, frames{0};
    dv.OnCaptureProgress = [&](BYTE, BYTE, BYTE, BYTE, BYTE, int) {
        ++frames;
        if (stopped)
            ++late;
    };
    // The last thing Stop does, still holding the capture lock.
    dv.OnChangeCaptureState = [&](QObject*, TCaptureState s) {
        if (s == csStopped)
            stopped = true;
    };
    auto frame = DVFrame(2003, 6, 15, 14, 22, 5);
    std::thread streaming([&] {
        auto sample = MakeCom<fakes::Sample>(frame.data(), LONG(frame.size()), 0);
        while (!done)
            A::FrameCB(dv).SampleCB(0, sample.Get());
    });
    for (int i = 0; i < 300; ++i) {
        stopped = false;
        dv.Start();
        const int before = frames;
        while (frames == before && i % 3 == 0)
            std::this_thread::yield();
        dv.Stop();
    }
    done = true;
    streaming.join();
    EXPECT_EQ(late, 0);
    EXPECT_GT(frames, 100);
}
