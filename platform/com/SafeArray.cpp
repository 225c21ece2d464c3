#include "platform/com/SafeArray.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/com/Dispatch.h"

namespace {

constexpr USHORT FADF_BSTR = 0x0100;
constexpr USHORT FADF_UNKNOWN = 0x0200;
constexpr USHORT FADF_DISPATCH = 0x0400;
constexpr USHORT FADF_VARIANT = 0x0800;

ULONG ElementSize(VARTYPE vt) {
    switch (vt) {
        case VT_UI1:
        case VT_I1:
            return 1;
        case VT_I2:
        case VT_UI2:
        case VT_BOOL:
            return 2;
        case VT_I4:
        case VT_UI4:
        case VT_INT:
        case VT_UINT:
        case VT_ERROR:
        case VT_R4:
            return 4;
        case VT_I8:
        case VT_UI8:
        case VT_R8:
        case VT_DATE:
        case VT_CY:
            return 8;
        case VT_BSTR:
            return sizeof(BSTR);
        case VT_UNKNOWN:
        case VT_DISPATCH:
            return sizeof(void*);
        case VT_VARIANT:
            return sizeof(VARIANT);
        default:
            return 0;
    }
}

std::size_t ElementCount(const SAFEARRAY* a) {
    std::size_t n = 1;
    for (USHORT d = 0; d < a->cDims; ++d)
        n *= a->rgsabound[d].cElements;
    return n;
}

void ClearElements(SAFEARRAY* a) {
    std::size_t n = ElementCount(a);
    for (std::size_t i = 0; i < n; ++i) {
        char* p = static_cast<char*>(a->pvData) + i * a->cbElements;
        switch (a->vt) {
            case VT_BSTR:
                SysFreeString(*reinterpret_cast<BSTR*>(p));
                break;
            case VT_UNKNOWN:
            case VT_DISPATCH:
                if (auto* u = *reinterpret_cast<IUnknown**>(p))
                    u->Release();
                break;
            case VT_VARIANT:
                VariantClear(reinterpret_cast<VARIANT*>(p));
                break;
            default:
                break;
        }
    }
}

// Offset of an element from its indices (left-most first), or false.
bool OffsetOf(const SAFEARRAY* a, const LONG* indices, std::size_t& offset) {
    if (!a || !indices)
        return false;
    std::size_t index = 0;
    // indices[0] is the left-most dimension, which is rgsabound[cDims - 1].
    for (USHORT i = 0; i < a->cDims; ++i) {
        const SAFEARRAYBOUND& b = a->rgsabound[a->cDims - 1 - i];
        long long rel = static_cast<long long>(indices[i]) - b.lLbound;
        if (rel < 0 || rel >= static_cast<long long>(b.cElements))
            return false;
        index = index * b.cElements + static_cast<std::size_t>(rel);
    }
    offset = index * a->cbElements;
    return true;
}

HRESULT CopyElementOut(VARTYPE vt, const void* element, void* out, ULONG size) {
    switch (vt) {
        case VT_BSTR: {
            BSTR src = *static_cast<const BSTR*>(element);
            BSTR copy = src ? SysAllocStringLen(src, SysStringLen(src)) : nullptr;
            if (src && !copy)
                return E_OUTOFMEMORY;
            *static_cast<BSTR*>(out) = copy;
            return S_OK;
        }
        case VT_UNKNOWN:
        case VT_DISPATCH: {
            auto* u = *static_cast<IUnknown* const*>(element);
            if (u)
                u->AddRef();
            *static_cast<IUnknown**>(out) = u;
            return S_OK;
        }
        case VT_VARIANT: {
            auto* dest = static_cast<VARIANT*>(out);
            VariantInit(dest);
            return VariantCopy(dest, static_cast<const VARIANT*>(element));
        }
        default:
            std::memcpy(out, element, size);
            return S_OK;
    }
}

}  // namespace

SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT cDims, const SAFEARRAYBOUND* bounds) {
    ULONG size = ElementSize(vt);
    if (size == 0 || cDims == 0 || cDims > kSafeArrayMaxDims || !bounds)
        return nullptr;
    std::size_t n = 1;
    for (UINT i = 0; i < cDims; ++i)
        n *= bounds[i].cElements;
    if (n > (1u << 30))
        return nullptr;
    // One block: the descriptor, then the elements (aligned as a VARIANT
    // needs), so that a small array costs one allocation.
    constexpr std::size_t kHead =
        (sizeof(SAFEARRAY) + alignof(VARIANT) - 1) / alignof(VARIANT) * alignof(VARIANT);
    void* block = std::calloc(1, kHead + (n ? n : 1) * size);
    if (!block)
        return nullptr;
    auto* a = new (block) SAFEARRAY;
    a->cDims = static_cast<USHORT>(cDims);
    a->cbElements = size;
    a->vt = vt;
    a->fFeatures = vt == VT_BSTR       ? FADF_BSTR
                   : vt == VT_UNKNOWN  ? FADF_UNKNOWN
                   : vt == VT_DISPATCH ? FADF_DISPATCH
                   : vt == VT_VARIANT  ? FADF_VARIANT
                                       : 0;
    // bounds[0] is the left-most dimension; the array keeps it last.
    for (UINT i = 0; i < cDims; ++i)
        a->rgsabound[cDims - 1 - i] = bounds[i];
    a->pvData = static_cast<char*>(block) + kHead;
    if (vt == VT_VARIANT) {
        for (std::size_t i = 0; i < n; ++i)
            new (static_cast<VARIANT*>(a->pvData) + i) VARIANT();
    }
    return a;
}

SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lowerBound, ULONG elements) {
    SAFEARRAYBOUND b{elements, lowerBound};
    return SafeArrayCreate(vt, 1, &b);
}

