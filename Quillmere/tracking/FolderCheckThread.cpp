// The folder thread of a shared folder in an ordinary store, the inspector
// guard and LastFolderSyncTime.
//
// The thread turns once a second. Each turn it polls FolderCheckLock (only
// ever tried: one folder check or import pass runs at a time across the
// process) and, holding it, runs at most one check: a deletion scan after an
// item removal, else the 2-minute comparison, else the comparison a dirty
// flag asks for. Each check gets a fresh helper session of this thread,
// because helper objects never pass between threads.
#include <bit>
#include <cstdint>
#include <cstdio>
#include <string>

#include "Quillmere/core/AddinGlobals.h"
#include "Quillmere/core/DebugLog.h"
#include "Quillmere/core/FolderObj.h"
#include "Quillmere/core/HelperObjects.h"
#include "Quillmere/core/OpenedElements.h"
#include "Quillmere/core/OutlookThread.h"
#include "Quillmere/core/Settings.h"
#include "Quillmere/core/SyncEngine.h"
#include "platform/com/Com.h"
#include "platform/outlook/Outlook.h"
#include "platform/win/Clock.h"
#include "platform/win/CriticalSection.h"
#include "platform/win/Registry.h"
#include "platform/win/Text.h"

namespace {

constexpr DWORD kTurnMs = 1000;
constexpr DWORD kCheckIntervalMs = 120000;
// FolderCheckLock polls: at the start 1000 ms apart (a line after more than
// 60 failures), in the loop 2000 ms apart (a line after more than 30).
constexpr DWORD kStartLockRetryMs = 1000;
constexpr int kStartLockReportAfter = 60;
constexpr DWORD kLoopLockRetryMs = 2000;
constexpr int kLoopLockReportAfter = 30;
// Pause before the second try to load an empty change-key list.
constexpr DWORD kReloadDelayMs = 3000;
// Checks are put off at most this long while an item of the folder is open.
constexpr DWORD kInspectorTimeoutMs = 600000;
// LastFolderSyncTime when none is stored: six days before now.
constexpr double kDefaultSyncAgeDays = 6.0;
constexpr REGSAM kFolderKeyAccess = 0x2001F;
constexpr const wchar_t* kLastFolderSyncTimeValue = L"LastFolderSyncTime";
constexpr DWORD kDateBytes = 8;

// Polls FolderCheckLock until this thread holds it (true) or the folder's
// run flag drops (false, not held).
bool TakeFolderCheckLock(CFolderObj* folder, DWORD retryMs, int reportAfter)
    TRY_ACQUIRE(true, FolderCheckLock) {
    int failures = 0;
    for (;;) {
        if (TryEnterCriticalSection(&FolderCheckLock))
            return true;
        Sleep(retryMs);
        if (++failures > reportAfter) {
            WriteDebugLogFormat("wait4folder 1 Min.!!! %s",
                                win::ToAnsi(folder->m_shareName).c_str());
            failures = 0;
        }
        if (!folder->IsRunning())
            return false;
    }
}

// Loads the folder's change-key list under FolderCheckLock; an empty list
// gets one more try 3 s later (under the lock again, so that it can't race
// an import pass that registers own changes in the list).
void LoadChangeKeyList(CFolderObj* folder, QMRMAPIUtils* utils) {
    CItemsEvents* sink = folder->Sink();
    CComPtr<QMRRDOSession> session;
    if (!TakeFolderCheckLock(folder, kStartLockRetryMs, kStartLockReportAfter))
        return;
    bool loaded = false;
    if (SUCCEEDED(folder->CreateThreadSession(&session)))
        loaded = SUCCEEDED(sink->LoadFolderList(session, utils));
    LeaveCriticalSection(&FolderCheckLock);
    if (loaded || !session || !utils)
        return;
    Sleep(kReloadDelayMs);
    if (!TakeFolderCheckLock(folder, kStartLockRetryMs, kStartLockReportAfter))
        return;
    HRESULT hr = sink->LoadFolderList(session, utils);
    LeaveCriticalSection(&FolderCheckLock);
    if (FAILED(hr))
        LogHResult(hr, "Folder is empty, or cacheload failed");
}

// At most one check, in the order of priority. The caller holds
// FolderCheckLock. session receives this turn's helper session.
void RunOneCheck(CFolderObj* folder, QMRMAPIUtils* utils, bool twoMinutes,
                 CComPtr<QMRRDOSession>& session) REQUIRES(FolderCheckLock) {
    CItemsEvents* sink = folder->Sink();
    const std::wstring& share = folder->m_shareName;
    if (sink->TakeDeletedFlag()) {
        WriteDebugLogFormat("CheckFolder4DeletedItems %s", win::ToAnsi(share).c_str());
        if (SUCCEEDED(folder->CreateThreadSession(&session)))
            sink->CheckFolder4DeletedItems(session, utils);
    } else if (twoMinutes) {
        WriteDebugLogFormat("CheckFolder %s (2Min)", win::ToAnsi(share).c_str());
        if (SUCCEEDED(folder->CreateThreadSession(&session)))
            sink->CheckChanges(session, utils);
    } else if (folder->IsRunning() && sink->TakeDirtyFlag()) {
        WriteDebugLogFormat("CheckFolder %s (dirty)", win::ToAnsi(share).c_str());
        if (SUCCEEDED(folder->CreateThreadSession(&session)))
            sink->CheckChanges(session, utils);
    }
}

// The turns, until the run flag drops.
void RunTurns(CFolderObj* folder, QMRMAPIUtils* utils) {
    WriteDebugLogFormat("Thread is running for %s", win::ToAnsi(folder->m_shareName).c_str());
    DWORD lastCheck = GetTickCount();
    // Counts 2-minute ticks (by 2, from 1); kept for a periodic deletion
    // scan, which the thread does not run.
    [[maybe_unused]] LONG tickCounter = 1;
    CComPtr<QMRRDOSession> session;
    while (folder->IsRunning()) {
        session.Release();
        CSyncEngine* engine = g_pEngine.load();
        if (!engine || engine->m_stopped.load()) {
            Sleep(kTurnMs);
            continue;
        }
        Sleep(kTurnMs);
        bool twoMinutes = false;
        DWORD now = GetTickCount();
        // Unsigned difference: the tick count wraps after 49.7 days.
        if (now - lastCheck > kCheckIntervalMs) {
            twoMinutes = true;
            lastCheck = now;
            tickCounter += 2;
        }
        if (!TakeFolderCheckLock(folder, kLoopLockRetryMs, kLoopLockReportAfter))
            break;
        RunOneCheck(folder, utils, twoMinutes, session);
        LeaveCriticalSection(&FolderCheckLock);
    }
    session.Release();
}

DATE NowAsDate() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    DATE date = 0;
    SystemTimeToVariantTime(&now, &date);
    return date;
}

