// The DV Video Decoder: picture sizes at every display resolution for both
// systems, bottom-up RGB24 pixels of the right colours, the output types, a
// change of size while connected and while running, a Sample Grabber asking
// for RGB24 in the scene-branch graph, and damaged frames.
#include "DvMediaTestUtil.h"

#include "platform/media/DVSplitter.h"
#include "platform/media/DVVideoDecoder.h"
#include "support/TestUtil.h"

#include <gtest/gtest.h>

#include <random>
#include <thread>

using namespace dvtest;
using th::dif::System;
using th::media::DibLayout;
using th::media::DvPictureDecoder;
using th::test::TempDir;

namespace {

struct Case {
    bool pal;
    int resolution;
    int width, height, lowres;
};

const Case kCases[] = {
    {true, DVRESOLUTION_FULL, 720, 576, 0},   {true, DVRESOLUTION_HALF, 360, 288, 1},
    {true, DVRESOLUTION_QUARTER, 180, 144, 2}, {true, DVRESOLUTION_DC, 90, 72, -1},
    {false, DVRESOLUTION_FULL, 720, 480, 0},  {false, DVRESOLUTION_HALF, 360, 240, 1},
    {false, DVRESOLUTION_QUARTER, 180, 120, 2}, {false, DVRESOLUTION_DC, 90, 60, -1},
};

std::string caseName(const ::testing::TestParamInfo<Case>& info)
{
    return std::string(info.param.pal ? "Pal" : "Ntsc") + std::to_string(info.param.width) + "x" +
           std::to_string(info.param.height);
}

// Blue, green, red of a DIB pixel; row 0 is the bottom row.
std::array<int, 3> pixel(const std::uint8_t* pixels, const DibLayout& l, int x, int row)
{
    const std::uint8_t* p = pixels + static_cast<std::ptrdiff_t>(row) * l.stride + 3 * x;
    return {p[0], p[1], p[2]};
}

void expectNear(const std::array<int, 3>& got, int b, int g, int r, int tolerance, const char* what)
{
    EXPECT_NEAR(got[0], b, tolerance) << what << " blue";
    EXPECT_NEAR(got[1], g, tolerance) << what << " green";
    EXPECT_NEAR(got[2], r, tolerance) << what << " red";
}

// Frames of one scene in #2060C0.
std::vector<Frame> sceneFrames(bool pal, int count, TempDir& dir)
{
    const std::string tape = dir.file(pal ? "pal.dv" : "ntsc.dv");
    EXPECT_TRUE(makeTape({pal ? "--pal" : "--ntsc", "--scene",
                          "length=" + std::to_string(count) + ",date=2003-06-15,time=14:22:05,colour=#2060C0"},
                         tape));
    return readFrames(tape, pal ? 144000 : 120000);
}

CMediaType dvVideoType(bool pal)
{
    CMediaType t;
    th::media::MakeDvVideoType(pal ? System::Pal625_50 : System::Ntsc525_60, &t);
    return t;
}

const VIDEOINFOHEADER* videoInfo(const AM_MEDIA_TYPE& mt)
{
    return mt.formattype == FORMAT_VideoInfo && mt.cbFormat >= sizeof(VIDEOINFOHEADER)
               ? reinterpret_cast<const VIDEOINFOHEADER*>(mt.pbFormat)
               : nullptr;
}

struct DecoderGraph {
    Graph g;
    ComPtr<IBaseFilter> source, decoder, sink;
    ComPtr<IIPDVDec> ipdv;
    FrameSource* src = nullptr;
    RecordingSink* rec = nullptr;

    DecoderGraph(std::vector<Frame> frames, bool pal, int resolution)
    {
        source = FrameSource::Make(std::move(frames), dvVideoType(pal), pal ? 400000 : 333667, &src);
        EXPECT_EQ(CoCreateInstance(CLSID_DVVideoCodec, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&decoder)), S_OK);
        EXPECT_EQ(decoder.As(&ipdv), S_OK);
        EXPECT_EQ(ipdv->put_IPDisplay(resolution), S_OK);
        sink = RecordingSink::Make(MEDIATYPE_Video, &rec);
        g.add(source.Get(), u"Source");
        g.add(decoder.Get(), u"DV Video Decoder");
        g.add(sink.Get(), u"Sink");
        EXPECT_EQ(g.builder->ConnectDirect(pinOf(source.Get(), u"Out").Get(), pinOf(decoder.Get(), u"XForm In").Get(),
                                           nullptr),
                  S_OK);
        EXPECT_EQ(g.builder->ConnectDirect(pinOf(decoder.Get(), u"XForm Out").Get(), pinOf(sink.Get(), u"In").Get(),
                                           nullptr),
                  S_OK);
    }
};

} // namespace

