#include "platform/rdo/RdoUtils.h"

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <random>
#include <thread>

#include "platform/com/ComObject.h"
#include "platform/rdo/MapiObject.h"
#include "platform/rdo/PropVariant.h"
#include "platform/rdo/RdoTestSupport.h"
#include "platform/win/Clock.h"
#include "platform/win/MessageBox.h"
#include "platform/win/Text.h"

namespace rdo::testing {
namespace {

using namespace mapi;

bool VarCmpForTest(const VARIANT& a, const VARIANT& b) {
    if (a.vt != b.vt)
        return false;
    switch (a.vt) {
        case VT_I2:
            return a.iVal == b.iVal;
        case VT_I4:
            return a.lVal == b.lVal;
        case VT_I8:
            return a.llVal == b.llVal;
        case VT_BOOL:
            return a.boolVal == b.boolVal;
        case VT_R8:
            return a.dblVal == b.dblVal;
        case VT_R4:
            return a.fltVal == b.fltVal;
        case VT_ARRAY | VT_UI1: {
            Bytes x, y;
            return BinaryFromVariant(a, x) && BinaryFromVariant(b, y) && x == y;
        }
        case VT_ARRAY | VT_VARIANT: {
            LONG la = 0, ua = -1, lb = 0, ub = -1;
            SafeArrayGetLBound(a.parray, 1, &la);
            SafeArrayGetUBound(a.parray, 1, &ua);
            SafeArrayGetLBound(b.parray, 1, &lb);
            SafeArrayGetUBound(b.parray, 1, &ub);
            if (ua - la != ub - lb)
                return false;
            for (LONG i = 0; i <= ua - la; ++i) {
                CComVariant ea, eb;
                LONG ia = la + i, ib = lb + i;
                SafeArrayGetElement(a.parray, &ia, &ea);
                SafeArrayGetElement(b.parray, &ib, &eb);
                if (!VarCmpForTest(ea, eb))
                    return false;
            }
            return true;
        }
        case VT_DATE:
            return std::abs(a.date - b.date) < 1e-6;
        case VT_BSTR:
            return std::wstring_view(a.bstrVal, SysStringLen(a.bstrVal)) ==
                   std::wstring_view(b.bstrVal, SysStringLen(b.bstrVal));
        default:
            return false;
    }
}

class RdoUtilsTest : public RdoTest {
protected:
    void SetUp() override {
        RdoTest::SetUp();
        m_profiles.Add(MakeProfile());
        ASSERT_EQ(Create(CLSID_QMRMAPIUtils, IID_QMRMAPIUtils, m_utils), S_OK);
        ASSERT_EQ(Create(CLSID_QMRRDOSession, IID_QMRRDOSession, m_session), S_OK);
        ASSERT_EQ(Logon(m_session), S_OK);
    }
    void TearDown() override {
        SetAddressBookDialogHook(nullptr);
        m_utils.Release();
        m_session.Release();
        RdoTest::TearDown();
    }
    CComPtr<QMRMessage> NewMail() {
        CComPtr<QMRMAPIFolder> inbox;
        EXPECT_EQ(m_session->GetDefaultFolder(6, &inbox), S_OK);
        CComPtr<QMRItems> items;
        EXPECT_EQ(inbox->GetItems(&items), S_OK);
        CComPtr<QMRMessage> mail;
        EXPECT_EQ(items->Add(CComVariant(L"IPM.Note"), &mail), S_OK);
        EXPECT_EQ(mail->Save(), S_OK);
        return mail;
    }
    CComPtr<QMRMessage> Reopen(QMRMessage* mail) {
        CComBSTR id;
        mail->GetEntryID(&id);
        CComPtr<QMRMessage> again;
        EXPECT_EQ(m_session->GetMessageFromID(id, nullptr, CComVariant(LONG(0x10)), &again), S_OK);
        return again;
    }
    static CComVariant VariantArrayOf(const std::vector<CComVariant>& elements) {
        CComVariant v;
        v.vt = VT_ARRAY | VT_VARIANT;
        v.parray = SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(elements.size()));
        for (LONG i = 0; i < static_cast<LONG>(elements.size()); ++i)
            SafeArrayPutElement(v.parray, &i, &elements[i]);
        return v;
    }
    static std::vector<std::wstring> Texts(const VARIANT& array) {
        std::vector<std::wstring> out;
        LONG lower = 0, upper = -1;
        SafeArrayGetLBound(array.parray, 1, &lower);
        SafeArrayGetUBound(array.parray, 1, &upper);
        for (LONG i = lower; i <= upper; ++i) {
            CComVariant e;
            SafeArrayGetElement(array.parray, &i, &e);
            out.push_back(e.vt == VT_BSTR ? std::wstring(e.bstrVal, SysStringLen(e.bstrVal))
                                          : L"<not a BSTR>");
        }
        return out;
    }

