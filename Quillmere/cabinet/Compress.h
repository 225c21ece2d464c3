// Cabinet writer: packs files into a cabinet through the compression interface
// (FCI) of Cabinet.dll, bound at run time, and Blowfish-encrypts the cabinet
// file on its way to disk when a key is set (see Blowfish.h for the block byte
// order; doc/cabinet_crypt_format.md for the file layout).
//
// Usage: construct; Cipher().SetKey(key, length) with the folder password in
// the thread's 8-bit code page (an empty key writes a plain cabinet);
// AllocateBuffer(); CreateFCIContext; AddFile for each file; CleanUp, which
// writes the cabinet file.
//
// Failures: every operation returns a success flag; the reason is in the
// error record (GetError / GetLastErrorText, compression table). Allocation
// failures throw the C string "Fatal error: Out of memory!".
//
// Threading: a writer belongs to the thread that constructed it;
// CreateFCIContext, AddFile and CleanUp fail with 1005 on any other thread and
// do nothing else. Writers on different threads are independent (they only
// share the instance counter that keeps their temporary-file names apart).
#pragma once

#include <cstdint>

#include "Quillmere/cabinet/Blowfish.h"
#include "Quillmere/cabinet/CabError.h"
#include "Quillmere/cabinet/CabStringA.h"
#include "Quillmere/cabinet/CabStringW.h"
#include "platform/cabinet/fci.h"
#include "platform/win/Module.h"

namespace Cabinet {

class CCompress {
public:
    // Own error codes (compression table).
    static constexpr int kErrLoadCabinetDll = 1000;
    static constexpr int kErrInvalidParameters = 1001;
    static constexpr int kErrCreateDirectory = 1002;
    static constexpr int kErrPathTooLong = 1003;
    static constexpr int kErrUnicodeNeedsUtf8 = 1004;
    static constexpr int kErrWrongThread = 1005;
    static constexpr int kErrFileTooBig = 1006;
    static constexpr int kErrNonAsciiCabinetName = 1007;

    static constexpr std::uint32_t kBufferSize = 65536;
    static constexpr std::uint32_t kPlainHeaderSize = 56;
    static constexpr std::uint32_t kMaxFileSize = 0x7FFF0000;
    static constexpr std::uint32_t kMinSplitSize = 20000;
    static constexpr std::uint32_t kNoSplit = 0x7FFF0000;

    // Optional caller callbacks (the add-in sets none). `param` is the caller
    // parameter of CreateFCIContext.
    // A file was placed in a part; non-zero result aborts.
    using FilePlacedCallback = int (*)(const wchar_t* cabinetPath, const wchar_t* storedName,
                                       LONG size, BOOL continuation, std::uintptr_t param);
    // A further part is about to start; FALSE vetoes it.
    using NextCabinetCallback = BOOL (*)(const wchar_t* partPath, int partNumber,
                                         std::uintptr_t param);
    // Progress: total compressed and uncompressed bytes, folder percentage.
    // FALSE aborts.
    using ProgressCallback = BOOL (*)(DWORD compressedTotal, DWORD uncompressedTotal,
                                      DWORD folderPercent, std::uintptr_t param);

    // Prepares the temporary directory (the system's, created when missing;
    // failure leaves 1002 with the Windows error). Takes the next instance
    // number; remembers the calling thread as the creator.
    CCompress();
    virtual ~CCompress();
    CCompress(const CCompress&) = delete;
    CCompress& operator=(const CCompress&) = delete;

    CBlowfish& Cipher() { return m_cipher; }
    // Allocates the 65536-byte staging buffer when there is none yet; throws
    // "Fatal error: Out of memory!" when it cannot.
    void AllocateBuffer();

    void SetFilePlacedCallback(FilePlacedCallback callback) { m_filePlaced = callback; }
    void SetNextCabinetCallback(NextCabinetCallback callback) { m_nextCabinet = callback; }
    void SetProgressCallback(ProgressCallback callback) { m_progress = callback; }

    // Opens a cabinet context writing to `cabinetPath` (a full Windows path;
    // with a split size below 0x7FFF0000 the name holds a printf integer
    // conversion such as "%d" for the part number). Fails with 1001 (context
    // already open, missing directory or name, name or directory shorter than
    // 3, split size below 20000, a split without "%"), 1000, 1002, 1003, 1007,
    // or the library's code.
    BOOL CreateFCIContext(const wchar_t* cabinetPath, BOOL utcTimes, BOOL utf8Names,
                          DWORD splitSize, USHORT setId, std::uintptr_t param);
    // Adds the file `sourcePath` under `nameInCabinet` with the compression
    // type word (0x1503: LZX with a 2^21 window). Without a context fails
    // without touching the error record; else 1 (source not readable, with the
    // Windows error), 1006 (above 0x7FFF0000 bytes), 1004, or the library's
    // code.
    BOOL AddFile(const wchar_t* sourcePath, const wchar_t* nameInCabinet, TCOMP compression);
    // Writes the cabinet (when files were added) and closes the context.
    // Succeeds at once without a context; 1005 on a foreign thread.
    BOOL CleanUp();
    // Makes the library's callbacks fail from now on (the work is abandoned).
    void Abort() { m_abort = TRUE; }

