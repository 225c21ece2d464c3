// The outbox re-check over the real helper library with a recording mail
// transport: waiting sync and packet mails are submitted once through the
// configured account, nothing happens while a builder holds OutboxLock; the
// folder restart rebuilds the table from the registry; the shut-down clears
// every run flag.
#include "Quillmere/exchange/OutboxRecheck.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Quillmere/core/AddinTestSupport_test.h"
#include "Quillmere/core/HiddenWindow.h"
#include "Quillmere/core/Settings.h"
#include "Quillmere/exchange/DelMailSender.h"
#include "Quillmere/exchange/ImportFromInbox.h"
#include "Quillmere/exchange/QueueTestSupport_test.h"
#include "Quillmere/tracking/OwnChanges.h"
#include "platform/rdo/MailTransport.h"
#include "platform/win/MessageLoop.h"
#include "platform/win/Registry.h"
#include "platform/win/Timer.h"
#include "platform/win/VirtualClockTestSupport.h"

namespace {

constexpr ULONG kPrSubjectW = 0x0037001F;
constexpr ULONG kPrSenderEmailW = 0x0C1F001F;

class RecordingTransport final : public rdo::IMailTransport {
public:
    HRESULT SubmitMail(const rdo::SubmittedMail& mail) override {
        std::lock_guard<std::mutex> lock(m_lock);
        m_mails.push_back(mail);
        return S_OK;
    }
    std::vector<rdo::SubmittedMail> Mails() {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_mails;
    }
    std::vector<std::wstring> Subjects() {
        std::vector<std::wstring> subjects;
        for (const auto& mail : Mails())
            subjects.push_back(mail.content.props.GetText(kPrSubjectW).value_or(L"?"));
        return subjects;
    }

private:
    std::mutex m_lock;
    std::vector<rdo::SubmittedMail> m_mails;
};

class OutboxRecheckTest : public QueueTest {
protected:
    void SetUp() override {
        QueueTest::SetUp();
        ASSERT_EQ(Session()->GetDefaultFolder(kOutbox, &m_outbox), S_OK);
        m_transport = std::make_shared<RecordingTransport>();
        rdo::SetMailTransport(m_transport);
    }
    void TearDown() override {
        rdo::SetMailTransport(nullptr);
        m_outbox.Release();
        QueueTest::TearDown();
    }

    // A mail waiting in the Outbox, addressed to Bert.
    CComPtr<QMRMessage> Waiting(const wchar_t* subject) {
        CComPtr<QMRMessage> mail = NewMessage(subject, L"IPM.Note", m_outbox);
        EXPECT_EQ(mail->PutTo(CComBSTR(L"bert@example.org")), S_OK);
        EXPECT_EQ(mail->Save(), S_OK);
        return mail;
    }

    std::vector<std::wstring> OutboxSubjects() {
        std::vector<std::wstring> subjects;
        CComPtr<QMRItems> items;
        EXPECT_EQ(m_outbox->GetItems(&items), S_OK);
        LONG count = 0;
        items->GetCount(&count);
        for (LONG i = 1; i <= count; ++i) {
            CComPtr<QMRMessage> mail;
            CComBSTR subject;
            if (SUCCEEDED(items->Item(i, &mail)) && SUCCEEDED(mail->GetSubject(&subject)))
                subjects.push_back(std::wstring(subject));
        }
        return subjects;
    }

