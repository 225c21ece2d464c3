#include "Quillmere/core/AddinGlobals.h"


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
// fails to create a helper object; the lock keeps the two pointers sound.
CriticalSection g_comAddInMutex;
IDispatch* g_comAddIn = nullptr;
IDispatch* g_latestFolder = nullptr;

void Replace(IDispatch*& slot, IDispatch* value) {
    if (value)
        value->AddRef();
    IDispatch* old = nullptr;
    {
        CriticalSectionLock lock(g_comAddInMutex);
        old = slot;
        slot = value;
    }
    if (old)
        old->Release();
}

IDispatch* Get(IDispatch* const& slot) {
    CriticalSectionLock lock(g_comAddInMutex);
    if (slot)
        slot->AddRef();
    return slot;
}

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
    Replace(g_comAddIn, comAddIn);
}

IDispatch* GetAddinCOMAddIn() {
    return Get(g_comAddIn);
}

void SetLatestPropertiesFolder(IDispatch* folder) {
    Replace(g_latestFolder, folder);
}

IDispatch* GetLatestPropertiesFolder() {
    return Get(g_latestFolder);
}

void InitializeAddinLocks() {
    for (CRITICAL_SECTION* lock : kAllLocks)
        InitializeCriticalSection(lock);
}

void DeleteAddinLocks() {
    for (CRITICAL_SECTION* lock : kAllLocks)
        DeleteCriticalSection(lock);
}
