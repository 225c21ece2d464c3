#include "platform/win/Mouse.h"

#include <map>
#include <set>
#include <vector>

#include "platform/win/Controls.h"
#include "platform/win/MessageLoop.h"
#include "platform/win/Mutex.h"
#include "platform/win/Threads.h"
#include "platform/win/WindowCoordinates.h"

namespace win {
namespace {

struct MouseState {
    Mutex mutex;
    POINT position GUARDED_BY(mutex){0, 0};
    bool buttonDown GUARDED_BY(mutex) = false;
    std::map<DWORD, HWND> capture GUARDED_BY(mutex);  // per thread
    std::set<HWND> leaveTracked GUARDED_BY(mutex);
};
MouseState& Mouse() {
    static auto* state = new MouseState;
    return *state;
}

bool Contains(HWND hwnd, POINT p) {
    RECT r{};
    return GetWindowRect(hwnd, &r) && p.x >= r.left && p.x < r.right && p.y >= r.top &&
           p.y < r.bottom;
}

DWORD StyleOf(HWND hwnd) {
    return static_cast<DWORD>(GetWindowLongPtrW(hwnd, GWL_STYLE));
}

// Windows the pointer passes through: hidden and disabled ones, tooltips,
// and statics that do not ask for clicks (SS_NOTIFY), which answer
// HTTRANSPARENT on the platform.
bool HitTestable(HWND hwnd) {
    const DWORD style = StyleOf(hwnd);
    if (!(style & WS_VISIBLE) || (style & WS_DISABLED))
        return false;
    WCHAR name[32] = {};
    GetClassNameW(hwnd, name, 32);
    const std::wstring cls = name;
    if (cls == L"tooltips_class32")
        return false;
    if (cls == L"Static" && !(style & SS_NOTIFY))
        return false;
    return true;
}

HWND Deepest(HWND parent, POINT p) {
    for (HWND c = GetWindow(parent, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT))
        if (HitTestable(c) && Contains(c, p))
            return Deepest(c, p);
    return parent;
}

LPARAM ClientPoint(HWND hwnd, POINT screen) {
    POINT p = screen;
    ScreenToClient(hwnd, &p);
    return MAKELPARAM(static_cast<WORD>(static_cast<SHORT>(p.x)),
                      static_cast<WORD>(static_cast<SHORT>(p.y)));
}

HWND Target(POINT p) {
    {
        MouseState& m = Mouse();
        MutexLock lock(m.mutex);
        auto it = m.capture.find(GetCurrentThreadId());
        if (it != m.capture.end() && IsWindow(it->second))
            return it->second;
    }
    return WindowFromPoint(p);
}

}  // namespace

void MovePointer(POINT screen) {
    bool down = false;
    std::vector<HWND> left;
    {
        MouseState& m = Mouse();
        MutexLock lock(m.mutex);
        m.position = screen;
        down = m.buttonDown;
    }
    HWND under = WindowFromPoint(screen);
    {
        MouseState& m = Mouse();
        MutexLock lock(m.mutex);
        for (auto it = m.leaveTracked.begin(); it != m.leaveTracked.end();) {
            if (*it != under) {
                left.push_back(*it);
                it = m.leaveTracked.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (HWND w : left)
        if (IsWindow(w))
            SendMessageW(w, WM_MOUSELEAVE, 0, 0);
    if (HWND target = Target(screen))
        SendMessageW(target, WM_MOUSEMOVE, down ? MK_LBUTTON : 0, ClientPoint(target, screen));
}

void PressPointer(bool down) {
    POINT p{};
    {
        MouseState& m = Mouse();
        MutexLock lock(m.mutex);
        m.buttonDown = down;
        p = m.position;
    }
    if (HWND target = Target(p))
        SendMessageW(target, down ? WM_LBUTTONDOWN : WM_LBUTTONUP, down ? MK_LBUTTON : 0,
                     ClientPoint(target, p));
}

}  // namespace win

BOOL GetCursorPos(POINT* point) {
    if (!point)
        return FALSE;
    win::MouseState& m = win::Mouse();
    win::MutexLock lock(m.mutex);
    *point = m.position;
    return TRUE;
}

BOOL SetCursorPos(int x, int y) {
    win::MouseState& m = win::Mouse();
    win::MutexLock lock(m.mutex);
    m.position = POINT{x, y};
    return TRUE;
}

HWND WindowFromPoint(POINT point) {
    for (HWND w = GetWindow(GetDesktopWindow(), GW_CHILD); w; w = GetWindow(w, GW_HWNDNEXT))
        if (win::HitTestable(w) && win::Contains(w, point))
            return win::Deepest(w, point);
    return nullptr;
}

HWND SetCapture(HWND hwnd) {
    HWND old = nullptr;
    {
        win::MouseState& m = win::Mouse();
        win::MutexLock lock(m.mutex);
        HWND& slot = m.capture[GetCurrentThreadId()];
        old = slot;
        slot = IsWindow(hwnd) ? hwnd : nullptr;
    }
    if (old && old != hwnd && IsWindow(old))
        SendMessageW(old, WM_CAPTURECHANGED, 0, reinterpret_cast<LPARAM>(hwnd));
    return old;
}

BOOL ReleaseCapture() {
    HWND old = nullptr;
    {
        win::MouseState& m = win::Mouse();
        win::MutexLock lock(m.mutex);
        auto it = m.capture.find(GetCurrentThreadId());
        if (it != m.capture.end()) {
            old = it->second;
            m.capture.erase(it);
        }
    }
    if (old && IsWindow(old))
        SendMessageW(old, WM_CAPTURECHANGED, 0, 0);
    return TRUE;
}

HWND GetCapture() {
    win::MouseState& m = win::Mouse();
    win::MutexLock lock(m.mutex);
    auto it = m.capture.find(GetCurrentThreadId());
    return it != m.capture.end() && IsWindow(it->second) ? it->second : nullptr;
}

BOOL TrackMouseEvent(TRACKMOUSEEVENT* track) {
    if (!track || track->cbSize != sizeof(TRACKMOUSEEVENT) || !IsWindow(track->hwndTrack)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (track->dwFlags & TME_HOVER) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    if (!(track->dwFlags & TME_LEAVE))
        return TRUE;
    POINT p{};
    GetCursorPos(&p);
    {
        win::MouseState& m = win::Mouse();
        win::MutexLock lock(m.mutex);
        if (track->dwFlags & TME_CANCEL) {
            m.leaveTracked.erase(track->hwndTrack);
            return TRUE;
        }
    }
    if (WindowFromPoint(p) != track->hwndTrack) {
        // Not over the window: the leave is reported at once.
        PostMessageW(track->hwndTrack, WM_MOUSELEAVE, 0, 0);
        return TRUE;
    }
    win::MouseState& m = win::Mouse();
    win::MutexLock lock(m.mutex);
    m.leaveTracked.insert(track->hwndTrack);
    return TRUE;
}

UINT GetDoubleClickTime() {
    return 500;
}
