// Events between threads and between processes.
#include "platform/win/Windows.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

using namespace std::chrono_literals;

std::string uniqueName(const char* tag)
{
    static std::atomic<int> n{0};
    return std::string("th-test-") + tag + "-" + std::to_string(getpid()) + "-" + std::to_string(n++);
}

// Runs the peer program; the caller waits for or kills it.
pid_t spawnPeer(const std::string& name, int manual, int initial, const std::string& action, const std::string& ms = "")
{
    std::vector<std::string> args{TH_EVENT_PEER, name, std::to_string(manual), std::to_string(initial), action};
    if (!ms.empty())
        args.push_back(ms);
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, TH_EVENT_PEER, nullptr, nullptr, argv.data(), environ) != 0)
        return -1;
    return pid;
}

int exitCodeOf(pid_t pid)
{
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

// Shared-memory segments whose name holds `tag`.
int segmentsNamed(const std::string& tag)
{
    int n = 0;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator("/dev/shm", ec))
        if (e.path().filename().string().find(tag) != std::string::npos)
            ++n;
    return n;
}

bool waitReady(const std::string& name)
{
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, (name + "-ready").c_str());
    const bool ok = WaitForSingleObject(ready, 20000) == WAIT_OBJECT_0;
    CloseHandle(ready);
    return ok;
}

struct Handle {
    HANDLE h;
    explicit Handle(HANDLE x) : h(x) {}
    ~Handle()
    {
        if (h)
            CloseHandle(h);
    }
    operator HANDLE() const { return h; }
};

} // namespace

TEST(Events, ManualResetReleasesEveryWaiterAndStaysSetUntilReset)
{
    Handle ev(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    ASSERT_NE(ev.h, nullptr);
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT);
    std::atomic<int> released{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 4; ++i)
        waiters.emplace_back([&] {
            if (WaitForSingleObject(ev, 20000) == WAIT_OBJECT_0)
                ++released;
        });
    std::this_thread::sleep_for(20ms);
    EXPECT_TRUE(SetEvent(ev));
    for (auto& t : waiters)
        t.join();
    EXPECT_EQ(released.load(), 4);
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_OBJECT_0) << "a wait must not reset a manual event";
    EXPECT_TRUE(ResetEvent(ev));
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT);
}

TEST(Events, ManualSetAndResetStillReleasesAPendingWaiter)
{
    Handle ev(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    std::atomic<DWORD> result{WAIT_FAILED};
    std::atomic<bool> returned{false};
    std::thread waiter([&] {
        result = WaitForSingleObject(ev, 10000);
        returned = true;
    });
    // A pulse before the waiter sleeps passes it by; one while it waits must
    // wake it, so pulse until it returns (or its own time-out ends the wait).
    while (!returned) {
        SetEvent(ev);
        ResetEvent(ev);
        std::this_thread::sleep_for(10ms);
    }
    waiter.join();
    EXPECT_EQ(result.load(), WAIT_OBJECT_0);
}

TEST(Events, AutoResetReleasesOneWaiterPerSet)
{
    Handle ev(CreateEventA(nullptr, FALSE, TRUE, nullptr));
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_OBJECT_0) << "initially signalled";
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT) << "the wait consumed the signal";

    std::atomic<int> released{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i)
        waiters.emplace_back([&] {
            while (!stop)
                if (WaitForSingleObject(ev, 50) == WAIT_OBJECT_0)
                    ++released;
        });
    for (int set = 1; set <= 3; ++set) {
        SetEvent(ev);
        const auto until = std::chrono::steady_clock::now() + 10s;
        while (released.load() < set && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(1ms);
        std::this_thread::sleep_for(30ms); // room for a wrong second release
        EXPECT_EQ(released.load(), set);
    }
    stop = true;
    for (auto& t : waiters)
        t.join();
}

