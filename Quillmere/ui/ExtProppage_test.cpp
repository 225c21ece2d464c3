#include "Quillmere/ui/ExtProppage.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Quillmere/core/AddinGlobals.h"
#include "Quillmere/core/DebugLog.h"
#include "Quillmere/ui/PageTestSupport_test.h"
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
#include "platform/win/WindowPicture.h"

namespace {

using win::testing::TextOf;

using pagetest::kConfig;
using pagetest::kFolders;
using pagetest::SetDword;
using pagetest::SetString;
using pagetest::Subkeys;

struct EngineState {
    bool exists = true;
    LONG accountIndex = -7;
    bool journal = false, notification = false, reminder = false;
};

class FakeEngine final : public ui::IExtProppageEngine {
public:
    FakeEngine(EngineState& s, QMRRDOSession* session) : m_state(s), m_session(session) {}
    bool Exists() override { return m_state.exists; }
    QMRRDOSession* Session() override { return m_session; }
    std::wstring ModuleDirectory() override { return L"C:\\Addin\\"; }
    void SetMailAccountIndex(LONG index) override { m_state.accountIndex = index; }
    void SetSwitches(bool j, bool n, bool r) override {
        m_state.journal = j, m_state.notification = n, m_state.reminder = r;
    }

private:
    EngineState& m_state;
    QMRRDOSession* m_session;
};

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

class ExtProppageTest : public pagetest::PageFixture<ui::CExtProppage, ui::IExtProppageEngine> {
protected:
    void SetUp() override {
        g_UILanguage = 0x0409;
        CoInitializeEx(nullptr, 0);
        m_session = com::Make<pagetest::PageSession>();
        // "Homebase" comes first: "Home" must still select "Home".
        m_session->accounts->accounts.push_back(com::Make<pagetest::Account>(L"Homebase", 5));
        m_session->accounts->accounts.push_back(com::Make<pagetest::Account>(L"Home", 4));
        m_session->accounts->accounts.push_back(com::Make<pagetest::Account>(L"Office", 9));
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
        OpenPage(std::make_unique<FakeEngine>(m_engine, m_session), parent);
    }
    // A control's rectangle in page coordinates.
    RECT InPage(int id) {
        RECT r{};
        GetWindowRect(Item(id), &r);
        MapWindowPoints(nullptr, m_page->m_hWnd, reinterpret_cast<POINT*>(&r), 2);
        return r;
    }

    // Whether a picture of the page shows the link in the link colour (a
    // blue ink), not the grey of a disabled one.
    bool LinkDrawnLive(int id) {
        const win::Picture page = win::MakeWindowPicture(m_page->m_hWnd);
        const win::Picture link = win::CropToWindow(page, m_page->m_hWnd, Item(id));
        for (std::uint32_t p : link.pixels) {
            const int r = (p >> 16) & 0xFF, b = p & 0xFF;
            if (b > r + 100)
                return true;
        }
        return false;
    }

    EngineState m_engine;
    CComPtr<pagetest::PageSession> m_session;
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
    // The link stays enabled until the debug box is clicked, and is drawn so.
    EXPECT_TRUE(IsWindowEnabled(Item(ui::kDebugLogLink)));
    EXPECT_TRUE(LinkDrawnLive(ui::kDebugLogLink));
    win::ClickButton(Item(ui::kDebugCheck));
    EXPECT_TRUE(IsWindowEnabled(Item(ui::kDebugLogLink)));
    win::ClickButton(Item(ui::kDebugCheck));
    EXPECT_FALSE(IsWindowEnabled(Item(ui::kDebugLogLink)));
    EXPECT_FALSE(LinkDrawnLive(ui::kDebugLogLink));
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
    SetString(kFolders + L"\\C", L"Foldername", L"Notes");
    SetString(kFolders + L"\\C", L"ShareName", L"Odd", false);
    Open();
    EXPECT_EQ(pagetest::Entries(Item(ui::kOverviewList), LB_GETCOUNT, LB_GETTEXT),
              std::vector<std::wstring>{L"[APE]=>Notes"});
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
    pagetest::ExpectPageInfoAndDirtyCheckTheirPointers(m_page.p);
}

TEST_F(ExtProppageTest, IsCreatableByItsProgId) {
    pagetest::ExpectCreatableByProgId(L"Quillmere.ExtProppage", ui::CLSID_ExtProppage);
}

// --- Layout, buttons, background --------------------------------------------------

// Every control of the page, as the template numbers them.
constexpr int kAllControls[] = {304, 305, 306, 307, 308, 309, 310, 311, 312, 313, 314,
                                315, 316, 317, 318, 319, 320, 321, 322, 323, 324};

TEST_F(ExtProppageTest, ControlsMoveTogetherSoThatTheFirstSeparatorIsCentredInTheTab) {
    HWND tab = pagetest::MakeTab(800, 600);
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
    HWND tab = pagetest::MakeTab(800, 600);
    ASSERT_NE(tab, nullptr);
    HDC dc = GetDC(tab);

    // Without a visual style the default colours apply.
    Open(tab);
    EXPECT_EQ(win::ThemeDialogTextureFlags(tab), ETDT_ENABLETAB);
    const HWND label = Item(ui::kOverviewLabel);
    EXPECT_EQ(SendMessageW(m_page->m_hWnd, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                           reinterpret_cast<LPARAM>(label)),
              0);

    win::SetAppThemedForTesting(true);
    Open(tab);
    HBRUSH brush = nullptr;
    pagetest::ExpectTabBrushBehind(m_page->m_hWnd, tab, dc, Item(ui::kOverviewLabel), brush);
    EXPECT_EQ(SendMessageW(m_page->m_hWnd, WM_CTLCOLORDLG, reinterpret_cast<WPARAM>(dc),
                           reinterpret_cast<LPARAM>(m_page->m_hWnd)),
              reinterpret_cast<LRESULT>(brush));

    ReleaseDC(tab, dc);
    m_page.Release();
    DestroyWindow(tab);
}

}  // namespace
