// Windows: window classes, window handles, window procedures and the window
// state the product reads and writes (text, styles, ids, parents, enabled
// and visible state, position and z-order).
//
// Every state a call changes is real and can be read back with the matching
// Get/Is call; windows are drawn only into pictures (WindowPicture.h). Window procedures are called
// only on the thread that created the window (a window belongs to that
// thread); messages for it from other threads travel through that thread's
// message queue (MessageLoop.h). A window handle is never reused within a
// process, so a stale handle stays invalid. All calls are thread-safe; none
// holds an internal lock while it calls a window procedure.
#pragma once

#include <cstdint>
#include <string>

#include "platform/win/Errors.h"
#include "platform/win/Module.h"
#include "platform/win/Shell.h"
#include "platform/win/Types.h"

struct HWND__;
using HWND = HWND__*;
struct HMENU__;
using HMENU = HMENU__*;
struct HICON__;
using HICON = HICON__*;
using HCURSOR = HICON;
struct HBRUSH__;
using HBRUSH = HBRUSH__*;
using ATOM = WORD;

using WNDPROC = LRESULT (*)(HWND, UINT, WPARAM, LPARAM);

struct POINT {
    LONG x;
    LONG y;
};
struct RECT {
    LONG left;
    LONG top;
    LONG right;
    LONG bottom;
};

constexpr LPARAM MAKELPARAM(WORD low, WORD high) {
    return static_cast<LPARAM>(static_cast<DWORD>(low) | (static_cast<DWORD>(high) << 16));
}
constexpr WPARAM MAKEWPARAM(WORD low, WORD high) {
    return static_cast<WPARAM>(static_cast<DWORD>(low) | (static_cast<DWORD>(high) << 16));
}
constexpr LRESULT MAKELRESULT(WORD low, WORD high) {
    return static_cast<LRESULT>(static_cast<DWORD>(low) | (static_cast<DWORD>(high) << 16));
}

// Window messages.
constexpr UINT WM_NULL = 0x0000;
constexpr UINT WM_CREATE = 0x0001;
constexpr UINT WM_DESTROY = 0x0002;
constexpr UINT WM_MOVE = 0x0003;
constexpr UINT WM_SIZE = 0x0005;
constexpr UINT WM_ACTIVATE = 0x0006;
constexpr UINT WM_SETFOCUS = 0x0007;
constexpr UINT WM_KILLFOCUS = 0x0008;
constexpr UINT WM_ENABLE = 0x000A;
constexpr UINT WM_SETTEXT = 0x000C;
constexpr UINT WM_GETTEXT = 0x000D;
constexpr UINT WM_GETTEXTLENGTH = 0x000E;
constexpr UINT WM_PAINT = 0x000F;
constexpr UINT WM_CLOSE = 0x0010;
constexpr UINT WM_QUIT = 0x0012;
constexpr UINT WM_SHOWWINDOW = 0x0018;
constexpr UINT WM_SETFONT = 0x0030;
constexpr UINT WM_GETFONT = 0x0031;
constexpr UINT WM_WINDOWPOSCHANGED = 0x0047;
constexpr UINT WM_NOTIFY = 0x004E;
constexpr UINT WM_CONTEXTMENU = 0x007B;
constexpr UINT WM_NCCREATE = 0x0081;
constexpr UINT WM_NCDESTROY = 0x0082;
constexpr UINT WM_KEYDOWN = 0x0100;
constexpr UINT WM_KEYUP = 0x0101;
constexpr UINT WM_CHAR = 0x0102;
constexpr UINT WM_INITDIALOG = 0x0110;
constexpr UINT WM_COMMAND = 0x0111;
constexpr UINT WM_SYSCOMMAND = 0x0112;
constexpr UINT WM_TIMER = 0x0113;
constexpr UINT WM_MOUSEMOVE = 0x0200;
constexpr UINT WM_LBUTTONDOWN = 0x0201;
constexpr UINT WM_LBUTTONUP = 0x0202;
constexpr UINT WM_LBUTTONDBLCLK = 0x0203;
constexpr UINT WM_RBUTTONDOWN = 0x0204;
constexpr UINT WM_RBUTTONUP = 0x0205;
constexpr UINT WM_RBUTTONDBLCLK = 0x0206;
constexpr UINT WM_MBUTTONDOWN = 0x0207;
constexpr UINT WM_MBUTTONUP = 0x0208;
constexpr UINT WM_MBUTTONDBLCLK = 0x0209;
constexpr UINT WM_USER = 0x0400;
constexpr UINT WM_APP = 0x8000;

