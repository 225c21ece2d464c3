#include "platform/transport/MimeHeaders.h"

#include <algorithm>
#include <cstdio>

#include "platform/transport/MimeCodec.h"
#include "platform/win/Clock.h"
#include "platform/win/Text.h"

namespace transport {

namespace {

constexpr std::size_t kMaxLine = 78;
// RFC 2231 sections of one parameter are numbered; more than this many is
// not a real file name but an attempt to make us allocate.
constexpr int kMaxParameterSections = 999;
constexpr std::size_t kMaxParameterSectionChars = 48;
constexpr std::size_t kMaxPlainParameter = 60;

constexpr const char* kDayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr ULONGLONG kTicksPerMinute = 600000000ULL;

bool IsWsp(char c) {
    return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (IsWsp(s.front()) || s.front() == '\r' || s.front() == '\n')) {
        s.remove_prefix(1);
    }
    while (!s.empty() && (IsWsp(s.back()) || s.back() == '\r' || s.back() == '\n')) {
        s.remove_suffix(1);
    }
    return s;
}

std::wstring TrimWide(std::wstring s) {
    std::size_t b = s.find_first_not_of(L" \t");
    if (b == std::wstring::npos) {
        return {};
    }
    std::size_t e = s.find_last_not_of(L" \t");
    return s.substr(b, e - b + 1);
}

std::wstring BestEffort(std::string_view bytes) {
    return IsValidUtf8(bytes) ? win::FromUtf8(bytes) : win::FromAnsi(bytes);
}

bool IsFieldNameChar(unsigned char c) {
    return c >= 33 && c <= 126 && c != ':';
}

// Removes comments outside quoted strings, keeping the quoted strings whole.
std::string StripComments(std::string_view raw) {
    std::string out;
    int depth = 0;
    bool quoted = false;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        char c = raw[i];
        if (quoted) {
            out += c;
            if (c == '\\' && i + 1 < raw.size()) {
                out += raw[++i];
            } else if (c == '"') {
                quoted = false;
            }
        } else if (depth > 0) {
            if (c == '\\') {
                ++i;
            } else if (c == '(') {
                ++depth;
            } else if (c == ')') {
                --depth;
            }
        } else if (c == '(') {
            depth = 1;
        } else {
            if (c == '"') {
                quoted = true;
            }
            out += c;
        }
    }
    return out;
}

std::string Unquote(std::string_view s) {
    s = Trim(s);
    if (s.empty() || s.front() != '"') {
        return std::string(s);
    }
    std::string out;
    for (std::size_t i = 1; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 1 < s.size()) {
            out += s[++i];
        } else if (s[i] == '"') {
            break;
        } else {
            out += s[i];
        }
    }
    return out;
}

int HexValue(char c) {
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

std::string PercentDecode(std::string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size() && HexValue(s[i + 1]) >= 0 && HexValue(s[i + 2]) >= 0) {
            out += static_cast<char>(HexValue(s[i + 1]) * 16 + HexValue(s[i + 2]));
            i += 2;
            continue;
        }
        out += s[i];
    }
    return out;
}

// Splits at top-level ';' (outside quoted strings).
std::vector<std::string_view> SplitParameters(std::string_view s) {
    std::vector<std::string_view> out;
    bool quoted = false;
    std::size_t start = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (quoted) {
            if (s[i] == '\\') {
                ++i;
            } else if (s[i] == '"') {
                quoted = false;
            }
        } else if (s[i] == '"') {
            quoted = true;
        } else if (s[i] == ';') {
            out.push_back(s.substr(start, i - start));
            start = i + 1;
        }
    }
    out.push_back(s.substr(start));
    return out;
}

struct Section {
    std::string value;
    bool extended = false;
};

struct Token {
    enum Kind { kAtom, kQuoted, kComment, kAngle, kComma, kSemicolon, kColon } kind;
    std::string text;
};

