#include "platform/com/Com.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <vector>

#include "platform/com/Bstr.h"
#include "platform/com/ClassRegistry.h"
#include "platform/com/LocalServer.h"
#include "platform/win/Module.h"
#include "platform/win/Registry.h"
#include "platform/win/Text.h"

namespace {

struct Apartment {
    int count = 0;
    DWORD model = COINIT_APARTMENTTHREADED;
};
thread_local Apartment t_apartment;

// Libraries loaded by CoCreateInstance, by host-independent Windows path;
// kept for the process's life as COM keeps in-process servers.
std::mutex g_libraryMutex;
std::map<std::wstring, HMODULE> g_libraries;

}  // namespace

namespace com::impl {

bool ReadClassesString(const std::wstring& keyPath, const WCHAR* valueName, std::wstring& out) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, keyPath.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return false;
    }
    DWORD type = 0;
    DWORD bytes = 0;
    bool ok = false;
    if (RegQueryValueExW(key, valueName, nullptr, &type, static_cast<WCHAR*>(nullptr), &bytes) ==
            ERROR_SUCCESS &&
        (type == REG_SZ || type == REG_EXPAND_SZ)) {
        // Sizes count 2-byte stored units; the wide buffer has one element per unit.
        std::vector<WCHAR> buffer(bytes / 2 + 1, L'\0');
        DWORD size = static_cast<DWORD>(buffer.size() * 2);
        if (RegQueryValueExW(key, valueName, nullptr, &type, buffer.data(), &size) ==
            ERROR_SUCCESS) {
            out.assign(buffer.data());
            ok = true;
        }
    }
    RegCloseKey(key);
    return ok;
}

namespace {

// A text as a quoted .reg value: the format's two escapes.
std::string Quoted(const std::wstring& text) {
    std::string out = "\"";
    for (char c : win::ToUtf8(text)) {
        if (c == '\\' || c == '"')
            out.push_back('\\');
        out.push_back(c);
    }
    return out + "\"";
}

}  // namespace

LSTATUS WriteClassesStrings(const std::vector<ClassesValue>& values) {
    // One .reg text, keys in their first order, imported at once.
    std::vector<std::wstring> keys;
    for (const ClassesValue& v : values) {
        if (v.value.find_first_of(L"\r\n") != std::wstring::npos)
            return ERROR_INVALID_PARAMETER;  // a quoted .reg text holds no line break
        if (std::find(keys.begin(), keys.end(), v.key) == keys.end())
            keys.push_back(v.key);
    }
    std::string text = "Windows Registry Editor Version 5.00\r\n\r\n";
    for (const std::wstring& key : keys) {
        text += "[HKEY_CLASSES_ROOT\\" + win::ToUtf8(key) + "]\r\n";
        for (const ClassesValue& v : values) {
            if (v.key == key)
                text +=
                    (v.name ? Quoted(v.name) : std::string("@")) + "=" + Quoted(v.value) + "\r\n";
        }
        text += "\r\n";
    }
    return win::ImportRegData(std::vector<BYTE>(text.begin(), text.end()), "COM registration");
}

}  // namespace com::impl

namespace {

using com::impl::ReadClassesString;

HRESULT LoadServer(const std::wstring& path, DllGetClassObjectFn& entry) {
    std::lock_guard lock(g_libraryMutex);
    HMODULE module = nullptr;
    if (auto it = g_libraries.find(path); it != g_libraries.end()) {
        module = it->second;
    } else {
        module = LoadLibraryW(path.c_str());
        if (!module) {
            DWORD error = GetLastError();
            return HRESULT_FROM_WIN32(error ? error : ERROR_MOD_NOT_FOUND);
        }
        g_libraries.emplace(path, module);
    }
    // Through void (*)(), which GCC takes as matching every function type: FARPROC
    // itself is cast to the entry point's real type, as on the platform.
    entry = reinterpret_cast<DllGetClassObjectFn>(
        reinterpret_cast<void (*)()>(GetProcAddress(module, "DllGetClassObject")));
    return entry ? S_OK : CO_E_ERRORINDLL;
}

}  // namespace

HRESULT CoInitializeEx(void*, DWORD model) {
    Apartment& a = t_apartment;
    if (a.count > 0) {
        if (a.model != model)
            return RPC_E_CHANGED_MODE;
        ++a.count;
        return S_FALSE;
    }
    a.model = model;
    a.count = 1;
    return S_OK;
}

HRESULT CoInitialize(void* reserved) {
    return CoInitializeEx(reserved, COINIT_APARTMENTTHREADED);
}

void CoUninitialize() {
    if (t_apartment.count > 0)
        --t_apartment.count;
}

namespace com {
bool IsThreadInitialized() {
    return t_apartment.count > 0;
}
}  // namespace com

