// CSyncEngine: the add-in's one engine object. The connection start-up
// creates it, every thread reaches it through g_pEngine, the Quit handler
// destroys it.
//
// It holds Outlook's namespace (through core::IOutlookAccess), the helper
// library's session and utilities, the paths of the working files, the global
// settings, the table of synchronised folders, the state code the tray shows,
// the status text, the pending desktop notification and the ready, started,
// stopped and request flags.
//
// Threads: built, started and destroyed on Outlook's thread. The state code is
// written under StateLock, the pending notification under NotificationLock,
// the folder table under FolderTableLock (held only for one lookup or change).
// Entries are removed and freed only on Outlook's thread (a reload, the
// shut-down), after the folder threads were stopped; Outlook's thread may
// use an entry after the lock is left, every other thread holds it by a
// FolderUse (UseFolderEntry), which the entry's destruction waits for. The setting
// and request flags are written on Outlook's thread and read anywhere; they
// are atomics so that the readers see them without locks.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Quillmere/core/AddinGlobals.h"
#include "Quillmere/core/DebugLog.h"
#include "Quillmere/core/OutlookAccess.h"
#include "platform/com/Variant.h"
#include "platform/rdo/QuillmereRDO.h"
#include "platform/win/CriticalSection.h"
#include "platform/win/Types.h"

class CFolderObj;
class FolderUse;
struct HWND__;

// State codes of the engine's current activity.
constexpr LONG kSyncStateIdle = 0;
constexpr LONG kSyncStateChangeQueued = 1;
constexpr LONG kSyncStateSending = 2;
constexpr LONG kSyncStateExchangeStateRejected = 3;
constexpr LONG kSyncStateOffline = 4;
constexpr LONG kSyncStateImporting = 5;

// Open flags for folders and messages through the helper session.
constexpr LONG kOpenFlagsModern = 0x210;
constexpr LONG kOpenFlagsOldOutlook = 0x10;

// The folder table refuses to grow past this many entries.
constexpr DWORD kMaxFolderTableCapacity = 0x0FFFFFFF;

class CSyncEngine final : public ISettingsTextOwner {
public:
    // outlook: Outlook's "MAPI" namespace (owned by the engine from here).
    // debugLogPath: becomes the process-wide debug-log path.
    // Creates the helper session ("QuillmereRDOx.QMRRDOSession") and attaches
    // it to the namespace's MAPI session, else logs it on; reads Outlook's
    // version: under 9.x/10.x (or an unreadable version) the engine is ready
    // at once, otherwise the log-on thread decides. Needs InitializeAddinLocks
    // and a COM-initialised thread. Failures are reported ("no session
    // Interface", "no session") and leave the engine without a session.
    CSyncEngine(std::unique_ptr<core::IOutlookAccess> outlook, const wchar_t* debugLogPath);
    // Stops and frees every CFolderObj (each waits for its thread), then
    // releases the helper objects. Sets StopFlag; clears DebugSwitch.
    ~CSyncEngine();
    CSyncEngine(const CSyncEngine&) = delete;
    CSyncEngine& operator=(const CSyncEngine&) = delete;

    // The engine's start, run once by the heartbeat: "START" report, desktop
    // notification on, started := 1, the utilities object, LoadSettings.
    void Start();

    void SetReady() { m_ready = true; }
    bool IsReady() const { return m_ready.load(); }
    bool IsStarted() const { return m_started.load(); }

    // State code (kSyncState*). SetSyncState stores under StateLock;
    // ChangeSyncState stores newState only when the current code equals
    // expected (also under StateLock); GetSyncState reads without the lock.
    void SetSyncState(LONG state);
    void ChangeSyncState(LONG newState, LONG expected);
    LONG GetSyncState() const { return m_syncState.load(); }

    // Pending desktop notification. Set replaces title, text and kind (a
    // newer one overwrites one not yet shown). Take returns false when title
    // or text is empty (the notification stays pending); else copies them out,
    // empties both texts, sets the kind to 0 and returns true.
    void SetPendingNotification(const std::wstring& title, const std::wstring& text, LONG kind);
    bool TakePendingNotification(std::wstring& title, std::wstring& text, LONG& kind);

    // Leaves a desktop notification pending, when desktop notifications are
    // on: the title is the string of the kind (table below) in the UI
    // language, the text "second: third first", the balloon icon that of the
    // kind. Kinds 6 and 7 leave an empty text (never shown, but they replace
    // what was pending); kinds outside 0..7 do nothing. Any thread.
    //   0 1250 DELETED/info  1 1251 NEW/info  2 1249 CHANGED/info
    //   3 1214 Quillmere/info  4 1213 basic sync/none  5 1264 COMPRESS/none
    //   6 1213 basic sync/warning  7 1213 basic sync/error
    void QueueDesktopNotification(const std::wstring& first, const std::wstring& second, LONG kind,
                                  const std::wstring& third);

    // Copies the status text (set by the sync-mail sender); always true.
    bool GetStatusText(std::wstring& text) const;
    void SetStatusText(const std::wstring& text);

