#include "platform/com/Marshal.h"

#include <gtest/gtest.h>

#include <map>

#include "platform/com/ComObject.h"

namespace {

using com::marshal::ObjectCodec;
using com::marshal::Reader;
using com::marshal::Writer;

class Thing final : public com::ComObject<Thing, IDispatch> {
public:
    HRESULT GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, OLECHAR**, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return E_NOTIMPL;
    }
};

// Objects by id, both ways, as one connection's table.
struct Table {
    std::map<std::uint64_t, CComPtr<IUnknown>> objects;
    ObjectCodec Codec() {
        ObjectCodec codec;
        codec.toId = [this](IUnknown* object, std::uint64_t* id) {
            for (auto& [key, o] : objects) {
                if (o.p == object)
                    return *id = key, true;
            }
            *id = objects.size() + 1;
            objects[*id] = object;
            return true;
        };
        codec.fromId = [this](std::uint64_t id, IUnknown** object) {
            auto it = objects.find(id);
            if (it == objects.end())
                return false;
            *object = it->second;
            (*object)->AddRef();
            return true;
        };
        return codec;
    }
};

CComVariant RoundTrip(const VARIANT& v, Table& table) {
    Writer w;
    EXPECT_EQ(w.Variant(v, table.Codec()), S_OK);
    Reader r(w.Bytes());
    CComVariant back;
    EXPECT_TRUE(r.Variant(&back, table.Codec()));
    EXPECT_TRUE(r.AtEnd());
    return back;
}

TEST(MarshalTest, EveryCarriedTypeComesBackAsItWent) {
    Table table;
    CComVariant values[] = {
        CComVariant(),
        CComVariant(LONG{-7}),
        CComVariant(ULONG{0xFFFFFFF0u}),
        CComVariant(SHORT{-2}),
        CComVariant(true),
        CComVariant(3.25),
        CComVariant(45000.5, VT_DATE),
        CComVariant(std::wstring_view(L"a\0\u00E9\U0001F600", 4)),
        MissingArgument(),
    };
    for (const CComVariant& v : values) {
        SCOPED_TRACE(v.vt);
        CComVariant back = RoundTrip(v, table);
        ASSERT_EQ(back.vt, v.vt);
        if (v.vt == VT_BSTR)
            EXPECT_EQ(std::wstring(back.bstrVal, SysStringLen(back.bstrVal)),
                      std::wstring(v.bstrVal, SysStringLen(v.bstrVal)));
        else
            EXPECT_EQ(back.llVal, v.llVal);
    }
    CComVariant nullText;
    nullText.vt = VT_BSTR;
    nullText.bstrVal = nullptr;
    CComVariant back = RoundTrip(nullText, table);
    EXPECT_EQ(back.vt, VT_BSTR);
    EXPECT_EQ(back.bstrVal, nullptr) << "a null text stays null";
}

TEST(MarshalTest, ObjectsTravelAsIdsAndArraysKeepBoundsAndTypes) {
    Table table;
    auto thing = com::Make<Thing>();
    CComVariant object(static_cast<IDispatch*>(thing.p));
    CComVariant back = RoundTrip(object, table);
    ASSERT_EQ(back.vt, VT_DISPATCH);
    EXPECT_EQ(static_cast<IUnknown*>(back.pdispVal), thing->GetUnknown());

    SAFEARRAY* array = SafeArrayCreateVector(VT_VARIANT, 3, 2);
    LONG i = 3;
    CComVariant text(L"x");
    SafeArrayPutElement(array, &i, &text);
    i = 4;
    SafeArrayPutElement(array, &i, &object);
    CComVariant list;
    list.vt = VT_ARRAY | VT_VARIANT;
    list.parray = array;
    back = RoundTrip(list, table);
    ASSERT_EQ(back.vt, VT_ARRAY | VT_VARIANT);
    LONG low = 0, high = 0;
    SafeArrayGetLBound(back.parray, 1, &low);
    SafeArrayGetUBound(back.parray, 1, &high);
    EXPECT_EQ(low, 3);
    EXPECT_EQ(high, 4);
    CComVariant second;
    ASSERT_EQ(SafeArrayGetElement(back.parray, &high, &second), S_OK);
    ASSERT_EQ(second.vt, VT_DISPATCH);
    EXPECT_EQ(static_cast<IUnknown*>(second.pdispVal), thing->GetUnknown());

    SAFEARRAY* numbers = SafeArrayCreateVector(VT_I4, 0, 3);
    for (LONG n = 0; n < 3; ++n) {
        LONG value = 10 * n + 1;
        SafeArrayPutElement(numbers, &n, &value);
    }
    CComVariant typed;
    typed.vt = VT_ARRAY | VT_I4;
    typed.parray = numbers;
    back = RoundTrip(typed, table);
    ASSERT_EQ(back.vt, VT_ARRAY | VT_I4);
    LONG two = 2, value = 0;
    SafeArrayGetElement(back.parray, &two, &value);
    EXPECT_EQ(value, 21);
}

// What the other side sends is checked field by field: a cut frame, an
// unknown type, an object id never handed out, an array that claims more
// elements than the frame holds are refused, not trusted.
TEST(MarshalTest, MalformedValuesAreRefused) {
    Table table;
    Writer w;
    ASSERT_EQ(w.Variant(CComVariant(L"a text of some length"), table.Codec()), S_OK);
    const std::string whole = w.Bytes();
    for (std::size_t cut = 0; cut < whole.size(); ++cut) {
        std::string part = whole.substr(0, cut);
        Reader r(part);
        CComVariant v;
        EXPECT_FALSE(r.Variant(&v, table.Codec())) << cut;
        EXPECT_EQ(v.vt, VT_EMPTY);
    }
    auto refused = [&](const std::string& bytes) {
        Reader r(bytes);
        CComVariant v;
        return !r.Variant(&v, table.Codec()) && v.vt == VT_EMPTY && !r.Ok();
    };
    Writer unknownType;
    unknownType.U16(0x00FF);
    EXPECT_TRUE(refused(unknownType.Bytes()));
    Writer unknownObject;
    unknownObject.U16(VT_UNKNOWN);
    unknownObject.U64(99);
    EXPECT_TRUE(refused(unknownObject.Bytes()));
    Writer hugeArray;
    hugeArray.U16(VT_ARRAY | VT_I4);
    hugeArray.U32(0);
    hugeArray.U32(0x7FFFFFFF);
    EXPECT_TRUE(refused(hugeArray.Bytes()));
    Writer longText;
    longText.U16(VT_BSTR);
    longText.U32(1000);
    longText.U32('a');
    EXPECT_TRUE(refused(longText.Bytes()));
    Writer deep;  // arrays in arrays past the limit
    for (int i = 0; i < 8; ++i) {
        deep.U16(VT_ARRAY | VT_VARIANT);
        deep.U32(0);
        deep.U32(1);
    }
    deep.U16(VT_EMPTY);
    EXPECT_TRUE(refused(deep.Bytes()));

    // What can't be sent is said before anything is sent.
    Writer refusedObject;
    ObjectCodec none;
    none.toId = [](IUnknown*, std::uint64_t*) { return false; };
    auto thing = com::Make<Thing>();
    EXPECT_EQ(refusedObject.Variant(CComVariant(static_cast<IDispatch*>(thing.p)), none),
              E_NOTIMPL);
    CComVariant byRef;
    byRef.vt = VT_BYREF | VT_I4;
    EXPECT_EQ(refusedObject.Variant(byRef, none), DISP_E_BADVARTYPE);
}

}  // namespace
