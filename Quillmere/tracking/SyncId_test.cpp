// Sync ids, sync versions and the add-in's named properties over the real
// helper library and a store made in the test.
#include "Quillmere/tracking/SyncId.h"

#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "Quillmere/core/AddinGlobals.h"
#include "Quillmere/core/DebugLog.h"
#include "Quillmere/core/SyncEngine.h"
#include "Quillmere/tracking/LookupTestSupport_test.h"
#include "platform/com/ComObject.h"
#include "platform/rdo/RdoTestSupport.h"

namespace {

using rdo::testing::Empty;

constexpr ULONG kTagChangeKey = 0x65E20102;

// Forwards to the real utilities object; refuses search-key writes with a
// chosen code and records every named-property question.
class SpyUtils final : public com::ComObject<SpyUtils, QMRMAPIUtils> {
public:
    explicit SpyUtils(QMRMAPIUtils* real) : m_real(real) {}

    struct NameQuestion {
        std::wstring set, name;
        bool create;
    };
    HRESULT refuseSearchKey = S_OK;
    // Refuses writes of multi-valued 8-bit strings (the categories).
    HRESULT refuseCategories = S_OK;
    std::vector<NameQuestion> questions;

    HRESULT GetTypeInfoCount(UINT* count) override { return *count = 0, E_NOTIMPL; }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, OLECHAR**, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return E_NOTIMPL;
    }
    HRESULT HrGetOneProp(IUnknown* o, ULONG tag, VARIANT* v) override {
        return m_real->HrGetOneProp(o, tag, v);
    }
    HRESULT HrSetOneProp(IUnknown* o, ULONG tag, VARIANT v, VARIANT_BOOL save) override {
        if (tag == kTagSearchKey && FAILED(refuseSearchKey))
            return refuseSearchKey;
        if ((tag & 0xFFFF) == kPropTypeMvString8 && FAILED(refuseCategories))
            return refuseCategories;
        return m_real->HrSetOneProp(o, tag, v, save);
    }
    HRESULT GetIDsFromNames(IUnknown* o, BSTR set, VARIANT name, VARIANT_BOOL create,
                            ULONG* tag) override {
        questions.push_back({set, name.vt == VT_BSTR ? name.bstrVal : L"", create != 0});
        return m_real->GetIDsFromNames(o, set, name, create, tag);
    }
    HRESULT CompareEntryIDs(BSTR a, BSTR b, VARIANT_BOOL* same) override {
        return m_real->CompareEntryIDs(a, b, same);
    }
    HRESULT BinaryToText(VARIANT b, BSTR* t) override { return m_real->BinaryToText(b, t); }
    HRESULT TextToBinary(BSTR t, VARIANT* b) override { return m_real->TextToBinary(t, b); }
    HRESULT ConvertModificationTime(VARIANT u, DATE* l) override {
        return m_real->ConvertModificationTime(u, l);
    }
    HRESULT AddressBookDialog(VARIANT, VARIANT, VARIANT, VARIANT, VARIANT, VARIANT, VARIANT,
                              VARIANT, VARIANT, QMRRecipients** chosen) override {
        return *chosen = nullptr, E_NOTIMPL;
    }
    HRESULT GetVersion(BSTR* v) override { return m_real->GetVersion(v); }
    HRESULT Cleanup() override { return m_real->Cleanup(); }

private:
    CComPtr<QMRMAPIUtils> m_real;
};

