// Building one sync mail over the real helper library and a profile made in
// the test: the mail in the Outbox, its markers, its partners, and its
// cabinet as independent readers see it (cabextract for a plain cabinet, the
// add-in's reader for an encrypted one, olefile for the message file in it);
// the replacement of a waiting older mail; where a saved mail waits.
#include "Quillmere/exchange/SendMail.h"

#include <cstdio>

#include "Quillmere/cabinet/Extract.h"
#include "Quillmere/exchange/SenderTestSupport_test.h"
#include "Quillmere/exchange/SyncMailFormat.h"
#include "Quillmere/resources/LoadString.h"

namespace {

using sendertest::SenderTest;
namespace fs = std::filesystem;

// Runs a shell command and returns its exit status and its output.
int RunShell(const std::string& command, std::string* output) {
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (!pipe)
        return -1;
    char buffer[4096];
    output->clear();
    while (std::size_t n = fread(buffer, 1, sizeof buffer, pipe))
        output->append(buffer, n);
    int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The subject (UTF-8) and the search key (upper-case hex) of a message file,
// read by olefile.
std::string OleSubjectAndSearchKey(const std::string& msgPath) {
    std::string script =
        "import olefile,sys\n"
        "o=olefile.OleFileIO(sys.argv[1])\n"
        "s=o.openstream('__substg1.0_0037001F').read().decode('utf-16-le').split('\\0')[0]\n"
        "k=o.openstream('__substg1.0_300B0102').read().hex().upper()\n"
        "sys.stdout.write(s+'|'+k)\n";
    std::string out;
    std::string command = "/usr/bin/python3 -c \"" + script + "\" '" + msgPath + "'";
    // The script holds no double quotes or dollar signs; the shell passes it whole.
    if (RunShell(command, &out) != 0)
        return "oracle failed: " + out;
    return out;
}

std::wstring Intro() {
    std::wstring intro;
    LoadString(AddinResourceModule(), syncmail::kIntroStringId, g_UILanguage.load(), intro);
    return intro;
}

// A safe mail item of the real library whose body writes all fail, as a
// library that refuses the text would: the build must not leave a mail
// without markers behind.
class BodyRefusingSafeMailItem final
    : public fakes::FakeDispatch<BodyRefusingSafeMailItem, QMRSafeMailItem> {
public:
    CComPtr<QMRSafeMailItem> real;
    HRESULT PutItem(IUnknown* item) override { return real->PutItem(item); }
    HRESULT GetItem(QMRMessage** message) override { return real->GetItem(message); }
    HRESULT GetFields(VARIANT property, VARIANT* value) override {
        return real->GetFields(property, value);
    }
    HRESULT SetFields(VARIANT property, VARIANT value) override {
        if (property.vt == VT_I4 && static_cast<ULONG>(property.lVal) == 0x1000001F)
            return MAPI_E_NO_ACCESS;
        return real->SetFields(property, value);
    }
    HRESULT GetBody(BSTR* body) override { return real->GetBody(body); }
    HRESULT PutBody(BSTR) override { return MAPI_E_NO_ACCESS; }
    HRESULT GetRecipients(QMRRecipients** recipients) override {
        return real->GetRecipients(recipients);
    }
    HRESULT SaveAs(BSTR path, VARIANT type) override { return real->SaveAs(path, type); }
    HRESULT Send() override { return real->Send(); }
};

HRESULT CreateWithBodyRefusingSafeItems(const wchar_t* progId, REFIID iid, void** out) {
    CLSID clsid{};
    HRESULT hr = CLSIDFromProgID(progId, &clsid);
    if (FAILED(hr))
        return hr;
    if (std::wstring(progId) != L"QuillmereRDOx.QMRSafeMailItem")
        return CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, iid, out);
    auto fake = com::Make<BodyRefusingSafeMailItem>();
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_QMRSafeMailItem,
                          reinterpret_cast<void**>(&fake->real));
    if (FAILED(hr))
        return hr;
    return fake->QueryInterface(iid, out);
}

