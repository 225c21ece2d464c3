// The change-key list of an ordinary store's folder: the two state files,
// the contents-table scan, the comparison pass, the deletion pass, the
// duplicate repair and the registration of the add-in's own writes.
#include "Quillmere/tracking/ChangeKeyList.h"

#include <atomic>
#include <cstdio>
#include <cwchar>
#include <stdexcept>
#include <string_view>

#include "Quillmere/core/AddinGlobals.h"
#include "Quillmere/core/DebugLog.h"
#include "Quillmere/core/FolderObj.h"
#include "Quillmere/core/ItemsEvents.h"
#include "Quillmere/core/SyncEngine.h"
#include "Quillmere/exchange/QueueChange.h"
#include "Quillmere/exchange/SendQueues.h"
#include "Quillmere/tracking/ChangeKeyStateFiles.h"
#include "Quillmere/tracking/ItemLookup.h"
#include "Quillmere/tracking/SyncId.h"
#include "platform/com/Bstr.h"
#include "platform/com/Variant.h"
#include "platform/win/Clock.h"
#include "platform/win/Crt.h"
#include "platform/win/Files.h"
#include "platform/win/Text.h"

namespace {

constexpr ULONG kTagEntryId = 0x0FFF0102;           // PR_ENTRYID
constexpr ULONG kTagLastModification = 0x30080040;  // PR_LAST_MODIFICATION_TIME
constexpr ULONG kTagChangeKey = 0x65E20102;         // PR_CHANGE_KEY
// Column order of the scan; the row cells follow it.
constexpr ULONG kScanColumns[] = {kTagSearchKey, kTagEntryId, kTagLastModification, kTagChangeKey};
constexpr LONG kColumnSearchKey = 0;
constexpr LONG kColumnEntryId = 1;
constexpr LONG kColumnModified = 2;
constexpr LONG kColumnChangeKey = 3;

constexpr LONG kRowsPerBatch = 300;
// A row without a modification time counts as this many days old.
constexpr double kMissingModificationAgeDays = 3.0;
// The deletion pass's report of an entry it could not verify and dropped.
constexpr const char* kDroppedFromChecklist =
    "CHECK4DELETEDITEMS::GetEntryIDFromPR_SEARCH_KEY FAILED, MAIL DELETED FROM CHECKLIST";
// Spacing of the sends of one pass, in milliseconds.
constexpr DWORD kSendSpacingMs = 5;

constexpr const wchar_t* kSubjectDaslName =
    L"\"http://schemas.microsoft.com/mapi/proptag/0x001A001F\"";
constexpr const wchar_t* kSearchKeyDaslName =
    L"\"http://schemas.microsoft.com/mapi/proptag/0x300B0102\"";

std::atomic<decltype(ChangeQueueProcs::queueSync)> g_queueSync{nullptr};
std::atomic<decltype(ChangeQueueProcs::queueDelete)> g_queueDelete{nullptr};
std::atomic<ActiveReminderProc> g_activeReminder{nullptr};

std::wstring Text(BSTR b) {
    return b ? std::wstring(b) : std::wstring();
}

HRESULT QueueSync(CSyncEngine* engine, QMRRDOSession* session, QMRMAPIUtils* utils, VARIANT* syncId,
                  CFolderObj* folder) {
    auto proc = g_queueSync.load();
    return (proc ? proc : &QueueSyncMessage)(engine, session, utils, syncId, folder, false);
}

HRESULT QueueDelete(CSyncEngine* engine, BSTR syncIdText, const std::wstring& shareName) {
    auto proc = g_queueDelete.load();
    return (proc ? proc : &QueueDeleteMessage)(engine, syncIdText, shareName);
}

DATE LocalNow() {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    DATE date = 0;
    SystemTimeToVariantTime(&now, &date);
    return date;
}

// The cells of one row (or the rows of one batch) of GetRows, as views into
// the array: valid while the array lives, never cleared by the holder. A
// scan reads every cell of every row once, so it copies none.
std::vector<VARIANT> Elements(const VARIANT& array) {
    std::vector<VARIANT> out;
    if (array.vt != (VT_ARRAY | VT_VARIANT) || !array.parray || SafeArrayGetDim(array.parray) != 1)
        return out;
    LONG lower = 0, upper = -1;
    VARIANT* cells = nullptr;
    if (FAILED(SafeArrayGetLBound(array.parray, 1, &lower)) ||
        FAILED(SafeArrayGetUBound(array.parray, 1, &upper)) ||
        FAILED(SafeArrayAccessData(array.parray, reinterpret_cast<void**>(&cells))))
        return out;
    out.assign(cells, cells + (upper - lower + 1));
    SafeArrayUnaccessData(array.parray);
    return out;
}

CComVariant ScanColumns() {
    CComVariant columns;
    constexpr ULONG count = sizeof kScanColumns / sizeof kScanColumns[0];
    SAFEARRAY* array = SafeArrayCreateVector(VT_I4, 0, count);
    if (!array)
        return columns;
    for (LONG i = 0; i < static_cast<LONG>(count); ++i) {
        LONG tag = static_cast<LONG>(kScanColumns[i]);
        SafeArrayPutElement(array, &i, &tag);
    }
    columns.vt = VT_ARRAY | VT_I4;
    columns.parray = array;
    return columns;
}

bool HasValue(const VARIANT& v) {
    return v.vt != VT_EMPTY && v.vt != VT_NULL && v.vt != VT_ERROR;
}

// The subject of a message opened by its entry id, "<no subject>" without one.
std::wstring SubjectByEntryId(QMRRDOSession* session, QMRMAPIUtils* utils, const VARIANT& entryId,
                              const std::wstring& storeId) {
    CComBSTR idText;
    CComPtr<QMRMessage> message;
    CComBSTR subject;
    if (SUCCEEDED(utils->BinaryToText(entryId, &idText)) &&
        SUCCEEDED(session->GetMessageFromID(idText, CComBSTR(storeId.c_str()), CComVariant(),
                                            &message)) &&
        message && SUCCEEDED(message->GetSubject(&subject)) && subject && subject[0])
        return Text(subject);
    return L"<no subject>";
}

// The reminder properties of the common named-property set.
constexpr const wchar_t* kCommonPropertySet = L"{00062008-0000-0000-C000-000000000046}";
constexpr LONG kLidReminderSet = 0x8503;         // PidLidReminderSet
constexpr LONG kLidReminderSignalTime = 0x8560;  // PidLidReminderSignalTime
constexpr ULONG kPropTypeBoolean = 0x000B;
constexpr ULONG kPropTypeSysTime = 0x0040;

// One named property of the common set, read from message; VT_EMPTY when
// the store never mapped the name or the message lacks it.
CComVariant CommonProperty(QMRMAPIUtils* utils, QMRMessage* message, LONG lid, ULONG type) {
    CComVariant value;
    ULONG id = 0;
    if (SUCCEEDED(utils->GetIDsFromNames(message, CComBSTR(kCommonPropertySet), CComVariant(lid),
                                         VARIANT_FALSE, &id)) &&
        (id & 0xFFFF0000u) != 0 &&
        FAILED(utils->HrGetOneProp(message, (id & 0xFFFF0000u) | type, &value)))
        value.Clear();
    return value;
}

// Whether the item's reminder is showing: it is set and has fallen due.
// Dismissing clears it and snoozing moves its signal time on, and both are
// the writes that a reminder marker must absorb.
bool IsReminderShowing(QMRMAPIUtils* utils, QMRMessage* item) {
    const CComVariant set = CommonProperty(utils, item, kLidReminderSet, kPropTypeBoolean);
    if (set.vt != VT_BOOL || set.boolVal == VARIANT_FALSE)
        return false;
    const CComVariant signal =
        CommonProperty(utils, item, kLidReminderSignalTime, kPropTypeSysTime);
    if (signal.vt != VT_DATE)
        return true;
    SYSTEMTIME now{};
    GetSystemTime(&now);
    DATE nowUtc = 0;
    SystemTimeToVariantTime(&now, &nowUtc);
    return signal.date <= nowUtc;
}

// What the comparison decides for one listed item.
enum class CheckAction { kNothing, kSend, kSetValue };

struct Decision {
    CheckAction action = CheckAction::kNothing;
    std::wstring value;  // for kSetValue
};

}  // namespace

