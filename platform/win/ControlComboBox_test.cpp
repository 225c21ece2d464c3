#include <gtest/gtest.h>

#include "platform/win/DialogTestSupport.h"

namespace {

using namespace win::testing;

constexpr int kDropDown = 200;
constexpr int kDropList = 201;
constexpr int kOther = 202;

TemplateWriter ComboDialog() {
    TemplateWriter w(WS_POPUP, 200, 100);
    w.Add(kComboBoxAtom, kDropDown, L"", CBS_DROPDOWN | CBS_SORT | WS_TABSTOP)
        .Add(kComboBoxAtom, kDropList, L"", CBS_DROPDOWNLIST | CBS_SORT | WS_TABSTOP)
        .Add(kEditAtom, kOther, L"", WS_TABSTOP);
    return w;
}

LRESULT Add(HWND combo, const wchar_t* text) {
    return SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
}

std::wstring ItemText(HWND combo, int index) {
    auto len = SendMessageW(combo, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
    if (len < 0)
        return L"<err>";
    std::wstring text(static_cast<std::size_t>(len) + 1, L'\0');
    SendMessageW(combo, CB_GETLBTEXT, static_cast<WPARAM>(index),
                 reinterpret_cast<LPARAM>(text.data()));
    text.resize(static_cast<std::size_t>(len));
    return text;
}

TEST(ComboBoxTest, SortedItemsFindExactIgnoringCaseAndWholeText) {
    DialogRecorder r;
    TestDialog d(ComboDialog(), r);
    HWND combo = d.Item(kDropDown);
    for (const wchar_t* t : {L"work", L"Private", L"holiday", L"Work-Old"})
        Add(combo, t);
    EXPECT_EQ(ItemText(combo, 0), L"holiday");
    EXPECT_EQ(ItemText(combo, 1), L"Private");
    EXPECT_EQ(ItemText(combo, 2), L"work");
    EXPECT_EQ(ItemText(combo, 3), L"Work-Old");
    EXPECT_EQ(SendMessageW(combo, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                           reinterpret_cast<LPARAM>(L"WORK")),
              2);
    EXPECT_EQ(SendMessageW(combo, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                           reinterpret_cast<LPARAM>(L"Wor")),
              CB_ERR);
    EXPECT_EQ(SendMessageW(combo, CB_FINDSTRING, 2, reinterpret_cast<LPARAM>(L"WORK")), 3);
    EXPECT_EQ(SendMessageW(combo, CB_GETLBTEXTLEN, 9, 0), CB_ERR);
}

TEST(ComboBoxTest, SelectStringStartsAfterTheGivenIndexAndWrapsRound) {
    DialogRecorder r;
    TestDialog d(ComboDialog(), r);
    HWND combo = d.Item(kDropList);
    // The first entry begins with the searched name too: a search from
    // index 0 takes the next match and wraps to entry 0 only when none.
    for (const wchar_t* t : {L"Mail", L"Mail Work", L"Other"})
        Add(combo, t);
    EXPECT_EQ(SendMessageW(combo, CB_SELECTSTRING, 0, reinterpret_cast<LPARAM>(L"mail")), 1);
    EXPECT_EQ(TextOf(combo), L"Mail Work");
    EXPECT_EQ(SendMessageW(combo, CB_SELECTSTRING, 1, reinterpret_cast<LPARAM>(L"mail")), 0);
    EXPECT_EQ(SendMessageW(combo, CB_SELECTSTRING, static_cast<WPARAM>(-1),
                           reinterpret_cast<LPARAM>(L"nothing")),
              CB_ERR);
    EXPECT_EQ(SendMessageW(combo, CB_GETCURSEL, 0, 0), 0);  // unchanged by a failed search
}

TEST(ComboBoxTest, DropDownListShowsItsSelectedItemAndRefusesText) {
    DialogRecorder r;
    TestDialog d(ComboDialog(), r);
    HWND combo = d.Item(kDropList);
    Add(combo, L"Standardaccount");
    EXPECT_EQ(TextOf(combo), L"");
    EXPECT_EQ(SendMessageW(combo, CB_SETCURSEL, 0, 0), 0);
    EXPECT_EQ(TextOf(combo), L"Standardaccount");
    EXPECT_EQ(SendMessageW(combo, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"x")), CB_ERR);
    EXPECT_EQ(SendMessageW(combo, CB_SETEDITSEL, 0, MAKELPARAM(0, 1)), CB_ERR);
    EXPECT_EQ(SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(-1), 0), CB_ERR);
    EXPECT_EQ(TextOf(combo), L"");
}

