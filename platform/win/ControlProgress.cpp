// The progress bar class.
#include <algorithm>

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
