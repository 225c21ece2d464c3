// The real add-in module, put on a profile's add-in list by the installer
// step (`outlook-host install`) and loaded by the stand-in client in this
// process: what the user's machine shows from the connection to Quit.
//
// This executable links libQuillmere.so itself, so the module the client
// loads by ProgID is the same loaded module, and the test reaches its
// process-wide values (the engine, the heartbeat's deadline) and its seams
// (the outbox re-check, the pending-mail count) directly.
//
// The client runs in this process on the virtual clock (platform/win/Clock.h):
// the heartbeat's ticks, the outbox re-checks and Quit's polls come at exact
// platform moments, which the tests assert, whatever the machine's load. The
// test of an outlook-host process of its own keeps real time (at the scale
// the test is registered with, QUILLMERE_TIME_SCALE): it waits for the event
// and checks the times the host's log carries.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <vector>

#include "Quillmere/core/AddinGlobals.h"
#include "Quillmere/core/Connect.h"
#include "Quillmere/core/DebugLog.h"
#include "Quillmere/core/HiddenWindow.h"
#include "Quillmere/core/HiddenWindowTray.h"
#include "Quillmere/core/Settings.h"
#include "Quillmere/core/SyncEngine.h"
#include "host/HostCommands.h"
#include "host/HostProcess.h"
#include "host/HostTestSupport.h"
#include "host/OutlookHost.h"
#include "host/UserDirectory.h"
#include "platform/com/Com.h"
#include "platform/outlook/OutlookApplication.h"
#include "platform/win/Clock.h"
#include "platform/win/Environment.h"
#include "platform/win/MessageBox.h"
#include "platform/win/Module.h"
#include "platform/win/Paths.h"
#include "platform/win/Registry.h"
#include "platform/win/Shell.h"
#include "platform/win/ShellNotify.h"
#include "platform/win/Text.h"
#include "platform/win/VirtualClockTestSupport.h"
#include "platform/win/WindowPicture.h"

namespace {

namespace fs = std::filesystem;
using host::testing::ReadFile;
using host::testing::TempRoot;
using host::testing::WriteFile;

constexpr const char* kProgram = QM_BINARY_DIR "/bin/outlook-host";
constexpr DWORD kLimitMs = 600000;  // platform ms: ten minutes of the client's life
constexpr const wchar_t* kRuleHelper = L"RulePlanterx64.exe";

// Waits on the virtual clock until condition holds (at the first platform
// moment it does) or limitMs pass.
bool WaitUntil(const std::function<bool()>& condition, DWORD limitMs) {
    return win::WaitForCondition(condition, limitMs);
}

// What the seams saw, shared with the module's threads.
std::mutex g_seenLock;
std::vector<DWORD> g_recheckTicks;  // GetTickCount() of each outbox re-check
std::atomic<LONG> g_pendingMails{0};

void CountRecheck(CSyncEngine*) {
    std::lock_guard lock(g_seenLock);
    g_recheckTicks.push_back(GetTickCount());
}
std::vector<DWORD> RecheckTicks() {
    std::lock_guard lock(g_seenLock);
    return g_recheckTicks;
}
LONG PendingMails() {
    return g_pendingMails.load();
}

struct FolderIds {
    std::wstring entryId;
    std::wstring storeId;
};

class AddinOnHostTest : public ::testing::Test {
protected:
    void SetUp() override {
        win::SetVirtualClockForTesting(true);
        win::SetInstallDirectory(QM_BINARY_DIR "/bin");
        m_user = m_root.Path() + "/ann";
        ASSERT_EQ(CoInitialize(nullptr), S_OK);
        {
            std::lock_guard lock(g_seenLock);
            g_recheckTicks.clear();
        }
        g_pendingMails = 0;
        SetRecheckOutboxProc(CountRecheck);
        SetConnectHooks(ConnectHooks{PendingMails, nullptr, nullptr});
        win::SetMessageBoxHandler([](const win::MessageBoxCall&) { return 1; });
        win::SetShellExecuteObserver([this](const win::ShellExecuteCall& call) {
            std::lock_guard lock(g_seenLock);
            m_shellCalls.push_back(call);
        });
    }
    void TearDown() override {
        m_host.reset();
        win::SetShellExecuteObserver({});
        win::SetMessageBoxHandler({});
        SetRecheckOutboxProc(nullptr);
        SetConnectHooks(ConnectHooks{});
        CoUninitialize();
        win::SetVirtualClockForTesting(false);
    }

