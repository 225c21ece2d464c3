#include "platform/win/Files.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "platform/win/CrashPoints.h"
#include "platform/win/Errors.h"
#include "platform/win/FileSupport.h"
#include "platform/win/Paths.h"
#include "platform/win/Text.h"

namespace win {
namespace {

constexpr std::uint64_t kUnixEpochAsFileTime = 116444736000000000ull;
constexpr DWORD kStoredAttributeBits = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                       FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;

class FileObject : public HandleObject {
public:
    FileObject(int fd, std::string hostPath, bool canRead, bool canWrite, bool canSetAttributes,
               bool deleteOnClose)
        : m_fd(fd),
          m_hostPath(std::move(hostPath)),
          m_canRead(canRead),
          m_canWrite(canWrite),
          m_canSetAttributes(canSetAttributes),
          m_deleteOnClose(deleteOnClose) {}
    ~FileObject() override {
        if (m_deleteOnClose)
            unlink(m_hostPath.c_str());
        close(m_fd);
    }
    FileObject(const FileObject&) = delete;
    FileObject& operator=(const FileObject&) = delete;

    int Fd() const { return m_fd; }
    const std::string& HostPath() const { return m_hostPath; }
    bool CanRead() const { return m_canRead; }
    bool CanWrite() const { return m_canWrite; }
    bool CanSetAttributes() const { return m_canSetAttributes || m_canWrite; }

private:
    int m_fd;
    std::string m_hostPath;
    bool m_canRead;
    bool m_canWrite;
    bool m_canSetAttributes;
    bool m_deleteOnClose;
};

class FindObject : public HandleObject {
public:
    explicit FindObject(std::vector<WIN32_FIND_DATAW> entries) : m_entries(std::move(entries)) {}
    // Entries after the first, which FindFirstFileW returned.
    bool Next(WIN32_FIND_DATAW* out) {
        if (m_next >= m_entries.size())
            return false;
        *out = m_entries[m_next++];
        return true;
    }

private:
    std::vector<WIN32_FIND_DATAW> m_entries;
    std::size_t m_next = 1;
};

std::shared_ptr<FileObject> FileOf(HANDLE h) {
    auto f = LookupHandleAs<FileObject>(h);
    if (!f)
        SetLastError(ERROR_INVALID_HANDLE);
    return f;
}

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

FILETIME FromTimespec(const timespec& ts) {
    return FileTimeFromUnixNanoseconds(static_cast<std::int64_t>(ts.tv_sec) * 1000000000 +
                                       ts.tv_nsec);
}

FILETIME FromUInt64(std::uint64_t v) {
    return FILETIME{static_cast<DWORD>(v), static_cast<DWORD>(v >> 32)};
}

std::uint64_t ToUInt64(const FILETIME& t) {
    return (static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}

// The platform turns a listing pattern into one with three DOS wildcards
// before matching; these stand for them (values no name can hold here).
constexpr wchar_t kDosStar = 0xF0001;  // '*' before a '.': up to the name's last '.'
constexpr wchar_t kDosQm = 0xF0002;    // '?': one character, or none at a '.' or the end
constexpr wchar_t kDosDot = 0xF0003;   // '.' before a wildcard or at the end: a '.' or the end

// Names compare as the platform's file systems compare them: upper-cased.
std::wstring TranslatePattern(const std::wstring& given) {
    if (given == L"*.*")
        return L"*";
    std::wstring pattern = ToUpper(given);
    std::wstring out;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        wchar_t c = pattern[i];
        wchar_t next = i + 1 < pattern.size() ? pattern[i + 1] : 0;
        if (c == L'?') {
            out += kDosQm;
        } else if (c == L'*' && next == L'.') {
            out += kDosStar;
        } else if (c == L'.' && (next == L'?' || next == L'*' || next == 0)) {
            out += kDosDot;
        } else {
            out += c;
        }
    }
    return out;
}

bool Match(const std::wstring& p, std::size_t pi, const std::wstring& n, std::size_t ni) {
    while (pi < p.size()) {
        wchar_t c = p[pi];
        if (c == L'*') {
            for (std::size_t k = ni; k <= n.size(); ++k) {
                if (Match(p, pi + 1, n, k))
                    return true;
            }
            return false;
        }
        if (c == kDosStar) {
            std::size_t lastDot = n.rfind(L'.');
            std::size_t limit =
                (lastDot != std::wstring::npos && lastDot >= ni) ? lastDot : n.size();
            for (std::size_t k = ni; k <= limit; ++k) {
                if (Match(p, pi + 1, n, k))
                    return true;
            }
            return false;
        }
        if (c == kDosQm) {
            if (ni < n.size() && n[ni] != L'.') {
                ++pi;
                ++ni;
            } else {
                while (pi < p.size() && p[pi] == kDosQm)
                    ++pi;
            }
            continue;
        }
        if (c == kDosDot) {
            if (ni < n.size() && n[ni] == L'.') {
                ++ni;
            } else if (ni != n.size()) {
                return false;
            }
            ++pi;
            continue;
        }
        if (ni >= n.size() || n[ni] != c)
            return false;
        ++pi;
        ++ni;
    }
    return ni == n.size();
}

bool NameLess(const std::wstring& a, const std::wstring& b) {
    auto rank = [](const std::wstring& s) { return s == L"." ? 0 : s == L".." ? 1 : 2; };
    if (rank(a) != rank(b))
        return rank(a) < rank(b);
    return ToUpper(a) < ToUpper(b);
}

void FillFindData(const std::wstring& name, const std::string& hostPath, const struct stat& st,
                  WIN32_FIND_DATAW* out) {
    std::memset(out, 0, sizeof *out);
    out->dwFileAttributes = files::AttributesOf(hostPath, st);
    out->ftCreationTime = FromUInt64(files::CreationTimeOf(-1, hostPath, st));
    out->ftLastAccessTime = FromTimespec(st.st_atim);
    out->ftLastWriteTime = FromTimespec(st.st_mtim);
    std::uint64_t size = S_ISDIR(st.st_mode) ? 0 : static_cast<std::uint64_t>(st.st_size);
    out->nFileSizeHigh = static_cast<DWORD>(size >> 32);
    out->nFileSizeLow = static_cast<DWORD>(size);
    std::size_t n = std::min<std::size_t>(name.size(), MAX_PATH - 1);
    std::memcpy(out->cFileName, name.data(), n * sizeof(WCHAR));
}

bool IsDriveRoot(const std::wstring& fullWindowsPath) {
    return fullWindowsPath.size() == 3;
}

// Writes all of data; false with errno on failure.
bool WriteAll(int fd, const void* data, std::size_t size) {
    auto p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = write(fd, p, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

DWORD CopyHostFile(const std::string& from, const std::string& to, bool failIfExists) {
    int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return files::ErrorFromErrno(errno, from);
    struct stat st {};
    fstat(in, &st);
    if (S_ISDIR(st.st_mode)) {
        close(in);
        return ERROR_ACCESS_DENIED;
    }
    if (!failIfExists && files::IsReadOnly(to)) {
        close(in);
        return ERROR_ACCESS_DENIED;
    }
    int out =
        open(to.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (failIfExists ? O_EXCL : O_TRUNC), 0666);
    if (out < 0) {
        int err = errno;
        close(in);
        if (err == EEXIST)
            return ERROR_FILE_EXISTS;
        return files::ErrorFromErrno(err, to);
    }
    std::vector<char> buf(1 << 16);
    DWORD result = ERROR_SUCCESS;
    for (;;) {
        ssize_t n = read(in, buf.data(), buf.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            result = Win32ErrorFromErrno(errno);
            break;
        }
        if (n == 0)
            break;
        if (!WriteAll(out, buf.data(), static_cast<std::size_t>(n))) {
            result = Win32ErrorFromErrno(errno);
            break;
        }
    }
    if (result == ERROR_SUCCESS) {
        timespec times[2] = {st.st_atim, st.st_mtim};
        futimens(out, times);
        // Same attributes (copies are marked for archiving).
        DWORD attrs = files::AttributesOf(from, st);
        files::SetAttributesOfDescriptor(out,
                                         (attrs & kStoredAttributeBits) | FILE_ATTRIBUTE_ARCHIVE);
    }
    close(in);
    close(out);
    if (result != ERROR_SUCCESS)
        unlink(to.c_str());
    return result;
}

}  // namespace

std::int64_t FileTimeToUnixNanoseconds(const FILETIME& time) {
    auto v = static_cast<std::int64_t>(ToUInt64(time) - kUnixEpochAsFileTime);
    return v * 100;
}

FILETIME FileTimeFromUnixNanoseconds(std::int64_t nanoseconds) {
    // Floor division keeps times before 1970 on the right 100-ns step.
    std::int64_t ticks = nanoseconds / 100 - (nanoseconds % 100 < 0 ? 1 : 0);
    return FromUInt64(static_cast<std::uint64_t>(ticks) + kUnixEpochAsFileTime);
}

void FailWritesForTesting(int countdown, bool sticky) {
    files::SetWriteFailure(countdown, sticky);
}

int HostDescriptorOfHandle(HANDLE file) {
    auto f = LookupHandleAs<FileObject>(file);
    return f ? f->Fd() : -1;
}

}  // namespace win

using win::files::ErrorFromErrno;

HANDLE CreateFileW(const WCHAR* fileName, DWORD desiredAccess, DWORD shareMode,
                   SECURITY_ATTRIBUTES* securityAttributes, DWORD creationDisposition,
                   DWORD flagsAndAttributes, HANDLE templateFile) {
    if (creationDisposition < CREATE_NEW || creationDisposition > TRUNCATE_EXISTING ||
        (flagsAndAttributes & FILE_FLAG_OVERLAPPED)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    auto host = win::files::ResolveArgument(fileName);
    if (!host)
        return INVALID_HANDLE_VALUE;
    bool canRead = desiredAccess & (GENERIC_READ | GENERIC_ALL);
    bool canWrite = desiredAccess & (GENERIC_WRITE | GENERIC_ALL);
    if (creationDisposition == TRUNCATE_EXISTING && !canWrite) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }

    struct stat st {};
    bool existed = stat(host->c_str(), &st) == 0;
    if (existed && S_ISDIR(st.st_mode)) {
        // A directory opens only for its times and attributes, and only
        // with backup semantics.
        if (!(flagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS) ||
            creationDisposition == CREATE_NEW || creationDisposition == CREATE_ALWAYS ||
            creationDisposition == TRUNCATE_EXISTING) {
            SetLastError(creationDisposition == CREATE_NEW ? ERROR_FILE_EXISTS
                                                           : ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
        int fd = open(host->c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) {
            SetLastError(ErrorFromErrno(errno, *host));
            return INVALID_HANDLE_VALUE;
        }
        SetLastError(creationDisposition == OPEN_ALWAYS ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
        return win::RegisterHandle(std::make_shared<win::FileObject>(
            fd, *host, false, false, desiredAccess & (FILE_WRITE_ATTRIBUTES | GENERIC_WRITE),
            false));
    }
    if (existed) {
        DWORD attrs = win::files::AttributesOf(*host, st);
        bool replaces =
            creationDisposition == CREATE_ALWAYS || creationDisposition == TRUNCATE_EXISTING;
        if (creationDisposition == CREATE_NEW) {
            SetLastError(ERROR_FILE_EXISTS);
            return INVALID_HANDLE_VALUE;
        }
        // Enforced here because the host may let this process write anyway.
        if ((attrs & FILE_ATTRIBUTE_READONLY) && (canWrite || replaces)) {
            SetLastError(ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
        // Replacing a hidden or system file must say so, as on the platform.
        DWORD hs = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
        if (creationDisposition == CREATE_ALWAYS && (attrs & hs) & ~(flagsAndAttributes & hs)) {
            SetLastError(ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
    }

    int flags = O_CLOEXEC;
    flags |= canRead && canWrite ? O_RDWR : canWrite ? O_WRONLY : O_RDONLY;
    switch (creationDisposition) {
        case CREATE_NEW:
            flags |= O_CREAT | O_EXCL;
            break;
        case CREATE_ALWAYS:
            flags |= O_CREAT | O_TRUNC;
            break;
        case OPEN_ALWAYS:
            flags |= O_CREAT;
            break;
        case TRUNCATE_EXISTING:
            flags |= O_TRUNC;
            break;
        default:
            break;
    }
    mode_t mode = (flagsAndAttributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;
    int fd = open(host->c_str(), flags, mode);
    if (fd < 0) {
        int err = errno;
        SetLastError(err == EEXIST ? ERROR_FILE_EXISTS : ErrorFromErrno(err, *host));
        return INVALID_HANDLE_VALUE;
    }
    bool created = !existed;
    if (created || creationDisposition == CREATE_ALWAYS) {
        DWORD wanted = (flagsAndAttributes & win::kStoredAttributeBits) | FILE_ATTRIBUTE_ARCHIVE;
        win::files::SetAttributesOfDescriptor(fd, wanted);
    }
    auto object = std::make_shared<win::FileObject>(fd, *host, canRead, canWrite,
                                                    desiredAccess & FILE_WRITE_ATTRIBUTES,
                                                    flagsAndAttributes & FILE_FLAG_DELETE_ON_CLOSE);
    HANDLE h = win::RegisterHandle(std::move(object));
    bool reportsExisting =
        creationDisposition == CREATE_ALWAYS || creationDisposition == OPEN_ALWAYS;
    SetLastError(existed && reportsExisting ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return h;
}

BOOL ReadFile(HANDLE file, void* buffer, DWORD bytesToRead, DWORD* bytesRead,
              OVERLAPPED* overlapped) {
    if (bytesRead)
        *bytesRead = 0;
    auto f = win::FileOf(file);
    if (!f)
        return FALSE;
    if (overlapped || (!bytesRead) || (!buffer && bytesToRead))
        return win::Fail(ERROR_INVALID_PARAMETER);
    if (!f->CanRead())
        return win::Fail(ERROR_ACCESS_DENIED);
    auto p = static_cast<char*>(buffer);
    DWORD total = 0;
    while (total < bytesToRead) {
        ssize_t n = read(f->Fd(), p + total, bytesToRead - total);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *bytesRead = total;
            return win::Fail(Win32ErrorFromErrno(errno));
        }
        if (n == 0)
            break;
        total += static_cast<DWORD>(n);
    }
    *bytesRead = total;
    return TRUE;
}

BOOL WriteFile(HANDLE file, const void* buffer, DWORD bytesToWrite, DWORD* bytesWritten,
               OVERLAPPED* overlapped) {
    if (bytesWritten)
        *bytesWritten = 0;
    auto f = win::FileOf(file);
    if (!f)
        return FALSE;
    if (overlapped || (!buffer && bytesToWrite))
        return win::Fail(ERROR_INVALID_PARAMETER);
    if (!f->CanWrite())
        return win::Fail(ERROR_ACCESS_DENIED);
    win::CountCrashWrite(f->Fd());
    if (win::files::WriteMustFail())
        return win::Fail(ERROR_DISK_FULL);
    if (!win::WriteAll(f->Fd(), buffer, bytesToWrite))
        return win::Fail(Win32ErrorFromErrno(errno));
    if (bytesWritten)
        *bytesWritten = bytesToWrite;
    return TRUE;
}

namespace {

int Whence(DWORD moveMethod) {
    switch (moveMethod) {
        case FILE_BEGIN:
            return SEEK_SET;
        case FILE_CURRENT:
            return SEEK_CUR;
        case FILE_END:
            return SEEK_END;
        default:
            return -1;
    }
}

// Moves the position; the new position or -1 with the last error set.
std::int64_t Seek(HANDLE file, std::int64_t distance, DWORD moveMethod) {
    auto f = win::FileOf(file);
    if (!f)
        return -1;
    int whence = Whence(moveMethod);
    if (whence < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    off_t pos = lseek(f->Fd(), static_cast<off_t>(distance), whence);
    if (pos < 0) {
        SetLastError(errno == EINVAL ? ERROR_INVALID_PARAMETER : Win32ErrorFromErrno(errno));
        return -1;
    }
    return pos;
}

}  // namespace

DWORD SetFilePointer(HANDLE file, LONG distanceToMove, LONG* distanceToMoveHigh, DWORD moveMethod) {
    std::int64_t distance = distanceToMove;
    if (distanceToMoveHigh) {
        distance = static_cast<std::int64_t>(
            (static_cast<std::uint64_t>(static_cast<DWORD>(*distanceToMoveHigh)) << 32) |
            static_cast<DWORD>(distanceToMove));
    }
    if (!distanceToMoveHigh) {
        // Without a high part the result must fit 32 bits: check before moving.
        auto f = win::FileOf(file);
        if (!f)
            return INVALID_SET_FILE_POINTER;
        off_t cur = lseek(f->Fd(), 0, SEEK_CUR);
        struct stat st {};
        fstat(f->Fd(), &st);
        std::int64_t base = moveMethod == FILE_CURRENT ? cur
                            : moveMethod == FILE_END   ? st.st_size
                                                       : 0;
        if (base + distance > 0xFFFFFFFE && Whence(moveMethod) >= 0) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return INVALID_SET_FILE_POINTER;
        }
    }
    std::int64_t pos = Seek(file, distance, moveMethod);
    if (pos < 0)
        return INVALID_SET_FILE_POINTER;
    if (distanceToMoveHigh)
        *distanceToMoveHigh = static_cast<LONG>(pos >> 32);
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(pos);
}

BOOL SetFilePointerEx(HANDLE file, LARGE_INTEGER distanceToMove, LARGE_INTEGER* newFilePointer,
                      DWORD moveMethod) {
    std::int64_t pos = Seek(file, distanceToMove.QuadPart, moveMethod);
    if (pos < 0)
        return FALSE;
    if (newFilePointer)
        newFilePointer->QuadPart = pos;
    return TRUE;
}

DWORD GetFileSize(HANDLE file, DWORD* fileSizeHigh) {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file, &size))
        return INVALID_FILE_SIZE;
    if (fileSizeHigh)
        *fileSizeHigh = static_cast<DWORD>(size.QuadPart >> 32);
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(size.QuadPart);
}

BOOL GetFileSizeEx(HANDLE file, LARGE_INTEGER* fileSize) {
    auto f = win::FileOf(file);
    if (!f)
        return FALSE;
    if (!fileSize)
        return win::Fail(ERROR_INVALID_PARAMETER);
    struct stat st {};
    if (fstat(f->Fd(), &st) != 0)
        return win::Fail(Win32ErrorFromErrno(errno));
    fileSize->QuadPart = S_ISDIR(st.st_mode) ? 0 : st.st_size;
    return TRUE;
}

BOOL SetEndOfFile(HANDLE file) {
    auto f = win::FileOf(file);
    if (!f)
        return FALSE;
    if (!f->CanWrite())
        return win::Fail(ERROR_ACCESS_DENIED);
    off_t pos = lseek(f->Fd(), 0, SEEK_CUR);
    if (pos < 0 || ftruncate(f->Fd(), pos) != 0)
        return win::Fail(Win32ErrorFromErrno(errno));
    return TRUE;
}

BOOL FlushFileBuffers(HANDLE file) {
    auto f = win::FileOf(file);
    if (!f)
        return FALSE;
    if (!f->CanWrite())
        return win::Fail(ERROR_ACCESS_DENIED);
    if (fdatasync(f->Fd()) != 0)
        return win::Fail(Win32ErrorFromErrno(errno));
    return TRUE;
}

BOOL GetFileTime(HANDLE file, FILETIME* creationTime, FILETIME* lastAccessTime,
                 FILETIME* lastWriteTime) {
    auto f = win::FileOf(file);
    if (!f)
        return FALSE;
    struct stat st {};
    if (fstat(f->Fd(), &st) != 0)
        return win::Fail(Win32ErrorFromErrno(errno));
    if (creationTime) {
        *creationTime = win::FromUInt64(win::files::CreationTimeOf(f->Fd(), f->HostPath(), st));
    }
    if (lastAccessTime)
        *lastAccessTime = win::FromTimespec(st.st_atim);
    if (lastWriteTime)
        *lastWriteTime = win::FromTimespec(st.st_mtim);
    return TRUE;
}

BOOL SetFileTime(HANDLE file, const FILETIME* creationTime, const FILETIME* lastAccessTime,
                 const FILETIME* lastWriteTime) {
    auto f = win::FileOf(file);
    if (!f)
        return FALSE;
    if (!f->CanSetAttributes())
        return win::Fail(ERROR_ACCESS_DENIED);
    auto given = [](const FILETIME* t) { return t && win::ToUInt64(*t) != 0; };
    auto toTimespec = [](const FILETIME* t) {
        std::int64_t ns = win::FileTimeToUnixNanoseconds(*t);
        timespec ts{};
        ts.tv_sec = ns / 1000000000;
        ts.tv_nsec = ns % 1000000000;
        if (ts.tv_nsec < 0) {
            ts.tv_nsec += 1000000000;
            ts.tv_sec -= 1;
        }
        return ts;
    };
    timespec times[2];
    times[0] = given(lastAccessTime) ? toTimespec(lastAccessTime) : timespec{0, UTIME_OMIT};
    times[1] = given(lastWriteTime) ? toTimespec(lastWriteTime) : timespec{0, UTIME_OMIT};
    if ((given(lastAccessTime) || given(lastWriteTime)) && futimens(f->Fd(), times) != 0) {
        return win::Fail(Win32ErrorFromErrno(errno));
    }
    if (given(creationTime)) {
        DWORD e = win::files::SetCreationTime(f->Fd(), win::ToUInt64(*creationTime));
        if (e != ERROR_SUCCESS)
            return win::Fail(e);
    }
    return TRUE;
}

BOOL DeleteFileW(const WCHAR* fileName) {
    auto host = win::files::ResolveArgument(fileName);
    if (!host)
        return FALSE;
    struct stat st {};
    if (lstat(host->c_str(), &st) != 0)
        return win::Fail(ErrorFromErrno(errno, *host));
    if (S_ISDIR(st.st_mode))
        return win::Fail(ERROR_ACCESS_DENIED);
    if (!S_ISLNK(st.st_mode) && win::files::IsReadOnly(*host))
        return win::Fail(ERROR_ACCESS_DENIED);
    win::CountCrashStep(win::CrashStep::kDelete, *host);
    if (unlink(host->c_str()) != 0)
        return win::Fail(ErrorFromErrno(errno, *host));
    if (st.st_nlink <= 1)
        win::files::ForgetKept(st);
    return TRUE;
}

namespace {

// The rename is on the disk once its directory is.
void SyncParentDirectory(const std::string& hostPath) {
    int dir = open(win::files::HostParent(hostPath).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
}

}  // namespace

BOOL MoveFileW(const WCHAR* existingFileName, const WCHAR* newFileName) {
    return MoveFileExW(existingFileName, newFileName, MOVEFILE_COPY_ALLOWED);
}

BOOL MoveFileExW(const WCHAR* existingFileName, const WCHAR* newFileName, DWORD flags) {
    auto from = win::files::ResolveArgument(existingFileName);
    if (!from)
        return FALSE;
    auto to = win::files::ResolveArgument(newFileName);
    if (!to)
        return FALSE;
    struct stat src {};
    if (lstat(from->c_str(), &src) != 0)
        return win::Fail(ErrorFromErrno(errno, *from));
    struct stat dst {};
    bool targetExists = lstat(to->c_str(), &dst) == 0;
    bool sameFile = targetExists && src.st_dev == dst.st_dev && src.st_ino == dst.st_ino;
    if (targetExists && !sameFile) {
        if (!(flags & MOVEFILE_REPLACE_EXISTING))
            return win::Fail(ERROR_ALREADY_EXISTS);
        if (S_ISDIR(dst.st_mode) || S_ISDIR(src.st_mode) || win::files::IsReadOnly(*to)) {
            return win::Fail(ERROR_ACCESS_DENIED);
        }
    }
    win::CountCrashStep(win::CrashStep::kRename, *to);
    int rc;
    // A replaced target is gone: nothing kept for it may pass to a later file.
    if (targetExists && !sameFile)
        win::files::ForgetKept(dst);
    if (flags & MOVEFILE_REPLACE_EXISTING) {
        rc = rename(from->c_str(), to->c_str());
    } else {
        // Atomic: a target that appears meanwhile is not replaced.
        rc = renameat2(AT_FDCWD, from->c_str(), AT_FDCWD, to->c_str(), RENAME_NOREPLACE);
        if (rc != 0 && errno == EINVAL)
            rc = rename(from->c_str(), to->c_str());
    }
    if (rc == 0) {
        if (flags & MOVEFILE_WRITE_THROUGH)
            SyncParentDirectory(*to);
        return TRUE;
    }
    int err = errno;
    if (err == EEXIST)
        return win::Fail(ERROR_ALREADY_EXISTS);
    if (err == EXDEV && (flags & MOVEFILE_COPY_ALLOWED) && !S_ISDIR(src.st_mode)) {
        DWORD e = win::CopyHostFile(*from, *to, false);
        if (e != ERROR_SUCCESS)
            return win::Fail(e);
        unlink(from->c_str());
        return TRUE;
    }
    if (err == ENOENT)
        return win::Fail(ERROR_PATH_NOT_FOUND);
    return win::Fail(ErrorFromErrno(err, *to));
}

BOOL CopyFileW(const WCHAR* existingFileName, const WCHAR* newFileName, BOOL failIfExists) {
    auto from = win::files::ResolveArgument(existingFileName);
    if (!from)
        return FALSE;
    auto to = win::files::ResolveArgument(newFileName);
    if (!to)
        return FALSE;
    struct stat a {
    }, b{};
    if (stat(from->c_str(), &a) == 0 && stat(to->c_str(), &b) == 0 && a.st_dev == b.st_dev &&
        a.st_ino == b.st_ino) {
        // Copying a file onto itself would truncate it first.
        return win::Fail(failIfExists ? ERROR_FILE_EXISTS : ERROR_SHARING_VIOLATION);
    }
    DWORD e = win::CopyHostFile(*from, *to, failIfExists);
    if (e != ERROR_SUCCESS)
        return win::Fail(e);
    return TRUE;
}

BOOL CreateDirectoryW(const WCHAR* pathName, SECURITY_ATTRIBUTES* securityAttributes) {
    auto host = win::files::ResolveArgument(pathName);
    if (!host)
        return FALSE;
    if (mkdir(host->c_str(), 0777) != 0) {
        int err = errno;
        if (err == EEXIST)
            return win::Fail(ERROR_ALREADY_EXISTS);
        if (err == ENOENT || err == ENOTDIR)
            return win::Fail(ERROR_PATH_NOT_FOUND);
        return win::Fail(Win32ErrorFromErrno(err));
    }
    return TRUE;
}

BOOL RemoveDirectoryW(const WCHAR* pathName) {
    auto host = win::files::ResolveArgument(pathName);
    if (!host)
        return FALSE;
    struct stat st {};
    if (lstat(host->c_str(), &st) != 0)
        return win::Fail(ErrorFromErrno(errno, *host));
    if (!S_ISDIR(st.st_mode))
        return win::Fail(ERROR_DIRECTORY);
    if (win::files::IsReadOnly(*host))
        return win::Fail(ERROR_ACCESS_DENIED);
    if (rmdir(host->c_str()) != 0) {
        int err = errno;
        if (err == ENOTEMPTY || err == EEXIST)
            return win::Fail(ERROR_DIR_NOT_EMPTY);
        return win::Fail(ErrorFromErrno(err, *host));
    }
    win::files::ForgetKept(st);
    return TRUE;
}

HANDLE FindFirstFileW(const WCHAR* fileName, WIN32_FIND_DATAW* findFileData) {
    if (!fileName || !findFileData) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::wstring_view given(fileName);
    if (given.empty() || given.back() == L'\\' || given.back() == L'/') {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    auto full = win::FullWindowsPath(given);
    if (!full)
        return INVALID_HANDLE_VALUE;
    if (win::IsDriveRoot(*full)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    std::size_t slash = full->rfind(L'\\');
    std::wstring dir = full->substr(0, slash + 1);
    std::wstring pattern = full->substr(slash + 1);
    auto hostDir = win::HostPath(dir);
    if (!hostDir)
        return INVALID_HANDLE_VALUE;
    DIR* d = opendir(hostDir->c_str());
    if (!d) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    std::wstring translated = win::TranslatePattern(pattern);
    std::string base = hostDir->back() == '/' ? *hostDir : *hostDir + "/";
    std::vector<std::pair<std::wstring, std::string>> names;  // Windows name, host path
    while (dirent* e = readdir(d)) {
        std::string n = e->d_name;
        bool dots = n == "." || n == "..";
        if (dots && win::IsDriveRoot(dir))
            continue;
        std::wstring w = win::PathFromUtf8(n);
        if (w.size() >= static_cast<std::size_t>(MAX_PATH))
            continue;
        if (win::Match(translated, 0, win::ToUpper(w), 0))
            names.emplace_back(w, base + n);
    }
    closedir(d);
    std::sort(names.begin(), names.end(),
              [](const auto& a, const auto& b) { return win::NameLess(a.first, b.first); });
    std::vector<WIN32_FIND_DATAW> entries;
    for (const auto& [w, hostPath] : names) {
        struct stat st {};
        if (stat(hostPath.c_str(), &st) != 0 && lstat(hostPath.c_str(), &st) != 0)
            continue;
        WIN32_FIND_DATAW data;
        win::FillFindData(w, hostPath, st, &data);
        entries.push_back(data);
    }
    if (entries.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    *findFileData = entries.front();
    SetLastError(ERROR_SUCCESS);
    return win::RegisterHandle(std::make_shared<win::FindObject>(std::move(entries)));
}

BOOL FindNextFileW(HANDLE findFile, WIN32_FIND_DATAW* findFileData) {
    auto f = win::LookupHandleAs<win::FindObject>(findFile);
    if (!f)
        return win::Fail(ERROR_INVALID_HANDLE);
    if (!findFileData)
        return win::Fail(ERROR_INVALID_PARAMETER);
    if (!f->Next(findFileData))
        return win::Fail(ERROR_NO_MORE_FILES);
    return TRUE;
}

BOOL FindClose(HANDLE findFile) {
    if (!win::LookupHandleAs<win::FindObject>(findFile))
        return win::Fail(ERROR_INVALID_HANDLE);
    return CloseHandle(findFile);
}

DWORD GetFileAttributesW(const WCHAR* fileName) {
    auto host = win::files::ResolveArgument(fileName);
    if (!host)
        return INVALID_FILE_ATTRIBUTES;
    struct stat st {};
    if (stat(host->c_str(), &st) != 0) {
        SetLastError(ErrorFromErrno(errno, *host));
        return INVALID_FILE_ATTRIBUTES;
    }
    return win::files::AttributesOf(*host, st);
}

BOOL SetFileAttributesW(const WCHAR* fileName, DWORD fileAttributes) {
    auto host = win::files::ResolveArgument(fileName);
    if (!host)
        return FALSE;
    DWORD e = win::files::SetAttributes(*host, fileAttributes);
    if (e != ERROR_SUCCESS)
        return win::Fail(e);
    return TRUE;
}

BOOL GetFileAttributesExW(const WCHAR* fileName, GET_FILEEX_INFO_LEVELS infoLevelId,
                          void* fileInformation) {
    if (infoLevelId != GetFileExInfoStandard || !fileInformation) {
        return win::Fail(ERROR_INVALID_PARAMETER);
    }
    auto host = win::files::ResolveArgument(fileName);
    if (!host)
        return FALSE;
    struct stat st {};
    if (stat(host->c_str(), &st) != 0)
        return win::Fail(ErrorFromErrno(errno, *host));
    WIN32_FIND_DATAW data;
    win::FillFindData(L"", *host, st, &data);
    auto* out = static_cast<WIN32_FILE_ATTRIBUTE_DATA*>(fileInformation);
    out->dwFileAttributes = data.dwFileAttributes;
    out->ftCreationTime = data.ftCreationTime;
    out->ftLastAccessTime = data.ftLastAccessTime;
    out->ftLastWriteTime = data.ftLastWriteTime;
    out->nFileSizeHigh = data.nFileSizeHigh;
    out->nFileSizeLow = data.nFileSizeLow;
    return TRUE;
}

BOOL PathFileExistsW(const WCHAR* path) {
    auto host = win::files::ResolveArgument(path);
    if (!host)
        return FALSE;
    struct stat st {};
    if (stat(host->c_str(), &st) != 0)
        return win::Fail(ErrorFromErrno(errno, *host));
    return TRUE;
}
