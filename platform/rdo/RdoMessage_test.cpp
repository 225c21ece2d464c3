#include "platform/rdo/RdoMessage.h"

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "platform/msgfile/MsgFile.h"
#include "platform/rdo/PropVariant.h"
#include "platform/rdo/RdoTestSupport.h"
#include "platform/win/Clock.h"
#include "platform/win/Guid.h"
#include "platform/win/Text.h"

namespace rdo::testing {
namespace {

using namespace mapi;

const wchar_t kOwnSet[] = L"{B9B4C7C0-7F5E-4C1A-9B4E-5A6E1F0D2C31}";

class RdoMessageTest : public RdoTest {
protected:
    void SetUp() override {
        RdoTest::SetUp();
        m_profiles.Add(MakeProfile(L"Ann"));
        m_profiles.Add(MakeProfile(L"Bob"), false);
        ASSERT_EQ(Create(CLSID_QMRMAPIUtils, IID_QMRMAPIUtils, m_utils), S_OK);
        ASSERT_EQ(Create(CLSID_QMRRDOSession, IID_QMRRDOSession, m_ann), S_OK);
        ASSERT_EQ(Create(CLSID_QMRRDOSession, IID_QMRRDOSession, m_bob), S_OK);
        ASSERT_EQ(Logon(m_ann), S_OK);
        ASSERT_EQ(m_bob->Logon(CComVariant(L"Bob"), Empty(), Empty(), Empty(), Empty(), Empty()),
                  S_OK);
        std::filesystem::create_directories(m_machine.DriveC() + "/temp");
    }
    void TearDown() override {
        m_utils.Release();
        m_ann.Release();
        m_bob.Release();
        RdoTest::TearDown();
    }
    static CComPtr<QMRMessage> NewIn(QMRRDOSession* session, LONG folder,
                                     const wchar_t* cls = L"IPM.Note") {
        CComPtr<QMRMAPIFolder> f;
        EXPECT_EQ(session->GetDefaultFolder(folder, &f), S_OK);
        CComPtr<QMRItems> items;
        EXPECT_EQ(f->GetItems(&items), S_OK);
        CComPtr<QMRMessage> m;
        EXPECT_EQ(items->Add(CComVariant(cls), &m), S_OK);
        return m;
    }
    static CComPtr<QMRMessage> Reopen(QMRRDOSession* session, QMRMessage* m) {
        CComBSTR id, store;
        m->GetEntryID(&id);
        m->GetStoreID(&store);
        CComPtr<QMRMessage> again;
        EXPECT_EQ(session->GetMessageFromID(id, store, CComVariant(LONG(0x10)), &again), S_OK);
        return again;
    }
    ULONG Named(QMRMessage* m, const wchar_t* name) {
        ULONG tag = 0;
        EXPECT_EQ(
            m_utils->GetIDsFromNames(m, CComBSTR(kOwnSet), CComVariant(name), VARIANT_TRUE, &tag),
            S_OK);
        return tag;
    }
    void WriteHostFile(const std::string& path, const std::string& bytes) {
        std::ofstream(path, std::ios::binary) << bytes;
    }
    static std::string ReadHostFile(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }

