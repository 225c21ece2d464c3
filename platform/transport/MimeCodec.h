// Content codecs of Internet mail: base64 and quoted-printable bodies
// (RFC 2045), the charsets the post office reads, and the encoded words of
// header text (RFC 2047).
//
// Pure functions over bytes: thread-safe, no state. Decoders never fail:
// malformed input decodes as far as it makes sense (RFC 2045 asks readers to
// be lenient), so that a damaged part still keeps its bytes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/win/Types.h"

namespace transport {

// Base64 in lines of 76 characters, each ended by CR LF (the last one too);
// empty input gives an empty text.
std::string EncodeBase64Lines(std::string_view bytes);
// Base64 on one line, without line ends (for encoded words).
std::string EncodeBase64(std::string_view bytes);
// Decodes base64, skipping every character outside the alphabet (line ends,
// white space) and stopping at the first '='; a trailing partial group gives
// the whole bytes it holds.
std::string DecodeBase64(std::string_view text);

// Quoted-printable for text whose line ends are all CR LF: each CR LF of the
// input becomes a hard line end, longer lines are cut by soft line ends at
// 76 characters, white space before a line end and '=' are escaped, as is a
// line's leading "From " and '.', so that trailing blanks and every byte
// survive transports that strip or stuff. Input that does not end with CR LF
// ends with a soft line end, so that no line end is added on the way back.
std::string EncodeQuotedPrintable(std::string_view bytes);
// True when every CR of bytes is followed by LF and every LF follows a CR
// (the canonical text form that quoted-printable keeps exactly).
bool HasCanonicalLineEnds(std::string_view bytes);
// Decodes quoted-printable: hard line ends (CR LF or a bare LF) give CR LF,
// soft line ends vanish, white space before a line end is dropped (it was
// added in transit), and '=' not followed by two hex digits stays as it is.
std::string DecodeQuotedPrintable(std::string_view text);

// The code page of a MIME charset name (case-insensitive, common aliases):
// 65001 utf-8, 20127 us-ascii, 28591 iso-8859-1, 1252 windows-1252; 0 for
// any other name.
UINT CodePageOfCharset(std::string_view charset);
// The MIME name of one of the code pages above; "" for others.
std::string_view CharsetOfCodePage(UINT codePage);
// True when bytes is well-formed UTF-8.
bool IsValidUtf8(std::string_view bytes);
// Decodes text in charset. Unknown or empty charsets and 8-bit bytes under
// us-ascii are read as UTF-8 when the bytes are well-formed UTF-8, else as
// windows-1252 (best effort; nothing is dropped).
std::wstring DecodeCharset(std::string_view bytes, std::string_view charset);

// Header text with encoded words decoded: "=?charset?B?...?=" and
// "=?charset?Q?...?=" (charset may carry an RFC 2231 "*language"); white
// space between two adjacent encoded words is dropped, and adjacent words of
// one charset are joined before decoding so that a character split between
// them survives. Other bytes are read as UTF-8 when well-formed, else as
// windows-1252. A malformed encoded word stays as literal text.
std::wstring DecodeHeaderText(std::string_view raw);
// text as a run of UTF-8 "B" encoded words separated by CR LF SP, each at
// most 64 characters long and never splitting a character; "" for "".
std::string EncodeWords(std::wstring_view text);

// ASCII lower case of bytes (other bytes unchanged).
std::string AsciiLower(std::string_view text);

}  // namespace transport
