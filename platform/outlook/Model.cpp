// The object model's shared state: store lookup and the hub that turns the
// store's change notifications into item events on the UI thread.
#include <algorithm>

#include "platform/outlook/ObjectModel.h"

#include <functional>
#include <mutex>

#include "platform/win/Threads.h"

namespace outlook {
namespace {

std::mutex g_observerMutex;
std::function<void(DWORD)> g_foreignThreadObserver;

}  // namespace

void SetForeignThreadCallObserver(std::function<void(DWORD threadId)> observer) {
    std::lock_guard lock(g_observerMutex);
    g_foreignThreadObserver = std::move(observer);
}

}  // namespace outlook

namespace outlook::impl {

void ApplicationLock::NoteThread() {
    const DWORD ui = uiThread.load();
    const DWORD self = GetCurrentThreadId();
    if (ui == 0 || ui == self)
        return;
    std::function<void(DWORD)> observer;
    {
        std::lock_guard lock(g_observerMutex);
        observer = g_foreignThreadObserver;
    }
    if (observer)
        observer(self);
}

StoreEntry* Model::StoreByGuid(const GUID& guid) {
    for (auto& s : stores) {
        if (s.guid == guid)
            return &s;
    }
    return nullptr;
}

StoreEntry* Model::StoreByEntryId(const Bytes& storeEntryId) {
    for (auto& s : stores) {
        if (s.entryId == storeEntryId)
            return &s;
    }
    return nullptr;
}

StoreEntry* Model::StoreOfObject(const Bytes& objectEntryId) {
    auto parts = store::ParseEntryId(objectEntryId);
    return parts ? StoreByGuid(parts->storeGuid) : nullptr;
}

std::size_t IndexOf(const std::shared_ptr<Model>& model, const StoreEntry& store) {
    return static_cast<std::size_t>(&store - model->stores.data());
}

HRESULT Model::OpenItem(const Bytes& entryId, IDispatch** out) {
    *out = nullptr;
    StoreEntry* s = StoreOfObject(entryId);
    if (!s)
        return MAPI_E_NOT_FOUND;
    std::unique_ptr<store::Message> message;
    HRESULT hr = s->session->OpenMessage(entryId, &message);
    if (FAILED(hr))
        return hr;
    return MakeItem(*s, std::move(message), out);
}

void Model::StartEvents() {
    // The observer holds only a weak reference: the hub must not keep the
    // model alive, and the model's destruction unadvises it first.
    std::weak_ptr<Model> weak = weak_from_this();
    observerCookie = store::AdviseChanges([weak](const store::ChangeNotification& change) {
        if (auto model = weak.lock())
            model->OnChange(change);
    });
}

void Model::StopEvents() {
    eventsStopped = true;
    if (observerCookie != 0) {
        store::UnadviseChanges(observerCookie);
        observerCookie = 0;
    }
    win::MutexLock lock(hubMutex);
    for (auto& weak : sources) {
        if (auto source = weak.lock())
            source->alive = false;
    }
    sources.clear();
}

void Model::AddSource(const std::shared_ptr<ItemsEventSource>& source) {
    win::MutexLock lock(hubMutex);
    sources.push_back(source);
}

void Model::RemoveSource(const ItemsEventSource* source) {
    win::MutexLock lock(hubMutex);
    std::erase_if(sources, [source](const std::weak_ptr<ItemsEventSource>& weak) {
        auto s = weak.lock();
        return !s || s.get() == source;
    });
}

// Any thread, possibly inside a write of this object model; calls of this
// observer are serialised by the store. It must not take Model::mutex: a
// thread holding that lock may be committing a write right now, and the
// store would then wait for this call to end before telling this observer
// of that write. So the item is read through the store's observer session
// (used nowhere else) and its content kept, for the case that it is gone
// again by the time the UI thread delivers the event.
void Model::OnChange(const store::ChangeNotification& change) {
    if (eventsStopped || change.objectType != store::ObjectType::Message || change.associated)
        return;
    std::vector<std::shared_ptr<ItemsEventSource>> targets;
    {
        win::MutexLock lock(hubMutex);
        for (auto& weak : sources) {
            auto source = weak.lock();
            if (source && source->storeGuid == change.storeGuid &&
                source->folderEntryId == change.folderEntryId) {
                targets.push_back(std::move(source));
            }
        }
    }
    if (targets.empty())
        return;
    auto snapshot = std::make_shared<mapi::MessageContent>();
    if (change.event != store::ChangeEvent::Removed) {
        StoreEntry* s = StoreByGuid(change.storeGuid);  // the list is fixed after Create
        std::unique_ptr<store::Message> message;
        if (!s || !s->observerSession ||
            FAILED(s->observerSession->OpenMessage(change.entryId, &message)) ||
            FAILED(message->GetContent(snapshot.get()))) {
            return;  // gone already: its removal follows as an event of its own
        }
    }
    for (auto& source : targets) {
        options.ui->Post([source, change, snapshot] { source->Deliver(change, *snapshot); });
    }
}

void ItemsEventSource::Deliver(const store::ChangeNotification& change,
                               const mapi::MessageContent& snapshot) {
    if (!alive || point.SinkCount() == 0)
        return;
    if (change.event == store::ChangeEvent::Removed) {
        point.Fire(dispid::kEventItemRemove);
        return;
    }
    auto m = model.lock();
    if (!m)
        return;
    CComPtr<IDispatch> item;
    {
        std::lock_guard lock(m->mutex);
        StoreEntry* s = m->StoreByGuid(storeGuid);
        if (!s)
            return;
        // The item as it is now; one that has vanished meanwhile is handed
        // over as an unsaved copy of what the change left.
        std::unique_ptr<store::Message> message;
        if (FAILED(s->session->OpenMessage(change.entryId, &message)) ||
            message->FolderEntryId() != folderEntryId) {
            message.reset();
            store::Folder folder;
            if (FAILED(s->session->OpenFolder(folderEntryId, &folder)) ||
                FAILED(folder.CreateMessage(false, &message)) ||
                FAILED(message->SetContent(snapshot))) {
                return;
            }
        }
        if (FAILED(m->MakeItem(*s, std::move(message), &item)))
            return;
    }
    CComVariant arg(static_cast<IDispatch*>(item));
    point.Fire(change.event == store::ChangeEvent::Added ? dispid::kEventItemAdd
                                                         : dispid::kEventItemChange,
               &arg, 1);
}

}  // namespace outlook::impl
