#include "Quillmere/tracking/Categories.h"

#include "Quillmere/core/DebugLog.h"
#include "platform/com/Bstr.h"
#include "platform/com/SafeArray.h"
#include "platform/com/Variant.h"
#include "platform/win/Registry.h"
#include "platform/win/Text.h"

namespace {

constexpr const wchar_t* kFoldersKey = L"Software\\Brindlecast\\Quillmere\\Folders\\";
constexpr const wchar_t* kUserCategoriesKey = L"Software\\Brindlecast\\Quillmere\\UserCategories\\";
// Registry key names are at most 255 characters; the buffer is the one the
// pages use to write them.
constexpr DWORD kKeyNameChars = 260;

// Appends the names of the subkeys of HKCU\path to out, in enumeration order.
void AppendSubkeyNames(const std::wstring& path, std::vector<std::wstring>& out) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return;
    for (DWORD index = 0;; ++index) {
        wchar_t name[kKeyNameChars] = {};
        DWORD chars = kKeyNameChars;
        if (RegEnumKeyExW(key, index, name, &chars, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
        out.emplace_back(name, chars);
    }
    RegCloseKey(key);
}

}  // namespace

namespace categories {

bool ReadKeywords(QMRMAPIUtils* utils, IUnknown* item, const wchar_t* propertySet,
                  std::vector<std::wstring>& out) {
    if (!utils || !item || !propertySet)
        return false;
    ULONG tag = 0;
    HRESULT hr = utils->GetIDsFromNames(item, CComBSTR(propertySet), CComVariant(kKeywordsName),
                                        VARIANT_FALSE, &tag);
    // An unmapped name comes back as a success with tag 0: no item of this
    // store ever had the property.
    if (FAILED(hr) || tag == 0)
        return false;
    CComVariant value;
    if (FAILED(utils->HrGetOneProp(item, (tag & 0xFFFF0000u) | kTypeMvString8, &value)))
        return false;
    if (value.vt != (VT_ARRAY | VT_VARIANT) || !value.parray)
        return false;
    LONG lower = 0, upper = -1;
    if (FAILED(SafeArrayGetLBound(value.parray, 1, &lower)) ||
        FAILED(SafeArrayGetUBound(value.parray, 1, &upper)))
        return false;
    for (LONG i = lower; i <= upper; ++i) {
        CComVariant element;
        if (FAILED(SafeArrayGetElement(value.parray, &i, &element)) || element.vt != VT_BSTR)
            break;
        out.emplace_back(element.bstrVal ? element.bstrVal : L"",
                         element.bstrVal ? SysStringLen(element.bstrVal) : 0);
    }
    return true;
}

}  // namespace categories

void GetKeywords(QMRMAPIUtils* utils, IUnknown* item, std::vector<std::wstring>& out) {
    categories::ReadKeywords(utils, item, categories::kPublicStrings, out);
}

void LoadCategoriesFilter(CSyncEngine* /*engine*/, std::vector<std::wstring>& out,
                          const wchar_t* folderKey) {
    if (!folderKey || !*folderKey)
        return;
    AppendSubkeyNames(std::wstring(kFoldersKey) + folderKey + L"\\CategoriesFilter", out);
}

void LoadUserCategories(CSyncEngine* /*engine*/, std::vector<std::wstring>& out,
                        const wchar_t* address) {
    if (!address || !*address)
        return;
    AppendSubkeyNames(std::wstring(kUserCategoriesKey) + address, out);
}
