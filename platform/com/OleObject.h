// The two OLE embedding interfaces a mail client uses on a property page
// control, reduced to what it calls: a container hands an embedded control
// its client site through IOleObject::SetClientSite, and the control asks
// that site for the container's own interfaces (a mail client's
// PropertyPageSite) by QueryInterface.
//
// Deliberate departure from the published interfaces: IOleClientSite keeps
// none of its members (no container here saves, shows or lays out an
// embedded object) and IOleObject keeps only SetClientSite and
// GetClientSite; their IIDs are the published ones.
#pragma once

#include "platform/com/Unknown.h"

// {00000118-0000-0000-C000-000000000046}
inline constexpr IID IID_IOleClientSite{0x00000118, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
// {00000112-0000-0000-C000-000000000046}
inline constexpr IID IID_IOleObject{0x00000112, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

// The container's side of an embedding; reached only for QueryInterface.
struct IOleClientSite : IUnknown {
protected:
    ~IOleClientSite() = default;
};

// An embedded object (a property page control).
struct IOleObject : IUnknown {
    // Keeps site (null: lets go of the one it has); the object may ask it
    // for further interfaces now or later. S_OK.
    virtual HRESULT SetClientSite(IOleClientSite* site) = 0;
    // The kept site, AddRef'ed; null and E_FAIL without one.
    virtual HRESULT GetClientSite(IOleClientSite** site) = 0;

protected:
    ~IOleObject() = default;
};

QM_DECLARE_IID(IOleClientSite, IID_IOleClientSite);
QM_DECLARE_IID(IOleObject, IID_IOleObject);
