// The ICS scan and the Exchange folder thread over a real Exchange-kind
// store: what reaches the queueing, own changes, old changes, rejected and
// failing states, offline work, and the thread's schedule at a scaled clock.
#include "Quillmere/tracking/ExchangeFolderThread.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "Quillmere/exchange/SendQueues.h"
#include "Quillmere/resources/LoadString.h"
#include "Quillmere/tracking/ExchangeTestSupport_test.h"

namespace exchangetest {
namespace {

using Texts = std::vector<std::wstring>;

class ExchangeScanTest : public ExchangeFolderTest {
protected:
    CFolderObj* Baseline() {
        CFolderObj* folder = StartedFolder();
        EXPECT_EQ(folder->ScanExchangeChanges(m_session, m_utils), S_OK);
        return folder;
    }
    HRESULT Scan() { return m_folder->ScanExchangeChanges(m_session, m_utils); }
    static DATE Now() {
        SYSTEMTIME st{};
        GetLocalTime(&st);
        DATE d = 0;
        SystemTimeToVariantTime(&st, &d);
        return d;
    }
};

TEST_F(ExchangeScanTest, NewChangedAndDeletedItemsReachTheQueueing) {
    Baseline();
    CComPtr<QMRMessage> a = AddItem(L"A");
    const std::wstring syncId = SyncId(a);
    EXPECT_EQ(Scan(), S_OK);
    EXPECT_EQ(Queued(), Texts{syncId});
    EXPECT_TRUE(Deleted().empty());
    EXPECT_GT(StoredLastSyncTime(), 0);

    ClearRecorder();
    ChangeItem(a, L"A changed");
    EXPECT_EQ(Scan(), S_OK);
    EXPECT_EQ(Queued(), Texts{syncId});

    ClearRecorder();
    ASSERT_EQ(a->Delete(0), S_OK);
    EXPECT_EQ(Scan(), S_OK);
    EXPECT_TRUE(Queued().empty());
    EXPECT_EQ(Deleted(), Texts{syncId});
    EXPECT_EQ(g_recorder.deletedShares, Texts{L"Team"});
}

TEST_F(ExchangeScanTest, ItemDeletedWhileClosedIsFoundInTheSavedTable) {
    CComPtr<QMRMessage> a = AddItem(L"A");
    const std::wstring syncId = SyncId(a);
    Baseline();
    m_folder->SaveSid2SourceTable();
    m_folder.reset();
    ReleaseLock();
    ASSERT_EQ(a->Delete(0), S_OK);

    CFolderObj* folder = StartedFolder();
    EXPECT_EQ(folder->ScanExchangeChanges(m_session, m_utils), S_OK);
    EXPECT_EQ(Deleted(), Texts{syncId});
}

TEST_F(ExchangeScanTest, UnknownDeletionIsReportedNotQueued) {
    CComPtr<QMRMessage> a = AddItem(L"A");
    Baseline();
    // Neither the table nor a saved file knows it any more.
    ASSERT_TRUE(m_folder->RemoveSid2SourceEntry(SyncId(a)));
    ASSERT_EQ(a->Delete(0), S_OK);
    EXPECT_EQ(Scan(), S_OK);
    EXPECT_TRUE(Deleted().empty());
    EXPECT_NE(ErrorLog().find("RCI::Elem2DeleteNotFound"), std::string::npos);
}

TEST_F(ExchangeScanTest, OwnChangeIsAbsorbedOnceThenRealChangesAreSent) {
    Baseline();
    CComPtr<QMRMessage> a = AddItem(L"A");
    const std::wstring syncId = SyncId(a);
    ASSERT_EQ(Scan(), S_OK);
    ClearRecorder();

    // The add-in's own write, registered before the scan sees it.
    ChangeItem(a, L"imported");
    EXPECT_EQ(m_folder->ExModifItem(m_session, m_utils, SysAllocString(syncId.c_str()), false),
              S_OK);
    auto cache = m_folder->ExchangeCacheEntries();
    ASSERT_EQ(cache.size(), 1u);
    EXPECT_EQ(cache[0].first, KeyText(a, kTagSourceKey));
    EXPECT_EQ(cache[0].second, KeyText(a, kTagChangeKey));
    EXPECT_EQ(Scan(), S_OK);
    EXPECT_TRUE(Queued().empty());
    EXPECT_TRUE(m_folder->ExchangeCacheEntries().empty());

    ChangeItem(a, L"edited by the user");
    EXPECT_EQ(Scan(), S_OK);
    EXPECT_EQ(Queued(), Texts{syncId});
}

TEST_F(ExchangeScanTest, CachedValueDecidesWhetherAChangeIsOwn) {
    struct Case {
        const char* name;
        bool reminder;         // registered as a reminder
        const wchar_t* value;  // else this change key is cached
        bool sent;
        bool entryLeft;  // the entry then holds the new change key
    };
    const std::vector<Case> cases = {
        {"reminder", true, nullptr, false, true},
        {"other change key", false, L"00FF", true, false},
    };
    Baseline();
    CComPtr<QMRMessage> a = AddItem(L"A");
    const std::wstring syncId = SyncId(a);
    ASSERT_EQ(Scan(), S_OK);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ClearRecorder();
        CComBSTR sourceKey(KeyText(a, kTagSourceKey).c_str());
        CComBSTR value(c.value ? c.value : L"ignored");
        ASSERT_EQ(m_folder->AddToExchangeCache(m_utils, sourceKey, value, c.reminder), S_OK);
        if (c.reminder) {
            auto cache = m_folder->ExchangeCacheEntries();
            ASSERT_EQ(cache.size(), 1u);
            EXPECT_EQ(cache[0].second, L"REMINDER");
        }
        ChangeItem(a, L"changed again");
        EXPECT_EQ(Scan(), S_OK);
        EXPECT_EQ(Queued(), c.sent ? Texts{syncId} : Texts{});
        auto cache = m_folder->ExchangeCacheEntries();
        if (c.entryLeft) {
            ASSERT_EQ(cache.size(), 1u);
            EXPECT_EQ(cache[0].second, KeyText(a, kTagChangeKey));
            // The entry now holds the change key: the next own check absorbs
            // nothing but exactly that change.
            EXPECT_TRUE(m_folder->IsMyOwnChange(m_session, m_utils, std::wstring(sourceKey.View()),
                                                KeyText(a, kTagChangeKey)));
        }
        EXPECT_TRUE(m_folder->ExchangeCacheEntries().empty());
    }
}

TEST_F(ExchangeScanTest, ReminderOfAnUnknownItemLeavesTheCacheAlone) {
    Baseline();
    CComBSTR sourceKey(L"ABCDEF"), changeKey(L"0102");
    EXPECT_EQ(m_folder->AddToExchangeCache(m_utils, sourceKey, changeKey, true), S_OK);
    EXPECT_TRUE(m_folder->ExchangeCacheEntries().empty());
    EXPECT_FALSE(m_folder->IsMyOwnChange(m_session, m_utils, L"ABCDEF", L"0102"));
}

TEST_F(ExchangeScanTest, ChangeOlderThanTheLastScanIsNotSent) {
    Baseline();
    CComPtr<QMRMessage> a = AddItem(L"A");
    ASSERT_EQ(Scan(), S_OK);
    ClearRecorder();
    StoreLastSyncTime(Now() + 1.0);
    ChangeItem(a, L"changed");
    EXPECT_EQ(Scan(), S_OK);
    EXPECT_TRUE(Queued().empty());
    // The scan still took the new state and its start time.
    EXPECT_LT(StoredLastSyncTime(), Now() + 0.5);
}

TEST_F(ExchangeScanTest, ScanWithoutDifferencesWritesNothing) {
    Baseline();
    AddItem(L"A");
    ASSERT_EQ(Scan(), S_OK);
    RemoveFile(L".syncdata.ids");
    StoreLastSyncTime(12345.5);
    EXPECT_EQ(Scan(), S_OK);
    EXPECT_FALSE(FileExists(L".syncdata.ids"));
    EXPECT_EQ(StoredLastSyncTime(), 12345.5);
    EXPECT_TRUE(Queued().size() == 1u);
}

TEST_F(ExchangeScanTest, OfflineOwnChangeWaitsOnceAndIsAbsorbedOnline) {
    Baseline();
    CComPtr<QMRMessage> a = AddItem(L"A");
    const std::wstring syncId = SyncId(a);
    ASSERT_EQ(Scan(), S_OK);
    ClearRecorder();

    m_profiles.Change(L"Ann", [](rdo::ProfileDescription& p) { p.connectionMode = 300; });
    m_engine->SetSyncState(kSyncStateIdle);
    ChangeItem(a, L"imported while offline");
    for (int i = 0; i < 2; ++i)
        m_folder->ExModifItem(m_session, m_utils, SysAllocString(syncId.c_str()), false);
    EXPECT_EQ(m_engine->GetSyncState(), kSyncStateOffline);
    EXPECT_EQ(m_folder->WaitingSelfModifiedItems(),
              (std::vector<std::pair<std::wstring, bool>>{{syncId, false}}));
    // A scan while offline keeps it waiting and sends nothing.
    Scan();
    EXPECT_EQ(m_folder->WaitingSelfModifiedItems().size(), 1u);
    EXPECT_TRUE(Queued().empty());

    m_profiles.Change(L"Ann", [](rdo::ProfileDescription& p) { p.connectionMode = 800; });
    EXPECT_EQ(Scan(), S_OK);
    EXPECT_TRUE(m_folder->WaitingSelfModifiedItems().empty());
    EXPECT_TRUE(Queued().empty());
    EXPECT_EQ(m_engine->GetSyncState(), kSyncStateIdle);
}

TEST_F(ExchangeScanTest, RejectedStateIsResetAndTrackingGoesOn) {
    CComPtr<QMRMessage> a = AddItem(L"A");
    std::vector<std::uint8_t> bad = win::ToUtf16Le(L"QMS1-not-a-state");
    WriteBytes(L".syncdata.ids", std::string(bad.begin(), bad.end()));
    StartedFolder();
    EXPECT_EQ(Scan(), E_INVALIDARG);
    EXPECT_TRUE(m_folder->IsResetPending());
    EXPECT_NE(ErrorLog().find("RCI::syncdata fehlerhaft Upgrade 1.35 => 1.36?"), std::string::npos);

    EXPECT_EQ(Scan(), S_OK);
    EXPECT_FALSE(m_folder->IsResetPending());
    EXPECT_EQ(m_folder->IcsState().rfind(L"QMS1-", 0), 0u);
    EXPECT_TRUE(Queued().empty());

    ChangeItem(a, L"changed after the reset");
    EXPECT_EQ(Scan(), S_OK);
    EXPECT_EQ(Queued(), Texts{SyncId(a)});
}

TEST_F(ExchangeScanTest, SeventhSynchronizerFailureGivesTheStateUp) {
    Baseline();
    const std::wstring state = m_folder->IcsState();
    CComPtr<QMRMessage> a = AddItem(L"A");
    store::SetFault(store::FaultSite::Synchronize, MAPI_E_CALL_FAILED);
    for (LONG i = 1; i <= 6; ++i) {
        SCOPED_TRACE(i);
        m_engine->SetSyncState(kSyncStateIdle);
        EXPECT_EQ(Scan(), E_FAIL);
        EXPECT_EQ(m_folder->SyncDataErrorCount(), i);
        EXPECT_EQ(m_folder->IcsState(), state);
        EXPECT_EQ(m_engine->GetSyncState(), kSyncStateExchangeStateRejected);
    }
    EXPECT_EQ(Scan(), E_FAIL);
    EXPECT_EQ(m_folder->IcsState(), L"");
    EXPECT_FALSE(m_folder->IsResetPending());
    EXPECT_NE(ErrorLog().find("RCI:Recovering from SyncDataError..."), std::string::npos);

    // From the empty state the next scan sees every item again and sends the
    // ones changed since the last scan.
    store::ClearFaults();
    StoreLastSyncTime(Now() - 1.0);
    EXPECT_EQ(Scan(), S_OK);
    EXPECT_EQ(m_folder->SyncDataErrorCount(), 0);
    EXPECT_EQ(Queued(), Texts{SyncId(a)});
}

TEST_F(ExchangeScanTest, ServerAnswersThatMeanOffline) {
    struct Case {
        HRESULT fault;
        std::wstring title;
        std::wstring text;
    };
    // The notification reads the configured language when it is raised, not
    // the one kept since the start.
    g_UILanguage = 0x0409;
    HKEY config = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kConfigKeyPath, 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &config, nullptr),
              ERROR_SUCCESS);
    const DWORD german = 0x0407;
    ASSERT_EQ(RegSetValueExW(config, L"LCID", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&german),
                             sizeof german),
              ERROR_SUCCESS);
    RegCloseKey(config);
    const std::vector<Case> cases = {
        {MAPI_E_NO_SUPPORT, L"Ihr Server unterstützt die ICS-Schnittstelle von Exchange nicht.",
         L"EXCHANGE ICS NOT SUPPORTED"},
        {MAPI_E_NETWORK_ERROR, L"NETWORK ERROR", L"EXCHANGE OFFLINE"},
    };
    Baseline();
    const std::wstring state = m_folder->IcsState();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        store::SetFault(store::FaultSite::Synchronize, c.fault);
        m_engine->SetSyncState(kSyncStateIdle);
        // The first failing scan notifies; the next ones, already offline, don't.
        for (int pass = 0; pass < 2; ++pass) {
            SCOPED_TRACE(pass);
            EXPECT_EQ(Scan(), c.fault);
            EXPECT_EQ(m_engine->GetSyncState(), kSyncStateOffline);
            EXPECT_EQ(m_folder->IcsState(), state);
            EXPECT_EQ(m_folder->SyncDataErrorCount(), 0);
            std::wstring title, text;
            LONG kind = 0;
            bool pending = m_engine->TakePendingNotification(title, text, kind);
            EXPECT_EQ(pending, pass == 0);
            if (pending) {
                EXPECT_EQ(title, c.title);
                EXPECT_EQ(text, c.text);
                EXPECT_EQ(kind, 3);
            }
        }
        // Back online: the first whole scan closes the folder, the opening of
        // the next one clears the offline state.
        store::ClearFaults();
        EXPECT_EQ(Scan(), S_OK);
        EXPECT_EQ(Scan(), S_OK);
        EXPECT_EQ(m_engine->GetSyncState(), kSyncStateIdle);
    }
}

