// The in-process server's exports: the class objects of the creatable kinds
// and their registration under HKEY_CLASSES_ROOT.
#include "platform/rdo/Server.h"

#include <string>

#include "platform/rdo/RdoFolder.h"
#include "platform/rdo/RdoSafeItem.h"
#include "platform/rdo/RdoSession.h"
#include "platform/rdo/RdoUtils.h"

namespace rdo {
namespace {

// Where the add-in's installation puts the library.
constexpr wchar_t kServerPath[] = L"P:\\QuillmereRDO.dll";

struct CreatableKind {
    const CLSID* clsid;
    const wchar_t* kind;
    CComPtr<IUnknown> (*make)();
};

template <class T>
CComPtr<IUnknown> MakeUnknown() {
    auto object = com::Make<T>();
    return object ? CComPtr<IUnknown>(object->GetUnknown()) : CComPtr<IUnknown>();
}

const CreatableKind kKinds[] = {
    {&CLSID_QMRRDOSession, L"QMRRDOSession", &MakeUnknown<RdoSession>},
    {&CLSID_QMRMAPIUtils, L"QMRMAPIUtils", &MakeUnknown<RdoUtils>},
    {&CLSID_QMRSafeMailItem, L"QMRSafeMailItem", &MakeUnknown<RdoSafeMailItem>},
    {&CLSID_QMRSafeJournalItem, L"QMRSafeJournalItem", &MakeUnknown<RdoSafeJournalItem>},
    {&CLSID_QMRMAPITable, L"QMRMAPITable", &MakeUnknown<RdoTable>},
    {&CLSID_QMRMAPIFolder, L"QMRMAPIFolder", &MakeUnknown<RdoFolder>},
};

com::ServerRegistration RegistrationOf(const CreatableKind& kind) {
    std::wstring progId = std::wstring(L"QuillmereRDOx.") + kind.kind;
    return {*kind.clsid, progId + L".1", progId, std::wstring(kind.kind) + L" Class",
            kServerPath, L"Apartment"};
}

// Objects are made on the thread that asks the factory, and belong to it.
class ClassFactory final : public com::ComObject<ClassFactory, IClassFactory> {
public:
    explicit ClassFactory(const CreatableKind& kind) : m_kind(kind) {}
    HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        if (outer)
            return CLASS_E_NOAGGREGATION;
        CComPtr<IUnknown> object = m_kind.make();
        if (!object)
            return E_OUTOFMEMORY;
        return object->QueryInterface(iid, out);
    }
    HRESULT LockServer(BOOL) override { return S_OK; }

private:
    const CreatableKind& m_kind;
};

}  // namespace

// Every creatable kind's registration (for the installer and the tests).
std::vector<com::ServerRegistration> Registrations() {
    std::vector<com::ServerRegistration> all;
    for (const CreatableKind& kind : kKinds)
        all.push_back(RegistrationOf(kind));
    return all;
}

}  // namespace rdo

extern "C" __attribute__((visibility("default"))) HRESULT DllGetClassObject(REFCLSID clsid,
                                                                            REFIID iid,
                                                                            void** out) {
    if (!out)
        return E_POINTER;
    *out = nullptr;
    for (const rdo::CreatableKind& kind : rdo::kKinds) {
        if (*kind.clsid == clsid) {
            auto factory = com::Make<rdo::ClassFactory>(kind);
            if (!factory)
                return E_OUTOFMEMORY;
            return factory->QueryInterface(iid, out);
        }
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

extern "C" __attribute__((visibility("default"))) HRESULT DllRegisterServer() {
    for (const com::ServerRegistration& r : rdo::Registrations()) {
        HRESULT hr = com::RegisterServer(r);
        if (FAILED(hr))
            return hr;
    }
    return S_OK;
}

extern "C" __attribute__((visibility("default"))) HRESULT DllUnregisterServer() {
    HRESULT result = S_OK;
    for (const com::ServerRegistration& r : rdo::Registrations()) {
        HRESULT hr = com::UnregisterServer(r);
        if (FAILED(hr) && SUCCEEDED(result))
            result = hr;
    }
    return result;
}
