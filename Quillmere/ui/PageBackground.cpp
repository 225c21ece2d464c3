#include "Quillmere/ui/PageBackground.h"

#include "platform/win/Bitmap.h"
#include "platform/win/MessageLoop.h"
#include "platform/win/Theme.h"
#include "platform/win/Window.h"
#include "platform/win/WindowCoordinates.h"

namespace ui {

PageBackground::~PageBackground() {
    Release();
}

void PageBackground::Release() {
    if (m_brush)
        DeleteObject(m_brush);
    m_brush = nullptr;
    // The brush is made of the bitmap, so the bitmap goes after it.
    if (m_bitmap)
        DeleteObject(m_bitmap);
    m_bitmap = nullptr;
}

void PageBackground::Capture(HWND parent) {
    // A page made without Outlook's dialog lives under the desktop, which is
    // no tab: there is nothing to show through.
    if (parent == GetDesktopWindow())
        parent = nullptr;
    m_parent = parent;
    if (parent)
        EnableThemeDialogTexture(parent, ETDT_ENABLETAB);
    m_themed = IsAppThemed();
    Release();
    if (!m_themed || !parent)
        return;
    RECT r{};
    GetWindowRect(parent, &r);
    HDC parentDc = GetDC(parent);
    HDC memory = CreateCompatibleDC(parentDc);
    m_bitmap = CreateCompatibleBitmap(parentDc, r.right - r.left, r.bottom - r.top);
    HGDIOBJ old = SelectObject(memory, m_bitmap);
    SendMessageW(parent, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(memory),
                 PRF_NONCLIENT | PRF_CLIENT | PRF_ERASEBKGND);
    SelectObject(memory, old);
    DeleteDC(memory);
    ReleaseDC(parent, parentDc);
    m_brush = CreatePatternBrush(m_bitmap);
}

LRESULT PageBackground::OnCtlColor(HDC dc, HWND control) const {
    if (!m_themed || !m_brush)
        return 0;
    SetBkMode(dc, TRANSPARENT);
    RECT r{};
    GetWindowRect(control, &r);
    MapWindowPoints(nullptr, m_parent, reinterpret_cast<POINT*>(&r), 2);
    SetBrushOrgEx(dc, -r.left, -r.top, nullptr);
    return reinterpret_cast<LRESULT>(m_brush);
}

}  // namespace ui
