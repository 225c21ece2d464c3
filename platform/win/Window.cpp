#include "platform/win/Window.h"

#include "platform/win/Controls.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <vector>

#include "platform/win/MessageLoop.h"
#include "platform/win/MessageQueue.h"
#include "platform/win/Mutex.h"
#include "platform/win/Paint.h"
#include "platform/win/Text.h"
#include "platform/win/Threads.h"
#include "platform/win/WindowPicture.h"
#include "platform/win/WindowService.h"

namespace win {
namespace {

struct WindowClass {
    std::wstring name;
    std::wstring upperName;
    ATOM atom = 0;
    WNDCLASSEXW info{};  // lpszClassName and lpszMenuName point into this object
    std::wstring menuName;
    int windowCount = 0;
    bool global = false;
};

struct WindowObject {
    HWND hwnd = nullptr;
    std::shared_ptr<WindowClass> cls;
    WNDPROC proc = nullptr;
    DWORD style = 0;
    DWORD exStyle = 0;
    LONG_PTR id = 0;
    LONG_PTR userData = 0;
    HINSTANCE instance = nullptr;
    HWND parent = nullptr;       // the desktop for top-level windows
    HWND owner = nullptr;        // top-level windows only
    std::vector<HWND> children;  // z-order, topmost first
    std::wstring text;
    // WM_SETFONT's font as DefWindowProcW keeps it for WM_GETFONT.
    WPARAM font = 0;
    DWORD threadId = 0;
    RECT rect{};  // in the parent's coordinates
    std::vector<std::uint8_t> extra;
    bool destroying = false;
};

// Process-wide window state. Leaked on purpose: thread-exit cleanup may run
// after static destructors began.
struct WindowTable {
    Mutex mutex;
    std::unordered_map<std::uintptr_t, std::shared_ptr<WindowObject>> windows GUARDED_BY(mutex);
    std::vector<std::shared_ptr<WindowClass>> classes GUARDED_BY(mutex);
    // Window handles are even values from 0x10010 up and never reused.
    std::uintptr_t nextHandle GUARDED_BY(mutex) = 0x10010;
    // Class atoms and registered messages share one range, as the
    // platform's atom table does.
    ATOM nextAtom GUARDED_BY(mutex) = 0xC000;
    std::unordered_map<std::wstring, UINT> registeredMessages GUARDED_BY(mutex);
    std::unordered_map<DWORD, HWND> focus GUARDED_BY(mutex);   // per thread
    std::unordered_map<DWORD, HWND> active GUARDED_BY(mutex);  // per thread
    HWND foreground GUARDED_BY(mutex) = nullptr;
    HWND desktop = nullptr;

    WindowTable() {
        auto d = std::make_shared<WindowObject>();
        d->hwnd = reinterpret_cast<HWND>(nextHandle);
        nextHandle += 2;
        d->style = WS_VISIBLE | WS_CLIPCHILDREN | WS_CLIPSIBLINGS;
        d->rect = RECT{0, 0, 1920, 1080};
        desktop = d->hwnd;
        MutexLock lock(mutex);
        windows.emplace(reinterpret_cast<std::uintptr_t>(desktop), d);
    }

