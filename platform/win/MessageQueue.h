// The message queue of one thread, behind the calls of MessageLoop.h and
// Timer.h. Internal to this library.
//
// Locking: each queue has its own mutex; no queue mutex is held while a
// window procedure runs or while another queue's mutex is taken, so threads
// that send to each other can't deadlock on them.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <vector>

#include "platform/win/MessageLoop.h"
#include "platform/win/Mutex.h"
#include "platform/win/Timer.h"

namespace win {

// A message sent from one thread to a window of another, waiting for its
// reply. The owner's thread stores result, then sets done and wakes the
// sender's queue.
struct SentMessage {
    HWND hwnd = nullptr;
    UINT message = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
    LRESULT result = 0;
    std::atomic<bool> done{false};
    std::weak_ptr<class MessageQueue> sender;
};

// What a read of the queue may take.
struct MessageFilter {
    HWND hwnd = nullptr;  // null: all; (HWND)-1: thread messages only
    UINT min = 0;
    UINT max = 0;
    bool Matches(HWND msgHwnd, UINT message) const;
};

class MessageQueue {
public:
    explicit MessageQueue(DWORD threadId) : m_threadId(threadId) {}

    // The calling thread's queue, created on first use; it ends with the
    // thread (windows forgotten, waiting senders answered with 0).
    static std::shared_ptr<MessageQueue> ForCurrentThread();
    // The queue of a thread, null when that thread has none.
    static std::shared_ptr<MessageQueue> ForThread(DWORD threadId);

    DWORD ThreadId() const { return m_threadId; }

    // Any thread. False with the last error set when the queue is full or
    // has ended.
    bool Post(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) EXCLUDES(m_mutex);
    // Owner thread only.
    void PostQuit(int exitCode) EXCLUDES(m_mutex);

    // Owner thread only: the next matching message, as GetMessageW (wait)
    // or PeekMessageW. False when !wait and nothing matches.
    bool Read(MSG* msg, const MessageFilter& filter, bool remove, bool wait) EXCLUDES(m_mutex);
    // Owner thread only: until something readable is queued.
    void WaitForMessage() EXCLUDES(m_mutex);
    // Owner thread only: serves the messages sent to the thread; true when
    // something readable is queued.
    bool ServeSentAndCheck() EXCLUDES(m_mutex);
    // Owner thread only, real clock: like WaitForMessage for at most
    // realSlice; true when something readable is queued.
    bool WaitForMessageFor(std::chrono::nanoseconds realSlice) EXCLUDES(m_mutex);
    // Owner thread only, virtual clock: BlockOnClock (ClockWait.h) until
    // deadlineNs or, with timers, until this queue's earliest timer falls
    // due; its result.
    bool BlockUntilChange(ULONGLONG ticket, LONGLONG deadlineNs, bool timers,
                          bool lookWhenIdle = false, bool firstLook = false) EXCLUDES(m_mutex);

    // Called on the sender's thread (self = its queue): hands the message to
    // this queue's thread and waits for the result.
    LRESULT SendAndWait(const std::shared_ptr<MessageQueue>& self, HWND hwnd, UINT message,
                        WPARAM wParam, LPARAM lParam) EXCLUDES(m_mutex);

    // Any thread. A window timer of this queue's thread, or a thread timer.
    void SetTimer(HWND hwnd, UINT_PTR id, UINT elapseMs, TIMERPROC proc) EXCLUDES(m_mutex);
    bool KillTimer(HWND hwnd, UINT_PTR id) EXCLUDES(m_mutex);
    bool HasTimer(HWND hwnd, UINT_PTR id) EXCLUDES(m_mutex);
    // Whether (hwnd, id) is a live timer with exactly that procedure.
    bool IsTimerProc(HWND hwnd, UINT_PTR id, TIMERPROC proc) EXCLUDES(m_mutex);
    // A thread-timer id not in use in this process.
    static UINT_PTR NewThreadTimerId();

    // Drops the posted messages and timers of a destroyed window.
    void ForgetWindow(HWND hwnd) EXCLUDES(m_mutex);
    // The owner thread ends: answers waiting senders, refuses new messages.
    void End() EXCLUDES(m_mutex);

private:
    struct Timer {
        HWND hwnd;
        UINT_PTR id;
        TIMERPROC proc;
        ULONGLONG periodMs;
        ULONGLONG dueMs;  // win::NowPlatformMs() at which it falls due
    };

    // Serves one message sent by another thread; false when none waits.
    // Called with the mutex held; releases it while the procedure runs.
    bool ServeOneSent() REQUIRES(m_mutex);
    bool TakePosted(MSG* msg, const MessageFilter& filter, bool remove) REQUIRES(m_mutex);
    bool TakeTimer(MSG* msg, const MessageFilter& filter, bool remove) REQUIRES(m_mutex);
    bool HasReadable() REQUIRES(m_mutex);
    // Wakes the owner's waits (on either clock).
    void NotifyLocked() REQUIRES(m_mutex);
    // Platform ns at which the earliest timer falls due; kNoDeadlineNs.
    LONGLONG NextDueNs() REQUIRES(m_mutex);
    // Real time until the earliest timer falls due, at most 100 ms.
    std::chrono::nanoseconds WaitSlice() REQUIRES(m_mutex);
    // One wait of the owner for a change of the queue or its earliest timer
    // (on the real clock for at most cap); ticket was taken before the
    // caller looked at the queue.
    void WaitLocked(MutexLock& lock, ULONGLONG ticket, std::chrono::nanoseconds cap)
        REQUIRES(m_mutex);
    static void Complete(SentMessage& call, LRESULT result);

    const DWORD m_threadId;
    Mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<MSG> m_posted GUARDED_BY(m_mutex);
    std::deque<std::shared_ptr<SentMessage>> m_sent GUARDED_BY(m_mutex);
    std::vector<Timer> m_timers GUARDED_BY(m_mutex);
    bool m_quit GUARDED_BY(m_mutex) = false;
    int m_quitCode GUARDED_BY(m_mutex) = 0;
    bool m_ended GUARDED_BY(m_mutex) = false;
};

}  // namespace win
