// VARIANT: COM's tagged value, for the types the system passes.
//
// Ownership: a VARIANT owns what it holds (a BSTR, an interface reference,
// a SAFEARRAY); VariantClear frees it, VariantCopy copies deeply. Missing
// optional arguments travel as VT_ERROR with DISP_E_PARAMNOTFOUND.
#pragma once

#include <string_view>
#include <vector>

#include "platform/com/Bstr.h"
#include "platform/com/SafeArray.h"
#include "platform/com/Unknown.h"

struct IDispatch;

using VARIANT_BOOL = SHORT;
constexpr VARIANT_BOOL VARIANT_TRUE = -1;
constexpr VARIANT_BOOL VARIANT_FALSE = 0;

enum VARENUM : VARTYPE {
    VT_EMPTY = 0,
    VT_NULL = 1,
    VT_I2 = 2,
    VT_I4 = 3,
    VT_R4 = 4,
    VT_R8 = 5,
    VT_CY = 6,
    VT_DATE = 7,
    VT_BSTR = 8,
    VT_DISPATCH = 9,
    VT_ERROR = 10,
    VT_BOOL = 11,
    VT_VARIANT = 12,
    VT_UNKNOWN = 13,
    VT_I1 = 16,
    VT_UI1 = 17,
    VT_UI2 = 18,
    VT_UI4 = 19,
    VT_I8 = 20,
    VT_UI8 = 21,
    VT_INT = 22,
    VT_UINT = 23,
    VT_ARRAY = 0x2000,
    VT_BYREF = 0x4000,
    VT_TYPEMASK = 0x0FFF,
};

struct VARIANT {
    VARTYPE vt = VT_EMPTY;
    WORD wReserved1 = 0;
    WORD wReserved2 = 0;
    WORD wReserved3 = 0;
    union {
        LONGLONG llVal;
        ULONGLONG ullVal;
        LONG lVal;
        ULONG ulVal;
        INT intVal;
        UINT uintVal;
        SHORT iVal;
        USHORT uiVal;
        BYTE bVal;
        char cVal;
        float fltVal;
        double dblVal;
        VARIANT_BOOL boolVal;
        SCODE scode;
        DATE date;
        BSTR bstrVal;
        IUnknown* punkVal;
        IDispatch* pdispVal;
        SAFEARRAY* parray;
        VARIANT* pvarVal;
        BSTR* pbstrVal;
        LONG* plVal;
        void* byref;
    };
    VARIANT() : llVal(0) {}
};
using VARIANTARG = VARIANT;

void VariantInit(VARIANT* v);
// Frees what v holds and makes it VT_EMPTY. DISP_E_BADVARTYPE for a type it doesn't know.
HRESULT VariantClear(VARIANT* v);
// Deep copy (dest is cleared first). E_OUTOFMEMORY, DISP_E_BADVARTYPE.
HRESULT VariantCopy(VARIANT* dest, const VARIANT* source);
// Conversions between the scalar types, BSTR (numbers as decimal text,
// dates as the locale's text, booleans as "True"/"False") and back.
// DISP_E_TYPEMISMATCH when no conversion exists, DISP_E_OVERFLOW when out of range.
HRESULT VariantChangeType(VARIANT* dest, const VARIANT* source, USHORT flags, VARTYPE vt);

// ATL-style owner of one VARIANT.
class CComVariant : public VARIANT {
public:
    CComVariant() = default;
    CComVariant(const VARIANT& other) { VariantCopy(this, &other); }
    CComVariant(const CComVariant& other) : VARIANT() { VariantCopy(this, &other); }
    CComVariant(CComVariant&& other) noexcept : VARIANT(other) { other.vt = VT_EMPTY; }
    CComVariant(LONG value, VARTYPE type = VT_I4);
    CComVariant(ULONG value) { vt = VT_UI4, ulVal = value; }
    CComVariant(SHORT value) { vt = VT_I2, iVal = value; }
    CComVariant(bool value) { vt = VT_BOOL, boolVal = value ? VARIANT_TRUE : VARIANT_FALSE; }
    CComVariant(double value, VARTYPE type = VT_R8);
    CComVariant(const OLECHAR* text);
    CComVariant(std::wstring_view text);
    CComVariant(IUnknown* unknown);
    CComVariant(IDispatch* dispatch);
    ~CComVariant() { VariantClear(this); }
    CComVariant& operator=(const CComVariant& other);
    CComVariant& operator=(CComVariant&& other) noexcept;
    CComVariant& operator=(const VARIANT& other);

    HRESULT Clear() { return VariantClear(this); }
    HRESULT Copy(const VARIANT* source) { return VariantCopy(this, source); }
    HRESULT CopyTo(VARIANT* dest) const;
    // Takes ownership of what source holds; source becomes VT_EMPTY.
    HRESULT Attach(VARIANT* source);
    // Hands what this holds to dest (cleared first); this becomes VT_EMPTY.
    HRESULT Detach(VARIANT* dest);
    HRESULT ChangeType(VARTYPE type, const VARIANT* source = nullptr);
};

// A missing optional argument: VT_ERROR with DISP_E_PARAMNOTFOUND.
CComVariant MissingArgument();
bool IsMissingArgument(const VARIANT& v);

// Binary values travel as VT_ARRAY | VT_UI1.
CComVariant BinaryVariant(const BYTE* data, std::size_t size);
// The bytes of a VT_ARRAY | VT_UI1 variant; false for any other type.
bool BinaryFromVariant(const VARIANT& v, std::vector<BYTE>& out);
