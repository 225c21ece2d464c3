#include "Quillmere/core/OpenedElements.h"

#include <string>

#include "Quillmere/core/DebugLog.h"

namespace {

HRESULT GetByDispid(IDispatch* object, DISPID id, CComVariant& value) {
    constexpr LCID kUserDefault = 0x400;
    DISPPARAMS none;
    return object->Invoke(id, IID_NULL, kUserDefault, DISPATCH_METHOD | DISPATCH_PROPERTYGET, &none,
                          &value, nullptr, nullptr);
}

}  // namespace

OpenedElements::OpenedElements(_Application* application) {
    if (!application)
        return;
    CComPtr<_Inspector> inspector;
    if (FAILED(application->ActiveInspector(&inspector)) || !inspector)
        return;
    CComPtr<IDispatch> item;
    if (FAILED(inspector->get_CurrentItem(&item)) || !item)
        return;
    CComVariant itemId;
    if (FAILED(GetByDispid(item, outlook::dispid::kEntryID, itemId)) || itemId.vt != VT_BSTR)
        return;
    m_itemId = itemId.bstrVal;

    CComVariant parent;
    if (FAILED(GetByDispid(item, outlook::dispid::kParent, parent)) || parent.vt != VT_DISPATCH ||
        !parent.pdispVal)
        return;
    CComVariant name;
    if (SUCCEEDED(GetByDispid(parent.pdispVal, outlook::dispid::kName, name)) && name.vt == VT_BSTR)
        WriteDebugLog((L"OpenedElements:Foldername is: " + std::wstring(name.bstrVal)).c_str());
    else
        WriteDebugLog("OpenedElements:Foldername is: ?");
    CComVariant folderId;
    if (SUCCEEDED(GetByDispid(parent.pdispVal, outlook::dispid::kEntryID, folderId)) &&
        folderId.vt == VT_BSTR) {
        m_folderId = folderId.bstrVal;
        m_valid = true;
    }
}
