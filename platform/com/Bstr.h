// BSTR: the length-prefixed, NUL-terminated wide string of COM.
//
// Layout as on the platform: a 32-bit byte length stands immediately before
// the characters, and a terminator follows them. A null BSTR is a valid
// empty string. Strings come from the Sys* allocator and are freed with
// SysFreeString by whoever owns them (the COM ownership rules: [in] stays
// the caller's, [out] becomes the caller's).
#pragma once

#include <string>
#include <string_view>

#include "platform/win/Types.h"

using OLECHAR = wchar_t;
using BSTR = OLECHAR*;

// Null on allocation failure (or for a null source in SysAllocString).
BSTR SysAllocString(const OLECHAR* text);
BSTR SysAllocStringLen(const OLECHAR* text, UINT length);
// length bytes; the string holds them verbatim (possibly not whole characters).
BSTR SysAllocStringByteLen(const char* bytes, UINT length);
// Replaces *target by a copy of text; FALSE on allocation failure.
INT SysReAllocString(BSTR* target, const OLECHAR* text);
INT SysReAllocStringLen(BSTR* target, const OLECHAR* text, UINT length);
void SysFreeString(BSTR text);
// Characters (0 for null).
UINT SysStringLen(BSTR text);
// Bytes (0 for null).
UINT SysStringByteLen(BSTR text);

// ATL-style owner of one BSTR.
class CComBSTR {
public:
    CComBSTR() = default;
    CComBSTR(const OLECHAR* text) : m_str(SysAllocString(text)) {}
    CComBSTR(std::wstring_view text)
        : m_str(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
    CComBSTR(const std::wstring& text) : CComBSTR(std::wstring_view(text)) {}
    CComBSTR(int length, const OLECHAR* text) : m_str(SysAllocStringLen(text, length)) {}
    CComBSTR(const CComBSTR& other) : m_str(other.Copy()) {}
    CComBSTR(CComBSTR&& other) noexcept : m_str(other.Detach()) {}
    CComBSTR& operator=(const CComBSTR& other);
    CComBSTR& operator=(CComBSTR&& other) noexcept;
    CComBSTR& operator=(const OLECHAR* text);
    ~CComBSTR() { SysFreeString(m_str); }

    operator BSTR() const { return m_str; }
    // Address for an [out] parameter; the string must be empty.
    BSTR* operator&() { return &m_str; }
    BSTR Copy() const { return m_str ? SysAllocStringLen(m_str, Length()) : nullptr; }
    HRESULT CopyTo(BSTR* out) const;
    void Attach(BSTR text);
    BSTR Detach();
    void Empty();
    UINT Length() const { return SysStringLen(m_str); }
    UINT ByteLength() const { return SysStringByteLen(m_str); }
    bool operator!() const { return m_str == nullptr; }
    HRESULT Append(std::wstring_view text);
    CComBSTR& operator+=(std::wstring_view text);
    // Value view: the empty text for null.
    std::wstring_view View() const { return m_str ? std::wstring_view(m_str, Length()) : L""; }
    bool operator==(std::wstring_view text) const { return View() == text; }
    bool operator==(const OLECHAR* text) const {
        return View() == std::wstring_view(text ? text : L"");
    }

    BSTR m_str = nullptr;
};
