#include "Quillmere/ui/ExtProppage.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Quillmere/core/AddinGlobals.h"
#include "Quillmere/core/AddinServer.h"
#include "Quillmere/core/DebugLog.h"
#include "platform/com/Bstr.h"
#include "platform/com/Com.h"
#include "platform/com/OleObject.h"
#include "platform/win/Controls.h"
#include "platform/win/Dialog.h"
#include "platform/win/DialogTestSupport.h"
#include "platform/win/Gdi.h"
#include "platform/win/ImageList.h"
#include "platform/win/Registry.h"
#include "platform/win/Shell.h"
#include "platform/win/TestMachine.h"
#include "platform/win/Theme.h"
#include "platform/win/UserInput.h"
#include "platform/win/WindowCoordinates.h"

namespace {

using win::testing::TextOf;

constexpr const wchar_t* kConfig = L"Software\\Brindlecast\\Quillmere\\Config";
constexpr const wchar_t* kFolders = L"Software\\Brindlecast\\Quillmere\\Folders";

template <class Derived, class... Interfaces>
class Disp : public com::ComObject<Derived, Interfaces...> {
public:
    HRESULT GetTypeInfoCount(UINT* c) override { return *c = 0, S_OK; }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, OLECHAR**, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return E_NOTIMPL;
    }
};

HRESULT Text(const std::wstring& t, BSTR* out) {
    *out = SysAllocString(t.c_str());
    return S_OK;
}

class Account final : public Disp<Account, QMRAccount> {
public:
    Account(std::wstring n, LONG i) : name(std::move(n)), id(i) {}
    HRESULT Name(BSTR* n) override { return Text(name, n); }
    HRESULT ID(LONG* i) override { return *i = id, S_OK; }
    std::wstring name;
    LONG id;
};

class AccountList final : public Disp<AccountList, QMRAccountList, QMRAccounts> {
public:
    std::vector<CComPtr<Account>> accounts;
    HRESULT Count(LONG* c) override { return *c = static_cast<LONG>(accounts.size()), S_OK; }
    HRESULT GetCount(LONG* c) override { return Count(c); }
    HRESULT Item(LONG i, QMRAccount** a) override {
        if (i < 1 || i > static_cast<LONG>(accounts.size()))
            return DISP_E_BADINDEX;
        *a = accounts[static_cast<std::size_t>(i - 1)];
        (*a)->AddRef();
        return S_OK;
    }
    HRESULT GetOrder(LONG kind, QMRAccountList** list) override {
        if (kind != 2)
            return E_INVALIDARG;
        *list = this;
        AddRef();
        return S_OK;
    }
};

class Session final : public Disp<Session, QMRRDOSession> {
public:
    CComPtr<AccountList> accounts = com::Make<AccountList>();
    HRESULT Logon(VARIANT, VARIANT, VARIANT, VARIANT, VARIANT, VARIANT) override { return S_OK; }
    HRESULT Logoff() override { return S_OK; }
    HRESULT GetLoggedOn(VARIANT_BOOL* v) override { return *v = VARIANT_TRUE, S_OK; }
    HRESULT GetMAPIOBJECT(IUnknown** o) override { return *o = nullptr, E_NOTIMPL; }
    HRESULT PutMAPIOBJECT(IUnknown*) override { return S_OK; }
    HRESULT ClearOption(LONG) override { return S_OK; }
    HRESULT GetProfileName(BSTR* v) override { return Text(L"Work", v); }
    HRESULT GetConnectionMode(LONG* m) override { return *m = 0, S_OK; }
    HRESULT GetExchangeVersion(BSTR* v) override { return Text(L"", v); }
    HRESULT GetDefaultFolder(LONG, QMRMAPIFolder** f) override { return *f = nullptr, E_NOTIMPL; }
    HRESULT GetFolderFromID(BSTR, BSTR, VARIANT, QMRMAPIFolder** f) override {
        return *f = nullptr, E_NOTIMPL;
    }
    HRESULT GetMessageFromID(BSTR, BSTR, VARIANT, QMRMessage** m) override {
        return *m = nullptr, E_NOTIMPL;
    }
    HRESULT GetStoreFromID(BSTR, VARIANT, QMRRDOStore** s) override {
        return *s = nullptr, E_NOTIMPL;
    }
    HRESULT GetStores(QMRRDOStores** s) override { return *s = nullptr, E_NOTIMPL; }
    HRESULT GetAccounts(QMRAccounts** a) override {
        *a = accounts;
        accounts->AddRef();
        return S_OK;
    }
    HRESULT GetCategories(QMRCategories** c) override { return *c = nullptr, E_NOTIMPL; }
    HRESULT GetAddressBook(QMRAddressBook** a) override { return *a = nullptr, E_NOTIMPL; }
    HRESULT GetMessageFromMsgFile(BSTR, VARIANT_BOOL, QMRMessage** m) override {
        return *m = nullptr, E_NOTIMPL;
    }
};

