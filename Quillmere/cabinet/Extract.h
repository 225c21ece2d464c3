// Cabinet reader: unpacks every file of a cabinet into a directory through the
// decompression interface (FDI) of Cabinet.dll, bound at run time, decrypting
// an encrypted cabinet file on its way from disk when a key is set.
//
// Usage: construct; Cipher().SetKey(key, length) with the folder password in
// the thread's 8-bit code page (empty: plain cabinets only); AllocateBuffer();
// CreateFDIContext; ExtractFile (any number of times); CleanUp.
//
// Stored names never leave the target directory: a name that is absolute,
// carries a drive or climbs out with ".." is not written; that file fails with
// error 8 while the others extract. A cabinet that turns out corrupt or
// truncated fails with its code and leaves no partly written file behind.
//
// Failures: success flags; the reason is in the error record (GetError /
// GetLastErrorText, extraction table). Allocation failures throw the C string
// "Fatal error: Out of memory!".
//
// Threading: the library's callbacks carry no context, so a reader finds
// itself through a thread-local slot: at most one reader per thread may hold
// an open context (CreateFDIContext fails with 1012 otherwise). A reader
// belongs to the thread that constructed it (1011 elsewhere).
#pragma once

#include <cstdint>

#include "Quillmere/cabinet/Blowfish.h"
#include "Quillmere/cabinet/CabError.h"
#include "Quillmere/cabinet/CabStringW.h"
#include "Quillmere/cabinet/FilePosMap.h"
#include "platform/cabinet/fdi.h"
#include "platform/win/Module.h"

namespace Cabinet {

class CExtract {
public:
    // Own error codes (extraction table) and the library codes the reader sets.
    static constexpr int kErrNotACabinet = 2;
    static constexpr int kErrTargetFile = 8;
    static constexpr int kErrLoadCabinetDll = 1000;
    static constexpr int kErrInvalidParameters = 1002;
    static constexpr int kErrNotEncrypted = 1007;
    static constexpr int kErrNotDecryptable = 1008;
    static constexpr int kErrLongerThanDeclared = 1009;
    static constexpr int kErrWrongThread = 1011;
    static constexpr int kErrSecondInstance = 1012;

    static constexpr std::uint32_t kBufferSize = 65536;
    static constexpr std::uint32_t kPlainHeaderSize = 56;
    static constexpr DWORD kProgressIntervalMs = 200;
    static constexpr UINT kNameCodePage = 1252;

    // Optional caller callbacks (the add-in sets none); `param` is the caller
    // parameter of ExtractFile. Paths are the target paths of files.
    // Before each file; FALSE skips it.
    using BeforeFileCallback = BOOL (*)(const wchar_t* path, const wchar_t* name, LONG size,
                                        std::uintptr_t param);
    // While a file is written, at most every 200 ms and when it is complete.
    using ProgressCallback = void (*)(const wchar_t* path, const wchar_t* name, DWORD size,
                                      DWORD written, double percent, std::uintptr_t param);
    // A cabinet names the one that continues it (empty: the set ends here).
    using CabinetInfoCallback = void (*)(const wchar_t* nextCabinet, std::uintptr_t param);
    // The library asks for the next cabinet of a set.
    using NextCabinetCallback = void (*)(const wchar_t* nextCabinet, std::uintptr_t param);
    // After each file: its path, or in memory mode its bytes.
    using AfterFileCallback = void (*)(const wchar_t* path, const BYTE* data, DWORD size,
                                       std::uintptr_t param);

    // Creator thread := the calling thread.
    CExtract();
    // CleanUp (on the creator thread), then frees the buffers (Cabinet.dll
    // stays loaded for the process).
    virtual ~CExtract();
    CExtract(const CExtract&) = delete;
    CExtract& operator=(const CExtract&) = delete;

    CBlowfish& Cipher() { return m_cipher; }
    // Allocates the 65536-byte read buffer when there is none yet; throws
    // "Fatal error: Out of memory!" when it cannot.
    void AllocateBuffer();

    void SetBeforeFileCallback(BeforeFileCallback callback) { m_beforeFile = callback; }
    void SetProgressCallback(ProgressCallback callback) { m_progress = callback; }
    void SetCabinetInfoCallback(CabinetInfoCallback callback) { m_cabinetInfo = callback; }
    void SetNextCabinetCallback(NextCabinetCallback callback) { m_nextCabinet = callback; }
    void SetAfterFileCallback(AfterFileCallback callback) { m_afterFile = callback; }

    // Takes this thread's slot and opens a decompression context. Fails with
    // 1011, 1012 (the thread's slot holds a reader), Windows error 14 (no
    // usable slot), without a code when a context is open already, 1000, or
    // the library's code.
    BOOL CreateFDIContext();
    // Extracts every file of `cabinetPath` (and of the cabinets that continue
    // it) below `targetDirectory`, or into memory when that is "MEMORY\" (any
    // case). Fails without a code when no context is open; with 1002 for a
    // target directory shorter than 3 characters or a cabinet directory or
    // name shorter than 2; with 2, 1007, 1008 (signature), 8 (a target file
    // could not be written or its name would leave the target directory),
    // 1009 (memory mode: longer than declared), or the library's code.
    BOOL ExtractFile(const wchar_t* cabinetPath, const wchar_t* targetDirectory,
                     std::uintptr_t param);
    // Closes the context and frees this thread's slot. 1011 on a foreign
    // thread; a failed destroy fails and keeps the slot.
    BOOL CleanUp();

