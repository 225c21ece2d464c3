// GUIDs: the 16-byte identifiers of COM classes, interfaces and MAPI
// property sets, with their registry text form "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "platform/win/Types.h"

struct GUID {
    DWORD Data1 = 0;
    WORD Data2 = 0;
    WORD Data3 = 0;
    std::array<BYTE, 8> Data4{};

    friend bool operator==(const GUID&, const GUID&) = default;
    friend auto operator<=>(const GUID&, const GUID&) = default;
};
using CLSID = GUID;
using IID = GUID;
using REFGUID = const GUID&;
using REFCLSID = const GUID&;
using REFIID = const GUID&;

inline bool IsEqualGUID(REFGUID a, REFGUID b) { return a == b; }
inline constexpr GUID GUID_NULL{};

namespace win {

// Parses "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" (braces optional, hex
// digits in either case); nullopt for anything else.
std::optional<GUID> ParseGuid(std::wstring_view text);
// Registry form with braces and upper-case digits.
std::wstring GuidToString(REFGUID guid);
// The 16 bytes as stored in files and entry ids: Data1..Data3 little-endian, then Data4.
std::array<BYTE, 16> GuidToBytes(REFGUID guid);
GUID GuidFromBytes(const BYTE* bytes16);
// A new random (version 4) GUID.
GUID NewGuid();

}  // namespace win

// Win32 forms. StringFromGUID2 writes the braced text with its terminator and
// returns its length including the terminator, or 0 when cchMax is too small.
int StringFromGUID2(REFGUID guid, wchar_t* out, int cchMax);
// S_OK, or CO_E_CLASSSTRING for malformed text.
HRESULT CLSIDFromString(const wchar_t* text, CLSID* out);
HRESULT IIDFromString(const wchar_t* text, IID* out);
HRESULT CoCreateGuid(GUID* out);
