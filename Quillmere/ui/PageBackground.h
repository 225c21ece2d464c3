// The themed background of a property page: the tab of Outlook's dialog that
// holds the page paints a texture, which the page's dialog and static
// controls must show through their own backgrounds. The page captures the
// parent's painting once, into a pattern brush, and answers the controls'
// colour messages with that brush, aligned to where each control sits in
// the parent. Without a visual style there is no brush and the default
// colours apply. UI thread only.
#pragma once

#include "platform/win/Gdi.h"
#include "platform/win/Types.h"

namespace ui {

class PageBackground {
public:
    PageBackground() = default;
    PageBackground(const PageBackground&) = delete;
    PageBackground& operator=(const PageBackground&) = delete;
    // Deletes the brush and the captured bitmap.
    ~PageBackground();

    // Keeps parent, asks it for the tab texture (EnableThemeDialogTexture,
    // ETDT_ENABLETAB), takes the themed flag from IsAppThemed and deletes
    // an earlier brush; when themed, lets the parent paint itself
    // (WM_PRINTCLIENT with PRF_NONCLIENT | PRF_CLIENT | PRF_ERASEBKGND) into
    // a bitmap of its window's size and makes the brush of that bitmap. A
    // null parent or the desktop window (a page without Outlook's dialog)
    // gives no brush.
    void Capture(HWND parent);

    // The answer to WM_CTLCOLORDLG and WM_CTLCOLORSTATIC for control, drawn
    // through dc: 0 (the default colours) when not themed; otherwise a
    // transparent background mode, the brush origin at minus the control's
    // top-left corner in the parent's coordinates, and the brush.
    LRESULT OnCtlColor(HDC dc, HWND control) const;

    bool Themed() const { return m_themed != FALSE; }
    HBRUSH Brush() const { return m_brush; }
    HWND Parent() const { return m_parent; }

private:
    void Release();

    HWND m_parent = nullptr;
    BOOL m_themed = FALSE;
    HBITMAP m_bitmap = nullptr;
    HBRUSH m_brush = nullptr;
};

}  // namespace ui
