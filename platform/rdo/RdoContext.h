// One thread's connection to one mail profile: the store sessions opened on
// it (one per store, opened on first use), shared by every helper object of
// that thread and profile. The store engine allows a session on one thread
// only, and the library's objects refuse other threads, so a context never
// leaves its thread.
//
// Objects keep their context alive (shared_ptr): the store sessions must
// outlive every folder, message and table made from them.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/rdo/Profile.h"
#include "platform/store/Session.h"

namespace rdo {

// Where a profile's description comes from: the profile provider by name,
// a description file, or (neither) a fixed list of stores.
struct ProfileSource {
    std::wstring name;
    std::string profilePath;
    std::vector<std::string> storePaths;

    // Identifies the source within a thread's cache.
    std::string Key() const;
};

class SessionContext {
public:
    // The calling thread's context for the source (made on first use, kept
    // while any object holds it). MAPI_E_NOT_FOUND / MAPI_E_CORRUPT_DATA /
    // MAPI_E_LOGON_FAILED when the profile cannot be described.
    static HRESULT ForThread(const ProfileSource& source, std::shared_ptr<SessionContext>* out);
    static HRESULT ForThread(const std::wstring& profileName,
                             std::shared_ptr<SessionContext>* out) {
        return ForThread(ProfileSource{profileName, {}, {}}, out);
    }
    // A context of the calling thread whose profile holds the store file,
    // else one for that store alone.
    static HRESULT ForStorePath(const std::string& hostPath, std::shared_ptr<SessionContext>* out);
    // Drops the calling thread's cache of contexts (objects keep theirs).
    static void ForgetThreadContexts();

    SessionContext(ProfileSource source, std::wstring profileName)
        : m_source(std::move(source)), m_profileName(std::move(profileName)) {}
    SessionContext(const SessionContext&) = delete;
    SessionContext& operator=(const SessionContext&) = delete;

    const std::wstring& ProfileName() const { return m_profileName; }
    const ProfileSource& Source() const { return m_source; }
    // The profile as it is now.
    HRESULT Describe(ProfileDescription* out) const;
    // Opens every store of the profile that is not open yet; the first
    // failure (e.g. the log-on fault MAPI_E_TIMEOUT) is returned.
    HRESULT OpenAllStores();
    // The profile's stores in order (each opened as needed; one that fails to
    // open is left out).
    HRESULT Stores(std::vector<store::Session*>* out);
    HRESULT DefaultStore(store::Session** out);
    // MAPI_E_NOT_FOUND when no store of the profile has that id / GUID; the
    // OpenObject fault (e.g. MAPI_E_FAILONEPROVIDER) when one is set.
    HRESULT StoreByEntryId(const store::Bytes& storeEntryId, store::Session** out);
    HRESULT StoreByGuid(const GUID& guid, store::Session** out);
    // The store an entry id of a folder or message belongs to (by the GUID
    // it carries); MAPI_E_INVALID_ENTRYID for an id of no known form.
    HRESULT StoreOfEntryId(const store::Bytes& entryId, store::Session** out);
    // The session of one store file (opened once).
    HRESULT StoreAt(const std::string& hostPath, store::Session** out);
    bool HasStore(const std::string& hostPath) const;
    std::vector<store::AddressEntry> AddressBook() const;

private:
    const ProfileSource m_source;
    const std::wstring m_profileName;
    std::vector<std::pair<std::string, std::unique_ptr<store::Session>>> m_sessions;
};

// The MAPI object identity of something in context's profile, and back.
struct MapiIdentity;
MapiIdentity IdentityIn(const SessionContext& context, int kind, const store::Bytes& storeEntryId,
                        const store::Bytes& entryId);
ProfileSource SourceOf(const MapiIdentity& identity);

}  // namespace rdo
