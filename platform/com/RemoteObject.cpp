#include "platform/com/RemoteObject.h"

#include <new>
#include <vector>

#include "platform/com/ClassRegistry.h"
#include "platform/com/Com.h"
#include "platform/com/DualProxy.h"
#include "platform/win/Text.h"

namespace com::impl {
namespace {

using marshal::Op;
using marshal::Reader;
using marshal::Writer;

// Through which the runtime recognises its own remote objects among the
// interface pointers a call passes: {0C6F2E9B-4D71-4A55-9B3E-71D2A8E5C403}.
constexpr IID IID_IQmRemoteObject{
    0x0C6F2E9B, 0x4D71, 0x4A55, {0x9B, 0x3E, 0x71, 0xD2, 0xA8, 0xE5, 0xC4, 0x03}};

// Cuts the HRESULT off an answer.
HRESULT AnswerHResult(const std::string& answer, std::string* rest) {
    Reader r(answer);
    HRESULT hr = static_cast<HRESULT>(r.U32());
    if (!r.Ok())
        return RPC_E_INVALID_DATA;
    *rest = answer.substr(4);
    return hr;
}

// The proxy of iid over remote, made by the library registered for iid.
HRESULT MakeTypedProxy(IDispatch* remote, REFIID iid, void** out) {
    std::wstring text;
    if (!ReadClassesString(L"Interface\\" + win::GuidToString(iid) + L"\\ProxyStubClsid32", nullptr,
                           text))
        return E_NOINTERFACE;
    std::optional<GUID> proxyClsid = win::ParseGuid(text);
    if (!proxyClsid)
        return E_NOINTERFACE;
    CComPtr<IQmProxyFactory> factory;
    if (FAILED(GetInprocClassObject(*proxyClsid, IID_IQmProxyFactory,
                                    reinterpret_cast<void**>(&factory))) ||
        !factory)
        return E_NOINTERFACE;
    return factory->CreateProxy(remote, iid, out);
}

}  // namespace

class RemoteObject final : public IDispatch {
public:
    RemoteObject(std::shared_ptr<Channel> channel, std::uint64_t id)
        : m_channel(std::move(channel)), m_id(id) {}

    std::uint64_t Id() const { return m_id; }
    const Channel* Owner() const { return m_channel.get(); }
    // One more export of the same object taken over by this one.
    void AbsorbExport() { ++m_exports; }
    // AddRef unless the last reference is already gone (then the object is
    // on its way out and must not come back).
    bool TryAddRef() {
        ULONG refs = m_refs.load();
        while (refs > 0) {
            if (m_refs.compare_exchange_weak(refs, refs + 1))
                return true;
        }
        return false;
    }

