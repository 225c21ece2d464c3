// The modeless progress window of a basic synchronisation. The caller
// creates it (Create with the desktop window as parent), shows it, updates
// it while the transfer runs and destroys it at the end; closing it only
// hides it. UI thread only.
#pragma once

#include <string>

#include "Quillmere/ui/DialogWindow.h"
#include "platform/win/Types.h"

namespace ui {

// Dialog template and control ids.
constexpr WORD kProgressTemplate = 1121;
constexpr int kProgressBar = 1246;
constexpr int kProgressText = 1247;

class CProgress : public DialogWindow {
public:
    CProgress() : DialogWindow(kProgressTemplate) {}
    ~CProgress() override = default;

    // WM_INITDIALOG: caption in the thread's locale; NM_CUSTOMDRAW from the
    // bar: default drawing; IDOK / IDCANCEL (the close box) end the dialog,
    // which hides it.
    bool ProcessWindowMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam,
                              LRESULT& result) override;
    // The bar's custom-draw notification: 0, the default drawing.
    LRESULT OnNoOp();

    // The bar's range: 0 to upper.
    void SetRange(WORD upper);
    // The bar's position.
    void SetPos(int position);
    // The line of text; also retitles the window in the configured UI
    // language and makes it topmost without moving or sizing it.
    void SetText(const std::wstring& text);
};

}  // namespace ui
