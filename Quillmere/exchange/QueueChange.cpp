#include "Quillmere/exchange/QueueChange.h"

#include <cstdio>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "Quillmere/core/AddinGlobals.h"
#include "Quillmere/core/DebugLog.h"
#include "Quillmere/core/FolderObj.h"
#include "Quillmere/core/ItemsEvents.h"
#include "Quillmere/core/SyncEngine.h"
#include "Quillmere/exchange/Mail2Send.h"
#include "Quillmere/exchange/MeetingAttendees.h"
#include "Quillmere/exchange/SendQueues.h"
#include "Quillmere/tracking/ItemFilters.h"
#include "Quillmere/tracking/ItemLookup.h"
#include "Quillmere/tracking/OwnChanges.h"
#include "Quillmere/tracking/SyncId.h"
#include "platform/com/ComError.h"
#include "platform/win/Text.h"

namespace {

constexpr ULONG kPrOwnerApptId = 0x00620003;
constexpr ULONG kPrSearchKey = 0x300B0102;
constexpr LONG kResponseAccepted = 3;

// PidLidResponseStatus (PSETID_Appointment, 0x8218, PT_LONG).
constexpr const wchar_t* kResponseStatusName =
    L"http://schemas.microsoft.com/mapi/id/{00062002-0000-0000-C000-000000000046}/0x82180003";

std::wstring Text(BSTR text) {
    return text ? std::wstring(text, SysStringLen(text)) : std::wstring();
}

std::wstring SubjectOf(QMRMessage* item) {
    CComBSTR subject;
    if (item && SUCCEEDED(item->GetSubject(&subject)) && subject && SysStringLen(subject) > 0)
        return Text(subject);
    return L"<no subject>";
}

// A debug line of a format with one "%s", which text replaces (text may
// hold any character, '%' too).
void DebugLine(const wchar_t* format, const std::wstring& text) {
    std::wstring line = format;
    std::size_t at = line.find(L"%s");
    if (at != std::wstring::npos)
        line.replace(at, 2, text);
    WriteDebugLog(line.c_str());
}

// Steps over the item's meeting data and tells whether the item is a
// meeting its organiser cancelled. The attendee list is not kept: the
// sync-mail builder reads it from the item it sends.
bool ExamineMeeting(QMRMessage* item) {
    bool cancelled = false;
    EnterCriticalSection(&QueueCheckLock);
    const std::wstring to = MeetingDisplayTo(item);
    if (!to.empty()) {
        WriteDebugLogValue("IsMeeting:", to.c_str());
        CComVariant ownerId, response;
        item->GetFields(CComVariant(static_cast<LONG>(kPrOwnerApptId)), &ownerId);
        item->GetFields(CComVariant(kResponseStatusName), &response);
        LONG owner = -1, status = 0;
        bool hasStatus = MeetingValueAsInteger(response, status);
        if (MeetingValueAsInteger(ownerId, owner) && owner == 0)
            cancelled = !(hasStatus && status == kResponseAccepted);
        char line[80];
        std::snprintf(line, sizeof line, "sSMsgT::MeetingStatus: %d cancel: %d",
                      static_cast<int>(status), cancelled ? 1 : 0);
        WriteDebugLog(line);
    }
    LeaveCriticalSection(&QueueCheckLock);
    return cancelled;
}

// The entry id of the hidden (associated) item of folder whose search key
// text is syncIdText; empty when there is none. Folder-design items live
// among the hidden items, where the lookup of ordinary items does not look.
std::wstring FindHiddenItem(QMRMAPIFolder* folder, QMRMAPIUtils* utils,
                            const std::wstring& syncIdText) {
    CComPtr<QMRItems> hidden;
    if (FAILED(folder->GetHiddenItems(&hidden)) || !hidden)
        return L"";
    CComPtr<QMRMessage> message;
    for (HRESULT hr = hidden->GetFirst(&message); SUCCEEDED(hr) && message;
         hr = hidden->GetNext(&message)) {
        CComVariant key;
        CComBSTR keyText, entryId;
        if (SUCCEEDED(message->GetFields(CComVariant(static_cast<LONG>(kPrSearchKey)), &key)) &&
            SUCCEEDED(utils->BinaryToText(key, &keyText)) && Text(keyText) == syncIdText &&
            SUCCEEDED(message->GetEntryID(&entryId)))
            return Text(entryId);
        message.Release();
    }
    return L"";
}

// Opens the synchronised folder and the item with that sync id in it.
HRESULT OpenItem(CSyncEngine* engine, QMRRDOSession* session, QMRMAPIUtils* utils,
                 const VARIANT& syncId, bool formFlag, const std::wstring& folderId,
                 const std::wstring& storeId, CComPtr<QMRMAPIFolder>& folder,
                 CComPtr<QMRMessage>& item) {
    CComBSTR store(storeId.c_str());
    HRESULT hr =
        session->GetFolderFromID(CComBSTR(folderId.c_str()), store, engine->OpenFlags(), &folder);
    if (FAILED(hr))
        return hr;
    bool found = false;
    std::wstring entryId;
    hr = FindQueuedItem(engine, session, utils, folder, syncId, formFlag, found, entryId);
    if (FAILED(hr) || !found || entryId.empty()) {
        if (SUCCEEDED(hr))
            hr = E_FAIL;
        LogHResult(hr, "sSMsgT::No EntryID");
        return hr;
    }
    return session->GetMessageFromID(CComBSTR(entryId.c_str()), store, engine->OpenFlags(), &item);
}

// IsItemAllowed and IsItemAllowedByCategory with the folder's switches. A
// COM error raised by a filter refuses the item.
bool PassesFilters(CSyncEngine* engine, QMRMAPIUtils* utils, QMRMessage* item,
                   const CItemsEvents& sink) {
    try {
        const wchar_t* key = sink.m_entryId.c_str();
        return IsItemAllowed(engine, utils, item, key, sink.m_dontSyncPrivateItems,
                             sink.m_syncOnlyPrivateItems, sink.m_dontSyncMeetingRequests) &&
               IsItemAllowedByCategory(engine, utils, item, key, sink.m_dontSyncHolidayItems);
    } catch (const _com_error& error) {
        LogHResult(error.Error(), "sSMsgT::Filter");
        return false;
    }
}

// Registers the coming write to the item (its sync version) as the add-in's
// own before a folder check can see it.
void RaiseVersion(CSyncEngine* engine, QMRRDOSession* session, QMRMAPIUtils* utils,
                  QMRMessage* item, const std::wstring& category, const std::wstring& folderId,
                  const std::wstring& syncIdText) {
    IncSyncVersion(engine, utils, item, category);
    SelfModifiedItem(engine, session, utils, folderId, SysAllocString(syncIdText.c_str()));
}

// Builds the record and appends it to MailSenderList. false when it could
// not be allocated or appended (nothing is queued then).
bool AppendMailRecord(const VARIANT& syncId, const std::wstring& syncIdText,
                      const CItemsEvents& sink, const CFolderObj& folder,
                      const std::wstring& shareName, bool formFlag, std::size_t& count) {
    std::unique_ptr<CMail2Send> record;
    try {
        CComVariant copy(syncId);
        CComBSTR folderId(sink.m_entryId.c_str()), storeId(sink.m_storeId.c_str());
        record = std::make_unique<CMail2Send>(&copy, folderId, storeId, folder.m_password.c_str(),
                                              shareName.c_str(), CMail2Send::kTextSize,
                                              CMail2Send::kTextSize, formFlag ? 1 : 0);
        // The queue file is written from threads whose utilities can't
        // convert the binary id.
        record->SetSyncIdText(syncIdText);
    } catch (const _com_error& error) {
        LogHResult(error.Error(), "sSMsgT::CMail2Send");
        return false;
    } catch (const std::bad_alloc&) {
        LogHResult(E_OUTOFMEMORY, "sSMsgT::CMail2Send");
        return false;
    }
    EnterCriticalSection(&SendQueueLock);
    bool added = MailSenderList.Append(std::move(record));
    count = MailSenderList.Count();
    LeaveCriticalSection(&SendQueueLock);
    return added;
}

}  // namespace

