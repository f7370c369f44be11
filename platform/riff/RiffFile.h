#pragma once
// An output file for the RIFF writers: written strictly at 64-bit positions
// that the file keeps itself, so that a failed or partly done write can never
// shift what follows. No Qt.
//
// Write-behind. Appends and patches are copied into a bounded queue and
// written, in the order they were made, by a thread of the file's own, so that
// a caller (a streaming thread) never waits on the disk while the queue has
// room; a call that finds it full waits until the disk has taken enough.
// A write that fails there is reported by the next call of the writer: it
// answers with the failure, nothing queued after the failed write is written,
// and Position() goes back to where that write began (the end of what reached
// the disk in order), so that the writer can take back what it had put after
// it. From then on every call writes at once, as the disk answers it.
// CutAt and Close wait for the queue first; Flush waits for it alone.
// Files that share a QueueBudget hold at most its bytes queued together, so
// that a writer which moves on to its next file while the last one still
// drains keeps one bound on memory.

#include "platform/base/WinErrno.h"
#include "platform/riff/Riff.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace th::riff {

// The Win32 error codes that the file reports besides the common ones.
inline constexpr DWORD kErrorTooManyOpenFiles = ERROR_TOO_MANY_OPEN_FILES;
inline constexpr DWORD kErrorWriteProtect = ERROR_WRITE_PROTECT;
inline constexpr DWORD kErrorGenFailure = ERROR_GEN_FAILURE;
inline constexpr DWORD kErrorFileTooLarge = ERROR_FILE_TOO_LARGE;

// The Win32 error code that stands for an errno value of a file operation.
using th::Win32ErrorFromErrno;

// Tests stand for a disk that stops taking writes: while the file named by
// this environment variable exists, the write-behind threads of every file
// hold their next write.
inline constexpr const char* kHoldWritesVariable = "THARVEST_HOLD_WRITES";

// The bytes that the queues of several files may hold together.
class QueueBudget {
public:
    explicit QueueBudget(std::size_t bytes) : limit_(bytes) {}
    // Waits until n more bytes fit (always at once when none are held).
    void Take(std::size_t n);
    void Give(std::size_t n);

private:
    std::mutex mutex_;
    std::condition_variable freed_;
    const std::size_t limit_;
    std::size_t used_ = 0;
};

class File final : public Sink {
public:
    // The queue holds this much: more than ten seconds of DV with its sound.
    static constexpr std::size_t kQueueBytes = std::size_t(40) << 20;

    File() = default;
    ~File() override;
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    // Creates the file for writing, truncating an existing one; others may
    // read it while it is written. 0 or the Win32 error code (3 for a missing
    // folder, 5 for a folder or a file that may not be written, ...). A file
    // that is open is closed first.
    DWORD Create(const std::string& path);
    // Queued bytes count against this budget too (before Create).
    void ShareBudget(std::shared_ptr<QueueBudget> budget) { budget_ = std::move(budget); }
    bool IsOpen() const { return fd_ >= 0; }
    const std::string& Path() const { return path_; }

    // Appends at Position(). 0, or the failure of this or of an earlier
    // queued write (see above): then Position() is where the file's good data
    // ends, and whatever part of a failed write reached the disk behind it is
    // overwritten by the next append or cut off by Close.
    DWORD Append(const void* data, std::size_t n) override;
    DWORD AppendZeros(std::size_t n) override;
    // Writes at an earlier position (a size or header patched later).
    DWORD Patch(std::int64_t pos, const void* data, std::size_t n) override;
    std::int64_t Position() const override { return pos_; }
    // Cuts the file at pos (before Position()), which frees the disk space
    // behind it; appends continue there. 0 or the Win32 error code.
    DWORD CutAt(std::int64_t pos);
    // Waits until everything queued is written. 0 or the first failure.
    DWORD Flush();

    // The end of the appended data that has reached the disk (written, not
    // necessarily synced): what lies before it no later failure can lose.
    std::int64_t Written() const { return written_.load(); }
    // The most bytes the queue held since Create.
    std::size_t PeakQueued() const { return peak_.load(); }

    // The first failure since Create, with a text that names the file, the
    // operation and the system's message; 0 and empty when none. A failure
    // of the queue counts once a call has reported it.
    DWORD FirstError() const { return firstError_; }
    const std::string& FirstErrorText() const { return firstErrorText_; }

    // Writes what is queued, cuts off bytes a failed append left behind the
    // end, then closes. 0 or the Win32 error code of that last step (a
    // failure of the queue not yet reported is its result). Closing a closed
    // file is 0.
    DWORD Close();

private:
    struct Op {
        std::int64_t pos = 0;
        std::size_t n = 0;
        std::size_t at = 0;   // offset of its bytes in the ring
        std::size_t span = 0; // ring bytes it holds, those skipped before it included
        bool append = false;
        bool zeros = false;   // no bytes in the ring: zeros
    };
    struct Failure {
        DWORD code = 0;
        std::string text;
    };

    DWORD writeAt(std::int64_t pos, const void* data, std::size_t n, const char* what, Failure* failure);
    DWORD note(const Failure& failure);
    DWORD queue(std::int64_t pos, const void* data, std::size_t n, bool append);
    // Takes up a failure of the queue: 0 when there is none.
    DWORD takeQueueFailure(std::unique_lock<std::mutex>& lock);
    void drain(std::unique_lock<std::mutex>& lock);
    void stopThread();
    void run();

    int fd_ = -1;
    std::string path_;
    std::int64_t pos_ = 0;
    bool tailDirty_ = false;
    bool direct_ = false; // after a failure: every write at once
    DWORD firstError_ = 0;
    std::string firstErrorText_;

    // Shared with the write-behind thread, under mutex_.
    std::mutex mutex_;
    std::condition_variable changed_;
    std::unique_ptr<std::uint8_t[]> ring_;
    std::size_t ringHead_ = 0; // first byte in use
    std::size_t ringUsed_ = 0;
    std::deque<Op> ops_;
    bool busy_ = false;   // the thread writes ops_.front()
    bool quit_ = false;
    Failure queueFailure_; // the queue's first failure, until a call takes it up
    std::int64_t failedAt_ = 0;
    std::atomic<std::int64_t> written_{0};
    std::atomic<std::size_t> peak_{0};
    std::shared_ptr<QueueBudget> budget_;
    std::thread thread_;
};

} // namespace th::riff
