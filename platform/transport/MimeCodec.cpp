#include "platform/transport/MimeCodec.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/win/Text.h"

namespace transport {

namespace {

constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::size_t kBase64LineLength = 76;
// RFC 2045 6.7 rule 5: encoded lines are at most 76 characters; one is
// kept free for the '=' of a soft line end.
constexpr std::size_t kQpLineLength = 75;
constexpr char kHexDigits[] = "0123456789ABCDEF";
// "=?UTF-8?B?" + 52 base64 characters + "?=" = 64 characters, so that even
// the first word after "Subject: " stays within 78.
constexpr std::size_t kEncodedWordBytes = 39;
// RFC 2047 allows 75 characters per encoded word; writers that ignore that
// are still read up to this length.
constexpr std::size_t kMaxEncodedWord = 4096;

int Base64Value(unsigned char c) {
    if (c >= 'A' && c <= 'Z') {
        return c - 'A';
    }
    if (c >= 'a' && c <= 'z') {
        return c - 'a' + 26;
    }
    if (c >= '0' && c <= '9') {
        return c - '0' + 52;
    }
    if (c == '+') {
        return 62;
    }
    if (c == '/') {
        return 63;
    }
    return -1;
}

int HexValue(unsigned char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

bool IsWsp(char c) {
    return c == ' ' || c == '\t';
}

// Length of the UTF-8 sequence that starts with lead (1 for bytes that
// cannot start one, so that a walk always moves on).
std::size_t Utf8SequenceLength(unsigned char lead) {
    if (lead >= 0xF0 && lead <= 0xF4) {
        return 4;
    }
    if (lead >= 0xE0) {
        return lead <= 0xEF ? 3 : 1;
    }
    if (lead >= 0xC2) {
        return 2;
    }
    return 1;
}

std::wstring DecodeCodePage(std::string_view bytes, UINT codePage) {
    if (bytes.empty()) {
        return {};
    }
    int n =
        MultiByteToWideChar(codePage, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    if (n <= 0) {
        return win::FromAnsi(bytes);
    }
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(codePage, 0, bytes.data(), static_cast<int>(bytes.size()), out.data(), n);
    return out;
}

std::wstring DecodeBestEffort(std::string_view bytes) {
    return IsValidUtf8(bytes) ? win::FromUtf8(bytes) : win::FromAnsi(bytes);
}

bool IsAscii(std::string_view bytes) {
    for (unsigned char c : bytes) {
        if (c >= 0x80) {
            return false;
        }
    }
    return true;
}

// One encoded word found in header text.
struct EncodedWord {
    std::size_t begin = 0;  // at "=?"
    std::size_t end = 0;    // past "?="
    std::string charset;
    std::string bytes;  // decoded octets
};

// Finds the next "?=" and the next white space at or after a position.
// Positions only grow while one field is read, so each search resumes where
// the last one ended: a long field full of unclosed "=?" costs linear time.
class ForwardFinder {
public:
    explicit ForwardFinder(std::string_view raw) : m_raw(raw) {}
    std::size_t Close(std::size_t from) { return Next(from, &m_close, &m_closeFrom, true); }
    std::size_t Space(std::size_t from) { return Next(from, &m_space, &m_spaceFrom, false); }

private:
    std::size_t Next(std::size_t from, std::size_t* found, std::size_t* searchedFrom, bool close) {
        if (*found != kUnknown && from >= *searchedFrom &&
            (*found == std::string_view::npos || *found >= from)) {
            return *found;
        }
        *searchedFrom = from;
        *found = close ? m_raw.find("?=", from) : m_raw.find_first_of(" \t\r\n", from);
        return *found;
    }
    static constexpr std::size_t kUnknown = std::string_view::npos - 1;
    std::string_view m_raw;
    std::size_t m_close = kUnknown;
    std::size_t m_closeFrom = 0;
    std::size_t m_space = kUnknown;
    std::size_t m_spaceFrom = 0;
};

// Reads an encoded word at raw[pos] ("=?" there); false when it is malformed.
bool ReadEncodedWord(std::string_view raw, std::size_t pos, ForwardFinder* finder,
                     EncodedWord* word) {
    std::size_t charsetEnd = raw.find('?', pos + 2);
    if (charsetEnd == std::string_view::npos || charsetEnd == pos + 2 ||
        charsetEnd + 2 >= raw.size() || raw[charsetEnd + 2] != '?') {
        return false;
    }
    char encoding = raw[charsetEnd + 1];
    std::size_t textBegin = charsetEnd + 3;
    std::size_t textEnd = finder->Close(textBegin);
    if (textEnd == std::string_view::npos || textEnd - pos > kMaxEncodedWord) {
        return false;
    }
    std::size_t space = finder->Space(textBegin);
    if (space != std::string_view::npos && space < textEnd) {
        return false;
    }
    std::string_view text = raw.substr(textBegin, textEnd - textBegin);
    std::string charset(raw.substr(pos + 2, charsetEnd - pos - 2));
    if (auto star = charset.find('*'); star != std::string::npos) {
        charset.resize(star);  // RFC 2231 language suffix
    }
    word->begin = pos;
    word->end = textEnd + 2;
    word->charset = AsciiLower(charset);
    if (encoding == 'B' || encoding == 'b') {
        word->bytes = DecodeBase64(text);
        return true;
    }
    if (encoding == 'Q' || encoding == 'q') {
        word->bytes.clear();
        for (std::size_t i = 0; i < text.size(); ++i) {
            char c = text[i];
            if (c == '_') {
                word->bytes += ' ';
            } else if (c == '=' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
                       HexValue(text[i + 2]) >= 0) {
                word->bytes +=
                    static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
                i += 2;
            } else {
                word->bytes += c;
            }
        }
        return true;
    }
    return false;
}

}  // namespace

std::string AsciiLower(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}

std::string EncodeBase64(std::string_view bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        unsigned v = (static_cast<unsigned char>(bytes[i]) << 16) |
                     (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                     static_cast<unsigned char>(bytes[i + 2]);
        out += kBase64Alphabet[(v >> 18) & 63];
        out += kBase64Alphabet[(v >> 12) & 63];
        out += kBase64Alphabet[(v >> 6) & 63];
        out += kBase64Alphabet[v & 63];
    }
    std::size_t rest = bytes.size() - i;
    if (rest > 0) {
        unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
        if (rest == 2) {
            v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        }
        out += kBase64Alphabet[(v >> 18) & 63];
        out += kBase64Alphabet[(v >> 12) & 63];
        out += rest == 2 ? kBase64Alphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::string EncodeBase64Lines(std::string_view bytes) {
    std::string flat = EncodeBase64(bytes);
    std::string out;
    out.reserve(flat.size() + flat.size() / kBase64LineLength * 2 + 2);
    for (std::size_t i = 0; i < flat.size(); i += kBase64LineLength) {
        out.append(flat, i, kBase64LineLength);
        out += "\r\n";
    }
    return out;
}

std::string DecodeBase64(std::string_view text) {
    std::string out;
    out.reserve(text.size() / 4 * 3);
    unsigned acc = 0;
    int bits = 0;
    for (unsigned char c : text) {
        if (c == '=') {
            break;
        }
        int v = Base64Value(c);
        if (v < 0) {
            continue;
        }
        acc = (acc << 6) | static_cast<unsigned>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((acc >> bits) & 0xFF);
        }
    }
    return out;
}

bool HasCanonicalLineEnds(std::string_view bytes) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\r' && (i + 1 >= bytes.size() || bytes[i + 1] != '\n')) {
            return false;
        }
        if (bytes[i] == '\n' && (i == 0 || bytes[i - 1] != '\r')) {
            return false;
        }
    }
    return true;
}

std::string EncodeQuotedPrintable(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() + bytes.size() / 8);
    std::size_t lineStart = 0;
    while (lineStart < bytes.size()) {
        std::size_t eol = bytes.find("\r\n", lineStart);
        bool hardEnd = eol != std::string_view::npos;
        std::string_view line = bytes.substr(lineStart, (hardEnd ? eol : bytes.size()) - lineStart);
        std::size_t column = 0;
        for (std::size_t i = 0; i < line.size(); ++i) {
            unsigned char c = static_cast<unsigned char>(line[i]);
            bool last = i + 1 == line.size();
            bool literal =
                (c >= 33 && c <= 126 && c != '=') || (IsWsp(static_cast<char>(c)) && !last);
            if (column == 0 && (c == '.' || (c == 'F' && line.substr(i, 5) == "From "))) {
                literal = false;
            }
            std::size_t width = literal ? 1 : 3;
            if (column + width > kQpLineLength) {
                out += "=\r\n";
                column = 0;
                if (c == '.' || (c == 'F' && line.substr(i, 5) == "From ")) {
                    literal = false;
                    width = 3;
                }
            }
            if (literal) {
                out += static_cast<char>(c);
            } else {
                out += '=';
                out += kHexDigits[c >> 4];
                out += kHexDigits[c & 15];
            }
            column += width;
        }
        if (hardEnd) {
            out += "\r\n";
            lineStart = eol + 2;
        } else {
            out += "=\r\n";
            lineStart = bytes.size();
        }
    }
    return out;
}

