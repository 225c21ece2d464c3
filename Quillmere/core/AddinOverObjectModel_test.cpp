// The add-in object over the object model stand-in and the real helper
// library: the connection attaches the engine's session to the namespace's
// MAPI session, the start loads a folder of the registry through Outlook,
// the folder page is refused for the Inbox and offered for that folder, and
// Quit takes everything down.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <thread>

#include "Quillmere/core/AddinGlobals.h"
#include "Quillmere/core/AddinTestSupport_test.h"
#include "Quillmere/core/Connect.h"
#include "Quillmere/core/DebugLog.h"
#include "Quillmere/core/FolderObj.h"
#include "Quillmere/core/HelperObjects.h"
#include "Quillmere/core/Settings.h"
#include "Quillmere/core/SyncEngine.h"
#include "platform/com/Com.h"
#include "platform/outlook/OutlookApplication.h"
#include "platform/store/Profile.h"
#include "platform/store/Session.h"
#include "platform/win/Clock.h"
#include "platform/win/Environment.h"
#include "platform/win/MessageBox.h"
#include "platform/win/MessageLoop.h"
#include "platform/win/Module.h"
#include "platform/win/Paths.h"
#include "platform/win/Registry.h"

namespace {

namespace fs = std::filesystem;

class AddinOverObjectModelTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(addintest::UseNewMachine("qm_addin_om", m_dir));
        logs::ResetForTesting();
        heartbeat::ResetForTesting();
        win::SetMessageBoxHandler([](const win::MessageBoxCall&) { return 1; });
        win::ClearMessageBoxCalls();
        // The helper library registers itself, as its installer would.
        ASSERT_NO_FATAL_FAILURE(addintest::StartComWithHelperLibrary());
        ASSERT_NO_FATAL_FAILURE(addintest::OpenOutlookOverNewStore(m_dir, m_ui, m_app));
        m_record = m_app->AddComAddIn(L"Quillmere.Connect", L"Quillmere",
                                      [this](bool connect) { m_connected = connect; });
        m_connect = com::Make<CConnect>();
    }
    void TearDown() override {
        if (g_pEngine.load())
            m_connect->OnQuit();
        m_connect.Release();
        m_record.Release();
        m_app.reset();
        win::SetMessageBoxHandler({});
        CoUninitialize();
        logs::ResetForTesting();
        fs::remove_all(m_dir);
    }

    std::string m_dir;
    std::shared_ptr<outlook::QueuedUiDispatcher> m_ui =
        std::make_shared<outlook::QueuedUiDispatcher>();
    std::unique_ptr<outlook::OutlookApplication> m_app;
    COMAddInPtr m_record;
    bool m_connected = true;
    CComPtr<CConnect> m_connect;
};

