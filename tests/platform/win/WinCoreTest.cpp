// Message targets, device notifications and priority of the Qt-free core.
#include "platform/win/Windows.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

constexpr GUID kCapture = MakeGuid("65E8773D-8F56-11D0-A3B9-00A0C9223196");
constexpr GUID kOtherClass = MakeGuid("6994AD05-93EF-11D0-A3CC-00A0C9223196");

// Keeps what is posted, with a copy of each block taken at post time.
class RecordingSink final : public th::win::MessageSink {
public:
    struct Entry {
        TMessage msg;
        std::shared_ptr<std::vector<std::byte>> block;
    };
    void post(const TMessage& msg, std::shared_ptr<std::vector<std::byte>> block) override
    {
        if (gone)
            ++postsAfterGone;
        std::lock_guard lock(m);
        entries.push_back({msg, std::move(block)});
    }
    std::vector<Entry> take()
    {
        std::lock_guard lock(m);
        return std::move(entries);
    }
    std::mutex m;
    std::vector<Entry> entries;
    std::atomic<bool> gone{false};
    std::atomic<int> postsAfterGone{0};
};

DEV_BROADCAST_DEVICEINTERFACE filterFor(const GUID& cls)
{
    DEV_BROADCAST_DEVICEINTERFACE f{};
    f.dbcc_size = sizeof f;
    f.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    f.dbcc_classguid = cls;
    return f;
}

} // namespace

