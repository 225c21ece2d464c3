#include "platform/win/rc/RcCompiler.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <sstream>

#include "platform/win/rc/ResourceFormat.h"

namespace win::rc {

bool operator<(const ResourceId& a, const ResourceId& b) {
    // Ordinals sort before names, as in the platform's resource directories.
    if (a.isString != b.isString)
        return !a.isString;
    if (a.isString)
        return a.name < b.name;
    return a.ordinal < b.ordinal;
}

bool Utf8ToUtf16(std::string_view in, std::u16string& out) {
    out.clear();
    for (std::size_t i = 0; i < in.size();) {
        auto b = static_cast<unsigned char>(in[i]);
        std::uint32_t cp = 0;
        std::size_t n = 0;
        if (b < 0x80) {
            cp = b;
            n = 1;
        } else if ((b & 0xE0) == 0xC0) {
            cp = b & 0x1F;
            n = 2;
        } else if ((b & 0xF0) == 0xE0) {
            cp = b & 0x0F;
            n = 3;
        } else if ((b & 0xF8) == 0xF0) {
            cp = b & 0x07;
            n = 4;
        } else {
            return false;
        }
        if (i + n > in.size())
            return false;
        for (std::size_t k = 1; k < n; ++k) {
            auto c = static_cast<unsigned char>(in[i + k]);
            if ((c & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (c & 0x3F);
        }
        static constexpr std::uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
        i += n;
    }
    return true;
}

namespace {

using rsrc::AppendU16;
using rsrc::AppendU32;

bool IEquals(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::toupper(static_cast<unsigned char>(x)) ==
                      std::toupper(static_cast<unsigned char>(y));
           });
}

std::u16string Upper(std::u16string s) {
    for (auto& c : s) {
        if (c >= u'a' && c <= u'z')
            c = static_cast<char16_t>(c - u'a' + u'A');
    }
    return s;
}

// The platform headers' constants that resource scripts use by name.
const std::map<std::string, std::string>& BuiltinDefines() {
    static const std::map<std::string, std::string> kDefines = {
        {"VS_VERSION_INFO", "1"},
        {"VS_FFI_FILEFLAGSMASK", "0x3FL"},
        {"VS_FF_DEBUG", "0x1L"},
        {"VS_FF_PRERELEASE", "0x2L"},
        {"VS_FF_PATCHED", "0x4L"},
        {"VS_FF_PRIVATEBUILD", "0x8L"},
        {"VS_FF_INFOINFERRED", "0x10L"},
        {"VS_FF_SPECIALBUILD", "0x20L"},
        {"VOS_UNKNOWN", "0x0L"},
        {"VOS__WINDOWS32", "0x4L"},
        {"VOS_NT", "0x40000L"},
        {"VOS_NT_WINDOWS32", "0x40004L"},
        {"VFT_UNKNOWN", "0x0L"},
        {"VFT_APP", "0x1L"},
        {"VFT_DLL", "0x2L"},
        {"VFT_DRV", "0x3L"},
        {"VFT_FONT", "0x4L"},
        {"VFT_STATIC_LIB", "0x7L"},
        {"VFT2_UNKNOWN", "0x0L"},
        {"LANG_NEUTRAL", "0x00"},
        {"LANG_ENGLISH", "0x09"},
        {"LANG_GERMAN", "0x07"},
        {"LANG_FRENCH", "0x0c"},
        {"LANG_SPANISH", "0x0a"},
        {"SUBLANG_NEUTRAL", "0x00"},
        {"SUBLANG_DEFAULT", "0x01"},
        {"SUBLANG_SYS_DEFAULT", "0x02"},
        {"SUBLANG_ENGLISH_US", "0x01"},
        {"SUBLANG_GERMAN", "0x01"},
        {"SUBLANG_FRENCH", "0x01"},
        {"SUBLANG_SPANISH", "0x01"},
        {"SUBLANG_SPANISH_MODERN", "0x03"},
        // Window, dialog and control styles.
        {"WS_OVERLAPPED", "0x00000000L"},
        {"WS_POPUP", "0x80000000L"},
        {"WS_CHILD", "0x40000000L"},
        {"WS_MINIMIZE", "0x20000000L"},
        {"WS_VISIBLE", "0x10000000L"},
        {"WS_DISABLED", "0x08000000L"},
        {"WS_CLIPSIBLINGS", "0x04000000L"},
        {"WS_CLIPCHILDREN", "0x02000000L"},
        {"WS_MAXIMIZE", "0x01000000L"},
        {"WS_CAPTION", "0x00C00000L"},
        {"WS_BORDER", "0x00800000L"},
        {"WS_DLGFRAME", "0x00400000L"},
        {"WS_VSCROLL", "0x00200000L"},
        {"WS_HSCROLL", "0x00100000L"},
        {"WS_SYSMENU", "0x00080000L"},
        {"WS_THICKFRAME", "0x00040000L"},
        {"WS_GROUP", "0x00020000L"},
        {"WS_TABSTOP", "0x00010000L"},
        {"WS_MINIMIZEBOX", "0x00020000L"},
        {"WS_MAXIMIZEBOX", "0x00010000L"},
        {"WS_EX_DLGMODALFRAME", "0x00000001L"},
        {"WS_EX_NOPARENTNOTIFY", "0x00000004L"},
        {"WS_EX_TOPMOST", "0x00000008L"},
        {"WS_EX_ACCEPTFILES", "0x00000010L"},
        {"WS_EX_TRANSPARENT", "0x00000020L"},
        {"WS_EX_TOOLWINDOW", "0x00000080L"},
        {"WS_EX_WINDOWEDGE", "0x00000100L"},
        {"WS_EX_CLIENTEDGE", "0x00000200L"},
        {"WS_EX_CONTEXTHELP", "0x00000400L"},
        {"WS_EX_RIGHT", "0x00001000L"},
        {"WS_EX_CONTROLPARENT", "0x00010000L"},
        {"WS_EX_STATICEDGE", "0x00020000L"},
        {"WS_EX_APPWINDOW", "0x00040000L"},
        {"DS_ABSALIGN", "0x01L"},
        {"DS_SYSMODAL", "0x02L"},
        {"DS_3DLOOK", "0x04L"},
        {"DS_FIXEDSYS", "0x08L"},
        {"DS_NOFAILCREATE", "0x10L"},
        {"DS_LOCALEDIT", "0x20L"},
        {"DS_SETFONT", "0x40L"},
        {"DS_MODALFRAME", "0x80L"},
        {"DS_NOIDLEMSG", "0x100L"},
        {"DS_SETFOREGROUND", "0x200L"},
        {"DS_CONTROL", "0x0400L"},
        {"DS_CENTER", "0x0800L"},
        {"DS_CENTERMOUSE", "0x1000L"},
        {"DS_CONTEXTHELP", "0x2000L"},
        {"DS_SHELLFONT", "0x48L"},
        {"ES_LEFT", "0x0000L"},
        {"ES_CENTER", "0x0001L"},
        {"ES_RIGHT", "0x0002L"},
        {"ES_MULTILINE", "0x0004L"},
        {"ES_UPPERCASE", "0x0008L"},
        {"ES_LOWERCASE", "0x0010L"},
        {"ES_PASSWORD", "0x0020L"},
        {"ES_AUTOVSCROLL", "0x0040L"},
        {"ES_AUTOHSCROLL", "0x0080L"},
        {"ES_NOHIDESEL", "0x0100L"},
        {"ES_OEMCONVERT", "0x0400L"},
        {"ES_READONLY", "0x0800L"},
        {"ES_WANTRETURN", "0x1000L"},
        {"ES_NUMBER", "0x2000L"},
        {"BS_PUSHBUTTON", "0x00000000L"},
        {"BS_DEFPUSHBUTTON", "0x00000001L"},
        {"BS_CHECKBOX", "0x00000002L"},
        {"BS_AUTOCHECKBOX", "0x00000003L"},
        {"BS_RADIOBUTTON", "0x00000004L"},
        {"BS_3STATE", "0x00000005L"},
        {"BS_AUTO3STATE", "0x00000006L"},
        {"BS_GROUPBOX", "0x00000007L"},
        {"BS_USERBUTTON", "0x00000008L"},
        {"BS_AUTORADIOBUTTON", "0x00000009L"},
        {"BS_OWNERDRAW", "0x0000000BL"},
        {"BS_LEFTTEXT", "0x00000020L"},
        {"BS_TEXT", "0x00000000L"},
        {"BS_ICON", "0x00000040L"},
        {"BS_BITMAP", "0x00000080L"},
        {"BS_LEFT", "0x00000100L"},
        {"BS_RIGHT", "0x00000200L"},
        {"BS_CENTER", "0x00000300L"},
        {"BS_TOP", "0x00000400L"},
        {"BS_BOTTOM", "0x00000800L"},
        {"BS_VCENTER", "0x00000C00L"},
        {"BS_PUSHLIKE", "0x00001000L"},
        {"BS_MULTILINE", "0x00002000L"},
        {"BS_NOTIFY", "0x00004000L"},
        {"BS_FLAT", "0x00008000L"},
        {"SS_LEFT", "0x00000000L"},
        {"SS_CENTER", "0x00000001L"},
        {"SS_RIGHT", "0x00000002L"},
        {"SS_ICON", "0x00000003L"},
        {"SS_BLACKRECT", "0x00000004L"},
        {"SS_GRAYRECT", "0x00000005L"},
        {"SS_WHITERECT", "0x00000006L"},
        {"SS_BLACKFRAME", "0x00000007L"},
        {"SS_GRAYFRAME", "0x00000008L"},
        {"SS_WHITEFRAME", "0x00000009L"},
        {"SS_SIMPLE", "0x0000000BL"},
        {"SS_LEFTNOWORDWRAP", "0x0000000CL"},
        {"SS_OWNERDRAW", "0x0000000DL"},
        {"SS_BITMAP", "0x0000000EL"},
        {"SS_ETCHEDHORZ", "0x00000010L"},
        {"SS_ETCHEDVERT", "0x00000011L"},
        {"SS_ETCHEDFRAME", "0x00000012L"},
        {"SS_REALSIZECONTROL", "0x00000040L"},
        {"SS_NOPREFIX", "0x00000080L"},
        {"SS_NOTIFY", "0x00000100L"},
        {"SS_CENTERIMAGE", "0x00000200L"},
        {"SS_RIGHTJUST", "0x00000400L"},
        {"SS_REALSIZEIMAGE", "0x00000800L"},
        {"SS_SUNKEN", "0x00001000L"},
        {"SS_ENDELLIPSIS", "0x00004000L"},
        {"SS_PATHELLIPSIS", "0x00008000L"},
        {"SS_WORDELLIPSIS", "0x0000C000L"},
        {"CBS_SIMPLE", "0x0001L"},
        {"CBS_DROPDOWN", "0x0002L"},
        {"CBS_DROPDOWNLIST", "0x0003L"},
        {"CBS_OWNERDRAWFIXED", "0x0010L"},
        {"CBS_OWNERDRAWVARIABLE", "0x0020L"},
        {"CBS_AUTOHSCROLL", "0x0040L"},
        {"CBS_OEMCONVERT", "0x0080L"},
        {"CBS_SORT", "0x0100L"},
        {"CBS_HASSTRINGS", "0x0200L"},
        {"CBS_NOINTEGRALHEIGHT", "0x0400L"},
        {"CBS_DISABLENOSCROLL", "0x0800L"},
        {"CBS_UPPERCASE", "0x2000L"},
        {"CBS_LOWERCASE", "0x4000L"},
        {"LBS_NOTIFY", "0x0001L"},
        {"LBS_SORT", "0x0002L"},
        {"LBS_NOREDRAW", "0x0004L"},
        {"LBS_MULTIPLESEL", "0x0008L"},
        {"LBS_OWNERDRAWFIXED", "0x0010L"},
        {"LBS_OWNERDRAWVARIABLE", "0x0020L"},
        {"LBS_HASSTRINGS", "0x0040L"},
        {"LBS_USETABSTOPS", "0x0080L"},
        {"LBS_NOINTEGRALHEIGHT", "0x0100L"},
        {"LBS_MULTICOLUMN", "0x0200L"},
        {"LBS_WANTKEYBOARDINPUT", "0x0400L"},
        {"LBS_EXTENDEDSEL", "0x0800L"},
        {"LBS_DISABLENOSCROLL", "0x1000L"},
        {"LBS_NODATA", "0x2000L"},
        {"LBS_NOSEL", "0x4000L"},
        {"LBS_STANDARD", "0x00A00003L"},
        {"SBS_HORZ", "0x0000L"},
        {"SBS_VERT", "0x0001L"},
        {"PBS_SMOOTH", "0x01"},
        {"PBS_VERTICAL", "0x04"},
        {"IDOK", "1"},
        {"IDCANCEL", "2"},
        {"IDABORT", "3"},
        {"IDRETRY", "4"},
        {"IDIGNORE", "5"},
        {"IDYES", "6"},
        {"IDNO", "7"},
        {"IDC_STATIC", "(-1)"},
    };
    return kDefines;
}

enum class Tok { Number, String, Ident, Punct, End };

struct Token {
    Tok kind = Tok::End;
    std::string text;    // identifier or punctuation
    std::u16string str;  // decoded string literal
    bool wide = false;   // L"..." literal
    std::uint32_t value = 0;
    bool isLong = false;  // number with an L suffix
    int line = 0;
};

struct CompileError {
    int line;
    std::string message;
};

// Splits a script (after directive handling) into tokens.
class Lexer {
public:
    Lexer(std::string_view text, int firstLine) : m_text(text), m_line(firstLine) {}

    std::vector<Token> Run() {
        std::vector<Token> out;
        for (;;) {
            SkipSpaceAndComments();
            if (m_pos >= m_text.size())
                break;
            out.push_back(Next());
        }
        return out;
    }

private:
    char Peek(std::size_t ahead = 0) const {
        return m_pos + ahead < m_text.size() ? m_text[m_pos + ahead] : '\0';
    }

    void SkipSpaceAndComments() {
        while (m_pos < m_text.size()) {
            char c = m_text[m_pos];
            if (c == '\n') {
                ++m_line;
                ++m_pos;
            } else if (std::isspace(static_cast<unsigned char>(c))) {
                ++m_pos;
            } else if (c == '/' && Peek(1) == '/') {
                while (m_pos < m_text.size() && m_text[m_pos] != '\n')
                    ++m_pos;
            } else if (c == '/' && Peek(1) == '*') {
                m_pos += 2;
                while (m_pos < m_text.size() && !(m_text[m_pos] == '*' && Peek(1) == '/')) {
                    if (m_text[m_pos] == '\n')
                        ++m_line;
                    ++m_pos;
                }
                if (m_pos >= m_text.size())
                    throw CompileError{m_line, "unterminated comment"};
                m_pos += 2;
            } else {
                break;
            }
        }
    }

    Token Next() {
        Token t;
        t.line = m_line;
        char c = m_text[m_pos];
        if ((c == 'L' || c == 'l') && Peek(1) == '"') {
            ++m_pos;
            t.kind = Tok::String;
            t.wide = true;
            t.str = StringLiteral(true);
        } else if (c == '"') {
            t.kind = Tok::String;
            t.str = StringLiteral(false);
        } else if (std::isdigit(static_cast<unsigned char>(c))) {
            t.kind = Tok::Number;
            NumberLiteral(t);
        } else if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') {
            t.kind = Tok::Ident;
            while (m_pos < m_text.size() &&
                   (std::isalnum(static_cast<unsigned char>(Peek())) || Peek() == '_')) {
                t.text.push_back(m_text[m_pos++]);
            }
        } else if (std::string_view(",|+-~(){}").find(c) != std::string_view::npos) {
            t.kind = Tok::Punct;
            t.text = std::string(1, c);
            ++m_pos;
        } else {
            throw CompileError{m_line, std::string("unexpected character '") + c + "'"};
        }
        return t;
    }

    void NumberLiteral(Token& t) {
        std::uint64_t v = 0;
        int base = 10;
        if (Peek() == '0' && (Peek(1) == 'x' || Peek(1) == 'X')) {
            base = 16;
            m_pos += 2;
            if (!std::isxdigit(static_cast<unsigned char>(Peek())))
                throw CompileError{m_line, "malformed hexadecimal number"};
        }
        while (m_pos < m_text.size()) {
            char c = Peek();
            int d;
            if (c >= '0' && c <= '9') {
                d = c - '0';
            } else if (base == 16 && std::isxdigit(static_cast<unsigned char>(c))) {
                d = std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
            } else {
                break;
            }
            v = v * static_cast<unsigned>(base) + static_cast<unsigned>(d);
            if (v > 0xFFFFFFFFu)
                throw CompileError{m_line, "number out of range"};
            ++m_pos;
        }
        while (Peek() == 'L' || Peek() == 'l' || Peek() == 'U' || Peek() == 'u') {
            if (Peek() == 'L' || Peek() == 'l')
                t.isLong = true;
            ++m_pos;
        }
        if (std::isalnum(static_cast<unsigned char>(Peek())) || Peek() == '_')
            throw CompileError{m_line, "malformed number"};
        t.value = static_cast<std::uint32_t>(v);
    }

    // Reads a quoted literal starting at the opening quote.
    // \x takes up to 2 hex digits in narrow and up to 4 in wide (L"") literals,
    // as the platform's compiler reads them; the value is the character code.
    std::u16string StringLiteral(bool wide) {
        ++m_pos;          // opening quote
        std::string raw;  // UTF-8, with escapes already replaced
        std::u16string out;
        auto flushRaw = [&] {
            std::u16string part;
            if (!Utf8ToUtf16(raw, part))
                throw CompileError{m_line, "string is not valid UTF-8"};
            out += part;
            raw.clear();
        };
        for (;;) {
            if (m_pos >= m_text.size() || Peek() == '\n')
                throw CompileError{m_line, "unterminated string"};
            char c = m_text[m_pos++];
            if (c == '"') {
                if (Peek() == '"') {  // "" stands for one quote
                    raw.push_back('"');
                    ++m_pos;
                    continue;
                }
                break;
            }
            if (c != '\\') {
                raw.push_back(c);
                continue;
            }
            char e = m_text[m_pos < m_text.size() ? m_pos : m_text.size() - 1];
            if (m_pos >= m_text.size())
                throw CompileError{m_line, "unterminated string"};
            ++m_pos;
            switch (e) {
                case 'n':
                    raw.push_back('\n');
                    break;
                case 'r':
                    raw.push_back('\r');
                    break;
                case 't':
                    raw.push_back('\t');
                    break;
                case 'a':
                    raw.push_back('\a');
                    break;
                case '\\':
                    raw.push_back('\\');
                    break;
                case '"':
                    raw.push_back('"');
                    break;
                case 'x':
                case 'X': {
                    std::uint32_t v = 0;
                    int digits = 0;
                    while (digits < (wide ? 4 : 2) &&
                           std::isxdigit(static_cast<unsigned char>(Peek()))) {
                        char h =
                            static_cast<char>(std::tolower(static_cast<unsigned char>(Peek())));
                        v = v * 16 + static_cast<std::uint32_t>(h <= '9' ? h - '0' : h - 'a' + 10);
                        ++m_pos;
                        ++digits;
                    }
                    if (digits == 0)
                        throw CompileError{m_line, "\\x without hexadecimal digits"};
                    flushRaw();
                    out.push_back(static_cast<char16_t>(v));
                    break;
                }
                default:
                    if (e >= '0' && e <= '7') {
                        std::uint32_t v = static_cast<std::uint32_t>(e - '0');
                        for (int k = 0; k < 2 && Peek() >= '0' && Peek() <= '7'; ++k)
                            v = v * 8 + static_cast<std::uint32_t>(m_text[m_pos++] - '0');
                        flushRaw();
                        out.push_back(static_cast<char16_t>(v));
                    } else {
                        // Unknown escapes stay as written, as the platform's compiler keeps them.
                        raw.push_back('\\');
                        raw.push_back(e);
                    }
            }
        }
        flushRaw();
        return out;
    }

    std::string_view m_text;
    std::size_t m_pos = 0;
    int m_line;
};

}  // namespace

