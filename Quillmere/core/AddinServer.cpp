#include "Quillmere/core/AddinServer.h"

#include <vector>

#include "Quillmere/core/Connect.h"
#include "platform/com/ComObject.h"
#include "platform/win/CriticalSection.h"
#include "platform/win/Module.h"

namespace {

CriticalSection& ClassesMutex() {
    static CriticalSection lock;
    return lock;
}

std::vector<AddinClass>& Classes() {
    static std::vector<AddinClass> classes = [] {
        com::ServerRegistration connect;
        connect.clsid = CLSID_Connect;
        connect.progId = L"Quillmere.Connect.1";
        connect.versionIndependentProgId = L"Quillmere.Connect";
        connect.description = L"Connect Class";
        connect.threadingModel = L"Apartment";
        connect.typeLib = L"{7A6C58B3-7E88-4015-A573-E91D81019DF4}";
        connect.programmable = true;
        return std::vector<AddinClass>{
            AddinClass{connect, [](REFIID iid, void** out) {
                           CComPtr<CConnect> object = com::Make<CConnect>();
                           return object ? object->QueryInterface(iid, out) : E_OUTOFMEMORY;
                       }}};
    }();
    return classes;
}

class ClassFactory final : public com::ComObject<ClassFactory, IClassFactory> {
public:
    explicit ClassFactory(HRESULT (*create)(REFIID, void**)) : m_create(create) {}
    HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        if (outer)
            return static_cast<HRESULT>(0x80040110);  // CLASS_E_NOAGGREGATION
        return m_create(iid, out);
    }
    HRESULT LockServer(BOOL) override { return S_OK; }

private:
    HRESULT (*m_create)(REFIID, void**);
};

std::wstring ModulePath() {
    static const int anchor = 0;
    HMODULE module = nullptr;
    wchar_t path[MAX_PATH] = L"";
    if (!GetModuleHandleExW(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            reinterpret_cast<const WCHAR*>(&anchor), &module))
        return L"";
    GetModuleFileNameW(module, path, MAX_PATH);
    return path;
}

}  // namespace

void RegisterAddinClass(const AddinClass& addinClass) {
    CriticalSectionLock lock(ClassesMutex());
    for (const AddinClass& existing : Classes())
        if (existing.registration.clsid == addinClass.registration.clsid)
            return;
    Classes().push_back(addinClass);
}

extern "C" __attribute__((visibility("default"))) HRESULT DllGetClassObject(REFCLSID clsid,
                                                                            REFIID iid,
                                                                            void** out) {
    if (!out)
        return E_POINTER;
    *out = nullptr;
    HRESULT (*create)(REFIID, void**) = nullptr;
    {
        CriticalSectionLock lock(ClassesMutex());
        for (const AddinClass& c : Classes())
            if (c.registration.clsid == clsid)
                create = c.create;
    }
    if (!create)
        return static_cast<HRESULT>(0x80040111);  // CLASS_E_CLASSNOTAVAILABLE
    CComPtr<ClassFactory> factory = com::Make<ClassFactory>(create);
    return factory->QueryInterface(iid, out);
}

extern "C" __attribute__((visibility("default"))) HRESULT DllRegisterServer() {
    std::vector<AddinClass> classes;
    {
        CriticalSectionLock lock(ClassesMutex());
        classes = Classes();
    }
    std::wstring path = ModulePath();
    for (AddinClass& c : classes) {
        c.registration.serverPath = path;
        HRESULT hr =
            c.updateRegistry ? c.updateRegistry(true, path) : com::RegisterServer(c.registration);
        if (FAILED(hr))
            return hr;
    }
    return S_OK;
}

extern "C" __attribute__((visibility("default"))) HRESULT DllUnregisterServer() {
    std::vector<AddinClass> classes;
    {
        CriticalSectionLock lock(ClassesMutex());
        classes = Classes();
    }
    const std::wstring path = ModulePath();
    HRESULT result = S_OK;
    for (const AddinClass& c : classes) {
        HRESULT hr = c.updateRegistry ? c.updateRegistry(false, path)
                                      : com::UnregisterServer(c.registration);
        if (FAILED(hr))
            result = hr;
    }
    return result;
}