    // The user's profile, the helper library registered, the add-in
    // installed by the installer step. With config: the Config key (debug
    // log on, English texts), marked as having started the rule helper
    // already unless withRuleMark is false.
    void Prepare(const std::wstring& version, bool withConfig = true, bool withRuleMark = true) {
        host::ProfileInit init;
        init.profileName = L"Ann";
        init.address = L"ann@example.org";
        init.version = version;
        std::string error;
        ASSERT_EQ(host::InitProfile(m_user, init, &error), S_OK) << error;
        host::HostProcess tool(kProgram, m_user);
        std::string output;
        ASSERT_EQ(tool.RunTool({"install", m_user}, &output), 0) << output;

        win::SetUserDirectory(m_user);
        HMODULE rdo = LoadLibraryW(L"P:\\QuillmereRDO.dll");
        ASSERT_NE(rdo, nullptr);
        auto registerRdo = reinterpret_cast<DllRegisterServerFn>(
            reinterpret_cast<void (*)()>(GetProcAddress(rdo, "DllRegisterServer")));
        ASSERT_NE(registerRdo, nullptr);
        ASSERT_EQ(registerRdo(), S_OK);
        if (withConfig) {
            SetConfigDword(L"debug", 1);
            SetConfigDword(L"LCID", 1033);
            if (withRuleMark)
                SetConfigDword(L"rulecreator_was_set", 7);  // any DWORD counts as set
        }
        WCHAR temp[MAX_PATH] = {};
        ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
        m_temp = *win::HostPath(temp);
        WCHAR local[MAX_PATH] = {};
        ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, 0, local), S_OK);
        m_dataDir = *win::HostPath(std::wstring(local) + L"\\Quillmere");
    }

    static void SetConfigDword(const wchar_t* name, DWORD value) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kConfigKeyPath, 0, nullptr, 0, KEY_ALL_ACCESS,
                                  nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                       sizeof value);
        RegCloseKey(key);
    }
    static std::optional<DWORD> ConfigDword(const wchar_t* name) {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, kConfigKeyPath, 0, KEY_READ, &key) != ERROR_SUCCESS)
            return std::nullopt;
        DWORD value = 0, type = 0, size = sizeof value;
        LSTATUS st =
            RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
        RegCloseKey(key);
        if (st != ERROR_SUCCESS || type != REG_DWORD)
            return std::nullopt;
        return value;
    }
    // A folder of the registry fixture: shared as share, no password.
    static void ConfigureFolder(const FolderIds& ids, const std::wstring& share) {
        HKEY key = nullptr;
        std::wstring path = std::wstring(kFoldersKeyPath) + L"\\" + ids.entryId;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                  nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        auto sz = [&](const wchar_t* name, const std::wstring& text) {
            // Text sizes count UTF-16 bytes.
            RegSetValueExW(key, name, 0, REG_SZ, text.c_str(),
                           static_cast<DWORD>((text.size() + 1) * 2));
        };
        sz(L"SID", ids.storeId);
        sz(L"ShareName", share);
        sz(L"Profil", L"ann");  // profile names match without regard to case
        DWORD one = 1;
        RegSetValueExW(key, L"DONT_SYNC_BSP_ITEMS", 0, REG_DWORD,
                       reinterpret_cast<const BYTE*>(&one), sizeof one);
        RegCloseKey(key);
    }

    HRESULT StartHost(bool loadAddIns = true) {
        // Each client start is a new process on the real machine: the
        // module's once-per-process state starts afresh.
        heartbeat::ResetForTesting();
        logs::ResetForTesting();
        win::ResetTrayForTesting();
        host::HostOptions options;
        options.userDirectory = m_user;
        options.loadAddIns = loadAddIns;
        std::string error;
        HRESULT hr = host::OutlookHost::Start(options, &m_host, &error);
        EXPECT_EQ(hr, S_OK) << error;
        return hr;
    }
    void QuitHost() {
        m_commands.reset();
        if (m_host)
            m_host->Quit();
        m_host.reset();
    }
    // Starts the host with the add-in and waits for the engine's start; the
    // user's commands then go through Command.
    void StartEngine() {
        ASSERT_NO_FATAL_FAILURE(Prepare(L"10.0"));
        ASSERT_EQ(StartHost(), S_OK);
        CSyncEngine* engine = g_pEngine.load();
        ASSERT_NE(engine, nullptr);
        ASSERT_TRUE(WaitUntil([&] { return engine->IsStarted(); }, 10000));
        m_commands = std::make_unique<host::HostCommands>(*m_host);
    }
    // A command of the running host's user, run on its UI thread.
    host::CommandResult Command(const std::vector<std::string>& args) {
        host::CommandResult result;
        m_host->RunOnUi([&] { result = m_commands->Execute(args); });
        return result;
    }

    // A default folder's ids, read through the client's object model.
    FolderIds DefaultFolderIds(OlDefaultFolders which) {
        FolderIds ids;
        m_host->RunOnUi([&] {
            CComPtr<MAPIFolder> folder;
            if (m_host->Application()->NameSpace()->GetDefaultFolder(which, &folder) != S_OK)
                return;
            CComBSTR entry, store;
            folder->get_EntryID(&entry);
            folder->get_StoreID(&store);
            ids.entryId = entry.View();
            ids.storeId = store.View();
        });
        return ids;
    }
    // Opens a folder's Properties dialog; the captions of the pages added.
    std::vector<std::wstring> PropertiesPages(const std::function<HRESULT(MAPIFolder**)>& open) {
        std::vector<std::wstring> titles;
        m_host->RunOnUi([&] {
            CComPtr<MAPIFolder> folder;
            if (FAILED(open(&folder)) || !folder) {
                titles.push_back(L"<no folder>");
                return;
            }
            outlook::PropertyPageList* view = nullptr;
            CComPtr<PropertyPages> pages = outlook::CreatePropertyPages(&view);
            m_host->Application()->FireFolderOptionsPagesAdd(pages, folder);
            for (const auto& e : view->Entries())
                titles.push_back(e.title);
        });
        return titles;
    }
    std::vector<std::wstring> DefaultFolderPages(OlDefaultFolders which) {
        return PropertiesPages([&](MAPIFolder** out) {
            return m_host->Application()->NameSpace()->GetDefaultFolder(which, out);
        });
    }

    std::string TempFile(const char* name) const { return m_temp + "/" + name; }
    // A log or the settings text, whose lines end in CR LF on disk, with
    // plain "\n" line ends.
    std::string TextFile(const char* name) const {
        std::string text = ReadFile(TempFile(name));
        std::string out;
        for (std::size_t i = 0; i < text.size(); ++i)
            if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n'))
                out.push_back(text[i]);
        return out;
    }
    std::string DebugLog() const { return TextFile("Quillmere_debug.log"); }
    bool DebugLogHas(const std::string& line, ULONGLONG limitMs = kLimitMs) const {
        return WaitUntil([&] { return DebugLog().find(line) != std::string::npos; }, limitMs);
    }
    std::vector<win::ShellExecuteCall> RuleHelperStarts() {
        std::lock_guard lock(g_seenLock);
        std::vector<win::ShellExecuteCall> starts;
        for (const auto& c : m_shellCalls)
            if (c.file.size() >= wcslen(kRuleHelper) &&
                c.file.compare(c.file.size() - wcslen(kRuleHelper), std::wstring::npos,
                               kRuleHelper) == 0)
                starts.push_back(c);
        return starts;
    }
    std::optional<win::TrayIcon> AddinTrayIcon() {
        for (const auto& icon : win::TrayIcons())
            if (icon.callbackMessage == 1224)  // WM_USER + 200: the add-in's icon
                return icon;
        return std::nullopt;
    }
    void SetConnectionMode(LONG mode) {
        host::HostProfile profile;
        std::string error;
        ASSERT_EQ(host::LoadHostProfile(m_user, L"Ann", &profile, &error), S_OK) << error;
        profile.description.connectionMode = mode;
        ASSERT_EQ(profile.description.Save(profile.profilePath), S_OK);
    }

    TempRoot m_root;
    std::string m_user;
    std::string m_temp;
    std::string m_dataDir;
    std::unique_ptr<host::OutlookHost> m_host;
    std::vector<win::ShellExecuteCall> m_shellCalls;  // under g_seenLock
    std::unique_ptr<host::HostCommands> m_commands;
};

