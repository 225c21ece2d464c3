// File Decompression Interface of the Cabinet.dll stand-in (libCabinet.so).
//
// As with FCI, the library reaches files only through the caller's callbacks
// (given once to FDICreate). File names in notifications are narrow text:
// ANSI, or UTF-8 when the file's attributes carry _A_NAME_IS_UTF.
//
// Open flags handed to PFNOPEN are the Windows C runtime's (kCab_O_* in
// fci.h); FDI opens cabinets with kCab_O_BINARY | kCab_O_RDONLY |
// kCab_O_SEQUENTIAL. Seek origins are 0/1/2 (set/current/end).
//
// Threading: a context (HFDI) is used by one thread at a time; distinct
// contexts are independent. Hostile cabinets are expected: every failure is
// reported through the ERF, never by a crash, an endless loop or a write
// outside the buffers the caller supplied.
#pragma once

#include "platform/cabinet/fci.h"

enum FDIERROR : int {
    FDIERROR_NONE = 0,
    FDIERROR_CABINET_NOT_FOUND = 1,        // the open callback failed on the cabinet
    FDIERROR_NOT_A_CABINET = 2,            // no "MSCF" signature
    FDIERROR_UNKNOWN_CABINET_VERSION = 3,  // version other than 1.3
    FDIERROR_CORRUPT_CABINET = 4,          // structure or checksum fault
    FDIERROR_ALLOC_FAIL = 5,
    FDIERROR_BAD_COMPR_TYPE = 6,    // a folder uses an unsupported method (Quantum)
    FDIERROR_MDI_FAIL = 7,          // compressed data could not be decoded
    FDIERROR_TARGET_FILE = 8,       // the write callback failed
    FDIERROR_RESERVE_MISMATCH = 9,  // cabinets of a set differ in reserve sizes
    FDIERROR_WRONG_CABINET = 10,    // the next cabinet is not the one the set needs
    FDIERROR_USER_ABORT = 11,       // a notification returned -1
    FDIERROR_EOF = 12               // the cabinet ended early
};

using HFDI = void*;

using PFNALLOC = void* (*)(ULONG cb);
using PFNFREE = void (*)(void* pv);
using PFNOPEN = INT_PTR (*)(char* pszFile, int oflag, int pmode);  // -1 on failure
using PFNREAD = UINT (*)(INT_PTR hf, void* pv, UINT cb);           // (UINT)-1 on failure
using PFNWRITE = UINT (*)(INT_PTR hf, void* pv, UINT cb);          // fewer than cb is failure
using PFNCLOSE = int (*)(INT_PTR hf);                              // 0, or -1 on failure
using PFNSEEK = LONG (*)(INT_PTR hf, LONG dist, int seektype);     // new position, -1 on failure

constexpr int cpuUNKNOWN = -1;
constexpr int cpu80286 = 0;
constexpr int cpu80386 = 1;

struct FDICABINETINFO {
    LONG cbCabinet;  // total size of the cabinet file
    USHORT cFolders;
    USHORT cFiles;
    USHORT setID;
    USHORT iCabinet;  // index of this cabinet in its set
    BOOL fReserve;    // the header has reserve fields
    BOOL hasprev;     // continues a previous cabinet
    BOOL hasnext;     // continues in a next cabinet
};
using PFDICABINETINFO = FDICABINETINFO*;

enum FDIDECRYPTTYPE : int { fdidtNEW_CABINET = 0, fdidtNEW_FOLDER = 1, fdidtDECRYPT = 2 };

struct FDIDECRYPT {
    FDIDECRYPTTYPE fdidt;
    void* pvUser;
    union {
        struct {
            void* pHeaderReserve;
            USHORT cbHeaderReserve;
            USHORT setID;
            int iCabinet;
        } cabinet;
        struct {
            void* pFolderReserve;
            USHORT cbFolderReserve;
            USHORT iFolder;
        } folder;
        struct {
            void* pDataReserve;
            USHORT cbDataReserve;
            void* pbData;
            USHORT cbData;
            BOOL fSplit;
            USHORT cbPartial;
        } decrypt;
    };
};
using PFDIDECRYPT = FDIDECRYPT*;
// -1 aborts FDICopy (FDIERROR_USER_ABORT).
using PFNFDIDECRYPT = int (*)(PFDIDECRYPT pfdid);

enum FDINOTIFICATIONTYPE : int {
    fdintCABINET_INFO = 0,  // psz1 next cabinet, psz2 next disk, psz3 cabinet path; setID, iCabinet
    fdintPARTIAL_FILE =
        1,  // psz1 a file continued from an earlier cabinet, psz2/psz3 its first cabinet/disk
    fdintCOPY_FILE =
        2,  // psz1 stored name, cb size, date/time/attribs: return a handle, 0 skips, -1 aborts
    fdintCLOSE_FILE_INFO =
        3,  // psz1 name, hf, date/time/attribs, cb = execute flag: close hf, TRUE on success
    fdintNEXT_CABINET =
        4,              // psz1 next cabinet name, psz2 disk, psz3 path (writable, 256 bytes), fdie
    fdintENUMERATE = 5  // end of a cabinet's run of folders; -1 aborts
};

struct FDINOTIFICATION {
    LONG cb;
    char* psz1;
    char* psz2;
    char* psz3;
    void* pv;  // pvUser of FDICopy
    INT_PTR hf;
    USHORT date;
    USHORT time;
    USHORT attribs;
    USHORT setID;
    USHORT iCabinet;
    USHORT iFolder;
    FDIERROR fdie;
};
using PFDINOTIFICATION = FDINOTIFICATION*;

using PFNFDINOTIFY = INT_PTR (*)(FDINOTIFICATIONTYPE fdint, PFDINOTIFICATION pfdin);

extern "C" {
// Creates a decompression context. perf must stay valid for the life of the
// context: every later failure is reported there. Null on failure
// (FDIERROR_ALLOC_FAIL).
HFDI FDICreate(PFNALLOC pfnalloc, PFNFREE pfnfree, PFNOPEN pfnopen, PFNREAD pfnread,
               PFNWRITE pfnwrite, PFNCLOSE pfnclose, PFNSEEK pfnseek, int cpuType, PERF perf);
// Reads the header at hf's current position; TRUE and *pfdici filled when it is
// a cabinet. Leaves the file position unspecified.
BOOL FDIIsCabinet(HFDI hfdi, INT_PTR hf, PFDICABINETINFO pfdici);
// Extracts from the cabinet pszCabPath + pszCabinet (simply concatenated),
// notifying pfnfdin for every file; continues into further cabinets of a set
// through fdintNEXT_CABINET. FALSE on failure with the context's ERF filled.
BOOL FDICopy(HFDI hfdi, char* pszCabinet, char* pszCabPath, int flags, PFNFDINOTIFY pfnfdin,
             PFNFDIDECRYPT pfnfdid, void* pvUser);
// Frees the context. FALSE when hfdi is not a context.
BOOL FDIDestroy(HFDI hfdi);
}

using PFNFDICREATE = decltype(&FDICreate);
using PFNFDIISCABINET = decltype(&FDIIsCabinet);
using PFNFDICOPY = decltype(&FDICopy);
using PFNFDIDESTROY = decltype(&FDIDestroy);
