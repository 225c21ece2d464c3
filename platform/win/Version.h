// File version information: the version resource (RT_VERSION, a
// VS_VERSIONINFO tree) of a module file, read with the platform's calls.
//
// Files are named by Windows path (through the drive map) or by absolute host
// path. A module's Windows name, as GetModuleFileNameW gives it
// ("P:\Quillmere.dll"), finds its host file ("libQuillmere.so") when no file
// of that very name exists. All calls are thread-safe.
#pragma once

#include "platform/win/Types.h"

// The fixed part of a version resource, decoded from its little-endian
// bytes (VerQueryValueW with "\\").
struct VS_FIXEDFILEINFO {
    DWORD dwSignature;  // VS_FFI_SIGNATURE
    DWORD dwStrucVersion;
    DWORD dwFileVersionMS;  // major in the high word, minor in the low word
    DWORD dwFileVersionLS;  // build in the high word, revision in the low word
    DWORD dwProductVersionMS;
    DWORD dwProductVersionLS;
    DWORD dwFileFlagsMask;
    DWORD dwFileFlags;
    DWORD dwFileOS;
    DWORD dwFileType;
    DWORD dwFileSubtype;
    DWORD dwFileDateMS;
    DWORD dwFileDateLS;
};

constexpr DWORD VS_FFI_SIGNATURE = 0xFEEF04BD;
constexpr DWORD VS_FFI_STRUCVERSION = 0x00010000;
constexpr DWORD VS_FFI_FILEFLAGSMASK = 0x0000003F;
constexpr DWORD VS_FF_DEBUG = 0x01;
constexpr DWORD VS_FF_PRERELEASE = 0x02;
constexpr DWORD VOS_NT_WINDOWS32 = 0x00040004;
constexpr DWORD VFT_APP = 0x1;
constexpr DWORD VFT_DLL = 0x2;

// The size of the version resource of the file, for GetFileVersionInfoW;
// *handle (may be null) is set to 0. 0 on failure with GetLastError():
// ERROR_FILE_NOT_FOUND / ERROR_PATH_NOT_FOUND (no such file),
// ERROR_BAD_FORMAT (not a module file), ERROR_RESOURCE_DATA_NOT_FOUND (no
// resources, or damaged ones), ERROR_RESOURCE_TYPE_NOT_FOUND (no version
// resource).
DWORD GetFileVersionInfoSizeW(const WCHAR* fileName, DWORD* handle);

// Copies the version resource into data (size bytes; handle is ignored).
// When size is smaller than the resource the copy is cut there and its root
// length is cut to match, so that VerQueryValueW never reads past it.
// FALSE with the errors above, or ERROR_INVALID_PARAMETER for null data or
// ERROR_INSUFFICIENT_BUFFER for a size below the smallest node (6 bytes).
BOOL GetFileVersionInfoW(const WCHAR* fileName, DWORD handle, DWORD size, void* data);

// Looks a value up in a version block (from GetFileVersionInfoW, or a
// version resource's data from LockResource):
//   "\\"                                   -> *buffer = VS_FIXEDFILEINFO*,
//                                             *length = sizeof(VS_FIXEDFILEINFO)
//   "\\StringFileInfo\\040904b0\\FileVersion" -> *buffer = const WCHAR* text,
//                                             *length = characters with the terminator
//   "\\VarFileInfo\\Translation"           -> *buffer = the raw bytes in the block,
//                                             *length = bytes
// Keys compare case-insensitively. The walk stays within the lengths the
// block records. FALSE when the path names nothing, or names a node without
// a value.
//
// Deviation: on the platform the fixed info and text values point into the
// block; here the block holds UTF-16 text and little-endian fields while
// WCHAR is 32 bits, so the result points at a decoded copy that the process
// keeps (one per distinct value) instead. Binary values do point into the block.
BOOL VerQueryValueW(const void* block, const WCHAR* subBlock, void** buffer, UINT* length);
