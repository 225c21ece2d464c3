// The change-key list over the real helper library and a store made in the
// test: the state files' bytes, the contents-table scan, the comparison
// rules of the folder check and the deletion pass.
#include "Quillmere/tracking/ChangeKeyList.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwctype>
#include <set>

#include "Quillmere/core/Settings.h"
#include "Quillmere/exchange/SendQueues.h"
#include "Quillmere/tracking/ChangeKeyTestSupport_test.h"
#include "Quillmere/tracking/SyncId.h"
#include "platform/win/Files.h"

namespace {

using changekeys::testing::ChangeKeyTest;
using changekeys::testing::HexText;
using changekeys::testing::Recorded;

constexpr LONG kTagChangeKey = 0x65E20102;
constexpr LONG kTagLastModification = 0x30080040;

class StampStoreTest : public ChangeKeyTest {
protected:
    StampStoreTest() { m_tracking = store::ChangeTracking::ModificationTime; }
};

// Adds an own change the way the add-in does (the list takes the text over).
void AddOwn(CItemsEvents& sink, QMRRDOSession* session, QMRMAPIUtils* utils, const wchar_t* key,
            bool reminder) {
    EXPECT_EQ(sink.AddToChangeList(session, utils, SysAllocString(key), reminder), S_OK);
}

std::wstring ChangeKeyOf(QMRMessage* message) {
    CComVariant value;
    EXPECT_EQ(message->GetFields(CComVariant(kTagChangeKey), &value), S_OK);
    std::vector<BYTE> bytes;
    EXPECT_TRUE(BinaryFromVariant(value, bytes));
    return HexText(bytes);
}

// The item's stamp, formatted here independently of the code under test.
std::wstring StampOf(QMRMAPIUtils* utils, QMRMessage* message) {
    CComVariant utc;
    EXPECT_EQ(message->GetFields(CComVariant(kTagLastModification), &utc), S_OK);
    DATE local = 0;
    EXPECT_EQ(utils->ConvertModificationTime(utc, &local), S_OK);
    SYSTEMTIME st{};
    EXPECT_TRUE(VariantTimeToSystemTime(local, &st));
    char text[32];  // -Wformat-truncation sizes each field for any WORD value
    std::snprintf(text, sizeof text, "%02d%02d%02d%02d%02d%02d", st.wDay, st.wMonth, st.wYear % 100,
                  st.wHour, st.wMinute, st.wSecond);
    return std::wstring(text, text + 12);
}

std::vector<std::wstring> Keys(const std::vector<ChangeKeyEntry>& entries) {
    std::vector<std::wstring> keys;
    for (const ChangeKeyEntry& e : entries)
        keys.push_back(e.key);
    return keys;
}

// --- State files ---------------------------------------------------------

TEST_F(ChangeKeyTest, StateFilesAreLinePairsEndingInCrLfAndLoadBackInOrder) {
    AddOwn(Sink(), m_session, m_utils, L"00AA11BB", false);
    AddOwn(Sink(), m_session, m_utils, L"22CC33DD", false);
    AddOwn(Sink(), m_session, m_utils, L"22CC33DD", false);
    AddOwn(Sink(), m_session, m_utils, L"44ee", true);
    ASSERT_EQ(Sink().WritechangeKeylist2File(), S_OK);

    EXPECT_EQ(HostFile(KeysPath()), "00AA11BB\r\n22CC33DD\r\n44ee\r\n");
    EXPECT_EQ(HostFile(ValuesPath()), "NEWITEM\r\nCHANGED\r\nDETECT\r\n");

    // What happens after the save must not survive the reload.
    AddOwn(Sink(), m_session, m_utils, L"FFFF", false);
    ASSERT_EQ(Sink().LoadFolderList(m_session, m_utils), S_OK);
    const std::vector<ChangeKeyEntry> expected = {
        {L"00AA11BB", L"NEWITEM"}, {L"22CC33DD", L"CHANGED"}, {L"44ee", L"DETECT"}};
    EXPECT_EQ(Sink().ChangeKeylistEntries(), expected);
    // The files stay: until the next save they are the folder's only record.
    EXPECT_EQ(HostFile(KeysPath()), "00AA11BB\r\n22CC33DD\r\n44ee\r\n");
    EXPECT_EQ(HostFile(ValuesPath()), "NEWITEM\r\nCHANGED\r\nDETECT\r\n");
    EXPECT_NE(DebugLog().find("LoadFolderList => 3 Items from file"), std::string::npos);
    EXPECT_EQ(ErrorLog().find("Difference between keys and values"), std::string::npos);
}

TEST_F(ChangeKeyTest, FirstStartWithoutFilesTakesTheFolderAsKnownAndSendsNothing) {
    CComPtr<QMRMessage> a = NewItem(L"a");
    CComPtr<QMRMessage> b = NewItem(L"b");
    ASSERT_EQ(Sink().LoadFolderList(m_session, m_utils), S_OK);
    EXPECT_NE(DebugLog().find("files not opened(if firsttime: no problem)"), std::string::npos);
    std::vector<ChangeKeyEntry> entries = Sink().ChangeKeylistEntries();
    ASSERT_EQ(entries.size(), 2u);
    // Newest first, each with its change key.
    EXPECT_EQ(entries[0], (ChangeKeyEntry{SyncIdOf(b), ChangeKeyOf(b)}));
    EXPECT_EQ(entries[1], (ChangeKeyEntry{SyncIdOf(a), ChangeKeyOf(a)}));
    EXPECT_GT(entries[0].value.size(), kTimeStampLength);

    EXPECT_EQ(Sink().CheckChanges(m_session, m_utils), S_OK);
    EXPECT_EQ(Sink().CheckChanges(m_session, m_utils), S_OK);
    EXPECT_TRUE(Recorded().synced.empty());
    EXPECT_EQ(Sink().ChangeKeylistEntries(), entries);
}

// A folder's first list after it was shared (its LastFolderSyncTime, written
// by the folder page, holds the moment of the share): what it held before is
// known, what came after is new and travels once. A list read from files
// keeps what it says.
TEST_F(ChangeKeyTest, FirstListTakesItemsAddedAfterTheShareAsNewAndSendsThemOnce) {
    CComPtr<QMRMessage> before = NewItem(L"held before the share");
    Sleep(60u * 1000u);
    SYSTEMTIME now{};
    GetLocalTime(&now);
    DATE shared = 0;
    ASSERT_TRUE(SystemTimeToVariantTime(&now, &shared));
    std::uint64_t bits = 0;
    std::memcpy(&bits, &shared, sizeof bits);
    BYTE bytes[8];
    for (int i = 0; i < 8; ++i)
        bytes[i] = static_cast<BYTE>(bits >> (8 * i));
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER,
                              (std::wstring(kFoldersKeyPath) + L"\\" + m_entryId).c_str(), 0,
                              nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExW(key, L"LastFolderSyncTime", 0, REG_BINARY, bytes, sizeof bytes);
    RegCloseKey(key);
    Sleep(1000u);
    CComPtr<QMRMessage> after = NewItem(L"added after the share");

    ASSERT_EQ(Sink().LoadFolderList(m_session, m_utils), S_OK);
    EXPECT_EQ(ValueOf(SyncIdOf(before)), ChangeKeyOf(before));
    EXPECT_EQ(ValueOf(SyncIdOf(after)), L"DETECT");
    for (int check = 0; check < 4; ++check)
        ASSERT_EQ(Sink().CheckChanges(m_session, m_utils), S_OK);
    EXPECT_EQ(Recorded().synced, std::vector<std::wstring>{SyncIdOf(after)});

    // Saved and read back, the list sends nothing again.
    ASSERT_EQ(Sink().WritechangeKeylist2File(), S_OK);
    const std::vector<ChangeKeyEntry> saved = Sink().ChangeKeylistEntries();
    ASSERT_EQ(Sink().LoadFolderList(m_session, m_utils), S_OK);
    EXPECT_EQ(Sink().ChangeKeylistEntries(), saved);
}

TEST_F(ChangeKeyTest, EmptyFolderWithoutFilesLoadsNothing) {
    EXPECT_EQ(Sink().LoadFolderList(m_session, m_utils), E_FAIL);
    EXPECT_TRUE(Sink().ChangeKeylistEntries().empty());
}

TEST_F(ChangeKeyTest, DamagedStateFilesAreReportedAndCostResendsNotChanges) {
    struct Case {
        const char* name;
        const char* keys;  // null: no file
        const char* values;
        std::vector<ChangeKeyEntry> loaded;  // empty and scanned: rebuilt by the scan
        bool scanned;
        const char* reported;  // what the error log names, or null
    };
    const std::string longLine(600, 'A');
    const std::string longKeys = longLine + "\r\n";
    const std::wstring firstPiece(511, L'A');
    const Case cases[] = {
        {"more keys than values",
         "0A0A\r\n0B0B\r\n0C0C\r\n",
         "010203040506\r\nCHANGED\r\n",
         {{L"0A0A", L"010203040506"}, {L"0B0B", L"CHANGED"}},
         false,
         nullptr},
        {"more values than keys",
         "0A0A\r\n",
         "NEWITEM\r\nCHANGED\r\n",
         {{L"0A0A", L"NEWITEM"}},
         false,
         nullptr},
        {"neither ends its last line",
         "0A0A\r\n0B0B",
         "CHANGED\r\nNEWITEM",
         {{L"0A0A", L"CHANGED"}, {L"0B0B", L"NEWITEM"}},
         false,
         nullptr},
        // The files disagree: their lines may have shifted, so no marker is
        // trusted to absorb a difference; the pairs are kept all the same.
        {"last value line cut off",
         "0A0A\r\n0B0B\r\n",
         "010203040506\r\nCHANGED",
         {{L"0A0A", L"010203040506"}, {L"0B0B", L"HOTMAL"}},
         false,
         "Difference between keys and values"},
        {"last key line cut off",
         "0A0A\r\n0B0B",
         "NEWITEM\r\n0123456789ABCDEF\r\n",
         {{L"0A0A", L"HOTMAL"}, {L"0B0B", L"0123456789ABCDEF"}},
         false,
         ".keys.ids: 2 lines against the values'"},
        {"unreadable values",
         "0A0A\r\n0B0B\r\n",
         "\x7f\x7f\r\nCHANGED\r\n",
         {{L"0A0A", L"HOTMAL"}, {L"0B0B", L"CHANGED"}},
         false,
         ".values.ids: 1 values unreadable"},
        {"keys that are no sync ids",
         "0A0A\r\nzz!\r\n",
         "CHANGED\r\nNEWITEM\r\n",
         {{L"0A0A", L"CHANGED"}},
         false,
         ".keys.ids: 1 lines without a sync id dropped"},
        // A line longer than the read limit is read in pieces.
        {"key line over the read limit",
         longKeys.c_str(),
         "HOTMAL\r\n",
         {{firstPiece, L"HOTMAL"}},
         false,
         nullptr},
        // An empty pair is a saved empty list: the folder's items are new.
        {"empty files", "", "", {}, false, nullptr},
        {"values file missing", "0A0A\r\n", nullptr, {}, true, nullptr},
    };
    CComPtr<QMRMessage> a = NewItem(L"a");
    CComPtr<QMRMessage> b = NewItem(L"b");
    const std::vector<ChangeKeyEntry> scan = {{SyncIdOf(b), ChangeKeyOf(b)},
                                              {SyncIdOf(a), ChangeKeyOf(a)}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        logs::ResetForTesting();
        SetErrorLogPath((m_temp + L"Quillmere_error.log").c_str());
        SetDebugLogPath((m_temp + L"Quillmere_debug.log").c_str());
        DebugSwitch = true;
        WriteHostFile(m_temp + L"Quillmere_error.log", "");
        LogHResult(0, "first");
        DeleteFileW(ValuesPath().c_str());
        WriteHostFile(KeysPath(), c.keys);
        if (c.values)
            WriteHostFile(ValuesPath(), c.values);
        EXPECT_EQ(Sink().LoadFolderList(m_session, m_utils),
                  c.scanned || !c.loaded.empty() ? S_OK : E_FAIL);
        EXPECT_EQ(Sink().ChangeKeylistEntries(), c.scanned ? scan : c.loaded);
        if (c.reported)
            EXPECT_NE(ErrorLog().find(c.reported), std::string::npos) << ErrorLog();
        else
            EXPECT_EQ(ErrorLog().find("damaged state file"), std::string::npos) << ErrorLog();
        EXPECT_TRUE(HostFileExists(KeysPath()));
    }
}

// A save cut between its two renames is completed by the next load; one
// cut before them leaves the old pair.
TEST_F(ChangeKeyTest, SaveCutByACrashIsCompletedOrDiscardedByTheNextLoad) {
    WriteHostFile(KeysPath(), "0A0A\r\n");
    WriteHostFile(ValuesPath(), "NEWITEM\r\n");
    WriteHostFile(KeysPath() + L".new", "0B0B\r\n0A0A\r\n");  // values already renamed
    WriteHostFile(ValuesPath(), "HOTMAL\r\nCHANGED\r\n");
    ASSERT_EQ(Sink().LoadFolderList(m_session, m_utils), S_OK);
    EXPECT_EQ(Sink().ChangeKeylistEntries(),
              (std::vector<ChangeKeyEntry>{{L"0B0B", L"HOTMAL"}, {L"0A0A", L"CHANGED"}}));
    EXPECT_FALSE(HostFileExists(KeysPath() + L".new"));

    WriteHostFile(KeysPath() + L".new", "0C0C\r\n");
    WriteHostFile(ValuesPath() + L".new", "DETECT\r\n");  // cut before the renames
    ASSERT_EQ(Sink().LoadFolderList(m_session, m_utils), S_OK);
    EXPECT_EQ(Sink().ChangeKeylistEntries(),
              (std::vector<ChangeKeyEntry>{{L"0B0B", L"HOTMAL"}, {L"0A0A", L"CHANGED"}}));
    EXPECT_FALSE(HostFileExists(KeysPath() + L".new"));
    EXPECT_FALSE(HostFileExists(ValuesPath() + L".new"));
}

// A list read from its files looks for items deleted meanwhile at once.
TEST_F(ChangeKeyTest, ListReadFromFilesAsksForADeletionPass) {
    WriteHostFile(KeysPath(), "0A0A\r\n");
    WriteHostFile(ValuesPath(), "010203040506\r\n");
    ASSERT_EQ(Sink().LoadFolderList(m_session, m_utils), S_OK);
    EXPECT_TRUE(Sink().TakeDeletedFlag());
}

// The folder thread loads a second time when the first load left the list
// empty: the in-sync list is still read from its file once.
TEST_F(ChangeKeyTest, SecondLoadDoesNotReadTheInSyncListAgain) {
    WriteHostFile(m_temp + m_entryId + L".insync.ids", "0A0A\r\n0B0B\r\n");
    EXPECT_EQ(Sink().LoadFolderList(m_session, m_utils), E_FAIL);
    EXPECT_EQ(Sink().LoadFolderList(m_session, m_utils), E_FAIL);
    EXPECT_EQ(m_folder->ElemsInSync(), (std::vector<std::wstring>{L"0A0A", L"0B0B"}));
}

// A folder object destroyed before its thread loaded the list (a settings
// reload while another check held FolderCheckLock) leaves the files alone.
TEST_F(ChangeKeyTest, DestructionSavesOnlyAListThatWasLoaded) {
    CComBSTR storeId;
    ASSERT_EQ(m_inbox->GetStoreID(&storeId), S_OK);
    WriteHostFile(KeysPath(), "0A0A\r\n");
    WriteHostFile(ValuesPath(), "010203040506\r\n");
    auto unloaded = std::make_unique<CFolderObj>(nullptr, CFolderObj::kSharedFolder, false,
                                                 m_entryId, std::wstring(storeId));
    unloaded.reset();
    EXPECT_EQ(HostFile(KeysPath()), "0A0A\r\n");
    EXPECT_EQ(HostFile(ValuesPath()), "010203040506\r\n");

    auto loaded = std::make_unique<CFolderObj>(nullptr, CFolderObj::kSharedFolder, false, m_entryId,
                                               std::wstring(storeId));
    ASSERT_EQ(loaded->Sink()->LoadFolderList(m_session, m_utils), S_OK);
    AddOwn(*loaded->Sink(), m_session, m_utils, L"0B0B", false);
    loaded.reset();
    EXPECT_EQ(HostFile(KeysPath()), "0A0A\r\n0B0B\r\n");
    EXPECT_EQ(HostFile(ValuesPath()), "010203040506\r\nNEWITEM\r\n");
}

TEST_F(ChangeKeyTest, UnwritableStateFilesAreNoFailure) {
    AddOwn(Sink(), m_session, m_utils, L"00AA", false);
    m_engine->SetDataPaths(m_temp + L"missing\\dir\\");
    EXPECT_EQ(Sink().WritechangeKeylist2File(), S_OK);
    g_pEngine = nullptr;
    EXPECT_EQ(Sink().WritechangeKeylist2File(), E_FAIL);
    g_pEngine = m_engine.get();
}

// --- Contents-table scan -------------------------------------------------

TEST_F(StampStoreTest, StoreWithoutChangeKeysListsModificationStamps) {
    CComPtr<QMRMessage> a = NewItem(L"a");
    CComVariant none;
    EXPECT_EQ(a->GetFields(CComVariant(kTagChangeKey), &none), MAPI_E_NOT_FOUND);
    ASSERT_EQ(Sink().LoadFolderList(m_session, m_utils), S_OK);
    std::vector<ChangeKeyEntry> entries = Sink().ChangeKeylistEntries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].key, SyncIdOf(a));
    EXPECT_EQ(entries[0].value, StampOf(m_utils, a));
    EXPECT_EQ(entries[0].value.size(), kTimeStampLength);
}

