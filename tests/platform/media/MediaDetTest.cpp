// The media detector: the right frame at 96 × 84 whatever the file's video
// size, in type-1, type-2 and OpenDML files of the AVI writer and of ffmpeg,
// the calls the frame grabber makes in its order, and its errors on missing,
// foreign and damaged files.
#include "DvMediaTestUtil.h"
#include "MediaDetTestUtil.h"

#include "avi_writer/OpenDmlFileWriter.h"
#include "avi_writer/WriterFixture.h"
#include "platform/media/DVSplitter.h"
#include "platform/media/MediaDet.h"
#include "platform/riff/Riff.h"
#include "support/TestUtil.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

using namespace dvtest;
using th::riff::FourCC;
using th::riff::Put16;
using th::riff::Put32;
using th::test::TempDir;

namespace {

constexpr int kFrames = 64;

// A file the way the AVI writer writes it, straight through its file writer.
void writeWithAviWriter(const std::string& path, const std::vector<Frame>& frames, int type, bool pal,
                        OpenDmlLimits limits = {})
{
    StdWriterLock lock;
    OpenDmlFileWriter w(lock, limits);
    const std::int64_t avg = pal ? 400000 : 333667;
    State(w).FDVType = static_cast<BYTE>(type);
    State(w).FFrameDuration = avg;
    State(w).FMicroSecPerFrame = static_cast<std::uint32_t>(avg / 10);
    State(w).FVideoScale = static_cast<std::uint32_t>(avg);
    State(w).FVideoRate = 10000000;
    if (type == 2) {
        State(w).FStreamCount = 2;
        State(w).FWidth = 720;
        State(w).FHeight = pal ? 576 : 480;
        State(w).FVideoFccType = FourCC("vids");
        std::uint8_t* b = State(w).FBitmapInfo;
        Put32(b + 0, 40);                       // biSize
        Put32(b + 4, 720);                      // biWidth
        Put32(b + 8, pal ? 576 : 480);          // biHeight
        Put16(b + 12, 1);                       // biPlanes
        Put16(b + 14, 24);                      // biBitCount
        Put32(b + 16, FourCC("dvsd"));          // biCompression
        Put32(b + 20, pal ? 144000 : 120000);   // biSizeImage
        std::uint8_t* a = State(w).FWaveFormat;
        Put16(a + 0, 1);      // wFormatTag
        Put16(a + 2, 2);      // nChannels
        Put32(a + 4, 48000);  // nSamplesPerSec
        Put32(a + 8, 192000); // nAvgBytesPerSec
        Put16(a + 12, 4);     // nBlockAlign
        Put16(a + 14, 16);    // wBitsPerSample
    } else {
        State(w).FStreamCount = 1;
        State(w).FVideoFccType = FourCC("iavs");
        const CMediaType t = interleavedType(frames[0]);
        std::memcpy(State(w).FDVInfo, t.pbFormat, sizeof(DVINFO));
    }
    w.SetNextFileName(path);
    ASSERT_EQ(w.OpenFile(), 0u);
    auto put = [&](std::uint32_t id, const std::uint8_t* data, std::size_t size) {
        std::vector<std::uint8_t> chunk(size + 8);
        Put32(chunk.data(), id);
        Put32(chunk.data() + 4, static_cast<std::uint32_t>(size));
        std::memcpy(chunk.data() + 8, data, size);
        return w.WriteMovie(chunk.data(), chunk.size());
    };
    std::vector<std::int16_t> pcm(2 * th::media::kMaxDvAudioSamples);
    for (const Frame& fr : frames) {
        ++State(w).FVideoFrames;
        w.NoteVideoChunkSize(static_cast<std::uint32_t>(fr.size() + 8));
        ASSERT_EQ(put(w.VideoChunkId(), fr.data(), fr.size()), 0u);
        w.AddVideoIndexEntry(static_cast<std::uint32_t>(fr.size()));
        if (type == 2) {
            th::media::DvFrameFacts facts;
            ASSERT_EQ(th::media::ReadDvFrame(fr.data(), fr.size(), &facts), S_OK);
            ASSERT_EQ(th::media::DecodeDvAudio(fr.data(), fr.size(), facts, pcm.data(), th::media::kMaxDvAudioSamples),
                      S_OK);
            const std::size_t bytes = static_cast<std::size_t>(facts.audio.samples) * 4;
            State(w).FAudioSamples += facts.audio.samples;
            State(w).FAudioIndexSamples += facts.audio.samples;
            w.NoteAudioChunkSize(static_cast<std::uint32_t>(bytes + 8));
            ASSERT_EQ(put(FourCC("01wb"), reinterpret_cast<const std::uint8_t*>(pcm.data()), bytes), 0u);
            w.AddAudioIndexEntry(static_cast<std::uint32_t>(bytes));
        }
    }
    w.CloseFile();
}

// Frames in an order that mixes seeks, steps forward and back, and the ends.
const int kOrder[] = {0, 1, 2, 37, 5, 6, 7, 63, 62, 8, 31, 30, 40, 41, 45, 13, 60, 0};

struct FileCase {
    const char* name;
    bool pal;
    int width, height; // of the video in the file
};

class MediaDetFiles : public ::testing::TestWithParam<FileCase> {};

std::string fileCaseName(const ::testing::TestParamInfo<FileCase>& info)
{
    return info.param.name;
}

} // namespace

