// Proxies of dual interfaces, for the libraries whose objects other
// processes use (LocalServer.h): the stand-in's counterpart of the platform's
// type-library marshaller. A library names, for each remotable interface,
// the class of its proxies (RegisterProxyStub) and answers that class's
// DllGetClassObject with an IQmProxyFactory; the runtime asks it for a proxy
// whenever a client of another process asks a remote object for such an
// interface. A proxy turns each member of the interface into an
// IDispatch::Invoke by DISPID on the remote object, which the serving
// process runs on the real object.
//
//   class RulesProxy final : public com::DualProxy<_Rules> {
//       HRESULT get_Count(LONG* count) override { return GetLong(dispid::kCount, count); }
//       ...
//   };
//
// Threading: a proxy may be used from any thread; its calls are serialised
// on the connection.
#pragma once

#include <atomic>
#include <initializer_list>
#include <new>
#include <string>
#include <vector>

#include "platform/com/Dispatch.h"
#include "platform/com/Unknown.h"
#include "platform/com/Variant.h"

// The stand-in's own interface through which the runtime asks a library for
// the proxy of one interface: {5B1E7C42-9D3A-4F6B-8E21-3C7A90D4B6E1}.
inline constexpr IID IID_IQmProxyFactory{
    0x5B1E7C42, 0x9D3A, 0x4F6B, {0x8E, 0x21, 0x3C, 0x7A, 0x90, 0xD4, 0xB6, 0xE1}};

struct IQmProxyFactory : IUnknown {
    // A new proxy for iid over remote (the runtime's object standing for the
    // other process's object; the proxy keeps a reference). E_NOINTERFACE
    // for an interface the library has no proxy for.
    virtual HRESULT CreateProxy(IDispatch* remote, REFIID iid, void** out) = 0;

protected:
    ~IQmProxyFactory() = default;
};
QM_DECLARE_IID(IQmProxyFactory, IID_IQmProxyFactory);

namespace com {

// Writes HKEY_CLASSES_ROOT\Interface\{iid} (default: the interface's name)
// with ProxyStubClsid32 = proxyClsid for each interface, and the in-process
// server of proxyClsid. The registry's error as an HRESULT.
struct ProxiedInterface {
    IID iid;
    std::wstring name;
};
HRESULT RegisterProxyStub(REFCLSID proxyClsid, const std::wstring& serverPath,
                          const std::vector<ProxiedInterface>& interfaces);

// Base of the proxy of dual interface I. IUnknown and every interface but I
// are the remote object's: identity and further interfaces come from the
// serving process.
template <class I>
class DualProxy : public I {
public:
    using Interface = I;

    HRESULT QueryInterface(REFIID iid, void** out) override {
        if (!out)
            return E_POINTER;
        if (iid == IidOf<I>()) {
            *out = static_cast<I*>(this);
            AddRef();
            return S_OK;
        }
        return m_remote->QueryInterface(iid, out);
    }
    ULONG AddRef() override { return ++m_refs; }
    ULONG Release() override {
        ULONG left = --m_refs;
        if (left == 0)
            delete this;
        return left;
    }
    HRESULT GetTypeInfoCount(UINT* count) override { return m_remote->GetTypeInfoCount(count); }
    HRESULT GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override {
        return m_remote->GetTypeInfo(index, lcid, info);
    }
    HRESULT GetIDsOfNames(REFIID reserved, OLECHAR** names, UINT count, LCID lcid,
                          DISPID* ids) override {
        return m_remote->GetIDsOfNames(reserved, names, count, lcid, ids);
    }
    HRESULT Invoke(DISPID id, REFIID reserved, LCID lcid, WORD flags, DISPPARAMS* params,
                   VARIANT* result, EXCEPINFO* excepInfo, UINT* argErr) override {
        return m_remote->Invoke(id, reserved, lcid, flags, params, result, excepInfo, argErr);
    }

protected:
    explicit DualProxy(IDispatch* remote) : m_remote(remote) {}
    virtual ~DualProxy() = default;

