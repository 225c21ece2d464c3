#include "platform/win/Crt.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/win/CrashPoints.h"
#include "platform/win/Errors.h"
#include "platform/win/FileSupport.h"
#include "platform/win/Files.h"
#include "platform/win/Mutex.h"
#include "platform/win/Paths.h"
#include "platform/win/Text.h"

namespace {

constexpr char kCtrlZ = 0x1A;
constexpr std::size_t kStreamBuffer = 4096;

// What the runtime remembers about each descriptor it opened.
struct Descriptor {
    bool text = false;
    bool reachedCtrlZ = false;  // text-mode reads return 0 until the next seek
    bool deleteOnClose = false;
    std::string hostPath;
};

win::Mutex g_mutex;
std::map<int, Descriptor> g_descriptors GUARDED_BY(g_mutex);

int ErrnoFromWin32(DWORD e) {
    switch (e) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
            return ENOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
            return EACCES;
        case ERROR_ALREADY_EXISTS:
        case ERROR_FILE_EXISTS:
            return EEXIST;
        case ERROR_DIR_NOT_EMPTY:
            return ENOTEMPTY;
        case ERROR_TOO_MANY_OPEN_FILES:
            return EMFILE;
        case ERROR_DISK_FULL:
            return ENOSPC;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
            return ENOMEM;
        case ERROR_DIRECTORY:
            return ENOTDIR;
        default:
            return EINVAL;
    }
}

// Resolves a path argument, setting errno on failure.
std::optional<std::string> Resolve(const WCHAR* path) {
    if (!path) {
        errno = EINVAL;
        return std::nullopt;
    }
    auto host = win::files::ResolveArgument(path);
    if (!host)
        errno = ErrnoFromWin32(GetLastError());
    return host;
}

bool LookupDescriptor(int fd, Descriptor* out) {
    win::MutexLock lock(g_mutex);
    auto it = g_descriptors.find(fd);
    if (it == g_descriptors.end())
        return false;
    if (out)
        *out = it->second;
    return true;
}

void SetReachedCtrlZ(int fd, bool value) {
    win::MutexLock lock(g_mutex);
    auto it = g_descriptors.find(fd);
    if (it != g_descriptors.end())
        it->second.reachedCtrlZ = value;
}

bool WriteAll(int fd, const char* p, std::size_t n) {
    win::CountCrashWrite(fd);
    if (win::files::WriteMustFail()) {
        errno = ENOSPC;
        return false;
    }
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

std::string ToCrLf(const char* p, std::size_t n) {
    std::string out;
    out.reserve(n + n / 16);
    for (std::size_t i = 0; i < n; ++i) {
        if (p[i] == '\n')
            out += '\r';
        out += p[i];
    }
    return out;
}

// "a+" in text mode drops a Ctrl-Z that ends the file, so what is appended
// is not hidden behind an end-of-file mark.
void RemoveTrailingCtrlZ(int fd) {
    struct stat st {};
    if (fstat(fd, &st) != 0 || st.st_size == 0)
        return;
    char last = 0;
    if (pread(fd, &last, 1, st.st_size - 1) == 1 && last == kCtrlZ) {
        if (ftruncate(fd, st.st_size - 1) != 0) {
            // Left as it is: reading still stops at the mark.
        }
    }
}

}  // namespace

