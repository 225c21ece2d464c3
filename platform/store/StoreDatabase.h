// Private to the store engine: a thin layer over SQLite (one connection, its
// prepared statements, write transactions) and the state a Session shares
// with its folders, messages, tables and synchronizers.
#pragma once

#include <sqlite3.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/mapi/NamedProperty.h"
#include "platform/store/Message.h"
#include "platform/store/Notifications.h"
#include "platform/store/Session.h"

namespace store {

namespace db {

// One prepared statement in use. An owned one is finalised with the object;
// one lent from a connection's cache (busy points at the cache entry's flag)
// is reset, its bindings cleared, and handed back instead. Bind indexes are
// 1-based, column indexes 0-based, as SQLite counts them.
class Statement {
public:
    Statement() = default;
    explicit Statement(sqlite3_stmt* stmt, bool* busy = nullptr) : m_stmt(stmt), m_busy(busy) {}
    ~Statement();
    Statement(Statement&& other) noexcept : m_stmt(other.m_stmt), m_busy(other.m_busy) {
        other.m_stmt = nullptr;
        other.m_busy = nullptr;
    }
    Statement& operator=(Statement&& other) noexcept;
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool Valid() const { return m_stmt != nullptr; }
    Statement& Bind(int index, std::int64_t v);
    Statement& BindNull(int index);
    Statement& Bind(int index, const Bytes& v);
    Statement& Bind(int index, const std::string& utf8);
    // SQLITE_ROW, SQLITE_DONE or an error code.
    int Step();
    // Runs to the end; S_OK or the mapped error.
    HRESULT Run();
    void Reset();

    bool IsNull(int column) const;
    std::int64_t Int(int column) const;
    Bytes Blob(int column) const;
    const std::uint8_t* BlobData(int column) const;
    std::size_t BlobSize(int column) const;
    std::string Text(int column) const;

private:
    void Release();

    sqlite3_stmt* m_stmt = nullptr;
    bool* m_busy = nullptr;
};

// SQLite result code -> HRESULT: SQLITE_BUSY/LOCKED -> MAPI_E_BUSY,
// SQLITE_CORRUPT/NOTADB -> MAPI_E_CORRUPT_STORE, SQLITE_FULL ->
// MAPI_E_NOT_ENOUGH_DISK, anything else -> MAPI_E_DISK_ERROR.
HRESULT MapError(int rc);

}  // namespace db

struct Session::Impl {
    ~Impl();

    std::string path;
    sqlite3* db = nullptr;
    StoreInfo info;
    ObjectId topFolder = 0;
    // Changes of the running write transaction, dispatched after its commit.
    std::vector<ChangeNotification> pending;
    // Named properties known to this session (they never change once made).
    std::map<mapi::NamedProperty, USHORT> idOfName;
    std::map<USHORT, mapi::NamedProperty> nameOfId;
    // Nesting depth of WriteTransaction (inner ones join the outer).
    int writeDepth = 0;
    // Open ReadTransactions; a write may not start inside one.
    int readDepth = 0;
    ULONGLONG writeChangeNumber = 0;

    // A statement, or an invalid one after logging nothing: callers treat an
    // invalid statement as MAPI_E_DISK_ERROR. Each text is compiled once per
    // connection and its statement lent out again on later calls; a text whose
    // statement is still in use (a nested read of the same query) gets a
    // statement of its own for that use.
    db::Statement Prepare(const char* sql);
    db::Statement Prepare(const std::string& sql) { return Prepare(sql.c_str()); }
    // Runs one statement through the cache (BEGIN, COMMIT and the like).
    HRESULT Exec(const char* sql);
    // Runs a script of several statements, compiled once (the schema).
    HRESULT ExecScript(const char* sql);

    struct CachedStatement {
        sqlite3_stmt* stmt = nullptr;
        bool busy = false;
    };
    // Node-based: the lent statements point at their entries' flags.
    std::unordered_map<std::string, CachedStatement> statements;

    Bytes EntryIdOf(ObjectType type, ObjectId id) const {
        return MakeEntryId(info.storeGuid, type, id);
    }
    Bytes SourceKeyOf(ULONGLONG created) const;
    Bytes ChangeKeyOf(ULONGLONG changeNumber) const;
    bool KeepsChangeKeys() const { return info.tracking != ChangeTracking::ModificationTime; }

    // The id of an entry id of this store and of that type; the error
    // OpenFolder / OpenMessage document otherwise.
    HRESULT ResolveEntryId(const Bytes& entryId, ObjectType type, ObjectId* id);
    // Whether a folder row exists.
    HRESULT FolderExists(ObjectId folder, bool* exists);

