// Common controls: progress bar, SysLink and tooltips, their notification
// header (WM_NOTIFY) and InitCommonControlsEx.
//
// Like the standard controls (Controls.h): state is kept and read back,
// and each control draws itself into a picture of its window (Paint.h).
// A tooltip watches its tools' mouse messages (TTF_SUBCLASS subclasses the
// tool's window; TTM_RELAYEVENT hands them over otherwise): when the
// pointer has rested on a tool for the initial delay (TTDT_INITIAL, the
// double-click time: 500 platform ms) it shows its popup window with the
// tool's text below the pointer, topmost, and hides it after the auto-pop
// delay (ten times that), when the pointer leaves the tool, or at a click. WM_NOTIFY is sent to the
// control's parent on the control's thread with wParam = the control id and lParam = an NMHDR (or a
// structure that starts with one) valid during the call only.
#pragma once

#include <string>
#include <vector>

#include "platform/win/Controls.h"
#include "platform/win/Types.h"
#include "platform/win/Window.h"

inline const WCHAR* const PROGRESS_CLASSW = L"msctls_progress32";
inline const WCHAR* const WC_LINK = L"SysLink";
inline const WCHAR* const TOOLTIPS_CLASSW = L"tooltips_class32";

struct INITCOMMONCONTROLSEX {
    DWORD dwSize;
    DWORD dwICC;
};
constexpr DWORD ICC_LISTVIEW_CLASSES = 0x00000001;
constexpr DWORD ICC_TREEVIEW_CLASSES = 0x00000002;
constexpr DWORD ICC_BAR_CLASSES = 0x00000004;
constexpr DWORD ICC_TAB_CLASSES = 0x00000008;
constexpr DWORD ICC_UPDOWN_CLASS = 0x00000010;
constexpr DWORD ICC_PROGRESS_CLASS = 0x00000020;
constexpr DWORD ICC_HOTKEY_CLASS = 0x00000040;
constexpr DWORD ICC_ANIMATE_CLASS = 0x00000080;
constexpr DWORD ICC_WIN95_CLASSES = 0x000000FF;
constexpr DWORD ICC_DATE_CLASSES = 0x00000100;
constexpr DWORD ICC_USEREX_CLASSES = 0x00000200;
constexpr DWORD ICC_COOL_CLASSES = 0x00000400;
constexpr DWORD ICC_INTERNET_CLASSES = 0x00000800;
constexpr DWORD ICC_PAGESCROLLER_CLASS = 0x00001000;
constexpr DWORD ICC_NATIVEFNTCTL_CLASS = 0x00002000;
constexpr DWORD ICC_STANDARD_CLASSES = 0x00004000;
constexpr DWORD ICC_LINK_CLASS = 0x00008000;

// Registers the control classes (here every class at once, whatever dwICC
// asks for). FALSE with ERROR_INVALID_PARAMETER for a null argument or a
// dwSize other than sizeof(INITCOMMONCONTROLSEX).
BOOL InitCommonControlsEx(const INITCOMMONCONTROLSEX* init);
void InitCommonControls();

// ---- Notifications ----
struct NMHDR {
    HWND hwndFrom;
    UINT_PTR idFrom;
    UINT code;
};
constexpr UINT NM_FIRST = 0;
constexpr UINT NM_OUTOFMEMORY = NM_FIRST - 1;
constexpr UINT NM_CLICK = NM_FIRST - 2;
constexpr UINT NM_DBLCLK = NM_FIRST - 3;
constexpr UINT NM_RETURN = NM_FIRST - 4;
constexpr UINT NM_RCLICK = NM_FIRST - 5;
constexpr UINT NM_SETFOCUS = NM_FIRST - 7;
constexpr UINT NM_KILLFOCUS = NM_FIRST - 8;
constexpr UINT NM_CUSTOMDRAW = NM_FIRST - 12;

// ---- Progress bar ----
constexpr DWORD PBS_SMOOTH = 0x01;
constexpr DWORD PBS_VERTICAL = 0x04;
constexpr DWORD PBS_MARQUEE = 0x08;

constexpr UINT PBM_SETRANGE = WM_USER + 1;    // lParam MAKELPARAM(min, max), 16-bit each
constexpr UINT PBM_SETPOS = WM_USER + 2;      // returns the previous position
constexpr UINT PBM_DELTAPOS = WM_USER + 3;    // returns the previous position
constexpr UINT PBM_SETSTEP = WM_USER + 4;     // returns the previous step
constexpr UINT PBM_STEPIT = WM_USER + 5;      // returns the previous position
constexpr UINT PBM_SETRANGE32 = WM_USER + 6;  // wParam min, lParam max
constexpr UINT PBM_GETRANGE = WM_USER + 7;    // wParam TRUE: min, FALSE: max; lParam PBRANGE*
constexpr UINT PBM_GETPOS = WM_USER + 8;
constexpr UINT PBM_GETSTEP = WM_USER + 13;