TEST(MessageSinks, PostsReachTheSinkUntilItIsUnregistered)
{
    RecordingSink sink;
    HWND wnd = th::win::RegisterMessageSink(&sink);
    ASSERT_NE(wnd, nullptr);
    EXPECT_TRUE(IsWindow(wnd));
    EXPECT_TRUE(PostMessage(wnd, WM_APP + 1, 7, -3));
    const std::vector<std::byte> block{std::byte{1}, std::byte{2}, std::byte{3}};
    EXPECT_TRUE(PostMessageWithBlock(wnd, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, block));

    auto got = sink.take();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].msg.Msg, WM_APP + 1);
    EXPECT_EQ(got[0].msg.WParam, 7u);
    EXPECT_EQ(got[0].msg.LParam, -3);
    EXPECT_EQ(got[0].block, nullptr);
    ASSERT_NE(got[1].block, nullptr);
    EXPECT_EQ(*got[1].block, block);
    EXPECT_EQ(got[1].msg.LParam, reinterpret_cast<LPARAM>(got[1].block->data())) << "LParam points at the block";
    EXPECT_EQ(DefWindowProc(wnd, WM_USER, 1, 2), 0);

    th::win::UnregisterMessageSink(wnd);
    EXPECT_FALSE(IsWindow(wnd));
    EXPECT_FALSE(PostMessage(wnd, WM_APP + 1, 0, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_FALSE(PostMessage(nullptr, WM_APP + 1, 0, 0));

    HWND again = th::win::RegisterMessageSink(&sink);
    EXPECT_NE(again, wnd) << "a dead handle must not come back to life";
    EXPECT_FALSE(PostMessage(wnd, WM_APP + 1, 0, 0));
    th::win::UnregisterMessageSink(again);
}

TEST(MessageSinks, NoPostReachesASinkAfterUnregisterReturns)
{
    for (int round = 0; round < 20; ++round) {
        auto sink = std::make_unique<RecordingSink>();
        HWND wnd = th::win::RegisterMessageSink(sink.get());
        std::atomic<bool> stop{false};
        std::vector<std::thread> posters;
        for (int i = 0; i < 4; ++i)
            posters.emplace_back([&] {
                while (!stop)
                    PostMessage(wnd, WM_APP + 1, 0, 0);
            });
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        th::win::UnregisterMessageSink(wnd);
        sink->gone = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        stop = true;
        for (auto& t : posters)
            t.join();
        EXPECT_EQ(sink->postsAfterGone.load(), 0);
    }
}

TEST(DeviceNotifications, OnlyRecipientsOfTheInterfaceClassHearOfIt)
{
    RecordingSink capture, other, all;
    HWND wCapture = th::win::RegisterMessageSink(&capture);
    HWND wOther = th::win::RegisterMessageSink(&other);
    HWND wAll = th::win::RegisterMessageSink(&all);
    auto fCapture = filterFor(kCapture);
    auto fOther = filterFor(kOtherClass);
    HDEVNOTIFY nCapture = RegisterDeviceNotification(wCapture, &fCapture, DEVICE_NOTIFY_WINDOW_HANDLE);
    HDEVNOTIFY nOther = RegisterDeviceNotification(wOther, &fOther, DEVICE_NOTIFY_WINDOW_HANDLE);
    HDEVNOTIFY nAll = RegisterDeviceNotification(wAll, &fOther, DEVICE_NOTIFY_ALL_INTERFACE_CLASSES);
    ASSERT_TRUE(nCapture && nOther && nAll);

    const std::string path = "/dev/virtual-dv-camcorder-with-a-rather-long-device-path";
    th::win::BroadcastDeviceInterfaceChange(DBT_DEVICEARRIVAL, kCapture, path);
    auto got = capture.take();
    auto gotAll = all.take();
    EXPECT_TRUE(other.take().empty());
    ASSERT_EQ(got.size(), 1u);
    ASSERT_EQ(gotAll.size(), 1u);
    EXPECT_EQ(got[0].msg.Msg, WM_DEVICECHANGE);
    EXPECT_EQ(got[0].msg.WParam, DBT_DEVICEARRIVAL);
    EXPECT_NE(got[0].block->data(), gotAll[0].block->data()) << "each recipient has its own record";

    const auto* hdr = reinterpret_cast<const DEV_BROADCAST_HDR*>(got[0].msg.LParam);
    EXPECT_EQ(hdr->dbch_devicetype, DBT_DEVTYP_DEVICEINTERFACE);
    EXPECT_EQ(hdr->dbch_size, got[0].block->size());
    const auto* rec = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE*>(hdr);
    EXPECT_EQ(rec->dbcc_classguid, kCapture);
    EXPECT_EQ(std::string(rec->dbcc_name), path);

    th::win::BroadcastDeviceInterfaceChange(DBT_DEVICEREMOVECOMPLETE, kOtherClass, "");
    EXPECT_TRUE(capture.take().empty());
    EXPECT_EQ(other.take().size(), 1u);
    auto short_ = all.take();
    ASSERT_EQ(short_.size(), 1u);
    EXPECT_GE(short_[0].block->size(), sizeof(DEV_BROADCAST_DEVICEINTERFACE));

    EXPECT_TRUE(UnregisterDeviceNotification(nCapture));
    EXPECT_FALSE(UnregisterDeviceNotification(nCapture));
    th::win::BroadcastDeviceInterfaceChange(DBT_DEVICEARRIVAL, kCapture, path);
    EXPECT_TRUE(capture.take().empty());
    EXPECT_EQ(all.take().size(), 1u);

    th::win::UnregisterMessageSink(wAll); // a recipient that is gone is skipped
    th::win::BroadcastDeviceInterfaceChange(DBT_DEVICEARRIVAL, kCapture, path);
    EXPECT_TRUE(all.take().empty());
    UnregisterDeviceNotification(nOther);
    UnregisterDeviceNotification(nAll);
    th::win::UnregisterMessageSink(wCapture);
    th::win::UnregisterMessageSink(wOther);
}

TEST(DeviceNotifications, BadFiltersAndRecipientsAreRefused)
{
    RecordingSink sink;
    HWND wnd = th::win::RegisterMessageSink(&sink);
    auto good = filterFor(kCapture);
    auto wrongType = good;
    wrongType.dbcc_devicetype = 2; // a volume, not an interface class
    auto tooShort = good;
    tooShort.dbcc_size = 12;
    EXPECT_EQ(RegisterDeviceNotification(wnd, nullptr, 0), nullptr);
    EXPECT_EQ(RegisterDeviceNotification(wnd, &wrongType, 0), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_DATA);
    EXPECT_EQ(RegisterDeviceNotification(wnd, &tooShort, 0), nullptr);
    EXPECT_EQ(RegisterDeviceNotification(wnd, &good, 1), nullptr) << "service handles are not served";
    th::win::UnregisterMessageSink(wnd);
    EXPECT_EQ(RegisterDeviceNotification(wnd, &good, 0), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
}

TEST(Priority, ClassesReachEveryThreadAndReturnToNormal)
{
    std::atomic<pid_t> tid{0};
    std::atomic<bool> stop{false};
    std::thread worker([&] {
        tid = static_cast<pid_t>(syscall(SYS_gettid));
        while (!stop)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    while (!tid)
        std::this_thread::yield();

    const bool privileged = geteuid() == 0;
    EXPECT_TRUE(SetPriorityClass(GetCurrentProcess(), HIGH_PRIORITY_CLASS)) << "a refusal still answers TRUE";
    if (privileged) {
        EXPECT_EQ(getpriority(PRIO_PROCESS, 0), -10);
        EXPECT_EQ(getpriority(PRIO_PROCESS, static_cast<id_t>(tid.load())), -10) << "threads that already run";
        EXPECT_EQ(GetPriorityClass(GetCurrentProcess()), HIGH_PRIORITY_CLASS);
    } else {
        EXPECT_EQ(GetPriorityClass(GetCurrentProcess()), NORMAL_PRIORITY_CLASS);
    }
    EXPECT_TRUE(SetPriorityClass(GetCurrentProcess(), NORMAL_PRIORITY_CLASS));
    EXPECT_EQ(getpriority(PRIO_PROCESS, 0), 0);
    EXPECT_EQ(getpriority(PRIO_PROCESS, static_cast<id_t>(tid.load())), 0);
    EXPECT_EQ(GetPriorityClass(GetCurrentProcess()), NORMAL_PRIORITY_CLASS);

    EXPECT_FALSE(SetPriorityClass(GetCurrentProcess(), 0x12345));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(SetPriorityClass(nullptr, NORMAL_PRIORITY_CLASS));
    stop = true;
    worker.join();
}

TEST(Clocks, TickCountsAdvanceWithSleepAndLastErrorIsPerThread)
{
    const ULONGLONG t0 = GetTickCount64();
    Sleep(30);
    EXPECT_GE(GetTickCount64() - t0, 30u);
    EXPECT_LE(static_cast<DWORD>(GetTickCount() - static_cast<DWORD>(t0)), 60000u);

    SetLastError(1234);
    std::thread([] { EXPECT_EQ(GetLastError(), 0u); SetLastError(5); }).join();
    EXPECT_EQ(GetLastError(), 1234u);
}
