#include "platform/win/ShellNotify.h"

#include <gtest/gtest.h>

#include <cwchar>

#include "platform/win/Icon.h"
#include "platform/win/MessageLoop.h"
#include "platform/win/WindowTestSupport.h"

namespace {

using win::testing::Log;

constexpr const wchar_t* kClass = L"QmTrayTest";
constexpr UINT kIconId = 11;
constexpr UINT kCallback = WM_USER + 200;

void Copy(wchar_t* buffer, std::size_t size, const std::wstring& text) {
    std::wmemset(buffer, 0, size);
    std::wmemcpy(buffer, text.data(), std::min(text.size(), size));
}

class ShellNotifyTest : public ::testing::Test {
protected:
    void SetUp() override {
        win::testing::EnsureClass(kClass, win::testing::LoggingProc);
        win::ResetTrayForTesting();
        m_hwnd = CreateWindowExW(0, kClass, L"ShellIconHiddenWindowQMR", WS_POPUP, 0, 0, 1, 1,
                                 nullptr, nullptr, nullptr, nullptr);
        ASSERT_NE(m_hwnd, nullptr);
        Log().Clear();
        m_icon = LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(274));
        ASSERT_NE(m_icon, nullptr);
    }
    void TearDown() override {
        win::SetTrayObserver(nullptr);
        DestroyWindow(m_hwnd);
    }
    // The structure as the add-in fills it (the platform's 968-byte form).
    NOTIFYICONDATAW Data(UINT flags) {
        NOTIFYICONDATAW data{};
        data.cbSize = 968;
        data.hWnd = m_hwnd;
        data.uID = kIconId;
        data.uFlags = flags;
        data.uCallbackMessage = kCallback;
        data.hIcon = m_icon;
        Copy(data.szTip, 128, L"Quillmere");
        return data;
    }
    bool Add() {
        NOTIFYICONDATAW data = Data(NIF_MESSAGE | NIF_ICON | NIF_TIP);
        return Shell_NotifyIconW(NIM_ADD, &data);
    }
    HWND m_hwnd = nullptr;
    HICON m_icon = nullptr;
};

TEST_F(ShellNotifyTest, AnAddedIconShowsItsIconTooltipAndCallback) {
    ASSERT_TRUE(Add());
    auto icon = win::FindTrayIcon(m_hwnd, kIconId);
    ASSERT_TRUE(icon);
    EXPECT_EQ(icon->icon, m_icon);
    EXPECT_EQ(icon->tip, L"Quillmere");
    EXPECT_EQ(icon->callbackMessage, kCallback);
    EXPECT_FALSE(icon->hidden);
    EXPECT_TRUE(icon->balloons.empty());
    EXPECT_EQ(win::TrayIcons().size(), 1u);
    EXPECT_FALSE(Add());  // already there
}

TEST_F(ShellNotifyTest, AddNeedsALiveWindowAndAKnownSize) {
    NOTIFYICONDATAW data = Data(NIF_TIP);
    data.cbSize = 500;
    EXPECT_FALSE(Shell_NotifyIconW(NIM_ADD, &data));
    data.cbSize = sizeof(NOTIFYICONDATAW);
    data.hWnd = reinterpret_cast<HWND>(0x7FFF0000);
    EXPECT_FALSE(Shell_NotifyIconW(NIM_ADD, &data));
    EXPECT_FALSE(Shell_NotifyIconW(NIM_ADD, nullptr));
    EXPECT_TRUE(win::TrayIcons().empty());
}

