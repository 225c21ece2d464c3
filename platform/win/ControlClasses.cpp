// Registration of the control classes and the dialog class.
#include <mutex>
#include <unordered_set>

#include "platform/win/CommonControls.h"
#include "platform/win/ControlSupport.h"
#include "platform/win/Dialog.h"
#include "platform/win/Mutex.h"
#include "platform/win/Text.h"

namespace win {
namespace {

void Register(const WCHAR* name, WNDPROC proc, int extraBytes, UINT style) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.style = style | CS_GLOBALCLASS;
    wc.lpfnWndProc = proc;
    wc.cbWndExtra = extraBytes;
    wc.lpszClassName = name;
    RegisterClassExW(&wc);
}

}  // namespace

void RegisterControlClasses() {
    static std::once_flag once;
    std::call_once(once, [] {
        DWORD saved = GetLastError();
        using namespace controls;
        Register(WC_DIALOG, DefDlgProcW, DLGWINDOWEXTRA, CS_DBLCLKS);
        Register(WC_BUTTONW, ButtonProc, kControlExtraBytes, CS_DBLCLKS);
        Register(WC_STATICW, StaticProc, kControlExtraBytes, 0);
        Register(WC_EDITW, EditProc, kControlExtraBytes, CS_DBLCLKS);
        Register(WC_LISTBOXW, ListBoxProc, kControlExtraBytes, CS_DBLCLKS);
        Register(WC_COMBOBOXW, ComboBoxProc, kControlExtraBytes, CS_DBLCLKS);
        Register(PROGRESS_CLASSW, ProgressProc, kControlExtraBytes, 0);
        Register(WC_LINK, LinkProc, kControlExtraBytes, 0);
        Register(TOOLTIPS_CLASSW, ToolTipProc, kControlExtraBytes, CS_DBLCLKS);
        SetLastError(saved);
    });
}

namespace controls {
namespace {

struct StateSet {
    Mutex mutex;
    std::unordered_set<ControlState*> live GUARDED_BY(mutex);
};
// Leaked on purpose: windows may be destroyed after static destructors ran.
StateSet& States() {
    static auto* set = new StateSet;
    return *set;
}

}  // namespace

void RememberState(ControlState* state) {
    MutexLock lock(States().mutex);
    States().live.insert(state);
}
void ForgetState(ControlState* state) {
    MutexLock lock(States().mutex);
    States().live.erase(state);
}
bool IsLiveState(ControlState* state) {
    MutexLock lock(States().mutex);
    return States().live.count(state) != 0;
}

bool IsClass(HWND hwnd, const WCHAR* name) {
    WCHAR buffer[64];
    if (GetClassNameW(hwnd, buffer, 64) <= 0)
        return false;
    return CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE, buffer, -1, name, -1) == CSTR_EQUAL;
}

}  // namespace controls
}  // namespace win

BOOL InitCommonControlsEx(const INITCOMMONCONTROLSEX* init) {
    if (!init || init->dwSize != sizeof(INITCOMMONCONTROLSEX)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    win::RegisterControlClasses();
    return TRUE;
}

void InitCommonControls() {
    win::RegisterControlClasses();
}
