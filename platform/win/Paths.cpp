#include "platform/win/Paths.h"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <map>
#include <mutex>
#include <vector>

#include "platform/win/Environment.h"
#include "platform/win/Errors.h"
#include "platform/win/FileSupport.h"
#include "platform/win/Mutex.h"
#include "platform/win/Text.h"

namespace win {
namespace {

Mutex g_mutex;
// Explicit drive mappings (upper-case letter -> host directory); C: and P:
// have defaults that follow the environment when not mapped here.
std::map<wchar_t, std::string> g_drives GUARDED_BY(g_mutex);
std::wstring g_currentDirectory GUARDED_BY(g_mutex) = L"C:\\";
std::atomic<bool> g_failSpecialFolders{false};

wchar_t UpperDrive(wchar_t c) {
    return (c >= L'a' && c <= L'z') ? c - L'a' + L'A' : c;
}
bool IsDriveLetter(wchar_t c) {
    return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z');
}

std::string TrimSlashes(std::string p) {
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    return p;
}

std::optional<std::string> DriveDirectory(wchar_t letter) {
    letter = UpperDrive(letter);
    {
        win::MutexLock lock(g_mutex);
        auto it = g_drives.find(letter);
        if (it != g_drives.end())
            return it->second;
    }
    if (letter == L'C')
        return UserDirectory() + "/drive_c";
    if (letter == L'P')
        return InstallDirectory();
    if (letter == L'Z')
        return std::string("/");
    return std::nullopt;
}

std::wstring CurrentDirectory() {
    win::MutexLock lock(g_mutex);
    return g_currentDirectory;
}

// Splits on '\' (after '/' became '\'), folding "." and "..": the components
// below the drive root.
void AppendComponents(std::wstring_view text, std::vector<std::wstring>& parts) {
    std::size_t i = 0;
    while (i <= text.size()) {
        std::size_t j = text.find(L'\\', i);
        if (j == std::wstring_view::npos)
            j = text.size();
        std::wstring_view c = text.substr(i, j - i);
        if (c.empty() || c == L".") {
            // nothing
        } else if (c == L"..") {
            if (!parts.empty())
                parts.pop_back();  // never above the root
        } else {
            parts.emplace_back(c);
        }
        i = j + 1;
    }
}

bool HasInvalidNameCharacter(const std::wstring& component, bool allowWildcards) {
    for (wchar_t c : component) {
        if (c < 32 || c == L'<' || c == L'>' || c == L':' || c == L'"' || c == L'|')
            return true;
        if (!allowWildcards && (c == L'*' || c == L'?'))
            return true;
    }
    return false;
}

struct ParsedPath {
    wchar_t drive;
    std::vector<std::wstring> parts;
};

std::optional<ParsedPath> Parse(std::wstring_view input) {
    if (input.empty()) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return std::nullopt;
    }
    std::wstring path(input);
    for (auto& c : path) {
        if (c == L'/')
            c = L'\\';
    }
    // "\\?\C:\..." names the same file as "C:\..."; other "\\" forms are
    // network or device paths, which this machine has none of.
    if (path.rfind(L"\\\\?\\", 0) == 0 && path.size() >= 6 && IsDriveLetter(path[4]) &&
        path[5] == L':') {
        path.erase(0, 4);
    } else if (path.rfind(L"\\\\", 0) == 0) {
        SetLastError(ERROR_BAD_PATHNAME);
        return std::nullopt;
    }
    ParsedPath out{};
    std::wstring cwd = CurrentDirectory();
    std::wstring_view rest = path;
    if (path.size() >= 2 && path[1] == L':') {
        if (!IsDriveLetter(path[0])) {
            SetLastError(ERROR_INVALID_NAME);
            return std::nullopt;
        }
        out.drive = UpperDrive(path[0]);
        rest.remove_prefix(2);
        if (rest.empty() || rest[0] != L'\\') {
            // Drive-relative: against the current directory when it lies on
            // that drive, else against the drive's root.
            if (UpperDrive(cwd[0]) == out.drive)
                AppendComponents(std::wstring_view(cwd).substr(2), out.parts);
        }
    } else if (path[0] == L'\\') {
        out.drive = UpperDrive(cwd[0]);
    } else {
        out.drive = UpperDrive(cwd[0]);
        AppendComponents(std::wstring_view(cwd).substr(2), out.parts);
    }
    AppendComponents(rest, out.parts);
    return out;
}

std::wstring Join(const ParsedPath& p) {
    std::wstring s;
    s += p.drive;
    s += L":\\";
    for (std::size_t i = 0; i < p.parts.size(); ++i) {
        if (i)
            s += L'\\';
        s += p.parts[i];
    }
    return s;
}

// Copies text and a terminator into buffer under the platform's size
// convention: the length without terminator when it fits, else the size
// needed with terminator.
DWORD CopyOut(const std::wstring& text, DWORD bufferLength, WCHAR* buffer) {
    if (!buffer || bufferLength < text.size() + 1)
        return static_cast<DWORD>(text.size() + 1);
    std::memcpy(buffer, text.data(), text.size() * sizeof(WCHAR));
    buffer[text.size()] = 0;
    return static_cast<DWORD>(text.size());
}

std::optional<std::wstring> SpecialFolder(int csidl) {
    std::wstring profile = UserProfileDirectory();
    switch (csidl & ~CSIDL_FLAG_CREATE) {
        case CSIDL_LOCAL_APPDATA:
            return profile + L"\\AppData\\Local";
        case CSIDL_APPDATA:
            return profile + L"\\AppData\\Roaming";
        case CSIDL_DESKTOP:
        case CSIDL_DESKTOPDIRECTORY:
            return profile + L"\\Desktop";
        case CSIDL_PERSONAL:
            return profile + L"\\Documents";
        default:
            return std::nullopt;
    }
}

bool EnsureWindowsDirectory(const std::wstring& windowsPath) {
    auto host = HostPath(windowsPath);
    return host && files::MakeHostDirectories(*host);
}

}  // namespace

