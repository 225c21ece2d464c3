#include "Quillmere/ui/ExtProppage.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "Quillmere/core/AddinGlobals.h"
#include "Quillmere/core/DebugLog.h"
#include "Quillmere/core/Settings.h"
#include "Quillmere/core/SyncEngine.h"
#include "Quillmere/ui/PageHelpers.h"
#include "Quillmere/ui/PageLayout.h"
#include "Quillmere/ui/PageRegistry.h"
#include "Quillmere/ui/RunningPageEngine.h"
#include "Quillmere/ui/UiModule.h"
#include "platform/com/Bstr.h"
#include "platform/win/CommonControls.h"
#include "platform/win/Controls.h"
#include "platform/win/Dialog.h"
#include "platform/win/MessageLoop.h"
#include "platform/win/Registry.h"
#include "platform/win/Shell.h"
#include "platform/win/Window.h"

namespace ui {

namespace {

constexpr const wchar_t* kUserCategoriesKeyPath =
    L"Software\\Brindlecast\\Quillmere\\UserCategories";
constexpr const wchar_t* kLogViewer = L"QMRLogWindow.exe";
constexpr std::size_t kMaxPath = 260;
constexpr LONG kSendingOrder = 2;

// String ids of the page's texts.
constexpr UINT kStandardAccountString = 1272;
constexpr UINT kDebugString = 1273;
constexpr UINT kJournalString = 1274;
constexpr UINT kDesktopNotificationString = 1275;
constexpr UINT kRemoveRemindersString = 1276;
constexpr UINT kSelectAccountString = 1277;
constexpr UINT kCategoriesString = 1278;
constexpr UINT kDebugLogString = 1279;
constexpr UINT kErrorLogString = 1285;
constexpr UINT kOverviewString = 1287;
constexpr UINT kAddToListString = 1254;
constexpr UINT kRemoveEntryString = 1255;

// The controls the page moves to the middle of the tab.
constexpr int kCentredControls[] = {kFirstSeparator,
                                    kPageIconStatic,
                                    kAccountCombo,
                                    kAccountLabel,
                                    kDebugCheck,
                                    kJournalCheck,
                                    kDesktopNotificationCheck,
                                    kRemoveRemindersCheck,
                                    kAddressCombo,
                                    kCategorySeparator,
                                    kCategoryCombo,
                                    kAddCategoryButton,
                                    kRemoveCategoryButton,
                                    kLinkedCategoriesList,
                                    kCategoriesLabel,
                                    kDebugLogLink,
                                    kErrorLogLink,
                                    kLogSeparator,
                                    kOverviewList,
                                    kOverviewSeparator,
                                    kOverviewLabel};

// The switches: check box and the Config value it stands for.
struct Switch {
    int id;
    const wchar_t* value;
};
constexpr Switch kSwitches[] = {
    {kDebugCheck, L"debug"},
    {kJournalCheck, L"journal"},
    {kDesktopNotificationCheck, L"desktopnotification"},
    {kRemoveRemindersCheck, L"removereminder"},
};

std::wstring ConfigKeyOfProfile(const std::wstring& profile) {
    return std::wstring(kConfigKeyPath) + L"\\" + profile;
}

// A string value of at most kMaxPath characters; false when it is missing,
// not a string or not terminated. Read as text (2 stored bytes a character),
// as every writer of these values stores it.
bool ReadStringValue(HKEY key, const wchar_t* name, std::wstring& out) {
    WCHAR buffer[kMaxPath] = L"";
    DWORD type = 0;
    DWORD size = kMaxPath * 2;
    if (RegQueryValueExW(key, name, nullptr, &type, buffer, &size) != ERROR_SUCCESS ||
        type != REG_SZ)
        return false;
    std::size_t chars = size / 2;
    if (chars == 0 || buffer[chars - 1] != L'\0')
        return false;
    out.assign(buffer, chars - 1);
    return true;
}

class RunningEngineAccess final : public RunningPageEngine<IExtProppageEngine> {
public:
    void SetMailAccountIndex(LONG index) override {
        if (CSyncEngine* engine = g_pEngine.load())
            engine->SetMailAccountIndex(index);
    }
    void SetSwitches(bool journal, bool desktopNotification, bool removeReminder) override {
        if (CSyncEngine* engine = g_pEngine.load()) {
            engine->m_journal = journal;
            engine->m_desktopNotification = desktopNotification;
            engine->m_removeReminder = removeReminder;
        }
    }
};

const bool kRegistered = (RegisterExtProppage(), true);

}  // namespace

std::unique_ptr<IExtProppageEngine> MakeRunningEngineAccess() {
    return std::make_unique<RunningEngineAccess>();
}

void RegisterExtProppage() {
    RegisterPropertyPage<CExtProppage, kExtProppageRegistryScript>(CLSID_ExtProppage);
}

CExtProppage::CExtProppage()
    : CPropertyPageControl(kExtProppageTemplate, MakeRunningEngineAccess()) {
    // This page's flag holds VT_BOOL from the start.
    m_dirty = CComVariant(false);
    (void)kRegistered;
}

CExtProppage::~CExtProppage() {
    ReleasePage();
}

bool CExtProppage::ProcessWindowMessage(HWND, UINT msg, WPARAM wParam, LPARAM lParam,
                                        LRESULT& result) {
    result = 0;
    if (msg == WM_INITDIALOG) {
        OnInitDialog();
        result = TRUE;
        return true;
    }
    if (msg == WM_COMMAND) {
        const int id = LOWORD(wParam);
        const WORD code = HIWORD(wParam);
        switch (id) {
            case kAccountCombo:
                if (code == CBN_SELCHANGE)
                    return OnAccountSelChange(), true;
                break;
            case kAddressCombo:
            case kCategoryCombo:
                if (code == CBN_SELCHANGE || code == CBN_EDITCHANGE)
                    return OnMailOrCategoryChange(), true;
                break;
            case kAddCategoryButton:
                if (code == BN_CLICKED)
                    return OnAddCategory(), true;
                break;
            case kRemoveCategoryButton:
                if (code == BN_CLICKED)
                    return OnRemoveCategory(), true;
                break;
            case kLinkedCategoriesList:
                if (code == LBN_SELCHANGE)
                    return OnMappingSelChange(), true;
                break;
            case kDebugCheck:
            case kJournalCheck:
            case kDesktopNotificationCheck:
            case kRemoveRemindersCheck:
                if (code == BN_CLICKED)
                    return OnSwitchClicked(id), true;
                break;
            default:
                break;
        }
        return false;
    }
    if (msg == WM_CTLCOLORDLG || msg == WM_CTLCOLORSTATIC) {
        result = OnCtlColor(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam));
        // Without the themed brush the default colours apply.
        return result != 0;
    }
    if (msg == WM_NOTIFY && lParam) {
        const NMHDR* header = reinterpret_cast<const NMHDR*>(lParam);
        if (header->code == NM_CLICK && header->idFrom == static_cast<UINT_PTR>(kDebugLogLink))
            return OnOpenDebugLog(), true;
        if (header->code == NM_CLICK && header->idFrom == static_cast<UINT_PTR>(kErrorLogLink))
            return OnOpenErrorLog(), true;
    }
    return false;
}

