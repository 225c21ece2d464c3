// The worker thread of a synchronised folder in an Exchange store and its
// incremental change synchronisation (ICS) scan: the synchronizer reports
// what changed since the folder's stored state; new and changed items are
// queued as sync mails, deleted ones as deletion notices, and the add-in's
// own writes (the Exchange cache) are absorbed.
//
// Threads: one per Exchange folder, with its own COM apartment and helper
// objects. Every scan runs under FolderCheckLock, which the thread only
// tries and polls, so that the scans of all folders and the inbox import
// never overlap.
#include "Quillmere/tracking/ExchangeFolderThread.h"

#include <cstdarg>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "Quillmere/core/AddinGlobals.h"
#include "Quillmere/core/DebugLog.h"
#include "Quillmere/core/FolderObj.h"
#include "Quillmere/core/HelperObjects.h"
#include "Quillmere/core/Settings.h"
#include "Quillmere/core/SyncEngine.h"
#include "Quillmere/exchange/QueueChange.h"
#include "Quillmere/resources/LoadString.h"
#include "Quillmere/tracking/ItemLookup.h"
#include "Quillmere/tracking/SyncId.h"
#include "platform/com/Com.h"
#include "platform/com/SafeArray.h"
#include "platform/win/Clock.h"
#include "platform/win/Power.h"
#include "platform/win/Text.h"

namespace {

ExchangeScanHooks g_hooks;

constexpr ULONG kTagSourceKey = 0x65E00102;  // PR_SOURCE_KEY
constexpr const wchar_t* kReminderMark = L"REMINDER";
constexpr const wchar_t* kNoSubject = L"NO_SUBJECT_FOUND";

// The thread's turn, the timed scan interval and the settle time after a
// dirty flag, in platform ms.
constexpr DWORD kTurnMs = 1000;
constexpr DWORD kScanIntervalMs = 60000;
constexpr DWORD kSettleMs = 5000;
constexpr DWORD kLockRetryMs = 1000;
constexpr int kLockWaitsPerLogLine = 61;
constexpr DWORD kLogonRetryMs = 10000;

constexpr LONG kFolderRowsPerBatch = 400;
constexpr UINT kIcsNotSupportedTitleId = 1269;
constexpr LONG kNotificationKindInfo = 3;
// Consecutive synchronizer failures after which the state is given up.
constexpr LONG kMaxSyncDataErrors = 6;
constexpr EXECUTION_STATE kScanExecutionState =
    ES_CONTINUOUS | ES_AWAYMODE_REQUIRED | ES_SYSTEM_REQUIRED;

CComVariant OpenFlags(CSyncEngine* engine) {
    return engine ? CComVariant(engine->OpenFlags()) : CComVariant();
}

DATE LocalNow() {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    DATE date = 0;
    SystemTimeToVariantTime(&now, &date);
    return date;
}

// "%d%m%y-%H%M" of a DATE, for the log line of a skipped old change.
std::wstring FormatStamp(DATE date) {
    SYSTEMTIME st{};
    if (!VariantTimeToSystemTime(date, &st))
        return L"?";
    wchar_t text[32];
    swprintf(text, 32, L"%02u%02u%02u-%02u%02u", st.wDay, st.wMonth, st.wYear % 100, st.wHour,
             st.wMinute);
    return text;
}

bool TryTakeFolderCheckLock() NO_THREAD_SAFETY_ANALYSIS {
    return TryEnterCriticalSection(&FolderCheckLock) != FALSE;
}
void ReleaseFolderCheckLock() NO_THREAD_SAFETY_ANALYSIS {
    LeaveCriticalSection(&FolderCheckLock);
}

HRESULT HandToQueueSync(CSyncEngine* engine, QMRRDOSession* session, QMRMAPIUtils* utils,
                        VARIANT* syncId, CFolderObj* folder) {
    if (g_hooks.queueSyncMessage)
        return g_hooks.queueSyncMessage(engine, session, utils, syncId, folder, false);
    return QueueSyncMessage(engine, session, utils, syncId, folder, false);
}

HRESULT HandToQueueDelete(CSyncEngine* engine, BSTR syncIdText, const std::wstring& shareName) {
    if (g_hooks.queueDeleteMessage)
        return g_hooks.queueDeleteMessage(engine, syncIdText, shareName);
    return QueueDeleteMessage(engine, syncIdText, shareName);
}

// The thread's own session, attached to the engine's MAPI session, else
// logged on by itself (one retry 10 s later). The last log-on result.
HRESULT AttachSession(CFolderObj* folder, QMRRDOSession* session) {
    // The engine session's MAPI object was taken on Outlook's thread at the
    // folder's start: the engine's own session answers only there.
    HRESULT hr = E_POINTER;
    if (IUnknown* shared = folder->EngineMapiSession())
        hr = session->PutMAPIOBJECT(shared);
    if (LogIfFailed(hr, "MAPIOBJECT failed"))
        return hr;
    CComVariant empty[6];
    hr = session->Logon(empty[0], empty[1], empty[2], empty[3], empty[4], empty[5]);
    if (SUCCEEDED(hr))
        return hr;
    LogHResult(hr, "LogonFailed Try again");
    Sleep(kLogonRetryMs);
    hr = session->Logon(empty[0], empty[1], empty[2], empty[3], empty[4], empty[5]);
    LogIfFailed(hr, "LogonFailed");
    return hr;
}

// Waits for FolderCheckLock in 1-s steps; false (lock not taken) once the
// folder's run flag dropped meanwhile.
bool WaitForFolderCheckLock(CFolderObj* folder) {
    int waits = 0;
    while (!TryTakeFolderCheckLock()) {
        Sleep(kLockRetryMs);
        if (++waits >= kLockWaitsPerLogLine) {
            WriteDebugLogValue(L"wait4folder since 1 Min", folder->m_shareName.c_str());
            waits = 0;
        }
        if (!folder->IsRunning())
            return false;
    }
    return true;
}

}  // namespace