TEST_F(ExchangeScanTest, MachineIsKeptAwakeOnlyDuringTheScan) {
    Baseline();
    AddItem(L"A");
    AddItem(L"B");
    EXPECT_EQ(Scan(), S_OK);
    ASSERT_EQ(g_recorder.statesWhileQueueing.size(), 2u);
    for (EXECUTION_STATE state : g_recorder.statesWhileQueueing)
        EXPECT_EQ(state & (ES_SYSTEM_REQUIRED | ES_AWAYMODE_REQUIRED),
                  ES_SYSTEM_REQUIRED | ES_AWAYMODE_REQUIRED);
    EXPECT_EQ(win::ProcessExecutionStateForTesting(), 0u);
}

TEST_F(ExchangeScanTest, CopiedItemGetsItsOwnSyncIdBeforeItIsSent) {
    Baseline();
    CComPtr<QMRMessage> a = AddItem(L"original");
    ASSERT_EQ(Scan(), S_OK);
    ClearRecorder();
    // A copy made in Outlook keeps the original's search key.
    Sleep(2000);
    CComPtr<QMRMessage> copy = AddItem(L"copy");
    CComVariant searchKey;
    ASSERT_EQ(a->GetFields(CComVariant(static_cast<LONG>(kTagSearchKey)), &searchKey), S_OK);
    ASSERT_EQ(copy->SetFields(CComVariant(static_cast<LONG>(kTagSearchKey)), searchKey), S_OK);
    ASSERT_EQ(copy->Save(), S_OK);

    EXPECT_EQ(Scan(), S_OK);
    // The copy got a new id; it is sent as the change that this write makes.
    CComBSTR copyId;
    ASSERT_EQ(copy->GetEntryID(&copyId), S_OK);
    CComPtr<QMRMessage> reread;
    ASSERT_EQ(
        m_session->GetMessageFromID(copyId, CComBSTR(m_storeId.c_str()), CComVariant(), &reread),
        S_OK);
    const std::wstring newId = SyncId(reread);
    EXPECT_NE(newId, SyncId(a));
    EXPECT_TRUE(Queued().empty());
    EXPECT_TRUE(m_folder->Sink()->TakeDirtyFlag());
    std::wstring found;
    EXPECT_EQ(m_folder->GetSyncIdFromSourceKey(KeyText(reread, kTagSourceKey), &found), S_OK);
    EXPECT_EQ(found, newId);

    EXPECT_EQ(Scan(), S_OK);
    EXPECT_EQ(Queued(), Texts{newId});
}

