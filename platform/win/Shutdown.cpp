// The process token holds one privilege that matters here, the shutdown
// privilege; its enabled state is the process's, whichever token handle
// changed it, as all handles name the one token of the process.
#include "platform/win/Shutdown.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <strings.h>

namespace {

constexpr DWORD ERROR_INSUFFICIENT_BUFFER_CODE = 122;
constexpr LUID kShutdownLuid{19, 0};
constexpr int kLogindTimeoutMs = 10000;

std::atomic<bool> gShutdownEnabled{false};

class TokenObject final : public th::win::KernelObject {
public:
    explicit TokenObject(DWORD access) : access(access) {}
    const DWORD access;
};

const char* shutdownCommand()
{
    const char* cmd = std::getenv("THARVEST_SHUTDOWN_COMMAND");
    return cmd && *cmd ? cmd : nullptr;
}

class LogindBackend final : public th::win::ShutdownBackend {
public:
    bool canPowerOff() override
    {
        if (shutdownCommand())
            return true;
        QDBusConnection bus = QDBusConnection::systemBus();
        if (!bus.isConnected())
            return false;
        QDBusMessage call = QDBusMessage::createMethodCall(
            "org.freedesktop.login1", "/org/freedesktop/login1", "org.freedesktop.login1.Manager", "CanPowerOff");
        const QDBusMessage reply = bus.call(call, QDBus::Block, kLogindTimeoutMs);
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
            return false;
        const QString answer = reply.arguments().first().toString();
        return answer == "yes" || answer == "challenge";
    }

    bool powerOff() override
    {
        if (const char* cmd = shutdownCommand())
            return QProcess::startDetached("/bin/sh", {"-c", QString::fromLocal8Bit(cmd)});
        QDBusConnection bus = QDBusConnection::systemBus();
        if (!bus.isConnected())
            return false;
        QDBusMessage call = QDBusMessage::createMethodCall(
            "org.freedesktop.login1", "/org/freedesktop/login1", "org.freedesktop.login1.Manager", "PowerOff");
        call << true; // interactive: logind may ask the user for consent
        const QDBusMessage reply = bus.call(call, QDBus::Block, kLogindTimeoutMs);
        return reply.type() == QDBusMessage::ReplyMessage;
    }
};

std::mutex gBackendMutex;
std::unique_ptr<th::win::ShutdownBackend> gBackend;

th::win::ShutdownBackend& backendLocked()
{
    if (!gBackend)
        gBackend = th::win::MakeDefaultShutdownBackend();
    return *gBackend;
}

bool sameLuid(const LUID& a, const LUID& b)
{
    return a.LowPart == b.LowPart && a.HighPart == b.HighPart;
}

} // namespace

namespace th::win {

std::unique_ptr<ShutdownBackend> SetShutdownBackend(std::unique_ptr<ShutdownBackend> backend)
{
    std::lock_guard lock(gBackendMutex);
    std::unique_ptr<ShutdownBackend> old = std::move(gBackend);
    gBackend = backend ? std::move(backend) : MakeDefaultShutdownBackend();
    return old;
}

std::unique_ptr<ShutdownBackend> MakeDefaultShutdownBackend()
{
    return std::make_unique<LogindBackend>();
}

} // namespace th::win

BOOL OpenProcessToken(HANDLE process, DWORD desiredAccess, HANDLE* token)
{
    if (!token) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *token = nullptr;
    if (process != GetCurrentProcess()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *token = th::win::RegisterHandleObject(std::make_shared<TokenObject>(desiredAccess));
    return *token ? TRUE : FALSE;
}

BOOL LookupPrivilegeValueA(const char* systemName, const char* name, LUID* luid)
{
    if (!name || !luid) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (systemName && *systemName) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    if (strcasecmp(name, SE_SHUTDOWN_NAME) != 0) {
        SetLastError(ERROR_NO_SUCH_PRIVILEGE);
        return FALSE;
    }
    *luid = kShutdownLuid;
    return TRUE;
}

BOOL AdjustTokenPrivileges(HANDLE token, BOOL disableAllPrivileges, const TOKEN_PRIVILEGES* newState,
                           DWORD bufferLength, TOKEN_PRIVILEGES* previousState, DWORD* returnLength)
{
    auto tok = std::dynamic_pointer_cast<TokenObject>(th::win::LookupHandleObject(token));
    if (!tok) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!(tok->access & TOKEN_ADJUST_PRIVILEGES) || (previousState && !(tok->access & TOKEN_QUERY))) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (!disableAllPrivileges && !newState) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }

    bool wanted = false;
    if (!disableAllPrivileges) {
        const LUID_AND_ATTRIBUTES* entries = newState->Privileges;
        bool named = false;
        for (DWORD i = 0; i < newState->PrivilegeCount; ++i) {
            if (!sameLuid(entries[i].Luid, kShutdownLuid)) {
                SetLastError(ERROR_NO_SUCH_PRIVILEGE);
                return FALSE;
            }
            named = true;
            wanted = (entries[i].Attributes & SE_PRIVILEGE_ENABLED) != 0;
        }
        if (!named)
            wanted = gShutdownEnabled.load();
    }

    const bool before = gShutdownEnabled.load();
    const bool changes = wanted != before;
    const DWORD needed = static_cast<DWORD>(offsetof(TOKEN_PRIVILEGES, Privileges) + (changes ? sizeof(LUID_AND_ATTRIBUTES) : 0));
    if (returnLength)
        *returnLength = needed;
    if (previousState && bufferLength < needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER_CODE);
        return FALSE;
    }
    if (wanted && !before) {
        bool granted;
        {
            std::lock_guard lock(gBackendMutex);
            granted = backendLocked().canPowerOff();
        }
        if (!granted) {
            SetLastError(ERROR_PRIVILEGE_NOT_HELD);
            return FALSE;
        }
    }
    gShutdownEnabled.store(wanted);
    if (previousState) {
        previousState->PrivilegeCount = changes ? 1 : 0;
        if (changes)
            previousState->Privileges[0] = LUID_AND_ATTRIBUTES{kShutdownLuid, before ? SE_PRIVILEGE_ENABLED : 0};
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL ExitWindowsEx(UINT flags, DWORD reason)
{
    const UINT action = flags & ~(EWX_FORCE | EWX_FORCEIFHUNG);
    if (action == 0 || (action & ~(EWX_SHUTDOWN | EWX_POWEROFF)) != 0) {
        SetLastError(ERROR_NOT_SUPPORTED); // log-off and restart are not offered here
        return FALSE;
    }
    if (!gShutdownEnabled.load()) {
        SetLastError(ERROR_PRIVILEGE_NOT_HELD);
        return FALSE;
    }
    bool accepted;
    {
        std::lock_guard lock(gBackendMutex);
        accepted = backendLocked().powerOff();
    }
    if (!accepted) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return TRUE;
}
