#include "platform/com/Variant.h"

#include <cmath>
#include <cstring>
#include <cwchar>
#include <limits>
#include <string>

#include "platform/com/Dispatch.h"

void VariantInit(VARIANT* v) {
    if (!v)
        return;
    v->vt = VT_EMPTY;
    v->wReserved1 = v->wReserved2 = v->wReserved3 = 0;
    v->llVal = 0;
}

HRESULT VariantClear(VARIANT* v) {
    if (!v)
        return E_INVALIDARG;
    if (v->vt & VT_BYREF) {
        VariantInit(v);
        return S_OK;
    }
    if (v->vt & VT_ARRAY) {
        if (v->parray) {
            HRESULT hr = SafeArrayDestroy(v->parray);
            if (FAILED(hr))
                return hr;
        }
        VariantInit(v);
        return S_OK;
    }
    switch (v->vt) {
        case VT_BSTR:
            SysFreeString(v->bstrVal);
            break;
        case VT_UNKNOWN:
        case VT_DISPATCH:
            if (v->punkVal)
                v->punkVal->Release();
            break;
        case VT_EMPTY:
        case VT_NULL:
        case VT_I1:
        case VT_I2:
        case VT_I4:
        case VT_I8:
        case VT_UI1:
        case VT_UI2:
        case VT_UI4:
        case VT_UI8:
        case VT_INT:
        case VT_UINT:
        case VT_R4:
        case VT_R8:
        case VT_CY:
        case VT_DATE:
        case VT_ERROR:
        case VT_BOOL:
            break;
        default:
            return DISP_E_BADVARTYPE;
    }
    VariantInit(v);
    return S_OK;
}

HRESULT VariantCopy(VARIANT* dest, const VARIANT* source) {
    if (!dest || !source)
        return E_INVALIDARG;
    if (dest == source)
        return S_OK;
    HRESULT hr = VariantClear(dest);
    if (FAILED(hr))
        return hr;
    if ((source->vt & VT_ARRAY) && !(source->vt & VT_BYREF)) {
        SAFEARRAY* copy = nullptr;
        hr = SafeArrayCopy(source->parray, &copy);
        if (FAILED(hr))
            return hr;
        dest->vt = source->vt;
        dest->parray = copy;
        return S_OK;
    }
    switch (source->vt) {
        case VT_BSTR: {
            BSTR s = source->bstrVal;
            BSTR copy =
                s ? SysAllocStringByteLen(reinterpret_cast<const char*>(s), SysStringByteLen(s))
                  : nullptr;
            if (s && !copy)
                return E_OUTOFMEMORY;
            dest->vt = VT_BSTR;
            dest->bstrVal = copy;
            return S_OK;
        }
        case VT_UNKNOWN:
        case VT_DISPATCH:
            if (source->punkVal)
                source->punkVal->AddRef();
            break;
        default:
            break;
    }
    dest->vt = source->vt;
    dest->llVal = source->llVal;
    return S_OK;
}

