// Connection points: how event sinks are advised on a source object.
#pragma once

#include <map>
#include <mutex>
#include <vector>

#include "platform/com/Dispatch.h"

struct IConnectionPointContainer;

// {B196B286-BAB4-101A-B69C-00AA00341D07}
inline constexpr IID IID_IConnectionPoint{
    0xB196B286, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
// {B196B284-BAB4-101A-B69C-00AA00341D07}
inline constexpr IID IID_IConnectionPointContainer{
    0xB196B284, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};

struct IConnectionPoint : IUnknown {
    virtual HRESULT GetConnectionInterface(IID* iid) = 0;
    virtual HRESULT GetConnectionPointContainer(IConnectionPointContainer** out) = 0;
    // The sink must answer QueryInterface for the event interface (or IDispatch);
    // CONNECT_E_CANNOTCONNECT otherwise. The cookie is never 0.
    virtual HRESULT Advise(IUnknown* sink, DWORD* cookie) = 0;
    // CONNECT_E_NOCONNECTION for an unknown cookie.
    virtual HRESULT Unadvise(DWORD cookie) = 0;

protected:
    ~IConnectionPoint() = default;
};
QM_DECLARE_IID(IConnectionPoint, IID_IConnectionPoint);

struct IConnectionPointContainer : IUnknown {
    // CONNECT_E_NOCONNECTION when the object raises no such events.
    virtual HRESULT FindConnectionPoint(REFIID eventInterface, IConnectionPoint** out) = 0;

protected:
    ~IConnectionPointContainer() = default;
};
QM_DECLARE_IID(IConnectionPointContainer, IID_IConnectionPointContainer);

namespace com {

// The sink list of one event interface of a source object. The source owns
// it and hands it out as its IConnectionPoint. Thread-safe; Fire calls the
// sinks outside the lock, in advise order, so a sink may unadvise from its
// handler.
class ConnectionPoint final : public IConnectionPoint {
public:
    ConnectionPoint(IConnectionPointContainer* owner, REFIID eventInterface);

    HRESULT QueryInterface(REFIID iid, void** out) override;
    ULONG AddRef() override;
    ULONG Release() override;
    HRESULT GetConnectionInterface(IID* iid) override;
    HRESULT GetConnectionPointContainer(IConnectionPointContainer** out) override;
    HRESULT Advise(IUnknown* sink, DWORD* cookie) override;
    HRESULT Unadvise(DWORD cookie) override;

    // Invokes DISPID id on every sink with args in natural order.
    void Fire(DISPID id, const VARIANT* args = nullptr, UINT count = 0);
    std::size_t SinkCount() const;

private:
    IConnectionPointContainer* m_owner;  // not owned: the owner owns this
    IID m_iid;
    mutable std::mutex m_mutex;
    std::map<DWORD, CComPtr<IDispatch>> m_sinks;
    DWORD m_nextCookie = 1;
};

// Advises sink on source's connection point for eventInterface.
HRESULT Advise(IUnknown* source, REFIID eventInterface, IUnknown* sink, DWORD* cookie);
HRESULT Unadvise(IUnknown* source, REFIID eventInterface, DWORD cookie);

}  // namespace com
