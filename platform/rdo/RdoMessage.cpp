#include "platform/rdo/RdoMessage.h"

#include <fstream>
#include <iterator>

#include "platform/msgfile/MsgFile.h"
#include "platform/rdo/MailTransport.h"
#include "platform/rdo/MapiObject.h"
#include "platform/rdo/PropVariant.h"
#include "platform/rdo/RdoFolder.h"
#include "platform/rdo/RdoSession.h"
#include "platform/store/Folder.h"
#include "platform/store/Session.h"
#include "platform/win/Paths.h"
#include "platform/win/Text.h"

namespace rdo {
using namespace mapi;
namespace {

// Named properties the message kinds use.
const NamedProperty kReminderSet = NamedProperty::ById(PSETID_Common, store::kLidReminderSet);
const NamedProperty kAccountName = NamedProperty::ById(PSETID_Common, 0x8580);
const NamedProperty kAccountStamp = NamedProperty::ById(PSETID_Common, 0x8581);
const NamedProperty kAppointmentStart = NamedProperty::ById(PSETID_Appointment, 0x820D);
const NamedProperty kAppointmentEnd = NamedProperty::ById(PSETID_Appointment, 0x820E);
// PidLidAppointmentStateFlags: meeting 1, received 2, cancelled 4.
const NamedProperty kAppointmentStateFlags = NamedProperty::ById(PSETID_Appointment, 0x8217);
constexpr LONG kStateFlagBits = 7;
constexpr LONG kStateMeeting = 1;

std::wstring View(BSTR text) {
    return std::wstring(text ? text : L"", SysStringLen(text));
}

std::wstring Trim(std::wstring_view text) {
    std::size_t begin = text.find_first_not_of(L" \t\r\n");
    if (begin == std::wstring_view::npos)
        return {};
    std::size_t end = text.find_last_not_of(L" \t\r\n");
    return std::wstring(text.substr(begin, end - begin + 1));
}

std::wstring FileNameOf(const std::wstring& windowsPath) {
    std::size_t slash = windowsPath.find_last_of(L"\\/");
    return slash == std::wstring::npos ? windowsPath : windowsPath.substr(slash + 1);
}

HRESULT ReadHostFile(const std::string& hostPath, Bytes* out) {
    std::ifstream in(hostPath, std::ios::binary);
    if (!in)
        return MAPI_E_NOT_FOUND;
    out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return in.bad() ? MAPI_E_DISK_ERROR : S_OK;
}

HRESULT WriteHostFile(const std::string& hostPath, const Bytes& data) {
    std::ofstream out(hostPath, std::ios::binary | std::ios::trunc);
    if (!out)
        return MAPI_E_DISK_ERROR;
    out.write(reinterpret_cast<const char*>(data.data()),
              static_cast<std::streamsize>(data.size()));
    out.close();
    return out ? S_OK : MAPI_E_DISK_ERROR;
}

HRESULT HostPathOf(BSTR windowsPath, std::string* out) {
    auto host = win::HostPath(View(windowsPath));
    if (!host)
        return E_INVALIDARG;
    *out = std::move(*host);
    return S_OK;
}

// Only the message file format is offered.
bool IsMsgFormat(const VARIANT& type) {
    if (type.vt == VT_EMPTY || type.vt == VT_NULL || IsMissingArgument(type))
        return true;
    CComVariant asLong;
    if (FAILED(VariantChangeType(&asLong, &type, 0, VT_I4)))
        return false;
    return asLong.lVal == kQmrFormatMsg;
}

// Plain text of an HTML body, for PR_BODY beside PR_HTML: tags dropped,
// line breaks and paragraph ends as CR LF, the common entities decoded.
std::wstring PlainTextOfHtml(std::wstring_view html) {
    std::wstring text;
    for (std::size_t i = 0; i < html.size(); ++i) {
        if (html[i] == L'<') {
            std::size_t end = html.find(L'>', i);
            if (end == std::wstring_view::npos)
                break;
            std::wstring tag = win::ToLower(html.substr(i + 1, end - i - 1));
            if (tag == L"br" || tag == L"br/" || tag == L"br /" || tag == L"/p" || tag == L"/div")
                text += L"\r\n";
            i = end;
        } else if (html[i] == L'&') {
            static const std::pair<std::wstring_view, wchar_t> kEntities[] = {{L"&amp;", L'&'},
                                                                              {L"&lt;", L'<'},
                                                                              {L"&gt;", L'>'},
                                                                              {L"&quot;", L'"'},
                                                                              {L"&nbsp;", L' '}};
            bool decoded = false;
            for (const auto& [name, ch] : kEntities) {
                if (html.substr(i, name.size()) == name) {
                    text.push_back(ch);
                    i += name.size() - 1;
                    decoded = true;
                    break;
                }
            }
            if (!decoded)
                text.push_back(L'&');
        } else if (html[i] != L'\r' && html[i] != L'\n') {
            text.push_back(html[i]);
        }
    }
    return text;
}

LONG Flags(const PropertyBag& props) {
    return static_cast<LONG>(props.GetInteger(PR_MESSAGE_FLAGS).value_or(0));
}

}  // namespace

// --- MessageBody -------------------------------------------------------------

const PropertyBag& MessageBody::Props() const {
    return StoreMessage() ? StoreMessage()->Props() : m_content.props;
}

void MessageBody::SetProp(ULONG tag, PropValue value) {
    if (StoreMessage())
        StoreMessage()->SetProp(tag, std::move(value));
    else
        m_content.props.Set(tag, std::move(value));
}

bool MessageBody::DeleteProp(ULONG tag) {
    return StoreMessage() ? StoreMessage()->DeleteProp(tag) : m_content.props.Erase(tag);
}

std::vector<PropertyBag>& MessageBody::Recipients() {
    return StoreMessage() ? StoreMessage()->Recipients() : m_content.recipients;
}

std::vector<AttachmentContent>& MessageBody::Attachments() {
    return StoreMessage() ? StoreMessage()->Attachments() : m_content.attachments;
}

HRESULT MessageBody::NamedId(const NamedProperty& name, bool create, USHORT* id) {
    *id = 0;
    if (StoreMessage()) {
        std::vector<USHORT> ids;
        HRESULT hr = StoreMessage()->GetSession().GetIDsFromNames({name}, create, &ids);
        if (FAILED(hr))
            return hr;
        *id = ids.empty() ? 0 : ids.front();
    } else {
        auto mapped = create ? m_content.MapName(name) : m_content.IdOfName(name);
        if (create && !mapped)
            return MAPI_E_NOT_ENOUGH_RESOURCES;
        *id = mapped.value_or(0);
    }
    return *id ? S_OK : S_FALSE;
}

const PropValue* MessageBody::FindNamed(const NamedProperty& name) {
    USHORT id = 0;
    if (NamedId(name, false, &id) != S_OK)
        return nullptr;
    return Props().Find(PROP_TAG(PT_UNSPECIFIED, id));
}

HRESULT MessageBody::SetNamed(const NamedProperty& name, PropValue value) {
    USHORT id = 0;
    HRESULT hr = NamedId(name, true, &id);
    if (hr != S_OK)
        return FAILED(hr) ? hr : MAPI_E_NOT_ENOUGH_RESOURCES;
    SetProp(PROP_TAG(value.Type(), id), std::move(value));
    return S_OK;
}

HRESULT MessageBody::Save() {
    if (StoreMessage())
        return StoreMessage()->Save();
    if (m_filePath.empty())
        return MAPI_E_NO_SUPPORT;
    return msgfile::WriteMsgFile(m_filePath, m_content);
}

HRESULT MessageBody::GetContent(MessageContent* out) const {
    if (StoreMessage())
        return StoreMessage()->GetContent(out);
    *out = m_content;
    return S_OK;
}

HRESULT MessageBody::SetContent(const MessageContent& content) {
    if (StoreMessage())
        return StoreMessage()->SetContent(content);
    m_content = content;
    return S_OK;
}

CComPtr<RdoMessage> MakeStoreMessage(const std::shared_ptr<SessionContext>& context,
                                     std::unique_ptr<store::Message> message) {
    return com::Make<RdoMessage>(context, MessageBody(std::move(message)));
}

// --- RdoMessage --------------------------------------------------------------

namespace {

// Whether messageClass is base or one of its sub-classes (base, a dot and
// more), without regard to case, as message classes compare.
bool IsClassOrSubclass(const std::wstring& messageClass, std::wstring_view base) {
    const std::wstring lower = win::ToLower(messageClass);
    return lower.compare(0, base.size(), base) == 0 &&
           (lower.size() == base.size() || lower[base.size()] == L'.');
}

// The meeting bits of the message's PidLidAppointmentStateFlags (0 when it
// has none).
LONG StateFlags(RdoMessage& message) {
    const PropValue* v = message.Body().FindNamed(kAppointmentStateFlags);
    if (!v || !v->Integer())
        return 0;
    return static_cast<LONG>(*v->Integer()) & kStateFlagBits;
}

// A tear-off view of message: the view holds the message. The caller's
// QueryInterface adds a reference to the message, which the view's first
// reference stands for, so that one is given back here.
template <class View, class Interface>
bool HandOutView(RdoMessage* message, void** out) {
    auto view = com::Make<View>(CComPtr<RdoMessage>(message));
    if (!view)
        return false;
    *out = static_cast<Interface*>(view.Detach());
    message->Release();
    return true;
}

}  // namespace

bool RdoMessage::QueryExtraInterface(REFIID iid, void** out) {
    if ((iid != IID_QMRAppointment && iid != IID_QMRMeetingItem) || !OnOwnerThread())
        return false;
    const std::wstring messageClass = Text(PR_MESSAGE_CLASS).value_or(L"");
    if (iid == IID_QMRAppointment)
        return IsClassOrSubclass(messageClass, L"ipm.appointment") &&
               HandOutView<RdoAppointment, QMRAppointment>(this, out);
    return IsClassOrSubclass(messageClass, L"ipm.schedule.meeting") &&
           HandOutView<RdoMeetingItem, QMRMeetingItem>(this, out);
}

std::optional<std::wstring> RdoMessage::Text(ULONG tag) const {
    return TextOf(m_body.Props(), tag);
}

HRESULT RdoMessage::GetMAPIOBJECT(IUnknown** mapiObject) {
    RDO_OWNER_THREAD_ONLY();
    if (!ClearOut(mapiObject))
        return E_POINTER;
    store::Message* message = m_body.StoreMessage();
    if (!message || !message->IsSaved() || !m_context)
        return MAPI_E_NO_SUPPORT;
    return CreateMapiObject(IdentityIn(*m_context, static_cast<int>(MapiObjectKind::Message),
                                       message->GetSession().Info().entryId, message->EntryId()),
                            mapiObject);
}

HRESULT RdoMessage::GetEntryID(BSTR* entryId) {
    RDO_OWNER_THREAD_ONLY();
    store::Message* message = m_body.StoreMessage();
    return PutText(message ? HexFromBytes(message->EntryId()) : std::wstring(), entryId);
}

HRESULT RdoMessage::GetStoreID(BSTR* storeId) {
    RDO_OWNER_THREAD_ONLY();
    store::Message* message = m_body.StoreMessage();
    return PutText(message ? HexFromBytes(message->GetSession().Info().entryId) : std::wstring(),
                   storeId);
}

HRESULT RdoMessage::GetParent(QMRMAPIFolder** folder) {
    RDO_OWNER_THREAD_ONLY();
    if (!ClearOut(folder))
        return E_POINTER;
    store::Message* message = m_body.StoreMessage();
    if (!message)
        return MAPI_E_NOT_FOUND;
    store::Folder parent;
    HRESULT hr = message->GetSession().OpenFolder(message->FolderEntryId(), &parent);
    if (FAILED(hr))
        return hr;
    return PutObject(com::Make<RdoFolder>(m_context, parent), folder);
}

HRESULT RdoMessage::ResolveField(const VARIANT& property, bool create, ULONG* tag) {
    auto field = ParseFieldName(property);
    if (!field)
        return E_INVALIDARG;
    if (!field->named) {
        *tag = field->tag;
        return S_OK;
    }
    USHORT id = 0;
    HRESULT hr = m_body.NamedId(*field->named, create, &id);
    if (FAILED(hr))
        return hr;
    if (id == 0)
        return MAPI_E_NOT_FOUND;
    *tag = PROP_TAG(PROP_TYPE(field->tag), id);
    return S_OK;
}

HRESULT RdoMessage::ReadProp(ULONG tag, PropValue* value) {
    HRESULT hr = CheckAlive();
    if (FAILED(hr))
        return hr;
    const PropValue* found = m_body.Props().Find(PROP_TAG(PT_UNSPECIFIED, PROP_ID(tag)));
    if (!found)
        return MAPI_E_NOT_FOUND;
    ULONG wanted = PROP_TYPE(tag);
    ULONG kept = found->Type();
    bool textPair = (wanted == PT_UNICODE || wanted == PT_STRING8) &&
                    (kept == PT_UNICODE || kept == PT_STRING8);
    bool mvTextPair = (wanted == PT_MV_UNICODE || wanted == PT_MV_STRING8) &&
                      (kept == PT_MV_UNICODE || kept == PT_MV_STRING8);
    if (wanted != PT_UNSPECIFIED && wanted != kept && !textPair && !mvTextPair)
        return MAPI_E_NOT_FOUND;
    *value = *found;
    return S_OK;
}

HRESULT RdoMessage::WriteProp(ULONG tag, const PropValue& value, bool save) {
    HRESULT hr = CheckAlive();
    if (FAILED(hr))
        return hr;
    m_body.SetProp(tag, value);
    if (PROP_ID(tag) == PROP_ID(PR_MESSAGE_CLASS) || PROP_ID(tag) == PROP_ID(PR_DISPLAY_TO))
        UpdateDisplayTo();
    return save ? m_body.Save() : S_OK;
}

HRESULT RdoMessage::NamedId(const NamedProperty& name, bool create, USHORT* id) {
    HRESULT hr = CheckAlive();
    if (FAILED(hr))
        return hr;
    return m_body.NamedId(name, create, id);
}

HRESULT RdoMessage::GetFields(VARIANT property, VARIANT* value) {
    RDO_OWNER_THREAD_ONLY();
    if (!value)
        return E_POINTER;
    VariantInit(value);
    ULONG tag = 0;
    HRESULT hr = ResolveField(property, false, &tag);
    if (FAILED(hr))
        return hr;
    PropValue found;
    hr = ReadProp(tag, &found);
    if (FAILED(hr))
        return hr;
    return VariantFromProp(found, value);
}

HRESULT RdoMessage::SetFields(VARIANT property, VARIANT value) {
    RDO_OWNER_THREAD_ONLY();
    HRESULT hr = CheckAlive();
    if (FAILED(hr))
        return hr;
    ULONG tag = 0;
    hr = ResolveField(property, true, &tag);
    if (FAILED(hr))
        return hr;
    if (value.vt == VT_EMPTY) {
        m_body.DeleteProp(tag);
        return S_OK;
    }
    PropValue converted;
    hr = PropFromVariant(tag, value, &converted);
    if (FAILED(hr))
        return hr;
    m_body.SetProp(tag, std::move(converted));
    return S_OK;
}

HRESULT RdoMessage::GetMessageClass(BSTR* messageClass) {
    RDO_OWNER_THREAD_ONLY();
    return PutText(Text(PR_MESSAGE_CLASS).value_or(L""), messageClass);
}

HRESULT RdoMessage::PutMessageClass(BSTR messageClass) {
    RDO_OWNER_THREAD_ONLY();
    m_body.SetProp(PR_MESSAGE_CLASS, PropValue::Unicode(View(messageClass)));
    return CheckAlive();
}

HRESULT RdoMessage::GetSubject(BSTR* subject) {
    RDO_OWNER_THREAD_ONLY();
    HRESULT hr = PutText(Text(PR_SUBJECT).value_or(L""), subject);
    return FAILED(hr) ? hr : CheckAlive();
}

HRESULT RdoMessage::PutSubject(BSTR subject) {
    RDO_OWNER_THREAD_ONLY();
    HRESULT hr = CheckAlive();
    if (FAILED(hr))
        return hr;
    m_body.SetProp(PR_SUBJECT, PropValue::Unicode(View(subject)));
    m_body.SetProp(PR_NORMALIZED_SUBJECT, PropValue::Unicode(View(subject)));
    return S_OK;
}

HRESULT RdoMessage::GetBody(BSTR* body) {
    RDO_OWNER_THREAD_ONLY();
    HRESULT hr = PutText(Text(PR_BODY).value_or(L""), body);
    return FAILED(hr) ? hr : CheckAlive();
}

HRESULT RdoMessage::PutBody(BSTR body) {
    RDO_OWNER_THREAD_ONLY();
    HRESULT hr = CheckAlive();
    if (FAILED(hr))
        return hr;
    m_body.SetProp(PR_BODY, PropValue::Unicode(View(body)));
    m_body.DeleteProp(PR_HTML);
    return S_OK;
}

HRESULT RdoMessage::PutHTMLBody(BSTR html) {
    RDO_OWNER_THREAD_ONLY();
    HRESULT hr = CheckAlive();
    if (FAILED(hr))
        return hr;
    std::string utf8 = win::ToUtf8(View(html));
    m_body.SetProp(PR_HTML, PropValue::Binary(Bytes(utf8.begin(), utf8.end())));
    m_body.SetProp(PR_INTERNET_CPID, PropValue::Long(65001));
    m_body.SetProp(PR_BODY, PropValue::Unicode(PlainTextOfHtml(View(html))));
    return S_OK;
}

HRESULT RdoMessage::GetSenderName(BSTR* name) {
    RDO_OWNER_THREAD_ONLY();
    auto sender = Text(PR_SENDER_NAME);
    if (!sender)
        sender = Text(PR_SENT_REPRESENTING_NAME);
    return PutText(sender.value_or(L""), name);
}

void RdoMessage::UpdateDisplayTo() {
    std::wstring to;
    for (const PropertyBag& r : m_body.Recipients()) {
        if (r.GetInteger(PR_RECIPIENT_TYPE).value_or(MAPI_TO) != MAPI_TO)
            continue;
        auto name = TextOf(r, PR_DISPLAY_NAME);
        if (!name)
            name = TextOf(r, PR_EMAIL_ADDRESS);
        if (!to.empty())
            to += L"; ";
        to += name.value_or(L"");
    }
    m_body.SetProp(PR_DISPLAY_TO, PropValue::Unicode(to));
}

HRESULT RdoMessage::GetTo(BSTR* to) {
    RDO_OWNER_THREAD_ONLY();
    return PutText(Text(PR_DISPLAY_TO).value_or(L""), to);
}

HRESULT RdoMessage::PutTo(BSTR to) {
    RDO_OWNER_THREAD_ONLY();
    HRESULT hr = CheckAlive();
    if (FAILED(hr))
        return hr;
    auto& recipients = m_body.Recipients();
    std::erase_if(recipients, [](const PropertyBag& r) {
        return r.GetInteger(PR_RECIPIENT_TYPE).value_or(MAPI_TO) == MAPI_TO;
    });
    std::wstring text = View(to);
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find(L';', start);
        if (end == std::wstring::npos)
            end = text.size();
        std::wstring part = Trim(std::wstring_view(text).substr(start, end - start));
        if (!part.empty()) {
            PropertyBag r;
            r.Set(PR_RECIPIENT_TYPE, PropValue::Long(MAPI_TO));
            r.Set(PR_DISPLAY_NAME, PropValue::Unicode(part));
            if (part.find(L'@') != std::wstring::npos)
                r.Set(PR_EMAIL_ADDRESS, PropValue::Unicode(part));
            recipients.push_back(std::move(r));
        }
        start = end + 1;
    }
    UpdateDisplayTo();
    return S_OK;
}

