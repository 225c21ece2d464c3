// The first and the last steps of the three exchange threads (the sync-mail
// sender, the deletion-notice sender and the inbox importer), which each take
// them on their own thread under their own names.
//
// Threads: each call runs on the exchange thread it speaks of, and only there
// (COM is initialised per thread). RunningThreadCount is changed under
// ThreadCountLock; the count a debug-log line shows is read under the lock
// again right after, so another thread may have moved it in between.
#pragma once

// The prologue, first thing on the thread: writes the debug-log line
// "Thread <name>: <count> / <thread id> started" and initialises COM for the
// thread. The thread is counted in RunningThreadCount already: StartThreads
// raised the count when it started it. name: the thread procedure's name
// (not null; it appears in the log as it stands).
void BeginExchangeThread(const char* name);

// The epilogue of a thread that ran: uninitialises COM, lowers
// RunningThreadCount and writes the debug-log line
// "Thread <name> endet (<count>)". Called last, after the thread has let go
// of every helper object: the Quit handler may tear the add-in down as soon
// as it reads a count of 0. name as for BeginExchangeThread.
void EndExchangeThread(const char* name);
