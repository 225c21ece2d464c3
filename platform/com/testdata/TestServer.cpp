// A minimal in-process COM server: one class, created through its class factory.
#include "platform/com/testdata/TestServer.h"
#include "platform/com/Com.h"
#include "platform/com/ComObject.h"

namespace {

class Greeter final : public com::ComObject<Greeter, IQmTestGreeter> {
public:
    HRESULT Greet(BSTR name, BSTR* out) override {
        if (!out)
            return E_POINTER;
        CComBSTR text(L"Hello, ");
        text += CComBSTR(name).View();
        *out = text.Detach();
        return S_OK;
    }
};

class Factory final : public com::ComObject<Factory, IClassFactory> {
public:
    HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        if (outer)
            return CLASS_E_NOAGGREGATION;
        auto greeter = com::Make<Greeter>();
        if (!greeter)
            return E_OUTOFMEMORY;
        return greeter->QueryInterface(iid, out);
    }
    HRESULT LockServer(BOOL) override { return S_OK; }
};

}  // namespace

extern "C" __attribute__((visibility("default"))) HRESULT DllGetClassObject(REFCLSID clsid,
                                                                            REFIID iid,
                                                                            void** out) {
    if (!out)
        return E_POINTER;
    *out = nullptr;
    if (clsid != CLSID_QmTestGreeter)
        return CLASS_E_CLASSNOTAVAILABLE;
    auto factory = com::Make<Factory>();
    return factory->QueryInterface(iid, out);
}
