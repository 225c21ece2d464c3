#include "platform/win/WindowPicture.h"

#include <cairo.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <deque>

#include "platform/win/Clock.h"
#include "platform/win/Gdi.h"
#include "platform/win/MessageLoop.h"
#include "platform/win/Mutex.h"
#include "platform/win/Paint.h"
#include "platform/win/PaintSupport.h"
#include "platform/win/Text.h"
#include "platform/win/Threads.h"

namespace win {
namespace {

// The frame the platform draws around a captioned top-level window.
constexpr int kBorder = 4;
constexpr int kCaption = 23;
constexpr int kToolCaption = 19;

struct Frame {
    int left = 0, top = 0, right = 0, bottom = 0;
};

DWORD StyleOf(HWND hwnd) {
    return static_cast<DWORD>(GetWindowLongPtrW(hwnd, GWL_STYLE));
}
DWORD ExStyleOf(HWND hwnd) {
    return static_cast<DWORD>(GetWindowLongPtrW(hwnd, GWL_EXSTYLE));
}
bool Captioned(HWND hwnd) {
    const DWORD style = StyleOf(hwnd);
    return !(style & WS_CHILD) && (style & WS_CAPTION) == WS_CAPTION;
}

std::wstring TextOf(HWND hwnd) {
    WCHAR text[512] = {};
    GetWindowTextW(hwnd, text, 512);
    return text;
}

Frame FrameOf(HWND hwnd) {
    if (!Captioned(hwnd))
        return {};
    const int caption = (ExStyleOf(hwnd) & WS_EX_TOOLWINDOW) ? kToolCaption : kCaption;
    return Frame{kBorder, kBorder + caption, kBorder, kBorder};
}

void DrawFrame(cairo_t* cr, HWND hwnd, int width, int height, const Frame& f) {
    using paint::SystemColour;
    paint::Fill(cr, RECT{0, 0, width, height}, SystemColour(COLOR_ACTIVECAPTION));
    paint::Frame(cr, RECT{0, 0, width, height}, SystemColour(COLOR_WINDOWFRAME));
    const RECT bar{kBorder, kBorder, width - kBorder, f.top - 1};
    paint::Fill(cr, bar, SystemColour(COLOR_GRADIENTACTIVECAPTION));
    LOGFONTW font = paint::FontOf(nullptr);
    font.lfHeight = -12;
    paint::Text(cr, font, TextOf(hwnd), RECT{bar.left + 4, bar.top, bar.right - 28, bar.bottom},
                SystemColour(COLOR_CAPTIONTEXT),
                paint::kSingleLine | paint::kVCenter | paint::kNoPrefix | paint::kEndEllipsis);
    if (StyleOf(hwnd) & WS_SYSMENU) {
        // The close box: a cross in the caption's right end.
        const double cx = bar.right - 12, cy = (bar.top + bar.bottom) / 2.0;
        paint::SetColour(cr, SystemColour(COLOR_CAPTIONTEXT));
        cairo_set_line_width(cr, 1.2);
        cairo_move_to(cr, cx - 4, cy - 4);
        cairo_line_to(cr, cx + 4, cy + 4);
        cairo_move_to(cr, cx + 4, cy - 4);
        cairo_line_to(cr, cx - 4, cy + 4);
        cairo_stroke(cr);
    }
    paint::Frame(cr, RECT{f.left - 1, f.top - 1, width - f.right + 1, height - f.bottom + 1},
                 SystemColour(COLOR_ACTIVEBORDER));
}

void PaintOne(HWND hwnd) {
    HDC dc = WindowDC(hwnd);
    SendMessageW(hwnd, WM_ERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    DeleteDC(dc);
    if (IsWindow(hwnd))
        SendMessageW(hwnd, WM_PAINT, 0, 0);
}

// The window, then its visible children from the bottom of the z-order up.
void PaintTree(HWND hwnd) {
    PaintOne(hwnd);
    std::vector<HWND> children;
    for (HWND c = GetWindow(hwnd, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT))
        children.push_back(c);
    for (auto it = children.rbegin(); it != children.rend(); ++it)
        if (IsWindow(*it) && (StyleOf(*it) & WS_VISIBLE))
            PaintTree(*it);
}

bool OwnedBy(HWND window, HWND top) {
    for (HWND o = GetWindow(window, GW_OWNER); o; o = GetWindow(o, GW_OWNER))
        if (o == top)
            return true;
    return false;
}

struct KeptPictures {
    Mutex mutex;
    bool keep GUARDED_BY(mutex) = false;
    std::deque<ClosedWindowPicture> pictures GUARDED_BY(mutex);
};
KeptPictures& Kept() {
    static auto* kept = new KeptPictures;
    return *kept;
}

}  // namespace

COLORREF Picture::At(int x, int y) const {
    if (x < 0 || y < 0 || x >= width || y >= height)
        return 0;
    const std::uint32_t p = pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                                   static_cast<std::size_t>(x)];
    return RGB(static_cast<BYTE>((p >> 16) & 0xFF), static_cast<BYTE>((p >> 8) & 0xFF),
               static_cast<BYTE>(p & 0xFF));
}

Picture MakeWindowPicture(HWND window) {
    Picture picture;
    if (!IsWindow(window) || WindowThreadId(window) != GetCurrentThreadId())
        return picture;
    RECT wr{};
    GetWindowRect(window, &wr);
    const Frame f = FrameOf(window);
    const int width = (wr.right - wr.left) + f.left + f.right;
    const int height = (wr.bottom - wr.top) + f.top + f.bottom;
    if (width <= 0 || height <= 0 || width > 8192 || height > 8192)
        return picture;
    paint::Pixels pixels(width, height, 0xFFFFFFFFu);
    cairo_surface_t* surface = paint::SurfaceOver(pixels);
    if (f.top > 0) {
        cairo_t* cr = cairo_create(surface);
        DrawFrame(cr, window, width, height, f);
        cairo_destroy(cr);
    }
    paint::RenderTarget target;
    target.surface = surface;
    target.screenOrigin = POINT{wr.left - f.left, wr.top - f.top};
    target.root = window;
    paint::RenderTarget* previous = paint::CurrentRender();
    paint::SetCurrentRender(&target);
    PaintTree(window);
    // Popups the window's top-level window owns, over it (a tooltip).
    HWND top = (StyleOf(window) & WS_CHILD) ? GetAncestor(window, GA_ROOT) : window;
    std::vector<HWND> popups;
    for (HWND w = GetWindow(GetDesktopWindow(), GW_CHILD); w; w = GetWindow(w, GW_HWNDNEXT))
        if (w != top && IsWindowVisible(w) && WindowThreadId(w) == GetCurrentThreadId() &&
            OwnedBy(w, top))
            popups.push_back(w);
    for (auto it = popups.rbegin(); it != popups.rend(); ++it)
        if (IsWindow(*it))
            PaintTree(*it);
    paint::SetCurrentRender(previous);
    cairo_surface_flush(surface);
    cairo_surface_destroy(surface);
    picture.width = width;
    picture.height = height;
    picture.windowOrigin = POINT{f.left, f.top};
    picture.caption = TextOf(window);
    picture.pixels.resize(pixels.data.size());
    std::transform(pixels.data.begin(), pixels.data.end(), picture.pixels.begin(),
                   [](std::uint32_t p) { return p & 0x00FFFFFFu; });
    return picture;
}

Picture CropToWindow(const Picture& picture, HWND pictured, HWND control) {
    Picture out;
    RECT outer{}, inner{};
    if (!GetWindowRect(pictured, &outer) || !GetWindowRect(control, &inner))
        return out;
    const int x0 = inner.left - outer.left + picture.windowOrigin.x;
    const int y0 = inner.top - outer.top + picture.windowOrigin.y;
    const int w = inner.right - inner.left, h = inner.bottom - inner.top;
    if (w <= 0 || h <= 0 || x0 < 0 || y0 < 0 || x0 + w > picture.width || y0 + h > picture.height)
        return out;
    out.width = w;
    out.height = h;
    out.pixels.reserve(static_cast<std::size_t>(w) * static_cast<std::size_t>(h));
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            out.pixels.push_back(picture.pixels[static_cast<std::size_t>(y0 + y) *
                                                    static_cast<std::size_t>(picture.width) +
                                                static_cast<std::size_t>(x0 + x)]);
    return out;
}

bool SavePicture(const Picture& picture, const std::string& path) {
    if (picture.Empty())
        return false;
    paint::Pixels pixels(picture.width, picture.height);
    std::transform(picture.pixels.begin(), picture.pixels.end(), pixels.data.begin(),
                   [](std::uint32_t p) { return p | 0xFF000000u; });
    cairo_surface_t* surface = paint::SurfaceOver(pixels);
    const bool ok = cairo_surface_write_to_png(surface, path.c_str()) == CAIRO_STATUS_SUCCESS;
    cairo_surface_destroy(surface);
    return ok;
}

bool LoadPicture(const std::string& path, Picture* picture) {
    cairo_surface_t* surface = cairo_image_surface_create_from_png(path.c_str());
    bool ok = cairo_surface_status(surface) == CAIRO_STATUS_SUCCESS;
    if (ok) {
        cairo_surface_flush(surface);
        const int w = cairo_image_surface_get_width(surface);
        const int h = cairo_image_surface_get_height(surface);
        const int stride = cairo_image_surface_get_stride(surface);
        const cairo_format_t format = cairo_image_surface_get_format(surface);
        const unsigned char* data = cairo_image_surface_get_data(surface);
        ok = data && w > 0 && h > 0 &&
             (format == CAIRO_FORMAT_ARGB32 || format == CAIRO_FORMAT_RGB24);
        if (ok && picture) {
            *picture = Picture{};
            picture->width = w;
            picture->height = h;
            picture->pixels.resize(static_cast<std::size_t>(w) * static_cast<std::size_t>(h));
            for (int y = 0; y < h; ++y) {
                const auto* row = reinterpret_cast<const std::uint32_t*>(data + y * stride);
                for (int x = 0; x < w; ++x)
                    picture->pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(w) +
                                    static_cast<std::size_t>(x)] = row[x] & 0x00FFFFFFu;
            }
        }
    }
    cairo_surface_destroy(surface);
    return ok;
}