// --- Sizes and pixels -------------------------------------------------------------------------------

class DecoderSizes : public ::testing::TestWithParam<Case> {};

TEST_P(DecoderSizes, PictureHasTheSizeColoursAndRowOrderOfTheResolution)
{
    const Case c = GetParam();
    TempDir dir;
    const auto frames = sceneFrames(c.pal, 2, dir);
    ASSERT_EQ(frames.size(), 2u);
    const auto size = th::media::dvPictureSize(c.pal ? System::Pal625_50 : System::Ntsc525_60, c.resolution);
    EXPECT_EQ(size.width, c.width);
    EXPECT_EQ(size.height, c.height);

    DvPictureDecoder dec;
    std::vector<std::uint8_t> pixels(720 * 576 * 3);
    DibLayout l;
    for (const Frame& fr : frames)
        ASSERT_EQ(dec.decode(fr.data(), fr.size(), c.resolution, pixels.data(), pixels.size(), &l), S_OK);
    EXPECT_EQ(l.width, c.width);
    EXPECT_EQ(l.height, c.height);
    EXPECT_EQ(l.stride, (c.width * 3 + 3) & ~3) << "DIB rows are whole 32-bit words";
    EXPECT_EQ(l.sizeImage, static_cast<std::size_t>(l.stride * c.height));
    // The smaller sizes come from libavcodec's reduced-resolution decoding,
    // the DC picture from no decoder at all.
    EXPECT_EQ(dec.lowres(), c.lowres);

    // The top rows show the scene's colour; the grey wedge lies along the
    // bottom of the picture, which a bottom-up DIB stores first.
    expectNear(pixel(pixels.data(), l, 2, l.height - 2), 0xC0, 0x60, 0x20, 12, "top left");
    expectNear(pixel(pixels.data(), l, l.width - 1, l.height - 2), 0xC0, 0x60, 0x20, 12, "top right");
    expectNear(pixel(pixels.data(), l, 2, 1), 0, 0, 0, 12, "wedge black");
    expectNear(pixel(pixels.data(), l, l.width - 1, 1), 255, 255, 255, 12, "wedge white");

    // The filter offers the same size as its output type.
    CMediaType mt;
    th::media::CDVVideoDecoder::MakeOutputType(c.pal ? System::Pal625_50 : System::Ntsc525_60, c.resolution, &mt);
    const VIDEOINFOHEADER* vih = videoInfo(mt);
    ASSERT_TRUE(vih);
    EXPECT_TRUE(mt.majortype == MEDIATYPE_Video && mt.subtype == MEDIASUBTYPE_RGB24);
    EXPECT_EQ(vih->bmiHeader.biSize, 40u);
    EXPECT_EQ(vih->bmiHeader.biWidth, c.width);
    EXPECT_EQ(vih->bmiHeader.biHeight, c.height) << "positive: bottom-up";
    EXPECT_EQ(vih->bmiHeader.biPlanes, 1);
    EXPECT_EQ(vih->bmiHeader.biBitCount, 24);
    EXPECT_EQ(vih->bmiHeader.biCompression, BI_RGB);
    EXPECT_EQ(vih->bmiHeader.biSizeImage, l.sizeImage);
    EXPECT_EQ(vih->AvgTimePerFrame, c.pal ? 400000 : 333667);
    EXPECT_EQ(mt.lSampleSize, l.sizeImage);
}

