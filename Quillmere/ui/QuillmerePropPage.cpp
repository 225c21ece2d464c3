#include "Quillmere/ui/QuillmerePropPage.h"

#include <algorithm>
#include <cwctype>
#include <utility>

#include "Quillmere/core/AddinGlobals.h"
#include "Quillmere/core/DebugLog.h"
#include "Quillmere/core/HelperObjects.h"
#include "Quillmere/core/Settings.h"
#include "Quillmere/core/SyncEngine.h"
#include "Quillmere/exchange/OutboxRecheck.h"
#include "Quillmere/ui/PageHelpers.h"
#include "Quillmere/ui/PageLayout.h"
#include "Quillmere/ui/PageRegistry.h"
#include "Quillmere/ui/RunningPageEngine.h"
#include "Quillmere/ui/UiModule.h"
#include "platform/com/Bstr.h"
#include "platform/win/Controls.h"
#include "platform/win/Dialog.h"
#include "platform/win/Files.h"
#include "platform/win/ImageList.h"
#include "platform/win/Keys.h"
#include "platform/win/MessageBox.h"
#include "platform/win/Registry.h"
#include "platform/win/Shell.h"
#include "platform/win/Text.h"
#include "platform/win/Window.h"

namespace ui {

using namespace folderpage;

namespace {

constexpr std::size_t kMaxPath = 260;
// A registry key name has at most this many characters; a longer typed
// partner or category is cut to it, so that Apply can store what the list
// shows.
constexpr std::size_t kMaxKeyName = 255;
constexpr DWORD kShortTextBytes = 520;
constexpr DWORD kShareNameCompareBytes = 1024;
constexpr REGSAM kReadWrite = KEY_ALL_ACCESS;
constexpr LONG_PTR kLayoutRtl = 0x00400000;
constexpr LONG_PTR kNoInheritLayout = 0x00100000;
// The version text and the basic-sync log line are formatted into buffers
// of this many characters.
constexpr std::size_t kMaxLogLine = 200;

// String ids of the page's texts.
constexpr UINT kProductString = 1214;
constexpr UINT kErrorCaptionString = 1215;
constexpr UINT kAddressExistsString = 1216;
constexpr UINT kBackslashString = 1288;
constexpr UINT kHelpFileString = 1221;
constexpr UINT kSyncFolderString = 1224;
constexpr UINT kBasicSyncString = 1225;
constexpr UINT kShareNameString = 1226;
constexpr UINT kDontSyncPrivateString = 1227;
constexpr UINT kAlternateInboxString = 1228;
constexpr UINT kRecipientsString = 1229;
constexpr UINT kFilterLabelString = 1231;
constexpr UINT kPasswordString = 1235;
constexpr UINT kVersionCheckString = 1248;
constexpr UINT kAddCategoryString = 1252;
constexpr UINT kLockedString = 1253;
constexpr UINT kAddToListString = 1254;
constexpr UINT kRemoveEntryString = 1255;
constexpr UINT kAddressBookString = 1256;
constexpr UINT kMeetingRequestsString = 1259;
constexpr UINT kTaskRequestsString = 1260;
constexpr UINT kHolidaysString = 1265;
constexpr UINT kEmptyShareNameString = 1270;
constexpr UINT kShareNameInUseString = 1271;
constexpr UINT kSyncOnlyPrivateString = 1286;

// The folder's state files, removed when its synchronisation ends.
constexpr const wchar_t* kStateFileExtensions[] = {
    L".keys.ids",   L".values.ids",       L".syncdata.ids",       L".cache.ids",
    L".insync.ids", L".syncdata.ids.bak", L".sync2sourcetbl.ids",
};

// The controls in the order the layout moves them.
constexpr int kLayoutOrder[] = {kLayoutLine,
                                kAlternateInboxCheck,
                                kSyncFolderCheck,
                                kVersionText,
                                kPageIcon,
                                kShareNameLabel,
                                kPasswordLabel,
                                kShareNameEdit,
                                kPasswordEdit,
                                kBasicSyncCheck,
                                kRecipientsLabel,
                                kUserCombo,
                                kAddressBookButton,
                                kCategoryLabel,
                                kAddUserButton,
                                kRemoveUserButton,
                                kCategoryCombo,
                                kSecondLine,
                                kFilterLabel,
                                kDontSyncPrivateCheck,
                                kDontSyncMeetingsCheck,
                                kDontSyncHolidaysCheck,
                                kFilterCombo,
                                kFilterList,
                                kRemoveFilterButton,
                                kAddFilterButton,
                                kVersionCheckCheck,
                                kUserList,
                                kSyncOnlyPrivateCheck};

// format with its one "%s" replaced by text, cut to capacity - 1
// characters as a buffer of capacity characters holds it.
std::wstring FormatWithText(const wchar_t* format, const std::wstring& text, std::size_t capacity) {
    std::wstring out = format;
    const std::size_t at = out.find(L"%s");
    if (at != std::wstring::npos)
        out.replace(at, 2, text);
    if (out.size() > capacity - 1)
        out.resize(capacity - 1);
    return out;
}

std::wstring Text(UINT id) {
    return LoadUiString(id, g_UILanguage.load());
}

std::vector<std::wstring> ListEntries(HWND list) {
    std::vector<std::wstring> entries;
    const LRESULT count = SendMessageW(list, LB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i)
        entries.push_back(ListEntry(list, i));
    return entries;
}

LRESULT ListCount(HWND list) {
    return SendMessageW(list, LB_GETCOUNT, 0, 0);
}

bool ListHas(HWND list, const std::wstring& text) {
    return SendMessageW(list, LB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                        reinterpret_cast<LPARAM>(text.c_str())) != LB_ERR;
}

// A REG_DWORD; false when it can't be read or has another type.
bool ReadDword(HKEY key, const wchar_t* name, DWORD& value) {
    DWORD type = 0, data = 0, size = sizeof data;
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof data)
        return false;
    value = data;
    return true;
}

struct StringValue {
    bool read = false;        // the query succeeded with a text type
    bool terminated = false;  // size 0, or even with a terminating zero
    std::wstring text;        // up to the first zero
};

// A text value read into a buffer of maxBytes bytes.
StringValue ReadString(HKEY key, const wchar_t* name, DWORD maxBytes) {
    StringValue v;
    std::vector<wchar_t> buffer(maxBytes / 2 + 1, L'\0');
    DWORD type = 0, size = maxBytes;
    if (RegQueryValueExW(key, name, nullptr, &type, buffer.data(), &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ) || size > maxBytes)
        return v;
    v.read = true;
    const std::size_t units = size / 2;
    v.terminated = size == 0 || (size % 2 == 0 && buffer[units - 1] == L'\0');
    v.text.assign(buffer.data(), units);
    v.text.resize(std::min(v.text.size(), v.text.find(L'\0')));
    return v;
}

void SetDword(HKEY key, const wchar_t* name, DWORD value) {
    RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

void SetText(HKEY key, const wchar_t* name, const std::wstring& text) {
    RegSetValueExW(key, name, 0, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * 2));
}

// Creates path (from the current user's hive) and below it one empty key
// per entry.
void WriteKeyList(const std::wstring& path, const std::vector<std::wstring>& entries) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, kReadWrite, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
        return;
    RegCloseKey(key);
    for (const std::wstring& entry : entries) {
        HKEY sub = nullptr;
        if (RegCreateKeyExW(HKEY_CURRENT_USER, (path + L"\\" + entry).c_str(), 0, nullptr, 0,
                            kReadWrite, nullptr, &sub, nullptr) == ERROR_SUCCESS)
            RegCloseKey(sub);
    }
}