TEST_F(ExchangeScanTest, OwnChangeOfAnItemNotFoundWaitsForOneMoreTry) {
    Baseline();
    const std::wstring unknown = L"00112233445566778899AABBCCDDEEFF";
    EXPECT_EQ(m_folder->ExModifItem(m_session, m_utils, SysAllocString(unknown.c_str()), false),
              CFolderObj::kExModifItemNotFound);
    EXPECT_EQ(m_folder->ExModifItem(m_session, m_utils, SysAllocString(unknown.c_str()), true),
              CFolderObj::kExModifItemNotFound);
    EXPECT_EQ(m_folder->WaitingSelfModifiedItems(),
              (std::vector<std::pair<std::wstring, bool>>{{unknown, false}}));
    // The next scan tries it again; still not found, it is given up.
    EXPECT_EQ(Scan(), S_OK);
    EXPECT_TRUE(m_folder->WaitingSelfModifiedItems().empty());
    EXPECT_TRUE(m_folder->ExchangeCacheEntries().empty());
}

TEST_F(ExchangeScanTest, WaitingOwnChangesAreTakenUpOneAScan) {
    Baseline();
    CComPtr<QMRMessage> a = AddItem(L"A");
    CComPtr<QMRMessage> b = AddItem(L"B");
    ASSERT_EQ(Scan(), S_OK);
    const std::wstring reminded = L"00112233445566778899AABBCCDDEEFF";
    m_profiles.Change(L"Ann", [](rdo::ProfileDescription& p) { p.connectionMode = 300; });
    for (const std::wstring& id : {SyncId(a), SyncId(b)})
        EXPECT_EQ(m_folder->ExModifItem(m_session, m_utils, SysAllocString(id.c_str()), false),
                  S_FALSE);
    EXPECT_EQ(m_folder->ExModifItem(m_session, m_utils, SysAllocString(reminded.c_str()), true),
              S_FALSE);
    m_profiles.Change(L"Ann", [](rdo::ProfileDescription& p) { p.connectionMode = 800; });

    using Waiting = std::vector<std::pair<std::wstring, bool>>;
    using Cache = std::vector<std::pair<std::wstring, std::wstring>>;
    const std::pair<std::wstring, std::wstring> aEntry{KeyText(a, kTagSourceKey),
                                                       KeyText(a, kTagChangeKey)};
    const std::pair<std::wstring, std::wstring> bEntry{KeyText(b, kTagSourceKey),
                                                       KeyText(b, kTagChangeKey)};
    ASSERT_EQ(Scan(), S_OK);
    EXPECT_EQ(m_folder->WaitingSelfModifiedItems(),
              (Waiting{{SyncId(b), false}, {reminded, true}}));
    EXPECT_EQ(m_folder->ExchangeCacheEntries(), Cache{aEntry});
    ASSERT_EQ(Scan(), S_OK);
    EXPECT_EQ(m_folder->WaitingSelfModifiedItems(), (Waiting{{reminded, true}}));
    EXPECT_EQ(m_folder->ExchangeCacheEntries(), (Cache{aEntry, bEntry}));
    // A reminder's entry is never taken up by the walk; a reset drops it.
    ASSERT_EQ(Scan(), S_OK);
    EXPECT_EQ(m_folder->WaitingSelfModifiedItems(), (Waiting{{reminded, true}}));
}

