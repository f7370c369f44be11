// Time codes, the byte and duration texts, the HRESULT check, the COM helpers
// and the shutdown (through a backend of the test's own).
#include "capture/TlmUtil.h"

#include "platform/win/Shutdown.h"
#include "support/FakeShutdown.h"
#include "support/TestUtil.h"

#include <QLocale>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace {

class EnglishLocale : public ::testing::Test {
protected:
    void SetUp() override { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }
    void TearDown() override { QLocale::setDefault(QLocale::system()); }
};

} // namespace

TEST(Timecode, LayoutIsHoursInTheLowestByteFramesInTheHighest)
{
    const TTimecode tc = MakeTimecode(0x01, 0x23, 0x45, 0x12);
    EXPECT_EQ(tc.Value(), 0x12452301u);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(tc), 0x12452301u) << "the memory layout is the value";
    EXPECT_EQ(TTimecode::FromValue(0x12452301u), tc);
    EXPECT_EQ(TTimecode{}.Value(), 0u);
}

TEST(Timecode, FramesAndDifferences)
{
    EXPECT_EQ(TimecodeToFrames(MakeTimecode(0, 0, 0, 0), 25), 0);
    EXPECT_EQ(TimecodeToFrames(MakeTimecode(1, 0, 0, 0), 25), 90000);
    EXPECT_EQ(TimecodeToFrames(MakeTimecode(0, 0, 1, 5), 30), 35);
    EXPECT_EQ(TimecodeToFrames(MakeTimecode(255, 255, 255, 255), 255), 238056780) << "no overflow at the largest code";
    EXPECT_EQ(TimecodeToFrames(MakeTimecode(0, 0, 0, 99), 25), 99) << "ranges are not checked";

    const TTimecode early = MakeTimecode(0, 59, 59, 24), late = MakeTimecode(1, 0, 0, 0);
    EXPECT_EQ(TimecodeDiff(late, early, 25), 1);
    EXPECT_EQ(TimecodeDiff(early, late, 25), -1);
    EXPECT_EQ(TimecodeDiff(late, late, 30), 0);
    EXPECT_EQ(TimecodeDiff(MakeTimecode(0, 0, 0, 0), MakeTimecode(255, 255, 255, 255), 255), -238056780);
}

TEST_F(EnglishLocale, FormatBytesPicksTheUnitBySignedSize)
{
    EXPECT_EQ(FormatBytes("", true, 0), "0 bytes");
    EXPECT_EQ(FormatBytes("Free: ", true, 0), "Free: 0 bytes");
    EXPECT_EQ(FormatBytes("Free: ", false, 0), "");
    EXPECT_EQ(FormatBytes("", false, 512), "512.00 bytes");
    EXPECT_EQ(FormatBytes("", false, 1023), "1,023.00 bytes");
    EXPECT_EQ(FormatBytes("", false, 1024), "1.00 KB");
    EXPECT_EQ(FormatBytes("Free: ", false, 1536), "Free: 1.50 KB");
    EXPECT_EQ(FormatBytes("", false, 1048575), "1,024.00 KB") << "just below a MB rounds up but stays in KB";
    EXPECT_EQ(FormatBytes("", false, 1048576), "1.00 MB");
    EXPECT_EQ(FormatBytes("", false, 3866695), "3.69 MB");
    EXPECT_EQ(FormatBytes("", false, 1073741823), "1,024.00 MB");
    EXPECT_EQ(FormatBytes("", false, 1073741824), "1.00 GB");
    EXPECT_EQ(FormatBytes("", false, 1099511627775), "1,024.00 GB");
    EXPECT_EQ(FormatBytes("", false, 1099511627776), "1.00 TB");
    EXPECT_EQ(FormatBytes("", false, 1125899906842624), "1,024.00 TB");
    EXPECT_EQ(FormatBytes("", false, -5), "-5.00 bytes");
    EXPECT_EQ(FormatBytes("", false, -5000000), "-5,000,000.00 bytes");
}

TEST(FormatBytesLocale, UsesTheSeparatorsOfTheLocale)
{
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    EXPECT_EQ(FormatBytes("", false, 1536), "1,50 KB");
    EXPECT_EQ(FormatBytes("", false, 1023), "1.023,00 bytes");
    QLocale::setDefault(QLocale::system());
}

TEST(FormatDuration, PiecesByDetailWithoutRounding)
{
    struct Case {
        int detail;
        std::int64_t seconds;
        const char* text;
    } cases[] = {
        {0, 59, "59 sec."},       {2, 59, "59 sec."},         {0, 0, "0 sec."},
        {1, -75, "-75 sec."},     {0, 60, "1 min."},          {0, 61, "1 min. 1 sec."},
        {1, 61, "1 min."},        {1, 125, "2 min."},         {2, 125, "2 min."},
        {0, 3599, "59 min. 59 sec."}, {0, 3600, "1 h."},      {0, 3725, "1 h. 2 min. 5 sec."},
        {1, 3725, "1 h. 2 min."}, {2, 3725, "1 h."},          {0, 3605, "1 h. 5 sec."},
        {2, 7199, "1 h."},        {1, 7199, "1 h. 59 min."},  {0, 360000, "100 h."},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FormatDuration(static_cast<BYTE>(c.detail), c.seconds), QString(c.text))
            << "detail " << c.detail << ", " << c.seconds << " s";
}

