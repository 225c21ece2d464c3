// Painting: WM_PAINT with BeginPaint / EndPaint, brushes, the system colours,
// rectangles, 3-D edges and text, as the product's own controls draw
// themselves and as the standard controls of this library are drawn.
//
// A window's drawing is seen when a picture of it is made
// (WindowPicture.h): the picture asks each visible window, parent before
// children, to erase its background (WM_ERASEBKGND) and to paint
// (WM_PAINT), and the drawing calls made through BeginPaint's (or GetDC's)
// device context meanwhile land in the picture at the window's place,
// clipped to it. Outside a picture a window's drawing goes nowhere, as
// drawing that no screen shows; a memory device context draws onto the
// bitmap selected into it. InvalidateRect and UpdateWindow record nothing:
// every picture paints everything anew. Calls are made on the window's
// thread, as its procedure runs there.
#pragma once

#include "platform/win/Font.h"
#include "platform/win/Gdi.h"
#include "platform/win/Types.h"
#include "platform/win/Window.h"

constexpr UINT WM_ERASEBKGND = 0x0014;
constexpr UINT WM_PRINT = 0x0317;

struct PAINTSTRUCT {
    HDC hdc;
    BOOL fErase;
    RECT rcPaint;
    BOOL fRestore;
    BOOL fIncUpdate;
    BYTE rgbReserved[32];
};

// The window's device context for one WM_PAINT (ps->rcPaint := the client
// rectangle, fErase := FALSE: the picture has erased already); null for a
// bad window or a null ps. EndPaint frees it.
HDC BeginPaint(HWND hwnd, PAINTSTRUCT* ps);
BOOL EndPaint(HWND hwnd, const PAINTSTRUCT* ps);
// Recorded as the platform would queue a repaint: here every picture paints
// all, so both only check the window. FALSE for a bad window.
BOOL InvalidateRect(HWND hwnd, const RECT* rect, BOOL erase);
BOOL UpdateWindow(HWND hwnd);

// System colours (GetSysColor indexes) of the platform's default scheme.
constexpr int COLOR_SCROLLBAR = 0;
constexpr int COLOR_BACKGROUND = 1;
constexpr int COLOR_ACTIVECAPTION = 2;
constexpr int COLOR_INACTIVECAPTION = 3;
constexpr int COLOR_MENU = 4;
constexpr int COLOR_WINDOW = 5;
constexpr int COLOR_WINDOWFRAME = 6;
constexpr int COLOR_MENUTEXT = 7;
constexpr int COLOR_WINDOWTEXT = 8;
constexpr int COLOR_CAPTIONTEXT = 9;
constexpr int COLOR_ACTIVEBORDER = 10;
constexpr int COLOR_INACTIVEBORDER = 11;
constexpr int COLOR_APPWORKSPACE = 12;
constexpr int COLOR_HIGHLIGHT = 13;
constexpr int COLOR_HIGHLIGHTTEXT = 14;
constexpr int COLOR_BTNFACE = 15;
constexpr int COLOR_BTNSHADOW = 16;
constexpr int COLOR_GRAYTEXT = 17;
constexpr int COLOR_BTNTEXT = 18;
constexpr int COLOR_INACTIVECAPTIONTEXT = 19;
constexpr int COLOR_BTNHIGHLIGHT = 20;
constexpr int COLOR_3DDKSHADOW = 21;
constexpr int COLOR_3DLIGHT = 22;
constexpr int COLOR_INFOTEXT = 23;
constexpr int COLOR_INFOBK = 24;
constexpr int COLOR_HOTLIGHT = 26;
constexpr int COLOR_GRADIENTACTIVECAPTION = 27;
constexpr int COLOR_3DFACE = COLOR_BTNFACE;
constexpr int COLOR_3DSHADOW = COLOR_BTNSHADOW;
constexpr int COLOR_3DHIGHLIGHT = COLOR_BTNHIGHLIGHT;
// 0 for an index outside the table.
DWORD GetSysColor(int index);
// A stock brush of that colour (never freed); null for a bad index.
HBRUSH GetSysColorBrush(int index);
// A brush of one colour; free it with DeleteObject.
HBRUSH CreateSolidBrush(COLORREF colour);

// Fills the rectangle with the brush (a solid, system-colour or pattern
// brush; a pattern is laid from the context's brush origin). A brush value
// of COLOR_* + 1, as window classes name their background, means that
// system colour. FALSE for a bad context or brush.
int FillRect(HDC dc, const RECT* rect, HBRUSH brush);
// A one-pixel frame inside the rectangle in the brush's colour.
int FrameRect(HDC dc, const RECT* rect, HBRUSH brush);

// DrawEdge: the classic 3-D borders.
constexpr UINT BDR_RAISEDOUTER = 0x0001;
constexpr UINT BDR_SUNKENOUTER = 0x0002;
constexpr UINT BDR_RAISEDINNER = 0x0004;
constexpr UINT BDR_SUNKENINNER = 0x0008;
constexpr UINT EDGE_RAISED = BDR_RAISEDOUTER | BDR_RAISEDINNER;
constexpr UINT EDGE_SUNKEN = BDR_SUNKENOUTER | BDR_SUNKENINNER;
constexpr UINT EDGE_ETCHED = BDR_SUNKENOUTER | BDR_RAISEDINNER;
constexpr UINT EDGE_BUMP = BDR_RAISEDOUTER | BDR_SUNKENINNER;
constexpr UINT BF_LEFT = 0x0001;
constexpr UINT BF_TOP = 0x0002;
constexpr UINT BF_RIGHT = 0x0004;
constexpr UINT BF_BOTTOM = 0x0008;
constexpr UINT BF_RECT = BF_LEFT | BF_TOP | BF_RIGHT | BF_BOTTOM;
constexpr UINT BF_ADJUST = 0x2000;
// Draws the edge on the sides named; with BF_ADJUST shrinks *rect by the
// width drawn. FALSE for a bad context or a null rectangle.
BOOL DrawEdge(HDC dc, RECT* rect, UINT edge, UINT flags);

// Text colours of a device context; each returns the previous colour
// (CLR_INVALID for a bad context).
constexpr COLORREF CLR_INVALID = 0xFFFFFFFF;
COLORREF SetTextColor(HDC dc, COLORREF colour);
COLORREF GetTextColor(HDC dc);
COLORREF SetBkColor(HDC dc, COLORREF colour);
COLORREF GetBkColor(HDC dc);

// DrawTextW: text in the context's font and text colour within the
// rectangle (an OPAQUE background mode fills the rectangle with the
// background colour first). count -1: up to the terminator. Returns the
// height of the text drawn, 0 for a bad context.
constexpr UINT DT_TOP = 0x0000;
constexpr UINT DT_LEFT = 0x0000;
constexpr UINT DT_CENTER = 0x0001;
constexpr UINT DT_RIGHT = 0x0002;
constexpr UINT DT_VCENTER = 0x0004;
constexpr UINT DT_BOTTOM = 0x0008;
constexpr UINT DT_WORDBREAK = 0x0010;
constexpr UINT DT_SINGLELINE = 0x0020;
constexpr UINT DT_CALCRECT = 0x0400;
constexpr UINT DT_NOPREFIX = 0x0800;
constexpr UINT DT_END_ELLIPSIS = 0x8000;
int DrawTextW(HDC dc, const WCHAR* text, int count, RECT* rect, UINT format);