std::vector<Token> TokenizeAddresses(std::string_view s) {
    std::vector<Token> tokens;
    std::size_t i = 0;
    while (i < s.size()) {
        char c = s[i];
        if (IsWsp(c) || c == '\r' || c == '\n') {
            ++i;
        } else if (c == '"') {
            std::string text;
            for (++i; i < s.size() && s[i] != '"'; ++i) {
                if (s[i] == '\\' && i + 1 < s.size()) {
                    ++i;
                }
                text += s[i];
            }
            ++i;
            tokens.push_back({Token::kQuoted, text});
        } else if (c == '(') {
            std::string text;
            int depth = 1;
            for (++i; i < s.size() && depth > 0; ++i) {
                if (s[i] == '\\' && i + 1 < s.size()) {
                    text += s[++i];
                    continue;
                }
                if (s[i] == '(') {
                    ++depth;
                } else if (s[i] == ')' && --depth == 0) {
                    continue;
                }
                text += s[i];
            }
            tokens.push_back({Token::kComment, text});
        } else if (c == '<') {
            std::size_t close = s.find('>', i + 1);
            std::size_t end = close == std::string_view::npos ? s.size() : close;
            tokens.push_back({Token::kAngle, std::string(s.substr(i + 1, end - i - 1))});
            i = close == std::string_view::npos ? s.size() : close + 1;
        } else if (c == ',') {
            tokens.push_back({Token::kComma, {}});
            ++i;
        } else if (c == ';') {
            tokens.push_back({Token::kSemicolon, {}});
            ++i;
        } else if (c == ':') {
            tokens.push_back({Token::kColon, {}});
            ++i;
        } else {
            std::size_t start = i;
            while (i < s.size() && !IsWsp(s[i]) && s[i] != '\r' && s[i] != '\n' &&
                   std::string_view("\"(<,;:").find(s[i]) == std::string_view::npos) {
                ++i;
            }
            tokens.push_back({Token::kAtom, std::string(s.substr(start, i - start))});
        }
    }
    return tokens;
}

void FinishMailbox(const std::vector<Token>& tokens, std::vector<MailAddress>* out) {
    MailAddress mailbox;
    const Token* angle = nullptr;
    for (const Token& t : tokens) {
        if (t.kind == Token::kAngle) {
            angle = &t;
            break;
        }
    }
    if (angle != nullptr) {
        std::string_view addr = Trim(angle->text);
        if (!addr.empty() && addr.front() == '@') {  // obsolete route "@a,@b:"
            if (std::size_t colon = addr.find(':'); colon != std::string_view::npos) {
                addr = addr.substr(colon + 1);
            }
        }
        mailbox.address = CleanAddress(BestEffort(Trim(addr)));
        std::string phrase;
        for (const Token& t : tokens) {
            if (&t == angle) {
                break;
            }
            if (t.kind == Token::kAtom || t.kind == Token::kQuoted) {
                if (!phrase.empty()) {
                    phrase += ' ';
                }
                phrase += t.text;
            }
        }
        mailbox.name = TrimWide(DecodeHeaderText(phrase));
    } else {
        std::string addr;
        std::string comment;
        for (const Token& t : tokens) {
            if (t.kind == Token::kAtom) {
                addr += t.text;
            } else if (t.kind == Token::kQuoted) {
                addr += '"' + t.text + '"';
            } else if (t.kind == Token::kComment) {
                comment = t.text;
            }
        }
        mailbox.address = CleanAddress(BestEffort(addr));
        mailbox.name = TrimWide(DecodeHeaderText(comment));
    }
    if (!mailbox.address.empty() || !mailbox.name.empty()) {
        out->push_back(std::move(mailbox));
    }
}

bool IsPrintableAscii(std::wstring_view text) {
    for (wchar_t c : text) {
        if (c < 0x20 || c > 0x7E) {
            return false;
        }
    }
    return true;
}

std::string QuoteString(std::string_view s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
        }
        out += c;
    }
    out += '"';
    return out;
}

std::size_t FirstLineLength(std::string_view s) {
    std::size_t crlf = s.find("\r\n");
    return crlf == std::string_view::npos ? s.size() : crlf;
}

bool IsAttributeChar(unsigned char c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
        return true;
    }
    return std::string_view("!#$&+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
}

// Reads a decimal number at s[*pos] with at most maxDigits digits.
bool ReadNumber(std::string_view s, std::size_t* pos, int maxDigits, int* value, int* digits) {
    int n = 0;
    int count = 0;
    while (*pos < s.size() && s[*pos] >= '0' && s[*pos] <= '9' && count < maxDigits) {
        n = n * 10 + (s[*pos] - '0');
        ++*pos;
        ++count;
    }
    if (count == 0 || (*pos < s.size() && s[*pos] >= '0' && s[*pos] <= '9')) {
        return false;
    }
    *value = n;
    *digits = count;
    return true;
}

std::vector<std::string> DateWords(std::string_view raw) {
    std::string text = StripComments(raw);
    std::vector<std::string> words;
    std::string cur;
    for (char c : text) {
        if (IsWsp(c) || c == ',' || c == '\r' || c == '\n') {
            if (!cur.empty()) {
                words.push_back(cur);
                cur.clear();
            }
        } else {
            cur += c;
        }
    }
    if (!cur.empty()) {
        words.push_back(cur);
    }
    return words;
}

