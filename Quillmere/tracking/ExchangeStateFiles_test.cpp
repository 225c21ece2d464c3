// The Exchange state files over a real Exchange-kind store: exact bytes on
// disk, the round trip through a restart (a new folder object), the readers'
// handling of odd and damaged files, and the opening of the folder.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "Quillmere/tracking/ExchangeTestSupport_test.h"

namespace exchangetest {
namespace {

class ExchangeStateFilesTest : public ExchangeFolderTest {
protected:
    // The first scan of a folder without state files: the reset baseline.
    CFolderObj* Baseline() {
        CFolderObj* folder = StartedFolder();
        folder->ScanExchangeChanges(m_session, m_utils);
        return folder;
    }
    std::string DebugLog() {
        std::ifstream in(*win::HostPath(m_temp + L"Quillmere_debug.log"), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    // Waits until a folder thread's scan begins (on the virtual clock).
    static bool WaitForScan() {
        return addintest::WaitFor([] {
            std::lock_guard<std::mutex> hold(g_recorder.lock);
            return !g_recorder.scanTicks.empty();
        });
    }
    static std::string Utf16Le(const std::wstring& text) {
        std::vector<std::uint8_t> bytes = win::ToUtf16Le(text);
        return std::string(bytes.begin(), bytes.end());
    }
};

TEST_F(ExchangeStateFilesTest, FirstStartRecordsTheStateWithoutSendingAnything) {
    AddItem(L"present before the start");
    CFolderObj* folder = Baseline();
    std::wstring state = folder->IcsState();
    EXPECT_EQ(state.rfind(L"QMS1-", 0), 0u) << win::ToUtf8(state);
    // The state file holds exactly the state's UTF-16LE units: no mark, no end.
    EXPECT_EQ(ReadBytes(L".syncdata.ids"), Utf16Le(state));
    EXPECT_TRUE(Queued().empty());
    EXPECT_TRUE(Deleted().empty());
    // A reset scan leaves LastFolderSyncTime alone.
    EXPECT_EQ(StoredLastSyncTime(), -1);
    EXPECT_FALSE(folder->IsResetPending());
    EXPECT_NE(ErrorLog().find("RESET.. check mails modified after last scan..."),
              std::string::npos);
}

TEST_F(ExchangeStateFilesTest, TextFilesAreWrittenWithExactBytes) {
    CFolderObj* folder = StartedFolder();
    CComBSTR sk1(L"0A0B"), ck1(L"C1C2"), sk2(L"0D0E"), ck2(L"C3");
    ASSERT_EQ(folder->AddToExchangeCache(m_utils, sk1, ck1, false), S_OK);
    ASSERT_EQ(folder->AddToExchangeCache(m_utils, sk2, ck2, false), S_OK);
    // A second entry of the same key replaces the value in place.
    CComBSTR ck1b(L"C9");
    ASSERT_EQ(folder->AddToExchangeCache(m_utils, sk1, ck1b, false), S_OK);
    folder->AddElemInSync(L"AA11");
    folder->AddElemInSync(L"BB22");
    folder->AddElemInSync(L"AA11");
    CComBSTR state(L"QMS1-state\u00e9");
    ASSERT_EQ(folder->SaveSyncData(state), S_OK);
    EXPECT_EQ(ReadBytes(L".cache.ids"), "0A0B;C9\r\n0D0E;C3\r\n");
    EXPECT_EQ(ReadBytes(L".insync.ids"), "AA11\r\nBB22\r\n");
    EXPECT_EQ(ReadBytes(L".syncdata.ids"), Utf16Le(L"QMS1-state\u00e9"));
    EXPECT_FALSE(FileExists(L".syncdata.ids.bak"));
}

TEST_F(ExchangeStateFilesTest, StateSurvivesARestart) {
    CComPtr<QMRMessage> a = AddItem(L"A");
    CComPtr<QMRMessage> b = AddItem(L"B");
    CFolderObj* folder = Baseline();
    CComBSTR sk(KeyText(a, kTagSourceKey).c_str()), ck(L"ABCD");
    ASSERT_EQ(folder->AddToExchangeCache(m_utils, sk, ck, false), S_OK);
    folder->AddElemInSync(SyncId(b));
    ASSERT_EQ(folder->SaveSyncDataOwn(), S_OK);
    std::wstring state = folder->IcsState();
    // The table was filled from the contents table (in its order).
    std::vector<std::pair<std::wstring, std::wstring>> table = folder->Sid2SourceEntries();
    std::vector<std::pair<std::wstring, std::wstring>> expected = {
        {SyncId(a), KeyText(a, kTagSourceKey)}, {SyncId(b), KeyText(b, kTagSourceKey)}};
    std::vector<std::pair<std::wstring, std::wstring>> sorted = table;
    std::sort(sorted.begin(), sorted.end());
    std::sort(expected.begin(), expected.end());
    ASSERT_EQ(sorted, expected);

    // The table is saved at the object's end; a new object loads the rest.
    folder->SaveSid2SourceTable();
    m_folder.reset();
    EXPECT_EQ(ReadBytes(L".sync2sourcetbl.ids"),
              win::ToUtf8(table[0].first + L";" + table[0].second + L"\r\n" + table[1].first +
                          L";" + table[1].second + L"\r\n"));
    std::unique_ptr<CFolderObj> again = MakeFolder();
    ASSERT_EQ(again->InitFolder(m_session, m_utils), S_OK);
    EXPECT_EQ(again->IcsState(), state);
    EXPECT_FALSE(again->IsResetPending());
    std::vector<std::pair<std::wstring, std::wstring>> cache = again->ExchangeCacheEntries();
    ASSERT_EQ(cache.size(), 1u);
    EXPECT_EQ(cache[0].second, L"ABCD");
    EXPECT_TRUE(again->IsElemInSync(SyncId(b)));
    EXPECT_FALSE(again->IsElemInSync(SyncId(a)));
    // Loaded once only: a second open keeps the lists as they are.
    ASSERT_EQ(again->InitFolder(m_session, m_utils), S_OK);
    EXPECT_EQ(again->ElemsInSync().size(), 1u);
    EXPECT_EQ(again->Sid2SourceEntries().size(), 2u);
}

TEST_F(ExchangeStateFilesTest, CacheLinesAreSplitAtSemicolons) {
    struct Case {
        const char* name;
        std::string file;
        std::vector<std::pair<std::wstring, std::wstring>> entries;
    };
    const std::string longKey(1500, 'A');
    const std::vector<Case> cases = {
        {"plain", "0A01;0C01\r\n0A02;REMINDER\r\n", {{L"0A01", L"0C01"}, {L"0A02", L"REMINDER"}}},
        {"empty fields skipped", ";;0A01;;0C01;extra\r\n", {{L"0A01", L"0C01"}}},
        {"no line end at the end", "0A01;0C01", {{L"0A01", L"0C01"}}},
        // A second entry would outlive the first and absorb a real change.
        {"key twice: the first counts", "0A01;0C01\r\n0A01;REMINDER\r\n", {{L"0A01", L"0C01"}}},
        {"empty file", "", {}},
        {"long line in pieces",
         longKey + ";0B\r\n",
         {{std::wstring(1023, L'A'), L""}, {std::wstring(477, L'A'), L"0B"}}},
        {"lines that are no ids skipped",
         "S1;C1\r\n0A01;0C01\r\n0A02;x y\r\n",
         {{L"0A01", L"0C01"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteBytes(L".syncdata.ids", Utf16Le(L"QMS1-x"));
        WriteBytes(L".cache.ids", c.file);
        std::unique_ptr<CFolderObj> folder = MakeFolder();
        BSTR state = nullptr;
        ASSERT_EQ(folder->LoadSyncData(m_session, m_utils, &state), S_OK);
        EXPECT_EQ(std::wstring(state), L"QMS1-x");
        SysFreeString(state);
        EXPECT_EQ(folder->ExchangeCacheEntries(), c.entries);
    }
    EXPECT_NE(ErrorLog().find("damaged state file " + win::ToUtf8(m_entryId) +
                              ".cache.ids: 2 unusable lines skipped"),
              std::string::npos)
        << ErrorLog();
}

TEST_F(ExchangeStateFilesTest, OddOrDamagedStateFilesAreReadSafely) {
    struct Case {
        const char* name;
        std::string bytes;
        std::wstring state;
    };
    const std::vector<Case> cases = {
        {"odd length drops the last byte", Utf16Le(L"QMS1-ab") + "\x41", L"QMS1-ab"},
        {"empty file is the empty state", "", L""},
        {"binary noise stays opaque", std::string("\x00\xd8\xff\xfe\x01", 5),
         std::wstring{wchar_t(0xD800), wchar_t(0xFEFF)}},
        {"a pair is one character", std::string("\x3d\xd8\x00\xde\x00\xdc", 6),
         std::wstring{wchar_t(0x1F600), wchar_t(0xDC00)}},
        {"NUL units are kept", Utf16Le(L"QMS1-a") + std::string(2, '\0') + Utf16Le(L"b"),
         std::wstring(L"QMS1-a") + L'\0' + L"b"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteBytes(L".syncdata.ids", c.bytes);
        RemoveFile(L".cache.ids");
        std::unique_ptr<CFolderObj> folder = MakeFolder();
        BSTR state = nullptr;
        ASSERT_EQ(folder->LoadSyncData(m_session, m_utils, &state), S_OK);
        EXPECT_EQ(std::wstring(state, SysStringLen(state)), c.state);
        EXPECT_FALSE(folder->IsResetPending());
        // Written back, the state is the file's whole units, byte for byte.
        ASSERT_EQ(folder->SaveSyncData(state), S_OK);
        EXPECT_EQ(ReadBytes(L".syncdata.ids"), c.bytes.substr(0, c.bytes.size() & ~size_t{1}));
        SysFreeString(state);
    }
}

TEST_F(ExchangeStateFilesTest, ElemsInSyncAreAppendedLineByLine) {
    WriteBytes(L".insync.ids", "A1\r\nB2\nC3");
    std::unique_ptr<CFolderObj> folder = MakeFolder();
    folder->AddElemInSync(L"Z0");
    folder->LoadElemsInSync();
    EXPECT_EQ(folder->ElemsInSync(), (std::vector<std::wstring>{L"Z0", L"A1", L"B2", L"C3"}));
    folder->RemoveElemInSync(L"B2");
    EXPECT_FALSE(folder->IsElemInSync(L"B2"));
    EXPECT_TRUE(folder->IsElemInSync(L"C3"));
}

TEST_F(ExchangeStateFilesTest, SyncIdIsFoundInMemoryThenInTheSavedTable) {
    CComPtr<QMRMessage> a = AddItem(L"A");
    CFolderObj* folder = Baseline();
    std::wstring sourceKey = KeyText(a, kTagSourceKey);
    std::wstring syncId;
    EXPECT_EQ(folder->GetSyncIdFromSourceKey(sourceKey, &syncId), S_OK);
    EXPECT_EQ(syncId, SyncId(a));

    // Unknown in memory and without a file: E_FAIL.
    RemoveFile(L".sync2sourcetbl.ids");
    EXPECT_EQ(folder->GetSyncIdFromSourceKey(L"FFFF", &syncId), E_FAIL);
    EXPECT_TRUE(syncId.empty());

    const std::string longLine(700, 'X');
    WriteBytes(L".sync2sourcetbl.ids",
               "ID1;SK1\r\n;;ID2;;SK2;more\r\n" + longLine + ";SK3\r\nID4;sk1\r\n");
    struct Case {
        std::wstring sourceKey;
        std::wstring syncId;
    };
    const std::vector<Case> cases = {
        {L"SK1", L"ID1"},
        {L"SK2", L"ID2"},
        // The long line is read in pieces of 499 bytes: the last piece's
        // first field is what is left of the line.
        {L"SK3", std::wstring(201, L'X')},
        {L"sk1", L"ID4"},
        {L"NONE", L""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(win::ToUtf8(c.sourceKey));
        syncId = L"stale";
        EXPECT_EQ(folder->GetSyncIdFromSourceKey(c.sourceKey, &syncId), S_OK);
        EXPECT_EQ(syncId, c.syncId);
    }
}

TEST_F(ExchangeStateFilesTest, OfflineFolderIsNotOpenedUntilOnlineAgain) {
    std::unique_ptr<CFolderObj> folder = MakeFolder();
    m_profiles.Change(L"Ann", [](rdo::ProfileDescription& p) { p.connectionMode = 300; });
    m_engine->SetSyncState(kSyncStateIdle);
    EXPECT_EQ(folder->InitFolder(m_session, m_utils), E_FAIL);
    EXPECT_EQ(m_engine->GetSyncState(), kSyncStateOffline);
    EXPECT_FALSE(FileExists(L".syncdata.ids"));

    m_profiles.Change(L"Ann", [](rdo::ProfileDescription& p) { p.connectionMode = 800; });
    EXPECT_EQ(folder->InitFolder(m_session, m_utils), S_OK);
    EXPECT_EQ(m_engine->GetSyncState(), kSyncStateIdle);
    EXPECT_TRUE(FileExists(L".syncdata.ids"));
}

TEST_F(ExchangeStateFilesTest, UnreachableServerIsReported) {
    std::unique_ptr<CFolderObj> folder = MakeFolder();
    store::SetFault(store::FaultSite::OpenObject, static_cast<HRESULT>(0x8004011D));
    m_engine->SetSyncState(kSyncStateIdle);
    EXPECT_EQ(folder->InitFolder(m_session, m_utils), static_cast<HRESULT>(0x8004011D));
    EXPECT_EQ(m_engine->GetSyncState(), kSyncStateOffline);
    std::string log = ErrorLog();
    EXPECT_NE(log.find("INITFLDR::Server is not available (or user not logged in)"),
              std::string::npos);
    EXPECT_NE(log.find("INITFLDR::FolderFromIDFailed"), std::string::npos);
}

TEST_F(ExchangeStateFilesTest, OpeningLogsTheConnectionModeAndItsFailures) {
    struct Case {
        LONG mode;
        HRESULT fault;  // of opening the folder; S_OK for none
        HRESULT result;
        LONG state;  // the state code afterwards (it was 4 before)
        std::vector<std::string> debugLines;
        std::vector<std::string> errorLines;
    };
    const std::string entryId = win::ToUtf8(m_entryId);
    const std::vector<Case> cases = {
        {300,
         S_OK,
         E_FAIL,
         kSyncStateOffline,
         {"INITFLDR::Offl.|Disc.|CachedOffl.|CachedDisc./Cmode: 300"},
         {}},
        {600, S_OK, S_OK, kSyncStateIdle, {"INITFLDR::using olCached mode/Cmode: 600"}, {}},
        {800, S_OK, S_OK, kSyncStateIdle, {"INITFLDR::using olOnline mode"}, {}},
        {800,
         MAPI_E_NOT_FOUND,
         MAPI_E_NOT_FOUND,
         kSyncStateOffline,
         {"INITFLDR::using olOnline mode", "INITFLDR::Cmode: 800 / Object not found:" + entryId,
          "INITFLDR::Exchange not connected"},
         {"INITFLDR::FolderFromIDFailed",
          "INITFLDR::One folder could not be addet to synchronization"}},
    };
    DebugSwitch = true;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode);
        SCOPED_TRACE(c.fault);
        m_profiles.Change(L"Ann", [&c](rdo::ProfileDescription& p) { p.connectionMode = c.mode; });
        if (c.fault != S_OK)
            store::SetFault(store::FaultSite::OpenObject, c.fault);
        m_engine->SetSyncState(kSyncStateOffline);
        std::size_t debugBefore = DebugLog().size(), errorBefore = ErrorLog().size();
        std::unique_ptr<CFolderObj> folder = MakeFolder();
        EXPECT_EQ(folder->InitFolder(m_session, m_utils), c.result);
        store::ClearFaults();
        EXPECT_EQ(m_engine->GetSyncState(), c.state);
        std::string debug = DebugLog().substr(debugBefore);
        std::string errors = ErrorLog().substr(errorBefore);
        for (const std::string& line : c.debugLines)
            EXPECT_NE(debug.find("-> " + line + "\r\n"), std::string::npos) << line;
        for (const std::string& line : c.errorLines)
            EXPECT_NE(errors.find(line), std::string::npos) << line;
    }
    DebugSwitch = false;
}

// The configuration loading reads an Exchange folder's state on Outlook's
// thread before a basic synchronisation, then starts the folder's thread,
// which loads the state once more on its first scan.
TEST_F(ExchangeStateFilesTest, StateLoadedBeforeABasicSyncIsLeftToTheFoldersThread)
NO_THREAD_SAFETY_ANALYSIS {
    struct Case {
        const char* name;
        bool stateFile;
    };
    for (const Case& c : {Case{"no state yet: a reset scan on Outlook's thread", false},
                          Case{"a saved state", true}}) {
        SCOPED_TRACE(c.name);
        for (const wchar_t* suffix :
             {L".syncdata.ids", L".cache.ids", L".insync.ids", L".sync2sourcetbl.ids"})
            RemoveFile(suffix);
        if (c.stateFile)
            WriteBytes(L".syncdata.ids", Utf16Le(L"QMS1-0"));
        WriteBytes(L".insync.ids", "A1\r\nB2\r\n");
        ClearRecorder();
        m_engine->SetUtils(m_utils);
        std::size_t errorsBefore = ErrorLog().size();
        std::unique_ptr<CFolderObj> folder = MakeFolder();
        ASSERT_EQ(folder->LoadSyncDataOwn(), S_OK);
        folder->Start();
        ASSERT_TRUE(WaitForScan());
        // The scan is over once the lock is free.
        EnterCriticalSection(&FolderCheckLock);
        LeaveCriticalSection(&FolderCheckLock);
        EXPECT_EQ(ErrorLog().find("RCI::getsynchronizer", errorsBefore), std::string::npos);
        EXPECT_EQ(folder->ElemsInSync(), (std::vector<std::wstring>{L"A1", L"B2"}));
        EXPECT_TRUE(FileExists(L".syncdata.ids"));
        folder.reset();
        m_engine->SetUtils(nullptr);
    }
}

}  // namespace
}  // namespace exchangetest
