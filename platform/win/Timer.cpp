#include "platform/win/Timer.h"

#include "platform/win/Errors.h"
#include "platform/win/MessageQueue.h"

UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapseMs, TIMERPROC proc) {
    if (!hwnd) {
        auto queue = win::MessageQueue::ForCurrentThread();
        if (id == 0 || !queue->HasTimer(nullptr, id))
            id = win::MessageQueue::NewThreadTimerId();
        queue->SetTimer(nullptr, id, elapseMs, proc);
        return id;
    }
    DWORD owner = win::WindowThreadId(hwnd);
    auto queue = owner ? win::MessageQueue::ForThread(owner) : nullptr;
    if (!queue) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    queue->SetTimer(hwnd, id, elapseMs, proc);
    // The window may have been destroyed meanwhile; its destruction marks it
    // gone before it drops its timers, so checking after adding can't leave
    // a timer behind.
    if (!IsWindow(hwnd)) {
        queue->KillTimer(hwnd, id);
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    return id != 0 ? id : 1;
}

BOOL KillTimer(HWND hwnd, UINT_PTR id) {
    std::shared_ptr<win::MessageQueue> queue;
    if (!hwnd) {
        queue = win::MessageQueue::ForCurrentThread();
    } else {
        DWORD owner = win::WindowThreadId(hwnd);
        queue = owner ? win::MessageQueue::ForThread(owner) : nullptr;
        if (!queue) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
    }
    if (!queue->KillTimer(hwnd, id)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}
