#include "Quillmere/ui/DialogWindow.h"

#include "Quillmere/ui/UiModule.h"
#include "platform/win/Controls.h"
#include "platform/win/Resources.h"

namespace ui {

namespace {

// The messages whose answer is the dialog procedure's return value itself
// (a colour message's brush, for one), not DWLP_MSGRESULT.
bool AnswersThroughReturnValue(UINT msg) {
    constexpr UINT kCompareItem = 0x0039;
    constexpr UINT kVKeyToItem = 0x002E;
    constexpr UINT kCharToItem = 0x002F;
    constexpr UINT kQueryDragIcon = 0x0037;
    return msg == WM_INITDIALOG || (msg >= WM_CTLCOLORMSGBOX && msg <= WM_CTLCOLORSTATIC) ||
           msg == kCompareItem || msg == kVKeyToItem || msg == kCharToItem || msg == kQueryDragIcon;
}

}  // namespace

DialogWindow::~DialogWindow() {
    if (m_hWnd && IsWindow(m_hWnd))
        ::DestroyWindow(m_hWnd);
    m_hWnd = nullptr;
}

INT_PTR DialogWindow::DoModal(HWND parent) {
    return DialogBoxParamW(UiResourceModule(), MAKEINTRESOURCEW(m_templateId), parent,
                           &DialogWindow::DialogProc, reinterpret_cast<LPARAM>(this));
}

HWND DialogWindow::Create(HWND parent) {
    if (m_hWnd)
        return nullptr;
    return CreateDialogParamW(UiResourceModule(), MAKEINTRESOURCEW(m_templateId), parent,
                              &DialogWindow::DialogProc, reinterpret_cast<LPARAM>(this));
}

BOOL DialogWindow::DestroyWindow() {
    if (!m_hWnd)
        return FALSE;
    HWND hwnd = m_hWnd;
    return ::DestroyWindow(hwnd);
}

BOOL DialogWindow::EndDialog(INT_PTR result) {
    return ::EndDialog(m_hWnd, result);
}

bool DialogWindow::EndOnOkOrCancel(WPARAM wParam, LRESULT& result) {
    const WORD id = LOWORD(wParam);
    if (id != IDOK && id != IDCANCEL)
        return false;
    EndDialog(id);
    result = 0;
    return true;
}

INT_PTR DialogWindow::DialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    DialogWindow* self = nullptr;
    if (msg == WM_INITDIALOG) {
        self = reinterpret_cast<DialogWindow*>(lParam);
        SetWindowLongPtrW(hwnd, DWLP_USER, reinterpret_cast<LONG_PTR>(self));
        if (self)
            self->m_hWnd = hwnd;
    } else {
        self = reinterpret_cast<DialogWindow*>(GetWindowLongPtrW(hwnd, DWLP_USER));
    }
    // Messages before WM_INITDIALOG (WM_SETFONT) get the default handling.
    if (!self)
        return FALSE;
    LRESULT result = 0;
    bool handled = self->ProcessWindowMessage(hwnd, msg, wParam, lParam, result);
    if (msg == WM_NCDESTROY) {
        SetWindowLongPtrW(hwnd, DWLP_USER, 0);
        self->m_hWnd = nullptr;
    }
    if (!handled)
        return FALSE;
    if (AnswersThroughReturnValue(msg))
        return static_cast<INT_PTR>(result);
    SetWindowLongPtrW(hwnd, DWLP_MSGRESULT, result);
    return TRUE;
}

}  // namespace ui
