#include "Quillmere/core/DebugLog.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "platform/win/Environment.h"
#include "platform/win/Paths.h"
#include "platform/win/Threads.h"

namespace {

namespace fs = std::filesystem;

class FakeEngine : public ISettingsTextOwner {
public:
    explicit FakeEngine(std::wstring path) : m_path(std::move(path)) {}
    const wchar_t* GetSettingsTextPath() const override { return m_path.c_str(); }

private:
    std::wstring m_path;
};

class DebugLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/qm_debuglog_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_dir = tmpl;
        win::SetUserDirectory(m_dir);
        wchar_t temp[MAX_PATH];
        ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
        m_temp = temp;
        logs::ResetForTesting();
        SetDebugLogPath((m_temp + L"Quillmere_debug.log").c_str());
        SetErrorLogPath((m_temp + L"Quillmere_error.log").c_str());
    }
    void TearDown() override {
        logs::ResetForTesting();
        fs::remove_all(m_dir);
    }

    std::string Host(const std::wstring& name) { return *win::HostPath(m_temp + name); }
    std::string Read(const std::wstring& name) {
        std::ifstream in(Host(name), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    bool Exists(const std::wstring& name) { return fs::exists(Host(name)); }
    std::string DebugLog() { return Read(L"Quillmere_debug.log"); }
    std::string ErrorLog() { return Read(L"Quillmere_error.log"); }

    std::string m_dir;
    std::wstring m_temp;
};

std::string Prefix() {
    return "\\d\\d:\\d\\d:\\d\\d\\|" + std::to_string(GetCurrentThreadId()) + "\\|-> ";
}

// Every line end is CR LF: no bare LF and no CR that doesn't start one.
bool OnlyCrLf(const std::string& s) {
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\n' && (i == 0 || s[i - 1] != '\r'))
            return false;
        if (s[i] == '\r' && (i + 1 == s.size() || s[i + 1] != '\n'))
            return false;
    }
    return true;
}

TEST_F(DebugLogTest, FirstReportIsItsContextAloneLaterOnesNamed) {
    LogHResult(0, "START");
    LogHResult(MAPI_E_NOT_FOUND, "Folder doesn't exist");
    LogHResult(E_FAIL, "No Store");
    EXPECT_EQ(ErrorLog(),
              "START\r\n"
              "ERROR: Folder doesn't exist: MAPI_E_NOT_FOUND\r\n"
              "ERROR: No Store: MAPI_E_CALL_FAILED\r\n");
    EXPECT_FALSE(Exists(L"Quillmere_debug.log")) << "debug switch is off";
}

// A failure before the first note ("START") is the process's first report:
// its code is written, as every later report's is.
TEST_F(DebugLogTest, AFailureReportedFirstKeepsItsCode) {
    LogHResult(MAPI_E_NOT_FOUND, "error on GetNamespace");
    LogHResult(0, "START");
    LogHResult(static_cast<HRESULT>(0x8004DEAD), "odd");
    EXPECT_EQ(ErrorLog(),
              "ERROR: error on GetNamespace: MAPI_E_NOT_FOUND\r\n"
              "ERROR: START: 0x0 GetLastError: 0\r\n"
              "ERROR: odd: 0x8004dead GetLastError: 0\r\n");
}

