#include "Quillmere/ui/Progress.h"

#include <gtest/gtest.h>

#include <string>

#include "Quillmere/core/Settings.h"
#include "platform/win/CommonControls.h"
#include "platform/win/Dialog.h"
#include "platform/win/DialogTestSupport.h"
#include "platform/win/MessageLoop.h"
#include "platform/win/Registry.h"
#include "platform/win/TestMachine.h"
#include "platform/win/Text.h"

namespace {

using win::testing::TextOf;

class ProgressTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_locale = GetThreadLocale();
        SetThreadLocale(0x040C);
        SetConfiguredLanguage(0x0407);
        ASSERT_NE(m_progress.Create(GetDesktopWindow()), nullptr);
        ShowWindow(m_progress.m_hWnd, SW_SHOWNORMAL);
    }
    void TearDown() override {
        m_progress.DestroyWindow();
        SetThreadLocale(m_locale);
    }
    void SetConfiguredLanguage(DWORD lcid) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kConfigKeyPath, 0, nullptr, 0, KEY_ALL_ACCESS,
                                  nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExW(key, L"LCID", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&lcid),
                                 sizeof lcid),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }
    // Dispatches what is queued for this thread (the close box posts its
    // command).
    static void Pump() {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageW(&msg);
    }
    HWND Bar() { return GetDlgItem(m_progress.m_hWnd, ui::kProgressBar); }

    win::testing::TestMachine m_machine;
    LCID m_locale = 0;
    ui::CProgress m_progress;
};

TEST_F(ProgressTest, CaptionFollowsTheThreadLocaleThenTheConfiguredLanguage) {
    EXPECT_EQ(TextOf(m_progress.m_hWnd), L"Synchronisation de base :");
    m_progress.SetText(L"12 of 40");
    EXPECT_EQ(TextOf(m_progress.m_hWnd), L"Basissynchronisation:");
    EXPECT_EQ(TextOf(GetDlgItem(m_progress.m_hWnd, ui::kProgressText)), L"12 of 40");
    // Each update reads the configured language afresh.
    SetConfiguredLanguage(0x0409);
    m_progress.SetText(L"13 of 40");
    EXPECT_EQ(TextOf(m_progress.m_hWnd), L"Basic synchronization:");
}

TEST_F(ProgressTest, SetTextMakesTheWindowTopmostWhereItIs) {
    RECT before{}, after{};
    ASSERT_TRUE(GetWindowRect(m_progress.m_hWnd, &before));
    EXPECT_EQ(GetWindowLongPtrW(m_progress.m_hWnd, GWL_EXSTYLE) & WS_EX_TOPMOST, 0);
    m_progress.SetText(L"x");
    ASSERT_TRUE(GetWindowRect(m_progress.m_hWnd, &after));
    EXPECT_NE(GetWindowLongPtrW(m_progress.m_hWnd, GWL_EXSTYLE) & WS_EX_TOPMOST, 0);
    EXPECT_EQ(before.left, after.left);
    EXPECT_EQ(before.top, after.top);
    EXPECT_EQ(before.right, after.right);
    EXPECT_EQ(before.bottom, after.bottom);
}

TEST_F(ProgressTest, RangeAndPosition) {
    const struct {
        WORD upper;
        int pos;
    } cases[] = {{40, 12}, {65535, 65000}, {1, 1}};
    for (const auto& c : cases) {
        m_progress.SetRange(c.upper);
        m_progress.SetPos(c.pos);
        EXPECT_EQ(SendMessageW(Bar(), PBM_GETRANGE, TRUE, 0), 0);
        EXPECT_EQ(SendMessageW(Bar(), PBM_GETRANGE, FALSE, 0), c.upper);
        EXPECT_EQ(SendMessageW(Bar(), PBM_GETPOS, 0, 0), c.pos);
    }
}

TEST_F(ProgressTest, CloseBoxOnlyHidesTheWindow) {
    ASSERT_TRUE(IsWindowVisible(m_progress.m_hWnd));
    SendMessageW(m_progress.m_hWnd, WM_CLOSE, 0, 0);
    Pump();
    EXPECT_TRUE(IsWindow(m_progress.m_hWnd));
    EXPECT_FALSE(IsWindowVisible(m_progress.m_hWnd));
    INT_PTR result = 0;
    EXPECT_TRUE(win::DialogEnded(m_progress.m_hWnd, &result));
    EXPECT_EQ(result, IDCANCEL);
    // Updates go on reaching the hidden window.
    m_progress.SetPos(3);
    EXPECT_EQ(SendMessageW(Bar(), PBM_GETPOS, 0, 0), 3);
}

TEST_F(ProgressTest, BarCustomDrawTakesTheDefaultDrawing) {
    NMHDR header{Bar(), static_cast<UINT_PTR>(ui::kProgressBar), NM_CUSTOMDRAW};
    LRESULT result = 7;
    EXPECT_TRUE(m_progress.ProcessWindowMessage(m_progress.m_hWnd, WM_NOTIFY, ui::kProgressBar,
                                                reinterpret_cast<LPARAM>(&header), result));
    EXPECT_EQ(result, 0);
    header.idFrom = ui::kProgressText;
    EXPECT_FALSE(m_progress.ProcessWindowMessage(m_progress.m_hWnd, WM_NOTIFY, ui::kProgressText,
                                                 reinterpret_cast<LPARAM>(&header), result));
    EXPECT_EQ(SendMessageW(
                  m_progress.m_hWnd, WM_NOTIFY, ui::kProgressBar,
                  reinterpret_cast<LPARAM>(&(header = {Bar(), ui::kProgressBar, NM_CUSTOMDRAW}))),
              0);
}

TEST_F(ProgressTest, DestroyingTheWindowDetachesTheObject) {
    EXPECT_TRUE(m_progress.DestroyWindow());
    EXPECT_EQ(m_progress.m_hWnd, nullptr);
    EXPECT_NE(m_progress.Create(GetDesktopWindow()), nullptr);
}

}  // namespace
