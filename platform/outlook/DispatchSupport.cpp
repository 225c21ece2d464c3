// Late-binding helpers, id texts and the item-type tables of the object model.
#include "platform/outlook/ObjectModel.h"
#include "platform/win/Text.h"

namespace outlook::impl {

std::wstring BytesToHex(const Bytes& bytes) {
    static constexpr wchar_t kDigits[] = L"0123456789ABCDEF";
    std::wstring text;
    text.reserve(bytes.size() * 2);
    for (BYTE b : bytes) {
        text.push_back(kDigits[b >> 4]);
        text.push_back(kDigits[b & 0x0F]);
    }
    return text;
}

namespace {
int HexDigit(wchar_t c) {
    if (c >= L'0' && c <= L'9')
        return c - L'0';
    if (c >= L'A' && c <= L'F')
        return c - L'A' + 10;
    if (c >= L'a' && c <= L'f')
        return c - L'a' + 10;
    return -1;
}
}  // namespace

std::optional<Bytes> HexToBytes(std::wstring_view text) {
    if (text.size() % 2 != 0)
        return std::nullopt;
    Bytes bytes;
    bytes.reserve(text.size() / 2);
    for (std::size_t i = 0; i < text.size(); i += 2) {
        int high = HexDigit(text[i]);
        int low = HexDigit(text[i + 1]);
        if (high < 0 || low < 0)
            return std::nullopt;
        bytes.push_back(static_cast<BYTE>(high * 16 + low));
    }
    return bytes;
}

bool EqualsNoCase(std::wstring_view a, std::wstring_view b) {
    return a.size() == b.size() && win::ToUpper(a) == win::ToUpper(b);
}

bool ContainsNoCase(std::wstring_view text, std::wstring_view part) {
    return win::ToUpper(text).find(win::ToUpper(part)) != std::wstring::npos;
}

HRESULT LookupNames(const NameId* table, std::size_t size, OLECHAR** names, UINT count,
                    DISPID* ids) {
    if (!names || !ids)
        return E_POINTER;
    HRESULT hr = S_OK;
    for (UINT i = 0; i < count; ++i) {
        ids[i] = DISPID_UNKNOWN;
        if (i > 0) {
            hr = DISP_E_UNKNOWNNAME;  // named arguments are not supported
            continue;
        }
        bool found = false;
        for (std::size_t k = 0; k < size && names[i]; ++k) {
            if (EqualsNoCase(table[k].name, names[i])) {
                ids[i] = table[k].id;
                found = true;
                break;
            }
        }
        if (!found)
            hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
}

const VARIANT* InvokeArgs::At(UINT index) const {
    if (!m_params || index >= m_params->cArgs || !m_params->rgvarg)
        return nullptr;
    const VARIANT* v = &m_params->rgvarg[m_params->cArgs - 1 - index];
    // Arguments passed by reference are read through their pointer.
    if (v->vt == (VT_BYREF | VT_VARIANT) && v->pvarVal)
        return v->pvarVal;
    return v;
}

const VARIANT* InvokeArgs::Value() const {
    return Count() == 0 ? nullptr : At(Count() - 1);
}

bool IsGet(WORD flags) {
    return (flags & (DISPATCH_PROPERTYGET | DISPATCH_METHOD)) != 0;
}
bool IsPut(WORD flags) {
    return (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0;
}

HRESULT ResultText(VARIANT* result, HRESULT hr, BSTR value) {
    if (FAILED(hr) || !result) {
        SysFreeString(value);
        return hr;
    }
    VariantClear(result);
    result->vt = VT_BSTR;
    result->bstrVal = value ? value : SysAllocString(L"");
    return hr;
}

HRESULT ResultLong(VARIANT* result, HRESULT hr, LONG value) {
    if (SUCCEEDED(hr) && result) {
        VariantClear(result);
        result->vt = VT_I4;
        result->lVal = value;
    }
    return hr;
}

HRESULT ResultBool(VARIANT* result, HRESULT hr, VARIANT_BOOL value) {
    if (SUCCEEDED(hr) && result) {
        VariantClear(result);
        result->vt = VT_BOOL;
        result->boolVal = value;
    }
    return hr;
}

HRESULT ResultDate(VARIANT* result, HRESULT hr, DATE value) {
    if (SUCCEEDED(hr) && result) {
        VariantClear(result);
        result->vt = VT_DATE;
        result->date = value;
    }
    return hr;
}

HRESULT ResultDispatch(VARIANT* result, HRESULT hr, IDispatch* value) {
    if (FAILED(hr) || !result) {
        if (value)
            value->Release();
        return hr;
    }
    VariantClear(result);
    result->vt = VT_DISPATCH;
    result->pdispVal = value;
    return hr;
}

HRESULT ResultUnknown(VARIANT* result, HRESULT hr, IUnknown* value) {
    if (FAILED(hr) || !result) {
        if (value)
            value->Release();
        return hr;
    }
    VariantClear(result);
    result->vt = VT_UNKNOWN;
    result->punkVal = value;
    return hr;
}

HRESULT ResultVariant(VARIANT* result, HRESULT hr, VARIANT* value) {
    if (FAILED(hr) || !result) {
        VariantClear(value);
        return hr;
    }
    VariantClear(result);
    *result = *value;
    value->vt = VT_EMPTY;
    return hr;
}

HRESULT ArgText(const VARIANT* arg, CComBSTR& out) {
    if (!arg)
        return DISP_E_BADPARAMCOUNT;
    CComVariant text;
    if (FAILED(VariantChangeType(&text, arg, 0, VT_BSTR)))
        return DISP_E_TYPEMISMATCH;
    out.Attach(text.bstrVal);
    text.vt = VT_EMPTY;
    return S_OK;
}

HRESULT ArgLong(const VARIANT* arg, LONG* out) {
    if (!arg)
        return DISP_E_BADPARAMCOUNT;
    CComVariant number;
    if (FAILED(VariantChangeType(&number, arg, 0, VT_I4)))
        return DISP_E_TYPEMISMATCH;
    *out = number.lVal;
    return S_OK;
}

ItemKind KindOfMessageClass(std::wstring_view messageClass) {
    std::wstring upper = win::ToUpper(messageClass);
    auto startsWith = [&](std::wstring_view prefix) {
        return upper.compare(0, prefix.size(), prefix) == 0 &&
               (upper.size() == prefix.size() || upper[prefix.size()] == L'.');
    };
    if (startsWith(L"IPM.APPOINTMENT") || startsWith(L"IPM.SCHEDULE.MEETING"))
        return ItemKind::Appointment;
    if (startsWith(L"IPM.ACTIVITY"))
        return ItemKind::Journal;
    if (startsWith(L"IPM.CONTACT") || startsWith(L"IPM.TASK") || startsWith(L"IPM.STICKYNOTE") ||
        startsWith(L"IPM.DISTLIST"))
        return ItemKind::Other;
    return ItemKind::Mail;
}

std::wstring MessageClassOfItemType(OlItemType type) {
    switch (type) {
        case olAppointmentItem:
            return L"IPM.Appointment";
        case olContactItem:
            return L"IPM.Contact";
        case olTaskItem:
            return L"IPM.Task";
        case olJournalItem:
            return L"IPM.Activity";
        case olNoteItem:
            return L"IPM.StickyNote";
        case olPostItem:
            return L"IPM.Post";
        case olDistributionListItem:
            return L"IPM.DistList";
        case olMailItem:
        default:
            return L"IPM.Note";
    }
}

OlItemType ItemTypeOfContainerClass(std::wstring_view containerClass) {
    std::wstring upper = win::ToUpper(containerClass);
    auto startsWith = [&](std::wstring_view prefix) {
        return upper.compare(0, prefix.size(), prefix) == 0;
    };
    if (startsWith(L"IPF.APPOINTMENT"))
        return olAppointmentItem;
    if (startsWith(L"IPF.CONTACT"))
        return olContactItem;
    if (startsWith(L"IPF.TASK"))
        return olTaskItem;
    if (startsWith(L"IPF.JOURNAL"))
        return olJournalItem;
    if (startsWith(L"IPF.STICKYNOTE"))
        return olNoteItem;
    return olMailItem;
}

std::optional<store::DefaultFolder> DefaultFolderOfItemType(OlItemType type) {
    switch (type) {
        case olMailItem:
        case olPostItem:
            return store::DefaultFolder::Drafts;
        case olAppointmentItem:
            return store::DefaultFolder::Calendar;
        case olContactItem:
        case olDistributionListItem:
            return store::DefaultFolder::Contacts;
        case olTaskItem:
            return store::DefaultFolder::Tasks;
        case olJournalItem:
            return store::DefaultFolder::Journal;
        case olNoteItem:
            return store::DefaultFolder::Notes;
    }
    return std::nullopt;
}

}  // namespace outlook::impl
