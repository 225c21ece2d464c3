// Categories of items over the real helper library, the registry lists of
// the test machine, and adding a category to an Outlook-like item.
#include "Quillmere/tracking/Categories.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Quillmere/core/AddinTestSupport_test.h"
#include "Quillmere/core/DebugLog.h"
#include "platform/com/ComObject.h"
#include "platform/rdo/RdoTestSupport.h"
#include "platform/win/Module.h"
#include "platform/win/Registry.h"

namespace {

using Texts = std::vector<std::wstring>;

class CategoriesTest : public rdo::testing::RdoTest {
protected:
    void SetUp() override {
        RdoTest::SetUp();
        m_profiles.Add(MakeProfile());
        ASSERT_NO_FATAL_FAILURE(addintest::OpenRegisteredHelperSession(m_utils, m_session));
    }
    void TearDown() override {
        m_utils.Release();
        m_session.Release();
        RdoTest::TearDown();
    }
    CComPtr<QMRMessage> NewMail() {
        CComPtr<QMRMAPIFolder> inbox;
        EXPECT_EQ(m_session->GetDefaultFolder(6, &inbox), S_OK);
        CComPtr<QMRItems> items;
        EXPECT_EQ(inbox->GetItems(&items), S_OK);
        CComPtr<QMRMessage> mail;
        EXPECT_EQ(items->Add(CComVariant(L"IPM.Note"), &mail), S_OK);
        EXPECT_EQ(mail->Save(), S_OK);
        return mail;
    }

    CComPtr<QMRMAPIUtils> m_utils;
    CComPtr<QMRRDOSession> m_session;
};

TEST_F(CategoriesTest, KeywordsAreReadInOrderUpToTheFirstNonText) {
    CComPtr<QMRMessage> mail = NewMail();
    Texts none;
    GetKeywords(m_utils, mail, none);
    EXPECT_TRUE(none.empty());

    ULONG tag = 0;
    ASSERT_EQ(m_utils->GetIDsFromNames(mail, CComBSTR(categories::kPublicStrings),
                                       CComVariant(L"Keywords"), VARIANT_TRUE, &tag),
              S_OK);
    CComVariant list;
    list.vt = VT_ARRAY | VT_VARIANT;
    list.parray = SafeArrayCreateVector(VT_VARIANT, 0, 3);
    const wchar_t* names[] = {L"Red", L"Blue", L"Green"};
    for (LONG i = 0; i < 3; ++i) {
        CComVariant e(names[i]);
        SafeArrayPutElement(list.parray, &i, &e);
    }
    ASSERT_EQ(m_utils->HrSetOneProp(mail, tag | categories::kTypeMvString8, list, VARIANT_TRUE),
              S_OK);
    Texts read{L"before"};
    GetKeywords(m_utils, mail, read);
    EXPECT_EQ(read, (Texts{L"before", L"Red", L"Blue", L"Green"}));

    // The add-in's own set is a different property.
    Texts own;
    EXPECT_FALSE(categories::ReadKeywords(m_utils, mail, categories::kOwnPropertySet, own));
    EXPECT_TRUE(own.empty());
}

TEST_F(CategoriesTest, RegistryListsAreTheSubkeyNames) {
    const std::wstring base = L"Software\\Brindlecast\\Quillmere\\";
    addintest::CreateRegistryKey(base + L"Folders\\00AB\\CategoriesFilter\\Red");
    addintest::CreateRegistryKey(base + L"Folders\\00AB\\CategoriesFilter\\Blue green");
    addintest::CreateRegistryKey(base + L"UserCategories\\bert@example.org\\Work");
    addintest::CreateRegistryKey(base + L"UserCategories\\bert@example.org\\Home");

    Texts filter;
    LoadCategoriesFilter(nullptr, filter, L"00AB");
    EXPECT_EQ(filter, (Texts{L"Blue green", L"Red"}));  // enumeration order
    Texts user;
    LoadUserCategories(nullptr, user, L"bert@example.org");
    EXPECT_EQ(user, (Texts{L"Home", L"Work"}));

    Texts missing{L"kept"};
    LoadCategoriesFilter(nullptr, missing, L"00CD");
    LoadUserCategories(nullptr, missing, L"nobody@example.org");
    LoadCategoriesFilter(nullptr, missing, nullptr);
    EXPECT_EQ(missing, Texts{L"kept"});
}

}  // namespace