    std::shared_ptr<WindowObject> Find(HWND hwnd) REQUIRES(mutex) {
        auto it = windows.find(reinterpret_cast<std::uintptr_t>(hwnd));
        return it == windows.end() ? nullptr : it->second;
    }
};

WindowTable& Table() {
    static WindowTable* table = new WindowTable;
    return *table;
}

bool IsAtom(const WCHAR* name) {
    return (reinterpret_cast<std::uintptr_t>(name) >> 16) == 0;
}

std::wstring Upper(std::wstring text) {
    CharUpperBuffW(text.data(), static_cast<DWORD>(text.size()));
    return text;
}

HINSTANCE Normalize(HINSTANCE instance) {
    return instance ? instance : GetModuleHandleW(nullptr);
}

bool ClassMatches(const WindowClass& c, const WCHAR* name) {
    if (IsAtom(name))
        return c.atom == static_cast<ATOM>(reinterpret_cast<std::uintptr_t>(name));
    return c.upperName == Upper(name);
}

// The class CreateWindowExW would use: the module's own, then a global one.
std::shared_ptr<WindowClass> FindClass(WindowTable& t, const WCHAR* name, HINSTANCE instance)
    REQUIRES(t.mutex) {
    if (!name)
        return nullptr;
    for (auto& c : t.classes)
        if (!c->global && c->info.hInstance == instance && ClassMatches(*c, name))
            return c;
    for (auto& c : t.classes)
        if (c->global && ClassMatches(*c, name))
            return c;
    return nullptr;
}

bool IsTopLevel(const WindowObject& w) {
    return (w.style & WS_CHILD) == 0;
}

// Keeps topmost top-level windows in front of the others.
void SortTopmostFirst(WindowTable& t, WindowObject& parent) REQUIRES(t.mutex) {
    if (parent.hwnd != t.desktop)
        return;
    std::vector<HWND> topmost;
    std::vector<HWND> others;
    for (HWND h : parent.children) {
        auto w = t.Find(h);
        (w && (w->exStyle & WS_EX_TOPMOST) ? topmost : others).push_back(h);
    }
    topmost.insert(topmost.end(), others.begin(), others.end());
    parent.children = std::move(topmost);
}

void Unlink(WindowTable& t, WindowObject& w) REQUIRES(t.mutex) {
    if (auto parent = t.Find(w.parent))
        std::erase(parent->children, w.hwnd);
    for (auto& [value, other] : t.windows)
        if (other->owner == w.hwnd)
            other->owner = nullptr;
    if (w.cls)
        --w.cls->windowCount;
    for (auto* slots : {&t.focus, &t.active})
        for (auto& [thread, hwnd] : *slots)
            if (hwnd == w.hwnd)
                hwnd = nullptr;
    if (t.foreground == w.hwnd)
        t.foreground = nullptr;
    t.windows.erase(reinterpret_cast<std::uintptr_t>(w.hwnd));
}

// Messages of the window manager's own making reach the window on its
// thread: directly from there, else through its queue.
LRESULT SendInternal(HWND hwnd, DWORD threadId, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (threadId == GetCurrentThreadId())
        return DeliverToWindowProc(hwnd, msg, wParam, lParam);
    return SendMessageW(hwnd, msg, wParam, lParam);
}

void RemoveWindow(HWND hwnd) {
    WindowTable& t = Table();
    DWORD threadId = 0;
    {
        MutexLock lock(t.mutex);
        auto w = t.Find(hwnd);
        if (!w)
            return;
        threadId = w->threadId;
        Unlink(t, *w);
    }
    if (auto queue = MessageQueue::ForThread(threadId))
        queue->ForgetWindow(hwnd);
}

// Order matters: owned windows go first, then the window hears WM_DESTROY
// while its children still exist, then the children go, and WM_NCDESTROY
// comes last, when nothing below the window is left.
void DestroyTree(HWND hwnd) {
    WindowTable& t = Table();
    std::vector<HWND> owned;
    std::vector<HWND> children;
    DWORD threadId = 0;
    {
        MutexLock lock(t.mutex);
        auto w = t.Find(hwnd);
        if (!w || w->destroying)
            return;
        w->destroying = true;
        w->style &= ~WS_VISIBLE;
        threadId = w->threadId;
        children = w->children;
        for (auto& [value, other] : t.windows)
            if (other->owner == hwnd && other->threadId == threadId)
                owned.push_back(other->hwnd);
    }
    for (HWND o : owned)
        DestroyTree(o);
    SendInternal(hwnd, threadId, WM_DESTROY, 0, 0);
    for (HWND c : children)
        DestroyTree(c);
    SendInternal(hwnd, threadId, WM_NCDESTROY, 0, 0);
    RemoveWindow(hwnd);
}

std::shared_ptr<WindowObject> FindOrFail(WindowTable& t, HWND hwnd) REQUIRES(t.mutex) {
    auto w = t.Find(hwnd);
    if (!w)
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return w;
}

int CopyText(const std::wstring& text, WCHAR* buffer, int maxCount) {
    if (!buffer || maxCount <= 0)
        return 0;
    std::size_t n = std::min(text.size(), static_cast<std::size_t>(maxCount - 1));
    std::copy_n(text.data(), n, buffer);
    buffer[n] = L'\0';
    return static_cast<int>(n);
}

}  // namespace

DWORD WindowThreadId(HWND hwnd) {
    WindowTable& t = Table();
    MutexLock lock(t.mutex);
    auto w = t.Find(hwnd);
    return w ? w->threadId : 0;
}

LRESULT DeliverToWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    WNDPROC proc = nullptr;
    {
        WindowTable& t = Table();
        MutexLock lock(t.mutex);
        auto w = t.Find(hwnd);
        if (!w || w->hwnd == t.desktop)
            return 0;
        proc = w->proc;
    }
    return proc ? proc(hwnd, msg, wParam, lParam) : DefWindowProcW(hwnd, msg, wParam, lParam);
}

void ForgetWindowsOfThread(DWORD threadId) {
    WindowTable& t = Table();
    MutexLock lock(t.mutex);
    std::vector<std::shared_ptr<WindowObject>> gone;
    for (auto& [value, w] : t.windows)
        if (w->threadId == threadId && w->hwnd != t.desktop)
            gone.push_back(w);
    for (auto& w : gone)
        Unlink(t, *w);
}

std::size_t WindowCount() {
    WindowTable& t = Table();
    MutexLock lock(t.mutex);
    return t.windows.size() - 1;
}

}  // namespace win

using win::Table;
using win::WindowTable;

ATOM RegisterClassExW(const WNDCLASSEXW* wc) {
    if (!wc || wc->cbSize != sizeof(WNDCLASSEXW) || !wc->lpfnWndProc || !wc->lpszClassName ||
        win::IsAtom(wc->lpszClassName) || wc->cbClsExtra < 0 || wc->cbWndExtra < 0 ||
        wc->lpszClassName[0] == L'\0') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    auto c = std::make_shared<win::WindowClass>();
    c->name = wc->lpszClassName;
    c->upperName = win::Upper(c->name);
    c->global = (wc->style & CS_GLOBALCLASS) != 0;
    c->info = *wc;
    c->info.hInstance = win::Normalize(wc->hInstance);
    if (wc->lpszMenuName && !win::IsAtom(wc->lpszMenuName)) {
        c->menuName = wc->lpszMenuName;
        c->info.lpszMenuName = c->menuName.c_str();
    }
    c->info.lpszClassName = c->name.c_str();
    WindowTable& t = Table();
    win::MutexLock lock(t.mutex);
    for (auto& other : t.classes) {
        bool sameScope = c->global ? other->global
                                   : (!other->global && other->info.hInstance == c->info.hInstance);
        if (sameScope && other->upperName == c->upperName) {
            SetLastError(ERROR_CLASS_ALREADY_EXISTS);
            return 0;
        }
    }
    c->atom = t.nextAtom++;
    t.classes.push_back(c);
    return c->atom;
}

