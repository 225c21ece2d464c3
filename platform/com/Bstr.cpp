#include "platform/com/Bstr.h"

#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/win/Errors.h"

namespace {

constexpr std::size_t kPrefix = sizeof(std::uint32_t);

BSTR AllocBytes(const void* data, std::size_t bytes) {
    if (bytes > 0x7FFFFFF0u)
        return nullptr;
    // Room for the prefix, the bytes and a full wide terminator.
    auto* block = static_cast<char*>(std::malloc(kPrefix + bytes + sizeof(OLECHAR)));
    if (!block)
        return nullptr;
    auto length = static_cast<std::uint32_t>(bytes);
    std::memcpy(block, &length, kPrefix);
    char* chars = block + kPrefix;
    if (data) {
        std::memcpy(chars, data, bytes);
    } else {
        std::memset(chars, 0, bytes);
    }
    std::memset(chars + bytes, 0, sizeof(OLECHAR));
    return reinterpret_cast<BSTR>(chars);
}

}  // namespace

BSTR SysAllocString(const OLECHAR* text) {
    if (!text)
        return nullptr;
    return AllocBytes(text, std::wcslen(text) * sizeof(OLECHAR));
}

BSTR SysAllocStringLen(const OLECHAR* text, UINT length) {
    return AllocBytes(text, static_cast<std::size_t>(length) * sizeof(OLECHAR));
}

BSTR SysAllocStringByteLen(const char* bytes, UINT length) {
    return AllocBytes(bytes, length);
}

INT SysReAllocString(BSTR* target, const OLECHAR* text) {
    if (!target)
        return FALSE;
    BSTR fresh = SysAllocString(text);
    if (text && !fresh)
        return FALSE;
    SysFreeString(*target);
    *target = fresh;
    return TRUE;
}

INT SysReAllocStringLen(BSTR* target, const OLECHAR* text, UINT length) {
    if (!target)
        return FALSE;
    BSTR fresh = SysAllocStringLen(text, length);
    if (!fresh)
        return FALSE;
    SysFreeString(*target);
    *target = fresh;
    return TRUE;
}

void SysFreeString(BSTR text) {
    if (text)
        std::free(reinterpret_cast<char*>(text) - kPrefix);
}

UINT SysStringByteLen(BSTR text) {
    if (!text)
        return 0;
    std::uint32_t length;
    std::memcpy(&length, reinterpret_cast<char*>(text) - kPrefix, kPrefix);
    return length;
}

UINT SysStringLen(BSTR text) {
    return SysStringByteLen(text) / sizeof(OLECHAR);
}

CComBSTR& CComBSTR::operator=(const CComBSTR& other) {
    if (this != std::addressof(other)) {
        BSTR copy = other.Copy();
        SysFreeString(m_str);
        m_str = copy;
    }
    return *this;
}

CComBSTR& CComBSTR::operator=(CComBSTR&& other) noexcept {
    if (this != std::addressof(other))
        Attach(other.Detach());
    return *this;
}

CComBSTR& CComBSTR::operator=(const OLECHAR* text) {
    if (text != m_str) {
        BSTR copy = SysAllocString(text);
        SysFreeString(m_str);
        m_str = copy;
    }
    return *this;
}

HRESULT CComBSTR::CopyTo(BSTR* out) const {
    if (!out)
        return E_POINTER;
    *out = Copy();
    return (m_str && !*out) ? E_OUTOFMEMORY : S_OK;
}

void CComBSTR::Attach(BSTR text) {
    if (text != m_str) {
        SysFreeString(m_str);
        m_str = text;
    }
}

BSTR CComBSTR::Detach() {
    BSTR s = m_str;
    m_str = nullptr;
    return s;
}

void CComBSTR::Empty() {
    SysFreeString(m_str);
    m_str = nullptr;
}

HRESULT CComBSTR::Append(std::wstring_view text) {
    std::wstring joined(View());
    joined.append(text);
    BSTR fresh = SysAllocStringLen(joined.data(), static_cast<UINT>(joined.size()));
    if (!fresh)
        return E_OUTOFMEMORY;
    Attach(fresh);
    return S_OK;
}

CComBSTR& CComBSTR::operator+=(std::wstring_view text) {
    Append(text);
    return *this;
}
