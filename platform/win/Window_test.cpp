#include "platform/win/Window.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "platform/win/MessageLoop.h"
#include "platform/win/Threads.h"
#include "platform/win/WindowTestSupport.h"

namespace {

using win::testing::Log;

constexpr const wchar_t* kClass = L"QmWindowTest";

struct CreateSeen {
    UINT message;
    void* params;
    const wchar_t* className;
    bool visible;
    int textLength;
};
std::vector<CreateSeen> g_createSeen;
LRESULT g_createResult = 0;
LRESULT g_ncCreateResult = TRUE;
// While a window hears WM_DESTROY, whether its first child still exists.
std::vector<bool> g_childAliveAtDestroy;

LRESULT TestProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    Log().Add(hwnd, msg, wParam, lParam);
    switch (msg) {
        case WM_NCCREATE:
        case WM_CREATE: {
            auto* cs = reinterpret_cast<CREATESTRUCTW*>(lParam);
            DefWindowProcW(hwnd, msg, wParam, lParam);
            g_createSeen.push_back({msg, cs->lpCreateParams, cs->lpszClass,
                                    IsWindowVisible(hwnd) != FALSE, GetWindowTextLengthW(hwnd)});
            if (msg == WM_NCCREATE)
                return g_ncCreateResult;
            return g_createResult;
        }
        case WM_DESTROY: {
            HWND child = GetWindow(hwnd, GW_CHILD);
            g_childAliveAtDestroy.push_back(child != nullptr && IsWindow(child));
            return 0;
        }
        default:
            return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
}

// Keeps its text itself, to show that window text goes through messages.
std::wstring g_ownText;
LRESULT OwnTextProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_SETTEXT) {
        g_ownText = L"[" + std::wstring(reinterpret_cast<const wchar_t*>(lParam)) + L"]";
        return TRUE;
    }
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

int g_subclassCalls = 0;
WNDPROC g_previousProc = nullptr;
LRESULT SubclassProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_APP) {
        ++g_subclassCalls;
        return 1000 + CallWindowProcW(g_previousProc, hwnd, msg, wParam, lParam);
    }
    return CallWindowProcW(g_previousProc, hwnd, msg, wParam, lParam);
}

LRESULT AppAnswersProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_APP)
        return 7;
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        win::testing::EnsureClass(kClass, TestProc, 2 * sizeof(LONG_PTR));
        Log().Clear();
        g_createSeen.clear();
        g_childAliveAtDestroy.clear();
        g_createResult = 0;
        g_ncCreateResult = TRUE;
    }
    void TearDown() override {
        for (HWND h : m_windows)
            if (IsWindow(h))
                DestroyWindow(h);
    }
    HWND Create(DWORD style, HWND parent, int id = 0, const wchar_t* text = L"",
                void* param = nullptr, DWORD exStyle = 0) {
        HWND h = CreateWindowExW(exStyle, kClass, text, style, 0, 0, 100, 50, parent,
                                 reinterpret_cast<HMENU>(static_cast<std::intptr_t>(id)), nullptr,
                                 param);
        if (h)
            m_windows.push_back(h);
        return h;
    }
    std::vector<HWND> m_windows;
};

TEST_F(WindowTest, CreatePassesParamWithNcCreateThenCreateBeforeShowing) {
    int marker = 0;
    HWND h = Create(WS_POPUP | WS_VISIBLE, nullptr, 0, L"Title", &marker);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(g_createSeen.size(), 2u);
    EXPECT_EQ(g_createSeen[0].message, WM_NCCREATE);
    EXPECT_EQ(g_createSeen[1].message, WM_CREATE);
    for (const auto& seen : g_createSeen) {
        EXPECT_EQ(seen.params, &marker);
        EXPECT_STREQ(seen.className, kClass);
        EXPECT_FALSE(seen.visible);
    }
    // DefWindowProcW took the text at WM_NCCREATE.
    EXPECT_EQ(g_createSeen[1].textLength, 5);
    EXPECT_TRUE(IsWindowVisible(h));
    auto shows = Log().Of(WM_SHOWWINDOW);
    ASSERT_EQ(shows.size(), 1u);
    EXPECT_EQ(shows[0].wParam, static_cast<WPARAM>(TRUE));
}

