#include "Quillmere/tracking/SyncId.h"

#include <vector>

#include "Quillmere/core/AddinGlobals.h"
#include "Quillmere/core/DebugLog.h"
#include "Quillmere/core/SyncEngine.h"
#include "Quillmere/resources/LoadString.h"
#include "platform/com/Bstr.h"
#include "platform/com/ComError.h"
#include "platform/com/Variant.h"
#include "platform/win/Guid.h"

namespace {

constexpr LONG kNotificationKindInfo = 3;
constexpr const wchar_t* kSearchKeyRefusedTitle = L"Fernhollow";
// StringFromGUID2's output: 38 characters and the terminator.
constexpr int kGuidTextSize = 39;

CComBSTR AllocOrThrow(const wchar_t* text) {
    CComBSTR b(text);
    if (!b)
        _com_issue_error(E_OUTOFMEMORY);
    return b;
}

bool IsLong(const VARIANT& v) {
    return v.vt == VT_I4;
}

bool IsUsableSearchKey(const VARIANT& v) {
    std::vector<BYTE> bytes;
    return BinaryFromVariant(v, bytes) && !bytes.empty();
}

// The texts of a PT_MV_STRING8 value (VT_ARRAY | VT_VARIANT of VT_BSTR, or of
// VT_BSTR directly); false for any other form.
bool StringsFromVariant(const VARIANT& v, std::vector<std::wstring>& out) {
    out.clear();
    if (!(v.vt & VT_ARRAY) || !v.parray)
        return false;
    const VARTYPE element = static_cast<VARTYPE>(v.vt & ~VT_ARRAY);
    if (element != VT_VARIANT && element != VT_BSTR)
        return false;
    LONG lower = 0, upper = -1;
    if (FAILED(SafeArrayGetLBound(v.parray, 1, &lower)) ||
        FAILED(SafeArrayGetUBound(v.parray, 1, &upper)))
        return false;
    for (LONG i = lower; i <= upper; ++i) {
        if (element == VT_VARIANT) {
            CComVariant item;
            if (FAILED(SafeArrayGetElement(v.parray, &i, &item)))
                return false;
            if (item.vt != VT_BSTR)
                return false;
            out.emplace_back(item.bstrVal ? item.bstrVal : L"");
        } else {
            BSTR item = nullptr;
            if (FAILED(SafeArrayGetElement(v.parray, &i, &item)))
                return false;
            out.emplace_back(item ? item : L"");
            SysFreeString(item);
        }
    }
    return true;
}

HRESULT StringsToVariant(const std::vector<std::wstring>& texts, CComVariant& out) {
    out.Clear();
    SAFEARRAY* array = SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(texts.size()));
    if (!array)
        return E_OUTOFMEMORY;
    for (LONG i = 0; i < static_cast<LONG>(texts.size()); ++i) {
        CComVariant item{std::wstring_view(texts[static_cast<std::size_t>(i)])};
        HRESULT hr = SafeArrayPutElement(array, &i, &item);
        if (FAILED(hr)) {
            SafeArrayDestroy(array);
            return hr;
        }
    }
    out.vt = VT_ARRAY | VT_VARIANT;
    out.parray = array;
    return S_OK;
}

// Adds category to the item's own categories (PS_PUBLIC_STRINGS "Keywords")
// when it is not among them yet, and saves the item. The name is registered
// when the store has never mapped it, since a write needs a tag.
HRESULT AddCategoryToItem(QMRMAPIUtils* utils, IUnknown* item, const std::wstring& category) {
    ULONG tag = 0;
    HRESULT hr = GetNamedPropertyTag(utils, item, kPublicStringsPropertySet, kKeywordsName,
                                     kPropTypeMvString8, true, tag);
    if (FAILED(hr))
        return hr;
    CComVariant value;
    std::vector<std::wstring> categories;
    if (SUCCEEDED(utils->HrGetOneProp(item, tag, &value)))
        StringsFromVariant(value, categories);
    for (const auto& c : categories) {
        if (c == category)
            return S_OK;
    }
    categories.push_back(category);
    CComVariant updated;
    hr = StringsToVariant(categories, updated);
    if (FAILED(hr))
        return hr;
    return utils->HrSetOneProp(item, tag, updated, VARIANT_TRUE);
}

