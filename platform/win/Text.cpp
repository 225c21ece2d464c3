#include "platform/win/Text.h"

#include "platform/win/Errors.h"

UINT GetACP() {
    return kCodePage1252;
}
UINT GetOEMCP() {
    return 437;
}
int MultiByteToWideChar(UINT, DWORD, const char*, int, wchar_t*, int) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return 0;
}
int WideCharToMultiByte(UINT, DWORD, const wchar_t*, int, char*, int, const char*, BOOL*) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return 0;
}
DWORD CharUpperBuffW(wchar_t*, DWORD len) {
    return len;
}
DWORD CharLowerBuffW(wchar_t*, DWORD len) {
    return len;
}
LCID GetThreadLocale() {
    return 0x0409;
}
BOOL SetThreadLocale(LCID) {
    return TRUE;
}
LCID GetUserDefaultLCID() {
    return 0x0409;
}
LCID GetSystemDefaultLCID() {
    return 0x0409;
}
LANGID GetUserDefaultLangID() {
    return 0x0409;
}
int GetLocaleInfoW(LCID, LCTYPE, wchar_t*, int) {
    return 0;
}
int GetDateFormatW(LCID, DWORD, const SYSTEMTIME*, const wchar_t*, wchar_t*, int) {
    return 0;
}
int GetTimeFormatW(LCID, DWORD, const SYSTEMTIME*, const wchar_t*, wchar_t*, int) {
    return 0;
}
HRESULT VarBstrCmp(const wchar_t*, const wchar_t*, LCID, ULONG) {
    return VARCMP_EQ;
}
int CompareStringW(LCID, DWORD, const wchar_t*, int, const wchar_t*, int) {
    return CSTR_EQUAL;
}

namespace win {
std::string ToAnsi(std::wstring_view) {
    return {};
}
std::wstring FromAnsi(std::string_view) {
    return {};
}
std::string ToUtf8(std::wstring_view) {
    return {};
}
std::wstring FromUtf8(std::string_view) {
    return {};
}
std::u16string ToUtf16(std::wstring_view) {
    return {};
}
std::wstring FromUtf16(std::u16string_view) {
    return {};
}
std::vector<std::uint8_t> ToUtf16Le(std::wstring_view) {
    return {};
}
std::wstring FromUtf16Le(const std::uint8_t*, std::size_t) {
    return {};
}
std::wstring ToUpper(std::wstring_view t) {
    return std::wstring(t);
}
std::wstring ToLower(std::wstring_view t) {
    return std::wstring(t);
}
std::wstring LocaleInfo(LCID, LCTYPE) {
    return {};
}
std::wstring FormatDate(LCID, const SYSTEMTIME&) {
    return {};
}
std::wstring FormatTime(LCID, const SYSTEMTIME&) {
    return {};
}
}  // namespace win
