#include "Quillmere/core/HiddenWindowTray.h"

#include <string>

#include "Quillmere/core/AddinGlobals.h"
#include "Quillmere/core/DebugLog.h"
#include "Quillmere/core/HiddenWindow.h"
#include "Quillmere/core/SyncEngine.h"
#include "platform/win/Timer.h"

namespace {

constexpr UINT kLastFrameStep = 11;
constexpr UINT kBalloonSeconds = 10;

// Process-wide: the busy animation starts at frame 280 once per process and
// then cycles over 281 to 291.
UINT g_frame = 0;

}  // namespace

namespace tray {
UINT AnimationFrame() {
    return g_frame;
}
void ResetForTesting() {
    g_frame = 0;
}
}  // namespace tray

void CHiddenWindowTray::CreateAtConnection() {
    if (PopupWindow())
        return;
    CreateShellIcon();
    SetTooltipText(L"Quillmere");
    SetIcon(kIconIdle);
    SetVisible(true);
    SetIconTimer(true, kTrayStartPeriod);
}

void CHiddenWindowTray::OnIconTimer() {
    CSyncEngine* engine = g_pEngine.load();
    if (!engine || engine->m_stopped.load())
        return;
    LONG state = engine->GetSyncState();
    if (state == kSyncStateChangeQueued || state == kSyncStateSending ||
        state == kSyncStateImporting) {
        SetIconTimer(true, kTrayBusyPeriod);
        SetIcon(kIconBusyFirst + g_frame);
        std::wstring status;
        engine->GetStatusText(status);
        std::wstring tooltip;
        if (status.size() > 1)
            tooltip = L"Quillmere" + status;
        else if (state == kSyncStateImporting)
            tooltip = L"-> Quillmere <-";
        else if (state == kSyncStateChangeQueued)
            tooltip = L"<- Quillmere ->";
        else
            tooltip = L"Quillmere";
        SetTooltipText(tooltip.c_str());
        g_frame = g_frame < kLastFrameStep ? g_frame + 1 : 1;
    } else if (state == kSyncStateOffline) {
        SetIconTimer(true, kTrayIdlePeriod);
        SetIcon(kIconOffline);
        SetTooltipText(L"Quillmere: Exchange Offline");
    } else {
        SetTooltipText(L"Quillmere");
        SetIconTimer(true, kTrayIdlePeriod);
        SetIcon(kIconIdle);
    }
    std::wstring title;
    std::wstring text;
    LONG kind = 0;
    if (engine->TakePendingNotification(title, text, kind))
        ShowBalloon(text.c_str(), title.c_str(), static_cast<DWORD>(kind), kBalloonSeconds);
}

void CHiddenWindowTray::OnTrayNotify(WPARAM /*wParam*/, LPARAM lParam) {
    CSyncEngine* engine = g_pEngine.load();
    if (!engine)
        return;
    if (lParam == WM_RBUTTONDBLCLK) {
        engine->m_fastTick = true;
        WriteDebugLog("rdblclick tray");
        if (HWND heartbeat = engine->HeartbeatWindow()) {
            KillTimer(heartbeat, kHeartbeatTimerId);
            SetTimer(heartbeat, kHeartbeatTimerId, kHeartbeatFastPeriod, nullptr);
        }
    } else if (lParam == WM_LBUTTONDBLCLK) {
        bool stopped = !engine->m_stopped.load();
        engine->m_stopped = stopped;
        SetIcon(kIconIdle);
        if (stopped) {
            SetTooltipText(L"QMRX Start");
            WriteDebugLog("QMRX has stopped");
            SetIcon(kIconStopped);
        } else {
            SetTooltipText(L"Quillmere Stop");
            SetIcon(kIconIdle);
        }
    }
}