void MapDrive(wchar_t letter, const std::string& hostDir) {
    win::MutexLock lock(g_mutex);
    if (hostDir.empty()) {
        g_drives.erase(UpperDrive(letter));
    } else {
        g_drives[UpperDrive(letter)] = TrimSlashes(hostDir);
    }
}

std::optional<std::wstring> FullWindowsPath(std::wstring_view windowsPath) {
    auto parsed = Parse(windowsPath);
    if (!parsed)
        return std::nullopt;
    return Join(*parsed);
}

std::optional<std::string> HostPath(std::wstring_view windowsPath) {
    auto parsed = Parse(windowsPath);
    if (!parsed)
        return std::nullopt;
    for (const auto& c : parsed->parts) {
        if (HasInvalidNameCharacter(c, false)) {
            SetLastError(ERROR_INVALID_NAME);
            return std::nullopt;
        }
    }
    auto dir = DriveDirectory(parsed->drive);
    if (!dir) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return std::nullopt;
    }
    std::string host = *dir;
    for (const auto& c : parsed->parts) {
        if (host.empty() || host.back() != '/')
            host += '/';
        host += PathToUtf8(c);
    }
    return host;
}

std::wstring WindowsPath(const std::string& hostPath) {
    std::string path = hostPath;
    if (path.empty() || path[0] != '/') {
        char buf[PATH_MAX];
        if (getcwd(buf, sizeof buf))
            path = std::string(buf) + "/" + path;
    }
    // Fold "." and ".." lexically on the host side as well.
    std::vector<std::string> parts;
    for (std::size_t i = 0; i <= path.size();) {
        std::size_t j = path.find('/', i);
        if (j == std::string::npos)
            j = path.size();
        std::string c = path.substr(i, j - i);
        if (c == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!c.empty() && c != ".") {
            parts.push_back(c);
        }
        i = j + 1;
    }
    std::string normal;
    for (const auto& c : parts)
        normal += "/" + c;
    if (normal.empty())
        normal = "/";

    std::vector<std::pair<wchar_t, std::string>> drives;
    for (wchar_t letter = L'A'; letter <= L'Z'; ++letter) {
        if (auto dir = DriveDirectory(letter))
            drives.emplace_back(letter, *dir);
    }
    auto bestFor = [&](const std::string& p, bool realDirs) {
        std::optional<std::pair<wchar_t, std::string>> best;
        for (auto [letter, dir] : drives) {
            if (realDirs) {
                char buf[PATH_MAX];
                if (!realpath(dir.c_str(), buf))
                    continue;
                dir = buf;
            }
            dir = TrimSlashes(dir);
            bool covers = dir == "/" || p == dir || p.rfind(dir + "/", 0) == 0;
            if (covers && (!best || dir.size() > best->second.size()))
                best.emplace(letter, dir);
        }
        return best;
    };
    auto best = bestFor(normal, false);
    std::string chosen = normal;
    if (!best || best->second == "/") {
        // A path through a symbolic link may still lie below a mapped
        // directory once both are resolved.
        char buf[PATH_MAX];
        if (realpath(normal.c_str(), buf)) {
            auto real = bestFor(buf, true);
            if (real && (!best || real->second.size() > best->second.size())) {
                best = real;
                chosen = buf;
            }
        }
    }
    if (!best)
        return std::wstring();
    std::wstring out;
    out += best->first;
    out += L":\\";
    std::string rest = best->second == "/" ? chosen.substr(1) : chosen.substr(best->second.size());
    while (!rest.empty() && rest[0] == '/')
        rest.erase(0, 1);
    for (auto& c : rest) {
        if (c == '/')
            c = '\\';
    }
    return out + PathFromUtf8(rest);
}

std::wstring UserName() {
    if (const char* v = std::getenv("QUILLMERE_USER_NAME"); v && *v)
        return PathFromUtf8(v);
    std::string dir = UserDirectory();
    auto slash = dir.rfind('/');
    std::string base = slash == std::string::npos ? dir : dir.substr(slash + 1);
    return PathFromUtf8(base.empty() ? "user" : base);
}

