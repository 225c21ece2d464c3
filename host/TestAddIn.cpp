// A small add-in module for the host's tests: the COM class "QmHost.TestAddIn"
// that, once connected, listens to the application's events, adds its page
// "QmHost.TestPage" (a field "Text"; Apply records it) to the Options dialog,
// and records what happened in a log the test reads (QmTestAddInLog; and,
// when the environment names a file in QMHOST_TEST_ADDIN_LOG, that file, for
// a test that drives the host as another process). An event that arrives
// on another thread than the one the add-in was connected on (the client's
// UI thread) is recorded with " off the UI thread". Test code only.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>

#include "platform/com/Com.h"
#include "platform/com/ComObject.h"
#include "platform/com/ConnectionPoint.h"
#include "platform/com/Dispatch.h"
#include "platform/com/OleObject.h"
#include "platform/outlook/Outlook.h"
#include "platform/win/Module.h"
#include "platform/win/Text.h"
#include "platform/win/Threads.h"

namespace {

// {C3A1F0E2-5B7D-4E19-9A2C-7D4B1E6F0A11}
constexpr CLSID kClsid{
    0xC3A1F0E2, 0x5B7D, 0x4E19, {0x9A, 0x2C, 0x7D, 0x4B, 0x1E, 0x6F, 0x0A, 0x11}};

std::mutex g_lock;
std::string g_log;
// The thread OnConnection ran on: the mail client's UI thread.
std::atomic<DWORD> g_uiThread{0};

void Record(const std::string& line) {
    std::lock_guard lock(g_lock);
    g_log += line + "\n";
    if (const char* file = std::getenv("QMHOST_TEST_ADDIN_LOG"))
        std::ofstream(file, std::ios::app) << line << "\n";
}

// An event of the client, with the thread it arrived on.
void RecordEvent(const std::string& line) {
    Record(GetCurrentThreadId() == g_uiThread ? line : line + " off the UI thread");
}

class Events final : public com::ComObject<Events, IDispatch> {
public:
    // nameSpace: the sink hears NameSpaceEvents (a folder's Properties dialog).
    explicit Events(bool nameSpace) : m_nameSpace(nameSpace) {}
    HRESULT GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, OLECHAR**, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                   UINT*) override {
        IDispatch* first =
            params && params->cArgs >= 1 && params->rgvarg[params->cArgs - 1].vt == VT_DISPATCH
                ? params->rgvarg[params->cArgs - 1].pdispVal
                : nullptr;
        if (m_nameSpace) {
            if (id == outlook::dispid::kEventFolderOptionsPagesAdd && params &&
                params->cArgs == 2 && params->rgvarg[0].vt == VT_DISPATCH) {
                CComQIPtr<PropertyPages> pages(first);
                CComVariant name;
                com::GetProperty(params->rgvarg[0].pdispVal, outlook::dispid::kName, &name);
                std::string folder =
                    name.vt == VT_BSTR && name.bstrVal ? win::ToUtf8(name.bstrVal) : "";
                HRESULT hr = pages ? pages->raw_Add(CComVariant(L"QmHost.TestPage"),
                                                    CComBSTR(L"Test folder"))
                                   : E_NOINTERFACE;
                RecordEvent("FolderOptionsPagesAdd " + folder + (SUCCEEDED(hr) ? "" : " failed"));
            }
            return S_OK;
        }
        switch (id) {
            case outlook::dispid::kEventOptionsPagesAdd: {
                CComQIPtr<PropertyPages> pages(first);
                HRESULT hr =
                    pages ? pages->raw_Add(CComVariant(L"QmHost.TestPage"), CComBSTR(L"Test"))
                          : E_NOINTERFACE;
                RecordEvent(SUCCEEDED(hr) ? "OptionsPagesAdd" : "OptionsPagesAdd failed");
                break;
            }
            case outlook::dispid::kEventNewMail:
                RecordEvent("NewMail");
                break;
            case outlook::dispid::kEventReminder: {
                CComVariant subject;
                if (first)
                    com::GetProperty(first, outlook::dispid::kSubject, &subject);
                RecordEvent("Reminder " + (subject.vt == VT_BSTR && subject.bstrVal
                                               ? win::ToUtf8(subject.bstrVal)
                                               : std::string()));
                break;
            }
            case outlook::dispid::kEventQuit:
                RecordEvent("Quit");
                break;
            default:
                break;
        }
        return S_OK;
    }

private:
    bool m_nameSpace;
};

