// Message queues and message loops: one queue per thread, created by the
// thread's first window-manager call.
//
// A queue holds the messages posted to the thread's windows and to the thread
// itself, the messages other threads send to its windows (served whenever the
// thread reads its queue or waits for a reply of its own), its quit request
// and its timers (Timer.h). Reading order, as on the platform: sent messages
// first (served, not returned), then posted messages in posting order, then
// WM_QUIT, then WM_TIMER of due timers. All waits follow the platform clock.
// All calls are thread-safe; which thread may call is said per call.
#pragma once

#include <functional>

#include "platform/win/Handle.h"
#include "platform/win/Types.h"
#include "platform/win/Window.h"

struct MSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;  // GetTickCount() when it was posted (or generated)
    POINT pt;
    DWORD lPrivate;
};
using LPMSG = MSG*;

// PeekMessageW flags.
constexpr UINT PM_NOREMOVE = 0x0000;
constexpr UINT PM_REMOVE = 0x0001;
constexpr UINT PM_NOYIELD = 0x0002;

// A posted-message queue holds at most this many messages; more fail with
// ERROR_NOT_ENOUGH_QUOTA, as on the platform.
constexpr DWORD kMaxPostedMessages = 10000;

// Reads the calling thread's queue, waiting until a message matches: hwnd
// null takes every message of the thread, (HWND)-1 only thread messages
// (hwnd null), else only that window's; filterMin/Max (both 0: all) a
// message range. WM_QUIT always matches. Sent messages are served while it
// waits. Returns 0 for WM_QUIT, -1 for a bad hwnd filter
// (ERROR_INVALID_WINDOW_HANDLE), else nonzero. With QUILLMERE_WINDOW_PICTURE
// in the environment it serves that picture request while it waits
// (WindowPicture.h).
BOOL GetMessageW(MSG* msg, HWND hwnd, UINT filterMin, UINT filterMax);
// As GetMessageW without waiting: FALSE when nothing matches. PM_NOREMOVE
// leaves the message (a due timer stays due). Sent messages are served.
BOOL PeekMessageW(MSG* msg, HWND hwnd, UINT filterMin, UINT filterMax, UINT removeFlags);
// Key-message translation: no keyboard types here, so no WM_CHAR is
// generated; returns FALSE.
BOOL TranslateMessage(const MSG* msg);
// Calls the procedure of msg->hwnd with the message and returns its result.
// A WM_TIMER whose lParam is a TIMERPROC calls that procedure instead, but
// only when it is the procedure of a live timer of this thread (a forged
// WM_TIMER can't make the thread call an arbitrary address). 0 with
// ERROR_INVALID_WINDOW_HANDLE or ERROR_WINDOW_OF_OTHER_THREAD; 0 for other
// thread messages.
LRESULT DispatchMessageW(const MSG* msg);

// Queues a message to the thread of hwnd (any thread may call; null hwnd
// posts a thread message to the calling thread). FALSE with
// ERROR_INVALID_WINDOW_HANDLE or ERROR_NOT_ENOUGH_QUOTA.
BOOL PostMessageW(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
// Queues a thread message (hwnd null). FALSE with ERROR_INVALID_THREAD_ID
// when the thread has no queue, ERROR_NOT_ENOUGH_QUOTA when it is full.
BOOL PostThreadMessageW(DWORD threadId, UINT msg, WPARAM wParam, LPARAM lParam);
// Asks the calling thread's loop to end: once its posted messages are read,
// GetMessageW returns WM_QUIT with wParam = exitCode.
void PostQuitMessage(int exitCode);
// Calls the window procedure and returns its result. From the window's own
// thread the call is direct; from another thread the message is queued to
// the owner, and the caller waits until the owner's loop has served it,
// serving meanwhile the messages sent to its own windows (so two threads
// sending to each other don't deadlock). 0 when the window is bad
// (ERROR_INVALID_WINDOW_HANDLE), when it is destroyed before the owner served
// the message, or when the owner thread ends first.
LRESULT SendMessageW(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
LRESULT SendDlgItemMessageW(HWND dialog, int id, UINT msg, WPARAM wParam, LPARAM lParam);
// Waits until the calling thread's queue holds a message that GetMessageW
// would return (serving sent messages). Unlike the platform it does not
// distinguish messages seen by an earlier PeekMessageW: a message left in the
// queue ends the wait at once. Always TRUE.
BOOL WaitMessage();

// MsgWaitForMultipleObjects wake masks (all of them mean "any message").
constexpr DWORD QS_KEY = 0x0001;
constexpr DWORD QS_MOUSEMOVE = 0x0002;
constexpr DWORD QS_MOUSEBUTTON = 0x0004;
constexpr DWORD QS_POSTMESSAGE = 0x0008;
constexpr DWORD QS_TIMER = 0x0010;
constexpr DWORD QS_PAINT = 0x0020;
constexpr DWORD QS_SENDMESSAGE = 0x0040;
constexpr DWORD QS_HOTKEY = 0x0080;
constexpr DWORD QS_ALLPOSTMESSAGE = 0x0100;
constexpr DWORD QS_ALLEVENTS = 0x04BF;
constexpr DWORD QS_ALLINPUT = 0x04FF;

// Waits until one (waitAll FALSE) or all of the handles is signalled, a
// message arrives for the calling thread (wakeMask nonzero), or timeoutMs
// platform ms pass. Returns WAIT_OBJECT_0 + index of a signalled handle,
// WAIT_OBJECT_0 + count for a message, WAIT_TIMEOUT, or WAIT_FAILED
// (ERROR_INVALID_HANDLE: a handle is not waitable; ERROR_INVALID_PARAMETER:
// more than 64 handles). Sent messages are served while it waits. Handles
// are looked at every few real milliseconds (on the virtual clock whenever
// one may have been signalled).
DWORD MsgWaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD timeoutMs,
                                DWORD wakeMask);

namespace win {

// Test support: reads and dispatches the calling thread's messages until
// done() holds (true) or timeoutMs platform ms have passed (false). done()
// is asked as WaitForCondition (Clock.h) asks its condition, at idle moments
// on the virtual clock, after the messages that came so far are dispatched;
// the thread's timers fire at their due times meanwhile. A WM_QUIT read on
// the way is dropped.
bool PumpMessagesUntil(const std::function<bool()>& done, DWORD timeoutMs);

}  // namespace win
