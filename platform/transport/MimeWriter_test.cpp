#include "platform/transport/MimeWriter.h"

#include <gtest/gtest.h>

#include "platform/transport/MimeParser.h"
#include "platform/transport/TransportTestSupport.h"
#include "platform/win/Clock.h"
#include "platform/win/Text.h"

namespace transport {
namespace {

using mapi::PropValue;
using testing::FileAttachment;
using testing::Recipient;

const MailAddress kAlice{L"Alice Adler", L"alice@example.org"};

std::string Write(const mapi::MessageContent& m, MailAddress sender = kAlice) {
    WriteOptions options;
    options.sender = std::move(sender);
    std::string out;
    std::string error;
    EXPECT_EQ(WriteMime(m, options, &out, &error), S_OK) << error;
    return out;
}

mapi::MessageContent Read(const std::string& bytes) {
    mapi::MessageContent m;
    std::string error;
    EXPECT_EQ(ParseMime(bytes, ParseOptions{}, &m, &error), S_OK) << error;
    return m;
}

std::wstring Text(const mapi::PropertyBag& bag, ULONG tag) {
    return bag.GetText(tag).value_or(L"<absent>");
}

std::string HeaderSection(const std::string& mail) {
    return mail.substr(0, mail.find("\r\n\r\n") + 2);
}

mapi::MessageContent RichMessage() {
    mapi::MessageContent m = testing::SyncLikeMail();
    m.props.Set(mapi::PR_SUBJECT,
                PropValue::Unicode(L"Gr\u00FC\u00DFe aus K\u00F6ln \u20AC \U0001F600 \u2014 a "
                                   L"subject long enough to need more than one encoded word"));
    m.props.Set(mapi::PR_HTML,
                PropValue::Binary(mapi::Bytes{'<', 'p', '>', 0xC3, 0xA4, '<', '/', 'p', '>'}));
    m.recipients.push_back(Recipient(mapi::MAPI_TO, L"Carol, C.", L"carol@example.org"));
    m.recipients.push_back(Recipient(mapi::MAPI_CC, L"D\u00F6rte", L"doerte@example.de"));
    m.recipients.push_back(Recipient(mapi::MAPI_BCC, L"Eve", L"eve@example.org"));
    m.attachments.push_back(FileAttachment(L"sync.msg", testing::RandomBytes(11, 3000)));
    m.attachments.push_back(
        FileAttachment(L"\u00C4nderungen \u20AC 2026.bin", mapi::Bytes{0, 1, 2}));
    return m;
}

TEST(MimeWriter, SyncMailComesBackExactly) {
    mapi::MessageContent sent = testing::SyncLikeMail();
    std::string mail = Write(sent);
    mapi::MessageContent got = Read(mail);
    EXPECT_EQ(Text(got.props, mapi::PR_SUBJECT), Text(sent.props, mapi::PR_SUBJECT));
    EXPECT_EQ(Text(got.props, mapi::PR_BODY), Text(sent.props, mapi::PR_BODY));
    ASSERT_EQ(got.attachments.size(), 1u);
    EXPECT_EQ(got.attachments[0].data, sent.attachments[0].data);
    EXPECT_EQ(Text(got.attachments[0].props, mapi::PR_ATTACH_LONG_FILENAME), L"sync.zuf");
    EXPECT_EQ(Text(got.attachments[0].props, mapi::PR_ATTACH_FILENAME), L"sync.zuf");
    EXPECT_EQ(Text(got.attachments[0].props, mapi::PR_DISPLAY_NAME), L"sync.zuf");
    EXPECT_EQ(got.attachments[0].props.GetInteger(mapi::PR_ATTACH_METHOD), mapi::ATTACH_BY_VALUE);
    EXPECT_EQ(Text(got.props, mapi::PR_MESSAGE_CLASS), L"IPM.Note");
    EXPECT_NE(mail.find("Subject: >-Quillmere-< 12/10/2026 9:54:23 AM\r\n"), std::string::npos)
        << "a marker subject travels as plain text";
}

TEST(MimeWriter, EveryLineIsShortSevenBitAndEndsWithCrLf) {
    std::string mail = Write(RichMessage());
    std::string headers = HeaderSection(mail);
    std::size_t pos = 0;
    while (pos < mail.size()) {
        std::size_t crlf = mail.find("\r\n", pos);
        ASSERT_NE(crlf, std::string::npos) << "unterminated last line";
        std::string line = mail.substr(pos, crlf - pos);
        EXPECT_EQ(line.find('\n'), std::string::npos);
        EXPECT_EQ(line.find('\r'), std::string::npos);
        EXPECT_LE(line.size(), pos < headers.size() ? 78u : 76u) << line;
        for (unsigned char c : line) {
            EXPECT_LT(c, 0x80);
        }
        pos = crlf + 2;
    }
}

TEST(MimeWriter, RichMessageRoundTrip) {
    mapi::MessageContent sent = RichMessage();
    mapi::MessageContent got = Read(Write(sent));
    EXPECT_EQ(Text(got.props, mapi::PR_SUBJECT), Text(sent.props, mapi::PR_SUBJECT));
    EXPECT_EQ(Text(got.props, mapi::PR_BODY), Text(sent.props, mapi::PR_BODY));
    EXPECT_EQ(got.props.GetBinary(mapi::PR_HTML), sent.props.GetBinary(mapi::PR_HTML));
    EXPECT_EQ(got.props.GetInteger(mapi::PR_INTERNET_CPID), 65001);
    ASSERT_EQ(got.attachments.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(got.attachments[i].data, sent.attachments[i].data) << i;
        EXPECT_EQ(Text(got.attachments[i].props, mapi::PR_ATTACH_LONG_FILENAME),
                  Text(sent.attachments[i].props, mapi::PR_ATTACH_LONG_FILENAME));
    }
    EXPECT_EQ(Text(got.attachments[1].props, mapi::PR_ATTACH_MIME_TAG),
              L"application/vnd.ms-outlook");
    EXPECT_EQ(Text(got.attachments[2].props, mapi::PR_ATTACH_FILENAME), L"_NDERU~1.BIN");
    EXPECT_EQ(Text(got.attachments[2].props, mapi::PR_ATTACH_MIME_TAG),
              L"application/octet-stream");
    EXPECT_EQ(got.props.GetInteger(mapi::PR_MESSAGE_FLAGS), mapi::MSGFLAG_HASATTACH);
}

TEST(MimeWriter, RecipientsByKindAndNoBccField) {
    mapi::MessageContent sent = RichMessage();
    std::string mail = Write(sent);
    EXPECT_EQ(HeaderSection(mail).find("eve@"), std::string::npos) << "Bcc stays off the wire";
    EXPECT_EQ(HeaderSection(mail).find("Bcc"), std::string::npos);
    mapi::MessageContent got = Read(mail);
    struct Expect {
        LONG type;
        const wchar_t* name;
        const wchar_t* address;
    };
    const Expect expected[] = {{mapi::MAPI_TO, L"bob@example.org", L"bob@example.org"},
                               {mapi::MAPI_TO, L"Carol, C.", L"carol@example.org"},
                               {mapi::MAPI_CC, L"D\u00F6rte", L"doerte@example.de"}};
    ASSERT_EQ(got.recipients.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        const mapi::PropertyBag& row = got.recipients[i];
        EXPECT_EQ(row.GetInteger(mapi::PR_RECIPIENT_TYPE), expected[i].type);
        EXPECT_EQ(Text(row, mapi::PR_DISPLAY_NAME), expected[i].name);
        EXPECT_EQ(Text(row, mapi::PR_EMAIL_ADDRESS), expected[i].address);
        EXPECT_EQ(Text(row, mapi::PR_SMTP_ADDRESS), expected[i].address);
        EXPECT_EQ(Text(row, mapi::PR_ADDRTYPE), L"SMTP");
    }
}

TEST(MimeWriter, SenderAndSentOnBehalf) {
    mapi::MessageContent m = testing::SyncLikeMail();
    mapi::MessageContent got = Read(Write(m));
    EXPECT_EQ(Text(got.props, mapi::PR_SENDER_EMAIL_ADDRESS), L"alice@example.org");
    EXPECT_EQ(Text(got.props, mapi::PR_SENDER_NAME), L"Alice Adler");
    EXPECT_EQ(Text(got.props, mapi::PR_SENT_REPRESENTING_EMAIL_ADDRESS), L"alice@example.org");
    EXPECT_EQ(Text(got.props, mapi::PR_SENDER_ADDRTYPE), L"SMTP");

    // The client puts the configured From address as the on-behalf name.
    m.props.Set(mapi::PR_SENT_REPRESENTING_NAME, PropValue::Unicode(L"team@example.org"));
    std::string mail = Write(m);
    EXPECT_NE(mail.find("From: <team@example.org>\r\n"), std::string::npos);
    EXPECT_NE(mail.find("Sender: \"Alice Adler\" <alice@example.org>\r\n"), std::string::npos);
    got = Read(mail);
    EXPECT_EQ(Text(got.props, mapi::PR_SENT_REPRESENTING_EMAIL_ADDRESS), L"team@example.org");
    EXPECT_EQ(Text(got.props, mapi::PR_SENT_REPRESENTING_NAME), L"team@example.org");
    EXPECT_EQ(Text(got.props, mapi::PR_SENDER_EMAIL_ADDRESS), L"alice@example.org");

    // Sending on one's own behalf writes no Sender.
    m.props.Set(mapi::PR_SENT_REPRESENTING_NAME, PropValue::Unicode(L"ALICE@example.org"));
    EXPECT_EQ(Write(m).find("Sender:"), std::string::npos);
}

TEST(MimeWriter, SenderFromTheMessageOrNone) {
    mapi::MessageContent m = testing::SyncLikeMail();
    std::string out;
    std::string error;
    EXPECT_EQ(WriteMime(m, WriteOptions{}, &out, &error), MAPI_E_INVALID_PARAMETER);
    EXPECT_FALSE(error.empty());
    m.props.Set(mapi::PR_SENDER_EMAIL_ADDRESS, PropValue::Unicode(L"own@example.org"));
    ASSERT_EQ(WriteMime(m, WriteOptions{}, &out, &error), S_OK);
    EXPECT_EQ(Text(Read(out).props, mapi::PR_SENDER_EMAIL_ADDRESS), L"own@example.org");
}

TEST(MimeWriter, DateIdClassImportanceAndSensitivity) {
    mapi::MessageContent m = testing::SyncLikeMail();
    ULONGLONG submit = 134100000000000000ULL;  // whole seconds
    m.props.Set(mapi::PR_CLIENT_SUBMIT_TIME, PropValue::SysTime(submit));
    m.props.Set(mapi::PR_MESSAGE_CLASS, PropValue::Unicode(L"IPM.Note.Custom"));
    m.props.Set(mapi::PR_IMPORTANCE, PropValue::Long(mapi::IMPORTANCE_HIGH));
    m.props.Set(mapi::PR_SENSITIVITY, PropValue::Long(mapi::SENSITIVITY_PRIVATE));
    m.props.Set(mapi::PR_INTERNET_MESSAGE_ID, PropValue::Unicode(L"<fixed.1@example.org>"));
    mapi::MessageContent got = Read(Write(m));
    EXPECT_EQ(got.props.GetInteger(mapi::PR_CLIENT_SUBMIT_TIME), static_cast<LONGLONG>(submit));
    EXPECT_EQ(got.props.GetInteger(mapi::PR_MESSAGE_DELIVERY_TIME), static_cast<LONGLONG>(submit));
    EXPECT_EQ(Text(got.props, mapi::PR_MESSAGE_CLASS), L"IPM.Note.Custom");
    EXPECT_EQ(got.props.GetInteger(mapi::PR_IMPORTANCE), mapi::IMPORTANCE_HIGH);
    EXPECT_EQ(got.props.GetInteger(mapi::PR_SENSITIVITY), mapi::SENSITIVITY_PRIVATE);
    EXPECT_EQ(Text(got.props, mapi::PR_INTERNET_MESSAGE_ID), L"<fixed.1@example.org>");
}

TEST(MimeWriter, DateDefaultsToThePlatformClockAndIdsAreUnique) {
    mapi::MessageContent m = testing::SyncLikeMail();
    FILETIME before{};
    GetSystemTimeAsFileTime(&before);
    mapi::MessageContent a = Read(Write(m));
    mapi::MessageContent b = Read(Write(m));
    auto date = a.props.GetInteger(mapi::PR_CLIENT_SUBMIT_TIME);
    ASSERT_TRUE(date.has_value());
    LONGLONG start = static_cast<LONGLONG>(win::FileTimeToUInt64(before)) / 10000000 * 10000000;
    EXPECT_GE(*date, start);
    EXPECT_LT(*date, start + 600LL * 10000000);
    EXPECT_NE(Text(a.props, mapi::PR_INTERNET_MESSAGE_ID),
              Text(b.props, mapi::PR_INTERNET_MESSAGE_ID));
    EXPECT_NE(Text(a.props, mapi::PR_INTERNET_MESSAGE_ID).find(L"@example.org>"),
              std::wstring::npos);
}

TEST(MimeWriter, BodyEncodingKeepsLinesWhole) {
    mapi::MessageContent m = testing::SyncLikeMail();
    std::wstring body = L"first line with blanks   \r\n" + std::wstring(300, L'x') +
                        L" long line \r\n\r\nFrom here\r\n.";
    m.props.Set(mapi::PR_BODY, PropValue::Unicode(body));
    std::string mail = Write(m);
    EXPECT_NE(mail.find("quoted-printable"), std::string::npos) << "CR LF text stays readable";
    EXPECT_EQ(Text(Read(mail).props, mapi::PR_BODY), body);
    m.props.Set(mapi::PR_BODY, PropValue::Unicode(L"bare\nline ends \n"));
    mail = Write(m);
    EXPECT_EQ(Text(Read(mail).props, mapi::PR_BODY), L"bare\nline ends \n");
}

TEST(MimeWriter, EmbeddedMessageTravelsAsRfc822) {
    mapi::MessageContent m = testing::SyncLikeMail();
    mapi::AttachmentContent a;
    a.props.Set(mapi::PR_ATTACH_METHOD, PropValue::Long(mapi::ATTACH_EMBEDDED_MSG));
    a.props.Set(mapi::PR_DISPLAY_NAME, PropValue::Unicode(L"Inner"));
    a.embedded = std::make_unique<mapi::MessageContent>();
    a.embedded->props.Set(mapi::PR_SUBJECT, PropValue::Unicode(L"Inner \u00E4"));
    a.embedded->props.Set(mapi::PR_BODY, PropValue::Unicode(L"inner body\r\n"));
    a.embedded->props.Set(mapi::PR_SENDER_EMAIL_ADDRESS, PropValue::Unicode(L"x@example.org"));
    a.embedded->attachments.push_back(FileAttachment(L"deep.bin", testing::RandomBytes(5, 100)));
    m.attachments.push_back(std::move(a));
    std::string mail = Write(m);
    EXPECT_NE(mail.find("Content-Type: message/rfc822"), std::string::npos);
    mapi::MessageContent got = Read(mail);
    ASSERT_EQ(got.attachments.size(), 2u);
    const mapi::AttachmentContent& e = got.attachments[1];
    EXPECT_EQ(e.props.GetInteger(mapi::PR_ATTACH_METHOD), mapi::ATTACH_EMBEDDED_MSG);
    ASSERT_NE(e.embedded, nullptr);
    EXPECT_EQ(Text(e.embedded->props, mapi::PR_SUBJECT), L"Inner \u00E4");
    EXPECT_EQ(Text(e.embedded->props, mapi::PR_BODY), L"inner body\r\n");
    EXPECT_EQ(Text(e.embedded->props, mapi::PR_SENDER_EMAIL_ADDRESS), L"x@example.org");
    ASSERT_EQ(e.embedded->attachments.size(), 1u);
    EXPECT_EQ(e.embedded->attachments[0].data, testing::RandomBytes(5, 100));
}

TEST(MimeWriter, EmbeddingDeeperThanTheLimitFails) {
    mapi::MessageContent m = testing::SyncLikeMail();
    mapi::MessageContent* cur = &m;
    for (int i = 0; i <= kMaxMimeDepth + 1; ++i) {
        mapi::AttachmentContent a;
        a.props.Set(mapi::PR_ATTACH_METHOD, PropValue::Long(mapi::ATTACH_EMBEDDED_MSG));
        a.embedded = std::make_unique<mapi::MessageContent>();
        cur->attachments.push_back(std::move(a));
        cur = cur->attachments.back().embedded.get();
    }
    std::string out;
    std::string error;
    WriteOptions options;
    options.sender = kAlice;
    EXPECT_EQ(WriteMime(m, options, &out, &error), MAPI_E_TOO_COMPLEX);
}

TEST(MimeWriter, RecipientAddressesFromTheTableOrTheDisplayFields) {
    mapi::MessageContent m;
    mapi::PropertyBag smtp;
    smtp.Set(mapi::PR_RECIPIENT_TYPE, PropValue::Long(mapi::MAPI_CC));
    smtp.Set(mapi::PR_SMTP_ADDRESS, PropValue::Unicode(L"s@x.org"));
    smtp.Set(mapi::PR_EMAIL_ADDRESS, PropValue::Unicode(L"/o=ex/cn=s"));
    smtp.Set(mapi::PR_ADDRTYPE, PropValue::Unicode(L"EX"));
    mapi::PropertyBag exOnly;
    exOnly.Set(mapi::PR_EMAIL_ADDRESS, PropValue::Unicode(L"/o=ex/cn=t"));
    exOnly.Set(mapi::PR_ADDRTYPE, PropValue::Unicode(L"EX"));
    mapi::PropertyBag nameOnly;
    nameOnly.Set(mapi::PR_DISPLAY_NAME, PropValue::Unicode(L"n@x.org"));
    m.recipients = {smtp, exOnly, nameOnly};
    auto list = RecipientsOf(m);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].mailbox.address, L"s@x.org");
    EXPECT_EQ(list[0].type, mapi::MAPI_CC);
    EXPECT_EQ(list[1].mailbox.address, L"n@x.org");
    EXPECT_EQ(list[1].type, mapi::MAPI_TO);

