#include "platform/win/Gdi.h"

#include <map>

#include "platform/win/Font.h"
#include "platform/win/Mutex.h"
#include "platform/win/PaintSupport.h"

namespace win {
namespace {

// Class backgrounds name a system colour as COLOR_* + 1 in the brush value.
constexpr std::uintptr_t kLastSystemColourValue = 31;
// Stock system-colour brushes: kSystemBrushBase + index.
constexpr std::uintptr_t kSystemBrushBase = 0xB500000;

struct GdiTable {
    Mutex mutex;
    std::map<std::uintptr_t, DeviceContextState> dcs GUARDED_BY(mutex);
    std::map<std::uintptr_t, BrushInfo> brushes GUARDED_BY(mutex);
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

HBRUSH NewBrush(const BrushInfo& info) {
    GdiTable& t = Gdi();
    MutexLock lock(t.mutex);
    std::uintptr_t handle = t.next;
    t.next += 4;
    t.brushes[handle] = info;
    return reinterpret_cast<HBRUSH>(handle);
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

bool DescribeBrush(HBRUSH brush, BrushInfo* info) {
    auto value = reinterpret_cast<std::uintptr_t>(brush);
    BrushInfo found;
    if (value >= 1 && value <= kLastSystemColourValue) {
        found.colour = paint::SystemColour(static_cast<int>(value - 1));
    } else if (value >= kSystemBrushBase && value <= kSystemBrushBase + kLastSystemColourValue) {
        found.colour = paint::SystemColour(static_cast<int>(value - kSystemBrushBase));
    } else {
        GdiTable& t = Gdi();
        MutexLock lock(t.mutex);
        auto it = t.brushes.find(value);
        if (it == t.brushes.end())
            return false;
        found = it->second;
    }
    if (info)
        *info = found;
    return true;
}

std::optional<HBITMAP> PatternOfBrush(HBRUSH brush) {
    BrushInfo info;
    if (!DescribeBrush(brush, &info) || !info.pattern)
        return std::nullopt;
    return info.bitmap;
}

bool DeleteBrush(HGDIOBJ brush) {
    auto value = reinterpret_cast<std::uintptr_t>(brush);
    if (value >= kSystemBrushBase && value <= kSystemBrushBase + kLastSystemColourValue)
        return true;  // stock: stays
    GdiTable& t = Gdi();
    MutexLock lock(t.mutex);
    return t.brushes.erase(value) != 0;
}

HBRUSH SystemColourBrush(int index) {
    if (index < 0 || static_cast<std::uintptr_t>(index) > kLastSystemColourValue)
        return nullptr;
    return reinterpret_cast<HBRUSH>(kSystemBrushBase + static_cast<std::uintptr_t>(index));
}

HBRUSH MakeSolidBrush(COLORREF colour) {
    BrushInfo info;
    info.colour = colour & 0xFFFFFF;
    return NewBrush(info);
}

std::optional<COLORREF> SetDCColour(HDC dc, bool text, COLORREF colour) {
    GdiTable& t = Gdi();
    MutexLock lock(t.mutex);
    auto it = t.dcs.find(reinterpret_cast<std::uintptr_t>(dc));
    if (it == t.dcs.end())
        return std::nullopt;
    COLORREF& slot = text ? it->second.textColour : it->second.bkColour;
    COLORREF old = slot;
    slot = colour & 0xFFFFFF;
    return old;
}

HDC WindowDC(HWND window) {
    return NewDC(window);
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
    bool isBrush = win::DescribeBrush(static_cast<HBRUSH>(object), nullptr);
    bool isBitmap = !isBrush && win::DescribeBitmap(static_cast<HBITMAP>(object)).has_value();
    bool isFont = !isBrush && !isBitmap && win::DescribeFont(static_cast<HFONT>(object));
    if (!isFont && object == GetStockObject(DEFAULT_GUI_FONT))
        isFont = true;
    win::GdiTable& t = win::Gdi();
    win::MutexLock lock(t.mutex);
    auto it = t.dcs.find(reinterpret_cast<std::uintptr_t>(dc));
    if (it == t.dcs.end() || (!isBrush && !isBitmap && !isFont))
        return nullptr;
    HGDIOBJ& slot = isBrush    ? it->second.selectedBrush
                    : isBitmap ? it->second.selectedBitmap
                               : it->second.selectedFont;
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
    win::BrushInfo info;
    info.pattern = true;
    info.bitmap = bitmap;
    return win::NewBrush(info);
}