HRESULT RdoMessage::PutSentOnBehalfOfName(BSTR name) {
    RDO_OWNER_THREAD_ONLY();
    HRESULT hr = CheckAlive();
    if (FAILED(hr))
        return hr;
    std::wstring text = View(name);
    m_body.SetProp(PR_SENT_REPRESENTING_NAME, PropValue::Unicode(text));
    if (text.find(L'@') != std::wstring::npos) {
        m_body.SetProp(PR_SENT_REPRESENTING_EMAIL_ADDRESS, PropValue::Unicode(text));
        m_body.SetProp(PR_SENT_REPRESENTING_ADDRTYPE, PropValue::Unicode(L"SMTP"));
    }
    return S_OK;
}

HRESULT RdoMessage::GetTimeStamp(DATE* localTime) {
    RDO_OWNER_THREAD_ONLY();
    if (!localTime)
        return E_POINTER;
    *localTime = 0;
    const PropertyBag& props = m_body.Props();
    for (ULONG tag : {PR_MESSAGE_DELIVERY_TIME, PR_CLIENT_SUBMIT_TIME, PR_CREATION_TIME}) {
        if (auto t = props.GetInteger(tag); t && PROP_TYPE(*props.TagOf(tag)) == PT_SYSTIME) {
            *localTime = UtcDateToLocal(DateFromFileTime(static_cast<ULONGLONG>(*t)));
            return S_OK;
        }
    }
    return MAPI_E_NOT_FOUND;
}

