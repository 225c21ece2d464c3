// Whether an item of a synchronised folder may leave as a sync mail: private
// items, meeting requests, holiday items and items outside the folder's
// chosen categories stay at home.
//
// Threads: the calling thread, with helper-library objects of that thread.
#pragma once

#include "platform/com/Unknown.h"
#include "platform/rdo/QuillmereRDO.h"

class CSyncEngine;

// The folder's item switches, as its registry values give them.
struct ItemFilterSwitches {
    bool excludePrivate = false;   // DONT_SYNC_PRIV_ITEMS
    bool onlyPrivate = false;      // SYNC_ONLY_PRIV_ITEMS
    bool excludeMeetings = false;  // DONT_SYNC_BSP_ITEMS
};

// true when the item may be synchronised: not refused by the sensitivity
// switches, not a meeting while meetings are excluded, and no category of the
// folder's filter was taken off the item since the add-in recorded its
// categories (then the queueing sends a deletion notice instead). The
// category filter proper is IsItemAllowedByCategory. item: a helper-library
// message (or an Outlook item's MAPIOBJECT); utils, item stay the caller's.
// Raises _com_error as IsMeetingItem does.
bool IsItemAllowed(CSyncEngine* engine, QMRMAPIUtils* utils, IUnknown* item,
                   const wchar_t* folderKey, bool excludePrivate, bool onlyPrivate,
                   bool excludeMeetings);
inline bool IsItemAllowed(CSyncEngine* engine, QMRMAPIUtils* utils, IUnknown* item,
                          const wchar_t* folderKey, const ItemFilterSwitches& switches) {
    return IsItemAllowed(engine, utils, item, folderKey, switches.excludePrivate,
                         switches.onlyPrivate, switches.excludeMeetings);
}

// true when the item passes the folder's category filter: with a filter
// list, at least one of its categories must be in it (exact text); the
// excluding words always refuse it: "NO_SYNC", the journal folder's name
// "Quillmere-Journal" (any case) and, with holidayFilter, "FEIERTAG" and
// "HOLIDAY" (any case).
bool IsItemAllowedByCategory(CSyncEngine* engine, QMRMAPIUtils* utils, IUnknown* item,
                             const wchar_t* folderKey, bool holidayFilter);

// true when the item is a meeting: its appointment view (or meeting-item
// view) reports the meeting flag. Neither view: false. A query failing with
// anything but E_NOINTERFACE raises _com_error with that HRESULT.
bool IsMeetingItem(CSyncEngine* engine, IUnknown* item);
