#include "Quillmere/core/Connect.h"

#include <memory>
#include <new>

#include "Quillmere/core/AddinGlobals.h"
#include "Quillmere/core/DebugLog.h"
#include "Quillmere/core/FolderObj.h"
#include "Quillmere/core/OutlookNamespaceAccess.h"
#include "Quillmere/core/Settings.h"
#include "Quillmere/core/SyncEngine.h"
#include "Quillmere/resources/LoadString.h"
#include "platform/com/ConnectionPoint.h"
#include "platform/win/Clock.h"
#include "platform/win/Files.h"
#include "platform/win/Module.h"
#include "platform/win/Paths.h"
#include "platform/win/Registry.h"
#include "platform/win/Shell.h"
#include "platform/win/Text.h"

namespace {

ConnectHooks g_hooks;

constexpr REGSAM kReadWrite = 0x2001F;
constexpr UINT kMoreMailsToSend = 1266;
constexpr DWORD kQuitPollMs = 3000;
constexpr UINT kQuitBalloonSeconds = 10;

void DefaultInitiateShutdown(CSyncEngine* engine) {
    engine->m_shutdown = true;
    StopFlag = true;
    // Every entry, also past one that is stopped already.
    for (DWORD i = 0, count = engine->GetFolderCount(); i < count; ++i)
        if (CFolderObj* folder = engine->GetFolderEntry(i, true))
            folder->Stop();
}

std::wstring ThisModuleDirectory() {
    static const int anchor = 0;
    HMODULE module = nullptr;
    wchar_t path[MAX_PATH] = L"";
    if (!GetModuleHandleExW(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            reinterpret_cast<const WCHAR*>(&anchor), &module) ||
        GetModuleFileNameW(module, path, MAX_PATH) == 0)
        return L"";
    std::wstring full = path;
    std::size_t cut = full.find_last_of(L'\\');
    return cut == std::wstring::npos ? L"" : full.substr(0, cut + 1);
}

std::wstring TempDirectoryOr(const std::wstring& fallback) {
    wchar_t temp[MAX_PATH] = L"";
    return GetTempPathW(MAX_PATH, temp) ? std::wstring(temp) : fallback;
}

CComBSTR EntryIdOf(MAPIFolder* folder) {
    CComBSTR id;
    if (folder)
        folder->get_EntryID(&id);
    return id;
}

void AddPage(IDispatch* pages, const wchar_t* progId) {
    CComQIPtr<PropertyPages> propertyPages(static_cast<IUnknown*>(pages));
    if (!propertyPages)
        return;
    CComVariant page(progId);
    CComBSTR caption(L"Quillmere");
    HRESULT hr = propertyPages->Add(page, caption);
    if (FAILED(hr))
        LogHResult(hr, "add Propertypage");
}

// DISPPARAMS hold the arguments last first.
IDispatch* DispatchArgument(DISPPARAMS* params, UINT fromLeft) {
    if (!params || fromLeft >= params->cArgs)
        return nullptr;
    VARIANT& v = params->rgvarg[params->cArgs - 1 - fromLeft];
    if (v.vt == VT_DISPATCH)
        return v.pdispVal;
    if (v.vt == (VT_DISPATCH | VT_BYREF) && v.byref)
        return *static_cast<IDispatch**>(v.byref);
    return nullptr;
}

}  // namespace

void SetConnectHooks(const ConnectHooks& hooks) {
    g_hooks = hooks;
}

// The IDispatch that one sink advises; it forwards the events of the sink
// map to its CConnect, which outlives it (Quit unadvises both).
class CConnect::EventSink final : public com::ComObject<EventSink, IDispatch> {
public:
    EventSink(CConnect* owner, int sink, const IID& eventInterface)
        : m_owner(owner), m_sink(sink), m_iid(eventInterface) {}

