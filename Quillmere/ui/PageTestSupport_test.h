// Test doubles and helpers that the tests of both property pages share:
// Outlook's page site, the engine's helper session as far as the pages use
// it, registry helpers, a fixture that makes a page as Outlook does, and
// the checks of what every page control answers alike.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "Quillmere/core/AddinServer.h"
#include "Quillmere/core/FakeHelperLibrary_test.h"
#include "platform/com/Com.h"
#include "platform/com/OleObject.h"
#include "platform/outlook/Outlook.h"
#include "platform/win/Controls.h"
#include "platform/win/Dialog.h"
#include "platform/win/Gdi.h"
#include "platform/win/Registry.h"
#include "platform/win/TestMachine.h"
#include "platform/win/Window.h"
#include "platform/win/WindowCoordinates.h"

namespace pagetest {

using fakes::FakeDispatch;
using fakes::OutText;

inline const std::wstring kConfig = L"Software\\Brindlecast\\Quillmere\\Config";
inline const std::wstring kFolders = L"Software\\Brindlecast\\Quillmere\\Folders";

// --- Test doubles -------------------------------------------------------------------

class Account final : public FakeDispatch<Account, QMRAccount> {
public:
    Account(std::wstring n, LONG i) : name(std::move(n)), id(i) {}
    HRESULT Name(BSTR* n) override { return OutText(name, n); }
    HRESULT ID(LONG* i) override { return *i = id, S_OK; }
    std::wstring name;
    LONG id;
};

// The accounts; in the sending order (2) the list is itself.
class AccountList final : public FakeDispatch<AccountList, QMRAccountList, QMRAccounts> {
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

class Category final : public FakeDispatch<Category, QMRCategory> {
public:
    explicit Category(std::wstring n) : name(std::move(n)) {}
    HRESULT Name(BSTR* n) override { return OutText(name, n); }
    std::wstring name;
};

// The categories; an empty name stands for an entry that can't be read.
class CategoryList final : public FakeDispatch<CategoryList, QMRCategories> {
public:
    std::vector<std::wstring> names;
    HRESULT Count(LONG* c) override { return *c = static_cast<LONG>(names.size()), S_OK; }
    HRESULT Item(VARIANT index, QMRCategory** c) override {
        *c = nullptr;
        if (index.vt != VT_I4 || index.lVal < 1 || index.lVal > static_cast<LONG>(names.size()))
            return DISP_E_BADINDEX;
        const std::wstring& n = names[static_cast<std::size_t>(index.lVal - 1)];
        if (n.empty())
            return MAPI_E_NOT_FOUND;
        *c = com::Make<Category>(n).Detach();
        return S_OK;
    }
};

// The engine's helper session of the profile "Work" as far as the pages use
// it: its accounts and its categories.
class PageSession final : public FakeDispatch<PageSession, QMRRDOSession> {
public:
    CComPtr<AccountList> accounts = com::Make<AccountList>();
    CComPtr<CategoryList> categories = com::Make<CategoryList>();
    HRESULT Logon(VARIANT, VARIANT, VARIANT, VARIANT, VARIANT, VARIANT) override { return S_OK; }
    HRESULT Logoff() override { return S_OK; }
    HRESULT GetLoggedOn(VARIANT_BOOL* v) override { return *v = VARIANT_TRUE, S_OK; }
    HRESULT GetMAPIOBJECT(IUnknown** o) override { return *o = nullptr, E_NOTIMPL; }
    HRESULT PutMAPIOBJECT(IUnknown*) override { return S_OK; }
    HRESULT ClearOption(LONG) override { return S_OK; }
    HRESULT GetProfileName(BSTR* v) override { return OutText(L"Work", v); }
    HRESULT GetConnectionMode(LONG* m) override { return *m = 0, S_OK; }
    HRESULT GetExchangeVersion(BSTR* v) override { return OutText(L"", v); }
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
    HRESULT GetAccounts(QMRAccounts** a) override { return fakes::Give(accounts, a); }
    HRESULT GetCategories(QMRCategories** c) override { return fakes::Give(categories, c); }
    HRESULT GetAddressBook(QMRAddressBook** a) override { return *a = nullptr, E_NOTIMPL; }
    HRESULT GetMessageFromMsgFile(BSTR, VARIANT_BOOL, QMRMessage** m) override {
        return *m = nullptr, E_NOTIMPL;
    }
};

// The page site is the client site Outlook hands the page control; it
// counts the page's OnStatusChange calls in changes.
class PageSite final : public FakeDispatch<PageSite, PropertyPageSite, IOleClientSite> {
public:
    explicit PageSite(int& changes) : m_changes(changes) {}
    HRESULT OnStatusChange() override { return ++m_changes, S_OK; }

private:
    int& m_changes;
};

// --- Registry helpers -------------------------------------------------------------

inline HKEY Create(const std::wstring& path, HKEY hive = HKEY_CURRENT_USER) {
    HKEY key = nullptr;
    EXPECT_EQ(
        RegCreateKeyExW(hive, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
        ERROR_SUCCESS);
    return key;
}

inline void SetDword(const std::wstring& path, const wchar_t* name, DWORD value,
                     HKEY hive = HKEY_CURRENT_USER) {
    HKEY key = Create(path, hive);
    RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    RegCloseKey(key);
}

// A REG_SZ of the text's units, with the terminator unless told otherwise.
inline void SetString(const std::wstring& path, const wchar_t* name, const std::wstring& text,
                      bool terminated = true, DWORD type = REG_SZ) {
    HKEY key = Create(path);
    RegSetValueExW(key, name, 0, type, text.c_str(),
                   static_cast<DWORD>((text.size() + (terminated ? 1 : 0)) * 2));
    RegCloseKey(key);
}

inline void MakeKey(const std::wstring& path) {
    RegCloseKey(Create(path));
}

inline bool KeyExists(const std::wstring& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

// Subkey names of a key under HKEY_CURRENT_USER; {"<missing>"} without the key.
inline std::vector<std::wstring> Subkeys(const std::wstring& path) {
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

// --- Windows ----------------------------------------------------------------------

// A stand-in for the tab of Outlook's dialog that holds a page: a hidden
// top-level window of width x height pixels; null when it can't be made.
// The test destroys it.
inline HWND MakeTab(int width, int height) {
    return CreateWindowExW(0, L"Static", L"tab", WS_POPUP, 0, 0, width, height, nullptr, nullptr,
                           nullptr, nullptr);
}

// The texts of the entries of a list box (LB_GETCOUNT, LB_GETTEXT) or a
// combo box (CB_GETCOUNT, CB_GETLBTEXT), each of up to 299 characters.
inline std::vector<std::wstring> Entries(HWND control, UINT countMessage, UINT textMessage) {
    std::vector<std::wstring> out;
    for (LRESULT i = 0; i < SendMessageW(control, countMessage, 0, 0); ++i) {
        wchar_t buffer[300] = L"";
        SendMessageW(control, textMessage, static_cast<WPARAM>(i),
                     reinterpret_cast<LPARAM>(buffer));
        out.push_back(buffer);
    }
    return out;
}

// --- Fixture ----------------------------------------------------------------------

// A machine of its own, and the page (Page, with the engine interface
// Engine) made as Outlook makes it; m_statusChanges counts its page site's
// OnStatusChange calls since it was opened.
template <class Page, class Engine>
class PageFixture : public ::testing::Test {
protected:
    // Makes the page as Outlook does: instance, client site, window (under
    // parent; null: under the desktop), with the engine access given.
    void OpenPage(std::unique_ptr<Engine> engine, HWND parent) {
        m_page.Release();
        m_page = com::Make<Page>();
        m_page->SetEngineAccess(std::move(engine));
        m_statusChanges = 0;
        m_site = com::Make<PageSite, PropertyPageSite>(m_statusChanges);
        ASSERT_EQ(m_page->SetClientSite(CComQIPtr<IOleClientSite>(m_site)), S_OK);
        ASSERT_NE(m_page->CreatePage(parent), nullptr);
    }
    HWND Item(int id) { return GetDlgItem(m_page->m_hWnd, id); }
    bool Checked(int id) { return IsDlgButtonChecked(m_page->m_hWnd, id) == BST_CHECKED; }
    VARIANT_BOOL Dirty() {
        VARIANT_BOOL d = 1;
        EXPECT_EQ(m_page->get_Dirty(&d), S_OK);
        return d;
    }

    win::testing::TestMachine m_machine;
    CComPtr<Page> m_page;
    CComPtr<PropertyPageSite> m_site;
    int m_statusChanges = 0;
};

// --- Checks of every page control ----------------------------------------------

// GetPageInfo refuses null out pointers and has no help to give; get_Dirty
// refuses a null one.
template <class Page>
void ExpectPageInfoAndDirtyCheckTheirPointers(Page* page) {
    BSTR file = nullptr;
    LONG context = 0;
    EXPECT_EQ(page->GetPageInfo(nullptr, &context), E_POINTER);
    EXPECT_EQ(page->GetPageInfo(&file, nullptr), E_POINTER);
    EXPECT_EQ(page->GetPageInfo(&file, &context), E_NOTIMPL);
    EXPECT_EQ(page->get_Dirty(nullptr), E_POINTER);
}

// After the module's registration progId names clsid, whose class factory
// makes a PropertyPage that starts clean.
inline void ExpectCreatableByProgId(const wchar_t* progId, const CLSID& expected) {
    ASSERT_EQ(DllRegisterServer(), S_OK);
    CLSID clsid{};
    ASSERT_EQ(CLSIDFromProgID(progId, &clsid), S_OK);
    EXPECT_TRUE(clsid == expected);
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

// The page's answer to WM_CTLCOLORSTATIC for label, drawn through dc, as
// brush: the themed tab's pattern brush, with dc transparent and its brush
// origin at minus the label's top-left corner in the tab.
inline void ExpectTabBrushBehind(HWND page, HWND tab, HDC dc, HWND label, HBRUSH& brush) {
    brush = reinterpret_cast<HBRUSH>(SendMessageW(
        page, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc), reinterpret_cast<LPARAM>(label)));
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
}

}  // namespace pagetest