    CComPtr<QMRMAPIUtils> m_utils;
    CComPtr<QMRRDOSession> m_session;
};

TEST_F(RdoUtilsTest, BinaryToTextAndBackAreExactInverses) {
    std::mt19937 random(20261210);
    for (std::size_t size : {0u, 1u, 16u, 22u, 255u, 1000u}) {
        Bytes bytes(size);
        for (auto& b : bytes)
            b = static_cast<std::uint8_t>(random());
        CComBSTR text;
        ASSERT_EQ(m_utils->BinaryToText(BinaryVariant(bytes.data(), bytes.size()), &text), S_OK);
        std::wstring t(text.View());
        ASSERT_EQ(t.size(), size * 2);
        EXPECT_EQ(t.find_first_not_of(L"0123456789ABCDEF"), std::wstring::npos) << t;
        CComVariant back;
        ASSERT_EQ(m_utils->TextToBinary(text, &back), S_OK);
        Bytes again;
        ASSERT_TRUE(BinaryFromVariant(back, again));
        EXPECT_EQ(again, bytes);
        // Lower-case text names the same bytes.
        CComVariant fromLower;
        ASSERT_EQ(m_utils->TextToBinary(CComBSTR(win::ToLower(t)), &fromLower), S_OK);
        ASSERT_TRUE(BinaryFromVariant(fromLower, again));
        EXPECT_EQ(again, bytes);
    }
}

TEST_F(RdoUtilsTest, MalformedInputsAreRefused) {
    for (const wchar_t* text : {L"0", L"ABC", L"G0", L"0 ", L"-1"}) {
        CComVariant out;
        EXPECT_EQ(m_utils->TextToBinary(CComBSTR(text), &out), E_INVALIDARG) << text;
        EXPECT_EQ(out.vt, VT_EMPTY);
    }
    CComBSTR text;
    EXPECT_EQ(m_utils->BinaryToText(CComVariant(LONG(5)), &text), E_INVALIDARG);
    VARIANT_BOOL same = VARIANT_TRUE;
    EXPECT_EQ(m_utils->CompareEntryIDs(CComBSTR(L"0A"), CComBSTR(L"XY"), &same), E_INVALIDARG);
    ASSERT_EQ(m_utils->CompareEntryIDs(CComBSTR(L"0a0b"), CComBSTR(L"0A0B"), &same), S_OK);
    EXPECT_EQ(same, VARIANT_TRUE);
    ASSERT_EQ(m_utils->CompareEntryIDs(CComBSTR(L"0A0B"), CComBSTR(L"0A0C"), &same), S_OK);
    EXPECT_EQ(same, VARIANT_FALSE);
}

TEST_F(RdoUtilsTest, ModificationTimeBecomesLocalTime) {
    // A zone one hour east of UTC, without daylight saving, so that a missed
    // conversion shows.
    std::string oldZone = std::getenv("TZ") ? std::getenv("TZ") : "";
    setenv("TZ", "QMT-1", 1);
    tzset();
    SYSTEMTIME st{2026, 12, 4, 10, 9, 30, 15, 0};
    FILETIME utc{}, local{};
    ASSERT_TRUE(SystemTimeToFileTime(&st, &utc));
    ASSERT_TRUE(FileTimeToLocalFileTime(&utc, &local));
    CComVariant when;
    when.vt = VT_DATE;
    when.date = DateFromFileTime(win::FileTimeToUInt64(utc));
    DATE converted = 0;
    ASSERT_EQ(m_utils->ConvertModificationTime(when, &converted), S_OK);
    EXPECT_NEAR(converted, DateFromFileTime(win::FileTimeToUInt64(local)), 1e-9);
    EXPECT_NEAR(converted - when.date, 1.0 / 24, 1e-6);
    if (oldZone.empty())
        unsetenv("TZ");
    else
        setenv("TZ", oldZone.c_str(), 1);
    tzset();
    SYSTEMTIME back{};
    ASSERT_TRUE(VariantTimeToSystemTime(when.date, &back));
    EXPECT_EQ(back.wHour, 9);
    EXPECT_EQ(back.wMinute, 30);
    EXPECT_EQ(m_utils->ConvertModificationTime(CComVariant(L"yesterday"), &converted),
              E_INVALIDARG);
}

TEST_F(RdoUtilsTest, PropertiesTravelInTheirVariantForms) {
    CComPtr<QMRMessage> mail = NewMail();
    struct Case {
        ULONG tag;
        CComVariant value;
        VARTYPE readBack;
    };
    CComVariant date;
    date.vt = VT_DATE;
    date.date = 46000.5;
    CComVariant quarter;
    quarter.vt = VT_R4;
    quarter.fltVal = 0.25f;
    CComVariant big;
    big.vt = VT_I8;
    big.llVal = 1234567890123LL;
    const Case cases[] = {
        {PROP_TAG(PT_LONG, 0x6601), CComVariant(LONG(-42)), VT_I4},
        {PROP_TAG(PT_SHORT, 0x6602), CComVariant(SHORT(7)), VT_I2},
        {PROP_TAG(PT_BOOLEAN, 0x6603), CComVariant(true), VT_BOOL},
        {PROP_TAG(PT_UNICODE, 0x6604), CComVariant(L"Grüße"), VT_BSTR},
        {PROP_TAG(PT_STRING8, 0x6605), CComVariant(L"caf\u00e9"), VT_BSTR},
        {PROP_TAG(PT_BINARY, 0x6606), BinaryVariant(reinterpret_cast<const BYTE*>("\0\1\2"), 3),
         VT_ARRAY | VT_UI1},
        {PROP_TAG(PT_SYSTIME, 0x6607), date, VT_DATE},
        {PROP_TAG(PT_DOUBLE, 0x6608), CComVariant(2.5), VT_R8},
        {PROP_TAG(PT_LONGLONG, 0x6609), big, VT_I8},
        {PROP_TAG(PT_MV_STRING8, 0x660A),
         VariantArrayOf({CComVariant(L"Red"), CComVariant(L"Quillmere-Journal")}),
         VT_ARRAY | VT_VARIANT},
        {PROP_TAG(PT_MV_UNICODE, 0x660B), VariantArrayOf({CComVariant(L"ä")}),
         VT_ARRAY | VT_VARIANT},
        {PROP_TAG(PT_FLOAT, 0x660C), quarter, VT_R4},
        {PROP_TAG(PT_CLSID, 0x660D), CComVariant(L"{00062008-0000-0000-C000-000000000046}"),
         VT_BSTR},
        {PROP_TAG(PT_MV_LONG, 0x660E),
         VariantArrayOf({CComVariant(LONG(1)), CComVariant(LONG(-2))}), VT_ARRAY | VT_VARIANT},
        {PROP_TAG(PT_MV_BINARY, 0x660F),
         VariantArrayOf({BinaryVariant(reinterpret_cast<const BYTE*>("\xFF"), 1)}),
         VT_ARRAY | VT_VARIANT},
        {PROP_TAG(PT_UNSPECIFIED, 0x6610), CComVariant(L"typed by the value"), VT_BSTR},
    };
    for (const Case& c : cases)
        ASSERT_EQ(m_utils->HrSetOneProp(mail, c.tag, c.value, VARIANT_TRUE), S_OK)
            << std::hex << c.tag;
    CComPtr<QMRMessage> again = Reopen(mail);
    for (const Case& c : cases) {
        CComVariant read;
        ASSERT_EQ(m_utils->HrGetOneProp(again, c.tag, &read), S_OK) << std::hex << c.tag;
        EXPECT_EQ(read.vt, c.readBack) << std::hex << c.tag;
        EXPECT_TRUE(VarCmpForTest(read, c.value)) << std::hex << c.tag;
    }
    CComVariant missing;
    EXPECT_EQ(m_utils->HrGetOneProp(again, PROP_TAG(PT_LONG, 0x6677), &missing), MAPI_E_NOT_FOUND);
    EXPECT_EQ(missing.vt, VT_EMPTY);
    EXPECT_EQ(
        m_utils->HrSetOneProp(again, PROP_TAG(PT_LONG, 0x6601), CComVariant(L"x"), VARIANT_TRUE),
        MAPI_E_INVALID_TYPE);
    EXPECT_EQ(m_utils->HrGetOneProp(m_utils, PR_SUBJECT, &missing), E_INVALIDARG);
}

TEST_F(RdoUtilsTest, NamedPropertyIdsAreStableAndCreatedOnlyWhenAsked) {
    CComPtr<QMRMessage> mail = NewMail();
    CComBSTR ownSet(L"{B9B4C7C0-7F5E-4C1A-9B4E-5A6E1F0D2C31}");
    ULONG tag = 0;
    EXPECT_EQ(m_utils->GetIDsFromNames(mail, ownSet, CComVariant(L"qmr-syncversion"), VARIANT_FALSE,
                                       &tag),
              store::MAPI_W_ERRORS_RETURNED);
    EXPECT_EQ(tag, 0u);
    ASSERT_EQ(
        m_utils->GetIDsFromNames(mail, ownSet, CComVariant(L"qmr-syncversion"), VARIANT_TRUE, &tag),
        S_OK);
    EXPECT_GE(PROP_ID(tag), 0x8000u);
    EXPECT_EQ(PROP_TYPE(tag), 0u);
    ULONG again = 0;
    ASSERT_EQ(m_utils->GetIDsFromNames(mail, ownSet, CComVariant(L"qmr-syncversion"), VARIANT_FALSE,
                                       &again),
              S_OK);
    EXPECT_EQ(again, tag);
    ASSERT_EQ(m_utils->HrSetOneProp(mail, tag | PT_LONG, CComVariant(LONG(3)), VARIANT_TRUE), S_OK);

    // Another thread, with its own session and utilities, sees the same id.
    CComBSTR entryId;
    mail->GetEntryID(&entryId);
    std::wstring id(entryId.View());
    ULONG seen = 0;
    LONG value = 0;
    std::thread other([&] {
        CoInitialize(nullptr);
        {
            CComPtr<QMRRDOSession> session;
            CComPtr<QMRMAPIUtils> utils;
            Create(CLSID_QMRRDOSession, IID_QMRRDOSession, session);
            Create(CLSID_QMRMAPIUtils, IID_QMRMAPIUtils, utils);
            Logon(session);
            CComPtr<QMRMessage> there;
            session->GetMessageFromID(CComBSTR(id), nullptr, CComVariant(), &there);
            utils->GetIDsFromNames(there, CComBSTR(L"{B9B4C7C0-7F5E-4C1A-9B4E-5A6E1F0D2C31}"),
                                   CComVariant(L"qmr-syncversion"), VARIANT_TRUE, &seen);
            CComVariant v;
            utils->HrGetOneProp(there, seen | PT_LONG, &v);
            value = v.vt == VT_I4 ? v.lVal : -1;
        }
        CoUninitialize();
    });
    other.join();
    EXPECT_EQ(seen, tag);
    EXPECT_EQ(value, 3);
    EXPECT_EQ(m_utils->GetIDsFromNames(mail, CComBSTR(L"not a guid"), CComVariant(L"x"),
                                       VARIANT_TRUE, &tag),
              E_INVALIDARG);
}

TEST_F(RdoUtilsTest, CategoriesAreReadAsTheKeywordsOfPublicStrings) {
    CComPtr<QMRMessage> mail = NewMail();
    CComBSTR publicStrings(L"{00020329-0000-0000-C000-000000000046}");
    ULONG keywords = 0;
    ASSERT_EQ(m_utils->GetIDsFromNames(mail, publicStrings, CComVariant(L"Keywords"), VARIANT_TRUE,
                                       &keywords),
              S_OK);
    ASSERT_EQ(
        m_utils->HrSetOneProp(mail, keywords | PT_MV_STRING8,
                              VariantArrayOf({CComVariant(L"Quillmere-Journal")}), VARIANT_TRUE),
        S_OK);
    CComPtr<QMRMessage> again = Reopen(mail);
    ULONG read = 0;
    ASSERT_EQ(m_utils->GetIDsFromNames(again, publicStrings, CComVariant(L"Keywords"),
                                       VARIANT_FALSE, &read),
              S_OK);
    CComVariant value;
    ASSERT_EQ(m_utils->HrGetOneProp(again, read | PT_MV_STRING8, &value), S_OK);
    EXPECT_EQ(Texts(value), std::vector<std::wstring>{L"Quillmere-Journal"});
}

// A stand-in for a mail client item: answers its MAPIOBJECT property only.
class FakeOutlookItem final : public com::ComObject<FakeOutlookItem, IDispatch> {
public:
    explicit FakeOutlookItem(CComPtr<IUnknown> mapiObject) : m_mapiObject(std::move(mapiObject)) {}
    HRESULT GetTypeInfoCount(UINT* count) override { return *count = 0, S_OK; }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, OLECHAR**, UINT, LCID, DISPID*) override {
        return DISP_E_UNKNOWNNAME;
    }
    HRESULT Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS*, VARIANT* result, EXCEPINFO*,
                   UINT*) override {
        if (id != 0xF100 || !result)
            return DISP_E_MEMBERNOTFOUND;
        CComVariant v(static_cast<IUnknown*>(m_mapiObject));
        return v.Detach(result);
    }