void CExtProppage::OnInitDialog() {
    HWND page = m_hWnd;
    LONG_PTR exStyle = GetWindowLongPtrW(page, GWL_EXSTYLE);
    SetWindowLongPtrW(page, GWL_EXSTYLE, exStyle & ~static_cast<LONG_PTR>(0x00400000 | 0x00100000));
    m_background.Capture(GetParent(page));
    AttachButtons();
    ReadSwitches();
    CentreControls(page, GetParent(page), kFirstSeparator, kCentredControls);
    SetTexts();

    FillAccounts();
    FillMailAddresses();
    FillCategories();
    FillConfigOverview();

    m_dirty = CComVariant(false);
    NotifySite();
}

void CExtProppage::AttachButtons() {
    if (!m_buttonImages)
        m_buttonImages = CreatePageButtonImages(4);
    const LCID language = g_UILanguage.load();
    AttachPageButton(m_addButton, GetDlgItem(m_hWnd, kAddCategoryButton), m_buttonImages,
                     LoadUiString(kAddToListString, language), {3, 3, 5, 4});
    AttachPageButton(m_removeButton, GetDlgItem(m_hWnd, kRemoveCategoryButton), m_buttonImages,
                     LoadUiString(kRemoveEntryString, language), {6, 6, 8, 7});
}

