// Own-change recognition over the real helper library: SelfModifiedItem
// finds the folder by entry id and marks the item so that the next check
// absorbs the add-in's own write; the folder lookup by share name; the
// import of hidden form descriptions.
#include "Quillmere/tracking/OwnChanges.h"

#include "Quillmere/tracking/ChangeKeyTestSupport_test.h"

namespace {

using changekeys::testing::ChangeKeyTest;
using changekeys::testing::Recorded;

class StampStoreOwnChangeTest : public ChangeKeyTest {
protected:
    StampStoreOwnChangeTest() { m_tracking = store::ChangeTracking::ModificationTime; }
};

constexpr LONG kTagSearchKey = 0x300B0102;
constexpr LONG kTagLastModification = 0x30080040;

TEST_F(ChangeKeyTest, SelfModifiedItemMarksTheItemInThatFolderAndTheCheckAbsorbsIt) {
    CComPtr<QMRMessage> a = NewItem(L"a");
    ASSERT_EQ(Sink().LoadFolderList(m_session, m_utils), S_OK);
    const std::wstring id = SyncIdOf(a);
    Edit(a, L"imported");
    // The folder's entry id in the other case still names the folder.
    std::wstring otherCase = m_entryId;
    for (wchar_t& c : otherCase)
        c = static_cast<wchar_t>(towlower(c));
    EXPECT_EQ(
        SelfModifiedItem(m_engine.get(), m_session, m_utils, otherCase, SysAllocString(id.c_str())),
        S_OK);
    EXPECT_EQ(ValueOf(id), L"CHANGED");
    EXPECT_EQ(m_engine->GetSyncState(), kSyncStateChangeQueued);
    EXPECT_NE(DebugLog().find("SelfModifiedItem=>Start"), std::string::npos);

    EXPECT_EQ(Sink().CheckChanges(m_session, m_utils), S_OK);
    EXPECT_EQ(Sink().CheckChanges(m_session, m_utils), S_OK);
    EXPECT_TRUE(Recorded().synced.empty());
    EXPECT_NE(ValueOf(id), L"CHANGED");
    EXPECT_GT(ValueOf(id).size(), kTimeStampLength);
}

TEST_F(StampStoreOwnChangeTest, OwnEditOfAStampStoreItemIsNotSentBack) {
    CComPtr<QMRMessage> a = NewItem(L"a");
    ASSERT_EQ(Sink().LoadFolderList(m_session, m_utils), S_OK);
    const std::wstring id = SyncIdOf(a);
    Edit(a, L"imported");
    ASSERT_EQ(
        SelfModifiedItem(m_engine.get(), m_session, m_utils, m_entryId, SysAllocString(id.c_str())),
        S_OK);
    EXPECT_EQ(Sink().CheckChanges(m_session, m_utils), S_OK);
    EXPECT_TRUE(Recorded().synced.empty());
    EXPECT_EQ(ValueOf(id).size(), kTimeStampLength);

    // A later edit by the user is sent as usual.
    Edit(a, L"user");
    EXPECT_EQ(Sink().CheckChanges(m_session, m_utils), S_OK);
    EXPECT_EQ(Recorded().synced, std::vector<std::wstring>{id});
}

TEST_F(ChangeKeyTest, SelfModifiedItemFindsNoFolderForOtherOrStoppedFolders) {
    CComPtr<QMRMAPIFolder> outbox;
    ASSERT_EQ(m_session->GetDefaultFolder(4, &outbox), S_OK);
    CComBSTR outboxId;
    ASSERT_EQ(outbox->GetEntryID(&outboxId), S_OK);
    const LONG before = m_engine->GetSyncState();

    EXPECT_EQ(SelfModifiedItem(m_engine.get(), m_session, m_utils, std::wstring(outboxId),
                               SysAllocString(L"0A0B")),
              S_OK);  // the last comparison's result
    EXPECT_NE(DebugLog().find("SelfModifiedItem=>End BUT NO FOLDER 4 ITEM FOUND"),
              std::string::npos);

    m_folder->Stop();
    EXPECT_EQ(
        SelfModifiedItem(m_engine.get(), m_session, m_utils, m_entryId, SysAllocString(L"0C0D")),
        E_FAIL);
    EXPECT_TRUE(Sink().ChangeKeylistEntries().empty());
    EXPECT_EQ(m_engine->GetSyncState(), before);
    EXPECT_EQ(SelfModifiedItem(nullptr, m_session, m_utils, m_entryId, SysAllocString(L"0E0F")),
              E_POINTER);
}

TEST_F(ChangeKeyTest, FindFolderByNameGivesTheFirstExactShare) {
    auto second =
        std::make_unique<CFolderObj>(nullptr, CFolderObj::kSharedFolder, false, L"00EE", L"00FF");
    second->m_shareName = L"Team";
    second->m_password = L"other";
    ASSERT_TRUE(m_engine->AppendFolder(second.release()));

    struct Case {
        const wchar_t* share;
        HRESULT result;
        const wchar_t* entryId;  // null: the Inbox's
        const wchar_t* password;
    };
    const Case cases[] = {
        {L"Team", S_OK, nullptr, L"secret"},
        {L"team", E_FAIL, L"untouched", L"untouched"},
        {L"Team ", E_FAIL, L"untouched", L"untouched"},
        {L"", E_FAIL, L"untouched", L"untouched"},
    };
    for (const Case& c : cases) {
        std::wstring entryId = L"untouched", storeId = L"untouched", password = L"untouched";
        EXPECT_EQ(m_engine->FindFolderByName(c.share, entryId, storeId, &password), c.result);
        EXPECT_EQ(entryId, c.entryId ? std::wstring(c.entryId) : m_entryId);
        EXPECT_EQ(password, c.password);
        if (c.result == S_OK) {
            EXPECT_EQ(storeId, Sink().m_storeId);
        }
    }
    while (CFolderObj* folder = m_engine->RemoveFirstFolder())
        delete folder;
    std::wstring entryId, storeId;
    EXPECT_EQ(m_engine->FindFolderByName(L"Team", entryId, storeId), E_FAIL);
}

class HiddenFormTest : public ChangeKeyTest {
protected:
    // A form description as it arrives: a message file with the form's sync
    // id, last modified in its sender's store ageDays before now.
    CComPtr<QMRMessage> Incoming(const wchar_t* name, const wchar_t* subject,
                                 const CComVariant& syncId, double ageDays = 0) {
        CComPtr<QMRMessage> message;
        CComBSTR path((m_temp + name).c_str());
        EXPECT_EQ(m_session->GetMessageFromMsgFile(path, VARIANT_TRUE, &message), S_OK);
        EXPECT_EQ(
            message->PutMessageClass(CComBSTR(L"IPM.Microsoft.FolderDesign.FormsDescription")),
            S_OK);
        EXPECT_EQ(message->PutSubject(CComBSTR(subject)), S_OK);
        EXPECT_EQ(message->SetFields(CComVariant(kTagSearchKey), syncId), S_OK);
        SYSTEMTIME now{};
        GetSystemTime(&now);
        DATE utc = 0;
        EXPECT_TRUE(SystemTimeToVariantTime(&now, &utc));
        CComVariant modified(utc - ageDays, VT_DATE);
        EXPECT_EQ(message->SetFields(CComVariant(kTagLastModification), modified), S_OK);
        EXPECT_EQ(message->Save(), S_OK);
        return message;
    }
    // Subjects of the Inbox's hidden items carrying that search key.
    std::vector<std::wstring> HiddenWithKey(const CComVariant& syncId) {
        std::vector<BYTE> wanted;
        EXPECT_TRUE(BinaryFromVariant(syncId, wanted));
        CComPtr<QMRItems> hidden;
        EXPECT_EQ(m_inbox->GetHiddenItems(&hidden), S_OK);
        LONG count = 0;
        EXPECT_EQ(hidden->GetCount(&count), S_OK);
        std::vector<std::wstring> subjects;
        for (LONG i = 1; i <= count; ++i) {
            CComPtr<QMRMessage> item;
            EXPECT_EQ(hidden->Item(i, &item), S_OK);
            CComVariant key;
            std::vector<BYTE> bytes;
            if (FAILED(item->GetFields(CComVariant(kTagSearchKey), &key)) ||
                !BinaryFromVariant(key, bytes) || bytes != wanted)
                continue;
            CComBSTR subject;
            item->GetSubject(&subject);
            subjects.emplace_back(subject ? subject.m_str : L"");
        }
        return subjects;
    }
};

TEST_F(HiddenFormTest, FormIsAddedOnceAndReplacedOnlyByALaterOne) {
    const BYTE idBytes[] = {0xF0, 0x0D, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC};
    const CComVariant syncId = BinaryVariant(idBytes, sizeof idBytes);

    CComPtr<QMRMessage> first = Incoming(L"form1.msg", L"form v1", syncId);
    ASSERT_EQ(ImportHiddenFormItem(m_engine.get(), m_session, m_utils, first, m_inbox, syncId),
              S_OK);
    EXPECT_EQ(HiddenWithKey(syncId), std::vector<std::wstring>{L"form v1"});
    // Ordinary items are not touched.
    CComPtr<QMRItems> items;
    ASSERT_EQ(m_inbox->GetItems(&items), S_OK);
    LONG count = -1;
    ASSERT_EQ(items->GetCount(&count), S_OK);
    EXPECT_EQ(count, 0);

    // The same form again: not later than the stored one, kept.
    ASSERT_EQ(ImportHiddenFormItem(m_engine.get(), m_session, m_utils, first, m_inbox, syncId),
              S_OK);
    EXPECT_EQ(HiddenWithKey(syncId), std::vector<std::wstring>{L"form v1"});

    Sleep(5000);
    CComPtr<QMRMessage> second = Incoming(L"form2.msg", L"form v2", syncId);
    ASSERT_EQ(ImportHiddenFormItem(m_engine.get(), m_session, m_utils, second, m_inbox, syncId),
              S_OK);
    EXPECT_EQ(HiddenWithKey(syncId), std::vector<std::wstring>{L"form v2"});

    // One modified before the stored copy was written: kept.
    CComPtr<QMRMessage> stale = Incoming(L"form4.msg", L"form v0", syncId, 1.0);
    ASSERT_EQ(ImportHiddenFormItem(m_engine.get(), m_session, m_utils, stale, m_inbox, syncId),
              S_OK);
    EXPECT_EQ(HiddenWithKey(syncId), std::vector<std::wstring>{L"form v2"});

    // A form of another sync id is a second hidden item.
    const BYTE otherBytes[] = {0x0B, 0xAD};
    const CComVariant otherId = BinaryVariant(otherBytes, sizeof otherBytes);
    CComPtr<QMRMessage> other = Incoming(L"form3.msg", L"other form", otherId);
    ASSERT_EQ(ImportHiddenFormItem(m_engine.get(), m_session, m_utils, other, m_inbox, otherId),
              S_OK);
    EXPECT_EQ(HiddenWithKey(otherId), std::vector<std::wstring>{L"other form"});
    EXPECT_EQ(HiddenWithKey(syncId), std::vector<std::wstring>{L"form v2"});

    EXPECT_EQ(ImportHiddenFormItem(m_engine.get(), m_session, m_utils, nullptr, m_inbox, syncId),
              E_POINTER);
}

}  // namespace
