// SAFEARRAY: COM's self-describing array, here for the element types the
// system passes (VARIANT, BSTR, UI1 bytes, I2, I4, UI4, BOOL, DATE,
// IUnknown and IDispatch pointers).
//
// Ownership: an array owns its elements; SafeArrayDestroy frees them (BSTRs
// freed, interfaces released, VARIANTs cleared). Access is not synchronised.
#pragma once

#include "platform/win/Types.h"

using VARTYPE = USHORT;

struct SAFEARRAYBOUND {
    ULONG cElements = 0;
    LONG lLbound = 0;
};

constexpr USHORT kSafeArrayMaxDims = 4;

struct SAFEARRAY {
    USHORT cDims = 0;
    USHORT fFeatures = 0;
    ULONG cbElements = 0;
    ULONG cLocks = 0;
    void* pvData = nullptr;
    // Dimension 0 is the right-most (fastest varying), as the platform stores them.
    SAFEARRAYBOUND rgsabound[kSafeArrayMaxDims];
    VARTYPE vt = 0;  // element type
};

// Null for an unsupported element type, more than 4 dimensions or no memory.
SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT cDims, const SAFEARRAYBOUND* bounds);
SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lowerBound, ULONG elements);
// E_INVALIDARG for null; DISP_E_ARRAYISLOCKED while locked.
HRESULT SafeArrayDestroy(SAFEARRAY* array);
HRESULT SafeArrayCopy(const SAFEARRAY* source, SAFEARRAY** out);
HRESULT SafeArrayGetVartype(const SAFEARRAY* array, VARTYPE* vt);
UINT SafeArrayGetDim(const SAFEARRAY* array);
UINT SafeArrayGetElemsize(const SAFEARRAY* array);
// dim counts from 1 (the left-most, as in the platform's call). DISP_E_BADINDEX.
HRESULT SafeArrayGetLBound(const SAFEARRAY* array, UINT dim, LONG* out);
HRESULT SafeArrayGetUBound(const SAFEARRAY* array, UINT dim, LONG* out);
HRESULT SafeArrayAccessData(SAFEARRAY* array, void** data);
HRESULT SafeArrayUnaccessData(SAFEARRAY* array);
HRESULT SafeArrayLock(SAFEARRAY* array);
HRESULT SafeArrayUnlock(SAFEARRAY* array);
// indices: one per dimension, left-most first. Get copies the element out
// (a BSTR or VARIANT copy the caller owns; an interface AddRef'ed); Put
// copies the value in. DISP_E_BADINDEX outside the bounds.
HRESULT SafeArrayGetElement(SAFEARRAY* array, const LONG* indices, void* out);
HRESULT SafeArrayPutElement(SAFEARRAY* array, const LONG* indices, const void* value);
HRESULT SafeArrayPtrOfIndex(SAFEARRAY* array, const LONG* indices, void** out);