TEST_P(MediaDetFiles, EveryFrameAsked96x84IsTheRightOne)
{
    const FileCase c = GetParam();
    const std::string kind = c.name;
    TempDir dir;
    const std::string tape = dir.file("tape.dv");
    ASSERT_TRUE(makeColourTape(c.pal, false, kFrames, tape));
    const std::string file = dir.file("file.avi");
    bool audioFirst = false;
    if (kind.rfind("Ffmpeg", 0) == 0 && kind.find("Mjpeg") == std::string::npos &&
        kind.find("Mpeg4") == std::string::npos && kind.find("AudioFirst") == std::string::npos) {
        ASSERT_TRUE(runFfmpeg({"-f", "dv", "-i", tape, "-c", "copy", file}));
    } else if (kind == "FfmpegMjpeg352x288") {
        ASSERT_TRUE(runFfmpeg({"-f", "dv", "-i", tape, "-vf", "scale=352:288", "-c:v", "mjpeg", "-q:v", "3",
                               "-c:a", "copy", file}));
    } else if (kind == "FfmpegMpeg4Gop12") {
        ASSERT_TRUE(runFfmpeg({"-f", "dv", "-i", tape, "-vf", "scale=640:480", "-c:v", "mpeg4", "-q:v", "2", "-g",
                               "12", "-bf", "0", "-an", file}));
    } else if (kind == "FfmpegAudioFirst") {
        ASSERT_TRUE(runFfmpeg({"-f", "dv", "-i", tape, "-map", "0:a", "-map", "0:v", "-c", "copy", file}));
        audioFirst = true;
    } else {
        const auto frames = readFrames(tape, c.pal ? 144000 : 120000);
        ASSERT_EQ(frames.size(), static_cast<std::size_t>(kFrames));
        // A small RIFF limit, so that the file has AVIX extensions as long captures do.
        OpenDmlLimits limits;
        limits.RiffLimit = 2 * 1024 * 1024;
        writeWithAviWriter(file, frames, kind == "AviWriterType1" ? 1 : 2, c.pal, limits);
    }

    auto det = makeDet();
    ASSERT_EQ(openFile(det.Get(), file), S_OK);
    BSTR name = nullptr;
    ASSERT_EQ(det->get_Filename(&name), S_OK);
    EXPECT_EQ(th::com::Utf16ToUtf8(name), file);
    SysFreeString(name);
    LONG count = 0;
    ASSERT_EQ(det->get_OutputStreams(&count), S_OK);
    EXPECT_EQ(count, kind == "FfmpegMpeg4Gop12" ? 1 : 2);
    if (audioFirst) {
        ASSERT_EQ(det->put_CurrentStream(0), S_OK);
        GUID t{};
        ASSERT_EQ(det->get_StreamType(&t), S_OK);
        EXPECT_TRUE(t == MEDIATYPE_Audio);
    }
    double rate = 0;
    const LONG video = selectVideo(det.Get(), &rate);
    ASSERT_EQ(video, audioFirst ? 1 : 0);
    if (c.pal)
        EXPECT_DOUBLE_EQ(rate, 25.0);
    else
        EXPECT_NEAR(rate, 29.97, 1e-4); // the AVI writer's scale is 333667 / 10000000, ffmpeg's 1001 / 30000
    for (int frame : kOrder)
        expectFrame(det.Get(), rate, frame);
    // Every frame in order, as a batch of scenes would ask.
    for (int frame = 0; frame < kFrames; ++frame)
        expectFrame(det.Get(), rate, frame);
}

INSTANTIATE_TEST_SUITE_P(
    Files, MediaDetFiles,
    ::testing::Values(FileCase{"FfmpegPal", true, 720, 576}, FileCase{"FfmpegNtsc", false, 720, 480},
                      FileCase{"AviWriterType2", true, 720, 576}, FileCase{"AviWriterType1", true, 720, 576},
                      FileCase{"AviWriterType2Ntsc", false, 720, 480}, FileCase{"AviWriterType1Ntsc", false, 720, 480},
                      FileCase{"FfmpegMjpeg352x288", true, 352, 288}, FileCase{"FfmpegMpeg4Gop12", true, 640, 480},
                      FileCase{"FfmpegAudioFirst", true, 720, 576}),
    fileCaseName);

