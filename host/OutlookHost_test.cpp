#include "host/OutlookHost.h"

#include <algorithm>
#include <filesystem>

#include "host/AddInLoader.h"
#include "host/HostTestSupport.h"
#include "platform/com/ConnectionPoint.h"
#include "platform/mapi/PropTags.h"
#include "platform/rdo/QuillmereRDO.h"
#include "platform/rdo/Server.h"
#include "platform/store/Folder.h"
#include "platform/store/Message.h"
#include "platform/store/Session.h"
#include "platform/transport/MimeParser.h"
#include "platform/transport/MimeWriter.h"
#include "platform/transport/PostOffice.h"
#include "platform/win/Environment.h"
#include "platform/win/Module.h"
#include "platform/win/Paths.h"
#include "platform/win/Text.h"

namespace host::testing {
namespace {

namespace fs = std::filesystem;
using namespace mapi;

std::vector<std::string> FilesIn(const std::string& dir) {
    std::vector<std::string> files;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec))
        files.push_back(e.path().string());
    return files;
}

class OutlookHostTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The client runs in this process on the virtual clock.
        win::SetVirtualClockForTesting(true);
        win::SetInstallDirectory(QM_BINARY_DIR "/bin");
        m_user = m_root.Path() + "/alice";
        m_postOffice = m_root.Path() + "/postoffice";
        std::string error;
        ProfileInit init;
        init.profileName = L"Alice";
        init.address = L"alice@example.org";
        ASSERT_EQ(InitProfile(m_user, init, &error), S_OK) << error;
        HostOptions options;
        options.userDirectory = m_user;
        options.postOffice = m_postOffice;
        options.mailPollMs = 60000;  // the test polls itself
        ASSERT_EQ(OutlookHost::Start(options, &m_host, &error), S_OK) << error;
        ASSERT_EQ(CoInitialize(nullptr), S_OK);
        ASSERT_EQ(DllRegisterServer(), S_OK);
    }
    void TearDown() override {
        m_host.reset();
        CoUninitialize();
        win::SetVirtualClockForTesting(false);
    }

    template <class I>
    CComPtr<I> Create(const wchar_t* progId, REFIID iid) {
        CLSID clsid{};
        EXPECT_EQ(CLSIDFromProgID(progId, &clsid), S_OK);
        CComPtr<I> object;
        EXPECT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, iid,
                                   reinterpret_cast<void**>(&object)),
                  S_OK);
        return object;
    }
    CComPtr<QMRRDOSession> Logon() {
        auto session = Create<QMRRDOSession>(L"QuillmereRDOx.QMRRDOSession", IID_QMRRDOSession);
        EXPECT_EQ(session->Logon(CComVariant(L"Alice"), CComVariant(), CComVariant(), CComVariant(),
                                 CComVariant(), CComVariant()),
                  S_OK);
        return session;
    }
    LONG Count(QMRRDOSession* session, LONG folderType) {
        CComPtr<QMRMAPIFolder> folder;
        EXPECT_EQ(session->GetDefaultFolder(folderType, &folder), S_OK);
        CComPtr<QMRItems> items;
        EXPECT_EQ(folder->GetItems(&items), S_OK);
        LONG count = -1;
        EXPECT_EQ(items->GetCount(&count), S_OK);
        return count;
    }

    TempRoot m_root;
    std::string m_user, m_postOffice;
    std::unique_ptr<OutlookHost> m_host;
};

