#include "Quillmere/core/SyncEngine.h"

#include <atomic>
#include <new>

#include "Quillmere/core/FolderObj.h"
#include "Quillmere/core/HelperObjects.h"
#include "Quillmere/core/Settings.h"
#include "Quillmere/resources/LoadString.h"
#include "platform/com/Com.h"
#include "platform/win/Clock.h"
#include "platform/win/Threads.h"

namespace {

ExchangeThreadProcs g_exchangeThreadProcs;
// Atomic: a test may set the hook while threads of an earlier step still create objects.
std::atomic<HRESULT (*)(const wchar_t*, REFIID, void**)> g_helperCreator = nullptr;

constexpr HRESULT kConnectionTimeout = static_cast<HRESULT>(0x80040401);
constexpr HRESULT kServerUnavailable = static_cast<HRESULT>(0x8004011D);

// Sleeps ms platform milliseconds in slices, returning early once StopFlag is
// set, so that a shut-down never waits a whole log-on retry for this thread.
void SleepUnlessStopped(DWORD ms) {
    constexpr DWORD kSlice = 250;
    while (ms > 0 && !StopFlag.load()) {
        DWORD step = ms < kSlice ? ms : kSlice;
        Sleep(step);
        ms -= step;
    }
}

}  // namespace

HRESULT CreateHelperObject(const wchar_t* progId, REFIID iid, void** out) {
    if (!out)
        return E_POINTER;
    *out = nullptr;
    if (auto creator = g_helperCreator.load())
        return creator(progId, iid, out);
    CLSID clsid{};
    HRESULT hr = CLSIDFromProgID(progId, &clsid);
    if (FAILED(hr))
        return hr;
    return CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, iid, out);
}

void SetHelperObjectCreatorForTesting(HRESULT (*creator)(const wchar_t*, REFIID, void**)) {
    g_helperCreator = creator;
}

HRESULT CreateHelperSession(QMRRDOSession** out) {
    HRESULT hr = CreateHelperObject(L"QuillmereRDOx.QMRRDOSession", IID_QMRRDOSession,
                                    reinterpret_cast<void**>(out));
    if (FAILED(hr))
        LogHResult(hr, "no session Interface");
    return hr;
}

void SetExchangeThreadProcs(const ExchangeThreadProcs& procs) {
    g_exchangeThreadProcs = procs;
}

CSyncEngine::CSyncEngine(std::unique_ptr<core::IOutlookAccess> outlook, const wchar_t* debugLogPath)
    : m_openFlags(static_cast<LONG>(kOpenFlagsModern), VT_I4),
      m_outlookThread(GetCurrentThreadId()),
      m_outlook(std::move(outlook)) {
    StopFlag = false;
    SetSyncState(kSyncStateOffline);
    SetDebugLogPath(debugLogPath);
    CreateSession();
    m_stopped = false;
    ReadOutlookMode();
}

void CSyncEngine::CreateSession() {
    CComPtr<QMRRDOSession> session;
    if (FAILED(CreateHelperObject(L"QuillmereRDOx.QMRRDOSession", IID_QMRRDOSession,
                                  reinterpret_cast<void**>(&session)))) {
        LogHResult(0, "no session Interface");
        return;
    }
    m_session = session;
    HRESULT hr = E_POINTER;
    CComPtr<IUnknown> mapiSession;
    if (m_outlook && SUCCEEDED(m_outlook->GetMAPIOBJECT(&mapiSession)) && mapiSession)
        hr = m_session->PutMAPIOBJECT(mapiSession);
    if (FAILED(hr)) {
        CComVariant empty[6];
        hr = m_session->Logon(empty[0], empty[1], empty[2], empty[3], empty[4], empty[5]);
        if (FAILED(hr))
            LogHResult(hr, "no session");
    }
    if (SUCCEEDED(hr) && FAILED(m_session->GetMAPIOBJECT(&m_mapiSessionObject)))
        m_mapiSessionObject = mapiSession;
}

