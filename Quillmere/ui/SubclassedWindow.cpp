#include "Quillmere/ui/SubclassedWindow.h"

#include <map>

namespace ui {
namespace {

// Window -> attached object. Only the UI thread attaches, so no lock.
std::map<HWND, SubclassedWindow*>& Attached() {
    static std::map<HWND, SubclassedWindow*> attached;
    return attached;
}

}  // namespace

SubclassedWindow::~SubclassedWindow() {
    UnsubclassWindow();
}

WNDPROC SubclassedWindow::GetWindowProc() {
    return &SubclassedWindow::WindowProc;
}

void SubclassedWindow::OnFinalMessage(HWND) {}

bool SubclassedWindow::SubclassWindow(HWND hwnd) {
    if (m_hWnd || !IsWindow(hwnd) || Attached().count(hwnd))
        return false;
    auto previous = reinterpret_cast<WNDPROC>(GetWindowLongPtrW(hwnd, GWLP_WNDPROC));
    if (!previous)
        return false;
    Attached()[hwnd] = this;
    m_hWnd = hwnd;
    m_superProc = previous;
    SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(GetWindowProc()));
    return true;
}

HWND SubclassedWindow::UnsubclassWindow() {
    HWND hwnd = m_hWnd;
    if (!hwnd)
        return nullptr;
    if (IsWindow(hwnd))
        SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(m_superProc));
    Attached().erase(hwnd);
    m_hWnd = nullptr;
    m_superProc = nullptr;
    return hwnd;
}

LRESULT SubclassedWindow::DefWindowProc(UINT msg, WPARAM wParam, LPARAM lParam) {
    return CallWindowProcW(m_superProc, m_hWnd, msg, wParam, lParam);
}

LRESULT SubclassedWindow::WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto it = Attached().find(hwnd);
    if (it == Attached().end())
        return DefWindowProcW(hwnd, msg, wParam, lParam);
    SubclassedWindow* self = it->second;
    WNDPROC super = self->m_superProc;
    LRESULT result = 0;
    if (msg != WM_NCDESTROY && self->ProcessWindowMessage(hwnd, msg, wParam, lParam, result))
        return result;
    if (msg == WM_NCDESTROY) {
        // The window goes: detach first so that the object may be freed by
        // its final-message hook.
        result = CallWindowProcW(super, hwnd, msg, wParam, lParam);
        self->UnsubclassWindow();
        self->OnFinalMessage(hwnd);
        return result;
    }
    return CallWindowProcW(super, hwnd, msg, wParam, lParam);
}

}  // namespace ui
