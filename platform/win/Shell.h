// The shell's program start: ShellExecuteW over fork/exec.
//
// Only programs are started (there are no file associations): the file names
// a program in a mapped directory, "X.exe" being the host file "X" (or
// "X.exe" when that exists). The call never waits for the program; a reaper
// thread collects each child when it ends, so none lingers as a zombie.
// Thread-safe.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/win/Types.h"

struct HWND__;
using HWND = HWND__*;
struct HINSTANCE__;
using HINSTANCE = HINSTANCE__*;

// Show commands. The child sees the value in env QUILLMERE_SHOW_CMD.
constexpr int SW_HIDE = 0;
constexpr int SW_SHOWNORMAL = 1;
constexpr int SW_NORMAL = 1;
constexpr int SW_SHOWMINIMIZED = 2;
constexpr int SW_SHOWMAXIMIZED = 3;
constexpr int SW_SHOWNOACTIVATE = 4;
constexpr int SW_SHOW = 5;
constexpr int SW_MINIMIZE = 6;
constexpr int SW_SHOWMINNOACTIVE = 7;
constexpr int SW_SHOWNA = 8;
constexpr int SW_RESTORE = 9;
constexpr int SW_SHOWDEFAULT = 10;

// ShellExecute results of 32 and below.
constexpr int SE_ERR_FNF = 2;
constexpr int SE_ERR_PNF = 3;
constexpr int SE_ERR_ACCESSDENIED = 5;
constexpr int SE_ERR_OOM = 8;
constexpr int SE_ERR_NOASSOC = 31;

// Starts file with parameters (split like a Windows command line: blanks
// separate, double quotes group, backslashes escape quotes) in directory
// (null: the current directory). verb null or "open" starts the program;
// any other verb gives SE_ERR_NOASSOC. The result, read as an integer, is
// above 32 on success; SE_ERR_FNF when the program does not exist,
// SE_ERR_PNF when the directory does not, SE_ERR_ACCESSDENIED when the file
// can't be executed. The child inherits the environment, including
// QUILLMERE_USER_DIR, QUILLMERE_INSTALL_DIR (set to this process's) and
// QUILLMERE_TIME_SCALE, and gets QUILLMERE_SHOW_CMD = showCmd.
HINSTANCE ShellExecuteW(HWND hwnd, const WCHAR* verb, const WCHAR* file, const WCHAR* parameters,
                        const WCHAR* directory, INT showCmd);

// The process's command line as the platform keeps it: the program's
// Windows path, then its arguments, each quoted where SplitCommandLine
// needs it to read the same argument back. The text lives as long as the
// process.
const WCHAR* GetCommandLineW();

namespace win {

// What one ShellExecuteW call asked for and what came of it.
struct ShellExecuteCall {
    std::wstring verb;        // as given ("" for null)
    std::wstring file;        // as given
    std::wstring parameters;  // as given
    std::wstring directory;   // as given ("" for null)
    int showCmd = 0;
    std::string hostProgram;        // host file started ("" when not found)
    std::vector<std::string> argv;  // argv[0] = hostProgram
    std::string hostDirectory;      // working directory of the child
    std::intptr_t result = 0;       // the value returned
    int processId = 0;              // child's process id, 0 when none started
};

// Sees every call after it was handled, on the calling thread. Pass an
// empty function to remove the observer.
void SetShellExecuteObserver(std::function<void(const ShellExecuteCall&)> observer);

// Splits a command line as the platform's runtime splits its arguments.
std::vector<std::wstring> SplitCommandLine(const std::wstring& commandLine);
// The inverse: joins arguments into a command line that splits back into
// them (blank-free arguments are left unquoted).
std::wstring JoinCommandLine(const std::vector<std::wstring>& args);
// The command line after the program name, as a program's wWinMain receives
// it ("errorlog" for a program started with the parameters "errorlog").
std::wstring CommandLineArguments();

// Number of started children not yet reaped (for tests).
int RunningShellChildren();

// A stand-in facility for the host: while it lives, the children that
// ShellExecuteW starts on this thread get these NAME=VALUE entries in their
// environment as well (replacing a variable of that name), and the last
// one's process id is kept. Not nested.
class ScopedChildEnvironment {
public:
    explicit ScopedChildEnvironment(std::vector<std::string> entries);
    ~ScopedChildEnvironment();
    ScopedChildEnvironment(const ScopedChildEnvironment&) = delete;
    ScopedChildEnvironment& operator=(const ScopedChildEnvironment&) = delete;
    // 0 until a child was started.
    int LastProcessId() const { return m_lastProcessId; }

private:
    friend struct ChildEnvironmentAccess;
    std::vector<std::string> m_entries;
    int m_lastProcessId = 0;
};

}  // namespace win
