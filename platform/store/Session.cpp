#include "platform/store/Session.h"

#include <sys/stat.h>

#include "platform/mapi/PropTags.h"
#include "platform/store/Faults.h"
#include "platform/store/Folder.h"
#include "platform/store/Message.h"
#include "platform/store/StoreDatabase.h"
#include "platform/win/CriticalSection.h"
#include "platform/win/Errors.h"

namespace store {
namespace {

using namespace mapi;

// Version of the database layout; a store of another version is refused.
constexpr std::int64_t kFormatVersion = 1;
// Real milliseconds a writer waits for another one before MAPI_E_BUSY.
constexpr int kBusyTimeoutMs = 10000;

constexpr const char* kSchema = R"sql(
CREATE TABLE meta(key TEXT PRIMARY KEY, value);
CREATE TABLE folders(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  parent INTEGER NOT NULL,
  name TEXT NOT NULL,
  class TEXT NOT NULL,
  role INTEGER,
  created INTEGER NOT NULL,
  cn INTEGER NOT NULL,
  props BLOB NOT NULL,
  normal_count INTEGER NOT NULL DEFAULT 0,
  assoc_count INTEGER NOT NULL DEFAULT 0);
CREATE INDEX folders_parent ON folders(parent);
CREATE TABLE messages(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  folder INTEGER NOT NULL,
  assoc INTEGER NOT NULL,
  created INTEGER NOT NULL,
  cn INTEGER NOT NULL,
  mtime INTEGER NOT NULL,
  moved_in INTEGER NOT NULL,
  props BLOB NOT NULL,
  recips BLOB NOT NULL,
  atts BLOB NOT NULL,
  search_key BLOB,
  reminder INTEGER,
  submitted INTEGER);
CREATE INDEX messages_mtime ON messages(folder, assoc, mtime, id);
CREATE INDEX messages_folder ON messages(folder, assoc);
CREATE INDEX messages_cn ON messages(folder, cn);
CREATE INDEX messages_search_key ON messages(search_key);
CREATE INDEX messages_reminder ON messages(reminder) WHERE reminder IS NOT NULL;
CREATE INDEX messages_submitted ON messages(submitted) WHERE submitted IS NOT NULL;
-- Row counts per folder, kept by the database itself so that a table's row
-- count costs one lookup however large the folder is.
CREATE TRIGGER messages_counted_in AFTER INSERT ON messages BEGIN
  UPDATE folders SET normal_count = normal_count + (NEW.assoc = 0),
                     assoc_count = assoc_count + (NEW.assoc <> 0) WHERE id = NEW.folder;
END;
CREATE TRIGGER messages_counted_out AFTER DELETE ON messages BEGIN
  UPDATE folders SET normal_count = normal_count - (OLD.assoc = 0),
                     assoc_count = assoc_count - (OLD.assoc <> 0) WHERE id = OLD.folder;
END;
CREATE TRIGGER messages_counted_moved AFTER UPDATE OF folder ON messages
  WHEN OLD.folder <> NEW.folder BEGIN
  UPDATE folders SET normal_count = normal_count - (OLD.assoc = 0),
                     assoc_count = assoc_count - (OLD.assoc <> 0) WHERE id = OLD.folder;
  UPDATE folders SET normal_count = normal_count + (NEW.assoc = 0),
                     assoc_count = assoc_count + (NEW.assoc <> 0) WHERE id = NEW.folder;
END;
CREATE TABLE tombstones(
  folder INTEGER NOT NULL,
  created INTEGER NOT NULL,
  known INTEGER NOT NULL,
  cn INTEGER NOT NULL);
CREATE INDEX tombstones_cn ON tombstones(folder, cn);
CREATE TABLE named(
  id INTEGER PRIMARY KEY,
  guid BLOB NOT NULL,
  kind INTEGER NOT NULL,
  lid INTEGER NOT NULL,
  name TEXT NOT NULL,
  UNIQUE(guid, kind, lid, name));
)sql";

// Indexes that stores made before them lack: added on open, once per file.
// A store keeps its layout version, as code that does not know an index
// reads and writes the tables as before.
HRESULT AddLaterIndexes(Session::Impl& impl) {
    auto st = impl.Prepare("SELECT 1 FROM sqlite_master WHERE type = 'index' AND name = ?");
    st.Bind(1, std::string("messages_folder"));
    int rc = st.Step();
    if (rc == SQLITE_ROW) {
        return S_OK;
    }
    if (rc != SQLITE_DONE) {
        return db::MapError(rc);
    }
    st.Reset();
    return impl.ExecScript("CREATE INDEX IF NOT EXISTS messages_folder ON messages(folder, assoc)");
}

bool FileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

HRESULT Connect(const std::string& path, bool create, std::unique_ptr<Session::Impl>* out) {
    auto impl = std::make_unique<Session::Impl>();
    impl->path = path;
    int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0);
    int rc = sqlite3_open_v2(path.c_str(), &impl->db, flags, nullptr);
    if (rc != SQLITE_OK) {
        return rc == SQLITE_CANTOPEN && !create ? MAPI_E_NOT_FOUND : db::MapError(rc);
    }
    sqlite3_busy_timeout(impl->db, kBusyTimeoutMs);
    HRESULT hr = impl->ExecScript("PRAGMA journal_mode=WAL");
    if (SUCCEEDED(hr)) {
        hr = impl->ExecScript("PRAGMA synchronous=NORMAL");
    }
    if (FAILED(hr)) {
        return hr;
    }
    *out = std::move(impl);
    return S_OK;
}

