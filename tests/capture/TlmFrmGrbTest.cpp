// The frame grabber on the platform's media detector, with files made from
// tapes of the tape maker: by ffmpeg (type-2), by the thmux writer (type-1),
// with the audio stream first, NTSC, missing and damaged. Each grabbed frame
// is identified by the time code burned into its picture. The detectors are
// real; a thin wrapper counts the calls and can falsify single answers.
#include "capture/TlmFrmGrb.h"

#include "platform/dshow/TlmFileSink.h"
#include "capture/TlmUtil.h"
#include "platform/dshow/DShow.h"
#include "platform/rtl/SysUtils.h"
#include "support/TestUtil.h"

#include <QFile>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <vector>

namespace {

// --- Counting the grabber's calls ----------------------------------------------------------

struct DetectorLog {
    int created = 0;
    int openCalls = 0;     // put_Filename
    int streamSwitches = 0; // put_CurrentStream
    bool failCreation = false;
    bool zeroFrameRate = false;
    bool shortBuffer = false;    // report a buffer too small for the picture
    bool wrongBitCount = false;  // hand out a header that claims 32 bits
};
DetectorLog g_log;
std::deque<ComPtr<IMediaDet>> g_pool; // real detectors made before the wrapper took the class

class CountingDet final : public th::com::ComObject<IMediaDet> {
public:
    ComPtr<IMediaDet> inner;

