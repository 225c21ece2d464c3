#include "platform/win/Gdi.h"

#include <gtest/gtest.h>

#include "platform/win/DialogTestSupport.h"
#include "platform/win/WindowCoordinates.h"

namespace {

using namespace win::testing;

HBRUSH g_brush = nullptr;

// The themed colour answer of the pages: transparent text background, brush
// origin at minus the control's corner in the dialog, the captured brush.
INT_PTR ThemedColourProc(HWND dialog, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg != WM_CTLCOLORSTATIC)
        return FALSE;
    auto dc = reinterpret_cast<HDC>(wParam);
    SetBkMode(dc, TRANSPARENT);
    RECT rc{};
    GetWindowRect(reinterpret_cast<HWND>(lParam), &rc);
    POINT corner{rc.left, rc.top};
    ScreenToClient(dialog, &corner);
    SetBrushOrgEx(dc, -corner.x, -corner.y, nullptr);
    return reinterpret_cast<INT_PTR>(g_brush);
}

TEST(GdiTest, ColourAnswersSetTheContextAndReturnThePatternBrush) {
    HDC memory = CreateCompatibleDC(nullptr);
    HBITMAP capture = CreateCompatibleBitmap(memory, 300, 200);
    ASSERT_NE(capture, nullptr);
    EXPECT_EQ(SelectObject(memory, capture), nullptr);
    g_brush = CreatePatternBrush(capture);
    ASSERT_NE(g_brush, nullptr);
    EXPECT_EQ(win::PatternOfBrush(g_brush), capture);

    TemplateWriter w(WS_POPUP, 200, 100);
    w.Add(kStaticAtom, 1, L"label", SS_LEFT, 10, 16);  // 15, 26 pixels
    auto bytes = w.Bytes();
    HWND d = CreateDialogIndirectParamW(nullptr, reinterpret_cast<LPCDLGTEMPLATEW>(bytes.data()),
                                        nullptr, ThemedColourProc, 0);
    ASSERT_NE(d, nullptr);
    auto answers = win::PaintWindow(d);
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_EQ(answers[1].brush, reinterpret_cast<LRESULT>(g_brush));
    auto state = win::DescribeDC(win::PaintWindowContext());
    ASSERT_TRUE(state.has_value());
    EXPECT_EQ(state->bkMode, TRANSPARENT);
    EXPECT_EQ(state->brushOrigin.x, -20);  // 10 units at 8 pixels per 4 (no font)
    EXPECT_EQ(state->brushOrigin.y, -32);
    DestroyWindow(d);

    EXPECT_TRUE(DeleteObject(g_brush));
    EXPECT_FALSE(win::PatternOfBrush(g_brush).has_value());
    EXPECT_TRUE(DeleteObject(capture));
    EXPECT_TRUE(DeleteDC(memory));
    EXPECT_FALSE(DeleteDC(memory));
    EXPECT_EQ(SetBkMode(memory, TRANSPARENT), 0);
    EXPECT_EQ(CreatePatternBrush(capture), nullptr);
    g_brush = nullptr;
}

}  // namespace
