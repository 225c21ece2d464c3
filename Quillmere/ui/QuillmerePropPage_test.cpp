#include "Quillmere/ui/QuillmerePropPage.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Quillmere/core/AddinGlobals.h"
#include "Quillmere/core/AddinServer.h"
#include "Quillmere/core/DebugLog.h"
#include "Quillmere/core/FakeHelperLibrary_test.h"
#include "Quillmere/core/FolderObj.h"
#include "Quillmere/core/ItemsEvents.h"
#include "Quillmere/core/Settings.h"
#include "Quillmere/core/SyncEngine.h"
#include "Quillmere/exchange/DelMailSender.h"
#include "Quillmere/tracking/Categories.h"
#include "Quillmere/ui/PageTestSupport_test.h"
#include "platform/com/Bstr.h"
#include "platform/com/Com.h"
#include "platform/com/OleObject.h"
#include "platform/win/Controls.h"
#include "platform/win/Dialog.h"
#include "platform/win/DialogTestSupport.h"
#include "platform/win/Files.h"
#include "platform/win/Gdi.h"
#include "platform/win/ImageList.h"
#include "platform/win/Keys.h"
#include "platform/win/MessageBox.h"
#include "platform/win/Paths.h"
#include "platform/win/Registry.h"
#include "platform/win/Shell.h"
#include "platform/win/TestMachine.h"
#include "platform/win/Theme.h"
#include "platform/win/UserInput.h"
#include "platform/win/WindowCoordinates.h"

namespace {

namespace fp = ui::folderpage;
using fakes::FakeDispatch;
using fakes::OutText;
using pagetest::Create;
using pagetest::kConfig;
using pagetest::KeyExists;
using pagetest::kFolders;
using pagetest::MakeKey;
using pagetest::PageSession;
using pagetest::SetDword;
using pagetest::SetString;
using pagetest::Subkeys;
using win::testing::TextOf;

const std::wstring kEntryId = L"00F1";
const std::wstring kFolderKey = kFolders + L"\\" + kEntryId;
const std::wstring kDataDir = L"C:\\Data\\";

// --- Test doubles ---------------------------------------------------------------

// The Outlook folder whose Properties dialog shows the page.
class FakeOlFolder final : public FakeDispatch<FakeOlFolder, MAPIFolder> {
public:
    std::optional<std::wstring> entryId = L"00F1", storeId = L"AA01", name = L"Calendar",
                                messageClass = L"IPM.Appointment";

    static HRESULT Out(const std::optional<std::wstring>& v, BSTR* out) {
        return v ? OutText(*v, out) : E_FAIL;
    }
    HRESULT get_Application(_Application** a) override { return *a = nullptr, E_NOTIMPL; }
    HRESULT get_Parent(IDispatch** p) override { return *p = nullptr, E_NOTIMPL; }
    HRESULT get_EntryID(BSTR* v) override { return Out(entryId, v); }
    HRESULT get_StoreID(BSTR* v) override { return Out(storeId, v); }
    HRESULT get_Name(BSTR* v) override { return Out(name, v); }
    HRESULT put_Name(BSTR) override { return E_NOTIMPL; }
    HRESULT get_Folders(_Folders** f) override { return *f = nullptr, E_NOTIMPL; }
    HRESULT get_Items(_Items** i) override { return *i = nullptr, E_NOTIMPL; }
    HRESULT get_DefaultItemType(OlItemType*) override { return E_NOTIMPL; }
    HRESULT get_DefaultMessageClass(BSTR* v) override { return Out(messageClass, v); }
    HRESULT get_Store(_Store** s) override { return *s = nullptr, E_NOTIMPL; }
    HRESULT Delete() override { return E_NOTIMPL; }
    HRESULT get_MAPIOBJECT(IUnknown** o) override { return *o = nullptr, E_NOTIMPL; }
};

class Recipient final : public FakeDispatch<Recipient, QMRRecipient> {
public:
    explicit Recipient(std::wstring a) : address(std::move(a)) {}
    HRESULT GetName(BSTR* n) override { return OutText(address, n); }
    HRESULT GetAddress(BSTR* a) override { return OutText(address, a); }
    HRESULT GetResolved(VARIANT_BOOL* r) override { return *r = VARIANT_TRUE, S_OK; }
    std::wstring address;
};

class RecipientList final : public FakeDispatch<RecipientList, QMRRecipients> {
public:
    std::vector<std::wstring> addresses;
    HRESULT GetCount(LONG* c) override { return *c = static_cast<LONG>(addresses.size()), S_OK; }
    HRESULT Item(LONG i, QMRRecipient** r) override {
        *r = com::Make<Recipient>(addresses.at(static_cast<std::size_t>(i - 1))).Detach();
        return S_OK;
    }
    HRESULT Add(BSTR, QMRRecipient** r) override { return *r = nullptr, E_NOTIMPL; }
    HRESULT ResolveAll(VARIANT_BOOL*) override { return E_NOTIMPL; }
};

// The utilities whose address book the page opens; records the arguments.
class AddressBookUtils final : public FakeDispatch<AddressBookUtils, QMRMAPIUtils> {
public:
    std::vector<std::wstring> chosen;
    std::vector<CComVariant> arguments;
    HRESULT HrGetOneProp(IUnknown*, ULONG, VARIANT*) override { return E_NOTIMPL; }
    HRESULT HrSetOneProp(IUnknown*, ULONG, VARIANT, VARIANT_BOOL) override { return E_NOTIMPL; }
    HRESULT GetIDsFromNames(IUnknown*, BSTR, VARIANT, VARIANT_BOOL, ULONG*) override {
        return E_NOTIMPL;
    }
    HRESULT CompareEntryIDs(BSTR, BSTR, VARIANT_BOOL*) override { return E_NOTIMPL; }
    HRESULT BinaryToText(VARIANT, BSTR*) override { return E_NOTIMPL; }
    HRESULT TextToBinary(BSTR, VARIANT*) override { return E_NOTIMPL; }
    HRESULT ConvertModificationTime(VARIANT, DATE*) override { return E_NOTIMPL; }
    HRESULT AddressBookDialog(VARIANT a1, VARIANT a2, VARIANT a3, VARIANT a4, VARIANT a5,
                              VARIANT a6, VARIANT a7, VARIANT a8, VARIANT a9,
                              QMRRecipients** r) override {
        for (const VARIANT* v : {&a1, &a2, &a3, &a4, &a5, &a6, &a7, &a8, &a9})
            arguments.emplace_back(*v);
        auto list = com::Make<RecipientList>();
        list->addresses = chosen;
        *r = list.Detach();
        return S_OK;
    }
    HRESULT GetVersion(BSTR* v) override { return OutText(L"5.0.0.1", v); }
    HRESULT Cleanup() override { return S_OK; }
};

struct EngineState {
    bool exists = true;
    int restarts = 0;
    // Runs at each restart, as the running folder objects save their state
    // when they go.
    std::function<void()> onRestart;
};

class FakeEngine final : public ui::IFolderPageEngine {
public:
    FakeEngine(EngineState& s, QMRRDOSession* session) : m_state(s), m_session(session) {}
    bool Exists() override { return m_state.exists; }
    QMRRDOSession* Session() override { return m_session; }
    std::wstring ModuleDirectory() override { return L"C:\\Addin\\"; }
    std::wstring DataDirectory() override { return kDataDir; }
    std::wstring ModuleVersion() override { return L"4.2.17"; }
    void RestartThreads() override {
        ++m_state.restarts;
        if (m_state.onRestart)
            m_state.onRestart();
    }

private:
    EngineState& m_state;
    QMRRDOSession* m_session;
};

CComPtr<AddressBookUtils> g_utils;
CComPtr<fakes::FakeSession> g_engineSession;

HRESULT CreateHelper(const wchar_t* progId, REFIID iid, void** out) {
    *out = nullptr;
    if (std::wstring(progId) == L"QuillmereRDOx.QMRMAPIUtils" && iid == IID_QMRMAPIUtils && g_utils)
        return fakes::Give(g_utils, reinterpret_cast<QMRMAPIUtils**>(out));
    if (iid == IID_QMRRDOSession && g_engineSession)
        return fakes::Give(g_engineSession, reinterpret_cast<QMRRDOSession**>(out));
    return REGDB_E_CLASSNOTREG;
}

// --- Registry helpers -------------------------------------------------------------

// What a value holds: its type, byte size and, for DWORDs, the number, for
// texts the units without the terminator.
struct Value {
    DWORD type = 0;
    DWORD size = 0;
    DWORD number = 0;
    std::wstring text;
};

std::optional<Value> GetValue(const std::wstring& path, const wchar_t* name) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return std::nullopt;
    Value v;
    DWORD size = 0;
    LSTATUS s = RegQueryValueExW(key, name, nullptr, &v.type, nullptr, &size);
    if (s == ERROR_SUCCESS && v.type == REG_DWORD) {
        v.size = sizeof v.number;
        s = RegQueryValueExW(key, name, nullptr, &v.type, reinterpret_cast<BYTE*>(&v.number),
                             &v.size);
    } else if (s == ERROR_SUCCESS) {
        std::vector<wchar_t> buffer(size / 2 + 1, L'\0');
        v.size = size;
        s = RegQueryValueExW(key, name, nullptr, &v.type, buffer.data(), &v.size);
        v.text.assign(buffer.data(), v.size / 2 > 0 ? v.size / 2 - 1 : 0);
    }
    RegCloseKey(key);
    return s == ERROR_SUCCESS ? std::optional<Value>(v) : std::nullopt;
}

