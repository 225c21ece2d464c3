#include "platform/com/Variant.h"

#include <gtest/gtest.h>

#include "platform/com/ComObject.h"

namespace {

// Counts references so tests can see that VARIANTs and arrays release what they hold.
struct ICounted : IUnknown {};
constexpr IID IID_ICounted{0x11111111, 0, 0, {1, 2, 3, 4, 5, 6, 7, 8}};
}  // namespace
QM_DECLARE_IID(ICounted, IID_ICounted);
namespace {

int g_alive = 0;
class Counted final : public com::ComObject<Counted, ICounted> {
public:
    Counted() { ++g_alive; }
    ~Counted() override { --g_alive; }
};

}  // namespace

TEST(Bstr, KeepsLengthAndEmbeddedNuls) {
    const wchar_t text[] = {L'a', L'\0', L'b'};
    CComBSTR s(3, text);
    EXPECT_EQ(s.Length(), 3u);
    EXPECT_EQ(s.ByteLength(), 3 * sizeof(wchar_t));
    EXPECT_EQ(s.m_str[3], L'\0');
    CComBSTR copy = s;
    EXPECT_EQ(copy.View(), std::wstring_view(text, 3));
    EXPECT_NE(copy.m_str, s.m_str);
}

TEST(Bstr, NullIsEmpty) {
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    CComBSTR none;
    EXPECT_TRUE(none == L"");
    BSTR raw = SysAllocStringByteLen("abc", 3);
    EXPECT_EQ(SysStringByteLen(raw), 3u);
    SysFreeString(raw);
}

TEST(Variant, CopyIsDeepAndClearReleases) {
    {
        CComVariant a(L"text");
        CComVariant b = a;
        EXPECT_NE(a.bstrVal, b.bstrVal);
        EXPECT_STREQ(b.bstrVal, L"text");

        auto obj = com::Make<Counted, ICounted>();
        CComVariant u(static_cast<IUnknown*>(obj.p));
        CComVariant u2 = u;
        obj.Release();
        EXPECT_EQ(g_alive, 1);
    }
    EXPECT_EQ(g_alive, 0);
}

TEST(Variant, ArrayOfVariantsOwnsElements) {
    SAFEARRAY* a = SafeArrayCreateVector(VT_VARIANT, 0, 2);
    ASSERT_TRUE(a);
    {
        auto obj = com::Make<Counted, ICounted>();
        CComVariant one(L"x");
        CComVariant two(static_cast<IUnknown*>(obj.p));
        LONG i = 0;
        ASSERT_EQ(SafeArrayPutElement(a, &i, &one), S_OK);
        i = 1;
        ASSERT_EQ(SafeArrayPutElement(a, &i, &two), S_OK);
    }
    EXPECT_EQ(g_alive, 1);
    CComVariant holder;
    holder.vt = VT_ARRAY | VT_VARIANT;
    holder.parray = a;
    CComVariant copy = holder;
    VARIANT out;
    LONG i = 0;
    ASSERT_EQ(SafeArrayGetElement(copy.parray, &i, &out), S_OK);
    EXPECT_STREQ(out.bstrVal, L"x");
    VariantClear(&out);
    i = 2;
    EXPECT_EQ(SafeArrayGetElement(copy.parray, &i, &out), DISP_E_BADINDEX);
    holder.Clear();
    EXPECT_EQ(g_alive, 1);  // the copy still holds it
    copy.Clear();
    EXPECT_EQ(g_alive, 0);
}

TEST(Variant, BinaryRoundTrip) {
    const BYTE bytes[] = {0x01, 0x04, 0x02, 0x00, 0x00, 0x00};
    CComVariant v = BinaryVariant(bytes, sizeof bytes);
    EXPECT_EQ(v.vt, VT_ARRAY | VT_UI1);
    std::vector<BYTE> back;
    ASSERT_TRUE(BinaryFromVariant(v, back));
    EXPECT_EQ(back, std::vector<BYTE>(bytes, bytes + 6));
    EXPECT_FALSE(BinaryFromVariant(CComVariant(3), back));
}

TEST(Variant, MissingArgumentIsParamNotFound) {
    CComVariant m = MissingArgument();
    EXPECT_EQ(m.vt, VT_ERROR);
    EXPECT_EQ(m.scode, DISP_E_PARAMNOTFOUND);
    EXPECT_TRUE(IsMissingArgument(m));
    EXPECT_FALSE(IsMissingArgument(CComVariant()));
}

TEST(Variant, ChangeTypeTable) {
    struct Case {
        CComVariant from;
        VARTYPE to;
        HRESULT hr;
        LONG asLong;
    };
    const Case cases[] = {
        {CComVariant(L"42"), VT_I4, S_OK, 42},
        {CComVariant(L"4x"), VT_I4, DISP_E_TYPEMISMATCH, 0},
        {CComVariant(70000), VT_I2, DISP_E_OVERFLOW, 0},
        {CComVariant(true), VT_I4, S_OK, -1},
        {CComVariant(2.5), VT_I4, S_OK, 2},  // banker's rounding as the platform rounds
        {CComVariant(-1), VT_UI4, DISP_E_OVERFLOW, 0},
    };
    for (const auto& c : cases) {
        CComVariant out;
        EXPECT_EQ(VariantChangeType(&out, &c.from, 0, c.to), c.hr);
        if (c.hr == S_OK) {
            EXPECT_EQ(out.vt, c.to);
            EXPECT_EQ(out.lVal, c.asLong);
        }
    }
    CComVariant text;
    CComVariant n(-17);
    ASSERT_EQ(VariantChangeType(&text, &n, 0, VT_BSTR), S_OK);
    EXPECT_STREQ(text.bstrVal, L"-17");
}

TEST(SafeArray, TwoDimensionsIndexLeftMostFirst) {
    SAFEARRAYBOUND b[2] = {{2, 1}, {3, 0}};  // rows 1..2, columns 0..2
    SAFEARRAY* a = SafeArrayCreate(VT_I4, 2, b);
    ASSERT_TRUE(a);
    LONG lb, ub;
    SafeArrayGetLBound(a, 1, &lb);
    SafeArrayGetUBound(a, 1, &ub);
    EXPECT_EQ(lb, 1);
    EXPECT_EQ(ub, 2);
    SafeArrayGetUBound(a, 2, &ub);
    EXPECT_EQ(ub, 2);
    LONG idx[2] = {2, 1};
    LONG value = 99;
    ASSERT_EQ(SafeArrayPutElement(a, idx, &value), S_OK);
    // Row-major by the left-most index: (2,1) is element (2-1)*3 + 1 = 4.
    EXPECT_EQ(static_cast<LONG*>(a->pvData)[4], 99);
    void* data;
    SafeArrayAccessData(a, &data);
    EXPECT_EQ(SafeArrayDestroy(a), DISP_E_ARRAYISLOCKED);
    SafeArrayUnaccessData(a);
    EXPECT_EQ(SafeArrayDestroy(a), S_OK);
}
