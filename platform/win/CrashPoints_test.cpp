#include "platform/win/CrashPoints.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/win/Crt.h"
#include "platform/win/Environment.h"
#include "platform/win/Files.h"
#include "platform/win/Registry.h"
#include "platform/win/TestChildProcess.h"
#include "platform/win/TestMachine.h"

namespace {

using win::testing::IsChildRun;
using win::testing::RunChildTestStatus;
using win::testing::TestMachine;

// The child runs in the parent's user directory, named by this variable.
constexpr const char* kUserDirVar = "QM_CRASH_TEST_USER";

void WriteWholeFile(const wchar_t* path, const std::string& bytes) {
    HANDLE file =
        CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
    CloseHandle(file);
}

class CrashPointsTest : public ::testing::Test {
protected:
    // Runs the child test with the variables; true when it was killed.
    bool ChildKilled(const std::string& test, std::vector<std::string> env) {
        env.push_back(std::string(kUserDirVar) + "=" + m_machine.User());
        env.push_back("QUILLMERE_CRASH_STEPS=" + Steps());
        int status = RunChildTestStatus("CrashPointsChild." + test, env);
        EXPECT_NE(status, -1);
        if (WIFEXITED(status)) {
            EXPECT_EQ(WEXITSTATUS(status), 0) << "the child test failed";
        }
        return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
    }
    std::string Steps() const { return m_machine.Root() + "/steps.log"; }
    std::string LastStep() const {
        std::string log = TestMachine::ReadHostFile(Steps());
        if (log.empty())
            return {};
        std::size_t end = log.size() - 1;  // the final line end
        std::size_t start = log.rfind('\n', end - 1);
        std::string line = log.substr(start == std::string::npos ? 0 : start + 1,
                                      end - (start == std::string::npos ? 0 : start + 1));
        return line.substr(line.find(' ') + 1);  // without its number
    }
    std::string C(const char* below) const { return m_machine.DriveC() + below; }

