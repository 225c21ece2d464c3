#include "platform/transport/MimeParser.h"

#include <gtest/gtest.h>

#include "platform/transport/MimeWriter.h"
#include "platform/transport/TransportTestSupport.h"

namespace transport {
namespace {

std::wstring Text(const mapi::PropertyBag& bag, ULONG tag) {
    return bag.GetText(tag).value_or(L"<absent>");
}

HRESULT Parse(const std::string& bytes, mapi::MessageContent* m, std::string* error = nullptr) {
    return ParseMime(bytes, ParseOptions{}, m, error);
}

// A message as another mail program writes it: bare LF line ends, folded
// fields, Q-encoded Latin-1 subject, quoted-printable windows-1252 text,
// an RFC 2231 file name in sections and base64 with blanks in it.
const char kForeignMail[] =
    "Return-Path: <x@y>\n"
    "Received: from relay by mx; Fri, 11 Dec 2026 10:00:05 +0100\n"
    "Received: from origin by relay; Fri, 11 Dec 2026 10:00:01 +0100\n"
    "From: =?ISO-8859-1?Q?J=FCrgen?= <juergen@example.de>\n"
    "To: Bob <bob@example.org>,\n"
    "  \"Carol\" <carol@example.org>\n"
    "CC: dave@example.org (Dave D.)\n"
    "Subject: =?ISO-8859-1?Q?=C4rger_mit?=\n"
    " =?ISO-8859-1?Q?_Umlauten?=\n"
    "Date: Fri, 11 Dec 2026 09:59:00 +0100\n"
    "Message-ID: <abc@example.de>\n"
    "X-Priority: 1\n"
    "MIME-Version: 1.0\n"
    "Content-Type: multipart/mixed; boundary=\"XX\"\n"
    "\n"
    "preamble\n"
    "--XX\n"
    "Content-Type: text/plain; charset=windows-1252\n"
    "Content-Transfer-Encoding: quoted-printable\n"
    "\n"
    "Preis: 5 =80=\n"
    " und mehr\n"
    "--XX\n"
    "Content-Type: application/octet-stream\n"
    "Content-Disposition: attachment;\n"
    " filename*0*=UTF-8''Ber%C3;\n"
    " filename*1*=%A4cht.dat\n"
    "Content-Transfer-Encoding: base64\n"
    "Content-ID: <part1@x>\n"
    "\n"
    "AAEC AwQF\n"
    "--XX--\n"
    "epilogue\n";

TEST(MimeParser, ReadsAForeignMessage) {
    mapi::MessageContent m;
    std::string error;
    ASSERT_EQ(Parse(kForeignMail, &m, &error), S_OK) << error;
    EXPECT_EQ(Text(m.props, mapi::PR_SUBJECT), L"\u00C4rger mit Umlauten");
    EXPECT_EQ(Text(m.props, mapi::PR_BODY), L"Preis: 5 \u20AC und mehr");
    EXPECT_EQ(Text(m.props, mapi::PR_SENDER_NAME), L"J\u00FCrgen");
    EXPECT_EQ(Text(m.props, mapi::PR_SENDER_EMAIL_ADDRESS), L"juergen@example.de");
    EXPECT_EQ(Text(m.props, mapi::PR_SENT_REPRESENTING_EMAIL_ADDRESS), L"juergen@example.de");
    EXPECT_EQ(Text(m.props, mapi::PR_INTERNET_MESSAGE_ID), L"<abc@example.de>");
    EXPECT_EQ(Text(m.props, mapi::PR_MESSAGE_CLASS), L"IPM.Note");
    EXPECT_EQ(m.props.GetInteger(mapi::PR_IMPORTANCE), mapi::IMPORTANCE_HIGH);
    EXPECT_FALSE(m.props.Has(mapi::PR_HTML));
    ASSERT_EQ(m.recipients.size(), 3u);
    EXPECT_EQ(Text(m.recipients[1], mapi::PR_DISPLAY_NAME), L"Carol");
    EXPECT_EQ(Text(m.recipients[2], mapi::PR_DISPLAY_NAME), L"Dave D.");
    EXPECT_EQ(m.recipients[2].GetInteger(mapi::PR_RECIPIENT_TYPE), mapi::MAPI_CC);
    ASSERT_EQ(m.attachments.size(), 1u);
    EXPECT_EQ(m.attachments[0].data, (mapi::Bytes{0, 1, 2, 3, 4, 5}));
    EXPECT_EQ(Text(m.attachments[0].props, mapi::PR_ATTACH_LONG_FILENAME), L"Ber\u00E4cht.dat");
    EXPECT_EQ(Text(m.attachments[0].props, mapi::PR_ATTACH_EXTENSION), L".dat");
    EXPECT_EQ(Text(m.attachments[0].props, mapi::PR_ATTACH_CONTENT_ID), L"part1@x");
    // Date 09:59 +0100; delivered at the topmost Received, 10:00:05 +0100.
    auto submit = m.props.GetInteger(mapi::PR_CLIENT_SUBMIT_TIME);
    auto delivered = m.props.GetInteger(mapi::PR_MESSAGE_DELIVERY_TIME);
    ASSERT_TRUE(submit && delivered);
    EXPECT_EQ(*delivered - *submit, 65LL * 10000000);
    EXPECT_NE(Text(m.props, mapi::PR_TRANSPORT_MESSAGE_HEADERS).find(L"X-Priority: 1"),
              std::wstring::npos);
}

TEST(MimeParser, GivenDeliveryTimeWins) {
    ParseOptions options;
    options.deliveryTime = 130000000000000000ULL;
    mapi::MessageContent m;
    ASSERT_EQ(ParseMime(kForeignMail, options, &m), S_OK);
    EXPECT_EQ(m.props.GetInteger(mapi::PR_MESSAGE_DELIVERY_TIME), 130000000000000000LL);
}

// A sender made of NULs only: nothing of it is an address.
const char kNulSender[] = "From: \0\0\0Subject: \0\0\n";

TEST(MimeParser, RefusesWhatIsNotMail) {
    struct Case {
        std::string bytes;
        HRESULT hr;
    };
    mapi::Bytes noise = testing::RandomBytes(99, 4096);
    const Case cases[] = {
        {"", MAPI_E_CORRUPT_DATA},
        {std::string(noise.begin(), noise.end()), MAPI_E_CORRUPT_DATA},
        {"Hello world, this is just text.\r\n", MAPI_E_CORRUPT_DATA},
        {" From: a@b\r\n\r\nx", MAPI_E_CORRUPT_DATA},
        {"Subject: no sender\r\n\r\nbody", MAPI_E_CORRUPT_DATA},
        {"From: \r\nSubject: empty sender\r\n\r\nbody", MAPI_E_CORRUPT_DATA},
        {"From: a@b\r\nContent-Type: multipart/mixed\r\n\r\n--x\r\n\r\nbody", MAPI_E_CORRUPT_DATA},
        {"From: a@b\r\nContent-Type: multipart/mixed; boundary=x\r\n\r\nno parts",
         MAPI_E_CORRUPT_DATA},
        {"From: a@b\r\nContent-Type: multipart/mixed; boundary=x\r\n\r\n--x\r\nbroken part line\r\n"
         "\r\nbody\r\n--x--\r\n",
         MAPI_E_CORRUPT_DATA},
        {"\r\n\r\nbody without fields", MAPI_E_CORRUPT_DATA},
        {"From: (only a comment)\r\n\r\nx", MAPI_E_CORRUPT_DATA},
        {std::string(kNulSender, sizeof kNulSender - 1), MAPI_E_CORRUPT_DATA},
        {"From: <<>\r\n\r\nx", MAPI_E_CORRUPT_DATA},
    };
    for (const Case& c : cases) {
        mapi::MessageContent m;
        m.props.Set(mapi::PR_SUBJECT, mapi::PropValue::Unicode(L"untouched"));
        std::string error;
        EXPECT_EQ(Parse(c.bytes, &m, &error), c.hr) << c.bytes.substr(0, 40);
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(Text(m.props, mapi::PR_SUBJECT), L"untouched") << "output kept on failure";
    }
}

TEST(MimeParser, SizeLimitIsCheckedFirst) {
    ParseOptions options;
    options.maxSize = 100;
    mapi::MessageContent m;
    std::string error;
    EXPECT_EQ(ParseMime(std::string(101, 'x'), options, &m, &error), MAPI_E_TOO_BIG);
    EXPECT_NE(error.find("101"), std::string::npos);
}

TEST(MimeParser, DeepNestingAndPartFloodsAreBounded) {
    std::string deep = "From: a@b\r\n";
    for (int i = 0; i < 200; ++i) {
        deep += "Content-Type: multipart/mixed; boundary=b" + std::to_string(i) + "\r\n\r\n--b" +
                std::to_string(i) + "\r\n";
    }
    mapi::MessageContent m;
    std::string error;
    EXPECT_EQ(Parse(deep, &m, &error), MAPI_E_TOO_COMPLEX);

    std::string flood = "From: a@b\r\nContent-Type: multipart/mixed; boundary=f\r\n\r\n";
    for (int i = 0; i < kMaxMimeParts + 10; ++i) {
        flood += "--f\r\n\r\nx\r\n";
    }
    EXPECT_EQ(Parse(flood, &m, &error), MAPI_E_TOO_COMPLEX);

    std::string embeds = "From: a@b\r\n";
    for (int i = 0; i < 100; ++i) {
        embeds += "Content-Type: message/rfc822\r\n\r\nFrom: c@d\r\n";
    }
    ASSERT_EQ(Parse(embeds + "\r\ninnermost", &m, &error), S_OK) << error;
    int depth = 0;
    const mapi::MessageContent* cur = &m;
    while (!cur->attachments.empty() && cur->attachments[0].embedded) {
        cur = cur->attachments[0].embedded.get();
        ++depth;
    }
    EXPECT_LE(depth, kMaxMimeDepth);
    ASSERT_EQ(cur->attachments.size(), 1u) << "beyond the limit the rest is kept as bytes";
    EXPECT_FALSE(cur->attachments[0].data.empty());
}

TEST(MimeParser, LenientWhereNothingIsLost) {
    mapi::MessageContent m;
    std::string error;
    // No close delimiter; unknown charset; unknown transfer encoding.
    ASSERT_EQ(Parse("From: a@b\r\nContent-Type: multipart/alternative; boundary=\"q\"\r\n\r\n"
                    "--q\r\nContent-Type: text/plain; charset=x-unknown\r\n\r\n\xC3\xA4 ok\r\n"
                    "--q\r\nContent-Type: text/html\r\nContent-Transfer-Encoding: x-custom\r\n\r\n"
                    "<b>h</b>",
                    &m, &error),
              S_OK)
        << error;
    EXPECT_EQ(Text(m.props, mapi::PR_BODY), L"\u00E4 ok");
    mapi::Bytes html{'<', 'b', '>', 'h', '<', '/', 'b', '>'};
    EXPECT_EQ(m.props.GetBinary(mapi::PR_HTML), html);
    EXPECT_FALSE(m.props.Has(mapi::PR_INTERNET_CPID));

    // A message/rfc822 part that is not mail stays as its bytes.
    ASSERT_EQ(Parse("From: a@b\r\nContent-Type: multipart/mixed; boundary=q\r\n\r\n--q\r\n\r\ntext"
                    "\r\n--q\r\nContent-Type: message/rfc822\r\n\r\nnot a message\r\n--q--\r\n",
                    &m, &error),
              S_OK)
        << error;
    ASSERT_EQ(m.attachments.size(), 1u);
    EXPECT_EQ(m.attachments[0].embedded, nullptr);
    EXPECT_EQ(m.attachments[0].props.GetInteger(mapi::PR_ATTACH_METHOD), mapi::ATTACH_BY_VALUE);
    std::string kept(m.attachments[0].data.begin(), m.attachments[0].data.end());
    EXPECT_EQ(kept, "not a message");

    // A single-part message whose only part is a file.
    ASSERT_EQ(Parse("From: a@b\r\nContent-Type: application/pdf; name=x.pdf\r\n"
                    "Content-Transfer-Encoding: base64\r\n\r\nJVBERg==\r\n",
                    &m, &error),
              S_OK);
    EXPECT_EQ(Text(m.props, mapi::PR_BODY), L"");
    ASSERT_EQ(m.attachments.size(), 1u);
    EXPECT_EQ(Text(m.attachments[0].props, mapi::PR_ATTACH_LONG_FILENAME), L"x.pdf");
}

TEST(MimeParser, FileNamesNeverCarryPaths) {
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"../../etc/passwd", L"passwd"},
        {L"C:\\Windows\\evil.exe", L"evil.exe"},
        {L"..", L""},
        {L"dir/", L""},
        {L"b\u0007c\u001F.txt", L"bc.txt"},
        {L"what?<is>|this*.txt", L"what__is__this_.txt"},
        {L"  spaced  ", L"spaced"},
        {L"sync.zuf", L"sync.zuf"},
    };
    for (const auto& [raw, safe] : cases) {
        EXPECT_EQ(SafeFileName(raw), safe) << raw;
    }
    EXPECT_EQ(SafeFileName(std::wstring(L"a\0b.txt", 7)), L"ab.txt");
    mapi::MessageContent m;
    ASSERT_EQ(
        Parse("From: a@b\r\nContent-Type: application/octet-stream\r\n"
              "Content-Disposition: attachment; filename=\"../../../home/u/.bashrc\"\r\n\r\nx",
              &m),
        S_OK);
    ASSERT_EQ(m.attachments.size(), 1u);
    EXPECT_EQ(Text(m.attachments[0].props, mapi::PR_ATTACH_LONG_FILENAME), L".bashrc");
}

