// What the runtime's parts share of the class registration in
// HKEY_CLASSES_ROOT and of the in-process servers. Internal to platform/com.
#pragma once

#include <string>
#include <vector>

#include "platform/com/Unknown.h"
#include "platform/win/Registry.h"

namespace com::impl {

// The default (null name) or named REG_SZ value of a key below
// HKEY_CLASSES_ROOT; false when it is missing or no text.
bool ReadClassesString(const std::wstring& keyPath, const WCHAR* valueName, std::wstring& out);

// A REG_SZ value below HKEY_CLASSES_ROOT (null name: the key's default).
struct ClassesValue {
    std::wstring key;
    const WCHAR* name;
    std::wstring value;
};
// Writes the values (creating their keys) in one change of the hive. The
// registry's error.
LSTATUS WriteClassesStrings(const std::vector<ClassesValue>& values);

// The class object of clsid from its registered in-process server, whatever
// the calling thread's apartment: REGDB_E_CLASSNOTREG without one; the
// library's load errors; what its DllGetClassObject answers.
HRESULT GetInprocClassObject(REFCLSID clsid, REFIID iid, void** out);

}  // namespace com::impl