std::wstring FormatModificationStamp(DATE localTime) {
    SYSTEMTIME st{};
    if (!VariantTimeToSystemTime(localTime, &st))
        return std::wstring();
    wchar_t text[32];
    std::swprintf(text, sizeof text / sizeof text[0], L"%02u%02u%02u%02u%02u%02u",
                  unsigned(st.wDay), unsigned(st.wMonth), unsigned(st.wYear % 100),
                  unsigned(st.wHour), unsigned(st.wMinute), unsigned(st.wSecond));
    return text;
}

void SetChangeQueueProcsForTesting(const ChangeQueueProcs& procs) {
    g_queueSync = procs.queueSync;
    g_queueDelete = procs.queueDelete;
}

void SetActiveReminderProc(ActiveReminderProc proc) {
    g_activeReminder = proc;
}

// --- State files -----------------------------------------------------------

std::wstring CItemsEvents::StateFilePath(const wchar_t* suffix) const {
    CSyncEngine* engine = g_pEngine.load();
    return (engine ? engine->DataDirectory() : std::wstring()) + m_entryId + suffix;
}

HRESULT CItemsEvents::LoadFolderList(QMRRDOSession* session, QMRMAPIUtils* utils) {
    if (m_isExchange)
        return S_OK;
    if (!g_pEngine.load())
        return E_FAIL;
    // The thread loads again when the first load left the list empty; the
    // in-sync list is appended from its file and must be read only once.
    if (!m_stateFilesTakenUp.exchange(true) && m_owner)
        m_owner->LoadElemsInSync();
    WriteDebugLog("LoadFolderList from HD=>start");
    const std::wstring keysPath = StateFilePath(kKeysFileSuffix);
    const std::wstring valuesPath = StateFilePath(kValuesFileSuffix);
    changekeys::RecoverInterruptedWrite(keysPath, valuesPath);
    CrtFile* keys = _wfopen(keysPath.c_str(), L"r");
    CrtFile* values = _wfopen(valuesPath.c_str(), L"r");
    bool fromFiles = false;
    if (!keys || !values) {
        if (keys)
            fclose(keys);
        if (values)
            fclose(values);
        WriteDebugLog("files not opened(if firsttime: no problem)");
    } else {
        fromFiles = ReadStateFiles(keys, values);
        fclose(keys);
        fclose(values);
    }
    // The files stay: until the next save they are the folder's only record
    // of what was sent and what the add-in wrote itself.

    EnterCriticalSection(&ChangeListLock);
    const bool loaded = !changeKeylist.Empty();
    if (loaded || fromFiles)
        m_listEstablished = true;
    LeaveCriticalSection(&ChangeListLock);
    if (fromFiles) {
        // Items deleted while the add-in was not running (or killed before
        // its deletion pass) are found by one pass at the first turn.
        SetDeletedFlag();
    }
    if (loaded)
        return S_OK;
    if (fromFiles)
        return E_FAIL;  // an empty folder, as saved: its first items are new
    // First start (or no files): what the folder holds now counts as known,
    // but for what came after the folder was shared (the share's time is its
    // LastFolderSyncTime until a scan writes one): that is new, and travels.
    DATE shared = 0;
    if (!m_owner || !m_owner->ReadStoredLastFolderSyncTime(&shared))
        shared = 0;
    ChangeKeyList scanned;
    const HRESULT scan = MakeFolderList(session, utils, scanned, kScanAllItems, shared);
    EnterCriticalSection(&ChangeListLock);
    // Own changes registered while the scan ran keep their markers.
    for (std::size_t i = 0; i < changeKeylist.Size(); ++i) {
        const ChangeKeyEntry own = changeKeylist.At(i);
        const std::size_t index = scanned.Find(own.key);
        if (index == ChangeKeyList::npos)
            scanned.Append(own.key, own.value);
        else
            scanned.SetValue(index, own.value);
    }
    changeKeylist = std::move(scanned);
    const bool filled = !changeKeylist.Empty();
    // A folder that was read and found empty is a baseline too: its first
    // items are new. Only a list that could not be read stays unusable.
    if (SUCCEEDED(scan))
        m_listEstablished = true;
    LeaveCriticalSection(&ChangeListLock);
    return filled ? S_OK : E_FAIL;
}

