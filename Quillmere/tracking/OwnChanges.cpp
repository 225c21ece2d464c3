#include "Quillmere/tracking/OwnChanges.h"

// Interim body until the own-change recognition is built.
HRESULT SelfModifiedItem(CSyncEngine*, QMRRDOSession*, QMRMAPIUtils*, const std::wstring&,
                         BSTR syncIdText) {
    SysFreeString(syncIdText);
    return E_NOTIMPL;
}

HRESULT ImportHiddenFormItem(CSyncEngine*, QMRRDOSession*, QMRMAPIUtils*, QMRMessage*,
                             QMRMAPIFolder*, const VARIANT&) {
    return E_NOTIMPL;
}