void CExtProppage::ReadSwitches() {
    HKEY config = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kConfigKeyPath, 0, KEY_READ, &config) == ERROR_SUCCESS) {
        for (const Switch& s : kSwitches) {
            DWORD type = 0, value = 0, size = sizeof(value);
            if (RegQueryValueExW(config, s.value, nullptr, &type, reinterpret_cast<BYTE*>(&value),
                                 &size) == ERROR_SUCCESS &&
                type == REG_DWORD && value == 1)
                CheckDlgButton(m_hWnd, s.id, BST_CHECKED);
        }
        RegCloseKey(config);
        // Only a page that read the switches follows the debug switch; without
        // the key the link keeps the template's enabled state.
        EnableWindow(GetDlgItem(m_hWnd, kDebugLogLink),
                     IsDlgButtonChecked(m_hWnd, kDebugCheck) == BST_CHECKED);
    }
}

void CExtProppage::SetTexts() {
    HWND page = m_hWnd;
    const LCID language = g_UILanguage.load();
    SetDlgItemTextW(page, kAccountLabel, LoadUiString(kSelectAccountString, language).c_str());
    SetDlgItemTextW(page, kCategoriesLabel, LoadUiString(kCategoriesString, language).c_str());
    SetDlgItemTextW(page, kDebugCheck, LoadUiString(kDebugString, language).c_str());
    SetDlgItemTextW(page, kJournalCheck, LoadUiString(kJournalString, language).c_str());
    SetDlgItemTextW(page, kDesktopNotificationCheck,
                    LoadUiString(kDesktopNotificationString, language).c_str());
    SetDlgItemTextW(page, kRemoveRemindersCheck,
                    LoadUiString(kRemoveRemindersString, language).c_str());
    SetDlgItemTextW(page, kDebugLogLink,
                    (L"<a>" + LoadUiString(kDebugLogString, language) + L"</a>").c_str());
    SetDlgItemTextW(page, kErrorLogLink,
                    (L"<a>" + LoadUiString(kErrorLogString, language) + L"</a>").c_str());
    SetDlgItemTextW(page, kOverviewLabel, LoadUiString(kOverviewString, language).c_str());
}

const CBmpBtn* CExtProppage::BitmapButton(int id) const {
    if (id == kAddCategoryButton)
        return &m_addButton;
    if (id == kRemoveCategoryButton)
        return &m_removeButton;
    return nullptr;
}

void CExtProppage::FillAccounts() {
    HWND combo = GetDlgItem(m_hWnd, kAccountCombo);
    const std::wstring standard = LoadUiString(kStandardAccountString, g_UILanguage.load());
    SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(standard.c_str()));
    SendMessageW(combo, CB_SELECTSTRING, static_cast<WPARAM>(-1),
                 reinterpret_cast<LPARAM>(standard.c_str()));
    if (!m_engine || !m_engine->Exists())
        return;
    QMRRDOSession* session = m_engine->Session();
    LONG chosen = -1;
    HKEY profileKey = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, ConfigKeyOfProfile(ProfileName(session)).c_str(), 0,
                      KEY_READ, &profileKey) == ERROR_SUCCESS) {
        DWORD type = 0, value = 0, size = sizeof(value);
        if (RegQueryValueExW(profileKey, L"MailAccount", nullptr, &type,
                             reinterpret_cast<BYTE*>(&value), &size) == ERROR_SUCCESS &&
            type == REG_DWORD)
            chosen = static_cast<LONG>(value);
        RegCloseKey(profileKey);
    }
    if (!session)
        return;
    CComPtr<QMRAccounts> accounts;
    if (!LogIfFailed(session->GetAccounts(&accounts), "Accounts2List::getAccounts") || !accounts)
        return;
    CComPtr<QMRAccountList> list;
    if (!LogIfFailed(accounts->GetOrder(kSendingOrder, &list), "Accounts2List::GetOrder") || !list)
        return;
    LONG count = 0;
    if (!LogIfFailed(list->Count(&count), "Accounts2List::Count"))
        return;
    for (LONG i = 1; i <= count; ++i) {
        CComPtr<QMRAccount> account;
        if (!LogIfFailed(list->Item(i, &account), "Accounts2List::getAccount") || !account)
            return;
        CComBSTR name;
        if (!LogIfFailed(account->Name(&name.m_str), "Accounts2List::getName"))
            return;
        const wchar_t* text = name.m_str ? name.m_str : L"";
        SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
        LONG id = 0;
        if (FAILED(account->ID(&id)))
            return;
        if (id == chosen) {
            // The whole name: a prefix search would pick "Homebase" for "Home"
            // and Apply would then store the other account.
            LRESULT index = SendMessageW(combo, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                         reinterpret_cast<LPARAM>(text));
            if (index >= 0)
                SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
        }
    }
}

