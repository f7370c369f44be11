// thtape: the tapes it writes, read back by libavformat's DV demuxer and
// libavcodec's DV decoder, and pack by pack through the DIF parsers; its
// command line and scene files; its errors.
#include "platform/dv/DifPacks.h"
#include "support/TestUtil.h"

#include <QProcess>
#include <QStringList>

#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
}

#include <cmath>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <optional>
#include <string>
#include <vector>

namespace {

using th::test::TempDir;

std::string thtape()
{
    return th::test::binDir() + "/thtape";
}

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

Outcome run(const std::vector<std::string>& args)
{
    QProcess p;
    QStringList qargs;
    for (const auto& a : args)
        qargs << QString::fromStdString(a);
    p.start(QString::fromStdString(thtape()), qargs);
    Outcome r;
    if (!p.waitForStarted(10000) || !p.waitForFinished(120000))
        return r;
    r.status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = p.readAllStandardOutput().toStdString();
    r.err = p.readAllStandardError().toStdString();
    return r;
}

// --- What the test expects of a tape ------------------------------------------------------

struct SceneDef {
    int frames;
    int year, month, day, hour, minute, second;
    const char* tc; // "continue", "restart" or HH:MM:SS:FF
    int r, g, b;
    double tone;
};

struct Format {
    bool pal;
    bool twelveBit;
};

void PrintTo(const Format& f, std::ostream* os)
{
    *os << (f.pal ? "PAL " : "NTSC ") << (f.twelveBit ? "32 kHz 12-bit" : "48 kHz 16-bit");
}

int fps(const Format& f) { return f.pal ? 25 : 30; }
int rateHz(const Format& f) { return f.twelveBit ? 32000 : 48000; }
std::size_t frameBytes(const Format& f) { return f.pal ? 144000 : 120000; }

long long samplesBefore(const Format& f, long long frame)
{
    return f.pal ? frame * rateHz(f) / 25 : frame * rateHz(f) * 1001 / 30000;
}

std::string hex2(int v)
{
    char t[3];
    std::snprintf(t, sizeof t, "%02X", v);
    return t;
}

std::vector<std::string> sceneArgs(const std::vector<SceneDef>& scenes)
{
    std::vector<std::string> args;
    for (const auto& s : scenes) {
        char desc[256];
        std::snprintf(desc, sizeof desc, "length=%d,date=%04d-%02d-%02d,time=%02d:%02d:%02d,tc=%s,colour=#%s%s%s,tone=%g",
                      s.frames, s.year, s.month, s.day, s.hour, s.minute, s.second, s.tc, hex2(s.r).c_str(),
                      hex2(s.g).c_str(), hex2(s.b).c_str(), s.tone);
        args.push_back("--scene");
        args.push_back(desc);
    }
    return args;
}

th::dif::System systemOf(const Format& f) { return f.pal ? th::dif::System::Pal625_50 : th::dif::System::Ntsc525_60; }

// A time code as libavformat writes it: ';' before the frames of a drop-frame count.
std::string tcText(const th::dif::Timecode& tc, bool pal)
{
    char t[48];
    std::snprintf(t, sizeof t, "%02d:%02d:%02d%c%02d", tc.hours, tc.minutes, tc.seconds, tc.dropFrame && !pal ? ';' : ':',
                  tc.frames);
    return t;
}

std::string dateTimeText(const th::dif::RecDateTime& dt)
{
    char text[80];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", dt.date.year, dt.date.month, dt.date.day,
                  dt.time.hour, dt.time.minute, dt.time.second);
    return text;
}

struct Expected {
    std::vector<std::string> timecodes;  // per frame
    std::vector<std::string> dateTimes;  // per frame, "YYYY-MM-DD HH:MM:SS"
    std::vector<int> sceneOfFrame;
    std::vector<long long> sceneStart;
};

