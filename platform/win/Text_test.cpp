#include "platform/win/Text.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>

#include "platform/win/Errors.h"
#include "platform/win/TestChildProcess.h"

namespace {

std::wstring ToWide1252(const std::string& bytes) {
    const int n =
        MultiByteToWideChar(1252, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    EXPECT_EQ(
        MultiByteToWideChar(1252, 0, bytes.data(), static_cast<int>(bytes.size()), out.data(), n),
        n);
    return out;
}

TEST(CodePage1252Test, AllBytesRoundTrip) {
    std::string bytes;
    for (int b = 1; b < 256; ++b)
        bytes += static_cast<char>(b);
    bytes += '\0';  // an explicit length converts NULs like any byte
    const std::wstring wide = ToWide1252(bytes);
    ASSERT_EQ(wide.size(), 256u);
    EXPECT_EQ(wide[0x41 - 1], L'A');
    EXPECT_EQ(wide[0x80 - 1], L'\u20AC');
    EXPECT_EQ(wide[0x81 - 1], L'\u0081');
    EXPECT_EQ(wide[0x8A - 1], L'\u0160');
    EXPECT_EQ(wide[0x8D - 1], L'\u008D');
    EXPECT_EQ(wide[0x8F - 1], L'\u008F');
    EXPECT_EQ(wide[0x90 - 1], L'\u0090');
    EXPECT_EQ(wide[0x93 - 1], L'\u201C');
    EXPECT_EQ(wide[0x9D - 1], L'\u009D');
    EXPECT_EQ(wide[0x9F - 1], L'\u0178');
    EXPECT_EQ(wide[0xA0 - 1], L'\u00A0');
    EXPECT_EQ(wide[0xE4 - 1], L'\u00E4');
    EXPECT_EQ(wide[0xFF - 1], L'\u00FF');
    EXPECT_EQ(wide[255], L'\0');

    char out[256];
    BOOL usedDefault = TRUE;
    ASSERT_EQ(WideCharToMultiByte(CP_ACP, 0, wide.data(), 256, out, 256, nullptr, &usedDefault),
              256);
    EXPECT_EQ(std::string(out, 256), bytes);
    EXPECT_FALSE(usedDefault);
    EXPECT_EQ(win::ToAnsi(win::FromAnsi(bytes)), bytes);
}

TEST(CodePage1252Test, UnrepresentableCharactersBecomeTheDefaultChar) {
    const std::wstring text = L"a\u0100b\U0001F600c\u0080d\u4E2D";
    BOOL usedDefault = FALSE;
    char out[32];
    int n = WideCharToMultiByte(CP_THREAD_ACP, 0, text.c_str(), -1, out, 32, nullptr, &usedDefault);
    ASSERT_EQ(n, 9);
    EXPECT_STREQ(out, "a?b?c?d?");
    EXPECT_TRUE(usedDefault);
    n = WideCharToMultiByte(1252, 0, text.c_str(), -1, out, 32, "#", nullptr);
    EXPECT_STREQ(out, "a#b#c#d#");
    EXPECT_EQ(win::ToAnsi(L"\u20AC\u00FC\u03A9"), "\x80\xFC?");
}

TEST(CodePage1252Test, UtfSixteenPairsInWideTextAreOneCharacter) {
    // A surrogate pair held in wchar_t (text that came from UTF-16) is one
    // character and gives one default char.
    const wchar_t text[] = {L'x', wchar_t(0xD83D), wchar_t(0xDE00), L'y', 0};
    char out[8];
    ASSERT_EQ(WideCharToMultiByte(1252, 0, text, -1, out, 8, nullptr, nullptr), 4);
    EXPECT_STREQ(out, "x?y");
}

TEST(ConversionLengthTest, Win32LengthRules) {
    wchar_t wide[8];
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abc", -1, nullptr, 0), 4) << "NUL counted";
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abc", 3, nullptr, 0), 3);
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abcdef", -1, wide, 3), 0);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abc", -1, wide, 4), 4);
    EXPECT_EQ(std::wstring(wide), L"abc");
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abc", 0, wide, 4), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, nullptr, 3, wide, 4), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(MultiByteToWideChar(12345, 0, "abc", 3, wide, 4), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    char narrow[8];
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, L"\u20AC", -1, nullptr, 0, nullptr, nullptr), 4);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, L"\u20AC", -1, narrow, 3, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    BOOL used = FALSE;
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, L"a", -1, narrow, 8, nullptr, &used), 0)
        << "UTF-8 takes no default char";
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(
        WideCharToMultiByte(1252, WC_ERR_INVALID_CHARS, L"a", -1, narrow, 8, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_FLAGS);
}

