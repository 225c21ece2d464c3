#include "platform/rdo/PropVariant.h"

#include <cwctype>
#include <functional>

#include "platform/win/Clock.h"
#include "platform/win/Text.h"

namespace rdo {
using namespace mapi;
namespace {

// Days from 1601-01-01 (FILETIME's epoch) to 1899-12-30 (DATE's zero).
constexpr double kDaysFileTimeToDate = 109205.0;
constexpr double kFileTimeUnitsPerDay = 864000000000.0;

int HexDigit(wchar_t c) {
    if (c >= L'0' && c <= L'9')
        return c - L'0';
    if (c >= L'a' && c <= L'f')
        return c - L'a' + 10;
    if (c >= L'A' && c <= L'F')
        return c - L'A' + 10;
    return -1;
}

// The elements of a one-dimensional VT_ARRAY | VT_VARIANT (or | VT_BSTR /
// integer) array as VARIANTs the caller owns.
bool ArrayElements(const VARIANT& v, std::vector<CComVariant>* out) {
    if (!(v.vt & VT_ARRAY) || !v.parray || SafeArrayGetDim(v.parray) != 1)
        return false;
    VARTYPE elementType = v.vt & VT_TYPEMASK;
    LONG lower = 0, upper = -1;
    SafeArrayGetLBound(v.parray, 1, &lower);
    SafeArrayGetUBound(v.parray, 1, &upper);
    for (LONG i = lower; i <= upper; ++i) {
        CComVariant element;
        HRESULT hr = S_OK;
        switch (elementType) {
            case VT_VARIANT:
                hr = SafeArrayGetElement(v.parray, &i, &element);
                break;
            case VT_BSTR: {
                BSTR text = nullptr;
                hr = SafeArrayGetElement(v.parray, &i, &text);
                element.vt = VT_BSTR;
                element.bstrVal = text;
                break;
            }
            case VT_I4:
            case VT_UI4:
                hr = SafeArrayGetElement(v.parray, &i, &element.lVal);
                element.vt = elementType;
                break;
            case VT_I2:
                hr = SafeArrayGetElement(v.parray, &i, &element.iVal);
                element.vt = VT_I2;
                break;
            default:
                return false;
        }
        if (FAILED(hr))
            return false;
        out->push_back(std::move(element));
    }
    return true;
}

const VARIANT& Deref(const VARIANT& v) {
    if (v.vt == (VT_BYREF | VT_VARIANT) && v.pvarVal)
        return *v.pvarVal;
    return v;
}

std::optional<std::int64_t> IntegerOf(const VARIANT& v) {
    switch (v.vt) {
        case VT_I1:
            return v.cVal;
        case VT_UI1:
            return v.bVal;
        case VT_I2:
            return v.iVal;
        case VT_UI2:
            return v.uiVal;
        case VT_I4:
        case VT_INT:
            return v.lVal;
        case VT_UI4:
        case VT_UINT:
            return v.ulVal;
        case VT_I8:
            return v.llVal;
        case VT_UI8:
            return static_cast<std::int64_t>(v.ullVal);
        case VT_BOOL:
            return v.boolVal ? 1 : 0;
        default:
            return std::nullopt;
    }
}

std::optional<double> RealOf(const VARIANT& v) {
    switch (v.vt) {
        case VT_R4:
            return v.fltVal;
        case VT_R8:
            return v.dblVal;
        case VT_DATE:
            return v.date;
        default:
            if (auto i = IntegerOf(v))
                return static_cast<double>(*i);
            return std::nullopt;
    }
}

std::optional<std::wstring> TextOf(const VARIANT& v) {
    if (v.vt != VT_BSTR)
        return std::nullopt;
    return std::wstring(v.bstrVal ? v.bstrVal : L"", SysStringLen(v.bstrVal));
}

ULONG SuggestedType(const VARIANT& v) {
    switch (v.vt) {
        case VT_I2:
            return PT_SHORT;
        case VT_I1:
        case VT_UI1:
        case VT_UI2:
        case VT_I4:
        case VT_UI4:
        case VT_INT:
        case VT_UINT:
            return PT_LONG;
        case VT_I8:
        case VT_UI8:
            return PT_LONGLONG;
        case VT_BOOL:
            return PT_BOOLEAN;
        case VT_R4:
            return PT_FLOAT;
        case VT_R8:
            return PT_DOUBLE;
        case VT_DATE:
            return PT_SYSTIME;
        case VT_BSTR:
            return PT_UNICODE;
        case VT_ARRAY | VT_UI1:
            return PT_BINARY;
        default:
            break;
    }
    std::vector<CComVariant> elements;
    if (ArrayElements(v, &elements)) {
        if (elements.empty() || elements.front().vt == VT_BSTR)
            return PT_MV_UNICODE;
        if (elements.front().vt == (VT_ARRAY | VT_UI1))
            return PT_MV_BINARY;
        return PT_MV_LONG;
    }
    return PT_NULL;
}

HRESULT MakeVariantArray(std::size_t count,
                         const std::function<HRESULT(std::size_t, VARIANT*)>& fill, VARIANT* out) {
    SAFEARRAY* array = SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(count));
    if (!array)
        return E_OUTOFMEMORY;
    for (std::size_t i = 0; i < count; ++i) {
        CComVariant element;
        HRESULT hr = fill(i, &element);
        if (FAILED(hr)) {
            SafeArrayDestroy(array);
            return hr;
        }
        LONG index = static_cast<LONG>(i);
        SafeArrayPutElement(array, &index, &element);
    }
    out->vt = VT_ARRAY | VT_VARIANT;
    out->parray = array;
    return S_OK;
}

HRESULT PutText(const std::wstring& text, VARIANT* out) {
    out->bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    if (!out->bstrVal)
        return E_OUTOFMEMORY;
    out->vt = VT_BSTR;
    return S_OK;
}

HRESULT PutBinary(const mapi::Bytes& bytes, VARIANT* out) {
    CComVariant v = BinaryVariant(bytes.data(), bytes.size());
    return v.Detach(out);
}

HRESULT PutInteger(ULONG type, std::int64_t value, VARIANT* out) {
    switch (type) {
        case PT_SHORT:
            out->vt = VT_I2;
            out->iVal = static_cast<SHORT>(value);
            return S_OK;
        case PT_LONG:
            out->vt = VT_I4;
            out->lVal = static_cast<LONG>(value);
            return S_OK;
        case PT_ERROR:
            out->vt = VT_ERROR;
            out->scode = static_cast<SCODE>(value);
            return S_OK;
        case PT_SYSTIME:
            out->vt = VT_DATE;
            out->date = DateFromFileTime(static_cast<ULONGLONG>(value));
            return S_OK;
        default:  // PT_LONGLONG, PT_CURRENCY
            out->vt = VT_I8;
            out->llVal = value;
            return S_OK;
    }
}

HRESULT PutReal(ULONG type, double value, VARIANT* out) {
    if (type == PT_FLOAT) {
        out->vt = VT_R4;
        out->fltVal = static_cast<float>(value);
    } else if (type == PT_APPTIME) {
        out->vt = VT_DATE;
        out->date = value;
    } else {
        out->vt = VT_R8;
        out->dblVal = value;
    }
    return S_OK;
}

}  // namespace