Expected expect(const Format& f, const std::vector<SceneDef>& scenes)
{
    Expected e;
    long long next = 0, frame = 0;
    for (std::size_t k = 0; k < scenes.size(); ++k) {
        const auto& s = scenes[k];
        long long start = next;
        if (std::string(s.tc) == "restart") {
            start = 0;
        } else if (std::string(s.tc) != "continue") {
            th::dif::Timecode tc;
            std::sscanf(s.tc, "%d:%d:%d%*c%d", &tc.hours, &tc.minutes, &tc.seconds, &tc.frames);
            start = th::dif::frameCountFromTimecode(systemOf(f), tc);
        }
        e.sceneStart.push_back(frame);
        for (int j = 0; j < s.frames; ++j, ++frame) {
            e.timecodes.push_back(tcText(th::dif::timecodeFromFrameCount(systemOf(f), start + j), f.pal));
            const long long elapsed = f.pal ? j / 25 : j * 1001LL / 30000;
            const th::dif::RecDateTime recorded{{s.year, s.month, s.day}, {s.hour, s.minute, s.second}};
            e.dateTimes.push_back(dateTimeText(th::dif::addSeconds(recorded, elapsed)));
            e.sceneOfFrame.push_back(static_cast<int>(k));
        }
        next = start + s.frames;
    }
    return e;
}

// --- The packs at the places the capture engine and the demuxer read them ---------------------------

// The recording date and time of the VAUX packs at bytes 458-467 (the first
// VAUX block), where the capture engine reads them; "no pack" when they do
// not parse.
std::string engineDateTime(const std::uint8_t* f)
{
    const auto date = th::dif::parseRecDatePack(f + 458);
    const auto time = th::dif::parseRecTimePack(f + 463);
    return date && time ? dateTimeText({*date, *time}) : "no pack";
}

// The time code pack of the first subcode sync block.
std::string packTimecode(const std::uint8_t* f, bool pal)
{
    const auto tc = th::dif::parseTimecodePack(f + 80 + 3 + 3);
    return tc ? tcText(*tc, pal) : "no pack";
}

// The AAUX source pack of the first DIF sequence (audio block 3).
std::optional<th::dif::AauxSource> aaux(const std::uint8_t* f)
{
    return th::dif::parseAauxSourcePack(f + 80 * 6 + 80 * 16 * 3 + 3);
}

std::vector<std::vector<std::uint8_t>> rawFrames(const std::string& path, std::size_t size)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<std::vector<std::uint8_t>> frames;
    std::vector<std::uint8_t> f(size);
    while (in.read(reinterpret_cast<char*>(f.data()), static_cast<std::streamsize>(size)))
        frames.push_back(f);
    return frames;
}

// --- libavformat and libavcodec ---------------------------------------------------------------------

struct AudioStream {
    int rate = 0;
    int channels = 0;
    std::vector<int> packetSamples;
    std::vector<std::int16_t> pcm; // interleaved
};

struct Demuxed {
    bool opened = false;
    std::string format;
    std::string timecode;
    int width = 0, height = 0;
    AVRational frameRate{0, 1};
    std::vector<int> videoPacketSizes;
    std::vector<AudioStream> audio;
    // Y, Cb, Cr of the picture at (40, 40) of the requested frames.
    std::vector<std::array<int, 3>> pixels;
};

