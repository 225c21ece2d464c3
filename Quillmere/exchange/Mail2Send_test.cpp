#include "Quillmere/exchange/Mail2Send.h"

#include <vector>

#include "Quillmere/core/CoreTestSupport_test.h"

namespace {

class Mail2SendTest : public coretest::CoreTest {};

std::vector<BYTE> BytesOf(const VARIANT& v) {
    std::vector<BYTE> out;
    EXPECT_TRUE(BinaryFromVariant(v, out));
    return out;
}

TEST_F(Mail2SendTest, TakesOverTheSyncIdAndCopiesEverythingElse) {
    const BYTE key[] = {0x01, 0xFE, 0x33};
    CComVariant id = BinaryVariant(key, sizeof key);
    CComBSTR folder(L"CD02"), store(L"AB01");
    CMail2Send record(&id, folder, store, L"secret", L"Team", 260, 260, 1);
    EXPECT_EQ(id.vt, VT_EMPTY);

    CComVariant got;
    ASSERT_EQ(record.GetSyncID(&got), S_OK);
    EXPECT_EQ(BytesOf(got), std::vector<BYTE>(key, key + 3));
    CComBSTR f, s;
    ASSERT_EQ(record.GetFolderEntryID(&f), S_OK);
    ASSERT_EQ(record.GetStoreEntryID(&s), S_OK);
    EXPECT_STREQ(f, L"CD02");
    EXPECT_STREQ(s, L"AB01");
    EXPECT_NE(static_cast<BSTR>(f), static_cast<BSTR>(folder));
    wchar_t text[260];
    record.GetPassword(text, 260);
    EXPECT_STREQ(text, L"secret");
    record.GetShareName(text, 260);
    EXPECT_STREQ(text, L"Team");
    EXPECT_EQ(record.GetFormFlag(), 1);
    EXPECT_EQ(record.GetSyncID(nullptr), E_POINTER);
    EXPECT_EQ(record.GetFolderEntryID(nullptr), E_POINTER);
    EXPECT_EQ(ErrorLog().find("Parameter falsch"), std::string::npos);
}

TEST_F(Mail2SendTest, MissingIdsAnswerOutOfMemory) {
    CComVariant id;
    CMail2Send record(&id, nullptr, nullptr, nullptr, nullptr, 260, 260, 0);
    CComBSTR f, s;
    EXPECT_EQ(record.GetFolderEntryID(&f), E_OUTOFMEMORY);
    EXPECT_EQ(record.GetStoreEntryID(&s), E_OUTOFMEMORY);
    EXPECT_EQ(static_cast<BSTR>(f), nullptr);
    wchar_t text[4] = L"xyz";
    record.GetPassword(text, 4);
    EXPECT_STREQ(text, L"");
}

TEST_F(Mail2SendTest, TextSyncIdIsKeptAndReported) {
    CComVariant id(L"0A0B");
    CMail2Send record(&id, CComBSTR(L"1"), CComBSTR(L"2"), L"", L"", 260, 260, 0);
    CComVariant got;
    ASSERT_EQ(record.GetSyncID(&got), S_OK);
    ASSERT_EQ(got.vt, VT_BSTR);
    EXPECT_STREQ(got.bstrVal, L"0A0B");
    EXPECT_NE(ErrorLog().find("CMail2Send::Parameter falsch"), std::string::npos);
}

TEST_F(Mail2SendTest, TextsAreCutToTheirBuffers) {
    std::wstring longText(400, L'p');
    CComVariant id;
    CMail2Send record(&id, nullptr, nullptr, longText.c_str(), L"ShareName", 400, 5, 0);
    wchar_t big[400];
    record.GetPassword(big, 400);
    EXPECT_EQ(std::wstring(big), std::wstring(259, L'p'));
    record.GetShareName(big, 400);
    EXPECT_STREQ(big, L"Share");  // the caller's buffer held five characters
    wchar_t small[3];
    record.GetPassword(small, 3);
    EXPECT_STREQ(small, L"pp");
}

TEST_F(Mail2SendTest, DeletionRecordGivesCopies) {
    CDelMail2Send record(SysAllocString(L"0A1B"), L"Team");
    EXPECT_EQ(record.GetShareName(), L"Team");
    EXPECT_EQ(record.GetSyncID(nullptr), E_POINTER);
    CComBSTR id;
    ASSERT_EQ(record.GetSyncID(&id), S_OK);
    EXPECT_STREQ(id, L"0A1B");
    CDelMail2Send empty(nullptr, L"");
    CComBSTR none;
    EXPECT_EQ(empty.GetSyncID(&none), E_OUTOFMEMORY);
}

}  // namespace
