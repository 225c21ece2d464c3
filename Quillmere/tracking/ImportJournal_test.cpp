// Finding the local item of a sync id, over the real helper library and a
// store made in the test.
#include "Quillmere/tracking/ImportJournal.h"

#include "Quillmere/tracking/LookupTestSupport_test.h"

namespace {

using ImportJournalTest = LookupTest;

TEST_F(ImportJournalTest, ItemExistOpensTheItemOfTheSyncId) {
    NewMessage(L"other");
    CComPtr<QMRMessage> wanted = NewMessage(L"wanted");
    CComPtr<QMRMessage> found =
        ItemExist(m_engine.get(), SearchKey(wanted), m_folder, m_session, m_utils);
    ASSERT_TRUE(found);
    EXPECT_EQ(EntryId(found), EntryId(wanted));
    CComBSTR subject;
    ASSERT_EQ(found->GetSubject(&subject), S_OK);
    EXPECT_EQ(std::wstring(subject), L"wanted");
}

TEST_F(ImportJournalTest, ItemExistGivesNullForAVanishedItem) {
    CComPtr<QMRMessage> gone = NewMessage(L"gone");
    CComVariant key = SearchKey(gone);
    ASSERT_EQ(gone->Delete(0), S_OK);
    EXPECT_FALSE(ItemExist(m_engine.get(), key, m_folder, m_session, m_utils));
}

TEST_F(ImportJournalTest, ItemExistWithoutASyncIdGivesNull) {
    NewMessage(L"any");
    CComVariant error;
    error.vt = VT_ERROR;
    error.scode = DISP_E_PARAMNOTFOUND;
    for (const VARIANT& key :
         {static_cast<const VARIANT&>(CComVariant()), static_cast<const VARIANT&>(error)})
        EXPECT_FALSE(ItemExist(m_engine.get(), key, m_folder, m_session, m_utils));
    // A text sync id is refused by the lookup, which reports it.
    EXPECT_FALSE(ItemExist(m_engine.get(), CComVariant(L"00AB"), m_folder, m_session, m_utils));
    EXPECT_TRUE(ErrorLogHas("GetEntryIDFromPR_SEARCH_KEY::Parameter falsch"));
    EXPECT_FALSE(ItemExist(m_engine.get(), CComVariant(), nullptr, nullptr, nullptr));
}

TEST_F(ImportJournalTest, ItemExistWorksWithoutAnEngine) {
    CComPtr<QMRMessage> wanted = NewMessage(L"wanted");
    CComPtr<QMRMessage> found = ItemExist(nullptr, SearchKey(wanted), m_folder, m_session, m_utils);
    ASSERT_TRUE(found);
    EXPECT_EQ(EntryId(found), EntryId(wanted));
}

}  // namespace
