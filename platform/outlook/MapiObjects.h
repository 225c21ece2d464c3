// The MAPI objects behind the object model, as MAPIOBJECT hands them out:
// the profile's session (the name space's MAPIOBJECT, DISPID 0xF100), a
// folder's and an item's. The helper library attaches its sessions, folders
// and safe items to them (QMRRDOSession::PutMAPIOBJECT ...). They are
// platform objects, not part of the mail client's published interfaces; the
// add-in only passes them on.
//
// Threading: any thread. The objects keep the object model alive; they
// answer MAPI_E_NOT_FOUND once their folder or item has vanished.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/com/Unknown.h"
#include "platform/store/StoreTypes.h"

namespace store {
class Message;
}

namespace outlook {

// One store of a profile.
struct StoreLocation {
    std::string hostPath;  // the store database file (platform/store)
    bool isDefault = false;
};

// What a session of the profile needs to open the same stores.
struct MapiProfileInfo {
    std::wstring profileName;
    // The profile description file the stores were read from (empty when
    // the profile was given directly); the helper library reads connection
    // mode, accounts, categories and the address book from it.
    std::string profilePath;
    std::vector<StoreLocation> stores;  // the profile's order; one is the default
};

}  // namespace outlook

// {6B7C1E10-93A4-4C57-8E21-5D0F3A6B9C01}
inline constexpr IID IID_IQmMapiSession{
    0x6B7C1E10, 0x93A4, 0x4C57, {0x8E, 0x21, 0x5D, 0x0F, 0x3A, 0x6B, 0x9C, 0x01}};
// {6B7C1E10-93A4-4C57-8E21-5D0F3A6B9C02}
inline constexpr IID IID_IQmMapiFolder{
    0x6B7C1E10, 0x93A4, 0x4C57, {0x8E, 0x21, 0x5D, 0x0F, 0x3A, 0x6B, 0x9C, 0x02}};
// {6B7C1E10-93A4-4C57-8E21-5D0F3A6B9C03}
inline constexpr IID IID_IQmMapiMessage{
    0x6B7C1E10, 0x93A4, 0x4C57, {0x8E, 0x21, 0x5D, 0x0F, 0x3A, 0x6B, 0x9C, 0x03}};

// The profile's MAPI session.
struct IQmMapiSession : IUnknown {
    // S_OK; E_POINTER for null.
    virtual HRESULT GetProfileInfo(outlook::MapiProfileInfo* info) = 0;

protected:
    ~IQmMapiSession() = default;
};

// A folder of one of the profile's stores.
struct IQmMapiFolder : IUnknown {
    // The store file and the folder's binary entry id (store/StoreTypes.h).
    virtual HRESULT GetFolderLocation(std::string* storeHostPath, store::Bytes* entryId) = 0;

protected:
    ~IQmMapiFolder() = default;
};

// An item. The object model keeps the item's unsaved state in memory; the
// helper library works on that same state through AccessMessage, so that
// fields set through a safe item and through the Outlook item meet in one
// message (as on the platform, where both wrap one MAPI message).
struct IQmMapiMessage : IUnknown {
    // The store file and the message's entry id; the entry id is empty while
    // the item has never been saved.
    virtual HRESULT GetMessageLocation(std::string* storeHostPath, store::Bytes* entryId) = 0;
    // Runs access with the item's message while holding the object model's
    // lock (no other thread touches the item meanwhile) and returns its
    // result. access must not wait for another thread that uses the object
    // model. MAPI_E_NOT_FOUND when the item was deleted.
    virtual HRESULT AccessMessage(const std::function<HRESULT(store::Message&)>& access) = 0;

protected:
    ~IQmMapiMessage() = default;
};

QM_DECLARE_IID(IQmMapiSession, IID_IQmMapiSession);
QM_DECLARE_IID(IQmMapiFolder, IID_IQmMapiFolder);
QM_DECLARE_IID(IQmMapiMessage, IID_IQmMapiMessage);
