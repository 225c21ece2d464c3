// The deletion-notice sender over the real helper library and a profile made
// for the test (outlook-host init): queued deletions become notices in the
// Outbox, unknown shares are dropped, the thread stops on StopFlag and keeps
// what is still queued in the deletion queue file.
#include "Quillmere/exchange/DelMailSender.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Quillmere/core/AddinGlobals.h"
#include "Quillmere/core/AddinTestSupport_test.h"
#include "Quillmere/core/DebugLog.h"
#include "Quillmere/core/FakeHelperLibrary_test.h"
#include "Quillmere/core/FolderObj.h"
#include "Quillmere/core/Settings.h"
#include "Quillmere/core/SyncEngine.h"
#include "Quillmere/exchange/PacketMails.h"
#include "Quillmere/exchange/SendQueues.h"
#include "Quillmere/exchange/SyncMailFormat.h"
#include "Quillmere/resources/LoadString.h"
#include "platform/com/Com.h"
#include "platform/win/Clock.h"
#include "platform/win/Environment.h"
#include "platform/win/MessageBox.h"
#include "platform/win/Module.h"
#include "platform/win/Paths.h"
#include "platform/win/Registry.h"
#include "platform/win/Text.h"

namespace {

namespace fs = std::filesystem;

class DelMailSenderTest : public addintest::HostProfileTest {
protected:
    DelMailSenderTest() : HostProfileTest("qm_delsender") {}

    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(HostProfileTest::SetUp());
        ASSERT_NO_FATAL_FAILURE(
            addintest::MakeEngine(std::make_unique<fakes::FakeOutlook>(), m_temp, m_engine));
        addintest::MakeProcessEngine(m_engine.get(), m_temp);

        // The share's folder: the Inbox, with one partner.
        CComPtr<QMRMAPIFolder> inbox;
        ASSERT_EQ(m_engine->Session()->GetDefaultFolder(6, &inbox), S_OK);
        ASSERT_NO_FATAL_FAILURE(addintest::FolderIds(inbox, m_inboxId, m_storeId));
        m_team = addintest::StartInTable(*m_engine,
                                         addintest::NewFolderObject(m_inboxId, m_storeId, L"Team"));
        ASSERT_NE(m_team, nullptr);
        addintest::AddFolderUser(m_inboxId, L"bert@example.org");

        ExchangeThreadProcs procs;
        AddDelMailSendThread(procs);
        SetExchangeThreadProcs(procs);
    }

    void TearDown() override {
        addintest::StopAddinThreads();
        DelMailSenderList.Clear();
        addintest::DestroyEngine(m_engine);
        HostProfileTest::TearDown();
    }

    static void Queue(const wchar_t* syncId, const wchar_t* share) {
        ASSERT_TRUE(DelMailSenderList.Append(
            std::make_unique<CDelMail2Send>(SysAllocString(syncId), share)));
    }

    LONG OutboxCount() {
        CComPtr<QMRMAPIFolder> outbox;
        CComPtr<QMRItems> items;
        LONG count = -1;
        if (SUCCEEDED(m_engine->Session()->GetDefaultFolder(4, &outbox)) &&
            SUCCEEDED(outbox->GetItems(&items)))
            items->GetCount(&count);
        return count;
    }

    CComPtr<QMRMessage> OutboxItem(LONG index) {
        CComPtr<QMRMAPIFolder> outbox;
        CComPtr<QMRItems> items;
        CComPtr<QMRMessage> message;
        if (SUCCEEDED(m_engine->Session()->GetDefaultFolder(4, &outbox)) &&
            SUCCEEDED(outbox->GetItems(&items)))
            items->Item(index, &message);
        return message;
    }

    static std::size_t Count(const std::string& text, const std::string& what) {
        std::size_t count = 0;
        for (std::size_t at = text.find(what); at != std::string::npos;
             at = text.find(what, at + what.size()))
            ++count;
        return count;
    }

