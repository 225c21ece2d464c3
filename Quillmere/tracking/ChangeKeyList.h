// The change-key list of one folder of an ordinary store: sync id text ->
// a short record of the item's state, in insertion order.
//
// A value is one of
//   - the item's PR_CHANGE_KEY as text (more than 12 characters),
//   - its PR_LAST_MODIFICATION_TIME as "%d%m%y%H%M%S" (exactly 12), for
//     stores that keep no change keys,
//   - a marker (fewer than 12): the add-in's own write, a reminder or a first
//     sighting touched the item.
// The comparison rules of the folder check depend on these lengths.
//
// Threads: the list itself is not synchronised; every list a CItemsEvents
// owns is guarded by ChangeListLock.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/com/Bstr.h"
#include "platform/com/Variant.h"
#include "platform/rdo/QuillmereRDO.h"
#include "platform/win/Types.h"

class CSyncEngine;
class CFolderObj;

// Markers, stored exactly as written here.
inline constexpr const wchar_t* kMarkerNewItem = L"NEWITEM";
inline constexpr const wchar_t* kMarkerChanged = L"CHANGED";
inline constexpr const wchar_t* kMarkerReminder = L"REMINDR";
inline constexpr const wchar_t* kMarkerDetect = L"DETECT";
inline constexpr const wchar_t* kMarkerHotmail = L"HOTMAL";

// Length of a modification stamp; change keys are longer, markers shorter.
inline constexpr std::size_t kTimeStampLength = 12;

// Suffixes of the two state files after the folder's entry id text.
inline constexpr const wchar_t* kKeysFileSuffix = L".keys.ids";
inline constexpr const wchar_t* kValuesFileSuffix = L".values.ids";

struct ChangeKeyEntry {
    std::wstring key;
    std::wstring value;
    bool operator==(const ChangeKeyEntry& other) const = default;
};

// An ordered list with a lookup by key. Keys may repeat (a duplicate whose
// repair failed is listed twice); lookups find the first entry of a key.
//
// Memory: a folder's list holds an entry for every item, and a check holds a
// second list of the folder beside it, so entries are kept packed: each one
// is a record in one byte arena (key and value each as a length and bytes:
// hexadecimal text two digits a byte, other text a byte a character below
// 0x80 and five bytes for any other), found through a vector of record
// offsets and an open-addressing table of entry indices. About 50 bytes for
// an entry of a 32-digit sync id and a 44-digit change key, instead of about
// 650 for wide strings in a vector and a hash map. Entries are handed out as
// copies.
class ChangeKeyList {
public:
    std::size_t Size() const { return m_records.size(); }
    bool Empty() const { return m_records.empty(); }
    void Clear();
    void Append(const std::wstring& key, const std::wstring& value);
    // Index of the first entry with key, or npos.
    std::size_t Find(const std::wstring& key) const;
    bool Contains(const std::wstring& key) const { return Find(key) != npos; }
    ChangeKeyEntry At(std::size_t index) const;
    std::wstring Key(std::size_t index) const;
    std::wstring Value(std::size_t index) const;
    void SetValue(std::size_t index, const std::wstring& value);
    void SetKey(std::size_t index, const std::wstring& key);
    // Removes the first entry with key; false when there is none.
    bool RemoveFirst(const std::wstring& key);
    void RemoveAt(std::size_t index);
    // A copy of every entry, in order (for small lists and tests; a whole
    // folder's list is walked by index).
    std::vector<ChangeKeyEntry> Entries() const;

    static constexpr std::size_t npos = static_cast<std::size_t>(-1);

private:
    // Appends the record of (key, value) to the arena; returns its offset.
    std::uint32_t AddRecord(std::string_view key, std::string_view value);
    // The encoded key and value of entry index.
    std::string_view KeyBytes(std::size_t index) const;
    std::string_view ValueBytes(std::size_t index) const;
    std::size_t FindEncoded(std::string_view key) const;
    // Puts entry index into the table unless its key is there already.
    void IndexEntry(std::size_t index);
    void Reindex();
    // Drops the records no entry refers to any more, once they outweigh the
    // live ones.
    void CompactIfWasteful();

    std::string m_arena;
    std::vector<std::uint32_t> m_records;  // entry -> record offset in m_arena
    std::vector<std::uint32_t> m_slots;    // open addressing: entry index or kEmptySlot
    std::size_t m_deadBytes = 0;           // arena bytes of replaced records
};

// A local DATE as the list's stamp "%d%m%y%H%M%S".
std::wstring FormatModificationStamp(DATE localTime);

// Scan windows of the folder check, in days.
inline constexpr double kScanAllItems = -1.0;
inline constexpr double kFirstCheckWindowDays = 25.0;
inline constexpr double kRoutineCheckWindowDays = 1.0 / 96.0;  // 15 minutes

// Margin by which a routine check reads back past the start of the
// folder's last complete check: stamps are kept to the second.
inline constexpr double kCheckWindowMarginDays = 1.0 / 1440.0;  // one minute

// The window of a folder's change check, in days back from now: 25 days
// until the folder had a complete check (lastCompleteStart 0), else back to
// the start of that check with a margin, and 15 minutes at the least. So an
// edit made while the folder's checks were put off is still read when they
// resume, and a routine check reads only the rows changed since.
inline double CheckWindowDays(DATE lastCompleteStart, DATE now) {
    if (lastCompleteStart == 0)
        return kFirstCheckWindowDays;
    return std::max(kRoutineCheckWindowDays, now - lastCompleteStart + kCheckWindowMarginDays);
}

// What the folder check hands its findings to. By default QueueSyncMessage
// and QueueDeleteMessage of the queueing; tests may put their own in (null
// restores the default). Set before any folder check runs.
struct ChangeQueueProcs {
    HRESULT(*queueSync)
    (CSyncEngine* engine, QMRRDOSession* session, QMRMAPIUtils* utils, VARIANT* syncId,
     CFolderObj* folder, bool formFlag) = nullptr;
    HRESULT(*queueDelete)
    (CSyncEngine* engine, BSTR syncIdText, const std::wstring& shareName) = nullptr;
};
void SetChangeQueueProcsForTesting(const ChangeQueueProcs& procs);

// Whether an active reminder belongs to the item with that sync id text, in
// place of the item's own reminder properties that the folder check reads by
// default (null restores the default). Called under ChangeListLock on a
// folder thread.
using ActiveReminderProc = bool (*)(const std::wstring& syncIdText);
void SetActiveReminderProc(ActiveReminderProc proc);
