// Item lookup by sync id, sync mails by subject and item kinds, over the real
// helper library and a store made in the test.
#include "Quillmere/tracking/ItemLookup.h"

#include <algorithm>
#include <vector>

#include "Quillmere/tracking/LookupTestSupport_test.h"

namespace {

TEST(ItemKind, MessageClassesGiveTheirKinds) {
    const struct {
        const wchar_t* messageClass;
        int kind;
    } cases[] = {
        {L"IPM.Appointment", 1},
        {L"IPM.Contact", 2},
        {L"IPM.Task", 3},
        {L"IPM.Activity", 4},
        {L"IPM.StickyNote", 5},
        {L"ipm.stickynote", 5},
        {L"IPM.VoiceNotes", 5},
        {L"IPM.InkNotes", 5},
        {L"IPM.Note", 6},
        {L"IPM.Note.Quillmere.Extra", 6},
        {L"IPM.Post", 6},
        {L"", 6},
        {L"IPM.Schedule.Meeting.Request", 6},
        {L"IPM.DistList", 7},
        {L"IPM.Microsoft.FolderDesign.FormsDescription", 999},
        // The first text found in the fixed order decides.
        {L"IPM.Task.IPM.Appointment", 1},
        {L"IPM.Contact.IPM.Task", 3},
        {L"IPM.Note.IPM.Activity", 6},
    };
    for (const auto& c : cases)
        EXPECT_EQ(GetItemKindFromMessageClass(c.messageClass), c.kind) << c.messageClass;
}

TEST(ShareName, TextBetweenTheMarkersIsTheShareName) {
    EXPECT_EQ(ShareNameFromBody(L"Header\r\nlf:Team:lf\r\nmore"), L"Team");
    EXPECT_EQ(ShareNameFromBody(L"lf::lf"), L"");
    EXPECT_EQ(ShareNameFromBody(L"no markers here"), L"");
    EXPECT_EQ(ShareNameFromBody(L"lf:Team without end"), L"");
    // An end marker before the start marker is no end.
    EXPECT_EQ(ShareNameFromBody(L"x:lf y lf:Sales:lf"), L"Sales");
}

using ItemLookupTest = LookupTest;

TEST_F(ItemLookupTest, SyncIdFindsItsItemAmongOthers) {
    NewMessage(L"one");
    CComPtr<QMRMessage> wanted = NewMessage(L"two");
    NewMessage(L"three");
    bool found = false;
    std::wstring entryId;
    ASSERT_EQ(GetEntryIDFromPR_SEARCH_KEY(m_engine.get(), m_session, m_utils, found, entryId,
                                          m_folder, SearchKey(wanted)),
              S_OK);
    EXPECT_TRUE(found);
    EXPECT_EQ(entryId, EntryId(wanted));
}

TEST_F(ItemLookupTest, DeletedItemIsNotFoundButTheSearchSucceeds) {
    CComPtr<QMRMessage> gone = NewMessage(L"gone");
    NewMessage(L"stays");
    CComVariant key = SearchKey(gone);
    ASSERT_EQ(gone->Delete(0), S_OK);
    bool found = true;
    std::wstring entryId = L"stale";
    EXPECT_EQ(GetEntryIDFromPR_SEARCH_KEY(m_engine.get(), m_session, m_utils, found, entryId,
                                          m_folder, key),
              S_OK);
    EXPECT_FALSE(found);
    EXPECT_TRUE(entryId.empty());
}

TEST_F(ItemLookupTest, ItemOfAnotherFolderIsNotFound) {
    CComPtr<QMRMAPIFolder> other;
    ASSERT_EQ(m_session->GetDefaultFolder(9, &other), S_OK);
    CComPtr<QMRMessage> elsewhere = NewMessage(L"elsewhere", other);
    bool found = true;
    std::wstring entryId;
    EXPECT_EQ(GetEntryIDFromPR_SEARCH_KEY(m_engine.get(), m_session, m_utils, found, entryId,
                                          m_folder, SearchKey(elsewhere)),
              S_OK);
    EXPECT_FALSE(found);
}

TEST_F(ItemLookupTest, BadParametersFailAndAreReported) {
    bool found = true;
    std::wstring entryId;
    EXPECT_EQ(GetEntryIDFromPR_SEARCH_KEY(m_engine.get(), m_session, m_utils, found, entryId,
                                          nullptr, CComVariant(LONG(1))),
              E_FAIL);
    EXPECT_FALSE(found);
    EXPECT_TRUE(ErrorLogHas("GetEntryIDFromPR_SEARCH_KEY::Parameter RdoFolder=NULL"));
    EXPECT_EQ(GetEntryIDFromPR_SEARCH_KEY(m_engine.get(), m_session, m_utils, found, entryId,
                                          m_folder, CComVariant(L"00AB")),
              E_FAIL);
    EXPECT_TRUE(ErrorLogHas("GetEntryIDFromPR_SEARCH_KEY::Parameter falsch"));
    // A sync id that is no binary cannot be turned into text.
    EXPECT_TRUE(FAILED(GetEntryIDFromPR_SEARCH_KEY(m_engine.get(), m_session, m_utils, found,
                                                   entryId, m_folder, CComVariant(LONG(7)))));
    EXPECT_FALSE(found);
    EXPECT_TRUE(ErrorLogHas("GetEntryIDFromPR_SEARCH_KEY::Arr2Str"));
}

TEST_F(ItemLookupTest, SyncMailsAndPacketsAreFoundBySubjectPrefix) {
    CComPtr<QMRMessage> mailA = NewMessage(L">-Quillmere-<Team A");
    CComPtr<QMRMessage> failed = NewMessage(L">-Quillmere-<Team ERROR");
    CComPtr<QMRMessage> mailB = NewMessage(L">-Quillmere-<Team B");
    CComPtr<QMRMessage> packet = NewMessage(L"QMRX$BASICSYNCPACKET:1");
    NewMessage(L"Lunch");
    NewMessage(L"Re: >-Quillmere-<Team");

    auto sorted = [](std::vector<std::wstring> v) {
        std::sort(v.begin(), v.end());
        return v;
    };
    std::vector<std::wstring> ids;
    ASSERT_EQ(GetItems(m_engine.get(), ids, m_folder, false, false), S_OK);
    EXPECT_EQ(sorted(ids), sorted({EntryId(mailA), EntryId(mailB)}));

    ids.clear();
    ASSERT_EQ(GetItems(m_engine.get(), ids, m_folder, false, true), S_OK);
    EXPECT_EQ(sorted(ids), sorted({EntryId(mailA), EntryId(mailB), EntryId(failed)}));

    ids.clear();
    ASSERT_EQ(GetItems(m_engine.get(), ids, m_folder, true, false), S_OK);
    EXPECT_EQ(ids, std::vector<std::wstring>{EntryId(packet)});
}

TEST_F(ItemLookupTest, NullFolderGivesNoSyncMails) {
    std::vector<std::wstring> ids;
    EXPECT_EQ(GetItems(m_engine.get(), ids, nullptr, false, false), E_POINTER);
    EXPECT_TRUE(ids.empty());
    EXPECT_TRUE(ErrorLogHas("GIE::GetItems"));
}

}  // namespace
