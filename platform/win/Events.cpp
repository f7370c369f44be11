// Events. Waiters sleep on a futex next to the event's state. A named event
// keeps that state in a POSIX shared-memory segment, so every opener of the
// name, in any process of the session, waits on the same word. The state is
// plain atomics: no lock is held while waiting or signalling, so a process that
// dies at any point leaves nothing half-changed behind. Opening and closing a
// name are serialised by flock on the segment, which the kernel drops for a
// process that dies.
#include "platform/win/Windows.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>

#include <fcntl.h>
#include <linux/futex.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

constexpr std::size_t kMaxEventName = 260;

// --- The state of one event -----------------------------------------------------

// `signaled` is the event's state; `seq` counts SetEvent calls and is the
// futex word, so a waiter that saw the count before sleeping cannot miss a set.
struct EventWord {
    std::atomic<std::uint32_t> signaled;
    std::atomic<std::uint32_t> seq;
    std::uint32_t manualReset;
};
static_assert(std::atomic<std::uint32_t>::is_always_lock_free);
static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t));

std::uint32_t* futexAddress(std::atomic<std::uint32_t>& a)
{
    return reinterpret_cast<std::uint32_t*>(&a);
}

timespec deadlineAfter(DWORD ms)
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    ts.tv_sec += ms / 1000;
    ts.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (ts.tv_nsec >= 1000000000L) {
        ts.tv_sec += 1;
        ts.tv_nsec -= 1000000000L;
    }
    return ts;
}

bool passed(const timespec& deadline)
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec > deadline.tv_sec || (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec);
}

// Sleeps while *word == expected, until woken or the absolute monotonic deadline.
void futexWait(std::atomic<std::uint32_t>& word, std::uint32_t expected, const timespec* deadline, bool shared)
{
    const int op = FUTEX_WAIT_BITSET | (shared ? 0 : FUTEX_PRIVATE_FLAG);
    syscall(SYS_futex, futexAddress(word), op, expected, deadline, nullptr, FUTEX_BITSET_MATCH_ANY);
}

void futexWake(std::atomic<std::uint32_t>& word, int count, bool shared)
{
    const int op = FUTEX_WAKE | (shared ? 0 : FUTEX_PRIVATE_FLAG);
    syscall(SYS_futex, futexAddress(word), op, count, nullptr, nullptr, 0);
}

// --- Named segments -----------------------------------------------------------------

constexpr std::uint32_t kSegmentMagic = 0x54484556; // "THEV"
constexpr int kOpenerSlots = 128;

// One mapping of one process that holds the name open.
struct Opener {
    pid_t pid;
    std::uint32_t token;
};

struct Segment {
    std::atomic<std::uint32_t> magic; // written last when the state is set up
    EventWord word;
    Opener openers[kOpenerSlots];
};

// Serialises this process's own segment work as flock serialises processes.
std::mutex gSegmentMutex;
std::atomic<std::uint32_t> gNextToken{1};

bool processAlive(pid_t pid)
{
    return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM);
}

void appendEncoded(std::string& out, std::string_view text)
{
    static constexpr char hex[] = "0123456789abcdef";
    for (unsigned char c : text) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_') {
            out += static_cast<char>(c);
        } else {
            out += '.';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
}

std::uint64_t fnv1a(std::string_view text)
{
    std::uint64_t h = 1469598103934665603ull;
    for (unsigned char c : text) {
        h ^= c;
        h *= 1099511628211ull;
    }
    return h;
}

std::string hex64(std::uint64_t v)
{
    char buf[17];
    std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(v));
    return buf;
}

// Processes that share one registry are one user's session here; tests give
// each run a registry of its own, so their events stay apart as separate
// logon sessions' events do.
std::string segmentName(std::string_view eventName)
{
    std::string name = "/tharvest-ev-" + std::to_string(getuid());
    if (const char* reg = std::getenv("THARVEST_REGISTRY_DIR"); reg && *reg)
        name += "-" + hex64(fnv1a(reg));
    name += "-";
    std::string encoded;
    appendEncoded(encoded, eventName);
    if (encoded.size() > 120)
        encoded = encoded.substr(0, 80) + "~" + hex64(fnv1a(eventName));
    return name + encoded;
}

// One process's mapping of a named segment, shared by all of its handles to
// the name.
class NamedMapping {
public:
    NamedMapping(std::string shmName, int fd, Segment* seg, std::uint32_t token)
        : shmName_(std::move(shmName)), fd_(fd), seg_(seg), pid_(getpid()), token_(token)
    {
    }
    ~NamedMapping()
    {
        leave();
        munmap(seg_, sizeof(Segment));
        close(fd_);
    }