void CSyncEngine::ReadOutlookMode() {
    std::wstring version;
    if (m_outlook && SUCCEEDED(m_outlook->GetVersion(version))) {
        m_modernMode = true;
        if (version.rfind(L"9.", 0) == 0 || version.rfind(L"10.", 0) == 0) {
            m_modernMode = false;
            WriteDebugLog("Using OL2000-OL2002 mode");
            m_openFlags = CComVariant(static_cast<LONG>(kOpenFlagsOldOutlook), VT_I4);
        }
    }
    if (!m_modernMode) {
        m_ready = true;
        return;
    }
    // The engine keeps the handle so that its destruction can wait for the
    // thread: the thread uses the engine until its last line.
    unsigned id = 0;
    m_sessionThread = _beginthreadex(nullptr, 0, SessionInitThread, this, 0, &id);
}

CSyncEngine::~CSyncEngine() {
    StopFlag = true;
    WriteDebugLog("Shutdown.SyncFolders..");
    if (m_sessionThread) {
        HANDLE thread = reinterpret_cast<HANDLE>(m_sessionThread);
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
        m_sessionThread = 0;
    }
    while (GetFolderEntry(0, true)) {
        CFolderObj* folder = RemoveFirstFolder();
        delete folder;
    }
    WriteDebugLog("Shutdown.ready");
    DebugSwitch = false;
    m_utils.Release();
    m_session.Release();
    m_mapiSessionObject.Release();
    m_outlook.reset();
}

void CSyncEngine::Start() {
    LogHResult(0, "START");
    m_desktopNotification = true;
    m_started = true;
    if (!m_utils) {
        CComPtr<QMRMAPIUtils> utils;
        if (SUCCEEDED(CreateMAPIUtils(this, &utils)))
            m_utils = utils;
    }
    LoadSettings(this, false);
}

void CSyncEngine::SetSyncState(LONG state) {
    EnterCriticalSection(&StateLock);
    m_syncState = state;
    LeaveCriticalSection(&StateLock);
}

void CSyncEngine::ChangeSyncState(LONG newState, LONG expected) {
    EnterCriticalSection(&StateLock);
    if (m_syncState.load() == expected)
        m_syncState = newState;
    LeaveCriticalSection(&StateLock);
}

void CSyncEngine::SetPendingNotification(const std::wstring& title, const std::wstring& text,
                                         LONG kind) {
    EnterCriticalSection(&NotificationLock);
    m_pendingTitle = title;
    m_pendingText = text;
    m_pendingKind = kind;
    LeaveCriticalSection(&NotificationLock);
}

bool CSyncEngine::TakePendingNotification(std::wstring& title, std::wstring& text, LONG& kind) {
    EnterCriticalSection(&NotificationLock);
    bool taken = !m_pendingTitle.empty() && !m_pendingText.empty();
    if (taken) {
        title = m_pendingTitle;
        text = m_pendingText;
        kind = m_pendingKind;
        m_pendingTitle.clear();
        m_pendingText.clear();
        m_pendingKind = 0;
    }
    LeaveCriticalSection(&NotificationLock);
    return taken;
}

void CSyncEngine::QueueDesktopNotification(const std::wstring& first, const std::wstring& second,
                                           LONG kind, const std::wstring& third) {
    struct KindEntry {
        UINT titleId;
        LONG balloonIcon;
        bool hasText;
    };
    static constexpr KindEntry kKinds[] = {
        {1250, 1, true}, {1251, 1, true}, {1249, 1, true},  {1214, 1, true},
        {1213, 0, true}, {1264, 0, true}, {1213, 2, false}, {1213, 3, false},
    };
    if (!m_desktopNotification.load() || kind < 0 ||
        kind >= static_cast<LONG>(sizeof kKinds / sizeof kKinds[0]))
        return;
    const KindEntry& entry = kKinds[kind];
    std::wstring title;
    LoadString(AddinResourceModule(), entry.titleId, g_UILanguage.load(), title);
    std::wstring text;
    if (entry.hasText)
        text = second + L": " + third + L" " + first;
    SetPendingNotification(title, text, entry.balloonIcon);
}

bool CSyncEngine::GetStatusText(std::wstring& text) const {
    CriticalSectionLock lock(m_textLock);
    text = m_statusText;
    return true;
}

void CSyncEngine::SetStatusText(const std::wstring& text) {
    CriticalSectionLock lock(m_textLock);
    m_statusText = text;
}

