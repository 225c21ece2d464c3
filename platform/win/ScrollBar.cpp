#include "platform/win/ScrollBar.h"

#include <algorithm>
#include <map>
#include <utility>

#include "platform/win/ControlSupport.h"
#include "platform/win/Mutex.h"

namespace {

struct Bar {
    int min = 0;
    int max = 0;
    UINT page = 0;
    int pos = 0;
};

// Bars given by SetScrollInfo, by window and bar. Handles are never reused,
// so an entry of a destroyed window is never read for another window.
struct BarTable {
    win::Mutex mutex;
    std::map<std::pair<HWND, int>, Bar> bars GUARDED_BY(mutex);
};

BarTable& Bars() {
    static BarTable* table = new BarTable;
    return *table;
}

bool IsMultiLineEdit(HWND hwnd) {
    return win::controls::IsClass(hwnd, WC_EDITW) &&
           (win::controls::StyleOf(hwnd) & ES_MULTILINE) != 0;
}

// The edit's vertical bar as its view stands now.
Bar EditBar(HWND edit) {
    Bar bar;
    auto lines = static_cast<int>(SendMessageW(edit, EM_GETLINECOUNT, 0, 0));
    RECT rc{};
    GetClientRect(edit, &rc);
    bar.max = std::max(0, lines - 1);
    bar.page = static_cast<UINT>(std::max<LONG>(1, (rc.bottom - rc.top) / kEditLineHeightPixels));
    bar.pos = static_cast<int>(SendMessageW(edit, EM_GETFIRSTVISIBLELINE, 0, 0));
    return bar;
}

int Clamped(const Bar& bar, int pos) {
    int last = bar.max - std::max(static_cast<int>(bar.page) - 1, 0);
    return std::clamp(pos, bar.min, std::max(bar.min, last));
}

bool CheckArguments(HWND hwnd, int bar, const SCROLLINFO* info) {
    if (!IsWindow(hwnd)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return false;
    }
    if (!info || info->cbSize != sizeof(SCROLLINFO) || (bar != SB_HORZ && bar != SB_VERT)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    return true;
}

}  // namespace

BOOL GetScrollInfo(HWND hwnd, int bar, LPSCROLLINFO info) {
    if (!CheckArguments(hwnd, bar, info))
        return FALSE;
    Bar now;
    if (bar == SB_VERT && IsMultiLineEdit(hwnd)) {
        now = EditBar(hwnd);
    } else {
        BarTable& t = Bars();
        win::MutexLock lock(t.mutex);
        auto it = t.bars.find({hwnd, bar});
        if (it != t.bars.end()) {
            now = it->second;
        } else if (!(win::controls::StyleOf(hwnd) & (bar == SB_VERT ? WS_VSCROLL : WS_HSCROLL))) {
            SetLastError(ERROR_NO_SCROLLBARS);
            return FALSE;
        }
    }
    if (info->fMask & SIF_RANGE) {
        info->nMin = now.min;
        info->nMax = now.max;
    }
    if (info->fMask & SIF_PAGE)
        info->nPage = now.page;
    if (info->fMask & SIF_POS)
        info->nPos = now.pos;
    if (info->fMask & SIF_TRACKPOS)
        info->nTrackPos = now.pos;
    return TRUE;
}

int SetScrollInfo(HWND hwnd, int bar, LPCSCROLLINFO info, BOOL) {
    if (!CheckArguments(hwnd, bar, info))
        return 0;
    if (bar == SB_VERT && IsMultiLineEdit(hwnd)) {
        Bar now = EditBar(hwnd);
        if (info->fMask & SIF_POS)
            SendMessageW(hwnd, EM_LINESCROLL, 0, Clamped(now, info->nPos) - now.pos);
        return static_cast<int>(SendMessageW(hwnd, EM_GETFIRSTVISIBLELINE, 0, 0));
    }
    BarTable& t = Bars();
    win::MutexLock lock(t.mutex);
    Bar& b = t.bars[{hwnd, bar}];
    if (info->fMask & SIF_RANGE) {
        b.min = info->nMin;
        b.max = std::max(info->nMin, info->nMax);
    }
    if (info->fMask & SIF_PAGE)
        b.page = info->nPage;
    if (info->fMask & SIF_POS)
        b.pos = info->nPos;
    b.pos = Clamped(b, b.pos);
    return b.pos;
}
