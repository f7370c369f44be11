// Message windows on the event loop: order, thread, blocks, deallocation.
#include "platform/win/MessageWindow.h"

#include "support/TestUtil.h"

#include <QCoreApplication>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace {
constexpr GUID kCapture = MakeGuid("65E8773D-8F56-11D0-A3B9-00A0C9223196");
constexpr UINT kGraphEvent = WM_APP + 1;
} // namespace

TEST(MessageWindow, MessagesArriveOnTheOwnerThreadInTheOrderPosted)
{
    std::vector<std::pair<WPARAM, LPARAM>> got;
    std::atomic<int> wrongThread{0};
    QThread* owner = QThread::currentThread();
    HWND wnd = AllocateHWnd([&](TMessage& m) {
        if (QThread::currentThread() != owner)
            ++wrongThread;
        got.emplace_back(m.WParam, m.LParam);
    });
    ASSERT_TRUE(IsWindow(wnd));

    constexpr int kThreads = 4, kEach = 500;
    for (int i = 0; i < 100; ++i)
        PostMessage(wnd, kGraphEvent, 99, i);
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t)
        posters.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i)
                PostMessage(wnd, kGraphEvent, t, i);
        });
    for (auto& p : posters)
        p.join();
    EXPECT_TRUE(got.empty()) << "nothing runs before the loop turns";
    ASSERT_TRUE(th::test::waitUntil([&] { return got.size() == 100 + kThreads * kEach; }));

    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(got[i], std::make_pair(WPARAM(99), LPARAM(i)));
    std::vector<LPARAM> last(kThreads, -1);
    for (const auto& [t, i] : got)
        if (t < kThreads) {
            EXPECT_EQ(i, last[t] + 1) << "each poster's order is kept";
            last[t] = i;
        }
    EXPECT_EQ(wrongThread.load(), 0);
    DeallocateHWnd(wnd);
}

TEST(MessageWindow, ABlockLivesUntilTheMethodReturns)
{
    std::vector<std::string> names;
    HWND wnd = AllocateHWnd([&](TMessage& m) {
        if (m.Msg != WM_DEVICECHANGE || m.WParam != DBT_DEVICEARRIVAL)
            return;
        const auto* hdr = reinterpret_cast<const DEV_BROADCAST_HDR*>(m.LParam);
        if (hdr->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE)
            return;
        const auto* rec = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE*>(hdr);
        if (rec->dbcc_classguid == kCapture)
            names.emplace_back(rec->dbcc_name);
    });
    DEV_BROADCAST_DEVICEINTERFACE filter{};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = kCapture;
    HDEVNOTIFY n = RegisterDeviceNotification(wnd, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    ASSERT_NE(n, nullptr);
    std::thread([] { th::win::BroadcastDeviceInterfaceChange(DBT_DEVICEARRIVAL, kCapture, "/dev/dv0"); }).join();
    th::win::BroadcastDeviceInterfaceChange(DBT_DEVICEARRIVAL, kCapture, std::string(300, 'p'));
    ASSERT_TRUE(th::test::waitUntil([&] { return names.size() == 2; }));
    EXPECT_EQ(names[0], "/dev/dv0");
    EXPECT_EQ(names[1], std::string(300, 'p'));
    UnregisterDeviceNotification(n);
    DeallocateHWnd(wnd);
}

TEST(MessageWindow, MessagesQueuedForADeallocatedWindowAreDropped)
{
    int handled = 0;
    HWND wnd = AllocateHWnd([&](TMessage&) { ++handled; });
    for (int i = 0; i < 10; ++i)
        PostMessageWithBlock(wnd, kGraphEvent, 0, std::vector<std::byte>(64));
    DeallocateHWnd(wnd);
    EXPECT_FALSE(IsWindow(wnd));
    EXPECT_FALSE(PostMessage(wnd, kGraphEvent, 0, 0));
    DeallocateHWnd(wnd); // twice is harmless
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(handled, 0);

    // Deallocating from inside its own method: the rest of the queue is dropped.
    HWND self = nullptr;
    int seen = 0;
    self = AllocateHWnd([&](TMessage&) {
        ++seen;
        DeallocateHWnd(self);
    });
    for (int i = 0; i < 5; ++i)
        PostMessage(self, kGraphEvent, 0, i);
    th::test::waitUntil([&] { return seen > 0; });
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(seen, 1);
    EXPECT_FALSE(IsWindow(self));
}

TEST(MessageWindow, DeallocatingWhileOtherThreadsPostIsSafe)
{
    for (int round = 0; round < 10; ++round) {
        std::atomic<int> handled{0};
        HWND wnd = AllocateHWnd([&](TMessage&) { ++handled; });
        std::atomic<bool> stop{false};
        std::vector<std::thread> posters;
        for (int i = 0; i < 3; ++i)
            posters.emplace_back([&] {
                while (!stop)
                    PostMessageWithBlock(wnd, kGraphEvent, 0, std::vector<std::byte>(16));
            });
        th::test::waitUntil([&] { return handled > 20; });
        DeallocateHWnd(wnd);
        const int atDealloc = handled;
        stop = true;
        for (auto& p : posters)
            p.join();
        QCoreApplication::processEvents();
        EXPECT_EQ(handled.load(), atDealloc);
    }
}
