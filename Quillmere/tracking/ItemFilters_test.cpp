// The item filters over the real helper library: a profile with one store
// made in the test, mails and appointments saved there, the folder's
// category filter in the test machine's registry.
#include "Quillmere/tracking/ItemFilters.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "Quillmere/core/AddinTestSupport_test.h"
#include "Quillmere/core/DebugLog.h"
#include "Quillmere/tracking/Categories.h"
#include "platform/rdo/RdoTestSupport.h"
#include "platform/win/Module.h"
#include "platform/win/Paths.h"
#include "platform/win/Registry.h"
#include "platform/win/Text.h"

namespace {

constexpr ULONG kSensitivity = 0x00360003;
constexpr const wchar_t* kFolderKey = L"0000AB12CD";

class ItemFiltersTest : public rdo::testing::RdoTest {
protected:
    void SetUp() override {
        RdoTest::SetUp();
        m_profiles.Add(MakeProfile());
        ASSERT_NO_FATAL_FAILURE(addintest::OpenRegisteredHelperSession(m_utils, m_session));
        logs::ResetForTesting();
        wchar_t temp[MAX_PATH];
        ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
        m_log = std::wstring(temp) + L"Quillmere_debug.log";
        SetDebugLogPath(m_log.c_str());
        DebugSwitch = true;
    }
    void TearDown() override {
        logs::ResetForTesting();
        m_utils.Release();
        m_session.Release();
        RdoTest::TearDown();
    }

