#include "platform/store/DaslFilter.h"

#include <gtest/gtest.h>

#include "platform/store/StoreTestSupport.h"

namespace store {
namespace {

using namespace mapi;
using testing::DefaultFolderOf;
using testing::MakeStore;
using testing::TempDir;

std::wstring Hex(const Bytes& b) {
    static const wchar_t kDigits[] = L"0123456789ABCDEF";
    std::wstring out;
    for (auto v : b) {
        out.push_back(kDigits[v >> 4]);
        out.push_back(kDigits[v & 15]);
    }
    return out;
}

class DaslFilterTest : public ::testing::Test {
protected:
    void SetUp() override {
        session =
            MakeStore(dir.File("find.qms"), StoreKind::PersonalUnicode, ChangeTracking::ChangeKeys);
        ASSERT_TRUE(session);
        folder = DefaultFolderOf(*session, DefaultFolder::Calendar);
    }
    Bytes Add(const std::wstring& subject, LONG importance = IMPORTANCE_NORMAL) {
        std::unique_ptr<Message> m;
        EXPECT_EQ(folder.CreateMessage(false, &m), S_OK);
        m->SetProp(PR_SUBJECT, PropValue::Unicode(subject));
        m->SetProp(PR_IMPORTANCE, PropValue::Long(importance));
        EXPECT_EQ(m->Save(), S_OK);
        return m->EntryId();
    }
    std::vector<Bytes> Find(const std::wstring& filter, HRESULT expected = S_OK) {
        std::vector<Bytes> found;
        EXPECT_EQ(folder.Find(filter, false, &found), expected) << std::wstring(filter).size();
        return found;
    }
    TempDir dir;
    std::unique_ptr<Session> session;
    Folder folder;
};

TEST_F(DaslFilterTest, SearchKeyEqualityFindsExactlyTheOneItem) {
    std::vector<Bytes> ids;
    std::vector<Bytes> keys;
    for (int i = 0; i < 50; ++i) {
        ids.push_back(Add(L"item"));
        std::unique_ptr<Message> m;
        ASSERT_EQ(session->OpenMessage(ids.back(), &m), S_OK);
        keys.push_back(*m->Props().GetBinary(PR_SEARCH_KEY));
    }
    // The same key in another folder must not be found from this one.
    std::unique_ptr<Message> elsewhere;
    ASSERT_EQ(DefaultFolderOf(*session, DefaultFolder::Inbox).CreateMessage(false, &elsewhere),
              S_OK);
    elsewhere->SetProp(PR_SEARCH_KEY, PropValue::Binary(keys[17]));
    ASSERT_EQ(elsewhere->Save(), S_OK);

    const std::wstring filter =
        L"@SQL=\"http://schemas.microsoft.com/mapi/proptag/0x300B0102\" = '" + Hex(keys[17]) + L"'";
    EXPECT_EQ(Find(filter), std::vector<Bytes>{ids[17]});
    // Lower-case hex, no @SQL= prefix, two keys joined by OR.
    std::wstring lower = Hex(keys[3]);
    for (auto& c : lower)
        c = static_cast<wchar_t>(std::towlower(c));
    EXPECT_EQ(Find(L"\"http://schemas.microsoft.com/mapi/proptag/0x300B0102\" = '" + lower +
                   L"' OR \"http://schemas.microsoft.com/mapi/proptag/0x300B0102\" = '" +
                   Hex(keys[40]) + L"'"),
              (std::vector<Bytes>{ids[3], ids[40]}));
    EXPECT_TRUE(Find(L"\"http://schemas.microsoft.com/mapi/proptag/0x300B0102\" = '00'").empty());
    // The whole-query form: selected properties and scope are ignored.
    EXPECT_EQ(Find(L"SELECT \"DAV:id\",\"http://schemas.microsoft.com/mapi/proptag/0x300B0102\" "
                   L"FROM SCOPE('shallow traversal of \"\"') WHERE "
                   L"\"http://schemas.microsoft.com/mapi/proptag/0x300B0102\" = '" +
                   Hex(keys[9]) + L"'"),
              std::vector<Bytes>{ids[9]});
    EXPECT_EQ(Find(L"SELECT \"DAV:id\" FROM folder", E_INVALIDARG), std::vector<Bytes>{});
}

TEST_F(DaslFilterTest, SubjectLikeOrAndOtherForms) {
    Bytes a = Add(L"Quillmere: sync of Monday", IMPORTANCE_HIGH);
    Bytes b = Add(L"quillmere-DELETED");
    Bytes c = Add(L"Lunch");
    Add(L"Other");
    struct Case {
        std::wstring filter;
        std::vector<Bytes> expected;
    };
    const std::vector<Case> cases = {
        {L"@SQL=\"urn:schemas:httpmail:subject\" like 'Quillmere%'", {a, b}},
        {L"@SQL=\"urn:schemas:httpmail:subject\" LIKE 'quillmere:%'", {a}},
        {L"@SQL=\"urn:schemas:httpmail:subject\" like '%deleted'", {b}},
        {L"@SQL=\"urn:schemas:httpmail:subject\" like 'L_nch'", {c}},
        {L"@SQL=\"urn:schemas:httpmail:subject\" = 'lunch'", {c}},
        {L"@SQL=\"urn:schemas:httpmail:subject\" = 'Lunch' or \"urn:schemas:httpmail:subject\" "
         L"like 'Quillmere:%'",
         {a, c}},
        {L"@SQL=\"http://schemas.microsoft.com/mapi/proptag/0x00170003\" = 2", {a}},
        {L"@SQL=\"http://schemas.microsoft.com/mapi/proptag/0x0037001F\" = 'It''s'", {}},
        {L"@SQL=(\"urn:schemas:httpmail:subject\" like 'Q%') AND NOT "
         L"(\"http://schemas.microsoft.com/mapi/proptag/0x00170003\" = 2)",
         {b}},
        {L"@SQL=\"urn:schemas:httpmail:subject\" <> 'Lunch' AND "
         L"\"urn:schemas:httpmail:subject\" <> 'Other'",
         {a, b}},
    };
    for (const auto& k : cases) {
        EXPECT_EQ(Find(k.filter), k.expected) << k.filter.size();
    }
}

TEST_F(DaslFilterTest, NamedPropertiesByStringAndById) {
    std::unique_ptr<Message> m;
    ASSERT_EQ(folder.CreateMessage(false, &m), S_OK);
    m->SetNamed(NamedProperty::ByName(PS_PUBLIC_STRINGS, L"QuillmereSyncId"),
                PropValue::Unicode(L"abc"));
    m->SetNamed(NamedProperty::ById(PSETID_Common, kLidReminderSet), PropValue::Boolean(true));
    ASSERT_EQ(m->Save(), S_OK);
    Add(L"without");
    EXPECT_EQ(Find(L"@SQL=\"http://schemas.microsoft.com/mapi/string/"
                   L"{00020329-0000-0000-C000-000000000046}/QuillmereSyncId\" = 'ABC'"),
              std::vector<Bytes>{m->EntryId()});
    EXPECT_EQ(Find(L"@SQL=\"http://schemas.microsoft.com/mapi/id/"
                   L"{00062008-0000-0000-C000-000000000046}/0x8503000B\" = 1"),
              std::vector<Bytes>{m->EntryId()});
    // A name the store never mapped matches nothing (and maps nothing).
    EXPECT_TRUE(Find(L"@SQL=\"http://schemas.microsoft.com/mapi/string/"
                     L"{00020329-0000-0000-C000-000000000046}/NeverSeen\" = 'x'")
                    .empty());
    EXPECT_EQ(session->IdOfName(NamedProperty::ByName(PS_PUBLIC_STRINGS, L"NeverSeen"), false), 0);
}

TEST_F(DaslFilterTest, MalformedFiltersFail) {
    Add(L"x");
    struct Case {
        std::wstring filter;
        HRESULT expected;
    };
    const std::vector<Case> cases = {
        {L"", E_INVALIDARG},
        {L"@SQL=", E_INVALIDARG},
        {L"@SQL=\"urn:schemas:httpmail:subject\" like 'unterminated", E_INVALIDARG},
        {L"@SQL=\"urn:schemas:httpmail:subject", E_INVALIDARG},
        {L"@SQL=\"urn:schemas:httpmail:subject\" = ", E_INVALIDARG},
        {L"@SQL=(\"urn:schemas:httpmail:subject\" = 'a'", E_INVALIDARG},
        {L"@SQL=\"urn:schemas:httpmail:subject\" = 'a' OR", E_INVALIDARG},
        {L"@SQL=\"urn:schemas:httpmail:subject\" = 'a' 'b'", E_INVALIDARG},
        {L"@SQL=\"http://schemas.microsoft.com/mapi/proptag/0x300B0102\" = 'XYZ'", E_INVALIDARG},
        {L"@SQL=\"http://schemas.microsoft.com/mapi/proptag/0x300B\" = '00'", E_INVALIDARG},
        {L"@SQL=\"urn:schemas:calendar:location\" = 'a'", MAPI_E_TOO_COMPLEX},
        {L"@SQL=\"urn:schemas:httpmail:subject\" > 'a'", MAPI_E_TOO_COMPLEX},
        {L"@SQL=\"urn:schemas:httpmail:subject\" between 'a'", MAPI_E_TOO_COMPLEX},
        {L"@SQL=\"http://schemas.microsoft.com/mapi/proptag/0x00170003\" like '1%'",
         MAPI_E_TOO_COMPLEX},
        {L"[Subject] = 'x'", MAPI_E_TOO_COMPLEX},
    };
    for (const auto& k : cases) {
        std::vector<Bytes> found;
        EXPECT_EQ(folder.Find(k.filter, false, &found), k.expected)
            << std::string(k.filter.begin(), k.filter.end());
    }
}

TEST(DaslFilterDepth, DeepNestingIsRefusedNotOverflowed) {
    std::wstring filter = L"@SQL=";
    for (int i = 0; i < 100000; ++i)
        filter += L"(";
    DaslFilter f;
    EXPECT_EQ(DaslFilter::Parse(filter, nullptr, nullptr, &f), MAPI_E_TOO_COMPLEX);
}

}  // namespace
}  // namespace store
