// Pictures of windows: what the platform's screen would show of a window,
// its controls and the popups above it, drawn into pixels and saved as PNG.
// A stand-in facility (the platform's equivalent is a screenshot or
// PrintWindow); product code never calls it, the host and tests do.
//
// Making a picture paints the window anew (Paint.h): the window and each
// visible descendant, parents first and siblings from the bottom of the
// z-order up, hear WM_ERASEBKGND and WM_PAINT; then the visible top-level
// windows that the window's top-level window owns (a tooltip, for one) are
// painted the same way at their screen places over it. A top-level window
// with a caption gets the frame the platform draws around it: a border and
// a caption bar with its text (and a close box with WS_SYSMENU), outside
// the window's rectangle (here the client area is the whole window). Call
// on the window's thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/win/Bitmap.h"
#include "platform/win/Types.h"
#include "platform/win/Window.h"

namespace win {

struct Picture {
    int width = 0;
    int height = 0;
    // Where the window's top-left corner lies in the picture (beyond the
    // frame of a captioned window).
    POINT windowOrigin{0, 0};
    // Rows top-down, 0x00RRGGBB per pixel (opaque).
    std::vector<std::uint32_t> pixels;
    std::wstring caption;  // the window's text when the picture was made

    bool Empty() const { return width <= 0 || height <= 0; }
    // The colour at (x, y) as COLORREF (0x00BBGGRR); 0 outside.
    COLORREF At(int x, int y) const;
    // The same, for a point in window coordinates (x, y from the window's
    // top-left corner).
    COLORREF AtWindow(int x, int y) const { return At(x + windowOrigin.x, y + windowOrigin.y); }
};

// The picture of a live window (an empty one for a bad window or one of
// another thread).
Picture MakeWindowPicture(HWND window);
// The part of a picture that control covers, as a picture of its own
// (control's rectangle mapped into the picture's window); empty when it
// lies outside.
Picture CropToWindow(const Picture& picture, HWND pictured, HWND control);
// Writes / reads a PNG file (host path). False when it can't be written or
// read (or holds no picture).
bool SavePicture(const Picture& picture, const std::string& path);
bool LoadPicture(const std::string& path, Picture* picture);

// Pictures of windows as they closed: while kept (true), each visible,
// captioned top-level window of this process is pictured on its own thread
// just before it is destroyed (before WM_DESTROY), and the last kLimit of
// them are kept, newest last, with the class names of their direct children
// (to tell which one a caller wants). Off at first; turning it off forgets
// them.
struct ClosedWindowPicture {
    Picture picture;
    std::vector<std::wstring> childClasses;
};
constexpr std::size_t kClosedPictureLimit = 16;
void KeepPicturesOfClosingWindows(bool keep);
std::vector<ClosedWindowPicture> ClosedWindowPictures();
// For DestroyWindow: pictures window when pictures are being kept.
void PictureClosingWindow(HWND window);

// A picture request of the environment: QUILLMERE_WINDOW_PICTURE=<png path>
// asks a program to save a picture of its first visible, captioned
// top-level window once that has been shown and the thread's message queue
// has gone idle (no message waiting) after at least
// QUILLMERE_WINDOW_PICTURE_AFTER platform ms (default 1000) since the
// showing; written once, to a temporary name renamed into place. The
// message loop (GetMessageW) calls this when it is about to wait; call on
// a UI thread. Does nothing without the variable.
void ServeEnvironmentPictureRequest();

}  // namespace win