int _wsopen(const WCHAR* fileName, int openFlag, int shareFlag, int permissionMode) {
    int access = openFlag & (_O_RDONLY | _O_WRONLY | _O_RDWR);
    if (access == (_O_WRONLY | _O_RDWR) || ((openFlag & _O_TEXT) && (openFlag & _O_BINARY))) {
        errno = EINVAL;
        return -1;
    }
    auto host = Resolve(fileName);
    if (!host)
        return -1;
    bool writes = access != _O_RDONLY || (openFlag & _O_TRUNC);
    struct stat st {};
    bool existed = stat(host->c_str(), &st) == 0;
    if (existed) {
        if ((openFlag & _O_CREAT) && (openFlag & _O_EXCL)) {
            errno = EEXIST;
            return -1;
        }
        if (S_ISDIR(st.st_mode) || (writes && win::files::IsReadOnly(*host))) {
            errno = EACCES;
            return -1;
        }
        // Create-and-truncate replaces the file as a new one, which the
        // platform refuses for hidden and system files.
        if ((openFlag & _O_CREAT) && (openFlag & _O_TRUNC) &&
            (win::files::AttributesOf(*host, st) &
             (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM))) {
            errno = EACCES;
            return -1;
        }
    }
    int flags = O_CLOEXEC;
    flags |= access == _O_RDWR ? O_RDWR : access == _O_WRONLY ? O_WRONLY : O_RDONLY;
    if (openFlag & _O_APPEND)
        flags |= O_APPEND;
    if (openFlag & _O_CREAT)
        flags |= O_CREAT;
    if (openFlag & _O_TRUNC)
        flags |= O_TRUNC;
    if (openFlag & _O_EXCL)
        flags |= O_EXCL;
    mode_t mode = (permissionMode & _S_IWRITE) ? 0666 : 0444;
    int fd = open(host->c_str(), flags, mode);
    if (fd < 0) {
        int err = errno;
        errno = err == ENOTDIR ? ENOENT : err == EISDIR ? EACCES : err;
        return -1;
    }
    Descriptor d;
    d.text = !(openFlag & _O_BINARY);
    d.deleteOnClose = openFlag & _O_TEMPORARY;
    d.hostPath = *host;
    if (d.text && access == _O_RDWR && (openFlag & _O_APPEND))
        RemoveTrailingCtrlZ(fd);
    win::MutexLock lock(g_mutex);
    g_descriptors[fd] = d;
    return fd;
}

int _wopen(const WCHAR* fileName, int openFlag, int permissionMode) {
    return _wsopen(fileName, openFlag, _SH_DENYNO, permissionMode);
}

errno_t _wsopen_s(int* descriptor, const WCHAR* fileName, int openFlag, int shareFlag,
                  int permissionMode) {
    if (!descriptor)
        return errno = EINVAL;
    *descriptor = _wsopen(fileName, openFlag, shareFlag, permissionMode);
    return *descriptor < 0 ? errno : 0;
}

int _read(int descriptor, void* buffer, unsigned int count) {
    Descriptor d;
    if (!LookupDescriptor(descriptor, &d)) {
        errno = EBADF;
        return -1;
    }
    if (!buffer && count) {
        errno = EINVAL;
        return -1;
    }
    auto* out = static_cast<char*>(buffer);
    ssize_t n;
    do {
        n = read(descriptor, out, count);
    } while (n < 0 && errno == EINTR);
    if (n <= 0 || !d.text)
        return static_cast<int>(n);
    if (d.reachedCtrlZ) {
        // Undo the read: the mark stays the end until the caller seeks.
        lseek(descriptor, -n, SEEK_CUR);
        return 0;
    }
    // CR LF becomes LF; reading stops at a Ctrl-Z, which stays unread.
    std::size_t w = 0;
    for (ssize_t i = 0; i < n; ++i) {
        char c = out[i];
        if (c == kCtrlZ) {
            lseek(descriptor, i - n, SEEK_CUR);
            SetReachedCtrlZ(descriptor, true);
            break;
        }
        if (c == '\r') {
            if (i + 1 < n) {
                if (out[i + 1] == '\n')
                    continue;  // the LF is copied next
            } else {
                // The CR ends this block: look at the byte after it.
                char next = 0;
                ssize_t m = read(descriptor, &next, 1);
                if (m == 1 && next == '\n') {
                    out[w++] = '\n';
                    break;
                }
                if (m == 1)
                    lseek(descriptor, -1, SEEK_CUR);
            }
        }
        out[w++] = c;
    }
    return static_cast<int>(w);
}

int _write(int descriptor, const void* buffer, unsigned int count) {
    Descriptor d;
    if (!LookupDescriptor(descriptor, &d)) {
        errno = EBADF;
        return -1;
    }
    if (!buffer && count) {
        errno = EINVAL;
        return -1;
    }
    const char* p = static_cast<const char*>(buffer);
    bool ok;
    if (d.text) {
        std::string translated = ToCrLf(p, count);
        ok = WriteAll(descriptor, translated.data(), translated.size());
    } else {
        ok = WriteAll(descriptor, p, count);
    }
    return ok ? static_cast<int>(count) : -1;
}

