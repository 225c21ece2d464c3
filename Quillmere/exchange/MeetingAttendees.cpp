#include "Quillmere/exchange/MeetingAttendees.h"

#include <cwchar>

#include "Quillmere/core/DebugLog.h"
#include "platform/com/Bstr.h"
#include "platform/win/Text.h"

namespace {

constexpr ULONG kPrDisplayToW = 0x0E04001F;

constexpr const wchar_t* kMeetingStatusName = L"urn:schemas:calendar:meetingstatus";
// The same property in the published string-namespace form (PS_PUBLIC_STRINGS),
// for a library that does not know the short alias.
constexpr const wchar_t* kMeetingStatusLongName =
    L"http://schemas.microsoft.com/mapi/string/{00020329-0000-0000-C000-000000000046}/"
    L"urn:schemas:calendar:meetingstatus";

std::wstring Text(BSTR text) {
    return text ? std::wstring(text, SysStringLen(text)) : std::wstring();
}

std::wstring Trim(const std::wstring& text) {
    const wchar_t* blanks = L" \t\r\n";
    std::size_t first = text.find_first_not_of(blanks);
    if (first == std::wstring::npos)
        return L"";
    std::size_t last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

bool IsEmptyValue(const VARIANT& value) {
    return value.vt == VT_EMPTY || value.vt == VT_NULL || value.vt == VT_ERROR ||
           (value.vt == VT_BSTR && (!value.bstrVal || SysStringLen(value.bstrVal) == 0));
}

// Whether the meeting status asks for the meeting steps: an integer 1, 3
// or 5, or a value that is neither empty nor an integer.
bool IsMeetingStatus(const VARIANT& status) {
    LONG number = 0;
    if (MeetingValueAsInteger(status, number))
        return number == 1 || number == 3 || number == 5;
    return !IsEmptyValue(status);
}

CComVariant ReadMeetingStatus(QMRMessage* item) {
    CComVariant status;
    HRESULT hr = item->GetFields(CComVariant(kMeetingStatusName), &status);
    if (FAILED(hr) && hr != MAPI_E_NOT_FOUND) {
        status.Clear();
        item->GetFields(CComVariant(kMeetingStatusLongName), &status);
    }
    return status;
}

// The e-mail address of an attendee's display name through the session's
// address book (fetched once per item, on first need). Empty when it can't
// be resolved.
std::wstring ResolveAttendee(QMRRDOSession* session, CComPtr<QMRAddressBook>& addressBook,
                             const std::wstring& name) {
    if (!addressBook) {
        HRESULT hr = session ? session->GetAddressBook(&addressBook) : E_POINTER;
        if (FAILED(hr) || !addressBook) {
            LogHResult(FAILED(hr) ? hr : E_FAIL, "no addressbook to resolve attendee");
            return L"";
        }
    }
    CComPtr<QMRAddressEntry> entry;
    HRESULT hr = addressBook->ResolveName(CComBSTR(name.c_str()), &entry);
    if (FAILED(hr) || !entry) {
        WriteDebugLog((L"Try to resolve Attendee => ResolveName " + name).c_str());
        return L"";
    }
    CComBSTR address;
    hr = entry->GetAddressText(&address);
    if (FAILED(hr) || !address || SysStringLen(address) == 0) {
        WriteDebugLog("Try to resolve Attendee => GetAddressFromAttendee");
        return L"";
    }
    return win::ToLower(Text(address));
}

}  // namespace

bool MeetingValueAsInteger(const VARIANT& value, LONG& out) {
    switch (value.vt) {
        case VT_I4:
        case VT_INT:
            out = value.lVal;
            return true;
        case VT_UI4:
        case VT_UINT:
            out = static_cast<LONG>(value.ulVal);
            return true;
        case VT_I2:
            out = value.iVal;
            return true;
        case VT_UI2:
            out = value.uiVal;
            return true;
        case VT_UI1:
            out = value.bVal;
            return true;
        case VT_I1:
            out = value.cVal;
            return true;
        case VT_BSTR: {
            std::wstring text = Trim(Text(value.bstrVal));
            if (text.empty())
                return false;
            wchar_t* end = nullptr;
            long number = std::wcstol(text.c_str(), &end, 10);
            if (!end || *end != L'\0')
                return false;
            out = static_cast<LONG>(number);
            return true;
        }
        default:
            return false;
    }
}

std::wstring MeetingDisplayTo(QMRMessage* item) {
    if (!item)
        return L"";
    CComVariant displayTo;
    item->GetFields(CComVariant(static_cast<LONG>(kPrDisplayToW)), &displayTo);
    if (displayTo.vt != VT_BSTR || !displayTo.bstrVal || SysStringLen(displayTo.bstrVal) == 0 ||
        !IsMeetingStatus(ReadMeetingStatus(item)))
        return L"";
    return Text(displayTo.bstrVal);
}

std::vector<std::wstring> GetMeetingAttendees(QMRRDOSession* session, QMRMessage* item) {
    std::vector<std::wstring> attendees;
    const std::wstring displayTo = MeetingDisplayTo(item);
    CComPtr<QMRAddressBook> addressBook;
    std::size_t start = 0;
    while (!displayTo.empty() && start <= displayTo.size()) {
        std::size_t end = displayTo.find(L';', start);
        if (end == std::wstring::npos)
            end = displayTo.size();
        std::wstring part = win::ToLower(Trim(displayTo.substr(start, end - start)));
        start = end + 1;
        if (part.empty())
            continue;
        if (part.find(L'@') != std::wstring::npos) {
            attendees.push_back(part);
            continue;
        }
        std::wstring address = ResolveAttendee(session, addressBook, part);
        if (address.empty())
            continue;
        WriteDebugLogValue("Resolved Attendee to:", address.c_str());
        attendees.push_back(address);
    }
    return attendees;
}
