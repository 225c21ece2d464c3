#include "Quillmere/tracking/ItemFilters.h"

#include <string>
#include <vector>

#include "Quillmere/core/DebugLog.h"
#include "Quillmere/tracking/Categories.h"
#include "platform/com/Bstr.h"
#include "platform/com/ComError.h"
#include "platform/com/Variant.h"
#include "platform/win/Text.h"

namespace {

constexpr ULONG kPrSensitivity = 0x00360003;  // PT_LONG
constexpr ULONG kPrSubject = 0x0037001F;      // PT_UNICODE
// Sensitivity 2 (private) and 3 (confidential) both carry this bit.
constexpr LONG kPrivateBit = 2;

bool IsPrivate(QMRMAPIUtils* utils, IUnknown* item) {
    CComVariant value;
    if (FAILED(utils->HrGetOneProp(item, kPrSensitivity, &value)) || value.vt != VT_I4)
        return false;
    return (value.lVal & kPrivateBit) != 0;
}

// 1 / 0: the meeting flag of the helper library's view View of the item;
// -1 when the item offers no such view. Other query failures raise
// _com_error.
template <class View>
int QueryMeetingFlag(IUnknown* item) {
    CComPtr<View> view;
    HRESULT hr = item->QueryInterface(IidOf<View>(), reinterpret_cast<void**>(&view));
    if (hr == E_NOINTERFACE)
        return -1;
    ThrowIfFailed(hr);
    LONG status = kQmrNonMeeting;
    if (!view || FAILED(view->GetMeetingStatus(&status)))
        return 0;
    return status != kQmrNonMeeting ? 1 : 0;
}

std::wstring SubjectOf(QMRMAPIUtils* utils, IUnknown* item) {
    CComVariant value;
    if (SUCCEEDED(utils->HrGetOneProp(item, kPrSubject, &value)) && value.vt == VT_BSTR &&
        value.bstrVal && SysStringLen(value.bstrVal) > 0)
        return std::wstring(value.bstrVal, SysStringLen(value.bstrVal));
    return L"<no subject>";
}

bool Contains(const std::vector<std::wstring>& list, const std::wstring& text) {
    for (const auto& entry : list) {
        if (entry == text)
            return true;
    }
    return false;
}

// A category of the folder's filter that the add-in recorded on the item and
// that the item no longer carries: the item has left the filter and its
// partners must delete it. Every such category is logged.
bool LostFilterCategory(QMRMAPIUtils* utils, IUnknown* item, const wchar_t* folderKey) {
    std::vector<std::wstring> filter;
    LoadCategoriesFilter(nullptr, filter, folderKey);
    if (filter.empty())
        return false;
    std::vector<std::wstring> current, recorded;
    if (!categories::ReadKeywords(utils, item, categories::kPublicStrings, current) ||
        !categories::ReadKeywords(utils, item, categories::kOwnPropertySet, recorded))
        return false;
    bool lost = false;
    std::wstring subject;
    for (const auto& category : recorded) {
        if (Contains(current, category) || !Contains(filter, category))
            continue;
        if (!lost)
            subject = SubjectOf(utils, item);
        lost = true;
        WriteDebugLog((subject + L" " + category + L" was removed").c_str());
    }
    return lost;
}

std::wstring Upper(const std::wstring& text) {
    std::wstring upper(text);
    if (!upper.empty())
        CharUpperBuffW(upper.data(), static_cast<DWORD>(upper.size()));
    return upper;
}

}  // namespace

bool IsMeetingItem(CSyncEngine* /*engine*/, IUnknown* item) {
    if (!item)
        return false;
    int flag = QueryMeetingFlag<QMRAppointment>(item);
    if (flag < 0)
        flag = QueryMeetingFlag<QMRMeetingItem>(item);
    return flag > 0;
}

bool IsItemAllowed(CSyncEngine* engine, QMRMAPIUtils* utils, IUnknown* item,
                   const wchar_t* folderKey, bool excludePrivate, bool onlyPrivate,
                   bool excludeMeetings) {
    bool allowed = true;
    if (!utils || !item)
        return true;
    if (excludePrivate) {
        if (IsPrivate(utils, item)) {
            allowed = false;
            WriteDebugLog("iIA:NO(item is private)");
        }
    } else if (onlyPrivate && !IsPrivate(utils, item)) {
        allowed = false;
        WriteDebugLog("iIA:NO:(only priv Items)");
    }
    if (excludeMeetings && IsMeetingItem(engine, item)) {
        allowed = false;
        WriteDebugLog("iIA:NO:(we don't sync MeetingRequests)");
    } else if (allowed && LostFilterCategory(utils, item, folderKey)) {
        allowed = false;
    }
    if (!allowed)
        WriteDebugLog("iIA:NOT ALLOWED");
    return allowed;
}

bool IsItemAllowedByCategory(CSyncEngine* engine, QMRMAPIUtils* utils, IUnknown* item,
                             const wchar_t* folderKey, bool holidayFilter) {
    std::vector<std::wstring> itemCategories, filter;
    GetKeywords(utils, item, itemCategories);
    LoadCategoriesFilter(engine, filter, folderKey);
    bool allowed = filter.empty();
    for (const auto& category : itemCategories) {
        const std::wstring upper = Upper(category);
        if ((holidayFilter && (upper == L"FEIERTAG" || upper == L"HOLIDAY")) ||
            upper == L"NO_SYNC" || upper == L"QUILLMERE-JOURNAL") {
            allowed = false;
            break;
        }
        if (Contains(filter, category))
            allowed = true;
    }
    if (!allowed)
        WriteDebugLog("iIABC:NO");
    return allowed;
}
