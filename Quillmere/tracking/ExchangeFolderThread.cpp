#include "Quillmere/core/FolderObj.h"

// Interim body until the Exchange change tracking is built: no scan runs.
unsigned ExchangeFolderThread(void*) {
    return 0;
}

HRESULT CFolderObj::ScanExchangeChanges(QMRRDOSession*, QMRMAPIUtils*) {
    return S_OK;
}
HRESULT CFolderObj::FillFolderCache(QMRRDOSession*, QMRMAPIUtils*) {
    return S_OK;
}
bool CFolderObj::IsMyOwnChange(const std::wstring&, const std::wstring&) {
    return false;
}
std::wstring CFolderObj::GetItemSubject(QMRRDOSession*, const std::wstring&) {
    return L"NO_SUBJECT_FOUND";
}