TEST_F(ChangeKeyTest, StampFormatIsDayMonthYearHourMinuteSecond) {
    SYSTEMTIME st{};
    st.wYear = 2031;
    st.wMonth = 2;
    st.wDay = 3;
    st.wHour = 4;
    st.wMinute = 5;
    st.wSecond = 6;
    DATE date = 0;
    ASSERT_TRUE(SystemTimeToVariantTime(&st, &date));
    EXPECT_EQ(FormatModificationStamp(date), L"030231040506");
}

TEST_F(ChangeKeyTest, WindowTakesRecentRowsAndTheFirstOlderOne) {
    CComPtr<QMRMessage> old1 = NewItem(L"old1");
    CComPtr<QMRMessage> old2 = NewItem(L"old2");
    // Thirty days pass (on the virtual clock, at once).
    Sleep(30u * 86400u * 1000u);
    CComPtr<QMRMessage> new1 = NewItem(L"new1");
    CComPtr<QMRMessage> new2 = NewItem(L"new2");

    ChangeKeyList all;
    ASSERT_EQ(Sink().MakeFolderList(m_session, m_utils, all, kScanAllItems), S_OK);
    EXPECT_EQ(all.Size(), 4u);

    ChangeKeyList recent;
    ASSERT_EQ(Sink().MakeFolderList(m_session, m_utils, recent, kFirstCheckWindowDays), S_OK);
    std::vector<std::wstring> keys = Keys(recent.Entries());
    ASSERT_EQ(keys.size(), 3u);
    EXPECT_EQ(std::set<std::wstring>(keys.begin(), keys.begin() + 2),
              (std::set<std::wstring>{SyncIdOf(new1), SyncIdOf(new2)}));
    EXPECT_EQ(keys[2], SyncIdOf(old2));  // the newest of the old ones ends the scan
}