TEST(Utf8Test, EncodesAndDecodesAllLengths) {
    const std::wstring text = L"A\u00E9\u20AC\U0001F600\U0010FFFF";
    const std::string utf8 = win::ToUtf8(text);
    EXPECT_EQ(utf8, "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF");
    EXPECT_EQ(win::FromUtf8(utf8), text);
    char out[32];
    ASSERT_EQ(WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, out, 32, nullptr, nullptr), 15);
    EXPECT_EQ(std::string(out), utf8);
}

TEST(Utf8Test, InvalidInputFailsStrictlyOrBecomesReplacement) {
    const char* invalid[] = {"\xC0\xAF",         "\xE2\x82", "\xED\xA0\x80",
                             "\xF4\x90\x80\x80", "\xFF",     "\x80"};
    for (const char* s : invalid) {
        wchar_t out[8];
        SetLastError(0);
        EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s, -1, out, 8), 0) << s;
        EXPECT_EQ(GetLastError(), ERROR_NO_UNICODE_TRANSLATION);
        EXPECT_GT(MultiByteToWideChar(CP_UTF8, 0, s, -1, out, 8), 1);
        EXPECT_EQ(out[0], L'\uFFFD');
    }
    EXPECT_EQ(win::FromUtf8("a\xE2\x82z"), L"a\uFFFDz") << "a truncated sequence is one U+FFFD";
    const wchar_t lone[] = {L'a', wchar_t(0xD800), L'b', 0};
    EXPECT_EQ(win::ToUtf8(lone),
              "a\xEF\xBF\xBD"
              "b");
    char out[8];
    EXPECT_EQ(
        WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, lone, -1, out, 8, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), ERROR_NO_UNICODE_TRANSLATION);
}

