#include "host/AddInLoader.h"

#include <algorithm>

#include "platform/com/Com.h"
#include "platform/com/SafeArray.h"
#include "platform/win/Registry.h"
#include "platform/win/Text.h"

namespace host {

namespace {

constexpr DWORD kLoadConnected = 0x1;
constexpr DWORD kLoadAtStartup = 0x2;

std::string Hex(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
    return text;
}

// An empty custom array, as the client passes it.
struct CustomArray {
    CustomArray() : array(SafeArrayCreateVector(VT_VARIANT, 0, 0)) {}
    ~CustomArray() {
        if (array)
            SafeArrayDestroy(array);
    }
    SAFEARRAY* array;
};

}  // namespace

AddInLoader::AddInLoader(outlook::OutlookApplication* app,
                         std::function<void(const std::string&)> log)
    : m_app(app), m_log(std::move(log)) {}

AddInLoader::~AddInLoader() {
    m_self.reset();
    DisconnectAll();
}

std::wstring AddInLoader::ListKey(const std::wstring& profileName) {
    return L"Software\\Microsoft\\Office\\Outlook\\Profiles\\" + profileName + L"\\Addins";
}

HRESULT AddInLoader::AddToList(const std::wstring& profileName, const std::wstring& progId,
                               const std::wstring& friendlyName) {
    HKEY key = nullptr;
    std::wstring path = ListKey(profileName) + L"\\" + progId;
    LSTATUS st = RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                 nullptr, &key, nullptr);
    if (st != ERROR_SUCCESS)
        return HRESULT_FROM_WIN32(st);
    DWORD behavior = kLoadConnected | kLoadAtStartup;
    st = RegSetValueExW(key, L"LoadBehavior", 0, REG_DWORD,
                        reinterpret_cast<const BYTE*>(&behavior), sizeof behavior);
    if (st == ERROR_SUCCESS)
        st = RegSetValueExW(key, L"FriendlyName", 0, REG_SZ, friendlyName.c_str(),
                            static_cast<DWORD>((friendlyName.size() + 1) * 2));
    RegCloseKey(key);
    return HRESULT_FROM_WIN32(st);
}

int AddInLoader::LoadAll(const std::wstring& profileName) {
    HKEY list = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, ListKey(profileName).c_str(), 0, KEY_READ, &list) !=
        ERROR_SUCCESS)
        return 0;
    std::vector<std::pair<std::wstring, std::wstring>> toLoad;
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD cch = 256;
        if (RegEnumKeyExW(list, i, name, &cch, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        HKEY entry = nullptr;
        if (RegOpenKeyExW(list, name, 0, KEY_READ, &entry) != ERROR_SUCCESS)
            continue;
        DWORD behavior = 0, size = sizeof behavior, type = 0;
        if (RegQueryValueExW(entry, L"LoadBehavior", nullptr, &type,
                             reinterpret_cast<BYTE*>(&behavior), &size) != ERROR_SUCCESS ||
            type != REG_DWORD)
            behavior = 0;
        wchar_t friendly[256] = {};
        DWORD bytes = sizeof(friendly) - sizeof(wchar_t);
        if (RegQueryValueExW(entry, L"FriendlyName", nullptr, &type, friendly, &bytes) !=
            ERROR_SUCCESS)
            friendly[0] = 0;
        RegCloseKey(entry);
        if ((behavior & (kLoadConnected | kLoadAtStartup)) == (kLoadConnected | kLoadAtStartup))
            toLoad.emplace_back(name, friendly);
        else if (m_log)
            m_log("add-in " + win::ToUtf8(name) + " is not set to load at start-up");
    }
    RegCloseKey(list);
    int connected = 0;
    for (const auto& [progId, friendly] : toLoad) {
        if (SUCCEEDED(Load(progId, friendly)))
            ++connected;
    }
    return connected;
}

HRESULT AddInLoader::Load(const std::wstring& progId, const std::wstring& description) {
    std::string name = win::ToUtf8(progId);
    CLSID clsid{};
    HRESULT hr = CLSIDFromProgID(progId.c_str(), &clsid);
    CComPtr<_IDTExtensibility2> addIn;
    if (SUCCEEDED(hr))
        hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID__IDTExtensibility2,
                              reinterpret_cast<void**>(&addIn));
    if (FAILED(hr)) {
        if (m_log)
            m_log("add-in " + name + " cannot be created: " + Hex(hr));
        return hr;
    }
    Entry entry{progId, addIn, {}};
    std::weak_ptr<AddInLoader*> self = m_self;
    entry.record = m_app->AddComAddIn(progId, description, [self, progId](bool connect) {
        if (auto loader = self.lock(); loader && !connect)
            (*loader)->OnDisconnectedByAddIn(progId);
    });
    CustomArray custom;
    hr = addIn->OnConnection(m_app->Application(), ext_cm_Startup, entry.record, &custom.array);
    if (FAILED(hr)) {
        if (m_log)
            m_log("add-in " + name + " failed to connect: " + Hex(hr));
        return hr;
    }
    if (m_log)
        m_log("add-in " + name + " connected");
    CustomArray startup;
    addIn->OnStartupComplete(&startup.array);
    m_entries.push_back(std::move(entry));
    return S_OK;
}

void AddInLoader::OnDisconnectedByAddIn(const std::wstring& progId) {
    auto it = std::find_if(m_entries.begin(), m_entries.end(),
                           [&](const Entry& e) { return e.progId == progId; });
    if (it == m_entries.end())
        return;
    // Out of the list before the call: the add-in may quit the client from
    // inside it.
    Entry entry = std::move(*it);
    m_entries.erase(it);
    CComPtr<_IDTExtensibility2> addIn = entry.addIn;
    m_disconnected.push_back(std::move(entry));
    CustomArray custom;
    addIn->OnDisconnection(ext_dm_UserClosed, &custom.array);
    if (m_log)
        m_log("add-in " + win::ToUtf8(progId) + " disconnected");
}

void AddInLoader::DisconnectAll() {
    std::vector<Entry> entries = std::move(m_entries);
    m_entries.clear();
    for (Entry& e : entries) {
        CustomArray a, b;
        e.addIn->OnBeginShutdown(&a.array);
        e.addIn->OnDisconnection(ext_dm_HostShutdown, &b.array);
        e.addIn.Release();
        e.record.Release();
        if (m_log)
            m_log("add-in " + win::ToUtf8(e.progId) + " released");
    }
    std::vector<Entry> disconnected = std::move(m_disconnected);
    m_disconnected.clear();
    for (Entry& e : disconnected) {
        e.addIn.Release();
        e.record.Release();
        if (m_log)
            m_log("add-in " + win::ToUtf8(e.progId) + " released");
    }
}

std::vector<std::wstring> AddInLoader::Connected() const {
    std::vector<std::wstring> ids;
    for (const Entry& e : m_entries)
        ids.push_back(e.progId);
    return ids;
}

}  // namespace host
