#include "platform/rdo/Profile.h"

#include <memory>
#include <mutex>

namespace rdo {
namespace {

std::mutex g_providerLock;
std::shared_ptr<ProfileProvider> g_provider;

}  // namespace

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
    if (!provider)
        return MAPI_E_LOGON_FAILED;
    // Called without the lock: a provider may read files or call back in.
    ProfileDescription description;
    HRESULT hr = (*provider)(name, &description);
    if (FAILED(hr))
        return hr;
    *out = std::move(description);
    return S_OK;
}

}  // namespace rdo
