// The helper library's message and its parts: QMRMessage over a store
// message (or a message file), the appointment view, attachments and
// recipients. Owner thread only (see QuillmereRDO.h).
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/mapi/MessageContent.h"
#include "platform/rdo/RdoContext.h"
#include "platform/rdo/RdoObject.h"
#include "platform/store/Message.h"

namespace rdo {

// The message's data either in a store (saved by the store) or in a message
// file (saved by writing the file; no path: a detached message that cannot
// be saved).
class MessageBody {
public:
    explicit MessageBody(std::unique_ptr<store::Message> message) : m_message(std::move(message)) {}
    MessageBody(std::string hostPath, mapi::MessageContent content)
        : m_filePath(std::move(hostPath)), m_content(std::move(content)) {}
    // A message that someone else owns (the mail client's item, lent for
    // one call); it must outlive this body.
    explicit MessageBody(store::Message* borrowed) : m_borrowed(borrowed) {}

    store::Message* StoreMessage() const { return m_message ? m_message.get() : m_borrowed; }
    const mapi::PropertyBag& Props() const;
    void SetProp(ULONG tag, mapi::PropValue value);
    bool DeleteProp(ULONG tag);
    std::vector<mapi::PropertyBag>& Recipients();
    std::vector<mapi::AttachmentContent>& Attachments();
    // S_OK with the id; S_FALSE and 0 when unmapped without create;
    // MAPI_E_NOT_ENOUGH_RESOURCES when no id is left.
    HRESULT NamedId(const mapi::NamedProperty& name, bool create, USHORT* id);
    const mapi::PropValue* FindNamed(const mapi::NamedProperty& name);
    HRESULT SetNamed(const mapi::NamedProperty& name, mapi::PropValue value);
    HRESULT Save();
    HRESULT GetContent(mapi::MessageContent* out) const;
    HRESULT SetContent(const mapi::MessageContent& content);

private:
    std::unique_ptr<store::Message> m_message;
    store::Message* m_borrowed = nullptr;
    std::string m_filePath;
    mapi::MessageContent m_content;
};

class RdoMessage final : public RdoObject<RdoMessage, QMRMessage, IRdoProps> {
public:
    // context may be null for a message of a file.
    RdoMessage(std::shared_ptr<SessionContext> context, MessageBody body)
        : m_context(std::move(context)), m_body(std::move(body)) {}

    bool QueryExtraInterface(REFIID iid, void** out);

    // QMRMessage
    HRESULT GetMAPIOBJECT(IUnknown** mapiObject) override;
    HRESULT GetEntryID(BSTR* entryId) override;
    HRESULT GetStoreID(BSTR* storeId) override;
    HRESULT GetParent(QMRMAPIFolder** folder) override;
    HRESULT GetFields(VARIANT property, VARIANT* value) override;
    HRESULT SetFields(VARIANT property, VARIANT value) override;
    HRESULT GetMessageClass(BSTR* messageClass) override;
    HRESULT PutMessageClass(BSTR messageClass) override;
    HRESULT GetSubject(BSTR* subject) override;
    HRESULT PutSubject(BSTR subject) override;
    HRESULT GetBody(BSTR* body) override;
    HRESULT PutBody(BSTR body) override;
    HRESULT PutHTMLBody(BSTR html) override;
    HRESULT GetSenderName(BSTR* name) override;
    HRESULT GetTo(BSTR* to) override;
    HRESULT PutTo(BSTR to) override;
    HRESULT PutSentOnBehalfOfName(BSTR name) override;
    HRESULT GetTimeStamp(DATE* localTime) override;
    HRESULT SetMailTime(DATE localTime) override;
    HRESULT PutUnRead(VARIANT_BOOL unread) override;
    HRESULT PutImportance(LONG importance) override;
    HRESULT PutReminderSet(VARIANT_BOOL set) override;
    HRESULT PutDeleteAfterSubmit(VARIANT_BOOL deleteAfterSubmit) override;
    HRESULT PutAccount(IUnknown* account) override;
    HRESULT GetSubmitted(VARIANT_BOOL* submitted) override;
    HRESULT AbortSubmit() override;
    HRESULT GetAttachments(QMRAttachments** attachments) override;
    HRESULT GetRecipients(QMRRecipients** recipients) override;
    HRESULT ResolveRecipients(LONG showDialog, VARIANT_BOOL* allResolved) override;
    HRESULT Save() override;
    HRESULT Delete(LONG flags) override;
    HRESULT Move(QMRMAPIFolder* folder, QMRMessage** moved) override;
    HRESULT SaveAs(BSTR path, VARIANT type) override;
    HRESULT Import(BSTR path, LONG type) override;

