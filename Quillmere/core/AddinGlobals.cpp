#include "Quillmere/core/AddinGlobals.h"

#include <mutex>

std::atomic<CSyncEngine*> g_pEngine{nullptr};
std::atomic<bool> StopFlag{false};

CRITICAL_SECTION StateLock;
CRITICAL_SECTION OutboxLock;
CRITICAL_SECTION ThreadCountLock;
CRITICAL_SECTION NotificationLock;
CRITICAL_SECTION SpareLock;
CRITICAL_SECTION QueueCheckLock;
CRITICAL_SECTION SendQueueLock;
CRITICAL_SECTION DeleteQueueLock;
CRITICAL_SECTION ChangeListLock;
CRITICAL_SECTION FolderTableLock;
CRITICAL_SECTION FolderCheckLock;

LONG RunningThreadCount = 0;

std::atomic<LCID> g_UILanguage{0x0409};

namespace {

CRITICAL_SECTION* const kAllLocks[] = {
    &StateLock,      &OutboxLock,      &ThreadCountLock, &NotificationLock,
    &SpareLock,      &QueueCheckLock,  &SendQueueLock,   &DeleteQueueLock,
    &ChangeListLock, &FolderTableLock, &FolderCheckLock,
};

// The COMAddIn pointer is set on Outlook's thread but read by any thread that
// fails to create a helper object; the mutex keeps the reference count sound.
std::mutex g_comAddInMutex;
IDispatch* g_comAddIn = nullptr;

}  // namespace

LONG GetRunningThreadCount() {
    EnterCriticalSection(&ThreadCountLock);
    LONG count = RunningThreadCount;
    LeaveCriticalSection(&ThreadCountLock);
    return count;
}

void IncrementRunningThreadCount() {
    EnterCriticalSection(&ThreadCountLock);
    ++RunningThreadCount;
    LeaveCriticalSection(&ThreadCountLock);
}

void DecrementRunningThreadCount() {
    EnterCriticalSection(&ThreadCountLock);
    --RunningThreadCount;
    LeaveCriticalSection(&ThreadCountLock);
}

void SetAddinCOMAddIn(IDispatch* comAddIn) {
    if (comAddIn)
        comAddIn->AddRef();
    IDispatch* old = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_comAddInMutex);
        old = g_comAddIn;
        g_comAddIn = comAddIn;
    }
    if (old)
        old->Release();
}

IDispatch* GetAddinCOMAddIn() {
    std::lock_guard<std::mutex> lock(g_comAddInMutex);
    if (g_comAddIn)
        g_comAddIn->AddRef();
    return g_comAddIn;
}

void InitializeAddinLocks() {
    for (CRITICAL_SECTION* lock : kAllLocks)
        InitializeCriticalSection(lock);
}

void DeleteAddinLocks() {
    for (CRITICAL_SECTION* lock : kAllLocks)
        DeleteCriticalSection(lock);
}
