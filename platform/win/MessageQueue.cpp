#include "platform/win/MessageQueue.h"

#include <algorithm>
#include <unordered_map>

#include "platform/win/ClockWait.h"
#include "platform/win/Errors.h"
#include "platform/win/Threads.h"

namespace win {
namespace {

constexpr auto kMaxSlice = std::chrono::milliseconds(100);
HWND const kThreadMessagesOnly = reinterpret_cast<HWND>(-1);

// The queues of the threads that have one. Leaked on purpose: threads may
// still end (and unregister) while the process runs its static destructors.
struct QueueRegistry {
    Mutex mutex;
    std::unordered_map<DWORD, std::shared_ptr<MessageQueue>> queues GUARDED_BY(mutex);
};
QueueRegistry& Registry() {
    static QueueRegistry* registry = new QueueRegistry;
    return *registry;
}

// Ends the thread's queue when the thread ends.
struct QueueHolder {
    std::shared_ptr<MessageQueue> queue;
    ~QueueHolder() {
        if (!queue)
            return;
        ForgetWindowsOfThread(queue->ThreadId());
        queue->End();
        QueueRegistry& registry = Registry();
        MutexLock lock(registry.mutex);
        auto it = registry.queues.find(queue->ThreadId());
        if (it != registry.queues.end() && it->second == queue)
            registry.queues.erase(it);
    }
};
thread_local QueueHolder t_holder;

std::atomic<UINT_PTR> g_nextThreadTimerId{0x7FF0};

MSG MakeMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    MSG msg{};
    msg.hwnd = hwnd;
    msg.message = message;
    msg.wParam = wParam;
    msg.lParam = lParam;
    msg.time = GetTickCount();
    return msg;
}

}  // namespace

bool MessageFilter::Matches(HWND msgHwnd, UINT message) const {
    if (message == WM_QUIT)
        return true;
    if (hwnd == kThreadMessagesOnly) {
        if (msgHwnd != nullptr)
            return false;
    } else if (hwnd != nullptr && msgHwnd != hwnd) {
        return false;
    }
    if (min == 0 && max == 0)
        return true;
    return message >= min && message <= max;
}

std::shared_ptr<MessageQueue> MessageQueue::ForCurrentThread() {
    if (t_holder.queue)
        return t_holder.queue;
    auto queue = std::make_shared<MessageQueue>(GetCurrentThreadId());
    QueueRegistry& registry = Registry();
    {
        MutexLock lock(registry.mutex);
        registry.queues[queue->ThreadId()] = queue;
    }
    t_holder.queue = queue;
    return queue;
}

std::shared_ptr<MessageQueue> MessageQueue::ForThread(DWORD threadId) {
    QueueRegistry& registry = Registry();
    MutexLock lock(registry.mutex);
    auto it = registry.queues.find(threadId);
    return it == registry.queues.end() ? nullptr : it->second;
}

bool MessageQueue::Post(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    MutexLock lock(m_mutex);
    if (m_ended) {
        SetLastError(hwnd ? ERROR_INVALID_WINDOW_HANDLE : ERROR_INVALID_THREAD_ID);
        return false;
    }
    if (m_posted.size() >= kMaxPostedMessages) {
        SetLastError(ERROR_NOT_ENOUGH_QUOTA);
        return false;
    }
    m_posted.push_back(MakeMessage(hwnd, message, wParam, lParam));
    NotifyLocked();
    return true;
}

void MessageQueue::PostQuit(int exitCode) {
    MutexLock lock(m_mutex);
    m_quit = true;
    m_quitCode = exitCode;
    NotifyLocked();
}

void MessageQueue::Complete(SentMessage& call, LRESULT result) {
    call.result = result;
    std::shared_ptr<MessageQueue> sender = call.sender.lock();
    if (!sender) {
        call.done.store(true);
        return;
    }
    // Under the sender's mutex, so that a sender between its check of done
    // and its wait can't miss the wake-up.
    MutexLock lock(sender->m_mutex);
    call.done.store(true);
    sender->NotifyLocked();
}

bool MessageQueue::ServeOneSent() {
    if (m_sent.empty())
        return false;
    std::shared_ptr<SentMessage> call = std::move(m_sent.front());
    m_sent.pop_front();
    m_mutex.Unlock();
    LRESULT result = DeliverToWindowProc(call->hwnd, call->message, call->wParam, call->lParam);
    Complete(*call, result);
    m_mutex.Lock();
    return true;
}