TEST_F(OutlookHostTest, SentMailReachesEveryRecipientIntactAndRaisesNewMailOnTheUiThread) {
    std::thread::id uiThread;
    CComPtr<RecordingSink> appSink(new RecordingSink());
    DWORD cookie = 0;
    ASSERT_TRUE(m_host->RunOnUi([&] {
        uiThread = std::this_thread::get_id();
        EXPECT_EQ(com::Advise(m_host->Application()->Application(), IID_ApplicationEvents_11,
                              static_cast<IDispatch*>(appSink), &cookie),
                  S_OK);
    }));

    std::string attachment;
    for (int i = 0; i < 3000; ++i)
        attachment.push_back(static_cast<char>((i * 37) & 0xFF));
    WriteFile(m_user + "/drive_c/report.bin", attachment);

    CComPtr<QMRRDOSession> session = Logon();
    CComPtr<QMRMAPIFolder> outbox;
    ASSERT_EQ(session->GetDefaultFolder(4, &outbox), S_OK);
    CComPtr<QMRItems> items;
    ASSERT_EQ(outbox->GetItems(&items), S_OK);
    CComPtr<QMRMessage> mail;
    ASSERT_EQ(items->Add(CComVariant(L"IPM.Note"), &mail), S_OK);
    ASSERT_EQ(mail->PutSubject(CComBSTR(L"Quarterly figures \u00e4")), S_OK);
    ASSERT_EQ(mail->PutBody(CComBSTR(L"Line one\r\nLine two\r\n")), S_OK);
    ASSERT_EQ(mail->PutTo(CComBSTR(L"bob@example.org; alice@example.org")), S_OK);
    CComPtr<QMRAttachments> attachments;
    ASSERT_EQ(mail->GetAttachments(&attachments), S_OK);
    CComPtr<QMRAttachment> added;
    ASSERT_EQ(attachments->Add(CComBSTR(L"C:\\report.bin"), CComVariant(), CComVariant(),
                               CComVariant(), &added),
              S_OK);
    ASSERT_EQ(mail->ResolveRecipients(0, nullptr), S_OK);
    ASSERT_EQ(mail->Save(), S_OK);
    auto safe = Create<QMRSafeMailItem>(L"QuillmereRDOx.QMRSafeMailItem", IID_QMRSafeMailItem);
    ASSERT_EQ(safe->PutItem(mail), S_OK);
    ASSERT_EQ(safe->Send(), S_OK);

    // The sender keeps its copy in Sent Items, none in the Outbox.
    EXPECT_EQ(Count(session, 4), 0);
    EXPECT_EQ(Count(session, 5), 1);

    // Bob's Maildir holds the message as Internet mail, attachment intact.
    std::vector<std::string> bobs = FilesIn(m_postOffice + "/bob@example.org/new");
    ASSERT_EQ(bobs.size(), 1u);
    mapi::MessageContent parsed;
    ASSERT_EQ(transport::ParseMime(ReadFile(bobs[0]), {}, &parsed), S_OK);
    EXPECT_EQ(transport::PropText(parsed.props, PR_SUBJECT).value_or(L""),
              L"Quarterly figures \u00e4");
    EXPECT_EQ(transport::PropText(parsed.props, PR_BODY).value_or(L""),
              L"Line one\r\nLine two\r\n");
    ASSERT_EQ(parsed.attachments.size(), 1u);
    EXPECT_EQ(std::string(parsed.attachments[0].data.begin(), parsed.attachments[0].data.end()),
              attachment);

    // Alice's own copy is filed into her Inbox by her host.
    EXPECT_EQ(m_host->PollMail(), 1);
    EXPECT_EQ(Count(session, 6), 1);
    ASSERT_TRUE(
        WaitUntil([&] { return appSink->Count(outlook::dispid::kEventNewMail) == 1; }, 5000));
    for (const auto& e : appSink->Events()) {
        if (e.id == outlook::dispid::kEventNewMail) {
            EXPECT_EQ(e.thread, uiThread);
        }
    }
    EXPECT_TRUE(fs::is_empty(m_postOffice + "/alice@example.org/new"));
    EXPECT_EQ(FilesIn(m_postOffice + "/alice@example.org/cur").size(), 1u);
    EXPECT_EQ(m_host->PollMail(), 0) << "a filed mail is not filed again";

    m_host->RunOnUi([&] {
        com::Unadvise(m_host->Application()->Application(), IID_ApplicationEvents_11, cookie);
    });
}

