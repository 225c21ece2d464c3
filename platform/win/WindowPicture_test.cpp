// Pictures of windows: controls at their template places in the template's
// font, disabled controls in grey, image lists drawn by state, a tooltip
// that shows after the pointer rests, and PNG files read back.
#include "platform/win/WindowPicture.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/win/Clock.h"
#include "platform/win/CommonControls.h"
#include "platform/win/Dialog.h"
#include "platform/win/ImageList.h"
#include "platform/win/Mouse.h"
#include "platform/win/Paint.h"
#include "platform/win/Resources.h"
#include "platform/win/UserInput.h"
#include "platform/win/VirtualClockTestSupport.h"
#include "platform/win/WindowTestSupport.h"

namespace {

// DialogTest.rc, compiled into this test's executable.
constexpr WORD kTestProgressDialog = 1121;
constexpr WORD kTestPageDialog = 131;

INT_PTR NoOpProc(HWND, UINT msg, WPARAM, LPARAM) {
    return msg == WM_INITDIALOG ? TRUE : FALSE;
}

int Red(COLORREF c) {
    return static_cast<int>(c & 0xFF);
}
int Green(COLORREF c) {
    return static_cast<int>((c >> 8) & 0xFF);
}
int Blue(COLORREF c) {
    return static_cast<int>((c >> 16) & 0xFF);
}
int Brightness(COLORREF c) {
    return (Red(c) + Green(c) + Blue(c)) / 3;
}
bool Near(COLORREF a, COLORREF b, int tolerance = 8) {
    return std::abs(Red(a) - Red(b)) <= tolerance && std::abs(Green(a) - Green(b)) <= tolerance &&
           std::abs(Blue(a) - Blue(b)) <= tolerance;
}

// The darkest pixel of a picture (the ink of its text and lines).
COLORREF Darkest(const win::Picture& p) {
    COLORREF darkest = RGB(255, 255, 255);
    for (int y = 0; y < p.height; ++y)
        for (int x = 0; x < p.width; ++x)
            if (Brightness(p.At(x, y)) < Brightness(darkest))
                darkest = p.At(x, y);
    return darkest;
}

int CountNear(const win::Picture& p, COLORREF colour) {
    int n = 0;
    for (int y = 0; y < p.height; ++y)
        for (int x = 0; x < p.width; ++x)
            n += Near(p.At(x, y), colour, 2) ? 1 : 0;
    return n;
}

class WindowPictureTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!FindResourceW(nullptr, MAKEINTRESOURCEW(kTestPageDialog), RT_DIALOG))
            GTEST_SKIP() << "DialogTest.rc is not compiled into this executable";
        win::testing::EnsureClass(L"PictureTestOwner", DefWindowProcW);
        m_owner = CreateWindowExW(0, L"PictureTestOwner", L"Options", WS_POPUP | WS_VISIBLE, 100,
                                  100, 420, 420, nullptr, nullptr, nullptr, nullptr);
        ASSERT_NE(m_owner, nullptr);
        m_page =
            CreateDialogParamW(nullptr, MAKEINTRESOURCEW(kTestPageDialog), m_owner, NoOpProc, 0);
        ASSERT_NE(m_page, nullptr) << GetLastError();
        ShowWindow(m_page, SW_SHOW);
    }
    void TearDown() override {
        if (m_owner)
            DestroyWindow(m_owner);
    }
    HWND Item(int id) const { return GetDlgItem(m_page, id); }
    win::Picture PictureOf(int id) const {
        return win::CropToWindow(win::MakeWindowPicture(m_page), m_page, Item(id));
    }

    HWND m_owner = nullptr;
    HWND m_page = nullptr;
};

