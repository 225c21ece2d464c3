#include "platform/rdo/RdoFolder.h"
#include "platform/rdo/RdoTestSupport.h"
#include "platform/store/Faults.h"

namespace rdo::testing {
namespace {

class RdoSynchronizerTest : public RdoTest {
protected:
    void SetUp() override {
        RdoTest::SetUp();
        m_profiles.Add(MakeProfile(L"Ann", store::StoreKind::ExchangeMailbox));
        ASSERT_EQ(Create(CLSID_QMRRDOSession, IID_QMRRDOSession, m_session), S_OK);
        ASSERT_EQ(Logon(m_session), S_OK);
        ASSERT_EQ(m_session->GetDefaultFolder(9, &m_calendar), S_OK);
        ASSERT_EQ(m_calendar->GetItems(&m_items), S_OK);
    }
    void TearDown() override {
        store::ClearFaults();
        m_items.Release();
        m_calendar.Release();
        m_session.Release();
        RdoTest::TearDown();
    }
    CComPtr<QMRMessage> Add(const wchar_t* subject) {
        CComPtr<QMRMessage> m;
        EXPECT_EQ(m_items->Add(CComVariant(L"IPM.Appointment"), &m), S_OK);
        m->PutSubject(CComBSTR(subject));
        EXPECT_EQ(m->Save(), S_OK);
        return m;
    }
    struct Seen {
        std::wstring sourceKey;
        LONG kind;
        bool isNew;
        std::wstring changeKey;
        std::wstring subject;
        bool hasTime;
    };
    std::vector<Seen> Differences(const std::wstring& state, std::wstring* newState) {
        CComPtr<QMRSynchronizer> sync;
        EXPECT_EQ(m_calendar->GetSynchronizer(&sync), S_OK);
        CComPtr<QMRDifferingItems> items;
        EXPECT_EQ(sync->GetDifferingItems(CComBSTR(state), &items), S_OK);
        std::vector<Seen> seen;
        if (!items)
            return seen;
        LONG count = 0;
        items->GetCount(&count);
        for (LONG i = 1; i <= count; ++i) {
            CComPtr<QMRDifferingItem> item;
            EXPECT_EQ(items->Item(i, &item), S_OK);
            Seen s{};
            CComBSTR key, change;
            item->GetSourceKey(&key);
            item->GetChangeKind(&s.kind);
            VARIANT_BOOL isNew = VARIANT_FALSE;
            item->GetIsNew(&isNew);
            s.isNew = isNew != VARIANT_FALSE;
            item->GetChangeKey(&change);
            s.sourceKey = key.View();
            s.changeKey = change.View();
            CComVariant when;
            s.hasTime = SUCCEEDED(item->GetLastModificationTime(&when)) && when.vt == VT_DATE;
            CComPtr<QMRMessage> message;
            if (SUCCEEDED(item->GetMessage(&message))) {
                CComBSTR subject;
                message->GetSubject(&subject);
                s.subject = subject.View();
            }
            seen.push_back(s);
        }
        CComBSTR next;
        EXPECT_EQ(items->GetSyncData(&next), S_OK);
        *newState = next.View();
        return seen;
    }

    CComPtr<QMRRDOSession> m_session;
    CComPtr<QMRMAPIFolder> m_calendar;
    CComPtr<QMRItems> m_items;
};

TEST_F(RdoSynchronizerTest, ReportsNewChangedAndDeletedItemsSinceAState) {
    CComPtr<QMRMessage> keep = Add(L"keep");
    CComPtr<QMRMessage> drop = Add(L"drop");
    std::wstring state1;
    std::vector<Seen> first = Differences(L"", &state1);
    ASSERT_EQ(first.size(), 2u);
    for (const Seen& s : first) {
        EXPECT_EQ(s.kind, kQmrChangeNewOrChanged);
        EXPECT_TRUE(s.isNew);
        EXPECT_EQ(s.sourceKey.size(), 44u);
        EXPECT_FALSE(s.changeKey.empty());
        EXPECT_TRUE(s.hasTime);
    }
    EXPECT_EQ(first[0].subject, L"keep");
    EXPECT_FALSE(state1.empty());

    ASSERT_EQ(keep->PutSubject(CComBSTR(L"kept, changed")), S_OK);
    ASSERT_EQ(keep->Save(), S_OK);
    ASSERT_EQ(drop->Delete(0), S_OK);
    Add(L"fresh");
    std::wstring state2;
    std::vector<Seen> second = Differences(state1, &state2);
    ASSERT_EQ(second.size(), 3u);
    int changed = 0, deleted = 0, added = 0;
    for (const Seen& s : second) {
        if (s.kind == kQmrChangeDeleted) {
            ++deleted;
            EXPECT_EQ(s.sourceKey, first[1].sourceKey);
            EXPECT_TRUE(s.changeKey.empty());
            EXPECT_FALSE(s.hasTime);
        } else if (s.isNew) {
            ++added;
            EXPECT_EQ(s.subject, L"fresh");
        } else {
            ++changed;
            EXPECT_EQ(s.subject, L"kept, changed");
            EXPECT_EQ(s.sourceKey, first[0].sourceKey);
            EXPECT_NE(s.changeKey, first[0].changeKey);
        }
    }
    EXPECT_EQ(changed, 1);
    EXPECT_EQ(deleted, 1);
    EXPECT_EQ(added, 1);
    std::wstring state3;
    EXPECT_TRUE(Differences(state2, &state3).empty());
}

TEST_F(RdoSynchronizerTest, UnusableStateAndNetworkFailureAreReported) {
    CComPtr<QMRSynchronizer> sync;
    ASSERT_EQ(m_calendar->GetSynchronizer(&sync), S_OK);
    for (const wchar_t* state : {L"garbage", L"QMS1-ZZ", L"Zustand\u00e4"}) {
        CComPtr<QMRDifferingItems> items;
        EXPECT_EQ(sync->GetDifferingItems(CComBSTR(state), &items),
                  static_cast<HRESULT>(0x80070057))
            << state;
        EXPECT_EQ(items.p, nullptr);
    }
    store::SetFault(store::FaultSite::Synchronize, MAPI_E_NETWORK_ERROR);
    CComPtr<QMRDifferingItems> items;
    EXPECT_EQ(sync->GetDifferingItems(CComBSTR(L""), &items), static_cast<HRESULT>(0x80040115));
}

TEST_F(RdoSynchronizerTest, PersonalStoresHaveNoSynchronizer) {
    m_profiles.Add(MakeProfile(L"Pat"), false);
    CComPtr<QMRRDOSession> pat;
    ASSERT_EQ(Create(CLSID_QMRRDOSession, IID_QMRRDOSession, pat), S_OK);
    ASSERT_EQ(pat->Logon(CComVariant(L"Pat"), Empty(), Empty(), Empty(), Empty(), Empty()), S_OK);
    CComPtr<QMRMAPIFolder> inbox;
    ASSERT_EQ(pat->GetDefaultFolder(6, &inbox), S_OK);
    CComPtr<QMRSynchronizer> sync;
    EXPECT_EQ(inbox->GetSynchronizer(&sync), static_cast<HRESULT>(0x80040102));
    EXPECT_EQ(sync.p, nullptr);
    CComPtr<QMRRDOStore> exchange;
    ASSERT_EQ(m_calendar->GetStore(&exchange), S_OK);
    LONG kind = 0;
    ASSERT_EQ(exchange->GetStoreKind(&kind), S_OK);
    EXPECT_EQ(kind, 3);
}

}  // namespace
}  // namespace rdo::testing
