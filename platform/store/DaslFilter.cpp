#include "platform/store/DaslFilter.h"

#include <algorithm>

#include <cwctype>

#include "platform/win/Errors.h"
#include "platform/win/Text.h"

namespace store {

using namespace mapi;

struct DaslFilter::Node {
    enum class Kind { Or, And, Not, Compare };
    enum class Op { Equal, NotEqual, Like };
    Kind kind = Kind::Compare;
    std::vector<std::shared_ptr<const Node>> children;
    // Compare only. tag 0: a named property the store has no id for.
    ULONG tag = 0;
    Op op = Op::Equal;
    std::wstring literal;
    bool literalIsNumber = false;
};

namespace {

using Node = DaslFilter::Node;
using NodePtr = std::shared_ptr<const Node>;

constexpr std::wstring_view kProptagPrefix = L"http://schemas.microsoft.com/mapi/proptag/0x";
constexpr std::wstring_view kIdPrefix = L"http://schemas.microsoft.com/mapi/id/";
constexpr std::wstring_view kStringPrefix = L"http://schemas.microsoft.com/mapi/string/";
// Deeper nesting than any filter the add-in writes; bounds the recursion.
constexpr int kMaxDepth = 64;

bool StartsWithNoCase(std::wstring_view text, std::wstring_view prefix) {
    if (text.size() < prefix.size()) {
        return false;
    }
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (std::towlower(text[i]) != std::towlower(prefix[i])) {
            return false;
        }
    }
    return true;
}

std::optional<ULONG> ParseHexNumber(std::wstring_view text, std::size_t maxDigits) {
    if (text.empty() || text.size() > maxDigits) {
        return std::nullopt;
    }
    ULONG v = 0;
    for (wchar_t c : text) {
        int d = -1;
        if (c >= L'0' && c <= L'9')
            d = c - L'0';
        else if (c >= L'a' && c <= L'f')
            d = c - L'a' + 10;
        else if (c >= L'A' && c <= L'F')
            d = c - L'A' + 10;
        if (d < 0) {
            return std::nullopt;
        }
        v = v * 16 + static_cast<ULONG>(d);
    }
    return v;
}

std::optional<Bytes> ParseHexBytes(std::wstring_view text) {
    if (text.size() % 2 != 0) {
        return std::nullopt;
    }
    Bytes out;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        auto v = ParseHexNumber(text.substr(i, 2), 2);
        if (!v) {
            return std::nullopt;
        }
        out.push_back(static_cast<std::uint8_t>(*v));
    }
    return out;
}

std::optional<std::int64_t> ParseDecimal(std::wstring_view text) {
    if (text.empty()) {
        return std::nullopt;
    }
    std::size_t i = 0;
    bool negative = false;
    if (text[0] == L'-' || text[0] == L'+') {
        negative = text[0] == L'-';
        i = 1;
    }
    if (i == text.size() || text.size() - i > 18) {
        return std::nullopt;
    }
    std::int64_t v = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < L'0' || text[i] > L'9') {
            return std::nullopt;
        }
        v = v * 10 + (text[i] - L'0');
    }
    return negative ? -v : v;
}

enum class TokenType { End, Property, Literal, Number, LParen, RParen, Equal, NotEqual, Word };

struct Token {
    TokenType type = TokenType::End;
    std::wstring text;
};

class Parser {
public:
    Parser(std::wstring_view text, DaslFilter::NameResolver resolve, void* context)
        : m_text(text), m_resolve(resolve), m_context(context) {}

