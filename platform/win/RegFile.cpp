#include "platform/win/RegFile.h"

#include <cstdint>

namespace win::regfile {
namespace {

constexpr DWORD kRegSz = 1;
constexpr DWORD kRegBinary = 3;
constexpr DWORD kRegDword = 4;

constexpr char16_t kHeader5[] = u"Windows Registry Editor Version 5.00";
constexpr char16_t kHeader4[] = u"REGEDIT4";
// regedit breaks a hex line after the comma that takes it past this column.
constexpr size_t kHexWrapColumn = 76;
constexpr char16_t kContinuation[] = u"\\\r\n  ";

// ---- decoding ----------------------------------------------------------

void AppendUtf8Decoded(const std::vector<BYTE>& b, size_t start, std::u16string& out) {
    std::u16string text;
    bool valid = true;
    for (size_t i = start; i < b.size() && valid;) {
        std::uint32_t c = b[i];
        size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (n == 0 || i + n > b.size()) {
            valid = false;
            break;
        }
        if (n > 1) {
            c &= 0x7F >> n;
            for (size_t k = 1; k < n; ++k) {
                if ((b[i + k] & 0xC0) != 0x80)
                    valid = false;
                c = (c << 6) | (b[i + k] & 0x3F);
            }
        }
        i += n;
        if (c >= 0x10000) {
            c -= 0x10000;
            text.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
            text.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
        } else {
            text.push_back(static_cast<char16_t>(c));
        }
    }
    if (!valid) {
        // Not UTF-8: an old ANSI file; take the bytes as Latin-1, which keeps
        // every ASCII structure character intact.
        text.clear();
        for (size_t i = start; i < b.size(); ++i)
            text.push_back(b[i]);
    }
    out += text;
}

std::u16string Decode(const std::vector<BYTE>& b) {
    std::u16string text;
    if (b.size() >= 2 && b[0] == 0xFF && b[1] == 0xFE) {
        for (size_t i = 2; i + 1 < b.size(); i += 2)
            text.push_back(static_cast<char16_t>(b[i] | (b[i + 1] << 8)));
        return text;
    }
    size_t start = b.size() >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF ? 3 : 0;
    AppendUtf8Decoded(b, start, text);
    return text;
}

std::vector<std::u16string> SplitLines(const std::u16string& text) {
    std::vector<std::u16string> lines;
    std::u16string cur;
    for (size_t i = 0; i < text.size(); ++i) {
        char16_t c = text[i];
        if (c == u'\n') {
            if (!cur.empty() && cur.back() == u'\r')
                cur.pop_back();
            lines.push_back(cur);
            cur.clear();
        } else {
            cur.push_back(c);
        }
    }
    if (!cur.empty()) {
        if (cur.back() == u'\r')
            cur.pop_back();
        lines.push_back(cur);
    }
    return lines;
}

bool IsBlank(char16_t c) {
    return c == u' ' || c == u'\t';
}

std::u16string Trimmed(const std::u16string& s) {
    size_t a = 0, e = s.size();
    while (a < e && IsBlank(s[a]))
        ++a;
    while (e > a && (IsBlank(s[e - 1]) || s[e - 1] == u'\r'))
        --e;
    return s.substr(a, e - a);
}

int HexDigit(char16_t c) {
    if (c >= u'0' && c <= u'9')
        return c - u'0';
    if (c >= u'a' && c <= u'f')
        return c - u'a' + 10;
    if (c >= u'A' && c <= u'F')
        return c - u'A' + 10;
    return -1;
}

// Reads a quoted text starting at s[pos] == '"'; pos ends after the closing
// quote. Only \\ and \" are escapes; any other backslash stands for itself.
bool ReadQuoted(const std::u16string& s, size_t& pos, std::u16string& out) {
    if (pos >= s.size() || s[pos] != u'"')
        return false;
    ++pos;
    while (pos < s.size()) {
        char16_t c = s[pos++];
        if (c == u'"')
            return true;
        if (c == u'\\' && pos < s.size() && (s[pos] == u'\\' || s[pos] == u'"'))
            c = s[pos++];
        out.push_back(c);
    }
    return false;
}

bool ParseHexBytes(const std::u16string& s, std::vector<BYTE>& out) {
    size_t i = 0;
    auto skip = [&] {
        while (i < s.size() && IsBlank(s[i]))
            ++i;
    };
    skip();
    if (i == s.size())
        return true;
    for (;;) {
        skip();
        int hi = i < s.size() ? HexDigit(s[i]) : -1;
        if (hi < 0)
            return false;
        ++i;
        int v = hi;
        if (i < s.size() && HexDigit(s[i]) >= 0)
            v = v * 16 + HexDigit(s[i++]);
        out.push_back(static_cast<BYTE>(v));
        skip();
        if (i == s.size())
            return true;
        if (s[i] != u',')
            return false;
        ++i;
        skip();
        if (i == s.size())
            return true;  // a trailing comma is tolerated
    }
}

// data: the text after '='. Fills entry type/data/remove.
bool ParseData(const std::u16string& data, Entry& entry, std::string& why) {
    if (data == u"-") {
        entry.remove = true;
        return true;
    }
    if (!data.empty() && data[0] == u'"') {
        size_t pos = 0;
        std::u16string text;
        if (!ReadQuoted(data, pos, text) || !Trimmed(data.substr(pos)).empty()) {
            why = "unterminated or malformed string value";
            return false;
        }
        entry.type = kRegSz;
        for (char16_t c : text) {
            entry.data.push_back(static_cast<BYTE>(c & 0xFF));
            entry.data.push_back(static_cast<BYTE>(c >> 8));
        }
        entry.data.push_back(0);
        entry.data.push_back(0);
        return true;
    }
    if (data.rfind(u"dword:", 0) == 0) {
        std::u16string digits = Trimmed(data.substr(6));
        if (digits.empty() || digits.size() > 8) {
            why = "dword value needs 1 to 8 hexadecimal digits";
            return false;
        }
        std::uint32_t v = 0;
        for (char16_t c : digits) {
            int d = HexDigit(c);
            if (d < 0) {
                why = "bad hexadecimal digit in dword value";
                return false;
            }
            v = v * 16 + static_cast<std::uint32_t>(d);
        }
        entry.type = kRegDword;
        for (int k = 0; k < 4; ++k)
            entry.data.push_back(static_cast<BYTE>(v >> (8 * k)));
        return true;
    }
    if (data.rfind(u"hex", 0) == 0) {
        size_t pos = 3;
        DWORD type = kRegBinary;
        if (pos < data.size() && data[pos] == u'(') {
            size_t close = data.find(u')', pos);
            if (close == std::u16string::npos || close == pos + 1 || close - pos > 9) {
                why = "malformed hex(type)";
                return false;
            }
            type = 0;
            for (size_t k = pos + 1; k < close; ++k) {
                int d = HexDigit(data[k]);
                if (d < 0) {
                    why = "bad type number in hex(type)";
                    return false;
                }
                type = type * 16 + static_cast<DWORD>(d);
            }
            pos = close + 1;
        }
        if (pos >= data.size() || data[pos] != u':') {
            why = "missing ':' after hex";
            return false;
        }
        entry.type = type;
        if (!ParseHexBytes(data.substr(pos + 1), entry.data)) {
            why = "malformed hex bytes";
            return false;
        }
        return true;
    }
    why = "unknown value type";
    return false;
}

bool Fail(ParseError& error, int line, const std::string& message) {
    error.line = line;
    error.message = message;
    return false;
}

// ---- encoding ----------------------------------------------------------

std::u16string Quoted(const std::u16string& text) {
    std::u16string out = u"\"";
    for (char16_t c : text) {
        if (c == u'\\' || c == u'"')
            out.push_back(u'\\');
        out.push_back(c);
    }
    out.push_back(u'"');
    return out;
}

// The REG_SZ bytes as a text that a quoted form reads back to exactly these
// bytes, or false when there is none.
bool AsQuotableText(const std::vector<BYTE>& data, std::u16string& text) {
    if (data.size() < 2 || data.size() % 2 != 0)
        return false;
    size_t units = data.size() / 2;
    for (size_t i = 0; i < units; ++i) {
        char16_t c = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
        bool last = i + 1 == units;
        if (last)
            return c == 0;
        if (c == 0 || c == u'\r' || c == u'\n')
            return false;
        text.push_back(c);
    }
    return false;
}

std::u16string HexLower(std::uint32_t v, int width) {
    static const char16_t kDigits[] = u"0123456789abcdef";
    std::u16string out;
    do {
        out.insert(out.begin(), kDigits[v & 0xF]);
        v >>= 4;
    } while (v != 0 || static_cast<int>(out.size()) < width);
    return out;
}

}  // namespace

std::u16string ToU16(const std::wstring& text) {
    std::u16string out;
    for (wchar_t wc : text) {
        auto c = static_cast<std::uint32_t>(wc);
        if (c >= 0x10000 && c <= 0x10FFFF) {
            c -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
        } else {
            out.push_back(c > 0x10FFFF ? u'\uFFFD' : static_cast<char16_t>(c));
        }
    }
    return out;
}

std::wstring FromU16(const std::u16string& text) {
    std::wstring out;
    for (size_t i = 0; i < text.size(); ++i) {
        std::uint32_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        }
        out.push_back(static_cast<wchar_t>(c));
    }
    return out;
}

