// FormatMessageW, reduced to what its callers use: the system's text of a
// Win32 error code.
//
// Only FORMAT_MESSAGE_FROM_SYSTEM with FORMAT_MESSAGE_IGNORE_INSERTS is
// supported (source and arguments are ignored; languageId 0 or any English
// LANGID). The text is the system's English message followed by CR LF, as the
// platform gives it. Returns the count of characters written without the NUL;
// 0 on failure with GetLastError(): ERROR_MR_MID_NOT_FOUND (317) for a code
// the system table lacks, ERROR_INSUFFICIENT_BUFFER when size cannot hold the
// text and its NUL, ERROR_INVALID_PARAMETER for other flags or a null buffer.
// Thread-safe.
#pragma once

#include "platform/win/Types.h"

constexpr DWORD FORMAT_MESSAGE_IGNORE_INSERTS = 0x00000200;
constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x00001000;
constexpr DWORD ERROR_MR_MID_NOT_FOUND = 317;

DWORD FormatMessageW(DWORD flags, const void* source, DWORD messageId, DWORD languageId,
                     wchar_t* buffer, DWORD size, void* arguments);