TEST_F(ChangeKeyTest, FullScanReadsEveryBatch) {
    CComPtr<QMRItems> items;
    ASSERT_EQ(m_inbox->GetItems(&items), S_OK);
    std::set<std::wstring> made;
    for (int i = 0; i < 650; ++i) {
        CComPtr<QMRMessage> m;
        ASSERT_EQ(items->Add(CComVariant(L"IPM.Note"), &m), S_OK);
        ASSERT_EQ(m->Save(), S_OK);
        made.insert(SyncIdOf(m));
    }
    ChangeKeyList all;
    ASSERT_EQ(Sink().MakeFolderList(m_session, m_utils, all, kScanAllItems), S_OK);
    std::vector<std::wstring> keys = Keys(all.Entries());
    EXPECT_EQ(keys.size(), 650u);
    EXPECT_EQ(std::set<std::wstring>(keys.begin(), keys.end()), made);
}

TEST_F(ChangeKeyTest, TwoItemsWithOneSearchKeyAreBothListedAndTheLaterGetsANewId) {
    CComPtr<QMRMessage> original = NewItem(L"original");
    const std::wstring shared = SyncIdOf(original);
    Sleep(2000);
    CComPtr<QMRMessage> copy = NewItem(L"copy");
    CComVariant key;
    ASSERT_EQ(original->GetFields(CComVariant(LONG(0x300B0102)), &key), S_OK);
    ASSERT_EQ(copy->SetFields(CComVariant(LONG(0x300B0102)), key), S_OK);
    ASSERT_EQ(copy->Save(), S_OK);
    ASSERT_EQ(SyncIdOf(copy), shared);
    const std::wstring originalValue = ChangeKeyOf(original);
    const std::wstring copyValue = ChangeKeyOf(copy);

    ChangeKeyList all;
    ASSERT_EQ(Sink().MakeFolderList(m_session, m_utils, all, kScanAllItems), S_OK);
    std::vector<std::wstring> keys = Keys(all.Entries());
    ASSERT_EQ(keys.size(), 2u);
    EXPECT_NE(keys[0], keys[1]);
    EXPECT_NE(std::find(keys.begin(), keys.end(), shared), keys.end());

    // The store now tells the two apart: the copy carries the new id.
    CComPtr<QMRMessage> reread;
    CComBSTR copyId;
    ASSERT_EQ(copy->GetEntryID(&copyId), S_OK);
    ASSERT_EQ(m_session->GetMessageFromID(copyId, nullptr, CComVariant(), &reread), S_OK);
    const std::wstring renamed = SyncIdOf(reread);
    EXPECT_NE(renamed, shared);
    EXPECT_EQ(renamed.size(), 32u);
    EXPECT_NE(std::find(keys.begin(), keys.end(), renamed), keys.end());
    EXPECT_EQ(SyncIdOf(original), shared);
    // Each item is listed with its own value under the id it carries.
    EXPECT_EQ(all.At(all.Find(shared)).value, originalValue);
    EXPECT_EQ(all.At(all.Find(renamed)).value, copyValue);
}