    // Lists key in folder's change list, as a folder check would. A shared
    // folder's own thread loads the list at its start (replacing what it
    // held): it must have done so first.
    void List(CFolderObj* folder, const wchar_t* key) {
        if (folder->Kind() == CFolderObj::kSharedFolder) {
            const std::string running = "Thread is running for " + win::ToAnsi(folder->m_shareName);
            ASSERT_TRUE(WaitFor(
                [&] { return Read(L"Quillmere_debug.log").find(running) != std::string::npos; }));
        }
        ASSERT_EQ(folder->Sink()->AddToChangeList(m_engine->Session(), m_engine->Utils(),
                                                  SysAllocString(key), false),
                  S_OK);
    }
    static bool Lists(CFolderObj* folder, const std::wstring& key) {
        for (const ChangeKeyEntry& entry : folder->Sink()->ChangeKeylistEntries())
            if (entry.key == key)
                return true;
        return false;
    }
    // Another entry of the table for the Inbox.
    CFolderObj* AddEntry(LONG kind, const std::wstring& shareName) {
        CFolderObj* folder = addintest::StartInTable(
            *m_engine, addintest::NewFolderObject(m_inboxId, m_storeId, shareName, kind));
        EXPECT_NE(folder, nullptr);
        return folder;
    }

    CFolderObj* m_team = nullptr;  // owned by the engine's table
    std::wstring m_inboxId;
    std::wstring m_storeId;
};

TEST_F(DelMailSenderTest, QueuedDeletionBecomesOneNoticeInTheOutbox) {
    ASSERT_EQ(OutboxCount(), 0);
    List(m_team, L"00AB12CD");
    List(m_team, L"00EEFF");
    Queue(L"00AB12CD", L"Team");
    StartThreads(m_engine.get());
    ASSERT_TRUE(WaitFor([&] { return OutboxCount() == 1 && DelMailSenderList.Count() == 0; }));
    ASSERT_TRUE(WaitFor([&] {
        return Read(L"Quillmere_debug.log").find("sendDelMessage OK") != std::string::npos;
    }));
    EXPECT_EQ(OutboxCount(), 1);

    CComPtr<QMRMessage> mail = OutboxItem(1);
    ASSERT_NE(mail, nullptr);
    CComBSTR subject, body, to;
    ASSERT_EQ(mail->GetSubject(&subject), S_OK);
    ASSERT_EQ(mail->GetBody(&body), S_OK);
    ASSERT_EQ(mail->GetTo(&to), S_OK);
    std::wstring subjectText(subject);
    EXPECT_EQ(subjectText.rfind(L">-Quillmere-< ", 0), 0u) << win::ToUtf8(subjectText);
    EXPECT_GT(subjectText.size(), 14u);
    syncmail::SyncMailMarkers markers = syncmail::ReadSyncMailMarkers(std::wstring(body));
    EXPECT_EQ(markers.kind, syncmail::SyncMailKind::kDeletionNotice);
    EXPECT_EQ(markers.shareName, L"Team");
    EXPECT_EQ(markers.syncIdText, L"00AB12CD");
    std::wstring intro;
    ASSERT_TRUE(
        LoadString(AddinResourceModule(), syncmail::kIntroStringId, g_UILanguage.load(), intro));
    EXPECT_EQ(std::wstring(body),
              intro + std::wstring(40, L'\n') + L"is:FALSE:is\nlf:Team:lf\nid:00AB12CD:id\n");
    EXPECT_EQ(std::wstring(body), syncmail::BuildDeletionNoticeBody(intro, L"Team", L"00AB12CD"));
    EXPECT_NE(std::wstring(to).find(L"bert@example.org"), std::wstring::npos)
        << win::ToUtf8(std::wstring(to));
    VARIANT_BOOL submitted = VARIANT_TRUE;
    ASSERT_EQ(mail->GetSubmitted(&submitted), S_OK);
    EXPECT_EQ(submitted, VARIANT_FALSE);  // the outbox re-check sends it
    CComVariant icon;
    ASSERT_EQ(mail->GetFields(CComVariant(LONG(0x10800003)), &icon), S_OK);
    EXPECT_EQ(icon.lVal, 0x202);

    // The deleted item is no longer tracked (right after the notice is
    // saved); the folder's other items are.
    EXPECT_TRUE(WaitFor([&] { return !Lists(m_team, L"00AB12CD"); }));
    EXPECT_TRUE(Lists(m_team, L"00EEFF"));
    EXPECT_NE(Read(L"Quillmere_debug.log").find("RemoveFromChangeList"), std::string::npos);

    StopFlag = true;
    ASSERT_TRUE(WaitFor([] { return GetRunningThreadCount() == 0; }));
    EXPECT_NE(Read(L"Quillmere_debug.log").find("Thread DelMailSendThread endet (0)"),
              std::string::npos);
}