// The lookup fixture with a spy in front of the library's utilities.
class SyncIdTest : public LookupTest {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(LookupTest::SetUp());
        m_spy = com::Make<SpyUtils>(m_utils.p);
    }
    void TearDown() override {
        m_engine.reset();
        m_spy.Release();
        LookupTest::TearDown();
    }

    CComPtr<QMRSafeMailItem> Wrap(QMRMessage* message) {
        CComPtr<QMRSafeMailItem> safe;
        EXPECT_EQ(Create(CLSID_QMRSafeMailItem, IID_QMRSafeMailItem, safe), S_OK);
        EXPECT_EQ(safe->PutItem(message), S_OK);
        return safe;
    }
    // The message as the store holds it now.
    CComPtr<QMRMessage> Reopen(QMRMessage* message) {
        CComBSTR entry, store;
        EXPECT_EQ(message->GetEntryID(&entry), S_OK);
        EXPECT_EQ(message->GetStoreID(&store), S_OK);
        CComPtr<QMRMessage> fresh;
        EXPECT_EQ(m_session->GetMessageFromID(entry, store, Empty(), &fresh), S_OK);
        return fresh;
    }
    std::wstring SearchKeyText(QMRMessage* message) {
        CComVariant value;
        if (FAILED(message->GetFields(CComVariant(kTagSearchKey), &value)))
            return L"";
        CComBSTR text;
        EXPECT_EQ(m_spy->BinaryToText(value, &text), S_OK);
        return text ? std::wstring(text) : L"";
    }
    CComVariant Named(QMRMessage* message, const wchar_t* set, const wchar_t* name, ULONG type) {
        ULONG tag = 0;
        CComVariant value;
        if (SUCCEEDED(GetNamedPropertyTag(m_spy, message, set, name, type, true, tag)))
            m_spy->HrGetOneProp(message, tag, &value);
        return value;
    }
    std::vector<std::wstring> Strings(const CComVariant& v) {
        std::vector<std::wstring> out;
        if (v.vt != (VT_ARRAY | VT_VARIANT))
            return out;
        LONG lower = 0, upper = -1;
        SafeArrayGetLBound(v.parray, 1, &lower);
        SafeArrayGetUBound(v.parray, 1, &upper);
        for (LONG i = lower; i <= upper; ++i) {
            CComVariant e;
            SafeArrayGetElement(v.parray, &i, &e);
            out.emplace_back(e.vt == VT_BSTR ? e.bstrVal : L"?");
        }
        return out;
    }
    void SetCategories(QMRMessage* message, const std::vector<std::wstring>& categories) {
        ULONG tag = 0;
        ASSERT_EQ(GetNamedPropertyTag(m_spy, message, kPublicStringsPropertySet, kKeywordsName,
                                      kPropTypeMvString8, true, tag),
                  S_OK);
        SAFEARRAY* array = SafeArrayCreateVector(VT_VARIANT, 0, ULONG(categories.size()));
        for (LONG i = 0; i < LONG(categories.size()); ++i) {
            CComVariant e{std::wstring_view(categories[std::size_t(i)])};
            SafeArrayPutElement(array, &i, &e);
        }
        CComVariant value;
        value.vt = VT_ARRAY | VT_VARIANT;
        value.parray = array;
        ASSERT_EQ(m_spy->HrSetOneProp(message, tag, value, VARIANT_TRUE), S_OK);
    }
    // A whole line of the error log.
    bool ErrorLogHas(const std::string& line) {
        return ErrorLog().find(line + "\r\n") != std::string::npos;
    }

    CComPtr<SpyUtils> m_spy;
};

bool IsSyncIdText(const std::wstring& text) {
    if (text.size() != 32)
        return false;
    for (wchar_t c : text) {
        if (!((c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'F')))
            return false;
    }
    return true;
}

TEST_F(SyncIdTest, NewSyncIdIsThirtyTwoUpperCaseHexDigits) {
    std::set<std::wstring> seen;
    for (int i = 0; i < 50; ++i) {
        std::wstring text;
        ASSERT_EQ(MakeNewSyncIdText(text), S_OK);
        EXPECT_TRUE(IsSyncIdText(text)) << text.c_str();
        seen.insert(text);
    }
    EXPECT_EQ(seen.size(), 50u);
}

TEST_F(SyncIdTest, StoredSearchKeyIsReadAsItsTextByBothKinds) {
    CComPtr<QMRMessage> message = NewMessage();
    const std::wstring stored = SearchKeyText(message);
    ASSERT_FALSE(stored.empty());
    std::wstring viaSafe, viaMessage;
    EXPECT_EQ(GetSyncID_AS_PR_SEARCH_KEY(m_engine.get(), m_spy, Wrap(message), viaSafe, false),
              S_OK);
    EXPECT_EQ(GetSyncID_AS_PR_SEARCH_KEY2(m_engine.get(), m_spy, message, viaMessage, false), S_OK);
    EXPECT_EQ(viaSafe, stored);
    EXPECT_EQ(viaMessage, stored);
}

