// The top-level windows of the machine's other processes, as the platform's
// one window manager shows every program's windows to every other: a
// process that shows a top-level window offers its top-level windows to the
// processes of its user directory (MachineChannel.h), and FindWindowW,
// PostMessageW, SendMessageW, IsWindow and GetWindowThreadProcessId reach
// them through a handle of the calling process that stands for the other
// process's window (an alias).
//
// What crosses: finding a window by class name (not by atom) and text, and
// messages whose wParam and lParam are plain numbers (the platform marshals
// the pointers of a few system messages; the stand-in marshals none, so a
// pointer arrives as a number that means nothing there). A SendMessageW to
// another process's window waits for its thread to serve it, as the platform's
// does, bounded by the connection's limit (0 when it passes). A posted
// message is queued right after the poster is told it was: a full queue or a
// window destroyed meanwhile loses it silently.
//
// Internal to platform/win: the Win32 calls of Window.h and MessageLoop.h
// use it. Thread-safe.
#pragma once

#include "platform/win/Types.h"
#include "platform/win/Window.h"

namespace win::foreign {

// Offers this process's top-level windows from now on; called when one is
// first shown. Harmless when done.
void PublishWindows();

// The first top-level window of another process whose class name (null:
// any; an atom matches none there) and text (null: any) match, case-
// insensitively, after the alias after (null: from the first); an alias, or
// null.
HWND Find(const WCHAR* className, const WCHAR* windowName, HWND after);

// Whether hwnd is an alias of another process's window.
bool IsAlias(HWND hwnd);
BOOL Post(HWND alias, UINT msg, WPARAM wParam, LPARAM lParam);
LRESULT Send(HWND alias, UINT msg, WPARAM wParam, LPARAM lParam);
// Whether the window still exists in its process.
BOOL Exists(HWND alias);
// The window's thread id in its process, and that process's id.
DWORD ThreadAndProcess(HWND alias, DWORD* processId);

}  // namespace win::foreign
