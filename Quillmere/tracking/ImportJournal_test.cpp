// Finding the local item of a sync id, over the real helper library and a
// store made in the test; the import journal over the object model stand-in.
#include "Quillmere/tracking/ImportJournal.h"

#include <vector>

#include "Quillmere/core/FolderTestSupport_test.h"
#include "Quillmere/resources/LoadString.h"
#include "Quillmere/tracking/Categories.h"
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

// --- The import journal ----------------------------------------------------

constexpr LONG kJournalFolder = 11;
constexpr ULONG kTagIconIndex = 0x10800003;

class JournalTest : public foldertest::FolderTest {
protected:
    void SetUp() override {
        FolderTest::SetUp();
        ASSERT_FALSE(HasFatalFailure());
        // The import runs in a started engine, which has its utilities.
        StartEngine();
        ASSERT_NE(Utils(), nullptr);
        m_engine->m_journal = true;
    }
    QMRRDOSession* Session() { return m_engine->Session(); }
    QMRMAPIUtils* Utils() { return m_engine->Utils(); }
    CComPtr<QMRMAPIFolder> Journal() {
        CComPtr<QMRMAPIFolder> folder;
        EXPECT_EQ(Session()->GetDefaultFolder(kJournalFolder, &folder), S_OK);
        return folder;
    }
    LONG EntryCount() {
        CComPtr<QMRItems> items;
        LONG count = 0;
        if (SUCCEEDED(Journal()->GetItems(&items)) && items)
            items->GetCount(&count);
        return count;
    }
    // The latest journal entry.
    CComPtr<QMRMessage> LastEntry() {
        CComPtr<QMRItems> items;
        CComPtr<QMRMessage> entry;
        EXPECT_EQ(Journal()->GetItems(&items), S_OK);
        EXPECT_EQ(items->Item(EntryCount(), &entry), S_OK);
        return entry;
    }
    // A saved item of the Inbox, to stand for an incoming or existing item.
    CComPtr<QMRMessage> InboxItem(const wchar_t* subject) {
        CComPtr<QMRMAPIFolder> inbox;
        CComPtr<QMRItems> items;
        CComPtr<QMRMessage> item;
        EXPECT_EQ(Session()->GetDefaultFolder(6, &inbox), S_OK);
        EXPECT_EQ(inbox->GetItems(&items), S_OK);
        EXPECT_EQ(items->Add(CComVariant(L"IPM.Note"), &item), S_OK);
        EXPECT_EQ(item->PutSubject(CComBSTR(subject)), S_OK);
        EXPECT_EQ(item->Save(), S_OK);
        return item;
    }
    static std::vector<std::wstring> AttachmentNames(QMRMessage* entry) {
        std::vector<std::wstring> names;
        CComPtr<QMRAttachments> attachments;
        LONG count = 0;
        if (FAILED(entry->GetAttachments(&attachments)) || !attachments ||
            FAILED(attachments->GetCount(&count)))
            return names;
        for (LONG i = 1; i <= count; ++i) {
            CComPtr<QMRAttachment> attachment;
            CComBSTR name;
            if (SUCCEEDED(attachments->Item(i, &attachment)) && attachment &&
                SUCCEEDED(attachment->GetFileName(&name)))
                names.emplace_back(name.View());
        }
        return names;
    }
    bool DataFileExists(const wchar_t* name) {
        return std::ifstream(*win::HostPath(m_engine->DataDirectory() + name)).good();
    }
};

TEST_F(JournalTest, NothingIsRecordedWithoutTheJournalSwitch) {
    m_engine->m_journal = false;
    m_engine->m_totalDebugging = true;
    CComPtr<QMRMessage> incoming = InboxItem(L"In");
    EXPECT_EQ(TotalDebugging(m_engine.get(), Session(), Utils(), L"In", L"bert@example.com", true,
                             false, incoming, nullptr),
              S_FALSE);
    EXPECT_EQ(EntryCount(), 0);
    EXPECT_FALSE(DataFileExists(kDebugIncomingName));
}