BOOL UnregisterClassW(const WCHAR* className, HINSTANCE instance) {
    WindowTable& t = Table();
    win::MutexLock lock(t.mutex);
    HINSTANCE module = win::Normalize(instance);
    auto it = std::find_if(t.classes.begin(), t.classes.end(), [&](const auto& c) {
        return className && (c->global || c->info.hInstance == module) &&
               win::ClassMatches(*c, className);
    });
    if (it == t.classes.end()) {
        SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
        return FALSE;
    }
    if ((*it)->windowCount > 0) {
        SetLastError(ERROR_CLASS_HAS_WINDOWS);
        return FALSE;
    }
    t.classes.erase(it);
    return TRUE;
}

BOOL GetClassInfoExW(HINSTANCE instance, const WCHAR* className, WNDCLASSEXW* wc) {
    WindowTable& t = Table();
    win::MutexLock lock(t.mutex);
    auto c = win::FindClass(t, className, win::Normalize(instance));
    if (!c || !wc) {
        SetLastError(c ? ERROR_INVALID_PARAMETER : ERROR_CLASS_DOES_NOT_EXIST);
        return FALSE;
    }
    UINT size = wc->cbSize;
    *wc = c->info;
    wc->cbSize = size;
    return c->atom;
}

int GetClassNameW(HWND hwnd, WCHAR* className, int maxCount) {
    WindowTable& t = Table();
    win::MutexLock lock(t.mutex);
    auto w = win::FindOrFail(t, hwnd);
    if (!w)
        return 0;
    return win::CopyText(w->cls ? w->cls->name : std::wstring(L"#32769"), className, maxCount);
}

namespace win {
namespace {

// The owner of a top-level window: the top-level window of the parent given.
HWND OwnerFor(WindowTable& t, std::shared_ptr<WindowObject> parent) REQUIRES(t.mutex) {
    for (auto o = std::move(parent); o && o->hwnd != t.desktop; o = t.Find(o->parent))
        if (IsTopLevel(*o))
            return o->hwnd;
    return nullptr;
}

// Creation step 1: checks the class and parent and enters the window into
// the table, not yet visible. Null with the last error set.
HWND InsertNewWindow(const CREATESTRUCTW& cs) {
    WindowTable& t = Table();
    MutexLock lock(t.mutex);
    auto cls = FindClass(t, cs.lpszClass, cs.hInstance);
    if (!cls) {
        SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
        return nullptr;
    }
    auto style = static_cast<DWORD>(cs.style);
    std::shared_ptr<WindowObject> parent;
    if (cs.hwndParent && cs.hwndParent != HWND_MESSAGE) {
        parent = t.Find(cs.hwndParent);
        if (!parent || parent->destroying) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return nullptr;
        }
    } else if (style & WS_CHILD) {
        SetLastError(ERROR_TLW_WITH_WSCHILD);
        return nullptr;
    }
    auto w = std::make_shared<WindowObject>();
    w->hwnd = reinterpret_cast<HWND>(t.nextHandle);
    t.nextHandle += 2;
    w->cls = cls;
    w->proc = cls->info.lpfnWndProc;
    w->style = style & ~WS_VISIBLE;  // WS_VISIBLE takes effect after WM_CREATE
    w->exStyle = cs.dwExStyle;
    w->instance = cs.hInstance;
    w->threadId = GetCurrentThreadId();
    w->extra.assign(static_cast<std::size_t>(cls->info.cbWndExtra), 0);
    w->rect = RECT{cs.x, cs.y, cs.x + cs.cx, cs.y + cs.cy};
    if (style & WS_CHILD) {
        w->parent = cs.hwndParent;
        w->id = reinterpret_cast<LONG_PTR>(cs.hMenu);
        parent->children.push_back(w->hwnd);  // new children go to the bottom
    } else {
        w->parent = t.desktop;
        w->owner = OwnerFor(t, parent);
        auto desktop = t.Find(t.desktop);
        desktop->children.insert(desktop->children.begin(), w->hwnd);
        SortTopmostFirst(t, *desktop);
    }
    ++cls->windowCount;
    t.windows.emplace(reinterpret_cast<std::uintptr_t>(w->hwnd), w);
    return w->hwnd;
}

// Creation step 2: WM_NCCREATE and WM_CREATE; false when either refused
// the window, which is then gone.
bool RunCreateMessages(HWND hwnd, CREATESTRUCTW* cs) {
    if (!DeliverToWindowProc(hwnd, WM_NCCREATE, 0, reinterpret_cast<LPARAM>(cs))) {
        DeliverToWindowProc(hwnd, WM_NCDESTROY, 0, 0);
        RemoveWindow(hwnd);
        return false;
    }
    if (DeliverToWindowProc(hwnd, WM_CREATE, 0, reinterpret_cast<LPARAM>(cs)) == -1) {
        DestroyWindow(hwnd);
        return false;
    }
    return IsWindow(hwnd) != FALSE;  // it may have destroyed itself
}

// Creation step 3: WS_VISIBLE, announced to top-level windows.
bool ApplyInitialVisibility(HWND hwnd, DWORD style) {
    if (!(style & WS_VISIBLE))
        return true;
    bool topLevel = false;
    {
        WindowTable& t = Table();
        MutexLock lock(t.mutex);
        auto w = t.Find(hwnd);
        if (!w)
            return false;
        w->style |= WS_VISIBLE;
        topLevel = IsTopLevel(*w);
    }
    if (topLevel)
        DeliverToWindowProc(hwnd, WM_SHOWWINDOW, TRUE, 0);
    return IsWindow(hwnd) != FALSE;
}

}  // namespace
}  // namespace win

