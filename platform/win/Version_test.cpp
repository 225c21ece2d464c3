#include "platform/win/Version.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/win/Environment.h"
#include "platform/win/Errors.h"
#include "platform/win/Text.h"

namespace {

namespace fs = std::filesystem;

const std::string kBinDir = std::string(QM_BINARY_DIR) + "/bin";
const std::string kModulePath = kBinDir + "/libQmResourceTestModule.so";

std::vector<std::uint8_t> VersionBlock(const std::wstring& file) {
    DWORD handle = 99;
    DWORD size = GetFileVersionInfoSizeW(file.c_str(), &handle);
    EXPECT_GT(size, 0u) << GetLastError();
    EXPECT_EQ(handle, 0u);
    std::vector<std::uint8_t> block(size);
    EXPECT_TRUE(GetFileVersionInfoW(file.c_str(), handle, size, block.data()));
    return block;
}

std::string ModuleVersionText(const void* block) {
    VS_FIXEDFILEINFO* info = nullptr;
    UINT len = 0;
    if (!VerQueryValueW(block, L"\\", reinterpret_cast<void**>(&info), &len))
        return "(none)";
    EXPECT_EQ(len, sizeof(VS_FIXEDFILEINFO));
    char text[32];
    std::snprintf(text, sizeof text, "%d.%d.%d", HIWORD(info->dwFileVersionMS),
                  LOWORD(info->dwFileVersionMS), HIWORD(info->dwFileVersionLS));
    return text;
}

TEST(VersionTest, FixedInfoOfTheCompiledModuleGivesTheProjectVersion) {
    auto block = VersionBlock(win::FromUtf8(kModulePath));
    VS_FIXEDFILEINFO* info = nullptr;
    UINT len = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&info), &len));
    EXPECT_EQ(info->dwSignature, VS_FFI_SIGNATURE);
    EXPECT_EQ(info->dwStrucVersion, VS_FFI_STRUCVERSION);
    EXPECT_EQ(info->dwFileFlagsMask, VS_FFI_FILEFLAGSMASK);
    EXPECT_EQ(info->dwFileOS, VOS_NT_WINDOWS32);
    EXPECT_EQ(info->dwFileType, VFT_DLL);
    EXPECT_EQ(LOWORD(info->dwFileVersionLS), 0);
    EXPECT_EQ(info->dwProductVersionMS, info->dwFileVersionMS);
    EXPECT_EQ(ModuleVersionText(block.data()), QM_PROJECT_VERSION);
}

TEST(VersionTest, WindowsPathsAreMappedToTheirHostFiles) {
    win::SetInstallDirectory(kBinDir);
    auto block = VersionBlock(L"P:\\libQmResourceTestModule.so");
    EXPECT_EQ(ModuleVersionText(block.data()), QM_PROJECT_VERSION);
    // The module's Windows name, as GetModuleFileNameW gives it.
    block = VersionBlock(L"p:\\QmResourceTestModule.dll");
    EXPECT_EQ(ModuleVersionText(block.data()), QM_PROJECT_VERSION);
    EXPECT_EQ(GetFileVersionInfoSizeW(L"P:\\NoSuchModule.dll", nullptr), 0u);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST(VersionTest, StringAndBinaryValuesAreFoundByPath) {
    auto block = VersionBlock(win::FromUtf8(kModulePath));
    struct Case {
        const wchar_t* path;
        const wchar_t* text;
    } cases[] = {
        {L"\\StringFileInfo\\040904b0\\FileVersion", L"" QM_PROJECT_VERSION_W},
        {L"\\StringFileInfo\\040904b0\\ProductName", L"Quillmere"},
        {L"\\stringfileinfo\\040904B0\\companyname", L"Brindlecast"},
        {L"\\StringFileInfo\\040904b0\\FileDescription", L"Resource test module"},
    };
    for (const auto& c : cases) {
        wchar_t* value = nullptr;
        UINT len = 0;
        ASSERT_TRUE(VerQueryValueW(block.data(), c.path, reinterpret_cast<void**>(&value), &len))
            << win::ToUtf8(c.path);
        EXPECT_STREQ(value, c.text);
        EXPECT_EQ(len, std::wstring(c.text).size() + 1);
    }
    std::uint8_t* tr = nullptr;
    UINT len = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation",
                               reinterpret_cast<void**>(&tr), &len));
    ASSERT_EQ(len, 4u);
    EXPECT_EQ(std::vector<std::uint8_t>(tr, tr + 4),
              (std::vector<std::uint8_t>{0x09, 0x04, 0xB0, 0x04}));
    // The translation points into the caller's block.
    EXPECT_GE(tr, block.data());
    EXPECT_LT(tr, block.data() + block.size());

    void* none = nullptr;
    for (const wchar_t* missing :
         {L"\\StringFileInfo\\040704b0\\FileVersion", L"\\StringFileInfo\\040904b0\\Comments",
          L"\\StringFileInfo", L"\\Nothing"}) {
        EXPECT_FALSE(VerQueryValueW(block.data(), missing, &none, &len)) << win::ToUtf8(missing);
    }
}

