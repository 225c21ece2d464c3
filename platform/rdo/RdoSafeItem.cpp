#include "platform/rdo/RdoSafeItem.h"

#include "platform/rdo/RdoUtils.h"

namespace rdo {

HRESULT WrapItem(IUnknown* item, WrappedItem* out) {
    *out = WrappedItem();
    if (!item)
        return E_INVALIDARG;
    if (RdoMessage* own = ImplOf<RdoMessage>(item)) {
        if (!own->OnOwnerThread())
            return RPC_E_WRONG_THREAD;
        out->message = own;
        return S_OK;
    }
    CComPtr<IUnknown> mapiObject = MapiObjectOf(item);
    if (!mapiObject)
        return E_INVALIDARG;
    CComPtr<IQmMapiMessage> clientItem;
    if (SUCCEEDED(mapiObject->QueryInterface(IID_IQmMapiMessage,
                                             reinterpret_cast<void**>(&clientItem)))) {
        out->clientItem = clientItem;
        return S_OK;
    }
    // This library's own message identity: opened once, kept.
    return WithProps(mapiObject, [&](IRdoProps* props) {
        RdoMessage* message = dynamic_cast<RdoMessage*>(props);
        if (!message)
            return E_INVALIDARG;
        out->message = message;
        return S_OK;
    });
}

HRESULT WithWrapped(const WrappedItem& wrapped, const std::function<HRESULT(RdoMessage*)>& action) {
    if (wrapped.message)
        return action(wrapped.message);
    if (wrapped.clientItem)
        return WithClientItem(wrapped.clientItem, action);
    return MAPI_E_NOT_INITIALIZED;
}

HRESULT RdoSafeMailItem::GetRecipients(QMRRecipients** recipients) {
    RDO_OWNER_THREAD_ONLY();
    if (!ClearOut(recipients))
        return E_POINTER;
    if (m_item.Empty())
        return MAPI_E_NOT_INITIALIZED;
    if (!m_item.message)
        return MAPI_E_NO_SUPPORT;
    return m_item.message->GetRecipients(recipients);
}

HRESULT RdoSafeMailItem::Send() {
    RDO_OWNER_THREAD_ONLY();
    return With([](RdoMessage* m) { return m->Submit(); });
}

}  // namespace rdo