TEST(MediaDet, SizesOtherThanThumbnailsAreScaledToo)
{
    TempDir dir;
    const std::string tape = dir.file("tape.dv");
    ASSERT_TRUE(makeColourTape(true, false, 4, tape));
    const std::string file = dir.file("f.avi");
    ASSERT_TRUE(runFfmpeg({"-f", "dv", "-i", tape, "-c", "copy", file}));
    auto det = makeDet();
    ASSERT_EQ(openFile(det.Get(), file), S_OK);
    double rate = 0;
    ASSERT_EQ(selectVideo(det.Get(), &rate), 0);
    for (auto [w, h] : {std::pair{720, 576}, std::pair{1, 1}, std::pair{33, 17}, std::pair{1000, 900}}) {
        SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
        LONG size = 0;
        ASSERT_EQ(det->GetBitmapBits(3 / rate, &size, nullptr, w, h), S_OK);
        const LONG stride = (w * 3 + 3) & ~3;
        ASSERT_EQ(size, 40 + stride * h);
        std::vector<char> buf(static_cast<std::size_t>(size));
        ASSERT_EQ(det->GetBitmapBits(3 / rate, nullptr, buf.data(), w, h), S_OK);
        BITMAPINFOHEADER hdr;
        std::memcpy(&hdr, buf.data(), sizeof hdr);
        EXPECT_EQ(hdr.biWidth, w);
        EXPECT_EQ(hdr.biHeight, h);
        EXPECT_EQ(hdr.biSizeImage, static_cast<DWORD>(stride * h));
        if (w < 96)
            continue; // a tiny picture averages the whole frame, panel and wedge included
        const auto* p = reinterpret_cast<const std::uint8_t*>(buf.data()) + 40 + (h - 1) * stride;
        const Rgb want = paletteColour(3);
        EXPECT_NEAR(p[2], want.r, 30);
        EXPECT_NEAR(p[1], want.g, 30);
        EXPECT_NEAR(p[0], want.b, 30);
    }
}

TEST(MediaDet, CallsWithoutAFileAndOnTheWrongStreamFail)
{
    TempDir dir;
    auto det = makeDet();
    LONG n = 5;
    GUID t{};
    double rate = 0;
    EXPECT_EQ(det->get_OutputStreams(&n), E_INVALIDARG);
    EXPECT_EQ(det->put_CurrentStream(0), E_INVALIDARG);
    EXPECT_EQ(det->get_StreamType(&t), E_INVALIDARG);
    EXPECT_EQ(det->get_FrameRate(&rate), E_INVALIDARG);
    LONG size = 0;
    EXPECT_EQ(det->GetBitmapBits(0, &size, nullptr, 96, 84), E_INVALIDARG);
    BSTR name = reinterpret_cast<BSTR>(1);
    EXPECT_EQ(det->get_Filename(&name), S_OK);
    EXPECT_EQ(name, nullptr);

    const std::string tape = dir.file("tape.dv");
    ASSERT_TRUE(makeColourTape(true, false, 4, tape));
    const std::string file = dir.file("f.avi");
    ASSERT_TRUE(runFfmpeg({"-f", "dv", "-i", tape, "-c", "copy", file}));
    ASSERT_EQ(openFile(det.Get(), file), S_OK);
    EXPECT_EQ(det->put_CurrentStream(-1), E_INVALIDARG);
    EXPECT_EQ(det->put_CurrentStream(2), E_INVALIDARG);
    ASSERT_EQ(det->put_CurrentStream(1), S_OK);
    ASSERT_EQ(det->get_StreamType(&t), S_OK);
    EXPECT_TRUE(t == MEDIATYPE_Audio);
    EXPECT_EQ(det->get_FrameRate(&rate), VFW_E_INVALIDMEDIATYPE);
    EXPECT_EQ(det->GetBitmapBits(0, &size, nullptr, 96, 84), VFW_E_INVALIDMEDIATYPE);
    ASSERT_EQ(det->put_CurrentStream(0), S_OK);
    EXPECT_EQ(det->GetBitmapBits(0, nullptr, nullptr, 96, 84), E_POINTER);
    EXPECT_EQ(det->GetBitmapBits(0, &size, nullptr, 0, 84), E_INVALIDARG);
    EXPECT_EQ(det->GetBitmapBits(0, &size, nullptr, 96, -84), E_INVALIDARG);
    EXPECT_EQ(det->GetBitmapBits(0, &size, nullptr, 100000, 100000), E_INVALIDARG);
    std::vector<char> buf(40 + 96 * 3 * 84);
    EXPECT_EQ(det->GetBitmapBits(-0.5, nullptr, buf.data(), 96, 84), E_INVALIDARG);
    // Past the last frame; afterwards the file still answers.
    EXPECT_EQ(det->GetBitmapBits(4 / 25.0, nullptr, buf.data(), 96, 84), E_INVALIDARG);
    EXPECT_EQ(det->GetBitmapBits(100.0, nullptr, buf.data(), 96, 84), E_INVALIDARG);
    expectFrame(det.Get(), 25.0, 3);
    expectFrame(det.Get(), 25.0, 0);
}

