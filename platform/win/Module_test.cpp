#include "platform/win/Module.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>

#include "platform/win/Environment.h"
#include "platform/win/Errors.h"
#include "platform/win/Paths.h"
#include "platform/win/TestMachine.h"

namespace {

using win::testing::TestMachine;

// libQmTestModule.so and this test are both built into bin/.
const std::string kBin = std::string(QM_BINARY_DIR) + "/bin";

using AnswerFn = int (*)();
using SelfFn = HMODULE (*)();

class ModuleTest : public ::testing::Test {
protected:
    void SetUp() override { win::SetInstallDirectory(kBin); }

    TestMachine m_machine;
};

TEST_F(ModuleTest, LoadsAModuleByItsWindowsName) {
    HMODULE m = LoadLibraryW(L"QmTestModule.dll");
    ASSERT_NE(m, nullptr) << GetLastError();
    auto answer = reinterpret_cast<AnswerFn>(
        reinterpret_cast<void (*)()>(GetProcAddress(m, "QmTestModuleAnswer")));
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer(), 42);

    // Every way of reaching the module gives the same handle.
    auto self = reinterpret_cast<SelfFn>(
        reinterpret_cast<void (*)()>(GetProcAddress(m, "QmTestModuleSelf")));
    ASSERT_NE(self, nullptr);
    EXPECT_EQ(self(), m);
    EXPECT_EQ(GetModuleHandleW(L"QmTestModule.dll"), m);
    EXPECT_EQ(GetModuleHandleW(L"qmtestmodule"), nullptr);  // host names keep their case
    HMODULE byPath = LoadLibraryW(L"P:\\QmTestModule.dll");
    EXPECT_EQ(byPath, m);
    HMODULE withoutExtension =
        LoadLibraryExW(L"QmTestModule", nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    EXPECT_EQ(withoutExtension, m);

    WCHAR name[MAX_PATH];
    DWORD n = GetModuleFileNameW(m, name, MAX_PATH);
    EXPECT_STREQ(name, L"P:\\QmTestModule.dll");
    EXPECT_EQ(n, 19u);
    EXPECT_EQ(win::HostPathOfModule(m), kBin + "/libQmTestModule.so");

    EXPECT_TRUE(FreeLibrary(withoutExtension));
    EXPECT_TRUE(FreeLibrary(byPath));
    EXPECT_TRUE(FreeLibrary(m));
}

TEST_F(ModuleTest, MissingModulesAndSymbolsSetTheirErrors) {
    EXPECT_EQ(LoadLibraryW(L"NoSuchModule.dll"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
    EXPECT_EQ(LoadLibraryW(L"C:\\nodir\\QmTestModule.dll"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
    EXPECT_EQ(GetModuleHandleW(L"NoSuchModule.dll"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);

    HMODULE m = LoadLibraryW(L"QmTestModule.dll");
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(GetProcAddress(m, "NoSuchFunction"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
    EXPECT_EQ(GetProcAddress(m, reinterpret_cast<const char*>(7)), nullptr);  // ordinals
    EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
    FreeLibrary(m);

    int local = 0;
    HMODULE bogus = reinterpret_cast<HMODULE>(&local);
    EXPECT_EQ(GetProcAddress(bogus, "QmTestModuleAnswer"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
    WCHAR name[MAX_PATH];
    EXPECT_EQ(GetModuleFileNameW(bogus, name, MAX_PATH), 0u);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
    EXPECT_FALSE(FreeLibrary(bogus));
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
}

TEST_F(ModuleTest, AFileThatIsNoModuleIsABadFormat) {
    win::MapDrive(L'D', m_machine.Root());
    TestMachine::WriteHostFile(m_machine.Root() + "/libBroken.so", "this is not an ELF file");
    EXPECT_EQ(LoadLibraryW(L"D:\\Broken.dll"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_BAD_FORMAT);
}

TEST_F(ModuleTest, BareNamesAreFoundBesideTheCallingModule) {
    // The install directory is elsewhere; the module lies beside this test.
    win::SetInstallDirectory(m_machine.Root());
    HMODULE m = LoadLibraryW(L"QmTestModule.dll");
    ASSERT_NE(m, nullptr);
    FreeLibrary(m);
}

TEST_F(ModuleTest, TheExecutableIsTheNullModule) {
    HMODULE exe = GetModuleHandleW(nullptr);
    ASSERT_NE(exe, nullptr);
    HMODULE fromAddress = nullptr;
    ASSERT_TRUE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                                   reinterpret_cast<const WCHAR*>(&kBin), &fromAddress));
    EXPECT_EQ(fromAddress, exe);

    WCHAR name[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, name, MAX_PATH);
    EXPECT_STREQ(name, L"P:\\win_Module_test.exe");
    EXPECT_EQ(n, 22u);
    EXPECT_EQ(GetModuleFileNameW(exe, name, MAX_PATH), 22u);

    // Too small a buffer: truncated, terminated, the size returned.
    WCHAR small[6];
    EXPECT_EQ(GetModuleFileNameW(nullptr, small, 6), 6u);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_STREQ(small, L"P:\\wi");

    // The platform library finds itself as well.
    HMODULE platform = nullptr;
    ASSERT_TRUE(GetModuleHandleExW(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<const WCHAR*>(&LoadLibraryW), &platform));
    EXPECT_EQ(platform, GetModuleHandleW(L"QuillmereWin.dll"));
    GetModuleFileNameW(platform, name, MAX_PATH);
    EXPECT_STREQ(name, L"P:\\QuillmereWin.dll");

    HMODULE none = reinterpret_cast<HMODULE>(1);
    EXPECT_FALSE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                                    reinterpret_cast<const WCHAR*>(16), &none));
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
}

// Looking a module up while another thread loads one: the lookup walks the
// loader's list under its write lock, and a load holds the load lock while it
// waits for that one. A lookup that asked the loader anything more from inside
// the walk deadlocked against the load (an add-in's tray icon against its
// import thread loading the cabinet library).
TEST_F(ModuleTest, LookupsAndLoadsOnTwoThreadsDoNotDeadlock) {
    constexpr int kRounds = 3000;
    std::atomic<bool> loading{true};
    std::atomic<int> loads{0}, lookups{0};
    auto loader = std::async(std::launch::async, [&] {
        for (int i = 0; i < kRounds; ++i) {
            HMODULE m = LoadLibraryW(L"QmTestModule.dll");
            if (!m)
                return false;
            FreeLibrary(m);
            ++loads;
        }
        loading = false;
        return true;
    });
    auto looker = std::async(std::launch::async, [&] {
        while (loading || lookups < kRounds) {
            if (!GetModuleHandleW(nullptr) || !GetModuleHandleW(L"QuillmereWin.dll"))
                return false;
            ++lookups;
        }
        return true;
    });
    // A deadlock leaves both threads blocked for good: report it instead of
    // waiting for the test runner's limit. A run slowed down by a busy
    // machine still moves, so only a whole real minute in which neither
    // thread got on counts as one.
    auto endsWithinAMinute = [](std::future<bool>& f) {
        return f.wait_for(std::chrono::minutes(1)) == std::future_status::ready;
    };
    auto progress = [&] { return loads.load() + lookups.load(); };
    for (int seen = -1; !endsWithinAMinute(loader) || !endsWithinAMinute(looker);) {
        if (progress() == seen) {
            std::fprintf(stderr, "module lookup and load deadlocked\n");
            std::fflush(stderr);
            std::_Exit(1);
        }
        seen = progress();
    }
    EXPECT_TRUE(loader.get());
    EXPECT_TRUE(looker.get());
}

TEST_F(ModuleTest, HostFileNamesOfModuleNames) {
    EXPECT_EQ(win::HostModuleFileName(L"Cabinet.dll"), "libCabinet.so");
    EXPECT_EQ(win::HostModuleFileName(L"cabinet.DLL"), "libcabinet.so");
    EXPECT_EQ(win::HostModuleFileName(L"RulePlanterx64.exe"), "RulePlanterx64");
    EXPECT_EQ(win::HostModuleFileName(L"P:\\sub\\Quillmere.dll"), "libQuillmere.so");
    EXPECT_EQ(win::HostModuleFileName(L"QuillmereRDO"), "libQuillmereRDO.so");
    EXPECT_EQ(win::HostModuleFileName(L"libz.so.1"), "libz.so.1");
}

}  // namespace
