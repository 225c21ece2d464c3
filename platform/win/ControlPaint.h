// How the standard controls draw themselves (not for product code): the
// WM_PAINT frame around a control's drawing, the colour question to the
// parent, and the parts several controls are made of (scroll bars, the
// drop-down button, check marks). Each control's file draws its own state
// with these; the look is the platform's classic one, plain but
// recognisable.
#pragma once

#include <cairo.h>

#include <string>

#include "platform/win/Paint.h"
#include "platform/win/PaintSupport.h"

namespace win::controls {

// What a control paints with, after asking its parent (WM_CTLCOLOR*): the
// device context, the background brush (the parent's answer, else the
// default of that message) and the text colour (the context's after the
// answer; grey text while the control is disabled).
struct ControlColours {
    HDC dc = nullptr;
    HBRUSH background = nullptr;
    COLORREF text = 0;
};
ControlColours AskColours(HWND control, HDC dc, UINT message);

// Runs draw(cr, dc) inside the control's BeginPaint / EndPaint when its
// drawing lands in a picture; does nothing otherwise.
template <class Draw>
void PaintControl(HWND hwnd, Draw draw) {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(hwnd, &ps);
    if (!dc)
        return;
    {
        paint::Canvas canvas(dc);
        if (canvas)
            draw(canvas.Cr(), dc);
    }
    EndPaint(hwnd, &ps);
}

// The control's font (WM_GETFONT; the dialog font when it has none).
LOGFONTW ControlFont(HWND hwnd);
RECT ClientRect(HWND hwnd);
// The border of WS_BORDER (one dark pixel) or WS_EX_CLIENTEDGE (sunken,
// two pixels) drawn, and the rectangle inside it.
RECT DrawBorder(cairo_t* cr, HWND hwnd, RECT r, bool enabled);
// A plain vertical scroll bar in r: arrows at both ends and a thumb for
// first .. first + visible of total (no thumb when all is visible).
void VerticalScrollBar(cairo_t* cr, const RECT& r, int first, int visible, int total);
void HorizontalScrollBar(cairo_t* cr, const RECT& r);
// The drop-down button of a combo box.
void DropDownButton(cairo_t* cr, const RECT& r, bool enabled);
// Scroll bar width and the height of a combo box's field.
constexpr int kScrollBarWidth = 17;
int FieldHeight(const LOGFONTW& font);
// One line's height in the font.
int LineHeight(const LOGFONTW& font);
// The window's text.
std::wstring WindowText(HWND hwnd);

}  // namespace win::controls
