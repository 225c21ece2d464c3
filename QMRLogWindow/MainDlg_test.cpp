#include "QMRLogWindow/MainDlg.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "QMRLogWindow/QMRLogWindowModule.h"
#include "QMRLogWindow/QMRLogWindowResources.h"
#include "platform/win/Clock.h"
#include "platform/win/CommonDialog.h"
#include "platform/win/Crt.h"
#include "platform/win/Files.h"
#include "platform/win/Keys.h"
#include "platform/win/MessageBox.h"
#include "platform/win/MessageLoop.h"
#include "platform/win/Paths.h"
#include "platform/win/Resources.h"
#include "platform/win/ScrollBar.h"
#include "platform/win/TestMachine.h"
#include "platform/win/UserInput.h"

namespace {

// On the virtual clock: the reload timer fires exactly at its period.
class MainDlgTest : public ::testing::Test {
protected:
    void SetUp() override {
        win::SetVirtualClockForTesting(true);
        win::ClearFileDialogCalls();
    }
    void TearDown() override {
        win::SetFileDialogHandler({});
        win::ClearFileDialogCalls();
        m_dialog.reset();
        // Messages left for destroyed windows go with them.
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageW(&msg);
        win::SetVirtualClockForTesting(false);
    }

    static std::wstring TempDir() {
        WCHAR temp[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, temp);
        return temp;
    }
    static std::wstring LogOf(LogMode mode) {
        return TempDir() +
               (mode == LogMode::Error ? L"Quillmere_error.log" : L"Quillmere_debug.log");
    }
    // Writes to a log as the add-in does: a text-mode stream, so lines end
    // in CR LF on disk.
    static void WriteLog(const std::string& text, LogMode mode = LogMode::Debug,
                         bool append = true) {
        CrtFile* file = _wfopen(LogOf(mode).c_str(), append ? L"a+" : L"w");
        ASSERT_NE(file, nullptr);
        fputs(text.c_str(), file);
        fclose(file);
    }

    CMainDlg& Open(LogMode mode = LogMode::Debug) {
        m_dialog = std::make_unique<CMainDlg>(mode);
        m_openedAt = GetTickCount();
        EXPECT_NE(m_dialog->Create(nullptr), nullptr) << GetLastError();
        return *m_dialog;
    }
    std::wstring Shown() const {
        int length = GetWindowTextLengthW(m_dialog->m_edit);
        std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
        GetWindowTextW(m_dialog->m_edit, text.data(), length + 1);
        text.resize(static_cast<std::size_t>(length));
        return text;
    }

    // Runs the thread's messages for ms platform milliseconds or until done
    // says so; true when done did. A quit message is noted, not obeyed.
    bool Pump(DWORD ms, const std::function<bool()>& done = {}) {
        DWORD start = GetTickCount();
        for (;;) {
            MSG msg;
            while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
                if (msg.message == WM_QUIT) {
                    m_quit = true;
                    continue;
                }
                TranslateMessage(&msg);
                DispatchMessageW(&msg);
            }
            if (done && done())
                return true;
            const DWORD elapsed = GetTickCount() - start;
            if (elapsed >= ms)
                return false;
            MsgWaitForMultipleObjects(0, nullptr, FALSE, ms - elapsed, QS_ALLINPUT);
        }
    }
    // Long enough for at least two reloads.
    void PumpTwoReloads() { Pump(2 * CMainDlg::kReloadPeriodMs + 1000); }

    static std::string Numbered(int from, int to) {
        std::string text;
        for (int i = from; i < to; ++i)
            text += "line " + std::to_string(i) + "\n";
        return text;
    }
    static std::wstring NumberedShown(int from, int to) {
        std::wstring text;
        for (int i = from; i < to; ++i)
            text += L"line " + std::to_wstring(i) + L"\r\n";
        return text;
    }

    win::testing::TestMachine m_machine;
    std::unique_ptr<CMainDlg> m_dialog;
    DWORD m_openedAt = 0;
    bool m_quit = false;
};

