// The change-key state files' reader and writer on files made in the test,
// read and written through the runtime's text-mode streams.
#include "Quillmere/tracking/ChangeKeyStateFiles.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <signal.h>
#include <sys/wait.h>

#include <cstdlib>

#include "platform/win/Crt.h"
#include "platform/win/Environment.h"
#include "platform/win/Files.h"
#include "platform/win/TestChildProcess.h"
#include "platform/win/TestMachine.h"
#include "platform/win/Text.h"

namespace {

using namespace std::string_literals;
using win::testing::TestMachine;

constexpr const wchar_t* kKeys = L"C:\\0011.keys.ids";
constexpr const wchar_t* kValues = L"C:\\0011.values.ids";

class ChangeKeyStateFilesTest : public ::testing::Test {
protected:
    std::string HostPath(const char* name) const { return m_machine.DriveC() + "/" + name; }

    // Reads the pairs of two files holding these bytes.
    bool Read(const std::string& keys, const std::string& values,
              std::vector<ChangeKeyEntry>& pairs) {
        TestMachine::WriteHostFile(HostPath("0011.keys.ids"), keys);
        TestMachine::WriteHostFile(HostPath("0011.values.ids"), values);
        CrtFile* k = _wfopen(kKeys, L"r");
        CrtFile* v = _wfopen(kValues, L"r");
        EXPECT_NE(k, nullptr);
        EXPECT_NE(v, nullptr);
        if (!k || !v)
            return false;
        bool agree = changekeys::ReadStateFilePairs(k, v, pairs);
        fclose(k);
        fclose(v);
        return agree;
    }

    void Write(const std::vector<ChangeKeyEntry>& entries) {
        CrtFile* k = _wfopen(kKeys, L"w");
        CrtFile* v = _wfopen(kValues, L"w");
        ASSERT_NE(k, nullptr);
        ASSERT_NE(v, nullptr);
        for (const ChangeKeyEntry& entry : entries)
            changekeys::WriteStateFilePair(k, v, entry);
        fclose(k);
        fclose(v);
    }