// "%d%m%Y-%H%M%S" of a DATE, for the log lines.
std::string FormatDate(DATE date) {
    SYSTEMTIME st{};
    if (!VariantTimeToSystemTime(date, &st))
        return "?";
    char text[32];
    std::snprintf(text, sizeof text, "%02u%02u%04u-%02u%02u%02u", st.wDay, st.wMonth, st.wYear,
                  st.wHour, st.wMinute, st.wSecond);
    return text;
}

void LogDate(const char* text, DATE date) {
    std::string line = std::string(text) + " " + FormatDate(date);
    WriteDebugLog(line.c_str());
}

// The registry value holds the DATE's eight bytes, little-endian.
DATE DateFromBytes(const BYTE* bytes) {
    std::uint64_t bits = 0;
    for (DWORD i = 0; i < kDateBytes; ++i)
        bits |= static_cast<std::uint64_t>(bytes[i]) << (8 * i);
    return std::bit_cast<double>(bits);
}

void DateToBytes(DATE date, BYTE* bytes) {
    auto bits = std::bit_cast<std::uint64_t>(date);
    for (DWORD i = 0; i < kDateBytes; ++i)
        bytes[i] = static_cast<BYTE>(bits >> (8 * i));
}

}  // namespace

unsigned FolderCheckThread(void* argument) {
    auto* folder = static_cast<CFolderObj*>(argument);
    folder->SetThreadAlive(true);
    CoInitialize(nullptr);
    const std::wstring share = folder->m_shareName;
    {
        // Created by ProgID without the registration message box: a worker
        // thread reports the failure and ends.
        CComPtr<QMRMAPIUtils> utils;
        HRESULT hr = CreateHelperObject(L"QuillmereRDOx.QMRMAPIUtils", IID_QMRMAPIUtils,
                                        reinterpret_cast<void**>(&utils));
        if (FAILED(hr) || !utils) {
            LogHResult(hr, "no mutils Interface..");
            LogHResult(hr, "thread is not running");
        } else {
            LoadChangeKeyList(folder, utils);
            RunTurns(folder, utils);
        }
    }
    // The last access to the folder object: its destruction may go on now.
    folder->SetThreadAlive(false);
    std::wstring line = L"Thread " + share + L" ended";
    WriteDebugLog(line.c_str());
    CoUninitialize();
    return 0;
}