// Turns the token stream of one script into resources.
class RcParser {
public:
    RcParser(RcCompiler& owner, std::vector<Token> tokens, std::string_view fileName)
        : m_owner(owner), m_tokens(std::move(tokens)), m_fileName(fileName) {}

    void Run(std::map<std::uint16_t, std::map<std::uint16_t, std::u16string>>& strings,
             std::vector<CompiledResource>& other, std::uint32_t& nextIconId) {
        m_strings = &strings;
        m_other = &other;
        m_nextIconId = &nextIconId;
        while (!AtEnd())
            Statement();
    }

private:
    bool AtEnd() const { return m_pos >= m_tokens.size(); }
    const Token& Cur() const {
        static const Token kEnd;
        return AtEnd() ? kEnd : m_tokens[m_pos];
    }
    int Line() const {
        if (!AtEnd())
            return Cur().line;
        return m_tokens.empty() ? 1 : m_tokens.back().line;
    }
    [[noreturn]] void Fail(const std::string& message) const {
        throw CompileError{Line(), message};
    }

    bool IsKeyword(std::string_view kw) const {
        return Cur().kind == Tok::Ident && IEquals(Cur().text, kw);
    }
    bool IsPunct(char p) const { return Cur().kind == Tok::Punct && Cur().text[0] == p; }
    bool IsBegin() const { return IsKeyword("BEGIN") || IsPunct('{'); }
    bool IsEnd() const { return IsKeyword("END") || IsPunct('}'); }
    void ExpectBegin() {
        if (!IsBegin())
            Fail("BEGIN expected");
        ++m_pos;
    }
    void ExpectComma() {
        if (!IsPunct(','))
            Fail("',' expected");
        ++m_pos;
    }
    void SkipComma() {
        if (IsPunct(','))
            ++m_pos;
    }
    bool StartsNumber() const {
        return Cur().kind == Tok::Number || IsPunct('(') || IsPunct('-') || IsPunct('~') ||
               IsKeyword("NOT");
    }