TEST_F(WindowTest, FailedCreationReturnsNullAndLeavesNoWindow) {
    std::size_t before = win::WindowCount();
    g_createResult = -1;
    EXPECT_EQ(Create(WS_POPUP, nullptr), nullptr);
    EXPECT_EQ(Log().Of(WM_DESTROY).size(), 1u);
    EXPECT_EQ(Log().Of(WM_NCDESTROY).size(), 1u);
    g_createResult = 0;
    g_ncCreateResult = FALSE;
    EXPECT_EQ(Create(WS_POPUP, nullptr), nullptr);
    EXPECT_EQ(win::WindowCount(), before);
}

TEST_F(WindowTest, CreationErrors) {
    SetLastError(0);
    EXPECT_EQ(CreateWindowExW(0, L"NoSuchClass", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                              nullptr, nullptr),
              nullptr);
    EXPECT_EQ(GetLastError(), ERROR_CANNOT_FIND_WND_CLASS);
    EXPECT_EQ(Create(WS_CHILD, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_TLW_WITH_WSCHILD);
    EXPECT_EQ(Create(WS_CHILD, reinterpret_cast<HWND>(0x7FFF0000)), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
}

TEST_F(WindowTest, HiddenChildOfTheDesktop) {
    HWND h = Create(0x56000000, GetDesktopWindow());
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(GetParent(h), GetDesktopWindow());
    EXPECT_TRUE(IsWindowVisible(h));
    EXPECT_TRUE(ShowWindow(h, SW_HIDE));  // it was visible
    EXPECT_FALSE(IsWindowVisible(h));
    EXPECT_EQ(static_cast<DWORD>(GetWindowLongPtrW(h, GWL_STYLE)), 0x46000000u);
    EXPECT_FALSE(ShowWindow(h, SW_HIDE));
}

TEST_F(WindowTest, ShowWindowSendsShowWindowOnlyOnChangesAndVisibilityFollowsParents) {
    HWND parent = Create(WS_POPUP, nullptr);
    HWND child = Create(WS_CHILD | WS_VISIBLE, parent, 5);
    EXPECT_FALSE(IsWindowVisible(child));  // the parent is hidden
    Log().Clear();
    EXPECT_FALSE(ShowWindow(parent, SW_SHOW));
    EXPECT_TRUE(ShowWindow(parent, SW_SHOWNORMAL));
    EXPECT_TRUE(IsWindowVisible(child));
    ShowWindow(parent, SW_HIDE);
    auto shows = Log().Of(WM_SHOWWINDOW);
    ASSERT_EQ(shows.size(), 2u);
    EXPECT_EQ(shows[0].wParam, static_cast<WPARAM>(TRUE));
    EXPECT_EQ(shows[1].wParam, static_cast<WPARAM>(FALSE));
    ShowWindow(parent, SW_SHOWMAXIMIZED);
    EXPECT_TRUE(GetWindowLongPtrW(parent, GWL_STYLE) & WS_MAXIMIZE);
    ShowWindow(parent, SW_RESTORE);
    EXPECT_FALSE(GetWindowLongPtrW(parent, GWL_STYLE) & WS_MAXIMIZE);
}

TEST_F(WindowTest, ChildrenAreFoundByControlId) {
    HWND dialog = Create(WS_POPUP, nullptr);
    HWND bar = Create(WS_CHILD, dialog, 1246);
    HWND text = Create(WS_CHILD, dialog, 1247);
    EXPECT_EQ(GetDlgItem(dialog, 1246), bar);
    EXPECT_EQ(GetDlgItem(dialog, 1247), text);
    EXPECT_EQ(GetDlgCtrlID(text), 1247);
    EXPECT_EQ(GetParent(bar), dialog);
    EXPECT_TRUE(IsChild(dialog, text));
    EXPECT_FALSE(IsChild(text, dialog));
    EXPECT_EQ(GetDlgItem(dialog, 9), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_CONTROL_ID_NOT_FOUND);
    // Children keep their creation order, first on top.
    EXPECT_EQ(GetWindow(dialog, GW_CHILD), bar);
    EXPECT_EQ(GetWindow(bar, GW_HWNDNEXT), text);
    EXPECT_EQ(GetWindow(text, GW_HWNDNEXT), nullptr);
    EXPECT_EQ(GetDlgCtrlID(dialog), 0);
}

TEST_F(WindowTest, PopupIsOwnedByTheTopLevelWindowOfItsParent) {
    HWND top = Create(WS_POPUP, nullptr);
    HWND child = Create(WS_CHILD, top, 3);
    HWND popup = Create(WS_POPUP, child);
    EXPECT_EQ(GetWindow(popup, GW_OWNER), top);
    EXPECT_EQ(GetParent(popup), top);
    EXPECT_EQ(GetParent(top), nullptr);
    // Owned windows go with their owner.
    DestroyWindow(top);
    EXPECT_FALSE(IsWindow(popup));
    EXPECT_FALSE(IsWindow(child));
}

TEST_F(WindowTest, DestroyNotifiesParentFirstAndFinishesParentLast) {
    HWND parent = Create(WS_POPUP, nullptr);
    HWND child = Create(WS_CHILD, parent, 1);
    HWND grandchild = Create(WS_CHILD, child, 2);
    Log().Clear();
    ASSERT_TRUE(DestroyWindow(parent));
    std::vector<std::pair<HWND, UINT>> seen;
    for (const auto& e : Log().Entries())
        if (e.message == WM_DESTROY || e.message == WM_NCDESTROY)
            seen.push_back({e.hwnd, e.message});
    std::vector<std::pair<HWND, UINT>> expected = {
        {parent, WM_DESTROY},       {child, WM_DESTROY},   {grandchild, WM_DESTROY},
        {grandchild, WM_NCDESTROY}, {child, WM_NCDESTROY}, {parent, WM_NCDESTROY}};
    EXPECT_EQ(seen, expected);
    // Each window still had its child while it heard WM_DESTROY.
    EXPECT_EQ(g_childAliveAtDestroy, (std::vector<bool>{true, true, false}));
    EXPECT_FALSE(IsWindow(parent));
    EXPECT_FALSE(IsWindow(child));
    EXPECT_FALSE(IsWindow(grandchild));
    EXPECT_FALSE(DestroyWindow(parent));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
}

TEST_F(WindowTest, HandlesAreNeverReused) {
    std::set<HWND> seen;
    for (int i = 0; i < 50; ++i) {
        HWND h = Create(WS_POPUP, nullptr);
        ASSERT_NE(h, nullptr);
        EXPECT_TRUE(seen.insert(h).second);
        DestroyWindow(h);
    }
}

TEST_F(WindowTest, TheDesktopCanNotBeChangedAndOtherThreadsCanNotDestroy) {
    EXPECT_FALSE(DestroyWindow(GetDesktopWindow()));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(ShowWindow(GetDesktopWindow(), SW_HIDE));
    EXPECT_FALSE(EnableWindow(GetDesktopWindow(), FALSE));
    EXPECT_EQ(SetWindowLongPtrW(GetDesktopWindow(), GWL_STYLE, 0), 0);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(IsWindowVisible(GetDesktopWindow()));
    EXPECT_TRUE(IsWindowEnabled(GetDesktopWindow()));
    HWND h = Create(WS_POPUP, nullptr);
    DWORD otherError = 0;
    BOOL otherResult = TRUE;
    std::thread([&] {
        otherResult = DestroyWindow(h);
        otherError = GetLastError();
    }).join();
    EXPECT_FALSE(otherResult);
    EXPECT_EQ(otherError, ERROR_ACCESS_DENIED);
    EXPECT_TRUE(IsWindow(h));
    DWORD pid = 0;
    EXPECT_EQ(GetWindowThreadProcessId(h, &pid), GetCurrentThreadId());
    EXPECT_EQ(pid, GetCurrentProcessId());
}

TEST_F(WindowTest, WindowTextRoundTripsAndIsCutToTheBuffer) {
    HWND h = Create(WS_POPUP, nullptr, 0, L"initial");
    EXPECT_EQ(GetWindowTextLengthW(h), 7);
    ASSERT_TRUE(SetWindowTextW(h, L"Basic synchronization:"));
    wchar_t buffer[64];
    EXPECT_EQ(GetWindowTextW(h, buffer, 64), 22);
    EXPECT_STREQ(buffer, L"Basic synchronization:");
    wchar_t small[6];
    EXPECT_EQ(GetWindowTextW(h, small, 6), 5);
    EXPECT_STREQ(small, L"Basic");
    EXPECT_TRUE(SetWindowTextW(h, nullptr));
    EXPECT_EQ(GetWindowTextLengthW(h), 0);
    EXPECT_EQ(GetWindowTextW(reinterpret_cast<HWND>(0x7FFF0000), buffer, 64), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
}

TEST_F(WindowTest, WindowTextGoesThroughTheWindowProcedure) {
    win::testing::EnsureClass(L"QmOwnText", OwnTextProc);
    HWND h = CreateWindowExW(0, L"QmOwnText", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr,
                             nullptr);
    ASSERT_NE(h, nullptr);
    m_windows.push_back(h);
    SetWindowTextW(h, L"abc");
    EXPECT_EQ(g_ownText, L"[abc]");
    EXPECT_EQ(GetWindowTextLengthW(h), 0);  // the default store was bypassed
}

TEST_F(WindowTest, DialogItemText) {
    HWND dialog = Create(WS_POPUP, nullptr);
    Create(WS_CHILD, dialog, 1247);
    EXPECT_TRUE(SetDlgItemTextW(dialog, 1247, L"42 of 100"));
    wchar_t buffer[32];
    EXPECT_EQ(GetDlgItemTextW(dialog, 1247, buffer, 32), 9u);
    EXPECT_STREQ(buffer, L"42 of 100");
    EXPECT_FALSE(SetDlgItemTextW(dialog, 1, L"x"));
}

TEST_F(WindowTest, EnableWindowReportsThePreviousStateAndNotifiesChanges) {
    HWND h = Create(WS_POPUP, nullptr);
    Log().Clear();
    EXPECT_FALSE(EnableWindow(h, FALSE));  // was enabled
    EXPECT_FALSE(IsWindowEnabled(h));
    EXPECT_TRUE(EnableWindow(h, FALSE));  // was disabled; no change
    EXPECT_TRUE(EnableWindow(h, TRUE));
    EXPECT_TRUE(IsWindowEnabled(h));
    auto enables = Log().Of(WM_ENABLE);
    ASSERT_EQ(enables.size(), 2u);
    EXPECT_EQ(enables[0].wParam, 0u);
    EXPECT_EQ(enables[1].wParam, 1u);
}

TEST_F(WindowTest, WindowLongsReturnThePreviousValue) {
    HWND h = Create(WS_CHILD, GetDesktopWindow(), 12);
    struct Case {
        int index;
        LONG_PTR value;
    };
    for (Case c : {Case{GWLP_USERDATA, 0x1234}, Case{GWLP_ID, 77}, Case{0, -5},
                   Case{static_cast<int>(sizeof(LONG_PTR)), 99}}) {
        LONG_PTR before = GetWindowLongPtrW(h, c.index);
        EXPECT_EQ(SetWindowLongPtrW(h, c.index, c.value), before) << c.index;
        EXPECT_EQ(GetWindowLongPtrW(h, c.index), c.value) << c.index;
    }
    EXPECT_EQ(GetDlgCtrlID(h), 77);
    SetLastError(0);
    EXPECT_EQ(SetWindowLongPtrW(h, 2 * sizeof(LONG_PTR), 1), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_INDEX);
    EXPECT_EQ(GetWindowLongPtrW(h, -1000), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_INDEX);
    EXPECT_EQ(GetWindowLongPtrW(h, GWLP_HWNDPARENT),
              reinterpret_cast<LONG_PTR>(GetDesktopWindow()));
    SetWindowLongPtrW(h, GWL_EXSTYLE, WS_EX_TOOLWINDOW);
    EXPECT_EQ(GetWindowLongW(h, GWL_EXSTYLE), static_cast<LONG>(WS_EX_TOOLWINDOW));
}

TEST_F(WindowTest, SubclassingReplacesTheProcedureForTheNextMessage) {
    g_subclassCalls = 0;
    win::testing::EnsureClass(L"QmAppAnswers", AppAnswersProc);
    HWND h = CreateWindowExW(0, L"QmAppAnswers", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                             nullptr, nullptr);
    m_windows.push_back(h);
    EXPECT_EQ(SendMessageW(h, WM_APP, 0, 0), 7);
    g_previousProc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(h, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&SubclassProc)));
    EXPECT_EQ(g_previousProc, &AppAnswersProc);
    EXPECT_EQ(SendMessageW(h, WM_APP, 0, 0), 1007);
    EXPECT_EQ(g_subclassCalls, 1);
}

TEST_F(WindowTest, TopmostWindowsStayInFrontAndKeepTheirRectangle) {
    HWND progress = Create(WS_POPUP, nullptr);
    SetWindowPos(progress, nullptr, 10, 20, 300, 100, SWP_NOZORDER);
    HWND other = Create(WS_POPUP, nullptr);
    EXPECT_EQ(GetWindow(other, GW_HWNDNEXT), progress);  // newer top-level windows go on top
    ASSERT_TRUE(SetWindowPos(progress, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE));
    EXPECT_TRUE(GetWindowLongPtrW(progress, GWL_EXSTYLE) & WS_EX_TOPMOST);
    EXPECT_EQ(GetWindow(progress, GW_HWNDFIRST), progress);
    RECT r;
    ASSERT_TRUE(GetWindowRect(progress, &r));
    EXPECT_EQ(r.left, 10);
    EXPECT_EQ(r.top, 20);
    EXPECT_EQ(r.right, 310);
    EXPECT_EQ(r.bottom, 120);
    // A later normal window does not go above it.
    HWND later = Create(WS_POPUP, nullptr);
    EXPECT_EQ(GetWindow(later, GW_HWNDFIRST), progress);
    SetWindowPos(later, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    EXPECT_EQ(GetWindow(later, GW_HWNDFIRST), progress);
    SetWindowPos(progress, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    EXPECT_FALSE(GetWindowLongPtrW(progress, GWL_EXSTYLE) & WS_EX_TOPMOST);
    SetWindowPos(progress, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    EXPECT_EQ(GetWindow(progress, GW_HWNDNEXT), nullptr);
}

TEST_F(WindowTest, ChildRectanglesCountFromTheParent) {
    HWND parent = Create(WS_POPUP, nullptr);
    MoveWindow(parent, 100, 200, 400, 300, FALSE);
    HWND child = Create(WS_CHILD, parent, 1);
    MoveWindow(child, 7, 44, 195, 7, FALSE);
    RECT r;
    GetWindowRect(child, &r);
    EXPECT_EQ(r.left, 107);
    EXPECT_EQ(r.top, 244);
    GetClientRect(child, &r);
    EXPECT_EQ(r.right, 195);
    EXPECT_EQ(r.bottom, 7);
}

TEST_F(WindowTest, ClassesAreCaseInsensitiveAndUniquePerModule) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = TestProc;
    wc.lpszClassName = L"QMWINDOWTEST";
    EXPECT_EQ(RegisterClassExW(&wc), 0);
    EXPECT_EQ(GetLastError(), ERROR_CLASS_ALREADY_EXISTS);
    WNDCLASSEXW info{};
    info.cbSize = sizeof(info);
    EXPECT_TRUE(GetClassInfoExW(nullptr, L"qmwindowtest", &info));
    EXPECT_EQ(info.lpfnWndProc, &TestProc);
    wc.cbSize = 3;
    EXPECT_EQ(RegisterClassExW(&wc), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    wc.cbSize = sizeof(wc);
    wc.lpszClassName = L"QmShortLived";
    ATOM atom = RegisterClassExW(&wc);
    ASSERT_NE(atom, 0);
    HWND h = CreateWindowExW(0, MAKEINTATOM(atom), L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                             nullptr, nullptr);
    ASSERT_NE(h, nullptr);
    wchar_t name[32];
    EXPECT_EQ(GetClassNameW(h, name, 32), 12);
    EXPECT_STREQ(name, L"QmShortLived");
    EXPECT_FALSE(UnregisterClassW(L"QmShortLived", nullptr));
    EXPECT_EQ(GetLastError(), ERROR_CLASS_HAS_WINDOWS);
    DestroyWindow(h);
    EXPECT_TRUE(UnregisterClassW(L"qmshortlived", nullptr));
    EXPECT_FALSE(UnregisterClassW(L"QmShortLived", nullptr));
    EXPECT_EQ(GetLastError(), ERROR_CLASS_DOES_NOT_EXIST);
}

TEST_F(WindowTest, WindowsOfAnEndedThreadAreGone) {
    HWND h = nullptr;
    std::thread([&] { h = Create(WS_POPUP, nullptr); }).join();
    ASSERT_NE(h, nullptr);
    EXPECT_FALSE(IsWindow(h));
}

TEST_F(WindowTest, SetParentMovesAChildAndRefusesCycles) {
    HWND a = Create(WS_POPUP, nullptr);
    HWND b = Create(WS_POPUP, nullptr);
    HWND child = Create(WS_CHILD, a, 4);
    EXPECT_EQ(SetParent(child, b), a);
    EXPECT_EQ(GetParent(child), b);
    EXPECT_EQ(GetDlgItem(a, 4), nullptr);
    EXPECT_EQ(GetDlgItem(b, 4), child);
    HWND grandchild = Create(WS_CHILD, child, 5);
    EXPECT_EQ(SetParent(child, grandchild), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(GetAncestor(grandchild, GA_ROOT), b);
    EXPECT_EQ(GetAncestor(grandchild, GA_PARENT), child);
    EXPECT_EQ(GetAncestor(b, GA_PARENT), GetDesktopWindow());
}

TEST_F(WindowTest, EnumChildWindowsWalksDepthFirstAndStopsOnFalse) {
    HWND dialog = Create(WS_POPUP, nullptr);
    HWND first = Create(WS_CHILD, dialog, 1);
    HWND inner = Create(WS_CHILD, first, 2);
    HWND second = Create(WS_CHILD, dialog, 3);
    std::vector<HWND> seen;
    auto collect = [](HWND h, LPARAM p) -> BOOL {
        reinterpret_cast<std::vector<HWND>*>(p)->push_back(h);
        return TRUE;
    };
    EnumChildWindows(dialog, collect, reinterpret_cast<LPARAM>(&seen));
    EXPECT_EQ(seen, (std::vector<HWND>{first, inner, second}));
    seen.clear();
    auto stop = [](HWND h, LPARAM p) -> BOOL {
        reinterpret_cast<std::vector<HWND>*>(p)->push_back(h);
        return FALSE;
    };
    EnumChildWindows(dialog, stop, reinterpret_cast<LPARAM>(&seen));
    EXPECT_EQ(seen.size(), 1u);
}

TEST_F(WindowTest, FindWindowMatchesClassAndTextWithoutCase) {
    HWND h = Create(WS_POPUP, nullptr, 0, L"ShellIconHiddenWindowQMR");
    EXPECT_EQ(FindWindowW(L"qmwindowtest", L"shelliconhiddenwindowqmr"), h);
    EXPECT_EQ(FindWindowW(nullptr, L"ShellIconHiddenWindowQMR"), h);
    EXPECT_EQ(FindWindowW(L"QmWindowTest", L"other"), nullptr);
    HWND parent = Create(WS_POPUP, nullptr);
    HWND a = Create(WS_CHILD, parent, 1, L"x");
    HWND b = Create(WS_CHILD, parent, 2, L"x");
    EXPECT_EQ(FindWindowExW(parent, nullptr, nullptr, L"x"), a);
    EXPECT_EQ(FindWindowExW(parent, a, nullptr, L"x"), b);
    EXPECT_EQ(FindWindowExW(parent, b, nullptr, L"x"), nullptr);
}

TEST_F(WindowTest, FocusMovesWithKillAndSetMessages) {
    HWND dialog = Create(WS_POPUP, nullptr);
    HWND a = Create(WS_CHILD, dialog, 1);
    HWND b = Create(WS_CHILD, dialog, 2);
    SetFocus(nullptr);
    Log().Clear();
    EXPECT_EQ(SetFocus(a), nullptr);
    EXPECT_EQ(SetFocus(b), a);
    EXPECT_EQ(GetFocus(), b);
    auto kills = Log().Of(WM_KILLFOCUS);
    auto sets = Log().Of(WM_SETFOCUS);
    ASSERT_EQ(kills.size(), 1u);
    ASSERT_EQ(sets.size(), 2u);
    EXPECT_EQ(kills[0].hwnd, a);
    EXPECT_EQ(kills[0].wParam, reinterpret_cast<WPARAM>(b));
    EXPECT_EQ(sets[1].hwnd, b);
    EXPECT_EQ(sets[1].wParam, reinterpret_cast<WPARAM>(a));
    DestroyWindow(b);
    EXPECT_EQ(GetFocus(), nullptr);
    HWND other = nullptr;
    std::thread([&] { other = SetFocus(a); }).join();
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(GetFocus(), nullptr);  // another thread can't take this thread's windows
}

TEST_F(WindowTest, ForegroundAndActiveWindowsAreRecorded) {
    HWND popup = Create(WS_POPUP, nullptr);
    EXPECT_TRUE(SetForegroundWindow(popup));
    EXPECT_EQ(GetForegroundWindow(), popup);
    SetActiveWindow(popup);
    EXPECT_EQ(GetActiveWindow(), popup);
    DestroyWindow(popup);
    EXPECT_EQ(GetForegroundWindow(), nullptr);
    EXPECT_EQ(GetActiveWindow(), nullptr);
}

TEST_F(WindowTest, RegisteredMessagesAreUniquePerName) {
    UINT a = RegisterWindowMessageW(L"QuillmereTaskbarCreated");
    EXPECT_GE(a, 0xC000u);
    EXPECT_EQ(RegisterWindowMessageW(L"quillmeretaskbarcreated"), a);
    EXPECT_NE(RegisterWindowMessageW(L"QuillmereOther"), a);
    EXPECT_EQ(RegisterWindowMessageW(L""), 0u);
}

TEST_F(WindowTest, SetWindowPosPlacesBehindASiblingAndShowsOrHides) {
    HWND dialog = Create(WS_POPUP, nullptr);
    HWND a = Create(WS_CHILD, dialog, 1);
    HWND b = Create(WS_CHILD, dialog, 2);
    HWND c = Create(WS_CHILD, dialog, 3);
    ASSERT_TRUE(SetWindowPos(c, a, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE));
    EXPECT_EQ(GetWindow(a, GW_HWNDNEXT), c);
    EXPECT_EQ(GetWindow(c, GW_HWNDNEXT), b);
    EXPECT_EQ(GetWindow(b, GW_HWNDPREV), c);
    EXPECT_EQ(GetWindow(a, GW_HWNDLAST), b);
    EXPECT_FALSE(SetWindowPos(c, c, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE));
    EXPECT_FALSE(SetWindowPos(c, dialog, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE));  // no sibling
    Log().Clear();
    SetWindowPos(dialog, nullptr, 0, 0, 0, 0,
                 SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_SHOWWINDOW);
    EXPECT_TRUE(IsWindowVisible(dialog));
    SetWindowPos(dialog, nullptr, 0, 0, 0, 0,
                 SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_HIDEWINDOW);
    EXPECT_FALSE(IsWindowVisible(dialog));
    EXPECT_EQ(Log().Of(WM_SHOWWINDOW).size(), 2u);
}

}  // namespace