TEST_F(ExchangeScanTest, DebugLogFollowsTheScan) {
    DebugSwitch = true;
    Baseline();
    CComPtr<QMRMessage> a = AddItem(L"Agenda");
    ASSERT_EQ(Scan(), S_OK);
    ASSERT_EQ(a->Delete(0), S_OK);
    ASSERT_EQ(Scan(), S_OK);
    DebugSwitch = false;
    std::string log = DebugLog();
    for (const char* line :
         {"RCI::reset war gesagt", "RCI::Reset this folder", "RCI::SAVING STATUS2DISK",
          "RCI::Inbox CountDifferingItems: 1", "RCI:CHECK:NEWELEM:Agenda", "mychange::empty",
          "FFC::start", "INITFLDR::using olOnline mode", "RCI::-- changed item? i=1 / 1 --",
          "Save-ELEMS_IN_SYNC", "Saving Exchange Cache Table"}) {
        EXPECT_NE(log.find(line), std::string::npos) << line;
    }
    EXPECT_EQ(Deleted().size(), 1u);
}

// The real queueing: the change becomes a queued sync mail, the version
// raise it makes is the add-in's own change and is absorbed by the next scan,
// and the deletion becomes a queued notice.
TEST_F(ExchangeScanTest, ChangesReachTheRealQueues) {
    ExchangeScanHooks hooks;
    SetExchangeScanHooksForTesting(hooks);
    m_engine->SetMailAccountIndex(0);
    MailSenderList.Clear();
    DelMailSenderList.Clear();
    // The own-change registration finds the folder in the engine's table.
    CFolderObj* folder = Baseline();
    ASSERT_TRUE(m_engine->AppendFolder(m_folder.release()));
    CComPtr<QMRMessage> a = AddItem(L"A");
    const std::wstring syncId = SyncId(a);
    EXPECT_EQ(folder->ScanExchangeChanges(m_session, m_utils), S_OK);
    EXPECT_EQ(MailSenderList.Count(), 1u);
    EXPECT_TRUE(folder->IsElemInSync(syncId));
    EXPECT_EQ(folder->ScanExchangeChanges(m_session, m_utils), S_OK);
    EXPECT_EQ(MailSenderList.Count(), 1u);

    ASSERT_EQ(a->Delete(0), S_OK);
    EXPECT_EQ(folder->ScanExchangeChanges(m_session, m_utils), S_OK);
    EXPECT_EQ(DelMailSenderList.Count(), 1u);
    MailSenderList.Clear();
    DelMailSenderList.Clear();
}