    HRESULT Parse(NodePtr* out) {
        if (StartsWithNoCase(m_text, L"@SQL=")) {
            m_pos = 5;
        }
        HRESULT hr = Next();
        if (FAILED(hr)) {
            return hr;
        }
        if (IsKeyword(L"SELECT")) {
            // A whole query: what it selects and its scope don't matter
            // here (the caller's folder is the scope); only its condition.
            while (m_token.type != TokenType::End && !IsKeyword(L"WHERE")) {
                hr = Next();
                if (FAILED(hr)) {
                    return hr;
                }
            }
            if (m_token.type == TokenType::End) {
                return E_INVALIDARG;
            }
            hr = Next();
            if (FAILED(hr)) {
                return hr;
            }
        }
        hr = ParseOr(out, 0);
        if (FAILED(hr)) {
            return hr;
        }
        return m_token.type == TokenType::End ? S_OK : E_INVALIDARG;
    }

private:
    HRESULT Next() {
        while (m_pos < m_text.size() && std::iswspace(m_text[m_pos])) {
            ++m_pos;
        }
        m_token = Token();
        if (m_pos >= m_text.size()) {
            return S_OK;
        }
        const wchar_t c = m_text[m_pos];
        if (c == L'"') {
            std::size_t end = m_text.find(L'"', m_pos + 1);
            if (end == std::wstring_view::npos) {
                return E_INVALIDARG;
            }
            m_token = {TokenType::Property,
                       std::wstring(m_text.substr(m_pos + 1, end - m_pos - 1))};
            m_pos = end + 1;
            return S_OK;
        }
        if (c == L'\'') {
            std::wstring value;
            std::size_t i = m_pos + 1;
            for (;;) {
                if (i >= m_text.size()) {
                    return E_INVALIDARG;
                }
                if (m_text[i] == L'\'') {
                    if (i + 1 < m_text.size() && m_text[i + 1] == L'\'') {
                        value.push_back(L'\'');
                        i += 2;
                        continue;
                    }
                    break;
                }
                value.push_back(m_text[i++]);
            }
            m_token = {TokenType::Literal, value};
            m_pos = i + 1;
            return S_OK;
        }
        if (c == L'(' || c == L')') {
            m_token = {c == L'(' ? TokenType::LParen : TokenType::RParen, std::wstring(1, c)};
            ++m_pos;
            return S_OK;
        }
        if (c == L'=') {
            m_token = {TokenType::Equal, L"="};
            ++m_pos;
            return S_OK;
        }
        if (c == L'<') {
            if (m_pos + 1 < m_text.size() && m_text[m_pos + 1] == L'>') {
                m_token = {TokenType::NotEqual, L"<>"};
                m_pos += 2;
                return S_OK;
            }
            return MAPI_E_TOO_COMPLEX;  // ordering comparisons are not supported
        }
        if (c == L'>') {
            return MAPI_E_TOO_COMPLEX;
        }
        std::size_t start = m_pos;
        while (m_pos < m_text.size() && !std::iswspace(m_text[m_pos]) && m_text[m_pos] != L'(' &&
               m_text[m_pos] != L')' && m_text[m_pos] != L'=' && m_text[m_pos] != L'<' &&
               m_text[m_pos] != L'>' && m_text[m_pos] != L'\'' && m_text[m_pos] != L'"') {
            ++m_pos;
        }
        std::wstring word(m_text.substr(start, m_pos - start));
        m_token = {ParseDecimal(word) ? TokenType::Number : TokenType::Word, word};
        return S_OK;
    }

    bool IsKeyword(const wchar_t* keyword) const {
        return m_token.type == TokenType::Word && win::ToUpper(m_token.text) == keyword;
    }

    HRESULT ParseOr(NodePtr* out, int depth) {
        if (depth > kMaxDepth) {
            return MAPI_E_TOO_COMPLEX;
        }
        NodePtr first;
        HRESULT hr = ParseAnd(&first, depth);
        if (FAILED(hr)) {
            return hr;
        }
        if (!IsKeyword(L"OR")) {
            *out = first;
            return S_OK;
        }
        auto node = std::make_shared<Node>();
        node->kind = Node::Kind::Or;
        node->children.push_back(first);
        while (IsKeyword(L"OR")) {
            hr = Next();
            NodePtr next;
            if (SUCCEEDED(hr)) {
                hr = ParseAnd(&next, depth);
            }
            if (FAILED(hr)) {
                return hr;
            }
            node->children.push_back(next);
        }
        *out = node;
        return S_OK;
    }