HRESULT SetMeta(Session::Impl& impl, const char* key, std::int64_t value) {
    auto st = impl.Prepare("INSERT OR REPLACE INTO meta(key, value) VALUES(?, ?)");
    st.Bind(1, std::string(key)).Bind(2, value);
    return st.Run();
}

HRESULT SetMetaBlob(Session::Impl& impl, const char* key, const Bytes& value) {
    auto st = impl.Prepare("INSERT OR REPLACE INTO meta(key, value) VALUES(?, ?)");
    st.Bind(1, std::string(key)).Bind(2, value);
    return st.Run();
}

HRESULT SetMetaText(Session::Impl& impl, const char* key, const std::string& value) {
    auto st = impl.Prepare("INSERT OR REPLACE INTO meta(key, value) VALUES(?, ?)");
    st.Bind(1, std::string(key)).Bind(2, value);
    return st.Run();
}

HRESULT LoadInfo(Session::Impl& impl) {
    auto st = impl.Prepare("SELECT key, value FROM meta");
    if (!st.Valid()) {
        return MAPI_E_CORRUPT_STORE;  // no meta table: not a store
    }
    std::int64_t format = 0;
    bool haveGuid = false;
    bool haveTop = false;
    int rc;
    while ((rc = st.Step()) == SQLITE_ROW) {
        std::string key = st.Text(0);
        if (key == "format") {
            format = st.Int(1);
        } else if (key == "kind") {
            impl.info.kind = static_cast<StoreKind>(st.Int(1));
        } else if (key == "tracking") {
            impl.info.tracking = static_cast<ChangeTracking>(st.Int(1));
        } else if (key == "provider") {
            impl.info.providerId = st.Blob(1);
        } else if (key == "name") {
            impl.info.displayName = Wide(st.Text(1));
        } else if (key == "guid") {
            Bytes g = st.Blob(1);
            if (g.size() == 16) {
                impl.info.storeGuid = win::GuidFromBytes(g.data());
                haveGuid = true;
            }
        } else if (key == "top") {
            impl.topFolder = st.Int(1);
            haveTop = true;
        }
    }
    if (rc != SQLITE_DONE) {
        return db::MapError(rc);
    }
    if (format != 0 && format != kFormatVersion) {
        return MAPI_E_VERSION;  // a store of another layout version
    }
    if (format != kFormatVersion || !haveGuid || !haveTop ||
        !IsValidKind(static_cast<LONG>(impl.info.kind))) {
        return MAPI_E_CORRUPT_STORE;
    }
    impl.info.entryId = impl.EntryIdOf(ObjectType::Store, 0);
    return S_OK;
}

bool OptionsAreConsistent(const StoreOptions& o) {
    if (!IsValidKind(static_cast<LONG>(o.kind)) || o.providerId.size() != 16) {
        return false;
    }
    const bool incremental = o.tracking == ChangeTracking::Incremental;
    if (o.tracking != ChangeTracking::ChangeKeys &&
        o.tracking != ChangeTracking::ModificationTime && !incremental) {
        return false;
    }
    return incremental == IsExchangeKind(o.kind);
}

