// The Exchange state of a folder on disk: the ICS state (".syncdata.ids"),
// the Exchange cache (".cache.ids"), ELEMS_IN_SYNC (".insync.ids") and the
// sync-id to source-key table (".sync2sourcetbl.ids"), all in the engine's
// data directory under the folder's EntryID; and the opening of the folder
// through the scanning thread's helper session, which loads that state once.
//
// The byte layout of the files and their readers: ExchangeStateFilesFormat.h.
#include <cstdint>
#include <string>
#include <vector>

#include "Quillmere/core/AddinGlobals.h"
#include "Quillmere/core/DebugLog.h"
#include "Quillmere/core/FolderObj.h"
#include "Quillmere/core/StateFileWriter.h"
#include "Quillmere/core/SyncEngine.h"
#include "Quillmere/exchange/SendQueues.h"
#include "Quillmere/tracking/ExchangeFolderThread.h"
#include "Quillmere/tracking/ExchangeStateFilesFormat.h"
#include "platform/com/Bstr.h"
#include "platform/com/Variant.h"
#include "platform/win/Crt.h"
#include "platform/win/Text.h"

namespace {

constexpr const wchar_t* kSyncDataSuffix = L".syncdata.ids";
constexpr const wchar_t* kCacheSuffix = L".cache.ids";
constexpr const wchar_t* kInSyncSuffix = L".insync.ids";
constexpr const wchar_t* kSid2SourceSuffix = L".sync2sourcetbl.ids";

constexpr size_t kMaxPathChars = 260;
constexpr HRESULT kServerUnavailable = static_cast<HRESULT>(0x8004011D);  // MAPI_E_FAILONEPROVIDER

// The modes in which the folder can't be opened from its server.
bool IsOfflineMode(LONG mode) {
    return mode >= kQmrConnectionOffline && mode <= 400;
}

// Closes a stream at the end of a scope.
class StreamCloser {
public:
    explicit StreamCloser(CrtFile* file) : m_file(file) {}
    ~StreamCloser() {
        if (m_file)
            fclose(m_file);
    }
    StreamCloser(const StreamCloser&) = delete;
    StreamCloser& operator=(const StreamCloser&) = delete;
    CrtFile* get() const { return m_file; }
    explicit operator bool() const { return m_file != nullptr; }

private:
    CrtFile* m_file;
};

// The state file path of folder sink with that suffix; empty when there is
// no engine or the path would not fit the platform's path buffer.
std::wstring StatePath(const CItemsEvents* sink, const wchar_t* suffix) {
    CSyncEngine* engine = g_pEngine.load();
    if (!engine || !sink)
        return {};
    std::wstring path = engine->DataDirectory() + sink->m_entryId + suffix;
    // A cut-off name would read or overwrite another folder's state.
    if (path.size() >= kMaxPathChars)
        return {};
    return path;
}

CrtFile* OpenState(const CItemsEvents* sink, const wchar_t* suffix, const wchar_t* mode) {
    std::wstring path = StatePath(sink, suffix);
    return path.empty() ? nullptr : _wfopen(path.c_str(), mode);
}

// The file's name (the entry id and the suffix), for the error log.
std::string StateFileName(const CItemsEvents* sink, const wchar_t* suffix) {
    return win::ToAnsi(sink ? sink->m_entryId + suffix : std::wstring(suffix));
}

// Reports lines of a state file that were skipped as unusable.
void ReportDamagedLines(const CItemsEvents* sink, const wchar_t* suffix, std::size_t count) {
    std::string line = "damaged state file " + StateFileName(sink, suffix) + ": " +
                       std::to_string(count) + " unusable lines skipped";
    LogHResult(0, line.c_str());
}

// A key or a value of the text files: the helper library's hexadecimal text
// of a binary id, or the cache's "REMINDER".
bool IsIdText(const std::wstring& text) {
    if (text.size() < 2)
        return false;
    for (wchar_t c : text)
        if (!((c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'F') || (c >= L'a' && c <= L'f')))
            return false;
    return true;
}

// Writes a text state file whole (StateFileWriter.h): one line per entry as
// line(entry) gives it. Nothing happens when the path can't be had; an old
// file stays when the new one could not be written.
template <class Entries, class Line>
bool WriteTextState(const CItemsEvents* sink, const wchar_t* suffix, const Entries& entries,
                    Line line) {
    std::wstring path = StatePath(sink, suffix);
    if (path.empty())
        return false;
    CStateFileWriter file(path, L"w");
    if (!file.Stream())
        return false;
    for (const auto& entry : entries)
        fputws(line(entry).c_str(), file.Stream());
    return file.Commit();
}

}  // namespace