    HRESULT get_Filename(BSTR* name) override { return inner->get_Filename(name); }
    HRESULT put_Filename(BSTR name) override
    {
        ++g_log.openCalls;
        return inner->put_Filename(name);
    }
    HRESULT get_OutputStreams(LONG* n) override { return inner->get_OutputStreams(n); }
    HRESULT get_CurrentStream(LONG* i) override { return inner->get_CurrentStream(i); }
    HRESULT put_CurrentStream(LONG i) override
    {
        ++g_log.streamSwitches;
        return inner->put_CurrentStream(i);
    }
    HRESULT get_StreamType(GUID* t) override { return inner->get_StreamType(t); }
    HRESULT get_FrameRate(double* fps) override
    {
        const HRESULT hr = inner->get_FrameRate(fps);
        if (g_log.zeroFrameRate && SUCCEEDED(hr))
            *fps = 0;
        return hr;
    }
    HRESULT GetBitmapBits(double t, LONG* size, char* buffer, LONG w, LONG h) override
    {
        if (size) {
            const HRESULT hr = inner->GetBitmapBits(t, size, nullptr, w, h);
            if (SUCCEEDED(hr) && g_log.shortBuffer)
                *size = 40 + (*size - 40) / 2;
            return hr;
        }
        LONG real = 0;
        HRESULT hr = inner->GetBitmapBits(t, &real, nullptr, w, h);
        if (FAILED(hr))
            return hr;
        std::vector<char> full(static_cast<std::size_t>(real));
        hr = inner->GetBitmapBits(t, nullptr, full.data(), w, h);
        if (FAILED(hr))
            return hr;
        if (g_log.wrongBitCount) {
            BITMAPINFOHEADER bih;
            std::memcpy(&bih, full.data(), sizeof bih);
            bih.biBitCount = 32;
            std::memcpy(full.data(), &bih, sizeof bih);
        }
        const LONG n = g_log.shortBuffer ? 40 + (real - 40) / 2 : real;
        std::memcpy(buffer, full.data(), std::size_t(n));
        return hr;
    }
};

HRESULT CreateCountingDet(REFIID riid, void** ppv)
{
    if (g_log.failCreation)
        return REGDB_E_CLASSNOTREG;
    if (g_pool.empty())
        return E_OUTOFMEMORY;
    ComPtr<CountingDet> det = th::com::MakeCom<CountingDet>();
    det->inner = g_pool.front();
    g_pool.pop_front();
    ++g_log.created;
    return det->QueryInterface(riid, ppv);
}

// --- Test files --------------------------------------------------------------------------------

constexpr int kSceneFrames = 25;
const QRgb kSceneColours[] = {qRgb(200, 30, 30), qRgb(30, 170, 50), qRgb(40, 60, 200)}; // red, green, blue

// A DV sample for the writer's input pin.
class DvSample final : public th::com::ComObject<IMediaSample> {
public:
    std::vector<BYTE> data;
    REFERENCE_TIME t0 = 0, t1 = 0;
    HRESULT GetPointer(BYTE** b) override
    {
        *b = data.data();
        return S_OK;
    }
    LONG GetSize() override { return LONG(data.size()); }
    HRESULT GetTime(REFERENCE_TIME* a, REFERENCE_TIME* b) override
    {
        *a = t0;
        *b = t1;
        return S_OK;
    }
    HRESULT SetTime(REFERENCE_TIME*, REFERENCE_TIME*) override { return E_NOTIMPL; }
    HRESULT IsSyncPoint() override { return S_OK; }
    HRESULT SetSyncPoint(BOOL) override { return S_OK; }
    HRESULT IsPreroll() override { return S_FALSE; }
    HRESULT SetPreroll(BOOL) override { return S_OK; }
    LONG GetActualDataLength() override { return LONG(data.size()); }
    HRESULT SetActualDataLength(LONG) override { return E_NOTIMPL; }
    HRESULT GetMediaType(AM_MEDIA_TYPE** t) override
    {
        *t = nullptr;
        return S_FALSE;
    }
    HRESULT SetMediaType(AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    HRESULT IsDiscontinuity() override { return S_FALSE; }
    HRESULT SetDiscontinuity(BOOL) override { return S_OK; }
    HRESULT GetMediaTime(LONGLONG*, LONGLONG*) override { return VFW_E_MEDIA_TIME_NOT_SET; }
    HRESULT SetMediaTime(LONGLONG*, LONGLONG*) override { return E_NOTIMPL; }
};

// A type-1 file as a capture writes it: every frame of the tape through the
// interleaved pin of the thmux writer, registered as the program registers it.
std::string WriteType1(const std::string& dv, const std::string& avi)
{
    std::string out;
    if (th::test::runProgram(th::test::binDir() + "/regsvr", {"/s", th::test::binDir() + "/thmux.ax"}, &out) != 0)
        return "regsvr: " + out;
    ComPtr<IBaseFilter> writer;
    if (FAILED(CoCreateInstance(CLSID_TlmAVIWriter, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                writer.ReleaseAndGetVoidAddressOf())))
        return "no writer: " + th::com::LastActivationError();
    ComPtr<IEnumPins> pins;
    ComPtr<IPin> pin;
    if (FAILED(writer->EnumPins(pins.ReleaseAndGetAddressOf())) ||
        pins->Next(1, pin.ReleaseAndGetAddressOf(), nullptr) != S_OK)
        return "no input pin";
    DVINFO info{};
    AM_MEDIA_TYPE mt{};
    mt.majortype = MEDIATYPE_Interleaved;
    mt.subtype = MEDIASUBTYPE_dvsd;
    mt.formattype = FORMAT_DvInfo;
    mt.lSampleSize = 144000;
    mt.cbFormat = sizeof info;
    mt.pbFormat = reinterpret_cast<BYTE*>(&info);
    if (pin->QueryAccept(&mt) != S_OK)
        return "type refused";
    const std::u16string name = th::com::Utf8ToUtf16(avi);
    if (FAILED(writer.As<IFileSinkFilter>()->SetFileName(name.c_str(), nullptr)) || FAILED(writer->Run(0)))
        return "cannot start the writer";
    ComPtr<IMemInputPin> input = pin.As<IMemInputPin>();
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> in(std::fopen(dv.c_str(), "rb"), std::fclose);
    if (!in)
        return "no tape";
    std::vector<BYTE> frame(144000);
    for (int i = 0; std::fread(frame.data(), 1, frame.size(), in.get()) == frame.size(); ++i) {
        ComPtr<DvSample> s = th::com::MakeCom<DvSample>();
        s->data = frame;
        s->t0 = REFERENCE_TIME(i) * 400000;
        s->t1 = s->t0 + 400000;
        if (input->Receive(s.Get()) != S_OK)
            return "frame " + std::to_string(i) + " refused";
    }
    writer->Stop();
    return {};
}

std::string Scene(int n, const char* colour)
{
    return "length=" + std::to_string(kSceneFrames) + ",date=2003-06-15,time=14:2" + std::to_string(n) +
           ":05,colour=" + colour;
}

int Ffmpeg(const std::vector<std::string>& args)
{
    std::vector<std::string> all{"-loglevel", "error", "-y"};
    all.insert(all.end(), args.begin(), args.end());
    std::string out;
    return th::test::runProgram("ffmpeg", all, &out);
}

// Built once per test program.
struct Files {
    th::test::TempDir dir;
    std::string type2, type1, audioFirst, ntsc, renamed, damaged, truncated, missing;
    std::string error;