// The page site is the client site Outlook hands the page control.
class PageSite final : public Disp<PageSite, PropertyPageSite, IOleClientSite> {
public:
    explicit PageSite(int& changes) : m_changes(changes) {}
    HRESULT OnStatusChange() override { return ++m_changes, S_OK; }

private:
    int& m_changes;
};

struct EngineState {
    bool exists = true;
    LONG accountIndex = -7;
    bool journal = false, notification = false, reminder = false;
};

class FakeEngine final : public ui::IExtProppageEngine {
public:
    FakeEngine(EngineState& s, ::Session* session) : m_state(s), m_session(session) {}
    bool Exists() override { return m_state.exists; }
    QMRRDOSession* Session() override { return m_session; }
    std::wstring ModuleDirectory() override { return L"C:\\Addin\\"; }
    void SetMailAccountIndex(LONG index) override { m_state.accountIndex = index; }
    void SetSwitches(bool j, bool n, bool r) override {
        m_state.journal = j, m_state.notification = n, m_state.reminder = r;
    }

private:
    EngineState& m_state;
    ::Session* m_session;
};

void SetDword(const std::wstring& path, const wchar_t* name, DWORD value) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
    RegCloseKey(key);
}

// A REG_SZ stored as text, as the folder page and the settings write it,
// with the terminator unless told otherwise.
void SetString(const std::wstring& path, const wchar_t* name, const std::wstring& value,
               bool terminated = true) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExW(key, name, 0, REG_SZ, value.c_str(),
                   static_cast<DWORD>((value.size() + (terminated ? 1 : 0)) * 2));
    RegCloseKey(key);
}

// The DWORD, or -2 when it is missing.
LONG GetDword(const std::wstring& path, const wchar_t* name) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return -2;
    DWORD type = 0, value = 0, size = sizeof(value);
    LSTATUS s = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
    RegCloseKey(key);
    return s == ERROR_SUCCESS && type == REG_DWORD ? static_cast<LONG>(value) : -2;
}

class ExtProppageTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_UILanguage = 0x0409;
        CoInitializeEx(nullptr, 0);
        m_session = com::Make<Session>();
        // "Homebase" comes first: "Home" must still select "Home".
        m_session->accounts->accounts.push_back(com::Make<Account>(L"Homebase", 5));
        m_session->accounts->accounts.push_back(com::Make<Account>(L"Home", 4));
        m_session->accounts->accounts.push_back(com::Make<Account>(L"Office", 9));
    }
    void TearDown() override {
        m_page.Release();
        win::SetShellExecuteObserver({});
        win::SetAppThemedForTesting(false);
        DebugSwitch = false;
        CoUninitialize();
    }

    // Makes the page as Outlook does: instance, client site, window.
    void Open(HWND parent = nullptr) {
        m_page.Release();
        m_page = com::Make<ui::CExtProppage>();
        m_page->SetEngineAccess(std::make_unique<FakeEngine>(m_engine, m_session));
        m_site = com::Make<PageSite, PropertyPageSite>(m_statusChanges);
        ASSERT_EQ(m_page->SetClientSite(CComQIPtr<IOleClientSite>(m_site)), S_OK);
        ASSERT_NE(m_page->CreatePage(parent), nullptr);
    }
    // A control's rectangle in page coordinates.
    RECT InPage(int id) {
        RECT r{};
        GetWindowRect(Item(id), &r);
        MapWindowPoints(nullptr, m_page->m_hWnd, reinterpret_cast<POINT*>(&r), 2);
        return r;
    }
    HWND Item(int id) { return GetDlgItem(m_page->m_hWnd, id); }
    bool Checked(int id) { return IsDlgButtonChecked(m_page->m_hWnd, id) == BST_CHECKED; }
    VARIANT_BOOL Dirty() {
        VARIANT_BOOL d = 1;
        EXPECT_EQ(m_page->get_Dirty(&d), S_OK);
        return d;
    }

    win::testing::TestMachine m_machine;
    EngineState m_engine;
    CComPtr<Session> m_session;
    CComPtr<ui::CExtProppage> m_page;
    CComPtr<PropertyPageSite> m_site;
    int m_statusChanges = 0;
};

