#include "platform/win/Gdi.h"

#include <map>

#include "platform/win/Mutex.h"

namespace win {
namespace {

struct GdiTable {
    Mutex mutex;
    std::map<std::uintptr_t, DeviceContextState> dcs GUARDED_BY(mutex);
    std::map<std::uintptr_t, HBITMAP> brushes GUARDED_BY(mutex);
    std::uintptr_t next GUARDED_BY(mutex) = 0xDC00000;
};
GdiTable& Gdi() {
    static auto* table = new GdiTable;
    return *table;
}

HDC NewDC(HWND window) {
    GdiTable& t = Gdi();
    MutexLock lock(t.mutex);
    std::uintptr_t handle = t.next;
    t.next += 4;
    DeviceContextState state;
    state.window = window;
    t.dcs[handle] = state;
    return reinterpret_cast<HDC>(handle);
}

}  // namespace

std::optional<DeviceContextState> DescribeDC(HDC dc) {
    GdiTable& t = Gdi();
    MutexLock lock(t.mutex);
    auto it = t.dcs.find(reinterpret_cast<std::uintptr_t>(dc));
    if (it == t.dcs.end())
        return std::nullopt;
    return it->second;
}

std::optional<HBITMAP> PatternOfBrush(HBRUSH brush) {
    GdiTable& t = Gdi();
    MutexLock lock(t.mutex);
    auto it = t.brushes.find(reinterpret_cast<std::uintptr_t>(brush));
    if (it == t.brushes.end())
        return std::nullopt;
    return it->second;
}

bool DeleteBrush(HGDIOBJ brush) {
    GdiTable& t = Gdi();
    MutexLock lock(t.mutex);
    return t.brushes.erase(reinterpret_cast<std::uintptr_t>(brush)) != 0;
}

}  // namespace win

HDC GetDC(HWND hwnd) {
    if (hwnd && !IsWindow(hwnd)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    return win::NewDC(hwnd);
}

int ReleaseDC(HWND, HDC dc) {
    return DeleteDC(dc);
}

HDC CreateCompatibleDC(HDC) {
    return win::NewDC(nullptr);
}

BOOL DeleteDC(HDC dc) {
    win::GdiTable& t = win::Gdi();
    win::MutexLock lock(t.mutex);
    return t.dcs.erase(reinterpret_cast<std::uintptr_t>(dc)) ? TRUE : FALSE;
}

HBITMAP CreateCompatibleBitmap(HDC dc, int width, int height) {
    if (!win::DescribeDC(dc)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return CreateBitmap(width, height, 1, 32, nullptr);
}

HGDIOBJ SelectObject(HDC dc, HGDIOBJ object) {
    bool isBrush = win::PatternOfBrush(static_cast<HBRUSH>(object)).has_value();
    bool isBitmap = win::DescribeBitmap(static_cast<HBITMAP>(object)).has_value();
    win::GdiTable& t = win::Gdi();
    win::MutexLock lock(t.mutex);
    auto it = t.dcs.find(reinterpret_cast<std::uintptr_t>(dc));
    if (it == t.dcs.end() || (!isBrush && !isBitmap))
        return nullptr;
    HGDIOBJ& slot = isBrush ? it->second.selectedBrush : it->second.selectedBitmap;
    HGDIOBJ old = slot;
    slot = object;
    return old;
}

int SetBkMode(HDC dc, int mode) {
    if (mode != TRANSPARENT && mode != OPAQUE)
        return 0;
    win::GdiTable& t = win::Gdi();
    win::MutexLock lock(t.mutex);
    auto it = t.dcs.find(reinterpret_cast<std::uintptr_t>(dc));
    if (it == t.dcs.end())
        return 0;
    int old = it->second.bkMode;
    it->second.bkMode = mode;
    return old;
}

int GetBkMode(HDC dc) {
    auto state = win::DescribeDC(dc);
    return state ? state->bkMode : 0;
}

BOOL SetBrushOrgEx(HDC dc, int x, int y, POINT* previous) {
    win::GdiTable& t = win::Gdi();
    win::MutexLock lock(t.mutex);
    auto it = t.dcs.find(reinterpret_cast<std::uintptr_t>(dc));
    if (it == t.dcs.end())
        return FALSE;
    if (previous)
        *previous = it->second.brushOrigin;
    it->second.brushOrigin = POINT{x, y};
    return TRUE;
}

HBRUSH CreatePatternBrush(HBITMAP bitmap) {
    if (!win::DescribeBitmap(bitmap)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    win::GdiTable& t = win::Gdi();
    win::MutexLock lock(t.mutex);
    std::uintptr_t handle = t.next;
    t.next += 4;
    t.brushes[handle] = bitmap;
    return reinterpret_cast<HBRUSH>(handle);
}