    // A method or property get with arguments in natural order.
    HRESULT Call(DISPID id, std::initializer_list<CComVariant> args, VARIANT* result) {
        std::vector<VARIANT> reversed(args.size());
        std::size_t i = args.size();
        for (const CComVariant& a : args)
            reversed[--i] = a;  // shallow: args keep owning what they hold
        DISPPARAMS params;
        params.rgvarg = reversed.empty() ? nullptr : reversed.data();
        params.cArgs = static_cast<UINT>(reversed.size());
        return m_remote->Invoke(id, IID_NULL, 0, DISPATCH_METHOD | DISPATCH_PROPERTYGET, &params,
                                result, nullptr, nullptr);
    }
    HRESULT Put(DISPID id, const VARIANT& value) {
        VARIANT arg = value;
        DISPID named = DISPID_PROPERTYPUT;
        DISPPARAMS params;
        params.rgvarg = &arg;
        params.cArgs = 1;
        params.rgdispidNamedArgs = &named;
        params.cNamedArgs = 1;
        return m_remote->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYPUT, &params, nullptr, nullptr,
                                nullptr);
    }
    HRESULT GetText(DISPID id, BSTR* out, std::initializer_list<CComVariant> args = {}) {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        CComVariant r;
        HRESULT hr = Call(id, args, &r);
        if (SUCCEEDED(hr) && r.vt != VT_BSTR)
            hr = r.ChangeType(VT_BSTR);
        if (FAILED(hr))
            return hr;
        *out = r.bstrVal ? r.bstrVal : SysAllocString(L"");
        r.vt = VT_EMPTY;
        return hr;
    }
    template <class T>
    HRESULT GetNumber(DISPID id, T* out, VARTYPE vt = VT_I4) {
        if (!out)
            return E_POINTER;
        CComVariant r;
        HRESULT hr = Call(id, {}, &r);
        if (SUCCEEDED(hr))
            hr = r.ChangeType(vt);
        if (SUCCEEDED(hr))
            *out = vt == VT_BOOL ? static_cast<T>(r.boolVal) : static_cast<T>(r.lVal);
        return hr;
    }
    HRESULT GetBool(DISPID id, VARIANT_BOOL* out) { return GetNumber(id, out, VT_BOOL); }
    HRESULT GetVariant(DISPID id, VARIANT* out) {
        if (!out)
            return E_POINTER;
        VariantInit(out);
        return Call(id, {}, out);
    }
    // An object result asked for T; null (S_OK) when the member gave none.
    template <class T>
    HRESULT GetObject(DISPID id, T** out, std::initializer_list<CComVariant> args = {}) {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        CComVariant r;
        HRESULT hr = Call(id, args, &r);
        if (FAILED(hr))
            return hr;
        IUnknown* object = r.vt == VT_DISPATCH  ? static_cast<IUnknown*>(r.pdispVal)
                           : r.vt == VT_UNKNOWN ? r.punkVal
                                                : nullptr;
        if (!object)
            return r.vt == VT_EMPTY || r.vt == VT_DISPATCH || r.vt == VT_UNKNOWN
                       ? hr
                       : DISP_E_TYPEMISMATCH;
        return object->QueryInterface(IidOf<T>(), reinterpret_cast<void**>(out));
    }

private:
    CComPtr<IDispatch> m_remote;
    std::atomic<ULONG> m_refs{0};
};

// Makes a proxy of class P (constructed from the remote IDispatch) and
// returns its first reference as iid.
template <class P>
HRESULT MakeProxy(IDispatch* remote, void** out) {
    P* proxy = new (std::nothrow) P(remote);
    if (!proxy)
        return E_OUTOFMEMORY;
    proxy->AddRef();
    *out = static_cast<typename P::Interface*>(proxy);
    return S_OK;
}

}  // namespace com