void SetExchangeScanHooksForTesting(const ExchangeScanHooks& hooks) {
    g_hooks = hooks;
}

unsigned ExchangeFolderThread(void* argument) {
    auto* folder = static_cast<CFolderObj*>(argument);
    folder->SetThreadAlive(true);
    CoInitialize(nullptr);
    CSyncEngine* engine = g_pEngine.load();

    CComPtr<QMRMAPIUtils> utils;
    CComPtr<QMRRDOSession> session;
    HRESULT hr = CreateHelperObject(L"QuillmereRDOx.QMRMAPIUtils", IID_QMRMAPIUtils,
                                    reinterpret_cast<void**>(&utils));
    if (FAILED(hr) || !utils)
        LogHResult(hr, "MAPIUtils missing");
    HRESULT logon = CreateHelperSession(&session);
    if (session)
        logon = AttachSession(folder, session);
    WriteDebugLogFormat("Thread is running for %s", win::ToAnsi(folder->m_shareName).c_str());

    // The first scan comes at once, the first timed one about 120 s after the
    // start, later ones every 60 s; a dirty flag brings one within ~6 s.
    bool pass = true;
    DWORD deadline = GetTickCount() + kScanIntervalMs;
    while (folder->IsRunning()) {
        while (engine && engine->m_stopped.load() && folder->IsRunning())
            Sleep(kTurnMs);
        Sleep(kTurnMs);
        DWORD now = GetTickCount();
        // Signed difference: the tick count wraps after 49.7 days.
        if (static_cast<LONG>(now - deadline) > static_cast<LONG>(kScanIntervalMs)) {
            pass = true;
            deadline = now;
        }
        if (!folder->IsRunning())
            break;
        if (!pass && !folder->Sink()->TakeDirtyFlag())
            continue;
        // Let a burst of item events settle before the scan.
        Sleep(kSettleMs);
        if (!WaitForFolderCheckLock(folder))
            break;
        if (g_hooks.scanStarted)
            g_hooks.scanStarted(folder);
        if (utils && session && SUCCEEDED(logon))
            folder->ScanExchangeChanges(session, utils);
        else
            LogHResult(0, "no session Interface");
        ReleaseFolderCheckLock();
        pass = false;
    }

    std::wstring shareName = folder->m_shareName;
    // Last access to the folder object: its destructor may run from here on.
    folder->SetThreadAlive(false);
    WriteDebugLogFormat("Thread %s ended", win::ToAnsi(shareName).c_str());
    if (utils)
        utils->Cleanup();
    session.Release();
    utils.Release();
    CoUninitialize();
    return 0;
}