std::int64_t _lseeki64(int descriptor, std::int64_t offset, int origin) {
    if (!LookupDescriptor(descriptor, nullptr)) {
        errno = EBADF;
        return -1;
    }
    if (origin != SEEK_SET && origin != SEEK_CUR && origin != SEEK_END) {
        errno = EINVAL;
        return -1;
    }
    off_t pos = lseek(descriptor, static_cast<off_t>(offset), origin);
    if (pos >= 0)
        SetReachedCtrlZ(descriptor, false);
    return pos;
}

long _lseek(int descriptor, long offset, int origin) {
    std::int64_t pos = _lseeki64(descriptor, offset, origin);
    if (pos > 0x7FFFFFFF) {
        errno = EINVAL;
        return -1;
    }
    return static_cast<long>(pos);
}

int _close(int descriptor) {
    Descriptor d;
    {
        win::MutexLock lock(g_mutex);
        auto it = g_descriptors.find(descriptor);
        if (it == g_descriptors.end()) {
            errno = EBADF;
            return -1;
        }
        d = it->second;
        g_descriptors.erase(it);
    }
    if (d.deleteOnClose)
        unlink(d.hostPath.c_str());
    return close(descriptor) == 0 ? 0 : -1;
}

std::int64_t _filelengthi64(int descriptor) {
    struct stat st {};
    if (!LookupDescriptor(descriptor, nullptr) || fstat(descriptor, &st) != 0) {
        errno = EBADF;
        return -1;
    }
    return st.st_size;
}

int _commit(int descriptor) {
    if (!LookupDescriptor(descriptor, nullptr)) {
        errno = EBADF;
        return -1;
    }
    return fsync(descriptor) == 0 ? 0 : -1;
}

long _filelength(int descriptor) {
    return static_cast<long>(_filelengthi64(descriptor));
}

// A buffered stream over one descriptor. Bytes ahead of the position are
// kept raw (as on disk) and translated as they are taken, so the position
// on disk is always known exactly.
class CrtFile {
public:
    CrtFile(int fd, bool text, bool canRead, bool canWrite, bool append)
        : m_fd(fd), m_text(text), m_canRead(canRead), m_canWrite(canWrite), m_append(append) {}

    int Fd() const { return m_fd; }
    bool Eof() const { return m_eof; }
    bool Error() const { return m_error; }
    void ClearError() {
        m_eof = false;
        m_error = false;
    }

    bool Write(const char* p, std::size_t n) {
        if (!m_canWrite) {
            m_error = true;
            errno = EBADF;
            return false;
        }
        DropReadAhead();
        if (m_text) {
            m_out += ToCrLf(p, n);
        } else {
            m_out.append(p, n);
        }
        return m_out.size() < kStreamBuffer || Flush();
    }

    bool Flush() {
        if (m_out.empty())
            return true;
        bool ok = WriteAll(m_fd, m_out.data(), m_out.size());
        m_out.clear();
        if (!ok)
            m_error = true;
        return ok;
    }

    // The next byte as the caller sees it, or EOF.
    int Get() {
        if (!m_canRead) {
            m_error = true;
            errno = EBADF;
            return EOF;
        }
        if (!m_out.empty() && !Flush())
            return EOF;
        if (!Fill(1))
            return EOF;
        char c = m_in[m_inPos];
        if (m_text) {
            if (c == kCtrlZ) {
                m_eof = true;
                return EOF;
            }
            if (c == '\r' && Fill(2) && m_in[m_inPos + 1] == '\n') {
                m_inPos += 2;
                return '\n';
            }
        }
        ++m_inPos;
        return static_cast<unsigned char>(c);
    }