    void SetMailAccountIndex(LONG index) { m_mailAccountIndex = index; }
    LONG GetMailAccountIndex() const { return m_mailAccountIndex.load(); }

    // Folder table. GetFolderEntry: null for an index at or past the count;
    // an entry whose run flag is clear is given only when force is set.
    CFolderObj* GetFolderEntry(DWORD index, bool force);
    // The same entry held by a FolderUse (empty where GetFolderEntry gives
    // null), for threads other than Outlook's: the entry outlives the use
    // even when a reload or the shut-down removes it meanwhile. user names
    // the using path (for the test hook of FolderObj.h). Any thread.
    FolderUse UseFolderEntry(DWORD index, bool force, const char* user);
    DWORD GetFolderCount();
    // The version-check flag of the first entry whose share name equals
    // name exactly (case-sensitive); 0 when none does.
    BYTE GetFolderFlagByName(const std::wstring& name);
    // The first entry whose share name equals shareName exactly: its sink's
    // EntryID and StoreID, and its password when password is not null.
    // E_FAIL (outputs untouched) for an empty table or no match. Holds
    // FolderTableLock for the walk only. Any thread. (OwnChanges.cpp)
    HRESULT FindFolderByName(const std::wstring& shareName, std::wstring& entryId,
                             std::wstring& storeId, std::wstring* password = nullptr);
    // Appends (takes ownership) when it fits: the capacity doubles when full
    // (1 when it was 0); false, with the folder left to the caller, when the
    // capacity would pass kMaxFolderTableCapacity or memory runs out.
    bool AppendFolder(CFolderObj* folder);
    // Removes and returns the first entry (the rest move down), or null.
    CFolderObj* RemoveFirstFolder();
    DWORD GetFolderTableCapacity();

    // --- The add-in folder and the store tests ---------------------------------

    // The folder "Quillmere" beside the default Inbox, found among the
    // subfolders of the Inbox's parent by exact name (VarBstrCmp under the
    // user's locale) or created there with PR_EXTENDED_FOLDER_FLAGS
    // 01 04 02 00 00 00 ("Quillmere folder created"). S_OK with *folder set;
    // the failing step's HRESULT with *folder null. The session and utilities
    // must belong to the calling thread.
    HRESULT FindOrCreateAddinFolder(QMRRDOSession* session, QMRMAPIUtils* utils,
                                    QMRMAPIFolder** folder);
    // The same with the engine's own session and utilities (Outlook's thread).
    HRESULT FindOrCreateAddinFolderOfSession(QMRMAPIFolder** folder);
    // The same folder through Outlook's object model (created without the
    // extended flags when missing); "no Quillmere folder found" when it can't
    // be had. Outlook's thread.
    HRESULT GetAddinFolder(MAPIFolder** folder);

    // Store tests of an Outlook folder (false without a helper session, or
    // when a step fails). Outlook's thread.
    bool IsFolderStoreKind6(MAPIFolder* folder);
    // The store's PR_MDB_PROVIDER is the first iCloud provider and the folder
    // holds contacts.
    bool IsFolderInICloudStoreA(MAPIFolder* folder, BSTR entryId);
    // The store's PR_MDB_PROVIDER is the second iCloud provider.
    bool IsFolderInICloudStoreB(MAPIFolder* folder, BSTR entryId);

    // ISettingsTextOwner.
    const wchar_t* GetSettingsTextPath() const override { return m_settingsTextPath.c_str(); }

    // Paths (Windows paths; directories keep their trailing backslash).
    void SetSettingsTextPath(const std::wstring& path) { m_settingsTextPath = path; }
    void SetModuleDirectory(const std::wstring& dir) { m_moduleDirectory = dir; }
    void SetDataPaths(const std::wstring& dataDirectory);
    const std::wstring& ModuleDirectory() const { return m_moduleDirectory; }
    const std::wstring& DataDirectory() const { return m_dataDirectory; }
    const std::wstring& ShareFilePath() const { return m_shareFilePath; }
    const std::wstring& CabinetPath() const { return m_cabinetPath; }

    // The thread that built the engine: Outlook's.
    DWORD OutlookThreadId() const { return m_outlookThread; }
    void SetHeartbeatWindow(HWND__* hwnd) { m_heartbeatWindow = hwnd; }
    HWND__* HeartbeatWindow() const { return m_heartbeatWindow.load(); }

    // Helper-library objects of Outlook's thread (may be null).
    QMRRDOSession* Session() const { return m_session; }
    // The MAPI session object behind the engine's helper session (taken on
    // Outlook's thread when the session was made; null without one). It
    // names the session only: worker threads hand it to their own sessions
    // (PutMAPIOBJECT), as the helper session itself answers only on
    // Outlook's thread.
    IUnknown* MapiSessionObject() const { return m_mapiSessionObject; }
    QMRMAPIUtils* Utils() const { return m_utils; }
    void SetUtils(QMRMAPIUtils* utils) { m_utils = utils; }
    core::IOutlookAccess* Outlook() const { return m_outlook.get(); }
    const VARIANT& OpenFlags() const { return m_openFlags; }
    bool IsModernMode() const { return m_modernMode; }

