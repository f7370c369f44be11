// The two sample grabber callbacks: the gated frame callback and the picture
// callback that delivers one picture per request.
#include "CaptureFakes.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using th::com::MakeCom;

namespace {

std::vector<BYTE> Frame(std::size_t n, BYTE fill = 0)
{
    return std::vector<BYTE>(n, fill);
}

} // namespace

TEST(FrameCallback, AnswersOnlyItsInterfacesAndIsNeverFreedByCounts)
{
    TCriticalSection lock;
    TSampleGrabberCB cb(lock);
    void* p = nullptr;
    EXPECT_EQ(cb.QueryInterface(IID_IUnknown, &p), S_OK);
    EXPECT_EQ(p, static_cast<ISampleGrabberCB*>(&cb));
    void* q = nullptr;
    EXPECT_EQ(cb.QueryInterface(IID_ISampleGrabberCB, &q), S_OK);
    EXPECT_EQ(q, p);
    void* r = &cb;
    EXPECT_EQ(cb.QueryInterface(IID_IMediaSample, &r), E_NOINTERFACE);
    EXPECT_EQ(r, nullptr);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(cb.AddRef(), 2u);
        EXPECT_EQ(cb.Release(), 1u);
    }
    EXPECT_EQ(cb.Release(), 1u);
    EXPECT_EQ(cb.Release(), 1u); // the references of the two queries
    EXPECT_EQ(cb.Release(), 1u) << "one release too many does not free it";
    EXPECT_TRUE(cb.WaitUnused(std::chrono::milliseconds(0)));
    cb.AddRef();
    EXPECT_FALSE(cb.WaitUnused(std::chrono::milliseconds(10))) << "a reference still held is seen";
    cb.Release();
    EXPECT_TRUE(cb.WaitUnused(std::chrono::milliseconds(0)));
}

TEST(FrameCallback, GateAndHandlerDecideWhetherTheLockIsTaken)
{
    TCriticalSection lock;
    TSampleGrabberCB cb(lock);
    auto data = Frame(100);
    auto sample = MakeCom<fakes::Sample>(data.data(), 100, 5000, 6000);
    int calls = 0;
    BYTE* seenBuffer = nullptr;
    LONG seenLen = 0;
    LONGLONG seenStart = 0, seenStop = 0;
    cb.OnSample = [&](BYTE* b, LONG l, LONGLONG s, LONGLONG e) {
        ++calls;
        seenBuffer = b;
        seenLen = l;
        seenStart = s;
        seenStop = e;
    };

    // Disabled: returns at once even while another thread holds the lock.
    std::atomic<bool> held{false}, release{false};
    std::thread holder([&] {
        std::lock_guard<TCriticalSection> g(lock);
        held = true;
        while (!release)
            std::this_thread::yield();
    });
    while (!held)
        std::this_thread::yield();
    EXPECT_EQ(cb.SampleCB(0.0005, sample.Get()), S_OK);
    EXPECT_EQ(calls, 0);
    cb.SetEnabled(true);
    cb.OnSample = nullptr;
    EXPECT_EQ(cb.SampleCB(0.0005, sample.Get()), S_OK) << "no handler: the lock is not waited for either";
    release = true;
    holder.join();

    cb.OnSample = [&](BYTE* b, LONG l, LONGLONG s, LONGLONG e) {
        ++calls;
        seenBuffer = b;
        seenLen = l;
        seenStart = s;
        seenStop = e;
    };
    EXPECT_EQ(cb.SampleCB(0.0005, sample.Get()), S_OK);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(seenBuffer, data.data()) << "the sample's own memory, not a copy";
    EXPECT_EQ(seenLen, 100);
    EXPECT_EQ(seenStart, 5000);
    EXPECT_EQ(seenStop, 6000);

    auto empty = MakeCom<fakes::Sample>(nullptr, 100, 0);
    EXPECT_EQ(cb.SampleCB(0, empty.Get()), S_OK);
    EXPECT_EQ(calls, 1) << "a sample without a buffer is not handed on";

    cb.OnSample = [&](BYTE*, LONG, LONGLONG, LONGLONG) { throw std::runtime_error("handler failure"); };
    EXPECT_EQ(cb.SampleCB(0, sample.Get()), S_OK) << "the failure stays in the callback";
    std::thread other([&] { std::lock_guard<TCriticalSection> g(lock); });
    other.join(); // the lock was released after the failure
}

TEST(FrameCallback, BufferCallbackHandsOnACopyForTheCall)
{
    TCriticalSection lock;
    TSampleGrabberCB cb(lock);
    auto data = Frame(64, 7);
    std::vector<BYTE> seen;
    BYTE* seenPtr = nullptr;
    double seenTime = 0;
    cb.OnBuffer = [&](BYTE* b, LONG l, double t) {
        seen.assign(b, b + l);
        seenPtr = b;
        seenTime = t;
    };
    cb.BufferCB(1.5, data.data(), 64);
    EXPECT_TRUE(seen.empty()) << "gated like SampleCB";
    cb.SetEnabled(true);
    EXPECT_EQ(cb.BufferCB(1.5, data.data(), 64), S_OK);
    EXPECT_EQ(seen, data);
    EXPECT_NE(seenPtr, data.data());
    EXPECT_EQ(seenTime, 1.5);
}

