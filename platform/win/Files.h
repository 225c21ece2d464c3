// The Win32 file API over POSIX files: handles, reading and writing,
// positions, times, attributes, directories, listing with wildcards, delete,
// move and copy.
//
// Paths are Windows paths resolved through Paths.h. Every failing call sets
// the calling thread's last error to the Win32 code the platform gives.
// File handles are kernel handles (Handle.h): CloseHandle closes them, and a
// handle may be used from any thread (each call is one system call on the
// shared file position, as on the platform).
//
// Attributes: FILE_ATTRIBUTE_READONLY is the owner's write bit, and is also
// enforced here (the process may run as a user whom the host lets write
// anyway); HIDDEN, SYSTEM and ARCHIVE live in the extended attribute
// "user.win.attrs" (a little-endian DWORD), or, where the file system has no
// user extended attributes, in a table of this process. A regular file that
// never had its attributes set reports ARCHIVE, as a newly written file does.
// Creation times set through SetFileTime are kept the same way
// ("user.win.btime", a little-endian FILETIME).
#pragma once

#include <cstdint>

#include "platform/win/Clock.h"
#include "platform/win/Handle.h"
#include "platform/win/Types.h"

struct OVERLAPPED;  // overlapped I/O is not supported: always pass null

struct SECURITY_ATTRIBUTES {
    DWORD nLength;
    void* lpSecurityDescriptor;
    BOOL bInheritHandle;
};

