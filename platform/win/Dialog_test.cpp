#include "platform/win/Dialog.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include "platform/win/DialogTestSupport.h"
#include "platform/win/ImageList.h"
#include "platform/win/Keys.h"
#include "platform/win/Resources.h"
#include "platform/win/WindowTestSupport.h"

namespace {

using namespace win::testing;

const std::string kModulePath = std::string(QM_BINARY_DIR) + "/bin/libQmResourceTestModule.so";
constexpr WORD kQuestionDialog = 123;  // IDD_QUESTION of the test module's script

HMODULE ResourceModule() {
    static HMODULE module = [] {
        void* lib = dlopen(kModulePath.c_str(), RTLD_NOW);
        EXPECT_NE(lib, nullptr) << dlerror();
        Dl_info info{};
        EXPECT_TRUE(dladdr(dlsym(lib, "QmResourceTestModuleMarker"), &info));
        return reinterpret_cast<HMODULE>(info.dli_fbase);
    }();
    return module;
}

class HandlerScope {
public:
    explicit HandlerScope(std::function<void(const win::ModalDialogCall&)> handler) {
        win::ClearModalDialogCalls();
        win::SetModalDialogHandler(std::move(handler));
    }
    ~HandlerScope() { win::SetModalDialogHandler({}); }
};

TEST(DialogTest, TemplateFromCompiledResourcesGivesControlsWithIdsTextsStylesAndPixels) {
    DialogRecorder r;
    CurrentRecorder() = &r;
    HWND d = CreateDialogParamW(ResourceModule(), MAKEINTRESOURCEW(kQuestionDialog), nullptr,
                                RecordingDialogProc, 0);
    ASSERT_NE(d, nullptr) << GetLastError();
    EXPECT_EQ(TextOf(d), L"Question");
    auto style = static_cast<DWORD>(GetWindowLongPtrW(d, GWL_STYLE));
    EXPECT_EQ(style & (WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME),
              WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME);
    HWND yes = GetDlgItem(d, IDOK);
    ASSERT_NE(yes, nullptr);
    EXPECT_EQ(TextOf(yes), L"YES");
    WCHAR cls[32] = {};
    GetClassNameW(yes, cls, 32);
    EXPECT_STREQ(cls, L"Button");
    auto itemStyle = static_cast<DWORD>(GetWindowLongPtrW(yes, GWL_STYLE));
    EXPECT_EQ(itemStyle & BS_TYPEMASK, BS_DEFPUSHBUTTON);
    EXPECT_TRUE(itemStyle & WS_CHILD);
    EXPECT_TRUE(itemStyle & WS_TABSTOP);
    // 8-point font: base units 6 x 13; DEFPUSHBUTTON at 100, 97, 50 x 14.
    RECT dialogRect{}, rc{};
    GetWindowRect(d, &dialogRect);
    GetWindowRect(yes, &rc);
    EXPECT_EQ(rc.left - dialogRect.left, 150);
    EXPECT_EQ(rc.top - dialogRect.top, 157);
    EXPECT_EQ(rc.right - rc.left, 75);
    EXPECT_EQ(rc.bottom - rc.top, 23);
    RECT units{0, 0, 4, 8};
    ASSERT_TRUE(MapDialogRect(d, &units));
    EXPECT_EQ(units.right, 6);
    EXPECT_EQ(units.bottom, 13);
    EXPECT_EQ(r.initCount, 1);
    DestroyWindow(d);
    CurrentRecorder() = nullptr;
    EXPECT_FALSE(MapDialogRect(d, &units));
}

// DialogTest.rc, compiled by qmrc into this test's executable.
constexpr WORD kTestProgressDialog = 1121;
constexpr WORD kTestPageDialog = 131;

bool HasTestTemplates() {
    return FindResourceW(nullptr, MAKEINTRESOURCEW(kTestPageDialog), RT_DIALOG) != nullptr;
}

DWORD StyleOf(HWND hwnd) {
    return static_cast<DWORD>(GetWindowLongPtrW(hwnd, GWL_STYLE));
}

TEST(DialogTest, ExecutablesOwnTemplatesGiveEveryControlKindOfThePages) {
    if (!HasTestTemplates())
        GTEST_SKIP() << "DialogTest.rc is not compiled into this executable";
    win::testing::EnsureClass(L"DialogTestPageOwner", win::testing::LoggingProc);
    HWND owner = CreateWindowExW(0, L"DialogTestPageOwner", L"Options", WS_OVERLAPPEDWINDOW, 0, 0,
                                 600, 600, nullptr, nullptr, nullptr, nullptr);
    DialogRecorder r;
    CurrentRecorder() = &r;
    HWND page = CreateDialogParamW(nullptr, MAKEINTRESOURCEW(kTestPageDialog), owner,
                                   RecordingDialogProc, 0);
    ASSERT_NE(page, nullptr) << GetLastError();
    EXPECT_EQ(GetParent(page), owner);  // WS_CHILD: a child of the owner
    EXPECT_TRUE(GetWindowLongPtrW(page, GWL_EXSTYLE) & WS_EX_CONTROLPARENT);
    struct Expect {
        int id;
        const wchar_t* cls;
        DWORD styleBits;
    } expects[] = {
        {307, L"Static", SS_LEFT},
        {306, L"ComboBox", CBS_DROPDOWNLIST | CBS_SORT | WS_VSCROLL | WS_TABSTOP},
        {308, L"Button", BS_AUTOCHECKBOX | WS_TABSTOP},
        {319, L"SysLink", WS_TABSTOP},
        {314, L"ComboBox", CBS_DROPDOWN | CBS_SORT | CBS_AUTOHSCROLL},
        {315, L"Button", BS_FLAT | WS_DISABLED},
        {317, L"ListBox", LBS_SORT | LBS_NOTIFY | WS_VSCROLL},
        {1222, L"Edit", ES_PASSWORD | ES_AUTOHSCROLL},
    };
    for (const auto& e : expects) {
        HWND item = GetDlgItem(page, e.id);
        ASSERT_NE(item, nullptr) << e.id;
        WCHAR cls[32] = {};
        GetClassNameW(item, cls, 32);
        EXPECT_STREQ(cls, e.cls) << e.id;
        EXPECT_EQ(StyleOf(item) & e.styleBits, e.styleBits) << e.id;
        EXPECT_TRUE(StyleOf(item) & WS_CHILD) << e.id;
    }
    EXPECT_EQ(TextOf(GetDlgItem(page, 307)), L"Select Mailaccount:");
    EXPECT_EQ(win::LinkItems(GetDlgItem(page, 319)).size(), 1u);
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(page, 315)));
    EXPECT_EQ(SendDlgItemMessageW(page, 1222, EM_GETPASSWORDCHAR, 0, 0), L'*');
    RECT pageRect{}, rc{};
    GetWindowRect(page, &pageRect);
    GetWindowRect(GetDlgItem(page, 307), &rc);
    EXPECT_EQ(rc.left - pageRect.left, 21);  // 14 units at 6 pixels per 4 units
    EXPECT_EQ(rc.top - pageRect.top, 32);    // 20 units at 13 pixels per 8 units
    DestroyWindow(page);

    HWND progress = CreateDialogParamW(nullptr, MAKEINTRESOURCEW(kTestProgressDialog),
                                       GetDesktopWindow(), RecordingDialogProc, 0);
    ASSERT_NE(progress, nullptr) << GetLastError();
    EXPECT_EQ(TextOf(progress), L"Progress");
    EXPECT_TRUE(GetWindowLongPtrW(progress, GWL_EXSTYLE) & WS_EX_TOOLWINDOW);
    GetWindowRect(progress, &rc);
    EXPECT_EQ(rc.right - rc.left, 313);
    EXPECT_EQ(rc.left, (1920 - 313) / 2);  // DS_CENTER
    HWND bar = GetDlgItem(progress, 1246);
    WCHAR cls[32] = {};
    GetClassNameW(bar, cls, 32);
    EXPECT_STREQ(cls, L"msctls_progress32");
    EXPECT_EQ(StyleOf(GetDlgItem(progress, 1247)) & SS_TYPEMASK, SS_CENTER);
    EXPECT_EQ(TextOf(GetDlgItem(progress, 1247)), L"Static");
    HWND picture = GetWindow(GetDlgItem(progress, 1247), GW_HWNDNEXT);
    ASSERT_NE(picture, nullptr);
    auto shown = reinterpret_cast<HBITMAP>(SendMessageW(picture, STM_GETIMAGE, IMAGE_BITMAP, 0));
    ASSERT_NE(shown, nullptr);  // bitmap 256, named by the item's text
    EXPECT_EQ(win::DescribeBitmap(shown)->width, 40);
    EXPECT_EQ(r.initCount, 2);
    DestroyWindow(progress);

    HBITMAP strip = LoadBitmapW(nullptr, MAKEINTRESOURCEW(256));
    ASSERT_NE(strip, nullptr) << GetLastError();
    auto info = win::DescribeBitmap(strip);
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->width, 40);
    EXPECT_EQ(info->height, 20);
    EXPECT_EQ(info->bitCount, 24);
    HIMAGELIST list = ImageList_Create(20, 20, ILC_COLOR24 | ILC_MASK, 4, 0);
    EXPECT_EQ(ImageList_AddMasked(list, strip, RGB(0xFF, 0, 0xFF)), 0);
    EXPECT_EQ(ImageList_GetImageCount(list), 2);
    ImageList_Destroy(list);
    DeleteObject(strip);
    CurrentRecorder() = nullptr;
    DestroyWindow(owner);
}

