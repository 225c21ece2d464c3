// The button class: push buttons, check boxes, radio buttons, group boxes.
#include "platform/win/ControlPaint.h"
#include "platform/win/ControlSupport.h"
#include "platform/win/Dialog.h"
#include "platform/win/Mouse.h"

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

// The square of a check box or the circle of a radio button, 13 pixels,
// at the left of r (right with BS_LEFTTEXT), centred vertically; returns
// the rectangle left for the text.
RECT DrawMark(cairo_t* cr, HWND hwnd, const RECT& r, UINT check, bool radio, bool enabled) {
    constexpr int kBox = 13;
    const bool rightSide = (StyleOf(hwnd) & BS_LEFTTEXT) != 0;
    const int x = rightSide ? r.right - kBox : r.left;
    const int y = r.top + (r.bottom - r.top - kBox) / 2;
    const COLORREF face = paint::SystemColour(enabled ? COLOR_WINDOW : COLOR_BTNFACE);
    const COLORREF ink = paint::SystemColour(enabled ? COLOR_WINDOWTEXT : COLOR_GRAYTEXT);
    const COLORREF rim = paint::SystemColour(enabled ? COLOR_WINDOWFRAME : COLOR_BTNSHADOW);
    if (radio) {
        const double cx = x + kBox / 2.0, cy = y + kBox / 2.0;
        cairo_arc(cr, cx, cy, kBox / 2.0 - 0.5, 0, 2 * 3.14159265358979);
        paint::SetColour(cr, face);
        cairo_fill_preserve(cr);
        paint::SetColour(cr, rim);
        cairo_set_line_width(cr, 1.0);
        cairo_stroke(cr);
        if (check) {
            cairo_arc(cr, cx, cy, 2.5, 0, 2 * 3.14159265358979);
            paint::SetColour(cr, ink);
            cairo_fill(cr);
        }
    } else {
        const RECT box{x, y, x + kBox, y + kBox};
        paint::Fill(cr, box, face);
        paint::Frame(cr, box, rim);
        if (check == BST_INDETERMINATE) {
            paint::Fill(cr, RECT{x + 3, y + 3, x + kBox - 3, y + kBox - 3}, ink);
        } else if (check) {
            paint::SetColour(cr, ink);
            cairo_set_line_width(cr, 2.0);
            cairo_move_to(cr, x + 3, y + 6.5);
            cairo_line_to(cr, x + 5.5, y + 9);
            cairo_line_to(cr, x + 10, y + 3.5);
            cairo_stroke(cr);
        }
    }
    return rightSide ? RECT{r.left, r.top, x - 3, r.bottom}
                     : RECT{x + kBox + 3, r.top, r.right, r.bottom};
}