std::wstring HexFromBytes(const mapi::Bytes& bytes) {
    static const wchar_t kDigits[] = L"0123456789ABCDEF";
    std::wstring text;
    text.reserve(bytes.size() * 2);
    for (std::uint8_t b : bytes) {
        text.push_back(kDigits[b >> 4]);
        text.push_back(kDigits[b & 0x0F]);
    }
    return text;
}

std::optional<mapi::Bytes> BytesFromHex(std::wstring_view text) {
    if (text.size() % 2 != 0)
        return std::nullopt;
    mapi::Bytes bytes;
    bytes.reserve(text.size() / 2);
    for (std::size_t i = 0; i < text.size(); i += 2) {
        int high = HexDigit(text[i]);
        int low = HexDigit(text[i + 1]);
        if (high < 0 || low < 0)
            return std::nullopt;
        bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
    }
    return bytes;
}

std::optional<mapi::Bytes> BytesFromIdText(BSTR text) {
    return BytesFromHex(std::wstring_view(text ? text : L"", SysStringLen(text)));
}

std::optional<std::wstring> TextOf(const mapi::PropertyBag& bag, ULONG tag) {
    const mapi::PropValue* v = bag.Find(mapi::PROP_TAG(mapi::PT_UNSPECIFIED, mapi::PROP_ID(tag)));
    if (!v)
        return std::nullopt;
    if (auto* w = v->Wide())
        return *w;
    if (auto* s = v->Str8())
        return win::FromAnsi(*s);
    return std::nullopt;
}

