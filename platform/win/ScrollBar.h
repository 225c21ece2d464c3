// The standard scroll bars of a window (WS_VSCROLL / WS_HSCROLL): range,
// page and position as GetScrollInfo reports them.
//
// A multi-line edit control keeps its own vertical scroll bar, as on the
// platform: its range is its lines (0 to line count - 1), its page the lines
// that fit its client area and its position the first visible line, read
// from the control's view at the moment of the call. Any other window's bars
// hold what SetScrollInfo last gave them (all zero at first).
//
// Call from the window's thread (the edit's view is read through its
// messages). Nothing is drawn; the redraw flag is accepted and ignored.
#pragma once

#include "platform/win/Types.h"
#include "platform/win/Window.h"

// GetLastError of a scroll-bar call on a window without that bar.
constexpr DWORD ERROR_NO_SCROLLBARS = 1447;

constexpr int SB_HORZ = 0;
constexpr int SB_VERT = 1;
constexpr int SB_CTL = 2;
constexpr int SB_BOTH = 3;

constexpr UINT SIF_RANGE = 0x0001;
constexpr UINT SIF_PAGE = 0x0002;
constexpr UINT SIF_POS = 0x0004;
constexpr UINT SIF_DISABLENOSCROLL = 0x0008;
constexpr UINT SIF_TRACKPOS = 0x0010;
constexpr UINT SIF_ALL = SIF_RANGE | SIF_PAGE | SIF_POS | SIF_TRACKPOS;

struct SCROLLINFO {
    UINT cbSize;
    UINT fMask;
    int nMin;
    int nMax;
    UINT nPage;
    int nPos;
    int nTrackPos;
};
using LPSCROLLINFO = SCROLLINFO*;
using LPCSCROLLINFO = const SCROLLINFO*;

// The edit control's line height in pixels (that of the dialog font the
// product's templates use), from which its page is counted.
constexpr int kEditLineHeightPixels = 13;

// Fills the fields of *info that info->fMask names (SIF_TRACKPOS gives the
// position: nothing is dragged here). FALSE with ERROR_INVALID_WINDOW_HANDLE
// for a bad window, ERROR_INVALID_PARAMETER for a null info, a wrong cbSize
// or a bar other than SB_HORZ / SB_VERT, ERROR_NO_SCROLLBARS when the window
// has no such bar (neither its style nor SetScrollInfo gave it one).
BOOL GetScrollInfo(HWND hwnd, int bar, LPSCROLLINFO info);

// Sets the fields info->fMask names and returns the new position (clamped
// to nMin .. nMax - max(nPage - 1, 0)). On a multi-line edit's vertical bar
// only SIF_POS acts: it scrolls the edit so that line is its first visible
// one. 0 for a bad window or parameter (with GetLastError as above).
int SetScrollInfo(HWND hwnd, int bar, LPCSCROLLINFO info, BOOL redraw);