TEST_F(ExtProppageTest, ShowsTheSwitchesOfTheConfigKey) {
    SetDword(kConfig, L"debug", 1);
    SetDword(kConfig, L"journal", 0);
    SetDword(kConfig, L"removereminder", 1);
    Open();
    EXPECT_TRUE(Checked(ui::kDebugCheck));
    EXPECT_FALSE(Checked(ui::kJournalCheck));
    EXPECT_FALSE(Checked(ui::kDesktopNotificationCheck));  // missing
    EXPECT_TRUE(Checked(ui::kRemoveRemindersCheck));
    EXPECT_TRUE(IsWindowEnabled(Item(ui::kDebugLogLink)));
    EXPECT_EQ(Dirty(), VARIANT_FALSE);
    EXPECT_EQ(m_statusChanges, 1);
}

TEST_F(ExtProppageTest, WithoutConfigKeyAllSwitchesAreOffAndTheLogLinkFollowsDebug) {
    Open();
    for (int id : {ui::kDebugCheck, ui::kJournalCheck, ui::kDesktopNotificationCheck,
                   ui::kRemoveRemindersCheck})
        EXPECT_FALSE(Checked(id)) << id;
    EXPECT_FALSE(IsWindowEnabled(Item(ui::kDebugLogLink)));
    win::ClickButton(Item(ui::kDebugCheck));
    EXPECT_TRUE(IsWindowEnabled(Item(ui::kDebugLogLink)));
    win::ClickButton(Item(ui::kDebugCheck));
    EXPECT_FALSE(IsWindowEnabled(Item(ui::kDebugLogLink)));
}

TEST_F(ExtProppageTest, ClickingASwitchMarksThePageDirtyAndApplyWritesItAndKeepsDirty) {
    SetDword(kConfig, L"debug", 0);
    Open();
    int before = m_statusChanges;
    win::ClickButton(Item(ui::kJournalCheck));
    win::ClickButton(Item(ui::kDebugCheck));
    EXPECT_EQ(Dirty(), VARIANT_TRUE);
    EXPECT_EQ(m_statusChanges, before + 2);
    EXPECT_EQ(m_page->Apply(), S_OK);
    EXPECT_EQ(GetDword(kConfig, L"debug"), 1);
    EXPECT_EQ(GetDword(kConfig, L"journal"), 1);
    EXPECT_EQ(GetDword(kConfig, L"desktopnotification"), 0);
    EXPECT_EQ(GetDword(kConfig, L"removereminder"), 0);
    EXPECT_TRUE(DebugSwitch.load());
    EXPECT_TRUE(m_engine.journal);
    EXPECT_FALSE(m_engine.notification);
    EXPECT_EQ(Dirty(), VARIANT_TRUE);
}

TEST_F(ExtProppageTest, ApplyWritesNothingWithoutEngine) {
    SetDword(kConfig, L"debug", 0);
    Open();
    win::ClickButton(Item(ui::kDebugCheck));
    m_engine.exists = false;
    EXPECT_EQ(m_page->Apply(), S_OK);
    EXPECT_EQ(GetDword(kConfig, L"debug"), 0);
    EXPECT_EQ(GetDword(std::wstring(kConfig) + L"\\Work", L"MailAccount"), -2);
    EXPECT_FALSE(DebugSwitch.load());
    m_engine.exists = true;
    m_page->Apply();
    EXPECT_EQ(GetDword(kConfig, L"debug"), 1);
}