TEST_F(DelMailSenderTest, UnknownShareIsDroppedAndLeavesNothingInTheOutbox) {
    Queue(L"0011", L"Gone");
    Queue(L"0022", L"Team");
    StartThreads(m_engine.get());
    ASSERT_TRUE(WaitFor([&] {
        return Read(L"Quillmere_debug.log").find("sendDelMessage OK") != std::string::npos;
    }));
    EXPECT_NE(Read(L"Quillmere_error.log").find("Sharename from Deleted message not found"),
              std::string::npos);
    ASSERT_EQ(OutboxCount(), 1);
    CComBSTR body;
    ASSERT_EQ(OutboxItem(1)->GetBody(&body), S_OK);
    EXPECT_EQ(syncmail::ReadSyncMailMarkers(std::wstring(body)).syncIdText, L"0022");
}

// The folder page takes share names of up to 259 characters: a deletion in
// such a folder reaches the partners like any other.
TEST_F(DelMailSenderTest, LongShareNamesUpToTheFolderSettingsLimitSendTheirNotices) {
    std::vector<std::wstring> names;
    for (std::size_t length : {255u, 256u, 257u, 259u}) {
        std::wstring name = L"Share" + std::to_wstring(length) + L"-";
        name.resize(length, L'x');
        names.push_back(name);
        ASSERT_NE(addintest::StartInTable(*m_engine,
                                          addintest::NewFolderObject(m_inboxId, m_storeId, name)),
                  nullptr);
        Queue((L"00AB" + std::to_wstring(length)).c_str(), name.c_str());
    }
    StartThreads(m_engine.get());
    ASSERT_TRUE(WaitFor([&] {
        return DelMailSenderList.Count() == 0 &&
               Count(Read(L"Quillmere_debug.log"), "sendDelMessage OK") == names.size();
    })) << Read(L"Quillmere_error.log");
    ASSERT_EQ(OutboxCount(), static_cast<LONG>(names.size()));
    std::vector<std::wstring> shares;
    for (LONG i = 1; i <= OutboxCount(); ++i) {
        CComBSTR body;
        ASSERT_EQ(OutboxItem(i)->GetBody(&body), S_OK);
        syncmail::SyncMailMarkers markers = syncmail::ReadSyncMailMarkers(std::wstring(body));
        EXPECT_EQ(markers.kind, syncmail::SyncMailKind::kDeletionNotice);
        shares.push_back(markers.shareName);
    }
    std::sort(shares.begin(), shares.end());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(shares, names);
    EXPECT_EQ(Read(L"Quillmere_error.log").find("Sharename from Deleted message not found"),
              std::string::npos);
}

TEST_F(DelMailSenderTest, FolderWithoutPartnersSendsNothing) {
    // Sent Items of the same store, shared as "Lonely", has no Users key.
    CComPtr<QMRMAPIFolder> sent;
    ASSERT_EQ(m_engine->Session()->GetDefaultFolder(5, &sent), S_OK);
    CComBSTR entryId, storeId;
    ASSERT_EQ(sent->GetEntryID(&entryId), S_OK);
    ASSERT_EQ(sent->GetStoreID(&storeId), S_OK);
    auto folder = std::make_unique<CFolderObj>(nullptr, CFolderObj::kSharedFolder, false,
                                               std::wstring(entryId), std::wstring(storeId));
    folder->m_shareName = L"Lonely";
    folder->Start();
    ASSERT_TRUE(m_engine->AppendFolder(folder.release()));
    ASSERT_TRUE(GetDeletionNoticeUsers(std::wstring(entryId)).empty());

    CFolderObj* lonely = m_engine->GetFolderEntry(1, false);
    ASSERT_NE(lonely, nullptr);
    List(lonely, L"0033");

    CComBSTR id(L"0033");
    EXPECT_EQ(sendDelMessage(m_engine.get(), m_engine->Session(), m_engine->Utils(), L"Lonely", id,
                             0, false),
              E_FAIL);
    EXPECT_NE(Read(L"Quillmere_error.log").find("UserList empty"), std::string::npos);
    EXPECT_EQ(OutboxCount(), 0);
    // A notice that was not built leaves the key listed.
    EXPECT_TRUE(Lists(lonely, L"0033"));
}