TEST_P(DecoderSizes, FilterDeliversPicturesOfTheSizeWithTheFramesTimes)
{
    const Case c = GetParam();
    TempDir dir;
    const auto frames = sceneFrames(c.pal, 3, dir);
    DecoderGraph dg(frames, c.pal, c.resolution);
    AM_MEDIA_TYPE mt{};
    ASSERT_EQ(pinOf(dg.decoder.Get(), u"XForm Out")->ConnectionMediaType(&mt), S_OK);
    ASSERT_TRUE(videoInfo(mt));
    EXPECT_EQ(videoInfo(mt)->bmiHeader.biWidth, c.width);
    EXPECT_EQ(videoInfo(mt)->bmiHeader.biHeight, c.height);
    th::dshow::FreeMediaTypeContents(mt);

    ASSERT_EQ(dg.g.control->Run(), S_OK);
    ASSERT_TRUE(dg.rec->WaitForEndOfStream());
    EXPECT_EQ(dg.g.control->Stop(), S_OK);
    const auto got = dg.rec->Samples();
    ASSERT_EQ(got.size(), 3u);
    const REFERENCE_TIME frameTime = c.pal ? 400000 : 333667;
    for (std::size_t k = 0; k < got.size(); ++k) {
        // 32 bits, the first type offered, which a sink that takes any video takes.
        EXPECT_EQ(got[k].data.size(), static_cast<std::size_t>(c.width * 4 * c.height));
        EXPECT_FALSE(got[k].typeAttached);
        EXPECT_EQ(got[k].start, static_cast<REFERENCE_TIME>(k) * frameTime);
        EXPECT_EQ(got[k].mediaStart, static_cast<LONGLONG>(k));
    }
}

INSTANTIATE_TEST_SUITE_P(Resolutions, DecoderSizes, ::testing::ValuesIn(kCases), caseName);

// The DC picture, read from the coefficients, is libavcodec's full picture
// averaged over each 8×8 block: a scene with its burned-in text and wedge,
// in both systems (4:2:0 and 4:1:1, whose macroblocks lie apart).
TEST(DecoderDc, ThePictureIsTheFullDecodeAveragedPerBlock)
{
    for (const bool pal : {true, false}) {
        SCOPED_TRACE(pal ? "625/50" : "525/60");
        TempDir dir;
        const auto frames = sceneFrames(pal, 1, dir);
        ASSERT_EQ(frames.size(), 1u);
        DvPictureDecoder dec;
        std::vector<std::uint8_t> full(720 * 576 * 3), dc(720 * 576 * 3);
        DibLayout lf, ld;
        ASSERT_EQ(dec.decode(frames[0].data(), frames[0].size(), DVRESOLUTION_FULL, full.data(), full.size(), &lf),
                  S_OK);
        ASSERT_EQ(dec.decode(frames[0].data(), frames[0].size(), DVRESOLUTION_DC, dc.data(), dc.size(), &ld), S_OK);
        ASSERT_EQ(ld.width, 90);
        ASSERT_EQ(ld.height, lf.height / 8);
        double sum = 0;
        int worst = 0;
        for (int y = 0; y < ld.height; ++y) {
            for (int x = 0; x < ld.width; ++x) {
                for (int c = 0; c < 3; ++c) {
                    int mean = 0;
                    for (int j = 0; j < 8; ++j)
                        for (int i = 0; i < 8; ++i)
                            mean += full[static_cast<std::size_t>((y * 8 + j) * lf.stride + (x * 8 + i) * 3 + c)];
                    mean = (mean + 32) / 64;
                    const int d = std::abs(dc[static_cast<std::size_t>(y * ld.stride + x * 3 + c)] - mean);
                    sum += d;
                    worst = std::max(worst, d);
                }
            }
        }
        const double meanDifference = sum / (ld.width * ld.height * 3);
        EXPECT_LT(meanDifference, 4.0);
        // A misplaced block shows as a whole block of another colour.
        EXPECT_LT(worst, 96);
    }
}

// --- Changing the size ----------------------------------------------------------------------------

TEST(DecoderDisplay, ValuesOutsideTheFourAreRefused)
{
    ComPtr<IBaseFilter> f;
    ASSERT_EQ(CoCreateInstance(CLSID_DVVideoCodec, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&f)), S_OK);
    ComPtr<IIPDVDec> ipdv;
    ASSERT_EQ(f.As(&ipdv), S_OK);
    int v = 0;
    ASSERT_EQ(ipdv->get_IPDisplay(&v), S_OK);
    EXPECT_EQ(v, DVRESOLUTION_FULL);
    for (int bad : {999, 1004, 0, -1})
        EXPECT_EQ(ipdv->put_IPDisplay(bad), E_INVALIDARG);
    EXPECT_EQ(ipdv->put_IPDisplay(DVRESOLUTION_QUARTER), S_OK);
    ipdv->get_IPDisplay(&v);
    EXPECT_EQ(v, DVRESOLUTION_QUARTER);
    EXPECT_EQ(ipdv->get_IPDisplay(nullptr), E_POINTER);
}

