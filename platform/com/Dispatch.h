// IDispatch: late-bound calls by DISPID, as Outlook's object model and the
// event sinks use them.
#pragma once

#include "platform/com/Variant.h"

using DISPID = LONG;
using MEMBERID = DISPID;

constexpr DISPID DISPID_UNKNOWN = -1;
constexpr DISPID DISPID_VALUE = 0;
constexpr DISPID DISPID_PROPERTYPUT = -3;
constexpr DISPID DISPID_NEWENUM = -4;

constexpr WORD DISPATCH_METHOD = 0x1;
constexpr WORD DISPATCH_PROPERTYGET = 0x2;
constexpr WORD DISPATCH_PROPERTYPUT = 0x4;
constexpr WORD DISPATCH_PROPERTYPUTREF = 0x8;

// Arguments are in reverse order (rgvarg[0] is the last one), as on the platform.
struct DISPPARAMS {
    VARIANTARG* rgvarg = nullptr;
    DISPID* rgdispidNamedArgs = nullptr;
    UINT cArgs = 0;
    UINT cNamedArgs = 0;
};

struct EXCEPINFO {
    WORD wCode = 0;
    WORD wReserved = 0;
    BSTR bstrSource = nullptr;
    BSTR bstrDescription = nullptr;
    BSTR bstrHelpFile = nullptr;
    DWORD dwHelpContext = 0;
    void* pvReserved = nullptr;
    void* pfnDeferredFillIn = nullptr;
    SCODE scode = 0;
};

// Type information is not provided by the stand-ins; GetTypeInfo answers E_NOTIMPL.
struct ITypeInfo;

// {00020400-0000-0000-C000-000000000046}
inline constexpr IID IID_IDispatch{0x00020400, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
// Null IID for Invoke's reserved argument.
inline constexpr IID IID_NULL{};

struct IDispatch : IUnknown {
    virtual HRESULT GetTypeInfoCount(UINT* count) = 0;
    virtual HRESULT GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) = 0;
    virtual HRESULT GetIDsOfNames(REFIID reserved, OLECHAR** names, UINT count, LCID lcid,
                                  DISPID* ids) = 0;
    // DISP_E_MEMBERNOTFOUND for an unknown DISPID, DISP_E_BADPARAMCOUNT,
    // DISP_E_TYPEMISMATCH (argErr names the argument), DISP_E_EXCEPTION with excepInfo.
    virtual HRESULT Invoke(DISPID id, REFIID reserved, LCID lcid, WORD flags, DISPPARAMS* params,
                           VARIANT* result, EXCEPINFO* excepInfo, UINT* argErr) = 0;

protected:
    ~IDispatch() = default;
};
QM_DECLARE_IID(IDispatch, IID_IDispatch);

namespace com {

// Property get by DISPID with no arguments (LCID 0x400, method-or-property-get).
HRESULT GetProperty(IDispatch* object, DISPID id, VARIANT* result);
// Property put by DISPID.
HRESULT PutProperty(IDispatch* object, DISPID id, const VARIANT& value);
// Method call by DISPID; args in natural (left-to-right) order.
HRESULT CallMethod(IDispatch* object, DISPID id, const VARIANT* args, UINT count, VARIANT* result);

}  // namespace com
