#include "platform/com/Registrar.h"

#include <gtest/gtest.h>

#include <optional>

#include "platform/win/Registry.h"
#include "platform/win/TestMachine.h"

namespace {

using com::Registrar;

bool KeyExists(HKEY root, const wchar_t* path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

std::optional<std::wstring> Text(HKEY root, const wchar_t* path, const wchar_t* name) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return std::nullopt;
    wchar_t buffer[256] = {};
    DWORD size = sizeof buffer / sizeof buffer[0] * 2;
    DWORD type = 0;
    LSTATUS status = RegQueryValueExW(key, name, nullptr, &type, buffer, &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS)
        return std::nullopt;
    if (type == REG_MULTI_SZ) {
        std::wstring all(buffer, size / 2);
        for (auto& c : all)
            if (c == L'\0')
                c = L'|';
        return all;
    }
    return std::wstring(buffer);
}

std::optional<DWORD> Dword(HKEY root, const wchar_t* path, const wchar_t* name) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return std::nullopt;
    DWORD value = 0, size = sizeof value, type = 0;
    LSTATUS status =
        RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || type != REG_DWORD)
        return std::nullopt;
    return value;
}

class RegistrarTest : public ::testing::Test {
protected:
    win::testing::TestMachine m_machine;
    Registrar m_registrar;
};

constexpr const wchar_t* kAppScript =
    LR"(
HKCR
{
	NoRemove AppID
	{
		'%APPID%' = s 'Planter'
		'Planter.exe'
		{
			val AppID = s '%APPID%'
		}
	}
	NoRemove Shared
	{
		val Owner = s 'me'
		Kept = s 'stays'
	}
}
HKCU
{
	Software
	{
		'Test Co' = s 'it''s %%100'
		{
			val Count = d '42'
			val Mask = d 0x1F
			val Blob = b '00FF10'
			val List = m 'a\0b'
			val Empty = s ''
			Deep { Deeper }
		}
	}
})";

TEST_F(RegistrarTest, RegisterWritesEveryKindAndUnregisterKeepsOnlyNoRemoveKeys) {
    m_registrar.AddReplacement(L"appid", L"{11111111-2222-3333-4444-555555555555}");
    ASSERT_EQ(m_registrar.StringRegister(kAppScript), S_OK);

    EXPECT_EQ(Text(HKEY_CLASSES_ROOT, L"AppID\\{11111111-2222-3333-4444-555555555555}", nullptr),
              L"Planter");
    EXPECT_EQ(Text(HKEY_CLASSES_ROOT, L"AppID\\Planter.exe", L"AppID"),
              L"{11111111-2222-3333-4444-555555555555}");
    EXPECT_EQ(Text(HKEY_CLASSES_ROOT, L"Shared", L"Owner"), L"me");
    EXPECT_EQ(Text(HKEY_CURRENT_USER, L"Software\\Test Co", nullptr), L"it's %100");
    EXPECT_EQ(Dword(HKEY_CURRENT_USER, L"Software\\Test Co", L"Count"), 42u);
    EXPECT_EQ(Dword(HKEY_CURRENT_USER, L"Software\\Test Co", L"Mask"), 0x1Fu);
    EXPECT_EQ(Text(HKEY_CURRENT_USER, L"Software\\Test Co", L"List"), L"a|b||");
    EXPECT_EQ(Text(HKEY_CURRENT_USER, L"Software\\Test Co", L"Empty"), L"");
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, L"Software\\Test Co\\Deep\\Deeper"));
    {
        HKEY key = nullptr;
        ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Test Co", 0, KEY_READ, &key),
                  ERROR_SUCCESS);
        BYTE blob[8] = {};
        DWORD size = sizeof blob, type = 0;
        EXPECT_EQ(RegQueryValueExW(key, L"Blob", nullptr, &type, blob, &size), ERROR_SUCCESS);
        RegCloseKey(key);
        EXPECT_EQ(type, REG_BINARY);
        ASSERT_EQ(size, 3u);
        EXPECT_EQ(blob[0], 0x00);
        EXPECT_EQ(blob[1], 0xFF);
        EXPECT_EQ(blob[2], 0x10);
    }
    // Someone else's key in a NoRemove key survives the unregistration.
    HKEY other = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, L"AppID\\{other}", 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &other, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(other);

    ASSERT_EQ(m_registrar.StringUnregister(kAppScript), S_OK);
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"AppID"));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"AppID\\{other}"));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"AppID\\{11111111-2222-3333-4444-555555555555}"));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"AppID\\Planter.exe"));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"Shared"));
    EXPECT_EQ(Text(HKEY_CLASSES_ROOT, L"Shared", L"Owner"), std::nullopt) << "its value goes";
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"Shared\\Kept"));
    // "Software" holds no NoRemove key: it goes with its whole tree.
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, L"Software"));

    // Taking back what is not there is no failure.
    EXPECT_EQ(m_registrar.StringUnregister(kAppScript), S_OK);
}

TEST_F(RegistrarTest, ForceRemoveStartsTheKeyAfreshAndDeleteRemovesIt) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, L"Fresh\\Stale", 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, L"Gone\\Child", 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
    ASSERT_EQ(m_registrar.StringRegister(L"HKCR { ForceRemove Fresh = s 'new' { New } "
                                         L"Delete Gone }"),
              S_OK);
    EXPECT_EQ(Text(HKEY_CLASSES_ROOT, L"Fresh", nullptr), L"new");
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"Fresh\\New"));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"Fresh\\Stale"));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"Gone"));
}

TEST_F(RegistrarTest, PerUserSendsClassesRootToTheUsersClasses) {
    m_registrar.SetPerUser(true);
    ASSERT_EQ(m_registrar.StringRegister(L"HKCR { NoRemove AppID { Mine = s 'x' } }"), S_OK);
    EXPECT_EQ(Text(HKEY_CURRENT_USER, L"Software\\Classes\\AppID\\Mine", nullptr), L"x");
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"AppID"));
    ASSERT_EQ(m_registrar.StringUnregister(L"HKCR { NoRemove AppID { Mine = s 'x' } }"), S_OK);
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, L"Software\\Classes\\AppID\\Mine"));
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, L"Software\\Classes\\AppID"));
}

TEST_F(RegistrarTest, DefectiveScriptsAreRejectedWholeAndChangeNothing) {
    m_registrar.AddReplacement(L"KNOWN", L"k");
    const struct {
        const char* what;
        const wchar_t* script;
    } cases[] = {
        {"unterminated quote", L"HKCR { A { val V = s 'open } }"},
        {"unknown replacement", L"HKCR { A = s '%UNKNOWN%' }"},
        {"lone percent", L"HKCR { A = s '50%' }"},
        {"missing closing brace", L"HKCR { A { B }"},
        {"unknown root", L"HKXX { A }"},
        {"no value after =", L"HKCR { A = }"},
        {"bad number", L"HKCR { A { val N = d 'twelve' } }"},
        {"odd binary", L"HKCR { A { val N = b 'ABC' } }"},
        {"unknown type", L"HKCR { A = q 'x' }"},
        {"val without =", L"HKCR { A { val N s 'x' } }"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        // Each defect follows a good key, which must not be written either.
        std::wstring script = std::wstring(L"HKCR { Before = s '%KNOWN%' } ") + c.script;
        EXPECT_EQ(m_registrar.StringRegister(script), DISP_E_EXCEPTION);
        EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"Before"));
        EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"A"));
    }
}

}  // namespace
