// Writes a message as Internet mail: RFC 5322 header fields and a MIME body
// (RFC 2045-2049), every line ended by CR LF and every byte 7-bit, so that
// the bytes of text, HTML and attachments come back exactly.
//
// Layout of what is written:
//   headers   Date (PR_CLIENT_SUBMIT_TIME, else the given or current time, in
//             UTC), From, Sender (only when sent on behalf of someone else),
//             Subject (RFC 2047 encoded words when not plain ASCII), To, Cc
//             (never Bcc), Message-ID, MIME-Version, Importance and
//             Sensitivity (when set), X-Message-Class (PR_MESSAGE_CLASS),
//             X-Mailer.
//   body      text/plain; charset=utf-8 (quoted-printable when its line ends
//             are all CR LF, else base64, so that bare LFs survive: a knowing
//             departure from the CR LF canonical form of text, because the
//             marker block of a sync mail mixes both and is read by byte); with an
//             HTML body, multipart/alternative of the text and text/html (the
//             PR_HTML bytes as they are, charset from PR_INTERNET_CPID).
//   files     with attachments, multipart/mixed of the body and one part per
//             attachment: base64 in lines of 76, Content-Disposition
//             attachment with the file name (RFC 2231 for non-ASCII names),
//             Content-Type from PR_ATTACH_MIME_TAG or else the extension
//             (.msg application/vnd.ms-outlook, application/octet-stream by
//             default), Content-ID from PR_ATTACH_CONTENT_ID.
//   embedded  an embedded message (ATTACH_EMBEDDED_MSG) is a message/rfc822
//             part written by these same rules; only what Internet mail can
//             say of it survives (subject, addresses, date, bodies,
//             attachments, class, importance), not its other properties.
//             Message files that must arrive whole travel as by-value
//             attachments (.msg bytes), which are kept byte for byte.
//   OLE and by-reference attachments are written as files with the bytes
//   they carry.
//
// All functions are thread-safe.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/mapi/MessageContent.h"
#include "platform/transport/MimeHeaders.h"
#include "platform/win/Errors.h"

namespace transport {

// A text property as wide text: the PT_UNICODE value of the tag's id, or its
// PT_STRING8 value read as windows-1252 (UTF-8 when PR_MESSAGE_CODEPAGE of
// bag says 65001). nullopt when absent.
std::optional<std::wstring> PropText(const mapi::PropertyBag& bag, ULONG tag);

// One recipient of a message as Internet mail addresses it.
struct RecipientAddress {
    LONG type = mapi::MAPI_TO;  // MAPI_TO, MAPI_CC or MAPI_BCC
    MailAddress mailbox;
};
// The recipients of message in table order: the address of each row is
// PR_SMTP_ADDRESS, else PR_EMAIL_ADDRESS (when PR_ADDRTYPE is "SMTP" or
// absent), else PR_DISPLAY_NAME when it is an address; rows without one are
// left out. A message with no recipient rows is addressed by its display
// fields PR_DISPLAY_TO, PR_DISPLAY_CC and PR_DISPLAY_BCC, split at ';' and
// ',' (as a client fills them from a typed "a@x; b@y").
std::vector<RecipientAddress> RecipientsOf(const mapi::MessageContent& message);

struct WriteOptions {
    // The submitting account; when its address is empty the message's
    // PR_SENDER_NAME and PR_SENDER_EMAIL_ADDRESS are used. The message's
    // PR_SENT_REPRESENTING_* (or a PR_SENT_REPRESENTING_NAME that is an
    // address) that names someone else makes that one the From and the
    // account the Sender.
    MailAddress sender;
    // Date to write (UTC FILETIME) when the message has no
    // PR_CLIENT_SUBMIT_TIME; nullopt: now on the platform clock.
    std::optional<ULONGLONG> date;
    // The Message-ID to write, with its angle brackets; empty: the message's
    // PR_INTERNET_MESSAGE_ID when it is a plain "<id>", else a new one.
    std::string messageId;
};

// Writes message to *out (replaced). S_OK; MAPI_E_INVALID_PARAMETER with
// *error set when there is no sender address (From is required); MAPI_E_TOO_COMPLEX when
// embedded messages nest deeper than kMaxMimeDepth. error may be null.
HRESULT WriteMime(const mapi::MessageContent& message, const WriteOptions& options,
                  std::string* out, std::string* error = nullptr);

// A new unique Message-ID "<...@domain>", domain from the address (the
// local host name when it has none). Thread-safe.
std::string NewMessageId(std::wstring_view senderAddress);
// The MIME type for a file name, by its extension (case-insensitive).
std::string ContentTypeForFileName(std::wstring_view fileName);

// Nesting limit of multiparts and embedded messages, for writer and parser.
constexpr int kMaxMimeDepth = 16;

}  // namespace transport
