#include "platform/rdo/RdoContext.h"

#include <map>

#include "platform/rdo/MapiObject.h"
#include "platform/store/Faults.h"
#include "platform/win/Text.h"

namespace rdo {
namespace {

// Per thread, by source: contexts live as long as their objects.
thread_local std::map<std::string, std::weak_ptr<SessionContext>> t_contexts;

HRESULT DescribeSource(const ProfileSource& source, ProfileDescription* out) {
    if (!source.profilePath.empty())
        return LoadProfileFile(source.profilePath, out);
    if (!source.storePaths.empty()) {
        *out = ProfileDescription();
        out->name = source.name;
        for (std::size_t i = 0; i < source.storePaths.size(); ++i)
            out->stores.push_back({source.storePaths[i], i == 0});
        return S_OK;
    }
    return LoadProfile(source.name, out);
}

}  // namespace

MapiIdentity IdentityIn(const SessionContext& context, int kind, const store::Bytes& storeEntryId,
                        const store::Bytes& entryId) {
    MapiIdentity identity;
    identity.kind = static_cast<MapiObjectKind>(kind);
    identity.profileName = context.Source().name;
    identity.profilePath = context.Source().profilePath;
    identity.storePaths = context.Source().storePaths;
    identity.storeEntryId = storeEntryId;
    identity.entryId = entryId;
    return identity;
}

ProfileSource SourceOf(const MapiIdentity& identity) {
    return ProfileSource{identity.profileName, identity.profilePath, identity.storePaths};
}

std::string ProfileSource::Key() const {
    if (!profilePath.empty())
        return "file:" + profilePath;
    if (!storePaths.empty()) {
        std::string key = "stores:";
        for (const std::string& p : storePaths)
            key += p + "|";
        return key;
    }
    return "name:" + win::ToUtf8(name);
}

HRESULT SessionContext::ForThread(const ProfileSource& source,
                                  std::shared_ptr<SessionContext>* out) {
    out->reset();
    auto it = t_contexts.find(source.Key());
    if (it != t_contexts.end()) {
        if (auto existing = it->second.lock()) {
            *out = std::move(existing);
            return S_OK;
        }
    }
    ProfileDescription description;
    HRESULT hr = DescribeSource(source, &description);
    if (FAILED(hr))
        return hr;
    // A default profile asked by "" is kept under its own name too, so that
    // sessions attached to it (which name it) share the context.
    ProfileSource kept = source;
    if (kept.profilePath.empty() && kept.storePaths.empty())
        kept.name = description.name;
    auto context = std::make_shared<SessionContext>(kept, description.name);
    t_contexts[source.Key()] = context;
    t_contexts[kept.Key()] = context;
    *out = std::move(context);
    return S_OK;
}

HRESULT SessionContext::ForStorePath(const std::string& hostPath,
                                     std::shared_ptr<SessionContext>* out) {
    for (auto& [key, weak] : t_contexts) {
        if (auto existing = weak.lock(); existing && existing->HasStore(hostPath)) {
            *out = std::move(existing);
            return S_OK;
        }
    }
    return ForThread(ProfileSource{{}, {}, {hostPath}}, out);
}

bool SessionContext::HasStore(const std::string& hostPath) const {
    ProfileDescription description;
    if (FAILED(Describe(&description)))
        return false;
    for (const ProfileStore& s : description.stores) {
        if (s.hostPath == hostPath)
            return true;
    }
    return false;
}

void SessionContext::ForgetThreadContexts() {
    t_contexts.clear();
}

HRESULT SessionContext::Describe(ProfileDescription* out) const {
    return DescribeSource(m_source, out);
}

HRESULT SessionContext::StoreAt(const std::string& hostPath, store::Session** out) {
    for (auto& [path, session] : m_sessions) {
        if (path == hostPath) {
            *out = session.get();
            return S_OK;
        }
    }
    std::unique_ptr<store::Session> session;
    HRESULT hr = store::Session::Open(hostPath, &session);
    if (FAILED(hr))
        return hr;
    *out = session.get();
    m_sessions.emplace_back(hostPath, std::move(session));
    return S_OK;
}

HRESULT SessionContext::OpenAllStores() {
    ProfileDescription description;
    HRESULT hr = Describe(&description);
    if (FAILED(hr))
        return hr;
    for (const ProfileStore& s : description.stores) {
        store::Session* session = nullptr;
        hr = StoreAt(s.hostPath, &session);
        if (FAILED(hr))
            return hr;
    }
    return S_OK;
}

HRESULT SessionContext::Stores(std::vector<store::Session*>* out) {
    out->clear();
    ProfileDescription description;
    HRESULT hr = Describe(&description);
    if (FAILED(hr))
        return hr;
    for (const ProfileStore& s : description.stores) {
        store::Session* session = nullptr;
        if (SUCCEEDED(StoreAt(s.hostPath, &session)))
            out->push_back(session);
    }
    return S_OK;
}

HRESULT SessionContext::DefaultStore(store::Session** out) {
    *out = nullptr;
    ProfileDescription description;
    HRESULT hr = Describe(&description);
    if (FAILED(hr))
        return hr;
    const ProfileStore* chosen = nullptr;
    for (const ProfileStore& s : description.stores) {
        if (s.isDefault) {
            chosen = &s;
            break;
        }
    }
    if (!chosen && !description.stores.empty())
        chosen = &description.stores.front();
    if (!chosen)
        return MAPI_E_NOT_FOUND;
    return StoreAt(chosen->hostPath, out);
}

HRESULT SessionContext::StoreByGuid(const GUID& guid, store::Session** out) {
    *out = nullptr;
    ProfileDescription description;
    HRESULT hr = Describe(&description);
    if (FAILED(hr))
        return hr;
    for (const ProfileStore& s : description.stores) {
        GUID storeGuid{};
        if (FAILED(store::Session::PeekStoreGuid(s.hostPath, &storeGuid)) || storeGuid != guid)
            continue;
        // The server of a store that cannot be reached refuses to open it.
        hr = store::CurrentFault(store::FaultSite::OpenObject, guid);
        if (FAILED(hr))
            return hr;
        return StoreAt(s.hostPath, out);
    }
    return MAPI_E_NOT_FOUND;
}

HRESULT SessionContext::StoreByEntryId(const store::Bytes& storeEntryId, store::Session** out) {
    *out = nullptr;
    auto parts = store::ParseEntryId(storeEntryId);
    if (!parts)
        return MAPI_E_INVALID_ENTRYID;
    if (parts->type != store::ObjectType::Store)
        return MAPI_E_INVALID_ENTRYID;
    return StoreByGuid(parts->storeGuid, out);
}

HRESULT SessionContext::StoreOfEntryId(const store::Bytes& entryId, store::Session** out) {
    *out = nullptr;
    auto parts = store::ParseEntryId(entryId);
    if (!parts)
        return MAPI_E_INVALID_ENTRYID;
    return StoreByGuid(parts->storeGuid, out);
}

std::vector<store::AddressEntry> SessionContext::AddressBook() const {
    ProfileDescription description;
    if (FAILED(Describe(&description)))
        return {};
    return std::move(description.addressBook);
}

}  // namespace rdo
