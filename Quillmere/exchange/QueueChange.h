// Queueing a change: a detected change that passes the folder's filters
// becomes a queued sync mail (MailSenderList) or a deletion notice
// (DelMailSenderList), and the item's sync version is raised.
#pragma once

#include <string>

#include "platform/com/Bstr.h"
#include "platform/com/Variant.h"
#include "platform/rdo/QuillmereRDO.h"
#include "platform/win/Types.h"

class CSyncEngine;
class CFolderObj;

// Queues a sync mail for the item with that sync id (a binary VARIANT, taken
// over and cleared) in folder. session / utils are the calling thread's own
// (a folder thread's, or the engine's during a basic synchronisation on
// Outlook's thread). formFlag marks a hidden folder-design item.
HRESULT QueueSyncMessage(CSyncEngine* engine, QMRRDOSession* session, QMRMAPIUtils* utils,
                         VARIANT* syncId, CFolderObj* folder, bool formFlag);

// Finds the entry id of a queued item in folder (found false and S_OK when
// it is gone): by its sync id, binary or as text (as a record may hold it),
// among the folder's items, and for a hidden folder-design item (formFlag)
// also among the folder's hidden items, where the plain lookup does not
// look. The failing HRESULT of a sync id that is no hex text or of the
// lookup. Any thread, with that thread's own helper objects.
HRESULT FindQueuedItem(CSyncEngine* engine, QMRRDOSession* session, QMRMAPIUtils* utils,
                       QMRMAPIFolder* folder, const VARIANT& syncId, bool formFlag, bool& found,
                       std::wstring& entryId);

// Appends a deletion notice for syncIdText (freed by the call in any case) to
// DelMailSenderList under DeleteQueueLock; state code := 1. S_OK.
HRESULT QueueDeleteMessage(CSyncEngine* engine, BSTR syncIdText, const std::wstring& shareName);

// Hands a copy of itemKey and flag to CItemsEvents::AddToChangeList of every
// synchronised folder (under FolderTableLock) after setting the state code
// to 1; Outlook's Reminder handler uses it. itemKey stays the caller's.
void HandItemToAllFolders(CSyncEngine* engine, QMRRDOSession* session, QMRMAPIUtils* utils,
                          BSTR itemKey, bool flag);

// Outlook's Reminder event for item (an Outlook item; stays the caller's):
// when the item already has a sync id (none is made), its coming reminder
// update is registered as the add-in's own change in every synchronised
// folder (HandItemToAllFolders with the reminder flag), with the engine's
// helper session and utilities. Outlook's thread.
void RegisterReminder(CSyncEngine* engine, IDispatch* item);
