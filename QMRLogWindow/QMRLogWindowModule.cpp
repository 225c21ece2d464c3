#include "QMRLogWindow/QMRLogWindowModule.h"

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

int CQMRLogWindowModule::WinMain(const std::wstring& commandLine) {
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
