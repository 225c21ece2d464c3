#include "host/PageDriver.h"

#include <cwctype>

#include "platform/win/Controls.h"
#include "platform/win/Errors.h"
#include "platform/win/MessageLoop.h"
#include "platform/win/UserInput.h"

namespace host {
namespace {

constexpr const wchar_t* kOptionsPage = L"Quillmere.ExtProppage";
constexpr const wchar_t* kFolderPage = L"Quillmere.QuillmerePropPage";

enum class Kind { kCheck, kText, kList, kChoice };
struct Field {
    const wchar_t* name;
    Kind kind;
    int control;   // the box, field or combo box
    int list = 0;  // kList: the list, ">>" and "<<"
    int add = 0;
    int remove = 0;
};

// The folder Properties page (dialog 1120).
constexpr Field kFolderFields[] = {
    {L"used", Kind::kCheck, 1221},
    {L"ISALTERNATEINBOX", Kind::kCheck, 1223},
    {L"USEVERSIONCHECK", Kind::kCheck, 1224},
    {L"BASICSYNC", Kind::kCheck, 1227},
    {L"DONT_SYNC_PRIV_ITEMS", Kind::kCheck, 276},
    {L"SYNC_ONLY_PRIV_ITEMS", Kind::kCheck, 279},
    {L"DONT_SYNC_BSP_ITEMS", Kind::kCheck, 277},
    {L"DONT_SYNC_HOLIDAY_ITEMS", Kind::kCheck, 278},
    {L"ShareName", Kind::kText, 1219},
    {L"Password", Kind::kText, 1222},
    {L"Categorie", Kind::kText, 1225},
    {L"Users", Kind::kList, 1215, 1217, 1216, 1218},
    {L"CategoriesFilter", Kind::kList, 273, 272, 274, 275},
};
// The Options page (dialog 131).
constexpr Field kOptionsFields[] = {
    {L"debug", Kind::kCheck, 308},
    {L"journal", Kind::kCheck, 309},
    {L"desktopnotification", Kind::kCheck, 310},
    {L"removereminder", Kind::kCheck, 311},
    {L"account", Kind::kChoice, 306},
};

bool SameNoCase(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::towlower(static_cast<wint_t>(a[i])) != std::towlower(static_cast<wint_t>(b[i])))
            return false;
    return true;
}

const Field* Find(const std::wstring& progId, const std::wstring& name) {
    auto search = [&](const auto& fields) -> const Field* {
        for (const Field& f : fields)
            if (SameNoCase(f.name, name))
                return &f;
        return nullptr;
    };
    if (progId == kFolderPage)
        return search(kFolderFields);
    if (progId == kOptionsPage)
        return search(kOptionsFields);
    return nullptr;
}

bool Wanted(const std::wstring& value) {
    return value == L"1" || value == L"true" || value == L"on" || value == L"-1";
}

// Selects the whole text of a field or combo box, then types value over it
// (a Backspace clears it when value is empty).
bool TypeOver(HWND control, const std::wstring& value) {
    if (!win::FocusControl(control))
        return false;
    WCHAR cls[16] = {};
    GetClassNameW(control, cls, 16);
    if (std::wstring(cls) == WC_COMBOBOXW)
        SendMessageW(control, CB_SETEDITSEL, 0, MAKELPARAM(0, 0xFFFF));
    else
        SendMessageW(control, EM_SETSEL, 0, -1);
    return win::TypeText(control, value.empty() ? std::wstring(L"\b") : value);
}

}  // namespace

bool DrivesPage(const std::wstring& progId) {
    return progId == kFolderPage || progId == kOptionsPage;
}

bool PageHasField(const std::wstring& progId, const std::wstring& name) {
    return Find(progId, name) != nullptr;
}

HRESULT SetPageField(HWND page, const std::wstring& progId, const std::wstring& name,
                     const std::wstring& value) {
    const Field* field = Find(progId, name);
    if (!field)
        return DISP_E_UNKNOWNNAME;
    HWND control = GetDlgItem(page, field->control);
    if (!control || !IsWindowEnabled(control))
        return E_INVALIDARG;
    switch (field->kind) {
        case Kind::kCheck: {
            const bool checked = SendMessageW(control, BM_GETCHECK, 0, 0) == BST_CHECKED;
            if (checked != Wanted(value) && !win::ClickButton(control))
                return E_INVALIDARG;
            return S_OK;
        }
        case Kind::kText:
            return TypeOver(control, value) ? S_OK : E_INVALIDARG;
        case Kind::kChoice: {
            const LRESULT index = SendMessageW(control, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                               reinterpret_cast<LPARAM>(value.c_str()));
            return index >= 0 && win::SelectComboItem(control, static_cast<int>(index))
                       ? S_OK
                       : E_INVALIDARG;
        }
        case Kind::kList: {
            HWND list = GetDlgItem(page, field->list);
            if (!value.empty() && value[0] == L'-') {
                const LRESULT index =
                    SendMessageW(list, LB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                 reinterpret_cast<LPARAM>(value.c_str() + 1));
                if (index == LB_ERR || !win::SelectListItem(list, static_cast<int>(index)))
                    return E_INVALIDARG;
                return win::ClickButton(GetDlgItem(page, field->remove)) ? S_OK : E_INVALIDARG;
            }
            if (!TypeOver(control, value))
                return E_INVALIDARG;
            return win::ClickButton(GetDlgItem(page, field->add)) ? S_OK : E_INVALIDARG;
        }
    }
    return E_INVALIDARG;
}

}  // namespace host
