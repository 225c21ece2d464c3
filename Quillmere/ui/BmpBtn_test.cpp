#include "Quillmere/ui/BmpBtn.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/win/Controls.h"
#include "platform/win/Dialog.h"
#include "platform/win/DialogTestSupport.h"
#include "platform/win/ImageList.h"
#include "platform/win/UserInput.h"

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

}  // namespace