HWND CreateWindowExW(DWORD exStyle, const WCHAR* className, const WCHAR* windowName, DWORD style,
                     int x, int y, int width, int height, HWND parent, HMENU menu,
                     HINSTANCE instance, void* param) {
    win::MessageQueue::ForCurrentThread();
    // The standard control classes always exist, as on the platform.
    win::RegisterControlClasses();
    if (x == CW_USEDEFAULT)
        x = y = 0;
    if (width == CW_USEDEFAULT)
        width = height = 0;
    CREATESTRUCTW cs{};
    cs.lpCreateParams = param;
    cs.hInstance = win::Normalize(instance);
    cs.hMenu = menu;
    cs.hwndParent = parent;
    cs.cy = height;
    cs.cx = width;
    cs.y = y;
    cs.x = x;
    cs.style = static_cast<LONG>(style);
    cs.lpszName = windowName;
    cs.lpszClass = className;
    cs.dwExStyle = exStyle;
    HWND hwnd = win::InsertNewWindow(cs);
    if (!hwnd || !win::RunCreateMessages(hwnd, &cs) || !win::ApplyInitialVisibility(hwnd, style))
        return nullptr;
    return hwnd;
}

BOOL DestroyWindow(HWND hwnd) {
    {
        WindowTable& t = Table();
        win::MutexLock lock(t.mutex);
        auto w = win::FindOrFail(t, hwnd);
        if (!w)
            return FALSE;
        if (w->hwnd == t.desktop || w->threadId != GetCurrentThreadId()) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
    }
    win::PictureClosingWindow(hwnd);
    win::DestroyTree(hwnd);
    return TRUE;
}

LRESULT DefWindowProcW(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
        case WM_NCCREATE: {
            auto* cs = reinterpret_cast<const CREATESTRUCTW*>(lParam);
            if (cs && cs->lpszName && !win::IsAtom(cs->lpszName)) {
                WindowTable& t = Table();
                win::MutexLock lock(t.mutex);
                if (auto w = t.Find(hwnd))
                    w->text = cs->lpszName;
            }
            return TRUE;
        }
        case WM_SETTEXT: {
            auto* text = reinterpret_cast<const WCHAR*>(lParam);
            WindowTable& t = Table();
            win::MutexLock lock(t.mutex);
            auto w = t.Find(hwnd);
            if (!w)
                return FALSE;
            w->text = text ? text : L"";
            return TRUE;
        }
        case WM_GETTEXT: {
            WindowTable& t = Table();
            win::MutexLock lock(t.mutex);
            auto w = t.Find(hwnd);
            if (!w || wParam == 0)
                return 0;
            int max = static_cast<int>(std::min<WPARAM>(wParam, 0x7FFFFFFF));
            return win::CopyText(w->text, reinterpret_cast<WCHAR*>(lParam), max);
        }
        case WM_GETTEXTLENGTH: {
            WindowTable& t = Table();
            win::MutexLock lock(t.mutex);
            auto w = t.Find(hwnd);
            return w ? static_cast<LRESULT>(w->text.size()) : 0;
        }
        case WM_ERASEBKGND: {
            // The class's background brush (a brush or COLOR_* + 1).
            HBRUSH brush = nullptr;
            {
                WindowTable& t = Table();
                win::MutexLock lock(t.mutex);
                auto w = t.Find(hwnd);
                if (w && w->cls)
                    brush = w->cls->info.hbrBackground;
            }
            if (!brush)
                return 0;
            RECT client{};
            GetClientRect(hwnd, &client);
            FillRect(reinterpret_cast<HDC>(wParam), &client, brush);
            return 1;
        }
        case WM_SETFONT:
        case WM_GETFONT: {
            WindowTable& t = Table();
            win::MutexLock lock(t.mutex);
            auto w = t.Find(hwnd);
            if (!w)
                return 0;
            if (msg == WM_SETFONT)
                w->font = wParam;
            return static_cast<LRESULT>(w->font);
        }
        case WM_CLOSE:
            DestroyWindow(hwnd);
            return 0;
        default:
            return 0;
    }
}

LRESULT CallWindowProcW(WNDPROC proc, HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    return proc ? proc(hwnd, msg, wParam, lParam) : 0;
}

HWND GetDesktopWindow() {
    return Table().desktop;
}

BOOL IsWindow(HWND hwnd) {
    {
        WindowTable& t = Table();
        win::MutexLock lock(t.mutex);
        if (t.Find(hwnd))
            return TRUE;
    }
    return win::foreign::IsAlias(hwnd) ? win::foreign::Exists(hwnd) : FALSE;
}

BOOL IsWindowVisible(HWND hwnd) {
    WindowTable& t = Table();
    win::MutexLock lock(t.mutex);
    for (auto w = t.Find(hwnd); w; w = t.Find(w->parent)) {
        if (!(w->style & WS_VISIBLE))
            return FALSE;
        if (w->hwnd == t.desktop || win::IsTopLevel(*w))
            return TRUE;
    }
    return FALSE;
}