HRESULT RdoMessage::SetMailTime(DATE localTime) {
    RDO_OWNER_THREAD_ONLY();
    HRESULT hr = CheckAlive();
    if (FAILED(hr))
        return hr;
    auto utc = PropValue::SysTime(FileTimeFromDate(LocalDateToUtc(localTime)));
    m_body.SetProp(PR_CLIENT_SUBMIT_TIME, utc);
    m_body.SetProp(PR_MESSAGE_DELIVERY_TIME, utc);
    return S_OK;
}

HRESULT RdoMessage::PutUnRead(VARIANT_BOOL unread) {
    RDO_OWNER_THREAD_ONLY();
    HRESULT hr = CheckAlive();
    if (FAILED(hr))
        return hr;
    LONG flags = Flags(m_body.Props());
    flags = unread ? (flags & ~MSGFLAG_READ) : (flags | MSGFLAG_READ);
    m_body.SetProp(PR_MESSAGE_FLAGS, PropValue::Long(flags));
    return S_OK;
}

HRESULT RdoMessage::PutImportance(LONG importance) {
    RDO_OWNER_THREAD_ONLY();
    if (importance < IMPORTANCE_LOW || importance > IMPORTANCE_HIGH)
        return E_INVALIDARG;
    HRESULT hr = CheckAlive();
    if (FAILED(hr))
        return hr;
    m_body.SetProp(PR_IMPORTANCE, PropValue::Long(importance));
    return S_OK;
}

