// Item operations around the import of received sync mails: finding the
// local item that carries a sync id, and recording each import as an Outlook
// journal entry (with the debug copies of the items involved).
//
// Threads: the import thread (any thread), with the session and utilities
// created on it.
#pragma once

#include <string>

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

// The journal entry's category; the filters never synchronise it.
inline constexpr wchar_t kJournalCategory[] = L"Quillmere-Journal";
// The debug copies in the data directory, kept with `total_debugging` on.
inline constexpr wchar_t kDebugIncomingName[] = L"debug_msg_incoming.msg";
inline constexpr wchar_t kDebugExistingName[] = L"debug_msg_iexisting.msg";

// Records one import as an Outlook journal entry, when the engine's switch
// `journal` is on (S_FALSE and nothing else otherwise). The entry is created
// through Outlook's object model (CreateItem of a journal item, saved in the
// default Journal) and wrapped by a safe journal item; its subject is
// firstText " <= " secondText, its body and icon tell the change (newItem
// first: "Quillmere NEW" 0x603, then deletedItem: "Quillmere DELETED" 0x601,
// else "Quillmere CHANGED" 0x602, texts in the UI language), and its
// categories are exactly "Quillmere-Journal". With `total_debugging` on,
// incoming and existing (either may be null) are saved as the debug copies in
// the data directory and attached to the entry.
// session / utils: the calling thread's own (the import thread's). Every
// failure is logged and ends only this operation; the HRESULT of the failing
// step is returned (E_POINTER without an engine, an Outlook namespace or
// utils).
HRESULT TotalDebugging(CSyncEngine* engine, QMRRDOSession* session, QMRMAPIUtils* utils,
                       const std::wstring& firstText, const std::wstring& secondText, bool newItem,
                       bool deletedItem, QMRMessage* incoming, QMRMessage* existing);