    // expr := unary { ('|' | '+' | '-') unary }
    std::uint32_t Expr(bool* isLong = nullptr) {
        bool anyLong = false;
        std::uint32_t v = Unary(anyLong);
        while (IsPunct('|') || IsPunct('+') || (IsPunct('-'))) {
            char op = Cur().text[0];
            ++m_pos;
            std::uint32_t r = Unary(anyLong);
            v = op == '|' ? (v | r) : op == '+' ? v + r : v - r;
        }
        if (isLong)
            *isLong = anyLong;
        return v;
    }
    std::uint32_t Unary(bool& anyLong) {
        if (IsPunct('~') || IsKeyword("NOT")) {
            ++m_pos;
            return ~Unary(anyLong);
        }
        if (IsPunct('-')) {
            ++m_pos;
            return 0u - Unary(anyLong);
        }
        if (IsPunct('(')) {
            ++m_pos;
            bool inner = false;
            std::uint32_t v = Expr(&inner);
            anyLong = anyLong || inner;
            if (!IsPunct(')'))
                Fail("')' expected");
            ++m_pos;
            return v;
        }
        if (Cur().kind != Tok::Number) {
            if (Cur().kind == Tok::Ident)
                Fail("undefined name '" + Cur().text + "'");
            Fail("number expected");
        }
        anyLong = anyLong || Cur().isLong;
        return m_tokens[m_pos++].value;
    }
    std::uint16_t Word(const char* what) {
        std::uint32_t v = Expr();
        if (v > 0xFFFF)
            Fail(std::string(what) + " out of range");
        return static_cast<std::uint16_t>(v);
    }
    std::u16string StringLiterals() {
        if (Cur().kind != Tok::String)
            Fail("string expected");
        std::u16string s;
        while (Cur().kind == Tok::String)
            s += m_tokens[m_pos++].str;
        return s;
    }

