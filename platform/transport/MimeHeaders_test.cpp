#include "platform/transport/MimeHeaders.h"

#include <gtest/gtest.h>

#include "platform/transport/MimeCodec.h"
#include "platform/win/Clock.h"

namespace transport {
namespace {

// The header lines of a formatted field (without their CR LF).
std::vector<std::string> FieldLines(const std::string& field) {
    std::vector<std::string> lines;
    std::size_t pos = 0;
    while (pos < field.size()) {
        std::size_t crlf = field.find("\r\n", pos);
        EXPECT_NE(crlf, std::string::npos);
        if (crlf == std::string::npos) {
            break;
        }
        lines.push_back(field.substr(pos, crlf - pos));
        pos = crlf + 2;
    }
    return lines;
}

// A formatted field read back the way the parser reads it.
std::wstring ReadBack(const std::string& field) {
    std::vector<HeaderField> fields;
    std::string_view body;
    std::string error;
    EXPECT_TRUE(SplitEntity(field + "\r\n", 10, &fields, &body, &error)) << error;
    EXPECT_EQ(fields.size(), 1u);
    return fields.empty() ? L"" : DecodeHeaderText(fields[0].value);
}

ULONGLONG FileTimeOf(WORD y, WORD mo, WORD d, WORD h, WORD mi, WORD s) {
    SYSTEMTIME st{y, mo, 0, d, h, mi, s, 0};
    FILETIME ft{};
    EXPECT_TRUE(SystemTimeToFileTime(&st, &ft));
    return win::FileTimeToUInt64(ft);
}

TEST(SplitEntity, UnfoldsAndFindsTheBody) {
    std::vector<HeaderField> fields;
    std::string_view body;
    std::string error;
    ASSERT_TRUE(SplitEntity("Subject: one\r\n two\r\n\tthree \r\nX-A:b\nTo : c\r\n\r\nbody\r\n", 10,
                            &fields, &body, &error));
    ASSERT_EQ(fields.size(), 3u);
    EXPECT_EQ(fields[0].name, "subject");
    EXPECT_EQ(fields[0].value, "one two\tthree");
    EXPECT_EQ(fields[1].value, "b");
    EXPECT_EQ(fields[2].name, "to");
    EXPECT_EQ(body, "body\r\n");
    ASSERT_TRUE(SplitEntity("\r\nonly body", 10, &fields, &body, &error));
    EXPECT_TRUE(fields.empty());
    EXPECT_EQ(body, "only body");
}

TEST(SplitEntity, RefusesWhatIsNotAHeader) {
    const char* cases[] = {"this is not mail\r\n\r\n",
                           " starts folded: x\r\n\r\n",
                           "Subject: fine\r\nno colon here\r\n\r\n",
                           ": empty name\r\n",
                           "Bad Name: x\r\n",
                           "A: 1\r\nB: 2\r\nC: 3\r\n"};
    for (const char* text : cases) {
        std::vector<HeaderField> fields;
        std::string_view body;
        std::string error;
        EXPECT_FALSE(SplitEntity(text, 2, &fields, &body, &error)) << text;
        EXPECT_FALSE(error.empty());
    }
}

TEST(ParseStructured, ParametersQuotedContinuedAndEncoded) {
    StructuredValue v = ParseStructured(
        "Text/Plain (a comment); CharSet=\"UTF-8\"; name=\"a;b \\\"c\\\".txt\"; format=flowed");
    EXPECT_EQ(v.value, "text/plain");
    EXPECT_EQ(v.params["charset"], L"UTF-8");
    EXPECT_EQ(v.params["name"], L"a;b \"c\".txt");
    EXPECT_EQ(v.params["format"], L"flowed");

    v = ParseStructured(
        "attachment; filename*0*=UTF-8''%C3%84rger; filename*1*=%20und; filename*2=\" mehr.txt\"; "
        "filename=\"fallback.txt\"");
    EXPECT_EQ(v.value, "attachment");
    EXPECT_EQ(v.params["filename"], L"\u00C4rger und mehr.txt");

    v = ParseStructured("attachment; filename*=iso-8859-1'de'%E4.bin");
    EXPECT_EQ(v.params["filename"], L"\u00E4.bin");

    v = ParseStructured("attachment; filename=\"=?UTF-8?B?w6QucGRm?=\"");
    EXPECT_EQ(v.params["filename"], L"\u00E4.pdf");

    v = ParseStructured("attachment; filename*0=a; filename*2=c");  // gap ends the value
    EXPECT_EQ(v.params["filename"], L"a");
}

TEST(ParseAddressList, Forms) {
    struct Case {
        const char* raw;
        std::vector<MailAddress> expected;
    };
    const Case cases[] = {
        {"alice@example.org", {{L"", L"alice@example.org"}}},
        {"Alice <alice@example.org>", {{L"Alice", L"alice@example.org"}}},
        {"\"Doe, John\" <j@x.org>, b@y.org", {{L"Doe, John", L"j@x.org"}, {L"", L"b@y.org"}}},
        {"=?UTF-8?B?w4RyZ2Vy?= <a@x.org>", {{L"\u00C4rger", L"a@x.org"}}},
        {"a@x.org (Anna Alt)", {{L"Anna Alt", L"a@x.org"}}},
        {"Team: a@x.org, B <b@x.org>;, c@x.org",
         {{L"", L"a@x.org"}, {L"B", L"b@x.org"}, {L"", L"c@x.org"}}},
        {"undisclosed-recipients:;", {}},
        {"<@route.x:r@x.org>", {{L"", L"r@x.org"}}},
        {"<@ba>", {{L"", L"@ba"}}},
        {"John Q. Public <jqp@x.org>", {{L"John Q. Public", L"jqp@x.org"}}},
        {"", {}},
        {",,,", {}},
        {"<a\x01"
         "b\x7F"
         "@x.org>",
         {{L"", L"ab@x.org"}}},
    };
    for (const Case& c : cases) {
        std::vector<MailAddress> got = ParseAddressList(c.raw);
        ASSERT_EQ(got.size(), c.expected.size()) << c.raw;
        for (std::size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].name, c.expected[i].name) << c.raw;
            EXPECT_EQ(got[i].address, c.expected[i].address) << c.raw;
        }
    }
}