namespace {

// The state file's name (its path's last component), for the error log.
std::string FileName(const std::wstring& path) {
    std::size_t slash = path.find_last_of(L"\\/");
    return win::ToAnsi(slash == std::wstring::npos ? path : path.substr(slash + 1));
}

void ReportDamage(const std::wstring& path, const char* what, std::size_t count) {
    std::string line =
        "damaged state file " + FileName(path) + ": " + std::to_string(count) + " " + what;
    LogHResult(0, line.c_str());
}

}  // namespace

bool CItemsEvents::ReadStateFiles(CrtFile* keys, CrtFile* values) {
    EnterCriticalSection(&ChangeListLock);
    changeKeylist.Clear();
    LeaveCriticalSection(&ChangeListLock);
    // Read packed: the files may list 100,000 items.
    ChangeKeyList pairs;
    const bool agree = changekeys::ReadStateFilePairs(keys, values, pairs);
    WriteDebugLog("LoadFolderList=>ready");
    WriteDebugLogFormat("LoadFolderList => %d Items from file", static_cast<int>(pairs.Size()));
    // A damaged pair is not thrown away: a full scan would take every item as
    // known, and each change made since the last save would be lost. What
    // can't be trusted goes out again instead: an entry without a readable
    // sync id is dropped (its item is found as new), and a value that is no
    // value, or any marker of files that disagree (their lines may have
    // shifted against each other), becomes HOTMAL, which sends the item at
    // the next check that reads it.
    if (!agree) {
        LogHResult(0, "Difference between keys and values");
        ReportDamage(StateFilePath(kKeysFileSuffix), "lines against the values' (pairs kept)",
                     pairs.Size());
    }
    std::size_t badKeys = 0;
    std::size_t badValues = 0;
    EnterCriticalSection(&ChangeListLock);
    for (std::size_t i = 0; i < pairs.Size(); ++i) {
        ChangeKeyEntry pair = pairs.At(i);
        if (!changekeys::IsSyncIdText(pair.key)) {
            ++badKeys;
            continue;
        }
        if (!changekeys::IsStateValue(pair.value)) {
            ++badValues;
            pair.value = kMarkerHotmail;
        } else if (!agree && changekeys::IsAbsorbingMarker(pair.value)) {
            pair.value = kMarkerHotmail;
        }
        changeKeylist.Append(pair.key, pair.value);
    }
    LeaveCriticalSection(&ChangeListLock);
    pairs.Clear();
    if (badKeys)
        ReportDamage(StateFilePath(kKeysFileSuffix), "lines without a sync id dropped", badKeys);
    if (badValues)
        ReportDamage(StateFilePath(kValuesFileSuffix), "values unreadable (items sent again)",
                     badValues);
    return true;
}

HRESULT CItemsEvents::WritechangeKeylist2File() {
    if (!g_pEngine.load())
        return E_FAIL;
    if (m_isExchange)
        return S_OK;
    // Order matters: what the list marks as sent must be queued durably
    // first, or a crash between the two writes would lose it for good.
    PersistSendQueues(nullptr);
    if (m_owner)
        m_owner->SaveElemsInSync();
    WriteDebugLog("WritechangeKeylist2File");
    EnterCriticalSection(&ChangeListLock);
    // A copy of the packed list, not of the entries as wide strings: a
    // folder's list may hold an entry for each of 100,000 items.
    const ChangeKeyList entries = changeKeylist;
    LeaveCriticalSection(&ChangeListLock);
    changekeys::WriteStateFiles(StateFilePath(kKeysFileSuffix), StateFilePath(kValuesFileSuffix),
                                entries);
    return S_OK;
}

// --- Contents-table scan ---------------------------------------------------

