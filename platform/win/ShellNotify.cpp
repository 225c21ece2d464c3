#include "platform/win/ShellNotify.h"

#include <algorithm>

#include "platform/win/Clock.h"
#include "platform/win/Errors.h"
#include "platform/win/MessageLoop.h"
#include "platform/win/Mutex.h"

namespace win {
namespace {

// The platform's own 64-bit sizes of the four versions.
constexpr DWORD kPlatformV1Size = 168;
constexpr DWORD kPlatformV2Size = 952;
constexpr DWORD kPlatformV3Size = 968;
constexpr DWORD kPlatformFullSize = 976;

enum class Layout { Unknown, V1, V2, V3, Full };

Layout LayoutOf(DWORD cbSize) {
    if (cbSize == NOTIFYICONDATAW_V1_SIZE || cbSize == kPlatformV1Size)
        return Layout::V1;
    if (cbSize == NOTIFYICONDATAW_V2_SIZE || cbSize == kPlatformV2Size)
        return Layout::V2;
    if (cbSize == NOTIFYICONDATAW_V3_SIZE || cbSize == kPlatformV3Size)
        return Layout::V3;
    if (cbSize == sizeof(NOTIFYICONDATAW) || cbSize == kPlatformFullSize)
        return Layout::Full;
    return Layout::Unknown;
}

// Text of a fixed buffer: up to its terminator, at most size - 1 characters.
std::wstring FixedText(const WCHAR* buffer, std::size_t size) {
    std::size_t n = 0;
    while (n + 1 < size && buffer[n] != L'\0')
        ++n;
    return std::wstring(buffer, n);
}

struct TrayArea {
    Mutex mutex;
    std::vector<TrayIcon> icons GUARDED_BY(mutex);
    std::vector<TrayBalloon> history GUARDED_BY(mutex);
    std::function<void(DWORD, const TrayIcon&)> observer GUARDED_BY(mutex);

    TrayIcon* Find(HWND hwnd, UINT id) REQUIRES(mutex) {
        auto it = std::find_if(icons.begin(), icons.end(),
                               [&](const TrayIcon& i) { return i.hwnd == hwnd && i.id == id; });
        return it == icons.end() ? nullptr : &*it;
    }
};
TrayArea& Area() {
    static TrayArea* area = new TrayArea;
    return *area;
}

void Apply(TrayArea& area, TrayIcon& icon, const NOTIFYICONDATAW& data, Layout layout)
    REQUIRES(area.mutex) {
    if (data.uFlags & NIF_MESSAGE)
        icon.callbackMessage = data.uCallbackMessage;
    if (data.uFlags & NIF_ICON)
        icon.icon = data.hIcon;
    if (data.uFlags & NIF_TIP)
        icon.tip = FixedText(data.szTip, layout == Layout::V1 ? 64 : 128);
    if (layout == Layout::V1)
        return;
    if (data.uFlags & NIF_STATE) {
        if (data.dwStateMask & NIS_HIDDEN)
            icon.hidden = (data.dwState & NIS_HIDDEN) != 0;
    }
    if (data.uFlags & NIF_SHOWTIP)
        icon.showTip = true;
    if (data.uFlags & NIF_INFO) {
        std::wstring text = FixedText(data.szInfo, 256);
        if (!text.empty()) {
            TrayBalloon balloon;
            balloon.hwnd = icon.hwnd;
            balloon.id = icon.id;
            balloon.title = FixedText(data.szInfoTitle, 64);
            balloon.text = std::move(text);
            balloon.infoFlags = data.dwInfoFlags;
            balloon.timeoutMs = data.uTimeout;
            balloon.tick = GetTickCount();
            icon.balloons.push_back(balloon);
            area.history.push_back(std::move(balloon));
        }
    }
}

}  // namespace

std::optional<TrayIcon> FindTrayIcon(HWND hwnd, UINT id) {
    TrayArea& area = Area();
    MutexLock lock(area.mutex);
    TrayIcon* icon = area.Find(hwnd, id);
    return icon ? std::optional<TrayIcon>(*icon) : std::nullopt;
}

std::vector<TrayIcon> TrayIcons() {
    TrayArea& area = Area();
    MutexLock lock(area.mutex);
    return area.icons;
}

std::vector<TrayBalloon> TrayBalloonHistory() {
    TrayArea& area = Area();
    MutexLock lock(area.mutex);
    return area.history;
}

BOOL SimulateTrayMouse(HWND hwnd, UINT id, UINT mouseMessage) {
    UINT callback = 0;
    UINT version = 0;
    {
        TrayArea& area = Area();
        MutexLock lock(area.mutex);
        TrayIcon* icon = area.Find(hwnd, id);
        if (!icon || icon->hidden || icon->callbackMessage == 0) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        callback = icon->callbackMessage;
        version = icon->version;
    }
    if (version >= NOTIFYICON_VERSION_4)
        return PostMessageW(hwnd, callback, MAKEWPARAM(0, 0),
                            MAKELPARAM(static_cast<WORD>(mouseMessage), static_cast<WORD>(id)));
    return PostMessageW(hwnd, callback, id, static_cast<LPARAM>(mouseMessage));
}

void SetTrayObserver(std::function<void(DWORD, const TrayIcon&)> observer) {
    TrayArea& area = Area();
    MutexLock lock(area.mutex);
    area.observer = std::move(observer);
}

void ResetTrayForTesting() {
    TrayArea& area = Area();
    MutexLock lock(area.mutex);
    area.icons.clear();
    area.history.clear();
}

}  // namespace win

BOOL Shell_NotifyIconW(DWORD message, NOTIFYICONDATAW* data) {
    if (!data)
        return FALSE;
    win::Layout layout = win::LayoutOf(data->cbSize);
    if (layout == win::Layout::Unknown)
        return FALSE;
    win::TrayArea& area = win::Area();
    win::TrayIcon after;
    std::function<void(DWORD, const win::TrayIcon&)> observer;
    {
        win::MutexLock lock(area.mutex);
        win::TrayIcon* icon = area.Find(data->hWnd, data->uID);
        switch (message) {
            case NIM_ADD: {
                if (icon || !IsWindow(data->hWnd))
                    return FALSE;
                win::TrayIcon added;
                added.hwnd = data->hWnd;
                added.id = data->uID;
                area.icons.push_back(std::move(added));
                icon = &area.icons.back();
                win::Apply(area, *icon, *data, layout);
                break;
            }
            case NIM_MODIFY:
                if (!icon)
                    return FALSE;
                win::Apply(area, *icon, *data, layout);
                break;
            case NIM_DELETE:
                if (!icon)
                    return FALSE;
                break;
            case NIM_SETVERSION:
                if (!icon || layout == win::Layout::V1)
                    return FALSE;
                if (data->uVersion != 0 && data->uVersion != NOTIFYICON_VERSION &&
                    data->uVersion != NOTIFYICON_VERSION_4)
                    return FALSE;
                icon->version = data->uVersion;
                break;
            case NIM_SETFOCUS:
                if (!icon)
                    return FALSE;
                break;
            default:
                return FALSE;
        }
        after = *icon;
        if (message == NIM_DELETE)
            std::erase_if(area.icons, [&](const win::TrayIcon& i) {
                return i.hwnd == data->hWnd && i.id == data->uID;
            });
        observer = area.observer;
    }
    if (observer)
        observer(message, after);
    return TRUE;
}
