#include "platform/rdo/RdoContext.h"

#include <map>

#include "platform/store/Faults.h"

namespace rdo {
namespace {

// Per thread, by the name asked for: contexts live as long as their objects.
thread_local std::map<std::wstring, std::weak_ptr<SessionContext>> t_contexts;

}  // namespace

HRESULT SessionContext::ForThread(const std::wstring& profileName,
                                  std::shared_ptr<SessionContext>* out) {
    out->reset();
    auto it = t_contexts.find(profileName);
    if (it != t_contexts.end()) {
        if (auto existing = it->second.lock()) {
            *out = std::move(existing);
            return S_OK;
        }
    }
    ProfileDescription description;
    HRESULT hr = LoadProfile(profileName, &description);
    if (FAILED(hr))
        return hr;
    auto context = std::make_shared<SessionContext>(description.name);
    t_contexts[profileName] = context;
    if (description.name != profileName)
        t_contexts[description.name] = context;
    *out = std::move(context);
    return S_OK;
}

void SessionContext::ForgetThreadContexts() {
    t_contexts.clear();
}

HRESULT SessionContext::Describe(ProfileDescription* out) const {
    return LoadProfile(m_profileName, out);
}

HRESULT SessionContext::Open(const std::string& hostPath, store::Session** out) {
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
        hr = Open(s.hostPath, &session);
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
        if (SUCCEEDED(Open(s.hostPath, &session)))
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
    return Open(chosen->hostPath, out);
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
        return Open(s.hostPath, out);
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
