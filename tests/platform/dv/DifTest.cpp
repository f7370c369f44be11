// th_dif: layout, packs, audio shuffling, and frames written and read back.
#include "platform/dv/DifAudio.h"
#include "platform/dv/DifFrame.h"
#include "platform/dv/DifLayout.h"
#include "platform/dv/DifPacks.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <vector>

using namespace th::dif;

namespace {

// The capture engine's reading of bytes 458-467: BCD with masked tens digits,
// the pack headers not examined, the year pivoting at 25.
struct EngineDateTime {
    int day, month, year, sec, min, hour;
};
EngineDateTime engineDecode(const std::uint8_t* b)
{
    auto v = [&](int at, int mask) { return ((b[at] >> 4) & mask) * 10 + (b[at] & 0x0F); };
    const int yy = v(462, 15);
    return {v(460, 3), v(461, 1), yy < 25 ? 2000 + yy : 1900 + yy, v(465, 7), v(466, 7), v(467, 3)};
}

FrameInfo sampleInfo(System system, int hz, Quantization q)
{
    FrameInfo info;
    info.system = system;
    info.timecode = {1, 23, 45, 12, system == System::Ntsc525_60};
    info.recorded = RecDateTime{{2003, 6, 15}, {14, 22, 5}};
    info.audio.frequencyHz = hz;
    info.audio.quantization = q;
    info.audio.samples = minSamplesPerFrame(system, hz) + 7;
    return info;
}

} // namespace

// --- Layout -------------------------------------------------------------------------

TEST(DifLayout, FrameGeometryOfBothSystems)
{
    EXPECT_EQ(frameSize(System::Pal625_50), 144000u);
    EXPECT_EQ(frameSize(System::Ntsc525_60), 120000u);
    EXPECT_EQ(frameSize(System::None), 0u);
    EXPECT_EQ(sequencesPerFrame(System::Pal625_50), 12);
    EXPECT_EQ(sequencesPerFrame(System::Ntsc525_60), 10);
    EXPECT_EQ(frameRate(System::Ntsc525_60).num, 30000);
    EXPECT_EQ(frameRate(System::Ntsc525_60).den, 1001);
}

TEST(DifLayout, SectionsTileEachSequenceExactlyOnce)
{
    std::vector<int> owner(kBlocksPerSequence, -1);
    const Section sections[] = {Section::Header, Section::Subcode, Section::Vaux, Section::Audio, Section::Video};
    for (Section s : sections) {
        for (int dbn = 0; dbn < blocksOfSection(s); ++dbn) {
            const int index = blockIndex(s, dbn);
            ASSERT_GE(index, 0);
            ASSERT_LT(index, kBlocksPerSequence);
            EXPECT_EQ(owner[static_cast<std::size_t>(index)], -1) << "block " << index << " given twice";
            owner[static_cast<std::size_t>(index)] = static_cast<int>(s);
        }
        EXPECT_EQ(blockIndex(s, blocksOfSection(s)), -1);
        EXPECT_EQ(blockIndex(s, -1), -1);
    }
    for (int o : owner)
        EXPECT_NE(o, -1);
    // Rows: an audio block, then fifteen video blocks.
    EXPECT_EQ(blockIndex(Section::Audio, 1), 22);
    EXPECT_EQ(blockIndex(Section::Video, 14), 21);
    EXPECT_EQ(blockIndex(Section::Video, 15), 23);
    EXPECT_EQ(blockIndex(Section::Video, 134), 149);
}

TEST(DifLayout, BlockOffsetsStayInsideTheFrame)
{
    EXPECT_EQ(blockOffset(System::Pal625_50, 11, Section::Video, 134), 143920);
    EXPECT_EQ(blockOffset(System::Pal625_50, 12, Section::Header, 0), -1);
    EXPECT_EQ(blockOffset(System::Ntsc525_60, 10, Section::Header, 0), -1);
    EXPECT_EQ(blockOffset(System::Ntsc525_60, 9, Section::Video, 134), 119920);
    EXPECT_EQ(blockOffset(System::None, 0, Section::Header, 0), -1);
    EXPECT_EQ(blockOffset(System::Pal625_50, 0, Section::Vaux, 2), 400);
}

TEST(DifLayout, BlockIdsRoundTripAndCarryTheirFields)
{
    std::uint8_t b[3];
    writeBlockId(b, {Section::Audio, 3, 2, false, 0x6});
    EXPECT_EQ(b[0], 0x76);
    EXPECT_EQ(b[1], 0x37);
    EXPECT_EQ(b[2], 0x02);
    const auto id = readBlockId(b);
    ASSERT_TRUE(id);
    EXPECT_EQ(id->section, Section::Audio);
    EXPECT_EQ(id->sequence, 3);
    EXPECT_EQ(id->block, 2);

    writeBlockId(b, {Section::Video, 11, 134, true, 0xF});
    EXPECT_EQ(b[1], 0xBF);
    EXPECT_TRUE(readBlockId(b)->fsc);

    const std::uint8_t badSection[3] = {0xBF, 0x07, 0x00}; // SCT 5
    EXPECT_FALSE(readBlockId(badSection));
    const std::uint8_t badNumber[3] = {0x76, 0x07, 9}; // audio block 9
    EXPECT_FALSE(readBlockId(badNumber));
}

