// The OLE embedding interfaces a mail client uses on a property page
// control, reduced to what it calls: a container hands an embedded control
// its client site through IOleObject::SetClientSite (the control asks that
// site for the container's own interfaces, a mail client's
// PropertyPageSite, by QueryInterface), activates it in its own window
// through IOleObject::DoVerb, and finds the control's window through
// IOleWindow.
//
// Deliberate departure from the published interfaces: IOleClientSite keeps
// none of its members (no container here saves or lays out an embedded
// object), IOleObject keeps only SetClientSite, GetClientSite and DoVerb,
// and IOleWindow only GetWindow and ContextSensitiveHelp; their IIDs are
// the published ones.
#pragma once

#include "platform/com/Unknown.h"
#include "platform/win/Types.h"
#include "platform/win/Window.h"

struct MSG;

// DoVerb's verbs.
constexpr LONG OLEIVERB_PRIMARY = 0;
constexpr LONG OLEIVERB_SHOW = -1;
constexpr LONG OLEIVERB_HIDE = -3;
constexpr LONG OLEIVERB_INPLACEACTIVATE = -5;

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
    // Asks the object to carry out verb: OLEIVERB_SHOW, OLEIVERB_PRIMARY and
    // OLEIVERB_INPLACEACTIVATE show it in a window of its own, a child of
    // parent, in rect (parent's client coordinates; null: its own size);
    // OLEIVERB_HIDE hides that window. msg, site and index are not looked at.
    // S_OK; E_FAIL when the window can't be made; E_NOTIMPL for another verb.
    virtual HRESULT DoVerb(LONG verb, MSG* msg, IOleClientSite* site, LONG index, HWND parent,
                           const RECT* rect) = 0;

protected:
    ~IOleObject() = default;
};

// {00000114-0000-0000-C000-000000000046}
inline constexpr IID IID_IOleWindow{0x00000114, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

// The window of an object that is shown in place.
struct IOleWindow : IUnknown {
    // The object's window; null and E_FAIL while it has none.
    virtual HRESULT GetWindow(HWND* window) = 0;
    virtual HRESULT ContextSensitiveHelp(BOOL enterMode) = 0;

protected:
    ~IOleWindow() = default;
};

QM_DECLARE_IID(IOleClientSite, IID_IOleClientSite);
QM_DECLARE_IID(IOleObject, IID_IOleObject);
QM_DECLARE_IID(IOleWindow, IID_IOleWindow);
