// The list is read and rewritten under an exclusive flock, so two programs
// starting at the same moment see each other in one order. The asking side
// uses a plain Unix socket because it runs before any Qt application exists.
#include "platform/win/SingleInstance.h"

#include <QByteArray>
#include <QLocalServer>
#include <QLocalSocket>
#include <QObject>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <sstream>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr char kRequest[] = "activate\n";
constexpr char kAnswer[] = "ok\n";
// sun_path holds 108 bytes with its terminating zero; keep a margin.
constexpr std::size_t kMaxSocketPath = 100;

struct Entry {
    long pid = 0;
    unsigned long long start = 0;
    std::string socket;
};

std::string homeFolder()
{
    if (const char* h = std::getenv("HOME"); h && *h)
        return h;
    struct passwd pw;
    struct passwd* found = nullptr;
    std::vector<char> buf(16384);
    if (getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &found) == 0 && found)
        return found->pw_dir;
    return "/tmp";
}

void makeFolders(const std::string& path)
{
    for (std::size_t i = 1; i <= path.size(); ++i)
        if (i == path.size() || path[i] == '/')
            ::mkdir(path.substr(0, i).c_str(), 0700);
}

// State and start time of a process from /proc; false when it is gone.
bool processStat(long pid, char& state, unsigned long long& start)
{
    char name[64];
    std::snprintf(name, sizeof name, "/proc/%ld/stat", pid);
    FILE* f = std::fopen(name, "re");
    if (!f)
        return false;
    char buf[1024];
    const std::size_t n = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    buf[n] = 0;
    // The command name sits in parentheses and may hold blanks.
    const char* p = std::strrchr(buf, ')');
    if (!p)
        return false;
    std::istringstream rest(p + 1);
    std::string field;
    rest >> state;
    // Fields 4 to 21, then the start time (field 22).
    for (int i = 4; i <= 21 && rest >> field; ++i) {
    }
    return bool(rest >> start);
}

bool alive(const Entry& e)
{
    if (e.pid <= 0)
        return false;
    if (::kill(pid_t(e.pid), 0) != 0 && errno != EPERM)
        return false;
    char state = 0;
    unsigned long long start = 0;
    if (!processStat(e.pid, state, start))
        return ::kill(pid_t(e.pid), 0) == 0 || errno == EPERM; // no /proc: trust the signal test
    // A process that has ended but is not yet reaped is no instance any more.
    if (state == 'Z' || state == 'X')
        return false;
    return e.start == 0 || e.start == start;
}

std::vector<Entry> parse(const std::string& text)
{
    std::vector<Entry> entries;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        Entry e;
        if (fields >> e.pid >> e.start) {
            fields >> std::ws;
            std::getline(fields, e.socket);
            entries.push_back(e);
        }
    }
    return entries;
}

std::string format(const std::vector<Entry>& entries)
{
    std::string text;
    for (const Entry& e : entries)
        text += std::to_string(e.pid) + " " + std::to_string(e.start) + " " + e.socket + "\n";
    return text;
}

// Runs Change on the living entries under the list's lock and writes the
// result back. False when the list cannot be opened.
template <class F>
bool updateList(const std::string& file, F change)
{
    const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    if (::flock(fd, LOCK_EX) != 0) {
        ::close(fd);
        return false;
    }
    std::string text;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0)
        text.append(buf, std::size_t(n));
    std::vector<Entry> living;
    for (const Entry& e : parse(text))
        if (e.pid != long(::getpid()) && alive(e))
            living.push_back(e);
    change(living);
    const std::string out = format(living);
    bool ok = ::ftruncate(fd, 0) == 0;
    for (std::size_t done = 0; ok && done < out.size();) {
        const ssize_t w = ::pwrite(fd, out.data() + done, out.size() - done, off_t(done));
        if (w <= 0)
            ok = false;
        else
            done += std::size_t(w);
    }
    ::flock(fd, LOCK_UN);
    ::close(fd);
    return ok;
}

std::string tempFolder()
{
    const char* t = std::getenv("TMPDIR");
    return t && *t ? t : "/tmp";
}