    CCabError& GetError() { return m_error; }
    const wchar_t* GetLastErrorText() { return m_error.GetLastErrorText(); }
    DWORD CreatorThreadId() const { return m_creatorThread; }
    DWORD InstanceNumber() const { return m_instance; }

protected:
    // Low-level file operations over the C runtime. Each sets *error to the
    // runtime's errno when the call fails or transfers fewer bytes than
    // asked. Open sharing read and write with everyone; -1 on failure.
    virtual INT_PTR OpenFile(const wchar_t* path, int openFlags, int permissionMode, int* error);
    virtual UINT ReadFile(INT_PTR handle, void* buffer, UINT count, int* error);
    virtual UINT WriteFile(INT_PTR handle, const void* buffer, UINT count, int* error);
    virtual int CloseFile(INT_PTR handle, int* error);
    virtual int DeleteFile(const wchar_t* path, int* error);
    virtual LONG SeekFile(INT_PTR handle, LONG distance, int origin, int* error);
    // The module name the writer loads its library by.
    virtual const wchar_t* CabinetLibraryName() const { return L"Cabinet.dll"; }

    // The file access the library's callbacks use, with the encryption layer:
    // opening a path of the cabinet-path list (with a key set) starts
    // encrypting that handle; writes to it are encrypted past the plain
    // header; a seek or the close flushes the pending block. Results and
    // *error as the library's callbacks give them.
    INT_PTR OpenCabinetFile(const wchar_t* path, int openFlags, int permissionMode, int* error);
    UINT WriteCabinetFile(INT_PTR handle, const void* buffer, UINT count, int* error);
    LONG SeekCabinetFile(INT_PTR handle, LONG distance, int origin, int* error);
    int CloseCabinetFile(INT_PTR handle, int* error);
    // Adds a path to the cabinet-path list, as naming a part does.
    void AddCabinetPath(const wchar_t* path);

private:
    bool OnCreatorThread();
    bool LoadCabinetDll();
    bool NamePart(CCAB* ccab);
    UINT EncryptingWrite(INT_PTR handle, const void* buffer, UINT count, int* error);
    UINT WritePlainHeader(INT_PTR handle, const BYTE* data, UINT count, int* error);
    bool WriteWhole(INT_PTR handle, const BYTE* data, UINT count, int* error);
    bool FlushPendingBlock(INT_PTR handle, int* error);

    // FCI callbacks; pv is the writer.
    static int FnFilePlaced(PCCAB ccab, char* file, LONG size, BOOL continuation, void* pv);
    static void* FnAlloc(ULONG size);
    static void FnFree(void* memory);
    static INT_PTR FnOpen(char* file, int openFlags, int permissionMode, int* error, void* pv);
    static UINT FnRead(INT_PTR handle, void* buffer, UINT count, int* error, void* pv);
    static UINT FnWrite(INT_PTR handle, void* buffer, UINT count, int* error, void* pv);
    static int FnClose(INT_PTR handle, int* error, void* pv);
    static LONG FnSeek(INT_PTR handle, LONG distance, int origin, int* error, void* pv);
    static int FnDelete(char* file, int* error, void* pv);
    static BOOL FnGetTempFile(char* name, int size, void* pv);
    static BOOL FnGetNextCabinet(PCCAB ccab, ULONG previousSize, void* pv);
    static LONG FnStatus(UINT type, ULONG count1, ULONG count2, void* pv);
    static INT_PTR FnGetOpenInfo(char* name, USHORT* date, USHORT* time, USHORT* attributes,
                                 int* error, void* pv);

    CBlowfish m_cipher;
    CCabStringW m_cabinetPaths;
    INT_PTR m_encryptedHandle = 0;
    std::uint32_t m_writtenCount = 0;
    BYTE* m_buffer = nullptr;
    FilePlacedCallback m_filePlaced = nullptr;
    NextCabinetCallback m_nextCabinet = nullptr;
    ProgressCallback m_progress = nullptr;
    DWORD m_compressedTotal = 0;
    DWORD m_uncompressedTotal = 0;
    DWORD m_lastStatus1 = 0;
    DWORD m_lastStatus2 = 0;
    DWORD m_folderPercent = 0;
    HFCI m_context = nullptr;
    CCabError m_error{false};
    CCabStringW m_tempDirectory;
    CCabStringA m_namePattern;
    std::uintptr_t m_param = 0;
    BOOL m_abort = FALSE;
    BOOL m_needsFlush = FALSE;
    BOOL m_utcTimes = FALSE;
    BOOL m_utf8Names = FALSE;
    BOOL m_currentNameUtf8 = FALSE;
    CCAB m_ccab = {};
    DWORD m_creatorThread;
    DWORD m_instance;
    DWORD m_tempCounter = 1;
    HMODULE m_library = nullptr;  // bound, kept loaded for the process (CabinetLibrary)
    PFNFCICREATE m_fciCreate = nullptr;
    PFNFCIADDFILE m_fciAddFile = nullptr;
    PFNFCIFLUSHFOLDER m_fciFlushFolder = nullptr;
    PFNFCIFLUSHCABINET m_fciFlushCabinet = nullptr;
    PFNFCIDESTROY m_fciDestroy = nullptr;
};

}  // namespace Cabinet