    std::size_t Read(char* p, std::size_t n) {
        std::size_t got = 0;
        if (!m_text && m_canRead) {
            // Binary: straight copies from the buffer and the descriptor.
            if (!m_out.empty() && !Flush())
                return 0;
            while (got < n && Fill(1)) {
                std::size_t take = std::min(n - got, m_in.size() - m_inPos);
                std::memcpy(p + got, m_in.data() + m_inPos, take);
                m_inPos += take;
                got += take;
            }
            return got;
        }
        while (got < n) {
            int c = Get();
            if (c == EOF)
                break;
            p[got++] = static_cast<char>(c);
        }
        return got;
    }

    std::int64_t Tell() {
        off_t pos = lseek(m_fd, 0, SEEK_CUR);
        if (pos < 0)
            return -1;
        if (m_append && !m_out.empty()) {
            struct stat st {};
            fstat(m_fd, &st);
            return st.st_size + static_cast<std::int64_t>(m_out.size());
        }
        return pos - static_cast<std::int64_t>(m_in.size() - m_inPos) +
               static_cast<std::int64_t>(m_out.size());
    }

    bool Seek(std::int64_t offset, int origin) {
        std::int64_t base = 0;
        if (origin == SEEK_CUR) {
            base = Tell();
        } else if (origin == SEEK_END) {
            if (!Flush())
                return false;
            struct stat st {};
            if (fstat(m_fd, &st) != 0)
                return false;
            base = st.st_size;
        } else if (origin != SEEK_SET) {
            errno = EINVAL;
            return false;
        }
        if (base < 0 || base + offset < 0) {
            errno = EINVAL;
            return false;
        }
        if (!Flush())
            return false;
        m_in.clear();
        m_inPos = 0;
        if (lseek(m_fd, base + offset, SEEK_SET) < 0)
            return false;
        m_eof = false;
        return true;
    }

private:
    // Makes at least want bytes available ahead; false (and end of file
    // noted) when the file has fewer.
    bool Fill(std::size_t want) {
        while (m_in.size() - m_inPos < want) {
            if (m_inPos > 0) {
                m_in.erase(m_in.begin(), m_in.begin() + static_cast<std::ptrdiff_t>(m_inPos));
                m_inPos = 0;
            }
            std::size_t have = m_in.size();
            m_in.resize(have + kStreamBuffer);
            ssize_t n;
            do {
                n = read(m_fd, m_in.data() + have, kStreamBuffer);
            } while (n < 0 && errno == EINTR);
            m_in.resize(have + (n > 0 ? static_cast<std::size_t>(n) : 0));
            if (n < 0) {
                m_error = true;
                return false;
            }
            if (n == 0) {
                if (want == 1)
                    m_eof = true;
                return false;
            }
        }
        return true;
    }

    // Before writing: the descriptor's position goes back to where the
    // caller is, and what was read ahead is forgotten.
    void DropReadAhead() {
        std::size_t unread = m_in.size() - m_inPos;
        if (unread)
            lseek(m_fd, -static_cast<off_t>(unread), SEEK_CUR);
        m_in.clear();
        m_inPos = 0;
    }

    int m_fd;
    bool m_text;
    bool m_canRead;
    bool m_canWrite;
    bool m_append;
    bool m_eof = false;
    bool m_error = false;
    std::string m_out;
    std::vector<char> m_in;
    std::size_t m_inPos = 0;
};

namespace {

bool CheckStream(CrtFile* stream) {
    if (!stream)
        errno = EINVAL;
    return stream != nullptr;
}

}  // namespace

