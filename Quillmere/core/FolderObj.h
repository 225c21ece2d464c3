// CFolderObj: one synchronised folder of the current profile, as the
// configuration loading builds it and the engine's folder table owns it.
//
// Kinds: 0 a shared folder (its changes are tracked and sent), 2 an
// alternate inbox (arriving sync mails are collected from it; no thread).
//
// This first form holds the folder's settings, its Outlook folder and its
// sink; Start marks it running but starts no folder thread yet (the change
// tracking brings the threads). Threads: built, filled and started on
// Outlook's thread; the run flag is read by any thread.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "Quillmere/core/ItemsEvents.h"
#include "platform/com/Dispatch.h"
#include "platform/com/Unknown.h"
#include "platform/com/Variant.h"
#include "platform/rdo/QuillmereRDO.h"
#include "platform/win/Types.h"

// The folder threads, started by CFolderObj::Start with the folder object as
// their argument: FolderCheckThread for an ordinary store's folder,
// ExchangeFolderThread for an Exchange folder. Both return 0.
unsigned FolderCheckThread(void* folder);
unsigned ExchangeFolderThread(void* folder);

class CFolderObj {
public:
    static constexpr LONG kSharedFolder = 0;
    static constexpr LONG kAlternateInbox = 2;

    // folder: Outlook's MAPIFolder (a reference is added and kept); kind 0 or
    // 2; isExchange as the configuration loading decided (false for kind 2).
    // entryId / storeId: the folder's MAPIFolder.EntryID and StoreID.
    CFolderObj(IDispatch* folder, LONG kind, bool isExchange, const std::wstring& entryId,
               const std::wstring& storeId);
    ~CFolderObj();
    CFolderObj(const CFolderObj&) = delete;
    CFolderObj& operator=(const CFolderObj&) = delete;

    // Starts tracking: run flag := 1, sent and element counts := 0.
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
    // True while a check of this folder is to be put off because one of its
    // items is open in an inspector. The folder thread's utilities object.
    bool IsItemOpenInInspector(QMRMAPIUtils* utils);
    // The folder's registry value LastFolderSyncTime as a DATE; false when
    // there is none or it can't be read.
    bool GetLastFolderSyncTime(DATE* time);
    void SaveLastFolderSyncTime(DATE time);

    // --- Own changes (OwnChanges.cpp) -----------------------------------
    // The Exchange form of CItemsEvents::AddToChangeList: registers an own
    // write to the item with that sync id text (owned, freed by the call).
    HRESULT ExModifItem(QMRRDOSession* session, QMRMAPIUtils* utils, BSTR syncIdText,
                        bool reminderFlag);
    HRESULT AddToExchangeCache(QMRMAPIUtils* utils, BSTR sourceKeyText, BSTR changeKeyText,
                               bool reminderFlag);
    // The subject of the item with that sync id, for log lines;
    // "NO_SUBJECT_FROM_SEARCHKEY_FOUND" when none is found.
    std::wstring SubjectFromSyncID(QMRRDOSession* session, QMRMAPIUtils* utils,
                                   const std::wstring& syncIdText, const std::wstring& entryId,
                                   const std::wstring& storeId);

    // --- Exchange change tracking (ExchangeFolderThread.cpp) --------------
    HRESULT ScanExchangeChanges(QMRRDOSession* session, QMRMAPIUtils* utils);
    HRESULT FillFolderCache(QMRRDOSession* session, QMRMAPIUtils* utils);
    bool IsMyOwnChange(const std::wstring& sourceKey, const std::wstring& changeKey);
    std::wstring GetItemSubject(QMRRDOSession* session, const std::wstring& entryId);

    // --- ELEMS_IN_SYNC: sync id texts of the items queued from this folder ----
    // (ExchangeStateFiles.cpp; any thread, under the list's own lock)
    bool IsElemInSync(const std::wstring& syncIdText);
    void AddElemInSync(const std::wstring& syncIdText);
    void RemoveElemInSync(const std::wstring& syncIdText);

    // --- Exchange state files (ExchangeStateFiles.cpp) ---------------------
    HRESULT InitFolder(QMRRDOSession* session, QMRMAPIUtils* utils);
    HRESULT LoadSyncData(QMRRDOSession* session, QMRMAPIUtils* utils, BSTR* stateText);
    HRESULT LoadSyncDataOwn();
    void LoadElemsInSync();
    void SaveSyncData(BSTR stateText);
    void SaveSyncDataOwn();
    void SaveElemsInSync();
    void SaveExchangeCacheTable();
    void SaveSid2SourceTable();
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
    LONG m_elementCount = 0;
    CComPtr<IDispatch> m_folder;
    std::unique_ptr<CItemsEvents> m_sink;
};
