#include "Quillmere/core/Settings.h"

#include <string>
#include <vector>

#include "Quillmere/core/AddinGlobals.h"
#include "Quillmere/core/DebugLog.h"
#include "Quillmere/core/FolderObj.h"
#include "Quillmere/core/HelperObjects.h"
#include "Quillmere/core/SyncEngine.h"
#include "platform/win/Files.h"
#include "platform/win/Registry.h"
#include "platform/win/Text.h"

namespace {

BasicSyncProc g_basicSyncProc = nullptr;
CancelSendQueueProc g_cancelSendQueueProc = nullptr;
ProfileKnownProc g_profileKnownProc = nullptr;

constexpr REGSAM kReadWrite = 0x2001F;
constexpr DWORD kShortTextBytes = 520;  // 260 UTF-16 units
constexpr DWORD kLongTextBytes = 1560;  // `Profil` and `SID`
constexpr ULONG kPrFolderType = 0x36010003;
constexpr LONG kSearchFolder = 2;
constexpr LONG kStoreKindForeignMailbox = 4;

// Closes a key handle at scope end.
class RegKey {
public:
    RegKey() = default;
    ~RegKey() { Close(); }
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;
    LSTATUS Open(HKEY parent, const wchar_t* path, REGSAM access) {
        Close();
        return RegOpenKeyExW(parent, path, 0, access, &m_key);
    }
    void Close() {
        if (m_key)
            RegCloseKey(m_key);
        m_key = nullptr;
    }
    HKEY Get() const { return m_key; }
    explicit operator bool() const { return m_key != nullptr; }

private:
    HKEY m_key = nullptr;
};

// A DWORD counts only when the read succeeds and its type is REG_DWORD.
bool ReadDword(HKEY key, const wchar_t* name, DWORD& value) {
    DWORD type = 0;
    DWORD data = 0;
    DWORD size = sizeof data;
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof data)
        return false;
    value = data;
    return true;
}

DWORD ReadFlag(HKEY key, const wchar_t* name) {
    DWORD value = 0;
    return ReadDword(key, name, value) ? value : 0;
}

// A text value: REG_SZ or REG_EXPAND_SZ, an even byte length within maxBytes,
// ending in a NUL character. Anything else counts as missing.
bool ReadText(HKEY key, const wchar_t* name, DWORD maxBytes, std::wstring& text) {
    std::vector<wchar_t> buffer(maxBytes / 2 + 1, L'\0');
    DWORD type = 0;
    DWORD size = maxBytes;
    if (RegQueryValueExW(key, name, nullptr, &type, buffer.data(), &size) != ERROR_SUCCESS)
        return false;
    if ((type != REG_SZ && type != REG_EXPAND_SZ) || size < 2 || size % 2 != 0 || size > maxBytes ||
        buffer[size / 2 - 1] != L'\0')
        return false;
    text.assign(buffer.data(), size / 2 - 1);
    return true;
}

void SetDword(HKEY key, const wchar_t* name, DWORD value) {
    RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

void SetText(HKEY key, const wchar_t* name, const std::wstring& text) {
    RegSetValueExW(key, name, 0, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * 2));
}

void Append(CSyncEngine* engine, const std::wstring& text) {
    AppendSettingsText(engine, text.c_str());
}

std::wstring ProfileName(CSyncEngine* engine) {
    CComBSTR name;
    if (!engine->Session() || FAILED(engine->Session()->GetProfileName(&name)))
        return L"";
    return std::wstring(name.View());
}

void ReadMailAccount(CSyncEngine* engine, const std::wstring& profile) {
    RegKey key;
    DWORD index = 0;
    std::wstring path = std::wstring(kConfigKeyPath) + L"\\" + profile;
    if (key.Open(HKEY_CURRENT_USER, path.c_str(), KEY_READ) == ERROR_SUCCESS &&
        ReadDword(key.Get(), L"MailAccount", index))
        engine->SetMailAccountIndex(static_cast<LONG>(index));
    else
        engine->SetMailAccountIndex(-1);
}

