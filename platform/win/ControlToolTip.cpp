// The tooltip class: tools with their texts, and the popup that shows a
// tool's text once the pointer has rested on it.
#include <algorithm>
#include <map>

#include "platform/win/Clock.h"
#include "platform/win/ControlPaint.h"
#include "platform/win/ControlSupport.h"
#include "platform/win/Mouse.h"
#include "platform/win/Mutex.h"
#include "platform/win/Resources.h"
#include "platform/win/Timer.h"

namespace win {
namespace controls {
namespace {

constexpr UINT_PTR kShowTimer = 1;
constexpr UINT_PTR kPopTimer = 2;
// The popup's place below the pointer's hot spot (a cursor's height) and
// its padding around the text.
constexpr int kBelowPointer = 20;
constexpr int kPadX = 4;
constexpr int kPadY = 2;

struct ToolTipState : ControlState {
    std::vector<ToolTipTool> tools;
    bool active = true;
    UINT initial = GetDoubleClickTime();
    UINT autoPop = GetDoubleClickTime() * 10;
    UINT reshow = GetDoubleClickTime() / 5;
    int pending = -1;  // the tool the pointer rests on, waiting for the delay
    int shown = -1;    // the tool whose text shows
    std::wstring shownText;
};

// Tool windows subclassed by a tooltip (TTF_SUBCLASS): the tooltip and the
// procedure they had. UI threads only; the map is shared, hence the lock.
struct Subclass {
    HWND tooltip = nullptr;
    WNDPROC previous = nullptr;
};
struct SubclassTable {
    Mutex mutex;
    std::map<HWND, Subclass> windows GUARDED_BY(mutex);
};
SubclassTable& Subclasses() {
    static auto* table = new SubclassTable;
    return *table;
}

// The fields of TTTOOLINFOW this layout knows, by the caller's cbSize: the
// text fields are read only when the structure is big enough to hold them.
bool Readable(const TTTOOLINFOW* info) {
    return info && info->cbSize >= offsetof(TTTOOLINFOW, lParam);
}

void TextOf(const TTTOOLINFOW& info, ToolTipTool& tool) {
    tool.callback = info.lpszText == LPSTR_TEXTCALLBACKW;
    tool.text.clear();
    if (tool.callback || !info.lpszText)
        return;
    if (IS_INTRESOURCE(info.lpszText)) {
        const WCHAR* text = nullptr;
        int n = LoadStringW(info.hinst,
                            static_cast<UINT>(reinterpret_cast<std::uintptr_t>(info.lpszText)),
                            reinterpret_cast<WCHAR*>(&text), 0);
        if (n > 0 && text)
            tool.text.assign(text, static_cast<std::size_t>(n));
        return;
    }
    tool.text = info.lpszText;
}

auto FindTool(ToolTipState& s, const TTTOOLINFOW& info) {
    return std::find_if(s.tools.begin(), s.tools.end(), [&](const ToolTipTool& t) {
        return t.hwnd == info.hwnd && t.id == info.uId;
    });
}

// The window a tool's mouse messages come from.
HWND ToolWindow(const ToolTipTool& tool) {
    return (tool.flags & TTF_IDISHWND) ? reinterpret_cast<HWND>(tool.id) : tool.hwnd;
}

int ToolOfWindow(const ToolTipState& s, HWND window) {
    for (std::size_t i = 0; i < s.tools.size(); ++i)
        if (ToolWindow(s.tools[i]) == window)
            return static_cast<int>(i);
    return -1;
}

LRESULT SubclassProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    Subclass sub;
    {
        SubclassTable& t = Subclasses();
        MutexLock lock(t.mutex);
        auto it = t.windows.find(hwnd);
        if (it == t.windows.end())
            return DefWindowProcW(hwnd, msg, wParam, lParam);
        sub = it->second;
        if (msg == WM_NCDESTROY)
            t.windows.erase(it);
    }
    const bool mouse = msg == WM_MOUSEMOVE || msg == WM_LBUTTONDOWN || msg == WM_LBUTTONUP ||
                       msg == WM_RBUTTONDOWN || msg == WM_RBUTTONUP || msg == WM_MOUSELEAVE;
    if (mouse && IsWindow(sub.tooltip)) {
        MSG relayed{hwnd, msg, wParam, lParam, GetTickCount(), {}};
        SendMessageW(sub.tooltip, TTM_RELAYEVENT, 0, reinterpret_cast<LPARAM>(&relayed));
    }
    return CallWindowProcW(sub.previous, hwnd, msg, wParam, lParam);
}

void SubclassTool(HWND tooltip, HWND window) {
    if (!IsWindow(window))
        return;
    {
        SubclassTable& t = Subclasses();
        MutexLock lock(t.mutex);
        if (t.windows.count(window))
            return;
    }
    auto previous = reinterpret_cast<WNDPROC>(GetWindowLongPtrW(window, GWLP_WNDPROC));
    {
        SubclassTable& t = Subclasses();
        MutexLock lock(t.mutex);
        t.windows[window] = Subclass{tooltip, previous};
    }
    SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&SubclassProc));
}