std::wstring UserProfileDirectory() {
    return L"C:\\Users\\" + UserName();
}

void SetSpecialFolderFailureForTesting(bool fail) {
    g_failSpecialFolders = fail;
}

std::string PathToUtf8(std::wstring_view text) {
    return ToUtf8(text);
}

std::wstring PathFromUtf8(std::string_view text) {
    return FromUtf8(text);
}

}  // namespace win

DWORD GetCurrentDirectoryW(DWORD bufferLength, WCHAR* buffer) {
    return win::CopyOut(win::CurrentDirectory(), bufferLength, buffer);
}

BOOL SetCurrentDirectoryW(const WCHAR* path) {
    if (!path) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto full = win::FullWindowsPath(path);
    if (!full)
        return FALSE;
    auto host = win::HostPath(*full);
    if (!host)
        return FALSE;
    struct stat st {};
    if (stat(host->c_str(), &st) != 0) {
        SetLastError(win::files::ErrorFromErrno(errno, *host));
        return FALSE;
    }
    if (!S_ISDIR(st.st_mode)) {
        SetLastError(ERROR_DIRECTORY);
        return FALSE;
    }
    win::MutexLock lock(win::g_mutex);
    win::g_currentDirectory = *full;
    return TRUE;
}

DWORD GetFullPathNameW(const WCHAR* fileName, DWORD bufferLength, WCHAR* buffer, WCHAR** filePart) {
    if (!fileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::wstring_view name(fileName);
    auto full = win::FullWindowsPath(name);
    if (!full)
        return 0;
    // A trailing separator is kept, as the platform keeps it.
    if (!name.empty() && (name.back() == L'\\' || name.back() == L'/') && full->back() != L'\\') {
        *full += L'\\';
    }
    DWORD n = win::CopyOut(*full, bufferLength, buffer);
    if (filePart && n < bufferLength) {
        std::size_t slash = full->rfind(L'\\');
        *filePart = slash + 1 < full->size() ? buffer + slash + 1 : nullptr;
    }
    return n;
}

DWORD GetTempPathW(DWORD bufferLength, WCHAR* buffer) {
    std::wstring temp = win::UserProfileDirectory() + L"\\AppData\\Local\\Temp";
    if (!win::EnsureWindowsDirectory(temp)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return 0;
    }
    return win::CopyOut(temp + L"\\", bufferLength, buffer);
}

HRESULT SHGetFolderPathW(HWND hwnd, int csidl, HANDLE token, DWORD flags, WCHAR* path) {
    if (!path)
        return E_INVALIDARG;
    path[0] = 0;
    auto folder = win::SpecialFolder(csidl);
    if (!folder)
        return E_INVALIDARG;
    if (win::g_failSpecialFolders || folder->size() >= static_cast<std::size_t>(MAX_PATH) ||
        !win::EnsureWindowsDirectory(*folder)) {
        return E_FAIL;
    }
    win::CopyOut(*folder, MAX_PATH, path);
    return S_OK;
}

BOOL SHGetSpecialFolderPathW(HWND hwnd, WCHAR* path, int csidl, BOOL create) {
    return SHGetFolderPathW(hwnd, csidl, nullptr, SHGFP_TYPE_CURRENT, path) == S_OK ? TRUE : FALSE;
}

const WCHAR* PathFindFileNameW(const WCHAR* path) {
    if (!path)
        return nullptr;
    const WCHAR* name = path;
    for (const WCHAR* p = path; *p; ++p) {
        // A separator starts a new name unless it ends the path.
        if ((*p == L'\\' || *p == L'/' || *p == L':') && p[1] && p[1] != L'\\' && p[1] != L'/') {
            name = p + 1;
        }
    }
    return name;
}

BOOL PathRemoveFileSpecW(WCHAR* path) {
    if (!path || !*path)
        return FALSE;
    std::size_t n = std::wcslen(path);
    std::size_t slash = std::wstring_view(path, n).find_last_of(L"\\/");
    bool hasDrive = n >= 2 && path[1] == L':';
    std::size_t rootEnd = hasDrive ? 3 : 1;  // "C:\" or "\" stays
    if (slash == std::wstring_view::npos) {
        if (hasDrive) {
            if (n == 2)
                return FALSE;
            path[2] = 0;  // "C:name" -> "C:"
            return TRUE;
        }
        path[0] = 0;
        return TRUE;
    }
    if (slash + 1 <= rootEnd && (slash == 0 || (hasDrive && slash == 2))) {
        if (n == slash + 1)
            return FALSE;  // only the root is left
        path[slash + 1] = 0;
        return TRUE;
    }
    path[slash] = 0;
    return TRUE;
}

WCHAR* PathAddBackslashW(WCHAR* path) {
    if (!path)
        return nullptr;
    std::size_t n = std::wcslen(path);
    if (n > 0 && path[n - 1] == L'\\')
        return path + n;
    if (n + 2 > static_cast<std::size_t>(MAX_PATH))
        return nullptr;
    path[n] = L'\\';
    path[n + 1] = 0;
    return path + n + 1;
}
