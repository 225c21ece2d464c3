#include "platform/rdo/RdoUtils.h"

#include <memory>
#include <mutex>

#include "platform/outlook/MapiObjects.h"
#include "platform/rdo/MapiObject.h"
#include "platform/rdo/PropVariant.h"
#include "platform/rdo/RdoContext.h"
#include "platform/rdo/RdoFolder.h"
#include "platform/rdo/RdoMessage.h"
#include "platform/store/Folder.h"
#include "platform/store/Message.h"
#include "platform/store/Session.h"
#include "platform/win/MessageBox.h"

namespace rdo {
using namespace mapi;
namespace {

constexpr DISPID kDispidMapiObject = 0xF100;

std::mutex g_dialogLock;
std::shared_ptr<AddressBookDialogHook> g_dialogHook;

// Opens what a MAPI identity names as one of the library's objects.
HRESULT OpenIdentity(const MapiIdentity& identity, CComPtr<IUnknown>& holder) {
    std::shared_ptr<SessionContext> context;
    HRESULT hr = SessionContext::ForThread(SourceOf(identity), &context);
    if (FAILED(hr))
        return hr;
    store::Session* session = nullptr;
    if (identity.kind == MapiObjectKind::Store || !identity.storeEntryId.empty())
        hr = context->StoreByEntryId(identity.storeEntryId, &session);
    else
        hr = context->StoreOfEntryId(identity.entryId, &session);
    if (FAILED(hr))
        return hr;
    switch (identity.kind) {
        case MapiObjectKind::Store:
            holder = com::Make<RdoStore>(context, session)->GetUnknown();
            return S_OK;
        case MapiObjectKind::Folder: {
            store::Folder folder;
            hr = session->OpenFolder(identity.entryId, &folder);
            if (FAILED(hr))
                return hr;
            holder = com::Make<RdoFolder>(context, folder)->GetUnknown();
            return S_OK;
        }
        case MapiObjectKind::Message: {
            std::unique_ptr<store::Message> message;
            hr = session->OpenMessage(identity.entryId, &message);
            if (FAILED(hr))
                return hr;
            holder = MakeStoreMessage(context, std::move(message))->GetUnknown();
            return S_OK;
        }
        default:
            return E_INVALIDARG;
    }
}

}  // namespace

void SetAddressBookDialogHook(AddressBookDialogHook hook) {
    auto next = hook ? std::make_shared<AddressBookDialogHook>(std::move(hook)) : nullptr;
    std::lock_guard<std::mutex> lock(g_dialogLock);
    g_dialogHook = std::move(next);
}

HRESULT WithProps(IUnknown* object, const PropsAction& action) {
    if (!object)
        return E_INVALIDARG;
    CComPtr<IRdoProps> own;
    if (SUCCEEDED(object->QueryInterface(IID_IRdoProps, reinterpret_cast<void**>(&own)))) {
        if (!own->IsOwnerThread())
            return RPC_E_WRONG_THREAD;
        return action(own);
    }
    CComPtr<IUnknown> mapiObject = MapiObjectOf(object);
    if (!mapiObject)
        return E_INVALIDARG;
    CComPtr<IQmMapiMessage> item;
    if (SUCCEEDED(mapiObject->QueryInterface(IID_IQmMapiMessage, reinterpret_cast<void**>(&item))))
        return WithClientItem(item, [&](RdoMessage* message) { return action(message); });
    CComPtr<IUnknown> opened;
    const MapiIdentity* identity = MapiIdentityOf(mapiObject);
    if (identity && identity->kind != MapiObjectKind::Folder) {
        if (identity->kind == MapiObjectKind::Session)
            return E_INVALIDARG;
        HRESULT hr = OpenIdentity(*identity, opened);
        if (FAILED(hr))
            return hr;
    } else {
        // A folder: this library's identity or the mail client's folder.
        std::shared_ptr<SessionContext> context;
        store::Folder folder;
        HRESULT hr = OpenMapiFolder(mapiObject, &context, &folder);
        if (FAILED(hr))
            return hr;
        opened = com::Make<RdoFolder>(context, folder)->GetUnknown();
    }
    if (FAILED(opened->QueryInterface(IID_IRdoProps, reinterpret_cast<void**>(&own))))
        return E_INVALIDARG;
    return action(own);
}

CComPtr<IUnknown> MapiObjectOf(IUnknown* object) {
    if (!object)
        return nullptr;
    CComPtr<IUnknown> probe;
    if (MapiIdentityOf(object) ||
        SUCCEEDED(object->QueryInterface(IID_IQmMapiMessage, reinterpret_cast<void**>(&probe))) ||
        SUCCEEDED(object->QueryInterface(IID_IQmMapiFolder, reinterpret_cast<void**>(&probe))))
        return object;
    // A mail client object: its MAPI object is a property of it.
    CComPtr<IDispatch> dispatch;
    if (FAILED(object->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch))))
        return nullptr;
    CComVariant result;
    if (FAILED(com::GetProperty(dispatch, kDispidMapiObject, &result)) || result.vt != VT_UNKNOWN ||
        !result.punkVal)
        return nullptr;
    return CComPtr<IUnknown>(result.punkVal);
}

