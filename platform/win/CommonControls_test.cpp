#include "platform/win/CommonControls.h"

#include <gtest/gtest.h>

#include "platform/win/DialogTestSupport.h"

namespace {

using namespace win::testing;

constexpr int kProgress = 1246;
constexpr int kLink = 319;
constexpr int kLabel = 1247;

TemplateWriter CommonDialog() {
    TemplateWriter w(WS_POPUP, 209, 57);
    w.Add(PROGRESS_CLASSW, kProgress, L"", 0)
        .Add(WC_LINK, kLink,
             L"Open the <a id=\"dbg\" href=\"log:debug\">debug log</a> or <a>errors</a>",
             WS_TABSTOP)
        .Add(kStaticAtom, kLabel, L"", SS_CENTER);
    return w;
}

TEST(CommonControlsTest, InitChecksItsSize) {
    INITCOMMONCONTROLSEX init{sizeof(init), ICC_PROGRESS_CLASS | ICC_LINK_CLASS};
    EXPECT_TRUE(InitCommonControlsEx(&init));
    init.dwSize = 4;
    EXPECT_FALSE(InitCommonControlsEx(&init));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(InitCommonControlsEx(nullptr));
}

TEST(CommonControlsTest, ProgressKeepsRangePositionAndStep) {
    DialogRecorder r;
    TestDialog d(CommonDialog(), r);
    HWND bar = d.Item(kProgress);
    EXPECT_EQ(SendMessageW(bar, PBM_GETPOS, 0, 0), 0);
    EXPECT_EQ(SendMessageW(bar, PBM_SETRANGE, 0, MAKELPARAM(0, 20)), MAKELRESULT(0, 100));
    EXPECT_EQ(SendMessageW(bar, PBM_SETPOS, 15, 0), 0);
    EXPECT_EQ(SendMessageW(bar, PBM_DELTAPOS, 3, 0), 15);
    EXPECT_EQ(SendMessageW(bar, PBM_GETPOS, 0, 0), 18);
    SendMessageW(bar, PBM_SETPOS, 500, 0);  // clamped to the range
    EXPECT_EQ(SendMessageW(bar, PBM_GETPOS, 0, 0), 20);
    SendMessageW(bar, PBM_SETRANGE32, 100, 70000);
    PBRANGE range{};
    EXPECT_EQ(SendMessageW(bar, PBM_GETRANGE, FALSE, reinterpret_cast<LPARAM>(&range)), 70000);
    EXPECT_EQ(range.iLow, 100);
    EXPECT_EQ(SendMessageW(bar, PBM_GETPOS, 0, 0), 100);
    EXPECT_EQ(SendMessageW(bar, PBM_SETSTEP, 25000, 0), 10);
    SendMessageW(bar, PBM_STEPIT, 0, 0);
    SendMessageW(bar, PBM_STEPIT, 0, 0);
    EXPECT_EQ(SendMessageW(bar, PBM_GETPOS, 0, 0), 50100);
    SendMessageW(bar, PBM_STEPIT, 0, 0);  // past the end: starts over
    EXPECT_LT(SendMessageW(bar, PBM_GETPOS, 0, 0), 50100);
}

TEST(CommonControlsTest, LinkClickNotifiesTheParentWithTheLinksIndexIdAndUrl) {
    DialogRecorder r;
    TestDialog d(CommonDialog(), r);
    HWND link = d.Item(kLink);
    EXPECT_EQ(win::LinkDisplayText(link), L"Open the debug log or errors");
    auto items = win::LinkItems(link);
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].text, L"debug log");
    EXPECT_EQ(items[1].text, L"errors");
    ASSERT_TRUE(win::ClickLink(link, 1));
    ASSERT_TRUE(win::ClickLink(link, 0));
    ASSERT_EQ(r.links.size(), 2u);
    EXPECT_EQ(r.links[0].hdr.code, NM_CLICK);
    EXPECT_EQ(r.links[0].hdr.idFrom, static_cast<UINT_PTR>(kLink));
    EXPECT_EQ(r.links[0].hdr.hwndFrom, link);
    EXPECT_EQ(r.links[0].item.iLink, 1);
    EXPECT_EQ(r.links[1].item.iLink, 0);
    EXPECT_STREQ(r.links[1].item.szID, L"dbg");
    EXPECT_STREQ(r.links[1].item.szUrl, L"log:debug");
    EXPECT_FALSE(win::ClickLink(link, 2));

    // The text the page sets at run time is parsed again.
    SetWindowTextW(link, L"<a>Debuglog</a>");
    EXPECT_EQ(win::LinkItems(link).size(), 1u);
    // A disabled link control, or a disabled link, takes no click.
    EnableWindow(link, FALSE);
    EXPECT_FALSE(win::ClickLink(link, 0));
    EnableWindow(link, TRUE);
    LITEM item{};
    item.mask = LIF_ITEMINDEX | LIF_STATE;
    item.iLink = 0;
    item.stateMask = LIS_ENABLED;
    item.state = 0;
    EXPECT_TRUE(SendMessageW(link, LM_SETITEM, 0, reinterpret_cast<LPARAM>(&item)));
    EXPECT_FALSE(win::ClickLink(link, 0));
    EXPECT_EQ(r.links.size(), 2u);
}