std::optional<std::wstring> CSyncEngine::SpecialSender() const {
    CriticalSectionLock lock(m_textLock);
    return m_specialSender;
}

void CSyncEngine::SetSpecialSender(std::optional<std::wstring> sender) {
    CriticalSectionLock lock(m_textLock);
    m_specialSender = std::move(sender);
}

void CSyncEngine::SetDataPaths(const std::wstring& dataDirectory) {
    m_dataDirectory = dataDirectory;
    m_shareFilePath = dataDirectory + L"share.syn";
    m_cabinetPath = dataDirectory + L"sync.zuf";
}

CFolderObj* CSyncEngine::GetFolderEntry(DWORD index, bool force) {
    EnterCriticalSection(&FolderTableLock);
    CFolderObj* entry = nullptr;
    if (index < m_folderCount) {
        CFolderObj* candidate = m_folders[index];
        if (force || candidate->IsRunning())
            entry = candidate;
    }
    LeaveCriticalSection(&FolderTableLock);
    return entry;
}

DWORD CSyncEngine::GetFolderCount() {
    EnterCriticalSection(&FolderTableLock);
    DWORD count = m_folderCount;
    LeaveCriticalSection(&FolderTableLock);
    return count;
}

DWORD CSyncEngine::GetFolderTableCapacity() {
    EnterCriticalSection(&FolderTableLock);
    DWORD capacity = m_folderCapacity;
    LeaveCriticalSection(&FolderTableLock);
    return capacity;
}

BYTE CSyncEngine::GetFolderFlagByName(const std::wstring& name) {
    EnterCriticalSection(&FolderTableLock);
    BYTE flag = 0;
    for (DWORD i = 0; i < m_folderCount; ++i) {
        if (m_folders[i]->m_shareName == name) {
            flag = m_folders[i]->m_useVersionCheck ? 1 : 0;
            break;
        }
    }
    LeaveCriticalSection(&FolderTableLock);
    return flag;
}

bool CSyncEngine::AppendFolder(CFolderObj* folder) {
    EnterCriticalSection(&FolderTableLock);
    bool added = false;
    if (m_folderCount < m_folderCapacity) {
        added = true;
    } else {
        DWORD capacity = m_folderCapacity == 0 ? 1 : m_folderCapacity * 2;
        if (capacity <= kMaxFolderTableCapacity && capacity > m_folderCapacity) {
            std::unique_ptr<CFolderObj*[]> grown(new (std::nothrow) CFolderObj*[capacity]);
            if (grown) {
                for (DWORD i = 0; i < m_folderCount; ++i)
                    grown[i] = m_folders[i];
                m_folders = std::move(grown);
                m_folderCapacity = capacity;
                added = true;
            }
        }
    }
    if (added)
        m_folders[m_folderCount++] = folder;
    LeaveCriticalSection(&FolderTableLock);
    return added;
}

CFolderObj* CSyncEngine::RemoveFirstFolder() {
    EnterCriticalSection(&FolderTableLock);
    CFolderObj* first = nullptr;
    if (m_folderCount > 0) {
        first = m_folders[0];
        for (DWORD i = 1; i < m_folderCount; ++i)
            m_folders[i - 1] = m_folders[i];
        --m_folderCount;
    }
    LeaveCriticalSection(&FolderTableLock);
    return first;
}

void StartThreads(CSyncEngine* engine) {
    LONG running = GetRunningThreadCount();
    if (running >= 1) {
        LogHResult(running, "StartThreads");
        return;
    }
    StopFlag = false;
    if (engine)
        engine->SetSyncState(kSyncStateIdle);
    unsigned (*const procs[])(void*) = {
        g_exchangeThreadProcs.delMailSendThread,
        g_exchangeThreadProcs.mailSendThread,
        g_exchangeThreadProcs.importFromInboxThread,
    };
    for (auto proc : procs) {
        if (!proc)
            continue;
        // Counted before it exists: a thread that is slow to reach its first
        // line must already hold the Quit handler (and a basic
        // synchronisation) off, or they would see no thread and tear down
        // the engine and the locks it is about to use.
        IncrementRunningThreadCount();
        unsigned id = 0;
        std::uintptr_t thread = _beginthreadex(nullptr, 0, proc, nullptr, 0, &id);
        if (thread)
            CloseHandle(reinterpret_cast<HANDLE>(thread));
        else
            DecrementRunningThreadCount();
    }
}

