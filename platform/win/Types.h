// Basic Windows data types of the stand-in platform.
//
// Wide text: WCHAR is the platform's wchar_t (32 bits on Linux). In memory the
// product keeps wide text as std::wstring; conversions to UTF-16LE happen only
// where a file or wire format needs it (see Text.h).
#pragma once

#include <cstdint>

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using UINT = std::uint32_t;
using ULONG = std::uint32_t;
using LONG = std::int32_t;
using INT = std::int32_t;
using SHORT = std::int16_t;
using USHORT = std::uint16_t;
using BOOL = std::int32_t;
using LONGLONG = std::int64_t;
using ULONGLONG = std::uint64_t;
using DWORD_PTR = std::uintptr_t;
using UINT_PTR = std::uintptr_t;
using LONG_PTR = std::intptr_t;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;
using WCHAR = wchar_t;
using LCID = DWORD;
using LANGID = WORD;
using HRESULT = std::int32_t;
using SCODE = std::int32_t;
// OLE automation date: days since 1899-12-30, fraction = time of day.
using DATE = double;

constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;
constexpr int MAX_PATH = 260;

// Standard access rights shared by every kind of object (files, keys, ...).
constexpr DWORD DELETE = 0x00010000;
constexpr DWORD READ_CONTROL = 0x00020000;
constexpr DWORD WRITE_DAC = 0x00040000;
constexpr DWORD WRITE_OWNER = 0x00080000;
constexpr DWORD SYNCHRONIZE = 0x00100000;

// Halves of a 32-bit (or pointer-sized) value, as message parameters and
// version numbers carry them.
constexpr WORD LOWORD(std::uintptr_t v) { return static_cast<WORD>(v & 0xFFFF); }
constexpr WORD HIWORD(std::uintptr_t v) { return static_cast<WORD>((v >> 16) & 0xFFFF); }
constexpr DWORD MAKELONG(WORD low, WORD high) {
    return static_cast<DWORD>(low) | (static_cast<DWORD>(high) << 16);
}
