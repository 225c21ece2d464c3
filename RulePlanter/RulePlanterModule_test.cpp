#include "RulePlanter/RulePlanterModule.h"

#include <gtest/gtest.h>

#include <optional>

#include "RulePlanter/RulePlanterResources.h"
#include "platform/com/Registrar.h"
#include "platform/win/Registry.h"
#include "platform/win/TestMachine.h"

namespace {

constexpr const wchar_t* kAppIdKey = L"AppID\\{8085C61D-C8F3-43CC-9503-EDFE8BDD1321}";
constexpr const wchar_t* kExeKey = L"AppID\\RulePlanterx64.exe";

std::optional<std::wstring> Text(HKEY root, const std::wstring& path, const wchar_t* name) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return std::nullopt;
    wchar_t buffer[128] = {};
    DWORD size = sizeof buffer / sizeof buffer[0] * 2;
    LSTATUS status = RegQueryValueExW(key, name, nullptr, nullptr, buffer, &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS)
        return std::nullopt;
    return std::wstring(buffer);
}

struct Where {
    HKEY root;
    std::wstring prefix;
};
const Where kMachine{HKEY_CLASSES_ROOT, L""};
const Where kUser{HKEY_CURRENT_USER, L"Software\\Classes\\"};

bool Registered(const Where& w) {
    return Text(w.root, w.prefix + kAppIdKey, nullptr) == L"RulePlanter" &&
           Text(w.root, w.prefix + kExeKey, L"AppID") == L"{8085C61D-C8F3-43CC-9503-EDFE8BDD1321}";
}
bool AnyTrace(const Where& w) {
    return Text(w.root, w.prefix + kAppIdKey, nullptr) ||
           Text(w.root, w.prefix + kExeKey, L"AppID");
}

TEST(RulePlanterModule, CarriesItsRegistrationScript) {
    std::wstring script;
    ASSERT_TRUE(com::Registrar::LoadScript(CRulePlanterModule::ResourceModule(), IDR_RULEPLANTER,
                                           L"REGISTRY", &script));
    EXPECT_NE(script.find(L"%APPID%"), std::wstring::npos);
    EXPECT_NE(script.find(L"NoRemove AppID"), std::wstring::npos);
}

TEST(RulePlanterModule, SwitchesRegisterAndRemoveTheAppIdPerMachineOrPerUser) {
    win::testing::TestMachine machine;
    const struct {
        const wchar_t* commandLine;
        bool handled;
        bool machineAfter;
        bool userAfter;
    } steps[] = {
        {L"", false, false, false},
        {L"remove", false, false, false},
        {L"RegServer", false, false, false},  // no switch character
        {L"/RegServerX", false, false, false},
        {L"/RegServer", true, true, false},
        {L"-unregserver", true, false, false},
        {L"-RegServerPerUser", true, false, true},
        {L"/regserver", true, true, true},
        {L"/UnregServerPerUser", true, true, false},
        {L"x -Embedding /UNREGSERVER", true, false, false},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(testing::Message()
                     << "command line "
                     << std::string(s.commandLine, s.commandLine + wcslen(s.commandLine)));
        CRulePlanterModule module;
        HRESULT result = E_FAIL;
        EXPECT_EQ(module.ParseCommandLine(s.commandLine, &result), !s.handled);
        EXPECT_EQ(result, S_OK);
        EXPECT_EQ(Registered(kMachine), s.machineAfter);
        EXPECT_EQ(AnyTrace(kMachine), s.machineAfter);
        EXPECT_EQ(Registered(kUser), s.userAfter);
        EXPECT_EQ(AnyTrace(kUser), s.userAfter);
    }
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, L"AppID", 0, KEY_READ, &key), ERROR_SUCCESS)
        << "the shared AppID key stays";
    RegCloseKey(key);
}

TEST(RulePlanterModule, WinMainGivesTheRegistrationsOutcome) {
    win::testing::TestMachine machine;
    CRulePlanterModule module;
    EXPECT_EQ(module.WinMain(L""), S_OK);
    EXPECT_FALSE(AnyTrace(kMachine));
    EXPECT_EQ(module.WinMain(L"/RegServer"), S_OK);
    EXPECT_TRUE(Registered(kMachine));

    // A damaged classes hive makes the registration fail, and says so.
    win::testing::TestMachine::WriteHostFile(machine.User() + "/registry/HKEY_CLASSES_ROOT.reg",
                                             "this is no registry file\n");
    HRESULT hr = CRulePlanterModule().WinMain(L"/UnregServer");
    EXPECT_TRUE(FAILED(hr)) << std::hex << hr;
}

}  // namespace