HRESULT CItemsEvents::MakeFolderList(QMRRDOSession* session, QMRMAPIUtils* utils,
                                     ChangeKeyList& target, double windowDays, DATE newSince) {
    if (m_isExchange)
        return S_OK;
    CSyncEngine* engine = g_pEngine.load();
    if (!engine || !session || !utils)
        return E_FAIL;
    if (!m_owner) {
        LogHResult(0, "MFL::no FolderObject");
        return E_FAIL;
    }
    WriteDebugLog("MFL::start");
    EnterCriticalSection(&ChangeListLock);
    target.Clear();
    LeaveCriticalSection(&ChangeListLock);

    auto fail = [](HRESULT hr, const char* context) {
        if (SUCCEEDED(hr))
            hr = E_FAIL;
        LogHResult(hr, context);
        WriteDebugLog("MFL::END");
        return hr;
    };
    CComPtr<QMRMAPIFolder> folder;
    HRESULT hr = session->GetFolderFromID(CComBSTR(m_entryId.c_str()), CComBSTR(m_storeId.c_str()),
                                          engine->OpenFlags(), &folder);
    if (FAILED(hr) || !folder)
        return fail(hr, "MFL::GetFolder (folder empty?)");
    CComPtr<QMRItems> items;
    hr = folder->GetItems(&items);
    if (FAILED(hr) || !items)
        return fail(hr, "MFL::GETITEMS");
    CComPtr<QMRMAPITable> table;
    hr = items->GetMAPITable(&table);
    if (FAILED(hr) || !table)
        return fail(hr, "MFL::PUTITEMS");
    CComVariant columns = ScanColumns();
    hr = table->SetColumns(columns);
    if (FAILED(hr))
        return fail(hr, "MFL (folder empty?)");
    LONG rowCount = 0;
    hr = table->GetRowCount(&rowCount);
    if (FAILED(hr))
        return fail(hr, "MFL:RowCount");
    WriteDebugLogFormat("MFL::rows_ges: %d", static_cast<int>(rowCount));
    hr = table->Sort(CComVariant(static_cast<LONG>(kTagLastModification)), CComVariant(LONG(1)));
    if (SUCCEEDED(hr))
        hr = table->GoToFirst();
    if (FAILED(hr))
        return fail(hr, "MFL::Sort");

    if (rowCount <= 0) {
        WriteDebugLog("MFL::folder empty");
    } else {
        const DATE now = LocalNow();
        LONG position = 0;
        bool windowEnded = false;
        while (!windowEnded) {
            if (!m_owner->IsRunning()) {
                WriteDebugLog("MFL::break Thread");
                hr = E_FAIL;
                break;
            }
            CComVariant rows;
            hr = table->GetRows(kRowsPerBatch, &rows);
            if (FAILED(hr)) {
                LogHResult(hr, "GetRows");
                break;
            }
            if (rows.vt == VT_EMPTY)
                break;
            const std::vector<VARIANT> batch = Elements(rows);
            for (const VARIANT& row : batch) {
                if (AddScannedRow(session, utils, target, row, now, windowDays, newSince))
                    windowEnded = true;
                if (windowEnded)
                    break;
            }
            position += static_cast<LONG>(batch.size());
            if (windowEnded || batch.empty() || position >= rowCount)
                break;
            hr = table->SeekRow(position);
            if (FAILED(hr)) {
                LogHResult(hr, "GoToNumber");
                break;
            }
        }
    }
    if (FAILED(columns.Clear()))
        LogHResult(E_FAIL, "safearr destr");
    WriteDebugLog("MFL::END");
    return hr;
}

bool CItemsEvents::AddScannedRow(QMRRDOSession* session, QMRMAPIUtils* utils, ChangeKeyList& target,
                                 const VARIANT& row, DATE now, double windowDays, DATE newSince) {
    const std::vector<VARIANT> cells = Elements(row);
    if (cells.size() <= static_cast<std::size_t>(kColumnChangeKey))
        return false;
    CComBSTR keyText;
    HRESULT hr = utils->BinaryToText(cells[kColumnSearchKey], &keyText);
    if (FAILED(hr)) {
        LogHResult(hr, "MFL::ARR2STR");
        return false;
    }
    std::wstring key = Text(keyText);
    if (key.size() < 2)
        return false;

    DATE modified = 0;
    if (cells[kColumnModified].vt != VT_DATE ||
        FAILED(utils->ConvertModificationTime(cells[kColumnModified], &modified))) {
        LogHResult(0, "LAST_MODIFICATION not found");
        modified = now - kMissingModificationAgeDays;
        if (DebugSwitch)
            WriteDebugLog(
                SubjectByEntryId(session, utils, cells[kColumnEntryId], m_storeId).c_str());
    }
    // Rows come newest first: the first row older than the window is the
    // last one taken.
    const bool lastRow = windowDays != kScanAllItems && now - windowDays > modified;

    EnterCriticalSection(&ChangeListLock);
    const bool duplicate = target.Contains(key);
    LeaveCriticalSection(&ChangeListLock);
    if (duplicate)
        RepairDuplicatedRow(session, utils, target, cells[kColumnEntryId], key);

    std::wstring value;
    if (HasValue(cells[kColumnChangeKey])) {
        CComBSTR changeKey;
        hr = utils->BinaryToText(cells[kColumnChangeKey], &changeKey);
        if (FAILED(hr))
            LogHResult(hr, "MFL::ARR2STR");
        else
            value = Text(changeKey);
    }
    if (value.empty())
        value = FormatModificationStamp(modified);
    if (newSince != 0 && modified >= newSince)
        value = kMarkerDetect;
    EnterCriticalSection(&ChangeListLock);
    target.Append(std::move(key), std::move(value));
    LeaveCriticalSection(&ChangeListLock);
    return lastRow;
}

