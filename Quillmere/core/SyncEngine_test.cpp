#include "Quillmere/core/SyncEngine.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <thread>

#include "Quillmere/core/AddinGlobals.h"
#include "Quillmere/core/FakeHelperLibrary_test.h"
#include "Quillmere/core/FolderObj.h"
#include "platform/win/Clock.h"
#include "platform/win/Environment.h"
#include "platform/win/Paths.h"
#include "platform/win/Text.h"

namespace {

namespace fs = std::filesystem;
using fakes::FakeOutlook;
using fakes::FakeSession;

CComPtr<FakeSession> g_session;

HRESULT CreateFake(const wchar_t* progId, REFIID iid, void** out) {
    if (iid == IID_QMRRDOSession && g_session)
        return fakes::Give(g_session, reinterpret_cast<QMRRDOSession**>(out));
    return REGDB_E_CLASSNOTREG;
}

class SyncEngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        win::SetVirtualClockForTesting(true);
        char tmpl[] = "/tmp/qm_engine_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_dir = tmpl;
        win::SetUserDirectory(m_dir);
        InitializeAddinLocks();
        wchar_t temp[MAX_PATH];
        ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
        m_temp = temp;
        logs::ResetForTesting();
        SetErrorLogPath((m_temp + L"Quillmere_error.log").c_str());
        DebugSwitch = true;
        LogHResult(0, "first");
        g_session = com::Make<FakeSession>();
        SetHelperObjectCreatorForTesting(CreateFake);
    }
    void TearDown() override {
        m_engine.reset();
        SetHelperObjectCreatorForTesting(nullptr);
        SetExchangeThreadProcs({});
        g_session.Release();
        StopFlag = false;
        DeleteAddinLocks();
        logs::ResetForTesting();
        fs::remove_all(m_dir);
        win::SetVirtualClockForTesting(false);
    }

    CSyncEngine& MakeEngine(const std::wstring& version = L"9.0.0.1",
                            HRESULT versionResult = S_OK) {
        auto outlook = std::make_unique<FakeOutlook>();
        outlook->version = version;
        outlook->versionResult = versionResult;
        m_outlook = outlook.get();
        m_engine = std::make_unique<CSyncEngine>(std::move(outlook),
                                                 (m_temp + L"Quillmere_debug.log").c_str());
        return *m_engine;
    }

    std::string Read(const std::wstring& name) {
        std::ifstream in(*win::HostPath(m_temp + name), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    std::string DebugLog() { return Read(L"Quillmere_debug.log"); }
    std::string ErrorLog() { return Read(L"Quillmere_error.log"); }

    // Waits until the condition holds, at most a platform hour (the
    // engine's own waits run on the virtual clock in these tests).
    static bool WaitFor(const std::function<bool()>& condition) {
        return win::WaitForCondition(condition, 3600000);
    }

    std::string m_dir;
    std::wstring m_temp;
    FakeOutlook* m_outlook = nullptr;
    std::unique_ptr<CSyncEngine> m_engine;
};

TEST_F(SyncEngineTest, OldOutlookIsReadyAtOnceWithOldOpenFlags) {
    CSyncEngine& engine = MakeEngine(L"10.0.2627");
    EXPECT_TRUE(engine.IsReady());
    EXPECT_FALSE(engine.IsModernMode());
    EXPECT_EQ(engine.OpenFlags().vt, VT_I4);
    EXPECT_EQ(engine.OpenFlags().lVal, 0x10);
    EXPECT_EQ(engine.GetSyncState(), kSyncStateOffline);
    EXPECT_EQ(g_session->putMapiObjectCalls, 1) << "the session is attached to Outlook's";
    EXPECT_EQ(g_session->logonCalls, 0);
    EXPECT_NE(DebugLog().find("Using OL2000-OL2002 mode"), std::string::npos);
}

TEST_F(SyncEngineTest, UnreadableVersionIsReadyButKeepsModernFlags) {
    CSyncEngine& engine = MakeEngine(L"", E_FAIL);
    EXPECT_TRUE(engine.IsReady());
    EXPECT_EQ(engine.OpenFlags().lVal, 0x210);
}

TEST_F(SyncEngineTest, FailedAttachLogsTheSessionOn) {
    g_session->putMapiObjectResult = E_INVALIDARG;
    g_session->logonResults = {MAPI_E_LOGON_FAILED};
    MakeEngine();
    EXPECT_EQ(g_session->logonCalls, 1);
    EXPECT_NE(ErrorLog().find("ERROR: no session: MAPI_E_LOGON_FAILED"), std::string::npos);
}

TEST_F(SyncEngineTest, MissingHelperLibraryLeavesTheEngineWithoutSession) {
    g_session.Release();
    CSyncEngine& engine = MakeEngine();
    EXPECT_EQ(engine.Session(), nullptr);
    EXPECT_NE(ErrorLog().find("no session Interface"), std::string::npos);
}

TEST_F(SyncEngineTest, ModernOutlookWithoutHelperLibraryNeverBecomesReady) {
    g_session.Release();
    CSyncEngine& engine = MakeEngine(L"16.0.1");
    ASSERT_TRUE(WaitFor([&] {
        return ErrorLog().find("no session Interface in Mainthread") != std::string::npos;
    })) << ErrorLog();
    std::string errors = ErrorLog();
    // The constructor's report and the thread's own failed creation.
    EXPECT_NE(errors.find("ERROR: no session Interface: 0x0 GetLastError:"), std::string::npos)
        << errors;
    EXPECT_NE(errors.find("ERROR: no session Interface: 0x80040154 GetLastError:"),
              std::string::npos)
        << errors;
    EXPECT_FALSE(engine.IsReady());
    m_engine.reset();  // waits for the thread, which ends without marking it ready
    EXPECT_EQ(DebugLog().find("Mission Possible"), std::string::npos);
}

TEST_F(SyncEngineTest, ModernOutlookWaitsUntilExchangeIsOnline) {
    g_session->connectionMode = 300;  // cached offline
    CSyncEngine& engine = MakeEngine(L"16.0.1");
    ASSERT_TRUE(
        WaitFor([&] { return DebugLog().find("Waiting for Init...") != std::string::npos; }));
    EXPECT_FALSE(engine.IsReady());
    EXPECT_EQ(engine.GetSyncState(), kSyncStateOffline);
    g_session->connectionMode = 800;
    ASSERT_TRUE(WaitFor([&] { return engine.IsReady(); }));
    EXPECT_TRUE(WaitFor([&] { return DebugLog().find("Mission Possible") != std::string::npos; }));
    EXPECT_NE(DebugLog().find("Offline|Disconnected|CachedOffline|CachedDisconnected"),
              std::string::npos);
}

TEST_F(SyncEngineTest, CachedModeIsReadyOnceTheInboxOpens) {
    g_session->connectionMode = 600;
    g_session->getFolderFromIdResult = static_cast<HRESULT>(0x8004011D);
    g_session->defaultInbox = com::Make<fakes::FakeFolder>();
    g_session->defaultInbox->entryId = L"IN";
    g_session->defaultInbox->storeId = L"ST";
    CSyncEngine& engine = MakeEngine(L"16.0.1");
    ASSERT_TRUE(WaitFor([&] {
        return ErrorLog().find("Server is not available (or user not logged in)") !=
               std::string::npos;
    }));
    EXPECT_FALSE(engine.IsReady());
    g_session->getFolderFromIdResult = S_OK;
    ASSERT_TRUE(WaitFor([&] { return engine.IsReady(); }));
    EXPECT_TRUE(WaitFor([&] { return DebugLog().find("safe2init") != std::string::npos; }));
}

TEST_F(SyncEngineTest, LogonFailuresAreReportedFromTheThirteenthTry) {
    // The constructor's own session attaches; the thread's log-on fails.
    g_session->logonResults = std::vector<HRESULT>(20, static_cast<HRESULT>(0x80040401));
    CSyncEngine& engine = MakeEngine(L"16.0.1");
    ASSERT_TRUE(WaitFor([&] { return engine.IsReady(); }));
    EXPECT_EQ(g_session->logonCalls, 13);
    std::string errors = ErrorLog();
    EXPECT_NE(errors.find("ERROR: session Connectiontimeout: MAPI_E_TIMEOUT"), std::string::npos);
    EXPECT_EQ(errors.find("session Connectiontimeout"), errors.rfind("session Connectiontimeout"));
}

TEST_F(SyncEngineTest, DestructionDuringTheLogonWaitEndsTheThread) {
    g_session->connectionMode = 300;
    g_session->logonResults = {MAPI_E_LOGON_FAILED};
    MakeEngine(L"16.0.1");
    ASSERT_TRUE(WaitFor([&] { return g_session->logonCalls >= 1; }));
    m_engine.reset();  // must wait for the thread, which then must not touch the engine
    EXPECT_EQ(g_session->logonCalls, 1) << "the retries end at the stop";
}

// The log-on thread uses the engine up to its last line (it marks it ready
// after its session's log-off): the destruction must not free the engine
// before that.
TEST_F(SyncEngineTest, DestructionWaitsUntilTheLogonThreadLetGoOfTheEngine) {
    g_session->connectionMode = 300;  // offline: the thread waits in 5-s steps
    MakeEngine(L"16.0.1");
    ASSERT_TRUE(
        WaitFor([&] { return DebugLog().find("Waiting for Init...") != std::string::npos; }));
    ASSERT_EQ(g_session->logoffCalls, 0);
    m_engine.reset();
    EXPECT_EQ(g_session->logoffCalls, 1) << "the thread had ended when the destruction returned";
    const std::string log = DebugLog();
    const std::size_t done = log.find("Mission Possible");
    ASSERT_NE(done, std::string::npos) << log;
    EXPECT_LT(log.find("Shutdown.SyncFolders.."), done);
    EXPECT_LT(done, log.find("Shutdown.ready")) << "the thread ended inside the destruction";
}

TEST_F(SyncEngineTest, ChangeSyncStateOnlyFromTheExpectedCode) {
    CSyncEngine& engine = MakeEngine();
    engine.SetSyncState(kSyncStateSending);
    engine.ChangeSyncState(kSyncStateIdle, kSyncStateImporting);
    EXPECT_EQ(engine.GetSyncState(), kSyncStateSending);
    engine.ChangeSyncState(kSyncStateIdle, kSyncStateSending);
    EXPECT_EQ(engine.GetSyncState(), kSyncStateIdle);
}

TEST_F(SyncEngineTest, PendingNotificationNeedsTitleAndText) {
    CSyncEngine& engine = MakeEngine();
    std::wstring title = L"x", text = L"y";
    LONG kind = 9;
    engine.SetPendingNotification(L"Only title", L"", 1);
    EXPECT_FALSE(engine.TakePendingNotification(title, text, kind));
    EXPECT_EQ(title, L"x");
    engine.SetPendingNotification(L"First", L"one", 1);
    engine.SetPendingNotification(L"Second", L"two", 2);
    ASSERT_TRUE(engine.TakePendingNotification(title, text, kind));
    EXPECT_EQ(title, L"Second");
    EXPECT_EQ(text, L"two");
    EXPECT_EQ(kind, 2);
    EXPECT_FALSE(engine.TakePendingNotification(title, text, kind)) << "taken once";
}

struct NotificationKind {
    LONG kind;
    const wchar_t* title;
    LONG icon;
    bool shown;
};

TEST_F(SyncEngineTest, DesktopNotificationKinds) {
    CSyncEngine& engine = MakeEngine();
    engine.m_desktopNotification = true;
    const NotificationKind kinds[] = {
        {0, L"Quillmere DELETED", 1, true},       {1, L"Quillmere NEW", 1, true},
        {2, L"Quillmere CHANGED", 1, true},       {3, L"Quillmere", 1, true},
        {4, L"Basic synchronization:", 0, true},  {5, L"Quillmere COMPRESS", 0, true},
        {6, L"Basic synchronization:", 2, false}, {7, L"Basic synchronization:", 3, false},
    };
    for (const NotificationKind& k : kinds) {
        engine.SetPendingNotification(L"old", L"old", 1);
        engine.QueueDesktopNotification(L"Meeting", L"team", k.kind, L"Calendar");
        std::wstring title, text;
        LONG icon = -1;
        ASSERT_EQ(engine.TakePendingNotification(title, text, icon), k.shown) << k.kind;
        if (k.shown) {
            EXPECT_EQ(title, k.title);
            EXPECT_EQ(text, L"team: Calendar Meeting");
            EXPECT_EQ(icon, k.icon);
        }
    }
    engine.SetPendingNotification(L"old", L"old", 1);
    engine.QueueDesktopNotification(L"a", L"b", 8, L"c");
    std::wstring title, text;
    LONG icon = 0;
    ASSERT_TRUE(engine.TakePendingNotification(title, text, icon));
    EXPECT_EQ(title, L"old") << "kind 8 does nothing";
}

TEST_F(SyncEngineTest, DesktopNotificationsOffLeaveNothing) {
    CSyncEngine& engine = MakeEngine();
    engine.m_desktopNotification = false;
    engine.QueueDesktopNotification(L"a", L"b", 1, L"c");
    std::wstring title, text;
    LONG icon = 0;
    EXPECT_FALSE(engine.TakePendingNotification(title, text, icon));
}

TEST_F(SyncEngineTest, FolderTableDoublesItsCapacity) {
    CSyncEngine& engine = MakeEngine();
    const DWORD expected[] = {1, 2, 4, 4, 8, 8, 8, 8, 16};
    for (DWORD i = 0; i < sizeof expected / sizeof expected[0]; ++i) {
        auto* folder = new CFolderObj(nullptr, 0, false, L"E" + std::to_wstring(i), L"S");
        folder->m_shareName = L"f" + std::to_wstring(i);
        ASSERT_TRUE(engine.AppendFolder(folder));
        EXPECT_EQ(engine.GetFolderTableCapacity(), expected[i]) << i;
    }
    EXPECT_EQ(engine.GetFolderCount(), 9u);
    EXPECT_EQ(engine.GetFolderEntry(9, true), nullptr);
    CFolderObj* first = engine.RemoveFirstFolder();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->m_shareName, L"f0");
    delete first;
    EXPECT_EQ(engine.GetFolderEntry(0, true)->m_shareName, L"f1");
}

