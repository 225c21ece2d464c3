// The tooltip class: tools with their texts, kept for inspection.
#include <algorithm>

#include "platform/win/ControlSupport.h"
#include "platform/win/Resources.h"

namespace win {
namespace controls {
namespace {

struct ToolTipState : ControlState {
    std::vector<ToolTipTool> tools;
    bool active = true;
};

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

}  // namespace

LRESULT ToolTipProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
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
                *it = std::move(tool);
            else
                s->tools.push_back(std::move(tool));
            return TRUE;
        }
        case TTM_DELTOOLW:
            if (Readable(info)) {
                auto it = FindTool(*s, *info);
                if (it != s->tools.end())
                    s->tools.erase(it);
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
            return 0;
        case TTM_SETMAXTIPWIDTH:
            return -1;
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

}  // namespace win
