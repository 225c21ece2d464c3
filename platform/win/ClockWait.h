// How the platform's waits sit on the process clock. Internal to this
// library: every blocking call of it (Sleep, kernel object waits, message
// queue waits, locks) waits through these, so that the virtual clock
// (Clock.h) knows which counted threads wait, until when, and which were
// woken.
//
// The protocol, for a wait on state guarded by some mutex M:
//   waiter: ticket = TakeClockTicket(); look at the state (under M); if it
//           must wait, release M and BlockOnClock(ticket, deadline).
//   waker:  change the state (under M), then WakeClockWaiters().
// A wake between the ticket and the block makes BlockOnClock return at once,
// so no wake-up is lost; the waiter then looks again with a new ticket.
// BlockOnClock may also return early for wakes meant for other waits: every
// caller loops. On the real clock BlockOnClock is never called; callers wait
// on their own condition variables in real slices of at most 100 ms.
#pragma once

#include <climits>
#include <condition_variable>
#include <mutex>

#include "platform/win/Clock.h"
#include "platform/win/Mutex.h"

namespace win {

constexpr LONGLONG kNoDeadlineNs = LLONG_MAX;

// The clock's count of wakes, to be taken before looking at the state a
// wait depends on. Counts the calling thread (see Clock.h) when it was not.
ULONGLONG TakeClockTicket();
// Virtual clock only: blocks until a wake after the ticket was taken, or
// until platform time reaches deadlineNs (platform ns since the clock
// started). Returns at once when a wake came since the ticket, when the
// deadline has passed or when the clock is not virtual. With lookWhenIdle
// the call also returns for a look (WaitForCondition): once every counted
// thread waits, before time moves on, when a thread other than the lookers
// ran since their last look or, with firstLook, when the caller has not
// looked yet. It returns true then, and only then: every other counted
// thread waits at this moment.
bool BlockOnClock(ULONGLONG ticket, LONGLONG deadlineNs, bool lookWhenIdle = false,
                  bool firstLook = false);
// Ends every BlockOnClock in progress; a no-op on the real clock. To be
// called after each change that may end a platform wait.
void WakeClockWaiters();

// Thread starts (Threads.cpp): the creator counts the new thread before it
// runs (and gives the count back when the start failed), the new thread
// takes that count over as its first act and gives it back at its end.
void CountStartingThread();
void GiveBackStartingThreadCount();
void AdoptStartingThreadCount();
void UncountThread();

// Waits until done() or the deadline passes; true when done() held. mutex is
// held on entry and on return and guards what done() reads; it is released
// while the thread waits. On the real clock the wait sleeps on cv, which the
// waker notifies (besides calling WakeClockWaiters).
template <class Predicate>
bool WaitOnClock(Mutex& mutex, std::condition_variable& cv, const PlatformDeadline& deadline,
                 Predicate done) REQUIRES(mutex) {
    for (;;) {
        const ULONGLONG ticket = TakeClockTicket();
        if (done())
            return true;
        if (deadline.Passed())
            return false;
        if (VirtualClockOn()) {
            mutex.Unlock();
            BlockOnClock(ticket, deadline.AtNs());
            mutex.Lock();
        } else {
            std::unique_lock lock(mutex.Native(), std::adopt_lock);
            cv.wait_for(lock, deadline.RemainingSlice());
            lock.release();
        }
    }
}

}  // namespace win
