// core::IOutlookAccess over Outlook's "MAPI" namespace (_NameSpace), as the
// add-in's start-up hands it to the engine.
#pragma once

#include "Quillmere/core/OutlookAccess.h"
#include "platform/outlook/Outlook.h"

class COutlookNamespaceAccess final : public core::IOutlookAccess {
public:
    // Holds a reference to nameSpace.
    explicit COutlookNamespaceAccess(_NameSpace* nameSpace) : m_nameSpace(nameSpace) {}

    HRESULT GetFolderFromID(const std::wstring& entryId, const std::wstring& storeId,
                            core::OutlookFolder& out) override;
    HRESULT GetVersion(std::wstring& version) override;
    // Asks the namespace through IDispatch::Invoke (DISPID 0xF100, LCID
    // 0x400, method or property get); only a VT_UNKNOWN result counts.
    HRESULT GetMAPIOBJECT(IUnknown** session) override;
    _NameSpace* NameSpace() override { return m_nameSpace; }

private:
    CComPtr<_NameSpace> m_nameSpace;
};