void CItemsEvents::RepairDuplicatedRow(QMRRDOSession* session, QMRMAPIUtils* utils,
                                       ChangeKeyList& target, const VARIANT& rowEntryId,
                                       std::wstring& key) {
    // The calling thread's session: helper objects never cross threads.
    std::wstring newKey;
    std::wstring renamedEntryId;
    bool changed = false;
    if (FAILED(RenewDuplicatedSyncId(session, utils, key, newKey, changed, renamedEntryId)) ||
        !changed)
        return;
    if (newKey.empty()) {
        LogHResult(E_FAIL, "changedID not copied 2 syncid");
        return;
    }
    // Either item may be the one that got the new id: the copy is chosen by
    // its time stamp, the rows come by modification time. Each item is
    // listed under the id it carries now, with its own value.
    CComBSTR rowId;
    VARIANT_BOOL same = VARIANT_FALSE;
    if (SUCCEEDED(utils->BinaryToText(rowEntryId, &rowId)) &&
        SUCCEEDED(utils->CompareEntryIDs(rowId, CComBSTR(renamedEntryId.c_str()), &same)) &&
        same == VARIANT_FALSE) {
        EnterCriticalSection(&ChangeListLock);
        const std::size_t listed = target.Find(key);
        if (listed != ChangeKeyList::npos)
            target.SetKey(listed, newKey);
        LeaveCriticalSection(&ChangeListLock);
        return;
    }
    key = newKey;
}

// --- Comparison pass -------------------------------------------------------

namespace {

Decision Decide(const std::wstring& stored, const std::wstring& fresh, bool reminderActive) {
    constexpr std::size_t kStamp = kTimeStampLength;
    auto set = [](const wchar_t* value) { return Decision{CheckAction::kSetValue, value}; };
    if (stored == fresh)
        return {};
    if (stored.size() == fresh.size()) {
        if (fresh.size() > kStamp) {
            WriteDebugLog("CHECK CHANGES::NO SEND: LENGTH != LENGHT");
            return set(kMarkerHotmail);
        }
        return {CheckAction::kSend, {}};
    }
    if (stored.size() >= kStamp && fresh.size() > kStamp) {
        WriteDebugLog("CHECK CHANGES::NO SEND: LENGTH != LENGHT");
        return set(kMarkerHotmail);
    }
    if (stored == kMarkerHotmail)
        return {CheckAction::kSend, {}};
    if (stored == kMarkerDetect) {
        WriteDebugLog("CHECK CHANGES::user has insert one item ");
        if (fresh.size() <= kStamp)
            return {CheckAction::kSend, {}};
        // A new item of a store with change keys waits one check, as a
        // changed one does, and is sent by the next check that still sees
        // it: "CHANGED" here would take the item's creation for the add-in's
        // own write and keep it from the partners until its next edit.
        WriteDebugLog("CHECK CHANGES::Waiting for HotmailSync first ");
        return set(kMarkerHotmail);
    }
    if (stored == kMarkerChanged) {
        WriteDebugLog("CHANGED MARKER FOUND");
        WriteDebugLog("CHECK CHANGES::CHANGED is updated with normal ID (no update to partners) ");
        return {CheckAction::kSetValue, fresh};
    }
    if (stored == kMarkerReminder) {
        WriteDebugLog("CHECK CHANGES::REMINDR MARKER FOUND ");
        if (reminderActive) {
            WriteDebugLog("CHECK CHANGES::REMINDR is still active)");
            return {};
        }
        WriteDebugLog("CHECK CHANGES::REMINDR is updated with normal ID (no update to partners)");
        return {CheckAction::kSetValue, fresh};
    }
    if (stored == kMarkerNewItem) {
        WriteDebugLog("CHECK CHANGES::NEWITEM MARKER FOUND");
        WriteDebugLog("CHECK CHANGES::NEWITEM is updated with normal ID (no update to partners)");
        return {CheckAction::kSetValue, fresh};
    }
    return {};
}

}  // namespace