TEST_F(ExtProppageTest, AccountListStartsWithTheStandardEntryAndSelectsTheStoredAccount) {
    struct Case {
        LONG stored;  // -2: missing
        const wchar_t* selected;
    };
    const Case cases[] = {{-2, L"Standardaccount"},
                          {-1, L"Standardaccount"},
                          {9, L"Office"},
                          {4, L"Home"},
                          {5, L"Homebase"}};
    for (const Case& c : cases) {
        RegDeleteTreeW(HKEY_CURRENT_USER, (std::wstring(kConfig) + L"\\Work").c_str());
        if (c.stored != -2)
            SetDword(std::wstring(kConfig) + L"\\Work", L"MailAccount",
                     static_cast<DWORD>(c.stored));
        Open();
        HWND combo = Item(ui::kAccountCombo);
        ASSERT_EQ(SendMessageW(combo, CB_GETCOUNT, 0, 0), 4);
        EXPECT_EQ(TextOf(combo), c.selected) << c.stored;
    }
}

TEST_F(ExtProppageTest, ApplyWritesTheChosenAccountAndSetsTheEngine) {
    Open();
    ASSERT_TRUE(win::SelectComboItem(
        Item(ui::kAccountCombo),
        static_cast<int>(SendMessageW(Item(ui::kAccountCombo), CB_FINDSTRINGEXACT,
                                      static_cast<WPARAM>(-1),
                                      reinterpret_cast<LPARAM>(L"Office")))));
    EXPECT_EQ(Dirty(), VARIANT_TRUE);
    m_page->Apply();
    EXPECT_EQ(GetDword(std::wstring(kConfig) + L"\\Work", L"MailAccount"), 9);
    EXPECT_EQ(m_engine.accountIndex, 9);

    // Back to the standard entry: -1 stored, the running account left alone.
    ASSERT_TRUE(win::SelectComboItem(
        Item(ui::kAccountCombo),
        static_cast<int>(SendMessageW(Item(ui::kAccountCombo), CB_FINDSTRINGEXACT,
                                      static_cast<WPARAM>(-1),
                                      reinterpret_cast<LPARAM>(L"Standardaccount")))));
    m_page->Apply();
    EXPECT_EQ(GetDword(std::wstring(kConfig) + L"\\Work", L"MailAccount"), -1);
    EXPECT_EQ(m_engine.accountIndex, 9);
}

TEST_F(ExtProppageTest, LogLinksStartTheViewerFromTheAddinDirectory) {
    SetDword(kConfig, L"debug", 1);
    Open();
    std::vector<win::ShellExecuteCall> calls;
    win::SetShellExecuteObserver([&](const win::ShellExecuteCall& c) { calls.push_back(c); });
    win::ClickLink(Item(ui::kDebugLogLink), 0);
    win::ClickLink(Item(ui::kErrorLogLink), 0);
    ASSERT_EQ(calls.size(), 2u);
    for (const auto& c : calls) {
        EXPECT_EQ(c.verb, L"open");
        EXPECT_EQ(c.file, L"C:\\Addin\\QMRLogWindow.exe");
        EXPECT_EQ(c.directory, L"C:\\Addin\\");
        EXPECT_EQ(c.showCmd, SW_SHOWNORMAL);
    }
    EXPECT_EQ(calls[0].parameters, L"");
    EXPECT_EQ(calls[1].parameters, L"errorlog");
}

TEST_F(ExtProppageTest, OverviewShowsShareAndFolderAndApeForAMissingShare) {
    SetString(std::wstring(kFolders) + L"\\A", L"Foldername", L"Calendar");
    SetString(std::wstring(kFolders) + L"\\A", L"ShareName", L"Team");
    SetString(std::wstring(kFolders) + L"\\B", L"Foldername", L"Contacts");
    Open();
    HWND list = Item(ui::kOverviewList);
    ASSERT_EQ(SendMessageW(list, LB_GETCOUNT, 0, 0), 2);
    std::vector<std::wstring> lines;
    for (int i = 0; i < 2; ++i) {
        wchar_t buffer[300] = L"";
        SendMessageW(list, LB_GETTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(buffer));
        lines.push_back(buffer);
    }
    EXPECT_EQ(lines[0], L"Team=>Calendar");
    EXPECT_EQ(lines[1], L"[APE]=>Contacts");
}

// The page reads the values as text, as the folder page and the settings
// write them; a share name without its terminator is no share name.
TEST_F(ExtProppageTest, OverviewShowsApeForAShareNameWithoutTerminator) {
    SetString(std::wstring(kFolders) + L"\\C", L"Foldername", L"Notes");
    SetString(std::wstring(kFolders) + L"\\C", L"ShareName", L"Odd", false);
    Open();
    HWND list = Item(ui::kOverviewList);
    ASSERT_EQ(SendMessageW(list, LB_GETCOUNT, 0, 0), 1);
    wchar_t buffer[300] = L"";
    SendMessageW(list, LB_GETTEXT, 0, reinterpret_cast<LPARAM>(buffer));
    EXPECT_EQ(std::wstring(buffer), L"[APE]=>Notes");
}