TEST_F(OutlookHostTest, DeleteAfterSubmitLeavesNoCopyWithTheSender) {
    CComPtr<QMRRDOSession> session = Logon();
    CComPtr<QMRMAPIFolder> outbox;
    ASSERT_EQ(session->GetDefaultFolder(4, &outbox), S_OK);
    CComPtr<QMRItems> items;
    ASSERT_EQ(outbox->GetItems(&items), S_OK);
    CComPtr<QMRMessage> mail;
    ASSERT_EQ(items->Add(CComVariant(L"IPM.Note"), &mail), S_OK);
    ASSERT_EQ(mail->PutSubject(CComBSTR(L"gone after sending")), S_OK);
    ASSERT_EQ(mail->PutTo(CComBSTR(L"carol@example.org")), S_OK);
    ASSERT_EQ(mail->PutDeleteAfterSubmit(VARIANT_TRUE), S_OK);
    ASSERT_EQ(mail->ResolveRecipients(0, nullptr), S_OK);
    ASSERT_EQ(mail->Save(), S_OK);
    auto safe = Create<QMRSafeMailItem>(L"QuillmereRDOx.QMRSafeMailItem", IID_QMRSafeMailItem);
    ASSERT_EQ(safe->PutItem(mail), S_OK);
    ASSERT_EQ(safe->Send(), S_OK);
    EXPECT_EQ(Count(session, 4), 0);
    EXPECT_EQ(Count(session, 5), 0);
    EXPECT_EQ(FilesIn(m_postOffice + "/carol@example.org/new").size(), 1u);
}

TEST_F(OutlookHostTest, MailThatReachesSomeRecipientsLeavesTheOutboxWithAReportForTheOthers) {
    CComPtr<QMRRDOSession> session = Logon();
    auto send = [&](const wchar_t* to) {
        CComPtr<QMRMAPIFolder> outbox;
        EXPECT_EQ(session->GetDefaultFolder(4, &outbox), S_OK);
        CComPtr<QMRItems> items;
        EXPECT_EQ(outbox->GetItems(&items), S_OK);
        CComPtr<QMRMessage> mail;
        EXPECT_EQ(items->Add(CComVariant(L"IPM.Note"), &mail), S_OK);
        mail->PutSubject(CComBSTR(L"Minutes"));
        mail->PutTo(CComBSTR(to));
        mail->ResolveRecipients(0, nullptr);
        EXPECT_EQ(mail->Save(), S_OK);
        auto safe = Create<QMRSafeMailItem>(L"QuillmereRDOx.QMRSafeMailItem", IID_QMRSafeMailItem);
        EXPECT_EQ(safe->PutItem(mail), S_OK);
        return safe->Send();
    };
    // Nobody can be reached: the mail stays in the Outbox.
    EXPECT_EQ(send(L"no/where@example.org"), E_INVALIDARG);
    EXPECT_EQ(Count(session, 4), 1);
    EXPECT_EQ(Count(session, 6), 0);
    // One of two can be reached: sent, and a report names the other.
    EXPECT_EQ(send(L"dora@example.org; no/where@example.org"), S_OK);
    EXPECT_EQ(Count(session, 4), 1);
    EXPECT_EQ(Count(session, 5), 1);
    EXPECT_EQ(FilesIn(m_postOffice + "/dora@example.org/new").size(), 1u);
    ASSERT_EQ(Count(session, 6), 1);
    CComPtr<QMRMAPIFolder> inbox;
    ASSERT_EQ(session->GetDefaultFolder(6, &inbox), S_OK);
    CComPtr<QMRItems> items;
    ASSERT_EQ(inbox->GetItems(&items), S_OK);
    CComPtr<QMRMessage> report;
    ASSERT_EQ(items->Item(1, &report), S_OK);
    CComBSTR subject, body;
    report->GetSubject(&subject);
    report->GetBody(&body);
    EXPECT_EQ(std::wstring(subject.View()), L"Undeliverable: Minutes");
    EXPECT_NE(std::wstring(body.View()).find(L"no/where@example.org"), std::wstring::npos);
}