// The new search key for item: written and saved through the utilities
// object. Failures are reported; the caller reads the key in any case.
void WriteNewSearchKey(CSyncEngine* engine, QMRMAPIUtils* utils, IUnknown* item) {
    std::wstring text;
    HRESULT hr = MakeNewSyncIdText(text);
    if (FAILED(hr)) {
        LogHResult(hr, "GetSyncID_AS_PR_SEARCH_KEY new ID failed");
        return;
    }
    CComBSTR bstr = AllocOrThrow(text.c_str());
    CComVariant binary;
    hr = utils->TextToBinary(bstr, &binary);
    if (SUCCEEDED(hr))
        hr = utils->HrSetOneProp(item, kTagSearchKey, binary, VARIANT_TRUE);
    if (hr == E_ACCESSDENIED) {
        if (engine) {
            std::wstring notice;
            LoadString(AddinResourceModule(), kSearchKeyRefusedTextId, g_UILanguage.load(), notice);
            engine->SetPendingNotification(kSearchKeyRefusedTitle, notice, kNotificationKindInfo);
        }
        LogHResult(hr, "SetNewSyncID E_ACCESSDENIED");
    } else if (FAILED(hr)) {
        LogHResult(hr, "SetNewSyncID");
    }
}

// The text form of a search key just read (readHr, value): E_FAIL with a
// report when there is no usable key.
HRESULT SearchKeyToText(QMRMAPIUtils* utils, HRESULT readHr, const VARIANT& value,
                        std::wstring& syncIdText) {
    syncIdText.clear();
    if (FAILED(readHr) || !IsUsableSearchKey(value)) {
        LogHResult(FAILED(readHr) ? readHr : E_FAIL, "GetSyncID_AS_PR_SEARCH_KEY failed");
        return E_FAIL;
    }
    CComBSTR text;
    HRESULT hr = utils->BinaryToText(value, &text);
    if (SUCCEEDED(hr) && text)
        syncIdText.assign(text, text.Length());
    return hr;
}

// The course both sync-id readers share: syncIdText emptied, E_POINTER
// without utils, a new search key written first when makeNew, then the key
// that read(CComVariant&) reads (its HRESULT) turned into its text.
template <class Read>
HRESULT ReadSyncId(CSyncEngine* engine, QMRMAPIUtils* utils, IUnknown* item,
                   std::wstring& syncIdText, bool makeNew, Read read) {
    syncIdText.clear();
    if (!utils)
        return E_POINTER;
    if (makeNew)
        WriteNewSearchKey(engine, utils, item);
    CComVariant value;
    HRESULT hr = read(value);
    return SearchKeyToText(utils, hr, value, syncIdText);
}

// The tag of the add-in's own named property name (of type), mapped when
// the store has none yet. A null utils or item (E_POINTER) and a failure are
// reported with context and returned; tag is 0 then.
HRESULT OwnPropertyTag(QMRMAPIUtils* utils, IUnknown* item, const wchar_t* name, ULONG type,
                       const char* context, ULONG& tag) {
    tag = 0;
    if (!utils || !item) {
        LogHResult(E_POINTER, context);
        return E_POINTER;
    }
    HRESULT hr = GetNamedPropertyTag(utils, item, kQuillmerePropertySet, name, type, true, tag);
    if (FAILED(hr))
        LogHResult(hr, context);
    return hr;
}

}  // namespace

HRESULT MakeNewSyncIdText(std::wstring& text) {
    text.clear();
    GUID guid{};
    HRESULT hr = CoCreateGuid(&guid);
    if (FAILED(hr))
        return hr;
    wchar_t buffer[kGuidTextSize] = {};
    if (StringFromGUID2(guid, buffer, kGuidTextSize) == 0)
        return E_FAIL;
    for (const wchar_t* p = buffer; *p; ++p) {
        if (*p != L'{' && *p != L'}' && *p != L'-')
            text.push_back(*p);
    }
    return S_OK;
}

HRESULT GetNamedPropertyTag(QMRMAPIUtils* utils, IUnknown* item, const wchar_t* set,
                            const wchar_t* name, ULONG type, bool create, ULONG& tag) {
    tag = 0;
    CComBSTR setText = AllocOrThrow(set);
    CComVariant nameValue(name);
    if (nameValue.vt != VT_BSTR || !nameValue.bstrVal)
        _com_issue_error(E_OUTOFMEMORY);
    ULONG id = 0;
    HRESULT hr = utils->GetIDsFromNames(item, setText, nameValue,
                                        create ? VARIANT_TRUE : VARIANT_FALSE, &id);
    if (FAILED(hr))
        return hr;
    // An unmapped name (asked without create) answers a warning and tag 0.
    if ((id & 0xFFFF0000u) == 0)
        return MAPI_E_NOT_FOUND;
    tag = (id & 0xFFFF0000u) | type;
    return S_OK;
}

