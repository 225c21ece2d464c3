// CSyncEngine: the add-in folder "Quillmere" and the store tests that keep
// the folder page away from some stores.
#include "Quillmere/core/SyncEngine.h"

#include "platform/win/Text.h"

namespace {

constexpr const wchar_t* kAddinFolderName = L"Quillmere";
constexpr ULONG kPrExtendedFolderFlags = 0x36DA0102;
constexpr const wchar_t* kExtendedFolderFlagsText = L"010402000000";
constexpr ULONG kPrMdbProvider = 0x34140102;
constexpr LONG kStoreKindOther = 6;
constexpr const wchar_t* kICloudProviderA = L"975C4FC305EB4BBBB1992A7570EC7CF9";
constexpr const wchar_t* kICloudProviderB = L"425DC1A925AC47B5A636EEF64AD9B6B4";

bool IsAddinFolderName(BSTR name) {
    return VarBstrCmp(name, kAddinFolderName, LOCALE_USER_DEFAULT, 0) == VARCMP_EQ;
}

HRESULT FindAmongSubfolders(QMRFolders* folders, QMRMAPIFolder** folder) {
    LONG count = 0;
    HRESULT hr = folders->GetCount(&count);
    if (FAILED(hr))
        return hr;
    for (LONG i = 1; i <= count; ++i) {
        CComPtr<QMRMAPIFolder> candidate;
        CComVariant index(i, VT_I4);
        if (FAILED(folders->Item(index, &candidate)) || !candidate)
            continue;
        CComBSTR name;
        if (SUCCEEDED(candidate->GetName(&name)) && IsAddinFolderName(name)) {
            *folder = candidate.Detach();
            return S_OK;
        }
    }
    return MAPI_E_NOT_FOUND;
}

}  // namespace

HRESULT CSyncEngine::FindOrCreateAddinFolder(QMRRDOSession* session, QMRMAPIUtils* utils,
                                             QMRMAPIFolder** folder) {
    if (!folder)
        return E_POINTER;
    *folder = nullptr;
    if (!session)
        return E_POINTER;
    CComPtr<QMRMAPIFolder> inbox;
    HRESULT hr = session->GetDefaultFolder(6, &inbox);
    if (FAILED(hr))
        return hr;
    CComPtr<QMRMAPIFolder> parent;
    if (FAILED(hr = inbox->GetParent(&parent)))
        return hr;
    CComPtr<QMRFolders> folders;
    if (FAILED(hr = parent->GetFolders(&folders)))
        return hr;
    if (SUCCEEDED(FindAmongSubfolders(folders, folder)))
        return S_OK;

    if (!utils)
        return E_POINTER;
    CComPtr<QMRMAPIFolder> created;
    CComBSTR name(kAddinFolderName);
    if (FAILED(hr = folders->Add(name, &created)))
        return hr;
    CComVariant flags;
    CComBSTR flagsText(kExtendedFolderFlagsText);
    if (FAILED(hr = utils->TextToBinary(flagsText, &flags)))
        return hr;
    if (FAILED(hr = created->SetFields(kPrExtendedFolderFlags, flags)))
        return hr;
    WriteDebugLog("Quillmere folder created");
    *folder = created.Detach();
    return S_OK;
}

HRESULT CSyncEngine::FindOrCreateAddinFolderOfSession(QMRMAPIFolder** folder) {
    return FindOrCreateAddinFolder(m_session, m_utils, folder);
}

