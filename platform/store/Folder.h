// A folder of a store: a light handle (session + row id) that reads the
// database on every call, so it always shows the committed state. Copies are
// cheap and refer to the same folder. A default-constructed Folder is null
// (every call fails with MAPI_E_INVALID_OBJECT).
//
// Threading: as its Session. Errors common to every call: those of the
// Session (Session.h) and MAPI_E_NOT_FOUND once the folder is deleted.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/mapi/PropertyBag.h"
#include "platform/store/StoreTypes.h"

namespace store {

class ContentsTable;
class Message;
class Session;
class Synchronizer;

class Folder {
public:
    Folder() = default;
    Folder(Session* session, ObjectId id) : m_session(session), m_id(id) {}

    bool IsNull() const { return m_session == nullptr; }
    Session* GetSession() const { return m_session; }
    ObjectId Id() const { return m_id; }
    Bytes EntryId() const;
    // The folder's properties: stored ones (PR_DISPLAY_NAME,
    // PR_CONTAINER_CLASS, PR_FOLDER_TYPE, PR_EXTENDED_FOLDER_FLAGS and any
    // set through SetProps) plus computed ones (PR_ENTRYID, PR_PARENT_ENTRYID,
    // PR_STORE_ENTRYID, PR_RECORD_KEY, PR_SOURCE_KEY, PR_OBJECT_TYPE,
    // PR_CONTENT_COUNT, PR_CONTENT_UNREAD, PR_SUBFOLDERS).
    HRESULT GetProps(mapi::PropertyBag* out) const;
    // Sets stored properties (computed ones are ignored); setting
    // PR_DISPLAY_NAME renames. One commit, one Modified notification.
    HRESULT SetProps(const mapi::PropertyBag& props);
    HRESULT GetName(std::wstring* out) const;
    HRESULT GetContainerClass(std::wstring* out) const;
    // The folder's default-folder role, or nullopt when it has none.
    HRESULT GetRole(std::optional<DefaultFolder>* out) const;
    // MAPI_E_NOT_FOUND for the top folder.
    HRESULT GetParent(Folder* out) const;
    HRESULT GetSubfolders(std::vector<Folder>* out) const;
    // The first direct subfolder of that name (case-insensitive, as the
    // mail client compares folder names); MAPI_E_NOT_FOUND.
    HRESULT FindSubfolder(const std::wstring& name, Folder* out) const;

    // Creates a direct subfolder. MAPI_E_COLLISION when one of that name
    // (case-insensitive) exists; E_INVALIDARG for an empty name.
    HRESULT CreateSubfolder(const std::wstring& name, const std::wstring& containerClass,
                            Folder* out);
    // MAPI_E_COLLISION as above.
    HRESULT Rename(const std::wstring& name);
    // Deletes the folder, its subfolders and all their messages. The top
    // folder cannot be deleted (MAPI_E_NO_ACCESS). Removed notifications for
    // the folders (not for each message).
    HRESULT Delete();
    // Makes the folder a subfolder of newParent (same store). E_INVALIDARG
    // when newParent is this folder or below it; MAPI_E_COLLISION on a name
    // clash.
    HRESULT MoveTo(const Folder& newParent);

    // Number of normal (or hidden) messages.
    HRESULT GetContentCount(bool associated, ULONG* out) const;
    // A new, unsaved message in this folder (normal or hidden). It gets
    // PR_SEARCH_KEY (16 new random bytes) and PR_MESSAGE_FLAGS
    // MSGFLAG_READ | MSGFLAG_UNSENT (| MSGFLAG_ASSOCIATED) now; the rest of
    // the store's properties on its first Save.
    HRESULT CreateMessage(bool associated, std::unique_ptr<Message>* out);
    // A contents table over the normal (or hidden) messages.
    HRESULT GetContentsTable(bool associated, std::unique_ptr<ContentsTable>* out);
    // Entry ids of the messages that match the filter text (grammar in
    // DaslFilter.h), in creation order. E_INVALIDARG or MAPI_E_TOO_COMPLEX
    // for a filter this store does not understand.
    HRESULT Find(const std::wstring& filter, bool associated, std::vector<Bytes>* entryIds);
    // The folder's incremental change synchronizer. MAPI_E_NO_SUPPORT
    // (0x80040102) in stores that lack incremental change synchronisation.
    HRESULT GetSynchronizer(std::unique_ptr<Synchronizer>* out);

    friend bool operator==(const Folder& a, const Folder& b) {
        return a.m_session == b.m_session && a.m_id == b.m_id;
    }

private:
    Session* m_session = nullptr;
    ObjectId m_id = 0;
};

}  // namespace store
