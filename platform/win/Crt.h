// The C runtime's wide-path file calls, as the product's code calls them on
// its platform: buffered streams (`CrtFile`, opened by _wfopen) and the
// low-level descriptor calls (_wopen, _read, _write, _lseek, _close).
//
// The stream functions carry the runtime's names but take CrtFile*, so they
// overload, and never clash with, <cstdio>'s FILE* functions.
//
// Text mode (the default, or "t" in the mode, or _O_TEXT): on writing, every
// "\n" goes to disk as CR LF; on reading, CR LF comes back as "\n" (a lone CR
// stays as it is), and a Ctrl-Z (0x1A) ends the data as the runtime treats it
// as end of file; opening "a+" in text mode removes a Ctrl-Z that ends the
// file. Binary mode ("b", _O_BINARY) passes bytes untouched. ftell and fseek
// work on byte offsets of the file on disk.
//
// Failures return the runtime's sentinel (null, EOF, -1) and set errno to the
// host errno value; the codes the product looks at (ENOENT, EACCES, EEXIST,
// EBADF, EINVAL, EMFILE, ENOSPC) have the same numbers as on the platform.
//
// A CrtFile must be used by one thread at a time (the platform locks each
// stream; the product never shares one). Descriptors may be used from any
// thread.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
// Before the overloads below: glibc's <wchar.h> names fclose in an attribute
// (open_wmemstream's deallocator), which GCC rejects as ambiguous once a
// second fclose is declared. Included here, it is seen with fclose unique.
#include <cwchar>

#include "platform/win/Types.h"

using errno_t = int;

class CrtFile;

// Share flags of _wsopen / _wfsopen.
constexpr int _SH_DENYRW = 0x10;
constexpr int _SH_DENYWR = 0x20;
constexpr int _SH_DENYRD = 0x30;
constexpr int _SH_DENYNO = 0x40;

// Opens a stream. mode: "r", "w", "a", "r+", "w+", "a+", then optionally "b"
// or "t", and "x" (with "w": fail with EEXIST when the file exists); the
// runtime's hint letters "c", "n", "N", "S", "R", "T", "D" are accepted and
// ignored. Returns null with errno ENOENT (missing file or directory),
// EACCES (read-only file opened for writing, a directory, or "w" of a hidden
// or system file), EEXIST ("x"), EINVAL (bad mode). The caller owns the stream and must fclose it.
CrtFile* _wfopen(const WCHAR* fileName, const WCHAR* mode);
// Same; shareFlag (_SH_*) is accepted (the host does not lock files).
CrtFile* _wfsopen(const WCHAR* fileName, const WCHAR* mode, int shareFlag);
// Stores the stream (or null) in *stream; returns 0 or the errno value.
errno_t _wfopen_s(CrtFile** stream, const WCHAR* fileName, const WCHAR* mode);

// Flushes and closes; 0, or EOF when the flush failed (the stream is freed
// either way).
int fclose(CrtFile* stream);
// Writes pending output; 0 or EOF. A null stream flushes nothing and returns 0.
int fflush(CrtFile* stream);
// fflush(nullptr) (as <cstdio> users write it) keeps its C meaning rather
// than being ambiguous between FILE* and CrtFile*.
inline int fflush(std::nullptr_t) {
    return std::fflush(static_cast<std::FILE*>(nullptr));
}

// Narrow text output. fputs: a non-negative value or EOF. fprintf/vfprintf:
// the number of bytes formatted (before text-mode translation) or a negative
// value.
int fputs(const char* text, CrtFile* stream);
int fputc(int c, CrtFile* stream);
int fprintf(CrtFile* stream, const char* format, ...) __attribute__((format(printf, 2, 3)));
int vfprintf(CrtFile* stream, const char* format, va_list args)
    __attribute__((format(printf, 2, 0)));
// Wide text to a narrow stream, as the runtime does without a Unicode mode:
// each character is converted to the ANSI code page (Windows-1252), '?' for
// the ones it lacks.
int fputws(const WCHAR* text, CrtFile* stream);

std::size_t fwrite(const void* buffer, std::size_t size, std::size_t count, CrtFile* stream);
std::size_t fread(void* buffer, std::size_t size, std::size_t count, CrtFile* stream);
// Reads up to count-1 bytes, stopping after "\n"; null at end of file with
// nothing read, or on error.
char* fgets(char* buffer, int count, CrtFile* stream);
int fgetc(CrtFile* stream);