void Paint(HWND hwnd, const ButtonState& s) {
    PaintControl(hwnd, [&](cairo_t* cr, HDC dc) {
        const DWORD type = TypeOf(hwnd);
        const DWORD style = StyleOf(hwnd);
        const bool enabled = IsWindowEnabled(hwnd) != FALSE;
        const RECT r = ClientRect(hwnd);
        const LOGFONTW font = ControlFont(hwnd);
        const std::wstring text = WindowText(hwnd);
        if (type == BS_OWNERDRAW || type == BS_USERBUTTON)
            return;
        const bool mark = type == BS_CHECKBOX || type == BS_AUTOCHECKBOX || type == BS_3STATE ||
                          type == BS_AUTO3STATE || IsRadio(type);
        if ((mark && !(style & BS_PUSHLIKE)) || type == BS_GROUPBOX) {
            const ControlColours colours = AskColours(hwnd, dc, WM_CTLCOLORSTATIC);
            if (type == BS_GROUPBOX) {
                const int line = LineHeight(font);
                RECT frame{r.left, r.top + line / 2, r.right, r.bottom};
                DrawEdge(dc, &frame, EDGE_ETCHED, BF_RECT);
                const SIZE extent = paint::MeasureText(font, text);
                const RECT label{r.left + 8, r.top,
                                 std::min<LONG>(r.right - 2, r.left + 12 + extent.cx),
                                 r.top + line};
                FillRect(dc, &label, colours.background);
                paint::Text(cr, font, text,
                            RECT{label.left + 2, label.top, label.right, label.bottom},
                            colours.text, paint::kSingleLine);
                return;
            }
            FillRect(dc, &r, colours.background);
            const RECT textRect = DrawMark(cr, hwnd, r, s.check, IsRadio(type), enabled);
            UINT flags =
                paint::kVCenter | ((style & BS_MULTILINE) ? paint::kWordBreak : paint::kSingleLine);
            if ((style & BS_CENTER) == BS_CENTER)
                flags |= paint::kAlignCenter;
            else if (style & BS_RIGHT)
                flags |= paint::kAlignRight;
            paint::Text(cr, font, text, textRect, colours.text, flags);
            return;
        }
        // Push buttons (and push-like check boxes).
        const ControlColours colours = AskColours(hwnd, dc, WM_CTLCOLORBTN);
        const bool pushed = s.pushed || ((style & BS_PUSHLIKE) && s.check);
        paint::Fill(cr, r, paint::SystemColour(COLOR_BTNFACE));
        RECT inner = r;
        if (type == BS_DEFPUSHBUTTON) {
            paint::Frame(cr, inner, paint::SystemColour(COLOR_WINDOWFRAME));
            inner = RECT{inner.left + 1, inner.top + 1, inner.right - 1, inner.bottom - 1};
        }
        if (style & BS_FLAT)
            paint::Frame(cr, inner,
                         paint::SystemColour(pushed ? COLOR_BTNSHADOW : COLOR_WINDOWFRAME));
        else if (pushed)
            paint::Frame(cr, inner, paint::SystemColour(COLOR_BTNSHADOW));
        else
            paint::Edge3D(cr, inner, false, true);
        RECT face{inner.left + 2, inner.top + 2, inner.right - 2, inner.bottom - 2};
        if (pushed)
            face = RECT{face.left + 1, face.top + 1, face.right + 1, face.bottom + 1};
        std::shared_ptr<paint::Pixels> image;
        if ((style & BS_BITMAP) && s.bitmap)
            image = paint::BitmapPixels(static_cast<HBITMAP>(s.bitmap));
        else if ((style & BS_ICON) && s.icon)
            image = paint::IconPixels(static_cast<HICON>(s.icon), 0);
        if (image && !image->data.empty()) {
            paint::Pixels copy = *image;
            cairo_surface_t* surface = paint::SurfaceOver(copy);
            cairo_set_source_surface(cr, surface,
                                     face.left + (face.right - face.left - copy.width) / 2,
                                     face.top + (face.bottom - face.top - copy.height) / 2);
            cairo_paint(cr);
            cairo_surface_destroy(surface);
            return;
        }
        paint::Text(cr, font, text, face, colours.text,
                    paint::kAlignCenter | paint::kVCenter |
                        ((style & BS_MULTILINE) ? paint::kWordBreak : paint::kSingleLine));
    });
}

bool Under(HWND hwnd, LPARAM lParam) {
    const RECT r = ClientRect(hwnd);
    const int x = static_cast<SHORT>(LOWORD(static_cast<DWORD>(lParam)));
    const int y = static_cast<SHORT>(HIWORD(static_cast<DWORD>(lParam)));
    return x >= r.left && x < r.right && y >= r.top && y < r.bottom;
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
        case WM_PAINT:
            if (s)
                Paint(hwnd, *s);
            return 0;
        case WM_LBUTTONDOWN:
        case WM_LBUTTONDBLCLK:
            // The mouse goes down on the button: it shows pushed and keeps
            // the mouse until the button comes up.
            if (!s || !TakesInput(hwnd) || TypeOf(hwnd) == BS_GROUPBOX)
                return 0;
            if (GetFocus() != hwnd)
                SetFocus(hwnd);
            SetCapture(hwnd);
            s->pushed = true;
            return 0;
        case WM_MOUSEMOVE:
            // While captured the button shows pushed only over itself.
            if (s && GetCapture() == hwnd && (wParam & MK_LBUTTON))
                s->pushed = Under(hwnd, lParam);
            return 0;
        case WM_LBUTTONUP: {
            if (!s || GetCapture() != hwnd)
                return 0;
            const bool click = Under(hwnd, lParam);
            s->pushed = false;
            ReleaseCapture();
            if (click && IsWindow(hwnd)) {
                // The state changes and the notification of a click, as
                // BM_CLICK makes them (the focus is there already).
                SendMessageW(hwnd, BM_CLICK, 0, 0);
            }
            return 0;
        }
        case WM_CAPTURECHANGED:
            if (s && reinterpret_cast<HWND>(lParam) != hwnd)
                s->pushed = false;
            return 0;
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
