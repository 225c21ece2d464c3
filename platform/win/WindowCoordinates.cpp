#include "platform/win/WindowCoordinates.h"

namespace {

// The screen position of a window's client origin; false for a bad window.
bool Origin(HWND hwnd, POINT* origin) {
    if (!hwnd || hwnd == GetDesktopWindow()) {
        *origin = POINT{0, 0};
        return true;
    }
    RECT rc{};
    if (!GetWindowRect(hwnd, &rc))
        return false;
    *origin = POINT{rc.left, rc.top};
    return true;
}

}  // namespace

int MapWindowPoints(HWND from, HWND to, POINT* points, UINT count) {
    POINT a{}, b{};
    if (!Origin(from, &a) || !Origin(to, &b)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    LONG dx = a.x - b.x;
    LONG dy = a.y - b.y;
    for (UINT i = 0; points && i < count; ++i) {
        points[i].x += dx;
        points[i].y += dy;
    }
    return static_cast<int>(MAKELONG(static_cast<WORD>(dx), static_cast<WORD>(dy)));
}

BOOL ScreenToClient(HWND hwnd, POINT* point) {
    POINT o{};
    if (!hwnd || !point || !Origin(hwnd, &o)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    point->x -= o.x;
    point->y -= o.y;
    return TRUE;
}

BOOL ClientToScreen(HWND hwnd, POINT* point) {
    POINT o{};
    if (!hwnd || !point || !Origin(hwnd, &o)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    point->x += o.x;
    point->y += o.y;
    return TRUE;
}