TEST(DecoderDisplay, ChangeWhileConnectedTravelsWithTheFirstSampleOfTheNewSize)
{
    TempDir dir;
    const auto frames = sceneFrames(true, 40, dir);
    DecoderGraph dg(frames, true, DVRESOLUTION_FULL);

    // Stopped and connected: the connection type changes at once.
    ASSERT_EQ(dg.ipdv->put_IPDisplay(DVRESOLUTION_DC), S_OK);
    AM_MEDIA_TYPE mt{};
    ASSERT_EQ(pinOf(dg.decoder.Get(), u"XForm Out")->ConnectionMediaType(&mt), S_OK);
    EXPECT_EQ(videoInfo(mt)->bmiHeader.biWidth, 90);
    EXPECT_EQ(videoInfo(mt)->bmiHeader.biHeight, 72);
    th::dshow::FreeMediaTypeContents(mt);

    dg.src->interval = std::chrono::milliseconds(10);
    ASSERT_EQ(dg.g.control->Run(), S_OK);
    ASSERT_TRUE(th::test::waitUntil([&] { return dg.rec->Samples().size() >= 5; }));
    // While running.
    ASSERT_EQ(dg.ipdv->put_IPDisplay(DVRESOLUTION_HALF), S_OK);
    ASSERT_TRUE(dg.rec->WaitForEndOfStream());
    EXPECT_EQ(dg.g.control->Stop(), S_OK);

    const auto got = dg.rec->Samples();
    ASSERT_EQ(got.size(), 40u);
    ASSERT_TRUE(got[0].typeAttached);
    ASSERT_TRUE(videoInfo(got[0].attached));
    EXPECT_EQ(videoInfo(got[0].attached)->bmiHeader.biWidth, 90);
    std::size_t changes = 0;
    bool half = false;
    for (std::size_t k = 0; k < got.size(); ++k) {
        if (got[k].typeAttached) {
            ++changes;
            half = videoInfo(got[k].attached)->bmiHeader.biWidth == 360;
        }
        // Every sample has the size its type says, and the sink's type follows.
        const VIDEOINFOHEADER* vih = videoInfo(got[k].connection);
        ASSERT_TRUE(vih);
        EXPECT_EQ(vih->bmiHeader.biWidth, half ? 360 : 90) << k;
        EXPECT_EQ(got[k].data.size(), vih->bmiHeader.biSizeImage) << k;
    }
    EXPECT_EQ(changes, 2u);
    EXPECT_TRUE(half);
}

TEST(DecoderDisplay, ASizeThePinBehindRefusesIsRefusedAndTheOldSizeStays)
{
    TempDir dir;
    const auto frames = sceneFrames(true, 2, dir);
    DecoderGraph dg(frames, true, DVRESOLUTION_QUARTER);
    // A sink that takes any video is connected at 32 bits, the size changes at 32 bits.
    dg.rec->Refuse(MEDIASUBTYPE_RGB32);
    EXPECT_EQ(dg.ipdv->put_IPDisplay(DVRESOLUTION_HALF), VFW_E_TYPE_NOT_ACCEPTED);
    int v = 0;
    dg.ipdv->get_IPDisplay(&v);
    EXPECT_EQ(v, DVRESOLUTION_QUARTER);
    AM_MEDIA_TYPE mt{};
    ASSERT_EQ(pinOf(dg.decoder.Get(), u"XForm Out")->ConnectionMediaType(&mt), S_OK);
    EXPECT_EQ(videoInfo(mt)->bmiHeader.biWidth, 180);
    th::dshow::FreeMediaTypeContents(mt);
}

// --- The scene branch: splitter, decoder and a grabber asking for RGB24 ---------------------

