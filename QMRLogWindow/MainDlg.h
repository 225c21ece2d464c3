// The log viewer's one window: a modeless dialog that shows the add-in's
// debug log or error log while it grows, and saves a copy of it.
//
// Every 5 seconds the log is read again and the lines the window does not
// show yet are appended, but only while the view is scrolled to the bottom,
// so that a person reading earlier lines is not disturbed. A log that no
// longer begins with what the window shows (rotated or replaced, by a
// shorter or a longer file) is shown afresh from its start. A missing or
// unreadable log leaves the window as it is until a later tick can read it.
//
// Threading: one thread, the one that created the window; all members run
// on it from its message loop.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/win/Dialog.h"
#include "platform/win/Types.h"
#include "platform/win/Window.h"

// Which of the add-in's logs the window shows; fixed at start.
enum class LogMode { Debug, Error };

class CMainDlg {
public:
    static constexpr UINT_PTR kReloadTimerId = 0x401;
    static constexpr UINT kReloadPeriodMs = 5000;
    // The edit's text limit: room for a long log.
    static constexpr WPARAM kTextLimit = 0xA00000;
    // The longest piece of a line read at once; a longer line arrives as
    // several pieces.
    static constexpr int kMaxPiece = 1023;

    explicit CMainDlg(LogMode mode) : m_mode(mode) {}
    CMainDlg(const CMainDlg&) = delete;
    CMainDlg& operator=(const CMainDlg&) = delete;

    // The message map: true when the message was handled, with *result the
    // dialog procedure's answer.
    virtual bool ProcessWindowMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam,
                                      LRESULT* result);
    // Destroys the window if it still exists.
    virtual ~CMainDlg();
    // The dialog procedure the window is created with.
    virtual DLGPROC GetDialogProc();
    // Called after the window's last message (WM_NCDESTROY); nothing to do.
    virtual void OnFinalMessage(HWND hwnd);
    // The template hosts no ActiveX controls: nothing to create, true.
    virtual bool CreateActiveXControls(UINT resourceId);

    // Creates the window from dialog template 102 of resourceModule (null:
    // the module that carries the viewer's resources), modeless, hidden;
    // initialisation loads the log once and starts the reload timer. The
    // window, or null (GetLastError as CreateDialogParamW).
    HWND Create(HWND owner, HINSTANCE resourceModule = nullptr);

    // Reads the log again and shows what is new (see the top of this file).
    void ReloadLog();
    // Offers a save dialog owned by the window and copies the log to the
    // chosen path, overwriting it. Cancel does nothing; a failed copy is
    // silent.
    void OnSaveLog();

    // The log file: the temporary directory and "Quillmere_debug.log" or
    // "Quillmere_error.log"; empty when the temporary path is unknown.
    std::wstring LogPath() const;
    LogMode Mode() const { return m_mode; }
    // The name the save dialog proposes.
    const WCHAR* ProposedSaveName() const;

    HWND m_hWnd = nullptr;
    HWND m_edit = nullptr;

private:
    static INT_PTR DialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

    LRESULT OnInitDialog();
    void OnOk();
    void CenterWindow();

    bool ViewAtBottom() const;
    // The log's pieces (each with the line break it ends with), or false
    // when the file can't be opened.
    bool ReadPieces(std::vector<std::wstring>* pieces) const;
    // Whether the pieces still begin with what the window shows: the same
    // pieces, not only as many.
    bool StillShown(const std::vector<std::wstring>& pieces) const;
    void ClearText();
    void AppendNewPieces(const std::vector<std::wstring>& pieces);
    // Puts text at the end of the edit; false when the edit is full.
    bool AppendText(const std::wstring& text);

    LogMode m_mode;
    // What the window shows of the file: the pieces shown whole, then
    // m_shownTail, the start of a line still being written.
    std::vector<std::wstring> m_shown;
    std::wstring m_shownTail;
};
