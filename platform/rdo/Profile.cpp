#include "platform/rdo/Profile.h"

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>

#include "platform/store/Profile.h"
#include "platform/win/Environment.h"
#include "platform/win/Paths.h"

namespace rdo {
namespace {

std::mutex g_providerLock;
std::shared_ptr<ProfileProvider> g_provider;

// The profile files of the user directory.
HRESULT LoadFromUserDirectory(const std::wstring& name, ProfileDescription* out) {
    std::wstring wanted = name;
    if (wanted.empty()) {
        const char* chosen = std::getenv("QUILLMERE_PROFILE");
        if (chosen && *chosen) {
            wanted = win::PathFromUtf8(chosen);
        } else {
            std::error_code error;
            std::filesystem::path dir = win::UserDirectory() + "/profiles";
            std::string first;
            for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
                std::string candidate = entry.path().filename().string();
                if (entry.is_directory(error) && (first.empty() || candidate < first))
                    first = candidate;
            }
            if (first.empty())
                return MAPI_E_NOT_FOUND;
            wanted = win::PathFromUtf8(first);
        }
    }
    return LoadProfileFile(store::Profile::FileFor(win::UserDirectory(), wanted), out);
}

}  // namespace

HRESULT LoadProfileFile(const std::string& hostPath, ProfileDescription* out) {
    store::Profile profile;
    HRESULT hr = store::Profile::Load(hostPath, &profile);
    if (FAILED(hr))
        return hr;
    ProfileDescription description;
    description.name = profile.name;
    const store::ProfileStore* defaultStore = profile.DefaultStore();
    for (const store::ProfileStore& s : profile.stores)
        description.stores.push_back({store::Profile::StorePath(hostPath, s), &s == defaultStore});
    for (const store::ProfileAccount& a : profile.accounts)
        description.accounts.push_back({a.name, a.id, a.address});
    description.categories = profile.categories;
    description.addressBook = profile.addressBook;
    description.connectionMode = profile.connectionMode;
    description.exchangeVersion = profile.exchangeVersion;
    *out = std::move(description);
    return S_OK;
}

void SetProfileProvider(ProfileProvider provider) {
    auto next = provider ? std::make_shared<ProfileProvider>(std::move(provider)) : nullptr;
    std::lock_guard<std::mutex> lock(g_providerLock);
    g_provider = std::move(next);
}

HRESULT LoadProfile(const std::wstring& name, ProfileDescription* out) {
    std::shared_ptr<ProfileProvider> provider;
    {
        std::lock_guard<std::mutex> lock(g_providerLock);
        provider = g_provider;
    }
    // Called without the lock: a provider may read files or call back in.
    ProfileDescription description;
    HRESULT hr =
        provider ? (*provider)(name, &description) : LoadFromUserDirectory(name, &description);
    if (FAILED(hr))
        return hr;
    *out = std::move(description);
    return S_OK;
}

}  // namespace rdo
