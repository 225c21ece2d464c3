#include "platform/com/LocalServer.h"

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/com/ClassRegistry.h"
#include "platform/com/Dispatch.h"
#include "platform/com/Marshal.h"
#include "platform/com/RemoteObject.h"
#include "platform/win/MachineChannel.h"
#include "platform/win/Text.h"

namespace {

using com::marshal::ObjectCodec;
using com::marshal::Op;
using com::marshal::Reader;
using com::marshal::Writer;

struct Registration {
    DWORD cookie = 0;
    CLSID clsid{};
    CComPtr<IUnknown> object;
    bool active = false;  // in the running object table; else a class object
};

// One service per class that this process serves to the machine.
struct Service {
    int registrations = 0;
    std::unique_ptr<win::machine::Listener> listener;
};

// Leaked on purpose: registrations may be revoked from static destructors.
struct ServerTable {
    std::mutex mutex;
    std::vector<Registration> registrations;  // guarded by mutex
    std::map<CLSID, Service> services;        // guarded by mutex
    DWORD nextCookie = 1;                     // guarded by mutex
};

ServerTable& Table() {
    static ServerTable* table = new ServerTable();
    return *table;
}

// The first registration of clsid of that kind (a new reference), or null.
CComPtr<IUnknown> Registered(REFCLSID clsid, bool active) {
    ServerTable& t = Table();
    std::lock_guard lock(t.mutex);
    for (const Registration& r : t.registrations) {
        if (r.clsid == clsid && r.active == active)
            return r.object;
    }
    return nullptr;
}

std::string ServiceName(REFCLSID clsid) {
    return "com:" + win::ToUtf8(win::GuidToString(clsid));
}

// The objects one connection's client holds, by id: each with the number of
// times it was handed out, let go when the client released them all or the
// connection ends.
class Exports {
public:
    std::uint64_t Export(IUnknown* object) {
        CComPtr<IUnknown> identity;
        object->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity));
        auto found = m_ids.find(identity.p);
        if (found != m_ids.end()) {
            ++m_objects[found->second].count;
            return found->second;
        }
        std::uint64_t id = m_next++;
        m_ids[identity.p] = id;
        m_objects[id] = Entry{identity, 1};
        return id;
    }
    IUnknown* Find(std::uint64_t id) {
        auto it = m_objects.find(id);
        return it == m_objects.end() ? nullptr : it->second.object.p;
    }
    void Release(std::uint64_t id, std::uint32_t count) {
        auto it = m_objects.find(id);
        if (it == m_objects.end())
            return;
        if (count >= it->second.count) {
            m_ids.erase(it->second.object.p);
            m_objects.erase(it);
        } else {
            it->second.count -= count;
        }
    }
    ObjectCodec Codec() {
        ObjectCodec codec;
        codec.toId = [this](IUnknown* object, std::uint64_t* id) {
            *id = Export(object);
            return true;
        };
        codec.fromId = [this](std::uint64_t id, IUnknown** object) {
            IUnknown* found = Find(id);
            if (!found)
                return false;
            found->AddRef();
            *object = found;
            return true;
        };
        return codec;
    }

private:
    struct Entry {
        CComPtr<IUnknown> object;
        std::uint32_t count = 0;
    };
    std::map<std::uint64_t, Entry> m_objects;
    std::map<IUnknown*, std::uint64_t> m_ids;
    std::uint64_t m_next = 1;
};

void AnswerObject(Writer* answer, HRESULT hr, Exports& exports, IUnknown* object) {
    answer->I32(SUCCEEDED(hr) && !object ? E_NOINTERFACE : hr);
    answer->U64(SUCCEEDED(hr) && object ? exports.Export(object) : 0);
}

