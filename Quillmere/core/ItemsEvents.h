// CItemsEvents: the item-event sink of one synchronised folder, and the
// holder of the folder's filter settings and ids.
//
// This is the part the configuration loading fills: the filter flags, the
// share name, the folder's ids, the Exchange and alternate-store flags and
// the dirty / deleted flags that the item events set and the folder thread
// takes. The event dispatch itself and the change-key list come with the
// folder tracking.
//
// Threads: the configuration loading fills the settings on Outlook's thread
// before the folder is started; afterwards they are read-only. The dirty and
// deleted flags are set on Outlook's thread and taken by the folder's thread.
#pragma once

#include <atomic>
#include <string>

#include "platform/com/Bstr.h"
#include "platform/rdo/QuillmereRDO.h"
#include "platform/win/CriticalSection.h"
#include "platform/win/Types.h"

class CFolderObj;

class CItemsEvents {
public:
    CItemsEvents(CFolderObj* owner, LONG kind);
    CItemsEvents(const CItemsEvents&) = delete;
    CItemsEvents& operator=(const CItemsEvents&) = delete;

    // Sets the flag (a flag already set is left alone without the lock).
    void SetDirtyFlag();
    void SetDeletedFlag();
    // Tries the flag's lock: false (flag unchanged) when another thread holds
    // it; else reads the flag, clears it and returns what it read.
    bool TakeDirtyFlag();
    bool TakeDeletedFlag();

    // --- Change-key list and contents-table scan (ChangeKeyList.cpp) --------
    // session / utils are the calling thread's own helper objects.
    HRESULT LoadFolderList(QMRRDOSession* session, QMRMAPIUtils* utils);
    HRESULT WritechangeKeylist2File();
    HRESULT CheckChanges(QMRRDOSession* session, QMRMAPIUtils* utils);
    HRESULT CheckFolder4DeletedItems(QMRRDOSession* session, QMRMAPIUtils* utils);
    // Registers the add-in's own change; takes syncIdText over and frees it.
    HRESULT AddToChangeList(QMRRDOSession* session, QMRMAPIUtils* utils, BSTR syncIdText,
                            bool reminderFlag);
    // Frees the text passed.
    bool checkIfSomethingChanged(BSTR syncIdText);
    HRESULT RemoveFromChangeKeylist(BSTR syncIdText);
    HRESULT RemoveFromExchangeFolderCache(BSTR syncIdText);

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
    CriticalSection m_dirtyLock;
    CriticalSection m_deletedLock;
    std::atomic<bool> m_dirty{false};
    std::atomic<bool> m_deleted{false};
};