// --- ELEMS_IN_SYNC -----------------------------------------------------------

bool CFolderObj::IsElemInSync(const std::wstring& syncIdText) {
    CriticalSectionLock lock(m_elemsInSyncLock);
    for (const auto& elem : m_elemsInSync) {
        if (elem == syncIdText)
            return true;
    }
    return false;
}

void CFolderObj::AddElemInSync(const std::wstring& syncIdText) {
    CriticalSectionLock lock(m_elemsInSyncLock);
    for (const auto& elem : m_elemsInSync) {
        if (elem == syncIdText)
            return;
    }
    m_elemsInSync.push_back(syncIdText);
}

void CFolderObj::RemoveElemInSync(const std::wstring& syncIdText) {
    CriticalSectionLock lock(m_elemsInSyncLock);
    for (auto it = m_elemsInSync.begin(); it != m_elemsInSync.end(); ++it) {
        if (*it == syncIdText) {
            m_elemsInSync.erase(it);
            return;
        }
    }
}

std::vector<std::wstring> CFolderObj::ElemsInSync() {
    CriticalSectionLock lock(m_elemsInSyncLock);
    return m_elemsInSync;
}

void CFolderObj::LoadElemsInSync() {
    if (DebugSwitch.load())
        WriteDebugLog("LoadELEMS_IN_SYNC from HD=>start");
    StreamCloser file(OpenState(m_sink.get(), kInSyncSuffix, L"r"));
    if (!file)
        return;
    std::wstring line;
    std::size_t damaged = 0;
    // A line already listed is not listed again, or a later removal would
    // leave the item counted as in sync.
    while (exchangestate::ReadLinePiece(file.get(), exchangestate::kCacheLineBytes, line)) {
        if (IsIdText(line))
            AddElemInSync(line);
        else
            ++damaged;
    }
    if (damaged)
        ReportDamagedLines(m_sink.get(), kInSyncSuffix, damaged);
    if (DebugSwitch.load())
        WriteDebugLog("Load Cache Table::EOF?");
}

void CFolderObj::SaveElemsInSync() {
    if (DebugSwitch.load())
        WriteDebugLog("Save-ELEMS_IN_SYNC");
    WriteTextState(m_sink.get(), kInSyncSuffix, ElemsInSync(),
                   [](const std::wstring& elem) { return elem + L"\n"; });
}

// --- The ICS state and the Exchange cache ------------------------------------

HRESULT CFolderObj::LoadSyncData(QMRRDOSession* session, QMRMAPIUtils* utils, BSTR* stateText) {
    if (!stateText)
        return E_POINTER;
    LoadElemsInSync();
    if (!g_pEngine.load())
        return E_FAIL;
    if (DebugSwitch.load())
        WriteDebugLog("LoadSynccData from HD=>start");

    m_syncDataLoaded = true;
    bool loaded = false;
    if (CrtFile* raw = OpenState(m_sink.get(), kSyncDataSuffix, L"rb")) {
        StreamCloser file(raw);
        std::wstring text;
        size_t missing = 0;
        switch (exchangestate::ReadStateText(raw, text, missing)) {
            case exchangestate::StateReadResult::kRead:
                SysFreeString(*stateText);
                *stateText = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
                loaded = true;
                break;
            case exchangestate::StateReadResult::kShortRead:
                LogHResult(static_cast<HRESULT>(missing), "memory error...");
                LogHResult(
                    0,
                    ("damaged state file " + StateFileName(m_sink.get(), kSyncDataSuffix)).c_str());
                break;
            case exchangestate::StateReadResult::kNoMemory:
                LogHResult(E_OUTOFMEMORY, "memory error..");
                return E_FAIL;
            case exchangestate::StateReadResult::kNoSize:
                break;
        }
    }

    if (!loaded) {
        // No usable state: start over from the empty state in reset mode, so
        // that the folder's present items become the baseline and nothing
        // already there is sent again; after an earlier scan (its time is
        // stored) the items changed since are still looked at, and the cache
        // of the add-in's own writes since then is needed for that.
        m_resetFlag = true;
        LogHResult(0, "RESET.. check mails modified after last scan...");
        SysFreeString(*stateText);
        *stateText = SysAllocString(L"");
        DATE lastScan = 0;
        if (ReadStoredLastFolderSyncTime(&lastScan))
            LoadExchangeCacheTable();
        ScanExchangeChanges(session, utils);
        return S_OK;
    }
    LoadExchangeCacheTable();
    return S_OK;
}