void KeepPicturesOfClosingWindows(bool keep) {
    KeptPictures& k = Kept();
    MutexLock lock(k.mutex);
    k.keep = keep;
    if (!keep)
        k.pictures.clear();
}

std::vector<ClosedWindowPicture> ClosedWindowPictures() {
    KeptPictures& k = Kept();
    MutexLock lock(k.mutex);
    return {k.pictures.begin(), k.pictures.end()};
}

void PictureClosingWindow(HWND window) {
    {
        KeptPictures& k = Kept();
        MutexLock lock(k.mutex);
        if (!k.keep)
            return;
    }
    if (!IsWindowVisible(window) || !Captioned(window) ||
        WindowThreadId(window) != GetCurrentThreadId())
        return;
    ClosedWindowPicture closed;
    closed.picture = MakeWindowPicture(window);
    for (HWND c = GetWindow(window, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
        WCHAR name[64] = {};
        GetClassNameW(c, name, 64);
        closed.childClasses.push_back(name);
    }
    KeptPictures& k = Kept();
    MutexLock lock(k.mutex);
    k.pictures.push_back(std::move(closed));
    while (k.pictures.size() > kClosedPictureLimit)
        k.pictures.pop_front();
}

void ServeEnvironmentPictureRequest() {
    static const char* const path = std::getenv("QUILLMERE_WINDOW_PICTURE");
    if (!path || !*path)
        return;
    static DWORD delay = [] {
        const char* after = std::getenv("QUILLMERE_WINDOW_PICTURE_AFTER");
        return after && *after ? static_cast<DWORD>(std::strtoul(after, nullptr, 10)) : 1000u;
    }();
    // One request per process, served on the thread that owns the window.
    static Mutex mutex;
    static bool done = false;
    static HWND seen = nullptr;
    static DWORD seenAt = 0;
    MutexLock lock(mutex);
    if (done)
        return;
    HWND window = nullptr;
    for (HWND w = GetWindow(GetDesktopWindow(), GW_CHILD); w; w = GetWindow(w, GW_HWNDNEXT))
        if (IsWindowVisible(w) && Captioned(w) && WindowThreadId(w) == GetCurrentThreadId()) {
            window = w;
            break;
        }
    if (!window)
        return;
    if (window != seen) {
        seen = window;
        seenAt = GetTickCount();
    }
    if (GetTickCount() - seenAt < delay)
        return;
    const Picture picture = MakeWindowPicture(window);
    const std::string temporary = std::string(path) + ".part";
    if (SavePicture(picture, temporary) && std::rename(temporary.c_str(), path) == 0)
        done = true;
}

}  // namespace win