TEST_F(ExchangeScanTest, ItemSubjectsForLogLines) {
    Baseline();
    CComPtr<QMRMessage> a = AddItem(L"Budget");
    CComBSTR entryId;
    ASSERT_EQ(a->GetEntryID(&entryId), S_OK);
    EXPECT_EQ(m_folder->GetItemSubject(m_session, std::wstring(entryId.View())), L"Budget");
    EXPECT_EQ(m_folder->GetItemSubject(m_session, L"00"), L"NO_SUBJECT_FOUND");
    EXPECT_EQ(m_folder->SubjectFromSyncID(m_session, m_utils, SyncId(a), m_entryId, m_storeId),
              L"Budget");
    EXPECT_EQ(m_folder->SubjectFromSyncID(m_session, m_utils, L"0011223344", m_entryId, m_storeId),
              L"NO_SUBJECT_FROM_SEARCHKEY_FOUND");
}

TEST_F(ExchangeScanTest, OwnChangeLinesCountTheCacheEntries) {
    Baseline();
    CComPtr<QMRMessage> a = AddItem(L"A");
    ASSERT_EQ(Scan(), S_OK);
    const std::wstring sourceKey = KeyText(a, kTagSourceKey);
    for (const wchar_t* key : {L"S1", L"S2", L"S3"}) {
        CComBSTR sk(key), ck((std::wstring(L"C") + (key + 1)).c_str());
        ASSERT_EQ(m_folder->AddToExchangeCache(m_utils, sk, ck, false), S_OK);
    }
    struct Case {
        std::wstring sourceKey;
        std::wstring changeKey;
        bool own;
        const char* line;
    };
    const std::vector<Case> cases = {
        {L"", L"C1", false, "mychange::changekey/sourcekey:NULL"},
        {L"S9", L"C9", false, "mychange::SKEYnotInCache(items in cache 3)"},
        {L"S1", L"C1", true, "mychange::my own change(items in cache 2)"},
        {L"S2", L"CX", false, "mychange::realchange1(items in cache 1)"},
        {L"S3", L"C3", true, "mychange::my own change(items in cache 0)"},
        {L"S3", L"C3", false, "mychange::empty"},
        {sourceKey, L"C7", true, "mychange::from reminder(items in cache 1)"},
    };
    DebugSwitch = true;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        if (c.sourceKey == sourceKey) {
            CComBSTR sk(sourceKey.c_str()), unused(L"");
            ASSERT_EQ(m_folder->AddToExchangeCache(m_utils, sk, unused, true), S_OK);
        }
        std::size_t before = DebugLog().size();
        EXPECT_EQ(m_folder->IsMyOwnChange(m_session, m_utils, c.sourceKey, c.changeKey), c.own);
        EXPECT_NE(DebugLog().find(std::string(c.line) + "\r\n", before), std::string::npos);
    }
    DebugSwitch = false;
    // The reminder's entry took the change key it absorbed.
    EXPECT_EQ(m_folder->ExchangeCacheEntries(),
              (std::vector<std::pair<std::wstring, std::wstring>>{{sourceKey, L"C7"}}));
}

