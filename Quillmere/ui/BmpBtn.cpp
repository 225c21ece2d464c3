#include "Quillmere/ui/BmpBtn.h"

#include "platform/win/CommonControls.h"
#include "platform/win/Controls.h"
#include "platform/win/MessageLoop.h"
#include "platform/win/Mouse.h"
#include "platform/win/Paint.h"
#include "platform/win/Window.h"

namespace ui {

CBmpBtn::~CBmpBtn() {
    DestroyToolTip();
    if (m_imageList && !(m_extendedStyle & BMPBTN_SHAREIMAGELISTS))
        ImageList_Destroy(m_imageList);
    m_imageList = nullptr;
}

void CBmpBtn::DestroyToolTip() {
    if (m_toolTip && IsWindow(m_toolTip))
        ::DestroyWindow(m_toolTip);
    m_toolTip = nullptr;
}

bool CBmpBtn::ProcessWindowMessage(HWND hwnd, UINT msg, WPARAM, LPARAM, LRESULT& result) {
    switch (msg) {
        case WM_PAINT:
            Paint();
            result = 0;
            return true;
        case WM_ERASEBKGND:
            // Paint fills the whole button.
            result = 1;
            return true;
        case WM_MOUSEMOVE:
            if (!m_mouseOver) {
                m_mouseOver = true;
                TRACKMOUSEEVENT track{sizeof(TRACKMOUSEEVENT), TME_LEAVE, hwnd, 0};
                TrackMouseEvent(&track);
                InvalidateRect(hwnd, nullptr, FALSE);
            }
            return false;  // the button tracks its own press
        case WM_MOUSELEAVE:
            m_mouseOver = false;
            InvalidateRect(hwnd, nullptr, FALSE);
            return false;
        case WM_ENABLE:
            InvalidateRect(hwnd, nullptr, FALSE);
            return false;
        case WM_DESTROY:
            DestroyToolTip();
            return false;
        default:
            return false;
    }
}

int CBmpBtn::CurrentImageState() const {
    if (!m_hWnd)
        return kNormal;
    if (!IsWindowEnabled(m_hWnd))
        return kDisabled;
    const LRESULT buttonState = SendMessageW(m_hWnd, BM_GETSTATE, 0, 0);
    if (buttonState & BST_PUSHED)
        return kPushed;
    if (m_extendedStyle & BMPBTN_HOVER)
        return m_mouseOver ? kFocusOrHover : kNormal;
    return GetFocus() == m_hWnd ? kFocusOrHover : kNormal;
}

void CBmpBtn::Paint() {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(m_hWnd, &ps);
    if (!dc)
        return;
    RECT r{};
    GetClientRect(m_hWnd, &r);
    FillRect(dc, &r, GetSysColorBrush(COLOR_BTNFACE));
    const int state = CurrentImageState();
    int image = m_images[state];
    if (image < 0)
        image = m_images[kNormal];
    const int border = (m_extendedStyle & BMPBTN_AUTO3D_DOUBLE)   ? 2
                       : (m_extendedStyle & BMPBTN_AUTO3D_SINGLE) ? 1
                                                                  : 0;
    if (m_imageList && image >= 0)
        ImageList_Draw(m_imageList, image, dc, border, border, ILD_NORMAL);
    if (border > 0) {
        const bool doubleBorder = border == 2;
        // A flat hover button shows its border only while the pointer is on
        // it; a plain one always.
        const bool showRaised = !(m_extendedStyle & BMPBTN_HOVER) || state == kFocusOrHover;
        RECT edge = r;
        if (state == kPushed)
            DrawEdge(dc, &edge, doubleBorder ? EDGE_SUNKEN : BDR_SUNKENOUTER, BF_RECT);
        else if (showRaised && state != kDisabled)
            DrawEdge(dc, &edge, doubleBorder ? EDGE_RAISED : BDR_RAISEDINNER, BF_RECT);
    }
    EndPaint(m_hWnd, &ps);
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
    if (m_toolTipText.empty() && !m_toolTip)
        return true;
    TTTOOLINFOW tool{};
    tool.cbSize = sizeof tool;
    tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    tool.hwnd = GetParent(m_hWnd);
    tool.uId = reinterpret_cast<UINT_PTR>(m_hWnd);
    tool.lpszText = m_toolTipText.data();
    if (m_toolTip && IsWindow(m_toolTip)) {
        SendMessageW(m_toolTip, TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&tool));
        return true;
    }
    m_toolTip = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP,
                                CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, m_hWnd,
                                nullptr, nullptr, nullptr);
    if (!m_toolTip)
        return false;
    SendMessageW(m_toolTip, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
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