TEST(MimeParser, ShortFileNames) {
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"sync.zuf", L"sync.zuf"},
        {L"SYNC.MSG", L"SYNC.MSG"},
        {L"Quarterly report.docx", L"QUARTE~1.DOC"},
        {L"noextensionatall", L"NOEXTE~1"},
        {L"a.b.c", L"AB~1.C"},
        {L"\u00E4.txt", L"_~1.TXT"},
        {L".profile", L"FILE~1.PRO"},
    };
    for (const auto& [name, shortName] : cases) {
        EXPECT_EQ(ShortFileName(name), shortName) << name;
    }
}

TEST(MimeParser, WriterOutputReadsBackAfterLfConversion) {
    // A Maildir copied by a tool that turned CR LF into LF still reads.
    WriteOptions options;
    options.sender = {L"", L"a@example.org"};
    std::string mail;
    ASSERT_EQ(WriteMime(testing::SyncLikeMail(), options, &mail), S_OK);
    std::string lf;
    for (std::size_t i = 0; i < mail.size(); ++i) {
        if (!(mail[i] == '\r' && i + 1 < mail.size() && mail[i + 1] == '\n')) {
            lf += mail[i];
        }
    }
    mapi::MessageContent m;
    ASSERT_EQ(Parse(lf, &m), S_OK);
    EXPECT_EQ(Text(m.props, mapi::PR_BODY), Text(testing::SyncLikeMail().props, mapi::PR_BODY))
        << "base64 keeps it exact";
    EXPECT_EQ(m.attachments[0].data, testing::SyncLikeMail().attachments[0].data);
}

}  // namespace
}  // namespace transport

