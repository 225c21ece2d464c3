// What the add-in's property pages have in common, in the place that ATL's
// control bases (CComControl, IOleObjectImpl, IDispatchImpl) take for such
// pages: the COM object that answers for Outlook's PropertyPage and
// IOleObject, the dialog window on the page's template, the client site and
// page site that Outlook hands the page, the dirty flag, the parent tab's
// captured background, the image list of the page's bitmap buttons, the
// page's access to the running add-in, and the page's dual interface, which
// has no members of its own.
//
// A page derives from CPropertyPageControl<Page, Engine> and brings its own
// Apply and its message map (ProcessWindowMessage).
//
// Outlook creates one page per opening of its dialog by ProgID, gives it its
// client site, lets it show its window in the dialog's tab (DoVerb) and
// drives it through PropertyPage. Everything runs on Outlook's user-interface thread.
#pragma once

#include <memory>
#include <string>
#include <utility>

#include "Quillmere/core/AddinServer.h"
#include "Quillmere/ui/DialogWindow.h"
#include "Quillmere/ui/PageBackground.h"
#include "Quillmere/ui/PageRegistry.h"
#include "platform/com/ComObject.h"
#include "platform/com/Dispatch.h"
#include "platform/com/OleObject.h"
#include "platform/com/Variant.h"
#include "platform/outlook/Outlook.h"
#include "platform/rdo/QuillmereRDO.h"
#include "platform/win/ImageList.h"
#include "platform/win/Types.h"
#include "platform/win/Window.h"