// Window styles.
constexpr DWORD WS_OVERLAPPED = 0x00000000;
constexpr DWORD WS_POPUP = 0x80000000;
constexpr DWORD WS_CHILD = 0x40000000;
constexpr DWORD WS_MINIMIZE = 0x20000000;
constexpr DWORD WS_VISIBLE = 0x10000000;
constexpr DWORD WS_DISABLED = 0x08000000;
constexpr DWORD WS_CLIPSIBLINGS = 0x04000000;
constexpr DWORD WS_CLIPCHILDREN = 0x02000000;
constexpr DWORD WS_MAXIMIZE = 0x01000000;
constexpr DWORD WS_CAPTION = 0x00C00000;
constexpr DWORD WS_BORDER = 0x00800000;
constexpr DWORD WS_DLGFRAME = 0x00400000;
constexpr DWORD WS_VSCROLL = 0x00200000;
constexpr DWORD WS_HSCROLL = 0x00100000;
constexpr DWORD WS_SYSMENU = 0x00080000;
constexpr DWORD WS_THICKFRAME = 0x00040000;
constexpr DWORD WS_GROUP = 0x00020000;
constexpr DWORD WS_TABSTOP = 0x00010000;
constexpr DWORD WS_MINIMIZEBOX = 0x00020000;
constexpr DWORD WS_MAXIMIZEBOX = 0x00010000;
constexpr DWORD WS_OVERLAPPEDWINDOW =
    WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX;
constexpr DWORD WS_POPUPWINDOW = WS_POPUP | WS_BORDER | WS_SYSMENU;

constexpr DWORD WS_EX_DLGMODALFRAME = 0x00000001;
constexpr DWORD WS_EX_NOPARENTNOTIFY = 0x00000004;
constexpr DWORD WS_EX_TOPMOST = 0x00000008;
constexpr DWORD WS_EX_TRANSPARENT = 0x00000020;
constexpr DWORD WS_EX_TOOLWINDOW = 0x00000080;
constexpr DWORD WS_EX_WINDOWEDGE = 0x00000100;
constexpr DWORD WS_EX_CLIENTEDGE = 0x00000200;
constexpr DWORD WS_EX_CONTROLPARENT = 0x00010000;
constexpr DWORD WS_EX_STATICEDGE = 0x00020000;
constexpr DWORD WS_EX_APPWINDOW = 0x00040000;

// Class styles.
constexpr UINT CS_VREDRAW = 0x0001;
constexpr UINT CS_HREDRAW = 0x0002;
constexpr UINT CS_DBLCLKS = 0x0008;
constexpr UINT CS_GLOBALCLASS = 0x4000;

constexpr int CW_USEDEFAULT = static_cast<int>(0x80000000);

// GetWindowLongPtrW / SetWindowLongPtrW indexes. Indexes from 0 up address
// the window's extra bytes (WNDCLASSEXW::cbWndExtra).
constexpr int GWLP_WNDPROC = -4;
constexpr int GWLP_HINSTANCE = -6;
constexpr int GWLP_HWNDPARENT = -8;
constexpr int GWLP_ID = -12;
constexpr int GWL_ID = -12;
constexpr int GWL_STYLE = -16;
constexpr int GWL_EXSTYLE = -20;
constexpr int GWLP_USERDATA = -21;
constexpr int GWL_USERDATA = -21;

// SetWindowPos.
inline HWND const HWND_TOP = reinterpret_cast<HWND>(0);
inline HWND const HWND_BOTTOM = reinterpret_cast<HWND>(1);
inline HWND const HWND_TOPMOST = reinterpret_cast<HWND>(-1);
inline HWND const HWND_NOTOPMOST = reinterpret_cast<HWND>(-2);
inline HWND const HWND_MESSAGE = reinterpret_cast<HWND>(-3);
constexpr UINT SWP_NOSIZE = 0x0001;
constexpr UINT SWP_NOMOVE = 0x0002;
constexpr UINT SWP_NOZORDER = 0x0004;
constexpr UINT SWP_NOREDRAW = 0x0008;
constexpr UINT SWP_NOACTIVATE = 0x0010;
constexpr UINT SWP_FRAMECHANGED = 0x0020;
constexpr UINT SWP_SHOWWINDOW = 0x0040;
constexpr UINT SWP_HIDEWINDOW = 0x0080;
constexpr UINT SWP_NOOWNERZORDER = 0x0200;

