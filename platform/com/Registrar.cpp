#include "platform/com/Registrar.h"

#include <optional>
#include <vector>

#include "platform/win/Registry.h"
#include "platform/win/Resources.h"
#include "platform/win/Text.h"

namespace com {
namespace {

std::wstring UpperAscii(std::wstring text) {
    for (wchar_t& c : text) {
        if (c >= L'a' && c <= L'z')
            c = static_cast<wchar_t>(c - L'a' + L'A');
    }
    return text;
}

bool IsSpace(wchar_t c) {
    return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n' || c == L'\f' || c == L'\v';
}

struct Token {
    std::wstring text;
    bool quoted = false;
};

struct ScriptValue {
    DWORD type = REG_SZ;
    std::vector<BYTE> bytes;          // REG_DWORD, REG_BINARY
    std::wstring text;                // REG_SZ
    std::vector<std::wstring> texts;  // REG_MULTI_SZ
};

enum class KeyFlag { kNone, kForceRemove, kNoRemove, kDelete };

struct ScriptNode {
    bool isValue = false;  // "val name = ..."
    KeyFlag flag = KeyFlag::kNone;
    std::wstring name;
    std::optional<ScriptValue> value;  // a key's default value, or the named value
    std::vector<ScriptNode> children;
};

struct ScriptRoot {
    HKEY key = nullptr;
    bool classes = false;  // HKCR: redirected when registering per user
    std::vector<ScriptNode> children;
};

class Parser {
public:
    explicit Parser(std::vector<Token> tokens) : m_tokens(std::move(tokens)) {}

    bool Parse(std::vector<ScriptRoot>* roots) {
        while (m_pos < m_tokens.size()) {
            ScriptRoot root;
            if (!Root(&root) || !Brace(L"{") || !Body(&root.children))
                return false;
            roots->push_back(std::move(root));
        }
        return true;
    }

private:
    bool AtEnd() const { return m_pos >= m_tokens.size(); }
    bool IsWord(const wchar_t* word) const {
        return !AtEnd() && !m_tokens[m_pos].quoted &&
               UpperAscii(m_tokens[m_pos].text) == UpperAscii(word);
    }
    bool Brace(const wchar_t* brace) {
        if (!IsWord(brace))
            return false;
        ++m_pos;
        return true;
    }

    bool Root(ScriptRoot* root) {
        if (AtEnd() || m_tokens[m_pos].quoted)
            return false;
        const std::wstring name = UpperAscii(m_tokens[m_pos++].text);
        if (name == L"HKCR" || name == L"HKEY_CLASSES_ROOT") {
            root->key = HKEY_CLASSES_ROOT;
            root->classes = true;
        } else if (name == L"HKCU" || name == L"HKEY_CURRENT_USER") {
            root->key = HKEY_CURRENT_USER;
        } else if (name == L"HKLM" || name == L"HKEY_LOCAL_MACHINE") {
            root->key = HKEY_LOCAL_MACHINE;
        } else {
            return false;
        }
        return true;
    }

    // Items up to and including the closing brace.
    bool Body(std::vector<ScriptNode>* items) {
        while (!Brace(L"}")) {
            if (AtEnd())
                return false;
            ScriptNode node;
            if (!Item(&node))
                return false;
            items->push_back(std::move(node));
        }
        return true;
    }

    bool Name(std::wstring* name) {
        if (AtEnd())
            return false;
        const Token& t = m_tokens[m_pos];
        if (!t.quoted && (t.text == L"{" || t.text == L"}" || t.text == L"="))
            return false;
        *name = t.text;
        ++m_pos;
        return !name->empty();
    }