std::wstring FolderKeyPath(const std::wstring& entryId) {
    return std::wstring(kFoldersKeyPath) + L"\\" + entryId;
}

// The folder of the latest folder Properties event, as MAPIFolder.
CComPtr<MAPIFolder> LatestFolder() {
    CComPtr<IDispatch> dispatch;
    dispatch.Attach(GetLatestPropertiesFolder());
    CComPtr<MAPIFolder> folder;
    if (dispatch)
        dispatch->QueryInterface(IID_MAPIFolder, reinterpret_cast<void**>(&folder));
    return folder;
}

// A text property of the folder; false when it can't be read.
bool FolderText(HRESULT (MAPIFolder::*getter)(BSTR*), std::wstring& out) {
    CComPtr<MAPIFolder> folder = LatestFolder();
    if (!folder)
        return false;
    CComBSTR text;
    if (FAILED((folder.p->*getter)(&text.m_str)))
        return false;
    out = text.m_str ? text.m_str : L"";
    return true;
}

std::wstring FolderTextOrEmpty(HRESULT (MAPIFolder::*getter)(BSTR*)) {
    std::wstring text;
    return FolderText(getter, text) ? text : std::wstring();
}

CComVariant Missing() {
    CComVariant v;
    v.vt = VT_ERROR;
    v.scode = DISP_E_PARAMNOTFOUND;
    return v;
}

class RunningFolderPageEngine final : public RunningPageEngine<IFolderPageEngine> {
public:
    std::wstring DataDirectory() override {
        CSyncEngine* engine = g_pEngine.load();
        return engine ? engine->DataDirectory() : std::wstring();
    }
    std::wstring ModuleVersion() override {
        wchar_t version[kMaxLogLine] = L"";
        GetModuleVersionString(g_pEngine.load(), version, kMaxLogLine);
        return version;
    }
    void RestartThreads() override {
        if (CSyncEngine* engine = g_pEngine.load())
            ::RestartThreads(engine);
    }
};

const bool kRegistered = (RegisterQuillmerePropPage(), true);

}  // namespace

std::unique_ptr<IFolderPageEngine> MakeRunningFolderPageEngine() {
    return std::make_unique<RunningFolderPageEngine>();
}

void RegisterQuillmerePropPage() {
    RegisterPropertyPage<CQuillmerePropPage, kQuillmerePropPageRegistryScript>(
        CLSID_QuillmerePropPage);
}

CQuillmerePropPage::CQuillmerePropPage()
    : CPropertyPageControl(kTemplate, MakeRunningFolderPageEngine()) {
    (void)kRegistered;
}

CQuillmerePropPage::~CQuillmerePropPage() {
    ReleasePage();
}

HWND CQuillmerePropPage::Item(int id) const {
    return GetDlgItem(m_hWnd, id);
}

bool CQuillmerePropPage::Checked(int id) const {
    return IsDlgButtonChecked(m_hWnd, id) == BST_CHECKED;
}

// --- Message map --------------------------------------------------------------

