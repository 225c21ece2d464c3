// The edit class: single- and multi-line text fields.
//
// The text lives in the control's state (WM_GETTEXT asks the control), so
// appending to a large log text costs the append, not a copy of the window
// text. Lines end at "\r\n", a bare "\n" or a bare "\r"; nothing wraps.
#include <algorithm>

#include "platform/win/ControlPaint.h"
#include "platform/win/ControlSupport.h"
#include "platform/win/Text.h"

namespace win::controls {
namespace {

struct EditState : ControlState {
    std::wstring text;
    DWORD selStart = 0;
    DWORD selEnd = 0;
    DWORD limit = kEditDefaultLimit;
    WCHAR passwordChar = 0;
    bool modified = false;
    int firstVisibleLine = 0;
    bool multiLine = false;
};

bool IsNumberChar(WCHAR c) {
    return c >= L'0' && c <= L'9';
}

// Start offsets of the lines.
std::vector<DWORD> LineStarts(const std::wstring& text) {
    std::vector<DWORD> starts{0};
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == L'\r' && i + 1 < text.size() && text[i + 1] == L'\n') {
            ++i;
            starts.push_back(static_cast<DWORD>(i + 1));
        } else if (text[i] == L'\n' || text[i] == L'\r') {
            starts.push_back(static_cast<DWORD>(i + 1));
        }
    }
    return starts;
}

DWORD LineLengthAt(const std::wstring& text, DWORD start) {
    DWORD end = start;
    while (end < text.size() && text[end] != L'\r' && text[end] != L'\n')
        ++end;
    return end - start;
}

std::wstring Cased(HWND hwnd, std::wstring text) {
    DWORD style = StyleOf(hwnd);
    if (style & ES_UPPERCASE)
        return ToUpper(text);
    if (style & ES_LOWERCASE)
        return ToLower(text);
    return text;
}

void SetSel(EditState& s, LONG start, LONG end) {
    auto len = static_cast<LONG>(s.text.size());
    if (start == -1) {
        // Deselect: the caret stays where it was.
        s.selStart = s.selEnd;
        return;
    }
    if (end < 0 || end > len)
        end = len;
    if (start < 0 || start > len)
        start = len;
    if (start > end)
        std::swap(start, end);
    s.selStart = static_cast<DWORD>(start);
    s.selEnd = static_cast<DWORD>(end);
}

// Replaces the selection, honouring the limit; returns false when nothing
// (of a non-empty insert) fitted.
bool Replace(HWND hwnd, EditState& s, std::wstring insert, bool userInput) {
    insert = Cased(hwnd, std::move(insert));
    if (!s.multiLine) {
        // A single-line field stops at the first line break.
        auto cut = insert.find_first_of(L"\r\n");
        if (cut != std::wstring::npos)
            insert.resize(cut);
    }
    std::size_t remaining = s.text.size() - (s.selEnd - s.selStart);
    std::size_t room = s.limit > remaining ? s.limit - remaining : 0;
    bool truncated = insert.size() > room;
    if (truncated)
        insert.resize(room);
    if (truncated)
        NotifyParent(hwnd, EN_MAXTEXT);
    if (insert.empty() && s.selStart == s.selEnd)
        return !truncated;
    s.text.replace(s.selStart, s.selEnd - s.selStart, insert);
    s.selStart = s.selEnd = s.selStart + static_cast<DWORD>(insert.size());
    s.modified = s.modified || userInput;
    NotifyParent(hwnd, EN_UPDATE);
    NotifyParent(hwnd, EN_CHANGE);
    return !truncated;
}

// Lines the control's height holds (13 pixels a line, the 8-point fonts').
int VisibleLines(HWND hwnd) {
    RECT rc{};
    GetClientRect(hwnd, &rc);
    return std::max<int>(1, (rc.bottom - rc.top) / 13);
}

void ScrollCaret(EditState& s, HWND hwnd) {
    if (!s.multiLine)
        return;
    auto starts = LineStarts(s.text);
    int caretLine = static_cast<int>(std::upper_bound(starts.begin(), starts.end(), s.selEnd) -
                                     starts.begin()) -
                    1;
    int visible = VisibleLines(hwnd);
    if (caretLine < s.firstVisibleLine)
        s.firstVisibleLine = caretLine;
    else if (caretLine >= s.firstVisibleLine + visible)
        s.firstVisibleLine = caretLine - visible + 1;
}

// The state of a new edit control: one or more lines, a password field's
// '*', and the window text as its text.
EditState* NewEditState(const CREATESTRUCTW* cs) {
    auto* state = new EditState;
    state->multiLine = (static_cast<DWORD>(cs->style) & ES_MULTILINE) != 0;
    if (static_cast<DWORD>(cs->style) & ES_PASSWORD)
        state->passwordChar = L'*';
    if (cs->lpszName && !IS_INTRESOURCE(cs->lpszName))
        state->text = cs->lpszName;
    return state;
}

}  // namespace