    CComPtr<QMRMAPIFolder> m_outbox;
    std::shared_ptr<RecordingTransport> m_transport;
};

TEST_F(OutboxRecheckTest, WaitingSyncAndPacketMailsAreSubmittedOnce) {
    Waiting(L">-Quillmere-< 10.12.2026 11:00:00");
    Waiting(L"Lunch on Friday");
    Waiting(L"QMRX$BASICSYNCPACKET:10.12.2026 11:00:10");

    RecheckOutbox(m_engine.get(), Session());

    EXPECT_EQ(m_transport->Subjects(),
              (std::vector<std::wstring>{L">-Quillmere-< 10.12.2026 11:00:00",
                                         L"QMRX$BASICSYNCPACKET:10.12.2026 11:00:10"}));
    EXPECT_EQ(OutboxSubjects(), std::vector<std::wstring>{L"Lunch on Friday"});
    EXPECT_TRUE(DebugLogHas("RecheckOutbox:Sending >-Quillmere-< 10.12.2026 11:00:00"));

    // The next heartbeat finds nothing left to send.
    RecheckOutbox(m_engine.get(), Session());
    EXPECT_EQ(m_transport->Mails().size(), 2u);
}

TEST_F(OutboxRecheckTest, MailSubmittedAlreadyIsNotSentAgain) {
    CComPtr<QMRMessage> mail = Waiting(L">-Quillmere-< submitted");
    // Submitted while no transport was there: it stays submitted in the Outbox.
    rdo::SetMailTransport(nullptr);
    CComPtr<QMRSafeMailItem> safe;
    ASSERT_EQ(CreateSafeMailItem(m_engine.get(), &safe), S_OK);
    ASSERT_EQ(safe->PutItem(mail), S_OK);
    ASSERT_EQ(safe->Send(), S_OK);
    rdo::SetMailTransport(m_transport);
    Waiting(L">-Quillmere-< waiting");

    RecheckOutbox(m_engine.get(), Session());

    EXPECT_EQ(m_transport->Subjects(), std::vector<std::wstring>{L">-Quillmere-< waiting"});
    EXPECT_FALSE(ErrorLogHas("Failed To ReSend"));
}

TEST_F(OutboxRecheckTest, PassIsSkippedWhileABuilderHoldsTheOutboxLock) {
    Waiting(L">-Quillmere-< built");
    std::mutex m;
    std::condition_variable cv;
    bool held = false, release = false;
    std::thread builder([&] {
        EnterCriticalSection(&OutboxLock);
        {
            std::unique_lock<std::mutex> lock(m);
            held = true;
            cv.notify_all();
            cv.wait(lock, [&] { return release; });
        }
        LeaveCriticalSection(&OutboxLock);
    });
    {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] { return held; });
    }

    RecheckOutbox(m_engine.get(), Session());
    EXPECT_TRUE(m_transport->Mails().empty());
    EXPECT_EQ(OutboxSubjects().size(), 1u);

    {
        std::lock_guard<std::mutex> lock(m);
        release = true;
    }
    cv.notify_all();
    builder.join();
    RecheckOutbox(m_engine.get(), Session());
    EXPECT_EQ(m_transport->Mails().size(), 1u);
    EXPECT_TRUE(OutboxSubjects().empty());
}

struct AccountCase {
    const char* name;
    LONG configured;
    const wchar_t* sender;  // the sender address the transport sees; null: not the chosen one
};

class AccountChoiceTest : public OutboxRecheckTest,
                          public ::testing::WithParamInterface<AccountCase> {};

TEST_P(AccountChoiceTest, ConfiguredAccountSendsTheMail) {
    const AccountCase& c = GetParam();
    m_engine->SetMailAccountIndex(c.configured);
    Waiting(L">-Quillmere-< account");
    RecheckOutbox(m_engine.get(), Session());
    std::vector<rdo::SubmittedMail> mails = m_transport->Mails();
    ASSERT_EQ(mails.size(), 1u);
    std::wstring sender = mails[0].content.props.GetText(kPrSenderEmailW).value_or(L"");
    if (c.sender)
        EXPECT_EQ(sender, c.sender);
    else
        EXPECT_NE(sender, L"ann@home.example");
}

// The profile's accounts: "Ann Work" number 7 (the default, first in the
// sending order) and "Ann Home" number 3.
INSTANTIATE_TEST_SUITE_P(
    Cases, AccountChoiceTest,
    ::testing::Values(AccountCase{"SecondAccountByNumber", 3, L"ann@home.example"},
                      AccountCase{"FirstAccountByNumber", 7, L"ann@work.example"},
                      AccountCase{"DefaultAccount", -1, nullptr},
                      AccountCase{"UnknownNumberKeepsItsOwn", 99, nullptr}),
    [](const ::testing::TestParamInfo<AccountCase>& info) { return info.param.name; });

