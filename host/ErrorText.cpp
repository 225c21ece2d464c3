#include "host/ErrorText.h"

#include <cctype>
#include <cstdint>
#include <cstdio>

#include "platform/win/FormatMessage.h"
#include "platform/win/Text.h"

namespace host {
namespace {

struct Known {
    HRESULT hr;
    const char* name;
    const char* meaning;
};

// The codes the object model, the helper library, the store and COM give
// the commands of a host (the generic COM names stand for the MAPI codes of
// the same value: E_FAIL is MAPI_E_CALL_FAILED, E_INVALIDARG
// MAPI_E_INVALID_PARAMETER, E_ACCESSDENIED MAPI_E_NO_ACCESS).
constexpr Known kKnown[] = {
    {E_NOTIMPL, "E_NOTIMPL", "not implemented"},
    {E_NOINTERFACE, "E_NOINTERFACE", "the object does not offer that interface"},
    {E_POINTER, "E_POINTER", "a pointer was missing"},
    {E_FAIL, "E_FAIL", "the call failed"},
    {E_UNEXPECTED, "E_UNEXPECTED", "unexpected failure"},
    {E_OUTOFMEMORY, "E_OUTOFMEMORY", "out of memory"},
    {E_INVALIDARG, "E_INVALIDARG", "a value was refused"},
    {E_ACCESSDENIED, "E_ACCESSDENIED", "access denied"},
    {REGDB_E_CLASSNOTREG, "REGDB_E_CLASSNOTREG", "the class is not registered"},
    {CO_E_CLASSSTRING, "CO_E_CLASSSTRING", "the ProgID is not registered"},
    {CO_E_SERVER_EXEC_FAILURE, "CO_E_SERVER_EXEC_FAILURE", "the server does not run"},
    {RPC_E_DISCONNECTED, "RPC_E_DISCONNECTED", "the other process is gone"},
    {DISP_E_MEMBERNOTFOUND, "DISP_E_MEMBERNOTFOUND", "the object has no such member"},
    {DISP_E_TYPEMISMATCH, "DISP_E_TYPEMISMATCH", "a value of the wrong type"},
    {DISP_E_BADINDEX, "DISP_E_BADINDEX", "no such index"},
    {DISP_E_BADPARAMCOUNT, "DISP_E_BADPARAMCOUNT", "wrong number of arguments"},
    {MAPI_E_NOT_FOUND, "MAPI_E_NOT_FOUND", "not found"},
    {MAPI_E_NO_SUPPORT, "MAPI_E_NO_SUPPORT", "not supported"},
    {MAPI_E_INVALID_ENTRYID, "MAPI_E_INVALID_ENTRYID", "not an entry id"},
    {MAPI_E_OBJECT_DELETED, "MAPI_E_OBJECT_DELETED", "the object was deleted"},
    {MAPI_E_COLLISION, "MAPI_E_COLLISION", "one of that name exists already"},
    {MAPI_E_NO_RECIPIENTS, "MAPI_E_NO_RECIPIENTS", "the mail has no recipients"},
    {MAPI_E_AMBIGUOUS_RECIP, "MAPI_E_AMBIGUOUS_RECIP", "a recipient is ambiguous"},
    {MAPI_E_CORRUPT_STORE, "MAPI_E_CORRUPT_STORE", "the store is damaged"},
    {MAPI_E_NOT_ENOUGH_DISK, "MAPI_E_NOT_ENOUGH_DISK", "the disk is full"},
    {MAPI_E_DISK_ERROR, "MAPI_E_DISK_ERROR", "a disk error"},
    {MAPI_E_NETWORK_ERROR, "MAPI_E_NETWORK_ERROR", "a network error"},
    {MAPI_E_TIMEOUT, "MAPI_E_TIMEOUT", "timed out"},
    {MAPI_E_USER_CANCEL, "MAPI_E_USER_CANCEL", "cancelled"},
};

std::string Hex(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
    return text;
}

}  // namespace

std::string ErrorText(HRESULT hr) {
    for (const Known& k : kKnown) {
        if (k.hr == hr)
            return std::string(k.meaning) + " (" + k.name + ", " + Hex(hr) + ")";
    }
    const auto code = static_cast<std::uint32_t>(hr);
    if ((code & 0xFFFF0000u) == 0x80070000u) {
        wchar_t text[512] = {};
        DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, code & 0xFFFF, 0, text, 512, nullptr);
        std::string words = win::ToUtf8(std::wstring(text, n));
        while (!words.empty() && (words.back() == '\n' || words.back() == '\r' ||
                                  words.back() == '.' || words.back() == ' '))
            words.pop_back();
        if (!words.empty()) {
            words[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(words[0])));
            return words + " (" + Hex(hr) + ")";
        }
    }
    return "error " + Hex(hr);
}

}  // namespace host