// --- Fixture -------------------------------------------------------------------

class QuillmerePropPageTest
    : public pagetest::PageFixture<ui::CQuillmerePropPage, ui::IFolderPageEngine> {
protected:
    void SetUp() override {
        g_UILanguage = 0x0409;
        CoInitializeEx(nullptr, 0);
        InitializeAddinLocks();
        logs::ResetForTesting();
        wchar_t temp[MAX_PATH];
        ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
        m_temp = temp;
        SetErrorLogPath((m_temp + L"Quillmere_error.log").c_str());
        SetDebugLogPath((m_temp + L"Quillmere_debug.log").c_str());
        LogHResult(0, "first");  // later reports are whole lines
        win::ClearMessageBoxCalls();
        // The user presses Enter on every message box.
        win::SetMessageBoxHandler([](const win::MessageBoxCall& call) {
            return win::DefaultMessageBoxAnswer(call.type);
        });
        m_folder = com::Make<FakeOlFolder>();
        SetLatestPropertiesFolder(static_cast<IDispatch*>(m_folder.p));
        m_session = com::Make<PageSession>();
        SetHelperObjectCreatorForTesting(CreateHelper);
    }
    void TearDown() override {
        m_page.Release();
        SetLatestPropertiesFolder(nullptr);
        SetHelperObjectCreatorForTesting(nullptr);
        g_utils.Release();
        g_engineSession.Release();
        win::SetShellExecuteObserver({});
        win::SetMessageBoxHandler({});
        DebugSwitch = false;
        DeleteAddinLocks();
        logs::ResetForTesting();
        CoUninitialize();
    }

    // Makes the page as Outlook does: instance, client site, window.
    void Open(HWND parent = nullptr) {
        OpenPage(std::make_unique<FakeEngine>(m_engine, m_session), parent);
    }
    bool Enabled(int id) { return IsWindowEnabled(Item(id)) != FALSE; }
    std::vector<std::wstring> Entries(int listId) {
        return pagetest::Entries(Item(listId), LB_GETCOUNT, LB_GETTEXT);
    }
    std::vector<std::wstring> ComboEntries(int comboId) {
        return pagetest::Entries(Item(comboId), CB_GETCOUNT, CB_GETLBTEXT);
    }
    // Replaces a field's text as a person would: empty it, then type.
    void Type(int id, const std::wstring& text) {
        SetWindowTextW(Item(id), L"");
        ASSERT_TRUE(win::TypeText(Item(id), text)) << id;
    }
    void AddUser(const std::wstring& address) {
        Type(fp::kUserCombo, address);
        ASSERT_TRUE(win::ClickButton(Item(fp::kAddUserButton)))
            << "add " << std::string(address.begin(), address.end());
    }
    bool KeyDown(int target, WORD key) {
        MSG msg{};
        msg.hwnd = Item(target);
        msg.message = WM_KEYDOWN;
        msg.wParam = key;
        return m_page->PreTranslateAccelerator(&msg);
    }
    // A configured, synchronised folder key.
    void StoreFolder(const std::wstring& entryId, const std::wstring& share) {
        const std::wstring path = kFolders + L"\\" + entryId;
        SetDword(path, L"used", 1);
        SetString(path, L"ShareName", share);
    }
    std::vector<std::wstring> MessageTexts() {
        std::vector<std::wstring> out;
        for (const auto& call : win::MessageBoxCalls())
            out.push_back(call.caption + L"|" + call.text);
        return out;
    }

    // An engine of the profile "Work" whose Outlook knows the page's folder
    // under name, after it loaded the configuration as a reload does; each
    // basic synchronisation it starts counts in *basicSyncs.
    std::unique_ptr<CSyncEngine> LoadEngine(const std::wstring& name, int* basicSyncs) {
        g_engineSession = com::Make<fakes::FakeSession>();
        g_engineSession->profileName = L"Work";
        auto outlook = std::make_unique<fakes::FakeOutlook>();
        outlook->folders[kEntryId] = {L"AA01", name};
        static int* s_basicSyncs = nullptr;
        s_basicSyncs = basicSyncs;
        SetBasicSyncProc([](CSyncEngine*, CFolderObj*) { ++*s_basicSyncs; });
        auto engine = std::make_unique<CSyncEngine>(std::move(outlook),
                                                    (m_temp + L"Quillmere_debug.log").c_str());
        engine->SetSettingsTextPath(m_temp + L"Quillmere_settings.txt");
        LoadSettings(engine.get(), true);
        SetBasicSyncProc(nullptr);
        return engine;
    }

    std::wstring m_temp;
    EngineState m_engine;
    CComPtr<FakeOlFolder> m_folder;
    CComPtr<PageSession> m_session;
};

// --- Opening -------------------------------------------------------------------

TEST_F(QuillmerePropPageTest, NeverConfiguredFolderShowsTheDefaults) {
    Open();
    EXPECT_FALSE(Checked(fp::kSyncFolderCheck));
    EXPECT_FALSE(Checked(fp::kAlternateInboxCheck));
    EXPECT_EQ(TextOf(Item(fp::kShareNameEdit)), L"Calendar_sync");
    EXPECT_EQ(TextOf(Item(fp::kPasswordEdit)), L"");
    EXPECT_EQ(TextOf(Item(fp::kCategoryCombo)), L"");
    EXPECT_TRUE(Checked(fp::kDontSyncPrivateCheck));
    EXPECT_FALSE(Checked(fp::kSyncOnlyPrivateCheck));
    EXPECT_TRUE(Checked(fp::kDontSyncMeetingsCheck));
    EXPECT_TRUE(Checked(fp::kDontSyncHolidaysCheck));
    EXPECT_FALSE(Checked(fp::kBasicSyncCheck));
    for (int id :
         {fp::kShareNameEdit, fp::kPasswordEdit, fp::kUserCombo, fp::kUserList,
          fp::kAddressBookButton, fp::kFilterCombo, fp::kFilterList, fp::kDontSyncPrivateCheck,
          fp::kSyncOnlyPrivateCheck, fp::kDontSyncMeetingsCheck, fp::kDontSyncHolidaysCheck,
          fp::kVersionCheckCheck, fp::kCategoryCombo, fp::kBasicSyncCheck, fp::kAddUserButton,
          fp::kRemoveUserButton, fp::kAddFilterButton, fp::kRemoveFilterButton})
        EXPECT_FALSE(Enabled(id)) << id;
    EXPECT_EQ(TextOf(Item(fp::kSyncFolderCheck)), L"Synchronize this folder");
    EXPECT_EQ(TextOf(Item(fp::kSyncOnlyPrivateCheck)),
              L"sync only items which are marked as \"private\"");
    EXPECT_EQ(TextOf(Item(fp::kVersionText)), L"Version 4.2.17");
    // Filling the fields is no change of the user's; the site hears of the
    // clean state.
    EXPECT_EQ(Dirty(), VARIANT_FALSE);
    EXPECT_GE(m_statusChanges, 1);
    EXPECT_FALSE(m_page->IsAdminLocked());
}

TEST_F(QuillmerePropPageTest, FolderWithoutReadableNameProposesTheFixedShareName) {
    m_folder->name.reset();
    Open();
    EXPECT_EQ(TextOf(Item(fp::kShareNameEdit)), L"Freigabename");
}

