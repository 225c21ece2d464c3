#include "platform/win/Event.h"

#include <map>
#include <string>

#include "platform/win/ClockWait.h"
#include "platform/win/Errors.h"
#include "platform/win/Mutex.h"

namespace {

class EventObject : public win::HandleObject {
public:
    EventObject(bool manualReset, bool signalled)
        : m_manualReset(manualReset), m_signalled(signalled) {}

    void Set() {
        win::MutexLock lock(m_mutex);
        m_signalled = true;
        // An auto-reset event releases one waiter; the others keep waiting.
        if (m_manualReset) {
            m_changed.notify_all();
        } else {
            m_changed.notify_one();
        }
        win::WakeClockWaiters();
    }

    void Reset() {
        win::MutexLock lock(m_mutex);
        m_signalled = false;
    }

    DWORD Wait(DWORD timeoutMs) override {
        win::MutexLock lock(m_mutex);
        if (!win::WaitOnClock(m_mutex, m_changed, win::PlatformDeadline(timeoutMs),
                              [this]() NO_THREAD_SAFETY_ANALYSIS { return m_signalled; }))
            return WAIT_TIMEOUT;
        if (!m_manualReset)
            m_signalled = false;
        return WAIT_OBJECT_0;
    }

private:
    const bool m_manualReset;
    win::Mutex m_mutex;
    std::condition_variable m_changed;
    bool m_signalled GUARDED_BY(m_mutex);
};

// Named events live while a handle to them is open. The table is never
// destroyed, so that threads still running at process exit can use it.
struct NamedEvents {
    win::Mutex mutex;
    std::map<std::wstring, std::weak_ptr<EventObject>> events GUARDED_BY(mutex);
};

NamedEvents& Names() {
    static NamedEvents* names = new NamedEvents;
    return *names;
}

}  // namespace

HANDLE CreateEventW(void*, BOOL manualReset, BOOL initialState, const wchar_t* name) {
    if (!name) {
        SetLastError(ERROR_SUCCESS);
        return win::RegisterHandle(std::make_shared<EventObject>(manualReset, initialState));
    }
    NamedEvents& names = Names();
    win::MutexLock lock(names.mutex);
    // Entries of events whose handles are all closed are dropped here.
    std::erase_if(names.events, [](const auto& entry) { return entry.second.expired(); });
    auto& slot = names.events[name];
    if (auto existing = slot.lock()) {
        SetLastError(ERROR_ALREADY_EXISTS);
        return win::RegisterHandle(existing);
    }
    auto created = std::make_shared<EventObject>(manualReset, initialState);
    slot = created;
    SetLastError(ERROR_SUCCESS);
    return win::RegisterHandle(created);
}

BOOL SetEvent(HANDLE event) {
    auto object = win::LookupHandleAs<EventObject>(event);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    object->Set();
    return TRUE;
}

BOOL ResetEvent(HANDLE event) {
    auto object = win::LookupHandleAs<EventObject>(event);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    object->Reset();
    return TRUE;
}
