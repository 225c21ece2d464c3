#include "platform/win/Text.h"

#include <algorithm>
#include <iterator>

#include "platform/win/Errors.h"
#include "platform/win/TextCaseTable.h"

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Windows-1252, bytes 0x80-0x9F. The five bytes without a character (0x81,
// 0x8D, 0x8F, 0x90, 0x9D) map to the C1 control of the same value, as the
// platform's table does, so that every byte survives a round trip.
constexpr char32_t k1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

enum class Charset { k1252, kLatin1, kAscii, kUtf8, kUnknown };

Charset CharsetOf(UINT codePage) {
    switch (codePage) {
        case CP_ACP:
        case CP_THREAD_ACP:
        case kCodePage1252:
            return Charset::k1252;
        case 28591:
            return Charset::kLatin1;
        case 20127:
            return Charset::kAscii;
        case CP_UTF8:
            return Charset::kUtf8;
        default:
            return Charset::kUnknown;
    }
}

char32_t DecodeSingleByte(Charset cs, unsigned char b) {
    if (b < 0x80)
        return b;
    switch (cs) {
        case Charset::k1252:
            return b < 0xA0 ? k1252High[b - 0x80] : b;
        case Charset::kLatin1:
            return b;
        default:
            return kReplacement;  // ASCII: the platform gives '?'-like
    }
}

// The byte for c, or -1 when the code page has none.
int EncodeSingleByte(Charset cs, char32_t c) {
    if (c < 0x80)
        return static_cast<int>(c);
    switch (cs) {
        case Charset::k1252:
            if (c >= 0xA0 && c <= 0xFF)
                return static_cast<int>(c);
            for (int i = 0; i < 32; ++i) {
                if (k1252High[i] == c)
                    return 0x80 + i;
            }
            return -1;
        case Charset::kLatin1:
            return c <= 0xFF ? static_cast<int>(c) : -1;
        default:
            return -1;
    }
}

bool IsSurrogate(char32_t c) {
    return c >= 0xD800 && c <= 0xDFFF;
}
bool IsHighSurrogate(char32_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}
bool IsLowSurrogate(char32_t c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}

// Decodes one UTF-8 sequence at s[i]; advances i over it (over the maximal
// invalid subpart when it is invalid, which then yields false).
bool DecodeUtf8(const unsigned char* s, std::size_t n, std::size_t& i, char32_t& out) {
    const unsigned char b0 = s[i];
    if (b0 < 0x80) {
        out = b0;
        ++i;
        return true;
    }
    int length = 0;
    char32_t c = 0;
    unsigned char lo = 0x80, hi = 0xBF;  // range of the second byte
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        length = 2;
        c = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        length = 3;
        c = b0 & 0x0F;
        if (b0 == 0xE0)
            lo = 0xA0;  // no overlong forms
        if (b0 == 0xED)
            hi = 0x9F;  // no surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        length = 4;
        c = b0 & 0x07;
        if (b0 == 0xF0)
            lo = 0x90;
        if (b0 == 0xF4)
            hi = 0x8F;  // nothing above U+10FFFF
    } else {
        ++i;
        out = kReplacement;
        return false;
    }
    std::size_t j = i + 1;
    for (int k = 1; k < length; ++k, ++j) {
        const unsigned char lower = k == 1 ? lo : 0x80, upper = k == 1 ? hi : 0xBF;
        if (j >= n || s[j] < lower || s[j] > upper) {
            i = j;
            out = kReplacement;
            return false;
        }
        c = (c << 6) | (s[j] & 0x3F);
    }
    i = j;
    out = c;
    return true;
}

void AppendUtf8(char32_t c, std::string& out) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// The next character of wide text at w[i]. A high surrogate followed by a
// low one (UTF-16 held in wchar_t) joins into one character. Returns false
// for an unpaired surrogate or a value beyond U+10FFFF.
bool NextWide(const wchar_t* w, std::size_t n, std::size_t& i, char32_t& out) {
    const char32_t c = static_cast<char32_t>(w[i++]);
    if (IsHighSurrogate(c) && i < n && IsLowSurrogate(static_cast<char32_t>(w[i]))) {
        out = 0x10000 + ((c - 0xD800) << 10) + (static_cast<char32_t>(w[i++]) - 0xDC00);
        return true;
    }
    out = c;
    return !IsSurrogate(c) && c <= 0x10FFFF;
}

// Multi-byte -> wide. Returns false on an invalid sequence when strict.
bool DecodeToWide(Charset cs, const char* src, std::size_t n, bool strict, std::wstring& out) {
    const auto* s = reinterpret_cast<const unsigned char*>(src);
    out.clear();
    out.reserve(n);
    if (cs != Charset::kUtf8) {
        for (std::size_t i = 0; i < n; ++i) {
            char32_t c = DecodeSingleByte(cs, s[i]);
            if (strict && c == kReplacement)
                return false;
            out += static_cast<wchar_t>(c);
        }
        return true;
    }
    for (std::size_t i = 0; i < n;) {
        char32_t c = 0;
        if (!DecodeUtf8(s, n, i, c) && strict)
            return false;
        out += static_cast<wchar_t>(c);
    }
    return true;
}