TEST(MediaDet, MissingForeignAndDamagedFilesGiveErrors)
{
    TempDir dir;
    auto det = makeDet();
    EXPECT_EQ(det->put_Filename(nullptr), E_INVALIDARG);
    EXPECT_EQ(openFile(det.Get(), dir.file("none.avi")), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(openFile(det.Get(), dir.path()), th::media::kInvalidFileFormat);
    {
        std::ofstream f(dir.file("text.avi"));
        f << "RIFF this is not a media file at all\n";
    }
    EXPECT_EQ(openFile(det.Get(), dir.file("text.avi")), th::media::kInvalidFileFormat);
    BSTR name = nullptr;
    EXPECT_EQ(det->get_Filename(&name), S_OK);
    EXPECT_EQ(name, nullptr) << "a failed open leaves no file";
    LONG n = 0;
    EXPECT_EQ(det->get_OutputStreams(&n), E_INVALIDARG);

    // Cut files and files with garbled stretches: an error or the right
    // colour for each frame asked, never a fault.
    const std::string tape = dir.file("tape.dv");
    ASSERT_TRUE(makeColourTape(true, false, 16, tape));
    const std::string whole = dir.file("whole.avi");
    ASSERT_TRUE(runFfmpeg({"-f", "dv", "-i", tape, "-c", "copy", whole}));
    std::vector<char> bytes(std::filesystem::file_size(whole));
    std::ifstream(whole, std::ios::binary).read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    std::mt19937 rng(5);
    for (int round = 0; round < 12; ++round) {
        SCOPED_TRACE(round);
        std::vector<char> damaged = bytes;
        if (round % 3 == 0)
            damaged.resize(damaged.size() * static_cast<std::size_t>(round + 1) / 14);
        else
            for (int i = 0; i < 200 * round; ++i)
                damaged[rng() % damaged.size()] = static_cast<char>(rng());
        const std::string file = dir.file("damaged" + std::to_string(round) + ".avi");
        std::ofstream(file, std::ios::binary).write(damaged.data(), static_cast<std::streamsize>(damaged.size()));
        auto d = makeDet();
        if (openFile(d.Get(), file) != S_OK)
            continue;
        double rate = 0;
        if (selectVideo(d.Get(), &rate) < 0 || rate <= 0)
            continue;
        std::vector<char> buf(40 + 96 * 3 * 84);
        for (int frame : {0, 7, 15, 3, 20}) {
            const HRESULT hr = d->GetBitmapBits(frame / rate, nullptr, buf.data(), 96, 84);
            if (hr == S_OK && round % 3 == 0) {
                // A cut file has lost frames, not changed them.
                const auto* p = reinterpret_cast<const std::uint8_t*>(buf.data()) + 40 + 82 * 96 * 3 + 9;
                const Rgb want = paletteColour(frame);
                EXPECT_NEAR(p[2], want.r, 30) << frame;
                EXPECT_NEAR(p[0], want.b, 30) << frame;
            } else if (hr != S_OK) {
                EXPECT_TRUE(FAILED(hr));
            }
        }
    }
}

TEST(MediaDet, ReopeningAnotherFileStartsAfresh)
{
    TempDir dir;
    const std::string a = dir.file("a.dv"), b = dir.file("b.dv");
    ASSERT_TRUE(makeColourTape(true, false, 8, a));
    ASSERT_TRUE(makeColourTape(false, false, 8, b));
    const std::string fa = dir.file("a.avi"), fb = dir.file("b.avi");
    ASSERT_TRUE(runFfmpeg({"-f", "dv", "-i", a, "-c", "copy", fa}));
    ASSERT_TRUE(runFfmpeg({"-f", "dv", "-i", b, "-map", "0:a", "-map", "0:v", "-c", "copy", fb}));
    auto det = makeDet();
    ASSERT_EQ(openFile(det.Get(), fa), S_OK);
    double rate = 0;
    ASSERT_EQ(selectVideo(det.Get(), &rate), 0);
    expectFrame(det.Get(), rate, 5);
    ASSERT_EQ(openFile(det.Get(), fb), S_OK);
    LONG cur = -1;
    ASSERT_EQ(det->get_CurrentStream(&cur), S_OK);
    EXPECT_EQ(cur, 0);
    ASSERT_EQ(selectVideo(det.Get(), &rate), 1);
    EXPECT_NEAR(rate, 29.97, 0.001);
    expectFrame(det.Get(), rate, 5);
    expectFrame(det.Get(), rate, 7);
}