    bool QueryExtraInterface(REFIID iid, void** out) {
        if (iid != m_iid)
            return false;
        *out = static_cast<IDispatch*>(this);
        return true;
    }
    HRESULT GetTypeInfoCount(UINT* count) override {
        if (count)
            *count = 0;
        return S_OK;
    }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, OLECHAR**, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                   UINT*) override {
        for (const SinkMapEntry* e = CConnect::_GetSinkMap(); e->handler; ++e) {
            if (e->sink == m_sink && e->dispid == id) {
                e->handler(*m_owner, params);
                return S_OK;
            }
        }
        return S_OK;
    }

private:
    CConnect* m_owner;
    int m_sink;
    IID m_iid;
};

const SinkMapEntry* CConnect::_GetSinkMap() {
    static const SinkMapEntry kMap[] = {
        {1, &IID_ApplicationEvents_11, outlook::dispid::kEventOptionsPagesAdd,
         [](CConnect& c, DISPPARAMS* p) { c.OnOptionsPagesAdd(DispatchArgument(p, 0)); }},
        {1, &IID_ApplicationEvents_11, outlook::dispid::kEventNewMail,
         [](CConnect& c, DISPPARAMS*) { c.OnNewMail(); }},
        {1, &IID_ApplicationEvents_11, outlook::dispid::kEventReminder,
         [](CConnect& c, DISPPARAMS* p) { c.OnReminder(DispatchArgument(p, 0)); }},
        {1, &IID_ApplicationEvents_11, outlook::dispid::kEventQuit,
         [](CConnect& c, DISPPARAMS*) { c.OnQuit(); }},
        {2, &IID_NameSpaceEvents, outlook::dispid::kEventFolderOptionsPagesAdd,
         [](CConnect& c, DISPPARAMS* p) {
             c.OnFolderOptionsPagesAdd(DispatchArgument(p, 0), DispatchArgument(p, 1));
         }},
        {0, nullptr, 0, nullptr},
    };
    return kMap;
}

CConnect::CConnect() {
    m_appSink = com::Make<EventSink>(this, 1, IID_ApplicationEvents_11);
    m_nsSink = com::Make<EventSink>(this, 2, IID_NameSpaceEvents);
    m_heartbeat.Create();
    m_tray.CreateAtConnection();
}

CConnect::~CConnect() {
    UnadviseSinks();
    m_nameSpace.Release();
    m_application.Release();
}

HRESULT CConnect::GetTypeInfoCount(UINT* count) {
    if (count)
        *count = 0;
    return S_OK;
}

HRESULT CConnect::OnConnection(IDispatch* application, ext_ConnectMode, IDispatch* addInInst,
                               SAFEARRAY**) {
    InitializeAddinLocks();
    m_connected = true;
    g_UILanguage = GetConfiguredLCID();

    if (application)
        application->QueryInterface(IID__Application, reinterpret_cast<void**>(&m_application));
    CComPtr<COMAddIn> comAddIn;
    if (addInInst)
        addInInst->QueryInterface(IID_COMAddIn, reinterpret_cast<void**>(&comAddIn));
    SetAddinCOMAddIn(comAddIn);

    if (!m_application) {
        LogHResult(E_POINTER, "error on GetNamespace");
        return E_POINTER;
    }
    CComBSTR mapi(L"MAPI");
    HRESULT hr = m_application->GetNamespace(mapi, &m_nameSpace);
    if (FAILED(hr) || !m_nameSpace) {
        hr = FAILED(hr) ? hr : E_POINTER;
        LogHResult(hr, "error on GetNamespace");
        return hr;
    }

    m_moduleDirectory = ThisModuleDirectory();
    m_tempDirectory = TempDirectoryOr(m_moduleDirectory);
    m_ruleHelperPath = m_moduleDirectory + L"RulePlanterx64.exe";
    RotateDebugLogs(m_tempDirectory.c_str());

    auto* engine =
        new (std::nothrow) CSyncEngine(std::make_unique<COutlookNamespaceAccess>(m_nameSpace),
                                       (m_tempDirectory + L"Quillmere_debug.log").c_str());
    g_pEngine = engine;
    if (engine) {
        engine->SetHeartbeatWindow(m_heartbeat.Handle());
        PrepareDirectories();
        ReadConfigAtStart();
    }

    m_heartbeat.Arm(kHeartbeatConnectPeriod);
    return AdviseSinks();
}

