// Building and saving one sync mail: the queued change of one item becomes a
// mail in the default Outbox that carries the item, saved as a message file
// and packed into the (encrypted) cabinet "sync.zuf", addressed to the
// partners of the share. The mail is only saved: it stays in the Outbox for
// the outbox re-check, the only place that submits, or it is parked as a
// message file for a packet mail when many mails wait.
//
// Threads: SendSyncMessage and FindMailInOutbox run on the sync-mail sender
// thread with that thread's own helper session and utilities; the recipient
// choice and SendMail::SaveMail serve the deletion-notice sender as well.
// OutboxLock is held from writing the item file to the end of the save, so
// the two builders never share the fixed item and cabinet files, and the
// outbox re-check (which only tries the lock) never sees a half-built mail.
// The partners of a sync mail are chosen from the item it carries: its
// categories and, for a meeting, its own attendees (MeetingAttendees.h).
#pragma once

#include <string>
#include <vector>

#include "Quillmere/core/AddinGlobals.h"
#include "platform/com/Bstr.h"
#include "platform/rdo/QuillmereRDO.h"
#include "platform/win/Types.h"

class CSyncEngine;

// Builds the sync mail of item (a message opened through session) for the
// share shareName of the folder folderEntryId (hex text; owned by the call
// and freed in every case), packed with password (empty: a plain cabinet).
// formFlag marks a hidden folder-design item (":form:" in the body).
// waitingMails: the mails waiting in both queues; many: the sender's burst
// flag; both decide in SendMail::SaveMail whether the mail is parked.
// Before it builds, a still waiting older sync mail of the same item is
// stopped and deleted (FindMailInOutbox).
// Returns S_OK when the mail was saved (in the Outbox or parked). E_FAIL for
// a null item ("Syncitem == NULL") or a folder without partners to send to
// (the new mail is deleted again); kPartnersUnreadable when the partners
// could not be read (likewise); the failing call's HRESULT when the sync
// id, the Outbox, the new mail or the item file can't be had, or when the
// time, subject or body can't be written (the half-built mail is deleted
// again, so nothing without markers is left in the Outbox). A failure to pack
// or attach the cabinet is logged and the mail still leaves without it (the
// partner reports it as lacking its attachment). The sender thread only.
HRESULT SendSyncMessage(CSyncEngine* engine, QMRRDOSession* session, QMRMAPIUtils* utils,
                        QMRMessage* item, BSTR folderEntryId, const std::wstring& password,
                        const std::wstring& shareName, bool formFlag, LONG waitingMails, bool many);

// Stops the sync mail (not a deletion notice) of the item with syncIdText
// that still waits in the default Outbox of session, and deletes it: a
// submitted one is taken back from submission first; one not submitted yet
// is deleted at once. The search is skipped when the Outbox holds 20 or more
// items. Returns true when a mail was deleted. The sender thread.
bool FindMailInOutbox(CSyncEngine* engine, QMRRDOSession* session, QMRMAPIUtils* utils,
                      const std::wstring& syncIdText);

// Reads a wrapped Outbox mail the way the import reads a received one: true
// for a sync mail or deletion notice whose body carries "lf:", ":lf", "id:"
// and ":id"; remove is true for a deletion notice; syncIdText gets the text
// between the first "id:" and ":id" (its first LF, CR and blank removed).
// The body comes from the safe item, else from its PR_BODY_W. false (and the
// texts empty) for any other mail. The calling thread's safe item.
bool haveMyMailUserPropertyOutbox(QMRSafeMailItem* safeMail, bool& remove,
                                  std::wstring& syncIdText);

// The recipient text of the share's mail: every partner of the folder
// (GetFolderUsers, in that order) followed by ';'. With categories (sync
// mails: the item's categories), a partner linked to categories qualifies
// only when the item carries one of them (exact comparison); a partner
// without links always qualifies. With attendees (sync mails: the attendee
// list of the item sent, lower-case), a partner whose lower-cased address is
// in it is left out. recipients is replaced. true when at least one partner
// was added; *unreadable (optional) tells a registry that could not be
// read (see GetFolderUsers) from a folder without partners. Any thread.
bool GetShareRecipients(CSyncEngine* engine, const std::wstring& folderEntryId,
                        const std::vector<std::wstring>* categories, std::wstring& recipients,
                        const std::vector<std::wstring>* attendees, bool* unreadable = nullptr);

// The partner addresses of a folder: the subkey names of HKCU
// "Software\Brindlecast\Quillmere\Folders\<folderEntryId>\Users", in
// enumeration order, then the names of its values (the other form the
// registry layout knows), without repeats. Empty when the key is missing.
// A key that exists but can't be read (a damaged hive: ERROR_BADDB) is
// reported to the error log with its name and sets *unreadable (optional):
// the partners are unknown then, not none. Any thread.
std::vector<std::wstring> GetFolderUsers(const std::wstring& folderEntryId,
                                         bool* unreadable = nullptr);

// What SendSyncMessage returns when the partners could not be read: the mail
// is not built and the change must stay queued.
inline constexpr HRESULT kPartnersUnreadable = static_cast<HRESULT>(0x800703F1);  // ERROR_BADDB

// Writes body into the mail safeMail wraps the way the running Outlook takes
// best (modern mode: its Body; else its PR_BODY_W field) and, when that way
// fails, the other way. Returns E_OUTOFMEMORY when the text can't be
// allocated, else the HRESULT of the last way tried. The calling thread's
// safe item; engine only tells the mode.
HRESULT WriteMailBody(CSyncEngine* engine, QMRSafeMailItem* safeMail, const std::wstring& body);

// Holds OutboxLock for its scope (the mail builders hold it from the first
// write of a mail to the end of its save). The sender threads.
class OutboxLockHolder {
public:
    OutboxLockHolder() { EnterCriticalSection(&OutboxLock); }
    ~OutboxLockHolder() { LeaveCriticalSection(&OutboxLock); }
    OutboxLockHolder(const OutboxLockHolder&) = delete;
    OutboxLockHolder& operator=(const OutboxLockHolder&) = delete;
};

class SendMail {
public:
    // Saves a built mail (sync mail: item is the synced item; deletion
    // notice: item null) and decides where it waits: with at most 10 mails
    // waiting, outside a burst and without pack_every_time it stays in the
    // Outbox; otherwise the tray's status text shows the progress and the
    // mail is parked for a packet mail to recipients (the recipient text it
    // was addressed with, which names its packet). A mail that can't be
    // parked stays in the Outbox and leaves singly. safeMail wraps mail.
    // Returns the failure of the save; S_OK otherwise (parked or not).
    // The sender threads, under OutboxLock, with their own session.
    static HRESULT SaveMail(CSyncEngine* engine, QMRRDOSession* session, QMRMessage* mail,
                            QMRSafeMailItem* safeMail, QMRMessage* item,
                            const std::wstring& recipients, LONG waitingMails, bool many);

    // How many mails SaveMail has handled in this process (for the estimate
    // of the time left while parking).
    static LONG HandledCount();
};