DATE DateFromFileTime(ULONGLONG fileTime) {
    return static_cast<double>(fileTime) / kFileTimeUnitsPerDay - kDaysFileTimeToDate;
}

ULONGLONG FileTimeFromDate(DATE date) {
    double units = (date + kDaysFileTimeToDate) * kFileTimeUnitsPerDay;
    return units <= 0 ? 0 : static_cast<ULONGLONG>(units + 0.5);
}

DATE UtcDateToLocal(DATE utc) {
    FILETIME in = win::UInt64ToFileTime(FileTimeFromDate(utc)), out{};
    FileTimeToLocalFileTime(&in, &out);
    return DateFromFileTime(win::FileTimeToUInt64(out));
}

DATE LocalDateToUtc(DATE local) {
    FILETIME in = win::UInt64ToFileTime(FileTimeFromDate(local)), out{};
    LocalFileTimeToFileTime(&in, &out);
    return DateFromFileTime(win::FileTimeToUInt64(out));
}

namespace {

HRESULT SingleToVariant(ULONG type, const mapi::PropValue& value, VARIANT* out) {
    if (auto* i = value.Integer())
        return PutInteger(type, *i, out);
    if (auto* b = value.Bool()) {
        out->vt = VT_BOOL;
        out->boolVal = *b ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    }
    if (auto* r = value.Real())
        return PutReal(type, *r, out);
    if (auto* s = value.Str8())
        return PutText(win::FromAnsi(*s), out);
    if (auto* w = value.Wide())
        return PutText(*w, out);
    if (auto* bin = value.Bin())
        return PutBinary(*bin, out);
    if (auto* g = value.Guid())
        return PutText(win::GuidToString(*g), out);
    return MAPI_E_INVALID_TYPE;
}

}  // namespace

HRESULT VariantFromProp(const mapi::PropValue& value, VARIANT* out) {
    if (!out)
        return E_POINTER;
    VariantClear(out);
    ULONG type = value.Type();
    if (!(type & MV_FLAG))
        return SingleToVariant(type, value, out);
    ULONG base = type & ~MV_FLAG;
    if (auto* v = value.MvIntegers()) {
        return MakeVariantArray(
            v->size(), [&](std::size_t i, VARIANT* e) { return PutInteger(base, (*v)[i], e); },
            out);
    }
    if (auto* v = value.MvReals()) {
        return MakeVariantArray(
            v->size(), [&](std::size_t i, VARIANT* e) { return PutReal(base, (*v)[i], e); }, out);
    }
    if (auto* v = value.MvStr8()) {
        return MakeVariantArray(
            v->size(),
            [&](std::size_t i, VARIANT* e) { return PutText(win::FromAnsi((*v)[i]), e); }, out);
    }
    if (auto* v = value.MvWide()) {
        return MakeVariantArray(
            v->size(), [&](std::size_t i, VARIANT* e) { return PutText((*v)[i], e); }, out);
    }
    if (auto* v = value.MvBin()) {
        return MakeVariantArray(
            v->size(), [&](std::size_t i, VARIANT* e) { return PutBinary((*v)[i], e); }, out);
    }
    if (auto* v = value.MvGuids()) {
        return MakeVariantArray(
            v->size(),
            [&](std::size_t i, VARIANT* e) { return PutText(win::GuidToString((*v)[i]), e); }, out);
    }
    return MAPI_E_INVALID_TYPE;
}