bool CQuillmerePropPage::ProcessWindowMessage(HWND, UINT msg, WPARAM wParam, LPARAM lParam,
                                              LRESULT& result) {
    result = 0;
    switch (msg) {
        case WM_INITDIALOG:
            OnInitDialog();
            result = TRUE;
            return true;
        case WM_HELP:
            OnHelp();
            result = TRUE;
            return true;
        case WM_CTLCOLORDLG:
        case WM_CTLCOLORSTATIC:
            result = OnCtlColor(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam));
            // Without the themed brush the default colours apply.
            return result != 0;
        case WM_CHAR:
        case WM_CLOSE:
            return true;
        case WM_COMMAND:
            break;
        default:
            return false;
    }
    const int id = LOWORD(wParam);
    const WORD code = HIWORD(wParam);
    auto handled = [&](auto&& handler) {
        handler();
        return true;
    };
    switch (id) {
        case kSyncFolderCheck:
            if (code == BN_CLICKED)
                return handled([&] { OnSyncFolderClicked(); });
            break;
        case kAlternateInboxCheck:
            if (code == BN_CLICKED)
                return handled([&] { OnAlternateInboxClicked(); });
            break;
        case kDontSyncPrivateCheck:
            if (code == BN_CLICKED)
                return handled([&] { OnDontSyncPrivateClicked(); });
            break;
        case kSyncOnlyPrivateCheck:
            if (code == BN_CLICKED)
                return handled([&] { OnSyncOnlyPrivateClicked(); });
            break;
        case kDontSyncMeetingsCheck:
        case kVersionCheckCheck:
        case kBasicSyncCheck:
            if (code == BN_CLICKED)
                return handled([&] { MarkDirty(); });
            break;
        case kShareNameEdit:
        case kPasswordEdit:
            if (code == EN_CHANGE)
                return handled([&] { MarkDirty(); });
            break;
        case kCategoryCombo:
            if (code == CBN_SELCHANGE || code == CBN_EDITCHANGE)
                return handled([&] { MarkDirty(); });
            break;
        case kUserCombo:
            if (code == CBN_SELCHANGE || code == CBN_EDITCHANGE)
                return handled([&] { OnUserSelChange(); });
            if (code == EN_CHANGE)
                return true;
            break;
        case kAddUserButton:
            if (code == BN_CLICKED)
                return handled([&] { OnAddUser(); });
            break;
        case kRemoveUserButton:
            if (code == BN_CLICKED)
                return handled([&] { OnRemoveUser(); });
            break;
        case kAddressBookButton:
            if (code == BN_CLICKED)
                return handled([&] { OnChooseSyncRecipient(); });
            break;
        case kUserList:
            if (code == LBN_SELCHANGE)
                return handled([&] { OnUserListSelChange(); });
            if (code == LBN_DBLCLK)
                return handled([&] { OnUserListDblClk(); });
            if (code == LBN_SELCANCEL)
                return handled([&] { OnUserListSelCancel(); });
            if (code == LBN_SETFOCUS)
                return true;
            if (code == LBN_KILLFOCUS)
                return handled([&] { OnUserListKillFocus(); });
            break;
        case kFilterCombo:
            if (code == CBN_EDITCHANGE)
                return handled([&] { OnFilterCategoryEditChange(); });
            if (code == CBN_SELENDOK)
                return handled([&] { OnFilterCategorySelEndOk(); });
            if (code == CBN_SELCHANGE)
                return true;
            break;
        case kAddFilterButton:
            if (code == BN_CLICKED)
                return handled([&] { OnAddFilterCategory(); });
            break;
        case kRemoveFilterButton:
            if (code == BN_CLICKED)
                return handled([&] { OnRemoveFilterCategory(); });
            break;
        case kFilterList:
            if (code == LBN_SELCHANGE)
                return handled([&] { OnFilterListSelChange(); });
            if (code == LBN_SELCANCEL)
                return handled([&] { OnFilterListSelCancel(); });
            if (code == LBN_KILLFOCUS)
                return handled([&] { OnFilterListKillFocus(); });
            break;
        case kPasswordLabel:
        case kCategoryLabel:
        case kVersionText:
        case kUnusedCommand:
            if (code == 0)
                return true;
            break;
        default:
            break;
    }
    // The rest of a combo box's notifications go back to the combo box, whose
    // type-ahead lives on its CBN_EDITUPDATE.
    if ((id == kUserCombo || id == kCategoryCombo || id == kFilterCombo) && lParam) {
        result = SendMessageW(reinterpret_cast<HWND>(lParam), OCM_COMMAND, wParam, lParam);
        return true;
    }
    return false;
}

bool CQuillmerePropPage::PreTranslateAccelerator(MSG* msg) {
    if (!msg || msg->message != WM_KEYDOWN || !m_hWnd)
        return false;
    // A combo box's edit field may be a child of the combo box.
    auto aimsAt = [&](int id) {
        HWND control = Item(id);
        return control && (msg->hwnd == control || GetParent(msg->hwnd) == control);
    };
    for (CAutoCombo* combo : {&m_userCombo, &m_categoryCombo, &m_filterCombo}) {
        if (combo->m_hWnd && (msg->hwnd == combo->m_hWnd || GetParent(msg->hwnd) == combo->m_hWnd))
            combo->PreTranslateMessage(msg);
    }
    if (msg->wParam == VK_RETURN && aimsAt(kUserCombo)) {
        if (IsWindowEnabled(Item(kAddUserButton)))
            OnAddUser();
        return true;
    }
    if (msg->wParam == VK_RETURN && aimsAt(kFilterCombo)) {
        if (IsWindowEnabled(Item(kAddFilterButton)))
            OnAddFilterCategory();
        return true;
    }
    if (msg->wParam == VK_DELETE && aimsAt(kUserList)) {
        if (IsWindowEnabled(Item(kRemoveUserButton)))
            OnRemoveUser();
        return true;
    }
    if (msg->wParam == VK_DELETE && aimsAt(kFilterList)) {
        if (IsWindowEnabled(Item(kRemoveFilterButton)))
            OnRemoveFilterCategory();
        return true;
    }
    return false;
}

