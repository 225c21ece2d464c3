// "Outlook.Application" as a class: its registration as the client's
// installation leaves it, and the class object and active object that the
// running client offers to the other processes of the machine.
#include <string>

#include "platform/com/Com.h"
#include "platform/com/ComObject.h"
#include "platform/com/LocalServer.h"
#include "platform/outlook/OutlookApplication.h"
#include "platform/outlook/Proxies.h"

namespace outlook {
namespace {

// The client is one instance: every activation gets the running
// application object.
class ApplicationFactory final : public com::ComObject<ApplicationFactory, IClassFactory> {
public:
    explicit ApplicationFactory(_Application* application) : m_application(application) {}
    HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        if (outer)
            return CLASS_E_NOAGGREGATION;
        return m_application->QueryInterface(iid, out);
    }
    HRESULT LockServer(BOOL) override { return S_OK; }

private:
    CComPtr<_Application> m_application;
};

// "14.0.0.7015" -> "14"; "" when the text has no major number.
std::wstring MajorVersion(const std::wstring& version) {
    std::size_t digits = 0;
    while (digits < version.size() && version[digits] >= L'0' && version[digits] <= L'9')
        ++digits;
    return version.substr(0, digits);
}

}  // namespace

HRESULT RegisterApplicationClass(const std::wstring& version, const std::wstring& serverPath,
                                 const std::wstring& proxyLibrary) {
    const std::wstring major = MajorVersion(version);
    com::ServerRegistration registration;
    registration.clsid = CLSID_OutlookApplication;
    registration.progId = major.empty() ? L"Outlook.Application" : L"Outlook.Application." + major;
    registration.versionIndependentProgId = major.empty() ? L"" : L"Outlook.Application";
    registration.description = L"Microsoft Outlook";
    registration.serverPath = serverPath;
    registration.localServer = true;
    HRESULT hr = com::RegisterServer(registration);
    if (SUCCEEDED(hr))
        hr = RegisterProxies(proxyLibrary);
    return hr;
}

HRESULT RunningApplication::Register(_Application* application,
                                     std::unique_ptr<RunningApplication>* out) {
    out->reset();
    if (!application)
        return E_INVALIDARG;
    CComPtr<IClassFactory> factory = com::Make<ApplicationFactory, IClassFactory>(application);
    if (!factory)
        return E_OUTOFMEMORY;
    DWORD classCookie = 0;
    HRESULT hr = CoRegisterClassObject(CLSID_OutlookApplication, factory, CLSCTX_LOCAL_SERVER,
                                       REGCLS_MULTIPLEUSE, &classCookie);
    if (FAILED(hr))
        return hr;
    DWORD activeCookie = 0;
    hr = RegisterActiveObject(application, CLSID_OutlookApplication, ACTIVEOBJECT_STRONG,
                              &activeCookie);
    if (FAILED(hr)) {
        CoRevokeClassObject(classCookie);
        return hr;
    }
    out->reset(new RunningApplication(classCookie, activeCookie));
    return S_OK;
}

RunningApplication::~RunningApplication() {
    RevokeActiveObject(m_activeCookie, nullptr);
    CoRevokeClassObject(m_classCookie);
}

}  // namespace outlook
