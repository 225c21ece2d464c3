#include "Quillmere/ui/BasicSyncQuestion.h"

#include "Quillmere/ui/UiModule.h"
#include "platform/win/Controls.h"
#include "platform/win/Window.h"

namespace ui {
namespace {

constexpr UINT kOnlyNewItemsString = 1237;
constexpr UINT kYesString = 1238;
constexpr UINT kNoString = 1239;

// Centres window over owner's rectangle, or over the desktop's when it has
// no owner, keeping its size and z-order.
void CentreWindow(HWND window) {
    RECT own = {};
    RECT over = {};
    if (!GetWindowRect(window, &own))
        return;
    HWND owner = GetWindow(window, GW_OWNER);
    if (!owner || !GetWindowRect(owner, &over))
        GetWindowRect(GetDesktopWindow(), &over);
    const int width = own.right - own.left;
    const int height = own.bottom - own.top;
    const int x = over.left + ((over.right - over.left) - width) / 2;
    const int y = over.top + ((over.bottom - over.top) - height) / 2;
    SetWindowPos(window, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

}  // namespace

void CCBasicSyncQuestion::SetMessage(UINT messageId, const std::wstring& caption) {
    m_messageId = messageId;
    m_caption = caption;
}

void CCBasicSyncQuestion::EnableOnlyNewItems() {
    m_checkBoxDisabled = false;
}

bool CCBasicSyncQuestion::ProcessWindowMessage(HWND, UINT msg, WPARAM wParam, LPARAM,
                                               LRESULT& result) {
    switch (msg) {
        case WM_INITDIALOG:
            result = TRUE;
            return true;
        case WM_SHOWWINDOW:
            // Only on showing: hiding comes as the dialog ends, and must not
            // clear the answer the caller reads afterwards.
            if (wParam)
                OnShowWindow();
            result = 0;
            return true;
        case WM_COMMAND:
            if (EndOnOkOrCancel(wParam, result))
                return true;
            if (LOWORD(wParam) == kOnlyNewItemsCheck && HIWORD(wParam) == BN_CLICKED) {
                OnOnlyNewItemsClicked();
                result = 0;
                return true;
            }
            return false;
        default:
            return false;
    }
}

void CCBasicSyncQuestion::OnShowWindow() {
    if (!m_hWnd)
        return;
    CentreWindow(m_hWnd);
    SetWindowTextW(m_hWnd, m_caption.c_str());
    const LCID language = m_language;
    SetDlgItemTextW(m_hWnd, kOnlyNewItemsCheck,
                    LoadUiString(kOnlyNewItemsString, language).c_str());
    SetDlgItemTextW(m_hWnd, IDOK, LoadUiString(kYesString, language).c_str());
    SetDlgItemTextW(m_hWnd, IDCANCEL, LoadUiString(kNoString, language).c_str());
    SetDlgItemTextW(m_hWnd, kQuestionMessageText, LoadUiString(m_messageId, language).c_str());
    if (m_checkBoxDisabled)
        EnableWindow(GetDlgItem(m_hWnd, kOnlyNewItemsCheck), FALSE);
    m_onlyNewItems = false;
}

void CCBasicSyncQuestion::OnOnlyNewItemsClicked() {
    m_onlyNewItems = IsDlgButtonChecked(m_hWnd, kOnlyNewItemsCheck) == BST_CHECKED;
}

}  // namespace ui