// Subkey names of a key under HKEY_CURRENT_USER; {"<missing>"} without the key.
std::vector<std::wstring> Subkeys(const std::wstring& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return {L"<missing>"};
    std::vector<std::wstring> names;
    for (DWORD i = 0;; ++i) {
        wchar_t name[260] = L"";
        DWORD length = 260;
        if (RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
        names.emplace_back(name, length);
    }
    RegCloseKey(key);
    return names;
}

TEST_F(ExtProppageTest, CategoryLinksAreStoredAtOnceAndTheLastRemovalDeletesTheAddressKey) {
    const std::wstring users = std::wstring(kFolders) + L"\\A\\Users\\";
    SetDword(users + L"bob@example.org", L"x", 0);
    SetDword(std::wstring(kFolders) + L"\\B\\Users\\bob@example.org", L"x", 0);
    SetDword(users + L"amy@example.org", L"x", 0);
    const std::wstring links = L"Software\\Brindlecast\\Quillmere\\UserCategories\\bob@example.org";
    Open();
    HWND address = Item(ui::kAddressCombo);
    ASSERT_EQ(SendMessageW(address, CB_GETCOUNT, 0, 0), 2);  // bob once
    ASSERT_TRUE(win::SelectComboItem(address, 1));           // sorted: amy, bob
    EXPECT_FALSE(IsWindowEnabled(Item(ui::kAddCategoryButton)));
    ASSERT_TRUE(win::TypeText(Item(ui::kCategoryCombo), L"Red"));
    EXPECT_TRUE(IsWindowEnabled(Item(ui::kAddCategoryButton)));
    EXPECT_EQ(Dirty(), VARIANT_FALSE);  // choosing is no change yet
    win::ClickButton(Item(ui::kAddCategoryButton));
    EXPECT_EQ(Subkeys(links), std::vector<std::wstring>{L"Red"});
    EXPECT_EQ(Dirty(), VARIANT_TRUE);
    EXPECT_FALSE(IsWindowEnabled(Item(ui::kAddCategoryButton)));
    EXPECT_EQ(TextOf(Item(ui::kCategoryCombo)), L"");

    // The same category again (other case) adds nothing.
    ASSERT_TRUE(win::TypeText(Item(ui::kCategoryCombo), L"red"));
    win::ClickButton(Item(ui::kAddCategoryButton));
    EXPECT_EQ(SendMessageW(Item(ui::kLinkedCategoriesList), LB_GETCOUNT, 0, 0), 1);

    ASSERT_TRUE(win::SelectListItem(Item(ui::kLinkedCategoriesList), 0));
    EXPECT_TRUE(IsWindowEnabled(Item(ui::kRemoveCategoryButton)));
    win::ClickButton(Item(ui::kRemoveCategoryButton));
    EXPECT_EQ(Subkeys(links), std::vector<std::wstring>{L"<missing>"});
    EXPECT_FALSE(IsWindowEnabled(Item(ui::kRemoveCategoryButton)));
}

TEST_F(ExtProppageTest, ACategoryTypedBeforeAnAddressIsChosenShowsNoLinks) {
    SetDword(std::wstring(kFolders) + L"\\A\\Users\\bob@example.org", L"x", 0);
    const std::wstring links = L"Software\\Brindlecast\\Quillmere\\UserCategories\\";
    SetDword(links + L"bob@example.org\\Red", L"x", 0);
    SetDword(links + L"amy@example.org\\Blue", L"x", 0);
    Open();
    ASSERT_TRUE(win::TypeText(Item(ui::kCategoryCombo), L"Green"));
    // No address: the list is not the list of every linked address.
    EXPECT_EQ(SendMessageW(Item(ui::kLinkedCategoriesList), LB_GETCOUNT, 0, 0), 0);
    EXPECT_FALSE(IsWindowEnabled(Item(ui::kAddCategoryButton)));
    ASSERT_TRUE(win::SelectComboItem(Item(ui::kAddressCombo), 0));
    ASSERT_EQ(SendMessageW(Item(ui::kLinkedCategoriesList), LB_GETCOUNT, 0, 0), 1);
    EXPECT_TRUE(IsWindowEnabled(Item(ui::kAddCategoryButton)));
}

TEST_F(ExtProppageTest, PageInfoAndDirtyCheckTheirPointers) {
    Open();
    BSTR file = nullptr;
    LONG context = 0;
    EXPECT_EQ(m_page->GetPageInfo(nullptr, &context), E_POINTER);
    EXPECT_EQ(m_page->GetPageInfo(&file, nullptr), E_POINTER);
    EXPECT_EQ(m_page->GetPageInfo(&file, &context), E_NOTIMPL);
    EXPECT_EQ(m_page->get_Dirty(nullptr), E_POINTER);
}

TEST_F(ExtProppageTest, FieldsSetByNameActAsTheControlsAndApplyThroughPropertyPage) {
    SetDword(kConfig, L"journal", 0);
    Open();
    CComQIPtr<IDispatch> dispatch(m_page->GetUnknown());
    ASSERT_TRUE(dispatch);
    OLECHAR name[] = L"journal";
    OLECHAR* names[] = {name};
    DISPID id = 0;
    ASSERT_EQ(dispatch->GetIDsOfNames(IID_NULL, names, 1, 0, &id), S_OK);
    ASSERT_EQ(com::PutProperty(dispatch, id, CComVariant(L"1")), S_OK);
    EXPECT_TRUE(Checked(ui::kJournalCheck));
    CComQIPtr<PropertyPage> page(dispatch);
    VARIANT_BOOL dirty = 0;
    page->get_Dirty(&dirty);
    EXPECT_EQ(dirty, VARIANT_TRUE);
    page->Apply();
    EXPECT_EQ(GetDword(kConfig, L"journal"), 1);
    OLECHAR other[] = L"nothing";
    names[0] = other;
    EXPECT_EQ(dispatch->GetIDsOfNames(IID_NULL, names, 1, 0, &id), DISP_E_UNKNOWNNAME);
}

TEST_F(ExtProppageTest, IsCreatableByItsProgId) {
    ASSERT_EQ(DllRegisterServer(), S_OK);
    CLSID clsid{};
    ASSERT_EQ(CLSIDFromProgID(L"Quillmere.ExtProppage", &clsid), S_OK);
    EXPECT_TRUE(clsid == ui::CLSID_ExtProppage);
    CComPtr<IClassFactory> factory;
    ASSERT_EQ(DllGetClassObject(clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory)),
              S_OK);
    CComPtr<PropertyPage> page;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_PropertyPage, reinterpret_cast<void**>(&page)),
              S_OK);
    VARIANT_BOOL dirty = 1;
    EXPECT_EQ(page->get_Dirty(&dirty), S_OK);
    EXPECT_EQ(dirty, VARIANT_FALSE);
}

