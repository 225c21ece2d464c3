// File Compression Interface of the Cabinet.dll stand-in (libCabinet.so).
//
// The add-in loads the library at run time (LoadLibraryW("Cabinet.dll")) and
// binds the entry points below by name, so the function pointer types are the
// contract as much as the extern "C" declarations are.
//
// All file access of the library goes through the caller's callbacks: the
// cabinet, the temporary files and the source files. The library itself never
// opens a path. File names handed to the callbacks are narrow text: ANSI, or
// UTF-8 when the file carries _A_NAME_IS_UTF.
//
// Flag values passed to the open callback are those of the Windows C runtime
// (below, kCab_O_*), whatever the host's own <fcntl.h> says; the callback maps
// them. Seek origins are 0/1/2 (set/current/end).
//
// Threading: a context (HFCI) is used by one thread at a time; distinct
// contexts are independent.
#pragma once

#include <cstdint>

#include "platform/win/Types.h"

using INT_PTR = std::intptr_t;

// Error record filled by FCI and FDI on failure. erfOper is an FCIERROR (or
// FDIERROR), erfType the errno the failing callback reported (0 when none).
struct ERF {
    int erfOper;
    int erfType;
    BOOL fError;
};
using PERF = ERF*;

constexpr UINT CB_MAX_CHUNK = 32768;
constexpr ULONG CB_MAX_DISK = 0x7FFFFFFF;
constexpr int CB_MAX_FILENAME = 256;
constexpr int CB_MAX_CABINET_NAME = 256;
constexpr int CB_MAX_CAB_PATH = 256;
constexpr int CB_MAX_DISK_NAME = 256;

// File attributes stored per file in the cabinet.
constexpr USHORT _A_RDONLY = 0x01;
constexpr USHORT _A_HIDDEN = 0x02;
constexpr USHORT _A_SYSTEM = 0x04;
constexpr USHORT _A_ARCH = 0x20;
constexpr USHORT _A_EXEC = 0x40;
constexpr USHORT _A_NAME_IS_UTF = 0x80;

// Windows C runtime open flags and permission bits, as the library passes them
// to PFNFCIOPEN / PFNOPEN.
constexpr int kCab_O_RDONLY = 0x0000;
constexpr int kCab_O_WRONLY = 0x0001;
constexpr int kCab_O_RDWR = 0x0002;
constexpr int kCab_O_APPEND = 0x0008;
constexpr int kCab_O_CREAT = 0x0100;
constexpr int kCab_O_TRUNC = 0x0200;
constexpr int kCab_O_EXCL = 0x0400;
constexpr int kCab_O_SEQUENTIAL = 0x0020;
constexpr int kCab_O_BINARY = 0x8000;
constexpr int kCab_S_IWRITE = 0x0080;
constexpr int kCab_S_IREAD = 0x0100;

enum FCIERROR : int {
    FCIERR_NONE = 0,
    FCIERR_OPEN_SRC = 1,         // failure opening file to be stored in cabinet
    FCIERR_READ_SRC = 2,         // failure reading file to be stored in cabinet
    FCIERR_ALLOC_FAIL = 3,       // out of memory in FCI
    FCIERR_TEMP_FILE = 4,        // could not create a temporary file
    FCIERR_BAD_COMPR_TYPE = 5,   // unknown compression type
    FCIERR_CAB_FILE = 6,         // could not create (or write) the cabinet file
    FCIERR_USER_ABORT = 7,       // a callback asked to abort
    FCIERR_MCI_FAIL = 8,         // failure compressing data
    FCIERR_CAB_FORMAT_LIMIT = 9  // data exceeds the format's limits (counts, sizes)
};

// Compression type word: type in bits 0-3; for LZX the window exponent
// (15..21) in bits 8-12.
using TCOMP = USHORT;
constexpr TCOMP tcompMASK_TYPE = 0x000F;
constexpr TCOMP tcompTYPE_NONE = 0x0000;
constexpr TCOMP tcompTYPE_MSZIP = 0x0001;
constexpr TCOMP tcompTYPE_QUANTUM = 0x0002;
constexpr TCOMP tcompTYPE_LZX = 0x0003;
constexpr TCOMP tcompBAD = 0x000F;
constexpr TCOMP tcompMASK_LZX_WINDOW = 0x1F00;
constexpr TCOMP tcompLZX_WINDOW_LO = 0x0F00;
constexpr TCOMP tcompLZX_WINDOW_HI = 0x1500;
constexpr int tcompSHIFT_LZX_WINDOW = 8;
constexpr TCOMP tcompMASK_QUANTUM_LEVEL = 0x00F0;
constexpr TCOMP tcompMASK_QUANTUM_MEM = 0x1F00;
constexpr TCOMP tcompMASK_RESERVED = 0xE000;

