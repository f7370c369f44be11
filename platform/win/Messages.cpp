// The table of message targets and the device-interface notifications.
#include "platform/win/Windows.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_map>

namespace {

// Posts hold the lock while they queue (which never blocks), so a target is never reached
// after Unregister has returned.
std::mutex gSinksMutex;
std::unordered_map<std::uintptr_t, th::win::MessageSink*>& sinks()
{
    static auto* table = new std::unordered_map<std::uintptr_t, th::win::MessageSink*>;
    return *table;
}
std::atomic<std::uintptr_t> gNextWindow{0x10000};

BOOL postToSink(HWND wnd, const TMessage& msg, std::shared_ptr<std::vector<std::byte>> block)
{
    std::lock_guard lock(gSinksMutex);
    auto it = sinks().find(reinterpret_cast<std::uintptr_t>(wnd));
    if (it == sinks().end()) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    try {
        it->second->post(msg, std::move(block));
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    return TRUE;
}

struct DeviceRegistration {
    HWND recipient;
    bool allClasses;
    GUID interfaceClass;
};
std::mutex gDevicesMutex;
std::unordered_map<std::uintptr_t, DeviceRegistration>& deviceRegistrations()
{
    static auto* table = new std::unordered_map<std::uintptr_t, DeviceRegistration>;
    return *table;
}
std::atomic<std::uintptr_t> gNextNotify{0x20000};

constexpr std::size_t kInterfaceHeaderSize = offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name);

} // namespace

namespace th::win {

HWND RegisterMessageSink(MessageSink* sink)
{
    if (!sink)
        return nullptr;
    const std::uintptr_t id = gNextWindow.fetch_add(4, std::memory_order_relaxed);
    std::lock_guard lock(gSinksMutex);
    sinks().emplace(id, sink);
    return reinterpret_cast<HWND>(id);
}

void UnregisterMessageSink(HWND wnd)
{
    std::lock_guard lock(gSinksMutex);
    sinks().erase(reinterpret_cast<std::uintptr_t>(wnd));
}

void BroadcastDeviceInterfaceChange(WPARAM event, const GUID& interfaceClass, const std::string& devicePath)
{
    // The record as the device manager hands it out: header, class, then the
    // device's path running past the declared struct.
    const std::size_t size = std::max(sizeof(DEV_BROADCAST_DEVICEINTERFACE_A), kInterfaceHeaderSize + devicePath.size() + 1);
    std::vector<std::byte> record(size);
    DEV_BROADCAST_DEVICEINTERFACE_A head{};
    head.dbcc_size = static_cast<DWORD>(size);
    head.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    head.dbcc_classguid = interfaceClass;
    std::memcpy(record.data(), &head, kInterfaceHeaderSize);
    std::memcpy(record.data() + kInterfaceHeaderSize, devicePath.c_str(), devicePath.size() + 1);

    std::vector<HWND> recipients;
    {
        std::lock_guard lock(gDevicesMutex);
        for (const auto& [id, reg] : deviceRegistrations())
            if (reg.allClasses || reg.interfaceClass == interfaceClass)
                recipients.push_back(reg.recipient);
    }
    for (HWND wnd : recipients)
        PostMessageWithBlock(wnd, WM_DEVICECHANGE, event, record); // a recipient that is gone is skipped
}

} // namespace th::win

BOOL PostMessage(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    return postToSink(wnd, TMessage{msg, wParam, lParam, 0}, nullptr);
}

BOOL PostMessageWithBlock(HWND wnd, UINT msg, WPARAM wParam, std::vector<std::byte> block)
{
    std::shared_ptr<std::vector<std::byte>> owned;
    try {
        owned = std::make_shared<std::vector<std::byte>>(std::move(block));
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    // The vector is never touched again, so its bytes stay where LParam points.
    const LPARAM lParam = reinterpret_cast<LPARAM>(owned->data());
    return postToSink(wnd, TMessage{msg, wParam, lParam, 0}, std::move(owned));
}

LRESULT DefWindowProc(HWND, UINT, WPARAM, LPARAM)
{
    return 0;
}

BOOL IsWindow(HWND wnd)
{
    std::lock_guard lock(gSinksMutex);
    return sinks().count(reinterpret_cast<std::uintptr_t>(wnd)) ? TRUE : FALSE;
}

HDEVNOTIFY RegisterDeviceNotification(HWND recipient, const void* filter, DWORD flags)
{
    // Only window recipients exist here; service handles (1) are not served.
    if ((flags & ~DEVICE_NOTIFY_ALL_INTERFACE_CLASSES) != DEVICE_NOTIFY_WINDOW_HANDLE || !filter) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (!IsWindow(recipient)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    DEV_BROADCAST_HDR hdr;
    std::memcpy(&hdr, filter, sizeof hdr);
    if (hdr.dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE || hdr.dbch_size < kInterfaceHeaderSize) {
        SetLastError(ERROR_INVALID_DATA);
        return nullptr;
    }
    DeviceRegistration reg{recipient, (flags & DEVICE_NOTIFY_ALL_INTERFACE_CLASSES) != 0, GUID{}};
    std::memcpy(&reg.interfaceClass,
                static_cast<const std::byte*>(filter) + offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_classguid),
                sizeof(GUID));
    const std::uintptr_t id = gNextNotify.fetch_add(4, std::memory_order_relaxed);
    std::lock_guard lock(gDevicesMutex);
    deviceRegistrations().emplace(id, reg);
    return reinterpret_cast<HDEVNOTIFY>(id);
}

BOOL UnregisterDeviceNotification(HDEVNOTIFY handle)
{
    std::lock_guard lock(gDevicesMutex);
    if (deviceRegistrations().erase(reinterpret_cast<std::uintptr_t>(handle)) == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}
