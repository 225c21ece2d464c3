#include "host/UserDirectory.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/store/Session.h"
#include "platform/win/Text.h"

namespace host {

namespace fs = std::filesystem;

namespace {

constexpr const char* kStoreFile = "mailbox.qms";
constexpr const char* kClientFile = "client.ini";

bool SafeProfileName(const std::wstring& name) {
    if (name.empty() || name.size() > 64 || name == L"." || name == L"..")
        return false;
    for (wchar_t c : name) {
        if (c < 0x20 || c == L'/' || c == L'\\' || c == L'\n' || c == L'\r')
            return false;
    }
    return name.front() != L' ' && name.back() != L' ';
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

HRESULT InitProfile(const std::string& userDirectory, const ProfileInit& init, std::string* error) {
    if (!SafeProfileName(init.profileName)) {
        *error =
            "the profile name must be 1 to 64 characters without '/', '\\' or control characters";
        return E_INVALIDARG;
    }
    std::size_t at = init.address.find(L'@');
    if (at == std::wstring::npos || at == 0 || at + 1 == init.address.size()) {
        *error = "the address must look like name@domain";
        return E_INVALIDARG;
    }
    std::error_code ec;
    fs::create_directories(fs::path(userDirectory) / "registry", ec);
    fs::create_directories(fs::path(userDirectory) / "drive_c", ec);
    std::string profilePath = store::Profile::FileFor(userDirectory, init.profileName);
    if (fs::exists(profilePath)) {
        *error = "the profile \"" + win::ToUtf8(init.profileName) + "\" exists already";
        return MAPI_E_COLLISION;
    }
    fs::create_directories(fs::path(profilePath).parent_path(), ec);
    if (ec) {
        *error =
            "cannot create " + fs::path(profilePath).parent_path().string() + ": " + ec.message();
        return MAPI_E_DISK_ERROR;
    }

    store::Profile profile;
    profile.name = init.profileName;
    store::ProfileStore st;
    st.file = kStoreFile;
    st.isDefault = true;
    if (init.exchange) {
        st.kind = store::StoreKind::ExchangeMailbox;
        st.tracking = store::ChangeTracking::Incremental;
        st.displayName = L"Mailbox - " + init.profileName;
        profile.exchangeVersion = init.exchangeVersion;
    } else {
        st.displayName = L"Personal Folders";
    }
    profile.stores.push_back(st);
    std::wstring accountName = init.address;
    profile.accounts.push_back({accountName, 1, init.address, 1});
    profile.connectionMode = init.exchange ? 800 : 0;
    HRESULT hr = profile.Save(profilePath);
    if (SUCCEEDED(hr))
        hr = profile.CreateMissingStores(profilePath);
    if (FAILED(hr)) {
        *error = "cannot write the profile " + profilePath;
        return hr;
    }
    std::ofstream(fs::path(profilePath).parent_path() / kClientFile, std::ios::binary)
        << "Version=" << win::ToUtf8(init.version) << "\n";
    return S_OK;
}

bool IsUserDirectory(const std::string& path) {
    std::error_code ec;
    return fs::is_directory(fs::path(path) / "registry", ec) &&
           fs::is_directory(fs::path(path) / "profiles", ec);
}

std::vector<std::wstring> ProfileNames(const std::string& userDirectory) {
    std::vector<std::wstring> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(fs::path(userDirectory) / "profiles", ec)) {
        if (fs::exists(entry.path() / "profile.ini"))
            names.push_back(win::FromUtf8(entry.path().filename().string()));
    }
    std::sort(names.begin(), names.end());
    return names;
}

HRESULT LoadHostProfile(const std::string& userDirectory, const std::wstring& profileName,
                        HostProfile* out, std::string* error) {
    std::vector<std::wstring> names = ProfileNames(userDirectory);
    std::wstring name = profileName;
    if (name.empty() && !names.empty())
        name = names.front();
    if (name.empty() || std::find(names.begin(), names.end(), name) == names.end()) {
        std::string known;
        for (const auto& n : names)
            known += (known.empty() ? "" : ", ") + win::ToUtf8(n);
        *error = names.empty() ? "the user directory " + userDirectory +
                                     " has no profile (create one with outlook-host init)"
                               : "no profile \"" + win::ToUtf8(name) + "\" in " + userDirectory +
                                     " (profiles: " + known + ")";
        return MAPI_E_NOT_FOUND;
    }
    HostProfile p;
    p.profilePath = store::Profile::FileFor(userDirectory, name);
    int line = 0;
    HRESULT hr = store::Profile::Load(p.profilePath, &p.description, &line);
    if (FAILED(hr)) {
        *error =
            "cannot read " + p.profilePath + (line ? " (line " + std::to_string(line) + ")" : "");
        return hr;
    }
    if (p.description.name.empty())
        p.description.name = name;
    p.mapi.profileName = p.description.name;
    p.mapi.profilePath = p.profilePath;
    const store::ProfileStore* def = p.description.DefaultStore();
    for (const auto& st : p.description.stores)
        p.mapi.stores.push_back({store::Profile::StorePath(p.profilePath, st), &st == def});
    for (const auto& account : p.description.accounts) {
        if (!account.address.empty())
            p.addresses.push_back(account.address);
    }
    std::string client = ReadText((fs::path(p.profilePath).parent_path() / kClientFile).string());
    std::size_t pos = client.find("Version=");
    if (pos != std::string::npos) {
        std::string v = client.substr(pos + 8);
        v = v.substr(0, v.find_first_of("\r\n"));
        p.version = win::FromUtf8(v);
    }
    if (p.version.empty())
        p.version = kDefaultClientVersion;
    *out = std::move(p);
    return S_OK;
}

}  // namespace host