TEST_F(MainDlgTest, TheWindowIsBuiltFromItsTemplate) {
    HMODULE module = CQMRLogWindowModule::ResourceModule();
    ASSERT_NE(module, nullptr);
    HRSRC res = FindResourceW(module, MAKEINTRESOURCEW(IDD_MAINDLG), RT_DIALOG);
    ASSERT_NE(res, nullptr);
    win::DialogTemplate t;
    ASSERT_TRUE(win::ParseDialogTemplate(
        static_cast<const std::uint8_t*>(LockResource(LoadResource(module, res))),
        SizeofResource(module, res), t));
    EXPECT_EQ(t.title, L"Logging");
    EXPECT_EQ(t.cx, 365);
    EXPECT_EQ(t.cy, 375);
    EXPECT_EQ(t.face, L"MS Shell Dlg");
    EXPECT_EQ(t.pointSize, 8);
    EXPECT_EQ(t.style & (WS_POPUP | WS_CAPTION | DS_MODALFRAME),
              WS_POPUP | WS_CAPTION | DS_MODALFRAME);
    EXPECT_EQ(t.style & WS_SYSMENU, 0u) << "no system menu, so no close box";
    EXPECT_NE(t.exStyle & WS_EX_APPWINDOW, 0u);
    ASSERT_EQ(t.items.size(), 3u);
    struct Expected {
        DWORD id;
        const WCHAR* className;
        const WCHAR* text;
        short x, y, cx, cy;
        DWORD style;
    } expected[] = {
        {IDC_LOGTEXT, L"Edit", L"", 7, 7, 351, 343,
         ES_MULTILINE | ES_AUTOVSCROLL | WS_VSCROLL | WS_BORDER | WS_TABSTOP},
        {IDOK, L"Button", L"OK", 308, 354, 50, 14, BS_DEFPUSHBUTTON},
        {IDC_SAVELOG, L"Button", L"Save Debuglog", 237, 354, 69, 14, BS_PUSHBUTTON | WS_TABSTOP},
    };
    for (std::size_t i = 0; i < t.items.size(); ++i) {
        const auto& item = t.items[i];
        const Expected& e = expected[i];
        EXPECT_EQ(item.id, e.id);
        EXPECT_EQ(item.className, e.className);
        EXPECT_EQ(item.text, e.text);
        EXPECT_EQ(item.x, e.x);
        EXPECT_EQ(item.y, e.y);
        EXPECT_EQ(item.cx, e.cx);
        EXPECT_EQ(item.cy, e.cy);
        EXPECT_EQ(item.style & e.style, e.style) << item.text;
    }
    EXPECT_EQ(t.items[0].style & (ES_AUTOHSCROLL | WS_HSCROLL | ES_READONLY), 0u)
        << "lines wrap and the text is editable";
}

TEST_F(MainDlgTest, InitialisationShowsTheLogCentredWithRoomForALongLog) {
    WriteLog("first\nsecond\n");
    CMainDlg& dialog = Open();
    ASSERT_NE(dialog.m_edit, nullptr);
    EXPECT_EQ(dialog.m_edit, GetDlgItem(dialog.m_hWnd, IDC_LOGTEXT));
    EXPECT_EQ(Shown(), L"first\r\nsecond\r\n");
    EXPECT_EQ(SendMessageW(dialog.m_edit, EM_GETLIMITTEXT, 0, 0), 0xA00000);
    EXPECT_EQ(GetFocus(), dialog.m_edit);
    EXPECT_FALSE(IsWindowVisible(dialog.m_hWnd)) << "shown by the program, not the template";
    RECT window{}, screen{};
    GetWindowRect(dialog.m_hWnd, &window);
    GetWindowRect(GetDesktopWindow(), &screen);
    EXPECT_LE(std::abs((window.left + window.right) - (screen.left + screen.right)), 1);
    EXPECT_LE(std::abs((window.top + window.bottom) - (screen.top + screen.bottom)), 1);
}