TEST_F(ExchangeScanTest, ChangedItemUnknownToTheTableIsReportedNotSent) {
    Baseline();
    CComPtr<QMRMessage> a = AddItem(L"A");
    ASSERT_EQ(Scan(), S_OK);
    ClearRecorder();
    ASSERT_TRUE(m_folder->RemoveSid2SourceEntry(SyncId(a)));
    // A saved table that lacks it too: the lookup succeeds without an id.
    WriteBytes(L".sync2sourcetbl.ids", "ID1;SK1\r\n");
    ChangeItem(a, L"changed");
    EXPECT_EQ(Scan(), S_OK);
    EXPECT_TRUE(Queued().empty());
    EXPECT_NE(ErrorLog().find("RCI::noSyncIDFromSKey"), std::string::npos);

    ASSERT_EQ(a->Delete(0), S_OK);
    EXPECT_EQ(Scan(), S_OK);
    EXPECT_TRUE(Deleted().empty());
    EXPECT_NE(ErrorLog().find("RCI::Elem2DeleteNotFound"), std::string::npos);
}

TEST_F(ExchangeScanTest, ShutdownOrReconfigurationEndsTheScanKeepingTheState) {
    struct Case {
        const char* line;
        bool shutdown;  // else the folder's run flag drops
    };
    for (const Case& c : {Case{"RCI::OLShutdown ends syncthread", true},
                          Case{"RCI::Reconfiguration ends syncthread", false}}) {
        SCOPED_TRACE(c.line);
        Baseline();
        const std::wstring state = m_folder->IcsState();
        const std::string stateBytes = ReadBytes(L".syncdata.ids");
        StoreLastSyncTime(12345.5);
        CComPtr<QMRMessage> a = AddItem(L"A");
        CComBSTR sk(L"0A0B"), ck(L"C1");
        ASSERT_EQ(m_folder->AddToExchangeCache(m_utils, sk, ck, false), S_OK);
        RemoveFile(L".cache.ids");
        ClearRecorder();
        DebugSwitch = true;
        if (c.shutdown)
            m_engine->m_shutdown = true;
        else
            m_folder->Stop();
        EXPECT_EQ(Scan(), S_OK);
        DebugSwitch = false;
        m_engine->m_shutdown = false;
        EXPECT_TRUE(Queued().empty());
        EXPECT_NE(DebugLog().find(c.line), std::string::npos);
        // The cache is saved, the state and LastFolderSyncTime are not.
        EXPECT_EQ(ReadBytes(L".cache.ids"), "0A0B;C1\r\n");
        EXPECT_EQ(ReadBytes(L".syncdata.ids"), stateBytes);
        EXPECT_EQ(m_folder->IcsState(), state);
        EXPECT_EQ(StoredLastSyncTime(), 12345.5);
        m_folder.reset();
        ReleaseLock();
        ASSERT_EQ(a->Delete(0), S_OK);
        for (const wchar_t* suffix :
             {L".syncdata.ids", L".cache.ids", L".insync.ids", L".sync2sourcetbl.ids"})
            RemoveFile(suffix);
    }
}