std::string DecodeQuotedPrintable(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t lf = text.find('\n', pos);
        bool terminated = lf != std::string_view::npos;
        std::size_t lineEnd = terminated ? lf : text.size();
        std::size_t contentEnd = lineEnd;
        if (terminated && contentEnd > pos && text[contentEnd - 1] == '\r') {
            --contentEnd;
        }
        while (contentEnd > pos && (IsWsp(text[contentEnd - 1]))) {
            --contentEnd;
        }
        bool soft = false;
        if (contentEnd > pos && text[contentEnd - 1] == '=') {
            soft = true;
            --contentEnd;
        }
        for (std::size_t i = pos; i < contentEnd; ++i) {
            char c = text[i];
            if (c == '=' && i + 2 < contentEnd && HexValue(text[i + 1]) >= 0 &&
                HexValue(text[i + 2]) >= 0) {
                out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
                i += 2;
            } else {
                out += c;
            }
        }
        if (terminated && !soft) {
            out += "\r\n";
        }
        pos = terminated ? lf + 1 : text.size();
    }
    return out;
}

UINT CodePageOfCharset(std::string_view charset) {
    std::string name = AsciiLower(charset);
    if (name == "utf-8" || name == "utf8") {
        return CP_UTF8;
    }
    if (name == "us-ascii" || name == "ascii" || name == "ansi_x3.4-1968" || name == "us") {
        return 20127;
    }
    if (name == "iso-8859-1" || name == "iso8859-1" || name == "iso_8859-1" || name == "latin1" ||
        name == "latin-1" || name == "l1") {
        return 28591;
    }
    if (name == "windows-1252" || name == "cp1252" || name == "x-cp1252") {
        return kCodePage1252;
    }
    return 0;
}

