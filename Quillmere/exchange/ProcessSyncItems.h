// The import of received sync mails: every sync mail and deletion notice in
// the add-in's folder "Quillmere" is recognised by its body markers, matched
// to the synchronised folder of its share name, unpacked with that folder's
// password and applied there (the item with the same sync id is overwritten,
// created when there is none, or deleted). A processed mail is deleted; a
// failed one is annotated once for the user, retried by the passes that
// include failed mails and deleted after three days.
//
// Threads: the inbox import thread only, with that thread's helper session
// and utilities. A pass holds FolderCheckLock from its first mail to its
// last, so no folder check runs while items are written, and every write is
// registered as an own change (SelfModifiedItem) before the lock is left.
// The folder table is read under FolderTableLock. The received cabinet is
// saved as "sync-in.zuf" in the data directory (never over the sender's
// "sync.zuf" there, which the sender threads write at the same time) and
// unpacked into the directory "EXT\" beside it; both are this thread's
// alone, and their files are deleted after each mail.
#pragma once

#include <string>
#include <string_view>

#include "platform/rdo/QuillmereRDO.h"
#include "platform/win/Types.h"

class CSyncEngine;

// Failure reasons of an import, as the failed mail's subject names them
// (syncmail::ImportErrorName).
inline constexpr int kImportNoTarget = 1;
inline constexpr int kImportNoShareName = 2;
inline constexpr int kImportNoAttachment = 3;
inline constexpr int kImportPassword = 4;
inline constexpr int kImportAttachmentZipped = 5;
inline constexpr int kImportFileNameChanged = 6;
inline constexpr int kImportNoDeletedItem = 8;
inline constexpr int kImportWrongVersion = 10;
inline constexpr int kImportCannotOpenItem = 11;
// The mail's sync id can't be read: its markers are cut short, or the id is
// empty or no hexadecimal text. Named "UNKNOWN", as 11 is.
inline constexpr int kImportNoSyncId = 12;

// The sharing wizard the help text of a "NO TARGET" mail links to; the share
// name follows it.
inline constexpr wchar_t kSharingWizardAddress[] =
    L"https://www.brindlecast.com/quillmere/sharewizard?target=";

// What a received body says of itself, read as haveMyMailUserProperty reads
// it (the first occurrence of each marker counts).
enum class MailUserProperty {
    kNone,        // neither "is:TRUE:is" nor "is:FALSE:is"
    kIncomplete,  // one of them, but the body lacks one of the four markers
    kComplete,    // one of them and all of "lf:", ":lf", "id:" and ":id"
};
// The text work of haveMyMailUserProperty: remove (true for "is:FALSE:is"
// without "is:TRUE:is") and the sync id text (between the first "id:" and the
// first ":id", without its first LF, first CR and first blank; empty when
// ":id" stands before the end of "id:") are set for every kind and cleared
// for kNone. Pure text work for any thread; safe on any input.
MailUserProperty ReadMailUserProperty(std::wstring_view body, bool& remove,
                                      std::wstring& syncIdText);

// Whether message is a sync mail (remove false) or a deletion notice (remove
// true) whose body carries all four markers "lf:", ":lf", "id:", ":id". The
// body is the message's Body, else its PR_BODY_W read through utils. The sync
// id text (between the first "id:" and the first ":id", without its first LF,
// first CR and first blank) is handed out whenever the body names a kind,
// also when the markers are incomplete. Failures are reported
// ("haveMyMailUserProperty=>no Body", "...=>no Body2"; "...0>no Body, no
// SyncId" for a kind without markers). engine may be null.
bool haveMyMailUserProperty(CSyncEngine* engine, QMRMAPIUtils* utils, QMRMessage* message,
                            bool& remove, std::wstring& syncIdText);

// The help text put in front of the body of a mail failed for reason, in
// the UI language: for "NO TARGET" (naming shareName, with the wizard link),
// "PASSWORD" and "ATTACHEMENT ZIPPED"; empty for every other reason. The
// text is HTML: shareName, which comes from the received mail, is written
// with its markup characters escaped (HtmlEscape).
std::wstring FailedMailHelpText(int reason, const std::wstring& shareName);

// text with "&", "<", ">" and '"' written as HTML character references, so
// that received text shown in an HTML body is shown, never interpreted.
std::wstring HtmlEscape(std::wstring_view text);

// One import pass over the folder "Quillmere" of session's default store:
// the mails not marked failed, and with includeFailed those marked failed
// too, from the last found to the first, until StopFlag is set. A mail that
// names itself a sync mail or deletion notice but whose markers are cut
// short is marked failed ("NO SHARENAME" without the share-name markers,
// else "UNKNOWN"), so that the regular passes leave it and it goes after
// three days like any failed mail; a mail without either is-marker is left
// as it is. Sets the
// state code to importing for the pass and back to idle after it (unless
// another state was set meanwhile). Gives up without touching anything when
// StopFlag is set while it waits for FolderCheckLock. Failures are reported
// and end the work on one mail only.
void ProcessSyncItems(CSyncEngine* engine, QMRRDOSession* session, QMRMAPIUtils* utils,
                      bool includeFailed);