namespace {

// The numeric value of a scalar variant; false when it has none.
bool AsNumber(const VARIANT& v, double& out) {
    switch (v.vt) {
        case VT_EMPTY:
            out = 0;
            return true;
        case VT_I1:
            out = v.cVal;
            return true;
        case VT_I2:
            out = v.iVal;
            return true;
        case VT_I4:
        case VT_INT:
            out = v.lVal;
            return true;
        case VT_I8:
            out = static_cast<double>(v.llVal);
            return true;
        case VT_UI1:
            out = v.bVal;
            return true;
        case VT_UI2:
            out = v.uiVal;
            return true;
        case VT_UI4:
        case VT_UINT:
            out = v.ulVal;
            return true;
        case VT_UI8:
            out = static_cast<double>(v.ullVal);
            return true;
        case VT_R4:
            out = v.fltVal;
            return true;
        case VT_R8:
        case VT_DATE:
            out = v.dblVal;
            return true;
        case VT_BOOL:
            out = v.boolVal ? -1 : 0;
            return true;
        case VT_BSTR: {
            if (!v.bstrVal)
                return false;
            std::wstring text(v.bstrVal, SysStringLen(v.bstrVal));
            if (text == L"True") {
                out = -1;
                return true;
            }
            if (text == L"False") {
                out = 0;
                return true;
            }
            wchar_t* end = nullptr;
            out = std::wcstod(text.c_str(), &end);
            return end && end != text.c_str() && *end == L'\0';
        }
        default:
            return false;
    }
}

template <class T>
bool InRange(double d) {
    return d >= static_cast<double>(std::numeric_limits<T>::lowest()) &&
           d <= static_cast<double>(std::numeric_limits<T>::max());
}

std::wstring NumberText(const VARIANT& v) {
    switch (v.vt) {
        case VT_R4:
        case VT_R8: {
            wchar_t buf[64];
            std::swprintf(buf, 64, L"%.15g", v.vt == VT_R4 ? v.fltVal : v.dblVal);
            return buf;
        }
        case VT_BOOL:
            return v.boolVal ? L"True" : L"False";
        case VT_UI4:
        case VT_UINT:
            return std::to_wstring(v.ulVal);
        case VT_UI8:
            return std::to_wstring(v.ullVal);
        case VT_I8:
            return std::to_wstring(v.llVal);
        default: {
            double d = 0;
            AsNumber(v, d);
            return std::to_wstring(static_cast<long long>(d));
        }
    }
}

}  // namespace

HRESULT VariantChangeType(VARIANT* dest, const VARIANT* source, USHORT flags, VARTYPE vt) {
    if (!dest || !source)
        return E_INVALIDARG;
    VARIANT result;
    if (source->vt == vt) {
        HRESULT hr = VariantCopy(&result, source);
        if (FAILED(hr))
            return hr;
    } else if (vt == VT_BSTR) {
        if (source->vt == VT_DATE || (source->vt & (VT_ARRAY | VT_BYREF))) {
            return DISP_E_TYPEMISMATCH;
        }
        double ignored;
        if (!AsNumber(*source, ignored))
            return DISP_E_TYPEMISMATCH;
        std::wstring text = source->vt == VT_EMPTY ? std::wstring() : NumberText(*source);
        result.vt = VT_BSTR;
        result.bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
        if (!result.bstrVal)
            return E_OUTOFMEMORY;
    } else {
        double d;
        if (!AsNumber(*source, d))
            return DISP_E_TYPEMISMATCH;
        double r = std::nearbyint(d);
        switch (vt) {
            case VT_I2:
                if (!InRange<SHORT>(r))
                    return DISP_E_OVERFLOW;
                result.iVal = static_cast<SHORT>(r);
                break;
            case VT_I4:
            case VT_INT:
                if (!InRange<LONG>(r))
                    return DISP_E_OVERFLOW;
                result.lVal = static_cast<LONG>(r);
                break;
            case VT_UI1:
                if (!InRange<BYTE>(r))
                    return DISP_E_OVERFLOW;
                result.bVal = static_cast<BYTE>(r);
                break;
            case VT_UI2:
                if (!InRange<USHORT>(r))
                    return DISP_E_OVERFLOW;
                result.uiVal = static_cast<USHORT>(r);
                break;
            case VT_UI4:
            case VT_UINT:
                if (!InRange<ULONG>(r))
                    return DISP_E_OVERFLOW;
                result.ulVal = static_cast<ULONG>(r);
                break;
            case VT_I8:
                if (!InRange<LONGLONG>(r))
                    return DISP_E_OVERFLOW;
                result.llVal = static_cast<LONGLONG>(r);
                break;
            case VT_BOOL:
                result.boolVal = d != 0 ? VARIANT_TRUE : VARIANT_FALSE;
                break;
            case VT_R8:
            case VT_DATE:
                result.dblVal = d;
                break;
            case VT_R4:
                result.fltVal = static_cast<float>(d);
                break;
            default:
                return DISP_E_TYPEMISMATCH;
        }
        result.vt = vt;
    }
    (void)flags;
    HRESULT hr = VariantClear(dest);
    if (FAILED(hr)) {
        VariantClear(&result);
        return hr;
    }
    *dest = result;
    return S_OK;
}