HRESULT CFolderObj::CreateThreadSession(QMRRDOSession** session) {
    if (!session)
        return E_POINTER;
    *session = nullptr;
    CComPtr<QMRRDOSession> created;
    HRESULT hr = CreateHelperSession(&created);  // reports "no session Interface"
    if (FAILED(hr))
        return hr;
    if (!m_engineMapiSession) {
        hr = MAPI_E_NOT_INITIALIZED;
        LogHResult(hr, "no session");
        return hr;
    }
    hr = created->PutMAPIOBJECT(m_engineMapiSession);
    if (FAILED(hr)) {
        LogHResult(hr, "MAPIOBJECT failed");
        return hr;
    }
    *session = created.Detach();
    return S_OK;
}

bool CFolderObj::IsItemOpenInInspector(QMRMAPIUtils* utils) {
    CSyncEngine* engine = g_pEngine.load();
    if (!engine)
        return false;
    bool open = false;
    // Outlook's inspector is Outlook's object: it is asked on Outlook's
    // thread. A folder being stopped does not wait for it (Outlook's thread
    // may be the one waiting for this thread to end); nothing open counts then.
    CComBSTR shownFolder;
    bool shown = false;
    RunOnOutlookThread(
        engine,
        [&] {
            _NameSpace* nameSpace = engine->Outlook() ? engine->Outlook()->NameSpace() : nullptr;
            CComPtr<_Application> application;
            if (!nameSpace || FAILED(nameSpace->get_Application(&application)) || !application)
                return;
            OpenedElements opened(application);
            shownFolder.Attach(opened.GetSecondID());
            shown = opened.IsValid();
        },
        [this] { return !IsRunning(); });
    {
        if (shown && shownFolder.Length() > 0 && utils) {
            CComBSTR ownFolder(m_sink->m_entryId);
            VARIANT_BOOL same = VARIANT_FALSE;
            if (SUCCEEDED(utils->CompareEntryIDs(shownFolder, ownFolder, &same)) &&
                same != VARIANT_FALSE) {
                WriteDebugLog("Inspector open");
                open = true;
            }
        }
    }
    if (open) {
        if (m_inspectorOpen) {
            if (GetTickCount() - m_inspectorTick > kInspectorTimeoutMs) {
                WriteDebugLog("Inspector timeout");
                open = false;
            }
        } else {
            m_inspectorTick = GetTickCount();
        }
    }
    m_inspectorOpen = open;
    return open;
}

namespace {

enum class StoredTime { kNoKey, kNoValue, kValue };

StoredTime ReadLastFolderSyncTime(const std::wstring& entryId, DATE* time) {
    std::wstring path = std::wstring(kFoldersKeyPath) + L"\\" + entryId;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, kFolderKeyAccess, &key) != ERROR_SUCCESS)
        return StoredTime::kNoKey;
    BYTE bytes[kDateBytes] = {};
    DWORD type = 0;
    DWORD size = kDateBytes;
    LSTATUS status = RegQueryValueExW(key, kLastFolderSyncTimeValue, nullptr, &type, bytes, &size);
    RegCloseKey(key);
    // A value of another size can't be a DATE: it counts as missing.
    if (status != ERROR_SUCCESS || type != REG_BINARY || size != kDateBytes)
        return StoredTime::kNoValue;
    *time = DateFromBytes(bytes);
    return StoredTime::kValue;
}

}  // namespace

bool CFolderObj::GetLastFolderSyncTime(DATE* time) {
    if (!time)
        return false;
    switch (ReadLastFolderSyncTime(m_sink->m_entryId, time)) {
        case StoredTime::kNoKey:
            *time = NowAsDate() - kDefaultSyncAgeDays;
            LogDate("gFT::no key::reset2:", *time);
            break;
        case StoredTime::kNoValue:
            *time = NowAsDate() - kDefaultSyncAgeDays;
            LogDate("gFT::no value::reset2:", *time);
            break;
        case StoredTime::kValue:
            if (DebugSwitch.load())
                LogDate("gFT::last:", *time);
            break;
    }
    return true;
}

bool CFolderObj::ReadStoredLastFolderSyncTime(DATE* time) {
    return time && ReadLastFolderSyncTime(m_sink->m_entryId, time) == StoredTime::kValue;
}

void CFolderObj::SaveLastFolderSyncTime(DATE time) {
    if (m_kind != kSharedFolder)
        return;
    std::wstring path = std::wstring(kFoldersKeyPath) + L"\\" + m_sink->m_entryId;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, kFolderKeyAccess, &key) !=
        ERROR_SUCCESS) {
        LogHResult(0, "LastFolderSyncTime");
        return;
    }
    BYTE bytes[kDateBytes];
    DateToBytes(time, bytes);
    RegSetValueExW(key, kLastFolderSyncTimeValue, 0, REG_BINARY, bytes, kDateBytes);
    RegCloseKey(key);
}
