// The deck's state machine driven tick by tick, and the absolute track number
// arithmetic inverted for every time code of the first minutes of a tape.
#include "DvDeviceSupport.h"

#include "platform/dshow/ExtInterfaces.h"
#include "platform/dv/TapeTransport.h"

#include <gtest/gtest.h>

#include <set>

using namespace th;
using th::dv::ModeResult;
using th::dv::TapeTransport;

namespace {

// 100 recorded frames, 20 blank, 120 in all.
TapeTransport deck()
{
    return TapeTransport(100, 120, 0);
}

struct Motion {
    LONG mode;
    std::int64_t from;
    std::int64_t ticks;
    std::int64_t head;     // after `ticks` ticks
    bool frames;
};

} // namespace

TEST(TapeTransport, EveryModeMovesTheTapeAsADeckDoes)
{
    const Motion motions[] = {
        {ED_MODE_PLAY, 10, 7, 17, true},
        {ED_MODE_REV_PLAY, 50, 7, 43, true},
        {ED_MODE_PLAY_FASTEST_FWD, 10, 3, 40, true},
        {ED_MODE_PLAY_FASTEST_REV, 50, 3, 20, true},
        {ED_MODE_PLAY_SLOWEST_FWD, 10, 4, 10, true},
        {ED_MODE_PLAY_SLOWEST_FWD, 10, 5, 11, true},
        {ED_MODE_PLAY_SLOWEST_REV, 50, 4, 50, true},
        {ED_MODE_PLAY_SLOWEST_REV, 50, 10, 48, true},
        {ED_MODE_FF, 10, 2, 70, false},
        {ED_MODE_WIND, 10, 2, 70, false},
        {ED_MODE_REW, 90, 2, 30, false},
        {ED_MODE_REW_FASTEST, 90, 1, 30, false},
        {ED_MODE_FREEZE, 33, 9, 33, true},
        {ED_MODE_STOP, 33, 9, 33, false},
    };
    for (const Motion& m : motions) {
        SCOPED_TRACE(m.mode);
        TapeTransport t = deck();
        t.locate(m.from, 5);
        ASSERT_EQ(t.setMode(m.mode, 5), ModeResult::Done);
        // The frame the command found is at the head at the command's tick.
        EXPECT_EQ(t.head(), m.from);
        t.advanceTo(5 + m.ticks);
        EXPECT_EQ(t.head(), m.head);
        EXPECT_EQ(t.mode(), m.mode);
        EXPECT_EQ(t.framesMode(), m.frames);
    }
}

TEST(TapeTransport, PlayShowsEveryFrameOnceFromTheCommandedOne)
{
    TapeTransport t = deck();
    t.locate(40, 0);
    t.setMode(ED_MODE_PLAY, 3);
    std::vector<std::int64_t> heads;
    for (std::int64_t tick = 3; tick < 8; ++tick) {
        t.advanceTo(tick);
        heads.push_back(t.head());
    }
    EXPECT_EQ(heads, (std::vector<std::int64_t>{40, 41, 42, 43, 44}));
    // Ticks that went by unasked move the tape all the same; earlier ones do nothing.
    t.advanceTo(20);
    EXPECT_EQ(t.head(), 57);
    t.advanceTo(10);
    EXPECT_EQ(t.head(), 57);
    // Play again while playing: no jump.
    t.setMode(ED_MODE_PLAY, 20);
    t.advanceTo(21);
    EXPECT_EQ(t.head(), 58);
}

TEST(TapeTransport, StepsMoveOneFrameAndLeaveTheDeckFrozen)
{
    TapeTransport t = deck();
    t.locate(30, 0);
    t.setMode(ED_MODE_FREEZE, 0);
    ASSERT_EQ(t.setMode(ED_MODE_STEP_FWD, 1), ModeResult::Done);
    EXPECT_EQ(t.head(), 31);
    EXPECT_EQ(t.mode(), ED_MODE_FREEZE);
    t.advanceTo(10);
    EXPECT_EQ(t.head(), 31);
    t.setMode(ED_MODE_STEP_REV, 11);
    t.setMode(ED_MODE_STEP_REV, 12);
    EXPECT_EQ(t.head(), 29);
    // Forward and back again is where it was: the nudge of a time-code read.
    t.setMode(ED_MODE_STEP_FWD, 13);
    t.setMode(ED_MODE_STEP_REV, 13);
    EXPECT_EQ(t.head(), 29);
    // From play, a step freezes the picture one frame on.
    t.setMode(ED_MODE_PLAY, 20);
    t.advanceTo(25);
    t.setMode(ED_MODE_STEP_FWD, 25);
    EXPECT_EQ(t.head(), 35);
    EXPECT_EQ(t.mode(), ED_MODE_FREEZE);
    // THAW resumes play from a freeze only.
    t.setMode(ED_MODE_THAW, 26);
    EXPECT_EQ(t.mode(), ED_MODE_PLAY);
    t.advanceTo(27);
    EXPECT_EQ(t.head(), 36);
    t.setMode(ED_MODE_STOP, 27);
    t.setMode(ED_MODE_THAW, 28);
    EXPECT_EQ(t.mode(), ED_MODE_STOP);
}