Demuxed demux(const std::string& path, const std::vector<int>& pictureFrames)
{
    Demuxed d;
    AVFormatContext* ctx = nullptr;
    if (avformat_open_input(&ctx, path.c_str(), nullptr, nullptr) < 0)
        return d;
    d.opened = true;
    d.format = ctx->iformat->name;
    avformat_find_stream_info(ctx, nullptr);
    if (const AVDictionaryEntry* e = av_dict_get(ctx->metadata, "timecode", nullptr, 0))
        d.timecode = e->value;
    std::vector<int> audioIndex(ctx->nb_streams, -1);
    int videoIndex = -1;
    AVCodecContext* decoder = nullptr;
    for (unsigned i = 0; i < ctx->nb_streams; ++i) {
        const AVCodecParameters* par = ctx->streams[i]->codecpar;
        if (par->codec_type == AVMEDIA_TYPE_AUDIO) {
            audioIndex[i] = static_cast<int>(d.audio.size());
            AudioStream a;
            a.rate = par->sample_rate;
            a.channels = par->ch_layout.nb_channels;
            d.audio.push_back(a);
        } else if (par->codec_type == AVMEDIA_TYPE_VIDEO && videoIndex < 0) {
            videoIndex = static_cast<int>(i);
            d.width = par->width;
            d.height = par->height;
            d.frameRate = ctx->streams[i]->avg_frame_rate;
            const AVCodec* dv = avcodec_find_decoder(par->codec_id);
            decoder = avcodec_alloc_context3(dv);
            avcodec_parameters_to_context(decoder, par);
            decoder->thread_count = 1;
            avcodec_open2(decoder, dv, nullptr);
        }
    }
    AVPacket* pkt = av_packet_alloc();
    AVFrame* pic = av_frame_alloc();
    while (av_read_frame(ctx, pkt) >= 0) {
        const int s = pkt->stream_index;
        if (s == videoIndex) {
            const int n = static_cast<int>(d.videoPacketSizes.size());
            d.videoPacketSizes.push_back(pkt->size);
            if (std::find(pictureFrames.begin(), pictureFrames.end(), n) != pictureFrames.end()
                && avcodec_send_packet(decoder, pkt) >= 0 && avcodec_receive_frame(decoder, pic) >= 0) {
                const int x = 40, y = 40;
                const int cx = x >> (pic->format == AV_PIX_FMT_YUV411P ? 2 : 1);
                const int cy = pic->format == AV_PIX_FMT_YUV411P ? y : y / 2;
                d.pixels.push_back({pic->data[0][y * pic->linesize[0] + x], pic->data[1][cy * pic->linesize[1] + cx],
                                    pic->data[2][cy * pic->linesize[2] + cx]});
                av_frame_unref(pic);
            }
        } else if (s >= 0 && s < static_cast<int>(audioIndex.size()) && audioIndex[static_cast<std::size_t>(s)] >= 0) {
            AudioStream& a = d.audio[static_cast<std::size_t>(audioIndex[static_cast<std::size_t>(s)])];
            const int samples = pkt->size / 2 / std::max(1, a.channels);
            a.packetSamples.push_back(samples);
            const auto* p = reinterpret_cast<const std::int16_t*>(pkt->data);
            a.pcm.insert(a.pcm.end(), p, p + pkt->size / 2);
        }
        av_packet_unref(pkt);
    }
    av_frame_free(&pic);
    av_packet_free(&pkt);
    avcodec_free_context(&decoder);
    avformat_close_input(&ctx);
    return d;
}

std::array<int, 3> ycc(int r, int g, int b)
{
    return {static_cast<int>(std::lround(16 + (65.481 * r + 128.553 * g + 24.966 * b) / 255)),
            static_cast<int>(std::lround(128 + (-37.797 * r - 74.203 * g + 112.0 * b) / 255)),
            static_cast<int>(std::lround(128 + (112.0 * r - 93.786 * g - 18.214 * b) / 255))};
}

// --- Tapes of each format ---------------------------------------------------------------------------

class TapeFormat : public ::testing::TestWithParam<Format> {};

// Three scenes: the first with a set time code that crosses a minute (so
// that NTSC drops frame numbers), the second recorded earlier and continuing
// the time code, the third restarting it and crossing into a leap day.
const std::vector<SceneDef> kScenes = {
    {40, 2003, 6, 15, 14, 22, 5, "00:00:59:20", 200, 30, 30, 440.0},
    {30, 2003, 6, 14, 10, 0, 0, "continue", 30, 170, 50, 1000.0},
    {65, 2004, 2, 28, 23, 59, 59, "restart", 40, 60, 200, 2500.0},
};

