// CShellIconHelper: one icon in the notification area, owned by a hidden
// popup window ("ShellIconHiddenWindowQMR") that receives the icon's mouse
// callbacks and the icon timer.
//
// The helper keeps the icon's state (resource id, tooltip, timer, visible)
// and re-applies it with NIM_MODIFY on every change; a failing
// Shell_NotifyIconW is ignored. The derived class gets the popup window's
// messages through OnIconTimer and OnTrayNotify.
//
// Threads: Outlook's thread only (the popup window belongs to it).
#pragma once

#include <string>

#include "platform/win/ShellNotify.h"
#include "platform/win/Types.h"
#include "platform/win/Window.h"

constexpr UINT kTrayIconId = 11;
constexpr UINT kTrayCallbackMessage = WM_USER + 200;  // 1224
constexpr UINT_PTR kIconTimerId = 1;
// The platform's 64-bit NOTIFYICONDATAW up to its balloon fields.
constexpr DWORD kNotifyIconDataSize = 968;

class CShellIconHelper {
public:
    CShellIconHelper() = default;
    virtual ~CShellIconHelper();
    CShellIconHelper(const CShellIconHelper&) = delete;
    CShellIconHelper& operator=(const CShellIconHelper&) = delete;

    // Creates the popup window (WS_POPUP, no parent) and adds the icon
    // (NIM_ADD). S_OK, or the HRESULT of the last error when the window can't
    // be created.
    virtual HRESULT CreateShellIcon();
    // Removes the icon (NIM_DELETE) and destroys the popup window.
    virtual void DestroyShellIcon();
    // A balloon: text cut to 255 characters, title to 63 (null = empty),
    // iconFlags | NIIF_NOSOUND, timeoutSeconds * 1000 ms.
    virtual void ShowBalloon(const wchar_t* text, const wchar_t* title, DWORD iconFlags,
                             UINT timeoutSeconds);
    virtual void SetTooltipText(const wchar_t* text);
    virtual void SetIcon(UINT resourceId);
    // Kills the icon timer; when on, arms timer 1 of the popup window with
    // the period. Remembers both for SetVisible.
    virtual void SetIconTimer(bool on, UINT periodMs);
    // Visible: creates the icon when hidden, then re-applies the icon timer;
    // hidden: kills the timer and removes the icon.
    virtual void SetVisible(bool visible);
    // Loads MENU resource menuId of the module and tracks its first popup
    // at the cursor (TPM_RETURNCMD | TPM_RIGHTBUTTON), the popup window made
    // foreground first and sent a WM_NULL afterwards so that the menu closes
    // when the user clicks elsewhere. Returns the chosen command id; 0 when
    // the menu was dismissed or can't be loaded.
    virtual UINT ShowContextMenu(UINT menuId);

    HWND PopupWindow() const { return m_popup; }
    UINT IconId() const { return m_iconId; }
    const std::wstring& TooltipText() const { return m_tooltip; }
    bool IsVisible() const { return m_visible; }
    bool IconTimerOn() const { return m_timerOn; }
    UINT IconTimerPeriod() const { return m_timerPeriod; }

protected:
    // The popup window's icon timer and icon callback (lParam = the mouse
    // message).
    virtual void OnIconTimer() = 0;
    virtual void OnTrayNotify(WPARAM wParam, LPARAM lParam) = 0;

    // Fills the icon's NOTIFYICONDATAW (tooltip cut to 63 characters) and
    // calls Shell_NotifyIconW with message.
    BOOL NotifyIcon(DWORD message);

private:
    static LRESULT PopupProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

    HWND m_popup = nullptr;
    UINT m_iconId = 0;
    std::wstring m_tooltip;
    std::wstring m_balloonText;
    std::wstring m_balloonTitle;
    DWORD m_balloonFlags = 0;
    UINT m_balloonTimeoutMs = 0;
    bool m_visible = false;
    bool m_timerOn = false;
    UINT m_timerPeriod = 0;
};
