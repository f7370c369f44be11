// The DV Splitter: audio decoded bit for bit as libavformat's dv demuxer
// decodes it, the sample counts of locked and unlocked audio, damaged
// frames, and the filter in a graph (types, times, alternate frames, a change
// of frequency, a dropout).
#include "DvMediaTestUtil.h"

#include "platform/dv/DifAudio.h"
#include "platform/media/DVSplitter.h"
#include "support/TestUtil.h"

#include <gtest/gtest.h>

#include <random>

using namespace dvtest;
using th::dif::Quantization;
using th::dif::System;
using th::media::DecodeDvAudio;
using th::media::DvFrameFacts;
using th::media::kFrameRejected;
using th::media::ReadDvFrame;
using th::test::TempDir;

namespace {

struct Format {
    bool pal;
    bool twelveBit;
};

void PrintTo(const Format& f, std::ostream* os)
{
    *os << (f.pal ? "PAL" : "NTSC") << (f.twelveBit ? " 32k12" : " 48k16");
}

std::string formatName(const ::testing::TestParamInfo<Format>& info)
{
    return std::string(info.param.pal ? "Pal" : "Ntsc") + (info.param.twelveBit ? "32k12" : "48k16");
}

System systemOf(const Format& f) { return f.pal ? System::Pal625_50 : System::Ntsc525_60; }
int hzOf(const Format& f) { return f.twelveBit ? 32000 : 48000; }
std::size_t bytesOf(const Format& f) { return f.pal ? 144000 : 120000; }
Quantization quantOf(const Format& f) { return f.twelveBit ? Quantization::Nonlinear12 : Quantization::Linear16; }

std::vector<std::string> tapeArgs(const Format& f)
{
    return {f.pal ? "--pal" : "--ntsc", "--audio", f.twelveBit ? "32k12" : "48k16",
            "--scene", "length=20,date=2003-06-15,time=14:22:05,tone=440",
            "--scene", "length=25,date=2003-06-15,time=15:00:00,tone=1000",
            "--scene", "length=15,date=2004-02-28,time=23:59:50,tone=3000"};
}

std::vector<std::int16_t> decodeAll(const Frame& fr, DvFrameFacts* facts)
{
    EXPECT_EQ(ReadDvFrame(fr.data(), fr.size(), facts), S_OK);
    std::vector<std::int16_t> pcm(2 * th::media::kMaxDvAudioSamples);
    EXPECT_EQ(DecodeDvAudio(fr.data(), fr.size(), *facts, pcm.data(), th::media::kMaxDvAudioSamples), S_OK);
    pcm.resize(static_cast<std::size_t>(2 * facts->audio.samples));
    return pcm;
}

// Writes the code of a sample slot directly: "no sample" codes, which th_dif never writes.
void pokeSlot(Frame& fr, System system, Quantization q, int half, int n, std::uint16_t code)
{
    const auto slot = th::dif::audioSlot(system, q, half, n);
    ASSERT_TRUE(slot);
    std::uint8_t* p = fr.data() + th::dif::blockOffset(system, slot->sequence, th::dif::Section::Audio, slot->block) +
                      slot->offset;
    if (q == Quantization::Linear16) {
        p[0] = static_cast<std::uint8_t>(code >> 8);
        p[1] = static_cast<std::uint8_t>(code);
    } else {
        // Left code of the triplet only.
        p[0] = static_cast<std::uint8_t>(code >> 4);
        p[2] = static_cast<std::uint8_t>((code & 0x0F) << 4 | (p[2] & 0x0F));
    }
}

void wipeAudioPacks(Frame& fr, System system)
{
    for (int seq = 0; seq < th::dif::sequencesPerFrame(system); ++seq)
        for (int b = 0; b < 9; ++b)
            std::memset(fr.data() + th::dif::blockOffset(system, seq, th::dif::Section::Audio, b) + 3, 0xFF, 5);
}

} // namespace

// --- Audio against libavformat ---------------------------------------------------------------

class SplitterAudio : public ::testing::TestWithParam<Format> {};

