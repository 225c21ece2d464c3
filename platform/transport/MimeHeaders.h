// Header fields of Internet mail (RFC 5322) and of MIME entities: splitting an
// entity into fields and body, structured values with parameters (RFC 2045,
// RFC 2231), address lists, dates, and the writing side of each with folding
// at 78 characters.
//
// Pure functions: thread-safe, no state.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win/Types.h"

namespace transport {

// One header field: name in ASCII lower case; value unfolded (the line breaks
// of folding removed, the white space kept), without the white space that
// follows the colon or ends the field; raw bytes, not yet decoded.
struct HeaderField {
    std::string name;
    std::string value;
};

// Splits an entity (a message or a body part) into its header fields and its
// body (after the empty line; empty when there is none). Lines may end with
// CR LF or a bare LF. Returns false and sets *error when a line of the header
// section is neither a field ("name:" with printable ASCII name) nor a
// continuation of one, when the first line is a continuation, or when there
// are more than maxFields fields. A part with no header section at all (an
// empty first line) gives no fields.
bool SplitEntity(std::string_view entity, std::size_t maxFields, std::vector<HeaderField>* fields,
                 std::string_view* body, std::string* error);
// The first field of that (lower-case) name, or null.
const HeaderField* FindField(const std::vector<HeaderField>& fields, std::string_view name);

// A structured value such as "text/plain; charset=utf-8": value is the part
// before the first ';' in ASCII lower case, params the parameters by
// lower-case name, decoded: RFC 2231 continuations and charset-tagged values
// are joined and decoded, plain values get RFC 2047 encoded words decoded
// (which many writers put into file names). Comments are dropped.
struct StructuredValue {
    std::string value;
    std::map<std::string, std::wstring> params;
};
StructuredValue ParseStructured(std::string_view raw);

// A mailbox: display name (may be empty) and address.
struct MailAddress {
    std::wstring name;
    std::wstring address;
};
// The mailboxes of an address list: name-addr and addr-spec forms, quoted
// names, encoded words, comments (a comment names an addr-spec that has no
// other name), groups (their members are listed, the group name dropped).
// Entries with neither name nor address are left out. Addresses are cleaned
// as CleanAddress does.
std::vector<MailAddress> ParseAddressList(std::string_view raw);
// address without control characters and angle brackets, which no address
// holds and which would break (or, as a line break, end) a header field.
std::wstring CleanAddress(std::wstring_view address);

// "Name: value" CR LF for unstructured text (Subject): as is, folded at
// blanks, when it is printable ASCII that survives unfolding exactly (no
// leading, trailing or doubled blanks, no "=?", no word too long to fold);
// otherwise as UTF-8 encoded words.
std::string FormatUnstructuredField(std::string_view name, std::wstring_view text);
// "Name: a, b" CR LF with one mailbox per line once the line would pass 78.
// A display name is quoted, or encoded when it is not printable ASCII.
std::string FormatAddressField(std::string_view name, const std::vector<MailAddress>& list);
// One mailbox as it appears in an address field.
std::string FormatMailbox(const MailAddress& address);
// ";" CR LF TAB and name="value" for a short printable ASCII value, else the
// RFC 2231 form name*=UTF-8''... (split into name*0*, name*1*, ... sections
// of at most 48 characters when longer).
std::string FormatParameter(std::string_view name, std::wstring_view value);

// A FILETIME (UTC, 100-ns since 1601) as an RFC 5322 date in UTC, such as
// "Thu, 10 Dec 2026 08:54:23 +0000". Out of range values give "".
std::string FormatMailDate(ULONGLONG fileTime);
// An RFC 5322 date (also the obsolete forms: no day name, two-digit years,
// no seconds, zone names such as GMT or EST, comments) as a UTC FILETIME;
// nullopt when it is not a valid date.
std::optional<ULONGLONG> ParseMailDate(std::string_view raw);

}  // namespace transport