bool Parse(const std::vector<BYTE>& bytes, std::vector<Section>& sections, ParseError& error) {
    sections.clear();
    std::vector<std::u16string> lines = SplitLines(Decode(bytes));
    size_t i = 0;
    while (i < lines.size() && Trimmed(lines[i]).empty())
        ++i;
    if (i == lines.size())
        return Fail(error, 1, "empty file: missing the header line");
    std::u16string header = Trimmed(lines[i]);
    if (header != kHeader5 && header != kHeader4)
        return Fail(error, static_cast<int>(i + 1),
                    "first line must be \"Windows Registry Editor Version 5.00\"");
    for (++i; i < lines.size(); ++i) {
        int lineNo = static_cast<int>(i + 1);
        std::u16string line = Trimmed(lines[i]);
        if (line.empty() || line[0] == u';')
            continue;
        if (line[0] == u'[') {
            if (line.back() != u']')
                return Fail(error, lineNo, "key line without closing ']'");
            Section s;
            s.line = lineNo;
            s.path = line.substr(1, line.size() - 2);
            if (!s.path.empty() && s.path[0] == u'-') {
                s.remove = true;
                s.path.erase(0, 1);
            }
            if (s.path.empty())
                return Fail(error, lineNo, "empty key name");
            sections.push_back(std::move(s));
            continue;
        }
        if (sections.empty())
            return Fail(error, lineNo, "value line before the first key");
        Entry e;
        e.line = lineNo;
        size_t pos = 0;
        if (line[0] == u'@') {
            pos = 1;
        } else if (line[0] == u'"') {
            if (!ReadQuoted(line, pos, e.name))
                return Fail(error, lineNo, "unterminated value name");
            if (e.name.empty())
                return Fail(error, lineNo, "empty value name (use @)");
        } else {
            return Fail(error, lineNo, "expected a value line (\"name\"=... or @=...)");
        }
        while (pos < line.size() && IsBlank(line[pos]))
            ++pos;
        if (pos >= line.size() || line[pos] != u'=')
            return Fail(error, lineNo, "missing '='");
        ++pos;
        while (pos < line.size() && IsBlank(line[pos]))
            ++pos;
        std::u16string data = line.substr(pos);
        if (data.rfind(u"hex", 0) == 0) {
            // Continuation: a hex line ending in a backslash goes on with the
            // next line, whose leading blanks don't count.
            while (!data.empty() && data.back() == u'\\') {
                data.pop_back();
                if (++i >= lines.size())
                    return Fail(error, lineNo, "continuation at end of file");
                data += Trimmed(lines[i]);
            }
        }
        std::string why;
        if (!ParseData(data, e, why))
            return Fail(error, lineNo, why);
        if (sections.back().remove)
            return Fail(error, lineNo, "value line under a removed key");
        sections.back().entries.push_back(std::move(e));
    }
    return true;
}