std::string_view CharsetOfCodePage(UINT codePage) {
    switch (codePage) {
        case CP_UTF8:
            return "utf-8";
        case 20127:
            return "us-ascii";
        case 28591:
            return "iso-8859-1";
        case kCodePage1252:
            return "windows-1252";
        default:
            return "";
    }
}

bool IsValidUtf8(std::string_view bytes) {
    std::size_t i = 0;
    while (i < bytes.size()) {
        unsigned char lead = static_cast<unsigned char>(bytes[i]);
        if (lead < 0x80) {
            ++i;
            continue;
        }
        std::size_t n = Utf8SequenceLength(lead);
        if (n == 1 || i + n > bytes.size()) {
            return false;
        }
        unsigned char second = static_cast<unsigned char>(bytes[i + 1]);
        unsigned char low = 0x80;
        unsigned char high = 0xBF;
        if (lead == 0xE0) {
            low = 0xA0;
        } else if (lead == 0xED) {
            high = 0x9F;  // no surrogates
        } else if (lead == 0xF0) {
            low = 0x90;
        } else if (lead == 0xF4) {
            high = 0x8F;
        }
        if (second < low || second > high) {
            return false;
        }
        for (std::size_t k = 2; k < n; ++k) {
            unsigned char c = static_cast<unsigned char>(bytes[i + k]);
            if (c < 0x80 || c > 0xBF) {
                return false;
            }
        }
        i += n;
    }
    return true;
}

std::wstring DecodeCharset(std::string_view bytes, std::string_view charset) {
    switch (CodePageOfCharset(charset)) {
        case CP_UTF8:
            return win::FromUtf8(bytes);
        case 28591:
            return DecodeCodePage(bytes, 28591);
        case kCodePage1252:
            return win::FromAnsi(bytes);
        case 20127:
            if (IsAscii(bytes)) {
                return DecodeCodePage(bytes, 20127);
            }
            return DecodeBestEffort(bytes);
        default:
            return DecodeBestEffort(bytes);
    }
}

std::wstring DecodeHeaderText(std::string_view raw) {
    std::wstring out;
    ForwardFinder finder(raw);
    std::size_t pos = 0;
    std::size_t literalStart = 0;
    // The last encoded word emitted, to join a run of adjacent ones.
    bool inRun = false;
    std::string runCharset;
    std::string runBytes;
    auto flushRun = [&] {
        if (inRun) {
            out += DecodeCharset(runBytes, runCharset);
            runBytes.clear();
            inRun = false;
        }
    };
    while (pos < raw.size()) {
        std::size_t at = raw.find("=?", pos);
        if (at == std::string_view::npos) {
            break;
        }
        EncodedWord word;
        if (!ReadEncodedWord(raw, at, &finder, &word)) {
            pos = at + 2;
            continue;
        }
        std::string_view between = raw.substr(literalStart, at - literalStart);
        bool onlySpace = inRun && between.find_first_not_of(" \t\r\n") == std::string_view::npos;
        if (!onlySpace) {
            flushRun();
            out += DecodeBestEffort(between);
        }
        if (inRun && word.charset != runCharset) {
            flushRun();
        }
        if (!inRun) {
            inRun = true;
            runCharset = word.charset;
        }
        runBytes += word.bytes;
        pos = word.end;
        literalStart = word.end;
    }
    flushRun();
    out += DecodeBestEffort(raw.substr(literalStart));
    return out;
}

std::string EncodeWords(std::wstring_view text) {
    std::string utf8 = win::ToUtf8(text);
    std::string out;
    std::size_t pos = 0;
    while (pos < utf8.size()) {
        std::size_t end = pos;
        while (end < utf8.size()) {
            std::size_t n = Utf8SequenceLength(static_cast<unsigned char>(utf8[end]));
            if (end + n > utf8.size()) {
                n = utf8.size() - end;
            }
            if (end + n - pos > kEncodedWordBytes && end > pos) {
                break;
            }
            end += n;
        }
        if (!out.empty()) {
            out += "\r\n ";
        }
        out += "=?UTF-8?B?";
        out += EncodeBase64(std::string_view(utf8).substr(pos, end - pos));
        out += "?=";
        pos = end;
    }
    return out;
}

}  // namespace transport