TEST_F(OutlookHostTest, UnreadableMailIsQuarantinedAndNothingIsFiled) {
    std::string dir = m_postOffice + "/alice@example.org";
    fs::create_directories(dir + "/new");
    WriteFile(dir + "/new/1.M1P1Q1.test", "this is not a mail header\r\n\r\n");
    EXPECT_EQ(m_host->PollMail(), 0);
    EXPECT_EQ(FilesIn(dir + "/quarantine").size(), 1u);
    CComPtr<QMRRDOSession> session = Logon();
    EXPECT_EQ(Count(session, 6), 0);
}

TEST_F(OutlookHostTest, ItemEventsArriveOnTheUiThreadWhoeverChangesTheFolder) {
    std::thread::id uiThread;
    CComPtr<RecordingSink> sink(new RecordingSink());
    _ItemsPtr items;
    DWORD cookie = 0;
    ASSERT_TRUE(m_host->RunOnUi([&] {
        uiThread = std::this_thread::get_id();
        items = m_host->Application()->NameSpace()->GetDefaultFolder(olFolderInbox)->GetItems();
        EXPECT_EQ(com::Advise(items, IID_ItemsEvents, static_cast<IDispatch*>(sink), &cookie),
                  S_OK);
    }));
    auto total = [&] {
        return sink->Count(outlook::dispid::kEventItemAdd) +
               sink->Count(outlook::dispid::kEventItemChange) +
               sink->Count(outlook::dispid::kEventItemRemove);
    };

    // Through the object model, on the UI thread.
    m_host->RunOnUi([&] {
        IDispatch* raw = nullptr;
        ASSERT_EQ(items->Add(CComVariant(), &raw), S_OK);
        _MailItemPtr mail(raw);
        raw->Release();
        mail->PutSubject(L"from the object model");
        ASSERT_EQ(mail->Save(), S_OK);
    });
    ASSERT_TRUE(WaitUntil([&] { return sink->Count(outlook::dispid::kEventItemAdd) == 1; }, 5000));

    // Through a helper session on this (another) thread: add, change, delete.
    CComPtr<QMRRDOSession> session = Logon();
    CComPtr<QMRMAPIFolder> inbox;
    ASSERT_EQ(session->GetDefaultFolder(6, &inbox), S_OK);
    CComPtr<QMRItems> rdoItems;
    ASSERT_EQ(inbox->GetItems(&rdoItems), S_OK);
    CComPtr<QMRMessage> message;
    ASSERT_EQ(rdoItems->Add(CComVariant(L"IPM.Note"), &message), S_OK);
    ASSERT_EQ(message->PutSubject(CComBSTR(L"from the helper")), S_OK);
    ASSERT_EQ(message->Save(), S_OK);
    ASSERT_EQ(message->PutSubject(CComBSTR(L"from the helper, changed")), S_OK);
    ASSERT_EQ(message->Save(), S_OK);
    ASSERT_EQ(message->Delete(0), S_OK);
    ASSERT_TRUE(
        WaitUntil([&] { return sink->Count(outlook::dispid::kEventItemRemove) == 1; }, 5000));
    EXPECT_EQ(sink->Count(outlook::dispid::kEventItemAdd), 2);
    EXPECT_EQ(sink->Count(outlook::dispid::kEventItemChange), 1);
    for (const auto& e : sink->Events())
        EXPECT_EQ(e.thread, uiThread);

    // Unadvised, the sink hears nothing more.
    m_host->RunOnUi([&] { EXPECT_EQ(com::Unadvise(items, IID_ItemsEvents, cookie), S_OK); });
    int before = total();
    CComPtr<QMRMessage> another;
    ASSERT_EQ(rdoItems->Add(CComVariant(L"IPM.Note"), &another), S_OK);
    ASSERT_EQ(another->Save(), S_OK);
    m_host->RunOnUi([] {});
    Sleep(300);
    m_host->RunOnUi([] {});
    EXPECT_EQ(total(), before);
    m_host->RunOnUi([&] { items.Release(); });
}