bool EditTypeChar(HWND edit, WCHAR ch) {
    auto* s = StateOf<EditState>(edit);
    if (!s || (StyleOf(edit) & ES_READONLY))
        return false;
    if (ch == L'\b') {
        if (s->selStart == s->selEnd) {
            if (s->selStart == 0)
                return true;
            s->selStart -= (s->selStart >= 2 && s->text[s->selStart - 1] == L'\n' &&
                            s->text[s->selStart - 2] == L'\r')
                               ? 2
                               : 1;
        }
        return Replace(edit, *s, L"", true);
    }
    if ((StyleOf(edit) & ES_NUMBER) && !IsNumberChar(ch))
        return false;
    std::wstring insert = ch == L'\n' && s->multiLine ? std::wstring(L"\r\n") : std::wstring(1, ch);
    return Replace(edit, *s, insert, true);
}

static void PaintEdit(HWND hwnd, const EditState& s) {
    PaintControl(hwnd, [&](cairo_t* cr, HDC dc) {
        const DWORD style = StyleOf(hwnd);
        const bool enabled = IsWindowEnabled(hwnd) != FALSE;
        // Read-only and disabled fields ask as statics do, and show the face.
        const bool asStatic = !enabled || (style & ES_READONLY);
        const ControlColours colours =
            AskColours(hwnd, dc, asStatic ? WM_CTLCOLORSTATIC : WM_CTLCOLOREDIT);
        RECT r = ClientRect(hwnd);
        FillRect(dc, &r, colours.background);
        r = DrawBorder(cr, hwnd, r, enabled);
        const LOGFONTW font = ControlFont(hwnd);
        const int line = LineHeight(font);
        if (style & WS_VSCROLL) {
            const std::vector<DWORD> starts = LineStarts(s.text);
            const int visible = std::max(1, (r.bottom - r.top) / line);
            VerticalScrollBar(cr, RECT{r.right - kScrollBarWidth, r.top, r.right, r.bottom},
                              s.firstVisibleLine, visible, static_cast<int>(starts.size()));
            r.right -= kScrollBarWidth;
        }
        const UINT align = (style & ES_CENTER)  ? paint::kAlignCenter
                           : (style & ES_RIGHT) ? paint::kAlignRight
                                                : paint::kAlignLeft;
        const RECT textRect{r.left + 2, r.top + 1, r.right - 2, r.bottom};
        if (!s.multiLine) {
            std::wstring shown =
                s.passwordChar ? std::wstring(s.text.size(), s.passwordChar) : s.text;
            paint::Text(cr, font, shown, textRect, colours.text,
                        align | paint::kSingleLine | paint::kNoPrefix);
            return;
        }
        const std::vector<DWORD> starts = LineStarts(s.text);
        int y = textRect.top;
        for (std::size_t i = static_cast<std::size_t>(std::max(0, s.firstVisibleLine));
             i < starts.size() && y < textRect.bottom; ++i, y += line) {
            std::size_t end = i + 1 < starts.size() ? starts[i + 1] : s.text.size();
            std::wstring text = s.text.substr(starts[i], end - starts[i]);
            while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r'))
                text.pop_back();
            paint::Text(cr, font, text, RECT{textRect.left, y, textRect.right, y + line},
                        colours.text, align | paint::kSingleLine | paint::kNoPrefix);
        }
    });
}