    TestMachine m_machine;
};

// The second rename onto b.txt is the step the process does not survive: the
// first took place, the second did not, and nothing after it ran.
TEST_F(CrashPointsTest, ArmedFromTheEnvironmentKillsJustBeforeTheNthMatchingStep) {
    EXPECT_TRUE(ChildKilled("Renames", {"QUILLMERE_CRASH_AT=rename:b.txt#2"}));
    EXPECT_EQ(TestMachine::ReadHostFile(C("/b.txt")), "first");
    EXPECT_TRUE(TestMachine::HostExists(C("/a3.txt")));
    EXPECT_TRUE(TestMachine::HostExists(C("/c.txt")));
    EXPECT_FALSE(TestMachine::HostExists(C("/survived.txt")));
    EXPECT_EQ(LastStep(), "rename b.txt");
}

// Any other kind, or a name that does not hold the text, is not counted.
TEST_F(CrashPointsTest, StepsOfOtherKindsOrNamesDoNotCount) {
    EXPECT_FALSE(ChildKilled("Renames", {"QUILLMERE_CRASH_AT=delete:b.txt"}));
    EXPECT_FALSE(ChildKilled("Renames", {"QUILLMERE_CRASH_AT=rename:d.txt"}));
    EXPECT_TRUE(TestMachine::HostExists(C("/survived.txt")));
    // The whole run was logged: three files written, three renames, and the
    // marker file.
    std::string log = TestMachine::ReadHostFile(Steps());
    EXPECT_NE(log.find(" rename c.txt\n"), std::string::npos) << log;
    EXPECT_NE(log.find(" write survived.txt\n"), std::string::npos) << log;
}

// Armed by the code, counting starts at the arming: the two writes before it
// don't count, the second write after it is never made.
TEST_F(CrashPointsTest, ArmedInTheProcessCountsFromTheArming) {
    EXPECT_TRUE(ChildKilled("WritesAfterArming", {}));
    EXPECT_EQ(TestMachine::ReadHostFile(C("/x.txt")), "123");
    EXPECT_EQ(LastStep(), "write x.txt");
}

// An earlier stage only starts the count of the next: the second write to
// x.txt after the first rename onto b.txt; the writes before the rename
// don't count.
TEST_F(CrashPointsTest, StagesCountOneAfterTheOther) {
    EXPECT_TRUE(
        ChildKilled("WritesAroundARename", {"QUILLMERE_CRASH_AT=rename:b.txt>write:x.txt#2"}));
    EXPECT_EQ(TestMachine::ReadHostFile(C("/x.txt")), "123");
    EXPECT_TRUE(TestMachine::HostExists(C("/b.txt")));
    EXPECT_EQ(LastStep(), "write x.txt");
}

// A registry change is written as a whole hive file; killed before that, the
// hive on disk does not hold the value.
TEST_F(CrashPointsTest, RegistryWriteIsAStep) {
    EXPECT_TRUE(ChildKilled("RegistryValue", {"QUILLMERE_CRASH_AT=registry:HKEY_CURRENT_USER#2"}));
    // The hive file is UTF-16LE; its ASCII text is the bytes without NULs.
    std::string hive;
    for (char c : TestMachine::ReadHostFile(m_machine.User() + "/registry/HKEY_CURRENT_USER.reg"))
        if (c != '\0')
            hive += c;
    EXPECT_NE(hive.find("Software\\Crash]"), std::string::npos) << hive;
    EXPECT_EQ(hive.find("lost"), std::string::npos);
    EXPECT_EQ(LastStep(), "registry HKEY_CURRENT_USER.reg");
}

TEST_F(CrashPointsTest, PointsThatCannotBeParsedArmNothing) {
    for (const char* point :
         {"bogus", "rename#0", "rename#", "write#x", "Rename:b", "rename>", ">write", "write>x"})
        EXPECT_FALSE(win::ArmCrashPoint(point)) << point;
    // Nothing is armed after a refused point: these steps don't kill.
    WriteWholeFile(L"C:\\p.txt", "p");
    EXPECT_TRUE(MoveFileExW(L"C:\\p.txt", L"C:\\q.txt", MOVEFILE_REPLACE_EXISTING));
    EXPECT_TRUE(win::ArmCrashPoint("*:q.txt#3"));
    EXPECT_TRUE(win::ArmCrashPoint(""));
    EXPECT_TRUE(DeleteFileW(L"C:\\q.txt"));
}

// --- the children ---------------------------------------------------------

class CrashPointsChild : public ::testing::Test {
protected:
    void SetUp() override {
        if (!IsChildRun())
            GTEST_SKIP() << "runs as a child of CrashPointsTest";
        win::SetUserDirectory(std::getenv(kUserDirVar));
    }
};

TEST_F(CrashPointsChild, Renames) {
    WriteWholeFile(L"C:\\a1.txt", "first");
    WriteWholeFile(L"C:\\a2.txt", "second");
    WriteWholeFile(L"C:\\a3.txt", "third");
    ASSERT_TRUE(MoveFileExW(L"C:\\a1.txt", L"C:\\b.txt", MOVEFILE_REPLACE_EXISTING));
    ASSERT_TRUE(MoveFileExW(L"C:\\a2.txt", L"C:\\c.txt", MOVEFILE_REPLACE_EXISTING));
    ASSERT_TRUE(MoveFileExW(L"C:\\a3.txt", L"C:\\b.txt", MOVEFILE_REPLACE_EXISTING));
    WriteWholeFile(L"C:\\survived.txt", "yes");
}

TEST_F(CrashPointsChild, WritesAfterArming) {
    CrtFile* file = _wfopen(L"C:\\x.txt", L"wb");
    ASSERT_NE(file, nullptr);
    for (const char* piece : {"1", "2"}) {
        fputs(piece, file);
        fflush(file);
    }
    ASSERT_TRUE(win::ArmCrashPoint("write:x.txt#2"));
    for (const char* piece : {"3", "4"}) {
        fputs(piece, file);
        fflush(file);
    }
    fclose(file);
}

TEST_F(CrashPointsChild, WritesAroundARename) {
    CrtFile* file = _wfopen(L"C:\\x.txt", L"wb");
    ASSERT_NE(file, nullptr);
    for (const char* piece : {"1", "2"}) {
        fputs(piece, file);
        fflush(file);
    }
    WriteWholeFile(L"C:\\a.txt", "a");
    ASSERT_TRUE(MoveFileExW(L"C:\\a.txt", L"C:\\b.txt", MOVEFILE_REPLACE_EXISTING));
    for (const char* piece : {"3", "4"}) {
        fputs(piece, file);
        fflush(file);
    }
    fclose(file);
}

TEST_F(CrashPointsChild, RegistryValue) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Crash", 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    DWORD one = 1;
    RegSetValueExW(key, L"lost", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), sizeof one);
    RegCloseKey(key);
}

}  // namespace
