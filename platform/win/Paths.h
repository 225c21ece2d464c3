// Windows paths over host directories: drive letters, the process's current
// directory, the temporary directory and the shell's special folders.
//
// Product code names files with Windows paths ("C:\Users\ann\AppData\Local\x",
// relative paths, '/' or '\' as separators). Each drive letter maps to one host
// directory: C: to <user directory>/drive_c, P: to the install directory (the
// add-in's modules and helper programs); more come from MapDrive. Resolution is
// lexical: "." and ".." are folded without looking at the disk and ".." never
// climbs above the drive root. Drive letters are case-insensitive; the other
// components keep the case they are given (the host file system decides).
//
// All calls are thread-safe. The current directory is one per process, as on
// the platform.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/win/Handle.h"
#include "platform/win/Types.h"

struct HWND__;
using HWND = HWND__*;

namespace win {

// Maps a drive letter (either case) to a host directory; an empty hostDir
// removes an explicit mapping, so C: and P: fall back to their defaults
// (which follow SetUserDirectory / SetInstallDirectory).
void MapDrive(wchar_t letter, const std::string& hostDir);

// The absolute, normalised Windows form of a path ("C:\a\b", no trailing
// backslash except for a drive root), relative paths resolved against the
// current directory. nullopt (and SetLastError) for an empty path
// (ERROR_PATH_NOT_FOUND), a UNC or device path (ERROR_BAD_PATHNAME), or a
// character Windows forbids in names (ERROR_INVALID_NAME).
std::optional<std::wstring> FullWindowsPath(std::wstring_view windowsPath);

// The host path of a Windows path (UTF-8), or nullopt with SetLastError when
// the path is malformed (see FullWindowsPath) or its drive is not mapped
// (ERROR_PATH_NOT_FOUND). Never names anything outside the drive's directory.
std::optional<std::string> HostPath(std::wstring_view windowsPath);

// Inverse of HostPath: the Windows path of an absolute host path, under the
// mapped drive with the longest matching directory. A host path that no
// drive covers is given under Z:, which maps to the host root "/" unless
// mapped otherwise (as the common Windows compatibility layers do).
std::wstring WindowsPath(const std::string& hostPath);

// The user's name in profile paths: env QUILLMERE_USER_NAME, else the base
// name of the user directory.
std::wstring UserName();
// "C:\Users\<user>", without trailing backslash.
std::wstring UserProfileDirectory();

// Makes SHGetFolderPathW and SHGetSpecialFolderPathW fail (E_FAIL / FALSE)
// until called again with false, so callers can test their fall-back.
void SetSpecialFolderFailureForTesting(bool fail);

// Path text at the host boundary: UTF-8 <-> wide. Invalid UTF-8 bytes become
// U+FFFD.
std::string PathToUtf8(std::wstring_view text);
std::wstring PathFromUtf8(std::string_view text);

}  // namespace win

// Shell folder ids (the CSIDL values of the shell's documentation).
constexpr int CSIDL_DESKTOP = 0x0000;
constexpr int CSIDL_PERSONAL = 0x0005;
constexpr int CSIDL_DESKTOPDIRECTORY = 0x0010;
constexpr int CSIDL_APPDATA = 0x001A;
constexpr int CSIDL_LOCAL_APPDATA = 0x001C;
constexpr int CSIDL_FLAG_CREATE = 0x8000;
constexpr DWORD SHGFP_TYPE_CURRENT = 0;
constexpr DWORD SHGFP_TYPE_DEFAULT = 1;

// Copies the current directory ("C:\" initially; a drive root keeps its
// backslash, other directories have none) into buffer. Returns its length
// without the terminator; when bufferLength is too small, returns the size
// needed including the terminator and copies nothing.
DWORD GetCurrentDirectoryW(DWORD bufferLength, WCHAR* buffer);
// Makes an existing directory current. FALSE with ERROR_FILE_NOT_FOUND /
// ERROR_PATH_NOT_FOUND when it doesn't exist, ERROR_DIRECTORY for a file.
BOOL SetCurrentDirectoryW(const WCHAR* path);

// The full Windows path of fileName (see win::FullWindowsPath); filePart,
// when not null, receives a pointer to the last component inside buffer (null
// when the path ends in a backslash). Return value as GetCurrentDirectoryW;
// 0 with SetLastError on a malformed path.
DWORD GetFullPathNameW(const WCHAR* fileName, DWORD bufferLength, WCHAR* buffer, WCHAR** filePart);

// "C:\Users\<user>\AppData\Local\Temp\" (with the trailing backslash), created
// on the host when missing. Return value as GetCurrentDirectoryW; 0 with
// SetLastError when the directory can't be created.
DWORD GetTempPathW(DWORD bufferLength, WCHAR* buffer);

// The folder of csidl (optionally or-ed with CSIDL_FLAG_CREATE) into path,
// which holds MAX_PATH characters; the folder is created on demand.
// CSIDL_LOCAL_APPDATA: "C:\Users\<user>\AppData\Local"; CSIDL_APPDATA:
// "...\AppData\Roaming"; CSIDL_DESKTOP, CSIDL_DESKTOPDIRECTORY: "...\Desktop";
// CSIDL_PERSONAL: "...\Documents". S_OK; E_INVALIDARG for another csidl or a
// null path; E_FAIL when the folder can't be made or failure is simulated.
// hwnd, token and flags are accepted and ignored.
HRESULT SHGetFolderPathW(HWND hwnd, int csidl, HANDLE token, DWORD flags, WCHAR* path);
// Same folders; TRUE on success, FALSE otherwise. create asks for creation
// (folders are always created here).
BOOL SHGetSpecialFolderPathW(HWND hwnd, WCHAR* path, int csidl, BOOL create);

// The shell's path-text helpers (no disk access), on buffers of at least
// MAX_PATH characters.
// The last component of path ("b.txt" of "C:\a\b.txt"; "a\" of "C:\a\"):
// a pointer into path.
const WCHAR* PathFindFileNameW(const WCHAR* path);
// Cuts the last component and its backslash ("C:\a\b.txt" -> "C:\a", "C:\a"
// -> "C:\"). FALSE when nothing was cut.
BOOL PathRemoveFileSpecW(WCHAR* path);
// Appends a backslash unless path ends in one; returns the terminator's
// address, or null when the result would not fit MAX_PATH.
WCHAR* PathAddBackslashW(WCHAR* path);
