#include "Quillmere/core/ShellIconHelper.h"

#include <algorithm>
#include <cwchar>

#include "Quillmere/core/DebugLog.h"
#include "platform/win/Icon.h"
#include "platform/win/Menu.h"
#include "platform/win/MessageLoop.h"
#include "platform/win/Module.h"
#include "platform/win/Resources.h"
#include "platform/win/Timer.h"

namespace {

constexpr const wchar_t* kPopupClassName = L"ShellIconHiddenWindowQMR";

HINSTANCE ThisModule() {
    static const int anchor = 0;
    HMODULE module = nullptr;
    GetModuleHandleExW(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<const WCHAR*>(&anchor), &module);
    return module;
}

// Copies text into a fixed buffer of capacity characters, cut to capacity - 1.
template <std::size_t N>
void CopyCut(WCHAR (&buffer)[N], const std::wstring& text, std::size_t capacity) {
    std::size_t length = std::min(text.size(), std::min(capacity, N) - 1);
    std::wmemcpy(buffer, text.data(), length);
    buffer[length] = L'\0';
}

}  // namespace

CShellIconHelper::~CShellIconHelper() {
    if (m_popup)
        DestroyShellIcon();
}

LRESULT CShellIconHelper::PopupProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
        return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
    auto* self = reinterpret_cast<CShellIconHelper*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (self && msg == WM_TIMER) {
        self->OnIconTimer();
        return 0;
    }
    if (self && msg == kTrayCallbackMessage) {
        self->OnTrayNotify(wParam, lParam);
        return 0;
    }
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

HRESULT CShellIconHelper::CreateShellIcon() {
    if (m_popup)
        return S_OK;
    HINSTANCE instance = ThisModule();
    WNDCLASSEXW existing{};
    existing.cbSize = sizeof existing;
    if (!GetClassInfoExW(instance, kPopupClassName, &existing)) {
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = PopupProc;
        wc.hInstance = instance;
        wc.lpszClassName = kPopupClassName;
        RegisterClassExW(&wc);
    }
    m_popup = CreateWindowExW(0, kPopupClassName, kPopupClassName, WS_POPUP, 0, 0, 0, 0, nullptr,
                              nullptr, instance, this);
    if (!m_popup)
        return HRESULT_FROM_WIN32(GetLastError());
    NotifyIcon(NIM_ADD);
    return S_OK;
}

void CShellIconHelper::DestroyShellIcon() {
    if (!m_popup)
        return;
    NotifyIcon(NIM_DELETE);
    DestroyWindow(m_popup);
    m_popup = nullptr;
}

BOOL CShellIconHelper::NotifyIcon(DWORD message) {
    if (!m_popup)
        return FALSE;
    NOTIFYICONDATAW data{};
    data.cbSize = kNotifyIconDataSize;
    data.hWnd = m_popup;
    data.uID = kTrayIconId;
    data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    data.uCallbackMessage = kTrayCallbackMessage;
    data.hIcon = LoadIconW(ThisModule(), MAKEINTRESOURCEW(static_cast<WORD>(m_iconId)));
    CopyCut(data.szTip, m_tooltip, 64);
    if (!m_balloonText.empty()) {
        data.uFlags |= NIF_INFO;
        CopyCut(data.szInfo, m_balloonText, 256);
        CopyCut(data.szInfoTitle, m_balloonTitle, 64);
        data.dwInfoFlags = m_balloonFlags;
        data.uTimeout = m_balloonTimeoutMs;
    }
    return Shell_NotifyIconW(message, &data);
}

void CShellIconHelper::ShowBalloon(const wchar_t* text, const wchar_t* title, DWORD iconFlags,
                                   UINT timeoutSeconds) {
    m_balloonText = text ? text : L"";
    m_balloonTitle = title ? title : L"";
    m_balloonFlags = iconFlags | NIIF_NOSOUND;
    m_balloonTimeoutMs = timeoutSeconds * 1000;
    NotifyIcon(NIM_MODIFY);
    m_balloonText.clear();
}

void CShellIconHelper::SetTooltipText(const wchar_t* text) {
    m_tooltip = text ? text : L"";
    NotifyIcon(NIM_MODIFY);
}

void CShellIconHelper::SetIcon(UINT resourceId) {
    m_iconId = resourceId;
    NotifyIcon(NIM_MODIFY);
}

void CShellIconHelper::SetIconTimer(bool on, UINT periodMs) {
    if (m_popup)
        KillTimer(m_popup, kIconTimerId);
    if (on && m_popup)
        SetTimer(m_popup, kIconTimerId, periodMs, nullptr);
    m_timerOn = on;
    m_timerPeriod = periodMs;
}

void CShellIconHelper::SetVisible(bool visible) {
    if (visible) {
        if (!m_popup)
            CreateShellIcon();
        SetIconTimer(m_timerOn, m_timerPeriod);
    } else {
        if (m_popup)
            KillTimer(m_popup, kIconTimerId);
        DestroyShellIcon();
    }
    m_visible = visible;
}

UINT CShellIconHelper::ShowContextMenu(UINT menuId) {
    HMENU menu = LoadMenuW(ThisModule(), MAKEINTRESOURCEW(static_cast<WORD>(menuId)));
    if (!menu)
        return 0;
    UINT command = 0;
    if (HMENU popup = GetSubMenu(menu, 0)) {
        POINT cursor{};
        GetCursorPos(&cursor);
        // The popup window must be foreground, or the menu would stay open
        // after a click elsewhere.
        if (m_popup)
            SetForegroundWindow(m_popup);
        command = static_cast<UINT>(TrackPopupMenu(popup, TPM_RETURNCMD | TPM_RIGHTBUTTON, cursor.x,
                                                   cursor.y, 0, m_popup, nullptr));
        if (m_popup)
            PostMessageW(m_popup, WM_NULL, 0, 0);
    }
    DestroyMenu(menu);
    return command;
}