HRESULT CItemsEvents::CheckChanges(QMRRDOSession* session, QMRMAPIUtils* utils) {
    CSyncEngine* engine = g_pEngine.load();
    if (!engine)
        return E_FAIL;
    if (m_isExchange || !m_owner)
        return m_isExchange ? S_OK : E_FAIL;
    if (m_owner->IsItemOpenInInspector(utils))
        return S_OK;
    if (DebugSwitch) {
        EnterCriticalSection(&ChangeListLock);
        const bool empty = changeKeylist.Empty();
        LeaveCriticalSection(&ChangeListLock);
        if (empty)
            LogHResult(0, "changeKeylist is empty");
        WriteDebugLogValue("CHECK CHANGES::START ", m_owner->m_category.c_str());
    }

    ChangeKeyList fresh;
    const DATE checkStart = LocalNow();
    HRESULT hr = MakeFolderList(session, utils, fresh,
                                CheckWindowDays(m_lastCompleteCheckStart, checkStart));
    if (FAILED(hr))
        return hr;
    if (fresh.Empty()) {
        WriteDebugLog("CHECK CHANGES::Not this much to check");
        m_lastCompleteCheckStart = checkStart;
        return S_OK;
    }
    EnterCriticalSection(&ChangeListLock);
    const bool unusable = changeKeylist.Empty() && !m_listEstablished;
    LeaveCriticalSection(&ChangeListLock);
    if (unusable) {
        WriteDebugLog("CHECK CHANGES::MAINLIST::Not this much to check");
        return S_OK;
    }
    WriteDebugLogFormat("CHECK CHANGES::%d Items to check in %s", static_cast<int>(fresh.Size()),
                        win::ToAnsi(m_owner->m_category).c_str());

    bool mustSave = false;
    bool sendingStopped = false;  // after a failed conversion or queueing
    // A pass that stopped at a new item, left a marker for the next pass to
    // send or could not queue is not complete: the next one reads back as
    // far as this one did, or the items it left would fall out of the window.
    bool complete = true;
    // Held across the queueing: it registers the add-in's own write to the
    // item under the same (re-entrant) lock, and takes the send-queue lock
    // inside this one.
    EnterCriticalSection(&ChangeListLock);
    for (std::size_t row = 0; row < fresh.Size(); ++row) {
        const ChangeKeyEntry entry = fresh.At(row);
        const std::wstring& key = entry.key;
        const std::size_t index = changeKeylist.Find(key);
        if (index == ChangeKeyList::npos) {
            WriteDebugLog("CHECK CHANGES::NEW ENTRY FOUND");
            changeKeylist.Append(key, kMarkerDetect);
            if (DebugSwitch)
                WriteDebugLog(
                    m_owner->SubjectFromSyncID(session, utils, key, m_entryId, m_storeId).c_str());
            // One new item per pass; the dirty flag brings the next pass soon.
            SetDirtyFlag();
            complete = false;
            break;
        }
        const std::wstring stored = changeKeylist.Value(index);
        bool reminderActive = false;
        if (stored == kMarkerReminder && stored != entry.value)
            reminderActive = checkIfSomethingChanged(session, utils, SysAllocString(key.c_str()));
        const Decision decision = Decide(stored, entry.value, reminderActive);
        if (decision.action == CheckAction::kNothing && stored != entry.value &&
            stored != kMarkerReminder && DebugSwitch) {
            WriteDebugLog((L"CHECK CHANGES::NO SEND: LENGTH != LENGHT " + stored + L" " +
                           entry.value + L" " +
                           m_owner->SubjectFromSyncID(session, utils, key, m_entryId, m_storeId))
                              .c_str());
        }
        if (decision.action == CheckAction::kSetValue) {
            // A marker that absorbed its difference must not stay on disk:
            // after a crash it would absorb the item's next real change.
            if (stored == kMarkerChanged || stored == kMarkerNewItem || stored == kMarkerReminder)
                mustSave = true;
            if (decision.value == kMarkerHotmail)
                complete = false;
            changeKeylist.SetValue(index, decision.value);
        }
        if (!m_owner->IsRunning()) {
            WriteDebugLog("Thread wird abgebrochen");
            LeaveCriticalSection(&ChangeListLock);
            return S_OK;
        }
        if (decision.action != CheckAction::kSend)
            continue;
        Sleep(kSendSpacingMs);
        if (sendingStopped)
            continue;
        CComVariant syncId;
        hr = utils->TextToBinary(CComBSTR(key.c_str()), &syncId);
        if (FAILED(hr)) {
            sendingStopped = true;
            continue;
        }
        WriteDebugLogValue(
            "CHECK CHANGES::PREPAIRE:",
            m_owner->SubjectFromSyncID(session, utils, key, m_entryId, m_storeId).c_str());
        hr = QueueSync(engine, session, utils, &syncId, m_owner);
        if (FAILED(hr)) {
            sendingStopped = true;
            continue;
        }
        // The queueing may have changed the list; find the entry again.
        const std::size_t sent = changeKeylist.Find(key);
        if (sent != ChangeKeyList::npos)
            changeKeylist.SetValue(sent, kMarkerChanged);
        WriteDebugLog("CHECK CHANGES::changed Entry found CHANGED ADDED");
        mustSave = true;
    }
    LeaveCriticalSection(&ChangeListLock);
    if (complete && !sendingStopped)
        m_lastCompleteCheckStart = checkStart;
    if (mustSave) {
        WriteDebugLog("CHECK CHANGES::SAVINGSTATUS");
        WritechangeKeylist2File();
    }
    WriteDebugLog("CHECK CHANGES::END");
    return hr;
}

// --- Deletion pass ---------------------------------------------------------

