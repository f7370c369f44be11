// Each window is a QObject; a posted message is a queued QEvent that carries
// the message and its block, so the block lives until the method returns.
#include "platform/win/MessageWindow.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QThread>

#include <atomic>
#include <mutex>
#include <unordered_map>

namespace {

const QEvent::Type kMessageEventType = static_cast<QEvent::Type>(QEvent::registerEventType());

class MessageEvent final : public QEvent {
public:
    MessageEvent(const TMessage& msg, std::shared_ptr<std::vector<std::byte>> block)
        : QEvent(kMessageEventType), msg_(msg), block_(std::move(block))
    {
    }
    TMessage msg_;
    std::shared_ptr<std::vector<std::byte>> block_;
};

class MessageWindow final : public QObject, public th::win::MessageSink {
public:
    explicit MessageWindow(TWndMethod method) : method_(std::move(method)) {}

    // Called by the core on any thread, under the table's lock.
    void post(const TMessage& msg, std::shared_ptr<std::vector<std::byte>> block) override
    {
        // Qt's queue orders the event for real, but its lock is invisible to
        // ThreadSanitizer; this one, taken again on delivery, states it.
        std::lock_guard lock(handOver_);
        QCoreApplication::postEvent(this, new MessageEvent(msg, std::move(block)));
    }

    bool event(QEvent* e) override
    {
        { std::lock_guard lock(handOver_); }
        if (e->type() != kMessageEventType)
            return QObject::event(e);
        if (dead_)
            return true; // queued before the window was deallocated
        auto* me = static_cast<MessageEvent*>(e);
        TMessage msg = me->msg_;
        struct Depth {
            int& d;
            explicit Depth(int& x) : d(x) { ++d; }
            ~Depth() { --d; }
        } depth(depth_);
        method_(msg);
        return true;
    }

    void deallocate()
    {
        dead_ = true;
        // Deleting the object removes its queued events; inside its own
        // method (or from another thread) that has to wait for the loop.
        if (thread() != QThread::currentThread() || depth_ > 0)
            deleteLater();
        else
            delete this;
    }

private:
    TWndMethod method_;
    std::atomic<bool> dead_{false};
    std::mutex handOver_;
    int depth_ = 0;
};

std::mutex gWindowsMutex;
std::unordered_map<HWND, MessageWindow*>& windows()
{
    static auto* table = new std::unordered_map<HWND, MessageWindow*>;
    return *table;
}

} // namespace

HWND AllocateHWnd(TWndMethod method)
{
    auto* window = new MessageWindow(std::move(method));
    HWND wnd = th::win::RegisterMessageSink(window);
    std::lock_guard lock(gWindowsMutex);
    windows().emplace(wnd, window);
    return wnd;
}

void DeallocateHWnd(HWND wnd)
{
    MessageWindow* window = nullptr;
    {
        std::lock_guard lock(gWindowsMutex);
        auto it = windows().find(wnd);
        if (it == windows().end())
            return;
        window = it->second;
        windows().erase(it);
    }
    // After this no post can reach the object any more.
    th::win::UnregisterMessageSink(wnd);
    window->deallocate();
}
