#include "platform/store/Notifications.h"

#include <memory>
#include <mutex>

#include "platform/store/StoreDatabase.h"

namespace store {
namespace {

struct Observer {
    ULONG cookie = 0;
    ChangeObserver callback;
    // Held while the callback runs; Unadvise takes it to wait for a running
    // call. Recursive so that an observer may unadvise itself.
    std::recursive_mutex running;
    bool active = true;  // guarded by running
};

struct Registry {
    std::mutex lock;
    ULONG nextCookie = 1;
    std::vector<std::shared_ptr<Observer>> observers;  // guarded by lock
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
    std::lock_guard<std::mutex> guard(r.lock);
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
        std::lock_guard<std::mutex> guard(r.lock);
        for (auto it = r.observers.begin(); it != r.observers.end(); ++it) {
            if ((*it)->cookie == cookie) {
                entry = *it;
                r.observers.erase(it);
                break;
            }
        }
    }
    if (entry) {
        std::lock_guard<std::recursive_mutex> wait(entry->running);
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
        std::lock_guard<std::mutex> guard(r.lock);
        snapshot = r.observers;
    }
    for (const auto& change : changes) {
        for (const auto& entry : snapshot) {
            std::lock_guard<std::recursive_mutex> call(entry->running);
            if (entry->active) {
                entry->callback(change);
            }
        }
    }
}

}  // namespace store
