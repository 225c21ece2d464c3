// Helpers shared by the file, stream and module stand-ins (not part of the
// platform's API): resolving wide paths to host paths with the platform's
// error codes, the kept Windows attributes and creation times, and errno
// translation for missing files.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <string>

#include "platform/win/Types.h"

namespace win::files {

// The host path of a wide path argument; nullopt with SetLastError (null:
// ERROR_PATH_NOT_FOUND; see win::HostPath for the rest). With
// allowWildcards, '*' and '?' may appear in the last component.
std::optional<std::string> ResolveArgument(const WCHAR* path, bool allowWildcards = false);

// ERROR_FILE_NOT_FOUND when the parent directory of hostPath exists, else
// ERROR_PATH_NOT_FOUND: what the platform reports for a missing file.
DWORD MissingFileError(const std::string& hostPath);
// Win32ErrorFromErrno, with ENOENT / ENOTDIR told apart as above.
DWORD ErrorFromErrno(int err, const std::string& hostPath);

// The Windows attributes of a file whose stat is st (READONLY, HIDDEN,
// SYSTEM, DIRECTORY, ARCHIVE, or NORMAL when none).
DWORD AttributesOf(const std::string& hostPath, const struct stat& st);
// Stores READONLY (as the owner write bit; for directories only in the kept
// bits), HIDDEN, SYSTEM and ARCHIVE. Returns a Win32 error code.
DWORD SetAttributes(const std::string& hostPath, DWORD attributes);
// The same through an open descriptor.
DWORD SetAttributesOfDescriptor(int fd, DWORD attributes);
// True when the file exists and carries READONLY.
bool IsReadOnly(const std::string& hostPath);
// Forgets what is kept for a file that is gone (the process table only).
void ForgetKept(const struct stat& st);

// Creation time in 100-ns units since 1601 (kept, else the host's birth
// time, else the change time), through fd when it is >= 0, else hostPath.
std::uint64_t CreationTimeOf(int fd, const std::string& hostPath, const struct stat& st);
DWORD SetCreationTime(int fd, std::uint64_t fileTime);

// Makes the kept values go to the process table as if the file system had
// no user extended attributes (true) or back to normal (false).
void DisableExtendedAttributesForTesting(bool disable);

// Counts one write against FailWritesForTesting: true when this one must
// fail (the caller sets ERROR_DISK_FULL or ENOSPC and writes nothing).
bool WriteMustFail();
void SetWriteFailure(int countdown, bool sticky);

// Creates a host directory and its missing parents; true when it exists.
bool MakeHostDirectories(const std::string& hostPath);
// The directory part of a host path ("/" for "/x").
std::string HostParent(const std::string& hostPath);

}  // namespace win::files
