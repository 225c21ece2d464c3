#include "platform/win/PaintSupport.h"

#include <pango/pangocairo.h>

#include <algorithm>
#include <cwctype>
#include <set>

#include "platform/win/Paint.h"
#include "platform/win/Text.h"

namespace win::paint {
namespace {

thread_local RenderTarget* t_render = nullptr;

// The faces of the platform's dialog templates, drawn with a face of the
// same widths (Liberation Sans, Arial's metrics).
bool IsDialogSansFace(const std::wstring& face) {
    static const wchar_t* const kSansFaces[] = {
        L"",       L"MS Shell Dlg", L"MS Shell Dlg 2", L"MS Sans Serif", L"Microsoft Sans Serif",
        L"Tahoma", L"Segoe UI",     L"Arial",          L"System"};
    for (const wchar_t* f : kSansFaces) {
        std::wstring a = f, b = face;
        if (a.size() == b.size() &&
            std::equal(a.begin(), a.end(), b.begin(), [](wchar_t x, wchar_t y) {
                return std::towlower(static_cast<wint_t>(x)) ==
                       std::towlower(static_cast<wint_t>(y));
            }))
            return true;
    }
    return false;
}

// The em height in pixels that a LOGFONTW's height asks for.
double EmPixels(const LOGFONTW& font) {
    if (font.lfHeight < 0)
        return -static_cast<double>(font.lfHeight);
    if (font.lfHeight > 0)
        return font.lfHeight * 0.85;  // cell height: em plus internal leading
    return 11.0;
}

PangoFontDescription* Describe(const LOGFONTW& font) {
    PangoFontDescription* d = pango_font_description_new();
    const std::wstring face(font.lfFaceName);
    if (IsDialogSansFace(face))
        pango_font_description_set_family(d, "Liberation Sans,Arial,DejaVu Sans,sans-serif");
    else
        pango_font_description_set_family(d,
                                          (ToUtf8(face) + ",Liberation Sans,sans-serif").c_str());
    pango_font_description_set_absolute_size(d, EmPixels(font) * PANGO_SCALE);
    pango_font_description_set_weight(
        d, font.lfWeight >= 600 ? PANGO_WEIGHT_BOLD : PANGO_WEIGHT_NORMAL);
    pango_font_description_set_style(d, font.lfItalic ? PANGO_STYLE_ITALIC : PANGO_STYLE_NORMAL);
    return d;
}

// A cairo context of this thread for measuring (a 1 x 1 surface).
cairo_t* MeasuringContext() {
    thread_local struct Holder {
        cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 1, 1);
        cairo_t* cr = cairo_create(surface);
        ~Holder() {
            cairo_destroy(cr);
            cairo_surface_destroy(surface);
        }
    } holder;
    return holder.cr;
}

void SetTextOptions(PangoContext* context) {
    cairo_font_options_t* options = cairo_font_options_create();
    cairo_font_options_set_antialias(options, CAIRO_ANTIALIAS_GRAY);
    cairo_font_options_set_hint_metrics(options, CAIRO_HINT_METRICS_ON);
    cairo_font_options_set_hint_style(options, CAIRO_HINT_STYLE_SLIGHT);
    pango_cairo_context_set_font_options(context, options);
    cairo_font_options_destroy(options);
}

// A layout of text in the font; the caller unrefs it. Without kNoPrefix an
// "&" is taken out and the next character underlined.
PangoLayout* Layout(cairo_t* cr, const LOGFONTW& font, const std::wstring& text, UINT flags,
                    int width) {
    PangoLayout* layout = pango_cairo_create_layout(cr);
    SetTextOptions(pango_layout_get_context(layout));
    pango_layout_context_changed(layout);
    PangoFontDescription* d = Describe(font);
    pango_layout_set_font_description(layout, d);
    pango_font_description_free(d);
    std::string utf8;
    PangoAttrList* attributes = pango_attr_list_new();
    for (std::size_t i = 0; i < text.size(); ++i) {
        wchar_t c = text[i];
        if (!(flags & kNoPrefix) && c == L'&' && i + 1 < text.size()) {
            ++i;
            c = text[i];
            if (c != L'&') {
                auto* underline = pango_attr_underline_new(PANGO_UNDERLINE_SINGLE);
                underline->start_index = static_cast<guint>(utf8.size());
                utf8 += ToUtf8(std::wstring(1, c));
                underline->end_index = static_cast<guint>(utf8.size());
                pango_attr_list_insert(attributes, underline);
                continue;
            }
        }
        utf8 += ToUtf8(std::wstring(1, c));
    }
    if (font.lfUnderline) {
        auto* underline = pango_attr_underline_new(PANGO_UNDERLINE_SINGLE);
        pango_attr_list_insert(attributes, underline);
    }
    pango_layout_set_text(layout, utf8.c_str(), static_cast<int>(utf8.size()));
    pango_layout_set_attributes(layout, attributes);
    pango_attr_list_unref(attributes);
    if ((flags & kWordBreak) && !(flags & kSingleLine) && width > 0) {
        pango_layout_set_width(layout, width * PANGO_SCALE);
        pango_layout_set_wrap(layout, PANGO_WRAP_WORD_CHAR);
    } else if ((flags & kEndEllipsis) && width > 0) {
        pango_layout_set_width(layout, width * PANGO_SCALE);
        pango_layout_set_ellipsize(layout, PANGO_ELLIPSIZE_END);
    }
    if (flags & kSingleLine)
        pango_layout_set_single_paragraph_mode(layout, TRUE);
    const UINT align = flags & 3;
    pango_layout_set_alignment(layout, align == kAlignCenter  ? PANGO_ALIGN_CENTER
                                       : align == kAlignRight ? PANGO_ALIGN_RIGHT
                                                              : PANGO_ALIGN_LEFT);
    return layout;
}

}  // namespace