void CConnect::PrepareDirectories() {
    CSyncEngine* engine = g_pEngine.load();
    std::wstring temp = TempDirectoryOr(m_moduleDirectory);
    std::wstring errorLog = temp + L"Quillmere_error.log";
    SetErrorLogPath(errorLog.c_str());
    DeleteFileW(errorLog.c_str());
    engine->SetSettingsTextPath(temp + L"Quillmere_settings.txt");
    DeleteFileW(engine->GetSettingsTextPath());
    engine->SetModuleDirectory(m_moduleDirectory);

    wchar_t localAppData[MAX_PATH] = L"";
    if (SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, 0, localAppData))) {
        std::wstring data = std::wstring(localAppData) + L"\\Quillmere\\";
        if (!SetCurrentDirectoryW(data.c_str()))
            CreateDirectoryW(data.c_str(), nullptr);
        engine->SetDataPaths(data);
    } else {
        engine->SetDataPaths(m_moduleDirectory);
    }
}

void CConnect::ReadConfigAtStart() {
    HKEY config = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kConfigKeyPath, 0, kReadWrite, &config) != ERROR_SUCCESS)
        return;
    DWORD value = 0;
    DWORD type = 0;
    DWORD size = sizeof value;
    // The type of "debug" is not looked at.
    DebugSwitch = RegQueryValueExW(config, L"debug", nullptr, &type,
                                   reinterpret_cast<BYTE*>(&value), &size) == ERROR_SUCCESS &&
                  size == sizeof value && value == 1;
    size = sizeof value;
    if (RegQueryValueExW(config, L"rulecreator_was_set", nullptr, &type,
                         reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS ||
        type != REG_DWORD) {
        DWORD one = 1;
        RegSetValueExW(config, L"rulecreator_was_set", 0, REG_DWORD,
                       reinterpret_cast<const BYTE*>(&one), sizeof one);
        HINSTANCE result = ShellExecuteW(nullptr, L"open", m_ruleHelperPath.c_str(), L"",
                                         m_moduleDirectory.c_str(), SW_HIDE);
        if (reinterpret_cast<std::intptr_t>(result) > 32)
            WriteDebugLog("IF (Outlook > 11) RuleCreated");
    }
    RegCloseKey(config);
}

HRESULT CConnect::AdviseSinks() {
    HRESULT hr = com::Advise(m_application, IID_ApplicationEvents_11, m_appSink, &m_appCookie);
    if (FAILED(hr)) {
        m_appCookie = kSinkNotAdvised;
        LogHResult(hr, "error on DispEventAdvise AppEvents");
        return hr;
    }
    hr = com::Advise(m_nameSpace, IID_NameSpaceEvents, m_nsSink, &m_nsCookie);
    if (FAILED(hr)) {
        m_nsCookie = kSinkNotAdvised;
        LogHResult(hr, "error on DispEventAdvise NSEvents");
        return hr;
    }
    return S_OK;
}

void CConnect::UnadviseSinks() {
    if (m_appCookie != kSinkNotAdvised && m_application)
        com::Unadvise(m_application, IID_ApplicationEvents_11, m_appCookie);
    if (m_nsCookie != kSinkNotAdvised && m_nameSpace)
        com::Unadvise(m_nameSpace, IID_NameSpaceEvents, m_nsCookie);
    m_appCookie = kSinkNotAdvised;
    m_nsCookie = kSinkNotAdvised;
}

void CConnect::OnOptionsPagesAdd(IDispatch* pages) {
    AddPage(pages, L"Quillmere.ExtProppage");
}

