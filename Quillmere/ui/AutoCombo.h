// A combo box that completes typed text from its own list (type-ahead).
//
// Attached to a combo box of a dialog (SubclassWindow); creates no window.
// Completion needs two things from the page that owns the combo box: the
// parent must reflect the combo box's WM_COMMAND notifications back to it
// (OCM_COMMAND), and the key-downs of the combo box's edit field must be
// handed to PreTranslateMessage before the field handles them, so that
// Delete and Backspace can turn completion off for the next edit. UI thread
// only.
#pragma once

#include "Quillmere/ui/MessageFilter.h"
#include "Quillmere/ui/SubclassedWindow.h"
#include "platform/win/Types.h"

namespace ui {

class CAutoCombo : public SubclassedWindow, public CMessageFilter {
public:
    CAutoCombo() = default;
    ~CAutoCombo() override = default;

    // A reflected CBN_EDITUPDATE runs OnEditUpdate (handled, answer 0); any
    // other reflected message goes to DefWindowProcW as the plain message it
    // stands for (handled); all else is not handled.
    bool ProcessWindowMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam,
                              LRESULT& result) override;

    // A key-down arms completion, except Delete and Backspace, which disarm
    // it. Never consumes the message.
    bool PreTranslateMessage(MSG* msg) override;

    // When armed: selects the first list entry that begins with the field's
    // text (case-insensitive), which shows its full text, and selects the
    // completed tail; the caret is kept where it was when it sits inside the
    // typed text. With no such entry the typed text and selection stay.
    void OnEditUpdate();

    bool IsArmed() const { return m_armed; }

private:
    bool m_armed = true;
};

}  // namespace ui