namespace transport {
namespace {

// Every seed of the fuzz corpus is a readable message; the one Python's
// email package wrote reads as it meant it.
TEST(MimeParserCorpus, SeedsRead) {
    std::string dir = std::string(QM_SOURCE_DIR) + "/platform/transport/testdata/mime-seeds";
    std::vector<std::string> names = testing::ListDir(dir);
    ASSERT_GE(names.size(), 4u);
    for (const std::string& name : names) {
        mapi::MessageContent m;
        std::string error;
        EXPECT_EQ(ParseMime(testing::ReadFile(dir + "/" + name), ParseOptions{}, &m, &error), S_OK)
            << name << ": " << error;
    }
    mapi::MessageContent m;
    ASSERT_EQ(ParseMime(testing::ReadFile(dir + "/python-rich.eml"), ParseOptions{}, &m), S_OK);
    EXPECT_EQ(m.props.GetText(mapi::PR_SUBJECT),
              L">-Quillmere-< 12/10/2026 9:54:23 AM Gr\u00FC\u00DFe");
    EXPECT_EQ(
        m.props.GetText(mapi::PR_BODY),
        L"This mail is a synchronization mail.\r\n\r\nis:TRUE:is\r\nlf:Share:lf\r\nid:ABC:id\r\n")
        << "a writer that makes line ends canonical turns the bare LF into CR LF";
    EXPECT_EQ(m.props.GetText(mapi::PR_SENDER_EMAIL_ADDRESS), L"team@example.org");
    EXPECT_EQ(m.props.GetText(mapi::PR_SENT_REPRESENTING_NAME), L"Alice Adler");
    EXPECT_EQ(m.recipients.size(), 3u);
    ASSERT_EQ(m.attachments.size(), 3u);
    EXPECT_EQ(m.attachments[0].data.size(), 600u);
    EXPECT_EQ(m.attachments[1].props.GetText(mapi::PR_ATTACH_LONG_FILENAME), L"\u00C4nderung.msg");
    ASSERT_NE(m.attachments[2].embedded, nullptr);
    EXPECT_EQ(m.attachments[2].embedded->props.GetText(mapi::PR_SUBJECT), L"inner");
}

}  // namespace
}  // namespace transport