cairo_surface_t* SurfaceOver(Pixels& pixels) {
    return cairo_image_surface_create_for_data(reinterpret_cast<unsigned char*>(pixels.data.data()),
                                               CAIRO_FORMAT_ARGB32, pixels.width, pixels.height,
                                               pixels.width * 4);
}

void SetColour(cairo_t* cr, COLORREF colour) {
    cairo_set_source_rgb(cr, (colour & 0xFF) / 255.0, ((colour >> 8) & 0xFF) / 255.0,
                         ((colour >> 16) & 0xFF) / 255.0);
}

void Fill(cairo_t* cr, const RECT& r, COLORREF colour) {
    if (r.right <= r.left || r.bottom <= r.top)
        return;
    SetColour(cr, colour);
    cairo_rectangle(cr, r.left, r.top, r.right - r.left, r.bottom - r.top);
    cairo_fill(cr);
}

void Frame(cairo_t* cr, const RECT& r, COLORREF colour) {
    if (r.right <= r.left || r.bottom <= r.top)
        return;
    Line(cr, r.left, r.top, r.right - 1, r.top, colour);
    Line(cr, r.left, r.bottom - 1, r.right - 1, r.bottom - 1, colour);
    Line(cr, r.left, r.top, r.left, r.bottom - 1, colour);
    Line(cr, r.right - 1, r.top, r.right - 1, r.bottom - 1, colour);
}

void Line(cairo_t* cr, int x0, int y0, int x1, int y1, COLORREF colour) {
    // Whole pixels: a horizontal or vertical run of unit squares.
    SetColour(cr, colour);
    int left = std::min(x0, x1), right = std::max(x0, x1);
    int top = std::min(y0, y1), bottom = std::max(y0, y1);
    cairo_rectangle(cr, left, top, right - left + 1, bottom - top + 1);
    cairo_fill(cr);
}

void Edge3D(cairo_t* cr, const RECT& r, bool sunken, bool doubleWidth) {
    const COLORREF light = SystemColour(COLOR_BTNHIGHLIGHT);
    const COLORREF shadow = SystemColour(COLOR_BTNSHADOW);
    const COLORREF dark = SystemColour(COLOR_3DDKSHADOW);
    const COLORREF face = SystemColour(COLOR_3DLIGHT);
    auto ring = [&](const RECT& q, COLORREF topLeft, COLORREF bottomRight) {
        if (q.right - q.left < 2 || q.bottom - q.top < 2)
            return;
        Line(cr, q.left, q.top, q.right - 2, q.top, topLeft);
        Line(cr, q.left, q.top, q.left, q.bottom - 2, topLeft);
        Line(cr, q.left, q.bottom - 1, q.right - 1, q.bottom - 1, bottomRight);
        Line(cr, q.right - 1, q.top, q.right - 1, q.bottom - 1, bottomRight);
    };
    if (sunken) {
        ring(r, shadow, light);
        if (doubleWidth)
            ring(RECT{r.left + 1, r.top + 1, r.right - 1, r.bottom - 1}, dark, face);
    } else {
        ring(r, doubleWidth ? face : light, doubleWidth ? dark : shadow);
        if (doubleWidth)
            ring(RECT{r.left + 1, r.top + 1, r.right - 1, r.bottom - 1}, light, shadow);
    }
}

