// The Win32 registry, kept in one `.reg` file per hive.
//
// Hives: HKEY_CLASSES_ROOT, HKEY_CURRENT_USER and HKEY_LOCAL_MACHINE, each in
// win::UserDirectory() + "/registry/<HIVE NAME>.reg", in the format regedit
// imports and exports (see RegFile.h). HKEY_CLASSES_ROOT is a hive of its own
// here, not the platform's merged view of the machine's and the user's
// Software\Classes. The hives are re-read when the user directory changes
// (handles opened before then fail with ERROR_KEY_DELETED).
//
// Persistence and processes: every successful change writes the whole hive to
// a new file and renames it into place before the call returns. Each change is
// made under an exclusive flock of "<hive file>.lock", after reloading the
// file if another process changed it, so that the add-in and its helper
// programs (separate processes of one user) see and keep each other's writes.
// Reading calls reload the file when its identity (inode, size, mtime) has
// changed since it was last read.
//
// A hive file that can't be parsed is damaged: every call on that hive fails
// with ERROR_BADDB, a diagnostic naming the file and line goes to stderr once,
// and the file is never written (changes fail too) until it is repaired or
// removed.
//
// Names: key and value names are compared case-insensitively and keep the
// case they were created with. Enumeration: subkeys in the order of their
// upper-cased names (as the platform enumerates them); values in the order of
// their creation (a value set again keeps its place).
//
// Access: handles carry the access they were opened with; calls check it as
// the platform does and fail with ERROR_ACCESS_DENIED (KEY_QUERY_VALUE for
// queries and value enumeration, KEY_SET_VALUE for setting and deleting
// values, KEY_CREATE_SUB_KEY for creating subkeys, KEY_ENUMERATE_SUB_KEYS for
// subkey enumeration). The predefined keys have full access. A handle whose key
// was deleted (by this or another process) fails with ERROR_KEY_DELETED; only
// RegCloseKey still works on it.
//
// Sizes of text data: the platform stores REG_SZ, REG_EXPAND_SZ and
// REG_MULTI_SZ data as UTF-16LE, 2 bytes per code unit, and every byte count
// here (cbData, *lpcbData, the maximum in RegQueryInfoKeyW) is a count of those
// stored bytes, as on the platform. A caller's wide buffer holds one wchar_t
// per stored unit: text data passed or received through a `wchar_t*`
// overload takes cbData / 2 (rounded up) elements, so a buffer of N wchar_t
// is offered as 2 * N bytes (`sizeof(buffer) / sizeof(wchar_t) * 2`).
// Characters above U+FFFF have no single unit and are stored as U+FFFD.
// Through the `BYTE*` forms the stored bytes pass unchanged, for every type
// (the text types as UTF-16LE bytes): reading a value of unknown type into a
// DWORD through a BYTE* never writes more than the buffer's real size.
//
// Handles are per process; all calls are thread-safe. Return values are
// Win32 error codes (ERROR_SUCCESS on success); the calls don't set the
// thread's last error, as on the platform.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/win/Clock.h"
#include "platform/win/Errors.h"
#include "platform/win/Types.h"

struct HKEY__;
using HKEY = HKEY__*;
using PHKEY = HKEY*;
using LSTATUS = LONG;
using REGSAM = DWORD;
struct SECURITY_ATTRIBUTES;

inline HKEY const HKEY_CLASSES_ROOT =
    reinterpret_cast<HKEY>(static_cast<std::intptr_t>(static_cast<LONG>(0x80000000)));
inline HKEY const HKEY_CURRENT_USER =
    reinterpret_cast<HKEY>(static_cast<std::intptr_t>(static_cast<LONG>(0x80000001)));
inline HKEY const HKEY_LOCAL_MACHINE =
    reinterpret_cast<HKEY>(static_cast<std::intptr_t>(static_cast<LONG>(0x80000002)));

// Value types.
constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_DWORD_LITTLE_ENDIAN = 4;
constexpr DWORD REG_MULTI_SZ = 7;
constexpr DWORD REG_QWORD = 11;

// Access rights.
constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_SET_VALUE = 0x0002;
constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr REGSAM KEY_NOTIFY = 0x0010;
constexpr REGSAM KEY_CREATE_LINK = 0x0020;
constexpr REGSAM KEY_WOW64_64KEY = 0x0100;
constexpr REGSAM KEY_WOW64_32KEY = 0x0200;
constexpr REGSAM MAXIMUM_ALLOWED = 0x02000000;
constexpr REGSAM KEY_READ = 0x00020019;
constexpr REGSAM KEY_EXECUTE = KEY_READ;
constexpr REGSAM KEY_WRITE = 0x00020006;
constexpr REGSAM KEY_ALL_ACCESS = 0x000F003F;