// --- The scan ----------------------------------------------------------------

HRESULT CFolderObj::ScanExchangeChanges(QMRRDOSession* session, QMRMAPIUtils* utils) {
    if (!m_isExchange || !session || !utils)
        return S_OK;
    if (IsItemOpenInInspector(utils))
        return S_OK;
    CSyncEngine* engine = g_pEngine.load();
    if (!engine)
        return E_FAIL;
    const DATE scanStart = LocalNow();
    const bool resetMode = m_resetFlag.load();

    if (resetMode) {
        m_icsState.Empty();
        CriticalSectionLock lock(m_waitingLock);
        m_waitingSelfModified.clear();
        WriteDebugLog("RCI::reset war gesagt");
    } else {
        TakeUpWaitingSelfModifiedItem(session, utils);
        WriteDebugLog("RCI::waiting for exchange (items only cached)");
    }

    HRESULT hr = S_OK;
    if (!m_helperFolder)
        hr = InitFolder(session, utils);
    if (!m_helperFolder) {
        m_resetFlag = false;
        return hr;
    }

    CComPtr<QMRSynchronizer> synchronizer;
    hr = m_helperFolder->GetSynchronizer(&synchronizer);
    if (FAILED(hr) || !synchronizer) {
        if (SUCCEEDED(hr))
            hr = E_FAIL;
        LogHResult(hr, "RCI::getsynchronizer");
        m_helperFolder.Release();
        return hr;
    }

    // Early ends keep the state and the open folder: while the server stays
    // away the state code stays 4 (one notification, not one a scan); the
    // first whole scan releases the folder and the next opening clears it.
    auto endEarly = [](HRESULT result) { return result; };

    CComPtr<QMRDifferingItems> items;
    hr = synchronizer->GetDifferingItems(m_icsState, &items);
    if (hr == MAPI_E_NO_SUPPORT) {
        LogHResult(hr, "RCI::no connection to Exchange (User doesn't use Exchange)");
        if (engine->GetSyncState() != kSyncStateOffline) {
            std::wstring title;
            LoadString(AddinResourceModule(), kIcsNotSupportedTitleId, GetConfiguredLCID(), title);
            engine->SetPendingNotification(title, L"EXCHANGE ICS NOT SUPPORTED",
                                           kNotificationKindInfo);
        }
        engine->SetSyncState(kSyncStateOffline);
        return endEarly(hr);
    }
    if (hr == E_INVALIDARG) {
        LogHResult(hr, "RCI::syncdata fehlerhaft Upgrade 1.35 => 1.36?");
        std::string line = "damaged state file " + win::ToAnsi(m_sink->m_entryId) +
                           ".syncdata.ids: the folder is reset";
        LogHResult(0, line.c_str());
        m_resetFlag = true;
        return endEarly(hr);
    }
    if (hr == MAPI_E_NETWORK_ERROR) {
        LogHResult(hr, "RCI::no connection to Exchange MAPI_E_NETWORK_ERROR");
        if (engine->GetSyncState() != kSyncStateOffline)
            engine->SetPendingNotification(L"NETWORK ERROR", L"EXCHANGE OFFLINE",
                                           kNotificationKindInfo);
        engine->SetSyncState(kSyncStateOffline);
        return endEarly(hr);
    }
    if (FAILED(hr) || !items)
        return RecoverFromSyncDataError(hr);
    m_syncDataErrorCount = 0;

    LONG count = 0;
    items->GetCount(&count);
    if (DebugSwitch.load()) {
        CComBSTR name;
        m_helperFolder->GetName(&name);
        WriteDebugLogFormat("RCI::%s CountDifferingItems: %d", win::ToAnsi(name.View()).c_str(),
                            static_cast<int>(count));
    }

    // A reset takes what the folder holds as the baseline. After an earlier
    // scan saved its state (its time is stored), the items changed since
    // that scan are looked at all the same: the state that knew them is
    // gone, and they may be changes no partner has seen.
    DATE lastSync = 0;
    bool examine = !resetMode;
    if (resetMode) {
        WriteDebugLog("RCI::Reset this folder");
        examine = ReadStoredLastFolderSyncTime(&lastSync);
        if (examine)
            WriteDebugLog("RCI::Reset: items changed since the last scan are checked");
    } else if (!GetLastFolderSyncTime(&lastSync)) {
        lastSync = 0;
    }
    if (examine) {
        for (LONG i = 1; i <= count; ++i) {
            if (engine->m_shutdown.load() || !IsRunning()) {
                WriteDebugLog(engine->m_shutdown.load() ? "RCI::OLShutdown ends syncthread"
                                                        : "RCI::Reconfiguration ends syncthread");
                SaveExchangeCacheTable();
                SetThreadExecutionState(ES_CONTINUOUS);
                return endEarly(hr);
            }
            SetThreadExecutionState(kScanExecutionState);
            ScanDifferingItem(session, utils, items, i, count, lastSync);
        }
        // The machine may sleep again once the scan is through.
        SetThreadExecutionState(ES_CONTINUOUS);
    }

    if (count >= 1 || resetMode) {
        // The old state goes first: when no new one comes, the next scan
        // starts from the empty state and LastFolderSyncTime (not advanced
        // here) decides what of the folder is sent again.
        m_icsState.Empty();
        hr = items->GetSyncData(&m_icsState);
        if (FAILED(hr)) {
            LogHResult(hr, "RCI::getSyncData");
            WriteDebugLog("RCI::Outlook Offline");
            engine->SetSyncState(kSyncStateOffline);
        } else {
            WriteDebugLog("RCI::SAVING STATUS2DISK");
            // Order matters: the time goes after the state, so a crash in
            // between leaves an older time, which only lets more through.
            HRESULT saved = SaveSyncDataOwn();
            if (examine && SUCCEEDED(saved))
                SaveLastFolderSyncTime(scanStart);
        }
    }
    items.Release();
    synchronizer.Release();
    if (!resetMode)
        m_helperFolder.Release();
    m_resetFlag = false;
    return hr;
}

