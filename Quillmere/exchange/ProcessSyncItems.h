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
// The folder table is read under FolderTableLock; the files "sync.zuf" of the
// data directory and "EXT\sync.msg" below it are this thread's alone.
#pragma once

#include <string>

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

// The sharing wizard the help text of a "NO TARGET" mail links to; the share
// name follows it.
inline constexpr wchar_t kSharingWizardAddress[] =
    L"https://www.brindlecast.com/quillmere/sharewizard?target=";

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
// "PASSWORD" and "ATTACHEMENT ZIPPED"; empty for every other reason.
std::wstring FailedMailHelpText(int reason, const std::wstring& shareName);

// One import pass over the folder "Quillmere" of session's default store:
// the mails not marked failed, and with includeFailed those marked failed
// too, from the last found to the first, until StopFlag is set. Sets the
// state code to importing for the pass and back to idle after it (unless
// another state was set meanwhile). Gives up without touching anything when
// StopFlag is set while it waits for FolderCheckLock. Failures are reported
// and end the work on one mail only.
void ProcessSyncItems(CSyncEngine* engine, QMRRDOSession* session, QMRMAPIUtils* utils,
                      bool includeFailed);