    CComPtr<QMRMAPIUtils> m_utils;
    CComPtr<QMRRDOSession> m_ann;
    CComPtr<QMRRDOSession> m_bob;
};

TEST_F(RdoMessageTest, MessageFileCarriesEverythingIntoAnotherStore) {
    CComPtr<QMRMessage> mail = NewIn(m_ann, 6);
    ASSERT_EQ(mail->PutSubject(CComBSTR(L"Grüße aus Köln")), S_OK);
    ASSERT_EQ(mail->PutBody(CComBSTR(L"line one\r\nline two")), S_OK);
    ASSERT_EQ(mail->PutImportance(2), S_OK);
    ASSERT_EQ(mail->PutTo(CComBSTR(L"Bert Brown; dora@example.org")), S_OK);
    VARIANT_BOOL all = VARIANT_FALSE;
    ASSERT_EQ(mail->ResolveRecipients(-1, &all), S_OK);
    EXPECT_EQ(all, VARIANT_TRUE);
    ULONG version = Named(mail, L"qmr-syncversion");
    ASSERT_EQ(mail->SetFields(CComVariant(LONG(version | PT_LONG)), CComVariant(LONG(5))), S_OK);
    WriteHostFile(m_machine.DriveC() + "/temp/notes.txt", std::string("attached\0bytes", 14));
    ASSERT_EQ(mail->Save(), S_OK);
    CComPtr<QMRAttachments> attachments;
    ASSERT_EQ(mail->GetAttachments(&attachments), S_OK);
    CComPtr<QMRAttachment> added;
    ASSERT_EQ(attachments->Add(CComBSTR(L"C:\\temp\\notes.txt"), CComVariant(LONG(1)),
                               CComVariant(LONG(1)), CComVariant(L"C:\\temp\\notes.txt"), &added),
              S_OK);
    ASSERT_EQ(mail->Save(), S_OK);
    CComVariant searchKey;
    ASSERT_EQ(mail->GetFields(CComVariant(LONG(PR_SEARCH_KEY)), &searchKey), S_OK);

    ASSERT_EQ(mail->SaveAs(CComBSTR(L"C:\\temp\\share.syn"), CComVariant()), S_OK);
    EXPECT_EQ(mail->SaveAs(CComBSTR(L"C:\\temp\\share.txt"), CComVariant(LONG(0))), E_INVALIDARG);

    CComPtr<QMRMessage> copy = NewIn(m_bob, 6);
    ASSERT_EQ(copy->PutReminderSet(VARIANT_FALSE), S_OK);
    ASSERT_EQ(copy->Import(CComBSTR(L"C:\\temp\\share.syn"), 3), S_OK);
    ASSERT_EQ(copy->Save(), S_OK);
    CComPtr<QMRMessage> there = Reopen(m_bob, copy);

    CComBSTR subject, body;
    ASSERT_EQ(there->GetSubject(&subject), S_OK);
    EXPECT_TRUE(subject == L"Grüße aus Köln");
    ASSERT_EQ(there->GetBody(&body), S_OK);
    EXPECT_TRUE(body == L"line one\r\nline two");
    CComVariant importance, key;
    ASSERT_EQ(there->GetFields(CComVariant(LONG(PR_IMPORTANCE)), &importance), S_OK);
    EXPECT_EQ(importance.lVal, 2);
    // The sync id travels: the search key is the same in both stores.
    ASSERT_EQ(there->GetFields(CComVariant(LONG(PR_SEARCH_KEY)), &key), S_OK);
    Bytes a, b;
    ASSERT_TRUE(BinaryFromVariant(searchKey, a));
    ASSERT_TRUE(BinaryFromVariant(key, b));
    EXPECT_EQ(a, b);
    // The named property is found by its name in the other store.
    CComVariant value;
    ASSERT_EQ(m_utils->HrGetOneProp(there, Named(there, L"qmr-syncversion") | PT_LONG, &value),
              S_OK);
    EXPECT_EQ(value.lVal, 5);

    CComPtr<QMRRecipients> recipients;
    ASSERT_EQ(there->GetRecipients(&recipients), S_OK);
    LONG count = 0;
    ASSERT_EQ(recipients->GetCount(&count), S_OK);
    ASSERT_EQ(count, 2);
    CComPtr<QMRRecipient> first;
    ASSERT_EQ(recipients->Item(1, &first), S_OK);
    CComBSTR address;
    ASSERT_EQ(first->GetAddress(&address), S_OK);
    EXPECT_TRUE(address == L"bert@example.org");

    CComPtr<QMRAttachments> copied;
    ASSERT_EQ(there->GetAttachments(&copied), S_OK);
    ASSERT_EQ(copied->GetCount(&count), S_OK);
    ASSERT_EQ(count, 1);
    CComPtr<QMRAttachment> one;
    ASSERT_EQ(copied->Item(1, &one), S_OK);
    CComBSTR fileName;
    ASSERT_EQ(one->GetFileName(&fileName), S_OK);
    EXPECT_TRUE(fileName == L"notes.txt");
    ASSERT_EQ(one->SaveAsFile(CComBSTR(L"C:\\temp\\out.bin")), S_OK);
    EXPECT_EQ(ReadHostFile(m_machine.DriveC() + "/temp/out.bin"),
              std::string("attached\0bytes", 14));
}

// Hex of the UTF-8 bytes, as the independent reader prints texts.
std::string Utf8Hex(const std::wstring& text) {
    std::string utf8 = win::ToUtf8(text), hex;
    static const char kDigits[] = "0123456789abcdef";
    for (unsigned char c : utf8) {
        hex.push_back(kDigits[c >> 4]);
        hex.push_back(kDigits[c & 15]);
    }
    return hex;
}

TEST_F(RdoMessageTest, SavedMessageFileIsReadByAnIndependentReader) {
    CComPtr<QMRMessage> mail = NewIn(m_ann, 6);
    ASSERT_EQ(mail->PutSubject(CComBSTR(L"Grüße")), S_OK);
    ASSERT_EQ(mail->PutBody(CComBSTR(L"body text")), S_OK);
    ASSERT_EQ(mail->PutTo(CComBSTR(L"bert@example.org")), S_OK);
    WriteHostFile(m_machine.DriveC() + "/temp/sync.zuf", "cabinet bytes");
    ASSERT_EQ(mail->Save(), S_OK);
    CComPtr<QMRAttachments> attachments;
    ASSERT_EQ(mail->GetAttachments(&attachments), S_OK);
    ASSERT_EQ(attachments->Add(CComBSTR(L"C:\\temp\\sync.zuf"), CComVariant(LONG(1)), CComVariant(),
                               CComVariant(), nullptr),
              S_OK);
    ASSERT_EQ(mail->SaveAs(CComBSTR(L"C:\\temp\\oracle.msg"), CComVariant(LONG(3))), S_OK);
    std::string command = "/usr/bin/python3 " QM_SOURCE_DIR "/platform/msgfile/msg_oracle.py '" +
                          m_machine.DriveC() + "/temp/oracle.msg' 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string out;
    char buffer[4096];
    while (std::size_t n = fread(buffer, 1, sizeof buffer, pipe))
        out.append(buffer, n);
    int status = pclose(pipe);
    if (out.find("No module named") != std::string::npos)
        GTEST_SKIP() << "olefile is not installed";
    ASSERT_EQ(status, 0) << out;
    EXPECT_NE(out.find("subject U:" + Utf8Hex(L"Grüße") + "\n"), std::string::npos) << out;
    EXPECT_NE(out.find("body U:" + Utf8Hex(L"body text") + "\n"), std::string::npos) << out;
    EXPECT_NE(out.find("recipients 1\n"), std::string::npos) << out;
    EXPECT_NE(out.find("attachments 1\n"), std::string::npos) << out;
    EXPECT_NE(out.find("att0.longname U:" + Utf8Hex(L"sync.zuf")), std::string::npos) << out;
    EXPECT_NE(out.find("att0.data 13 "), std::string::npos) << out;
}

// FNV-1a 64 as the independent reader prints attachment bytes.
std::string Fnv(const std::string& data) {
    std::uint64_t h = 0xCBF29CE484222325ULL;
    for (unsigned char b : data) {
        h ^= b;
        h *= 0x100000001B3ULL;
    }
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(h));
    return text;
}

// A mail with two recipients, two attachments, three named properties (by
// name in an own set and in the public strings, by number in a common set)
// and a subject beyond Latin-1, saved by the helper library as a message
// file: our reader gives back every field, and so does the independent
// reader, which also maps the named properties by the file's name storage.
TEST_F(RdoMessageTest, FullMailSavedAsMessageFileReadsBackInOurReaderAndAnIndependentOne) {
    const std::wstring subject = L"Gr\u00FC\u00DFe \u65E5\u672C \U0001F600 sync";
    const std::wstring body = L"First line\r\nZweite Zeile: \u00E4\u00F6\u00FC\r\n";
    std::string small("attached\0bytes", 14), large;
    for (int i = 0; i < 100000; ++i)
        large.push_back(static_cast<char>((i * 7919 + 13) >> 3));
    WriteHostFile(m_machine.DriveC() + "/temp/notes.txt", small);
    WriteHostFile(m_machine.DriveC() + "/temp/Bericht \xC3\xBC.bin", large);

    CComPtr<QMRMessage> mail = NewIn(m_ann, 6);
    ASSERT_EQ(mail->PutSubject(CComBSTR(subject.c_str())), S_OK);
    ASSERT_EQ(mail->PutBody(CComBSTR(body.c_str())), S_OK);
    ASSERT_EQ(mail->PutTo(CComBSTR(L"Bert Brown; dora@example.org")), S_OK);
    ASSERT_EQ(mail->ResolveRecipients(0, nullptr), S_OK);
    const NamedProperty version =
        NamedProperty::ByName(*win::ParseGuid(kOwnSet), L"qmr-syncversion");
    const NamedProperty note = NamedProperty::ByName(PS_PUBLIC_STRINGS, L"x-quillmere-note");
    const NamedProperty delta = NamedProperty::ById(PSETID_Common, 0x8501);
    ULONG versionTag = Named(mail, L"qmr-syncversion") | PT_LONG;
    ULONG noteTag = 0, deltaTag = 0;
    ASSERT_EQ(m_utils->GetIDsFromNames(mail, CComBSTR(L"{00020329-0000-0000-C000-000000000046}"),
                                       CComVariant(L"x-quillmere-note"), VARIANT_TRUE, &noteTag),
              S_OK);
    ASSERT_EQ(m_utils->GetIDsFromNames(mail, CComBSTR(L"{00062008-0000-0000-C000-000000000046}"),
                                       CComVariant(LONG(0x8501)), VARIANT_TRUE, &deltaTag),
              S_OK);
    ASSERT_EQ(mail->SetFields(CComVariant(LONG(versionTag)), CComVariant(LONG(5))), S_OK);
    ASSERT_EQ(mail->SetFields(CComVariant(LONG(noteTag | PT_UNICODE)), CComVariant(L"\u00FCber")),
              S_OK);
    ASSERT_EQ(mail->SetFields(CComVariant(LONG(deltaTag | PT_LONG)), CComVariant(LONG(15))), S_OK);
    ASSERT_EQ(mail->Save(), S_OK);
    CComPtr<QMRAttachments> attachments;
    ASSERT_EQ(mail->GetAttachments(&attachments), S_OK);
    for (const wchar_t* file : {L"C:\\temp\\notes.txt", L"C:\\temp\\Bericht \u00FC.bin"})
        ASSERT_EQ(
            attachments->Add(CComBSTR(file), CComVariant(), CComVariant(), CComVariant(), nullptr),
            S_OK);
    ASSERT_EQ(mail->Save(), S_OK);
    ASSERT_EQ(mail->SaveAs(CComBSTR(L"C:\\temp\\full.msg"), CComVariant(LONG(3))), S_OK);
    const std::string path = m_machine.DriveC() + "/temp/full.msg";

    // Our reader.
    MessageContent read;
    ASSERT_EQ(msgfile::ReadMsgFile(path, &read), S_OK);
    EXPECT_EQ(read.props.GetText(PR_SUBJECT), subject);
    EXPECT_EQ(read.props.GetText(PR_BODY), body);
    ASSERT_EQ(read.recipients.size(), 2u);
    EXPECT_EQ(read.recipients[0].GetText(PR_DISPLAY_NAME), L"Bert Brown");
    EXPECT_EQ(read.recipients[0].GetText(PR_EMAIL_ADDRESS), L"bert@example.org");
    EXPECT_EQ(read.recipients[1].GetText(PR_EMAIL_ADDRESS), L"dora@example.org");
    for (const auto& r : read.recipients)
        EXPECT_EQ(r.GetInteger(PR_RECIPIENT_TYPE), MAPI_TO);
    ASSERT_EQ(read.attachments.size(), 2u);
    EXPECT_EQ(read.attachments[0].props.GetText(PR_ATTACH_LONG_FILENAME), L"notes.txt");
    EXPECT_EQ(std::string(read.attachments[0].data.begin(), read.attachments[0].data.end()), small);
    EXPECT_EQ(read.attachments[1].props.GetText(PR_ATTACH_LONG_FILENAME), L"Bericht \u00FC.bin");
    EXPECT_EQ(std::string(read.attachments[1].data.begin(), read.attachments[1].data.end()), large);
    ASSERT_NE(read.FindNamed(version), nullptr);
    ASSERT_NE(read.FindNamed(version)->Integer(), nullptr);
    EXPECT_EQ(*read.FindNamed(version)->Integer(), 5);
    ASSERT_NE(read.FindNamed(note), nullptr);
    ASSERT_NE(read.FindNamed(note)->Wide(), nullptr);
    EXPECT_EQ(*read.FindNamed(note)->Wide(), L"\u00FCber");
    ASSERT_NE(read.FindNamed(delta), nullptr);
    ASSERT_NE(read.FindNamed(delta)->Integer(), nullptr);
    EXPECT_EQ(*read.FindNamed(delta)->Integer(), 15);

    // The independent reader.
    std::string command = "/usr/bin/python3 " QM_SOURCE_DIR
                          "/platform/msgfile/msg_oracle.py --named '" +
                          path + "' 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string out;
    char buffer[4096];
    while (std::size_t n = fread(buffer, 1, sizeof buffer, pipe))
        out.append(buffer, n);
    ASSERT_EQ(pclose(pipe), 0) << out;
    std::vector<std::string> facts;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("stream ", 0) != 0 && line.rfind("rootclsid ", 0) != 0)
            facts.push_back(line);
    const std::vector<std::string> expected = {
        "subject U:" + Utf8Hex(subject),
        "body U:" + Utf8Hex(body),
        "recipients 2",
        "recip0.name U:" + Utf8Hex(L"Bert Brown"),
        "recip0.email U:" + Utf8Hex(L"bert@example.org"),
        "recip0.smtp U:" + Utf8Hex(L"bert@example.org"),
        "recip0.type 1",
        "recip1.name U:" + Utf8Hex(L"dora@example.org"),
        "recip1.email U:" + Utf8Hex(L"dora@example.org"),
        "recip1.smtp U:" + Utf8Hex(L"dora@example.org"),
        "recip1.type 1",
        "attachments 2",
        "att0.filename U:" + Utf8Hex(L"notes.txt"),
        "att0.longname U:" + Utf8Hex(L"notes.txt"),
        "att0.data 14 " + Fnv(small),
        "att1.filename U:" + Utf8Hex(L"Bericht \u00FC.bin"),
        "att1.longname U:" + Utf8Hex(L"Bericht \u00FC.bin"),
        "att1.data 100000 " + Fnv(large),
        "named {00020329-0000-0000-C000-000000000046} S:x-quillmere-note 001F U:" +
            Utf8Hex(L"\u00FCber"),
        "named {00062008-0000-0000-C000-000000000046} I:8501 0003 15",
        "named {B9B4C7C0-7F5E-4C1A-9B4E-5A6E1F0D2C31} S:qmr-syncversion 0003 5",
    };
    EXPECT_EQ(facts, expected) << out;
}

