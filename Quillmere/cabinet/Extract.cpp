#include "Quillmere/cabinet/Extract.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "Quillmere/cabinet/CabStringA.h"
#include "Quillmere/cabinet/CabThrow.h"
#include "Quillmere/cabinet/CabinetModule.h"
#include "Quillmere/cabinet/FolderTree.h"
#include "platform/win/Clock.h"
#include "platform/win/Crt.h"
#include "platform/win/Errors.h"
#include "platform/win/Files.h"
#include "platform/win/Text.h"
#include "platform/win/Threads.h"

namespace Cabinet {

namespace {

constexpr BYTE kPlainSignature[4] = {'M', 'S', 'C', 'F'};
constexpr BYTE kCryptSignature[4] = {'C', 'R', 'Y', 'P'};
constexpr USHORT kAttributeMask = _A_RDONLY | _A_HIDDEN | _A_SYSTEM | _A_ARCH;
constexpr USHORT kAttributeUtcTime = 0x100;
constexpr int kSeekSet = 0;
constexpr int kSeekCurrent = 1;
constexpr INT_PTR kFirstMemoryHandle = 0xFF000000;
// Memory mode holds a whole file in one buffer; a declared size beyond what
// the writer side accepts can only come from a hostile cabinet.
constexpr DWORD kMaxMemoryFileSize = 0x7FFF0000;
constexpr int kErrAllocFail = 5;
constexpr int kErrCabinetNotFound = 1;
constexpr int kErrWrongCabinet = 10;
constexpr std::size_t kMinTargetChars = 3;
constexpr std::size_t kMinCabinetPartChars = 2;
constexpr std::uint32_t kBlockMask = ~static_cast<std::uint32_t>(CBlowfish::kBlockSize - 1);

std::uint32_t RoundUpToBlock(std::uint32_t n) {
    return (n + CBlowfish::kBlockSize - 1) & kBlockMask;
}

bool EqualsNoCase(const wchar_t* a, const wchar_t* b) {
    for (; *a != L'\0' && *b != L'\0'; ++a, ++b) {
        wchar_t x = (*a >= L'a' && *a <= L'z') ? static_cast<wchar_t>(*a - 32) : *a;
        wchar_t y = (*b >= L'a' && *b <= L'z') ? static_cast<wchar_t>(*b - 32) : *b;
        if (x != y) {
            return false;
        }
    }
    return *a == *b;
}

// A stored name may only name something below the target directory: no root,
// no drive (nor any other colon, which would name a stream), and no component
// that Windows reads as a parent directory (".." and its variants with
// trailing dots or blanks).
bool StaysBelowTarget(const wchar_t* name) {
    if (name[0] == L'\0' || name[0] == L'\\' || std::wcschr(name, L':') != nullptr) {
        return false;
    }
    const wchar_t* component = name;
    for (;;) {
        const wchar_t* end = std::wcschr(component, L'\\');
        std::size_t length =
            end != nullptr ? static_cast<std::size_t>(end - component) : std::wcslen(component);
        std::size_t dots = 0;
        bool onlyDotsAndBlanks = length > 0;
        for (std::size_t i = 0; i < length; ++i) {
            if (component[i] == L'.') {
                ++dots;
            } else if (component[i] != L' ') {
                onlyDotsAndBlanks = false;
            }
        }
        if (onlyDotsAndBlanks && dots >= 2) {
            return false;
        }
        if (end == nullptr) {
            return true;
        }
        component = end + 1;
    }
}

// A cabinet set names its next part by a bare file name in the directory of
// the first; a name with a path, a drive or a parent component would open a
// file elsewhere as part of the set.
bool IsBareFileName(const wchar_t* name) {
    return name[0] != L'\0' && std::wcspbrk(name, L"\\/:") == nullptr && StaysBelowTarget(name);
}

}  // namespace

CExtract::CExtract() : m_creatorThread(GetCurrentThreadId()) {}

CExtract::~CExtract() {
    if (GetCurrentThreadId() == m_creatorThread) {
        CleanUp();
    }
    std::free(m_memory);
    std::free(m_readBuffer);
}

void CExtract::AllocateBuffer() {
    if (m_readBuffer != nullptr) {
        return;
    }
    m_readBuffer = static_cast<BYTE*>(std::malloc(kBufferSize));
    if (m_readBuffer == nullptr) {
        ThrowOutOfMemory();
    }
}

bool CExtract::OnCreatorThread() {
    if (GetCurrentThreadId() == m_creatorThread) {
        return true;
    }
    m_error.Set(kErrWrongThread);
    return false;
}

bool CExtract::LoadCabinetDll() {
    if (m_library != nullptr) {
        return true;
    }
    // The library stays loaded for the process (see CabinetLibrary).
    HMODULE library = CabinetLibrary(CabinetLibraryName());
    if (library != nullptr) {
        // Through void (*)(), which GCC takes as matching every function type: FARPROC
        // itself is cast to the entry point's real type, as on the platform.
        m_fdiCreate = reinterpret_cast<PFNFDICREATE>(
            reinterpret_cast<void (*)()>(CabinetEntryPoint(library, "FDICreate")));
        m_fdiCopy = reinterpret_cast<PFNFDICOPY>(
            reinterpret_cast<void (*)()>(CabinetEntryPoint(library, "FDICopy")));
        m_fdiIsCabinet = reinterpret_cast<PFNFDIISCABINET>(
            reinterpret_cast<void (*)()>(CabinetEntryPoint(library, "FDIIsCabinet")));
        m_fdiDestroy = reinterpret_cast<PFNFDIDESTROY>(
            reinterpret_cast<void (*)()>(CabinetEntryPoint(library, "FDIDestroy")));
        if (m_fdiCreate != nullptr && m_fdiCopy != nullptr && m_fdiIsCabinet != nullptr &&
            m_fdiDestroy != nullptr) {
            m_library = library;
            return true;
        }
    }
    m_fdiCreate = nullptr;
    m_fdiCopy = nullptr;
    m_fdiIsCabinet = nullptr;
    m_fdiDestroy = nullptr;
    m_error.Set(kErrLoadCabinetDll);
    return false;
}

BOOL CExtract::CreateFDIContext() {
    if (!OnCreatorThread()) {
        return FALSE;
    }
    DWORD slot = CabinetTlsIndex();
    if (slot == TLS_OUT_OF_INDEXES) {
        m_error.Set(kErrAllocFail, ERROR_OUTOFMEMORY);
        return FALSE;
    }
    if (TlsGetValue(slot) != nullptr) {
        m_error.Set(kErrSecondInstance);
        return FALSE;
    }
    if (!TlsSetValue(slot, this)) {
        m_error.Set(kErrAllocFail, ERROR_OUTOFMEMORY);
        return FALSE;
    }
    m_error.Clear();
    if (m_context != nullptr) {
        return FALSE;
    }
    if (!LoadCabinetDll()) {
        return FALSE;
    }
    m_context = m_fdiCreate(FnAlloc, FnFree, FnOpen, FnRead, FnWrite, FnClose, FnSeek, cpu80386,
                            m_error.Erf());
    return m_context != nullptr ? TRUE : FALSE;
}

BOOL CExtract::CleanUp() {
    if (!OnCreatorThread()) {
        return FALSE;
    }
    if (m_context != nullptr) {
        if (!m_fdiDestroy(m_context)) {
            return FALSE;
        }
        m_context = nullptr;
        std::free(m_memory);
        m_memory = nullptr;
        m_memoryCapacity = 0;
        m_memoryWritten = 0;
    }
    // Only this reader's own claim is released: another reader of the thread
    // keeps its slot.
    DWORD slot = CabinetTlsIndex();
    if (slot != TLS_OUT_OF_INDEXES && TlsGetValue(slot) == this) {
        TlsSetValue(slot, nullptr);
    }
    return TRUE;
}

BOOL CExtract::ExtractFile(const wchar_t* cabinetPath, const wchar_t* targetDirectory,
                           std::uintptr_t param) {
    if (!OnCreatorThread()) {
        return FALSE;
    }
    if (m_context == nullptr) {
        return FALSE;
    }
    m_param = param;
    m_abort = FALSE;
    m_currentHandle = 0;
    m_outputIncomplete = false;
    m_error.Clear();
    m_positions.Clear();
    m_lastDirectory.Clear();
    if (cabinetPath == nullptr || targetDirectory == nullptr) {
        m_error.Set(kErrInvalidParameters);
        return FALSE;
    }
    // The length rule applies to the directory as given: "ab" is refused even
    // though "ab\" would have three characters.
    std::size_t givenTargetLength = std::wcslen(targetDirectory);
    m_targetDirectory = targetDirectory;
    m_targetDirectory.AppendBackslash();
    m_memoryMode = EqualsNoCase(m_targetDirectory.Get(), L"MEMORY\\") ? TRUE : FALSE;

    CCabStringW directory;
    CCabStringW name;
    const wchar_t* slash = std::wcsrchr(cabinetPath, L'\\');
    if (slash != nullptr) {
        directory = cabinetPath;
        directory.Buffer()[slash - cabinetPath + 1] = L'\0';
        name = slash + 1;
    } else {
        name = cabinetPath;
    }
    if (givenTargetLength < kMinTargetChars || directory.Len() < kMinCabinetPartChars ||
        name.Len() < kMinCabinetPartChars) {
        m_error.Set(kErrInvalidParameters);
        return FALSE;
    }

    CCabStringA directoryUtf8;
    directoryUtf8.AssignUtf8(directory.Get());
    // Cabinets already opened by this call: a set that names one of them
    // again would never end.
    std::vector<std::wstring> visited;
    BOOL copied = TRUE;
    for (;;) {
        visited.emplace_back(name.Get());
        m_nextCabinetName.Clear();
        CCabStringA nameUtf8;
        nameUtf8.AssignUtf8(name.Get());
        copied = m_fdiCopy(m_context, nameUtf8.Buffer(), directoryUtf8.Buffer(), 0, FnNotify,
                           nullptr, reinterpret_cast<void*>(param));
        if (!copied || m_nextCabinetName.Len() == 0) {
            break;
        }
        bool seen = false;
        for (const auto& done : visited) {
            seen = seen || EqualsNoCase(done.c_str(), m_nextCabinetName.Get());
        }
        if (seen) {
            m_error.Set(kErrWrongCabinet);
            break;
        }
        if (!IsBareFileName(m_nextCabinetName.Get())) {
            m_error.Set(kErrCabinetNotFound);
            break;
        }
        name = m_nextCabinetName;
    }
    const ERF& erf = m_error.GetErf();
    bool failed = !copied || erf.fError != 0 || erf.erfOper != 0 || erf.erfType != 0 ||
                  m_error.OwnCode() != 0;
    FinishCurrentOutput(m_abort || failed);
    return failed ? FALSE : TRUE;
}

// Closes the file being written, if any. A file the library never completed
// is removed: after an abort, and equally after a corrupt or truncated cabinet,
// no partly written file may stay behind.
void CExtract::FinishCurrentOutput(bool discard) {
    if (m_currentHandle != 0 && !m_memoryMode) {
        CloseFile(m_currentHandle);
        m_positions.Close(m_currentHandle);
    }
    m_currentHandle = 0;
    if (m_outputIncomplete && discard && !m_memoryMode) {
        SetFileAttributesW(m_currentPath.Get(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(m_currentPath.Get());
    }
    m_outputIncomplete = false;
}

// ---- Low-level file operations ----

UINT CExtract::ReadFile(INT_PTR handle, void* buffer, UINT count) {
    int read = _read(static_cast<int>(handle), buffer, count);
    return read < 0 ? static_cast<UINT>(-1) : static_cast<UINT>(read);
}

UINT CExtract::WriteFile(INT_PTR handle, const void* buffer, UINT count) {
    int written = _write(static_cast<int>(handle), buffer, count);
    return written < 0 ? static_cast<UINT>(-1) : static_cast<UINT>(written);
}

int CExtract::CloseFile(INT_PTR handle) {
    return _close(static_cast<int>(handle));
}

LONG CExtract::SeekFile(INT_PTR handle, LONG distance, int origin) {
    long position = _lseek(static_cast<int>(handle), distance, origin);
    return position < 0 ? -1 : static_cast<LONG>(position);
}

INT_PTR CExtract::OpenFile(const wchar_t* path, int openFlags, int permissionMode) {
    if ((openFlags & _O_CREAT) != 0) {
        SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL);
    }
    int descriptor = _wsopen(path, openFlags, _SH_DENYNO, permissionMode);
    if (descriptor < 0 && (openFlags & _O_CREAT) == 0) {
        // File names are case-insensitive on this platform: a set names its
        // next part "Split-2.CAB" while the file may be "split-2.cab". The
        // directory listing matches without regard to case.
        WIN32_FIND_DATAW found = {};
        HANDLE search = FindFirstFileW(path, &found);
        if (search != INVALID_HANDLE_VALUE) {
            FindClose(search);
            CCabStringW actual(path);
            wchar_t* slash = std::wcsrchr(actual.Buffer(), L'\\');
            if (slash != nullptr && std::wcspbrk(path, L"*?") == nullptr) {
                slash[1] = L'\0';
                actual.Append(found.cFileName);
                descriptor = _wsopen(actual.Get(), openFlags, _SH_DENYNO, permissionMode);
            }
        }
    }
    return descriptor < 0 ? -1 : descriptor;
}

// ---- Decryption layer ----

bool CExtract::CheckSignature(BYTE* data) {
    bool plain = std::memcmp(data, kPlainSignature, 4) == 0;
    bool encrypted = std::memcmp(data, kCryptSignature, 4) == 0;
    if (m_cipher.IsKeySet()) {
        if (encrypted) {
            std::memcpy(data, kPlainSignature, 4);
            return true;
        }
        m_error.Set(plain ? kErrNotEncrypted : kErrNotACabinet);
        return false;
    }
    if (plain) {
        return true;
    }
    m_error.Set(encrypted ? kErrNotDecryptable : kErrNotACabinet);
    return false;
}

// Reads `count` bytes at `position`, which the caller has placed on the
// block grid's start at or below it; the file position ends after the span.
UINT CExtract::ReadSpan(INT_PTR handle, std::uint32_t position, BYTE* out, UINT count) {
    std::uint32_t start = position & kBlockMask;
    std::uint32_t offset = position - start;
    UINT span = RoundUpToBlock(offset + count);
    if (ReadFile(handle, m_readBuffer, span) != span) {
        return static_cast<UINT>(-1);
    }
    // The plain header ends on a block boundary, so each block is wholly
    // plain or wholly encrypted.
    std::uint32_t firstEncrypted = start >= kPlainHeaderSize ? 0 : kPlainHeaderSize - start;
    if (firstEncrypted < span) {
        m_cipher.DecryptBlocks(m_readBuffer + firstEncrypted,
                               (span - firstEncrypted) / CBlowfish::kBlockSize);
    }
    std::memcpy(out, m_readBuffer + offset, count);
    return span;
}

UINT CExtract::DecryptingRead(INT_PTR handle, BYTE* buffer, UINT count) {
    constexpr UINT kFailed = static_cast<UINT>(-1);
    std::uint32_t position = 0;
    if (!m_positions.GetPos(handle, &position)) {
        LONG current = SeekFile(handle, 0, kSeekCurrent);
        if (current < 0) {
            return kFailed;
        }
        position = static_cast<std::uint32_t>(current);
    }
    if (!m_cipher.IsKeySet()) {
        UINT read = ReadFile(handle, buffer, count);
        if (read == kFailed) {
            return kFailed;
        }
        m_positions.SetPos(handle, position + read);
        if (position == 0 && read >= 4 && !CheckSignature(buffer)) {
            return kFailed;
        }
        return read;
    }
    AllocateBuffer();
    std::uint32_t start = position & kBlockMask;
    if (start != position &&
        SeekFile(handle, static_cast<LONG>(start), kSeekSet) != static_cast<LONG>(start)) {
        return kFailed;
    }
    // A span never exceeds the read buffer; longer requests go in pieces.
    std::uint32_t filePosition = start;
    UINT copied = 0;
    while (copied < count) {
        std::uint32_t at = position + copied;
        UINT piece = count - copied;
        UINT room = kBufferSize - (at - (at & kBlockMask));
        if (piece > room) {
            piece = room;
        }
        UINT span = ReadSpan(handle, at, buffer + copied, piece);
        if (span == kFailed) {
            return kFailed;
        }
        filePosition = (at & kBlockMask) + span;
        copied += piece;
    }
    std::uint32_t end = position + count;
    if (filePosition != end &&
        SeekFile(handle, static_cast<LONG>(end), kSeekSet) != static_cast<LONG>(end)) {
        return kFailed;
    }
    m_positions.SetPos(handle, end);
    if (position == 0 && count >= 4 && !CheckSignature(buffer)) {
        return kFailed;
    }
    return count;
}

// ---- FDI callbacks ----

CExtract* CExtract::Current() {
    DWORD slot = CabinetTlsIndex();
    return slot == TLS_OUT_OF_INDEXES ? nullptr : static_cast<CExtract*>(TlsGetValue(slot));
}

void* CExtract::FnAlloc(ULONG size) {
    return std::malloc(size);
}

void CExtract::FnFree(void* memory) {
    std::free(memory);
}

INT_PTR CExtract::OpenCabinetFile(const wchar_t* path, int openFlags) {
    INT_PTR handle = OpenFile(path, openFlags, _S_IREAD);
    if (handle != -1) {
        m_positions.SetPos(handle, 0);
    }
    return handle;
}

UINT CExtract::ReadCabinetFile(INT_PTR handle, void* buffer, UINT count) {
    return DecryptingRead(handle, static_cast<BYTE*>(buffer), count);
}

LONG CExtract::SeekCabinetFile(INT_PTR handle, LONG distance, int origin) {
    LONG position = SeekFile(handle, distance, origin);
    std::uint32_t known = 0;
    if (position >= 0 && m_positions.GetPos(handle, &known)) {
        m_positions.SetPos(handle, static_cast<std::uint32_t>(position));
    }
    return position;
}

INT_PTR CExtract::FnOpen(char* file, int openFlags, int permissionMode) {
    CExtract* self = Current();
    if (self == nullptr) {
        return -1;
    }
    CCabStringW path;
    path.AssignCodePage(file, CP_UTF8);
    return self->OpenCabinetFile(path.Get(), openFlags);
}

UINT CExtract::FnRead(INT_PTR handle, void* buffer, UINT count) {
    CExtract* self = Current();
    if (self == nullptr) {
        return static_cast<UINT>(-1);
    }
    return self->ReadCabinetFile(handle, buffer, count);
}

UINT CExtract::FnWrite(INT_PTR handle, void* buffer, UINT count) {
    CExtract* self = Current();
    if (self == nullptr) {
        return static_cast<UINT>(-1);
    }
    UINT written = 0;
    if (self->m_memoryMode && handle == self->m_currentHandle) {
        if (static_cast<std::uint64_t>(self->m_memoryWritten) + count > self->m_currentSize) {
            self->m_error.Set(kErrLongerThanDeclared);
            return static_cast<UINT>(-1);
        }
        std::memcpy(self->m_memory + self->m_memoryWritten, buffer, count);
        self->m_memoryWritten += count;
        written = count;
    } else {
        written = self->WriteFile(handle, buffer, count);
        if (written == static_cast<UINT>(-1)) {
            return written;
        }
    }
    if (self->m_progress != nullptr && handle == self->m_currentHandle) {
        self->m_currentWritten += written;
        DWORD now = GetTickCount();
        bool complete = self->m_currentWritten >= self->m_currentSize;
        if (complete || now - self->m_lastProgressTick > self->m_progressInterval) {
            self->m_lastProgressTick = now;
            double percent = self->m_currentSize != 0
                                 ? 100.0 * self->m_currentWritten / self->m_currentSize
                                 : 100.0;
            self->m_progress(self->m_currentPath.Get(), self->m_currentName.Get(),
                             self->m_currentSize, self->m_currentWritten, percent, self->m_param);
        }
    }
    return written;
}

int CExtract::FnClose(INT_PTR handle) {
    CExtract* self = Current();
    if (self == nullptr || handle <= 0) {
        return 0;
    }
    int result = 0;
    bool memoryHandle = self->m_memoryMode && handle >= kFirstMemoryHandle;
    if (!memoryHandle) {
        result = self->CloseFile(handle);
    }
    self->m_positions.Close(handle);
    if (handle == self->m_currentHandle) {
        self->m_currentHandle = 0;
    }
    return result;
}

LONG CExtract::FnSeek(INT_PTR handle, LONG distance, int origin) {
    CExtract* self = Current();
    if (self == nullptr) {
        return -1;
    }
    return self->SeekCabinetFile(handle, distance, origin);
}

void CExtract::DecodeName(const char* stored, USHORT attributes, CCabStringW* name) const {
    name->AssignCodePage(stored != nullptr ? stored : "",
                         (attributes & _A_NAME_IS_UTF) != 0 ? CP_UTF8 : m_nameCodePage);
    for (wchar_t* c = name->Buffer(); *c != L'\0'; ++c) {
        if (*c == L'/') {
            *c = L'\\';
        }
    }
}

INT_PTR CExtract::MemoryHandle() const {
    INT_PTR handle = kFirstMemoryHandle;
    std::uint32_t unused = 0;
    while (m_positions.GetPos(handle, &unused)) {
        ++handle;
    }
    return handle;
}

INT_PTR CExtract::OnCopyFile(PFDINOTIFICATION notification) {
    CCabStringW name;
    DecodeName(notification->psz1, notification->attribs, &name);
    if (!StaysBelowTarget(name.Get())) {
        // Not written anywhere; the other files of the cabinet still extract.
        m_error.Set(kErrTargetFile, ERROR_INVALID_NAME);
        return 0;
    }
    CCabStringW path(m_targetDirectory);
    path.Append(name);
    DWORD size = static_cast<DWORD>(notification->cb);
    if (m_beforeFile != nullptr &&
        !m_beforeFile(path.Get(), name.Get(), notification->cb, m_param)) {
        return 0;
    }
    if (m_memoryMode) {
        if (size > kMaxMemoryFileSize) {
            m_error.Set(kErrAllocFail, ERROR_NOT_ENOUGH_MEMORY);
            return -1;
        }
        if (m_memoryCapacity < size + 2) {
            auto* grown = static_cast<BYTE*>(std::realloc(m_memory, size + 2));
            if (grown == nullptr) {
                ThrowOutOfMemory();
            }
            m_memory = grown;
            m_memoryCapacity = size + 2;
        }
        m_memoryWritten = 0;
        m_currentHandle = MemoryHandle();
    } else {
        CCabStringW directory(path);
        wchar_t* slash = std::wcsrchr(directory.Buffer(), L'\\');
        if (slash != nullptr) {
            slash[1] = L'\0';
        }
        // Files of one directory follow each other in a cabinet: the tree
        // made for the previous file needs no second look.
        if (std::wcscmp(directory.Get(), m_lastDirectory.Get()) != 0) {
            DWORD error = CreateFolderTree(directory.Get());
            if (error != ERROR_SUCCESS) {
                m_error.Set(kErrTargetFile, static_cast<int>(error));
                return -1;
            }
            m_lastDirectory = directory;
        }
        INT_PTR handle =
            OpenFile(path.Get(), _O_BINARY | _O_WRONLY | _O_CREAT | _O_TRUNC | _O_SEQUENTIAL,
                     _S_IREAD | _S_IWRITE);
        if (handle == -1) {
            m_error.Set(kErrTargetFile, static_cast<int>(Win32ErrorFromErrno(errno)));
            return -1;
        }
        m_currentHandle = handle;
        m_outputIncomplete = true;
    }
    m_currentSize = size;
    m_currentWritten = 0;
    m_currentPath = path;
    m_currentName = name;
    m_lastProgressTick = GetTickCount();
    if (m_progress != nullptr) {
        m_progress(path.Get(), name.Get(), size, 0, 0.0, m_param);
    }
    return m_currentHandle;
}

INT_PTR CExtract::OnCloseFile(PFDINOTIFICATION notification) {
    CCabStringW name;
    DecodeName(notification->psz1, notification->attribs, &name);
    if (m_memoryMode) {
        m_currentHandle = 0;
        if (m_afterFile != nullptr) {
            m_afterFile(nullptr, m_memory, m_memoryWritten, m_param);
        }
        return TRUE;
    }
    CCabStringW path(m_targetDirectory);
    path.Append(name);
    if (notification->hf == m_currentHandle || m_outputIncomplete) {
        path = m_currentPath;
    }
    CloseFile(notification->hf);
    m_positions.Close(notification->hf);
    if (notification->hf == m_currentHandle) {
        m_currentHandle = 0;
    }
    m_outputIncomplete = false;

    FILETIME stamp = {};
    FILETIME utc = {};
    if (DosDateTimeToFileTime(notification->date, notification->time, &stamp)) {
        if ((notification->attribs & kAttributeUtcTime) != 0) {
            utc = stamp;
        } else {
            LocalFileTimeToFileTime(&stamp, &utc);
        }
        HANDLE file = CreateFileW(path.Get(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            SetFileTime(file, &utc, nullptr, &utc);
            CloseHandle(file);
        }
    }
    DWORD attributes = notification->attribs & kAttributeMask;
    SetFileAttributesW(path.Get(), attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL);
    if (m_afterFile != nullptr) {
        m_afterFile(path.Get(), nullptr, 0, m_param);
    }
    return TRUE;
}

INT_PTR CExtract::FnNotify(FDINOTIFICATIONTYPE type, PFDINOTIFICATION notification) {
    CExtract* self = Current();
    if (self == nullptr || self->m_abort) {
        return -1;
    }
    switch (type) {
        case fdintCABINET_INFO:
            if (self->m_nextCabinetName.Len() == 0) {
                self->m_nextCabinetName.AssignCodePage(notification->psz1, CP_UTF8);
            }
            if (self->m_cabinetInfo != nullptr) {
                self->m_cabinetInfo(self->m_nextCabinetName.Get(), self->m_param);
            }
            return 0;
        case fdintCOPY_FILE:
            return self->OnCopyFile(notification);
        case fdintCLOSE_FILE_INFO:
            return self->OnCloseFile(notification);
        case fdintNEXT_CABINET:
            self->m_nextCabinetName.AssignCodePage(notification->psz1, CP_UTF8);
            if (self->m_nextCabinet != nullptr) {
                self->m_nextCabinet(self->m_nextCabinetName.Get(), self->m_param);
            }
            if (!IsBareFileName(self->m_nextCabinetName.Get())) {
                self->m_error.Set(kErrCabinetNotFound);
                return -1;
            }
            if (notification->fdie != FDIERROR_NONE) {
                self->m_error.Set(notification->fdie);
                return -1;
            }
            return 0;
        case fdintPARTIAL_FILE:
        case fdintENUMERATE:
        default:
            return 0;
    }
}

}  // namespace Cabinet