TEST_F(OutlookHostTest, ReminderThatFallsDueIsRaisedOnceByTheHostsTimer) {
    auto reminders = [&] {
        int n = 0;
        for (const auto& line : m_host->EventLog())
            n += line == "Reminder Dentist";
        return n;
    };
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    const struct {
        const wchar_t* subject;
        bool set;
        LONGLONG offsetSeconds;
    } cases[] = {{L"Dentist", true, -60}, {L"Not yet", true, 3600}, {L"No reminder", false, -60}};
    {
        std::unique_ptr<store::Session> session;
        ASSERT_EQ(store::Session::Open(m_host->Profile().mapi.stores[0].hostPath, &session), S_OK);
        store::Folder calendar;
        ASSERT_EQ(session->GetDefaultFolder(store::DefaultFolder::Calendar, &calendar), S_OK);
        for (const auto& c : cases) {
            std::unique_ptr<store::Message> m;
            ASSERT_EQ(calendar.CreateMessage(false, &m), S_OK);
            m->SetProp(PR_SUBJECT, PropValue::Unicode(c.subject));
            m->SetNamed(NamedProperty::ById(PSETID_Common, 0x8503), PropValue::Boolean(c.set));
            m->SetNamed(NamedProperty::ById(PSETID_Common, 0x8560),
                        PropValue::SysTime(win::FileTimeToUInt64(now) +
                                           static_cast<ULONGLONG>(c.offsetSeconds * 10000000)));
            ASSERT_EQ(m->Save(), S_OK);
        }
    }
    // The timer looks every 1000 platform ms: the first look after the
    // reminder fell due raises it.
    const ULONGLONG saved = win::NowPlatformMs();
    ASSERT_TRUE(WaitUntil([&] { return reminders() == 1; }, 5000));
    EXPECT_LE(win::NowPlatformMs() - saved, 1000u);
    Sleep(3000);  // three more periods
    EXPECT_EQ(reminders(), 1);
    for (const auto& line : m_host->EventLog()) {
        EXPECT_NE(line, "Reminder Not yet");
        EXPECT_NE(line, "Reminder No reminder");
    }
}

TEST_F(OutlookHostTest, SecondHostInOneProcessIsRefusedAndMissingProfileNamed) {
    std::unique_ptr<OutlookHost> second;
    std::string error;
    HostOptions options;
    options.userDirectory = m_user;
    EXPECT_EQ(OutlookHost::Start(options, &second, &error), E_UNEXPECTED);
    EXPECT_FALSE(second);
    m_host.reset();
    options.profileName = L"Nobody";
    EXPECT_EQ(OutlookHost::Start(options, &second, &error), MAPI_E_NOT_FOUND);
    EXPECT_NE(error.find("Alice"), std::string::npos) << error;
}

// A test add-in registered by ProgID and put on the profile's list.
class HostAddInTest : public ::testing::Test {
protected:
    static constexpr CLSID kAddInClsid{
        0xC3A1F0E2, 0x5B7D, 0x4E19, {0x9A, 0x2C, 0x7D, 0x4B, 0x1E, 0x6F, 0x0A, 0x11}};
    void SetUp() override {
        // The client runs in this process on the virtual clock.
        win::SetVirtualClockForTesting(true);
        win::SetInstallDirectory(QM_BINARY_DIR "/bin");
        m_user = m_root.Path() + "/alice";
        std::string error;
        ProfileInit init;
        init.profileName = L"Alice";
        init.address = L"alice@example.org";
        ASSERT_EQ(InitProfile(m_user, init, &error), S_OK) << error;
        win::SetUserDirectory(m_user);
        ASSERT_EQ(CoInitialize(nullptr), S_OK);
        com::ServerRegistration reg;
        reg.clsid = kAddInClsid;
        reg.progId = L"QmHost.TestAddIn.1";
        reg.versionIndependentProgId = L"QmHost.TestAddIn";
        reg.description = L"Host test add-in";
        reg.serverPath = win::WindowsPath(QM_BINARY_DIR "/bin/libQmHostTestAddIn.so");
        ASSERT_EQ(com::RegisterServer(reg), S_OK);
        ASSERT_EQ(AddInLoader::AddToList(L"Alice", L"QmHost.TestAddIn", L"Test add-in"), S_OK);
        HostOptions options;
        options.userDirectory = m_user;
        options.postOffice = m_root.Path() + "/postoffice";
        options.mailPollMs = 60000;
        options.reminderPollMs = 60000;  // the test looks for reminders itself
        ASSERT_EQ(OutlookHost::Start(options, &m_host, &error), S_OK) << error;
        m_module = LoadLibraryW(reg.serverPath.c_str());
        ASSERT_NE(m_module, nullptr);
        m_log = reinterpret_cast<std::size_t (*)(char*, std::size_t)>(
            reinterpret_cast<void (*)()>(GetProcAddress(m_module, "QmTestAddInLog")));
        ASSERT_NE(m_log, nullptr);
    }
    void TearDown() override {
        m_host.reset();
        if (m_module)
            FreeLibrary(m_module);
        CoUninitialize();
        win::SetVirtualClockForTesting(false);
    }
    std::string AddInLog() {
        std::string text(m_log(nullptr, 0) + 1, '\0');
        m_log(text.data(), text.size());
        text.resize(text.size() - 1);
        return text;
    }

