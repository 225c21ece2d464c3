#include "platform/win/Power.h"

#include <map>

#include "platform/win/Mutex.h"
#include "platform/win/Threads.h"

namespace {

constexpr EXECUTION_STATE kKnownFlags = ES_SYSTEM_REQUIRED | ES_DISPLAY_REQUIRED | ES_USER_PRESENT |
                                        ES_AWAYMODE_REQUIRED | ES_CONTINUOUS;

// Continuous states by thread id. Never destroyed, so that threads ending
// during process exit can still drop their entry.
struct States {
    win::Mutex mutex;
    std::map<DWORD, EXECUTION_STATE> byThread GUARDED_BY(mutex);
};

States& AllStates() {
    static States* states = new States;
    return *states;
}

// A thread's state, removed from the table when the thread ends.
struct ThreadState {
    EXECUTION_STATE state = ES_CONTINUOUS;
    DWORD id = 0;  // nonzero while the table holds an entry for this thread

    void Publish() {
        States& all = AllStates();
        win::MutexLock lock(all.mutex);
        id = GetCurrentThreadId();
        all.byThread[id] = state;
    }

    ~ThreadState() {
        if (id == 0)
            return;
        States& all = AllStates();
        win::MutexLock lock(all.mutex);
        all.byThread.erase(id);
    }
};

thread_local ThreadState t_state;

}  // namespace

EXECUTION_STATE SetThreadExecutionState(EXECUTION_STATE flags) {
    if ((flags & ~kKnownFlags) || (flags & ES_USER_PRESENT) ||
        ((flags & ES_AWAYMODE_REQUIRED) && !(flags & ES_CONTINUOUS))) {
        return 0;
    }
    const EXECUTION_STATE previous = t_state.state;
    if (flags & ES_CONTINUOUS) {
        t_state.state = flags;
        t_state.Publish();
    }
    return previous;
}

namespace win {

EXECUTION_STATE ProcessExecutionStateForTesting() {
    States& all = AllStates();
    win::MutexLock lock(all.mutex);
    EXECUTION_STATE result = 0;
    for (const auto& [id, state] : all.byThread)
        result |= state & ~ES_CONTINUOUS;
    return result;
}

}  // namespace win
