// The dialog manager: dialogs from templates (resources or memory), modal
// and modeless, the default dialog procedure, and the dialog-item calls.
//
// A dialog is a window of the dialog class "#32770" (or of the template's
// own class, whose procedure must hand unhandled messages to DefDlgProcW)
// with its controls created from the template's items in template order,
// which is also their z-order and tab order. Dialog units become pixels
// through the template font's base units (MapDialogRect).
//
// Modal dialogs run their own message loop on the calling thread. Nobody
// sits at a screen here: a modal dialog is answered by the handler that the
// host or a test installs (SetModalDialogHandler), which acts on the dialog
// as a person would (UserInput.h) and ends it; without a handler the dialog
// hears IDCANCEL, as from the Esc key, and is ended with IDCANCEL if it
// stays open. Every modal dialog is recorded (ModalDialogCalls).
//
// All calls act on windows of the calling thread unless said otherwise.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/win/Controls.h"
#include "platform/win/Handle.h"
#include "platform/win/MessageBox.h"
#include "platform/win/MessageLoop.h"
#include "platform/win/Module.h"
#include "platform/win/Types.h"
#include "platform/win/Window.h"

using INT_PTR = std::intptr_t;
using DLGPROC = INT_PTR (*)(HWND, UINT, WPARAM, LPARAM);

// Dialog styles.
constexpr DWORD DS_ABSALIGN = 0x0001;
constexpr DWORD DS_SYSMODAL = 0x0002;
constexpr DWORD DS_3DLOOK = 0x0004;
constexpr DWORD DS_FIXEDSYS = 0x0008;
constexpr DWORD DS_NOFAILCREATE = 0x0010;
constexpr DWORD DS_LOCALEDIT = 0x0020;
constexpr DWORD DS_SETFONT = 0x0040;
constexpr DWORD DS_MODALFRAME = 0x0080;
constexpr DWORD DS_NOIDLEMSG = 0x0100;
constexpr DWORD DS_SETFOREGROUND = 0x0200;
constexpr DWORD DS_CONTROL = 0x0400;
constexpr DWORD DS_CENTER = 0x0800;
constexpr DWORD DS_CENTERMOUSE = 0x1000;
constexpr DWORD DS_CONTEXTHELP = 0x2000;
constexpr DWORD DS_SHELLFONT = DS_SETFONT | DS_FIXEDSYS;

// The dialog class's window extra bytes and their slots.
constexpr int DLGWINDOWEXTRA = 30;
constexpr int DWLP_MSGRESULT = 0;
constexpr int DWLP_DLGPROC = DWLP_MSGRESULT + static_cast<int>(sizeof(LRESULT));
constexpr int DWLP_USER = DWLP_DLGPROC + static_cast<int>(sizeof(DLGPROC));
// The dialog class's name.
inline const WCHAR* const WC_DIALOG = L"#32770";

constexpr UINT WM_NEXTDLGCTL = 0x0028;
constexpr UINT WM_HELP = 0x0053;
// WM_HELP's lParam: which window the help key was pressed in.
constexpr int HELPINFO_WINDOW = 0x0001;
constexpr int HELPINFO_MENUITEM = 0x0002;
struct HELPINFO {
    UINT cbSize;
    int iContextType;
    int iCtrlId;
    HANDLE hItemHandle;
    DWORD_PTR dwContextId;
    POINT MousePos;
};

constexpr UINT DM_GETDEFID = WM_USER + 0;
constexpr UINT DM_SETDEFID = WM_USER + 1;
constexpr WORD DC_HASDEFID = 0x534B;

// The templates, as the platform lays them out (read field by field, never
// overlaid): DLGTEMPLATE with DLGITEMTEMPLATE items, or DLGTEMPLATEEX (first
// WORDs 1, 0xFFFF) with its extended items. Callers pass the first byte.
struct DLGTEMPLATE;
using LPCDLGTEMPLATEW = const DLGTEMPLATE*;