TEST_F(DebugLogTest, NamesCoverTheMapiCodes) {
    struct Case {
        std::uint32_t code;
        const char* name;
    } cases[] = {
        {0x80004002, "MAPI_E_INTERFACE_NOT_SUPPORTED"}, {0x8004010F, "MAPI_E_NOT_FOUND"},
        {0x80040124, "MAPI_E_ACCOUNT_DISABLED"},        {0x80040200, "MAPI_E_END_OF_SESSION"},
        {0x80040405, "MAPI_E_INVALID_BOOKMARK"},        {0x8004060C, "MAPI_E_STORE_FULL"},
        {0x80040700, "MAPI_E_AMBIGUOUS_RECIP"},         {0x80070057, "MAPI_E_INVALID_PARAMETER"},
        {0x8007000E, "MAPI_E_NOT_ENOUGH_MEMORY"},       {0x80070005, "MAPI_E_NO_ACCESS"},
    };
    for (const auto& c : cases) {
        ASSERT_NE(HResultName(static_cast<HRESULT>(c.code)), nullptr) << std::hex << c.code;
        EXPECT_STREQ(HResultName(static_cast<HRESULT>(c.code)), c.name);
    }
    // Codes next to named ones have no name.
    for (std::uint32_t code : {0x8004010Cu, 0x80040404u, 0x80040603u, 0x80004001u, 0u, 1u})
        EXPECT_EQ(HResultName(static_cast<HRESULT>(code)), nullptr) << std::hex << code;
    int named = 0;
    for (std::uint32_t code = 0x80040000; code < 0x80040800; ++code)
        named += HResultName(static_cast<HRESULT>(code)) != nullptr;
    EXPECT_EQ(named, 69 - 5);  // all but the 8000400x and 8007xxxx ones
}

TEST_F(DebugLogTest, UnnamedCodeGivesHexAndLastError) {
    LogHResult(0, "first");
    SetLastError(1234);
    LogHResult(static_cast<HRESULT>(0x00000ABC), "odd code");
    SetLastError(0);
    LogHResult(0, "note");
    LogHResult(static_cast<HRESULT>(0x8004DEAD), "");
    EXPECT_EQ(ErrorLog(),
              "first\r\n"
              "ERROR: odd code: 0xabc GetLastError: 1234\r\n"
              "ERROR: note: 0x0 GetLastError: 0\r\n"
              "ERROR: : 0x8004dead GetLastError: 0\r\n");
}

TEST_F(DebugLogTest, ReportOfAContextWithLineBreaksStaysOneLine) {
    LogHResult(0, "first");
    SetLastError(0);
    LogHResult(0, "\nAttachment was changed or is not included (zipped)!!");
    LogHResult(E_FAIL, "\r\nput_To()");
    LogHResult(0, "two\r\nparts\n");
    EXPECT_EQ(ErrorLog(),
              "first\r\n"
              "ERROR: Attachment was changed or is not included (zipped)!!: 0x0 GetLastError: 0\r\n"
              "ERROR: put_To(): MAPI_E_CALL_FAILED\r\n"
              "ERROR: two parts: 0x0 GetLastError: 0\r\n");
}

TEST_F(DebugLogTest, ReportLineIsCutAt255Characters) {
    LogHResult(0, "first");
    std::string context(400, 'c');
    LogHResult(MAPI_E_NOT_FOUND, context.c_str());
    std::string log = ErrorLog();
    std::string second = log.substr(log.find("\r\n") + 2);
    EXPECT_EQ(second, "ERROR: " + std::string(248, 'c') + "\r\n");
}

TEST_F(DebugLogTest, SwitchedOnDebugLogHasHeaderOnceAndPrefixedLines) {
    WriteDebugLog("not written while off");
    DebugSwitch = true;
    WriteDebugLog("standard-inbox evt");
    LogHResult(0, "START");
    LogHResult(MAPI_E_NOT_FOUND, "Folder doesn't exist");
    AppendDebugLog("part one", false);
    AppendDebugLog("part two", true);
    DebugSwitch = false;
    WriteDebugLog("off again");
    LogHResult(MAPI_E_NOT_FOUND, "still reported");
    std::string log = DebugLog();
    std::regex expected(" -{31} \\S+ \\S+( [AP]M)? -{31} \r\n\r\n" + Prefix() +
                        "standard-inbox evt\r\n" + Prefix() + "START\r\n" + Prefix() +
                        "ERROR: Folder doesn't exist: MAPI_E_NOT_FOUND\r\n" + Prefix() +
                        "part one part two\r\n");
    EXPECT_TRUE(std::regex_match(log, expected)) << log;
    EXPECT_TRUE(OnlyCrLf(log));
    EXPECT_EQ(ErrorLog(),
              "START\r\nERROR: Folder doesn't exist: MAPI_E_NOT_FOUND\r\n"
              "ERROR: still reported: MAPI_E_NOT_FOUND\r\n");
}

