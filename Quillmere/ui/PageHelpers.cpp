#include "Quillmere/ui/PageHelpers.h"

#include <algorithm>

#include "Quillmere/core/Settings.h"
#include "platform/com/Bstr.h"
#include "platform/win/Controls.h"
#include "platform/win/Window.h"

namespace ui {

namespace {

constexpr std::size_t kMaxPath = 260;

// The text of entry index as the control's length and text messages give it.
std::wstring EntryText(HWND control, UINT lengthMessage, UINT textMessage, LRESULT index) {
    LRESULT length = SendMessageW(control, lengthMessage, static_cast<WPARAM>(index), 0);
    if (length <= 0)
        return L"";
    std::wstring item(static_cast<std::size_t>(length) + 1, L'\0');
    SendMessageW(control, textMessage, static_cast<WPARAM>(index),
                 reinterpret_cast<LPARAM>(item.data()));
    item.resize(static_cast<std::size_t>(length));
    return item;
}

}  // namespace

std::wstring ControlText(HWND control) {
    int length = GetWindowTextLengthW(control);
    if (length <= 0)
        return L"";
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    int got = GetWindowTextW(control, text.data(), length + 1);
    text.resize(static_cast<std::size_t>(std::max(got, 0)));
    return text;
}

std::wstring ComboEntry(HWND combo, LRESULT index) {
    return EntryText(combo, CB_GETLBTEXTLEN, CB_GETLBTEXT, index);
}

std::wstring ListEntry(HWND list, LRESULT index) {
    return EntryText(list, LB_GETTEXTLEN, LB_GETTEXT, index);
}

std::wstring SelectedComboEntry(HWND combo) {
    const LRESULT sel = SendMessageW(combo, CB_GETCURSEL, 0, 0);
    return sel < 0 ? std::wstring() : ComboEntry(combo, sel);
}

std::wstring ComboText(HWND combo) {
    std::wstring text = ControlText(combo);
    return text.empty() ? SelectedComboEntry(combo) : text;
}

std::vector<std::wstring> SubkeyNames(HKEY key) {
    std::vector<std::wstring> names;
    for (DWORD i = 0;; ++i) {
        WCHAR name[kMaxPath] = L"";
        DWORD length = kMaxPath;
        if (RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
        names.emplace_back(name, length);
    }
    return names;
}

std::vector<std::wstring> SubkeyNamesOf(HKEY parent, const std::wstring& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(parent, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return {};
    std::vector<std::wstring> names = SubkeyNames(key);
    RegCloseKey(key);
    return names;
}

std::vector<std::wstring> KnownPartnerAddresses() {
    HKEY folders = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kFoldersKeyPath, 0, KEY_READ, &folders) != ERROR_SUCCESS)
        return {};
    std::vector<std::wstring> addresses;
    for (const std::wstring& folder : SubkeyNames(folders)) {
        for (const std::wstring& user : SubkeyNamesOf(folders, folder + L"\\Users"))
            if (std::find(addresses.begin(), addresses.end(), user) == addresses.end())
                addresses.push_back(user);
    }
    RegCloseKey(folders);
    return addresses;
}

std::wstring ProfileName(QMRRDOSession* session) {
    CComBSTR name;
    if (!session || FAILED(session->GetProfileName(&name.m_str)) || !name.m_str)
        return L"";
    return name.m_str;
}

std::vector<std::wstring> CategoryNames(IPageEngine* engine) {
    if (!engine || !engine->Exists() || !engine->Session())
        return {};
    CComPtr<QMRCategories> categories;
    if (FAILED(engine->Session()->GetCategories(&categories)) || !categories)
        return {};
    LONG count = 0;
    if (FAILED(categories->Count(&count)))
        return {};
    std::vector<std::wstring> names;
    for (LONG i = 1; i <= count; ++i) {
        CComVariant index;
        index.vt = VT_I4;
        index.lVal = i;
        CComPtr<QMRCategory> category;
        if (FAILED(categories->Item(index, &category)) || !category)
            continue;
        CComBSTR name;
        if (FAILED(category->Name(&name.m_str)))
            continue;
        names.emplace_back(name.m_str ? name.m_str : L"");
    }
    return names;
}

}  // namespace ui