TEST_P(SplitterAudio, TapeMakersTapeDecodesBitExactlyAsLibavformatDoes)
{
    const Format f = GetParam();
    TempDir dir;
    const std::string tape = dir.file("tape.dv");
    ASSERT_TRUE(makeTape(tapeArgs(f), tape));
    const auto frames = readFrames(tape, bytesOf(f));
    ASSERT_EQ(frames.size(), 60u);
    const ReferenceAudio ref = referenceAudio(tape);
    ASSERT_TRUE(ref.opened);
    ASSERT_EQ(ref.rate, hzOf(f));
    ASSERT_EQ(ref.frames.size(), frames.size());
    long long total = 0;
    for (std::size_t k = 0; k < frames.size(); ++k) {
        DvFrameFacts facts;
        const auto pcm = decodeAll(frames[k], &facts);
        ASSERT_EQ(facts.system, systemOf(f));
        ASSERT_TRUE(facts.audioValid);
        EXPECT_EQ(facts.audio.frequencyHz, hzOf(f));
        EXPECT_FALSE(facts.audio.locked) << "the tape maker records unlocked audio";
        ASSERT_EQ(pcm, ref.frames[k]) << "frame " << k;
        total += facts.audio.samples;
    }
    // The counts add up to the frequency's share of the frames' time.
    const long long want = f.pal ? 60LL * hzOf(f) / 25 : 60LL * hzOf(f) * 1001 / 30000;
    EXPECT_LE(std::llabs(total - want), 1);
}

