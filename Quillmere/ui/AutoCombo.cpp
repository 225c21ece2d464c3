#include "Quillmere/ui/AutoCombo.h"

#include <string>
#include <vector>

#include "platform/win/Controls.h"
#include "platform/win/Keys.h"

namespace ui {
namespace {

// Reflected messages stand for the plain messages below WM_USER.
constexpr UINT kReflectedLast = OCM__BASE + WM_USER - 1;

std::wstring WindowText(HWND hwnd) {
    int length = GetWindowTextLengthW(hwnd);
    if (length <= 0)
        return std::wstring();
    std::vector<WCHAR> buffer(static_cast<size_t>(length) + 1, L'\0');
    int copied = GetWindowTextW(hwnd, buffer.data(), length + 1);
    return std::wstring(buffer.data(), copied > 0 ? static_cast<size_t>(copied) : 0);
}

}  // namespace

bool CAutoCombo::ProcessWindowMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam,
                                      LRESULT& result) {
    if (msg == OCM_COMMAND && HIWORD(wParam) == CBN_EDITUPDATE) {
        OnEditUpdate();
        result = 0;
        return true;
    }
    if (msg >= OCM__BASE && msg <= kReflectedLast) {
        result = DefWindowProcW(hwnd, msg - OCM__BASE, wParam, lParam);
        return true;
    }
    return false;
}

bool CAutoCombo::PreTranslateMessage(MSG* msg) {
    if (msg && msg->message == WM_KEYDOWN)
        m_armed = msg->wParam != VK_DELETE && msg->wParam != VK_BACK;
    return false;
}

void CAutoCombo::OnEditUpdate() {
    if (!m_armed || !m_hWnd)
        return;
    const std::wstring typed = WindowText(m_hWnd);
    const auto length = static_cast<WORD>(typed.size());

    LRESULT selection = SendMessageW(m_hWnd, CB_GETEDITSEL, 0, 0);
    const bool selectionValid = selection != CB_ERR;
    const WORD selStart = LOWORD(static_cast<DWORD>(selection));
    const WORD selEnd = HIWORD(static_cast<DWORD>(selection));

    LRESULT found = SendMessageW(m_hWnd, CB_SELECTSTRING, static_cast<WPARAM>(-1),
                                 reinterpret_cast<LPARAM>(typed.c_str()));
    if (found == CB_ERR) {
        SetWindowTextW(m_hWnd, typed.c_str());
        if (selectionValid)
            SendMessageW(m_hWnd, CB_SETEDITSEL, 0, MAKELPARAM(selStart, selEnd));
    }
    if (selectionValid && selEnd < length)
        SendMessageW(m_hWnd, CB_SETEDITSEL, 0, MAKELPARAM(selStart, selEnd));
    else
        SendMessageW(m_hWnd, CB_SETEDITSEL, 0, MAKELPARAM(length, static_cast<WORD>(-1)));
}

}  // namespace ui
