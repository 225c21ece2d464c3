// CItemsEvents: the item-event sink of one synchronised folder, and the
// holder of the folder's filter settings and ids.
//
// An IDispatch advised on the folder's Outlook Items for ItemsEvents. It does
// no work on Outlook's thread beyond setting flags: ItemAdd / ItemChange /
// ItemRemove mark the folder dirty or deleted and the folder's thread picks
// the flag up on its next turn; an ItemAdd on an alternate inbox only wakes
// the inbox importer. The configuration loading fills the filter flags, the
// share name and the alternate-store flag.
//
// Lifetime: one per CFolderObj, which creates it, advises it and frees it;
// Release never frees the object.
//
// Threads: the configuration loading fills the settings on Outlook's thread
// before the folder is started; afterwards they are read-only. Invoke runs
// on Outlook's thread; the dirty and deleted flags are set there and taken
// by the folder's thread.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "Quillmere/core/AddinGlobals.h"
#include "Quillmere/tracking/ChangeKeyList.h"
#include "platform/com/Bstr.h"
#include "platform/com/ConnectionPoint.h"
#include "platform/com/Dispatch.h"
#include "platform/rdo/QuillmereRDO.h"
#include "platform/win/CriticalSection.h"
#include "platform/win/Crt.h"
#include "platform/win/Types.h"

class CFolderObj;

class CItemsEvents final : public IDispatch {
public:
    // The reference count starts at 0; the owner adds the first reference.
    CItemsEvents(CFolderObj* owner, LONG kind);
    // Unadvises when still advised. The owner's thread (Outlook's).
    ~CItemsEvents();
    CItemsEvents(const CItemsEvents&) = delete;
    CItemsEvents& operator=(const CItemsEvents&) = delete;

    // --- Item events (ItemsEvents.cpp) -----------------------------------------
    // Keeps items (Outlook's Items of the folder) and advises this sink on its
    // ItemsEvents connection point, keeping the point and the cookie. S_OK;
    // E_NOINTERFACE / CONNECT_E_* when items has no such point (the sink then
    // hears nothing: the folder thread's 2-minute check still runs); E_POINTER
    // for null. Outlook's thread, once.
    HRESULT Advise(IDispatch* items);
    // Unadvises (cookie not 0) and releases the point and the Items. Outlook's
    // thread; a second call does nothing.
    void Unadvise();
    bool IsAdvised() const { return m_cookie != 0; }
    // The lock of the deleted (true) or dirty (false) flag, for tests that
    // hold it while another thread takes the flag.
    CriticalSection& FlagLockForTesting(bool deleted) {
        return deleted ? m_deletedLock : m_dirtyLock;
    }

    // IUnknown: IID_IUnknown and IID_IDispatch give this object (AddRef'ed);
    // anything else E_NOINTERFACE with *out null. AddRef / Release return the
    // new count; Release never frees (the CFolderObj does).
    HRESULT QueryInterface(REFIID iid, void** out) override;
    ULONG AddRef() override;
    ULONG Release() override;
    // IDispatch: no type information (E_NOTIMPL; the count is set to 0).
    HRESULT GetTypeInfoCount(UINT* count) override;
    HRESULT GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
    HRESULT GetIDsOfNames(REFIID reserved, OLECHAR** names, UINT count, LCID lcid,
                          DISPID* ids) override;
    // The item events by DISPID (0xF001 ItemAdd, 0xF002 ItemChange, 0xF003
    // ItemRemove); the arguments are not read. Ignored while there is no
    // engine, it is stopped or it has not started. Kind 0: add and change
    // set the dirty flag, remove sets the deleted flag (the dirty flag in an
    // Exchange folder). Kind 2: add re-arms the heartbeat at 5000 ms and asks
    // for an alternate-inbox pass; nothing else. Always S_OK. Outlook's thread.
    HRESULT Invoke(DISPID id, REFIID reserved, LCID lcid, WORD flags, DISPPARAMS* params,
                   VARIANT* result, EXCEPINFO* excepInfo, UINT* argErr) override;