BOOL ShowWindow(HWND hwnd, int cmdShow) {
    WindowTable& t = Table();
    bool wasVisible = false;
    bool nowVisible = false;
    bool topLevel = false;
    DWORD threadId = 0;
    {
        win::MutexLock lock(t.mutex);
        auto w = win::FindOrFail(t, hwnd);
        if (!w)
            return FALSE;
        if (w->hwnd == t.desktop) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        topLevel = win::IsTopLevel(*w);
        wasVisible = (w->style & WS_VISIBLE) != 0;
        nowVisible = cmdShow != SW_HIDE;
        switch (cmdShow) {
            case SW_MINIMIZE:
            case SW_SHOWMINIMIZED:
            case SW_SHOWMINNOACTIVE:
                w->style = (w->style | WS_MINIMIZE) & ~WS_MAXIMIZE;
                break;
            case SW_SHOWMAXIMIZED:
                w->style = (w->style | WS_MAXIMIZE) & ~WS_MINIMIZE;
                break;
            case SW_RESTORE:
            case SW_SHOWNORMAL:
                w->style &= ~(WS_MINIMIZE | WS_MAXIMIZE);
                break;
            default:
                break;
        }
        if (nowVisible)
            w->style |= WS_VISIBLE;
        else
            w->style &= ~WS_VISIBLE;
        threadId = w->threadId;
    }
    // A program's shown window can be found by the machine's other programs.
    if (topLevel && nowVisible)
        win::foreign::PublishWindows();
    if (wasVisible != nowVisible)
        win::SendInternal(hwnd, threadId, WM_SHOWWINDOW, nowVisible, 0);
    return wasVisible ? TRUE : FALSE;
}

HWND GetParent(HWND hwnd) {
    WindowTable& t = Table();
    win::MutexLock lock(t.mutex);
    auto w = win::FindOrFail(t, hwnd);
    if (!w)
        return nullptr;
    if (!win::IsTopLevel(*w))
        return w->parent;
    return (w->style & WS_POPUP) ? w->owner : nullptr;
}

BOOL IsChild(HWND parent, HWND child) {
    WindowTable& t = Table();
    win::MutexLock lock(t.mutex);
    for (auto w = t.Find(child); w && !win::IsTopLevel(*w); w = t.Find(w->parent))
        if (w->parent == parent)
            return TRUE;
    return FALSE;
}

HWND GetWindow(HWND hwnd, UINT cmd) {
    WindowTable& t = Table();
    win::MutexLock lock(t.mutex);
    auto w = win::FindOrFail(t, hwnd);
    if (!w)
        return nullptr;
    if (cmd == GW_CHILD)
        return w->children.empty() ? nullptr : w->children.front();
    if (cmd == GW_OWNER)
        return w->owner;
    auto parent = t.Find(w->parent);
    if (!parent)
        return nullptr;
    const std::vector<HWND>& siblings = parent->children;
    auto it = std::find(siblings.begin(), siblings.end(), hwnd);
    switch (cmd) {
        case GW_HWNDFIRST:
            return siblings.front();
        case GW_HWNDLAST:
            return siblings.back();
        case GW_HWNDNEXT:
            return (it == siblings.end() || it + 1 == siblings.end()) ? nullptr : *(it + 1);
        case GW_HWNDPREV:
            return (it == siblings.end() || it == siblings.begin()) ? nullptr : *(it - 1);
        default:
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
    }
}

HWND GetDlgItem(HWND dialog, int id) {
    WindowTable& t = Table();
    win::MutexLock lock(t.mutex);
    auto d = win::FindOrFail(t, dialog);
    if (!d)
        return nullptr;
    for (HWND c : d->children) {
        auto w = t.Find(c);
        if (w && !win::IsTopLevel(*w) && static_cast<int>(w->id) == id)
            return c;
    }
    SetLastError(ERROR_CONTROL_ID_NOT_FOUND);
    return nullptr;
}

int GetDlgCtrlID(HWND hwnd) {
    WindowTable& t = Table();
    win::MutexLock lock(t.mutex);
    auto w = win::FindOrFail(t, hwnd);
    if (!w || win::IsTopLevel(*w))
        return 0;
    return static_cast<int>(w->id);
}

BOOL SetWindowTextW(HWND hwnd, const WCHAR* text) {
    if (!IsWindow(hwnd)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    return SendMessageW(hwnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text ? text : L"")) ? TRUE
                                                                                          : FALSE;
}

int GetWindowTextW(HWND hwnd, WCHAR* text, int maxCount) {
    if (!IsWindow(hwnd)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        if (text && maxCount > 0)
            text[0] = L'\0';
        return 0;
    }
    if (!text || maxCount <= 0)
        return 0;
    text[0] = L'\0';
    return static_cast<int>(SendMessageW(hwnd, WM_GETTEXT, static_cast<WPARAM>(maxCount),
                                         reinterpret_cast<LPARAM>(text)));
}