    void Statement() {
        if (IsKeyword("LANGUAGE")) {
            ++m_pos;
            m_language = Language();
        } else if (IsKeyword("STRINGTABLE")) {
            ++m_pos;
            StringTable();
        } else {
            NamedResource();
        }
    }

    std::uint16_t Language() {
        std::uint16_t primary = Word("language");
        ExpectComma();
        std::uint16_t sub = Word("sublanguage");
        if (primary > 0x3FF || sub > 0x3F)
            Fail("language out of range");
        return static_cast<std::uint16_t>((sub << 10) | primary);
    }

    // Options between a statement's keyword and its BEGIN.
    void Options(std::uint16_t& language) {
        static constexpr std::string_view kMemoryFlags[] = {"DISCARDABLE", "MOVEABLE", "FIXED",
                                                            "PURE",        "IMPURE",   "PRELOAD",
                                                            "LOADONCALL",  "SHARED",   "NONSHARED"};
        for (;;) {
            if (IsKeyword("LANGUAGE")) {
                ++m_pos;
                language = Language();
            } else if (IsKeyword("CHARACTERISTICS") || IsKeyword("VERSION")) {
                ++m_pos;
                Expr();
            } else if (Cur().kind == Tok::Ident &&
                       std::any_of(std::begin(kMemoryFlags), std::end(kMemoryFlags),
                                   [&](std::string_view f) { return IEquals(Cur().text, f); })) {
                ++m_pos;
            } else {
                return;
            }
        }
    }

    void StringTable() {
        std::uint16_t language = m_language;
        Options(language);
        ExpectBegin();
        auto& table = (*m_strings)[language];
        while (!IsEnd()) {
            if (AtEnd())
                Fail("END expected");
            int line = Line();
            std::uint16_t id = Word("string id");
            SkipComma();
            std::u16string text = StringLiterals();
            if (!table.emplace(id, std::move(text)).second)
                throw CompileError{line, "string id " + std::to_string(id) + " defined twice"};
        }
        ++m_pos;
    }

    ResourceId NameOrType(const char* what) {
        if (Cur().kind == Tok::String)
            return ResourceId{true, 0, Upper(StringLiterals())};
        if (Cur().kind == Tok::Ident) {
            std::u16string n;
            for (char c : Cur().text)
                n.push_back(static_cast<char16_t>(c));
            ++m_pos;
            return ResourceId{true, 0, Upper(n)};
        }
        std::uint32_t v = Expr();
        if (v == 0 || v > 0xFFFF)
            Fail(std::string(what) + " out of range");
        return ResourceId::Ordinal(static_cast<std::uint16_t>(v));
    }

    void NamedResource() {
        ResourceId name = NameOrType("resource name");
        if (AtEnd())
            Fail("resource type expected");
        if (IsKeyword("VERSIONINFO")) {
            ++m_pos;
            VersionInfo(name);
            return;
        }
        if (IsKeyword("DIALOG") || IsKeyword("DIALOGEX")) {
            const bool ex = IsKeyword("DIALOGEX");
            ++m_pos;
            Dialog(name, ex);
            return;
        }
        if (IsKeyword("ICON") || IsKeyword("BITMAP")) {
            const bool icon = IsKeyword("ICON");
            ++m_pos;
            std::uint16_t language = m_language;
            Options(language);
            if (Cur().kind != Tok::String)
                Fail("file name expected");
            std::vector<std::uint8_t> file;
            ReadDataFile(file);
            if (icon) {
                IconGroup(name, language, file);
            } else {
                Bitmap(name, language, file);
            }
            return;
        }
        ResourceId type;
        if (IsKeyword("RCDATA")) {
            ++m_pos;
            type = ResourceId::Ordinal(rsrc::kTypeRcData);
        } else {
            type = NameOrType("resource type");
        }
        std::uint16_t language = m_language;
        Options(language);
        CompiledResource r{type, name, language, {}};
        if (IsBegin()) {
            ++m_pos;
            RawData(r.data);
        } else if (Cur().kind == Tok::String) {
            ReadDataFile(r.data);
        } else {
            Fail("file name or BEGIN expected");
        }
        m_other->push_back(std::move(r));
    }

    void RawData(std::vector<std::uint8_t>& out) {
        while (!IsEnd()) {
            if (AtEnd())
                Fail("END expected");
            if (Cur().kind == Tok::String) {
                const Token& t = m_tokens[m_pos++];
                for (char16_t c : t.str) {
                    if (t.wide) {
                        AppendU16(out, c);
                    } else {
                        if (c > 0xFF)
                            Fail("narrow string holds a character above U+00FF");
                        out.push_back(static_cast<std::uint8_t>(c));
                    }
                }
            } else {
                bool isLong = false;
                std::uint32_t v = Expr(&isLong);
                if (isLong) {
                    AppendU32(out, v);
                } else {
                    AppendU16(out, static_cast<std::uint16_t>(v));
                }
            }
            SkipComma();
        }
        ++m_pos;
    }

    void ReadDataFile(std::vector<std::uint8_t>& out) {
        std::string path;
        for (char16_t c : StringLiterals()) {
            if (c > 0x7F)
                Fail("file names must be ASCII");
            path.push_back(static_cast<char>(c));
        }
        std::replace(path.begin(), path.end(), '\\', '/');
        if (!path.empty() && path[0] != '/' && !m_owner.m_baseDir.empty())
            path = m_owner.m_baseDir + "/" + path;
        std::ifstream in(path, std::ios::binary);
        if (!in)
            Fail("cannot open '" + path + "'");
        out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    // ---- ICON / BITMAP ----

    // A .bmp file without its 14-byte BITMAPFILEHEADER ("BM", size, 2
    // reserved words, offset of the bits): the resource starts at the
    // BITMAPINFOHEADER.
    void Bitmap(const ResourceId& name, std::uint16_t language,
                const std::vector<std::uint8_t>& file) {
        constexpr std::size_t kFileHeaderSize = 14;
        if (file.size() < kFileHeaderSize + 4 || file[0] != 'B' || file[1] != 'M')
            Fail("not a bitmap file");
        m_other->push_back(CompiledResource{
            ResourceId::Ordinal(rsrc::kTypeBitmap), name, language,
            std::vector<std::uint8_t>(file.begin() + kFileHeaderSize, file.end())});
    }

    // A .ico file becomes one RT_ICON per image, numbered on from 1 across
    // the scripts of a blob, and an RT_GROUP_ICON directory under the name.
    // ICONDIR: u16 reserved 0, u16 type 1, u16 count; then 16-byte entries:
    // u8 width, height, colours, reserved, u16 planes, u16 bit count, u32
    // bytes, u32 file offset. The group's 14-byte entries end in the u16 id
    // of the image instead of the offset.
    void IconGroup(const ResourceId& name, std::uint16_t language,
                   const std::vector<std::uint8_t>& file) {
        constexpr std::size_t kDirSize = 6, kEntrySize = 16;
        if (file.size() < kDirSize || rsrc::ReadU16(&file[0]) != 0 || rsrc::ReadU16(&file[2]) != 1)
            Fail("not an icon file");
        const std::size_t count = rsrc::ReadU16(&file[4]);
        if (count == 0 || kDirSize + count * kEntrySize > file.size())
            Fail("malformed icon file");
        std::vector<std::uint8_t> group;
        AppendU16(group, 0);
        AppendU16(group, 1);
        AppendU16(group, static_cast<std::uint16_t>(count));
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint8_t* e = &file[kDirSize + i * kEntrySize];
            const std::uint64_t size = rsrc::ReadU32(e + 8);
            const std::uint64_t offset = rsrc::ReadU32(e + 12);
            if (offset > file.size() || size > file.size() - offset)
                Fail("malformed icon file");
            if (*m_nextIconId > 0xFFFF)
                Fail("too many icon images");
            const auto id = static_cast<std::uint16_t>((*m_nextIconId)++);
            std::vector<std::uint8_t> image(
                file.begin() + static_cast<std::ptrdiff_t>(offset),
                file.begin() + static_cast<std::ptrdiff_t>(offset + size));
            // Planes and bit count left 0 in the file come from the image's
            // BITMAPINFOHEADER (biPlanes at 12, biBitCount at 14).
            std::uint16_t planes = rsrc::ReadU16(e + 4), bits = rsrc::ReadU16(e + 6);
            if ((planes == 0 || bits == 0) && image.size() >= 16 &&
                rsrc::ReadU32(&image[0]) == 40) {
                planes = rsrc::ReadU16(&image[12]);
                bits = rsrc::ReadU16(&image[14]);
            }
            group.insert(group.end(), e, e + 4);
            AppendU16(group, planes);
            AppendU16(group, bits);
            AppendU32(group, static_cast<std::uint32_t>(size));
            AppendU16(group, id);
            m_other->push_back(CompiledResource{ResourceId::Ordinal(rsrc::kTypeIcon),
                                                ResourceId::Ordinal(id), language,
                                                std::move(image)});
        }
        m_other->push_back(
            CompiledResource{ResourceId::Ordinal(rsrc::kTypeGroupIcon), name, language, group});
    }