HRESULT GetSyncID_AS_PR_SEARCH_KEY(CSyncEngine* engine, QMRMAPIUtils* utils, QMRSafeMailItem* item,
                                   std::wstring& syncIdText, bool makeNew) {
    return ReadSyncId(engine, utils, item, syncIdText, makeNew, [&](CComVariant& value) {
        return utils->HrGetOneProp(item, kTagSearchKey, &value);
    });
}

HRESULT GetSyncID_AS_PR_SEARCH_KEY2(CSyncEngine* engine, QMRMAPIUtils* utils, QMRMessage* item,
                                    std::wstring& syncIdText, bool makeNew) {
    return ReadSyncId(engine, utils, item, syncIdText, makeNew, [&](CComVariant& value) {
        return item ? item->GetFields(CComVariant(kTagSearchKey), &value) : E_FAIL;
    });
}

HRESULT GetSyncVersion(CSyncEngine* /*engine*/, QMRMAPIUtils* utils, IUnknown* item,
                       LONG& version) {
    version = -1;
    if (!item || !utils)
        return E_FAIL;
    ULONG tag = 0;
    HRESULT hr = GetNamedPropertyTag(utils, item, kQuillmerePropertySet, kSyncVersionName,
                                     kPropTypeLong, true, tag);
    if (FAILED(hr))
        return hr;
    CComVariant value;
    hr = utils->HrGetOneProp(item, tag, &value);
    if (SUCCEEDED(hr) && IsLong(value))
        version = value.lVal;
    return hr;
}

HRESULT IncSyncVersion(CSyncEngine* /*engine*/, QMRMAPIUtils* utils, IUnknown* item,
                       const std::wstring& categoryText) {
    ULONG versionTag = 0;
    HRESULT hr =
        OwnPropertyTag(utils, item, kSyncVersionName, kPropTypeLong, "IncSyncVersion", versionTag);
    if (FAILED(hr))
        return hr;
    CComVariant stored;
    LONG newVersion = 1;
    if (SUCCEEDED(utils->HrGetOneProp(item, versionTag, &stored)) && IsLong(stored)) {
        // Wraps like the 32-bit counter it is rather than overflowing.
        newVersion = static_cast<LONG>(static_cast<ULONG>(stored.lVal) + 1u);
    } else if (!categoryText.empty()) {
        // Stamping the category is a courtesy to the user: a failure is
        // reported as the category write's and the version is raised anyway.
        LogIfFailed(AddCategoryToItem(utils, item, categoryText), "Cat2Item::Save");
    }
    hr = utils->HrSetOneProp(item, versionTag, CComVariant(newVersion), VARIANT_TRUE);
    if (FAILED(hr)) {
        LogHResult(hr, "IncSyncVersion");
        return hr;
    }
    ULONG publicTag = 0;
    hr = GetNamedPropertyTag(utils, item, kPublicStringsPropertySet, kKeywordsName,
                             kPropTypeMvString8, false, publicTag);
    CComVariant categories;
    if (SUCCEEDED(hr))
        hr = utils->HrGetOneProp(item, publicTag, &categories);
    if (FAILED(hr)) {
        LogHResult(hr, "IncSyncVersion");
        return hr;
    }
    ULONG ownTag = 0;
    hr = GetNamedPropertyTag(utils, item, kQuillmerePropertySet, kKeywordsName, kPropTypeMvString8,
                             true, ownTag);
    if (SUCCEEDED(hr))
        hr = utils->HrSetOneProp(item, ownTag, categories, VARIANT_TRUE);
    if (FAILED(hr))
        LogHResult(hr, "IncSyncVersion");
    return hr;
}

HRESULT SetLastShareName(CSyncEngine* /*engine*/, QMRMAPIUtils* utils, IUnknown* item,
                         const std::wstring& shareName, bool& changed) {
    ULONG tag = 0;
    HRESULT hr =
        OwnPropertyTag(utils, item, kLastShareNameName, kPropTypeString8, "SetLastShareName", tag);
    if (FAILED(hr))
        return hr;
    CComVariant stored;
    if (SUCCEEDED(utils->HrGetOneProp(item, tag, &stored)) && stored.vt == VT_BSTR &&
        std::wstring_view(stored.bstrVal ? stored.bstrVal : L"", SysStringLen(stored.bstrVal)) ==
            shareName)
        return S_OK;
    changed = true;
    CComVariant value{std::wstring_view(shareName)};
    if (value.vt != VT_BSTR)
        _com_issue_error(E_OUTOFMEMORY);
    hr = utils->HrSetOneProp(item, tag, value, VARIANT_TRUE);
    if (FAILED(hr))
        LogHResult(hr, "SetLastShareName");
    return hr;
}