TEST_F(ChangeKeyTest, StoppedFolderBreaksTheScan) {
    NewItem(L"a");
    m_folder->Stop();
    ChangeKeyList target;
    EXPECT_EQ(Sink().MakeFolderList(m_session, m_utils, target, kScanAllItems), E_FAIL);
    EXPECT_NE(DebugLog().find("MFL::break Thread"), std::string::npos);
    EXPECT_TRUE(target.Empty());
}

TEST_F(ChangeKeyTest, ExchangeFolderIsLeftToTheExchangeScan) {
    NewItem(L"a");
    Sink().m_isExchange = true;
    EXPECT_EQ(Sink().LoadFolderList(m_session, m_utils), S_OK);
    EXPECT_EQ(Sink().CheckChanges(m_session, m_utils), S_OK);
    EXPECT_EQ(Sink().CheckFolder4DeletedItems(m_session, m_utils), S_OK);
    ChangeKeyList target;
    EXPECT_EQ(Sink().MakeFolderList(m_session, m_utils, target, kScanAllItems), S_OK);
    EXPECT_TRUE(target.Empty());
    EXPECT_TRUE(Sink().ChangeKeylistEntries().empty());
    EXPECT_FALSE(HostFileExists(KeysPath()));
    Sink().m_isExchange = false;
}

// --- Comparison pass -----------------------------------------------------

TEST_F(ChangeKeyTest, ChangedKeyIsMarkedFirstAndSentByTheNextCheck) {
    CComPtr<QMRMessage> a = NewItem(L"a");
    ASSERT_EQ(Sink().LoadFolderList(m_session, m_utils), S_OK);
    const std::wstring id = SyncIdOf(a);
    Edit(a, L"a2");

    EXPECT_EQ(Sink().CheckChanges(m_session, m_utils), S_OK);
    EXPECT_EQ(ValueOf(id), L"HOTMAL");
    EXPECT_TRUE(Recorded().synced.empty());
    EXPECT_FALSE(HostFileExists(KeysPath()));

    EXPECT_EQ(Sink().CheckChanges(m_session, m_utils), S_OK);
    EXPECT_EQ(Recorded().synced, std::vector<std::wstring>{id});
    EXPECT_EQ(ValueOf(id), L"CHANGED");
    // A check that queued saves the list.
    EXPECT_NE(HostFile(KeysPath()).find(std::string(id.begin(), id.end()) + "\r\n"),
              std::string::npos);

    // The marker absorbs the one difference and takes the real key.
    EXPECT_EQ(Sink().CheckChanges(m_session, m_utils), S_OK);
    EXPECT_EQ(ValueOf(id), ChangeKeyOf(a));
    EXPECT_EQ(Recorded().synced.size(), 1u);
}

