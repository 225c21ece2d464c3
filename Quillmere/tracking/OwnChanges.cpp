#include "Quillmere/tracking/OwnChanges.h"

#include "Quillmere/core/AddinGlobals.h"
#include "Quillmere/core/DebugLog.h"
#include "Quillmere/core/FolderObj.h"
#include "Quillmere/core/SyncEngine.h"
#include "Quillmere/tracking/SyncId.h"
#include "platform/com/Bstr.h"
#include "platform/win/Clock.h"
#include "platform/win/Files.h"
#include "platform/win/Paths.h"

namespace {

constexpr ULONG kTagLastModification = 0x30080040;  // PR_LAST_MODIFICATION_TIME

std::wstring Text(BSTR b) {
    return b ? std::wstring(b) : std::wstring();
}

// The time an item was last written, for choosing the later of two copies:
// PR_LAST_MODIFICATION_TIME, else the helper library's time stamp. 0 when
// neither can be read.
DATE ItemTime(QMRMAPIUtils* utils, QMRMessage* message) {
    CComVariant modified;
    DATE local = 0;
    if (SUCCEEDED(
            message->GetFields(CComVariant(static_cast<LONG>(kTagLastModification)), &modified)) &&
        modified.vt == VT_DATE && SUCCEEDED(utils->ConvertModificationTime(modified, &local)))
        return local;
    if (SUCCEEDED(message->GetTimeStamp(&local)))
        return local;
    return 0;
}

// Copies source onto target through a message file (the helper library's
// only whole-message copy) and saves target; target keeps its identity.
HRESULT CopyMessageOnto(QMRMessage* source, QMRMessage* target) {
    wchar_t temp[MAX_PATH];
    if (!GetTempPathW(MAX_PATH, temp))
        return E_FAIL;
    const std::wstring path =
        std::wstring(temp) + L"QMRForm" + std::to_wstring(GetTickCount64()) + L".msg";
    CComBSTR file(path.c_str());
    HRESULT hr = source->SaveAs(file, CComVariant(static_cast<LONG>(kQmrFormatMsg)));
    if (SUCCEEDED(hr))
        hr = target->Import(file, kQmrFormatMsg);
    if (SUCCEEDED(hr))
        hr = target->Save();
    DeleteFileW(path.c_str());
    return hr;
}

}  // namespace

HRESULT CSyncEngine::FindFolderByName(const std::wstring& shareName, std::wstring& entryId,
                                      std::wstring& storeId, std::wstring* password) {
    HRESULT hr = E_FAIL;
    EnterCriticalSection(&FolderTableLock);
    for (DWORD i = 0; i < m_folderCount; ++i) {
        CFolderObj* folder = m_folders[i];
        if (folder->m_shareName != shareName)
            continue;
        if (const CItemsEvents* sink = folder->Sink()) {
            if (password)
                *password = folder->m_password;
            entryId = sink->m_entryId;
            storeId = sink->m_storeId;
            hr = S_OK;
        }
        break;
    }
    LeaveCriticalSection(&FolderTableLock);
    return hr;
}

HRESULT SelfModifiedItem(CSyncEngine* engine, QMRRDOSession* session, QMRMAPIUtils* utils,
                         const std::wstring& folderEntryId, BSTR syncIdText) {
    CComBSTR owned;
    owned.Attach(syncIdText);
    WriteDebugLog("SelfModifiedItem=>Start");
    if (!engine || !utils)
        return E_POINTER;
    // The table lock is held for each lookup only: the comparison is a call
    // into the helper library. A reload may free the entries meanwhile (the
    // importer runs on through it): each is held by a use while it is read
    // and, the match, until its change list has the item.
    HRESULT hr = E_FAIL;
    CComBSTR wanted(folderEntryId.c_str());
    FolderUse target;
    const DWORD count = engine->GetFolderCount();
    for (DWORD i = 0; i < count && !target; ++i) {
        FolderUse folder = engine->UseFolderEntry(i, true, "SelfModifiedItem");
        if (!folder || !folder->IsRunning() || !folder->Sink() ||
            folder->Sink()->m_kind != CFolderObj::kSharedFolder)
            continue;
        VARIANT_BOOL same = VARIANT_FALSE;
        hr = utils->CompareEntryIDs(CComBSTR(folder->Sink()->m_entryId.c_str()), wanted, &same);
        if (SUCCEEDED(hr) && same == VARIANT_TRUE)
            target = std::move(folder);
    }
    if (!target) {
        WriteDebugLog("SelfModifiedItem=>End BUT NO FOLDER 4 ITEM FOUND");
        return hr;
    }
    hr = target->Sink()->AddToChangeList(session, utils, owned.Detach(), false);
    engine->SetSyncState(kSyncStateChangeQueued);
    return hr;
}

HRESULT ImportHiddenFormItem(CSyncEngine*, QMRRDOSession*, QMRMAPIUtils* utils,
                             QMRMessage* incomingMessage, QMRMAPIFolder* targetFolder,
                             const VARIANT& syncId) {
    if (!utils || !incomingMessage || !targetFolder)
        return E_POINTER;
    CComPtr<QMRItems> hidden;
    HRESULT hr = targetFolder->GetHiddenItems(&hidden);
    if (FAILED(hr) || !hidden) {
        hr = FAILED(hr) ? hr : E_FAIL;
        LogHResult(hr, "ImportHiddenFormItem::GetHiddenItems");
        return hr;
    }
    LONG count = 0;
    hr = hidden->GetCount(&count);
    if (FAILED(hr)) {
        LogHResult(hr, "ImportHiddenFormItem::Count");
        return hr;
    }
    std::wstring wanted;
    if (syncId.vt == VT_BSTR) {
        wanted = Text(syncId.bstrVal);
    } else {
        CComBSTR text;
        hr = utils->BinaryToText(syncId, &text);
        if (FAILED(hr)) {
            LogHResult(hr, "ImportHiddenFormItem::Arr2Str");
            return hr;
        }
        wanted = Text(text);
    }

    CComPtr<QMRMessage> match;
    for (LONG i = 1; i <= count && !match; ++i) {
        CComPtr<QMRMessage> item;
        if (FAILED(hidden->Item(i, &item)) || !item)
            continue;
        CComVariant key;
        CComBSTR keyText;
        // Read directly: hidden items without a search key are common and
        // not worth a report each.
        if (SUCCEEDED(item->GetFields(CComVariant(static_cast<LONG>(kTagSearchKey)), &key)) &&
            SUCCEEDED(utils->BinaryToText(key, &keyText)) && Text(keyText) == wanted)
            match = item;
    }

    if (!match) {
        CComBSTR messageClass;
        incomingMessage->GetMessageClass(&messageClass);
        CComPtr<QMRMessage> created;
        hr = hidden->Add(CComVariant(messageClass.m_str ? messageClass.m_str : L"IPM.Note"),
                         &created);
        if (SUCCEEDED(hr) && created)
            hr = CopyMessageOnto(incomingMessage, created);
        if (FAILED(hr))
            LogHResult(hr, "ImportHiddenFormItem::Add");
        else
            WriteDebugLog("ImportHiddenFormItem::added");
        return hr;
    }
    if (ItemTime(utils, incomingMessage) > ItemTime(utils, match)) {
        hr = CopyMessageOnto(incomingMessage, match);
        if (FAILED(hr))
            LogHResult(hr, "ImportHiddenFormItem::Replace");
        else
            WriteDebugLog("ImportHiddenFormItem::replaced");
    } else {
        WriteDebugLog("ImportHiddenFormItem::kept");
    }
    return hr;
}