    // ---- DIALOG / DIALOGEX ----

    // A style expression: terms joined by '|', where "NOT term" clears bits
    // from the result instead of setting them (the base included).
    std::uint32_t StyleExpr(std::uint32_t base) {
        std::uint32_t set = base, clear = 0;
        for (;;) {
            bool negate = false;
            if (IsKeyword("NOT")) {
                ++m_pos;
                negate = true;
            }
            bool anyLong = false;
            std::uint32_t v = Unary(anyLong);
            while (IsPunct('+') || IsPunct('-')) {
                char op = Cur().text[0];
                ++m_pos;
                std::uint32_t r = Unary(anyLong);
                v = op == '+' ? v + r : v - r;
            }
            if (negate) {
                clear |= v;
                set &= ~v;
            } else {
                set |= v;
                clear &= ~v;
            }
            if (!IsPunct('|'))
                break;
            ++m_pos;
        }
        return set & ~clear;
    }

    // A name-or-ordinal field of a dialog template: 0xFFFF and the ordinal,
    // or the NUL-terminated UTF-16 text.
    static void AppendSzOrOrd(std::vector<std::uint8_t>& out, const ResourceId& id) {
        if (!id.isString) {
            AppendU16(out, 0xFFFF);
            AppendU16(out, id.ordinal);
            return;
        }
        for (char16_t c : id.name)
            AppendU16(out, c);
        AppendU16(out, 0);
    }
    static void AppendSz(std::vector<std::uint8_t>& out, const std::u16string& text) {
        for (char16_t c : text)
            AppendU16(out, c);
        AppendU16(out, 0);
    }

    struct DialogItem {
        std::uint32_t helpId = 0, exStyle = 0, style = 0;
        std::int16_t x = 0, y = 0, cx = 0, cy = 0;
        std::uint32_t id = 0;
        ResourceId windowClass;
        ResourceId text{true, 0, {}};  // an empty text name = no text
    };

    std::int16_t Coordinate() {
        const auto v = static_cast<std::int32_t>(Expr());
        if (v < -32768 || v > 32767)
            Fail("coordinate out of range");
        return static_cast<std::int16_t>(v);
    }

    // The keyword controls: their window class (a predefined class atom) and
    // the style bits they get besides WS_CHILD | WS_VISIBLE.
    struct ControlKind {
        std::string_view keyword;
        std::uint16_t classAtom;
        std::uint32_t style;
        bool hasText;
    };
    static const ControlKind* FindControlKind(std::string_view keyword) {
        constexpr std::uint16_t kButton = 0x80, kEdit = 0x81, kStatic = 0x82, kListBox = 0x83,
                                kScrollBar = 0x84, kComboBox = 0x85;
        constexpr std::uint32_t kTab = 0x00010000, kGroup = 0x00020000, kBorder = 0x00800000;
        // Radio buttons and combo boxes get no WS_TABSTOP of their own,
        // unlike what some references say; this is what compilers produce.
        static const ControlKind kKinds[] = {
            {"LTEXT", kStatic, kGroup | 0x0, true},
            {"RTEXT", kStatic, kGroup | 0x2, true},
            {"CTEXT", kStatic, kGroup | 0x1, true},
            {"EDITTEXT", kEdit, kBorder | kTab, false},
            {"PUSHBUTTON", kButton, kTab | 0x0, true},
            {"DEFPUSHBUTTON", kButton, kTab | 0x1, true},
            {"CHECKBOX", kButton, kTab | 0x2, true},
            {"AUTOCHECKBOX", kButton, kTab | 0x3, true},
            {"RADIOBUTTON", kButton, 0x4, true},
            {"STATE3", kButton, kTab | 0x5, true},
            {"AUTO3STATE", kButton, kTab | 0x6, true},
            {"GROUPBOX", kButton, 0x7, true},
            {"AUTORADIOBUTTON", kButton, 0x9, true},
            {"COMBOBOX", kComboBox, 0x0, false},
            {"LISTBOX", kListBox, kBorder | 0x1, false},
            {"SCROLLBAR", kScrollBar, 0x0, false},
        };
        for (const auto& k : kKinds) {
            if (IEquals(k.keyword, keyword))
                return &k;
        }
        return nullptr;
    }

    ResourceId ControlText() {
        if (Cur().kind == Tok::String)
            return ResourceId{true, 0, StringLiterals()};
        return ResourceId::Ordinal(Word("control text"));
    }

    // The trailing ", style [, exstyle [, helpid]]" of a control.
    void ControlTail(DialogItem& item, bool ex) {
        if (!IsPunct(','))
            return;
        ++m_pos;
        item.style = StyleExpr(item.style);
        if (!IsPunct(','))
            return;
        ++m_pos;
        item.exStyle = Expr();
        if (ex && IsPunct(',')) {
            ++m_pos;
            item.helpId = Expr();
        }
    }

    DialogItem Control(bool ex) {
        constexpr std::uint32_t kChildVisible = 0x50000000;
        DialogItem item;
        if (IsKeyword("CONTROL")) {
            ++m_pos;
            item.text = ControlText();
            ExpectComma();
            item.id = Expr();
            ExpectComma();
            if (Cur().kind == Tok::String) {
                item.windowClass = ResourceId{true, 0, StringLiterals()};
            } else {
                item.windowClass = ResourceId::Ordinal(Word("window class"));
            }
            ExpectComma();
            item.style = StyleExpr(kChildVisible);
            ExpectComma();
            item.x = Coordinate();
            ExpectComma();
            item.y = Coordinate();
            ExpectComma();
            item.cx = Coordinate();
            ExpectComma();
            item.cy = Coordinate();
            if (IsPunct(',')) {
                ++m_pos;
                item.exStyle = Expr();
                if (ex && IsPunct(',')) {
                    ++m_pos;
                    item.helpId = Expr();
                }
            }
            return item;
        }
        const ControlKind* kind = Cur().kind == Tok::Ident ? FindControlKind(Cur().text) : nullptr;
        if (!kind)
            Fail("control statement expected");
        ++m_pos;
        item.windowClass = ResourceId::Ordinal(kind->classAtom);
        item.style = kChildVisible | kind->style;
        if (kind->hasText) {
            item.text = ControlText();
            ExpectComma();
        }
        item.id = Expr();
        ExpectComma();
        item.x = Coordinate();
        ExpectComma();
        item.y = Coordinate();
        ExpectComma();
        item.cx = Coordinate();
        ExpectComma();
        item.cy = Coordinate();
        ControlTail(item, ex);
        return item;
    }