    Files()
    {
        const std::string tape = dir.file("tape.dv"), ntscTape = dir.file("ntsc.dv");
        const std::string thtape = th::test::binDir() + "/thtape";
        std::string out;
        if (th::test::runProgram(thtape, {"--scene", Scene(1, "red"), "--scene", Scene(2, "green"), "--scene",
                                          Scene(3, "blue"), tape},
                                 &out) != 0 ||
            th::test::runProgram(thtape, {"--ntsc", "--scene", "length=60,date=2003-06-15,time=10:00:00", ntscTape},
                                 &out) != 0) {
            error = "thtape: " + out;
            return;
        }
        type2 = dir.file("x.avi");
        audioFirst = dir.file("audiofirst.avi");
        ntsc = dir.file("ntsc.avi");
        if (Ffmpeg({"-f", "dv", "-i", tape, "-c", "copy", type2}) != 0 ||
            Ffmpeg({"-i", type2, "-map", "0:a", "-map", "0:v", "-c", "copy", audioFirst}) != 0 ||
            Ffmpeg({"-f", "dv", "-i", ntscTape, "-c", "copy", ntsc}) != 0) {
            error = "ffmpeg failed";
            return;
        }
        type1 = dir.file("type1.avi");
        error = WriteType1(tape, type1);
        renamed = dir.file("X.avi");
        QFile::copy(QString::fromStdString(type2), QString::fromStdString(renamed));

        QFile whole(QString::fromStdString(type2));
        whole.open(QIODevice::ReadOnly);
        const QByteArray bytes = whole.readAll();
        truncated = dir.file("truncated.avi");
        QFile t(QString::fromStdString(truncated));
        t.open(QIODevice::WriteOnly);
        t.write(bytes.left(2048));
        damaged = dir.file("damaged.avi");
        QFile d(QString::fromStdString(damaged));
        d.open(QIODevice::WriteOnly);
        QByteArray garbage = bytes.left(12); // "RIFF" size "AVI "
        for (int i = 0; i < 200000; ++i)
            garbage.append(char((i * 7919) >> 3));
        d.write(garbage);
        missing = dir.file("missing.avi");
    }
};

Files& TestFiles()
{
    static Files files;
    return files;
}

// --- Reading the burned-in time code -----------------------------------------------------------

// The tape maker's digits, 5 x 7, one row a byte, bit 4 the leftmost column.
constexpr unsigned char kDigits[10][7] = {
    {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}, {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E},
    {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}, {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E},
    {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}, {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E},
    {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}, {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08},
    {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}, {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C},
};

// The digit at character position `pos` of the time-code line ("TC 00:00:01:12")
// of a full-size picture; -1 when it is none. Glyphs are drawn four times their
// size at an advance of 24 from x 128, on a panel centred above the grey wedge.
int DigitAt(const QImage& img, int pos)
{
    const int wedge = img.height() / 8 & ~7;
    const int x0 = 128 + pos * 24;
    const int y0 = ((img.height() - wedge - 144) / 2 & ~7) + 16 + 40;
    unsigned char rows[7] = {};
    for (int r = 0; r < 7; ++r)
        for (int c = 0; c < 5; ++c)
            if (qGray(img.pixel(x0 + c * 4 + 2, y0 + r * 4 + 2)) < 128)
                rows[r] |= 0x10 >> c;
    for (int d = 0; d < 10; ++d)
        if (std::memcmp(rows, kDigits[d], 7) == 0)
            return d;
    return -1;
}

// The frame number that the picture shows, from its time code at `fps` (no
// drop-frame correction: the test tapes are shorter than a minute).
int BurnedInFrame(const QImage& img, int fps)
{
    if (img.width() != 720 || img.height() < 300)
        return -1;
    int v[8];
    const int at[8] = {3, 4, 6, 7, 9, 10, 12, 13};
    for (int i = 0; i < 8; ++i)
        if ((v[i] = DigitAt(img, at[i])) < 0)
            return -1;
    const int h = v[0] * 10 + v[1], m = v[2] * 10 + v[3], s = v[4] * 10 + v[5], f = v[6] * 10 + v[7];
    return ((h * 60 + m) * 60 + s) * fps + f;
}

int ColourDistance(QRgb a, QRgb b)
{
    return std::abs(qRed(a) - qRed(b)) + std::abs(qGreen(a) - qGreen(b)) + std::abs(qBlue(a) - qBlue(b));
}

int NearestScene(QRgb c)
{
    int best = 0;
    for (int i = 1; i < 3; ++i)
        if (ColourDistance(c, kSceneColours[i]) < ColourDistance(c, kSceneColours[best]))
            best = i;
    return best;
}

// Frame `frame` of `file` decoded and scaled by ffmpeg; a null image when that fails.
QImage Reference(const std::string& file, int frame, QSize size)
{
    const std::string out = TestFiles().dir.file("reference.rgb");
    const std::string filter =
        "select=eq(n\\," + std::to_string(frame) + "),scale=" + std::to_string(size.width()) + ":" + std::to_string(size.height());
    if (Ffmpeg({"-i", file, "-vf", filter, "-frames:v", "1", "-f", "rawvideo", "-pix_fmt", "rgb24", out}) != 0)
        return {};
    QFile f(QString::fromStdString(out));
    if (!f.open(QIODevice::ReadOnly))
        return {};
    const QByteArray rgb = f.readAll();
    f.remove();
    if (rgb.size() != size.width() * size.height() * 3)
        return {};
    return QImage(reinterpret_cast<const uchar*>(rgb.constData()), size.width(), size.height(), size.width() * 3,
                  QImage::Format_RGB888)
        .convertToFormat(QImage::Format_RGB32);
}

// Mean absolute difference per channel; 255 for pictures that cannot be compared.
double MeanDifference(const QImage& a, const QImage& b)
{
    if (a.isNull() || a.size() != b.size())
        return 255;
    double sum = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x)
            sum += ColourDistance(a.pixel(x, y), b.pixel(x, y));
    return sum / (3.0 * a.width() * a.height());
}

// --- Fixture -----------------------------------------------------------------------------------

class FramesGrabber : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        // Real detectors first, then the counting wrapper in their place.
        static bool wrapped = false;
        if (wrapped)
            return;
        for (int i = 0; i < 64; ++i) {
            ComPtr<IMediaDet> det;
            ASSERT_EQ(CoCreateInstance(CLSID_MediaDet, nullptr, CLSCTX_INPROC_SERVER, IID_IMediaDet,
                                       det.ReleaseAndGetVoidAddressOf()),
                      S_OK)
                << th::com::LastActivationError();
            g_pool.push_back(det);
        }
        th::com::ReplaceBuiltinClass(CLSID_MediaDet, &CreateCountingDet);
        wrapped = true;
    }

    void SetUp() override
    {
        ASSERT_TRUE(TestFiles().error.empty()) << TestFiles().error;
        ASSERT_GE(g_pool.size(), 8u) << "test detectors used up";
        g_log = DetectorLog{};
    }
    void TearDown() override { g_log = DetectorLog{}; }

    const Files& files = TestFiles();
    static QString Q(const std::string& s) { return QString::fromStdString(s); }

    // Frame `frame` of `file` at the video's own size, identified by its time code.
    static int GrabAndRead(TTlmFramesGrabber& g, const std::string& file, std::int64_t frame, int fps = 25)
    {
        QImage img;
        g.BitmapWidth = 720;
        g.BitmapHeight = fps == 25 ? 576 : 480;
        EXPECT_TRUE(g.GrabFrame(Q(file), img, frame));
        EXPECT_EQ(img.size(), QSize(g.BitmapWidth, g.BitmapHeight));
        return BurnedInFrame(img, fps);
    }
};

} // namespace