TEST_F(DelMailSenderTest, PartnersAreSubkeysAndValuesWithoutRepeats) {
    const std::wstring id = L"00C0FFEE";
    addintest::AddFolderUser(id, L"a@example.org");
    addintest::AddFolderUser(id, L"b@example.org");
    HKEY key = nullptr;
    std::wstring path = addintest::FolderKeyPath(id) + L"\\Users";
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_ALL_ACCESS, &key),
              ERROR_SUCCESS);
    RegSetValueExW(key, L"c@example.org", 0, REG_SZ, L"", 2);
    RegSetValueExW(key, L"a@example.org", 0, REG_SZ, L"", 2);
    RegCloseKey(key);
    std::vector<std::wstring> users = GetDeletionNoticeUsers(id);
    ASSERT_EQ(users.size(), 3u);
    EXPECT_EQ(users[2], L"c@example.org");
    EXPECT_TRUE(GetDeletionNoticeUsers(L"0BADF00D").empty());
}

TEST_F(DelMailSenderTest, NoticesStillQueuedAtStopAreKeptInTheQueueFile) {
    m_engine->m_stopped = true;  // the loop only waits: nothing is taken
    Queue(L"0044", L"Team");
    StartThreads(m_engine.get());
    ASSERT_TRUE(WaitFor([] { return GetRunningThreadCount() == 1; }));
    ASSERT_TRUE(WaitFor([&] {
        return Read(L"Quillmere_debug.log").find("LoadDelMailSendData=>ready") != std::string::npos;
    }));
    StopFlag = true;
    ASSERT_TRUE(WaitFor([] { return GetRunningThreadCount() == 0; }));
    EXPECT_EQ(OutboxCount(), 0);
    EXPECT_EQ(DelMailSenderList.Count(), 0u);
    EXPECT_EQ(Read(L"Ann.delmailsenddata.ids"), "0044;Team\r\n");

    // The next start reads the file back and sends the notice; once the
    // queue ran dry the file no longer lists it.
    m_engine->m_stopped = false;
    StartThreads(m_engine.get());
    ASSERT_TRUE(WaitFor([&] { return OutboxCount() == 1; }));
    EXPECT_TRUE(WaitFor([&] { return Read(L"Ann.delmailsenddata.ids").empty(); }));
    EXPECT_TRUE(fs::exists(*win::HostPath(m_temp + L"Ann.delmailsenddata.ids")));
}

TEST_F(DelMailSenderTest, BurstOfDeletionsIsParkedForPacketMails) {
    for (const wchar_t* id : {L"A1", L"A2", L"A3", L"A4", L"A5", L"A6"})
        Queue(id, L"Team");
    StartThreads(m_engine.get());
    ASSERT_TRUE(WaitFor([&] {
        return Read(L"Quillmere_debug.log").find("Thread DelMailSendThread: ") !=
                   std::string::npos &&
               DelMailSenderList.Count() == 0 &&
               Count(Read(L"Quillmere_debug.log"), "sendDelMessage OK") == 6;
    }));
    // The burst flag stays on until both queues are empty: every notice,
    // the last one too, is parked instead of left in the Outbox.
    std::string log = Read(L"Quillmere_debug.log");
    EXPECT_EQ(Count(log, "SaveSpecialMail saved"), 6u);
    EXPECT_EQ(Count(log, "SendMail::SaveMail"), 0u);
    EXPECT_EQ(OutboxCount(), 0);
    EXPECT_EQ(m_engine->m_parkedMailCounter.load(), 6);
    std::size_t parked = 0;
    std::string directory =
        *win::HostPath(m_temp + L"Ann\\" + PacketDirectoryName(L"bert@example.org;"));
    for (const auto& entry : fs::directory_iterator(directory))
        parked += entry.path().extension() == ".msg" ? 1 : 0;
    EXPECT_EQ(parked, 6u);
    std::wstring status;
    m_engine->GetStatusText(status);
    EXPECT_EQ(status, L" ( 1 mails)");
}

