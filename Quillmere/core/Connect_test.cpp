#include "Quillmere/core/Connect.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>

#include "Quillmere/core/AddinGlobals.h"
#include "Quillmere/core/AddinServer.h"
#include "Quillmere/core/DebugLog.h"
#include "Quillmere/core/FakeOutlookModel_test.h"
#include "Quillmere/core/FolderObj.h"
#include "Quillmere/core/HelperObjects.h"
#include "Quillmere/core/SyncEngine.h"
#include "Quillmere/resources/LoadString.h"
#include "platform/com/ConnectionPoint.h"
#include "platform/win/Clock.h"
#include "platform/win/Environment.h"
#include "platform/win/MessageBox.h"
#include "platform/win/MessageLoop.h"
#include "platform/win/Paths.h"
#include "platform/win/Registry.h"
#include "platform/win/Shell.h"
#include "platform/win/ShellNotify.h"
#include "platform/win/Text.h"
#include "platform/win/VirtualClockTestSupport.h"

namespace {

namespace fs = std::filesystem;
using fakes::FakeOlFolder;
using fakes::FakeOlFolders;

class FakeNs;

// Outlook's Application with its events.
class FakeApp final : public fakes::FakeDispatch<FakeApp, _Application, IConnectionPointContainer> {
public:
    CComPtr<FakeNs> nameSpace;
    std::wstring version = L"9.0.0.1";
    com::ConnectionPoint events{this, IID_ApplicationEvents_11};

    HRESULT FindConnectionPoint(REFIID iid, IConnectionPoint** out) override {
        *out = nullptr;
        if (iid != IID_ApplicationEvents_11)
            return static_cast<HRESULT>(0x80040200);
        *out = &events;
        events.AddRef();
        return S_OK;
    }
    HRESULT get_Application(_Application** a) override { return *a = nullptr, E_NOTIMPL; }
    HRESULT get_Session(_NameSpace** n) override { return *n = nullptr, E_NOTIMPL; }
    HRESULT get_Version(BSTR* v) override { return fakes::OutText(version, v); }
    HRESULT GetNamespace(BSTR type, _NameSpace** n) override;
    HRESULT ActiveInspector(_Inspector** i) override { return *i = nullptr, S_OK; }
    HRESULT ActiveExplorer(_Explorer** e) override { return *e = nullptr, S_OK; }
    HRESULT CreateItem(OlItemType, IDispatch** i) override { return *i = nullptr, E_NOTIMPL; }
    HRESULT Quit() override { return S_OK; }
    HRESULT get_COMAddIns(COMAddIns** a) override { return *a = nullptr, E_NOTIMPL; }
};

class FakeNs final : public fakes::FakeDispatch<FakeNs, _NameSpace, IConnectionPointContainer> {
public:
    FakeApp* application = nullptr;  // not owned
    std::map<LONG, CComPtr<FakeOlFolder>> defaults;
    com::ConnectionPoint events{this, IID_NameSpaceEvents};
    bool refuseEvents = false;

    HRESULT FindConnectionPoint(REFIID iid, IConnectionPoint** out) override {
        *out = nullptr;
        if (iid != IID_NameSpaceEvents || refuseEvents)
            return static_cast<HRESULT>(0x80040200);
        *out = &events;
        events.AddRef();
        return S_OK;
    }
    HRESULT Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS*, VARIANT* result, EXCEPINFO*,
                   UINT*) override {
        if (id != outlook::dispid::kMAPIOBJECT || !result)
            return static_cast<HRESULT>(0x80020003);
        return CComVariant(static_cast<IUnknown*>(com::Make<fakes::FakeOutlookFolder>().p))
            .Detach(result);
    }
    HRESULT get_Application(_Application** a) override {
        *a = application;
        if (application)
            application->AddRef();
        return application ? S_OK : E_POINTER;
    }
    HRESULT get_CurrentProfileName(BSTR* v) override { return fakes::OutText(L"Outlook", v); }
    HRESULT GetDefaultFolder(OlDefaultFolders type, MAPIFolder** f) override {
        *f = nullptr;
        auto it = defaults.find(type);
        return it == defaults.end() ? MAPI_E_NOT_FOUND : fakes::Give(it->second, f);
    }
    HRESULT GetFolderFromID(BSTR, VARIANT, MAPIFolder** f) override {
        return *f = nullptr, MAPI_E_NOT_FOUND;
    }
    HRESULT get_DefaultStore(_Store** s) override { return *s = nullptr, E_NOTIMPL; }
    HRESULT get_MAPIOBJECT(IUnknown** o) override { return *o = nullptr, E_NOTIMPL; }
};

