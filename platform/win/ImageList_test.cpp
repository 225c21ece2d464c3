#include "platform/win/ImageList.h"

#include <gtest/gtest.h>

#include "platform/win/Resources.h"

namespace {

TEST(ImageListTest, StripOfTwentyPixelImagesGivesOneImagePerWholeWidth) {
    HIMAGELIST list = ImageList_Create(20, 20, ILC_COLOR24 | ILC_MASK, 4, 0);
    ASSERT_NE(list, nullptr);
    HBITMAP strip = CreateBitmap(182, 20, 1, 24, nullptr);  // nine images and a rest
    ASSERT_NE(strip, nullptr);
    EXPECT_EQ(ImageList_AddMasked(list, strip, RGB(0xFF, 0x00, 0xFF)), 0);
    EXPECT_EQ(ImageList_GetImageCount(list), 9);
    EXPECT_EQ(ImageList_Add(list, strip, nullptr), 9);
    EXPECT_EQ(ImageList_GetImageCount(list), 18);
    UINT flags = 0;
    COLORREF mask = 0;
    ASSERT_TRUE(win::DescribeImageList(list, &flags, &mask));
    EXPECT_EQ(flags, ILC_COLOR24 | ILC_MASK);
    EXPECT_EQ(mask, 0x00FF00FFu);
    int cx = 0, cy = 0;
    EXPECT_TRUE(ImageList_GetIconSize(list, &cx, &cy));
    EXPECT_EQ(cx, 20);
    EXPECT_EQ(cy, 20);
    HBITMAP narrow = CreateBitmap(19, 20, 1, 24, nullptr);
    EXPECT_EQ(ImageList_Add(list, narrow, nullptr), -1);
    EXPECT_TRUE(ImageList_Remove(list, 0));
    EXPECT_EQ(ImageList_GetImageCount(list), 17);
    EXPECT_FALSE(ImageList_Remove(list, 17));
    EXPECT_TRUE(ImageList_Remove(list, -1));
    EXPECT_EQ(ImageList_GetImageCount(list), 0);
    EXPECT_TRUE(ImageList_Destroy(list));
    EXPECT_FALSE(ImageList_Destroy(list));
    EXPECT_EQ(ImageList_Add(list, strip, nullptr), -1);
    EXPECT_EQ(ImageList_Create(0, 20, ILC_COLOR24, 1, 0), nullptr);
    EXPECT_TRUE(DeleteObject(strip));
    EXPECT_TRUE(DeleteObject(narrow));
}

TEST(ImageListTest, BitmapsDescribeThemselvesUntilDeleted) {
    HBITMAP b = CreateBitmap(48, 48, 1, 24, nullptr);
    ASSERT_NE(b, nullptr);
    BITMAP bm{};
    EXPECT_EQ(GetObjectW(b, sizeof(bm), &bm), static_cast<int>(sizeof(bm)));
    EXPECT_EQ(bm.bmWidth, 48);
    EXPECT_EQ(bm.bmHeight, 48);
    EXPECT_EQ(bm.bmBitsPixel, 24);
    EXPECT_EQ(bm.bmWidthBytes, 144);
    EXPECT_EQ(GetObjectW(b, 4, &bm), 0);
    EXPECT_TRUE(DeleteObject(b));
    EXPECT_FALSE(DeleteObject(b));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(GetObjectW(b, sizeof(bm), &bm), 0);
    EXPECT_EQ(CreateBitmap(0, 5, 1, 24, nullptr), nullptr);
    // The executable has no bitmap resources.
    EXPECT_EQ(LoadBitmapW(nullptr, MAKEINTRESOURCEW(256)), nullptr);
    EXPECT_NE(GetLastError(), 0u);
}

}  // namespace
