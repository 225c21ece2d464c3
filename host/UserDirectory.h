// User directories and their mail profiles as the host lays them out:
//
//   <user directory>/registry/                 the user's registry hives
//   <user directory>/drive_c/                  drive C of the user
//   <user directory>/profiles/<name>/profile.ini   the profile description
//   <user directory>/profiles/<name>/mailbox.qms   its store
//   <user directory>/profiles/<name>/client.ini    "Version=<client version>"
//
// A profile made here has one store (a personal store, or an Exchange
// mailbox with incremental change synchronisation), one account with the
// user's address and the client's version text.
//
// Threading: plain functions on files; any thread. They do not touch the
// process's user directory (win::SetUserDirectory).
#pragma once

#include <string>
#include <vector>

#include "platform/outlook/MapiObjects.h"
#include "platform/store/Profile.h"
#include "platform/win/Errors.h"

namespace host {

// The client version of a profile that names none.
inline constexpr const wchar_t* kDefaultClientVersion = L"14.0.0.7015";

struct ProfileInit {
    std::wstring profileName;
    std::wstring address;
    bool exchange = false;
    // The client's version text (_Application::Version): Outlook 2010's by
    // default, a version the add-in starts its rule helper for.
    std::wstring version = kDefaultClientVersion;
    // The Exchange server version when exchange is set.
    std::wstring exchangeVersion = L"15.1.2507";
};

// Creates the user directory (registry/, drive_c/) when missing and adds the
// profile with its store. S_OK; E_INVALIDARG (with *error) for an empty or
// unsafe profile name or an address without '@'; MAPI_E_COLLISION when the
// profile exists; the store's or the file's error otherwise.
HRESULT InitProfile(const std::string& userDirectory, const ProfileInit& init, std::string* error);

// Whether path is a user directory (InitProfile made its registry/ and
// profiles/).
bool IsUserDirectory(const std::string& path);

// The names of the user directory's profiles, sorted.
std::vector<std::wstring> ProfileNames(const std::string& userDirectory);

// One profile as a host runs it.
struct HostProfile {
    std::string profilePath;
    store::Profile description;
    outlook::MapiProfileInfo mapi;
    std::wstring version;
    // The accounts' addresses, in sending order (the watched Maildirs).
    std::vector<std::wstring> addresses;
};

// Loads the named profile ("" = the only one, or the first by name).
// MAPI_E_NOT_FOUND (with *error naming the profiles there are) when the
// user directory has no such profile; the description's errors otherwise.
HRESULT LoadHostProfile(const std::string& userDirectory, const std::wstring& profileName,
                        HostProfile* out, std::string* error);

}  // namespace host