    HRESULT ParseAnd(NodePtr* out, int depth) {
        NodePtr first;
        HRESULT hr = ParseNot(&first, depth);
        if (FAILED(hr)) {
            return hr;
        }
        if (!IsKeyword(L"AND")) {
            *out = first;
            return S_OK;
        }
        auto node = std::make_shared<Node>();
        node->kind = Node::Kind::And;
        node->children.push_back(first);
        while (IsKeyword(L"AND")) {
            hr = Next();
            NodePtr next;
            if (SUCCEEDED(hr)) {
                hr = ParseNot(&next, depth);
            }
            if (FAILED(hr)) {
                return hr;
            }
            node->children.push_back(next);
        }
        *out = node;
        return S_OK;
    }

    HRESULT ParseNot(NodePtr* out, int depth) {
        if (!IsKeyword(L"NOT")) {
            return ParsePrimary(out, depth);
        }
        HRESULT hr = Next();
        NodePtr inner;
        if (SUCCEEDED(hr)) {
            hr = ParsePrimary(&inner, depth);
        }
        if (FAILED(hr)) {
            return hr;
        }
        auto node = std::make_shared<Node>();
        node->kind = Node::Kind::Not;
        node->children.push_back(inner);
        *out = node;
        return S_OK;
    }

    HRESULT ParsePrimary(NodePtr* out, int depth) {
        if (m_token.type == TokenType::LParen) {
            HRESULT hr = Next();
            if (SUCCEEDED(hr)) {
                hr = ParseOr(out, depth + 1);
            }
            if (FAILED(hr)) {
                return hr;
            }
            if (m_token.type != TokenType::RParen) {
                return E_INVALIDARG;
            }
            return Next();
        }
        return ParseComparison(out);
    }

    HRESULT ResolveProperty(const std::wstring& name, ULONG* tag) {
        if (StartsWithNoCase(name, kProptagPrefix)) {
            auto v = ParseHexNumber(std::wstring_view(name).substr(kProptagPrefix.size()), 8);
            if (!v || name.size() != kProptagPrefix.size() + 8) {
                return E_INVALIDARG;
            }
            *tag = *v;
            return S_OK;
        }
        if (EqualsNoCaseView(name, L"urn:schemas:httpmail:subject")) {
            *tag = PR_SUBJECT;
            return S_OK;
        }
        if (EqualsNoCaseView(name, L"urn:schemas:httpmail:textdescription")) {
            *tag = PR_BODY;
            return S_OK;
        }
        if (EqualsNoCaseView(name, L"urn:schemas:mailheader:message-id")) {
            *tag = PR_INTERNET_MESSAGE_ID;
            return S_OK;
        }
        const bool byId = StartsWithNoCase(name, kIdPrefix);
        const bool byString = StartsWithNoCase(name, kStringPrefix);
        if (!byId && !byString) {
            return MAPI_E_TOO_COMPLEX;
        }
        std::wstring_view rest =
            std::wstring_view(name).substr(byId ? kIdPrefix.size() : kStringPrefix.size());
        std::size_t slash = rest.find(L'/');
        if (slash == std::wstring_view::npos) {
            return E_INVALIDARG;
        }
        auto guid = win::ParseGuid(rest.substr(0, slash));
        if (!guid) {
            return E_INVALIDARG;
        }
        std::wstring_view part = rest.substr(slash + 1);
        NamedProperty named;
        if (byId) {
            if (!StartsWithNoCase(part, L"0x")) {
                return E_INVALIDARG;
            }
            // The id may carry a type in its low word ("0x8503000B").
            auto v = ParseHexNumber(part.substr(2), 8);
            if (!v) {
                return E_INVALIDARG;
            }
            LONG lid = static_cast<LONG>(part.size() > 6 ? (*v >> 16) : *v);
            named = NamedProperty::ById(*guid, lid);
        } else {
            if (part.empty()) {
                return E_INVALIDARG;
            }
            named = NamedProperty::ByName(*guid, std::wstring(part));
        }
        if (m_resolve == nullptr) {
            return MAPI_E_TOO_COMPLEX;
        }
        USHORT id = m_resolve(m_context, named);
        *tag = id == 0 ? 0 : PROP_TAG(PT_UNSPECIFIED, id);
        return S_OK;
    }

