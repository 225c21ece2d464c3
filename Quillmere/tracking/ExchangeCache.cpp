// The Exchange cache of a folder: the add-in's own writes to items of an
// Exchange folder, remembered by source key and change key so that the next
// ICS scan recognises them (CFolderObj::IsMyOwnChange) instead of sending
// them back to the partners.
#include <string>

#include "Quillmere/core/AddinGlobals.h"
#include "Quillmere/core/DebugLog.h"
#include "Quillmere/core/FolderObj.h"
#include "Quillmere/core/SyncEngine.h"
#include "Quillmere/tracking/ItemLookup.h"
#include "platform/com/Bstr.h"
#include "platform/com/Variant.h"

namespace {

constexpr ULONG kTagSourceKey = 0x65E00102;  // PR_SOURCE_KEY
constexpr ULONG kTagChangeKey = 0x65E20102;  // PR_CHANGE_KEY
constexpr const wchar_t* kReminderMark = L"REMINDER";
constexpr LONG kLastOfflineMode = 400;  // cached disconnected
constexpr const wchar_t* kNoSubjectFromSearchKey = L"NO_SUBJECT_FROM_SEARCHKEY_FOUND";

// The open flags every folder and message open passes: the engine's, or none.
CComVariant OpenFlags() {
    CSyncEngine* engine = g_pEngine.load();
    return engine ? CComVariant(engine->OpenFlags()) : CComVariant();
}

// Offline, disconnected, cached offline and cached disconnected: the modes
// in which the item can't be read from the server.
bool IsOfflineMode(LONG mode) {
    return mode >= kQmrConnectionOffline && mode <= kLastOfflineMode;
}

// One binary property of message as hexadecimal text.
HRESULT ReadKeyText(QMRMessage* message, QMRMAPIUtils* utils, ULONG tag, CComBSTR& text) {
    CComVariant value;
    HRESULT hr = message->GetFields(CComVariant(static_cast<LONG>(tag)), &value);
    if (FAILED(hr))
        return hr;
    hr = utils->BinaryToText(value, &text);
    if (SUCCEEDED(hr) && text.Length() == 0)
        hr = E_FAIL;
    return hr;
}

}  // namespace

HRESULT CFolderObj::ExModifItem(QMRRDOSession* session, QMRMAPIUtils* utils, BSTR syncIdText,
                                bool reminderFlag) {
    CComBSTR syncId;
    syncId.Attach(syncIdText);
    if (!session || !utils || !syncId)
        return E_POINTER;
    CSyncEngine* engine = g_pEngine.load();
    if (DebugSwitch.load()) {
        std::wstring subject = SubjectFromSyncID(session, utils, std::wstring(syncId.View()),
                                                 m_sink->m_entryId, m_sink->m_storeId);
        WriteDebugLogValue(L"ExModifItem:", subject.c_str());
    }

    LONG mode = 0;
    HRESULT hr = session->GetConnectionMode(&mode);
    auto remember = [&] {
        CriticalSectionLock lock(m_waitingLock);
        for (const auto& waiting : m_waitingSelfModified) {
            if (waiting.first == syncId.View())
                return false;
        }
        m_waitingSelfModified.emplace_back(std::wstring(syncId.View()), reminderFlag);
        return true;
    };

    if (IsOfflineMode(mode)) {
        WriteDebugLog("ExModifItem:Offline|Disconnected|CachedOffline|CachedDisconnected");
        if (engine)
            engine->SetSyncState(kSyncStateOffline);
        remember();
        // Only remembered: the scan keeps it waiting until it reaches the cache.
        return S_FALSE;
    }

    CComVariant binary;
    hr = utils->TextToBinary(syncId, &binary);
    CComPtr<QMRMAPIFolder> folder;
    if (SUCCEEDED(hr))
        hr = session->GetFolderFromID(CComBSTR(m_sink->m_entryId.c_str()),
                                      CComBSTR(m_sink->m_storeId.c_str()), OpenFlags(), &folder);
    bool found = false;
    std::wstring entryId;
    if (SUCCEEDED(hr))
        hr = GetEntryIDFromPR_SEARCH_KEY(engine, session, utils, found, entryId, folder, binary);
    if (SUCCEEDED(hr) && found) {
        CComPtr<QMRMessage> message;
        hr = session->GetMessageFromID(CComBSTR(entryId.c_str()),
                                       CComBSTR(m_sink->m_storeId.c_str()), OpenFlags(), &message);
        if (FAILED(hr) || !message) {
            if (reminderFlag)
                WriteDebugLog("ExModifItem:Message in this folder not found, try other folders");
            else
                LogHResult(hr, "ExModifItem:GetMessageFromID");
            if (SUCCEEDED(hr))
                hr = E_FAIL;
        } else {
            CComBSTR sourceKey, changeKey;
            hr = ReadKeyText(message, utils, kTagSourceKey, sourceKey);
            if (SUCCEEDED(hr))
                hr = ReadKeyText(message, utils, kTagChangeKey, changeKey);
            if (SUCCEEDED(hr))
                hr = AddToExchangeCache(utils, sourceKey, changeKey, reminderFlag);
            if (FAILED(hr))
                LogHResult(hr, "ExModifItem:elem not saved to selfmodif");
        }
    } else if (SUCCEEDED(hr)) {
        WriteDebugLog("ExModifItem:item not yet processed");
        if (remember())
            WriteDebugLog("ExModifItem:add2waitingSelfModifiedItems");
        hr = kExModifItemNotFound;
    }
    if (FAILED(hr))
        LogHResult(hr, "ExModifItem");
    WriteDebugLog("ExModifItem::Ende");
    return hr;
}