TEST_F(JournalTest, EntryTellsTheKindOfChange) {
    struct Case {
        bool newItem, deletedItem;
        UINT body;
        LONG icon;
    };
    const Case cases[] = {
        {true, false, 1251, 0x603},
        {false, true, 1250, 0x601},
        {false, false, 1249, 0x602},
        {true, true, 1251, 0x603},  // the new-item flag is asked first
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body);
        EXPECT_EQ(TotalDebugging(m_engine.get(), Session(), Utils(), L"Budget", L"bert@example.com",
                                 c.newItem, c.deletedItem, nullptr, nullptr),
                  S_OK);
        CComPtr<QMRMessage> entry = LastEntry();
        ASSERT_TRUE(entry) << ErrorLog();
        CComBSTR subject, body;
        ASSERT_EQ(entry->GetSubject(&subject), S_OK);
        EXPECT_EQ(subject.View(), L"Budget <= bert@example.com");
        ASSERT_EQ(entry->GetBody(&body), S_OK);
        std::wstring text;
        LoadString(AddinResourceModule(), c.body, g_UILanguage.load(), text);
        EXPECT_FALSE(text.empty());
        EXPECT_EQ(body.View(), text);
        CComVariant icon;
        ASSERT_EQ(entry->GetFields(CComVariant(static_cast<LONG>(kTagIconIndex)), &icon), S_OK);
        EXPECT_EQ(icon.vt == VT_I4 ? icon.lVal : -1, c.icon);
        std::vector<std::wstring> categories;
        GetKeywords(Utils(), entry, categories);
        EXPECT_EQ(categories, std::vector<std::wstring>{L"Quillmere-Journal"});
        // Without total_debugging no copies are kept or attached.
        EXPECT_TRUE(AttachmentNames(entry).empty());
    }
    EXPECT_EQ(EntryCount(), 4);
    EXPECT_FALSE(DataFileExists(kDebugIncomingName));
    EXPECT_FALSE(DataFileExists(kDebugExistingName));
}

TEST_F(JournalTest, TotalDebuggingKeepsAndAttachesCopiesOfTheItems) {
    m_engine->m_totalDebugging = true;
    CComPtr<QMRMessage> incoming = InboxItem(L"Incoming");
    CComPtr<QMRMessage> existing = InboxItem(L"Existing");
    EXPECT_EQ(TotalDebugging(m_engine.get(), Session(), Utils(), L"Incoming", L"bert", false, false,
                             incoming, existing),
              S_OK);
    EXPECT_TRUE(DataFileExists(kDebugIncomingName));
    EXPECT_TRUE(DataFileExists(kDebugExistingName));
    EXPECT_EQ(AttachmentNames(LastEntry()),
              (std::vector<std::wstring>{kDebugIncomingName, kDebugExistingName}));

    // Only what is given is kept; an item without an existing one (a new
    // item) gets one copy.
    EXPECT_EQ(TotalDebugging(m_engine.get(), Session(), Utils(), L"New", L"bert", true, false,
                             incoming, nullptr),
              S_OK);
    EXPECT_EQ(AttachmentNames(LastEntry()), std::vector<std::wstring>{kDebugIncomingName});
}

TEST_F(JournalTest, CopiesThatCannotBeSavedAreLoggedAndTheEntryStays) {
    m_engine->m_totalDebugging = true;
    m_engine->SetDataPaths(m_temp + L"missing\\");
    CComPtr<QMRMessage> incoming = InboxItem(L"Incoming");
    CComPtr<QMRMessage> existing = InboxItem(L"Existing");
    EXPECT_EQ(TotalDebugging(m_engine.get(), Session(), Utils(), L"Incoming", L"bert", false, true,
                             incoming, existing),
              S_OK);
    EXPECT_TRUE(DebugLogHas("TotalDebugging::Failed42SaveIncoming"));
    EXPECT_TRUE(DebugLogHas("TotalDebugging::Failed42SaveExisting"));
    ASSERT_EQ(EntryCount(), 1);
    EXPECT_TRUE(AttachmentNames(LastEntry()).empty());
    std::vector<std::wstring> categories;
    GetKeywords(Utils(), LastEntry(), categories);
    EXPECT_EQ(categories, std::vector<std::wstring>{L"Quillmere-Journal"});
}

}  // namespace
