// Calls of Outlook's object model from the add-in's worker threads, carried
// to Outlook's thread. Outlook's objects belong to Outlook's thread; a folder
// thread or the inbox importer that needs one hands the work to that thread
// and waits for it.
//
// Outlook's thread is the thread that built the engine (the connection's);
// the work reaches it through the engine's heartbeat window, from Outlook's
// message loop. Outlook's thread serves it only from that loop: while it
// waits for the worker itself (a reload waiting for a folder thread, the
// shut-down and a basic synchronisation waiting for the exchange threads)
// it serves nothing, so every waiting worker gives up on the flag that such
// a wait raises first (the folder's run flag, StopFlag).
#pragma once

#include <functional>

class CSyncEngine;

// Runs work on Outlook's thread and returns true once it has run. On
// Outlook's thread, or when the engine has no heartbeat window (nothing
// reaches Outlook's thread then), work runs at once on the calling thread.
// Otherwise work is queued for the heartbeat window and the caller waits in
// 50-ms steps; as soon as giveUp() holds (asked on the calling thread) while
// work has not begun, work is dropped and the call returns false. Work must
// not wait for the calling thread. Any thread.
bool RunOnOutlookThread(CSyncEngine* engine, const std::function<void()>& work,
                        const std::function<bool()>& giveUp);

// Runs the queued work, oldest first. Outlook's thread (the heartbeat
// window's message kHeartbeatRunOnOutlookThread).
void RunOutlookThreadQueue();