// --- Initialisation -----------------------------------------------------------

std::wstring CQuillmerePropPage::MessageClass() const {
    std::wstring messageClass = FolderTextOrEmpty(&MAPIFolder::get_DefaultMessageClass);
    CharUpperBuffW(messageClass.data(), static_cast<DWORD>(messageClass.size()));
    return messageClass;
}

bool CQuillmerePropPage::IsMailFolder() const {
    const std::wstring c = MessageClass();
    return c.rfind(L"IPM.NOTE", 0) == 0 || c.rfind(L"IPM.POST", 0) == 0;
}

bool CQuillmerePropPage::IsCalendarFolder() const {
    return MessageClass().rfind(L"IPM.APPOINTMENT", 0) == 0;
}

bool CQuillmerePropPage::IsNoteClassFolder() const {
    return MessageClass().rfind(L"IPM.NOTE", 0) == 0;
}

bool CQuillmerePropPage::IsTaskFolder() const {
    return MessageClass().rfind(L"IPM.TASK", 0) == 0;
}

void CQuillmerePropPage::OnInitDialog() {
    HWND page = m_hWnd;
    const LONG_PTR exStyle = GetWindowLongPtrW(page, GWL_EXSTYLE);
    SetWindowLongPtrW(page, GWL_EXSTYLE, exStyle & ~(kLayoutRtl | kNoInheritLayout));
    m_adminLocked = false;

    const struct {
        int control;
        UINT text;
    } texts[] = {
        {kSyncFolderCheck, kSyncFolderString},
        {kAlternateInboxCheck, kAlternateInboxString},
        {kShareNameLabel, kShareNameString},
        {kPasswordLabel, kPasswordString},
        {kVersionCheckCheck, kVersionCheckString},
        {kBasicSyncCheck, kBasicSyncString},
        {kRecipientsLabel, kRecipientsString},
        {kCategoryLabel, kAddCategoryString},
        {kFilterLabel, kFilterLabelString},
        {kDontSyncPrivateCheck, kDontSyncPrivateString},
        {kSyncOnlyPrivateCheck, kSyncOnlyPrivateString},
        {kDontSyncMeetingsCheck, IsTaskFolder() ? kTaskRequestsString : kMeetingRequestsString},
        {kDontSyncHolidaysCheck, kHolidaysString},
    };
    for (const auto& t : texts)
        SetDlgItemTextW(page, t.control, Text(t.text).c_str());

    std::wstring entryId;
    FolderText(&MAPIFolder::get_EntryID, entryId);
    ReadFolderKey(entryId);
    ReadAdminLock();

    m_userCombo.SubclassWindow(Item(kUserCombo));
    m_categoryCombo.SubclassWindow(Item(kCategoryCombo));
    m_filterCombo.SubclassWindow(Item(kFilterCombo));
    FillCategories();
    FillKnownUsersCombo();
    EnableSyncControls(Checked(kSyncFolderCheck));
    AttachButtons();

    const std::wstring version = FormatWithText(
        L"Version %s", m_engine ? m_engine->ModuleVersion() : std::wstring(), kMaxLogLine);
    SetDlgItemTextW(page, kVersionText, version.c_str());

    // Setting the fields' texts above told the page of changes; none of
    // them is the user's.
    m_dirty = CComVariant(false);
    NotifySite();

    CentreControls(page, GetParent(page), kLayoutLine, kLayoutOrder);
    // Which systems get the tab texture is this page's choice: every one
    // with a visual style; without one the default colours serve.
    m_background.Capture(GetParent(page));
}

