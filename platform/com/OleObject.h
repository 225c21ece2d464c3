// The two OLE embedding interfaces a mail client uses on a property page
// control, reduced to what it calls: a container hands an embedded control
// its client site through IOleObject::SetClientSite, and the control asks
// that site for the container's own interfaces (a mail client's
// PropertyPageSite) by QueryInterface.
//
// A container shows the control by DoVerb: the control makes its window
// inside the container's window (a mail client's dialog tab).
//
// Deliberate departure from the published interfaces: IOleClientSite keeps
// none of its members (no container here saves or lays out an embedded
// object) and IOleObject keeps only SetClientSite, GetClientSite and DoVerb,
// in that order; their IIDs are the published ones.
#pragma once

#include "platform/com/Unknown.h"
#include "platform/win/MessageLoop.h"
#include "platform/win/Window.h"

// {00000118-0000-0000-C000-000000000046}
inline constexpr IID IID_IOleClientSite{0x00000118, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
// {00000112-0000-0000-C000-000000000046}
inline constexpr IID IID_IOleObject{0x00000112, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

// The container's side of an embedding; reached only for QueryInterface.
struct IOleClientSite : IUnknown {
protected:
    ~IOleClientSite() = default;
};

constexpr LONG OLEIVERB_PRIMARY = 0;
constexpr LONG OLEIVERB_SHOW = -1;
constexpr LONG OLEIVERB_HIDE = -3;
constexpr LONG OLEIVERB_UIACTIVATE = -4;
constexpr LONG OLEIVERB_INPLACEACTIVATE = -5;
constexpr HRESULT OLEOBJ_S_INVALIDVERB = 0x00040180;

// An embedded object (a property page control).
struct IOleObject : IUnknown {
    // Keeps site (null: lets go of the one it has); the object may ask it
    // for further interfaces now or later. S_OK.
    virtual HRESULT SetClientSite(IOleClientSite* site) = 0;
    // The kept site, AddRef'ed; null and E_FAIL without one.
    virtual HRESULT GetClientSite(IOleClientSite** site) = 0;
    // OLEIVERB_SHOW, _INPLACEACTIVATE, _UIACTIVATE, _PRIMARY: the object
    // shows its window as a child of parent at position (in parent's
    // coordinates), made first when it has none; OLEIVERB_HIDE hides it.
    // msg, activeSite and index are the caller's context (may be null / 0).
    // S_OK; E_FAIL when the window can't be made; OLEOBJ_S_INVALIDVERB for
    // another verb; E_NOTIMPL for an object without a window.
    virtual HRESULT DoVerb(LONG verb, MSG* msg, IOleClientSite* activeSite, LONG index, HWND parent,
                           const RECT* position) = 0;

protected:
    ~IOleObject() = default;
};

QM_DECLARE_IID(IOleClientSite, IID_IOleClientSite);
QM_DECLARE_IID(IOleObject, IID_IOleObject);
