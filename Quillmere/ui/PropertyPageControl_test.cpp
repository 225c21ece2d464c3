#include "Quillmere/ui/PropertyPageControl.h"

#include <gtest/gtest.h>

#include <string>

#include "Quillmere/ui/ExtProppage.h"
#include "Quillmere/ui/PageTestSupport_test.h"
#include "platform/com/Com.h"
#include "platform/win/Window.h"

namespace {

// A page on the Options page's template.
class TestPage final : public ui::CPropertyPageControl<TestPage, ui::IPageEngine> {
public:
    TestPage() : CPropertyPageControl(ui::kExtProppageTemplate, nullptr) {}
    ~TestPage() override { ReleasePage(); }
    HRESULT Apply() override { return S_OK; }
    bool ProcessWindowMessage(HWND, UINT, WPARAM, LPARAM, LRESULT&) override { return false; }
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

// The dual interface has no members: nothing outside the page reaches its
// controls by name.
TEST_F(PropertyPageControlTest, TheDispatchInterfaceKnowsNoNamesAndInvokesNothing) {
    OLECHAR name[] = L"used";
    OLECHAR* names[] = {name, name};
    DISPID ids[2] = {7, 7};
    EXPECT_EQ(m_page->GetIDsOfNames(IID_NULL, nullptr, 1, 0, ids), E_POINTER);
    EXPECT_EQ(m_page->GetIDsOfNames(IID_NULL, names, 0, 0, ids), E_POINTER);
    EXPECT_EQ(m_page->GetIDsOfNames(IID_NULL, names, 2, 0, ids), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(ids[0], DISPID_UNKNOWN);
    EXPECT_EQ(ids[1], DISPID_UNKNOWN);
    CComVariant one(L"1");
    for (DISPID id : {0, 1, 5})
        EXPECT_EQ(Call(id, DISPATCH_PROPERTYPUT, &one, 1), DISP_E_MEMBERNOTFOUND) << id;
    EXPECT_EQ(m_page->m_hWnd, nullptr) << "no call makes the window";
}

// Outlook shows the page in its dialog's tab: the page's window is made
// there, at the place given, and shown; hiding keeps it.
TEST_F(PropertyPageControlTest, DoVerbShowsThePageInTheTabAndHidesIt) {
    HWND tab = CreateWindowExW(0, L"Static", L"", WS_POPUP | WS_VISIBLE, 10, 10, 400, 500, nullptr,
                               nullptr, nullptr, nullptr);
    ASSERT_NE(tab, nullptr);
    const RECT place{0, 0, 400, 480};
    EXPECT_EQ(m_page->DoVerb(7, nullptr, nullptr, 0, tab, &place), OLEOBJ_S_INVALIDVERB);
    EXPECT_EQ(m_page->m_hWnd, nullptr);
    ASSERT_EQ(m_page->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, nullptr, 0, tab, &place), S_OK);
    HWND window = m_page->m_hWnd;
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(GetParent(window), tab);
    EXPECT_TRUE(IsWindowVisible(window));
    RECT r{};
    GetWindowRect(window, &r);
    EXPECT_EQ(r.right - r.left, 400);
    EXPECT_EQ(r.bottom - r.top, 480);
    ASSERT_EQ(m_page->DoVerb(OLEIVERB_HIDE, nullptr, nullptr, 0, tab, nullptr), S_OK);
    EXPECT_FALSE(IsWindowVisible(window));
    ASSERT_EQ(m_page->DoVerb(OLEIVERB_SHOW, nullptr, nullptr, 0, tab, nullptr), S_OK);
    EXPECT_EQ(m_page->m_hWnd, window) << "one window for the page's life";
    EXPECT_TRUE(IsWindowVisible(window));
    DestroyWindow(tab);
}

TEST_F(PropertyPageControlTest, ThePageHasOneWindowAndTakesItAlongWhenItGoes) {
    HWND window = m_page->CreatePage(nullptr);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(m_page->CreatePage(nullptr), nullptr) << "it exists already";
    m_page.Release();
    EXPECT_FALSE(IsWindow(window));
}

}  // namespace