TEST_F(AddinOnHostTest, ConnectionRotatesLogsAndPreparesItsFiles) {
    ASSERT_NO_FATAL_FAILURE(Prepare(L"10.0"));
    // Six earlier runs: the current log and five older ones.
    WriteFile(TempFile("Quillmere_debug.log"), "run 6\n");
    for (int i = 1; i <= 5; ++i)
        WriteFile(TempFile(("Quillmere_debug-" + std::to_string(i) + ".log").c_str()),
                  "run " + std::to_string(6 - i) + "\n");
    WriteFile(TempFile("Quillmere_error.log"), "old error\n");
    WriteFile(TempFile("Quillmere_settings.txt"), "old settings\n");
    // The add-in's working files of a run that did not end well.
    fs::create_directories(m_dataDir);
    WriteFile(m_dataDir + "/sync.zuf", "left over");

    ASSERT_EQ(StartHost(), S_OK);
    CSyncEngine* engine = g_pEngine.load();
    ASSERT_NE(engine, nullptr) << "the connection created the engine";
    EXPECT_TRUE(engine->IsReady()) << "an Outlook 2002 is ready at once";
    EXPECT_FALSE(engine->IsModernMode());
    EXPECT_EQ(engine->OpenFlags().vt, VT_I4);
    EXPECT_EQ(engine->OpenFlags().lVal, 0x10);

    for (int i = 1; i <= 5; ++i)
        EXPECT_EQ(ReadFile(TempFile(("Quillmere_debug-" + std::to_string(i) + ".log").c_str())),
                  "run " + std::to_string(7 - i) + "\n")
            << "debug-" << i;
    EXPECT_FALSE(fs::exists(TempFile("Quillmere_debug-6.log")));
    EXPECT_EQ(ReadFile(TempFile("Quillmere_error.log")).find("old error"), std::string::npos);
    EXPECT_EQ(ReadFile(TempFile("Quillmere_settings.txt")).find("old settings"), std::string::npos);
    EXPECT_TRUE(fs::is_directory(m_dataDir)) << m_dataDir;
    EXPECT_EQ(win::PathToUtf8(engine->DataDirectory()),
              win::PathToUtf8(win::WindowsPath(m_dataDir)) + "\\");
    EXPECT_EQ(engine->CabinetPath(), engine->DataDirectory() + L"sync.zuf");
    EXPECT_EQ(engine->ShareFilePath(), engine->DataDirectory() + L"share.syn");
    EXPECT_TRUE(RuleHelperStarts().empty()) << "any DWORD of the mark counts as set";
    EXPECT_EQ(ConfigDword(L"rulecreator_was_set"), std::optional<DWORD>(7));

    QuitHost();
    EXPECT_EQ(g_pEngine.load(), nullptr);
    EXPECT_FALSE(fs::exists(m_dataDir + "/sync.zuf")) << "Quit deletes the working files";
    std::string log = DebugLog();
    EXPECT_NE(log.find("Shutdown.SyncFolders.."), std::string::npos) << log;
    EXPECT_NE(log.find("Shutdown.ready"), std::string::npos) << log;
}