void CFolderObj::TakeUpWaitingSelfModifiedItem(QMRRDOSession* session, QMRMAPIUtils* utils) {
    // The waiting list is held for the walk, as ExModifItem (which takes the
    // same re-entrant lock) may run on another thread meanwhile.
    CriticalSectionLock lock(m_waitingLock);
    for (size_t i = 0; i < m_waitingSelfModified.size(); ++i) {
        if (m_waitingSelfModified[i].second)
            continue;
        std::wstring syncId = m_waitingSelfModified[i].first;
        HRESULT hr = ExModifItem(session, utils, SysAllocString(syncId.c_str()), false);
        // An item that reached the cache, or that is still not found online,
        // leaves the list: each waiting change gets this one more try, so
        // that changes of items gone meanwhile don't wait for ever. While
        // Outlook is offline (S_FALSE) or on a failure it waits on.
        if (hr == S_OK || hr == kExModifItemNotFound) {
            for (auto it = m_waitingSelfModified.begin(); it != m_waitingSelfModified.end(); ++it) {
                if (it->first == syncId) {
                    m_waitingSelfModified.erase(it);
                    break;
                }
            }
            return;
        }
    }
}

HRESULT CFolderObj::RecoverFromSyncDataError(HRESULT hr) {
    CSyncEngine* engine = g_pEngine.load();
    LogHResult(hr, "RCI::syncdata fehlerhaft");
    LONG errors = ++m_syncDataErrorCount;
    CComBSTR name;
    HRESULT nameHr = m_helperFolder ? m_helperFolder->GetName(&name) : E_POINTER;
    LogHResult(nameHr, "no syncinterface");
    if (engine)
        engine->SetSyncState(kSyncStateExchangeStateRejected);
    if (errors > kMaxSyncDataErrors) {
        LogHResult(hr, "RCI:Recovering from SyncDataError...");
        m_icsState.Empty();
    } else {
        std::string line = "RCI::syncdata rejected, state kept (failure " + std::to_string(errors) +
                           " of " + std::to_string(kMaxSyncDataErrors + 1) + ")";
        LogHResult(hr, line.c_str());
    }
    m_helperFolder.Release();
    return E_FAIL;
}