// Modeless dialog from the template named name (RT_DIALOG) of instance
// (null: the executable), or from a template in memory. Creates the window
// hidden, its controls, sends WM_SETFONT to the dialog when the template
// has DS_SETFONT, then WM_INITDIALOG to the dialog procedure with wParam =
// the first enabled, visible WS_TABSTOP control and lParam = param; a TRUE
// answer gives that control the focus. With WS_VISIBLE in the template the
// dialog is shown after WM_INITDIALOG. Null when the template can't be found
// (GetLastError as FindResourceExW) or is malformed (ERROR_INVALID_DATA), the
// owner is no window (ERROR_INVALID_WINDOW_HANDLE), or a control can't be
// created without DS_NOFAILCREATE (GetLastError of CreateWindowExW).
HWND CreateDialogParamW(HINSTANCE instance, const WCHAR* name, HWND owner, DLGPROC proc,
                        LPARAM param);
HWND CreateDialogIndirectParamW(HINSTANCE instance, LPCDLGTEMPLATEW dialogTemplate, HWND owner,
                                DLGPROC proc, LPARAM param);
inline HWND CreateDialogW(HINSTANCE instance, const WCHAR* name, HWND owner, DLGPROC proc) {
    return CreateDialogParamW(instance, name, owner, proc, 0);
}

// Modal dialog: created as above, the owner's top-level window disabled,
// the dialog shown (WM_SHOWWINDOW), answered (see the top of this file) and
// run until EndDialog; then the owner is enabled again, the dialog destroyed
// and EndDialog's result returned. A WM_QUIT read by the modal loop ends it
// with result 0 and is posted again for the outer loop. 0 with
// ERROR_INVALID_WINDOW_HANDLE for an owner that is no window; -1 when the
// dialog can't be created.
INT_PTR DialogBoxParamW(HINSTANCE instance, const WCHAR* name, HWND owner, DLGPROC proc,
                        LPARAM param);
INT_PTR DialogBoxIndirectParamW(HINSTANCE instance, LPCDLGTEMPLATEW dialogTemplate, HWND owner,
                                DLGPROC proc, LPARAM param);
inline INT_PTR DialogBoxW(HINSTANCE instance, const WCHAR* name, HWND owner, DLGPROC proc) {
    return DialogBoxParamW(instance, name, owner, proc, 0);
}

// Ends a dialog with that result: a modal dialog's loop returns it; a
// modeless dialog is hidden and keeps the result (DialogResult). FALSE with
// ERROR_INVALID_WINDOW_HANDLE for a window that is no dialog.
BOOL EndDialog(HWND dialog, INT_PTR result);

// The dialog class's procedure. Calls the dialog procedure (DWLP_DLGPROC)
// first, with DWLP_MSGRESULT cleared. When it answers TRUE the message is
// handled: WM_INITDIALOG, WM_CTLCOLOR*, WM_COMPAREITEM, WM_VKEYTOITEM,
// WM_CHARTOITEM and WM_QUERYDRAGICON return the procedure's answer itself,
// every other message the DWLP_MSGRESULT value. When it answers FALSE the
// default processing runs: WM_CLOSE posts WM_COMMAND IDCANCEL (BN_CLICKED,
// the Cancel button's handle); WM_SETFOCUS passes the focus to the first tab
// item; DM_GETDEFID / DM_SETDEFID read and set the default button;
// WM_NEXTDLGCTL moves the focus; WM_CTLCOLOR* give no brush; everything else
// goes to DefWindowProcW.
LRESULT DefDlgProcW(HWND dialog, UINT msg, WPARAM wParam, LPARAM lParam);

// Keyboard handling of a dialog for a message read from the queue: TRUE when
// the message was for the dialog or one of its controls (and has then been
// dispatched or acted on), FALSE otherwise. Tab moves the focus to the next
// tab item (unless the control wants tabs), Return clicks the default button
// (DM_GETDEFID, else IDOK) unless the control wants Return, Esc sends
// IDCANCEL; a disabled default or Cancel button takes no key.
BOOL IsDialogMessageW(HWND dialog, MSG* msg);

