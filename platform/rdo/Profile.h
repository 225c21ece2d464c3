// The mail profiles the helper library logs on to: what it needs of one
// profile (its stores, accounts, categories, address book, connection mode
// and Exchange version), read afresh on every question so that a profile
// changed while a session runs (e.g. going offline) is seen at once.
//
// By default profiles are the description files of the user directory
// (<user directory>/profiles/<name>/profile.ini, store/Profile.h); the
// default profile is the one QUILLMERE_PROFILE names, else the first by
// name. A test may install a provider of its own instead.
// Thread-safe: the provider is called on the thread that asks, under no lock
// of this library.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/store/StoreTypes.h"
#include "platform/win/Errors.h"

namespace rdo {

struct ProfileStore {
    std::string hostPath;  // the store database file
    bool isDefault = false;
};

struct ProfileAccount {
    std::wstring name;
    LONG id = 0;  // stable number within the profile
    std::wstring address;
};

struct ProfileDescription {
    std::wstring name;
    // In the profile's order; the default store is the one marked, else the first.
    std::vector<ProfileStore> stores;
    // In sending order.
    std::vector<ProfileAccount> accounts;
    std::vector<std::wstring> categories;
    std::vector<store::AddressEntry> addressBook;
    LONG connectionMode = 0;
    std::wstring exchangeVersion;  // "" without Exchange
};

// Answers the description of the profile named name ("" = the process's
// default profile): S_OK, or MAPI_E_NOT_FOUND when there is no such profile.
using ProfileProvider = std::function<HRESULT(const std::wstring& name, ProfileDescription* out)>;

// Replaces the process's provider (an empty one restores the default). Any
// thread.
void SetProfileProvider(ProfileProvider provider);
// Asks the provider: S_OK, MAPI_E_NOT_FOUND, or the file's read error.
HRESULT LoadProfile(const std::wstring& name, ProfileDescription* out);
// Reads one profile description file. MAPI_E_NOT_FOUND, MAPI_E_CORRUPT_DATA.
HRESULT LoadProfileFile(const std::string& hostPath, ProfileDescription* out);

}  // namespace rdo
