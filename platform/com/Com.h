// COM's run-time: apartments, classes registered by ProgID and CLSID, and
// in-process servers created from their shared library.
//
// Registration lives in HKEY_CLASSES_ROOT as on the platform:
//   <ProgID>\CLSID = {clsid}            <ProgID>\(default) = description
//   <VersionIndependentProgID>\CurVer = <ProgID>
//   CLSID\{clsid}\InprocServer32 = Windows path of the server library
//   CLSID\{clsid}\LocalServer32 = Windows path of a server program, whose
//   running instance registers its class objects (LocalServer.h)
//   CLSID\{clsid}\InprocServer32\ThreadingModel, \ProgID, \VersionIndependentProgID,
//   \Programmable, \TypeLib
// Creating an object loads the library (through LoadLibraryW, so "X.dll" is
// the host file libX.so) and asks its DllGetClassObject for the class
// factory. Libraries stay loaded until the process ends.
#pragma once

#include <string>

#include "platform/com/Bstr.h"
#include "platform/com/Unknown.h"

constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;
constexpr DWORD CLSCTX_INPROC_HANDLER = 0x2;
constexpr DWORD CLSCTX_LOCAL_SERVER = 0x4;
constexpr DWORD CLSCTX_ALL = 0x17;

constexpr DWORD COINIT_MULTITHREADED = 0x0;
constexpr DWORD COINIT_APARTMENTTHREADED = 0x2;

// {00000001-0000-0000-C000-000000000046}
inline constexpr IID IID_IClassFactory{0x00000001, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

struct IClassFactory : IUnknown {
    // CLASS_E_NOAGGREGATION for a non-null outer; E_NOINTERFACE; E_OUTOFMEMORY.
    virtual HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** out) = 0;
    virtual HRESULT LockServer(BOOL lock) = 0;

protected:
    ~IClassFactory() = default;
};
QM_DECLARE_IID(IClassFactory, IID_IClassFactory);

// The export every in-process server library provides, by this name.
using DllGetClassObjectFn = HRESULT (*)(REFCLSID clsid, REFIID iid, void** out);
// Optional exports of the registration step.
using DllRegisterServerFn = HRESULT (*)();

// Per thread. S_OK the first time, S_FALSE again on the same thread;
// RPC_E_CHANGED_MODE when the thread was initialised with the other model.
HRESULT CoInitialize(void* reserved);
HRESULT CoInitializeEx(void* reserved, DWORD model);
void CoUninitialize();

// S_OK; CO_E_CLASSSTRING when the ProgID is not registered;
// REGDB_E_WRITEREGDB never (reading only).
HRESULT CLSIDFromProgID(const OLECHAR* progId, CLSID* clsid);
// The ProgID under CLSID\{clsid}\ProgID; REGDB_E_CLASSNOTREG. The caller frees *progId
// (SysFreeString).
HRESULT ProgIDFromCLSID(REFCLSID clsid, OLECHAR** progId);

// Creates an object of a registered class: its in-process server when the
// context includes CLSCTX_INPROC_SERVER and the class has one, else, with
// CLSCTX_LOCAL_SERVER, the class object a running server registered
// (LocalServer.h). CO_E_NOTINITIALIZED on a thread without CoInitialize;
// REGDB_E_CLASSNOTREG when the class is neither registered in process nor
// served; CO_E_SERVER_EXEC_FAILURE for a registered local server that does
// not run; HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND) when the library file is
// missing; CO_E_ERRORINDLL when it has no DllGetClassObject; otherwise what
// the factory answers (E_NOINTERFACE ...).
HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID iid, void** out);
HRESULT CoGetClassObject(REFCLSID clsid, DWORD context, void* reserved, REFIID iid, void** out);

namespace com {

// Whether the calling thread has initialised COM.
bool IsThreadInitialized();

struct ServerRegistration {
    CLSID clsid;
    std::wstring progId;                    // "Quillmere.Connect.1"
    std::wstring versionIndependentProgId;  // "Quillmere.Connect" (may be empty)
    std::wstring description;               // "Connect Class"
    std::wstring serverPath;                // Windows path of the library (or program)
    std::wstring threadingModel = L"Apartment";
    std::wstring typeLib;  // "{...}" or empty
    bool programmable = false;
    // The server is a program (LocalServer32) rather than a library
    // (InprocServer32, with its ThreadingModel).
    bool localServer = false;
};

// Writes (or removes) the keys above under HKEY_CLASSES_ROOT. Returns the
// registry's Win32 error as an HRESULT (SELFREG_E_CLASS-like failures are
// HRESULT_FROM_WIN32 of it).
HRESULT RegisterServer(const ServerRegistration& registration);
HRESULT UnregisterServer(const ServerRegistration& registration);

}  // namespace com