// --- Packs ----------------------------------------------------------------------------

TEST(DifPacks, TimecodePackIsBcdAndRoundTrips)
{
    const Timecode tc{1, 23, 45, 12, false};
    const Pack p = timecodePack(tc);
    EXPECT_EQ(p, (Pack{0x13, 0x12, 0x45, 0x23, 0x01}));
    EXPECT_EQ(timecodeBcd(tc), 0x01234512u);
    EXPECT_EQ(parseTimecodePack(p.data()), tc);

    const Timecode df{0, 1, 0, 2, true};
    const Pack q = timecodePack(df);
    EXPECT_EQ(q[1], 0x42);
    EXPECT_EQ(parseTimecodePack(q.data()), df);
}

TEST(DifPacks, TimecodeParserRejectsWhatIsNoTimecode)
{
    const std::uint8_t wrongHeader[5] = {0x14, 0x12, 0x45, 0x23, 0x01};
    const std::uint8_t blank[5] = {0x13, 0xFF, 0xFF, 0xFF, 0xFF};
    const std::uint8_t hexDigit[5] = {0x13, 0x1A, 0x45, 0x23, 0x01};
    const std::uint8_t hour24[5] = {0x13, 0x00, 0x00, 0x00, 0x24};
    const std::uint8_t minute60[5] = {0x13, 0x00, 0x00, 0x60, 0x00};
    for (const auto* p : {wrongHeader, blank, hexDigit, hour24, minute60})
        EXPECT_FALSE(parseTimecodePack(p));
}

TEST(DifPacks, DropFrameCountingSkipsTwoFramesAMinuteButEveryTenth)
{
    const System ntsc = System::Ntsc525_60;
    EXPECT_EQ(timecodeFromFrameCount(ntsc, 1799), (Timecode{0, 0, 59, 29, true}));
    EXPECT_EQ(timecodeFromFrameCount(ntsc, 1800), (Timecode{0, 1, 0, 2, true}));
    EXPECT_EQ(timecodeFromFrameCount(ntsc, 17982), (Timecode{0, 10, 0, 0, true}));
    EXPECT_EQ(timecodeFromFrameCount(ntsc, 17982 * 6), (Timecode{1, 0, 0, 0, true}));
    EXPECT_FALSE(isValidTimecode(ntsc, {0, 1, 0, 0, true}));
    EXPECT_FALSE(isValidTimecode(ntsc, {0, 1, 0, 1, true}));
    EXPECT_TRUE(isValidTimecode(ntsc, {0, 10, 0, 0, true}));
    EXPECT_TRUE(isValidTimecode(ntsc, {0, 1, 0, 2, true}));
    EXPECT_FALSE(isValidTimecode(System::Pal625_50, {0, 0, 0, 25, false}));
    EXPECT_TRUE(isValidTimecode(System::Pal625_50, {23, 59, 59, 24, false}));

    // Every frame of a day and a bit: a valid time code whose count comes
    // back, wrapping after a day.
    for (System s : {ntsc, System::Pal625_50}) {
        const long long day = s == ntsc ? 17982LL * 144 : 25LL * 86400;
        EXPECT_EQ(timecodeFromFrameCount(s, -1), s == ntsc ? (Timecode{23, 59, 59, 29, true}) : (Timecode{23, 59, 59, 24, false}));
        for (long long n = 0; n < day + 40000; ++n) {
            const Timecode tc = timecodeFromFrameCount(s, n);
            ASSERT_TRUE(isValidTimecode(s, tc)) << n;
            ASSERT_EQ(frameCountFromTimecode(s, tc), n % day) << n;
        }
    }
}

TEST(DifPacks, RecordingDatePackMasksTheDayOfWeekAndPivotsTheYear)
{
    const Pack sunday = recDatePack(kPackVauxRecDate, {2003, 6, 15});
    EXPECT_EQ(sunday, (Pack{0x62, 0xFF, 0xD5, 0x06, 0x03}));
    const Pack friday = recDatePack(kPackAauxRecDate, {1999, 12, 31});
    EXPECT_EQ(friday, (Pack{0x52, 0xFF, 0xF1, 0xB2, 0x99}));
    EXPECT_EQ(parseRecDatePack(friday.data()), (RecDate{1999, 12, 31}));

    EXPECT_EQ(parseRecDatePack(recDatePack(kPackVauxRecDate, {2024, 2, 29}).data()), (RecDate{2024, 2, 29}));
    // 95-99 are the last century, 00-94 this one, whatever the clock says.
    EXPECT_EQ(parseRecDatePack(recDatePack(kPackVauxRecDate, {2094, 1, 1}).data()), (RecDate{2094, 1, 1}));
    EXPECT_EQ(parseRecDatePack(recDatePack(kPackVauxRecDate, {1995, 1, 1}).data()), (RecDate{1995, 1, 1}));
    EXPECT_EQ(fullYearFromTwoDigits(27), 2027) << "a tape of 2027 is not of 1927";
    EXPECT_EQ(fullYearFromTwoDigits(94), 2094);
    EXPECT_EQ(fullYearFromTwoDigits(95), 1995);
    EXPECT_EQ(earliestRecordingYear(), 1995);
    EXPECT_EQ(latestRecordingYear(), 2094);
}