// RegCreateKeyExW options and dispositions. Volatile keys are kept like
// others (persisted); nothing here outlives a "reboot".
constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
constexpr DWORD REG_OPTION_VOLATILE = 1;
constexpr DWORD REG_CREATED_NEW_KEY = 1;
constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

// Opens an existing key. subKey null or empty opens hKey's key again. On
// failure *result is null: ERROR_FILE_NOT_FOUND (no such key), ERROR_BADDB
// (damaged hive), ERROR_KEY_DELETED, ERROR_INVALID_HANDLE, ERROR_BAD_PATHNAME
// (subKey starting with a backslash), ERROR_INVALID_PARAMETER (null result).
LSTATUS RegOpenKeyExW(HKEY hKey, const WCHAR* subKey, DWORD options, REGSAM desired, PHKEY result);

// Opens or creates a key (with any missing keys on its path); *disposition
// (optional) is REG_CREATED_NEW_KEY or REG_OPENED_EXISTING_KEY. Creating needs
// KEY_CREATE_SUB_KEY on hKey. keyClass and securityAttributes are ignored.
// Errors as RegOpenKeyExW, plus ERROR_ACCESS_DENIED and ERROR_CANTWRITE
// (the hive file couldn't be written; nothing was created), and
// ERROR_INVALID_PARAMETER for a name with a line break (which the hive file
// format can't hold; the platform would accept it).
LSTATUS RegCreateKeyExW(HKEY hKey, const WCHAR* subKey, DWORD reserved, WCHAR* keyClass,
                        DWORD options, REGSAM desired,
                        const SECURITY_ATTRIBUTES* securityAttributes, PHKEY result,
                        DWORD* disposition);

// Closes a handle; the predefined keys close as a no-op. ERROR_INVALID_HANDLE
// for a handle that isn't open.
LSTATUS RegCloseKey(HKEY hKey);

// Reads a value (valueName null or empty = the default value). type and
// cbData are optional. data null: only *cbData := the size. A buffer smaller
// than the size: *cbData := the size, ERROR_MORE_DATA, buffer undefined.
// ERROR_FILE_NOT_FOUND for a missing value; ERROR_INVALID_PARAMETER for data
// without cbData; ERROR_ACCESS_DENIED without KEY_QUERY_VALUE. Sizes count
// stored bytes (see the header comment): the BYTE* form copies them as they
// are, the wchar_t* form turns text units into wchar_t elements.
LSTATUS RegQueryValueExW(HKEY hKey, const WCHAR* valueName, DWORD* reserved, DWORD* type,
                         BYTE* data, DWORD* cbData);
LSTATUS RegQueryValueExW(HKEY hKey, const WCHAR* valueName, DWORD* reserved, DWORD* type,
                         WCHAR* data, DWORD* cbData);
// A null data argument: the size query of either form.
inline LSTATUS RegQueryValueExW(HKEY hKey, const WCHAR* valueName, DWORD* reserved, DWORD* type,
                                std::nullptr_t, DWORD* cbData) {
    return RegQueryValueExW(hKey, valueName, reserved, type, static_cast<BYTE*>(nullptr), cbData);
}

// Creates or replaces a value. The BYTE* form stores cbData bytes as given;
// the wchar_t* form stores text types from cbData / 2 (rounded up) wchar_t
// elements and other types from cbData bytes of the buffer. ERROR_ACCESS_DENIED
// without KEY_SET_VALUE; ERROR_CANTWRITE when the hive file can't be written
// (the value is then unchanged); ERROR_INVALID_PARAMETER for a value name
// with a line break (as for key names).
LSTATUS RegSetValueExW(HKEY hKey, const WCHAR* valueName, DWORD reserved, DWORD type,
                       const BYTE* data, DWORD cbData);
LSTATUS RegSetValueExW(HKEY hKey, const WCHAR* valueName, DWORD reserved, DWORD type,
                       const WCHAR* data, DWORD cbData);
inline LSTATUS RegSetValueExW(HKEY hKey, const WCHAR* valueName, DWORD reserved, DWORD type,
                              std::nullptr_t, DWORD cbData) {
    return RegSetValueExW(hKey, valueName, reserved, type, static_cast<const BYTE*>(nullptr),
                          cbData);
}

// Removes a value. ERROR_FILE_NOT_FOUND when it doesn't exist;
// ERROR_ACCESS_DENIED without KEY_SET_VALUE.
LSTATUS RegDeleteValueW(HKEY hKey, const WCHAR* valueName);
inline LSTATUS RegDeleteValue(HKEY hKey, const WCHAR* valueName) {
    return RegDeleteValueW(hKey, valueName);
}

