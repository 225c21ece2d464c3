#include "platform/win/FileSupport.h"

#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <functional>
#include <map>
#include <mutex>
#include <tuple>
#include <utility>

#include "platform/win/Errors.h"
#include "platform/win/Files.h"
#include "platform/win/Mutex.h"
#include "platform/win/Paths.h"

namespace win::files {
namespace {

constexpr const char* kAttributesXattr = "user.win.attrs";
constexpr const char* kCreationTimeXattr = "user.win.btime";
// The bits kept beside the file; READONLY of a regular file is its mode.
constexpr DWORD kKeptBits = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                            FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;
// 100-ns intervals between 1601-01-01 and 1970-01-01.
constexpr std::uint64_t kUnixEpochAsFileTime = 116444736000000000ull;

// Where the file system has no user extended attributes, the values are
// kept for the life of the process, by file identity.
struct Kept {
    std::optional<DWORD> attributes;
    std::optional<std::uint64_t> creationTime;
};
// Keyed by file identity and birth time, so that a file made later under a
// reused inode number does not inherit what was kept for a deleted one.
using KeptKey = std::tuple<dev_t, ino_t, std::int64_t>;
Mutex g_keptMutex;
std::map<KeptKey, Kept> g_kept GUARDED_BY(g_keptMutex);

// The host's birth time in ns (0 where the file system has none).
std::int64_t BirthOf(int fd, const std::string& hostPath) {
    struct statx sx {};
    int rc = fd >= 0 ? statx(fd, "", AT_EMPTY_PATH, STATX_BTIME, &sx)
                     : statx(AT_FDCWD, hostPath.c_str(), 0, STATX_BTIME, &sx);
    if (rc != 0 || !(sx.stx_mask & STATX_BTIME))
        return 0;
    return static_cast<std::int64_t>(sx.stx_btime.tv_sec) * 1000000000 + sx.stx_btime.tv_nsec;
}

KeptKey KeyOf(const struct stat& st, std::int64_t birth) {
    return {st.st_dev, st.st_ino, birth};
}

std::atomic<bool> g_xattrDisabled{false};

bool NoXattrSupport(int err) {
    return err == ENOTSUP || err == EOPNOTSUPP || err == EPERM;
}

void PutLe(unsigned char* p, std::uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i)
        p[i] = static_cast<unsigned char>(v >> (8 * i));
}
std::uint64_t GetLe(const unsigned char* p, int bytes) {
    std::uint64_t v = 0;
    for (int i = 0; i < bytes; ++i)
        v |= static_cast<std::uint64_t>(p[i]) << (8 * i);
    return v;
}

template <class Getter>
std::optional<std::uint64_t> ReadXattr(Getter get, int bytes) {
    if (g_xattrDisabled)
        return std::nullopt;
    unsigned char buf[8];
    ssize_t n = get(buf, sizeof buf);
    if (n != bytes)
        return std::nullopt;
    return GetLe(buf, bytes);
}

bool NothingKept() {
    win::MutexLock lock(g_keptMutex);
    return g_kept.empty();
}

std::optional<DWORD> KeptAttributes(const std::string& hostPath, const struct stat& st) {
    auto v = ReadXattr(
        [&](void* b, size_t n) { return getxattr(hostPath.c_str(), kAttributesXattr, b, n); }, 4);
    if (v)
        return static_cast<DWORD>(*v);
    // The birth time costs a system call; nothing kept means nothing to find.
    if (NothingKept())
        return std::nullopt;
    KeptKey key = KeyOf(st, BirthOf(-1, hostPath));
    win::MutexLock lock(g_keptMutex);
    auto it = g_kept.find(key);
    if (it != g_kept.end())
        return it->second.attributes;
    return std::nullopt;
}

// Stores value under name through set (path or descriptor form); falls back
// to the process table when the file system refuses user attributes. key()
// gives the file's key in that table (a system call or two); it is asked
// only then.
template <class Setter, class Key>
DWORD StoreKept(Setter set, Key key, std::optional<DWORD> attributes,
                std::optional<std::uint64_t> creationTime) {
    unsigned char buf[8];
    const char* name = attributes ? kAttributesXattr : kCreationTimeXattr;
    int bytes = attributes ? 4 : 8;
    PutLe(buf, attributes ? *attributes : *creationTime, bytes);
    if (!g_xattrDisabled && set(name, buf, bytes) == 0)
        return ERROR_SUCCESS;
    int err = g_xattrDisabled ? ENOTSUP : errno;
    if (!NoXattrSupport(err))
        return Win32ErrorFromErrno(err);
    const KeptKey fileKey = key();
    win::MutexLock lock(g_keptMutex);
    Kept& k = g_kept[fileKey];
    if (attributes)
        k.attributes = attributes;
    if (creationTime)
        k.creationTime = creationTime;
    return ERROR_SUCCESS;
}

DWORD ApplyAttributes(const struct stat& st, const std::function<std::int64_t()>& birth,
                      DWORD attributes, const std::function<int(mode_t)>& changeMode,
                      const std::function<int(const char*, const void*, size_t)>& setXattr) {
    DWORD kept = attributes & kKeptBits;
    if (!S_ISDIR(st.st_mode)) {
        mode_t mode = st.st_mode & 07777;
        mode_t wanted = (attributes & FILE_ATTRIBUTE_READONLY)
                            ? (mode & ~(S_IWUSR | S_IWGRP | S_IWOTH))
                            : (mode | S_IWUSR);
        if (wanted != mode && changeMode(wanted) != 0)
            return Win32ErrorFromErrno(errno);
        kept &= ~FILE_ATTRIBUTE_READONLY;
    }
    return StoreKept(
        setXattr, [&] { return KeyOf(st, birth()); }, kept, std::nullopt);
}

}  // namespace

