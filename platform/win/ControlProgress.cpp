// The progress bar class.
#include <algorithm>

#include "platform/win/ControlPaint.h"
#include "platform/win/ControlSupport.h"

namespace win::controls {
namespace {

struct ProgressState : ControlState {
    int low = 0;
    int high = 100;
    int pos = 0;
    int step = 10;
};

void Clamp(ProgressState& s) {
    s.pos = std::clamp(s.pos, std::min(s.low, s.high), std::max(s.low, s.high));
}

// A sunken trough filled from the left (bottom with PBS_VERTICAL) as far as
// the position has come in the range.
void Paint(HWND hwnd, const ProgressState& s) {
    PaintControl(hwnd, [&](cairo_t* cr, HDC) {
        const RECT r = ClientRect(hwnd);
        paint::Fill(cr, r, paint::SystemColour(COLOR_3DLIGHT));
        paint::Frame(cr, r, paint::SystemColour(COLOR_BTNSHADOW));
        const RECT inner{r.left + 1, r.top + 1, r.right - 1, r.bottom - 1};
        const long long span = static_cast<long long>(s.high) - s.low;
        if (span <= 0)
            return;
        const double part = static_cast<double>(s.pos - s.low) / static_cast<double>(span);
        RECT bar = inner;
        if (StyleOf(hwnd) & PBS_VERTICAL)
            bar.top = inner.bottom - static_cast<LONG>((inner.bottom - inner.top) * part + 0.5);
        else
            bar.right = inner.left + static_cast<LONG>((inner.right - inner.left) * part + 0.5);
        paint::Fill(cr, bar, RGB(6, 176, 37));
    });
}

}  // namespace

LRESULT ProgressProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    LRESULT answer = 0;
    auto* s = StateForMessage<ProgressState>(hwnd, msg, wParam, lParam, answer);
    if (!s)
        return answer;
    int old = s->pos;
    switch (msg) {
        case PBM_SETRANGE:
        case PBM_SETRANGE32: {
            LRESULT previous = MAKELRESULT(static_cast<WORD>(s->low), static_cast<WORD>(s->high));
            if (msg == PBM_SETRANGE) {
                s->low = LOWORD(static_cast<DWORD>(lParam));
                s->high = HIWORD(static_cast<DWORD>(lParam));
            } else {
                s->low = static_cast<int>(static_cast<LONG_PTR>(wParam));
                s->high = static_cast<int>(lParam);
            }
            Clamp(*s);
            return previous;
        }
        case PBM_GETRANGE: {
            if (auto* range = reinterpret_cast<PBRANGE*>(lParam)) {
                range->iLow = s->low;
                range->iHigh = s->high;
            }
            return wParam ? s->low : s->high;
        }
        case PBM_SETPOS:
            s->pos = static_cast<int>(static_cast<LONG_PTR>(wParam));
            Clamp(*s);
            return old;
        case PBM_DELTAPOS:
            s->pos += static_cast<int>(static_cast<LONG_PTR>(wParam));
            Clamp(*s);
            return old;
        case PBM_GETPOS:
            return s->pos;
        case WM_PAINT:
            Paint(hwnd, *s);
            return 0;
        case PBM_SETSTEP: {
            int previous = s->step;
            s->step = static_cast<int>(static_cast<LONG_PTR>(wParam));
            return previous;
        }
        case PBM_GETSTEP:
            return s->step;
        case PBM_STEPIT: {
            // Past the end the bar starts over from the beginning.
            long long next = static_cast<long long>(s->pos) + s->step;
            if (next > s->high && s->high > s->low)
                next = s->low + (next - s->high) % (static_cast<long long>(s->high) - s->low);
            else if (next < s->low && s->high > s->low)
                next = s->high - (s->low - next) % (static_cast<long long>(s->high) - s->low);
            s->pos = static_cast<int>(next);
            Clamp(*s);
            return old;
        }
        default:
            return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
}

}  // namespace win::controls