TEST_F(ShellNotifyTest, ModifyChangesOnlyTheNamedFields) {
    ASSERT_TRUE(Add());
    NOTIFYICONDATAW data = Data(NIF_TIP);
    Copy(data.szTip, 128, L"<- Quillmere ->");
    data.hIcon = nullptr;  // not named by the flags: ignored
    ASSERT_TRUE(Shell_NotifyIconW(NIM_MODIFY, &data));
    auto icon = win::FindTrayIcon(m_hwnd, kIconId);
    EXPECT_EQ(icon->tip, L"<- Quillmere ->");
    EXPECT_EQ(icon->icon, m_icon);
    HICON busy = LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(280));
    data = Data(NIF_ICON);
    data.hIcon = busy;
    ASSERT_TRUE(Shell_NotifyIconW(NIM_MODIFY, &data));
    EXPECT_EQ(win::FindTrayIcon(m_hwnd, kIconId)->icon, busy);
    EXPECT_EQ(win::FindTrayIcon(m_hwnd, kIconId)->tip, L"<- Quillmere ->");
}

struct TipCase {
    DWORD cbSize;
    std::size_t given;
    std::size_t kept;
};

class ShellNotifyTipTest : public ShellNotifyTest, public ::testing::WithParamInterface<TipCase> {};

TEST_P(ShellNotifyTipTest, ATooltipIsCutToItsBuffer) {
    ASSERT_TRUE(Add());
    NOTIFYICONDATAW data = Data(NIF_TIP);
    data.cbSize = GetParam().cbSize;
    std::wstring tip(GetParam().given, L'x');
    Copy(data.szTip, 128, tip);
    ASSERT_TRUE(Shell_NotifyIconW(NIM_MODIFY, &data));
    EXPECT_EQ(win::FindTrayIcon(m_hwnd, kIconId)->tip, std::wstring(GetParam().kept, L'x'));
}

INSTANTIATE_TEST_SUITE_P(Sizes, ShellNotifyTipTest,
                         ::testing::Values(TipCase{968, 63, 63}, TipCase{968, 127, 127},
                                           TipCase{968, 128, 127},  // no terminator at all
                                           TipCase{sizeof(NOTIFYICONDATAW), 128, 127},
                                           TipCase{NOTIFYICONDATAW_V1_SIZE, 100, 63},
                                           TipCase{168, 64, 63}));

TEST_F(ShellNotifyTest, ABalloonIsRecordedWithTitleTextFlagsAndTimeout) {
    ASSERT_TRUE(Add());
    NOTIFYICONDATAW data = Data(NIF_INFO);
    Copy(data.szInfo, 256, L"There are more Mails to send.");
    Copy(data.szInfoTitle, 64, L"Quillmere");
    data.dwInfoFlags = NIIF_INFO | NIIF_NOSOUND;
    data.uTimeout = 10000;
    ASSERT_TRUE(Shell_NotifyIconW(NIM_MODIFY, &data));
    auto icon = win::FindTrayIcon(m_hwnd, kIconId);
    ASSERT_EQ(icon->balloons.size(), 1u);
    const win::TrayBalloon& b = icon->balloons[0];
    EXPECT_EQ(b.title, L"Quillmere");
    EXPECT_EQ(b.text, L"There are more Mails to send.");
    EXPECT_EQ(b.infoFlags, NIIF_INFO | NIIF_NOSOUND);
    EXPECT_EQ(b.timeoutMs, 10000u);
    EXPECT_EQ(icon->tip, L"Quillmere");  // NIF_TIP not given: unchanged

    // An empty text shows nothing; an overlong one is cut to the buffer.
    Copy(data.szInfo, 256, L"");
    ASSERT_TRUE(Shell_NotifyIconW(NIM_MODIFY, &data));
    Copy(data.szInfo, 256, std::wstring(300, L'y'));
    Copy(data.szInfoTitle, 64, std::wstring(64, L't'));
    ASSERT_TRUE(Shell_NotifyIconW(NIM_MODIFY, &data));
    auto balloons = win::FindTrayIcon(m_hwnd, kIconId)->balloons;
    ASSERT_EQ(balloons.size(), 2u);
    EXPECT_EQ(balloons[1].text, std::wstring(255, L'y'));
    EXPECT_EQ(balloons[1].title, std::wstring(63, L't'));
}