TEST_F(SyncIdTest, MakeNewWritesAGuidSearchKeyThatTheStoreKeeps) {
    CComPtr<QMRMessage> message = NewMessage();
    const std::wstring before = SearchKeyText(message);
    std::wstring first, second;
    ASSERT_EQ(GetSyncID_AS_PR_SEARCH_KEY(m_engine.get(), m_spy, Wrap(message), first, true), S_OK);
    EXPECT_TRUE(IsSyncIdText(first)) << first.c_str();
    EXPECT_NE(first, before);
    EXPECT_EQ(SearchKeyText(Reopen(message)), first);
    CComPtr<QMRMessage> fresh = Reopen(message);
    ASSERT_EQ(GetSyncID_AS_PR_SEARCH_KEY2(m_engine.get(), m_spy, fresh, second, true), S_OK);
    EXPECT_TRUE(IsSyncIdText(second));
    EXPECT_NE(second, first);
    EXPECT_EQ(SearchKeyText(Reopen(message)), second);
}

TEST_F(SyncIdTest, MissingOrEmptySearchKeyFails) {
    struct Case {
        const char* name;
        CComVariant value;
    } cases[] = {{"deleted", CComVariant()}, {"empty", BinaryVariant(nullptr, 0)}};
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        CComPtr<QMRMessage> message = NewMessage();
        ASSERT_EQ(message->SetFields(CComVariant(kTagSearchKey), c.value), S_OK);
        ASSERT_EQ(message->Save(), S_OK);
        std::wstring text = L"stale";
        EXPECT_EQ(GetSyncID_AS_PR_SEARCH_KEY2(m_engine.get(), m_spy, message, text, false), E_FAIL);
        EXPECT_TRUE(text.empty());
        text = L"stale";
        EXPECT_EQ(GetSyncID_AS_PR_SEARCH_KEY(m_engine.get(), m_spy, Wrap(message), text, false),
                  E_FAIL);
        EXPECT_TRUE(text.empty());
        EXPECT_NE(ErrorLog().find("ERROR: GetSyncID_AS_PR_SEARCH_KEY failed"), std::string::npos);
    }
    // A null message fails the same way instead of crashing.
    std::wstring text;
    EXPECT_EQ(GetSyncID_AS_PR_SEARCH_KEY2(m_engine.get(), m_spy, nullptr, text, false), E_FAIL);
}

TEST_F(SyncIdTest, RefusedNewKeyIsReportedAndTheOldKeyStillRead) {
    struct Case {
        HRESULT refusal;
        const char* report;
        bool notifies;
    } cases[] = {{E_ACCESSDENIED, "ERROR: SetNewSyncID E_ACCESSDENIED: MAPI_E_NO_ACCESS", true},
                 {MAPI_E_DISK_ERROR, "ERROR: SetNewSyncID: MAPI_E_DISK_ERROR", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.report);
        CComPtr<QMRMessage> message = NewMessage();
        const std::wstring before = SearchKeyText(message);
        m_spy->refuseSearchKey = c.refusal;
        m_engine->SetPendingNotification(L"earlier", L"text", 1);
        std::wstring text;
        EXPECT_EQ(GetSyncID_AS_PR_SEARCH_KEY(m_engine.get(), m_spy, Wrap(message), text, true),
                  S_OK);
        EXPECT_EQ(text, before);
        EXPECT_TRUE(ErrorLogHas(c.report)) << ErrorLog();
        // The refusal's notice carries an empty text, so it replaces the
        // earlier one but can never be shown.
        std::wstring title, body;
        LONG kind = -1;
        EXPECT_EQ(m_engine->TakePendingNotification(title, body, kind), !c.notifies);
        m_engine->TakePendingNotification(title, body, kind);
    }
    m_spy->refuseSearchKey = S_OK;
}

