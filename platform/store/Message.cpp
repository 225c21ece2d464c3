#include "platform/store/Message.h"

#include <algorithm>
#include <map>

#include "platform/store/Folder.h"
#include "platform/store/PropCodec.h"
#include "platform/store/Session.h"
#include "platform/store/StoreDatabase.h"
#include "platform/win/Clock.h"
#include "platform/win/Errors.h"
#include "platform/win/Text.h"

namespace store {

using namespace mapi;

namespace internal {

MessageRow ReadMessageRow(const db::Statement& st) {
    MessageRow row;
    row.id = st.Int(0);
    row.folder = st.Int(1);
    row.associated = st.Int(2) != 0;
    row.created = static_cast<ULONGLONG>(st.Int(3));
    row.changeNumber = static_cast<ULONGLONG>(st.Int(4));
    row.modificationTime = static_cast<ULONGLONG>(st.Int(5));
    row.movedIn = static_cast<ULONGLONG>(st.Int(6));
    return row;
}

namespace {
// The tags AddComputedMessageProps sets, in the order it sets them.
constexpr ULONG kComputedTags[] = {
    PR_ENTRYID,     PR_RECORD_KEY, PR_PARENT_ENTRYID, PR_STORE_ENTRYID,
    PR_OBJECT_TYPE, PR_SOURCE_KEY, PR_CHANGE_KEY,     PR_LAST_MODIFICATION_TIME};
}  // namespace

std::optional<PropValue> ComputedMessageProp(const Session::Impl& impl, const MessageRow& row,
                                             ULONG tag) {
    switch (PROP_ID(tag)) {
        case PROP_ID(PR_ENTRYID):
        case PROP_ID(PR_RECORD_KEY):
            return PropValue::Binary(impl.EntryIdOf(ObjectType::Message, row.id));
        case PROP_ID(PR_PARENT_ENTRYID):
            return PropValue::Binary(impl.EntryIdOf(ObjectType::Folder, row.folder));
        case PROP_ID(PR_STORE_ENTRYID):
            return PropValue::Binary(impl.info.entryId);
        case PROP_ID(PR_OBJECT_TYPE):
            return PropValue::Long(static_cast<LONG>(ObjectType::Message));
        case PROP_ID(PR_SOURCE_KEY):
            return PropValue::Binary(impl.SourceKeyOf(row.created));
        case PROP_ID(PR_CHANGE_KEY):
            if (!impl.KeepsChangeKeys()) {
                return std::nullopt;
            }
            return PropValue::Binary(impl.ChangeKeyOf(row.changeNumber));
        case PROP_ID(PR_LAST_MODIFICATION_TIME):
            return PropValue::SysTime(row.modificationTime);
        default:
            return std::nullopt;
    }
}

void AddComputedMessageProps(const Session::Impl& impl, const MessageRow& row, PropertyBag* props) {
    for (ULONG tag : kComputedTags) {
        if (auto value = ComputedMessageProp(impl, row, tag)) {
            props->Set(tag, std::move(*value));
        } else {
            props->Erase(tag);
        }
    }
}

bool IsStoredMessageProp(ULONG tag) {
    return !IsComputedMessageProp(tag) || PROP_ID(tag) == PROP_ID(PR_CREATION_TIME) ||
           PROP_ID(tag) == PROP_ID(PR_MESSAGE_SIZE) || PROP_ID(tag) == PROP_ID(PR_HASATTACH);
}

bool IsComputedMessageProp(ULONG tag) {
    switch (PROP_ID(tag)) {
        case PROP_ID(PR_ENTRYID):
        case PROP_ID(PR_RECORD_KEY):
        case PROP_ID(PR_PARENT_ENTRYID):
        case PROP_ID(PR_STORE_ENTRYID):
        case PROP_ID(PR_OBJECT_TYPE):
        case PROP_ID(PR_SOURCE_KEY):
        case PROP_ID(PR_PARENT_SOURCE_KEY):
        case PROP_ID(PR_CHANGE_KEY):
        case PROP_ID(PR_LAST_MODIFICATION_TIME):
        case PROP_ID(PR_CREATION_TIME):
        case PROP_ID(PR_MESSAGE_SIZE):
        case PROP_ID(PR_HASATTACH):
            return true;
        default:
            return false;
    }
}

}  // namespace internal

namespace {

constexpr LONG kStoreFlagBits = MSGFLAG_HASATTACH | MSGFLAG_ASSOCIATED | MSGFLAG_SUBMIT;

ULONGLONG Now() {
    FILETIME ft{};
    GetSystemTimeAsFileTime(&ft);
    return win::FileTimeToUInt64(ft);
}

Bytes NewSearchKey() {
    auto g = win::GuidToBytes(win::NewGuid());
    return Bytes(g.begin(), g.end());
}

// The signal time of a message whose reminder is set, for the reminder index.
std::optional<ULONGLONG> ReminderTime(Session& session, const PropertyBag& props) {
    std::vector<USHORT> ids;
    session.GetIDsFromNames({NamedProperty::ById(PSETID_Common, kLidReminderSet),
                             NamedProperty::ById(PSETID_Common, kLidReminderSignalTime)},
                            false, &ids);
    if (ids.size() != 2 || ids[0] == 0 || ids[1] == 0) {
        return std::nullopt;
    }
    if (!props.GetBool(PROP_TAG(PT_BOOLEAN, ids[0])).value_or(false)) {
        return std::nullopt;
    }
    const PropValue* when = props.Find(PROP_TAG(PT_SYSTIME, ids[1]));
    if (when == nullptr || when->Integer() == nullptr) {
        return std::nullopt;
    }
    return static_cast<ULONGLONG>(*when->Integer());
}

void NormaliseAttachments(std::vector<AttachmentContent>& attachments) {
    for (std::size_t i = 0; i < attachments.size(); ++i) {
        AttachmentContent& a = attachments[i];
        a.props.Set(PR_ATTACH_NUM, PropValue::Long(static_cast<LONG>(i)));
        if (!a.props.Has(PROP_TAG(PT_UNSPECIFIED, PROP_ID(PR_ATTACH_METHOD)))) {
            a.props.Set(PR_ATTACH_METHOD,
                        PropValue::Long(a.embedded ? ATTACH_EMBEDDED_MSG : ATTACH_BY_VALUE));
        }
        a.props.Set(PR_ATTACH_SIZE, PropValue::Long(static_cast<LONG>(a.data.size())));
        a.props.Erase(PR_ATTACH_DATA_BIN);
    }
}

}  // namespace

std::unique_ptr<Message> Message::Access::New(Session& session, ObjectId folder, bool associated) {
    std::unique_ptr<Message> m(new Message());
    m->m_session = &session;
    m->m_folderId = folder;
    m->m_associated = associated;
    m->m_props.Set(PR_SEARCH_KEY, PropValue::Binary(NewSearchKey()));
    m->m_props.Set(PR_MESSAGE_FLAGS, PropValue::Long(MSGFLAG_READ | MSGFLAG_UNSENT |
                                                     (associated ? MSGFLAG_ASSOCIATED : 0)));
    return m;
}

HRESULT Message::Access::Load(Session& session, ObjectId id, std::unique_ptr<Message>* out) {
    Session::Impl& impl = session.GetImpl();
    std::string sql = std::string("SELECT ") + internal::kMessageHeaderColumns +
                      ", recips, atts FROM messages WHERE id = ?";
    auto st = impl.Prepare(sql.c_str());
    st.Bind(1, id);
    int rc = st.Step();
    if (rc == SQLITE_DONE) {
        return MAPI_E_NOT_FOUND;
    }
    if (rc != SQLITE_ROW) {
        return db::MapError(rc);
    }
    internal::MessageRow row = internal::ReadMessageRow(st);
    std::unique_ptr<Message> m(new Message());
    m->m_session = &session;
    m->m_id = row.id;
    m->m_folderId = row.folder;
    m->m_associated = row.associated;
    m->m_entryId = impl.EntryIdOf(ObjectType::Message, row.id);
    constexpr int kRecips = internal::kMessagePropsColumn + 1;
    constexpr int kAtts = internal::kMessagePropsColumn + 2;
    if (!codec::DecodeBag(st.BlobData(internal::kMessagePropsColumn),
                          st.BlobSize(internal::kMessagePropsColumn), &m->m_props) ||
        !codec::DecodeRows(st.BlobData(kRecips), st.BlobSize(kRecips), &m->m_recipients) ||
        !codec::DecodeAttachments(st.BlobData(kAtts), st.BlobSize(kAtts), &m->m_attachments)) {
        return MAPI_E_CORRUPT_STORE;
    }
    internal::AddComputedMessageProps(impl, row, &m->m_props);
    *out = std::move(m);
    return S_OK;
}

HRESULT Message::Access::DeleteRow(Session& session, ObjectId id) {
    Session::Impl& impl = session.GetImpl();
    WriteTransaction tx(impl);
    HRESULT hr = tx.Begin();
    if (FAILED(hr)) {
        return hr;
    }
    auto st = impl.Prepare("SELECT folder, assoc, created, moved_in FROM messages WHERE id = ?");
    st.Bind(1, id);
    int rc = st.Step();
    if (rc == SQLITE_DONE) {
        return MAPI_E_NOT_FOUND;
    }
    if (rc != SQLITE_ROW) {
        return db::MapError(rc);
    }
    ObjectId folder = st.Int(0);
    bool associated = st.Int(1) != 0;
    std::int64_t created = st.Int(2);
    std::int64_t movedIn = st.Int(3);
    auto del = impl.Prepare("DELETE FROM messages WHERE id = ?");
    del.Bind(1, id);
    hr = del.Run();
    if (SUCCEEDED(hr) && !associated) {
        auto tomb =
            impl.Prepare("INSERT INTO tombstones(folder, created, known, cn) VALUES(?, ?, ?, ?)");
        tomb.Bind(1, folder)
            .Bind(2, created)
            .Bind(3, movedIn)
            .Bind(4, static_cast<std::int64_t>(tx.ChangeNumber()));
        hr = tomb.Run();
    }
    if (FAILED(hr)) {
        return hr;
    }
    impl.Notify(ChangeEvent::Removed, ObjectType::Message, folder, id, associated);
    return tx.Commit();
}

void Message::Access::SetFlags(Message& message, LONG flags) {
    message.m_props.Set(PR_MESSAGE_FLAGS, PropValue::Long(flags));
}

Bytes Message::FolderEntryId() const {
    return m_session->GetImpl().EntryIdOf(ObjectType::Folder, m_folderId);
}

void Message::SetProp(ULONG tag, PropValue value) {
    if (internal::IsComputedMessageProp(tag)) {
        return;
    }
    if (PROP_ID(tag) == PROP_ID(PR_MESSAGE_FLAGS)) {
        if (value.Integer() == nullptr) {
            return;
        }
        const LONG kept =
            static_cast<LONG>(m_props.GetInteger(PR_MESSAGE_FLAGS).value_or(0)) & kStoreFlagBits;
        value = PropValue::Long((static_cast<LONG>(*value.Integer()) & ~kStoreFlagBits) | kept);
        tag = PR_MESSAGE_FLAGS;
    }
    m_props.Set(tag, std::move(value));
}

bool Message::DeleteProp(ULONG tag) {
    if (internal::IsComputedMessageProp(tag) || PROP_ID(tag) == PROP_ID(PR_MESSAGE_FLAGS)) {
        return false;
    }
    return m_props.Erase(tag);
}

const PropValue* Message::GetNamed(const NamedProperty& name) const {
    USHORT id = m_session->IdOfName(name, false);
    if (id == 0) {
        return nullptr;
    }
    return m_props.Find(PROP_TAG(PT_UNSPECIFIED, id));
}

bool Message::SetNamed(const NamedProperty& name, PropValue value) {
    USHORT id = m_session->IdOfName(name, true);
    if (id == 0) {
        return false;
    }
    m_props.Set(PROP_TAG(value.Type(), id), std::move(value));
    return true;
}

namespace {

// A recipient's text in either string form: 8-bit message files keep
// recipients as PT_STRING8, read in the ANSI code page.
std::wstring RecipientText(const PropertyBag& r, ULONG tag) {
    if (auto wide = r.GetText(tag)) {
        return *wide;
    }
    return win::FromAnsi(r.GetString8(tag).value_or(""));
}

}  // namespace

HRESULT Message::ResolveRecipients(const std::vector<AddressEntry>& addressBook,
                                   ULONG* unresolved) {
    ULONG left = 0;
    for (PropertyBag& r : m_recipients) {
        const std::wstring name = RecipientText(r, PR_DISPLAY_NAME);
        std::wstring address = RecipientText(r, PR_SMTP_ADDRESS);
        if (address.empty()) {
            address = RecipientText(r, PR_EMAIL_ADDRESS);
        }
        const AddressEntry* match = nullptr;
        for (const AddressEntry& e : addressBook) {
            if ((!name.empty() &&
                 (EqualsNoCase(name, e.displayName) || EqualsNoCase(name, e.address))) ||
                (!address.empty() && EqualsNoCase(address, e.address))) {
                match = &e;
                break;
            }
        }
        if (match != nullptr) {
            r.Set(PR_DISPLAY_NAME, PropValue::Unicode(match->displayName));
            r.Set(PR_EMAIL_ADDRESS, PropValue::Unicode(match->address));
            r.Set(PR_SMTP_ADDRESS, PropValue::Unicode(match->address));
            r.Set(PR_ADDRTYPE, PropValue::Unicode(match->addressType));
            r.Set(PR_ENTRYID, PropValue::Binary(match->entryId));
            continue;
        }
        const std::wstring oneOff = address.empty() ? name : address;
        if (oneOff.find(L'@') != std::wstring::npos) {
            if (name.empty()) {
                r.Set(PR_DISPLAY_NAME, PropValue::Unicode(oneOff));
            }
            r.Set(PR_EMAIL_ADDRESS, PropValue::Unicode(oneOff));
            r.Set(PR_SMTP_ADDRESS, PropValue::Unicode(oneOff));
            r.Set(PR_ADDRTYPE, PropValue::Unicode(L"SMTP"));
            // One-off entry id: our own form, the address's UTF-8 bytes
            // behind a marker, enough to compare and to show.
            std::string utf8 = Utf8(oneOff);
            Bytes id = {'Q', 'M', 'O', 'O'};
            id.insert(id.end(), utf8.begin(), utf8.end());
            r.Set(PR_ENTRYID, PropValue::Binary(id));
            continue;
        }
        ++left;
    }
    if (unresolved != nullptr) {
        *unresolved = left;
    }
    return left == 0 ? S_OK : MAPI_E_NOT_FOUND;
}

HRESULT Message::Save() {
    if (codec::EmbeddingDepth(m_attachments) > codec::kMaxEmbeddingDepth) {
        return MAPI_E_TOO_COMPLEX;
    }
    Session::Impl& impl = m_session->GetImpl();
    WriteTransaction tx(impl);
    HRESULT hr = tx.Begin();
    if (FAILED(hr)) {
        return hr;
    }
    const ULONGLONG now = Now();
    const bool isNew = m_id == 0;
    NormaliseAttachments(m_attachments);

    PropertyBag stored;
    for (const auto& [tag, value] : m_props) {
        if (!internal::IsComputedMessageProp(tag) || PROP_ID(tag) == PROP_ID(PR_CREATION_TIME)) {
            stored.Set(tag, value);
        }
    }
    if (isNew || !stored.Has(PR_CREATION_TIME)) {
        stored.Set(PR_CREATION_TIME, PropValue::SysTime(now));
    }
    LONG flags = static_cast<LONG>(stored.GetInteger(PR_MESSAGE_FLAGS).value_or(0));
    flags &= ~(MSGFLAG_HASATTACH | MSGFLAG_ASSOCIATED);
    if (!m_attachments.empty()) {
        flags |= MSGFLAG_HASATTACH;
    }
    if (m_associated) {
        flags |= MSGFLAG_ASSOCIATED;
    }
    stored.Set(PR_MESSAGE_FLAGS, PropValue::Long(flags));
    stored.Set(PR_HASATTACH, PropValue::Boolean(!m_attachments.empty()));
    Bytes recips = codec::EncodeRows(m_recipients);
    Bytes atts = codec::EncodeAttachments(m_attachments);
    // Size as the store keeps it, without the size property itself.
    const std::size_t size = codec::EncodeBag(stored).size() + recips.size() + atts.size();
    stored.Set(PR_MESSAGE_SIZE, PropValue::Long(static_cast<LONG>(size)));
    Bytes props = codec::EncodeBag(stored);

    std::optional<Bytes> searchKey = stored.GetBinary(PR_SEARCH_KEY);
    std::optional<ULONGLONG> reminder = ReminderTime(*m_session, stored);
    const bool submitted = (flags & MSGFLAG_SUBMIT) != 0;
    const auto cn = static_cast<std::int64_t>(tx.ChangeNumber());

    db::Statement st;
    if (isNew) {
        bool exists = false;
        hr = impl.FolderExists(m_folderId, &exists);
        if (FAILED(hr)) {
            return hr;
        }
        if (!exists) {
            return MAPI_E_NOT_FOUND;
        }
        ULONGLONG created = 0;
        hr = tx.NewNumber(&created);
        if (FAILED(hr)) {
            return hr;
        }
        st = impl.Prepare(
            "INSERT INTO messages(folder, assoc, created, cn, mtime, moved_in, props, recips, "
            "atts, search_key, reminder, submitted) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
        st.Bind(1, m_folderId)
            .Bind(2, m_associated ? 1 : 0)
            .Bind(3, static_cast<std::int64_t>(created))
            .Bind(4, cn)
            .Bind(5, static_cast<std::int64_t>(now))
            .Bind(6, cn);
    } else {
        st = impl.Prepare(
            "UPDATE messages SET cn = ?, mtime = ?, props = ?, recips = ?, atts = ?, "
            "search_key = ?, reminder = ?, "
            "submitted = CASE WHEN ? THEN COALESCE(submitted, ?) ELSE NULL END WHERE id = ? "
            "RETURNING folder");
        st.Bind(1, cn).Bind(2, static_cast<std::int64_t>(now));
    }
    const int base = isNew ? 7 : 3;
    st.Bind(base, props).Bind(base + 1, recips).Bind(base + 2, atts);
    if (searchKey) {
        st.Bind(base + 3, *searchKey);
    } else {
        st.BindNull(base + 3);
    }
    if (reminder) {
        st.Bind(base + 4, static_cast<std::int64_t>(*reminder));
    } else {
        st.BindNull(base + 4);
    }
    if (isNew) {
        if (submitted) {
            st.Bind(base + 5, cn);
        } else {
            st.BindNull(base + 5);
        }
    } else {
        st.Bind(base + 5, submitted ? 1 : 0).Bind(base + 6, cn).Bind(base + 7, m_id);
    }
    if (!isNew) {
        // The folder as the store has it now: another session may have moved
        // the message since it was loaded here.
        int rc = st.Step();
        if (rc == SQLITE_DONE) {
            return MAPI_E_NOT_FOUND;
        }
        if (rc != SQLITE_ROW) {
            return db::MapError(rc);
        }
        m_folderId = st.Int(0);
    }
    hr = st.Run();
    if (FAILED(hr)) {
        return hr;
    }
    ObjectId id = isNew ? sqlite3_last_insert_rowid(impl.db) : m_id;
    impl.Notify(isNew ? ChangeEvent::Added : ChangeEvent::Modified, ObjectType::Message, m_folderId,
                id, m_associated);
    hr = tx.Commit();
    if (FAILED(hr)) {
        return hr;
    }
    // Only a committed save makes the message saved; read back what the
    // store computes so that Props() shows it.
    m_id = id;
    m_entryId = impl.EntryIdOf(ObjectType::Message, id);
    return Reload();
}

HRESULT Message::Delete() {
    if (m_id == 0) {
        return S_OK;
    }
    HRESULT hr = Access::DeleteRow(*m_session, m_id);
    return hr;
}

HRESULT Message::MoveTo(const Folder& folder) {
    if (folder.IsNull()) {
        return MAPI_E_INVALID_OBJECT;
    }
    if (folder.GetSession()->Info().storeGuid != m_session->Info().storeGuid) {
        return E_INVALIDARG;
    }
    if (m_id == 0) {
        return MAPI_E_NOT_FOUND;
    }
    Session::Impl& impl = m_session->GetImpl();
    WriteTransaction tx(impl);
    HRESULT hr = tx.Begin();
    if (FAILED(hr)) {
        return hr;
    }
    bool exists = false;
    hr = impl.FolderExists(folder.Id(), &exists);
    if (FAILED(hr)) {
        return hr;
    }
    if (!exists) {
        return MAPI_E_NOT_FOUND;
    }
    auto st = impl.Prepare("SELECT folder, created, moved_in FROM messages WHERE id = ?");
    st.Bind(1, m_id);
    int rc = st.Step();
    if (rc == SQLITE_DONE) {
        return MAPI_E_NOT_FOUND;
    }
    if (rc != SQLITE_ROW) {
        return db::MapError(rc);
    }
    const ObjectId from = st.Int(0);
    const std::int64_t created = st.Int(1);
    const std::int64_t movedIn = st.Int(2);
    if (from == folder.Id()) {
        return S_OK;
    }
    const auto cn = static_cast<std::int64_t>(tx.ChangeNumber());
    auto upd = impl.Prepare("UPDATE messages SET folder = ?, cn = ?, moved_in = ? WHERE id = ?");
    upd.Bind(1, folder.Id()).Bind(2, cn).Bind(3, cn).Bind(4, m_id);
    hr = upd.Run();
    if (SUCCEEDED(hr) && !m_associated) {
        auto tomb =
            impl.Prepare("INSERT INTO tombstones(folder, created, known, cn) VALUES(?, ?, ?, ?)");
        tomb.Bind(1, from).Bind(2, created).Bind(3, movedIn).Bind(4, cn);
        hr = tomb.Run();
    }
    if (FAILED(hr)) {
        return hr;
    }
    impl.Notify(ChangeEvent::Removed, ObjectType::Message, from, m_id, m_associated);
    impl.Notify(ChangeEvent::Added, ObjectType::Message, folder.Id(), m_id, m_associated);
    hr = tx.Commit();
    if (FAILED(hr)) {
        return hr;
    }
    m_folderId = folder.Id();
    return Reload();
}

HRESULT Message::CopyTo(const Folder& folder, std::unique_ptr<Message>* copy) {
    if (folder.IsNull()) {
        return MAPI_E_INVALID_OBJECT;
    }
    if (copy != nullptr) {
        copy->reset();
    }
    Session& target = *folder.GetSession();
    std::unique_ptr<Message> m = Access::New(target, folder.Id(), m_associated);
    MessageContent content;
    HRESULT hr = GetContent(&content);
    if (FAILED(hr)) {
        return hr;
    }
    // The copy is a new item: its own search key, and not in a submission.
    content.props.Erase(PR_SEARCH_KEY);
    hr = m->SetContent(content);
    if (FAILED(hr)) {
        return hr;
    }
    LONG flags = static_cast<LONG>(m->m_props.GetInteger(PR_MESSAGE_FLAGS).value_or(0));
    Access::SetFlags(*m, flags & ~MSGFLAG_SUBMIT);
    hr = m->Save();
    if (SUCCEEDED(hr) && copy != nullptr) {
        *copy = std::move(m);
    }
    return hr;
}

HRESULT Message::Reload() {
    if (m_id == 0) {
        return S_OK;
    }
    std::unique_ptr<Message> fresh;
    HRESULT hr = Access::Load(*m_session, m_id, &fresh);
    if (FAILED(hr)) {
        return hr;
    }
    *this = std::move(*fresh);
    return S_OK;
}

HRESULT Message::Submit() {
    if (m_recipients.empty()) {
        return MAPI_E_NO_RECIPIENTS;
    }
    LONG flags = static_cast<LONG>(m_props.GetInteger(PR_MESSAGE_FLAGS).value_or(0));
    Access::SetFlags(*this, flags | MSGFLAG_SUBMIT | MSGFLAG_UNSENT);
    return Save();
}

HRESULT Message::AbortSubmit() {
    if (!IsSubmitted()) {
        return MAPI_E_NOT_IN_QUEUE;
    }
    LONG flags = static_cast<LONG>(m_props.GetInteger(PR_MESSAGE_FLAGS).value_or(0));
    Access::SetFlags(*this, flags & ~MSGFLAG_SUBMIT);
    return Save();
}

bool Message::IsSubmitted() const {
    return (m_props.GetInteger(PR_MESSAGE_FLAGS).value_or(0) & MSGFLAG_SUBMIT) != 0;
}

namespace {
bool IsIdentityProp(ULONG tag) {
    switch (PROP_ID(tag)) {
        case PROP_ID(PR_ENTRYID):
        case PROP_ID(PR_PARENT_ENTRYID):
        case PROP_ID(PR_STORE_ENTRYID):
        case PROP_ID(PR_RECORD_KEY):
        case PROP_ID(PR_SOURCE_KEY):
        case PROP_ID(PR_PARENT_SOURCE_KEY):
        case PROP_ID(PR_CHANGE_KEY):
            return true;
        default:
            return false;
    }
}
}  // namespace

HRESULT Message::GetContent(MessageContent* out) const {
    MessageContent c;
    std::vector<USHORT> used;
    auto collect = [&used](const PropertyBag& bag) {
        for (const auto& [tag, v] : bag) {
            if (IsNamedId(PROP_ID(tag))) {
                used.push_back(static_cast<USHORT>(PROP_ID(tag)));
            }
        }
    };
    for (const auto& [tag, v] : m_props) {
        if (!IsIdentityProp(tag)) {
            c.props.Set(tag, v);
        }
    }
    collect(c.props);
    for (const auto& r : m_recipients) {
        collect(r);
    }
    for (const auto& a : m_attachments) {
        collect(a.props);
    }
    std::sort(used.begin(), used.end());
    used.erase(std::unique(used.begin(), used.end()), used.end());
    std::vector<std::optional<NamedProperty>> names;
    HRESULT hr = m_session->GetNamesFromIDs(used, &names);
    if (FAILED(hr)) {
        return hr;
    }
    for (std::size_t i = 0; i < used.size(); ++i) {
        if (names[i]) {
            c.named[used[i]] = *names[i];
        }
    }
    c.recipients = m_recipients;
    c.attachments = m_attachments;
    *out = std::move(c);
    return S_OK;
}

HRESULT Message::SetContent(const MessageContent& content) {
    // Map content's named ids to this store's ids first, so that a failure
    // leaves the message unchanged.
    std::map<USHORT, USHORT> idMap;
    for (const auto& [localId, name] : content.named) {
        USHORT id = m_session->IdOfName(name, true);
        if (id == 0) {
            return MAPI_E_NOT_ENOUGH_RESOURCES;
        }
        idMap[localId] = id;
    }
    auto remap = [&idMap](const PropertyBag& in) {
        PropertyBag out;
        for (const auto& [tag, v] : in) {
            ULONG id = PROP_ID(tag);
            if (IsNamedId(id)) {
                auto it = idMap.find(static_cast<USHORT>(id));
                if (it == idMap.end()) {
                    continue;  // a named id without a name means nothing here
                }
                id = it->second;
            }
            out.Set(PROP_TAG(PROP_TYPE(tag), id), v);
        }
        return out;
    };
    PropertyBag props = remap(content.props);
    PropertyBag next;
    // Store-maintained properties stay as the store has them.
    for (const auto& [tag, v] : m_props) {
        if (internal::IsComputedMessageProp(tag)) {
            next.Set(tag, v);
        }
    }
    const LONG kept =
        static_cast<LONG>(m_props.GetInteger(PR_MESSAGE_FLAGS).value_or(0)) & kStoreFlagBits;
    const std::optional<Bytes> oldSearchKey = m_props.GetBinary(PR_SEARCH_KEY);
    for (const auto& [tag, v] : props) {
        if (!internal::IsComputedMessageProp(tag)) {
            next.Set(tag, v);
        }
    }
    const LONG given = static_cast<LONG>(props.GetInteger(PR_MESSAGE_FLAGS).value_or(0));
    next.Set(PR_MESSAGE_FLAGS, PropValue::Long((given & ~kStoreFlagBits) | kept));
    if (!next.Has(PR_SEARCH_KEY)) {
        next.Set(PR_SEARCH_KEY, PropValue::Binary(oldSearchKey ? *oldSearchKey : NewSearchKey()));
    }
    std::vector<PropertyBag> recipients;
    for (const auto& r : content.recipients) {
        recipients.push_back(remap(r));
    }
    std::vector<AttachmentContent> attachments = content.attachments;
    for (auto& a : attachments) {
        a.props = remap(a.props);
    }
    m_props = std::move(next);
    m_recipients = std::move(recipients);
    m_attachments = std::move(attachments);
    return S_OK;
}

}  // namespace store
