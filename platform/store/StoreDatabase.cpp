#include "platform/store/StoreDatabase.h"

#include <algorithm>

#include "platform/win/CrashPoints.h"
#include "platform/win/Errors.h"
#include "platform/win/Text.h"

namespace store {
namespace db {

Statement::~Statement() {
    Release();
}

void Statement::Release() {
    if (m_stmt == nullptr) {
        return;
    }
    if (m_busy != nullptr) {
        // Reset ends the statement's read of the database, as finalising would.
        sqlite3_reset(m_stmt);
        sqlite3_clear_bindings(m_stmt);
        *m_busy = false;
    } else {
        sqlite3_finalize(m_stmt);
    }
    m_stmt = nullptr;
    m_busy = nullptr;
}

Statement& Statement::operator=(Statement&& other) noexcept {
    if (this != &other) {
        Release();
        m_stmt = other.m_stmt;
        m_busy = other.m_busy;
        other.m_stmt = nullptr;
        other.m_busy = nullptr;
    }
    return *this;
}

Statement& Statement::Bind(int index, std::int64_t v) {
    if (m_stmt != nullptr) {
        sqlite3_bind_int64(m_stmt, index, v);
    }
    return *this;
}

Statement& Statement::BindNull(int index) {
    if (m_stmt != nullptr) {
        sqlite3_bind_null(m_stmt, index);
    }
    return *this;
}

Statement& Statement::Bind(int index, const Bytes& v) {
    if (m_stmt != nullptr) {
        // A zero-length blob, not NULL, for empty data.
        static const std::uint8_t kEmpty = 0;
        sqlite3_bind_blob(m_stmt, index, v.empty() ? &kEmpty : v.data(), static_cast<int>(v.size()),
                          SQLITE_TRANSIENT);
    }
    return *this;
}

Statement& Statement::Bind(int index, const std::string& utf8) {
    if (m_stmt != nullptr) {
        sqlite3_bind_text(m_stmt, index, utf8.data(), static_cast<int>(utf8.size()),
                          SQLITE_TRANSIENT);
    }
    return *this;
}

int Statement::Step() {
    if (m_stmt == nullptr) {
        return SQLITE_MISUSE;
    }
    return sqlite3_step(m_stmt);
}

HRESULT Statement::Run() {
    int rc = SQLITE_ROW;
    while (rc == SQLITE_ROW) {
        rc = Step();
    }
    return rc == SQLITE_DONE ? S_OK : MapError(rc);
}

void Statement::Reset() {
    if (m_stmt != nullptr) {
        sqlite3_reset(m_stmt);
        sqlite3_clear_bindings(m_stmt);
    }
}

bool Statement::IsNull(int column) const {
    return sqlite3_column_type(m_stmt, column) == SQLITE_NULL;
}

std::int64_t Statement::Int(int column) const {
    return sqlite3_column_int64(m_stmt, column);
}

const std::uint8_t* Statement::BlobData(int column) const {
    return static_cast<const std::uint8_t*>(sqlite3_column_blob(m_stmt, column));
}

std::size_t Statement::BlobSize(int column) const {
    return static_cast<std::size_t>(sqlite3_column_bytes(m_stmt, column));
}

Bytes Statement::Blob(int column) const {
    const std::uint8_t* p = BlobData(column);
    std::size_t n = BlobSize(column);
    return p == nullptr ? Bytes() : Bytes(p, p + n);
}

std::string Statement::Text(int column) const {
    const unsigned char* p = sqlite3_column_text(m_stmt, column);
    std::size_t n = static_cast<std::size_t>(sqlite3_column_bytes(m_stmt, column));
    return p == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(p), n);
}

HRESULT MapError(int rc) {
    switch (rc & 0xFF) {
        case SQLITE_OK:
        case SQLITE_DONE:
        case SQLITE_ROW:
            return S_OK;
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            return MAPI_E_BUSY;
        case SQLITE_CORRUPT:
        case SQLITE_NOTADB:
            return MAPI_E_CORRUPT_STORE;
        case SQLITE_FULL:
            return MAPI_E_NOT_ENOUGH_DISK;
        case SQLITE_NOMEM:
            return MAPI_E_NOT_ENOUGH_MEMORY;
        default:
            return MAPI_E_DISK_ERROR;
    }
}

}  // namespace db

Session::Impl::~Impl() {
    for (auto& [text, cached] : statements) {
        sqlite3_finalize(cached.stmt);
    }
    if (db != nullptr) {
        sqlite3_close_v2(db);
    }
}

db::Statement Session::Impl::Prepare(const char* sql) {
    auto [it, added] = statements.try_emplace(sql);
    CachedStatement& cached = it->second;
    if (added) {
        if (sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &cached.stmt, nullptr) !=
            SQLITE_OK) {
            sqlite3_finalize(cached.stmt);
            statements.erase(it);
            return db::Statement();
        }
    }
    if (!cached.busy) {
        cached.busy = true;
        return db::Statement(cached.stmt, &cached.busy);
    }
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) != SQLITE_OK) {
        sqlite3_finalize(stmt);
        return db::Statement();
    }
    return db::Statement(stmt);
}

HRESULT Session::Impl::Exec(const char* sql) {
    db::Statement st = Prepare(sql);
    if (!st.Valid()) {
        return db::MapError(sqlite3_errcode(db));
    }
    return st.Run();
}

HRESULT Session::Impl::ExecScript(const char* sql) {
    return db::MapError(sqlite3_exec(db, sql, nullptr, nullptr, nullptr));
}