TEST_F(QuillmerePropPageTest, StoredFolderShowsItsValuesAndLists) {
    SetDword(kFolderKey, L"used", 1);
    SetDword(kFolderKey, L"USEVERSIONCHECK", 1);
    SetDword(kFolderKey, L"DONT_SYNC_PRIV_ITEMS", 0);
    SetDword(kFolderKey, L"SYNC_ONLY_PRIV_ITEMS", 1);
    SetDword(kFolderKey, L"DONT_SYNC_BSP_ITEMS", 0);
    SetString(kFolderKey, L"DONT_SYNC_HOLIDAY_ITEMS", L"0");  // not a DWORD: 1
    SetDword(kFolderKey, L"BASICSYNC", 1);
    SetString(kFolderKey, L"ShareName", L"team_cal");
    SetString(kFolderKey, L"Password", L"s3cret", true, REG_EXPAND_SZ);
    SetString(kFolderKey, L"Categorie", L"Work");
    MakeKey(kFolderKey + L"\\Users\\bob@example.org");
    MakeKey(kFolderKey + L"\\Users\\amy@example.org");
    MakeKey(kFolderKey + L"\\CategoriesFilter\\Blue");
    Open();
    EXPECT_TRUE(Checked(fp::kSyncFolderCheck));
    EXPECT_TRUE(Checked(fp::kVersionCheckCheck));
    EXPECT_FALSE(Checked(fp::kDontSyncPrivateCheck));
    EXPECT_TRUE(Checked(fp::kSyncOnlyPrivateCheck));
    EXPECT_FALSE(Enabled(fp::kDontSyncPrivateCheck));  // exclusive with 279
    EXPECT_TRUE(Enabled(fp::kSyncOnlyPrivateCheck));
    EXPECT_FALSE(Checked(fp::kDontSyncMeetingsCheck));
    EXPECT_TRUE(Checked(fp::kDontSyncHolidaysCheck));
    EXPECT_FALSE(Checked(fp::kBasicSyncCheck)) << "the page doesn't show a pending request";
    EXPECT_EQ(TextOf(Item(fp::kShareNameEdit)), L"team_cal");
    EXPECT_EQ(TextOf(Item(fp::kPasswordEdit)), L"s3cret");
    EXPECT_EQ(TextOf(Item(fp::kCategoryCombo)), L"Work");
    EXPECT_EQ(Entries(fp::kUserList),
              (std::vector<std::wstring>{L"amy@example.org", L"bob@example.org"}));
    EXPECT_EQ(Entries(fp::kFilterList), std::vector<std::wstring>{L"Blue"});
    EXPECT_TRUE(Enabled(fp::kRemoveUserButton));
    EXPECT_TRUE(Enabled(fp::kRemoveFilterButton));
    EXPECT_TRUE(Enabled(fp::kShareNameEdit));
    EXPECT_FALSE(Enabled(fp::kAlternateInboxCheck));
    EXPECT_EQ(Dirty(), VARIANT_FALSE);
}

TEST_F(QuillmerePropPageTest, PasswordWithoutTerminatorShowsEmpty) {
    struct Case {
        const wchar_t* name;
        bool terminated;
        DWORD type;
        const wchar_t* shown;
    } cases[] = {{L"abc", true, REG_SZ, L"abc"},
                 {L"abc", false, REG_SZ, L""},
                 {L"abc", true, REG_BINARY, L""},
                 {L"", false, REG_SZ, L""}};
    for (const Case& c : cases) {
        SetDword(kFolderKey, L"used", 1);
        SetString(kFolderKey, L"Password", c.name, c.terminated, c.type);
        Open();
        EXPECT_EQ(TextOf(Item(fp::kPasswordEdit)), c.shown) << c.name << c.terminated;
    }
}

TEST_F(QuillmerePropPageTest, AlternateInboxShowsSyncUncheckedAndEmptyLists) {
    m_folder->messageClass = L"IPM.Note";
    SetDword(kFolderKey, L"used", 1);
    SetDword(kFolderKey, L"ISALTERNATEINBOX", 1);
    MakeKey(kFolderKey + L"\\Users\\bob@example.org");
    Open();
    EXPECT_TRUE(Checked(fp::kAlternateInboxCheck));
    EXPECT_FALSE(Checked(fp::kSyncFolderCheck));
    EXPECT_TRUE(Entries(fp::kUserList).empty());
    EXPECT_TRUE(Enabled(fp::kAlternateInboxCheck));
    EXPECT_FALSE(Enabled(fp::kShareNameEdit));
}

// What the folder's kind enables, before and after "Synchronize this folder".
TEST_F(QuillmerePropPageTest, FolderKindDecidesTheRequestAndHolidayFiltersAndTheInboxChoice) {
    struct Case {
        const wchar_t* messageClass;
        const wchar_t* requestText;
        bool meetingsWhenSynced, holidaysWhenSynced, inboxWhenNotSynced, mail;
    } cases[] = {
        {L"IPM.Appointment", L"Do not synchronize meeting requests", true, true, false, false},
        {L"IPM.Task", L"Do not synchronize task requests", true, false, false, false},
        {L"IPM.Contact", L"Do not synchronize meeting requests", false, false, false, false},
        {L"IPM.Note", L"Do not synchronize meeting requests", false, false, true, true},
        {L"ipm.note.custom", L"Do not synchronize meeting requests", false, false, true, true},
        {L"IPM.Post", L"Do not synchronize meeting requests", false, false, false, true},
    };
    for (const Case& c : cases) {
        m_folder->messageClass = c.messageClass;
        Open();
        const std::string name(c.messageClass, c.messageClass + wcslen(c.messageClass));
        EXPECT_EQ(TextOf(Item(fp::kDontSyncMeetingsCheck)), c.requestText) << name;
        EXPECT_EQ(Enabled(fp::kAlternateInboxCheck), c.inboxWhenNotSynced) << name;
        EXPECT_FALSE(Enabled(fp::kDontSyncMeetingsCheck)) << name;
        ASSERT_TRUE(win::ClickButton(Item(fp::kSyncFolderCheck)));
        EXPECT_EQ(Enabled(fp::kDontSyncMeetingsCheck), c.meetingsWhenSynced) << name;
        EXPECT_EQ(Enabled(fp::kDontSyncHolidaysCheck), c.holidaysWhenSynced) << name;
        EXPECT_FALSE(Enabled(fp::kAlternateInboxCheck)) << name;
        EXPECT_EQ(m_page->IsNoteClassFolder(), c.inboxWhenNotSynced) << name;
        EXPECT_EQ(m_page->IsMailFolder(), c.mail) << name;
    }
}

// --- Check boxes ---------------------------------------------------------------

struct InterplayCase {
    const char* name;
    DWORD dontSyncPrivate, syncOnlyPrivate;  // stored; the folder is synchronised
    std::vector<int> clicks;
    std::map<int, bool> checked;
    std::map<int, bool> enabled;
};

class CheckBoxInterplayTest : public QuillmerePropPageTest,
                              public ::testing::WithParamInterface<InterplayCase> {};

