// The texts that partners' add-ins exchange: subjects, bodies and markers of
// the sync mail (one changed item), the deletion notice (one deleted item),
// the packet mail (many parked sync mails) and the marks the receiving side
// writes onto a sync mail it processed or failed on.
//
// Writer and reader must agree on every character here: the builders below
// produce exactly what ReadSyncMailMarkers reads back, and the subject
// markers are what the outbox re-check, the inbox import and the rule
// helper's rule search for.
//
// Everything here is pure text work (MakeSyncMailTime also reads the clock):
// no locks, callable from any thread.
#pragma once

#include <string>
#include <string_view>

#include "platform/win/Types.h"

namespace syncmail {

// Subject marker of every sync mail and deletion notice; a blank and the time
// text follow it.
inline constexpr wchar_t kSubjectMarker[] = L">-Quillmere-<";
// Subject prefix of a packet mail; the time text follows without a blank.
inline constexpr wchar_t kPacketSubjectPrefix[] = L"QMRX$BASICSYNCPACKET:";
// Subjects of received sync mails that are deleted: processed, and failed
// for more than three days.
inline constexpr wchar_t kProcessedSubject[] = L"QUILLMERE-DELETED-MESSAGE1";
inline constexpr wchar_t kFailedExpiredSubject[] = L"QUILLMERE-DELETED-MESSAGE2";
// Put behind kSubjectMarker (with the error name) on a failed sync mail.
inline constexpr wchar_t kErrorSubjectTag[] = L" ERROR:";
// A subject holding this was annotated already and is not annotated again.
inline constexpr wchar_t kErrorMark[] = L"ERROR:";
// Before the item's subject in the subject of a sync mail with the debug
// switch on.
inline constexpr wchar_t kDebugSubjectTag[] = L" SUBJECT:";
// Before the item's subject in the body with the debug switch on.
inline constexpr wchar_t kDebugBodyTag[] = L"\n\nDebug:Subject:";

// The one attachment of a sync mail and the one file inside its cabinet.
inline constexpr wchar_t kAttachmentName[] = L"sync.zuf";
inline constexpr wchar_t kAttachedItemName[] = L"sync.msg";

// Body markers.
inline constexpr wchar_t kSyncMailFlag[] = L"is:TRUE:is";
inline constexpr wchar_t kDeletionFlag[] = L"is:FALSE:is";
inline constexpr wchar_t kShareNameOpen[] = L"lf:";
inline constexpr wchar_t kShareNameClose[] = L":lf";
inline constexpr wchar_t kSyncIdOpen[] = L"id:";
inline constexpr wchar_t kSyncIdClose[] = L":id";
inline constexpr wchar_t kFormMarker[] = L":form:";

// The line breaks between the intro text and the marker block.
inline constexpr int kSyncMailBreaks = 60;        // CR LF each
inline constexpr int kDeletionNoticeBreaks = 40;  // LF each

// Every outgoing mail is an "IPM.Note" with PR_ICON_INDEX 514.
inline constexpr wchar_t kMessageClass[] = L"IPM.Note";
inline constexpr ULONG PR_ICON_INDEX = 0x10800003;
inline constexpr LONG kIconIndex = 0x202;
// The string-table entry of the intro text of every body.
inline constexpr UINT kIntroStringId = 1220;

// Searches for outgoing mails in the Outbox (SQL LIKE patterns).
inline constexpr wchar_t kOutboxSyncMailPattern[] = L">-Quillmere-<%";
inline constexpr wchar_t kOutboxPacketPattern[] = L"QMRX$BASICSYNCPACKET%";

// The time value of an outgoing mail: the local time now plus 10 seconds,
// written into the mail's date and shown in its subject.
struct SyncMailTime {
    DATE value = 0;
    std::wstring text;  // SyncMailTimeText(value)
};
SyncMailTime MakeSyncMailTime();
// A local date-time as the user's default locale writes it: short date, one
// blank, time (seconds included). Partners never parse it. "" for a value
// outside the calendar.
std::wstring SyncMailTimeText(DATE value);

// Subject of a sync mail: marker, one blank, time text; with debugSwitch also
// " SUBJECT:" and the item's own subject.
std::wstring BuildSyncMailSubject(std::wstring_view timeText, bool debugSwitch,
                                  std::wstring_view itemSubject);
// Subject of a deletion notice: marker, one blank, time text.
std::wstring BuildDeletionNoticeSubject(std::wstring_view timeText);
// Subject of a packet mail: the prefix directly followed by the time text.
std::wstring BuildPacketSubject(std::wstring_view timeText);

// Body of a sync mail. intro: string 1220 in the UI language. itemSubject is
// used only with debugSwitch. formFlag: the item was queued as a hidden
// folder-design item (adds ":form:" CR LF at the end).
std::wstring BuildSyncMailBody(std::wstring_view intro, bool debugSwitch,
                               std::wstring_view itemSubject, std::wstring_view shareName,
                               std::wstring_view syncIdText, bool formFlag);
// Body of a deletion notice (bare LF line ends in its marker block).
std::wstring BuildDeletionNoticeBody(std::wstring_view intro, std::wstring_view shareName,
                                     std::wstring_view syncIdText);

enum class SyncMailKind {
    kNone,            // not a sync mail (or its markers are incomplete)
    kSyncMail,        // "is:TRUE:is": carries a changed item
    kDeletionNotice,  // "is:FALSE:is": names a deleted item
};

struct SyncMailMarkers {
    SyncMailKind kind = SyncMailKind::kNone;
    // The text between the first "lf:" and the first ":lf", untrimmed.
    std::wstring shareName;
    // The text between the first "id:" and the first ":id", with its first
    // LF, its first CR and its first blank removed.
    std::wstring syncIdText;
    // Whether the body carries ":form:".
    bool formFlag = false;
};

// Reads a received body. The kind is kNone (and the texts empty) unless the
// body carries one of the two flags and all four of "lf:", ":lf", "id:" and
// ":id". The first occurrence of each marker counts; a closing marker that
// stands before its opening one gives an empty text (never a misplaced one).
SyncMailMarkers ReadSyncMailMarkers(std::wstring_view body);

// The name of an import failure reason: 0 "" .. 10 "WRONG VERSION", any
// other number "UNKNOWN". A static text.
const wchar_t* ImportErrorName(int reason);

// Whether a received mail's subject was annotated as failed already.
bool HasErrorMark(std::wstring_view subject);
// The subject of a sync mail failed for the first time: the marker,
// " ERROR:" and the error name of reason.
std::wstring BuildFailedSubject(int reason);

}  // namespace syncmail