HRESULT PropFromVariant(ULONG tag, const VARIANT& source, mapi::PropValue* out) {
    const VARIANT& v = Deref(source);
    ULONG type = PROP_TYPE(tag);
    if (type == PT_UNSPECIFIED)
        type = SuggestedType(v);
    switch (type) {
        case PT_SHORT:
        case PT_LONG:
        case PT_LONGLONG:
        case PT_CURRENCY:
        case PT_ERROR: {
            auto i = IntegerOf(v);
            if (!i && v.vt == VT_ERROR)
                i = v.scode;
            if (!i)
                return MAPI_E_INVALID_TYPE;
            if (type == PT_SHORT)
                *out = mapi::PropValue::Short(static_cast<std::int16_t>(*i));
            else if (type == PT_LONG)
                *out = mapi::PropValue::Long(static_cast<std::int32_t>(*i));
            else if (type == PT_LONGLONG)
                *out = mapi::PropValue::LongLong(*i);
            else if (type == PT_CURRENCY)
                *out = mapi::PropValue::Currency(*i);
            else
                *out = mapi::PropValue::Error(static_cast<SCODE>(*i));
            return S_OK;
        }
        case PT_BOOLEAN: {
            auto i = IntegerOf(v);
            if (!i)
                return MAPI_E_INVALID_TYPE;
            *out = mapi::PropValue::Boolean(*i != 0);
            return S_OK;
        }
        case PT_FLOAT:
        case PT_DOUBLE:
        case PT_APPTIME: {
            auto r = RealOf(v);
            if (!r)
                return MAPI_E_INVALID_TYPE;
            *out = type == PT_FLOAT    ? mapi::PropValue::Float(static_cast<float>(*r))
                   : type == PT_DOUBLE ? mapi::PropValue::Double(*r)
                                       : mapi::PropValue::AppTime(*r);
            return S_OK;
        }
        case PT_SYSTIME: {
            if (v.vt != VT_DATE && v.vt != VT_R8)
                return MAPI_E_INVALID_TYPE;
            *out = mapi::PropValue::SysTime(FileTimeFromDate(v.vt == VT_DATE ? v.date : v.dblVal));
            return S_OK;
        }
        case PT_STRING8:
        case PT_UNICODE: {
            auto text = TextOf(v);
            if (!text)
                return MAPI_E_INVALID_TYPE;
            *out = type == PT_STRING8 ? mapi::PropValue::String8(win::ToAnsi(*text))
                                      : mapi::PropValue::Unicode(std::move(*text));
            return S_OK;
        }
        case PT_BINARY: {
            mapi::Bytes bytes;
            if (!BinaryFromVariant(v, bytes))
                return MAPI_E_INVALID_TYPE;
            *out = mapi::PropValue::Binary(std::move(bytes));
            return S_OK;
        }
        case PT_CLSID: {
            auto text = TextOf(v);
            auto guid = text ? win::ParseGuid(*text) : std::nullopt;
            if (!guid)
                return MAPI_E_INVALID_TYPE;
            *out = mapi::PropValue::Clsid(*guid);
            return S_OK;
        }
        default:
            break;
    }
    if (!(type & MV_FLAG))
        return MAPI_E_INVALID_TYPE;
    std::vector<CComVariant> elements;
    if (!ArrayElements(v, &elements))
        return MAPI_E_INVALID_TYPE;
    ULONG base = type & ~MV_FLAG;
    std::vector<mapi::PropValue> singles;
    for (const CComVariant& e : elements) {
        mapi::PropValue single;
        HRESULT hr = PropFromVariant(PROP_TAG(base, 0), e, &single);
        if (FAILED(hr))
            return hr;
        singles.push_back(std::move(single));
    }
    switch (base) {
        case PT_STRING8:
        case PT_UNICODE: {
            std::vector<std::wstring> wide;
            std::vector<std::string> narrow;
            for (auto& s : singles) {
                if (base == PT_UNICODE)
                    wide.push_back(*s.Wide());
                else
                    narrow.push_back(*s.Str8());
            }
            *out = base == PT_UNICODE ? mapi::PropValue::MvUnicode(std::move(wide))
                                      : mapi::PropValue::MvString8(std::move(narrow));
            return S_OK;
        }
        case PT_BINARY: {
            std::vector<mapi::Bytes> list;
            for (auto& s : singles)
                list.push_back(*s.Bin());
            *out = mapi::PropValue::MvBinary(std::move(list));
            return S_OK;
        }
        case PT_SHORT:
        case PT_LONG:
        case PT_LONGLONG:
        case PT_CURRENCY:
        case PT_SYSTIME: {
            std::vector<std::int64_t> list;
            for (auto& s : singles)
                list.push_back(*s.Integer());
            *out = mapi::PropValue::MvInteger(base, std::move(list));
            return S_OK;
        }
        case PT_FLOAT:
        case PT_DOUBLE:
        case PT_APPTIME: {
            std::vector<double> list;
            for (auto& s : singles)
                list.push_back(*s.Real());
            *out = mapi::PropValue::MvDouble(base, std::move(list));
            return S_OK;
        }
        default:
            return MAPI_E_INVALID_TYPE;
    }
}

