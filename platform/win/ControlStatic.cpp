// The static class: texts, lines, icons and pictures.
#include "platform/win/ControlPaint.h"
#include "platform/win/ControlSupport.h"

namespace win::controls {
namespace {

struct StaticState : ControlState {
    HANDLE image = nullptr;
    UINT imageType = IMAGE_BITMAP;
};

void DrawImage(cairo_t* cr, paint::Pixels& pixels, const RECT& r, bool centre) {
    const int x = centre ? r.left + (r.right - r.left - pixels.width) / 2 : r.left;
    const int y = centre ? r.top + (r.bottom - r.top - pixels.height) / 2 : r.top;
    cairo_surface_t* surface = paint::SurfaceOver(pixels);
    cairo_set_source_surface(cr, surface, x, y);
    cairo_paint(cr);
    cairo_surface_destroy(surface);
}

void Paint(HWND hwnd, const StaticState& s) {
    PaintControl(hwnd, [&](cairo_t* cr, HDC dc) {
        const DWORD style = StyleOf(hwnd);
        const DWORD type = style & SS_TYPEMASK;
        RECT r = ClientRect(hwnd);
        const COLORREF shadow = paint::SystemColour(COLOR_BTNSHADOW);
        const COLORREF light = paint::SystemColour(COLOR_BTNHIGHLIGHT);
        switch (type) {
            case SS_ETCHEDHORZ:
                paint::Line(cr, r.left, r.top, r.right - 1, r.top, shadow);
                paint::Line(cr, r.left, r.top + 1, r.right - 1, r.top + 1, light);
                return;
            case SS_ETCHEDVERT:
                paint::Line(cr, r.left, r.top, r.left, r.bottom - 1, shadow);
                paint::Line(cr, r.left + 1, r.top, r.left + 1, r.bottom - 1, light);
                return;
            case SS_ETCHEDFRAME: {
                RECT edge = r;
                DrawEdge(dc, &edge, EDGE_ETCHED, BF_RECT);
                return;
            }
            case SS_BLACKRECT:
                paint::Fill(cr, r, paint::SystemColour(COLOR_WINDOWFRAME));
                return;
            default:
                break;
        }
        const ControlColours colours = AskColours(hwnd, dc, WM_CTLCOLORSTATIC);
        FillRect(dc, &r, colours.background);
        if (style & SS_SUNKEN) {
            paint::Edge3D(cr, r, true, false);
            r = RECT{r.left + 1, r.top + 1, r.right - 1, r.bottom - 1};
        }
        if (type == SS_ICON || type == SS_BITMAP) {
            std::shared_ptr<paint::Pixels> pixels;
            if (s.image && s.imageType == IMAGE_ICON)
                pixels = paint::IconPixels(static_cast<HICON>(s.image), 0);
            else if (s.image && s.imageType == IMAGE_BITMAP)
                pixels = paint::BitmapPixels(static_cast<HBITMAP>(s.image));
            if (pixels && !pixels->data.empty()) {
                paint::Pixels copy = *pixels;
                DrawImage(cr, copy, r, type == SS_BITMAP ? (style & SS_CENTERIMAGE) != 0 : false);
            }
            return;
        }
        UINT flags = (style & SS_NOPREFIX) ? paint::kNoPrefix : 0;
        if (type == SS_CENTER)
            flags |= paint::kAlignCenter | paint::kWordBreak;
        else if (type == SS_RIGHT)
            flags |= paint::kAlignRight | paint::kWordBreak;
        else if (type == SS_LEFT)
            flags |= paint::kWordBreak;
        else
            flags |= paint::kSingleLine;
        if (style & SS_CENTERIMAGE)
            flags |= paint::kVCenter | paint::kSingleLine;
        paint::Text(cr, ControlFont(hwnd), WindowText(hwnd), r, colours.text, flags);
    });
}

}  // namespace

LRESULT StaticProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto* s = StateOf<StaticState>(hwnd);
    switch (msg) {
        case WM_NCCREATE:
            AttachState(hwnd, new StaticState);
            return DefWindowProcW(hwnd, msg, wParam, lParam);
        case WM_NCDESTROY:
            DeleteState(hwnd);
            return 0;
        case WM_GETDLGCODE:
            return DLGC_STATIC;
        case STM_SETIMAGE:
        case STM_SETICON: {
            if (!s)
                return 0;
            HANDLE old = s->image;
            s->image =
                reinterpret_cast<HANDLE>(msg == STM_SETICON ? wParam : static_cast<WPARAM>(lParam));
            s->imageType = msg == STM_SETICON ? IMAGE_ICON : static_cast<UINT>(wParam);
            return reinterpret_cast<LRESULT>(old);
        }
        case STM_GETIMAGE:
            return s && s->imageType == wParam ? reinterpret_cast<LRESULT>(s->image) : 0;
        case STM_GETICON:
            return s && s->imageType == IMAGE_ICON ? reinterpret_cast<LRESULT>(s->image) : 0;
        case WM_PAINT:
            if (s)
                Paint(hwnd, *s);
            return 0;
        default:
            return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
}

}  // namespace win::controls
