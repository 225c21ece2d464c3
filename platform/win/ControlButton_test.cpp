#include <gtest/gtest.h>

#include "platform/win/DialogTestSupport.h"

namespace {

using namespace win::testing;

constexpr int kPush = 400;
constexpr int kAuto = 401;
constexpr int kManual = 402;
constexpr int kRadio1 = 403;
constexpr int kRadio2 = 404;
constexpr int kRadio3 = 405;
constexpr int kOtherGroup = 406;
constexpr int kLabel = 407;
constexpr int kNotifyLabel = 408;

TemplateWriter ButtonDialog() {
    TemplateWriter w(WS_POPUP, 200, 200);
    w.Add(kButtonAtom, kPush, L"Go", BS_PUSHBUTTON | WS_TABSTOP)
        .Add(kButtonAtom, kAuto, L"Debugging", BS_AUTOCHECKBOX | WS_TABSTOP)
        .Add(kButtonAtom, kManual, L"Manual", BS_CHECKBOX | WS_TABSTOP)
        .Add(kButtonAtom, kRadio1, L"r1", BS_AUTORADIOBUTTON | WS_GROUP)
        .Add(kButtonAtom, kRadio2, L"r2", BS_AUTORADIOBUTTON)
        .Add(kButtonAtom, kRadio3, L"r3", BS_AUTORADIOBUTTON)
        .Add(kButtonAtom, kOtherGroup, L"other", BS_AUTORADIOBUTTON | WS_GROUP)
        .Add(kStaticAtom, kLabel, L"label", SS_LEFT)
        .Add(kStaticAtom, kNotifyLabel, L"Password:", SS_LEFT | SS_NOTIFY);
    return w;
}

TEST(ButtonTest, ClicksToggleAutomaticCheckBoxesAndAlwaysNotify) {
    DialogRecorder r;
    TestDialog d(ButtonDialog(), r);
    HWND box = d.Item(kAuto);
    struct Step {
        UINT before, after;
    } steps[] = {{BST_UNCHECKED, BST_CHECKED}, {BST_CHECKED, BST_UNCHECKED}};
    for (const auto& s : steps) {
        EXPECT_EQ(static_cast<UINT>(SendMessageW(box, BM_GETCHECK, 0, 0)), s.before);
        SendMessageW(box, BM_CLICK, 0, 0);
        EXPECT_EQ(static_cast<UINT>(SendMessageW(box, BM_GETCHECK, 0, 0)), s.after);
    }
    EXPECT_EQ(r.CodesOf(kAuto), (std::vector<UINT>{BN_CLICKED, BN_CLICKED}));
    EXPECT_EQ(GetFocus(), box);
    // A plain check box only tells; its owner sets the state.
    ASSERT_TRUE(win::ClickButton(d.Item(kManual)));
    EXPECT_EQ(SendMessageW(d.Item(kManual), BM_GETCHECK, 0, 0), BST_UNCHECKED);
    EXPECT_EQ(r.CodesOf(kManual), (std::vector<UINT>{BN_CLICKED}));
    // BM_SETCHECK is silent.
    r.heard.clear();
    SendMessageW(box, BM_SETCHECK, BST_CHECKED, 0);
    EXPECT_TRUE(r.heard.empty());
    EXPECT_EQ(IsDlgButtonChecked(d.hwnd(), kAuto), BST_CHECKED);
}

TEST(ButtonTest, AutomaticRadioButtonsUncheckTheirGroupOnly) {
    DialogRecorder r;
    TestDialog d(ButtonDialog(), r);
    SendMessageW(d.Item(kOtherGroup), BM_SETCHECK, BST_CHECKED, 0);
    ASSERT_TRUE(win::ClickButton(d.Item(kRadio1)));
    ASSERT_TRUE(win::ClickButton(d.Item(kRadio3)));
    EXPECT_EQ(IsDlgButtonChecked(d.hwnd(), kRadio1), BST_UNCHECKED);
    EXPECT_EQ(IsDlgButtonChecked(d.hwnd(), kRadio2), BST_UNCHECKED);
    EXPECT_EQ(IsDlgButtonChecked(d.hwnd(), kRadio3), BST_CHECKED);
    EXPECT_EQ(IsDlgButtonChecked(d.hwnd(), kOtherGroup), BST_CHECKED);
    EXPECT_TRUE(CheckRadioButton(d.hwnd(), kRadio1, kRadio3, kRadio2));
    EXPECT_EQ(IsDlgButtonChecked(d.hwnd(), kRadio2), BST_CHECKED);
    EXPECT_EQ(IsDlgButtonChecked(d.hwnd(), kRadio3), BST_UNCHECKED);
}

TEST(ButtonTest, DisabledButtonsAndButtonsOfDisabledWindowsIgnoreClicks) {
    DialogRecorder r;
    TestDialog d(ButtonDialog(), r);
    HWND box = d.Item(kAuto);
    EnableWindow(box, FALSE);
    EXPECT_FALSE(win::ClickButton(box));
    SendMessageW(box, BM_CLICK, 0, 0);
    EXPECT_EQ(SendMessageW(box, BM_GETCHECK, 0, 0), BST_UNCHECKED);
    EnableWindow(box, TRUE);
    EnableWindow(d.hwnd(), FALSE);
    EXPECT_FALSE(win::ClickButton(box));
    EXPECT_FALSE(win::ClickButton(d.Item(kPush)));
    EXPECT_TRUE(r.heard.empty());
    EnableWindow(d.hwnd(), TRUE);
    EXPECT_TRUE(win::ClickButton(d.Item(kPush)));
    EXPECT_EQ(r.CodesOf(kPush), (std::vector<UINT>{BN_CLICKED}));
}

TEST(ButtonTest, StaticsNotifyClicksOnlyWithNotifyStyle) {
    DialogRecorder r;
    TestDialog d(ButtonDialog(), r);
    EXPECT_FALSE(win::ClickButton(d.Item(kLabel)));
    EXPECT_TRUE(win::ClickButton(d.Item(kNotifyLabel)));
    EXPECT_EQ(r.CodesOf(kNotifyLabel), (std::vector<UINT>{STN_CLICKED}));
    EXPECT_TRUE(r.CodesOf(kLabel).empty());
}

int g_helpId = 0;
HANDLE g_helpItem = nullptr;

INT_PTR HelpProc(HWND, UINT msg, WPARAM, LPARAM lParam) {
    if (msg != WM_HELP)
        return FALSE;
    auto* info = reinterpret_cast<const HELPINFO*>(lParam);
    if (info->cbSize == sizeof(HELPINFO) && info->iContextType == HELPINFO_WINDOW) {
        g_helpId = info->iCtrlId;
        g_helpItem = info->hItemHandle;
    }
    return TRUE;
}

TEST(ButtonTest, HelpKeyReachesTheDialogWithTheControlsIdAndHandle) {
    auto bytes = ButtonDialog().Bytes();
    HWND d = CreateDialogIndirectParamW(nullptr, reinterpret_cast<LPCDLGTEMPLATEW>(bytes.data()),
                                        nullptr, HelpProc, 0);
    ASSERT_NE(d, nullptr);
    HWND box = GetDlgItem(d, kAuto);
    EXPECT_TRUE(win::PressHelpKey(box));
    EXPECT_EQ(g_helpId, kAuto);
    EXPECT_EQ(g_helpItem, box);
    EnableWindow(d, FALSE);
    g_helpId = 0;
    EXPECT_FALSE(win::PressHelpKey(box));
    EXPECT_EQ(g_helpId, 0);
    DestroyWindow(d);
}

TEST(ButtonTest, ImagesAreKeptPerKindAndTheOldOneReturned) {
    DialogRecorder r;
    TestDialog d(ButtonDialog(), r);
    HWND push = d.Item(kPush);
    auto* bitmap = reinterpret_cast<HANDLE>(0x1000);
    auto* icon = reinterpret_cast<HANDLE>(0x2000);
    EXPECT_EQ(SendMessageW(push, BM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(bitmap)), 0);
    EXPECT_EQ(SendMessageW(push, BM_SETIMAGE, IMAGE_ICON, reinterpret_cast<LPARAM>(icon)), 0);
    EXPECT_EQ(SendMessageW(push, BM_GETIMAGE, IMAGE_BITMAP, 0), reinterpret_cast<LRESULT>(bitmap));
    EXPECT_EQ(SendMessageW(push, BM_SETIMAGE, IMAGE_BITMAP, 0), reinterpret_cast<LRESULT>(bitmap));
    HWND label = d.Item(kLabel);
    EXPECT_EQ(SendMessageW(label, STM_SETIMAGE, IMAGE_ICON, reinterpret_cast<LPARAM>(icon)), 0);
    EXPECT_EQ(SendMessageW(label, STM_GETIMAGE, IMAGE_ICON, 0), reinterpret_cast<LRESULT>(icon));
    EXPECT_EQ(SendMessageW(label, STM_GETIMAGE, IMAGE_BITMAP, 0), 0);
}

}  // namespace