TEST(DifPacks, RecordingTimePackRoundTrips)
{
    const Pack p = recTimePack(kPackVauxRecTime, {14, 22, 5});
    EXPECT_EQ(p, (Pack{0x63, 0xFF, 0x85, 0xA2, 0xD4}));
    EXPECT_EQ(parseRecTimePack(p.data()), (RecTime{14, 22, 5}));
    EXPECT_EQ(parseRecTimePack(recTimePack(kPackAauxRecTime, {23, 59, 59}).data()), (RecTime{23, 59, 59}));
}

TEST(DifPacks, DateAndTimeParsersRejectBlankAndImpossibleValues)
{
    const std::uint8_t blankDate[5] = {0x62, 0xFF, 0xFF, 0xFF, 0xFF};
    const std::uint8_t feb30[5] = {0x62, 0xFF, 0xF0 | 0x30, 0x02, 0x03};
    const std::uint8_t feb29NoLeap[5] = {0x62, 0xFF, 0xC0 | 0x29, 0x02, 0x03};
    const std::uint8_t month13[5] = {0x62, 0xFF, 0xC1, 0x13, 0x03};
    const std::uint8_t day0[5] = {0x62, 0xFF, 0xC0, 0x01, 0x03};
    const std::uint8_t timeHeader[5] = {0x63, 0xFF, 0xC1, 0x01, 0x03};
    for (const auto* p : {blankDate, feb30, feb29NoLeap, month13, day0, timeHeader})
        EXPECT_FALSE(parseRecDatePack(p));

    const std::uint8_t blankTime[5] = {0x63, 0xFF, 0xFF, 0xFF, 0xFF};
    const std::uint8_t sec60[5] = {0x63, 0xFF, 0xE0, 0x80, 0xC0};
    const std::uint8_t hour24[5] = {0x53, 0xFF, 0x80, 0x80, 0xE4};
    const std::uint8_t dateHeader[5] = {0x62, 0xFF, 0x80, 0x80, 0xC0};
    for (const auto* p : {blankTime, sec60, hour24, dateHeader})
        EXPECT_FALSE(parseRecTimePack(p));
}

TEST(DifPacks, ClockArithmeticCrossesDaysMonthsAndLeapYears)
{
    EXPECT_EQ(addSeconds({{2003, 6, 15}, {23, 59, 59}}, 1), (RecDateTime{{2003, 6, 16}, {0, 0, 0}}));
    EXPECT_EQ(addSeconds({{2003, 12, 31}, {23, 59, 30}}, 45), (RecDateTime{{2004, 1, 1}, {0, 0, 15}}));
    EXPECT_EQ(addSeconds({{2004, 2, 28}, {12, 0, 0}}, 86400), (RecDateTime{{2004, 2, 29}, {12, 0, 0}}));
    EXPECT_EQ(addSeconds({{2000, 3, 1}, {0, 0, 0}}, -1), (RecDateTime{{2000, 2, 29}, {23, 59, 59}}));
    EXPECT_EQ(dayOfWeek({2003, 6, 15}), 0);
    EXPECT_EQ(dayOfWeek({2024, 2, 29}), 4);
}

TEST(DifPacks, VauxSourceAndControlRoundTrip)
{
    VauxSource source;
    source.system = System::Ntsc525_60;
    const Pack s = vauxSourcePack(source);
    EXPECT_EQ(s[0], 0x60);
    EXPECT_EQ(s[3] & 0x20, 0); // 50/60 flag: 60 fields
    EXPECT_EQ(s[3] & 0x1F, 0); // 25 Mbit/s SD
    EXPECT_EQ(parseVauxSourcePack(s.data())->system, System::Ntsc525_60);
    source.system = System::Pal625_50;
    EXPECT_EQ(vauxSourcePack(source)[3] & 0x20, 0x20);

    VauxSourceControl control;
    control.recordingStart = true;
    control.display = 2;
    const Pack c = vauxSourceControlPack(control);
    EXPECT_EQ(c[2], 0x4A);
    const auto back = parseVauxSourceControlPack(c.data());
    ASSERT_TRUE(back);
    EXPECT_TRUE(back->recordingStart);
    EXPECT_EQ(back->display, 2);
    EXPECT_EQ(vauxSourceControlPack({})[2], 0xC8); // not a start, original, 4:3
}

