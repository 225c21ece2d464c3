// Image lists (the common controls' strip of equal-sized images), as the
// bitmap buttons of the pages use them: each image keeps its pixels, those
// of the mask colour (ImageList_AddMasked) or of a mask bitmap's set bits
// left transparent, and ImageList_Draw puts one into a device context.
// Thread-safe.
#pragma once

#include "platform/win/Bitmap.h"
#include "platform/win/Gdi.h"
#include "platform/win/Types.h"

struct _IMAGELIST;
using HIMAGELIST = _IMAGELIST*;

constexpr UINT ILC_MASK = 0x00000001;
constexpr UINT ILC_COLOR = 0x00000000;
constexpr UINT ILC_COLORDDB = 0x000000FE;
constexpr UINT ILC_COLOR4 = 0x00000004;
constexpr UINT ILC_COLOR8 = 0x00000008;
constexpr UINT ILC_COLOR16 = 0x00000010;
constexpr UINT ILC_COLOR24 = 0x00000018;
constexpr UINT ILC_COLOR32 = 0x00000020;

// Null for a non-positive image size (ERROR_INVALID_PARAMETER).
HIMAGELIST ImageList_Create(int cx, int cy, UINT flags, int initial, int grow);
BOOL ImageList_Destroy(HIMAGELIST list);
// Adds the images of a strip: its width / cx images (a narrower strip adds
// none). Returns the index of the first image added, -1 for a bad list or
// bitmap, or a strip narrower than one image. The bitmap stays the
// caller's.
int ImageList_Add(HIMAGELIST list, HBITMAP image, HBITMAP mask);
int ImageList_AddMasked(HIMAGELIST list, HBITMAP image, COLORREF mask);
// Removes image index (-1: all). FALSE for a bad list or index.
BOOL ImageList_Remove(HIMAGELIST list, int index);
int ImageList_GetImageCount(HIMAGELIST list);
BOOL ImageList_GetIconSize(HIMAGELIST list, int* cx, int* cy);

constexpr UINT ILD_NORMAL = 0x00000000;
constexpr UINT ILD_TRANSPARENT = 0x00000001;
// Draws image index at (x, y) of the context, its transparent pixels
// leaving what is there (the list's background colour is CLR_NONE, so
// ILD_NORMAL and ILD_TRANSPARENT draw alike). FALSE for a bad list, index
// or context.
BOOL ImageList_Draw(HIMAGELIST list, int index, HDC dc, int x, int y, UINT style);

namespace win {

// The flags and mask colour an image list was made and filled with, for
// tests; false for a value that is no live image list.
bool DescribeImageList(HIMAGELIST list, UINT* flags, COLORREF* maskColour);

}  // namespace win