struct PBRANGE {
    int iLow;
    int iHigh;
};

// ---- SysLink ----
constexpr int MAX_LINKID_TEXT = 48;
constexpr int L_MAX_URL_LENGTH = 2048 + 32 + 4;

constexpr UINT LIF_ITEMINDEX = 0x00000001;
constexpr UINT LIF_STATE = 0x00000002;
constexpr UINT LIF_ITEMID = 0x00000004;
constexpr UINT LIF_URL = 0x00000008;
constexpr UINT LIS_FOCUSED = 0x00000001;
constexpr UINT LIS_ENABLED = 0x00000002;
constexpr UINT LIS_VISITED = 0x00000004;

struct LITEM {
    UINT mask;
    int iLink;
    UINT state;
    UINT stateMask;
    WCHAR szID[MAX_LINKID_TEXT];
    WCHAR szUrl[L_MAX_URL_LENGTH];
};
struct NMLINK {
    NMHDR hdr;
    LITEM item;
};

// LM_GETITEM / LM_SETITEM: lParam LITEM* naming the link by iLink
// (LIF_ITEMINDEX is required); TRUE, or FALSE for a link that does not exist.
constexpr UINT LM_SETITEM = WM_USER + 0x302;
constexpr UINT LM_GETITEM = WM_USER + 0x303;

// ---- Tooltips ----
constexpr DWORD TTS_ALWAYSTIP = 0x01;
constexpr DWORD TTS_NOPREFIX = 0x02;
constexpr UINT TTF_IDISHWND = 0x0001;
constexpr UINT TTF_CENTERTIP = 0x0002;
constexpr UINT TTF_SUBCLASS = 0x0010;
constexpr UINT TTF_TRACK = 0x0020;
constexpr UINT TTF_ABSOLUTE = 0x0080;
constexpr UINT TTF_TRANSPARENT = 0x0100;

inline WCHAR* const LPSTR_TEXTCALLBACKW = reinterpret_cast<WCHAR*>(static_cast<std::intptr_t>(-1));

struct TTTOOLINFOW {
    UINT cbSize;
    UINT uFlags;
    HWND hwnd;
    UINT_PTR uId;
    RECT rect;
    HINSTANCE hinst;
    WCHAR* lpszText;  // text, LPSTR_TEXTCALLBACKW, or a string id with hinst
    LPARAM lParam;
    void* lpReserved;
};
using TOOLINFOW = TTTOOLINFOW;

constexpr UINT TTM_ACTIVATE = WM_USER + 1;
constexpr UINT TTM_SETDELAYTIME = WM_USER + 3;  // wParam TTDT_*, lParam LOWORD ms (-1: default)
constexpr UINT TTM_RELAYEVENT = WM_USER + 7;    // lParam MSG* of a tool's mouse message
constexpr UINT TTM_GETDELAYTIME = WM_USER + 21;
constexpr UINT TTM_POP = WM_USER + 28;
constexpr WPARAM TTDT_AUTOMATIC = 0;
constexpr WPARAM TTDT_RESHOW = 1;
constexpr WPARAM TTDT_AUTOPOP = 2;
constexpr WPARAM TTDT_INITIAL = 3;
constexpr UINT TTM_GETTOOLCOUNT = WM_USER + 13;
constexpr UINT TTM_SETMAXTIPWIDTH = WM_USER + 24;
constexpr UINT TTM_ADDTOOLW = WM_USER + 50;
constexpr UINT TTM_DELTOOLW = WM_USER + 51;
constexpr UINT TTM_GETTEXTW = WM_USER + 56;  // lParam TTTOOLINFOW* with a buffer
constexpr UINT TTM_UPDATETIPTEXTW = WM_USER + 57;

namespace win {

// What a tooltip window holds for one tool, for tests and the host.
struct ToolTipTool {
    HWND hwnd = nullptr;
    UINT_PTR id = 0;
    UINT flags = 0;
    std::wstring text;
    bool callback = false;  // LPSTR_TEXTCALLBACKW: the owner answers on demand
};
// The tools of a tooltip window, in the order they were added; empty for a
// window that is no tooltip. Thread of the tooltip window.
std::vector<ToolTipTool> ToolTipTools(HWND tooltip);
// Whether TTM_ACTIVATE left the tooltip active (it starts active).
bool ToolTipActive(HWND tooltip);
// The text the tooltip shows now; empty while it is hidden.
std::wstring ToolTipShownText(HWND tooltip);

// The links of a SysLink control, in text order, and the text it shows
// (the markup taken out).
struct LinkItem {
    std::wstring text;
    std::wstring id;
    std::wstring url;
    UINT state = LIS_ENABLED;
};
std::vector<LinkItem> LinkItems(HWND link);
std::wstring LinkDisplayText(HWND link);

}  // namespace win
