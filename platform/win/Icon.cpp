#include "platform/win/Icon.h"

#include <map>
#include <tuple>
#include <unordered_map>

#include "platform/win/Errors.h"
#include "platform/win/Mutex.h"
#include "platform/win/Text.h"

namespace win {
namespace {

struct IconTable {
    Mutex mutex;
    std::unordered_map<std::uintptr_t, IconInfo> icons GUARDED_BY(mutex);
    // Shared icons by (module, ordinal or upper-cased name).
    std::map<std::tuple<HMODULE, WORD, std::wstring>, HICON> shared GUARDED_BY(mutex);
    // Icon handles are never reused within a process.
    std::uintptr_t next GUARDED_BY(mutex) = 0x30010;
};
IconTable& Table() {
    static IconTable* table = new IconTable;
    return *table;
}

bool IsOrdinal(const WCHAR* name) {
    return (reinterpret_cast<std::uintptr_t>(name) >> 16) == 0;
}

// Describes the icon a load asks for; false with the last error set when
// the module can't give it.
bool Resolve(HINSTANCE instance, const WCHAR* name, IconInfo* info) {
    if (!name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    info->module = instance;
    info->isOrdinal = IsOrdinal(name);
    if (info->isOrdinal)
        info->id = static_cast<WORD>(reinterpret_cast<std::uintptr_t>(name));
    else
        info->name = name;
    if (!instance) {
        // Stock icons: ordinals 32512 to 32518.
        if (!info->isOrdinal || info->id < 32512 || info->id > 32518) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return false;
        }
        return true;
    }
    HRSRC found = FindResourceW(instance, name, RT_GROUP_ICON);
    if (found) {
        info->fromResource = true;
        return true;
    }
    DWORD error = GetLastError();
    if (error == ERROR_RESOURCE_TYPE_NOT_FOUND || error == ERROR_RESOURCE_DATA_NOT_FOUND)
        return true;  // the module carries no icons at all: accept the name
    return false;
}

HICON Register(IconTable& t, const IconInfo& info) REQUIRES(t.mutex) {
    auto icon = reinterpret_cast<HICON>(t.next);
    t.next += 4;
    t.icons.emplace(reinterpret_cast<std::uintptr_t>(icon), info);
    return icon;
}

HICON Load(HINSTANCE instance, const WCHAR* name, bool shared, int cx, int cy) {
    IconInfo info;
    if (!Resolve(instance, name, &info))
        return nullptr;
    info.shared = shared;
    info.cx = cx;
    info.cy = cy;
    IconTable& t = Table();
    MutexLock lock(t.mutex);
    if (!shared)
        return Register(t, info);
    std::wstring key = info.name;
    CharUpperBuffW(key.data(), static_cast<DWORD>(key.size()));
    auto k = std::make_tuple(info.module, info.id, key);
    auto it = t.shared.find(k);
    if (it != t.shared.end())
        return it->second;
    HICON icon = Register(t, info);
    t.shared.emplace(k, icon);
    return icon;
}

}  // namespace

std::optional<IconInfo> DescribeIcon(HICON icon) {
    IconTable& t = Table();
    MutexLock lock(t.mutex);
    auto it = t.icons.find(reinterpret_cast<std::uintptr_t>(icon));
    if (it == t.icons.end())
        return std::nullopt;
    return it->second;
}

}  // namespace win

HICON LoadIconW(HINSTANCE instance, const WCHAR* name) {
    return win::Load(instance, name, true, 0, 0);
}

HANDLE LoadImageW(HINSTANCE instance, const WCHAR* name, UINT type, int cx, int cy, UINT flags) {
    if (type != IMAGE_ICON || (flags & LR_LOADFROMFILE)) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    return win::Load(instance, name, (flags & LR_SHARED) != 0, cx, cy);
}

BOOL DestroyIcon(HICON icon) {
    win::IconTable& t = win::Table();
    win::MutexLock lock(t.mutex);
    auto it = t.icons.find(reinterpret_cast<std::uintptr_t>(icon));
    if (it == t.icons.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!it->second.shared)
        t.icons.erase(it);
    return TRUE;
}