TEST(DialogTest, InitDialogGetsTheParamAndItsAnswerDecidesTheFocus) {
    TemplateWriter w(WS_POPUP, 100, 50);
    w.Add(kStaticAtom, 10, L"label", SS_LEFT)
        .Add(kEditAtom, 11, L"", WS_TABSTOP | WS_DISABLED)
        .Add(kEditAtom, 12, L"", WS_TABSTOP);
    {
        DialogRecorder r;
        TestDialog d(w, r, 0x5EED);
        EXPECT_EQ(r.initParam, 0x5EED);
        EXPECT_EQ(GetFocus(), d.Item(12));  // the first enabled tab stop
    }
    {
        SetFocus(nullptr);
        DialogRecorder r;
        r.initAnswer = FALSE;
        TestDialog d(w, r);
        EXPECT_EQ(GetFocus(), nullptr);
    }
}

TEST(DialogTest, ModalDialogAnsweredByTheHandlerReturnsEndDialogsValue) {
    Watchdog dog("modal dialog");
    win::testing::EnsureClass(L"DialogTestOwner", win::testing::LoggingProc);
    HWND owner = CreateWindowExW(0, L"DialogTestOwner", L"owner", WS_OVERLAPPEDWINDOW, 0, 0, 10, 10,
                                 nullptr, nullptr, nullptr, nullptr);
    TemplateWriter w(WS_POPUP | WS_CAPTION, 100, 50, L"Basic sync?");
    w.Add(kButtonAtom, IDOK, L"YES", BS_DEFPUSHBUTTON | WS_TABSTOP)
        .Add(kButtonAtom, IDCANCEL, L"NO", BS_PUSHBUTTON | WS_TABSTOP)
        .Add(kButtonAtom, 277, L"only new", BS_AUTOCHECKBOX | WS_TABSTOP);
    auto bytes = w.Bytes();
    DialogRecorder r;
    CurrentRecorder() = &r;
    bool ownerEnabledDuring = true;
    bool visibleDuring = false;
    HWND seen = nullptr;
    HandlerScope scope([&](const win::ModalDialogCall& call) {
        seen = call.dialog;
        ownerEnabledDuring = IsWindowEnabled(owner) != 0;
        visibleDuring = IsWindowVisible(call.dialog) != 0;
        EXPECT_TRUE(win::ClickButton(GetDlgItem(call.dialog, 277)));
        EXPECT_TRUE(win::ClickButton(GetDlgItem(call.dialog, IDOK)));
    });
    INT_PTR result = DialogBoxIndirectParamW(
        nullptr, reinterpret_cast<LPCDLGTEMPLATEW>(bytes.data()), owner, RecordingDialogProc, 7);
    EXPECT_EQ(result, IDOK);
    EXPECT_FALSE(ownerEnabledDuring);
    EXPECT_TRUE(visibleDuring);
    EXPECT_TRUE(IsWindowEnabled(owner));
    EXPECT_FALSE(IsWindow(seen));  // destroyed on return
    EXPECT_EQ(r.initParam, 7);
    EXPECT_EQ(r.CodesOf(277), (std::vector<UINT>{BN_CLICKED}));
    auto calls = win::ModalDialogCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].caption, L"Basic sync?");
    EXPECT_EQ(calls[0].owner, owner);
    EXPECT_EQ(calls[0].result, IDOK);

    // Any value EndDialog gives comes back.
    HandlerScope again([](const win::ModalDialogCall& call) { EndDialog(call.dialog, 4242); });
    EXPECT_EQ(DialogBoxIndirectParamW(nullptr, reinterpret_cast<LPCDLGTEMPLATEW>(bytes.data()),
                                      owner, RecordingDialogProc, 0),
              4242);
    CurrentRecorder() = nullptr;
    DestroyWindow(owner);
}