HRESULT FakeApp::GetNamespace(BSTR type, _NameSpace** n) {
    *n = nullptr;
    if (!type || std::wstring(type) != L"MAPI" || !nameSpace)
        return E_INVALIDARG;
    return fakes::Give(nameSpace, n);
}

class FakeComAddIn final : public fakes::FakeDispatch<FakeComAddIn, COMAddIn> {
public:
    HRESULT get_Description(BSTR* v) override { return fakes::OutText(L"", v); }
    HRESULT get_ProgId(BSTR* v) override { return fakes::OutText(L"Quillmere.Connect", v); }
    HRESULT get_Guid(BSTR* v) override { return fakes::OutText(L"", v); }
    HRESULT get_Connect(VARIANT_BOOL* c) override { return *c = connected, S_OK; }
    // As Office does: a change to false disconnects the add-in before the
    // call returns.
    HRESULT put_Connect(VARIANT_BOOL c) override {
        const bool disconnect = connected != VARIANT_FALSE && c == VARIANT_FALSE;
        connected = c;
        if (disconnect && onDisconnect)
            onDisconnect();
        return S_OK;
    }
    std::function<void()> onDisconnect;
    // The add-in sets Connect by its dispatch id (Office's 6).
    HRESULT Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                   UINT*) override {
        if (id == 6 && (flags & DISPATCH_PROPERTYPUT) && params && params->cArgs == 1 &&
            params->rgvarg[0].vt == VT_BOOL)
            return put_Connect(params->rgvarg[0].boolVal);
        return static_cast<HRESULT>(0x80020003);
    }
    HRESULT get_Object(IDispatch** o) override { return *o = nullptr, S_OK; }
    HRESULT put_Object(IDispatch*) override { return S_OK; }
    VARIANT_BOOL connected = VARIANT_TRUE;
};

class FakePages final : public fakes::FakeDispatch<FakePages, PropertyPages> {
public:
    std::vector<std::pair<std::wstring, std::wstring>> added;  // ProgID, caption
    HRESULT get_Count(LONG* c) override { return *c = static_cast<LONG>(added.size()), S_OK; }
    HRESULT Add(VARIANT page, BSTR title) override {
        if (page.vt != VT_BSTR)
            return E_INVALIDARG;
        added.emplace_back(page.bstrVal, title ? title : L"");
        return S_OK;
    }
    HRESULT Remove(VARIANT) override { return E_NOTIMPL; }
};

CComPtr<fakes::FakeSession> g_session;
HRESULT CreateFake(const wchar_t*, REFIID iid, void** out) {
    if (iid == IID_QMRRDOSession && g_session)
        return fakes::Give(g_session, reinterpret_cast<QMRRDOSession**>(out));
    return REGDB_E_CLASSNOTREG;
}

LONG g_pending = 0;

CComPtr<FakeOlFolder> Folder(const wchar_t* entryId, const wchar_t* name) {
    auto folder = com::Make<FakeOlFolder>();
    folder->entryId = entryId;
    folder->name = name;
    folder->storeId = L"ST01";
    return folder;
}

class ConnectTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Platform time moves only while this thread waits (Quit's polls).
        win::SetVirtualClockForTesting(true);
        char tmpl[] = "/tmp/qm_connect_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_dir = tmpl;
        win::SetUserDirectory(m_dir);
        wchar_t temp[MAX_PATH];
        ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
        m_temp = temp;
        logs::ResetForTesting();
        heartbeat::ResetForTesting();
        win::ResetTrayForTesting();
        win::ClearMessageBoxCalls();
        win::SetMessageBoxHandler([](const win::MessageBoxCall&) { return 1; });
        win::SetShellExecuteObserver(
            [this](const win::ShellExecuteCall& call) { m_shellCalls.push_back(call); });
        g_session = com::Make<fakes::FakeSession>();
        SetHelperObjectCreatorForTesting(CreateFake);
        g_pending = 0;
        SetConnectHooks({[] { return g_pending; }, nullptr, nullptr});

        m_app = com::Make<FakeApp>();
        m_ns = com::Make<FakeNs>();
        m_ns->application = m_app;
        m_app->nameSpace = m_ns;
        m_root = Folder(L"R0", L"Top");
        m_root->folders = com::Make<FakeOlFolders>();
        const std::pair<OlDefaultFolders, const wchar_t*> defaults[] = {
            {olFolderDeletedItems, L"D3"},
            {olFolderOutbox, L"D4"},
            {olFolderSentMail, L"D5"},
            {olFolderInbox, L"D6"},
            {olFolderDrafts, L"D16"}};
        for (auto& [which, id] : defaults) {
            auto folder = Folder(id, L"Default");
            folder->parent = m_root;
            m_root->folders->folders.push_back(folder);
            m_ns->defaults[which] = folder;
        }
        m_comAddIn = com::Make<FakeComAddIn>();
        m_connect = com::Make<CConnect>();
    }
    void TearDown() override {
        if (g_pEngine.load())
            m_connect->OnQuit();
        m_connect.Release();
        win::SetShellExecuteObserver({});
        win::SetMessageBoxHandler({});
        SetHelperObjectCreatorForTesting(nullptr);
        SetConnectHooks({});
        g_session.Release();
        StopFlag = false;
        logs::ResetForTesting();
        fs::remove_all(m_dir);
        win::SetVirtualClockForTesting(false);
    }

    // An exchange thread that is slow to end: counted as running from now,
    // it ends endMs platform ms after StopFlag rose, running atEnd first.
    std::unique_ptr<win::testing::PlatformThread> SlowExchangeThread(
        DWORD endMs, std::function<void()> atEnd = {}) {
        IncrementRunningThreadCount();
        return std::make_unique<win::testing::PlatformThread>([this, endMs, atEnd] {
            win::WaitForCondition([] { return StopFlag.load(); }, INFINITE);
            m_stopSeenAt = GetTickCount();
            Sleep(endMs);
            if (atEnd)
                atEnd();
            DecrementRunningThreadCount();
        });
    }
    std::atomic<DWORD> m_stopSeenAt{0};

    HRESULT Connect() {
        return m_connect->OnConnection(static_cast<_Application*>(m_app), ext_cm_Startup,
                                       static_cast<COMAddIn*>(m_comAddIn), nullptr);
    }
    static void SetConfigDword(const wchar_t* name, DWORD value) {
        HKEY key = nullptr;
        RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Brindlecast\\Quillmere\\Config", 0, nullptr,
                        0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
        RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                       sizeof value);
        RegCloseKey(key);
    }
    std::string Host(const std::wstring& windowsPath) { return *win::HostPath(windowsPath); }
    void Touch(const std::wstring& windowsPath) { std::ofstream(Host(windowsPath)) << "x"; }
    std::string DebugLog() {
        std::ifstream in(Host(m_temp + L"Quillmere_debug.log"), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    std::string ErrorLog() {
        std::ifstream in(Host(m_temp + L"Quillmere_error.log"), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    void FireFolderPages(FakePages* pages, FakeOlFolder* folder) {
        CComVariant args[2] = {CComVariant(static_cast<IDispatch*>(pages)),
                               CComVariant(static_cast<IDispatch*>(folder))};
        m_ns->events.Fire(outlook::dispid::kEventFolderOptionsPagesAdd, args, 2);
    }
    size_t RuleHelperStarts() {
        size_t n = 0;
        for (auto& call : m_shellCalls)
            if (call.file.size() >= 18 &&
                call.file.compare(call.file.size() - 18, 18, L"RulePlanterx64.exe") == 0)
                ++n;
        return n;
    }

    std::string m_dir;
    std::wstring m_temp;
    std::vector<win::ShellExecuteCall> m_shellCalls;
    CComPtr<FakeApp> m_app;
    CComPtr<FakeNs> m_ns;
    CComPtr<FakeOlFolder> m_root;
    CComPtr<FakeComAddIn> m_comAddIn;
    CComPtr<CConnect> m_connect;
};

TEST_F(ConnectTest, ConnectionStartsTheAddin) {
    SetConfigDword(L"debug", 1);
    Touch(m_temp + L"Quillmere_debug.log");
    Touch(m_temp + L"Quillmere_error.log");
    ASSERT_EQ(Connect(), S_OK);
    CSyncEngine* engine = g_pEngine.load();
    ASSERT_NE(engine, nullptr);
    EXPECT_TRUE(DebugSwitch.load());
    EXPECT_TRUE(engine->IsReady()) << "Outlook 9.x through the namespace's Application";
    EXPECT_FALSE(engine->IsModernMode());
    EXPECT_EQ(g_session->putMapiObjectCalls, 1) << "attached to the namespace's MAPIOBJECT";
    EXPECT_TRUE(fs::exists(Host(m_temp + L"Quillmere_debug-1.log"))) << "logs rotated";
    EXPECT_FALSE(fs::exists(Host(m_temp + L"Quillmere_error.log")));
    EXPECT_EQ(engine->HeartbeatWindow(), m_connect->Heartbeat().Handle());
    EXPECT_NE(m_connect->ApplicationCookie(), kSinkNotAdvised);
    EXPECT_NE(m_connect->NamespaceCookie(), kSinkNotAdvised);
    EXPECT_EQ(m_app->events.SinkCount(), 1u);
    EXPECT_EQ(m_ns->events.SinkCount(), 1u);
    std::wstring data = engine->DataDirectory();
    EXPECT_EQ(data, win::UserProfileDirectory() + L"\\AppData\\Local\\Quillmere\\");
    EXPECT_TRUE(fs::is_directory(Host(data)));
    EXPECT_EQ(engine->ShareFilePath(), data + L"share.syn");
    EXPECT_EQ(engine->CabinetPath(), data + L"sync.zuf");
    EXPECT_EQ(std::wstring(engine->GetSettingsTextPath()), m_temp + L"Quillmere_settings.txt");
    ASSERT_EQ(RuleHelperStarts(), 1u);
    const win::ShellExecuteCall& call = m_shellCalls[0];
    EXPECT_EQ(call.verb, L"open");
    EXPECT_EQ(call.parameters, L"");
    EXPECT_EQ(call.showCmd, SW_HIDE);
    EXPECT_EQ(call.directory, engine->ModuleDirectory());
    EXPECT_EQ(call.file, engine->ModuleDirectory() + L"RulePlanterx64.exe");
}

TEST_F(ConnectTest, RuleHelperStartsOnceOnlyWhereTheConfigKeyExists) {
    ASSERT_EQ(Connect(), S_OK);
    EXPECT_EQ(RuleHelperStarts(), 0u) << "no Config key: never started";
    EXPECT_FALSE(DebugSwitch.load());
    m_connect->OnQuit();

    SetConfigDword(L"journal", 0);
    m_connect = com::Make<CConnect>();
    ASSERT_EQ(Connect(), S_OK);
    EXPECT_EQ(RuleHelperStarts(), 1u);
    m_connect->OnQuit();

    m_connect = com::Make<CConnect>();
    ASSERT_EQ(Connect(), S_OK);
    EXPECT_EQ(RuleHelperStarts(), 1u) << "rulecreator_was_set was written";
}

TEST_F(ConnectTest, WithoutApplicationNothingStarts) {
    EXPECT_EQ(m_connect->OnConnection(nullptr, ext_cm_Startup, nullptr, nullptr), E_POINTER);
    EXPECT_EQ(g_pEngine.load(), nullptr);
    DeleteAddinLocks();
}

TEST_F(ConnectTest, FailingNamespaceStopsTheStartUp) {
    m_app->nameSpace.Release();
    // The start-up sets the error log's path only further on; a log of an
    // earlier connection of the process would get the report.
    SetErrorLogPath((m_temp + L"Quillmere_error.log").c_str());
    EXPECT_EQ(Connect(), E_INVALIDARG);
    EXPECT_EQ(g_pEngine.load(), nullptr);
    EXPECT_EQ(m_app->events.SinkCount(), 0u);
    // The process's first report, yet a failure: its code is kept.
    EXPECT_EQ(ErrorLog(), "ERROR: error on GetNamespace: MAPI_E_INVALID_PARAMETER\r\n");
    DeleteAddinLocks();
}

TEST_F(ConnectTest, FailingNamespaceSinkIsReportedAfterTheEngineStarted) {
    SetConfigDword(L"debug", 1);
    m_ns->refuseEvents = true;
    HRESULT hr = Connect();
    EXPECT_TRUE(FAILED(hr));
    ASSERT_NE(g_pEngine.load(), nullptr) << "everything before the sinks has run";
    EXPECT_NE(m_connect->ApplicationCookie(), kSinkNotAdvised);
    EXPECT_EQ(m_connect->NamespaceCookie(), kSinkNotAdvised);
    EXPECT_NE(DebugLog().find("error on DispEventAdvise NSEvents"), std::string::npos)
        << DebugLog();
}

int g_reminders = 0;

TEST_F(ConnectTest, ReminderReachesTheTrackingOnlyAfterTheStart) {
    g_reminders = 0;
    SetConnectHooks({[] { return g_pending; },
                     [](CSyncEngine*, IDispatch* item) { g_reminders += item ? 1 : 100; },
                     nullptr});
    ASSERT_EQ(Connect(), S_OK);
    auto item = Folder(L"I1", L"an item");
    CComVariant arg(static_cast<IDispatch*>(static_cast<MAPIFolder*>(item)));
    m_app->events.Fire(outlook::dispid::kEventReminder, &arg, 1);
    EXPECT_EQ(g_reminders, 0) << "before the engine's start";
    g_pEngine.load()->Start();
    m_app->events.Fire(outlook::dispid::kEventReminder, &arg, 1);
    EXPECT_EQ(g_reminders, 1);
}

TEST_F(ConnectTest, OptionsPageIsAlwaysOffered) {
    ASSERT_EQ(Connect(), S_OK);
    auto pages = com::Make<FakePages>();
    CComVariant arg(static_cast<IDispatch*>(pages));
    m_app->events.Fire(outlook::dispid::kEventOptionsPagesAdd, &arg, 1);
    ASSERT_EQ(pages->added.size(), 1u);
    EXPECT_EQ(pages->added[0].first, L"Quillmere.ExtProppage");
    EXPECT_EQ(pages->added[0].second, L"Quillmere");
}

TEST_F(ConnectTest, FolderPageOnlyAfterStartAndNotForExcludedFolders) {
    SetConfigDword(L"debug", 1);
    ASSERT_EQ(Connect(), S_OK);
    auto pages = com::Make<FakePages>();
    auto calendar = Folder(L"C1", L"Calendar");
    FireFolderPages(pages, calendar);
    EXPECT_TRUE(pages->added.empty());
    EXPECT_NE(DebugLog().find("can't show dlg (waiting for init)"), std::string::npos);

    g_pEngine.load()->Start();
    DebugSwitch = true;
    CComPtr<MAPIFolder> addinFolder;
    ASSERT_EQ(g_pEngine.load()->GetAddinFolder(&addinFolder), S_OK);
    CComBSTR addinId;
    addinFolder->put_Name(CComBSTR(L"Quillmere"));
    static_cast<FakeOlFolder*>(addinFolder.p)->entryId = L"Q1";
    for (const wchar_t* id : {L"D3", L"D4", L"D5", L"D6", L"D16", L"Q1"}) {
        FireFolderPages(pages, Folder(id, L"x"));
        EXPECT_TRUE(pages->added.empty()) << win::ToUtf8(id);
    }
    FireFolderPages(pages, calendar);
    ASSERT_EQ(pages->added.size(), 1u);
    EXPECT_EQ(pages->added[0].first, L"Quillmere.QuillmerePropPage");
    CComPtr<IDispatch> latest;
    latest.Attach(GetLatestPropertiesFolder());
    EXPECT_EQ(static_cast<IDispatch*>(latest),
              static_cast<IDispatch*>(static_cast<MAPIFolder*>(calendar)));
}

// Folders of kind-six stores and of iCloud stores get no page; of the first
// iCloud provider only its contacts folders are left out.
TEST_F(ConnectTest, FoldersOfKindSixAndICloudStoresGetNoPage) {
    auto hex = [](const char* text) {
        std::vector<BYTE> bytes;
        for (const char* p = text; p[0] && p[1]; p += 2)
            bytes.push_back(static_cast<BYTE>(std::stoi(std::string(p, 2), nullptr, 16)));
        return bytes;
    };
    struct Case {
        const char* name;
        LONG kind;
        const char* provider;
        OlItemType itemType;
        bool page;
    };
    const Case cases[] = {
        {"personal store", 2, "", olContactItem, true},
        {"kind six", 6, "", olMailItem, false},
        {"first iCloud provider, contacts", 2, "975C4FC305EB4BBBB1992A7570EC7CF9", olContactItem,
         false},
        {"first iCloud provider, calendar", 2, "975C4FC305EB4BBBB1992A7570EC7CF9",
         olAppointmentItem, true},
        {"second iCloud provider", 2, "425DC1A925AC47B5A636EEF64AD9B6B4", olAppointmentItem, false},
    };
    ASSERT_EQ(Connect(), S_OK);
    g_pEngine.load()->Start();
    g_pEngine.load()->SetUtils(com::Make<fakes::FakeUtils>());
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::wstring storeId = L"ST" + std::to_wstring(10 + n);
        const std::wstring entryId = L"F" + std::to_wstring(10 + n++);
        auto store = com::Make<fakes::FakeStore>();
        store->entryId = storeId;
        store->kind = c.kind;
        store->provider = hex(c.provider);
        g_session->stores->stores.push_back(store);
        auto helperFolder = com::Make<fakes::FakeFolder>();
        helperFolder->store = store;
        g_session->foldersById[entryId] = helperFolder;
        auto folder = Folder(entryId.c_str(), L"Shared");
        folder->storeId = storeId;
        folder->defaultItemType = c.itemType;
        auto pages = com::Make<FakePages>();
        FireFolderPages(pages, folder);
        EXPECT_EQ(pages->added.size(), c.page ? 1u : 0u);
    }
}

TEST_F(ConnectTest, NewMailAsksForAnInboxPass) {
    SetConfigDword(L"debug", 1);
    ASSERT_EQ(Connect(), S_OK);
    g_pEngine.load()->m_mainInboxRequest = false;
    m_app->events.Fire(outlook::dispid::kEventNewMail);
    EXPECT_TRUE(g_pEngine.load()->m_mainInboxRequest.load());
    EXPECT_NE(DebugLog().find("standard-inbox evt"), std::string::npos);
}

TEST_F(ConnectTest, NewMailRearmsTheHeartbeatAtFiveSeconds) {
    ASSERT_EQ(Connect(), S_OK);
    HWND heartbeat = m_connect->Heartbeat().Handle();
    m_connect->Heartbeat().Arm(USER_TIMER_MAXIMUM);  // would not fall due during the test
    const DWORD fired = GetTickCount();
    m_app->events.Fire(outlook::dispid::kEventNewMail);
    DWORD tickedAt = 0;
    while (!tickedAt && GetTickCount() - fired <= 2 * kHeartbeatNewMailPeriod) {
        MSG msg;
        if (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            // The heartbeat's timers are taken without dispatching: its own
            // work is not under test.
            if (msg.hwnd != heartbeat || msg.message != WM_TIMER)
                DispatchMessageW(&msg);
            else if (msg.wParam == kHeartbeatTimerId)
                tickedAt = GetTickCount();
        } else {
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 2 * kHeartbeatNewMailPeriod, QS_ALLINPUT);
        }
    }
    ASSERT_NE(tickedAt, 0u) << "timer 1 was re-armed";
    EXPECT_EQ(tickedAt - fired, kHeartbeatNewMailPeriod);
}

TEST_F(ConnectTest, QuitWithQueuedMailsShowsOneBalloonWhileThreadsRun) {
    ASSERT_EQ(Connect(), S_OK);
    CSyncEngine* engine = g_pEngine.load();
    std::wstring data = engine->DataDirectory();
    for (const wchar_t* name : {L"share.syn", L"sync.zuf", L"sync.msg"})
        Touch(data + name);
    HWND popup = m_connect->Tray().PopupWindow();
    std::vector<CFolderObj*> folders;
    for (bool running : {true, false, true}) {
        auto* folder = new CFolderObj(nullptr, 0, false, L"E", L"S");
        if (running)
            folder->Start();
        ASSERT_TRUE(engine->AppendFolder(folder));
        folders.push_back(folder);
    }
    g_pending = 3;
    std::atomic<bool> anyStillRunning{true};
    // The engine lives on while this thread counts as running; it ends
    // 10 s into the shut-down, which Quit sees at its fourth 3-s poll.
    auto exchangeThread = SlowExchangeThread(10000, [&] {
        bool running = false;
        for (CFolderObj* folder : folders)
            running = running || folder->IsRunning();
        anyStillRunning = running;
    });
    const DWORD quit = GetTickCount();
    m_app->events.Fire(outlook::dispid::kEventQuit);
    EXPECT_EQ(m_stopSeenAt.load(), quit) << "StopFlag rose at once";
    EXPECT_EQ(GetTickCount() - quit, 12000u);
    exchangeThread.reset();
    EXPECT_FALSE(anyStillRunning.load()) << "every folder's run flag is cleared first";
    EXPECT_EQ(g_pEngine.load(), nullptr);
    std::vector<win::TrayBalloon> balloons = win::TrayBalloonHistory();
    ASSERT_EQ(balloons.size(), 1u);
    std::wstring text;
    LoadString(AddinResourceModule(), 1266, g_UILanguage.load(), text);
    EXPECT_EQ(balloons[0].text, text);
    EXPECT_EQ(balloons[0].title, L"Quillmere");
    EXPECT_EQ(balloons[0].timeoutMs, 10000u);
    EXPECT_FALSE(win::FindTrayIcon(popup, kTrayIconId).has_value());
    EXPECT_EQ(m_connect->ApplicationCookie(), kSinkNotAdvised);
    EXPECT_EQ(m_app->events.SinkCount(), 0u);
    EXPECT_EQ(m_ns->events.SinkCount(), 0u);
    for (const wchar_t* name : {L"share.syn", L"sync.zuf", L"sync.msg"})
        EXPECT_FALSE(fs::exists(Host(data + name)));
}

TEST_F(ConnectTest, QuitBalloonSpeaksTheLanguageConfiguredAtStart) {
    SetConfigDword(L"LCID", 0x0409);
    ASSERT_EQ(Connect(), S_OK);
    EXPECT_EQ(g_UILanguage.load(), 0x0409u);
    SetConfigDword(L"LCID", 0x0407);  // changed while Outlook runs
    g_pending = 1;
    auto exchangeThread = SlowExchangeThread(10000);
    m_connect->OnQuit();
    exchangeThread.reset();
    std::vector<win::TrayBalloon> balloons = win::TrayBalloonHistory();
    ASSERT_EQ(balloons.size(), 1u);
    EXPECT_EQ(balloons[0].text, L"There are more Mails to send.")
        << "the language of the start, not the one configured since";
}

std::atomic<bool> g_lateThreadSawEngine{false};
std::atomic<bool> g_lateThreadEnded{false};

// An exchange thread whose first line runs 20 ms after StartThreads started
// it; it then uses the engine and the add-in's locks as the real ones do.
unsigned LateStartingExchangeThread(void*) {
    Sleep(20);
    g_lateThreadSawEngine = g_pEngine.load() != nullptr;
    win::WaitForCondition([] { return StopFlag.load(); }, INFINITE);
    EnterCriticalSection(&SendQueueLock);
    LeaveCriticalSection(&SendQueueLock);
    g_lateThreadEnded = true;
    DecrementRunningThreadCount();
    return 0;
}

TEST_F(ConnectTest, QuitRightAfterStartWaitsForThreadsThatHaveNotBegunYet) {
    ASSERT_EQ(Connect(), S_OK);
    g_lateThreadSawEngine = false;
    g_lateThreadEnded = false;
    SetExchangeThreadProcs({LateStartingExchangeThread, nullptr, nullptr});
    StartThreads(g_pEngine.load());
    EXPECT_EQ(GetRunningThreadCount(), 1) << "counted from its start, before its first line";
    const DWORD quit = GetTickCount();
    m_connect->OnQuit();
    SetExchangeThreadProcs({});
    EXPECT_EQ(GetTickCount() - quit, 3000u) << "Quit waited one poll for the late thread";
    EXPECT_TRUE(g_lateThreadSawEngine.load()) << "the engine outlived the thread's start";
    EXPECT_TRUE(g_lateThreadEnded.load()) << "the locks outlived the thread";
    EXPECT_EQ(g_pEngine.load(), nullptr);
}

// The disconnection that comes without a Quit (the add-in's own
// COMAddIn.Connect = false) shuts the add-in down as Quit does, once.
TEST_F(ConnectTest, DisconnectionShutsDownOnceAlsoWhenQuitFollows) {
    ASSERT_EQ(Connect(), S_OK);
    HWND popup = m_connect->Tray().PopupWindow();
    HWND heartbeat = m_connect->Heartbeat().Handle();
    ASSERT_TRUE(IsWindow(heartbeat));
    auto exchangeThread = SlowExchangeThread(1);
    const DWORD disconnect = GetTickCount();
    EXPECT_EQ(m_connect->OnDisconnection(ext_dm_UserClosed, nullptr), S_OK);
    EXPECT_EQ(GetTickCount() - disconnect, 3000u) << "waited for the exchange thread";
    exchangeThread.reset();
    EXPECT_EQ(g_pEngine.load(), nullptr);
    EXPECT_EQ(m_app->events.SinkCount(), 0u);
    EXPECT_EQ(m_ns->events.SinkCount(), 0u);
    EXPECT_FALSE(win::FindTrayIcon(popup, kTrayIconId).has_value());
    EXPECT_FALSE(IsWindow(heartbeat));
    // Quit and Outlook's own disconnection at its exit find nothing to do
    // (the locks, deleted once, are not deleted again).
    m_connect->OnQuit();
    EXPECT_EQ(m_connect->OnDisconnection(ext_dm_HostShutdown, nullptr), S_OK);
    EXPECT_EQ(g_pEngine.load(), nullptr);
}

// A missing helper library, found by the exchange threads and by the
// engine's start on Outlook's thread: one report, from Outlook's message
// loop, whose Connect = false disconnects and shuts the add-in down.
TEST_F(ConnectTest, MissingHelperLibraryDisconnectsTheAddinOnceFromOutlooksThread) {
    m_comAddIn->onDisconnect = [this] { m_connect->OnDisconnection(ext_dm_UserClosed, nullptr); };
    ASSERT_EQ(Connect(), S_OK);
    CSyncEngine* engine = g_pEngine.load();
    {
        win::testing::PlatformThread sender([engine] {
            CComPtr<QMRSafeMailItem> mail;
            EXPECT_TRUE(FAILED(CreateSafeMailItem(engine, &mail)));
        });
    }
    engine->Start();  // creates the utilities object: fails too
    EXPECT_TRUE(win::MessageBoxCalls().empty());
    EXPECT_EQ(g_pEngine.load(), engine) << "the start ran to its end";
    MSG msg{};
    while (g_pEngine.load() && PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
        DispatchMessageW(&msg);
    std::vector<win::MessageBoxCall> calls = win::MessageBoxCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].threadId, GetCurrentThreadId());
    EXPECT_EQ(m_comAddIn->connected, VARIANT_FALSE);
    EXPECT_EQ(g_pEngine.load(), nullptr) << "the disconnection shut the add-in down";
    EXPECT_EQ(m_app->events.SinkCount(), 0u);
    m_connect->OnQuit();
    EXPECT_EQ(win::MessageBoxCalls().size(), 1u);
}

