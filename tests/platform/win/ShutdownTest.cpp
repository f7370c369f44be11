// The token, the shutdown privilege and ExitWindowsEx, through a backend of
// the test's own; nothing here can reach the real power-off.
#include "platform/win/Shutdown.h"
#include "support/FakeShutdown.h"

#include <gtest/gtest.h>

#include <atomic>

namespace {

using Calls = th::test::ShutdownCalls;
using FakeBackend = th::test::FakeShutdownBackend;

class Shutdown : public ::testing::Test {
protected:
    void TearDown() override
    {
        disable();
        th::win::SetShutdownBackend(std::make_unique<th::test::RefusingShutdownBackend>());
    }
    static BOOL adjust(bool enable, TOKEN_PRIVILEGES* previous = nullptr, DWORD prevSize = 0, DWORD access = 0x28)
    {
        HANDLE token = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), access, &token))
            return FALSE;
        TOKEN_PRIVILEGES tp{};
        tp.PrivilegeCount = 1;
        LookupPrivilegeValueA(nullptr, SE_SHUTDOWN_NAME, &tp.Privileges[0].Luid);
        tp.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;
        DWORD len = 0;
        const BOOL ok = AdjustTokenPrivileges(token, FALSE, &tp, prevSize, previous, &len);
        const DWORD err = GetLastError();
        CloseHandle(token);
        SetLastError(err);
        return ok;
    }
    static void disable() { adjust(false); }
};

} // namespace

TEST_F(Shutdown, WithoutThePrivilegeNothingIsAskedToPowerOff)
{
    Calls calls;
    th::win::SetShutdownBackend(std::make_unique<FakeBackend>(false, calls));
    EXPECT_FALSE(adjust(true));
    EXPECT_EQ(GetLastError(), ERROR_PRIVILEGE_NOT_HELD);
    EXPECT_EQ(calls.can.load(), 1);
    EXPECT_FALSE(ExitWindowsEx(EWX_SHUTDOWN, 0));
    EXPECT_EQ(GetLastError(), ERROR_PRIVILEGE_NOT_HELD);
    EXPECT_EQ(calls.off.load(), 0);
}

TEST_F(Shutdown, WithThePrivilegeTheBackendPowersOffUntilItIsDisabledAgain)
{
    Calls calls;
    th::win::SetShutdownBackend(std::make_unique<FakeBackend>(true, calls));
    alignas(TOKEN_PRIVILEGES) unsigned char buf[16] = {};
    auto* previous = reinterpret_cast<TOKEN_PRIVILEGES*>(buf);
    ASSERT_TRUE(adjust(true, previous, sizeof buf));
    EXPECT_EQ(previous->PrivilegeCount, 1u);
    EXPECT_EQ(previous->Privileges[0].Attributes, 0u) << "it was disabled before";
    EXPECT_TRUE(ExitWindowsEx(EWX_SHUTDOWN | EWX_FORCE, 0));
    EXPECT_EQ(calls.off.load(), 1);
    EXPECT_FALSE(ExitWindowsEx(EWX_REBOOT, 0));
    EXPECT_FALSE(ExitWindowsEx(EWX_LOGOFF, 0));
    EXPECT_EQ(calls.off.load(), 1);

    ASSERT_TRUE(adjust(false, previous, sizeof buf));
    EXPECT_EQ(previous->Privileges[0].Attributes, SE_PRIVILEGE_ENABLED);
    EXPECT_FALSE(ExitWindowsEx(EWX_SHUTDOWN, 0));
    EXPECT_EQ(calls.off.load(), 1);
}

TEST_F(Shutdown, TokenAndLookupRefuseWhatTheyDoNotKnow)
{
    Calls calls;
    th::win::SetShutdownBackend(std::make_unique<FakeBackend>(true, calls));
    LUID luid{};
    EXPECT_TRUE(LookupPrivilegeValueA(nullptr, "seshutdownprivilege", &luid));
    EXPECT_TRUE(LookupPrivilegeValueA("", SE_SHUTDOWN_NAME, &luid));
    EXPECT_FALSE(LookupPrivilegeValueA(nullptr, "SeNoSuchPrivilege", &luid));
    EXPECT_EQ(GetLastError(), ERROR_NO_SUCH_PRIVILEGE);
    EXPECT_FALSE(LookupPrivilegeValueA("far-away-host", SE_SHUTDOWN_NAME, &luid));

    HANDLE token = reinterpret_cast<HANDLE>(0x1);
    EXPECT_FALSE(OpenProcessToken(reinterpret_cast<HANDLE>(0x4444), 0x28, &token));
    EXPECT_EQ(token, nullptr);
    EXPECT_FALSE(adjust(true, nullptr, 0, TOKEN_QUERY)) << "adjusting needs TOKEN_ADJUST_PRIVILEGES";
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));

    unsigned char small[4] = {};
    EXPECT_FALSE(adjust(true, reinterpret_cast<TOKEN_PRIVILEGES*>(small), sizeof small));
    EXPECT_FALSE(ExitWindowsEx(EWX_SHUTDOWN, 0)) << "a refused adjustment changes nothing";

    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), 0x28, &token));
    CloseHandle(token);
    TOKEN_PRIVILEGES tp{};
    EXPECT_FALSE(AdjustTokenPrivileges(token, FALSE, &tp, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_EQ(calls.off.load(), 0);
}
