// CFolderObj: one synchronised folder of the current profile, as the
// configuration loading builds it and the engine's folder table owns it.
//
// Kinds: 0 a shared folder (its changes are tracked and sent), 2 an
// alternate inbox (arriving sync mails are collected from it; no thread).
//
// It holds the folder's settings, its Outlook folder, its item-event sink
// (advised at construction) and, from Start, its worker thread:
// FolderCheckThread for a shared folder of an ordinary store,
// ExchangeFolderThread for an Exchange folder, none for an alternate inbox.
//
// Threads: built, filled, started and destroyed on Outlook's thread. The
// destructor clears the run flag and waits for the thread-alive flag to drop
// (no upper bound). The run flag and the alive flag are written by one side
// and polled by the other.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "Quillmere/core/ItemsEvents.h"
#include "platform/com/Bstr.h"
#include "platform/com/Dispatch.h"
#include "platform/com/Unknown.h"
#include "platform/com/Variant.h"
#include "platform/rdo/QuillmereRDO.h"
#include "platform/win/CriticalSection.h"
#include "platform/win/Types.h"

// The folder threads, started by CFolderObj::Start with the folder object as
// their argument: FolderCheckThread for an ordinary store's folder,
// ExchangeFolderThread for an Exchange folder. Both return 0.
unsigned FolderCheckThread(void* folder);
unsigned ExchangeFolderThread(void* folder);

class CFolderObj;

// One use of a folder table entry by a thread that is not Outlook's (the
// exchange threads): while a FolderUse holds an entry, the entry's
// destruction (a settings reload, the shut-down) waits for it. Taken only by
// CSyncEngine::UseFolderEntry, under FolderTableLock: an entry that has
// left the table can't be taken any more, so a destruction that starts
// after the removal waits only for uses taken before it. Hold one only for
// the few calls that need the entry, never while waiting for Outlook's
// thread (which may be the one waiting in the destruction). Move-only; any
// thread.
class FolderUse {
public:
    FolderUse() = default;
    ~FolderUse() { Reset(); }
    FolderUse(FolderUse&& other) noexcept : m_folder(other.m_folder) { other.m_folder = nullptr; }
    FolderUse& operator=(FolderUse&& other) noexcept;
    FolderUse(const FolderUse&) = delete;
    FolderUse& operator=(const FolderUse&) = delete;

    CFolderObj* get() const { return m_folder; }
    CFolderObj* operator->() const { return m_folder; }
    explicit operator bool() const { return m_folder != nullptr; }
    // Ends the use (the entry may be freed from here on).
    void Reset();

private:
    friend class CSyncEngine;
    // folder: an entry whose use count the caller has raised already.
    explicit FolderUse(CFolderObj* folder) : m_folder(folder) {}
    CFolderObj* m_folder = nullptr;
};

// Test hook: runs on the using thread right after a FolderUse was taken,
// with the name of the path that took it, while the use is held (so a hook
// that blocks holds the path inside its use). Null removes it.
void SetFolderUseHookForTesting(void (*hook)(const char* user, CFolderObj* folder));

class CFolderObj {
public:
    static constexpr LONG kSharedFolder = 0;
    static constexpr LONG kAlternateInbox = 2;

    // folder: Outlook's MAPIFolder (a reference is added and kept); kind 0 or
    // 2; isExchange as the configuration loading decided (false for kind 2).
    // entryId / storeId: the folder's MAPIFolder.EntryID and StoreID, used
    // where the folder gives none (a null folder, in tests). The sink is
    // advised on the folder's Items; a folder without Items or events is
    // kept without events (reported as "create FObj::no Items" when there
    // are no Items) and relies on the thread's 2-minute check.
    CFolderObj(IDispatch* folder, LONG kind, bool isExchange, const std::wstring& entryId,
               const std::wstring& storeId);
    // Logs the sent count, clears the run flag, waits for the thread (500-ms
    // polls, "Thread stops since 2 Min" every 121st) and for every FolderUse
    // of it to end (10-ms polls; no upper bound), then saves the state
    // that the thread took up (the state files are kept otherwise): an
    // Exchange folder's SID to SOURCE table, an ordinary folder's change-key
    // list (after the send queues); and unadvises the sink. Outlook's thread.
    ~CFolderObj();
    CFolderObj(const CFolderObj&) = delete;
    CFolderObj& operator=(const CFolderObj&) = delete;

    // Starts tracking: run flag := 1, sent and element counts := 0, the
    // folder's thread started with this object as its argument (handle not
    // kept). Takes the engine session's MAPI object for the thread's own
    // sessions. Once, on the thread that owns the engine's session.
    void Start();
    // Clears the run flag (the shut-down and a reload do this first).
    void Stop() { m_run = false; }
    bool IsRunning() const { return m_run.load(); }
    void IncrementSentCount() { ++m_sentCount; }