bool CConnect::IsExcludedFolder(MAPIFolder* folder, const CComBSTR& entryId) {
    CSyncEngine* engine = g_pEngine.load();
    std::vector<CComBSTR> excluded;
    for (OlDefaultFolders which :
         {olFolderDeletedItems, olFolderDrafts, olFolderInbox, olFolderOutbox, olFolderSentMail}) {
        CComPtr<MAPIFolder> defaultFolder;
        if (m_nameSpace && SUCCEEDED(m_nameSpace->GetDefaultFolder(which, &defaultFolder)))
            excluded.push_back(EntryIdOf(defaultFolder));
    }
    CComPtr<MAPIFolder> addinFolder;
    if (SUCCEEDED(engine->GetAddinFolder(&addinFolder)))
        excluded.push_back(EntryIdOf(addinFolder));
    for (const CComBSTR& id : excluded) {
        if (VarBstrCmp(entryId, id, LOCALE_USER_DEFAULT, 0) == VARCMP_EQ)
            return true;
    }
    return engine->IsFolderStoreKind6(folder) || engine->IsFolderInICloudStoreB(folder, entryId) ||
           engine->IsFolderInICloudStoreA(folder, entryId);
}

void CConnect::OnFolderOptionsPagesAdd(IDispatch* pages, IDispatch* folderDispatch) {
    CSyncEngine* engine = g_pEngine.load();
    if (!engine || !engine->IsStarted()) {
        WriteDebugLog("can't show dlg (waiting for init)");
        return;
    }
    SetLatestPropertiesFolder(folderDispatch);
    CComQIPtr<MAPIFolder> folder(static_cast<IUnknown*>(folderDispatch));
    CComBSTR entryId = EntryIdOf(folder);
    if (IsExcludedFolder(folder, entryId))
        return;
    AddPage(pages, L"Quillmere.QuillmerePropPage");
}

void CConnect::OnNewMail() {
    CSyncEngine* engine = g_pEngine.load();
    if (!engine)
        return;
    m_heartbeat.Stop();
    engine->m_mainInboxRequest = true;
    WriteDebugLog("standard-inbox evt");
    m_heartbeat.Arm(kHeartbeatNewMailPeriod);
}

void CConnect::OnReminder(IDispatch* item) {
    CSyncEngine* engine = g_pEngine.load();
    if (!engine || !engine->IsStarted() || !item)
        return;
    if (g_hooks.registerReminder)
        g_hooks.registerReminder(engine, item);
}

HRESULT CConnect::OnDisconnection(ext_DisconnectMode, SAFEARRAY**) {
    ShutDown();
    return S_OK;
}

void CConnect::OnQuit() {
    ShutDown();
}

void CConnect::ShutDown() {
    // Once: Quit and the disconnection both end here, in either order, and
    // the locks must be deleted only once.
    if (!m_connected)
        return;
    m_connected = false;
    m_heartbeat.Stop();
    if (CSyncEngine* engine = g_pEngine.load()) {
        (g_hooks.initiateShutdown ? g_hooks.initiateShutdown : DefaultInitiateShutdown)(engine);
        LONG pending = g_hooks.pendingMailCount ? g_hooks.pendingMailCount() : 0;
        // No upper bound: the exchange threads end within one turn of their
        // loops once StopFlag is set, and their work must not be cut off.
        for (bool first = true; GetRunningThreadCount() > 0; first = false) {
            if (first && pending >= 1) {
                // The language configured at start-up, as every text of
                // this run: an LCID changed since takes effect at the next
                // start.
                std::wstring text;
                LoadString(AddinResourceModule(), kMoreMailsToSend, g_UILanguage.load(), text);
                m_tray.ShowBalloon(text.c_str(), L"Quillmere", NIIF_INFO, kQuitBalloonSeconds);
            }
            Sleep(kQuitPollMs);
        }
    }
    m_heartbeat.Destroy();
    m_tray.SetVisible(false);
    UnadviseSinks();
    if (CSyncEngine* engine = g_pEngine.load()) {
        const std::wstring& data = engine->DataDirectory();
        for (const wchar_t* name : {L"share.syn", L"sync.zuf", L"sync.msg"})
            DeleteFileW((data + name).c_str());
        // The folder threads that the destruction waits for still reach the
        // engine through the process-wide pointer: clear it afterwards.
        delete engine;
        g_pEngine = nullptr;
    }
    SetLatestPropertiesFolder(nullptr);
    SetAddinCOMAddIn(nullptr);
    m_nameSpace.Release();
    m_application.Release();
    DeleteAddinLocks();
}