TEST_F(AddinOnHostTest, RuleHelperStartsOnceForAConfigKeyWithoutTheMark) {
    ASSERT_NO_FATAL_FAILURE(Prepare(L"10.0", true, false));
    EXPECT_FALSE(ConfigDword(L"rulecreator_was_set"));
    ASSERT_EQ(StartHost(), S_OK);
    std::vector<win::ShellExecuteCall> starts = RuleHelperStarts();
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0].verb, L"open");
    EXPECT_EQ(starts[0].parameters, L"");
    EXPECT_EQ(starts[0].showCmd, SW_HIDE);
    EXPECT_EQ(starts[0].directory + kRuleHelper, starts[0].file)
        << "the module directory is the working directory";
    EXPECT_EQ(starts[0].hostProgram, QM_BINARY_DIR "/bin/RulePlanterx64")
        << "the helper of the install directory";
    EXPECT_GT(starts[0].result, 32);
    EXPECT_EQ(ConfigDword(L"rulecreator_was_set"), std::optional<DWORD>(1));
    EXPECT_TRUE(DebugLogHas("IF (Outlook > 11) RuleCreated")) << DebugLog();
    QuitHost();

    ASSERT_EQ(StartHost(), S_OK);  // the mark is there now
    QuitHost();
    EXPECT_EQ(RuleHelperStarts().size(), 1u);
}

TEST_F(AddinOnHostTest, RuleHelperNeverStartsWithoutAConfigKey) {
    ASSERT_NO_FATAL_FAILURE(Prepare(L"10.0", false));
    ASSERT_EQ(StartHost(), S_OK);
    ASSERT_NE(g_pEngine.load(), nullptr);
    QuitHost();
    ASSERT_EQ(StartHost(), S_OK);
    QuitHost();
    EXPECT_TRUE(RuleHelperStarts().empty());
    EXPECT_FALSE(ConfigDword(L"rulecreator_was_set"));
}

TEST_F(AddinOnHostTest, FirstTickStartsTheEngineWhichWritesTheSettingsText) {
    ASSERT_NO_FATAL_FAILURE(Prepare(L"10.0"));
    ASSERT_EQ(StartHost(false), S_OK);  // without the add-in: the calendar's ids
    FolderIds calendar = DefaultFolderIds(olFolderCalendar);
    ASSERT_FALSE(calendar.entryId.empty());
    QuitHost();
    ConfigureFolder(calendar, L"team");

    ASSERT_EQ(StartHost(), S_OK);
    DWORD connected = GetTickCount();
    CSyncEngine* engine = g_pEngine.load();
    ASSERT_NE(engine, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return engine->IsStarted(); }, 10000));
    // StartThreads follows the configuration load.
    ASSERT_TRUE(WaitUntil([&] { return engine->GetSyncState() == kSyncStateIdle; }, 10000));
    // The start ran at the first 3-s tick, which also set the first deadline.
    DWORD firstTick = heartbeat::DueTime() - kHeartbeatRecheckInterval;
    EXPECT_EQ(firstTick - connected, 3000u);
    EXPECT_EQ(engine->GetFolderCount(), 1u);

    std::string settings = TextFile("Quillmere_settings.txt");
    const char* expected[] = {
        "Global:\n",
        "- Debugger in use",
        "\n\nSettings on each folder:\n\n",
        "\n+SharedFolder: Calendar -> team\n",
        " Filter:DontSyncPrivateItems[false]\n",
        " Filter:SyncOnlyPrivateItems[false]\n",
        " Filter:DontSyncMeetingRequests[true]\n",
        " Filter:DontSyncHolidayItems[false]\n",
        " Folder isn't passwordprotected\n",
    };
    std::size_t at = 0;
    for (const char* line : expected) {
        std::size_t found = settings.find(line, at);
        EXPECT_NE(found, std::string::npos) << "'" << line << "' in order in:\n" << settings;
        if (found != std::string::npos)
            at = found + std::strlen(line);
    }
    std::string log = DebugLog();
    for (const char* line : {"--------ADDFOLDER--------", "PRF==PRF",
                             "GetSetting:Add folder:", "--------FOLDERADDED--------"})
        EXPECT_NE(log.find(line), std::string::npos) << line << " in\n" << log;
    EXPECT_EQ(log.find("Using OL2000-OL2002 mode"), std::string::npos)
        << "the engine's constructor writes before the first connection of the process reads "
           "the debug switch";
    std::string errors = ReadFile(TempFile("Quillmere_error.log"));
    EXPECT_EQ(errors.rfind("START\r\n", 0), 0u) << "the first report is its context alone:\n"
                                                << errors;
}

// The first re-check at the first 3-s tick past the deadline (the 41st tick
// lands on it, the 42nd is past it); each later one at the first 10-s tick
// past the next deadline, which the 12th tick reaches and the 13th passes.
TEST_F(AddinOnHostTest, OutboxRecheckComesAtTheFirstTickPastEach120sDeadline) {
    ASSERT_NO_FATAL_FAILURE(Prepare(L"10.0"));
    ASSERT_EQ(StartHost(), S_OK);
    const DWORD connected = GetTickCount();
    ASSERT_TRUE(WaitUntil([] { return g_pEngine.load() && g_pEngine.load()->IsStarted(); }, 10000));
    // The first tick set the first deadline, 120 s after itself.
    DWORD firstDue = heartbeat::DueTime();
    EXPECT_EQ(firstDue, connected + 3000 + kHeartbeatRecheckInterval);
    EXPECT_TRUE(RecheckTicks().empty()) << "the start's tick runs no re-check";
    ASSERT_TRUE(WaitUntil([] { return RecheckTicks().size() >= 3; }, kLimitMs));
    std::vector<DWORD> ticks = RecheckTicks();
    QuitHost();
    ASSERT_EQ(ticks.size(), 3u);
    EXPECT_EQ(ticks[0] - firstDue, 3000u);
    EXPECT_EQ(ticks[1] - ticks[0], 130000u);
    EXPECT_EQ(ticks[2] - ticks[1], 130000u);
}