// The identity of the file now at a path: a store file replaced by another
// one under the same name (a test, a restore) must not keep the old GUID.
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

std::optional<FileIdentity> IdentityOf(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return std::nullopt;
    }
    return FileIdentity{static_cast<std::uint64_t>(st.st_dev),
                        static_cast<std::uint64_t>(st.st_ino)};
}

struct GuidCache {
    CriticalSection lock;
    std::map<std::string, std::pair<FileIdentity, GUID>> byPath GUARDED_BY(lock);
};

GuidCache& TheGuidCache() {
    static GuidCache* cache = new GuidCache();
    return *cache;
}

}  // namespace

Session::Session(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}
Session::~Session() = default;

HRESULT Session::Create(const std::string& hostPath, const StoreOptions& options,
                        std::unique_ptr<Session>* out) {
    out->reset();
    if (!OptionsAreConsistent(options)) {
        return E_INVALIDARG;
    }
    if (FileExists(hostPath)) {
        return MAPI_E_COLLISION;
    }
    std::unique_ptr<Impl> impl;
    HRESULT hr = Connect(hostPath, true, &impl);
    if (FAILED(hr)) {
        return hr;
    }
    impl->info.kind = options.kind;
    impl->info.tracking = options.tracking;
    impl->info.providerId = options.providerId;
    impl->info.displayName = options.displayName;
    impl->info.storeGuid = options.storeGuid ? *options.storeGuid : win::NewGuid();
    impl->info.entryId = impl->EntryIdOf(ObjectType::Store, 0);

    hr = impl->ExecScript(kSchema);
    if (FAILED(hr)) {
        return hr;
    }
    auto g = win::GuidToBytes(impl->info.storeGuid);
    hr = SetMeta(*impl, "counter", 0);
    if (SUCCEEDED(hr)) {
        WriteTransaction tx(*impl);
        hr = tx.Begin();
        if (SUCCEEDED(hr))
            hr = SetMeta(*impl, "format", kFormatVersion);
        if (SUCCEEDED(hr))
            hr = SetMeta(*impl, "kind", static_cast<LONG>(options.kind));
        if (SUCCEEDED(hr))
            hr = SetMeta(*impl, "tracking", static_cast<LONG>(options.tracking));
        if (SUCCEEDED(hr))
            hr = SetMetaBlob(*impl, "provider", options.providerId);
        if (SUCCEEDED(hr))
            hr = SetMetaText(*impl, "name", Utf8(options.displayName));
        if (SUCCEEDED(hr))
            hr = SetMetaBlob(*impl, "guid", Bytes(g.begin(), g.end()));
        ObjectId top = 0;
        const std::wstring topName =
            IsExchangeKind(options.kind) ? L"Top of Information Store" : L"Top of Personal Folders";
        if (SUCCEEDED(hr)) {
            hr = internal::InsertFolder(*impl, tx, 0, topName, L"", std::nullopt, &top);
        }
        if (SUCCEEDED(hr))
            hr = SetMeta(*impl, "top", top);
        impl->topFolder = top;
        const auto roles =
            options.defaultFolders ? *options.defaultFolders : DefaultFoldersForKind(options.kind);
        for (DefaultFolder role : roles) {
            ObjectId id = 0;
            if (SUCCEEDED(hr)) {
                hr = internal::InsertFolder(*impl, tx, top, DefaultFolderName(role),
                                            DefaultFolderClass(role), role, &id);
            }
        }
        // A new store's folders are nobody's news: drop their notifications.
        impl->pending.clear();
        if (SUCCEEDED(hr))
            hr = tx.Commit();
    }
    if (FAILED(hr)) {
        impl.reset();
        ::unlink(hostPath.c_str());
        return hr;
    }
    if (auto identity = IdentityOf(hostPath)) {
        GuidCache& cache = TheGuidCache();
        CriticalSectionLock guard(cache.lock);
        cache.byPath[hostPath] = {*identity, impl->info.storeGuid};
    }
    out->reset(new Session(std::move(impl)));
    return S_OK;
}

