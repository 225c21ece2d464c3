#include "platform/com/ConnectionPoint.h"

namespace com {

ConnectionPoint::ConnectionPoint(IConnectionPointContainer* owner, REFIID eventInterface)
    : m_owner(owner), m_iid(eventInterface) {}

HRESULT ConnectionPoint::QueryInterface(REFIID iid, void** out) {
    if (!out)
        return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IConnectionPoint) {
        *out = static_cast<IConnectionPoint*>(this);
        AddRef();
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

// The point lives as long as its owner; references to it keep the owner.
ULONG ConnectionPoint::AddRef() {
    return m_owner->AddRef();
}
ULONG ConnectionPoint::Release() {
    return m_owner->Release();
}

HRESULT ConnectionPoint::GetConnectionInterface(IID* iid) {
    if (!iid)
        return E_POINTER;
    *iid = m_iid;
    return S_OK;
}

HRESULT ConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** out) {
    if (!out)
        return E_POINTER;
    *out = m_owner;
    m_owner->AddRef();
    return S_OK;
}

HRESULT ConnectionPoint::Advise(IUnknown* sink, DWORD* cookie) {
    if (!sink || !cookie)
        return E_POINTER;
    *cookie = 0;
    CComPtr<IDispatch> dispatch;
    if (FAILED(sink->QueryInterface(m_iid, reinterpret_cast<void**>(&dispatch))) &&
        FAILED(sink->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch)))) {
        return CONNECT_E_CANNOTCONNECT;
    }
    std::lock_guard lock(m_mutex);
    *cookie = m_nextCookie++;
    m_sinks.emplace(*cookie, std::move(dispatch));
    return S_OK;
}

HRESULT ConnectionPoint::Unadvise(DWORD cookie) {
    CComPtr<IDispatch> dropped;  // released outside the lock
    std::lock_guard lock(m_mutex);
    auto it = m_sinks.find(cookie);
    if (it == m_sinks.end())
        return CONNECT_E_NOCONNECTION;
    dropped = std::move(it->second);
    m_sinks.erase(it);
    return S_OK;
}

void ConnectionPoint::Fire(DISPID id, const VARIANT* args, UINT count) {
    std::vector<std::pair<DWORD, CComPtr<IDispatch>>> sinks;
    {
        std::lock_guard lock(m_mutex);
        sinks.assign(m_sinks.begin(), m_sinks.end());
    }
    for (auto& [cookie, sink] : sinks) {
        {
            // A sink unadvised by an earlier handler of this round is not called.
            std::lock_guard lock(m_mutex);
            if (!m_sinks.count(cookie))
                continue;
        }
        CComVariant ignored;
        CallMethod(sink, id, args, count, &ignored);
    }
}

std::size_t ConnectionPoint::SinkCount() const {
    std::lock_guard lock(m_mutex);
    return m_sinks.size();
}

HRESULT Advise(IUnknown* source, REFIID eventInterface, IUnknown* sink, DWORD* cookie) {
    if (!source)
        return E_POINTER;
    CComPtr<IConnectionPointContainer> container;
    HRESULT hr =
        source->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container));
    if (FAILED(hr))
        return hr;
    CComPtr<IConnectionPoint> point;
    hr = container->FindConnectionPoint(eventInterface, &point);
    if (FAILED(hr))
        return hr;
    return point->Advise(sink, cookie);
}

HRESULT Unadvise(IUnknown* source, REFIID eventInterface, DWORD cookie) {
    if (!source)
        return E_POINTER;
    CComPtr<IConnectionPointContainer> container;
    HRESULT hr =
        source->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container));
    if (FAILED(hr))
        return hr;
    CComPtr<IConnectionPoint> point;
    hr = container->FindConnectionPoint(eventInterface, &point);
    if (FAILED(hr))
        return hr;
    return point->Unadvise(cookie);
}

}  // namespace com