namespace ui {

// What every page needs of the running add-in; each page's engine interface
// adds its own. A page's default reaches the engine of g_pEngine at every
// call; tests hand their own. UI thread only.
class IPageEngine {
public:
    virtual ~IPageEngine() = default;
    // False when no engine runs; what the page then leaves undone is the
    // page's to say.
    virtual bool Exists() = 0;
    // The engine's helper session (may be null; not AddRef'd).
    virtual QMRRDOSession* Session() = 0;
    // The add-in's directory, ending in a backslash ("" without engine).
    virtual std::wstring ModuleDirectory() = 0;
};

// Page: the derived page class (its deleting destructor runs at the last
// Release). Engine: the page's engine interface, derived from IPageEngine.
template <class Page, class Engine>
class CPropertyPageControl : public com::ComObject<Page, PropertyPage, IOleObject>,
                             public DialogWindow {
public:
    // PropertyPage. GetPageInfo: E_POINTER for a null out pointer, else
    // E_NOTIMPL. get_Dirty: the dirty flag, VARIANT_FALSE while it holds no
    // VT_BOOL (E_POINTER for null); S_OK. Apply is the page's own.
    HRESULT GetPageInfo(BSTR* helpFile, LONG* helpContext) override;
    HRESULT get_Dirty(VARIANT_BOOL* dirty) override;

    // IDispatch of a dual interface without members: no name is known
    // (DISP_E_UNKNOWNNAME, E_POINTER for null arrays), no member can be
    // invoked (DISP_E_MEMBERNOTFOUND); no type information (0, E_NOTIMPL).
    HRESULT GetTypeInfoCount(UINT* count) override;
    HRESULT GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
    HRESULT GetIDsOfNames(REFIID reserved, OLECHAR** names, UINT count, LCID lcid,
                          DISPID* ids) override;
    HRESULT Invoke(DISPID id, REFIID reserved, LCID lcid, WORD flags, DISPPARAMS* params,
                   VARIANT* result, EXCEPINFO* excepInfo, UINT* argErr) override;

    // IOleObject: Outlook hands the page control its client site before the
    // window exists. Keeps the site (AddRef'd) and the site's
    // PropertyPageSite (null when it has none) in place of earlier ones,
    // which it releases; dirty flag := VARIANT_FALSE. S_OK. GetClientSite:
    // the kept site, AddRef'd for the caller; E_POINTER for null, E_FAIL
    // (and null) without one.
    HRESULT SetClientSite(IOleClientSite* site) override;
    HRESULT GetClientSite(IOleClientSite** site) override;
    // IOleObject::DoVerb: Outlook shows the page in its dialog's tab. The
    // show and activate verbs make the page's window as a child of parent
    // when it has none (E_FAIL when it can't be made), move it to position
    // (when given) and show it; OLEIVERB_HIDE hides it. S_OK, or
    // OLEOBJ_S_INVALIDVERB for another verb.
    HRESULT DoVerb(LONG verb, MSG* msg, IOleClientSite* activeSite, LONG index, HWND parent,
                   const RECT* position) override;

    // Creates the page's window as a child of parent (null: a hidden child
    // of the desktop: a child dialog needs a parent, and without Outlook's
    // dialog the page lives, unseen, there). Null when it exists already or
    // cannot be made.
    HWND CreatePage(HWND parent);
    // Replaces the engine access (tests); the page owns it.
    void SetEngineAccess(std::unique_ptr<Engine> engine) { m_engine = std::move(engine); }

    // WM_CTLCOLORDLG / WM_CTLCOLORSTATIC: the captured tab background when
    // themed, else 0 (the default colours).
    LRESULT OnCtlColor(HDC dc, HWND control) { return m_background.OnCtlColor(dc, control); }

    // Dirty flag := VT_BOOL VARIANT_TRUE, then tells the page site.
    void MarkDirty();
    // The page site's OnStatusChange, when a page site is kept (the dirty
    // flag is not changed).
    void NotifySite();

    CComVariant m_dirty;
    CComPtr<IOleClientSite> m_clientSite;
    CComPtr<PropertyPageSite> m_pageSite;

protected:
    // The dirty flag starts VT_EMPTY; engine: the page's default access.
    CPropertyPageControl(WORD templateId, std::unique_ptr<Engine> engine)
        : DialogWindow(templateId), m_engine(std::move(engine)) {}
    ~CPropertyPageControl() override = default;

    // The first step of every page's destructor. The window goes first: its
    // last messages still reach the page's map and the controls the page
    // attached to its children, which the page's members hold. Then the page
    // site is released, the dirty flag cleared and the buttons' image list
    // freed (the buttons share it and leave it to the page).
    void ReleasePage();

    // The image list shared by the page's bitmap buttons, made by the page
    // when it attaches them; freed by ReleasePage.
    HIMAGELIST m_buttonImages = nullptr;
    // The parent tab (the window that Outlook gives the page) and its
    // captured background.
    PageBackground m_background;
    std::unique_ptr<Engine> m_engine;
};

// Adds Page to the add-in module's creatable classes under clsid, with the
// registration script kScriptId; an instance is made by com::Make and asked
// for the requested interface. Any thread (the pages call it from static
// initialisers).
template <class Page, WORD kScriptId>
void RegisterPropertyPage(const CLSID& clsid) {
    AddinClass page;
    page.registration.clsid = clsid;
    // The rest of the registration is the page's script.
    page.updateRegistry = [](bool doRegister, const std::wstring& modulePath) {
        return UpdatePageRegistry(kScriptId, doRegister, modulePath);
    };
    page.create = [](REFIID iid, void** out) -> HRESULT {
        CComPtr<Page> object = com::Make<Page>();
        return object ? object->QueryInterface(iid, out) : E_OUTOFMEMORY;
    };
    RegisterAddinClass(page);
}

// --- Implementation --------------------------------------------------------------

template <class Page, class Engine>
HRESULT CPropertyPageControl<Page, Engine>::GetPageInfo(BSTR* helpFile, LONG* helpContext) {
    if (!helpFile || !helpContext)
        return E_POINTER;
    return E_NOTIMPL;
}

template <class Page, class Engine>
HRESULT CPropertyPageControl<Page, Engine>::get_Dirty(VARIANT_BOOL* dirty) {
    if (!dirty)
        return E_POINTER;
    *dirty = m_dirty.vt == VT_BOOL ? m_dirty.boolVal : VARIANT_FALSE;
    return S_OK;
}

template <class Page, class Engine>
HRESULT CPropertyPageControl<Page, Engine>::GetTypeInfoCount(UINT* count) {
    if (count)
        *count = 0;
    return S_OK;
}

template <class Page, class Engine>
HRESULT CPropertyPageControl<Page, Engine>::GetTypeInfo(UINT, LCID, ITypeInfo** info) {
    if (info)
        *info = nullptr;
    return E_NOTIMPL;
}

template <class Page, class Engine>
HRESULT CPropertyPageControl<Page, Engine>::GetIDsOfNames(REFIID, OLECHAR** names, UINT count, LCID,
                                                          DISPID* ids) {
    if (!names || !ids || count == 0)
        return E_POINTER;
    for (UINT i = 0; i < count; ++i)
        ids[i] = DISPID_UNKNOWN;
    return DISP_E_UNKNOWNNAME;
}

template <class Page, class Engine>
HRESULT CPropertyPageControl<Page, Engine>::Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*,
                                                   VARIANT*, EXCEPINFO*, UINT*) {
    return DISP_E_MEMBERNOTFOUND;
}

