#include "Quillmere/ui/BmpBtn.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "platform/win/Clock.h"
#include "platform/win/CommonControls.h"
#include "platform/win/Controls.h"
#include "platform/win/Dialog.h"
#include "platform/win/DialogTestSupport.h"
#include "platform/win/ImageList.h"
#include "platform/win/Mouse.h"
#include "platform/win/Paint.h"
#include "platform/win/UserInput.h"
#include "platform/win/VirtualClockTestSupport.h"
#include "platform/win/WindowPicture.h"

namespace {

using win::testing::DialogRecorder;
using win::testing::TemplateWriter;
using win::testing::TestDialog;

constexpr int kButtonId = 315;

class BmpBtnTest : public ::testing::Test {
protected:
    BmpBtnTest()
        : m_writer(TemplateWriter(WS_POPUP | WS_CAPTION, 200, 100)
                       .Add(0x80, kButtonId, L">>", BS_PUSHBUTTON | WS_TABSTOP, 5, 5, 40, 14)),
          m_dialog(m_writer, m_recorder) {}

    HWND Button() { return m_dialog.Item(kButtonId); }
    static HIMAGELIST NewList() { return ImageList_Create(20, 20, ILC_COLOR24 | ILC_MASK, 2, 0); }

    TemplateWriter m_writer;
    DialogRecorder m_recorder;
    TestDialog m_dialog;
};

TEST_F(BmpBtnTest, DestroysItsImageListUnlessShared) {
    for (bool shared : {false, true}) {
        HIMAGELIST list = NewList();
        ASSERT_NE(list, nullptr);
        {
            ui::CBmpBtn button;
            ASSERT_TRUE(button.SubclassWindow(Button()));
            button.SetBitmapButtonExtendedStyle(shared ? ui::BMPBTN_SHAREIMAGELISTS : 0);
            EXPECT_EQ(button.SetImageList(list), nullptr);
        }
        EXPECT_EQ(win::DescribeImageList(list, nullptr, nullptr), shared);
        if (shared)
            ImageList_Destroy(list);
    }
}

TEST_F(BmpBtnTest, ButtonStillWorksAndSizesToItsImage) {
    HIMAGELIST list = NewList();
    ui::CBmpBtn button;
    ASSERT_TRUE(button.SubclassWindow(Button()));
    EXPECT_FALSE(button.SubclassWindow(Button()));
    EXPECT_EQ(button.SetBitmapButtonExtendedStyle(ui::BMPBTN_AUTO3D_SINGLE | ui::BMPBTN_HOVER), 0u);
    EXPECT_EQ(
        button.SetBitmapButtonExtendedStyle(ui::BMPBTN_SHAREIMAGELISTS, ui::BMPBTN_SHAREIMAGELISTS),
        ui::BMPBTN_AUTO3D_SINGLE | ui::BMPBTN_HOVER);
    EXPECT_EQ(button.GetBitmapButtonExtendedStyle(),
              ui::BMPBTN_AUTO3D_SINGLE | ui::BMPBTN_HOVER | ui::BMPBTN_SHAREIMAGELISTS);
    button.SetImageList(list);
    button.SetImages(0, 1, 1, 1);
    EXPECT_EQ(button.ImageIndex(ui::CBmpBtn::kPushed), 1);
    EXPECT_TRUE(button.SetToolTipText(L"Add"));
    EXPECT_EQ(button.GetToolTipText(), L"Add");
    ASSERT_TRUE(button.SizeToImage());
    RECT r{};
    GetWindowRect(Button(), &r);
    EXPECT_EQ(r.right - r.left, 22);
    EXPECT_EQ(r.bottom - r.top, 22);
    // Every message still reaches the button: a click is heard by the page.
    ASSERT_TRUE(win::ClickButton(Button()));
    EXPECT_EQ(m_recorder.CodesOf(kButtonId), std::vector<UINT>{BN_CLICKED});
    button.UnsubclassWindow();
    ImageList_Destroy(list);
}

TEST_F(BmpBtnTest, UnattachedButtonRefusesWindowCalls) {
    ui::CBmpBtn button;
    EXPECT_FALSE(button.SetToolTipText(L"x"));
    EXPECT_FALSE(button.SizeToImage());
    EXPECT_FALSE(button.SubclassWindow(nullptr));
}

// Four images of one colour each, for the four states.
constexpr COLORREF kNormalColour = RGB(200, 30, 30);
constexpr COLORREF kPushedColour = RGB(30, 160, 30);
constexpr COLORREF kHoverColour = RGB(30, 30, 200);
constexpr COLORREF kDisabledColour = RGB(120, 120, 40);

HIMAGELIST ColourList() {
    const COLORREF colours[] = {kNormalColour, kPushedColour, kHoverColour, kDisabledColour};
    std::vector<std::uint8_t> bits(80 * 20 * 4, 0);
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 80; ++x) {
            const COLORREF c = colours[x / 20];
            std::uint8_t* p = &bits[static_cast<std::size_t>(y * 80 + x) * 4];
            p[0] = static_cast<std::uint8_t>((c >> 16) & 0xFF);
            p[1] = static_cast<std::uint8_t>((c >> 8) & 0xFF);
            p[2] = static_cast<std::uint8_t>(c & 0xFF);
        }
    HBITMAP strip = CreateBitmap(80, 20, 1, 32, bits.data());
    HIMAGELIST list = ImageList_Create(20, 20, ILC_COLOR24 | ILC_MASK, 4, 0);
    ImageList_AddMasked(list, strip, RGB(255, 0, 255));
    DeleteObject(strip);
    return list;
}