    void Dialog(const ResourceId& name, bool ex) {
        constexpr std::uint32_t kDefaultStyle = 0x80880000;  // WS_POPUP | WS_BORDER | WS_SYSMENU
        constexpr std::uint32_t kCaption = 0x00C00000, kSetFont = 0x40;
        std::uint16_t language = m_language;
        Options(language);
        std::int16_t x = Coordinate();
        ExpectComma();
        std::int16_t y = Coordinate();
        ExpectComma();
        std::int16_t cx = Coordinate();
        ExpectComma();
        std::int16_t cy = Coordinate();
        std::uint32_t helpId = 0;
        if (ex && IsPunct(',')) {
            ++m_pos;
            helpId = Expr();
        }
        std::uint32_t style = kDefaultStyle, exStyle = 0;
        bool hasCaption = false, hasFont = false;
        std::u16string caption, face;
        ResourceId menu{true, 0, {}}, windowClass{true, 0, {}};
        std::uint16_t pointSize = 0, weight = 0;
        std::uint8_t italic = 0, charset = 1;  // DEFAULT_CHARSET
        for (;;) {
            if (IsKeyword("STYLE")) {
                ++m_pos;
                style = StyleExpr(0);
            } else if (IsKeyword("EXSTYLE")) {
                ++m_pos;
                exStyle = Expr();
            } else if (IsKeyword("CAPTION")) {
                ++m_pos;
                caption = StringLiterals();
                hasCaption = true;
            } else if (IsKeyword("FONT")) {
                ++m_pos;
                hasFont = true;
                pointSize = Word("font size");
                ExpectComma();
                face = StringLiterals();
                if (ex && IsPunct(',')) {
                    ++m_pos;
                    weight = Word("font weight");
                    if (IsPunct(',')) {
                        ++m_pos;
                        italic = static_cast<std::uint8_t>(Expr() != 0);
                        if (IsPunct(',')) {
                            ++m_pos;
                            charset = static_cast<std::uint8_t>(Expr());
                        }
                    }
                }
            } else if (IsKeyword("MENU")) {
                ++m_pos;
                menu = NameOrType("menu name");
            } else if (IsKeyword("CLASS")) {
                ++m_pos;
                windowClass = ResourceId{true, 0, StringLiterals()};
            } else if (IsKeyword("LANGUAGE")) {
                ++m_pos;
                language = Language();
            } else if (IsKeyword("CHARACTERISTICS") || IsKeyword("VERSION")) {
                ++m_pos;
                Expr();
            } else {
                break;
            }
        }
        if (hasCaption)
            style |= kCaption;
        if (hasFont)
            style |= kSetFont;
        ExpectBegin();
        std::vector<DialogItem> items;
        while (!IsEnd()) {
            if (AtEnd())
                Fail("END expected");
            items.push_back(Control(ex));
            if (!ex && items.back().id > 0xFFFF && items.back().id < 0xFFFF8000u)
                Fail("control id out of range");
        }
        ++m_pos;
        if (items.size() > 0xFFFF)
            Fail("too many controls");

        std::vector<std::uint8_t> out;
        if (ex) {
            AppendU16(out, 1);       // dlgVer
            AppendU16(out, 0xFFFF);  // signature
            AppendU32(out, helpId);
            AppendU32(out, exStyle);
            AppendU32(out, style);
        } else {
            AppendU32(out, style);
            AppendU32(out, exStyle);
        }
        AppendU16(out, static_cast<std::uint16_t>(items.size()));
        for (std::int16_t v : {x, y, cx, cy})
            AppendU16(out, static_cast<std::uint16_t>(v));
        AppendSzOrOrd(out, menu);
        AppendSzOrOrd(out, windowClass);
        AppendSz(out, caption);
        if (hasFont) {
            AppendU16(out, pointSize);
            if (ex) {
                AppendU16(out, weight);
                out.push_back(italic);
                out.push_back(charset);
            }
            AppendSz(out, face);
        }
        for (const auto& item : items) {
            rsrc::PadTo(out, 4);
            if (ex) {
                AppendU32(out, item.helpId);
                AppendU32(out, item.exStyle);
                AppendU32(out, item.style);
            } else {
                AppendU32(out, item.style);
                AppendU32(out, item.exStyle);
            }
            for (std::int16_t v : {item.x, item.y, item.cx, item.cy})
                AppendU16(out, static_cast<std::uint16_t>(v));
            if (ex) {
                AppendU32(out, item.id);
            } else {
                AppendU16(out, static_cast<std::uint16_t>(item.id));
            }
            AppendSzOrOrd(out, item.windowClass);
            AppendSzOrOrd(out, item.text);
            AppendU16(out, 0);  // no creation data
        }
        m_other->push_back(
            CompiledResource{ResourceId::Ordinal(rsrc::kTypeDialog), name, language, out});
    }

    // ---- VERSIONINFO ----

    struct VersionNode {
        std::u16string key;
        std::uint16_t type = rsrc::kVerTypeText;
        std::uint16_t valueLength = 0;
        std::vector<std::uint8_t> value;
        std::vector<VersionNode> children;
    };

    static std::vector<std::uint8_t> Serialize(const VersionNode& node) {
        std::vector<std::uint8_t> out;
        AppendU16(out, 0);  // wLength, patched below
        AppendU16(out, node.valueLength);
        AppendU16(out, node.type);
        for (char16_t c : node.key)
            AppendU16(out, c);
        AppendU16(out, 0);
        rsrc::PadTo(out, 4);
        out.insert(out.end(), node.value.begin(), node.value.end());
        for (const auto& child : node.children) {
            rsrc::PadTo(out, 4);
            auto bytes = Serialize(child);
            out.insert(out.end(), bytes.begin(), bytes.end());
        }
        if (out.size() > 0xFFFF)
            throw CompileError{0, "version resource too large"};
        rsrc::PutU16(out, rsrc::kVerNodeLength, static_cast<std::uint16_t>(out.size()));
        return out;
    }

    void VersionInfo(const ResourceId& name) {
        std::uint32_t fixed[13] = {};
        fixed[0] = rsrc::kFixedSignature;
        fixed[1] = rsrc::kFixedStrucVersion;
        auto versionPair = [&](std::uint32_t& ms, std::uint32_t& ls) {
            std::uint16_t part[4] = {};
            for (int i = 0; i < 4; ++i) {
                if (i > 0) {
                    if (!IsPunct(','))
                        break;  // trailing parts may be left out
                    ++m_pos;
                }
                part[i] = Word("version part");
            }
            ms = (static_cast<std::uint32_t>(part[0]) << 16) | part[1];
            ls = (static_cast<std::uint32_t>(part[2]) << 16) | part[3];
        };
        std::uint16_t language = m_language;
        for (;;) {
            if (IsKeyword("FILEVERSION")) {
                ++m_pos;
                versionPair(fixed[2], fixed[3]);
            } else if (IsKeyword("PRODUCTVERSION")) {
                ++m_pos;
                versionPair(fixed[4], fixed[5]);
            } else if (IsKeyword("FILEFLAGSMASK")) {
                ++m_pos;
                fixed[6] = Expr();
            } else if (IsKeyword("FILEFLAGS")) {
                ++m_pos;
                fixed[7] = Expr();
            } else if (IsKeyword("FILEOS")) {
                ++m_pos;
                fixed[8] = Expr();
            } else if (IsKeyword("FILETYPE")) {
                ++m_pos;
                fixed[9] = Expr();
            } else if (IsKeyword("FILESUBTYPE")) {
                ++m_pos;
                fixed[10] = Expr();
            } else if (IsKeyword("LANGUAGE")) {
                ++m_pos;
                language = Language();
            } else {
                break;
            }
        }
        VersionNode root;
        root.key = std::u16string(rsrc::kVerRootKey);
        root.type = rsrc::kVerTypeBinary;
        root.valueLength = static_cast<std::uint16_t>(rsrc::kFixedSize);
        for (std::uint32_t f : fixed)
            AppendU32(root.value, f);
        ExpectBegin();
        VersionChildren(root.children);
        std::vector<std::uint8_t> data;
        try {
            data = Serialize(root);
        } catch (CompileError& e) {
            e.line = Line();
            throw;
        }
        m_other->push_back(
            CompiledResource{ResourceId::Ordinal(rsrc::kTypeVersion), name, language, data});
    }

