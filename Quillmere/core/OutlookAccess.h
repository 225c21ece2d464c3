// What the add-in core asks of Outlook's object model: the members of the
// "MAPI" namespace, its Application and its folders that the engine and the
// configuration loading call.
//
// The core reaches Outlook only through this interface so that the engine and
// the configuration loading can be built and tested over any object model:
// the add-in's start-up hands the engine an implementation over Outlook's
// `_NameSpace`; tests hand it a fake. Every call happens on the thread that
// runs the engine's Outlook-side work (Outlook's thread) unless said otherwise.
#pragma once

#include <string>

#include "platform/com/Dispatch.h"
#include "platform/com/Unknown.h"
#include "platform/outlook/Outlook.h"

namespace core {

// One Outlook folder as the configuration loading keeps it.
struct OutlookFolder {
    CComPtr<IDispatch> folder;  // Outlook's MAPIFolder (one reference held)
    std::wstring name;          // MAPIFolder.Name ("" when it has none)
    std::wstring entryId;       // MAPIFolder.EntryID (hexadecimal text)
    std::wstring storeId;       // MAPIFolder.StoreID (hexadecimal text)
};

class IOutlookAccess {
public:
    virtual ~IOutlookAccess() = default;

    // _NameSpace::GetFolderFromID(entryId, storeId): S_OK with out filled;
    // the failing HRESULT (MAPI_E_NOT_FOUND for a deleted folder or a store
    // no longer in the profile) with out left empty.
    virtual HRESULT GetFolderFromID(const std::wstring& entryId, const std::wstring& storeId,
                                    OutlookFolder& out) = 0;
    // _Application::Version of the namespace's Application ("16.0.0.5000").
    virtual HRESULT GetVersion(std::wstring& version) = 0;
    // The namespace's MAPI session object (DISPID 0xF100, MAPIOBJECT):
    // S_OK with *session holding a reference for the caller (VT_UNKNOWN's
    // value), or the failing HRESULT with *session null.
    virtual HRESULT GetMAPIOBJECT(IUnknown** session) = 0;
    // The namespace itself, for the calls of the object model that the
    // shared helpers and the add-in object make (no reference added; null
    // when the access has no real namespace behind it).
    virtual _NameSpace* NameSpace() = 0;
};

}  // namespace core