    void Notify(ChangeEvent event, ObjectType type, ObjectId folder, ObjectId object,
                bool associated);

    // The current change counter of the store (last number handed out).
    HRESULT ReadCounter(ULONGLONG* out);
};

// A write transaction: BEGIN IMMEDIATE (waiting up to the busy timeout for
// another writer), one new change number for the changes it makes, COMMIT,
// then the change notifications outside any lock. Destroyed uncommitted, it
// rolls back and drops its notifications. Nested transactions join the
// outermost one.
class WriteTransaction {
public:
    explicit WriteTransaction(Session::Impl& impl) : m_impl(impl) {}
    ~WriteTransaction();
    WriteTransaction(const WriteTransaction&) = delete;
    WriteTransaction& operator=(const WriteTransaction&) = delete;

    HRESULT Begin();
    // The change number of this transaction (the same for all its changes).
    ULONGLONG ChangeNumber() const { return m_impl.writeChangeNumber; }
    // A further new number (for the source keys of created objects).
    HRESULT NewNumber(ULONGLONG* out);
    HRESULT Commit();

private:
    Session::Impl& m_impl;
    bool m_begun = false;
    bool m_done = false;
    bool m_outer = false;
};

// A read snapshot: BEGIN (deferred) ... COMMIT, so that several reads see one
// state of the store. Nested inside a write transaction it does nothing.
class ReadTransaction {
public:
    explicit ReadTransaction(Session::Impl& impl) : m_impl(impl) {}
    ~ReadTransaction();
    HRESULT Begin();

private:
    Session::Impl& m_impl;
    bool m_begun = false;
};

namespace internal {

// Adds a folder row below parent (0 for the top folder) inside tx, with a
// creation number of its own, and notes an Added notification.
HRESULT InsertFolder(Session::Impl& impl, WriteTransaction& tx, ObjectId parent,
                     const std::wstring& name, const std::wstring& containerClass,
                     std::optional<DefaultFolder> role, ObjectId* out);

// The header columns of a message row, in this order, as SELECTs list them
// first: "id, folder, assoc, created, cn, mtime, moved_in, props".
constexpr const char* kMessageHeaderColumns =
    "id, folder, assoc, created, cn, mtime, moved_in, props";
constexpr int kMessagePropsColumn = 7;
struct MessageRow {
    ObjectId id = 0;
    ObjectId folder = 0;
    bool associated = false;
    ULONGLONG created = 0;
    ULONGLONG changeNumber = 0;
    ULONGLONG modificationTime = 0;
    ULONGLONG movedIn = 0;
};
MessageRow ReadMessageRow(const db::Statement& st);
// Adds the properties the store computes for a message row (entry ids,
// record key, object type, source key, change key, modification time).
void AddComputedMessageProps(const Session::Impl& impl, const MessageRow& row,
                             mapi::PropertyBag* props);
// One of those computed properties (any type in tag), or nullopt when the
// store computes no such property for the row (PR_CHANGE_KEY in a store
// without change keys, and every other tag).
std::optional<mapi::PropValue> ComputedMessageProp(const Session::Impl& impl, const MessageRow& row,
                                                   ULONG tag);
// True for the tags of the properties the store maintains itself: those
// AddComputedMessageProps gives and those Save writes (PR_CREATION_TIME,
// PR_MESSAGE_SIZE, PR_HASATTACH) or that no message carries.
bool IsComputedMessageProp(ULONG tag);
// True for the tags whose value lives in a row's property blob.
bool IsStoredMessageProp(ULONG tag);

}  // namespace internal

// The library's own access to Message.
struct Message::Access {
    // A new unsaved message of folder.
    static std::unique_ptr<Message> New(Session& session, ObjectId folder, bool associated);
    // Loads a saved message; MAPI_E_NOT_FOUND when it is gone.
    static HRESULT Load(Session& session, ObjectId id, std::unique_ptr<Message>* out);
    // Deletes a message row (tombstone and notification included).
    static HRESULT DeleteRow(Session& session, ObjectId id);
    // Sets PR_MESSAGE_FLAGS as given, store-maintained bits included.
    static void SetFlags(Message& message, LONG flags);
};

// Dispatches committed changes to the observers (Notifications.cpp).
void DispatchChanges(const std::vector<ChangeNotification>& changes);

// Text helpers.
std::string Utf8(const std::wstring& text);
std::wstring Wide(const std::string& utf8);
bool EqualsNoCase(const std::wstring& a, const std::wstring& b);

}  // namespace store
