// The inbox import thread: the receiving side of the add-in. Once a second it
// decides which passes are due: moving the arriving sync mails and packet
// mails of the Inbox (and of the folders used as alternate inboxes) into the
// add-in's folder "Quillmere", unpacking the packet mails there, and
// importing the sync mails (ProcessSyncItems).
//
// Threads: ImportFromInboxThread runs on its own thread (started by
// StartThreads through the registered exchange procedures) with its own COM
// apartment, its own helper session attached to the engine's and its own
// utilities object; every pass runs on it with those. It reads the folder
// table only through CSyncEngine::UseFolderEntry, and reads and clears the
// engine's two request flags without a lock (a request set while its pass
// runs may be cleared by that pass).
#pragma once

#include "Quillmere/core/SyncEngine.h"
#include "platform/com/Bstr.h"
#include "platform/rdo/QuillmereRDO.h"
#include "platform/win/Types.h"

// Thread entry (argument unused; the engine is g_pEngine). Counted in
// RunningThreadCount by StartThreads; lowers the count as it ends. Without a helper
// session or a reachable default Inbox it ends at once ("IMPINBThread:
// Failed2Start"). Runs its passes until StopFlag is set, checked at the top
// of each one-second cycle (a pass in progress is finished first). Returns 0.
unsigned ImportFromInboxThread(void* unused);

// Moves the sync mails and packet mails of the folder folderEntryId /
// folderStoreId (texts stay the caller's) into the folder "Quillmere" beside
// the Inbox of session's default store: the packet mails first listed, then
// the sync mails, moved from the last listed to the first; mails marked as
// failed are moved too. A mail that cannot be opened or moved is reported
// ("cISM2PF:GetElem", "cISM2PF:Move") and left. Returns S_OK, or the HRESULT
// of the step that ended the pass ("cISM2PF:inbox", "cISM2PF:GetQMRInbox",
// "cISM2PF:InboxItems"). The importer's session and utilities.
HRESULT MoveInboxSyncMailsToAddinFolder(CSyncEngine* engine, QMRRDOSession* session,
                                        QMRMAPIUtils* utils, BSTR folderEntryId,
                                        BSTR folderStoreId);

// The alternate pass: moves the sync mails of every running alternate inbox
// of the folder table (in table order, up to the first stopped entry) into
// "Quillmere" ("Alternativer Posteingang id: <n>" each), then unpacks and
// imports once. Each entry is held by a FolderUse while it is read. The
// importer's session and utilities.
void RunAlternatePass(CSyncEngine* engine, QMRRDOSession* session, QMRMAPIUtils* utils);

// Which passes one cycle of the thread runs, from the minute counter (minutes
// begun since the start, 1 in the first), whether the minute turned in this
// cycle, and the two request flags.
struct ImportCycle {
    bool retryFailed = false;  // unpack packets, import with failed mails
    bool mainInbox = false;    // move from the Inbox, unpack, import
    bool alternate = false;    // move from every alternate inbox, unpack, import
};
// A minute divisible by 10 retries failed mails once, in its first cycle,
// and runs neither other pass (requests wait for the next minute). Otherwise the main pass runs on
// request or at the turn of an even minute, the alternate pass on request or at the turn of a
// minute divisible by 3; both may run in one cycle.
ImportCycle PlanImportCycle(DWORD minute, bool minuteTurned, bool inboxRequest,
                            bool alternateRequest);

// Sets the inbox importer into procs, leaving the other two procedures as
// they are; the caller hands procs to SetExchangeThreadProcs.
void AddImportFromInboxThread(ExchangeThreadProcs& procs);
