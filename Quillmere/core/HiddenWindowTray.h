// CHiddenWindowTray: the add-in's tray icon. Its tooltip and animation tell
// what the engine is doing (from the state code), its balloons show the
// pending desktop notification, and double-clicks on it stop or resume the
// add-in (left) or restart the heartbeat's period (right).
//
// Icon resources: 274 idle, 275 stopped, 277 Exchange offline, 280 to 291
// the frames of the busy animation.
//
// Threads: Outlook's thread only. The state code and status text are read
// without locks; the notification is taken under NotificationLock.
#pragma once

#include "Quillmere/core/ShellIconHelper.h"

constexpr UINT kIconIdle = 274;
constexpr UINT kIconStopped = 275;
constexpr UINT kIconOffline = 277;
constexpr UINT kIconBusyFirst = 280;
constexpr UINT kTrayIdlePeriod = 2000;
constexpr UINT kTrayBusyPeriod = 200;
constexpr UINT kTrayStartPeriod = 3000;

class CHiddenWindowTray final : public CShellIconHelper {
public:
    // Creates the icon as the connection does: tooltip "Quillmere", icon 274,
    // visible, icon timer on at 3000 ms.
    void CreateAtConnection();

    // One icon-timer tick: with an engine that isn't stopped, the icon,
    // tooltip and timer follow the state code (busy 1, 2, 5: the animation
    // at 200 ms; 4: offline; else idle, 2000 ms), then a pending
    // notification, if any, becomes a balloon of 10 s.
    void OnIconTimer() override;
    // The icon's mouse callback (lParam = the mouse message): a right
    // double-click sets the engine's fast-tick flag and re-arms the heartbeat
    // at 100 ms; a left double-click toggles the engine's stopped flag.
    void OnTrayNotify(WPARAM wParam, LPARAM lParam) override;
};

namespace tray {
// The animation frame (process-wide; 0 at load). For tests.
UINT AnimationFrame();
void ResetForTesting();
}  // namespace tray