// Outlook started 60 s before the 32-bit tick count wraps (49.7 days of
// uptime): the first deadline lies past the wrap, numerically below the
// ticks that come before it, and must still be 120 s away.
TEST_F(AddinOnHostTest, RecheckDeadlineAcrossTheTickCountWrapComparesUnsigned) {
    ASSERT_NO_FATAL_FAILURE(Prepare(L"10.0"));
    constexpr ULONGLONG kWrap = 0x100000000ull;
    ULONGLONG now = GetTickCount64();
    ULONGLONG start = (now / kWrap + 1) * kWrap - 60000;  // the clock only moves on
    if (start <= now)
        start += kWrap;
    win::SetTickCountForTesting(start);
    ASSERT_EQ(StartHost(), S_OK);
    ASSERT_TRUE(WaitUntil([] { return g_pEngine.load() && g_pEngine.load()->IsStarted(); }, 10000));
    DWORD firstDue = heartbeat::DueTime();
    DWORD firstTick = firstDue - kHeartbeatRecheckInterval;
    EXPECT_GT(firstTick, 0xFFFF0000u) << "the first tick came before the wrap";
    EXPECT_LT(firstDue, kHeartbeatRecheckInterval) << "its deadline lies past the wrap";
    ASSERT_TRUE(WaitUntil([] { return !RecheckTicks().empty(); }, kLimitMs));
    std::vector<DWORD> ticks = RecheckTicks();
    QuitHost();
    // No re-check before the deadline, though every tick before the wrap is
    // numerically above it: the first is at the 42nd tick, as without a wrap.
    EXPECT_EQ(ticks[0] - firstDue, 3000u);
}

TEST_F(AddinOnHostTest, ModernOutlookWaitsOfflineUntilTheProfileGoesOnline) {
    ASSERT_NO_FATAL_FAILURE(Prepare(L"14.0.4760"));
    ASSERT_NO_FATAL_FAILURE(SetConnectionMode(300));  // cached offline
    ASSERT_EQ(StartHost(), S_OK);
    CSyncEngine* engine = g_pEngine.load();
    ASSERT_NE(engine, nullptr);
    EXPECT_TRUE(engine->IsModernMode());
    EXPECT_EQ(engine->OpenFlags().lVal, 0x210);
    ASSERT_TRUE(DebugLogHas("Waiting for Init...")) << DebugLog();
    EXPECT_TRUE(DebugLogHas("Offline|Disconnected|CachedOffline|CachedDisconnected"));
    // Several heartbeat ticks and log-on looks later: still offline.
    Sleep(12000);
    EXPECT_FALSE(engine->IsReady());
    EXPECT_FALSE(engine->IsStarted());
    EXPECT_EQ(engine->GetSyncState(), kSyncStateOffline);
    EXPECT_EQ(DefaultFolderPages(olFolderCalendar), std::vector<std::wstring>{});
    EXPECT_TRUE(DebugLogHas("can't show dlg (waiting for init)")) << DebugLog();
    std::vector<outlook::PageEntry> options;
    m_host->RunOnUi([&] {
        outlook::PropertyPageList* view = nullptr;
        CComPtr<PropertyPages> pages = outlook::CreatePropertyPages(&view);
        m_host->Application()->FireOptionsPagesAdd(pages);
        options = view->Entries();
    });
    ASSERT_EQ(options.size(), 1u) << "the Options page is offered before the start too";
    EXPECT_EQ(options[0].title, L"Quillmere");
    ASSERT_EQ(options[0].page.vt, VT_BSTR);
    EXPECT_EQ(std::wstring(options[0].page.bstrVal), L"Quillmere.ExtProppage");

    ASSERT_NO_FATAL_FAILURE(SetConnectionMode(800));  // online
    ASSERT_TRUE(WaitUntil([&] { return engine->IsReady(); }, kLimitMs));
    EXPECT_TRUE(DebugLogHas("Mission Possible")) << DebugLog();
    ASSERT_TRUE(WaitUntil([&] { return engine->IsStarted(); }, 10000));
    EXPECT_TRUE(WaitUntil([&] { return engine->GetSyncState() == kSyncStateIdle; }, 10000));
    QuitHost();
    EXPECT_EQ(TextFile("Quillmere_error.log").rfind("START\n", 0), 0u);
}

TEST_F(AddinOnHostTest, FolderPageIsOfferedOnlyForOrdinaryFoldersAfterTheStart) {
    ASSERT_NO_FATAL_FAILURE(Prepare(L"10.0"));
    ASSERT_EQ(StartHost(), S_OK);
    CSyncEngine* engine = g_pEngine.load();
    ASSERT_NE(engine, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return engine->IsStarted(); }, 10000));

    // The first dialog makes the add-in folder beside the Inbox.
    EXPECT_EQ(DefaultFolderPages(olFolderCalendar), std::vector<std::wstring>{L"Quillmere"});
    EXPECT_TRUE(DebugLogHas("Quillmere folder created"));
    struct Case {
        const char* name;
        OlDefaultFolders folder;
    } cases[] = {{"Inbox", olFolderInbox},
                 {"Outbox", olFolderOutbox},
                 {"Sent Items", olFolderSentMail},
                 {"Deleted Items", olFolderDeletedItems},
                 {"Drafts", olFolderDrafts}};
    for (const Case& c : cases)
        EXPECT_EQ(DefaultFolderPages(c.folder), std::vector<std::wstring>{}) << c.name;
    EXPECT_EQ(PropertiesPages([&](MAPIFolder** out) { return engine->GetAddinFolder(out); }),
              std::vector<std::wstring>{})
        << "the add-in folder";
    EXPECT_EQ(DefaultFolderPages(olFolderContacts), std::vector<std::wstring>{L"Quillmere"});
    EXPECT_EQ(DefaultFolderPages(olFolderTasks), std::vector<std::wstring>{L"Quillmere"});
    EXPECT_EQ(DebugLog().find("can't show dlg (waiting for init)"), std::string::npos);

    // New mail asks the importer for a pass over the default inbox.
    engine->m_mainInboxRequest = false;
    m_host->RunOnUi([&] { m_host->Application()->FireNewMail(); });
    EXPECT_TRUE(engine->m_mainInboxRequest.load());
    EXPECT_TRUE(DebugLogHas("standard-inbox evt"));
    QuitHost();
}