LRESULT EditProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    LRESULT answer = 0;
    auto* s = StateForMessage<EditState>(hwnd, msg, wParam, lParam, CreateAnswer::kTrue,
                                         NewEditState, answer);
    if (!s)
        return answer;
    switch (msg) {
        case WM_CHAR:
            // Keys a host or test sends as characters; a person's typing.
            if (TakesInput(hwnd))
                EditTypeChar(hwnd, static_cast<WCHAR>(wParam));
            return 0;
        case WM_SETTEXT: {
            s->text = Cased(hwnd, TextArg(lParam));
            s->selStart = s->selEnd = 0;
            s->modified = false;
            s->firstVisibleLine = 0;
            // Multi-line fields tell nothing of text set by the program.
            if (!s->multiLine) {
                NotifyParent(hwnd, EN_UPDATE);
                NotifyParent(hwnd, EN_CHANGE);
            }
            return TRUE;
        }
        case WM_GETTEXT:
            return CopyBounded(s->text, wParam, lParam);
        case WM_GETTEXTLENGTH:
            return static_cast<LRESULT>(s->text.size());
        case WM_PAINT:
            PaintEdit(hwnd, *s);
            return 0;
        case WM_GETDLGCODE: {
            LRESULT code = DLGC_WANTCHARS | DLGC_HASSETSEL | DLGC_WANTARROWS;
            if (s->multiLine && (StyleOf(hwnd) & ES_WANTRETURN))
                code |= DLGC_WANTALLKEYS;
            return code;
        }
        case WM_SETFOCUS:
            NotifyParent(hwnd, EN_SETFOCUS);
            return 0;
        case WM_KILLFOCUS:
            NotifyParent(hwnd, EN_KILLFOCUS);
            return 0;
        case EM_GETSEL:
            if (wParam)
                *reinterpret_cast<DWORD*>(wParam) = s->selStart;
            if (lParam)
                *reinterpret_cast<DWORD*>(lParam) = s->selEnd;
            return MAKELRESULT(static_cast<WORD>(std::min<DWORD>(s->selStart, 0xFFFF)),
                               static_cast<WORD>(std::min<DWORD>(s->selEnd, 0xFFFF)));
        case EM_SETSEL:
            SetSel(*s, static_cast<LONG>(static_cast<LONG_PTR>(wParam)), static_cast<LONG>(lParam));
            return 0;
        case EM_REPLACESEL: {
            auto* text = reinterpret_cast<const WCHAR*>(lParam);
            Replace(hwnd, *s, text ? text : L"", false);
            return 0;
        }
        case WM_CLEAR:
            if (!(StyleOf(hwnd) & ES_READONLY))
                Replace(hwnd, *s, L"", false);
            return 0;
        case WM_CUT:
        case WM_COPY:
        case WM_PASTE:
            return 0;
        case EM_LIMITTEXT:
            s->limit = wParam ? static_cast<DWORD>(std::min<WPARAM>(wParam, 0xFFFFFFFF))
                              : (s->multiLine ? kEditMultiLineMaxLimit : kEditSingleLineMaxLimit);
            return 0;
        case EM_GETLIMITTEXT:
            return static_cast<LRESULT>(s->limit);
        case EM_SETPASSWORDCHAR: {
            s->passwordChar = static_cast<WCHAR>(wParam);
            LONG_PTR style = GetWindowLongPtrW(hwnd, GWL_STYLE);
            SetWindowLongPtrW(hwnd, GWL_STYLE,
                              wParam ? (style | ES_PASSWORD) : (style & ~LONG_PTR{ES_PASSWORD}));
            return 0;
        }
        case EM_GETPASSWORDCHAR:
            return static_cast<LRESULT>(s->passwordChar);
        case EM_SETREADONLY: {
            LONG_PTR style = GetWindowLongPtrW(hwnd, GWL_STYLE);
            SetWindowLongPtrW(hwnd, GWL_STYLE,
                              wParam ? (style | ES_READONLY) : (style & ~LONG_PTR{ES_READONLY}));
            return TRUE;
        }
        case EM_GETMODIFY:
            return s->modified ? TRUE : FALSE;
        case EM_SETMODIFY:
            s->modified = wParam != 0;
            return 0;
        case EM_GETLINECOUNT:
            return s->multiLine ? static_cast<LRESULT>(LineStarts(s->text).size()) : 1;
        case EM_LINEINDEX: {
            auto starts = LineStarts(s->text);
            auto line = static_cast<LONG_PTR>(wParam);
            if (line == -1) {
                line =
                    std::upper_bound(starts.begin(), starts.end(), s->selEnd) - starts.begin() - 1;
            }
            if (line < 0 || static_cast<std::size_t>(line) >= starts.size())
                return -1;
            return static_cast<LRESULT>(starts[static_cast<std::size_t>(line)]);
        }
        case EM_LINEFROMCHAR: {
            auto starts = LineStarts(s->text);
            auto at =
                static_cast<LONG_PTR>(wParam) == -1 ? s->selStart : static_cast<DWORD>(wParam);
            return std::upper_bound(starts.begin(), starts.end(), at) - starts.begin() - 1;
        }
        case EM_LINELENGTH: {
            auto at = static_cast<LONG_PTR>(wParam);
            if (at < 0 || static_cast<std::size_t>(at) > s->text.size())
                return 0;
            auto starts = LineStarts(s->text);
            DWORD start =
                *(std::upper_bound(starts.begin(), starts.end(), static_cast<DWORD>(at)) - 1);
            return static_cast<LRESULT>(LineLengthAt(s->text, start));
        }
        case EM_SCROLLCARET:
            ScrollCaret(*s, hwnd);
            return TRUE;
        case EM_GETFIRSTVISIBLELINE:
            return s->firstVisibleLine;
        case EM_LINESCROLL: {
            if (!s->multiLine)
                return FALSE;
            int lines = static_cast<int>(LineStarts(s->text).size());
            int next = s->firstVisibleLine + static_cast<int>(static_cast<LONG_PTR>(lParam));
            s->firstVisibleLine = std::clamp(next, 0, lines - 1);
            return TRUE;
        }
        default:
            return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
}

}  // namespace win::controls