TEST_F(AddinOverObjectModelTest, ConnectStartLoadPagesAndQuit) {
    ASSERT_EQ(m_connect->OnConnection(m_app->Application(), ext_cm_Startup, m_record, nullptr),
              S_OK);
    CSyncEngine* engine = g_pEngine.load();
    ASSERT_NE(engine, nullptr);
    ASSERT_NE(engine->Session(), nullptr);
    EXPECT_TRUE(engine->IsReady());
    CComBSTR profile;
    ASSERT_EQ(engine->Session()->GetProfileName(&profile), S_OK)
        << "the session is attached to the namespace's MAPI session";
    EXPECT_EQ(profile, L"Outlook");

    _NameSpacePtr ns = m_app->NameSpace();
    CComPtr<MAPIFolder> calendar;
    ASSERT_EQ(ns->GetDefaultFolder(olFolderCalendar, &calendar), S_OK);
    CComBSTR calendarId, storeId;
    calendar->get_EntryID(&calendarId);
    calendar->get_StoreID(&storeId);
    addintest::WriteFolderKey(std::wstring(calendarId.View()), std::wstring(storeId.View()),
                              L"team");
    addintest::WriteFolderKey(L"00000000DEADBEEF", std::wstring(storeId.View()), L"gone");

    m_connect->Heartbeat().OnHeartbeatTick(GetTickCount());  // the engine's start
    ASSERT_TRUE(engine->IsStarted());
    EXPECT_TRUE(win::MessageBoxCalls().empty()) << "the helper library is registered";
    ASSERT_EQ(engine->GetFolderCount(), 1u);
    CFolderObj* folder = engine->GetFolderEntry(0, false);
    ASSERT_NE(folder, nullptr);
    EXPECT_EQ(folder->m_shareName, L"team");
    EXPECT_FALSE(folder->IsExchange());
    EXPECT_EQ(engine->GetFolderFlagByName(L"team"), 0);

    CComPtr<MAPIFolder> inbox;
    ASSERT_EQ(ns->GetDefaultFolder(olFolderInbox, &inbox), S_OK);
    outlook::PropertyPageList* inboxPages = nullptr;
    CComPtr<PropertyPages> inboxCollection = outlook::CreatePropertyPages(&inboxPages);
    m_app->FireFolderOptionsPagesAdd(inboxCollection, inbox);
    EXPECT_TRUE(inboxPages->Entries().empty());
    outlook::PropertyPageList* calendarPages = nullptr;
    CComPtr<PropertyPages> calendarCollection = outlook::CreatePropertyPages(&calendarPages);
    m_app->FireFolderOptionsPagesAdd(calendarCollection, calendar);
    ASSERT_EQ(calendarPages->Entries().size(), 1u);
    EXPECT_EQ(calendarPages->Entries()[0].title, L"Quillmere");

    CComPtr<QMRMAPIFolder> addinFolder;
    ASSERT_EQ(engine->FindOrCreateAddinFolderOfSession(&addinFolder), S_OK)
        << "the page handler made the add-in folder through Outlook; the helper finds it";
    CComBSTR name;
    addinFolder->GetName(&name);
    EXPECT_EQ(name, L"Quillmere");
    addinFolder.Release();

    m_app->FireQuit();
    EXPECT_EQ(g_pEngine.load(), nullptr);
    EXPECT_TRUE(m_connected) << "nothing asked Outlook to disconnect the add-in";
}