TEST(Events, TimeOutsAndPingPongWithoutLostWakeUps)
{
    Handle ev(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitForSingleObject(ev, 60), WAIT_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 60ms);

    // Two auto-reset events bounced between threads: a lost wake-up hangs
    // one side until its (long) time-out.
    Handle ping(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    Handle pong(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    constexpr int kRounds = 5000;
    std::atomic<int> failures{0};
    std::thread other([&] {
        for (int i = 0; i < kRounds; ++i) {
            if (WaitForSingleObject(ping, 10000) != WAIT_OBJECT_0)
                ++failures;
            SetEvent(pong);
        }
    });
    for (int i = 0; i < kRounds; ++i) {
        SetEvent(ping);
        if (WaitForSingleObject(pong, 10000) != WAIT_OBJECT_0)
            ++failures;
    }
    other.join();
    EXPECT_EQ(failures.load(), 0);
}

TEST(Events, NamedEventIsSharedByEveryOpenerAndTheFirstOpenerDecides)
{
    const std::string name = uniqueName("shared");
    Handle a(CreateEventA(nullptr, TRUE, FALSE, name.c_str()));
    ASSERT_NE(a.h, nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
    Handle b(CreateEventA(nullptr, FALSE, TRUE, name.c_str())); // manual reset and state come from the first
    ASSERT_NE(b.h, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_NE(a.h, b.h);
    EXPECT_EQ(WaitForSingleObject(b, 0), WAIT_TIMEOUT);

    std::atomic<DWORD> result{WAIT_FAILED};
    std::thread waiter([&] { result = WaitForSingleObject(b, 10000); });
    SetEvent(a);
    waiter.join();
    EXPECT_EQ(result.load(), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(b, 0), WAIT_OBJECT_0) << "manual reset, as the first opener made it";
    ResetEvent(b);
    EXPECT_EQ(WaitForSingleObject(a, 0), WAIT_TIMEOUT);

    Handle other(CreateEventA(nullptr, TRUE, TRUE, uniqueName("other").c_str()));
    EXPECT_EQ(WaitForSingleObject(a, 0), WAIT_TIMEOUT) << "another name is another event";
}

TEST(Events, NameIsFreedWithItsLastHandle)
{
    const std::string name = uniqueName("freed");
    HANDLE first = CreateEventA(nullptr, TRUE, TRUE, name.c_str());
    HANDLE second = CreateEventA(nullptr, TRUE, TRUE, name.c_str());
    CloseHandle(first);
    EXPECT_EQ(WaitForSingleObject(second, 0), WAIT_OBJECT_0) << "still open through the second handle";
    CloseHandle(second);
    Handle again(CreateEventA(nullptr, TRUE, FALSE, name.c_str()));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
    EXPECT_EQ(WaitForSingleObject(again, 0), WAIT_TIMEOUT);
}

TEST(Events, NamesThatDifferOnlyLateOrInOddCharactersStayApart)
{
    const std::string base = uniqueName("long") + std::string(150, 'x');
    Handle a(CreateEventA(nullptr, TRUE, FALSE, (base + "a").c_str()));
    Handle b(CreateEventA(nullptr, TRUE, FALSE, (base + "b").c_str()));
    Handle slash(CreateEventA(nullptr, TRUE, FALSE, (base.substr(0, 30) + "\\x/y").c_str()));
    Handle dots(CreateEventA(nullptr, TRUE, FALSE, (base.substr(0, 30) + "\\x.y").c_str()));
    ASSERT_TRUE(a.h && b.h && slash.h && dots.h);
    SetEvent(a);
    SetEvent(slash);
    EXPECT_EQ(WaitForSingleObject(b, 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(dots, 0), WAIT_TIMEOUT);
    EXPECT_EQ(CreateEventA(nullptr, TRUE, FALSE, std::string(261, 'n').c_str()), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILENAME_EXCED_RANGE));
}

TEST(Events, ClosedAndUnknownHandlesAreRefused)
{
    HANDLE ev = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE other = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetEvent(other);
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT) << "unnamed events are private";
    EXPECT_TRUE(CloseHandle(ev));
    EXPECT_FALSE(CloseHandle(ev));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    SetLastError(0);
    EXPECT_FALSE(SetEvent(ev));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(ResetEvent(ev));
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_FAILED);
    EXPECT_EQ(WaitForSingleObject(nullptr, 0), WAIT_FAILED);
    EXPECT_EQ(WaitForSingleObject(GetCurrentProcess(), 0), WAIT_FAILED);
    HANDLE fresh = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_NE(fresh, ev) << "handles are not reused";
    CloseHandle(fresh);
    CloseHandle(other);
}

TEST(EventsAcrossProcesses, SetInOneProcessReleasesTheOther)
{
    const std::string name = uniqueName("xproc");
    Handle ev(CreateEventA(nullptr, TRUE, FALSE, name.c_str()));
    const pid_t waiter = spawnPeer(name, 1, 0, "wait", "20000");
    ASSERT_GT(waiter, 0);
    ASSERT_TRUE(waitReady(name));
    SetEvent(ev);
    EXPECT_EQ(exitCodeOf(waiter), 0);

    ResetEvent(ev);
    const pid_t setter = spawnPeer(name, 1, 0, "set");
    ASSERT_GT(setter, 0);
    EXPECT_EQ(WaitForSingleObject(ev, 20000), WAIT_OBJECT_0);
    EXPECT_EQ(exitCodeOf(setter), 0);

    ResetEvent(ev);
    const pid_t late = spawnPeer(name, 1, 0, "wait", "100");
    EXPECT_EQ(exitCodeOf(late), 1) << "the peer's wait times out";
    const pid_t probe = spawnPeer(name, 1, 0, "exists");
    EXPECT_EQ(exitCodeOf(probe), 0) << "the peer opened the existing event";

    // The peers ended without closing their handles; closing ours frees the names.
    CloseHandle(ev.h);
    ev.h = nullptr;
    EXPECT_EQ(segmentsNamed(name), 0);
}

TEST(EventsAcrossProcesses, AProcessKilledWhileWaitingOrHoldingLeavesTheEventUsable)
{
    const std::string name = uniqueName("killed");
    Handle ev(CreateEventA(nullptr, FALSE, FALSE, name.c_str()));
    const pid_t victim = spawnPeer(name, 0, 0, "wait");
    ASSERT_GT(victim, 0);
    ASSERT_TRUE(waitReady(name));
    std::this_thread::sleep_for(50ms); // let it reach the wait
    kill(victim, SIGKILL);
    waitpid(victim, nullptr, 0);

    const pid_t next = spawnPeer(name, 0, 0, "wait", "20000");
    ASSERT_TRUE(waitReady(name));
    std::this_thread::sleep_for(50ms);
    SetEvent(ev);
    EXPECT_EQ(exitCodeOf(next), 0);
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT) << "the peer took the auto-reset signal";

    // A name left open only by a dead process starts afresh for the next opener.
    const std::string lonely = uniqueName("lonely");
    const pid_t holder = spawnPeer(lonely, 1, 1, "hold");
    ASSERT_TRUE(waitReady(lonely));
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    {
        Handle fresh(CreateEventA(nullptr, TRUE, FALSE, lonely.c_str()));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
        EXPECT_EQ(WaitForSingleObject(fresh, 0), WAIT_TIMEOUT);
    }
    // What killed processes left is reclaimed by the next opener's close.
    CloseHandle(CreateEventA(nullptr, TRUE, FALSE, (lonely + "-ready").c_str()));
    CloseHandle(CreateEventA(nullptr, TRUE, FALSE, (name + "-ready").c_str()));
    CloseHandle(ev.h);
    ev.h = nullptr;
    EXPECT_EQ(segmentsNamed(lonely), 0);
    EXPECT_EQ(segmentsNamed(name), 0);
}