TEST_F(RdoMessageTest, MessageFileOpensDetachedFromEveryStore) {
    CComPtr<QMRMessage> mail = NewIn(m_ann, 6, L"IPM.Contact");
    ASSERT_EQ(mail->PutSubject(CComBSTR(L"Dora")), S_OK);
    ASSERT_EQ(mail->SaveAs(CComBSTR(L"C:\\temp\\sync.msg"), CComVariant(LONG(3))), S_OK);
    CComPtr<QMRMessage> file;
    ASSERT_EQ(m_ann->GetMessageFromMsgFile(CComBSTR(L"C:\\temp\\sync.msg"), VARIANT_FALSE, &file),
              S_OK);
    CComBSTR cls, subject;
    ASSERT_EQ(file->GetMessageClass(&cls), S_OK);
    EXPECT_TRUE(cls == L"IPM.Contact");
    ASSERT_EQ(file->GetSubject(&subject), S_OK);
    EXPECT_TRUE(subject == L"Dora");
    CComPtr<QMRMessage> missing;
    EXPECT_EQ(
        m_ann->GetMessageFromMsgFile(CComBSTR(L"C:\\temp\\none.msg"), VARIANT_FALSE, &missing),
        MAPI_E_NOT_FOUND);
    WriteHostFile(m_machine.DriveC() + "/temp/bad.msg", "not a compound file");
    EXPECT_EQ(m_ann->GetMessageFromMsgFile(CComBSTR(L"C:\\temp\\bad.msg"), VARIANT_FALSE, &missing),
              MAPI_E_CORRUPT_DATA);
    CComPtr<QMRMessage> target = NewIn(m_bob, 6);
    EXPECT_EQ(target->Import(CComBSTR(L"C:\\temp\\bad.msg"), 3), MAPI_E_CORRUPT_DATA);
    EXPECT_EQ(target->Import(CComBSTR(L"C:\\temp\\sync.msg"), 1), E_INVALIDARG);
}