TEST_P(CheckBoxInterplayTest, ClicksKeepTheCheckBoxesConsistent) {
    const InterplayCase& c = GetParam();
    m_folder->messageClass = L"IPM.Note";
    SetDword(kFolderKey, L"used", 1);
    SetDword(kFolderKey, L"DONT_SYNC_PRIV_ITEMS", c.dontSyncPrivate);
    SetDword(kFolderKey, L"SYNC_ONLY_PRIV_ITEMS", c.syncOnlyPrivate);
    SetDword(kFolderKey, L"DONT_SYNC_HOLIDAY_ITEMS", 0);
    Open();
    for (int id : c.clicks)
        ASSERT_TRUE(win::ClickButton(Item(id))) << id;
    for (const auto& [id, value] : c.checked)
        EXPECT_EQ(Checked(id), value) << "checked " << id;
    for (const auto& [id, value] : c.enabled)
        EXPECT_EQ(Enabled(id), value) << "enabled " << id;
    EXPECT_EQ(Dirty(), VARIANT_TRUE);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CheckBoxInterplayTest,
    ::testing::Values(
        InterplayCase{"UncheckSyncDisablesAndFreesTheInboxChoice",
                      1,
                      0,
                      {fp::kSyncFolderCheck},
                      {{fp::kSyncFolderCheck, false}},
                      {{fp::kShareNameEdit, false},
                       {fp::kUserList, false},
                       {fp::kBasicSyncCheck, false},
                       {fp::kAlternateInboxCheck, true}}},
        InterplayCase{"InboxUnchecksSync",
                      1,
                      0,
                      {fp::kSyncFolderCheck, fp::kAlternateInboxCheck, fp::kSyncFolderCheck},
                      {{fp::kSyncFolderCheck, true},
                       {fp::kAlternateInboxCheck, false},
                       {fp::kDontSyncPrivateCheck, true},
                       {fp::kDontSyncHolidaysCheck, true}},
                      {{fp::kAlternateInboxCheck, false}, {fp::kShareNameEdit, true}}},
        InterplayCase{"CheckingInboxDisablesTheSyncControls",
                      1,
                      0,
                      {fp::kSyncFolderCheck, fp::kAlternateInboxCheck},
                      {{fp::kAlternateInboxCheck, true}, {fp::kSyncFolderCheck, false}},
                      {{fp::kShareNameEdit, false}, {fp::kAlternateInboxCheck, true}}},
        InterplayCase{"UncheckingInboxEnablesSyncControlsAndItself",
                      1,
                      0,
                      {fp::kSyncFolderCheck, fp::kAlternateInboxCheck, fp::kAlternateInboxCheck},
                      {{fp::kAlternateInboxCheck, false}, {fp::kSyncFolderCheck, false}},
                      {{fp::kShareNameEdit, true}, {fp::kAlternateInboxCheck, true}}},
        InterplayCase{"CheckingPrivateUnchecksAndDisablesSyncOnlyPrivate",
                      0,
                      0,
                      {fp::kDontSyncPrivateCheck},
                      {{fp::kDontSyncPrivateCheck, true}, {fp::kSyncOnlyPrivateCheck, false}},
                      {{fp::kSyncOnlyPrivateCheck, false}}},
        InterplayCase{"UncheckingPrivateEnablesSyncOnlyPrivate",
                      1,
                      0,
                      {fp::kDontSyncPrivateCheck},
                      {{fp::kDontSyncPrivateCheck, false}},
                      {{fp::kSyncOnlyPrivateCheck, true}}},
        InterplayCase{"CheckingSyncOnlyPrivateUnchecksAndDisablesPrivate",
                      0,
                      0,
                      {fp::kSyncOnlyPrivateCheck},
                      {{fp::kSyncOnlyPrivateCheck, true}, {fp::kDontSyncPrivateCheck, false}},
                      {{fp::kDontSyncPrivateCheck, false}}},
        InterplayCase{"SyncChecksPrivateWithoutLookingAtSyncOnlyPrivate",
                      0,
                      1,
                      {fp::kSyncFolderCheck, fp::kSyncFolderCheck},
                      {{fp::kSyncFolderCheck, true},
                       {fp::kDontSyncPrivateCheck, true},
                       {fp::kSyncOnlyPrivateCheck, true},
                       {fp::kDontSyncHolidaysCheck, true}},
                      {{fp::kDontSyncPrivateCheck, false}}}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Partners ------------------------------------------------------------------

TEST_F(QuillmerePropPageTest, PartnerAddButtonNeedsThreeCharacters) {
    SetDword(kFolderKey, L"used", 1);
    Open();
    ASSERT_TRUE(win::TypeText(Item(fp::kUserCombo), L"ab"));
    EXPECT_FALSE(Enabled(fp::kAddUserButton));
    ASSERT_TRUE(win::TypeText(Item(fp::kUserCombo), L"c"));
    EXPECT_TRUE(Enabled(fp::kAddUserButton));
    ASSERT_TRUE(win::TypeText(Item(fp::kUserCombo), L"\b"));
    EXPECT_FALSE(Enabled(fp::kAddUserButton));
}

TEST_F(QuillmerePropPageTest, PartnersAreAddedRemovedAndDuplicatesRefused) {
    SetDword(kFolderKey, L"used", 1);
    Open();
    AddUser(L"bob@example.org");
    AddUser(L"amy@example.org");
    EXPECT_EQ(Entries(fp::kUserList),
              (std::vector<std::wstring>{L"amy@example.org", L"bob@example.org"}));
    EXPECT_EQ(TextOf(Item(fp::kUserCombo)), L"");
    EXPECT_FALSE(Enabled(fp::kAddUserButton));
    EXPECT_EQ(Dirty(), VARIANT_TRUE);
    EXPECT_TRUE(win::MessageBoxCalls().empty());

    // The list compares without regard to case.
    AddUser(L"BOB@example.org");
    EXPECT_EQ(MessageTexts(), std::vector<std::wstring>{L"Error|This address already exists"});
    EXPECT_EQ(win::MessageBoxCalls()[0].type, MB_OK);
    EXPECT_EQ(Entries(fp::kUserList).size(), 2u);
    EXPECT_EQ(TextOf(Item(fp::kUserCombo)), L"");

    EXPECT_FALSE(Enabled(fp::kRemoveUserButton)) << "not before an entry is chosen";
    ASSERT_TRUE(win::SelectListItem(Item(fp::kUserList), 0));
    EXPECT_TRUE(Enabled(fp::kRemoveUserButton));
    ASSERT_TRUE(win::ClickButton(Item(fp::kRemoveUserButton)));
    EXPECT_EQ(Entries(fp::kUserList), std::vector<std::wstring>{L"bob@example.org"});
    EXPECT_TRUE(Enabled(fp::kRemoveUserButton));
    ASSERT_TRUE(win::SelectListItem(Item(fp::kUserList), 0));
    ASSERT_TRUE(win::ClickButton(Item(fp::kRemoveUserButton)));
    EXPECT_TRUE(Entries(fp::kUserList).empty());
    EXPECT_FALSE(Enabled(fp::kRemoveUserButton));
}

TEST_F(QuillmerePropPageTest, PartnerListFocusAndSelectionDriveTheRemoveButton) {
    SetDword(kFolderKey, L"used", 1);
    MakeKey(kFolderKey + L"\\Users\\bob@example.org");
    Open();
    ASSERT_TRUE(win::SelectListItem(Item(fp::kUserList), 0, true));
    EXPECT_EQ(TextOf(Item(fp::kUserCombo)), L"bob@example.org") << "double-click copies";
    ASSERT_TRUE(win::CancelListSelection(Item(fp::kUserList)));
    EXPECT_TRUE(Enabled(fp::kRemoveUserButton)) << "the list still has entries";
    ASSERT_TRUE(win::FocusControl(Item(fp::kShareNameEdit)));
    EXPECT_FALSE(Enabled(fp::kRemoveUserButton)) << "the list lost the focus";
}

TEST_F(QuillmerePropPageTest, KnownPartnersOfEveryFolderAreOfferedOnce) {
    MakeKey(kFolders + L"\\A1\\Users\\bob@example.org");
    MakeKey(kFolders + L"\\A1\\Users\\amy@example.org");
    MakeKey(kFolders + L"\\B2\\Users\\bob@example.org");
    MakeKey(kFolders + L"\\C3");
    Open();
    EXPECT_EQ(ComboEntries(fp::kUserCombo),
              (std::vector<std::wstring>{L"amy@example.org", L"bob@example.org"}));
    // Choosing one enables ">>" (the edit part is still empty at CBN_SELCHANGE).
    SetDword(kFolderKey, L"used", 1);
    Open();
    ASSERT_TRUE(win::SelectComboItem(Item(fp::kUserCombo), 1));
    EXPECT_TRUE(Enabled(fp::kAddUserButton));
    EXPECT_EQ(TextOf(Item(fp::kUserCombo)), L"bob@example.org");
}

TEST_F(QuillmerePropPageTest, AddressBookAddsTheFirstChosenAddressOnly) {
    SetDword(kFolderKey, L"used", 1);
    g_utils = com::Make<AddressBookUtils>();
    g_utils->chosen = {L"carl@example.org", L"dora@example.org"};
    Open();
    ASSERT_TRUE(win::ClickButton(Item(fp::kAddressBookButton)));
    EXPECT_EQ(Entries(fp::kUserList), std::vector<std::wstring>{L"carl@example.org"});
    EXPECT_EQ(TextOf(Item(fp::kUserCombo)), L"");
    EXPECT_EQ(Dirty(), VARIANT_TRUE);
    ASSERT_EQ(g_utils->arguments.size(), 9u);
    const auto& a = g_utils->arguments;
    for (std::size_t i : {0u, 6u, 7u, 8u}) {
        EXPECT_EQ(a[i].vt, VT_ERROR) << i;
        EXPECT_EQ(a[i].scode, DISP_E_PARAMNOTFOUND) << i;
    }
    ASSERT_EQ(a[1].vt, VT_BSTR);
    EXPECT_EQ(std::wstring(a[1].bstrVal), L"Bitte einen Synchronisationsempfänger wählen!");
    EXPECT_EQ(a[2].vt, VT_I2);
    EXPECT_EQ(a[2].iVal, -1);
    EXPECT_EQ(a[3].vt, VT_I2);
    EXPECT_EQ(a[4].vt, VT_I4);
    EXPECT_EQ(a[4].lVal, 1);
    ASSERT_EQ(a[5].vt, VT_BSTR);
    EXPECT_EQ(std::wstring(a[5].bstrVal), L"SyncEmpfänger");

    // The same address again is refused as a typed one would be.
    ASSERT_TRUE(win::ClickButton(Item(fp::kAddressBookButton)));
    EXPECT_EQ(MessageTexts(), std::vector<std::wstring>{L"Error|This address already exists"});
}

TEST_F(QuillmerePropPageTest, AddressBookButtonDoesNothingWithoutTheHelperLibrary) {
    SetDword(kFolderKey, L"used", 1);
    Open();
    ASSERT_TRUE(win::ClickButton(Item(fp::kAddressBookButton)));
    EXPECT_TRUE(Entries(fp::kUserList).empty());
    EXPECT_EQ(Dirty(), VARIANT_FALSE);
}

// --- Category filter and categories ---------------------------------------------

TEST_F(QuillmerePropPageTest, CategoriesOfTheSessionFillBothCombos) {
    m_session->categories->names = {L"Red", L"", L"Blue"};
    SetDword(kFolderKey, L"used", 1);
    Open();
    const std::vector<std::wstring> expected{L"Blue", L"Red"};
    EXPECT_EQ(ComboEntries(fp::kCategoryCombo), expected);
    EXPECT_EQ(ComboEntries(fp::kFilterCombo), expected);
    m_engine.exists = false;
    Open();
    EXPECT_TRUE(ComboEntries(fp::kCategoryCombo).empty());
}

TEST_F(QuillmerePropPageTest, FilterCategoriesNeedTwoCharactersAndDuplicatesAreIgnored) {
    m_session->categories->names = {L"Green"};
    SetDword(kFolderKey, L"used", 1);
    Open();
    Type(fp::kFilterCombo, L"R");
    EXPECT_FALSE(Enabled(fp::kAddFilterButton));
    ASSERT_TRUE(win::TypeText(Item(fp::kFilterCombo), L"e"));
    EXPECT_TRUE(Enabled(fp::kAddFilterButton));
    ASSERT_TRUE(win::ClickButton(Item(fp::kAddFilterButton)));
    EXPECT_EQ(Entries(fp::kFilterList), std::vector<std::wstring>{L"Re"});
    EXPECT_FALSE(Enabled(fp::kAddFilterButton));
    EXPECT_EQ(Dirty(), VARIANT_TRUE);

    Type(fp::kFilterCombo, L"re");
    ASSERT_TRUE(win::ClickButton(Item(fp::kAddFilterButton)));
    EXPECT_EQ(Entries(fp::kFilterList).size(), 1u);
    EXPECT_TRUE(win::MessageBoxCalls().empty()) << "silently";

    // Choosing from the list puts the entry's text into the field.
    ASSERT_TRUE(win::SelectComboItem(Item(fp::kFilterCombo), 0));
    EXPECT_EQ(TextOf(Item(fp::kFilterCombo)), L"Green");
    EXPECT_TRUE(Enabled(fp::kAddFilterButton));
    ASSERT_TRUE(win::ClickButton(Item(fp::kAddFilterButton)));
    EXPECT_EQ(Entries(fp::kFilterList), (std::vector<std::wstring>{L"Green", L"Re"}));

    ASSERT_TRUE(win::SelectListItem(Item(fp::kFilterList), 1));
    ASSERT_TRUE(win::ClickButton(Item(fp::kRemoveFilterButton)));
    EXPECT_EQ(Entries(fp::kFilterList), std::vector<std::wstring>{L"Green"});
}

// --- Keyboard --------------------------------------------------------------------

TEST_F(QuillmerePropPageTest, ReturnAndDeleteActOnTheirTargetsOnly) {
    SetDword(kFolderKey, L"used", 1);
    Open();
    // Return in the partner combo box: consumed, with ">>" disabled too.
    EXPECT_TRUE(KeyDown(fp::kUserCombo, VK_RETURN));
    EXPECT_TRUE(Entries(fp::kUserList).empty());
    Type(fp::kUserCombo, L"eve@example.org");
    EXPECT_TRUE(KeyDown(fp::kUserCombo, VK_RETURN));
    EXPECT_EQ(Entries(fp::kUserList), std::vector<std::wstring>{L"eve@example.org"});

    Type(fp::kFilterCombo, L"Red");
    EXPECT_FALSE(KeyDown(fp::kShareNameEdit, VK_RETURN)) << "another window";
    EXPECT_FALSE(KeyDown(fp::kUserCombo, VK_DELETE));
    EXPECT_FALSE(KeyDown(fp::kFilterCombo, 'A'));
    EXPECT_TRUE(KeyDown(fp::kFilterCombo, VK_RETURN));
    EXPECT_EQ(Entries(fp::kFilterList), std::vector<std::wstring>{L"Red"});

    // Delete in the lists: consumed; removes only while "<<" is enabled.
    EXPECT_TRUE(KeyDown(fp::kUserList, VK_DELETE));
    EXPECT_EQ(Entries(fp::kUserList).size(), 1u) << "\"<<\" was disabled";
    ASSERT_TRUE(win::SelectListItem(Item(fp::kUserList), 0));
    EXPECT_TRUE(KeyDown(fp::kUserList, VK_DELETE));
    EXPECT_TRUE(Entries(fp::kUserList).empty());
    ASSERT_TRUE(win::SelectListItem(Item(fp::kFilterList), 0));
    EXPECT_TRUE(KeyDown(fp::kFilterList, VK_DELETE));
    EXPECT_TRUE(Entries(fp::kFilterList).empty());

    MSG up{};
    up.hwnd = Item(fp::kUserCombo);
    up.message = WM_KEYUP;
    up.wParam = VK_RETURN;
    EXPECT_FALSE(m_page->PreTranslateAccelerator(&up));
}

// --- Help, layout, registration ---------------------------------------------------

TEST_F(QuillmerePropPageTest, HelpKeyOpensTheHelpFileOfTheLanguage) {
    std::vector<win::ShellExecuteCall> calls;
    win::SetShellExecuteObserver([&](const win::ShellExecuteCall& c) { calls.push_back(c); });
    for (LCID language : {LCID{0x0409}, LCID{0x0407}, LCID{0x040C}}) {
        g_UILanguage = language;
        Open();
        ASSERT_TRUE(win::PressHelpKey(Item(fp::kSyncFolderCheck)));
    }
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].file, L"C:\\Addin\\help.chm");
    EXPECT_EQ(calls[1].file, L"C:\\Addin\\hilfe.chm");
    EXPECT_EQ(calls[2].file, L"C:\\Addin\\aide.chm");
    EXPECT_EQ(calls[0].verb, L"open");
    EXPECT_EQ(calls[0].directory, L"C:\\Addin\\");
    EXPECT_EQ(calls[0].showCmd, SW_SHOW);
}

