#include "platform/rdo/RdoSafeItem.h"

#include "platform/rdo/RdoUtils.h"

namespace rdo {

HRESULT MessageOfItem(IUnknown* item, CComPtr<RdoMessage>& out) {
    CComPtr<IUnknown> holder;
    IRdoProps* props = nullptr;
    HRESULT hr = PropsOf(item, holder, &props);
    if (FAILED(hr))
        return hr;
    RdoMessage* message = ImplOf<RdoMessage>(holder);
    if (!message)
        return E_INVALIDARG;
    out = message;
    return S_OK;
}

HRESULT RdoSafeMailItem::GetRecipients(QMRRecipients** recipients) {
    RDO_OWNER_THREAD_ONLY();
    if (!ClearOut(recipients))
        return E_POINTER;
    if (!m_message)
        return MAPI_E_NOT_INITIALIZED;
    return m_message->GetRecipients(recipients);
}

HRESULT RdoSafeMailItem::Send() {
    RDO_OWNER_THREAD_ONLY();
    if (!m_message)
        return MAPI_E_NOT_INITIALIZED;
    return m_message->Submit();
}

}  // namespace rdo