namespace {
Bytes KeyOf(const GUID& guid, ULONGLONG counter) {
    auto g = win::GuidToBytes(guid);
    Bytes key(g.size() + 6);
    std::copy(g.begin(), g.end(), key.begin());
    // 6-byte big-endian counter, as a global counter in an XID.
    for (std::size_t i = 0; i < 6; ++i) {
        key[g.size() + i] = static_cast<std::uint8_t>(counter >> (40 - 8 * i));
    }
    return key;
}
}  // namespace

Bytes Session::Impl::SourceKeyOf(ULONGLONG created) const {
    return KeyOf(info.storeGuid, created);
}

Bytes Session::Impl::ChangeKeyOf(ULONGLONG changeNumber) const {
    return KeyOf(info.storeGuid, changeNumber);
}

HRESULT Session::Impl::ResolveEntryId(const Bytes& entryId, ObjectType type, ObjectId* id) {
    auto parts = ParseEntryId(entryId);
    if (!parts || parts->type != type || parts->id <= 0) {
        return MAPI_E_INVALID_ENTRYID;
    }
    if (parts->storeGuid != info.storeGuid) {
        return MAPI_E_NOT_FOUND;
    }
    *id = parts->id;
    return S_OK;
}

HRESULT Session::Impl::FolderExists(ObjectId folder, bool* exists) {
    auto st = Prepare("SELECT 1 FROM folders WHERE id = ?");
    st.Bind(1, folder);
    int rc = st.Step();
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
        return db::MapError(rc);
    }
    *exists = rc == SQLITE_ROW;
    return S_OK;
}

void Session::Impl::Notify(ChangeEvent event, ObjectType type, ObjectId folder, ObjectId object,
                           bool associated) {
    ChangeNotification n;
    n.event = event;
    n.objectType = type;
    n.storeGuid = info.storeGuid;
    if (folder != 0) {
        n.folderEntryId = EntryIdOf(ObjectType::Folder, folder);
    }
    n.entryId = EntryIdOf(type, object);
    n.associated = associated;
    pending.push_back(std::move(n));
}

HRESULT Session::Impl::ReadCounter(ULONGLONG* out) {
    auto st = Prepare("SELECT value FROM meta WHERE key = 'counter'");
    int rc = st.Step();
    if (rc != SQLITE_ROW) {
        return rc == SQLITE_DONE ? MAPI_E_CORRUPT_STORE : db::MapError(rc);
    }
    *out = static_cast<ULONGLONG>(st.Int(0));
    return S_OK;
}

WriteTransaction::~WriteTransaction() {
    if (m_begun && !m_done) {
        if (m_outer) {
            m_impl.Exec("ROLLBACK");
            m_impl.pending.clear();
        }
        --m_impl.writeDepth;
    }
}

HRESULT WriteTransaction::Begin() {
    if (m_impl.writeDepth > 0) {
        ++m_impl.writeDepth;
        m_begun = true;
        return S_OK;
    }
    if (m_impl.readDepth > 0) {
        // A read snapshot cannot turn into a write without risking a busy
        // deadlock with another writer; the library never nests them so.
        return E_UNEXPECTED;
    }
    HRESULT hr = m_impl.Exec("BEGIN IMMEDIATE");
    if (FAILED(hr)) {
        return hr;
    }
    m_begun = true;
    m_outer = true;
    ++m_impl.writeDepth;
    m_impl.pending.clear();
    ULONGLONG number = 0;
    hr = NewNumber(&number);
    if (FAILED(hr)) {
        return hr;
    }
    m_impl.writeChangeNumber = number;
    return S_OK;
}

HRESULT WriteTransaction::NewNumber(ULONGLONG* out) {
    auto st =
        m_impl.Prepare("UPDATE meta SET value = value + 1 WHERE key = 'counter' RETURNING value");
    int rc = st.Step();
    if (rc != SQLITE_ROW) {
        return rc == SQLITE_DONE ? MAPI_E_CORRUPT_STORE : db::MapError(rc);
    }
    *out = static_cast<ULONGLONG>(st.Int(0));
    st.Run();
    return S_OK;
}

HRESULT WriteTransaction::Commit() {
    if (!m_begun || m_done) {
        return E_UNEXPECTED;
    }
    if (!m_outer) {
        m_done = true;
        --m_impl.writeDepth;
        return S_OK;
    }
    win::CountCrashStep(win::CrashStep::kCommit, m_impl.path);
    HRESULT hr = m_impl.Exec("COMMIT");
    if (FAILED(hr)) {
        return hr;  // the destructor rolls back
    }
    m_done = true;
    --m_impl.writeDepth;
    // Order matters: the notifications leave only after the commit, so an
    // observer that reads the object sees the new state.
    std::vector<ChangeNotification> changes;
    changes.swap(m_impl.pending);
    DispatchChanges(changes);
    return S_OK;
}

ReadTransaction::~ReadTransaction() {
    if (m_begun) {
        --m_impl.readDepth;
        if (m_impl.readDepth == 0) {
            m_impl.Exec("COMMIT");
        }
    }
}

HRESULT ReadTransaction::Begin() {
    if (m_impl.writeDepth > 0) {
        return S_OK;
    }
    if (m_impl.readDepth == 0) {
        HRESULT hr = m_impl.Exec("BEGIN");
        if (FAILED(hr)) {
            return hr;
        }
    }
    ++m_impl.readDepth;
    m_begun = true;
    return S_OK;
}

std::string Utf8(const std::wstring& text) {
    return win::ToUtf8(text);
}

std::wstring Wide(const std::string& utf8) {
    return win::FromUtf8(utf8);
}

bool EqualsNoCase(const std::wstring& a, const std::wstring& b) {
    return a.size() == b.size() && win::ToLower(a) == win::ToLower(b);
}

}  // namespace store
