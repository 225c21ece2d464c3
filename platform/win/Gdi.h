// Device contexts and brushes, as far as the pages' colour answers and
// background capture use them. A device context keeps its background mode
// and colour, text colour, brush origin and the objects selected into it
// (bitmap, brush, font); a memory context draws onto its selected bitmap,
// a window's context into a picture of the window being made (Paint.h,
// WindowPicture.h). A brush is a solid colour, a system colour or a pattern
// of a bitmap. All calls are thread-safe.
#pragma once

#include <optional>

#include "platform/win/Bitmap.h"
#include "platform/win/Controls.h"
#include "platform/win/Types.h"
#include "platform/win/Window.h"

constexpr int TRANSPARENT = 1;
constexpr int OPAQUE = 2;

constexpr UINT WM_PRINTCLIENT = 0x0318;
constexpr LPARAM PRF_CHECKVISIBLE = 0x00000001;
constexpr LPARAM PRF_NONCLIENT = 0x00000002;
constexpr LPARAM PRF_CLIENT = 0x00000004;
constexpr LPARAM PRF_ERASEBKGND = 0x00000008;
constexpr LPARAM PRF_CHILDREN = 0x00000010;

// A device context of a window (GetDC) or in memory (CreateCompatibleDC);
// null for a bad window. Free with ReleaseDC / DeleteDC.
HDC GetDC(HWND hwnd);
int ReleaseDC(HWND hwnd, HDC dc);
HDC CreateCompatibleDC(HDC dc);
BOOL DeleteDC(HDC dc);
// A bitmap of that size in the context's depth (32 bits here).
HBITMAP CreateCompatibleBitmap(HDC dc, int width, int height);
// The previous object of that kind (bitmap, brush or font; null the first
// time); null for a bad context or an object of no such kind.
HGDIOBJ SelectObject(HDC dc, HGDIOBJ object);
// The previous mode; 0 for a bad context or mode.
int SetBkMode(HDC dc, int mode);
int GetBkMode(HDC dc);
// *previous (may be null) gets the old origin. FALSE for a bad context.
BOOL SetBrushOrgEx(HDC dc, int x, int y, POINT* previous);
// A brush painting with the bitmap (which stays the caller's); null for a
// value that is no bitmap. Free with DeleteObject.
HBRUSH CreatePatternBrush(HBITMAP bitmap);

namespace win {

struct DeviceContextState {
    HWND window = nullptr;  // GetDC's window, null for memory contexts
    int bkMode = OPAQUE;
    POINT brushOrigin{0, 0};
    HGDIOBJ selectedBitmap = nullptr;
    HGDIOBJ selectedBrush = nullptr;
    HGDIOBJ selectedFont = nullptr;
    COLORREF textColour = 0x000000;
    COLORREF bkColour = 0xFFFFFF;
};
std::optional<DeviceContextState> DescribeDC(HDC dc);
// The bitmap of a pattern brush; nullopt for a value that is no live
// pattern brush.
std::optional<HBITMAP> PatternOfBrush(HBRUSH brush);
// What a brush paints: a colour (solid and system-colour brushes, and the
// class-background values COLOR_* + 1) or a bitmap's pattern. False for a
// value that is no brush.
struct BrushInfo {
    bool pattern = false;
    COLORREF colour = 0;
    HBITMAP bitmap = nullptr;
};
bool DescribeBrush(HBRUSH brush, BrushInfo* info);
// A stock brush of a system colour (Paint.h's GetSysColorBrush).
HBRUSH SystemColourBrush(int index);
// For Paint.h: the new solid brush.
HBRUSH MakeSolidBrush(COLORREF colour);
// Sets the text or background colour of a context; the previous one, or
// nullopt for a bad context.
std::optional<COLORREF> SetDCColour(HDC dc, bool text, COLORREF colour);
// A device context of the window for drawing (BeginPaint, GetDC).
HDC WindowDC(HWND window);
// Frees a brush of this file (DeleteObject's other half); false for any
// other value.
bool DeleteBrush(HGDIOBJ brush);

}  // namespace win
