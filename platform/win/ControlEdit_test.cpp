#include <gtest/gtest.h>

#include "platform/win/DialogTestSupport.h"

namespace {

using namespace win::testing;

constexpr int kField = 300;
constexpr int kMulti = 301;
constexpr int kPassword = 302;
constexpr int kReadOnly = 303;
constexpr int kNumber = 304;

TemplateWriter EditDialog() {
    TemplateWriter w(WS_POPUP, 200, 200);
    w.Add(kEditAtom, kField, L"", ES_AUTOHSCROLL | WS_TABSTOP)
        .Add(kEditAtom, kMulti, L"", ES_MULTILINE | ES_AUTOVSCROLL | WS_VSCROLL, 0, 0, 100, 40)
        .Add(kEditAtom, kPassword, L"", ES_PASSWORD)
        .Add(kEditAtom, kReadOnly, L"fixed", ES_READONLY)
        .Add(kEditAtom, kNumber, L"", ES_NUMBER);
    return w;
}

DWORD Sel(HWND edit, DWORD* end) {
    DWORD start = 0;
    SendMessageW(edit, EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(end));
    return start;
}

TEST(EditTest, TypingSendsUpdateThenChangePerCharacterAndSetTextOnlyForSingleLine) {
    DialogRecorder r;
    TestDialog d(EditDialog(), r);
    HWND field = d.Item(kField);
    SetFocus(d.Item(kMulti));
    r.heard.clear();
    ASSERT_TRUE(win::TypeText(field, L"ab"));
    EXPECT_EQ(r.CodesOf(kField),
              (std::vector<UINT>{EN_SETFOCUS, EN_UPDATE, EN_CHANGE, EN_UPDATE, EN_CHANGE}));
    EXPECT_EQ(TextOf(field), L"ab");
    EXPECT_EQ(SendMessageW(field, EM_GETMODIFY, 0, 0), TRUE);
    r.heard.clear();
    SetWindowTextW(field, L"share_sync");
    EXPECT_EQ(r.CodesOf(kField), (std::vector<UINT>{EN_UPDATE, EN_CHANGE}));
    EXPECT_EQ(SendMessageW(field, EM_GETMODIFY, 0, 0), FALSE);
    r.heard.clear();
    SetWindowTextW(d.Item(kMulti), L"log");
    EXPECT_TRUE(r.CodesOf(kMulti).empty());
}

TEST(EditTest, SelectionReplaceAndClearFollowThePlatformsRules) {
    DialogRecorder r;
    TestDialog d(EditDialog(), r);
    HWND field = d.Item(kField);
    SetWindowTextW(field, L"hello world");
    struct Case {
        int start, end;
        DWORD wantStart, wantEnd;
    } cases[] = {
        {0, -1, 0, 11},  // all
        {6, 2, 2, 6},    // swapped
        {3, 99, 3, 11},  // clamped
        {4, 4, 4, 4},    // caret only
    };
    for (const auto& c : cases) {
        SendMessageW(field, EM_SETSEL, static_cast<WPARAM>(c.start), c.end);
        DWORD end = 0;
        EXPECT_EQ(Sel(field, &end), c.wantStart);
        EXPECT_EQ(end, c.wantEnd);
    }
    SendMessageW(field, EM_SETSEL, 6, 11);
    SendMessageW(field, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(L"there"));
    EXPECT_EQ(TextOf(field), L"hello there");
    DWORD end = 0;
    EXPECT_EQ(Sel(field, &end), 11u);
    EXPECT_EQ(end, 11u);
    SendMessageW(field, EM_SETSEL, 0, -1);
    SendMessageW(field, WM_CLEAR, 0, 0);
    EXPECT_EQ(TextOf(field), L"");
}

TEST(EditTest, LimitStopsTypingAndReplaceButNotSetText) {
    DialogRecorder r;
    TestDialog d(EditDialog(), r);
    HWND field = d.Item(kField);
    EXPECT_EQ(SendMessageW(field, EM_GETLIMITTEXT, 0, 0), 32767);
    SendMessageW(field, EM_LIMITTEXT, 4, 0);
    r.heard.clear();
    win::TypeText(field, L"abcdef");
    EXPECT_EQ(TextOf(field), L"abcd");
    EXPECT_EQ(r.CodesOf(kField).back(), EN_MAXTEXT);
    SendMessageW(field, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(L"xyz"));
    EXPECT_EQ(TextOf(field), L"abcd");
    SetWindowTextW(field, L"longer than four");
    EXPECT_EQ(TextOf(field), L"longer than four");
    SendMessageW(field, EM_LIMITTEXT, 0, 0);
    EXPECT_EQ(static_cast<DWORD>(SendMessageW(field, EM_GETLIMITTEXT, 0, 0)), 0x7FFFFFFEu);
}

TEST(EditTest, ReadOnlyPasswordAndNumberFields) {
    DialogRecorder r;
    TestDialog d(EditDialog(), r);
    EXPECT_TRUE(win::TypeText(d.Item(kReadOnly), L"x"));  // takes the focus, not the text
    EXPECT_EQ(TextOf(d.Item(kReadOnly)), L"fixed");
    SendMessageW(d.Item(kReadOnly), EM_SETREADONLY, FALSE, 0);
    win::TypeText(d.Item(kReadOnly), L"!");
    EXPECT_EQ(TextOf(d.Item(kReadOnly)), L"!fixed");

    HWND password = d.Item(kPassword);
    EXPECT_EQ(SendMessageW(password, EM_GETPASSWORDCHAR, 0, 0), L'*');
    win::TypeText(password, L"s3cret");
    EXPECT_EQ(TextOf(password), L"s3cret");  // the program reads the real text
    SendMessageW(password, EM_SETPASSWORDCHAR, 0, 0);
    EXPECT_EQ(GetWindowLongPtrW(password, GWL_STYLE) & ES_PASSWORD, 0);

    win::TypeText(d.Item(kNumber), L"1a2");
    EXPECT_EQ(TextOf(d.Item(kNumber)), L"12");
}

TEST(EditTest, MultiLineCountsLinesAndScrollsTheCaretIntoView) {
    DialogRecorder r;
    TestDialog d(EditDialog(), r);
    HWND log = d.Item(kMulti);
    EXPECT_EQ(SendMessageW(log, EM_GETLINECOUNT, 0, 0), 1);
    struct Case {
        const wchar_t* text;
        LRESULT lines;
    } cases[] = {{L"a", 1}, {L"a\r\nb", 2}, {L"a\nb\n", 3}, {L"a\r\n\r\n", 3}, {L"a\rb", 2}};
    for (const auto& c : cases) {
        SetWindowTextW(log, c.text);
        EXPECT_EQ(SendMessageW(log, EM_GETLINECOUNT, 0, 0), c.lines) << c.lines;
    }
    SendMessageW(log, EM_LIMITTEXT, 0xA00000, 0);
    SetWindowTextW(log, L"");
    for (int i = 0; i < 50; ++i) {
        int len = GetWindowTextLengthW(log);
        SendMessageW(log, EM_SETSEL, static_cast<WPARAM>(len), len);
        SendMessageW(log, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(L"line\n"));
    }
    EXPECT_EQ(SendMessageW(log, EM_GETLINECOUNT, 0, 0), 51);
    EXPECT_EQ(SendMessageW(log, EM_GETFIRSTVISIBLELINE, 0, 0), 0);
    SendMessageW(log, EM_SCROLLCARET, 0, 0);
    EXPECT_GT(SendMessageW(log, EM_GETFIRSTVISIBLELINE, 0, 0), 40);
    EXPECT_EQ(SendMessageW(log, EM_LINEINDEX, 2, 0), 10);
    EXPECT_EQ(SendMessageW(log, EM_LINELENGTH, 10, 0), 4);
    // A single-line field keeps the first line of what it is given.
    SendMessageW(d.Item(kField), EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(L"one\r\ntwo"));
    EXPECT_EQ(TextOf(d.Item(kField)), L"one");
}

TEST(EditTest, FirstVisibleLineFollowsTheCaretAndTheUsersScrolling) {
    DialogRecorder r;
    TestDialog d(EditDialog(), r);
    HWND log = d.Item(kMulti);
    RECT rc{};
    GetClientRect(log, &rc);
    const int visible = (rc.bottom - rc.top) / 13;
    ASSERT_GT(visible, 1);
    std::wstring text;
    for (int i = 0; i < 3 * visible; ++i)
        text += L"line\r\n";
    SetWindowTextW(log, text.c_str());
    EXPECT_EQ(SendMessageW(log, EM_GETLINECOUNT, 0, 0), 3 * visible + 1);
    EXPECT_EQ(SendMessageW(log, EM_GETFIRSTVISIBLELINE, 0, 0), 0);
    SendMessageW(log, EM_SETSEL, text.size(), static_cast<LPARAM>(text.size()));
    SendMessageW(log, EM_SCROLLCARET, 0, 0);
    // The caret's line (the empty last one) is the last visible line.
    EXPECT_EQ(SendMessageW(log, EM_GETFIRSTVISIBLELINE, 0, 0), 3 * visible - visible + 1);
    SendMessageW(log, EM_LINESCROLL, 0, -visible);
    EXPECT_EQ(SendMessageW(log, EM_GETFIRSTVISIBLELINE, 0, 0), 2 * visible - visible + 1);
    SendMessageW(log, EM_LINESCROLL, 0, -10 * visible);
    EXPECT_EQ(SendMessageW(log, EM_GETFIRSTVISIBLELINE, 0, 0), 0);
}

TEST(EditTest, CharacterMessagesTypeLikeTheUser) {
    DialogRecorder r;
    TestDialog d(EditDialog(), r);
    HWND field = d.Item(kField);
    SendMessageW(field, WM_CHAR, L'q', 0);
    EXPECT_EQ(TextOf(field), L"q");
    EXPECT_EQ(r.CodesOf(kField).back(), EN_CHANGE);
    EnableWindow(field, FALSE);
    SendMessageW(field, WM_CHAR, L'z', 0);
    EXPECT_EQ(TextOf(field), L"q");
}

TEST(EditTest, DisabledFieldOrDisabledDialogTakesNoTyping) {
    DialogRecorder r;
    TestDialog d(EditDialog(), r);
    EnableWindow(d.Item(kField), FALSE);
    EXPECT_FALSE(win::TypeText(d.Item(kField), L"x"));
    EnableWindow(d.Item(kField), TRUE);
    EnableWindow(d.hwnd(), FALSE);
    EXPECT_FALSE(win::TypeText(d.Item(kField), L"x"));
    EXPECT_EQ(TextOf(d.Item(kField)), L"");
}

}  // namespace
