#include "platform/win/Shell.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/win/Clock.h"
#include "platform/win/Environment.h"
#include "platform/win/Errors.h"
#include "platform/win/Files.h"
#include "platform/win/TestMachine.h"

namespace {

using win::testing::TestMachine;

// The helper program is built into bin/, beside this test.
const std::string kBin = std::string(QM_BINARY_DIR) + "/bin";

class ShellTest : public ::testing::Test {
protected:
    void SetUp() override {
        win::SetInstallDirectory(kBin);
        win::SetShellExecuteObserver(
            [this](const win::ShellExecuteCall& c) { m_calls.push_back(c); });
        ASSERT_TRUE(CreateDirectoryW(L"C:\\run", nullptr));
    }
    void TearDown() override { win::SetShellExecuteObserver({}); }

    std::string RunDir() const { return m_machine.DriveC() + "/run"; }

    // Waits (real time, bounded) until cond holds.
    template <class Cond>
    static bool WaitFor(Cond cond, int seconds = 20) {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (!cond()) {
            if (std::chrono::steady_clock::now() > end)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }

    TestMachine m_machine;
    std::vector<win::ShellExecuteCall> m_calls;
};

std::intptr_t Result(HINSTANCE h) {
    return reinterpret_cast<std::intptr_t>(h);
}

TEST_F(ShellTest, StartsAProgramHiddenWithoutWaiting) {
    win::SetTimeScaleForTesting(60);
    HINSTANCE h = ShellExecuteW(nullptr, L"open", L"P:\\QmShellTestChild.exe",
                                L"errorlog \"two words\" a\\\"b", L"C:\\run", SW_HIDE);
    win::SetTimeScaleForTesting(1);
    ASSERT_GT(Result(h), 32);
    ASSERT_EQ(m_calls.size(), 1u);
    const auto& call = m_calls[0];
    EXPECT_EQ(call.hostProgram, kBin + "/QmShellTestChild");
    EXPECT_EQ(call.hostDirectory, RunDir());
    EXPECT_EQ(call.result, Result(h));
    ASSERT_GT(call.processId, 0);

    // The child waits for "go": had the call waited for it, it could not
    // have returned yet, and the child is still running now.
    EXPECT_FALSE(TestMachine::HostExists(RunDir() + "/child-output.txt"));
    EXPECT_EQ(kill(call.processId, 0), 0);
    TestMachine::WriteHostFile(RunDir() + "/go", "");
    ASSERT_TRUE(WaitFor([&] { return TestMachine::HostExists(RunDir() + "/child-output.txt"); }));
    EXPECT_EQ(TestMachine::ReadHostFile(RunDir() + "/child-output.txt"),
              "QUILLMERE_SHOW_CMD=0\n"
              "QUILLMERE_USER_DIR=" +
                  m_machine.User() +
                  "\n"
                  "QUILLMERE_INSTALL_DIR=" +
                  kBin +
                  "\n"
                  "QUILLMERE_TIME_SCALE=60\n"
                  "arg=errorlog\n"
                  "arg=two words\n"
                  "arg=a\"b\n"
                  "end\n");

    // Reaped once it ended: no zombie stays behind.
    ASSERT_TRUE(WaitFor([] { return win::RunningShellChildren() == 0; }));
    EXPECT_EQ(waitpid(call.processId, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

TEST_F(ShellTest, NullVerbOpensAndShowCommandReachesTheChild) {
    TestMachine::WriteHostFile(RunDir() + "/go", "");
    HINSTANCE h = ShellExecuteW(nullptr, nullptr, L"P:\\QmShellTestChild.exe", nullptr, L"C:\\run",
                                SW_SHOWNORMAL);
    ASSERT_GT(Result(h), 32);
    ASSERT_TRUE(WaitFor([&] { return TestMachine::HostExists(RunDir() + "/child-output.txt"); }));
    std::string out = TestMachine::ReadHostFile(RunDir() + "/child-output.txt");
    EXPECT_EQ(out.rfind("QUILLMERE_SHOW_CMD=1\n", 0), 0u) << out;
    EXPECT_EQ(out.find("arg="), std::string::npos);
    ASSERT_TRUE(WaitFor([] { return win::RunningShellChildren() == 0; }));
}

TEST_F(ShellTest, FailuresGiveTheShellsSmallResults) {
    TestMachine::WriteHostFile(m_machine.DriveC() + "/notes.txt", "not a program");
    struct Case {
        const wchar_t* verb;
        const wchar_t* file;
        const wchar_t* dir;
        std::intptr_t result;
    } cases[] = {
        {L"open", L"P:\\NoSuchProgram.exe", nullptr, SE_ERR_FNF},
        {L"open", L"C:\\nodir\\x.exe", nullptr, SE_ERR_FNF},
        {L"open", L"", nullptr, SE_ERR_FNF},
        {L"print", L"P:\\QmShellTestChild.exe", nullptr, SE_ERR_NOASSOC},
        {L"open", L"P:\\QmShellTestChild.exe", L"C:\\no\\such\\dir", SE_ERR_PNF},
        {L"open", L"C:\\notes.txt", nullptr, SE_ERR_ACCESSDENIED},
    };
    for (const auto& c : cases) {
        m_calls.clear();
        HINSTANCE h = ShellExecuteW(nullptr, c.verb, c.file, L"", c.dir, SW_HIDE);
        EXPECT_EQ(Result(h), c.result) << win::PathToUtf8(c.file);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(c.result));
        ASSERT_EQ(m_calls.size(), 1u);
        EXPECT_EQ(m_calls[0].processId, 0);
    }
    EXPECT_EQ(win::RunningShellChildren(), 0);
}

TEST_F(ShellTest, CommandLinesSplitAsTheRuntimeSplitsThem) {
    using V = std::vector<std::wstring>;
    struct Case {
        const wchar_t* line;
        V args;
    } cases[] = {
        {L"", {}},
        {L"   ", {}},
        {L"errorlog", {L"errorlog"}},
        {L"  a   b\tc ", {L"a", L"b", L"c"}},
        {L"\"a b\" c", {L"a b", L"c"}},
        {L"\"\"", {L""}},
        {L"a\\\\b", {L"a\\\\b"}},
        {L"a\\\"b", {L"a\"b"}},
        {L"a\\\\\"b c\"", {L"a\\b c"}},
        {L"\"a \"\"quoted\"\" word\"", {L"a \"quoted\" word"}},
        {L"C:\\Program Files\\x", {L"C:\\Program", L"Files\\x"}},
        {L"\"C:\\Program Files\\\\\" next", {L"C:\\Program Files\\", L"next"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(win::SplitCommandLine(c.line), c.args) << win::PathToUtf8(c.line);
    }
}

TEST_F(ShellTest, JoinedCommandLinesSplitBackIntoTheirArguments) {
    using V = std::vector<std::wstring>;
    const V samples[] = {
        {},
        {L"errorlog"},
        {L"a b", L"c"},
        {L""},
        {L"tab\there"},
        {L"say \"hi\""},
        {L"C:\\Program Files\\"},
        {L"back\\\\", L"x\\\"y"},
        {L"plain\\path\\x", L"\"", L"\\\""},
    };
    for (const auto& args : samples) {
        std::wstring line = win::JoinCommandLine(args);
        EXPECT_EQ(win::SplitCommandLine(line), args) << win::PathToUtf8(line);
    }
    EXPECT_EQ(win::JoinCommandLine({L"errorlog"}), L"errorlog");
    EXPECT_EQ(win::JoinCommandLine({L"a b", L"c\\d"}), L"\"a b\" c\\d");
}

TEST_F(ShellTest, CommandLineStartsWithTheProgramsWindowsPath) {
    std::wstring line = GetCommandLineW();
    EXPECT_EQ(line.rfind(L"P:\\win_Shell_test.exe", 0), 0u) << win::PathToUtf8(line);
    EXPECT_EQ(GetCommandLineW(), GetCommandLineW());  // one text for the process
}

}  // namespace
