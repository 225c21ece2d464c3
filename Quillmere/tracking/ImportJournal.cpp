#include "Quillmere/tracking/ImportJournal.h"

#include <string>

#include "Quillmere/core/DebugLog.h"
#include "Quillmere/core/SyncEngine.h"
#include "Quillmere/tracking/ItemLookup.h"
#include "platform/com/Bstr.h"
#include "platform/com/Variant.h"

CComPtr<QMRMessage> ItemExist(CSyncEngine* engine, const VARIANT& syncId, QMRMAPIFolder* folder,
                              QMRRDOSession* session, QMRMAPIUtils* utils) {
    CComPtr<QMRMessage> result;
    if (syncId.vt == VT_EMPTY || syncId.vt == VT_ERROR) {
        WriteDebugLog("ItemExist=>NoSearchKey");
        return result;
    }
    if (!folder || !session)
        return result;
    CComBSTR storeId;
    folder->GetStoreID(&storeId);
    bool found = false;
    std::wstring entryId;
    HRESULT hr =
        GetEntryIDFromPR_SEARCH_KEY(engine, session, utils, found, entryId, folder, syncId);
    if (FAILED(hr) || !found || entryId.empty())
        return result;
    CComVariant noFlags;
    const VARIANT flags = engine ? engine->OpenFlags() : static_cast<const VARIANT&>(noFlags);
    if (FAILED(hr =
                   session->GetMessageFromID(CComBSTR(entryId.c_str()), storeId, flags, &result))) {
        LogHResult(hr, "ItemExist");
        result.Release();
    }
    return result;
}