CrtFile* _wfsopen(const WCHAR* fileName, const WCHAR* mode, int shareFlag) {
    if (!fileName || !mode || !*mode) {
        errno = EINVAL;
        return nullptr;
    }
    int flags = 0;
    bool canRead = false, canWrite = false, append = false;
    switch (mode[0]) {
        case L'r':
            flags = _O_RDONLY;
            canRead = true;
            break;
        case L'w':
            flags = _O_WRONLY | _O_CREAT | _O_TRUNC;
            canWrite = true;
            break;
        case L'a':
            flags = _O_WRONLY | _O_CREAT | _O_APPEND;
            canWrite = true;
            append = true;
            break;
        default:
            errno = EINVAL;
            return nullptr;
    }
    bool binary = false, text = false;
    for (const WCHAR* m = mode + 1; *m; ++m) {
        switch (*m) {
            case L'+':
                if (canRead && canWrite) {
                    errno = EINVAL;
                    return nullptr;
                }
                flags = (flags & ~(_O_WRONLY | _O_RDONLY)) | _O_RDWR;
                canRead = canWrite = true;
                break;
            case L'b':
                binary = true;
                break;
            case L't':
                text = true;
                break;
            case L'x':
                if (mode[0] != L'w') {
                    errno = EINVAL;
                    return nullptr;
                }
                flags |= _O_EXCL;
                break;
            case L'c':
            case L'n':
            case L'N':
            case L'S':
            case L'R':
            case L'T':
            case L'D':
                break;
            default:
                errno = EINVAL;
                return nullptr;
        }
    }
    if (binary && text) {
        errno = EINVAL;
        return nullptr;
    }
    flags |= binary ? _O_BINARY : _O_TEXT;
    int fd = _wsopen(fileName, flags, shareFlag, _S_IREAD | _S_IWRITE);
    if (fd < 0)
        return nullptr;
    return new CrtFile(fd, !binary, canRead, canWrite, append);
}

CrtFile* _wfopen(const WCHAR* fileName, const WCHAR* mode) {
    return _wfsopen(fileName, mode, _SH_DENYNO);
}

errno_t _wfopen_s(CrtFile** stream, const WCHAR* fileName, const WCHAR* mode) {
    if (!stream)
        return errno = EINVAL;
    *stream = _wfopen(fileName, mode);
    return *stream ? 0 : errno;
}

int fclose(CrtFile* stream) {
    if (!CheckStream(stream))
        return EOF;
    bool ok = stream->Flush();
    int saved = errno;
    int rc = _close(stream->Fd());
    delete stream;
    if (!ok)
        errno = saved;
    return ok && rc == 0 ? 0 : EOF;
}

int fflush(CrtFile* stream) {
    if (!stream)
        return 0;
    return stream->Flush() ? 0 : EOF;
}

int fputs(const char* text, CrtFile* stream) {
    if (!CheckStream(stream) || !text)
        return EOF;
    return stream->Write(text, std::strlen(text)) ? 0 : EOF;
}

int fputc(int c, CrtFile* stream) {
    if (!CheckStream(stream))
        return EOF;
    char ch = static_cast<char>(c);
    return stream->Write(&ch, 1) ? static_cast<unsigned char>(ch) : EOF;
}

int vfprintf(CrtFile* stream, const char* format, va_list args) {
    if (!CheckStream(stream) || !format)
        return -1;
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (n < 0)
        return -1;
    std::string text(static_cast<std::size_t>(n) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, args);
    text.resize(static_cast<std::size_t>(n));
    return stream->Write(text.data(), text.size()) ? n : -1;
}

int fprintf(CrtFile* stream, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int n = vfprintf(stream, format, args);
    va_end(args);
    return n;
}

int fputws(const WCHAR* text, CrtFile* stream) {
    if (!CheckStream(stream) || !text)
        return EOF;
    std::string ansi = win::ToAnsi(text);
    return stream->Write(ansi.data(), ansi.size()) ? 0 : EOF;
}

std::size_t fwrite(const void* buffer, std::size_t size, std::size_t count, CrtFile* stream) {
    if (!CheckStream(stream) || size == 0 || count == 0)
        return 0;
    if (!buffer) {
        errno = EINVAL;
        return 0;
    }
    return stream->Write(static_cast<const char*>(buffer), size * count) ? count : 0;
}

std::size_t fread(void* buffer, std::size_t size, std::size_t count, CrtFile* stream) {
    if (!CheckStream(stream) || size == 0 || count == 0)
        return 0;
    if (!buffer) {
        errno = EINVAL;
        return 0;
    }
    return stream->Read(static_cast<char*>(buffer), size * count) / size;
}