TEST_F(WindowPictureTest, ControlsStandAtTheirTemplatePlacesThroughTheFontsBaseUnits) {
    // The template font (MS Shell Dlg, 8 points, drawn with Liberation Sans
    // at 11 pixels) has base units of 6 x 13: 4 x 8 dialog units per letter.
    RECT r{144, 117, 144 + 95, 117 + 27};
    ASSERT_TRUE(MapDialogRect(m_page, &r));
    EXPECT_EQ(r.left, 216);
    EXPECT_EQ(r.top, 190);
    const win::Picture page = win::MakeWindowPicture(m_page);
    RECT pageRect{};
    GetWindowRect(m_page, &pageRect);
    ASSERT_EQ(page.width, pageRect.right - pageRect.left);
    // The list box's white field begins at its template place, on the
    // dialog's face.
    const COLORREF face = GetSysColor(COLOR_BTNFACE);
    const COLORREF white = GetSysColor(COLOR_WINDOW);
    EXPECT_TRUE(Near(page.At(r.left - 1, r.top + 10), face))
        << std::hex << page.At(r.left - 1, r.top + 10);
    EXPECT_FALSE(Near(page.At(r.left, r.top + 10), face));
    EXPECT_TRUE(Near(page.At(r.left + 5, r.top + 5), white));
    // The static's text is drawn in its place: dark ink inside, none above.
    const win::Picture label = PictureOf(307);
    EXPECT_LT(Brightness(Darkest(label)), 60);
}

TEST_F(WindowPictureTest, DisabledControlsAreDrawnInGreyText) {
    // The edit out from under the link that overlaps it in the template.
    MoveWindow(Item(1222), 10, 300, 120, 22, TRUE);
    SendMessageW(Item(1222), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"secret"));
    for (int id : {307, 308, 319, 1222, 314}) {
        SCOPED_TRACE(id);
        if (id == 314)
            SendMessageW(Item(314), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"Business"));
        EnableWindow(Item(id), TRUE);
        const COLORREF enabled = Darkest(PictureOf(id));
        EnableWindow(Item(id), FALSE);
        const COLORREF disabled = Darkest(PictureOf(id));
        // Enabled ink is black, a link's blue; disabled ink is the grey
        // text colour, never darker.
        if (id == 319) {
            EXPECT_GT(Blue(enabled), Red(enabled) + 100);
            EXPECT_TRUE(Near(disabled, GetSysColor(COLOR_GRAYTEXT), 12));
            continue;
        }
        EXPECT_LT(Brightness(enabled), 90);
        EXPECT_GE(Brightness(disabled), Brightness(GetSysColor(COLOR_GRAYTEXT)) - 12);
        EXPECT_GT(Brightness(disabled), Brightness(enabled) + 20);
    }
}

TEST_F(WindowPictureTest, ACheckBoxShowsItsCheckMark) {
    const int unchecked = CountNear(PictureOf(308), RGB(0, 0, 0));
    CheckDlgButton(m_page, 308, BST_CHECKED);
    const int checked = CountNear(PictureOf(308), RGB(0, 0, 0));
    EXPECT_GT(checked, unchecked + 8);
}

TEST_F(WindowPictureTest, ACaptionedWindowGetsItsFrameAndTheProgressBarFillsByPosition) {
    HWND progress = CreateDialogParamW(nullptr, MAKEINTRESOURCEW(kTestProgressDialog),
                                       GetDesktopWindow(), NoOpProc, 0);
    ASSERT_NE(progress, nullptr);
    ShowWindow(progress, SW_SHOW);
    HWND bar = GetDlgItem(progress, 1246);
    SendMessageW(bar, PBM_SETRANGE, 0, MAKELPARAM(0, 10));
    SendMessageW(bar, PBM_SETPOS, 5, 0);
    const win::Picture p = win::MakeWindowPicture(progress);
    EXPECT_GT(p.windowOrigin.y, 15);  // the caption bar above the window
    EXPECT_EQ(p.caption, L"Progress");
    const win::Picture filled = win::CropToWindow(p, progress, bar);
    ASSERT_FALSE(filled.Empty());
    const COLORREF quarter = filled.At(filled.width / 4, filled.height / 2);
    const COLORREF threeQuarters = filled.At(filled.width * 3 / 4, filled.height / 2);
    EXPECT_GT(Green(quarter), Red(quarter) + 60);  // the bar's green
    EXPECT_FALSE(Near(threeQuarters, quarter, 40));
    SendMessageW(bar, PBM_SETPOS, 10, 0);
    const win::Picture full = win::CropToWindow(win::MakeWindowPicture(progress), progress, bar);
    EXPECT_TRUE(Near(full.At(full.width * 3 / 4, full.height / 2), quarter));
    DestroyWindow(progress);
}

