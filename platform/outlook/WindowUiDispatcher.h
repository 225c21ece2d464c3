// The host's UI dispatcher over the platform's message loop: tasks posted
// from any thread run on the thread that created the dispatcher, from that
// thread's message loop (GetMessageW/DispatchMessageW), one message-only
// window carrying them.
#pragma once

#include <deque>
#include <memory>

#include "platform/outlook/UiDispatcher.h"
#include "platform/win/Mutex.h"
#include "platform/win/ThreadSafety.h"
#include "platform/win/Window.h"

namespace outlook {

class WindowUiDispatcher final : public UiDispatcher {
public:
    // Creates the dispatcher's window on the calling thread, which becomes
    // the UI thread. Null when the window cannot be created (GetLastError
    // tells why).
    static std::shared_ptr<WindowUiDispatcher> Create();
    // UI thread. Destroys the window; tasks not yet run are dropped.
    ~WindowUiDispatcher() override;

    // Any thread. Tasks run in posting order; tasks posted after the window
    // is gone (or when the UI thread's queue is full) are dropped.
    void Post(std::function<void()> task) override;
    HWND Window() const { return m_window; }

private:
    WindowUiDispatcher() = default;
    static LRESULT WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    void RunPending();

    HWND m_window = nullptr;
    win::Mutex m_mutex;
    std::deque<std::function<void()>> m_tasks GUARDED_BY(m_mutex);
    bool m_signalled GUARDED_BY(m_mutex) = false;  // a run message is on its way
};

}  // namespace outlook