HRESULT WithClientItem(IQmMapiMessage* item, const std::function<HRESULT(RdoMessage*)>& action) {
    std::string storePath;
    store::Bytes entryId;
    HRESULT hr = item->GetMessageLocation(&storePath, &entryId);
    if (FAILED(hr))
        return hr;
    std::shared_ptr<SessionContext> context;
    hr = SessionContext::ForStorePath(storePath, &context);
    if (FAILED(hr))
        return hr;
    // The item's message is lent for this call only; the view made over it
    // must not outlive it (nothing of it is handed out).
    return item->AccessMessage([&](store::Message& message) -> HRESULT {
        CComPtr<RdoMessage> view = com::Make<RdoMessage>(context, MessageBody(&message));
        if (!view)
            return E_OUTOFMEMORY;
        return action(view);
    });
}

HRESULT RdoUtils::HrGetOneProp(IUnknown* object, ULONG tag, VARIANT* value) {
    RDO_OWNER_THREAD_ONLY();
    if (!value)
        return E_POINTER;
    VariantInit(value);
    return WithProps(object, [&](IRdoProps* props) {
        PropValue found;
        HRESULT hr = props->ReadProp(tag, &found);
        if (FAILED(hr))
            return hr;
        return VariantFromProp(found, value);
    });
}

HRESULT RdoUtils::HrSetOneProp(IUnknown* object, ULONG tag, VARIANT value, VARIANT_BOOL save) {
    RDO_OWNER_THREAD_ONLY();
    PropValue converted;
    HRESULT hr = PropFromVariant(tag, value, &converted);
    if (FAILED(hr))
        return hr;
    return WithProps(object, [&](IRdoProps* props) {
        return props->WriteProp(tag, converted, save != VARIANT_FALSE);
    });
}

HRESULT RdoUtils::GetIDsFromNames(IUnknown* object, BSTR propertySet, VARIANT name,
                                  VARIANT_BOOL create, ULONG* tag) {
    RDO_OWNER_THREAD_ONLY();
    if (!tag)
        return E_POINTER;
    *tag = 0;
    auto set = win::ParseGuid(
        std::wstring_view(propertySet ? propertySet : L"", SysStringLen(propertySet)));
    if (!set)
        return E_INVALIDARG;
    NamedProperty named;
    if (name.vt == VT_BSTR) {
        if (SysStringLen(name.bstrVal) == 0)
            return E_INVALIDARG;
        named = NamedProperty::ByName(*set, std::wstring(name.bstrVal, SysStringLen(name.bstrVal)));
    } else {
        CComVariant asLong;
        if (FAILED(VariantChangeType(&asLong, &name, 0, VT_I4)))
            return E_INVALIDARG;
        named = NamedProperty::ById(*set, asLong.lVal);
    }
    USHORT id = 0;
    HRESULT hr = WithProps(object, [&](IRdoProps* props) {
        return props->NamedId(named, create != VARIANT_FALSE, &id);
    });
    if (FAILED(hr))
        return hr;
    // An unmapped name (asked without create) gives the tag 0 with a warning,
    // as the platform's call reports names it could not map.
    if (id == 0)
        return store::MAPI_W_ERRORS_RETURNED;
    *tag = PROP_TAG(PT_UNSPECIFIED, id);
    return S_OK;
}