// --- Layout, buttons, background --------------------------------------------------

// Every control of the page, as the template numbers them.
constexpr int kAllControls[] = {304, 305, 306, 307, 308, 309, 310, 311, 312, 313, 314,
                                315, 316, 317, 318, 319, 320, 321, 322, 323, 324};

TEST_F(ExtProppageTest, ControlsMoveTogetherSoThatTheFirstSeparatorIsCentredInTheTab) {
    HWND tab = CreateWindowExW(0, L"Static", L"tab", WS_POPUP, 0, 0, 800, 600, nullptr, nullptr,
                               nullptr, nullptr);
    ASSERT_NE(tab, nullptr);
    Open();  // under the desktop: the template's places
    std::vector<RECT> before;
    for (int id : kAllControls) {
        ASSERT_NE(Item(id), nullptr) << id;
        before.push_back(InPage(id));
    }
    Open(tab);
    const RECT line = InPage(ui::kFirstSeparator);
    const int width = line.right - line.left;
    EXPECT_EQ(line.left, (800 - width) / 2);
    const int dx = line.left - before[0].left;
    EXPECT_GT(dx, 0);
    for (std::size_t i = 0; i < std::size(kAllControls); ++i) {
        const RECT r = InPage(kAllControls[i]);
        EXPECT_EQ(r.left, before[i].left + dx) << kAllControls[i];
        EXPECT_EQ(r.top, before[i].top) << kAllControls[i];
        EXPECT_EQ(r.right - r.left, before[i].right - before[i].left) << kAllControls[i];
        EXPECT_EQ(r.bottom - r.top, before[i].bottom - before[i].top) << kAllControls[i];
    }
    m_page.Release();
    DestroyWindow(tab);
}