// Python's decoder replaces maximal invalid subparts with U+FFFD as the
// platform does; random bytes (biased to UTF-8 lead and trail bytes) must
// decode identically.
TEST(Utf8Test, DecodingMatchesAnIndependentDecoder) {
    std::mt19937 rng(20261210);
    const unsigned char interesting[] = {0x41, 0x80, 0xBF, 0xC2, 0xDF, 0xE0, 0xED, 0xEF,
                                         0xF0, 0xF4, 0xF5, 0xA0, 0x9F, 0x90, 0x8F, 0xC0};
    char dir[] = "/tmp/qm_utf8_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string in = std::string(dir) + "/in", out = std::string(dir) + "/out";
    std::vector<std::string> samples;
    {
        std::ofstream f(in, std::ios::binary);
        for (int i = 0; i < 300; ++i) {
            std::string s;
            const int len = 1 + static_cast<int>(rng() % 12);
            for (int k = 0; k < len; ++k) {
                s += static_cast<char>(rng() % 2 ? interesting[rng() % 16] : rng() % 256);
            }
            for (char& c : s) {
                if (c == '\n')
                    c = 'n';  // one sample per line
            }
            samples.push_back(s);
            f << s << '\n';
        }
    }
    const std::string cmd =
        "/usr/bin/python3 -c \"import sys\nfor l in open(sys.argv[1],'rb').read().split(b'\\\\n')"
        "[:-1]: sys.stdout.buffer.write(l.decode('utf-8','replace').encode('utf-32-le')+"
        "b'\\\\n\\\\0\\\\0\\\\0')\" " +
        in + " > " + out;
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    std::ifstream f(out, std::ios::binary);
    const std::string all((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    std::size_t pos = 0;
    for (const auto& s : samples) {
        std::wstring expected;
        for (; pos + 4 <= all.size(); pos += 4) {
            const char32_t c = static_cast<unsigned char>(all[pos]) |
                               static_cast<unsigned char>(all[pos + 1]) << 8 |
                               static_cast<unsigned char>(all[pos + 2]) << 16 |
                               static_cast<unsigned char>(all[pos + 3]) << 24;
            if (c == '\n')
                break;
            expected += static_cast<wchar_t>(c);
        }
        pos += 4;
        EXPECT_EQ(win::FromUtf8(s), expected);
    }
    std::remove(in.c_str());
    std::remove(out.c_str());
    rmdir(dir);
}

TEST(Utf16Test, SurrogatePairsBothWays) {
    const std::wstring text = L"a\U0001F600\uFFFF\U00010000";
    const std::u16string units = win::ToUtf16(text);
    EXPECT_EQ(units, (std::u16string{u'a', 0xD83D, 0xDE00, 0xFFFF, 0xD800, 0xDC00}));
    EXPECT_EQ(win::FromUtf16(units), text);
    EXPECT_EQ(win::FromUtf16(std::u16string{u'x', 0xDC00, 0xD800}), L"x\uFFFD\uFFFD");
    EXPECT_EQ(win::FromUtf16(std::u16string{0xD800, u'y'}), L"\uFFFDy");

    const std::vector<std::uint8_t> le = win::ToUtf16Le(L"A\U0001F600");
    EXPECT_EQ(le, (std::vector<std::uint8_t>{0x41, 0x00, 0x3D, 0xD8, 0x00, 0xDE}));
    EXPECT_EQ(win::FromUtf16Le(le), L"A\U0001F600");
    std::vector<std::uint8_t> odd = le;
    odd.push_back(0x42);
    EXPECT_EQ(win::FromUtf16Le(odd), L"A\U0001F600") << "an odd trailing byte is ignored";
}

TEST(CaseTest, UpperCasesTheSimpleMappings) {
    struct Case {
        wchar_t in, out;
    } cases[] = {
        {L'a', L'A'},           {L'z', L'Z'},           {L'\u00E4', L'\u00C4'},
        {L'\u00DF', L'\u00DF'}, {L'\u00FF', L'\u0178'}, {L'\u00F7', L'\u00F7'},
        {L'\u0151', L'\u0150'}, {L'\u0142', L'\u0141'}, {L'\u017E', L'\u017D'},
        {L'\u03B1', L'\u0391'}, {L'\u03C2', L'\u03A3'}, {L'\u0436', L'\u0416'},
        {L'\u0451', L'\u0401'}, {L'\u0561', L'\u0531'}, {L'\uFF41', L'\uFF21'},
        {L'1', L'1'},           {L'\u20AC', L'\u20AC'}, {L'A', L'A'},
    };
    for (const auto& c : cases) {
        wchar_t buffer[1] = {c.in};
        EXPECT_EQ(CharUpperBuffW(buffer, 1), 1u);
        EXPECT_EQ(buffer[0], c.out) << std::hex << static_cast<unsigned>(c.in);
    }
    EXPECT_EQ(win::ToUpper(L"Stra\u00DFe \u00E9t\u00E9"), L"STRA\u00DFE \u00C9T\u00C9");
    EXPECT_EQ(win::ToLower(L"\u00C4RGER \u0416"), L"\u00E4rger \u0436");
    wchar_t partial[] = L"abcd";
    CharUpperBuffW(partial, 2);
    EXPECT_EQ(std::wstring(partial), L"ABcd") << "only len characters change";
}

TEST(VarBstrCmpTest, Table) {
    struct Case {
        const wchar_t* a;
        const wchar_t* b;
        ULONG flags;
        HRESULT expected;
    } cases[] = {
        {L"abc", L"abc", 0, VARCMP_EQ},
        {L"abc", L"ABC", 0, VARCMP_LT},
        {L"ABC", L"abc", 0, VARCMP_GT},
        {L"abc", L"ABC", NORM_IGNORECASE, VARCMP_EQ},
        {L"Quillmere", L"QUILLMERE", 0, VARCMP_LT},
        {L"Quillmere", L"QUILLMERE", NORM_IGNORECASE, VARCMP_EQ},
        {L"\u00E4", L"\u00C4", NORM_IGNORECASE, VARCMP_EQ},
        {nullptr, L"", 0, VARCMP_EQ},
        {L"", nullptr, 0, VARCMP_EQ},
        {nullptr, nullptr, 0, VARCMP_EQ},
        {nullptr, L"a", 0, VARCMP_LT},
        {L"a", nullptr, 0, VARCMP_GT},
        {L"abc", L"abd", 0, VARCMP_LT},
        {L"ab", L"abc", 0, VARCMP_LT},
        {L"abc", L"ab", NORM_IGNORECASE, VARCMP_GT},
        {L"apple", L"Banana", 0, VARCMP_LT},
        {L"Apple", L"banana", 0, VARCMP_LT},
        {L"00000000ABCD", L"00000000ABCE", 0, VARCMP_LT},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(VarBstrCmp(c.a, c.b, LOCALE_USER_DEFAULT, c.flags), c.expected)
            << (c.a ? "a" : "null") << " vs " << (c.b ? "b" : "null") << " flags " << c.flags;
    }
    EXPECT_EQ(CompareStringW(LOCALE_USER_DEFAULT, 0, L"abX", 2, L"ab", -1), CSTR_EQUAL);
    EXPECT_EQ(CompareStringW(LOCALE_USER_DEFAULT, 0, L"b", -1, L"a", -1), CSTR_GREATER_THAN);
}

std::wstring Info(LCID lcid, LCTYPE type) {
    wchar_t buffer[80];
    const int n = GetLocaleInfoW(lcid, type, buffer, 80);
    return n > 0 ? std::wstring(buffer) : L"<failed>";
}

TEST(LocaleTest, ListSeparatorAndDecimalPerLocale) {
    struct Case {
        LCID lcid;
        const wchar_t* list;
        const wchar_t* decimal;
    } cases[] = {{0x0409, L",", L"."}, {0x0809, L",", L"."}, {0x0407, L";", L","},
                 {0x0C07, L";", L","}, {0x040C, L";", L","}, {0x0C0A, L";", L","},
                 {0x1007, L";", L","}};
    for (const auto& c : cases) {
        EXPECT_EQ(Info(c.lcid, LOCALE_SLIST), c.list) << std::hex << c.lcid;
        EXPECT_EQ(Info(c.lcid, LOCALE_SDECIMAL), c.decimal) << std::hex << c.lcid;
    }
    EXPECT_EQ(Info(0x0407, LOCALE_SNAME), L"de-DE");
    EXPECT_EQ(Info(0x0407, LOCALE_IDEFAULTANSICODEPAGE), L"1252");
    EXPECT_EQ(Info(0x0407, LOCALE_ILANGUAGE), L"0407");
}

TEST(LocaleTest, BufferRulesAndUnsupportedTypes) {
    EXPECT_EQ(GetLocaleInfoW(0x0409, LOCALE_SSHORTDATE, nullptr, 0), 9);
    wchar_t small[4];
    EXPECT_EQ(GetLocaleInfoW(0x0409, LOCALE_SSHORTDATE, small, 4), 0);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(GetLocaleInfoW(0x0409, 0x7777, small, 4), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_FLAGS);
    DWORD number = 0;
    EXPECT_EQ(GetLocaleInfoW(0x040C, LOCALE_IDEFAULTANSICODEPAGE | LOCALE_RETURN_NUMBER,
                             reinterpret_cast<wchar_t*>(&number), sizeof(DWORD) / sizeof(wchar_t)),
              static_cast<int>(sizeof(DWORD) / sizeof(wchar_t)));
    EXPECT_EQ(number, 1252u);
}

TEST(LocaleTest, ThreadLocaleIsPerThread) {
    ASSERT_EQ(GetThreadLocale(), GetUserDefaultLCID());
    ASSERT_TRUE(SetThreadLocale(0x040C));
    EXPECT_EQ(GetThreadLocale(), 0x040Cu);
    LCID other = 0;
    std::thread([&] { other = GetThreadLocale(); }).join();
    EXPECT_EQ(other, GetUserDefaultLCID());
    EXPECT_FALSE(SetThreadLocale(0x0411)) << "a language the stand-in does not know";
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(GetThreadLocale(), 0x040Cu);
    ASSERT_TRUE(SetThreadLocale(LOCALE_USER_DEFAULT));
    EXPECT_EQ(GetThreadLocale(), GetUserDefaultLCID());
}

SYSTEMTIME At(WORD y, WORD mo, WORD d, WORD h, WORD mi, WORD s) {
    SYSTEMTIME st{};
    st.wYear = y;
    st.wMonth = mo;
    st.wDay = d;
    st.wHour = h;
    st.wMinute = mi;
    st.wSecond = s;
    st.wDayOfWeek = 6;  // wrong on purpose: the calls compute it
    return st;
}

TEST(DateTimeFormatTest, DefaultFormatsPerLocale) {
    const SYSTEMTIME afternoon = At(2026, 3, 5, 14, 7, 9), morning = At(2026, 11, 25, 9, 5, 3),
                     midnight = At(2026, 1, 1, 0, 0, 0);
    struct Case {
        LCID lcid;
        const wchar_t *date1, *time1, *date2, *time2, *time3;
    } cases[] = {
        {0x0409, L"3/5/2026", L"2:07:09 PM", L"11/25/2026", L"9:05:03 AM", L"12:00:00 AM"},
        {0x0407, L"05.03.2026", L"14:07:09", L"25.11.2026", L"09:05:03", L"00:00:00"},
        {0x040C, L"05/03/2026", L"14:07:09", L"25/11/2026", L"09:05:03", L"00:00:00"},
        {0x0C0A, L"05/03/2026", L"14:07:09", L"25/11/2026", L"9:05:03", L"0:00:00"},
        {0x0809, L"05/03/2026", L"14:07:09", L"25/11/2026", L"09:05:03", L"00:00:00"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(win::FormatDate(c.lcid, afternoon), c.date1) << std::hex << c.lcid;
        EXPECT_EQ(win::FormatTime(c.lcid, afternoon), c.time1) << std::hex << c.lcid;
        EXPECT_EQ(win::FormatDate(c.lcid, morning), c.date2) << std::hex << c.lcid;
        EXPECT_EQ(win::FormatTime(c.lcid, morning), c.time2) << std::hex << c.lcid;
        EXPECT_EQ(win::FormatTime(c.lcid, midnight), c.time3) << std::hex << c.lcid;
    }
}

std::wstring Date(LCID lcid, DWORD flags, const SYSTEMTIME& st, const wchar_t* format) {
    wchar_t buffer[128];
    const int n = GetDateFormatW(lcid, flags, &st, format, buffer, 128);
    return n > 0 ? std::wstring(buffer) : L"<failed>";
}

std::wstring Time(LCID lcid, DWORD flags, const SYSTEMTIME& st, const wchar_t* format) {
    wchar_t buffer[128];
    const int n = GetTimeFormatW(lcid, flags, &st, format, buffer, 128);
    return n > 0 ? std::wstring(buffer) : L"<failed>";
}

TEST(DateTimeFormatTest, PicturesFlagsAndLongDates) {
    const SYSTEMTIME st = At(2026, 3, 5, 14, 7, 9);
    EXPECT_EQ(Date(0x0409, DATE_LONGDATE, st, nullptr), L"Thursday, March 5, 2026");
    EXPECT_EQ(Date(0x0407, DATE_LONGDATE, st, nullptr), L"Donnerstag, 5. M\u00e4rz 2026");
    EXPECT_EQ(Date(0x0C0A, DATE_LONGDATE, st, nullptr), L"jueves, 5 de marzo de 2026");
    EXPECT_EQ(Date(0x0409, 0, st, L"yyyy-MM-dd ddd MMM yy y"), L"2026-03-05 Thu Mar 26 26");
    EXPECT_EQ(Date(0x0407, 0, st, L"'Tag' d 'o''clock' dddd"), L"Tag 5 o'clock Donnerstag");
    EXPECT_EQ(Time(0x0409, TIME_NOSECONDS, st, nullptr), L"2:07 PM");
    EXPECT_EQ(Time(0x0409, TIME_NOMINUTESORSECONDS, st, nullptr), L"2 PM");
    EXPECT_EQ(Time(0x0409, TIME_NOTIMEMARKER, st, nullptr), L"2:07:09");
    EXPECT_EQ(Time(0x0409, TIME_FORCE24HOURFORMAT, st, nullptr), L"14:07:09 PM");
    EXPECT_EQ(Time(0x0409, TIME_FORCE24HOURFORMAT | TIME_NOTIMEMARKER, st, nullptr), L"14:07:09");
    EXPECT_EQ(Time(0x0409, TIME_NOTIMEMARKER, st, L"tt h:mm"), L"2:07");
    EXPECT_EQ(Time(0x0409, 0, st, L"hh'h'mm t"), L"02h07 P");
}

TEST(DateTimeFormatTest, BufferRulesAndInvalidInput) {
    const SYSTEMTIME st = At(2026, 3, 5, 14, 7, 9);
    EXPECT_EQ(GetDateFormatW(0x0409, 0, &st, nullptr, nullptr, 0), 9);
    wchar_t small[4];
    EXPECT_EQ(GetDateFormatW(0x0409, 0, &st, nullptr, small, 4), 0);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    const SYSTEMTIME feb30 = At(2026, 2, 30, 0, 0, 0), hour25 = At(2026, 1, 1, 25, 0, 0);
    EXPECT_EQ(GetDateFormatW(0x0409, 0, &feb30, nullptr, small, 4), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(GetTimeFormatW(0x0409, 0, &hour25, nullptr, small, 4), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(GetDateFormatW(0x0409, DATE_SHORTDATE, &st, L"d", small, 4), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_FLAGS);
    wchar_t now[64];
    EXPECT_GT(GetDateFormatW(LOCALE_USER_DEFAULT, 0, nullptr, nullptr, now, 64), 8)
        << "null date = today";
}

// Child run: the default locale is read from the environment once.
TEST(LocaleChild, DefaultLocaleComesFromTheEnvironment) {
    if (!win::testing::IsChildRun())
        GTEST_SKIP() << "runs as a child of LocaleProcess";
    ASSERT_EQ(GetUserDefaultLCID(), 0x0407u);
    ASSERT_EQ(GetThreadLocale(), 0x0407u);
    ASSERT_EQ(Info(LOCALE_USER_DEFAULT, LOCALE_SLIST), L";");
    const SYSTEMTIME st = At(2026, 3, 5, 14, 7, 9);
    ASSERT_EQ(win::FormatDate(LOCALE_USER_DEFAULT, st), L"05.03.2026");
    LCID other = 0;
    std::thread([&] { other = GetThreadLocale(); }).join();
    ASSERT_EQ(other, 0x0407u);
}

TEST(LocaleChild, EnglishIsTheDefault) {
    if (!win::testing::IsChildRun())
        GTEST_SKIP() << "runs as a child of LocaleProcess";
    ASSERT_EQ(GetUserDefaultLCID(), 0x0409u);
    ASSERT_EQ(Info(LOCALE_USER_DEFAULT, LOCALE_SLIST), L",");
}

TEST(LocaleProcess, DefaultLocaleIsReadFromTheEnvironment) {
    if (win::testing::IsChildRun())
        GTEST_SKIP();
    EXPECT_EQ(win::testing::RunChildTest("LocaleChild.DefaultLocaleComesFromTheEnvironment",
                                         {"QUILLMERE_LCID=0x0407"}),
              0);
    EXPECT_EQ(win::testing::RunChildTest("LocaleChild.DefaultLocaleComesFromTheEnvironment",
                                         {"QUILLMERE_LCID=407"}),
              0);
    EXPECT_EQ(win::testing::RunChildTest("LocaleChild.EnglishIsTheDefault", {"QUILLMERE_LCID="}),
              0);
    EXPECT_EQ(
        win::testing::RunChildTest("LocaleChild.EnglishIsTheDefault", {"QUILLMERE_LCID=bogus"}), 0);
}

}  // namespace