void UnsubclassTools(HWND tooltip) {
    std::vector<std::pair<HWND, WNDPROC>> restore;
    {
        SubclassTable& t = Subclasses();
        MutexLock lock(t.mutex);
        for (auto it = t.windows.begin(); it != t.windows.end();) {
            if (it->second.tooltip == tooltip) {
                restore.emplace_back(it->first, it->second.previous);
                it = t.windows.erase(it);
            } else {
                ++it;
            }
        }
    }
    // Only a window whose procedure is still ours gets its own back: one
    // subclassed again since keeps the later procedure's chain.
    for (auto& [window, previous] : restore)
        if (IsWindow(window) &&
            reinterpret_cast<WNDPROC>(GetWindowLongPtrW(window, GWLP_WNDPROC)) == &SubclassProc)
            SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(previous));
}

void Hide(HWND hwnd, ToolTipState& s) {
    KillTimer(hwnd, kShowTimer);
    KillTimer(hwnd, kPopTimer);
    s.pending = -1;
    s.shown = -1;
    s.shownText.clear();
    if (IsWindowVisible(hwnd))
        ShowWindow(hwnd, SW_HIDE);
}

void Show(HWND hwnd, ToolTipState& s, int tool) {
    const ToolTipTool& t = s.tools[static_cast<std::size_t>(tool)];
    if (t.text.empty())
        return;  // callback texts are not asked for here: nothing to show
    POINT p{};
    GetCursorPos(&p);
    const LOGFONTW font = ControlFont(hwnd);
    const SIZE extent = paint::MeasureText(font, t.text, paint::kNoPrefix | paint::kSingleLine);
    s.shown = tool;
    s.shownText = t.text;
    SetWindowPos(hwnd, HWND_TOPMOST, p.x, p.y + kBelowPointer, extent.cx + 2 * kPadX + 2,
                 extent.cy + 2 * kPadY + 2, SWP_SHOWWINDOW | SWP_NOACTIVATE);
    SetTimer(hwnd, kPopTimer, s.autoPop, nullptr);
}

void Relay(HWND hwnd, ToolTipState& s, const MSG& m) {
    if (!s.active)
        return;
    const int tool = ToolOfWindow(s, m.hwnd);
    if (m.message != WM_MOUSEMOVE || tool < 0) {
        Hide(hwnd, s);
        return;
    }
    if (s.shown == tool)
        return;
    if (s.shown >= 0)
        Hide(hwnd, s);
    // The pointer moved on the tool: the delay starts again, so that the
    // tip shows once the pointer rests. The tooltip hears the leave.
    s.pending = tool;
    SetTimer(hwnd, kShowTimer, s.initial, nullptr);
    TRACKMOUSEEVENT track{sizeof(TRACKMOUSEEVENT), TME_LEAVE, m.hwnd, 0};
    TrackMouseEvent(&track);
}

void PaintTip(HWND hwnd, const ToolTipState& s) {
    PaintControl(hwnd, [&](cairo_t* cr, HDC) {
        const RECT r = ClientRect(hwnd);
        paint::Fill(cr, r, paint::SystemColour(COLOR_INFOBK));
        paint::Frame(cr, r, paint::SystemColour(COLOR_INFOTEXT));
        paint::Text(cr, ControlFont(hwnd), s.shownText,
                    RECT{r.left + 1 + kPadX, r.top + 1 + kPadY, r.right - 1, r.bottom - 1},
                    paint::SystemColour(COLOR_INFOTEXT), paint::kNoPrefix | paint::kSingleLine);
    });
}

}  // namespace