    TempRoot m_root;
    std::string m_user;
    std::unique_ptr<OutlookHost> m_host;
    HMODULE m_module = nullptr;
    std::size_t (*m_log)(char*, std::size_t) = nullptr;
};

TEST_F(HostAddInTest, AddInIsConnectedHearsTheClientsEventsAndIsReleasedAfterQuit) {
    std::string log = AddInLog();
    EXPECT_NE(log.find("OnConnection mode 1\nOnStartupComplete\n"), std::string::npos) << log;
    std::vector<std::wstring> connected;
    m_host->RunOnUi([&] { connected = m_host->AddIns()->Connected(); });
    EXPECT_EQ(connected, std::vector<std::wstring>{L"QmHost.TestAddIn"});

    // The Options dialog: the page the add-in adds is recorded by ProgID and caption.
    std::vector<outlook::PageEntry> pages;
    m_host->RunOnUi([&] {
        outlook::PropertyPageList* list = nullptr;
        CComPtr<PropertyPages> collection = outlook::CreatePropertyPages(&list);
        m_host->Application()->FireOptionsPagesAdd(collection);
        pages = list->Entries();
    });
    ASSERT_EQ(pages.size(), 1u);
    ASSERT_EQ(pages[0].page.vt, VT_BSTR);
    EXPECT_EQ(std::wstring(pages[0].page.bstrVal), L"QmHost.TestPage");
    EXPECT_EQ(pages[0].title, L"Test");
    EXPECT_NE(AddInLog().find("OptionsPagesAdd\n"), std::string::npos) << AddInLog();

    // NewMail for a mail that arrives.
    transport::PostOffice po(m_root.Path() + "/postoffice");
    std::vector<transport::DeliveryResult> results;
    ASSERT_EQ(po.Deliver("From: bob@example.org\r\nTo: alice@example.org\r\nSubject: hi\r\n\r\n"
                         "Hello\r\n",
                         {L"alice@example.org"}, &results),
              S_OK);
    // Filed once: by this poll, or by the watcher's own pass if that came first.
    int filed = m_host->PollMail();
    EXPECT_LE(filed, 1);
    EXPECT_TRUE(WaitUntil([&] { return AddInLog().find("NewMail") != std::string::npos; }, 5000));
    {
        std::unique_ptr<store::Session> session;
        ASSERT_EQ(store::Session::Open(m_host->Profile().mapi.stores[0].hostPath, &session), S_OK);
        store::Folder inbox;
        ASSERT_EQ(session->GetDefaultFolder(store::DefaultFolder::Inbox, &inbox), S_OK);
        ULONG count = 0;
        ASSERT_EQ(inbox.GetContentCount(false, &count), S_OK);
        EXPECT_EQ(count, 1u);
    }

    // Reminder for an item whose reminder fell due, once.
    {
        std::unique_ptr<store::Session> session;
        ASSERT_EQ(store::Session::Open(m_host->Profile().mapi.stores[0].hostPath, &session), S_OK);
        store::Folder tasks;
        ASSERT_EQ(session->GetDefaultFolder(store::DefaultFolder::Tasks, &tasks), S_OK);
        std::unique_ptr<store::Message> task;
        ASSERT_EQ(tasks.CreateMessage(false, &task), S_OK);
        task->SetProp(PR_SUBJECT, PropValue::Unicode(L"Call the plumber"));
        FILETIME now{};
        GetSystemTimeAsFileTime(&now);
        ULONGLONG past = win::FileTimeToUInt64(now) - 600ull * 10000000ull;
        task->SetNamed(NamedProperty::ById(PSETID_Common, 0x8503), PropValue::Boolean(true));
        task->SetNamed(NamedProperty::ById(PSETID_Common, 0x8560), PropValue::SysTime(past));
        ASSERT_EQ(task->Save(), S_OK);
    }
    m_host->RunOnUi([&] { m_host->CheckReminders(); });
    m_host->RunOnUi([&] { m_host->CheckReminders(); });
    EXPECT_NE(m_host->EventLog().back().find("Reminder Call the plumber"), std::string::npos);
    log = AddInLog();
    EXPECT_NE(log.find("Reminder Call the plumber"), std::string::npos) << log;
    EXPECT_EQ(log.find("Reminder Call the plumber"), log.rfind("Reminder Call the plumber"))
        << "a reminder is raised once";

    m_host->Quit();
    log = AddInLog();
    std::size_t quit = log.find("Quit\n");
    std::size_t released = log.find("released\n");
    ASSERT_NE(quit, std::string::npos) << log;
    ASSERT_NE(released, std::string::npos) << log;
    EXPECT_LT(quit, log.find("OnBeginShutdown"));
    EXPECT_LT(log.find("OnDisconnection mode 0"), released);
    // Every event reached the add-in on the thread it was connected on.
    EXPECT_EQ(log.find("off the UI thread"), std::string::npos) << log;
}

