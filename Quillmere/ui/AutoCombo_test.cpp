#include "Quillmere/ui/AutoCombo.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/win/Controls.h"
#include "platform/win/Dialog.h"
#include "platform/win/DialogTestSupport.h"
#include "platform/win/Keys.h"
#include "platform/win/UserInput.h"

namespace {

using win::testing::TemplateWriter;
using win::testing::TextOf;

constexpr int kComboId = 100;

// A page that reflects its combo box's notifications back to it, as a page
// that wants type-ahead must.
INT_PTR ReflectingProc(HWND dialog, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_INITDIALOG)
        return TRUE;
    if (msg == WM_COMMAND && LOWORD(wParam) == kComboId && lParam) {
        LRESULT answer = SendMessageW(reinterpret_cast<HWND>(lParam), OCM_COMMAND, wParam, lParam);
        SetWindowLongPtrW(dialog, DWLP_MSGRESULT, answer);
        return TRUE;
    }
    return FALSE;
}

class AutoComboTest : public ::testing::Test {
protected:
    void SetUp() override {
        TemplateWriter writer(WS_POPUP | WS_CAPTION, 200, 100);
        writer.Add(0x85, kComboId, L"", CBS_DROPDOWN | CBS_AUTOHSCROLL | WS_TABSTOP, 5, 5, 150, 80);
        m_bytes = writer.Bytes();
        m_dialog = CreateDialogIndirectParamW(
            nullptr, reinterpret_cast<LPCDLGTEMPLATEW>(m_bytes.data()), nullptr, ReflectingProc, 0);
        ASSERT_NE(m_dialog, nullptr);
        m_combo = GetDlgItem(m_dialog, kComboId);
        ASSERT_NE(m_combo, nullptr);
        for (const wchar_t* entry : {L"Abel", L"abc", L"Zora"})
            SendMessageW(m_combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(entry));
        ASSERT_TRUE(m_auto.SubclassWindow(m_combo));
    }
    void TearDown() override {
        m_auto.UnsubclassWindow();
        DestroyWindow(m_dialog);
    }

    std::pair<int, int> Selection() {
        DWORD start = 0, end = 0;
        SendMessageW(m_combo, CB_GETEDITSEL, reinterpret_cast<WPARAM>(&start),
                     reinterpret_cast<LPARAM>(&end));
        return {static_cast<int>(start), static_cast<int>(end)};
    }
    void KeyDown(WORD key) {
        MSG msg{};
        msg.hwnd = m_combo;
        msg.message = WM_KEYDOWN;
        msg.wParam = key;
        EXPECT_FALSE(m_auto.PreTranslateMessage(&msg));
    }

    std::vector<std::uint8_t> m_bytes;
    HWND m_dialog = nullptr;
    HWND m_combo = nullptr;
    ui::CAutoCombo m_auto;
};

struct TypingCase {
    const wchar_t* typed;
    const wchar_t* shown;
    int selStart;
    int selEnd;
};

TEST_F(AutoComboTest, TypingCompletesFromTheFirstEntryInListOrder) {
    const TypingCase cases[] = {
        {L"a", L"Abel", 1, 4},                           // first entry, case ignored
        {L"ab", L"Abel", 2, 4},                          // Abel comes before abc in the list
        {L"abc", L"abc", 3, 3},                          // only abc begins with abc
        {L"ZO", L"Zora", 2, 4}, {L"abx", L"Abx", 3, 3},  // no entry: typed text and caret stay
        {L"q", L"q", 1, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "typed " << std::string(c.typed, c.typed + wcslen(c.typed)));
        SetWindowTextW(m_combo, L"");
        SendMessageW(m_combo, CB_SETEDITSEL, 0, MAKELPARAM(0, 0));
        for (const wchar_t* p = c.typed; *p; ++p)
            KeyDown(static_cast<WORD>(towupper(*p)));
        ASSERT_TRUE(win::TypeText(m_combo, c.typed));
        EXPECT_EQ(TextOf(m_combo), c.shown);
        EXPECT_EQ(Selection(), std::make_pair(c.selStart, c.selEnd));
    }
}

TEST_F(AutoComboTest, BackspaceAndDeleteDisarmUntilAnotherKey) {
    for (WORD key : {VK_BACK, VK_DELETE}) {
        SetWindowTextW(m_combo, L"");
        KeyDown('A');
        ASSERT_TRUE(win::TypeText(m_combo, L"a"));
        ASSERT_EQ(TextOf(m_combo), L"Abel");
        KeyDown(key);
        EXPECT_FALSE(m_auto.IsArmed());
        // Removing the completed tail leaves the typed letter alone.
        ASSERT_TRUE(win::TypeText(m_combo, L"\b"));
        EXPECT_EQ(TextOf(m_combo), L"A");
        // Still disarmed: typing on is not completed.
        ASSERT_TRUE(win::TypeText(m_combo, L"b"));
        EXPECT_EQ(TextOf(m_combo), L"Ab");
        EXPECT_EQ(Selection(), std::make_pair(2, 2));
        // Any other key arms it again.
        KeyDown('E');
        EXPECT_TRUE(m_auto.IsArmed());
        ASSERT_TRUE(win::TypeText(m_combo, L"e"));
        EXPECT_EQ(TextOf(m_combo), L"Abel");
        EXPECT_EQ(Selection(), std::make_pair(3, 4));
    }
}

TEST_F(AutoComboTest, CaretInsideTheTypedTextStaysWhereItIs) {
    SetWindowTextW(m_combo, L"Ael");
    SendMessageW(m_combo, CB_SETEDITSEL, 0, MAKELPARAM(1, 1));
    ASSERT_TRUE(win::TypeText(m_combo, L"b"));
    EXPECT_EQ(TextOf(m_combo), L"Abel");
    EXPECT_EQ(Selection(), std::make_pair(2, 2));

    SetWindowTextW(m_combo, L"Aql");
    SendMessageW(m_combo, CB_SETEDITSEL, 0, MAKELPARAM(1, 1));
    ASSERT_TRUE(win::TypeText(m_combo, L"x"));
    EXPECT_EQ(TextOf(m_combo), L"Axql");
    EXPECT_EQ(Selection(), std::make_pair(2, 2));
}

TEST_F(AutoComboTest, OnlyReflectedMessagesAreHandled) {
    LRESULT result = 99;
    EXPECT_TRUE(m_auto.ProcessWindowMessage(m_combo, OCM_COMMAND,
                                            MAKEWPARAM(kComboId, CBN_SELCHANGE),
                                            reinterpret_cast<LPARAM>(m_combo), result));
    EXPECT_FALSE(m_auto.ProcessWindowMessage(m_combo, WM_COMMAND,
                                             MAKEWPARAM(kComboId, CBN_EDITUPDATE),
                                             reinterpret_cast<LPARAM>(m_combo), result));
    EXPECT_FALSE(m_auto.ProcessWindowMessage(m_combo, WM_KEYDOWN, VK_BACK, 0, result));
    // Other messages than key-downs leave the armed state alone.
    MSG msg{};
    msg.message = WM_CHAR;
    msg.wParam = VK_BACK;
    EXPECT_FALSE(m_auto.PreTranslateMessage(&msg));
    EXPECT_TRUE(m_auto.IsArmed());
}

TEST_F(AutoComboTest, WithoutReflectionTheComboBoxIsPlain) {
    m_auto.UnsubclassWindow();
    ASSERT_TRUE(win::TypeText(m_combo, L"ab"));
    EXPECT_EQ(TextOf(m_combo), L"ab");
}

}  // namespace
