#include "platform/win/FormatMessage.h"

#include <cwchar>

#include "platform/win/Errors.h"

namespace {

struct SystemMessage {
    DWORD code;
    const wchar_t* text;
};

// The system's English texts of the error codes the stand-ins report.
constexpr SystemMessage kSystemMessages[] = {
    {0, L"The operation completed successfully."},
    {1, L"Incorrect function."},
    {2, L"The system cannot find the file specified."},
    {3, L"The system cannot find the path specified."},
    {4, L"The system cannot open the file."},
    {5, L"Access is denied."},
    {6, L"The handle is invalid."},
    {8, L"Not enough memory resources are available to process this command."},
    {11, L"An attempt was made to load a program with an incorrect format."},
    {13, L"The data is invalid."},
    {14, L"Not enough memory resources are available to complete this operation."},
    {15, L"The system cannot find the drive specified."},
    {18, L"There are no more files."},
    {29, L"The system cannot write to the specified device."},
    {30, L"The system cannot read from the specified device."},
    {32, L"The process cannot access the file because it is being used by another process."},
    {38, L"Reached the end of the file."},
    {50, L"The request is not supported."},
    {80, L"The file exists."},
    {87, L"The parameter is incorrect."},
    {112, L"There is not enough space on the disk."},
    {122, L"The data area passed to a system call is too small."},
    {123, L"The filename, directory name, or volume label syntax is incorrect."},
    {126, L"The specified module could not be found."},
    {127, L"The specified procedure could not be found."},
    {145, L"The directory is not empty."},
    {161, L"The specified path is invalid."},
    {183, L"Cannot create a file when that file already exists."},
    {203, L"The system could not find the environment option that was entered."},
    {234, L"More data is available."},
    {259, L"No more data is available."},
    {267, L"The directory name is invalid."},
    {1460, L"This operation returned because the timeout period expired."},
};

}  // namespace

DWORD FormatMessageW(DWORD flags, const void* source, DWORD messageId, DWORD languageId,
                     wchar_t* buffer, DWORD size, void* arguments) {
    constexpr DWORD kSupported = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    if ((flags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 || (flags & ~kSupported) != 0 ||
        buffer == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    for (const auto& message : kSystemMessages) {
        if (message.code != messageId) {
            continue;
        }
        std::size_t length = std::wcslen(message.text) + 2;  // CR LF
        if (size < length + 1) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        std::swprintf(buffer, size, L"%ls\r\n", message.text);
        return static_cast<DWORD>(length);
    }
    SetLastError(ERROR_MR_MID_NOT_FOUND);
    return 0;
}
