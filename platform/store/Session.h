// A session on one store: one SQLite database file (WAL journal, one
// connection per session). Each thread that works with a store opens its own
// Session; any number of sessions, in this and other processes, may work on
// one store file at once. Every write is one transaction; its change
// notifications (Notifications.h) follow its commit.
//
// Threading: a Session, and the Folder, Message, ContentsTable and
// Synchronizer objects made from it, are used by one thread at a time. They
// refer to their Session, which must outlive them.
//
// Errors common to every call that touches the database: MAPI_E_CORRUPT_STORE
// when the file is not a store or its content is damaged, MAPI_E_DISK_ERROR
// when SQLite fails otherwise, MAPI_E_BUSY when another writer held the store
// past the busy timeout (10 s).
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/mapi/NamedProperty.h"
#include "platform/mapi/PropertyBag.h"
#include "platform/store/StoreTypes.h"

namespace store {

class Folder;
class Message;

class Session {
public:
    // Creates a new store file at hostPath (its directory must exist) with
    // its top folder and default folders, and opens a session on it.
    // E_INVALIDARG for inconsistent options (see StoreOptions),
    // MAPI_E_COLLISION when the file exists, MAPI_E_DISK_ERROR when it cannot
    // be created. On failure *out is null.
    static HRESULT Create(const std::string& hostPath, const StoreOptions& options,
                          std::unique_ptr<Session>* out);
    // Opens a session on an existing store file. MAPI_E_NOT_FOUND when there
    // is no such file, MAPI_E_CORRUPT_STORE when it is no store,
    // MAPI_E_VERSION for a store of another layout version, the Logon fault
    // when one is set (Faults.h). On failure *out is null.
    static HRESULT Open(const std::string& hostPath, std::unique_ptr<Session>* out);
    // The store GUID of the store file at hostPath, without keeping a session
    // open (cached per path and file identity in the process, so a file
    // replaced by another store is read again). MAPI_E_NOT_FOUND, or
    // MAPI_E_CORRUPT_STORE. Any thread.
    static HRESULT PeekStoreGuid(const std::string& hostPath, GUID* out);

    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    const StoreInfo& Info() const;
    const std::string& Path() const;
    // The store's properties: PR_DISPLAY_NAME, PR_MDB_PROVIDER, PR_ENTRYID,
    // PR_STORE_ENTRYID, PR_RECORD_KEY (the GUID's 16 bytes),
    // PR_STORE_SUPPORT_MASK (STORE_UNICODE_OK except for kind 1),
    // PR_OBJECT_TYPE.
    mapi::PropertyBag StoreProps() const;

    // --- Folders -----------------------------------------------------------
    // The top folder of the visible tree (parent of the default folders).
    HRESULT GetRootFolder(Folder* out);
    // The folder of that role; MAPI_E_NOT_FOUND when the store has none
    // (or it was deleted).
    HRESULT GetDefaultFolder(DefaultFolder role, Folder* out);
    // MAPI_E_INVALID_ENTRYID when entryId is no folder entry id,
    // MAPI_E_NOT_FOUND when it names another store or a vanished folder, the
    // OpenObject fault when set.
    HRESULT OpenFolder(const Bytes& entryId, Folder* out);

    // --- Messages ----------------------------------------------------------
    // Loads the message; errors as OpenFolder. *out is null on failure.
    HRESULT OpenMessage(const Bytes& entryId, std::unique_ptr<Message>* out);
    // Deletes the message (and its attachments); MAPI_E_NOT_FOUND when it
    // is gone already.
    HRESULT DeleteMessage(const Bytes& entryId);
    // Entry ids of the messages whose PidLidReminderSet is true and whose
    // PidLidReminderSignalTime is at or before fileTime, earliest first.
    HRESULT GetRemindersDue(ULONGLONG fileTime, std::vector<Bytes>* entryIds);
    // Entry ids of the messages with MSGFLAG_SUBMIT set, oldest submission
    // first (the transport's queue).
    HRESULT GetSubmittedMessages(std::vector<Bytes>* entryIds);
    // Ends a submission after delivery: clears MSGFLAG_SUBMIT and
    // MSGFLAG_UNSENT, then deletes the message when PR_DELETE_AFTER_SUBMIT is
    // true, else moves it to the folder named by PR_SENTMAIL_ENTRYID, else to
    // the Sent Items folder, else leaves it where it is. MAPI_E_NOT_FOUND
    // when the message is gone, MAPI_E_NOT_IN_QUEUE when it is not
    // submitted.
    HRESULT CompleteSubmission(const Bytes& entryId);

    // Runs work inside one write transaction: every write it makes through
    // this session (saves, deletes, moves, folder changes) commits together
    // when work succeeds, or not at all when it fails; the notifications of
    // all of them follow the one commit. For bulk imports. work's failure
    // code, or the commit's. After a failed batch, Message objects saved
    // inside it must be discarded (they believe in writes that were undone).
    HRESULT Batch(const std::function<HRESULT()>& work);

    // --- Named properties --------------------------------------------------
    // The store's id (0x8000..0xFFFE) of each name. With create, names
    // without an id get one (stable for the store's life, across sessions and
    // processes); without, they get 0 and the call returns
    // MAPI_W_ERRORS_RETURNED. MAPI_E_NOT_ENOUGH_RESOURCES when no id is left.
    HRESULT GetIDsFromNames(const std::vector<mapi::NamedProperty>& names, bool create,
                            std::vector<USHORT>* ids);
    // Convenience for one name: 0 when unmapped and !create.
    USHORT IdOfName(const mapi::NamedProperty& name, bool create);
    // The name of each id; nullopt for ids that are unmapped (or < 0x8000).
    HRESULT GetNamesFromIDs(const std::vector<USHORT>& ids,
                            std::vector<std::optional<mapi::NamedProperty>>* names);

    // Internal state shared with the folder, message, table and synchronizer
    // implementations of this library.
    struct Impl;
    Impl& GetImpl() { return *m_impl; }

private:
    explicit Session(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> m_impl;
};

// MAPI_W_ERRORS_RETURNED: some names had no id (success code).
constexpr HRESULT MAPI_W_ERRORS_RETURNED = 0x00040380;

}  // namespace store
