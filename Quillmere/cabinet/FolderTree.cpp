#include "Quillmere/cabinet/FolderTree.h"

#include <string>

#include "platform/win/Errors.h"
#include "platform/win/Files.h"

namespace Cabinet {

namespace {

bool IsDirectory(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

DWORD CreateTree(std::wstring path) {
    if (IsDirectory(path)) {
        return ERROR_SUCCESS;
    }
    if (!path.empty() && path.back() == L'\\') {
        path.pop_back();
        if (IsDirectory(path)) {
            return ERROR_SUCCESS;
        }
    }
    std::size_t slash = path.rfind(L'\\');
    if (slash == std::wstring::npos) {
        return ERROR_INVALID_DRIVE;
    }
    // A drive root ("C:") exists or it does not; it is never created.
    if (slash > 0 && !(slash == 2 && path[1] == L':')) {
        DWORD parent = CreateTree(path.substr(0, slash));
        if (parent != ERROR_SUCCESS) {
            return parent;
        }
    }
    if (!CreateDirectoryW(path.c_str(), nullptr)) {
        DWORD error = GetLastError();
        if (error != ERROR_ALREADY_EXISTS) {
            return error;
        }
    }
    return ERROR_SUCCESS;
}

}  // namespace

DWORD CreateFolderTree(const wchar_t* path) {
    if (path == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    return CreateTree(path);
}

}  // namespace Cabinet