template <class Page, class Engine>
HRESULT CPropertyPageControl<Page, Engine>::SetClientSite(IOleClientSite* site) {
    CComPtr<PropertyPageSite> pageSite;
    if (site)
        site->QueryInterface(IID_PropertyPageSite, reinterpret_cast<void**>(&pageSite));
    m_clientSite = site;
    m_pageSite = pageSite;
    m_dirty = CComVariant(false);
    return S_OK;
}

template <class Page, class Engine>
HRESULT CPropertyPageControl<Page, Engine>::GetClientSite(IOleClientSite** site) {
    if (!site)
        return E_POINTER;
    *site = m_clientSite;
    if (!*site)
        return E_FAIL;
    (*site)->AddRef();
    return S_OK;
}

template <class Page, class Engine>
HRESULT CPropertyPageControl<Page, Engine>::DoVerb(LONG verb, MSG*, IOleClientSite*, LONG,
                                                   HWND parent, const RECT* position) {
    if (verb == OLEIVERB_HIDE) {
        if (m_hWnd)
            ShowWindow(m_hWnd, SW_HIDE);
        return S_OK;
    }
    if (verb != OLEIVERB_SHOW && verb != OLEIVERB_INPLACEACTIVATE && verb != OLEIVERB_UIACTIVATE &&
        verb != OLEIVERB_PRIMARY)
        return OLEOBJ_S_INVALIDVERB;
    if (!m_hWnd && !CreatePage(parent))
        return E_FAIL;
    if (position)
        MoveWindow(m_hWnd, position->left, position->top, position->right - position->left,
                   position->bottom - position->top, TRUE);
    ShowWindow(m_hWnd, SW_SHOW);
    return S_OK;
}

template <class Page, class Engine>
HWND CPropertyPageControl<Page, Engine>::CreatePage(HWND parent) {
    return Create(parent ? parent : GetDesktopWindow());
}

template <class Page, class Engine>
void CPropertyPageControl<Page, Engine>::MarkDirty() {
    if (m_dirty.vt != VT_BOOL) {
        m_dirty.Clear();
        m_dirty = CComVariant(false);
    }
    m_dirty.boolVal = VARIANT_TRUE;
    NotifySite();
}

template <class Page, class Engine>
void CPropertyPageControl<Page, Engine>::NotifySite() {
    if (m_pageSite)
        m_pageSite->OnStatusChange();
}

template <class Page, class Engine>
void CPropertyPageControl<Page, Engine>::ReleasePage() {
    if (m_hWnd && IsWindow(m_hWnd))
        ::DestroyWindow(m_hWnd);
    m_pageSite.Release();
    m_dirty.Clear();
    if (m_buttonImages)
        ImageList_Destroy(m_buttonImages);
    m_buttonImages = nullptr;
}

}  // namespace ui