TEST_F(AddinOverObjectModelTest, UnregisteredHelperLibraryDisconnectsTheAddin) {
    // Outlook disconnects the add-in as the property is set.
    m_record.Release();
    m_record = m_app->AddComAddIn(L"Quillmere.Connect", L"Quillmere", [this](bool connect) {
        m_connected = connect;
        if (!connect)
            m_connect->OnDisconnection(ext_dm_UserClosed, nullptr);
    });
    ASSERT_EQ(m_connect->OnConnection(m_app->Application(), ext_cm_Startup, m_record, nullptr),
              S_OK);
    HMODULE rdo = LoadLibraryW(L"P:\\QuillmereRDO.dll");
    auto unregisterServer = reinterpret_cast<DllRegisterServerFn>(
        reinterpret_cast<void (*)()>(GetProcAddress(rdo, "DllUnregisterServer")));
    ASSERT_NE(unregisterServer, nullptr);
    ASSERT_EQ(unregisterServer(), S_OK);
    m_connect->Heartbeat().OnHeartbeatTick(GetTickCount());  // the start wants the utilities
    EXPECT_TRUE(win::MessageBoxCalls().empty()) << "reported from the message loop";
    ASSERT_NE(g_pEngine.load(), nullptr);
    // Outlook's message loop.
    MSG msg{};
    while (g_pEngine.load() && PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
        DispatchMessageW(&msg);
    ASSERT_EQ(win::MessageBoxCalls().size(), 1u);
    EXPECT_EQ(win::MessageBoxCalls()[0].caption, L"QuillmereRDO.dll  is not correctly registered");
    EXPECT_FALSE(m_connected);
    EXPECT_EQ(g_pEngine.load(), nullptr) << "the disconnection shut the add-in down";
    m_app->FireQuit();  // nothing more happens
    EXPECT_EQ(win::MessageBoxCalls().size(), 1u);
    FreeLibrary(rdo);
}

// A folder thread asks whether an item of its folder is open in Outlook's
// inspector: the question is Outlook's object model's, and is asked on
// Outlook's thread (served from its message loop), never on the folder's.
TEST_F(AddinOverObjectModelTest, FolderThreadAsksForTheInspectorOnOutlooksThread) {
    outlook::SetForeignThreadCallObserver([](DWORD thread) {
        ADD_FAILURE() << "Outlook's object model called on thread " << thread;
    });
    ASSERT_EQ(m_connect->OnConnection(m_app->Application(), ext_cm_Startup, m_record, nullptr),
              S_OK);
    CSyncEngine* engine = g_pEngine.load();
    _NameSpacePtr ns = m_app->NameSpace();
    CComPtr<MAPIFolder> calendar;
    ASSERT_EQ(ns->GetDefaultFolder(olFolderCalendar, &calendar), S_OK);
    CComBSTR calendarId, storeId;
    calendar->get_EntryID(&calendarId);
    calendar->get_StoreID(&storeId);
    IDispatchPtr item;
    ASSERT_EQ(MAPIFolderPtr(calendar.p)->GetItems()->Add(CComVariant(), &item), S_OK);
    ASSERT_EQ(_AppointmentItemPtr(static_cast<IUnknown*>(item))->Save(), S_OK);
    ASSERT_EQ(m_app->OpenInspector(item, L"Meeting"), S_OK);
    auto* folder = new CFolderObj(nullptr, CFolderObj::kSharedFolder, false,
                                  std::wstring(calendarId.View()), std::wstring(storeId.View()));
    folder->Start();
    ASSERT_TRUE(engine->AppendFolder(folder));

    std::atomic<bool> done{false};
    std::atomic<bool> open{false};
    std::thread folderThread([&] {
        CoInitialize(nullptr);
        {
            CComPtr<QMRMAPIUtils> utils;
            if (SUCCEEDED(CreateMAPIUtils(engine, &utils)))
                open = folder->IsItemOpenInInspector(utils);
        }
        CoUninitialize();
        done = true;
    });
    // Outlook's message loop while the folder thread asks.
    while (!done.load()) {
        MSG msg{};
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageW(&msg);
        Sleep(1);
    }
    folderThread.join();
    EXPECT_TRUE(open.load()) << "the inspector shows an item of the folder";
    m_app->CloseInspector();
    m_app->FireQuit();
    EXPECT_EQ(g_pEngine.load(), nullptr);
    outlook::SetForeignThreadCallObserver({});
}

}  // namespace