void ServeInvoke(Reader& r, Exports& exports, Writer* answer) {
    IUnknown* object = exports.Find(r.U64());
    DISPID id = r.I32();
    LCID lcid = r.U32();
    WORD flags = r.U16();
    std::uint32_t count = r.U32();
    ObjectCodec codec = exports.Codec();
    std::vector<CComVariant> args;
    args.reserve(count < 64 ? count : 64);
    for (std::uint32_t i = 0; i < count && r.Ok(); ++i) {
        args.emplace_back();
        r.Variant(&args.back(), codec);
    }
    std::uint32_t namedCount = r.U32();
    std::vector<DISPID> named;
    for (std::uint32_t i = 0; i < namedCount && r.Ok() && i < count; ++i)
        named.push_back(r.I32());
    CComVariant result;
    EXCEPINFO exception;
    UINT badArgument = 0;
    HRESULT hr = RPC_E_INVALID_DATA;
    CComPtr<IDispatch> dispatch;
    if (!r.Ok() || named.size() != namedCount) {
        hr = RPC_E_INVALID_DATA;
    } else if (!object ||
               FAILED(object->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch)))) {
        hr = RPC_E_DISCONNECTED;
    } else {
        std::vector<VARIANT> shallow(args.begin(), args.end());
        DISPPARAMS params;
        params.rgvarg = shallow.empty() ? nullptr : shallow.data();
        params.cArgs = static_cast<UINT>(shallow.size());
        params.rgdispidNamedArgs = named.empty() ? nullptr : named.data();
        params.cNamedArgs = static_cast<UINT>(named.size());
        hr =
            dispatch->Invoke(id, IID_NULL, lcid, flags, &params, &result, &exception, &badArgument);
    }
    answer->I32(hr);
    if (FAILED(answer->Variant(result, codec)))
        answer->U16(VT_EMPTY);  // a result the wire can't carry arrives empty
    answer->U32(badArgument);
    answer->U32(static_cast<std::uint32_t>(exception.scode));
    answer->NullableText(exception.bstrDescription ? exception.bstrDescription : L"",
                         exception.bstrDescription ? SysStringLen(exception.bstrDescription) : 0);
    SysFreeString(exception.bstrSource);
    SysFreeString(exception.bstrDescription);
    SysFreeString(exception.bstrHelpFile);
}

// One request of the connection's client; false ends the connection.
bool Serve(const std::string& request, Exports& exports, std::string* out) {
    Reader r(request);
    Op op = static_cast<Op>(r.U8());
    Writer answer;
    switch (op) {
        case Op::GetClassObject:
        case Op::GetActiveObject: {
            CLSID clsid = r.Guid();
            IID iid = op == Op::GetClassObject ? r.Guid() : IID_IUnknown;
            if (!r.Ok())
                return false;
            CComPtr<IUnknown> registered = Registered(clsid, op == Op::GetActiveObject);
            CComPtr<IUnknown> object;
            HRESULT hr = registered
                             ? registered->QueryInterface(iid, reinterpret_cast<void**>(&object))
                         : op == Op::GetActiveObject ? MK_E_UNAVAILABLE
                                                     : REGDB_E_CLASSNOTREG;
            AnswerObject(&answer, hr, exports, object);
            break;
        }
        case Op::QueryInterface: {
            IUnknown* object = exports.Find(r.U64());
            IID iid = r.Guid();
            if (!r.Ok())
                return false;
            CComPtr<IUnknown> found;
            HRESULT hr = object ? object->QueryInterface(iid, reinterpret_cast<void**>(&found))
                                : RPC_E_DISCONNECTED;
            answer.I32(hr);
            break;
        }
        case Op::GetIDsOfNames: {
            IUnknown* object = exports.Find(r.U64());
            std::uint32_t count = r.U32();
            std::vector<std::wstring> names;
            for (std::uint32_t i = 0; i < count && r.Ok(); ++i)
                names.push_back(r.Text());
            LCID lcid = r.U32();
            if (!r.Ok() || count == 0)
                return false;
            std::vector<OLECHAR*> pointers;
            for (auto& n : names)
                pointers.push_back(n.data());
            std::vector<DISPID> ids(count, DISPID_UNKNOWN);
            CComPtr<IDispatch> dispatch;
            HRESULT hr =
                object ? object->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch))
                       : RPC_E_DISCONNECTED;
            if (SUCCEEDED(hr))
                hr = dispatch->GetIDsOfNames(IID_NULL, pointers.data(), count, lcid, ids.data());
            answer.I32(hr);
            answer.U32(count);
            for (DISPID id : ids)
                answer.I32(id);
            break;
        }
        case Op::Invoke:
            ServeInvoke(r, exports, &answer);
            if (!r.Ok())
                return false;
            break;
        case Op::CreateInstance: {
            IUnknown* object = exports.Find(r.U64());
            IID iid = r.Guid();
            if (!r.Ok())
                return false;
            CComPtr<IClassFactory> factory;
            HRESULT hr = object ? object->QueryInterface(IID_IClassFactory,
                                                         reinterpret_cast<void**>(&factory))
                                : RPC_E_DISCONNECTED;
            CComPtr<IUnknown> made;
            if (SUCCEEDED(hr))
                hr = factory->CreateInstance(nullptr, iid, reinterpret_cast<void**>(&made));
            AnswerObject(&answer, hr, exports, made);
            break;
        }
        case Op::Release: {
            std::uint64_t id = r.U64();
            std::uint32_t count = r.U32();
            if (!r.Ok())
                return false;
            exports.Release(id, count);
            answer.I32(S_OK);
            break;
        }
        default:
            return false;
    }
    *out = answer.Bytes();
    return true;
}

