// A mail profile's description file: its stores, accounts, categories,
// address book, connection mode and Exchange version. Read by the store
// engine's users (the helper library and the host) afresh whenever they need
// it, so a change written while they run (a test going offline) is seen at
// the next read. The format is described in doc/profile_format.md.
//
// Value type; not synchronised. Load and Save may run on any thread; Save
// replaces the file whole (written beside it, then renamed over it), so a
// concurrent Load sees either the old or the new description.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/store/StoreTypes.h"

namespace store {

class Session;

struct ProfileStore {
    // The store file: absolute, or relative to the profile's directory.
    std::string file;
    StoreKind kind = StoreKind::PersonalUnicode;
    ChangeTracking tracking = ChangeTracking::ChangeKeys;
    Bytes providerId = Bytes(16, 0);
    std::wstring displayName;
    bool isDefault = false;
};

struct ProfileAccount {
    std::wstring name;
    LONG id = 0;  // stable number of the account within the profile
    std::wstring address;
    LONG order = 0;  // sending order, ascending
};

class Profile {
public:
    std::wstring name;
    // In the file's order.
    std::vector<ProfileStore> stores;
    // Sorted by order (then by file order) on Load.
    std::vector<ProfileAccount> accounts;
    std::vector<std::wstring> categories;
    std::vector<AddressEntry> addressBook;
    // As the client reports it: 0 or 800 online, 200 to 400 offline or
    // disconnected, others cached.
    LONG connectionMode = 0;
    // Empty: no Exchange server.
    std::wstring exchangeVersion;

    // <userDirectory>/profiles/<name>/profile.ini (name as UTF-8).
    static std::string FileFor(const std::string& userDirectory, const std::wstring& profileName);
    // S_OK; MAPI_E_NOT_FOUND when there is no such file; MAPI_E_CORRUPT_DATA
    // for a line that does not parse, an unknown section or key, a bad
    // number, kind, tracking or provider id, or more than one default store
    // (*errorLine, may be null, then gets the 1-based line number).
    static HRESULT Load(const std::string& path, Profile* out, int* errorLine = nullptr);
    // Load on text already read (UTF-8); same results, without
    // MAPI_E_NOT_FOUND.
    static HRESULT Parse(const std::string& text, Profile* out, int* errorLine = nullptr);
    // The file's text for this description (Parse reads it back equal).
    std::string Text() const;
    // Writes the whole file; its directory must exist. MAPI_E_DISK_ERROR;
    // E_INVALIDARG (nothing written) for a text holding a line break or
    // blanks at either end, an empty store file name or a provider id that
    // is not 16 bytes.
    HRESULT Save(const std::string& path) const;

    // The default store: the one marked, else the first; null without stores.
    const ProfileStore* DefaultStore() const;
    // The store's file as a host path, relative ones resolved against the
    // directory of profilePath.
    static std::string StorePath(const std::string& profilePath, const ProfileStore& store);
    // Creates the store files that do not exist yet, with the kind, tracking,
    // provider id and display name given here. The first failure's code.
    HRESULT CreateMissingStores(const std::string& profilePath) const;

    // Opens a session on the profile's store whose entry id (PR_STORE_ENTRYID,
    // or any folder or message entry id of it) is entryId.
    // MAPI_E_INVALID_ENTRYID for no entry id, MAPI_E_NOT_FOUND when no store
    // of the profile has it, the OpenObject fault when one is set for it,
    // else the errors of Session::Open. On failure *out is null.
    HRESULT OpenStoreById(const std::string& profilePath, const Bytes& entryId,
                          std::unique_ptr<Session>* out) const;

    // Read-modify-write of one setting, for tests and the host's control
    // socket. Errors of Load and Save.
    static HRESULT SetConnectionMode(const std::string& path, LONG mode);
    static HRESULT SetExchangeVersion(const std::string& path, const std::wstring& version);
};

}  // namespace store
