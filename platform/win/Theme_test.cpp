#include "platform/win/Theme.h"

#include <gtest/gtest.h>

#include "platform/win/WindowTestSupport.h"

namespace {

TEST(ThemeTest, StylesAreOffUntilATestTurnsThemOn) {
    EXPECT_FALSE(IsAppThemed());
    EXPECT_FALSE(IsThemeActive());
    win::SetAppThemedForTesting(true);
    EXPECT_TRUE(IsAppThemed());
    EXPECT_TRUE(IsThemeActive());
    win::SetAppThemedForTesting(false);
    EXPECT_FALSE(IsAppThemed());
    EXPECT_FALSE(IsThemeActive());
}

TEST(ThemeTest, TabTextureIsRecordedPerWindow) {
    win::testing::EnsureClass(L"ThemeTest", win::testing::LoggingProc);
    HWND one = CreateWindowExW(0, L"ThemeTest", L"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                               nullptr, nullptr);
    HWND two = CreateWindowExW(0, L"ThemeTest", L"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                               nullptr, nullptr);
    ASSERT_NE(one, nullptr);
    ASSERT_NE(two, nullptr);
    EXPECT_EQ(EnableThemeDialogTexture(one, ETDT_ENABLETAB), 0);
    EXPECT_EQ(EnableThemeDialogTexture(two, ETDT_DISABLE), 0);
    EXPECT_EQ(win::ThemeDialogTextureFlags(one), ETDT_ENABLETAB);
    EXPECT_EQ(win::ThemeDialogTextureFlags(two), ETDT_DISABLE);
    DestroyWindow(one);
    DestroyWindow(two);
}

}  // namespace