TEST_F(MainDlgTest, AGrowingLogIsFollowedAfterFiveSecondsEachLineOnce) {
    WriteLog(Numbered(0, 3));
    Open();
    WriteLog(Numbered(3, 5));
    EXPECT_EQ(Shown(), NumberedShown(0, 3));
    ASSERT_TRUE(Pump(20000, [&] { return Shown() != NumberedShown(0, 3); }));
    EXPECT_EQ(GetTickCount() - m_openedAt, CMainDlg::kReloadPeriodMs) << "at the timer";
    EXPECT_EQ(Shown(), NumberedShown(0, 5));
    PumpTwoReloads();
    EXPECT_EQ(Shown(), NumberedShown(0, 5)) << "nothing shown twice";
    WriteLog(Numbered(5, 6));
    ASSERT_TRUE(Pump(20000, [&] { return Shown() == NumberedShown(0, 6); })) << Shown().size();
}

TEST_F(MainDlgTest, ALogReplacedByAShorterOneIsShownAfresh) {
    WriteLog(Numbered(0, 10));
    Open();
    ASSERT_EQ(Shown(), NumberedShown(0, 10));
    WriteLog("rotated 1\nrotated 2\n", LogMode::Debug, false);
    ASSERT_TRUE(Pump(20000, [&] { return Shown() != NumberedShown(0, 10); }));
    EXPECT_EQ(Shown(), L"rotated 1\r\nrotated 2\r\n");
    PumpTwoReloads();
    EXPECT_EQ(Shown(), L"rotated 1\r\nrotated 2\r\n");
}

// A rotation leaves a new log that may be as long as the shown one or
// longer: what is shown must be the new log from its start, never old lines
// followed by the new log's later ones.
TEST_F(MainDlgTest, ALogReplacedByOneAsLongOrLongerIsShownFromItsStart) {
    for (int length : {3, 5}) {
        SCOPED_TRACE(length);
        WriteLog(Numbered(0, 3), LogMode::Debug, false);
        Open();
        ASSERT_EQ(Shown(), NumberedShown(0, 3));
        std::string replaced;
        std::wstring expected;
        for (int i = 0; i < length; ++i) {
            replaced += "new " + std::to_string(i) + "\n";
            expected += L"new " + std::to_wstring(i) + L"\r\n";
        }
        WriteLog(replaced, LogMode::Debug, false);
        ASSERT_TRUE(Pump(20000, [&] { return Shown() != NumberedShown(0, 3); }));
        EXPECT_EQ(Shown(), expected);
        PumpTwoReloads();
        EXPECT_EQ(Shown(), expected) << "shown once";
        m_dialog.reset();
    }
}

TEST_F(MainDlgTest, WhileScrolledUpTheTextStaysUntilTheViewIsBackAtTheBottom) {
    WriteLog(Numbered(0, 100));
    CMainDlg& dialog = Open();
    ASSERT_EQ(Shown(), NumberedShown(0, 100));
    SCROLLINFO si{};
    si.cbSize = sizeof si;
    si.fMask = SIF_ALL;
    ASSERT_TRUE(GetScrollInfo(dialog.m_edit, SB_VERT, &si));
    ASSERT_GE(si.nPos + static_cast<int>(si.nPage), si.nMax) << "the load left the view at the end";

    SendMessageW(dialog.m_edit, EM_LINESCROLL, 0, -20);  // the user reads earlier lines
    int firstVisible = static_cast<int>(SendMessageW(dialog.m_edit, EM_GETFIRSTVISIBLELINE, 0, 0));
    WriteLog(Numbered(100, 103));
    PumpTwoReloads();
    EXPECT_EQ(Shown(), NumberedShown(0, 100));
    EXPECT_EQ(SendMessageW(dialog.m_edit, EM_GETFIRSTVISIBLELINE, 0, 0), firstVisible);

    si.fMask = SIF_POS;
    si.nPos = 1000;  // back to the bottom
    SetScrollInfo(dialog.m_edit, SB_VERT, &si, TRUE);
    ASSERT_TRUE(Pump(20000, [&] { return Shown() == NumberedShown(0, 103); }));
}

