#include "Quillmere/exchange/QueueChange.h"

// Interim bodies until the queueing is built: nothing is queued.
HRESULT QueueSyncMessage(CSyncEngine*, QMRRDOSession*, QMRMAPIUtils*, VARIANT* syncId, CFolderObj*,
                         bool) {
    if (syncId)
        VariantClear(syncId);
    return E_NOTIMPL;
}

HRESULT QueueDeleteMessage(CSyncEngine*, BSTR syncIdText, const std::wstring&) {
    SysFreeString(syncIdText);
    return E_NOTIMPL;
}

void HandItemToAllFolders(CSyncEngine*, QMRRDOSession*, QMRMAPIUtils*, BSTR, bool) {}