TEST_F(ConnectTest, QuitWithEmptyQueuesWaitsSilently) {
    ASSERT_EQ(Connect(), S_OK);
    auto exchangeThread = SlowExchangeThread(1);
    const DWORD quit = GetTickCount();
    m_connect->OnQuit();
    EXPECT_EQ(GetTickCount() - quit, 3000u) << "one poll";
    exchangeThread.reset();
    EXPECT_TRUE(win::TrayBalloonHistory().empty());
    EXPECT_EQ(g_pEngine.load(), nullptr);
}

TEST_F(ConnectTest, MissingLocalAppDataPutsTheWorkingFilesInTheModuleDirectory) {
    win::SetSpecialFolderFailureForTesting(true);
    ASSERT_EQ(Connect(), S_OK);
    win::SetSpecialFolderFailureForTesting(false);
    CSyncEngine* engine = g_pEngine.load();
    EXPECT_EQ(engine->ShareFilePath(), engine->ModuleDirectory() + L"share.syn");
    EXPECT_EQ(engine->CabinetPath(), engine->ModuleDirectory() + L"sync.zuf");
}

TEST_F(ConnectTest, ClassFactoryMakesTheAddinObject) {
    CComPtr<IClassFactory> factory;
    ASSERT_EQ(
        DllGetClassObject(CLSID_Connect, IID_IClassFactory, reinterpret_cast<void**>(&factory)),
        S_OK);
    CComPtr<_IDTExtensibility2> addin;
    ASSERT_EQ(
        factory->CreateInstance(nullptr, IID__IDTExtensibility2, reinterpret_cast<void**>(&addin)),
        S_OK);
    EXPECT_NE(addin, nullptr);
    CComPtr<IClassFactory> none;
    EXPECT_NE(DllGetClassObject(IID_IDispatch, IID_IClassFactory, reinterpret_cast<void**>(&none)),
              S_OK);
}

}  // namespace

namespace {

TEST_F(ConnectTest, RegistrationNamesTheAddinByItsProgIds) {
    ASSERT_EQ(DllRegisterServer(), S_OK);
    CLSID clsid{};
    ASSERT_EQ(CLSIDFromProgID(L"Quillmere.Connect", &clsid), S_OK);
    EXPECT_TRUE(clsid == CLSID_Connect);
    ASSERT_EQ(CLSIDFromProgID(L"Quillmere.Connect.1", &clsid), S_OK);
    EXPECT_TRUE(clsid == CLSID_Connect);
    ASSERT_EQ(DllUnregisterServer(), S_OK);
    EXPECT_NE(CLSIDFromProgID(L"Quillmere.Connect", &clsid), S_OK);
}

}  // namespace