    HRESULT QueryInterface(REFIID iid, void** out) override {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        if (iid == IID_IUnknown || iid == IID_IDispatch || iid == IID_IQmRemoteObject) {
            *out = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        Writer request;
        request.U8(static_cast<std::uint8_t>(Op::QueryInterface));
        request.U64(m_id);
        request.Guid(iid);
        std::string rest;
        HRESULT hr = m_channel->Call(request, &rest);
        if (FAILED(hr))
            return hr == RPC_E_DISCONNECTED || hr == RPC_E_INVALID_DATA ? hr : E_NOINTERFACE;
        if (iid == IID_IClassFactory)
            return MakeClassFactoryProxy(out);
        return MakeTypedProxy(this, iid, out);
    }
    ULONG AddRef() override { return ++m_refs; }
    ULONG Release() override {
        ULONG left = --m_refs;
        if (left == 0) {
            m_channel->Released(this, m_id, m_exports.load());
            delete this;
        }
        return left;
    }

    HRESULT GetTypeInfoCount(UINT* count) override {
        if (count)
            *count = 0;
        return S_OK;
    }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
        if (info)
            *info = nullptr;
        return E_NOTIMPL;
    }
    HRESULT GetIDsOfNames(REFIID, OLECHAR** names, UINT count, LCID lcid, DISPID* ids) override {
        if (!names || !ids)
            return E_POINTER;
        Writer request;
        request.U8(static_cast<std::uint8_t>(Op::GetIDsOfNames));
        request.U64(m_id);
        request.U32(count);
        for (UINT i = 0; i < count; ++i)
            request.Text(names[i] ? names[i] : L"");
        request.U32(lcid);
        std::string rest;
        HRESULT hr = m_channel->Call(request, &rest);
        Reader r(rest);
        std::uint32_t answered = r.U32();
        for (UINT i = 0; i < count; ++i)
            ids[i] = i < answered ? r.I32() : DISPID_UNKNOWN;
        return r.Ok() ? hr : (FAILED(hr) ? hr : RPC_E_INVALID_DATA);
    }
    HRESULT Invoke(DISPID id, REFIID, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                   EXCEPINFO* excepInfo, UINT* argErr) override {
        if (result)
            VariantInit(result);
        marshal::ObjectCodec codec = m_channel->Codec();
        Writer request;
        request.U8(static_cast<std::uint8_t>(Op::Invoke));
        request.U64(m_id);
        request.I32(id);
        request.U32(lcid);
        request.U16(flags);
        UINT count = params ? params->cArgs : 0;
        request.U32(count);
        for (UINT i = 0; i < count; ++i) {
            HRESULT hr = request.Variant(params->rgvarg[i], codec);
            if (FAILED(hr)) {
                if (argErr)
                    *argErr = count - 1 - i;
                return hr;
            }
        }
        UINT named = params ? params->cNamedArgs : 0;
        request.U32(named);
        for (UINT i = 0; i < named; ++i)
            request.I32(params->rgdispidNamedArgs[i]);
        std::string rest;
        HRESULT hr = m_channel->Call(request, &rest);
        if (hr == RPC_E_DISCONNECTED || hr == RPC_E_INVALID_DATA)
            return hr;
        Reader r(rest);
        CComVariant value;
        r.Variant(&value, codec);
        std::uint32_t badArgument = r.U32();
        std::uint32_t scode = r.U32();
        std::wstring description = r.Text();
        if (!r.Ok())
            return RPC_E_INVALID_DATA;
        if (result)
            value.Detach(result);
        if (argErr && (hr == DISP_E_TYPEMISMATCH || hr == DISP_E_PARAMNOTFOUND))
            *argErr = badArgument;
        if (excepInfo && hr == DISP_E_EXCEPTION) {
            *excepInfo = EXCEPINFO{};
            excepInfo->scode = static_cast<SCODE>(scode);
            excepInfo->bstrDescription =
                SysAllocStringLen(description.data(), static_cast<UINT>(description.size()));
        }
        return hr;
    }

private:
    HRESULT MakeClassFactoryProxy(void** out);