    static bool EqualsNoCaseView(const std::wstring& a, std::wstring_view b) {
        return a.size() == b.size() && StartsWithNoCase(a, b);
    }

    HRESULT ParseComparison(NodePtr* out) {
        if (m_token.type != TokenType::Property && m_token.type != TokenType::Word) {
            return E_INVALIDARG;
        }
        auto node = std::make_shared<Node>();
        node->kind = Node::Kind::Compare;
        HRESULT hr = ResolveProperty(m_token.text, &node->tag);
        if (FAILED(hr)) {
            return hr;
        }
        hr = Next();
        if (FAILED(hr)) {
            return hr;
        }
        if (m_token.type == TokenType::Equal) {
            node->op = Node::Op::Equal;
        } else if (m_token.type == TokenType::NotEqual) {
            node->op = Node::Op::NotEqual;
        } else if (IsKeyword(L"LIKE")) {
            node->op = Node::Op::Like;
        } else {
            return m_token.type == TokenType::Word ? MAPI_E_TOO_COMPLEX : E_INVALIDARG;
        }
        hr = Next();
        if (FAILED(hr)) {
            return hr;
        }
        if (m_token.type != TokenType::Literal && m_token.type != TokenType::Number) {
            return E_INVALIDARG;
        }
        node->literal = m_token.text;
        node->literalIsNumber = m_token.type == TokenType::Number;
        const ULONG type = PROP_TYPE(node->tag);
        if (node->op == Node::Op::Like && node->tag != 0 && type != PT_UNSPECIFIED &&
            type != PT_UNICODE && type != PT_STRING8) {
            return MAPI_E_TOO_COMPLEX;
        }
        if (type == PT_BINARY && node->tag != 0 && !ParseHexBytes(node->literal)) {
            return E_INVALIDARG;
        }
        *out = node;
        return Next();
    }

    std::wstring_view m_text;
    std::size_t m_pos = 0;
    Token m_token;
    DaslFilter::NameResolver m_resolve;
    void* m_context;
};