// A list written while the store kept only modification stamps (or keys of
// another form) meets the store's change keys: the item goes the change-key
// way, marked first and sent by the next check that still sees a difference.
TEST_F(ChangeKeyTest, ChangeKeyReplacingAStampOrAKeyOfAnotherLengthIsMarkedFirstAndSentNext) {
    struct Case {
        const char* name;
        std::wstring listed;
    };
    const Case cases[] = {
        {"stamp", L"110126093000"},
        {"shorter change key", L"00112233445566778899AABB"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Recorded() = changekeys::testing::QueueRecorder();
        CComPtr<QMRMessage> a = NewItem(L"a");
        const std::wstring id = SyncIdOf(a);
        ASSERT_NE(ChangeKeyOf(a).size(), c.listed.size());
        WriteHostFile(KeysPath(), std::string(id.begin(), id.end()) + "\r\n");
        WriteHostFile(ValuesPath(), std::string(c.listed.begin(), c.listed.end()) + "\r\n");
        ASSERT_EQ(Sink().LoadFolderList(m_session, m_utils), S_OK);
        ASSERT_EQ(ValueOf(id), c.listed);

        EXPECT_EQ(Sink().CheckChanges(m_session, m_utils), S_OK);
        EXPECT_EQ(ValueOf(id), L"HOTMAL");
        EXPECT_TRUE(Recorded().synced.empty());
        EXPECT_EQ(Sink().CheckChanges(m_session, m_utils), S_OK);
        EXPECT_EQ(Recorded().synced, std::vector<std::wstring>{id});
        EXPECT_EQ(ValueOf(id), L"CHANGED");
        ASSERT_EQ(a->Delete(0), S_OK);
    }
}

TEST_F(StampStoreTest, EditedItemGoesOutAtTheFirstCheck) {
    CComPtr<QMRMessage> a = NewItem(L"a");
    ASSERT_EQ(Sink().LoadFolderList(m_session, m_utils), S_OK);
    const std::wstring id = SyncIdOf(a);
    Edit(a, L"a2");
    EXPECT_EQ(Sink().CheckChanges(m_session, m_utils), S_OK);
    EXPECT_EQ(Recorded().synced, std::vector<std::wstring>{id});
    EXPECT_EQ(ValueOf(id), L"CHANGED");
    EXPECT_EQ(Sink().CheckChanges(m_session, m_utils), S_OK);
    EXPECT_EQ(ValueOf(id), StampOf(m_utils, a));
    EXPECT_EQ(Recorded().synced.size(), 1u);
}

TEST_F(StampStoreTest, NewItemIsDetectedOnceAndSentByTheNextCheck) {
    NewItem(L"known");
    ASSERT_EQ(Sink().LoadFolderList(m_session, m_utils), S_OK);
    CComPtr<QMRMessage> b = NewItem(L"b");
    CComPtr<QMRMessage> c = NewItem(L"c");
    EXPECT_FALSE(Sink().TakeDirtyFlag());

    EXPECT_EQ(Sink().CheckChanges(m_session, m_utils), S_OK);
    // One new item per pass: the newest; the dirty flag asks for the next.
    EXPECT_EQ(ValueOf(SyncIdOf(c)), L"DETECT");
    EXPECT_EQ(ValueOf(SyncIdOf(b)), L"<absent>");
    EXPECT_TRUE(Sink().TakeDirtyFlag());
    EXPECT_TRUE(Recorded().synced.empty());

    EXPECT_EQ(Sink().CheckChanges(m_session, m_utils), S_OK);
    EXPECT_EQ(Recorded().synced, std::vector<std::wstring>{SyncIdOf(c)});
    EXPECT_EQ(ValueOf(SyncIdOf(c)), L"CHANGED");
    EXPECT_EQ(ValueOf(SyncIdOf(b)), L"DETECT");
}

// A folder shared while it was empty: its first items are new, not lost.
TEST_F(StampStoreTest, FolderReadAsEmptyStillDetectsItsFirstItems) {
    EXPECT_EQ(Sink().LoadFolderList(m_session, m_utils), E_FAIL);
    CComPtr<QMRMessage> first = NewItem(L"first");

    EXPECT_EQ(Sink().CheckChanges(m_session, m_utils), S_OK);
    EXPECT_EQ(ValueOf(SyncIdOf(first)), L"DETECT");
    EXPECT_EQ(Sink().CheckChanges(m_session, m_utils), S_OK);
    EXPECT_EQ(Recorded().synced, std::vector<std::wstring>{SyncIdOf(first)});
}

// A new item of a store with change keys waits one check, as a changed one
// does, and is then sent once; the marker of the send then takes the item's
// key without a second send.
TEST_F(ChangeKeyTest, NewItemWithAChangeKeyWaitsOneCheckAndIsSentOnce) {
    NewItem(L"known");
    ASSERT_EQ(Sink().LoadFolderList(m_session, m_utils), S_OK);
    CComPtr<QMRMessage> b = NewItem(L"b");
    const std::wstring id = SyncIdOf(b);
    EXPECT_EQ(Sink().CheckChanges(m_session, m_utils), S_OK);
    EXPECT_EQ(ValueOf(id), L"DETECT");
    EXPECT_EQ(Sink().CheckChanges(m_session, m_utils), S_OK);
    EXPECT_EQ(ValueOf(id), L"HOTMAL");
    EXPECT_TRUE(Recorded().synced.empty());
    EXPECT_EQ(Sink().CheckChanges(m_session, m_utils), S_OK);
    EXPECT_EQ(ValueOf(id), L"CHANGED");
    EXPECT_EQ(Recorded().synced, std::vector<std::wstring>{id});
    EXPECT_EQ(Sink().CheckChanges(m_session, m_utils), S_OK);
    EXPECT_EQ(ValueOf(id), ChangeKeyOf(b));
    EXPECT_EQ(Sink().CheckChanges(m_session, m_utils), S_OK);
    EXPECT_EQ(Recorded().synced, std::vector<std::wstring>{id});
}

// A check reads back to the start of the folder's last complete check, 15
// minutes at the least, and 25 days before the folder's first.
TEST(CheckWindowTest, ReadsBackToTheLastCompleteCheckAndFifteenMinutesAtTheLeast) {
    constexpr double kMinute = 1.0 / 1440.0;
    const DATE now = 46000.5;
    struct Case {
        DATE lastCompleteStart;
        double windowDays;
    } cases[] = {
        {0, 25.0},
        {now - 2 * kMinute, 15 * kMinute},
        {now - 14 * kMinute, 15 * kMinute},
        {now - 60 * kMinute, 61 * kMinute},
        {now - 3.0, 3.0 + kMinute},
    };
    for (const Case& c : cases)
        EXPECT_NEAR(CheckWindowDays(c.lastCompleteStart, now), c.windowDays, 1e-9)
            << (now - c.lastCompleteStart) / kMinute << " minutes";
}

// Edits made while the folder's checks were put off (the tray's pause, an
// open inspector, a long import) and older than 15 minutes when the checks
// resume still travel, once each: the checks read back to the last complete
// one, also the check after one that stopped at a new item or left a mark.
// (A check always reads the newest row: two edits show what it misses.)
struct PutOffChecks {
    DWORD pauseMinutes;
    bool alsoNewItem;
};
class PutOffChecksTest : public ChangeKeyTest,
                         public ::testing::WithParamInterface<PutOffChecks> {};

TEST_P(PutOffChecksTest, EditsMadeMeanwhileTravelOnceWhenTheChecksResume) {
    CComPtr<QMRMessage> a = NewItem(L"a");
    CComPtr<QMRMessage> c = NewItem(L"c");
    NewItem(L"older");
    ASSERT_EQ(Sink().LoadFolderList(m_session, m_utils), S_OK);
    ASSERT_EQ(Sink().CheckChanges(m_session, m_utils), S_OK);
    Sleep(60u * 1000u);
    ASSERT_EQ(Sink().CheckChanges(m_session, m_utils), S_OK);

    Edit(a, L"a2");
    Sleep(1000u);
    Edit(c, L"c2");
    std::vector<std::wstring> expected{SyncIdOf(a), SyncIdOf(c)};
    if (GetParam().alsoNewItem)
        expected.push_back(SyncIdOf(NewItem(L"b")));
    Sleep(GetParam().pauseMinutes * 60u * 1000u);
    for (int check = 0; check < 6; ++check) {
        ASSERT_EQ(Sink().CheckChanges(m_session, m_utils), S_OK);
        Sleep(2u * 60u * 1000u);
    }
    std::vector<std::wstring> sent = Recorded().synced;
    std::sort(sent.begin(), sent.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(sent, expected);
}

INSTANTIATE_TEST_SUITE_P(Pauses, PutOffChecksTest,
                         ::testing::Values(PutOffChecks{20, false}, PutOffChecks{180, true},
                                           PutOffChecks{2 * 1440, true}));

TEST_F(ChangeKeyTest, OwnChangeRegisteredBeforeTheCheckIsAbsorbed) {
    struct Case {
        const char* name;
        bool existing;  // an edit of a listed item, else a new item (an import)
        const wchar_t* marker;
    };
    const Case cases[] = {{"own edit", true, L"CHANGED"}, {"own new item", false, L"NEWITEM"}};
    CComPtr<QMRMessage> known = NewItem(L"known");
    ASSERT_EQ(Sink().LoadFolderList(m_session, m_utils), S_OK);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CComPtr<QMRMessage> item = known;
        if (c.existing)
            Edit(item, L"imported change");
        else
            item = NewItem(L"imported");
        const std::wstring id = SyncIdOf(item);
        AddOwn(Sink(), m_session, m_utils, id.c_str(), false);
        EXPECT_EQ(ValueOf(id), c.marker);
        EXPECT_EQ(Sink().CheckChanges(m_session, m_utils), S_OK);
        EXPECT_EQ(ValueOf(id), ChangeKeyOf(item));
        EXPECT_TRUE(Recorded().synced.empty());
    }
}

TEST_F(ChangeKeyTest, OwnChangeMarkersFollowTheListAndTheReminderFlag) {
    struct Case {
        const char* name;
        const wchar_t* before;  // null: not listed
        bool reminder;
        const wchar_t* after;
    };
    const Case cases[] = {
        {"new own item", nullptr, false, L"NEWITEM"},
        {"reminder of an unknown item", nullptr, true, L"DETECT"},
        {"own change", L"0102030405060708090A", false, L"CHANGED"},
        {"reminder of a first sighting", L"DETECT", true, L"DETECT"},
        {"reminder of a known item", L"0102030405060708090A", true, L"REMINDR"},
        {"reminder after an own change", L"CHANGED", true, L"REMINDR"},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::wstring key = L"AB" + std::to_wstring(10 + n++);
        if (c.before) {
            // Put the prior value in through the files, as a restart would.
            WriteHostFile(KeysPath(), std::string(key.begin(), key.end()) + "\r\n");
            const std::wstring before = c.before;
            WriteHostFile(ValuesPath(), std::string(before.begin(), before.end()) + "\r\n");
            ASSERT_EQ(Sink().LoadFolderList(m_session, m_utils), S_OK);
            ASSERT_EQ(ValueOf(key), c.before);
        }
        AddOwn(Sink(), m_session, m_utils, key.c_str(), c.reminder);
        EXPECT_EQ(ValueOf(key), c.after);
    }
    g_pEngine = nullptr;
    EXPECT_EQ(Sink().AddToChangeList(m_session, m_utils, SysAllocString(L"0F0F"), false), E_FAIL);
    g_pEngine = m_engine.get();
    EXPECT_EQ(ValueOf(L"0F0F"), L"<absent>");
}

bool g_reminderActive = false;
std::wstring g_reminderAsked;
bool FakeReminder(const std::wstring& syncIdText) {
    g_reminderAsked = syncIdText;
    return g_reminderActive;
}

TEST_F(ChangeKeyTest, ReminderMarkerHoldsWhileTheReminderIsActive) {
    CComPtr<QMRMessage> a = NewItem(L"a");
    ASSERT_EQ(Sink().LoadFolderList(m_session, m_utils), S_OK);
    const std::wstring id = SyncIdOf(a);
    AddOwn(Sink(), m_session, m_utils, id.c_str(), true);
    Edit(a, L"reminder written");
    SetActiveReminderProc(&FakeReminder);
    g_reminderActive = true;
    EXPECT_EQ(Sink().CheckChanges(m_session, m_utils), S_OK);
    EXPECT_EQ(g_reminderAsked, id);
    EXPECT_EQ(ValueOf(id), L"REMINDR");
    g_reminderActive = false;
    EXPECT_EQ(Sink().CheckChanges(m_session, m_utils), S_OK);
    EXPECT_EQ(ValueOf(id), ChangeKeyOf(a));
    EXPECT_TRUE(Recorded().synced.empty());
}

// Sets the item's reminder through the common named properties and saves it.
void SetReminder(QMRMAPIUtils* utils, QMRMessage* item, bool set, double signalDaysFromNow) {
    const CComBSTR common(L"{00062008-0000-0000-C000-000000000046}");
    ULONG setId = 0, signalId = 0;
    ASSERT_EQ(utils->GetIDsFromNames(item, common, CComVariant(LONG(0x8503)), VARIANT_TRUE, &setId),
              S_OK);
    ASSERT_EQ(
        utils->GetIDsFromNames(item, common, CComVariant(LONG(0x8560)), VARIANT_TRUE, &signalId),
        S_OK);
    SYSTEMTIME now{};
    GetSystemTime(&now);
    DATE nowUtc = 0;
    ASSERT_TRUE(SystemTimeToVariantTime(&now, &nowUtc));
    const CComVariant signal(nowUtc + signalDaysFromNow, VT_DATE);
    ASSERT_EQ(item->SetFields(CComVariant(LONG((setId & 0xFFFF0000u) | 0x000B)), CComVariant(set)),
              S_OK);
    ASSERT_EQ(item->SetFields(CComVariant(LONG((signalId & 0xFFFF0000u) | 0x0040)), signal), S_OK);
    ASSERT_EQ(item->Save(), S_OK);
}

TEST_F(ChangeKeyTest, ReminderMarkerHoldsWhileTheItemsReminderIsShowing) {
    struct Case {
        const char* name;
        bool set;
        double signalDays;  // from now
        bool holds;
    };
    const Case cases[] = {
        {"due reminder", true, -1.0 / 24, true},
        {"snoozed reminder", true, 1.0 / 24, false},
        {"dismissed reminder", false, -1.0 / 24, false},
    };
    NewItem(L"known");
    ASSERT_EQ(Sink().LoadFolderList(m_session, m_utils), S_OK);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CComPtr<QMRMessage> item = NewItem(L"with reminder");
        const std::wstring id = SyncIdOf(item);
        // Known to the list under its current key (found, sent, settled),
        // then the reminder event.
        for (int check = 0; check < 4; ++check)
            EXPECT_EQ(Sink().CheckChanges(m_session, m_utils), S_OK);
        ASSERT_EQ(ValueOf(id), ChangeKeyOf(item));
        const std::size_t sent = Recorded().synced.size();
        AddOwn(Sink(), m_session, m_utils, id.c_str(), true);
        ASSERT_EQ(ValueOf(id), L"REMINDR");
        SetReminder(m_utils, item, c.set, c.signalDays);

        EXPECT_EQ(Sink().CheckChanges(m_session, m_utils), S_OK);
        EXPECT_EQ(ValueOf(id), c.holds ? std::wstring(L"REMINDR") : ChangeKeyOf(item));
        EXPECT_EQ(Recorded().synced.size(), sent);
    }
}

