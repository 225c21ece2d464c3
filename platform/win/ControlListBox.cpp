// The list box class.
#include <algorithm>
#include "platform/win/ControlList.h"

#include "platform/win/ControlPaint.h"
#include "platform/win/ControlSupport.h"

namespace win::controls {
namespace {

struct ListBoxState : ControlState {
    explicit ListBoxState(bool sorted) : items(sorted) {}
    ItemList items;
    bool multi = false;
    int top = 0;
};

constexpr ItemMessages kListBoxItemMessages{
    .add = LB_ADDSTRING,
    .insert = LB_INSERTSTRING,
    .remove = LB_DELETESTRING,
    .count = LB_GETCOUNT,
    .find = LB_FINDSTRING,
    .findExact = LB_FINDSTRINGEXACT,
    .getText = LB_GETTEXT,
    .getTextLength = LB_GETTEXTLEN,
    .getData = LB_GETITEMDATA,
    .setData = LB_SETITEMDATA,
};

bool Notifies(HWND hwnd) {
    return (StyleOf(hwnd) & LBS_NOTIFY) != 0;
}

// The state of a new list box: sorted or not, one or many selections.
ListBoxState* NewListBoxState(const CREATESTRUCTW* cs) {
    auto style = static_cast<DWORD>(cs->style);
    auto* state = new ListBoxState((style & LBS_SORT) != 0);
    state->multi = (style & (LBS_MULTIPLESEL | LBS_EXTENDEDSEL)) != 0;
    return state;
}

}  // namespace

bool ListClick(HWND list, int index, bool doubleClick) {
    auto* s = StateOf<ListBoxState>(list);
    if (!s || !s->items.Valid(index) || (StyleOf(list) & LBS_NOSEL))
        return false;
    if (GetFocus() != list)
        SetFocus(list);
    if (!IsWindow(list))
        return false;
    bool changed;
    if (s->multi) {
        s->items.At(index).selected = !s->items.At(index).selected;
        s->items.current = index;
        changed = true;
    } else {
        changed = s->items.current != index;
        s->items.current = index;
    }
    if (changed && Notifies(list))
        NotifyParent(list, LBN_SELCHANGE);
    if (doubleClick && IsWindow(list) && Notifies(list))
        NotifyParent(list, LBN_DBLCLK);
    return true;
}

bool ListCancel(HWND list) {
    auto* s = StateOf<ListBoxState>(list);
    if (!s)
        return false;
    if (s->multi) {
        for (int i = 0; i < s->items.Count(); ++i)
            s->items.At(i).selected = false;
    } else {
        s->items.current = -1;
    }
    if (Notifies(list))
        NotifyParent(list, LBN_SELCANCEL);
    return true;
}

static void PaintListBox(HWND hwnd, const ListBoxState& s) {
    PaintControl(hwnd, [&](cairo_t* cr, HDC dc) {
        const bool enabled = IsWindowEnabled(hwnd) != FALSE;
        const ControlColours colours = AskColours(hwnd, dc, WM_CTLCOLORLISTBOX);
        RECT r = ClientRect(hwnd);
        FillRect(dc, &r, colours.background);
        r = DrawBorder(cr, hwnd, r, enabled);
        const LOGFONTW font = ControlFont(hwnd);
        const int line = LineHeight(font);
        const int count = s.items.Count();
        const int visible = std::max(1, (r.bottom - r.top) / line);
        const DWORD style = StyleOf(hwnd);
        // The bar shows when the items don't fit (or always with
        // LBS_DISABLENOSCROLL).
        if ((style & WS_VSCROLL) && (count > visible || (style & LBS_DISABLENOSCROLL))) {
            VerticalScrollBar(cr, RECT{r.right - kScrollBarWidth, r.top, r.right, r.bottom}, s.top,
                              visible, count);
            r.right -= kScrollBarWidth;
        }
        int y = r.top;
        for (int i = std::max(0, s.top); i < count && y < r.bottom; ++i, y += line) {
            const ListItem& item = s.items.At(i);
            const bool selected = s.multi ? item.selected : s.items.current == i;
            const RECT row{r.left, y, r.right, std::min<LONG>(r.bottom, y + line)};
            COLORREF ink = colours.text;
            if (selected && enabled) {
                paint::Fill(cr, row, paint::SystemColour(COLOR_HIGHLIGHT));
                ink = paint::SystemColour(COLOR_HIGHLIGHTTEXT);
            }
            paint::Text(cr, font, item.text, RECT{row.left + 2, row.top, row.right, row.bottom},
                        ink, paint::kSingleLine | paint::kNoPrefix);
        }
    });
}

LRESULT ListBoxProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    LRESULT answer = 0;
    auto* s = StateForMessage<ListBoxState>(hwnd, msg, wParam, lParam, CreateAnswer::kDefault,
                                            NewListBoxState, answer);
    if (!s)
        return answer;
    ItemList& items = s->items;
    if (AnswerItemMessage(items, kListBoxItemMessages, msg, wParam, lParam, answer))
        return answer;
    auto index = static_cast<int>(static_cast<LONG_PTR>(wParam));
    switch (msg) {
        case WM_PAINT:
            PaintListBox(hwnd, *s);
            return 0;
        case WM_GETDLGCODE:
            return DLGC_WANTARROWS | DLGC_WANTCHARS;
        case WM_SETFOCUS:
            NotifyParent(hwnd, LBN_SETFOCUS);
            return 0;
        case WM_KILLFOCUS:
            NotifyParent(hwnd, LBN_KILLFOCUS);
            return 0;
        case LB_RESETCONTENT:
            items.Clear();
            s->top = 0;
            return 0;
        case LB_SELECTSTRING: {
            if (s->multi)
                return LB_ERR;
            int at = items.Find(index, TextArg(lParam), false);
            if (at < 0)
                return LB_ERR;
            items.current = at;
            return at;
        }
        case LB_SETCURSEL:
            if (s->multi)
                return LB_ERR;
            if (!items.Valid(index)) {
                items.current = -1;
                return LB_ERR;
            }
            items.current = index;
            return index;
        case LB_GETCURSEL:
            if (s->multi)
                return items.current;
            return items.current;
        case LB_SETSEL: {
            if (!s->multi)
                return LB_ERR;
            auto which = static_cast<int>(lParam);
            if (which == -1) {
                for (int i = 0; i < items.Count(); ++i)
                    items.At(i).selected = wParam != 0;
                return 0;
            }
            if (!items.Valid(which))
                return LB_ERR;
            items.At(which).selected = wParam != 0;
            items.current = which;
            return 0;
        }
        case LB_GETSEL:
            if (!items.Valid(index))
                return LB_ERR;
            return s->multi ? (items.At(index).selected ? 1 : 0) : (items.current == index ? 1 : 0);
        case LB_GETSELCOUNT: {
            if (!s->multi)
                return LB_ERR;
            int n = 0;
            for (int i = 0; i < items.Count(); ++i)
                n += items.At(i).selected ? 1 : 0;
            return n;
        }
        case LB_GETSELITEMS: {
            if (!s->multi)
                return LB_ERR;
            auto* out = reinterpret_cast<int*>(lParam);
            int n = 0;
            for (int i = 0; i < items.Count() && static_cast<WPARAM>(n) < wParam; ++i)
                if (items.At(i).selected && out)
                    out[n++] = i;
            return n;
        }
        case LB_GETCARETINDEX:
            return items.current < 0 ? 0 : items.current;
        case LB_SETCARETINDEX:
            if (!items.Valid(index))
                return LB_ERR;
            if (s->multi)
                items.current = index;
            return 0;
        case LB_GETTOPINDEX:
            return s->top;
        case LB_SETTOPINDEX:
            if (!items.Valid(index) && !(index == 0 && items.Count() == 0))
                return LB_ERR;
            s->top = index;
            return 0;
        default:
            return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
}

}  // namespace win::controls