TEST_F(ExchangeScanTest, TooOldChangeIsLoggedWithBothTimes) {
    Baseline();
    CComPtr<QMRMessage> a = AddItem(L"A");
    ASSERT_EQ(Scan(), S_OK);
    SYSTEMTIME later{};
    later.wYear = 2099;
    later.wMonth = 1;
    later.wDay = 2;
    later.wHour = 3;
    later.wMinute = 4;
    DATE lastSync = 0;
    ASSERT_TRUE(SystemTimeToVariantTime(&later, &lastSync));
    StoreLastSyncTime(lastSync);
    ChangeItem(a, L"changed");
    ClearRecorder();
    DebugSwitch = true;
    EXPECT_EQ(Scan(), S_OK);
    DebugSwitch = false;
    EXPECT_TRUE(Queued().empty());
    std::string log = DebugLog();
    std::size_t at = log.find("RCI::LastModif tooo old\r\n");
    ASSERT_NE(at, std::string::npos);
    EXPECT_NE(log.find("-> 020199-0304 > ", at), std::string::npos);
}

// --- The thread ------------------------------------------------------------

// On the virtual clock: the thread's turns of 1 s, its settling wait of 5 s
// and its lock waits of 1 s put every scan at an exact moment. The test's
// own moments are kept off the thread's (a half second apart), so that no
// two threads act at one moment in an order that is left to chance.
class ExchangeThreadTest : public ExchangeFolderTest {
protected:
    template <class F>
    static bool WaitFor(F condition) {
        return addintest::WaitFor(condition);
    }
    static std::vector<DWORD> Scans() {
        std::lock_guard<std::mutex> hold(g_recorder.lock);
        return g_recorder.scanTicks;
    }
    static bool ScansReach(size_t n) {
        return WaitFor([n] { return Scans().size() >= n; });
    }
    CFolderObj* Start() {
        m_folder = MakeFolder();
        m_start = GetTickCount();
        m_folder->Start();
        return m_folder.get();
    }
    LONG Since(DWORD tick) const { return static_cast<LONG>(tick - m_start); }

