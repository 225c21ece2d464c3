#include <gtest/gtest.h>

#include "platform/win/DialogTestSupport.h"

namespace {

using namespace win::testing;

constexpr int kList = 100;
constexpr int kMulti = 101;
constexpr int kOther = 102;

TemplateWriter ListDialog() {
    TemplateWriter w(WS_POPUP, 200, 100);
    w.Add(kListBoxAtom, kList, L"", LBS_SORT | LBS_NOTIFY | WS_TABSTOP)
        .Add(kListBoxAtom, kMulti, L"", LBS_MULTIPLESEL | LBS_NOTIFY | WS_TABSTOP)
        .Add(kEditAtom, kOther, L"", WS_TABSTOP);
    return w;
}

std::vector<std::wstring> Items(HWND list) {
    std::vector<std::wstring> out;
    auto n = static_cast<int>(SendMessageW(list, LB_GETCOUNT, 0, 0));
    for (int i = 0; i < n; ++i) {
        auto len = SendMessageW(list, LB_GETTEXTLEN, static_cast<WPARAM>(i), 0);
        std::wstring text(static_cast<std::size_t>(len) + 1, L'\0');
        SendMessageW(list, LB_GETTEXT, static_cast<WPARAM>(i),
                     reinterpret_cast<LPARAM>(text.data()));
        text.resize(static_cast<std::size_t>(len));
        out.push_back(text);
    }
    return out;
}

LRESULT Add(HWND list, const wchar_t* text) {
    return SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
}

TEST(ListBoxTest, SortedListOrdersIgnoringCaseAndKeepsEqualTextsInArrivalOrder) {
    DialogRecorder r;
    TestDialog d(ListDialog(), r);
    HWND list = d.Item(kList);
    EXPECT_EQ(Add(list, L"delta"), 0);
    EXPECT_EQ(Add(list, L"Bravo"), 0);
    EXPECT_EQ(Add(list, L"alpha"), 0);
    EXPECT_EQ(Add(list, L"charlie"), 2);
    EXPECT_EQ(Add(list, L"ALPHA"), 1);  // equal ignoring case: after the first
    EXPECT_EQ(Items(list),
              (std::vector<std::wstring>{L"alpha", L"ALPHA", L"Bravo", L"charlie", L"delta"}));
    // LB_INSERTSTRING does not sort.
    EXPECT_EQ(SendMessageW(list, LB_INSERTSTRING, 0, reinterpret_cast<LPARAM>(L"zulu")), 0);
    EXPECT_EQ(Items(list)[0], L"zulu");
    EXPECT_EQ(SendMessageW(list, LB_INSERTSTRING, 99, reinterpret_cast<LPARAM>(L"x")), LB_ERR);
}

TEST(ListBoxTest, FindsWholeTextsAndPrefixesIgnoringCaseFromAfterTheStartIndex) {
    DialogRecorder r;
    TestDialog d(ListDialog(), r);
    HWND list = d.Item(kList);
    for (const wchar_t* t : {L"anna@x.org", L"Anna@x.org.uk", L"bob@y.net"})
        Add(list, t);
    struct Case {
        UINT msg;
        int start;
        const wchar_t* text;
        LRESULT expected;
    } cases[] = {
        {LB_FINDSTRINGEXACT, -1, L"ANNA@X.ORG", 0},
        {LB_FINDSTRINGEXACT, -1, L"anna@x.org.uk", 1},
        {LB_FINDSTRINGEXACT, -1, L"anna@x", LB_ERR},  // a prefix is not the whole text
        {LB_FINDSTRINGEXACT, 0, L"anna@x.org", 0},    // wraps round to the start item
        {LB_FINDSTRING, -1, L"ANNA", 0},
        {LB_FINDSTRING, 0, L"anna", 1},  // searching begins after the start
        {LB_FINDSTRING, 1, L"anna", 0},  // and wraps
        {LB_FINDSTRING, -1, L"bob@y.net.", LB_ERR},
        {LB_FINDSTRING, 7, L"bob", 2},  // a start past the end searches all
    };
    for (const auto& c : cases)
        EXPECT_EQ(SendMessageW(list, c.msg, static_cast<WPARAM>(c.start),
                               reinterpret_cast<LPARAM>(c.text)),
                  c.expected)
            << c.text << " from " << c.start;
}

TEST(ListBoxTest, SelectionAndItemDataStayWithTheirItemAcrossInsertsAndDeletes) {
    DialogRecorder r;
    TestDialog d(ListDialog(), r);
    HWND list = d.Item(kList);
    for (const wchar_t* t : {L"b", L"d", L"f"})
        Add(list, t);
    for (int i = 0; i < 3; ++i)
        SendMessageW(list, LB_SETITEMDATA, static_cast<WPARAM>(i), 1000 + i);
    EXPECT_EQ(SendMessageW(list, LB_SETCURSEL, 1, 0), 1);  // "d"
    Add(list, L"a");                                       // before the selection
    EXPECT_EQ(SendMessageW(list, LB_GETCURSEL, 0, 0), 2);
    EXPECT_EQ(SendMessageW(list, LB_GETITEMDATA, 2, 0), 1001);
    EXPECT_EQ(SendMessageW(list, LB_GETITEMDATA, 0, 0), 0);   // the new item has none
    EXPECT_EQ(SendMessageW(list, LB_DELETESTRING, 0, 0), 3);  // returns the count left
    EXPECT_EQ(SendMessageW(list, LB_GETCURSEL, 0, 0), 1);
    EXPECT_EQ(SendMessageW(list, LB_GETITEMDATA, 2, 0), 1002);
    EXPECT_EQ(SendMessageW(list, LB_DELETESTRING, 1, 0), 2);  // the selected item
    EXPECT_EQ(SendMessageW(list, LB_GETCURSEL, 0, 0), LB_ERR);
    EXPECT_EQ(SendMessageW(list, LB_GETITEMDATA, 5, 0), LB_ERR);
    EXPECT_EQ(SendMessageW(list, LB_DELETESTRING, 5, 0), LB_ERR);
    // LB_SETCURSEL -1 clears the selection and answers LB_ERR.
    SendMessageW(list, LB_SETCURSEL, 0, 0);
    EXPECT_EQ(SendMessageW(list, LB_SETCURSEL, static_cast<WPARAM>(-1), 0), LB_ERR);
    EXPECT_EQ(SendMessageW(list, LB_GETCURSEL, 0, 0), LB_ERR);
    SendMessageW(list, LB_RESETCONTENT, 0, 0);
    EXPECT_EQ(SendMessageW(list, LB_GETCOUNT, 0, 0), 0);
}

TEST(ListBoxTest, ProgrammaticSelectionIsSilentButAClickNotifiesInPlatformOrder) {
    DialogRecorder r;
    TestDialog d(ListDialog(), r);
    HWND list = d.Item(kList);
    for (const wchar_t* t : {L"one", L"two"})
        Add(list, t);
    SetFocus(d.Item(kOther));
    r.heard.clear();
    SendMessageW(list, LB_SETCURSEL, 0, 0);
    EXPECT_TRUE(r.CodesOf(kList).empty());

    ASSERT_TRUE(win::SelectListItem(list, 1, /*doubleClick=*/true));
    EXPECT_EQ(r.CodesOf(kList), (std::vector<UINT>{LBN_SETFOCUS, LBN_SELCHANGE, LBN_DBLCLK}));
    EXPECT_EQ(r.CodesOf(kOther), (std::vector<UINT>{EN_KILLFOCUS}));
    EXPECT_EQ(SendMessageW(list, LB_GETCURSEL, 0, 0), 1);

    r.heard.clear();
    ASSERT_TRUE(win::SelectListItem(list, 1));  // the same item: no change
    EXPECT_TRUE(r.CodesOf(kList).empty());
    ASSERT_TRUE(win::CancelListSelection(list));
    EXPECT_EQ(r.CodesOf(kList), (std::vector<UINT>{LBN_SELCANCEL}));
    EXPECT_EQ(SendMessageW(list, LB_GETCURSEL, 0, 0), LB_ERR);
    SetFocus(d.Item(kOther));
    EXPECT_EQ(r.CodesOf(kList).back(), LBN_KILLFOCUS);
    EXPECT_FALSE(win::SelectListItem(list, 7));
}

TEST(ListBoxTest, MultiSelectionKeepsOneFlagPerItem) {
    DialogRecorder r;
    TestDialog d(ListDialog(), r);
    HWND list = d.Item(kMulti);
    for (const wchar_t* t : {L"a", L"b", L"c"})
        Add(list, t);
    EXPECT_EQ(SendMessageW(list, LB_SETCURSEL, 0, 0), LB_ERR);  // not for multi-selection
    EXPECT_EQ(SendMessageW(list, LB_SETSEL, TRUE, 2), 0);
    ASSERT_TRUE(win::SelectListItem(list, 0));
    EXPECT_GT(SendMessageW(list, LB_GETSEL, 0, 0), 0);
    EXPECT_EQ(SendMessageW(list, LB_GETSEL, 1, 0), 0);
    EXPECT_GT(SendMessageW(list, LB_GETSEL, 2, 0), 0);
    EXPECT_EQ(SendMessageW(list, LB_GETSELCOUNT, 0, 0), 2);
    int selected[4] = {};
    EXPECT_EQ(SendMessageW(list, LB_GETSELITEMS, 4, reinterpret_cast<LPARAM>(selected)), 2);
    EXPECT_EQ(selected[0], 0);
    EXPECT_EQ(selected[1], 2);
    ASSERT_TRUE(win::SelectListItem(list, 0));  // a second click toggles it off
    EXPECT_EQ(SendMessageW(list, LB_GETSEL, 0, 0), 0);
    SendMessageW(list, LB_SETSEL, FALSE, -1);
    EXPECT_EQ(SendMessageW(list, LB_GETSELCOUNT, 0, 0), 0);
    // Single-selection lists refuse LB_SETSEL.
    EXPECT_EQ(SendMessageW(d.Item(kList), LB_SETSEL, TRUE, 0), LB_ERR);
}

TEST(ListBoxTest, DisabledListTakesNoClick) {
    DialogRecorder r;
    TestDialog d(ListDialog(), r);
    HWND list = d.Item(kList);
    Add(list, L"one");
    EnableWindow(list, FALSE);
    r.heard.clear();
    EXPECT_FALSE(win::SelectListItem(list, 0));
    EXPECT_EQ(SendMessageW(list, LB_GETCURSEL, 0, 0), LB_ERR);
    EXPECT_TRUE(r.heard.empty());
}

}  // namespace
