// Fonts: logical fonts made from a LOGFONTW, the stock GUI font, and the
// metrics a dialog or control needs of them (text metrics, text extents).
//
// A font handle names a face, a height, a weight and the italic and
// underline flags; text is drawn (Paint.h) and measured with the face that
// fontconfig finds for it. The faces of the platform's dialog templates
// ("MS Shell Dlg", "MS Shell Dlg 2", "MS Sans Serif", "Microsoft Sans Serif",
// "Tahoma", "Segoe UI", "Arial") are drawn with Liberation Sans, whose
// widths are Arial's; other names go to fontconfig as given, which falls
// back to a face it has. Heights are pixels at 96 dpi: a negative lfHeight
// is the em height, a positive one the cell height (em plus internal
// leading), 0 the default of 11 pixels (8 points). All calls are
// thread-safe; a font lives until DeleteObject.
#pragma once

#include <optional>
#include <string>

#include "platform/win/Bitmap.h"
#include "platform/win/Types.h"
#include "platform/win/Window.h"

struct HDC__;
using HDC = HDC__*;
struct HFONT__;
using HFONT = HFONT__*;

constexpr int LF_FACESIZE = 32;
constexpr LONG FW_DONTCARE = 0;
constexpr LONG FW_NORMAL = 400;
constexpr LONG FW_BOLD = 700;

struct LOGFONTW {
    LONG lfHeight;
    LONG lfWidth;
    LONG lfEscapement;
    LONG lfOrientation;
    LONG lfWeight;
    BYTE lfItalic;
    BYTE lfUnderline;
    BYTE lfStrikeOut;
    BYTE lfCharSet;
    BYTE lfOutPrecision;
    BYTE lfClipPrecision;
    BYTE lfQuality;
    BYTE lfPitchAndFamily;
    WCHAR lfFaceName[LF_FACESIZE];
};

struct TEXTMETRICW {
    LONG tmHeight;
    LONG tmAscent;
    LONG tmDescent;
    LONG tmInternalLeading;
    LONG tmExternalLeading;
    LONG tmAveCharWidth;
    LONG tmMaxCharWidth;
    LONG tmWeight;
};

struct SIZE {
    LONG cx;
    LONG cy;
};

// A font of that description; null with ERROR_INVALID_PARAMETER for a null
// argument. Free it with DeleteObject.
HFONT CreateFontIndirectW(const LOGFONTW* font);

// Stock objects: DEFAULT_GUI_FONT ("MS Shell Dlg", 8 points) and
// WHITE_BRUSH; null for the others (not kept here). Never freed
// (DeleteObject on them does nothing and answers TRUE, as on the platform).
constexpr int WHITE_BRUSH = 0;
constexpr int DEFAULT_GUI_FONT = 17;
HGDIOBJ GetStockObject(int which);

// The metrics of the font selected into dc (the stock GUI font when none
// is): height = ascent + descent, the average width of the lower-case
// letters. FALSE for a bad context or a null out.
BOOL GetTextMetricsW(HDC dc, TEXTMETRICW* metrics);
// The extent of count characters of text in the font selected into dc.
BOOL GetTextExtentPoint32W(HDC dc, const WCHAR* text, int count, SIZE* size);

namespace win {

// The description a font handle names; nullopt for a value that is no live
// font (stock fonts included).
std::optional<LOGFONTW> DescribeFont(HFONT font);
// Whether object is a font of this file (DeleteObject's font half); frees it
// unless it is a stock font.
bool DeleteFont(HGDIOBJ object);

// The base units of a dialog whose template names the font face at
// pointSize points (0: 8) with weight and italic: the average width of the
// letters "A" to "Z" and "a" to "z" rounded as the platform's dialog manager
// rounds it ((extent / 26 + 1) / 2), and the cell height (tmHeight).
POINT DialogBaseUnits(const std::wstring& face, int pointSize, int weight, bool italic);

}  // namespace win