TEST_F(ExtProppageTest, CategoryButtonsShowTheStripPicturesWithTheirTooltips) {
    Open();
    const ui::CBmpBtn* add = m_page->BitmapButton(ui::kAddCategoryButton);
    const ui::CBmpBtn* remove = m_page->BitmapButton(ui::kRemoveCategoryButton);
    ASSERT_TRUE(add && remove);
    EXPECT_EQ(add->m_hWnd, Item(ui::kAddCategoryButton));
    EXPECT_EQ(remove->m_hWnd, Item(ui::kRemoveCategoryButton));
    EXPECT_EQ(add->GetBitmapButtonExtendedStyle(), 27u);
    EXPECT_EQ(remove->GetBitmapButtonExtendedStyle(), 27u);
    ASSERT_NE(add->GetImageList(), nullptr);
    EXPECT_EQ(add->GetImageList(), remove->GetImageList());
    EXPECT_EQ(ImageList_GetImageCount(add->GetImageList()), 9);
    const int addImages[] = {3, 3, 5, 4};
    const int removeImages[] = {6, 6, 8, 7};
    for (int state = 0; state < 4; ++state) {
        EXPECT_EQ(add->ImageIndex(state), addImages[state]);
        EXPECT_EQ(remove->ImageIndex(state), removeImages[state]);
    }
    EXPECT_EQ(add->GetToolTipText(), L"Add to list");
    EXPECT_EQ(remove->GetToolTipText(), L"Remove selected entry");
    for (int id : {ui::kAddCategoryButton, ui::kRemoveCategoryButton}) {
        RECT r{};
        GetWindowRect(Item(id), &r);
        EXPECT_EQ(r.right - r.left, 22) << id;  // 20 x 20 image, single 3-D border
        EXPECT_EQ(r.bottom - r.top, 22) << id;
        EXPECT_FALSE(IsWindowEnabled(Item(id))) << id;
    }
    EXPECT_NE(SendMessageW(Item(ui::kPageIconStatic), STM_GETICON, 0, 0), 0);
}

TEST_F(ExtProppageTest, ThemedTabShowsThroughTheStaticControlsWhereTheySit) {
    HWND tab = CreateWindowExW(0, L"Static", L"tab", WS_POPUP, 0, 0, 800, 600, nullptr, nullptr,
                               nullptr, nullptr);
    ASSERT_NE(tab, nullptr);
    HWND label = nullptr;
    HDC dc = GetDC(tab);

    // Without a visual style the default colours apply.
    Open(tab);
    EXPECT_EQ(win::ThemeDialogTextureFlags(tab), ETDT_ENABLETAB);
    label = Item(ui::kOverviewLabel);
    EXPECT_EQ(SendMessageW(m_page->m_hWnd, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                           reinterpret_cast<LPARAM>(label)),
              0);

    win::SetAppThemedForTesting(true);
    Open(tab);
    label = Item(ui::kOverviewLabel);
    const auto brush = reinterpret_cast<HBRUSH>(SendMessageW(m_page->m_hWnd, WM_CTLCOLORSTATIC,
                                                             reinterpret_cast<WPARAM>(dc),
                                                             reinterpret_cast<LPARAM>(label)));
    ASSERT_NE(brush, nullptr);
    EXPECT_TRUE(win::PatternOfBrush(brush).has_value());
    RECT r{};
    GetWindowRect(label, &r);
    MapWindowPoints(nullptr, tab, reinterpret_cast<POINT*>(&r), 2);
    const auto state = win::DescribeDC(dc);
    ASSERT_TRUE(state.has_value());
    EXPECT_EQ(state->bkMode, TRANSPARENT);
    EXPECT_EQ(state->brushOrigin.x, -r.left);
    EXPECT_EQ(state->brushOrigin.y, -r.top);
    EXPECT_EQ(SendMessageW(m_page->m_hWnd, WM_CTLCOLORDLG, reinterpret_cast<WPARAM>(dc),
                           reinterpret_cast<LPARAM>(m_page->m_hWnd)),
              reinterpret_cast<LRESULT>(brush));

    ReleaseDC(tab, dc);
    m_page.Release();
    DestroyWindow(tab);
}

}  // namespace
