#include <gtest/gtest.h>

#include <cstdarg>
#include <cstring>
#include <string>

#include "Quillmere/cabinet/CabStringA.h"
#include "Quillmere/cabinet/CabStringW.h"
#include "Quillmere/cabinet/FilePosMap.h"

namespace Cabinet {
namespace {

std::string Thrown(void (*action)()) {
    try {
        action();
    } catch (const char* text) {
        return text;
    }
    return "";
}

TEST(CabStringTest, NewStringsHoldAtLeast600Units) {
    EXPECT_EQ(CCabStringW().Capacity(), 600u);
    EXPECT_EQ(CCabStringA("abc").Capacity(), 600u);
    std::wstring longText(400, L'x');
    EXPECT_EQ(CCabStringW(longText.c_str()).Capacity(), 800u);
}

TEST(CabStringTest, AppendGrowsAndKeepsText) {
    CCabStringW text(L"C:\\dir");
    text.AppendBackslash();
    text.AppendBackslash();
    EXPECT_STREQ(text.Get(), L"C:\\dir\\");
    std::wstring tail(1000, L'a');
    text.Append(tail.c_str());
    EXPECT_EQ(text.Len(), 7u + 1000u);
    EXPECT_GE(text.Capacity(), 1008u);
    text.Append(text);
    EXPECT_EQ(text.Len(), 2 * 1007u);
}

TEST(CabStringTest, FormatGrowsFourfoldWithNothingOfTheFirstAttemptLeft) {
    CCabStringA text("old");
    std::string big(1500, 'z');
    text.Format("%s-%d", big.c_str(), 7);
    EXPECT_EQ(std::string(text.Get()), big + "-7");
    EXPECT_EQ(text.Capacity(), 2400u);

    CCabStringW wide(L"old");
    std::wstring bigWide(700, L'q');
    wide.Format(L"%ls|%02X", bigWide.c_str(), 0xA);
    EXPECT_EQ(std::wstring(wide.Get()), bigWide + L"|0A");
    EXPECT_EQ(wide.Capacity(), 2400u);
}

std::wstring Formatted(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    CCabStringW text;
    text.FormatV(format, args);
    va_end(args);
    return text.Get();
}

// Wide formats read as on the platform: %s and %c wide, %S, %hs, %C narrow.
TEST(CabStringTest, WideFormatTakesWideStringsForPercentS) {
    EXPECT_EQ(Formatted(L"%s|%ls|%S|%hs", L"w1", L"w2", "n1", "n2"), L"w1|w2|n1|n2");
    EXPECT_EQ(Formatted(L"%c%lc%C%hc", L'a', L'b', 'c', 'd'), L"abcd");
    EXPECT_EQ(Formatted(L"%-4s|%.2S|%%s|%5.1f|%02X", L"w", "narrow", 2.5, 0xA),
              L"w   |na|%s|  2.5|0A");
    EXPECT_EQ(Formatted(L"%s\nError %d: %s", L"Fixed text", 5, L"Access is denied."),
              L"Fixed text\nError 5: Access is denied.");
    EXPECT_EQ(Formatted(L"%sCabTmp_%02X_%02X", L"C:\\Temp\\", 1, 0x1A), L"C:\\Temp\\CabTmp_01_1A");
}

TEST(CabStringTest, UnterminatedTextThrows) {
    EXPECT_EQ(Thrown([] {
                  CCabStringW text(L"abc");
                  std::wmemset(text.Buffer(), L'x', text.Capacity());
                  text.Len();
              }),
              "The string has no terminating null character!");
    EXPECT_EQ(Thrown([] {
                  CCabStringW text(L"abc");
                  std::wmemset(text.Buffer(), L'x', text.Capacity());
                  text.Append(L"more");
              }),
              "The string has no terminating null character!");
}

TEST(CabStringTest, AnsiAssignmentRefusesCharactersAbove255) {
    CCabStringA text;
    text.AssignAnsi(L"caf\u00e9");
    EXPECT_STREQ(text.Get(), "caf\xe9");
    EXPECT_EQ(Thrown([] {
                  CCabStringA text;
                  text.AssignAnsi(L"\u20ac");
              }),
              "Unicode string cannot be converted to Ansi!");
}

TEST(CabStringTest, Utf8AndCodePageConversions) {
    CCabStringA utf8;
    utf8.AssignUtf8(L"\u00e9\u20ac\U0001F600");
    EXPECT_STREQ(utf8.Get(), "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80");
    CCabStringW back;
    back.AssignCodePage(utf8.Get(), 65001);
    EXPECT_STREQ(back.Get(), L"\u00e9\u20ac\U0001F600");
    back.AssignCodePage("\x80", 1252);
    EXPECT_STREQ(back.Get(), L"\u20ac");
    EXPECT_FALSE(back.IsAscii());
    back = L"plain";
    EXPECT_TRUE(back.IsAscii());
}

TEST(FilePosMapTest, GrowsAndMovesTheLastEntryIntoAClosedSlot) {
    CFilePosMap map;
    EXPECT_EQ(map.Capacity(), 4u);
    for (int h = 1; h <= 9; ++h) {
        map.SetPos(h, static_cast<std::uint32_t>(h * 10));
    }
    EXPECT_EQ(map.Capacity(), 16u);
    map.SetPos(0, 5);
    map.SetPos(-1, 5);
    EXPECT_EQ(map.Count(), 9u);
    map.Close(2);
    std::uint32_t pos = 0;
    EXPECT_FALSE(map.GetPos(2, &pos));
    ASSERT_TRUE(map.GetPos(9, &pos));
    EXPECT_EQ(pos, 90u);
    map.SetPos(9, 1234);
    ASSERT_TRUE(map.GetPos(9, &pos));
    EXPECT_EQ(pos, 1234u);
    EXPECT_EQ(map.Count(), 8u);
}

}  // namespace
}  // namespace Cabinet
