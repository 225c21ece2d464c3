#include "platform/win/MessageLoop.h"

#include <chrono>
#include <cstdlib>

#include "platform/win/WindowPicture.h"

#include <time.h>

#include <algorithm>
#include <vector>

#include "platform/win/ClockWait.h"
#include "platform/win/Errors.h"
#include "platform/win/MessageQueue.h"
#include "platform/win/Threads.h"
#include "platform/win/WindowService.h"

namespace {

HWND const kThreadMessagesOnly = reinterpret_cast<HWND>(-1);

bool ValidFilter(HWND hwnd) {
    if (hwnd == nullptr || hwnd == kThreadMessagesOnly || IsWindow(hwnd))
        return true;
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return false;
}

}  // namespace

BOOL GetMessageW(MSG* msg, HWND hwnd, UINT filterMin, UINT filterMax) {
    if (!msg) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    if (!ValidFilter(hwnd))
        return -1;
    auto queue = win::MessageQueue::ForCurrentThread();
    const win::MessageFilter filter{hwnd, filterMin, filterMax};
    static const bool pictureRequested = [] {
        const char* path = std::getenv("QUILLMERE_WINDOW_PICTURE");
        return path && *path;
    }();
    if (pictureRequested) {
        // A picture is wanted once the program's window has been idle a
        // while: look before each wait.
        while (!queue->Read(msg, filter, true, false)) {
            win::ServeEnvironmentPictureRequest();
            queue->WaitForMessageFor(std::chrono::milliseconds(50));
        }
    } else {
        queue->Read(msg, filter, true, true);
    }
    return msg->message == WM_QUIT ? FALSE : TRUE;
}

BOOL PeekMessageW(MSG* msg, HWND hwnd, UINT filterMin, UINT filterMax, UINT removeFlags) {
    if (!msg) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!ValidFilter(hwnd))
        return FALSE;
    auto queue = win::MessageQueue::ForCurrentThread();
    bool remove = (removeFlags & PM_REMOVE) != 0;
    return queue->Read(msg, win::MessageFilter{hwnd, filterMin, filterMax}, remove, false) ? TRUE
                                                                                           : FALSE;
}

BOOL TranslateMessage(const MSG* msg) {
    return FALSE;
}

