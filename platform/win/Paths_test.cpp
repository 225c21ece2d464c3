#include "platform/win/Paths.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cwchar>

#include "platform/win/Environment.h"
#include "platform/win/Errors.h"
#include "platform/win/Files.h"
#include "platform/win/TestMachine.h"

namespace {

using win::testing::TestMachine;

class PathsTest : public ::testing::Test {
protected:
    void SetUp() override { win::SetInstallDirectory(m_machine.Root() + "/install"); }
    void TearDown() override { win::SetSpecialFolderFailureForTesting(false); }

    TestMachine m_machine;
};

struct HostCase {
    const wchar_t* windowsPath;
    const char* hostBelowUser;  // relative to the user directory; null = no host path
    DWORD error;                // last error when there is none
};

TEST_F(PathsTest, DrivePathsMapToHostDirectories) {
    const HostCase cases[] = {
        {L"C:\\a\\b.txt", "/drive_c/a/b.txt", 0},
        {L"c:/a/b.txt", "/drive_c/a/b.txt", 0},
        {L"C:\\a/Mixed\\CASE.Txt", "/drive_c/a/Mixed/CASE.Txt", 0},
        {L"C:\\a\\.\\b\\\\c\\", "/drive_c/a/b/c", 0},
        {L"C:\\", "/drive_c", 0},
        {L"C:\\a\\..\\b", "/drive_c/b", 0},
        // ".." stops at the drive root: no way out of the drive's directory.
        {L"C:\\..\\..\\..\\etc\\passwd", "/drive_c/etc/passwd", 0},
        {L"C:\\a\\..\\..\\..\\b", "/drive_c/b", 0},
        {L"C:/../../x", "/drive_c/x", 0},
        {L"Q:\\x", nullptr, ERROR_PATH_NOT_FOUND},
        {L"\\\\server\\share\\x", nullptr, ERROR_BAD_PATHNAME},
        {L"C:\\a<b", nullptr, ERROR_INVALID_NAME},
        {L"C:\\a\\b*", nullptr, ERROR_INVALID_NAME},
        {L"", nullptr, ERROR_PATH_NOT_FOUND},
    };
    for (const auto& c : cases) {
        SetLastError(0);
        auto host = win::HostPath(c.windowsPath);
        if (c.hostBelowUser) {
            ASSERT_TRUE(host.has_value()) << win::PathToUtf8(c.windowsPath);
            EXPECT_EQ(*host, m_machine.User() + c.hostBelowUser) << win::PathToUtf8(c.windowsPath);
        } else {
            EXPECT_FALSE(host.has_value()) << win::PathToUtf8(c.windowsPath);
            EXPECT_EQ(GetLastError(), c.error) << win::PathToUtf8(c.windowsPath);
        }
    }
}

TEST_F(PathsTest, InstallDriveAndExplicitMappings) {
    EXPECT_EQ(win::HostPath(L"p:\\Quillmere.dll"), m_machine.Root() + "/install/Quillmere.dll");
    win::MapDrive(L'd', m_machine.Root() + "/data/");
    EXPECT_EQ(win::HostPath(L"D:\\x\\..\\..\\y"), m_machine.Root() + "/data/y");
    win::MapDrive(L'D', "");
    EXPECT_FALSE(win::HostPath(L"D:\\y").has_value());
    // C: follows the user directory when it changes.
    win::SetUserDirectory(m_machine.Root() + "/bob");
    EXPECT_EQ(win::HostPath(L"C:\\z"), m_machine.Root() + "/bob/drive_c/z");
    win::SetUserDirectory(m_machine.User());
}

TEST_F(PathsTest, WindowsPathInvertsTheLongestMapping) {
    EXPECT_EQ(win::WindowsPath(m_machine.DriveC() + "/a/b.txt"), L"C:\\a\\b.txt");
    EXPECT_EQ(win::WindowsPath(m_machine.DriveC()), L"C:\\");
    EXPECT_EQ(win::WindowsPath(m_machine.Root() + "/install/libQuillmere.so"),
              L"P:\\libQuillmere.so");
    win::MapDrive(L'E', m_machine.DriveC() + "/deep");
    EXPECT_EQ(win::WindowsPath(m_machine.DriveC() + "/deep/x"), L"E:\\x");
    EXPECT_EQ(win::WindowsPath(m_machine.DriveC() + "/deeper"), L"C:\\deeper");
    EXPECT_EQ(win::WindowsPath("/opt/elsewhere/f"), L"Z:\\opt\\elsewhere\\f");
    EXPECT_EQ(win::HostPath(win::WindowsPath("/opt/elsewhere/f")), "/opt/elsewhere/f");
}

TEST_F(PathsTest, RelativePathsResolveAgainstTheCurrentDirectory) {
    WCHAR buf[MAX_PATH];
    ASSERT_EQ(GetCurrentDirectoryW(MAX_PATH, buf), 3u);
    EXPECT_STREQ(buf, L"C:\\");
    ASSERT_TRUE(CreateDirectoryW(L"C:\\work", nullptr));
    ASSERT_TRUE(SetCurrentDirectoryW(L"c:/work/"));
    ASSERT_EQ(GetCurrentDirectoryW(MAX_PATH, buf), 7u);
    EXPECT_STREQ(buf, L"C:\\work");

    EXPECT_EQ(win::HostPath(L"x.txt"), m_machine.DriveC() + "/work/x.txt");
    EXPECT_EQ(win::HostPath(L".\\sub\\x"), m_machine.DriveC() + "/work/sub/x");
    EXPECT_EQ(win::HostPath(L"..\\..\\x"), m_machine.DriveC() + "/x");
    EXPECT_EQ(win::HostPath(L"\\top"), m_machine.DriveC() + "/top");
    EXPECT_EQ(win::HostPath(L"C:rel"), m_machine.DriveC() + "/work/rel");
    EXPECT_EQ(win::FullWindowsPath(L"a\\..\\b"), L"C:\\work\\b");

    // Too small a buffer: the size needed, terminator included, and no copy.
    WCHAR small[4] = {L'#', L'#', L'#', L'#'};
    EXPECT_EQ(GetCurrentDirectoryW(4, small), 8u);
    EXPECT_EQ(small[0], L'#');
}

TEST_F(PathsTest, SetCurrentDirectoryRefusesMissingOrFile) {
    EXPECT_FALSE(SetCurrentDirectoryW(L"C:\\missing"));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(SetCurrentDirectoryW(L"C:\\missing\\deeper"));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    TestMachine::WriteHostFile(m_machine.DriveC() + "/file", "x");
    EXPECT_FALSE(SetCurrentDirectoryW(L"C:\\file"));
    EXPECT_EQ(GetLastError(), ERROR_DIRECTORY);
    WCHAR buf[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, buf);
    EXPECT_STREQ(buf, L"C:\\");
}

TEST_F(PathsTest, FullPathNameGivesFilePart) {
    WCHAR buf[MAX_PATH];
    WCHAR* part = nullptr;
    DWORD n = GetFullPathNameW(L"C:/dir/./x/../name.txt", MAX_PATH, buf, &part);
    EXPECT_STREQ(buf, L"C:\\dir\\name.txt");
    EXPECT_EQ(n, 15u);
    ASSERT_NE(part, nullptr);
    EXPECT_STREQ(part, L"name.txt");
    GetFullPathNameW(L"C:\\dir\\", MAX_PATH, buf, &part);
    EXPECT_STREQ(buf, L"C:\\dir\\");
    EXPECT_EQ(part, nullptr);
}

TEST_F(PathsTest, TempPathIsInTheUsersLocalAppDataAndExists) {
    WCHAR buf[MAX_PATH];
    DWORD n = GetTempPathW(MAX_PATH, buf);
    EXPECT_STREQ(buf, L"C:\\Users\\ann\\AppData\\Local\\Temp\\");
    EXPECT_EQ(n, 32u);
    EXPECT_TRUE(TestMachine::HostExists(m_machine.DriveC() + "/Users/ann/AppData/Local/Temp"));

    setenv("QUILLMERE_USER_NAME", "Zoë", 1);
    GetTempPathW(MAX_PATH, buf);
    unsetenv("QUILLMERE_USER_NAME");
    EXPECT_STREQ(buf, L"C:\\Users\\Zo\u00EB\\AppData\\Local\\Temp\\");
    EXPECT_TRUE(TestMachine::HostExists(m_machine.DriveC() + "/Users/Zoë/AppData/Local/Temp"));
}

TEST_F(PathsTest, SpecialFoldersAreMadeOnDemand) {
    struct Case {
        int csidl;
        const wchar_t* path;
        const char* host;
    } cases[] = {
        {CSIDL_LOCAL_APPDATA, L"C:\\Users\\ann\\AppData\\Local", "/Users/ann/AppData/Local"},
        {CSIDL_APPDATA, L"C:\\Users\\ann\\AppData\\Roaming", "/Users/ann/AppData/Roaming"},
        {CSIDL_DESKTOP, L"C:\\Users\\ann\\Desktop", "/Users/ann/Desktop"},
        {CSIDL_DESKTOPDIRECTORY | CSIDL_FLAG_CREATE, L"C:\\Users\\ann\\Desktop",
         "/Users/ann/Desktop"},
        {CSIDL_PERSONAL, L"C:\\Users\\ann\\Documents", "/Users/ann/Documents"},
    };
    for (const auto& c : cases) {
        WCHAR buf[MAX_PATH] = {};
        EXPECT_EQ(SHGetFolderPathW(nullptr, c.csidl, nullptr, SHGFP_TYPE_CURRENT, buf), S_OK);
        EXPECT_STREQ(buf, c.path);
        EXPECT_TRUE(TestMachine::HostExists(m_machine.DriveC() + c.host)) << c.host;
        WCHAR other[MAX_PATH] = {};
        EXPECT_TRUE(SHGetSpecialFolderPathW(nullptr, other, c.csidl, TRUE));
        EXPECT_STREQ(other, c.path);
    }
    WCHAR buf[MAX_PATH];
    EXPECT_EQ(SHGetFolderPathW(nullptr, 0x2B, nullptr, 0, buf), E_INVALIDARG);
}

TEST_F(PathsTest, SpecialFolderFailureCanBeSimulated) {
    win::SetSpecialFolderFailureForTesting(true);
    WCHAR buf[MAX_PATH] = {L'x'};
    EXPECT_EQ(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, 0, buf), E_FAIL);
    EXPECT_EQ(buf[0], 0);
    EXPECT_FALSE(SHGetSpecialFolderPathW(nullptr, buf, CSIDL_LOCAL_APPDATA, TRUE));
    win::SetSpecialFolderFailureForTesting(false);
    EXPECT_EQ(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, 0, buf), S_OK);
}

