#include "platform/win/Console.h"

#include <fcntl.h>
#include <unistd.h>

#include <string>

#include "platform/win/Errors.h"
#include "platform/win/Text.h"

namespace {

// The pseudo handles of the two streams: values no table handle takes.
HANDLE const kOutput = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-11));
HANDLE const kError = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-12));

}  // namespace

BOOL AttachConsole(DWORD processId) {
    if (processId != ATTACH_PARENT_PROCESS) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (::fcntl(1, F_GETFD) < 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

HANDLE GetStdHandle(DWORD kind) {
    if (kind == STD_OUTPUT_HANDLE)
        return kOutput;
    if (kind == STD_ERROR_HANDLE)
        return kError;
    return INVALID_HANDLE_VALUE;
}

BOOL WriteConsoleW(HANDLE console, const void* text, DWORD length, DWORD* written, void*) {
    if (written)
        *written = 0;
    if ((console != kOutput && console != kError) || (!text && length > 0)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::string bytes =
        win::ToUtf8(std::wstring(static_cast<const wchar_t*>(text), static_cast<size_t>(length)));
    const int fd = console == kOutput ? 1 : 2;
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) {
            SetLastError(ERROR_WRITE_FAULT);
            return FALSE;
        }
        done += static_cast<std::size_t>(n);
    }
    if (written)
        *written = length;
    return TRUE;
}