int GetWindowTextLengthW(HWND hwnd) {
    if (!IsWindow(hwnd)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    return static_cast<int>(SendMessageW(hwnd, WM_GETTEXTLENGTH, 0, 0));
}

BOOL SetDlgItemTextW(HWND dialog, int id, const WCHAR* text) {
    HWND item = GetDlgItem(dialog, id);
    return item ? SetWindowTextW(item, text) : FALSE;
}

UINT GetDlgItemTextW(HWND dialog, int id, WCHAR* text, int maxCount) {
    HWND item = GetDlgItem(dialog, id);
    if (!item) {
        if (text && maxCount > 0)
            text[0] = L'\0';
        return 0;
    }
    return static_cast<UINT>(GetWindowTextW(item, text, maxCount));
}

BOOL EnableWindow(HWND hwnd, BOOL enable) {
    WindowTable& t = Table();
    bool wasDisabled = false;
    DWORD threadId = 0;
    {
        win::MutexLock lock(t.mutex);
        auto w = win::FindOrFail(t, hwnd);
        if (!w)
            return FALSE;
        if (w->hwnd == t.desktop) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        wasDisabled = (w->style & WS_DISABLED) != 0;
        if (enable)
            w->style &= ~WS_DISABLED;
        else
            w->style |= WS_DISABLED;
        threadId = w->threadId;
    }
    if (wasDisabled == (enable != 0))
        win::SendInternal(hwnd, threadId, WM_ENABLE, enable != 0, 0);
    return wasDisabled ? TRUE : FALSE;
}

BOOL IsWindowEnabled(HWND hwnd) {
    WindowTable& t = Table();
    win::MutexLock lock(t.mutex);
    auto w = win::FindOrFail(t, hwnd);
    return w && !(w->style & WS_DISABLED) ? TRUE : FALSE;
}

namespace {

bool ExtraInRange(const win::WindowObject& w, int index, std::size_t size) {
    return index >= 0 && static_cast<std::size_t>(index) + size <= w.extra.size();
}

template <class T>
bool AccessLong(HWND hwnd, int index, const T* newValue, T* oldValue) {
    WindowTable& t = Table();
    win::MutexLock lock(t.mutex);
    auto w = win::FindOrFail(t, hwnd);
    if (!w)
        return false;
    if (newValue && w->hwnd == t.desktop) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    if (index >= 0) {
        if (!ExtraInRange(*w, index, sizeof(T))) {
            SetLastError(ERROR_INVALID_INDEX);
            return false;
        }
        std::memcpy(oldValue, w->extra.data() + index, sizeof(T));
        if (newValue)
            std::memcpy(w->extra.data() + index, newValue, sizeof(T));
        return true;
    }
    LONG_PTR old = 0;
    switch (index) {
        case GWLP_WNDPROC:
            old = reinterpret_cast<LONG_PTR>(w->proc);
            if (newValue)
                w->proc = reinterpret_cast<WNDPROC>(static_cast<LONG_PTR>(*newValue));
            break;
        case GWLP_HINSTANCE:
            old = reinterpret_cast<LONG_PTR>(w->instance);
            if (newValue)
                w->instance = reinterpret_cast<HINSTANCE>(static_cast<LONG_PTR>(*newValue));
            break;
        case GWLP_HWNDPARENT:
            if (newValue) {
                SetLastError(ERROR_INVALID_INDEX);
                return false;
            }
            old = reinterpret_cast<LONG_PTR>(win::IsTopLevel(*w) ? w->owner : w->parent);
            break;
        case GWLP_ID:
            old = w->id;
            if (newValue)
                w->id = static_cast<LONG_PTR>(*newValue);
            break;
        case GWL_STYLE:
            old = static_cast<LONG>(w->style);
            if (newValue)
                w->style = static_cast<DWORD>(*newValue);
            break;
        case GWL_EXSTYLE:
            old = static_cast<LONG>(w->exStyle);
            if (newValue)
                w->exStyle = static_cast<DWORD>(*newValue);
            break;
        case GWLP_USERDATA:
            old = w->userData;
            if (newValue)
                w->userData = static_cast<LONG_PTR>(*newValue);
            break;
        default:
            SetLastError(ERROR_INVALID_INDEX);
            return false;
    }
    *oldValue = static_cast<T>(old);
    return true;
}

}  // namespace

LONG_PTR GetWindowLongPtrW(HWND hwnd, int index) {
    LONG_PTR old = 0;
    return AccessLong<LONG_PTR>(hwnd, index, nullptr, &old) ? old : 0;
}

LONG_PTR SetWindowLongPtrW(HWND hwnd, int index, LONG_PTR value) {
    LONG_PTR old = 0;
    return AccessLong<LONG_PTR>(hwnd, index, &value, &old) ? old : 0;
}

LONG GetWindowLongW(HWND hwnd, int index) {
    LONG old = 0;
    return AccessLong<LONG>(hwnd, index, nullptr, &old) ? old : 0;
}

LONG SetWindowLongW(HWND hwnd, int index, LONG value) {
    LONG old = 0;
    return AccessLong<LONG>(hwnd, index, &value, &old) ? old : 0;
}

BOOL SetWindowPos(HWND hwnd, HWND insertAfter, int x, int y, int cx, int cy, UINT flags) {
    WindowTable& t = Table();
    {
        win::MutexLock lock(t.mutex);
        auto w = win::FindOrFail(t, hwnd);
        if (!w)
            return FALSE;
        if (w->hwnd == t.desktop) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        if (!(flags & SWP_NOMOVE)) {
            LONG width = w->rect.right - w->rect.left;
            LONG height = w->rect.bottom - w->rect.top;
            w->rect = RECT{x, y, x + width, y + height};
        }
        if (!(flags & SWP_NOSIZE)) {
            w->rect.right = w->rect.left + cx;
            w->rect.bottom = w->rect.top + cy;
        }
        auto parent = t.Find(w->parent);
        if (!(flags & SWP_NOZORDER) && parent) {
            std::vector<HWND>& siblings = parent->children;
            bool topLevel = parent->hwnd == t.desktop;
            if (insertAfter != HWND_TOP && insertAfter != HWND_BOTTOM &&
                insertAfter != HWND_TOPMOST && insertAfter != HWND_NOTOPMOST &&
                (insertAfter == hwnd ||
                 std::find(siblings.begin(), siblings.end(), insertAfter) == siblings.end())) {
                SetLastError(ERROR_INVALID_WINDOW_HANDLE);
                return FALSE;
            }
            std::erase(siblings, hwnd);
            if (insertAfter == HWND_TOPMOST) {
                if (topLevel)
                    w->exStyle |= WS_EX_TOPMOST;
                siblings.insert(siblings.begin(), hwnd);
            } else if (insertAfter == HWND_NOTOPMOST || insertAfter == HWND_TOP) {
                if (insertAfter == HWND_NOTOPMOST)
                    w->exStyle &= ~WS_EX_TOPMOST;
                siblings.insert(siblings.begin(), hwnd);
            } else if (insertAfter == HWND_BOTTOM) {
                w->exStyle &= ~WS_EX_TOPMOST;  // the bottom is below every topmost window
                siblings.push_back(hwnd);
            } else {
                auto it = std::find(siblings.begin(), siblings.end(), insertAfter);
                siblings.insert(it + 1, hwnd);
            }
            win::SortTopmostFirst(t, *parent);
        }
    }
    if (flags & SWP_SHOWWINDOW)
        ShowWindow(hwnd, SW_SHOWNA);
    if (flags & SWP_HIDEWINDOW)
        ShowWindow(hwnd, SW_HIDE);
    return TRUE;
}

BOOL MoveWindow(HWND hwnd, int x, int y, int width, int height, BOOL repaint) {
    return SetWindowPos(hwnd, nullptr, x, y, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
}

BOOL GetWindowRect(HWND hwnd, RECT* rect) {
    WindowTable& t = Table();
    win::MutexLock lock(t.mutex);
    auto w = win::FindOrFail(t, hwnd);
    if (!w || !rect)
        return FALSE;
    *rect = w->rect;
    for (auto p = w; !win::IsTopLevel(*p);) {
        p = t.Find(p->parent);
        if (!p || p->hwnd == t.desktop)
            break;
        rect->left += p->rect.left;
        rect->right += p->rect.left;
        rect->top += p->rect.top;
        rect->bottom += p->rect.top;
    }
    return TRUE;
}

BOOL GetClientRect(HWND hwnd, RECT* rect) {
    WindowTable& t = Table();
    win::MutexLock lock(t.mutex);
    auto w = win::FindOrFail(t, hwnd);
    if (!w || !rect)
        return FALSE;
    *rect = RECT{0, 0, w->rect.right - w->rect.left, w->rect.bottom - w->rect.top};
    return TRUE;
}

DWORD GetWindowThreadProcessId(HWND hwnd, DWORD* processId) {
    if (win::foreign::IsAlias(hwnd))
        return win::foreign::ThreadAndProcess(hwnd, processId);
    WindowTable& t = Table();
    win::MutexLock lock(t.mutex);
    auto w = win::FindOrFail(t, hwnd);
    if (!w)
        return 0;
    if (processId)
        *processId = GetCurrentProcessId();
    return w->threadId;
}

namespace {

bool TextEqualsNoCase(const std::wstring& a, const WCHAR* b) {
    return win::Upper(a) == win::Upper(b);
}

void CollectDescendants(WindowTable& t, const win::WindowObject& w, std::vector<HWND>* out)
    REQUIRES(t.mutex) {
    for (HWND c : w.children) {
        auto child = t.Find(c);
        if (!child)
            continue;
        out->push_back(c);
        CollectDescendants(t, *child, out);
    }
}

}  // namespace

HWND SetParent(HWND child, HWND newParent) {
    WindowTable& t = Table();
    win::MutexLock lock(t.mutex);
    auto w = win::FindOrFail(t, child);
    if (!w)
        return nullptr;
    HWND target = newParent ? newParent : t.desktop;
    auto p = win::FindOrFail(t, target);
    if (!p)
        return nullptr;
    if (w->hwnd == t.desktop) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    for (auto a = p; a; a = t.Find(a->parent)) {
        if (a->hwnd == child) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        if (a->hwnd == t.desktop)
            break;
    }
    HWND old = w->parent;
    if (auto oldParent = t.Find(old))
        std::erase(oldParent->children, child);
    w->parent = target;
    p->children.push_back(child);
    win::SortTopmostFirst(t, *p);
    return old;
}

HWND GetAncestor(HWND hwnd, UINT flags) {
    WindowTable& t = Table();
    win::MutexLock lock(t.mutex);
    auto w = win::FindOrFail(t, hwnd);
    if (!w || w->hwnd == t.desktop)
        return nullptr;
    if (flags == GA_PARENT)
        return w->parent;
    while (!win::IsTopLevel(*w)) {
        auto p = t.Find(w->parent);
        if (!p || p->hwnd == t.desktop)
            break;
        w = p;
    }
    if (flags == GA_ROOTOWNER) {
        while (w->owner) {
            auto o = t.Find(w->owner);
            if (!o)
                break;
            w = o;
        }
    } else if (flags != GA_ROOT) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return w->hwnd;
}

BOOL EnumChildWindows(HWND parent, WNDENUMPROC proc, LPARAM lParam) {
    if (!proc) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::vector<HWND> list;
    {
        WindowTable& t = Table();
        win::MutexLock lock(t.mutex);
        auto p = win::FindOrFail(t, parent ? parent : t.desktop);
        if (!p)
            return FALSE;
        CollectDescendants(t, *p, &list);
    }
    for (HWND h : list) {
        if (!IsWindow(h))
            continue;
        if (!proc(h, lParam))
            break;
    }
    return TRUE;
}

namespace win {

HWND FindLocalWindowEx(HWND parent, HWND childAfter, const WCHAR* className,
                       const WCHAR* windowName) {
    WindowTable& t = Table();
    win::MutexLock lock(t.mutex);
    auto p = win::FindOrFail(t, parent ? parent : t.desktop);
    if (!p)
        return nullptr;
    bool started = childAfter == nullptr;
    for (HWND c : p->children) {
        if (!started) {
            started = c == childAfter;
            continue;
        }
        auto w = t.Find(c);
        if (!w || !w->cls)
            continue;
        if (className && !win::ClassMatches(*w->cls, className))
            continue;
        if (windowName && !TextEqualsNoCase(w->text, windowName))
            continue;
        return c;
    }
    return nullptr;
}

HWND FindLocalTopLevelWindow(HWND after, const WCHAR* className, const WCHAR* windowName) {
    return FindLocalWindowEx(nullptr, after, className, windowName);
}

bool IsLocalTopLevelWindow(HWND hwnd) {
    WindowTable& t = Table();
    win::MutexLock lock(t.mutex);
    auto w = t.Find(hwnd);
    return w && w->hwnd != t.desktop && IsTopLevel(*w);
}

HWND NewWindowHandle() {
    WindowTable& t = Table();
    win::MutexLock lock(t.mutex);
    auto hwnd = reinterpret_cast<HWND>(t.nextHandle);
    t.nextHandle += 2;
    return hwnd;
}

}  // namespace win

HWND FindWindowExW(HWND parent, HWND childAfter, const WCHAR* className, const WCHAR* windowName) {
    const bool topLevel = !parent || parent == GetDesktopWindow();
    if (!topLevel || !win::foreign::IsAlias(childAfter)) {
        HWND local = win::FindLocalWindowEx(parent, childAfter, className, windowName);
        if (local || !topLevel)
            return local;
        // This process's windows came first; then the other processes'.
        childAfter = nullptr;
    }
    return win::foreign::Find(className, windowName, childAfter);
}

HWND FindWindowW(const WCHAR* className, const WCHAR* windowName) {
    return FindWindowExW(nullptr, nullptr, className, windowName);
}

HWND SetFocus(HWND hwnd) {
    WindowTable& t = Table();
    DWORD self = GetCurrentThreadId();
    HWND old = nullptr;
    {
        win::MutexLock lock(t.mutex);
        if (hwnd) {
            auto w = win::FindOrFail(t, hwnd);
            if (!w)
                return nullptr;
            if (w->threadId != self) {
                SetLastError(ERROR_ACCESS_DENIED);
                return nullptr;
            }
        }
        old = t.focus[self];
        if (old == hwnd)
            return old;
    }
    if (old && IsWindow(old))
        win::DeliverToWindowProc(old, WM_KILLFOCUS, reinterpret_cast<WPARAM>(hwnd), 0);
    {
        win::MutexLock lock(t.mutex);
        // The window may have gone while it heard WM_KILLFOCUS's partner.
        t.focus[self] = (hwnd && t.Find(hwnd)) ? hwnd : nullptr;
    }
    if (hwnd && IsWindow(hwnd))
        win::DeliverToWindowProc(hwnd, WM_SETFOCUS, reinterpret_cast<WPARAM>(old), 0);
    return old;
}

HWND GetFocus() {
    WindowTable& t = Table();
    win::MutexLock lock(t.mutex);
    auto it = t.focus.find(GetCurrentThreadId());
    return it == t.focus.end() ? nullptr : it->second;
}

HWND SetActiveWindow(HWND hwnd) {
    WindowTable& t = Table();
    win::MutexLock lock(t.mutex);
    if (hwnd && !win::FindOrFail(t, hwnd))
        return nullptr;
    HWND& slot = t.active[GetCurrentThreadId()];
    HWND old = slot;
    slot = hwnd;
    return old;
}

HWND GetActiveWindow() {
    WindowTable& t = Table();
    win::MutexLock lock(t.mutex);
    auto it = t.active.find(GetCurrentThreadId());
    return it == t.active.end() ? nullptr : it->second;
}

BOOL SetForegroundWindow(HWND hwnd) {
    WindowTable& t = Table();
    win::MutexLock lock(t.mutex);
    if (!win::FindOrFail(t, hwnd))
        return FALSE;
    t.foreground = hwnd;
    return TRUE;
}

HWND GetForegroundWindow() {
    WindowTable& t = Table();
    win::MutexLock lock(t.mutex);
    return t.foreground;
}

UINT RegisterWindowMessageW(const WCHAR* name) {
    if (!name || !*name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    WindowTable& t = Table();
    win::MutexLock lock(t.mutex);
    auto [it, added] = t.registeredMessages.emplace(win::Upper(name), 0);
    if (added)
        it->second = t.nextAtom++;
    return it->second;
}