constexpr TCOMP TCOMPfromLZXWindow(int windowBits) {
    return static_cast<TCOMP>((windowBits << tcompSHIFT_LZX_WINDOW) | tcompTYPE_LZX);
}
constexpr int LZXWindowFromTCOMP(TCOMP t) {
    return (t & tcompMASK_LZX_WINDOW) >> tcompSHIFT_LZX_WINDOW;
}

// Cabinet parameters. The caller fills it before FCICreate and again in
// PFNFCIGETNEXTCABINET for every further part (szCab, szDisk, iCab, ...).
struct CCAB {
    ULONG cb;                // maximum cabinet size in bytes (parts are split below it)
    ULONG cbFolderThresh;    // a folder is closed once it holds this many compressed bytes
    UINT cbReserveCFHeader;  // 0..60000 bytes reserved in the header
    UINT cbReserveCFFolder;  // 0..255 bytes reserved per folder entry
    UINT cbReserveCFData;    // 0..255 bytes reserved per data block
    int iCab;                // number of this part, stored as the cabinet index
    int iDisk;               // disk number (informational)
    int fFailOnIncompressible;
    USHORT setID;                     // same for all parts of a set
    char szDisk[CB_MAX_DISK_NAME];    // disk label of this part, stored when not empty
    char szCab[CB_MAX_CABINET_NAME];  // file name of this part
    char szCabPath[CB_MAX_CAB_PATH];  // directory of this part; prepended to szCab as is
};
using PCCAB = CCAB*;

using HFCI = void*;

// Status types of PFNFCISTATUS.
constexpr UINT statusFile = 0;    // cb1 = compressed bytes of a block, cb2 = its uncompressed bytes
constexpr UINT statusFolder = 1;  // cb1 = bytes of the folder copied so far, cb2 = folder size
constexpr UINT statusCabinet =
    2;  // cb1 = estimated cabinet size, cb2 = actual; return the size wanted

// Callbacks. pv is the context given to FCICreate. Where a callback has an
// err out-parameter it stores the errno of a failure there; FCI copies it to
// ERF::erfType.
using PFNFCIFILEPLACED = int (*)(PCCAB pccab, char* pszFile, LONG cbFile, BOOL fContinuation,
                                 void* pv);  // -1 aborts
using PFNFCIALLOC = void* (*)(ULONG cb);
using PFNFCIFREE = void (*)(void* memory);
using PFNFCIOPEN = INT_PTR (*)(char* pszFile, int oflag, int pmode, int* err,
                               void* pv);  // -1 on failure
using PFNFCIREAD = UINT (*)(INT_PTR hf, void* memory, UINT cb, int* err,
                            void* pv);  // bytes read, (UINT)-1 on failure
using PFNFCIWRITE = UINT (*)(INT_PTR hf, void* memory, UINT cb, int* err,
                             void* pv);  // bytes written; fewer than cb is failure
using PFNFCICLOSE = int (*)(INT_PTR hf, int* err, void* pv);  // 0, or -1 on failure
using PFNFCISEEK = LONG (*)(INT_PTR hf, LONG dist, int seektype, int* err,
                            void* pv);                            // new position, -1 on failure
