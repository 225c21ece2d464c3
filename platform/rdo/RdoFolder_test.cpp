#include "platform/rdo/RdoFolder.h"

#include <algorithm>
#include <numeric>
#include <random>

#include "platform/rdo/PropVariant.h"
#include "platform/rdo/RdoTestSupport.h"
#include "platform/store/Folder.h"
#include "platform/store/Message.h"

namespace rdo::testing {
namespace {

using namespace mapi;

class RdoFolderTest : public RdoTest {
protected:
    void SetUp() override {
        RdoTest::SetUp();
        m_profiles.Add(MakeProfile());
        ASSERT_EQ(Create(CLSID_QMRRDOSession, IID_QMRRDOSession, m_session), S_OK);
        ASSERT_EQ(Logon(m_session), S_OK);
        ASSERT_EQ(m_session->GetDefaultFolder(6, &m_inbox), S_OK);
        ASSERT_EQ(m_inbox->GetItems(&m_items), S_OK);
    }
    void TearDown() override {
        m_items.Release();
        m_inbox.Release();
        m_session.Release();
        RdoTest::TearDown();
    }
    // Saves count mails with the subjects "<prefix><i>"; returns their entry ids in
    // creation order.
    std::vector<std::wstring> AddMails(int count, const std::wstring& prefix = L"mail ",
                                       QMRItems* items = nullptr) {
        std::vector<std::wstring> ids;
        for (int i = 0; i < count; ++i) {
            CComPtr<QMRMessage> mail;
            EXPECT_EQ((items ? items : m_items.p)->Add(CComVariant(), &mail), S_OK);
            mail->PutSubject(CComBSTR(prefix + std::to_wstring(i)));
            EXPECT_EQ(mail->Save(), S_OK);
            CComBSTR id;
            mail->GetEntryID(&id);
            ids.emplace_back(id.View());
        }
        return ids;
    }
    static CComVariant TagArray(const std::vector<ULONG>& tags) {
        CComVariant v;
        v.vt = VT_ARRAY | VT_UI4;
        v.parray = SafeArrayCreateVector(VT_UI4, 0, static_cast<ULONG>(tags.size()));
        for (LONG i = 0; i < static_cast<LONG>(tags.size()); ++i)
            SafeArrayPutElement(v.parray, &i, &tags[i]);
        return v;
    }
    static std::vector<CComVariant> Elements(const VARIANT& array) {
        std::vector<CComVariant> out;
        LONG lower = 0, upper = -1;
        SafeArrayGetLBound(array.parray, 1, &lower);
        SafeArrayGetUBound(array.parray, 1, &upper);
        for (LONG i = lower; i <= upper; ++i) {
            CComVariant e;
            SafeArrayGetElement(array.parray, &i, &e);
            out.push_back(e);
        }
        return out;
    }

