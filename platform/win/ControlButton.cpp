// The button class: push buttons, check boxes, radio buttons, group boxes.
#include "platform/win/ControlSupport.h"
#include "platform/win/Dialog.h"

namespace win::controls {
namespace {

struct ButtonState : ControlState {
    UINT check = BST_UNCHECKED;
    bool pushed = false;
    HANDLE bitmap = nullptr;
    HANDLE icon = nullptr;
};

DWORD TypeOf(HWND hwnd) {
    return StyleOf(hwnd) & BS_TYPEMASK;
}

bool IsRadio(DWORD type) {
    return type == BS_RADIOBUTTON || type == BS_AUTORADIOBUTTON;
}

// An automatic radio button unchecks the other automatic radio buttons of
// its group (siblings from the WS_GROUP one before it to the next WS_GROUP).
void UncheckGroupSiblings(HWND button) {
    HWND parent = GetParent(button);
    if (!parent)
        return;
    HWND start = button;
    while (!(StyleOf(start) & WS_GROUP)) {
        HWND prev = GetWindow(start, GW_HWNDPREV);
        if (!prev)
            break;
        start = prev;
    }
    for (HWND w = start; w; w = GetWindow(w, GW_HWNDNEXT)) {
        if (w != start && (StyleOf(w) & WS_GROUP))
            break;
        if (w != button && IsClass(w, WC_BUTTONW) && TypeOf(w) == BS_AUTORADIOBUTTON)
            SendMessageW(w, BM_SETCHECK, BST_UNCHECKED, 0);
    }
}

}  // namespace

LRESULT ButtonProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto* s = StateOf<ButtonState>(hwnd);
    switch (msg) {
        case WM_NCCREATE:
            AttachState(hwnd, new ButtonState);
            return DefWindowProcW(hwnd, msg, wParam, lParam);
        case WM_NCDESTROY:
            DeleteState(hwnd);
            return 0;
        case WM_GETDLGCODE: {
            DWORD type = TypeOf(hwnd);
            if (type == BS_DEFPUSHBUTTON)
                return DLGC_BUTTON | DLGC_DEFPUSHBUTTON;
            if (type == BS_PUSHBUTTON || type == BS_OWNERDRAW)
                return DLGC_BUTTON | DLGC_UNDEFPUSHBUTTON;
            if (IsRadio(type))
                return DLGC_BUTTON | DLGC_RADIOBUTTON;
            if (type == BS_GROUPBOX)
                return DLGC_STATIC;
            return DLGC_BUTTON;
        }
        case BM_GETCHECK:
            return s ? static_cast<LRESULT>(s->check) : 0;
        case BM_SETCHECK: {
            if (!s)
                return 0;
            DWORD type = TypeOf(hwnd);
            UINT state = static_cast<UINT>(wParam);
            if (type == BS_3STATE || type == BS_AUTO3STATE)
                s->check = state > BST_INDETERMINATE ? BST_INDETERMINATE : state;
            else if (type == BS_CHECKBOX || type == BS_AUTOCHECKBOX || IsRadio(type))
                s->check = state == BST_UNCHECKED ? BST_UNCHECKED : BST_CHECKED;
            if (IsRadio(type)) {
                // A checked radio button is the group's tab stop.
                LONG_PTR style = GetWindowLongPtrW(hwnd, GWL_STYLE);
                SetWindowLongPtrW(
                    hwnd, GWL_STYLE,
                    s->check ? (style | WS_TABSTOP) : (style & ~LONG_PTR{WS_TABSTOP}));
            }
            return 0;
        }
        case BM_GETSTATE:
            return s ? static_cast<LRESULT>(s->check | (s->pushed ? BST_PUSHED : 0) |
                                            (GetFocus() == hwnd ? BST_FOCUS : 0))
                     : 0;
        case BM_SETSTATE:
            if (s)
                s->pushed = wParam != 0;
            return 0;
        case BM_SETSTYLE: {
            LONG_PTR style = GetWindowLongPtrW(hwnd, GWL_STYLE);
            SetWindowLongPtrW(hwnd, GWL_STYLE,
                              (style & ~LONG_PTR{0xFFFF}) | static_cast<LONG_PTR>(wParam & 0xFFFF));
            return 0;
        }
        case BM_SETIMAGE: {
            if (!s)
                return 0;
            HANDLE& slot = wParam == IMAGE_ICON ? s->icon : s->bitmap;
            HANDLE old = slot;
            slot = reinterpret_cast<HANDLE>(lParam);
            return reinterpret_cast<LRESULT>(old);
        }
        case BM_GETIMAGE:
            if (!s)
                return 0;
            return reinterpret_cast<LRESULT>(wParam == IMAGE_ICON ? s->icon : s->bitmap);
        case BM_CLICK: {
            // A click is the mouse's: a control that takes no input ignores it.
            if (!s || !TakesInput(hwnd))
                return 0;
            if (GetFocus() != hwnd && TypeOf(hwnd) != BS_GROUPBOX)
                SetFocus(hwnd);
            if (!IsWindow(hwnd))
                return 0;
            switch (TypeOf(hwnd)) {
                case BS_AUTOCHECKBOX:
                    SendMessageW(hwnd, BM_SETCHECK, s->check ? BST_UNCHECKED : BST_CHECKED, 0);
                    break;
                case BS_AUTO3STATE:
                    SendMessageW(hwnd, BM_SETCHECK, (s->check + 1) % 3, 0);
                    break;
                case BS_AUTORADIOBUTTON:
                    SendMessageW(hwnd, BM_SETCHECK, BST_CHECKED, 0);
                    UncheckGroupSiblings(hwnd);
                    break;
                case BS_GROUPBOX:
                    return 0;
                default:
                    break;
            }
            NotifyParent(hwnd, BN_CLICKED);
            return 0;
        }
        case WM_SETFOCUS:
            if (StyleOf(hwnd) & BS_NOTIFY)
                NotifyParent(hwnd, BN_SETFOCUS);
            return 0;
        case WM_KILLFOCUS:
            if (StyleOf(hwnd) & BS_NOTIFY)
                NotifyParent(hwnd, BN_KILLFOCUS);
            return 0;
        default:
            return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
}

}  // namespace win::controls
