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

// An Outlook item as Cat2Item sees it: Categories (get, put) and Save.
class FakeItem final : public com::ComObject<FakeItem, IDispatch> {
public:
    explicit FakeItem(std::wstring categories) : m_categories(std::move(categories)) {}
    HRESULT GetTypeInfoCount(UINT* count) override { return *count = 0, S_OK; }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, OLECHAR**, UINT, LCID, DISPID*) override {
        return DISP_E_UNKNOWNNAME;
    }
    HRESULT Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                   EXCEPINFO*, UINT*) override {
        if (id == 0x9001 && (flags & DISPATCH_PROPERTYPUT)) {
            if (!params || params->cArgs != 1 || params->rgvarg[0].vt != VT_BSTR)
                return DISP_E_TYPEMISMATCH;
            m_categories = params->rgvarg[0].bstrVal;
            ++puts;
            return S_OK;
        }
        if (id == 0x9001) {
            if (getFails)
                return E_FAIL;
            if (result) {
                result->vt = VT_BSTR;
                result->bstrVal = SysAllocString(m_categories.c_str());
            }
            return S_OK;
        }
        if (id == 0xF048) {
            ++saves;
            return saveFails ? MAPI_E_NO_ACCESS : S_OK;
        }
        return DISP_E_MEMBERNOTFOUND;
    }
    std::wstring m_categories;
    int puts = 0, saves = 0;
    bool getFails = false, saveFails = false;
};

TEST_F(CategoriesTest, Cat2ItemAddsACategoryOnceAndSaves) {
    struct Case {
        const wchar_t* before;
        const wchar_t* category;
        const wchar_t* after;
        int saves;
    };
    const Case cases[] = {
        {L"", L"Red", L"Red", 1},
        {L"Blue", L"Red", L"Blue,Red", 1},
        {L"Blue, Red", L"Red", L"Blue, Red", 0},  // as Outlook joins them
        {L"Red", L"Red", L"Red", 0},
        {L"Redder", L"Red", L"Redder,Red", 1},
        {L"red", L"Red", L"red,Red", 1},  // exact text
        {L"Blue", L"", L"Blue", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.before << "+" << c.category);
        auto item = com::Make<FakeItem>(c.before);
        Cat2Item(nullptr, item, c.category);
        EXPECT_EQ(item->m_categories, c.after);
        EXPECT_EQ(item->saves, c.saves);
    }
}

TEST_F(CategoriesTest, Cat2ItemFailuresAreLoggedNotRaised) {
    logs::ResetForTesting();
    wchar_t temp[MAX_PATH];
    ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
    std::wstring errorLog = std::wstring(temp) + L"Quillmere_error.log";
    SetErrorLogPath(errorLog.c_str());
    LogHResult(0, "session");

    auto unreadable = com::Make<FakeItem>(L"Blue");
    unreadable->getFails = true;
    Cat2Item(nullptr, unreadable, L"Red");
    EXPECT_EQ(unreadable->puts, 0);
    EXPECT_EQ(unreadable->saves, 0);

    auto locked = com::Make<FakeItem>(L"Blue");
    locked->saveFails = true;
    Cat2Item(nullptr, locked, L"Red");
    EXPECT_EQ(locked->saves, 1);

    std::string log = win::testing::TestMachine::ReadHostFile(*win::HostPath(errorLog));
    EXPECT_NE(log.find("get_Categories"), std::string::npos) << log;
    EXPECT_NE(log.find("Cat2Item::Save"), std::string::npos) << log;
    logs::ResetForTesting();
}

}  // namespace
