// Message boxes, answered without a screen: by a handler that the host or a
// test installs, else by the box's default button.
//
// Every call is recorded (owner, text, caption, type, calling thread,
// answer) so that tests can read what the user would have seen. Without a
// handler the text is also written to stderr as "MessageBox: caption: text"
// (UTF-8). Thread-safe; the handler runs on the calling thread, outside any
// lock, and may be called from several threads at once.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/win/Types.h"
#include "platform/win/Window.h"

// Button sets (the low four bits of the type).
constexpr UINT MB_OK = 0x00000000;
constexpr UINT MB_OKCANCEL = 0x00000001;
constexpr UINT MB_ABORTRETRYIGNORE = 0x00000002;
constexpr UINT MB_YESNOCANCEL = 0x00000003;
constexpr UINT MB_YESNO = 0x00000004;
constexpr UINT MB_RETRYCANCEL = 0x00000005;
constexpr UINT MB_CANCELTRYCONTINUE = 0x00000006;
constexpr UINT MB_TYPEMASK = 0x0000000F;
// Icons.
constexpr UINT MB_ICONHAND = 0x00000010;
constexpr UINT MB_ICONERROR = MB_ICONHAND;
constexpr UINT MB_ICONSTOP = MB_ICONHAND;
constexpr UINT MB_ICONQUESTION = 0x00000020;
constexpr UINT MB_ICONEXCLAMATION = 0x00000030;
constexpr UINT MB_ICONWARNING = MB_ICONEXCLAMATION;
constexpr UINT MB_ICONASTERISK = 0x00000040;
constexpr UINT MB_ICONINFORMATION = MB_ICONASTERISK;
constexpr UINT MB_ICONMASK = 0x000000F0;
// Default button.
constexpr UINT MB_DEFBUTTON1 = 0x00000000;
constexpr UINT MB_DEFBUTTON2 = 0x00000100;
constexpr UINT MB_DEFBUTTON3 = 0x00000200;
constexpr UINT MB_DEFBUTTON4 = 0x00000300;
constexpr UINT MB_DEFMASK = 0x00000F00;
// Modality and options (recorded, no effect here).
constexpr UINT MB_APPLMODAL = 0x00000000;
constexpr UINT MB_SYSTEMMODAL = 0x00001000;
constexpr UINT MB_TASKMODAL = 0x00002000;
constexpr UINT MB_HELP = 0x00004000;
constexpr UINT MB_SETFOREGROUND = 0x00010000;
constexpr UINT MB_DEFAULT_DESKTOP_ONLY = 0x00020000;
constexpr UINT MB_TOPMOST = 0x00040000;
constexpr UINT MB_RIGHT = 0x00080000;
constexpr UINT MB_RTLREADING = 0x00100000;
constexpr UINT MB_SERVICE_NOTIFICATION = 0x00200000;

// Answers.
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDABORT = 3;
constexpr int IDRETRY = 4;
constexpr int IDIGNORE = 5;
constexpr int IDYES = 6;
constexpr int IDNO = 7;
constexpr int IDCLOSE = 8;
constexpr int IDHELP = 9;
constexpr int IDTRYAGAIN = 10;
constexpr int IDCONTINUE = 11;

constexpr DWORD ERROR_INVALID_MSGBOX_STYLE = 1438;

// Shows (records and answers) a message box. text or caption null: the
// empty text / the caption "Error", as on the platform. Returns the button
// chosen; 0 with ERROR_INVALID_WINDOW_HANDLE for an owner that is no window,
// or ERROR_INVALID_MSGBOX_STYLE for an unknown button set.
int MessageBoxW(HWND owner, const WCHAR* text, const WCHAR* caption, UINT type);
// The same; the language only selects the button texts on the platform.
int MessageBoxExW(HWND owner, const WCHAR* text, const WCHAR* caption, UINT type, WORD language);
// ANSI form: text and caption in the ANSI code page.
int MessageBoxA(HWND owner, const char* text, const char* caption, UINT type);

namespace win {

struct MessageBoxCall {
    HWND owner = nullptr;
    std::wstring text;
    std::wstring caption;
    UINT type = 0;
    DWORD threadId = 0;
    int result = 0;  // filled in after the answer
};

// Installs the handler that answers every message box (an empty function
// removes it). Its return value is returned by MessageBoxW as it is.
void SetMessageBoxHandler(std::function<int(const MessageBoxCall&)> handler);
// The button a user pressing Enter would choose: the MB_DEFBUTTONn of the
// type's button set, the first button when the set has fewer buttons. 0 for
// an unknown set.
int DefaultMessageBoxAnswer(UINT type);
// Every call so far, oldest first.
std::vector<MessageBoxCall> MessageBoxCalls();
void ClearMessageBoxCalls();

}  // namespace win
