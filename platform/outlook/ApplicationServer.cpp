// "Outlook.Application" as an in-process class: how a program of the
// system (the rule helper) reaches the client of its process, or a client
// opened on the user's default profile when the process has none.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "platform/com/Com.h"
#include "platform/outlook/ObjectModel.h"
#include "platform/store/Profile.h"
#include "platform/win/Environment.h"

namespace outlook {
namespace {

// A process without the host has no UI thread; the events of its own client
// are raised at once on the calling thread.
class InlineDispatcher final : public UiDispatcher {
public:
    void Post(std::function<void()> task) override { task(); }
};

struct Running {
    win::Mutex mutex;
    std::vector<_Application*> hosted GUARDED_BY(mutex);  // not owned; removed on destruction
    std::unique_ptr<OutlookApplication> standalone GUARDED_BY(mutex);
};

Running& TheRunning() {
    static Running* running = new Running();  // never destroyed: used until the process ends
    return *running;
}

std::string DefaultProfileFile() {
    std::string userDirectory = win::UserDirectory();
    if (const char* chosen = std::getenv("QUILLMERE_PROFILE"); chosen && *chosen) {
        std::wstring name(chosen, chosen + std::strlen(chosen));
        return store::Profile::FileFor(userDirectory, name);
    }
    std::error_code error;
    std::vector<std::string> names;
    for (const auto& entry :
         std::filesystem::directory_iterator(userDirectory + "/profiles", error)) {
        if (entry.is_directory(error))
            names.push_back(entry.path().filename().string());
    }
    if (names.empty())
        return {};
    std::sort(names.begin(), names.end());
    return (std::filesystem::path(userDirectory) / "profiles" / names.front() / "profile.ini")
        .string();
}

}  // namespace

namespace impl {
// Called by OutlookApplication's construction and destruction.
void RegisterHosted(_Application* application, bool add) {
    Running& r = TheRunning();
    win::MutexLock lock(r.mutex);
    if (add)
        r.hosted.push_back(application);
    else
        std::erase(r.hosted, application);
}
}  // namespace impl

namespace {

// The running application (a new reference), or null.
CComPtr<_Application> RunningApplication() {
    Running& r = TheRunning();
    {
        win::MutexLock lock(r.mutex);
        if (!r.hosted.empty())
            return CComPtr<_Application>(r.hosted.front());
        if (r.standalone)
            return CComPtr<_Application>(r.standalone->Application().p);
    }
    // Opened outside the lock: Create registers the new client as hosted.
    std::string path = DefaultProfileFile();
    ApplicationOptions options;
    if (path.empty() || FAILED(OutlookApplication::ProfileFromFile(path, &options.profile)))
        return nullptr;
    options.ui = std::make_shared<InlineDispatcher>();
    std::unique_ptr<OutlookApplication> app;
    if (FAILED(OutlookApplication::Create(options, &app)))
        return nullptr;
    // The standalone client is not the host's: a host started later wins.
    impl::RegisterHosted(app->Application().p, false);
    std::unique_ptr<OutlookApplication> lost;  // another thread was quicker
    CComPtr<_Application> result;
    {
        win::MutexLock lock(r.mutex);
        if (r.standalone)
            lost = std::move(app);
        else
            r.standalone = std::move(app);
        result = r.standalone->Application().p;
    }
    return result;
}

class ApplicationFactory final : public com::ComObject<ApplicationFactory, IClassFactory> {
public:
    HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        if (outer)
            return CLASS_E_NOAGGREGATION;
        CComPtr<_Application> app = RunningApplication();
        return app ? app->QueryInterface(iid, out) : MAPI_E_NOT_FOUND;
    }
    HRESULT LockServer(BOOL) override { return S_OK; }
};

}  // namespace

HRESULT RegisterApplicationServer(const std::wstring& serverPath) {
    com::ServerRegistration registration{CLSID_OutlookApplication, L"Outlook.Application.14",
                                         L"Outlook.Application", L"Microsoft Outlook", serverPath};
    registration.threadingModel = L"Apartment";
    return com::RegisterServer(registration);
}

}  // namespace outlook

// The export every in-process server of the platform provides.
extern "C" __attribute__((visibility("default"))) HRESULT DllGetClassObject(REFCLSID clsid,
                                                                            REFIID iid,
                                                                            void** out) {
    if (!out)
        return E_POINTER;
    *out = nullptr;
    if (clsid != CLSID_OutlookApplication)
        return CLASS_E_CLASSNOTAVAILABLE;
    if (iid == IID_IClassFactory) {
        auto factory = com::Make<outlook::ApplicationFactory, IClassFactory>();
        if (!factory)
            return E_OUTOFMEMORY;
        *out = factory.Detach();
        return S_OK;
    }
    CComPtr<_Application> app = outlook::RunningApplication();
    return app ? app->QueryInterface(iid, out) : MAPI_E_NOT_FOUND;
}