namespace {

// Tells when a sample has passed the gate and is about to wait for the lock.
class GateWatch : public TSampleGrabberCB {
public:
    using TSampleGrabberCB::TSampleGrabberCB;
    std::atomic<int> passed{0};

protected:
    void GatePassed() override { ++passed; }
};

} // namespace

TEST(FrameCallback, ASampleWaitingForTheLockWhenTheGateClosesDoesNothing)
{
    // The owner closes the gate while holding the lock, as the capture
    // component's Stop does; a sample that passed the gate just before waits
    // for the lock and must not reach the handler afterwards, nor after the
    // gate has opened again for a new run.
    TCriticalSection lock;
    GateWatch cb(lock);
    auto data = Frame(16);
    auto sample = MakeCom<fakes::Sample>(data.data(), 16, 0);
    std::atomic<int> calls{0};
    cb.OnSample = [&](BYTE*, LONG, LONGLONG, LONGLONG) { ++calls; };
    cb.SetEnabled(true);

    for (const bool reopen : {false, true}) {
        calls = 0;
        cb.passed = 0;
        std::unique_lock<TCriticalSection> owner(lock);
        std::thread streaming([&] { cb.SampleCB(0, sample.Get()); });
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (cb.passed == 0 && std::chrono::steady_clock::now() < until)
            std::this_thread::yield();
        if (cb.passed == 0) {
            owner.unlock();
            streaming.join();
            FAIL() << "the sample never came past the gate";
        }
        cb.SetEnabled(false);
        if (reopen)
            cb.SetEnabled(true);
        owner.unlock();
        streaming.join();
        EXPECT_EQ(calls, 0) << (reopen ? "after a new run began" : "after the stop");
        cb.SetEnabled(true);
    }
}

// --- The picture callback --------------------------------------------------------------

class PictureCallback : public ::testing::Test {
protected:
    void SetUp() override
    {
        grabber = MakeCom<fakes::Grabber>();
        cb.Install(grabber, [this](const QImage& bmp, BYTE d, BYTE m, BYTE h, BYTE mi, BYTE s, int y) {
            pictures.push_back(bmp.copy());
            dates.push_back(QString::asprintf("%04d-%02d-%02d %02d:%02d:%02d", y, m, d, h, mi, s));
        });
        pixels = Frame(4 * 3 * 2, 0x40); // 4 x 2 at 24 bits: 12-byte rows, no padding
    }
    HRESULT Deliver(REFERENCE_TIME start)
    {
        auto sample = MakeCom<fakes::Sample>(pixels.data(), LONG(pixels.size()), start);
        return cb.SampleCB(double(start) / 1e7, sample.Get());
    }

    TPictureGrabberCB cb;
    ComPtr<fakes::Grabber> grabber;
    std::vector<QImage> pictures;
    std::vector<QString> dates;
    std::vector<BYTE> pixels;
};

TEST_F(PictureCallback, DeliversOnePictureAtOrAfterTheArmedTime)
{
    EXPECT_EQ(cb.TargetTime(), -1);
    Deliver(0);
    EXPECT_TRUE(pictures.empty()) << "disarmed: every sample is ignored";
    EXPECT_EQ(grabber->typeReads, 0);

    cb.Arm(15, 6, 4000000, 14, 22, 5, 2003);
    Deliver(3999999);
    EXPECT_TRUE(pictures.empty()) << "a sample before the time is ignored";
    EXPECT_EQ(Deliver(4000000), S_OK);
    ASSERT_EQ(pictures.size(), 1u);
    EXPECT_EQ(dates[0], "2003-06-15 14:22:05");
    EXPECT_EQ(pictures[0].size(), QSize(4, 2));
    EXPECT_EQ(cb.TargetTime(), -1);
    Deliver(4400000);
    EXPECT_EQ(pictures.size(), 1u) << "one picture per request";

    cb.Arm(1, 1, 8000000, 0, 0, 0, 2004);
    Deliver(9000000); // passing the time counts too
    EXPECT_EQ(pictures.size(), 2u);
}

TEST_F(PictureCallback, ArmingKeepsOnlyTheLatestRequest)
{
    cb.Arm(1, 2, 100, 3, 4, 5, 2001);
    cb.Arm(9, 9, 100, 9, 9, 9, 1999);
    Deliver(100);
    ASSERT_EQ(dates.size(), 1u);
    EXPECT_EQ(dates[0], "2001-02-01 03:04:05") << "the time already armed keeps its date";

    cb.Arm(1, 2, 200, 3, 4, 5, 2001);
    cb.Arm(6, 7, 300, 8, 9, 10, 2002);
    Deliver(300);
    Deliver(400);
    ASSERT_EQ(dates.size(), 2u) << "two requests before a sample give one picture";
    EXPECT_EQ(dates[1], "2002-07-06 08:09:10");

    cb.Arm(1, 1, 500, 0, 0, 0, 2001);
    cb.Disarm();
    Deliver(600);
    EXPECT_EQ(dates.size(), 2u);
}