HRESULT Session::Open(const std::string& hostPath, std::unique_ptr<Session>* out) {
    out->reset();
    if (!FileExists(hostPath)) {
        return MAPI_E_NOT_FOUND;
    }
    std::unique_ptr<Impl> impl;
    HRESULT hr = Connect(hostPath, false, &impl);
    if (FAILED(hr)) {
        return hr;
    }
    hr = LoadInfo(*impl);
    if (FAILED(hr)) {
        return hr;
    }
    hr = CurrentFault(FaultSite::Logon, impl->info.storeGuid);
    if (FAILED(hr)) {
        return hr;
    }
    hr = AddLaterIndexes(*impl);
    if (FAILED(hr)) {
        return hr;
    }
    out->reset(new Session(std::move(impl)));
    return S_OK;
}

HRESULT Session::PeekStoreGuid(const std::string& hostPath, GUID* out) {
    GuidCache& cache = TheGuidCache();
    const auto identity = IdentityOf(hostPath);
    if (!identity) {
        return MAPI_E_NOT_FOUND;
    }
    {
        CriticalSectionLock guard(cache.lock);
        if (auto it = cache.byPath.find(hostPath);
            it != cache.byPath.end() && it->second.first == *identity) {
            *out = it->second.second;
            return S_OK;
        }
    }
    std::unique_ptr<Impl> impl;
    HRESULT hr = Connect(hostPath, false, &impl);
    if (SUCCEEDED(hr)) {
        hr = LoadInfo(*impl);
    }
    if (FAILED(hr)) {
        return hr;
    }
    *out = impl->info.storeGuid;
    CriticalSectionLock guard(cache.lock);
    cache.byPath[hostPath] = {*identity, *out};
    return S_OK;
}

const StoreInfo& Session::Info() const {
    return m_impl->info;
}

const std::string& Session::Path() const {
    return m_impl->path;
}

PropertyBag Session::StoreProps() const {
    PropertyBag props;
    const StoreInfo& info = m_impl->info;
    props.Set(PR_DISPLAY_NAME, PropValue::Unicode(info.displayName));
    props.Set(PR_MDB_PROVIDER, PropValue::Binary(info.providerId));
    props.Set(PR_ENTRYID, PropValue::Binary(info.entryId));
    props.Set(PR_STORE_ENTRYID, PropValue::Binary(info.entryId));
    auto g = win::GuidToBytes(info.storeGuid);
    props.Set(PR_RECORD_KEY, PropValue::Binary(Bytes(g.begin(), g.end())));
    props.Set(PR_STORE_SUPPORT_MASK,
              PropValue::Long(info.kind == StoreKind::PersonalAnsi ? 0 : STORE_UNICODE_OK));
    props.Set(PR_OBJECT_TYPE, PropValue::Long(static_cast<LONG>(ObjectType::Store)));
    return props;
}

HRESULT Session::GetRootFolder(Folder* out) {
    *out = Folder(this, m_impl->topFolder);
    return S_OK;
}

HRESULT Session::GetDefaultFolder(DefaultFolder role, Folder* out) {
    auto st = m_impl->Prepare("SELECT id FROM folders WHERE role = ? ORDER BY id LIMIT 1");
    st.Bind(1, static_cast<LONG>(role));
    int rc = st.Step();
    if (rc == SQLITE_DONE) {
        return MAPI_E_NOT_FOUND;
    }
    if (rc != SQLITE_ROW) {
        return db::MapError(rc);
    }
    *out = Folder(this, st.Int(0));
    return S_OK;
}

HRESULT Session::OpenFolder(const Bytes& entryId, Folder* out) {
    ObjectId id = 0;
    HRESULT hr = m_impl->ResolveEntryId(entryId, ObjectType::Folder, &id);
    if (FAILED(hr)) {
        return hr;
    }
    hr = CurrentFault(FaultSite::OpenObject, m_impl->info.storeGuid);
    if (FAILED(hr)) {
        return hr;
    }
    bool exists = false;
    hr = m_impl->FolderExists(id, &exists);
    if (FAILED(hr)) {
        return hr;
    }
    if (!exists) {
        return MAPI_E_NOT_FOUND;
    }
    *out = Folder(this, id);
    return S_OK;
}

HRESULT Session::OpenMessage(const Bytes& entryId, std::unique_ptr<Message>* out) {
    out->reset();
    ObjectId id = 0;
    HRESULT hr = m_impl->ResolveEntryId(entryId, ObjectType::Message, &id);
    if (FAILED(hr)) {
        return hr;
    }
    hr = CurrentFault(FaultSite::OpenObject, m_impl->info.storeGuid);
    if (FAILED(hr)) {
        return hr;
    }
    return Message::Access::Load(*this, id, out);
}