class SendMailTest : public SenderTest {
protected:
    HRESULT Build(QMRMessage* item, const std::wstring& password = L"", bool formFlag = false,
                  LONG waiting = 0, bool many = false, const std::wstring& share = L"Team") {
        return SendSyncMessage(m_engine.get(), m_engine->Session(), m_engine->Utils(), item,
                               SysAllocString(m_folderId.c_str()), password, share, formFlag,
                               waiting, many);
    }

    // Saves the single attachment of mail to a host file and returns its path.
    std::string SaveAttachment(QMRMessage* mail, const std::wstring& name) {
        CComPtr<QMRAttachments> attachments;
        EXPECT_EQ(mail->GetAttachments(&attachments), S_OK);
        LONG count = 0;
        EXPECT_EQ(attachments->GetCount(&count), S_OK);
        EXPECT_EQ(count, 1);
        CComPtr<QMRAttachment> attachment;
        EXPECT_EQ(attachments->Item(1, &attachment), S_OK);
        if (!attachment)
            return {};
        CComBSTR fileName;
        EXPECT_EQ(attachment->GetFileName(&fileName), S_OK);
        EXPECT_EQ(std::wstring(fileName), L"sync.zuf");
        std::wstring path = m_temp + name;
        EXPECT_EQ(attachment->SaveAsFile(CComBSTR(path)), S_OK);
        return HostPath(path);
    }
};

struct BuildCase {
    const char* name;
    const wchar_t* password;
    bool debug;
};

TEST_F(SendMailTest, ChangeBecomesOneOutboxMailWhoseCabinetHoldsTheItem) {
    const BuildCase cases[] = {
        {"plain", L"", true},
        {"encrypted", L"G\u00e9heim-7", false},
    };
    for (const BuildCase& c : cases) {
        SCOPED_TRACE(c.name);
        DebugSwitch = c.debug;
        const std::wstring subject = std::wstring(L"Budget ") + c.password;
        CComPtr<QMRMessage> item = NewItem(subject);
        const std::wstring id = SyncIdText(item);
        LONG before = OutboxCount();
        ASSERT_EQ(Build(item, c.password), S_OK);
        ASSERT_EQ(OutboxCount(), before + 1);
        CComPtr<QMRMessage> mail = OutboxItem(before + 1);
        ASSERT_NE(mail, nullptr);

        CComBSTR mailSubject, body, to;
        ASSERT_EQ(mail->GetSubject(&mailSubject), S_OK);
        ASSERT_EQ(mail->GetBody(&body), S_OK);
        ASSERT_EQ(mail->GetTo(&to), S_OK);
        std::wstring s(mailSubject);
        EXPECT_EQ(s.rfind(L">-Quillmere-< ", 0), 0u) << win::ToUtf8(s);
        const std::wstring debugTail = L" SUBJECT:" + subject;
        bool hasTail = s.size() > debugTail.size() &&
                       s.compare(s.size() - debugTail.size(), debugTail.size(), debugTail) == 0;
        EXPECT_EQ(hasTail, c.debug) << win::ToUtf8(s);
        std::wstring expected = Intro();
        if (c.debug)
            expected += L"\n\nDebug:Subject:" + subject;
        for (int i = 0; i < 60; ++i)
            expected += L"\r\n";
        expected += L"is:TRUE:is\nlf:Team:lf\r\nid:" + id + L":id\r\n";
        EXPECT_EQ(std::wstring(body), expected);
        EXPECT_EQ(std::wstring(to), L"bert@example.org");
        VARIANT_BOOL submitted = VARIANT_TRUE;
        ASSERT_EQ(mail->GetSubmitted(&submitted), S_OK);
        EXPECT_EQ(submitted, VARIANT_FALSE);  // only the outbox re-check submits
        CComVariant icon;
        ASSERT_EQ(mail->GetFields(CComVariant(LONG(0x10800003)), &icon), S_OK);
        EXPECT_EQ(icon.lVal, 0x202);

        std::string cabinet = SaveAttachment(mail, L"got.zuf");
        std::string target = m_dir + "/extracted_" + c.name;
        fs::create_directories(target);
        std::string out;
        int status = RunShell("cabextract -q -d '" + target + "' '" + cabinet + "'", &out);
        if (c.password[0] == L'\0') {
            ASSERT_EQ(status, 0) << out;
        } else {
            // Encrypted past its header: no plain reader can unpack it; the
            // add-in's reader with the password can.
            EXPECT_NE(status, 0) << out;
            fs::remove_all(target);
            fs::create_directories(target);
            Cabinet::CExtract reader;
            std::string key = win::ToAnsi(c.password);
            reader.Cipher().SetKey(reinterpret_cast<const BYTE*>(key.data()),
                                   static_cast<DWORD>(key.size()));
            reader.AllocateBuffer();
            std::wstring windowsTarget = m_temp + L"extracted\\";
            fs::create_directories(HostPath(windowsTarget));
            ASSERT_TRUE(reader.CreateFDIContext());
            std::wstring windowsCabinet = m_temp + L"got.zuf";
            ASSERT_TRUE(reader.ExtractFile(windowsCabinet.c_str(), windowsTarget.c_str(), 0))
                << win::ToUtf8(reader.GetLastErrorText());
            reader.CleanUp();
            target = HostPath(windowsTarget);
        }
        std::vector<std::string> files;
        for (const auto& entry : fs::directory_iterator(target))
            files.push_back(entry.path().filename().string());
        ASSERT_EQ(files, std::vector<std::string>{"sync.msg"});
        EXPECT_EQ(OleSubjectAndSearchKey(target + "/sync.msg"),
                  win::ToUtf8(subject) + "|" + win::ToUtf8(id));
    }
}

