// The client's side of objects of another process (LocalServer.h): the
// connection to the serving process and the objects that stand for the ones
// it exported on it. Internal to platform/com.
//
// A RemoteObject is the identity of one exported object in this process:
// IUnknown and IDispatch are its own (every IDispatch call travels to the
// serving process), IClassFactory is the runtime's built-in proxy, and any
// other interface is asked of the serving process and, when the object has
// it, made by the proxy library registered for it (DualProxy.h). The
// connection lives as long as any of its objects; the serving process lets
// go of an object when this process released it.
//
// Threading: any thread; calls on one connection are serialised.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/com/Dispatch.h"
#include "platform/com/Marshal.h"
#include "platform/win/MachineChannel.h"

namespace com::impl {

// How long (platform ms) a call waits for its answer, and its real floor.
constexpr unsigned long long kRemoteCallLimitMs = 120000;
constexpr unsigned long long kRemoteCallRealFloorMs = 30000;

class RemoteObject;

class Channel : public std::enable_shared_from_this<Channel> {
public:
    // The connection to the process that serves clsid; null when none does.
    static std::shared_ptr<Channel> Open(REFCLSID clsid);
    explicit Channel(std::unique_ptr<win::machine::Connection> connection);

    // Sends request and reads the answer's HRESULT; *answer is positioned
    // after it. RPC_E_DISCONNECTED when the connection is gone (for good);
    // RPC_E_INVALID_DATA for an answer that can't be read.
    HRESULT Call(const marshal::Writer& request, std::string* answer);
    // A new reference to the object exported as id (null for id 0), taking
    // over that export.
    HRESULT ObjectFor(std::uint64_t id, IUnknown** out);
    // Call for a request whose answer is one object's id: *out is that
    // object (null when the answer names none). The failures of Call, and
    // RPC_E_INVALID_DATA for an answer without an id.
    HRESULT CallForObject(const marshal::Writer& request, IUnknown** out);
    // Objects travel as this connection's ids; an object of this process,
    // or of another connection, can't.
    marshal::ObjectCodec Codec();
    // The last reference of object went: the serving process lets go of the
    // exports it stood for.
    void Released(RemoteObject* object, std::uint64_t id, std::uint32_t exports);

private:
    std::mutex m_callLock;
    std::unique_ptr<win::machine::Connection> m_connection;  // guarded by m_callLock
    bool m_broken = false;                                   // guarded by m_callLock
    std::mutex m_objectsLock;
    std::map<std::uint64_t, RemoteObject*> m_objects;  // guarded by m_objectsLock; not owned
};

// The class object of clsid in another process, asked for iid;
// REGDB_E_CLASSNOTREG when no process serves it.
HRESULT GetRemoteClassObject(REFCLSID clsid, REFIID iid, void** out);
// The active object of clsid in another process; MK_E_UNAVAILABLE.
HRESULT GetRemoteActiveObject(REFCLSID clsid, IUnknown** out);

}  // namespace com::impl