    CComPtr<QMRRDOSession> m_session;
    CComPtr<QMRMAPIFolder> m_inbox;
    CComPtr<QMRItems> m_items;
};

TEST_F(RdoFolderTest, ContentsTableReadsNewestFirstInBatchesWithSeeks) {
    std::vector<std::wstring> created = AddMails(250);
    CComPtr<QMRMAPITable> table;
    ASSERT_EQ(m_items->GetMAPITable(&table), S_OK);
    ASSERT_EQ(table->SetColumns(
                  TagArray({PR_SEARCH_KEY, PR_ENTRYID, PR_LAST_MODIFICATION_TIME, PR_CHANGE_KEY})),
              S_OK);
    LONG count = 0;
    ASSERT_EQ(table->GetRowCount(&count), S_OK);
    EXPECT_EQ(count, 250);
    ASSERT_EQ(table->Sort(CComVariant(LONG(PR_LAST_MODIFICATION_TIME)), CComVariant(LONG(1))),
              S_OK);
    ASSERT_EQ(table->GoToFirst(), S_OK);

    std::vector<std::wstring> seen;
    for (;;) {
        CComVariant rows;
        ASSERT_EQ(table->GetRows(100, &rows), S_OK);
        if (rows.vt == VT_EMPTY)
            break;
        ASSERT_EQ(rows.vt, VT_ARRAY | VT_VARIANT);
        std::vector<CComVariant> batch = Elements(rows);
        EXPECT_LE(batch.size(), 100u);
        for (const CComVariant& row : batch) {
            ASSERT_EQ(row.vt, VT_ARRAY | VT_VARIANT);
            std::vector<CComVariant> cells = Elements(row);
            ASSERT_EQ(cells.size(), 4u);
            EXPECT_EQ(cells[0].vt, VT_ARRAY | VT_UI1);
            EXPECT_EQ(cells[2].vt, VT_DATE);
            EXPECT_EQ(cells[3].vt, VT_ARRAY | VT_UI1);
            Bytes id;
            ASSERT_TRUE(BinaryFromVariant(cells[1], id));
            seen.push_back(HexFromBytes(id));
        }
        ASSERT_EQ(table->SeekRow(static_cast<LONG>(seen.size())), S_OK);
    }
    std::vector<std::wstring> expected(created.rbegin(), created.rend());
    EXPECT_EQ(seen, expected);

    // A seek back re-reads from there.
    ASSERT_EQ(table->SeekRow(10), S_OK);
    CComVariant again;
    ASSERT_EQ(table->GetRows(1, &again), S_OK);
    std::vector<CComVariant> cells = Elements(Elements(again)[0]);
    Bytes id;
    ASSERT_TRUE(BinaryFromVariant(cells[1], id));
    EXPECT_EQ(HexFromBytes(id), expected[10]);
}

// The table as the add-in's change scan reads it: a thousand mails, a
// shuffled half of them saved again so that the modification order is not
// the creation order, sorted newest first, read in batches of 300 with a
// seek to the rows read so far after each batch. The rows must be the mails
// sorted by their own last-modification times as the store holds them
// (equal times: the later-made mail first), then seeks land on that list.
TEST_F(RdoFolderTest, ThousandRowsReadAsTheChangeScanReadsThemMatchASortedList) {
    const std::vector<std::wstring> created = AddMails(1000);
    std::vector<std::size_t> touched(created.size());
    std::iota(touched.begin(), touched.end(), 0);
    std::shuffle(touched.begin(), touched.end(), std::mt19937(2024));
    touched.resize(created.size() / 2);
    for (std::size_t k : touched) {
        CComPtr<QMRMessage> mail;
        ASSERT_EQ(
            m_session->GetMessageFromID(CComBSTR(created[k].c_str()), nullptr, Empty(), &mail),
            S_OK);
        ASSERT_EQ(mail->PutBody(CComBSTR(L"touched")), S_OK);
        ASSERT_EQ(mail->Save(), S_OK);
    }

    // The plain list, from each message's own time read through a store
    // session of its own.
    std::unique_ptr<store::Session> direct;
    ASSERT_EQ(store::Session::Open(m_machine.User() + "/Ann.qms", &direct), S_OK);
    std::vector<std::pair<ULONGLONG, std::size_t>> byTime;
    for (std::size_t i = 0; i < created.size(); ++i) {
        std::optional<Bytes> id = BytesFromHex(created[i]);
        ASSERT_TRUE(id);
        std::unique_ptr<store::Message> m;
        ASSERT_EQ(direct->OpenMessage(*id, &m), S_OK);
        byTime.emplace_back(*m->Props().GetInteger(PR_LAST_MODIFICATION_TIME), i);
    }
    std::sort(byTime.begin(), byTime.end(), std::greater<>());
    std::vector<std::wstring> expected;
    for (const auto& [time, index] : byTime)
        expected.push_back(created[index]);
    ASSERT_NE(expected, std::vector<std::wstring>(created.rbegin(), created.rend()))
        << "the touched mails must reorder the list";

    CComPtr<QMRMAPITable> table;
    ASSERT_EQ(m_items->GetMAPITable(&table), S_OK);
    ASSERT_EQ(table->SetColumns(
                  TagArray({PR_SEARCH_KEY, PR_ENTRYID, PR_LAST_MODIFICATION_TIME, PR_CHANGE_KEY})),
              S_OK);
    LONG count = 0;
    ASSERT_EQ(table->GetRowCount(&count), S_OK);
    EXPECT_EQ(count, 1000);
    ASSERT_EQ(table->Sort(CComVariant(LONG(PR_LAST_MODIFICATION_TIME)), CComVariant(LONG(1))),
              S_OK);
    ASSERT_EQ(table->GoToFirst(), S_OK);
    auto idsOf = [](const VARIANT& rows) {
        std::vector<std::wstring> ids;
        for (const CComVariant& row : Elements(rows)) {
            Bytes id;
            EXPECT_TRUE(BinaryFromVariant(Elements(row)[1], id));
            ids.push_back(HexFromBytes(id));
        }
        return ids;
    };
    std::vector<std::wstring> seen;
    for (;;) {
        CComVariant rows;
        ASSERT_EQ(table->GetRows(300, &rows), S_OK);
        if (rows.vt == VT_EMPTY)
            break;
        std::vector<std::wstring> batch = idsOf(rows);
        ASSERT_LE(batch.size(), 300u);
        seen.insert(seen.end(), batch.begin(), batch.end());
        ASSERT_EQ(table->SeekRow(static_cast<LONG>(seen.size())), S_OK);
    }
    ASSERT_EQ(seen.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i)
        ASSERT_EQ(seen[i], expected[i]) << "row " << i;

    // Seeks back and forward, and past the end.
    ASSERT_EQ(table->SeekRow(450), S_OK);
    CComVariant middle, last, beyond;
    ASSERT_EQ(table->GetRows(300, &middle), S_OK);
    EXPECT_EQ(idsOf(middle),
              std::vector<std::wstring>(expected.begin() + 450, expected.begin() + 750));
    ASSERT_EQ(table->SeekRow(999), S_OK);
    ASSERT_EQ(table->GetRows(300, &last), S_OK);
    EXPECT_EQ(idsOf(last), std::vector<std::wstring>{expected.back()});
    ASSERT_EQ(table->SeekRow(5000), S_OK);
    ASSERT_EQ(table->GetRows(300, &beyond), S_OK);
    EXPECT_EQ(beyond.vt, VT_EMPTY);
}

TEST_F(RdoFolderTest, TableMadeByTheFactoryNeedsItsItemsFirst) {
    AddMails(3);
    CComPtr<QMRMAPITable> table;
    ASSERT_EQ(Create(CLSID_QMRMAPITable, IID_QMRMAPITable, table), S_OK);
    LONG count = -1;
    EXPECT_EQ(table->GetRowCount(&count), MAPI_E_NOT_INITIALIZED);
    ASSERT_EQ(table->PutItem(m_items), S_OK);
    ASSERT_EQ(table->GetRowCount(&count), S_OK);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(table->SetColumns(TagArray({})), E_INVALIDARG);
    EXPECT_EQ(table->PutItem(m_session), E_INVALIDARG);
    CComVariant rows;
    EXPECT_EQ(table->GetRows(0, &rows), E_INVALIDARG);
}

TEST_F(RdoFolderTest, ItemsWalkInCreationOrderAndSortOnRequest) {
    std::vector<std::wstring> created = AddMails(5);
    LONG count = 0;
    ASSERT_EQ(m_items->GetCount(&count), S_OK);
    ASSERT_EQ(count, 5);
    std::vector<std::wstring> walked;
    CComPtr<QMRMessage> m;
    for (m_items->GetFirst(&m); m;) {
        CComBSTR id;
        m->GetEntryID(&id);
        walked.emplace_back(id.View());
        m.Release();
        ASSERT_EQ(m_items->GetNext(&m), S_OK);
    }
    EXPECT_EQ(walked, created);
    CComPtr<QMRMessage> third;
    ASSERT_EQ(m_items->Item(3, &third), S_OK);
    CComBSTR id3;
    third->GetEntryID(&id3);
    EXPECT_EQ(std::wstring(id3.View()), created[2]);
    CComPtr<QMRMessage> none;
    EXPECT_EQ(m_items->Item(6, &none), DISP_E_BADINDEX);

    ASSERT_EQ(m_items->Sort(CComBSTR(L"[Subject]"), VARIANT_TRUE), S_OK);
    CComPtr<QMRMessage> first;
    ASSERT_EQ(m_items->Item(1, &first), S_OK);
    CComBSTR subject;
    first->GetSubject(&subject);
    EXPECT_TRUE(subject == L"mail 4");
    EXPECT_EQ(m_items->Sort(CComBSTR(L"[NoSuchThing]"), VARIANT_FALSE), E_INVALIDARG);
}

TEST_F(RdoFolderTest, FindTakesTheSubjectFormsOfTheOutboxSearch) {
    AddMails(2, L">-Quillmere-< ");
    AddMails(1, L"QMRX$BASICSYNCPACKET:");
    AddMails(3, L"ordinary ");
    const wchar_t* filters[] = {
        L"subject like '>-Quillmere-<%' or subject like 'QMRX$BASICSYNCPACKET%'",
        L"\"urn:schemas:httpmail:subject\" like '>-Quillmere-<%' or "
        L"\"urn:schemas:httpmail:subject\" like 'QMRX$BASICSYNCPACKET%'",
    };
    for (const wchar_t* filter : filters) {
        int hits = 0;
        CComPtr<QMRMessage> m;
        ASSERT_EQ(m_items->Find(CComBSTR(filter), &m), S_OK) << filter;
        while (m) {
            CComBSTR subject;
            m->GetSubject(&subject);
            EXPECT_EQ(std::wstring(subject.View()).find(L"ordinary"), std::wstring::npos);
            ++hits;
            m.Release();
            ASSERT_EQ(m_items->FindNext(&m), S_OK);
        }
        EXPECT_EQ(hits, 3) << filter;
    }
    CComPtr<QMRMessage> m;
    EXPECT_EQ(m_items->FindNext(&m), S_OK);
    EXPECT_EQ(m.p, nullptr);
    EXPECT_TRUE(FAILED(m_items->Find(CComBSTR(L"subject like"), &m)));
}

TEST_F(RdoFolderTest, HiddenItemsAreKeptApartFromTheNormalOnes) {
    AddMails(2);
    CComPtr<QMRItems> hidden;
    ASSERT_EQ(m_inbox->GetHiddenItems(&hidden), S_OK);
    AddMails(1, L"form ", hidden);
    LONG normal = 0, associated = 0;
    ASSERT_EQ(m_items->GetCount(&normal), S_OK);
    ASSERT_EQ(hidden->GetCount(&associated), S_OK);
    EXPECT_EQ(normal, 2);
    EXPECT_EQ(associated, 1);
}

TEST_F(RdoFolderTest, FolderWrappedByTheFactoryFromAMapiObject) {
    CComPtr<IUnknown> mapiFolder;
    ASSERT_EQ(m_inbox->GetMAPIOBJECT(&mapiFolder), S_OK);
    CComPtr<QMRMAPIFolder> wrapped;
    ASSERT_EQ(Create(CLSID_QMRMAPIFolder, IID_QMRMAPIFolder, wrapped), S_OK);
    CComPtr<QMRItems> items;
    EXPECT_EQ(wrapped->GetHiddenItems(&items), MAPI_E_NOT_INITIALIZED);
    ASSERT_EQ(wrapped->PutMAPIOBJECT(mapiFolder), S_OK);
    CComBSTR name;
    ASSERT_EQ(wrapped->GetName(&name), S_OK);
    EXPECT_TRUE(name == L"Inbox");
    EXPECT_EQ(wrapped->GetHiddenItems(&items), S_OK);
    EXPECT_EQ(wrapped->PutMAPIOBJECT(m_session), E_INVALIDARG);
}

TEST_F(RdoFolderTest, SubfoldersAreFoundByNameAndMadeOnce) {
    CComPtr<QMRMAPIFolder> parent;
    ASSERT_EQ(m_inbox->GetParent(&parent), S_OK);
    CComPtr<QMRFolders> folders;
    ASSERT_EQ(parent->GetFolders(&folders), S_OK);
    CComPtr<QMRMAPIFolder> made;
    ASSERT_EQ(folders->Add(CComBSTR(L"Quillmere"), &made), S_OK);
    CComPtr<QMRMAPIFolder> twice;
    EXPECT_EQ(folders->Add(CComBSTR(L"Quillmere"), &twice), MAPI_E_COLLISION);
    CComPtr<QMRMAPIFolder> found;
    ASSERT_EQ(folders->Item(CComVariant(L"quillmere"), &found), S_OK);
    CComBSTR a, b;
    made->GetEntryID(&a);
    found->GetEntryID(&b);
    EXPECT_TRUE(a == b.View());
    CComVariant flags = BinaryVariant(reinterpret_cast<const BYTE*>("\x01\x04\x02\x00\x00\x00"), 6);
    ASSERT_EQ(found->SetFields(PR_EXTENDED_FOLDER_FLAGS, flags), S_OK);
    CComVariant back;
    ASSERT_EQ(made->GetFields(PR_EXTENDED_FOLDER_FLAGS, &back), S_OK);
    Bytes bytes;
    ASSERT_TRUE(BinaryFromVariant(back, bytes));
    EXPECT_EQ(HexFromBytes(bytes), L"010402000000");
}

}  // namespace
}  // namespace rdo::testing