TEST_P(TapeFormat, ReadsBackThroughLibavformatAndThePacks)
{
    const Format f = GetParam();
    TempDir dir;
    const std::string out = dir.file("tape.dv");
    std::vector<std::string> args = sceneArgs(kScenes);
    args.insert(args.begin(), {f.pal ? "--pal" : "--ntsc", "--audio", f.twelveBit ? "32k12" : "48k16"});
    args.push_back(out);
    const Outcome r = run(args);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("135 frames"), std::string::npos) << r.out;

    const Expected e = expect(f, kScenes);
    const std::size_t total = e.timecodes.size();
    EXPECT_EQ(std::filesystem::file_size(out), total * frameBytes(f));

    // libavformat: format, frames, time code, audio and pictures.
    std::vector<int> pictures;
    for (long long s : e.sceneStart)
        pictures.push_back(static_cast<int>(s) + 1);
    const Demuxed d = demux(out, pictures);
    ASSERT_TRUE(d.opened);
    EXPECT_EQ(d.format, "dv");
    EXPECT_EQ(d.width, 720);
    EXPECT_EQ(d.height, f.pal ? 576 : 480);
    EXPECT_EQ(d.frameRate.num * (f.pal ? 1 : 1001), d.frameRate.den * (f.pal ? 25 : 30000));
    EXPECT_EQ(d.timecode, e.timecodes[0]);
    ASSERT_EQ(d.videoPacketSizes.size(), total);
    for (int size : d.videoPacketSizes)
        ASSERT_EQ(static_cast<std::size_t>(size), frameBytes(f));

    // 48 kHz: one stereo stream; 32 kHz 12-bit: two stereo pairs, the second unrecorded.
    ASSERT_EQ(d.audio.size(), f.twelveBit ? 2u : 1u);
    const double amplitude = 8192.0;
    for (std::size_t a = 0; a < d.audio.size(); ++a) {
        const AudioStream& s = d.audio[a];
        EXPECT_EQ(s.rate, rateHz(f));
        EXPECT_EQ(s.channels, 2);
        ASSERT_EQ(s.packetSamples.size(), total);
        for (std::size_t k = 0; k < total; ++k)
            ASSERT_EQ(s.packetSamples[k], samplesBefore(f, static_cast<long long>(k) + 1) - samplesBefore(f, static_cast<long long>(k)))
                << "frame " << k;
        ASSERT_EQ(s.pcm.size(), static_cast<std::size_t>(2 * samplesBefore(f, static_cast<long long>(total))));
    }
    // The tone of each scene, starting at its first sample; 12-bit within a step of its coding.
    const int tolerance = f.twelveBit ? 32 : 1;
    const AudioStream& first = d.audio[0];
    for (std::size_t k = 0; k < kScenes.size(); ++k) {
        const long long from = samplesBefore(f, e.sceneStart[k]);
        const long long to = samplesBefore(f, e.sceneStart[k] + kScenes[k].frames);
        for (long long n = from; n < to; ++n) {
            const double phase = 2.0 * std::numbers::pi * kScenes[k].tone * static_cast<double>(n - from) / rateHz(f);
            ASSERT_NEAR(first.pcm[static_cast<std::size_t>(2 * n)], amplitude * std::sin(phase), tolerance)
                << "scene " << k << " sample " << n;
            ASSERT_NEAR(first.pcm[static_cast<std::size_t>(2 * n + 1)], amplitude * std::cos(phase), tolerance)
                << "scene " << k << " sample " << n;
        }
    }
    if (f.twelveBit) {
        for (std::int16_t v : d.audio[1].pcm)
            ASSERT_EQ(v, 0);
    }

    // The picture of each scene has that scene's colour.
    ASSERT_EQ(d.pixels.size(), kScenes.size());
    for (std::size_t k = 0; k < kScenes.size(); ++k) {
        const auto want = ycc(kScenes[k].r, kScenes[k].g, kScenes[k].b);
        for (int c = 0; c < 3; ++c)
            EXPECT_NEAR(d.pixels[k][static_cast<std::size_t>(c)], want[static_cast<std::size_t>(c)], 6)
                << "scene " << k << " component " << c;
    }

    // The packs of every frame, decoded here.
    const auto frames = rawFrames(out, frameBytes(f));
    ASSERT_EQ(frames.size(), total);
    for (std::size_t k = 0; k < total; ++k) {
        const std::uint8_t* fr = frames[k].data();
        ASSERT_EQ(fr[3], f.pal ? 0xBF : 0x3F) << k;
        ASSERT_EQ(packTimecode(fr, f.pal), e.timecodes[k]) << "frame " << k;
        ASSERT_EQ(fr[458], 0x62) << k;
        ASSERT_EQ(fr[463], 0x63) << k;
        ASSERT_EQ(engineDateTime(fr), e.dateTimes[k]) << "frame " << k;
        const auto a = aaux(fr);
        ASSERT_TRUE(a) << k;
        EXPECT_EQ(a->system, systemOf(f));
        EXPECT_FALSE(a->locked);
        EXPECT_EQ(a->frequencyHz, rateHz(f));
        EXPECT_EQ(a->quantization, f.twelveBit ? th::dif::Quantization::Nonlinear12 : th::dif::Quantization::Linear16);
        ASSERT_EQ(a->samples, samplesBefore(f, static_cast<long long>(k) + 1) - samplesBefore(f, static_cast<long long>(k)));
    }
    // Spot checks of the expectations themselves.
    EXPECT_EQ(e.timecodes[10], f.pal ? "00:01:00:05" : "00:01:00;02");
    EXPECT_EQ(e.timecodes[40], f.pal ? "00:01:01:10" : "00:01:01;02");
    EXPECT_EQ(e.timecodes[70], f.pal ? "00:00:00:00" : "00:00:00;00");
    EXPECT_EQ(e.dateTimes[70 + fps(f) - 1], "2004-02-28 23:59:59");
    EXPECT_EQ(e.dateTimes[70 + fps(f)], "2004-02-29 00:00:00");
}