TEST_F(QuillmerePropPageTest, ControlsAreCentredOnTheLayoutLineInTheParent) {
    HWND parent = pagetest::MakeTab(900, 700);
    ASSERT_NE(parent, nullptr);
    auto inPage = [&](int id) {
        RECT r{};
        GetWindowRect(Item(id), &r);
        MapWindowPoints(nullptr, m_page->m_hWnd, reinterpret_cast<POINT*>(&r), 2);
        return r;
    };
    Open();  // under the desktop: the template's places
    const RECT lineBefore = inPage(fp::kLayoutLine);
    const RECT editBefore = inPage(fp::kPasswordEdit);
    Open(parent);
    const RECT line = inPage(fp::kLayoutLine);
    const RECT edit = inPage(fp::kPasswordEdit);
    const int width = line.right - line.left;
    EXPECT_EQ(width, lineBefore.right - lineBefore.left);
    EXPECT_EQ(line.left, (900 - width) / 2);
    EXPECT_EQ(edit.left - line.left, editBefore.left - lineBefore.left);
    EXPECT_EQ(edit.top, editBefore.top);
    EXPECT_NE(line.left, lineBefore.left);
    EXPECT_EQ(win::ThemeDialogTextureFlags(parent), ETDT_ENABLETAB);
    m_page.Release();
    DestroyWindow(parent);
}

TEST_F(QuillmerePropPageTest, ButtonsShareOneImageListWithTheirTooltips) {
    SetDword(kFolderKey, L"used", 1);
    Open();
    // The bitmap buttons size to the 20 x 20 images plus their border.
    for (int id : {fp::kAddressBookButton, fp::kAddUserButton, fp::kRemoveUserButton,
                   fp::kAddFilterButton, fp::kRemoveFilterButton}) {
        RECT r{};
        GetWindowRect(Item(id), &r);
        EXPECT_EQ(r.right - r.left, 22) << id;
        EXPECT_EQ(r.bottom - r.top, 22) << id;
    }
    struct Expected {
        int id;
        const wchar_t* tooltip;
        int images[4];  // normal, pushed, hover, disabled
    };
    const Expected expected[] = {
        {fp::kAddressBookButton,
         L"Choose your e-mail addresses from the address book",
         {0, 0, 2, 1}},
        {fp::kAddUserButton, L"Add to list", {3, 3, 5, 4}},
        {fp::kRemoveUserButton, L"Remove selected entry", {6, 6, 8, 7}},
        {fp::kAddFilterButton, L"Add to list", {3, 3, 5, 4}},
        {fp::kRemoveFilterButton, L"Remove selected entry", {6, 6, 8, 7}},
    };
    HIMAGELIST shared = nullptr;
    for (const Expected& e : expected) {
        const ui::CBmpBtn* button = m_page->BitmapButton(e.id);
        ASSERT_NE(button, nullptr) << e.id;
        EXPECT_EQ(button->m_hWnd, Item(e.id));
        EXPECT_EQ(button->GetBitmapButtonExtendedStyle(), 27u) << e.id;
        EXPECT_EQ(button->GetToolTipText(), e.tooltip) << e.id;
        for (int state = 0; state < 4; ++state)
            EXPECT_EQ(button->ImageIndex(state), e.images[state]) << e.id << " " << state;
        if (!shared)
            shared = button->GetImageList();
        EXPECT_EQ(button->GetImageList(), shared) << e.id;
    }
    ASSERT_NE(shared, nullptr);
    EXPECT_EQ(ImageList_GetImageCount(shared), 9);
}