    DWORD m_start = 0;
};

TEST_F(ExchangeThreadTest, ScansAtOnceThenAfterTwoMinutesThenEveryMinute) {
    Start();
    ASSERT_TRUE(ScansReach(3));
    std::vector<DWORD> scans = Scans();
    // The first turn and the settling wait; then the first turn more than
    // 60 s past the deadline (121 s) and the settling wait; then every
    // 61 s (the turn past the next deadline, 60 s on, at 182 s).
    EXPECT_EQ(Since(scans[0]), 6000);
    EXPECT_EQ(Since(scans[1]), 126000);
    EXPECT_EQ(Since(scans[2]), 187000);
    // The thread's own session scanned for real: the baseline was recorded.
    EXPECT_TRUE(FileExists(L".syncdata.ids"));
}

TEST_F(ExchangeThreadTest, DirtyFlagBringsAScanWithinSixSeconds) {
    CFolderObj* folder = Start();
    ASSERT_TRUE(ScansReach(1));
    Sleep(30500);
    DWORD marked = GetTickCount();
    folder->Sink()->SetDirtyFlag();
    ASSERT_TRUE(ScansReach(2));
    // Taken at the next turn (half a second later), scanned after settling.
    EXPECT_EQ(static_cast<LONG>(Scans()[1] - marked), 5500);
    EXPECT_EQ(Scans().size(), 2u);
}

TEST_F(ExchangeThreadTest, ScanWaitsForFolderCheckLock) NO_THREAD_SAFETY_ANALYSIS {
    EnterCriticalSection(&FolderCheckLock);
    Start();
    Sleep(40500);
    EXPECT_TRUE(Scans().empty());
    DWORD released = GetTickCount();
    LeaveCriticalSection(&FolderCheckLock);
    ASSERT_TRUE(ScansReach(1));
    EXPECT_EQ(static_cast<LONG>(Scans()[0] - released), 500) << "at the next 1-s look";
}

TEST_F(ExchangeThreadTest, ThreadEndsOnceTheRunFlagDrops) {
    CFolderObj* folder = Start();
    ASSERT_TRUE(WaitFor([folder] { return folder->IsThreadAlive(); }));
    folder->Stop();
    EXPECT_TRUE(WaitFor([folder] { return !folder->IsThreadAlive(); }));
    EXPECT_EQ(Since(GetTickCount()), 1000) << "its first turn sees the flag down";
    Sleep(10000);
    EXPECT_TRUE(Scans().empty());
}

TEST_F(ExchangeThreadTest, ThreadLogsItsStartItsWaitsForTheLockAndItsEnd)
NO_THREAD_SAFETY_ANALYSIS {
    DebugSwitch = true;
    auto log = [this] { return DebugLog(); };
    EnterCriticalSection(&FolderCheckLock);
    CFolderObj* folder = Start();
    // The line comes after the first pass's settling wait and 61 failed
    // waits of 1 s for the lock.
    ASSERT_TRUE(WaitFor([&] { return log().find("wait4folder") != std::string::npos; }));
    EXPECT_EQ(Since(GetTickCount()), 1000 + 5000 + 61000);
    LeaveCriticalSection(&FolderCheckLock);
    ASSERT_TRUE(ScansReach(1));
    folder->Stop();
    ASSERT_TRUE(WaitFor([folder] { return !folder->IsThreadAlive(); }));
    // The end is logged after the folder is let go.
    ASSERT_TRUE(WaitFor([&] { return log().find("Thread Team ended") != std::string::npos; }));
    DebugSwitch = false;
    std::string text = log();
    std::size_t running = text.find("-> Thread is running for Team\r\n");
    std::size_t waited = text.find("-> wait4folder since 1 Min Team\r\n");
    std::size_t ended = text.find("-> Thread Team ended\r\n");
    ASSERT_NE(running, std::string::npos);
    ASSERT_NE(waited, std::string::npos);
    ASSERT_NE(ended, std::string::npos);
    EXPECT_LT(running, waited);
    EXPECT_LT(waited, ended);
}

}  // namespace
}  // namespace exchangetest