namespace {

constexpr std::wstring_view kProptagPrefix = L"http://schemas.microsoft.com/mapi/proptag/";
constexpr std::wstring_view kIdPrefix = L"http://schemas.microsoft.com/mapi/id/";
constexpr std::wstring_view kStringPrefix = L"http://schemas.microsoft.com/mapi/string/";

std::optional<ULONG> ParseHexNumber(std::wstring_view text) {
    if (text.size() > 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X'))
        text.remove_prefix(2);
    if (text.empty() || text.size() > 8)
        return std::nullopt;
    ULONG value = 0;
    for (wchar_t c : text) {
        int d = HexDigit(c);
        if (d < 0)
            return std::nullopt;
        value = value * 16 + static_cast<ULONG>(d);
    }
    return value;
}

bool StartsWithNoCase(std::wstring_view text, std::wstring_view prefix) {
    if (text.size() < prefix.size())
        return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (std::towlower(text[i]) != std::towlower(prefix[i]))
            return false;
    }
    return true;
}

}  // namespace

std::optional<FieldName> ParseFieldName(const VARIANT& source) {
    const VARIANT& v = Deref(source);
    if (auto i = IntegerOf(v); i && v.vt != VT_BOOL)
        return FieldName{static_cast<ULONG>(*i), std::nullopt};
    auto text = TextOf(v);
    if (!text)
        return std::nullopt;
    std::wstring_view name = *text;
    if (StartsWithNoCase(name, kProptagPrefix)) {
        auto tag = ParseHexNumber(name.substr(kProptagPrefix.size()));
        if (!tag)
            return std::nullopt;
        return FieldName{*tag, std::nullopt};
    }
    bool byId = StartsWithNoCase(name, kIdPrefix);
    if (byId || StartsWithNoCase(name, kStringPrefix)) {
        std::wstring_view rest = name.substr(byId ? kIdPrefix.size() : kStringPrefix.size());
        std::size_t slash = rest.find(L'/');
        if (slash == std::wstring_view::npos)
            return std::nullopt;
        auto guid = win::ParseGuid(rest.substr(0, slash));
        if (!guid)
            return std::nullopt;
        std::wstring_view tail = rest.substr(slash + 1);
        if (byId) {
            // "0xHHHHTTTT": the numeric id and the type; "0xHHHH": the id only.
            auto number = ParseHexNumber(tail);
            if (!number)
                return std::nullopt;
            std::size_t digits = tail.size() - (StartsWithNoCase(tail, L"0x") ? 2 : 0);
            ULONG id = digits > 4 ? (*number >> 16) : *number;
            ULONG type = digits > 4 ? (*number & 0xFFFF) : PT_UNSPECIFIED;
            return FieldName{PROP_TAG(type, 0),
                             mapi::NamedProperty::ById(*guid, static_cast<LONG>(id))};
        }
        if (tail.empty())
            return std::nullopt;
        return FieldName{PROP_TAG(PT_UNSPECIFIED, 0),
                         mapi::NamedProperty::ByName(*guid, std::wstring(tail))};
    }
    if (StartsWithNoCase(name, L"urn:schemas:httpmail:subject") &&
        name.size() == std::wstring_view(L"urn:schemas:httpmail:subject").size())
        return FieldName{PR_SUBJECT, std::nullopt};
    if (StartsWithNoCase(name, L"urn:schemas:httpmail:textdescription") &&
        name.size() == std::wstring_view(L"urn:schemas:httpmail:textdescription").size())
        return FieldName{PR_BODY, std::nullopt};
    if (auto tag = ParseHexNumber(name); tag && StartsWithNoCase(name, L"0x"))
        return FieldName{*tag, std::nullopt};
    return std::nullopt;
}

}  // namespace rdo