// --- Which frame comes back --------------------------------------------------------------------

TEST_F(FramesGrabber, GrabsTheFrameAskedForFromFilesOfEachWriter)
{
    for (const std::string* file : {&files.type2, &files.type1}) {
        TTlmFramesGrabber g;
        for (int frame : {0, 12, 37, 74, 30, 1})
            EXPECT_EQ(GrabAndRead(g, *file, frame), frame) << *file;
        EXPECT_EQ(g.FrameRate(), 25.0);
    }
}

TEST_F(FramesGrabber, FileWithTheAudioStreamFirstYieldsTheVideo)
{
    TTlmFramesGrabber g;
    EXPECT_EQ(GrabAndRead(g, files.audioFirst, 37), 37);
    EXPECT_EQ(g.StreamIndex(), 1);
    EXPECT_EQ(g.FrameRate(), 25.0);
    EXPECT_EQ(g_log.streamSwitches, 2); // looked at the audio stream, then chose the video
}

TEST_F(FramesGrabber, FrameTimesFollowTheStreamsFrameRate)
{
    TTlmFramesGrabber g;
    EXPECT_EQ(g.FrameToTime(0), 0.0);
    EXPECT_EQ(g.FrameToTime(1000), 0.0); // no stream selected yet
    EXPECT_EQ(GrabAndRead(g, files.type2, 25), 25);
    EXPECT_EQ(g.FrameToTime(0), 0.0);
    EXPECT_DOUBLE_EQ(g.FrameToTime(25), 1.0);

    EXPECT_EQ(GrabAndRead(g, files.ntsc, 40, 30), 40);
    EXPECT_NEAR(g.FrameRate(), 29.97, 0.001);
    EXPECT_NEAR(g.FrameToTime(25), 0.834, 0.0005);
}

