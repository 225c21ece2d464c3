#include "platform/win/Paint.h"

#include <algorithm>
#include <cwchar>

#include "platform/win/PaintSupport.h"

namespace win {
namespace {

bool Fills(HDC dc, const RECT& r, HBRUSH brush, bool frameOnly) {
    BrushInfo info;
    if (!DescribeBrush(brush, &info))
        return false;
    paint::Canvas canvas(dc);
    if (!canvas)
        return DescribeDC(dc).has_value();
    cairo_t* cr = canvas.Cr();
    if (frameOnly) {
        paint::Frame(cr, r, info.pattern ? 0 : info.colour);
        return true;
    }
    if (!info.pattern) {
        paint::Fill(cr, r, info.colour);
        return true;
    }
    auto pixels = paint::BitmapPixels(info.bitmap);
    if (!pixels || pixels->data.empty())
        return true;
    // A copy: the brush's bitmap may be the context's own target.
    paint::Pixels copy = *pixels;
    cairo_surface_t* surface = paint::SurfaceOver(copy);
    cairo_pattern_t* pattern = cairo_pattern_create_for_surface(surface);
    cairo_pattern_set_extend(pattern, CAIRO_EXTEND_REPEAT);
    cairo_matrix_t m;
    cairo_matrix_init_translate(&m, -canvas.State().brushOrigin.x, -canvas.State().brushOrigin.y);
    cairo_pattern_set_matrix(pattern, &m);
    cairo_set_source(cr, pattern);
    cairo_rectangle(cr, r.left, r.top, r.right - r.left, r.bottom - r.top);
    cairo_fill(cr);
    cairo_pattern_destroy(pattern);
    cairo_surface_destroy(surface);
    return true;
}

}  // namespace
}  // namespace win

HDC BeginPaint(HWND hwnd, PAINTSTRUCT* ps) {
    if (!ps || !IsWindow(hwnd)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    *ps = PAINTSTRUCT{};
    ps->hdc = win::WindowDC(hwnd);
    GetClientRect(hwnd, &ps->rcPaint);
    return ps->hdc;
}

BOOL EndPaint(HWND, const PAINTSTRUCT* ps) {
    if (ps && ps->hdc)
        DeleteDC(ps->hdc);
    return TRUE;
}

BOOL InvalidateRect(HWND hwnd, const RECT*, BOOL) {
    return IsWindow(hwnd) || hwnd == nullptr;
}

BOOL UpdateWindow(HWND hwnd) {
    return IsWindow(hwnd);
}

DWORD GetSysColor(int index) {
    return win::paint::SystemColour(index);
}

HBRUSH GetSysColorBrush(int index) {
    return win::SystemColourBrush(index);
}

HBRUSH CreateSolidBrush(COLORREF colour) {
    return win::MakeSolidBrush(colour);
}

int FillRect(HDC dc, const RECT* rect, HBRUSH brush) {
    return rect && win::Fills(dc, *rect, brush, false) ? TRUE : FALSE;
}

int FrameRect(HDC dc, const RECT* rect, HBRUSH brush) {
    return rect && win::Fills(dc, *rect, brush, true) ? TRUE : FALSE;
}

BOOL DrawEdge(HDC dc, RECT* rect, UINT edge, UINT flags) {
    if (!rect || !win::DescribeDC(dc))
        return FALSE;
    const bool doubleWidth = (edge & (BDR_RAISEDOUTER | BDR_SUNKENOUTER)) &&
                             (edge & (BDR_RAISEDINNER | BDR_SUNKENINNER));
    const bool sunken =
        (edge & BDR_SUNKENOUTER) || (!(edge & BDR_RAISEDOUTER) && (edge & BDR_SUNKENINNER));
    win::paint::Canvas canvas(dc);
    if (canvas) {
        if (edge == EDGE_ETCHED) {
            const COLORREF shadow = win::paint::SystemColour(COLOR_BTNSHADOW);
            const COLORREF light = win::paint::SystemColour(COLOR_BTNHIGHLIGHT);
            const RECT& r = *rect;
            if (flags & BF_TOP)
                win::paint::Line(canvas.Cr(), r.left, r.top, r.right - 1, r.top, shadow),
                    win::paint::Line(canvas.Cr(), r.left, r.top + 1, r.right - 1, r.top + 1, light);
            if (flags & BF_LEFT)
                win::paint::Line(canvas.Cr(), r.left, r.top, r.left, r.bottom - 1, shadow),
                    win::paint::Line(canvas.Cr(), r.left + 1, r.top, r.left + 1, r.bottom - 1,
                                     light);
            if (flags & BF_BOTTOM)
                win::paint::Line(canvas.Cr(), r.left, r.bottom - 2, r.right - 1, r.bottom - 2,
                                 shadow),
                    win::paint::Line(canvas.Cr(), r.left, r.bottom - 1, r.right - 1, r.bottom - 1,
                                     light);
            if (flags & BF_RIGHT)
                win::paint::Line(canvas.Cr(), r.right - 2, r.top, r.right - 2, r.bottom - 1,
                                 shadow),
                    win::paint::Line(canvas.Cr(), r.right - 1, r.top, r.right - 1, r.bottom - 1,
                                     light);
        } else {
            win::paint::Edge3D(canvas.Cr(), *rect, sunken, doubleWidth);
        }
    }
    if (flags & BF_ADJUST) {
        const int w = doubleWidth ? 2 : 1;
        if (flags & BF_LEFT)
            rect->left += w;
        if (flags & BF_TOP)
            rect->top += w;
        if (flags & BF_RIGHT)
            rect->right -= w;
        if (flags & BF_BOTTOM)
            rect->bottom -= w;
    }
    return TRUE;
}

COLORREF SetTextColor(HDC dc, COLORREF colour) {
    return win::SetDCColour(dc, true, colour).value_or(CLR_INVALID);
}

COLORREF GetTextColor(HDC dc) {
    auto state = win::DescribeDC(dc);
    return state ? state->textColour : CLR_INVALID;
}

COLORREF SetBkColor(HDC dc, COLORREF colour) {
    return win::SetDCColour(dc, false, colour).value_or(CLR_INVALID);
}

COLORREF GetBkColor(HDC dc) {
    auto state = win::DescribeDC(dc);
    return state ? state->bkColour : CLR_INVALID;
}

int DrawTextW(HDC dc, const WCHAR* text, int count, RECT* rect, UINT format) {
    auto state = win::DescribeDC(dc);
    if (!state || !rect || !text)
        return 0;
    const std::wstring s(text, count < 0 ? std::wcslen(text) : static_cast<std::size_t>(count));
    const LOGFONTW font = win::paint::FontOf(static_cast<HFONT>(state->selectedFont));
    const SIZE extent = win::paint::MeasureText(font, s, format, rect->right - rect->left);
    if (format & DT_CALCRECT) {
        rect->right = rect->left + extent.cx;
        rect->bottom = rect->top + extent.cy;
        return extent.cy;
    }
    win::paint::Canvas canvas(dc);
    if (canvas) {
        if (state->bkMode == OPAQUE)
            win::paint::Fill(canvas.Cr(), *rect, state->bkColour);
        win::paint::Text(canvas.Cr(), font, s, *rect, state->textColour, format);
    }
    return extent.cy;
}
