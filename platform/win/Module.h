// Modules: shared libraries and the executable, loaded and named the way the
// platform's loader does, over dlopen/dlsym.
//
// A module "X.dll" is the host file "libX.so" ("X.exe" is "X"). An HMODULE is
// the address at which the module is mapped, so every way of reaching a
// module (LoadLibraryW, GetModuleHandleW, GetModuleHandleExW from an address)
// gives the same value. Thread-safe.
#pragma once

#include <optional>
#include <string>

#include "platform/win/Handle.h"
#include "platform/win/Types.h"

struct HINSTANCE__;
using HINSTANCE = HINSTANCE__*;
using HMODULE = HINSTANCE;
// An exported function; cast it to its real type before calling.
using FARPROC = std::intptr_t (*)();

// LoadLibraryExW flags (accepted; the search order below applies to all).
constexpr DWORD DONT_RESOLVE_DLL_REFERENCES = 0x00000001;
constexpr DWORD LOAD_LIBRARY_AS_DATAFILE = 0x00000002;
constexpr DWORD LOAD_WITH_ALTERED_SEARCH_PATH = 0x00000008;
constexpr DWORD LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR = 0x00000100;
constexpr DWORD LOAD_LIBRARY_SEARCH_APPLICATION_DIR = 0x00000200;
constexpr DWORD LOAD_LIBRARY_SEARCH_DEFAULT_DIRS = 0x00001000;

// GetModuleHandleExW flags.
constexpr DWORD GET_MODULE_HANDLE_EX_FLAG_PIN = 0x1;
constexpr DWORD GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT = 0x2;
constexpr DWORD GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS = 0x4;

// Loads a module and counts a reference to it. A name with a drive or a
// backslash is a path (relative ones against the current directory); a bare
// name is searched in the directory of the module that calls, then in the
// install directory. A name without extension gets ".dll". Null with
// ERROR_MOD_NOT_FOUND when no file is found, ERROR_BAD_FORMAT when the file
// is no loadable module (or lacks a symbol it needs). Each successful call
// needs one FreeLibrary.
HMODULE LoadLibraryW(const WCHAR* fileName);
HMODULE LoadLibraryExW(const WCHAR* fileName, HANDLE file, DWORD flags);
// Drops one reference of LoadLibraryW; FALSE with ERROR_MOD_NOT_FOUND for a
// value that names no module. A module reached only through GetModuleHandle*
// is not unloaded.
BOOL FreeLibrary(HMODULE module);
// An exported symbol, or null with ERROR_PROC_NOT_FOUND (ERROR_MOD_NOT_FOUND
// for a bad module). Ordinals (values below 0x10000) are not supported.
FARPROC GetProcAddress(HMODULE module, const char* procName);

// The module of that name if it is loaded (no reference counted); null
// names the executable. Null with ERROR_MOD_NOT_FOUND.
HMODULE GetModuleHandleW(const WCHAR* moduleName);
// With GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, moduleName is an address
// inside the module (cast to const WCHAR*), which is how a module finds
// itself. Without UNCHANGED_REFCOUNT a reference is counted (FreeLibrary).
// FALSE with *module = null and ERROR_MOD_NOT_FOUND.
BOOL GetModuleHandleExW(DWORD flags, const WCHAR* moduleName, HMODULE* module);
// The Windows path of the module's file ("P:\Quillmere.dll" for
// libQuillmere.so in the install directory, "P:\outlook-host.exe" for the
// executable outlook-host); null module = the executable. Returns the length
// copied without terminator; when size is too small, copies size-1
// characters and a terminator, returns size and sets
// ERROR_INSUFFICIENT_BUFFER. 0 with ERROR_MOD_NOT_FOUND for a bad module.
DWORD GetModuleFileNameW(HMODULE module, WCHAR* fileName, DWORD size);

namespace win {

// The host path of a loaded module's file (null = the executable), or nullopt.
std::optional<std::string> HostPathOfModule(HMODULE module);

// The host file name of a module name: "Cabinet.dll" -> "libCabinet.so",
// "X.exe" -> "X", "name" -> "libname.so".
std::string HostModuleFileName(const std::wstring& windowsName);

}  // namespace win