TEST_P(SplitterAudio, LockedAndUnlockedCountsAndSamplesAreThePacks)
{
    const Format f = GetParam();
    const System sys = systemOf(f);
    const Quantization q = quantOf(f);
    TempDir dir;
    const std::string tape = dir.file("tape.dv");
    ASSERT_TRUE(makeTape({f.pal ? "--pal" : "--ntsc", "--scene", "length=15,date=2003-06-15,time=14:22:05"}, tape));
    const auto base = readFrames(tape, bytesOf(f));
    ASSERT_EQ(base.size(), 15u);

    const int lo = th::dif::minSamplesPerFrame(sys, hzOf(f));
    const int hi = th::dif::maxSamplesPerFrame(sys, hzOf(f));
    // Locked audio keeps the frame's share exactly, in the system's five-frame
    // cycle on 525/60; unlocked audio varies from frame to frame.
    std::vector<int> locked;
    for (int k = 0; k < 15; ++k) {
        if (f.pal)
            locked.push_back(hzOf(f) / 25);
        else
            locked.push_back(f.twelveBit ? (k % 5 == 0 ? 1066 : 1068) : (k % 5 == 0 ? 1600 : 1602));
    }
    std::mt19937 rng(f.pal * 2 + f.twelveBit);
    std::vector<int> unlocked = {lo, hi};
    while (unlocked.size() < 15)
        unlocked.push_back(lo + static_cast<int>(rng() % static_cast<unsigned>(hi - lo + 1)));

    for (bool isLocked : {true, false}) {
        SCOPED_TRACE(isLocked ? "locked" : "unlocked");
        const auto& counts = isLocked ? locked : unlocked;
        std::vector<Frame> frames = base;
        std::vector<std::vector<std::int16_t>> written;
        for (std::size_t k = 0; k < frames.size(); ++k) {
            std::vector<std::int16_t> pcm(static_cast<std::size_t>(2 * counts[k]));
            for (auto& v : pcm)
                v = static_cast<std::int16_t>(static_cast<int>(rng() % 65535) - 32767);
            ASSERT_TRUE(setAudio(frames[k], sys, hzOf(f), q, isLocked, pcm, counts[k]));
            if (q == Quantization::Nonlinear12)
                for (auto& v : pcm)
                    v = th::dif::decode12(th::dif::encode12(v));
            written.push_back(pcm);
        }
        // A "no sample" code in frame 3 reads as 0 (on the left channel of sample 7).
        pokeSlot(frames[3], sys, q, 0, 7, q == Quantization::Linear16 ? 0x8000 : 0x800);
        written[3][14] = 0;
        const std::string file = dir.file(isLocked ? "locked.dv" : "unlocked.dv");
        writeFrames(file, frames);
        const ReferenceAudio ref = referenceAudio(file);
        ASSERT_TRUE(ref.opened);
        ASSERT_EQ(ref.frames.size(), frames.size());
        for (std::size_t k = 0; k < frames.size(); ++k) {
            DvFrameFacts facts;
            const auto pcm = decodeAll(frames[k], &facts);
            EXPECT_EQ(facts.audio.locked, isLocked) << k;
            ASSERT_EQ(facts.audio.samples, counts[k]) << k;
            ASSERT_EQ(pcm, written[k]) << "frame " << k;
            ASSERT_EQ(pcm, ref.frames[k]) << "libavformat, frame " << k;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, SplitterAudio,
                         ::testing::Values(Format{true, false}, Format{true, true}, Format{false, false},
                                           Format{false, true}),
                         formatName);

// --- Damaged frames -----------------------------------------------------------------------------

TEST(SplitterFrames, ShortAndForeignFramesAreRejectedAndDropoutsHaveNoAudio)
{
    TempDir dir;
    const std::string tape = dir.file("tape.dv");
    ASSERT_TRUE(makeTape({"--scene", "length=2,date=2003-06-15,time=14:22:05"}, tape));
    const auto frames = readFrames(tape, 144000);
    ASSERT_EQ(frames.size(), 2u);
    DvFrameFacts facts;
    EXPECT_EQ(ReadDvFrame(nullptr, 144000, &facts), kFrameRejected);
    EXPECT_EQ(ReadDvFrame(frames[0].data(), 0, &facts), kFrameRejected);
    EXPECT_EQ(ReadDvFrame(frames[0].data(), 11999, &facts), kFrameRejected);
    EXPECT_EQ(ReadDvFrame(frames[0].data(), 143999, &facts), kFrameRejected);
    EXPECT_EQ(facts.system, System::None);
    Frame foreign = frames[0];
    foreign[0] = 0x9F; // a video block ID where the header block belongs
    EXPECT_EQ(ReadDvFrame(foreign.data(), foreign.size(), &facts), kFrameRejected);

    Frame dropout = frames[1];
    wipeAudioPacks(dropout, System::Pal625_50);
    ASSERT_EQ(ReadDvFrame(dropout.data(), dropout.size(), &facts), S_OK);
    EXPECT_EQ(facts.system, System::Pal625_50);
    EXPECT_FALSE(facts.audioValid);
    std::vector<std::int16_t> pcm(2 * th::media::kMaxDvAudioSamples);
    EXPECT_EQ(DecodeDvAudio(dropout.data(), dropout.size(), facts, pcm.data(), th::media::kMaxDvAudioSamples),
              kFrameRejected);

    ASSERT_EQ(ReadDvFrame(frames[0].data(), frames[0].size(), &facts), S_OK);
    EXPECT_EQ(DecodeDvAudio(frames[0].data(), frames[0].size(), facts, pcm.data(), facts.audio.samples - 1),
              E_INVALIDARG);
    // Facts of a PAL frame laid over a shorter buffer are refused, not read past its end.
    EXPECT_EQ(DecodeDvAudio(frames[0].data(), 120000, facts, pcm.data(), th::media::kMaxDvAudioSamples),
              kFrameRejected);
}

// --- The filter -----------------------------------------------------------------------------------

namespace {

struct SplitterGraph {
    Graph g;
    ComPtr<IBaseFilter> source, splitter, videoSink, audioSink;
    FrameSource* src = nullptr;
    RecordingSink* video = nullptr;
    RecordingSink* audio = nullptr;

    SplitterGraph(std::vector<Frame> frames, const Frame& typeFrom, REFERENCE_TIME frameTime)
    {
        source = FrameSource::Make(std::move(frames), interleavedType(typeFrom), frameTime, &src);
        EXPECT_EQ(CoCreateInstance(CLSID_DVSplitter, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&splitter)), S_OK);
        videoSink = RecordingSink::Make(MEDIATYPE_Video, &video);
        audioSink = RecordingSink::Make(MEDIATYPE_Audio, &audio);
        g.add(source.Get(), u"Source");
        g.add(splitter.Get(), u"DV Splitter");
        g.add(videoSink.Get(), u"Video");
        g.add(audioSink.Get(), u"Audio");
        EXPECT_EQ(g.builder->ConnectDirect(pinOf(source.Get(), u"Out").Get(), pinOf(splitter.Get(), u"Input").Get(),
                                           nullptr),
                  S_OK);
        EXPECT_EQ(g.builder->ConnectDirect(pinOf(splitter.Get(), u"DVVidOut0").Get(),
                                           pinOf(videoSink.Get(), u"In").Get(), nullptr),
                  S_OK);
        EXPECT_EQ(g.builder->ConnectDirect(pinOf(splitter.Get(), u"AudOut00").Get(),
                                           pinOf(audioSink.Get(), u"In").Get(), nullptr),
                  S_OK);
    }

    void runToEnd()
    {
        ASSERT_EQ(g.control->Run(), S_OK);
        EXPECT_TRUE(video->WaitForEndOfStream());
        EXPECT_TRUE(audio->WaitForEndOfStream());
        EXPECT_EQ(g.control->Stop(), S_OK);
    }
};

std::vector<std::int16_t> pcmOf(const Recorded& r)
{
    std::vector<std::int16_t> pcm(r.data.size() / 2);
    for (std::size_t i = 0; i < pcm.size(); ++i)
        pcm[i] = static_cast<std::int16_t>(r.data[2 * i] | r.data[2 * i + 1] << 8);
    return pcm;
}

} // namespace

TEST(SplitterFilter, ClassPinsAndInterfaces)
{
    ComPtr<IBaseFilter> f;
    ASSERT_EQ(CoCreateInstance(CLSID_DVSplitter, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&f)), S_OK);
    ComPtr<IDVSplitter> dv;
    EXPECT_EQ(f.As(&dv), S_OK);
    EXPECT_EQ(dv->DiscardAlternateVideoFrames(1), S_OK);
    for (const char16_t* name : {u"Input", u"DVVidOut0", u"AudOut00"})
        EXPECT_TRUE(pinOf(f.Get(), name)) << th::com::Utf16ToUtf8(name);
    // Without an input the outputs offer nothing.
    ComPtr<IEnumMediaTypes> types;
    ASSERT_EQ(pinOf(f.Get(), u"DVVidOut0")->EnumMediaTypes(types.ReleaseAndGetAddressOf()), S_OK);
    AM_MEDIA_TYPE* mt = nullptr;
    ULONG got = 0;
    EXPECT_NE(types->Next(1, &mt, &got), S_OK);
    EXPECT_EQ(got, 0u);
}

