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
             std::vector<CompiledResource>& other) {
        m_strings = &strings;
        m_other = &other;
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
};

namespace {

// Handles the preprocessor lines: records #define/#undef, drops lines of
// false #ifdef branches and blanks every directive line so that line numbers
// stay right for the lexer.
std::string Preprocess(std::string_view text, std::map<std::string, std::string>& defines) {
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
            } else if (directive == "include" || directive == "pragma") {
                // The platform's constants are built in; code pages are UTF-8.
            } else {
                throw CompileError{line, "unsupported directive #" + directive};
            }
            out.push_back('\n');
        } else {
            if (isActive())
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
    auto defines = BuiltinDefines();
    for (const auto& [k, v] : m_defines)
        defines[k] = v;
    try {
        std::string pre = Preprocess(text, defines);
        std::vector<Token> tokens = Lexer(pre, 1).Run();
        ExpandMacros(tokens, defines);
        RcParser(*this, std::move(tokens), fileName).Run(strings, other);
    } catch (const CompileError& e) {
        m_error = std::string(fileName) + ":" + std::to_string(e.line) + ": " + e.message;
        return false;
    }
    m_strings = std::move(strings);
    m_other = std::move(other);
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
