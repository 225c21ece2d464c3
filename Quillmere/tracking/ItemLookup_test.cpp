// Item lookup by sync id, sync mails by subject and item kinds, over the real
// helper library and a store made in the test.
#include "Quillmere/tracking/ItemLookup.h"

#include <algorithm>
#include <map>
#include <vector>

#include "platform/com/ComObject.h"
#include "platform/outlook/Outlook.h"

#include "Quillmere/tracking/LookupTestSupport_test.h"

namespace {

namespace dispid = outlook::dispid;

// An Outlook item reduced to the properties a test gives it.
class FakeItem final : public com::ComObject<FakeItem, IDispatch> {
public:
    std::map<DISPID, CComVariant> properties;
    std::vector<DISPID> asked;

    HRESULT GetTypeInfoCount(UINT* count) override { return *count = 0, S_OK; }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, OLECHAR**, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS*, VARIANT* result, EXCEPINFO*,
                   UINT*) override {
        asked.push_back(id);
        auto it = properties.find(id);
        if (!(flags & DISPATCH_PROPERTYGET) || it == properties.end())
            return DISP_E_MEMBERNOTFOUND;
        return result ? VariantCopy(result, &it->second) : S_OK;
    }
};

CComVariant Dispatch(IDispatch* object) {
    CComVariant v;
    v.vt = VT_DISPATCH;
    v.pdispVal = object;
    object->AddRef();
    return v;
}

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

TEST_F(ItemLookupTest, ShareNameComesFromTheMailBody) {
    auto mail = com::Make<FakeItem>();
    mail->properties[dispid::kBody] = CComVariant(L"Sync mail\r\nlf:Team:lf\r\n");
    std::wstring share = L"old";
    EXPECT_EQ(GSFFMSG(m_engine.get(), m_utils, share, mail), S_OK);
    EXPECT_EQ(share, L"Team");
}

TEST_F(ItemLookupTest, MailWithoutPlainBodyGivesNoShareName) {
    auto mail = com::Make<FakeItem>();
    mail->properties[dispid::kBody] = CComVariant(L"");
    mail->properties[dispid::kHTMLBody] = CComVariant(L"<p>lf:Team:lf</p>");
    std::wstring share = L"old";
    GSFFMSG(m_engine.get(), m_utils, share, mail);
    EXPECT_TRUE(share.empty());
    EXPECT_TRUE(ErrorLogHas("GSFFMSG=>no PR_BODY"));
    EXPECT_TRUE(ErrorLogHas("GSFFMSG=>no Body:NULL"));
    EXPECT_FALSE(ErrorLogHas("GSFFMSG=>no HTMLBody:NULL"));
    auto bare = com::Make<FakeItem>();
    GSFFMSG(m_engine.get(), m_utils, share, bare);
    EXPECT_TRUE(share.empty());
    EXPECT_TRUE(ErrorLogHas("GSFFMSG=>no Body"));
    EXPECT_TRUE(ErrorLogHas("GSFFMSG=>no HTMLBody:NULL"));
    EXPECT_EQ(GSFFMSG(m_engine.get(), m_utils, share, nullptr), E_POINTER);
}

TEST_F(ItemLookupTest, OutlookItemOpensAsItsHelperLibraryMessage) {
    CComPtr<QMRMessage> stored = NewMessage(L"changed");
    CComBSTR storeId;
    ASSERT_EQ(stored->GetStoreID(&storeId), S_OK);
    auto folder = com::Make<FakeItem>();
    folder->properties[dispid::kStoreID] = CComVariant(std::wstring_view(storeId.m_str));
    folder->properties[dispid::kName] = CComVariant(L"Inbox");
    auto item = com::Make<FakeItem>();
    item->properties[dispid::kEntryID] = CComVariant(std::wstring_view(EntryId(stored)));
    item->properties[dispid::kParent] = Dispatch(folder);

    CComPtr<QMRMessage> message;
    ASSERT_EQ(IDispatchToIMessageItem(m_session, m_utils, message, item), S_OK);
    ASSERT_TRUE(message);
    CComBSTR subject;
    ASSERT_EQ(message->GetSubject(&subject), S_OK);
    EXPECT_EQ(std::wstring(subject), L"changed");

    // An item without a parent folder cannot be opened.
    auto orphan = com::Make<FakeItem>();
    orphan->properties[dispid::kEntryID] = CComVariant(std::wstring_view(EntryId(stored)));
    EXPECT_TRUE(FAILED(IDispatchToIMessageItem(m_session, m_utils, message, orphan)));
    EXPECT_FALSE(message);
}

TEST_F(ItemLookupTest, OutlookItemWithoutUtilitiesIsReported) {
    auto item = com::Make<FakeItem>();
    CComPtr<QMRMessage> message;
    EXPECT_EQ(IDispatchToIMessageItem(m_session, nullptr, message, item), E_POINTER);
    EXPECT_TRUE(ErrorLogHas("mutils NULL"));
    EXPECT_TRUE(item->asked.empty());
    // The engine made in the test has no utilities object of its own.
    EXPECT_EQ(IDispatchToIMessageItem(m_engine.get(), message, item), E_POINTER);
    EXPECT_FALSE(message);
}

}  // namespace
