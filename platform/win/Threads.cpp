#include "platform/win/Threads.h"

#include <limits.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <vector>

#include "platform/win/ClockWait.h"
#include "platform/win/Errors.h"
#include "platform/win/Mutex.h"

namespace {

class ThreadObject : public win::HandleObject {
public:
    // Signalled once the thread has ended (after its thread_local
    // destructors, see CurrentThread).
    DWORD Wait(DWORD timeoutMs) override {
        win::MutexLock lock(m_mutex);
        return win::WaitOnClock(m_mutex, m_changed, win::PlatformDeadline(timeoutMs),
                                [this]() NO_THREAD_SAFETY_ANALYSIS { return m_ended; })
                   ? WAIT_OBJECT_0
                   : WAIT_TIMEOUT;
    }

    DWORD ExitCode() {
        win::MutexLock lock(m_mutex);
        return m_ended ? m_exitCode : STILL_ACTIVE;
    }

    void Finish(DWORD exitCode) {
        win::MutexLock lock(m_mutex);
        m_exitCode = exitCode;
        m_ended = true;
        m_changed.notify_all();
        win::WakeClockWaiters();
    }

    // Called by the new thread before it runs its start routine: publishes
    // its id and waits while it is suspended (a platform wait: a suspended
    // thread lets the virtual clock move on).
    void Started(DWORD id) {
        win::MutexLock lock(m_mutex);
        m_id = id;
        m_changed.notify_all();
        win::WaitOnClock(m_mutex, m_changed, win::PlatformDeadline(INFINITE),
                         [this]() NO_THREAD_SAFETY_ANALYSIS { return m_suspendCount == 0; });
    }

    // Called by the creator: waits until the new thread has told its id.
    // Not a platform wait: the creator counts as running meanwhile, so no
    // platform time passes while a thread starts.
    DWORD WaitForId() {
        win::MutexLock lock(m_mutex);
        lock.Wait(m_changed, [this]() NO_THREAD_SAFETY_ANALYSIS { return m_id != 0; });
        return m_id;
    }

    void SetSuspended() {
        win::MutexLock lock(m_mutex);
        m_suspendCount = 1;
    }

    DWORD Resume() {
        win::MutexLock lock(m_mutex);
        DWORD previous = m_suspendCount;
        if (m_suspendCount > 0 && --m_suspendCount == 0) {
            m_changed.notify_all();
            win::WakeClockWaiters();
        }
        return previous;
    }

private:
    win::Mutex m_mutex;
    std::condition_variable m_changed;
    bool m_ended GUARDED_BY(m_mutex) = false;
    DWORD m_exitCode GUARDED_BY(m_mutex) = STILL_ACTIVE;
    DWORD m_id GUARDED_BY(m_mutex) = 0;
    DWORD m_suspendCount GUARDED_BY(m_mutex) = 0;
};

enum class StartKind { kRuntimeEx, kRuntime, kKernel };

struct StartRecord {
    std::shared_ptr<ThreadObject> object;
    StartKind kind;
    void* start;  // one of the three start routine types, by kind
    void* arg;
    HANDLE autoClose = nullptr;  // _beginthread: the handle to drop at the end
};

// The runtime's record of the calling thread. It is the first thread_local
// object a started thread constructs, so it is destroyed last: the thread's
// handle is signalled only after every other thread_local destructor ran.
struct CurrentThread {
    std::shared_ptr<ThreadObject> object;
    DWORD exitCode = 0;
    HANDLE autoClose = nullptr;

    ~CurrentThread() {
        if (object)
            object->Finish(exitCode);
        if (autoClose)
            win::UnregisterHandle(autoClose);
        if (object)
            win::UncountThread();
    }
};

thread_local CurrentThread t_current;

DWORD HostThreadId() {
    thread_local DWORD id = static_cast<DWORD>(syscall(SYS_gettid));
    return id;
}

void* Trampoline(void* p) {
    win::AdoptStartingThreadCount();
    StartRecord record = *static_cast<StartRecord*>(p);
    delete static_cast<StartRecord*>(p);
    t_current.object = record.object;
    t_current.autoClose = record.autoClose;
    record.object->Started(HostThreadId());
    record.object.reset();  // t_current keeps it
    // _endthreadex and ExitThread leave from inside these calls through
    // pthread_exit, which unwinds this frame too.
    switch (record.kind) {
        case StartKind::kRuntimeEx:
            t_current.exitCode = reinterpret_cast<unsigned (*)(void*)>(record.start)(record.arg);
            break;
        case StartKind::kRuntime:
            reinterpret_cast<void (*)(void*)>(record.start)(record.arg);
            t_current.exitCode = 0;
            break;
        case StartKind::kKernel:
            t_current.exitCode = reinterpret_cast<DWORD (*)(void*)>(record.start)(record.arg);
            break;
    }
    return nullptr;
}

// Starts a thread; returns its handle, or null with errno set.
HANDLE StartThread(StartKind kind, void* start, void* arg, std::size_t stackSize, bool suspended,
                   bool autoClose, DWORD* threadId) {
    if (!start) {
        errno = EINVAL;
        return nullptr;
    }
    auto object = std::make_shared<ThreadObject>();
    if (suspended)
        object->SetSuspended();
    HANDLE handle = win::RegisterHandle(object);
    auto* record = new StartRecord{object, kind, start, arg, autoClose ? handle : nullptr};

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (stackSize != 0) {
        const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        const std::size_t minimum = static_cast<std::size_t>(PTHREAD_STACK_MIN);
        std::size_t size = stackSize < minimum ? minimum : stackSize;
        size = (size + page - 1) / page * page;
        pthread_attr_setstacksize(&attr, size);
    }
    // Counted from now on, so that no platform time passes between the
    // creation and the thread's first wait.
    win::CountStartingThread();
    pthread_t thread;
    int rc = pthread_create(&thread, &attr, &Trampoline, record);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        win::GiveBackStartingThreadCount();
        delete record;
        win::UnregisterHandle(handle);
        errno = rc;
        return nullptr;
    }
    DWORD id = object->WaitForId();
    if (threadId)
        *threadId = id;
    return handle;
}

