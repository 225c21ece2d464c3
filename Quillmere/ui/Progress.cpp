#include "Quillmere/ui/Progress.h"

#include "Quillmere/core/Settings.h"
#include "Quillmere/ui/UiModule.h"
#include "platform/win/CommonControls.h"
#include "platform/win/Text.h"
#include "platform/win/Window.h"

namespace ui {
namespace {

constexpr UINT kTitleString = 1213;

}  // namespace

bool CProgress::ProcessWindowMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam,
                                     LRESULT& result) {
    switch (msg) {
        case WM_INITDIALOG:
            SetWindowTextW(hwnd, LoadUiString(kTitleString, GetThreadLocale()).c_str());
            result = TRUE;
            return true;
        case WM_NOTIFY: {
            const auto* header = reinterpret_cast<const NMHDR*>(lParam);
            if (header && header->idFrom == static_cast<UINT_PTR>(kProgressBar) &&
                header->code == NM_CUSTOMDRAW) {
                result = OnNoOp();
                return true;
            }
            return false;
        }
        case WM_COMMAND:
            return EndOnOkOrCancel(wParam, result);
        default:
            return false;
    }
}

LRESULT CProgress::OnNoOp() {
    return 0;
}

void CProgress::SetRange(WORD upper) {
    SendDlgItemMessageW(m_hWnd, kProgressBar, PBM_SETRANGE, 0, MAKELPARAM(0, upper));
}

void CProgress::SetPos(int position) {
    SendDlgItemMessageW(m_hWnd, kProgressBar, PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

void CProgress::SetText(const std::wstring& text) {
    SetDlgItemTextW(m_hWnd, kProgressText, text.c_str());
    SetWindowTextW(m_hWnd, LoadUiString(kTitleString, GetConfiguredLCID()).c_str());
    SetWindowPos(m_hWnd, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
}

}  // namespace ui
