// The static class: texts, lines, icons and pictures.
#include "platform/win/ControlSupport.h"

namespace win::controls {
namespace {

struct StaticState : ControlState {
    HANDLE image = nullptr;
    UINT imageType = IMAGE_BITMAP;
};

}  // namespace

LRESULT StaticProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto* s = StateOf<StaticState>(hwnd);
    switch (msg) {
        case WM_NCCREATE:
            AttachState(hwnd, new StaticState);
            return DefWindowProcW(hwnd, msg, wParam, lParam);
        case WM_NCDESTROY:
            DeleteState(hwnd);
            return 0;
        case WM_GETDLGCODE:
            return DLGC_STATIC;
        case STM_SETIMAGE:
        case STM_SETICON: {
            if (!s)
                return 0;
            HANDLE old = s->image;
            s->image =
                reinterpret_cast<HANDLE>(msg == STM_SETICON ? wParam : static_cast<WPARAM>(lParam));
            s->imageType = msg == STM_SETICON ? IMAGE_ICON : static_cast<UINT>(wParam);
            return reinterpret_cast<LRESULT>(old);
        }
        case STM_GETIMAGE:
            return s && s->imageType == wParam ? reinterpret_cast<LRESULT>(s->image) : 0;
        case STM_GETICON:
            return s && s->imageType == IMAGE_ICON ? reinterpret_cast<LRESULT>(s->image) : 0;
        default:
            return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
}

}  // namespace win::controls
