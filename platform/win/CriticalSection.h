// Re-entrant locks: the C++ class the product's own code uses and the Win32
// CRITICAL_SECTION form that some of its code names directly.
//
// Both are recursive: the owning thread may enter again and must leave as
// often as it entered. Leaving a lock the calling thread does not own is a
// programming error (checked by an assertion in debug builds only). A thread
// waiting to enter waits on the platform clock (Clock.h): on the virtual
// clock time may pass while it waits, and the last Leave wakes it.
#pragma once

#include <atomic>
#include <mutex>

#include "platform/win/ThreadSafety.h"
#include "platform/win/Types.h"

class CAPABILITY("mutex") CriticalSection {
public:
    CriticalSection() = default;
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

    // Blocks until the calling thread owns the lock; returns at once when it
    // owns it already.
    void Enter() ACQUIRE();
    // Never blocks: true when the calling thread now owns the lock (also when
    // it already did), false when another thread holds it.
    bool TryEnter() TRY_ACQUIRE(true);
    // Undoes one Enter or successful TryEnter of the calling thread.
    void Leave() RELEASE();

private:
    std::recursive_timed_mutex m_mutex;
    std::atomic<int> m_virtualWaiters{0};  // threads waiting in Enter on the virtual clock
};

// Holds a CriticalSection for its scope.
class SCOPED_CAPABILITY CriticalSectionLock {
public:
    explicit CriticalSectionLock(CriticalSection& lock) ACQUIRE(lock) : m_lock(lock) {
        m_lock.Enter();
    }
    ~CriticalSectionLock() RELEASE() { m_lock.Leave(); }
    CriticalSectionLock(const CriticalSectionLock&) = delete;
    CriticalSectionLock& operator=(const CriticalSectionLock&) = delete;

private:
    CriticalSection& m_lock;
};

// The Win32 form. Its fields are private to the calls below; the object must
// be initialised before any other call and deleted only when no thread holds
// or waits for it. It must not be copied or moved while initialised.
struct CAPABILITY("mutex") CRITICAL_SECTION {
    // The lock lives outside the struct so that the struct stays a plain
    // aggregate that can be zero-initialised as on the platform.
    void* m_impl;
};
using LPCRITICAL_SECTION = CRITICAL_SECTION*;

void InitializeCriticalSection(CRITICAL_SECTION* cs);
// The spin count has no effect here; always TRUE.
BOOL InitializeCriticalSectionAndSpinCount(CRITICAL_SECTION* cs, DWORD spinCount);
void EnterCriticalSection(CRITICAL_SECTION* cs) ACQUIRE(cs);
// Nonzero when the calling thread now owns the lock, 0 when another thread
// holds it. Never blocks.
BOOL TryEnterCriticalSection(CRITICAL_SECTION* cs) TRY_ACQUIRE(1, cs);
void LeaveCriticalSection(CRITICAL_SECTION* cs) RELEASE(cs);
// Frees the lock's resources; the struct may be initialised again afterwards.
void DeleteCriticalSection(CRITICAL_SECTION* cs);