void CFolderObj::LoadExchangeCacheTable() {
    StreamCloser cache(OpenState(m_sink.get(), kCacheSuffix, L"r"));
    if (!cache)
        return;
    if (DebugSwitch.load())
        WriteDebugLog("Load Cache Table");
    std::wstring line, key, value;
    std::size_t damaged = 0;
    while (exchangestate::ReadLinePiece(cache.get(), exchangestate::kCacheLineBytes, line)) {
        exchangestate::SplitFields(line, key, value);
        if (key.empty())
            continue;
        if (!IsIdText(key) || !(value.empty() || IsIdText(value) || value == L"REMINDER")) {
            ++damaged;
            continue;
        }
        // The first entry of a key is the one that counts (files written
        // while the cache was loaded twice hold later ones): a second one
        // would outlive the first and absorb a real change, "REMINDER" any.
        CriticalSectionLock lock(m_exchangeCacheLock);
        bool known = false;
        for (const auto& entry : m_exchangeCache)
            known = known || entry.first == key;
        if (!known)
            m_exchangeCache.emplace_back(key, value);
    }
    if (damaged)
        ReportDamagedLines(m_sink.get(), kCacheSuffix, damaged);
    if (DebugSwitch.load())
        WriteDebugLog("Load Cache Table::EOF?");
}

HRESULT CFolderObj::LoadSyncDataOwn() {
    CSyncEngine* engine = g_pEngine.load();
    if (!engine)
        return E_FAIL;
    HRESULT hr = LoadSyncData(engine->Session(), engine->Utils(), &m_icsState);
    // A reset scan run by the load opened the helper folder on this thread
    // and keeps it; the folder's own thread must open its own.
    m_helperFolder.Release();
    return hr;
}

HRESULT CFolderObj::SaveSyncData(BSTR stateText) {
    // Order matters: the changes this state counts as handled are queued
    // durably first, and the sync ids of the items it knows are on disk
    // before it (a deletion is told by them); each file is replaced whole.
    PersistSendQueues(nullptr);
    if (m_sid2SourceFilled.load())
        SaveSid2SourceTable();
    SaveElemsInSync();
    if (!g_pEngine.load())
        return E_FAIL;
    if (DebugSwitch.load())
        WriteDebugLog("SaveSyncData to HD");
    std::wstring path = StatePath(m_sink.get(), kSyncDataSuffix);
    if (!path.empty()) {
        CStateFileWriter file(path, L"wb");
        if (file.Stream()) {
            std::wstring_view text =
                stateText ? std::wstring_view(stateText, SysStringLen(stateText)) : L"";
            std::vector<std::uint8_t> bytes = exchangestate::StateTextBytes(text);
            size_t units = bytes.size() / 2;
            size_t written = units ? fwrite(bytes.data(), 2, units, file.Stream()) : 0;
            if (written < units || !file.Commit()) {
                LogHResult(0, "memory error...");
                return E_FAIL;
            }
        }
    }
    return WriteExchangeCacheTable();
}

HRESULT CFolderObj::SaveSyncDataOwn() {
    return SaveSyncData(m_icsState);
}

HRESULT CFolderObj::SaveExchangeCacheTable() {
    // The own writes it remembers belong to changes queued meanwhile.
    PersistSendQueues(nullptr);
    return WriteExchangeCacheTable();
}

HRESULT CFolderObj::WriteExchangeCacheTable() {
    if (!g_pEngine.load())
        return E_FAIL;
    if (DebugSwitch.load())
        WriteDebugLog("Saving Exchange Cache Table");
    WriteTextState(m_sink.get(), kCacheSuffix, ExchangeCacheEntries(), [](const auto& entry) {
        return exchangestate::FieldLine(entry.first, entry.second);
    });
    return S_OK;
}

// --- The sync-id to source-key table -----------------------------------------

void CFolderObj::SaveSid2SourceTable() {
    if (DebugSwitch.load())
        WriteDebugLog("Saving SID<->SOURCE Table");
    WriteTextState(m_sink.get(), kSid2SourceSuffix, Sid2SourceEntries(), [](const auto& entry) {
        return exchangestate::FieldLine(entry.first, entry.second);
    });
}

std::vector<std::pair<std::wstring, std::wstring>> CFolderObj::Sid2SourceEntries() {
    CriticalSectionLock lock(m_sid2SourceLock);
    return m_sid2Source;
}

bool CFolderObj::RemoveSid2SourceEntry(const std::wstring& syncIdText) {
    CriticalSectionLock lock(m_sid2SourceLock);
    for (auto it = m_sid2Source.begin(); it != m_sid2Source.end(); ++it) {
        if (it->first == syncIdText) {
            m_sid2Source.erase(it);
            return true;
        }
    }
    return false;
}