TEST_F(MainDlgTest, ALineStillBeingWrittenIsCompletedNotRepeated) {
    // The add-in writes a line in parts when it logs a value after a text.
    WriteLog("12:00:00|7|-> value: ");
    Open();
    EXPECT_EQ(Shown(), L"12:00:00|7|-> value: ");
    WriteLog("42\nnext\n");
    ASSERT_TRUE(Pump(20000, [&] { return Shown() != L"12:00:00|7|-> value: "; }));
    EXPECT_EQ(Shown(), L"12:00:00|7|-> value: 42\r\nnext\r\n");
    PumpTwoReloads();
    EXPECT_EQ(Shown(), L"12:00:00|7|-> value: 42\r\nnext\r\n");
}

TEST_F(MainDlgTest, ALongLineArrivesInPiecesAndIsShownWhole) {
    const std::string longLine(2500, 'x');
    WriteLog(longLine + "\nafter\n");
    Open();
    const std::wstring expected = std::wstring(2500, L'x') + L"\r\nafter\r\n";
    EXPECT_EQ(Shown(), expected);
    WriteLog(std::string(CMainDlg::kMaxPiece, 'y'));  // a full piece, its line not yet ended
    ASSERT_TRUE(Pump(20000, [&] { return Shown() != expected; }));
    WriteLog("z\n");
    ASSERT_TRUE(Pump(20000, [&] { return Shown().ends_with(L"z\r\n"); }));
    EXPECT_EQ(Shown(), expected + std::wstring(CMainDlg::kMaxPiece, L'y') + L"z\r\n");
}

TEST_F(MainDlgTest, AMissingLogLeavesTheWindowAsItIs) {
    Open();
    EXPECT_EQ(Shown(), L"");
    PumpTwoReloads();
    EXPECT_EQ(Shown(), L"");
    WriteLog("arrived\n");
    ASSERT_TRUE(Pump(20000, [&] { return Shown() == L"arrived\r\n"; }));
    ASSERT_TRUE(DeleteFileW(LogOf(LogMode::Debug).c_str()));
    PumpTwoReloads();
    EXPECT_EQ(Shown(), L"arrived\r\n");
    EXPECT_TRUE(win::MessageBoxCalls().empty());
}

TEST_F(MainDlgTest, TheLogsAnsiTextIsShownAsItsCharacters) {
    WriteLog("Gr\xFC\xDF \x80 caf\xE9\n");  // Windows-1252, as the add-in writes
    Open();
    EXPECT_EQ(Shown(), L"Gr\u00FC\u00DF \u20AC caf\u00E9\r\n");
}

TEST_F(MainDlgTest, TheErrorModeShowsTheErrorLog) {
    WriteLog("debug line\n", LogMode::Debug);
    WriteLog("ERROR: something: MAPI_E_NOT_FOUND\n", LogMode::Error);
    CMainDlg& dialog = Open(LogMode::Error);
    EXPECT_EQ(dialog.LogPath(), LogOf(LogMode::Error));
    EXPECT_EQ(Shown(), L"ERROR: something: MAPI_E_NOT_FOUND\r\n");
    WriteLog("ERROR: more\n", LogMode::Error);
    ASSERT_TRUE(Pump(20000, [&] { return Shown().ends_with(L"ERROR: more\r\n"); }));
}

