#include "platform/transport/MimeCodec.h"

#include <gtest/gtest.h>

#include <random>

#include "platform/transport/TransportTestSupport.h"

namespace transport {
namespace {

std::string Str(const mapi::Bytes& b) {
    return std::string(b.begin(), b.end());
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t crlf = text.find("\r\n", pos);
        EXPECT_NE(crlf, std::string::npos) << "every line ends with CR LF";
        if (crlf == std::string::npos) {
            break;
        }
        lines.push_back(text.substr(pos, crlf - pos));
        pos = crlf + 2;
    }
    return lines;
}

TEST(Base64, KnownVectors) {
    const std::pair<const char*, const char*> cases[] = {{"", ""},
                                                         {"f", "Zg=="},
                                                         {"fo", "Zm8="},
                                                         {"foo", "Zm9v"},
                                                         {"foob", "Zm9vYg=="},
                                                         {"fooba", "Zm9vYmE="},
                                                         {"foobar", "Zm9vYmFy"}};
    for (const auto& [plain, encoded] : cases) {
        EXPECT_EQ(EncodeBase64(plain), encoded);
        EXPECT_EQ(DecodeBase64(encoded), plain);
    }
}

TEST(Base64, LinesOf76RoundTripEveryLength) {
    for (std::size_t size : {0u, 1u, 2u, 3u, 56u, 57u, 58u, 114u, 1000u, 4099u}) {
        std::string data = Str(testing::RandomBytes(static_cast<std::uint32_t>(size), size));
        std::string text = EncodeBase64Lines(data);
        for (const std::string& line : Lines(text)) {
            EXPECT_LE(line.size(), 76u);
            EXPECT_FALSE(line.empty());
        }
        EXPECT_EQ(DecodeBase64(text), data) << size;
    }
}

TEST(Base64, DecoderSkipsNoiseAndStopsAtPadding) {
    EXPECT_EQ(DecodeBase64("Zm9v\r\n YmFy\t"), "foobar");
    EXPECT_EQ(DecodeBase64("Zm8=Zm9v"), "fo");
    EXPECT_EQ(DecodeBase64("Z!m@9#v"), "foo");
    EXPECT_EQ(DecodeBase64("Zm9vY"), "foo");  // a lone sixth of a byte carries nothing
}

TEST(QuotedPrintable, RoundTripKeepsEveryByte) {
    const std::string cases[] = {
        "",
        "plain",
        "trailing blanks   \r\nand tab\t\r\n",
        "no line end at the end  ",
        "= signs == and =3D\r\n",
        "From the start\r\nFrom again\r\n.dot line\r\n",
        std::string(200, 'x') + "\r\n" + std::string(75, 'y') + " \r\n",
        "\xC3\xA4\xC3\xB6\xC3\xBC \xE2\x82\xAC\r\n\r\n\r\n",
        "\r\n",
        std::string("nul\0byte", 8) + "\r\n",
    };
    for (const std::string& text : cases) {
        std::string encoded = EncodeQuotedPrintable(text);
        for (const std::string& line : Lines(encoded)) {
            EXPECT_LE(line.size(), 76u) << line;
            if (!line.empty()) {
                EXPECT_NE(line.back(), ' ') << "trailing blanks are escaped";
                EXPECT_NE(line.back(), '\t');
            }
            EXPECT_NE(line.rfind("From ", 0), 0u);
            for (unsigned char c : line) {
                EXPECT_TRUE(c >= 32 && c < 127) << int(c);
            }
        }
        EXPECT_EQ(DecodeQuotedPrintable(encoded), text) << testing::Hex(text);
    }
}

TEST(QuotedPrintable, DecoderReadsForeignForms) {
    const std::pair<const char*, const char*> cases[] = {
        {"soft=\r\nbreak", "softbreak"},      {"lower =c3=a4", "lower \xC3\xA4"},
        {"bad =ZZ and =4", "bad =ZZ and =4"}, {"padded   \r\nline", "padded\r\nline"},
        {"bare\nlf\n", "bare\r\nlf\r\n"},     {"soft with blank=  \r\nend", "soft with blankend"},
    };
    for (const auto& [encoded, plain] : cases) {
        EXPECT_EQ(DecodeQuotedPrintable(encoded), plain) << encoded;
    }
}

TEST(QuotedPrintable, CanonicalLineEnds) {
    EXPECT_TRUE(HasCanonicalLineEnds("a\r\nb\r\n"));
    EXPECT_TRUE(HasCanonicalLineEnds(""));
    EXPECT_FALSE(HasCanonicalLineEnds("a\nb"));
    EXPECT_FALSE(HasCanonicalLineEnds("a\rb"));
    EXPECT_FALSE(HasCanonicalLineEnds("a\r"));
    EXPECT_FALSE(HasCanonicalLineEnds("\n"));
}

TEST(Charsets, DecodeTheFourAndGuessOthers) {
    EXPECT_EQ(DecodeCharset("\xE4", "ISO-8859-1"), L"\u00E4");
    EXPECT_EQ(DecodeCharset("\x80", "windows-1252"), L"\u20AC");
    EXPECT_EQ(DecodeCharset("\xC3\xA4", "utf-8"), L"\u00E4");
    EXPECT_EQ(DecodeCharset("abc", "us-ascii"), L"abc");
    EXPECT_EQ(DecodeCharset("\xC3\xA4", "x-unknown"), L"\u00E4");
    EXPECT_EQ(DecodeCharset("\xE4", "x-unknown"), L"\u00E4");
    EXPECT_EQ(DecodeCharset("\x80", "us-ascii"), L"\u20AC");
    EXPECT_EQ(CodePageOfCharset("UTF8"), 65001u);
    EXPECT_EQ(CodePageOfCharset("latin1"), 28591u);
    EXPECT_EQ(CodePageOfCharset("koi8-r"), 0u);
}

TEST(Utf8, ValidityRejectsOverlongsAndSurrogates) {
    EXPECT_TRUE(IsValidUtf8("a\xC3\xA4\xE2\x82\xAC\xF0\x9F\x98\x80"));
    EXPECT_FALSE(IsValidUtf8("\xC0\x80"));
    EXPECT_FALSE(IsValidUtf8("\xED\xA0\x80"));
    EXPECT_FALSE(IsValidUtf8("\xE2\x82"));
    EXPECT_FALSE(IsValidUtf8("\xF4\x90\x80\x80"));
}

TEST(EncodedWords, DecodeForms) {
    const std::pair<const char*, const wchar_t*> cases[] = {
        {"=?UTF-8?B?w6Q=?=", L"\u00E4"},
        {"=?utf-8?q?a_b=C3=A4?=", L"a b\u00E4"},
        {"=?ISO-8859-1?Q?Gr=FC=DFe?= aus Bonn", L"Gr\u00FC\u00DFe aus Bonn"},
        {"=?UTF-8?B?w6Q=?= \r\n =?UTF-8?B?w7Y=?=", L"\u00E4\u00F6"},
        {"=?UTF-8?B?4oI=?= =?UTF-8?B?rA==?=", L"\u20AC"},  // a character split in two words
        {"x =?UTF-8?B?w6Q=?= y", L"x \u00E4 y"},
        {"=?UTF-8*de?Q?=C3=A4?=", L"\u00E4"},
        {"=?UTF-8?X?abc?= stays", L"=?UTF-8?X?abc?= stays"},
        {"=?broken", L"=?broken"},
        {"raw \xC3\xA4", L"raw \u00E4"},
        {"raw \xE4", L"raw \u00E4"},
    };
    for (const auto& [raw, text] : cases) {
        EXPECT_EQ(DecodeHeaderText(raw), text) << raw;
    }
}

TEST(EncodedWords, LongFieldsOfOpenersCostLinearTime) {
    std::string raw;
    for (int i = 0; i < 200000; ++i) {
        raw += "=?a?B?x ";  // an opener whose word never closes
    }
    raw += "=?UTF-8?B?w6Q=?=";
    std::wstring text = DecodeHeaderText(raw);  // quadratic would take minutes
    EXPECT_EQ(text.size(), 1600001u);
    EXPECT_EQ(text.back(), L'\u00E4');
}

TEST(EncodedWords, EncodeRoundTripsAndKeepsWordsShort) {
    std::mt19937 rng(3);
    const wchar_t alphabet[] = L"aZ \u00E4\u00DF\u20AC\u4E2D\U0001F600=?_\t";
    for (int round = 0; round < 50; ++round) {
        std::wstring text;
        std::size_t n = rng() % 120;
        for (std::size_t i = 0; i < n; ++i) {
            text += alphabet[rng() % (sizeof alphabet / sizeof alphabet[0] - 1)];
        }
        std::string encoded = EncodeWords(text);
        std::size_t start = 0;
        while (start <= encoded.size()) {
            std::size_t end = encoded.find("\r\n ", start);
            std::string word = encoded.substr(start, end == std::string::npos ? end : end - start);
            EXPECT_LE(word.size(), 64u);
            if (end == std::string::npos) {
                break;
            }
            start = end + 3;
        }
        EXPECT_EQ(DecodeHeaderText(encoded), text);
    }
}

}  // namespace
}  // namespace transport
