// The sync-mail sender: the thread that drains MailSenderList, one record at
// a time, into sync mails (SendSyncMessage), tells a burst of changes from a
// trickle, and sends the packet mails of the parked ones by count and by
// time.
//
// Threads: MailSendThread runs on its own thread (started by StartThreads
// through the registered exchange procedures) with its own COM apartment,
// its own helper session attached to the engine's and its own utilities; no
// helper object leaves the thread. It takes records only by trying
// SendQueueLock, so a producer holding the lock never blocks it; the two
// queue counts are read under their locks one after the other.
#pragma once

#include "Quillmere/core/SyncEngine.h"

// Thread entry (argument unused; the engine is g_pEngine). Counted in
// RunningThreadCount by StartThreads; lowers the count as it ends. Loads the
// sync-mail queue file (<data dir><profile>.mailsenddata.ids) into
// MailSenderList and deletes it, sends the packets parked by an earlier run,
// then builds one sync mail per queued record until StopFlag is set. While
// records wait the queue is saved every 60 s; at the stop what is still
// queued goes to the queue file and the list is emptied. A record whose
// folder or item can no longer be opened is dropped. Without a session
// (the helper library can't be created) it only waits for the stop. While
// the engine is stopped it idles. Returns 0.
unsigned MailSendThread(void* unused);

// Sets the sync-mail sender into procs, leaving the other two procedures as
// they are; the caller hands procs to SetExchangeThreadProcs.
void AddMailSendThread(ExchangeThreadProcs& procs);
