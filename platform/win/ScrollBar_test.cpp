#include "platform/win/ScrollBar.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/win/DialogTestSupport.h"

namespace {

using win::testing::DialogRecorder;
using win::testing::kEditAtom;
using win::testing::TemplateWriter;
using win::testing::TestDialog;

constexpr int kEditId = 10;

// An 8-point dialog with a multi-line edit 80 dialog units high: 130
// pixels, so 10 lines to a page.
TemplateWriter EditDialog() {
    TemplateWriter w(WS_POPUP | WS_CAPTION, 200, 120);
    w.Font(8, L"MS Shell Dlg");
    w.Add(kEditAtom, kEditId, L"", ES_MULTILINE | ES_AUTOVSCROLL | WS_VSCROLL, 0, 0, 100, 80);
    return w;
}

std::wstring Lines(int count) {
    std::wstring text;
    for (int i = 0; i < count; ++i)
        text += L"line " + std::to_wstring(i) + L"\r\n";
    return text;
}

SCROLLINFO Query(HWND hwnd, int bar = SB_VERT) {
    SCROLLINFO si{};
    si.cbSize = sizeof si;
    si.fMask = SIF_ALL;
    EXPECT_TRUE(GetScrollInfo(hwnd, bar, &si)) << GetLastError();
    return si;
}

TEST(ScrollBar, EditReportsItsLinesPageAndFirstVisibleLine) {
    DialogRecorder recorder;
    TestDialog dialog(EditDialog(), recorder);
    HWND edit = dialog.Item(kEditId);
    SCROLLINFO empty = Query(edit);
    EXPECT_EQ(empty.nMin, 0);
    EXPECT_EQ(empty.nMax, 0);
    EXPECT_EQ(empty.nPos, 0);
    EXPECT_EQ(empty.nPage, 10u);

    SetWindowTextW(edit, Lines(30).c_str());
    SCROLLINFO top = Query(edit);
    EXPECT_EQ(top.nMax, 30) << "30 lines and the empty one after the last break";
    EXPECT_EQ(top.nPos, 0);
    EXPECT_LT(top.nPos + static_cast<int>(top.nPage), top.nMax);

    SendMessageW(edit, EM_SETSEL, 10000, 10000);
    SendMessageW(edit, EM_SCROLLCARET, 0, 0);
    SCROLLINFO bottom = Query(edit);
    EXPECT_EQ(bottom.nPos, 21);
    EXPECT_GE(bottom.nPos + static_cast<int>(bottom.nPage), bottom.nMax);
    EXPECT_EQ(bottom.nTrackPos, bottom.nPos);

    SendMessageW(edit, EM_LINESCROLL, 0, -5);
    EXPECT_EQ(Query(edit).nPos, 16);
}

TEST(ScrollBar, OnlyTheMaskedFieldsAreFilled) {
    DialogRecorder recorder;
    TestDialog dialog(EditDialog(), recorder);
    HWND edit = dialog.Item(kEditId);
    SetWindowTextW(edit, Lines(30).c_str());
    SCROLLINFO si{};
    si.cbSize = sizeof si;
    si.fMask = SIF_RANGE;
    si.nPage = 77;
    si.nPos = 55;
    ASSERT_TRUE(GetScrollInfo(edit, SB_VERT, &si));
    EXPECT_EQ(si.nMax, 30);
    EXPECT_EQ(si.nPage, 77u);
    EXPECT_EQ(si.nPos, 55);
}

TEST(ScrollBar, SettingTheEditsPositionScrollsItWithinItsLines) {
    DialogRecorder recorder;
    TestDialog dialog(EditDialog(), recorder);
    HWND edit = dialog.Item(kEditId);
    SetWindowTextW(edit, Lines(30).c_str());
    SCROLLINFO si{};
    si.cbSize = sizeof si;
    si.fMask = SIF_POS;
    si.nPos = 7;
    EXPECT_EQ(SetScrollInfo(edit, SB_VERT, &si, TRUE), 7);
    EXPECT_EQ(SendMessageW(edit, EM_GETFIRSTVISIBLELINE, 0, 0), 7);
    si.nPos = 500;
    EXPECT_EQ(SetScrollInfo(edit, SB_VERT, &si, TRUE), 21) << "the last page, not beyond";
}

TEST(ScrollBar, OtherWindowsKeepWhatWasSetClampedToTheRange) {
    DialogRecorder recorder;
    TestDialog dialog(EditDialog(), recorder);
    SCROLLINFO si{};
    si.cbSize = sizeof si;
    si.fMask = SIF_ALL;
    si.nMin = 0;
    si.nMax = 99;
    si.nPage = 10;
    si.nPos = 95;
    EXPECT_EQ(SetScrollInfo(dialog.hwnd(), SB_HORZ, &si, FALSE), 90);
    SCROLLINFO back = Query(dialog.hwnd(), SB_HORZ);
    EXPECT_EQ(back.nMax, 99);
    EXPECT_EQ(back.nPage, 10u);
    EXPECT_EQ(back.nPos, 90);
}

TEST(ScrollBar, FailuresSayWhy) {
    DialogRecorder recorder;
    TestDialog dialog(EditDialog(), recorder);
    SCROLLINFO si{};
    si.cbSize = sizeof si;
    si.fMask = SIF_ALL;
    struct Case {
        HWND hwnd;
        int bar;
        UINT size;
        DWORD error;
    } cases[] = {
        {dialog.hwnd(), SB_VERT, sizeof si, ERROR_NO_SCROLLBARS},
        {dialog.Item(kEditId), SB_CTL, sizeof si, ERROR_INVALID_PARAMETER},
        {dialog.Item(kEditId), SB_VERT, sizeof si - 4, ERROR_INVALID_PARAMETER},
        {reinterpret_cast<HWND>(0x7654321), SB_VERT, sizeof si, ERROR_INVALID_WINDOW_HANDLE},
    };
    for (const Case& c : cases) {
        si.cbSize = c.size;
        SetLastError(0);
        EXPECT_FALSE(GetScrollInfo(c.hwnd, c.bar, &si));
        EXPECT_EQ(GetLastError(), c.error);
    }
    SetLastError(0);
    EXPECT_FALSE(GetScrollInfo(dialog.Item(kEditId), SB_VERT, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

}  // namespace