union LARGE_INTEGER {
    struct {
        DWORD LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
};

// Access rights.
constexpr DWORD GENERIC_READ = 0x80000000;
constexpr DWORD GENERIC_WRITE = 0x40000000;
constexpr DWORD GENERIC_EXECUTE = 0x20000000;
constexpr DWORD GENERIC_ALL = 0x10000000;
constexpr DWORD FILE_READ_ATTRIBUTES = 0x0080;
constexpr DWORD FILE_WRITE_ATTRIBUTES = 0x0100;

// Share modes (accepted; the host does not lock files).
constexpr DWORD FILE_SHARE_READ = 0x1;
constexpr DWORD FILE_SHARE_WRITE = 0x2;
constexpr DWORD FILE_SHARE_DELETE = 0x4;

// Creation dispositions.
constexpr DWORD CREATE_NEW = 1;
constexpr DWORD CREATE_ALWAYS = 2;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD OPEN_ALWAYS = 4;
constexpr DWORD TRUNCATE_EXISTING = 5;

// Attributes and flags.
constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x00000001;
constexpr DWORD FILE_ATTRIBUTE_HIDDEN = 0x00000002;
constexpr DWORD FILE_ATTRIBUTE_SYSTEM = 0x00000004;
constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x00000010;
constexpr DWORD FILE_ATTRIBUTE_ARCHIVE = 0x00000020;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x00000080;
constexpr DWORD FILE_ATTRIBUTE_TEMPORARY = 0x00000100;
constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF;
constexpr DWORD FILE_FLAG_WRITE_THROUGH = 0x80000000;
constexpr DWORD FILE_FLAG_OVERLAPPED = 0x40000000;
constexpr DWORD FILE_FLAG_NO_BUFFERING = 0x20000000;
constexpr DWORD FILE_FLAG_RANDOM_ACCESS = 0x10000000;
constexpr DWORD FILE_FLAG_SEQUENTIAL_SCAN = 0x08000000;
constexpr DWORD FILE_FLAG_DELETE_ON_CLOSE = 0x04000000;
constexpr DWORD FILE_FLAG_BACKUP_SEMANTICS = 0x02000000;

// Seek origins and sentinels.
constexpr DWORD FILE_BEGIN = 0;
constexpr DWORD FILE_CURRENT = 1;
constexpr DWORD FILE_END = 2;
constexpr DWORD INVALID_FILE_SIZE = 0xFFFFFFFF;
constexpr DWORD INVALID_SET_FILE_POINTER = 0xFFFFFFFF;

// MoveFileExW flags.
constexpr DWORD MOVEFILE_REPLACE_EXISTING = 0x1;
constexpr DWORD MOVEFILE_COPY_ALLOWED = 0x2;
constexpr DWORD MOVEFILE_WRITE_THROUGH = 0x8;

struct WIN32_FIND_DATAW {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwReserved0;
    DWORD dwReserved1;
    WCHAR cFileName[MAX_PATH];
    WCHAR cAlternateFileName[14];
};

struct WIN32_FILE_ATTRIBUTE_DATA {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
};

enum GET_FILEEX_INFO_LEVELS { GetFileExInfoStandard = 0, GetFileExMaxInfoLevel = 1 };

// Opens or creates a file (or, with FILE_FLAG_BACKUP_SEMANTICS, a directory,
// for its times). Returns INVALID_HANDLE_VALUE on failure with:
// ERROR_FILE_NOT_FOUND (OPEN_EXISTING / TRUNCATE_EXISTING of a missing file),
// ERROR_PATH_NOT_FOUND (missing directory or unmapped drive), ERROR_FILE_EXISTS
// (CREATE_NEW of an existing file), ERROR_ACCESS_DENIED (writing a read-only
// file, a directory without backup semantics), ERROR_INVALID_PARAMETER (bad
// disposition, overlapped I/O). On success with CREATE_ALWAYS or OPEN_ALWAYS
// the last error is ERROR_ALREADY_EXISTS when the file existed, else 0.
// CREATE_ALWAYS on an existing file replaces its HIDDEN/SYSTEM/ARCHIVE bits
// with those asked for (plus ARCHIVE), and fails with ERROR_ACCESS_DENIED when
// the file is hidden or system and the flags don't ask for that bit too.
// Share modes are accepted but not enforced. The caller owns the handle.
HANDLE CreateFileW(const WCHAR* fileName, DWORD desiredAccess, DWORD shareMode,
                   SECURITY_ATTRIBUTES* securityAttributes, DWORD creationDisposition,
                   DWORD flagsAndAttributes, HANDLE templateFile);

// Reads up to bytesToRead bytes at the file position; *bytesRead = 0 at end of
// file (still TRUE). FALSE with ERROR_INVALID_HANDLE, ERROR_ACCESS_DENIED (not
// opened for reading), ERROR_INVALID_PARAMETER (overlapped or null count).
BOOL ReadFile(HANDLE file, void* buffer, DWORD bytesToRead, DWORD* bytesRead,
              OVERLAPPED* overlapped);
// Writes all bytes at the file position (or at the end for append access).
// FALSE with ERROR_INVALID_HANDLE, ERROR_ACCESS_DENIED, ERROR_DISK_FULL.
BOOL WriteFile(HANDLE file, const void* buffer, DWORD bytesToWrite, DWORD* bytesWritten,
               OVERLAPPED* overlapped);

// Moves the file position. With distanceHigh null the distance is a signed
// 32-bit value. Returns the low 32 bits of the new position (and the high
// part through distanceHigh), or INVALID_SET_FILE_POINTER with
// ERROR_INVALID_PARAMETER for a position before 0 (the file position stays);
// the last error is 0 on success, so a low part of 0xFFFFFFFF is told apart.
DWORD SetFilePointer(HANDLE file, LONG distanceToMove, LONG* distanceToMoveHigh, DWORD moveMethod);
BOOL SetFilePointerEx(HANDLE file, LARGE_INTEGER distanceToMove, LARGE_INTEGER* newFilePointer,
                      DWORD moveMethod);
// Low 32 bits of the size (high part through fileSizeHigh when not null);
// INVALID_FILE_SIZE with a non-zero last error on failure.
DWORD GetFileSize(HANDLE file, DWORD* fileSizeHigh);
BOOL GetFileSizeEx(HANDLE file, LARGE_INTEGER* fileSize);
// Cuts or extends the file at the current position.
BOOL SetEndOfFile(HANDLE file);
BOOL FlushFileBuffers(HANDLE file);
// Any of the three may be null. Times are UTC FILETIMEs (100 ns since 1601).
BOOL GetFileTime(HANDLE file, FILETIME* creationTime, FILETIME* lastAccessTime,
                 FILETIME* lastWriteTime);
// A null time, or one of 0, leaves that time unchanged.
BOOL SetFileTime(HANDLE file, const FILETIME* creationTime, const FILETIME* lastAccessTime,
                 const FILETIME* lastWriteTime);

// Deletes a file. FALSE with ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND,
// ERROR_ACCESS_DENIED (read-only file, or a directory).
BOOL DeleteFileW(const WCHAR* fileName);
// Renames a file or directory; fails with ERROR_ALREADY_EXISTS when the
// target exists.
BOOL MoveFileW(const WCHAR* existingFileName, const WCHAR* newFileName);
// MOVEFILE_REPLACE_EXISTING replaces an existing file target (not a
// directory; not a read-only file: ERROR_ACCESS_DENIED); MOVEFILE_COPY_ALLOWED
// copies and deletes when the target lies on another host file system;
// MOVEFILE_WRITE_THROUGH returns only once the rename is on the disk. A
// replacing rename is atomic: the target is the old file or the new one,
// whenever the process or the machine stops.
BOOL MoveFileExW(const WCHAR* existingFileName, const WCHAR* newFileName, DWORD flags);
// Copies contents, attributes and last-write time. With failIfExists an
// existing target fails with ERROR_FILE_EXISTS.
BOOL CopyFileW(const WCHAR* existingFileName, const WCHAR* newFileName, BOOL failIfExists);
// Creates one directory (not its parents: ERROR_PATH_NOT_FOUND);
// ERROR_ALREADY_EXISTS when the name exists.
BOOL CreateDirectoryW(const WCHAR* pathName, SECURITY_ATTRIBUTES* securityAttributes);
// Removes an empty directory; ERROR_DIR_NOT_EMPTY, ERROR_DIRECTORY (a file),
// ERROR_FILE_NOT_FOUND.
BOOL RemoveDirectoryW(const WCHAR* pathName);

// Lists the directory of fileName's last component, which may hold the
// wildcards '*' and '?' (matched case-insensitively as the platform does;
// "*.*" matches every name, with or without a dot). Outside a drive root a
// wildcard pattern also lists "." and "..". Entries come in case-insensitive
// name order. INVALID_HANDLE_VALUE with ERROR_FILE_NOT_FOUND (nothing
// matches) or ERROR_PATH_NOT_FOUND (no such directory). The caller closes the
// handle with FindClose.
HANDLE FindFirstFileW(const WCHAR* fileName, WIN32_FIND_DATAW* findFileData);
// FALSE with ERROR_NO_MORE_FILES after the last entry.
BOOL FindNextFileW(HANDLE findFile, WIN32_FIND_DATAW* findFileData);
BOOL FindClose(HANDLE findFile);

// INVALID_FILE_ATTRIBUTES with ERROR_FILE_NOT_FOUND / ERROR_PATH_NOT_FOUND.
DWORD GetFileAttributesW(const WCHAR* fileName);
// Sets READONLY, HIDDEN, SYSTEM, ARCHIVE (NORMAL alone clears them); the
// other bits are ignored.
BOOL SetFileAttributesW(const WCHAR* fileName, DWORD fileAttributes);
BOOL GetFileAttributesExW(const WCHAR* fileName, GET_FILEEX_INFO_LEVELS infoLevelId,
                          void* fileInformation);
// TRUE when the file or directory exists (the shell's path helper).
BOOL PathFileExistsW(const WCHAR* path);

namespace win {

// FILETIME <-> host time (nanoseconds since 1970-01-01 UTC).
std::int64_t FileTimeToUnixNanoseconds(const FILETIME& time);
FILETIME FileTimeFromUnixNanoseconds(std::int64_t nanoseconds);

// Test hook for failure paths: the countdown-th write from now on (counting
// WriteFile, _write and the stream writes of Crt.h, which write when a
// buffer fills and at fflush/fclose) fails as on a full disk, writing
// nothing: ERROR_DISK_FULL, errno ENOSPC. With sticky, every later write
// fails too. FailWritesForTesting(0) turns it off. Process-wide.
void FailWritesForTesting(int countdown, bool sticky = false);

// The host descriptor behind a file handle, or -1; for stand-ins that need
// a system call the Win32 API lacks. The handle keeps ownership.
int HostDescriptorOfHandle(HANDLE file);

}  // namespace win