TEST_F(RdoMessageTest, MailFieldsAreKeptAsTheMailClientReadsThem) {
    CComPtr<QMRMessage> mail = NewIn(m_ann, 6);
    ASSERT_EQ(mail->PutHTMLBody(CComBSTR(L"Help text<br>\r\nold body &amp; more")), S_OK);
    ASSERT_EQ(mail->PutUnRead(VARIANT_FALSE), S_OK);
    ASSERT_EQ(mail->PutSentOnBehalfOfName(CComBSTR(L"sync@example.org")), S_OK);
    ASSERT_EQ(mail->PutDeleteAfterSubmit(VARIANT_TRUE), S_OK);
    ASSERT_EQ(mail->PutReminderSet(VARIANT_TRUE), S_OK);
    EXPECT_EQ(mail->PutImportance(3), E_INVALIDARG);
    SYSTEMTIME st{2026, 12, 4, 10, 11, 12, 13, 0};
    DATE when = 0;
    SystemTimeToVariantTime(&st, &when);
    ASSERT_EQ(mail->SetMailTime(when), S_OK);
    ASSERT_EQ(mail->Save(), S_OK);
    CComPtr<QMRMessage> again = Reopen(m_ann, mail);
    CComBSTR body;
    ASSERT_EQ(again->GetBody(&body), S_OK);
    EXPECT_TRUE(body == L"Help text\r\nold body & more");
    CComVariant flags, onBehalf, deleteAfter;
    ASSERT_EQ(again->GetFields(CComVariant(LONG(PR_MESSAGE_FLAGS)), &flags), S_OK);
    EXPECT_TRUE(flags.lVal & MSGFLAG_READ);
    ASSERT_EQ(again->GetFields(CComVariant(LONG(PR_SENT_REPRESENTING_NAME)), &onBehalf), S_OK);
    EXPECT_STREQ(onBehalf.bstrVal, L"sync@example.org");
    ASSERT_EQ(again->GetFields(CComVariant(LONG(PR_DELETE_AFTER_SUBMIT)), &deleteAfter), S_OK);
    EXPECT_EQ(deleteAfter.boolVal, VARIANT_TRUE);
    DATE stamp = 0;
    ASSERT_EQ(again->GetTimeStamp(&stamp), S_OK);
    EXPECT_NEAR(stamp, when, 1.0 / 86400);
    CComVariant reminder;
    ASSERT_EQ(again->GetFields(CComVariant(L"http://schemas.microsoft.com/mapi/id/"
                                           L"{00062008-0000-0000-C000-000000000046}/0x8503000B"),
                               &reminder),
              S_OK);
    EXPECT_EQ(reminder.boolVal, VARIANT_TRUE);
    CComVariant missing;
    EXPECT_EQ(again->GetFields(CComVariant(LONG(PROP_TAG(PT_LONG, 0x6699))), &missing),
              MAPI_E_NOT_FOUND);
}

