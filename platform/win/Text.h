// Text conversions, upper-casing, comparison and the locale calls.
//
// Code pages: the stand-in's ANSI code page (CP_ACP) and every thread's code
// page (CP_THREAD_ACP) are Windows-1252 with '?' as the default character;
// CP_UTF8 is UTF-8; 28591 (ISO 8859-1) and 20127 (US-ASCII) are converted
// too. In memory wide text is wchar_t (UTF-32 on Linux); the UTF-16 helpers
// exist for file and wire formats only. A surrogate pair found in wide text
// (UTF-16 that was widened unit by unit) is treated as the one character it
// encodes. There is no best-fit mapping: a character that a single-byte code
// page cannot hold always becomes the default character.
//
// Locales: each thread has a locale (GetThreadLocale), initially the value of
// QUILLMERE_LCID (hex, "0x0407"), else 0x0409 (English, United States). That
// initial value is also the user and system default locale. Known locales:
// en-US 0x0409, en-GB 0x0809, de-DE 0x0407, de-AT 0x0C07, de-CH 0x0807,
// fr-FR 0x040C, es-ES 0x0C0A (and 0x040A); other LCIDs of these languages use
// the language's first entry, any other LCID behaves as en-US.
// All calls are thread-safe.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win/Clock.h"
#include "platform/win/Errors.h"
#include "platform/win/Types.h"

constexpr UINT CP_ACP = 0;
constexpr UINT CP_OEMCP = 1;
constexpr UINT CP_THREAD_ACP = 3;
constexpr UINT CP_UTF8 = 65001;
constexpr UINT kCodePage1252 = 1252;

// MultiByteToWideChar flags.
constexpr DWORD MB_PRECOMPOSED = 0x01;
constexpr DWORD MB_ERR_INVALID_CHARS = 0x08;
// WideCharToMultiByte flags.
constexpr DWORD WC_NO_BEST_FIT_CHARS = 0x400;
constexpr DWORD WC_ERR_INVALID_CHARS = 0x80;

// The ANSI code page (1252).
UINT GetACP();
// The OEM code page of the stand-in (437); only reported: conversions with
// it fail.
UINT GetOEMCP();

// Converts srcLen bytes of src (srcLen -1: up to and including the NUL,
// which is then converted and counted too) from codePage to wide text.
// dstLen 0: dst is not touched and the required count is returned. Returns
// the count of wide characters written; 0 on failure with GetLastError():
// ERROR_INSUFFICIENT_BUFFER (dst too small; dst may hold a partial result),
// ERROR_INVALID_PARAMETER (null src, srcLen 0 or < -1, dstLen < 0),
// ERROR_INVALID_FLAGS (unknown flags), ERROR_NO_UNICODE_TRANSLATION (an
// invalid UTF-8 sequence with MB_ERR_INVALID_CHARS; without it such bytes
// become U+FFFD, one per maximal invalid subsequence). Unknown code pages,
// CP_OEMCP among them, fail with ERROR_INVALID_PARAMETER.
// 1252 maps all 256 bytes: the five bytes that have no character there
// (0x81, 0x8D, 0x8F, 0x90, 0x9D) map to the C1 controls of the same value.
int MultiByteToWideChar(UINT codePage, DWORD flags, const char* src, int srcLen, wchar_t* dst,
                        int dstLen);

// Converts wide text to codePage; length rules and errors as above, counted
// in bytes. For 1252 a character that has no byte becomes defaultChar (its
// first byte; null = '?') and *usedDefaultChar is set to TRUE (FALSE when
// none was needed; usedDefaultChar may be null). For CP_UTF8 defaultChar
// and usedDefaultChar must be null (ERROR_INVALID_PARAMETER otherwise);
// unpaired surrogates and values above U+10FFFF become U+FFFD, or fail with
// ERROR_NO_UNICODE_TRANSLATION under WC_ERR_INVALID_CHARS.
int WideCharToMultiByte(UINT codePage, DWORD flags, const wchar_t* src, int srcLen, char* dst,
                        int dstLen, const char* defaultChar, BOOL* usedDefaultChar);

// Upper-cases len characters of text in place with the one-to-one mappings
// of Unicode (Latin, Greek, Cyrillic, Armenian, Latin and Greek extended,
// full-width Latin); characters whose upper case is more than one character,
// such as U+00DF, stay as they are, as on the platform. Returns len.
// CharLowerBuffW is the inverse.
DWORD CharUpperBuffW(wchar_t* text, DWORD len);
DWORD CharLowerBuffW(wchar_t* text, DWORD len);

