// Converting points between a window's client coordinates and the screen's.
// Windows have no frame here, so a window's client area is its whole
// rectangle (GetWindowRect). All calls are thread-safe.
#pragma once

#include "platform/win/Types.h"
#include "platform/win/Window.h"

// Converts count points from from's client coordinates to to's (null or the
// desktop: the screen). Returns MAKELONG(dx, dy) of the offset added (the
// platform's form: the low and high words of the horizontal and vertical
// shift), 0 with ERROR_INVALID_WINDOW_HANDLE for a bad window (points
// unchanged). As on the platform a successful call leaves the last error
// alone, so a shift of 0 is told from a failure by clearing it first.
int MapWindowPoints(HWND from, HWND to, POINT* points, UINT count);
BOOL ScreenToClient(HWND hwnd, POINT* point);
BOOL ClientToScreen(HWND hwnd, POINT* point);