void CExtProppage::FillMailAddresses() {
    HWND combo = GetDlgItem(m_hWnd, kAddressCombo);
    for (const std::wstring& a : KnownPartnerAddresses())
        SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(a.c_str()));
}

void CExtProppage::FillCategories() {
    HWND combo = GetDlgItem(m_hWnd, kCategoryCombo);
    for (const std::wstring& name : CategoryNames(m_engine.get()))
        SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name.c_str()));
}

void CExtProppage::FillConfigOverview() {
    HKEY folders = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kFoldersKeyPath, 0, KEY_READ, &folders) != ERROR_SUCCESS)
        return;
    HWND list = GetDlgItem(m_hWnd, kOverviewList);
    for (const std::wstring& folder : SubkeyNames(folders)) {
        HKEY key = nullptr;
        if (RegOpenKeyExW(folders, folder.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
            continue;
        std::wstring share, name;
        if (!ReadStringValue(key, L"ShareName", share))
            share = L"[APE]";
        ReadStringValue(key, L"Foldername", name);
        RegCloseKey(key);
        std::wstring line = share + L"=>" + name;
        if (line.size() > kMaxPath - 1)
            line.resize(kMaxPath - 1);
        SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(line.c_str()));
    }
    RegCloseKey(folders);
}

void CExtProppage::OnAccountSelChange() {
    MarkDirty();
}

void CExtProppage::OnSwitchClicked(int id) {
    MarkDirty();
    if (id == kDebugCheck)
        EnableWindow(GetDlgItem(m_hWnd, kDebugLogLink),
                     IsDlgButtonChecked(m_hWnd, kDebugCheck) == BST_CHECKED);
}

void CExtProppage::LoadUserCategories() {
    const std::wstring address = ComboText(GetDlgItem(m_hWnd, kAddressCombo));
    HWND list = GetDlgItem(m_hWnd, kLinkedCategoriesList);
    SendMessageW(list, LB_RESETCONTENT, 0, 0);
    // Without an address the path would name UserCategories itself, whose
    // subkeys are the partners, not categories.
    if (address.empty())
        return;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER,
                      (std::wstring(kUserCategoriesKeyPath) + L"\\" + address).c_str(), 0, KEY_READ,
                      &key) != ERROR_SUCCESS)
        return;
    for (const std::wstring& category : SubkeyNames(key))
        SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(category.c_str()));
    RegCloseKey(key);
}

void CExtProppage::OnMailOrCategoryChange() {
    LoadUserCategories();
    const std::wstring address = ComboText(GetDlgItem(m_hWnd, kAddressCombo));
    const std::wstring category = ComboText(GetDlgItem(m_hWnd, kCategoryCombo));
    if (!address.empty() && !category.empty())
        EnableWindow(GetDlgItem(m_hWnd, kAddCategoryButton), TRUE);
    NotifySite();
}

void CExtProppage::OnAddCategory() {
    HWND categoryCombo = GetDlgItem(m_hWnd, kCategoryCombo);
    HWND list = GetDlgItem(m_hWnd, kLinkedCategoriesList);
    const std::wstring category = ControlText(categoryCombo);
    if (SendMessageW(list, LB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                     reinterpret_cast<LPARAM>(category.c_str())) == LB_ERR)
        SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(category.c_str()));
    SetWindowTextW(categoryCombo, L"");
    EnableWindow(GetDlgItem(m_hWnd, kAddCategoryButton), FALSE);
    SaveUserCategories();
    MarkDirty();
}

void CExtProppage::OnRemoveCategory() {
    HWND list = GetDlgItem(m_hWnd, kLinkedCategoriesList);
    LRESULT sel = SendMessageW(list, LB_GETCURSEL, 0, 0);
    if (sel >= 0)
        SendMessageW(list, LB_DELETESTRING, static_cast<WPARAM>(sel), 0);
    EnableWindow(GetDlgItem(m_hWnd, kRemoveCategoryButton),
                 SendMessageW(list, LB_GETCOUNT, 0, 0) > 0);
    SaveUserCategories();
    MarkDirty();
}

void CExtProppage::OnMappingSelChange() {
    EnableWindow(GetDlgItem(m_hWnd, kRemoveCategoryButton), TRUE);
}