    mapi::MessageContent typed;
    typed.props.Set(mapi::PR_DISPLAY_TO, PropValue::Unicode(L"a@x.org; b@y.org;"));
    typed.props.Set(mapi::PR_DISPLAY_BCC, PropValue::Unicode(L"c@z.org"));
    list = RecipientsOf(typed);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[1].mailbox.address, L"b@y.org");
    EXPECT_EQ(list[2].type, mapi::MAPI_BCC);
}

// Texts that came from elsewhere (a received mail filed and sent on) never
// reach the header section raw: a line break in them would start fields or
// the body of the attacker's choosing.
TEST(MimeWriter, StoredTextsCannotInjectHeaderFields) {
    mapi::MessageContent m = testing::SyncLikeMail();
    m.props.Set(mapi::PR_INTERNET_MESSAGE_ID,
                PropValue::Unicode(L"<id\r\nBcc: victim@example.org\r\n\r\nbody>"));
    m.props.Set(mapi::PR_SUBJECT, PropValue::Unicode(L"s\r\nX-Injected: 1"));
    m.props.Set(mapi::PR_MESSAGE_CLASS, PropValue::Unicode(L"IPM.Note\r\nX-Injected: 2"));
    m.recipients.push_back(
        Recipient(mapi::MAPI_TO, L"n\r\nX-Injected: 3", L"x@example.org\r\nX-Injected: 4"));
    m.attachments[0].props.Set(mapi::PR_ATTACH_CONTENT_ID,
                               PropValue::Unicode(L"cid\r\nX-Injected: 5"));
    std::string mail = Write(m);
    EXPECT_EQ(mail.find("\r\nX-Injected"), std::string::npos);
    EXPECT_EQ(mail.find("\r\nBcc:"), std::string::npos);
    mapi::MessageContent got = Read(mail);
    EXPECT_EQ(Text(got.props, mapi::PR_SUBJECT), L"s\r\nX-Injected: 1");
    EXPECT_EQ(Text(got.props, mapi::PR_MESSAGE_CLASS), L"IPM.Note\r\nX-Injected: 2");
    EXPECT_EQ(Text(got.recipients[1], mapi::PR_EMAIL_ADDRESS), L"x@example.orgX-Injected: 4");
    EXPECT_EQ(Text(got.props, mapi::PR_INTERNET_MESSAGE_ID).find(L"victim"), std::wstring::npos);
    EXPECT_FALSE(got.attachments[0].props.Has(mapi::PR_ATTACH_CONTENT_ID));
}