void CQuillmerePropPage::ReadFolderKey(const std::wstring& entryId) {
    DWORD used = 0, alternateInbox = 0, versionCheck = 0;
    DWORD dontSyncPrivate = 1, syncOnlyPrivate = 0, dontSyncMeetings = 1, dontSyncHolidays = 1;
    std::wstring name;
    const std::wstring defaultShareName =
        FolderText(&MAPIFolder::get_Name, name) ? name + L"_sync" : L"Freigabename";

    HKEY key = nullptr;
    // Without an entry id the key would be the Folders key itself.
    if (entryId.empty() || RegOpenKeyExW(HKEY_CURRENT_USER, FolderKeyPath(entryId).c_str(), 0,
                                         KEY_READ, &key) != ERROR_SUCCESS) {
        SetDlgItemTextW(m_hWnd, kShareNameEdit, defaultShareName.c_str());
    } else {
        ReadDword(key, L"used", used);
        ReadDword(key, L"ISALTERNATEINBOX", alternateInbox);
        ReadDword(key, L"USEVERSIONCHECK", versionCheck);
        if (!ReadDword(key, L"DONT_SYNC_PRIV_ITEMS", dontSyncPrivate))
            dontSyncPrivate = 1;
        if (!ReadDword(key, L"SYNC_ONLY_PRIV_ITEMS", syncOnlyPrivate))
            syncOnlyPrivate = 0;
        if (!ReadDword(key, L"DONT_SYNC_BSP_ITEMS", dontSyncMeetings))
            dontSyncMeetings = 1;
        if (!ReadDword(key, L"DONT_SYNC_HOLIDAY_ITEMS", dontSyncHolidays))
            dontSyncHolidays = 1;
        const StringValue category = ReadString(key, L"Categorie", kShortTextBytes);
        SetDlgItemTextW(m_hWnd, kCategoryCombo, category.text.c_str());
        const StringValue share = ReadString(key, L"ShareName", kShortTextBytes);
        const StringValue password = ReadString(key, L"Password", kShortTextBytes);
        SetDlgItemTextW(m_hWnd, kPasswordEdit,
                        password.read && password.terminated ? password.text.c_str() : L"");
        SetDlgItemTextW(m_hWnd, kShareNameEdit, share.text.c_str());
        RegCloseKey(key);
    }

    if (alternateInbox != 0) {
        used = 0;
    } else if (used != 0) {
        for (const auto& [listId, subkey] :
             {std::pair{kUserList, L"\\Users"}, std::pair{kFilterList, L"\\CategoriesFilter"}}) {
            HWND list = Item(listId);
            SendMessageW(list, LB_RESETCONTENT, 0, 0);
            for (const std::wstring& entry :
                 SubkeyNamesOf(HKEY_CURRENT_USER, FolderKeyPath(entryId) + subkey))
                SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(entry.c_str()));
        }
    }

    auto check = [&](int id, DWORD value) {
        CheckDlgButton(m_hWnd, id, value != 0 ? BST_CHECKED : BST_UNCHECKED);
    };
    check(kAlternateInboxCheck, alternateInbox);
    check(kSyncFolderCheck, used);
    check(kDontSyncPrivateCheck, dontSyncPrivate);
    check(kSyncOnlyPrivateCheck, syncOnlyPrivate);
    check(kDontSyncMeetingsCheck, dontSyncMeetings);
    check(kDontSyncHolidaysCheck, dontSyncHolidays);
    check(kVersionCheckCheck, versionCheck);
    EnableWindow(Item(kRemoveUserButton), ListCount(Item(kUserList)) > 0);
    EnableWindow(Item(kRemoveFilterButton), ListCount(Item(kFilterList)) > 0);
}

void CQuillmerePropPage::ReadAdminLock() {
    m_adminLocked = false;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kConfigKeyPath, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return;
    DWORD value = 0;
    m_adminLocked = ReadDword(key, L"lock", value) && value == 1;
    RegCloseKey(key);
}

void CQuillmerePropPage::FillCategories() {
    for (const std::wstring& name : CategoryNames(m_engine.get())) {
        SendMessageW(Item(kCategoryCombo), CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name.c_str()));
        SendMessageW(Item(kFilterCombo), CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name.c_str()));
    }
}

void CQuillmerePropPage::FillKnownUsersCombo() {
    for (const std::wstring& a : KnownPartnerAddresses())
        SendMessageW(Item(kUserCombo), CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(a.c_str()));
}

void CQuillmerePropPage::AttachButtons() {
    if (!m_buttonImages)
        m_buttonImages = CreatePageButtonImages(9);
    const struct {
        CBmpBtn* button;
        int id;
        UINT tip;
        PageButtonImages pictures;
    } buttons[] = {
        {&m_addressBookButton, kAddressBookButton, kAddressBookString, {0, 0, 2, 1}},
        {&m_addUserButton, kAddUserButton, kAddToListString, {3, 3, 5, 4}},
        {&m_removeUserButton, kRemoveUserButton, kRemoveEntryString, {6, 6, 8, 7}},
        {&m_addFilterButton, kAddFilterButton, kAddToListString, {3, 3, 5, 4}},
        {&m_removeFilterButton, kRemoveFilterButton, kRemoveEntryString, {6, 6, 8, 7}},
    };
    for (const auto& b : buttons)
        AttachPageButton(*b.button, Item(b.id), m_buttonImages, Text(b.tip), b.pictures);
}

const CBmpBtn* CQuillmerePropPage::BitmapButton(int id) const {
    switch (id) {
        case kAddressBookButton:
            return &m_addressBookButton;
        case kAddUserButton:
            return &m_addUserButton;
        case kRemoveUserButton:
            return &m_removeUserButton;
        case kAddFilterButton:
            return &m_addFilterButton;
        case kRemoveFilterButton:
            return &m_removeFilterButton;
        default:
            return nullptr;
    }
}

void CQuillmerePropPage::OnHelp() {
    const std::wstring directory = m_engine ? m_engine->ModuleDirectory() : std::wstring();
    const std::wstring file = directory + Text(kHelpFileString);
    ShellExecuteW(m_hWnd, L"open", file.c_str(), nullptr, directory.c_str(), SW_SHOW);
}

// --- Check boxes --------------------------------------------------------------

