#include "platform/win/Handle.h"

#include <mutex>
#include <unordered_map>

#include "platform/win/Errors.h"

namespace win {
namespace {

std::mutex g_mutex;
std::unordered_map<std::uintptr_t, std::shared_ptr<HandleObject>> g_table;
// Handle values are multiples of 4 starting at 0x1000, as kernel handles are;
// they are never reused within a process, so a stale handle stays invalid.
std::uintptr_t g_next = 0x1000;

}  // namespace

HANDLE RegisterHandle(std::shared_ptr<HandleObject> object) {
    std::lock_guard lock(g_mutex);
    std::uintptr_t value = g_next;
    g_next += 4;
    g_table.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<HandleObject> LookupHandle(HANDLE handle) {
    std::lock_guard lock(g_mutex);
    auto it = g_table.find(reinterpret_cast<std::uintptr_t>(handle));
    return it == g_table.end() ? nullptr : it->second;
}

bool UnregisterHandle(HANDLE handle) {
    std::shared_ptr<HandleObject> dropped;  // destroyed outside the lock
    std::lock_guard lock(g_mutex);
    auto it = g_table.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == g_table.end()) return false;
    dropped = std::move(it->second);
    g_table.erase(it);
    return true;
}

}  // namespace win

BOOL CloseHandle(HANDLE handle) {
    if (!win::UnregisterHandle(handle)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD timeoutMs) {
    auto object = win::LookupHandle(handle);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    return object->Wait(timeoutMs);
}