TEST(ComboBoxTest, SelectionAndDataSurviveInsertsAndDeletes) {
    DialogRecorder r;
    TestDialog d(ComboDialog(), r);
    HWND combo = d.Item(kDropDown);
    Add(combo, L"m");
    SendMessageW(combo, CB_SETITEMDATA, 0, 77);
    SendMessageW(combo, CB_SETCURSEL, 0, 0);
    EXPECT_EQ(TextOf(combo), L"m");
    Add(combo, L"a");
    EXPECT_EQ(SendMessageW(combo, CB_GETCURSEL, 0, 0), 1);
    EXPECT_EQ(SendMessageW(combo, CB_GETITEMDATA, 1, 0), 77);
    EXPECT_EQ(SendMessageW(combo, CB_INSERTSTRING, static_cast<WPARAM>(-1),
                           reinterpret_cast<LPARAM>(L"0-last")),
              2);  // not sorted in
    EXPECT_EQ(SendMessageW(combo, CB_DELETESTRING, 1, 0), 2);
    EXPECT_EQ(SendMessageW(combo, CB_GETCURSEL, 0, 0), CB_ERR);
    EXPECT_EQ(SendMessageW(combo, CB_GETCOUNT, 0, 0), 2);
    SendMessageW(combo, CB_RESETCONTENT, 0, 0);
    EXPECT_EQ(SendMessageW(combo, CB_GETCOUNT, 0, 0), 0);
    EXPECT_EQ(TextOf(combo), L"");
}

TEST(ComboBoxTest, ChoosingFromTheListNotifiesWhileTheEditStillShowsTheOldText) {
    DialogRecorder r;
    TestDialog d(ComboDialog(), r);
    HWND combo = d.Item(kDropDown);
    Add(combo, L"anna@x.org");
    Add(combo, L"bob@y.net");
    SetFocus(d.Item(kOther));
    SetWindowTextW(combo, L"typed");
    r.heard.clear();
    ASSERT_TRUE(win::SelectComboItem(combo, 1));
    std::vector<UINT> expected{CBN_SETFOCUS, CBN_DROPDOWN, CBN_SELCHANGE, CBN_SELENDOK,
                               CBN_CLOSEUP};
    EXPECT_EQ(r.CodesOf(kDropDown), expected);
    for (const auto& h : r.heard) {
        if (h.id == kDropDown && h.code == CBN_SELCHANGE) {
            EXPECT_EQ(h.text, L"typed");
        }
    }
    EXPECT_EQ(TextOf(combo), L"bob@y.net");
    EXPECT_EQ(SendMessageW(combo, CB_GETCURSEL, 0, 0), 1);
    EXPECT_EQ(SendMessageW(combo, CB_GETDROPPEDSTATE, 0, 0), FALSE);

    r.heard.clear();
    SendMessageW(combo, CB_SHOWDROPDOWN, TRUE, 0);
    EXPECT_EQ(SendMessageW(combo, CB_GETDROPPEDSTATE, 0, 0), TRUE);
    ASSERT_TRUE(win::CancelComboDropDown(combo));
    EXPECT_EQ(r.CodesOf(kDropDown),
              (std::vector<UINT>{CBN_DROPDOWN, CBN_SELENDCANCEL, CBN_CLOSEUP}));
    SetFocus(d.Item(kOther));
    EXPECT_EQ(r.CodesOf(kDropDown).back(), CBN_KILLFOCUS);
}