// Wide -> multi-byte. Returns false on an invalid character when strict
// (UTF-8 only); *usedDefault tells whether a single-byte default was used.
bool EncodeFromWide(Charset cs, const wchar_t* src, std::size_t n, bool strict, char defaultChar,
                    bool* usedDefault, std::string& out) {
    out.clear();
    out.reserve(n);
    *usedDefault = false;
    for (std::size_t i = 0; i < n;) {
        char32_t c = 0;
        const bool valid = NextWide(src, n, i, c);
        if (cs == Charset::kUtf8) {
            if (!valid && strict)
                return false;
            AppendUtf8(valid ? c : kReplacement, out);
            continue;
        }
        const int b = valid ? EncodeSingleByte(cs, c) : -1;
        if (b < 0) {
            out += defaultChar;
            *usedDefault = true;
        } else {
            out += static_cast<char>(b);
        }
    }
    return true;
}

// Copies a converted result by the Win32 output-size rules.
template <class Char>
int CopyOut(const std::basic_string<Char>& result, Char* dst, int dstLen) {
    const int needed = static_cast<int>(result.size());
    if (dstLen == 0)
        return needed;
    if (needed > dstLen) {
        std::copy_n(result.begin(), dstLen, dst);
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::copy(result.begin(), result.end(), dst);
    return needed;
}

template <class Char>
bool SourceLength(const Char* src, int srcLen, std::size_t& n) {
    if (!src || srcLen == 0 || srcLen < -1)
        return false;
    if (srcLen == -1) {
        n = std::char_traits<Char>::length(src) + 1;  // the NUL is converted too
    } else {
        n = static_cast<std::size_t>(srcLen);
    }
    return true;
}

char32_t MapCase(const win::detail::CasePair* begin, const win::detail::CasePair* end, char32_t c) {
    const auto* it = std::lower_bound(
        begin, end, c, [](const win::detail::CasePair& p, char32_t v) { return p.from < v; });
    return it != end && it->from == c ? it->to : c;
}

char32_t UpperOf(char32_t c) {
    using namespace win::detail;
    return MapCase(std::begin(kUpperPairs), std::end(kUpperPairs), c);
}

char32_t LowerOf(char32_t c) {
    using namespace win::detail;
    return MapCase(std::begin(kLowerPairs), std::end(kLowerPairs), c);
}

// The ordering shared by VarBstrCmp and CompareStringW: <0, 0, >0.
int CompareTexts(std::wstring_view a, std::wstring_view b, ULONG flags) {
    const std::size_t common = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < common; ++i) {
        const char32_t x = UpperOf(static_cast<char32_t>(a[i]));
        const char32_t y = UpperOf(static_cast<char32_t>(b[i]));
        if (x != y)
            return x < y ? -1 : 1;
    }
    if (a.size() != b.size())
        return a.size() < b.size() ? -1 : 1;
    if (flags & NORM_IGNORECASE)
        return 0;
    // Equal but for case: the first difference decides, lower case first.
    for (std::size_t i = 0; i < common; ++i) {
        if (a[i] == b[i])
            continue;
        const bool aIsLower = UpperOf(static_cast<char32_t>(a[i])) != static_cast<char32_t>(a[i]);
        return aIsLower ? -1 : 1;
    }
    return 0;
}

}  // namespace

UINT GetACP() {
    return kCodePage1252;
}

UINT GetOEMCP() {
    return 437;
}