std::optional<int> ZoneOffsetMinutes(const std::string& word) {
    if ((word[0] == '+' || word[0] == '-') && word.size() == 5) {
        int v = 0;
        for (std::size_t i = 1; i < 5; ++i) {
            if (word[i] < '0' || word[i] > '9') {
                return std::nullopt;
            }
            v = v * 10 + (word[i] - '0');
        }
        int minutes = (v / 100) * 60 + v % 100;
        if (v % 100 > 59) {
            return std::nullopt;
        }
        return word[0] == '-' ? -minutes : minutes;
    }
    std::string name = AsciiLower(word);
    static const std::pair<const char*, int> kZones[] = {
        {"ut", 0},        {"utc", 0},       {"gmt", 0},       {"z", 0},
        {"est", -5 * 60}, {"edt", -4 * 60}, {"cst", -6 * 60}, {"cdt", -5 * 60},
        {"mst", -7 * 60}, {"mdt", -6 * 60}, {"pst", -8 * 60}, {"pdt", -7 * 60}};
    for (const auto& [zone, offset] : kZones) {
        if (name == zone) {
            return offset;
        }
    }
    // RFC 5322 4.3: other military zones are to be taken as -0000.
    if (name.size() == 1 && name[0] >= 'a' && name[0] <= 'z' && name[0] != 'j') {
        return 0;
    }
    return std::nullopt;
}

}  // namespace

bool SplitEntity(std::string_view entity, std::size_t maxFields, std::vector<HeaderField>* fields,
                 std::string_view* body, std::string* error) {
    fields->clear();
    *body = {};
    std::size_t pos = 0;
    std::size_t lineNumber = 0;
    while (pos < entity.size()) {
        std::size_t lf = entity.find('\n', pos);
        std::size_t next = lf == std::string_view::npos ? entity.size() : lf + 1;
        std::size_t end = lf == std::string_view::npos ? entity.size() : lf;
        if (end > pos && entity[end - 1] == '\r') {
            --end;
        }
        std::string_view line = entity.substr(pos, end - pos);
        ++lineNumber;
        if (line.empty()) {
            *body = entity.substr(next);
            break;
        }
        if (IsWsp(line.front())) {
            if (fields->empty()) {
                *error = "the header section starts with a continuation line";
                return false;
            }
            fields->back().value += line;
        } else {
            std::size_t i = 0;
            while (i < line.size() && IsFieldNameChar(static_cast<unsigned char>(line[i]))) {
                ++i;
            }
            std::size_t nameEnd = i;
            while (i < line.size() && IsWsp(line[i])) {
                ++i;
            }
            if (nameEnd == 0 || i >= line.size() || line[i] != ':') {
                *error = "header line " + std::to_string(lineNumber) + " is not a header field";
                return false;
            }
            if (fields->size() >= maxFields) {
                *error = "more than " + std::to_string(maxFields) + " header fields";
                return false;
            }
            fields->push_back(
                {AsciiLower(line.substr(0, nameEnd)), std::string(line.substr(i + 1))});
        }
        pos = next;
    }
    for (HeaderField& f : *fields) {
        f.value = std::string(Trim(f.value));
    }
    return true;
}

const HeaderField* FindField(const std::vector<HeaderField>& fields, std::string_view name) {
    for (const HeaderField& f : fields) {
        if (f.name == name) {
            return &f;
        }
    }
    return nullptr;
}