class TestAddIn final : public com::ComObject<TestAddIn, _IDTExtensibility2> {
public:
    TestAddIn() { Record("created"); }
    ~TestAddIn() override { Record("released"); }

    HRESULT GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, OLECHAR**, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return E_NOTIMPL;
    }

    HRESULT OnConnection(IDispatch* application, ext_ConnectMode mode, IDispatch* addInInst,
                         SAFEARRAY** custom) override {
        g_uiThread = GetCurrentThreadId();
        m_app = CComQIPtr<_Application>(application);
        CComQIPtr<COMAddIn> record(addInInst);
        if (!m_app || !record || !custom)
            return E_POINTER;
        m_events = com::Make<Events>(false);
        HRESULT hr = com::Advise(m_app, IID_ApplicationEvents_11, static_cast<IDispatch*>(m_events),
                                 &m_cookie);
        _NameSpace* ns = nullptr;
        if (SUCCEEDED(hr))
            hr = m_app->GetNamespace(CComBSTR(L"MAPI"), &ns);
        if (SUCCEEDED(hr)) {
            m_nameSpace = ns;
            ns->Release();
            m_nsEvents = com::Make<Events>(true);
            hr = com::Advise(m_nameSpace, IID_NameSpaceEvents, static_cast<IDispatch*>(m_nsEvents),
                             &m_nsCookie);
        }
        Record("OnConnection mode " + std::to_string(mode) +
               (SUCCEEDED(hr) ? "" : " advise failed"));
        return hr;
    }
    HRESULT OnDisconnection(ext_DisconnectMode mode, SAFEARRAY**) override {
        if (m_cookie)
            com::Unadvise(m_app, IID_ApplicationEvents_11, m_cookie);
        if (m_nsCookie)
            com::Unadvise(m_nameSpace, IID_NameSpaceEvents, m_nsCookie);
        m_cookie = m_nsCookie = 0;
        m_nameSpace.Release();
        m_app.Release();
        Record("OnDisconnection mode " + std::to_string(mode));
        return S_OK;
    }
    HRESULT OnAddInsUpdate(SAFEARRAY**) override { return S_OK; }
    HRESULT OnStartupComplete(SAFEARRAY**) override {
        Record("OnStartupComplete");
        return S_OK;
    }
    HRESULT OnBeginShutdown(SAFEARRAY**) override {
        Record("OnBeginShutdown");
        return S_OK;
    }

private:
    CComQIPtr<_Application> m_app;
    CComQIPtr<_NameSpace> m_nameSpace;
    CComPtr<Events> m_events, m_nsEvents;
    DWORD m_cookie = 0, m_nsCookie = 0;
};

// {C3A1F0E2-5B7D-4E19-9A2C-7D4B1E6F0A12}
constexpr CLSID kPageClsid{
    0xC3A1F0E2, 0x5B7D, 0x4E19, {0x9A, 0x2C, 0x7D, 0x4B, 0x1E, 0x6F, 0x0A, 0x12}};
constexpr DISPID kTextId = 1;