void CQuillmerePropPage::EnableSyncControls(bool enable) {
    for (int id : {kAddressBookButton, kUserCombo, kUserList, kFilterCombo, kFilterList,
                   kShareNameEdit, kDontSyncPrivateCheck, kSyncOnlyPrivateCheck})
        EnableWindow(Item(id), enable);
    if (IsTaskFolder()) {
        EnableWindow(Item(kDontSyncMeetingsCheck), enable);
    } else if (IsCalendarFolder()) {
        EnableWindow(Item(kDontSyncMeetingsCheck), enable);
        EnableWindow(Item(kDontSyncHolidaysCheck), enable);
    } else {
        EnableWindow(Item(kDontSyncMeetingsCheck), FALSE);
        EnableWindow(Item(kDontSyncHolidaysCheck), FALSE);
    }
    for (int id : {kPasswordEdit, kVersionCheckCheck, kCategoryCombo, kBasicSyncCheck})
        EnableWindow(Item(id), enable);
    EnableWindow(Item(kAlternateInboxCheck), IsNoteClassFolder() && !enable);
    if (enable)
        KeepPrivateFiltersExclusive();
}

void CQuillmerePropPage::KeepPrivateFiltersExclusive() {
    if (Checked(kDontSyncPrivateCheck))
        CheckDlgButton(m_hWnd, kSyncOnlyPrivateCheck, BST_UNCHECKED);
    EnableWindow(Item(kSyncOnlyPrivateCheck), !Checked(kDontSyncPrivateCheck));
    if (Checked(kSyncOnlyPrivateCheck))
        CheckDlgButton(m_hWnd, kDontSyncPrivateCheck, BST_UNCHECKED);
    EnableWindow(Item(kDontSyncPrivateCheck), !Checked(kSyncOnlyPrivateCheck));
}

void CQuillmerePropPage::OnSyncFolderClicked() {
    if (Checked(kSyncFolderCheck)) {
        EnableSyncControls(true);
        CheckDlgButton(m_hWnd, kAlternateInboxCheck, BST_UNCHECKED);
        CheckDlgButton(m_hWnd, kDontSyncPrivateCheck, BST_CHECKED);
        CheckDlgButton(m_hWnd, kDontSyncHolidaysCheck, BST_CHECKED);
    } else {
        EnableSyncControls(false);
    }
    MarkDirty();
}

void CQuillmerePropPage::OnAlternateInboxClicked() {
    if (Checked(kAlternateInboxCheck)) {
        EnableSyncControls(false);
        CheckDlgButton(m_hWnd, kSyncFolderCheck, BST_UNCHECKED);
    } else {
        EnableSyncControls(true);
        EnableWindow(Item(kAlternateInboxCheck), TRUE);
    }
    MarkDirty();
}

void CQuillmerePropPage::OnDontSyncPrivateClicked() {
    if (Checked(kDontSyncPrivateCheck))
        CheckDlgButton(m_hWnd, kSyncOnlyPrivateCheck, BST_UNCHECKED);
    EnableWindow(Item(kSyncOnlyPrivateCheck), !Checked(kDontSyncPrivateCheck));
    MarkDirty();
}

void CQuillmerePropPage::OnSyncOnlyPrivateClicked() {
    if (Checked(kSyncOnlyPrivateCheck))
        CheckDlgButton(m_hWnd, kDontSyncPrivateCheck, BST_UNCHECKED);
    EnableWindow(Item(kDontSyncPrivateCheck), !Checked(kSyncOnlyPrivateCheck));
    MarkDirty();
}

// --- Partners -----------------------------------------------------------------

// Partners and filter categories are stored as the names of registry keys,
// where a backslash would make nested keys that read back as another name: such a
// text is refused with a message.
bool CQuillmerePropPage::RefusedKeyName(const std::wstring& text) {
    if (text.find(L'\\') == std::wstring::npos)
        return false;
    MessageBoxW(nullptr, Text(kBackslashString).c_str(), Text(kErrorCaptionString).c_str(), MB_OK);
    return true;
}

void CQuillmerePropPage::OnUserSelChange() {
    EnableWindow(Item(kAddUserButton), ComboText(Item(kUserCombo)).size() >= 3);
}

void CQuillmerePropPage::OnAddUser() {
    HWND combo = Item(kUserCombo);
    HWND list = Item(kUserList);
    std::wstring text = ControlText(combo);
    if (text.size() > kMaxKeyName)
        text.resize(kMaxKeyName);
    if (!text.empty() && !RefusedKeyName(text)) {
        if (!ListHas(list, text))
            SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
        else
            MessageBoxW(nullptr, Text(kAddressExistsString).c_str(),
                        Text(kErrorCaptionString).c_str(), MB_OK);
    }
    SetWindowTextW(combo, L"");
    EnableWindow(Item(kAddUserButton), FALSE);
    MarkDirty();
}

void CQuillmerePropPage::OnRemoveUser() {
    HWND list = Item(kUserList);
    const LRESULT sel = SendMessageW(list, LB_GETCURSEL, 0, 0);
    if (sel >= 0)
        SendMessageW(list, LB_DELETESTRING, static_cast<WPARAM>(sel), 0);
    EnableWindow(Item(kRemoveUserButton), ListCount(list) > 0);
    MarkDirty();
}