std::optional<std::string> ResolveArgument(const WCHAR* path, bool allowWildcards) {
    if (!path) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return std::nullopt;
    }
    if (!allowWildcards)
        return HostPath(path);
    // Wildcards are allowed in the last component only: resolve the
    // directory and append the pattern unchanged.
    auto full = FullWindowsPath(path);
    if (!full)
        return std::nullopt;
    auto slash = full->rfind(L'\\');
    std::wstring dir = full->substr(0, slash + 1);
    std::wstring pattern = full->substr(slash + 1);
    auto hostDir = HostPath(dir);
    if (!hostDir)
        return std::nullopt;
    for (wchar_t c : pattern) {
        if (c < 32 || c == L'<' || c == L'>' || c == L':' || c == L'"' || c == L'|') {
            SetLastError(ERROR_INVALID_NAME);
            return std::nullopt;
        }
    }
    if (pattern.empty())
        return *hostDir;
    return (hostDir->back() == '/' ? *hostDir : *hostDir + "/") + PathToUtf8(pattern);
}

std::string HostParent(const std::string& hostPath) {
    auto slash = hostPath.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return hostPath.substr(0, slash);
}

DWORD MissingFileError(const std::string& hostPath) {
    struct stat st {};
    if (stat(HostParent(hostPath).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        return ERROR_FILE_NOT_FOUND;
    }
    return ERROR_PATH_NOT_FOUND;
}

DWORD ErrorFromErrno(int err, const std::string& hostPath) {
    if (err == ENOENT)
        return MissingFileError(hostPath);
    if (err == ENOTDIR)
        return ERROR_PATH_NOT_FOUND;
    return Win32ErrorFromErrno(err);
}

DWORD AttributesOf(const std::string& hostPath, const struct stat& st) {
    auto kept = KeptAttributes(hostPath, st);
    DWORD a = 0;
    if (S_ISDIR(st.st_mode)) {
        a = FILE_ATTRIBUTE_DIRECTORY | (kept ? (*kept & kKeptBits) : 0);
        return a;
    }
    // A file nobody set attributes on has been written, so it is marked for
    // archiving, as on the platform.
    a = kept ? (*kept & (kKeptBits & ~FILE_ATTRIBUTE_READONLY)) : FILE_ATTRIBUTE_ARCHIVE;
    if (!(st.st_mode & S_IWUSR))
        a |= FILE_ATTRIBUTE_READONLY;
    return a ? a : FILE_ATTRIBUTE_NORMAL;
}

DWORD SetAttributes(const std::string& hostPath, DWORD attributes) {
    struct stat st {};
    if (stat(hostPath.c_str(), &st) != 0)
        return ErrorFromErrno(errno, hostPath);
    return ApplyAttributes(
        st, [&] { return BirthOf(-1, hostPath); }, attributes,
        [&](mode_t m) { return chmod(hostPath.c_str(), m); },
        [&](const char* n, const void* v, size_t s) {
            return setxattr(hostPath.c_str(), n, v, s, 0);
        });
}

DWORD SetAttributesOfDescriptor(int fd, DWORD attributes) {
    struct stat st {};
    if (fstat(fd, &st) != 0)
        return Win32ErrorFromErrno(errno);
    return ApplyAttributes(
        st, [&] { return BirthOf(fd, std::string()); }, attributes,
        [&](mode_t m) { return fchmod(fd, m); },
        [&](const char* n, const void* v, size_t s) { return fsetxattr(fd, n, v, s, 0); });
}

bool IsReadOnly(const std::string& hostPath) {
    struct stat st {};
    if (stat(hostPath.c_str(), &st) != 0)
        return false;
    return (AttributesOf(hostPath, st) & FILE_ATTRIBUTE_READONLY) != 0;
}

void ForgetKept(const struct stat& st) {
    win::MutexLock lock(g_keptMutex);
    auto first = g_kept.lower_bound(KeptKey{st.st_dev, st.st_ino, INT64_MIN});
    auto last = g_kept.upper_bound(KeptKey{st.st_dev, st.st_ino, INT64_MAX});
    g_kept.erase(first, last);
}

namespace {
std::atomic<int> g_writesUntilFailure{0};
std::atomic<bool> g_writeFailureSticky{false};
}  // namespace

bool WriteMustFail() {
    int left = g_writesUntilFailure.load();
    while (left > 0) {
        if (g_writesUntilFailure.compare_exchange_weak(left, left - 1)) {
            if (left - 1 > 0)
                return false;
            if (g_writeFailureSticky)
                g_writesUntilFailure = 1;
            return true;
        }
    }
    return false;
}

void SetWriteFailure(int countdown, bool sticky) {
    g_writeFailureSticky = sticky;
    g_writesUntilFailure = countdown > 0 ? countdown : 0;
}

void DisableExtendedAttributesForTesting(bool disable) {
    g_xattrDisabled = disable;
}

std::uint64_t CreationTimeOf(int fd, const std::string& hostPath, const struct stat& st) {
    auto v = ReadXattr(
        [&](void* b, size_t n) {
            return fd >= 0 ? fgetxattr(fd, kCreationTimeXattr, b, n)
                           : getxattr(hostPath.c_str(), kCreationTimeXattr, b, n);
        },
        8);
    if (v)
        return *v;
    if (!NothingKept()) {
        KeptKey key = KeyOf(st, BirthOf(fd, hostPath));
        win::MutexLock lock(g_keptMutex);
        auto it = g_kept.find(key);
        if (it != g_kept.end() && it->second.creationTime)
            return *it->second.creationTime;
    }
    struct statx sx {};
    int rc = fd >= 0 ? statx(fd, "", AT_EMPTY_PATH, STATX_BTIME, &sx)
                     : statx(AT_FDCWD, hostPath.c_str(), 0, STATX_BTIME, &sx);
    if (rc == 0 && (sx.stx_mask & STATX_BTIME)) {
        return kUnixEpochAsFileTime +
               static_cast<std::uint64_t>(sx.stx_btime.tv_sec) * 10000000ull +
               sx.stx_btime.tv_nsec / 100;
    }
    return kUnixEpochAsFileTime + static_cast<std::uint64_t>(st.st_ctim.tv_sec) * 10000000ull +
           st.st_ctim.tv_nsec / 100;
}

DWORD SetCreationTime(int fd, std::uint64_t fileTime) {
    auto key = [&] {
        struct stat st {};
        fstat(fd, &st);  // fd is sound: fsetxattr refused only the attribute
        return KeyOf(st, BirthOf(fd, std::string()));
    };
    return StoreKept(
        [&](const char* n, const void* v, size_t s) { return fsetxattr(fd, n, v, s, 0); }, key,
        std::nullopt, fileTime);
}

bool MakeHostDirectories(const std::string& hostPath) {
    struct stat st {};
    if (stat(hostPath.c_str(), &st) == 0)
        return S_ISDIR(st.st_mode);
    std::string parent = HostParent(hostPath);
    if (parent != hostPath && parent != "." && !MakeHostDirectories(parent))
        return false;
    if (mkdir(hostPath.c_str(), 0777) == 0)
        return true;
    return errno == EEXIST && stat(hostPath.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace win::files
