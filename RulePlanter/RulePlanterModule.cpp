#include "RulePlanter/RulePlanterModule.h"

#include "RulePlanter/RulePlanterResources.h"
#include "platform/com/Registrar.h"

// The compiled resources of the rule helper (registration script and
// version), linked into whichever program holds this module.
extern "C" const unsigned char kRulePlanterResources[];

namespace {

constexpr const wchar_t* kRegistryType = L"REGISTRY";

bool IsBlank(wchar_t c) {
    return c == L' ' || c == L'\t';
}

wchar_t UpperAscii(wchar_t c) {
    return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c;
}

// Whether the word at text[pos] is word (case-insensitive) and ends there.
bool WordIs(const std::wstring& text, std::size_t pos, const wchar_t* word) {
    std::size_t i = 0;
    for (; word[i]; ++i) {
        if (pos + i >= text.size() || UpperAscii(text[pos + i]) != UpperAscii(word[i]))
            return false;
    }
    return pos + i == text.size() || IsBlank(text[pos + i]);
}

}  // namespace

HMODULE CRulePlanterModule::ResourceModule() {
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            reinterpret_cast<const WCHAR*>(kRulePlanterResources), &module))
        return nullptr;
    return module;
}

HRESULT CRulePlanterModule::UpdateRegistryAppId(bool doRegister) {
    HMODULE module = ResourceModule();
    if (!module)
        return HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND);
    WCHAR path[MAX_PATH] = {};
    if (GetModuleFileNameW(module, path, MAX_PATH) == 0)
        return HRESULT_FROM_WIN32(GetLastError());
    com::Registrar registrar;
    registrar.SetPerUser(m_perUser);
    registrar.AddReplacement(L"APPID", kAppId);
    registrar.AddReplacement(L"MODULE", path);
    return doRegister ? registrar.ResourceRegister(module, IDR_RULEPLANTER, kRegistryType)
                      : registrar.ResourceUnregister(module, IDR_RULEPLANTER, kRegistryType);
}

HRESULT CRulePlanterModule::RegisterAppId() {
    return UpdateRegistryAppId(true);
}

HRESULT CRulePlanterModule::UnregisterAppId() {
    return UpdateRegistryAppId(false);
}

HRESULT CRulePlanterModule::RegisterServer() {
    return S_OK;
}

HRESULT CRulePlanterModule::UnregisterServer() {
    return S_OK;
}

bool CRulePlanterModule::ParseCommandLine(const std::wstring& commandLine, HRESULT* result) {
    *result = S_OK;
    for (std::size_t pos = commandLine.find_first_of(L"-/"); pos != std::wstring::npos;
         pos = commandLine.find_first_of(L"-/", pos)) {
        ++pos;  // the word after the switch character
        // Per-user switches first: the platform reads the whole word, so
        // "RegServerPerUser" never counts as "RegServer".
        const bool perUser = WordIs(commandLine, pos, L"UnregServerPerUser") ||
                             WordIs(commandLine, pos, L"RegServerPerUser");
        const bool unregister = WordIs(commandLine, pos, L"UnregServer") ||
                                WordIs(commandLine, pos, L"UnregServerPerUser");
        const bool doRegister =
            WordIs(commandLine, pos, L"RegServer") || WordIs(commandLine, pos, L"RegServerPerUser");
        if (!unregister && !doRegister)
            continue;
        if (perUser)
            SetPerUserRegistration(true);
        if (unregister) {
            *result = UnregisterServer();
            if (SUCCEEDED(*result))
                *result = UnregisterAppId();
        } else {
            *result = RegisterAppId();
            if (SUCCEEDED(*result))
                *result = RegisterServer();
        }
        return false;
    }
    return true;
}

HRESULT CRulePlanterModule::WinMain(const std::wstring& commandLine) {
    HRESULT result = S_OK;
    if (!ParseCommandLine(commandLine, &result))
        return result;
    // The server's run: it registers its class objects and serves until the
    // last object is gone. With no classes to register there is nothing to
    // serve, and the run ends at once.
    return S_OK;
}