TEST_F(WindowPictureTest, ImageListsDrawTheirImagesWithTheMaskColourLeftTransparent) {
    // A strip of two 20 x 20 images: red and blue, each with a magenta
    // top-left pixel (BGRX rows, as CreateBitmap takes 32-bit bits).
    std::vector<std::uint8_t> bits(40 * 20 * 4, 0);
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 40; ++x) {
            std::uint8_t* p = &bits[static_cast<std::size_t>(y * 40 + x) * 4];
            const bool corner = (x == 0 || x == 20) && y == 0;
            p[0] = corner ? 255 : (x < 20 ? 0 : 255);  // blue
            p[1] = 0;
            p[2] = corner ? 255 : (x < 20 ? 255 : 0);  // red
        }
    HBITMAP strip = CreateBitmap(40, 20, 1, 32, bits.data());
    ASSERT_NE(strip, nullptr);
    HIMAGELIST list = ImageList_Create(20, 20, ILC_COLOR24 | ILC_MASK, 2, 0);
    ASSERT_EQ(ImageList_AddMasked(list, strip, RGB(255, 0, 255)), 0);
    ASSERT_EQ(ImageList_GetImageCount(list), 2);
    // Drawn into a memory bitmap over green, shown by a picture static.
    HDC memory = CreateCompatibleDC(nullptr);
    HBITMAP canvas = CreateCompatibleBitmap(memory, 40, 20);
    SelectObject(memory, canvas);
    HBRUSH green = CreateSolidBrush(RGB(0, 255, 0));
    RECT all{0, 0, 40, 20};
    FillRect(memory, &all, green);
    ASSERT_TRUE(ImageList_Draw(list, 1, memory, 0, 0, ILD_TRANSPARENT));
    ASSERT_TRUE(ImageList_Draw(list, 0, memory, 20, 0, ILD_NORMAL));
    EXPECT_FALSE(ImageList_Draw(list, 2, memory, 0, 0, ILD_NORMAL));
    HWND shown = CreateWindowExW(0, L"Static", nullptr, WS_CHILD | WS_VISIBLE | SS_BITMAP, 0, 0, 40,
                                 20, m_page, nullptr, nullptr, nullptr);
    SendMessageW(shown, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(canvas));
    const win::Picture both = win::CropToWindow(win::MakeWindowPicture(m_page), m_page, shown);
    ASSERT_EQ(both.width, 40);
    EXPECT_EQ(both.At(10, 10), RGB(0, 0, 255));  // image 1 on the left
    EXPECT_EQ(both.At(30, 10), RGB(255, 0, 0));  // image 0 on the right
    EXPECT_EQ(both.At(0, 0), RGB(0, 255, 0));    // the mask colour left the green
    EXPECT_EQ(both.At(20, 0), RGB(0, 255, 0));
    DestroyWindow(shown);
    ImageList_Destroy(list);
    DeleteObject(green);
    DeleteDC(memory);
    DeleteObject(canvas);
    DeleteObject(strip);
}

TEST_F(WindowPictureTest, ATooltipShowsItsTextOnlyAfterThePointerRestsForTheInitialDelay) {
    win::testing::VirtualClock clock;
    HWND button = CreateWindowExW(0, L"Button", L"Go", WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON, 10,
                                  200, 60, 24, m_page, nullptr, nullptr, nullptr);
    HWND tip = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP, 0,
                               0, 0, 0, m_page, nullptr, nullptr, nullptr);
    ASSERT_NE(tip, nullptr);
    TTTOOLINFOW tool{};
    tool.cbSize = sizeof tool;
    tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    tool.hwnd = m_page;
    tool.uId = reinterpret_cast<UINT_PTR>(button);
    tool.lpszText = const_cast<WCHAR*>(L"Add to list");
    ASSERT_TRUE(SendMessageW(tip, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool)));
    EXPECT_EQ(SendMessageW(tip, TTM_GETDELAYTIME, TTDT_INITIAL, 0), 500);
    const COLORREF infoBack = GetSysColor(COLOR_INFOBK);

    ASSERT_TRUE(win::MovePointerTo(button));
    EXPECT_FALSE(IsWindowVisible(tip));
    EXPECT_EQ(CountNear(win::MakeWindowPicture(m_page), infoBack), 0);
    win::WaitWhileMessagesRun(300);
    // Moving on the button starts the delay again: nothing shows until the
    // pointer has rested 500 ms since the last move.
    win::MovePointerTo(button, 10, 10);
    win::WaitWhileMessagesRun(499);
    EXPECT_FALSE(IsWindowVisible(tip));
    win::WaitWhileMessagesRun(2);
    ASSERT_TRUE(IsWindowVisible(tip));
    EXPECT_EQ(win::ToolTipShownText(tip), L"Add to list");
    // Below the pointer, over the page, with its text in it.
    POINT pointer{};
    GetCursorPos(&pointer);
    RECT tipRect{};
    GetWindowRect(tip, &tipRect);
    EXPECT_EQ(tipRect.left, pointer.x);
    EXPECT_GT(tipRect.top, pointer.y);
    const win::Picture shown = win::MakeWindowPicture(m_page);
    const win::Picture tipPicture = win::CropToWindow(shown, m_page, tip);
    ASSERT_FALSE(tipPicture.Empty());
    EXPECT_GT(CountNear(tipPicture, infoBack), tipPicture.width * tipPicture.height / 3);
    EXPECT_LT(Brightness(Darkest(tipPicture)), 60);
    // Leaving the button hides it.
    win::MovePointerTo(m_page, 2, 2);
    EXPECT_FALSE(IsWindowVisible(tip));
    DestroyWindow(tip);
}

