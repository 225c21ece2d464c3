// The library's registration data: one entry per creatable kind, ProgID
// "QuillmereRDOx.<kind>" (version-independent; "<...>.1" versioned), server
// path "P:\QuillmereRDO.dll". DllRegisterServer writes them all.
#pragma once

#include <vector>

#include "platform/com/Com.h"

namespace rdo {

std::vector<com::ServerRegistration> Registrations();

}  // namespace rdo

extern "C" {
HRESULT DllGetClassObject(REFCLSID clsid, REFIID iid, void** out);
HRESULT DllRegisterServer();
HRESULT DllUnregisterServer();
}