HRESULT CSyncEngine::GetAddinFolder(MAPIFolder** folder) {
    if (!folder)
        return E_POINTER;
    *folder = nullptr;
    _NameSpace* nameSpace = m_outlook ? m_outlook->NameSpace() : nullptr;
    HRESULT hr = E_POINTER;
    CComPtr<MAPIFolder> inbox;
    CComPtr<IDispatch> parentDispatch;
    CComPtr<_Folders> folders;
    if (nameSpace && SUCCEEDED(hr = nameSpace->GetDefaultFolder(olFolderInbox, &inbox)) &&
        SUCCEEDED(hr = inbox->get_Parent(&parentDispatch))) {
        CComQIPtr<MAPIFolder> parent(static_cast<IUnknown*>(parentDispatch.p));
        hr = parent ? parent->get_Folders(&folders) : E_NOINTERFACE;
    }
    if (SUCCEEDED(hr) && folders) {
        LONG count = 0;
        folders->get_Count(&count);
        for (LONG i = 1; i <= count; ++i) {
            CComPtr<MAPIFolder> candidate;
            CComVariant index(i, VT_I4);
            CComBSTR name;
            if (SUCCEEDED(folders->Item(index, &candidate)) && candidate &&
                SUCCEEDED(candidate->get_Name(&name)) && IsAddinFolderName(name)) {
                *folder = candidate.Detach();
                return S_OK;
            }
        }
        CComBSTR name(kAddinFolderName);
        CComPtr<MAPIFolder> created;
        hr = folders->Add(name, MissingArgument(), &created);
        if (SUCCEEDED(hr) && created) {
            WriteDebugLog("Quillmere folder created");
            *folder = created.Detach();
            return S_OK;
        }
    }
    WriteDebugLog("no Quillmere folder found");
    return FAILED(hr) ? hr : MAPI_E_NOT_FOUND;
}

bool CSyncEngine::IsFolderStoreKind6(MAPIFolder* folder) {
    if (!m_session || !folder)
        return false;
    CComBSTR storeId;
    CComPtr<QMRRDOStore> store;
    LONG kind = 0;
    return SUCCEEDED(folder->get_StoreID(&storeId)) &&
           SUCCEEDED(m_session->GetStoreFromID(storeId, m_openFlags, &store)) && store &&
           SUCCEEDED(store->GetStoreKind(&kind)) && kind == kStoreKindOther;
}

namespace {

// The hexadecimal PR_MDB_PROVIDER of the store of the folder entryId in
// storeId, or "" when it can't be read.
std::wstring StoreProvider(QMRRDOSession* session, QMRMAPIUtils* utils, const VARIANT& flags,
                           BSTR entryId, BSTR storeId) {
    if (!session || !utils)
        return L"";
    CComPtr<QMRMAPIFolder> folder;
    CComPtr<QMRRDOStore> store;
    if (FAILED(session->GetFolderFromID(entryId, storeId, flags, &folder)) || !folder ||
        FAILED(folder->GetStore(&store)) || !store)
        return L"";
    CComVariant provider;
    if (!LogIfFailed(utils->HrGetOneProp(store, kPrMdbProvider, &provider), "No PR_MDB_PROVIDER"))
        return L"";
    if (provider.vt == VT_EMPTY || provider.vt == VT_ERROR)
        return L"";
    CComBSTR text;
    if (FAILED(utils->BinaryToText(provider, &text)))
        return L"";
    return std::wstring(text.View());
}

bool ProviderIs(const std::wstring& provider, const wchar_t* id) {
    return !provider.empty() &&
           VarBstrCmp(provider.c_str(), id, LOCALE_USER_DEFAULT, 0) == VARCMP_EQ;
}

}  // namespace

bool CSyncEngine::IsFolderInICloudStoreA(MAPIFolder* folder, BSTR entryId) {
    CComBSTR storeId;
    if (!m_session || !folder || FAILED(folder->get_StoreID(&storeId)))
        return false;
    if (!ProviderIs(StoreProvider(m_session, m_utils, m_openFlags, entryId, storeId),
                    kICloudProviderA))
        return false;
    OlItemType type = olMailItem;
    return SUCCEEDED(folder->get_DefaultItemType(&type)) && type == olContactItem;
}

bool CSyncEngine::IsFolderInICloudStoreB(MAPIFolder* folder, BSTR entryId) {
    CComBSTR storeId;
    if (!m_session || !folder || FAILED(folder->get_StoreID(&storeId)))
        return false;
    return ProviderIs(StoreProvider(m_session, m_utils, m_openFlags, entryId, storeId),
                      kICloudProviderB);
}