    TestMachine m_machine;
};

TEST_F(ChangeKeyStateFilesTest, PairsAreReadUpToTheShorterFileUnlessOnlyOneEndsEarly) {
    struct Case {
        const char* name;
        std::string keys;
        std::string values;
        std::vector<ChangeKeyEntry> pairs;
        bool agree;
    };
    const std::string a510(510, 'A');
    const std::string a511(511, 'A');
    const std::string a600(600, 'A');
    const std::wstring w510(510, L'A');
    const std::wstring w511(511, L'A');
    const std::wstring w89(89, L'A');
    const Case cases[] = {
        {"lines ending in CR LF",
         "0A0A\r\n0B0B\r\n",
         "V1\r\n0123456789AB\r\n",
         {{L"0A0A", L"V1"}, {L"0B0B", L"0123456789AB"}},
         true},
        {"lines ending in LF alone",
         "0A0A\n0B0B\n",
         "V1\nV2\n",
         {{L"0A0A", L"V1"}, {L"0B0B", L"V2"}},
         true},
        {"neither file ends its last line",
         "0A0A\r\n0B0B",
         "V1\r\nV2",
         {{L"0A0A", L"V1"}, {L"0B0B", L"V2"}},
         true},
        {"only the values file lacks its last line end",
         "0A0A\r\n0B0B\r\n",
         "V1\r\nV2",
         {{L"0A0A", L"V1"}, {L"0B0B", L"V2"}},
         false},
        {"only the keys file lacks its last line end",
         "0A0A\r\n0B0B",
         "V1\r\nV2\r\n",
         {{L"0A0A", L"V1"}, {L"0B0B", L"V2"}},
         false},
        {"keys file longer than the values file",
         "0A0A\r\n0B0B\r\n0C0C\r\n",
         "V1\r\nV2\r\n",
         {{L"0A0A", L"V1"}, {L"0B0B", L"V2"}},
         true},
        {"values file longer than the keys file",
         "0A0A\r\n",
         "V1\r\nV2\r\n",
         {{L"0A0A", L"V1"}},
         true},
        // The unended last key is never paired, so nothing tells.
        {"longer keys file without its last line end",
         "0A0A\r\n0B0B\r\n0C0C",
         "V1\r\n",
         {{L"0A0A", L"V1"}},
         true},
        // A line over the limit comes back in pieces and shifts the pairs after it.
        {"a 600-byte line is read as two lines",
         a600 + "\r\n0B0B\r\n",
         "V1\r\nV2\r\nV3\r\n",
         {{w511, L"V1"}, {w89, L"V2"}, {L"0B0B", L"V3"}},
         true},
        {"a 510-byte line fits whole", a510 + "\r\n", "V1\r\n", {{w510, L"V1"}}, true},
        {"a 511-byte line leaves its line end as an empty line",
         a511 + "\r\n",
         "V1\r\nV2\r\n",
         {{w511, L"V1"}, {L"", L"V2"}},
         true},
        {"bytes above 0x7F are Windows-1252",
         "\x80\xE9\x9F\r\n",
         "\x81\xFF\r\n",
         {{L"\u20AC\u00E9\u0178", L"\u0081\u00FF"}},
         true},
        {"both files empty", "", "", {}, true},
        {"empty keys file", "", "V1\r\n", {}, true},
        {"empty values file", "0A0A\r\n", "", {}, true},
        {"a lone CR stays and a NUL byte ends the line",
         "0A\r0A\r\n",
         "V1\0rest\r\n"s,
         {{L"0A\r0A", L"V1"}},
         true},
        {"a Ctrl-Z ends the data",
         "0A0A\r\n\x1A"
         "0B0B\r\n",
         "V1\r\nV2\r\n",
         {{L"0A0A", L"V1"}},
         true},
        {"a Ctrl-Z after an unended last line", "0A0A\x1A", "V1", {{L"0A0A", L"V1"}}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<ChangeKeyEntry> pairs{{L"left", L"over"}};
        EXPECT_EQ(Read(c.keys, c.values, pairs), c.agree);
        EXPECT_EQ(pairs, c.pairs);
    }
}

TEST_F(ChangeKeyStateFilesTest, PairsAreWrittenAsAnsiLinesEndingInCrLf) {
    Write({{L"0A0A", L"NEWITEM"}, {L"\u20AC\u00E9", L"\u0100x"}, {L"", L"0123456789AB"}});
    EXPECT_EQ(TestMachine::ReadHostFile(HostPath("0011.keys.ids")), "0A0A\r\n\x80\xE9\r\n\r\n");
    // A character that Windows-1252 lacks is written as '?'.
    EXPECT_EQ(TestMachine::ReadHostFile(HostPath("0011.values.ids")),
              "NEWITEM\r\n?x\r\n0123456789AB\r\n");
}

TEST_F(ChangeKeyStateFilesTest, WrittenPairsReadBackInOrder) {
    const std::vector<ChangeKeyEntry> entries = {
        {L"00AA11BB", L"0123456789ABCDEF0123"},
        {L"22CC33DD", L"010203040506"},
        {L"22CC33DD", L"HOTMAL"},
        {L"\u00FCml\u00E4ut", std::wstring(510, L'C')},
    };
    Write(entries);
    CrtFile* k = _wfopen(kKeys, L"r");
    CrtFile* v = _wfopen(kValues, L"r");
    ASSERT_NE(k, nullptr);
    ASSERT_NE(v, nullptr);
    std::vector<ChangeKeyEntry> pairs;
    EXPECT_TRUE(changekeys::ReadStateFilePairs(k, v, pairs));
    fclose(k);
    fclose(v);
    EXPECT_EQ(pairs, entries);
}

// The pair as RecoverInterruptedWrite and a read leave it.
std::vector<ChangeKeyEntry> RecoverAndRead() {
    changekeys::RecoverInterruptedWrite(kKeys, kValues);
    std::vector<ChangeKeyEntry> pairs;
    CrtFile* k = _wfopen(kKeys, L"r");
    CrtFile* v = _wfopen(kValues, L"r");
    if (k && v)
        changekeys::ReadStateFilePairs(k, v, pairs);
    if (k)
        fclose(k);
    if (v)
        fclose(v);
    return pairs;
}

const std::vector<ChangeKeyEntry> kOldPair = {{L"0A0A", L"CHANGED"}, {L"0B0B", L"HOTMAL"}};
const std::vector<ChangeKeyEntry> kNewPair = {
    {L"0B0B", L"0123456789ABCDEF"}, {L"0C0C", L"NEWITEM"}, {L"0A0A", L"010203040506"}};
constexpr const char* kUserDirVar = "QM_CHANGE_KEY_FILES_TEST_USER";

// Killed at each step of replacing the pair, the process leaves the old pair
// or the new one, never keys of the one with values of the other; a write
// cut between its two renames is completed by the next read.
TEST_F(ChangeKeyStateFilesTest, KilledAtAnyStepOfAWriteLeavesOneWholePair) {
    struct Case {
        const char* point;
        const std::vector<ChangeKeyEntry>* after;
    };
    const Case cases[] = {
        {"write:.values.ids", &kOldPair},  {"write:.keys.ids", &kOldPair},
        {"rename:.values.ids", &kOldPair}, {"rename:.keys.ids", &kNewPair},
        {"write:nothing", &kNewPair},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.point);
        ASSERT_TRUE(changekeys::WriteStateFiles(kKeys, kValues, kOldPair));
        int status =
            win::testing::RunChildTestStatus("ChangeKeyStateFilesChild.WritesTheNewPair",
                                             {std::string(kUserDirVar) + "=" + m_machine.User(),
                                              std::string("QUILLMERE_CRASH_AT=") + c.point});
        const bool killed = WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
        EXPECT_EQ(killed, std::string(c.point) != "write:nothing");
        EXPECT_EQ(RecoverAndRead(), *c.after);
        EXPECT_FALSE(TestMachine::HostExists(HostPath("0011.keys.ids.new")));
        EXPECT_FALSE(TestMachine::HostExists(HostPath("0011.values.ids.new")));
    }
}

TEST_F(ChangeKeyStateFilesTest, KeysAndValuesThatCanBeTrusted) {
    EXPECT_TRUE(changekeys::IsSyncIdText(L"0A0b"));
    for (const wchar_t* bad : {L"", L"0", L"0G", L"0A 0B", L"\x7f\x7f"})
        EXPECT_FALSE(changekeys::IsSyncIdText(bad)) << win::ToUtf8(bad);
    for (const wchar_t* good : {L"0123456789ABCDEF", L"010203040506", L"NEWITEM", L"CHANGED",
                                L"REMINDR", L"DETECT", L"HOTMAL"})
        EXPECT_TRUE(changekeys::IsStateValue(good)) << win::ToUtf8(good);
    for (const wchar_t* bad : {L"", L"V1", L"01020304050A", L"0123456789ABCDEZ", L"newitem"})
        EXPECT_FALSE(changekeys::IsStateValue(bad)) << win::ToUtf8(bad);
    EXPECT_TRUE(changekeys::IsAbsorbingMarker(L"DETECT"));
    EXPECT_FALSE(changekeys::IsAbsorbingMarker(L"HOTMAL"));
}

class ChangeKeyStateFilesChild : public ::testing::Test {
protected:
    void SetUp() override {
        if (!win::testing::IsChildRun())
            GTEST_SKIP() << "runs as a child of ChangeKeyStateFilesTest";
        win::SetUserDirectory(std::getenv(kUserDirVar));
    }
};

TEST_F(ChangeKeyStateFilesChild, WritesTheNewPair) {
    EXPECT_TRUE(changekeys::WriteStateFiles(kKeys, kValues, kNewPair));
}

}  // namespace
