#include "TestUtil.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QThread>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <cstdlib>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <filesystem>
#include <stdexcept>
#include <vector>

namespace th::test {

TempDir::TempDir()
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/thtmp.XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data()))
        throw std::runtime_error("mkdtemp failed for " + pattern);
    path_ = buf.data();
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

FileSizeLimit::FileSizeLimit(std::int64_t bytes)
{
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit l{};
    getrlimit(RLIMIT_FSIZE, &l);
    old_ = static_cast<long long>(l.rlim_cur);
    l.rlim_cur = static_cast<rlim_t>(bytes);
    setrlimit(RLIMIT_FSIZE, &l);
}

FileSizeLimit::~FileSizeLimit()
{
    rlimit l{};
    getrlimit(RLIMIT_FSIZE, &l);
    l.rlim_cur = static_cast<rlim_t>(old_);
    setrlimit(RLIMIT_FSIZE, &l);
}

SmallDisk::SmallDisk(Kind kind, std::int64_t bytes, bool fallBack)
{
    const std::string options =
        "size=" + std::to_string(bytes) + ",mode=0777" + (kind == Kind::ReadOnly ? std::string(",ro") : std::string());
    if (::mount("tmpfs", dir_.path().c_str(), "tmpfs", kind == Kind::ReadOnly ? MS_RDONLY : 0, options.c_str()) == 0) {
        mounted_ = usable_ = true;
        return;
    }
    why_ = std::string("a tmpfs cannot be mounted here (") + std::strerror(errno) + ")";
    if (!fallBack) {
        return;
    } else if (kind == Kind::Full) {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit l{};
        getrlimit(RLIMIT_FSIZE, &l);
        oldLimit_ = static_cast<long long>(l.rlim_cur);
        l.rlim_cur = static_cast<rlim_t>(bytes);
        limited_ = usable_ = setrlimit(RLIMIT_FSIZE, &l) == 0;
        if (!usable_)
            why_ += " and the file size cannot be limited";
    } else if (::geteuid() != 0 && ::chmod(dir_.path().c_str(), 0555) == 0) {
        usable_ = true;
    } else {
        why_ += " and root writes into any folder whatever its permissions";
    }
}

SmallDisk::~SmallDisk()
{
    if (mounted_)
        ::umount2(dir_.path().c_str(), MNT_DETACH);
    if (limited_) {
        rlimit l{};
        getrlimit(RLIMIT_FSIZE, &l);
        l.rlim_cur = static_cast<rlim_t>(oldLimit_);
        setrlimit(RLIMIT_FSIZE, &l);
    }
    ::chmod(dir_.path().c_str(), 0700);
}

bool SmallDisk::fill(std::int64_t leave)
{
    struct statvfs st {};
    if (!mounted_ || ::statvfs(dir_.path().c_str(), &st) != 0)
        return false;
    const std::int64_t free = static_cast<std::int64_t>(st.f_bavail) * static_cast<std::int64_t>(st.f_frsize);
    if (free <= leave)
        return true;
    const int fd = ::open((dir_.path() + "/.filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0)
        return false;
    std::vector<char> zeros(65536, 0);
    std::int64_t left = free - leave;
    bool ok = true;
    while (left > 0 && ok) {
        const ssize_t w = ::write(fd, zeros.data(), static_cast<std::size_t>(std::min<std::int64_t>(left, 65536)));
        ok = w > 0;
        left -= w > 0 ? w : 0;
    }
    ::close(fd);
    return ok;
}

bool waitUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout)
{
    QElapsedTimer timer;
    timer.start();
    while (!pred()) {
        if (timer.elapsed() > timeout.count())
            return pred();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    return true;
}

std::string binDir()
{
    return std::string(TH_BINARY_DIR) + "/bin";
}

// posix_spawnp rather than QProcess: QProcess's fork helper makes
// ThreadSanitizer lose track of the parent's locks for the rest of the run.
int runProgram(const std::string& program, const std::vector<std::string>& args,
               std::string* out)
{
    int fds[2];
    if (pipe(fds) != 0)
        return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    posix_spawn_file_actions_addclose(&actions, fds[1]);

    std::vector<std::string> argvStore{program};
    argvStore.insert(argvStore.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argvStore)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (rc != 0) {
        close(fds[0]);
        return -1;
    }
    std::string text;
    char buf[4096];
    for (;;) {
        const ssize_t n = read(fds[0], buf, sizeof buf);
        if (n > 0)
            text.append(buf, static_cast<std::size_t>(n));
        else if (n == 0 || errno != EINTR)
            break;
    }
    close(fds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (out)
        *out = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace th::test