bool MessageQueue::TakePosted(MSG* msg, const MessageFilter& filter, bool remove) {
    auto it = std::find_if(m_posted.begin(), m_posted.end(),
                           [&](const MSG& m) { return filter.Matches(m.hwnd, m.message); });
    if (it == m_posted.end())
        return false;
    *msg = *it;
    if (remove)
        m_posted.erase(it);
    return true;
}

bool MessageQueue::TakeTimer(MSG* msg, const MessageFilter& filter, bool remove) {
    ULONGLONG now = NowPlatformMs();
    Timer* best = nullptr;
    for (Timer& t : m_timers) {
        if (t.dueMs > now || !filter.Matches(t.hwnd, WM_TIMER))
            continue;
        if (!best || t.dueMs < best->dueMs)
            best = &t;
    }
    if (!best)
        return false;
    *msg = MakeMessage(best->hwnd, WM_TIMER, best->id, reinterpret_cast<LPARAM>(best->proc));
    if (remove) {
        // Periods missed while the WM_TIMER waited are dropped, not queued.
        best->dueMs += best->periodMs;
        if (best->dueMs <= now)
            best->dueMs = now + best->periodMs;
    }
    return true;
}

bool MessageQueue::HasReadable() {
    if (!m_sent.empty() || !m_posted.empty() || m_quit)
        return true;
    ULONGLONG now = NowPlatformMs();
    return std::any_of(m_timers.begin(), m_timers.end(),
                       [now](const Timer& t) { return t.dueMs <= now; });
}

void MessageQueue::NotifyLocked() {
    m_wake.notify_all();
    WakeClockWaiters();
}

LONGLONG MessageQueue::NextDueNs() {
    LONGLONG next = kNoDeadlineNs;
    for (const Timer& t : m_timers)
        next = std::min(next, static_cast<LONGLONG>(t.dueMs) * 1000000);
    return next;
}

std::chrono::nanoseconds MessageQueue::WaitSlice() {
    std::chrono::nanoseconds slice = kMaxSlice;
    ULONGLONG now = NowPlatformMs();
    for (const Timer& t : m_timers) {
        ULONGLONG remaining = t.dueMs > now ? t.dueMs - now : 0;
        slice = std::min(slice, PlatformMsToReal(remaining));
    }
    // Platform ms are whole: wait at least a little so that a due time in
    // the current millisecond doesn't spin.
    return std::max(slice, std::chrono::nanoseconds(std::chrono::microseconds(50)));
}

void MessageQueue::WaitLocked(MutexLock& lock, ULONGLONG ticket, std::chrono::nanoseconds cap) {
    if (VirtualClockOn()) {
        const LONGLONG until = NextDueNs();
        m_mutex.Unlock();
        BlockOnClock(ticket, until);
        m_mutex.Lock();
    } else {
        lock.WaitFor(m_wake, std::min(WaitSlice(), cap));
    }
}

bool MessageQueue::BlockUntilChange(ULONGLONG ticket, LONGLONG deadlineNs, bool timers,
                                    bool lookWhenIdle, bool firstLook) {
    LONGLONG until = deadlineNs;
    if (timers) {
        MutexLock lock(m_mutex);
        until = std::min(until, NextDueNs());
    }
    return BlockOnClock(ticket, until, lookWhenIdle, firstLook);
}

bool MessageQueue::Read(MSG* msg, const MessageFilter& filter, bool remove, bool wait) {
    MutexLock lock(m_mutex);
    for (;;) {
        const ULONGLONG ticket = TakeClockTicket();
        while (ServeOneSent()) {
        }
        if (TakePosted(msg, filter, remove))
            return true;
        if (m_quit) {
            *msg = MakeMessage(nullptr, WM_QUIT, static_cast<WPARAM>(m_quitCode), 0);
            if (remove)
                m_quit = false;
            return true;
        }
        if (TakeTimer(msg, filter, remove))
            return true;
        if (!wait)
            return false;
        WaitLocked(lock, ticket, kMaxSlice);
    }
}

void MessageQueue::WaitForMessage() {
    MutexLock lock(m_mutex);
    for (;;) {
        const ULONGLONG ticket = TakeClockTicket();
        while (ServeOneSent()) {
        }
        if (HasReadable())
            return;
        WaitLocked(lock, ticket, kMaxSlice);
    }
}