void LogVersions(CSyncEngine* engine) {
    wchar_t version[64] = L"";
    GetModuleVersionString(engine, version, sizeof version / sizeof version[0]);
    WriteDebugLogFormat("Debugger started, Version %s", win::ToAnsi(version).c_str());
    CComBSTR rdoVersion;
    if (engine->Utils())
        engine->Utils()->GetVersion(&rdoVersion);
    WriteDebugLogValue("RDO Version:", rdoVersion);
    std::wstring outlookVersion;
    if (engine->Outlook())
        engine->Outlook()->GetVersion(outlookVersion);
    WriteDebugLogValue("Outlook Version:", outlookVersion.c_str());
}

// Step 4: the global values of the Config key.
void ReadGlobalSettings(CSyncEngine* engine, HKEY config) {
    std::wstring from;
    if (ReadText(config, L"From", kShortTextBytes, from)) {
        engine->SetSpecialSender(from);
        Append(engine, L"- SpecialSenderAddress: " + from + L"\n");
    } else {
        engine->SetSpecialSender(std::nullopt);
    }
    DebugSwitch = ReadFlag(config, L"debug") == 1;
    engine->m_totalDebugging = ReadFlag(config, L"total_debugging") == 1;
    if (engine->m_totalDebugging && DebugSwitch)
        WriteDebugLog("Superdebug");
    engine->m_journal = ReadFlag(config, L"journal") == 1;
    engine->m_importAsPrivate = ReadFlag(config, L"setImportAsPrivate") == 1;
    DWORD value = 0;
    if (ReadDword(config, L"breakBasicSync", value)) {
        engine->m_breakBasicSync = value == 1;
        SetDword(config, L"breakBasicSync", 0);
    } else {
        engine->m_breakBasicSync = false;
    }
    engine->m_removeReminder = ReadFlag(config, L"removereminder") == 1;
    engine->m_packetCount = ReadDword(config, L"bs_collect_count", value) ? value : 30;
    engine->m_packetTime = ReadDword(config, L"bs_collect_time", value) ? value : 90;
    engine->m_desktopNotification = ReadFlag(config, L"desktopnotification") == 1;
    if (ReadDword(config, L"pack_every_time", value)) {
        engine->m_packEveryTime = value == 1;
        Append(engine, L"- compress all mails");
    } else {
        engine->m_packEveryTime = false;
    }
    if (DebugSwitch) {
        LogVersions(engine);
        Append(engine, L"- Debugger in use");
    }
}

// Step 6.2: a folder key without `Profil`, or with an empty one, belongs to
// every profile; otherwise the upper-cased names must be equal.
bool ProfileMatches(HKEY folderKey, const std::wstring& profile) {
    std::wstring stored;
    if (!ReadText(folderKey, L"Profil", kLongTextBytes, stored) || stored.empty())
        return true;
    std::wstring left = profile;
    std::wstring right = stored;
    CharUpperBuffW(left.data(), static_cast<DWORD>(left.size()));
    CharUpperBuffW(right.data(), static_cast<DWORD>(right.size()));
    if (VarBstrCmp(left.c_str(), right.c_str(), LOCALE_USER_DEFAULT, 0) == VARCMP_EQ) {
        WriteDebugLog("PRF==PRF");
        return true;
    }
    return false;
}

struct FolderSettings {
    DWORD isAlternateInbox = 0;
    DWORD useVersionCheck = 0;
    std::wstring sid;
    std::wstring shareName;
    std::wstring password;
    std::wstring category;
};

FolderSettings ReadFolderSettings(HKEY key) {
    FolderSettings s;
    s.isAlternateInbox = ReadFlag(key, L"ISALTERNATEINBOX");
    s.useVersionCheck = ReadFlag(key, L"USEVERSIONCHECK");
    if (!ReadText(key, L"SID", kLongTextBytes, s.sid))
        LogHResult(0, "SID nicht gelesen");
    ReadText(key, L"ShareName", kShortTextBytes, s.shareName);
    ReadText(key, L"Password", kShortTextBytes, s.password);
    ReadText(key, L"Categorie", kShortTextBytes, s.category);
    return s;
}

