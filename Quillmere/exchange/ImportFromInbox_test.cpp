// The inbox import thread: its schedule of passes, the move of arriving sync
// and packet mails into "Quillmere", and the running thread over the real
// helper library importing what arrives in the Inbox and in an alternate
// inbox.
#include "Quillmere/exchange/ImportFromInbox.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "Quillmere/exchange/ProcessSyncItems.h"
#include "Quillmere/exchange/SyncTestSupport_test.h"

namespace {

using synctest::ImportTest;

TEST(ImportCyclePlan, MinutesAndRequestsChooseThePasses) {
    struct Case {
        DWORD minute;
        bool turned, inboxRequest, alternateRequest;
        bool retry, main, alternate;
    };
    const Case cases[] = {
        {1, true, false, false, false, false, false},    // minute 1: nothing
        {1, false, true, false, false, true, false},     // NewMail in minute 1
        {2, true, false, false, false, true, false},     // first inbox pass
        {2, false, false, false, false, false, false},   // only at the turn
        {3, true, false, false, false, false, true},     // first alternate pass
        {3, false, false, true, false, false, true},     // an item in an alternate inbox
        {6, true, false, false, false, true, true},      // both in one cycle
        {10, true, true, true, true, false, false},      // retries only, requests wait
        {10, false, false, false, false, false, false},  // once, not in every cycle
        {10, false, true, true, false, false, false},    // requests wait all the minute
        {20, true, true, false, true, false, false},
        {20, false, true, false, false, false, false},
        {0, true, false, false, true, false, false},
        {9, true, false, false, false, false, true},
        {11, true, false, false, false, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "minute " << c.minute << " turned " << c.turned);
        ImportCycle cycle = PlanImportCycle(c.minute, c.turned, c.inboxRequest, c.alternateRequest);
        EXPECT_EQ(cycle.retryFailed, c.retry);
        EXPECT_EQ(cycle.mainInbox, c.main);
        EXPECT_EQ(cycle.alternate, c.alternate);
    }
}

TEST(ImportThreadRegistration, AddsOnlyTheImporter) {
    auto other = [](void*) -> unsigned { return 7; };
    ExchangeThreadProcs procs;
    procs.mailSendThread = other;
    AddImportFromInboxThread(procs);
    EXPECT_EQ(procs.importFromInboxThread, &ImportFromInboxThread);
    EXPECT_EQ(procs.mailSendThread, +other);
    EXPECT_EQ(procs.delMailSendThread, nullptr);
}

class ImportThreadTest : public ImportTest {
protected:
    void StartImporter() {
        ExchangeThreadProcs procs;
        AddImportFromInboxThread(procs);
        SetExchangeThreadProcs(procs);
        StartThreads(m_engine.get());
    }
    static CComPtr<QMRMessage> PlainMail(QMRMAPIFolder* folder, const wchar_t* subject) {
        CComPtr<QMRMessage> mail = NewItem(folder, L"IPM.Note", subject);
        EXPECT_EQ(mail->PutBody(CComBSTR(L"just a mail")), S_OK);
        EXPECT_EQ(mail->Save(), S_OK);
        return mail;
    }
    static std::vector<std::wstring> Subjects(QMRMAPIFolder* folder) {
        std::vector<std::wstring> subjects;
        for (LONG i = 1; i <= FolderCount(folder); ++i)
            subjects.push_back(Subject(FolderItem(folder, i)));
        return subjects;
    }
};

TEST_F(ImportThreadTest, SyncAndPacketMailsMoveToTheAddinFolderOthersStay) {
    CComPtr<QMRMAPIFolder> inbox = InboxFolder();
    PlainMail(inbox, L"Hello");
    NewItem(inbox, L"IPM.Note", L"QMRX$BASICSYNCPACKET:1.1.2027 10:00:00");
    PutSyncMail(inbox, BertItem(L"Change"), L"Team", L"pw");
    NewItem(inbox, L"IPM.Note", L">-Quillmere-< ERROR:NO TARGET");

    CComBSTR entryId, storeId;
    ASSERT_EQ(inbox->GetEntryID(&entryId), S_OK);
    ASSERT_EQ(inbox->GetStoreID(&storeId), S_OK);
    EXPECT_EQ(MoveInboxSyncMailsToAddinFolder(m_engine.get(), m_engine->Session(), m_utils, entryId,
                                              storeId),
              S_OK);

    EXPECT_EQ(Subjects(InboxFolder()), std::vector<std::wstring>{L"Hello"});
    std::vector<std::wstring> moved = Subjects(AddinFolder());
    ASSERT_EQ(moved.size(), 3u);
    EXPECT_EQ(std::count_if(moved.begin(), moved.end(),
                            [](const std::wstring& s) { return s.rfind(L"QMRX$", 0) == 0; }),
              1);
    // A source folder that can't be opened ends the pass.
    EXPECT_TRUE(FAILED(MoveInboxSyncMailsToAddinFolder(m_engine.get(), m_engine->Session(), m_utils,
                                                       CComBSTR(L"00DEAD"), storeId)));
    EXPECT_TRUE(ErrorLogHas("cISM2PF:inbox"));
}

TEST_F(ImportThreadTest, AlternatePassWithoutAlternateInboxesStillImports) {
    // Nothing to collect, but the unpacking and the import run after the
    // empty walk of the folder table.
    PutSyncMail(AddinFolder(), BertItem(L"Waiting in Quillmere"), L"Team", L"pw");
    m_engine->m_alternateInboxRequest = true;
    StartImporter();
    ASSERT_TRUE(WaitFor(
        [&] { return TargetSubjects() == std::vector<std::wstring>{L"Waiting in Quillmere"}; }));
    EXPECT_TRUE(WaitFor([&] { return !m_engine->m_alternateInboxRequest.load(); }));
    EXPECT_FALSE(DebugLogHas("Alternativer Posteingang id:"));
}

// The importer's minutes (on the virtual clock) begin at its first cycle and
// then at the first 1-s cycle more than 60 s after the last turn: minute m
// begins (m - 1) * 61 s after the start, give or take the seconds its
// passes wait.
constexpr DWORD kImportMinuteMs = 61000;

TEST_F(ImportThreadTest, FailedMailsAreTakenUpAgainOnlyInTheTenthMinute) {
    PutSyncMail(AddinFolder(), BertItem(L"Late share"), L"Later", L"pw");
    ProcessSyncItems(m_engine.get(), m_engine->Session(), m_utils, false);
    ASSERT_EQ(Subject(FolderItem(AddinFolder(), 1)), L">-Quillmere-< ERROR:NO TARGET");
    AddShare(L"Later", L"pw");

    const DWORD start = GetTickCount();
    StartImporter();
    ASSERT_TRUE(
        WaitFor([&] { return TargetSubjects() == std::vector<std::wstring>{L"Late share"}; }));
    // The passes of the minutes before the tenth leave the marked mail
    // alone; the tenth minute's retry takes it, long before the eleventh.
    const DWORD taken = GetTickCount() - start;
    EXPECT_GT(taken, 9u * kImportMinuteMs);
    EXPECT_LT(taken, 10u * kImportMinuteMs);
    // The mail goes once the target item is saved.
    EXPECT_TRUE(WaitFor([&] { return FolderCount(AddinFolder()) == 0; }));
}

// A mail that keeps failing is taken up once in each tenth minute: one
// report per retry, and its mark stays the first one.
TEST_F(ImportThreadTest, FailingMailIsRetriedOnceInEachTenthMinute) {
    win::SetTimeScaleForTesting(600);
    PutSyncMail(AddinFolder(), BertItem(L"Locked"), L"Team", L"another password");
    ProcessSyncItems(m_engine.get(), m_engine->Session(), m_utils, false);
    ASSERT_EQ(Subject(FolderItem(AddinFolder(), 1)), L">-Quillmere-< ERROR:PASSWORD");
    auto reports = [&] { return ErrorLogCount("Extrract failed"); };
    ASSERT_EQ(reports(), 1u);

    StartImporter();
    // The retry of minute 20 came: minute 10 is over.
    ASSERT_TRUE(WaitFor([&] { return reports() >= 3; })) << reports();
    // Two minutes more lie far before minute 30.
    const DWORD seen = GetTickCount();
    while (GetTickCount() - seen < 2u * 60000u)
        Sleep(1000);
    StopFlag = true;
    ASSERT_TRUE(WaitFor([] { return GetRunningThreadCount() == 0; }));
    EXPECT_EQ(reports(), 3u) << "the first pass, then minutes 10 and 20 once each";
    ASSERT_EQ(FolderCount(AddinFolder()), 1);
    EXPECT_EQ(Subject(FolderItem(AddinFolder(), 1)), L">-Quillmere-< ERROR:PASSWORD");
    EXPECT_TRUE(TargetSubjects().empty());
}

TEST_F(ImportThreadTest, NewMailRequestImportsWhatArrivedInTheInbox) {
    CComPtr<QMRMessage> local = AnnItem(L"Before");
    CComPtr<QMRMessage> sent = BertItem(L"After");
    CopySyncId(sent, local);
    PutSyncMail(InboxFolder(), sent, L"Team", L"pw");
    PlainMail(InboxFolder(), L"Hello");
    m_engine->m_mainInboxRequest = true;

    StartImporter();
    ASSERT_TRUE(WaitFor([&] { return TargetSubjects() == std::vector<std::wstring>{L"After"}; }));
    EXPECT_TRUE(WaitFor([&] { return !m_engine->m_mainInboxRequest.load(); }));
    EXPECT_EQ(Subjects(InboxFolder()), std::vector<std::wstring>{L"Hello"});
    EXPECT_TRUE(WaitFor([&] { return FolderCount(AddinFolder()) == 0; }));

    StopFlag = true;
    ASSERT_TRUE(WaitFor([] { return GetRunningThreadCount() == 0; }));
    EXPECT_TRUE(DebugLogHas("Thread ImportFromInboxThread endet (0)"));
}

TEST_F(ImportThreadTest, WithoutRequestsTheInboxIsTakenAtTheSecondMinute) {
    PutSyncMail(InboxFolder(), BertItem(L"Scheduled"), L"Team", L"pw");
    const DWORD start = GetTickCount();
    StartImporter();
    ASSERT_TRUE(
        WaitFor([&] { return TargetSubjects() == std::vector<std::wstring>{L"Scheduled"}; }));
    // Not within the first minute; in the second, at its first cycle.
    const DWORD taken = GetTickCount() - start;
    EXPECT_GT(taken, kImportMinuteMs);
    EXPECT_LT(taken, 2u * kImportMinuteMs);
}

TEST_F(ImportThreadTest, AlternateInboxRequestCollectsFromEveryAlternateInbox) {
    CComPtr<QMRFolders> subfolders;
    ASSERT_EQ(InboxFolder()->GetFolders(&subfolders), S_OK);
    CComPtr<QMRMAPIFolder> alternate;
    ASSERT_EQ(subfolders->Add(CComBSTR(L"Shared mails"), &alternate), S_OK);
    CComBSTR entryId, storeId;
    ASSERT_EQ(alternate->GetEntryID(&entryId), S_OK);
    ASSERT_EQ(alternate->GetStoreID(&storeId), S_OK);
    auto object = std::make_unique<CFolderObj>(nullptr, CFolderObj::kAlternateInbox, false,
                                               std::wstring(entryId), std::wstring(storeId));
    object->Start();
    ASSERT_TRUE(m_engine->AppendFolder(object.release()));

    PutSyncMail(alternate, BertItem(L"Via the side door"), L"Team", L"pw");
    m_engine->m_alternateInboxRequest = true;
    StartImporter();
    ASSERT_TRUE(WaitFor(
        [&] { return TargetSubjects() == std::vector<std::wstring>{L"Via the side door"}; }));
    EXPECT_EQ(FolderCount(alternate), 0);
    EXPECT_TRUE(WaitFor([&] { return !m_engine->m_alternateInboxRequest.load(); }));
    EXPECT_TRUE(DebugLogHas("Alternativer Posteingang id: 2"));
}

TEST_F(ImportThreadTest, WithoutAHelperSessionTheThreadEndsAtOnce) {
    SetHelperObjectCreatorForTesting([](const wchar_t*, REFIID, void** out) -> HRESULT {
        return *out = nullptr, REGDB_E_CLASSNOTREG;
    });
    PutSyncMail(InboxFolder(), BertItem(L"Never"), L"Team", L"pw");
    m_engine->m_mainInboxRequest = true;
    StartImporter();
    EXPECT_TRUE(WaitFor([&] { return ErrorLogHas("IMPINBThread:Failed2Start"); }));
    EXPECT_TRUE(WaitFor([] { return GetRunningThreadCount() == 0; }));
    SetHelperObjectCreatorForTesting(nullptr);
    EXPECT_TRUE(TargetSubjects().empty());
    EXPECT_TRUE(m_engine->m_mainInboxRequest.load());
}

}  // namespace