TEST(TapeTransport, StopsByItselfAtTheStartAndTheEnd)
{
    {
        TapeTransport t = deck();
        t.locate(50, 0);
        t.setMode(ED_MODE_REW, 0);
        t.advanceTo(1);
        EXPECT_EQ(t.head(), 20);
        t.advanceTo(2);
        EXPECT_EQ(t.head(), 0);
        EXPECT_EQ(t.mode(), ED_MODE_STOP);
        t.advanceTo(50);
        EXPECT_EQ(t.head(), 0);
        // Rewinding a tape at its start stops at once.
        t.setMode(ED_MODE_REW, 50);
        t.advanceTo(51);
        EXPECT_EQ(t.mode(), ED_MODE_STOP);
        // Stepping back at the start stays there.
        t.setMode(ED_MODE_STEP_REV, 52);
        EXPECT_EQ(t.head(), 0);
    }
    {
        // Play runs off the recording onto blank tape, then stops at the end.
        TapeTransport t = deck();
        t.locate(98, 0);
        t.setMode(ED_MODE_PLAY, 0);
        t.advanceTo(1);
        EXPECT_TRUE(t.delivers());
        t.advanceTo(2);
        EXPECT_EQ(t.head(), 100);
        EXPECT_FALSE(t.onRecording());
        EXPECT_FALSE(t.delivers());
        EXPECT_EQ(t.mode(), ED_MODE_PLAY);
        t.advanceTo(21);
        EXPECT_EQ(t.head(), 119);
        EXPECT_EQ(t.mode(), ED_MODE_PLAY);
        t.advanceTo(22);
        EXPECT_EQ(t.head(), 119);
        EXPECT_EQ(t.mode(), ED_MODE_STOP);
        t.setMode(ED_MODE_STEP_FWD, 23);
        EXPECT_EQ(t.head(), 119);
    }
    for (LONG mode : {ED_MODE_FF, ED_MODE_PLAY_FASTEST_FWD}) {
        TapeTransport t = deck();
        t.setMode(mode, 0);
        t.advanceTo(1000);
        EXPECT_EQ(t.head(), 119);
        EXPECT_EQ(t.mode(), ED_MODE_STOP);
    }
    for (LONG mode : {ED_MODE_REV_PLAY, ED_MODE_PLAY_FASTEST_REV, ED_MODE_PLAY_SLOWEST_REV, ED_MODE_REW_FASTEST}) {
        TapeTransport t = deck();
        t.locate(7, 0);
        t.setMode(mode, 0);
        t.advanceTo(1000);
        EXPECT_EQ(t.head(), 0);
        EXPECT_EQ(t.mode(), ED_MODE_STOP);
    }
}

TEST(TapeTransport, RecordModesAreRefusedAndUnknownValuesToo)
{
    TapeTransport t = deck();
    t.locate(10, 0);
    t.setMode(ED_MODE_PLAY, 0);
    for (LONG mode : {ED_MODE_RECORD, ED_MODE_RECORD_FREEZE, ED_MODE_RECORD_STROBE})
        EXPECT_EQ(t.setMode(mode, 2), ModeResult::WriteProtected);
    EXPECT_EQ(t.setMode(0, 2), ModeResult::Unknown);
    EXPECT_EQ(t.setMode(4303 + 1000, 2), ModeResult::Unknown);
    // The refused command left the tape playing.
    EXPECT_EQ(t.mode(), ED_MODE_PLAY);
    t.advanceTo(4);
    EXPECT_EQ(t.head(), 14);
}

