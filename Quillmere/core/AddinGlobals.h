// The add-in's process-wide values: the one engine, the locks every thread
// shares, the stop flag and the counter of running exchange threads, the UI
// language and Office's COMAddIn object of this add-in.
//
// Lifetime: the locks are initialised first thing in the connection start-up
// (InitializeAddinLocks) and deleted last in the Quit handler
// (DeleteAddinLocks), after the engine and all its threads are gone. Every
// other value here is set on Outlook's thread by the start-up.
//
// Lock order: ChangeListLock before SendQueueLock or DeleteQueueLock; the
// two queue locks are never held together. FolderTableLock is held for one
// lookup or change only, never across a call into Outlook or the helper
// library. FolderCheckLock is only ever tried and polled.
#pragma once

#include <atomic>

#include "platform/com/Dispatch.h"
#include "platform/win/CriticalSection.h"
#include "platform/win/Types.h"

class CSyncEngine;

// The engine: null until the start-up creates it, null again after Quit.
// Written on Outlook's thread only; worker threads read it while it lives
// (they are all stopped before it is destroyed).
extern std::atomic<CSyncEngine*> g_pEngine;

// Ends the loops of the log-on thread and of the three exchange threads. Set
// by the shut-down and by a basic synchronisation, cleared by StartThreads.
extern std::atomic<bool> StopFlag;

extern CRITICAL_SECTION StateLock;         // the engine's state code
extern CRITICAL_SECTION OutboxLock;        // the outbox re-check; held while a mail is built
extern CRITICAL_SECTION ThreadCountLock;   // RunningThreadCount
extern CRITICAL_SECTION NotificationLock;  // the engine's pending desktop notification
extern CRITICAL_SECTION SpareLock;         // guards nothing
extern CRITICAL_SECTION QueueCheckLock;    // the examination of one item by the queueing
extern CRITICAL_SECTION SendQueueLock;     // MailSenderList
extern CRITICAL_SECTION DeleteQueueLock;   // DelMailSenderList
extern CRITICAL_SECTION ChangeListLock;    // every folder's change-key list (re-entrant)
extern CRITICAL_SECTION FolderTableLock;   // the engine's synchronised-folder table
extern CRITICAL_SECTION FolderCheckLock;   // one folder check or import pass at a time

// The number of running exchange threads (sync-mail sender, deletion-notice
// sender, inbox importer). StartThreads raises it for each thread it starts,
// before the thread runs; each thread lowers it as its last step. The Quit
// handler polls it.
extern LONG RunningThreadCount GUARDED_BY(ThreadCountLock);

// Reads RunningThreadCount under ThreadCountLock.
LONG GetRunningThreadCount();
// Raises / lowers RunningThreadCount under ThreadCountLock.
void IncrementRunningThreadCount();
void DecrementRunningThreadCount();

// The UI language (an LCID, see GetConfiguredLCID), read once at start-up.
extern std::atomic<LCID> g_UILanguage;

// Office's COMAddIn object of this add-in (an IDispatch answering the
// COMAddIn interface), kept by the start-up with one reference; null before.
// Used to disconnect the add-in when the helper library is missing.
// Outlook's thread sets it; any thread may read it while the add-in runs.
void SetAddinCOMAddIn(IDispatch* comAddIn);
// The kept object with a reference added for the caller, or null.
IDispatch* GetAddinCOMAddIn();

// The folder of the latest folder Properties event (Outlook's MAPIFolder),
// which the folder page reads. Set replaces it (a reference is kept; null
// releases it); Get adds a reference for the caller. Outlook's thread.
void SetLatestPropertiesFolder(IDispatch* folder);
IDispatch* GetLatestPropertiesFolder();

// Initialises / deletes the eleven locks above. Outlook's thread only, at the
// very start of the connection and at the very end of Quit.
void InitializeAddinLocks();
void DeleteAddinLocks();
