#include "platform/win/CriticalSection.h"

#include <cassert>

#include "platform/win/ClockWait.h"

// The analysis cannot see through the std::recursive_timed_mutex calls; the
// annotations on the declarations state the contract.

void CriticalSection::Enter() NO_THREAD_SAFETY_ANALYSIS {
    if (m_mutex.try_lock())
        return;
    for (;;) {
        if (!win::VirtualClockOn()) {
            // In slices, so that a switch to the virtual clock is noticed.
            if (m_mutex.try_lock_for(std::chrono::milliseconds(100)))
                return;
            continue;
        }
        // Announced before the look at the lock, which Leave releases before
        // it looks for waiters: one of the two sees the other (the fences).
        m_virtualWaiters.fetch_add(1);
        std::atomic_thread_fence(std::memory_order_seq_cst);
        const ULONGLONG ticket = win::TakeClockTicket();
        const bool entered = m_mutex.try_lock();
        if (!entered)
            win::BlockOnClock(ticket, win::kNoDeadlineNs);
        m_virtualWaiters.fetch_sub(1);
        if (entered)
            return;
    }
}

bool CriticalSection::TryEnter() NO_THREAD_SAFETY_ANALYSIS {
    return m_mutex.try_lock();
}

void CriticalSection::Leave() NO_THREAD_SAFETY_ANALYSIS {
    m_mutex.unlock();
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (m_virtualWaiters.load() > 0)
        win::WakeClockWaiters();
}

namespace {

CriticalSection* Impl(CRITICAL_SECTION* cs) {
    assert(cs && cs->m_impl && "critical section used before InitializeCriticalSection");
    return static_cast<CriticalSection*>(cs->m_impl);
}

}  // namespace

void InitializeCriticalSection(CRITICAL_SECTION* cs) {
    cs->m_impl = new CriticalSection;
}

BOOL InitializeCriticalSectionAndSpinCount(CRITICAL_SECTION* cs, DWORD) {
    InitializeCriticalSection(cs);
    return TRUE;
}

void EnterCriticalSection(CRITICAL_SECTION* cs) NO_THREAD_SAFETY_ANALYSIS {
    Impl(cs)->Enter();
}

BOOL TryEnterCriticalSection(CRITICAL_SECTION* cs) NO_THREAD_SAFETY_ANALYSIS {
    return Impl(cs)->TryEnter() ? TRUE : FALSE;
}

void LeaveCriticalSection(CRITICAL_SECTION* cs) NO_THREAD_SAFETY_ANALYSIS {
    Impl(cs)->Leave();
}

void DeleteCriticalSection(CRITICAL_SECTION* cs) {
    delete static_cast<CriticalSection*>(cs->m_impl);
    cs->m_impl = nullptr;
}
