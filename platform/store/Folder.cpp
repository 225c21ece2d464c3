#include "platform/store/Folder.h"

#include <algorithm>

#include "platform/store/ContentsTable.h"
#include "platform/store/DaslFilter.h"
#include "platform/store/Message.h"
#include "platform/store/PropCodec.h"
#include "platform/store/Session.h"
#include "platform/store/StoreDatabase.h"
#include "platform/store/Synchronizer.h"
#include "platform/win/Errors.h"

namespace store {

using namespace mapi;

namespace internal {

HRESULT InsertFolder(Session::Impl& impl, WriteTransaction& tx, ObjectId parent,
                     const std::wstring& name, const std::wstring& containerClass,
                     std::optional<DefaultFolder> role, ObjectId* out) {
    ULONGLONG created = 0;
    HRESULT hr = tx.NewNumber(&created);
    if (FAILED(hr)) {
        return hr;
    }
    PropertyBag props;
    props.Set(PR_FOLDER_TYPE, PropValue::Long(parent == 0 ? FOLDER_ROOT : FOLDER_GENERIC));
    auto st = impl.Prepare(
        "INSERT INTO folders(parent, name, class, role, created, cn, props) "
        "VALUES(?, ?, ?, ?, ?, ?, ?)");
    st.Bind(1, parent).Bind(2, Utf8(name)).Bind(3, Utf8(containerClass));
    if (role) {
        st.Bind(4, static_cast<std::int64_t>(*role));
    } else {
        st.BindNull(4);
    }
    st.Bind(5, static_cast<std::int64_t>(created))
        .Bind(6, static_cast<std::int64_t>(tx.ChangeNumber()))
        .Bind(7, codec::EncodeBag(props));
    hr = st.Run();
    if (FAILED(hr)) {
        return hr;
    }
    *out = sqlite3_last_insert_rowid(impl.db);
    impl.Notify(ChangeEvent::Added, ObjectType::Folder, parent, *out, false);
    return S_OK;
}

}  // namespace internal

namespace {

struct FolderRow {
    ObjectId parent = 0;
    std::wstring name;
    std::wstring containerClass;
    std::optional<DefaultFolder> role;
    ULONGLONG created = 0;
    PropertyBag props;
};

HRESULT ReadFolder(Session::Impl& impl, ObjectId id, FolderRow* out) {
    auto st =
        impl.Prepare("SELECT parent, name, class, role, created, props FROM folders WHERE id = ?");
    st.Bind(1, id);
    int rc = st.Step();
    if (rc == SQLITE_DONE) {
        return MAPI_E_NOT_FOUND;
    }
    if (rc != SQLITE_ROW) {
        return db::MapError(rc);
    }
    out->parent = st.Int(0);
    out->name = Wide(st.Text(1));
    out->containerClass = Wide(st.Text(2));
    if (!st.IsNull(3)) {
        out->role = static_cast<DefaultFolder>(st.Int(3));
    }
    out->created = static_cast<ULONGLONG>(st.Int(4));
    if (!codec::DecodeBag(st.BlobData(5), st.BlobSize(5), &out->props)) {
        return MAPI_E_CORRUPT_STORE;
    }
    return S_OK;
}

// Whether parent has a direct subfolder named name (other than except).
HRESULT NameTaken(Session::Impl& impl, ObjectId parent, const std::wstring& name, ObjectId except,
                  bool* taken) {
    auto st = impl.Prepare("SELECT id, name FROM folders WHERE parent = ?");
    st.Bind(1, parent);
    *taken = false;
    int rc;
    while ((rc = st.Step()) == SQLITE_ROW) {
        if (st.Int(0) != except && EqualsNoCase(Wide(st.Text(1)), name)) {
            *taken = true;
        }
    }
    return rc == SQLITE_DONE ? S_OK : db::MapError(rc);
}

bool IsComputedFolderProp(ULONG tag) {
    switch (PROP_ID(tag)) {
        case PROP_ID(PR_ENTRYID):
        case PROP_ID(PR_PARENT_ENTRYID):
        case PROP_ID(PR_STORE_ENTRYID):
        case PROP_ID(PR_RECORD_KEY):
        case PROP_ID(PR_SOURCE_KEY):
        case PROP_ID(PR_OBJECT_TYPE):
        case PROP_ID(PR_CONTENT_COUNT):
        case PROP_ID(PR_CONTENT_UNREAD):
        case PROP_ID(PR_SUBFOLDERS):
        case PROP_ID(PR_CONTAINER_CLASS):
            return true;
        default:
            return false;
    }
}

HRESULT CountRows(Session::Impl& impl, const char* sql, ObjectId id, std::int64_t* out) {
    auto st = impl.Prepare(sql);
    st.Bind(1, id);
    int rc = st.Step();
    if (rc != SQLITE_ROW) {
        return db::MapError(rc);
    }
    *out = st.Int(0);
    return S_OK;
}

}  // namespace

Bytes Folder::EntryId() const {
    if (IsNull()) {
        return {};
    }
    return m_session->GetImpl().EntryIdOf(ObjectType::Folder, m_id);
}

HRESULT Folder::GetProps(PropertyBag* out) const {
    if (IsNull()) {
        return MAPI_E_INVALID_OBJECT;
    }
    Session::Impl& impl = m_session->GetImpl();
    ReadTransaction rt(impl);
    HRESULT hr = rt.Begin();
    if (FAILED(hr)) {
        return hr;
    }
    FolderRow row;
    hr = ReadFolder(impl, m_id, &row);
    if (FAILED(hr)) {
        return hr;
    }
    std::int64_t count = 0, unread = 0, subfolders = 0;
    hr = CountRows(impl, "SELECT normal_count FROM folders WHERE id = ?", m_id, &count);
    if (SUCCEEDED(hr)) {
        // PR_MESSAGE_FLAGS lives inside the property blob; unread messages
        // are counted through the bag, which is fine for folder pages.
        auto st = impl.Prepare("SELECT props FROM messages WHERE folder = ? AND assoc = 0");
        st.Bind(1, m_id);
        while (st.Step() == SQLITE_ROW) {
            PropertyBag flags;
            if (codec::DecodeSelected(st.BlobData(0), st.BlobSize(0), {PR_MESSAGE_FLAGS}, &flags) &&
                (flags.GetInteger(PR_MESSAGE_FLAGS).value_or(0) & MSGFLAG_READ) == 0) {
                ++unread;
            }
        }
        hr = CountRows(impl, "SELECT COUNT(*) FROM folders WHERE parent = ?", m_id, &subfolders);
    }
    if (FAILED(hr)) {
        return hr;
    }
    *out = row.props;
    out->Set(PR_DISPLAY_NAME, PropValue::Unicode(row.name));
    out->Set(PR_CONTAINER_CLASS, PropValue::Unicode(row.containerClass));
    out->Set(PR_ENTRYID, PropValue::Binary(EntryId()));
    out->Set(PR_RECORD_KEY, PropValue::Binary(EntryId()));
    if (row.parent != 0) {
        out->Set(PR_PARENT_ENTRYID,
                 PropValue::Binary(impl.EntryIdOf(ObjectType::Folder, row.parent)));
    }
    out->Set(PR_STORE_ENTRYID, PropValue::Binary(impl.info.entryId));
    out->Set(PR_SOURCE_KEY, PropValue::Binary(impl.SourceKeyOf(row.created)));
    out->Set(PR_OBJECT_TYPE, PropValue::Long(static_cast<LONG>(ObjectType::Folder)));
    out->Set(PR_CONTENT_COUNT, PropValue::Long(static_cast<LONG>(count)));
    out->Set(PR_CONTENT_UNREAD, PropValue::Long(static_cast<LONG>(unread)));
    out->Set(PR_SUBFOLDERS, PropValue::Boolean(subfolders > 0));
    return S_OK;
}

HRESULT Folder::SetProps(const PropertyBag& props) {
    if (IsNull()) {
        return MAPI_E_INVALID_OBJECT;
    }
    Session::Impl& impl = m_session->GetImpl();
    WriteTransaction tx(impl);
    HRESULT hr = tx.Begin();
    if (FAILED(hr)) {
        return hr;
    }
    FolderRow row;
    hr = ReadFolder(impl, m_id, &row);
    if (FAILED(hr)) {
        return hr;
    }
    for (const auto& [tag, value] : props) {
        if (PROP_ID(tag) == PROP_ID(PR_DISPLAY_NAME)) {
            continue;
        }
        if (!IsComputedFolderProp(tag)) {
            row.props.Set(tag, value);
        }
    }
    if (auto name = props.GetText(PR_DISPLAY_NAME)) {
        if (name->empty()) {
            return E_INVALIDARG;
        }
        bool taken = false;
        hr = NameTaken(impl, row.parent, *name, m_id, &taken);
        if (FAILED(hr)) {
            return hr;
        }
        if (taken) {
            return MAPI_E_COLLISION;
        }
        row.name = *name;
    }
    if (auto cls = props.GetText(PR_CONTAINER_CLASS)) {
        row.containerClass = *cls;
    }
    row.props.Erase(PR_DISPLAY_NAME);
    auto st =
        impl.Prepare("UPDATE folders SET name = ?, class = ?, cn = ?, props = ? WHERE id = ?");
    st.Bind(1, Utf8(row.name))
        .Bind(2, Utf8(row.containerClass))
        .Bind(3, static_cast<std::int64_t>(tx.ChangeNumber()))
        .Bind(4, codec::EncodeBag(row.props))
        .Bind(5, m_id);
    hr = st.Run();
    if (FAILED(hr)) {
        return hr;
    }
    impl.Notify(ChangeEvent::Modified, ObjectType::Folder, row.parent, m_id, false);
    return tx.Commit();
}

HRESULT Folder::GetName(std::wstring* out) const {
    if (IsNull()) {
        return MAPI_E_INVALID_OBJECT;
    }
    FolderRow row;
    HRESULT hr = ReadFolder(m_session->GetImpl(), m_id, &row);
    if (SUCCEEDED(hr)) {
        *out = row.name;
    }
    return hr;
}

HRESULT Folder::GetContainerClass(std::wstring* out) const {
    if (IsNull()) {
        return MAPI_E_INVALID_OBJECT;
    }
    FolderRow row;
    HRESULT hr = ReadFolder(m_session->GetImpl(), m_id, &row);
    if (SUCCEEDED(hr)) {
        *out = row.containerClass;
    }
    return hr;
}

HRESULT Folder::GetRole(std::optional<DefaultFolder>* out) const {
    if (IsNull()) {
        return MAPI_E_INVALID_OBJECT;
    }
    FolderRow row;
    HRESULT hr = ReadFolder(m_session->GetImpl(), m_id, &row);
    if (SUCCEEDED(hr)) {
        *out = row.role;
    }
    return hr;
}

HRESULT Folder::GetParent(Folder* out) const {
    if (IsNull()) {
        return MAPI_E_INVALID_OBJECT;
    }
    FolderRow row;
    HRESULT hr = ReadFolder(m_session->GetImpl(), m_id, &row);
    if (FAILED(hr)) {
        return hr;
    }
    if (row.parent == 0) {
        return MAPI_E_NOT_FOUND;
    }
    *out = Folder(m_session, row.parent);
    return S_OK;
}

HRESULT Folder::GetSubfolders(std::vector<Folder>* out) const {
    if (IsNull()) {
        return MAPI_E_INVALID_OBJECT;
    }
    Session::Impl& impl = m_session->GetImpl();
    bool exists = false;
    HRESULT hr = impl.FolderExists(m_id, &exists);
    if (FAILED(hr)) {
        return hr;
    }
    if (!exists) {
        return MAPI_E_NOT_FOUND;
    }
    out->clear();
    auto st = impl.Prepare("SELECT id FROM folders WHERE parent = ? ORDER BY id");
    st.Bind(1, m_id);
    int rc;
    while ((rc = st.Step()) == SQLITE_ROW) {
        out->emplace_back(m_session, st.Int(0));
    }
    return rc == SQLITE_DONE ? S_OK : db::MapError(rc);
}

HRESULT Folder::FindSubfolder(const std::wstring& name, Folder* out) const {
    std::vector<Folder> children;
    HRESULT hr = GetSubfolders(&children);
    if (FAILED(hr)) {
        return hr;
    }
    for (const Folder& child : children) {
        std::wstring childName;
        if (SUCCEEDED(child.GetName(&childName)) && EqualsNoCase(childName, name)) {
            *out = child;
            return S_OK;
        }
    }
    return MAPI_E_NOT_FOUND;
}

HRESULT Folder::CreateSubfolder(const std::wstring& name, const std::wstring& containerClass,
                                Folder* out) {
    if (IsNull()) {
        return MAPI_E_INVALID_OBJECT;
    }
    if (name.empty()) {
        return E_INVALIDARG;
    }
    Session::Impl& impl = m_session->GetImpl();
    WriteTransaction tx(impl);
    HRESULT hr = tx.Begin();
    if (FAILED(hr)) {
        return hr;
    }
    bool exists = false;
    hr = impl.FolderExists(m_id, &exists);
    if (FAILED(hr)) {
        return hr;
    }
    if (!exists) {
        return MAPI_E_NOT_FOUND;
    }
    bool taken = false;
    hr = NameTaken(impl, m_id, name, 0, &taken);
    if (FAILED(hr)) {
        return hr;
    }
    if (taken) {
        return MAPI_E_COLLISION;
    }
    ObjectId id = 0;
    hr = internal::InsertFolder(impl, tx, m_id, name, containerClass, std::nullopt, &id);
    if (SUCCEEDED(hr)) {
        hr = tx.Commit();
    }
    if (SUCCEEDED(hr)) {
        *out = Folder(m_session, id);
    }
    return hr;
}

HRESULT Folder::Rename(const std::wstring& name) {
    PropertyBag props;
    props.Set(PR_DISPLAY_NAME, PropValue::Unicode(name));
    return SetProps(props);
}

HRESULT Folder::Delete() {
    if (IsNull()) {
        return MAPI_E_INVALID_OBJECT;
    }
    Session::Impl& impl = m_session->GetImpl();
    if (m_id == impl.topFolder) {
        return MAPI_E_NO_ACCESS;
    }
    WriteTransaction tx(impl);
    HRESULT hr = tx.Begin();
    if (FAILED(hr)) {
        return hr;
    }
    FolderRow row;
    hr = ReadFolder(impl, m_id, &row);
    if (FAILED(hr)) {
        return hr;
    }
    // Depth-first, children before parents, so that each Removed names a
    // parent that still existed when the child went.
    std::vector<std::pair<ObjectId, ObjectId>> order;  // (folder, parent)
    std::vector<std::pair<ObjectId, ObjectId>> stack = {{m_id, row.parent}};
    while (!stack.empty()) {
        auto current = stack.back();
        stack.pop_back();
        order.push_back(current);
        auto st = impl.Prepare("SELECT id FROM folders WHERE parent = ?");
        st.Bind(1, current.first);
        while (st.Step() == SQLITE_ROW) {
            stack.emplace_back(st.Int(0), current.first);
        }
    }
    for (auto it = order.rbegin(); it != order.rend(); ++it) {
        auto delMessages = impl.Prepare("DELETE FROM messages WHERE folder = ?");
        delMessages.Bind(1, it->first);
        auto delTombstones = impl.Prepare("DELETE FROM tombstones WHERE folder = ?");
        delTombstones.Bind(1, it->first);
        auto delFolder = impl.Prepare("DELETE FROM folders WHERE id = ?");
        delFolder.Bind(1, it->first);
        hr = delMessages.Run();
        if (SUCCEEDED(hr))
            hr = delTombstones.Run();
        if (SUCCEEDED(hr))
            hr = delFolder.Run();
        if (FAILED(hr)) {
            return hr;
        }
        impl.Notify(ChangeEvent::Removed, ObjectType::Folder, it->second, it->first, false);
    }
    return tx.Commit();
}

HRESULT Folder::MoveTo(const Folder& newParent) {
    if (IsNull() || newParent.IsNull()) {
        return MAPI_E_INVALID_OBJECT;
    }
    if (newParent.m_session->Info().storeGuid != m_session->Info().storeGuid) {
        return E_INVALIDARG;
    }
    Session::Impl& impl = m_session->GetImpl();
    if (m_id == impl.topFolder) {
        return MAPI_E_NO_ACCESS;
    }
    WriteTransaction tx(impl);
    HRESULT hr = tx.Begin();
    if (FAILED(hr)) {
        return hr;
    }
    FolderRow row;
    hr = ReadFolder(impl, m_id, &row);
    if (FAILED(hr)) {
        return hr;
    }
    // The new parent must not be this folder or lie below it.
    for (ObjectId up = newParent.m_id; up != 0;) {
        if (up == m_id) {
            return E_INVALIDARG;
        }
        FolderRow ancestor;
        hr = ReadFolder(impl, up, &ancestor);
        if (FAILED(hr)) {
            return hr;
        }
        up = ancestor.parent;
    }
    bool taken = false;
    hr = NameTaken(impl, newParent.m_id, row.name, m_id, &taken);
    if (FAILED(hr)) {
        return hr;
    }
    if (taken) {
        return MAPI_E_COLLISION;
    }
    auto st = impl.Prepare("UPDATE folders SET parent = ?, cn = ? WHERE id = ?");
    st.Bind(1, newParent.m_id).Bind(2, static_cast<std::int64_t>(tx.ChangeNumber())).Bind(3, m_id);
    hr = st.Run();
    if (FAILED(hr)) {
        return hr;
    }
    impl.Notify(ChangeEvent::Removed, ObjectType::Folder, row.parent, m_id, false);
    impl.Notify(ChangeEvent::Added, ObjectType::Folder, newParent.m_id, m_id, false);
    return tx.Commit();
}

HRESULT Folder::GetContentCount(bool associated, ULONG* out) const {
    if (IsNull()) {
        return MAPI_E_INVALID_OBJECT;
    }
    Session::Impl& impl = m_session->GetImpl();
    auto st = impl.Prepare(associated ? "SELECT assoc_count FROM folders WHERE id = ?"
                                      : "SELECT normal_count FROM folders WHERE id = ?");
    st.Bind(1, m_id);
    int rc = st.Step();
    if (rc == SQLITE_DONE) {
        return MAPI_E_NOT_FOUND;
    }
    if (rc != SQLITE_ROW) {
        return db::MapError(rc);
    }
    *out = static_cast<ULONG>(st.Int(0));
    return S_OK;
}

HRESULT Folder::CreateMessage(bool associated, std::unique_ptr<Message>* out) {
    out->reset();
    if (IsNull()) {
        return MAPI_E_INVALID_OBJECT;
    }
    bool exists = false;
    HRESULT hr = m_session->GetImpl().FolderExists(m_id, &exists);
    if (FAILED(hr)) {
        return hr;
    }
    if (!exists) {
        return MAPI_E_NOT_FOUND;
    }
    *out = Message::Access::New(*m_session, m_id, associated);
    return S_OK;
}

HRESULT Folder::GetContentsTable(bool associated, std::unique_ptr<ContentsTable>* out) {
    out->reset();
    if (IsNull()) {
        return MAPI_E_INVALID_OBJECT;
    }
    bool exists = false;
    HRESULT hr = m_session->GetImpl().FolderExists(m_id, &exists);
    if (FAILED(hr)) {
        return hr;
    }
    if (!exists) {
        return MAPI_E_NOT_FOUND;
    }
    *out = std::make_unique<ContentsTable>(*this, associated);
    return S_OK;
}

namespace {
USHORT ResolveForFilter(void* context, const NamedProperty& name) {
    return static_cast<Session*>(context)->IdOfName(name, false);
}
}  // namespace

HRESULT Folder::Find(const std::wstring& filterText, bool associated,
                     std::vector<Bytes>* entryIds) {
    if (IsNull()) {
        return MAPI_E_INVALID_OBJECT;
    }
    entryIds->clear();
    DaslFilter filter;
    HRESULT hr = DaslFilter::Parse(filterText, &ResolveForFilter, m_session, &filter);
    if (FAILED(hr)) {
        return hr;
    }
    Session::Impl& impl = m_session->GetImpl();
    bool exists = false;
    hr = impl.FolderExists(m_id, &exists);
    if (FAILED(hr)) {
        return hr;
    }
    if (!exists) {
        return MAPI_E_NOT_FOUND;
    }
    const auto keys = filter.SearchKeyTerms();
    // Answered from the search-key index when it can be: one probe per key.
    // Named, as the folder index would give the row order without a sort
    // and so looks cheaper to the planner while it reads the whole folder.
    std::string sql = std::string("SELECT ") + internal::kMessageHeaderColumns +
                      (keys ? " FROM messages INDEXED BY messages_search_key" : " FROM messages") +
                      " WHERE folder = ? AND assoc = ?";
    if (keys) {
        sql += " AND search_key = ?";
    }
    sql += " ORDER BY id";
    // Only the properties the filter reads are decoded.
    const std::vector<ULONG> tags = filter.Tags();
    auto run = [&](const Bytes* key) -> HRESULT {
        auto st = impl.Prepare(sql);
        st.Bind(1, m_id).Bind(2, associated ? 1 : 0);
        if (key != nullptr) {
            st.Bind(3, *key);
        }
        int rc;
        while ((rc = st.Step()) == SQLITE_ROW) {
            internal::MessageRow row = internal::ReadMessageRow(st);
            PropertyBag props;
            if (!codec::DecodeSelected(st.BlobData(internal::kMessagePropsColumn),
                                       st.BlobSize(internal::kMessagePropsColumn), tags, &props)) {
                return MAPI_E_CORRUPT_STORE;
            }
            internal::AddComputedMessageProps(impl, row, &props);
            if (filter.Matches(props)) {
                entryIds->push_back(impl.EntryIdOf(ObjectType::Message, row.id));
            }
        }
        return rc == SQLITE_DONE ? S_OK : db::MapError(rc);
    };
    ReadTransaction rt(impl);
    hr = rt.Begin();
    if (FAILED(hr)) {
        return hr;
    }
    if (!keys) {
        return run(nullptr);
    }
    for (const Bytes& key : *keys) {
        hr = run(&key);
        if (FAILED(hr)) {
            return hr;
        }
    }
    // Several keys may find the same message; keep creation order, once each.
    std::sort(entryIds->begin(), entryIds->end(), [](const Bytes& a, const Bytes& b) {
        return ParseEntryId(a)->id < ParseEntryId(b)->id;
    });
    entryIds->erase(std::unique(entryIds->begin(), entryIds->end()), entryIds->end());
    return S_OK;
}

HRESULT Folder::GetSynchronizer(std::unique_ptr<Synchronizer>* out) {
    out->reset();
    if (IsNull()) {
        return MAPI_E_INVALID_OBJECT;
    }
    if (m_session->Info().tracking != ChangeTracking::Incremental) {
        return MAPI_E_NO_SUPPORT;
    }
    bool exists = false;
    HRESULT hr = m_session->GetImpl().FolderExists(m_id, &exists);
    if (FAILED(hr)) {
        return hr;
    }
    if (!exists) {
        return MAPI_E_NOT_FOUND;
    }
    *out = std::make_unique<Synchronizer>(*this);
    return S_OK;
}

}  // namespace store