bool MessageQueue::ServeSentAndCheck() {
    MutexLock lock(m_mutex);
    while (ServeOneSent()) {
    }
    return HasReadable();
}

bool MessageQueue::WaitForMessageFor(std::chrono::nanoseconds realSlice) {
    MutexLock lock(m_mutex);
    while (ServeOneSent()) {
    }
    if (HasReadable())
        return true;
    lock.WaitFor(m_wake, std::min(WaitSlice(), realSlice));
    while (ServeOneSent()) {
    }
    return HasReadable();
}

LRESULT MessageQueue::SendAndWait(const std::shared_ptr<MessageQueue>& self, HWND hwnd,
                                  UINT message, WPARAM wParam, LPARAM lParam) {
    auto call = std::make_shared<SentMessage>();
    call->hwnd = hwnd;
    call->message = message;
    call->wParam = wParam;
    call->lParam = lParam;
    call->sender = self;
    {
        MutexLock lock(m_mutex);
        if (m_ended)
            return 0;
        m_sent.push_back(call);
        NotifyLocked();
    }
    // Serve what is sent to this thread meanwhile: the owner may be sending
    // back to us while it handles our message.
    MutexLock lock(self->m_mutex);
    for (;;) {
        const ULONGLONG ticket = TakeClockTicket();
        if (call->done.load())
            break;
        if (self->ServeOneSent())
            continue;
        if (VirtualClockOn()) {
            self->m_mutex.Unlock();
            BlockOnClock(ticket, kNoDeadlineNs);
            self->m_mutex.Lock();
        } else {
            lock.WaitFor(self->m_wake, kMaxSlice);
        }
    }
    return call->result;
}

void MessageQueue::SetTimer(HWND hwnd, UINT_PTR id, UINT elapseMs, TIMERPROC proc) {
    UINT period = std::clamp(elapseMs, USER_TIMER_MINIMUM, USER_TIMER_MAXIMUM);
    MutexLock lock(m_mutex);
    ULONGLONG due = NowPlatformMs() + period;
    for (Timer& t : m_timers) {
        if (t.hwnd == hwnd && t.id == id) {
            t.proc = proc;
            t.periodMs = period;
            t.dueMs = due;
            NotifyLocked();
            return;
        }
    }
    m_timers.push_back(Timer{hwnd, id, proc, period, due});
    NotifyLocked();
}

bool MessageQueue::KillTimer(HWND hwnd, UINT_PTR id) {
    MutexLock lock(m_mutex);
    auto it = std::find_if(m_timers.begin(), m_timers.end(),
                           [&](const Timer& t) { return t.hwnd == hwnd && t.id == id; });
    if (it == m_timers.end())
        return false;
    m_timers.erase(it);
    // A WM_TIMER of it that was posted by hand stays; the generated one goes
    // with the timer, since it is made only when the queue is read. The
    // owner's wait looks again and forgets the due time.
    NotifyLocked();
    return true;
}

bool MessageQueue::HasTimer(HWND hwnd, UINT_PTR id) {
    MutexLock lock(m_mutex);
    return std::any_of(m_timers.begin(), m_timers.end(),
                       [&](const Timer& t) { return t.hwnd == hwnd && t.id == id; });
}

bool MessageQueue::IsTimerProc(HWND hwnd, UINT_PTR id, TIMERPROC proc) {
    MutexLock lock(m_mutex);
    return std::any_of(m_timers.begin(), m_timers.end(), [&](const Timer& t) {
        return t.hwnd == hwnd && t.id == id && t.proc == proc;
    });
}

UINT_PTR MessageQueue::NewThreadTimerId() {
    return g_nextThreadTimerId.fetch_add(1);
}

void MessageQueue::ForgetWindow(HWND hwnd) {
    MutexLock lock(m_mutex);
    std::erase_if(m_posted, [hwnd](const MSG& m) { return m.hwnd == hwnd; });
    std::erase_if(m_timers, [hwnd](const Timer& t) { return t.hwnd == hwnd; });
    NotifyLocked();
}

void MessageQueue::End() {
    std::deque<std::shared_ptr<SentMessage>> pending;
    {
        MutexLock lock(m_mutex);
        m_ended = true;
        pending.swap(m_sent);
        m_posted.clear();
        m_timers.clear();
    }
    for (auto& call : pending)
        Complete(*call, 0);
}

}  // namespace win