void DownArrow(cairo_t* cr, const RECT& r, COLORREF colour) {
    const double cx = (r.left + r.right) / 2.0, cy = (r.top + r.bottom) / 2.0;
    SetColour(cr, colour);
    cairo_move_to(cr, cx - 3.5, cy - 1.5);
    cairo_line_to(cr, cx + 3.5, cy - 1.5);
    cairo_line_to(cr, cx, cy + 2.0);
    cairo_close_path(cr);
    cairo_fill(cr);
}

LOGFONTW FontOf(HFONT font) {
    if (font) {
        if (auto described = DescribeFont(font))
            return *described;
    }
    LOGFONTW standard{};
    standard.lfHeight = -11;
    standard.lfWeight = FW_NORMAL;
    const wchar_t* face = L"MS Shell Dlg";
    std::copy(face, face + std::wcslen(face) + 1, standard.lfFaceName);
    return standard;
}

void Text(cairo_t* cr, const LOGFONTW& font, const std::wstring& text, const RECT& r,
          COLORREF colour, UINT flags) {
    const int width = r.right - r.left, height = r.bottom - r.top;
    if (width <= 0 || height <= 0 || text.empty())
        return;
    cairo_save(cr);
    cairo_rectangle(cr, r.left, r.top, width, height);
    cairo_clip(cr);
    PangoLayout* layout = Layout(cr, font, text, flags, width);
    if (!(flags & (kWordBreak | kEndEllipsis)) || (flags & kSingleLine))
        pango_layout_set_width(layout, (flags & 3) ? width * PANGO_SCALE : -1);
    int w = 0, h = 0;
    pango_layout_get_pixel_size(layout, &w, &h);
    double y = r.top;
    if (flags & kVCenter)
        y = r.top + (height - h) / 2;
    else if (flags & kBottom)
        y = r.bottom - h;
    SetColour(cr, colour);
    cairo_move_to(cr, r.left, y);
    pango_cairo_show_layout(cr, layout);
    g_object_unref(layout);
    cairo_restore(cr);
}

SIZE MeasureText(const LOGFONTW& font, const std::wstring& text, UINT flags, int width) {
    PangoLayout* layout = Layout(MeasuringContext(), font, text, flags, width);
    int w = 0, h = 0;
    pango_layout_get_pixel_size(layout, &w, &h);
    g_object_unref(layout);
    return SIZE{w, h};
}

void FontMetrics(const LOGFONTW& font, int* ascent, int* descent, int* averageWidth) {
    PangoLayout* layout = Layout(MeasuringContext(), font, L"x", kSingleLine, 0);
    PangoFontDescription* d = Describe(font);
    PangoFontMetrics* m = pango_context_get_metrics(pango_layout_get_context(layout), d, nullptr);
    *ascent = (pango_font_metrics_get_ascent(m) + PANGO_SCALE / 2) / PANGO_SCALE;
    *descent = (pango_font_metrics_get_descent(m) + PANGO_SCALE / 2) / PANGO_SCALE;
    *averageWidth =
        (pango_font_metrics_get_approximate_char_width(m) + PANGO_SCALE / 2) / PANGO_SCALE;
    pango_font_metrics_unref(m);
    pango_font_description_free(d);
    g_object_unref(layout);
}

RenderTarget* CurrentRender() {
    return t_render;
}

void SetCurrentRender(RenderTarget* target) {
    t_render = target;
}

bool PlaceInRender(HWND window, POINT* origin, RECT* clip) {
    RenderTarget* target = t_render;
    if (!target || !IsWindow(window))
        return false;
    RECT own{};
    GetWindowRect(window, &own);
    RECT visible = own;
    bool reached = false;
    for (HWND w = window; w && IsWindow(w);) {
        if (w != window) {
            RECT r{};
            GetWindowRect(w, &r);
            visible.left = std::max(visible.left, r.left);
            visible.top = std::max(visible.top, r.top);
            visible.right = std::min(visible.right, r.right);
            visible.bottom = std::min(visible.bottom, r.bottom);
        }
        if (w == target->root) {
            reached = true;
            break;
        }
        const auto style = static_cast<DWORD>(GetWindowLongPtrW(w, GWL_STYLE));
        if (!(style & WS_CHILD)) {
            // A top-level window drawn over the picture (an owned popup).
            reached = w == window;
            break;
        }
        w = GetParent(w);
    }
    if (!reached || visible.right <= visible.left || visible.bottom <= visible.top)
        return false;
    origin->x = own.left - target->screenOrigin.x;
    origin->y = own.top - target->screenOrigin.y;
    *clip = RECT{visible.left - own.left, visible.top - own.top, visible.right - own.left,
                 visible.bottom - own.top};
    return true;
}