// What the client does when an add-in sets its own record's Connect to
// false: it disconnects it at once (ext_dm_UserClosed), and at quit the add-in
// gets neither OnBeginShutdown nor a second OnDisconnection.
TEST_F(HostAddInTest, AddInThatSetsConnectFalseIsDisconnectedOnce) {
    // The add-in module's log runs on through the tests of this process.
    const std::size_t start = AddInLog().size();
    m_host->RunOnUi([&] {
        COMAddInsPtr all = m_host->Application()->Application()->GetCOMAddIns();
        CComVariant index(L"QmHost.TestAddIn");
        COMAddIn* record = nullptr;
        ASSERT_EQ(all->Item(&index, &record), S_OK);
        EXPECT_EQ(com::PutProperty(record, outlook::dispid::kConnect, CComVariant(false)), S_OK);
        record->Release();
    });
    std::string log = AddInLog().substr(start);
    EXPECT_NE(log.find("OnDisconnection mode 1\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("released"), std::string::npos) << "kept until the client quits";
    std::vector<std::wstring> connected{L"?"};
    m_host->RunOnUi([&] { connected = m_host->AddIns()->Connected(); });
    EXPECT_TRUE(connected.empty());
    HostEventLog events = m_host->EventLog();
    EXPECT_NE(std::find(events.begin(), events.end(), "add-in QmHost.TestAddIn disconnected"),
              events.end());

    m_host->Quit();
    log = AddInLog().substr(start);
    EXPECT_EQ(log.find("OnDisconnection"), log.rfind("OnDisconnection")) << log;
    EXPECT_EQ(log.find("OnBeginShutdown"), std::string::npos) << log;
    EXPECT_EQ(log.find("Quit\n"), std::string::npos) << "its sinks went with the disconnection";
    EXPECT_NE(log.find("released\n"), std::string::npos) << log;
}

}  // namespace
}  // namespace host::testing