TEST_F(StampStoreTest, FailedQueueingStopsTheSendsOfThePassButNotTheMarkers) {
    CComPtr<QMRMessage> a = NewItem(L"a");
    CComPtr<QMRMessage> b = NewItem(L"b");
    CComPtr<QMRMessage> own = NewItem(L"own");
    ASSERT_EQ(Sink().LoadFolderList(m_session, m_utils), S_OK);
    const std::wstring stampA = StampOf(m_utils, a);
    const std::wstring stampB = StampOf(m_utils, b);
    Edit(own, L"own2");
    AddOwn(Sink(), m_session, m_utils, SyncIdOf(own).c_str(), false);
    Edit(a, L"a2");
    Edit(b, L"b2");

    Recorded().syncResult = E_FAIL;
    EXPECT_EQ(Sink().CheckChanges(m_session, m_utils), E_FAIL);
    // b is newest and tried first; a is not tried after the failure.
    EXPECT_EQ(Recorded().synced, std::vector<std::wstring>{SyncIdOf(b)});
    EXPECT_EQ(ValueOf(SyncIdOf(b)), stampB);
    EXPECT_EQ(ValueOf(SyncIdOf(a)), stampA);
    EXPECT_EQ(ValueOf(SyncIdOf(own)), StampOf(m_utils, own));

    Recorded().syncResult = S_OK;
    EXPECT_EQ(Sink().CheckChanges(m_session, m_utils), S_OK);
    EXPECT_EQ(Recorded().synced,
              (std::vector<std::wstring>{SyncIdOf(b), SyncIdOf(b), SyncIdOf(a)}));
}

