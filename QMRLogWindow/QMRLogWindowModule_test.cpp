#include "QMRLogWindow/QMRLogWindowModule.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "QMRLogWindow/QMRLogWindowResources.h"
#include "platform/win/Clock.h"
#include "platform/win/Crt.h"
#include "platform/win/Paths.h"
#include "platform/win/Registry.h"
#include "platform/win/Shell.h"
#include "platform/win/TestMachine.h"
#include "platform/win/Timer.h"
#include "platform/win/UserInput.h"
#include "platform/win/Version.h"
#include "platform/win/VirtualClockTestSupport.h"

namespace {

TEST(QMRLogWindowModule, OnlyTheExactWordErrorlogSelectsTheErrorLog) {
    struct Case {
        const WCHAR* commandLine;
        LogMode mode;
    } cases[] = {
        {L"errorlog", LogMode::Error},     {L"", LogMode::Debug},
        {L"ErrorLog", LogMode::Debug},     {L"ERRORLOG", LogMode::Debug},
        {L"errorlog ", LogMode::Debug},    {L" errorlog", LogMode::Debug},
        {L"\"errorlog\"", LogMode::Debug}, {L"debuglog", LogMode::Debug},
    };
    for (const Case& c : cases)
        EXPECT_EQ(CQMRLogWindowModule::ModeFromCommandLine(c.commandLine), c.mode)
            << '"' << win::PathToUtf8(c.commandLine) << '"';
}

TEST(QMRLogWindowModule, DeclaresItsAppIdAndTypeLibrary) {
    EXPECT_STREQ(CQMRLogWindowModule::GetAppId(), L"{B7208CE1-393C-46BB-A043-AFA825182A35}");
    EXPECT_STREQ(CQMRLogWindowModule::kTypeLibName, L"QMRLogWindowLib");
    EXPECT_EQ(CQMRLogWindowModule::kTimeOut, 5000u);
    EXPECT_EQ(CQMRLogWindowModule::kPause, 1000u);
}

// What the person at the screen saw and did during the in-process run.
struct Visit {
    HWND window = nullptr;
    std::wstring shown;
    bool visible = false;
    bool survivedClose = false;
};
Visit g_visit;

void ActAsTheUser(HWND, UINT, UINT_PTR id, DWORD) {
    KillTimer(nullptr, id);
    HWND window = FindWindowW(L"#32770", L"Logging");
    g_visit.window = window;
    if (!window)
        return;
    g_visit.visible = IsWindowVisible(window) != FALSE;
    WCHAR text[256] = {};
    GetDlgItemTextW(window, IDC_LOGTEXT, text, 256);
    g_visit.shown = text;
    SendMessageW(window, WM_CLOSE, 0, 0);
    g_visit.survivedClose = IsWindow(window) != FALSE;
    win::ClickButton(GetDlgItem(window, IDOK));
}

TEST(QMRLogWindowModule, TheProgramShowsTheLogUntilOkEndsIt) {
    win::testing::TestMachine machine;
    // On the virtual clock the user's timer and the reloads take no real time.
    win::testing::VirtualClock clock;
    WCHAR temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    CrtFile* log = _wfopen((std::wstring(temp) + L"Quillmere_error.log").c_str(), L"w");
    ASSERT_NE(log, nullptr);
    fputs("ERROR: shown\n", log);
    fclose(log);

    g_visit = {};
    // After a reload or two the user looks, tries to close the window, then
    // presses "OK".
    ASSERT_NE(SetTimer(nullptr, 0, 12000, ActAsTheUser), 0u);
    CQMRLogWindowModule module;
    EXPECT_EQ(module.WinMain(L"errorlog"), 0);
    ASSERT_NE(g_visit.window, nullptr);
    EXPECT_TRUE(g_visit.visible);
    EXPECT_EQ(g_visit.shown, L"ERROR: shown\r\n");
    EXPECT_TRUE(g_visit.survivedClose);
    EXPECT_FALSE(IsWindow(g_visit.window));
}

// The whole command line chooses the log; a registration switch is no
// switch here: the program registers nothing and shows the debug log.
TEST(QMRLogWindowModule, TheProgramShowsTheLogItsCommandLineChose) {
    const struct {
        const WCHAR* commandLine;
        const WCHAR* shown;
    } cases[] = {
        {L"errorlog", L"ERROR: from the error log\r\n"},
        {L"ErrorLog", L"from the debug log\r\n"},
        {L"", L"from the debug log\r\n"},
        {L"/RegServer", L"from the debug log\r\n"},
    };
    win::testing::TestMachine machine;
    win::testing::VirtualClock clock;
    WCHAR temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    for (const auto& [name, text] :
         {std::pair{L"Quillmere_debug.log", "from the debug log\n"},
          std::pair{L"Quillmere_error.log", "ERROR: from the error log\n"}}) {
        CrtFile* log = _wfopen((std::wstring(temp) + name).c_str(), L"w");
        ASSERT_NE(log, nullptr);
        fputs(text, log);
        fclose(log);
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << '"' << win::PathToUtf8(c.commandLine) << '"');
        g_visit = {};
        ASSERT_NE(SetTimer(nullptr, 0, 12000, ActAsTheUser), 0u);
        EXPECT_EQ(CQMRLogWindowModule().WinMain(c.commandLine), 0);
        ASSERT_NE(g_visit.window, nullptr);
        EXPECT_EQ(g_visit.shown, c.shown);
        EXPECT_FALSE(IsWindow(g_visit.window));
    }
    HKEY key = nullptr;
    EXPECT_NE(RegOpenKeyExW(HKEY_CLASSES_ROOT, L"AppID\\{B7208CE1-393C-46BB-A043-AFA825182A35}", 0,
                            KEY_READ, &key),
              ERROR_SUCCESS);
}

