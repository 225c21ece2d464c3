// Bitmaps: loaded from a module's RT_BITMAP resources or made in memory,
// with their size, colour depth and pixels (decoded from the resource's
// device-independent bitmap; a memory bitmap starts black), which image
// lists, pattern brushes, picture statics and memory device contexts draw
// with. Thread-safe.
#pragma once

#include <optional>

#include "platform/win/Controls.h"
#include "platform/win/Module.h"
#include "platform/win/Types.h"

using HGDIOBJ = void*;
using COLORREF = DWORD;

constexpr COLORREF RGB(BYTE r, BYTE g, BYTE b) {
    return static_cast<COLORREF>(r) | (static_cast<COLORREF>(g) << 8) |
           (static_cast<COLORREF>(b) << 16);
}

struct BITMAP {
    LONG bmType;
    LONG bmWidth;
    LONG bmHeight;
    LONG bmWidthBytes;
    WORD bmPlanes;
    WORD bmBitsPixel;
    void* bmBits;
};

// The bitmap resource name of instance (ordinal, text or "#123"). Its data
// starts with a BITMAPINFOHEADER (40 bytes or more: width s32 at 4, height
// s32 at 8, planes u16 at 12, bit count u16 at 14) or a BITMAPCOREHEADER
// (12 bytes: width u16 at 4, height u16 at 6, planes u16 at 8, bit count u16
// at 10). Null with GetLastError as FindResourceExW, or ERROR_INVALID_DATA
// for a header that is cut short or gives no size. The caller frees it with
// DeleteObject.
HBITMAP LoadBitmapW(HINSTANCE instance, const WCHAR* name);
// A bitmap of that size and depth, black, or with 32-bit bits given the
// platform's top-down BGRX rows of them. Null with ERROR_INVALID_PARAMETER
// for a non-positive or overlarge size.
HBITMAP CreateBitmap(int width, int height, UINT planes, UINT bitCount, const void* bits);
// Frees a bitmap of this file, a brush (Gdi.h) or a font (Font.h). FALSE with
// ERROR_INVALID_HANDLE for any other value.
BOOL DeleteObject(HGDIOBJ object);
// BITMAP of a bitmap (bmBits null); with a null out the size needed. 0 for
// a value that is no bitmap or a buffer too small.
int GetObjectW(HGDIOBJ object, int size, void* out);

namespace win {

struct BitmapInfo {
    int width = 0;
    int height = 0;
    int bitCount = 0;
    HMODULE module = nullptr;  // null for CreateBitmap
};
std::optional<BitmapInfo> DescribeBitmap(HBITMAP bitmap);

}  // namespace win