StructuredValue ParseStructured(std::string_view raw) {
    StructuredValue result;
    std::string text = StripComments(raw);
    std::vector<std::string_view> pieces = SplitParameters(text);
    result.value = AsciiLower(Trim(pieces[0]));
    std::map<std::string, std::string> plain;
    std::map<std::string, std::map<int, Section>> sectioned;
    for (std::size_t k = 1; k < pieces.size(); ++k) {
        std::string_view piece = pieces[k];
        std::size_t eq = piece.find('=');
        if (eq == std::string_view::npos) {
            continue;
        }
        std::string attr = AsciiLower(Trim(piece.substr(0, eq)));
        std::string value = Unquote(piece.substr(eq + 1));
        if (attr.empty()) {
            continue;
        }
        std::size_t star = attr.find('*');
        if (star == std::string::npos) {
            plain.emplace(attr, value);
            continue;
        }
        std::string base = attr.substr(0, star);
        std::string rest = attr.substr(star + 1);
        Section section;
        int number = 0;
        if (rest.empty()) {
            section.extended = true;
        } else {
            bool extended = rest.back() == '*';
            if (extended) {
                rest.pop_back();
            }
            if (rest.empty() || rest.size() > 3 ||
                rest.find_first_not_of("0123456789") != std::string::npos ||
                (rest.size() > 1 && rest[0] == '0')) {
                continue;
            }
            number = std::stoi(rest);
            section.extended = extended;
        }
        if (number > kMaxParameterSections) {
            continue;
        }
        section.value = value;
        sectioned[base].emplace(number, std::move(section));
    }
    for (auto& [name, sections] : sectioned) {
        std::string charset;
        std::string bytes;
        int expected = 0;
        for (auto& [number, section] : sections) {
            if (number != expected++) {
                break;  // a gap ends the value, as RFC 2231 readers do
            }
            std::string_view v = section.value;
            if (section.extended) {
                if (number == 0) {
                    std::size_t q1 = v.find('\'');
                    std::size_t q2 = q1 == std::string_view::npos ? q1 : v.find('\'', q1 + 1);
                    if (q2 != std::string_view::npos) {
                        charset = std::string(v.substr(0, q1));
                        v = v.substr(q2 + 1);
                    }
                }
                bytes += PercentDecode(v);
            } else {
                bytes += v;
            }
        }
        result.params[name] = DecodeCharset(bytes, charset);
    }
    for (auto& [name, value] : plain) {
        if (!result.params.count(name)) {
            result.params[name] = DecodeHeaderText(value);
        }
    }
    return result;
}

std::vector<MailAddress> ParseAddressList(std::string_view raw) {
    std::vector<MailAddress> out;
    std::vector<Token> current;
    for (Token& t : TokenizeAddresses(raw)) {
        switch (t.kind) {
            case Token::kColon:
                current.clear();  // group name
                break;
            case Token::kComma:
            case Token::kSemicolon:
                FinishMailbox(current, &out);
                current.clear();
                break;
            default:
                current.push_back(std::move(t));
        }
    }
    FinishMailbox(current, &out);
    return out;
}

std::string FormatUnstructuredField(std::string_view name, std::wstring_view text) {
    std::string out(name);
    out += ": ";
    bool plain = IsPrintableAscii(text) && text.find(L"=?") == std::wstring_view::npos &&
                 text.find(L"  ") == std::wstring_view::npos &&
                 (text.empty() || (text.front() != L' ' && text.back() != L' '));
    if (plain) {
        std::size_t word = 0;
        for (std::size_t i = 0; i <= text.size(); ++i) {
            if (i == text.size() || text[i] == L' ') {
                if (i - word > kMaxLine - name.size() - 2) {
                    plain = false;
                    break;
                }
                word = i + 1;
            }
        }
    }
    if (!plain) {
        return out + EncodeWords(text) + "\r\n";
    }
    std::string ascii = win::ToAnsi(text);
    std::size_t column = out.size();
    std::size_t start = 0;
    while (start < ascii.size()) {
        std::size_t next = ascii.find(' ', start + 1);
        std::size_t end = next == std::string::npos ? ascii.size() : next;
        std::string_view chunk = std::string_view(ascii).substr(start, end - start);
        if (start > 0 && column + chunk.size() > kMaxLine) {
            out += "\r\n";
            column = 0;
        }
        out += chunk;
        column += chunk.size();
        start = end;
    }
    return out + "\r\n";
}

std::wstring CleanAddress(std::wstring_view address) {
    std::wstring out;
    for (wchar_t c : address) {
        if (c >= 0x20 && c != 0x7F && c != L'<' && c != L'>') {
            out += c;
        }
    }
    return out;
}

std::string FormatMailbox(const MailAddress& address) {
    std::string addr = win::ToUtf8(CleanAddress(address.address));
    if (address.name.empty()) {
        return "<" + addr + ">";
    }
    std::string phrase = IsPrintableAscii(address.name) ? QuoteString(win::ToAnsi(address.name))
                                                        : EncodeWords(address.name);
    return phrase + " <" + addr + ">";
}

std::string FormatAddressField(std::string_view name, const std::vector<MailAddress>& list) {
    std::string out(name);
    out += ": ";
    std::size_t column = out.size();
    for (std::size_t i = 0; i < list.size(); ++i) {
        std::string mailbox = FormatMailbox(list[i]);
        if (i > 0) {
            out += ',';
            ++column;
            if (column + 1 + FirstLineLength(mailbox) > kMaxLine) {
                out += "\r\n";
                column = 0;
            }
            out += ' ';
            ++column;
        }
        out += mailbox;
        std::size_t lastBreak = mailbox.rfind("\r\n");
        column = lastBreak == std::string::npos ? column + mailbox.size()
                                                : mailbox.size() - lastBreak - 2;
    }
    return out + "\r\n";
}