void CExtProppage::SaveUserCategories() {
    const std::wstring address = SelectedComboEntry(GetDlgItem(m_hWnd, kAddressCombo));
    if (SendMessageW(GetDlgItem(m_hWnd, kAddressCombo), CB_GETCURSEL, 0, 0) < 0)
        return;
    const std::wstring keyPath = std::wstring(kUserCategoriesKeyPath) + L"\\" + address;
    RegDeleteTreeW(HKEY_CURRENT_USER, keyPath.c_str());
    RegDeleteKeyW(HKEY_CURRENT_USER, keyPath.c_str());
    HWND list = GetDlgItem(m_hWnd, kLinkedCategoriesList);
    const int count = static_cast<int>(SendMessageW(list, LB_GETCOUNT, 0, 0));
    if (count <= 0)
        return;
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, keyPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &key, nullptr) != ERROR_SUCCESS)
        return;
    for (int i = 0; i < count; ++i) {
        HKEY sub = nullptr;
        if (RegCreateKeyExW(key, ListEntry(list, i).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &sub, nullptr) == ERROR_SUCCESS)
            RegCloseKey(sub);
    }
    RegCloseKey(key);
}

void CExtProppage::OpenLogViewer(const wchar_t* parameters) {
    const std::wstring directory = m_engine ? m_engine->ModuleDirectory() : std::wstring();
    std::wstring path = directory + kLogViewer;
    if (path.size() > kMaxPath - 1)
        path.resize(kMaxPath - 1);
    ShellExecuteW(m_hWnd, L"open", path.c_str(), parameters, directory.c_str(), SW_SHOWNORMAL);
}

void CExtProppage::OnOpenDebugLog() {
    OpenLogViewer(L"");
}

void CExtProppage::OnOpenErrorLog() {
    OpenLogViewer(L"errorlog");
}

HRESULT CExtProppage::Apply() {
    // Without the window there are no controls to take the settings from:
    // writing would clear every switch the person never saw.
    if (!m_hWnd || !m_engine || !m_engine->Exists())
        return S_OK;
    const std::wstring text = ControlText(GetDlgItem(m_hWnd, kAccountCombo));
    QMRRDOSession* session = m_engine->Session();
    HKEY profileKey = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, ConfigKeyOfProfile(ProfileName(session)).c_str(), 0,
                        nullptr, 0, KEY_ALL_ACCESS, nullptr, &profileKey,
                        nullptr) == ERROR_SUCCESS) {
        bool matched = false;
        LONG matchedId = -1;
        [&] {
            if (!session)
                return;
            CComPtr<QMRAccounts> accounts;
            if (!LogIfFailed(session->GetAccounts(&accounts), "AccountsFromList::getAccounts") ||
                !accounts)
                return;
            CComPtr<QMRAccountList> list;
            if (!LogIfFailed(accounts->GetOrder(kSendingOrder, &list), "Accounts2List::GetOrder") ||
                !list)
                return;
            LONG count = 0;
            if (!LogIfFailed(list->Count(&count), "Accounts2List::Count"))
                return;
            for (LONG i = 1; i <= count; ++i) {
                CComPtr<QMRAccount> account;
                if (!LogIfFailed(list->Item(i, &account), "AccountsFromList::getAccount") ||
                    !account)
                    return;
                CComBSTR name;
                if (!LogIfFailed(account->Name(&name.m_str), "AccountsFromList::getName"))
                    return;
                LONG id = 0;
                if (text == (name.m_str ? name.m_str : L"") && SUCCEEDED(account->ID(&id))) {
                    matched = true;
                    matchedId = id;
                }
            }
        }();
        DWORD value = matched ? static_cast<DWORD>(matchedId) : 0xFFFFFFFFu;
        RegSetValueExW(profileKey, L"MailAccount", 0, REG_DWORD,
                       reinterpret_cast<const BYTE*>(&value), sizeof(value));
        if (matched)
            m_engine->SetMailAccountIndex(matchedId);
        RegCloseKey(profileKey);
    }

    HKEY config = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kConfigKeyPath, 0, KEY_WRITE, &config) == ERROR_SUCCESS) {
        bool on[4] = {};
        for (std::size_t i = 0; i < 4; ++i) {
            on[i] = IsDlgButtonChecked(m_hWnd, kSwitches[i].id) == BST_CHECKED;
            DWORD value = on[i] ? 1 : 0;
            RegSetValueExW(config, kSwitches[i].value, 0, REG_DWORD,
                           reinterpret_cast<const BYTE*>(&value), sizeof(value));
        }
        DebugSwitch = on[0];
        m_engine->SetSwitches(on[1], on[2], on[3]);
        RegCloseKey(config);
    }
    return S_OK;
}

}  // namespace ui