std::string formatName(const ::testing::TestParamInfo<Format>& info)
{
    return std::string(info.param.pal ? "Pal" : "Ntsc") + (info.param.twelveBit ? "32k12" : "48k16");
}

INSTANTIATE_TEST_SUITE_P(Formats, TapeFormat,
                         ::testing::Values(Format{true, false}, Format{true, true}, Format{false, false},
                                           Format{false, true}),
                         formatName);

// --- The demo tape --------------------------------------------------------------------------------------

TEST(Thtape, DemoTapeHasFiveScenesOneRecordedBeforeTheOneBefore)
{
    TempDir dir;
    const std::string out = dir.file("demo.dv");
    const Outcome r = run({"--demo", out});
    ASSERT_EQ(r.status, 0) << r.err;

    // Scenes as the capture engine splits them: a new one whenever the
    // recording time goes back or jumps by more than a second.
    std::ifstream in(out, std::ios::binary);
    std::vector<std::uint8_t> f(144000);
    long long frames = 0;
    std::vector<long long> starts;
    std::vector<std::string> firstTimes;
    std::vector<std::string> firstTimecodes;
    int backwards = 0;
    std::time_t last = 0;
    while (in.read(reinterpret_cast<char*>(f.data()), static_cast<std::streamsize>(f.size()))) {
        const auto date = th::dif::parseRecDatePack(f.data() + 458);
        const auto time = th::dif::parseRecTimePack(f.data() + 463);
        ASSERT_TRUE(date && time) << "frame " << frames;
        std::tm t{};
        t.tm_year = date->year - 1900;
        t.tm_mon = date->month - 1;
        t.tm_mday = date->day;
        t.tm_hour = time->hour;
        t.tm_min = time->minute;
        t.tm_sec = time->second;
        const std::time_t now = timegm(&t);
        if (frames == 0 || now < last || now - last > 1) {
            if (frames != 0 && now < last)
                ++backwards;
            starts.push_back(frames);
            firstTimes.push_back(engineDateTime(f.data()));
            firstTimecodes.push_back(packTimecode(f.data(), true));
        }
        last = now;
        ++frames;
    }
    EXPECT_EQ(frames, 150 * 25);
    ASSERT_EQ(starts.size(), 5u);
    EXPECT_EQ(backwards, 1);
    EXPECT_EQ(starts, (std::vector<long long>{0, 875, 1500, 2375, 3125}));
    EXPECT_EQ(firstTimes[3], "2003-06-14 10:15:00");
    EXPECT_EQ(firstTimecodes[1], "00:00:35:00"); // continues
    EXPECT_EQ(firstTimecodes[4], "00:00:00:00"); // restarts
}

