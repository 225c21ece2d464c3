// A message of a store, loaded whole (properties, recipients, attachments)
// into memory; changes stay in memory until Save, which writes them in one
// transaction (last saver wins). A new message (Folder::CreateMessage) exists
// in the store only from its first Save.
//
// Named properties: ids >= 0x8000 in Props(), in the recipients and in the
// attachments' properties are this store's ids (Session::GetIDsFromNames).
// An embedded message of an attachment is kept as a self-contained
// mapi::MessageContent with its own name map.
//
// Properties the store maintains (a value set for them is ignored, except
// PR_SEARCH_KEY, which may be set): PR_ENTRYID, PR_PARENT_ENTRYID,
// PR_STORE_ENTRYID, PR_RECORD_KEY, PR_OBJECT_TYPE, PR_SOURCE_KEY,
// PR_CHANGE_KEY (new on every save; never present in a
// store with ChangeTracking::ModificationTime), PR_LAST_MODIFICATION_TIME
// (the platform clock at each save), PR_CREATION_TIME (first save),
// PR_MESSAGE_SIZE, PR_HASATTACH, and in PR_MESSAGE_FLAGS the bits
// MSGFLAG_HASATTACH, MSGFLAG_ASSOCIATED and MSGFLAG_SUBMIT.
//
// Threading: as its Session. Errors common to every call that touches the
// database: those of the Session (Session.h).
#pragma once

#include <memory>
#include <vector>

#include "platform/mapi/MessageContent.h"
#include "platform/mapi/PropertyBag.h"
#include "platform/store/StoreTypes.h"

namespace store {

class Folder;
class Session;

class Message {
public:
    // Empty until the first Save.
    const Bytes& EntryId() const { return m_entryId; }
    bool IsSaved() const { return m_id != 0; }
    bool IsAssociated() const { return m_associated; }
    ObjectId Id() const { return m_id; }
    // The folder the message is in as of its last load, save or move (or
    // the one it is created in).
    ObjectId FolderId() const { return m_folderId; }
    Bytes FolderEntryId() const;
    Session& GetSession() const { return *m_session; }

    const mapi::PropertyBag& Props() const { return m_props; }
    // Sets one property (a store-maintained one is ignored, see above).
    void SetProp(ULONG tag, mapi::PropValue value);
    // True when the id had a value; store-maintained properties and
    // PR_MESSAGE_FLAGS are not deleted (false).
    bool DeleteProp(ULONG tag);
    // Named properties by name: GetNamed is null when the store has no id
    // for the name or the message no value; SetNamed maps the name (creating
    // an id) and sets the value; false when the store has no id left.
    const mapi::PropValue* GetNamed(const mapi::NamedProperty& name) const;
    bool SetNamed(const mapi::NamedProperty& name, mapi::PropValue value);

    // Rows of PR_RECIPIENT_TYPE, PR_DISPLAY_NAME, PR_EMAIL_ADDRESS,
    // PR_ADDRTYPE, PR_SMTP_ADDRESS, PR_ENTRYID ... Changed in place.
    std::vector<mapi::PropertyBag>& Recipients() { return m_recipients; }
    const std::vector<mapi::PropertyBag>& Recipients() const { return m_recipients; }
    // Attachments (props without the data; data or embedded message beside).
    // Save renumbers PR_ATTACH_NUM, sets PR_ATTACH_SIZE, and gives attachments
    // by value without PR_ATTACH_METHOD the method ATTACH_BY_VALUE.
    std::vector<mapi::AttachmentContent>& Attachments() { return m_attachments; }
    const std::vector<mapi::AttachmentContent>& Attachments() const { return m_attachments; }

    // Resolves each recipient against the address book: a recipient whose
    // PR_DISPLAY_NAME or PR_EMAIL_ADDRESS / PR_SMTP_ADDRESS equals an entry's
    // display name or address (case-insensitive) takes that entry's
    // PR_DISPLAY_NAME, PR_EMAIL_ADDRESS, PR_SMTP_ADDRESS, PR_ADDRTYPE and
    // PR_ENTRYID; one that is not found but whose address text holds an '@'
    // becomes an SMTP one-off address. *unresolved (may be null) gets the
    // number of recipients left unresolved; S_OK when it is 0, else
    // MAPI_E_NOT_FOUND. Changes stay in memory until Save.
    HRESULT ResolveRecipients(const std::vector<AddressEntry>& addressBook, ULONG* unresolved);

    // Writes the message. One commit; an Added notification for the first
    // save, Modified afterwards. MAPI_E_NOT_FOUND when the message (or for
    // a new one, its folder) has been deleted meanwhile; MAPI_E_TOO_COMPLEX
    // when embedded messages nest deeper than 16 levels.
    HRESULT Save();
    // Deletes the saved message. MAPI_E_NOT_FOUND when it is gone; a new
    // unsaved message just stays unsaved (S_OK).
    HRESULT Delete();
    // Moves the saved message to folder (same store), keeping its entry id;
    // a Removed and an Added notification. MAPI_E_NOT_FOUND when the message
    // or the folder is gone; E_INVALIDARG for another store's folder.
    HRESULT MoveTo(const Folder& folder);
    // Saves a copy of the message as it is in memory (unsaved changes
    // included) into folder; the copy gets its own entry id, source key and
    // search key. *copy (may be null) receives the copy.
    HRESULT CopyTo(const Folder& folder, std::unique_ptr<Message>* copy);
    // Reads the saved state again, dropping unsaved changes.
    HRESULT Reload();

    // Marks the message submitted (MSGFLAG_SUBMIT) and saves it; the
    // transport takes it from Session::GetSubmittedMessages.
    // MAPI_E_NO_RECIPIENTS when it has none.
    HRESULT Submit();
    // Clears MSGFLAG_SUBMIT and saves; MAPI_E_NOT_IN_QUEUE when the message
    // is not submitted.
    HRESULT AbortSubmit();
    bool IsSubmitted() const;

    // The whole message with a name map for its named ids, for message
    // files. Store-maintained identity properties (PR_ENTRYID,
    // PR_PARENT_ENTRYID, PR_STORE_ENTRYID, PR_RECORD_KEY, PR_SOURCE_KEY,
    // PR_PARENT_SOURCE_KEY, PR_CHANGE_KEY) are left out.
    HRESULT GetContent(mapi::MessageContent* out) const;
    // Replaces properties, recipients and attachments by content's (named ids
    // mapped into this store's, creating ids as needed). Store-maintained
    // properties are kept as the store has them; PR_SEARCH_KEY is taken from
    // content when it has one. MAPI_E_NOT_ENOUGH_RESOURCES when the store has
    // no named id left. Not saved until Save.
    HRESULT SetContent(const mapi::MessageContent& content);

    struct Access;  // the library's own constructor access

private:
    friend struct Access;
    Message() = default;

    Session* m_session = nullptr;
    ObjectId m_id = 0;
    ObjectId m_folderId = 0;
    bool m_associated = false;
    Bytes m_entryId;
    mapi::PropertyBag m_props;
    std::vector<mapi::PropertyBag> m_recipients;
    std::vector<mapi::AttachmentContent> m_attachments;
};

}  // namespace store