namespace {

// A modern Outlook: the log-on thread logs a helper session of its own on
// to the profile and waits for the Exchange connection the profile reports.
class ModernOutlookTest : public ::testing::Test {
protected:
    void SetUp() override {
        win::SetVirtualClockForTesting(true);
        ASSERT_NO_FATAL_FAILURE(addintest::UseNewMachine("qm_addin_modern", m_dir));
        logs::ResetForTesting();
        heartbeat::ResetForTesting();
        win::SetMessageBoxHandler([](const win::MessageBoxCall&) { return 1; });
        ASSERT_NO_FATAL_FAILURE(addintest::StartComWithHelperLibrary());

        m_profilePath = store::Profile::FileFor(m_dir, L"Outlook");
        fs::create_directories(fs::path(m_profilePath).parent_path());
        m_profile.name = L"Outlook";
        store::ProfileStore mailbox;
        mailbox.file = "mailbox.qst";
        mailbox.displayName = L"Mailbox";
        mailbox.isDefault = true;
        m_profile.stores.push_back(mailbox);
        m_profile.connectionMode = 300;  // cached offline
        ASSERT_EQ(m_profile.Save(m_profilePath), S_OK);
        ASSERT_EQ(m_profile.CreateMissingStores(m_profilePath), S_OK);

        outlook::ApplicationOptions options;
        ASSERT_EQ(outlook::OutlookApplication::ProfileFromFile(m_profilePath, &options.profile),
                  S_OK);
        options.version = L"14.0.0.7015";
        options.ui = m_ui;
        ASSERT_EQ(outlook::OutlookApplication::Create(options, &m_app), S_OK);
        m_connect = com::Make<CConnect>();
        // The debug log, to see the log-on thread's lines.
        HKEY key = nullptr;
        RegCreateKeyExW(HKEY_CURRENT_USER, kConfigKeyPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &key, nullptr);
        DWORD one = 1;
        RegSetValueExW(key, L"debug", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one),
                       sizeof one);
        RegSetValueExW(key, L"rulecreator_was_set", 0, REG_DWORD,
                       reinterpret_cast<const BYTE*>(&one), sizeof one);
        RegCloseKey(key);
    }
    void TearDown() override {
        if (g_pEngine.load())
            m_connect->OnQuit();
        m_connect.Release();
        m_app.reset();
        win::SetMessageBoxHandler({});
        CoUninitialize();
        logs::ResetForTesting();
        fs::remove_all(m_dir);
        win::SetVirtualClockForTesting(false);
    }
    std::string DebugLog() {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        std::ifstream in(*win::HostPath(std::wstring(temp) + L"Quillmere_debug.log"),
                         std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    template <class F>
    static bool WaitFor(F condition) {
        return addintest::WaitFor(condition);
    }

    std::string m_dir;
    std::string m_profilePath;
    store::Profile m_profile;
    std::shared_ptr<outlook::QueuedUiDispatcher> m_ui =
        std::make_shared<outlook::QueuedUiDispatcher>();
    std::unique_ptr<outlook::OutlookApplication> m_app;
    CComPtr<CConnect> m_connect;
};

TEST_F(ModernOutlookTest, EngineBecomesReadyWhenTheProfileGoesOnline) {
    ASSERT_EQ(m_connect->OnConnection(m_app->Application(), ext_cm_Startup, nullptr, nullptr),
              S_OK);
    CSyncEngine* engine = g_pEngine.load();
    ASSERT_NE(engine, nullptr);
    EXPECT_TRUE(engine->IsModernMode());
    EXPECT_EQ(engine->OpenFlags().lVal, 0x210);
    ASSERT_TRUE(WaitFor([&] {
        return DebugLog().find("Waiting for Init...") != std::string::npos;
    })) << DebugLog();
    EXPECT_FALSE(engine->IsReady());
    EXPECT_EQ(engine->GetSyncState(), kSyncStateOffline);
    m_connect->Heartbeat().OnHeartbeatTick(GetTickCount());
    EXPECT_FALSE(engine->IsStarted()) << "no start before the engine is ready";

    m_profile.connectionMode = 800;
    ASSERT_EQ(m_profile.Save(m_profilePath), S_OK);
    ASSERT_TRUE(WaitFor([&] { return engine->IsReady(); }));
    EXPECT_TRUE(WaitFor([&] { return DebugLog().find("Mission Possible") != std::string::npos; }));
    m_connect->Heartbeat().OnHeartbeatTick(GetTickCount());
    EXPECT_TRUE(engine->IsStarted());
    EXPECT_EQ(engine->GetSyncState(), kSyncStateIdle) << "StartThreads set the state to idle";
}

TEST_F(ModernOutlookTest, QuitWhileTheLogonThreadWaitsEndsIt) {
    ASSERT_EQ(m_connect->OnConnection(m_app->Application(), ext_cm_Startup, nullptr, nullptr),
              S_OK);
    ASSERT_TRUE(
        WaitFor([&] { return DebugLog().find("Waiting for Init...") != std::string::npos; }));
    m_connect->OnQuit();  // the engine's destruction waits for the thread
    EXPECT_EQ(g_pEngine.load(), nullptr);
}

}  // namespace