// One entry of the differing items: a deletion is queued as a deletion
// notice; a new or changed item, unless too old or an own change, as a sync
// mail.
void CFolderObj::ScanDifferingItem(QMRRDOSession* session, QMRMAPIUtils* utils,
                                   QMRDifferingItems* items, LONG index, LONG count,
                                   DATE lastSync) {
    CSyncEngine* engine = g_pEngine.load();
    CComPtr<QMRDifferingItem> item;
    HRESULT hr = items->Item(index, &item);
    CComBSTR sourceKey;
    if (SUCCEEDED(hr) && item)
        hr = item->GetSourceKey(&sourceKey);
    if (FAILED(hr) || !item || sourceKey.Length() == 0) {
        LogHResult(hr, "RCI::failed to get sourceKey");
        return;
    }
    LONG kind = kQmrChangeNewOrChanged;
    item->GetChangeKind(&kind);
    if (kind == kQmrChangeDeleted) {
        std::wstring syncId;
        hr = GetSyncIdFromSourceKey(std::wstring(sourceKey.View()), &syncId);
        if (FAILED(hr) || syncId.empty())
            LogHResult(hr, "RCI::Elem2DeleteNotFound");
        else
            HandToQueueDelete(engine, SysAllocString(syncId.c_str()), m_shareName);
        return;
    }
    if (kind == kQmrChangeReadState)
        return;

    DATE modified = 0;
    CComVariant utcTime;
    if (FAILED(item->GetLastModificationTime(&utcTime)) ||
        FAILED(utils->ConvertModificationTime(utcTime, &modified)))
        modified = LocalNow();
    WriteDebugLogFormat("RCI::-- changed item? i=%d / %d --", static_cast<int>(index),
                        static_cast<int>(count));
    CComBSTR changeKey;
    hr = item->GetChangeKey(&changeKey);
    if (FAILED(hr) || changeKey.Length() == 0) {
        LogHResult(hr, "RCI::failed to get changekey");
        return;
    }
    if (modified < lastSync) {
        if (DebugSwitch.load()) {
            WriteDebugLog("RCI::LastModif tooo old");
            std::wstring line = FormatStamp(lastSync) + L" > " + FormatStamp(modified);
            WriteDebugLog(line.c_str());
        }
        return;
    }

    CComPtr<QMRMessage> message;
    VARIANT_BOOL isNew = VARIANT_FALSE;
    item->GetIsNew(&isNew);
    if (isNew != VARIANT_FALSE) {
        bool queue = true;
        hr = RecordNewItem(session, utils, item, std::wstring(sourceKey.View()), message, queue);
        LogIfFailed(hr, "RCI::ERROR beforeWasMayChange");
        if (!queue)
            return;
    }

    CComBSTR subject;
    if (message)
        message->GetSubject(&subject);
    else if (DebugSwitch.load()) {
        CComPtr<QMRMessage> current;
        if (SUCCEEDED(item->GetMessage(&current)) && current)
            current->GetSubject(&subject);
    }
    if (DebugSwitch.load()) {
        std::wstring line = std::wstring(isNew != VARIANT_FALSE ? L"RCI:CHECK:NEWELEM:"
                                                                : L"RCI:CHECK:CHANGEDELEM") +
                            std::wstring(subject.View());
        WriteDebugLog(line.c_str());
    }
    if (IsMyOwnChange(session, utils, std::wstring(sourceKey.View()),
                      std::wstring(changeKey.View()))) {
        if (subject.Length() > 0)
            WriteDebugLogValue(L"RCI::NOTHING TO DO WITH:", subject);
        else
            WriteDebugLog("RCI::NOTHING TO DO WITH THIS ITEM");
        return;
    }

    LogIfFailed(hr, "RCI::ERROR afterWasMayChange");
    if (!message) {
        hr = item->GetMessage(&message);
        if (FAILED(hr) || !message) {
            LogIfFailed(hr, "RCI::ERROR get_Item");
            LogHResult(hr, "RCI::failed to get rdomail");
        }
    }
    std::wstring syncId;
    hr = GetSyncIdFromSourceKey(std::wstring(sourceKey.View()), &syncId);
    if (FAILED(hr) || syncId.empty()) {
        LogHResult(hr, "RCI::noSyncIDFromSKey");
        return;
    }
    CComVariant binary;
    if (FAILED(utils->TextToBinary(CComBSTR(syncId.c_str()), &binary)))
        return;
    HandToQueueSync(engine, session, utils, &binary, this);
}