[[noreturn]] void EndCurrentThread(DWORD exitCode) {
    t_current.exitCode = exitCode;
    pthread_exit(nullptr);
}

// Thread-local slots. A slot's generation is 0 while free; each allocation
// gives it a new one, so values a thread stored under an earlier allocation
// of the same slot read as null.
constexpr DWORD kTlsSlots = 1088;
std::atomic<ULONGLONG> g_tlsGeneration[kTlsSlots];
win::Mutex g_tlsMutex;  // serialises TlsAlloc/TlsFree
ULONGLONG g_tlsNextGeneration GUARDED_BY(g_tlsMutex) = 1;

struct TlsEntry {
    ULONGLONG generation = 0;
    void* value = nullptr;
};
thread_local std::vector<TlsEntry> t_tls;

}  // namespace

std::uintptr_t _beginthreadex(void*, unsigned stackSize, unsigned (*start)(void*), void* arg,
                              unsigned initflag, unsigned* threadId) {
    if ((initflag & ~CREATE_SUSPENDED) != 0) {
        errno = EINVAL;
        return 0;
    }
    DWORD id = 0;
    HANDLE h = StartThread(StartKind::kRuntimeEx, reinterpret_cast<void*>(start), arg, stackSize,
                           (initflag & CREATE_SUSPENDED) != 0, false, &id);
    if (h && threadId)
        *threadId = id;
    return reinterpret_cast<std::uintptr_t>(h);
}

void _endthreadex(unsigned exitCode) {
    EndCurrentThread(exitCode);
}

std::uintptr_t _beginthread(void (*start)(void*), unsigned stackSize, void* arg) {
    HANDLE h = StartThread(StartKind::kRuntime, reinterpret_cast<void*>(start), arg, stackSize,
                           false, true, nullptr);
    return h ? reinterpret_cast<std::uintptr_t>(h) : static_cast<std::uintptr_t>(-1);
}

void _endthread() {
    EndCurrentThread(0);
}

HANDLE CreateThread(void*, std::size_t stackSize, LPTHREAD_START_ROUTINE start, void* param,
                    DWORD flags, DWORD* threadId) {
    if (!start || (flags & ~CREATE_SUSPENDED) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    HANDLE h = StartThread(StartKind::kKernel, reinterpret_cast<void*>(start), param, stackSize,
                           (flags & CREATE_SUSPENDED) != 0, false, threadId);
    if (!h)
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return h;
}

void ExitThread(DWORD exitCode) {
    EndCurrentThread(exitCode);
}

DWORD ResumeThread(HANDLE thread) {
    auto object = win::LookupHandleAs<ThreadObject>(thread);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return static_cast<DWORD>(-1);
    }
    return object->Resume();
}

BOOL GetExitCodeThread(HANDLE thread, DWORD* exitCode) {
    auto object = win::LookupHandleAs<ThreadObject>(thread);
    if (!object || !exitCode) {
        SetLastError(object ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *exitCode = object->ExitCode();
    return TRUE;
}

DWORD GetCurrentThreadId() {
    return HostThreadId();
}

DWORD GetCurrentProcessId() {
    return static_cast<DWORD>(getpid());
}

DWORD TlsAlloc() {
    win::MutexLock lock(g_tlsMutex);
    for (DWORD i = 0; i < kTlsSlots; ++i) {
        if (g_tlsGeneration[i].load(std::memory_order_acquire) == 0) {
            g_tlsGeneration[i].store(g_tlsNextGeneration++, std::memory_order_release);
            return i;
        }
    }
    SetLastError(ERROR_NO_MORE_ITEMS);
    return TLS_OUT_OF_INDEXES;
}

BOOL TlsFree(DWORD index) {
    win::MutexLock lock(g_tlsMutex);
    if (index >= kTlsSlots || g_tlsGeneration[index].load(std::memory_order_acquire) == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    g_tlsGeneration[index].store(0, std::memory_order_release);
    return TRUE;
}

void* TlsGetValue(DWORD index) {
    const ULONGLONG generation =
        index < kTlsSlots ? g_tlsGeneration[index].load(std::memory_order_acquire) : 0;
    if (generation == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    SetLastError(ERROR_SUCCESS);
    if (index >= t_tls.size() || t_tls[index].generation != generation)
        return nullptr;
    return t_tls[index].value;
}

BOOL TlsSetValue(DWORD index, void* value) {
    const ULONGLONG generation =
        index < kTlsSlots ? g_tlsGeneration[index].load(std::memory_order_acquire) : 0;
    if (generation == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (index >= t_tls.size())
        t_tls.resize(index + 1);
    t_tls[index] = TlsEntry{generation, value};
    return TRUE;
}
