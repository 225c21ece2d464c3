// Windows of another process of the machine, reached as the platform's
// window manager reaches every program's windows.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/win/Clock.h"
#include "platform/win/MessageLoop.h"
#include "platform/win/TestChildProcess.h"
#include "platform/win/TestMachine.h"
#include "platform/win/Threads.h"
#include "platform/win/Window.h"

namespace {

constexpr const wchar_t* kClass = L"QmServiceTestWindow";
constexpr const wchar_t* kTitle = L"Served Window";
constexpr UINT kPing = WM_USER + 5;
constexpr UINT kAsk = WM_USER + 6;

std::atomic<int> g_pings{0};
std::atomic<LPARAM> g_lastPing{0};

LRESULT ServedProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == kPing) {
        g_lastPing = lParam;
        ++g_pings;
        return 0;
    }
    if (msg == kAsk)
        return static_cast<LRESULT>(wParam * 2 + 1);
    if (msg == WM_CLOSE) {
        DestroyWindow(hwnd);
        return 0;
    }
    if (msg == WM_DESTROY)
        PostQuitMessage(0);
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

// A shown top-level window with its own thread and message loop, as a
// program of the machine has it; its thread ends when the window is closed.
class ServedWindow {
public:
    ServedWindow() {
        m_thread = std::thread([this] {
            WNDCLASSEXW wc{};
            wc.cbSize = sizeof wc;
            wc.lpfnWndProc = &ServedProc;
            wc.lpszClassName = kClass;
            RegisterClassExW(&wc);
            HWND hwnd = CreateWindowExW(0, kClass, kTitle, WS_POPUP, 0, 0, 100, 100, nullptr,
                                        nullptr, nullptr, nullptr);
            ShowWindow(hwnd, SW_SHOW);
            m_window = hwnd;
            MSG msg;
            while (GetMessageW(&msg, nullptr, 0, 0) > 0)
                DispatchMessageW(&msg);
        });
        while (!m_window)
            std::this_thread::yield();
    }
    ~ServedWindow() { m_thread.join(); }
    HWND Window() const { return m_window; }

private:
    std::atomic<HWND> m_window{nullptr};
    std::thread m_thread;
};

TEST(WindowServiceTest, AnotherProcessFindsMessagesAndClosesAShownWindow) {
    win::testing::TestMachine machine;
    g_pings = 0;
    ServedWindow served;
    EXPECT_EQ(win::testing::RunChildTest("WindowServiceOtherProcess.Acts",
                                         {"QUILLMERE_USER_DIR=" + machine.User()}),
              0);
    EXPECT_EQ(g_pings.load(), 1);
    EXPECT_EQ(g_lastPing.load(), 77) << "a number passes as it is";
    EXPECT_FALSE(IsWindow(served.Window())) << "closed from the other process";
}

// Processes of another user directory see nothing of these windows.
TEST(WindowServiceTest, AnotherMachinesProcessFindsNothing) {
    win::testing::TestMachine machine;
    win::testing::TestMachine other;
    win::SetUserDirectory(machine.User());
    ServedWindow served;
    EXPECT_EQ(win::testing::RunChildTest("WindowServiceOtherProcess.FindsNothing",
                                         {"QUILLMERE_USER_DIR=" + other.User()}),
              0);
    PostMessageW(served.Window(), WM_CLOSE, 0, 0);
}

TEST(WindowServiceOtherProcess, Acts) {
    if (!win::testing::IsChildRun())
        GTEST_SKIP() << "runs as the other process of WindowServiceTest";
    HWND window = FindWindowW(kClass, kTitle);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(FindWindowW(L"qmservicetestwindow", L"served window"), window)
        << "names compare without case; one window, one handle";
    EXPECT_EQ(FindWindowExW(nullptr, window, kClass, kTitle), nullptr) << "only one";
    EXPECT_EQ(FindWindowW(kClass, L"Another"), nullptr);
    EXPECT_TRUE(IsWindow(window));
    DWORD process = 0;
    EXPECT_NE(GetWindowThreadProcessId(window, &process), 0u);
    EXPECT_NE(process, GetCurrentProcessId());
    EXPECT_TRUE(PostMessageW(window, kPing, 0, 77));
    EXPECT_EQ(SendMessageW(window, kAsk, 20, 0), 41) << "the window's thread answered";
    EXPECT_TRUE(PostMessageW(window, WM_CLOSE, 0, 0));
    for (int i = 0; i < 3000 && IsWindow(window); ++i)
        Sleep(1);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_FALSE(PostMessageW(window, kPing, 0, 1));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
}

TEST(WindowServiceOtherProcess, FindsNothing) {
    if (!win::testing::IsChildRun())
        GTEST_SKIP() << "runs as the other process of WindowServiceTest";
    EXPECT_EQ(FindWindowW(kClass, kTitle), nullptr);
}

}  // namespace