HRESULT RdoMessage::PutReminderSet(VARIANT_BOOL set) {
    RDO_OWNER_THREAD_ONLY();
    HRESULT hr = CheckAlive();
    if (FAILED(hr))
        return hr;
    return m_body.SetNamed(kReminderSet, PropValue::Boolean(set != VARIANT_FALSE));
}

HRESULT RdoMessage::PutDeleteAfterSubmit(VARIANT_BOOL deleteAfterSubmit) {
    RDO_OWNER_THREAD_ONLY();
    HRESULT hr = CheckAlive();
    if (FAILED(hr))
        return hr;
    m_body.SetProp(PR_DELETE_AFTER_SUBMIT, PropValue::Boolean(deleteAfterSubmit != VARIANT_FALSE));
    return S_OK;
}

HRESULT RdoMessage::PutAccount(IUnknown* account) {
    RDO_OWNER_THREAD_ONLY();
    RdoAccount* chosen = ImplOf<RdoAccount>(account);
    if (!chosen)
        return E_INVALIDARG;
    HRESULT hr = CheckAlive();
    if (FAILED(hr))
        return hr;
    const ProfileAccount& a = chosen->Account();
    hr = m_body.SetNamed(kAccountName, PropValue::Unicode(a.name));
    if (SUCCEEDED(hr))
        hr = m_body.SetNamed(kAccountStamp, PropValue::Unicode(std::to_wstring(a.id)));
    if (SUCCEEDED(hr) && !a.address.empty()) {
        m_body.SetProp(PR_SENDER_EMAIL_ADDRESS, PropValue::Unicode(a.address));
        m_body.SetProp(PR_SENDER_ADDRTYPE, PropValue::Unicode(L"SMTP"));
    }
    return hr;
}

