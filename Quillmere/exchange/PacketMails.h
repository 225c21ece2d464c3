// Packet mails: during a burst the built sync mails are parked as message
// files in a packet directory and leave together, one packet mail per set of
// recipients; arriving packet mails are turned back into single sync mails.
//
// The packet directory tree, below the data directory:
//   <data dir><profile directory>\<recipient directory>\<tick>.msg
// The profile directory is named after the helper session's profile name
// ("QuillmereBasicSync" when it is empty or can't be read), a recipient
// directory after the recipients text of its parked mails; both names go
// through PacketDirectoryName, so that a text the file system can't hold, or
// one that would climb out of the tree ("..", "a\b"), still names exactly one
// directory inside it, and the recipients text of a packet is read back from
// its directory name unchanged.
//
// Threads: parking runs on the sender threads under OutboxLock; packets are
// built by the sync-mail sender thread only; unpacking runs on the inbox
// import thread. The tree itself is not locked: a file parked while its
// directory is listed joins this packet or the next one.
#pragma once

#include <string>

#include "platform/rdo/QuillmereRDO.h"
#include "platform/win/Types.h"

class CSyncEngine;

// The profile directory's name when the session gives no profile name.
inline constexpr wchar_t kPacketFallbackProfile[] = L"QuillmereBasicSync";
// The longest wait between two parking notifications (platform ms).
inline constexpr DWORD kPackingNotificationInterval = 300000;

// Parks one built mail (saved in the Outbox) as a message file
// <data dir><profile>\<recipients>\<tick>.msg and deletes it from the Outbox
// once the file is written; a tick whose file exists already is counted up
// to the next free name, so two mails parked in one millisecond are both
// kept. The engine's parked-mail counter is raised in any case.
// session: the calling thread's own helper session, whose profile names the
// profile directory; null falls back to the engine's session, usable only
// on Outlook's thread, and then to the profile name read last by
// sendPackedBasicSyncMSG. S_OK when parked; E_INVALIDARG for an empty
// recipients text or a null mail (nothing parked, the mail stays in the
// Outbox); else the failing save's HRESULT (the mail stays in the Outbox and
// leaves singly). Sender threads, under OutboxLock.
HRESULT saveMailInSpecialOutbox(CSyncEngine* engine, QMRMessage* mail,
                                const std::wstring& recipients, QMRRDOSession* session = nullptr);

// Sends one packet mail per recipient directory of the session's profile
// (and of the fallback profile directory, where mails parked without a
// readable profile name wait). The packets stay in the session's Outbox for
// the outbox re-check. The sync-mail sender thread, with its own session.
void sendPackedBasicSyncMSG(CSyncEngine* engine, QMRRDOSession* session);

// Builds packet mails from the parked files of one recipient directory
// (directory: its full path, without a trailing backslash), addressed to
// recipients: at most bs_collect_count + 1 files per packet, further packets
// at once while files are left. A parked file is deleted only after the
// packet that carries it was saved, so a packet that can't be saved loses
// nothing. A directory without ".msg" files gives no mail.
void basicSyncProcessDirectory(CSyncEngine* engine, QMRRDOSession* session,
                               const std::wstring& directory, const std::wstring& recipients);

// Unpacks the packet mails in the folder "Quillmere": each attachment
// becomes one new sync mail there (imported from the attachment's message
// file), and the packet mail is deleted afterwards, also when its
// attachments failed. The attachments' own names are never used: every
// attachment goes through the one fixed file <data dir>sync.msg. State code
// 5 while it runs, back to 0 unless someone changed it meanwhile. The
// importer's thread, with its own session and utilities.
void ProcessBasicSyncItems(CSyncEngine* engine, QMRRDOSession* session, QMRMAPIUtils* utils);

// Hands the notification to CSyncEngine::SetPendingNotification at most once
// every 5 minutes of platform time; the first call of the process only
// starts the interval. Any thread: of callers racing past the deadline only
// one notifies.
void ThrottledPackingNotification(CSyncEngine* engine, const std::wstring& title,
                                  const std::wstring& text, LONG kind);

// The directory name that stands for text in the packet tree: every
// character a Windows file name can't hold (controls, \ / : * ? " < > |),
// '%' itself, and trailing dots and blanks are written as "%XX" (two
// upper-case hex digits of the UTF-16 unit); "" stays "". The exact inverse
// is RecipientsFromPacketDirectoryName; a malformed escape is kept as it is.
std::wstring PacketDirectoryName(const std::wstring& text);
std::wstring RecipientsFromPacketDirectoryName(const std::wstring& name);