TEST_F(SyncIdTest, VersionStartsAtOneAndRisesByOne) {
    CComPtr<QMRMessage> message = NewMessage();
    SetCategories(message, {L"Red"});
    LONG version = 0;
    EXPECT_EQ(GetSyncVersion(m_engine.get(), m_spy, message, version), MAPI_E_NOT_FOUND);
    EXPECT_EQ(version, -1);
    EXPECT_EQ(IncSyncVersion(m_engine.get(), m_spy, message, L""), S_OK);
    EXPECT_EQ(GetSyncVersion(m_engine.get(), m_spy, Reopen(message), version), S_OK);
    EXPECT_EQ(version, 1);

    ULONG tag = 0;
    ASSERT_EQ(GetNamedPropertyTag(m_spy, message, kQuillmerePropertySet, kSyncVersionName,
                                  kPropTypeLong, true, tag),
              S_OK);
    ASSERT_EQ(m_spy->HrSetOneProp(message, tag, CComVariant(LONG(41)), VARIANT_TRUE), S_OK);
    EXPECT_EQ(IncSyncVersion(m_engine.get(), m_spy, message, L"Folder"), S_OK);
    EXPECT_EQ(GetSyncVersion(m_engine.get(), m_spy, Reopen(message), version), S_OK);
    EXPECT_EQ(version, 42);
    // Only the first version stamps the folder category.
    EXPECT_EQ(Strings(Named(Reopen(message), kPublicStringsPropertySet, kKeywordsName,
                            kPropTypeMvString8)),
              std::vector<std::wstring>{L"Red"});
    EXPECT_EQ(GetSyncVersion(m_engine.get(), m_spy, nullptr, version), E_FAIL);
}

TEST_F(SyncIdTest, FirstVersionStampsTheCategoryAndCopiesCategories) {
    CComPtr<QMRMessage> message = NewMessage();
    SetCategories(message, {L"Red"});
    ASSERT_EQ(IncSyncVersion(m_engine.get(), m_spy, message, L"Family"), S_OK);
    CComPtr<QMRMessage> fresh = Reopen(message);
    const std::vector<std::wstring> expected{L"Red", L"Family"};
    EXPECT_EQ(Strings(Named(fresh, kPublicStringsPropertySet, kKeywordsName, kPropTypeMvString8)),
              expected);
    EXPECT_EQ(Strings(Named(fresh, kQuillmerePropertySet, kKeywordsName, kPropTypeMvString8)),
              expected);
    // A category the item has already is not added twice.
    CComPtr<QMRMessage> tagged = NewMessage(L"Tagged");
    SetCategories(tagged, {L"Family"});
    ASSERT_EQ(IncSyncVersion(m_engine.get(), m_spy, tagged, L"Family"), S_OK);
    EXPECT_EQ(Strings(Named(Reopen(tagged), kPublicStringsPropertySet, kKeywordsName,
                            kPropTypeMvString8)),
              std::vector<std::wstring>{L"Family"});
    // An item without categories gets the folder category as its only one.
    CComPtr<QMRMessage> bare = NewMessage(L"Bare");
    ASSERT_EQ(IncSyncVersion(m_engine.get(), m_spy, bare, L"Family"), S_OK);
    EXPECT_EQ(
        Strings(Named(Reopen(bare), kQuillmerePropertySet, kKeywordsName, kPropTypeMvString8)),
        std::vector<std::wstring>{L"Family"});
}

TEST_F(SyncIdTest, ItemWithoutCategoriesIsRaisedAndReportsTheCopy) {
    CComPtr<QMRMessage> message = NewMessage();
    HRESULT hr = IncSyncVersion(m_engine.get(), m_spy, message, L"");
    EXPECT_TRUE(FAILED(hr));
    EXPECT_NE(ErrorLog().find("ERROR: IncSyncVersion: "), std::string::npos);
    LONG version = 0;
    EXPECT_EQ(GetSyncVersion(m_engine.get(), m_spy, Reopen(message), version), S_OK);
    EXPECT_EQ(version, 1);
    EXPECT_EQ(Named(Reopen(message), kQuillmerePropertySet, kKeywordsName, kPropTypeMvString8).vt,
              VT_EMPTY);
}