TEST_F(FramesGrabber, WithoutAKnownFrameRateEveryFrameIsTheFirst)
{
    g_log.zeroFrameRate = true;
    TTlmFramesGrabber g;
    EXPECT_EQ(GrabAndRead(g, files.type2, 60), 0);
    EXPECT_EQ(g.FrameToTime(60), 0.0);
}

// --- Keeping the file open ---------------------------------------------------------------------

TEST_F(FramesGrabber, TwoGrabsFromOneFileOpenItOnce)
{
    TTlmFramesGrabber g;
    IMediaDet* det = g.MediaDet();
    EXPECT_EQ(GrabAndRead(g, files.type2, 5), 5);
    EXPECT_EQ(GrabAndRead(g, files.type2, 60), 60);
    EXPECT_EQ(g.MediaDet(), det);
    EXPECT_EQ(g_log.created, 1);
    EXPECT_EQ(g_log.openCalls, 1);
    EXPECT_EQ(g_log.streamSwitches, 1);
    EXPECT_EQ(g.GetFileName(), Q(files.type2));
}

// File names compare exactly, as the file system does: "X.avi" beside
// "x.avi" is another file and is opened as one.
TEST_F(FramesGrabber, NameInAnotherLetterCaseIsAnotherFile)
{
    TTlmFramesGrabber g;
    EXPECT_EQ(GrabAndRead(g, files.type2, 5), 5);
    EXPECT_EQ(GrabAndRead(g, files.renamed, 6), 6);
    EXPECT_EQ(g_log.created, 2);
    EXPECT_EQ(g_log.openCalls, 2);
    EXPECT_EQ(g.GetFileName(), Q(files.renamed));
}

TEST_F(FramesGrabber, SecondFileGetsAFreshDetectorAndItsOwnStream)
{
    TTlmFramesGrabber g;
    EXPECT_EQ(GrabAndRead(g, files.type2, 10), 10);
    IMediaDet* first = g.MediaDet();
    EXPECT_EQ(GrabAndRead(g, files.audioFirst, 11), 11);
    EXPECT_NE(g.MediaDet(), first);
    EXPECT_EQ(g.StreamIndex(), 1);
    EXPECT_EQ(g_log.created, 2);
    EXPECT_EQ(g_log.openCalls, 2);
    EXPECT_EQ(g_log.streamSwitches, 3);
    // And back: the first file is opened again, its video is stream 0.
    EXPECT_EQ(GrabAndRead(g, files.type2, 12), 12);
    EXPECT_EQ(g.StreamIndex(), 0);
    EXPECT_EQ(g_log.created, 3);
}

// --- Sizes -------------------------------------------------------------------------------------