    bool Item(ScriptNode* node) {
        if (IsWord(L"val")) {
            ++m_pos;
            node->isValue = true;
            if (!Name(&node->name) || !Brace(L"="))
                return false;
            node->value.emplace();
            return Value(&*node->value);
        }
        if (IsWord(L"ForceRemove")) {
            node->flag = KeyFlag::kForceRemove;
            ++m_pos;
        } else if (IsWord(L"NoRemove")) {
            node->flag = KeyFlag::kNoRemove;
            ++m_pos;
        } else if (IsWord(L"Delete")) {
            node->flag = KeyFlag::kDelete;
            ++m_pos;
        }
        if (!Name(&node->name))
            return false;
        if (Brace(L"=")) {
            node->value.emplace();
            if (!Value(&*node->value))
                return false;
        }
        if (Brace(L"{"))
            return Body(&node->children);
        return true;
    }

    static int HexDigit(wchar_t c) {
        if (c >= L'0' && c <= L'9')
            return c - L'0';
        if (c >= L'a' && c <= L'f')
            return c - L'a' + 10;
        if (c >= L'A' && c <= L'F')
            return c - L'A' + 10;
        return -1;
    }

    static bool Number(const std::wstring& text, DWORD* out) {
        if (text.empty())
            return false;
        unsigned long long v = 0;
        std::size_t i = 0;
        int base = 10;
        if (text.size() > 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X')) {
            base = 16;
            i = 2;
        }
        for (; i < text.size(); ++i) {
            const int d = HexDigit(text[i]);
            if (d < 0 || d >= base)
                return false;
            v = v * static_cast<unsigned>(base) + static_cast<unsigned>(d);
            if (v > 0xFFFFFFFFull)
                return false;
        }
        *out = static_cast<DWORD>(v);
        return true;
    }

    bool Value(ScriptValue* value) {
        if (AtEnd() || m_tokens[m_pos].quoted)
            return false;
        const std::wstring type = UpperAscii(m_tokens[m_pos++].text);
        // The value's text; unlike a name it may be empty ('').
        if (AtEnd())
            return false;
        const Token& token = m_tokens[m_pos];
        if (!token.quoted && (token.text == L"{" || token.text == L"}" || token.text == L"="))
            return false;
        const std::wstring text = token.text;
        ++m_pos;
        if (type == L"S") {
            value->type = REG_SZ;
            value->text = text;
        } else if (type == L"D") {
            DWORD v = 0;
            if (!Number(text, &v))
                return false;
            value->type = REG_DWORD;
            for (int shift = 0; shift < 32; shift += 8)
                value->bytes.push_back(static_cast<BYTE>(v >> shift));
        } else if (type == L"B") {
            if (text.size() % 2 != 0)
                return false;
            value->type = REG_BINARY;
            for (std::size_t i = 0; i < text.size(); i += 2) {
                const int hi = HexDigit(text[i]), lo = HexDigit(text[i + 1]);
                if (hi < 0 || lo < 0)
                    return false;
                value->bytes.push_back(static_cast<BYTE>(hi * 16 + lo));
            }
        } else if (type == L"M") {
            value->type = REG_MULTI_SZ;
            std::size_t start = 0;
            for (;;) {
                const std::size_t sep = text.find(L"\\0", start);
                value->texts.push_back(text.substr(
                    start, sep == std::wstring::npos ? std::wstring::npos : sep - start));
                if (sep == std::wstring::npos)
                    break;
                start = sep + 2;
            }
        } else {
            return false;
        }
        return true;
    }