using PFNFCIDELETE = int (*)(char* pszFile, int* err, void* pv);  // 0, or -1 on failure
// Fills pszTempName (cbTempName bytes with the terminator) with a name that
// does not exist yet; FALSE on failure. FCI creates it with PFNFCIOPEN and
// deletes it with PFNFCIDELETE.
using PFNFCIGETTEMPFILE = BOOL (*)(char* pszTempName, int cbTempName, void* pv);
// Asked before a further part is started: updates *pccab (iCab, szCab, ...)
// for it; cbPrevCab is the estimated size of the part just finished. FALSE aborts.
using PFNFCIGETNEXTCABINET = BOOL (*)(PCCAB pccab, ULONG cbPrevCab, void* pv);
// Progress; -1 aborts (for statusCabinet: the cabinet size wanted, or -1).
using PFNFCISTATUS = LONG (*)(UINT typeStatus, ULONG cb1, ULONG cb2, void* pv);
// Opens a source file for reading and returns its DOS date, time and
// attributes (_A_* bits; _A_NAME_IS_UTF makes the stored name UTF-8). -1 on failure.
using PFNFCIGETOPENINFO = INT_PTR (*)(char* pszName, USHORT* pdate, USHORT* ptime, USHORT* pattribs,
                                      int* err, void* pv);

extern "C" {
// Creates a compression context writing to the cabinet *pccab names. The
// library keeps its own copy of *pccab. Returns null on failure with *perf
// filled (FCIERR_ALLOC_FAIL; FCIERR_TEMP_FILE when no temporary file could be
// named or created; FCIERR_CAB_FORMAT_LIMIT for reserve sizes beyond the
// format). perf must stay valid for the life of the context: every later
// failure is reported there, with the failing callback's errno in erfType.
HFCI FCICreate(PERF perf, PFNFCIFILEPLACED pfnfcifp, PFNFCIALLOC pfna, PFNFCIFREE pfnf,
               PFNFCIOPEN pfnopen, PFNFCIREAD pfnread, PFNFCIWRITE pfnwrite, PFNFCICLOSE pfnclose,
               PFNFCISEEK pfnseek, PFNFCIDELETE pfndelete, PFNFCIGETTEMPFILE pfnfcigtf, PCCAB pccab,
               void* pv);
// Adds pszSourceFile (opened through pfnfcigoi, read through the read
// callback) under the stored name pszFileName, compressed with typeCompress.
// A change of compression type closes the current folder; the cabinet is
// split (pfnfcignc asked for each further part) whenever it would pass
// CCAB::cb. FALSE on failure: FCIERR_OPEN_SRC, FCIERR_READ_SRC,
// FCIERR_BAD_COMPR_TYPE (Quantum, LZX window outside 15..21),
// FCIERR_CAB_FORMAT_LIMIT (empty or 256-byte name, source beyond 0x7FFF8000
// bytes, 65535 entries), FCIERR_TEMP_FILE, FCIERR_CAB_FILE, FCIERR_MCI_FAIL or
// FCIERR_USER_ABORT (a callback refused). A failure found before any of the
// file's data was taken (opening or measuring the source, its name, its
// compression type) leaves the context usable; after any later one every
// further call fails and the context is only good for FCIDestroy.
BOOL FCIAddFile(HFCI hfci, char* pszSourceFile, char* pszFileName, BOOL fExecute,
                PFNFCIGETNEXTCABINET pfnfcignc, PFNFCISTATUS pfnfcis, PFNFCIGETOPENINFO pfnfcigoi,
                TCOMP typeCompress);
// Writes the current part; with fGetNextCab a further part is begun (and
// pfnfcignc asked) as for a split. Nothing is written when no file was added
// since the last flush. The cabinet file is written once, front to back,
// without seeking. FALSE on failure, codes as for FCIAddFile.
BOOL FCIFlushCabinet(HFCI hfci, BOOL fGetNextCab, PFNFCIGETNEXTCABINET pfnfcignc,
                     PFNFCISTATUS pfnfcis);
// Closes the current folder; the next file starts a new one. FALSE on failure.
BOOL FCIFlushFolder(HFCI hfci, PFNFCIGETNEXTCABINET pfnfcignc, PFNFCISTATUS pfnfcis);
// Frees the context and deletes its temporary files. Files added since the
// last FCIFlushCabinet are dropped. FALSE when hfci is not a context.
BOOL FCIDestroy(HFCI hfci);
}

// Types of the exported functions, for GetProcAddress.
using PFNFCICREATE = decltype(&FCICreate);
using PFNFCIADDFILE = decltype(&FCIAddFile);
using PFNFCIFLUSHCABINET = decltype(&FCIFlushCabinet);
using PFNFCIFLUSHFOLDER = decltype(&FCIFlushFolder);
using PFNFCIDESTROY = decltype(&FCIDestroy);
