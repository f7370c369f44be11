#include "platform/riff/RiffFile.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace th::riff {

namespace {
constexpr std::uint8_t kZeros[65536] = {};
}

void QueueBudget::Take(std::size_t n)
{
    std::unique_lock<std::mutex> lock(mutex_);
    freed_.wait(lock, [&] { return used_ == 0 || used_ + n <= limit_; });
    used_ += n;
}

void QueueBudget::Give(std::size_t n)
{
    if (n == 0)
        return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        used_ -= std::min(n, used_);
    }
    freed_.notify_all();
}

File::~File()
{
    Close();
    stopThread();
}

namespace {

// The test's stand-in for a disk that stops taking writes (kHoldWritesVariable).
void holdWhileAsked()
{
    const char* const gate = std::getenv(kHoldWritesVariable);
    if (!gate || !*gate)
        return;
    struct stat st {};
    while (::stat(gate, &st) == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

} // namespace

DWORD File::Create(const std::string& path)
{
    Close();
    path_ = path;
    pos_ = 0;
    tailDirty_ = false;
    direct_ = false;
    firstError_ = 0;
    firstErrorText_.clear();
    written_ = 0;
    peak_ = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queueFailure_ = {};
        ops_.clear();
        ringHead_ = ringUsed_ = 0;
    }
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        const int err = errno;
        firstError_ = Win32ErrorFromErrno(err);
        firstErrorText_ = "creating " + path + ": " + std::strerror(err);
        return firstError_;
    }
    fd_ = fd;
    if (!thread_.joinable()) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            quit_ = false;
        }
        thread_ = std::thread([this] { run(); });
    }
    return 0;
}

DWORD File::writeAt(std::int64_t pos, const void* data, std::size_t n, const char* what, Failure* failure)
{
    if (fd_ < 0)
        return static_cast<DWORD>(ERROR_INVALID_HANDLE);
    holdWhileAsked();
    const auto* p = static_cast<const std::uint8_t*>(data);
    std::size_t done = 0;
    while (done < n) {
        // No bytes: zeros, in pieces.
        const std::uint8_t* from = p ? p + done : kZeros;
        const std::size_t step = p ? n - done : std::min(n - done, sizeof kZeros);
        const ssize_t w = ::pwrite(fd_, from, step, static_cast<off_t>(pos + done));
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0) {
            // A write that makes no progress without an error cannot go on either.
            const int err = w < 0 ? errno : EIO;
            failure->code = Win32ErrorFromErrno(err);
            char where[64];
            std::snprintf(where, sizeof where, " at offset %lld: ", static_cast<long long>(pos + done));
            failure->text = std::string(what) + " " + path_ + where + std::strerror(err);
            return failure->code;
        }
        done += static_cast<std::size_t>(w);
    }
    return 0;
}

DWORD File::note(const Failure& failure)
{
    if (failure.code != 0 && firstError_ == 0) {
        firstError_ = failure.code;
        firstErrorText_ = failure.text;
    }
    return failure.code;
}

DWORD File::takeQueueFailure(std::unique_lock<std::mutex>&)
{
    if (queueFailure_.code == 0)
        return 0;
    const DWORD code = note(queueFailure_);
    queueFailure_ = {};
    // What was queued after the failed write is gone: the file's good data
    // ends where that write began.
    pos_ = failedAt_;
    tailDirty_ = true;
    direct_ = true;
    return code;
}

void File::drain(std::unique_lock<std::mutex>& lock)
{
    changed_.wait(lock, [this] { return (ops_.empty() && !busy_) || queueFailure_.code != 0; });
}

