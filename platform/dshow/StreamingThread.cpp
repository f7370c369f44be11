#include "platform/dshow/StreamingThread.h"

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <pthread.h>
#include <vector>

namespace th::dshow {

// What one run of a thread shares with its owner; it outlives both.
struct StreamingThreadRun {
    std::mutex mutex;
    std::condition_variable changed;
    bool stopRequested = false;
    bool ended = false;
    int parked = 0;
    std::vector<std::shared_ptr<std::function<void()>>> wakers; // StopWaker
};

namespace {
thread_local std::shared_ptr<StreamingThreadRun> t_run;
}

StreamingThread::StreamingThread() = default;

StreamingThread::~StreamingThread()
{
    if (!thread_.joinable())
        return;
    if (thread_.get_id() == std::this_thread::get_id()) {
        // The thread dropped the last reference to our owner as it ended.
        thread_.detach();
        return;
    }
    Stop();
    if (thread_.joinable()) {
        // Still parked: it holds its run state; waiting here could never end.
        thread_.detach();
    }
}

bool StreamingThread::Start(const char* name, std::function<void()> body, ComPtr<IUnknown> keepAlive)
{
    if (run_) {
        std::unique_lock<std::mutex> lock(run_->mutex);
        if (!run_->stopRequested && !run_->ended)
            return true; // this run goes on
    }
    joinEnded();

    auto run = std::make_shared<StreamingThreadRun>();
    // Published before the thread exists: its body asks StopRequested at once.
    run_ = run;
    char threadName[16] = {};
    std::strncpy(threadName, name ? name : "th-stream", sizeof threadName - 1);
    try {
        thread_ = std::thread([run, threadName, body = std::move(body), keep = std::move(keepAlive)]() mutable {
            pthread_setname_np(pthread_self(), threadName);
            t_run = run;
            try {
                body();
            } catch (...) {
                // A streaming thread never lets an exception escape.
            }
            body = nullptr;
            t_run.reset();
            {
                std::lock_guard<std::mutex> lock(run->mutex);
                run->ended = true;
            }
            run->changed.notify_all();
            // Last: this may release the owner, whose destructor then detaches us.
            keep.Reset();
        });
    } catch (const std::system_error&) {
        run->ended = true;
        return false;
    }
    return true;
}

void StreamingThread::joinEnded()
{
    if (!thread_.joinable())
        return;
    if (thread_.get_id() == std::this_thread::get_id()) {
        thread_.detach(); // restarted from its own thread: it ends on its own
        return;
    }
    {
        // An earlier run, asked to stop, perhaps still parked: wait for its end.
        std::unique_lock<std::mutex> lock(run_->mutex);
        run_->stopRequested = true;
        run_->changed.notify_all();
        run_->changed.wait(lock, [&] { return run_->ended; });
    }
    thread_.join();
}

void StreamingThread::Stop(const std::function<void()>& wake)
{
    if (!run_)
        return;
    std::vector<std::shared_ptr<std::function<void()>>> wakers;
    {
        std::lock_guard<std::mutex> lock(run_->mutex);
        run_->stopRequested = true;
        wakers = run_->wakers;
    }
    run_->changed.notify_all();
    for (const auto& w : wakers)
        (*w)();
    if (wake)
        wake();
    if (thread_.get_id() == std::this_thread::get_id())
        return; // the thread stops itself (its owner goes as it ends): it will see the request
    bool ended;
    {
        std::unique_lock<std::mutex> lock(run_->mutex);
        run_->changed.wait(lock, [&] { return run_->ended || run_->parked > 0; });
        ended = run_->ended;
    }
    if (ended && thread_.joinable())
        thread_.join();
}

bool StreamingThread::Running() const
{
    if (!run_)
        return false;
    std::lock_guard<std::mutex> lock(run_->mutex);
    return !run_->ended;
}

bool StreamingThread::StopRequested() const
{
    if (!run_)
        return true;
    std::lock_guard<std::mutex> lock(run_->mutex);
    return run_->stopRequested;
}

bool StreamingThread::WaitFor(std::chrono::nanoseconds timeout)
{
    if (!run_)
        return false;
    std::unique_lock<std::mutex> lock(run_->mutex);
    return !run_->changed.wait_for(lock, timeout, [&] { return run_->stopRequested; });
}

bool StreamingThread::OnStreamingThread()
{
    return t_run != nullptr;
}

bool StreamingThread::StopRequestedHere()
{
    if (!t_run)
        return false;
    std::lock_guard<std::mutex> lock(t_run->mutex);
    return t_run->stopRequested;
}

StreamingThread::StopWaker::StopWaker(std::function<void()> wake) : run_(t_run)
{
    if (!run_)
        return;
    wake_ = std::make_shared<std::function<void()>>(std::move(wake));
    bool stopped;
    {
        std::lock_guard<std::mutex> lock(run_->mutex);
        run_->wakers.push_back(wake_);
        stopped = run_->stopRequested;
    }
    if (stopped)
        (*wake_)();
}

StreamingThread::StopWaker::~StopWaker()
{
    if (!run_)
        return;
    std::lock_guard<std::mutex> lock(run_->mutex);
    std::erase(run_->wakers, wake_);
}

StreamingThread::Parked::Parked() : run_(t_run)
{
    if (!run_)
        return;
    {
        std::lock_guard<std::mutex> lock(run_->mutex);
        ++run_->parked;
    }
    run_->changed.notify_all();
}

StreamingThread::Parked::~Parked()
{
    if (!run_)
        return;
    std::lock_guard<std::mutex> lock(run_->mutex);
    --run_->parked;
}

} // namespace th::dshow
