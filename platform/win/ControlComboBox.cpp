// The combo box class. The edit part is no window of its own here: its
// text and selection are the combo box's, and keyboard focus rests on the
// combo box itself.
#include <algorithm>

#include "platform/win/ControlList.h"
#include "platform/win/ControlPaint.h"
#include "platform/win/ControlSupport.h"
#include "platform/win/Text.h"

namespace win::controls {
namespace {

struct ComboState : ControlState {
    explicit ComboState(bool sorted) : items(sorted) {}
    ItemList items;
    DWORD kind = CBS_DROPDOWN;
    std::wstring editText;
    DWORD selStart = 0;
    DWORD selEnd = 0;
    DWORD limit = 0x7FFFFFFE;
    bool dropped = false;
};

constexpr ItemMessages kComboItemMessages{
    .add = CB_ADDSTRING,
    .insert = CB_INSERTSTRING,
    .remove = CB_DELETESTRING,
    .count = CB_GETCOUNT,
    .find = CB_FINDSTRING,
    .findExact = CB_FINDSTRINGEXACT,
    .getText = CB_GETLBTEXT,
    .getTextLength = CB_GETLBTEXTLEN,
    .getData = CB_GETITEMDATA,
    .setData = CB_SETITEMDATA,
};

bool HasEdit(const ComboState& s) {
    return s.kind != CBS_DROPDOWNLIST;
}

// The text the field shows: the edit part, or the selected item of a
// drop-down list.
const std::wstring& Shown(const ComboState& s) {
    static const std::wstring empty;
    if (HasEdit(s))
        return s.editText;
    return s.items.Valid(s.items.current) ? s.items.At(s.items.current).text : empty;
}

// A new selection puts the item's text in the edit part, all selected.
void Select(ComboState& s, int index) {
    s.items.current = index;
    if (HasEdit(s) && s.items.Valid(index)) {
        s.editText = s.items.At(index).text;
        s.selStart = 0;
        s.selEnd = static_cast<DWORD>(s.editText.size());
    }
}

std::wstring Cased(HWND hwnd, std::wstring text) {
    DWORD style = StyleOf(hwnd);
    if (style & CBS_UPPERCASE)
        return ToUpper(text);
    if (style & CBS_LOWERCASE)
        return ToLower(text);
    return text;
}

void ShowDropDown(HWND hwnd, ComboState& s, bool show) {
    if (s.kind == CBS_SIMPLE || s.dropped == show)
        return;
    if (show)
        NotifyParent(hwnd, CBN_DROPDOWN);
    s.dropped = show;
    if (!show)
        NotifyParent(hwnd, CBN_CLOSEUP);
}

// The state of a new combo box: its kind (0 counts as CBS_SIMPLE) and, when
// it has an edit part, the window text as the edit text.
ComboState* NewComboState(const CREATESTRUCTW* cs) {
    auto style = static_cast<DWORD>(cs->style);
    auto* state = new ComboState((style & CBS_SORT) != 0);
    state->kind = style & 0x3;
    if (state->kind == 0)
        state->kind = CBS_SIMPLE;
    if (cs->lpszName && !IS_INTRESOURCE(cs->lpszName) && state->kind != CBS_DROPDOWNLIST)
        state->editText = cs->lpszName;
    return state;
}

// A drop-down combo box is as high as its field, in its font, as on the
// platform; the height it was made with is its open list's.
void FitToField(HWND hwnd, const ComboState& s) {
    if (s.kind == CBS_SIMPLE)
        return;
    RECT r{};
    GetWindowRect(hwnd, &r);
    const int height = FieldHeight(ControlFont(hwnd));
    if (r.bottom - r.top != height)
        SetWindowPos(hwnd, nullptr, 0, 0, r.right - r.left, height,
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

}  // namespace

bool ComboTypeChar(HWND combo, WCHAR ch) {
    auto* s = StateOf<ComboState>(combo);
    if (!s)
        return false;
    if (!HasEdit(*s)) {
        // A drop-down list selects the next item that starts with the key.
        std::wstring key(1, ch);
        int at = s->items.Find(s->items.current, key, false);
        if (at < 0 || at == s->items.current)
            return at >= 0;
        Select(*s, at);
        NotifyParent(combo, CBN_SELCHANGE);
        return true;
    }
    DWORD a = std::min(s->selStart, s->selEnd);
    DWORD b = std::max(s->selStart, s->selEnd);
    std::wstring insert;
    if (ch == L'\b') {
        if (a == b) {
            if (a == 0)
                return true;
            --a;
        }
    } else {
        if (ch == L'\r' || ch == L'\n')
            return false;
        if (s->editText.size() - (b - a) >= s->limit)
            return false;
        insert = Cased(combo, std::wstring(1, ch));
    }
    s->editText.replace(a, b - a, insert);
    s->selStart = s->selEnd = a + static_cast<DWORD>(insert.size());
    NotifyParent(combo, CBN_EDITUPDATE);
    if (IsWindow(combo))
        NotifyParent(combo, CBN_EDITCHANGE);
    return true;
}

bool ComboChoose(HWND combo, int index) {
    auto* s = StateOf<ComboState>(combo);
    if (!s || !s->items.Valid(index))
        return false;
    if (GetFocus() != combo)
        SetFocus(combo);
    if (!IsWindow(combo))
        return false;
    ShowDropDown(combo, *s, true);
    if (!IsWindow(combo))
        return false;
    bool changed = s->items.current != index;
    // CBN_SELCHANGE comes while the edit part still shows the old text.
    s->items.current = index;
    if (changed)
        NotifyParent(combo, CBN_SELCHANGE);
    if (!IsWindow(combo) || !(s = StateOf<ComboState>(combo)))
        return false;
    NotifyParent(combo, CBN_SELENDOK);
    if (!IsWindow(combo) || !(s = StateOf<ComboState>(combo)))
        return false;
    if (s->items.Valid(s->items.current))
        Select(*s, s->items.current);
    ShowDropDown(combo, *s, false);
    return true;
}

bool ComboCancelDropDown(HWND combo) {
    auto* s = StateOf<ComboState>(combo);
    if (!s)
        return false;
    NotifyParent(combo, CBN_SELENDCANCEL);
    if (!IsWindow(combo) || !(s = StateOf<ComboState>(combo)))
        return false;
    ShowDropDown(combo, *s, false);
    return true;
}

static void PaintCombo(HWND hwnd, const ComboState& s) {
    PaintControl(hwnd, [&](cairo_t* cr, HDC dc) {
        const bool enabled = IsWindowEnabled(hwnd) != FALSE;
        const LOGFONTW font = ControlFont(hwnd);
        const RECT client = ClientRect(hwnd);
        const RECT field = client;
        const bool list = s.kind == CBS_DROPDOWNLIST;
        const ControlColours colours =
            AskColours(hwnd, dc, list || !enabled ? WM_CTLCOLORSTATIC : WM_CTLCOLOREDIT);
        paint::Fill(cr, field, paint::SystemColour(enabled ? COLOR_WINDOW : COLOR_BTNFACE));
        paint::Frame(cr, field, paint::SystemColour(enabled ? COLOR_WINDOWFRAME : COLOR_BTNSHADOW));
        RECT inner{field.left + 1, field.top + 1, field.right - 1, field.bottom - 1};
        if (s.kind != CBS_SIMPLE) {
            DropDownButton(
                cr, RECT{inner.right - kScrollBarWidth, inner.top, inner.right, inner.bottom},
                enabled);
            inner.right -= kScrollBarWidth;
        }
        const std::wstring text =
            list ? (s.items.Valid(s.items.current) ? s.items.At(s.items.current).text : L"")
                 : s.editText;
        COLORREF ink = colours.text;
        const bool highlighted = list && enabled && GetFocus() == hwnd && !text.empty();
        if (highlighted) {
            paint::Fill(cr, RECT{inner.left + 1, inner.top + 1, inner.right - 1, inner.bottom - 1},
                        paint::SystemColour(COLOR_HIGHLIGHT));
            ink = paint::SystemColour(COLOR_HIGHLIGHTTEXT);
        }
        paint::Text(cr, font, text, RECT{inner.left + 3, inner.top, inner.right - 1, inner.bottom},
                    ink, paint::kSingleLine | paint::kVCenter | paint::kNoPrefix);
    });
}

LRESULT ComboBoxProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    LRESULT answer = 0;
    auto* s = StateForMessage<ComboState>(hwnd, msg, wParam, lParam, CreateAnswer::kTrue,
                                          NewComboState, answer);
    if (!s)
        return answer;
    ItemList& items = s->items;
    if (AnswerItemMessage(items, kComboItemMessages, msg, wParam, lParam, answer))
        return answer;
    auto index = static_cast<int>(static_cast<LONG_PTR>(wParam));
    switch (msg) {
        case WM_CHAR:
            if (TakesInput(hwnd))
                ComboTypeChar(hwnd, static_cast<WCHAR>(wParam));
            return 0;
        case WM_SETTEXT:
            if (!HasEdit(*s))
                return CB_ERR;
            s->editText = Cased(hwnd, TextArg(lParam));
            s->selStart = s->selEnd = 0;
            return TRUE;
        case WM_GETTEXT:
            return CopyBounded(Shown(*s), wParam, lParam);
        case WM_GETTEXTLENGTH:
            return static_cast<LRESULT>(Shown(*s).size());
        case WM_PAINT:
            PaintCombo(hwnd, *s);
            return 0;
        case WM_CREATE:
            FitToField(hwnd, *s);
            return 0;
        case WM_SETFONT: {
            LRESULT result = DefWindowProcW(hwnd, msg, wParam, lParam);
            FitToField(hwnd, *s);
            return result;
        }
        case WM_GETDLGCODE:
            return DLGC_WANTCHARS | DLGC_WANTARROWS | (HasEdit(*s) ? DLGC_HASSETSEL : 0);
        case WM_SETFOCUS:
            NotifyParent(hwnd, CBN_SETFOCUS);
            return 0;
        case WM_KILLFOCUS:
            if (s->dropped)
                ShowDropDown(hwnd, *s, false);
            if (IsWindow(hwnd))
                NotifyParent(hwnd, CBN_KILLFOCUS);
            return 0;
        case CB_RESETCONTENT:
            items.Clear();
            if (HasEdit(*s)) {
                s->editText.clear();
                s->selStart = s->selEnd = 0;
            }
            return CB_OKAY;
        case CB_SELECTSTRING: {
            int at = items.Find(index, TextArg(lParam), false);
            if (at < 0)
                return CB_ERR;
            Select(*s, at);
            return at;
        }
        case CB_SETCURSEL:
            if (!items.Valid(index)) {
                items.current = -1;
                if (HasEdit(*s)) {
                    s->editText.clear();
                    s->selStart = s->selEnd = 0;
                }
                return CB_ERR;
            }
            Select(*s, index);
            return index;
        case CB_GETCURSEL:
            return items.current;
        case CB_SHOWDROPDOWN:
            ShowDropDown(hwnd, *s, wParam != 0);
            return TRUE;
        case CB_GETDROPPEDSTATE:
            return s->dropped ? TRUE : FALSE;
        case CB_LIMITTEXT:
            if (!HasEdit(*s))
                return FALSE;
            s->limit =
                wParam ? static_cast<DWORD>(std::min<WPARAM>(wParam, 0x7FFFFFFE)) : 0x7FFFFFFE;
            return TRUE;
        case CB_SETEDITSEL: {
            if (!HasEdit(*s))
                return CB_ERR;
            auto len = static_cast<LONG>(s->editText.size());
            auto start = static_cast<LONG>(static_cast<SHORT>(LOWORD(static_cast<DWORD>(lParam))));
            auto end = static_cast<LONG>(static_cast<SHORT>(HIWORD(static_cast<DWORD>(lParam))));
            if (start == -1) {
                s->selStart = s->selEnd;
                return TRUE;
            }
            if (end < 0 || end > len)
                end = len;
            start = std::min(start, len);
            if (start > end)
                std::swap(start, end);
            s->selStart = static_cast<DWORD>(start);
            s->selEnd = static_cast<DWORD>(end);
            return TRUE;
        }
        case CB_GETEDITSEL:
            if (!HasEdit(*s))
                return CB_ERR;
            if (wParam)
                *reinterpret_cast<DWORD*>(wParam) = s->selStart;
            if (lParam)
                *reinterpret_cast<DWORD*>(lParam) = s->selEnd;
            return MAKELRESULT(static_cast<WORD>(std::min<DWORD>(s->selStart, 0xFFFF)),
                               static_cast<WORD>(std::min<DWORD>(s->selEnd, 0xFFFF)));
        default:
            return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
}

}  // namespace win::controls