TEST(DifPacks, AauxSourceCarriesSampleCountLockAndFormat)
{
    AauxSource pal;
    pal.samples = 1920;
    EXPECT_EQ(*aauxSourcePack(pal), (Pack{0x50, 0xD8, 0x00, 0xE0, 0x80}));

    AauxSource ntsc;
    ntsc.system = System::Ntsc525_60;
    ntsc.frequencyHz = 32000;
    ntsc.quantization = Quantization::Nonlinear12;
    ntsc.locked = true;
    ntsc.samples = 1068;
    ntsc.channelsPerBlock = 2;
    const Pack p = *aauxSourcePack(ntsc);
    EXPECT_EQ(p, (Pack{0x50, 0x4F, 0x20, 0xC0, 0x91}));
    const auto back = parseAauxSourcePack(p.data());
    ASSERT_TRUE(back);
    EXPECT_TRUE(back->locked);
    EXPECT_EQ(back->samples, 1068);
    EXPECT_EQ(back->frequencyHz, 32000);
    EXPECT_EQ(back->quantization, Quantization::Nonlinear12);
    EXPECT_EQ(back->system, System::Ntsc525_60);
    EXPECT_EQ(back->channelsPerBlock, 2);

    // Sample counts at and beyond the limits of each system and frequency.
    for (System s : {System::Pal625_50, System::Ntsc525_60})
        for (int hz : {48000, 44100, 32000}) {
            AauxSource a;
            a.system = s;
            a.frequencyHz = hz;
            a.samples = minSamplesPerFrame(s, hz);
            EXPECT_TRUE(aauxSourcePack(a));
            a.samples = maxSamplesPerFrame(s, hz);
            ASSERT_TRUE(aauxSourcePack(a));
            EXPECT_EQ(parseAauxSourcePack(aauxSourcePack(a)->data())->samples, a.samples);
            a.samples = minSamplesPerFrame(s, hz) - 1;
            EXPECT_FALSE(aauxSourcePack(a));
            a.samples = maxSamplesPerFrame(s, hz) + 1;
            EXPECT_FALSE(aauxSourcePack(a));
        }
    AauxSource odd;
    odd.frequencyHz = 96000;
    EXPECT_FALSE(aauxSourcePack(odd));

    const std::uint8_t reservedFrequency[5] = {0x50, 0xD8, 0x00, 0xE0, 0x98};
    const std::uint8_t twentyBit[5] = {0x50, 0xD8, 0x00, 0xE0, 0x82};
    const std::uint8_t tooMany[5] = {0x50, 0xFF, 0x00, 0xE0, 0x80}; // 1896 + 63 > 1944
    for (const auto* q : {reservedFrequency, twentyBit, tooMany})
        EXPECT_FALSE(parseAauxSourcePack(q));
}

TEST(DifPacks, AauxSourceControlRoundTrips)
{
    AauxSourceControl c;
    c.speed = normalPlaySpeed(System::Ntsc525_60);
    c.recordingStart = true;
    const Pack p = aauxSourceControlPack(c);
    EXPECT_EQ(p, (Pack{0x51, 0x3F, 0x4F, 0xF8, 0xFF}));
    const auto back = parseAauxSourceControlPack(p.data());
    ASSERT_TRUE(back);
    EXPECT_TRUE(back->recordingStart);
    EXPECT_FALSE(back->recordingEnd);
    EXPECT_EQ(back->recordingMode, 1);
    EXPECT_EQ(back->speed, 0x78);
    EXPECT_FALSE(parseAauxSourceControlPack(kNoInfoPack.data()));
}

// --- Audio -----------------------------------------------------------------------------

TEST(DifAudio, TwelveBitCodeSegments)
{
    EXPECT_EQ(encode12(0), 0x000);
    EXPECT_EQ(encode12(511), 0x1FF);
    EXPECT_EQ(encode12(512), 0x200);
    EXPECT_EQ(encode12(1023), 0x2FF);
    EXPECT_EQ(encode12(1024), 0x300);
    EXPECT_EQ(encode12(16384), 0x700);
    EXPECT_EQ(encode12(32767), 0x7FF);
    EXPECT_EQ(encode12(-1), 0xFFF);
    EXPECT_EQ(encode12(-512), 0xE00);
    EXPECT_EQ(decode12(0x7FF), 32704);
    EXPECT_EQ(decode12(0x300), 1024);
    EXPECT_EQ(decode12(0xFFF), -1);
    EXPECT_EQ(decode12(0x801), -32641);
    EXPECT_EQ(decode12(kNoSample12), 0);
}

TEST(DifAudio, TwelveBitCodeIsMonotonicCloseAndNeverTheNoSampleCode)
{
    int previous = -1;
    for (int v = -32768; v <= 32767; ++v) {
        const std::uint16_t code = encode12(static_cast<std::int16_t>(v));
        ASSERT_NE(code, kNoSample12) << v;
        ASSERT_LE(code, 0xFFF);
        const int back = decode12(code);
        // Ordered: codes rise with the sample (negative codes above 0x800).
        const int order = code >= 0x800 ? code - 0x1000 : code;
        ASSERT_GE(order, previous == -1 ? order : previous) << v;
        previous = order;
        // Within one step of its segment (64 in the top one).
        const int a = v < 0 ? -v - 1 : v;
        int step = 1;
        while (step < 64 && a >= 512 * step)
            step *= 2;
        ASSERT_LE(std::abs(back - v), v < -32641 ? 128 : step) << v;
    }
}