HRESULT CItemsEvents::CheckFolder4DeletedItems(QMRRDOSession* session, QMRMAPIUtils* utils) {
    if (m_isExchange)
        return S_OK;
    CSyncEngine* engine = g_pEngine.load();
    if (!engine || !m_owner)
        return E_FAIL;
    const DWORD start = GetTickCount();
    CComPtr<QMRMAPIFolder> folder;
    if (DebugSwitch && session) {
        // The folder opened for the log line serves the lookups below too.
        CComBSTR name;
        if (FAILED(session->GetFolderFromID(CComBSTR(m_entryId.c_str()),
                                            CComBSTR(m_storeId.c_str()), engine->OpenFlags(),
                                            &folder)) ||
            !folder || FAILED(folder->GetName(&name)))
            name.Empty();
        WriteDebugLogValue("CHECK4DELETEDITEMS::START:", name.m_str ? name.m_str : L"");
    }

    ChangeKeyList fresh;
    HRESULT hr = MakeFolderList(session, utils, fresh, kScanAllItems);
    if (fresh.Empty())
        WriteDebugLog("CHECK4DELETEDITEMS::vgl_changeKeylist is empty");
    if (FAILED(hr))
        return hr;
    EnterCriticalSection(&ChangeListLock);
    const bool nothingListed = changeKeylist.Empty();
    LeaveCriticalSection(&ChangeListLock);
    if (nothingListed)
        return hr;
    const std::wstring shareName =
        m_owner->m_shareName.empty() ? m_shareName : m_owner->m_shareName;

    bool queued = false;
    EnterCriticalSection(&ChangeListLock);
    std::size_t index = 0;
    while (index < changeKeylist.Size()) {
        const std::wstring key = changeKeylist.Key(index);
        if (fresh.Contains(key)) {
            ++index;
            continue;
        }
        WriteDebugLog("CHECK4DELETEDITEMS::DelMsg found try to find it for safety");
        CComVariant syncId;
        hr = utils->TextToBinary(CComBSTR(key.c_str()), &syncId);
        if (SUCCEEDED(hr) && !folder) {
            hr = session->GetFolderFromID(CComBSTR(m_entryId.c_str()), CComBSTR(m_storeId.c_str()),
                                          engine->OpenFlags(), &folder);
            if (FAILED(hr) || !folder) {
                // Nothing can be verified without the folder.
                LogHResult(FAILED(hr) ? hr : E_FAIL, "CHECK4DELETEDITEMS:GetFolder");
                folder.Release();
                break;
            }
        }
        bool found = false;
        std::wstring itemEntryId;
        if (SUCCEEDED(hr))
            hr = GetEntryIDFromPR_SEARCH_KEY(engine, session, utils, found, itemEntryId, folder,
                                             syncId);
        if (FAILED(hr)) {
            // An unreadable key or a failed search: the entry is dropped so
            // that it cannot fail every pass; no notice goes out for it.
            LogHResult(hr, kDroppedFromChecklist);
            changeKeylist.RemoveAt(index);
            hr = S_OK;  // reported and handled
            continue;
        }
        if (found) {
            WriteDebugLog("CHECK4DELETEDITEMS::DelMsg should not be deleted");
        } else {
            // The entry stays until the deletion-notice sender has built the
            // notice and removes it.
            QueueDelete(engine, SysAllocString(key.c_str()), shareName);
            queued = true;
        }
        ++index;
    }
    LeaveCriticalSection(&ChangeListLock);
    WriteDebugLogFormat("CHECK4DELETEDITEMS::CheckDelMSg = %d msec",
                        static_cast<int>(GetTickCount() - start));
    if (queued)
        WritechangeKeylist2File();
    return hr;
}

// --- Duplicate repair ------------------------------------------------------

HRESULT CItemsEvents::ChangeSyncIDFromDuplicatedItem(QMRRDOSession* session, QMRMAPIUtils* utils,
                                                     const std::wstring& syncIdText,
                                                     std::wstring& newSyncIdText, bool& changed,
                                                     LONG) {
    std::wstring renamedEntryId;
    return RenewDuplicatedSyncId(session, utils, syncIdText, newSyncIdText, changed,
                                 renamedEntryId);
}

HRESULT CItemsEvents::RenewDuplicatedSyncId(QMRRDOSession* session, QMRMAPIUtils* utils,
                                            const std::wstring& syncIdText,
                                            std::wstring& newSyncIdText, bool& changed,
                                            std::wstring& renamedEntryId) {
    changed = false;
    newSyncIdText.clear();
    renamedEntryId.clear();
    CSyncEngine* engine = g_pEngine.load();
    if (!engine || !session || !utils)
        return E_FAIL;
    CComPtr<QMRMAPIFolder> folder;
    HRESULT hr = session->GetFolderFromID(CComBSTR(m_entryId.c_str()), CComBSTR(m_storeId.c_str()),
                                          engine->OpenFlags(), &folder);
    if (FAILED(hr) || !folder) {
        LogHResult(FAILED(hr) ? hr : E_FAIL, "ChangeSyncIDFromDuplicatedItem:NO FOLDER");
        return FAILED(hr) ? hr : E_FAIL;
    }
    CComPtr<QMRItems> items;
    hr = folder->GetItems(&items);
    if (FAILED(hr)) {
        LogHResult(hr, "ChangeSyncIDFromDuplicatedItem::Items");
        return hr;
    }
    if (!items) {
        LogHResult(0, "ChangeSyncIDFromDuplicatedItem::items=NULL");
        return E_FAIL;
    }
    CComBSTR folderId;
    folder->GetEntryID(&folderId);
    // The sync id text is hexadecimal and needs no quoting of its own.
    const std::wstring query = std::wstring(L"SELECT ") + kSubjectDaslName + L", \"DAV:id\", " +
                               kSearchKeyDaslName + L" FROM \"" + Text(folderId) + L"\" WHERE " +
                               kSearchKeyDaslName + L" = '" + syncIdText + L"'";
    struct Hit {
        std::wstring entryId;
        DATE time = 0;
    };
    std::vector<Hit> hits;
    CComPtr<QMRMessage> message;
    hr = items->Find(CComBSTR(query.c_str()), &message);
    if (FAILED(hr)) {
        LogHResult(hr, "ChangeSyncIDFromDuplicatedItem::FindBySearchId");
        return hr;
    }
    while (message) {
        // Which task accessors are consulted is this library's choice: a
        // task is collected by its time stamp like every other item.
        CComBSTR entryId;
        DATE time = 0;
        if (SUCCEEDED(message->GetEntryID(&entryId)) && entryId) {
            message->GetTimeStamp(&time);
            hits.push_back({Text(entryId), time});
        }
        message.Release();
        hr = items->FindNext(&message);
        if (FAILED(hr)) {
            LogHResult(hr, "ChangeSyncIDFromDuplicatedItem::FindNext");
            return hr;
        }
    }
    if (hits.size() < 2) {
        WriteDebugLog("ChangeSyncIDFromDuplicatedItem elems");
        return S_OK;
    }
    std::vector<bool> renamed(hits.size(), false);
    for (std::size_t i = 0; i < hits.size(); ++i) {
        for (std::size_t j = i + 1; j < hits.size(); ++j) {
            if (renamed[i] || renamed[j] || hits[i].entryId == hits[j].entryId)
                continue;
            const std::size_t copy = hits[j].time >= hits[i].time ? j : i;
            CComPtr<QMRMessage> item;
            hr = session->GetMessageFromID(CComBSTR(hits[copy].entryId.c_str()),
                                           CComBSTR(m_storeId.c_str()), engine->OpenFlags(), &item);
            if (FAILED(hr) || !item) {
                LogHResult(FAILED(hr) ? hr : E_FAIL,
                           copy == i ? "ChangeSyncIDFromDuplicatedItem::GetItemFromID 1"
                                     : "ChangeSyncIDFromDuplicatedItem::GetItemFromID 2");
                continue;
            }
            std::wstring newId;
            hr = GetSyncID_AS_PR_SEARCH_KEY2(engine, utils, item, newId, true);
            if (FAILED(hr) || newId.empty() || newId == syncIdText)
                continue;
            renamed[copy] = true;
            newSyncIdText = newId;
            renamedEntryId = hits[copy].entryId;
            changed = true;
            CComBSTR subject;
            item->GetSubject(&subject);
            WriteDebugLogValue("!!!Duplicated Item changed (copyed&pasted?):",
                               subject && subject[0] ? subject.m_str : L"<no subject>");
        }
    }
    return hr;
}