class SplitterFilterFormats : public ::testing::TestWithParam<Format> {};

TEST_P(SplitterFilterFormats, OutputsCarryTheFramesAndTheirPcmWithTheirTimes)
{
    const Format f = GetParam();
    TempDir dir;
    const std::string tape = dir.file("tape.dv");
    ASSERT_TRUE(makeTape(tapeArgs(f), tape));
    const auto frames = readFrames(tape, bytesOf(f));
    const ReferenceAudio ref = referenceAudio(tape);
    const REFERENCE_TIME frameTime = f.pal ? 400000 : 333667;
    SplitterGraph sg(frames, frames[0], frameTime);

    AM_MEDIA_TYPE vt{}, at{};
    ASSERT_EQ(pinOf(sg.splitter.Get(), u"DVVidOut0")->ConnectionMediaType(&vt), S_OK);
    ASSERT_EQ(pinOf(sg.splitter.Get(), u"AudOut00")->ConnectionMediaType(&at), S_OK);
    EXPECT_TRUE(vt.majortype == MEDIATYPE_Video && vt.subtype == MEDIASUBTYPE_dvsd && vt.formattype == FORMAT_VideoInfo);
    ASSERT_GE(vt.cbFormat, sizeof(VIDEOINFOHEADER));
    const auto* vih = reinterpret_cast<const VIDEOINFOHEADER*>(vt.pbFormat);
    EXPECT_EQ(vih->AvgTimePerFrame, frameTime);
    EXPECT_EQ(vih->bmiHeader.biWidth, 720);
    EXPECT_EQ(vih->bmiHeader.biHeight, f.pal ? 576 : 480);
    EXPECT_EQ(vih->bmiHeader.biCompression, 0x64737664u);
    EXPECT_EQ(vih->bmiHeader.biSizeImage, bytesOf(f));
    EXPECT_TRUE(at.majortype == MEDIATYPE_Audio && at.subtype == MEDIASUBTYPE_PCM && at.formattype == FORMAT_WaveFormatEx);
    ASSERT_GE(at.cbFormat, sizeof(WAVEFORMATEX));
    WAVEFORMATEX wfx;
    std::memcpy(&wfx, at.pbFormat, sizeof wfx);
    EXPECT_EQ(wfx.wFormatTag, WAVE_FORMAT_PCM);
    EXPECT_EQ(wfx.nChannels, 2);
    EXPECT_EQ(wfx.nSamplesPerSec, static_cast<DWORD>(hzOf(f)));
    EXPECT_EQ(wfx.nAvgBytesPerSec, static_cast<DWORD>(hzOf(f) * 4));
    EXPECT_EQ(wfx.nBlockAlign, 4);
    EXPECT_EQ(wfx.wBitsPerSample, 16);
    th::dshow::FreeMediaTypeContents(vt);
    th::dshow::FreeMediaTypeContents(at);

    sg.runToEnd();
    const auto video = sg.video->Samples();
    const auto audio = sg.audio->Samples();
    ASSERT_EQ(video.size(), frames.size());
    ASSERT_EQ(audio.size(), frames.size());
    LONGLONG samples = 0; // the audio's media times count samples
    for (std::size_t k = 0; k < frames.size(); ++k) {
        SCOPED_TRACE(k);
        ASSERT_EQ(video[k].data, frames[k]);
        for (const Recorded* r : {&video[k], &audio[k]}) {
            EXPECT_EQ(r->timeResult, S_OK);
            EXPECT_EQ(r->start, static_cast<REFERENCE_TIME>(k) * frameTime);
            EXPECT_EQ(r->stop, static_cast<REFERENCE_TIME>(k + 1) * frameTime);
            EXPECT_EQ(r->mediaResult, S_OK);
            EXPECT_FALSE(r->typeAttached);
        }
        EXPECT_EQ(video[k].mediaStart, static_cast<LONGLONG>(k));
        EXPECT_EQ(video[k].mediaStop, static_cast<LONGLONG>(k + 1));
        EXPECT_EQ(audio[k].mediaStart, samples);
        samples += static_cast<LONGLONG>(audio[k].data.size() / 4);
        EXPECT_EQ(audio[k].mediaStop, samples);
        ASSERT_EQ(pcmOf(audio[k]), ref.frames[k]);
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, SplitterFilterFormats,
                         ::testing::Values(Format{true, false}, Format{false, true}), formatName);

TEST(SplitterFilter, AlternateVideoFramesAreDiscardedOnRequestAudioKeepsEveryFrame)
{
    TempDir dir;
    const std::string tape = dir.file("tape.dv");
    ASSERT_TRUE(makeTape({"--scene", "length=20,date=2003-06-15,time=14:22:05"}, tape));
    const auto frames = readFrames(tape, 144000);
    SplitterGraph sg(frames, frames[0], 400000);
    ComPtr<IDVSplitter> dv;
    ASSERT_EQ(sg.splitter.As(&dv), S_OK);

    ASSERT_EQ(dv->DiscardAlternateVideoFrames(1), S_OK);
    sg.runToEnd();
    auto video = sg.video->Samples();
    ASSERT_EQ(video.size(), 10u);
    for (std::size_t i = 0; i < video.size(); ++i) {
        EXPECT_EQ(video[i].data, frames[2 * i]);
        EXPECT_EQ(video[i].start, static_cast<REFERENCE_TIME>(2 * i) * 400000);
    }
    EXPECT_EQ(sg.audio->Samples().size(), 20u);

    // Run again with every frame: the count starts afresh with the run.
    ASSERT_EQ(dv->DiscardAlternateVideoFrames(0), S_OK);
    ASSERT_EQ(sg.g.control->Run(), S_OK);
    ASSERT_TRUE(th::test::waitUntil([&] { return sg.audio->Samples().size() >= 40; }));
    ASSERT_TRUE(th::test::waitUntil([&] { return sg.video->Samples().size() >= 30; }));
    EXPECT_EQ(sg.g.control->Stop(), S_OK);
    video = sg.video->Samples();
    ASSERT_EQ(video.size(), 30u);
    for (std::size_t i = 0; i < 20; ++i)
        EXPECT_EQ(video[10 + i].data, frames[i]);
}

TEST(SplitterFilter, DamagedFramesAreRefusedDropoutsGetSilenceAndTheStreamGoesOn)
{
    TempDir dir;
    const std::string tape = dir.file("tape.dv");
    ASSERT_TRUE(makeTape({"--scene", "length=4,date=2003-06-15,time=14:22:05,tone=440"}, tape));
    const auto good = readFrames(tape, 144000);
    const ReferenceAudio ref = referenceAudio(tape);
    Frame truncated(good[1].begin(), good[1].begin() + 100000);
    Frame garbage(144000);
    std::mt19937 rng(7);
    for (auto& b : garbage)
        b = static_cast<std::uint8_t>(rng());
    Frame dropout = good[2];
    wipeAudioPacks(dropout, System::Pal625_50);
    const std::vector<Frame> frames = {good[0], truncated, garbage, dropout, good[3]};

    SplitterGraph sg(frames, good[0], 400000);
    sg.runToEnd();
    const auto results = sg.src->Results();
    ASSERT_EQ(results.size(), 5u);
    EXPECT_EQ(results[0], S_OK);
    EXPECT_EQ(results[1], kFrameRejected);
    EXPECT_EQ(results[2], kFrameRejected);
    EXPECT_EQ(results[3], S_OK);
    EXPECT_EQ(results[4], S_OK);

    const auto video = sg.video->Samples();
    ASSERT_EQ(video.size(), 3u);
    EXPECT_EQ(video[0].data, good[0]);
    EXPECT_EQ(video[1].data, dropout);
    EXPECT_EQ(video[2].data, good[3]);
    const auto audio = sg.audio->Samples();
    ASSERT_EQ(audio.size(), 3u);
    EXPECT_EQ(pcmOf(audio[0]), ref.frames[0]);
    // The dropout keeps the audio's place: silence as long as the frame before.
    EXPECT_EQ(pcmOf(audio[1]), std::vector<std::int16_t>(ref.frames[0].size(), 0));
    EXPECT_EQ(audio[1].start, 3 * 400000);
    EXPECT_EQ(pcmOf(audio[2]), ref.frames[3]);
}

TEST(SplitterFilter, AChangeOfFrequencyTravelsWithTheFirstSampleOfTheNewRate)
{
    TempDir dir;
    const std::string a = dir.file("a.dv");
    const std::string b = dir.file("b.dv");
    ASSERT_TRUE(makeTape({"--scene", "length=3,date=2003-06-15,time=14:22:05"}, a));
    ASSERT_TRUE(makeTape({"--audio", "32k12", "--scene", "length=3,date=2003-06-15,time=14:23:00"}, b));
    auto frames = readFrames(a, 144000);
    const auto more = readFrames(b, 144000);
    frames.insert(frames.end(), more.begin(), more.end());

    SplitterGraph sg(frames, frames[0], 400000);
    sg.runToEnd();
    const auto audio = sg.audio->Samples();
    ASSERT_EQ(audio.size(), 6u);
    for (std::size_t k = 0; k < 6; ++k) {
        SCOPED_TRACE(k);
        EXPECT_EQ(audio[k].typeAttached, k == 3);
        EXPECT_EQ(audio[k].data.size(), (k < 3 ? 1920u : 1280u) * 4);
        ASSERT_GE(audio[k].connection.cbFormat, sizeof(WAVEFORMATEX));
        WAVEFORMATEX wfx;
        std::memcpy(&wfx, audio[k].connection.pbFormat, sizeof wfx);
        EXPECT_EQ(wfx.nSamplesPerSec, k < 3 ? 48000u : 32000u);
    }
    AM_MEDIA_TYPE at{};
    ASSERT_EQ(pinOf(sg.splitter.Get(), u"AudOut00")->ConnectionMediaType(&at), S_OK);
    WAVEFORMATEX wfx;
    std::memcpy(&wfx, at.pbFormat, sizeof wfx);
    EXPECT_EQ(wfx.nSamplesPerSec, 32000u);
    th::dshow::FreeMediaTypeContents(at);
    // The video kept its type: both tapes are 625/50.
    for (const auto& v : sg.video->Samples())
        EXPECT_FALSE(v.typeAttached);
}