    // IRdoProps
    bool IsOwnerThread() const override { return OnOwnerThread(); }
    HRESULT ReadProp(ULONG tag, mapi::PropValue* value) override;
    HRESULT WriteProp(ULONG tag, const mapi::PropValue& value, bool save) override;
    HRESULT NamedId(const mapi::NamedProperty& name, bool create, USHORT* id) override;

    // For the parts, the safe items and the utilities (owner thread).
    MessageBody& Body() { return m_body; }
    const std::shared_ptr<SessionContext>& Context() const { return m_context; }
    // MAPI_E_NOT_FOUND once deleted or moved away by Send.
    HRESULT CheckAlive() const { return m_gone ? MAPI_E_NOT_FOUND : S_OK; }
    // Resolves the recipients; *unresolved gets the count left.
    HRESULT Resolve(ULONG* unresolved);
    // The one submission of the library (QMRSafeMailItem::Send).
    HRESULT Submit();
    // Reads a property whatever its width; text forms as wide text.
    std::optional<std::wstring> Text(ULONG tag) const;

private:
    HRESULT ResolveField(const VARIANT& property, bool create, ULONG* tag);
    void UpdateDisplayTo();

    std::shared_ptr<SessionContext> m_context;
    MessageBody m_body;
    bool m_gone = false;
};

class RdoAppointment final : public RdoObject<RdoAppointment, QMRAppointment> {
public:
    explicit RdoAppointment(CComPtr<RdoMessage> message) : m_message(std::move(message)) {}
    HRESULT GetDate(DATE* localTime) override;
    HRESULT GetMeetingStatus(LONG* status) override;

private:
    CComPtr<RdoMessage> m_message;
};

class RdoMeetingItem final : public RdoObject<RdoMeetingItem, QMRMeetingItem> {
public:
    explicit RdoMeetingItem(CComPtr<RdoMessage> message) : m_message(std::move(message)) {}
    HRESULT GetMeetingStatus(LONG* status) override;

private:
    CComPtr<RdoMessage> m_message;
};

class RdoAttachments final : public RdoObject<RdoAttachments, QMRAttachments> {
public:
    explicit RdoAttachments(CComPtr<RdoMessage> message) : m_message(std::move(message)) {}
    HRESULT GetCount(LONG* count) override;
    HRESULT Item(LONG index, QMRAttachment** attachment) override;
    HRESULT Add(BSTR source, VARIANT type, VARIANT position, VARIANT displayName,
                QMRAttachment** attachment) override;

private:
    CComPtr<RdoMessage> m_message;
};

class RdoAttachment final : public RdoObject<RdoAttachment, QMRAttachment> {
public:
    RdoAttachment(CComPtr<RdoMessage> message, std::size_t index)
        : m_message(std::move(message)), m_index(index) {}
    HRESULT GetFileName(BSTR* name) override;
    HRESULT GetDisplayName(BSTR* name) override;
    HRESULT SaveAsFile(BSTR path) override;

private:
    HRESULT Find(mapi::AttachmentContent** out);
    CComPtr<RdoMessage> m_message;
    std::size_t m_index;
};

// The recipients of a message (live: they show the message's current list).
class RdoRecipients final : public RdoObject<RdoRecipients, QMRRecipients> {
public:
    explicit RdoRecipients(CComPtr<RdoMessage> message) : m_message(std::move(message)) {}
    HRESULT GetCount(LONG* count) override;
    HRESULT Item(LONG index, QMRRecipient** recipient) override;
    HRESULT Add(BSTR name, QMRRecipient** recipient) override;
    HRESULT ResolveAll(VARIANT_BOOL* allResolved) override;

private:
    CComPtr<RdoMessage> m_message;
};

class RdoRecipient final : public RdoObject<RdoRecipient, QMRRecipient> {
public:
    RdoRecipient(CComPtr<RdoMessage> message, std::size_t index)
        : m_message(std::move(message)), m_index(index) {}
    HRESULT GetName(BSTR* name) override;
    HRESULT GetAddress(BSTR* address) override;
    HRESULT GetResolved(VARIANT_BOOL* resolved) override;

private:
    const mapi::PropertyBag* Row();
    CComPtr<RdoMessage> m_message;
    std::size_t m_index;
};

// A new RdoMessage over a store message.
CComPtr<RdoMessage> MakeStoreMessage(const std::shared_ptr<SessionContext>& context,
                                     std::unique_ptr<store::Message> message);

}  // namespace rdo