class RestartTest : public OutboxRecheckTest {
protected:
    // The Inbox as a synchronised folder under that share name.
    void ConfigureInbox(const std::wstring& shareName) {
        HKEY key = nullptr;
        ASSERT_NO_FATAL_FAILURE(addintest::CreateFolderKey(m_inboxId, key));
        DWORD used = 1;
        RegSetValueExW(key, L"used", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&used),
                       sizeof used);
        addintest::SetRegistryText(key, L"SID", m_storeId);
        addintest::SetRegistryText(key, L"ShareName", shareName);
        RegCloseKey(key);
        m_outlook->folders[m_inboxId] = {m_storeId, L"Inbox"};
    }
};

TEST_F(RestartTest, RestartRebuildsTheFolderTableFromTheRegistry) {
    CHiddenWindow heartbeat;
    ASSERT_TRUE(heartbeat.Create());
    m_engine->SetHeartbeatWindow(heartbeat.Handle());
    heartbeat.Arm(kHeartbeatConnectPeriod);
    ConfigureInbox(L"Old");
    LoadSettings(m_engine.get(), false);
    ASSERT_EQ(m_engine->GetFolderCount(), 1u) << Read(L"Quillmere_debug.log");
    CFolderObj* old = m_engine->GetFolderEntry(0, true);
    ASSERT_EQ(old->m_shareName, L"Old");
    // An entry that was stopped already is freed all the same.
    AddInboxFolder(L"Stale")->Stop();
    // The folder threads load their lists (an empty one is loaded again
    // after 3 s) and take their 1-s turns; the restart comes half a turn in.
    Sleep(5500);

    ConfigureInbox(L"New");
    const DWORD restart = GetTickCount();
    EXPECT_TRUE(RestartThreads(m_engine.get()));
    // The folder's thread ends at its next turn, within the 2-s grace, so
    // its destruction waits no longer (the fixture runs on the virtual
    // clock).
    const DWORD restarted = GetTickCount();
    EXPECT_EQ(restarted - restart, 2000u);

    ASSERT_EQ(m_engine->GetFolderCount(), 1u);
    CFolderObj* fresh = m_engine->GetFolderEntry(0, false);
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(fresh->m_shareName, L"New");
    EXPECT_TRUE(fresh->IsRunning());
    EXPECT_TRUE(DebugLogHas("---Optionsdialog - Restart Threads---"));
    EXPECT_TRUE(DebugLogHas("---Optionsdialog - Settings changed---"));
    EXPECT_TRUE(DebugLogHas("Folder Old has sent"));
    EXPECT_TRUE(DebugLogHas("Folder Stale has sent"));
    // Timer 1 runs again, at the 10-s period from the restart's end (taken
    // without dispatching: the tick's own work is not under test).
    EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, FALSE, 60000, QS_ALLINPUT), WAIT_OBJECT_0);
    MSG msg{};
    ASSERT_TRUE(PeekMessageW(&msg, heartbeat.Handle(), WM_TIMER, WM_TIMER, PM_REMOVE));
    EXPECT_EQ(msg.wParam, kHeartbeatTimerId);
    EXPECT_EQ(GetTickCount() - restarted, kHeartbeatDuePeriod);
    EXPECT_TRUE(KillTimer(heartbeat.Handle(), kHeartbeatTimerId));
    m_engine->SetHeartbeatWindow(nullptr);
    heartbeat.Destroy();
}

// The use of a folder entry that HoldUse holds, and when it let go.
struct HeldUse {
    std::atomic<const char*> user{nullptr};
    std::atomic<bool> entered{false};
    std::atomic<DWORD> releasedAt{0};
};
HeldUse g_held;