// The next (previous) control after control (null: from the start) that has
// WS_TABSTOP and is visible and enabled, wrapping round; control itself when
// it is the only one; null when there is none.
HWND GetNextDlgTabItem(HWND dialog, HWND control, BOOL previous);
// The same within the group of control (WS_GROUP starts a group).
HWND GetNextDlgGroupItem(HWND dialog, HWND control, BOOL previous);

// Dialog units to pixels with the dialog's base units (x * baseX / 4,
// y * baseY / 8). FALSE with ERROR_INVALID_WINDOW_HANDLE for a non-dialog.
BOOL MapDialogRect(HWND dialog, RECT* rect);
// The system font's base units: MAKELONG(8, 16).
LONG GetDialogBaseUnits();

// Dialog items by id (all through the controls' messages).
BOOL SetDlgItemInt(HWND dialog, int id, UINT value, BOOL isSigned);
// Leading blanks are skipped, a '-' is taken when isSigned, then decimal
// digits up to the first other character. *translated (may be null) is
// FALSE, and 0 returned, when there is no such item, no digit, or the value
// does not fit.
UINT GetDlgItemInt(HWND dialog, int id, BOOL* translated, BOOL isSigned);
BOOL CheckDlgButton(HWND dialog, int id, UINT check);
UINT IsDlgButtonChecked(HWND dialog, int id);
// Checks check and unchecks the other radio buttons with
// ids first to last.
BOOL CheckRadioButton(HWND dialog, int first, int last, int check);

namespace win {

// One dialog template decoded (for the dialog manager and its tests).
struct DialogItemTemplate {
    DWORD helpId = 0;
    DWORD style = 0;
    DWORD exStyle = 0;
    short x = 0, y = 0, cx = 0, cy = 0;
    DWORD id = 0;
    std::wstring className;  // the atoms 0x80..0x85 mapped to their names
    std::wstring text;
    WORD textOrdinal = 0;  // a resource id instead of text (icons, bitmaps)
    bool hasTextOrdinal = false;
    std::vector<std::uint8_t> creationData;
};
struct DialogTemplate {
    bool extended = false;
    DWORD helpId = 0;
    DWORD style = 0;
    DWORD exStyle = 0;
    short x = 0, y = 0, cx = 0, cy = 0;
    std::wstring menu;
    WORD menuOrdinal = 0;
    std::wstring className;  // empty: the dialog class
    WORD classOrdinal = 0;
    std::wstring title;
    WORD pointSize = 0;
    WORD weight = 0;
    bool italic = false;
    BYTE charset = 0;
    std::wstring face;
    std::vector<DialogItemTemplate> items;
};
// Decodes a template of at most size bytes; false when it is shorter than
// its fields say or names an unknown layout.
bool ParseDialogTemplate(const std::uint8_t* data, std::size_t size, DialogTemplate& out);

// A modal dialog as the handler sees it and as it is recorded.
struct ModalDialogCall {
    HWND dialog = nullptr;
    HWND owner = nullptr;
    std::wstring caption;
    DWORD threadId = 0;
    INT_PTR result = 0;  // filled in when the dialog ended
};
// Installs the handler that answers modal dialogs (an empty function removes
// it). It runs on the dialog's thread inside DialogBox*, after the dialog is
// shown; it acts on the dialog (UserInput.h) and should end it. The modal
// loop then runs until EndDialog, so a handler that leaves the dialog open
// must have arranged for something to end it.
void SetModalDialogHandler(std::function<void(const ModalDialogCall&)> handler);
std::vector<ModalDialogCall> ModalDialogCalls();
void ClearModalDialogCalls();

// The result EndDialog gave a dialog (modeless dialogs keep it), and whether
// it was ended; false for a window that is no dialog or not ended.
bool DialogEnded(HWND dialog, INT_PTR* result);

}  // namespace win