TEST(DecoderGraphs, GrabberAskingForRgb24GetsItAtTheSmallestSize)
{
    TempDir dir;
    const auto frames = sceneFrames(true, 6, dir);
    Graph g;
    FrameSource* src = nullptr;
    RecordingSink* rec = nullptr;
    ComPtr<IBaseFilter> source = FrameSource::Make(frames, interleavedType(frames[0]), 400000, &src);
    ComPtr<IBaseFilter> splitter, decoder, grabber, sink = RecordingSink::Make(GUID_NULL, &rec);
    ASSERT_EQ(CoCreateInstance(CLSID_DVSplitter, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&splitter)), S_OK);
    ASSERT_EQ(CoCreateInstance(CLSID_DVVideoCodec, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&decoder)), S_OK);
    ASSERT_EQ(CoCreateInstance(CLSID_SampleGrabber, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&grabber)), S_OK);
    g.add(source.Get(), u"Source");
    g.add(splitter.Get(), u"NewScenes DV Splitter");
    g.add(decoder.Get(), u"New Scenes Video Decoder");
    g.add(grabber.Get(), u"PictureGrab");
    g.add(sink.Get(), u"NewScene Null Renderer");
    ComPtr<ISampleGrabber> sg;
    ASSERT_EQ(grabber.As(&sg), S_OK);
    AM_MEDIA_TYPE want{};
    want.majortype = MEDIATYPE_Video;
    want.subtype = MEDIASUBTYPE_RGB24;
    ASSERT_EQ(sg->SetMediaType(&want), S_OK);
    ASSERT_EQ(sg->SetBufferSamples(TRUE), S_OK);

    ComPtr<ICaptureGraphBuilder2> cgb;
    ASSERT_EQ(CoCreateInstance(CLSID_CaptureGraphBuilder2, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&cgb)), S_OK);
    ASSERT_EQ(cgb->SetFiltergraph(g.builder.Get()), S_OK);
    ASSERT_EQ(cgb->RenderStream(nullptr, &MEDIATYPE_Interleaved, source.Get(), nullptr, splitter.Get()), S_OK);
    ASSERT_EQ(cgb->RenderStream(nullptr, &MEDIATYPE_Video, splitter.Get(), decoder.Get(), grabber.Get()), S_OK);
    ComPtr<IIPDVDec> ipdv;
    ASSERT_EQ(decoder.As(&ipdv), S_OK);
    ASSERT_EQ(ipdv->put_IPDisplay(DVRESOLUTION_DC), S_OK);
    ASSERT_EQ(cgb->RenderStream(nullptr, &MEDIATYPE_Video, grabber.Get(), nullptr, sink.Get()), S_OK);

    ASSERT_EQ(g.control->Run(), S_OK);
    ASSERT_TRUE(rec->WaitForEndOfStream());
    EXPECT_EQ(g.control->Stop(), S_OK);

    AM_MEDIA_TYPE mt{};
    ASSERT_EQ(sg->GetConnectedMediaType(&mt), S_OK);
    EXPECT_TRUE(mt.majortype == MEDIATYPE_Video && mt.subtype == MEDIASUBTYPE_RGB24);
    const VIDEOINFOHEADER* vih = videoInfo(mt);
    ASSERT_TRUE(vih);
    EXPECT_EQ(vih->bmiHeader.biWidth, 90);
    EXPECT_EQ(vih->bmiHeader.biHeight, 72);
    EXPECT_EQ(vih->bmiHeader.biBitCount, 24);
    EXPECT_EQ(vih->bmiHeader.biSizeImage, 272u * 72);
    th::dshow::FreeMediaTypeContents(mt);
    const auto got = rec->Samples();
    ASSERT_EQ(got.size(), 6u);
    for (const auto& r : got)
        EXPECT_EQ(r.data.size(), 272u * 72);
    LONG size = 0;
    ASSERT_EQ(sg->GetCurrentBuffer(&size, nullptr), S_OK);
    EXPECT_EQ(size, 272 * 72);
}

// --- Damaged frames ---------------------------------------------------------------------------------