HRESULT CFolderObj::GetSyncIdFromSourceKey(const std::wstring& sourceKey,
                                           std::wstring* syncIdText) {
    if (!syncIdText)
        return E_POINTER;
    syncIdText->clear();
    {
        CriticalSectionLock lock(m_sid2SourceLock);
        for (const auto& entry : m_sid2Source) {
            if (entry.second == sourceKey) {
                *syncIdText = entry.first;
                return S_OK;
            }
        }
    }
    // Items deleted while Outlook was closed are no longer in the contents
    // table the in-memory table was filled from; the last saved table still
    // knows them.
    if (DebugSwitch.load())
        WriteDebugLog("GSIEDFSource::not found, try to find it n old Data");
    StreamCloser file(OpenState(m_sink.get(), kSid2SourceSuffix, L"r"));
    if (!file)
        return E_FAIL;
    if (DebugSwitch.load())
        WriteDebugLog("GSIEDFSource::Reading SID<->SOURCE Table");
    std::wstring line, key, value;
    while (exchangestate::ReadLinePiece(file.get(), exchangestate::kSid2SourceLineBytes, line)) {
        exchangestate::SplitFields(line, key, value);
        if (!value.empty() && value == sourceKey) {
            *syncIdText = key;
            return S_OK;
        }
    }
    if (DebugSwitch.load())
        WriteDebugLog("GSIEDFSource::EOF?");
    return S_OK;
}

// --- Opening the folder ------------------------------------------------------

HRESULT CFolderObj::InitFolder(QMRRDOSession* session, QMRMAPIUtils* utils) {
    CSyncEngine* engine = g_pEngine.load();
    if (!session || !engine)
        return E_POINTER;
    LONG mode = 0;
    session->GetConnectionMode(&mode);
    if (IsOfflineMode(mode)) {
        WriteDebugLogFormat("INITFLDR::Offl.|Disc.|CachedOffl.|CachedDisc./Cmode: %d",
                            static_cast<int>(mode));
        engine->SetSyncState(kSyncStateOffline);
        return E_FAIL;
    }

    CComPtr<QMRMAPIFolder> opened;
    HRESULT hr =
        session->GetFolderFromID(CComBSTR(m_sink->m_entryId.c_str()),
                                 CComBSTR(m_sink->m_storeId.c_str()), engine->OpenFlags(), &opened);
    if (mode == kQmrConnectionOnline)
        WriteDebugLogFormat("INITFLDR::using olOnline mode");
    else
        WriteDebugLogFormat("INITFLDR::using olCached mode/Cmode: %d", static_cast<int>(mode));
    if (FAILED(hr)) {
        if (hr == kServerUnavailable)
            LogHResult(hr, "INITFLDR::Server is not available (or user not logged in)");
        LogHResult(hr, "INITFLDR::FolderFromIDFailed");
        engine->SetSyncState(kSyncStateOffline);
        if (hr == MAPI_E_NOT_FOUND) {
            WriteDebugLogFormat("INITFLDR::Cmode: %d / Object not found:%s", static_cast<int>(mode),
                                win::ToAnsi(m_sink->m_entryId).c_str());
            LogHResult(hr, "INITFLDR::One folder could not be addet to synchronization");
        }
    } else if (opened) {
        // The same folder object again (compared by identity) is kept as it
        // is; a new one replaces it.
        CComPtr<IUnknown> newIdentity, oldIdentity;
        opened->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&newIdentity));
        if (m_helperFolder)
            m_helperFolder->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&oldIdentity));
        if (!m_helperFolder || newIdentity.p != oldIdentity.p) {
            CComPtr<QMRMAPIFolder> cast;
            opened->QueryInterface(IID_QMRMAPIFolder, reinterpret_cast<void**>(&cast));
            m_helperFolder = cast;
        }
        if (!m_helperFolder) {
            // The server answered: the folder is reachable, only not usable
            // here; the scan skips it while it stays null.
            LogHResult(hr, "INITFLDR::Cast rdoFolder");
        } else if (!m_stateLoaded.exchange(true)) {
            // Marked first: the load may scan at once, and that scan and the
            // fill open the folder again through here. A state loaded
            // already (before a basic synchronisation) is not loaded again:
            // the cache would hold each entry twice.
            if (!m_syncDataLoaded.load()) {
                m_icsState.Empty();
                LoadSyncData(session, utils, &m_icsState);
            }
            FillFolderCache(session, utils);
            m_sid2SourceFilled = true;
        }
        engine->ChangeSyncState(kSyncStateIdle, kSyncStateOffline);
        return hr;
    }
    if (DebugSwitch.load())
        WriteDebugLog("INITFLDR::Exchange not connected");
    engine->SetSyncState(kSyncStateOffline);
    m_helperFolder.Release();
    return hr;
}
