// The mouse: the pointer's position, the window under it, mouse capture
// and leave tracking. The pointer is moved by UserInput.h (as a person
// moves the mouse); mouse messages go, with client coordinates in lParam,
// to the window under the pointer, or to the window that captured the
// mouse. Thread-safe; the messages are delivered on the receiving window's
// thread (sent, as the input path runs on that thread).
#pragma once

#include "platform/win/Types.h"
#include "platform/win/Window.h"

constexpr UINT WM_MOUSEHOVER = 0x02A1;
constexpr UINT WM_MOUSELEAVE = 0x02A3;
constexpr UINT WM_CAPTURECHANGED = 0x0215;

constexpr WPARAM MK_LBUTTON = 0x0001;

// The pointer's position in screen coordinates (starts at 0, 0).
BOOL GetCursorPos(POINT* point);
// Moves the pointer without telling any window (as the platform's call
// does until the next input).
BOOL SetCursorPos(int x, int y);
// The deepest visible, enabled-or-not child window at the screen point,
// starting from the topmost visible top-level window there; null for none.
HWND WindowFromPoint(POINT point);

// Mouse capture of the calling thread: mouse messages go to that window
// whatever lies under the pointer. SetCapture returns the previous one;
// losing the capture sends WM_CAPTURECHANGED (lParam = the new window).
HWND SetCapture(HWND hwnd);
BOOL ReleaseCapture();
HWND GetCapture();

constexpr DWORD TME_HOVER = 0x00000001;
constexpr DWORD TME_LEAVE = 0x00000002;
constexpr DWORD TME_CANCEL = 0x80000000;
struct TRACKMOUSEEVENT {
    DWORD cbSize;
    DWORD dwFlags;
    HWND hwndTrack;
    DWORD dwHoverTime;
};
// TME_LEAVE: WM_MOUSELEAVE is sent once when the pointer leaves the window
// (then the tracking ends); TME_CANCEL | TME_LEAVE ends it. TME_HOVER is not
// kept here (FALSE with ERROR_NOT_SUPPORTED): nothing of the product waits
// for hovering. FALSE for a bad structure or window.
BOOL TrackMouseEvent(TRACKMOUSEEVENT* track);

// The double-click time, which also sets the tooltips' delays: 500
// platform ms.
UINT GetDoubleClickTime();

namespace win {

// The input path of UserInput.h: the pointer moves to a screen point
// (WM_MOUSEMOVE to the window then under it, WM_MOUSELEAVE to a tracked
// window it left), or a button goes down or up there (WM_LBUTTONDOWN,
// WM_LBUTTONUP). Call on the thread of the windows concerned.
void MovePointer(POINT screen);
void PressPointer(bool down);

}  // namespace win