HRESULT SafeArrayDestroy(SAFEARRAY* a) {
    if (!a)
        return E_INVALIDARG;
    if (a->cLocks)
        return DISP_E_ARRAYISLOCKED;
    ClearElements(a);
    a->~SAFEARRAY();
    std::free(a);
    return S_OK;
}

HRESULT SafeArrayCopy(const SAFEARRAY* source, SAFEARRAY** out) {
    if (!out)
        return E_INVALIDARG;
    *out = nullptr;
    if (!source)
        return S_OK;
    SAFEARRAYBOUND bounds[kSafeArrayMaxDims];
    for (USHORT i = 0; i < source->cDims; ++i) {
        bounds[i] = source->rgsabound[source->cDims - 1 - i];
    }
    SAFEARRAY* copy = SafeArrayCreate(source->vt, source->cDims, bounds);
    if (!copy)
        return E_OUTOFMEMORY;
    std::size_t n = ElementCount(source);
    for (std::size_t i = 0; i < n; ++i) {
        const char* from = static_cast<const char*>(source->pvData) + i * source->cbElements;
        char* to = static_cast<char*>(copy->pvData) + i * copy->cbElements;
        HRESULT hr = CopyElementOut(source->vt, from, to, source->cbElements);
        if (FAILED(hr)) {
            SafeArrayDestroy(copy);
            return hr;
        }
    }
    *out = copy;
    return S_OK;
}

HRESULT SafeArrayGetVartype(const SAFEARRAY* a, VARTYPE* vt) {
    if (!a || !vt)
        return E_INVALIDARG;
    *vt = a->vt;
    return S_OK;
}

UINT SafeArrayGetDim(const SAFEARRAY* a) {
    return a ? a->cDims : 0;
}
UINT SafeArrayGetElemsize(const SAFEARRAY* a) {
    return a ? a->cbElements : 0;
}

HRESULT SafeArrayGetLBound(const SAFEARRAY* a, UINT dim, LONG* out) {
    if (!a || !out)
        return E_INVALIDARG;
    if (dim < 1 || dim > a->cDims)
        return DISP_E_BADINDEX;
    *out = a->rgsabound[a->cDims - dim].lLbound;
    return S_OK;
}

HRESULT SafeArrayGetUBound(const SAFEARRAY* a, UINT dim, LONG* out) {
    if (!a || !out)
        return E_INVALIDARG;
    if (dim < 1 || dim > a->cDims)
        return DISP_E_BADINDEX;
    const SAFEARRAYBOUND& b = a->rgsabound[a->cDims - dim];
    *out = static_cast<LONG>(b.lLbound + static_cast<long long>(b.cElements) - 1);
    return S_OK;
}

HRESULT SafeArrayLock(SAFEARRAY* a) {
    if (!a)
        return E_INVALIDARG;
    ++a->cLocks;
    return S_OK;
}

HRESULT SafeArrayUnlock(SAFEARRAY* a) {
    if (!a)
        return E_INVALIDARG;
    if (a->cLocks == 0)
        return E_UNEXPECTED;
    --a->cLocks;
    return S_OK;
}

HRESULT SafeArrayAccessData(SAFEARRAY* a, void** data) {
    if (!a || !data)
        return E_INVALIDARG;
    ++a->cLocks;
    *data = a->pvData;
    return S_OK;
}

HRESULT SafeArrayUnaccessData(SAFEARRAY* a) {
    return SafeArrayUnlock(a);
}

HRESULT SafeArrayPtrOfIndex(SAFEARRAY* a, const LONG* indices, void** out) {
    if (!a || !out)
        return E_INVALIDARG;
    std::size_t offset;
    if (!OffsetOf(a, indices, offset))
        return DISP_E_BADINDEX;
    *out = static_cast<char*>(a->pvData) + offset;
    return S_OK;
}

HRESULT SafeArrayGetElement(SAFEARRAY* a, const LONG* indices, void* out) {
    if (!a || !out)
        return E_INVALIDARG;
    std::size_t offset;
    if (!OffsetOf(a, indices, offset))
        return DISP_E_BADINDEX;
    return CopyElementOut(a->vt, static_cast<char*>(a->pvData) + offset, out, a->cbElements);
}

HRESULT SafeArrayPutElement(SAFEARRAY* a, const LONG* indices, const void* value) {
    if (!a)
        return E_INVALIDARG;
    std::size_t offset;
    if (!OffsetOf(a, indices, offset))
        return DISP_E_BADINDEX;
    char* slot = static_cast<char*>(a->pvData) + offset;
    switch (a->vt) {
        case VT_BSTR: {
            BSTR src = static_cast<BSTR>(const_cast<void*>(value));
            BSTR copy = src ? SysAllocStringLen(src, SysStringLen(src)) : nullptr;
            if (src && !copy)
                return E_OUTOFMEMORY;
            SysFreeString(*reinterpret_cast<BSTR*>(slot));
            *reinterpret_cast<BSTR*>(slot) = copy;
            return S_OK;
        }
        case VT_UNKNOWN:
        case VT_DISPATCH: {
            auto* u = static_cast<IUnknown*>(const_cast<void*>(value));
            if (u)
                u->AddRef();
            if (auto* old = *reinterpret_cast<IUnknown**>(slot))
                old->Release();
            *reinterpret_cast<IUnknown**>(slot) = u;
            return S_OK;
        }
        case VT_VARIANT:
            return VariantCopy(reinterpret_cast<VARIANT*>(slot),
                               static_cast<const VARIANT*>(value));
        default:
            if (!value)
                return E_INVALIDARG;
            std::memcpy(slot, value, a->cbElements);
            return S_OK;
    }
}
