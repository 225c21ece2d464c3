// Shared plumbing of the drawing calls (not for product code): pixel
// buffers of bitmaps and image lists, the cairo context behind a device
// context, fonts as pango descriptions, text layout, and the plain shapes
// the controls are drawn of. Drawing goes through cairo and pango; no pixel
// is set by hand except where a bitmap's bits are read or written.
#pragma once

#include <cairo.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/win/Bitmap.h"
#include "platform/win/Font.h"
#include "platform/win/Gdi.h"
#include "platform/win/Icon.h"
#include "platform/win/Window.h"

namespace win::paint {

// A block of pixels as cairo keeps them (CAIRO_FORMAT_ARGB32: native-endian
// 0xAARRGGBB words, colour premultiplied by alpha), rows top-down.
struct Pixels {
    int width = 0;
    int height = 0;
    std::vector<std::uint32_t> data;
    Pixels() = default;
    Pixels(int w, int h, std::uint32_t fill = 0xFF000000u)
        : width(w),
          height(h),
          data(static_cast<std::size_t>(w) * static_cast<std::size_t>(h), fill) {}
    std::uint32_t At(int x, int y) const {
        return data[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                    static_cast<std::size_t>(x)];
    }
};
// A cairo surface over the buffer's memory (the buffer must outlive it).
cairo_surface_t* SurfaceOver(Pixels& pixels);

// The pixels of a bitmap (shared with the bitmap; null for a value that is
// no bitmap).
std::shared_ptr<Pixels> BitmapPixels(HBITMAP bitmap);

// Decodes a device-independent bitmap (BITMAPCOREHEADER or
// BITMAPINFOHEADER, then masks and palette, then the rows; 1, 4, 8, 16, 24
// or 32 bits a pixel, uncompressed or with bit-field masks) of at most size
// bytes. rows: how many rows of the header's height are colour (an icon's
// image holds its AND mask below; 0: all). useAlpha: a 32-bit image keeps
// its alpha (icons) instead of being opaque (bitmaps). Rows the data does
// not reach stay black. False for a header it can't read.
bool DecodeDib(const std::uint8_t* data, std::size_t size, int rows, bool useAlpha, Pixels& out,
               std::size_t* used = nullptr);

// The pixels of an icon of a module's resources, of the image in its group
// nearest to size x size (0: 32); null for a stock icon or one the module
// does not carry.
std::shared_ptr<Pixels> IconPixels(HICON icon, int size);

// COLORREF (0x00BBGGRR) as cairo's source colour.
void SetColour(cairo_t* cr, COLORREF colour);
// Fills / outlines (one pixel, inside) a rectangle.
void Fill(cairo_t* cr, const RECT& r, COLORREF colour);
void Frame(cairo_t* cr, const RECT& r, COLORREF colour);
// A one-pixel line from (x0, y0) to (x1, y1), both ends included.
void Line(cairo_t* cr, int x0, int y0, int x1, int y1, COLORREF colour);
// The classic 3-D borders: raised (light top-left, shadow bottom-right) or
// sunken, one or two pixels wide.
void Edge3D(cairo_t* cr, const RECT& r, bool sunken, bool doubleWidth);
// A small filled triangle pointing down, centred in r.
void DownArrow(cairo_t* cr, const RECT& r, COLORREF colour);

// The font a handle names (null, or a value that is no font: the dialog
// font, "MS Shell Dlg" of 8 points).
LOGFONTW FontOf(HFONT font);
// Text flags of DrawTextW (Paint.h) that the layout honours.
constexpr UINT kAlignLeft = 0x0000;
constexpr UINT kAlignCenter = 0x0001;
constexpr UINT kAlignRight = 0x0002;
constexpr UINT kVCenter = 0x0004;
constexpr UINT kBottom = 0x0008;
constexpr UINT kWordBreak = 0x0010;
constexpr UINT kSingleLine = 0x0020;
constexpr UINT kNoPrefix = 0x0800;
constexpr UINT kEndEllipsis = 0x8000;
// Draws text into r with the font and colour; without kNoPrefix an "&"
// underlines the next character ("&&" is one "&"). Clipped to r.
void Text(cairo_t* cr, const LOGFONTW& font, const std::wstring& text, const RECT& r,
          COLORREF colour, UINT flags);
// The size text takes in the font (one line unless width > 0 and
// kWordBreak, then wrapped at width).
SIZE MeasureText(const LOGFONTW& font, const std::wstring& text, UINT flags = kSingleLine,
                 int width = 0);
// Ascent and descent in pixels, as tmAscent / tmDescent.
void FontMetrics(const LOGFONTW& font, int* ascent, int* descent, int* averageWidth);

// The cairo context behind a device context, for one drawing call: onto the
// selected bitmap of a memory context, or, while a picture of the window is
// being made on this thread (WindowPicture.h), onto the picture at the
// window's place, clipped to the window and its ancestors. Empty otherwise:
// what is drawn then goes nowhere, as drawing in a window that no one looks
// at. The context's origin is the window's (or bitmap's) top-left corner.
class Canvas {
public:
    explicit Canvas(HDC dc);
    ~Canvas();
    Canvas(const Canvas&) = delete;
    Canvas& operator=(const Canvas&) = delete;
    cairo_t* Cr() const { return m_cr; }
    explicit operator bool() const { return m_cr != nullptr; }
    const DeviceContextState& State() const { return m_state; }

private:
    DeviceContextState m_state;
    cairo_surface_t* m_surface = nullptr;
    cairo_t* m_cr = nullptr;
    std::shared_ptr<Pixels> m_pixels;
};

// The picture being made on this thread (WindowPicture.cpp sets it): its
// surface and the screen position its (0, 0) stands for. Null when none.
struct RenderTarget {
    cairo_surface_t* surface = nullptr;
    POINT screenOrigin{0, 0};
    HWND root = nullptr;
};
RenderTarget* CurrentRender();
void SetCurrentRender(RenderTarget* target);
// Where window lies in the current picture and what of it shows (its
// rectangle cut by its ancestors' up to the picture's window); false when
// it is not part of the picture or nothing of it shows.
bool PlaceInRender(HWND window, POINT* origin, RECT* clip);

// The system colours (Paint.h's COLOR_* indexes), those of the platform's
// default scheme.
COLORREF SystemColour(int index);

}  // namespace win::paint