// Enters a new item into the SID to SOURCE table, after the duplicate repair
// (an item copied in Outlook keeps its original's search key). queue is
// cleared when this item itself got a new sync id: the write makes it a
// changed item that the next scan sends.
HRESULT CFolderObj::RecordNewItem(QMRRDOSession* session, QMRMAPIUtils* utils,
                                  QMRDifferingItem* item, const std::wstring& sourceKey,
                                  CComPtr<QMRMessage>& message, bool& queue) {
    CSyncEngine* engine = g_pEngine.load();
    queue = true;
    CComPtr<QMRMessage> reported;
    HRESULT hr = item->GetMessage(&reported);
    CComBSTR entryId;
    if (SUCCEEDED(hr) && reported)
        hr = reported->GetEntryID(&entryId);
    if (SUCCEEDED(hr))
        hr = session->GetMessageFromID(entryId, CComBSTR(m_sink->m_storeId.c_str()),
                                       OpenFlags(engine), &message);
    std::wstring syncId;
    if (SUCCEEDED(hr) && message)
        hr = GetSyncID_AS_PR_SEARCH_KEY2(engine, utils, message, syncId, false);
    if (FAILED(hr) || syncId.empty())
        return FAILED(hr) ? hr : E_FAIL;

    std::wstring newSyncId;
    bool duplicate = false;
    m_sink->ChangeSyncIDFromDuplicatedItem(session, utils, syncId, newSyncId, duplicate, 0);
    if (!duplicate || newSyncId.empty()) {
        // Known already when a reset scan reports every item as new.
        if (!HasSid2SourceEntry(syncId, sourceKey))
            AppendSid2Source(syncId, sourceKey);
        return hr;
    }

    // Which of the two got the new id: this item when its search key now
    // reads as the new one.
    CComPtr<QMRMessage> reread;
    std::wstring nowSyncId;
    if (SUCCEEDED(session->GetMessageFromID(entryId, CComBSTR(m_sink->m_storeId.c_str()),
                                            OpenFlags(engine), &reread)) &&
        reread)
        GetSyncID_AS_PR_SEARCH_KEY2(engine, utils, reread, nowSyncId, false);
    if (nowSyncId == newSyncId) {
        AppendSid2Source(newSyncId, sourceKey);
        m_sink->SetDirtyFlag();
        queue = false;
        return hr;
    }

    // The other item is the copy: enter it under its new id.
    CComVariant binary;
    bool found = false;
    std::wstring otherEntryId;
    hr = utils->TextToBinary(CComBSTR(newSyncId.c_str()), &binary);
    if (SUCCEEDED(hr))
        hr = GetEntryIDFromPR_SEARCH_KEY(engine, session, utils, found, otherEntryId,
                                         m_helperFolder, binary);
    CComPtr<QMRMessage> other;
    if (SUCCEEDED(hr) && found)
        hr = session->GetMessageFromID(CComBSTR(otherEntryId.c_str()),
                                       CComBSTR(m_sink->m_storeId.c_str()), OpenFlags(engine),
                                       &other);
    CComVariant otherKey;
    CComBSTR otherKeyText;
    if (SUCCEEDED(hr) && other)
        hr = other->GetFields(CComVariant(static_cast<LONG>(kTagSourceKey)), &otherKey);
    if (SUCCEEDED(hr) && other)
        hr = utils->BinaryToText(otherKey, &otherKeyText);
    if (SUCCEEDED(hr) && otherKeyText.Length() > 0)
        AppendSid2Source(newSyncId, std::wstring(otherKeyText.View()));
    // This item keeps its id; it still needs its own entry.
    if (!HasSid2SourceEntry(syncId, sourceKey))
        AppendSid2Source(syncId, sourceKey);
    return hr;
}

