// The notification area: icons added by windows, their tooltips and the
// balloons they show, and the mouse events a user would cause on them.
//
// Headless: the area is a table keyed by (hWnd, uID) whose state tests and
// the host read (win::FindTrayIcon), plus the list of every balloon shown.
// A user's click is simulated by win::SimulateTrayMouse, which posts the
// icon's callback message to its window as the shell does. Thread-safe.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/win/Guid.h"
#include "platform/win/Types.h"
#include "platform/win/Window.h"

// Shell_NotifyIconW messages.
constexpr DWORD NIM_ADD = 0x00000000;
constexpr DWORD NIM_MODIFY = 0x00000001;
constexpr DWORD NIM_DELETE = 0x00000002;
constexpr DWORD NIM_SETFOCUS = 0x00000003;
constexpr DWORD NIM_SETVERSION = 0x00000004;

// uFlags: which fields are valid.
constexpr UINT NIF_MESSAGE = 0x00000001;
constexpr UINT NIF_ICON = 0x00000002;
constexpr UINT NIF_TIP = 0x00000004;
constexpr UINT NIF_STATE = 0x00000008;
constexpr UINT NIF_INFO = 0x00000010;
constexpr UINT NIF_GUID = 0x00000020;
constexpr UINT NIF_REALTIME = 0x00000040;
constexpr UINT NIF_SHOWTIP = 0x00000080;

// dwState / dwStateMask.
constexpr DWORD NIS_HIDDEN = 0x00000001;
constexpr DWORD NIS_SHAREDICON = 0x00000002;

// dwInfoFlags: the balloon's icon (low four bits) and options.
constexpr DWORD NIIF_NONE = 0x00000000;
constexpr DWORD NIIF_INFO = 0x00000001;
constexpr DWORD NIIF_WARNING = 0x00000002;
constexpr DWORD NIIF_ERROR = 0x00000003;
constexpr DWORD NIIF_USER = 0x00000004;
constexpr DWORD NIIF_ICON_MASK = 0x0000000F;
constexpr DWORD NIIF_NOSOUND = 0x00000010;
constexpr DWORD NIIF_LARGE_ICON = 0x00000020;
constexpr DWORD NIIF_RESPECT_QUIET_TIME = 0x00000080;

// uVersion of NIM_SETVERSION.
constexpr UINT NOTIFYICON_VERSION = 3;
constexpr UINT NOTIFYICON_VERSION_4 = 4;

// Notifications sent in place of a mouse message under version 3 and up.
constexpr UINT NIN_SELECT = WM_USER + 0;
constexpr UINT NIN_KEYSELECT = WM_USER + 1;
constexpr UINT NIN_BALLOONSHOW = WM_USER + 2;
constexpr UINT NIN_BALLOONHIDE = WM_USER + 3;
constexpr UINT NIN_BALLOONTIMEOUT = WM_USER + 4;
constexpr UINT NIN_BALLOONUSERCLICK = WM_USER + 5;

struct NOTIFYICONDATAW {
    DWORD cbSize;
    HWND hWnd;
    UINT uID;
    UINT uFlags;
    UINT uCallbackMessage;
    HICON hIcon;
    WCHAR szTip[128];
    DWORD dwState;
    DWORD dwStateMask;
    WCHAR szInfo[256];
    union {
        UINT uTimeout;  // ms
        UINT uVersion;
    };
    WCHAR szInfoTitle[64];
    DWORD dwInfoFlags;
    GUID guidItem;
    HICON hBalloonIcon;
};

// The structure's earlier versions end before these fields, as on the
// platform: V1 has a 64-character tip and nothing after it, V2 ends before
// guidItem, V3 before hBalloonIcon. cbSize may also hold the sizes of the
// platform's own 64-bit layout (168, 952, 968, 976), which name the same
// versions.
constexpr DWORD NOTIFYICONDATAW_V1_SIZE =
    static_cast<DWORD>(offsetof(NOTIFYICONDATAW, szTip) + 64 * sizeof(WCHAR));
constexpr DWORD NOTIFYICONDATAW_V2_SIZE = static_cast<DWORD>(offsetof(NOTIFYICONDATAW, guidItem));
constexpr DWORD NOTIFYICONDATAW_V3_SIZE =
    static_cast<DWORD>(offsetof(NOTIFYICONDATAW, hBalloonIcon));

// Adds, changes or removes an icon, or sets its version. NIM_ADD needs a
// live window and a (hWnd, uID) not yet added; the others an added icon.
// Fields count only when uFlags names them: NIF_MESSAGE uCallbackMessage,
// NIF_ICON hIcon, NIF_TIP szTip (read up to its terminator, and never past
// the buffer: a tip that fills it is cut to 127 characters, 63 for a V1
// structure), NIF_STATE dwState under dwStateMask, NIF_SHOWTIP, NIF_INFO a
// balloon (szInfo, szInfoTitle, dwInfoFlags, uTimeout; cut likewise to 255
// and 63 characters) when szInfo is not empty. NIF_GUID is ignored: icons
// are always told apart by (hWnd, uID). FALSE for an unknown message or
// cbSize, a failed condition, or a version other than 0, 3 and 4.
// An icon outlives its window until NIM_DELETE (on the platform such an icon
// lingers until the mouse passes over it); clicks on it then fail.
BOOL Shell_NotifyIconW(DWORD message, NOTIFYICONDATAW* data);

namespace win {

struct TrayBalloon {
    HWND hwnd = nullptr;
    UINT id = 0;
    std::wstring title;
    std::wstring text;
    DWORD infoFlags = 0;
    UINT timeoutMs = 0;
    DWORD tick = 0;  // GetTickCount() when shown
};

struct TrayIcon {
    HWND hwnd = nullptr;
    UINT id = 0;
    UINT callbackMessage = 0;  // 0 until NIF_MESSAGE gives one
    HICON icon = nullptr;
    std::wstring tip;
    bool hidden = false;   // NIS_HIDDEN
    bool showTip = false;  // NIF_SHOWTIP was given
    UINT version = 0;
    std::vector<TrayBalloon> balloons;  // shown by this icon, oldest first
};

// The icon of (hwnd, id), nullopt when it is not in the area.
std::optional<TrayIcon> FindTrayIcon(HWND hwnd, UINT id);
// Every icon in the area, in the order they were added.
std::vector<TrayIcon> TrayIcons();
// Every balloon shown since the start (or the last reset), by any icon,
// also by icons removed since; oldest first.
std::vector<TrayBalloon> TrayBalloonHistory();

// Posts the icon's callback message as the shell does for a mouse event:
// version 0 to 3: wParam = uID, lParam = mouseMessage; version 4: wParam =
// the anchor point (0, 0), lParam = MAKELPARAM(mouseMessage, uID). FALSE
// with ERROR_INVALID_PARAMETER when the icon is not in the area, is hidden
// or has no callback message, or as PostMessageW fails (its window is
// gone).
BOOL SimulateTrayMouse(HWND hwnd, UINT id, UINT mouseMessage);

// Called after every successful Shell_NotifyIconW with the message and the
// icon's state after it (before removal for NIM_DELETE), on the calling
// thread, outside the area's lock. Empty function: none.
void SetTrayObserver(std::function<void(DWORD message, const TrayIcon& icon)> observer);
// Empties the area and the balloon history.
void ResetTrayForTesting();

}  // namespace win