TEST(DialogTest, ModalDialogWithoutHandlerHearsCancelAndEndsWithIt) {
    Watchdog dog("unanswered modal dialog");
    TemplateWriter w(WS_POPUP, 100, 50, L"nobody");
    w.Add(kButtonAtom, IDOK, L"OK", BS_DEFPUSHBUTTON | WS_TABSTOP);
    auto bytes = w.Bytes();
    DialogRecorder r;
    r.endOnOkCancel = false;  // a dialog that ignores Esc still ends
    CurrentRecorder() = &r;
    win::SetModalDialogHandler({});
    INT_PTR result = DialogBoxIndirectParamW(
        nullptr, reinterpret_cast<LPCDLGTEMPLATEW>(bytes.data()), nullptr, RecordingDialogProc, 0);
    EXPECT_EQ(result, IDCANCEL);
    EXPECT_EQ(r.CodesOf(IDCANCEL), (std::vector<UINT>{BN_CLICKED}));
    CurrentRecorder() = nullptr;
    EXPECT_EQ(DialogBoxIndirectParamW(nullptr, reinterpret_cast<LPCDLGTEMPLATEW>(bytes.data()),
                                      reinterpret_cast<HWND>(0x7777), RecordingDialogProc, 0),
              0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
}

std::vector<UINT>* g_seen = nullptr;

INT_PTR ShowLoggingProc(HWND dialog, UINT msg, WPARAM wParam, LPARAM) {
    if (g_seen && (msg == WM_INITDIALOG || msg == WM_SHOWWINDOW))
        g_seen->push_back(msg);
    if (msg == WM_COMMAND) {
        EndDialog(dialog, LOWORD(wParam));
        return TRUE;
    }
    return FALSE;
}

TEST(DialogTest, ModalDialogIsShownAfterInitDialogAndBeforeTheAnswer) {
    Watchdog dog("modal show order");
    TemplateWriter w(WS_POPUP | WS_CAPTION, 100, 50);
    w.Add(kButtonAtom, IDCANCEL, L"NO", BS_PUSHBUTTON | WS_TABSTOP);
    auto bytes = w.Bytes();
    std::vector<UINT> seen;
    g_seen = &seen;
    HandlerScope scope([&](const win::ModalDialogCall& call) {
        seen.push_back(0);  // the answer
        win::ClickButton(GetDlgItem(call.dialog, IDCANCEL));
    });
    EXPECT_EQ(DialogBoxIndirectParamW(nullptr, reinterpret_cast<LPCDLGTEMPLATEW>(bytes.data()),
                                      nullptr, ShowLoggingProc, 0),
              IDCANCEL);
    g_seen = nullptr;
    ASSERT_GE(seen.size(), 3u);
    EXPECT_EQ(seen[0], WM_INITDIALOG);
    EXPECT_EQ(seen[1], WM_SHOWWINDOW);
    EXPECT_EQ(seen[2], 0u);
}

INT_PTR ResultProc(HWND dialog, UINT msg, WPARAM, LPARAM) {
    if (msg == WM_USER + 5) {
        SetWindowLongPtrW(dialog, DWLP_MSGRESULT, 1234);
        return TRUE;
    }
    if (msg == WM_CTLCOLORSTATIC)
        return 0xB0B;  // a brush, returned as it is
    return FALSE;
}

TEST(DialogTest, HandledMessagesAnswerWithMsgResultExceptTheDirectOnes) {
    TemplateWriter w(WS_POPUP, 100, 50);
    w.Add(kStaticAtom, 5, L"text", SS_LEFT);
    auto bytes = w.Bytes();
    HWND d = CreateDialogIndirectParamW(nullptr, reinterpret_cast<LPCDLGTEMPLATEW>(bytes.data()),
                                        nullptr, ResultProc, 0);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(SendMessageW(d, WM_USER + 5, 0, 0), 1234);
    EXPECT_EQ(SendMessageW(d, WM_USER + 6, 0, 0), 0);
    auto answers = win::PaintWindow(d);
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_EQ(answers[0].message, WM_CTLCOLORDLG);
    EXPECT_EQ(answers[0].brush, 0);
    EXPECT_EQ(answers[1].message, WM_CTLCOLORSTATIC);
    EXPECT_EQ(answers[1].control, GetDlgItem(d, 5));
    EXPECT_EQ(answers[1].brush, 0xB0B);
    EXPECT_EQ(GetWindowLongPtrW(d, DWLP_DLGPROC), reinterpret_cast<LONG_PTR>(ResultProc));
    DestroyWindow(d);
}

TEST(DialogTest, CloseBoxPostsCancelAndEndDialogOnlyHidesAModelessDialog) {
    Watchdog dog("close box");
    TemplateWriter w(WS_POPUP | WS_VISIBLE, 100, 50);
    w.Add(kButtonAtom, IDCANCEL, L"Cancel", BS_PUSHBUTTON | WS_TABSTOP);
    DialogRecorder r;
    TestDialog d(w, r);
    EXPECT_TRUE(IsWindowVisible(d.hwnd()));
    SendMessageW(d.hwnd(), WM_CLOSE, 0, 0);
    EXPECT_TRUE(IsWindow(d.hwnd()));
    EXPECT_TRUE(r.CodesOf(IDCANCEL).empty());  // posted, not sent
    ASSERT_TRUE(PumpUntil([&] { return !r.CodesOf(IDCANCEL).empty(); }));
    INT_PTR result = 0;
    EXPECT_TRUE(win::DialogEnded(d.hwnd(), &result));
    EXPECT_EQ(result, IDCANCEL);
    EXPECT_TRUE(IsWindow(d.hwnd()));
    EXPECT_FALSE(IsWindowVisible(d.hwnd()));
    EXPECT_FALSE(EndDialog(GetDesktopWindow(), 1));
}

MSG Key(HWND target, WORD vk) {
    MSG m{};
    m.hwnd = target;
    m.message = WM_KEYDOWN;
    m.wParam = vk;
    return m;
}

TEST(DialogTest, DialogKeysClickDefaultButtonCancelAndMoveFocus) {
    TemplateWriter w(WS_POPUP, 100, 50);
    w.Add(kEditAtom, 20, L"", WS_TABSTOP)
        .Add(kStaticAtom, 21, L"", SS_LEFT)
        .Add(kEditAtom, 22, L"", WS_TABSTOP)
        .Add(kButtonAtom, IDOK, L"OK", BS_DEFPUSHBUTTON | WS_TABSTOP)
        .Add(kButtonAtom, IDCANCEL, L"Cancel", BS_PUSHBUTTON | WS_TABSTOP);
    DialogRecorder r;
    r.endOnOkCancel = false;
    TestDialog d(w, r);
    HWND first = d.Item(20);
    EXPECT_EQ(GetFocus(), first);

    MSG tab = Key(first, VK_TAB);
    EXPECT_TRUE(IsDialogMessageW(d.hwnd(), &tab));
    EXPECT_EQ(GetFocus(), d.Item(22));
    EXPECT_EQ(GetNextDlgTabItem(d.hwnd(), d.Item(IDCANCEL), FALSE), first);  // wraps
    EXPECT_EQ(GetNextDlgTabItem(d.hwnd(), first, TRUE), d.Item(IDCANCEL));

    r.heard.clear();
    MSG ret = Key(d.Item(22), VK_RETURN);
    EXPECT_TRUE(IsDialogMessageW(d.hwnd(), &ret));
    MSG esc = Key(d.Item(22), VK_ESCAPE);
    EXPECT_TRUE(IsDialogMessageW(d.hwnd(), &esc));
    EXPECT_EQ(r.CodesOf(IDOK), (std::vector<UINT>{BN_CLICKED}));
    EXPECT_EQ(r.CodesOf(IDCANCEL), (std::vector<UINT>{BN_CLICKED}));

    // A disabled default button takes no Return; DM_SETDEFID moves the default.
    EnableWindow(d.Item(IDOK), FALSE);
    r.heard.clear();
    EXPECT_TRUE(IsDialogMessageW(d.hwnd(), &ret));
    EXPECT_TRUE(r.heard.empty());
    SendMessageW(d.hwnd(), DM_SETDEFID, IDCANCEL, 0);
    EXPECT_EQ(SendMessageW(d.hwnd(), DM_GETDEFID, 0, 0), MAKELRESULT(IDCANCEL, DC_HASDEFID));
    EXPECT_TRUE(IsDialogMessageW(d.hwnd(), &ret));
    EXPECT_EQ(r.CodesOf(IDCANCEL), (std::vector<UINT>{BN_CLICKED}));

    // A message for another window is not the dialog's.
    win::testing::EnsureClass(L"DialogTestOther", win::testing::LoggingProc);
    HWND other = CreateWindowExW(0, L"DialogTestOther", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                                 nullptr, nullptr);
    MSG foreign = Key(other, VK_RETURN);
    EXPECT_FALSE(IsDialogMessageW(d.hwnd(), &foreign));
    DestroyWindow(other);
}

TEST(DialogTest, ItemIntegersAndCheckBoxesById) {
    TemplateWriter w(WS_POPUP, 100, 50);
    w.Add(kEditAtom, 30, L"", 0).Add(kButtonAtom, 31, L"box", BS_AUTOCHECKBOX);
    DialogRecorder r;
    TestDialog d(w, r);
    struct Case {
        const wchar_t* text;
        BOOL isSigned;
        UINT value;
        BOOL ok;
    } cases[] = {
        {L"42", FALSE, 42, TRUE},
        {L"  17", FALSE, 17, TRUE},
        {L"-5", TRUE, static_cast<UINT>(-5), TRUE},
        {L"-5", FALSE, 0, FALSE},
        {L"", FALSE, 0, FALSE},
        {L"abc", FALSE, 0, FALSE},
        {L"4294967295", FALSE, 4294967295u, TRUE},
        {L"4294967296", FALSE, 0, FALSE},
        {L"2147483648", TRUE, 0, FALSE},
        {L"12ab", FALSE, 12, TRUE},
    };
    for (const auto& c : cases) {
        SetDlgItemTextW(d.hwnd(), 30, c.text);
        BOOL ok = 7;
        EXPECT_EQ(GetDlgItemInt(d.hwnd(), 30, &ok, c.isSigned), c.value) << c.text;
        EXPECT_EQ(ok, c.ok) << c.text;
    }
    SetDlgItemInt(d.hwnd(), 30, static_cast<UINT>(-12), TRUE);
    EXPECT_EQ(TextOf(d.Item(30)), L"-12");
    BOOL ok = TRUE;
    EXPECT_EQ(GetDlgItemInt(d.hwnd(), 99, &ok, FALSE), 0u);
    EXPECT_FALSE(ok);

    EXPECT_EQ(IsDlgButtonChecked(d.hwnd(), 31), BST_UNCHECKED);
    EXPECT_TRUE(CheckDlgButton(d.hwnd(), 31, BST_CHECKED));
    EXPECT_EQ(IsDlgButtonChecked(d.hwnd(), 31), BST_CHECKED);
    EXPECT_FALSE(CheckDlgButton(d.hwnd(), 99, BST_CHECKED));
}

TEST(DialogTest, EveryTruncatedTemplateIsRefusedAndTheClassicLayoutIsRead) {
    TemplateWriter w(WS_POPUP | DS_SETFONT, 100, 50, L"Title");
    w.Font(8, L"MS Sans Serif")
        .Add(kButtonAtom, 1, L"OK", BS_DEFPUSHBUTTON)
        .Add(L"SysLink", 2, L"<a>Log</a>", WS_TABSTOP);
    auto bytes = w.Bytes();
    win::DialogTemplate t;
    ASSERT_TRUE(win::ParseDialogTemplate(bytes.data(), bytes.size(), t));
    EXPECT_TRUE(t.extended);
    EXPECT_EQ(t.face, L"MS Sans Serif");
    ASSERT_EQ(t.items.size(), 2u);
    EXPECT_EQ(t.items[0].className, L"Button");
    EXPECT_EQ(t.items[1].className, L"SysLink");
    EXPECT_EQ(t.items[1].text, L"<a>Log</a>");
    for (std::size_t n = 0; n < bytes.size(); ++n) {
        std::vector<std::uint8_t> cut(bytes.begin(),
                                      bytes.begin() + static_cast<std::ptrdiff_t>(n));
        EXPECT_FALSE(win::ParseDialogTemplate(cut.data(), cut.size(), t)) << n;
    }

    TemplateWriter classic(WS_POPUP, 60, 30, L"Old");
    classic.Classic().Add(kEditAtom, 0x1234, L"text", ES_AUTOHSCROLL, 1, 2, 3, 4);
    auto old = classic.Bytes();
    ASSERT_TRUE(win::ParseDialogTemplate(old.data(), old.size(), t));
    EXPECT_FALSE(t.extended);
    EXPECT_EQ(t.title, L"Old");
    ASSERT_EQ(t.items.size(), 1u);
    EXPECT_EQ(t.items[0].id, 0x1234u);
    EXPECT_EQ(t.items[0].className, L"Edit");
    EXPECT_EQ(t.items[0].style & ES_AUTOHSCROLL, ES_AUTOHSCROLL);
    EXPECT_EQ(t.items[0].cy, 4);
}

TEST(DialogTest, UnknownControlClassFailsTheDialogUnlessNoFailCreate) {
    TemplateWriter bad(WS_POPUP, 60, 30);
    bad.Add(kEditAtom, 1, L"", 0).Add(L"NoSuchClass", 2, L"", 0);
    auto bytes = bad.Bytes();
    std::size_t before = win::WindowCount();
    HWND d = CreateDialogIndirectParamW(nullptr, reinterpret_cast<LPCDLGTEMPLATEW>(bytes.data()),
                                        nullptr, RecordingDialogProc, 0);
    EXPECT_EQ(d, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CANNOT_FIND_WND_CLASS));
    EXPECT_EQ(win::WindowCount(), before);

    TemplateWriter lenient(WS_POPUP | DS_NOFAILCREATE, 60, 30);
    lenient.Add(kEditAtom, 1, L"", 0).Add(L"NoSuchClass", 2, L"", 0);
    auto more = lenient.Bytes();
    d = CreateDialogIndirectParamW(nullptr, reinterpret_cast<LPCDLGTEMPLATEW>(more.data()), nullptr,
                                   RecordingDialogProc, 0);
    ASSERT_NE(d, nullptr);
    EXPECT_NE(GetDlgItem(d, 1), nullptr);
    EXPECT_EQ(GetDlgItem(d, 2), nullptr);
    DestroyWindow(d);

    // An extended template of an unknown version is refused before its fields are read.
    std::uint8_t garbage[8] = {2, 0, 0xFF, 0xFF, 0, 0, 0, 0};
    EXPECT_EQ(CreateDialogIndirectParamW(nullptr, reinterpret_cast<LPCDLGTEMPLATEW>(garbage),
                                         nullptr, RecordingDialogProc, 0),
              nullptr);
}

}  // namespace