TEST(FormatUnstructured, SurvivesTheTripExactlyAndFoldsAt78) {
    const std::wstring cases[] = {
        L">-Quillmere-< 12/10/2026 9:54:23 AM",
        L"",
        L"  leading blanks",
        L"trailing blank ",
        L"double  blank",
        L"tab\there",
        L"line\r\nbreak",
        L"=?UTF-8?B?w6Q=?= looks encoded",
        L"Gr\u00FC\u00DFe \u20AC \U0001F600 and more text to make it long enough to fold twice "
        L"over the limit of seventy-eight characters per line",
        std::wstring(120, L'w'),
        L"a long plain ASCII subject with many words that certainly needs folding somewhere "
        L"before the end of this line",
    };
    for (const std::wstring& subject : cases) {
        std::string field = FormatUnstructuredField("Subject", subject);
        for (const std::string& line : FieldLines(field)) {
            EXPECT_LE(line.size(), 78u) << line;
        }
        EXPECT_EQ(ReadBack(field), subject);
    }
    EXPECT_EQ(FormatUnstructuredField("Subject", L">-Quillmere-< 1/2/2026 3:04:05 PM"),
              "Subject: >-Quillmere-< 1/2/2026 3:04:05 PM\r\n");
}

TEST(FormatAddressField, RoundTripsNamesAndFolds) {
    std::vector<MailAddress> list = {{L"", L"plain@x.org"},
                                     {L"Doe, \"JD\" John", L"j@x.org"},
                                     {L"J\u00FCrgen M\u00FCller", L"jm@x.de"},
                                     {L"Back\\slash", L"b@x.org"}};
    for (int i = 0; i < 5; ++i) {
        list.push_back({L"Member " + std::to_wstring(i), L"m" + std::to_wstring(i) + L"@x.org"});
    }
    std::string field = FormatAddressField("To", list);
    for (const std::string& line : FieldLines(field)) {
        EXPECT_LE(line.size(), 78u) << line;
    }
    std::vector<HeaderField> fields;
    std::string_view body;
    std::string error;
    ASSERT_TRUE(SplitEntity(field + "\r\n", 10, &fields, &body, &error));
    std::vector<MailAddress> back = ParseAddressList(fields[0].value);
    ASSERT_EQ(back.size(), list.size());
    for (std::size_t i = 0; i < list.size(); ++i) {
        EXPECT_EQ(back[i].name, list[i].name);
        EXPECT_EQ(back[i].address, list[i].address);
    }
}