    LONG Kind() const { return m_kind; }
    bool IsExchange() const { return m_isExchange; }
    IDispatch* Folder() const { return m_folder; }
    CItemsEvents* Sink() { return m_sink.get(); }
    const CItemsEvents* Sink() const { return m_sink.get(); }

    // --- Folder thread of an ordinary store (FolderCheckThread.cpp) ---------
    // True while a check of this folder is to be put off because an item of
    // the folder is shown in Outlook's active inspector; after 600 s of
    // putting off one call answers false (the check runs) and the put-off
    // starts again. utils: the calling folder thread's own. That thread only.
    bool IsItemOpenInInspector(QMRMAPIUtils* utils);
    // The folder's registry value LastFolderSyncTime (REG_BINARY, an 8-byte
    // DATE) in its Folders key; six days before now (local time) when the
    // key or a valid value is missing. True (the time is valid); false only
    // for a null time. Any thread.
    bool GetLastFolderSyncTime(DATE* time);
    // The stored LastFolderSyncTime only: false (time untouched) when the
    // key or a valid value is missing, i.e. no scan of this folder ever saved
    // its state. Any thread.
    bool ReadStoredLastFolderSyncTime(DATE* time);
    // Writes LastFolderSyncTime into the folder's existing key (kind 0 only;
    // the key is not created: a missing key is reported "LastFolderSyncTime").
    void SaveLastFolderSyncTime(DATE time);
    // A new helper session of the calling thread attached to the engine's
    // MAPI session (taken at Start). S_OK with *session set; else *session
    // null, the failure reported ("no session Interface", "no session",
    // "MAPIOBJECT failed") and its HRESULT returned.
    HRESULT CreateThreadSession(QMRRDOSession** session);
    // The engine session's MAPI object taken at Start (null when none could
    // be had). It names the session only and may be used on any thread.
    IUnknown* EngineMapiSession() const { return m_engineMapiSession; }
    // The FolderUse count (FolderUse and CSyncEngine::UseFolderEntry only).
    void AddUser() { ++m_users; }
    void ReleaseUser() { --m_users; }
    LONG UserCount() const { return m_users.load(); }
    // Set by the folder's thread at its start, cleared as its last access to
    // this object; the destructor waits for it to drop.
    void SetThreadAlive(bool alive) { m_threadAlive = alive; }
    bool IsThreadAlive() const { return m_threadAlive.load(); }

    // --- Exchange cache and own changes (ExchangeCache.cpp) -----------------
    // The Exchange form of CItemsEvents::AddToChangeList: registers an own
    // write to the item with that sync id text (owned, freed by the call) so
    // that the next ICS scan absorbs it. Online (or without an Exchange
    // connection) the item's source and change keys go into the Exchange
    // cache; an item not found yet, or any own change while Outlook is
    // offline / disconnected (state code := 4), waits in the waiting
    // self-modified items (once per sync id) for the scan to take it up.
    // Any thread, with its own helper objects. Returns S_OK when the keys
    // went into the cache, kExModifItemNotFound when the item was not found
    // (remembered), S_FALSE when it was remembered because Outlook is
    // offline, else the failing HRESULT of the road taken. The scan's
    // walk of the waiting items drops an item on S_OK and on
    // kExModifItemNotFound: each gets one more try online.
    static constexpr HRESULT kExModifItemNotFound = 2;
    HRESULT ExModifItem(QMRRDOSession* session, QMRMAPIUtils* utils, BSTR syncIdText,
                        bool reminderFlag);
    // Sets the cache entry of sourceKeyText to changeKeyText, or with
    // reminderFlag to "REMINDER" but only for a source key of the SID to
    // SOURCE table (else nothing changes). Both texts stay the caller's.
    // S_OK; E_POINTER for a null source key.
    HRESULT AddToExchangeCache(QMRMAPIUtils* utils, BSTR sourceKeyText, BSTR changeKeyText,
                               bool reminderFlag);
    // The subject of the item with that sync id, for log lines;
    // "NO_SUBJECT_FROM_SEARCHKEY_FOUND" when none is found.
    std::wstring SubjectFromSyncID(QMRRDOSession* session, QMRMAPIUtils* utils,
                                   const std::wstring& syncIdText, const std::wstring& entryId,
                                   const std::wstring& storeId);