void CQuillmerePropPage::OnChooseSyncRecipient() {
    CComPtr<QMRMAPIUtils> utils;
    if (FAILED(CreateHelperObject(L"QuillmereRDOx.QMRMAPIUtils", IID_QMRMAPIUtils,
                                  reinterpret_cast<void**>(&utils))) ||
        !utils)
        return;
    CComVariant title(L"Bitte einen Synchronisationsempfänger wählen!");
    CComVariant toLabel(L"SyncEmpfänger");
    CComVariant minusOne;
    minusOne.vt = VT_I2;
    minusOne.iVal = -1;
    CComVariant one;
    one.vt = VT_I4;
    one.lVal = 1;
    CComPtr<QMRRecipients> chosen;
    if (FAILED(utils->AddressBookDialog(Missing(), title, minusOne, minusOne, one, toLabel,
                                        Missing(), Missing(), Missing(), &chosen)) ||
        !chosen)
        return;
    LONG count = 0;
    if (FAILED(chosen->GetCount(&count)))
        return;
    HWND combo = Item(kUserCombo);
    for (LONG i = 1; i <= count; ++i) {
        CComPtr<QMRRecipient> recipient;
        if (FAILED(chosen->Item(i, &recipient)) || !recipient)
            continue;
        // One address per use of the dialog: the first recipient that can be
        // read ends the walk.
        CComBSTR address;
        if (SUCCEEDED(recipient->GetAddress(&address.m_str)) && address.Length() > 0) {
            SetWindowTextW(combo, address.m_str);
            OnAddUser();
            SetWindowTextW(combo, L"");
        }
        return;
    }
}

void CQuillmerePropPage::OnUserListSelChange() {
    EnableWindow(Item(kRemoveUserButton), TRUE);
}

void CQuillmerePropPage::OnUserListDblClk() {
    HWND list = Item(kUserList);
    const LRESULT sel = SendMessageW(list, LB_GETCURSEL, 0, 0);
    if (sel < 0)
        return;
    SetWindowTextW(Item(kUserCombo), ListEntry(list, sel).c_str());
}

void CQuillmerePropPage::OnUserListSelCancel() {
    EnableWindow(Item(kRemoveUserButton), ListCount(Item(kUserList)) > 0);
}

void CQuillmerePropPage::OnUserListKillFocus() {
    EnableWindow(Item(kRemoveUserButton), FALSE);
}

// --- Category filter ----------------------------------------------------------

void CQuillmerePropPage::OnFilterCategoryEditChange() {
    EnableWindow(Item(kAddFilterButton), FALSE);
    if (ControlText(Item(kFilterCombo)).size() >= 2)
        EnableWindow(Item(kAddFilterButton), TRUE);
}

void CQuillmerePropPage::OnFilterCategorySelEndOk() {
    HWND combo = Item(kFilterCombo);
    const LRESULT sel = SendMessageW(combo, CB_GETCURSEL, 0, 0);
    if (sel >= 0)
        SetWindowTextW(combo, ComboEntry(combo, sel).c_str());
    OnFilterCategoryEditChange();
}

void CQuillmerePropPage::OnAddFilterCategory() {
    HWND combo = Item(kFilterCombo);
    HWND list = Item(kFilterList);
    std::wstring text = ControlText(combo);
    if (text.size() > kMaxKeyName)
        text.resize(kMaxKeyName);
    if (!text.empty() && !RefusedKeyName(text) && !ListHas(list, text))
        SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
    SetWindowTextW(combo, L"");
    EnableWindow(Item(kAddFilterButton), FALSE);
    MarkDirty();
}

void CQuillmerePropPage::OnRemoveFilterCategory() {
    HWND list = Item(kFilterList);
    const LRESULT sel = SendMessageW(list, LB_GETCURSEL, 0, 0);
    if (sel >= 0)
        SendMessageW(list, LB_DELETESTRING, static_cast<WPARAM>(sel), 0);
    EnableWindow(Item(kRemoveFilterButton), ListCount(list) > 0);
    MarkDirty();
}

void CQuillmerePropPage::OnFilterListSelChange() {
    EnableWindow(Item(kRemoveFilterButton), TRUE);
}

void CQuillmerePropPage::OnFilterListSelCancel() {
    EnableWindow(Item(kRemoveFilterButton), ListCount(Item(kFilterList)) > 0);
}

void CQuillmerePropPage::OnFilterListKillFocus() {
    EnableWindow(Item(kRemoveFilterButton), FALSE);
}

// --- Apply --------------------------------------------------------------------

HRESULT CQuillmerePropPage::Apply() {
    // Without the window there are no controls to take the settings from:
    // writing would end the folder's synchronisation the person never saw.
    if (!m_hWnd)
        return S_OK;
    if (m_adminLocked) {
        MessageBoxW(m_hWnd, Text(kLockedString).c_str(), Text(kErrorCaptionString).c_str(), MB_OK);
        LogHResult(0, "folder configuration locked from Administrator");
        return S_FALSE;
    }
    const std::wstring entryId = FolderTextOrEmpty(&MAPIFolder::get_EntryID);
    // Without the folder's entry id the folder's key would be the Folders
    // key itself, and a reset would delete every folder's configuration.
    if (entryId.empty()) {
        LogHResult(0, "no folder to apply the settings to");
        return S_OK;
    }
    const std::wstring storeId = FolderTextOrEmpty(&MAPIFolder::get_StoreID);
    const std::wstring folderName = FolderTextOrEmpty(&MAPIFolder::get_Name);
    const std::wstring profile = ProfileName(m_engine ? m_engine->Session() : nullptr);

    HKEY folders = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kFoldersKeyPath, 0, KEY_READ, &folders) == ERROR_SUCCESS) {
        const std::wstring typed = ControlText(Item(kShareNameEdit));
        if (typed.empty()) {
            MessageBoxW(m_hWnd, Text(kEmptyShareNameString).c_str(), Text(kProductString).c_str(),
                        MB_OK);
            CheckDlgButton(m_hWnd, kSyncFolderCheck, BST_UNCHECKED);
        }
        const bool clash = ShareNameClashes(folders, entryId, typed);
        RegCloseKey(folders);
        if (clash) {
            MessageBoxW(m_hWnd, Text(kShareNameInUseString).c_str(), Text(kProductString).c_str(),
                        MB_OK);
            return S_OK;
        }
    }

    if (!Checked(kSyncFolderCheck) && !Checked(kAlternateInboxCheck)) {
        ResetFolder(entryId);
        return S_OK;
    }
    WriteFolder(entryId, storeId, folderName, profile);
    return S_OK;
}