TEST_F(WindowPictureTest, APressedButtonShowsPushedAndClicksWhenReleasedOverIt) {
    HWND button =
        CreateWindowExW(0, L"Button", L"Go", WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON, 10, 300, 60, 24,
                        m_page, reinterpret_cast<HMENU>(77), nullptr, nullptr);
    const win::Picture up = win::CropToWindow(win::MakeWindowPicture(m_page), m_page, button);
    win::MovePointerTo(button);
    POINT at{};
    GetCursorPos(&at);
    ASSERT_EQ(WindowFromPoint(at), button);
    win::PressMouseButton();
    EXPECT_TRUE(SendMessageW(button, BM_GETSTATE, 0, 0) & BST_PUSHED);
    const win::Picture down = win::CropToWindow(win::MakeWindowPicture(m_page), m_page, button);
    EXPECT_NE(up.pixels, down.pixels);
    win::ReleaseMouseButton();
    EXPECT_FALSE(SendMessageW(button, BM_GETSTATE, 0, 0) & BST_PUSHED);
    EXPECT_EQ(GetCapture(), nullptr);
}

TEST_F(WindowPictureTest, APngFileReadsBackAsTheSamePixels) {
    const win::Picture p = win::MakeWindowPicture(m_page);
    char pattern[] = "/tmp/qm-picture-XXXXXX";
    const int fd = mkstemp(pattern);
    ASSERT_GE(fd, 0);
    close(fd);
    ASSERT_TRUE(win::SavePicture(p, pattern));
    win::Picture back;
    ASSERT_TRUE(win::LoadPicture(pattern, &back));
    EXPECT_EQ(back.width, p.width);
    EXPECT_EQ(back.height, p.height);
    EXPECT_EQ(back.pixels, p.pixels);
    if (const char* keep = std::getenv("QM_KEEP_PICTURE"))
        win::SavePicture(p, keep);
    std::remove(pattern);
    EXPECT_FALSE(win::LoadPicture(pattern, &back));
}

TEST(WindowPictureKeepTest, ClosingCaptionedWindowsArePicturedOnlyWhileKept) {
    win::testing::EnsureClass(L"PictureTestTop", DefWindowProcW);
    auto make = [] {
        return CreateWindowExW(0, L"PictureTestTop", L"Question",
                               WS_POPUP | WS_CAPTION | WS_VISIBLE, 0, 0, 100, 60, nullptr, nullptr,
                               nullptr, nullptr);
    };
    DestroyWindow(make());
    EXPECT_TRUE(win::ClosedWindowPictures().empty());
    win::KeepPicturesOfClosingWindows(true);
    HWND kept = make();
    CreateWindowExW(0, L"Static", L"x", WS_CHILD | WS_VISIBLE, 0, 0, 10, 10, kept, nullptr, nullptr,
                    nullptr);
    DestroyWindow(kept);
    const auto pictures = win::ClosedWindowPictures();
    ASSERT_EQ(pictures.size(), 1u);
    EXPECT_EQ(pictures[0].picture.caption, L"Question");
    EXPECT_EQ(pictures[0].picture.width, 100 + 8);
    ASSERT_EQ(pictures[0].childClasses.size(), 1u);
    EXPECT_EQ(pictures[0].childClasses[0], L"Static");
    win::KeepPicturesOfClosingWindows(false);
    EXPECT_TRUE(win::ClosedWindowPictures().empty());
}

}  // namespace