TEST(FormatParameter, RoundTripsThroughTheParameterReader) {
    const std::wstring cases[] = {L"sync.zuf", L"a \"quoted\" \\ name.txt",
                                  L"\u00C4rger \u20AC.msg", std::wstring(150, L'n') + L".bin",
                                  L"\u4E2D\u6587\u6587\u4EF6\u540D\u79F0\u5F88\u957F\u7684\u540D"
                                  L"\u5B57\u4E2D\u6587\u6587\u4EF6\u540D\u79F0.docx"};
    for (const std::wstring& name : cases) {
        std::string param = FormatParameter("filename", name);
        for (const std::string& line :
             FieldLines("Content-Disposition: attachment" + param + "\r\n")) {
            EXPECT_LE(line.size(), 78u) << line;
        }
        std::vector<HeaderField> fields;
        std::string_view body;
        std::string error;
        ASSERT_TRUE(SplitEntity("Content-Disposition: attachment" + param + "\r\n\r\n", 10, &fields,
                                &body, &error));
        EXPECT_EQ(ParseStructured(fields[0].value).params["filename"], name);
    }
}

TEST(MailDate, FormatsInUtc) {
    EXPECT_EQ(FormatMailDate(FileTimeOf(2026, 12, 10, 8, 54, 23)),
              "Thu, 10 Dec 2026 08:54:23 +0000");
    EXPECT_EQ(FormatMailDate(FileTimeOf(2000, 2, 29, 0, 0, 0)), "Tue, 29 Feb 2000 00:00:00 +0000");
}

TEST(MailDate, ParsesCurrentAndObsoleteForms) {
    ULONGLONG t = FileTimeOf(2026, 12, 10, 8, 54, 23);
    const char* same[] = {
        "Thu, 10 Dec 2026 08:54:23 +0000", "10 Dec 2026 08:54:23 +0000",
        "Thu, 10 Dec 2026 09:54:23 +0100", "Thu, 10 Dec 2026 03:54:23 -0500 (EST)",
        "Thu, 10 Dec 2026 03:54:23 EST",   "Thu, 10 Dec 26 08:54:23 GMT",
        "thu, 10 dec 2026 08:54:23 UT",    "Thu,10 Dec 2026 08:54:23 Z",
        "  Thu, 10 Dec 2026 08:54:23  ",
    };
    for (const char* text : same) {
        auto parsed = ParseMailDate(text);
        ASSERT_TRUE(parsed.has_value()) << text;
        EXPECT_EQ(*parsed, t) << text;
    }
    EXPECT_EQ(ParseMailDate("Thu, 10 Dec 2026 08:54 +0000"), FileTimeOf(2026, 12, 10, 8, 54, 0));
    EXPECT_EQ(ParseMailDate("1 Jan 99 00:00:00 +0000"), FileTimeOf(1999, 1, 1, 0, 0, 0));
    const char* invalid[] = {"",
                             "yesterday",
                             "31 Feb 2026 10:00:00 +0000",
                             "10 Foo 2026 10:00:00 +0000",
                             "10 Dec 2026 25:00:00 +0000",
                             "10 Dec 2026 10:61:00 +0000",
                             "10 Dec 2026",
                             "999999999999 Dec 2026 10:00:00 +0000",
                             "10 Dec 1200 10:00:00 +0000"};
    for (const char* text : invalid) {
        EXPECT_FALSE(ParseMailDate(text).has_value()) << text;
    }
}

}  // namespace
}  // namespace transport