TEST(DifAudio, SlotsCoverEveryPositionOnceAndFollowTheShuffle)
{
    struct Case {
        System system;
        Quantization q;
        int slots;
    };
    for (const Case c : {Case{System::Pal625_50, Quantization::Linear16, 1944},
                         Case{System::Ntsc525_60, Quantization::Linear16, 1620},
                         Case{System::Pal625_50, Quantization::Nonlinear12, 1296},
                         Case{System::Ntsc525_60, Quantization::Nonlinear12, 1080}}) {
        const int width = c.q == Quantization::Linear16 ? 2 : 3;
        std::set<std::tuple<int, int, int>> seen;
        for (int half = 0; half < 2; ++half)
            for (int n = 0; n < c.slots; ++n) {
                const auto s = audioSlot(c.system, c.q, half, n);
                ASSERT_TRUE(s);
                ASSERT_GE(s->offset, 8);
                ASSERT_LE(s->offset + width, 80);
                ASSERT_EQ((s->offset - 8) % width, 0);
                ASSERT_EQ(s->sequence / (sequencesPerFrame(c.system) / 2), half);
                ASSERT_TRUE(seen.insert({s->sequence, s->block, s->offset}).second);
            }
        EXPECT_EQ(seen.size(), static_cast<std::size_t>(sequencesPerFrame(c.system) * 9 * 72 / width));
        EXPECT_FALSE(audioSlot(c.system, c.q, 0, c.slots));
        EXPECT_FALSE(audioSlot(c.system, c.q, 2, 0));
    }
    // The first samples of a PAL frame: sequences 0, 2, 4, then 1, ...
    const auto s1 = *audioSlot(System::Pal625_50, Quantization::Linear16, 0, 1);
    EXPECT_EQ(std::tuple(s1.sequence, s1.block, s1.offset), std::tuple(2, 3, 8));
    const auto s3 = *audioSlot(System::Pal625_50, Quantization::Linear16, 0, 3);
    EXPECT_EQ(std::tuple(s3.sequence, s3.block, s3.offset), std::tuple(1, 0, 8));
    const auto s54 = *audioSlot(System::Pal625_50, Quantization::Linear16, 0, 54);
    EXPECT_EQ(std::tuple(s54.sequence, s54.block, s54.offset), std::tuple(0, 0, 10));
    const auto n15 = *audioSlot(System::Ntsc525_60, Quantization::Nonlinear12, 1, 15);
    EXPECT_EQ(std::tuple(n15.sequence, n15.block, n15.offset), std::tuple(5, 1, 8));
}

TEST(DifAudio, WritesSamplesBigEndianAndMarksTheRestAsNoSample)
{
    std::vector<std::uint8_t> frame(kFrameSizePal, 0);
    std::vector<std::int16_t> pcm(2 * 1920);
    for (int i = 0; i < 1920; ++i) {
        pcm[2 * i] = static_cast<std::int16_t>(i);
        pcm[2 * i + 1] = static_cast<std::int16_t>(-i - 1);
    }
    pcm[2 * 5] = INT16_MIN;
    ASSERT_TRUE(writeAudioSamples(frame.data(), frame.size(), System::Pal625_50, Quantization::Linear16, pcm.data(), 1920));
    auto at = [&](int half, int n) {
        const auto s = *audioSlot(System::Pal625_50, Quantization::Linear16, half, n);
        const auto* p = frame.data() + blockOffset(System::Pal625_50, s.sequence, Section::Audio, s.block) + s.offset;
        return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
    };
    EXPECT_EQ(at(0, 300), 300);
    EXPECT_EQ(at(1, 300), static_cast<std::uint16_t>(-301));
    EXPECT_EQ(at(0, 5), 0x8001); // -32768 would read as no sample
    EXPECT_EQ(at(0, 1920), kNoSample16);
    EXPECT_EQ(at(1, 1943), kNoSample16);
    // Sample areas only: the block IDs and packs are untouched.
    EXPECT_EQ(frame[static_cast<std::size_t>(blockOffset(System::Pal625_50, 0, Section::Audio, 0))], 0);

    std::vector<std::uint8_t> ntsc(kFrameSizeNtsc, 0);
    std::vector<std::int16_t> first(2 * 1080, 1000), second(2 * 1080, -1000);
    ASSERT_TRUE(writeAudioSamples(ntsc.data(), ntsc.size(), System::Ntsc525_60, Quantization::Nonlinear12, first.data(),
                                  1067, second.data()));
    const auto s = *audioSlot(System::Ntsc525_60, Quantization::Nonlinear12, 1, 10);
    const auto* p = ntsc.data() + blockOffset(System::Ntsc525_60, s.sequence, Section::Audio, s.block) + s.offset;
    const std::uint16_t left = static_cast<std::uint16_t>(p[0] << 4 | p[2] >> 4);
    const std::uint16_t right = static_cast<std::uint16_t>(p[1] << 4 | (p[2] & 0x0F));
    EXPECT_EQ(left, encode12(-1000));
    EXPECT_EQ(right, encode12(-1000));
    const auto last = *audioSlot(System::Ntsc525_60, Quantization::Nonlinear12, 0, 1067);
    const auto* q = ntsc.data() + blockOffset(System::Ntsc525_60, last.sequence, Section::Audio, last.block) + last.offset;
    EXPECT_EQ(q[0], 0x80);
    EXPECT_EQ(q[1], 0x80);
    EXPECT_EQ(q[2], 0x00);
}

