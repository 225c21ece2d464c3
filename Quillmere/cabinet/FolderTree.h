// Creating a directory together with every missing parent.
#pragma once

#include "platform/win/Types.h"

namespace Cabinet {

// Creates `path` (a Windows path; a trailing backslash is allowed) and every
// missing directory above it. Returns a Windows error code: 0 when the
// directory exists afterwards (ERROR_ALREADY_EXISTS from a racing creator
// counts as success), ERROR_INVALID_DRIVE (15) for a missing path without any
// backslash, else the error of the first directory that could not be made.
// Thread-safe (file-system calls only).
DWORD CreateFolderTree(const wchar_t* path);

}  // namespace Cabinet
