// The program's entry: the platform's start hands the command line after
// the program name to wWinMain, whose result is the exit code.
#include <string>

#include "QMRLogWindow/QMRLogWindowModule.h"
#include "platform/win/Module.h"
#include "platform/win/Shell.h"

int wWinMain(HINSTANCE, HINSTANCE, WCHAR* commandLine, int) {
    CQMRLogWindowModule module;
    return module.WinMain(commandLine ? commandLine : L"");
}

int main() {
    std::wstring commandLine = win::CommandLineArguments();
    return wWinMain(GetModuleHandleW(nullptr), nullptr, commandLine.data(), SW_SHOWNORMAL);
}