// A shown dialog with the button and a second control to move the pointer
// to, as the page's bitmap buttons sit in theirs.
class BmpBtnPictureTest : public ::testing::Test {
protected:
    BmpBtnPictureTest()
        : m_writer(TemplateWriter(WS_POPUP | WS_CAPTION | WS_VISIBLE, 200, 100)
                       .Add(0x80, kButtonId, L">>", BS_PUSHBUTTON | WS_TABSTOP | WS_VISIBLE, 5, 5,
                            40, 14)
                       .Add(0x82, 400, L"label", SS_LEFT | SS_NOTIFY | WS_VISIBLE, 60, 5, 60, 14)),
          m_dialog(m_writer, m_recorder) {}
    void SetUp() override {
        m_list = ColourList();
        ASSERT_TRUE(m_button.SubclassWindow(m_dialog.Item(kButtonId)));
        m_button.SetBitmapButtonExtendedStyle(ui::BMPBTN_HOVER | ui::BMPBTN_AUTO3D_SINGLE |
                                              ui::BMPBTN_AUTOSIZE | ui::BMPBTN_SHAREIMAGELISTS);
        m_button.SetImageList(m_list);
        m_button.SetImages(0, 1, 2, 3);
        m_button.SizeToImage();
    }
    void TearDown() override {
        m_button.UnsubclassWindow();
        ImageList_Destroy(m_list);
    }
    // The colour in the middle of the button as a picture of the dialog shows it.
    COLORREF Shown() {
        const win::Picture p = win::MakeWindowPicture(m_dialog.hwnd());
        const win::Picture b = win::CropToWindow(p, m_dialog.hwnd(), m_dialog.Item(kButtonId));
        return b.At(b.width / 2, b.height / 2);
    }

    TemplateWriter m_writer;
    DialogRecorder m_recorder;
    TestDialog m_dialog;
    HIMAGELIST m_list = nullptr;
    ui::CBmpBtn m_button;
};

TEST_F(BmpBtnPictureTest, ShowsTheImageOfTheStateItIsIn) {
    HWND button = m_dialog.Item(kButtonId);
    HWND away = m_dialog.Item(400);
    struct Step {
        const char* what;
        std::function<void()> act;
        COLORREF shown;
    };
    const Step steps[] = {
        {"at rest", [] {}, kNormalColour},
        {"the pointer on it", [&] { win::MovePointerTo(button); }, kHoverColour},
        {"the button pressed", [] { win::PressMouseButton(); }, kPushedColour},
        {"released", [] { win::ReleaseMouseButton(); }, kHoverColour},
        {"the pointer gone", [&] { win::MovePointerTo(away); }, kNormalColour},
        {"disabled", [&] { EnableWindow(button, FALSE); }, kDisabledColour},
        {"the pointer on the disabled button", [&] { win::MovePointerTo(button); },
         kDisabledColour},
        {"enabled again", [&] { EnableWindow(button, TRUE), win::MovePointerTo(away); },
         kNormalColour},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        step.act();
        EXPECT_EQ(Shown(), step.shown);
    }
    // The release over the button was a click.
    EXPECT_EQ(m_recorder.CodesOf(kButtonId), std::vector<UINT>{BN_CLICKED});
}

TEST_F(BmpBtnPictureTest, AStateWithoutAnImageShowsTheNormalOne) {
    m_button.SetImages(0, -1, -1, -1);
    EnableWindow(m_dialog.Item(kButtonId), FALSE);
    EXPECT_EQ(Shown(), kNormalColour);
}

TEST_F(BmpBtnPictureTest, ItsTooltipAppearsOnceThePointerRestsOnIt) {
    win::testing::VirtualClock clock;
    ASSERT_TRUE(m_button.SetToolTipText(L"Add to list"));
    HWND tip = m_button.ToolTipWindow();
    ASSERT_NE(tip, nullptr);
    win::MovePointerTo(m_dialog.Item(kButtonId));
    // Shown only once the pointer has rested for the initial delay, 500 ms.
    win::WaitWhileMessagesRun(499);
    EXPECT_FALSE(IsWindowVisible(tip));
    win::WaitWhileMessagesRun(2);
    EXPECT_TRUE(IsWindowVisible(tip));
    EXPECT_EQ(win::ToolTipShownText(tip), L"Add to list");
    // Drawn over the dialog in a picture of it.
    const win::Picture p = win::MakeWindowPicture(m_dialog.hwnd());
    const win::Picture shown = win::CropToWindow(p, m_dialog.hwnd(), tip);
    ASSERT_FALSE(shown.Empty());
    EXPECT_EQ(shown.At(shown.width - 3, 3), GetSysColor(COLOR_INFOBK));
    // A new text reaches the tool.
    m_button.SetToolTipText(L"Remove");
    win::MovePointerTo(m_dialog.Item(400));
    EXPECT_FALSE(IsWindowVisible(tip));
    EXPECT_EQ(win::ToolTipTools(tip).at(0).text, L"Remove");
}

}  // namespace
