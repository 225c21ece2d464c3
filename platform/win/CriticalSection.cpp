#include "platform/win/CriticalSection.h"

#include <cassert>

// The analysis cannot see through the std::recursive_mutex calls; the
// annotations on the declarations state the contract.

void CriticalSection::Enter() NO_THREAD_SAFETY_ANALYSIS {
    m_mutex.lock();
}

bool CriticalSection::TryEnter() NO_THREAD_SAFETY_ANALYSIS {
    return m_mutex.try_lock();
}

void CriticalSection::Leave() NO_THREAD_SAFETY_ANALYSIS {
    m_mutex.unlock();
}

namespace {

std::recursive_mutex* Impl(CRITICAL_SECTION* cs) {
    assert(cs && cs->m_impl && "critical section used before InitializeCriticalSection");
    return static_cast<std::recursive_mutex*>(cs->m_impl);
}

}  // namespace

void InitializeCriticalSection(CRITICAL_SECTION* cs) {
    cs->m_impl = new std::recursive_mutex;
}

BOOL InitializeCriticalSectionAndSpinCount(CRITICAL_SECTION* cs, DWORD) {
    InitializeCriticalSection(cs);
    return TRUE;
}

void EnterCriticalSection(CRITICAL_SECTION* cs) NO_THREAD_SAFETY_ANALYSIS {
    Impl(cs)->lock();
}

BOOL TryEnterCriticalSection(CRITICAL_SECTION* cs) NO_THREAD_SAFETY_ANALYSIS {
    return Impl(cs)->try_lock() ? TRUE : FALSE;
}

void LeaveCriticalSection(CRITICAL_SECTION* cs) NO_THREAD_SAFETY_ANALYSIS {
    Impl(cs)->unlock();
}

void DeleteCriticalSection(CRITICAL_SECTION* cs) {
    delete static_cast<std::recursive_mutex*>(cs->m_impl);
    cs->m_impl = nullptr;
}
