// Item operations around the import of received sync mails: finding the
// local item that carries a sync id.
//
// Threads: the import thread (any thread), with the session and utilities
// created on it.
#pragma once

#include "platform/com/Unknown.h"
#include "platform/rdo/QuillmereRDO.h"
#include "platform/win/Types.h"

class CSyncEngine;

// The message of folder whose sync id (search key) is syncId, a binary
// VARIANT, opened through session with the engine's open flags (none when
// engine is null); null when there is none. An empty or VT_ERROR syncId
// gives null at once (debug line "ItemExist=>NoSearchKey"). The caller owns
// the returned reference. Failures of the lookup are reported by it and give
// null.
CComPtr<QMRMessage> ItemExist(CSyncEngine* engine, const VARIANT& syncId, QMRMAPIFolder* folder,
                              QMRRDOSession* session, QMRMAPIUtils* utils);