// --- Scene files ----------------------------------------------------------------------------------------

TEST(Thtape, SceneFileMakesTheSameTapeAsTheCommandLine)
{
    TempDir dir;
    const std::string file = dir.file("scenes.txt");
    {
        std::ofstream s(file);
        s << "# two scenes on an NTSC tape\n"
             "system=ntsc audio=32k12\n"
             "\n"
             "scene length=1s date=2003-06-15 time=14:22:05 colour=orange  # the first\n"
             "scene length=12, date=2003-06-15, time=14:22:20, tc=00:10:00:00, tone=700\n";
    }
    const Outcome a = run({"--scenes", file, "-o", dir.file("a.dv")});
    ASSERT_EQ(a.status, 0) << a.err;
    const Outcome b = run({"--ntsc", "--audio=32k12", "--scene", "length=1s,date=2003-06-15,time=14:22:05,colour=orange",
                       "--scene", "length=12 date=2003-06-15 time=14:22:20 tc=00:10:00;00 tone=700", dir.file("b.dv")});
    ASSERT_EQ(b.status, 0) << b.err;
    std::ifstream fa(dir.file("a.dv"), std::ios::binary), fb(dir.file("b.dv"), std::ios::binary);
    const std::string da((std::istreambuf_iterator<char>(fa)), {}), db((std::istreambuf_iterator<char>(fb)), {});
    EXPECT_EQ(da.size(), 42u * 120000);
    EXPECT_TRUE(da == db);

    // The command line wins over the file's settings.
    const Outcome c = run({"--scenes", file, "--pal", dir.file("c.dv")});
    ASSERT_EQ(c.status, 0) << c.err;
    EXPECT_EQ(std::filesystem::file_size(dir.file("c.dv")), 37u * 144000);
}

// --- Errors -------------------------------------------------------------------------------------------