    // Reads BLOCK and VALUE statements up to and including the END.
    void VersionChildren(std::vector<VersionNode>& children) {
        while (!IsEnd()) {
            if (AtEnd())
                Fail("END expected");
            if (IsKeyword("BLOCK")) {
                ++m_pos;
                VersionNode block;
                block.key = StringLiterals();
                ExpectBegin();
                VersionChildren(block.children);
                children.push_back(std::move(block));
            } else if (IsKeyword("VALUE")) {
                ++m_pos;
                children.push_back(VersionValue());
            } else {
                Fail("BLOCK, VALUE or END expected");
            }
        }
        ++m_pos;
    }

    VersionNode VersionValue() {
        VersionNode node;
        node.key = StringLiterals();
        if (!IsPunct(','))
            return node;  // a key without a value
        std::u16string text;
        bool isText = false, isBinary = false;
        while (IsPunct(',')) {
            ++m_pos;
            if (Cur().kind == Tok::String) {
                isText = true;
                text += StringLiterals();
            } else {
                isBinary = true;
                bool isLong = false;
                std::uint32_t v = Expr(&isLong);
                if (isLong) {
                    AppendU32(node.value, v);
                } else {
                    if (v > 0xFFFF)
                        Fail("value out of range for a WORD (use an L suffix)");
                    AppendU16(node.value, static_cast<std::uint16_t>(v));
                }
            }
        }
        if (isText && isBinary)
            Fail("a VALUE holds either text or numbers");
        if (isText) {
            if (text.empty() || text.back() != u'\0')
                text.push_back(u'\0');
            node.type = rsrc::kVerTypeText;
            node.valueLength = static_cast<std::uint16_t>(text.size());
            for (char16_t c : text)
                AppendU16(node.value, c);
        } else {
            node.type = rsrc::kVerTypeBinary;
            node.valueLength = static_cast<std::uint16_t>(node.value.size());
        }
        return node;
    }

    RcCompiler& m_owner;
    std::vector<Token> m_tokens;
    std::size_t m_pos = 0;
    std::string_view m_fileName;
    std::uint16_t m_language = 0;
    std::map<std::uint16_t, std::map<std::uint16_t, std::u16string>>* m_strings = nullptr;
    std::vector<CompiledResource>* m_other = nullptr;
    std::uint32_t* m_nextIconId = nullptr;
};

namespace {

// Handles the preprocessor lines: records #define/#undef, drops lines of
// false #ifdef branches and blanks every directive line so that line numbers
// stay right for the lexer.
// Where included files are looked for, and which were read.
struct IncludeContext {
    std::string baseDir;
    const std::vector<std::string>* includeDirs = nullptr;
    std::vector<std::string>* dependencies = nullptr;
    int depth = 0;
};

bool IsHeaderName(const std::string& name) {
    auto dot = name.rfind('.');
    if (dot == std::string::npos)
        return false;
    std::string ext = name.substr(dot + 1);
    for (auto& c : ext)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return ext == "h" || ext == "hh" || ext == "hpp" || ext == "hxx" || ext == "c" || ext == "cpp";
}

std::string Preprocess(std::string_view text, std::map<std::string, std::string>& defines,
                       const IncludeContext& context, bool directivesOnly = false);

// #include "header.h": as the platform's compiler does for C and C++ files,
// only the header's preprocessor lines count (its #defines name the ids that
// code and scripts share); everything else in it is skipped. <...> names a
// platform header, whose constants are built in.
void IncludeHeader(const std::string& spec, int line, std::map<std::string, std::string>& defines,
                   const IncludeContext& context) {
    if (spec.size() < 2 || spec.front() == '<')
        return;
    if (spec.front() != '"' || spec.back() != '"')
        throw CompileError{line, "malformed #include"};
    std::string name = spec.substr(1, spec.size() - 2);
    std::replace(name.begin(), name.end(), '\\', '/');
    if (!IsHeaderName(name))
        throw CompileError{line, "only C and C++ headers can be included: " + name};
    if (context.depth >= 16)
        throw CompileError{line, "#include nested too deeply"};
    std::vector<std::string> candidates;
    if (!name.empty() && name[0] == '/') {
        candidates.push_back(name);
    } else {
        candidates.push_back((context.baseDir.empty() ? "." : context.baseDir) + "/" + name);
        if (context.includeDirs) {
            for (const auto& dir : *context.includeDirs)
                candidates.push_back(dir + "/" + name);
        }
    }
    for (const auto& path : candidates) {
        std::ifstream in(path, std::ios::binary);
        if (!in)
            continue;
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (context.dependencies)
            context.dependencies->push_back(path);
        IncludeContext inner = context;
        inner.baseDir = path.substr(0, path.rfind('/'));
        ++inner.depth;
        try {
            Preprocess(text, defines, inner, true);
        } catch (const CompileError& e) {
            throw CompileError{line, name + ":" + std::to_string(e.line) + ": " + e.message};
        }
        return;
    }
    throw CompileError{line, "cannot open include file " + name};
}

std::string Preprocess(std::string_view text, std::map<std::string, std::string>& defines,
                       const IncludeContext& context, bool directivesOnly) {
    std::string out;
    std::vector<bool> active;  // one entry per open #if; true = branch taken
    std::vector<int> openedAt;
    int line = 0;
    auto isActive = [&] {
        return std::all_of(active.begin(), active.end(), [](bool b) { return b; });
    };
    std::size_t pos = 0;
    while (pos <= text.size()) {
        std::size_t eol = text.find('\n', pos);
        if (eol == std::string_view::npos)
            eol = text.size();
        std::string_view l = text.substr(pos, eol - pos);
        ++line;
        std::size_t first = l.find_first_not_of(" \t\r");
        if (first != std::string_view::npos && l[first] == '#') {
            std::istringstream in{std::string(l.substr(first + 1))};
            std::string directive, name;
            in >> directive >> name;
            std::string rest;
            std::getline(in, rest);
            auto trim = [](std::string s) {
                auto comment = s.find("//");
                if (comment != std::string::npos)
                    s.erase(comment);
                s.erase(0, s.find_first_not_of(" \t\r"));
                s.erase(s.find_last_not_of(" \t\r") + 1);
                return s;
            };
            if (directive == "ifdef" || directive == "ifndef") {
                bool defined = defines.count(name) > 0;
                active.push_back(directive == "ifdef" ? defined : !defined);
                openedAt.push_back(line);
            } else if (directive == "else") {
                if (active.empty())
                    throw CompileError{line, "#else without #if"};
                active.back() = !active.back();
            } else if (directive == "endif") {
                if (active.empty())
                    throw CompileError{line, "#endif without #if"};
                active.pop_back();
                openedAt.pop_back();
            } else if (!isActive()) {
                // inside a branch not taken
            } else if (directive == "define") {
                if (name.empty())
                    throw CompileError{line, "#define without a name"};
                defines[name] = trim(rest);
            } else if (directive == "undef") {
                defines.erase(name);
            } else if (directive == "include") {
                std::string spec = trim(name + rest);
                IncludeHeader(spec, line, defines, context);
            } else if (directive == "pragma") {
                // once, code_page: scripts and headers are UTF-8 and read once each.
            } else {
                throw CompileError{line, "unsupported directive #" + directive};
            }
            out.push_back('\n');
        } else {
            if (isActive() && !directivesOnly)
                out.append(l);
            out.push_back('\n');
        }
        pos = eol + 1;
    }
    if (!active.empty())
        throw CompileError{openedAt.back(), "#ifdef without #endif"};
    return out;
}

// Replaces defined names by their tokens (recursively, with a depth bound
// against self-reference).
void ExpandMacros(std::vector<Token>& tokens, const std::map<std::string, std::string>& defines,
                  int depth = 0) {
    std::vector<Token> out;
    for (auto& t : tokens) {
        auto it = t.kind == Tok::Ident ? defines.find(t.text) : defines.end();
        if (it == defines.end()) {
            out.push_back(std::move(t));
            continue;
        }
        if (depth > 16)
            throw CompileError{t.line, "macro '" + t.text + "' expands too deeply"};
        std::vector<Token> expansion = Lexer(it->second, t.line).Run();
        for (auto& e : expansion)
            e.line = t.line;
        ExpandMacros(expansion, defines, depth + 1);
        out.insert(out.end(), expansion.begin(), expansion.end());
    }
    tokens = std::move(out);
}

}  // namespace