// origin: SEEK_SET, SEEK_CUR, SEEK_END. Clears end of file. 0 or -1 (EINVAL).
int fseek(CrtFile* stream, long offset, int origin);
int _fseeki64(CrtFile* stream, std::int64_t offset, int origin);
long ftell(CrtFile* stream);
std::int64_t _ftelli64(CrtFile* stream);
void rewind(CrtFile* stream);
int feof(CrtFile* stream);
int ferror(CrtFile* stream);
void clearerr(CrtFile* stream);
// The stream's descriptor (usable with _filelength etc.).
int _fileno(CrtFile* stream);

// Low-level open flags, with the platform runtime's values (the cabinet
// library passes them through its callbacks).
constexpr int _O_RDONLY = 0x0000;
constexpr int _O_WRONLY = 0x0001;
constexpr int _O_RDWR = 0x0002;
constexpr int _O_APPEND = 0x0008;
constexpr int _O_RANDOM = 0x0010;
constexpr int _O_SEQUENTIAL = 0x0020;
constexpr int _O_TEMPORARY = 0x0040;
constexpr int _O_NOINHERIT = 0x0080;
constexpr int _O_CREAT = 0x0100;
constexpr int _O_TRUNC = 0x0200;
constexpr int _O_EXCL = 0x0400;
constexpr int _O_SHORT_LIVED = 0x1000;
constexpr int _O_TEXT = 0x4000;
constexpr int _O_BINARY = 0x8000;
// Permission modes of a created file: without _S_IWRITE it is read-only.
constexpr int _S_IREAD = 0x0100;
constexpr int _S_IWRITE = 0x0080;
// st_mode bits of _wstat64.
constexpr unsigned _S_IFDIR = 0x4000;
constexpr unsigned _S_IFREG = 0x8000;

// Opens a descriptor; -1 with errno (ENOENT, EEXIST with _O_CREAT|_O_EXCL,
// EACCES, EINVAL). Text mode unless _O_BINARY; _O_TEMPORARY deletes the file
// when the descriptor is closed. The caller owns the descriptor (_close).
int _wopen(const WCHAR* fileName, int openFlag, int permissionMode = _S_IREAD | _S_IWRITE);
int _wsopen(const WCHAR* fileName, int openFlag, int shareFlag,
            int permissionMode = _S_IREAD | _S_IWRITE);
errno_t _wsopen_s(int* descriptor, const WCHAR* fileName, int openFlag, int shareFlag,
                  int permissionMode);
// Bytes read (after text translation) or -1 (EBADF). 0 at end of file.
int _read(int descriptor, void* buffer, unsigned int count);
// Bytes of the caller's buffer written, or -1 (EBADF, ENOSPC).
int _write(int descriptor, const void* buffer, unsigned int count);
// The new position or -1 (EBADF, EINVAL).
long _lseek(int descriptor, long offset, int origin);
std::int64_t _lseeki64(int descriptor, std::int64_t offset, int origin);
int _close(int descriptor);
// Flushes what the descriptor wrote from the system's cache to the disk
// (fflush the stream first: _commit sees only what reached the descriptor).
// 0, or -1 with errno (EBADF, or the host's error).
int _commit(int descriptor);
long _filelength(int descriptor);
std::int64_t _filelengthi64(int descriptor);

// 0 or -1 with errno (ENOENT, EACCES for a read-only file or a directory).
int _wremove(const WCHAR* path);
int _wunlink(const WCHAR* path);
// Never replaces: fails with EACCES when newName exists, as the runtime does.
int _wrename(const WCHAR* oldName, const WCHAR* newName);
int _wmkdir(const WCHAR* path);
int _wrmdir(const WCHAR* path);
// mode: 0 existence, 2 write, 4 read, 6 both. 0 or -1 (ENOENT, EACCES).
int _waccess(const WCHAR* path, int mode);

struct _stat64 {
    unsigned st_mode;      // _S_IFDIR or _S_IFREG, plus _S_IREAD / _S_IWRITE
    std::int64_t st_size;  // bytes
};
int _wstat64(const WCHAR* path, struct _stat64* buffer);