TEST_F(QuillmerePropPageTest, ThemedTabShowsThroughTheStaticControlsWhereTheySit) {
    HWND tab = pagetest::MakeTab(900, 700);
    ASSERT_NE(tab, nullptr);
    HDC dc = GetDC(tab);
    Open(tab);
    EXPECT_EQ(SendMessageW(m_page->m_hWnd, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                           reinterpret_cast<LPARAM>(Item(fp::kFilterLabel))),
              0);

    win::SetAppThemedForTesting(true);
    Open(tab);
    win::SetAppThemedForTesting(false);
    HBRUSH brush = nullptr;
    pagetest::ExpectTabBrushBehind(m_page->m_hWnd, tab, dc, Item(fp::kFilterLabel), brush);

    ReleaseDC(tab, dc);
    m_page.Release();
    DestroyWindow(tab);
}

TEST_F(QuillmerePropPageTest, PageInfoAndDirtyCheckTheirPointers) {
    Open();
    pagetest::ExpectPageInfoAndDirtyCheckTheirPointers(m_page.p);
}

TEST_F(QuillmerePropPageTest, IsCreatableByItsProgId) {
    pagetest::ExpectCreatableByProgId(L"Quillmere.QuillmerePropPage", ui::CLSID_QuillmerePropPage);
}

// --- Apply ------------------------------------------------------------------------

TEST_F(QuillmerePropPageTest, ApplyWritesEveryValueOfTheFolder) {
    m_folder->name = L"Team calendar";
    Open();
    ASSERT_TRUE(win::ClickButton(Item(fp::kSyncFolderCheck)));
    Type(fp::kShareNameEdit, L"team cal");
    Type(fp::kPasswordEdit, L"pw 1");
    Type(fp::kCategoryCombo, L"Work");
    ASSERT_TRUE(win::ClickButton(Item(fp::kVersionCheckCheck)));
    ASSERT_TRUE(win::ClickButton(Item(fp::kDontSyncMeetingsCheck)));  // now off
    ASSERT_TRUE(win::ClickButton(Item(fp::kBasicSyncCheck)));
    AddUser(L"bob@example.org");
    AddUser(L"amy@example.org");
    Type(fp::kFilterCombo, L"Blue");
    ASSERT_TRUE(win::ClickButton(Item(fp::kAddFilterButton)));
    ASSERT_EQ(Dirty(), VARIANT_TRUE);

    EXPECT_EQ(m_page->Apply(), S_OK);
    EXPECT_EQ(Dirty(), VARIANT_TRUE) << "Apply leaves the dirty state";
    EXPECT_EQ(m_engine.restarts, 1);
    const struct {
        const wchar_t* name;
        DWORD number;
    } dwords[] = {{L"used", 1},
                  {L"DONT_SYNC_PRIV_ITEMS", 1},
                  {L"SYNC_ONLY_PRIV_ITEMS", 0},
                  {L"DONT_SYNC_BSP_ITEMS", 0},
                  {L"DONT_SYNC_HOLIDAY_ITEMS", 1},
                  {L"ISALTERNATEINBOX", 0},
                  {L"USEVERSIONCHECK", 1},
                  {L"BASICSYNC", 1}};
    for (const auto& d : dwords) {
        std::optional<Value> v = GetValue(kFolderKey, d.name);
        ASSERT_TRUE(v) << d.name;
        EXPECT_EQ(v->type, static_cast<DWORD>(REG_DWORD)) << d.name;
        EXPECT_EQ(v->number, d.number) << d.name;
    }
    const struct {
        const wchar_t* name;
        const wchar_t* text;
    } texts[] = {{L"SID", L"AA01"},
                 {L"Profil", L"Work"},
                 {L"ShareName", L"team_cal"},
                 {L"Password", L"pw 1"},
                 {L"Foldername", L"Team calendar"},
                 {L"Categorie", L"Work"}};
    for (const auto& t : texts) {
        std::optional<Value> v = GetValue(kFolderKey, t.name);
        ASSERT_TRUE(v) << t.name;
        EXPECT_EQ(v->type, static_cast<DWORD>(REG_SZ)) << t.name;
        EXPECT_EQ(v->text, t.text) << t.name;
        EXPECT_EQ(v->size, (wcslen(t.text) + 1) * 2) << t.name << ": with the terminator";
    }
    EXPECT_EQ(Subkeys(kFolderKey + L"\\Users"),
              (std::vector<std::wstring>{L"amy@example.org", L"bob@example.org"}));
    EXPECT_EQ(Subkeys(kFolderKey + L"\\CategoriesFilter"), std::vector<std::wstring>{L"Blue"});
}

// Sharing a folder records the moment as its LastFolderSyncTime (8 bytes, a
// little-endian local DATE to the millisecond), from which its first look sends what is new;
// a time stored before, or state files of a folder already tracked, stay.
TEST_F(QuillmerePropPageTest, SharingRecordsTheMomentOnlyBeforeTheFolderIsTracked) {
    const BYTE kStored[8] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x76, 0xE6, 0x40};  // 46000.5
    const struct {
        const char* name;
        bool storedTime;
        const wchar_t* stateFile;
        bool recorded;
    } cases[] = {{"new share", false, nullptr, true},
                 {"time stored before", true, nullptr, false},
                 {"change-key list saved", false, L".keys.ids", false},
                 {"Exchange state saved", false, L".syncdata.ids", false}};
    CreateDirectoryW(kDataDir.c_str(), nullptr);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RegDeleteTreeW(HKEY_CURRENT_USER, kFolders.c_str());
        if (c.storedTime) {
            StoreFolder(kEntryId, L"team");
            HKEY key = nullptr;
            ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, kFolderKey.c_str(), 0, KEY_ALL_ACCESS, &key),
                      ERROR_SUCCESS);
            RegSetValueExW(key, L"LastFolderSyncTime", 0, REG_BINARY, kStored, sizeof kStored);
            RegCloseKey(key);
        }
        if (c.stateFile)
            win::testing::TestMachine::WriteHostFile(
                *win::HostPath(kDataDir + kEntryId + c.stateFile), "state");
        auto now = [] {
            SYSTEMTIME st{};
            GetLocalTime(&st);
            DATE date = 0;
            SystemTimeToVariantTime(&st, &date);
            return date + st.wMilliseconds / 86400000.0;
        };
        const DATE before = now();
        Open();
        if (!Checked(fp::kSyncFolderCheck)) {
            ASSERT_TRUE(win::ClickButton(Item(fp::kSyncFolderCheck)));
        }
        Type(fp::kShareNameEdit, L"team");
        EXPECT_EQ(m_page->Apply(), S_OK);
        const DATE after = now();

        HKEY key = nullptr;
        ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, kFolderKey.c_str(), 0, KEY_READ, &key),
                  ERROR_SUCCESS);
        BYTE bytes[16] = {};
        DWORD type = 0, size = sizeof bytes;
        const LSTATUS read =
            RegQueryValueExW(key, L"LastFolderSyncTime", nullptr, &type, bytes, &size);
        RegCloseKey(key);
        if (c.recorded) {
            ASSERT_EQ(read, ERROR_SUCCESS);
            EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
            ASSERT_EQ(size, 8u);
            std::uint64_t bits = 0;
            for (int i = 0; i < 8; ++i)
                bits |= static_cast<std::uint64_t>(bytes[i]) << (8 * i);
            DATE recorded = 0;
            std::memcpy(&recorded, &bits, sizeof recorded);
            EXPECT_GE(recorded, before);
            EXPECT_LE(recorded, after);
        } else if (c.storedTime) {
            ASSERT_EQ(read, ERROR_SUCCESS);
            ASSERT_EQ(size, 8u);
            EXPECT_EQ(std::memcmp(bytes, kStored, 8), 0);
        } else {
            EXPECT_NE(read, ERROR_SUCCESS);
        }
        if (c.stateFile)
            DeleteFileW((kDataDir + kEntryId + c.stateFile).c_str());
    }
}

// Partners and filter categories are key names: a backslash would store a
// nested key that reads back as another partner or category.
TEST_F(QuillmerePropPageTest, BackslashesInPartnersAndFilterCategoriesAreRefused) {
    StoreFolder(kEntryId, L"team");
    Open();
    const std::wstring refusal =
        L"Error|A partner address or category must not contain a backslash.";
    for (const wchar_t* address : {L"dom\\bob", L"bob@example.org\\", L"\\x@y"}) {
        win::ClearMessageBoxCalls();
        AddUser(address);
        EXPECT_EQ(MessageTexts(), std::vector<std::wstring>{refusal});
        EXPECT_EQ(TextOf(Item(fp::kUserCombo)), L"");
    }
    AddUser(L"amy@example.org");
    for (const wchar_t* category : {L"Red\\Blue", L"\\Red"}) {
        win::ClearMessageBoxCalls();
        Type(fp::kFilterCombo, category);
        ASSERT_TRUE(win::ClickButton(Item(fp::kAddFilterButton)));
        EXPECT_EQ(MessageTexts(), std::vector<std::wstring>{refusal});
        EXPECT_EQ(TextOf(Item(fp::kFilterCombo)), L"");
    }
    Type(fp::kFilterCombo, L"Red");
    ASSERT_TRUE(win::ClickButton(Item(fp::kAddFilterButton)));
    EXPECT_EQ(m_page->Apply(), S_OK);
    EXPECT_EQ(Subkeys(kFolderKey + L"\\Users"), std::vector<std::wstring>{L"amy@example.org"});
    EXPECT_EQ(Subkeys(kFolderKey + L"\\CategoriesFilter"), std::vector<std::wstring>{L"Red"});
}