    // The special sender (`From`); nullopt when unset.
    std::optional<std::wstring> SpecialSender() const;
    void SetSpecialSender(std::optional<std::wstring> sender);

    // Flags: written on Outlook's thread, read by any thread.
    std::atomic<bool> m_desktopNotification{false};
    std::atomic<bool> m_stopped{false};
    std::atomic<bool> m_fastTick{false};
    std::atomic<bool> m_packEveryTime{false};
    std::atomic<bool> m_breakBasicSync{false};
    std::atomic<bool> m_totalDebugging{false};
    std::atomic<bool> m_mainInboxRequest{false};
    std::atomic<bool> m_alternateInboxRequest{false};
    std::atomic<bool> m_journal{false};
    std::atomic<bool> m_removeReminder{false};
    std::atomic<bool> m_importAsPrivate{false};
    std::atomic<DWORD> m_packetCount{30};
    std::atomic<DWORD> m_packetTime{90};  // seconds
    std::atomic<bool> m_shutdown{false};
    std::atomic<LONG> m_parkedMailCounter{0};
    // Set by the first report of a missing helper library (HelperObjects.h).
    std::atomic<bool> m_helperLibraryReported{false};

private:
    void CreateSession();
    void ReadOutlookMode();

    CComVariant m_openFlags;
    std::wstring m_shareFilePath;
    std::wstring m_cabinetPath;
    std::wstring m_dataDirectory;
    std::wstring m_settingsTextPath;
    std::wstring m_moduleDirectory;
    std::atomic<HWND__*> m_heartbeatWindow{nullptr};
    const DWORD m_outlookThread;

    std::unique_ptr<core::IOutlookAccess> m_outlook;
    CComPtr<QMRRDOSession> m_session;
    CComPtr<IUnknown> m_mapiSessionObject;
    CComPtr<QMRMAPIUtils> m_utils;

    mutable CriticalSection m_textLock;  // status text and special sender
    std::wstring m_statusText GUARDED_BY(m_textLock);
    std::optional<std::wstring> m_specialSender GUARDED_BY(m_textLock);

    std::wstring m_pendingTitle GUARDED_BY(NotificationLock);
    std::wstring m_pendingText GUARDED_BY(NotificationLock);
    LONG m_pendingKind GUARDED_BY(NotificationLock) = 0;

    // Written under StateLock; read without it (an atomic, so the read is sound).
    std::atomic<LONG> m_syncState{kSyncStateOffline};
    std::atomic<LONG> m_mailAccountIndex{-1};
    std::atomic<bool> m_ready{false};
    std::atomic<bool> m_started{false};
    bool m_modernMode = false;
    // The log-on thread, waited for by the destructor (0 when none runs).
    std::uintptr_t m_sessionThread = 0;

    std::unique_ptr<CFolderObj*[]> m_folders GUARDED_BY(FolderTableLock);
    DWORD m_folderCount GUARDED_BY(FolderTableLock) = 0;
    DWORD m_folderCapacity GUARDED_BY(FolderTableLock) = 0;
};

// Starts the three exchange threads (deletion-notice sender, sync-mail
// sender, inbox importer, in this order) when none runs: StopFlag := 0,
// state := idle. Each thread counts in RunningThreadCount from the moment
// it is started, before its first line runs; the thread lowers the count as
// its very last step. While RunningThreadCount is above 0 it reports the
// count ("StartThreads") and starts nothing. Outlook's thread.
void StartThreads(CSyncEngine* engine);

// The three thread procedures StartThreads starts (each gets no argument).
// Each finds itself counted in RunningThreadCount and must lower the count
// (DecrementRunningThreadCount) once, as its last access to the add-in.
// The sync-mail exchange registers them at load; until it does, StartThreads
// only resets the flags and starts nothing.
struct ExchangeThreadProcs {
    unsigned (*delMailSendThread)(void*) = nullptr;
    unsigned (*mailSendThread)(void*) = nullptr;
    unsigned (*importFromInboxThread)(void*) = nullptr;
};
void SetExchangeThreadProcs(const ExchangeThreadProcs& procs);

// The log-on thread of a modern Outlook, started by the constructor with the
// engine as its argument: logs a session of its own on (a failed try is
// retried 10 s later; the 13th failure is reported and the thread goes on),
// waits in 5-s steps until Outlook's Exchange connection is online or absent
// (or, in a cached mode, the default inbox opens), then marks the engine
// ready ("Mission Possible"). Its waits end early once StopFlag is set.
unsigned SessionInitThread(void* engine);

// Creates a helper-library object by ProgID: CLSIDFromProgID, then
// CoCreateInstance in process with iid. Returns that call's HRESULT; *out is
// null on failure. Any COM-initialised thread.
HRESULT CreateHelperObject(const wchar_t* progId, REFIID iid, void** out);
// Test hook: every CreateHelperObject is answered by creator instead (null
// restores the real creation). Any thread; takes effect for the creations
// that begin after it.
void SetHelperObjectCreatorForTesting(HRESULT (*creator)(const wchar_t* progId, REFIID iid,
                                                         void** out));