// The helper library was removed after the installation: the engine's start
// can't make its utilities object, tells the user in the UI language and has
// Outlook disconnect the add-in through its COMAddIn record.
TEST_F(AddinOnHostTest, UnregisteredHelperLibraryShowsTheBoxAndDisconnectsTheAddin) {
    ASSERT_NO_FATAL_FAILURE(Prepare(L"10.0"));
    SetConfigDword(L"LCID", 0x0407);
    HMODULE rdo = LoadLibraryW(L"P:\\QuillmereRDO.dll");
    ASSERT_NE(rdo, nullptr);
    auto unregisterRdo = reinterpret_cast<DllRegisterServerFn>(
        reinterpret_cast<void (*)()>(GetProcAddress(rdo, "DllUnregisterServer")));
    ASSERT_NE(unregisterRdo, nullptr);
    ASSERT_EQ(unregisterRdo(), S_OK);
    win::ClearMessageBoxCalls();

    ASSERT_EQ(StartHost(), S_OK);
    CSyncEngine* engine = g_pEngine.load();
    ASSERT_NE(engine, nullptr);
    EXPECT_EQ(engine->Session(), nullptr);
    ASSERT_TRUE(WaitUntil([] { return !win::MessageBoxCalls().empty(); }, 10000));
    EXPECT_TRUE(engine->IsStarted()) << "the start wanted the utilities object";
    VARIANT_BOOL connected = VARIANT_TRUE;
    m_host->RunOnUi([&] {
        CComPtr<COMAddIns> addIns;
        CComPtr<COMAddIn> record;
        CComVariant progId(L"Quillmere.Connect");
        if (m_host->Application()->Application()->get_COMAddIns(&addIns) == S_OK &&
            addIns->Item(&progId, &record) == S_OK)
            record->get_Connect(&connected);
    });
    EXPECT_EQ(connected, VARIANT_FALSE);
    // Every box is the same one, whichever thread failed.
    for (const win::MessageBoxCall& box : win::MessageBoxCalls()) {
        EXPECT_EQ(box.owner, nullptr);
        EXPECT_EQ(box.type, static_cast<UINT>(MB_OK));
        EXPECT_EQ(box.text, L"Quillmere");
        EXPECT_EQ(box.caption, L"QuillmereRDO.dll ist nicht korrekt registriert");
    }
    QuitHost();
    std::string errors = TextFile("Quillmere_error.log");
    EXPECT_NE(errors.find("no session Interface"), std::string::npos) << errors;
    EXPECT_NE(errors.find("ERROR: QuillmereRDO.dll may be not registered: 0x0"), std::string::npos)
        << errors;
}

// Quit while an exchange thread still runs: one balloon when mails wait,
// none otherwise, and the client ends only after the thread did, at the
// first of Quit's 3-s polls after the thread's end (10 s into the quit).
TEST_F(AddinOnHostTest, QuitWaitsForExchangeThreadsAndTellsOfQueuedMails) {
    ASSERT_NO_FATAL_FAILURE(Prepare(L"10.0"));
    struct Case {
        LONG pending;
        std::size_t balloons;
    } cases[] = {{2, 1}, {0, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pending);
        ASSERT_EQ(StartHost(), S_OK);
        ASSERT_TRUE(
            WaitUntil([] { return g_pEngine.load() && g_pEngine.load()->IsStarted(); }, 10000));
        g_pendingMails = c.pending;
        IncrementRunningThreadCount();  // an exchange thread that is slow to end
        std::atomic<bool> threadEnded{false};
        std::atomic<DWORD> stopSeen{0};
        win::testing::PlatformThread exchange([&] {
            WaitUntil([] { return StopFlag.load(); }, kLimitMs);
            stopSeen = GetTickCount();
            Sleep(10000);
            threadEnded = true;
            DecrementRunningThreadCount();
        });
        const DWORD quit = GetTickCount();
        QuitHost();
        EXPECT_TRUE(threadEnded) << "Quit returned before the exchange thread ended";
        EXPECT_EQ(stopSeen.load(), quit) << "Quit raised StopFlag at once";
        EXPECT_EQ(GetTickCount() - quit, 12000u);
        exchange.Join();
        std::vector<win::TrayBalloon> balloons = win::TrayBalloonHistory();
        ASSERT_EQ(balloons.size(), c.balloons);
        if (c.balloons) {
            EXPECT_EQ(balloons[0].title, L"Quillmere");
            EXPECT_EQ(balloons[0].text, L"There are more Mails to send.");
            EXPECT_EQ(balloons[0].infoFlags, static_cast<DWORD>(NIIF_INFO | NIIF_NOSOUND));
            EXPECT_EQ(balloons[0].timeoutMs, 10000u);
        }
        EXPECT_FALSE(AddinTrayIcon()) << "Quit removed the icon";
        g_pendingMails = 0;
    }
}