TEST(CheckHResult, FailuresRaiseTheExternalExceptionSuccessesPass)
{
    EXPECT_NO_THROW(CheckHResult(S_OK));
    EXPECT_NO_THROW(CheckHResult(S_FALSE));
    EXPECT_NO_THROW(CheckHResult(206)) << "a positive result is a success";
    try {
        CheckHResult(E_FAIL);
        FAIL() << "no exception";
    } catch (const EExternalException& e) {
        EXPECT_EQ(e.Message(), "External exception 80004005");
        EXPECT_EQ(e.ExceptionCode(), E_FAIL);
    }
    try {
        CheckHResult(REGDB_E_CLASSNOTREG);
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "External exception 80040154");
    }
    EXPECT_THROW(CheckHResult(static_cast<HRESULT>(0x8000000Au)), EExternalException);
    EXPECT_THROW(throw ETlmTHInfo("Capture finished."), Exception);
}

TEST(ComHelpers, SameGUIDNeedsAllSixteenBytes)
{
    const GUID a = MakeGuid("65E8773D-8F56-11D0-A3B9-00A0C9223196");
    EXPECT_TRUE(SameGUID(a, a));
    for (int byte = 0; byte < 16; ++byte) {
        GUID b = a;
        reinterpret_cast<unsigned char*>(&b)[byte] ^= 0x01;
        EXPECT_FALSE(SameGUID(a, b)) << "byte " << byte;
        EXPECT_FALSE(SameGUID(b, a)) << "byte " << byte;
    }
}

namespace {
struct CountedUnknown final : IUnknown {
    std::atomic<ULONG> refs{1};
    HRESULT QueryInterface(REFIID, void** ppv) override
    {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++refs; }
    ULONG Release() override { return --refs; }
};
} // namespace

TEST(ComHelpers, FreeMediaTypeReleasesWhatTheRecordOwns)
{
    constexpr GUID major = MakeGuid("73646976-0000-0010-8000-00AA00389B71");
    CountedUnknown unk;
    unk.AddRef(); // the record's reference
    AM_MEDIA_TYPE mt{};
    mt.majortype = major;
    mt.lSampleSize = 144000;
    mt.cbFormat = 88;
    mt.pbFormat = static_cast<BYTE*>(CoTaskMemAlloc(88));
    mt.pUnk = &unk;
    FreeMediaType(mt);
    EXPECT_EQ(mt.cbFormat, 0u);
    EXPECT_EQ(mt.pbFormat, nullptr);
    EXPECT_EQ(mt.pUnk, nullptr);
    EXPECT_EQ(unk.refs.load(), 1u);
    EXPECT_EQ(mt.majortype, major);
    EXPECT_EQ(mt.lSampleSize, 144000u);
    FreeMediaType(mt); // nothing left to free
    EXPECT_EQ(unk.refs.load(), 1u);

    BYTE notOwned[4] = {};
    AM_MEDIA_TYPE empty{};
    empty.pbFormat = notOwned; // with a zero size the pointer is not the record's
    FreeMediaType(empty);
    EXPECT_EQ(empty.pbFormat, notOwned);
}

namespace {

using Calls = th::test::ShutdownCalls;
using FakeBackend = th::test::FakeShutdownBackend;

class Shutdown : public ::testing::Test {
protected:
    void TearDown() override
    {
        EnablePrivilege(SE_SHUTDOWN_NAME, false);
        th::win::SetShutdownBackend(std::make_unique<th::test::RefusingShutdownBackend>());
    }
};

} // namespace

TEST_F(Shutdown, WithThePrivilegeTheMachineIsAskedOnceAndThePrivilegeDroppedAgain)
{
    Calls calls;
    th::win::SetShutdownBackend(std::make_unique<FakeBackend>(true, calls));
    EXPECT_TRUE(ShutdownWindows(EWX_SHUTDOWN));
    EXPECT_EQ(calls.off.load(), 1);
    EXPECT_FALSE(ExitWindowsEx(EWX_SHUTDOWN, 0)) << "the privilege is disabled afterwards";
    EXPECT_EQ(calls.off.load(), 1);
}

TEST_F(Shutdown, WithoutThePrivilegeNothingHappensAndTheResultIsStillTrue)
{
    Calls calls;
    th::win::SetShutdownBackend(std::make_unique<FakeBackend>(false, calls));
    EXPECT_FALSE(EnablePrivilege("SeShutdownPrivilege", true));
    EXPECT_TRUE(ShutdownWindows(EWX_SHUTDOWN));
    EXPECT_GE(calls.can.load(), 1);
    EXPECT_EQ(calls.off.load(), 0);
    EXPECT_FALSE(EnablePrivilege("SeNoSuchPrivilege", true));
    EXPECT_TRUE(EnablePrivilege("SeShutdownPrivilege", false)) << "disabling needs no permission";
}

TEST_F(Shutdown, TheConfiguredCommandRunsInsteadOfPowerOff)
{
    th::test::TempDir dir;
    const std::string marker = dir.file("shut-down");
    const std::string command = "echo done > '" + marker + "'";
    const char* before = std::getenv("THARVEST_SHUTDOWN_COMMAND");
    const std::string saved = before ? before : "";
    ASSERT_EQ(setenv("THARVEST_SHUTDOWN_COMMAND", command.c_str(), 1), 0);
    ASSERT_STREQ(std::getenv("THARVEST_SHUTDOWN_COMMAND"), command.c_str());
    th::win::SetShutdownBackend(th::win::MakeDefaultShutdownBackend());

    EXPECT_TRUE(ShutdownWindows(EWX_SHUTDOWN));
    EXPECT_TRUE(th::test::waitUntil([&] { return std::filesystem::exists(marker); }));

    th::win::SetShutdownBackend(std::make_unique<th::test::RefusingShutdownBackend>());
    if (before)
        setenv("THARVEST_SHUTDOWN_COMMAND", saved.c_str(), 1);
    else
        unsetenv("THARVEST_SHUTDOWN_COMMAND");
}