TEST(DifAudio, RefusesShortFramesAndTooManySamples)
{
    std::vector<std::uint8_t> frame(kFrameSizePal, 0x55);
    std::vector<std::int16_t> pcm(2 * 2000, 1);
    EXPECT_FALSE(writeAudioSamples(frame.data(), kFrameSizePal - 1, System::Pal625_50, Quantization::Linear16, pcm.data(), 1920));
    EXPECT_FALSE(writeAudioSamples(frame.data(), frame.size(), System::Pal625_50, Quantization::Linear16, pcm.data(), 1945));
    EXPECT_FALSE(writeAudioSamples(frame.data(), frame.size(), System::Pal625_50, Quantization::Nonlinear12, pcm.data(), 1297));
    EXPECT_FALSE(writeAudioSamples(frame.data(), frame.size(), System::None, Quantization::Linear16, pcm.data(), 10));
    EXPECT_FALSE(writeAudioSamples(frame.data(), frame.size(), System::Pal625_50, Quantization::Linear16, nullptr, 10));
    for (auto b : frame)
        ASSERT_EQ(b, 0x55);
}

// --- Frames ------------------------------------------------------------------------------

class DifFrameTest : public ::testing::TestWithParam<std::tuple<System, int, Quantization>> {};

TEST_P(DifFrameTest, WrittenFrameReadsBackEverywhereItIsLookedFor)
{
    const auto [system, hz, q] = GetParam();
    const FrameInfo info = sampleInfo(system, hz, q);
    const std::size_t size = frameSize(system);
    std::vector<std::uint8_t> frame(size);
    // A pattern in the video blocks, to see that they are left alone.
    for (std::size_t i = 0; i < size; ++i)
        frame[i] = static_cast<std::uint8_t>(i * 7 + 3);
    const std::vector<std::uint8_t> before = frame;
    ASSERT_TRUE(writeFrameInfo(frame.data(), frame.size(), info));

    const int sequences = sequencesPerFrame(system);
    for (int seq = 0; seq < sequences; ++seq)
        for (int v = 0; v < kVideoBlocks; ++v) {
            const auto off = static_cast<std::size_t>(blockOffset(system, seq, Section::Video, v));
            ASSERT_TRUE(std::equal(&frame[off], &frame[off + kBlockSize], &before[off]));
        }
    // Every other block has its own ID.
    const Section sections[] = {Section::Header, Section::Subcode, Section::Vaux, Section::Audio};
    for (int seq = 0; seq < sequences; ++seq)
        for (Section s : sections)
            for (int b = 0; b < blocksOfSection(s); ++b) {
                const auto id = readBlockId(&frame[static_cast<std::size_t>(blockOffset(system, seq, s, b))]);
                ASSERT_TRUE(id);
                EXPECT_EQ(id->section, s);
                EXPECT_EQ(id->sequence, seq);
                EXPECT_EQ(id->block, b);
            }

    EXPECT_EQ(frame[3], system == System::Pal625_50 ? 0xBF : 0x3F);
    EXPECT_EQ(frame[4] & 7, 0); // consumer DV
    EXPECT_EQ(readSystem(frame.data(), frame.size()), system);
    EXPECT_EQ(readTimecode(frame.data(), frame.size()), info.timecode);
    EXPECT_EQ(readRecordingDateTime(frame.data(), frame.size()), info.recorded);
    const auto audio = readAudioFormat(frame.data(), frame.size());
    ASSERT_TRUE(audio);
    EXPECT_EQ(audio->frequencyHz, hz);
    EXPECT_EQ(audio->quantization, q);
    EXPECT_EQ(audio->samples, info.audio.samples);
    EXPECT_FALSE(audio->locked);
    EXPECT_EQ(audio->channels, q == Quantization::Nonlinear12 ? 4 : 2);

    // Bytes 458-467 as the capture engine reads them.
    EXPECT_EQ(frame[458], 0x62);
    EXPECT_EQ(frame[463], 0x63);
    const EngineDateTime e = engineDecode(frame.data());
    EXPECT_EQ(e.day, 15);
    EXPECT_EQ(e.month, 6);
    EXPECT_EQ(e.year, 2003);
    EXPECT_EQ(e.hour, 14);
    EXPECT_EQ(e.min, 22);
    EXPECT_EQ(e.sec, 5);

    // Where other readers look: the time code in the first sync block of the
    // first subcode block; the AAUX source pack in audio block 3 of even
    // sequences and block 0 of odd ones; the VAUX source and control packs
    // in the main area of the first sequence.
    EXPECT_EQ(frame[86], 0x13);
    EXPECT_EQ(frame[87] & 0x3F, 0x12);
    EXPECT_EQ(frame[80 * 6 + 80 * 16 * 3 + 3], 0x50);
    EXPECT_EQ(frame[12000 + 80 * 6 + 3], 0x50);
    EXPECT_EQ(frame[80 * 6 + 80 * 16 * 4 + 3], 0x51);
    EXPECT_EQ(frame[448], 0x60);
    EXPECT_EQ(frame[451], system == System::Pal625_50 ? 0xE0 : 0xC0);
    EXPECT_EQ(frame[453], 0x61);
    EXPECT_EQ(frame[12000 + 3 * 80 + 3], 0x60);
    EXPECT_EQ(frame[12000 + 3 * 80 + 3 + 10], 0x62);
    // AAUX date and time follow the source control pack.
    EXPECT_EQ(frame[80 * 6 + 80 * 16 * 5 + 3], 0x52);
    EXPECT_EQ(frame[80 * 6 + 80 * 16 * 6 + 3], 0x53);
}

