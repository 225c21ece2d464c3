#include "QMRLogWindow/QMRLogWindowModule.h"

#include "platform/win/Console.h"
#include "platform/win/MessageLoop.h"
#include "platform/win/Shell.h"

// The compiled resources of the log viewer (its window and version), linked
// into whichever program holds this module.
extern "C" const unsigned char kQMRLogWindowResources[];

HMODULE CQMRLogWindowModule::ResourceModule() {
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            reinterpret_cast<const WCHAR*>(kQMRLogWindowResources), &module))
        return nullptr;
    return module;
}

LogMode CQMRLogWindowModule::ModeFromCommandLine(const std::wstring& commandLine) {
    return commandLine == L"errorlog" ? LogMode::Error : LogMode::Debug;
}

const wchar_t* CQMRLogWindowModule::UsageText() {
    return L"usage: QMRLogWindow [errorlog]\n"
           L"Shows the Quillmere add-in's debug log (Quillmere_debug.log in the temporary\n"
           L"directory) or, with \"errorlog\", its error log (Quillmere_error.log), reads it\n"
           L"again every 5 seconds while it grows, and saves a copy (\"Save Debuglog\").\n"
           L"The window stays until its \"OK\" button is pressed.\n";
}

int CQMRLogWindowModule::WinMain(const std::wstring& commandLine) {
    if (commandLine == kHelpArgument) {
        if (AttachConsole(ATTACH_PARENT_PROCESS)) {
            const std::wstring usage = UsageText();
            DWORD written = 0;
            WriteConsoleW(GetStdHandle(STD_OUTPUT_HANDLE), usage.c_str(),
                          static_cast<DWORD>(usage.size()), &written, nullptr);
        }
        return 0;
    }
    CMainDlg dialog(ModeFromCommandLine(commandLine));
    // Without its window the program could never be ended by its user, so
    // it ends at once instead of waiting in the loop for a quit that can't
    // come.
    if (!dialog.Create(nullptr))
        return 0;
    ShowWindow(dialog.m_hWnd, SW_SHOWNORMAL);
    MSG msg{};
    // GetMessageW's -1 (an error) ends the loop as the quit message does.
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return 0;
}
