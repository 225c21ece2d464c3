#include "platform/rdo/RdoSession.h"

#include <set>
#include <thread>

#include "platform/rdo/PropVariant.h"
#include "platform/rdo/RdoTestSupport.h"
#include "platform/rdo/Server.h"
#include "platform/store/Faults.h"
#include "platform/store/Folder.h"
#include "platform/win/Text.h"

namespace rdo::testing {
namespace {

using mapi::PR_SEARCH_KEY;
using mapi::PT_LONG;

class RdoSessionTest : public RdoTest {
protected:
    void SetUp() override {
        RdoTest::SetUp();
        m_profiles.Add(MakeProfile());
        ASSERT_EQ(Create(CLSID_QMRRDOSession, IID_QMRRDOSession, m_session), S_OK);
        ASSERT_EQ(Create(CLSID_QMRMAPIUtils, IID_QMRMAPIUtils, m_utils), S_OK);
    }
    void TearDown() override {
        store::ClearFaults();
        m_utils.Release();
        m_session.Release();
        RdoTest::TearDown();
    }

    // A new saved mail in the Inbox with a subject; returns it.
    CComPtr<QMRMessage> AddMail(const wchar_t* subject) {
        CComPtr<QMRMAPIFolder> inbox;
        EXPECT_EQ(m_session->GetDefaultFolder(6, &inbox), S_OK);
        CComPtr<QMRItems> items;
        EXPECT_EQ(inbox->GetItems(&items), S_OK);
        CComPtr<QMRMessage> mail;
        EXPECT_EQ(items->Add(CComVariant(L"IPM.Note"), &mail), S_OK);
        EXPECT_EQ(mail->PutSubject(CComBSTR(subject)), S_OK);
        EXPECT_EQ(mail->Save(), S_OK);
        return mail;
    }

    static std::wstring Text(BSTR text) {
        return std::wstring(text ? text : L"", SysStringLen(text));
    }

