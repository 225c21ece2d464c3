// The list box class.
#include "platform/win/ControlList.h"
#include "platform/win/ControlSupport.h"

namespace win::controls {
namespace {

struct ListBoxState : ControlState {
    explicit ListBoxState(bool sorted) : items(sorted) {}
    ItemList items;
    bool multi = false;
    int top = 0;
};

const WCHAR* TextArg(LPARAM lParam) {
    auto* text = reinterpret_cast<const WCHAR*>(lParam);
    return text ? text : L"";
}

bool Notifies(HWND hwnd) {
    return (StyleOf(hwnd) & LBS_NOTIFY) != 0;
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

LRESULT ListBoxProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto* s = StateOf<ListBoxState>(hwnd);
    switch (msg) {
        case WM_NCCREATE: {
            auto* cs = reinterpret_cast<const CREATESTRUCTW*>(lParam);
            auto style = static_cast<DWORD>(cs->style);
            auto* state = new ListBoxState((style & LBS_SORT) != 0);
            state->multi = (style & (LBS_MULTIPLESEL | LBS_EXTENDEDSEL)) != 0;
            AttachState(hwnd, state);
            return DefWindowProcW(hwnd, msg, wParam, lParam);
        }
        case WM_NCDESTROY:
            DeleteState(hwnd);
            return 0;
        default:
            break;
    }
    if (!s)
        return DefWindowProcW(hwnd, msg, wParam, lParam);
    ItemList& items = s->items;
    auto index = static_cast<int>(static_cast<LONG_PTR>(wParam));
    switch (msg) {
        case WM_GETDLGCODE:
            return DLGC_WANTARROWS | DLGC_WANTCHARS;
        case WM_SETFOCUS:
            NotifyParent(hwnd, LBN_SETFOCUS);
            return 0;
        case WM_KILLFOCUS:
            NotifyParent(hwnd, LBN_KILLFOCUS);
            return 0;
        case LB_ADDSTRING: {
            int at = items.Add(TextArg(lParam));
            return at == -2 ? LB_ERRSPACE : at;
        }
        case LB_INSERTSTRING: {
            int at = items.Insert(index, TextArg(lParam));
            return at == -2 ? LB_ERRSPACE : (at < 0 ? LB_ERR : at);
        }
        case LB_DELETESTRING:
            return items.Delete(index) ? items.Count() : LB_ERR;
        case LB_RESETCONTENT:
            items.Clear();
            s->top = 0;
            return 0;
        case LB_GETCOUNT:
            return items.Count();
        case LB_FINDSTRING:
        case LB_FINDSTRINGEXACT: {
            int at = items.Find(index, TextArg(lParam), msg == LB_FINDSTRINGEXACT);
            return at < 0 ? LB_ERR : at;
        }
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
        case LB_GETTEXT:
            return items.Valid(index) ? CopyWhole(items.At(index).text, lParam) : LB_ERR;
        case LB_GETTEXTLEN:
            return items.Valid(index) ? static_cast<LRESULT>(items.At(index).text.size()) : LB_ERR;
        case LB_GETITEMDATA:
            return items.Valid(index) ? items.At(index).data : LB_ERR;
        case LB_SETITEMDATA:
            if (!items.Valid(index))
                return LB_ERR;
            items.At(index).data = lParam;
            return TRUE;
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
