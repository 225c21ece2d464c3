// The log viewer's executable module: the program's start (mode from the
// command line, the log window, the message loop) and what the module
// declares of itself as a COM executable. It registers nothing and serves
// no classes.
//
// Threading: one thread, the program's main thread.
#pragma once

#include <string>

#include "QMRLogWindow/MainDlg.h"
#include "platform/win/Module.h"
#include "platform/win/Types.h"

class CQMRLogWindowModule {
public:
    // The module's AppID, as its application-id hook gives it; nothing reads
    // it.
    static constexpr const wchar_t* kAppId = L"{B7208CE1-393C-46BB-A043-AFA825182A35}";
    // The type library the module declares (it holds no types).
    static constexpr const wchar_t* kTypeLibName = L"QMRLogWindowLib";
    // A server's wait after its last object went, and the pause between its
    // checks. The module serves nothing, so they take effect nowhere; kept
    // for the module's contract.
    static constexpr DWORD kTimeOut = 5000;
    static constexpr DWORD kPause = 1000;

    // The application-id hook.
    static const wchar_t* GetAppId() { return kAppId; }

    // Exactly "errorlog" (the whole command line, case-sensitive) shows the
    // error log; anything else, nothing included, the debug log.
    static LogMode ModeFromCommandLine(const std::wstring& commandLine);

    // The command line that asks for the usage instead of the window.
    static constexpr const wchar_t* kHelpArgument = L"--help";
    // What the program tells the console of the shell that started it with
    // kHelpArgument.
    static const wchar_t* UsageText();

    // The program: the log window for the command line's mode, created
    // without owner and shown normally, then the message loop until the
    // quit message (posted when the user presses "OK"). Returns the exit
    // code, 0; also 0 at once when the window can't be created. With exactly
    // kHelpArgument it writes UsageText to the console of its starter and
    // returns 0 at once, showing no window.
    int WinMain(const std::wstring& commandLine);

    // The module that carries the viewer's resources (the program, or a
    // test program that links the same code).
    static HMODULE ResourceModule();
};
