// Module resources: finding, loading and sizing resources of a module, and
// string-table strings, with the platform's semantics.
//
// A module's resources are those its resource compiler (qmrc, via
// qm_add_resources) placed in its resource section; they are read from the
// module's file and cached (ResourceImage.h). HRSRC, HGLOBAL and the pointers
// LockResource gives stay valid for the life of the process, and the bytes
// they point at are read-only. A null HMODULE means the executable. All calls
// are thread-safe.
#pragma once

#include <cstdint>

#include "platform/win/Module.h"
#include "platform/win/Types.h"

struct HRSRC__;
using HRSRC = HRSRC__*;
using HGLOBAL = void*;

// A resource type or name is either a pointer to a text name or an ordinal
// smuggled in the pointer's low 16 bits, as the platform does.
inline const WCHAR* MAKEINTRESOURCEW(WORD id) {
    return reinterpret_cast<const WCHAR*>(static_cast<std::uintptr_t>(id));
}
inline const WCHAR* MAKEINTRESOURCE(WORD id) {
    return MAKEINTRESOURCEW(id);
}
inline bool IS_INTRESOURCE(const WCHAR* p) {
    return (reinterpret_cast<std::uintptr_t>(p) >> 16) == 0;
}

inline const WCHAR* const RT_BITMAP = MAKEINTRESOURCEW(2);
inline const WCHAR* const RT_ICON = MAKEINTRESOURCEW(3);
inline const WCHAR* const RT_DIALOG = MAKEINTRESOURCEW(5);
inline const WCHAR* const RT_STRING = MAKEINTRESOURCEW(6);
inline const WCHAR* const RT_RCDATA = MAKEINTRESOURCEW(10);
inline const WCHAR* const RT_GROUP_ICON = MAKEINTRESOURCEW(14);
inline const WCHAR* const RT_VERSION = MAKEINTRESOURCEW(16);

// Language identifiers: primary language in the low 10 bits, sublanguage in
// the high 6; an LCID carries the language identifier in its low 16 bits.
constexpr WORD LANG_NEUTRAL = 0x00;
constexpr WORD LANG_GERMAN = 0x07;
constexpr WORD LANG_ENGLISH = 0x09;
constexpr WORD LANG_SPANISH = 0x0A;
constexpr WORD LANG_FRENCH = 0x0C;
constexpr WORD SUBLANG_NEUTRAL = 0x00;
constexpr WORD SUBLANG_DEFAULT = 0x01;
constexpr WORD SUBLANG_SYS_DEFAULT = 0x02;
constexpr LANGID MAKELANGID(WORD primary, WORD sub) {
    return static_cast<LANGID>((sub << 10) | primary);
}
constexpr WORD PRIMARYLANGID(LANGID lang) {
    return static_cast<WORD>(lang & 0x3FF);
}
constexpr WORD SUBLANGID(LANGID lang) {
    return static_cast<WORD>(lang >> 10);
}
constexpr LANGID LANGIDFROMLCID(LCID lcid) {
    return static_cast<LANGID>(lcid & 0xFFFF);
}

// The resource of that type and name in the language, else the nearest one
// the module has: the same primary language (SUBLANG_NEUTRAL first, then the
// lowest sublanguage), then the neutral language (0x0000, then 0x0400 and
// 0x0800), then any. Names and types are ordinals (MAKEINTRESOURCE), text
// names (case-insensitive) or "#123" for an ordinal. Null with GetLastError()
// ERROR_RESOURCE_TYPE_NOT_FOUND / ERROR_RESOURCE_NAME_NOT_FOUND, or
// ERROR_RESOURCE_DATA_NOT_FOUND when the module carries no (undamaged)
// resources, ERROR_MOD_NOT_FOUND for a value that names no module.
HRSRC FindResourceExW(HMODULE module, const WCHAR* type, const WCHAR* name, WORD language);
// FindResourceExW in the calling thread's language (GetThreadLocale). Note the
// order of the arguments: name before type.
HRSRC FindResourceW(HMODULE module, const WCHAR* name, const WCHAR* type);
// The resource's data; null for a null resource (ERROR_INVALID_HANDLE).
HGLOBAL LoadResource(HMODULE module, HRSRC resource);
// The first byte of the data (read-only); null for null.
void* LockResource(HGLOBAL data);
// The size of the data in bytes; 0 for a null resource (ERROR_INVALID_HANDLE).
DWORD SizeofResource(HMODULE module, HRSRC resource);
// Obsolete on the platform too: nothing to free; returns FALSE.
BOOL FreeResource(HGLOBAL data);

// String id from the module's string tables in the calling thread's language
// (as FindResourceW): copies at most bufferMax - 1 characters and a
// terminator, and returns the count copied. bufferMax 0: *buffer (a
// const WCHAR**) receives a read-only pointer to the whole string, which is
// NUL-terminated here, and its length is returned. 0 when the string is
// missing or empty (GetLastError() as for FindResourceExW) or buffer is null
// (ERROR_INVALID_PARAMETER).
int LoadStringW(HINSTANCE instance, UINT id, WCHAR* buffer, int bufferMax);
