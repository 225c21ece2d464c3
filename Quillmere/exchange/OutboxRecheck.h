// The outbox re-check (the only place that submits sync mails), the restart
// of the folder threads after a settings change, and the shut-down flags.
#pragma once

#include "platform/rdo/QuillmereRDO.h"

class CSyncEngine;

// Submits the sync mails waiting in the Outbox through the chosen account.
// Runs on the heartbeat (Outlook's thread) with the engine's session; only
// tries OutboxLock.
void RecheckOutbox(CSyncEngine* engine, QMRRDOSession* session);

// Kills the heartbeat timer, stops and frees every synchronised folder, loads
// the configuration again and re-arms the heartbeat. Outlook's thread. true.
bool RestartThreads(CSyncEngine* engine);

// Clears every folder's run flag and sets the engine's shut-down flags, so
// that every worker loop ends. Outlook's thread (the Quit handler).
void InitiateShutdown(CSyncEngine* engine);