void CFolderObj::AppendSid2Source(const std::wstring& syncId, const std::wstring& sourceKey) {
    CriticalSectionLock lock(m_sid2SourceLock);
    m_sid2Source.emplace_back(syncId, sourceKey);
}

bool CFolderObj::HasSid2SourceEntry(const std::wstring& syncId, const std::wstring& sourceKey) {
    CriticalSectionLock lock(m_sid2SourceLock);
    for (const auto& entry : m_sid2Source) {
        if (entry.first == syncId && entry.second == sourceKey)
            return true;
    }
    return false;
}

// --- Own changes ---------------------------------------------------------------

bool CFolderObj::IsMyOwnChange(QMRRDOSession* session, QMRMAPIUtils* utils,
                               const std::wstring& sourceKey, const std::wstring& changeKey) {
    if (sourceKey.empty() || changeKey.empty()) {
        WriteDebugLog("mychange::changekey/sourcekey:NULL");
        return false;
    }
    bool fromReminder = false;
    {
        CriticalSectionLock lock(m_exchangeCacheLock);
        if (m_exchangeCache.empty()) {
            WriteDebugLog("mychange::empty");
            return false;
        }
        auto it = m_exchangeCache.begin();
        while (it != m_exchangeCache.end() && it->first != sourceKey)
            ++it;
        if (it == m_exchangeCache.end()) {
            WriteDebugLogFormat("mychange::SKEYnotInCache(items in cache %d)",
                                static_cast<int>(m_exchangeCache.size()));
            return false;
        }
        if (VarBstrCmp(it->second.c_str(), changeKey.c_str(), 0x400, 0) == VARCMP_EQ) {
            m_exchangeCache.erase(it);
            WriteDebugLogFormat("mychange::my own change(items in cache %d)",
                                static_cast<int>(m_exchangeCache.size()));
            return true;
        }
        if (it->second == kReminderMark) {
            WriteDebugLogFormat("mychange::from reminder(items in cache %d)",
                                static_cast<int>(m_exchangeCache.size()));
            it->second = changeKey;
            fromReminder = true;
        } else {
            m_exchangeCache.erase(it);
            WriteDebugLogFormat("mychange::realchange1(items in cache %d)",
                                static_cast<int>(m_exchangeCache.size()));
            return false;
        }
    }
    // Outside the cache lock: the reminder check takes ChangeListLock.
    if (fromReminder)
        m_sink->checkIfSomethingChanged(session, utils, SysAllocString(changeKey.c_str()));
    return true;
}

// --- The SID to SOURCE table from the contents table ---------------------------

