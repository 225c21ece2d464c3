// QMRSafeMailItem and QMRSafeJournalItem: wrappers around one message (a
// QMRMessage, or a mail client item reached through its MAPIOBJECT). The
// mail wrapper's Send is the library's only submission. Owner thread only.
#pragma once

#include <functional>

#include "platform/outlook/MapiObjects.h"
#include "platform/rdo/RdoMessage.h"
#include "platform/rdo/RdoObject.h"

namespace rdo {

// What a safe item wraps: one of the library's messages, or a mail client
// item reached under the object model's lock for each call.
struct WrappedItem {
    CComPtr<RdoMessage> message;
    CComPtr<IQmMapiMessage> clientItem;
    bool Empty() const { return !message && !clientItem; }
};
// S_OK, E_INVALIDARG for anything that is no message, RPC_E_WRONG_THREAD for
// a message of another thread.
HRESULT WrapItem(IUnknown* item, WrappedItem* out);
// Runs action on the wrapped message. MAPI_E_NOT_INITIALIZED when empty.
HRESULT WithWrapped(const WrappedItem& wrapped, const std::function<HRESULT(RdoMessage*)>& action);

template <class Derived, class Interface>
class RdoSafeItemBase : public RdoObject<Derived, Interface, IRdoProps> {
public:
    HRESULT PutItem(IUnknown* item) override {
        RDO_OWNER_THREAD_ONLY();
        WrappedItem wrapped;
        HRESULT hr = WrapItem(item, &wrapped);
        if (FAILED(hr))
            return hr;
        m_item = wrapped;
        return S_OK;
    }
    // A mail client item has no message object to hand out: MAPI_E_NO_SUPPORT.
    HRESULT GetItem(QMRMessage** message) override {
        RDO_OWNER_THREAD_ONLY();
        if (!ClearOut(message))
            return E_POINTER;
        if (m_item.Empty())
            return MAPI_E_NOT_INITIALIZED;
        if (!m_item.message)
            return MAPI_E_NO_SUPPORT;
        return PutObject<QMRMessage>(m_item.message, message);
    }
    HRESULT GetFields(VARIANT property, VARIANT* value) override {
        RDO_OWNER_THREAD_ONLY();
        if (value)
            VariantInit(value);
        return With([&](RdoMessage* m) { return m->GetFields(property, value); });
    }
    HRESULT SetFields(VARIANT property, VARIANT value) override {
        RDO_OWNER_THREAD_ONLY();
        return With([&](RdoMessage* m) { return m->SetFields(property, value); });
    }
    HRESULT GetBody(BSTR* body) override {
        RDO_OWNER_THREAD_ONLY();
        if (body)
            *body = nullptr;
        HRESULT hr = With([&](RdoMessage* m) { return m->GetBody(body); });
        if (FAILED(hr) && body && !*body)
            PutText(L"", body);
        return hr;
    }
    HRESULT PutBody(BSTR body) override {
        RDO_OWNER_THREAD_ONLY();
        return With([&](RdoMessage* m) { return m->PutBody(body); });
    }
    HRESULT SaveAs(BSTR path, VARIANT type) override {
        RDO_OWNER_THREAD_ONLY();
        return With([&](RdoMessage* m) { return m->SaveAs(path, type); });
    }

    bool IsOwnerThread() const override { return this->OnOwnerThread(); }
    HRESULT ReadProp(ULONG tag, mapi::PropValue* value) override {
        return With([&](RdoMessage* m) { return m->ReadProp(tag, value); });
    }
    HRESULT WriteProp(ULONG tag, const mapi::PropValue& value, bool save) override {
        return With([&](RdoMessage* m) { return m->WriteProp(tag, value, save); });
    }
    HRESULT NamedId(const mapi::NamedProperty& name, bool create, USHORT* id) override {
        return With([&](RdoMessage* m) { return m->NamedId(name, create, id); });
    }

protected:
    HRESULT With(const std::function<HRESULT(RdoMessage*)>& action) {
        return WithWrapped(m_item, action);
    }
    WrappedItem m_item;
};

class RdoSafeMailItem final : public RdoSafeItemBase<RdoSafeMailItem, QMRSafeMailItem> {
public:
    // Of a mail client item: MAPI_E_NO_SUPPORT (its recipients live in the
    // object model; resolve them there).
    HRESULT GetRecipients(QMRRecipients** recipients) override;
    HRESULT Send() override;
};

class RdoSafeJournalItem final : public RdoSafeItemBase<RdoSafeJournalItem, QMRSafeJournalItem> {};

}  // namespace rdo