TEST(MimeWriter, EightBitTextsAreReadInTheMessageCodePage) {
    mapi::MessageContent m = testing::SyncLikeMail();
    m.props.Set(mapi::PR_SUBJECT_A, PropValue::String8("Gr\xFC\xDF \x80"));
    m.props.Set(mapi::PR_BODY_A, PropValue::String8("K\xF6ln\r\n"));
    mapi::MessageContent got = Read(Write(m));
    EXPECT_EQ(Text(got.props, mapi::PR_SUBJECT), L"Gr\u00FC\u00DF \u20AC");
    EXPECT_EQ(Text(got.props, mapi::PR_BODY), L"K\u00F6ln\r\n");
    m.props.Set(mapi::PR_MESSAGE_CODEPAGE, PropValue::Long(65001));
    m.props.Set(mapi::PR_BODY_A, PropValue::String8("K\xC3\xB6ln"));
    EXPECT_EQ(Text(Read(Write(m)).props, mapi::PR_BODY), L"K\u00F6ln");
}

TEST(MimeWriter, ContentTypesByExtension) {
    EXPECT_EQ(ContentTypeForFileName(L"sync.msg"), "application/vnd.ms-outlook");
    EXPECT_EQ(ContentTypeForFileName(L"SYNC.MSG"), "application/vnd.ms-outlook");
    EXPECT_EQ(ContentTypeForFileName(L"sync.zuf"), "application/octet-stream");
    EXPECT_EQ(ContentTypeForFileName(L"noext"), "application/octet-stream");
    EXPECT_EQ(ContentTypeForFileName(L"a.pdf"), "application/pdf");
}