private:
    CComPtr<IUnknown> m_mapiObject;
};

TEST_F(RdoUtilsTest, MailClientItemsAreReachedThroughTheirMapiObject) {
    CComPtr<QMRMessage> mail = NewMail();
    ASSERT_EQ(mail->PutSubject(CComBSTR(L"from the client")), S_OK);
    ASSERT_EQ(mail->Save(), S_OK);
    CComPtr<IUnknown> mapiObject;
    ASSERT_EQ(mail->GetMAPIOBJECT(&mapiObject), S_OK);
    auto item = com::Make<FakeOutlookItem, IDispatch>(mapiObject);
    CComVariant subject;
    ASSERT_EQ(m_utils->HrGetOneProp(item, PR_SUBJECT, &subject), S_OK);
    ASSERT_EQ(subject.vt, VT_BSTR);
    EXPECT_STREQ(subject.bstrVal, L"from the client");
    ASSERT_EQ(m_utils->HrSetOneProp(mapiObject, PR_SENSITIVITY, CComVariant(LONG(2)), VARIANT_TRUE),
              S_OK);
    CComVariant sensitivity;
    ASSERT_EQ(m_utils->HrGetOneProp(Reopen(mail), PR_SENSITIVITY, &sensitivity), S_OK);
    EXPECT_EQ(sensitivity.lVal, 2);
}