TEST_F(SendMailTest, FormItemsCarryTheFormMarker) {
    CComPtr<QMRMessage> item = NewItem(L"Form");
    ASSERT_EQ(Build(item, L"", true), S_OK);
    CComBSTR body;
    ASSERT_EQ(OutboxItem(1)->GetBody(&body), S_OK);
    std::wstring text(body);
    const std::wstring tail = L":id\r\n:form:\r\n";
    ASSERT_GT(text.size(), tail.size());
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
}

TEST_F(SendMailTest, NoItemOrNoPartnerSendsNothing) {
    EXPECT_EQ(Build(nullptr), E_FAIL);
    EXPECT_TRUE(ErrorLogHas("Syncitem == NULL"));

    RegDeleteTreeW(HKEY_CURRENT_USER,
                   (std::wstring(kFoldersKeyPath) + L"\\" + m_folderId + L"\\Users").c_str());
    CComPtr<QMRMessage> item = NewItem(L"Alone");
    EXPECT_EQ(Build(item), E_FAIL);
    EXPECT_TRUE(DebugLogHas("SendSyncMessage::Userlist is empty, Mail can't be sent"));
    EXPECT_EQ(OutboxCount(), 0);
}

TEST_F(SendMailTest, PartnersAreChosenByCategoryLinksAndMeetingAttendance) {
    const std::wstring folder = L"00AA11BB";
    for (const wchar_t* user : {L"a@example.org", L"b@example.org", L"C@Example.org"})
        addintest::AddFolderUser(folder, user);
    LinkCategory(L"b@example.org", L"Work");
    LinkCategory(L"C@Example.org", L"Home");
    LinkCategory(L"C@Example.org", L"Garden");

    struct Case {
        const char* name;
        std::vector<std::wstring> categories;
        bool deletion;  // no category list at all
        const wchar_t* attendee;
        const wchar_t* expected;
    };
    const Case cases[] = {
        {"no categories", {}, false, nullptr, L"a@example.org;"},
        {"linked one", {L"Work"}, false, nullptr, L"a@example.org;b@example.org;"},
        {"both links",
         {L"Garden", L"Work"},
         false,
         nullptr,
         L"a@example.org;b@example.org;C@Example.org;"},
        {"case matters", {L"work"}, false, nullptr, L"a@example.org;"},
        {"deletion notice", {}, true, nullptr, L"a@example.org;b@example.org;C@Example.org;"},
        {"attendee left out",
         {L"Home", L"Work"},
         false,
         L"c@example.org",
         L"a@example.org;b@example.org;"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::wstring> attendees;
        if (c.attendee)
            attendees.push_back(c.attendee);
        std::wstring recipients = L"stale;";
        bool any = GetShareRecipients(m_engine.get(), folder, c.deletion ? nullptr : &c.categories,
                                      recipients, &attendees);
        EXPECT_EQ(recipients, c.expected);
        EXPECT_TRUE(any);
    }
    EXPECT_TRUE(DebugLogHas("Don't sent2User which is meetingrecipient C@Example.org"));
    EXPECT_TRUE(DebugLogHas("Cat4ThisUser Garden"));

    std::wstring none;
    EXPECT_FALSE(GetShareRecipients(m_engine.get(), L"0BADF00D", nullptr, none, nullptr));
    EXPECT_EQ(none, L"");
    EXPECT_TRUE(GetFolderUsers(L"0BADF00D").empty());
    EXPECT_EQ(GetFolderUsers(folder).size(), 3u);
}

TEST_F(SendMailTest, NewerChangeReplacesTheWaitingMailOfTheSameItem) {
    struct Case {
        const char* name;
        bool submitFirst;
        int fillers;
        LONG expectedMails;  // sync mails of the item in the Outbox at the end
    };
    const Case cases[] = {
        {"waiting, not yet submitted", false, 0, 1},
        {"submitted, not yet sent", true, 0, 1},
        {"long outbox is not searched", false, 20, 2},
        // The Outbox holds the fillers, the notice and the first mail when
        // the second change looks: 19 items are searched, 20 are not.
        {"nineteen items are searched", false, 17, 1},
        {"twenty items are not searched", false, 18, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // An empty Outbox for each case.
        for (LONG n = OutboxCount(); n > 0; --n)
            ASSERT_EQ(OutboxItem(1)->Delete(0), S_OK);
        FillOutbox(c.fillers);
        CComPtr<QMRMessage> item = NewItem(L"v1");
        // A deletion notice of the same item is no sync mail: never stopped.
        CComPtr<QMRMessage> notice;
        ASSERT_EQ(OutboxItems()->Add(CComVariant(L"IPM.Note"), &notice), S_OK);
        ASSERT_EQ(notice->PutBody(CComBSTR(
                      syncmail::BuildDeletionNoticeBody(Intro(), L"Team", SyncIdText(item)))),
                  S_OK);
        ASSERT_EQ(notice->Save(), S_OK);
        ASSERT_EQ(Build(item), S_OK);
        if (c.submitFirst) {
            CComPtr<QMRSafeMailItem> safe;
            ASSERT_EQ(CreateSafeMailItem(m_engine.get(), &safe), S_OK);
            ASSERT_EQ(safe->PutItem(OutboxItem(OutboxCount())), S_OK);
            ASSERT_EQ(safe->Send(), S_OK);  // no transport here: it stays submitted
        }
        ASSERT_EQ(item->PutSubject(CComBSTR(L"v2")), S_OK);
        ASSERT_EQ(item->Save(), S_OK);
        ASSERT_EQ(Build(item), S_OK);

        LONG syncMails = 0, notices = 0;
        std::wstring lastSubject;
        for (LONG i = 1; i <= OutboxCount(); ++i) {
            CComPtr<QMRMessage> mail = OutboxItem(i);
            CComBSTR body, subject;
            mail->GetBody(&body);
            mail->GetSubject(&subject);
            auto markers = syncmail::ReadSyncMailMarkers(body.View());
            if (markers.kind == syncmail::SyncMailKind::kSyncMail) {
                EXPECT_EQ(markers.syncIdText, SyncIdText(item));
                ++syncMails;
                lastSubject = subject.View();
            } else if (markers.kind == syncmail::SyncMailKind::kDeletionNotice) {
                ++notices;
            }
        }
        EXPECT_EQ(syncMails, c.expectedMails);
        EXPECT_EQ(notices, 1);
        EXPECT_NE(lastSubject.find(L" SUBJECT:v2"), std::wstring::npos) << win::ToUtf8(lastSubject);
    }
    EXPECT_TRUE(DebugLogHas("fMiOBox:mail was stopped"));
    EXPECT_TRUE(DebugLogHas("fMiOBox:too many items in outbox"));
}

TEST_F(SendMailTest, ManyWaitingMailsAreParkedInsteadOfLeftInTheOutbox) {
    struct Case {
        const char* name;
        LONG waiting;
        bool many;
        bool packEveryTime;
        bool parked;
        const wchar_t* status;  // expected status text; null: the long form
    };
    const Case cases[] = {
        {"idle", 0, false, false, false, L"unchanged"},
        {"ten waiting", 10, false, false, false, L"unchanged"},
        {"eleven waiting", 11, false, false, true, nullptr},
        {"burst", 3, true, false, true, L" ( 3 mails)"},
        {"pack every time", 0, false, true, true, L""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m_engine->m_packEveryTime = c.packEveryTime;
        m_engine->SetStatusText(L"unchanged");
        std::size_t kept = DebugLogCount("SendMail::SaveMail");
        std::size_t parkedLines = DebugLogCount("SaveSpecialMail");
        std::size_t failedLines = DebugLogCount("SaveSpecialMail FAILED");
        LONG counter = m_engine->m_parkedMailCounter.load();
        LONG before = OutboxCount();
        CComPtr<QMRMessage> item = NewItem(std::wstring(L"Item ") + win::FromUtf8(c.name));
        ASSERT_EQ(Build(item, L"", false, c.waiting, c.many), S_OK);

        EXPECT_EQ(DebugLogCount("SendMail::SaveMail") - kept, c.parked ? 0u : 1u);
        EXPECT_EQ(DebugLogCount("SaveSpecialMail") - parkedLines, c.parked ? 1u : 0u);
        std::wstring status;
        m_engine->GetStatusText(status);
        if (c.status) {
            EXPECT_EQ(status, c.status);
        } else {
            EXPECT_NE(status.find(L"compressing syncmails"), std::wstring::npos);
            EXPECT_NE(status.find(L"Subject: Item eleven waiting"), std::wstring::npos);
            EXPECT_NE(status.find(L"Items left: 11 mails"), std::wstring::npos);
        }
        if (!c.parked) {
            EXPECT_EQ(OutboxCount(), before + 1);
        } else if (DebugLogCount("SaveSpecialMail FAILED") > failedLines) {
            // Not parked: it stays in the Outbox and leaves singly.
            EXPECT_EQ(OutboxCount(), before + 1);
        } else {
            EXPECT_EQ(OutboxCount(), before);
            EXPECT_EQ(m_engine->m_parkedMailCounter.load(), counter + 1);
        }
    }
    EXPECT_EQ(SendMail::HandledCount() >= 5, true);
}

TEST_F(SendMailTest, MailThatCannotBeParkedStaysInTheOutbox) {
    CComPtr<QMRMessage> item = NewItem(L"Unparked");
    CComPtr<QMRMessage> mail;
    ASSERT_EQ(OutboxItems()->Add(CComVariant(L"IPM.Note"), &mail), S_OK);
    CComPtr<QMRSafeMailItem> safe;
    ASSERT_EQ(CreateSafeMailItem(m_engine.get(), &safe), S_OK);
    ASSERT_EQ(safe->PutItem(mail), S_OK);
    // No recipients text names no packet directory: nothing can be parked.
    EXPECT_EQ(
        SendMail::SaveMail(m_engine.get(), m_engine->Session(), mail, safe, item, L"", 11, true),
        S_OK);
    EXPECT_TRUE(DebugLogHas("SaveSpecialMail FAILED"));
    EXPECT_FALSE(DebugLogHas("SaveSpecialMail saved"));
    EXPECT_EQ(OutboxCount(), 1);
}

TEST_F(SendMailTest, OutboxTwinReadsSyncMailsAndNoticesOnly) {
    CComPtr<QMRSafeMailItem> safe;
    ASSERT_EQ(CreateSafeMailItem(m_engine.get(), &safe), S_OK);
    struct Case {
        const char* name;
        std::wstring body;
        bool result;
        bool remove;
        const wchar_t* id;
    };
    const Case cases[] = {
        {"sync mail", syncmail::BuildSyncMailBody(L"x", false, L"", L"Team", L"00AB", false), true,
         false, L"00AB"},
        {"notice", syncmail::BuildDeletionNoticeBody(L"x", L"Team", L"00CD"), true, true, L"00CD"},
        {"no markers", L"hello", false, false, L""},
        {"flag without ids", L"is:TRUE:is lf:Team:lf", false, false, L""},
        {"empty", L"", false, false, L""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CComPtr<QMRMessage> mail;
        ASSERT_EQ(OutboxItems()->Add(CComVariant(L"IPM.Note"), &mail), S_OK);
        if (!c.body.empty()) {
            ASSERT_EQ(mail->PutBody(CComBSTR(c.body)), S_OK);
        }
        ASSERT_EQ(safe->PutItem(mail), S_OK);
        bool remove = !c.remove;
        std::wstring id = L"stale";
        EXPECT_EQ(haveMyMailUserPropertyOutbox(safe, remove, id), c.result);
        EXPECT_EQ(id, c.id);
        if (c.result) {
            EXPECT_EQ(remove, c.remove);
        }
    }
    EXPECT_TRUE(ErrorLogHas("haveMyMailUserProperty0>no Body, no SyncId"));
}

TEST_F(SendMailTest, MailWhoseBodyCannotBeWrittenIsDeletedAgain) {
    CComPtr<QMRMessage> item = NewItem(L"No body");
    SetHelperObjectCreatorForTesting(CreateWithBodyRefusingSafeItems);
    HRESULT hr = Build(item);
    SetHelperObjectCreatorForTesting(nullptr);
    EXPECT_EQ(hr, MAPI_E_NO_ACCESS);
    EXPECT_TRUE(ErrorLogHas("could not add any Body!"));
    EXPECT_TRUE(ErrorLogHas("sendSyncMessage failed"));
    EXPECT_EQ(OutboxCount(), 0);
}

TEST_F(SendMailTest, MailWhoseCabinetCannotBeWrittenStillLeavesWithoutIt) {
    // A directory where the cabinet file belongs: the writer can't create it.
    fs::create_directories(HostPath(m_engine->CabinetPath()));
    CComPtr<QMRMessage> item = NewItem(L"No cabinet");
    EXPECT_EQ(Build(item), S_OK);
    EXPECT_TRUE(ErrorLogHas("SSM::"));
    EXPECT_TRUE(ErrorLogHas("put_Item((IDispatch*)mailItem)"));
    EXPECT_TRUE(ErrorLogHas(win::ToAnsi(L"Icon ändern")));
    ASSERT_EQ(OutboxCount(), 1);
    CComPtr<QMRMessage> mail = OutboxItem(1);
    CComPtr<QMRAttachments> attachments;
    ASSERT_EQ(mail->GetAttachments(&attachments), S_OK);
    LONG count = -1;
    ASSERT_EQ(attachments->GetCount(&count), S_OK);
    EXPECT_EQ(count, 0);
    CComBSTR body, subject;
    ASSERT_EQ(mail->GetBody(&body), S_OK);
    ASSERT_EQ(mail->GetSubject(&subject), S_OK);
    EXPECT_EQ(syncmail::ReadSyncMailMarkers(body.View()).syncIdText, SyncIdText(item));
    EXPECT_EQ(subject.View().rfind(L">-Quillmere-< ", 0), 0u);
}

}  // namespace
