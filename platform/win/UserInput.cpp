// Acting on controls as a person would.
#include "platform/win/UserInput.h"

#include <algorithm>

#include "platform/win/Clock.h"
#include "platform/win/CommonControls.h"
#include "platform/win/ControlSupport.h"
#include "platform/win/Dialog.h"
#include "platform/win/Gdi.h"
#include "platform/win/MessageLoop.h"
#include "platform/win/Mouse.h"

namespace win {
namespace {

using controls::IsClass;
using controls::StyleOf;
using controls::TakesInput;

bool Ready(HWND hwnd) {
    RegisterControlClasses();
    return hwnd && IsWindow(hwnd) && TakesInput(hwnd);
}

bool Focus(HWND hwnd) {
    if (GetFocus() != hwnd)
        SetFocus(hwnd);
    return IsWindow(hwnd) != 0;
}

// The device context the colour messages carry: one memory context for
// the process, so that what the answers set on it (background mode, brush
// origin) can be read back with win::DescribeDC.
HDC PaintContext() {
    static HDC dc = CreateCompatibleDC(nullptr);
    return dc;
}

UINT ColourMessageOf(HWND w) {
    DWORD style = StyleOf(w);
    if (IsClass(w, WC_STATICW) || IsClass(w, WC_LINK))
        return WM_CTLCOLORSTATIC;
    if (IsClass(w, WC_BUTTONW)) {
        DWORD type = style & BS_TYPEMASK;
        bool pushLike = type == BS_PUSHBUTTON || type == BS_DEFPUSHBUTTON || type == BS_OWNERDRAW ||
                        type == BS_PUSHBOX || type == BS_USERBUTTON;
        return pushLike ? WM_CTLCOLORBTN : WM_CTLCOLORSTATIC;
    }
    if (IsClass(w, WC_EDITW))
        return (style & (ES_READONLY | WS_DISABLED)) ? WM_CTLCOLORSTATIC : WM_CTLCOLOREDIT;
    if (IsClass(w, WC_LISTBOXW))
        return WM_CTLCOLORLISTBOX;
    if (IsClass(w, WC_COMBOBOXW))
        return (style & 0x3) == CBS_DROPDOWNLIST ? WM_CTLCOLORLISTBOX : WM_CTLCOLOREDIT;
    return 0;
}

void PaintTree(HWND window, std::vector<CtlColorAnswer>& out) {
    if (IsClass(window, WC_DIALOG)) {
        LRESULT brush =
            SendMessageW(window, WM_CTLCOLORDLG, reinterpret_cast<WPARAM>(PaintContext()),
                         reinterpret_cast<LPARAM>(window));
        out.push_back({window, WM_CTLCOLORDLG, brush});
    } else if (UINT msg = ColourMessageOf(window)) {
        if (HWND parent = GetParent(window)) {
            LRESULT brush = SendMessageW(parent, msg, reinterpret_cast<WPARAM>(PaintContext()),
                                         reinterpret_cast<LPARAM>(window));
            out.push_back({window, msg, brush});
        }
    }
    std::vector<HWND> children;
    for (HWND w = GetWindow(window, GW_CHILD); w; w = GetWindow(w, GW_HWNDNEXT))
        children.push_back(w);
    for (HWND w : children)
        if (IsWindow(w))
            PaintTree(w, out);
}

}  // namespace

bool ClickButton(HWND button) {
    if (!Ready(button))
        return false;
    if (IsClass(button, WC_STATICW)) {
        if (!(StyleOf(button) & SS_NOTIFY))
            return false;
        controls::NotifyParent(button, STN_CLICKED);
        return true;
    }
    if (!IsClass(button, WC_BUTTONW))
        return false;
    SendMessageW(button, BM_CLICK, 0, 0);
    return true;
}

bool TypeText(HWND control, const std::wstring& text) {
    if (!Ready(control))
        return false;
    bool edit = IsClass(control, WC_EDITW);
    if (!edit && !IsClass(control, WC_COMBOBOXW))
        return false;
    if (!Focus(control))
        return false;
    for (WCHAR ch : text) {
        if (!IsWindow(control))
            return false;
        if (edit)
            controls::EditTypeChar(control, ch);
        else
            controls::ComboTypeChar(control, ch);
    }
    return true;
}

bool SelectComboItem(HWND combo, int index) {
    return Ready(combo) && controls::ComboChoose(combo, index);
}

bool CancelComboDropDown(HWND combo) {
    return Ready(combo) && controls::ComboCancelDropDown(combo);
}

bool SelectListItem(HWND list, int index, bool doubleClick) {
    return Ready(list) && controls::ListClick(list, index, doubleClick);
}

bool CancelListSelection(HWND list) {
    return Ready(list) && controls::ListCancel(list);
}

bool ClickLink(HWND link, int index) {
    return Ready(link) && controls::LinkClick(link, index);
}

bool FocusControl(HWND control) {
    return Ready(control) && Focus(control);
}

bool PressHelpKey(HWND control) {
    if (!Ready(control))
        return false;
    HWND dialog = control;
    while (dialog && !IsClass(dialog, WC_DIALOG) && (StyleOf(dialog) & WS_CHILD))
        dialog = GetParent(dialog);
    if (!dialog || !IsClass(dialog, WC_DIALOG))
        return false;
    HELPINFO info{};
    info.cbSize = sizeof(info);
    info.iContextType = HELPINFO_WINDOW;
    info.iCtrlId = GetDlgCtrlID(control);
    info.hItemHandle = control;
    SendMessageW(dialog, WM_HELP, 0, reinterpret_cast<LPARAM>(&info));
    return true;
}

HDC PaintWindowContext() {
    return PaintContext();
}

std::vector<CtlColorAnswer> PaintWindow(HWND window) {
    std::vector<CtlColorAnswer> out;
    if (IsWindow(window))
        PaintTree(window, out);
    return out;
}

bool MovePointerTo(HWND window, int x, int y) {
    RECT r{};
    if (!IsWindow(window) || !GetWindowRect(window, &r))
        return false;
    POINT p{x < 0 ? (r.left + r.right) / 2 : r.left + x,
            y < 0 ? (r.top + r.bottom) / 2 : r.top + y};
    MovePointer(p);
    return true;
}

void PressMouseButton() {
    PressPointer(true);
}

void ReleaseMouseButton() {
    PressPointer(false);
}

void WaitWhileMessagesRun(DWORD ms) {
    const DWORD start = GetTickCount();
    for (;;) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                PostQuitMessage(static_cast<int>(msg.wParam));  // the outer loop's
                return;
            }
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        const DWORD passed = GetTickCount() - start;
        if (passed >= ms)
            return;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, std::min<DWORD>(ms - passed, 50), QS_ALLINPUT);
    }
}

}  // namespace win
