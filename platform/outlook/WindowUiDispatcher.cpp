#include "platform/outlook/WindowUiDispatcher.h"

#include "platform/win/MessageLoop.h"

namespace outlook {
namespace {

constexpr UINT kRunTasks = WM_APP + 0x51;
constexpr const WCHAR* kClassName = L"QuillmereOutlookUiDispatcher";

bool RegisterDispatcherClass(WNDPROC proc) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = proc;
    wc.lpszClassName = kClassName;
    wc.style = CS_GLOBALCLASS;
    return RegisterClassExW(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

}  // namespace

std::shared_ptr<WindowUiDispatcher> WindowUiDispatcher::Create() {
    if (!RegisterDispatcherClass(&WindowUiDispatcher::WindowProc))
        return nullptr;
    std::shared_ptr<WindowUiDispatcher> dispatcher(new WindowUiDispatcher());
    dispatcher->m_window =
        CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    if (!dispatcher->m_window)
        return nullptr;
    SetWindowLongPtrW(dispatcher->m_window, GWLP_USERDATA,
                      reinterpret_cast<LONG_PTR>(dispatcher.get()));
    return dispatcher;
}

WindowUiDispatcher::~WindowUiDispatcher() {
    if (m_window) {
        SetWindowLongPtrW(m_window, GWLP_USERDATA, 0);
        DestroyWindow(m_window);
    }
}

void WindowUiDispatcher::Post(std::function<void()> task) {
    bool signal = false;
    {
        win::MutexLock lock(m_mutex);
        m_tasks.push_back(std::move(task));
        signal = !m_signalled;
        m_signalled = true;
    }
    // One message carries every task queued until it is served.
    if (signal && !PostMessageW(m_window, kRunTasks, 0, 0)) {
        win::MutexLock lock(m_mutex);
        m_tasks.clear();
        m_signalled = false;
    }
}

void WindowUiDispatcher::RunPending() {
    {
        win::MutexLock lock(m_mutex);
        m_signalled = false;
    }
    for (;;) {
        std::function<void()> task;
        {
            win::MutexLock lock(m_mutex);
            if (m_tasks.empty())
                return;
            task = std::move(m_tasks.front());
            m_tasks.pop_front();
        }
        task();  // outside the lock: a task may post more
    }
}

LRESULT WindowUiDispatcher::WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == kRunTasks) {
        if (auto* self =
                reinterpret_cast<WindowUiDispatcher*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA)))
            self->RunPending();
        return 0;
    }
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

}  // namespace outlook