// Step 6.4: the folder through Outlook. False when it can't be had.
bool OpenOutlookFolder(CSyncEngine* engine, const std::wstring& entryId,
                       const FolderSettings& settings, core::OutlookFolder& folder) {
    HRESULT hr = engine->Outlook()
                     ? engine->Outlook()->GetFolderFromID(entryId, settings.sid, folder)
                     : E_POINTER;
    if (SUCCEEDED(hr) && (!folder.folder || folder.name.empty())) {
        hr = MAPI_E_NOT_FOUND;
        LogHResult(hr, "folder does not exist");
    }
    if (SUCCEEDED(hr))
        return true;
    if (DebugSwitch)
        WriteDebugLogValue("wrong store/fldr deleted", settings.shareName.c_str());
    LogHResult(hr, "Folder doesn't exist");
    return false;
}

CFolderObj* MakeAlternateInbox(CSyncEngine* engine, const core::OutlookFolder& folder) {
    auto* object = new CFolderObj(folder.folder, CFolderObj::kAlternateInbox, false, folder.entryId,
                                  folder.storeId);
    Append(engine, L"\n+SpecialInbox: " + folder.name + L"\n");
    // Which store property marks a foreign store is this code's choice: the
    // store kind "Exchange mailbox of another user".
    CComPtr<QMRRDOStore> store;
    CComBSTR storeId(folder.storeId);
    CComVariant flags(static_cast<ULONG>(16));
    LONG kind = 0;
    if (engine->Session() && SUCCEEDED(engine->Session()->GetStoreFromID(storeId, flags, &store)) &&
        SUCCEEDED(store->GetStoreKind(&kind)) && kind == kStoreKindForeignMailbox)
        object->Sink()->m_alternateStore = true;
    return object;
}

// Step 6.6: whether a shared folder lies in an Exchange store. Sets ok to
// false when the folder must be left out.
bool IsExchangeFolder(CSyncEngine* engine, const core::OutlookFolder& folder, bool& ok) {
    ok = true;
    QMRRDOSession* session = engine->Session();
    if (!session) {
        LogHResult(0, "don't have any session");
        ok = false;
        return false;
    }
    LONG mode = 0;
    HRESULT hr = session->GetConnectionMode(&mode);
    if (FAILED(hr)) {
        LogHResult(hr, "don't know olmode");
        ok = false;
        return false;
    }
    WriteDebugLogFormat("ConMode: %d", static_cast<int>(mode));
    if (mode == kQmrConnectionNoExchange)
        return false;
    CComBSTR version;
    if (FAILED(session->GetExchangeVersion(&version)) || version.Length() == 0) {
        WriteDebugLog("USING PST MODE, exchangeversion=NULL");
        return false;
    }
    WriteDebugLogValue("ExchangeVersion: ", version);
    if (!LogIfFailed(folder.storeId.empty() ? MAPI_E_NOT_FOUND : S_OK, "No StoreId"))
        return false;
    CComPtr<QMRRDOStore> store;
    CComBSTR storeId(folder.storeId);
    CComVariant flags(static_cast<LONG>(16), VT_I4);
    if (!LogIfFailed(session->GetStoreFromID(storeId, flags, &store), "No Store"))
        return false;
    LONG kind = 0;
    if (FAILED(store->GetStoreKind(&kind)) || kind < 3 || kind > 5) {
        WriteDebugLog("This Store is Not an Exchange Store.");
        return false;
    }
    return true;
}