    std::vector<Token> m_tokens;
    std::size_t m_pos = 0;
};

// Empty quoted texts are tokens too ('' as a value).
bool Tokenize(const std::wstring& text, std::vector<Token>* tokens) {
    std::size_t i = 0;
    while (i < text.size()) {
        if (IsSpace(text[i])) {
            ++i;
            continue;
        }
        Token t;
        if (text[i] == L'\'') {
            t.quoted = true;
            for (++i;; ++i) {
                if (i >= text.size())
                    return false;  // unterminated
                if (text[i] == L'\'') {
                    if (i + 1 < text.size() && text[i + 1] == L'\'') {
                        t.text.push_back(L'\'');
                        ++i;
                        continue;
                    }
                    ++i;
                    break;
                }
                t.text.push_back(text[i]);
            }
        } else {
            while (i < text.size() && !IsSpace(text[i]))
                t.text.push_back(text[i++]);
        }
        tokens->push_back(std::move(t));
    }
    return true;
}

HRESULT FromWin32(LSTATUS status) {
    return status == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(static_cast<DWORD>(status));
}

// A missing key or value is no failure when taking things away.
HRESULT IgnoringMissing(LSTATUS status) {
    return status == ERROR_FILE_NOT_FOUND ? S_OK : FromWin32(status);
}

HRESULT WriteValue(HKEY key, const WCHAR* name, const ScriptValue& value) {
    switch (value.type) {
        case REG_SZ:
            return FromWin32(RegSetValueExW(key, name, 0, REG_SZ, value.text.c_str(),
                                            static_cast<DWORD>((value.text.size() + 1) * 2)));
        case REG_MULTI_SZ: {
            std::wstring all;
            for (const auto& t : value.texts) {
                all += t;
                all.push_back(L'\0');
            }
            all.push_back(L'\0');
            return FromWin32(RegSetValueExW(key, name, 0, REG_MULTI_SZ, all.data(),
                                            static_cast<DWORD>(all.size() * 2)));
        }
        default:
            return FromWin32(RegSetValueExW(key, name, 0, value.type, value.bytes.data(),
                                            static_cast<DWORD>(value.bytes.size())));
    }
}

HRESULT RegisterNode(HKEY parent, const ScriptNode& node);

HRESULT RegisterChildren(HKEY key, const std::vector<ScriptNode>& children) {
    for (const ScriptNode& child : children) {
        HRESULT hr = child.isValue ? WriteValue(key, child.name.c_str(), *child.value)
                                   : RegisterNode(key, child);
        if (FAILED(hr))
            return hr;
    }
    return S_OK;
}

HRESULT RegisterNode(HKEY parent, const ScriptNode& node) {
    if (node.flag == KeyFlag::kDelete)
        return IgnoringMissing(RegDeleteTreeW(parent, node.name.c_str()));
    if (node.flag == KeyFlag::kForceRemove) {
        HRESULT hr = IgnoringMissing(RegDeleteTreeW(parent, node.name.c_str()));
        if (FAILED(hr))
            return hr;
    }
    HKEY key = nullptr;
    HRESULT hr =
        FromWin32(RegCreateKeyExW(parent, node.name.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_ALL_ACCESS, nullptr, &key, nullptr));
    if (FAILED(hr))
        return hr;
    if (node.value)
        hr = WriteValue(key, nullptr, *node.value);
    if (SUCCEEDED(hr))
        hr = RegisterChildren(key, node.children);
    RegCloseKey(key);
    return hr;
}

bool HoldsNoRemove(const ScriptNode& node) {
    for (const ScriptNode& child : node.children) {
        if (!child.isValue && (child.flag == KeyFlag::kNoRemove || HoldsNoRemove(child)))
            return true;
    }
    return false;
}

HRESULT UnregisterNode(HKEY parent, const ScriptNode& node);

HRESULT UnregisterChildren(HKEY key, const std::vector<ScriptNode>& children) {
    for (const ScriptNode& child : children) {
        HRESULT hr = child.isValue ? IgnoringMissing(RegDeleteValueW(key, child.name.c_str()))
                                   : UnregisterNode(key, child);
        if (FAILED(hr))
            return hr;
    }
    return S_OK;
}

HRESULT UnregisterNode(HKEY parent, const ScriptNode& node) {
    if (node.flag == KeyFlag::kDelete)
        return S_OK;
    if (node.flag != KeyFlag::kNoRemove && !HoldsNoRemove(node))
        return IgnoringMissing(RegDeleteTreeW(parent, node.name.c_str()));
    HKEY key = nullptr;
    LSTATUS status = RegOpenKeyExW(parent, node.name.c_str(), 0, KEY_ALL_ACCESS, &key);
    if (status != ERROR_SUCCESS)
        return IgnoringMissing(status);
    HRESULT hr = UnregisterChildren(key, node.children);
    RegCloseKey(key);
    return hr;
}

HRESULT LastResourceError() {
    const DWORD error = GetLastError();
    return error == ERROR_SUCCESS ? E_FAIL : HRESULT_FROM_WIN32(error);
}

}  // namespace

void Registrar::AddReplacement(const std::wstring& name, const std::wstring& value) {
    m_replacements[UpperAscii(name)] = value;
}

HRESULT Registrar::Replace(const std::wstring& script, std::wstring* out) const {
    out->clear();
    for (std::size_t i = 0; i < script.size(); ++i) {
        if (script[i] != L'%') {
            out->push_back(script[i]);
            continue;
        }
        const std::size_t end = script.find(L'%', i + 1);
        if (end == std::wstring::npos)
            return DISP_E_EXCEPTION;
        if (end == i + 1) {
            out->push_back(L'%');
        } else {
            auto found = m_replacements.find(UpperAscii(script.substr(i + 1, end - i - 1)));
            if (found == m_replacements.end())
                return DISP_E_EXCEPTION;
            *out += found->second;
        }
        i = end;
    }
    return S_OK;
}

HRESULT Registrar::Apply(const std::wstring& script, bool doRegister) {
    std::wstring text;
    HRESULT hr = Replace(script, &text);
    if (FAILED(hr))
        return hr;
    std::vector<Token> tokens;
    if (!Tokenize(text, &tokens))
        return DISP_E_EXCEPTION;
    std::vector<ScriptRoot> roots;
    if (!Parser(std::move(tokens)).Parse(&roots))
        return DISP_E_EXCEPTION;
    for (const ScriptRoot& root : roots) {
        HKEY base = root.key;
        HKEY classes = nullptr;
        if (root.classes && m_perUser) {
            LSTATUS status = doRegister
                                 ? RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Classes", 0,
                                                   nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                                                   nullptr, &classes, nullptr)
                                 : RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Classes", 0,
                                                 KEY_ALL_ACCESS, &classes);
            if (status == ERROR_FILE_NOT_FOUND && !doRegister)
                continue;  // nothing of this user's to take back
            if (status != ERROR_SUCCESS)
                return FromWin32(status);
            base = classes;
        }
        // A root itself is never removed: its keys are taken back one by one.
        hr = doRegister ? RegisterChildren(base, root.children)
                        : UnregisterChildren(base, root.children);
        if (classes)
            RegCloseKey(classes);
        if (FAILED(hr))
            return hr;
    }
    return S_OK;
}