TEST_F(FramesGrabber, ThumbnailHasTheAskedSizeWhateverTheVideo)
{
    TTlmFramesGrabber g;
    for (QSize size : {QSize(96, 84), QSize(95, 83), QSize(80, 60)}) {
        g.BitmapWidth = size.width();
        g.BitmapHeight = size.height();
        for (const std::string* file : {&files.type2, &files.ntsc, &files.type1}) {
            for (int scene = 0; scene < 3; ++scene) {
                if (file == &files.ntsc && scene > 0)
                    break;
                QImage img;
                ASSERT_TRUE(g.GrabFrame(Q(*file), img, scene * kSceneFrames + 3));
                ASSERT_EQ(img.size(), size) << *file;
                // Upright and unsheared: close to ffmpeg's picture of the same frame at that size.
                EXPECT_LT(MeanDifference(img, Reference(*file, scene * kSceneFrames + 3, size)), 12.0)
                    << *file << " scene " << scene << " at " << size.width() << "x" << size.height();
                if (file != &files.ntsc) {
                    EXPECT_EQ(NearestScene(img.pixel(size.width() / 2, 2)), scene) << *file;
                }
            }
        }
    }
}

// --- Failures ----------------------------------------------------------------------------------

TEST_F(FramesGrabber, MissingOrDamagedFileRaisesAndKeepsTheBitmap)
{
    TTlmFramesGrabber g;
    g.BitmapWidth = 96;
    g.BitmapHeight = 84;
    for (const std::string* file : {&files.missing, &files.damaged, &files.truncated, &files.missing}) {
        QImage bitmap(7, 5, QImage::Format_RGB32);
        bitmap.fill(Qt::magenta);
        const qint64 key = bitmap.cacheKey();
        try {
            g.GrabFrame(Q(*file), bitmap, 0);
            ADD_FAILURE() << *file << " gave a picture";
        } catch (const EExternalException& e) {
            EXPECT_TRUE(FAILED(e.ExceptionCode()));
            EXPECT_EQ(e.Message(), "External exception " + QString::number(quint32(e.ExceptionCode()), 16).toUpper())
                << *file;
        }
        EXPECT_EQ(bitmap.cacheKey(), key) << *file;
        EXPECT_EQ(bitmap.size(), QSize(7, 5));
        // The grabber stays usable.
        QImage good;
        EXPECT_TRUE(g.GrabFrame(Q(files.type2), good, 3));
        EXPECT_EQ(good.size(), QSize(96, 84));
    }
}

TEST_F(FramesGrabber, BitmapWithoutAnOpenFileRaises)
{
    TTlmFramesGrabber g;
    g.BitmapWidth = 96;
    g.BitmapHeight = 84;
    QImage bitmap;
    EXPECT_THROW(g.GetBitmap(bitmap, 0.0), EExternalException);
    EXPECT_TRUE(bitmap.isNull());
}

TEST_F(FramesGrabber, PictureThatDoesNotFitItsBufferIsRefused)
{
    TTlmFramesGrabber g;
    g.BitmapWidth = 96;
    g.BitmapHeight = 84;
    for (bool* flag : {&g_log.shortBuffer, &g_log.wrongBitCount}) {
        *flag = true;
        QImage bitmap(3, 3, QImage::Format_RGB32);
        const qint64 key = bitmap.cacheKey();
        EXPECT_THROW(g.GrabFrame(Q(files.type2), bitmap, 0), EExternalException);
        EXPECT_EQ(bitmap.cacheKey(), key);
        *flag = false;
        EXPECT_TRUE(g.GrabFrame(Q(files.type2), bitmap, 0));
        EXPECT_EQ(bitmap.size(), QSize(96, 84));
    }
}

TEST_F(FramesGrabber, NoDetectorMeansNoGrabberOrFalse)
{
    g_log.failCreation = true;
    try {
        TTlmFramesGrabber g;
        ADD_FAILURE() << "a grabber without a detector";
    } catch (const EExternalException& e) {
        EXPECT_EQ(e.ExceptionCode(), REGDB_E_CLASSNOTREG);
        EXPECT_EQ(e.Message(), "External exception 80040154");
    }
    g_log.failCreation = false;

    TTlmFramesGrabber g;
    g.ReleaseMediaDet();
    QImage bitmap(2, 2, QImage::Format_RGB32);
    const qint64 key = bitmap.cacheKey();
    EXPECT_FALSE(g.GrabFrame(Q(files.type2), bitmap, 0));
    EXPECT_FALSE(g.GetBitmap(bitmap, 0));
    EXPECT_EQ(bitmap.cacheKey(), key);
    EXPECT_TRUE(g.GetFileName().isEmpty());
}