using LCTYPE = DWORD;
constexpr LCID LOCALE_USER_DEFAULT = 0x0400;
constexpr LCID LOCALE_SYSTEM_DEFAULT = 0x0800;
constexpr LCID LOCALE_INVARIANT = 0x007F;
constexpr LCID LOCALE_NEUTRAL = 0x0000;

constexpr LCTYPE LOCALE_NOUSEROVERRIDE = 0x80000000;
constexpr LCTYPE LOCALE_RETURN_NUMBER = 0x20000000;
constexpr LCTYPE LOCALE_ILANGUAGE = 0x0001;
constexpr LCTYPE LOCALE_SLANGUAGE = 0x0002;
constexpr LCTYPE LOCALE_SENGLANGUAGE = 0x1001;
constexpr LCTYPE LOCALE_SCOUNTRY = 0x0006;
constexpr LCTYPE LOCALE_SLIST = 0x000C;
constexpr LCTYPE LOCALE_SDECIMAL = 0x000E;
constexpr LCTYPE LOCALE_STHOUSAND = 0x000F;
constexpr LCTYPE LOCALE_SDATE = 0x001D;
constexpr LCTYPE LOCALE_STIME = 0x001E;
constexpr LCTYPE LOCALE_SSHORTDATE = 0x001F;
constexpr LCTYPE LOCALE_SLONGDATE = 0x0020;
constexpr LCTYPE LOCALE_STIMEFORMAT = 0x1003;
constexpr LCTYPE LOCALE_IDEFAULTANSICODEPAGE = 0x1004;
constexpr LCTYPE LOCALE_IDEFAULTCODEPAGE = 0x000B;
constexpr LCTYPE LOCALE_SISO639LANGNAME = 0x0059;
constexpr LCTYPE LOCALE_SISO3166CTRYNAME = 0x005A;
constexpr LCTYPE LOCALE_SNAME = 0x005C;

// The calling thread's locale; SetThreadLocale changes it for the calling
// thread only. It accepts the two defaults (which set the user default) and
// every LCID of English, German, French or Spanish; others fail with FALSE
// and ERROR_INVALID_PARAMETER.
LCID GetThreadLocale();
BOOL SetThreadLocale(LCID locale);
LCID GetUserDefaultLCID();
LCID GetSystemDefaultLCID();
LANGID GetUserDefaultLangID();

// Copies the locale's value of type (without the LOCALE_NOUSEROVERRIDE bit)
// into data, NUL included, and returns the count of characters written; cch 0
// returns the count needed. 0 on failure: ERROR_INSUFFICIENT_BUFFER,
// ERROR_INVALID_FLAGS (an unsupported type), ERROR_INVALID_PARAMETER.
// LOCALE_SLIST is "," for English and ";" for German, French and Spanish.
// With LOCALE_RETURN_NUMBER (numeric types only) data receives the value as
// a DWORD (cch must be at least sizeof(DWORD) / sizeof(wchar_t)) and that
// count is returned.
int GetLocaleInfoW(LCID locale, LCTYPE type, wchar_t* data, int cch);

// GetDateFormatW / GetTimeFormatW flags.
constexpr DWORD DATE_SHORTDATE = 0x01;
constexpr DWORD DATE_LONGDATE = 0x02;
constexpr DWORD TIME_NOMINUTESORSECONDS = 0x01;
constexpr DWORD TIME_NOSECONDS = 0x02;
constexpr DWORD TIME_NOTIMEMARKER = 0x04;
constexpr DWORD TIME_FORCE24HOURFORMAT = 0x08;

// Formats a date (null: today, local time) as the locale's short date (flags
// 0 or DATE_SHORTDATE, null format), long date (DATE_LONGDATE) or as the
// picture format ("d dd ddd dddd M MM MMM MMMM y yy yyyy", text in single
// quotes literal). Short dates: en-US "M/d/yyyy", en-GB "dd/MM/yyyy",
// de "dd.MM.yyyy", fr "dd/MM/yyyy", es "dd/MM/yyyy". Returns the count of
// characters written, NUL included; cch 0 returns the count needed. 0 on
// failure: ERROR_INSUFFICIENT_BUFFER, ERROR_INVALID_PARAMETER (an invalid
// date; the day of week is ignored and computed), ERROR_INVALID_FLAGS
// (unknown flags, or a format together with DATE_SHORTDATE/LONGDATE).
int GetDateFormatW(LCID locale, DWORD flags, const SYSTEMTIME* date, const wchar_t* format,
                   wchar_t* out, int cch);