TEST(VersionTest, CutCopyNeverReadsPastItsEnd) {
    DWORD size = GetFileVersionInfoSizeW(win::FromUtf8(kModulePath).c_str(), nullptr);
    ASSERT_GT(size, 100u);
    for (DWORD cut : {6u, 40u, 60u, 92u, 100u, size - 2}) {
        // Exactly `cut` bytes on the heap: a sanitizer build catches any over-read.
        std::vector<std::uint8_t> block(cut);
        ASSERT_TRUE(GetFileVersionInfoW(win::FromUtf8(kModulePath).c_str(), 0, cut, block.data()));
        void* value = nullptr;
        UINT len = 0;
        bool fixed = VerQueryValueW(block.data(), L"\\", &value, &len);
        EXPECT_EQ(fixed, cut >= 92u) << cut;  // 40 bytes of header, 52 of fixed info
        VerQueryValueW(block.data(), L"\\StringFileInfo\\040904b0\\ProductName", &value, &len);
        VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", &value, &len);
    }
    std::uint8_t tiny[5];
    EXPECT_FALSE(GetFileVersionInfoW(win::FromUtf8(kModulePath).c_str(), 0, 5, tiny));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
}

TEST(VersionTest, DamagedTreesAreRejected) {
    // Root "VS_VERSION_INFO" with a child whose length passes the root's end.
    std::vector<std::uint8_t> b(40 + 52 + 12, 0);
    auto put16 = [&](std::size_t at, std::uint16_t v) {
        b[at] = static_cast<std::uint8_t>(v);
        b[at + 1] = static_cast<std::uint8_t>(v >> 8);
    };
    put16(0, static_cast<std::uint16_t>(b.size()));
    put16(2, 52);
    const std::u16string key = u"VS_VERSION_INFO";
    for (std::size_t i = 0; i < key.size(); ++i)
        put16(6 + 2 * i, key[i]);
    put16(92, 400);  // child length past the end
    put16(98, u'X');
    void* value = nullptr;
    UINT len = 0;
    EXPECT_FALSE(VerQueryValueW(b.data(), L"\\X", &value, &len));
    // No signature: no fixed info.
    EXPECT_FALSE(VerQueryValueW(b.data(), L"\\", &value, &len));
    // A key without terminator inside its node.
    put16(0, 20);
    EXPECT_FALSE(VerQueryValueW(b.data(), L"\\", &value, &len));
}

TEST(VersionTest, FilesWithoutVersionFail) {
    DWORD handle = 0;
    EXPECT_EQ(GetFileVersionInfoSizeW(L"/nonexistent/file.dll", &handle), 0u);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    // This test program carries no resources at all.
    std::wstring self = win::FromUtf8(fs::read_symlink("/proc/self/exe").string());
    EXPECT_EQ(GetFileVersionInfoSizeW(self.c_str(), &handle), 0u);
    EXPECT_EQ(GetLastError(), ERROR_RESOURCE_DATA_NOT_FOUND);
    std::uint8_t buf[64];
    EXPECT_FALSE(GetFileVersionInfoW(self.c_str(), 0, sizeof buf, buf));
    EXPECT_FALSE(GetFileVersionInfoW(win::FromUtf8(kModulePath).c_str(), 0, 64, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

}  // namespace