CComVariant::CComVariant(LONG value, VARTYPE type) {
    if (type == VT_ERROR) {
        vt = VT_ERROR;
        scode = value;
    } else if (type == VT_UI4) {
        vt = VT_UI4;
        ulVal = static_cast<ULONG>(value);
    } else if (type == VT_I2) {
        vt = VT_I2;
        iVal = static_cast<SHORT>(value);
    } else {
        vt = VT_I4;
        lVal = value;
    }
}

CComVariant::CComVariant(double value, VARTYPE type) {
    vt = type == VT_DATE ? VT_DATE : VT_R8;
    dblVal = value;
}

CComVariant::CComVariant(const OLECHAR* text) {
    vt = VT_BSTR;
    bstrVal = SysAllocString(text);
}

CComVariant::CComVariant(std::wstring_view text) {
    vt = VT_BSTR;
    bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
}

CComVariant::CComVariant(IUnknown* unknown) {
    vt = VT_UNKNOWN;
    punkVal = unknown;
    if (unknown)
        unknown->AddRef();
}

CComVariant::CComVariant(IDispatch* dispatch) {
    vt = VT_DISPATCH;
    pdispVal = dispatch;
    if (dispatch)
        dispatch->AddRef();
}

CComVariant& CComVariant::operator=(const CComVariant& other) {
    VariantCopy(this, &other);
    return *this;
}

CComVariant& CComVariant::operator=(CComVariant&& other) noexcept {
    if (this != &other) {
        VariantClear(this);
        static_cast<VARIANT&>(*this) = other;
        other.vt = VT_EMPTY;
    }
    return *this;
}

CComVariant& CComVariant::operator=(const VARIANT& other) {
    VariantCopy(this, &other);
    return *this;
}

HRESULT CComVariant::CopyTo(VARIANT* dest) const {
    if (!dest)
        return E_POINTER;
    return VariantCopy(dest, this);
}

HRESULT CComVariant::Attach(VARIANT* source) {
    if (!source)
        return E_INVALIDARG;
    HRESULT hr = VariantClear(this);
    if (FAILED(hr))
        return hr;
    static_cast<VARIANT&>(*this) = *source;
    source->vt = VT_EMPTY;
    return S_OK;
}

HRESULT CComVariant::Detach(VARIANT* dest) {
    if (!dest)
        return E_POINTER;
    HRESULT hr = VariantClear(dest);
    if (FAILED(hr))
        return hr;
    *dest = *this;
    vt = VT_EMPTY;
    return S_OK;
}

HRESULT CComVariant::ChangeType(VARTYPE type, const VARIANT* source) {
    return VariantChangeType(this, source ? source : this, 0, type);
}

CComVariant MissingArgument() {
    return CComVariant(static_cast<LONG>(DISP_E_PARAMNOTFOUND), VT_ERROR);
}

bool IsMissingArgument(const VARIANT& v) {
    return v.vt == VT_ERROR && v.scode == DISP_E_PARAMNOTFOUND;
}

CComVariant BinaryVariant(const BYTE* data, std::size_t size) {
    CComVariant v;
    SAFEARRAY* a = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(size));
    if (!a)
        return v;
    if (size)
        std::memcpy(a->pvData, data, size);
    v.vt = VT_ARRAY | VT_UI1;
    v.parray = a;
    return v;
}

bool BinaryFromVariant(const VARIANT& v, std::vector<BYTE>& out) {
    if (v.vt != (VT_ARRAY | VT_UI1) || !v.parray || v.parray->cDims != 1)
        return false;
    const auto* p = static_cast<const BYTE*>(v.parray->pvData);
    out.assign(p, p + v.parray->rgsabound[0].cElements);
    return true;
}