TEST_F(RdoUtilsTest, AddressBookDialogIsAnsweredByTheHook) {
    CComPtr<QMRRecipients> chosen;
    CComVariant missing = MissingArgument();
    auto call = [&](CComPtr<QMRRecipients>& out) {
        return m_utils->AddressBookDialog(
            missing, CComVariant(L"Pick one"), CComVariant(SHORT(-1)), CComVariant(SHORT(-1)),
            CComVariant(LONG(1)), CComVariant(L"SyncEmpfänger"), missing, missing, missing, &out);
    };
    // Without a pick hook: a modal box, answered by the message-box handler.
    win::SetMessageBoxHandler([](const win::MessageBoxCall&) { return IDCANCEL; });
    EXPECT_EQ(call(chosen), MAPI_E_USER_CANCEL);
    EXPECT_EQ(chosen.p, nullptr);
    win::SetMessageBoxHandler([](const win::MessageBoxCall&) { return IDOK; });
    ASSERT_EQ(call(chosen), S_OK);
    LONG none = -1;
    ASSERT_EQ(chosen->GetCount(&none), S_OK);
    EXPECT_EQ(none, 0);
    chosen.Release();
    win::SetMessageBoxHandler(nullptr);
    std::wstring askedTitle;
    SetAddressBookDialogHook([&](const std::wstring& title, std::vector<std::wstring>* names) {
        askedTitle = title;
        names->push_back(L"carla@example.org");
        return S_OK;
    });
    ASSERT_EQ(call(chosen), S_OK);
    EXPECT_EQ(askedTitle, L"Pick one");
    LONG count = 0;
    ASSERT_EQ(chosen->GetCount(&count), S_OK);
    ASSERT_EQ(count, 1);
    CComPtr<QMRRecipient> first;
    ASSERT_EQ(chosen->Item(1, &first), S_OK);
    CComBSTR address;
    ASSERT_EQ(first->GetAddress(&address), S_OK);
    EXPECT_TRUE(address == L"carla@example.org");
}

TEST_F(RdoUtilsTest, VersionIsReported) {
    CComBSTR version;
    ASSERT_EQ(m_utils->GetVersion(&version), S_OK);
    EXPECT_GT(version.Length(), 0u);
    EXPECT_EQ(m_utils->Cleanup(), S_OK);
}

}  // namespace
}  // namespace rdo::testing