LRESULT ToolTipProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_NCDESTROY)
        UnsubclassTools(hwnd);
    LRESULT answer = 0;
    auto* s = StateForMessage<ToolTipState>(hwnd, msg, wParam, lParam, answer);
    if (!s)
        return answer;
    auto* info = reinterpret_cast<TTTOOLINFOW*>(lParam);
    switch (msg) {
        case TTM_ADDTOOLW: {
            if (!Readable(info))
                return FALSE;
            ToolTipTool tool;
            tool.hwnd = info->hwnd;
            tool.id = info->uId;
            tool.flags = info->uFlags;
            TextOf(*info, tool);
            auto it = FindTool(*s, *info);
            if (it != s->tools.end())
                *it = tool;
            else
                s->tools.push_back(tool);
            if (tool.flags & TTF_SUBCLASS)
                SubclassTool(hwnd, ToolWindow(tool));
            return TRUE;
        }
        case TTM_DELTOOLW:
            if (Readable(info)) {
                auto it = FindTool(*s, *info);
                if (it != s->tools.end()) {
                    Hide(hwnd, *s);
                    s->tools.erase(it);
                }
            }
            return 0;
        case TTM_UPDATETIPTEXTW:
            if (Readable(info)) {
                auto it = FindTool(*s, *info);
                if (it != s->tools.end())
                    TextOf(*info, *it);
            }
            return 0;
        case TTM_GETTEXTW: {
            // The caller's buffer size is wParam characters (0: the platform's
            // old 80-character assumption).
            if (!Readable(info) || !info->lpszText || info->lpszText == LPSTR_TEXTCALLBACKW)
                return 0;
            auto it = FindTool(*s, *info);
            std::size_t max = wParam ? wParam : 80;
            std::wstring text = it != s->tools.end() ? it->text : std::wstring{};
            CopyBounded(text, max, reinterpret_cast<LPARAM>(info->lpszText));
            return 0;
        }
        case TTM_GETTOOLCOUNT:
            return static_cast<LRESULT>(s->tools.size());
        case TTM_ACTIVATE:
            s->active = wParam != 0;
            if (!s->active)
                Hide(hwnd, *s);
            return 0;
        case TTM_SETMAXTIPWIDTH:
            return -1;
        case TTM_SETDELAYTIME: {
            const int ms = static_cast<SHORT>(LOWORD(static_cast<DWORD>(lParam)));
            const UINT base = GetDoubleClickTime();
            const UINT value = ms < 0 ? 0 : static_cast<UINT>(ms);
            switch (wParam) {
                case TTDT_AUTOMATIC: {
                    const UINT initial = ms < 0 ? base : value;
                    s->initial = initial;
                    s->autoPop = initial * 10;
                    s->reshow = initial / 5;
                    break;
                }
                case TTDT_INITIAL:
                    s->initial = ms < 0 ? base : value;
                    break;
                case TTDT_AUTOPOP:
                    s->autoPop = ms < 0 ? base * 10 : value;
                    break;
                case TTDT_RESHOW:
                    s->reshow = ms < 0 ? base / 5 : value;
                    break;
                default:
                    break;
            }
            return 0;
        }
        case TTM_GETDELAYTIME:
            return wParam == TTDT_INITIAL   ? s->initial
                   : wParam == TTDT_AUTOPOP ? s->autoPop
                   : wParam == TTDT_RESHOW  ? s->reshow
                                            : s->initial;
        case TTM_RELAYEVENT:
            if (auto* m = reinterpret_cast<const MSG*>(lParam))
                Relay(hwnd, *s, *m);
            return 0;
        case TTM_POP:
            Hide(hwnd, *s);
            return 0;
        case WM_TIMER:
            if (wParam == kShowTimer) {
                KillTimer(hwnd, kShowTimer);
                const int tool = s->pending;
                s->pending = -1;
                POINT p{};
                GetCursorPos(&p);
                // Shown only while the pointer is still on the tool.
                if (s->active && tool >= 0 && static_cast<std::size_t>(tool) < s->tools.size() &&
                    WindowFromPoint(p) == ToolWindow(s->tools[static_cast<std::size_t>(tool)]))
                    Show(hwnd, *s, tool);
            } else if (wParam == kPopTimer) {
                Hide(hwnd, *s);
            }
            return 0;
        case WM_PAINT:
            PaintTip(hwnd, *s);
            return 0;
        default:
            return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
}

}  // namespace controls

std::vector<ToolTipTool> ToolTipTools(HWND tooltip) {
    auto* s = controls::StateOf<controls::ToolTipState>(tooltip);
    return s ? s->tools : std::vector<ToolTipTool>{};
}

bool ToolTipActive(HWND tooltip) {
    auto* s = controls::StateOf<controls::ToolTipState>(tooltip);
    return s && s->active;
}

std::wstring ToolTipShownText(HWND tooltip) {
    auto* s = controls::StateOf<controls::ToolTipState>(tooltip);
    return s && IsWindowVisible(tooltip) ? s->shownText : std::wstring{};
}

}  // namespace win
