#include "Quillmere/core/FolderObj.h"

// Interim bodies until the Exchange cache is built.
HRESULT CFolderObj::ExModifItem(QMRRDOSession*, QMRMAPIUtils*, BSTR syncIdText, bool) {
    SysFreeString(syncIdText);
    return E_NOTIMPL;
}
HRESULT CFolderObj::AddToExchangeCache(QMRMAPIUtils*, BSTR, BSTR, bool) {
    return E_NOTIMPL;
}
std::wstring CFolderObj::SubjectFromSyncID(QMRRDOSession*, QMRMAPIUtils*, const std::wstring&,
                                           const std::wstring&, const std::wstring&) {
    return L"NO_SUBJECT_FROM_SEARCHKEY_FOUND";
}
