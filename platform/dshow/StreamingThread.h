#pragma once
// The platform's streaming threads: named std threads on which sources push
// their samples and a Smart Tee delivers its preview. Part of th_dshow (one
// copy per process, so that every module sees the same threads). No Qt.
//
// The stopping rule. Stop returns once the thread has ended, or once it is
// parked: inside code outside the platform (an application's grabber
// callback, marked with StreamingThread::Parked) that may be waiting for a lock
// which the stopping thread holds. Waiting for a parked thread could never end
// (the capture component holds its capture lock while it stops the graph, and
// its frame callback waits for that lock inside the Sample Grabber), so Stop
// leaves it parked. When the callback returns, the thread finds its run stopped
// (StopRequestedHere), delivers nothing more and ends; the objects it still touches are kept alive
// by the references it holds (the `keepAlive` of Start, and the references the
// grabber takes on itself). The next Start waits for it to end, so call Start
// (the filter's Pause or Run) without holding a lock that such a callback takes.

#include "platform/com/Com.h"

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#ifndef TH_DSHOW_API
#define TH_DSHOW_API __attribute__((visibility("default")))
#endif

namespace th::dshow {

struct StreamingThreadRun;

class TH_DSHOW_API StreamingThread {
public:
    StreamingThread();
    // Stops the thread. When the last reference to its owner is dropped on the
    // thread itself (the keepAlive released as it ends), the thread is detached.
    ~StreamingThread();
    StreamingThread(const StreamingThread&) = delete;
    StreamingThread& operator=(const StreamingThread&) = delete;

    // Runs `body` on a new thread named `name` (up to 15 characters are kept).
    // A thread of an earlier run is waited for first. `keepAlive` is held until
    // the thread has ended. False when a thread cannot be made.
    bool Start(const char* name, std::function<void()> body, ComPtr<IUnknown> keepAlive = {});

    // Asks the thread to end and waits until it has ended or is parked (see
    // above). `wake` runs after the request is made and before the wait, to wake
    // a thread that waits on something of the caller's (a queue, a buffer pool).
    void Stop(const std::function<void()>& wake = {});

    // True while a thread of the current run exists and has not ended.
    bool Running() const;

    // On the streaming thread: true once Stop was asked for this run.
    bool StopRequested() const;
    // On the streaming thread: sleeps up to `timeout`, waking early when Stop is
    // asked; false when Stop was asked.
    bool WaitFor(std::chrono::nanoseconds timeout);

    // True on a thread started by a StreamingThread.
    static bool OnStreamingThread();
    // True on a streaming thread whose run was asked to stop. A filter that
    // returns from a parked callback checks it and then delivers nothing more.
    static bool StopRequestedHere();

    // On a streaming thread: while the object lives, `wake` runs once Stop is
    // asked for the current run (at once when it already was), so that a wait
    // on a condition of the caller's, whose predicate checks StopRequestedHere,
    // ends then. `wake` runs on the stopping thread, holding none of this
    // class's locks. Does nothing on other threads.
    class StopWaker {
    public:
        explicit StopWaker(std::function<void()> wake);
        ~StopWaker();
        StopWaker(const StopWaker&) = delete;
        StopWaker& operator=(const StopWaker&) = delete;

    private:
        std::shared_ptr<StreamingThreadRun> run_;
        std::shared_ptr<std::function<void()>> wake_;
    };

    // Marks the current streaming thread as parked for the object's lifetime
    // (does nothing on other threads). Nests.
    class Parked {
    public:
        Parked();
        ~Parked();
        Parked(const Parked&) = delete;
        Parked& operator=(const Parked&) = delete;

    private:
        std::shared_ptr<StreamingThreadRun> run_;
    };

private:
    void joinEnded();

    std::shared_ptr<StreamingThreadRun> run_;
    std::thread thread_;
};

} // namespace th::dshow