TEST(ComboBoxTest, TypingSendsEditUpdateThenEditChangePerCharacter) {
    DialogRecorder r;
    TestDialog d(ComboDialog(), r);
    HWND combo = d.Item(kDropDown);
    SetFocus(combo);
    r.heard.clear();
    ASSERT_TRUE(win::TypeText(combo, L"ab"));
    EXPECT_EQ(r.CodesOf(kDropDown),
              (std::vector<UINT>{CBN_EDITUPDATE, CBN_EDITCHANGE, CBN_EDITUPDATE, CBN_EDITCHANGE}));
    EXPECT_EQ(TextOf(combo), L"ab");
    DWORD start = 9, end = 9;
    SendMessageW(combo, CB_GETEDITSEL, reinterpret_cast<WPARAM>(&start),
                 reinterpret_cast<LPARAM>(&end));
    EXPECT_EQ(start, 2u);
    EXPECT_EQ(end, 2u);
    // The selection is replaced by the next character; the limit holds.
    SendMessageW(combo, CB_SETEDITSEL, 0, MAKELPARAM(0, 1));
    win::TypeText(combo, L"X");
    EXPECT_EQ(TextOf(combo), L"Xb");
    SendMessageW(combo, CB_LIMITTEXT, 3, 0);
    SendMessageW(combo, CB_SETEDITSEL, 0, MAKELPARAM(static_cast<WORD>(-1), 0));
    SendMessageW(combo, CB_SETEDITSEL, 0, MAKELPARAM(2, 2));
    win::TypeText(combo, L"cdef");
    EXPECT_EQ(TextOf(combo), L"Xbc");
    win::TypeText(combo, L"\b");
    EXPECT_EQ(TextOf(combo), L"Xb");
    // Programmatic text sends nothing.
    r.heard.clear();
    SetWindowTextW(combo, L"set");
    EXPECT_TRUE(r.CodesOf(kDropDown).empty());
}

// A type-ahead handler as the pages' own combo box does it: on
// CBN_EDITUPDATE select the first entry that begins with the typed text and
// select the completed tail.
INT_PTR TypeAheadProc(HWND dialog, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg != WM_COMMAND || HIWORD(wParam) != CBN_EDITUPDATE)
        return FALSE;
    auto combo = reinterpret_cast<HWND>(lParam);
    std::wstring typed = TextOf(combo);
    DWORD start = 0, end = 0;
    bool valid = SendMessageW(combo, CB_GETEDITSEL, reinterpret_cast<WPARAM>(&start),
                              reinterpret_cast<LPARAM>(&end)) != CB_ERR;
    if (SendMessageW(combo, CB_SELECTSTRING, static_cast<WPARAM>(-1),
                     reinterpret_cast<LPARAM>(typed.c_str())) == CB_ERR) {
        SetWindowTextW(combo, typed.c_str());
        if (valid)
            SendMessageW(combo, CB_SETEDITSEL, 0, MAKELPARAM(start, end));
    }
    auto n = static_cast<WORD>(typed.size());
    if (valid && end < n)
        SendMessageW(combo, CB_SETEDITSEL, 0, MAKELPARAM(start, end));
    else
        SendMessageW(combo, CB_SETEDITSEL, 0, MAKELPARAM(n, static_cast<WORD>(-1)));
    return TRUE;
}

TEST(ComboBoxTest, TypeAheadOnEditUpdateCompletesFromTheListInListOrder) {
    TemplateWriter w(WS_POPUP, 200, 100);
    w.Add(kComboBoxAtom, kDropDown, L"", CBS_DROPDOWN | WS_TABSTOP);
    auto bytes = w.Bytes();
    HWND d = CreateDialogIndirectParamW(nullptr, reinterpret_cast<LPCDLGTEMPLATEW>(bytes.data()),
                                        nullptr, TypeAheadProc, 0);
    ASSERT_NE(d, nullptr);
    HWND combo = GetDlgItem(d, kDropDown);
    Add(combo, L"Abel");
    Add(combo, L"abc");
    ASSERT_TRUE(win::TypeText(combo, L"ab"));
    EXPECT_EQ(TextOf(combo), L"Abel");
    DWORD start = 0, end = 0;
    SendMessageW(combo, CB_GETEDITSEL, reinterpret_cast<WPARAM>(&start),
                 reinterpret_cast<LPARAM>(&end));
    EXPECT_EQ(start, 2u);
    EXPECT_EQ(end, 4u);
    // The next key replaces the completed tail; no entry begins with "Abx".
    ASSERT_TRUE(win::TypeText(combo, L"x"));
    EXPECT_EQ(TextOf(combo), L"Abx");
    DestroyWindow(d);
}

TEST(ComboBoxTest, DisabledComboTakesNoTypingOrChoice) {
    DialogRecorder r;
    TestDialog d(ComboDialog(), r);
    HWND combo = d.Item(kDropDown);
    Add(combo, L"a");
    EnableWindow(combo, FALSE);
    r.heard.clear();
    EXPECT_FALSE(win::TypeText(combo, L"x"));
    EXPECT_FALSE(win::SelectComboItem(combo, 0));
    EXPECT_TRUE(r.heard.empty());
    EXPECT_EQ(TextOf(combo), L"");
}

}  // namespace