HRESULT RdoUtils::CompareEntryIDs(BSTR entryId1, BSTR entryId2, VARIANT_BOOL* same) {
    RDO_OWNER_THREAD_ONLY();
    if (!same)
        return E_POINTER;
    *same = VARIANT_FALSE;
    auto a = BytesFromIdText(entryId1);
    auto b = BytesFromIdText(entryId2);
    if (!a || !b)
        return E_INVALIDARG;
    *same = *a == *b ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

HRESULT RdoUtils::BinaryToText(VARIANT binary, BSTR* text) {
    RDO_OWNER_THREAD_ONLY();
    if (!text)
        return E_POINTER;
    *text = nullptr;
    // Straight from the array's bytes into the text: one allocation.
    const VARIANT& v = binary;
    if (v.vt != (VT_ARRAY | VT_UI1) || !v.parray || v.parray->cDims != 1)
        return E_INVALIDARG;
    static const wchar_t kDigits[] = L"0123456789ABCDEF";
    const auto* data = static_cast<const BYTE*>(v.parray->pvData);
    const ULONG size = v.parray->rgsabound[0].cElements;
    BSTR made = SysAllocStringLen(nullptr, size * 2);
    if (!made)
        return E_OUTOFMEMORY;
    for (ULONG i = 0; i < size; ++i) {
        made[2 * i] = kDigits[data[i] >> 4];
        made[2 * i + 1] = kDigits[data[i] & 0x0F];
    }
    *text = made;
    return S_OK;
}

HRESULT RdoUtils::TextToBinary(BSTR text, VARIANT* binary) {
    RDO_OWNER_THREAD_ONLY();
    if (!binary)
        return E_POINTER;
    VariantInit(binary);
    auto bytes = BytesFromIdText(text);
    if (!bytes)
        return E_INVALIDARG;
    CComVariant made = BinaryVariant(bytes->data(), bytes->size());
    if (made.vt != (VT_ARRAY | VT_UI1))
        return E_OUTOFMEMORY;
    return made.Detach(binary);
}

HRESULT RdoUtils::ConvertModificationTime(VARIANT utcTime, DATE* localTime) {
    RDO_OWNER_THREAD_ONLY();
    if (!localTime)
        return E_POINTER;
    *localTime = 0;
    if (utcTime.vt == VT_DATE)
        *localTime = UtcDateToLocal(utcTime.date);
    else if (utcTime.vt == VT_R8)
        *localTime = UtcDateToLocal(utcTime.dblVal);
    else
        return E_INVALIDARG;
    return S_OK;
}

HRESULT RdoUtils::AddressBookDialog(VARIANT, VARIANT title, VARIANT, VARIANT, VARIANT, VARIANT,
                                    VARIANT, VARIANT, VARIANT, QMRRecipients** chosen) {
    RDO_OWNER_THREAD_ONLY();
    if (!ClearOut(chosen))
        return E_POINTER;
    std::shared_ptr<AddressBookDialogHook> hook;
    {
        std::lock_guard<std::mutex> lock(g_dialogLock);
        hook = g_dialogHook;
    }
    std::wstring caption;
    if (title.vt == VT_BSTR)
        caption.assign(title.bstrVal ? title.bstrVal : L"", SysStringLen(title.bstrVal));
    std::vector<std::wstring> names;
    HRESULT hr = S_OK;
    if (hook) {
        hr = (*hook)(caption, &names);
    } else {
        // Without a pick hook the dialog is a plain modal box: OK picks no
        // one, Cancel cancels.
        int answer = MessageBoxW(nullptr, caption.c_str(), L"Address Book", MB_OKCANCEL);
        hr = answer == IDOK ? S_OK : MAPI_E_USER_CANCEL;
    }
    if (FAILED(hr))
        return hr;
    // The choice travels as the recipients of a detached message.
    CComPtr<RdoMessage> holder = com::Make<RdoMessage>(nullptr, MessageBody("", MessageContent()));
    if (!holder)
        return E_OUTOFMEMORY;
    CComPtr<QMRRecipients> list;
    hr = holder->GetRecipients(&list);
    if (FAILED(hr))
        return hr;
    for (const std::wstring& n : names) {
        CComBSTR text(n);
        hr = list->Add(text, nullptr);
        if (FAILED(hr))
            return hr;
    }
    ULONG unresolved = 0;
    holder->Resolve(&unresolved);
    *chosen = list.Detach();
    return S_OK;
}

HRESULT RdoUtils::GetVersion(BSTR* version) {
    RDO_OWNER_THREAD_ONLY();
    return PutText(kRdoVersion, version);
}

HRESULT RdoUtils::Cleanup() {
    RDO_OWNER_THREAD_ONLY();
    SessionContext::ForgetThreadContexts();
    return S_OK;
}

}  // namespace rdo
