// Shared vocabulary of the message store engine: store kinds and change
// tracking modes, default-folder roles, entry ids, and the small value types
// that the session, folder, message, table and synchronizer calls exchange.
//
// Value types only; not synchronised.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/mapi/PropValue.h"
#include "platform/win/Errors.h"
#include "platform/win/Guid.h"
#include "platform/win/Types.h"

namespace store {

using mapi::Bytes;

// Row number of a folder or message inside its store database. Never reused
// within one store (SQLite AUTOINCREMENT), so an entry id of a deleted object
// never names a later one.
using ObjectId = std::int64_t;

// The kind of a store, as the product tells stores apart:
//   1 personal folders file, ANSI           (not Exchange)
//   2 personal folders file, Unicode        (not Exchange)
//   3 Exchange mailbox, the user's own      (Exchange)
//   4 Exchange mailbox of another user, opened as delegate (Exchange)
//   5 Exchange public folders               (Exchange)
//   6 any other store, e.g. an internet calendar (not Exchange; has no
//     folder page of the add-in)
// Kinds 3 to 5 are the Exchange kinds; kinds 4 to 6 never serve as an
// alternate inbox.
enum class StoreKind : LONG {
    PersonalAnsi = 1,
    PersonalUnicode = 2,
    ExchangeMailbox = 3,
    ExchangeDelegate = 4,
    ExchangePublic = 5,
    Other = 6,
};

constexpr bool IsExchangeKind(StoreKind kind) {
    return kind == StoreKind::ExchangeMailbox || kind == StoreKind::ExchangeDelegate ||
           kind == StoreKind::ExchangePublic;
}
constexpr bool IsValidKind(LONG kind) {
    return kind >= 1 && kind <= 6;
}

// How a store tracks the changes of its items.
//   ChangeKeys       PR_CHANGE_KEY is new on every save and
//                    PR_LAST_MODIFICATION_TIME is kept (personal stores).
//   ModificationTime no PR_CHANGE_KEY at all; only PR_LAST_MODIFICATION_TIME
//                    tells a change (older personal stores).
//   Incremental      change keys plus incremental change synchronisation
//                    (Synchronizer); the Exchange kinds, and only they.
enum class ChangeTracking : LONG {
    ChangeKeys = 1,
    ModificationTime = 2,
    Incremental = 3,
};

// Default-folder roles, numbered as the mail client's default folders.
enum class DefaultFolder : LONG {
    DeletedItems = 3,
    Outbox = 4,
    SentMail = 5,
    Inbox = 6,
    Calendar = 9,
    Contacts = 10,
    Journal = 11,
    Notes = 12,
    Tasks = 13,
    Drafts = 16,
};

// Every role above, in the order a new store creates them.
const std::vector<DefaultFolder>& AllDefaultFolders();
// The folder name ("Inbox", "Sent Items", ...) and container class
// ("IPF.Note", "IPF.Appointment", ...) a new store gives the role's folder.
std::wstring DefaultFolderName(DefaultFolder role);
std::wstring DefaultFolderClass(DefaultFolder role);
// The roles a new store of that kind is created with: all of them, except for
// kind 6 (Other), which has only a Calendar.
std::vector<DefaultFolder> DefaultFoldersForKind(StoreKind kind);

// What Session::Create makes.
struct StoreOptions {
    StoreKind kind = StoreKind::PersonalUnicode;
    // Must be Incremental exactly for the Exchange kinds (else E_INVALIDARG).
    ChangeTracking tracking = ChangeTracking::ChangeKeys;
    // PR_MDB_PROVIDER: 16 bytes (else E_INVALIDARG).
    Bytes providerId = Bytes(16, 0);
    std::wstring displayName;
    // The store's identity (record key and first part of every entry id);
    // a new random GUID when absent.
    std::optional<GUID> storeGuid;
    // The default folders to create below the top folder; nullopt means
    // DefaultFoldersForKind(kind).
    std::optional<std::vector<DefaultFolder>> defaultFolders;
};

// What a store says of itself; fixed for the store's life.
struct StoreInfo {
    StoreKind kind = StoreKind::PersonalUnicode;
    ChangeTracking tracking = ChangeTracking::ChangeKeys;
    Bytes providerId;
    std::wstring displayName;
    GUID storeGuid{};
    // PR_STORE_ENTRYID / PR_ENTRYID of the store (see entry ids below).
    Bytes entryId;
};

// MAPI object types, as PR_OBJECT_TYPE has them and entry ids carry them.
enum class ObjectType : BYTE {
    Store = 1,
    Folder = 3,
    Message = 5,
};

// Entry ids (binary, 32 bytes, all fields little-endian):
//   offset  0  4 bytes  flags, always 0
//   offset  4 16 bytes  the store's GUID (GuidToBytes)
//   offset 20  1 byte   ObjectType
//   offset 21  3 bytes  0
//   offset 24  8 bytes  ObjectId (0 for the store itself)
// A message keeps its entry id when it moves to another folder of its store.
constexpr std::size_t kEntryIdSize = 32;

struct EntryIdParts {
    GUID storeGuid{};
    ObjectType type = ObjectType::Store;
    ObjectId id = 0;
};

Bytes MakeEntryId(const GUID& storeGuid, ObjectType type, ObjectId id);
// nullopt for anything that is not an entry id of this form (wrong size,
// flags, type or reserved bytes).
std::optional<EntryIdParts> ParseEntryId(const Bytes& entryId);

// Source keys and change keys are 22 bytes each: the store's GUID followed
// by a 6-byte big-endian counter (the object's creation number for a source
// key, the change number of its latest save for a change key). Compare them
// as bytes; their content is not part of the contract.
constexpr std::size_t kSourceKeySize = 22;
constexpr std::size_t kChangeKeySize = 22;

// One entry of the address book the profile provides, for recipient
// resolution.
struct AddressEntry {
    std::wstring displayName;
    std::wstring address;  // e.g. "anna@example.org"
    std::wstring addressType = L"SMTP";
    Bytes entryId;  // the entry's PR_ENTRYID in the address book
};

// Origins for ContentsTable::SeekRow, as MAPI's bookmarks.
enum class SeekOrigin : ULONG {
    Beginning = 0,
    Current = 1,
    End = 2,
};

// One column of a sort order.
struct SortOrder {
    ULONG tag = 0;
    bool descending = false;
};

// One value of a table row: the column's tag, or the column's id with type
// PT_ERROR and value MAPI_E_NOT_FOUND when the row has no such property.
struct RowValue {
    ULONG tag = 0;
    mapi::PropValue value;
};
using TableRow = std::vector<RowValue>;

// Named-property sets and ids of the reminder properties.
//   PidLidReminderSet          PSETID_Common 0x8503 PT_BOOLEAN
//   PidLidReminderSignalTime   PSETID_Common 0x8560 PT_SYSTIME
constexpr LONG kLidReminderSet = 0x8503;
constexpr LONG kLidReminderSignalTime = 0x8560;

}  // namespace store