    // --- Exchange change tracking (ExchangeFolderThread.cpp) --------------
    // One ICS scan of the folder with the calling thread's helper objects:
    // new and changed items go to QueueSyncMessage, deletions to
    // QueueDeleteMessage, own changes are absorbed. The caller holds
    // FolderCheckLock. 0 when skipped (no Exchange folder, an item open in
    // an inspector); else the last HRESULT (E_FAIL after a rejected state).
    HRESULT ScanExchangeChanges(QMRRDOSession* session, QMRMAPIUtils* utils);
    // Fills the SID to SOURCE table from the folder's contents table. 0 for
    // a folder that is no Exchange folder; E_FAIL without an engine.
    HRESULT FillFolderCache(QMRRDOSession* session, QMRMAPIUtils* utils);
    // True when the change must not be sent: its change key is the cached
    // one (the entry is dropped) or the cache holds "REMINDER" for it (the
    // entry takes the new change key, after the reminder check of the sink
    // with session / utils, the calling thread's own). A differing cached
    // key is dropped.
    bool IsMyOwnChange(QMRRDOSession* session, QMRMAPIUtils* utils, const std::wstring& sourceKey,
                       const std::wstring& changeKey);
    // The subject of the item with that entry id in the folder's store;
    // "NO_SUBJECT_FOUND" when it can't be read.
    std::wstring GetItemSubject(QMRRDOSession* session, const std::wstring& entryId);

    // Copies of the Exchange state, each taken under its lock.
    std::vector<std::pair<std::wstring, std::wstring>> ExchangeCacheEntries();
    std::vector<std::pair<std::wstring, bool>> WaitingSelfModifiedItems();
    std::vector<std::pair<std::wstring, std::wstring>> Sid2SourceEntries();
    std::vector<std::wstring> ElemsInSync();
    // The ICS state text; read it only while no scan runs (the folder thread
    // writes it without a lock).
    std::wstring IcsState() const { return std::wstring(m_icsState.View()); }
    bool IsResetPending() const { return m_resetFlag.load(); }
    LONG SyncDataErrorCount() const { return m_syncDataErrorCount.load(); }
    // Removes the first SID to SOURCE entry of that sync id; whether one was
    // there (for CItemsEvents::RemoveFromExchangeFolderCache). Any thread.
    bool RemoveSid2SourceEntry(const std::wstring& syncIdText);
    // The Exchange basic-sync byte: 0 at construction; the configuration
    // loading clears it when it loads the state before a basic sync.
    BYTE ExchangeBasicSync() const { return m_exchangeBasicSync.load(); }
    void SetExchangeBasicSync(BYTE value) { m_exchangeBasicSync = value; }

    // --- ELEMS_IN_SYNC: sync id texts of the items queued from this folder ----
    // (ExchangeStateFiles.cpp; any thread, under the list's own lock)
    bool IsElemInSync(const std::wstring& syncIdText);
    void AddElemInSync(const std::wstring& syncIdText);
    void RemoveElemInSync(const std::wstring& syncIdText);

    // --- Exchange state files (ExchangeStateFiles.cpp) ---------------------
    // Files in the engine's data directory, named by the sink's EntryID:
    // ".syncdata.ids" (the ICS state as UTF-16LE units, nothing else),
    // ".cache.ids" (source key;change key), ".insync.ids" (one sync id a
    // line) and ".sync2sourcetbl.ids" (sync id;source key). Text files are
    // ANSI with CR LF line ends. Unopenable files are skipped on writing.
    //
    // Opens the helper folder through session (modes 200..400: state 4,
    // E_FAIL); the first success loads the state files and fills the SID to
    // SOURCE table; a success turns state 4 into 0. The calling thread's
    // helper objects.
    HRESULT InitFolder(QMRRDOSession* session, QMRMAPIUtils* utils);
    // Loads ".insync.ids", ".syncdata.ids" into *stateText (freed and
    // replaced) and ".cache.ids" (the first entry of a source key only). A
    // missing or short state file resets the folder: reset flag set, empty
    // state, one scan in reset mode at once (which, when an earlier scan
    // saved its state, looks at the items changed since; the cache is read
    // for it then). Unusable lines are skipped and reported with the file's
    // name. 0; E_FAIL without an engine or memory.
    HRESULT LoadSyncData(QMRRDOSession* session, QMRMAPIUtils* utils, BSTR* stateText);
    // LoadSyncData into the folder's own state with the engine's helper
    // objects (Outlook's thread, before a basic synchronisation, before the
    // folder's thread starts); a helper folder it opened is released again.
    HRESULT LoadSyncDataOwn();
    // Appends the lines of ".insync.ids" to ELEMS_IN_SYNC (one already
    // listed is skipped).
    void LoadElemsInSync();
    // Writes, each file whole and in this order: the send queues
    // (PersistSendQueues), ".sync2sourcetbl.ids" (once the table was
    // filled), ".insync.ids", ".syncdata.ids" (stateText) and ".cache.ids".
    // E_FAIL without an engine or on a short write of the state (the old
    // state file stays then); else S_OK.
    HRESULT SaveSyncData(BSTR stateText);
    HRESULT SaveSyncDataOwn();
    void SaveElemsInSync();
    // ".cache.ids" alone, after the send queues.
    HRESULT SaveExchangeCacheTable();
    void SaveSid2SourceTable();
    // The sync id of the first SID to SOURCE entry with that source key, else
    // of the first line of ".sync2sourcetbl.ids" whose source key it is.
    // S_OK (syncIdText left empty when neither has it); E_FAIL when the
    // table lacks it and there is no file. syncIdText is emptied first.
    HRESULT GetSyncIdFromSourceKey(const std::wstring& sourceKey, std::wstring* syncIdText);