DWORD File::queue(std::int64_t pos, const void* data, std::size_t n, bool append)
{
    if (fd_ < 0)
        return static_cast<DWORD>(ERROR_INVALID_HANDLE);
    if (n == 0)
        return 0;
    const char* what = append ? "writing" : "rewriting";
    const bool direct = direct_ || n > kQueueBytes / 4;
    // The shared budget is waited for holding nothing that the queue needs.
    const std::size_t budgeted = budget_ && !direct && data ? n : 0;
    if (budgeted)
        budget_->Take(budgeted);
    std::unique_lock<std::mutex> lock(mutex_);
    if (const DWORD r = takeQueueFailure(lock)) {
        if (budgeted)
            budget_->Give(budgeted);
        return r;
    }
    if (direct) {
        // A block too big to queue goes out at once behind what is queued.
        drain(lock);
        if (const DWORD r = takeQueueFailure(lock))
            return r;
        lock.unlock();
        Failure failure;
        const DWORD r = writeAt(pos, data, n, what, &failure);
        if (r != 0) {
            note(failure);
            if (append)
                tailDirty_ = true;
            return r;
        }
        if (append) {
            pos_ = pos + static_cast<std::int64_t>(n);
            written_ = pos_;
        }
        return 0;
    }
    if (!ring_)
        ring_.reset(new std::uint8_t[kQueueBytes]); // untouched until used
    // Its bytes in one piece of the ring: at the tail, or at the start when
    // the tail has not room (the bytes skipped count as used until then).
    Op op;
    op.pos = pos;
    op.n = n;
    op.append = append;
    op.zeros = data == nullptr;
    const std::size_t need = op.zeros ? 0 : n;
    std::size_t span = 0;
    for (;;) {
        if (ringUsed_ == 0)
            ringHead_ = 0;
        const std::size_t tail = (ringHead_ + ringUsed_) % kQueueBytes;
        const bool wrapped = ringUsed_ > 0 && tail <= ringHead_;
        if (need == 0) {
            op.at = tail;
            break;
        }
        if (!wrapped && kQueueBytes - tail >= need) {
            op.at = tail;
            span = need;
            break;
        }
        if (!wrapped && ringHead_ >= need) {
            op.at = 0;
            span = kQueueBytes - tail + need;
            break;
        }
        if (wrapped && ringHead_ - tail >= need) {
            op.at = tail;
            span = need;
            break;
        }
        // Full: the disk sets the pace until there is room.
        changed_.wait(lock);
        if (const DWORD r = takeQueueFailure(lock)) {
            if (budgeted)
                budget_->Give(budgeted);
            return r;
        }
    }
    if (need)
        std::memcpy(ring_.get() + op.at, data, need);
    ringUsed_ += span;
    op.span = span;
    ops_.push_back(op);
    if (ringUsed_ > peak_.load())
        peak_ = ringUsed_;
    if (append)
        pos_ = pos + static_cast<std::int64_t>(n);
    lock.unlock();
    changed_.notify_all();
    return 0;
}

void File::run()
{
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return quit_ || (!ops_.empty() && queueFailure_.code == 0); });
        if (quit_ && (ops_.empty() || queueFailure_.code != 0))
            return;
        const Op op = ops_.front();
        busy_ = true;
        lock.unlock();
        Failure failure;
        const DWORD r = writeAt(op.pos, op.zeros ? nullptr : ring_.get() + op.at, op.n,
                                op.append ? "writing" : "rewriting", &failure);
        lock.lock();
        busy_ = false;
        std::size_t done = op.zeros ? 0 : op.n;
        if (r != 0) {
            // Nothing behind the failed write goes out: it would leave a hole.
            queueFailure_ = std::move(failure);
            failedAt_ = op.append ? op.pos : written_.load();
            for (const Op& o : ops_)
                if (&o != &ops_.front())
                    done += o.zeros ? 0 : o.n;
            ops_.clear();
            ringHead_ = ringUsed_ = 0;
        } else {
            ops_.pop_front();
            ringUsed_ -= op.span;
            ringHead_ = (op.at + (op.zeros ? 0 : op.n)) % kQueueBytes;
            if (ops_.empty())
                ringHead_ = ringUsed_ = 0;
            if (op.append)
                written_ = op.pos + static_cast<std::int64_t>(op.n);
        }
        lock.unlock();
        changed_.notify_all();
        if (budget_)
            budget_->Give(done);
        lock.lock();
    }
}

void File::stopThread()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        quit_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

DWORD File::Append(const void* data, std::size_t n)
{
    if (n > 0 && !data)
        return static_cast<DWORD>(ERROR_INVALID_PARAMETER);
    return queue(pos_, data, n, true);
}

DWORD File::AppendZeros(std::size_t n)
{
    return queue(pos_, nullptr, n, true);
}

DWORD File::Patch(std::int64_t pos, const void* data, std::size_t n)
{
    if (n > 0 && !data)
        return static_cast<DWORD>(ERROR_INVALID_PARAMETER);
    return queue(pos, data, n, false);
}

DWORD File::Flush()
{
    if (fd_ < 0)
        return 0;
    std::unique_lock<std::mutex> lock(mutex_);
    drain(lock);
    return takeQueueFailure(lock);
}

DWORD File::CutAt(std::int64_t pos)
{
    if (fd_ < 0)
        return static_cast<DWORD>(ERROR_INVALID_HANDLE);
    {
        std::unique_lock<std::mutex> lock(mutex_);
        drain(lock);
        takeQueueFailure(lock);
    }
    if (pos < 0 || pos > pos_)
        return static_cast<DWORD>(ERROR_INVALID_PARAMETER);
    if (::ftruncate(fd_, static_cast<off_t>(pos)) != 0)
        return Win32ErrorFromErrno(errno);
    pos_ = pos;
    if (written_.load() > pos)
        written_ = pos;
    tailDirty_ = false;
    return 0;
}

DWORD File::Close()
{
    if (fd_ < 0)
        return 0;
    DWORD r = 0;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        drain(lock);
        r = takeQueueFailure(lock);
    }
    if (tailDirty_ && ::ftruncate(fd_, static_cast<off_t>(pos_)) != 0 && r == 0)
        r = Win32ErrorFromErrno(errno);
    if (::close(fd_) != 0 && r == 0)
        r = Win32ErrorFromErrno(errno);
    fd_ = -1;
    tailDirty_ = false;
    return r;
}

} // namespace th::riff
