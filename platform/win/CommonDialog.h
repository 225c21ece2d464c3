// The common file dialogs: GetSaveFileNameW and GetOpenFileNameW over an
// OPENFILENAMEW, with CommDlgExtendedError.
//
// Nobody sits at a screen here: the dialog is answered by the handler the
// host or a test installs (win::SetFileDialogHandler), which sees what the
// caller offered (filters, proposed name, folder, flags) and answers as the
// person would: a chosen path, or nothing for Cancel. Without a handler every
// dialog is cancelled: FALSE with CommDlgExtendedError() 0, as when the user
// presses Cancel. Every call is recorded (win::FileDialogCalls).
//
// The owner, when given, is disabled while the dialog is up and enabled
// again afterwards, as a modal dialog does. The current directory is left as
// it was (as with OFN_NOCHANGEDIR). Call from the owner's thread; the
// extended error is kept per thread.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/win/Types.h"
#include "platform/win/Window.h"

using LPOFNHOOKPROC = UINT_PTR (*)(HWND, UINT, WPARAM, LPARAM);

// The structure as its documentation lays it out (a C++ value here, never
// read as bytes).
struct OPENFILENAMEW {
    DWORD lStructSize;
    HWND hwndOwner;
    HINSTANCE hInstance;
    const WCHAR* lpstrFilter;  // pairs "description\0pattern\0", then "\0"
    WCHAR* lpstrCustomFilter;
    DWORD nMaxCustFilter;
    DWORD nFilterIndex;     // 1-based; 0 takes the custom filter (here: the first)
    WCHAR* lpstrFile;       // in: proposed name (may be empty); out: chosen path
    DWORD nMaxFile;         // characters of lpstrFile, terminator included
    WCHAR* lpstrFileTitle;  // out (optional): the chosen file name alone
    DWORD nMaxFileTitle;
    const WCHAR* lpstrInitialDir;
    const WCHAR* lpstrTitle;
    DWORD Flags;
    WORD nFileOffset;          // out: index of the file name in lpstrFile
    WORD nFileExtension;       // out: index after the '.' of the extension, 0 when none
    const WCHAR* lpstrDefExt;  // appended (with '.') to a chosen name without extension
    LPARAM lCustData;
    LPOFNHOOKPROC lpfnHook;
    const WCHAR* lpTemplateName;
    void* pvReserved;
    DWORD dwReserved;
    DWORD FlagsEx;
};
using LPOPENFILENAMEW = OPENFILENAMEW*;

constexpr DWORD OFN_READONLY = 0x00000001;
constexpr DWORD OFN_OVERWRITEPROMPT = 0x00000002;
constexpr DWORD OFN_HIDEREADONLY = 0x00000004;
constexpr DWORD OFN_NOCHANGEDIR = 0x00000008;
constexpr DWORD OFN_SHOWHELP = 0x00000010;
constexpr DWORD OFN_ENABLEHOOK = 0x00000020;
constexpr DWORD OFN_ENABLETEMPLATE = 0x00000040;
constexpr DWORD OFN_NOVALIDATE = 0x00000100;
constexpr DWORD OFN_ALLOWMULTISELECT = 0x00000200;
constexpr DWORD OFN_EXTENSIONDIFFERENT = 0x00000400;
constexpr DWORD OFN_PATHMUSTEXIST = 0x00000800;
constexpr DWORD OFN_FILEMUSTEXIST = 0x00001000;
constexpr DWORD OFN_CREATEPROMPT = 0x00002000;
constexpr DWORD OFN_NOREADONLYRETURN = 0x00008000;
constexpr DWORD OFN_EXPLORER = 0x00080000;

// CommDlgExtendedError codes.
constexpr DWORD CDERR_STRUCTSIZE = 0x0001;
constexpr DWORD CDERR_INITIALIZATION = 0x0002;
constexpr DWORD CDERR_DIALOGFAILURE = 0xFFFF;
constexpr DWORD FNERR_INVALIDFILENAME = 0x3002;
constexpr DWORD FNERR_BUFFERTOOSMALL = 0x3003;

// Offers the dialog and, when the user confirms, stores the chosen full
// Windows path in lpstrFile (and its name in lpstrFileTitle) and returns
// TRUE. FALSE when the user cancels (CommDlgExtendedError() 0) or on a
// failure: CDERR_STRUCTSIZE for a wrong lStructSize, CDERR_DIALOGFAILURE for
// an owner that is no window, CDERR_INITIALIZATION for a null lpstrFile or a
// zero nMaxFile, FNERR_INVALIDFILENAME for an answer that is no valid path,
// FNERR_BUFFERTOOSMALL when the path does not fit nMaxFile (lpstrFile[0]
// then holds the characters needed, terminator included).
BOOL GetSaveFileNameW(LPOPENFILENAMEW ofn);
BOOL GetOpenFileNameW(LPOPENFILENAMEW ofn);
// The outcome of the calling thread's last file dialog: 0 after success or
// Cancel, else a CDERR_* / FNERR_* code.
DWORD CommDlgExtendedError();

namespace win {

// A file dialog as its handler sees it and as it is recorded.
struct FileDialogCall {
    bool save = false;
    HWND owner = nullptr;
    std::vector<std::pair<std::wstring, std::wstring>> filters;  // description, pattern
    DWORD filterIndex = 0;
    std::wstring fileName;  // the proposed name (lpstrFile on entry)
    std::wstring initialDir;
    std::wstring title;
    std::wstring defaultExt;
    DWORD flags = 0;
    DWORD maxFile = 0;
    DWORD maxFileTitle = 0;
    bool ownerDisabled = false;  // the owner was disabled while the handler ran
    std::wstring result;         // the path returned ("" for Cancel or failure)
};

// The user's answer: a path (absolute, or relative to the dialog's initial
// folder), or nullopt for Cancel. Runs on the caller's thread inside the call.
using FileDialogHandler = std::function<std::optional<std::wstring>(const FileDialogCall&)>;
// Installs the handler (an empty function removes it). Thread-safe.
void SetFileDialogHandler(FileDialogHandler handler);
std::vector<FileDialogCall> FileDialogCalls();
void ClearFileDialogCalls();

}  // namespace win
