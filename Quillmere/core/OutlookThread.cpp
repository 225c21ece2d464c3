#include "Quillmere/core/OutlookThread.h"

#include <atomic>
#include <deque>
#include <memory>

#include "Quillmere/core/HiddenWindow.h"
#include "Quillmere/core/SyncEngine.h"
#include "platform/win/Clock.h"
#include "platform/win/CriticalSection.h"
#include "platform/win/Event.h"
#include "platform/win/Handle.h"
#include "platform/win/MessageLoop.h"
#include "platform/win/Threads.h"

namespace {

constexpr DWORD kWaitStepMs = 50;

struct Task {
    explicit Task(const std::function<void()>& w)
        : work(w), done(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~Task() {
        if (done)
            CloseHandle(done);
    }
    const std::function<void()>& work;
    HANDLE done;
};

// The work waiting for Outlook's thread; a task leaves it as it begins to
// run, or when its caller gives up before that.
CriticalSection g_queueLock;
std::deque<std::shared_ptr<Task>> g_queue GUARDED_BY(g_queueLock);

// Takes task out of the queue; false when it has left already (it runs or ran).
bool Withdraw(const std::shared_ptr<Task>& task) {
    CriticalSectionLock lock(g_queueLock);
    for (auto it = g_queue.begin(); it != g_queue.end(); ++it) {
        if (*it == task) {
            g_queue.erase(it);
            return true;
        }
    }
    return false;
}

}  // namespace

bool RunOnOutlookThread(CSyncEngine* engine, const std::function<void()>& work,
                        const std::function<bool()>& giveUp) {
    HWND heartbeat = engine ? engine->HeartbeatWindow() : nullptr;
    if (!engine || !heartbeat || GetCurrentThreadId() == engine->OutlookThreadId()) {
        work();
        return true;
    }
    auto task = std::make_shared<Task>(work);
    if (!task->done)
        return false;
    {
        CriticalSectionLock lock(g_queueLock);
        g_queue.push_back(task);
    }
    if (!PostMessageW(heartbeat, kHeartbeatRunOnOutlookThread, 0, 0)) {
        Withdraw(task);
        return false;
    }
    while (WaitForSingleObject(task->done, kWaitStepMs) != WAIT_OBJECT_0) {
        // Once it has begun, it is waited for to its end: it uses the
        // caller's work object.
        if (giveUp && giveUp() && Withdraw(task))
            return false;
    }
    return true;
}

void RunOutlookThreadQueue() {
    for (;;) {
        std::shared_ptr<Task> task;
        {
            CriticalSectionLock lock(g_queueLock);
            if (g_queue.empty())
                return;
            task = g_queue.front();
            g_queue.pop_front();
        }
        task->work();
        SetEvent(task->done);
    }
}
