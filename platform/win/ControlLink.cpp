// The SysLink class: text with <a> links.
//
// Markup: <a>, <a href="url">, <a id="name"> (attributes in double or single
// quotes, names case-insensitive) up to </a>; the rest is shown as it is.
#include <algorithm>
#include <cwctype>

#include "platform/win/ControlPaint.h"
#include "platform/win/ControlSupport.h"

namespace win {
namespace controls {
namespace {

struct LinkState : ControlState {
    std::wstring markup;
    std::wstring shown;
    std::vector<LinkItem> links;
};

bool StartsWithNoCase(std::wstring_view text, std::size_t at, std::wstring_view word) {
    if (text.size() - at < word.size())
        return false;
    for (std::size_t i = 0; i < word.size(); ++i)
        if (std::towlower(text[at + i]) != std::towlower(word[i]))
            return false;
    return true;
}

// Reads name="value" pairs of an opening tag from at (after "<a") to '>';
// returns the position after '>' or npos.
std::size_t ReadAttributes(const std::wstring& text, std::size_t at, LinkItem& link) {
    while (at < text.size() && text[at] != L'>') {
        if (std::iswspace(text[at])) {
            ++at;
            continue;
        }
        std::size_t nameStart = at;
        while (at < text.size() && text[at] != L'=' && text[at] != L'>' && !std::iswspace(text[at]))
            ++at;
        std::wstring name = text.substr(nameStart, at - nameStart);
        for (auto& c : name)
            c = static_cast<wchar_t>(std::towlower(c));
        std::wstring value;
        if (at < text.size() && text[at] == L'=') {
            ++at;
            if (at < text.size() && (text[at] == L'"' || text[at] == L'\'')) {
                WCHAR quote = text[at++];
                std::size_t end = text.find(quote, at);
                if (end == std::wstring::npos)
                    return std::wstring::npos;
                value = text.substr(at, end - at);
                at = end + 1;
            } else {
                std::size_t start = at;
                while (at < text.size() && text[at] != L'>' && !std::iswspace(text[at]))
                    ++at;
                value = text.substr(start, at - start);
            }
        }
        if (name == L"href")
            link.url = value.substr(0, L_MAX_URL_LENGTH - 1);
        else if (name == L"id")
            link.id = value.substr(0, MAX_LINKID_TEXT - 1);
    }
    return at < text.size() ? at + 1 : std::wstring::npos;
}

void Parse(LinkState& s) {
    s.shown.clear();
    s.links.clear();
    const std::wstring& t = s.markup;
    std::size_t i = 0;
    while (i < t.size()) {
        if (t[i] == L'<' && StartsWithNoCase(t, i, L"<a") && i + 2 < t.size() &&
            (t[i + 2] == L'>' || std::iswspace(t[i + 2]))) {
            LinkItem link;
            std::size_t after = ReadAttributes(t, i + 2, link);
            std::size_t close = after == std::wstring::npos ? after : t.find(L"</", after);
            while (close != std::wstring::npos && !StartsWithNoCase(t, close, L"</a>"))
                close = t.find(L"</", close + 2);
            if (close != std::wstring::npos) {
                link.text = t.substr(after, close - after);
                s.shown += link.text;
                s.links.push_back(std::move(link));
                i = close + 4;
                continue;
            }
        }
        s.shown += t[i++];
    }
}

void CopyField(const std::wstring& text, WCHAR* out, std::size_t capacity) {
    std::size_t n = std::min(text.size(), capacity - 1);
    std::copy(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(n), out);
    out[n] = L'\0';
}

void Fill(const LinkItem& link, int index, LITEM& item) {
    item.iLink = index;
    item.state = link.state;
    CopyField(link.id, item.szID, MAX_LINKID_TEXT);
    CopyField(link.url, item.szUrl, L_MAX_URL_LENGTH);
}

// The state of a new link: the window text is its markup.
LinkState* NewLinkState(const CREATESTRUCTW* cs) {
    auto* state = new LinkState;
    if (cs->lpszName && !IS_INTRESOURCE(cs->lpszName))
        state->markup = cs->lpszName;
    Parse(*state);
    return state;
}

}  // namespace

bool LinkClick(HWND hwnd, int index) {
    auto* s = StateOf<LinkState>(hwnd);
    if (!s || index < 0 || static_cast<std::size_t>(index) >= s->links.size())
        return false;
    if (!(s->links[static_cast<std::size_t>(index)].state & LIS_ENABLED))
        return false;
    if (GetFocus() != hwnd)
        SetFocus(hwnd);
    if (!IsWindow(hwnd) || !(s = StateOf<LinkState>(hwnd)))
        return false;
    NMLINK note{};
    note.hdr.hwndFrom = hwnd;
    note.hdr.idFrom = static_cast<UINT_PTR>(GetDlgCtrlID(hwnd));
    note.hdr.code = NM_CLICK;
    note.item.mask = LIF_ITEMINDEX | LIF_STATE | LIF_ITEMID | LIF_URL;
    Fill(s->links[static_cast<std::size_t>(index)], index, note.item);
    if (HWND parent = GetParent(hwnd))
        SendMessageW(parent, WM_NOTIFY, note.hdr.idFrom, reinterpret_cast<LPARAM>(&note));
    return true;
}

// The shown text in pieces from left to right: plain text in the text
// colour, links underlined in the link colour (grey when the link or the
// control is disabled).
static void PaintLink(HWND hwnd, const LinkState& s) {
    PaintControl(hwnd, [&](cairo_t* cr, HDC dc) {
        const ControlColours colours = AskColours(hwnd, dc, WM_CTLCOLORSTATIC);
        const RECT r = ClientRect(hwnd);
        FillRect(dc, &r, colours.background);
        const bool enabled = IsWindowEnabled(hwnd) != FALSE;
        LOGFONTW font = ControlFont(hwnd);
        LOGFONTW linkFont = font;
        linkFont.lfUnderline = 1;
        const UINT flags = paint::kSingleLine | paint::kNoPrefix;
        int x = r.left;
        std::size_t at = 0;
        auto piece = [&](const std::wstring& text, const LOGFONTW& f, COLORREF ink) {
            if (text.empty())
                return;
            paint::Text(cr, f, text, RECT{x, r.top, r.right, r.bottom}, ink, flags);
            x += paint::MeasureText(f, text, flags).cx;
        };
        for (const LinkItem& link : s.links) {
            std::size_t found = s.shown.find(link.text, at);
            if (found == std::wstring::npos)
                break;
            piece(s.shown.substr(at, found - at), font, colours.text);
            const bool live = enabled && (link.state & LIS_ENABLED);
            piece(link.text, linkFont, paint::SystemColour(live ? COLOR_HOTLIGHT : COLOR_GRAYTEXT));
            at = found + link.text.size();
        }
        piece(s.shown.substr(std::min(at, s.shown.size())), font, colours.text);
    });
}

LRESULT LinkProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    LRESULT answer = 0;
    auto* s = StateForMessage<LinkState>(hwnd, msg, wParam, lParam, CreateAnswer::kDefault,
                                         NewLinkState, answer);
    if (!s)
        return answer;
    switch (msg) {
        case WM_PAINT:
            PaintLink(hwnd, *s);
            return 0;
        case WM_SETTEXT:
            s->markup = TextArg(lParam);
            Parse(*s);
            return DefWindowProcW(hwnd, msg, wParam, lParam);
        case LM_GETITEM:
        case LM_SETITEM: {
            auto* item = reinterpret_cast<LITEM*>(lParam);
            if (!item || !(item->mask & LIF_ITEMINDEX) || item->iLink < 0 ||
                static_cast<std::size_t>(item->iLink) >= s->links.size())
                return FALSE;
            LinkItem& link = s->links[static_cast<std::size_t>(item->iLink)];
            if (msg == LM_GETITEM) {
                Fill(link, item->iLink, *item);
                return TRUE;
            }
            if (item->mask & LIF_STATE)
                link.state = (link.state & ~item->stateMask) | (item->state & item->stateMask);
            if (item->mask & LIF_ITEMID)
                link.id.assign(item->szID,
                               std::find(item->szID, item->szID + MAX_LINKID_TEXT, L'\0'));
            if (item->mask & LIF_URL)
                link.url.assign(item->szUrl,
                                std::find(item->szUrl, item->szUrl + L_MAX_URL_LENGTH, L'\0'));
            return TRUE;
        }
        default:
            return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
}

}  // namespace controls

std::vector<LinkItem> LinkItems(HWND link) {
    auto* s = controls::StateOf<controls::LinkState>(link);
    return s ? s->links : std::vector<LinkItem>{};
}

std::wstring LinkDisplayText(HWND link) {
    auto* s = controls::StateOf<controls::LinkState>(link);
    return s ? s->shown : std::wstring{};
}

}  // namespace win