// The add-in's Options page: one field "Text"; Apply records it. As a page
// control it takes the dialog's client site and tells the site's
// PropertyPageSite of each change.
class TestPage final : public com::ComObject<TestPage, PropertyPage, IOleObject> {
public:
    HRESULT GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, OLECHAR** names, UINT count, LCID, DISPID* ids) override {
        if (count != 1 || std::wstring(names[0]) != L"Text")
            return DISP_E_UNKNOWNNAME;
        ids[0] = kTextId;
        return S_OK;
    }
    HRESULT Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                   EXCEPINFO*, UINT*) override {
        if (id != kTextId)
            return DISP_E_MEMBERNOTFOUND;
        if ((flags & DISPATCH_PROPERTYPUT) && params && params->cArgs == 1 &&
            params->rgvarg[0].vt == VT_BSTR) {
            m_text = params->rgvarg[0].bstrVal ? params->rgvarg[0].bstrVal : L"";
            m_dirty = true;
            if (CComQIPtr<PropertyPageSite> pageSite{m_site.p})
                pageSite->OnStatusChange();
            return S_OK;
        }
        if (result) {
            CComVariant(m_text.c_str()).Detach(result);
            return S_OK;
        }
        return DISP_E_TYPEMISMATCH;
    }
    HRESULT GetPageInfo(BSTR* helpFile, LONG* helpContext) override {
        *helpFile = nullptr;
        *helpContext = 0;
        return S_OK;
    }
    HRESULT get_Dirty(VARIANT_BOOL* dirty) override {
        *dirty = m_dirty ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    }
    HRESULT Apply() override {
        Record("Apply " + win::ToUtf8(m_text));
        m_dirty = false;
        return S_OK;
    }
    HRESULT SetClientSite(IOleClientSite* site) override {
        m_site = site;
        return S_OK;
    }
    HRESULT GetClientSite(IOleClientSite** site) override {
        if (!site)
            return E_POINTER;
        *site = m_site.p;
        if (!*site)
            return E_FAIL;
        (*site)->AddRef();
        return S_OK;
    }
    // The test page has no window.
    HRESULT DoVerb(LONG, MSG*, IOleClientSite*, LONG, HWND, const RECT*) override {
        return E_NOTIMPL;
    }

private:
    std::wstring m_text;
    bool m_dirty = false;
    CComPtr<IOleClientSite> m_site;
};

class Factory final : public com::ComObject<Factory, IClassFactory> {
public:
    explicit Factory(bool page) : m_page(page) {}
    HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        if (outer)
            return CLASS_E_NOAGGREGATION;
        if (m_page) {
            CComPtr<TestPage> page = com::Make<TestPage>();
            return page->QueryInterface(iid, out);
        }
        CComPtr<TestAddIn> addIn = com::Make<TestAddIn>();
        return addIn->QueryInterface(iid, out);
    }
    HRESULT LockServer(BOOL) override { return S_OK; }

private:
    bool m_page;
};

}  // namespace

extern "C" {

__attribute__((visibility("default"))) HRESULT DllGetClassObject(REFCLSID clsid, REFIID iid,
                                                                 void** out) {
    if (clsid != kClsid && clsid != kPageClsid)
        return CLASS_E_CLASSNOTAVAILABLE;
    CComPtr<Factory> factory = com::Make<Factory>(clsid == kPageClsid);
    return factory->QueryInterface(iid, out);
}

// Registers the class under its ProgID "QmHost.TestAddIn", served by this
// module's own file.
__attribute__((visibility("default"))) HRESULT DllRegisterServer() {
    HMODULE self = nullptr;
    if (!GetModuleHandleExW(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            // An address of this module only: an exported function could
            // be another module's of the same name.
            reinterpret_cast<const WCHAR*>(&g_log), &self))
        return E_FAIL;
    wchar_t path[1024];
    if (!GetModuleFileNameW(self, path, 1024))
        return E_FAIL;
    com::ServerRegistration reg;
    reg.clsid = kClsid;
    reg.progId = L"QmHost.TestAddIn.1";
    reg.versionIndependentProgId = L"QmHost.TestAddIn";
    reg.description = L"Host test add-in";
    reg.serverPath = path;
    HRESULT hr = com::RegisterServer(reg);
    if (FAILED(hr))
        return hr;
    reg.clsid = kPageClsid;
    reg.progId = L"QmHost.TestPage.1";
    reg.versionIndependentProgId = L"QmHost.TestPage";
    reg.description = L"Host test page";
    return com::RegisterServer(reg);
}

// What the add-in recorded so far, one event a line; copies at most size - 1
// bytes and returns the whole length.
__attribute__((visibility("default"))) std::size_t QmTestAddInLog(char* buffer, std::size_t size) {
    std::lock_guard lock(g_lock);
    if (size) {
        std::size_t n = std::min(size - 1, g_log.size());
        std::memcpy(buffer, g_log.data(), n);
        buffer[n] = 0;
    }
    return g_log.size();
}

}  // extern "C"