TEST_F(SyncIdTest, RefusedCategoryStampStillRaisesTheFirstVersion) {
    CComPtr<QMRMessage> message = NewMessage();
    m_spy->refuseCategories = MAPI_E_NO_ACCESS;
    EXPECT_TRUE(FAILED(IncSyncVersion(m_engine.get(), m_spy, message, L"Family")));
    m_spy->refuseCategories = S_OK;
    EXPECT_TRUE(ErrorLogHas("ERROR: Cat2Item::Save: MAPI_E_NO_ACCESS")) << ErrorLog();
    LONG version = 0;
    EXPECT_EQ(GetSyncVersion(m_engine.get(), m_spy, Reopen(message), version), S_OK);
    EXPECT_EQ(version, 1);
}

TEST_F(SyncIdTest, SameLastShareNameIsWrittenOnce) {
    CComPtr<QMRMessage> message = NewMessage();
    bool changed = false;
    ASSERT_EQ(SetLastShareName(m_engine.get(), m_spy, message, L"Team", changed), S_OK);
    EXPECT_TRUE(changed);
    CComPtr<QMRMessage> fresh = Reopen(message);
    CComVariant name = Named(fresh, kQuillmerePropertySet, kLastShareNameName, kPropTypeString8);
    ASSERT_EQ(name.vt, VT_BSTR);
    EXPECT_STREQ(name.bstrVal, L"Team");
    CComVariant keyBefore;
    ASSERT_EQ(fresh->GetFields(CComVariant(kTagChangeKey), &keyBefore), S_OK);

    changed = false;
    ASSERT_EQ(SetLastShareName(m_engine.get(), m_spy, fresh, L"Team", changed), S_OK);
    EXPECT_FALSE(changed);
    CComVariant keyAfter;
    ASSERT_EQ(Reopen(message)->GetFields(CComVariant(kTagChangeKey), &keyAfter), S_OK);
    std::vector<BYTE> a, b;
    ASSERT_TRUE(BinaryFromVariant(keyBefore, a));
    ASSERT_TRUE(BinaryFromVariant(keyAfter, b));
    EXPECT_EQ(a, b) << "an unchanged share name must not write the item";

    // The comparison is exact: a name that differs only in case is written.
    ASSERT_EQ(SetLastShareName(m_engine.get(), m_spy, fresh, L"team", changed), S_OK);
    EXPECT_TRUE(changed);
    name = Named(Reopen(message), kQuillmerePropertySet, kLastShareNameName, kPropTypeString8);
    EXPECT_STREQ(name.bstrVal, L"team");
}

TEST_F(SyncIdTest, OwnSetIsAskedWithCreateAndPublicStringsWithout) {
    CComPtr<QMRMessage> message = NewMessage();
    SetCategories(message, {L"Red"});
    m_spy->questions.clear();
    ASSERT_EQ(IncSyncVersion(m_engine.get(), m_spy, message, L""), S_OK);
    bool bool_ = false;
    ASSERT_EQ(SetLastShareName(m_engine.get(), m_spy, message, L"S", bool_), S_OK);
    std::set<std::wstring> names;
    for (const auto& q : m_spy->questions) {
        if (q.set == L"{0F62B4A7-203E-40de-99DA-6F03EE72A090}") {
            EXPECT_TRUE(q.create) << q.name.c_str();
            names.insert(q.name);
        } else {
            EXPECT_EQ(q.set, L"{00020329-0000-0000-C000-000000000046}");
            EXPECT_EQ(q.name, L"Keywords");
            EXPECT_FALSE(q.create);
        }
    }
    EXPECT_EQ(names, (std::set<std::wstring>{L"quillmereversion", L"Keywords", L"lastsharename"}));
}

}  // namespace
