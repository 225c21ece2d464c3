#include "Quillmere/ui/PropertyPageControl.h"

#include <gtest/gtest.h>

#include <string>

#include "Quillmere/ui/ExtProppage.h"
#include "Quillmere/ui/PageTestSupport_test.h"
#include "platform/com/Com.h"
#include "platform/win/Window.h"

namespace {

// A page with one text field "text" that refuses the value "no", on the
// Options page's template.
class TestPage final : public ui::CPropertyPageControl<TestPage, ui::IPageEngine> {
public:
    TestPage() : CPropertyPageControl(ui::kExtProppageTemplate, nullptr) {}
    ~TestPage() override { ReleasePage(); }
    HRESULT Apply() override { return S_OK; }
    bool ProcessWindowMessage(HWND, UINT, WPARAM, LPARAM, LRESULT&) override { return false; }

    std::wstring text;

private:
    DISPID FieldCount() const override { return 1; }
    DISPID FieldId(const std::wstring& name) const override {
        return name == L"text" ? 1 : DISPID_UNKNOWN;
    }
    CComVariant GetField(DISPID) const override { return CComVariant(text.c_str()); }
    bool SetField(DISPID, const std::wstring& value) override {
        if (value == L"no")
            return false;
        text = value;
        return true;
    }
};

// A client site that is no page site.
class PlainSite final : public com::ComObject<PlainSite, IOleClientSite> {};

class PropertyPageControlTest : public ::testing::Test {
protected:
    void SetUp() override {
        CoInitializeEx(nullptr, 0);
        m_page = com::Make<TestPage>();
        m_site = com::Make<pagetest::PageSite, IOleClientSite>(m_statusChanges);
    }
    void TearDown() override {
        m_page.Release();
        CoUninitialize();
    }
    VARIANT_BOOL Dirty() {
        VARIANT_BOOL d = 1;
        EXPECT_EQ(m_page->get_Dirty(&d), S_OK);
        return d;
    }
    // Invoke with the arguments given (null: none) and the result kept.
    HRESULT Call(DISPID id, WORD flags, VARIANT* args, UINT count, UINT* argErr = nullptr) {
        DISPPARAMS params{args, nullptr, count, 0};
        m_result.Clear();
        return m_page->Invoke(id, IID_NULL, 0, flags, &params, &m_result, nullptr, argErr);
    }