HRESULT Session::DeleteMessage(const Bytes& entryId) {
    ObjectId id = 0;
    HRESULT hr = m_impl->ResolveEntryId(entryId, ObjectType::Message, &id);
    if (FAILED(hr)) {
        return hr;
    }
    return Message::Access::DeleteRow(*this, id);
}

namespace {
HRESULT CollectMessageIds(Session::Impl& impl, db::Statement& st, std::vector<Bytes>* out) {
    out->clear();
    int rc;
    while ((rc = st.Step()) == SQLITE_ROW) {
        out->push_back(impl.EntryIdOf(ObjectType::Message, st.Int(0)));
    }
    return rc == SQLITE_DONE ? S_OK : db::MapError(rc);
}
}  // namespace

HRESULT Session::GetRemindersDue(ULONGLONG fileTime, std::vector<Bytes>* entryIds) {
    auto st = m_impl->Prepare(
        "SELECT id FROM messages WHERE reminder IS NOT NULL AND reminder <= ? "
        "ORDER BY reminder, id");
    st.Bind(1, static_cast<std::int64_t>(fileTime));
    return CollectMessageIds(*m_impl, st, entryIds);
}

HRESULT Session::GetSubmittedMessages(std::vector<Bytes>* entryIds) {
    auto st = m_impl->Prepare(
        "SELECT id FROM messages WHERE submitted IS NOT NULL ORDER BY submitted, id");
    return CollectMessageIds(*m_impl, st, entryIds);
}

HRESULT Session::CompleteSubmission(const Bytes& entryId) {
    std::unique_ptr<Message> message;
    HRESULT hr = OpenMessage(entryId, &message);
    if (FAILED(hr)) {
        return hr;
    }
    if (!message->IsSubmitted()) {
        return MAPI_E_NOT_IN_QUEUE;
    }
    WriteTransaction tx(*m_impl);
    hr = tx.Begin();
    if (FAILED(hr)) {
        return hr;
    }
    const LONG flags = static_cast<LONG>(message->Props().GetInteger(PR_MESSAGE_FLAGS).value_or(0));
    Message::Access::SetFlags(*message, flags & ~(MSGFLAG_SUBMIT | MSGFLAG_UNSENT));
    hr = message->Save();
    if (SUCCEEDED(hr)) {
        if (message->Props().GetBool(PR_DELETE_AFTER_SUBMIT).value_or(false)) {
            hr = message->Delete();
        } else {
            Folder target;
            HRESULT found = E_FAIL;
            if (auto sent = message->Props().GetBinary(PR_SENTMAIL_ENTRYID)) {
                found = OpenFolder(*sent, &target);
            }
            if (FAILED(found)) {
                found = GetDefaultFolder(DefaultFolder::SentMail, &target);
            }
            if (SUCCEEDED(found) && target.Id() != message->FolderId()) {
                hr = message->MoveTo(target);
            }
        }
    }
    if (SUCCEEDED(hr)) {
        hr = tx.Commit();
    }
    return hr;
}

HRESULT Session::Batch(const std::function<HRESULT()>& work) {
    WriteTransaction tx(*m_impl);
    HRESULT hr = tx.Begin();
    if (FAILED(hr)) {
        return hr;
    }
    hr = work();
    if (FAILED(hr)) {
        return hr;
    }
    return tx.Commit();
}

