// Acting on dialogs and controls as a person would: the messages and
// notifications a click, typing or a choice from a list cause on the
// platform, in the platform's order. For tests and the host; call on the
// thread of the control. A control that is disabled, or sits in a disabled
// window, takes no input: the functions then do nothing and return false.
#pragma once

#include <string>
#include <vector>

#include "platform/win/Controls.h"
#include "platform/win/Types.h"
#include "platform/win/Window.h"

namespace win {

// A click on a button (push button, check box, radio button): the button
// gets the focus, an automatic check box or radio button changes its state,
// and the parent hears BN_CLICKED. A static with SS_NOTIFY sends
// STN_CLICKED instead.
bool ClickButton(HWND button);
// Typing into an edit control or the edit part of a combo box: the control
// gets the focus, then each character replaces the selection unless the
// control is read-only, the text is at its limit (EN_MAXTEXT), or ES_NUMBER
// refuses it. Each accepted character sends EN_UPDATE then EN_CHANGE (combo
// boxes: CBN_EDITUPDATE then CBN_EDITCHANGE). '\b' deletes the selection or
// the character before the caret. A drop-down list takes each character as
// the start of an item to select (CBN_SELCHANGE).
bool TypeText(HWND control, const std::wstring& text);
// Choosing item index from a combo box's list: the focus, CBN_DROPDOWN when
// the list was closed, the selection (CBN_SELCHANGE while the edit part still
// shows the old text), CBN_SELENDOK, the edit part's text, CBN_CLOSEUP.
// False also for an index that does not exist.
bool SelectComboItem(HWND combo, int index);
// Closing a combo box's list without choosing: CBN_SELENDCANCEL, CBN_CLOSEUP.
bool CancelComboDropDown(HWND combo);
// A click on item index of a list box: the focus (LBN_SETFOCUS), the
// selection (a multi-selection list toggles the item), LBN_SELCHANGE with
// LBS_NOTIFY when the selection changed; doubleClick adds LBN_DBLCLK.
bool SelectListItem(HWND list, int index, bool doubleClick = false);
// The user cancelling a list box's selection: the selection is cleared and,
// with LBS_NOTIFY, LBN_SELCANCEL sent.
bool CancelListSelection(HWND list);
// A click on link index of a SysLink: the focus, then WM_NOTIFY NM_CLICK
// with an NMLINK naming the link (index, id, url, state) to the parent.
bool ClickLink(HWND link, int index);
// The focus moving to a control as by the mouse (WM_KILLFOCUS and
// WM_SETFOCUS with the controls' notifications).
bool FocusControl(HWND control);
// The help key (F1) pressed while control has the focus: WM_HELP with a
// HELPINFO (HELPINFO_WINDOW, the control's id and handle) goes to the
// nearest dialog at or above control, where the platform's default
// processing would carry it.
bool PressHelpKey(HWND control);
// The mouse (Mouse.h): the pointer moved onto a window, to client point
// (x, y) of it or, with x and y -1, its centre: WM_MOUSELEAVE to a tracked
// window it left, WM_MOUSEMOVE to the window now under it. False for a bad
// window; the pointer does not stop at a disabled window (its parent hears
// the move), as on the platform.
bool MovePointerTo(HWND window, int x = -1, int y = -1);
// The left mouse button pressed or released where the pointer is
// (WM_LBUTTONDOWN / WM_LBUTTONUP to the window under it or the window that
// captured the mouse).
void PressMouseButton();
void ReleaseMouseButton();
// A person waiting: the calling thread's messages (posted ones, due timers)
// are read and dispatched until the platform clock has moved on by ms.
void WaitWhileMessagesRun(DWORD ms);
// Paints a window and its children as the platform would ask for their
// colours: WM_CTLCOLORDLG to a dialog, then each control's colour message
// (WM_CTLCOLORSTATIC for statics, check boxes, radio buttons, group boxes
// and read-only or disabled edits; WM_CTLCOLOREDIT, WM_CTLCOLORLISTBOX,
// WM_CTLCOLORBTN) to its parent. Returns the answers in that order.
struct CtlColorAnswer {
    HWND control = nullptr;
    UINT message = 0;
    LRESULT brush = 0;
};
std::vector<CtlColorAnswer> PaintWindow(HWND window);
// The device context PaintWindow hands to the colour messages (Gdi.h).
HDC PaintWindowContext();

}  // namespace win
