#pragma once
// Windows messages, message targets, named events, waits and process priority,
// as the system's code calls them. This core has no Qt, so that plugin modules
// and streaming code can use it; the Qt side (platform/win/MessageWindow.h)
// provides AllocateHWnd, whose targets live on the main thread's event loop.
//
// A window handle names a message target registered here. PostMessage may be
// called from any thread: it queues the message for the target's thread and
// never waits. A handle whose target is gone is refused (FALSE), never a crash.

#include "platform/base/WinTypes.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

using HANDLE = void*;
struct HWND__;
using HWND = HWND__*;
using HDEVNOTIFY = void*;

inline const HANDLE INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));

// Win32 error codes of this layer (GetLastError) that WinTypes.h does not list.
inline constexpr DWORD ERROR_INVALID_DATA = 13;
inline constexpr DWORD ERROR_NOT_SUPPORTED = 50;
inline constexpr DWORD ERROR_CALL_NOT_IMPLEMENTED = 120;
inline constexpr DWORD ERROR_ALREADY_EXISTS = 183;
inline constexpr DWORD ERROR_INVALID_WINDOW_HANDLE = 1400;
inline constexpr DWORD ERROR_NOT_ALL_ASSIGNED = 1300;
inline constexpr DWORD ERROR_NO_SUCH_PRIVILEGE = 1313;
inline constexpr DWORD ERROR_PRIVILEGE_NOT_HELD = 1314;

namespace th::win {
// Anything a kernel HANDLE can name (events, tokens). CloseHandle drops the
// handle's reference; users that still hold the object keep it alive.
class KernelObject {
public:
    virtual ~KernelObject() = default;
};
// Handles are never reused, so a closed handle stays invalid.
HANDLE RegisterHandleObject(std::shared_ptr<KernelObject> object);
std::shared_ptr<KernelObject> LookupHandleObject(HANDLE handle);
} // namespace th::win

// --- Messages ------------------------------------------------------------------

inline constexpr UINT WM_NULL = 0x0000;
inline constexpr UINT WM_DEVICECHANGE = 0x0219;
inline constexpr UINT WM_USER = 0x0400;
inline constexpr UINT WM_APP = 0x8000;

// The toolkit's message record, as a window method receives it.
struct TMessage {
    UINT Msg = 0;
    WPARAM WParam = 0;
    LPARAM LParam = 0;
    LRESULT Result = 0;
};
using TWndMethod = std::function<void(TMessage&)>;

BOOL PostMessage(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam);
// Like PostMessage, with a block of data that lives until the message has been
// handled; LParam points at its first byte while the target handles it.
BOOL PostMessageWithBlock(HWND wnd, UINT msg, WPARAM wParam, std::vector<std::byte> block);
// The answer of a window method to a message it does not handle: 0.
LRESULT DefWindowProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam);
// True while wnd names a living target.
BOOL IsWindow(HWND wnd);

namespace th::win {

// What a message target is to this core. post() is called on any thread and
// must queue the message (with its block) for the target's own thread.
class MessageSink {
public:
    virtual ~MessageSink() = default;
    virtual void post(const TMessage& msg, std::shared_ptr<std::vector<std::byte>> block) = 0;
};

// Registers a sink and returns its handle; Unregister makes the handle dead
// (later posts to it are refused) before the sink goes.
HWND RegisterMessageSink(MessageSink* sink);
void UnregisterMessageSink(HWND wnd);

} // namespace th::win

// --- Device notifications ----------------------------------------------------------

inline constexpr WPARAM DBT_DEVICEARRIVAL = 0x8000;
inline constexpr WPARAM DBT_DEVICEREMOVECOMPLETE = 0x8004;
inline constexpr DWORD DBT_DEVTYP_DEVICEINTERFACE = 5;
inline constexpr DWORD DEVICE_NOTIFY_WINDOW_HANDLE = 0;
inline constexpr DWORD DEVICE_NOTIFY_ALL_INTERFACE_CLASSES = 4;

struct DEV_BROADCAST_HDR {
    DWORD dbch_size;
    DWORD dbch_devicetype;
    DWORD dbch_reserved;
};

struct DEV_BROADCAST_DEVICEINTERFACE_A {
    DWORD dbcc_size;
    DWORD dbcc_devicetype;
    DWORD dbcc_reserved;
    GUID dbcc_classguid;
    char dbcc_name[1]; // the device's path, null-terminated, runs past the record
};
using DEV_BROADCAST_DEVICEINTERFACE = DEV_BROADCAST_DEVICEINTERFACE_A;

// The filter is a DEV_BROADCAST_DEVICEINTERFACE naming the interface class
// wanted (or any class with DEVICE_NOTIFY_ALL_INTERFACE_CLASSES).
HDEVNOTIFY RegisterDeviceNotification(HWND recipient, const void* filter, DWORD flags);
BOOL UnregisterDeviceNotification(HDEVNOTIFY handle);

namespace th::win {
// Sends WM_DEVICECHANGE(event, record) to every registered recipient whose
// filter matches the interface class, as the device manager does when a device
// interface arrives or leaves. Each recipient gets its own copy of the record.
void BroadcastDeviceInterfaceChange(WPARAM event, const GUID& interfaceClass, const std::string& devicePath);
} // namespace th::win

// --- Events and waits -----------------------------------------------------------------

inline constexpr DWORD INFINITE = 0xFFFFFFFFu;
inline constexpr DWORD WAIT_OBJECT_0 = 0;
inline constexpr DWORD WAIT_TIMEOUT = 258;
inline constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;

// An event with a name is one event for every opener of that name, in this
// process and in every other process of the user's session (the first opener's
// manual reset and initial state hold; later openers get ERROR_ALREADY_EXISTS).
// A session is the set of processes that share one THARVEST_REGISTRY_DIR (all
// of the user's processes when it is not set). The name is freed when its last
// process closes it, ends or dies. Without a name the event is private.
HANDLE CreateEventA(void* security, BOOL manualReset, BOOL initialState, const char* name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
BOOL CloseHandle(HANDLE handle);
DWORD GetLastError();
void SetLastError(DWORD err);

void Sleep(DWORD milliseconds);
DWORD GetTickCount();
ULONGLONG GetTickCount64();

// --- Processes -------------------------------------------------------------------------

inline constexpr DWORD IDLE_PRIORITY_CLASS = 0x40;
inline constexpr DWORD BELOW_NORMAL_PRIORITY_CLASS = 0x4000;
inline constexpr DWORD NORMAL_PRIORITY_CLASS = 0x20;
inline constexpr DWORD ABOVE_NORMAL_PRIORITY_CLASS = 0x8000;
inline constexpr DWORD HIGH_PRIORITY_CLASS = 0x80;
inline constexpr DWORD REALTIME_PRIORITY_CLASS = 0x100;

HANDLE GetCurrentProcess();
DWORD GetCurrentProcessId();
// The class maps to a nice value (HIGH is -10, NORMAL 0); a refused change
// (no privilege to raise it) is ignored and still answers TRUE.
BOOL SetPriorityClass(HANDLE process, DWORD priorityClass);
DWORD GetPriorityClass(HANDLE process);