HRESULT RdoMessage::GetSubmitted(VARIANT_BOOL* submitted) {
    RDO_OWNER_THREAD_ONLY();
    if (!submitted)
        return E_POINTER;
    bool is = m_body.StoreMessage() ? m_body.StoreMessage()->IsSubmitted()
                                    : (Flags(m_body.Props()) & MSGFLAG_SUBMIT) != 0;
    *submitted = is ? VARIANT_TRUE : VARIANT_FALSE;
    return CheckAlive();
}

HRESULT RdoMessage::AbortSubmit() {
    RDO_OWNER_THREAD_ONLY();
    HRESULT hr = CheckAlive();
    if (FAILED(hr))
        return hr;
    store::Message* message = m_body.StoreMessage();
    if (!message)
        return MAPI_E_NOT_IN_QUEUE;
    return message->AbortSubmit();
}

HRESULT RdoMessage::GetAttachments(QMRAttachments** attachments) {
    RDO_OWNER_THREAD_ONLY();
    if (!ClearOut(attachments))
        return E_POINTER;
    HRESULT hr = CheckAlive();
    if (FAILED(hr))
        return hr;
    return PutObject(com::Make<RdoAttachments>(CComPtr<RdoMessage>(this)), attachments);
}

HRESULT RdoMessage::GetRecipients(QMRRecipients** recipients) {
    RDO_OWNER_THREAD_ONLY();
    if (!ClearOut(recipients))
        return E_POINTER;
    HRESULT hr = CheckAlive();
    if (FAILED(hr))
        return hr;
    return PutObject(com::Make<RdoRecipients>(CComPtr<RdoMessage>(this)), recipients);
}

