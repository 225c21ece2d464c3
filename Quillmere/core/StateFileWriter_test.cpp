#include "Quillmere/core/StateFileWriter.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <cstdlib>
#include <string>

#include "platform/win/CrashPoints.h"
#include "platform/win/Crt.h"
#include "platform/win/Environment.h"
#include "platform/win/Files.h"
#include "platform/win/TestChildProcess.h"
#include "platform/win/TestMachine.h"

namespace {

using win::testing::TestMachine;

constexpr const wchar_t* kPath = L"C:\\state.ids";
constexpr const char* kUserDirVar = "QM_STATE_FILE_TEST_USER";

class StateFileWriterTest : public ::testing::Test {
protected:
    void SetUp() override { TestMachine::WriteHostFile(Host(), "old\r\n"); }
    void TearDown() override { win::FailWritesForTesting(0); }
    std::string Host() const { return m_machine.DriveC() + "/state.ids"; }
    std::string HostNew() const { return Host() + ".new"; }

    TestMachine m_machine;
};

TEST_F(StateFileWriterTest, CommitReplacesTheFileWholeAndOnlyThen) {
    CStateFileWriter writer(kPath, L"w");
    ASSERT_NE(writer.Stream(), nullptr);
    fputs("new line\n", writer.Stream());
    EXPECT_TRUE(writer.Finish());
    // Written through, not yet counted: the old file is still the record.
    EXPECT_EQ(TestMachine::ReadHostFile(Host()), "old\r\n");
    EXPECT_EQ(TestMachine::ReadHostFile(HostNew()), "new line\r\n");
    EXPECT_TRUE(writer.Commit());
    EXPECT_EQ(TestMachine::ReadHostFile(Host()), "new line\r\n");
    EXPECT_FALSE(TestMachine::HostExists(HostNew()));
}

TEST_F(StateFileWriterTest, UncommittedOrFailedWritesKeepTheOldFile) {
    {
        CStateFileWriter writer(kPath, L"wb");
        fputs("abandoned", writer.Stream());
    }
    EXPECT_EQ(TestMachine::ReadHostFile(Host()), "old\r\n");
    EXPECT_FALSE(TestMachine::HostExists(HostNew()));

    win::FailWritesForTesting(1);
    CStateFileWriter writer(kPath, L"wb");
    fputs("disk full", writer.Stream());
    EXPECT_FALSE(writer.Commit());
    EXPECT_EQ(TestMachine::ReadHostFile(Host()), "old\r\n");
    EXPECT_FALSE(TestMachine::HostExists(HostNew()));
}

TEST_F(StateFileWriterTest, NewFileThatCannotBeOpenedFailsTheCommit) {
    CStateFileWriter writer(L"C:\\missing\\state.ids", L"w");
    EXPECT_EQ(writer.Stream(), nullptr);
    EXPECT_FALSE(writer.Commit());
}

// Killed at any step of a write, the process leaves the old file whole.
TEST_F(StateFileWriterTest, KilledWhileWritingLeavesTheOldFileWhole) {
    for (const char* point : {"write:state.ids", "rename:state.ids"}) {
        int status =
            win::testing::RunChildTestStatus("StateFileWriterChild.WritesAndCommits",
                                             {std::string(kUserDirVar) + "=" + m_machine.User(),
                                              std::string("QUILLMERE_CRASH_AT=") + point});
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << point;
        EXPECT_EQ(TestMachine::ReadHostFile(Host()), "old\r\n") << point;
    }
    int status = win::testing::RunChildTestStatus(
        "StateFileWriterChild.WritesAndCommits",
        {std::string(kUserDirVar) + "=" + m_machine.User(), "QUILLMERE_CRASH_AT=write:none"});
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(TestMachine::ReadHostFile(Host()), std::string(2000, 'n') + "\r\n");
}

class StateFileWriterChild : public ::testing::Test {
protected:
    void SetUp() override {
        if (!win::testing::IsChildRun())
            GTEST_SKIP() << "runs as a child of StateFileWriterTest";
        win::SetUserDirectory(std::getenv(kUserDirVar));
    }
};

TEST_F(StateFileWriterChild, WritesAndCommits) {
    CStateFileWriter writer(kPath, L"w");
    ASSERT_NE(writer.Stream(), nullptr);
    fputs((std::string(2000, 'n') + "\n").c_str(), writer.Stream());
    ASSERT_TRUE(writer.Commit());
}

}  // namespace