TEST(Thtape, BadArgumentsGetTheUsageAndStatusTwo)
{
    TempDir dir;
    const std::string out = dir.file("never.dv");
    const std::string ok = "length=10,date=2003-06-15,time=14:22:05";
    // Tapes keep two digits of the year: the hundred years from the first DV recordings on.
    const std::string now = "2094", next = "2095", tooOld = "1994";
    const std::string years = "from 1995 to 2094";
    const std::string badFile = dir.file("bad.txt");
    std::ofstream(badFile) << "system=pal\nscene length=10 date=2003-06-15 time=14:22:05 speed=2\n";
    struct Case {
        std::vector<std::string> args;
        std::string says;
    };
    const std::vector<Case> cases = {
        {{}, "no output file"},
        {{out}, "no scenes"},
        {{"--scene", ok}, "no output file"},
        {{"--frobnicate", "--scene", ok, out}, "unknown option --frobnicate"},
        {{"--scene"}, "needs a value"},
        {{"--audio", "44k16", "--scene", ok, out}, "audio '44k16'"},
        {{"--pal", "--ntsc", "--scene", ok, out}, "both --pal and --ntsc"},
        {{"--pal=yes", "--scene", ok, out}, "takes no value"},
        {{"--scene", ok, out, "other.dv"}, "more than one output file"},
        {{"--demo", "--scene", ok, out}, "--demo makes its own scenes"},
        {{"--scene", "length=10,date=2003-06-15", out}, "date and time of its first frame"},
        {{"--scene", "date=2003-06-15,time=14:22:05", out}, "no length"},
        {{"--scene", "length=0,date=2003-06-15,time=14:22:05", out}, "length '0'"},
        {{"--scene", "length=ten,date=2003-06-15,time=14:22:05", out}, "length 'ten'"},
        {{"--scene", "length=0.01s,date=2003-06-15,time=14:22:05", out}, "shorter than one frame"},
        {{"--scene", "length=10,date=2003-02-29,time=14:22:05", out}, "does not exist"},
        {{"--scene", "length=10,date=15.06.2003,time=14:22:05", out}, "YYYY-MM-DD"},
        {{"--scene", "length=10,date=" + next + "-01-01,time=14:22:05", out}, years},
        {{"--scene", "length=10,date=" + tooOld + "-12-31,time=14:22:05", out}, years},
        {{"--scene", "length=2s,date=" + now + "-12-31,time=23:59:59", out}, "past the end of " + now},
        {{"--scene", "length=10,date=2003-06-15,time=24:00:00", out}, "does not exist"},
        {{"--scene", ok + ",tc=00:00:00:25", out}, "23:59:59:24"},
        {{"--ntsc", "--scene", ok + ",tc=00:01:00:00", out}, "drop-frame"},
        {{"--scene", ok + ",tc=soon", out}, "continue, restart or HH:MM:SS:FF"},
        {{"--scene", ok + ",colour=mauve", out}, "unknown colour 'mauve'"},
        {{"--scene", ok + ",colour=#12345G", out}, "#RRGGBB"},
        {{"--scene", ok + ",tone=5", out}, "from 20 to 15000 Hz"},
        {{"--scene", ok + ",tone=440Hz", out}, "tone '440Hz'"},
        {{"--scene", ok + ",speed=2", out}, "unknown scene key 'speed'"},
        {{"--scene", ok + ",loud", out}, "key=value"},
        {{"--scenes", dir.file("missing.txt"), out}, "cannot read the scene file"},
        {{"--scenes", badFile, out}, "bad.txt:2: unknown scene key 'speed'"},
        {{"--scene", "length=30h,date=2003-06-15,time=14:22:05", out}, "length '30h'"},
        {{"--scene", "length=90000s,date=2003-06-15,time=14:22:05", out}, "longer than 24 hours"},
    };
    for (const auto& c : cases) {
        std::string joined;
        for (const auto& a : c.args)
            joined += a + " ";
        const Outcome r = run(c.args);
        EXPECT_EQ(r.status, 2) << joined;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << joined << "\n" << r.err;
        EXPECT_NE(r.err.find("Usage: thtape"), std::string::npos) << joined;
        EXPECT_TRUE(r.out.empty()) << joined;
    }
    EXPECT_FALSE(std::filesystem::exists(out));
}

TEST(Thtape, HelpDescribesTheSceneSyntax)
{
    const Outcome r = run({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.err.empty());
    for (const char* word : {"Usage: thtape", "length=", "date=", "time=", "tc=", "colour=", "tone=", "--ntsc",
                             "--audio", "--scenes", "--demo"})
        EXPECT_NE(r.out.find(word), std::string::npos) << word;
}

TEST(Thtape, UnwritableOutputFailsWithStatusOneAndLeavesNothing)
{
    TempDir dir;
    const std::string scene = "length=10,date=2003-06-15,time=14:22:05";
    const Outcome missing = run({"--scene", scene, dir.file("no/such/folder/tape.dv")});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("no/such/folder/tape.dv"), std::string::npos) << missing.err;

    // The output's name is taken by a folder: nothing is renamed over it and
    // no partial file stays behind.
    std::filesystem::create_directory(dir.file("taken.dv"));
    const Outcome taken = run({"--scene", scene, dir.file("taken.dv")});
    EXPECT_EQ(taken.status, 1);
    EXPECT_NE(taken.err.find("taken.dv"), std::string::npos) << taken.err;
    int entries = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.path()))
        ++entries;
    EXPECT_EQ(entries, 1);

    // A tape written again replaces the earlier one whole.
    const std::string out = dir.file("tape.dv");
    ASSERT_EQ(run({"--scene", "length=20,date=2003-06-15,time=14:22:05", out}).status, 0);
    ASSERT_EQ(run({"--scene", scene, out}).status, 0);
    EXPECT_EQ(std::filesystem::file_size(out), 10u * 144000);
}

} // namespace