std::string caseName(const ::testing::TestParamInfo<DifFrameTest::ParamType>& info)
{
    return std::string(std::get<0>(info.param) == System::Pal625_50 ? "Pal" : "Ntsc")
         + (std::get<2>(info.param) == Quantization::Linear16 ? "48k16" : "32k12");
}

INSTANTIATE_TEST_SUITE_P(Systems, DifFrameTest,
                         ::testing::Values(std::tuple(System::Pal625_50, 48000, Quantization::Linear16),
                                           std::tuple(System::Pal625_50, 32000, Quantization::Nonlinear12),
                                           std::tuple(System::Ntsc525_60, 48000, Quantization::Linear16),
                                           std::tuple(System::Ntsc525_60, 32000, Quantization::Nonlinear12)),
                         caseName);

TEST(DifFrame, DateAndTimeFallBackFromVauxToSubcodeToAaux)
{
    const FrameInfo info = sampleInfo(System::Pal625_50, 48000, Quantization::Linear16);
    std::vector<std::uint8_t> frame(kFrameSizePal, 0xFF);
    ASSERT_TRUE(writeFrameInfo(frame.data(), frame.size(), info));
    // The VAUX packs gone: the subcode still has them.
    for (int seq = 0; seq < 12; ++seq)
        for (int b = 0; b < 3; ++b) {
            auto* block = &frame[static_cast<std::size_t>(blockOffset(System::Pal625_50, seq, Section::Vaux, b))];
            for (int k = 0; k < 15; ++k)
                if (block[3 + 5 * k] == 0x62 || block[3 + 5 * k] == 0x63)
                    block[3 + 5 * k] = 0xFF;
        }
    EXPECT_EQ(readRecordingDateTime(frame.data(), frame.size()), info.recorded);
    for (int seq = 0; seq < 12; ++seq)
        for (int b = 0; b < 2; ++b) {
            auto* block = &frame[static_cast<std::size_t>(blockOffset(System::Pal625_50, seq, Section::Subcode, b))];
            for (int s = 0; s < 6; ++s)
                if (block[6 + 8 * s] == 0x62 || block[6 + 8 * s] == 0x63)
                    block[6 + 8 * s] = 0xFF;
        }
    EXPECT_EQ(readRecordingDateTime(frame.data(), frame.size()), info.recorded);
    for (int seq = 0; seq < 12; ++seq)
        for (int b = 0; b < 9; ++b) {
            auto* pack = &frame[static_cast<std::size_t>(blockOffset(System::Pal625_50, seq, Section::Audio, b)) + 3];
            if (pack[0] == 0x52)
                pack[0] = 0xFF;
        }
    EXPECT_FALSE(readRecordingDateTime(frame.data(), frame.size()));
}

TEST(DifFrame, FrameWithoutDateWritesBlankPacks)
{
    FrameInfo info = sampleInfo(System::Pal625_50, 48000, Quantization::Linear16);
    info.recorded.reset();
    std::vector<std::uint8_t> frame(kFrameSizePal);
    ASSERT_TRUE(writeFrameInfo(frame.data(), frame.size(), info));
    for (int i = 458; i < 468; ++i)
        EXPECT_EQ(frame[static_cast<std::size_t>(i)], 0xFF);
    EXPECT_FALSE(readRecordingDateTime(frame.data(), frame.size()));
    EXPECT_TRUE(readTimecode(frame.data(), frame.size()));
}

TEST(DifFrame, RecordingStartAndSecondPairAreMarked)
{
    FrameInfo info = sampleInfo(System::Pal625_50, 32000, Quantization::Nonlinear12);
    info.recordingStart = true;
    std::vector<std::uint8_t> frame(kFrameSizePal);
    ASSERT_TRUE(writeFrameInfo(frame.data(), frame.size(), info));
    EXPECT_TRUE(parseVauxSourceControlPack(&frame[453])->recordingStart);
    EXPECT_TRUE(parseAauxSourceControlPack(&frame[80 * 6 + 80 * 16 * 4 + 3])->recordingStart);
    // The unrecorded second pair says so in the second half's source packs.
    const auto second = parseAauxSourcePack(&frame[6 * 12000 + 80 * 6 + 80 * 16 * 3 + 3]);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->audioMode, 0xF);
    EXPECT_EQ(parseAauxSourcePack(&frame[80 * 6 + 80 * 16 * 3 + 3])->audioMode, 0);
}

TEST(DifFrame, WriterRefusesShortFramesAndAudioThatDoesNotFit)
{
    FrameInfo info = sampleInfo(System::Pal625_50, 48000, Quantization::Linear16);
    std::vector<std::uint8_t> frame(kFrameSizePal, 0x11);
    EXPECT_FALSE(writeFrameInfo(frame.data(), kFrameSizePal - 1, info));
    info.audio.samples = 1700;
    EXPECT_FALSE(writeFrameInfo(frame.data(), frame.size(), info));
    info.system = System::None;
    EXPECT_FALSE(writeFrameInfo(frame.data(), frame.size(), info));
    for (auto b : frame)
        ASSERT_EQ(b, 0x11);
}

