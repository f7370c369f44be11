#include "ShellFixture.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace shell_test {

using Clock = std::chrono::steady_clock;

Child::Child(const std::string& program, const std::vector<std::string>& args)
{
    int toChild[2], fromChild[2];
    if (pipe2(toChild, O_CLOEXEC) != 0)
        return;
    if (pipe2(fromChild, O_CLOEXEC) != 0) {
        ::close(toChild[0]);
        ::close(toChild[1]);
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
    posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
    std::vector<std::string> store{program};
    store.insert(store.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& s : store)
        argv.push_back(s.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ) == 0)
        pid_ = pid;
    posix_spawn_file_actions_destroy(&actions);
    ::close(toChild[0]);
    ::close(fromChild[1]);
    in_ = toChild[1];
    out_ = fromChild[0];
}

Child::~Child()
{
    if (pid_ > 0 && !reaped_) {
        closeInput();
        if (wait(std::chrono::seconds(5)) == -1)
            kill();
    }
    if (in_ >= 0)
        ::close(in_);
    if (out_ >= 0)
        ::close(out_);
}

std::optional<std::string> Child::readLine(std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const auto nl = buffer_.find('\n');
        if (nl != std::string::npos) {
            std::string line = buffer_.substr(0, nl);
            buffer_.erase(0, nl + 1);
            return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0 || out_ < 0)
            return std::nullopt;
        pollfd p{out_, POLLIN, 0};
        if (::poll(&p, 1, int(left)) <= 0)
            return std::nullopt;
        char buf[256];
        const ssize_t n = ::read(out_, buf, sizeof buf);
        if (n <= 0)
            return std::nullopt;
        buffer_.append(buf, std::size_t(n));
    }
}

bool Child::waitForLine(const std::string& line, std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
        const auto got = readLine(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
        if (!got)
            return false;
        if (*got == line)
            return true;
    }
    return false;
}

void Child::closeInput()
{
    if (in_ >= 0) {
        ::close(in_);
        in_ = -1;
    }
}

int Child::wait(std::chrono::milliseconds timeout)
{
    if (pid_ <= 0 || reaped_)
        return -1;
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            reaped_ = true;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (Clock::now() >= deadline) {
            kill();
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void Child::kill()
{
    if (pid_ <= 0 || reaped_)
        return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    reaped_ = true;
}

std::string probe()
{
    return TH_SHELL_PROBE;
}

std::string tharvest()
{
    return th::test::binDir() + "/tharvest";
}

} // namespace shell_test