// Case-insensitive LIKE: '%' any run, '_' one character.
bool LikeMatch(const std::wstring& text, const std::wstring& pattern) {
    // Iterative matcher with one backtrack point per '%': linear enough.
    std::size_t t = 0, p = 0, starP = std::wstring::npos, starT = 0;
    while (t < text.size()) {
        if (p < pattern.size() && (pattern[p] == L'_' || pattern[p] == text[t])) {
            ++t;
            ++p;
        } else if (p < pattern.size() && pattern[p] == L'%') {
            starP = p++;
            starT = t;
        } else if (starP != std::wstring::npos) {
            p = starP + 1;
            t = ++starT;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == L'%') {
        ++p;
    }
    return p == pattern.size();
}

bool CompareMatches(const Node& n, const PropertyBag& props) {
    const PropValue* v =
        n.tag == 0 ? nullptr : props.Find(PROP_TAG(PT_UNSPECIFIED, PROP_ID(n.tag)));
    if (v != nullptr && PROP_TYPE(n.tag) != PT_UNSPECIFIED && v->Type() != PROP_TYPE(n.tag) &&
        !((v->Type() == PT_UNICODE || v->Type() == PT_STRING8) &&
          (PROP_TYPE(n.tag) == PT_UNICODE || PROP_TYPE(n.tag) == PT_STRING8))) {
        v = nullptr;
    }
    if (v == nullptr) {
        return n.op == Node::Op::NotEqual;
    }
    bool equal = false;
    if (v->Wide() != nullptr || v->Str8() != nullptr) {
        const std::wstring text = win::ToLower(v->Wide() ? *v->Wide() : win::FromAnsi(*v->Str8()));
        const std::wstring literal = win::ToLower(n.literal);
        if (n.op == Node::Op::Like) {
            return LikeMatch(text, literal);
        }
        equal = text == literal;
    } else if (n.op == Node::Op::Like) {
        return false;
    } else if (v->Bin() != nullptr) {
        auto bytes = ParseHexBytes(n.literal);
        equal = bytes && *bytes == *v->Bin();
    } else if (v->Integer() != nullptr && v->Type() != PT_SYSTIME) {
        auto number = ParseDecimal(n.literal);
        equal = number && *number == *v->Integer();
    } else if (v->Bool() != nullptr) {
        auto number = ParseDecimal(n.literal);
        equal = number && (*number != 0) == *v->Bool();
    } else {
        equal = false;  // times, reals, GUIDs, multi-values: not comparable here
    }
    return n.op == Node::Op::Equal ? equal : !equal;
}

bool NodeMatches(const Node& n, const PropertyBag& props) {
    switch (n.kind) {
        case Node::Kind::Or:
            for (const auto& c : n.children) {
                if (NodeMatches(*c, props)) {
                    return true;
                }
            }
            return false;
        case Node::Kind::And:
            for (const auto& c : n.children) {
                if (!NodeMatches(*c, props)) {
                    return false;
                }
            }
            return true;
        case Node::Kind::Not:
            return !NodeMatches(*n.children[0], props);
        case Node::Kind::Compare:
            return CompareMatches(n, props);
    }
    return false;
}

void CollectTags(const Node& n, std::vector<ULONG>* tags) {
    if (n.kind == Node::Kind::Compare) {
        const ULONG tag = PROP_TAG(PT_UNSPECIFIED, PROP_ID(n.tag));
        if (n.tag != 0 && std::find(tags->begin(), tags->end(), tag) == tags->end()) {
            tags->push_back(tag);
        }
        return;
    }
    for (const auto& c : n.children) {
        CollectTags(*c, tags);
    }
}

bool IsSearchKeyEquality(const Node& n) {
    return n.kind == Node::Kind::Compare && n.op == Node::Op::Equal && n.tag == PR_SEARCH_KEY &&
           ParseHexBytes(n.literal).has_value();
}

}  // namespace

HRESULT DaslFilter::Parse(std::wstring_view text, NameResolver resolveName, void* context,
                          DaslFilter* out) {
    Parser parser(text, resolveName, context);
    NodePtr root;
    HRESULT hr = parser.Parse(&root);
    if (FAILED(hr)) {
        return hr;
    }
    if (!root) {
        return E_INVALIDARG;
    }
    out->m_root = root;
    return S_OK;
}

bool DaslFilter::Matches(const PropertyBag& props) const {
    return m_root && NodeMatches(*m_root, props);
}

std::vector<ULONG> DaslFilter::Tags() const {
    std::vector<ULONG> tags;
    if (m_root) {
        CollectTags(*m_root, &tags);
    }
    return tags;
}

std::optional<std::vector<Bytes>> DaslFilter::SearchKeyTerms() const {
    if (!m_root) {
        return std::nullopt;
    }
    std::vector<Bytes> keys;
    if (IsSearchKeyEquality(*m_root)) {
        keys.push_back(*ParseHexBytes(m_root->literal));
        return keys;
    }
    if (m_root->kind != Node::Kind::Or) {
        return std::nullopt;
    }
    for (const auto& c : m_root->children) {
        if (!IsSearchKeyEquality(*c)) {
            return std::nullopt;
        }
        keys.push_back(*ParseHexBytes(c->literal));
    }
    return keys;
}

}  // namespace store