// The sender text of a received mail: its sender, else whom it was sent
// for, else nothing.
TEST_F(RdoMessageTest, SenderNameIsTheSenderElseTheRepresentedOne) {
    CComPtr<QMRMessage> mail = NewIn(m_ann, 6);
    CComBSTR none, represented, sender;
    ASSERT_EQ(mail->GetSenderName(&none), S_OK);
    EXPECT_EQ(none.Length(), 0u);
    ASSERT_EQ(mail->PutSentOnBehalfOfName(CComBSTR(L"sync@example.org")), S_OK);
    ASSERT_EQ(mail->GetSenderName(&represented), S_OK);
    EXPECT_TRUE(represented == L"sync@example.org");
    ASSERT_EQ(mail->SetFields(CComVariant(LONG(PR_SENDER_NAME)), CComVariant(L"Bert Brown")), S_OK);
    ASSERT_EQ(mail->Save(), S_OK);
    ASSERT_EQ(Reopen(m_ann, mail)->GetSenderName(&sender), S_OK);
    EXPECT_TRUE(sender == L"Bert Brown");
}

TEST_F(RdoMessageTest, OnlyAppointmentsOfferTheAppointmentView) {
    CComPtr<QMRMessage> mail = NewIn(m_ann, 6);
    CComPtr<QMRAppointment> none;
    EXPECT_EQ(mail->QueryInterface(IID_QMRAppointment, reinterpret_cast<void**>(&none)),
              E_NOINTERFACE);
    CComPtr<QMRMessage> meeting = NewIn(m_ann, 9, L"IPM.Appointment");
    CComBSTR endName(
        L"http://schemas.microsoft.com/mapi/id/"
        L"{00062002-0000-0000-C000-000000000046}/0x820E0040");
    CComVariant end;
    end.vt = VT_DATE;
    end.date = 46500.25;
    ASSERT_EQ(meeting->SetFields(CComVariant(endName), end), S_OK);
    CComPtr<QMRAppointment> view;
    ASSERT_EQ(meeting->QueryInterface(IID_QMRAppointment, reinterpret_cast<void**>(&view)), S_OK);
    DATE date = 0;
    ASSERT_EQ(view->GetDate(&date), S_OK);
    EXPECT_NEAR(date, UtcDateToLocal(46500.25), 1e-6);
}