// Holds the path named g_held.user inside its use of the entry until the
// reload has stopped the entry and 3 s (platform) longer: past the reload's
// 2-s grace, when a destruction that did not wait for the use has freed it.
void HoldUse(const char* user, CFolderObj* folder) {
    const char* held = g_held.user.load();
    if (!held || std::strcmp(user, held) != 0)
        return;
    g_held.entered = true;
    win::WaitForCondition([folder] { return !folder->IsRunning(); }, INFINITE);
    Sleep(3000);
    g_held.releasedAt = GetTickCount();
}

// The exchange threads run on through a reload: each path of theirs that
// reads a folder entry keeps it alive until it is done with it.
TEST_F(RestartTest, ReloadFreesAnEntryOnlyAfterTheExchangeThreadsLetGoOfIt) {
    using Path = std::function<void(CSyncEngine*, QMRRDOSession*, QMRMAPIUtils*)>;
    struct Case {
        const char* user;
        LONG kind;
        Path run;
    };
    const std::wstring inboxId = m_inboxId;
    const Case cases[] = {
        {"SelfModifiedItem", CFolderObj::kSharedFolder,
         [inboxId](CSyncEngine* engine, QMRRDOSession* session, QMRMAPIUtils* utils) {
             SelfModifiedItem(engine, session, utils, inboxId, SysAllocString(L"00AB"));
         }},
        {"RemoveFromChangeList", CFolderObj::kSharedFolder,
         [](CSyncEngine* engine, QMRRDOSession*, QMRMAPIUtils*) {
             RemoveFromChangeList(engine, SysAllocString(L"00AB"), L"Team");
         }},
        {"RunAlternatePass", CFolderObj::kAlternateInbox,
         [](CSyncEngine* engine, QMRRDOSession* session, QMRMAPIUtils* utils) {
             RunAlternatePass(engine, session, utils);
         }},
    };
    SetFolderUseHookForTesting(&HoldUse);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.user);
        ASSERT_NE(addintest::StartInTable(
                      *m_engine, addintest::NewFolderObject(m_inboxId, m_storeId, L"Team", c.kind)),
                  nullptr);
        g_held.user = c.user;
        g_held.entered = false;
        g_held.releasedAt = 0;
        CSyncEngine* engine = m_engine.get();
        win::testing::PlatformThread exchangeThread([engine, &c] {
            CoInitialize(nullptr);
            {
                CComPtr<QMRRDOSession> session = AttachExchangeThreadSession(engine);
                CComPtr<QMRMAPIUtils> utils;
                CreateMAPIUtils(engine, &utils);
                c.run(engine, session, utils);
            }
            CoUninitialize();
        });
        ASSERT_TRUE(win::WaitForCondition([] { return g_held.entered.load(); }, 60000));
        EXPECT_TRUE(RestartThreads(m_engine.get()));
        const DWORD restarted = GetTickCount();
        exchangeThread.Join();
        ASSERT_NE(g_held.releasedAt.load(), 0u);
        EXPECT_GE(restarted, g_held.releasedAt.load())
            << "the entry was freed before its use ended";
        EXPECT_EQ(m_engine->GetFolderCount(), 0u);
    }
    g_held.user = nullptr;
    SetFolderUseHookForTesting(nullptr);
}

TEST_F(RestartTest, ShutdownClearsEveryRunFlagAndSetsTheStopFlags) {
    CFolderObj* first = AddInboxFolder(L"One");
    AddInboxFolder(L"Two")->Stop();
    CFolderObj* third = AddInboxFolder(L"Three");
    StopFlag = false;
    InitiateShutdown(m_engine.get());
    EXPECT_TRUE(StopFlag.load());
    EXPECT_TRUE(m_engine->m_shutdown.load());
    EXPECT_FALSE(first->IsRunning());
    // Also past the entry that was stopped already.
    EXPECT_FALSE(third->IsRunning());
    EXPECT_TRUE(DebugLogHas("Shutdown initiated"));
}

}  // namespace
