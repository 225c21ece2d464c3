#include "Quillmere/cabinet/Compress.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "Quillmere/cabinet/CabThrow.h"
#include "Quillmere/cabinet/CabinetModule.h"
#include "Quillmere/cabinet/FolderTree.h"
#include "platform/win/Clock.h"
#include "platform/win/Crt.h"
#include "platform/win/Errors.h"
#include "platform/win/Files.h"
#include "platform/win/Paths.h"
#include "platform/win/Text.h"
#include "platform/win/Threads.h"

namespace Cabinet {

namespace {

constexpr BYTE kPlainSignature[4] = {'M', 'S', 'C', 'F'};
constexpr BYTE kCryptSignature[4] = {'C', 'R', 'Y', 'P'};
constexpr USHORT kAttributeMask = _A_RDONLY | _A_HIDDEN | _A_SYSTEM | _A_ARCH;
// Stored with the file when its time is UTC rather than local time.
constexpr USHORT kAttributeUtcTime = 0x100;
constexpr DWORD kFolderThreshold = 0x7FFFFFFF;
constexpr ULONG kPercentScaleLimit = 10000000;
constexpr std::size_t kMinNameChars = 3;

// Seek origins of the library's callbacks.
constexpr int kSeekSet = 0;
constexpr int kSeekCurrent = 1;

CCompress* Self(void* pv) {
    return static_cast<CCompress*>(pv);
}

// The name pattern is handed to printf with one int (the part number), so it
// may hold integer conversions only; anything else would read arguments that
// are not there.
bool IsSafePartPattern(const char* pattern) {
    for (const char* p = pattern; *p != '\0'; ++p) {
        if (*p != '%') {
            continue;
        }
        ++p;
        if (*p == '%') {
            continue;
        }
        while (*p == '-' || *p == '+' || *p == ' ' || *p == '#' || *p == '0') {
            ++p;
        }
        while (*p >= '0' && *p <= '9') {
            ++p;
        }
        if (std::strchr("diuxXo", *p) == nullptr || *p == '\0') {
            return false;
        }
    }
    return true;
}

bool CopyOut(const CCabStringA& text, char* out, std::size_t size) {
    std::size_t length = text.Len();
    if (length + 1 > size) {
        return false;
    }
    std::memcpy(out, text.Get(), length + 1);
    return true;
}

}  // namespace

CCompress::CCompress()
    : m_cabinetPaths(L"|"),
      m_creatorThread(GetCurrentThreadId()),
      m_instance(NextCompressInstance()) {
    wchar_t temp[MAX_PATH + 1] = {};
    DWORD length = GetTempPathW(MAX_PATH, temp);
    if (length == 0 || length > MAX_PATH) {
        m_error.Set(kErrCreateDirectory, static_cast<int>(GetLastError()));
        return;
    }
    m_tempDirectory = temp;
    if (m_tempDirectory.Len() >= 2) {
        m_tempDirectory.AppendBackslash();
    }
    DWORD error = CreateFolderTree(m_tempDirectory.Get());
    if (error != ERROR_SUCCESS) {
        m_error.Set(kErrCreateDirectory, static_cast<int>(error));
    }
}

CCompress::~CCompress() {
    if (m_context != nullptr && OnCreatorThread()) {
        CleanUp();
    }
    std::free(m_buffer);
}

void CCompress::AllocateBuffer() {
    if (m_buffer != nullptr) {
        return;
    }
    m_buffer = static_cast<BYTE*>(std::malloc(kBufferSize));
    if (m_buffer == nullptr) {
        ThrowOutOfMemory();
    }
}

bool CCompress::OnCreatorThread() {
    if (GetCurrentThreadId() == m_creatorThread) {
        return true;
    }
    m_error.Set(kErrWrongThread);
    return false;
}

bool CCompress::LoadCabinetDll() {
    if (m_library != nullptr) {
        return true;
    }
    // On its own platform the library is loaded through the module's
    // side-by-side activation context; the stand-in has a single Cabinet.dll.
    // It stays loaded for the process: a writer per sync mail must not load
    // and unload it every time.
    HMODULE library = CabinetLibrary(CabinetLibraryName());
    if (library != nullptr) {
        // Through void (*)(), which GCC takes as matching every function type: FARPROC
        // itself is cast to the entry point's real type, as on the platform.
        m_fciCreate = reinterpret_cast<PFNFCICREATE>(
            reinterpret_cast<void (*)()>(CabinetEntryPoint(library, "FCICreate")));
        m_fciAddFile = reinterpret_cast<PFNFCIADDFILE>(
            reinterpret_cast<void (*)()>(CabinetEntryPoint(library, "FCIAddFile")));
        m_fciFlushFolder = reinterpret_cast<PFNFCIFLUSHFOLDER>(
            reinterpret_cast<void (*)()>(CabinetEntryPoint(library, "FCIFlushFolder")));
        m_fciFlushCabinet = reinterpret_cast<PFNFCIFLUSHCABINET>(
            reinterpret_cast<void (*)()>(CabinetEntryPoint(library, "FCIFlushCabinet")));
        m_fciDestroy = reinterpret_cast<PFNFCIDESTROY>(
            reinterpret_cast<void (*)()>(CabinetEntryPoint(library, "FCIDestroy")));
        if (m_fciCreate != nullptr && m_fciAddFile != nullptr && m_fciFlushFolder != nullptr &&
            m_fciFlushCabinet != nullptr && m_fciDestroy != nullptr) {
            m_library = library;
            return true;
        }
    }
    m_fciCreate = nullptr;
    m_fciAddFile = nullptr;
    m_fciFlushFolder = nullptr;
    m_fciFlushCabinet = nullptr;
    m_fciDestroy = nullptr;
    m_error.Set(kErrLoadCabinetDll);
    return false;
}

BOOL CCompress::CreateFCIContext(const wchar_t* cabinetPath, BOOL utcTimes, BOOL utf8Names,
                                 DWORD splitSize, USHORT setId, std::uintptr_t param) {
    if (!OnCreatorThread()) {
        return FALSE;
    }
    if (m_context != nullptr || cabinetPath == nullptr) {
        m_error.Set(kErrInvalidParameters);
        return FALSE;
    }
    m_error.Clear();
    const wchar_t* slash = std::wcsrchr(cabinetPath, L'\\');
    CCabStringW directory;
    CCabStringW name;
    if (slash != nullptr) {
        directory = cabinetPath;
        directory.Buffer()[slash - cabinetPath + 1] = L'\0';
        name = slash + 1;
    } else {
        name = cabinetPath;
    }
    if (directory.Len() == 0 || name.Len() == 0) {
        m_error.Set(kErrInvalidParameters);
        return FALSE;
    }
    if (!LoadCabinetDll()) {
        return FALSE;
    }
    DWORD error = CreateFolderTree(directory.Get());
    if (error != ERROR_SUCCESS) {
        m_error.Set(kErrCreateDirectory, static_cast<int>(error));
        return FALSE;
    }
    m_param = param;
    m_utcTimes = utcTimes;
    m_utf8Names = utf8Names;
    m_abort = FALSE;
    m_needsFlush = TRUE;
    m_encryptedHandle = 0;
    m_cabinetPaths = L"|";

    m_ccab = CCAB{};
    if (directory.Len() < kMinNameChars || name.Len() < kMinNameChars ||
        splitSize < kMinSplitSize) {
        m_error.Set(kErrInvalidParameters);
        return FALSE;
    }
    bool split = splitSize < kNoSplit;
    if (split && std::wcschr(name.Get(), L'%') == nullptr) {
        m_error.Set(kErrInvalidParameters);
        return FALSE;
    }
    directory.AppendBackslash();
    CCabStringA directoryUtf8;
    directoryUtf8.AssignUtf8(directory.Get());
    if (!CopyOut(directoryUtf8, m_ccab.szCabPath, sizeof m_ccab.szCabPath)) {
        m_error.Set(kErrPathTooLong);
        return FALSE;
    }
    if (!name.IsAscii()) {
        m_error.Set(kErrNonAsciiCabinetName);
        return FALSE;
    }
    CCabStringA nameAnsi;
    nameAnsi.AssignAnsi(name.Get());
    if (!IsSafePartPattern(nameAnsi.Get())) {
        m_error.Set(kErrInvalidParameters);
        return FALSE;
    }
    m_ccab.cb = splitSize & 0x7FFFFFFF;
    m_ccab.cbFolderThresh = kFolderThreshold;
    m_ccab.iCab = 1;
    m_ccab.iDisk = 1;
    m_ccab.setID = setId;
    m_namePattern = nameAnsi;
    if (!NamePart(&m_ccab)) {
        return FALSE;
    }

    m_compressedTotal = 0;
    m_uncompressedTotal = 0;
    m_lastStatus1 = 0;
    m_lastStatus2 = 0;
    m_folderPercent = 0;
    m_context = m_fciCreate(m_error.Erf(), FnFilePlaced, FnAlloc, FnFree, FnOpen, FnRead, FnWrite,
                            FnClose, FnSeek, FnDelete, FnGetTempFile, &m_ccab, this);
    return m_context != nullptr ? TRUE : FALSE;
}

bool CCompress::NamePart(CCAB* ccab) {
    if (m_abort) {
        return false;
    }
    CCabStringA partName;
    partName.Format(m_namePattern.Get(), ccab->iCab);
    if (!CopyOut(partName, ccab->szCab, sizeof ccab->szCab)) {
        m_error.Set(kErrPathTooLong);
        return false;
    }
    CCabStringA disk;
    disk.Format("Disk %d", ccab->iDisk);
    ++ccab->iDisk;
    CopyOut(disk, ccab->szDisk, sizeof ccab->szDisk);
    CCabStringA fullUtf8;
    fullUtf8.Format("%s%s", ccab->szCabPath, ccab->szCab);
    CCabStringW fullPath;
    fullPath.AssignCodePage(fullUtf8.Get(), CP_UTF8);
    if (m_nextCabinet != nullptr && !m_nextCabinet(fullPath.Get(), ccab->iCab, m_param)) {
        return false;
    }
    AddCabinetPath(fullPath.Get());
    return true;
}

BOOL CCompress::AddFile(const wchar_t* sourcePath, const wchar_t* nameInCabinet,
                        TCOMP compression) {
    if (!OnCreatorThread()) {
        return FALSE;
    }
    if (m_context == nullptr) {
        return FALSE;
    }
    if (sourcePath == nullptr || nameInCabinet == nullptr || *nameInCabinet == L'\0') {
        m_error.Set(kErrInvalidParameters);
        return FALSE;
    }
    m_needsFlush = TRUE;
    HANDLE source = CreateFileW(sourcePath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (source == INVALID_HANDLE_VALUE) {
        m_error.Set(FCIERR_OPEN_SRC, static_cast<int>(GetLastError()));
        return FALSE;
    }
    DWORD sizeHigh = 0;
    DWORD sizeLow = GetFileSize(source, &sizeHigh);
    CloseHandle(source);
    if (sizeHigh != 0 || sizeLow > kMaxFileSize) {
        m_error.Set(kErrFileTooBig);
        return FALSE;
    }
    CCabStringW name(nameInCabinet);
    CCabStringA stored;
    if (m_utf8Names) {
        stored.AssignUtf8(name.Get());
        m_currentNameUtf8 = name.IsAscii() ? FALSE : TRUE;
    } else {
        for (const wchar_t* c = name.Get(); *c != L'\0'; ++c) {
            if (static_cast<std::uint32_t>(*c) > 255) {
                m_error.Set(kErrUnicodeNeedsUtf8);
                return FALSE;
            }
        }
        stored.AssignAnsi(name.Get());
        m_currentNameUtf8 = FALSE;
    }
    CCabStringA sourceUtf8;
    sourceUtf8.AssignUtf8(sourcePath);
    return m_fciAddFile(m_context, sourceUtf8.Buffer(), stored.Buffer(), FALSE, FnGetNextCabinet,
                        FnStatus, FnGetOpenInfo, compression);
}

BOOL CCompress::CleanUp() {
    if (!OnCreatorThread()) {
        return FALSE;
    }
    if (m_context == nullptr) {
        return TRUE;
    }
    BOOL ok = TRUE;
    if (m_needsFlush) {
        m_needsFlush = FALSE;
        ok = m_fciFlushCabinet(m_context, FALSE, FnGetNextCabinet, FnStatus);
    }
    if (!m_fciDestroy(m_context)) {
        ok = FALSE;
    }
    m_context = nullptr;
    return ok;
}

// ---- Low-level file operations ----

INT_PTR CCompress::OpenFile(const wchar_t* path, int openFlags, int permissionMode, int* error) {
    int descriptor = _wsopen(path, openFlags, _SH_DENYNO, permissionMode);
    if (descriptor == -1) {
        *error = errno;
        return -1;
    }
    return descriptor;
}

UINT CCompress::ReadFile(INT_PTR handle, void* buffer, UINT count, int* error) {
    int read = _read(static_cast<int>(handle), buffer, count);
    if (read < 0) {
        *error = errno;
        return static_cast<UINT>(-1);
    }
    if (static_cast<UINT>(read) != count) {
        *error = errno;
    }
    return static_cast<UINT>(read);
}

UINT CCompress::WriteFile(INT_PTR handle, const void* buffer, UINT count, int* error) {
    int written = _write(static_cast<int>(handle), buffer, count);
    if (written < 0) {
        *error = errno;
        return static_cast<UINT>(-1);
    }
    if (static_cast<UINT>(written) != count) {
        *error = errno != 0 ? errno : ENOSPC;
    }
    return static_cast<UINT>(written);
}

int CCompress::CloseFile(INT_PTR handle, int* error) {
    int result = _close(static_cast<int>(handle));
    if (result != 0) {
        *error = errno;
    }
    return result;
}

int CCompress::DeleteFile(const wchar_t* path, int* error) {
    int result = _wunlink(path);
    if (result != 0) {
        *error = errno;
    }
    return result;
}

LONG CCompress::SeekFile(INT_PTR handle, LONG distance, int origin, int* error) {
    long position = _lseek(static_cast<int>(handle), distance, origin);
    if (position < 0) {
        *error = errno;
        return -1;
    }
    return static_cast<LONG>(position);
}

// ---- Encryption layer ----

bool CCompress::WriteWhole(INT_PTR handle, const BYTE* data, UINT count, int* error) {
    UINT written = WriteFile(handle, data, count, error);
    if (written == static_cast<UINT>(-1)) {
        return false;
    }
    m_writtenCount += written;
    return written == count;
}

// Bytes below the plain header size go out unchanged except the signature,
// which a copy carries so that the library's buffer stays as it wrote it.
UINT CCompress::WritePlainHeader(INT_PTR handle, const BYTE* data, UINT count, int* error) {
    UINT plain = kPlainHeaderSize - m_writtenCount;
    if (plain > count) {
        plain = count;
    }
    BYTE header[kPlainHeaderSize];
    std::memcpy(header, data, plain);
    if (m_writtenCount == 0 && plain >= 4 && std::memcmp(header, kPlainSignature, 4) == 0) {
        std::memcpy(header, kCryptSignature, 4);
    }
    if (!WriteWhole(handle, header, plain, error)) {
        return static_cast<UINT>(-1);
    }
    return plain;
}

UINT CCompress::EncryptingWrite(INT_PTR handle, const void* buffer, UINT count, int* error) {
    const BYTE* data = static_cast<const BYTE*>(buffer);
    UINT done = 0;
    if (m_writtenCount < kPlainHeaderSize) {
        UINT plain = WritePlainHeader(handle, data, count, error);
        if (plain == static_cast<UINT>(-1)) {
            return static_cast<UINT>(-1);
        }
        done = plain;
    }
    if (done == count) {
        return count;
    }
    if (m_cipher.FillIndex() < 0) {
        // Encryption of this handle ended with a seek; bytes past the plain
        // header can no longer be placed on the cipher's block grid.
        *error = EINVAL;
        return static_cast<UINT>(-1);
    }
    if (m_buffer == nullptr) {
        AllocateBuffer();
    }
    BYTE* pending = m_cipher.PendingBlock();
    while (done < count) {
        UINT staged = 0;
        // Complete the pending block first, then stage whole blocks directly.
        while (done < count && staged + CBlowfish::kBlockSize <= kBufferSize) {
            int fill = m_cipher.FillIndex();
            if (fill == 0 && count - done >= CBlowfish::kBlockSize) {
                UINT blocks = (count - done) / CBlowfish::kBlockSize;
                UINT room = (kBufferSize - staged) / CBlowfish::kBlockSize;
                if (blocks > room) {
                    blocks = room;
                }
                UINT bytes = blocks * CBlowfish::kBlockSize;
                std::memcpy(m_buffer + staged, data + done, bytes);
                m_cipher.EncryptBlocks(m_buffer + staged, blocks);
                staged += bytes;
                done += bytes;
                continue;
            }
            pending[fill++] = data[done++];
            if (fill == CBlowfish::kBlockSize) {
                std::memcpy(m_buffer + staged, pending, CBlowfish::kBlockSize);
                m_cipher.EncryptBlock(m_buffer + staged);
                staged += CBlowfish::kBlockSize;
                fill = 0;
            }
            m_cipher.SetFillIndex(fill);
        }
        if (!WriteWhole(handle, m_buffer, staged, error)) {
            return static_cast<UINT>(-1);
        }
    }
    return count;
}

bool CCompress::FlushPendingBlock(INT_PTR handle, int* error) {
    int fill = m_cipher.FillIndex();
    bool ok = true;
    if (fill > 0) {
        BYTE block[CBlowfish::kBlockSize] = {};
        std::memcpy(block, m_cipher.PendingBlock(), static_cast<std::size_t>(fill));
        m_cipher.EncryptBlock(block);
        ok = WriteWhole(handle, block, CBlowfish::kBlockSize, error);
    }
    m_cipher.SetFillIndex(-1);
    return ok;
}

// ---- FCI callbacks ----

int CCompress::FnFilePlaced(PCCAB ccab, char* file, LONG size, BOOL continuation, void* pv) {
    CCompress* self = Self(pv);
    if (self->m_filePlaced == nullptr) {
        return 0;
    }
    CCabStringW cabinet;
    CCabStringA cabinetUtf8;
    cabinetUtf8.Format("%s%s", ccab->szCabPath, ccab->szCab);
    cabinet.AssignCodePage(cabinetUtf8.Get(), CP_UTF8);
    CCabStringW name;
    name.AssignCodePage(file, CP_UTF8);
    return self->m_filePlaced(cabinet.Get(), name.Get(), size, continuation, self->m_param);
}

void* CCompress::FnAlloc(ULONG size) {
    return std::malloc(size);
}

void CCompress::FnFree(void* memory) {
    std::free(memory);
}

INT_PTR CCompress::OpenCabinetFile(const wchar_t* path, int openFlags, int permissionMode,
                                   int* error) {
    INT_PTR handle = OpenFile(path, openFlags, permissionMode, error);
    if (handle != -1 && m_cipher.IsKeySet() && std::wcsstr(m_cabinetPaths.Get(), path) != nullptr) {
        m_encryptedHandle = handle;
        m_writtenCount = 0;
        m_cipher.SetFillIndex(0);
    }
    return handle;
}

UINT CCompress::WriteCabinetFile(INT_PTR handle, const void* buffer, UINT count, int* error) {
    if (m_encryptedHandle == 0 || handle != m_encryptedHandle) {
        return WriteFile(handle, buffer, count, error);
    }
    return EncryptingWrite(handle, buffer, count, error);
}

int CCompress::CloseCabinetFile(INT_PTR handle, int* error) {
    if (m_encryptedHandle != 0 && handle == m_encryptedHandle) {
        bool flushed = FlushPendingBlock(handle, error);
        m_encryptedHandle = 0;
        int closed = CloseFile(handle, error);
        return flushed ? closed : -1;
    }
    return CloseFile(handle, error);
}

LONG CCompress::SeekCabinetFile(INT_PTR handle, LONG distance, int origin, int* error) {
    if (m_encryptedHandle == 0 || handle != m_encryptedHandle) {
        return SeekFile(handle, distance, origin, error);
    }
    // Where the library believes it is: bytes written plus those pending.
    int fill = m_cipher.FillIndex();
    LONG logical = static_cast<LONG>(m_writtenCount) + (fill > 0 ? fill : 0);
    if ((origin == kSeekCurrent && distance == 0) || (origin == kSeekSet && distance == logical)) {
        // A position query moves nothing, so encryption goes on undisturbed.
        return logical;
    }
    if (!FlushPendingBlock(handle, error)) {
        return -1;
    }
    LONG position = SeekFile(handle, distance, origin, error);
    if (position >= 0) {
        m_writtenCount = static_cast<std::uint32_t>(position);
    }
    return position;
}

void CCompress::AddCabinetPath(const wchar_t* path) {
    m_cabinetPaths.Append(path);
    m_cabinetPaths.Append(L"|");
}

INT_PTR CCompress::FnOpen(char* file, int openFlags, int permissionMode, int* error, void* pv) {
    CCabStringW path;
    path.AssignCodePage(file, CP_UTF8);
    return Self(pv)->OpenCabinetFile(path.Get(), openFlags, permissionMode, error);
}

UINT CCompress::FnRead(INT_PTR handle, void* buffer, UINT count, int* error, void* pv) {
    return Self(pv)->ReadFile(handle, buffer, count, error);
}

UINT CCompress::FnWrite(INT_PTR handle, void* buffer, UINT count, int* error, void* pv) {
    return Self(pv)->WriteCabinetFile(handle, buffer, count, error);
}

int CCompress::FnClose(INT_PTR handle, int* error, void* pv) {
    return Self(pv)->CloseCabinetFile(handle, error);
}

LONG CCompress::FnSeek(INT_PTR handle, LONG distance, int origin, int* error, void* pv) {
    return Self(pv)->SeekCabinetFile(handle, distance, origin, error);
}

int CCompress::FnDelete(char* file, int* error, void* pv) {
    CCabStringW path;
    path.AssignCodePage(file, CP_UTF8);
    return Self(pv)->DeleteFile(path.Get(), error);
}

BOOL CCompress::FnGetTempFile(char* name, int size, void* pv) {
    CCompress* self = Self(pv);
    CCabStringW candidate;
    do {
        candidate.Format(L"%sCabTmp_%02X_%02X", self->m_tempDirectory.Get(), self->m_instance,
                         self->m_tempCounter++);
    } while (GetFileAttributesW(candidate.Get()) != INVALID_FILE_ATTRIBUTES);
    CCabStringA utf8;
    utf8.AssignUtf8(candidate.Get());
    if (size <= 0 || !CopyOut(utf8, name, static_cast<std::size_t>(size))) {
        self->m_error.Set(kErrPathTooLong);
        return FALSE;
    }
    return TRUE;
}

BOOL CCompress::FnGetNextCabinet(PCCAB ccab, ULONG previousSize, void* pv) {
    return Self(pv)->NamePart(ccab) ? TRUE : FALSE;
}

LONG CCompress::FnStatus(UINT type, ULONG count1, ULONG count2, void* pv) {
    CCompress* self = Self(pv);
    if (self->m_abort) {
        return -1;
    }
    if (type == statusFile) {
        self->m_compressedTotal += count1;
        self->m_uncompressedTotal += count2;
    } else if (type == statusFolder) {
        if (count2 != 0 && count2 >= count1) {
            while (count1 > kPercentScaleLimit) {
                count1 /= 8;
                count2 /= 8;
            }
            self->m_folderPercent = count2 != 0 ? count1 * 100 / count2 : 0;
        }
    }
    self->m_lastStatus1 = count1;
    self->m_lastStatus2 = count2;
    if (self->m_progress != nullptr &&
        !self->m_progress(self->m_compressedTotal, self->m_uncompressedTotal, self->m_folderPercent,
                          self->m_param)) {
        return -1;
    }
    // For a finished part the library asks which size to record: the actual one.
    return type == statusCabinet ? static_cast<LONG>(count2) : 0;
}

INT_PTR CCompress::FnGetOpenInfo(char* name, USHORT* date, USHORT* time, USHORT* attributes,
                                 int* error, void* pv) {
    CCompress* self = Self(pv);
    if (self->m_abort) {
        return -1;
    }
    CCabStringW path;
    path.AssignCodePage(name, CP_UTF8);
    HANDLE file = CreateFileW(path.Get(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *error = static_cast<int>(GetLastError());
        return -1;
    }
    FILETIME written = {};
    FILETIME stamp = {};
    GetFileTime(file, nullptr, nullptr, &written);
    CloseHandle(file);
    if (self->m_utcTimes) {
        stamp = written;
    } else {
        FileTimeToLocalFileTime(&written, &stamp);
    }
    WORD dosDate = 0;
    WORD dosTime = 0;
    FileTimeToDosDateTime(&stamp, &dosDate, &dosTime);
    *date = dosDate;
    *time = dosTime;
    DWORD fileAttributes = GetFileAttributesW(path.Get());
    USHORT stored =
        fileAttributes == INVALID_FILE_ATTRIBUTES ? 0 : static_cast<USHORT>(fileAttributes);
    stored &= kAttributeMask;
    if (self->m_utcTimes) {
        stored |= kAttributeUtcTime;
    }
    if (self->m_currentNameUtf8) {
        stored |= _A_NAME_IS_UTF;
    }
    *attributes = stored;
    return self->OpenFile(path.Get(), _O_BINARY | _O_RDONLY, _S_IREAD, error);
}

}  // namespace Cabinet