char* fgets(char* buffer, int count, CrtFile* stream) {
    if (!CheckStream(stream) || !buffer || count <= 0) {
        errno = EINVAL;
        return nullptr;
    }
    int n = 0;
    while (n < count - 1) {
        int c = stream->Get();
        if (c == EOF)
            break;
        buffer[n++] = static_cast<char>(c);
        if (c == '\n')
            break;
    }
    buffer[n] = '\0';
    if (n == 0 && count > 1)
        return nullptr;
    if (stream->Error())
        return nullptr;
    return buffer;
}

int fgetc(CrtFile* stream) {
    if (!CheckStream(stream))
        return EOF;
    return stream->Get();
}

int _fseeki64(CrtFile* stream, std::int64_t offset, int origin) {
    if (!CheckStream(stream))
        return -1;
    return stream->Seek(offset, origin) ? 0 : -1;
}

int fseek(CrtFile* stream, long offset, int origin) {
    return _fseeki64(stream, offset, origin);
}

std::int64_t _ftelli64(CrtFile* stream) {
    if (!CheckStream(stream))
        return -1;
    return stream->Tell();
}

long ftell(CrtFile* stream) {
    return static_cast<long>(_ftelli64(stream));
}

void rewind(CrtFile* stream) {
    if (!stream)
        return;
    stream->Seek(0, SEEK_SET);
    stream->ClearError();
}

int feof(CrtFile* stream) {
    return stream && stream->Eof() ? 1 : 0;
}
int ferror(CrtFile* stream) {
    return stream && stream->Error() ? 1 : 0;
}
void clearerr(CrtFile* stream) {
    if (stream)
        stream->ClearError();
}
int _fileno(CrtFile* stream) {
    return CheckStream(stream) ? stream->Fd() : -1;
}

namespace {

int ErrnoResult(BOOL ok) {
    if (ok)
        return 0;
    errno = ErrnoFromWin32(GetLastError());
    return -1;
}

}  // namespace

int _wremove(const WCHAR* path) {
    if (!path)
        return errno = EINVAL, -1;
    return ErrnoResult(DeleteFileW(path));
}

int _wunlink(const WCHAR* path) {
    return _wremove(path);
}

int _wrename(const WCHAR* oldName, const WCHAR* newName) {
    if (!oldName || !newName)
        return errno = EINVAL, -1;
    if (MoveFileExW(oldName, newName, MOVEFILE_COPY_ALLOWED))
        return 0;
    // The runtime reports an existing target as EACCES.
    DWORD e = GetLastError();
    errno = e == ERROR_ALREADY_EXISTS || e == ERROR_FILE_EXISTS ? EACCES : ErrnoFromWin32(e);
    return -1;
}

int _wmkdir(const WCHAR* path) {
    if (!path)
        return errno = EINVAL, -1;
    return ErrnoResult(CreateDirectoryW(path, nullptr));
}

int _wrmdir(const WCHAR* path) {
    if (!path)
        return errno = EINVAL, -1;
    return ErrnoResult(RemoveDirectoryW(path));
}

int _waccess(const WCHAR* path, int mode) {
    if ((mode & ~6) != 0)
        return errno = EINVAL, -1;
    auto host = Resolve(path);
    if (!host)
        return -1;
    struct stat st {};
    if (stat(host->c_str(), &st) != 0)
        return errno = ENOENT, -1;
    if ((mode & 2) && !S_ISDIR(st.st_mode) && win::files::IsReadOnly(*host))
        return errno = EACCES, -1;
    return 0;
}

int _wstat64(const WCHAR* path, struct _stat64* buffer) {
    if (!buffer)
        return errno = EINVAL, -1;
    auto host = Resolve(path);
    if (!host)
        return -1;
    struct stat st {};
    if (stat(host->c_str(), &st) != 0)
        return errno = ENOENT, -1;
    buffer->st_mode = (S_ISDIR(st.st_mode) ? _S_IFDIR : _S_IFREG) | _S_IREAD;
    if (!win::files::IsReadOnly(*host))
        buffer->st_mode |= _S_IWRITE;
    buffer->st_size = S_ISDIR(st.st_mode) ? 0 : st.st_size;
    return 0;
}