TEST_F(PathsTest, UserNameDefaultsToTheUserDirectorysBaseName) {
    EXPECT_EQ(win::UserName(), L"ann");
    EXPECT_EQ(win::UserProfileDirectory(), L"C:\\Users\\ann");
}

TEST(PathTextTest, FileNamesAndDirectoriesOfPathTexts) {
    struct Case {
        const wchar_t* path;
        const wchar_t* fileName;
        const wchar_t* withoutFileSpec;
        BOOL removed;
    } cases[] = {
        {L"C:\\dir\\Quillmere.dll", L"Quillmere.dll", L"C:\\dir", TRUE},
        {L"C:\\Quillmere.dll", L"Quillmere.dll", L"C:\\", TRUE},
        {L"C:\\", L"C:\\", L"C:\\", FALSE},
        {L"C:\\dir\\", L"dir\\", L"C:\\dir", TRUE},
        {L"name.txt", L"name.txt", L"", TRUE},
        {L"\\top", L"top", L"\\", TRUE},
        {L"C:name", L"name", L"C:", TRUE},
    };
    for (const auto& c : cases) {
        EXPECT_STREQ(PathFindFileNameW(c.path), c.fileName) << win::PathToUtf8(c.path);
        WCHAR buf[MAX_PATH];
        std::wcscpy(buf, c.path);
        EXPECT_EQ(PathRemoveFileSpecW(buf), c.removed) << win::PathToUtf8(c.path);
        EXPECT_STREQ(buf, c.withoutFileSpec) << win::PathToUtf8(c.path);
    }
    // The module directory keeps its trailing backslash.
    WCHAR dir[MAX_PATH] = L"P:\\Quillmere.dll";
    PathRemoveFileSpecW(dir);
    WCHAR* end = PathAddBackslashW(dir);
    EXPECT_STREQ(dir, L"P:\\");
    ASSERT_NE(end, nullptr);
    EXPECT_EQ(*end, 0);
    std::wcscpy(dir, L"C:\\a");
    PathAddBackslashW(dir);
    PathAddBackslashW(dir);
    EXPECT_STREQ(dir, L"C:\\a\\");
    std::wstring full(MAX_PATH - 1, L'x');
    WCHAR longPath[MAX_PATH];
    std::wcscpy(longPath, full.c_str());
    EXPECT_EQ(PathAddBackslashW(longPath), nullptr);
}

}  // namespace
