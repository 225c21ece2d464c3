// Own-change recognition: every write the add-in makes to a synchronised
// item is registered here before a folder check can see it, so that the
// check absorbs it instead of sending it back.
#pragma once

#include <string>

#include "platform/com/Bstr.h"
#include "platform/com/Variant.h"
#include "platform/rdo/QuillmereRDO.h"
#include "platform/win/Types.h"

class CSyncEngine;

// Registers an own change to the item with syncIdText (owned, freed by the
// call) in the synchronised folder whose entry id is folderEntryId.
// session / utils are the calling thread's own.
HRESULT SelfModifiedItem(CSyncEngine* engine, QMRRDOSession* session, QMRMAPIUtils* utils,
                         const std::wstring& folderEntryId, BSTR syncIdText);

// Imports a received form description (kind 999) into targetFolder's hidden
// items, replacing the one with that sync id (binary VARIANT).
HRESULT ImportHiddenFormItem(CSyncEngine* engine, QMRRDOSession* session, QMRMAPIUtils* utils,
                             QMRMessage* incomingMessage, QMRMAPIFolder* targetFolder,
                             const VARIANT& syncId);
