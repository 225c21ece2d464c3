#include "platform/win/Guid.h"

#include <cstdio>
#include <random>

#include "platform/win/Errors.h"

namespace win {
namespace {

int HexValue(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
}

bool ParseHex(std::wstring_view s, std::uint64_t& value) {
    value = 0;
    for (wchar_t c : s) {
        int v = HexValue(c);
        if (v < 0) return false;
        value = value << 4 | static_cast<unsigned>(v);
    }
    return true;
}

}  // namespace

std::optional<GUID> ParseGuid(std::wstring_view t) {
    if (t.size() == 38) {
        if (t.front() != L'{' || t.back() != L'}') return std::nullopt;
        t = t.substr(1, 36);
    }
    if (t.size() != 36 || t[8] != L'-' || t[13] != L'-' || t[18] != L'-' || t[23] != L'-') {
        return std::nullopt;
    }
    GUID g;
    std::uint64_t v;
    if (!ParseHex(t.substr(0, 8), v)) return std::nullopt;
    g.Data1 = static_cast<DWORD>(v);
    if (!ParseHex(t.substr(9, 4), v)) return std::nullopt;
    g.Data2 = static_cast<WORD>(v);
    if (!ParseHex(t.substr(14, 4), v)) return std::nullopt;
    g.Data3 = static_cast<WORD>(v);
    for (int i = 0; i < 8; ++i) {
        std::size_t pos = i < 2 ? 19 + 2 * i : 24 + 2 * (i - 2);
        if (!ParseHex(t.substr(pos, 2), v)) return std::nullopt;
        g.Data4[i] = static_cast<BYTE>(v);
    }
    return g;
}

std::wstring GuidToString(REFGUID g) {
    wchar_t buf[40];
    std::swprintf(buf, 40, L"{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1,
                  g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                  g.Data4[5], g.Data4[6], g.Data4[7]);
    return buf;
}

std::array<BYTE, 16> GuidToBytes(REFGUID g) {
    std::array<BYTE, 16> b{};
    for (int i = 0; i < 4; ++i) b[i] = static_cast<BYTE>(g.Data1 >> (8 * i));
    for (int i = 0; i < 2; ++i) b[4 + i] = static_cast<BYTE>(g.Data2 >> (8 * i));
    for (int i = 0; i < 2; ++i) b[6 + i] = static_cast<BYTE>(g.Data3 >> (8 * i));
    for (int i = 0; i < 8; ++i) b[8 + i] = g.Data4[i];
    return b;
}

GUID GuidFromBytes(const BYTE* b) {
    GUID g;
    g.Data1 = static_cast<DWORD>(b[0]) | static_cast<DWORD>(b[1]) << 8 |
              static_cast<DWORD>(b[2]) << 16 | static_cast<DWORD>(b[3]) << 24;
    g.Data2 = static_cast<WORD>(b[4] | b[5] << 8);
    g.Data3 = static_cast<WORD>(b[6] | b[7] << 8);
    for (int i = 0; i < 8; ++i) g.Data4[i] = b[8 + i];
    return g;
}

GUID NewGuid() {
    static thread_local std::mt19937_64 rng{std::random_device{}()};
    std::array<BYTE, 16> b{};
    for (int i = 0; i < 16; i += 8) {
        std::uint64_t r = rng();
        for (int k = 0; k < 8; ++k) b[i + k] = static_cast<BYTE>(r >> (8 * k));
    }
    GUID g = GuidFromBytes(b.data());
    g.Data3 = static_cast<WORD>((g.Data3 & 0x0FFF) | 0x4000);
    g.Data4[0] = static_cast<BYTE>((g.Data4[0] & 0x3F) | 0x80);
    return g;
}

}  // namespace win

int StringFromGUID2(REFGUID guid, wchar_t* out, int cchMax) {
    std::wstring s = win::GuidToString(guid);
    if (!out || cchMax < static_cast<int>(s.size()) + 1) return 0;
    for (std::size_t i = 0; i < s.size(); ++i) out[i] = s[i];
    out[s.size()] = L'\0';
    return static_cast<int>(s.size()) + 1;
}

HRESULT CLSIDFromString(const wchar_t* text, CLSID* out) {
    if (!text || !out) return E_INVALIDARG;
    auto g = win::ParseGuid(text);
    if (!g || std::wstring_view(text).size() != 38) return CO_E_CLASSSTRING;
    *out = *g;
    return S_OK;
}

HRESULT IIDFromString(const wchar_t* text, IID* out) {
    HRESULT hr = CLSIDFromString(text, out);
    return hr == CO_E_CLASSSTRING ? E_INVALIDARG : hr;
}

HRESULT CoCreateGuid(GUID* out) {
    if (!out) return E_INVALIDARG;
    *out = win::NewGuid();
    return S_OK;
}