TEST_F(MainDlgTest, SaveCopiesTheLogToTheChosenFile) {
    struct Case {
        LogMode mode;
        const WCHAR* proposed;
    } cases[] = {{LogMode::Debug, L"QuillmereDebugLog.txt"},
                 {LogMode::Error, L"QuillmereErrorLog.txt"}};
    WCHAR desktop[MAX_PATH] = {};
    ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_DESKTOP, nullptr, 0, desktop), S_OK);
    for (const Case& c : cases) {
        WriteLog("one\ntwo\n", c.mode, false);
        CMainDlg& dialog = Open(c.mode);
        win::ClearFileDialogCalls();
        win::SetFileDialogHandler([](const win::FileDialogCall& call) {
            return std::optional<std::wstring>(L"copy");  // typed in the proposed folder
        });
        const std::wstring target = std::wstring(desktop) + L"\\copy.txt";
        ASSERT_TRUE(win::ClickButton(GetDlgItem(dialog.m_hWnd, IDC_SAVELOG)));
        auto calls = win::FileDialogCalls();
        ASSERT_EQ(calls.size(), 1u);
        const auto& call = calls[0];
        EXPECT_TRUE(call.save);
        EXPECT_EQ(call.owner, dialog.m_hWnd);
        ASSERT_EQ(call.filters.size(), 1u);
        EXPECT_EQ(call.filters[0].first, L"Logdatein (*.txt)");
        EXPECT_EQ(call.filters[0].second, L"*.txt");
        EXPECT_EQ(call.fileName, c.proposed);
        EXPECT_EQ(call.initialDir, desktop);
        EXPECT_EQ(call.defaultExt, L"txt");
        EXPECT_EQ(call.flags, OFN_CREATEPROMPT | OFN_HIDEREADONLY);
        EXPECT_EQ(call.maxFile, 255u);
        EXPECT_EQ(call.maxFileTitle, 255u);
        EXPECT_EQ(call.result, target);
        auto copy = win::HostPath(target);
        auto log = win::HostPath(LogOf(c.mode));
        ASSERT_TRUE(copy && log);
        EXPECT_EQ(m_machine.ReadHostFile(*copy), "one\r\ntwo\r\n");
        EXPECT_EQ(m_machine.ReadHostFile(*copy), m_machine.ReadHostFile(*log));

        // An existing copy is overwritten.
        WriteLog("three\n", c.mode);
        ASSERT_TRUE(win::ClickButton(GetDlgItem(dialog.m_hWnd, IDC_SAVELOG)));
        EXPECT_EQ(m_machine.ReadHostFile(*copy), "one\r\ntwo\r\nthree\r\n");
        ASSERT_TRUE(DeleteFileW(target.c_str()));
    }
}

TEST_F(MainDlgTest, ACancelledOrFailedSaveDoesNothingVisible) {
    CMainDlg& dialog = Open();  // no log at all
    HWND save = GetDlgItem(dialog.m_hWnd, IDC_SAVELOG);
    ASSERT_TRUE(win::ClickButton(save));  // no handler: cancelled
    ASSERT_EQ(win::FileDialogCalls().size(), 1u);

    win::SetFileDialogHandler([](const win::FileDialogCall&) {
        return std::optional<std::wstring>(L"C:\\copies\\log.txt");
    });
    ASSERT_TRUE(win::ClickButton(save));  // the log is missing: the copy fails
    EXPECT_EQ(GetFileAttributesW(L"C:\\copies\\log.txt"), INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(win::MessageBoxCalls().empty());
    EXPECT_TRUE(IsWindow(dialog.m_hWnd));
}

TEST_F(MainDlgTest, OnlyOkEndsTheProgram) {
    WriteLog("line\n");
    CMainDlg& dialog = Open();
    ShowWindow(dialog.m_hWnd, SW_SHOWNORMAL);
    HWND hwnd = dialog.m_hWnd;
    // Esc reaches the focused log text (the program's loop does no dialog
    // keys); the close command is the dialog's Cancel, which it ignores.
    PostMessageW(dialog.m_edit, WM_KEYDOWN, VK_ESCAPE, 0);
    PostMessageW(hwnd, WM_CLOSE, 0, 0);
    SendMessageW(hwnd, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    Pump(1000);
    EXPECT_TRUE(IsWindow(hwnd));
    EXPECT_TRUE(IsWindowVisible(hwnd));
    EXPECT_FALSE(m_quit);

    ASSERT_TRUE(win::ClickButton(GetDlgItem(hwnd, IDOK)));
    EXPECT_FALSE(IsWindow(hwnd));
    EXPECT_EQ(dialog.m_hWnd, nullptr);
    Pump(100);
    EXPECT_TRUE(m_quit);
}

}  // namespace
