#pragma once
// The process token, the shutdown privilege and ExitWindowsEx. The machine is
// asked through a backend: by default systemd-logind over the system D-Bus
// (the privilege is held when CanPowerOff answers "yes" or "challenge"; the
// shutdown is PowerOff with interaction allowed). When the environment variable
// THARVEST_SHUTDOWN_COMMAND is set, that command (run by /bin/sh) replaces
// PowerOff and the privilege is held. Tests install their own backend.

#include "platform/win/Windows.h"

#include <memory>

inline constexpr DWORD TOKEN_ADJUST_PRIVILEGES = 0x0020;
inline constexpr DWORD TOKEN_QUERY = 0x0008;
inline constexpr DWORD SE_PRIVILEGE_ENABLED = 0x00000002;

inline constexpr UINT EWX_LOGOFF = 0x00000000;
inline constexpr UINT EWX_SHUTDOWN = 0x00000001;
inline constexpr UINT EWX_REBOOT = 0x00000002;
inline constexpr UINT EWX_FORCE = 0x00000004;
inline constexpr UINT EWX_POWEROFF = 0x00000008;
inline constexpr UINT EWX_FORCEIFHUNG = 0x00000010;

inline constexpr char SE_SHUTDOWN_NAME[] = "SeShutdownPrivilege";

struct LUID {
    DWORD LowPart;
    LONG HighPart;
};

struct LUID_AND_ATTRIBUTES {
    LUID Luid;
    DWORD Attributes;
};

struct TOKEN_PRIVILEGES {
    DWORD PrivilegeCount;
    LUID_AND_ATTRIBUTES Privileges[1]; // PrivilegeCount entries run past the struct
};
static_assert(sizeof(TOKEN_PRIVILEGES) == 16);

// The token of the current process (GetCurrentProcess()); close it with CloseHandle.
BOOL OpenProcessToken(HANDLE process, DWORD desiredAccess, HANDLE* token);
// Only the local system (null or empty name) is known.
BOOL LookupPrivilegeValueA(const char* systemName, const char* name, LUID* luid);
// Enabling a privilege that this user cannot hold fails with
// ERROR_PRIVILEGE_NOT_HELD (where Windows would answer TRUE with
// ERROR_NOT_ALL_ASSIGNED), so that a caller checking only the result sees the
// refusal. The previous state of the changed entries goes to previousState
// when its buffer is large enough.
BOOL AdjustTokenPrivileges(HANDLE token, BOOL disableAllPrivileges, const TOKEN_PRIVILEGES* newState,
                           DWORD bufferLength, TOKEN_PRIVILEGES* previousState, DWORD* returnLength);
// EWX_SHUTDOWN and EWX_POWEROFF switch the machine off (EWX_FORCE and
// EWX_FORCEIFHUNG are accepted and change nothing); they need the shutdown
// privilege enabled in the process token. Returns once the request is made.
BOOL ExitWindowsEx(UINT flags, DWORD reason);

namespace th::win {

class ShutdownBackend {
public:
    virtual ~ShutdownBackend() = default;
    // May this user switch the machine off (perhaps after asking for consent)?
    virtual bool canPowerOff() = 0;
    // Asks for the machine to be switched off; true when the request was accepted.
    virtual bool powerOff() = 0;
};

// Installs a backend and returns the one it replaces; null restores the default.
std::unique_ptr<ShutdownBackend> SetShutdownBackend(std::unique_ptr<ShutdownBackend> backend);
// The default backend (logind, or THARVEST_SHUTDOWN_COMMAND when set).
std::unique_ptr<ShutdownBackend> MakeDefaultShutdownBackend();

} // namespace th::win