TEST_F(SyncEngineTest, StoppedFolderIsGivenOnlyWhenForced) {
    CSyncEngine& engine = MakeEngine();
    auto* folder = new CFolderObj(nullptr, 0, false, L"E", L"S");
    ASSERT_TRUE(engine.AppendFolder(folder));
    EXPECT_EQ(engine.GetFolderEntry(0, false), nullptr);
    EXPECT_EQ(engine.GetFolderEntry(0, true), folder);
    folder->Start();
    EXPECT_EQ(engine.GetFolderEntry(0, false), folder);
    folder->Stop();
    EXPECT_EQ(engine.GetFolderEntry(0, false), nullptr);
}

TEST_F(SyncEngineTest, DestructionFreesTheFoldersAndSwitchesTheLogOff) {
    CSyncEngine& engine = MakeEngine();
    engine.AppendFolder(new CFolderObj(nullptr, 0, false, L"E", L"S"));
    m_engine.reset();
    EXPECT_TRUE(StopFlag.load());
    EXPECT_FALSE(DebugSwitch.load());
    std::string log = DebugLog();
    EXPECT_LT(log.find("Shutdown.SyncFolders.."), log.find("has sent 0 elems"));
    EXPECT_LT(log.find("has sent 0 elems"), log.find("Shutdown.ready"));
}

std::atomic<int> g_threadsRun{0};
unsigned CountingThread(void*) {
    ++g_threadsRun;
    DecrementRunningThreadCount();
    return 0;
}

TEST_F(SyncEngineTest, StartThreadsOnlyWhenNoneRuns) {
    CSyncEngine& engine = MakeEngine();
    g_threadsRun = 0;
    SetExchangeThreadProcs({CountingThread, CountingThread, CountingThread});
    StopFlag = true;
    IncrementRunningThreadCount();
    StartThreads(&engine);
    EXPECT_TRUE(StopFlag.load());
    EXPECT_EQ(engine.GetSyncState(), kSyncStateOffline);
    EXPECT_NE(ErrorLog().find("ERROR: StartThreads: 0x1 GetLastError:"), std::string::npos);
    DecrementRunningThreadCount();
    StartThreads(&engine);
    EXPECT_FALSE(StopFlag.load());
    EXPECT_EQ(engine.GetSyncState(), kSyncStateIdle);
    EXPECT_TRUE(WaitFor([] { return g_threadsRun.load() == 3; }));
}

}  // namespace