TEST(DifFrame, ReadersGiveNoValueForShortBlankOrForeignFrames)
{
    const FrameInfo info = sampleInfo(System::Pal625_50, 48000, Quantization::Linear16);
    std::vector<std::uint8_t> frame(kFrameSizePal);
    ASSERT_TRUE(writeFrameInfo(frame.data(), frame.size(), info));

    // One byte short of its own system, or no frame at all.
    for (std::size_t length : {std::size_t{0}, std::size_t{79}, std::size_t{12000}, kFrameSizeNtsc, kFrameSizePal - 1}) {
        EXPECT_EQ(readSystem(frame.data(), length), System::None) << length;
        EXPECT_FALSE(readTimecode(frame.data(), length));
        EXPECT_FALSE(readRecordingDateTime(frame.data(), length));
        EXPECT_FALSE(readAudioFormat(frame.data(), length));
    }
    EXPECT_EQ(readSystem(nullptr, kFrameSizePal), System::None);
    EXPECT_FALSE(readTimecode(nullptr, kFrameSizePal));

    // An NTSC frame is whole at 120000 bytes.
    FrameInfo ntsc = sampleInfo(System::Ntsc525_60, 48000, Quantization::Linear16);
    std::vector<std::uint8_t> n(kFrameSizeNtsc);
    ASSERT_TRUE(writeFrameInfo(n.data(), n.size(), ntsc));
    EXPECT_EQ(readSystem(n.data(), n.size()), System::Ntsc525_60);

    // A first block that is no header block.
    std::vector<std::uint8_t> moved = frame;
    moved[0] = 0x3F;
    EXPECT_EQ(readSystem(moved.data(), moved.size()), System::None);
    moved = frame;
    moved[1] = 0x17; // sequence 1
    EXPECT_EQ(readSystem(moved.data(), moved.size()), System::None);

    std::vector<std::uint8_t> blank(kFrameSizePal, 0xFF);
    EXPECT_EQ(readSystem(blank.data(), blank.size()), System::None);
    std::vector<std::uint8_t> zeros(kFrameSizePal, 0);
    EXPECT_FALSE(readTimecode(zeros.data(), zeros.size()));
    EXPECT_FALSE(readRecordingDateTime(zeros.data(), zeros.size()));
    EXPECT_FALSE(readAudioFormat(zeros.data(), zeros.size()));

    // AAUX packs of the other system do not describe this frame's audio.
    std::vector<std::uint8_t> foreign = frame;
    for (int seq = 0; seq < 12; ++seq)
        for (int b = 0; b < 9; ++b) {
            auto* pack = &foreign[static_cast<std::size_t>(blockOffset(System::Pal625_50, seq, Section::Audio, b)) + 3];
            if (pack[0] == 0x50)
                pack[3] &= ~0x20;
        }
    EXPECT_FALSE(readAudioFormat(foreign.data(), foreign.size()));
}

TEST(DifFrame, GarbageNeverReadsOutOfBoundsOrOutOfRange)
{
    std::mt19937 rng(20030615);
    const FrameInfo info = sampleInfo(System::Pal625_50, 48000, Quantization::Linear16);
    std::vector<std::uint8_t> good(kFrameSizePal);
    ASSERT_TRUE(writeFrameInfo(good.data(), good.size(), info));
    for (int round = 0; round < 300; ++round) {
        // Exactly sized buffers, so that the sanitizers see any read past the end.
        std::vector<std::uint8_t> frame;
        if (round % 3 == 0) {
            frame.resize(rng() % (kFrameSizePal + 100));
            for (auto& b : frame)
                b = static_cast<std::uint8_t>(rng());
            if (frame.size() > 3) {
                frame[0] = 0x1F;
                frame[1] = 0x07;
                frame[2] = 0x00;
            }
        } else {
            frame = good;
            for (int k = 0; k < 2000; ++k)
                frame[rng() % frame.size()] = static_cast<std::uint8_t>(rng());
            frame.resize(rng() % 2 ? frame.size() : rng() % frame.size());
        }
        const std::uint8_t* data = frame.empty() ? nullptr : frame.data();
        readSystem(data, frame.size());
        if (const auto tc = readTimecode(data, frame.size())) {
            EXPECT_LT(tc->hours, 24);
            EXPECT_LT(tc->minutes, 60);
            EXPECT_LT(tc->seconds, 60);
            EXPECT_LT(tc->frames, 30);
        }
        if (const auto dt = readRecordingDateTime(data, frame.size())) {
            EXPECT_TRUE(isValidRecDateTime(*dt));
        }
        if (const auto a = readAudioFormat(data, frame.size())) {
            EXPECT_GE(a->samples, minSamplesPerFrame(System::Pal625_50, a->frequencyHz));
            EXPECT_LE(a->samples, maxSamplesPerFrame(System::Pal625_50, a->frequencyHz));
        }
    }
}
