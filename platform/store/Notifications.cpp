#include "platform/store/Notifications.h"

#include <memory>

#include "platform/store/StoreDatabase.h"
#include "platform/win/CriticalSection.h"

namespace store {
namespace {

struct Observer {
    ULONG cookie = 0;
    ChangeObserver callback;
    // Held while the callback runs; Unadvise takes it to wait for a running
    // call. Re-entrant, so that an observer may unadvise itself.
    CriticalSection running;
    bool active GUARDED_BY(running) = true;
};

struct Registry {
    CriticalSection lock;
    ULONG nextCookie GUARDED_BY(lock) = 1;
    std::vector<std::shared_ptr<Observer>> observers GUARDED_BY(lock);
};

Registry& TheRegistry() {
    static Registry* registry = new Registry();  // never destroyed: observers may outlive statics
    return *registry;
}

}  // namespace

ULONG AdviseChanges(ChangeObserver observer) {
    Registry& r = TheRegistry();
    auto entry = std::make_shared<Observer>();
    entry->callback = std::move(observer);
    CriticalSectionLock guard(r.lock);
    entry->cookie = r.nextCookie++;
    if (r.nextCookie == 0) {
        r.nextCookie = 1;
    }
    r.observers.push_back(entry);
    return entry->cookie;
}

void UnadviseChanges(ULONG cookie) {
    Registry& r = TheRegistry();
    std::shared_ptr<Observer> entry;
    {
        CriticalSectionLock guard(r.lock);
        for (auto it = r.observers.begin(); it != r.observers.end(); ++it) {
            if ((*it)->cookie == cookie) {
                entry = *it;
                r.observers.erase(it);
                break;
            }
        }
    }
    if (entry) {
        CriticalSectionLock wait(entry->running);
        entry->active = false;
    }
}

void DispatchChanges(const std::vector<ChangeNotification>& changes) {
    if (changes.empty()) {
        return;
    }
    Registry& r = TheRegistry();
    std::vector<std::shared_ptr<Observer>> snapshot;
    {
        CriticalSectionLock guard(r.lock);
        snapshot = r.observers;
    }
    for (const auto& change : changes) {
        for (const auto& entry : snapshot) {
            CriticalSectionLock call(entry->running);
            if (entry->active) {
                entry->callback(change);
            }
        }
    }
}

}  // namespace store
