#include "platform/win/WindowCoordinates.h"

#include <gtest/gtest.h>

#include "platform/win/Theme.h"
#include "platform/win/WindowTestSupport.h"

namespace {

using win::testing::EnsureClass;
using win::testing::LoggingProc;

TEST(WindowCoordinatesTest, PointsMoveBetweenParentChildAndScreen) {
    EnsureClass(L"CoordTest", LoggingProc);
    HWND top = CreateWindowExW(0, L"CoordTest", L"", WS_POPUP, 100, 50, 400, 300, nullptr, nullptr,
                               nullptr, nullptr);
    HWND child = CreateWindowExW(0, L"CoordTest", L"", WS_CHILD, 30, 20, 50, 10, top,
                                 reinterpret_cast<HMENU>(304), nullptr, nullptr);
    ASSERT_NE(child, nullptr);
    // The child's rectangle in its parent's coordinates, as the pages lay out.
    RECT rc{};
    GetWindowRect(child, &rc);
    POINT corners[2] = {{rc.left, rc.top}, {rc.right, rc.bottom}};
    int shift = MapWindowPoints(nullptr, top, corners, 2);
    EXPECT_EQ(corners[0].x, 30);
    EXPECT_EQ(corners[0].y, 20);
    EXPECT_EQ(corners[1].x, 80);
    EXPECT_EQ(static_cast<short>(LOWORD(static_cast<DWORD>(shift))), -100);
    EXPECT_EQ(static_cast<short>(HIWORD(static_cast<DWORD>(shift))), -50);
    POINT p{1, 2};
    EXPECT_TRUE(ClientToScreen(child, &p));
    EXPECT_EQ(p.x, 131);
    EXPECT_EQ(p.y, 72);
    EXPECT_TRUE(ScreenToClient(top, &p));
    EXPECT_EQ(p.x, 31);
    EXPECT_EQ(p.y, 22);
    POINT q{5, 5};
    EXPECT_EQ(MapWindowPoints(child, reinterpret_cast<HWND>(0x4444), &q, 1), 0);
    EXPECT_EQ(q.x, 5);
    EXPECT_FALSE(ScreenToClient(reinterpret_cast<HWND>(0x4444), &q));

    EXPECT_FALSE(IsAppThemed());
    EXPECT_EQ(EnableThemeDialogTexture(top, ETDT_ENABLETAB), 0);
    EXPECT_EQ(win::ThemeDialogTextureFlags(top), ETDT_ENABLETAB);
    EXPECT_NE(EnableThemeDialogTexture(reinterpret_cast<HWND>(0x4444), ETDT_ENABLETAB), 0);
    DestroyWindow(top);
}

}  // namespace
