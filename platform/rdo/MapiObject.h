// The MAPI objects behind the mail client's objects: what the namespace, a
// folder or an item hands out as its MAPIOBJECT (DISPID 0xF100), and what
// the helper library's PutMAPIOBJECT, PutItem and HrGetOneProp accept.
//
// A MAPI object names a thing by identity only (profile, store, entry id);
// it holds no store connection, so it may pass between threads (unlike the
// helper library's own objects). The mail client stand-in makes them with
// CreateMapiObject.
#pragma once

#include <string>
#include <vector>

#include "platform/com/Unknown.h"
#include "platform/store/StoreTypes.h"

namespace rdo {

enum class MapiObjectKind : LONG {
    Session = 0,  // the profile's MAPI session
    Store = 1,
    Folder = 3,
    Message = 5,
};

struct MapiIdentity {
    MapiObjectKind kind = MapiObjectKind::Session;
    // The profile's name as the profile provider knows it ("" = default).
    std::wstring profileName;
    // When set, the profile is this description file instead (the mail
    // client's own profile), or, with no file either, just these stores.
    std::string profilePath;
    std::vector<std::string> storePaths;
    // Empty for a session; for a store its own entry id.
    store::Bytes storeEntryId;
    // The folder's or message's entry id; empty for a session or store.
    store::Bytes entryId;
};

// {4C01E04F-F5E3-4DF4-A31C-CC44F45E14EE}
inline constexpr IID IID_IQMRMapiObject{
    0x4C01E04F, 0xF5E3, 0x4DF4, {0xA3, 0x1C, 0xCC, 0x44, 0xF4, 0x5E, 0x14, 0xEE}};

struct IQMRMapiObject : IUnknown {
    // Any thread; the identity is fixed for the object's life.
    virtual const MapiIdentity& Identity() const = 0;

protected:
    ~IQMRMapiObject() = default;
};

// A new MAPI object for identity (first reference). E_POINTER, E_OUTOFMEMORY.
HRESULT CreateMapiObject(const MapiIdentity& identity, IUnknown** out);
// The identity of a MAPI object of this platform, or null.
const MapiIdentity* MapiIdentityOf(IUnknown* object);

}  // namespace rdo

QM_DECLARE_IID(rdo::IQMRMapiObject, rdo::IID_IQMRMapiObject);