TEST_F(DebugLogTest, ValueLineHasOnePrefixTextBlankValue) {
    DebugSwitch = true;
    WriteDebugLogValue("Profilname: ", L"Outlook");
    WriteDebugLogValue("wrong store/fldr deleted", nullptr);
    WriteDebugLogValue(L"ExchangeVersion: ", L"15.1 \u00e9\u20ac\u4e2d");
    std::string log = DebugLog();
    std::string body = log.substr(log.find("\r\n\r\n") + 4);
    std::regex expected(Prefix() + "Profilname:  Outlook\r\n" + Prefix() +
                        "wrong store/fldr deleted \r\n" + Prefix() +
                        "ExchangeVersion:  15.1 \xE9\x80\\?\r\n");
    EXPECT_TRUE(std::regex_match(body, expected)) << body;
}

TEST_F(DebugLogTest, LogIfFailedReportsOnlyFailures) {
    EXPECT_TRUE(LogIfFailed(S_OK, "No StoreId"));
    EXPECT_TRUE(LogIfFailed(S_FALSE, "No StoreId"));
    EXPECT_FALSE(Exists(L"Quillmere_error.log"));
    EXPECT_FALSE(LogIfFailed(MAPI_E_NOT_FOUND, "No StoreId"));
    EXPECT_FALSE(LogIfFailed(MAPI_E_NOT_FOUND, "No Store"));
    EXPECT_EQ(ErrorLog(),
              "ERROR: No StoreId: MAPI_E_NOT_FOUND\r\nERROR: No Store: MAPI_E_NOT_FOUND\r\n");
}