TEST_F(PictureCallback, BufferCallbackComparesSecondsAsStreamTime)
{
    cb.Arm(1, 1, 20000000, 0, 0, 0, 2001);
    cb.BufferCB(1.9, pixels.data(), LONG(pixels.size()));
    EXPECT_TRUE(pictures.empty());
    cb.BufferCB(2.0, pixels.data(), LONG(pixels.size()));
    EXPECT_EQ(pictures.size(), 1u);
}

TEST_F(PictureCallback, AnUnusableSampleLeavesTheRequestPending)
{
    cb.Arm(1, 1, 0, 0, 0, 0, 2001);
    grabber->connected = VFW_E_NOT_CONNECTED;
    Deliver(0);
    grabber->connected = S_OK;
    grabber->major = MEDIATYPE_Audio;
    Deliver(0);
    grabber->major = MEDIATYPE_Video;
    grabber->format = FORMAT_WaveFormatEx;
    Deliver(0);
    grabber->format = FORMAT_VideoInfo;
    grabber->header.biBitCount = 12; // no bitmap of that depth can be made
    Deliver(0);
    grabber->header.biBitCount = 24;
    grabber->header.biWidth = 0;
    Deliver(0);
    grabber->header.biWidth = 100000;
    Deliver(0);
    grabber->header.biWidth = 4;
    auto empty = MakeCom<fakes::Sample>(nullptr, 24, 0);
    cb.SampleCB(0, empty.Get());
    auto zero = MakeCom<fakes::Sample>(pixels.data(), 0, 0);
    cb.SampleCB(0, zero.Get());
    EXPECT_TRUE(pictures.empty());
    EXPECT_EQ(cb.TargetTime(), 0) << "still armed";

    grabber->format = FORMAT_VideoInfo2;
    Deliver(0);
    EXPECT_EQ(pictures.size(), 1u) << "the header inside VIDEOINFOHEADER2 is found too";
}

TEST_F(PictureCallback, AFailingHandlerDoesNotReachTheStreamingThread)
{
    cb.Install(grabber, [](const QImage&, BYTE, BYTE, BYTE, BYTE, BYTE, int) { throw std::runtime_error("x"); });
    cb.Arm(1, 1, 0, 0, 0, 0, 2001);
    EXPECT_EQ(Deliver(0), S_OK);
    EXPECT_EQ(cb.TargetTime(), -1);
}

TEST(PictureFromSample, RowsComeBottomUpAndTheCopyStaysInsideThePixels)
{
    // 3 x 2 at 24 bits: 9 bytes of pixels, rows padded to 12.
    BITMAPINFOHEADER h{40, 3, 2, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
    std::vector<BYTE> bytes(24, 0);
    // Bottom row (first in memory): blue; top row: red. Bytes are blue, green, red.
    for (int x = 0; x < 3; ++x) {
        bytes[x * 3 + 0] = 0xFF;
        bytes[12 + x * 3 + 2] = 0xFF;
    }
    QImage img = PictureFromSample(h, bytes.data(), LONG(bytes.size()));
    ASSERT_FALSE(img.isNull());
    EXPECT_EQ(img.pixel(0, 0), qRgb(255, 0, 0));
    EXPECT_EQ(img.pixel(2, 1), qRgb(0, 0, 255));

    h.biHeight = -2; // top-down
    img = PictureFromSample(h, bytes.data(), LONG(bytes.size()));
    EXPECT_EQ(img.pixel(0, 0), qRgb(0, 0, 255));

    // A sample longer than the pixel memory: only what fits is taken. The
    // buffer below is exactly as long as the sample claims, so a copy past
    // the pixels would be caught by the sanitizers through the image's rows.
    std::vector<BYTE> longer(1000, 0x11);
    h.biHeight = 2;
    img = PictureFromSample(h, longer.data(), LONG(longer.size()));
    ASSERT_FALSE(img.isNull());
    EXPECT_EQ(img.pixel(2, 1), qRgb(0x11, 0x11, 0x11));

    // A short sample: the rest of the picture is black, and nothing is read past it.
    std::vector<BYTE> shorter(12, 0xFF);
    img = PictureFromSample(h, shorter.data(), LONG(shorter.size()));
    EXPECT_EQ(img.pixel(0, 1), qRgb(255, 255, 255));
    EXPECT_EQ(img.pixel(0, 0), qRgb(0, 0, 0));

    BITMAPINFOHEADER h32{40, 2, 1, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    std::vector<BYTE> b32{0x00, 0xFF, 0x00, 0x00, 0x00, 0x00, 0xFF, 0x00};
    img = PictureFromSample(h32, b32.data(), 8);
    EXPECT_EQ(img.pixel(0, 0), qRgb(0, 255, 0));
    EXPECT_EQ(img.pixel(1, 0), qRgb(255, 0, 0));

    BITMAPINFOHEADER compressed = h;
    compressed.biCompression = 0x64737664;
    EXPECT_TRUE(PictureFromSample(compressed, bytes.data(), 24).isNull());
}