void ApplyFilters(CSyncEngine* engine, HKEY key, CItemsEvents* sink) {
    sink->m_dontSyncPrivateItems = ReadFlag(key, L"DONT_SYNC_PRIV_ITEMS") == 1;
    if (sink->m_dontSyncPrivateItems) {
        Append(engine, L" Filter:DontSyncPrivateItems[true]\n");
    } else {
        Append(engine, L" Filter:DontSyncPrivateItems[false]\n");
        sink->m_syncOnlyPrivateItems = ReadFlag(key, L"SYNC_ONLY_PRIV_ITEMS") == 1;
        Append(engine, sink->m_syncOnlyPrivateItems ? L" Filter:SyncOnlyPrivateItems[true]\n"
                                                    : L" Filter:SyncOnlyPrivateItems[false]\n");
    }
    sink->m_dontSyncMeetingRequests = ReadFlag(key, L"DONT_SYNC_BSP_ITEMS") == 1;
    Append(engine, sink->m_dontSyncMeetingRequests ? L" Filter:DontSyncMeetingRequests[true]\n"
                                                   : L" Filter:DontSyncMeetingRequests[false]\n");
    sink->m_dontSyncHolidayItems = ReadFlag(key, L"DONT_SYNC_HOLIDAY_ITEMS") == 1;
    Append(engine, sink->m_dontSyncHolidayItems ? L" Filter:DontSyncHolidayItems[true]\n"
                                                : L" Filter:DontSyncHolidayItems[false]\n");
}

// Step 6.9: a set BASICSYNC is reset at once; returns the value read.
DWORD TakeBasicSyncRequest(HKEY key) {
    DWORD value = 0;
    if (!ReadDword(key, L"BASICSYNC", value) || value == 0)
        return 0;
    DWORD zero = 0;
    if (RegSetValueExW(key, L"BASICSYNC", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&zero),
                       sizeof zero) != ERROR_SUCCESS)
        LogHResult(0, "RESET BS DOESNT WORK");
    return value;
}

// The folder's PR_FOLDER_TYPE, read through its MAPIOBJECT; 0 when unknown.
LONG FolderType(CSyncEngine* engine, IDispatch* folder) {
    if (!folder || !engine->Utils())
        return 0;
    constexpr LCID kUserDefault = 0x400;
    DISPPARAMS none;
    CComVariant mapiObject;
    if (FAILED(folder->Invoke(outlook::dispid::kMAPIOBJECT, IID_NULL, kUserDefault,
                              DISPATCH_METHOD | DISPATCH_PROPERTYGET, &none, &mapiObject, nullptr,
                              nullptr)) ||
        mapiObject.vt != VT_UNKNOWN)
        return 0;
    CComVariant type;
    if (FAILED(engine->Utils()->HrGetOneProp(mapiObject.punkVal, kPrFolderType, &type)) ||
        type.vt != VT_I4)
        return 0;
    return type.lVal;
}

void LogAddedFolder(CSyncEngine* engine, const core::OutlookFolder& folder,
                    const std::wstring& shareName) {
    if (!DebugSwitch)
        return;
    std::wstring line = L"GetSetting:Add folder:";
    if (FolderType(engine, folder.folder) == kSearchFolder)
        line += L"Searchfolder:";
    line += folder.name + L" share as " + shareName;
    WriteDebugLog(line.c_str());
}

// Step 6 for one subkey. Returns true when the folder matched the profile.
bool LoadFolder(CSyncEngine* engine, HKEY folders, const std::wstring& entryId,
                const std::wstring& profile, bool reload) {
    WriteDebugLog("--------ADDFOLDER--------");
    WriteDebugLogValue("Profilname: ", profile.c_str());
    RegKey key;
    if (key.Open(folders, entryId.c_str(), KEY_ALL_ACCESS) != ERROR_SUCCESS)
        return false;
    if (!ProfileMatches(key.Get(), profile)) {
        WriteDebugLog("Profile not matched");
        return false;
    }
    FolderSettings settings = ReadFolderSettings(key.Get());
    core::OutlookFolder folder;
    if (!OpenOutlookFolder(engine, entryId, settings, folder))
        return true;

    CFolderObj* object = nullptr;
    if (settings.isAlternateInbox == 1) {
        object = MakeAlternateInbox(engine, folder);
    } else {
        bool ok = true;
        bool exchange = IsExchangeFolder(engine, folder, ok);
        if (!ok)
            return true;
        object = new CFolderObj(folder.folder, CFolderObj::kSharedFolder, exchange, folder.entryId,
                                folder.storeId);
        Append(engine, L"\n+SharedFolder: " + folder.name + L" -> " + settings.shareName + L"\n");
    }
    ApplyFilters(engine, key.Get(), object->Sink());
    object->m_password = settings.password;
    Append(engine, settings.password.empty() ? L" Folder isn't passwordprotected\n"
                                             : L" Folder is passwordprotected\n");
    DWORD basicSync = TakeBasicSyncRequest(key.Get());
    object->Sink()->m_shareName = settings.shareName;
    object->m_shareName = settings.shareName;
    object->m_category = settings.category;
    object->m_useVersionCheck = settings.useVersionCheck == 1;
    if (!engine->AppendFolder(object)) {
        // The table can't grow: the folder is left out rather than kept
        // outside the table, where nothing would stop or free it.
        delete object;
        return true;
    }
    LogAddedFolder(engine, folder, settings.shareName);
    if (reload && basicSync == 1) {
        WriteDebugLog("--------BASICSYNC--------");
        // An Exchange folder's scan state is read before the basic sync marks
        // its items (its thread, which would read it, starts only after), so
        // that the first scan reports the marked items against that state.
        if (object->IsExchange()) {
            object->SetExchangeBasicSync(0);
            object->LoadSyncDataOwn();
        }
        if (g_basicSyncProc)
            g_basicSyncProc(engine, object);
    }
    object->Start();
    WriteDebugLog("--------FOLDERADDED--------");
    return true;
}

