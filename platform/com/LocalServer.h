// Objects of one process reached from the other processes of the machine:
// the class objects a running server registers (the class table that a
// local-server activation consults) and the running object table's active
// objects, as a program such as a mail client offers its application object
// to the programs that automate it.
//
//   server:  CoRegisterClassObject(clsid, factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &c)
//            RegisterActiveObject(application, clsid, ACTIVEOBJECT_STRONG, &a)
//   client:  CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, iid, &object)
//            GetActiveObject(clsid, nullptr, &unknown)
//
// The "machine" is the user directory: a registration is seen by every
// process of the same user directory (win/MachineChannel.h), and by the
// registering process itself, which gets its own objects back directly.
// Another process gets a proxy: every call of it travels to the serving
// process and runs there, on a thread of the connection, as an
// IDispatch::Invoke on the object (the stand-in's objects may be called from
// any thread). An interface is remotable when its proxy is registered
// (HKEY_CLASSES_ROOT\Interface\{iid}\ProxyStubClsid32 names the class whose
// in-process server makes it, DualProxy.h); IUnknown, IDispatch and
// IClassFactory are the runtime's own. Asking a proxy for an interface
// without one gives E_NOINTERFACE. Objects of the calling process cannot be
// passed as arguments (no calls back into the client): E_NOTIMPL.
//
// Departures from the platform: a class registered as a local server
// (LocalServer32) whose server does not run is not started (activation
// gives CO_E_SERVER_EXEC_FAILURE); one process of a machine serves a class
// (a second process's registration gives CO_E_OBJISREG); calls into the
// serving process are not marshalled to the registering thread's apartment.
// When the serving process revokes its registration or ends, calls of its
// proxies give RPC_E_DISCONNECTED.
//
// Threading: all calls are thread-safe. Revoking waits for the calls being
// served on that registration's connections.
#pragma once

#include "platform/com/Com.h"

constexpr DWORD REGCLS_SINGLEUSE = 0;
constexpr DWORD REGCLS_MULTIPLEUSE = 1;
constexpr DWORD ACTIVEOBJECT_STRONG = 0;
constexpr DWORD ACTIVEOBJECT_WEAK = 1;

// Registers factory (AddRef'ed until revoked) as the class object of clsid
// for activations with CLSCTX_LOCAL_SERVER. *cookie for CoRevokeClassObject.
// E_INVALIDARG for a null factory or a context without CLSCTX_LOCAL_SERVER;
// CO_E_OBJISREG when another process of the machine serves clsid.
HRESULT CoRegisterClassObject(REFCLSID clsid, IUnknown* factory, DWORD context, DWORD flags,
                              DWORD* cookie);
// CO_E_OBJNOTREG for an unknown cookie.
HRESULT CoRevokeClassObject(DWORD cookie);

// Puts object (AddRef'ed until revoked, whatever flags say) into the running
// object table under clsid. Errors as CoRegisterClassObject.
HRESULT RegisterActiveObject(IUnknown* object, REFCLSID clsid, DWORD flags, DWORD* cookie);
// CO_E_OBJNOTREG (E_INVALIDARG on the platform) for an unknown cookie.
HRESULT RevokeActiveObject(DWORD cookie, void* reserved);
// The running object of clsid (a new reference); MK_E_UNAVAILABLE when no
// process of the machine registered one.
HRESULT GetActiveObject(REFCLSID clsid, void* reserved, IUnknown** object);

namespace com::impl {
// CoGetClassObject's local-server part: the class object of this process,
// else another process's; REGDB_E_CLASSNOTREG when none runs.
HRESULT GetLocalClassObject(REFCLSID clsid, REFIID iid, void** out);
}  // namespace com::impl
