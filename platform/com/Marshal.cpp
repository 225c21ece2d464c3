#include "platform/com/Marshal.h"

#include <cstring>

#include "platform/com/Bstr.h"
#include "platform/com/SafeArray.h"

namespace com::marshal {
namespace {

// Arrays in arrays (VARIANT elements holding arrays) are followed this deep.
constexpr int kMaxDepth = 4;
// No array on the wire holds more elements than this.
constexpr std::uint32_t kMaxElements = 1u << 20;
constexpr std::uint32_t kNullText = 0xFFFFFFFFu;

bool IsScalarArrayElement(VARTYPE vt) {
    switch (vt) {
        case VT_VARIANT:
        case VT_BSTR:
        case VT_UI1:
        case VT_I2:
        case VT_I4:
        case VT_UI4:
        case VT_BOOL:
        case VT_DATE:
        case VT_UNKNOWN:
        case VT_DISPATCH:
            return true;
        default:
            return false;
    }
}

std::uint64_t Bits(double v) {
    std::uint64_t bits = 0;
    std::memcpy(&bits, &v, sizeof bits);
    return bits;
}
double FromBits(std::uint64_t bits) {
    double v = 0;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

}  // namespace

void Writer::U16(std::uint16_t v) {
    U8(static_cast<std::uint8_t>(v));
    U8(static_cast<std::uint8_t>(v >> 8));
}
void Writer::U32(std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        U8(static_cast<std::uint8_t>(v >> (8 * i)));
}
void Writer::U64(std::uint64_t v) {
    U32(static_cast<std::uint32_t>(v));
    U32(static_cast<std::uint32_t>(v >> 32));
}
void Writer::Guid(const GUID& g) {
    U32(g.Data1);
    U16(g.Data2);
    U16(g.Data3);
    for (BYTE b : g.Data4)
        U8(b);
}
void Writer::Text(std::wstring_view text) {
    U32(static_cast<std::uint32_t>(text.size()));
    for (wchar_t c : text)
        U32(static_cast<std::uint32_t>(c));
}
void Writer::NullableText(const wchar_t* text, std::size_t length) {
    if (!text) {
        U32(kNullText);
        return;
    }
    Text(std::wstring_view(text, length));
}

HRESULT Writer::Variant(const VARIANT& v, const ObjectCodec& codec) {
    const VARTYPE vt = v.vt;
    if (vt & VT_BYREF) {
        // A VARIANT passed by reference travels as the value it points to.
        if (vt == (VT_BYREF | VT_VARIANT) && v.pvarVal)
            return Variant(*v.pvarVal, codec);
        return DISP_E_BADVARTYPE;
    }
    if (vt & VT_ARRAY) {
        const VARTYPE element = vt & VT_TYPEMASK;
        SAFEARRAY* array = v.parray;
        if (!IsScalarArrayElement(element) || (array && SafeArrayGetDim(array) != 1))
            return DISP_E_BADVARTYPE;
        U16(vt);
        if (!array) {
            U32(0);
            U32(0);
            return S_OK;
        }
        LONG low = 0, high = -1;
        SafeArrayGetLBound(array, 1, &low);
        SafeArrayGetUBound(array, 1, &high);
        U32(static_cast<std::uint32_t>(low));
        U32(static_cast<std::uint32_t>(high - low + 1));
        for (LONG i = low; i <= high; ++i) {
            CComVariant item;
            HRESULT hr = S_OK;
            if (element == VT_VARIANT) {
                hr = SafeArrayGetElement(array, &i, &item);
            } else {
                // The element read into a variant of its own type.
                item.vt = element;
                hr = SafeArrayGetElement(array, &i, &item.llVal);
                if (FAILED(hr))
                    item.vt = VT_EMPTY;
            }
            if (FAILED(hr))
                return hr;
            if (element == VT_VARIANT) {
                hr = Variant(item, codec);
            } else {
                // Elements of a typed array carry no type of their own.
                Writer value;
                hr = value.Variant(item, codec);
                if (SUCCEEDED(hr))
                    m_bytes.append(value.Bytes(), 2, std::string::npos);
            }
            if (FAILED(hr))
                return hr;
        }
        return S_OK;
    }
    switch (vt) {
        case VT_EMPTY:
        case VT_NULL:
            U16(vt);
            return S_OK;
        case VT_I1:
        case VT_UI1:
            U16(vt);
            U8(v.bVal);
            return S_OK;
        case VT_I2:
        case VT_UI2:
        case VT_BOOL:
            U16(vt);
            U16(v.uiVal);
            return S_OK;
        case VT_I4:
        case VT_UI4:
        case VT_INT:
        case VT_UINT:
        case VT_ERROR:
            U16(vt);
            U32(v.ulVal);
            return S_OK;
        case VT_R4: {
            std::uint32_t bits = 0;
            std::memcpy(&bits, &v.fltVal, sizeof bits);
            U16(vt);
            U32(bits);
            return S_OK;
        }
        case VT_I8:
        case VT_UI8:
            U16(vt);
            U64(v.ullVal);
            return S_OK;
        case VT_R8:
            U16(vt);
            U64(Bits(v.dblVal));
            return S_OK;
        case VT_DATE:
            U16(vt);
            U64(Bits(v.date));
            return S_OK;
        case VT_BSTR:
            U16(vt);
            NullableText(v.bstrVal, v.bstrVal ? SysStringLen(v.bstrVal) : 0);
            return S_OK;
        case VT_UNKNOWN:
        case VT_DISPATCH: {
            std::uint64_t id = 0;
            IUnknown* object = vt == VT_UNKNOWN ? v.punkVal : static_cast<IUnknown*>(v.pdispVal);
            if (object && !codec.toId(object, &id))
                return E_NOTIMPL;
            U16(vt);
            U64(id);
            return S_OK;
        }
        default:
            return DISP_E_BADVARTYPE;
    }
}

bool Reader::Take(std::size_t n) {
    if (!m_ok || m_bytes.size() - m_pos < n) {
        m_ok = false;
        return false;
    }
    return true;
}

std::uint8_t Reader::U8() {
    if (!Take(1))
        return 0;
    return static_cast<std::uint8_t>(m_bytes[m_pos++]);
}
std::uint16_t Reader::U16() {
    std::uint16_t low = U8();
    return static_cast<std::uint16_t>(low | (U8() << 8));
}
std::uint32_t Reader::U32() {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
        v |= static_cast<std::uint32_t>(U8()) << (8 * i);
    return m_ok ? v : 0;
}
std::uint64_t Reader::U64() {
    std::uint64_t low = U32();
    std::uint64_t high = U32();
    return m_ok ? (low | (high << 32)) : 0;
}
GUID Reader::Guid() {
    GUID g;
    g.Data1 = U32();
    g.Data2 = U16();
    g.Data3 = U16();
    for (BYTE& b : g.Data4)
        b = U8();
    return m_ok ? g : GUID{};
}
std::wstring Reader::Text() {
    std::uint32_t count = U32();
    if (!m_ok || count == kNullText || count > (m_bytes.size() - m_pos) / 4) {
        if (count != kNullText)
            m_ok = false;
        return {};
    }
    std::wstring text;
    text.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i)
        text.push_back(static_cast<wchar_t>(U32()));
    return m_ok ? text : std::wstring();
}

bool Reader::Variant(VARIANT* out, const ObjectCodec& codec) {
    VARTYPE vt = U16();
    if (!m_ok || !VariantOfType(vt, out, codec, 0)) {
        VariantClear(out);
        m_ok = false;
        return false;
    }
    return true;
}

bool Reader::VariantOfType(VARTYPE vt, VARIANT* out, const ObjectCodec& codec, int depth) {
    VariantClear(out);
    if (vt & VT_ARRAY) {
        const VARTYPE element = vt & VT_TYPEMASK;
        if ((vt & ~(VT_ARRAY | VT_TYPEMASK)) != 0 || !IsScalarArrayElement(element) ||
            depth >= kMaxDepth)
            return false;
        LONG low = static_cast<LONG>(U32());
        std::uint32_t count = U32();
        // Every element takes at least one byte: a count the frame can't
        // hold is refused before anything is made for it.
        if (!m_ok || count > kMaxElements || count > m_bytes.size() - m_pos)
            return false;
        SAFEARRAY* array = SafeArrayCreateVector(element, low, count);
        if (!array)
            return false;
        for (std::uint32_t i = 0; i < count; ++i) {
            CComVariant item;
            VARTYPE itemType = element == VT_VARIANT ? U16() : element;
            if (!m_ok || (itemType & VT_ARRAY && element != VT_VARIANT) ||
                !VariantOfType(itemType, &item, codec, depth + 1)) {
                SafeArrayDestroy(array);
                return false;
            }
            LONG index = low + static_cast<LONG>(i);
            HRESULT hr = element == VT_VARIANT ? SafeArrayPutElement(array, &index, &item)
                         : element == VT_BSTR  ? SafeArrayPutElement(array, &index, item.bstrVal)
                         : element == VT_UNKNOWN || element == VT_DISPATCH
                             ? SafeArrayPutElement(array, &index, item.punkVal)
                             : SafeArrayPutElement(array, &index, &item.llVal);
            if (FAILED(hr)) {
                SafeArrayDestroy(array);
                return false;
            }
        }
        out->vt = vt;
        out->parray = array;
        return true;
    }
    switch (vt) {
        case VT_EMPTY:
        case VT_NULL:
            out->vt = vt;
            return true;
        case VT_I1:
        case VT_UI1:
            out->bVal = U8();
            break;
        case VT_I2:
        case VT_UI2:
        case VT_BOOL:
            out->uiVal = U16();
            break;
        case VT_I4:
        case VT_UI4:
        case VT_INT:
        case VT_UINT:
        case VT_ERROR:
            out->ulVal = U32();
            break;
        case VT_R4: {
            std::uint32_t bits = U32();
            std::memcpy(&out->fltVal, &bits, sizeof bits);
            break;
        }
        case VT_I8:
        case VT_UI8:
            out->ullVal = U64();
            break;
        case VT_R8:
            out->dblVal = FromBits(U64());
            break;
        case VT_DATE:
            out->date = FromBits(U64());
            break;
        case VT_BSTR: {
            std::uint32_t count = U32();
            if (!m_ok)
                return false;
            if (count == kNullText) {
                out->vt = VT_BSTR;
                out->bstrVal = nullptr;
                return true;
            }
            m_pos -= 4;
            std::wstring text = Text();
            if (!m_ok)
                return false;
            out->bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
            if (!out->bstrVal)
                return false;
            out->vt = VT_BSTR;
            return true;
        }
        case VT_UNKNOWN:
        case VT_DISPATCH: {
            std::uint64_t id = U64();
            IUnknown* object = nullptr;
            if (!m_ok || (id != 0 && !codec.fromId(id, &object)))
                return false;
            if (vt == VT_DISPATCH && object) {
                IDispatch* dispatch = nullptr;
                HRESULT hr =
                    object->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch));
                object->Release();
                if (FAILED(hr))
                    return false;
                out->pdispVal = dispatch;
            } else {
                out->punkVal = object;
            }
            out->vt = vt;
            return true;
        }
        default:
            return false;
    }
    if (!m_ok)
        return false;
    out->vt = vt;
    return true;
}

}  // namespace com::marshal