// Outside a burst a notice is parked from more than 10 waiting mails on.
TEST_F(DelMailSenderTest, NoticeIsParkedWhenMoreThanTenMailsWait) {
    struct Case {
        LONG waiting;
        bool parked;
    };
    for (const Case& c : {Case{10, false}, Case{11, true}}) {
        SCOPED_TRACE(c.waiting);
        const LONG outbox = OutboxCount();
        const LONG parked = m_engine->m_parkedMailCounter.load();
        CComBSTR id(L"B1");
        ASSERT_EQ(sendDelMessage(m_engine.get(), m_engine->Session(), m_engine->Utils(), L"Team",
                                 id, c.waiting, false),
                  S_OK);
        EXPECT_EQ(OutboxCount(), outbox + (c.parked ? 0 : 1));
        EXPECT_EQ(m_engine->m_parkedMailCounter.load(), parked + (c.parked ? 1 : 0));
    }
}

TEST_F(DelMailSenderTest, RemoveFromChangeListTakesTheKeyFromTheShareOnly) {
    CFolderObj* other = AddEntry(CFolderObj::kSharedFolder, L"Other");
    CFolderObj* alternate = AddEntry(CFolderObj::kAlternateInbox, L"Team");
    for (CFolderObj* folder : {m_team, other, alternate})
        List(folder, L"0A");
    List(alternate, L"0B");

    struct Case {
        const char* name;
        const wchar_t* key;
        const wchar_t* share;
        HRESULT result;
    };
    const Case cases[] = {
        {"listed in the share", L"0A", L"Team", S_OK},
        {"removed already", L"0A", L"Team", E_FAIL},
        // An alternate inbox of that share name is no share's folder.
        {"listed in an alternate inbox only", L"0B", L"Team", E_FAIL},
        {"share names compare exactly", L"0A", L"other", E_FAIL},
        {"unknown share", L"0A", L"Gone", E_FAIL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(RemoveFromChangeList(m_engine.get(), SysAllocString(c.key), c.share), c.result);
    }
    EXPECT_FALSE(Lists(m_team, L"0A"));
    EXPECT_TRUE(Lists(other, L"0A"));
    EXPECT_TRUE(Lists(alternate, L"0A"));
    EXPECT_TRUE(Lists(alternate, L"0B"));

    // The walk ends at the first entry that is not running.
    m_team->Stop();
    EXPECT_EQ(RemoveFromChangeList(m_engine.get(), SysAllocString(L"0A"), L"Other"), E_FAIL);
    EXPECT_TRUE(Lists(other, L"0A"));
    EXPECT_EQ(RemoveFromChangeList(m_engine.get(), nullptr, L"Other"), E_FAIL);
}

TEST_F(DelMailSenderTest, MissingHelperLibraryEndsTheThreadAndLowersTheCounter) {
    SetHelperObjectCreatorForTesting([](const wchar_t*, REFIID, void** out) -> HRESULT {
        return *out = nullptr, REGDB_E_CLASSNOTREG;
    });
    Queue(L"0055", L"Team");
    StartThreads(m_engine.get());
    ASSERT_TRUE(WaitFor([&] {
        return Read(L"Quillmere_error.log").find("DeleteMailSenderThreaD") != std::string::npos;
    }));
    EXPECT_TRUE(WaitFor([] { return GetRunningThreadCount() == 0; }));
    SetHelperObjectCreatorForTesting(nullptr);
    EXPECT_EQ(DelMailSenderList.Count(), 1u);  // nothing taken, nothing lost
    EXPECT_EQ(OutboxCount(), 0);
}

TEST(DelMailSenderRegistration, AddsOnlyTheDeletionSender) {
    auto other = [](void*) -> unsigned { return 7; };
    ExchangeThreadProcs procs;
    procs.mailSendThread = other;
    AddDelMailSendThread(procs);
    EXPECT_EQ(procs.delMailSendThread, &DelMailSendThread);
    EXPECT_EQ(procs.mailSendThread, +other);
    EXPECT_EQ(procs.importFromInboxThread, nullptr);
}

}  // namespace
