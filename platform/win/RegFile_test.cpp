#include "platform/win/RegFile.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace win::regfile {
namespace {

std::vector<BYTE> Utf8(const std::string& s) {
    return std::vector<BYTE>(s.begin(), s.end());
}

std::vector<BYTE> Utf16(const std::u16string& s) {
    std::vector<BYTE> out = {0xFF, 0xFE};
    for (char16_t c : s) {
        out.push_back(static_cast<BYTE>(c & 0xFF));
        out.push_back(static_cast<BYTE>(c >> 8));
    }
    return out;
}

Entry Binary(DWORD type, size_t n, const std::u16string& name) {
    Entry e;
    e.name = name;
    e.type = type;
    for (size_t i = 0; i < n; ++i)
        e.data.push_back(static_cast<BYTE>(i));
    return e;
}

TEST(RegFileTest, ParsesEveryValueFormOfRegeditFiles) {
    std::u16string text =
        u"Windows Registry Editor Version 5.00\r\n\r\n"
        u"; a comment\r\n"
        u"[HKEY_CURRENT_USER\\Software\\Test]\r\n"
        u"@=\"default\"\r\n"
        u"\"Path\"=\"C:\\\\dir\\\\\"\r\n"
        u"\"Quote \\\"q\\\"\"=\"say \\\"hi\\\"\"\r\n"
        u"\"Count\"=dword:0000001f\r\n"
        u"\"Bin\"=hex:01,02,\\\r\n"
        u"  ff\r\n"
        u"\"Exp\"=hex(2):25,00,00,00\r\n"
        u"\"Q\"=hex(b):01,00,00,00,00,00,00,00\r\n"
        u"\"Gone\"=-\r\n"
        u"\r\n"
        u"[-HKEY_CURRENT_USER\\Software\\Old]\r\n";
    std::vector<Section> sections;
    ParseError error;
    ASSERT_TRUE(Parse(Utf16(text), sections, error)) << error.line << ": " << error.message;
    ASSERT_EQ(sections.size(), 2u);
    EXPECT_EQ(sections[0].path, u"HKEY_CURRENT_USER\\Software\\Test");
    EXPECT_TRUE(sections[1].remove);
    EXPECT_EQ(sections[1].path, u"HKEY_CURRENT_USER\\Software\\Old");
    const auto& e = sections[0].entries;
    ASSERT_EQ(e.size(), 8u);
    EXPECT_EQ(e[0].name, u"");
    EXPECT_EQ(e[0].data,
              (std::vector<BYTE>{'d', 0, 'e', 0, 'f', 0, 'a', 0, 'u', 0, 'l', 0, 't', 0, 0, 0}));
    EXPECT_EQ(e[1].data,
              (std::vector<BYTE>{'C', 0, ':', 0, '\\', 0, 'd', 0, 'i', 0, 'r', 0, '\\', 0, 0, 0}));
    EXPECT_EQ(e[2].name, u"Quote \"q\"");
    EXPECT_EQ(e[3].type, 4u);
    EXPECT_EQ(e[3].data, (std::vector<BYTE>{0x1f, 0, 0, 0}));
    EXPECT_EQ(e[4].type, 3u);
    EXPECT_EQ(e[4].data, (std::vector<BYTE>{1, 2, 0xff}));
    EXPECT_EQ(e[5].type, 2u);
    EXPECT_EQ(e[6].type, 11u);
    EXPECT_TRUE(e[7].remove);
}

TEST(RegFileTest, AcceptsUtf8AndBareLineFeeds) {
    std::vector<Section> sections;
    ParseError error;
    ASSERT_TRUE(Parse(Utf8("\xEF\xBB\xBFWindows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE"
                           "\\A]\n\"n\"=\"\xC3\xA4\"\n"),
                      sections, error));
    ASSERT_EQ(sections.size(), 1u);
    ASSERT_EQ(sections[0].entries.size(), 1u);
    EXPECT_EQ(sections[0].entries[0].data, (std::vector<BYTE>{0xE4, 0, 0, 0}));
}

TEST(RegFileTest, DefectsAreReportedWithTheirLine) {
    struct Case {
        const char* text;
        int line;
    } cases[] = {
        {"", 1},
        {"Not a registry file\r\n", 1},
        {"Windows Registry Editor Version 5.00\r\n\r\n\"v\"=\"x\"\r\n", 3},
        {"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\A\r\n", 3},
        {"Windows Registry Editor Version 5.00\r\n[HKEY_CURRENT_USER\\A]\r\n\"v\"=\"x\r\n", 3},
        {"Windows Registry Editor Version 5.00\r\n[HKEY_CURRENT_USER\\A]\r\n\"v\"=dword:1g\r\n", 3},
        {"Windows Registry Editor Version "
         "5.00\r\n[HKEY_CURRENT_USER\\A]\r\n\"v\"=dword:123456789\r\n",
         3},
        {"Windows Registry Editor Version 5.00\r\n[HKEY_CURRENT_USER\\A]\r\n\r\n\"v\"=hex:0g\r\n",
         4},
        {"Windows Registry Editor Version 5.00\r\n[HKEY_CURRENT_USER\\A]\r\n\"v\"=hex:01,\\\r\n",
         3},
        {"Windows Registry Editor Version 5.00\r\n[HKEY_CURRENT_USER\\A]\r\nv=1\r\n", 3},
        {"Windows Registry Editor Version 5.00\r\n[HKEY_CURRENT_USER\\A]\r\n\"v\"=str:x\r\n", 3},
    };
    for (const auto& c : cases) {
        std::vector<Section> sections;
        ParseError error;
        EXPECT_FALSE(Parse(Utf8(c.text), sections, error)) << c.text;
        EXPECT_EQ(error.line, c.line) << c.text;
        EXPECT_FALSE(error.message.empty());
    }
}

TEST(RegFileTest, HexDataWrapsAsRegeditWrapsIt) {
    // A 20-byte value named so that its first line holds 20 bytes, then
    // continuation lines of 25 bytes each, every line at most 80 columns.
    Entry e = Binary(3, 60, u"ShellState");
    std::u16string line = FormatEntry(e);
    std::u16string expected =
        u"\"ShellState\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,\\\r\n"
        u"  14,15,16,17,18,19,1a,1b,1c,1d,1e,1f,20,21,22,23,24,25,26,27,28,29,2a,2b,2c,\\\r\n"
        u"  2d,2e,2f,30,31,32,33,34,35,36,37,38,39,3a,3b";
    EXPECT_EQ(line, expected);

    // A longer name moves the first break: it comes after the comma that
    // passes column 76.
    Entry f = Binary(2, 21, u"FullPath");
    EXPECT_EQ(
        FormatEntry(f),
        u"\"FullPath\"=hex(2):00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,\\\r\n"
        u"  14");
}

TEST(RegFileTest, WrittenValuesReadBackByteForByte) {
    Section s;
    s.path = u"HKEY_CURRENT_USER\\Software\\T";
    std::vector<Entry> entries = {
        Binary(3, 0, u"empty bin"),   Binary(3, 200, u"long bin"), Binary(0, 3, u"none"),
        Binary(7, 90, u"multi"),      Binary(11, 8, u"qword"),     Binary(4, 4, u"dword"),
        Binary(4, 3, u"short dword"), Binary(1, 3, u"odd sz"),     Binary(0x1234, 2, u"custom"),
    };
    Entry sz;
    sz.name = u"a \"quoted\" \\ name";
    sz.type = 1;
    sz.data = {'x', 0, '\\', 0, '"', 0, 0, 0};
    entries.push_back(sz);
    Entry inner = sz;
    inner.name = u"line break";
    inner.data = {'a', 0, '\n', 0, 'b', 0, 0, 0};
    entries.push_back(inner);
    Entry noNul = sz;
    noNul.name = u"no terminator";
    noNul.data = {'a', 0};
    entries.push_back(noNul);
    Entry def = sz;
    def.name = u"";
    entries.push_back(def);
    s.entries = entries;
    std::vector<BYTE> bytes = Write({s});
    std::vector<Section> back;
    ParseError error;
    ASSERT_TRUE(Parse(bytes, back, error)) << error.line << ": " << error.message;
    ASSERT_EQ(back.size(), 1u);
    ASSERT_EQ(back[0].entries.size(), entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ(back[0].entries[i].name, entries[i].name) << i;
        EXPECT_EQ(back[0].entries[i].type, entries[i].type) << i;
        EXPECT_EQ(back[0].entries[i].data, entries[i].data) << i;
    }
}

TEST(RegFileTest, DamagedFilesNeverCrashTheReader) {
    Section s;
    s.path = u"HKEY_CURRENT_USER\\Software\\T";
    s.entries = {Binary(3, 100, u"bin"), Binary(1, 8, u"sz"), Binary(4, 4, u"dw"),
                 Binary(7, 12, u"multi")};
    std::vector<BYTE> good = Write({s, s});
    unsigned seed = 12345;
    auto next = [&] { return seed = seed * 1103515245u + 12345u; };
    int accepted = 0;
    for (int round = 0; round < 3000; ++round) {
        std::vector<BYTE> bad = good;
        int edits = 1 + next() % 4;
        for (int k = 0; k < edits; ++k) {
            size_t at = next() % bad.size();
            switch (next() % 3) {
                case 0:
                    bad[at] = static_cast<BYTE>(next());
                    break;
                case 1:
                    bad.erase(bad.begin() + static_cast<long>(at));
                    break;
                default:
                    bad.resize(at);
                    break;
            }
            if (bad.empty())
                break;
        }
        std::vector<Section> out;
        ParseError error;
        if (Parse(bad, out, error))
            ++accepted;
        else
            EXPECT_FALSE(error.message.empty());
    }
    EXPECT_LT(accepted, 3000);
}

TEST(RegFileTest, NamesConvertWithSurrogatePairs) {
    std::wstring name = L"a\U0001F600b";
    std::u16string u = ToU16(name);
    EXPECT_EQ(u.size(), 4u);
    EXPECT_EQ(FromU16(u), name);
}

}  // namespace
}  // namespace win::regfile