    // Sets the flag (a flag already set is left alone without the lock).
    void SetDirtyFlag();
    void SetDeletedFlag();
    // Tries the flag's lock: false (flag unchanged) when another thread holds
    // it; else reads the flag, clears it and returns what it read.
    bool TakeDirtyFlag();
    bool TakeDeletedFlag();

    // --- Change-key list and contents-table scan (ChangeKeyList.cpp) --------
    // For folders of ordinary stores only: every call returns S_OK at once
    // (RemoveFromChangeKeylist false) for an Exchange folder, whose changes
    // the Exchange scan finds. session / utils are the calling thread's own
    // helper objects. The list is guarded by ChangeListLock (re-entrant: a
    // check holds it while the queueing registers the add-in's own write).
    //
    // Fills the list at the folder thread's start from the two state files
    // (which stay: they are the only record until the next save; a save cut
    // by a crash is completed or discarded first), else, without files, by a
    // full scan whose entries count as known. Line pairs are read up to the
    // end of the shorter file. Damage is reported to the error log with the
    // file's name and costs resends, never changes: when after the last pair
    // exactly one file had ended ("Difference between keys and values") the
    // pairs are kept with their markers turned into HOTMAL; entries without a
    // sync id are dropped, unreadable values become HOTMAL. A list read from
    // files sets the deleted flag (items deleted meanwhile are looked for).
    // The first call also reads ELEMS_IN_SYNC. S_OK when the list holds
    // entries afterwards, else E_FAIL (also for a folder read as empty, which
    // still counts as the baseline that new items are compared against).
    HRESULT LoadFolderList(QMRRDOSession* session, QMRMAPIUtils* utils);
    // Whether LoadFolderList has taken up the state files (read them, or
    // found none). Until then the files on disk are the folder's only state
    // and must not be overwritten. Any thread.
    bool HasTakenUpStateFiles() const { return m_stateFilesTakenUp.load(); }
    // Saves the list whole, after the send queues (PersistSendQueues) and
    // ELEMS_IN_SYNC: what the list counts as sent is queued durably first.
    // S_OK, also when a file cannot be written (the old pair stays then);
    // E_FAIL without an engine. No ChangeListLock or queue lock held.
    HRESULT WritechangeKeylist2File();
    // Scans the folder's contents table into target (emptied first), newest
    // first: windowDays kScanAllItems for all rows, else the rows modified
    // within that many days. E_FAIL without engine, owner or a run flag;
    // otherwise the last HRESULT of the scan.
    HRESULT MakeFolderList(QMRRDOSession* session, QMRMAPIUtils* utils, ChangeKeyList& target,
                           double windowDays);
    // The comparison pass: new and changed items go to the queueing. Returns
    // the last HRESULT of the scan or of the queueing.
    HRESULT CheckChanges(QMRRDOSession* session, QMRMAPIUtils* utils);
    // The deletion pass: listed items that vanished get a deletion notice.
    HRESULT CheckFolder4DeletedItems(QMRRDOSession* session, QMRMAPIUtils* utils);
    // Items copied in Outlook keep their search key: of the items with
    // syncIdText the later one gets a new sync id, returned in newSyncIdText
    // with changed true. S_OK with changed false when there are fewer than
    // two. reserved is unused.
    HRESULT ChangeSyncIDFromDuplicatedItem(QMRRDOSession* session, QMRMAPIUtils* utils,
                                           const std::wstring& syncIdText,
                                           std::wstring& newSyncIdText, bool& changed,
                                           LONG reserved);
    // Registers the add-in's own change; takes syncIdText over and frees it.
    // Exchange folders hand it to CFolderObj::ExModifItem. E_FAIL without an
    // engine.
    HRESULT AddToChangeList(QMRRDOSession* session, QMRMAPIUtils* utils, BSTR syncIdText,
                            bool reminderFlag);
    // Whether the item with that sync id in this folder has a reminder that
    // is showing (set and due; a reminder proc installed by
    // SetActiveReminderProc answers instead). Frees the text passed. A failed
    // lookup is reported ("checkIfSomethingChanged::REMINDR setback failed")
    // and answers false. session / utils: the calling thread's own.
    bool checkIfSomethingChanged(QMRRDOSession* session, QMRMAPIUtils* utils, BSTR syncIdText);
    // Remove the first entry of that sync id (the text stays the caller's);
    // true when one was removed. RemoveFromChangeKeylist works on the list
    // of an ordinary store's folder, RemoveFromExchangeFolderCache on the
    // owner's SID to SOURCE table of an Exchange folder (false for any
    // other folder). Any thread.
    bool RemoveFromChangeKeylist(BSTR syncIdText);
    bool RemoveFromExchangeFolderCache(BSTR syncIdText);
    // A copy of the list, in order (under ChangeListLock).
    std::vector<ChangeKeyEntry> ChangeKeylistEntries();

