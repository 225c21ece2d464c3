#include "platform/win/ControlPaint.h"

#include <algorithm>

#include "platform/win/Controls.h"
#include "platform/win/MessageLoop.h"

namespace win::controls {

ControlColours AskColours(HWND control, HDC dc, UINT message) {
    ControlColours c;
    c.dc = dc;
    const bool window = message == WM_CTLCOLOREDIT || message == WM_CTLCOLORLISTBOX;
    SetTextColor(dc, paint::SystemColour(window ? COLOR_WINDOWTEXT : COLOR_BTNTEXT));
    SetBkColor(dc, paint::SystemColour(window ? COLOR_WINDOW : COLOR_BTNFACE));
    HWND parent = GetParent(control);
    LRESULT answer = parent && parent != GetDesktopWindow()
                         ? SendMessageW(parent, message, reinterpret_cast<WPARAM>(dc),
                                        reinterpret_cast<LPARAM>(control))
                         : 0;
    c.background = reinterpret_cast<HBRUSH>(answer);
    if (!c.background || !DescribeBrush(c.background, nullptr))
        c.background = GetSysColorBrush(window ? COLOR_WINDOW : COLOR_BTNFACE);
    c.text = IsWindowEnabled(control) ? GetTextColor(dc) : paint::SystemColour(COLOR_GRAYTEXT);
    return c;
}

LOGFONTW ControlFont(HWND hwnd) {
    return paint::FontOf(reinterpret_cast<HFONT>(SendMessageW(hwnd, WM_GETFONT, 0, 0)));
}

RECT ClientRect(HWND hwnd) {
    RECT r{};
    GetClientRect(hwnd, &r);
    return r;
}

RECT DrawBorder(cairo_t* cr, HWND hwnd, RECT r, bool enabled) {
    const auto style = static_cast<DWORD>(GetWindowLongPtrW(hwnd, GWL_STYLE));
    const auto exStyle = static_cast<DWORD>(GetWindowLongPtrW(hwnd, GWL_EXSTYLE));
    if (exStyle & WS_EX_CLIENTEDGE) {
        paint::Edge3D(cr, r, true, true);
        return RECT{r.left + 2, r.top + 2, r.right - 2, r.bottom - 2};
    }
    if (style & WS_BORDER) {
        paint::Frame(cr, r, paint::SystemColour(enabled ? COLOR_WINDOWFRAME : COLOR_BTNSHADOW));
        return RECT{r.left + 1, r.top + 1, r.right - 1, r.bottom - 1};
    }
    return r;
}

namespace {

void ArrowButton(cairo_t* cr, const RECT& r, bool up) {
    paint::Fill(cr, r, paint::SystemColour(COLOR_BTNFACE));
    paint::Edge3D(cr, r, false, true);
    const double cx = (r.left + r.right) / 2.0, cy = (r.top + r.bottom) / 2.0;
    paint::SetColour(cr, paint::SystemColour(COLOR_BTNTEXT));
    cairo_move_to(cr, cx - 3.5, up ? cy + 1.5 : cy - 1.5);
    cairo_line_to(cr, cx + 3.5, up ? cy + 1.5 : cy - 1.5);
    cairo_line_to(cr, cx, up ? cy - 2.0 : cy + 2.0);
    cairo_close_path(cr);
    cairo_fill(cr);
}

}  // namespace

void VerticalScrollBar(cairo_t* cr, const RECT& r, int first, int visible, int total) {
    paint::Fill(cr, r, paint::SystemColour(COLOR_SCROLLBAR));
    const int w = r.right - r.left;
    const int h = r.bottom - r.top;
    const int arrow = std::min(w, h / 2);
    ArrowButton(cr, RECT{r.left, r.top, r.right, r.top + arrow}, true);
    ArrowButton(cr, RECT{r.left, r.bottom - arrow, r.right, r.bottom}, false);
    const int track = h - 2 * arrow;
    if (total > visible && visible > 0 && track > 8) {
        const int thumb = std::max(8, track * visible / total);
        const int top = r.top + arrow + (track - thumb) * first / std::max(1, total - visible);
        const RECT t{r.left, top, r.right, top + thumb};
        paint::Fill(cr, t, paint::SystemColour(COLOR_BTNFACE));
        paint::Edge3D(cr, t, false, true);
    }
}

void HorizontalScrollBar(cairo_t* cr, const RECT& r) {
    paint::Fill(cr, r, paint::SystemColour(COLOR_SCROLLBAR));
    const int h = r.bottom - r.top;
    for (const RECT& b :
         {RECT{r.left, r.top, r.left + h, r.bottom}, RECT{r.right - h, r.top, r.right, r.bottom}}) {
        paint::Fill(cr, b, paint::SystemColour(COLOR_BTNFACE));
        paint::Edge3D(cr, b, false, true);
    }
}

void DropDownButton(cairo_t* cr, const RECT& r, bool enabled) {
    paint::Fill(cr, r, paint::SystemColour(COLOR_BTNFACE));
    paint::Edge3D(cr, r, false, true);
    paint::DownArrow(cr, r, paint::SystemColour(enabled ? COLOR_BTNTEXT : COLOR_GRAYTEXT));
}

int LineHeight(const LOGFONTW& font) {
    int ascent = 0, descent = 0, average = 0;
    paint::FontMetrics(font, &ascent, &descent, &average);
    return std::max(1, ascent + descent);
}

int FieldHeight(const LOGFONTW& font) {
    return LineHeight(font) + 8;
}

std::wstring WindowText(HWND hwnd) {
    const int n = GetWindowTextLengthW(hwnd);
    std::wstring text(static_cast<std::size_t>(n) + 1, L'\0');
    text.resize(static_cast<std::size_t>(GetWindowTextW(hwnd, text.data(), n + 1)));
    return text;
}

}  // namespace win::controls