bool SameEntry(CSyncEngine* engine, BSTR left, BSTR right) {
    if (engine->Utils()) {
        VARIANT_BOOL same = VARIANT_FALSE;
        if (SUCCEEDED(engine->Utils()->CompareEntryIDs(left, right, &same)))
            return same != VARIANT_FALSE;
    }
    return VarBstrCmp(left, right, LOCALE_USER_DEFAULT, NORM_IGNORECASE) == VARCMP_EQ;
}

// Step 7: registers the Inbox of one other store as an alternate inbox.
void RegisterAlternateInbox(CSyncEngine* engine, QMRRDOStore* store, const std::wstring& profile) {
    LONG kind = 0;
    if (FAILED(store->GetStoreKind(&kind)) || (kind >= 4 && kind <= 6))
        return;
    CComPtr<QMRMAPIFolder> inbox;
    CComBSTR inboxName;
    if (FAILED(store->GetDefaultFolder(6, &inbox)) || FAILED(inbox->GetName(&inboxName)) ||
        inboxName.Length() == 0)
        return;
    CComBSTR storeName;
    store->GetName(&storeName);
    if (storeName == L"Archive" || storeName == L"Archiv")
        return;
    CComBSTR inboxId;
    CComBSTR storeId;
    if (FAILED(inbox->GetEntryID(&inboxId)) || FAILED(store->GetEntryID(&storeId)))
        return;
    std::wstring path = std::wstring(kFoldersKeyPath) + L"\\" + std::wstring(inboxId.View());
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return;
    SetDword(key, L"used", 1);
    SetText(key, L"SID", std::wstring(storeId.View()));
    SetText(key, L"Profil", profile);
    SetDword(key, L"ISALTERNATEINBOX", 1);
    SetText(key, L"Foldername", std::wstring(inboxName.View()));
    SetText(key, L"Storename", std::wstring(storeName.View()));
    RegCloseKey(key);
}

void MarkAlternateInboxes(CSyncEngine* engine, const std::wstring& profile) {
    QMRRDOSession* session = engine->Session();
    CComPtr<QMRRDOStores> stores;
    if (!LogIfFailed(session ? session->GetStores(&stores) : E_POINTER,
                     "NO stores to mark for alternate inbox"))
        return;
    CComPtr<QMRRDOStore> defaultStore;
    CComBSTR defaultId;
    if (SUCCEEDED(stores->GetDefaultStore(&defaultStore)))
        defaultStore->GetEntryID(&defaultId);
    LONG count = 0;
    stores->GetCount(&count);
    for (LONG i = 1; i <= count; ++i) {
        CComPtr<QMRRDOStore> store;
        CComBSTR id;
        if (FAILED(stores->Item(i, &store)) || FAILED(store->GetEntryID(&id)))
            continue;
        if (defaultId.Length() > 0 && SameEntry(engine, defaultId, id))
            continue;
        RegisterAlternateInbox(engine, store, profile);
    }
}

}  // namespace

