// The kernel handle table and the thread's last error.
#include "platform/win/Windows.h"

#include <atomic>
#include <mutex>
#include <unordered_map>

namespace {

std::mutex gHandlesMutex;
std::unordered_map<std::uintptr_t, std::shared_ptr<th::win::KernelObject>>& handles()
{
    static auto* table = new std::unordered_map<std::uintptr_t, std::shared_ptr<th::win::KernelObject>>;
    return *table; // never destroyed: handles may be closed from static destructors
}
// Multiples of 4 as on Windows; starting high keeps them apart from small
// integers that a caller might mistake for handles.
std::atomic<std::uintptr_t> gNextHandle{0x1000};

thread_local DWORD tLastError = 0;

} // namespace

namespace th::win {

HANDLE RegisterHandleObject(std::shared_ptr<KernelObject> object)
{
    if (!object)
        return nullptr;
    const std::uintptr_t id = gNextHandle.fetch_add(4, std::memory_order_relaxed);
    std::lock_guard lock(gHandlesMutex);
    handles().emplace(id, std::move(object));
    return reinterpret_cast<HANDLE>(id);
}

std::shared_ptr<KernelObject> LookupHandleObject(HANDLE handle)
{
    std::lock_guard lock(gHandlesMutex);
    auto it = handles().find(reinterpret_cast<std::uintptr_t>(handle));
    return it == handles().end() ? nullptr : it->second;
}

} // namespace th::win

BOOL CloseHandle(HANDLE handle)
{
    std::shared_ptr<th::win::KernelObject> object;
    {
        std::lock_guard lock(gHandlesMutex);
        auto it = handles().find(reinterpret_cast<std::uintptr_t>(handle));
        if (it == handles().end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        object = std::move(it->second);
        handles().erase(it);
    }
    // The object may do real work when it goes (a named event leaves its
    // shared segment); that happens outside the table's lock.
    object.reset();
    return TRUE;
}

DWORD GetLastError()
{
    return tLastError;
}

void SetLastError(DWORD err)
{
    tLastError = err;
}