// --- Own changes and removals ----------------------------------------------

HRESULT CItemsEvents::AddToChangeList(QMRRDOSession* session, QMRMAPIUtils* utils, BSTR syncIdText,
                                      bool reminderFlag) {
    CComBSTR owned;
    owned.Attach(syncIdText);
    if (!g_pEngine.load())
        return E_FAIL;
    if (m_isExchange) {
        if (!m_owner)
            return E_FAIL;
        return m_owner->ExModifItem(session, utils, owned.Detach(), reminderFlag);
    }
    const std::wstring key = Text(owned);
    EnterCriticalSection(&ChangeListLock);
    const std::size_t index = changeKeylist.Find(key);
    if (index == ChangeKeyList::npos) {
        changeKeylist.Append(key, reminderFlag ? kMarkerDetect : kMarkerNewItem);
        WriteDebugLogValue(reminderFlag ? "NEWITEM:(ISINREMINDER)  added to list"
                                        : "NEWITEM (selfm) added to list",
                           key.c_str());
    } else if (!reminderFlag) {
        changeKeylist.SetValue(index, kMarkerChanged);
        WriteDebugLogValue("CHANGED (selfm) added to list", key.c_str());
    } else if (changeKeylist.At(index).value != kMarkerDetect) {
        changeKeylist.SetValue(index, kMarkerReminder);
        WriteDebugLogValue("REMINDR (selfm) added to list", key.c_str());
    }
    LeaveCriticalSection(&ChangeListLock);
    return S_OK;
}

bool CItemsEvents::checkIfSomethingChanged(QMRRDOSession* session, QMRMAPIUtils* utils,
                                           BSTR syncIdText) {
    CComBSTR owned;
    owned.Attach(syncIdText);
    if (ActiveReminderProc proc = g_activeReminder.load())
        return proc(Text(owned));
    CSyncEngine* engine = g_pEngine.load();
    if (!engine || !session || !utils || !owned)
        return false;
    // The helper library has no reminders collection: the item's own
    // reminder properties say whether its reminder is showing.
    CComVariant syncId;
    HRESULT hr = utils->TextToBinary(owned, &syncId);
    CComPtr<QMRMAPIFolder> folder;
    if (SUCCEEDED(hr))
        hr = session->GetFolderFromID(CComBSTR(m_entryId.c_str()), CComBSTR(m_storeId.c_str()),
                                      engine->OpenFlags(), &folder);
    bool found = false;
    std::wstring itemEntryId;
    if (SUCCEEDED(hr))
        hr =
            GetEntryIDFromPR_SEARCH_KEY(engine, session, utils, found, itemEntryId, folder, syncId);
    CComPtr<QMRMessage> item;
    if (SUCCEEDED(hr) && found)
        hr = session->GetMessageFromID(CComBSTR(itemEntryId.c_str()), CComBSTR(m_storeId.c_str()),
                                       engine->OpenFlags(), &item);
    if (FAILED(hr)) {
        LogHResult(hr, "checkIfSomethingChanged::REMINDR setback failed");
        return false;
    }
    return item && IsReminderShowing(utils, item);
}

bool CItemsEvents::RemoveFromChangeKeylist(BSTR syncIdText) {
    if (m_isExchange)
        return false;
    WriteDebugLog("RFCL=>start");
    EnterCriticalSection(&ChangeListLock);
    const bool removed = !changeKeylist.Empty() && changeKeylist.RemoveFirst(Text(syncIdText));
    LeaveCriticalSection(&ChangeListLock);
    WriteDebugLog(removed ? "RFCL=>Item found" : "RFCL=>Item not found");
    return removed;
}

bool CItemsEvents::RemoveFromExchangeFolderCache(BSTR syncIdText) {
    // Only an Exchange folder keeps a SID to SOURCE table.
    if (!m_isExchange || !m_owner)
        return false;
    const bool removed = m_owner->RemoveSid2SourceEntry(Text(syncIdText));
    if (removed)
        WriteDebugLog("RemoveFromExchangeFolderCache=>Item found");
    return removed;
}

std::vector<ChangeKeyEntry> CItemsEvents::ChangeKeylistEntries() {
    EnterCriticalSection(&ChangeListLock);
    std::vector<ChangeKeyEntry> copy = changeKeylist.Entries();
    LeaveCriticalSection(&ChangeListLock);
    return copy;
}