TEST_F(DebugLogTest, FailingErrorLogIsGivenUpForTheProcess) {
    if (!fs::exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full";
    LogHResult(0, "first");
    // A missing directory: the line is lost, the error log stays on.
    SetErrorLogPath((m_temp + L"missing\\Quillmere_error.log").c_str());
    LogHResult(MAPI_E_NOT_FOUND, "lost");
    SetErrorLogPath((m_temp + L"Quillmere_error.log").c_str());
    LogHResult(MAPI_E_NOT_FOUND, "kept");
    EXPECT_EQ(ErrorLog(), "first\r\nERROR: kept: MAPI_E_NOT_FOUND\r\n");
    // A device that fails every write: from then on the debug log only.
    SetErrorLogPath(win::WindowsPath("/dev/full").c_str());
    LogHResult(MAPI_E_NOT_FOUND, "fails");
    SetErrorLogPath((m_temp + L"Quillmere_error.log").c_str());
    DebugSwitch = true;
    LogHResult(MAPI_E_NOT_FOUND, "debug only");
    EXPECT_EQ(ErrorLog(), "first\r\nERROR: kept: MAPI_E_NOT_FOUND\r\n");
    EXPECT_NE(DebugLog().find("ERROR: debug only: MAPI_E_NOT_FOUND\r\n"), std::string::npos);
}

TEST_F(DebugLogTest, SettingsTextIsAppendedUnchanged) {
    FakeEngine engine(m_temp + L"Quillmere_settings.txt");
    AppendSettingsText(&engine, "Global:\n");
    AppendSettingsText(&engine, "- SpecialSenderAddress: ");
    AppendSettingsText(&engine, L"m\u00fcller@example.com");
    AppendSettingsText(&engine, "\n");
    AppendSettingsText(&engine, static_cast<const char*>(nullptr));
    AppendSettingsText(nullptr, "no engine");
    EXPECT_EQ(Read(L"Quillmere_settings.txt"),
              "Global:\r\n- SpecialSenderAddress: m\xFCller@example.com\r\n");
    FakeEngine nowhere(m_temp + L"no\\such\\dir\\s.txt");
    AppendSettingsText(&nowhere, "lost");  // silently
}

TEST_F(DebugLogTest, SixStartsKeepTheFivePreviousRuns) {
    DebugSwitch = true;
    for (int run = 1; run <= 6; ++run) {
        RotateDebugLogs(m_temp.c_str());
        EXPECT_FALSE(Exists(L"Quillmere_debug.log"));
        logs::ResetForTesting();  // a new process
        SetDebugLogPath((m_temp + L"Quillmere_debug.log").c_str());
        DebugSwitch = true;
        WriteDebugLog(("run " + std::to_string(run)).c_str());
    }
    auto holds = [&](const std::wstring& name, int run) {
        return Read(name).find("-> run " + std::to_string(run) + "\r\n") != std::string::npos;
    };
    EXPECT_TRUE(holds(L"Quillmere_debug.log", 6));
    for (int n = 1; n <= 5; ++n)
        EXPECT_TRUE(holds(L"Quillmere_debug-" + std::to_wstring(n) + L".log", 6 - n)) << n;
    RotateDebugLogs(m_temp.c_str());
    for (int n = 1; n <= 5; ++n)
        EXPECT_TRUE(holds(L"Quillmere_debug-" + std::to_wstring(n) + L".log", 7 - n)) << n;
    EXPECT_FALSE(Exists(L"Quillmere_debug-6.log"));
    EXPECT_FALSE(Exists(L"Quillmere_debug.log"));

    // Gaps are skipped: only -2 present moves to -3.
    for (int n = 1; n <= 5; ++n)
        fs::remove(Host(L"Quillmere_debug-" + std::to_wstring(n) + L".log"));
    std::ofstream(Host(L"Quillmere_debug-2.log")) << "two";
    RotateDebugLogs(m_temp.c_str());
    EXPECT_EQ(Read(L"Quillmere_debug-3.log"), "two");
    EXPECT_FALSE(Exists(L"Quillmere_debug-2.log"));
    EXPECT_FALSE(Exists(L"Quillmere_debug-1.log"));
}

TEST_F(DebugLogTest, OverlongPathIsRefusedNotCut) {
    std::wstring longName(300, L'a');
    SetErrorLogPath((m_temp + longName).c_str());
    LogHResult(0, "x");
    for (const auto& entry : fs::directory_iterator(Host(L"")))
        EXPECT_EQ(entry.path().filename().string().find("aaaa"), std::string::npos);
}

TEST_F(DebugLogTest, ConcurrentValueLinesStayWhole) {
    DebugSwitch = true;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 50; ++i) {
                std::wstring value = L"v" + std::to_wstring(t) + L"_" + std::to_wstring(i);
                WriteDebugLogValue(("text" + std::to_string(t)).c_str(), value.c_str());
            }
        });
    }
    for (auto& th : threads)
        th.join();
    std::string log = DebugLog();
    size_t headerEnd = log.find("\r\n\r\n");
    ASSERT_NE(headerEnd, std::string::npos);
    size_t dashRuns = 0;
    for (size_t p = log.find(std::string(31, '-')); p != std::string::npos;
         p = log.find(std::string(31, '-'), p + 31))
        ++dashRuns;
    EXPECT_EQ(dashRuns, 2u) << "one header";
    std::regex line("\\d\\d:\\d\\d:\\d\\d\\|\\d+\\|-> text(\\d) v(\\d)_\\d+");
    std::string body = log.substr(headerEnd + 4);
    int lines = 0;
    for (size_t pos = 0; pos < body.size();) {
        size_t end = body.find("\r\n", pos);
        ASSERT_NE(end, std::string::npos);
        std::smatch m;
        std::string one = body.substr(pos, end - pos);
        ASSERT_TRUE(std::regex_match(one, m, line)) << one;
        EXPECT_EQ(m[1], m[2]);
        ++lines;
        pos = end + 2;
    }
    EXPECT_EQ(lines, 200);
}

}  // namespace