TEST(CommonControlsTest, TooltipKeepsOneTextPerTool) {
    DialogRecorder r;
    TestDialog d(CommonDialog(), r);
    HWND tip = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP, 0,
                               0, 0, 0, d.hwnd(), nullptr, nullptr, nullptr);
    ASSERT_NE(tip, nullptr);
    TTTOOLINFOW info{};
    info.cbSize = sizeof(info);
    info.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    info.hwnd = d.hwnd();
    info.uId = reinterpret_cast<UINT_PTR>(d.Item(kLink));
    wchar_t add[] = L"Add to list";
    info.lpszText = add;
    EXPECT_TRUE(SendMessageW(tip, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&info)));
    TTTOOLINFOW second = info;
    second.uId = reinterpret_cast<UINT_PTR>(d.Item(kLabel));
    second.lpszText = LPSTR_TEXTCALLBACKW;
    EXPECT_TRUE(SendMessageW(tip, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&second)));
    EXPECT_EQ(SendMessageW(tip, TTM_GETTOOLCOUNT, 0, 0), 2);
    auto tools = win::ToolTipTools(tip);
    ASSERT_EQ(tools.size(), 2u);
    EXPECT_EQ(tools[0].text, L"Add to list");
    EXPECT_TRUE(tools[1].callback);
    wchar_t changed[] = L"Remove selected entry";
    info.lpszText = changed;
    SendMessageW(tip, TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&info));
    wchar_t buffer[64] = {};
    info.lpszText = buffer;
    SendMessageW(tip, TTM_GETTEXTW, 64, reinterpret_cast<LPARAM>(&info));
    EXPECT_STREQ(buffer, L"Remove selected entry");
    SendMessageW(tip, TTM_DELTOOLW, 0, reinterpret_cast<LPARAM>(&second));
    EXPECT_EQ(win::ToolTipTools(tip).size(), 1u);
    SendMessageW(tip, TTM_ACTIVATE, FALSE, 0);
    EXPECT_FALSE(win::ToolTipActive(tip));
    // Windows that are no tooltips have no tools.
    EXPECT_TRUE(win::ToolTipTools(d.hwnd()).empty());
    EXPECT_TRUE(win::LinkItems(d.Item(kProgress)).empty());
    DestroyWindow(tip);
}

TEST(CommonControlsTest, PaintingAsksTheParentForEachControlsColours) {
    DialogRecorder r;
    r.ctlColorBrush = 0xCAFE;
    TestDialog d(CommonDialog(), r);
    auto answers = win::PaintWindow(d.hwnd());
    // The dialog itself, then the link and the static (the progress bar asks nothing).
    ASSERT_EQ(answers.size(), 3u);
    EXPECT_EQ(answers[0].message, WM_CTLCOLORDLG);
    EXPECT_EQ(answers[1].control, d.Item(kLink));
    EXPECT_EQ(answers[1].message, WM_CTLCOLORSTATIC);
    EXPECT_EQ(answers[2].control, d.Item(kLabel));
    for (const auto& a : answers)
        EXPECT_EQ(a.brush, 0xCAFE);
}

}  // namespace