namespace {

// Step 2 of the log-on thread: up to 13 tries, 10 s apart. Returns the last
// HRESULT.
HRESULT LogonWithRetries(CSyncEngine* engine, QMRRDOSession* session) {
    constexpr int kReportFromTry = 13;
    HRESULT hr = S_OK;
    for (int attempt = 1;; ++attempt) {
        if (StopFlag.load())
            break;
        CComVariant empty;
        CComVariant newSession(static_cast<LONG>(0), VT_I4);
        CComVariant noMailbox(static_cast<LONG>(1), VT_I4);
        hr = session->Logon(empty, empty, empty, newSession, empty, noMailbox);
        if (SUCCEEDED(hr))
            break;
        session->Logoff();
        bool lastTry = attempt >= kReportFromTry;
        if (lastTry)
            LogHResult(hr, hr == kConnectionTimeout ? "session Connectiontimeout" : "LogonFailed");
        WriteDebugLog("Try enter Session again in 10s");
        engine->SetSyncState(kSyncStateOffline);
        SleepUnlessStopped(10000);
        if (lastTry)
            break;
    }
    return hr;
}

// One look at the connection (step 4): true when the engine may be marked
// ready now.
bool ConnectionUsable(CSyncEngine* engine, QMRRDOSession* session) {
    LONG mode = -1;
    HRESULT hr = session->GetConnectionMode(&mode);
    if (FAILED(hr)) {
        engine->SetSyncState(kSyncStateOffline);
        return false;
    }
    if (mode == kQmrConnectionNoExchange || mode == kQmrConnectionOnline) {
        engine->SetReady();
        return true;
    }
    if (mode >= 200 && mode <= 400) {
        WriteDebugLog("Offline|Disconnected|CachedOffline|CachedDisconnected");
        engine->SetSyncState(kSyncStateOffline);
        return false;
    }
    WriteDebugLog("using olCached mode");
    CComBSTR storeId;
    CComBSTR entryId;
    {
        CComPtr<QMRMAPIFolder> inbox;
        hr = session->GetDefaultFolder(6, &inbox);
        if (SUCCEEDED(hr))
            hr = inbox->GetStoreID(&storeId);
        if (SUCCEEDED(hr))
            hr = inbox->GetEntryID(&entryId);
    }
    if (SUCCEEDED(hr)) {
        CComPtr<QMRMAPIFolder> reopened;
        CComVariant flags(static_cast<LONG>(kOpenFlagsModern), VT_I4);
        hr = session->GetFolderFromID(entryId, storeId, flags, &reopened);
    }
    if (SUCCEEDED(hr)) {
        WriteDebugLog("safe2init");
        return true;
    }
    if (hr == kServerUnavailable)
        LogHResult(hr, "Server is not available (or user not logged in)");
    engine->SetSyncState(kSyncStateOffline);
    return false;
}

}  // namespace

unsigned SessionInitThread(void* argument) {
    auto* engine = static_cast<CSyncEngine*>(argument);
    HRESULT initHr = CoInitialize(nullptr);
    CComPtr<QMRRDOSession> session;
    HRESULT hr = CreateHelperSession(&session);
    if (SUCCEEDED(hr))
        hr = LogonWithRetries(engine, session);

    bool markReady = true;
    SleepUnlessStopped(1000);
    if (StopFlag.load()) {
        markReady = false;
    } else {
        for (;;) {
            if (!session) {
                LogHResult(hr, "no session Interface in Mainthread");
                markReady = false;
                break;
            }
            if (ConnectionUsable(engine, session))
                break;
            SleepUnlessStopped(5000);
            WriteDebugLog("Waiting for Init...");
            // A stop while waiting still ends with the engine ready.
            if (StopFlag.load())
                break;
        }
    }
    if (session)
        session->Logoff();
    session.Release();
    if (markReady) {
        WriteDebugLog("Mission Possible");
        engine->SetReady();
    }
    if (SUCCEEDED(initHr))
        CoUninitialize();
    return 0;
}