HRESULT Registrar::StringRegister(const std::wstring& script) {
    return Apply(script, true);
}

HRESULT Registrar::StringUnregister(const std::wstring& script) {
    return Apply(script, false);
}

bool Registrar::LoadScript(HMODULE module, WORD id, const WCHAR* type, std::wstring* script) {
    HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(id), type);
    if (!resource)
        return false;
    HGLOBAL loaded = LoadResource(module, resource);
    const auto* bytes = static_cast<const BYTE*>(LockResource(loaded));
    const DWORD size = SizeofResource(module, resource);
    if (!bytes)
        return false;
    script->clear();
    if (size >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
        for (DWORD i = 2; i + 1 < size; i += 2)
            script->push_back(static_cast<wchar_t>(bytes[i] | (bytes[i + 1] << 8)));
        return true;
    }
    if (size == 0)
        return true;
    const char* text = reinterpret_cast<const char*>(bytes);
    const int length = MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(size), nullptr, 0);
    if (length <= 0)
        return false;
    script->resize(static_cast<std::size_t>(length));
    MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(size), script->data(), length);
    return true;
}

HRESULT Registrar::ResourceRegister(HMODULE module, WORD id, const WCHAR* type) {
    std::wstring script;
    if (!LoadScript(module, id, type, &script))
        return LastResourceError();
    return StringRegister(script);
}

HRESULT Registrar::ResourceUnregister(HMODULE module, WORD id, const WCHAR* type) {
    std::wstring script;
    if (!LoadScript(module, id, type, &script))
        return LastResourceError();
    return StringUnregister(script);
}

}  // namespace com
