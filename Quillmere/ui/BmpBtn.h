// A push button that shows images from an image list (normal, pushed, focus
// or hover, disabled) and can carry a tooltip text. Attached to a button of
// a dialog template (SubclassWindow). It paints the button itself
// (WM_PAINT): the image of the state the button is in (disabled, pushed,
// hovered with BMPBTN_HOVER or focused without it, else normal; a state
// without an image of its own shows the normal one) on the button face,
// with the 3-D border of BMPBTN_AUTO3D_SINGLE or _DOUBLE (sunken while
// pushed; with BMPBTN_HOVER raised only while hovered). It watches the
// pointer (WM_MOUSEMOVE, WM_MOUSELEAVE) for the hover state; clicks and the
// pushed state are the button's own. A tooltip text makes a tooltip window
// (owned by the button's top-level window) whose tool is the button. UI
// thread only.
#pragma once

#include <string>

#include "Quillmere/ui/SubclassedWindow.h"
#include "platform/win/ImageList.h"
#include "platform/win/Types.h"

namespace ui {

// Extended style bits.
constexpr DWORD BMPBTN_HOVER = 0x00000001;
constexpr DWORD BMPBTN_AUTO3D_SINGLE = 0x00000002;
constexpr DWORD BMPBTN_AUTO3D_DOUBLE = 0x00000004;
constexpr DWORD BMPBTN_AUTOSIZE = 0x00000008;
// The image list belongs to someone else: the button does not destroy it.
constexpr DWORD BMPBTN_SHAREIMAGELISTS = 0x00000010;

class CBmpBtn : public SubclassedWindow {
public:
    CBmpBtn() = default;
    // Destroys the image list unless BMPBTN_SHAREIMAGELISTS is set.
    ~CBmpBtn() override;

    bool ProcessWindowMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam,
                              LRESULT& result) override;

    // Sets the bits of style selected by mask (0: all); returns the old style.
    DWORD SetBitmapButtonExtendedStyle(DWORD style, DWORD mask = 0);
    DWORD GetBitmapButtonExtendedStyle() const { return m_extendedStyle; }
    // Takes the image list (owned unless shared); returns the previous one.
    HIMAGELIST SetImageList(HIMAGELIST list);
    HIMAGELIST GetImageList() const { return m_imageList; }
    // The image indexes; -1 leaves a state without its own image.
    void SetImages(int normal, int pushed = -1, int focusOrHover = -1, int disabled = -1);
    int ImageIndex(int state) const { return m_images[state]; }
    // The tooltip text (null clears it): the tooltip window is made at the
    // first text and keeps the tool's text up to date. False when the button
    // is not attached or the tooltip can't be made.
    bool SetToolTipText(const WCHAR* text);
    HWND ToolTipWindow() const { return m_toolTip; }
    // The state whose image the button shows now (kNormal .. kDisabled).
    int CurrentImageState() const;
    const std::wstring& GetToolTipText() const { return m_toolTipText; }
    // Sizes the button to the list's image size, plus the 3-D border. False
    // when not attached or there is no image list.
    bool SizeToImage();

    enum ImageState { kNormal = 0, kPushed = 1, kFocusOrHover = 2, kDisabled = 3 };

private:
    void Paint();
    void DestroyToolTip();

    DWORD m_extendedStyle = 0;
    bool m_mouseOver = false;
    HWND m_toolTip = nullptr;
    HIMAGELIST m_imageList = nullptr;
    int m_images[4] = {-1, -1, -1, -1};
    std::wstring m_toolTipText;
};

}  // namespace ui