HRESULT FindQueuedItem(CSyncEngine* engine, QMRRDOSession* session, QMRMAPIUtils* utils,
                       QMRMAPIFolder* folder, const VARIANT& syncId, bool formFlag, bool& found,
                       std::wstring& entryId) {
    found = false;
    entryId.clear();
    if (!utils)
        return E_POINTER;
    CComVariant binary;
    std::wstring syncIdText;
    HRESULT hr = S_OK;
    if (syncId.vt == VT_BSTR) {
        syncIdText = Text(syncId.bstrVal);
        hr = utils->TextToBinary(syncId.bstrVal, &binary);
    } else {
        CComBSTR text;
        if (SUCCEEDED(utils->BinaryToText(syncId, &text)))
            syncIdText = Text(text);
        hr = binary.Copy(&syncId);
    }
    if (FAILED(hr))
        return hr;
    hr = GetEntryIDFromPR_SEARCH_KEY(engine, session, utils, found, entryId, folder, binary);
    if (SUCCEEDED(hr) && (!found || entryId.empty()) && formFlag && folder && !syncIdText.empty()) {
        entryId = FindHiddenItem(folder, utils, syncIdText);
        found = !entryId.empty();
    }
    return hr;
}

HRESULT QueueSyncMessage(CSyncEngine* engine, QMRRDOSession* session, QMRMAPIUtils* utils,
                         VARIANT* syncIdArgument, CFolderObj* folder, bool formFlag) {
    CComVariant syncId;
    if (syncIdArgument)
        syncId.Attach(syncIdArgument);
    if (!folder) {
        LogHResult(0, "NO FOLDEROBJECT TO SEND MAIL");
        return E_FAIL;
    }
    if (!engine || !session || !utils)
        return E_POINTER;
    const CItemsEvents& sink = *folder->Sink();
    const std::wstring folderId = sink.m_entryId;
    const std::wstring storeId = sink.m_storeId;

    // A sync id that arrives as text is looked up by its binary form; the
    // record keeps it as it came.
    std::wstring syncIdText;
    HRESULT hr = S_OK;
    if (syncId.vt == VT_BSTR) {
        syncIdText = Text(syncId.bstrVal);
    } else {
        CComBSTR text;
        hr = utils->BinaryToText(syncId, &text);
        syncIdText = Text(text);
    }
    CComPtr<QMRMAPIFolder> rdoFolder;
    CComPtr<QMRMessage> item;
    if (SUCCEEDED(hr))
        hr = OpenItem(engine, session, utils, syncId, formFlag, folderId, storeId, rdoFolder, item);
    if (FAILED(hr) || !item) {
        if (SUCCEEDED(hr))
            hr = E_FAIL;
        LogHResult(hr, "sSMsgT::MessageFromID");
        return hr;
    }
    engine->SetSyncState(kSyncStateChangeQueued);
    const bool cancelled = ExamineMeeting(item);

    const std::wstring shareName = folder->m_shareName.substr(0, CMail2Send::kTextSize - 1);
    if (shareName.size() < 2)
        LogHResult(0, "NO SHARENAME");
    bool shareNameChanged = false;
    SetLastShareName(engine, utils, item, shareName, shareNameChanged);

    if (cancelled) {
        DebugLine(L"sSMsgT::Sending was canceled: %s", SubjectOf(item));
        return S_OK;
    }

    if (PassesFilters(engine, utils, item, sink)) {
        if (shareName.empty())
            LogHResult(0, "NO SHARENAME2SEND");
        folder->AddElemInSync(syncIdText);
        std::size_t count = 0;
        if (!AppendMailRecord(syncId, syncIdText, sink, *folder, shareName, formFlag, count)) {
            // Not queued: the partners never get it, so it is not in sync.
            folder->RemoveElemInSync(syncIdText);
            hr = E_OUTOFMEMORY;
        } else {
            folder->IncrementSentCount();
            RaiseVersion(engine, session, utils, item, folder->m_category, folderId, syncIdText);
            char line[64];
            std::snprintf(line, sizeof line, "sSMsgT::Mail added2MailSenderList: %d",
                          static_cast<int>(count));
            WriteDebugLog(line);
        }
    } else if (folder->IsElemInSync(syncIdText)) {
        folder->RemoveElemInSync(syncIdText);
        QueueDeleteMessage(engine, SysAllocString(syncIdText.c_str()), shareName);
        DebugLine(L"sSMsgT::Mail is not allowed AND WILL BE DELETED ON THE OTHER END: %s",
                  SubjectOf(item));
        RaiseVersion(engine, session, utils, item, L"", folderId, syncIdText);
    } else {
        DebugLine(L"sSMsgT::Mail is not allowed: %s", SubjectOf(item));
    }
    if (FAILED(hr))
        LogHResult(hr, "sSMsgT");
    return hr;
}