// Removes the key hKey\subKey, which must have no subkeys (else
// ERROR_ACCESS_DENIED). As on the platform the access of hKey doesn't matter.
// subKey empty removes hKey's own key. The root of a hive can't be removed
// (ERROR_ACCESS_DENIED). ERROR_FILE_NOT_FOUND when the key doesn't exist.
LSTATUS RegDeleteKeyW(HKEY hKey, const WCHAR* subKey);

// Removes hKey\subKey with all its subkeys and values; subKey null or empty
// removes the values and subkeys of hKey itself and keeps the key. hKey needs
// DELETE, KEY_ENUMERATE_SUB_KEYS and KEY_QUERY_VALUE (and KEY_SET_VALUE when
// subKey is empty), else ERROR_ACCESS_DENIED.
LSTATUS RegDeleteTreeW(HKEY hKey, const WCHAR* subKey);

// The index-th subkey in enumeration order. *cchName: in, the buffer's size
// in wchar_t including the terminator; out, the name's length without it.
// ERROR_NO_MORE_ITEMS past the end; ERROR_MORE_DATA for a short buffer.
// Class names are always empty; lastWriteTime (optional) gets the key's last
// change. ERROR_ACCESS_DENIED without KEY_ENUMERATE_SUB_KEYS.
LSTATUS RegEnumKeyExW(HKEY hKey, DWORD index, WCHAR* name, DWORD* cchName, DWORD* reserved,
                      WCHAR* keyClass, DWORD* cchClass, FILETIME* lastWriteTime);

// The index-th value in enumeration order: name as RegEnumKeyExW, data as
// RegQueryValueExW (both forms). ERROR_ACCESS_DENIED without KEY_QUERY_VALUE.
LSTATUS RegEnumValueW(HKEY hKey, DWORD index, WCHAR* valueName, DWORD* cchValueName,
                      DWORD* reserved, DWORD* type, BYTE* data, DWORD* cbData);
LSTATUS RegEnumValueW(HKEY hKey, DWORD index, WCHAR* valueName, DWORD* cchValueName,
                      DWORD* reserved, DWORD* type, WCHAR* data, DWORD* cbData);
inline LSTATUS RegEnumValueW(HKEY hKey, DWORD index, WCHAR* valueName, DWORD* cchValueName,
                             DWORD* reserved, DWORD* type, std::nullptr_t, DWORD* cbData) {
    return RegEnumValueW(hKey, index, valueName, cchValueName, reserved, type,
                         static_cast<BYTE*>(nullptr), cbData);
}

// Counts and maxima of a key; every out pointer is optional. Name lengths in
// wchar_t without the terminator, data in stored bytes. The class is empty
// and there is no security descriptor (size 0). ERROR_ACCESS_DENIED without
// KEY_QUERY_VALUE.
LSTATUS RegQueryInfoKeyW(HKEY hKey, WCHAR* keyClass, DWORD* cchClass, DWORD* reserved,
                         DWORD* subKeys, DWORD* maxSubKeyLen, DWORD* maxClassLen, DWORD* values,
                         DWORD* maxValueNameLen, DWORD* maxValueLen, DWORD* cbSecurityDescriptor,
                         FILETIME* lastWriteTime);

// Writes the data of a registry value: flushes the hive. Every change is
// written at once already, so this only checks the handle.
LSTATUS RegFlushKey(HKEY hKey);

namespace win {

// Applies a .reg file (host path) to the hives, as regedit's import does:
// sections create keys, "[-key]" removes a subtree, "name"=- removes a value.
// The file is checked whole first; a defect changes nothing and gives
// ERROR_BADDB with a diagnostic (file and line) on stderr. ERROR_FILE_NOT_FOUND
// for a missing file, ERROR_INVALID_PARAMETER for a key outside the three
// hives.
LSTATUS ImportRegFile(const std::string& path);
// The same for the text of a .reg file in memory; source names it in
// diagnostics. Each hive it touches is written once, so many values cost one
// write.
LSTATUS ImportRegData(const std::vector<BYTE>& bytes, const std::string& source);

// Writes a whole hive (HKEY_CLASSES_ROOT, HKEY_CURRENT_USER or
// HKEY_LOCAL_MACHINE) to a host file in regedit's export format (the format of
// the hive files themselves).
LSTATUS ExportRegFile(HKEY hive, const std::string& path);

// Host path of a hive's file.
std::string HiveFilePath(HKEY hive);

}  // namespace win