HRESULT RdoMessage::Resolve(ULONG* unresolved) {
    *unresolved = 0;
    HRESULT hr = CheckAlive();
    if (FAILED(hr))
        return hr;
    std::vector<store::AddressEntry> book;
    if (m_context)
        book = m_context->AddressBook();
    if (store::Message* message = m_body.StoreMessage()) {
        hr = message->ResolveRecipients(book, unresolved);
    } else {
        // A message of a file has no store to resolve through: the same
        // rules over the profile's address book, done here.
        for (PropertyBag& r : m_body.Recipients()) {
            if (r.Has(PR_ENTRYID))
                continue;
            std::wstring name = win::ToLower(TextOf(r, PR_DISPLAY_NAME).value_or(L""));
            std::wstring address = win::ToLower(TextOf(r, PR_EMAIL_ADDRESS).value_or(L""));
            const store::AddressEntry* match = nullptr;
            for (const auto& e : book) {
                std::wstring en = win::ToLower(e.displayName), ea = win::ToLower(e.address);
                if ((!name.empty() && (name == en || name == ea)) ||
                    (!address.empty() && (address == en || address == ea))) {
                    match = &e;
                    break;
                }
            }
            std::wstring smtp = address.empty() ? name : address;
            if (match) {
                r.Set(PR_DISPLAY_NAME, PropValue::Unicode(match->displayName));
                r.Set(PR_EMAIL_ADDRESS, PropValue::Unicode(match->address));
                r.Set(PR_SMTP_ADDRESS, PropValue::Unicode(match->address));
                r.Set(PR_ADDRTYPE, PropValue::Unicode(match->addressType));
                r.Set(PR_ENTRYID, PropValue::Binary(match->entryId));
            } else if (smtp.find(L'@') != std::wstring::npos) {
                r.Set(PR_EMAIL_ADDRESS, PropValue::Unicode(smtp));
                r.Set(PR_SMTP_ADDRESS, PropValue::Unicode(smtp));
                r.Set(PR_ADDRTYPE, PropValue::Unicode(L"SMTP"));
                std::string oneOff = win::ToUtf8(smtp);
                r.Set(PR_ENTRYID, PropValue::Binary(Bytes(oneOff.begin(), oneOff.end())));
            } else {
                ++*unresolved;
            }
        }
        hr = *unresolved == 0 ? S_OK : MAPI_E_NOT_FOUND;
    }
    UpdateDisplayTo();
    return hr;
}

HRESULT RdoMessage::ResolveRecipients(LONG, VARIANT_BOOL* allResolved) {
    RDO_OWNER_THREAD_ONLY();
    if (allResolved)
        *allResolved = VARIANT_FALSE;
    ULONG unresolved = 0;
    HRESULT hr = Resolve(&unresolved);
    if (allResolved && SUCCEEDED(hr))
        *allResolved = VARIANT_TRUE;
    return hr;
}

HRESULT RdoMessage::Save() {
    RDO_OWNER_THREAD_ONLY();
    HRESULT hr = CheckAlive();
    if (FAILED(hr))
        return hr;
    return m_body.Save();
}

HRESULT RdoMessage::Delete(LONG) {
    RDO_OWNER_THREAD_ONLY();
    HRESULT hr = CheckAlive();
    if (FAILED(hr))
        return hr;
    store::Message* message = m_body.StoreMessage();
    if (!message)
        return MAPI_E_NO_SUPPORT;
    hr = message->Delete();
    if (SUCCEEDED(hr) || hr == MAPI_E_NOT_FOUND)
        m_gone = true;
    return hr;
}

HRESULT RdoMessage::Move(QMRMAPIFolder* folder, QMRMessage** moved) {
    RDO_OWNER_THREAD_ONLY();
    if (moved)
        *moved = nullptr;
    RdoFolder* target = ImplOf<RdoFolder>(folder);
    store::Message* message = m_body.StoreMessage();
    if (!target || target->StoreFolder().IsNull())
        return E_INVALIDARG;
    HRESULT hr = CheckAlive();
    if (FAILED(hr))
        return hr;
    if (!message)
        return MAPI_E_NO_SUPPORT;
    if (target->StoreFolder().GetSession() != &message->GetSession())
        return E_INVALIDARG;
    hr = message->MoveTo(target->StoreFolder());
    if (FAILED(hr))
        return hr;
    std::unique_ptr<store::Message> reopened;
    hr = message->GetSession().OpenMessage(message->EntryId(), &reopened);
    if (FAILED(hr))
        return hr;
    if (!moved)
        return S_OK;
    return PutObject(MakeStoreMessage(m_context, std::move(reopened)), moved);
}

HRESULT RdoMessage::SaveAs(BSTR path, VARIANT type) {
    RDO_OWNER_THREAD_ONLY();
    if (!IsMsgFormat(type))
        return E_INVALIDARG;
    HRESULT hr = CheckAlive();
    if (FAILED(hr))
        return hr;
    std::string hostPath;
    hr = HostPathOf(path, &hostPath);
    if (FAILED(hr))
        return hr;
    MessageContent content;
    hr = m_body.GetContent(&content);
    if (FAILED(hr))
        return hr;
    return msgfile::WriteMsgFile(hostPath, content);
}

HRESULT RdoMessage::Import(BSTR path, LONG type) {
    RDO_OWNER_THREAD_ONLY();
    if (type != kQmrFormatMsg)
        return E_INVALIDARG;
    HRESULT hr = CheckAlive();
    if (FAILED(hr))
        return hr;
    std::string hostPath;
    hr = HostPathOf(path, &hostPath);
    if (FAILED(hr))
        return hr;
    MessageContent content;
    hr = msgfile::ReadMsgFile(hostPath, &content);
    if (FAILED(hr))
        return hr;
    return m_body.SetContent(content);
}