// GetWindow.
constexpr UINT GW_HWNDFIRST = 0;
constexpr UINT GW_HWNDLAST = 1;
constexpr UINT GW_HWNDNEXT = 2;
constexpr UINT GW_HWNDPREV = 3;
constexpr UINT GW_OWNER = 4;
constexpr UINT GW_CHILD = 5;

// Window-manager error codes.
constexpr DWORD ERROR_TLW_WITH_WSCHILD = 1406;
constexpr DWORD ERROR_CANNOT_FIND_WND_CLASS = 1407;
constexpr DWORD ERROR_WINDOW_OF_OTHER_THREAD = 1408;
constexpr DWORD ERROR_CLASS_ALREADY_EXISTS = 1410;
constexpr DWORD ERROR_CLASS_DOES_NOT_EXIST = 1411;
constexpr DWORD ERROR_CLASS_HAS_WINDOWS = 1412;
constexpr DWORD ERROR_INVALID_INDEX = 1413;
constexpr DWORD ERROR_CONTROL_ID_NOT_FOUND = 1421;
constexpr DWORD ERROR_INVALID_THREAD_ID = 1444;
constexpr DWORD ERROR_NOT_ENOUGH_QUOTA = 1816;

struct WNDCLASSEXW {
    UINT cbSize;
    UINT style;
    WNDPROC lpfnWndProc;
    int cbClsExtra;
    int cbWndExtra;
    HINSTANCE hInstance;
    HICON hIcon;
    HCURSOR hCursor;
    HBRUSH hbrBackground;
    const WCHAR* lpszMenuName;
    const WCHAR* lpszClassName;
    HICON hIconSm;
};

// What WM_NCCREATE and WM_CREATE carry in lParam; valid during the call only.
struct CREATESTRUCTW {
    void* lpCreateParams;
    HINSTANCE hInstance;
    HMENU hMenu;
    HWND hwndParent;
    int cy;
    int cx;
    int y;
    int x;
    LONG style;
    const WCHAR* lpszName;
    const WCHAR* lpszClass;
    DWORD dwExStyle;
};

// A class name given as an atom, as the platform smuggles it in the pointer.
inline const WCHAR* MAKEINTATOM(ATOM atom) {
    return reinterpret_cast<const WCHAR*>(static_cast<std::uintptr_t>(atom));
}

// Registers a window class: a local class of wc->hInstance, or with
// CS_GLOBALCLASS one that every module finds. Class names are compared
// case-insensitively. Returns the class atom; 0 with ERROR_INVALID_PARAMETER
// (null wc, wrong cbSize, null procedure or name, negative extra sizes) or
// ERROR_CLASS_ALREADY_EXISTS.
ATOM RegisterClassExW(const WNDCLASSEXW* wc);
// Removes a class of that module (name or atom). FALSE with
// ERROR_CLASS_DOES_NOT_EXIST, or ERROR_CLASS_HAS_WINDOWS while windows of it
// exist.
BOOL UnregisterClassW(const WCHAR* className, HINSTANCE instance);
// Fills *wc (cbSize is kept) for the class as CreateWindowExW would find it
// for that module; returns the atom, 0 with ERROR_CLASS_DOES_NOT_EXIST.
BOOL GetClassInfoExW(HINSTANCE instance, const WCHAR* className, WNDCLASSEXW* wc);
// The class name of a window; length rules as GetWindowTextW.
int GetClassNameW(HWND hwnd, WCHAR* className, int maxCount);

// Creates a window of the calling thread. The class is looked up by name or
// atom among instance's local classes, then the global ones. A WS_CHILD
// window needs a parent (the desktop window will do) and takes menu as its
// control id; a top-level window given a parent is owned by that parent's
// top-level window. The window procedure receives WM_NCCREATE and then
// WM_CREATE, both with a CREATESTRUCTW whose lpCreateParams is param; the
// window is not yet visible during them, and WS_VISIBLE takes effect after
// WM_CREATE (top-level windows then get WM_SHOWWINDOW). Null with
// ERROR_CANNOT_FIND_WND_CLASS, ERROR_INVALID_WINDOW_HANDLE (bad parent),
// ERROR_TLW_WITH_WSCHILD (WS_CHILD without parent); null, with the window
// destroyed again, when WM_NCCREATE returns FALSE or WM_CREATE returns -1.
// HWND_MESSAGE as parent makes an ordinary top-level window here (message-only
// windows are not told apart). CW_USEDEFAULT places at 0, 0 with size 0.
HWND CreateWindowExW(DWORD exStyle, const WCHAR* className, const WCHAR* windowName, DWORD style,
                     int x, int y, int width, int height, HWND parent, HMENU menu,
                     HINSTANCE instance, void* param);
