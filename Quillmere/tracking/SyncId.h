// Sync ids, sync versions and the add-in's own named properties on items.
//
// An item's identity across all partners is its MAPI search key
// (PR_SEARCH_KEY), carried as the helper library's hexadecimal text form
// (QMRMAPIUtils::BinaryToText); sync ids are compared as exact,
// case-sensitive texts. The add-in keeps three named properties of its own
// property set on items: the sync version "quillmereversion" (PT_LONG), the
// share name an item was last sent under "lastsharename" (PT_STRING8) and a
// copy of the item's categories "Keywords" (PT_MV_STRING8).
//
// All property access goes through the helper library's utilities object;
// nothing here talks to MAPI itself. Threads: any thread, with helper objects
// (utils, item) created on that thread, as the helper library demands. Every
// failure is reported through LogHResult with the texts named below and
// returned as the HRESULT.
#pragma once

#include <string>

#include "platform/rdo/QuillmereRDO.h"
#include "platform/win/Types.h"

class CSyncEngine;

// The add-in's property set, as text in exactly this letter case.
inline constexpr const wchar_t* kQuillmerePropertySet = L"{0F62B4A7-203E-40de-99DA-6F03EE72A090}";
// PS_PUBLIC_STRINGS, the set of the item's own categories.
inline constexpr const wchar_t* kPublicStringsPropertySet =
    L"{00020329-0000-0000-C000-000000000046}";

inline constexpr const wchar_t* kSyncVersionName = L"quillmereversion";
inline constexpr const wchar_t* kLastShareNameName = L"lastsharename";
inline constexpr const wchar_t* kKeywordsName = L"Keywords";
// The basic synchronisation's mark, a named property of the add-in's set.
inline constexpr const wchar_t* kBasicIdName = L"qmr-basicid";

inline constexpr ULONG kTagSearchKey = 0x300B0102;  // PR_SEARCH_KEY, PT_BINARY
inline constexpr ULONG kPropTypeLong = 0x0003;
inline constexpr ULONG kPropTypeString8 = 0x001E;
inline constexpr ULONG kPropTypeMvString8 = 0x101E;

// The string resource of the text of the notification left when a store
// refuses a new search key (the tables hold no entry: the text is empty).
inline constexpr UINT kSearchKeyRefusedTextId = 5224;

// A new sync id: a fresh GUID in its registry text form with the braces and
// hyphens removed, 32 upper-case hexadecimal digits in the GUID's text order.
// S_OK, or CoCreateGuid's failure (text left empty).
HRESULT MakeNewSyncIdText(std::wstring& text);

// The sync id of item (a safe mail item wrapping the item; any object the
// utilities object can reach works). With makeNew a new sync id is written
// first as the item's PR_SEARCH_KEY and saved; a failing write does not stop
// the read:
//   "GetSyncID_AS_PR_SEARCH_KEY new ID failed"  CoCreateGuid failed;
//   "SetNewSyncID E_ACCESSDENIED"  the store refused the write; when engine
//     is not null a desktop notification of kind 3, title "Fernhollow" and
//     string 5224 of the UI language as its text, is left pending (replacing
//     one not yet shown);
//   "SetNewSyncID"  any other write failure.
// Then PR_SEARCH_KEY is read: a failing read, an empty value or one that is
// no binary is reported as "GetSyncID_AS_PR_SEARCH_KEY failed" and gives
// E_FAIL with syncIdText emptied; otherwise syncIdText is the text form and
// the conversion's result is returned. E_POINTER for a null utils.
HRESULT GetSyncID_AS_PR_SEARCH_KEY(CSyncEngine* engine, QMRMAPIUtils* utils, QMRSafeMailItem* item,
                                   std::wstring& syncIdText, bool makeNew);
// The same for a helper-library message, whose search key is read by tag
// through QMRMessage::GetFields (the duplicate repair works on these).
HRESULT GetSyncID_AS_PR_SEARCH_KEY2(CSyncEngine* engine, QMRMAPIUtils* utils, QMRMessage* item,
                                    std::wstring& syncIdText, bool makeNew);

// The item's sync version: the stored "quillmereversion" when it is a 32-bit
// integer, else -1. Returns the read's HRESULT (MAPI_E_NOT_FOUND for an item
// that has none, version -1); E_FAIL for a null item or utils. The name is
// registered in the store at first use.
HRESULT GetSyncVersion(CSyncEngine* engine, QMRMAPIUtils* utils, IUnknown* item, LONG& version);

// Raises the item's sync version by one (to 1 for an item without one; then
// categoryText, when not empty, is added to the item's categories first, so
// the folder category is stamped only on an item's first version; a failing
// stamp is reported as "Cat2Item::Save" and does not stop the raise), saves it,
// and copies the item's categories (PS_PUBLIC_STRINGS "Keywords") into the
// add-in's "Keywords". An item without categories keeps its raised version
// and gives the category read's failure. Every failing step is reported as
// "IncSyncVersion" and its HRESULT returned; E_POINTER for null arguments.
HRESULT IncSyncVersion(CSyncEngine* engine, QMRMAPIUtils* utils, IUnknown* item,
                       const std::wstring& categoryText);

// Stores shareName as the item's "lastsharename" unless the stored text is
// exactly equal to it. changed is set to true when it writes (and saves) and
// left as it was otherwise. Failures are reported as "SetLastShareName".
HRESULT SetLastShareName(CSyncEngine* engine, QMRMAPIUtils* utils, IUnknown* item,
                         const std::wstring& shareName, bool& changed);

// The tag of one named property of set in item's store, combined with type.
// create registers an unknown name; without it an unmapped name gives
// MAPI_E_NOT_FOUND and tag 0. Raises E_OUTOFMEMORY as a COM error when the
// name texts cannot be allocated.
HRESULT GetNamedPropertyTag(QMRMAPIUtils* utils, IUnknown* item, const wchar_t* set,
                            const wchar_t* name, ULONG type, bool create, ULONG& tag);