TEST(TapeTransport, ATapeWithoutBlankEndsAtItsLastFrame)
{
    TapeTransport t(5, 5, 0);
    t.setMode(ED_MODE_PLAY, 0);
    t.advanceTo(4);
    EXPECT_TRUE(t.delivers());
    EXPECT_EQ(t.head(), 4);
    t.advanceTo(5);
    EXPECT_EQ(t.mode(), ED_MODE_STOP);
    EXPECT_EQ(t.head(), 4);
    t.locate(1000, 6);
    EXPECT_EQ(t.head(), 4);
}

// --- Absolute track numbers ----------------------------------------------------------------

TEST(AbsoluteTrack, TheNumbersOfKnownTimecodesLandOnThem)
{
    const auto pal = dif::System::Pal625_50;
    const auto ntsc = dif::System::Ntsc525_60;
    // 00:00:01:00 is sent as 624 (PAL) and 620 (NTSC).
    EXPECT_EQ(dvtest::trackNumberFor(pal, {0, 0, 1, 0}), 624u);
    EXPECT_EQ(dvtest::trackNumberFor(ntsc, {0, 0, 1, 0}), 620u);
    EXPECT_EQ(dv::frameOfTrackNumber(pal, 624), 25);
    EXPECT_EQ(dv::frameOfTrackNumber(ntsc, 620), 30);
    // 05:00:00:00 on PAL: 300 minutes.
    EXPECT_EQ(dvtest::trackNumberFor(pal, {5, 0, 0, 0}), 10800024u);
    EXPECT_EQ(dv::frameOfTrackNumber(pal, 10800024), 300LL * 60 * 25);
    // 00:05:00:00 on NTSC is 179840; drop-frame counting has no such frame,
    // so the deck lands on 00:05:00:02, the next one.
    EXPECT_EQ(dvtest::trackNumberFor(ntsc, {0, 5, 0, 0}), 179840u);
    const auto tc = dv::timecodeOfTrackNumber(ntsc, 179840);
    ASSERT_TRUE(tc);
    EXPECT_EQ(dif::timecodeBcd(*tc), 0x00050000u);
    const dif::Timecode landed{0, 5, 0, 2, true};
    EXPECT_EQ(dv::frameOfTrackNumber(ntsc, 179840), dif::frameCountFromTimecode(ntsc, landed));
    EXPECT_EQ(dv::frameOfTrackNumber(ntsc, dvtest::trackNumberFor(ntsc, {0, 5, 0, 1})),
              dif::frameCountFromTimecode(ntsc, landed));
}

TEST(AbsoluteTrack, EveryTimecodeOfTheFirstTwelveMinutesRoundTrips)
{
    for (const auto system : {dif::System::Pal625_50, dif::System::Ntsc525_60}) {
        SCOPED_TRACE(static_cast<int>(system));
        std::set<std::uint32_t> seen;
        const long long frames = 12LL * 60 * dif::timecodeFramesPerSecond(system);
        for (long long count = 0; count < frames; ++count) {
            const dif::Timecode tc = dif::timecodeFromFrameCount(system, count);
            const std::uint32_t track = dvtest::trackNumberFor(system, tc);
            ASSERT_TRUE(seen.insert(track).second) << count;
            const auto back = dv::timecodeOfTrackNumber(system, track);
            ASSERT_TRUE(back) << count;
            ASSERT_EQ(dif::timecodeBcd(*back), dif::timecodeBcd(tc)) << count;
            ASSERT_EQ(dv::frameOfTrackNumber(system, track), count) << count;
        }
    }
}

TEST(AbsoluteTrack, NumbersTheArithmeticCannotGiveStillLandOnTheTape)
{
    const auto pal = dif::System::Pal625_50;
    const auto ntsc = dif::System::Ntsc525_60;
    EXPECT_FALSE(dv::timecodeOfTrackNumber(pal, 625));
    EXPECT_FALSE(dv::timecodeOfTrackNumber(pal, 0));
    EXPECT_EQ(dv::frameOfTrackNumber(pal, 0), 0);
    EXPECT_EQ(dv::frameOfTrackNumber(pal, 647), 25);
    EXPECT_FALSE(dv::timecodeOfTrackNumber(ntsc, 621));
    const std::int64_t near = dv::frameOfTrackNumber(ntsc, 621);
    EXPECT_GE(near, 29);
    EXPECT_LE(near, 31);
    // The largest number the command carries is still a place on the tape.
    EXPECT_GT(dv::frameOfTrackNumber(ntsc, 0xFFFFFF), 0);
    EXPECT_GT(dv::frameOfTrackNumber(pal, 0xFFFFFF), 0);
}
