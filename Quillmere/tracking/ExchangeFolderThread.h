// Test seams of the Exchange folder thread: where the ICS scan hands its
// changes over (the queueing of a change by default) and a note of every
// scan's start. Set them before the folder threads start and put them back
// (an empty ExchangeScanHooks) after the threads ended; they are read without
// a lock by every folder thread.
#pragma once

#include <string>

#include "platform/com/Bstr.h"
#include "platform/com/Variant.h"
#include "platform/rdo/QuillmereRDO.h"
#include "platform/win/Types.h"

class CSyncEngine;
class CFolderObj;

struct ExchangeScanHooks {
    // In place of QueueSyncMessage / QueueDeleteMessage, with their contracts
    // (the VARIANT and the BSTR are taken over).
    HRESULT(*queueSyncMessage)
    (CSyncEngine* engine, QMRRDOSession* session, QMRMAPIUtils* utils, VARIANT* syncId,
     CFolderObj* folder, bool formFlag) = nullptr;
    HRESULT(*queueDeleteMessage)
    (CSyncEngine* engine, BSTR syncIdText, const std::wstring& shareName) = nullptr;
    // Called by ExchangeFolderThread as each scan begins (FolderCheckLock held).
    void (*scanStarted)(CFolderObj* folder) = nullptr;
};

void SetExchangeScanHooksForTesting(const ExchangeScanHooks& hooks);
