#include "Quillmere/core/FolderObj.h"

// Interim bodies until the Exchange state is built.
bool CFolderObj::IsElemInSync(const std::wstring&) {
    return false;
}
void CFolderObj::AddElemInSync(const std::wstring&) {}
void CFolderObj::RemoveElemInSync(const std::wstring&) {}
void CFolderObj::SaveElemsInSync() {}
void CFolderObj::SaveSid2SourceTable() {}
HRESULT CFolderObj::InitFolder(QMRRDOSession*, QMRMAPIUtils*) {
    return E_NOTIMPL;
}
HRESULT CFolderObj::LoadSyncData(QMRRDOSession*, QMRMAPIUtils*, BSTR*) {
    return S_OK;
}
HRESULT CFolderObj::LoadSyncDataOwn() {
    return S_OK;
}
void CFolderObj::LoadElemsInSync() {}
void CFolderObj::SaveSyncData(BSTR) {}
void CFolderObj::SaveSyncDataOwn() {}
void CFolderObj::SaveExchangeCacheTable() {}
HRESULT CFolderObj::GetSyncIdFromSourceKey(const std::wstring&, std::wstring*) {
    return E_FAIL;
}