    // Takes this process off the name's opener list; the last opener removes
    // the name, as Windows frees the event with its last handle. The mapping
    // itself stays usable.
    void leave()
    {
        // A forked child holds only a copy of its parent's mapping.
        std::lock_guard lock(gSegmentMutex);
        if (left_ || getpid() != pid_)
            return;
        left_ = true;
        while (flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
        }
        bool anyLeft = false;
        for (Opener& o : seg_->openers) {
            if (o.pid == pid_ && o.token == token_)
                o = Opener{};
            else if (o.pid != 0 && !processAlive(o.pid))
                o = Opener{};
            else if (o.pid != 0)
                anyLeft = true;
        }
        if (!anyLeft)
            shm_unlink(shmName_.c_str());
        flock(fd_, LOCK_UN);
    }
    NamedMapping(const NamedMapping&) = delete;
    NamedMapping& operator=(const NamedMapping&) = delete;

    EventWord& word() { return seg_->word; }
    pid_t pid() const { return pid_; }

    // Opens or creates the segment; *existed tells whether a living opener
    // had it already. Null with the Win32 error set on failure.
    static std::shared_ptr<NamedMapping> open(const std::string& shmName, bool manualReset, bool initialState, bool* existed)
    {
        std::lock_guard lock(gSegmentMutex);
        for (int attempt = 0; attempt < 100; ++attempt) {
            const int fd = shm_open(shmName.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
            if (fd < 0) {
                SetLastError(errno == EACCES ? ERROR_ACCESS_DENIED : ERROR_INVALID_HANDLE);
                return nullptr;
            }
            while (flock(fd, LOCK_EX) != 0 && errno == EINTR) {
            }
            struct stat st{};
            if (fstat(fd, &st) != 0) {
                close(fd);
                SetLastError(ERROR_INVALID_HANDLE);
                return nullptr;
            }
            if (st.st_nlink == 0) {
                // The last opener removed the name while we waited for the lock.
                close(fd);
                continue;
            }
            if (static_cast<std::size_t>(st.st_size) < sizeof(Segment) && ftruncate(fd, sizeof(Segment)) != 0) {
                close(fd);
                SetLastError(ERROR_NOT_ENOUGH_MEMORY);
                return nullptr;
            }
            void* mem = mmap(nullptr, sizeof(Segment), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
            if (mem == MAP_FAILED) {
                close(fd);
                SetLastError(ERROR_NOT_ENOUGH_MEMORY);
                return nullptr;
            }
            auto* seg = static_cast<Segment*>(mem);
            const pid_t self = getpid();
            bool live = false;
            if (seg->magic.load(std::memory_order_acquire) == kSegmentMagic) {
                for (Opener& o : seg->openers) {
                    if (o.pid != 0 && !processAlive(o.pid))
                        o = Opener{}; // left by a process that died without closing
                    else if (o.pid != 0)
                        live = true;
                }
            }
            if (!live) {
                // New, or left only by dead processes: the event starts afresh.
                seg->magic.store(0, std::memory_order_relaxed);
                std::memset(seg->openers, 0, sizeof seg->openers);
                seg->word.manualReset = manualReset ? 1 : 0;
                seg->word.signaled.store(initialState ? 1 : 0, std::memory_order_relaxed);
                seg->word.seq.store(0, std::memory_order_relaxed);
                seg->magic.store(kSegmentMagic, std::memory_order_release);
            }
            const std::uint32_t token = gNextToken.fetch_add(1);
            bool placed = false;
            for (Opener& o : seg->openers) {
                if (o.pid == 0) {
                    o = Opener{self, token};
                    placed = true;
                    break;
                }
            }
            flock(fd, LOCK_UN);
            if (!placed) {
                munmap(mem, sizeof(Segment));
                close(fd);
                SetLastError(ERROR_NOT_ENOUGH_MEMORY);
                return nullptr;
            }
            *existed = live;
            return std::make_shared<NamedMapping>(shmName, fd, seg, token);
        }
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }

private:
    std::string shmName_;
    int fd_;
    Segment* seg_;
    pid_t pid_;
    std::uint32_t token_;
    bool left_ = false; // under gSegmentMutex
};

std::mutex gNamedMutex;
std::map<std::string, std::weak_ptr<NamedMapping>>& namedMappings()
{
    static auto* m = new std::map<std::string, std::weak_ptr<NamedMapping>>;
    return *m;
}

// A process that ends without closing its handles still leaves its names,
// so that no segment outlives the last process that used it.
struct LeaveNamesAtExit {
    ~LeaveNamesAtExit()
    {
        std::lock_guard lock(gNamedMutex);
        for (auto& [name, weak] : namedMappings())
            if (auto mapping = weak.lock())
                mapping->leave();
    }
} gLeaveNamesAtExit;

// --- Event objects --------------------------------------------------------------------

class EventObject final : public th::win::KernelObject {
public:
    // Private event.
    EventObject(bool manualReset, bool initialState) : local_(std::make_unique<EventWord>())
    {
        local_->manualReset = manualReset ? 1 : 0;
        local_->signaled.store(initialState ? 1 : 0);
        local_->seq.store(0);
        word_ = local_.get();
    }
    // Named event.
    explicit EventObject(std::shared_ptr<NamedMapping> mapping) : mapping_(std::move(mapping)), word_(&mapping_->word()) {}

    void set()
    {
        word_->signaled.store(1);
        word_->seq.fetch_add(1);
        futexWake(word_->seq, word_->manualReset ? INT_MAX : 1, shared());
    }
    void reset() { word_->signaled.store(0); }

    DWORD wait(DWORD ms)
    {
        const bool infinite = ms == INFINITE;
        const timespec deadline = infinite ? timespec{} : deadlineAfter(ms);
        if (word_->manualReset) {
            // Every wait that was pending when SetEvent ran is satisfied, even
            // if the event has been reset again before the waiter woke.
            const std::uint32_t seen = word_->seq.load();
            if (word_->signaled.load())
                return WAIT_OBJECT_0;
            for (;;) {
                if (!infinite && passed(deadline))
                    return WAIT_TIMEOUT;
                futexWait(word_->seq, seen, infinite ? nullptr : &deadline, shared());
                if (word_->seq.load() != seen || word_->signaled.load())
                    return WAIT_OBJECT_0;
            }
        }
        for (;;) {
            const std::uint32_t seen = word_->seq.load();
            std::uint32_t one = 1;
            if (word_->signaled.compare_exchange_strong(one, 0))
                return WAIT_OBJECT_0; // an auto-reset event releases one waiter
            if (!infinite && passed(deadline))
                return WAIT_TIMEOUT;
            futexWait(word_->seq, seen, infinite ? nullptr : &deadline, shared());
        }
    }

private:
    bool shared() const { return mapping_ != nullptr; }

    std::unique_ptr<EventWord> local_;
    std::shared_ptr<NamedMapping> mapping_;
    EventWord* word_ = nullptr;
};

std::shared_ptr<EventObject> eventOf(HANDLE handle)
{
    auto obj = std::dynamic_pointer_cast<EventObject>(th::win::LookupHandleObject(handle));
    if (!obj)
        SetLastError(ERROR_INVALID_HANDLE);
    return obj;
}

} // namespace

HANDLE CreateEventA(void* security, BOOL manualReset, BOOL initialState, const char* name)
{
    try {
        if (!name || !*name) {
            HANDLE h = th::win::RegisterHandleObject(std::make_shared<EventObject>(manualReset != FALSE, initialState != FALSE));
            SetLastError(ERROR_SUCCESS);
            return h;
        }
        if (std::strlen(name) > kMaxEventName) {
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            return nullptr;
        }
        const std::string shmName = segmentName(name);
        std::shared_ptr<NamedMapping> mapping;
        bool existed = false;
        {
            std::lock_guard lock(gNamedMutex);
            auto& table = namedMappings();
            if (auto it = table.find(shmName); it != table.end()) {
                mapping = it->second.lock();
                // A forked child must not borrow its parent's place in the opener list.
                if (mapping && mapping->pid() != getpid())
                    mapping.reset();
                existed = mapping != nullptr;
            }
            if (!mapping) {
                mapping = NamedMapping::open(shmName, manualReset != FALSE, initialState != FALSE, &existed);
                if (!mapping)
                    return nullptr;
                table[shmName] = mapping;
            }
        }
        HANDLE h = th::win::RegisterHandleObject(std::make_shared<EventObject>(std::move(mapping)));
        SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
        return h;
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

BOOL SetEvent(HANDLE event)
{
    auto e = eventOf(event);
    if (!e)
        return FALSE;
    e->set();
    return TRUE;
}

BOOL ResetEvent(HANDLE event)
{
    auto e = eventOf(event);
    if (!e)
        return FALSE;
    e->reset();
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds)
{
    auto e = eventOf(handle);
    if (!e)
        return WAIT_FAILED;
    return e->wait(milliseconds);
}