TEST(DecoderFrames, ShortGarbledAndForeignFramesGiveErrorsNeverFaults)
{
    TempDir dir;
    const auto frames = sceneFrames(true, 1, dir);
    DvPictureDecoder dec;
    std::vector<std::uint8_t> pixels(720 * 576 * 3);
    DibLayout l;
    const Frame& fr = frames[0];
    EXPECT_EQ(dec.decode(fr.data(), 100000, DVRESOLUTION_FULL, pixels.data(), pixels.size(), &l),
              th::media::kFrameRejected);
    EXPECT_EQ(dec.decode(fr.data(), fr.size(), 1234, pixels.data(), pixels.size(), &l), E_INVALIDARG);
    EXPECT_EQ(dec.decode(fr.data(), fr.size(), DVRESOLUTION_FULL, pixels.data(), 1000, &l), VFW_E_BUFFER_OVERFLOW);
    Frame foreign(144000, 0x55);
    EXPECT_EQ(dec.decode(foreign.data(), foreign.size(), DVRESOLUTION_DC, pixels.data(), pixels.size(), &l),
              th::media::kFrameRejected);

    // Garbled video blocks behind a good header: decoded as far as possible or refused.
    std::mt19937 rng(11);
    for (int round = 0; round < 20; ++round) {
        Frame bad = fr;
        for (int i = 0; i < 5000; ++i)
            bad[80 * 6 + rng() % (bad.size() - 80 * 6)] = static_cast<std::uint8_t>(rng());
        const HRESULT hr = dec.decode(bad.data(), bad.size(), kCases[round % 8].resolution, pixels.data(),
                                      pixels.size(), &l);
        EXPECT_TRUE(hr == S_OK || hr == th::media::kFrameRejected) << std::hex << hr;
    }
    // And the decoder still decodes a good frame afterwards.
    EXPECT_EQ(dec.decode(fr.data(), fr.size(), DVRESOLUTION_HALF, pixels.data(), pixels.size(), &l), S_OK);
}

// --- Stopping mid-stream ------------------------------------------------------------------------------

TEST(DecoderGraphs, StopMidStreamThroughSplitterAndDecoderThenRunAgain)
{
    TempDir dir;
    const auto frames = sceneFrames(true, 30, dir);
    Graph g;
    FrameSource* src = nullptr;
    RecordingSink* rec = nullptr;
    ComPtr<IBaseFilter> source = FrameSource::Make(frames, interleavedType(frames[0]), 400000, &src);
    src->interval = std::chrono::milliseconds(5);
    ComPtr<IBaseFilter> splitter, decoder, sink = RecordingSink::Make(MEDIATYPE_Video, &rec);
    ASSERT_EQ(CoCreateInstance(CLSID_DVSplitter, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&splitter)), S_OK);
    ASSERT_EQ(CoCreateInstance(CLSID_DVVideoCodec, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&decoder)), S_OK);
    g.add(source.Get(), u"Source");
    g.add(splitter.Get(), u"DV Splitter");
    g.add(decoder.Get(), u"DV Video Decoder");
    g.add(sink.Get(), u"Sink");
    ASSERT_EQ(g.builder->ConnectDirect(pinOf(source.Get(), u"Out").Get(), pinOf(splitter.Get(), u"Input").Get(), nullptr),
              S_OK);
    ASSERT_EQ(g.builder->ConnectDirect(pinOf(splitter.Get(), u"DVVidOut0").Get(),
                                       pinOf(decoder.Get(), u"XForm In").Get(), nullptr),
              S_OK);
    ASSERT_EQ(g.builder->ConnectDirect(pinOf(decoder.Get(), u"XForm Out").Get(), pinOf(sink.Get(), u"In").Get(),
                                       nullptr),
              S_OK);
    ComPtr<IIPDVDec> ipdv;
    ASSERT_EQ(decoder.As(&ipdv), S_OK);
    ASSERT_EQ(ipdv->put_IPDisplay(DVRESOLUTION_QUARTER), S_OK);

    ASSERT_EQ(g.control->Run(), S_OK);
    ASSERT_TRUE(th::test::waitUntil([&] { return rec->Samples().size() >= 5; }));
    EXPECT_EQ(g.control->Stop(), S_OK);
    const std::size_t first = rec->Samples().size();
    EXPECT_LT(first, frames.size());
    // Nothing arrives after the stop.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(rec->Samples().size(), first);

    src->interval = std::chrono::milliseconds(0);
    ASSERT_EQ(g.control->Run(), S_OK);
    ASSERT_TRUE(rec->WaitForEndOfStream());
    EXPECT_EQ(g.control->Stop(), S_OK);
    const auto got = rec->Samples();
    ASSERT_EQ(got.size(), first + frames.size());
    for (std::size_t k = first; k < got.size(); ++k) {
        EXPECT_EQ(got[k].data.size(), 180u * 4 * 144);
        EXPECT_EQ(got[k].start, static_cast<REFERENCE_TIME>(k - first) * 400000);
    }
}