int MultiByteToWideChar(UINT codePage, DWORD flags, const char* src, int srcLen, wchar_t* dst,
                        int dstLen) {
    const Charset cs = CharsetOf(codePage);
    std::size_t n = 0;
    if (cs == Charset::kUnknown || !SourceLength(src, srcLen, n) || dstLen < 0 ||
        (dstLen > 0 && !dst)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const DWORD allowed = cs == Charset::kUtf8
                              ? MB_ERR_INVALID_CHARS
                              : (MB_PRECOMPOSED | 0x02 | 0x04 | MB_ERR_INVALID_CHARS);
    if (flags & ~allowed) {
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    std::wstring result;
    if (!DecodeToWide(cs, src, n, (flags & MB_ERR_INVALID_CHARS) != 0, result)) {
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return 0;
    }
    return CopyOut(result, dst, dstLen);
}

int WideCharToMultiByte(UINT codePage, DWORD flags, const wchar_t* src, int srcLen, char* dst,
                        int dstLen, const char* defaultChar, BOOL* usedDefaultChar) {
    const Charset cs = CharsetOf(codePage);
    std::size_t n = 0;
    if (cs == Charset::kUnknown || !SourceLength(src, srcLen, n) || dstLen < 0 ||
        (dstLen > 0 && !dst) || (cs == Charset::kUtf8 && (defaultChar || usedDefaultChar))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    // WC_COMPOSITECHECK, WC_DISCARDNS, WC_SEPCHARS, WC_DEFAULTCHAR and
    // WC_NO_BEST_FIT_CHARS are accepted; there is no best-fit mapping here,
    // every character without a byte becomes the default character.
    const DWORD allowed = cs == Charset::kUtf8
                              ? WC_ERR_INVALID_CHARS
                              : (0x200 | 0x10 | 0x20 | 0x40 | WC_NO_BEST_FIT_CHARS);
    if (flags & ~allowed) {
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    std::string result;
    bool usedDefault = false;
    if (!EncodeFromWide(cs, src, n, (flags & WC_ERR_INVALID_CHARS) != 0,
                        defaultChar ? defaultChar[0] : '?', &usedDefault, result)) {
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return 0;
    }
    if (usedDefaultChar)
        *usedDefaultChar = usedDefault ? TRUE : FALSE;
    return CopyOut(result, dst, dstLen);
}

DWORD CharUpperBuffW(wchar_t* text, DWORD len) {
    for (DWORD i = 0; text && i < len; ++i) {
        text[i] = static_cast<wchar_t>(UpperOf(static_cast<char32_t>(text[i])));
    }
    return len;
}

DWORD CharLowerBuffW(wchar_t* text, DWORD len) {
    for (DWORD i = 0; text && i < len; ++i) {
        text[i] = static_cast<wchar_t>(LowerOf(static_cast<char32_t>(text[i])));
    }
    return len;
}

HRESULT VarBstrCmp(const wchar_t* left, const wchar_t* right, LCID, ULONG flags) {
    const int r = CompareTexts(left ? std::wstring_view(left) : std::wstring_view(),
                               right ? std::wstring_view(right) : std::wstring_view(), flags);
    return r < 0 ? VARCMP_LT : r > 0 ? VARCMP_GT : VARCMP_EQ;
}

int CompareStringW(LCID, DWORD flags, const wchar_t* a, int aLen, const wchar_t* b, int bLen) {
    if (!a || !b || aLen < -1 || bLen < -1) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const std::wstring_view x = aLen == -1 ? std::wstring_view(a) : std::wstring_view(a, aLen);
    const std::wstring_view y = bLen == -1 ? std::wstring_view(b) : std::wstring_view(b, bLen);
    const int r = CompareTexts(x, y, flags);
    return r < 0 ? CSTR_LESS_THAN : r > 0 ? CSTR_GREATER_THAN : CSTR_EQUAL;
}

namespace win {

std::string ToAnsi(std::wstring_view text) {
    std::string out;
    bool usedDefault = false;
    EncodeFromWide(Charset::k1252, text.data(), text.size(), false, '?', &usedDefault, out);
    return out;
}

std::wstring FromAnsi(std::string_view bytes) {
    std::wstring out;
    DecodeToWide(Charset::k1252, bytes.data(), bytes.size(), false, out);
    return out;
}

std::string ToUtf8(std::wstring_view text) {
    std::string out;
    bool usedDefault = false;
    EncodeFromWide(Charset::kUtf8, text.data(), text.size(), false, '?', &usedDefault, out);
    return out;
}

std::wstring FromUtf8(std::string_view bytes) {
    std::wstring out;
    DecodeToWide(Charset::kUtf8, bytes.data(), bytes.size(), false, out);
    return out;
}

std::u16string ToUtf16(std::wstring_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (wchar_t w : text) {
        char32_t c = static_cast<char32_t>(w);
        if (c > 0x10FFFF)
            c = kReplacement;
        if (c >= 0x10000) {
            out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
    }
    return out;
}

std::wstring FromUtf16(std::u16string_view units) {
    std::wstring out;
    out.reserve(units.size());
    for (std::size_t i = 0; i < units.size(); ++i) {
        const char32_t c = units[i];
        if (IsHighSurrogate(c) && i + 1 < units.size() && IsLowSurrogate(units[i + 1])) {
            out += static_cast<wchar_t>(0x10000 + ((c - 0xD800) << 10) + (units[i + 1] - 0xDC00));
            ++i;
        } else {
            out += static_cast<wchar_t>(IsSurrogate(c) ? kReplacement : c);
        }
    }
    return out;
}

std::vector<std::uint8_t> ToUtf16Le(std::wstring_view text) {
    const std::u16string units = ToUtf16(text);
    std::vector<std::uint8_t> out;
    out.reserve(units.size() * 2);
    for (char16_t u : units) {
        out.push_back(static_cast<std::uint8_t>(u & 0xFF));
        out.push_back(static_cast<std::uint8_t>(u >> 8));
    }
    return out;
}

std::wstring FromUtf16Le(const std::uint8_t* data, std::size_t size) {
    std::u16string units;
    units.reserve(size / 2);
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        units += static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    }
    return FromUtf16(units);
}

std::wstring ToUpper(std::wstring_view text) {
    std::wstring out(text);
    CharUpperBuffW(out.data(), static_cast<DWORD>(out.size()));
    return out;
}

std::wstring ToLower(std::wstring_view text) {
    std::wstring out(text);
    CharLowerBuffW(out.data(), static_cast<DWORD>(out.size()));
    return out;
}

}  // namespace win