void SetBasicSyncProc(BasicSyncProc proc) {
    g_basicSyncProc = proc;
}

void SetCancelSendQueueProc(CancelSendQueueProc proc) {
    g_cancelSendQueueProc = proc;
}

void SetProfileKnownProc(ProfileKnownProc proc) {
    g_profileKnownProc = proc;
}

LCID GetConfiguredLCID() {
    RegKey key;
    if (key.Open(HKEY_LOCAL_MACHINE, kConfigKeyPath, KEY_READ) != ERROR_SUCCESS &&
        key.Open(HKEY_CURRENT_USER, kConfigKeyPath, KEY_READ) != ERROR_SUCCESS)
        return GetThreadLocale();
    DWORD type = 0;
    DWORD value = 0;
    DWORD size = sizeof value;
    // The value's type is not looked at: any four bytes count.
    if (RegQueryValueExW(key.Get(), L"LCID", nullptr, &type, reinterpret_cast<BYTE*>(&value),
                         &size) != ERROR_SUCCESS ||
        size != sizeof value || value == 0xFFFFFFFF)
        return GetThreadLocale();
    return value;
}

// A settings key that exists but can't be read (a damaged registry hive
// fails every call with ERROR_BADDB): synchronisation stays off until it is
// repaired, and the error log says so, naming the key. A missing key is no
// error (nothing is configured yet).
void ReportUnreadableSettings(LSTATUS status, const wchar_t* path) {
    if (status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND || status == ERROR_PATH_NOT_FOUND)
        return;
    std::string line =
        "LoadSettings::registry unreadable, synchronisation off: HKEY_CURRENT_USER\\" +
        win::ToAnsi(path);
    LogHResult(HRESULT_FROM_WIN32(static_cast<DWORD>(status)), line.c_str());
}

void LoadSettings(CSyncEngine* engine, bool reload) {
    if (!engine)
        return;
    engine->m_mainInboxRequest = true;
    engine->m_alternateInboxRequest = true;
    DeleteFileW(engine->GetSettingsTextPath());

    std::wstring profile = ProfileName(engine);
    ReadMailAccount(engine, profile);
    // The queue files are known before the first folder thread may save
    // state that counts a queued change as handled.
    if (g_profileKnownProc && !profile.empty())
        g_profileKnownProc(engine, profile);

    {
        RegKey config;
        LSTATUS opened = config.Open(HKEY_CURRENT_USER, kConfigKeyPath, kReadWrite);
        if (opened == ERROR_SUCCESS) {
            Append(engine, L"Global:\n");
            ReadGlobalSettings(engine, config.Get());
        } else {
            ReportUnreadableSettings(opened, kConfigKeyPath);
            engine->SetSpecialSender(std::nullopt);
        }
    }

    RegKey folders;
    LSTATUS opened = folders.Open(HKEY_CURRENT_USER, kFoldersKeyPath, KEY_READ);
    ReportUnreadableSettings(opened, kFoldersKeyPath);
    if (opened == ERROR_SUCCESS) {
        Append(engine, L"\n\nSettings on each folder:\n\n");
        bool matched = false;
        for (DWORD index = 0;; ++index) {
            wchar_t name[kLongTextBytes];
            DWORD length = sizeof name / sizeof name[0];
            LSTATUS status = RegEnumKeyExW(folders.Get(), index, name, &length, nullptr, nullptr,
                                           nullptr, nullptr);
            if (status == ERROR_MORE_DATA)
                continue;
            if (status != ERROR_SUCCESS)
                break;
            if (LoadFolder(engine, folders.Get(), std::wstring(name, length), profile, reload))
                matched = true;
        }
        if (!matched)
            MarkAlternateInboxes(engine, profile);
    }

    if (engine->m_breakBasicSync) {
        if (g_cancelSendQueueProc)
            g_cancelSendQueueProc();
        WriteDebugLog("BasicSync was canceled");
    }
}