HRESULT CFolderObj::AddToExchangeCache(QMRMAPIUtils*, BSTR sourceKeyText, BSTR changeKeyText,
                                       bool reminderFlag) {
    if (!sourceKeyText)
        return E_POINTER;
    std::wstring sourceKey(sourceKeyText, SysStringLen(sourceKeyText));
    std::wstring value =
        changeKeyText ? std::wstring(changeKeyText, SysStringLen(changeKeyText)) : L"";
    if (reminderFlag) {
        // A reminder only marks items the folder already knows; a reminder of
        // an item never synchronised from here leaves the cache alone.
        bool known = false;
        {
            CriticalSectionLock lock(m_sid2SourceLock);
            for (const auto& entry : m_sid2Source) {
                if (entry.second == sourceKey) {
                    known = true;
                    break;
                }
            }
        }
        if (!known)
            return S_OK;
        value = kReminderMark;
    }
    CriticalSectionLock lock(m_exchangeCacheLock);
    for (auto& entry : m_exchangeCache) {
        if (entry.first == sourceKey) {
            entry.second = value;
            return S_OK;
        }
    }
    m_exchangeCache.emplace_back(std::move(sourceKey), std::move(value));
    return S_OK;
}

std::wstring CFolderObj::SubjectFromSyncID(QMRRDOSession* session, QMRMAPIUtils* utils,
                                           const std::wstring& syncIdText,
                                           const std::wstring& entryId,
                                           const std::wstring& storeId) {
    if (!session || !utils)
        return kNoSubjectFromSearchKey;
    CComPtr<QMRMAPIFolder> folder;
    HRESULT hr = session->GetFolderFromID(CComBSTR(entryId.c_str()), CComBSTR(storeId.c_str()),
                                          OpenFlags(), &folder);
    if (FAILED(hr) || !folder) {
        LogHResult(hr, "SubjectFromSyncID::no folderfromid");
        return kNoSubjectFromSearchKey;
    }
    CComVariant binary;
    hr = utils->TextToBinary(CComBSTR(syncIdText.c_str()), &binary);
    if (FAILED(hr)) {
        LogHResult(hr, "SubjectFromSyncID::Str2Arr");
        return kNoSubjectFromSearchKey;
    }
    bool found = false;
    std::wstring itemId;
    hr = GetEntryIDFromPR_SEARCH_KEY(g_pEngine.load(), session, utils, found, itemId, folder,
                                     binary);
    if (FAILED(hr)) {
        LogHResult(hr, "no subject4debugging");
        return kNoSubjectFromSearchKey;
    }
    if (!found || itemId.empty())
        return kNoSubjectFromSearchKey;
    return GetItemSubject(session, itemId);
}

std::vector<std::pair<std::wstring, std::wstring>> CFolderObj::ExchangeCacheEntries() {
    CriticalSectionLock lock(m_exchangeCacheLock);
    return m_exchangeCache;
}

std::vector<std::pair<std::wstring, bool>> CFolderObj::WaitingSelfModifiedItems() {
    CriticalSectionLock lock(m_waitingLock);
    return m_waitingSelfModified;
}