    // Memory mode: the last extracted file's bytes (owned by the reader).
    const BYTE* MemoryData() const { return m_memory; }
    DWORD MemorySize() const { return m_memoryWritten; }

    CCabError& GetError() { return m_error; }
    const wchar_t* GetLastErrorText() { return m_error.GetLastErrorText(); }
    DWORD CreatorThreadId() const { return m_creatorThread; }

    // Makes every further notification fail; the file being written is removed.
    virtual void Abort() { m_abort = TRUE; }

protected:
    // Low-level file operations over the C runtime.
    virtual UINT ReadFile(INT_PTR handle, void* buffer, UINT count);
    virtual UINT WriteFile(INT_PTR handle, const void* buffer, UINT count);
    virtual int CloseFile(INT_PTR handle);
    virtual LONG SeekFile(INT_PTR handle, LONG distance, int origin);
    // With creation flags, first resets the file's attributes to normal so
    // that a read-only file can be replaced. -1 on failure.
    virtual INT_PTR OpenFile(const wchar_t* path, int openFlags, int permissionMode);
    // The module name the reader loads its library by.
    virtual const wchar_t* CabinetLibraryName() const { return L"Cabinet.dll"; }

    // The cabinet file access the library's callbacks use: open for reading
    // (position 0 recorded), the decrypting read with its signature test, and
    // the seek that keeps the recorded position.
    INT_PTR OpenCabinetFile(const wchar_t* path, int openFlags);
    UINT ReadCabinetFile(INT_PTR handle, void* buffer, UINT count);
    LONG SeekCabinetFile(INT_PTR handle, LONG distance, int origin);

private:
    bool OnCreatorThread();
    bool LoadCabinetDll();
    UINT DecryptingRead(INT_PTR handle, BYTE* buffer, UINT count);
    UINT ReadSpan(INT_PTR handle, std::uint32_t position, BYTE* out, UINT count);
    bool CheckSignature(BYTE* data);
    void FinishCurrentOutput(bool discard);
    INT_PTR OnCopyFile(PFDINOTIFICATION notification);
    INT_PTR OnCloseFile(PFDINOTIFICATION notification);
    void DecodeName(const char* stored, USHORT attributes, CCabStringW* name) const;
    INT_PTR MemoryHandle() const;

    static CExtract* Current();
    static void* FnAlloc(ULONG size);
    static void FnFree(void* memory);
    static INT_PTR FnOpen(char* file, int openFlags, int permissionMode);
    static UINT FnRead(INT_PTR handle, void* buffer, UINT count);
    static UINT FnWrite(INT_PTR handle, void* buffer, UINT count);
    static int FnClose(INT_PTR handle);
    static LONG FnSeek(INT_PTR handle, LONG distance, int origin);
    static INT_PTR FnNotify(FDINOTIFICATIONTYPE type, PFDINOTIFICATION notification);

    // The file being extracted.
    INT_PTR m_currentHandle = 0;
    CCabStringW m_currentName;
    CCabStringW m_currentPath;
    DWORD m_currentSize = 0;
    DWORD m_currentWritten = 0;
    DWORD m_lastProgressTick = 0;
    // A target file was created and has not been completed yet, even when the
    // library already closed its handle.
    bool m_outputIncomplete = false;

    BeforeFileCallback m_beforeFile = nullptr;
    ProgressCallback m_progress = nullptr;
    CabinetInfoCallback m_cabinetInfo = nullptr;
    NextCabinetCallback m_nextCabinet = nullptr;
    AfterFileCallback m_afterFile = nullptr;
    DWORD m_progressInterval = kProgressIntervalMs;
    CFilePosMap m_positions;
    CCabStringW m_targetDirectory;
    // The directory made for the last file of this extraction (empty at its
    // start).
    CCabStringW m_lastDirectory;
    CCabStringW m_nextCabinetName;
    CBlowfish m_cipher;
    BYTE* m_memory = nullptr;
    DWORD m_memoryCapacity = 0;
    DWORD m_memoryWritten = 0;
    CCabError m_error{true};
    HFDI m_context = nullptr;
    BOOL m_abort = FALSE;
    BOOL m_memoryMode = FALSE;
    BYTE* m_readBuffer = nullptr;
    UINT m_nameCodePage = kNameCodePage;
    std::uintptr_t m_param = 0;
    DWORD m_creatorThread;
    HMODULE m_library = nullptr;  // bound, kept loaded for the process (CabinetLibrary)
    PFNFDICREATE m_fdiCreate = nullptr;
    PFNFDICOPY m_fdiCopy = nullptr;
    PFNFDIISCABINET m_fdiIsCabinet = nullptr;
    PFNFDIDESTROY m_fdiDestroy = nullptr;
};

}  // namespace Cabinet