    // Settings filled by the configuration loading before Start.
    std::wstring m_password;         // `Password`: the cabinet key; empty = none
    std::wstring m_category;         // `Categorie`
    std::wstring m_shareName;        // `ShareName`
    bool m_useVersionCheck = false;  // `USEVERSIONCHECK`

private:
    LONG m_kind;
    bool m_isExchange;
    std::atomic<bool> m_run{false};
    std::atomic<LONG> m_sentCount{0};
    std::atomic<LONG> m_elementCount{0};
    CComPtr<IDispatch> m_folder;
    std::unique_ptr<CItemsEvents> m_sink;

    // --- Folder thread ---
    void AttachToOutlookFolder(IDispatch* folder);
    void WaitForThread();
    void WaitForUsers();
    std::atomic<bool> m_threadAlive{false};
    std::atomic<LONG> m_users{0};
    // The inspector guard: set while a check is put off, and the tick when
    // the put-off began. The folder's thread only.
    bool m_inspectorOpen = false;
    DWORD m_inspectorTick = 0;
    // The engine session's MAPI object, for the thread's sessions.
    CComPtr<IUnknown> m_engineMapiSession;

    // --- Exchange change tracking and state ---
    // Steps of the ICS scan (ExchangeFolderThread.cpp), on the scanning thread.
    void TakeUpWaitingSelfModifiedItem(QMRRDOSession* session, QMRMAPIUtils* utils);
    HRESULT RecoverFromSyncDataError(HRESULT hr);
    void ScanDifferingItem(QMRRDOSession* session, QMRMAPIUtils* utils, QMRDifferingItems* items,
                           LONG index, LONG count, DATE lastSync);
    HRESULT RecordNewItem(QMRRDOSession* session, QMRMAPIUtils* utils, QMRDifferingItem* item,
                          const std::wstring& sourceKey, CComPtr<QMRMessage>& message, bool& queue);
    bool RecordFolderRow(QMRRDOSession* session, QMRMAPIUtils* utils, SAFEARRAY* row);
    void LoadExchangeCacheTable();
    HRESULT WriteExchangeCacheTable();
    void AppendSid2Source(const std::wstring& syncId, const std::wstring& sourceKey);
    bool HasSid2SourceEntry(const std::wstring& syncId, const std::wstring& sourceKey);

    // The Exchange thread's helper folder: opened, used and released on the
    // thread that scans (never shared between threads while open).
    CComPtr<QMRMAPIFolder> m_helperFolder;
    std::atomic<LONG> m_syncDataErrorCount{0};
    // The ICS state: written by the folder thread (or by LoadSyncDataOwn on
    // Outlook's thread before a basic synchronisation, while no scan runs).
    CComBSTR m_icsState;
    std::atomic<bool> m_resetFlag{false};
    std::atomic<bool> m_stateLoaded{false};
    // Set by LoadSyncData: the state files are read once per object.
    std::atomic<bool> m_syncDataLoaded{false};
    // Set once FillFolderCache filled the SID to SOURCE table: before, the
    // table must not replace its file, which knows items deleted meanwhile.
    std::atomic<bool> m_sid2SourceFilled{false};
    std::atomic<BYTE> m_exchangeBasicSync{0};
    // Source key -> change key (or "REMINDER"), in insertion order; a loaded
    // file may hold a key twice and lookups take the first.
    CriticalSection m_exchangeCacheLock;
    std::vector<std::pair<std::wstring, std::wstring>> m_exchangeCache
        GUARDED_BY(m_exchangeCacheLock);
    // Sync id -> reminder flag of own changes that wait for the scan.
    CriticalSection m_waitingLock;
    std::vector<std::pair<std::wstring, bool>> m_waitingSelfModified GUARDED_BY(m_waitingLock);
    // Sync id -> source key; new entries are appended.
    CriticalSection m_sid2SourceLock;
    std::vector<std::pair<std::wstring, std::wstring>> m_sid2Source GUARDED_BY(m_sid2SourceLock);
    CriticalSection m_elemsInSyncLock;
    std::vector<std::wstring> m_elemsInSync GUARDED_BY(m_elemsInSyncLock);
};