TEST_F(AddinOnHostTest, TrayDoubleClicksStopResumeAndRestartTheHeartbeat) {
    ASSERT_NO_FATAL_FAILURE(Prepare(L"10.0"));
    ASSERT_EQ(StartHost(), S_OK);
    CSyncEngine* engine = g_pEngine.load();
    ASSERT_NE(engine, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return engine->IsStarted(); }, 10000));
    std::optional<win::TrayIcon> icon = AddinTrayIcon();
    ASSERT_TRUE(icon);
    auto tip = [&] {
        std::optional<win::TrayIcon> now = win::FindTrayIcon(icon->hwnd, icon->id);
        return now ? now->tip : L"<gone>";
    };

    ASSERT_TRUE(win::SimulateTrayMouse(icon->hwnd, icon->id, WM_LBUTTONDBLCLK));
    ASSERT_TRUE(WaitUntil([&] { return engine->m_stopped.load(); }, 5000));
    EXPECT_TRUE(WaitUntil([&] { return tip() == L"QMRX Start"; }, 5000)) << win::ToUtf8(tip());
    EXPECT_TRUE(DebugLogHas("QMRX has stopped"));
    // Frozen while stopped: the icon timer leaves the tooltip alone.
    Sleep(5000);
    EXPECT_EQ(tip(), L"QMRX Start");

    ASSERT_TRUE(win::SimulateTrayMouse(icon->hwnd, icon->id, WM_LBUTTONDBLCLK));
    ASSERT_TRUE(WaitUntil([&] { return !engine->m_stopped.load(); }, 5000));
    EXPECT_TRUE(
        WaitUntil([&] { return tip() == L"Quillmere Stop" || tip() == L"Quillmere"; }, 5000))
        << win::ToUtf8(tip());

    // A right double-click makes the heartbeat tick 100 ms later, which
    // restarts the 120-s period from that tick and leaves out that re-check.
    DWORD before = heartbeat::DueTime();
    DWORD clicked = GetTickCount();
    ASSERT_TRUE(win::SimulateTrayMouse(icon->hwnd, icon->id, WM_RBUTTONDBLCLK));
    ASSERT_TRUE(DebugLogHas("rdblclick tray"));
    ASSERT_TRUE(WaitUntil([&] { return heartbeat::DueTime() != before; }, 5000));
    EXPECT_EQ(GetTickCount() - clicked, kHeartbeatFastPeriod);
    EXPECT_EQ(heartbeat::DueTime() - clicked, kHeartbeatFastPeriod + kHeartbeatRecheckInterval);
    EXPECT_TRUE(RecheckTicks().empty()) << "the fast tick runs no re-check";
    QuitHost();
}

}  // namespace