// --- Deletion pass -------------------------------------------------------

TEST_F(ChangeKeyTest, VanishedItemGetsOneNoticePerPassUntilTheSenderRemovesIt) {
    CComPtr<QMRMessage> a = NewItem(L"a");
    CComPtr<QMRMessage> b = NewItem(L"b");
    ASSERT_EQ(Sink().LoadFolderList(m_session, m_utils), S_OK);
    const std::wstring idA = SyncIdOf(a);
    ASSERT_EQ(a->Delete(0), S_OK);

    EXPECT_EQ(Sink().CheckFolder4DeletedItems(m_session, m_utils), S_OK);
    using Notice = std::pair<std::wstring, std::wstring>;
    EXPECT_EQ(Recorded().deleted, std::vector<Notice>{Notice(idA, L"Team")});
    EXPECT_NE(ValueOf(idA), L"<absent>");
    EXPECT_NE(HostFile(KeysPath()).find(std::string(idA.begin(), idA.end())), std::string::npos);

    EXPECT_EQ(Sink().CheckFolder4DeletedItems(m_session, m_utils), S_OK);
    EXPECT_EQ(Recorded().deleted.size(), 2u);

    CComBSTR text(idA.c_str());
    EXPECT_TRUE(Sink().RemoveFromChangeKeylist(text));
    EXPECT_FALSE(Sink().RemoveFromChangeKeylist(text));
    EXPECT_EQ(Sink().CheckFolder4DeletedItems(m_session, m_utils), S_OK);
    EXPECT_EQ(Recorded().deleted.size(), 2u);

    // The last item gone: the empty folder is still compared.
    const std::wstring idB = SyncIdOf(b);
    ASSERT_EQ(b->Delete(0), S_OK);
    EXPECT_EQ(Sink().CheckFolder4DeletedItems(m_session, m_utils), S_OK);
    ASSERT_EQ(Recorded().deleted.size(), 3u);
    EXPECT_EQ(Recorded().deleted[2], Notice(idB, L"Team"));
}

TEST_F(ChangeKeyTest, DeletionPassNamesTheFolderAndEndsWithoutAList) {
    CComBSTR name;
    ASSERT_EQ(m_inbox->GetName(&name), S_OK);
    ASSERT_GT(name.Length(), 0u);
    // Loaded from an empty folder: nothing is listed that could have vanished.
    EXPECT_EQ(Sink().LoadFolderList(m_session, m_utils), E_FAIL);
    NewItem(L"a");
    EXPECT_EQ(Sink().CheckFolder4DeletedItems(m_session, m_utils), S_OK);
    const std::string log = DebugLog();
    const std::wstring wide = std::wstring(L"CHECK4DELETEDITEMS::START: ") + name.m_str;
    EXPECT_NE(log.find(std::string(wide.begin(), wide.end())), std::string::npos);
    EXPECT_EQ(log.find("CheckDelMSg"), std::string::npos);
    EXPECT_TRUE(Recorded().deleted.empty());
}

TEST_F(ChangeKeyTest, RemovalsTakeTheTableOfTheirFolderKind) {
    CComPtr<QMRMessage> a = NewItem(L"a");
    const std::wstring id = SyncIdOf(a);
    CComBSTR text(id.c_str());
    CComBSTR storeId;
    ASSERT_EQ(m_inbox->GetStoreID(&storeId), S_OK);
    CFolderObj exchange(nullptr, CFolderObj::kSharedFolder, true, m_entryId, std::wstring(storeId));
    ASSERT_EQ(exchange.FillFolderCache(m_session, m_utils), S_OK);
    const std::size_t listed = exchange.Sid2SourceEntries().size();
    ASSERT_GE(listed, 1u);

    // An Exchange folder: its SID to SOURCE table, never a change-key list.
    EXPECT_FALSE(exchange.Sink()->RemoveFromChangeKeylist(text));
    EXPECT_FALSE(exchange.Sink()->RemoveFromExchangeFolderCache(CComBSTR(L"0A0B")));
    EXPECT_EQ(exchange.Sid2SourceEntries().size(), listed);
    EXPECT_TRUE(exchange.Sink()->RemoveFromExchangeFolderCache(text));
    EXPECT_EQ(exchange.Sid2SourceEntries().size(), listed - 1);
    EXPECT_NE(DebugLog().find("RemoveFromExchangeFolderCache=>Item found"), std::string::npos);

    // An ordinary folder: its list only.
    AddOwn(Sink(), m_session, m_utils, id.c_str(), false);
    EXPECT_FALSE(Sink().RemoveFromExchangeFolderCache(text));
    EXPECT_EQ(ValueOf(id), L"NEWITEM");
    EXPECT_TRUE(Sink().RemoveFromChangeKeylist(text));
    EXPECT_EQ(ValueOf(id), L"<absent>");
}

TEST_F(ChangeKeyTest, UnverifiableEntryIsDroppedWithoutANotice) {
    NewItem(L"a");
    ASSERT_EQ(Sink().LoadFolderList(m_session, m_utils), S_OK);
    AddOwn(Sink(), m_session, m_utils, L"NOTHEX", false);
    EXPECT_EQ(Sink().CheckFolder4DeletedItems(m_session, m_utils), S_OK);
    EXPECT_EQ(ValueOf(L"NOTHEX"), L"<absent>");
    EXPECT_TRUE(Recorded().deleted.empty());
    EXPECT_NE(ErrorLog().find("MAIL DELETED FROM CHECKLIST"), std::string::npos);
    EXPECT_EQ(Sink().ChangeKeylistEntries().size(), 1u);
}

TEST_F(ChangeKeyTest, ListedItemMissingFromTheScanButFoundByLookupIsKept) {
    CComPtr<QMRMessage> a = NewItem(L"a");
    ASSERT_EQ(Sink().LoadFolderList(m_session, m_utils), S_OK);
    // Listed under the lower-case form of its id: the scan lists the
    // upper-case form, the lookup by sync id still finds the item.
    std::wstring lower = SyncIdOf(a);
    std::transform(lower.begin(), lower.end(), lower.begin(), ::towlower);
    AddOwn(Sink(), m_session, m_utils, lower.c_str(), false);
    EXPECT_EQ(Sink().CheckFolder4DeletedItems(m_session, m_utils), S_OK);
    EXPECT_TRUE(Recorded().deleted.empty());
    EXPECT_NE(DebugLog().find("CHECK4DELETEDITEMS::DelMsg should not be deleted"),
              std::string::npos);
    EXPECT_EQ(ValueOf(lower), L"NEWITEM");
}