HRESULT RdoMessage::Submit() {
    HRESULT hr = CheckAlive();
    if (FAILED(hr))
        return hr;
    store::Message* message = m_body.StoreMessage();
    if (!message)
        return MAPI_E_NO_SUPPORT;
    if (message->IsSubmitted())
        return MAPI_E_SUBMITTED;
    if (m_body.Recipients().empty())
        return MAPI_E_NO_RECIPIENTS;
    hr = message->Save();
    if (SUCCEEDED(hr))
        hr = message->Submit();
    if (FAILED(hr))
        return hr;
    std::shared_ptr<IMailTransport> transport = GetMailTransport();
    if (!transport)
        return S_OK;  // queued in the Outbox until a transport takes it
    SubmittedMail mail;
    mail.profileName = m_context ? m_context->ProfileName() : std::wstring();
    mail.storeEntryId = message->GetSession().Info().entryId;
    mail.entryId = message->EntryId();
    hr = message->GetContent(&mail.content);
    if (FAILED(hr))
        return hr;
    hr = transport->SubmitMail(mail);
    if (FAILED(hr)) {
        // Not taken: the mail goes back to an unsent mail in the Outbox, so
        // that the next send (the add-in's outbox re-check skips submitted
        // mails) tries it again instead of leaving it stuck in the queue.
        message->AbortSubmit();
        return hr;
    }
    // Delivered: the store ends the submission (deletes the mail or files it
    // in Sent Items); this object then no longer names a message to change.
    hr = message->GetSession().CompleteSubmission(message->EntryId());
    m_gone = true;
    return hr;
}

// --- RdoAppointment ------------------------------------------------------------

HRESULT RdoAppointment::GetDate(DATE* localTime) {
    RDO_OWNER_THREAD_ONLY();
    if (!localTime)
        return E_POINTER;
    *localTime = 0;
    for (const NamedProperty& name : {kAppointmentEnd, kAppointmentStart}) {
        const PropValue* v = m_message->Body().FindNamed(name);
        if (v && v->Type() == PT_SYSTIME && v->Integer()) {
            *localTime = UtcDateToLocal(DateFromFileTime(static_cast<ULONGLONG>(*v->Integer())));
            return S_OK;
        }
    }
    return MAPI_E_NOT_FOUND;
}

HRESULT RdoAppointment::GetMeetingStatus(LONG* status) {
    RDO_OWNER_THREAD_ONLY();
    if (!status)
        return E_POINTER;
    const LONG flags = StateFlags(*m_message);
    *status = (flags & kStateMeeting) != 0 ? flags : kQmrNonMeeting;
    return m_message->CheckAlive();
}

// --- RdoMeetingItem ------------------------------------------------------------

HRESULT RdoMeetingItem::GetMeetingStatus(LONG* status) {
    RDO_OWNER_THREAD_ONLY();
    if (!status)
        return E_POINTER;
    // The class alone makes it part of a meeting, whether or not the sender
    // wrote the flags.
    *status = StateFlags(*m_message) | kStateMeeting;
    return m_message->CheckAlive();
}

// --- Attachments ---------------------------------------------------------------

HRESULT RdoAttachments::GetCount(LONG* count) {
    RDO_OWNER_THREAD_ONLY();
    if (!count)
        return E_POINTER;
    *count = static_cast<LONG>(m_message->Body().Attachments().size());
    return m_message->CheckAlive();
}

HRESULT RdoAttachments::Item(LONG index, QMRAttachment** attachment) {
    RDO_OWNER_THREAD_ONLY();
    if (!ClearOut(attachment))
        return E_POINTER;
    HRESULT hr = m_message->CheckAlive();
    if (FAILED(hr))
        return hr;
    if (index < 1 || static_cast<std::size_t>(index) > m_message->Body().Attachments().size())
        return DISP_E_BADINDEX;
    return PutObject(com::Make<RdoAttachment>(m_message, static_cast<std::size_t>(index - 1)),
                     attachment);
}

HRESULT RdoAttachments::Add(BSTR source, VARIANT type, VARIANT, VARIANT displayName,
                            QMRAttachment** attachment) {
    RDO_OWNER_THREAD_ONLY();
    if (attachment)
        *attachment = nullptr;
    if (type.vt != VT_EMPTY && !IsMissingArgument(type)) {
        CComVariant asLong;
        if (FAILED(VariantChangeType(&asLong, &type, 0, VT_I4)) || asLong.lVal != ATTACH_BY_VALUE)
            return E_INVALIDARG;
    }
    HRESULT hr = m_message->CheckAlive();
    if (FAILED(hr))
        return hr;
    std::string hostPath;
    hr = HostPathOf(source, &hostPath);
    if (FAILED(hr))
        return hr;
    AttachmentContent added;
    hr = ReadHostFile(hostPath, &added.data);
    if (FAILED(hr))
        return hr;
    std::wstring fileName = FileNameOf(View(source));
    std::wstring shown = fileName;
    if (displayName.vt == VT_BSTR && SysStringLen(displayName.bstrVal) > 0)
        shown = View(displayName.bstrVal);
    added.props.Set(PR_ATTACH_METHOD, PropValue::Long(ATTACH_BY_VALUE));
    added.props.Set(PR_ATTACH_LONG_FILENAME, PropValue::Unicode(fileName));
    added.props.Set(PR_ATTACH_FILENAME, PropValue::Unicode(fileName));
    added.props.Set(PR_DISPLAY_NAME, PropValue::Unicode(shown));
    std::size_t dot = fileName.find_last_of(L'.');
    if (dot != std::wstring::npos)
        added.props.Set(PR_ATTACH_EXTENSION, PropValue::Unicode(fileName.substr(dot)));
    added.props.Set(PR_ATTACH_SIZE, PropValue::Long(static_cast<std::int32_t>(added.data.size())));
    auto& list = m_message->Body().Attachments();
    list.push_back(std::move(added));
    if (!attachment)
        return S_OK;
    return PutObject(com::Make<RdoAttachment>(m_message, list.size() - 1), attachment);
}

