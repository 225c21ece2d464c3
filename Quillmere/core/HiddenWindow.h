// CHiddenWindow: the heartbeat. Timer 1 of this hidden window drives the
// add-in's periodic work on Outlook's thread: the engine's start once the
// helper session is ready, and the outbox re-check every two minutes.
//
// Periods of timer 1, set by whoever arms it: 3000 ms at connection, 10000 ms
// after each due tick (and after a settings reload), 5000 ms on new mail,
// 100 ms on a right double-click of the tray icon.
//
// Threads: created, ticked and destroyed on Outlook's thread. Any thread may
// re-arm timer 1 through the window handle (KillTimer / SetTimer) and post it
// the messages below.
#pragma once

#include "platform/win/Timer.h"
#include "platform/win/Types.h"
#include "platform/win/Window.h"

class CSyncEngine;

constexpr UINT_PTR kHeartbeatTimerId = 1;
// Posted by ReportHelperLibraryNotRegistered (HelperObjects.h): the window
// shows the report on Outlook's thread.
constexpr UINT kHeartbeatReportHelperLibrary = WM_APP + 0x131;
// Posted by RunOnOutlookThread (OutlookThread.h): the window runs the work
// that worker threads queued for Outlook's thread.
constexpr UINT kHeartbeatRunOnOutlookThread = WM_APP + 0x132;
constexpr UINT kHeartbeatConnectPeriod = 3000;
constexpr UINT kHeartbeatDuePeriod = 10000;
constexpr UINT kHeartbeatNewMailPeriod = 5000;
constexpr UINT kHeartbeatFastPeriod = 100;
// The outbox re-check runs at the first tick after each 120-s deadline.
constexpr DWORD kHeartbeatRecheckInterval = 120000;

// The outbox re-check the due tick runs. Registered by the sync-mail
// exchange; until then a due tick re-arms the timer only.
using RecheckOutboxProc = void (*)(CSyncEngine* engine);
void SetRecheckOutboxProc(RecheckOutboxProc proc);

class CHiddenWindow {
public:
    CHiddenWindow() = default;
    ~CHiddenWindow();
    CHiddenWindow(const CHiddenWindow&) = delete;
    CHiddenWindow& operator=(const CHiddenWindow&) = delete;

    // Creates the window as a hidden child of the desktop window (style
    // WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN, then hidden).
    // False when the window can't be created. Outlook's thread.
    bool Create();
    // Kills timer 1 and destroys the window (nothing when it doesn't exist).
    void Destroy();
    HWND Handle() const { return m_hwnd; }

    // (Re-)arms / stops timer 1. Any thread.
    void Arm(UINT periodMs) const;
    void Stop() const;

    // One WM_TIMER (any timer id) at tick count now:
    // the first tick of the process sets the deadline to now + 120 s; without
    // an engine, or with the engine stopped or not ready, nothing more
    // happens; the first tick after that runs the engine's start and
    // StartThreads (the period stays); a later tick past the deadline, or one
    // with the engine's fast-tick flag set, sets the next deadline, runs the
    // outbox re-check (not for a fast tick, nor while stopped) and re-arms
    // timer 1 at 10 s. Every tick that reached the engine clears its fast-tick
    // flag. Deadlines are compared by unsigned difference, so the 49.7-day
    // wrap of the tick count does not stop the re-check.
    void OnHeartbeatTick(DWORD now);

    static LRESULT ProcessWindowMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

private:
    HWND m_hwnd = nullptr;
};

// Whether tick count now has passed deadline (by unsigned 32-bit difference:
// true when now lies less than 2^31 ms after it).
constexpr bool TickPassed(DWORD now, DWORD deadline) {
    return static_cast<LONG>(now - deadline) > 0;
}

namespace heartbeat {
// The process-wide deadline (valid once the first tick set it). Any thread.
DWORD DueTime();
// Puts the process-wide heartbeat state back: no tick seen, start pending.
// For tests only.
void ResetForTesting();
}  // namespace heartbeat
