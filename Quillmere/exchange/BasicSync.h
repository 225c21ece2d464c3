// The basic synchronisation: hands every item of one shared folder to the
// sender once, typically right after the folder was shared, so that the
// partners get the whole folder. Ordinary stores queue each item directly;
// Exchange folders raise the item's basic-sync mark (the named property
// "qmr-basicid"), which the Exchange change scan then reports as a change.
//
// Threads: Outlook's thread, inside the configuration loading, with the
// engine's own helper session and utilities. While it runs the exchange
// threads are stopped (StopFlag) and Outlook's thread is busy in the loop;
// it waits without an upper bound, in 2-s steps, for RunningThreadCount to
// reach 0, and starts the threads again at the end.
#pragma once

#include "platform/com/Variant.h"
#include "platform/rdo/QuillmereRDO.h"
#include "platform/win/Types.h"

class CSyncEngine;
class CFolderObj;

// The message class of a hidden folder-design item (compared without regard
// to case, as MAPI message classes are).
inline constexpr wchar_t kFormDescriptionClass[] = L"IPM.MICROSOFT.FOLDERDESIGN.FORMSDESCRIPTION";

// Runs the basic synchronisation of folder (a shared folder: kind 0; other
// kinds are left alone). Asks the user first (the modal question, over the
// window titled like Outlook's active explorer); any answer but YES ends the
// call with the threads untouched. On YES: StopFlag, the wait for the
// exchange threads, the items one by one with the modeless progress window
// (closing it ends the transfer after the current item), the folder's
// hidden form items, StartThreads. A folder or items collection that can't
// be reached ends the call before the question. Failures of single items are
// reported and skip that item. The signature is that of BasicSyncProc
// (Settings.h). Outlook's thread.
void BasicSync(CSyncEngine* engine, CFolderObj* folder);

// Queues the folder's hidden items of class kFormDescriptionClass (by their
// PR_SEARCH_KEY, form flag set). Without the helper library's folder class
// the library is reported as not registered. Outlook's thread.
void ProcessHiddenItem(CSyncEngine* engine, CFolderObj* folder);

// Test hook: every QueueSyncMessage of the two calls above goes to fn
// instead (null restores the real one). fn follows QueueSyncMessage's
// contract (it takes over syncId).
using QueueSyncMessageFn = HRESULT (*)(CSyncEngine* engine, QMRRDOSession* session,
                                       QMRMAPIUtils* utils, VARIANT* syncId, CFolderObj* folder,
                                       bool formFlag);
void SetQueueSyncMessageForTesting(QueueSyncMessageFn fn);
