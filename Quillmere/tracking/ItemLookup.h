// Finding items in helper-library folders: by sync id (the item's search
// key), sync mails by subject, and an item's kind by its message class.
//
// Threads: any thread, with the helper objects passed in created on that
// thread, as the helper library demands. Failures are reported through
// LogHResult with the texts named below and returned as the HRESULT; nothing
// else is changed on failure.
#pragma once

#include <string>
#include <vector>

#include "platform/com/Unknown.h"
#include "platform/rdo/QuillmereRDO.h"
#include "platform/win/Types.h"

class CSyncEngine;

// Item kinds by message class.
inline constexpr int kItemKindAppointment = 1;
inline constexpr int kItemKindContact = 2;
inline constexpr int kItemKindTask = 3;
inline constexpr int kItemKindJournal = 4;
inline constexpr int kItemKindNote = 5;
inline constexpr int kItemKindMail = 6;
inline constexpr int kItemKindDistList = 7;
inline constexpr int kItemKindFormDescription = 999;

// Subject prefixes of sync mails and of basic-sync packet mails.
inline constexpr const wchar_t* kSyncMailSubjectPrefix = L">-Quillmere-<";
inline constexpr const wchar_t* kPacketMailSubjectPrefix = L"QMRX$BASICSYNCPACKET:";

// The kind of an item of that message class: the class, upper-cased, is
// tested for containing each known class text in a fixed order and the first
// hit decides; anything else (an empty class too) is a mail (6).
int GetItemKindFromMessageClass(const std::wstring& messageClass);

// Looks up the item of folder whose search key is syncId (VT_ARRAY|VT_UI1).
// found is false and entryId empty unless the item exists. A search that
// finds nothing succeeds with found false: callers take it to mean that the
// item no longer exists. E_FAIL for a null folder ("...Parameter
// RdoFolder=NULL"), a text sync id ("...Parameter falsch") or a failing
// search ("...FindBySearchId"); E_POINTER for a null utils. engine and
// session may be null (kept for the callers' common signature).
HRESULT GetEntryIDFromPR_SEARCH_KEY(CSyncEngine* engine, QMRRDOSession* session,
                                    QMRMAPIUtils* utils, bool& found, std::wstring& entryId,
                                    QMRMAPIFolder* folder, const VARIANT& syncId);

// The entry ids of the sync mails (packets false) or basic-sync packet mails
// (packets true) of folder, found by subject prefix. Mails whose subject
// carries "ERROR" after its first character (failed mails) are left out
// unless includeErrorMarked. entryIds is appended to. Returns the last
// HRESULT; a failure to take the items ends at once.
HRESULT GetItems(CSyncEngine* engine, std::vector<std::wstring>& entryIds, QMRMAPIFolder* folder,
                 bool packets, bool includeErrorMarked);

// The share name carried by a sync-mail body: the text between the first
// "lf:" and the first ":lf" after it. Empty when a marker is missing.
std::wstring ShareNameFromBody(const std::wstring& body);

// The share name of a sync mail (an Outlook mail item): its Body, else its
// PR_BODY read through utils, searched by ShareNameFromBody. A mail without
// any plain text body gives no share name (its HTML body is not searched);
// the failures are reported as "GSFFMSG=>no Body", "GSFFMSG=>no PR_BODY",
// "GSFFMSG=>no Body:NULL" and "GSFFMSG=>no HTMLBody:NULL". Returns the last
// HRESULT; E_POINTER for a null mail. shareName is emptied first.
HRESULT GSFFMSG(CSyncEngine* engine, QMRMAPIUtils* utils, std::wstring& shareName, IDispatch* mail);

// The helper-library message of an Outlook item, opened by the item's
// EntryID and its parent folder's StoreID through session. message is null
// unless it succeeds. Without utils: "mutils NULL" is reported and E_POINTER
// returned; E_POINTER too for a null item or session.
HRESULT IDispatchToIMessageItem(QMRRDOSession* session, QMRMAPIUtils* utils,
                                CComPtr<QMRMessage>& message, IDispatch* item);
// The same through the engine's session and utilities (Outlook's thread).
HRESULT IDispatchToIMessageItem(CSyncEngine* engine, CComPtr<QMRMessage>& message, IDispatch* item);