    CComPtr<QMRRDOSession> m_session;
    CComPtr<QMRMAPIUtils> m_utils;
};

TEST_F(RdoSessionTest, NothingWorksBeforeLogOn) {
    CComPtr<QMRMAPIFolder> inbox;
    EXPECT_EQ(m_session->GetDefaultFolder(6, &inbox), MAPI_E_NOT_INITIALIZED);
    EXPECT_EQ(inbox.p, nullptr);
    CComBSTR name;
    EXPECT_EQ(m_session->GetProfileName(&name), MAPI_E_NOT_INITIALIZED);
}

TEST_F(RdoSessionTest, LogOnGivesTheDefaultProfileAndItsFolders) {
    ASSERT_EQ(Logon(m_session), S_OK);
    CComBSTR name;
    ASSERT_EQ(m_session->GetProfileName(&name), S_OK);
    EXPECT_TRUE(name == L"Ann");
    for (LONG role : {3, 4, 5, 6, 16}) {
        CComPtr<QMRMAPIFolder> folder;
        EXPECT_EQ(m_session->GetDefaultFolder(role, &folder), S_OK) << role;
    }
    CComPtr<QMRMAPIFolder> none;
    EXPECT_EQ(m_session->GetDefaultFolder(77, &none), E_INVALIDARG);
    CComBSTR version;
    ASSERT_EQ(m_session->GetExchangeVersion(&version), S_OK);
    EXPECT_EQ(version.Length(), 0u);
}

TEST_F(RdoSessionTest, LogOnToAnUnknownProfileFails) {
    CComVariant name(L"Nobody");
    EXPECT_EQ(m_session->Logon(name, Empty(), Empty(), Empty(), Empty(), Empty()),
              MAPI_E_LOGON_FAILED);
}

TEST_F(RdoSessionTest, LogOnTimeOutIsReported) {
    store::SetFault(store::FaultSite::Logon, MAPI_E_TIMEOUT);
    EXPECT_EQ(Logon(m_session), static_cast<HRESULT>(0x80040401));
    store::ClearFaults();
    EXPECT_EQ(Logon(m_session), S_OK);
}

TEST_F(RdoSessionTest, ConnectionModeFollowsTheProfileWhileRunning) {
    ASSERT_EQ(Logon(m_session), S_OK);
    LONG mode = -1;
    ASSERT_EQ(m_session->GetConnectionMode(&mode), S_OK);
    EXPECT_EQ(mode, 0);
    m_profiles.Change(L"Ann", [](ProfileDescription& p) {
        p.connectionMode = 300;
        p.exchangeVersion = L"14.0.0.0";
    });
    ASSERT_EQ(m_session->GetConnectionMode(&mode), S_OK);
    EXPECT_EQ(mode, 300);
    CComBSTR version;
    ASSERT_EQ(m_session->GetExchangeVersion(&version), S_OK);
    EXPECT_TRUE(version == L"14.0.0.0");
}

TEST_F(RdoSessionTest, SavedMailIsFoundBySearchKeyAndReadBackByEntryId) {
    ASSERT_EQ(Logon(m_session), S_OK);
    AddMail(L"other one");
    CComPtr<QMRMessage> mail = AddMail(L"the one");
    ASSERT_EQ(mail->SetFields(CComVariant(LONG(mapi::PR_IMPORTANCE)), CComVariant(LONG(2))), S_OK);
    ASSERT_EQ(mail->Save(), S_OK);
    CComVariant key;
    ASSERT_EQ(mail->GetFields(CComVariant(LONG(PR_SEARCH_KEY)), &key), S_OK);
    CComBSTR keyText;
    ASSERT_EQ(m_utils->BinaryToText(key, &keyText), S_OK);
    CComBSTR entryId, storeId;
    ASSERT_EQ(mail->GetEntryID(&entryId), S_OK);
    ASSERT_EQ(mail->GetStoreID(&storeId), S_OK);

    CComPtr<QMRMAPIFolder> inbox;
    ASSERT_EQ(m_session->GetDefaultFolder(6, &inbox), S_OK);
    CComPtr<QMRItems> items;
    ASSERT_EQ(inbox->GetItems(&items), S_OK);
    const std::wstring prop = L"\"http://schemas.microsoft.com/mapi/proptag/0x300B0102\"";
    const std::wstring queries[] = {
        L"@SQL=" + prop + L" = '" + Text(keyText) + L"'",
        L"SELECT \"DAV:id\"," + prop + L" FROM folder WHERE " + prop + L" = '" + Text(keyText) +
            L"'",
    };
    for (const std::wstring& query : queries) {
        CComPtr<QMRMessage> hit;
        ASSERT_EQ(items->Find(CComBSTR(query), &hit), S_OK) << query;
        ASSERT_NE(hit.p, nullptr) << query;
        CComBSTR hitId;
        ASSERT_EQ(hit->GetEntryID(&hitId), S_OK);
        EXPECT_TRUE(hitId == Text(entryId));
        CComPtr<QMRMessage> next;
        ASSERT_EQ(items->FindNext(&next), S_OK);
        EXPECT_EQ(next.p, nullptr);
    }

    for (VARIANT flags : {static_cast<VARIANT>(CComVariant(LONG(0x210))), VARIANT()}) {
        CComPtr<QMRMessage> again;
        ASSERT_EQ(m_session->GetMessageFromID(entryId, storeId, flags, &again), S_OK);
        CComBSTR subject;
        ASSERT_EQ(again->GetSubject(&subject), S_OK);
        EXPECT_TRUE(subject == L"the one");
        CComVariant importance;
        ASSERT_EQ(again->GetFields(CComVariant(LONG(mapi::PR_IMPORTANCE)), &importance), S_OK);
        EXPECT_EQ(importance.vt, VT_I4);
        EXPECT_EQ(importance.lVal, 2);
    }
}

TEST_F(RdoSessionTest, IdTextsAreUpperCaseHexAndAcceptedInEitherCase) {
    ASSERT_EQ(Logon(m_session), S_OK);
    CComPtr<QMRMAPIFolder> inbox;
    ASSERT_EQ(m_session->GetDefaultFolder(6, &inbox), S_OK);
    CComBSTR entryId, storeId;
    ASSERT_EQ(inbox->GetEntryID(&entryId), S_OK);
    ASSERT_EQ(inbox->GetStoreID(&storeId), S_OK);
    std::wstring id = Text(entryId);
    EXPECT_EQ(id, win::ToUpper(id));
    EXPECT_EQ(id.size(), 64u);
    CComPtr<QMRMAPIFolder> again;
    ASSERT_EQ(m_session->GetFolderFromID(CComBSTR(win::ToLower(id)), storeId,
                                         CComVariant(LONG(0x10)), &again),
              S_OK);
    CComBSTR name;
    ASSERT_EQ(again->GetName(&name), S_OK);
    EXPECT_TRUE(name == L"Inbox");
    // Without a store id the entry id finds its store itself.
    CComPtr<QMRMAPIFolder> third;
    EXPECT_EQ(m_session->GetFolderFromID(entryId, nullptr, Empty(), &third), S_OK);
    CComPtr<QMRMAPIFolder> bad;
    EXPECT_EQ(m_session->GetFolderFromID(CComBSTR(L"XYZ"), storeId, Empty(), &bad),
              MAPI_E_INVALID_ENTRYID);
}

TEST_F(RdoSessionTest, VanishedObjectsAnswerNotFound) {
    ASSERT_EQ(Logon(m_session), S_OK);
    CComPtr<QMRMessage> mail = AddMail(L"short-lived");
    CComBSTR entryId, storeId;
    ASSERT_EQ(mail->GetEntryID(&entryId), S_OK);
    ASSERT_EQ(mail->GetStoreID(&storeId), S_OK);
    ASSERT_EQ(mail->Delete(0), S_OK);
    CComBSTR subject;
    EXPECT_EQ(mail->GetSubject(&subject), MAPI_E_NOT_FOUND);
    CComPtr<QMRMessage> gone;
    EXPECT_EQ(m_session->GetMessageFromID(entryId, storeId, Empty(), &gone), MAPI_E_NOT_FOUND);
    EXPECT_EQ(gone.p, nullptr);

    CComPtr<QMRMAPIFolder> inbox;
    ASSERT_EQ(m_session->GetDefaultFolder(6, &inbox), S_OK);
    CComPtr<QMRFolders> subfolders;
    ASSERT_EQ(inbox->GetFolders(&subfolders), S_OK);
    CComPtr<QMRMAPIFolder> child;
    ASSERT_EQ(subfolders->Add(CComBSTR(L"Quillmere"), &child), S_OK);
    CComBSTR childId;
    ASSERT_EQ(child->GetEntryID(&childId), S_OK);
    std::unique_ptr<store::Session> direct;
    ASSERT_EQ(store::Session::Open(m_machine.User() + "/Ann.qms", &direct), S_OK);
    store::Folder raw;
    ASSERT_EQ(direct->OpenFolder(*BytesFromIdText(childId), &raw), S_OK);
    ASSERT_EQ(raw.Delete(), S_OK);
    CComPtr<QMRMAPIFolder> vanished;
    EXPECT_EQ(m_session->GetFolderFromID(childId, storeId, Empty(), &vanished), MAPI_E_NOT_FOUND);
}

TEST_F(RdoSessionTest, UnreachableServerIsReported) {
    ASSERT_EQ(Logon(m_session), S_OK);
    CComPtr<QMRMAPIFolder> inbox;
    ASSERT_EQ(m_session->GetDefaultFolder(6, &inbox), S_OK);
    CComBSTR entryId, storeId;
    ASSERT_EQ(inbox->GetEntryID(&entryId), S_OK);
    ASSERT_EQ(inbox->GetStoreID(&storeId), S_OK);
    store::SetFault(store::FaultSite::OpenObject, MAPI_E_FAILONEPROVIDER);
    CComPtr<QMRMAPIFolder> again;
    EXPECT_EQ(m_session->GetFolderFromID(entryId, storeId, CComVariant(LONG(0x210)), &again),
              static_cast<HRESULT>(0x8004011D));
    CComPtr<QMRRDOStore> store;
    EXPECT_EQ(m_session->GetStoreFromID(storeId, CComVariant(ULONG(16)), &store),
              static_cast<HRESULT>(0x8004011D));
}

TEST_F(RdoSessionTest, StoresAccountsAndCategoriesComeFromTheProfile) {
    ASSERT_EQ(Logon(m_session), S_OK);
    CComPtr<QMRRDOStores> stores;
    ASSERT_EQ(m_session->GetStores(&stores), S_OK);
    LONG count = 0;
    ASSERT_EQ(stores->GetCount(&count), S_OK);
    EXPECT_EQ(count, 1);
    CComPtr<QMRRDOStore> first, byDefault;
    ASSERT_EQ(stores->Item(1, &first), S_OK);
    ASSERT_EQ(stores->GetDefaultStore(&byDefault), S_OK);
    CComBSTR a, b;
    first->GetEntryID(&a);
    byDefault->GetEntryID(&b);
    VARIANT_BOOL same = VARIANT_FALSE;
    ASSERT_EQ(m_utils->CompareEntryIDs(a, b, &same), S_OK);
    EXPECT_EQ(same, VARIANT_TRUE);
    LONG kind = 0;
    ASSERT_EQ(first->GetStoreKind(&kind), S_OK);
    EXPECT_EQ(kind, 2);
    CComPtr<QMRRDOStore> none;
    EXPECT_EQ(stores->Item(2, &none), DISP_E_BADINDEX);

    CComPtr<QMRAccounts> accounts;
    ASSERT_EQ(m_session->GetAccounts(&accounts), S_OK);
    CComPtr<QMRAccountList> ordered;
    ASSERT_EQ(accounts->GetOrder(2, &ordered), S_OK);
    ASSERT_EQ(ordered->Count(&count), S_OK);
    ASSERT_EQ(count, 2);
    const std::pair<const wchar_t*, LONG> expected[] = {{L"Ann Work", 7}, {L"Ann Home", 3}};
    for (LONG i = 1; i <= count; ++i) {
        CComPtr<QMRAccount> account;
        ASSERT_EQ(ordered->Item(i, &account), S_OK);
        CComBSTR name;
        LONG id = 0;
        ASSERT_EQ(account->Name(&name), S_OK);
        ASSERT_EQ(account->ID(&id), S_OK);
        EXPECT_TRUE(name == expected[i - 1].first);
        EXPECT_EQ(id, expected[i - 1].second);
    }

    CComPtr<QMRCategories> categories;
    ASSERT_EQ(m_session->GetCategories(&categories), S_OK);
    ASSERT_EQ(categories->Count(&count), S_OK);
    ASSERT_EQ(count, 2);
    CComPtr<QMRCategory> second;
    ASSERT_EQ(categories->Item(CComVariant(LONG(2)), &second), S_OK);
    CComBSTR categoryName;
    ASSERT_EQ(second->Name(&categoryName), S_OK);
    EXPECT_TRUE(categoryName == L"Quillmere-Journal");

    CComPtr<QMRAddressBook> book;
    ASSERT_EQ(m_session->GetAddressBook(&book), S_OK);
    CComPtr<QMRAddressEntry> entry;
    ASSERT_EQ(book->ResolveName(CComBSTR(L"bert brown"), &entry), S_OK);
    CComBSTR address;
    ASSERT_EQ(entry->GetAddressText(&address), S_OK);
    EXPECT_TRUE(address == L"bert@example.org");
    CComPtr<QMRAddressEntry> nobody;
    EXPECT_EQ(book->ResolveName(CComBSTR(L"Nobody"), &nobody), MAPI_E_NOT_FOUND);
}

// The log-on thread logs off after a failed try and at its end: the
// session's own calls then fail until the next log-on, objects it handed out
// keep working, and logging off twice or clearing an option is harmless.
TEST_F(RdoSessionTest, LogoffEndsTheSessionsCallsButNotItsObjects) {
    EXPECT_EQ(m_session->Logoff(), S_OK);
    EXPECT_EQ(m_session->ClearOption(0), S_OK);
    ASSERT_EQ(Logon(m_session), S_OK);
    CComPtr<QMRMessage> mail = AddMail(L"kept");
    CComPtr<QMRMAPIFolder> inbox;
    ASSERT_EQ(m_session->GetDefaultFolder(6, &inbox), S_OK);
    ASSERT_EQ(m_session->Logoff(), S_OK);
    EXPECT_EQ(m_session->Logoff(), S_OK);
    VARIANT_BOOL loggedOn = VARIANT_TRUE;
    ASSERT_EQ(m_session->GetLoggedOn(&loggedOn), S_OK);
    EXPECT_EQ(loggedOn, VARIANT_FALSE);
    CComPtr<QMRMAPIFolder> none;
    EXPECT_EQ(m_session->GetDefaultFolder(6, &none), MAPI_E_NOT_INITIALIZED);
    CComPtr<IUnknown> mapiSession;
    EXPECT_EQ(m_session->GetMAPIOBJECT(&mapiSession), MAPI_E_NOT_INITIALIZED);
    CComBSTR subject, name;
    ASSERT_EQ(mail->GetSubject(&subject), S_OK);
    EXPECT_TRUE(subject == L"kept");
    ASSERT_EQ(inbox->GetName(&name), S_OK);
    EXPECT_TRUE(name == L"Inbox");
    ASSERT_EQ(Logon(m_session), S_OK);
    EXPECT_EQ(m_session->GetDefaultFolder(6, &none), S_OK);
}

TEST_F(RdoSessionTest, AttachedSessionOnAnotherThreadSharesTheProfile) {
    ASSERT_EQ(Logon(m_session), S_OK);
    CComPtr<QMRMessage> mail = AddMail(L"shared");
    CComBSTR entryId;
    ASSERT_EQ(mail->GetEntryID(&entryId), S_OK);
    CComPtr<IUnknown> mapiSession;
    ASSERT_EQ(m_session->GetMAPIOBJECT(&mapiSession), S_OK);
    std::wstring id = Text(entryId);
    HRESULT attached = E_FAIL, opened = E_FAIL;
    std::wstring subject;
    std::thread worker([&] {
        CoInitialize(nullptr);
        {
            CComPtr<QMRRDOSession> own;
            if (SUCCEEDED(Create(CLSID_QMRRDOSession, IID_QMRRDOSession, own))) {
                attached = own->PutMAPIOBJECT(mapiSession);
                CComPtr<QMRMessage> there;
                opened = own->GetMessageFromID(CComBSTR(id), nullptr, Empty(), &there);
                CComBSTR s;
                if (there && SUCCEEDED(there->GetSubject(&s)))
                    subject = Text(s);
            }
        }
        CoUninitialize();
    });
    worker.join();
    EXPECT_EQ(attached, S_OK);
    EXPECT_EQ(opened, S_OK);
    EXPECT_EQ(subject, L"shared");
    // Something that is no MAPI session is refused.
    CComPtr<QMRRDOSession> other;
    ASSERT_EQ(Create(CLSID_QMRRDOSession, IID_QMRRDOSession, other), S_OK);
    EXPECT_EQ(other->PutMAPIOBJECT(m_utils), E_INVALIDARG);
}

// Two worker threads, each with its own helper session attached to the
// first one's MAPI session (as the add-in's threads attach theirs), save
// mails into one store and map the same new names at the same time: every
// mail arrives exactly once and both threads get the same named ids.
TEST_F(RdoSessionTest, TwoThreadsWithTheirOwnSessionsWritingOneStoreLoseNothing) {
    ASSERT_EQ(Logon(m_session), S_OK);
    CComPtr<IUnknown> mapiSession;
    ASSERT_EQ(m_session->GetMAPIOBJECT(&mapiSession), S_OK);
    constexpr int kPerThread = 120;
    const CComBSTR ownSet(L"{B9B4C7C0-7F5E-4C1A-9B4E-5A6E1F0D2C31}");
    std::vector<ULONG> tags[2];
    HRESULT failed[2] = {S_OK, S_OK};
    auto writer = [&](int t) {
        CoInitialize(nullptr);
        {
            CComPtr<QMRRDOSession> own;
            CComPtr<QMRMAPIUtils> utils;
            CComPtr<QMRMAPIFolder> inbox;
            CComPtr<QMRItems> items;
            HRESULT hr = Create(CLSID_QMRRDOSession, IID_QMRRDOSession, own);
            if (SUCCEEDED(hr))
                hr = Create(CLSID_QMRMAPIUtils, IID_QMRMAPIUtils, utils);
            if (SUCCEEDED(hr))
                hr = own->PutMAPIOBJECT(mapiSession);
            if (SUCCEEDED(hr))
                hr = own->GetDefaultFolder(6, &inbox);
            if (SUCCEEDED(hr))
                hr = inbox->GetItems(&items);
            for (int i = 0; SUCCEEDED(hr) && i < kPerThread; ++i) {
                CComPtr<QMRMessage> mail;
                hr = items->Add(CComVariant(L"IPM.Note"), &mail);
                if (SUCCEEDED(hr))
                    hr = mail->PutSubject(
                        CComBSTR((L"t" + std::to_wstring(t) + L"-" + std::to_wstring(i)).c_str()));
                ULONG tag = 0;
                if (SUCCEEDED(hr) && i % 10 == 0) {
                    hr = utils->GetIDsFromNames(mail, ownSet,
                                                CComVariant((L"n" + std::to_wstring(i)).c_str()),
                                                VARIANT_TRUE, &tag);
                    tags[t].push_back(tag);
                    if (SUCCEEDED(hr))
                        hr =
                            mail->SetFields(CComVariant(LONG(tag | PT_LONG)), CComVariant(LONG(i)));
                }
                if (SUCCEEDED(hr))
                    hr = mail->Save();
            }
            failed[t] = hr;
        }
        CoUninitialize();
    };
    std::thread a(writer, 0);
    std::thread b(writer, 1);
    a.join();
    b.join();
    EXPECT_EQ(failed[0], S_OK);
    EXPECT_EQ(failed[1], S_OK);
    EXPECT_EQ(tags[0], tags[1]);

    // Read back through a session of its own, as a later thread would.
    CComPtr<QMRRDOSession> reader;
    ASSERT_EQ(Create(CLSID_QMRRDOSession, IID_QMRRDOSession, reader), S_OK);
    ASSERT_EQ(Logon(reader), S_OK);
    CComPtr<QMRMAPIFolder> inbox;
    ASSERT_EQ(reader->GetDefaultFolder(6, &inbox), S_OK);
    CComPtr<QMRItems> items;
    ASSERT_EQ(inbox->GetItems(&items), S_OK);
    LONG count = 0;
    ASSERT_EQ(items->GetCount(&count), S_OK);
    EXPECT_EQ(count, 2 * kPerThread);
    std::set<std::wstring> subjects;
    int namedValues = 0;
    for (LONG i = 1; i <= count; ++i) {
        CComPtr<QMRMessage> mail;
        ASSERT_EQ(items->Item(i, &mail), S_OK);
        CComBSTR subject;
        ASSERT_EQ(mail->GetSubject(&subject), S_OK);
        subjects.insert(Text(subject));
        std::wstring text = Text(subject);
        int n = std::stoi(text.substr(text.find(L'-') + 1));
        if (n % 10 == 0) {
            CComVariant value;
            ASSERT_EQ(mail->GetFields(CComVariant(LONG(tags[0][n / 10] | PT_LONG)), &value), S_OK)
                << text;
            EXPECT_EQ(value.lVal, n) << text;
            ++namedValues;
        }
    }
    EXPECT_EQ(subjects.size(), static_cast<std::size_t>(2 * kPerThread));
    EXPECT_EQ(namedValues, 2 * kPerThread / 10);
}

TEST_F(RdoSessionTest, ObjectsRefuseCallsFromOtherThreads) {
    ASSERT_EQ(Logon(m_session), S_OK);
    CComPtr<QMRMessage> mail = AddMail(L"mine");
    CComPtr<QMRMAPIFolder> inbox;
    ASSERT_EQ(m_session->GetDefaultFolder(6, &inbox), S_OK);
    std::vector<HRESULT> results;
    std::thread intruder([&] {
        CComBSTR name;
        results.push_back(m_session->GetProfileName(&name));
        CComPtr<QMRMAPIFolder> f;
        results.push_back(m_session->GetDefaultFolder(6, &f));
        results.push_back(inbox->GetName(&name));
        results.push_back(mail->GetSubject(&name));
        results.push_back(mail->PutSubject(CComBSTR(L"stolen")));
        CComVariant bin;
        results.push_back(m_utils->TextToBinary(CComBSTR(L"00"), &bin));
        CComVariant value;
        results.push_back(m_utils->HrGetOneProp(mail, mapi::PR_SUBJECT, &value));
    });
    intruder.join();
    ASSERT_EQ(results.size(), 7u);
    for (HRESULT hr : results)
        EXPECT_EQ(hr, RPC_E_WRONG_THREAD);
    CComBSTR subject;
    ASSERT_EQ(mail->GetSubject(&subject), S_OK);
    EXPECT_TRUE(subject == L"mine");
}

}  // namespace
}  // namespace rdo::testing