// Outlook hands a meeting request, response or cancellation out as a
// meeting item, an appointment as an appointment item: each message class
// gets its own view, and both tell the meeting's state.
TEST_F(RdoMessageTest, MeetingMessagesOfferTheMeetingViewAndAppointmentsTheirState) {
    const wchar_t* const kStateFlags =
        L"http://schemas.microsoft.com/mapi/id/{00062002-0000-0000-C000-000000000046}/0x82170003";
    struct Case {
        const wchar_t* messageClass;
        LONG stateFlags;  // -1: not written
        bool appointmentView;
        bool meetingView;
        LONG status;  // of the view offered
    };
    const Case cases[] = {
        {L"IPM.Schedule.Meeting.Request", 3, false, true, kQmrMeetingReceived},
        {L"IPM.Schedule.Meeting.Resp.Pos", -1, false, true, kQmrMeeting},
        {L"IPM.Schedule.Meeting.Resp.Neg", -1, false, true, kQmrMeeting},
        {L"IPM.Schedule.Meeting.Resp.Tent", -1, false, true, kQmrMeeting},
        {L"IPM.Schedule.Meeting.Canceled", 7, false, true, kQmrMeetingReceivedAndCanceled},
        {L"ipm.schedule.meeting.request", -1, false, true, kQmrMeeting},
        {L"IPM.Appointment", -1, true, false, kQmrNonMeeting},
        {L"IPM.Appointment", 0, true, false, kQmrNonMeeting},
        {L"IPM.Appointment", 1, true, false, kQmrMeeting},
        {L"IPM.Appointment", 5, true, false, kQmrMeetingCanceled},
        {L"IPM.Appointment", 6, true, false, kQmrNonMeeting},  // no meeting bit
        {L"IPM.Appointment.Custom", 3, true, false, kQmrMeetingReceived},
        {L"IPM.AppointmentX", 3, false, false, 0},
        {L"IPM.Schedule.MeetingX", 3, false, false, 0},
        {L"IPM.Note", 3, false, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(win::ToUtf8(c.messageClass) + " " + std::to_string(c.stateFlags));
        CComPtr<QMRMessage> made = NewIn(m_ann, 9, c.messageClass);
        if (c.stateFlags >= 0) {
            ASSERT_EQ(made->SetFields(CComVariant(kStateFlags), CComVariant(c.stateFlags)), S_OK);
        }
        ASSERT_EQ(made->Save(), S_OK);
        CComPtr<QMRMessage> message = Reopen(m_ann, made);
        CComPtr<QMRAppointment> appointment;
        CComPtr<QMRMeetingItem> meeting;
        EXPECT_EQ(
            message->QueryInterface(IID_QMRAppointment, reinterpret_cast<void**>(&appointment)),
            c.appointmentView ? S_OK : E_NOINTERFACE);
        EXPECT_EQ(message->QueryInterface(IID_QMRMeetingItem, reinterpret_cast<void**>(&meeting)),
                  c.meetingView ? S_OK : E_NOINTERFACE);
        LONG status = -1;
        if (appointment) {
            ASSERT_EQ(appointment->GetMeetingStatus(&status), S_OK);
            EXPECT_EQ(status, c.status);
        }
        if (meeting) {
            ASSERT_EQ(meeting->GetMeetingStatus(&status), S_OK);
            EXPECT_EQ(status, c.status);
        }
    }
}

TEST_F(RdoMessageTest, MoveFilesTheMailElsewhereKeepingItsId) {
    CComPtr<QMRMessage> mail = NewIn(m_ann, 6);
    ASSERT_EQ(mail->PutSubject(CComBSTR(L">-Quillmere-< 1")), S_OK);
    ASSERT_EQ(mail->Save(), S_OK);
    CComPtr<QMRMAPIFolder> inbox, parent;
    ASSERT_EQ(m_ann->GetDefaultFolder(6, &inbox), S_OK);
    ASSERT_EQ(inbox->GetParent(&parent), S_OK);
    CComPtr<QMRFolders> folders;
    ASSERT_EQ(parent->GetFolders(&folders), S_OK);
    CComPtr<QMRMAPIFolder> addin;
    ASSERT_EQ(folders->Add(CComBSTR(L"Quillmere"), &addin), S_OK);
    CComPtr<QMRMessage> moved;
    ASSERT_EQ(mail->Move(addin, &moved), S_OK);
    CComPtr<QMRItems> items;
    ASSERT_EQ(addin->GetItems(&items), S_OK);
    LONG count = 0;
    ASSERT_EQ(items->GetCount(&count), S_OK);
    EXPECT_EQ(count, 1);
    CComPtr<QMRMAPIFolder> movedParent;
    ASSERT_EQ(moved->GetParent(&movedParent), S_OK);
    CComBSTR name;
    movedParent->GetName(&name);
    EXPECT_TRUE(name == L"Quillmere");
    CComPtr<QMRMAPIFolder> bobInbox;
    ASSERT_EQ(m_bob->GetDefaultFolder(6, &bobInbox), S_OK);
    EXPECT_EQ(moved->Move(bobInbox, nullptr), E_INVALIDARG);
}

}  // namespace
}  // namespace rdo::testing
