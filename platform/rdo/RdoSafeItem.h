// QMRSafeMailItem and QMRSafeJournalItem: wrappers around one message (a
// QMRMessage, or a mail client item reached through its MAPIOBJECT). The
// mail wrapper's Send is the library's only submission. Owner thread only.
#pragma once

#include "platform/rdo/RdoMessage.h"
#include "platform/rdo/RdoObject.h"

namespace rdo {

// The message an item names: S_OK, E_INVALIDARG for anything that is no
// message, RPC_E_WRONG_THREAD for a message of another thread.
HRESULT MessageOfItem(IUnknown* item, CComPtr<RdoMessage>& out);

template <class Derived, class Interface>
class RdoSafeItemBase : public RdoObject<Derived, Interface, IRdoProps> {
public:
    HRESULT PutItem(IUnknown* item) override {
        RDO_OWNER_THREAD_ONLY();
        CComPtr<RdoMessage> message;
        HRESULT hr = rdo::MessageOfItem(item, message);
        if (FAILED(hr))
            return hr;
        m_message = message;
        return S_OK;
    }
    HRESULT GetItem(QMRMessage** message) override {
        RDO_OWNER_THREAD_ONLY();
        if (!ClearOut(message))
            return E_POINTER;
        if (!m_message)
            return MAPI_E_NOT_INITIALIZED;
        return PutObject<QMRMessage>(m_message, message);
    }
    HRESULT GetFields(VARIANT property, VARIANT* value) override {
        RDO_OWNER_THREAD_ONLY();
        if (!m_message) {
            if (value)
                VariantInit(value);
            return MAPI_E_NOT_INITIALIZED;
        }
        return m_message->GetFields(property, value);
    }
    HRESULT SetFields(VARIANT property, VARIANT value) override {
        RDO_OWNER_THREAD_ONLY();
        return m_message ? m_message->SetFields(property, value) : MAPI_E_NOT_INITIALIZED;
    }
    HRESULT GetBody(BSTR* body) override {
        RDO_OWNER_THREAD_ONLY();
        if (!m_message) {
            PutText(L"", body);
            return MAPI_E_NOT_INITIALIZED;
        }
        return m_message->GetBody(body);
    }
    HRESULT PutBody(BSTR body) override {
        RDO_OWNER_THREAD_ONLY();
        return m_message ? m_message->PutBody(body) : MAPI_E_NOT_INITIALIZED;
    }
    HRESULT SaveAs(BSTR path, VARIANT type) override {
        RDO_OWNER_THREAD_ONLY();
        return m_message ? m_message->SaveAs(path, type) : MAPI_E_NOT_INITIALIZED;
    }

    bool IsOwnerThread() const override { return this->OnOwnerThread(); }
    HRESULT ReadProp(ULONG tag, mapi::PropValue* value) override {
        return m_message ? m_message->ReadProp(tag, value) : MAPI_E_NOT_INITIALIZED;
    }
    HRESULT WriteProp(ULONG tag, const mapi::PropValue& value, bool save) override {
        return m_message ? m_message->WriteProp(tag, value, save) : MAPI_E_NOT_INITIALIZED;
    }
    HRESULT NamedId(const mapi::NamedProperty& name, bool create, USHORT* id) override {
        return m_message ? m_message->NamedId(name, create, id) : MAPI_E_NOT_INITIALIZED;
    }

protected:
    CComPtr<RdoMessage> m_message;
};

class RdoSafeMailItem final : public RdoSafeItemBase<RdoSafeMailItem, QMRSafeMailItem> {
public:
    HRESULT GetRecipients(QMRRecipients** recipients) override;
    HRESULT Send() override;
};

class RdoSafeJournalItem final : public RdoSafeItemBase<RdoSafeJournalItem, QMRSafeJournalItem> {};

}  // namespace rdo
