// Shared plumbing of the control classes (not for product code): the
// per-window state pointer in the first extra-bytes slot and the
// notifications to the parent.
#pragma once

#include <algorithm>
#include <string>

#include "platform/win/CommonControls.h"
#include "platform/win/Controls.h"
#include "platform/win/Handle.h"
#include "platform/win/MessageLoop.h"
#include "platform/win/Window.h"

namespace win::controls {

// The state object of a control window, owned by the window: made at
// WM_NCCREATE, deleted at WM_NCDESTROY. Touched only on the window's thread.
struct ControlState {
    virtual ~ControlState() = default;
};

constexpr int kStateSlot = 0;
constexpr int kControlExtraBytes = static_cast<int>(sizeof(LONG_PTR));

// The live states, so that a slot value of some other window (another
// class's extra bytes) is never taken for a state. Thread-safe.
void RememberState(ControlState* state);
void ForgetState(ControlState* state);
bool IsLiveState(ControlState* state);

// The state of hwnd when it is a control of that kind, else null.
template <class T>
T* StateOf(HWND hwnd) {
    DWORD saved = GetLastError();
    auto* base = reinterpret_cast<ControlState*>(GetWindowLongPtrW(hwnd, kStateSlot));
    SetLastError(saved);
    return base && IsLiveState(base) ? dynamic_cast<T*>(base) : nullptr;
}

inline void AttachState(HWND hwnd, ControlState* state) {
    RememberState(state);
    SetWindowLongPtrW(hwnd, kStateSlot, reinterpret_cast<LONG_PTR>(state));
}
inline void DeleteState(HWND hwnd) {
    auto* state = reinterpret_cast<ControlState*>(GetWindowLongPtrW(hwnd, kStateSlot));
    if (state && IsLiveState(state)) {
        SetWindowLongPtrW(hwnd, kStateSlot, 0);
        ForgetState(state);
        delete state;
    }
}

inline DWORD StyleOf(HWND hwnd) {
    return static_cast<DWORD>(GetWindowLongPtrW(hwnd, GWL_STYLE));
}

// How a control answers WM_NCCREATE once its state is attached: a control
// that keeps its text in its state answers TRUE; the others let
// DefWindowProcW answer, which keeps the window text.
enum class CreateAnswer { kTrue, kDefault };

// The head of a control's window procedure. WM_NCCREATE attaches the state
// that make(const CREATESTRUCTW*) returns (a new T, owned by the window from
// then on) and WM_NCDESTROY deletes it; for both the result is null and
// answer holds the message's answer (TRUE or DefWindowProcW's; 0). For any
// other message the result is the window's state of kind T, or null with
// answer set by DefWindowProcW when the window has none. The window's thread.
template <class T, class Make>
T* StateForMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, CreateAnswer create,
                   Make make, LRESULT& answer) {
    switch (msg) {
        case WM_NCCREATE:
            AttachState(hwnd, make(reinterpret_cast<const CREATESTRUCTW*>(lParam)));
            answer =
                create == CreateAnswer::kTrue ? TRUE : DefWindowProcW(hwnd, msg, wParam, lParam);
            return nullptr;
        case WM_NCDESTROY:
            DeleteState(hwnd);
            answer = 0;
            return nullptr;
        default:
            break;
    }
    T* state = StateOf<T>(hwnd);
    if (!state)
        answer = DefWindowProcW(hwnd, msg, wParam, lParam);
    return state;
}

// The same for a state made by T's default constructor, with WM_NCCREATE
// answered as DefWindowProcW answers it.
template <class T>
T* StateForMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& answer) {
    return StateForMessage<T>(
        hwnd, msg, wParam, lParam, CreateAnswer::kDefault,
        [](const CREATESTRUCTW*) { return new T; }, answer);
}

// The text a message passes in lParam; "" for null.
inline const WCHAR* TextArg(LPARAM lParam) {
    auto* text = reinterpret_cast<const WCHAR*>(lParam);
    return text ? text : L"";
}

// WM_COMMAND to the parent, as a control notifies.
inline void NotifyParent(HWND hwnd, WORD code) {
    HWND parent = GetParent(hwnd);
    if (!parent)
        return;
    SendMessageW(parent, WM_COMMAND, MAKEWPARAM(static_cast<WORD>(GetDlgCtrlID(hwnd)), code),
                 reinterpret_cast<LPARAM>(hwnd));
}

// Copies text and a terminator into a caller's buffer of unknown size, as
// LB_GETTEXT and CB_GETLBTEXT do; returns the length.
inline LRESULT CopyWhole(const std::wstring& text, LPARAM buffer) {
    auto* out = reinterpret_cast<WCHAR*>(buffer);
    if (!out)
        return static_cast<LRESULT>(text.size());
    std::copy(text.begin(), text.end(), out);
    out[text.size()] = L'\0';
    return static_cast<LRESULT>(text.size());
}

// WM_GETTEXT into a buffer of wParam characters.
inline LRESULT CopyBounded(const std::wstring& text, WPARAM max, LPARAM buffer) {
    auto* out = reinterpret_cast<WCHAR*>(buffer);
    if (!out || max == 0)
        return 0;
    std::size_t n = std::min<std::size_t>(text.size(), max - 1);
    std::copy(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(n), out);
    out[n] = L'\0';
    return static_cast<LRESULT>(n);
}

// Whether a person could reach the window with the mouse: it and every
// ancestor are enabled.
inline bool TakesInput(HWND hwnd) {
    for (HWND w = hwnd; w && w != GetDesktopWindow(); w = GetAncestor(w, GA_PARENT)) {
        if (!IsWindow(w) || !IsWindowEnabled(w))
            return false;
        if (!(StyleOf(w) & WS_CHILD))
            break;
    }
    return IsWindow(hwnd) != 0;
}

// The window procedures of the classes (ControlClasses.cpp registers them).
LRESULT ButtonProc(HWND, UINT, WPARAM, LPARAM);
LRESULT StaticProc(HWND, UINT, WPARAM, LPARAM);
LRESULT EditProc(HWND, UINT, WPARAM, LPARAM);
LRESULT ListBoxProc(HWND, UINT, WPARAM, LPARAM);
LRESULT ComboBoxProc(HWND, UINT, WPARAM, LPARAM);
LRESULT ProgressProc(HWND, UINT, WPARAM, LPARAM);
LRESULT LinkProc(HWND, UINT, WPARAM, LPARAM);
LRESULT ToolTipProc(HWND, UINT, WPARAM, LPARAM);

// Test-side operations the controls offer to UserInput.cpp.
bool EditTypeChar(HWND edit, WCHAR ch);
bool ComboTypeChar(HWND combo, WCHAR ch);
bool ComboChoose(HWND combo, int index);
bool ComboCancelDropDown(HWND combo);
bool ListClick(HWND list, int index, bool doubleClick);
bool ListCancel(HWND list);
bool LinkClick(HWND link, int index);
bool IsClass(HWND hwnd, const WCHAR* name);

}  // namespace win::controls
