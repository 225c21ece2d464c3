#include "Quillmere/ui/BmpBtn.h"

#include "platform/win/Window.h"

namespace ui {

CBmpBtn::~CBmpBtn() {
    if (m_imageList && !(m_extendedStyle & BMPBTN_SHAREIMAGELISTS))
        ImageList_Destroy(m_imageList);
    m_imageList = nullptr;
}

bool CBmpBtn::ProcessWindowMessage(HWND, UINT, WPARAM, LPARAM, LRESULT&) {
    return false;
}

DWORD CBmpBtn::SetBitmapButtonExtendedStyle(DWORD style, DWORD mask) {
    const DWORD previous = m_extendedStyle;
    if (mask == 0)
        m_extendedStyle = style;
    else
        m_extendedStyle = (m_extendedStyle & ~mask) | (style & mask);
    return previous;
}

HIMAGELIST CBmpBtn::SetImageList(HIMAGELIST list) {
    HIMAGELIST previous = m_imageList;
    m_imageList = list;
    return previous;
}

void CBmpBtn::SetImages(int normal, int pushed, int focusOrHover, int disabled) {
    m_images[kNormal] = normal;
    m_images[kPushed] = pushed;
    m_images[kFocusOrHover] = focusOrHover;
    m_images[kDisabled] = disabled;
}

bool CBmpBtn::SetToolTipText(const WCHAR* text) {
    if (!m_hWnd)
        return false;
    m_toolTipText = text ? text : L"";
    return true;
}

bool CBmpBtn::SizeToImage() {
    if (!m_hWnd || !m_imageList)
        return false;
    int cx = 0;
    int cy = 0;
    if (!ImageList_GetIconSize(m_imageList, &cx, &cy))
        return false;
    int border = 0;
    if (m_extendedStyle & BMPBTN_AUTO3D_DOUBLE)
        border = 4;
    else if (m_extendedStyle & BMPBTN_AUTO3D_SINGLE)
        border = 2;
    return SetWindowPos(m_hWnd, nullptr, 0, 0, cx + border, cy + border,
                        SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE) != FALSE;
}

}  // namespace ui