    CComPtr<QMRMessage> NewItem(const wchar_t* messageClass = L"IPM.Note",
                                const wchar_t* subject = L"Offer") {
        CComPtr<QMRMAPIFolder> inbox;
        EXPECT_EQ(m_session->GetDefaultFolder(6, &inbox), S_OK);
        CComPtr<QMRItems> items;
        EXPECT_EQ(inbox->GetItems(&items), S_OK);
        CComPtr<QMRMessage> item;
        EXPECT_EQ(items->Add(CComVariant(messageClass), &item), S_OK);
        if (subject) {
            EXPECT_EQ(item->PutSubject(CComBSTR(subject)), S_OK);
        }
        EXPECT_EQ(item->Save(), S_OK);
        return item;
    }
    static CComVariant Texts(const std::vector<std::wstring>& texts) {
        CComVariant v;
        v.vt = VT_ARRAY | VT_VARIANT;
        v.parray = SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(texts.size()));
        for (LONG i = 0; i < static_cast<LONG>(texts.size()); ++i) {
            CComVariant element(texts[i].c_str());
            SafeArrayPutElement(v.parray, &i, &element);
        }
        return v;
    }
    void SetKeywords(QMRMessage* item, const wchar_t* set, const std::vector<std::wstring>& cats) {
        ULONG tag = 0;
        ASSERT_EQ(m_utils->GetIDsFromNames(item, CComBSTR(set), CComVariant(L"Keywords"),
                                           VARIANT_TRUE, &tag),
                  S_OK);
        ASSERT_EQ(m_utils->HrSetOneProp(item, tag | categories::kTypeMvString8, Texts(cats),
                                        VARIANT_TRUE),
                  S_OK);
    }
    void SetCategories(QMRMessage* item, const std::vector<std::wstring>& cats) {
        SetKeywords(item, categories::kPublicStrings, cats);
    }
    void SetSensitivity(QMRMessage* item, LONG value) {
        ASSERT_EQ(m_utils->HrSetOneProp(item, kSensitivity, CComVariant(value), VARIANT_TRUE),
                  S_OK);
    }
    static void SetFilter(const std::vector<std::wstring>& cats) {
        std::wstring base =
            std::wstring(L"Software\\Brindlecast\\Quillmere\\Folders\\") + kFolderKey;
        for (const auto& c : cats) {
            HKEY key = nullptr;
            ASSERT_EQ(
                RegCreateKeyExW(HKEY_CURRENT_USER, (base + L"\\CategoriesFilter\\" + c).c_str(), 0,
                                nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
                ERROR_SUCCESS);
            RegCloseKey(key);
        }
    }
    std::string Log() {
        std::ifstream in(*win::HostPath(m_log), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    bool Allowed(QMRMessage* item, bool excludePrivate, bool onlyPrivate, bool meetings) {
        return IsItemAllowed(nullptr, m_utils, item, kFolderKey, excludePrivate, onlyPrivate,
                             meetings);
    }

    CComPtr<QMRMAPIUtils> m_utils;
    CComPtr<QMRRDOSession> m_session;
    std::wstring m_log;
};

TEST_F(ItemFiltersTest, SensitivitySwitchesRefusePrivateOrNonPrivateItems) {
    struct Case {
        LONG sensitivity;  // -1: not set
        bool excludePrivate, onlyPrivate, allowed;
        const char* line;
    };
    const Case cases[] = {
        {-1, true, false, true, nullptr},
        {0, true, false, true, nullptr},
        {1, true, false, true, nullptr},
        {2, true, false, false, "iIA:NO(item is private)"},
        {3, true, false, false, "iIA:NO(item is private)"},  // confidential counts as private
        {-1, false, true, false, "iIA:NO:(only priv Items)"},
        {1, false, true, false, "iIA:NO:(only priv Items)"},
        {2, false, true, true, nullptr},
        {3, false, true, true, nullptr},
        {2, false, false, true, nullptr},
        // Both on: the exclusion wins and the only-private test is not made.
        {0, true, true, true, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.sensitivity << c.excludePrivate << c.onlyPrivate);
        CComPtr<QMRMessage> item = NewItem();
        if (c.sensitivity >= 0)
            SetSensitivity(item, c.sensitivity);
        const std::string before = Log();
        EXPECT_EQ(Allowed(item, c.excludePrivate, c.onlyPrivate, false), c.allowed);
        const std::string added = Log().substr(before.size());
        if (c.line) {
            EXPECT_NE(added.find(c.line), std::string::npos) << added;
            EXPECT_NE(added.find("iIA:NOT ALLOWED"), std::string::npos) << added;
        } else {
            EXPECT_EQ(added.find("iIA:"), std::string::npos) << added;
        }
    }
}

TEST_F(ItemFiltersTest, MeetingsAreRefusedOnlyWithTheirSwitch) {
    CComPtr<QMRMessage> meeting = NewItem(L"IPM.Appointment");
    ASSERT_EQ(meeting->SetFields(CComVariant(L"http://schemas.microsoft.com/mapi/id/"
                                             L"{00062002-0000-0000-C000-000000000046}/0x82170003"),
                                 CComVariant(LONG(3))),
              S_OK);
    CComPtr<QMRMessage> appointment = NewItem(L"IPM.Appointment");
    CComPtr<QMRMessage> mail = NewItem();
    EXPECT_TRUE(IsMeetingItem(nullptr, meeting));
    EXPECT_FALSE(IsMeetingItem(nullptr, appointment));
    EXPECT_FALSE(IsMeetingItem(nullptr, mail));

    EXPECT_FALSE(Allowed(meeting, false, false, true));
    EXPECT_NE(Log().find("iIA:NO:(we don't sync MeetingRequests)"), std::string::npos);
    EXPECT_TRUE(Allowed(meeting, false, false, false));
    EXPECT_TRUE(Allowed(appointment, false, false, true));
    EXPECT_TRUE(Allowed(mail, false, false, true));
}

// Requests, responses and cancellations of a meeting are meetings whether or
// not they carry the appointment's state flags.
TEST_F(ItemFiltersTest, MeetingMessagesOfEveryKindAreMeetings) {
    for (const wchar_t* messageClass :
         {L"IPM.Schedule.Meeting.Request", L"IPM.Schedule.Meeting.Resp.Pos",
          L"IPM.Schedule.Meeting.Resp.Neg", L"IPM.Schedule.Meeting.Resp.Tent",
          L"IPM.Schedule.Meeting.Canceled", L"ipm.schedule.meeting.request"}) {
        SCOPED_TRACE(win::ToUtf8(messageClass));
        CComPtr<QMRMessage> meeting = NewItem(messageClass, L"Budget review");
        EXPECT_TRUE(IsMeetingItem(nullptr, meeting));
        const std::string before = Log();
        EXPECT_FALSE(Allowed(meeting, false, false, true));
        EXPECT_NE(Log().substr(before.size()).find("iIA:NO:(we don't sync MeetingRequests)"),
                  std::string::npos);
        EXPECT_TRUE(Allowed(meeting, false, false, false));
    }
    for (const wchar_t* messageClass :
         {L"IPM.Schedule.MeetingX", L"IPM.Note.Schedule.Meeting.Request", L"IPM.Post"}) {
        SCOPED_TRACE(win::ToUtf8(messageClass));
        CComPtr<QMRMessage> other = NewItem(messageClass, L"Budget review");
        EXPECT_FALSE(IsMeetingItem(nullptr, other));
        EXPECT_TRUE(Allowed(other, false, false, true));
    }
}

TEST_F(ItemFiltersTest, CategoryFilterAndExcludingWords) {
    struct Case {
        std::vector<std::wstring> filter;
        std::vector<std::wstring> categories;
        bool holiday, allowed;
    };
    const Case cases[] = {
        {{}, {}, false, true},
        {{}, {L"Red", L"Blue"}, true, true},
        {{}, {L"holiday"}, false, true},
        {{}, {L"holiday"}, true, false},
        {{}, {L"Feiertag"}, true, false},
        {{}, {L"no_sync"}, false, false},
        {{}, {L"quillmere-JOURNAL"}, false, false},
        {{L"Red"}, {}, false, false},
        {{L"Red"}, {L"Blue"}, false, false},
        {{L"Red"}, {L"Blue", L"Red"}, false, true},
        {{L"Red"}, {L"red"}, false, false},              // filter categories compare exactly
        {{L"Red"}, {L"Red", L"NO_SYNC"}, false, false},  // a later excluding word wins
        {{L"Red"}, {L"NO_SYNC", L"Red"}, false, false},
        {{L"Red", L"Green"}, {L"Green"}, true, true},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(n);
        // Each case has its own folder key so filters don't add up.
        std::wstring folder = std::wstring(kFolderKey) + std::to_wstring(n++);
        for (const auto& f : c.filter) {
            HKEY key = nullptr;
            ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER,
                                      (L"Software\\Brindlecast\\Quillmere\\Folders\\" + folder +
                                       L"\\CategoriesFilter\\" + f)
                                          .c_str(),
                                      0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
                      ERROR_SUCCESS);
            RegCloseKey(key);
        }
        CComPtr<QMRMessage> item = NewItem();
        if (!c.categories.empty())
            SetCategories(item, c.categories);
        const std::string before = Log();
        EXPECT_EQ(IsItemAllowedByCategory(nullptr, m_utils, item, folder.c_str(), c.holiday),
                  c.allowed);
        EXPECT_EQ(Log().substr(before.size()).find("iIABC:NO") != std::string::npos, !c.allowed);
    }
}

TEST_F(ItemFiltersTest, RemovingAFilterCategoryRefusesTheItem) {
    SetFilter({L"Red", L"Green"});
    CComPtr<QMRMessage> removed = NewItem(L"IPM.Note", L"Offer");
    SetCategories(removed, {L"Blue"});
    SetKeywords(removed, categories::kOwnPropertySet, {L"Red", L"Blue", L"Green"});
    EXPECT_FALSE(Allowed(removed, false, false, false));
    std::string log = Log();
    EXPECT_NE(log.find("Offer Red was removed"), std::string::npos) << log;
    EXPECT_NE(log.find("Offer Green was removed"), std::string::npos) << log;
    EXPECT_NE(log.find("iIA:NOT ALLOWED"), std::string::npos) << log;

    // Still carried, or removed but outside the filter: allowed.
    CComPtr<QMRMessage> kept = NewItem(L"IPM.Note", nullptr);
    SetCategories(kept, {L"Red"});
    SetKeywords(kept, categories::kOwnPropertySet, {L"Red", L"Blue"});
    EXPECT_TRUE(Allowed(kept, false, false, false));

    // Nothing recorded yet: the test does not run.
    CComPtr<QMRMessage> fresh = NewItem(L"IPM.Note", nullptr);
    SetCategories(fresh, {L"Blue"});
    EXPECT_TRUE(Allowed(fresh, false, false, false));

    CComPtr<QMRMessage> untitled = NewItem(L"IPM.Note", nullptr);
    SetCategories(untitled, {});
    SetKeywords(untitled, categories::kOwnPropertySet, {L"Green"});
    EXPECT_FALSE(Allowed(untitled, false, false, false));
    EXPECT_NE(Log().find("<no subject> Green was removed"), std::string::npos);
}

TEST_F(ItemFiltersTest, NoFilterMeansNoRemovedCategoryTest) {
    CComPtr<QMRMessage> item = NewItem();
    SetCategories(item, {});
    SetKeywords(item, categories::kOwnPropertySet, {L"Red"});
    EXPECT_TRUE(Allowed(item, false, false, false));
}

}  // namespace