HRESULT CFolderObj::FillFolderCache(QMRRDOSession* session, QMRMAPIUtils* utils) {
    if (!m_isExchange)
        return S_OK;
    if (!m_helperFolder)
        InitFolder(session, utils);
    CSyncEngine* engine = g_pEngine.load();
    if (!engine || !utils)
        return E_FAIL;
    if (!m_helperFolder)
        return E_FAIL;
    WriteDebugLog("FFC::start");

    SAFEARRAY* columns = SafeArrayCreateVector(VT_VARIANT, 0, 2);
    if (!columns)
        return E_OUTOFMEMORY;
    const ULONG tags[2] = {kTagSearchKey, kTagSourceKey};
    for (LONG i = 0; i < 2; ++i) {
        CComVariant tag(static_cast<ULONG>(tags[i]));
        SafeArrayPutElement(columns, &i, &tag);
    }
    CComVariant columnSet;
    columnSet.vt = VT_ARRAY | VT_VARIANT;
    columnSet.parray = columns;

    CComPtr<QMRItems> folderItems;
    CComPtr<QMRMAPITable> table;
    HRESULT hr = m_helperFolder->GetItems(&folderItems);
    if (SUCCEEDED(hr))
        hr = folderItems->GetMAPITable(&table);
    if (SUCCEEDED(hr) && !table)
        hr = E_FAIL;
    if (SUCCEEDED(hr))
        hr = table->SetColumns(columnSet);
    if (FAILED(hr)) {
        LogHResult(hr, "FFC:putColumns");
        return hr;
    }
    LONG rows = 0;
    hr = table->GetRowCount(&rows);
    if (FAILED(hr)) {
        LogHResult(hr, "FFC:MapiTable not valid");
        WriteDebugLog("FFC::end");
        return hr;
    }
    if (DebugSwitch.load())
        m_elementCount = rows;

    LONG read = 0;
    bool stop = false;
    while (read < rows && !stop) {
        CComVariant batch;
        hr = table->GetRows(kFolderRowsPerBatch, &batch);
        if (FAILED(hr)) {
            LogHResult(hr, "FFC:3");
            break;
        }
        if (batch.vt != (VT_ARRAY | VT_VARIANT) || !batch.parray)
            break;
        LONG lower = 0, upper = -1;
        SafeArrayGetLBound(batch.parray, 1, &lower);
        SafeArrayGetUBound(batch.parray, 1, &upper);
        for (LONG r = lower; r <= upper && !stop; ++r) {
            ++read;
            CComVariant row;
            if (FAILED(SafeArrayGetElement(batch.parray, &r, &row)) ||
                row.vt != (VT_ARRAY | VT_VARIANT) || !row.parray)
                continue;
            stop = !RecordFolderRow(session, utils, row.parray);
        }
        if (upper < lower)
            break;
        if (!stop)
            table->SeekRow(read);
    }
    WriteDebugLog("FFC::end");
    return stop ? E_ABORT : hr;
}

// One contents-table row (search key, source key) into the table; false when
// the row lacks its ids, which ends the fill.
bool CFolderObj::RecordFolderRow(QMRRDOSession* session, QMRMAPIUtils* utils, SAFEARRAY* row) {
    CComBSTR texts[2];
    for (LONG c = 0; c < 2; ++c) {
        CComVariant value;
        if (SUCCEEDED(SafeArrayGetElement(row, &c, &value)) && value.vt == (VT_ARRAY | VT_UI1))
            utils->BinaryToText(value, &texts[c]);
    }
    if (texts[0].Length() < 2 || texts[1].Length() < 2) {
        LogHResult(E_ABORT, "FFC:no Ids");
        return false;
    }
    std::wstring syncId(texts[0].View());
    bool known = false;
    {
        CriticalSectionLock lock(m_sid2SourceLock);
        for (const auto& entry : m_sid2Source) {
            if (entry.first == syncId) {
                known = true;
                break;
            }
        }
    }
    if (known) {
        std::wstring newSyncId;
        bool changed = false;
        m_sink->ChangeSyncIDFromDuplicatedItem(session, utils, syncId, newSyncId, changed, 0);
        if (changed && !newSyncId.empty())
            syncId = newSyncId;
    }
    AppendSid2Source(syncId, std::wstring(texts[1].View()));
    return true;
}

// --- Subjects for log lines ----------------------------------------------------

std::wstring CFolderObj::GetItemSubject(QMRRDOSession* session, const std::wstring& entryId) {
    if (!session)
        return kNoSubject;
    CComPtr<QMRMessage> message;
    HRESULT hr =
        session->GetMessageFromID(CComBSTR(entryId.c_str()), CComBSTR(m_sink->m_storeId.c_str()),
                                  OpenFlags(g_pEngine.load()), &message);
    CComBSTR subject;
    if (FAILED(hr) || !message || FAILED(message->GetSubject(&subject)) || !subject)
        return kNoSubject;
    return std::wstring(subject.View());
}