std::string FormatParameter(std::string_view name, std::wstring_view value) {
    std::string out = ";\r\n\t";
    if (IsPrintableAscii(value) && value.size() <= kMaxPlainParameter) {
        return out + std::string(name) + "=" + QuoteString(win::ToAnsi(value));
    }
    std::string utf8 = win::ToUtf8(value);
    std::vector<std::string> sections(1);
    for (unsigned char c : utf8) {
        std::string piece;
        if (IsAttributeChar(c)) {
            piece = static_cast<char>(c);
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            piece = hex;
        }
        if (sections.back().size() + piece.size() > kMaxParameterSectionChars) {
            sections.emplace_back();
        }
        sections.back() += piece;
    }
    if (sections.size() == 1) {
        return out + std::string(name) + "*=UTF-8''" + sections[0];
    }
    for (std::size_t i = 0; i < sections.size(); ++i) {
        if (i > 0) {
            out += ";\r\n\t";
        }
        out += std::string(name) + "*" + std::to_string(i) + "*=" + (i == 0 ? "UTF-8''" : "") +
               sections[i];
    }
    return out;
}

std::string FormatMailDate(ULONGLONG fileTime) {
    FILETIME ft = win::UInt64ToFileTime(fileTime);
    SYSTEMTIME st{};
    if (!FileTimeToSystemTime(&ft, &st) || st.wYear > 9999) {
        return {};
    }
    char text[64];
    std::snprintf(text, sizeof text, "%s, %02u %s %04u %02u:%02u:%02u +0000",
                  kDayNames[st.wDayOfWeek % 7], st.wDay, kMonthNames[(st.wMonth + 11) % 12],
                  st.wYear, st.wHour, st.wMinute, st.wSecond);
    return text;
}

std::optional<ULONGLONG> ParseMailDate(std::string_view raw) {
    std::vector<std::string> words = DateWords(raw);
    std::size_t w = 0;
    if (w < words.size() && !words[w].empty() && !(words[w][0] >= '0' && words[w][0] <= '9')) {
        ++w;  // day name
    }
    if (words.size() < w + 4) {
        return std::nullopt;
    }
    int day = 0;
    int year = 0;
    int digits = 0;
    std::size_t p = 0;
    if (!ReadNumber(words[w], &p, 2, &day, &digits) || p != words[w].size()) {
        return std::nullopt;
    }
    std::string month = AsciiLower(words[w + 1]).substr(0, 3);
    int monthIndex = -1;
    for (int m = 0; m < 12; ++m) {
        if (month == AsciiLower(kMonthNames[m])) {
            monthIndex = m;
        }
    }
    p = 0;
    if (monthIndex < 0 || !ReadNumber(words[w + 2], &p, 4, &year, &digits) ||
        p != words[w + 2].size()) {
        return std::nullopt;
    }
    if (digits == 2) {
        year += year < 50 ? 2000 : 1900;
    } else if (digits == 3) {
        year += 1900;
    }
    const std::string& time = words[w + 3];
    int hour = 0;
    int minute = 0;
    int second = 0;
    p = 0;
    if (!ReadNumber(time, &p, 2, &hour, &digits) || p >= time.size() || time[p++] != ':' ||
        !ReadNumber(time, &p, 2, &minute, &digits)) {
        return std::nullopt;
    }
    if (p < time.size()) {
        if (time[p++] != ':' || !ReadNumber(time, &p, 2, &second, &digits) || p != time.size()) {
            return std::nullopt;
        }
    }
    int offset = 0;
    if (words.size() > w + 4) {
        auto zone = ZoneOffsetMinutes(words[w + 4]);
        if (zone) {
            offset = *zone;
        }
    }
    if (second == 60) {
        second = 59;  // a leap second is kept in its minute
    }
    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(year);
    st.wMonth = static_cast<WORD>(monthIndex + 1);
    st.wDay = static_cast<WORD>(day);
    st.wHour = static_cast<WORD>(hour);
    st.wMinute = static_cast<WORD>(minute);
    st.wSecond = static_cast<WORD>(second);
    FILETIME ft{};
    if (!SystemTimeToFileTime(&st, &ft)) {
        return std::nullopt;
    }
    LONGLONG value = static_cast<LONGLONG>(win::FileTimeToUInt64(ft)) -
                     static_cast<LONGLONG>(offset) * static_cast<LONGLONG>(kTicksPerMinute);
    if (value < 0) {
        return std::nullopt;
    }
    return static_cast<ULONGLONG>(value);
}

}  // namespace transport