    win::testing::TestMachine m_machine;
    int m_statusChanges = 0;
    CComPtr<TestPage> m_page;
    CComPtr<IOleClientSite> m_site;
    CComVariant m_result;
};

TEST_F(PropertyPageControlTest, ClientSiteIsKeptAndHandedBackWithAReference) {
    IOleClientSite* got = nullptr;
    EXPECT_EQ(m_page->GetClientSite(nullptr), E_POINTER);
    EXPECT_EQ(m_page->GetClientSite(&got), E_FAIL);
    EXPECT_EQ(got, nullptr);

    ASSERT_EQ(m_page->SetClientSite(m_site), S_OK);
    ASSERT_EQ(m_page->GetClientSite(&got), S_OK);
    EXPECT_EQ(got, m_site.p);
    // Left: the test's, and the page's as client site and as page site.
    EXPECT_EQ(got->Release(), 3u);

    ASSERT_EQ(m_page->SetClientSite(nullptr), S_OK);
    EXPECT_EQ(m_page->GetClientSite(&got), E_FAIL);
    EXPECT_EQ(m_site.p->AddRef(), 2u) << "the page let go of the site";
    m_site.p->Release();
    m_page->MarkDirty();
    EXPECT_EQ(m_statusChanges, 0) << "no page site is left to tell";
}

TEST_F(PropertyPageControlTest, DirtyFlagStartsCleanAndEverySiteClearsIt) {
    EXPECT_EQ(m_page->m_dirty.vt, VT_EMPTY);
    EXPECT_EQ(Dirty(), VARIANT_FALSE);
    m_page->MarkDirty();  // without a site: marked, nobody told
    EXPECT_EQ(Dirty(), VARIANT_TRUE);

    ASSERT_EQ(m_page->SetClientSite(m_site), S_OK);
    EXPECT_EQ(m_page->m_dirty.vt, VT_BOOL);
    EXPECT_EQ(Dirty(), VARIANT_FALSE);
    EXPECT_EQ(m_statusChanges, 0);
    m_page->MarkDirty();
    EXPECT_EQ(Dirty(), VARIANT_TRUE);
    EXPECT_EQ(m_statusChanges, 1);
    m_page->NotifySite();
    EXPECT_EQ(Dirty(), VARIANT_TRUE);
    EXPECT_EQ(m_statusChanges, 2);
}

TEST_F(PropertyPageControlTest, ASiteWithoutPageSiteLeavesThePageWithoutOne) {
    ASSERT_EQ(m_page->SetClientSite(m_site), S_OK);
    ASSERT_TRUE(m_page->m_pageSite);
    CComPtr<IOleClientSite> plain = com::Make<PlainSite, IOleClientSite>();
    ASSERT_EQ(m_page->SetClientSite(plain), S_OK);
    EXPECT_FALSE(m_page->m_pageSite);
    IOleClientSite* got = nullptr;
    ASSERT_EQ(m_page->GetClientSite(&got), S_OK);
    EXPECT_EQ(got, plain.p);
    got->Release();
    m_page->MarkDirty();
    EXPECT_EQ(Dirty(), VARIANT_TRUE);
    EXPECT_EQ(m_statusChanges, 0);
}

TEST_F(PropertyPageControlTest, OnlyTheFirstNameIsLookedUp) {
    OLECHAR known[] = L"text";
    OLECHAR unknown[] = L"other";
    OLECHAR* names[] = {unknown, known};
    DISPID ids[2] = {7, 7};
    EXPECT_EQ(m_page->GetIDsOfNames(IID_NULL, nullptr, 1, 0, ids), E_POINTER);
    EXPECT_EQ(m_page->GetIDsOfNames(IID_NULL, names, 1, 0, nullptr), E_POINTER);
    EXPECT_EQ(m_page->GetIDsOfNames(IID_NULL, names, 0, 0, ids), E_POINTER);
    EXPECT_EQ(m_page->GetIDsOfNames(IID_NULL, names, 2, 0, ids), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(ids[0], DISPID_UNKNOWN);
    EXPECT_EQ(ids[1], DISPID_UNKNOWN) << "only the first name is a field's";
    names[0] = known;
    EXPECT_EQ(m_page->GetIDsOfNames(IID_NULL, names, 1, 0, ids), S_OK);
    EXPECT_EQ(ids[0], 1);
}

TEST_F(PropertyPageControlTest, FieldsAreReadAndSetThroughInvoke) {
    CComVariant yes(L"yes");
    CComVariant no(L"no");
    CComVariant date(45000.0, VT_DATE);
    EXPECT_EQ(Call(0, DISPATCH_PROPERTYGET, nullptr, 0), DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(Call(2, DISPATCH_PROPERTYPUT, &yes, 1), DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(Call(1, DISPATCH_PROPERTYGET, nullptr, 0), DISP_E_MEMBERNOTFOUND) << "no window";
    EXPECT_EQ(
        m_page->Invoke(1, IID_NULL, 0, DISPATCH_PROPERTYGET, nullptr, nullptr, nullptr, nullptr),
        S_OK);
    EXPECT_EQ(Call(1, DISPATCH_PROPERTYPUT, nullptr, 0), DISP_E_BADPARAMCOUNT);
    UINT argErr = 9;
    EXPECT_EQ(Call(1, DISPATCH_PROPERTYPUT, &date, 1, &argErr), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(argErr, 0u);
    EXPECT_EQ(m_page->m_hWnd, nullptr) << "nothing to set yet";

    EXPECT_EQ(Call(1, DISPATCH_PROPERTYPUT, &no, 1), E_INVALIDARG);
    ASSERT_NE(m_page->m_hWnd, nullptr) << "a put makes the window";
    EXPECT_EQ(GetParent(m_page->m_hWnd), GetDesktopWindow());
    EXPECT_FALSE(IsWindowVisible(m_page->m_hWnd));
    EXPECT_EQ(Call(1, DISPATCH_PROPERTYPUT, &yes, 1), S_OK);
    ASSERT_EQ(Call(1, DISPATCH_PROPERTYGET, nullptr, 0), S_OK);
    ASSERT_EQ(m_result.vt, VT_BSTR);
    EXPECT_EQ(std::wstring(m_result.bstrVal), L"yes");
}

TEST_F(PropertyPageControlTest, ThePageHasOneWindowAndTakesItAlongWhenItGoes) {
    HWND window = m_page->CreatePage(nullptr);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(m_page->CreatePage(nullptr), nullptr) << "it exists already";
    m_page.Release();
    EXPECT_FALSE(IsWindow(window));
}

}  // namespace