// Removes the sockets that instances killed before they could end left in
// Folder ("<prefix><pid>.sock"). Only sockets of this user go: the folder
// may hold anything else.
void removeLeftSockets(const std::string& folder, const std::string& prefix)
{
    DIR* dir = ::opendir(folder.c_str());
    if (!dir)
        return;
    const std::string suffix = ".sock";
    while (const dirent* d = ::readdir(dir)) {
        const std::string name = d->d_name;
        if (name.size() <= prefix.size() + suffix.size() || name.compare(0, prefix.size(), prefix) != 0 ||
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
            continue;
        const std::string pid = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
        if (pid.size() > 18 || pid.find_first_not_of("0123456789") != std::string::npos)
            continue;
        // Any running process of that number may still own it (another
        // session's instance shares the temporary folder).
        Entry owner;
        owner.pid = std::stol(pid);
        if (owner.pid == long(::getpid()) || alive(owner))
            continue;
        const std::string path = folder + "/" + name;
        struct stat st;
        if (::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) && st.st_uid == ::getuid())
            ::unlink(path.c_str());
    }
    ::closedir(dir);
}

using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? int(left) : 0;
}

} // namespace

namespace th::win {

std::string InstanceFolder()
{
    std::string folder;
    if (const char* dir = std::getenv("THARVEST_REGISTRY_DIR"); dir && *dir)
        folder = dir;
    else if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && *config == '/')
        folder = std::string(config) + "/tharvest";
    else
        folder = homeFolder() + "/.config/tharvest";
    makeFolders(folder);
    return folder;
}

SingleInstance::SingleInstance(const QString& Program)
{
    const std::string program = Program.toStdString();
    const std::string folder = InstanceFolder();
    FListFile = folder + "/" + program + ".instances";
    const std::string pid = std::to_string(::getpid());
    FSocketPath = folder + "/" + program + "-" + pid + ".sock";
    if (FSocketPath.size() > kMaxSocketPath)
        FSocketPath = tempFolder() + "/" + program + "-" + std::to_string(::getuid()) + "-" + pid + ".sock";

    Entry self;
    self.pid = long(::getpid());
    char state = 0;
    processStat(self.pid, state, self.start);
    self.socket = FSocketPath;
    FRegistered = updateList(FListFile, [&](std::vector<Entry>& living) {
        if (!living.empty())
            FFirstSocket = living.front().socket;
        removeLeftSockets(folder, program + "-");
        removeLeftSockets(tempFolder(), program + "-" + std::to_string(::getuid()) + "-");
        living.push_back(self);
    });
}

SingleInstance::~SingleInstance()
{
    StopListening();
    if (FRegistered)
        updateList(FListFile, [](std::vector<Entry>&) {});
}

bool SingleInstance::ActivateFirst(int TimeoutMs) const
{
    if (FFirstSocket.empty() || FFirstSocket.size() >= sizeof(sockaddr_un::sun_path))
        return false;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(TimeoutMs);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, FFirstSocket.c_str(), FFirstSocket.size() + 1);
    for (;;) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return false;
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) {
            bool ok = ::send(fd, kRequest, sizeof kRequest - 1, MSG_NOSIGNAL) == ssize_t(sizeof kRequest - 1);
            std::string answer;
            while (ok && answer.find('\n') == std::string::npos) {
                pollfd p{fd, POLLIN, 0};
                if (::poll(&p, 1, remainingMs(deadline)) <= 0)
                    break;
                char buf[16];
                const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
                if (n <= 0)
                    break;
                answer.append(buf, std::size_t(n));
            }
            ::close(fd);
            return answer == kAnswer;
        }
        ::close(fd);
        // The first instance may have registered without listening yet.
        if (remainingMs(deadline) == 0)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

void SingleInstance::StopListening()
{
    if (!FServer)
        return;
    FServer->close();
    FServer.reset();
}

bool SingleInstance::Listen(std::function<void()> OnActivate)
{
    FOnActivate = std::move(OnActivate);
    FServer = std::make_unique<QLocalServer>();
    FServer->setSocketOptions(QLocalServer::UserAccessOption);
    const QString path = QString::fromStdString(FSocketPath);
    QLocalServer::removeServer(path);
    if (!FServer->listen(path)) {
        FServer.reset();
        return false;
    }
    QObject::connect(FServer.get(), &QLocalServer::newConnection, FServer.get(), [this] {
        while (QLocalSocket* socket = FServer->nextPendingConnection()) {
            QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            QObject::connect(socket, &QLocalSocket::readyRead, socket, [this, socket] {
                if (!socket->canReadLine())
                    return;
                const QByteArray line = socket->readLine();
                if (line == kRequest) {
                    socket->write(kAnswer);
                    socket->flush();
                    if (FOnActivate)
                        FOnActivate();
                }
                socket->disconnectFromServer();
            });
        }
    });
    return true;
}

} // namespace th::win