// The real queueing behind the checks: the edit becomes one queued sync
// mail whose version raise the check then absorbs; the deletion one notice.
TEST_F(StampStoreTest, ChecksFillTheSendQueues) {
    SetChangeQueueProcsForTesting({});
    MailSenderList.Clear();
    DelMailSenderList.Clear();
    CComPtr<QMRMessage> a = NewItem(L"a");
    CComPtr<QMRMessage> b = NewItem(L"b");
    ASSERT_EQ(Sink().LoadFolderList(m_session, m_utils), S_OK);
    const std::wstring idA = SyncIdOf(a);
    Edit(a, L"a2");
    EXPECT_EQ(Sink().CheckChanges(m_session, m_utils), S_OK);
    ASSERT_EQ(MailSenderList.Count(), 1u);
    std::wstring queued;
    MailSenderList.ForEach(
        [&](const CMail2Send& mail) {
            CComVariant id;
            std::vector<BYTE> bytes;
            if (SUCCEEDED(mail.GetSyncID(&id)) && BinaryFromVariant(id, bytes))
                queued = HexText(bytes);
            return true;
        },
        false);
    EXPECT_EQ(queued, idA);
    EXPECT_EQ(ValueOf(idA), L"CHANGED");

    // The version raise was the add-in's own write: absorbed, not queued again.
    Sleep(2000);
    EXPECT_EQ(Sink().CheckChanges(m_session, m_utils), S_OK);
    EXPECT_EQ(Sink().CheckChanges(m_session, m_utils), S_OK);
    EXPECT_EQ(MailSenderList.Count(), 1u);
    EXPECT_EQ(ValueOf(idA).size(), kTimeStampLength);

    const std::wstring idB = SyncIdOf(b);
    ASSERT_EQ(b->Delete(0), S_OK);
    EXPECT_EQ(Sink().CheckFolder4DeletedItems(m_session, m_utils), S_OK);
    ASSERT_EQ(DelMailSenderList.Count(), 1u);
    std::wstring noticed;
    DelMailSenderList.ForEach(
        [&](const CDelMail2Send& notice) {
            CComBSTR id;
            if (SUCCEEDED(notice.GetSyncID(&id)) && id)
                noticed = id.m_str;
            return true;
        },
        false);
    EXPECT_EQ(noticed, idB);
    MailSenderList.Clear();
    DelMailSenderList.Clear();
}

TEST(ChangeKeyListType, LookupFindsTheFirstEntryAndRemovalKeepsOrder) {
    ChangeKeyList list;
    list.Append(L"A1", L"x");
    list.Append(L"B2", L"y");
    list.Append(L"A1", L"z");
    list.Append(L"C3", L"w");
    EXPECT_EQ(list.Find(L"A1"), 0u);
    EXPECT_EQ(list.Find(L"D4"), ChangeKeyList::npos);
    EXPECT_TRUE(list.RemoveFirst(L"A1"));
    EXPECT_EQ(list.Find(L"A1"), 1u);
    EXPECT_EQ(list.At(1).value, L"z");
    EXPECT_EQ(list.Find(L"C3"), 2u);
    EXPECT_FALSE(list.RemoveFirst(L"D4"));
    list.RemoveAt(0);
    EXPECT_EQ(list.Find(L"A1"), 0u);
    EXPECT_EQ(list.Size(), 2u);
}

}  // namespace

namespace {

// Texts the packed list must give back unchanged: upper-case hexadecimal
// text (kept two digits a byte), text that only looks like it (odd length,
// lower case, a non-digit at the end), the escape byte's own value,
// characters beyond 8 bits and the empty text.
TEST(ChangeKeyListType, EntriesComeBackAsTheyWentIn) {
    const std::wstring texts[] = {
        L"0123456789ABCDEF0123456789ABCDEF",
        std::wstring(1, wchar_t(0x80)) + L"x",
        L"\u00e4\u00f6\u00fc\u20ac",
        std::wstring(1, wchar_t(0x10FFFF)) + std::wstring(1, wchar_t(0x7F)),
        L"",
        L"00",
        L"ABC",
        L"abcdef01",
        L"0123456789ABCDEF0123456789ABCDEG",
    };
    ChangeKeyList list;
    for (const std::wstring& key : texts)
        list.Append(key, key + L"=" + key);
    ASSERT_EQ(list.Size(), std::size(texts));
    for (std::size_t i = 0; i < std::size(texts); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(list.Find(texts[i]), i);
        EXPECT_EQ(list.Key(i), texts[i]);
        EXPECT_EQ(list.Value(i), texts[i] + L"=" + texts[i]);
        EXPECT_EQ(list.At(i), (ChangeKeyEntry{texts[i], texts[i] + L"=" + texts[i]}));
    }
    // A key that only shares a prefix or differs in a wide character is
    // another key.
    EXPECT_EQ(list.Find(L"0123456789ABCDEF"), ChangeKeyList::npos);
    EXPECT_EQ(list.Find(L"\u00e4\u00f6\u00fc\u20ad"), ChangeKeyList::npos);
}

// Values rewritten over and over (each check rewrites markers) leave the
// list as a fresh one built with the last values would be, and the lookup
// still finds the first entry of a repeated key.
TEST(ChangeKeyListType, RewrittenValuesAndKeysKeepTheListWhole) {
    ChangeKeyList list;
    constexpr std::size_t kItems = 3000;
    auto key = [](std::size_t i) { return L"KEY" + std::to_wstring(i % 2000); };
    for (std::size_t i = 0; i < kItems; ++i)
        list.Append(key(i), L"start");
    for (int round = 0; round < 20; ++round) {
        for (std::size_t i = 0; i < kItems; ++i)
            list.SetValue(
                i, L"value of " + std::to_wstring(i) + L" in round " + std::to_wstring(round));
    }
    list.SetKey(5, L"RENAMED");
    list.RemoveAt(7);
    ChangeKeyList expected;
    for (std::size_t i = 0; i < kItems; ++i) {
        if (i == 7)
            continue;
        expected.Append(i == 5 ? L"RENAMED" : key(i),
                        L"value of " + std::to_wstring(i) + L" in round 19");
    }
    EXPECT_EQ(list.Entries(), expected.Entries());
    EXPECT_EQ(list.Find(L"RENAMED"), 5u);
    EXPECT_EQ(list.Find(L"KEY5"), 2004u);  // the repeat of the renamed key, shifted by the removal
    EXPECT_EQ(list.Find(L"KEY100"), 99u);
    EXPECT_EQ(list.Find(L"KEY1999"), 1998u);
    EXPECT_EQ(list.Find(L"KEY2000"), ChangeKeyList::npos);
    list.Clear();
    EXPECT_TRUE(list.Empty());
    EXPECT_EQ(list.Find(L"KEY100"), ChangeKeyList::npos);
}

}  // namespace
