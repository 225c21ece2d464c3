// Base of the add-in's dialogs on templates of this library's resources:
// routes the dialog's messages to the derived class's ProcessWindowMessage.
// UI thread only; the object must outlive its window.
#pragma once

#include "platform/win/Dialog.h"
#include "platform/win/Types.h"

namespace ui {

class DialogWindow {
public:
    explicit DialogWindow(WORD templateId) : m_templateId(templateId) {}
    DialogWindow(const DialogWindow&) = delete;
    DialogWindow& operator=(const DialogWindow&) = delete;

    // The message map: true when handled, with the answer in result (for
    // WM_INITDIALOG the dialog procedure's own answer).
    virtual bool ProcessWindowMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam,
                                      LRESULT& result) = 0;
    // Destroys the window when it still exists.
    virtual ~DialogWindow();

    // Runs the dialog modally over parent (may be null). EndDialog's result,
    // or -1 when the dialog cannot be created (template missing).
    INT_PTR DoModal(HWND parent);
    // Creates the dialog modeless and hidden; null on failure (GetLastError
    // as CreateDialogParamW). False-y when already created.
    HWND Create(HWND parent);
    // Destroys a modeless dialog's window.
    BOOL DestroyWindow();

    HWND m_hWnd = nullptr;

protected:
    // Ends the dialog: a modal one returns result, a modeless one is hidden.
    BOOL EndDialog(INT_PTR result);
    // For a WM_COMMAND's wParam: IDOK and IDCANCEL (the close box) end the
    // dialog with that id, result := 0 and true; false for any other
    // command.
    bool EndOnOkOrCancel(WPARAM wParam, LRESULT& result);

private:
    static INT_PTR DialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    WORD m_templateId;
};

}  // namespace ui
