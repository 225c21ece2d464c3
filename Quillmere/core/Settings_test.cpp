#include "Quillmere/core/Settings.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "Quillmere/core/AddinGlobals.h"
#include "Quillmere/core/DebugLog.h"
#include "Quillmere/core/FakeHelperLibrary_test.h"
#include "Quillmere/core/FolderObj.h"
#include "Quillmere/core/SyncEngine.h"
#include "platform/win/Clock.h"
#include "platform/win/Environment.h"
#include "platform/win/Files.h"
#include "platform/win/Paths.h"
#include "platform/win/Registry.h"
#include "platform/win/Text.h"

namespace {

namespace fs = std::filesystem;
using fakes::FakeOutlook;
using fakes::FakeSession;
using fakes::FakeStore;

CComPtr<FakeSession> g_session;
int g_cancelCalls = 0;
int g_basicSyncCalls = 0;

HRESULT CreateFake(const wchar_t* progId, REFIID iid, void** out) {
    if (iid == IID_QMRRDOSession && g_session)
        return fakes::Give(g_session, reinterpret_cast<QMRRDOSession**>(out));
    return REGDB_E_CLASSNOTREG;
}

const std::wstring kConfig = L"Software\\Brindlecast\\Quillmere\\Config";
const std::wstring kFolders = L"Software\\Brindlecast\\Quillmere\\Folders";

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/qm_settings_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_dir = tmpl;
        win::SetUserDirectory(m_dir);
        InitializeAddinLocks();
        wchar_t temp[MAX_PATH];
        ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
        m_temp = temp;
        logs::ResetForTesting();
        SetErrorLogPath((m_temp + L"Quillmere_error.log").c_str());
        g_session = com::Make<FakeSession>();
        g_cancelCalls = 0;
        g_basicSyncCalls = 0;
        SetHelperObjectCreatorForTesting(CreateFake);
        SetCancelSendQueueProc([] { ++g_cancelCalls; });
        SetBasicSyncProc([](CSyncEngine*, CFolderObj*) { ++g_basicSyncCalls; });
        auto outlook = std::make_unique<FakeOutlook>();
        m_outlook = outlook.get();
        m_engine = std::make_unique<CSyncEngine>(std::move(outlook),
                                                 (m_temp + L"Quillmere_debug.log").c_str());
        m_engine->SetSettingsTextPath(m_temp + L"Quillmere_settings.txt");
        SetDword(kConfig, L"debug", 1);
        // The first report of a process is the bare context; make every
        // report under test a full line.
        LogHResult(0, "first");
    }
    void TearDown() override {
        m_engine.reset();
        SetHelperObjectCreatorForTesting(nullptr);
        SetCancelSendQueueProc(nullptr);
        SetBasicSyncProc(nullptr);
        g_session.Release();
        DeleteAddinLocks();
        logs::ResetForTesting();
        fs::remove_all(m_dir);
    }

    static HKEY Create(const std::wstring& path, HKEY hive = HKEY_CURRENT_USER) {
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyExW(hive, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                  nullptr),
                  ERROR_SUCCESS);
        return key;
    }
    static void SetDword(const std::wstring& path, const wchar_t* name, DWORD value,
                         HKEY hive = HKEY_CURRENT_USER) {
        HKEY key = Create(path, hive);
        RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                       sizeof value);
        RegCloseKey(key);
    }
    static void SetText(const std::wstring& path, const wchar_t* name, const std::wstring& text) {
        HKEY key = Create(path);
        RegSetValueExW(key, name, 0, REG_SZ, text.c_str(),
                       static_cast<DWORD>((text.size() + 1) * 2));
        RegCloseKey(key);
    }
    static std::optional<DWORD> GetDword(const std::wstring& path, const wchar_t* name) {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
            return std::nullopt;
        DWORD value = 0, type = 0, size = sizeof value;
        LSTATUS status =
            RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
        RegCloseKey(key);
        if (status != ERROR_SUCCESS)
            return std::nullopt;
        return value;
    }
    static std::optional<std::wstring> GetText(const std::wstring& path, const wchar_t* name) {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
            return std::nullopt;
        wchar_t buffer[300] = {};
        DWORD type = 0, size = sizeof buffer / sizeof buffer[0] * 2;
        LSTATUS status = RegQueryValueExW(key, name, nullptr, &type, buffer, &size);
        RegCloseKey(key);
        if (status != ERROR_SUCCESS)
            return std::nullopt;
        return std::wstring(buffer);
    }
    static bool KeyExists(const std::wstring& path) {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
            return false;
        RegCloseKey(key);
        return true;
    }

    // A folder key and, unless outlookName is empty, the Outlook folder it names.
    void AddFolder(const std::wstring& entryId, const std::wstring& share,
                   const std::wstring& outlookName = L"Calendar",
                   const std::wstring& storeId = L"AA01") {
        std::wstring path = kFolders + L"\\" + entryId;
        SetDword(path, L"used", 1);
        SetText(path, L"SID", storeId);
        SetText(path, L"ShareName", share);
        if (!outlookName.empty())
            m_outlook->folders[entryId] = {storeId, outlookName};
    }

    std::string Read(const std::wstring& name) {
        std::ifstream in(*win::HostPath(m_temp + name), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    std::string SettingsText() { return Read(L"Quillmere_settings.txt"); }
    std::string DebugLog() { return Read(L"Quillmere_debug.log"); }
    std::string ErrorLog() { return Read(L"Quillmere_error.log"); }

    std::vector<std::wstring> ShareNames() {
        std::vector<std::wstring> names;
        for (DWORD i = 0; CFolderObj* f = m_engine->GetFolderEntry(i, true); ++i)
            names.push_back(f->m_shareName);
        return names;
    }

    std::string m_dir;
    std::wstring m_temp;
    FakeOutlook* m_outlook = nullptr;
    std::unique_ptr<CSyncEngine> m_engine;
};

struct ProfileCase {
    const char* name;
    std::optional<std::wstring> profil;  // nullopt: no `Profil` value
    bool matches;
};

class ProfileMatchTest : public SettingsTest, public ::testing::WithParamInterface<ProfileCase> {};

TEST_P(ProfileMatchTest, FolderBelongsToProfileByProfil) {
    g_session->profileName = L"Outlook";
    AddFolder(L"00F1", L"team");
    if (GetParam().profil)
        SetText(kFolders + L"\\00F1", L"Profil", *GetParam().profil);
    LoadSettings(m_engine.get(), false);
    if (GetParam().matches) {
        ASSERT_EQ(ShareNames(), std::vector<std::wstring>{L"team"});
        EXPECT_TRUE(m_engine->GetFolderEntry(0, false)) << "a loaded folder is started";
    } else {
        EXPECT_TRUE(ShareNames().empty());
        EXPECT_NE(DebugLog().find("Profile not matched"), std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, ProfileMatchTest,
                         ::testing::Values(ProfileCase{"Missing", std::nullopt, true},
                                           ProfileCase{"Empty", std::wstring(L""), true},
                                           ProfileCase{"OtherCase", std::wstring(L"outlook"), true},
                                           ProfileCase{"SameCase", std::wstring(L"Outlook"), true},
                                           ProfileCase{"OtherProfile", std::wstring(L"Work"),
                                                       false},
                                           ProfileCase{"Prefix", std::wstring(L"Outloo"), false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SettingsTest, VanishedOutlookFolderIsLeftOutAndItsSettingsKept) {
    AddFolder(L"00F1", L"gone", L"");
    AddFolder(L"00F2", L"kept");
    LoadSettings(m_engine.get(), false);
    EXPECT_EQ(ShareNames(), std::vector<std::wstring>{L"kept"});
    EXPECT_NE(ErrorLog().find("ERROR: Folder doesn't exist: MAPI_E_NOT_FOUND"), std::string::npos);
    EXPECT_NE(DebugLog().find("wrong store/fldr deleted gone"), std::string::npos);
    EXPECT_EQ(GetText(kFolders + L"\\00F1", L"ShareName"), L"gone");
}

TEST_F(SettingsTest, FolderOfAStoreNoLongerInTheProfileIsLeftOut) {
    AddFolder(L"00F1", L"moved");
    m_outlook->folders[L"00F1"].storeId = L"BB02";  // the folder lives elsewhere now
    LoadSettings(m_engine.get(), false);
    EXPECT_TRUE(ShareNames().empty());
    EXPECT_TRUE(KeyExists(kFolders + L"\\00F1"));
}

TEST_F(SettingsTest, AlternateInboxBecomesKindTwoWithoutExchange) {
    AddFolder(L"00F1", L"", L"Inbox of Bob", L"BB02");
    SetDword(kFolders + L"\\00F1", L"ISALTERNATEINBOX", 1);
    auto store = com::Make<FakeStore>();
    store->entryId = L"BB02";
    store->kind = 4;
    g_session->stores->stores.push_back(store);
    g_session->connectionMode = 800;
    g_session->exchangeVersion = L"14.0.0.0";
    LoadSettings(m_engine.get(), false);
    CFolderObj* folder = m_engine->GetFolderEntry(0, true);
    ASSERT_NE(folder, nullptr);
    EXPECT_EQ(folder->Kind(), CFolderObj::kAlternateInbox);
    EXPECT_FALSE(folder->IsExchange());
    EXPECT_TRUE(folder->Sink()->m_alternateStore);
    EXPECT_NE(SettingsText().find("\r\n+SpecialInbox: Inbox of Bob\r\n"), std::string::npos);
}

struct ExchangeCase {
    const char* name;
    LONG connectionMode;
    const wchar_t* exchangeVersion;
    LONG storeKind;
    bool storeKnown;
    bool exchange;
    const char* logLine;
};

class ExchangeConfirmationTest : public SettingsTest,
                                 public ::testing::WithParamInterface<ExchangeCase> {};

TEST_P(ExchangeConfirmationTest, ExchangeFolderIsConfirmedByStoreKind) {
    const ExchangeCase& c = GetParam();
    AddFolder(L"00F1", L"team", L"Calendar", L"AA01");
    g_session->connectionMode = c.connectionMode;
    g_session->exchangeVersion = c.exchangeVersion;
    if (c.storeKnown) {
        auto store = com::Make<FakeStore>();
        store->entryId = L"AA01";
        store->kind = c.storeKind;
        g_session->stores->stores.push_back(store);
    }
    LoadSettings(m_engine.get(), false);
    CFolderObj* folder = m_engine->GetFolderEntry(0, true);
    ASSERT_NE(folder, nullptr) << "a helper failure only makes the folder count as not Exchange";
    EXPECT_EQ(folder->Kind(), CFolderObj::kSharedFolder);
    EXPECT_EQ(folder->IsExchange(), c.exchange);
    EXPECT_EQ(folder->Sink()->m_isExchange, c.exchange);
    if (c.logLine[0]) {
        EXPECT_NE((DebugLog() + ErrorLog()).find(c.logLine), std::string::npos) << c.logLine;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ExchangeConfirmationTest,
    ::testing::Values(
        ExchangeCase{"NoExchangeMode", 0, L"14.0", 3, true, false, "ConMode: 0"},
        ExchangeCase{"NoVersion", 800, L"", 3, true, false, "USING PST MODE, exchangeversion=NULL"},
        ExchangeCase{"Mailbox", 800, L"14.0", 3, true, true, "ExchangeVersion:  14.0"},
        ExchangeCase{"OtherUsersMailbox", 600, L"14.0", 4, true, true, ""},
        ExchangeCase{"PublicFolders", 800, L"14.0", 5, true, true, ""},
        ExchangeCase{"PersonalStore", 800, L"14.0", 2, true, false,
                     "This Store is Not an Exchange Store."},
        ExchangeCase{"OtherKind", 800, L"14.0", 6, true, false,
                     "This Store is Not an Exchange Store."},
        ExchangeCase{"StoreMissing", 800, L"14.0", 3, false, false, "ERROR: No Store"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SettingsTest, SecondProfileWithoutFoldersRegistersOtherInboxesAsAlternate) {
    g_session->profileName = L"Home";
    AddFolder(L"00F1", L"team");
    SetText(kFolders + L"\\00F1", L"Profil", L"Work");
    struct StoreSpec {
        const wchar_t* id;
        const wchar_t* name;
        LONG kind;
        const wchar_t* inboxId;
        bool registered;
    };
    const StoreSpec specs[] = {
        {L"ST00", L"Default", 2, L"IN00", false},  // the default store
        {L"ST01", L"Family", 2, L"IN01", true},   {L"ST02", L"Archive", 2, L"IN02", false},
        {L"ST03", L"Archiv", 2, L"IN03", false},  {L"ST04", L"Boss", 4, L"IN04", false},
        {L"ST05", L"Public", 5, L"IN05", false},  {L"ST06", L"Other", 6, L"IN06", false},
        {L"ST07", L"archive", 1, L"IN07", true},  // only the exact names are skipped
        {L"ST08", L"NoInbox", 2, nullptr, false},
    };
    for (const StoreSpec& spec : specs) {
        auto store = com::Make<FakeStore>();
        store->entryId = spec.id;
        store->name = spec.name;
        store->kind = spec.kind;
        if (spec.inboxId) {
            store->inbox = com::Make<fakes::FakeFolder>();
            store->inbox->entryId = spec.inboxId;
            store->inbox->name = L"Inbox";
        }
        g_session->stores->stores.push_back(store);
    }
    LoadSettings(m_engine.get(), false);
    EXPECT_TRUE(ShareNames().empty()) << "phase 2 creates no folder objects";
    for (const StoreSpec& spec : specs) {
        if (!spec.inboxId)
            continue;
        std::wstring path = kFolders + L"\\" + spec.inboxId;
        ASSERT_EQ(KeyExists(path), spec.registered) << win::ToUtf8(spec.name);
        if (!spec.registered)
            continue;
        EXPECT_EQ(GetDword(path, L"used"), 1u);
        EXPECT_EQ(GetText(path, L"SID"), spec.id);
        EXPECT_EQ(GetText(path, L"Profil"), L"Home");
        EXPECT_EQ(GetDword(path, L"ISALTERNATEINBOX"), 1u);
        EXPECT_EQ(GetText(path, L"Foldername"), L"Inbox");
        EXPECT_EQ(GetText(path, L"Storename"), spec.name);
    }
}

TEST_F(SettingsTest, MatchingFolderSkipsPhaseTwo) {
    AddFolder(L"00F1", L"team");
    auto store = com::Make<FakeStore>();
    store->entryId = L"ST01";
    store->inbox = com::Make<fakes::FakeFolder>();
    store->inbox->entryId = L"IN01";
    store->inbox->name = L"Inbox";
    g_session->stores->stores.push_back(com::Make<FakeStore>());
    g_session->stores->stores.push_back(store);
    LoadSettings(m_engine.get(), false);
    EXPECT_FALSE(KeyExists(kFolders + L"\\IN01"));
}

TEST_F(SettingsTest, PacketSettingsDefaultToThirtyAndNinety) {
    m_engine->m_packetCount = 1;
    m_engine->m_packetTime = 1;
    LoadSettings(m_engine.get(), false);
    EXPECT_EQ(m_engine->m_packetCount.load(), 30u);
    EXPECT_EQ(m_engine->m_packetTime.load(), 90u);

    SetDword(kConfig, L"bs_collect_count", 12);
    SetDword(kConfig, L"bs_collect_time", 40);
    LoadSettings(m_engine.get(), false);
    EXPECT_EQ(m_engine->m_packetCount.load(), 12u);
    EXPECT_EQ(m_engine->m_packetTime.load(), 40u);
}

TEST_F(SettingsTest, ValueOfAnotherTypeCountsAsMissing) {
    SetText(kConfig, L"bs_collect_count", L"12");
    SetText(kConfig, L"desktopnotification", L"1");
    m_engine->m_desktopNotification = true;
    LoadSettings(m_engine.get(), false);
    EXPECT_EQ(m_engine->m_packetCount.load(), 30u);
    EXPECT_FALSE(m_engine->m_desktopNotification.load());
}

TEST_F(SettingsTest, BreakBasicSyncEmptiesTheQueueOnceAndIsReset) {
    SetDword(kConfig, L"breakBasicSync", 1);
    LoadSettings(m_engine.get(), false);
    EXPECT_TRUE(m_engine->m_breakBasicSync.load());
    EXPECT_EQ(g_cancelCalls, 1);
    EXPECT_EQ(GetDword(kConfig, L"breakBasicSync"), 0u);
    EXPECT_NE(DebugLog().find("BasicSync was canceled"), std::string::npos);

    LoadSettings(m_engine.get(), false);
    EXPECT_FALSE(m_engine->m_breakBasicSync.load());
    EXPECT_EQ(g_cancelCalls, 1);
}

TEST_F(SettingsTest, StoredBasicSyncIsResetAndRunsOnlyOnReload) {
    AddFolder(L"00F1", L"team");
    SetDword(kFolders + L"\\00F1", L"BASICSYNC", 1);
    LoadSettings(m_engine.get(), false);
    EXPECT_EQ(GetDword(kFolders + L"\\00F1", L"BASICSYNC"), 0u);
    EXPECT_EQ(g_basicSyncCalls, 0);

    while (CFolderObj* f = m_engine->RemoveFirstFolder())
        delete f;
    SetDword(kFolders + L"\\00F1", L"BASICSYNC", 1);
    LoadSettings(m_engine.get(), true);
    EXPECT_EQ(GetDword(kFolders + L"\\00F1", L"BASICSYNC"), 0u);
    EXPECT_EQ(g_basicSyncCalls, 1);
    EXPECT_NE(DebugLog().find("--------BASICSYNC--------"), std::string::npos);
}

TEST_F(SettingsTest, ExchangeFolderLoadsItsScanStateBeforeTheBasicSync) {
    // Two folders of one Exchange mailbox, each with a stored scan state.
    g_session->connectionMode = 800;
    g_session->exchangeVersion = L"14.0";
    auto store = com::Make<FakeStore>();
    store->entryId = L"AA01";
    store->kind = 3;
    g_session->stores->stores.push_back(store);
    std::wstring data = m_temp + L"data\\";
    ASSERT_TRUE(CreateDirectoryW(data.c_str(), nullptr));
    m_engine->SetDataPaths(data);
    for (const wchar_t* id : {L"00F1", L"00F2"}) {
        AddFolder(id, std::wstring(L"share") + id);
        std::ofstream(*win::HostPath(data + id + L".syncdata.ids"), std::ios::binary)
            << std::string("S\0T\0", 4) << win::ToUtf8(id).back() << '\0';
    }
    SetDword(kFolders + L"\\00F2", L"BASICSYNC", 1);
    static std::vector<std::pair<std::wstring, std::wstring>> seen;  // share name, state
    seen.clear();
    SetBasicSyncProc([](CSyncEngine*, CFolderObj* folder) {
        seen.emplace_back(folder->m_shareName, folder->IcsState());
        EXPECT_EQ(folder->ExchangeBasicSync(), 0);
        EXPECT_FALSE(folder->IsRunning()) << "the basic sync runs before the folder's thread";
    });
    g_pEngine = m_engine.get();
    win::SetVirtualClockForTesting(true);  // the Exchange folder threads' waits
    LoadSettings(m_engine.get(), true);
    while (CFolderObj* f = m_engine->RemoveFirstFolder())
        delete f;
    win::SetVirtualClockForTesting(false);
    g_pEngine = nullptr;
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].first, L"share00F2");
    EXPECT_EQ(seen[0].second, L"ST2") << "the state of the folder's own file";
}

TEST_F(SettingsTest, GlobalFlagsAndSpecialSender) {
    SetDword(kConfig, L"journal", 1);
    SetDword(kConfig, L"removereminder", 1);
    SetDword(kConfig, L"setImportAsPrivate", 2);  // only 1 switches a flag on
    SetDword(kConfig, L"desktopnotification", 1);
    SetText(kConfig, L"From", L"office@example.org");
    SetDword(kConfig + L"\\Outlook", L"MailAccount", 3);
    LoadSettings(m_engine.get(), false);
    EXPECT_TRUE(m_engine->m_journal.load());
    EXPECT_TRUE(m_engine->m_removeReminder.load());
    EXPECT_FALSE(m_engine->m_importAsPrivate.load());
    EXPECT_TRUE(m_engine->m_desktopNotification.load());
    EXPECT_EQ(m_engine->SpecialSender(), L"office@example.org");
    EXPECT_EQ(m_engine->GetMailAccountIndex(), 3);
    EXPECT_TRUE(m_engine->m_mainInboxRequest.load());
    EXPECT_TRUE(m_engine->m_alternateInboxRequest.load());

    g_session->profileName = L"Work";
    LoadSettings(m_engine.get(), false);
    EXPECT_EQ(m_engine->GetMailAccountIndex(), -1) << "another profile has no account";
}

TEST_F(SettingsTest, OverlongSpecialSenderIsRefused) {
    SetText(kConfig, L"From", std::wstring(300, L'a'));
    LoadSettings(m_engine.get(), false);
    EXPECT_EQ(m_engine->SpecialSender(), std::nullopt);
}

TEST_F(SettingsTest, SettingsTextSummarisesTheLoad) {
    AddFolder(L"00F1", L"team");
    SetText(kFolders + L"\\00F1", L"Password", L"secret");
    SetDword(kFolders + L"\\00F1", L"SYNC_ONLY_PRIV_ITEMS", 1);
    SetDword(kFolders + L"\\00F1", L"DONT_SYNC_HOLIDAY_ITEMS", 1);
    SetText(kConfig, L"From", L"a@b.c");
    LoadSettings(m_engine.get(), false);
    EXPECT_EQ(SettingsText(),
              "Global:\r\n- SpecialSenderAddress: a@b.c\r\n- Debugger in use"
              "\r\n\r\nSettings on each folder:\r\n\r\n"
              "\r\n+SharedFolder: Calendar -> team\r\n"
              " Filter:DontSyncPrivateItems[false]\r\n"
              " Filter:SyncOnlyPrivateItems[true]\r\n"
              " Filter:DontSyncMeetingRequests[false]\r\n"
              " Filter:DontSyncHolidayItems[true]\r\n"
              " Folder is passwordprotected\r\n");
    CFolderObj* folder = m_engine->GetFolderEntry(0, true);
    ASSERT_NE(folder, nullptr);
    EXPECT_EQ(folder->m_password, L"secret");
    EXPECT_TRUE(folder->Sink()->m_syncOnlyPrivateItems);
    EXPECT_TRUE(folder->Sink()->m_dontSyncHolidayItems);
    EXPECT_EQ(folder->Sink()->m_shareName, L"team");
    EXPECT_EQ(folder->Sink()->m_entryId, L"00F1");
    EXPECT_EQ(folder->Sink()->m_storeId, L"AA01");

    LoadSettings(m_engine.get(), false);
    EXPECT_EQ(SettingsText().find("Global:"), SettingsText().rfind("Global:"))
        << "every load starts the summary anew";
}

TEST_F(SettingsTest, DontSyncPrivateItemsHidesSyncOnlyPrivate) {
    AddFolder(L"00F1", L"team");
    SetDword(kFolders + L"\\00F1", L"DONT_SYNC_PRIV_ITEMS", 1);
    SetDword(kFolders + L"\\00F1", L"SYNC_ONLY_PRIV_ITEMS", 1);
    LoadSettings(m_engine.get(), false);
    CFolderObj* folder = m_engine->GetFolderEntry(0, true);
    ASSERT_NE(folder, nullptr);
    EXPECT_TRUE(folder->Sink()->m_dontSyncPrivateItems);
    EXPECT_FALSE(folder->Sink()->m_syncOnlyPrivateItems);
    EXPECT_EQ(SettingsText().find("SyncOnlyPrivateItems"), std::string::npos);
}

TEST_F(SettingsTest, DuplicateShareNameGivesTheFirstFoldersFlag) {
    AddFolder(L"00F1", L"team");
    AddFolder(L"00F2", L"team");
    SetDword(kFolders + L"\\00F2", L"USEVERSIONCHECK", 1);
    AddFolder(L"00F3", L"other");
    SetDword(kFolders + L"\\00F3", L"USEVERSIONCHECK", 1);
    LoadSettings(m_engine.get(), false);
    EXPECT_EQ(m_engine->GetFolderFlagByName(L"team"), 0);
    EXPECT_EQ(m_engine->GetFolderFlagByName(L"other"), 1);
    EXPECT_EQ(m_engine->GetFolderFlagByName(L"Other"), 0);
}

class ConfiguredLcidTest : public SettingsTest {};

TEST_F(ConfiguredLcidTest, MachineKeyDecidesEvenWithoutValue) {
    SetDword(kConfig, L"LCID", 0x0407);
    EXPECT_EQ(GetConfiguredLCID(), 0x0407u);
    HKEY machine = Create(kConfig, HKEY_LOCAL_MACHINE);
    RegCloseKey(machine);
    EXPECT_EQ(GetConfiguredLCID(), GetThreadLocale());
    SetDword(kConfig, L"LCID", 0x040C, HKEY_LOCAL_MACHINE);
    EXPECT_EQ(GetConfiguredLCID(), 0x040Cu);
    SetDword(kConfig, L"LCID", 0xFFFFFFFF, HKEY_LOCAL_MACHINE);
    EXPECT_EQ(GetConfiguredLCID(), GetThreadLocale());
}

TEST_F(ConfiguredLcidTest, NoKeyGivesTheThreadLocale) {
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Brindlecast\\Quillmere", 0,
                            KEY_ALL_ACCESS, &key),
              ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteTreeW(key, L"Config"), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(GetConfiguredLCID(), GetThreadLocale());
}

}  // namespace
