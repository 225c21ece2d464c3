// Test helpers for the window-manager tests: a message log that window
// procedures write to, a test window class, and a message pump with a
// real-time bound (so that a fault shows as a failure, not as a hang).
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/win/MessageLoop.h"
#include "platform/win/Threads.h"
#include "platform/win/Window.h"

namespace win::testing {

struct LoggedMessage {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD threadId;
};

class MessageLog {
public:
    void Add(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
        std::lock_guard lock(m_mutex);
        m_entries.push_back({hwnd, message, wParam, lParam, GetCurrentThreadId()});
    }
    std::vector<LoggedMessage> Entries() {
        std::lock_guard lock(m_mutex);
        return m_entries;
    }
    // The entries of one message, oldest first.
    std::vector<LoggedMessage> Of(UINT message) {
        std::vector<LoggedMessage> out;
        for (const auto& e : Entries())
            if (e.message == message)
                out.push_back(e);
        return out;
    }
    void Clear() {
        std::lock_guard lock(m_mutex);
        m_entries.clear();
    }

private:
    std::mutex m_mutex;
    std::vector<LoggedMessage> m_entries;
};

inline MessageLog& Log() {
    static MessageLog log;
    return log;
}

// Logs every message, then leaves it to DefWindowProcW.
inline LRESULT LoggingProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    Log().Add(hwnd, message, wParam, lParam);
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

// Registers (once per process) a class with that name and procedure.
inline void EnsureClass(const wchar_t* name, WNDPROC proc, int extraBytes = 0) {
    WNDCLASSEXW wc{};
    if (GetClassInfoExW(nullptr, name, &wc))
        return;
    wc.cbSize = sizeof(wc);
    wc.style = CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS;
    wc.lpfnWndProc = proc;
    wc.cbWndExtra = extraBytes;
    wc.lpszClassName = name;
    ASSERT_NE(RegisterClassExW(&wc), 0) << GetLastError();
}

// Reads and dispatches the calling thread's messages until done() or the
// real-time bound passes; returns done().
inline bool PumpUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds bound = std::chrono::seconds(10)) {
    auto end = std::chrono::steady_clock::now() + bound;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        MSG msg;
        if (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        } else {
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 1, QS_ALLINPUT);
        }
    }
    return true;
}

// Ends the process with a message when its scope lasts longer than the
// bound: a deadlock fails the test run at once instead of hanging it.
class Watchdog {
public:
    explicit Watchdog(const char* what, std::chrono::seconds bound = std::chrono::seconds(20))
        : m_thread([this, what, bound] {
              std::unique_lock lock(m_mutex);
              if (!m_cv.wait_for(lock, bound, [this] { return m_done; })) {
                  std::fprintf(stderr, "watchdog: %s\n", what);
                  std::_Exit(2);
              }
          }) {}
    ~Watchdog() {
        {
            std::lock_guard lock(m_mutex);
            m_done = true;
        }
        m_cv.notify_all();
        m_thread.join();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_done = false;
    std::thread m_thread;
};

}  // namespace win::testing