    // Filter settings (read by the item filters).
    bool m_dontSyncPrivateItems = false;
    bool m_dontSyncMeetingRequests = false;
    bool m_dontSyncHolidayItems = false;
    bool m_syncOnlyPrivateItems = false;

    std::wstring m_shareName;
    std::wstring m_storeId;  // MAPIFolder.StoreID
    std::wstring m_entryId;  // MAPIFolder.EntryID; the stem of the state file names
    bool m_isExchange = false;
    // The alternate inbox lies in a store whose kind marks it as another
    // user's or a delegated store.
    bool m_alternateStore = false;
    LONG m_kind = 0;
    CFolderObj* m_owner = nullptr;  // not owned

private:
    // Item events: the advised Items, its connection point and the cookie
    // (0 while not advised). Outlook's thread.
    std::atomic<ULONG> m_refCount{0};
    CComPtr<IConnectionPoint> m_connectionPoint;
    CComPtr<IDispatch> m_items;
    DWORD m_cookie = 0;

    CriticalSection m_dirtyLock;
    CriticalSection m_deletedLock;
    std::atomic<bool> m_dirty{false};
    std::atomic<bool> m_deleted{false};

    // Change-key list.
    std::wstring StateFilePath(const wchar_t* suffix) const;
    // Reads the line pairs of the two open state files into the list (see
    // LoadFolderList). True: the list now stands for the files (which may
    // have held no entries).
    bool ReadStateFiles(CrtFile* keys, CrtFile* values);
    // Appends one row of the scan to target; true when the row lies outside
    // the window, which makes it the scan's last.
    bool AddScannedRow(QMRRDOSession* session, QMRMAPIUtils* utils, ChangeKeyList& target,
                       const VARIANT& row, DATE now, double windowDays);
    // A row whose key target already lists: the duplicate repair gives one
    // of the items a new id. When that is this row's item, key becomes the
    // new id; otherwise the entry listed earlier takes the new id.
    void RepairDuplicatedRow(QMRRDOSession* session, QMRMAPIUtils* utils, ChangeKeyList& target,
                             const VARIANT& rowEntryId, std::wstring& key);
    // ChangeSyncIDFromDuplicatedItem, also naming the entry id of the item
    // that got the new id.
    HRESULT RenewDuplicatedSyncId(QMRRDOSession* session, QMRMAPIUtils* utils,
                                  const std::wstring& syncIdText, std::wstring& newSyncIdText,
                                  bool& changed, std::wstring& renamedEntryId);
    ChangeKeyList changeKeylist GUARDED_BY(ChangeListLock);
    // Set once the list was loaded from its files or from a scan that read
    // the folder (also an empty one); an empty list that is not established
    // (the folder could not be read) makes the checks do nothing.
    bool m_listEstablished GUARDED_BY(ChangeListLock) = false;
    // Set by the first LoadFolderList, which reads ELEMS_IN_SYNC and the
    // change-key list from their files; written by the folder thread.
    std::atomic<bool> m_stateFilesTakenUp{false};
};