    std::shared_ptr<Channel> m_channel;
    std::uint64_t m_id;
    std::atomic<std::uint32_t> m_exports{1};
    std::atomic<ULONG> m_refs{0};
};

namespace {

// IClassFactory of a remote class object: the runtime's own proxy.
class ClassFactoryProxy final : public IClassFactory {
public:
    ClassFactoryProxy(RemoteObject* remote, std::shared_ptr<Channel> channel)
        : m_remote(remote), m_channel(std::move(channel)) {}
    HRESULT QueryInterface(REFIID iid, void** out) override {
        if (!out)
            return E_POINTER;
        if (iid == IID_IClassFactory) {
            *out = static_cast<IClassFactory*>(this);
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
    HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        if (outer)
            return CLASS_E_NOAGGREGATION;
        CComPtr<IDispatch> identity;
        m_remote->QueryInterface(IID_IQmRemoteObject, reinterpret_cast<void**>(&identity));
        Writer request;
        request.U8(static_cast<std::uint8_t>(Op::CreateInstance));
        request.U64(static_cast<RemoteObject*>(identity.p)->Id());
        request.Guid(iid);
        CComPtr<IUnknown> object;
        HRESULT hr = m_channel->CallForObject(request, &object);
        if (FAILED(hr))
            return hr;
        if (!object)
            return E_NOINTERFACE;
        return object->QueryInterface(iid, out);
    }
    HRESULT LockServer(BOOL) override { return S_OK; }

private:
    CComPtr<IUnknown> m_remote;
    std::shared_ptr<Channel> m_channel;
    std::atomic<ULONG> m_refs{0};
};

}  // namespace

HRESULT RemoteObject::MakeClassFactoryProxy(void** out) {
    auto* proxy = new (std::nothrow) ClassFactoryProxy(this, m_channel);
    if (!proxy)
        return E_OUTOFMEMORY;
    proxy->AddRef();
    *out = static_cast<IClassFactory*>(proxy);
    return S_OK;
}

// --- Channel ---------------------------------------------------------------------

std::shared_ptr<Channel> Channel::Open(REFCLSID clsid) {
    std::unique_ptr<win::machine::Connection> connection =
        win::machine::Connect("com:" + win::ToUtf8(win::GuidToString(clsid)));
    if (!connection)
        return nullptr;
    connection->SetReceiveLimit(kRemoteCallLimitMs, kRemoteCallRealFloorMs);
    return std::make_shared<Channel>(std::move(connection));
}

Channel::Channel(std::unique_ptr<win::machine::Connection> connection)
    : m_connection(std::move(connection)) {}

HRESULT Channel::Call(const Writer& request, std::string* answer) {
    std::string bytes;
    {
        std::lock_guard lock(m_callLock);
        if (m_broken || !m_connection->Call(request.Bytes(), &bytes)) {
            // A lost answer would pair the next call with this one's: the
            // connection is given up.
            m_broken = true;
            m_connection->Shutdown();
            return RPC_E_DISCONNECTED;
        }
    }
    return AnswerHResult(bytes, answer);
}

HRESULT Channel::ObjectFor(std::uint64_t id, IUnknown** out) {
    *out = nullptr;
    if (id == 0)
        return S_OK;
    std::lock_guard lock(m_objectsLock);
    auto it = m_objects.find(id);
    if (it != m_objects.end() && it->second->TryAddRef()) {
        it->second->AbsorbExport();
        *out = static_cast<IDispatch*>(it->second);
        return S_OK;
    }
    auto* object = new (std::nothrow) RemoteObject(shared_from_this(), id);
    if (!object)
        return E_OUTOFMEMORY;
    object->AddRef();
    m_objects[id] = object;
    *out = static_cast<IDispatch*>(object);
    return S_OK;
}

HRESULT Channel::CallForObject(const marshal::Writer& request, IUnknown** out) {
    *out = nullptr;
    std::string rest;
    HRESULT hr = Call(request, &rest);
    if (FAILED(hr))
        return hr;
    Reader r(rest);
    std::uint64_t id = r.U64();
    if (!r.Ok())
        return RPC_E_INVALID_DATA;
    return ObjectFor(id, out);
}

marshal::ObjectCodec Channel::Codec() {
    marshal::ObjectCodec codec;
    codec.toId = [this](IUnknown* object, std::uint64_t* id) {
        CComPtr<IDispatch> remote;
        if (FAILED(object->QueryInterface(IID_IQmRemoteObject, reinterpret_cast<void**>(&remote))))
            return false;
        auto* r = static_cast<RemoteObject*>(remote.p);
        if (r->Owner() != this)
            return false;
        *id = r->Id();
        return true;
    };
    codec.fromId = [this](std::uint64_t id, IUnknown** object) {
        return SUCCEEDED(ObjectFor(id, object)) && *object;
    };
    return codec;
}

void Channel::Released(RemoteObject* object, std::uint64_t id, std::uint32_t exports) {
    {
        std::lock_guard lock(m_objectsLock);
        auto it = m_objects.find(id);
        if (it != m_objects.end() && it->second == object)
            m_objects.erase(it);
    }
    Writer request;
    request.U8(static_cast<std::uint8_t>(Op::Release));
    request.U64(id);
    request.U32(exports);
    std::string rest;
    Call(request, &rest);  // a server that is gone has let go already
}

// --- Activation ---------------------------------------------------------------------

HRESULT GetRemoteClassObject(REFCLSID clsid, REFIID iid, void** out) {
    std::shared_ptr<Channel> channel = Channel::Open(clsid);
    if (!channel)
        return REGDB_E_CLASSNOTREG;
    Writer request;
    request.U8(static_cast<std::uint8_t>(Op::GetClassObject));
    request.Guid(clsid);
    request.Guid(iid);
    CComPtr<IUnknown> object;
    HRESULT hr = channel->CallForObject(request, &object);
    if (FAILED(hr) || !object)
        return FAILED(hr) ? hr : REGDB_E_CLASSNOTREG;
    return object->QueryInterface(iid, out);
}

HRESULT GetRemoteActiveObject(REFCLSID clsid, IUnknown** out) {
    std::shared_ptr<Channel> channel = Channel::Open(clsid);
    if (!channel)
        return MK_E_UNAVAILABLE;
    Writer request;
    request.U8(static_cast<std::uint8_t>(Op::GetActiveObject));
    request.Guid(clsid);
    HRESULT hr = channel->CallForObject(request, out);
    if (hr == RPC_E_DISCONNECTED)
        return MK_E_UNAVAILABLE;
    return SUCCEEDED(hr) && !*out ? MK_E_UNAVAILABLE : hr;
}

}  // namespace com::impl