LRESULT DispatchMessageW(const MSG* msg) {
    if (!msg)
        return 0;
    if (msg->message == WM_TIMER && msg->lParam != 0) {
        auto proc = reinterpret_cast<TIMERPROC>(msg->lParam);
        auto queue = win::MessageQueue::ForCurrentThread();
        if (!queue->IsTimerProc(msg->hwnd, msg->wParam, proc))
            return 0;
        proc(msg->hwnd, WM_TIMER, msg->wParam, GetTickCount());
        return 0;
    }
    if (!msg->hwnd)
        return 0;
    DWORD owner = win::WindowThreadId(msg->hwnd);
    if (owner == 0) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (owner != GetCurrentThreadId()) {
        SetLastError(ERROR_WINDOW_OF_OTHER_THREAD);
        return 0;
    }
    return win::DeliverToWindowProc(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

BOOL PostMessageW(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (!hwnd)
        return PostThreadMessageW(GetCurrentThreadId(), msg, wParam, lParam);
    DWORD owner = win::WindowThreadId(hwnd);
    if (owner == 0 && win::foreign::IsAlias(hwnd))
        return win::foreign::Post(hwnd, msg, wParam, lParam);
    auto queue = owner ? win::MessageQueue::ForThread(owner) : nullptr;
    if (!queue) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    return queue->Post(hwnd, msg, wParam, lParam) ? TRUE : FALSE;
}

BOOL PostThreadMessageW(DWORD threadId, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto queue = threadId == GetCurrentThreadId() ? win::MessageQueue::ForCurrentThread()
                                                  : win::MessageQueue::ForThread(threadId);
    if (!queue) {
        SetLastError(ERROR_INVALID_THREAD_ID);
        return FALSE;
    }
    return queue->Post(nullptr, msg, wParam, lParam) ? TRUE : FALSE;
}

void PostQuitMessage(int exitCode) {
    win::MessageQueue::ForCurrentThread()->PostQuit(exitCode);
}

LRESULT SendMessageW(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    DWORD owner = win::WindowThreadId(hwnd);
    if (owner == 0 && win::foreign::IsAlias(hwnd))
        return win::foreign::Send(hwnd, msg, wParam, lParam);
    if (owner == 0) {
        if (hwnd != GetDesktopWindow())
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (owner == GetCurrentThreadId())
        return win::DeliverToWindowProc(hwnd, msg, wParam, lParam);
    auto target = win::MessageQueue::ForThread(owner);
    if (!target)
        return 0;
    auto self = win::MessageQueue::ForCurrentThread();
    return target->SendAndWait(self, hwnd, msg, wParam, lParam);
}

LRESULT SendDlgItemMessageW(HWND dialog, int id, UINT msg, WPARAM wParam, LPARAM lParam) {
    HWND item = GetDlgItem(dialog, id);
    return item ? SendMessageW(item, msg, wParam, lParam) : 0;
}

BOOL WaitMessage() {
    win::MessageQueue::ForCurrentThread()->WaitForMessage();
    return TRUE;
}

DWORD MsgWaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD timeoutMs,
                                DWORD wakeMask) {
    constexpr DWORD kMaxHandles = 64;
    if (count > kMaxHandles || (count > 0 && !handles)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    std::vector<std::shared_ptr<win::HandleObject>> objects;
    for (DWORD i = 0; i < count; ++i) {
        auto object = win::LookupHandle(handles[i]);
        if (!object) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        objects.push_back(std::move(object));
    }
    auto queue = win::MessageQueue::ForCurrentThread();
    win::PlatformDeadline deadline(timeoutMs);
    // Kernel objects offer no wake-up to combine with the queue's, so on the
    // real clock they are polled between short waits on the queue; on the
    // virtual clock every change that may end the wait ends the block.
    constexpr auto kPoll = std::chrono::milliseconds(2);
    for (;;) {
        const ULONGLONG ticket = win::TakeClockTicket();
        if (waitAll) {
            bool all = count > 0;
            // A signalled auto-reset event is consumed by Wait(0); with
            // waitAll that is accepted as an approximation of the platform's
            // atomic wait.
            for (auto& object : objects)
                all = all && object->Wait(0) == WAIT_OBJECT_0;
            if (all)
                return WAIT_OBJECT_0;
        } else {
            for (DWORD i = 0; i < count; ++i)
                if (objects[i]->Wait(0) == WAIT_OBJECT_0)
                    return WAIT_OBJECT_0 + i;
        }
        // Sent messages are served whatever the mask, as the platform does.
        if (queue->ServeSentAndCheck() && wakeMask != 0)
            return WAIT_OBJECT_0 + count;
        if (deadline.Passed())
            return WAIT_TIMEOUT;
        if (win::VirtualClockOn()) {
            queue->BlockUntilChange(ticket, deadline.AtNs(), wakeMask != 0);
            continue;
        }
        auto slice = std::min<std::chrono::nanoseconds>(deadline.RemainingSlice(), kPoll);
        if (deadline.Infinite())
            slice = kPoll;
        if (wakeMask != 0) {
            if (queue->WaitForMessageFor(slice))
                return WAIT_OBJECT_0 + count;
        } else {
            struct timespec ts {
                0, static_cast<long>(slice.count())
            };
            nanosleep(&ts, nullptr);
        }
    }
}

namespace win {

bool PumpMessagesUntil(const std::function<bool()>& done, DWORD timeoutMs) {
    auto queue = MessageQueue::ForCurrentThread();
    const PlatformDeadline deadline(timeoutMs);
    constexpr auto kRealPoll = std::chrono::milliseconds(1);
    // On the virtual clock done() is asked only at an idle moment, when
    // every other counted thread waits (messages are read at every wake).
    bool idle = false, looked = false;
    for (;;) {
        const ULONGLONG ticket = TakeClockTicket();
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        const bool virtualClock = VirtualClockOn();
        if ((idle || !virtualClock) && done())
            return true;
        if (deadline.Passed())
            return false;
        looked = looked || idle;
        if (virtualClock)
            idle = queue->BlockUntilChange(ticket, deadline.AtNs(), true, true, !looked);
        else
            queue->WaitForMessageFor(
                std::min<std::chrono::nanoseconds>(deadline.RemainingSlice(), kRealPoll));
    }
}

}  // namespace win
