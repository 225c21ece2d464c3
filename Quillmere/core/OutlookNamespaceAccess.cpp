#include "Quillmere/core/OutlookNamespaceAccess.h"

HRESULT COutlookNamespaceAccess::GetFolderFromID(const std::wstring& entryId,
                                                 const std::wstring& storeId,
                                                 core::OutlookFolder& out) {
    if (!m_nameSpace)
        return E_POINTER;
    CComBSTR id(entryId);
    CComVariant store(storeId);
    CComPtr<MAPIFolder> folder;
    HRESULT hr = m_nameSpace->GetFolderFromID(id, store, &folder);
    if (FAILED(hr))
        return hr;
    if (!folder)
        return MAPI_E_NOT_FOUND;
    CComBSTR name;
    CComBSTR folderEntryId;
    CComBSTR folderStoreId;
    folder->get_Name(&name);
    folder->get_EntryID(&folderEntryId);
    folder->get_StoreID(&folderStoreId);
    out.folder = static_cast<IDispatch*>(folder.p);
    out.name = std::wstring(name.View());
    out.entryId = std::wstring(folderEntryId.View());
    out.storeId = std::wstring(folderStoreId.View());
    return S_OK;
}

HRESULT COutlookNamespaceAccess::GetVersion(std::wstring& version) {
    if (!m_nameSpace)
        return E_POINTER;
    CComPtr<_Application> application;
    HRESULT hr = m_nameSpace->get_Application(&application);
    if (FAILED(hr) || !application)
        return FAILED(hr) ? hr : E_POINTER;
    CComBSTR text;
    hr = application->get_Version(&text);
    if (FAILED(hr))
        return hr;
    version = std::wstring(text.View());
    return S_OK;
}

HRESULT COutlookNamespaceAccess::GetMAPIOBJECT(IUnknown** session) {
    if (!session)
        return E_POINTER;
    *session = nullptr;
    if (!m_nameSpace)
        return E_POINTER;
    constexpr LCID kUserDefault = 0x400;
    DISPPARAMS none;
    CComVariant result;
    HRESULT hr = m_nameSpace->Invoke(outlook::dispid::kMAPIOBJECT, IID_NULL, kUserDefault,
                                     DISPATCH_METHOD | DISPATCH_PROPERTYGET, &none, &result,
                                     nullptr, nullptr);
    if (FAILED(hr))
        return hr;
    if (result.vt != VT_UNKNOWN || !result.punkVal)
        return E_NOINTERFACE;
    *session = result.punkVal;
    (*session)->AddRef();
    return S_OK;
}
