// The add-in module's COM server entry points: the class factories of its
// creatable classes (the add-in object "Quillmere.Connect" and whatever the
// other parts of the add-in register) and its registration.
//
// DllGetClassObject, DllRegisterServer and DllUnregisterServer are exported
// by the module under these names, as the platform's COM run-time looks for
// them. Any thread.
#pragma once

#include <string>

#include "platform/com/Com.h"

extern "C" {
HRESULT DllGetClassObject(REFCLSID clsid, REFIID iid, void** out);
// Writes (removes) the registrations of every class under HKEY_CLASSES_ROOT
// with this module's path as the in-process server.
HRESULT DllRegisterServer();
HRESULT DllUnregisterServer();
}

// One creatable class of the module: its registration (without the server
// path, which is the module's own) and how to make an instance. A class
// that registers itself from its own registration script sets
// updateRegistry: DllRegisterServer and DllUnregisterServer then call it
// with the module's path instead of writing `registration` (of which only
// the CLSID is used then, to find the class).
struct AddinClass {
    com::ServerRegistration registration;
    HRESULT (*create)(REFIID iid, void** out);
    HRESULT (*updateRegistry)(bool doRegister, const std::wstring& modulePath) = nullptr;
};
// Adds a class; the parts of the add-in call it from a static initialiser.
// CLSIDs already present are ignored.
void RegisterAddinClass(const AddinClass& addinClass);