// Destroys a window of the calling thread with its owned windows, then its
// children: the window gets WM_DESTROY while its children still exist, the
// children are destroyed (WM_DESTROY, their children, WM_NCDESTROY), and the
// window gets WM_NCDESTROY last. Its timers and queued messages go with it.
// FALSE with ERROR_INVALID_WINDOW_HANDLE, or ERROR_ACCESS_DENIED from another
// thread or for the desktop window.
BOOL DestroyWindow(HWND hwnd);
// The default processing: WM_NCCREATE takes the window text from the
// CREATESTRUCTW and returns TRUE; WM_SETTEXT, WM_GETTEXT and
// WM_GETTEXTLENGTH keep and read the window text; WM_CLOSE destroys the
// window; everything else returns 0.
LRESULT DefWindowProcW(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
// Calls proc (a GWLP_WNDPROC value) with the message; 0 for a null proc.
LRESULT CallWindowProcW(WNDPROC proc, HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

// The desktop window: always valid, owned by no thread, never destroyed.
HWND GetDesktopWindow();
BOOL IsWindow(HWND hwnd);
// TRUE when the window and every ancestor up to the desktop have WS_VISIBLE.
BOOL IsWindowVisible(HWND hwnd);
// Sets or clears WS_VISIBLE (SW_HIDE hides, every other command shows;
// SW_MINIMIZE, SW_SHOWMINIMIZED and SW_SHOWMINNOACTIVE also set WS_MINIMIZE,
// SW_SHOWMAXIMIZED sets WS_MAXIMIZE, SW_RESTORE and SW_SHOWNORMAL clear
// both). Sends WM_SHOWWINDOW when the visibility changes. Returns TRUE when
// the window was visible before (WS_VISIBLE set); FALSE with
// ERROR_INVALID_WINDOW_HANDLE for a bad window.
BOOL ShowWindow(HWND hwnd, int cmdShow);
// Child windows: the parent. Top-level popups: the owner. Else null.
HWND GetParent(HWND hwnd);
// TRUE when child is a descendant of parent through WS_CHILD links.
BOOL IsChild(HWND parent, HWND child);
// Z-order walks and the owner; null when there is none (or bad window).
HWND GetWindow(HWND hwnd, UINT cmd);
// The direct child of dialog with that control id; null with
// ERROR_CONTROL_ID_NOT_FOUND (ERROR_INVALID_WINDOW_HANDLE for a bad dialog).
HWND GetDlgItem(HWND dialog, int id);
// The control id of a child window; 0 for a bad window or a top-level one.
int GetDlgCtrlID(HWND hwnd);

// Window text goes through WM_SETTEXT / WM_GETTEXT / WM_GETTEXTLENGTH, so a
// window procedure (a control) can keep its text itself. SetWindowTextW with
// null sets the empty text. GetWindowTextW copies at most maxCount - 1
// characters and a terminator and returns the count copied (0 for a bad
// window with ERROR_INVALID_WINDOW_HANDLE, or maxCount <= 0).
BOOL SetWindowTextW(HWND hwnd, const WCHAR* text);
int GetWindowTextW(HWND hwnd, WCHAR* text, int maxCount);
int GetWindowTextLengthW(HWND hwnd);
BOOL SetDlgItemTextW(HWND dialog, int id, const WCHAR* text);
UINT GetDlgItemTextW(HWND dialog, int id, WCHAR* text, int maxCount);

// Sets or clears WS_DISABLED and sends WM_ENABLE when the state changes.
// Returns TRUE when the window was disabled before.
BOOL EnableWindow(HWND hwnd, BOOL enable);
BOOL IsWindowEnabled(HWND hwnd);

// Window fields by index (see GWLP_*; GWLP_HWNDPARENT reads the parent of a
// child, the owner of a top-level window). Set returns the previous value;
// both return 0 with ERROR_INVALID_WINDOW_HANDLE or ERROR_INVALID_INDEX (an
// extra-bytes index past cbWndExtra - sizeof(LONG_PTR)). As on the platform a
// successful call leaves the last error alone, so a previous value of 0 is
// told from a failure by clearing it first. Setting GWLP_WNDPROC subclasses
// the window: the next message goes to the new procedure. GWLP_HWNDPARENT
// can't be set here (ERROR_INVALID_INDEX).
LONG_PTR GetWindowLongPtrW(HWND hwnd, int index);
LONG_PTR SetWindowLongPtrW(HWND hwnd, int index, LONG_PTR value);
LONG GetWindowLongW(HWND hwnd, int index);
LONG SetWindowLongW(HWND hwnd, int index, LONG value);

// Position, size and z-order. insertAfter: HWND_TOPMOST (sets WS_EX_TOPMOST
// and brings the window to the top), HWND_NOTOPMOST (clears it, top of the
// non-topmost windows), HWND_TOP, HWND_BOTTOM or a sibling to go behind;
// topmost top-level windows always stay above the others. SWP_SHOWWINDOW and
// SWP_HIDEWINDOW show or hide as ShowWindow does. No WM_WINDOWPOS* messages
// are sent. FALSE with ERROR_INVALID_WINDOW_HANDLE.
BOOL SetWindowPos(HWND hwnd, HWND insertAfter, int x, int y, int cx, int cy, UINT flags);
BOOL MoveWindow(HWND hwnd, int x, int y, int width, int height, BOOL repaint);
// The window's rectangle in screen coordinates (a child's position counts
// from its parent's origin; windows have no frame here, so the client area
// is the whole window).
BOOL GetWindowRect(HWND hwnd, RECT* rect);
// {0, 0, width, height}.
BOOL GetClientRect(HWND hwnd, RECT* rect);

// The thread that created the window (0 for a bad window or the desktop);
// *processId (may be null) receives this process's id.
DWORD GetWindowThreadProcessId(HWND hwnd, DWORD* processId);

// Moves a child window under another parent (null: the desktop) at the
// bottom of its new siblings; returns the previous parent, null with
// ERROR_INVALID_WINDOW_HANDLE. A window can't become its own descendant's
// child (ERROR_INVALID_PARAMETER).
HWND SetParent(HWND child, HWND newParent);

constexpr UINT GA_PARENT = 1;
constexpr UINT GA_ROOT = 2;
constexpr UINT GA_ROOTOWNER = 3;
// GA_PARENT: the parent (the desktop for top-level windows); GA_ROOT: the
// top-level window above it; GA_ROOTOWNER: that window's last owner. Null
// for a bad window or the desktop.
HWND GetAncestor(HWND hwnd, UINT flags);

using WNDENUMPROC = BOOL (*)(HWND, LPARAM);
// Calls proc for every descendant of parent (null: every top-level window
// and their descendants), depth first in z-order, until it returns FALSE.
// The windows are listed before the first call, so proc may destroy them.
BOOL EnumChildWindows(HWND parent, WNDENUMPROC proc, LPARAM lParam);
// The first top-level window (parent null) or child of parent after
// childAfter (null: from the first) whose class (null: any) and text
// (null: any) match, compared case-insensitively. Null when none.
HWND FindWindowExW(HWND parent, HWND childAfter, const WCHAR* className, const WCHAR* windowName);
HWND FindWindowW(const WCHAR* className, const WCHAR* windowName);

// Keyboard focus, per thread: SetFocus sends WM_KILLFOCUS (wParam = the new
// window) to the window that loses it and WM_SETFOCUS (wParam = the old one)
// to the one that gets it, and returns the old one. The window must belong to
// the calling thread (null with ERROR_ACCESS_DENIED otherwise); null clears
// the focus. A destroyed window loses the focus without messages.
HWND SetFocus(HWND hwnd);
HWND GetFocus();
// The active top-level window of the calling thread and the process's
// foreground window: recorded, no activation messages are sent.
HWND SetActiveWindow(HWND hwnd);
HWND GetActiveWindow();
BOOL SetForegroundWindow(HWND hwnd);
HWND GetForegroundWindow();

// A message number, unique per name (case-insensitive) within the process,
// from 0xC000 up; 0 with ERROR_INVALID_PARAMETER for a null or empty name.
UINT RegisterWindowMessageW(const WCHAR* name);

namespace win {

// For the other window-manager calls of this library (message loop, timers,
// dialogs); product code uses the Win32 calls above.

// The creating thread of a live window, 0 otherwise (also the desktop).
DWORD WindowThreadId(HWND hwnd);
// Calls the window's current procedure on the calling thread, which must own
// the window; 0 when the window is gone (or is the desktop).
LRESULT DeliverToWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
// Forgets the windows of a thread that ends without destroying them, as the
// platform does when a thread exits: no messages are sent.
void ForgetWindowsOfThread(DWORD threadId);
// Number of live windows (the desktop not counted), for tests.
std::size_t WindowCount();

}  // namespace win