TEST_F(ShellNotifyTest, DeleteRemovesTheIconButNotTheBalloonHistory) {
    ASSERT_TRUE(Add());
    NOTIFYICONDATAW data = Data(NIF_INFO);
    Copy(data.szInfo, 256, L"Quillmere NEW");
    ASSERT_TRUE(Shell_NotifyIconW(NIM_MODIFY, &data));
    ASSERT_TRUE(Shell_NotifyIconW(NIM_DELETE, &data));
    EXPECT_FALSE(win::FindTrayIcon(m_hwnd, kIconId));
    EXPECT_FALSE(Shell_NotifyIconW(NIM_MODIFY, &data));
    EXPECT_FALSE(Shell_NotifyIconW(NIM_DELETE, &data));
    auto history = win::TrayBalloonHistory();
    ASSERT_EQ(history.size(), 1u);
    EXPECT_EQ(history[0].text, L"Quillmere NEW");
    EXPECT_EQ(history[0].id, kIconId);
    EXPECT_TRUE(Add());  // can come back
}

struct MouseCase {
    UINT version;
    UINT mouse;
};

class ShellNotifyMouseTest : public ShellNotifyTest,
                             public ::testing::WithParamInterface<MouseCase> {};

TEST_P(ShellNotifyMouseTest, ASimulatedClickReachesTheWindowProcedure) {
    ASSERT_TRUE(Add());
    if (GetParam().version != 0) {
        NOTIFYICONDATAW data = Data(0);
        data.uVersion = GetParam().version;
        ASSERT_TRUE(Shell_NotifyIconW(NIM_SETVERSION, &data));
    }
    ASSERT_TRUE(win::SimulateTrayMouse(m_hwnd, kIconId, GetParam().mouse));
    ASSERT_TRUE(win::testing::PumpUntil([] { return !Log().Of(kCallback).empty(); }));
    auto got = Log().Of(kCallback);
    ASSERT_EQ(got.size(), 1u);
    if (GetParam().version < NOTIFYICON_VERSION_4) {
        EXPECT_EQ(got[0].wParam, kIconId);
        EXPECT_EQ(got[0].lParam, static_cast<LPARAM>(GetParam().mouse));
    } else {
        EXPECT_EQ(LOWORD(got[0].lParam), GetParam().mouse);
        EXPECT_EQ(HIWORD(got[0].lParam), kIconId);
    }
}

INSTANTIATE_TEST_SUITE_P(Versions, ShellNotifyMouseTest,
                         ::testing::Values(MouseCase{0, WM_LBUTTONDBLCLK},
                                           MouseCase{0, WM_RBUTTONDBLCLK},
                                           MouseCase{0, WM_RBUTTONUP},
                                           MouseCase{NOTIFYICON_VERSION, WM_LBUTTONDBLCLK},
                                           MouseCase{NOTIFYICON_VERSION_4, WM_RBUTTONDBLCLK}));

TEST_F(ShellNotifyTest, HiddenMissingOrSilentIconsCanNotBeClicked) {
    EXPECT_FALSE(win::SimulateTrayMouse(m_hwnd, kIconId, WM_LBUTTONDBLCLK));
    NOTIFYICONDATAW data = Data(NIF_TIP);  // no callback message
    ASSERT_TRUE(Shell_NotifyIconW(NIM_ADD, &data));
    EXPECT_FALSE(win::SimulateTrayMouse(m_hwnd, kIconId, WM_LBUTTONDBLCLK));
    data = Data(NIF_MESSAGE | NIF_STATE);
    data.dwState = NIS_HIDDEN;
    data.dwStateMask = NIS_HIDDEN;
    ASSERT_TRUE(Shell_NotifyIconW(NIM_MODIFY, &data));
    EXPECT_TRUE(win::FindTrayIcon(m_hwnd, kIconId)->hidden);
    EXPECT_FALSE(win::SimulateTrayMouse(m_hwnd, kIconId, WM_LBUTTONDBLCLK));
    data.dwState = 0;
    ASSERT_TRUE(Shell_NotifyIconW(NIM_MODIFY, &data));
    EXPECT_TRUE(win::SimulateTrayMouse(m_hwnd, kIconId, WM_LBUTTONDBLCLK));
    data.uVersion = 7;
    EXPECT_FALSE(Shell_NotifyIconW(NIM_SETVERSION, &data));
}

