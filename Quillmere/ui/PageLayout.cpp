#include "Quillmere/ui/PageLayout.h"

#include "Quillmere/ui/UiModule.h"
#include "platform/win/Bitmap.h"
#include "platform/win/Window.h"
#include "platform/win/WindowCoordinates.h"

namespace ui {

namespace {

constexpr int kButtonImageSize = 20;
constexpr COLORREF kTransparentColour = RGB(0xFF, 0x00, 0xFF);

RECT RectInPage(HWND page, HWND control) {
    RECT r{};
    GetWindowRect(control, &r);
    MapWindowPoints(nullptr, page, reinterpret_cast<POINT*>(&r), 2);
    return r;
}

}  // namespace

void CentreControls(HWND page, HWND parent, int referenceId, std::span<const int> ids) {
    if (!page || !parent || parent == GetDesktopWindow())
        return;
    HWND reference = GetDlgItem(page, referenceId);
    if (!reference)
        return;
    RECT outer{};
    GetWindowRect(parent, &outer);
    const RECT line = RectInPage(page, reference);
    const int dx = ((outer.right - outer.left) - (line.right - line.left)) / 2 - line.left;
    for (int id : ids) {
        HWND control = GetDlgItem(page, id);
        if (!control)
            continue;
        const RECT r = RectInPage(page, control);
        MoveWindow(control, r.left + dx, r.top, r.right - r.left, r.bottom - r.top, TRUE);
    }
}

HIMAGELIST CreatePageButtonImages(int initial) {
    HIMAGELIST images =
        ImageList_Create(kButtonImageSize, kButtonImageSize, ILC_COLOR24 | ILC_MASK, initial, 0);
    if (!images)
        return nullptr;
    if (HBITMAP strip = LoadBitmapW(UiResourceModule(), MAKEINTRESOURCEW(kButtonStripBitmap))) {
        ImageList_AddMasked(images, strip, kTransparentColour);
        DeleteObject(strip);
    }
    return images;
}

bool AttachPageButton(CBmpBtn& button, HWND control, HIMAGELIST images, const std::wstring& tooltip,
                      const PageButtonImages& pictures) {
    if (!button.SubclassWindow(control))
        return false;
    button.SetBitmapButtonExtendedStyle(BMPBTN_HOVER | BMPBTN_AUTO3D_SINGLE | BMPBTN_AUTOSIZE |
                                        BMPBTN_SHAREIMAGELISTS);
    button.SetImageList(images);
    button.SetImages(pictures.normal, pictures.pushed, pictures.hover, pictures.disabled);
    button.SetToolTipText(tooltip.c_str());
    button.SizeToImage();
    return true;
}

}  // namespace ui