TEST_F(QuillmerePropPageTest, ApplyRecreatesTheListsAndKeepsAPendingBasicSync) {
    StoreFolder(kEntryId, L"team");
    SetDword(kFolderKey, L"BASICSYNC", 1);
    MakeKey(kFolderKey + L"\\Users\\old@example.org");
    MakeKey(kFolderKey + L"\\CategoriesFilter\\Old");
    MakeKey(kFolderKey + L"\\Users\\bob@example.org");
    Open();
    ASSERT_TRUE(win::SelectListItem(Item(fp::kUserList), 1));  // old@
    ASSERT_TRUE(win::ClickButton(Item(fp::kRemoveUserButton)));
    ASSERT_TRUE(win::SelectListItem(Item(fp::kFilterList), 0));
    ASSERT_TRUE(win::ClickButton(Item(fp::kRemoveFilterButton)));
    EXPECT_EQ(m_page->Apply(), S_OK);
    EXPECT_EQ(Subkeys(kFolderKey + L"\\Users"), std::vector<std::wstring>{L"bob@example.org"});
    EXPECT_EQ(Subkeys(kFolderKey + L"\\CategoriesFilter"), std::vector<std::wstring>{});
    EXPECT_EQ(GetValue(kFolderKey, L"BASICSYNC")->number, 1u) << "not written as 0";
}

// What Apply writes to the debug log: the basic-sync request with the share
// name as typed, and the removal of the folder's key; only while the debug
// switch is on.
TEST_F(QuillmerePropPageTest, ApplyLogsTheBasicSyncRequestAndTheResetWhileDebugging) {
    const std::string path = *win::HostPath(m_temp + L"Quillmere_debug.log");
    auto log = [&] { return win::testing::TestMachine::ReadHostFile(path); };
    for (bool debug : {false, true}) {
        SCOPED_TRACE(debug ? "debug on" : "debug off");
        RegDeleteTreeW(HKEY_CURRENT_USER, kFolders.c_str());
        DebugSwitch = debug;
        const std::string before = log();
        StoreFolder(kEntryId, L"team");
        Open();
        Type(fp::kShareNameEdit, L"team cal");
        ASSERT_TRUE(win::ClickButton(Item(fp::kBasicSyncCheck)));
        EXPECT_EQ(m_page->Apply(), S_OK);
        EXPECT_EQ(GetValue(kFolderKey, L"BASICSYNC")->number, 1u);
        ASSERT_TRUE(win::ClickButton(Item(fp::kSyncFolderCheck)));
        EXPECT_EQ(m_page->Apply(), S_OK);
        EXPECT_FALSE(KeyExists(kFolderKey));
        const std::string added = log().substr(before.size());
        const std::size_t marked = added.find("-> BASICSYNC MARKED FOR team cal\r\n");
        const std::size_t deleted = added.find("-> delete regkey\r\n");
        if (debug) {
            EXPECT_NE(marked, std::string::npos) << added;
            EXPECT_NE(deleted, std::string::npos) << added;
            EXPECT_LT(marked, deleted);
        } else {
            EXPECT_EQ(added, "");
        }
    }
}

// The configuration loading reads back exactly what the page wrote.
TEST_F(QuillmerePropPageTest, AppliedSettingsAreWhatTheConfigurationLoadingReads) {
    struct Case {
        const char* name;
        bool dontSyncPrivate, syncOnlyPrivate, meetings, holidays, versionCheck, basicSync;
    } cases[] = {{"Defaults", true, false, true, true, false, false},
                 {"Changed", false, true, false, false, true, true}};
    for (const Case& c : cases) {
        RegDeleteTreeW(HKEY_CURRENT_USER, kFolders.c_str());
        Open();
        ASSERT_TRUE(win::ClickButton(Item(fp::kSyncFolderCheck)));
        Type(fp::kShareNameEdit, L"team cal");
        Type(fp::kPasswordEdit, L"geheim");
        Type(fp::kCategoryCombo, L"Work");
        auto set = [&](int id, bool wanted) {
            if (Checked(id) != wanted) {
                ASSERT_TRUE(win::ClickButton(Item(id))) << id;
            }
        };
        set(fp::kDontSyncPrivateCheck, c.dontSyncPrivate);
        set(fp::kSyncOnlyPrivateCheck, c.syncOnlyPrivate);
        set(fp::kDontSyncMeetingsCheck, c.meetings);
        set(fp::kDontSyncHolidaysCheck, c.holidays);
        set(fp::kVersionCheckCheck, c.versionCheck);
        set(fp::kBasicSyncCheck, c.basicSync);
        AddUser(L"bob@example.org");
        Type(fp::kFilterCombo, L"Blue");
        ASSERT_TRUE(win::ClickButton(Item(fp::kAddFilterButton)));
        ASSERT_EQ(m_page->Apply(), S_OK);

        // A running engine of the profile "Work" loads the configuration.
        int basicSyncs = 0;
        {
            std::unique_ptr<CSyncEngine> engine = LoadEngine(L"Calendar", &basicSyncs);
            CFolderObj* folder = engine->GetFolderEntry(0, true);
            ASSERT_NE(folder, nullptr) << c.name;
            EXPECT_EQ(engine->GetFolderEntry(1, true), nullptr);
            EXPECT_EQ(folder->Kind(), CFolderObj::kSharedFolder);
            EXPECT_EQ(folder->m_shareName, L"team_cal");
            EXPECT_EQ(folder->Sink()->m_shareName, L"team_cal");
            EXPECT_EQ(folder->m_password, L"geheim");
            EXPECT_EQ(folder->m_category, L"Work");
            EXPECT_EQ(folder->m_useVersionCheck, c.versionCheck) << c.name;
            EXPECT_EQ(folder->Sink()->m_dontSyncPrivateItems, c.dontSyncPrivate) << c.name;
            EXPECT_EQ(folder->Sink()->m_syncOnlyPrivateItems, c.syncOnlyPrivate) << c.name;
            EXPECT_EQ(folder->Sink()->m_dontSyncMeetingRequests, c.meetings) << c.name;
            EXPECT_EQ(folder->Sink()->m_dontSyncHolidayItems, c.holidays) << c.name;
            EXPECT_EQ(basicSyncs, c.basicSync ? 1 : 0) << c.name;
        }
        std::vector<std::wstring> filter;
        LoadCategoriesFilter(nullptr, filter, kEntryId.c_str());
        EXPECT_EQ(filter, std::vector<std::wstring>{L"Blue"});
        EXPECT_EQ(GetDeletionNoticeUsers(kEntryId), std::vector<std::wstring>{L"bob@example.org"});
    }
}

TEST_F(QuillmerePropPageTest, AlternateInboxIsWrittenAndLoadedAsOne) {
    m_folder->messageClass = L"IPM.Note";
    m_folder->name = L"Inbox";
    Open();
    ASSERT_TRUE(win::ClickButton(Item(fp::kAlternateInboxCheck)));
    SetWindowTextW(Item(fp::kShareNameEdit), L"");
    ASSERT_EQ(m_page->Apply(), S_OK);
    EXPECT_TRUE(win::MessageBoxCalls().empty()) << "no folder was configured before";
    EXPECT_EQ(GetValue(kFolderKey, L"ISALTERNATEINBOX")->number, 1u);
    EXPECT_EQ(GetValue(kFolderKey, L"ShareName")->text, L"");
    EXPECT_EQ(GetValue(kFolderKey, L"used")->number, 1u);
    {
        int basicSyncs = 0;
        std::unique_ptr<CSyncEngine> engine = LoadEngine(L"Inbox", &basicSyncs);
        CFolderObj* folder = engine->GetFolderEntry(0, true);
        ASSERT_NE(folder, nullptr);
        EXPECT_EQ(folder->Kind(), CFolderObj::kAlternateInbox);
        EXPECT_EQ(folder->m_shareName, L"");
    }

    // A second alternate inbox without a share name is no clash.
    m_folder->entryId = L"00F2";
    Open();
    ASSERT_TRUE(win::ClickButton(Item(fp::kAlternateInboxCheck)));
    SetWindowTextW(Item(fp::kShareNameEdit), L"");
    ASSERT_EQ(m_page->Apply(), S_OK);
    EXPECT_EQ(MessageTexts(), std::vector<std::wstring>{L"Quillmere|Your Sharename is empty!"});
    EXPECT_EQ(GetValue(kFolders + L"\\00F2", L"ISALTERNATEINBOX")->number, 1u);
}