HRESULT RdoAttachment::Find(AttachmentContent** out) {
    HRESULT hr = m_message->CheckAlive();
    if (FAILED(hr))
        return hr;
    auto& list = m_message->Body().Attachments();
    if (m_index >= list.size())
        return MAPI_E_NOT_FOUND;
    *out = &list[m_index];
    return S_OK;
}

HRESULT RdoAttachment::GetFileName(BSTR* name) {
    RDO_OWNER_THREAD_ONLY();
    AttachmentContent* a = nullptr;
    HRESULT hr = Find(&a);
    if (FAILED(hr)) {
        PutText(L"", name);
        return hr;
    }
    auto text = TextOf(a->props, PR_ATTACH_LONG_FILENAME);
    if (!text)
        text = TextOf(a->props, PR_ATTACH_FILENAME);
    return PutText(text.value_or(L""), name);
}

HRESULT RdoAttachment::GetDisplayName(BSTR* name) {
    RDO_OWNER_THREAD_ONLY();
    AttachmentContent* a = nullptr;
    HRESULT hr = Find(&a);
    if (FAILED(hr)) {
        PutText(L"", name);
        return hr;
    }
    return PutText(TextOf(a->props, PR_DISPLAY_NAME).value_or(L""), name);
}

HRESULT RdoAttachment::SaveAsFile(BSTR path) {
    RDO_OWNER_THREAD_ONLY();
    AttachmentContent* a = nullptr;
    HRESULT hr = Find(&a);
    if (FAILED(hr))
        return hr;
    std::string hostPath;
    hr = HostPathOf(path, &hostPath);
    if (FAILED(hr))
        return hr;
    if (a->embedded)
        return msgfile::WriteMsgFile(hostPath, *a->embedded);
    return WriteHostFile(hostPath, a->data);
}

// --- Recipients ----------------------------------------------------------------

HRESULT RdoRecipients::GetCount(LONG* count) {
    RDO_OWNER_THREAD_ONLY();
    if (!count)
        return E_POINTER;
    *count = static_cast<LONG>(m_message->Body().Recipients().size());
    return m_message->CheckAlive();
}

HRESULT RdoRecipients::Item(LONG index, QMRRecipient** recipient) {
    RDO_OWNER_THREAD_ONLY();
    if (!ClearOut(recipient))
        return E_POINTER;
    if (index < 1 || static_cast<std::size_t>(index) > m_message->Body().Recipients().size())
        return DISP_E_BADINDEX;
    return PutObject(com::Make<RdoRecipient>(m_message, static_cast<std::size_t>(index - 1)),
                     recipient);
}

HRESULT RdoRecipients::Add(BSTR name, QMRRecipient** recipient) {
    RDO_OWNER_THREAD_ONLY();
    if (recipient)
        *recipient = nullptr;
    HRESULT hr = m_message->CheckAlive();
    if (FAILED(hr))
        return hr;
    std::wstring text = Trim(View(name));
    if (text.empty())
        return E_INVALIDARG;
    PropertyBag r;
    r.Set(PR_RECIPIENT_TYPE, PropValue::Long(MAPI_TO));
    r.Set(PR_DISPLAY_NAME, PropValue::Unicode(text));
    if (text.find(L'@') != std::wstring::npos)
        r.Set(PR_EMAIL_ADDRESS, PropValue::Unicode(text));
    auto& list = m_message->Body().Recipients();
    list.push_back(std::move(r));
    if (!recipient)
        return S_OK;
    return PutObject(com::Make<RdoRecipient>(m_message, list.size() - 1), recipient);
}

HRESULT RdoRecipients::ResolveAll(VARIANT_BOOL* allResolved) {
    RDO_OWNER_THREAD_ONLY();
    if (allResolved)
        *allResolved = VARIANT_FALSE;
    ULONG unresolved = 0;
    HRESULT hr = m_message->Resolve(&unresolved);
    if (allResolved && SUCCEEDED(hr))
        *allResolved = VARIANT_TRUE;
    return hr;
}

const PropertyBag* RdoRecipient::Row() {
    auto& list = m_message->Body().Recipients();
    return m_index < list.size() ? &list[m_index] : nullptr;
}

HRESULT RdoRecipient::GetName(BSTR* name) {
    RDO_OWNER_THREAD_ONLY();
    const PropertyBag* r = Row();
    HRESULT hr = PutText(r ? TextOf(*r, PR_DISPLAY_NAME).value_or(L"") : L"", name);
    return FAILED(hr) ? hr : (r ? S_OK : MAPI_E_NOT_FOUND);
}

HRESULT RdoRecipient::GetAddress(BSTR* address) {
    RDO_OWNER_THREAD_ONLY();
    const PropertyBag* r = Row();
    std::optional<std::wstring> text;
    if (r) {
        text = TextOf(*r, PR_SMTP_ADDRESS);
        if (!text)
            text = TextOf(*r, PR_EMAIL_ADDRESS);
    }
    HRESULT hr = PutText(text.value_or(L""), address);
    return FAILED(hr) ? hr : (r ? S_OK : MAPI_E_NOT_FOUND);
}

HRESULT RdoRecipient::GetResolved(VARIANT_BOOL* resolved) {
    RDO_OWNER_THREAD_ONLY();
    if (!resolved)
        return E_POINTER;
    const PropertyBag* r = Row();
    *resolved = r && r->Has(PR_ENTRYID) ? VARIANT_TRUE : VARIANT_FALSE;
    return r ? S_OK : MAPI_E_NOT_FOUND;
}

}  // namespace rdo