void ServeConnection(win::machine::Connection& connection) {
    // The served objects may be called from any thread; the thread is in
    // the multithreaded apartment for what they create meanwhile.
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    {
        Exports exports;
        std::string request, answer;
        while (connection.Receive(&request)) {
            if (!Serve(request, exports, &answer) || !connection.Send(answer))
                break;
        }
    }  // the client's objects are let go here, on the connection's thread
    CoUninitialize();
}

HRESULT Register(REFCLSID clsid, IUnknown* object, bool active, DWORD* cookie) {
    if (!object || !cookie)
        return E_INVALIDARG;
    *cookie = 0;
    ServerTable& t = Table();
    std::lock_guard lock(t.mutex);
    Service& service = t.services[clsid];
    if (!service.listener) {
        service.listener = win::machine::Listener::Open(ServiceName(clsid), &ServeConnection);
        if (!service.listener) {
            t.services.erase(clsid);
            return CO_E_OBJISREG;
        }
    }
    ++service.registrations;
    Registration r;
    r.cookie = t.nextCookie++;
    r.clsid = clsid;
    r.object = object;
    r.active = active;
    t.registrations.push_back(r);
    *cookie = r.cookie;
    return S_OK;
}

HRESULT Revoke(DWORD cookie, bool active) {
    ServerTable& t = Table();
    std::unique_ptr<win::machine::Listener> closing;
    CComPtr<IUnknown> object;
    {
        std::lock_guard lock(t.mutex);
        auto it = std::find_if(
            t.registrations.begin(), t.registrations.end(),
            [&](const Registration& r) { return r.cookie == cookie && r.active == active; });
        if (it == t.registrations.end())
            return CO_E_OBJNOTREG;
        object = it->object;
        auto service = t.services.find(it->clsid);
        if (service != t.services.end() && --service->second.registrations == 0) {
            closing = std::move(service->second.listener);
            t.services.erase(service);
        }
        t.registrations.erase(it);
    }
    // Outside the lock: the connections' threads look registrations up
    // while they end their calls.
    closing.reset();
    return S_OK;
}

}  // namespace

HRESULT CoRegisterClassObject(REFCLSID clsid, IUnknown* factory, DWORD context, DWORD,
                              DWORD* cookie) {
    if (!(context & CLSCTX_LOCAL_SERVER))
        return E_INVALIDARG;
    return Register(clsid, factory, false, cookie);
}

HRESULT CoRevokeClassObject(DWORD cookie) {
    return Revoke(cookie, false);
}

HRESULT RegisterActiveObject(IUnknown* object, REFCLSID clsid, DWORD, DWORD* cookie) {
    return Register(clsid, object, true, cookie);
}

HRESULT RevokeActiveObject(DWORD cookie, void*) {
    return Revoke(cookie, true);
}

HRESULT GetActiveObject(REFCLSID clsid, void*, IUnknown** object) {
    if (!object)
        return E_POINTER;
    *object = nullptr;
    if (CComPtr<IUnknown> own = Registered(clsid, true)) {
        *object = own.Detach();
        return S_OK;
    }
    return com::impl::GetRemoteActiveObject(clsid, object);
}

namespace com::impl {

HRESULT GetLocalClassObject(REFCLSID clsid, REFIID iid, void** out) {
    *out = nullptr;
    if (CComPtr<IUnknown> own = Registered(clsid, false))
        return own->QueryInterface(iid, out);
    HRESULT hr = GetRemoteClassObject(clsid, iid, out);
    if (hr != REGDB_E_CLASSNOTREG)
        return hr;
    // A local server that is registered but not running: the platform
    // would start it; the stand-in does not.
    std::wstring server;
    if (ReadClassesString(L"CLSID\\" + win::GuidToString(clsid) + L"\\LocalServer32", nullptr,
                          server))
        return CO_E_SERVER_EXEC_FAILURE;
    return REGDB_E_CLASSNOTREG;
}

}  // namespace com::impl