TEST_F(QuillmerePropPageTest, AdministratorLockRefusesApply) {
    struct Case {
        const char* name;
        bool stringType;
        DWORD value;
        bool locked;
    } cases[] = {{"Locked", false, 1, true},
                 {"OtherNumber", false, 2, false},
                 {"Zero", false, 0, false},
                 {"NotADword", true, 1, false}};
    for (const Case& c : cases) {
        RegDeleteTreeW(HKEY_CURRENT_USER, kFolders.c_str());
        HKEY machine = Create(kConfig, HKEY_LOCAL_MACHINE);
        if (c.stringType) {
            const std::wstring one = L"1";
            RegSetValueExW(machine, L"lock", 0, REG_SZ, one.c_str(), 4);
        } else {
            RegSetValueExW(machine, L"lock", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&c.value),
                           sizeof c.value);
        }
        RegCloseKey(machine);
        win::ClearMessageBoxCalls();
        m_engine.restarts = 0;
        Open();
        EXPECT_EQ(m_page->IsAdminLocked(), c.locked) << c.name;
        // The page edits normally.
        ASSERT_TRUE(win::ClickButton(Item(fp::kSyncFolderCheck))) << c.name;
        Type(fp::kShareNameEdit, L"team");
        EXPECT_EQ(m_page->Apply(), c.locked ? S_FALSE : S_OK) << c.name;
        EXPECT_EQ(KeyExists(kFolderKey), !c.locked) << c.name;
        EXPECT_EQ(m_engine.restarts, c.locked ? 0 : 1) << c.name;
        if (c.locked) {
            EXPECT_EQ(MessageTexts(),
                      std::vector<std::wstring>{L"Error|Config is locked by Admin"});
            EXPECT_EQ(win::MessageBoxCalls()[0].owner, m_page->m_hWnd);
            EXPECT_EQ(Dirty(), VARIANT_TRUE);
            const std::string log = win::testing::TestMachine::ReadHostFile(
                *win::HostPath(m_temp + L"Quillmere_error.log"));
            EXPECT_NE(log.find("folder configuration locked from Administrator"),
                      std::string::npos);
        } else {
            EXPECT_TRUE(win::MessageBoxCalls().empty()) << c.name;
        }
    }
}

TEST_F(QuillmerePropPageTest, UncheckingSyncRemovesTheKeyAndTheStateFiles) {
    StoreFolder(kEntryId, L"team");
    MakeKey(kFolderKey + L"\\Users\\bob@example.org");
    MakeKey(kFolderKey + L"\\CategoriesFilter\\Blue");
    StoreFolder(L"00F9", L"other");
    ASSERT_TRUE(CreateDirectoryW(kDataDir.c_str(), nullptr));
    const std::vector<std::wstring> extensions = {
        L".keys.ids",   L".values.ids",       L".syncdata.ids",      L".cache.ids",
        L".insync.ids", L".syncdata.ids.bak", L".sync2sourcetbl.ids"};
    auto write = [](const std::wstring& path) {
        win::testing::TestMachine::WriteHostFile(*win::HostPath(path), "state");
    };
    for (const std::wstring& e : extensions) {
        write(kDataDir + kEntryId + e);
        write(kDataDir + L"00F9" + e);
    }
    // A write a crash cut short.
    write(kDataDir + kEntryId + L".keys.ids.new");
    // The folder's running object saves its lists as it goes: sharing the
    // folder again must not start from them.
    m_engine.onRestart = [&] {
        write(kDataDir + kEntryId + L".keys.ids");
        write(kDataDir + kEntryId + L".values.ids");
    };
    Open();
    ASSERT_TRUE(win::ClickButton(Item(fp::kSyncFolderCheck)));
    EXPECT_EQ(m_page->Apply(), S_OK);
    EXPECT_FALSE(KeyExists(kFolderKey));
    EXPECT_TRUE(KeyExists(kFolders + L"\\00F9"));
    EXPECT_EQ(GetFileAttributesW((kDataDir + kEntryId + L".keys.ids.new").c_str()),
              INVALID_FILE_ATTRIBUTES);
    for (const std::wstring& e : extensions) {
        EXPECT_EQ(GetFileAttributesW((kDataDir + kEntryId + e).c_str()), INVALID_FILE_ATTRIBUTES)
            << std::string(e.begin(), e.end());
        EXPECT_NE(GetFileAttributesW((kDataDir + L"00F9" + e).c_str()), INVALID_FILE_ATTRIBUTES);
    }
    EXPECT_EQ(m_engine.restarts, 1);
}

TEST_F(QuillmerePropPageTest, ResetWithoutEngineKeepsTheFilesAndRestartsNothing) {
    StoreFolder(kEntryId, L"team");
    ASSERT_TRUE(CreateDirectoryW(kDataDir.c_str(), nullptr));
    win::testing::TestMachine::WriteHostFile(*win::HostPath(kDataDir + kEntryId + L".keys.ids"),
                                             "state");
    Open();
    ASSERT_TRUE(win::ClickButton(Item(fp::kSyncFolderCheck)));
    m_engine.exists = false;
    EXPECT_EQ(m_page->Apply(), S_OK);
    EXPECT_FALSE(KeyExists(kFolderKey));
    EXPECT_NE(GetFileAttributesW((kDataDir + kEntryId + L".keys.ids").c_str()),
              INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(m_engine.restarts, 0);
}

TEST_F(QuillmerePropPageTest, EmptyShareNameIsReportedAndEndsTheSynchronisation) {
    StoreFolder(L"00F9", L"other");
    StoreFolder(kEntryId, L"team");
    Open();
    SetWindowTextW(Item(fp::kShareNameEdit), L"");
    EXPECT_EQ(m_page->Apply(), S_OK);
    EXPECT_EQ(MessageTexts(), std::vector<std::wstring>{L"Quillmere|Your Sharename is empty!"});
    EXPECT_FALSE(Checked(fp::kSyncFolderCheck));
    EXPECT_FALSE(KeyExists(kFolderKey));
    EXPECT_EQ(m_engine.restarts, 1);
}

TEST_F(QuillmerePropPageTest, ShareNameOfAnotherFolderIsRefused) {
    struct Case {
        const char* name;
        const wchar_t* stored;  // by the other folder
        const wchar_t* typed;
        bool clash;
    } cases[] = {{"Same", L"team", L"team", true},
                 {"OtherCase", L"team", L"Team", false},
                 {"BlankAgainstUnderscore", L"my_team", L"my team", false},
                 {"Different", L"family", L"team", false}};
    for (const Case& c : cases) {
        RegDeleteTreeW(HKEY_CURRENT_USER, kFolders.c_str());
        StoreFolder(L"00F9", c.stored);
        StoreFolder(kEntryId, c.typed);  // its own name is no clash
        win::ClearMessageBoxCalls();
        m_engine.restarts = 0;
        Open();
        Type(fp::kShareNameEdit, c.typed);
        Type(fp::kPasswordEdit, L"new");
        EXPECT_EQ(m_page->Apply(), S_OK) << c.name;
        EXPECT_EQ(m_engine.restarts, c.clash ? 0 : 1) << c.name;
        EXPECT_EQ(GetValue(kFolderKey, L"Password").has_value(), !c.clash) << c.name;
        if (c.clash)
            EXPECT_EQ(MessageTexts(),
                      std::vector<std::wstring>{L"Quillmere|Your Sharename is already in use!"});
        else
            EXPECT_TRUE(win::MessageBoxCalls().empty()) << c.name;
    }
}

TEST_F(QuillmerePropPageTest, ApplyWithoutTheFolderLeavesEveryFolderAlone) {
    StoreFolder(L"00F9", L"other");
    m_folder->entryId.reset();
    Open();
    ASSERT_TRUE(KeyExists(kFolders + L"\\00F9"));
    EXPECT_EQ(m_page->Apply(), S_OK);
    EXPECT_TRUE(KeyExists(kFolders + L"\\00F9"));
    EXPECT_EQ(GetValue(kFolders + L"\\00F9", L"ShareName")->text, L"other");
    EXPECT_EQ(m_engine.restarts, 0);
}

TEST_F(QuillmerePropPageTest, ApplyWithoutWindowWritesNothing) {
    StoreFolder(kEntryId, L"team");
    auto page = com::Make<ui::CQuillmerePropPage>();
    page->SetEngineAccess(std::make_unique<FakeEngine>(m_engine, m_session));
    EXPECT_EQ(page->Apply(), S_OK);
    EXPECT_TRUE(KeyExists(kFolderKey));
    EXPECT_EQ(m_engine.restarts, 0);
}

}  // namespace
