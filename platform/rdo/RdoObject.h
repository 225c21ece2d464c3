// Shared base of the helper library's COM objects: the owning-thread check,
// the IDispatch members (late binding is not offered: every client calls the
// interfaces directly), the internal property-access interface that the
// utilities object reaches every kind through, and the small [out] helpers.
#pragma once

#include <string>
#include <string_view>

#include "platform/com/ComObject.h"
#include "platform/mapi/NamedProperty.h"
#include "platform/mapi/PropValue.h"
#include "platform/rdo/QuillmereRDO.h"
#include "platform/win/Threads.h"

namespace rdo {

// {4C01E050-F5E3-4DF4-A31C-CC44F45E14EE}
inline constexpr IID IID_IRdoProps{
    0x4C01E050, 0xF5E3, 0x4DF4, {0xA3, 0x1C, 0xCC, 0x44, 0xF4, 0x5E, 0x14, 0xEE}};

// Property access of messages, folders, stores and safe items, for the
// utilities object. Owner thread only (callers check IsOwnerThread first).
struct IRdoProps : IUnknown {
    virtual bool IsOwnerThread() const = 0;
    // MAPI_E_NOT_FOUND when absent. A tag with PT_UNSPECIFIED takes any type.
    virtual HRESULT ReadProp(ULONG tag, mapi::PropValue* value) = 0;
    // save: write through at once (messages are saved, folders always are).
    virtual HRESULT WriteProp(ULONG tag, const mapi::PropValue& value, bool save) = 0;
    // The object's store id of a named property; without create an unmapped
    // name gives 0 and S_FALSE.
    virtual HRESULT NamedId(const mapi::NamedProperty& name, bool create, USHORT* id) = 0;

protected:
    ~IRdoProps() = default;
};

template <class Derived, class... Interfaces>
class RdoObject : public com::ComObject<Derived, Interfaces...> {
public:
    HRESULT GetTypeInfoCount(UINT* count) override {
        if (!count)
            return E_POINTER;
        *count = 0;
        return S_OK;
    }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
        if (info)
            *info = nullptr;
        return E_NOTIMPL;
    }
    HRESULT GetIDsOfNames(REFIID, OLECHAR**, UINT, LCID, DISPID*) override {
        return DISP_E_UNKNOWNNAME;
    }
    HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return DISP_E_MEMBERNOTFOUND;
    }
    bool OnOwnerThread() const { return GetCurrentThreadId() == m_ownerThread; }

protected:
    const DWORD m_ownerThread = GetCurrentThreadId();
};

// First statement of every interface method of the library's objects.
#define RDO_OWNER_THREAD_ONLY()        \
    do {                               \
        if (!this->OnOwnerThread())    \
            return RPC_E_WRONG_THREAD; \
    } while (0)

// [out] helpers: they null the target first, as the interfaces promise.
HRESULT PutText(std::wstring_view text, BSTR* out);

template <class I, class T>
HRESULT PutObject(const CComPtr<T>& object, I** out) {
    if (!out)
        return E_POINTER;
    *out = nullptr;
    if (!object)
        return E_OUTOFMEMORY;
    *out = static_cast<I*>(object.p);
    (*out)->AddRef();
    return S_OK;
}

template <class I>
bool ClearOut(I** out) {
    if (!out)
        return false;
    *out = nullptr;
    return true;
}

// The library's object of type T behind an interface pointer, or null. The
// caller keeps the pointer (and so the object) alive.
template <class T>
T* ImplOf(IUnknown* object) {
    return object ? dynamic_cast<T*>(object) : nullptr;
}

}  // namespace rdo

QM_DECLARE_IID(rdo::IRdoProps, rdo::IID_IRdoProps);
