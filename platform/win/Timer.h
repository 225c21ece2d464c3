// Timers of windows and threads.
//
// A timer lives in the message queue of the thread that owns its window (or,
// for a thread timer, of the thread that set it) and is delivered there as
// WM_TIMER (wParam = timer id, lParam = its TIMERPROC or 0) when that thread
// reads its queue after the timer fell due. Periods are platform ms
// (Clock.h): at QUILLMERE_TIME_SCALE 1000 a 3000 ms timer falls due after
// 3 real ms. Like the platform, a timer coalesces: while its WM_TIMER has not
// been read it is not queued again, and periods missed meanwhile are dropped.
// WM_TIMER is read only when no posted message waits. Thread-safe.
#pragma once

#include "platform/win/Types.h"
#include "platform/win/Window.h"

using TIMERPROC = void (*)(HWND, UINT, UINT_PTR, DWORD);

// Periods are clamped to this range, as on the platform.
constexpr UINT USER_TIMER_MINIMUM = 0x0000000A;
constexpr UINT USER_TIMER_MAXIMUM = 0x7FFFFFFF;

// Starts timer id of hwnd, or restarts it with the new period and procedure
// when it exists (the period then counts from now). May be called from any
// thread: the timer still belongs to the window's thread. With proc, the
// WM_TIMER dispatched by DispatchMessageW calls proc(hwnd, WM_TIMER, id,
// GetTickCount()) instead of the window procedure. Returns id (1 for id 0);
// 0 with ERROR_INVALID_WINDOW_HANDLE for a bad window.
// hwnd null: a timer of the calling thread; id restarts it when it names one
// of this thread's timers, else a new id is chosen and returned.
UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapseMs, TIMERPROC proc);
// Stops the timer; a WM_TIMER of it that is due but unread is dropped too.
// Any thread may call for a window timer; a thread timer only from its
// thread. FALSE with ERROR_INVALID_WINDOW_HANDLE or (no such timer)
// ERROR_INVALID_PARAMETER.
BOOL KillTimer(HWND hwnd, UINT_PTR id);
