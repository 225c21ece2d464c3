// Base of the add-in's own controls: a class attached to (subclassing) a
// control that a dialog template created. Messages reach the derived
// class's ProcessWindowMessage first; what it leaves unhandled goes to the
// control's own procedure. UI thread only: the objects and the windows they
// are attached to belong to the thread that attached them.
#pragma once

#include "platform/win/Types.h"
#include "platform/win/Window.h"

namespace ui {

class SubclassedWindow {
public:
    SubclassedWindow() = default;
    SubclassedWindow(const SubclassedWindow&) = delete;
    SubclassedWindow& operator=(const SubclassedWindow&) = delete;

    // The message map: true when the message was handled, with its answer in
    // result; false hands it to the control's own procedure.
    virtual bool ProcessWindowMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam,
                                      LRESULT& result) = 0;
    // Detaches from the window when still attached.
    virtual ~SubclassedWindow();
    // The procedure that routes the window's messages to the object.
    virtual WNDPROC GetWindowProc();
    // Called after the window's last message (WM_NCDESTROY), once the object
    // is detached. Does nothing here.
    virtual void OnFinalMessage(HWND hwnd);

    // Attaches to an existing window of the calling thread. False when
    // `hwnd` is no window or this object is already attached, or the window
    // is attached to another object.
    bool SubclassWindow(HWND hwnd);
    // Gives the window its own procedure back; returns the window (null when
    // not attached).
    HWND UnsubclassWindow();

    HWND m_hWnd = nullptr;

protected:
    // The control's own procedure, for messages the object passes on.
    LRESULT DefWindowProc(UINT msg, WPARAM wParam, LPARAM lParam);

private:
    static LRESULT WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    WNDPROC m_superProc = nullptr;
};

}  // namespace ui