namespace {

// `outlook-host props --set` fills the folder page in as a person would:
// what a disabled control or a ">>" that stays disabled refuses is refused.
TEST_F(AddinOnHostTest, FolderPageFieldsAreFilledInThroughTheControls) {
    ASSERT_NO_FATAL_FAILURE(StartEngine());
    auto props = [&](std::vector<std::string> sets) {
        std::vector<std::string> args{"props", "Tasks"};
        for (const std::string& set : sets)
            args.insert(args.end(), {"--set", set});
        args.push_back("--apply");
        return Command(args).text;
    };
    const std::string refused = "refused: a value was refused (E_INVALIDARG, 0x80070057)";
    // Disabled until the folder is synchronised.
    EXPECT_NE(props({"ShareName=team"}).find("ShareName = team " + refused), std::string::npos);
    const std::string out =
        props({"used=1", "sharename=team", "Password=pw", "Users=bob@example.org", "Users=ab",
               "Users=amy@example.org", "Users=-amy@example.org", "Users=-nobody",
               "CategoriesFilter=Blue", "DONT_SYNC_PRIV_ITEMS=0", "DONT_SYNC_HOLIDAY_ITEMS=0"});
    EXPECT_NE(out.find("Users = ab " + refused), std::string::npos) << out;
    EXPECT_NE(out.find("Users = -nobody " + refused), std::string::npos) << out;
    // A task folder keeps its holiday switch disabled.
    EXPECT_NE(out.find("DONT_SYNC_HOLIDAY_ITEMS = 0 " + refused), std::string::npos) << out;
    EXPECT_NE(out.find("Users = bob@example.org\n"), std::string::npos) << out;
    EXPECT_NE(out.find("applied"), std::string::npos) << out;
    // The folder's key holds what the page applied.
    FolderIds tasks = DefaultFolderIds(olFolderTasks);
    const std::wstring key = L"Software\\Brindlecast\\Quillmere\\Folders\\" + tasks.entryId;
    HKEY folder = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, KEY_READ, &folder), ERROR_SUCCESS);
    // Text values hold two bytes a character.
    BYTE bytes[128] = {};
    DWORD size = sizeof bytes, type = 0;
    ASSERT_EQ(RegQueryValueExW(folder, L"ShareName", nullptr, &type, bytes, &size), ERROR_SUCCESS);
    std::wstring share;
    for (DWORD i = 0; i + 1 < size && (bytes[i] || bytes[i + 1]); i += 2)
        share += static_cast<wchar_t>(bytes[i] | (bytes[i + 1] << 8));
    EXPECT_EQ(share, L"team");
    DWORD flag = 9;
    size = sizeof flag;
    RegQueryValueExW(folder, L"DONT_SYNC_PRIV_ITEMS", nullptr, &type,
                     reinterpret_cast<BYTE*>(&flag), &size);
    EXPECT_EQ(flag, 0u);
    HKEY users = nullptr;
    ASSERT_EQ(RegOpenKeyExW(folder, L"Users", 0, KEY_READ, &users), ERROR_SUCCESS);
    WCHAR name[64] = {};
    DWORD nameLength = 64;
    ASSERT_EQ(RegEnumKeyExW(users, 0, name, &nameLength, nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(std::wstring(name), L"bob@example.org");
    nameLength = 64;
    EXPECT_NE(RegEnumKeyExW(users, 1, name, &nameLength, nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS)
        << "amy was added and removed again";
    RegCloseKey(users);
    RegCloseKey(folder);
    // The Options page is filled in the same way.
    const host::CommandResult options = Command({"options", "--set", "journal=1", "--apply"});
    EXPECT_NE(options.text.find("journal = 1\n"), std::string::npos) << options.text;
    QuitHost();
}

// The user's pictures of the add-in's pages and of the progress window of a
// basic synchronisation, as `outlook-host picture` saves them.
TEST_F(AddinOnHostTest, PicturesShowThePagesInTheDialogTheTooltipAndTheClosedProgressWindow) {
    ASSERT_NO_FATAL_FAILURE(StartEngine());
    auto run = [&](std::vector<std::string> args) { return Command(args); };
    const std::string options = m_root.Path() + "/options.png";
    const std::string props = m_root.Path() + "/props.png";
    const std::string progress = m_root.Path() + "/progress.png";

    host::CommandResult r = run({"picture", "options", options});
    ASSERT_TRUE(r.ok) << r.text;
    EXPECT_NE(r.text.find("Quillmere.ExtProppage"), std::string::npos) << r.text;
    win::Picture picture;
    ASSERT_TRUE(win::LoadPicture(options, &picture));
    EXPECT_GT(picture.width, 380);
    EXPECT_GT(picture.height, 430);

    // No basic synchronisation yet: no progress window to show.
    r = run({"picture", "progress", progress});
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.text.find("no progress window"), std::string::npos) << r.text;
    ASSERT_TRUE(run({"add", "Tasks", "--subject", "one"}).ok);
    ASSERT_TRUE(run({"add", "Tasks", "--subject", "two"}).ok);
    r = run({"props", "Tasks", "--set", "used=1", "--set", "ShareName=Team", "--set",
             "Users=bob@example.org", "--set", "BASICSYNC=1", "--apply", "--answer", "ok"});
    ASSERT_TRUE(r.ok) << r.text;
    // The address-book button of a shared folder: its tooltip, below the
    // pointer resting on it (a disabled button shows none).
    r = run({"picture", "props", "Tasks", props, "--hover", "1220"});
    ASSERT_TRUE(r.ok) << r.text;
    ASSERT_TRUE(win::LoadPicture(props, &picture));
    int tipPixels = 0;
    const COLORREF tip = RGB(255, 255, 225);  // the tooltip colour of the scheme
    for (int y = 0; y < picture.height; ++y)
        for (int x = 0; x < picture.width; ++x)
            tipPixels += picture.At(x, y) == tip ? 1 : 0;
    EXPECT_GT(tipPixels, 200);
    EXPECT_FALSE(run({"picture", "props", "Tasks", props, "--hover", "9999"}).ok);

    r = run({"picture", "progress", progress});
    ASSERT_TRUE(r.ok) << r.text;
    ASSERT_TRUE(win::LoadPicture(progress, &picture));
    // The bar full at its end, in the bar's green.
    int green = 0;
    for (int y = 0; y < picture.height; ++y)
        for (int x = picture.width * 3 / 4; x < picture.width; ++x) {
            const COLORREF c = picture.At(x, y);
            green += ((c >> 8) & 0xFF) > (c & 0xFF) + 80 ? 1 : 0;
        }
    EXPECT_GT(green, 50);
    QuitHost();
}

// The same add-in in an outlook-host process of its own, as a user runs it.
// That process keeps the real clock, and so does this one for the test: it
// waits for the events themselves (a real bound only tells a hang).
TEST_F(AddinOnHostTest, OutlookHostProcessLoadsTheInstalledAddinAndQuitsIt) {
    win::SetVirtualClockForTesting(false);
    ASSERT_NO_FATAL_FAILURE(Prepare(L"10.0"));
    host::HostProcess ann(kProgram, m_user);
    ASSERT_TRUE(ann.Start(m_root.Path() + "/postoffice")) << ann.Output();
    EXPECT_TRUE(ann.WaitFor({"log"}, "add-in Quillmere.Connect connected", kLimitMs))
        << ann.Command({"log"}).text;
    EXPECT_TRUE(host::testing::WaitUntil(
        [&] { return DebugLog().find("START") != std::string::npos; }, kLimitMs))
        << "the first tick started the engine:\n"
        << DebugLog();
    EXPECT_EQ(ann.Stop(), 0) << ann.Output();
    std::string log = DebugLog();
    EXPECT_NE(log.find("Shutdown.ready"), std::string::npos) << log;
    EXPECT_TRUE(fs::is_directory(m_dataDir));
}

}  // namespace
