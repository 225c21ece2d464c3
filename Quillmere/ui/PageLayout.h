// What both property pages do alike when they initialise: place their
// controls in the middle of the tab that holds them, and dress their ">>",
// "<<" and address-book buttons with the pictures of the add-in's button
// strip. UI thread only.
#pragma once

#include <span>
#include <string>

#include "Quillmere/ui/BmpBtn.h"
#include "platform/win/ImageList.h"
#include "platform/win/Types.h"

namespace ui {

// The add-in's button strip (nine 20 x 20 images: address book, ">>" and
// "<<", each as normal, disabled and hot) and the pages' icon.
constexpr WORD kButtonStripBitmap = 256;
constexpr WORD kPageIconResource = 250;

// Moves the controls ids of page, in that order, right by
// dx = (width of parent's window - width of the reference) / 2 - left of the
// reference, the reference's rectangle taken in page coordinates before any
// move; sizes and vertical places stay. So the reference stands centred in
// the parent's width and every control keeps its place relative to it. Ids
// without a control are skipped. Nothing moves without a parent, under the
// desktop (no tab to centre in) or without the reference.
void CentreControls(HWND page, HWND parent, int referenceId, std::span<const int> ids);

// The button strip as an image list of 20 x 20 images, 24-bit colour with
// mask, magenta (0xFF00FF) transparent, made with room for `initial` images
// and growth 0. Null when it can't be made; the caller destroys it.
HIMAGELIST CreatePageButtonImages(int initial);

// The images a button shows, as indexes into the button strip.
struct PageButtonImages {
    int normal;
    int pushed;
    int hover;
    int disabled;
};

// Attaches button to control with the extended style hover, single 3-D
// border, auto-size and shared image list, the shared images, the pictures
// and the tooltip, and sizes it to its image. False when the control can't
// be attached (the button then stays plain).
bool AttachPageButton(CBmpBtn& button, HWND control, HIMAGELIST images, const std::wstring& tooltip,
                      const PageButtonImages& pictures);

}  // namespace ui