HRESULT Session::GetIDsFromNames(const std::vector<NamedProperty>& names, bool create,
                                 std::vector<USHORT>* ids) {
    ids->assign(names.size(), 0);
    Impl& impl = *m_impl;
    bool missing = false;
    auto lookup = [&impl](const NamedProperty& name, USHORT* id) -> HRESULT {
        auto st = impl.Prepare(
            "SELECT id FROM named WHERE guid = ? AND kind = ? AND lid = ? AND name = ?");
        auto g = win::GuidToBytes(name.guid);
        st.Bind(1, Bytes(g.begin(), g.end()))
            .Bind(2, static_cast<std::int64_t>(name.kind))
            .Bind(3, name.IsString() ? 0 : static_cast<std::int64_t>(name.id))
            .Bind(4, name.IsString() ? Utf8(name.name) : std::string());
        int rc = st.Step();
        if (rc == SQLITE_ROW) {
            *id = static_cast<USHORT>(st.Int(0));
            return S_OK;
        }
        return rc == SQLITE_DONE ? S_FALSE : db::MapError(rc);
    };
    auto remember = [&impl](const NamedProperty& name, USHORT id) {
        impl.idOfName[name] = id;
        impl.nameOfId[id] = name;
    };
    for (std::size_t i = 0; i < names.size(); ++i) {
        NamedProperty name = names[i];
        if (name.IsString()) {
            name.id = 0;
        } else {
            name.name.clear();
        }
        if (auto it = impl.idOfName.find(name); it != impl.idOfName.end()) {
            (*ids)[i] = it->second;
            continue;
        }
        USHORT id = 0;
        HRESULT hr = lookup(name, &id);
        if (FAILED(hr)) {
            return hr;
        }
        if (hr == S_OK) {
            remember(name, id);
            (*ids)[i] = id;
            continue;
        }
        if (!create) {
            missing = true;
            continue;
        }
        // Another session may map the same name at the same time: the
        // immediate transaction makes the check and the insert one step.
        WriteTransaction tx(impl);
        hr = tx.Begin();
        if (SUCCEEDED(hr)) {
            hr = lookup(name, &id);
        }
        if (hr == S_FALSE) {
            auto next = impl.Prepare("SELECT COALESCE(MAX(id), ?) + 1 FROM named");
            next.Bind(1, static_cast<std::int64_t>(kFirstNamedId) - 1);
            if (next.Step() != SQLITE_ROW) {
                return MAPI_E_DISK_ERROR;
            }
            std::int64_t newId = next.Int(0);
            if (newId > static_cast<std::int64_t>(kLastNamedId)) {
                return MAPI_E_NOT_ENOUGH_RESOURCES;
            }
            auto ins =
                impl.Prepare("INSERT INTO named(id, guid, kind, lid, name) VALUES(?, ?, ?, ?, ?)");
            auto g = win::GuidToBytes(name.guid);
            ins.Bind(1, newId)
                .Bind(2, Bytes(g.begin(), g.end()))
                .Bind(3, static_cast<std::int64_t>(name.kind))
                .Bind(4, name.IsString() ? 0 : static_cast<std::int64_t>(name.id))
                .Bind(5, name.IsString() ? Utf8(name.name) : std::string());
            hr = ins.Run();
            id = static_cast<USHORT>(newId);
        }
        if (SUCCEEDED(hr)) {
            hr = tx.Commit();
        }
        if (FAILED(hr)) {
            return hr;
        }
        remember(name, id);
        (*ids)[i] = id;
    }
    return missing ? MAPI_W_ERRORS_RETURNED : S_OK;
}

USHORT Session::IdOfName(const NamedProperty& name, bool create) {
    std::vector<USHORT> ids;
    if (FAILED(GetIDsFromNames({name}, create, &ids))) {
        return 0;
    }
    return ids[0];
}

HRESULT Session::GetNamesFromIDs(const std::vector<USHORT>& ids,
                                 std::vector<std::optional<NamedProperty>>* names) {
    names->assign(ids.size(), std::nullopt);
    Impl& impl = *m_impl;
    for (std::size_t i = 0; i < ids.size(); ++i) {
        if (!IsNamedId(ids[i])) {
            continue;
        }
        if (auto it = impl.nameOfId.find(ids[i]); it != impl.nameOfId.end()) {
            (*names)[i] = it->second;
            continue;
        }
        auto st = impl.Prepare("SELECT guid, kind, lid, name FROM named WHERE id = ?");
        st.Bind(1, static_cast<std::int64_t>(ids[i]));
        int rc = st.Step();
        if (rc == SQLITE_DONE) {
            continue;
        }
        if (rc != SQLITE_ROW) {
            return db::MapError(rc);
        }
        Bytes g = st.Blob(0);
        if (g.size() != 16) {
            return MAPI_E_CORRUPT_STORE;
        }
        NamedProperty name;
        name.guid = win::GuidFromBytes(g.data());
        name.kind = static_cast<ULONG>(st.Int(1));
        name.id = static_cast<LONG>(st.Int(2));
        name.name = Wide(st.Text(3));
        impl.idOfName[name] = ids[i];
        impl.nameOfId[ids[i]] = name;
        (*names)[i] = std::move(name);
    }
    return S_OK;
}

}  // namespace store