HRESULT CLSIDFromProgID(const OLECHAR* progId, CLSID* clsid) {
    if (!progId || !clsid)
        return E_INVALIDARG;
    std::wstring text;
    if (!ReadClassesString(std::wstring(progId) + L"\\CLSID", nullptr, text)) {
        return CO_E_CLASSSTRING;
    }
    auto guid = win::ParseGuid(text);
    if (!guid)
        return CO_E_CLASSSTRING;
    *clsid = *guid;
    return S_OK;
}

HRESULT ProgIDFromCLSID(REFCLSID clsid, OLECHAR** progId) {
    if (!progId)
        return E_INVALIDARG;
    *progId = nullptr;
    std::wstring text;
    if (!ReadClassesString(L"CLSID\\" + win::GuidToString(clsid) + L"\\ProgID", nullptr, text)) {
        return REGDB_E_CLASSNOTREG;
    }
    *progId = SysAllocString(text.c_str());
    return *progId ? S_OK : E_OUTOFMEMORY;
}

namespace com::impl {

HRESULT GetInprocClassObject(REFCLSID clsid, REFIID iid, void** out) {
    *out = nullptr;
    std::wstring path;
    if (!ReadClassesString(L"CLSID\\" + win::GuidToString(clsid) + L"\\InprocServer32", nullptr,
                           path) ||
        path.empty()) {
        return REGDB_E_CLASSNOTREG;
    }
    DllGetClassObjectFn entry = nullptr;
    HRESULT hr = LoadServer(path, entry);
    if (FAILED(hr))
        return hr;
    return entry(clsid, iid, out);
}

}  // namespace com::impl

HRESULT CoGetClassObject(REFCLSID clsid, DWORD context, void*, REFIID iid, void** out) {
    if (!out)
        return E_POINTER;
    *out = nullptr;
    if (!com::IsThreadInitialized())
        return CO_E_NOTINITIALIZED;
    // The in-process server first, when the context allows it and the class
    // has one; then a running local server.
    HRESULT hr = REGDB_E_CLASSNOTREG;
    if (context & (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER)) {
        hr = com::impl::GetInprocClassObject(clsid, iid, out);
        if (hr != REGDB_E_CLASSNOTREG)
            return hr;
    }
    if (context & CLSCTX_LOCAL_SERVER)
        hr = com::impl::GetLocalClassObject(clsid, iid, out);
    return hr;
}

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID iid, void** out) {
    if (!out)
        return E_POINTER;
    *out = nullptr;
    CComPtr<IClassFactory> factory;
    HRESULT hr = CoGetClassObject(clsid, context, nullptr, IID_IClassFactory,
                                  reinterpret_cast<void**>(&factory));
    if (FAILED(hr))
        return hr;
    return factory->CreateInstance(outer, iid, out);
}

namespace com {

HRESULT RegisterServer(const ServerRegistration& r) {
    const std::wstring clsid = win::GuidToString(r.clsid);
    const std::wstring clsidKey = L"CLSID\\" + clsid;
    std::vector<impl::ClassesValue> items = {
        {r.progId, nullptr, r.description},
        {r.progId + L"\\CLSID", nullptr, clsid},
        {clsidKey, nullptr, r.description},
        {clsidKey + L"\\ProgID", nullptr, r.progId},
    };
    if (r.localServer) {
        items.push_back({clsidKey + L"\\LocalServer32", nullptr, r.serverPath});
    } else {
        items.push_back({clsidKey + L"\\InprocServer32", nullptr, r.serverPath});
        items.push_back({clsidKey + L"\\InprocServer32", L"ThreadingModel", r.threadingModel});
    }
    if (!r.versionIndependentProgId.empty()) {
        items.push_back({r.versionIndependentProgId, nullptr, r.description});
        items.push_back({r.versionIndependentProgId + L"\\CLSID", nullptr, clsid});
        items.push_back({r.versionIndependentProgId + L"\\CurVer", nullptr, r.progId});
        items.push_back(
            {clsidKey + L"\\VersionIndependentProgID", nullptr, r.versionIndependentProgId});
    }
    if (r.programmable)
        items.push_back({clsidKey + L"\\Programmable", nullptr, L""});
    if (!r.typeLib.empty())
        items.push_back({clsidKey + L"\\TypeLib", nullptr, r.typeLib});
    LSTATUS status = impl::WriteClassesStrings(items);
    return status == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(static_cast<DWORD>(status));
}

HRESULT UnregisterServer(const ServerRegistration& r) {
    const std::wstring clsidKey = L"CLSID\\" + win::GuidToString(r.clsid);
    for (const std::wstring& key : {clsidKey, r.progId, r.versionIndependentProgId}) {
        if (key.empty())
            continue;
        LSTATUS status = RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str());
        if (status == ERROR_SUCCESS)
            status = RegDeleteKeyW(HKEY_CLASSES_ROOT, key.c_str());
        if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
            return HRESULT_FROM_WIN32(static_cast<DWORD>(status));
        }
    }
    return S_OK;
}

}  // namespace com