std::u16string FormatEntry(const Entry& entry) {
    std::u16string line = entry.name.empty() ? u"@" : Quoted(entry.name);
    line += u'=';
    std::u16string text;
    if (entry.type == kRegSz && AsQuotableText(entry.data, text))
        return line + Quoted(text);
    if (entry.type == kRegDword && entry.data.size() == 4) {
        std::uint32_t v = 0;
        for (int k = 3; k >= 0; --k)
            v = (v << 8) | entry.data[k];
        return line + u"dword:" + HexLower(v, 8);
    }
    line += entry.type == kRegBinary ? u"hex:" : u"hex(" + HexLower(entry.type, 1) + u"):";
    // Column counting restarts after each break; the two blanks of a
    // continuation line count.
    size_t column = line.size();
    for (size_t k = 0; k < entry.data.size(); ++k) {
        std::u16string byte = HexLower(entry.data[k], 2);
        line += byte;
        column += 2;
        if (k + 1 == entry.data.size())
            break;
        line += u',';
        ++column;
        if (column > kHexWrapColumn) {
            line += kContinuation;
            column = 2;
        }
    }
    return line;
}

std::vector<BYTE> Write(const std::vector<Section>& sections) {
    std::u16string text = kHeader5;
    text += u"\r\n\r\n";
    for (const Section& s : sections) {
        text += u"[" + s.path + u"]\r\n";
        for (const Entry& e : s.entries)
            text += FormatEntry(e) + u"\r\n";
        text += u"\r\n";
    }
    std::vector<BYTE> out = {0xFF, 0xFE};
    out.reserve(2 + text.size() * 2);
    for (char16_t c : text) {
        out.push_back(static_cast<BYTE>(c & 0xFF));
        out.push_back(static_cast<BYTE>(c >> 8));
    }
    return out;
}

}  // namespace win::regfile