bool CQuillmerePropPage::ShareNameClashes(HKEY folders, const std::wstring& entryId,
                                          const std::wstring& typed) {
    // An empty name names no share: folders without one (alternate inboxes,
    // folders being reset) never clash with each other.
    if (typed.empty())
        return false;
    for (const std::wstring& other : SubkeyNames(folders)) {
        if (other == entryId)
            continue;
        HKEY key = nullptr;
        if (RegOpenKeyExW(folders, other.c_str(), 0, kReadWrite, &key) != ERROR_SUCCESS)
            continue;
        const StringValue share = ReadString(key, L"ShareName", kShareNameCompareBytes);
        RegCloseKey(key);
        if (share.read && share.text == typed)
            return true;
    }
    return false;
}

void CQuillmerePropPage::ResetFolder(const std::wstring& entryId) {
    HKEY folders = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kFoldersKeyPath, 0, kReadWrite, &folders) ==
        ERROR_SUCCESS) {
        WriteDebugLog("delete regkey");
        RegDeleteTreeW(folders, entryId.c_str());
        RegDeleteKeyW(folders, entryId.c_str());
        RegCloseKey(folders);
    }
    if (!m_engine || !m_engine->Exists())
        return;
    // Order matters: the restart stops and frees the running folder object,
    // which saves its state as it goes; deleted before, the files would be
    // back, and sharing the folder again would start from that stale state.
    // The registry key is gone, so the reload starts no new object for it.
    m_engine->RestartThreads();
    const std::wstring directory = m_engine->DataDirectory();
    for (const wchar_t* extension : kStateFileExtensions) {
        for (const wchar_t* pending : {L"", L".new"}) {
            const std::wstring path = directory + entryId + extension + pending;
            if (path.size() < kMaxPath)
                DeleteFileW(path.c_str());
        }
    }
}

void CQuillmerePropPage::WriteFolder(const std::wstring& entryId, const std::wstring& storeId,
                                     const std::wstring& folderName, const std::wstring& profile) {
    const std::wstring path = FolderKeyPath(entryId);
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, kReadWrite, nullptr, &key,
                        nullptr) == ERROR_SUCCESS) {
        auto flag = [&](int id) { return Checked(id) ? 1u : 0u; };
        const std::wstring typed = ControlText(Item(kShareNameEdit));
        std::wstring shareName = typed;
        std::replace(shareName.begin(), shareName.end(), L' ', L'_');
        SetDword(key, L"used", 1);
        SetText(key, L"SID", storeId);
        SetText(key, L"Profil", profile);
        SetDword(key, L"DONT_SYNC_PRIV_ITEMS", flag(kDontSyncPrivateCheck));
        SetDword(key, L"SYNC_ONLY_PRIV_ITEMS", flag(kSyncOnlyPrivateCheck));
        SetDword(key, L"DONT_SYNC_BSP_ITEMS", flag(kDontSyncMeetingsCheck));
        SetDword(key, L"DONT_SYNC_HOLIDAY_ITEMS", flag(kDontSyncHolidaysCheck));
        SetDword(key, L"ISALTERNATEINBOX", flag(kAlternateInboxCheck));
        SetDword(key, L"USEVERSIONCHECK", flag(kVersionCheckCheck));
        SetText(key, L"ShareName", shareName);
        SetText(key, L"Password", ControlText(Item(kPasswordEdit)));
        SetText(key, L"Foldername", folderName);
        SetText(key, L"Categorie", ControlText(Item(kCategoryCombo)));
        if (Checked(kBasicSyncCheck)) {
            const DWORD one = 1;
            if (RegSetValueExW(key, L"BASICSYNC", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one),
                               sizeof one) == ERROR_SUCCESS) {
                WriteDebugLog(
                    FormatWithText(L"BASICSYNC MARKED FOR %s", typed, kMaxLogLine).c_str());
            }
        }
        RegDeleteTreeW(key, L"CategoriesFilter");
        RegDeleteKeyW(key, L"CategoriesFilter");
        RegDeleteTreeW(key, L"Users");
        RegDeleteKeyW(key, L"Users");
        RegCloseKey(key);
    }
    WriteKeyList(path + L"\\Users", ListEntries(Item(kUserList)));
    WriteKeyList(path + L"\\CategoriesFilter", ListEntries(Item(kFilterList)));
    if (m_engine && m_engine->Exists())
        m_engine->RestartThreads();
}

}  // namespace ui
