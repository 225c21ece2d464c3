// Reads Internet mail (RFC 5322 with MIME, RFC 2045-2049, 2047, 2231) into a
// message's content, for filing received mail. Written for hostile input:
// sizes, header counts, part counts and nesting are bounded, every read is
// checked, and nothing is trusted that names a path.
//
// What is read:
//   PR_SUBJECT, PR_BODY (the first inline text/plain part, decoded to wide
//   text with its line ends as they are), PR_HTML and PR_INTERNET_CPID (the
//   first inline text/html part, its bytes as sent), From as
//   PR_SENT_REPRESENTING_NAME/_EMAIL_ADDRESS/_ADDRTYPE, Sender (else From)
//   as PR_SENDER_*, To/Cc (and a Bcc field, if one came) as recipient rows
//   (PR_RECIPIENT_TYPE, PR_DISPLAY_NAME, PR_EMAIL_ADDRESS, PR_SMTP_ADDRESS,
//   PR_ADDRTYPE "SMTP"), Date as PR_CLIENT_SUBMIT_TIME, the delivery time as
//   PR_MESSAGE_DELIVERY_TIME, PR_INTERNET_MESSAGE_ID, PR_MESSAGE_CLASS
//   (X-Message-Class, default "IPM.Note"), PR_IMPORTANCE (Importance or
//   X-Priority), PR_SENSITIVITY, PR_TRANSPORT_MESSAGE_HEADERS and
//   PR_MESSAGE_FLAGS (unread; MSGFLAG_HASATTACH when it has attachments).
//   Every other leaf part is an attachment by value (PR_ATTACH_METHOD,
//   PR_ATTACH_LONG_FILENAME, PR_ATTACH_FILENAME in 8.3 form,
//   PR_DISPLAY_NAME, PR_ATTACH_EXTENSION, PR_ATTACH_MIME_TAG,
//   PR_ATTACH_CONTENT_ID, its decoded bytes); a message/rfc822 part is an
//   embedded message (ATTACH_EMBEDDED_MSG), or its bytes by value when they
//   do not read as a message.
// Transfer encodings 7bit, 8bit, binary, quoted-printable and base64 (others
// are kept as they are); charsets utf-8, us-ascii, iso-8859-1 and
// windows-1252, others read as UTF-8 when well-formed, else as
// windows-1252.
//
// Thread-safe (no shared state).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "platform/mapi/MessageContent.h"
#include "platform/win/Errors.h"

namespace transport {

struct ParseOptions {
    // Larger input is refused before anything is read.
    std::size_t maxSize = 64u << 20;
    // PR_MESSAGE_DELIVERY_TIME (UTC FILETIME); nullopt: the date of the
    // topmost Received field, else Date, else now on the platform clock.
    std::optional<ULONGLONG> deliveryTime;
};

// Limits that keep hostile input from costing more than its size.
constexpr std::size_t kMaxHeaderFields = 10000;
constexpr int kMaxMimeParts = 4096;

// Reads bytes into *out (replaced only on success). S_OK;
// MAPI_E_TOO_BIG (larger than options.maxSize), MAPI_E_CORRUPT_DATA (not a
// message: empty, a header line that is not a field, no From field, a
// multipart without boundary or without parts, a broken part header),
// MAPI_E_TOO_COMPLEX (more than kMaxMimeParts parts or deeper than
// kMaxMimeDepth); *error (may be null) then says why in one line.
HRESULT ParseMime(std::string_view bytes, const ParseOptions& options, mapi::MessageContent* out,
                  std::string* error = nullptr);

// The last path component of a received file name, without control
// characters and with the characters Windows file names cannot hold
// (:*?"<>|) made '_'; "" for names that are empty, "." or "..". A name from
// the wire never reaches a file system unchanged.
std::wstring SafeFileName(std::wstring_view name);
// The 8.3 form of a file name: the name itself when it already fits, else
// up to six characters of the upper-cased base, "~1" and up to three of the
// extension ("Quarterly report.docx" -> "QUARTE~1.DOC").
std::wstring ShortFileName(std::wstring_view name);

}  // namespace transport
