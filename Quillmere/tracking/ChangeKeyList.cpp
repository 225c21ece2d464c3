#include "Quillmere/core/ItemsEvents.h"

// Interim bodies until the change-key list is built.
HRESULT CItemsEvents::LoadFolderList(QMRRDOSession*, QMRMAPIUtils*) {
    return E_FAIL;
}
HRESULT CItemsEvents::WritechangeKeylist2File() {
    return S_OK;
}
HRESULT CItemsEvents::CheckChanges(QMRRDOSession*, QMRMAPIUtils*) {
    return S_OK;
}
HRESULT CItemsEvents::CheckFolder4DeletedItems(QMRRDOSession*, QMRMAPIUtils*) {
    return S_OK;
}
HRESULT CItemsEvents::AddToChangeList(QMRRDOSession*, QMRMAPIUtils*, BSTR syncIdText, bool) {
    SysFreeString(syncIdText);
    return S_OK;
}
bool CItemsEvents::checkIfSomethingChanged(BSTR syncIdText) {
    SysFreeString(syncIdText);
    return false;
}
HRESULT CItemsEvents::RemoveFromChangeKeylist(BSTR) {
    return S_OK;
}
HRESULT CItemsEvents::RemoveFromExchangeFolderCache(BSTR) {
    return S_OK;
}