// Python's email package reads what we write and finds the same things.
TEST(MimeWriterOracle, PythonEmailReadsTheSameMessage) {
    mapi::MessageContent sent = RichMessage();
    mapi::AttachmentContent a;
    a.props.Set(mapi::PR_ATTACH_METHOD, PropValue::Long(mapi::ATTACH_EMBEDDED_MSG));
    a.props.Set(mapi::PR_DISPLAY_NAME, PropValue::Unicode(L"inner.eml"));
    a.embedded = std::make_unique<mapi::MessageContent>();
    a.embedded->props.Set(mapi::PR_SUBJECT, PropValue::Unicode(L"Inner subject"));
    sent.attachments.push_back(std::move(a));
    sent.props.Set(mapi::PR_SENT_REPRESENTING_NAME, PropValue::Unicode(L"team@example.org"));
    testing::TempDir dir;
    std::string path = dir.Path() + "/mail.eml";
    testing::WriteFile(path, Write(sent));
    std::vector<std::string> facts = testing::RunOracle(path);
    ASSERT_FALSE(facts.empty()) << "the oracle did not run";
    auto hex = [](const std::wstring& s) { return testing::Hex(win::ToUtf8(s)); };
    auto bytesHex = [](const mapi::Bytes& b) {
        return testing::Hex(std::string(b.begin(), b.end()));
    };
    std::vector<std::string> expected = {
        "subject " + hex(Text(sent.props, mapi::PR_SUBJECT)),
        "message_class " + hex(L"IPM.Note"),
        "from - " + hex(L"team@example.org"),
        "sender " + hex(L"Alice Adler") + " " + hex(L"alice@example.org"),
        "to - " + hex(L"bob@example.org"),
        "to " + hex(L"Carol, C.") + " " + hex(L"carol@example.org"),
        "cc " + hex(L"D\u00F6rte") + " " + hex(L"doerte@example.de"),
        "body " + hex(Text(sent.props, mapi::PR_BODY)),
        "html " + bytesHex(*sent.props.GetBinary(mapi::PR_HTML)),
        "attachment " + hex(L"sync.zuf") + " application/octet-stream " +
            bytesHex(sent.attachments[0].data),
        "attachment " + hex(L"sync.msg") + " application/vnd.ms-outlook " +
            bytesHex(sent.attachments[1].data),
        "attachment " + hex(L"\u00C4nderungen \u20AC 2026.bin") + " application/octet-stream " +
            bytesHex(sent.attachments[2].data),
        "embedded " + hex(L"inner.eml") + " " + hex(L"Inner subject"),
    };
    EXPECT_EQ(facts, expected);
}

}  // namespace
}  // namespace transport
