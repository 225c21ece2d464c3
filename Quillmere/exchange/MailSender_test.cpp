// The sync-mail sender thread over the real helper library and a profile
// made in the test: queued changes become Outbox mails, a burst is parked,
// the packet triggers fire, records of vanished items are dropped, and what
// is still queued at the stop survives in the queue file.
#include "Quillmere/exchange/MailSender.h"

#include <algorithm>

#include "Quillmere/exchange/QueueChange.h"
#include "Quillmere/exchange/SenderTestSupport_test.h"
#include "Quillmere/exchange/SyncMailFormat.h"

namespace {

using sendertest::SenderTest;
namespace fs = std::filesystem;

class MailSenderTest : public SenderTest {
protected:
    void SetUp() override {
        SenderTest::SetUp();
        ExchangeThreadProcs procs;
        AddMailSendThread(procs);
        SetExchangeThreadProcs(procs);
    }

    LONG SyncMailsInOutbox() {
        LONG count = 0;
        for (LONG i = 1; i <= OutboxCount(); ++i) {
            CComBSTR body;
            OutboxItem(i)->GetBody(&body);
            if (syncmail::ReadSyncMailMarkers(body.View()).kind ==
                syncmail::SyncMailKind::kSyncMail)
                ++count;
        }
        return count;
    }
    // Attachments of the packet mails in the Outbox.
    LONG PacketAttachments() {
        LONG total = 0;
        for (LONG i = 1; i <= OutboxCount(); ++i) {
            CComPtr<QMRMessage> mail = OutboxItem(i);
            CComBSTR subject;
            mail->GetSubject(&subject);
            if (subject.View().rfind(syncmail::kPacketSubjectPrefix, 0) != 0)
                continue;
            CComPtr<QMRAttachments> attachments;
            LONG count = 0;
            if (SUCCEEDED(mail->GetAttachments(&attachments)) && attachments &&
                SUCCEEDED(attachments->GetCount(&count)))
                total += count;
        }
        return total;
    }
};

TEST_F(MailSenderTest, QueuedChangeLeavesAsOneOutboxMailAndTheStateReturnsToIdle) {
    CComPtr<QMRMessage> item = NewItem(L"Agenda");
    Queue(item, L"pw");
    StartThreads(m_engine.get());
    ASSERT_TRUE(WaitFor([&] { return OutboxCount() == 1 && MailSenderList.Count() == 0; }));
    ASSERT_TRUE(WaitFor([&] { return DebugLogHas("sendSyncMessage::END"); }));
    CComBSTR body;
    ASSERT_EQ(OutboxItem(1)->GetBody(&body), S_OK);
    auto markers = syncmail::ReadSyncMailMarkers(body.View());
    EXPECT_EQ(markers.kind, syncmail::SyncMailKind::kSyncMail);
    EXPECT_EQ(markers.shareName, L"Team");
    EXPECT_EQ(markers.syncIdText, SyncIdText(item));
    EXPECT_TRUE(DebugLogHas("Mail from list: 1"));
    EXPECT_TRUE(WaitFor([&] { return m_engine->GetSyncState() == kSyncStateIdle; }));

    StopFlag = true;
    ASSERT_TRUE(WaitFor([] { return GetRunningThreadCount() == 0; }));
    EXPECT_TRUE(DebugLogHas("Thread MailSendThread: 1 / "));
    EXPECT_TRUE(DebugLogHas("Thread MailSendThread endet (0)"));
    // Nothing was left: the queue file is written empty.
    EXPECT_TRUE(fs::exists(HostPath(m_temp + L"Ann.mailsenddata.ids")));
    EXPECT_EQ(Read(L"Ann.mailsenddata.ids"), "");
}

// A meeting and plain items queued one after the other, as a folder check
// queues them: each sync mail leaves out the attendees of its own item only,
// whatever was queued after it.
TEST_F(MailSenderTest, EachSyncMailLeavesOutTheAttendeesOfItsOwnItemOnly) {
    addintest::AddFolderUser(m_folderId, L"cara@example.org");
    CFolderObj* folder = addintest::StartInTable(
        *m_engine, addintest::NewFolderObject(m_folderId, m_storeId, L"Team"));
    ASSERT_NE(folder, nullptr);
    folder->Sink()->m_shareName = L"Team";
    auto meeting = [&](const wchar_t* subject, const wchar_t* attendees) {
        CComPtr<QMRMessage> item = NewItem(subject);
        const CComVariant status(
            L"http://schemas.microsoft.com/mapi/string/"
            L"{00020329-0000-0000-C000-000000000046}/"
            L"urn:schemas:calendar:meetingstatus");
        EXPECT_EQ(item->SetFields(status, CComVariant(LONG(1))), S_OK);
        EXPECT_EQ(item->SetFields(CComVariant(LONG(0x0E04001F)), CComVariant(attendees)), S_OK);
        EXPECT_EQ(item->Save(), S_OK);
        return item;
    };
    struct Sent {
        CComPtr<QMRMessage> item;
        const wchar_t* to;
    };
    // In queue order: a meeting before a plain item, a plain item before a
    // meeting, and two meetings of different attendees.
    const Sent sent[] = {
        {meeting(L"Review", L"Cara@Example.org"), L"bert@example.org;"},
        {NewItem(L"Agenda"), L"bert@example.org;cara@example.org;"},
        {meeting(L"Lunch", L"bert@example.org; someone@example.org"), L"cara@example.org;"},
        {meeting(L"Retro", L"cara@example.org"), L"bert@example.org;"},
    };
    for (const Sent& s : sent) {
        CComVariant syncId = SearchKey(s.item);
        ASSERT_EQ(QueueSyncMessage(m_engine.get(), m_engine->Session(), m_engine->Utils(), &syncId,
                                   folder, false),
                  S_OK);
    }
    ASSERT_EQ(MailSenderList.Count(), std::size(sent));

    StartThreads(m_engine.get());
    ASSERT_TRUE(WaitFor(
        [&] { return MailSenderList.Count() == 0 && DebugLogCount("sendSyncMessage::END") == 4; }));
    ASSERT_EQ(OutboxCount(), 4);
    for (const Sent& s : sent) {
        SCOPED_TRACE(win::ToUtf8(s.to));
        std::wstring to = L"<no mail>";
        for (LONG i = 1; i <= OutboxCount(); ++i) {
            CComPtr<QMRMessage> mail = OutboxItem(i);
            CComBSTR body;
            mail->GetBody(&body);
            if (syncmail::ReadSyncMailMarkers(body.View()).syncIdText != SyncIdText(s.item))
                continue;
            to.clear();
            CComPtr<QMRRecipients> recipients;
            LONG count = 0;
            ASSERT_EQ(mail->GetRecipients(&recipients), S_OK);
            ASSERT_EQ(recipients->GetCount(&count), S_OK);
            for (LONG r = 1; r <= count; ++r) {
                CComPtr<QMRRecipient> recipient;
                CComBSTR address;
                ASSERT_EQ(recipients->Item(r, &recipient), S_OK);
                ASSERT_EQ(recipient->GetAddress(&address), S_OK);
                to += std::wstring(address) + L";";
            }
        }
        EXPECT_EQ(to, s.to);
    }
    EXPECT_TRUE(DebugLogHas("Don't sent2User which is meetingrecipient cara@example.org"));
}

TEST_F(MailSenderTest, RecordsOfVanishedItemsOrFoldersAreDropped) {
    CComPtr<QMRMessage> gone = NewItem(L"Gone");
    CComVariant goneKey = SearchKey(gone);
    ASSERT_EQ(gone->Delete(0), S_OK);
    QueueSearchKey(goneKey);
    CComPtr<QMRMessage> item = NewItem(L"Kept");
    QueueSearchKey(SearchKey(item), L"", L"Team", 0, L"00000000DEADBEEF");
    Queue(item);
    StartThreads(m_engine.get());
    ASSERT_TRUE(WaitFor([&] { return MailSenderList.Count() == 0 && OutboxCount() == 1; }));
    ASSERT_TRUE(WaitFor([&] { return DebugLogHas("sendSyncMessage::END"); }));
    EXPECT_TRUE(ErrorLogHas("MailSendThread::item not found"));
    EXPECT_TRUE(ErrorLogHas("MailSendThread::GetFolderFromID"));
    EXPECT_TRUE(ErrorLogHas("Syncitem == NULL"));
    EXPECT_EQ(DebugLogCount("Mail from list: "), 3u);
    EXPECT_EQ(DebugLogCount("sendSyncMessage::END"), 1u);
    EXPECT_EQ(GetRunningThreadCount(), 1);  // still running
}

TEST_F(MailSenderTest, HiddenFormItemsAndTextSyncIdsAreFoundAndSent) {
    // A folder-design item lives among the folder's hidden items.
    CComPtr<QMRItems> hidden;
    ASSERT_EQ(m_inbox->GetHiddenItems(&hidden), S_OK);
    CComPtr<QMRMessage> form;
    ASSERT_EQ(hidden->Add(CComVariant(L"IPM.Microsoft.FolderDesign.FormsDescription"), &form),
              S_OK);
    ASSERT_EQ(form->PutSubject(CComBSTR(L"Form")), S_OK);
    ASSERT_EQ(form->Save(), S_OK);
    Queue(form, L"", L"Team", 1);
    // A record whose sync id was queued as text.
    CComPtr<QMRMessage> item = NewItem(L"Texted");
    QueueSearchKey(CComVariant(SyncIdText(item).c_str()));
    StartThreads(m_engine.get());
    ASSERT_TRUE(WaitFor([&] { return DebugLogCount("sendSyncMessage::END") == 2; }));
    ASSERT_EQ(OutboxCount(), 2);
    std::vector<std::wstring> ids;
    bool formMarked = false;
    for (LONG i = 1; i <= 2; ++i) {
        CComBSTR body;
        ASSERT_EQ(OutboxItem(i)->GetBody(&body), S_OK);
        auto markers = syncmail::ReadSyncMailMarkers(body.View());
        ids.push_back(markers.syncIdText);
        formMarked = formMarked || markers.formFlag;
    }
    std::sort(ids.begin(), ids.end());
    std::vector<std::wstring> expected = {SyncIdText(form), SyncIdText(item)};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(ids, expected);
    EXPECT_TRUE(formMarked);
}

TEST_F(MailSenderTest, RecordsStillQueuedAtStopSurviveInTheQueueFile) {
    m_engine->m_stopped = true;  // the loop only idles: nothing is taken
    CComPtr<QMRMessage> item = NewItem(L"Later");
    Queue(item, L"geheim");
    StartThreads(m_engine.get());
    ASSERT_TRUE(WaitFor([&] { return DebugLogHas("LoadBGSyncData=>ready"); }));
    StopFlag = true;
    ASSERT_TRUE(WaitFor([] { return GetRunningThreadCount() == 0; }));
    EXPECT_EQ(OutboxCount(), 0);
    EXPECT_EQ(MailSenderList.Count(), 0u);
    std::string expected =
        win::ToUtf8(m_storeId + L";" + m_folderId + L";" + SyncIdText(item) + L";Team;geheim") +
        "\r\n";
    EXPECT_EQ(Read(L"Ann.mailsenddata.ids"), expected);

    // The next start reads the file back and sends the mail; once the queue
    // ran dry the file no longer lists it.
    m_engine->m_stopped = false;
    StartThreads(m_engine.get());
    ASSERT_TRUE(WaitFor([&] { return DebugLogHas("sendSyncMessage::END"); }));
    EXPECT_EQ(OutboxCount(), 1);
    EXPECT_TRUE(WaitFor([&] { return Read(L"Ann.mailsenddata.ids").empty(); }));
    EXPECT_TRUE(fs::exists(HostPath(m_temp + L"Ann.mailsenddata.ids")));
    CComBSTR body;
    ASSERT_EQ(OutboxItem(1)->GetBody(&body), S_OK);
    EXPECT_EQ(syncmail::ReadSyncMailMarkers(body.View()).syncIdText, SyncIdText(item));
}

TEST_F(MailSenderTest, QueueIsSavedEveryMinuteOnlyWhileRecordsWait) NO_THREAD_SAFETY_ANALYSIS {
    // An idle sender never rewrites the file, however long it runs: ten
    // platform minutes here.
    StartThreads(m_engine.get());
    ASSERT_TRUE(WaitFor([&] { return DebugLogHas("LoadBGSyncData=>ready"); }));
    Sleep(10 * 60000);
    EXPECT_EQ(DebugLogCount("SaveMailSendData to HD"), 0u);
    StopFlag = true;
    ASSERT_TRUE(WaitFor([] { return GetRunningThreadCount() == 0; }));
    EXPECT_EQ(DebugLogCount("SaveMailSendData to HD"), 1u);  // at the stop

    // With records waiting, a minute passes while the first build waits at
    // the Outbox lock: the next pass saves the rest of the queue before it
    // takes the next record, and the two passes left take seconds only.
    StopFlag = false;
    for (int i = 0; i < 3; ++i)
        Queue(NewItem(L"Saved " + std::to_wstring(i)));
    EnterCriticalSection(&OutboxLock);
    StartThreads(m_engine.get());
    bool building = WaitFor([&] { return DebugLogHas("SendSyncMessage::new Mail added"); });
    EXPECT_EQ(DebugLogCount("SaveMailSendData to HD"), 1u) << "nothing saved before the build";
    Sleep(61000);
    EXPECT_EQ(DebugLogCount("sendSyncMessage::END"), 0u) << "the build waited at the lock";
    LeaveCriticalSection(&OutboxLock);
    ASSERT_TRUE(building);
    ASSERT_TRUE(WaitFor([&] { return DebugLogCount("sendSyncMessage::END") == 3; }));
    EXPECT_EQ(DebugLogCount("SaveMailSendData to HD"), 2u) << "one save for the one minute";
    // The save came between the first mail and the second.
    const std::string log = DebugLog();
    const std::size_t firstEnd = log.find("sendSyncMessage::END");
    const std::size_t save = log.rfind("SaveMailSendData to HD");
    ASSERT_NE(firstEnd, std::string::npos);
    ASSERT_NE(save, std::string::npos);
    EXPECT_LT(firstEnd, save);
    EXPECT_LT(save, log.find("sendSyncMessage::END", firstEnd + 1));
    StopFlag = true;
    ASSERT_TRUE(WaitFor([] { return GetRunningThreadCount() == 0; }));
    EXPECT_EQ(Read(L"Ann.mailsenddata.ids"), "");
}

TEST_F(MailSenderTest, BurstIsParkedAndNothingOfItIsLeftAsSingleMails) {
    const int kMails = 6;
    for (int i = 0; i < kMails; ++i)
        Queue(NewItem(L"Burst " + std::to_wstring(i)));
    StartThreads(m_engine.get());
    ASSERT_TRUE(WaitFor([&] {
        return MailSenderList.Count() == 0 && DebugLogCount("sendSyncMessage::END") == kMails;
    }));
    // Every mail of the burst took the parking road, none stayed by choice.
    EXPECT_EQ(DebugLogCount("SaveSpecialMail"), static_cast<std::size_t>(kMails));
    EXPECT_EQ(DebugLogCount("SendMail::SaveMail"), 0u);
    std::size_t failed = DebugLogCount("SaveSpecialMail FAILED");
    if (failed > 0) {
        // Parking unavailable: the mails leave singly from the Outbox.
        EXPECT_EQ(failed, static_cast<std::size_t>(kMails));
        EXPECT_EQ(SyncMailsInOutbox(), kMails);
    } else {
        // Parked, and the end of the burst sent them as packets.
        EXPECT_EQ(SyncMailsInOutbox(), 0);
        EXPECT_TRUE(WaitFor([&] { return PacketAttachments() == kMails; }));
    }
    std::wstring status;
    m_engine->GetStatusText(status);
    EXPECT_EQ(status, L" ( 1 mails)");  // the last mail still counted in the burst
}

// Neither the count nor the time would send them: the end of the burst
// sends its last, partly filled packet.
TEST_F(MailSenderTest, EndOfTheBurstSendsItsPartlyFilledPacket) {
    const int kMails = 6;
    m_engine->m_packetCount = 30;
    m_engine->m_packetTime = 100000;
    for (int i = 0; i < kMails; ++i)
        Queue(NewItem(L"Burst " + std::to_wstring(i)));
    StartThreads(m_engine.get());
    ASSERT_TRUE(WaitFor([&] { return DebugLogCount("sendSyncMessage::END") == kMails; }));
    ASSERT_EQ(DebugLogCount("SaveSpecialMail saved"), static_cast<std::size_t>(kMails));
    EXPECT_TRUE(WaitFor([&] { return PacketAttachments() == kMails; }));
    EXPECT_EQ(SyncMailsInOutbox(), 0);
    EXPECT_EQ(DebugLogCount("Collected Mails > bs_collect_count"), 0u);
    EXPECT_EQ(DebugLogCount("Time > bs_collect_time"), 0u);
}

TEST_F(MailSenderTest, PacketsAreSentWhenEnoughAreParkedOrTheTimeIsUp) {
    struct Case {
        const char* name;
        DWORD collectCount;
        DWORD collectSeconds;
        LONG parked;
        const char* line;
    };
    const Case cases[] = {
        {"count", 3, 100000, 5, "Collected Mails > bs_collect_count"},
        {"time", 30, 2, 1, "Time > bs_collect_time"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StopFlag = true;
        ASSERT_TRUE(WaitFor([] { return GetRunningThreadCount() == 0; }));
        m_engine->m_packetCount = c.collectCount;
        m_engine->m_packetTime = c.collectSeconds;
        m_engine->m_parkedMailCounter = c.parked;
        std::size_t before = DebugLogCount(c.line);
        StartThreads(m_engine.get());
        EXPECT_TRUE(WaitFor([&] { return DebugLogCount(c.line) > before; }));
        EXPECT_TRUE(WaitFor([&] { return m_engine->m_parkedMailCounter.load() == 0; }));
    }
    // A large count and a long time fire neither.
    StopFlag = true;
    ASSERT_TRUE(WaitFor([] { return GetRunningThreadCount() == 0; }));
    m_engine->m_packetCount = 30;
    m_engine->m_packetTime = 100000;
    m_engine->m_parkedMailCounter = 4;
    std::size_t countLines = DebugLogCount("Collected Mails > bs_collect_count");
    std::size_t timeLines = DebugLogCount("Time > bs_collect_time");
    StartThreads(m_engine.get());
    ASSERT_TRUE(WaitFor([&] { return DebugLogCount("LoadBGSyncData=>ready") >= 3; }));
    Sleep(10 * 60000);  // ten platform minutes
    EXPECT_EQ(DebugLogCount("Collected Mails > bs_collect_count"), countLines);
    EXPECT_EQ(DebugLogCount("Time > bs_collect_time"), timeLines);
    EXPECT_EQ(m_engine->m_parkedMailCounter.load(), 4);
}

TEST_F(MailSenderTest, MissingHelperLibraryLeavesTheThreadWaitingForTheStop) {
    SetHelperObjectCreatorForTesting([](const wchar_t*, REFIID, void** out) -> HRESULT {
        return *out = nullptr, REGDB_E_CLASSNOTREG;
    });
    Queue(NewItem(L"Waits"));
    StartThreads(m_engine.get());
    ASSERT_TRUE(WaitFor([&] { return ErrorLogHas("no session Interface"); }));
    EXPECT_EQ(GetRunningThreadCount(), 1);
    StopFlag = true;
    EXPECT_TRUE(WaitFor([] { return GetRunningThreadCount() == 0; }));
    SetHelperObjectCreatorForTesting(nullptr);
    EXPECT_EQ(MailSenderList.Count(), 1u);  // nothing taken, nothing lost
    EXPECT_EQ(OutboxCount(), 0);
}

TEST(MailSenderRegistration, AddsOnlyTheSyncMailSender) {
    auto other = [](void*) -> unsigned { return 7; };
    ExchangeThreadProcs procs;
    procs.delMailSendThread = other;
    AddMailSendThread(procs);
    EXPECT_EQ(procs.mailSendThread, &MailSendThread);
    EXPECT_EQ(procs.delMailSendThread, +other);
    EXPECT_EQ(procs.importFromInboxThread, nullptr);
}

}  // namespace