Canvas::Canvas(HDC dc) {
    auto state = DescribeDC(dc);
    if (!state)
        return;
    m_state = *state;
    if (!m_state.window) {
        if (!m_state.selectedBitmap)
            return;
        m_pixels = BitmapPixels(static_cast<HBITMAP>(m_state.selectedBitmap));
        if (!m_pixels || m_pixels->data.empty())
            return;
        m_surface = SurfaceOver(*m_pixels);
        m_cr = cairo_create(m_surface);
        return;
    }
    POINT origin{};
    RECT clip{};
    if (!PlaceInRender(m_state.window, &origin, &clip))
        return;
    m_cr = cairo_create(t_render->surface);
    cairo_translate(m_cr, origin.x, origin.y);
    cairo_rectangle(m_cr, clip.left, clip.top, clip.right - clip.left, clip.bottom - clip.top);
    cairo_clip(m_cr);
}

Canvas::~Canvas() {
    if (m_cr)
        cairo_destroy(m_cr);
    if (m_surface) {
        cairo_surface_flush(m_surface);
        cairo_surface_destroy(m_surface);
    }
}

COLORREF SystemColour(int index) {
    // The platform's default ("Windows Standard" / Aero) scheme.
    static const COLORREF kColours[] = {
        RGB(200, 200, 200),  // COLOR_SCROLLBAR
        RGB(0, 0, 0),        // COLOR_BACKGROUND
        RGB(153, 180, 209),  // COLOR_ACTIVECAPTION
        RGB(191, 205, 219),  // COLOR_INACTIVECAPTION
        RGB(240, 240, 240),  // COLOR_MENU
        RGB(255, 255, 255),  // COLOR_WINDOW
        RGB(100, 100, 100),  // COLOR_WINDOWFRAME
        RGB(0, 0, 0),        // COLOR_MENUTEXT
        RGB(0, 0, 0),        // COLOR_WINDOWTEXT
        RGB(0, 0, 0),        // COLOR_CAPTIONTEXT
        RGB(180, 180, 180),  // COLOR_ACTIVEBORDER
        RGB(244, 247, 252),  // COLOR_INACTIVEBORDER
        RGB(171, 171, 171),  // COLOR_APPWORKSPACE
        RGB(0, 120, 215),    // COLOR_HIGHLIGHT
        RGB(255, 255, 255),  // COLOR_HIGHLIGHTTEXT
        RGB(240, 240, 240),  // COLOR_BTNFACE
        RGB(160, 160, 160),  // COLOR_BTNSHADOW
        RGB(109, 109, 109),  // COLOR_GRAYTEXT
        RGB(0, 0, 0),        // COLOR_BTNTEXT
        RGB(0, 0, 0),        // COLOR_INACTIVECAPTIONTEXT
        RGB(255, 255, 255),  // COLOR_BTNHIGHLIGHT
        RGB(105, 105, 105),  // COLOR_3DDKSHADOW
        RGB(227, 227, 227),  // COLOR_3DLIGHT
        RGB(0, 0, 0),        // COLOR_INFOTEXT
        RGB(255, 255, 225),  // COLOR_INFOBK
        RGB(0, 0, 0),        // 25: unused
        RGB(0, 102, 204),    // COLOR_HOTLIGHT
        RGB(185, 209, 234),  // COLOR_GRADIENTACTIVECAPTION
        RGB(215, 228, 242),  // COLOR_GRADIENTINACTIVECAPTION
        RGB(0, 120, 215),    // COLOR_MENUHILIGHT
        RGB(240, 240, 240),  // COLOR_MENUBAR
    };
    if (index < 0 || index >= static_cast<int>(sizeof kColours / sizeof kColours[0]))
        return 0;
    return kColours[index];
}

}  // namespace win::paint
