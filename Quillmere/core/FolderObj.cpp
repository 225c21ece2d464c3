#include "Quillmere/core/FolderObj.h"

#include <cstdint>
#include <string>

#include "Quillmere/core/AddinGlobals.h"
#include "Quillmere/core/DebugLog.h"
#include "Quillmere/core/SyncEngine.h"
#include "platform/outlook/Outlook.h"
#include "platform/win/Clock.h"
#include "platform/win/Handle.h"
#include "platform/win/Text.h"
#include "platform/win/Threads.h"

namespace {

// The destructor's poll of the thread-alive flag, and how many polls make
// the "stops since" line (about once a minute).
constexpr DWORD kThreadPollMs = 500;
constexpr int kThreadPollsPerReport = 121;
// The destructor's poll of the FolderUse count: uses are a few calls long.
constexpr DWORD kUserPollMs = 10;
// The share name in the start line is held to this many characters.
constexpr std::size_t kStartLineLength = 199;

// A text property of an Outlook object by DISPID; empty when it has none.
std::wstring TextProperty(IDispatch* object, DISPID id) {
    CComVariant value;
    if (FAILED(com::GetProperty(object, id, &value)) || value.vt != VT_BSTR || !value.bstrVal)
        return {};
    return std::wstring(value.bstrVal, SysStringLen(value.bstrVal));
}

void (*g_folderUseHook)(const char*, CFolderObj*) = nullptr;

}  // namespace

void SetFolderUseHookForTesting(void (*hook)(const char* user, CFolderObj* folder)) {
    g_folderUseHook = hook;
}

FolderUse& FolderUse::operator=(FolderUse&& other) noexcept {
    if (this != &other) {
        Reset();
        m_folder = other.m_folder;
        other.m_folder = nullptr;
    }
    return *this;
}

void FolderUse::Reset() {
    if (m_folder)
        m_folder->ReleaseUser();
    m_folder = nullptr;
}

FolderUse CSyncEngine::UseFolderEntry(DWORD index, bool force, const char* user) {
    CFolderObj* entry = nullptr;
    EnterCriticalSection(&FolderTableLock);
    if (index < m_folderCount) {
        CFolderObj* candidate = m_folders[index];
        if (force || candidate->IsRunning()) {
            entry = candidate;
            entry->AddUser();
        }
    }
    LeaveCriticalSection(&FolderTableLock);
    FolderUse use(entry);
    if (entry && g_folderUseHook)
        g_folderUseHook(user, entry);
    return use;
}

CFolderObj::CFolderObj(IDispatch* folder, LONG kind, bool isExchange, const std::wstring& entryId,
                       const std::wstring& storeId)
    : m_kind(kind), m_isExchange(isExchange), m_folder(folder) {
    WriteDebugLog("create FObj");
    m_sink = std::make_unique<CItemsEvents>(this, kind);
    m_sink->AddRef();
    m_sink->m_entryId = entryId;
    m_sink->m_storeId = storeId;
    m_sink->m_isExchange = isExchange;
    if (folder)
        AttachToOutlookFolder(folder);
    WriteDebugLog(kind == kAlternateInbox ? "create special FObj ready" : "create FObj ready");
    WriteDebugLog(isExchange ? "::IsExchangeFolder" : "::no Exchange");
}

void CFolderObj::AttachToOutlookFolder(IDispatch* folder) {
    CComVariant items;
    HRESULT hr = com::GetProperty(folder, outlook::dispid::kItems, &items);
    if (FAILED(hr) || items.vt != VT_DISPATCH || !items.pdispVal) {
        // Kept without events rather than failing the configuration load:
        // the thread's 2-minute check still compares the folder.
        LogHResult(FAILED(hr) ? hr : E_POINTER, "create FObj::no Items");
        return;
    }
    std::wstring store = TextProperty(folder, outlook::dispid::kStoreID);
    if (!store.empty())
        m_sink->m_storeId = store;
    std::wstring entry = TextProperty(folder, outlook::dispid::kEntryID);
    if (!entry.empty())
        m_sink->m_entryId = entry;
    // Without a connection point the folder has no events; that is silent.
    m_sink->Advise(items.pdispVal);
}

CFolderObj::~CFolderObj() {
    WriteDebugLogFormat("Folder %s has sent %d elems (no del's incl.)/ we have %d elems in fldr",
                        win::ToAnsi(m_shareName).c_str(), static_cast<int>(m_sentCount.load()),
                        static_cast<int>(m_elementCount.load()));
    m_run = false;
    WaitForThread();
    // Before the state is saved: a use may still register an own change.
    WaitForUsers();
    // The helper folder (Exchange) goes with the members.
    m_folder.Release();
    // State that was never loaded (the thread ended or was stopped before it
    // got FolderCheckLock) must not overwrite the state files: they hold the
    // only record of the folder, and an empty list would make the next start
    // adopt every change and miss every deletion since. Saved after the
    // thread ended: a scan adds to the SID to SOURCE table until then.
    if (m_isExchange) {
        if (m_sid2SourceFilled.load())
            SaveSid2SourceTable();
    } else if (m_sink->HasTakenUpStateFiles()) {
        m_sink->WritechangeKeylist2File();
    } else {
        WriteDebugLog("FObj::list not loaded, state files kept");
    }
    m_sink->Unadvise();
    m_sink.reset();
    m_engineMapiSession.Release();
}

void CFolderObj::WaitForThread() {
    int polls = 0;
    while (m_threadAlive.load()) {
        m_run = false;
        Sleep(kThreadPollMs);
        if (++polls >= kThreadPollsPerReport) {
            WriteDebugLog("Thread stops since 2 Min");
            polls = 0;
        }
    }
}

void CFolderObj::WaitForUsers() {
    while (m_users.load() > 0)
        Sleep(kUserPollMs);
}

void CFolderObj::Start() {
    m_run = true;
    m_sentCount = 0;
    m_elementCount = 0;
    unsigned (*proc)(void*) = nullptr;
    if (m_isExchange)
        proc = ExchangeFolderThread;
    else if (m_kind == kSharedFolder)
        proc = FolderCheckThread;
    if (proc) {
        // The helper session refuses calls from other threads, so the
        // thread is handed the MAPI object behind it.
        CSyncEngine* engine = g_pEngine.load();
        m_engineMapiSession = engine ? engine->MapiSessionObject() : nullptr;
        if (!m_engineMapiSession && engine && engine->Outlook())
            engine->Outlook()->GetMAPIOBJECT(&m_engineMapiSession);
        // The alive flag is raised before the thread exists: a destruction
        // right after Start must wait for it, not free the object under a
        // thread that has yet to begin.
        m_threadAlive = true;
        std::uintptr_t thread = _beginthreadex(nullptr, 0, proc, this, 0, nullptr);
        if (thread == 0) {
            m_threadAlive = false;
            LogHResult(E_OUTOFMEMORY, "FObj thread not started");
        } else {
            CloseHandle(reinterpret_cast<HANDLE>(thread));
        }
    }
    // The whole line, its prefix included, is held to kStartLineLength.
    WriteDebugLogFormat(
        "FObj started %s",
        win::ToAnsi(m_shareName.substr(0, kStartLineLength - (sizeof "FObj started " - 1)))
            .c_str());
}
