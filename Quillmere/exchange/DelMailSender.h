// The deletion-notice sender: the thread that drains DelMailSenderList and
// turns each queued deletion into one notice mail in the default Outbox,
// addressed to the partners of the share.
//
// Threads: DelMailSendThread runs on its own thread (started by StartThreads
// through the registered exchange procedures) with its own COM apartment and
// its own helper session, attached to the engine's. sendDelMessage runs on
// that thread with that thread's session and utilities; it takes OutboxLock
// while it writes the mail, so the sync-mail builder and the outbox re-check
// never see a half-built notice. The two queue locks are taken one after the
// other, never nested.
#pragma once

#include <string>
#include <vector>

#include "Quillmere/core/SyncEngine.h"
#include "platform/com/Bstr.h"
#include "platform/rdo/QuillmereRDO.h"
#include "platform/win/Types.h"

// Thread entry (argument unused; the engine is g_pEngine). Counted in
// RunningThreadCount by StartThreads; lowers the count as it ends; loads the
// deletion queue file, sends queued notices until StopFlag is set, then
// writes what is still queued back to the queue file. Returns 0.
unsigned DelMailSendThread(void* unused);

// Builds one deletion notice for the item named by syncIdText (the item's
// search key as hex text) of the share shareName, in the Outbox of session,
// addressed to every partner of the share's folder, and saves it through
// SendMail::SaveMail: it waits in the Outbox for the outbox re-check, or is
// parked for a packet mail when many mails wait (more than 10, or many).
// Then the item's key leaves the change list of the share's folder
// (RemoveFromChangeList). S_OK when the notice was saved. E_FAIL when no
// synchronised folder has that share name ("Sharename from Deleted message
// not found") or the folder has no partners ("UserList empty"); the failing
// call's HRESULT otherwise. A notice that is not saved is deleted again, so
// nothing half-built stays in the Outbox, and the key stays listed. The
// caller keeps its texts. Holds OutboxLock while it builds. The sender
// thread only.
HRESULT sendDelMessage(CSyncEngine* engine, QMRRDOSession* session, QMRMAPIUtils* utils,
                       const std::wstring& shareName, BSTR syncIdText, LONG waitingMails,
                       bool many);

// Removes itemKey (a sync id text; freed by the call in any case) from the
// first folder of shareName (exact comparison; ordinary synchronised folders
// only, not alternate inboxes) that lists it: from its Exchange cache, else
// from its change-key list. The table is walked in order up to its end or
// its first entry that is not running. S_OK when the key was removed, else
// E_FAIL. Any thread (FolderTableLock per lookup, ChangeListLock inside).
HRESULT RemoveFromChangeList(CSyncEngine* engine, BSTR itemKey, const std::wstring& shareName);

// The partner addresses of a synchronised folder (GetFolderUsers).
std::vector<std::wstring> GetDeletionNoticeUsers(const std::wstring& folderEntryId);

// Sets the deletion-notice sender into procs, leaving the other two
// procedures as they are; the caller hands procs to SetExchangeThreadProcs.
void AddDelMailSendThread(ExchangeThreadProcs& procs);