// As the add-in's Options page starts it: ShellExecuteW "open" of
// "QMRLogWindow.exe" in the add-in's directory with "errorlog". The program
// runs until its user presses "OK", which nobody does here: it must still be
// running (its reloads at a fast clock did not end it), and is then stopped.
TEST(QMRLogWindowProgram, StartsFromTheInstallDirectoryAsTheOptionsPageStartsIt) {
    win::testing::TestMachine machine;
    win::SetInstallDirectory(QM_BINARY_DIR "/bin");
    double scale = win::TimeScale();
    win::SetTimeScaleForTesting(1000);  // the child runs at this clock too
    win::ShellExecuteCall started;
    win::SetShellExecuteObserver([&](const win::ShellExecuteCall& call) { started = call; });
    HINSTANCE result = ShellExecuteW(nullptr, L"open", L"P:\\QMRLogWindow.exe", L"errorlog",
                                     L"P:\\", SW_SHOWNORMAL);
    win::SetShellExecuteObserver({});
    win::SetTimeScaleForTesting(scale);
    ASSERT_GT(reinterpret_cast<std::intptr_t>(result), 32);
    EXPECT_EQ(std::filesystem::path(started.hostProgram).filename(), "QMRLogWindow");
    EXPECT_EQ(started.argv, (std::vector<std::string>{started.hostProgram, "errorlog"}));
    ASSERT_GT(started.processId, 0);
    // 300 real ms are many reload periods of the child's clock.
    ::usleep(300 * 1000);
    EXPECT_EQ(win::RunningShellChildren(), 1) << "ended without its user";
    ASSERT_EQ(::kill(started.processId, SIGTERM), 0);
    for (int i = 0; i < 3000 && win::RunningShellChildren() > 0; ++i)
        ::usleep(10 * 1000);
    EXPECT_EQ(win::RunningShellChildren(), 0);
}

// Asked for its usage from a shell, the program tells it and ends, with no
// window; any other argument still opens the window (the start above).
TEST(QMRLogWindowProgram, HelpPrintsTheUsageAndEnds) {
    win::testing::TestMachine machine;
    const std::string output = machine.Root() + "/help.txt";
    const std::string command = "QUILLMERE_USER_DIR=" + machine.User() +
                                " " QM_BINARY_DIR "/bin/QMRLogWindow --help >" + output + " 2>&1";
    int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    const std::string text = machine.ReadHostFile(output);
    EXPECT_EQ(text.rfind("usage: QMRLogWindow [errorlog]\n", 0), 0u) << text;
    EXPECT_NE(text.find("\"OK\""), std::string::npos) << text;
    EXPECT_EQ(win::PathToUtf8(CQMRLogWindowModule::UsageText()), text);
}

TEST(QMRLogWindowProgram, CarriesItsVersion) {
    win::testing::TestMachine machine;
    win::SetInstallDirectory(QM_BINARY_DIR "/bin");
    const WCHAR* file = L"P:\\QMRLogWindow.exe";
    DWORD size = GetFileVersionInfoSizeW(file, nullptr);
    ASSERT_GT(size, 0u);
    std::vector<BYTE> block(size);
    ASSERT_TRUE(GetFileVersionInfoW(file, 0, size, block.data()));
    void* value = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\StringFileInfo\\040904b0\\OriginalFilename",
                               &value, &length));
    EXPECT_EQ(std::wstring(static_cast<const WCHAR*>(value)), L"QMRLogWindow.exe");
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", &value, &length));
    EXPECT_EQ(static_cast<const VS_FIXEDFILEINFO*>(value)->dwFileType, VFT_APP);
}

}  // namespace
