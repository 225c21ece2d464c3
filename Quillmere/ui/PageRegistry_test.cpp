#include "Quillmere/ui/PageRegistry.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "Quillmere/core/AddinServer.h"
#include "Quillmere/ui/ExtProppage.h"
#include "Quillmere/ui/QuillmerePropPage.h"
#include "Quillmere/ui/UiModule.h"
#include "platform/com/Com.h"
#include "platform/win/Bitmap.h"
#include "platform/win/Registry.h"
#include "platform/win/TestMachine.h"

namespace {

bool KeyExists(const std::wstring& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

// A text value under HKEY_CLASSES_ROOT (name null: the key's default value).
std::optional<std::wstring> Text(const std::wstring& path, const wchar_t* name = nullptr) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return std::nullopt;
    wchar_t buffer[600] = {};
    DWORD size = sizeof buffer;
    DWORD type = 0;
    const LSTATUS status = RegQueryValueExW(key, name, nullptr, &type, buffer, &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || type != REG_SZ)
        return std::nullopt;
    return std::wstring(buffer);
}

std::wstring ModuleOfThisProgram() {
    wchar_t path[MAX_PATH] = L"";
    HMODULE module = nullptr;
    GetModuleHandleExW(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<const WCHAR*>(&DllRegisterServer), &module);
    GetModuleFileNameW(module, path, MAX_PATH);
    return path;
}

struct Page {
    const wchar_t* progId;
    const wchar_t* versionedProgId;
    const wchar_t* description;
    const wchar_t* clsid;
    const wchar_t* toolbox;  // bitmap id as the script names it
};
constexpr Page kPages[] = {
    {L"Quillmere.ExtProppage", L"Quillmere.ExtProppage.1", L"ExtProppage Class",
     L"{21FDC5EE-4798-4CAB-B259-41ABA75F8F0F}", L"129"},
    {L"Quillmere.QuillmerePropPage", L"Quillmere.QuillmerePropPage.1", L"QuillmerePropPage Class",
     L"{73F8E19A-3DEB-4c4d-BE07-31B1EDA8E25B}", L"118"},
};

class PageRegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The pages' objects may have been left out of the link; this puts
        // them in and adds their classes.
        ui::RegisterExtProppage();
        ui::RegisterQuillmerePropPage();
    }
    win::testing::TestMachine m_machine;
};

TEST_F(PageRegistryTest, EachPageIsRegisteredAsAControlOfTheModule) {
    ASSERT_EQ(DllRegisterServer(), S_OK);
    const std::wstring module = ModuleOfThisProgram();
    ASSERT_FALSE(module.empty());
    for (const Page& p : kPages) {
        SCOPED_TRACE(p.progId);
        const std::wstring versioned = p.versionedProgId;
        EXPECT_EQ(Text(versioned), p.description);
        EXPECT_EQ(Text(versioned + L"\\CLSID"), p.clsid);
        EXPECT_EQ(Text(p.progId), p.description);
        EXPECT_EQ(Text(std::wstring(p.progId) + L"\\CLSID"), p.clsid);
        EXPECT_EQ(Text(std::wstring(p.progId) + L"\\CurVer"), versioned);

        const std::wstring key = std::wstring(L"CLSID\\") + p.clsid;
        EXPECT_EQ(Text(key), p.description);
        EXPECT_EQ(Text(key + L"\\ProgID"), versioned);
        EXPECT_EQ(Text(key + L"\\VersionIndependentProgID"), p.progId);
        EXPECT_TRUE(KeyExists(key + L"\\Programmable"));
        EXPECT_TRUE(KeyExists(key + L"\\Control"));
        EXPECT_EQ(Text(key + L"\\InprocServer32"), module);
        EXPECT_EQ(Text(key + L"\\InprocServer32", L"ThreadingModel"), L"Apartment");
        EXPECT_EQ(Text(key + L"\\ToolboxBitmap32"), module + L", " + p.toolbox);
        EXPECT_EQ(Text(key + L"\\MiscStatus"), L"0");
        EXPECT_EQ(Text(key + L"\\MiscStatus\\1"), L"131473");
        EXPECT_EQ(Text(key + L"\\TypeLib"), L"{7A6C58B3-7E88-4015-A573-E91D81019DF4}");
        EXPECT_EQ(Text(key + L"\\Version"), L"1.0");

        CLSID clsid{};
        EXPECT_EQ(CLSIDFromProgID(p.progId, &clsid), S_OK);
    }
}

TEST_F(PageRegistryTest, UnregisteringRemovesThePagesButKeepsTheClassesKey) {
    ASSERT_EQ(DllRegisterServer(), S_OK);
    ASSERT_EQ(DllUnregisterServer(), S_OK);
    for (const Page& p : kPages) {
        EXPECT_FALSE(KeyExists(p.progId)) << p.progId;
        EXPECT_FALSE(KeyExists(p.versionedProgId)) << p.progId;
        EXPECT_FALSE(KeyExists(std::wstring(L"CLSID\\") + p.clsid)) << p.progId;
    }
    EXPECT_TRUE(KeyExists(L"CLSID"));
}

TEST_F(PageRegistryTest, AModulePathWithAQuoteIsRegisteredAsItIs) {
    const std::wstring path = L"C:\\Program Files\\O'Neil\\Quillmere.dll";
    ASSERT_EQ(ui::UpdatePageRegistry(ui::kExtProppageRegistryScript, true, path), S_OK);
    const std::wstring key = L"CLSID\\{21FDC5EE-4798-4CAB-B259-41ABA75F8F0F}";
    EXPECT_EQ(Text(key + L"\\InprocServer32"), path);
    EXPECT_EQ(Text(key + L"\\ToolboxBitmap32"), path + L", 129");
}

TEST_F(PageRegistryTest, TheToolboxBitmapsTheScriptsNameAreInTheModule) {
    for (WORD id : {ui::kExtProppageToolboxBitmap, ui::kQuillmerePropPageToolboxBitmap}) {
        HBITMAP bitmap = LoadBitmapW(ui::UiResourceModule(), MAKEINTRESOURCEW(id));
        ASSERT_NE(bitmap, nullptr) << id;
        DeleteObject(bitmap);
    }
}

TEST_F(PageRegistryTest, AScriptMissingFromTheModuleIsAnError) {
    EXPECT_TRUE(FAILED(ui::UpdatePageRegistry(999, true, L"C:\\Quillmere.dll")));
    EXPECT_FALSE(KeyExists(L"Quillmere.ExtProppage"));
}

}  // namespace