TEST_F(ShellNotifyTest, TheObserverSeesEveryChange) {
    std::vector<std::pair<DWORD, std::wstring>> seen;
    win::SetTrayObserver([&](DWORD message, const win::TrayIcon& icon) {
        seen.push_back({message, icon.tip});
    });
    ASSERT_TRUE(Add());
    NOTIFYICONDATAW data = Data(NIF_TIP);
    Copy(data.szTip, 128, L"QMRX Start");
    Shell_NotifyIconW(NIM_MODIFY, &data);
    Shell_NotifyIconW(NIM_DELETE, &data);
    Shell_NotifyIconW(NIM_DELETE, &data);  // fails: not seen
    std::vector<std::pair<DWORD, std::wstring>> expected = {
        {NIM_ADD, L"Quillmere"}, {NIM_MODIFY, L"QMRX Start"}, {NIM_DELETE, L"QMRX Start"}};
    EXPECT_EQ(seen, expected);
}

TEST(IconTest, SharedIconsKeepTheirHandleAndNameTheirResource) {
    HMODULE self = GetModuleHandleW(nullptr);
    HICON a = LoadIconW(self, MAKEINTRESOURCEW(275));
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(LoadIconW(self, MAKEINTRESOURCEW(275)), a);
    EXPECT_NE(LoadIconW(self, MAKEINTRESOURCEW(277)), a);
    auto info = win::DescribeIcon(a);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->module, self);
    EXPECT_TRUE(info->isOrdinal);
    EXPECT_EQ(info->id, 275);
    EXPECT_TRUE(DestroyIcon(a));  // shared: stays
    EXPECT_TRUE(win::DescribeIcon(a));
    HICON named = LoadIconW(self, L"AppIcon");
    EXPECT_EQ(LoadIconW(self, L"APPICON"), named);
    EXPECT_EQ(win::DescribeIcon(named)->name, L"AppIcon");
}

TEST(IconTest, LoadedImagesAreOwnedByTheCaller) {
    HMODULE self = GetModuleHandleW(nullptr);
    auto a = static_cast<HICON>(LoadImageW(self, MAKEINTRESOURCEW(274), IMAGE_ICON, 16, 16, 0));
    auto b = static_cast<HICON>(LoadImageW(self, MAKEINTRESOURCEW(274), IMAGE_ICON, 16, 16, 0));
    ASSERT_NE(a, nullptr);
    EXPECT_NE(a, b);
    EXPECT_EQ(win::DescribeIcon(a)->cx, 16);
    EXPECT_TRUE(DestroyIcon(a));
    EXPECT_FALSE(win::DescribeIcon(a));
    EXPECT_FALSE(DestroyIcon(a));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(LoadImageW(self, MAKEINTRESOURCEW(306), IMAGE_BITMAP, 0, 0, 0), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
}

TEST(IconTest, StockIconsAndBadRequests) {
    HICON info = LoadIconW(nullptr, IDI_INFORMATION);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(win::DescribeIcon(info)->module, nullptr);
    EXPECT_EQ(LoadIconW(nullptr, MAKEINTRESOURCEW(5)), nullptr);
    EXPECT_EQ(LoadIconW(GetModuleHandleW(nullptr), nullptr), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(LoadIconW(reinterpret_cast<HMODULE>(0x1000), MAKEINTRESOURCEW(1)), nullptr);
}

}  // namespace