void RcCompiler::Define(const std::string& name, const std::string& value) {
    m_defines[name] = value;
}

bool RcCompiler::Compile(std::string_view text, std::string_view fileName) {
    auto strings = m_strings;
    auto other = m_other;
    auto nextIconId = m_nextIconId;
    auto defines = BuiltinDefines();
    for (const auto& [k, v] : m_defines)
        defines[k] = v;
    try {
        std::vector<std::string> dependencies;
        IncludeContext context{m_baseDir, &m_includeDirs, &dependencies, 0};
        std::string pre = Preprocess(text, defines, context);
        m_dependencies.insert(m_dependencies.end(), dependencies.begin(), dependencies.end());
        std::vector<Token> tokens = Lexer(pre, 1).Run();
        ExpandMacros(tokens, defines);
        RcParser(*this, std::move(tokens), fileName).Run(strings, other, nextIconId);
    } catch (const CompileError& e) {
        m_error = std::string(fileName) + ":" + std::to_string(e.line) + ": " + e.message;
        return false;
    }
    m_strings = std::move(strings);
    m_other = std::move(other);
    m_nextIconId = nextIconId;
    return true;
}

std::vector<CompiledResource> RcCompiler::Resources() const {
    std::vector<CompiledResource> all = m_other;
    for (const auto& [language, table] : m_strings) {
        std::set<std::uint32_t> blocks;
        for (const auto& entry : table)
            blocks.insert(entry.first / rsrc::kStringsPerBlock + 1);
        for (std::uint32_t block : blocks) {
            std::vector<std::uint8_t> data;
            for (std::uint32_t i = 0; i < rsrc::kStringsPerBlock; ++i) {
                auto id = static_cast<std::uint32_t>((block - 1) * rsrc::kStringsPerBlock + i);
                auto it = id <= 0xFFFF ? table.find(static_cast<std::uint16_t>(id)) : table.end();
                const std::u16string empty;
                const std::u16string& text = it == table.end() ? empty : it->second;
                AppendU16(data, static_cast<std::uint16_t>(text.size()));
                for (char16_t c : text)
                    AppendU16(data, c);
            }
            all.push_back(CompiledResource{ResourceId::Ordinal(rsrc::kTypeString),
                                           ResourceId::Ordinal(static_cast<std::uint16_t>(block)),
                                           language, data});
        }
    }
    std::stable_sort(all.begin(), all.end(),
                     [](const CompiledResource& a, const CompiledResource& b) {
                         if (!(a.type == b.type))
                             return a.type < b.type;
                         if (!(a.name == b.name))
                             return a.name < b.name;
                         return a.language < b.language;
                     });
    return all;
}

std::vector<std::uint8_t> RcCompiler::BuildBlob() {
    for (const auto& [language, table] : m_strings) {
        for (const auto& [id, text] : table) {
            if (text.size() > 0xFFFF) {
                m_error = "string " + std::to_string(id) + " is too long";
                return {};
            }
        }
    }
    std::vector<CompiledResource> all = Resources();
    for (std::size_t i = 1; i < all.size(); ++i) {
        if (all[i].type == all[i - 1].type && all[i].name == all[i - 1].name &&
            all[i].language == all[i - 1].language) {
            m_error = "two resources of the same type, name and language";
            return {};
        }
    }
    std::vector<std::uint8_t> out(rsrc::kHeaderSize + all.size() * rsrc::kEntrySize, 0);
    rsrc::PutU32(out, rsrc::kHdrMagic, rsrc::kBlobMagic);
    rsrc::PutU16(out, rsrc::kHdrVersion, rsrc::kFormatVersion);
    rsrc::PutU16(out, rsrc::kHdrHeaderSize, static_cast<std::uint16_t>(rsrc::kHeaderSize));
    rsrc::PutU32(out, rsrc::kHdrEntryCount, static_cast<std::uint32_t>(all.size()));
    // Names are shared: a text name is written once and referred to by offset.
    std::map<std::u16string, std::uint32_t> nameOffsets;
    auto idField = [&](const ResourceId& id) -> std::uint32_t {
        if (!id.isString)
            return id.ordinal;
        auto [it, inserted] = nameOffsets.emplace(id.name, 0);
        if (inserted) {
            rsrc::PadTo(out, 2);
            it->second = static_cast<std::uint32_t>(out.size());
            AppendU16(out, static_cast<std::uint16_t>(id.name.size()));
            for (char16_t c : id.name)
                AppendU16(out, c);
        }
        return rsrc::kNameIsString | it->second;
    };
    for (std::size_t i = 0; i < all.size(); ++i) {
        std::size_t at = rsrc::kHeaderSize + i * rsrc::kEntrySize;
        rsrc::PutU32(out, at + rsrc::kEntType, idField(all[i].type));
        rsrc::PutU32(out, at + rsrc::kEntName, idField(all[i].name));
        rsrc::PutU16(out, at + rsrc::kEntLanguage, all[i].language);
    }
    for (std::size_t i = 0; i < all.size(); ++i) {
        rsrc::PadTo(out, rsrc::kDataAlignment);
        std::size_t at = rsrc::kHeaderSize + i * rsrc::kEntrySize;
        if (out.size() + all[i].data.size() > 0x7FFFFFF0u) {
            m_error = "resources too large";
            return {};
        }
        rsrc::PutU32(out, at + rsrc::kEntDataOffset, static_cast<std::uint32_t>(out.size()));
        rsrc::PutU32(out, at + rsrc::kEntDataSize, static_cast<std::uint32_t>(all[i].data.size()));
        out.insert(out.end(), all[i].data.begin(), all[i].data.end());
    }
    rsrc::PadTo(out, rsrc::kBlobAlignment);
    rsrc::PutU32(out, rsrc::kHdrBlobSize, static_cast<std::uint32_t>(out.size()));
    return out;
}

std::string EmitCpp(const std::vector<std::uint8_t>& blob, const std::string& symbol, bool exported,
                    const std::string& sourceName) {
    std::ostringstream o;
    o << "// Generated by qmrc from " << sourceName << "; edit that file instead.\n"
      << "// The blob lands in the module's resource section, where the platform's\n"
      << "// resource calls find it (doc/resource_format.md).\n\n";
    const char* attrs = "__attribute__((section(\".qmrsrc\"), used, aligned(16)))";
    if (exported) {
        // The declaration gives the definition below external C linkage.
        o << "extern \"C\" const unsigned char " << symbol << "[" << blob.size() << "];\n";
        o << attrs << " const unsigned char " << symbol << "[" << blob.size() << "] = {";
    } else {
        o << attrs << " static const unsigned char " << symbol << "[" << blob.size() << "] = {";
    }
    static const char kHex[] = "0123456789abcdef";
    for (std::size_t i = 0; i < blob.size(); ++i) {
        o << (i % 16 == 0 ? "\n    " : " ") << "0x" << kHex[blob[i] >> 4] << kHex[blob[i] & 15]
          << ",";
    }
    o << "\n};\n";
    return o.str();
}

}  // namespace win::rc
