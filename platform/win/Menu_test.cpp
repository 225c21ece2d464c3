#include "platform/win/Menu.h"

#include <gtest/gtest.h>

#include "platform/win/MessageLoop.h"
#include "platform/win/Resources.h"
#include "platform/win/WindowTestSupport.h"

namespace {

using win::testing::Log;

// Template bytes as the platform lays them out, little-endian.
class TemplateBuilder {
public:
    TemplateBuilder() {
        Word(0);  // version
        Word(0);  // extra header bytes
    }
    TemplateBuilder& Popup(const std::wstring& text, bool last = false) {
        Word(MF_POPUP | (last ? MF_END : 0));
        Text(text);
        return *this;
    }
    TemplateBuilder& Item(WORD id, const std::wstring& text, bool last = false, WORD flags = 0) {
        Word(flags | (last ? MF_END : 0));
        Word(id);
        Text(text);
        return *this;
    }
    std::vector<std::uint8_t> bytes;

private:
    void Word(WORD w) {
        bytes.push_back(static_cast<std::uint8_t>(w & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(w >> 8));
    }
    void Text(const std::wstring& text) {
        for (wchar_t c : text)
            Word(static_cast<WORD>(c));
        Word(0);
    }
};

TEST(MenuTest, ATemplateGivesPopupsAndItems) {
    TemplateBuilder b;
    b.Popup(L"Tray", true).Item(100, L"Open").Item(0, L"").Item(101, L"Stop", true, MF_GRAYED);
    HMENU menu = win::LoadMenuFromTemplate(b.bytes.data(), b.bytes.size());
    ASSERT_NE(menu, nullptr);
    EXPECT_EQ(GetMenuItemCount(menu), 1);
    HMENU popup = GetSubMenu(menu, 0);
    ASSERT_NE(popup, nullptr);
    EXPECT_EQ(GetMenuItemCount(popup), 3);
    EXPECT_EQ(GetMenuItemID(popup, 0), 100u);
    EXPECT_EQ(GetMenuItemID(popup, 2), 101u);
    EXPECT_EQ(GetMenuItemID(menu, 0), static_cast<UINT>(-1));
    auto items = win::MenuItems(popup);
    EXPECT_EQ(items[0].text, L"Open");
    EXPECT_TRUE(items[1].flags & MF_SEPARATOR);
    EXPECT_TRUE(items[2].flags & MF_GRAYED);
    EXPECT_FALSE(items[2].flags & MF_END);
    EXPECT_TRUE(DestroyMenu(menu));
    EXPECT_EQ(GetMenuItemCount(popup), -1);  // went with its parent
}

TEST(MenuTest, DamagedTemplatesAreRefused) {
    TemplateBuilder good;
    good.Popup(L"P", true).Item(1, L"a", true);
    std::vector<std::vector<std::uint8_t>> bad;
    bad.push_back({});
    bad.push_back({1, 0, 0, 0});        // version 1
    bad.push_back({0, 0, 0xFF, 0xFF});  // header past the end
    bad.push_back(std::vector<std::uint8_t>(good.bytes.begin(), good.bytes.end() - 1));
    bad.push_back(std::vector<std::uint8_t>(good.bytes.begin(), good.bytes.end() - 6));
    TemplateBuilder unterminated;
    unterminated.Item(1, L"no end");  // no MF_END anywhere
    bad.push_back(unterminated.bytes);
    TemplateBuilder deep;
    for (int i = 0; i < 40; ++i)
        deep.Popup(L"d");
    bad.push_back(deep.bytes);
    for (std::size_t i = 0; i < bad.size(); ++i) {
        SetLastError(0);
        EXPECT_EQ(win::LoadMenuFromTemplate(bad[i].data(), bad[i].size()), nullptr) << i;
        EXPECT_EQ(GetLastError(), ERROR_INVALID_DATA) << i;
    }
    HMENU ok = win::LoadMenuFromTemplate(good.bytes.data(), good.bytes.size());
    EXPECT_NE(ok, nullptr);
    DestroyMenu(ok);
}

TEST(MenuTest, AModuleWithoutMenusGivesAnEmptyPopup) {
    HMENU menu = LoadMenuW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(300));
    ASSERT_NE(menu, nullptr);
    HMENU popup = GetSubMenu(menu, 0);
    ASSERT_NE(popup, nullptr);
    EXPECT_EQ(GetMenuItemCount(popup), 0);
    DestroyMenu(menu);
}

class TrackPopupMenuTest : public ::testing::Test {
protected:
    void SetUp() override {
        win::testing::EnsureClass(L"QmMenuTest", win::testing::LoggingProc);
        m_hwnd = CreateWindowExW(0, L"QmMenuTest", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                                 nullptr, nullptr);
        m_menu = CreatePopupMenu();
        AppendMenuW(m_menu, MF_STRING, 40, L"Start");
        AppendMenuW(m_menu, MF_SEPARATOR, 0, nullptr);
        AppendMenuW(m_menu, MF_STRING, 41, L"Stop");
        Log().Clear();
    }
    void TearDown() override {
        win::SetPopupMenuHandler(nullptr);
        DestroyMenu(m_menu);
        DestroyWindow(m_hwnd);
    }
    HWND m_hwnd = nullptr;
    HMENU m_menu = nullptr;
};

TEST_F(TrackPopupMenuTest, TheHandlerChoosesAndReturnCmdReturnsTheId) {
    win::PopupMenuCall seen;
    win::SetPopupMenuHandler([&](const win::PopupMenuCall& call) {
        seen = call;
        return 41u;
    });
    SetCursorPos(12, 34);
    POINT pt;
    GetCursorPos(&pt);
    EXPECT_EQ(
        TrackPopupMenu(m_menu, TPM_RETURNCMD | TPM_RIGHTBUTTON, pt.x, pt.y, 0, m_hwnd, nullptr),
        41);
    EXPECT_EQ(seen.items.size(), 3u);
    EXPECT_EQ(seen.items[2].text, L"Stop");
    EXPECT_EQ(seen.point.x, 12);
    EXPECT_EQ(seen.point.y, 34);
    EXPECT_EQ(seen.owner, m_hwnd);
    // Without TPM_RETURNCMD the choice arrives as WM_COMMAND.
    EXPECT_TRUE(TrackPopupMenu(m_menu, 0, 0, 0, 0, m_hwnd, nullptr));
    ASSERT_TRUE(win::testing::PumpUntil([] { return !Log().Of(WM_COMMAND).empty(); }));
    EXPECT_EQ(Log().Of(WM_COMMAND)[0].wParam, 41u);
}

TEST_F(TrackPopupMenuTest, WithoutAHandlerTheMenuIsDismissed) {
    EXPECT_EQ(TrackPopupMenu(m_menu, TPM_RETURNCMD, 0, 0, 0, m_hwnd, nullptr), 0);
    EXPECT_FALSE(TrackPopupMenu(m_menu, 0, 0, 0, 0, m_hwnd, nullptr));
    MSG msg;
    EXPECT_FALSE(PeekMessageW(&msg, nullptr, WM_COMMAND, WM_COMMAND, PM_REMOVE));
    EXPECT_FALSE(TrackPopupMenu(reinterpret_cast<HMENU>(0x1234), 0, 0, 0, 0, m_hwnd, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_MENU_HANDLE);
}

}  // namespace
