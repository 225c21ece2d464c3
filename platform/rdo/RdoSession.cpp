#include "platform/rdo/RdoSession.h"

#include "platform/msgfile/MsgFile.h"
#include "platform/outlook/MapiObjects.h"
#include "platform/rdo/MapiObject.h"
#include "platform/rdo/PropVariant.h"
#include "platform/rdo/RdoFolder.h"
#include "platform/rdo/RdoMessage.h"
#include "platform/store/Folder.h"
#include "platform/store/Message.h"
#include "platform/win/Paths.h"
#include "platform/win/Text.h"

namespace rdo {
using namespace mapi;
namespace {

std::wstring View(BSTR text) {
    return std::wstring(text ? text : L"", SysStringLen(text));
}

bool IsBlank(const VARIANT& v) {
    return v.vt == VT_EMPTY || v.vt == VT_NULL || IsMissingArgument(v) ||
           (v.vt == VT_BSTR && SysStringLen(v.bstrVal) == 0);
}

// Open flags are passed through as the callers give them; only their form
// is checked.
bool FlagsUsable(const VARIANT& flags) {
    if (IsBlank(flags))
        return true;
    CComVariant asLong;
    return SUCCEEDED(VariantChangeType(&asLong, &flags, 0, VT_I4));
}

}  // namespace

#define RDO_LOGGED_ON()                    \
    do {                                   \
        if (!m_context)                    \
            return MAPI_E_NOT_INITIALIZED; \
    } while (0)

HRESULT RdoSession::Logon(VARIANT profileName, VARIANT, VARIANT, VARIANT, VARIANT, VARIANT) {
    RDO_OWNER_THREAD_ONLY();
    if (m_context)
        return S_OK;
    std::wstring name;
    if (!IsBlank(profileName)) {
        if (profileName.vt != VT_BSTR)
            return E_INVALIDARG;
        name = View(profileName.bstrVal);
    }
    std::shared_ptr<SessionContext> context;
    HRESULT hr = SessionContext::ForThread(name, &context);
    if (FAILED(hr))
        return hr == MAPI_E_NOT_FOUND ? MAPI_E_LOGON_FAILED : hr;
    hr = context->OpenAllStores();
    if (FAILED(hr))
        return hr == MAPI_E_TIMEOUT ? hr : MAPI_E_LOGON_FAILED;
    m_context = std::move(context);
    return S_OK;
}

HRESULT RdoSession::Logoff() {
    RDO_OWNER_THREAD_ONLY();
    m_context.reset();
    return S_OK;
}

HRESULT RdoSession::GetLoggedOn(VARIANT_BOOL* loggedOn) {
    RDO_OWNER_THREAD_ONLY();
    if (!loggedOn)
        return E_POINTER;
    *loggedOn = m_context ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

HRESULT RdoSession::GetMAPIOBJECT(IUnknown** mapiSession) {
    RDO_OWNER_THREAD_ONLY();
    if (!ClearOut(mapiSession))
        return E_POINTER;
    RDO_LOGGED_ON();
    return CreateMapiObject(
        IdentityIn(*m_context, static_cast<int>(MapiObjectKind::Session), {}, {}), mapiSession);
}

HRESULT RdoSession::PutMAPIOBJECT(IUnknown* mapiSession) {
    RDO_OWNER_THREAD_ONLY();
    ProfileSource source;
    CComPtr<IQmMapiSession> clientSession;
    if (const MapiIdentity* identity = MapiIdentityOf(mapiSession)) {
        if (identity->kind != MapiObjectKind::Session)
            return E_INVALIDARG;
        source = SourceOf(*identity);
    } else if (mapiSession && SUCCEEDED(mapiSession->QueryInterface(
                                  IID_IQmMapiSession, reinterpret_cast<void**>(&clientSession)))) {
        // The mail client's own session: its profile file, else its stores
        // (the default one first).
        outlook::MapiProfileInfo info;
        if (FAILED(clientSession->GetProfileInfo(&info)))
            return MAPI_E_LOGON_FAILED;
        source.name = info.profileName;
        source.profilePath = info.profilePath;
        if (info.profilePath.empty()) {
            for (const auto& s : info.stores) {
                if (s.isDefault)
                    source.storePaths.insert(source.storePaths.begin(), s.hostPath);
                else
                    source.storePaths.push_back(s.hostPath);
            }
            if (source.storePaths.empty())
                return MAPI_E_LOGON_FAILED;
        }
    } else {
        return E_INVALIDARG;
    }
    std::shared_ptr<SessionContext> context;
    HRESULT hr = SessionContext::ForThread(source, &context);
    if (FAILED(hr))
        return MAPI_E_LOGON_FAILED;
    m_context = std::move(context);
    return S_OK;
}

HRESULT RdoSession::ClearOption(LONG) {
    RDO_OWNER_THREAD_ONLY();
    return S_OK;
}

HRESULT RdoSession::GetProfileName(BSTR* name) {
    RDO_OWNER_THREAD_ONLY();
    if (!m_context) {
        PutText(L"", name);
        return MAPI_E_NOT_INITIALIZED;
    }
    return PutText(m_context->ProfileName(), name);
}

HRESULT RdoSession::GetConnectionMode(LONG* mode) {
    RDO_OWNER_THREAD_ONLY();
    if (!mode)
        return E_POINTER;
    *mode = 0;
    RDO_LOGGED_ON();
    ProfileDescription description;
    HRESULT hr = m_context->Describe(&description);
    if (FAILED(hr))
        return hr;
    *mode = description.connectionMode;
    return S_OK;
}

HRESULT RdoSession::GetExchangeVersion(BSTR* version) {
    RDO_OWNER_THREAD_ONLY();
    ProfileDescription description;
    HRESULT hr = m_context ? m_context->Describe(&description) : MAPI_E_NOT_INITIALIZED;
    HRESULT put = PutText(description.exchangeVersion, version);
    return FAILED(hr) ? hr : put;
}

HRESULT RdoSession::GetDefaultFolder(LONG folderType, QMRMAPIFolder** folder) {
    RDO_OWNER_THREAD_ONLY();
    if (!ClearOut(folder))
        return E_POINTER;
    RDO_LOGGED_ON();
    store::Session* session = nullptr;
    HRESULT hr = m_context->DefaultStore(&session);
    if (FAILED(hr))
        return hr;
    CComPtr<RdoStore> defaultStore = com::Make<RdoStore>(m_context, session);
    if (!defaultStore)
        return E_OUTOFMEMORY;
    return defaultStore->GetDefaultFolder(folderType, folder);
}

HRESULT RdoSession::StoreFor(BSTR storeId, const store::Bytes& entryId, store::Session** out) {
    if (SysStringLen(storeId) == 0)
        return m_context->StoreOfEntryId(entryId, out);
    auto storeBytes = BytesFromIdText(storeId);
    if (!storeBytes)
        return MAPI_E_INVALID_ENTRYID;
    return m_context->StoreByEntryId(*storeBytes, out);
}

HRESULT RdoSession::GetFolderFromID(BSTR entryId, BSTR storeId, VARIANT flags,
                                    QMRMAPIFolder** folder) {
    RDO_OWNER_THREAD_ONLY();
    if (!ClearOut(folder))
        return E_POINTER;
    RDO_LOGGED_ON();
    if (!FlagsUsable(flags))
        return MAPI_E_UNKNOWN_FLAGS;
    auto id = BytesFromIdText(entryId);
    if (!id || id->empty())
        return MAPI_E_INVALID_ENTRYID;
    store::Session* session = nullptr;
    HRESULT hr = StoreFor(storeId, *id, &session);
    if (FAILED(hr))
        return hr;
    store::Folder found;
    hr = session->OpenFolder(*id, &found);
    if (FAILED(hr))
        return hr;
    return PutObject(com::Make<RdoFolder>(m_context, found), folder);
}

HRESULT RdoSession::GetMessageFromID(BSTR entryId, BSTR storeId, VARIANT flags,
                                     QMRMessage** message) {
    RDO_OWNER_THREAD_ONLY();
    if (!ClearOut(message))
        return E_POINTER;
    RDO_LOGGED_ON();
    if (!FlagsUsable(flags))
        return MAPI_E_UNKNOWN_FLAGS;
    auto id = BytesFromIdText(entryId);
    if (!id || id->empty())
        return MAPI_E_INVALID_ENTRYID;
    store::Session* session = nullptr;
    HRESULT hr = StoreFor(storeId, *id, &session);
    if (FAILED(hr))
        return hr;
    std::unique_ptr<store::Message> opened;
    hr = session->OpenMessage(*id, &opened);
    if (FAILED(hr))
        return hr;
    return PutObject(MakeStoreMessage(m_context, std::move(opened)), message);
}

HRESULT RdoSession::GetStoreFromID(BSTR storeId, VARIANT flags, QMRRDOStore** result) {
    RDO_OWNER_THREAD_ONLY();
    if (!ClearOut(result))
        return E_POINTER;
    RDO_LOGGED_ON();
    if (!FlagsUsable(flags))
        return MAPI_E_UNKNOWN_FLAGS;
    auto id = BytesFromIdText(storeId);
    if (!id || id->empty())
        return MAPI_E_INVALID_ENTRYID;
    store::Session* session = nullptr;
    HRESULT hr = m_context->StoreByEntryId(*id, &session);
    if (FAILED(hr))
        return hr;
    return PutObject(com::Make<RdoStore>(m_context, session), result);
}

HRESULT RdoSession::GetStores(QMRRDOStores** stores) {
    RDO_OWNER_THREAD_ONLY();
    if (!ClearOut(stores))
        return E_POINTER;
    RDO_LOGGED_ON();
    return PutObject(com::Make<RdoStores>(m_context), stores);
}

HRESULT RdoSession::GetAccounts(QMRAccounts** accounts) {
    RDO_OWNER_THREAD_ONLY();
    if (!ClearOut(accounts))
        return E_POINTER;
    RDO_LOGGED_ON();
    ProfileDescription description;
    HRESULT hr = m_context->Describe(&description);
    if (FAILED(hr))
        return hr;
    return PutObject(com::Make<RdoAccounts>(std::move(description.accounts)), accounts);
}

HRESULT RdoSession::GetCategories(QMRCategories** categories) {
    RDO_OWNER_THREAD_ONLY();
    if (!ClearOut(categories))
        return E_POINTER;
    RDO_LOGGED_ON();
    ProfileDescription description;
    HRESULT hr = m_context->Describe(&description);
    if (FAILED(hr))
        return hr;
    return PutObject(com::Make<RdoCategories>(std::move(description.categories)), categories);
}

HRESULT RdoSession::GetAddressBook(QMRAddressBook** addressBook) {
    RDO_OWNER_THREAD_ONLY();
    if (!ClearOut(addressBook))
        return E_POINTER;
    RDO_LOGGED_ON();
    return PutObject(com::Make<RdoAddressBook>(m_context), addressBook);
}

HRESULT RdoSession::GetMessageFromMsgFile(BSTR path, VARIANT_BOOL createNew, QMRMessage** message) {
    RDO_OWNER_THREAD_ONLY();
    if (!ClearOut(message))
        return E_POINTER;
    auto hostPath = win::HostPath(View(path));
    if (!hostPath)
        return E_INVALIDARG;
    MessageContent content;
    HRESULT hr = msgfile::ReadMsgFile(*hostPath, &content);
    if (hr == MAPI_E_NOT_FOUND && createNew) {
        content = MessageContent();
        content.props.Set(PR_MESSAGE_CLASS, PropValue::Unicode(L"IPM.Note"));
        hr = S_OK;
    }
    if (FAILED(hr))
        return hr;
    return PutObject(com::Make<RdoMessage>(m_context, MessageBody(*hostPath, std::move(content))),
                     message);
}

// --- Address book ----------------------------------------------------------------

HRESULT RdoAddressBook::ResolveName(BSTR name, QMRAddressEntry** entry) {
    RDO_OWNER_THREAD_ONLY();
    if (!ClearOut(entry))
        return E_POINTER;
    std::wstring wanted = win::ToLower(View(name));
    if (wanted.empty())
        return MAPI_E_NOT_FOUND;
    for (const store::AddressEntry& e : m_context->AddressBook()) {
        if (win::ToLower(e.displayName) == wanted || win::ToLower(e.address) == wanted)
            return PutObject(com::Make<RdoAddressEntry>(e), entry);
    }
    if (wanted.find(L'@') != std::wstring::npos) {
        store::AddressEntry oneOff;
        oneOff.displayName = View(name);
        oneOff.address = View(name);
        return PutObject(com::Make<RdoAddressEntry>(oneOff), entry);
    }
    return MAPI_E_NOT_FOUND;
}

HRESULT RdoAddressEntry::GetName(BSTR* name) {
    RDO_OWNER_THREAD_ONLY();
    return PutText(m_entry.displayName, name);
}

HRESULT RdoAddressEntry::GetAddressText(BSTR* address) {
    RDO_OWNER_THREAD_ONLY();
    return PutText(m_entry.address, address);
}

HRESULT RdoAddressEntry::GetAddressType(BSTR* type) {
    RDO_OWNER_THREAD_ONLY();
    return PutText(m_entry.addressType, type);
}

// --- Accounts and categories -----------------------------------------------------

HRESULT RdoAccount::Name(BSTR* name) {
    RDO_OWNER_THREAD_ONLY();
    return PutText(m_account.name, name);
}

HRESULT RdoAccount::ID(LONG* id) {
    RDO_OWNER_THREAD_ONLY();
    if (!id)
        return E_POINTER;
    *id = m_account.id;
    return S_OK;
}

HRESULT RdoAccountList::Count(LONG* count) {
    RDO_OWNER_THREAD_ONLY();
    if (!count)
        return E_POINTER;
    *count = static_cast<LONG>(m_accounts.size());
    return S_OK;
}

HRESULT RdoAccountList::Item(LONG index, QMRAccount** account) {
    RDO_OWNER_THREAD_ONLY();
    if (!ClearOut(account))
        return E_POINTER;
    if (index < 1 || static_cast<std::size_t>(index) > m_accounts.size())
        return DISP_E_BADINDEX;
    return PutObject(com::Make<RdoAccount>(m_accounts[index - 1]), account);
}

HRESULT RdoAccounts::GetCount(LONG* count) {
    RDO_OWNER_THREAD_ONLY();
    if (!count)
        return E_POINTER;
    *count = static_cast<LONG>(m_accounts.size());
    return S_OK;
}

HRESULT RdoAccounts::GetOrder(LONG kind, QMRAccountList** list) {
    RDO_OWNER_THREAD_ONLY();
    if (!ClearOut(list))
        return E_POINTER;
    if (kind < 0 || kind > 2)
        return E_INVALIDARG;
    return PutObject(com::Make<RdoAccountList>(m_accounts), list);
}

HRESULT RdoCategory::Name(BSTR* name) {
    RDO_OWNER_THREAD_ONLY();
    return PutText(m_name, name);
}

HRESULT RdoCategories::Count(LONG* count) {
    RDO_OWNER_THREAD_ONLY();
    if (!count)
        return E_POINTER;
    *count = static_cast<LONG>(m_names.size());
    return S_OK;
}

HRESULT RdoCategories::Item(VARIANT index, QMRCategory** category) {
    RDO_OWNER_THREAD_ONLY();
    if (!ClearOut(category))
        return E_POINTER;
    if (index.vt == VT_BSTR) {
        std::wstring wanted = View(index.bstrVal);
        for (const std::wstring& n : m_names) {
            if (n == wanted)
                return PutObject(com::Make<RdoCategory>(n), category);
        }
        return MAPI_E_NOT_FOUND;
    }
    CComVariant asLong;
    if (FAILED(VariantChangeType(&asLong, &index, 0, VT_I4)))
        return E_INVALIDARG;
    if (asLong.lVal < 1 || static_cast<std::size_t>(asLong.lVal) > m_names.size())
        return DISP_E_BADINDEX;
    return PutObject(com::Make<RdoCategory>(m_names[asLong.lVal - 1]), category);
}

}  // namespace rdo