HRESULT QueueDeleteMessage(CSyncEngine* engine, BSTR syncIdText, const std::wstring& shareName) {
    std::unique_ptr<CDelMail2Send> record;
    try {
        std::wstring share = shareName;
        record = std::make_unique<CDelMail2Send>(syncIdText, std::move(share));
    } catch (const std::bad_alloc&) {
        // The record never took the text over.
        SysFreeString(syncIdText);
        return S_OK;
    }
    if (DelMailSenderList.Append(std::move(record)) && engine)
        engine->SetSyncState(kSyncStateChangeQueued);
    return S_OK;
}

void HandItemToAllFolders(CSyncEngine* engine, QMRRDOSession* session, QMRMAPIUtils* utils,
                          BSTR itemKey, bool flag) {
    if (!engine)
        return;
    engine->SetSyncState(kSyncStateChangeQueued);
    // Each lookup takes FolderTableLock for itself: the change lists are
    // entered without it, as a folder check holds ChangeListLock while its
    // queueing looks folders up in the table. The entries stay: they are
    // freed only on Outlook's thread, which runs this.
    for (DWORD i = 0;; ++i) {
        CFolderObj* folder = engine->GetFolderEntry(i, true);
        if (!folder)
            break;
        if (CItemsEvents* sink = folder->Sink())
            sink->AddToChangeList(session, utils, SysAllocString(itemKey), flag);
    }
}

void RegisterReminder(CSyncEngine* engine, IDispatch* item) {
    if (!engine || !item)
        return;
    CComPtr<QMRMessage> message;
    if (FAILED(IDispatchToIMessageItem(engine, message, item)) || !message)
        return;
    std::wstring syncId;
    GetSyncID_AS_PR_SEARCH_KEY2(engine, engine->Utils(), message, syncId, false);
    if (syncId.size() <= 1)
        return;
    if (DebugSwitch.load()) {
        CComBSTR subject;
        message->GetSubject(&subject);
        std::wstring line = L"Reminder, permitting Message (pst):";
        line += (subject && subject.Length() > 0) ? std::wstring(subject.View()) : L"<no subject>";
        WriteDebugLog(line.c_str());
    }
    CComBSTR key(syncId.c_str());
    HandItemToAllFolders(engine, engine->Session(), engine->Utils(), key, true);
}