// The same for times (null: now, local time): the locale's time format
// (en-US "h:mm:ss tt", en-GB/de/fr "HH:mm:ss", es "H:mm:ss") or the picture
// ("h hh H HH m mm s ss t tt"). TIME_NOSECONDS / TIME_NOMINUTESORSECONDS /
// TIME_NOTIMEMARKER drop those parts together with the separator before
// them; TIME_FORCE24HOURFORMAT shows hours 0-23 and keeps the marker, as on
// the platform. The date fields are ignored.
int GetTimeFormatW(LCID locale, DWORD flags, const SYSTEMTIME* time, const wchar_t* format,
                   wchar_t* out, int cch);

// Comparison flags (VarBstrCmp, CompareStringW).
constexpr ULONG NORM_IGNORECASE = 0x00000001;
constexpr ULONG NORM_IGNORENONSPACE = 0x00000002;
constexpr ULONG NORM_IGNORESYMBOLS = 0x00000004;
constexpr ULONG NORM_IGNOREKANATYPE = 0x00010000;
constexpr ULONG NORM_IGNOREWIDTH = 0x00020000;

// Compares two BSTRs by the locale's rules: VARCMP_LT, VARCMP_EQ or
// VARCMP_GT. A null pointer is the empty text. flags 0 compares with case:
// texts equal only when every character is equal; texts that differ only in
// case order lower case first ("a" < "A" < "b"), otherwise the order is that
// of the case-folded texts by code point. NORM_IGNORECASE makes texts that
// differ only in case equal. Other flags are accepted and have no effect.
HRESULT VarBstrCmp(const wchar_t* left, const wchar_t* right, LCID locale, ULONG flags);

// CompareStringW result values and call (same ordering as VarBstrCmp;
// lengths -1 = NUL-terminated). 0 with ERROR_INVALID_PARAMETER on null text.
constexpr int CSTR_LESS_THAN = 1;
constexpr int CSTR_EQUAL = 2;
constexpr int CSTR_GREATER_THAN = 3;
int CompareStringW(LCID locale, DWORD flags, const wchar_t* a, int aLen, const wchar_t* b,
                   int bLen);

namespace win {

// Conveniences over the calls above; they never fail. Ansi = Windows-1252
// with '?' for characters it cannot hold.
std::string ToAnsi(std::wstring_view text);
std::wstring FromAnsi(std::string_view bytes);
// UTF-8; invalid input becomes U+FFFD, unpaired surrogates too.
std::string ToUtf8(std::wstring_view text);
std::wstring FromUtf8(std::string_view bytes);
// UTF-16 code units: characters above U+FFFF become surrogate pairs (values
// above U+10FFFF become U+FFFD; surrogate values pass unchanged); on the way
// back pairs join and unpaired surrogates become U+FFFD.
std::u16string ToUtf16(std::wstring_view text);
std::wstring FromUtf16(std::u16string_view units);
// UTF-16LE bytes for file formats (no NUL appended, no byte-order mark). An
// odd trailing byte of the input is ignored.
std::vector<std::uint8_t> ToUtf16Le(std::wstring_view text);
std::wstring FromUtf16Le(const std::uint8_t* data, std::size_t size);
inline std::wstring FromUtf16Le(const std::vector<std::uint8_t>& bytes) {
    return FromUtf16Le(bytes.data(), bytes.size());
}

// Upper- and lower-cased copies (CharUpperBuffW rules).
std::wstring ToUpper(std::wstring_view text);
std::wstring ToLower(std::wstring_view text);

// Locale lookups without buffers. Unknown types give an empty text.
std::wstring LocaleInfo(LCID locale, LCTYPE type);
// Today's / now's text as GetDateFormatW / GetTimeFormatW give it (null
// format, flags 0, user default locale) for a given SYSTEMTIME.
std::wstring FormatDate(LCID locale, const SYSTEMTIME& date);
std::wstring FormatTime(LCID locale, const SYSTEMTIME& time);

}  // namespace win
