#include "Quillmere/ui/UiModule.h"

#include <gtest/gtest.h>

#include <cstdint>

#include "platform/win/Dialog.h"
#include "platform/win/Resources.h"

namespace {

win::DialogTemplate Template(WORD id) {
    win::DialogTemplate out;
    HMODULE module = ui::UiResourceModule();
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(id), RT_DIALOG);
    EXPECT_NE(found, nullptr) << id;
    if (!found)
        return out;
    const auto* bytes = static_cast<const std::uint8_t*>(LockResource(LoadResource(module, found)));
    EXPECT_TRUE(win::ParseDialogTemplate(bytes, SizeofResource(module, found), out));
    return out;
}

struct ItemCase {
    int id;
    const wchar_t* className;
    short x, y, cx, cy;
};

void ExpectItems(const win::DialogTemplate& t, std::initializer_list<ItemCase> cases) {
    ASSERT_EQ(t.items.size(), cases.size());
    size_t i = 0;
    for (const auto& c : cases) {
        const auto& item = t.items[i++];
        SCOPED_TRACE(c.id);
        EXPECT_EQ(static_cast<int>(static_cast<short>(item.id)), c.id);
        EXPECT_EQ(item.className, c.className);
        EXPECT_EQ(item.x, c.x);
        EXPECT_EQ(item.y, c.y);
        EXPECT_EQ(item.cx, c.cx);
        EXPECT_EQ(item.cy, c.cy);
    }
}

TEST(UiModuleTest, QuestionTemplateHasItsControlsWhereTheyBelong) {
    auto t = Template(123);
    EXPECT_EQ(t.cx, 345);
    EXPECT_EQ(t.cy, 118);
    EXPECT_EQ(t.face, L"MS Sans Serif");
    EXPECT_EQ(t.pointSize, 8);
    EXPECT_NE(t.style & DS_MODALFRAME, 0u);
    ExpectItems(t, {{IDOK, L"Button", 289, 96, 50, 16},
                    {IDCANCEL, L"Button", 6, 96, 50, 16},
                    {277, L"Button", 101, 79, 230, 10},
                    {278, L"Static", 104, 7, 230, 62},
                    {-1, L"Static", 7, 7, 88, 82}});
    EXPECT_EQ(t.items[0].style & 0xF, static_cast<DWORD>(BS_DEFPUSHBUTTON));
    EXPECT_EQ(t.items[2].style & 0xF, static_cast<DWORD>(BS_AUTOCHECKBOX));
    EXPECT_EQ(t.items[4].textOrdinal, 306);
}

TEST(UiModuleTest, ProgressTemplateHasItsControlsWhereTheyBelong) {
    auto t = Template(1121);
    EXPECT_EQ(t.cx, 209);
    EXPECT_EQ(t.cy, 57);
    EXPECT_NE(t.style & DS_CENTER, 0u);
    EXPECT_NE(t.exStyle & WS_EX_TOOLWINDOW, 0u);
    ExpectItems(t, {{1246, L"msctls_progress32", 7, 44, 195, 7},
                    {1247, L"Static", 7, 17, 153, 8},
                    {-1, L"Static", 167, 7, 35, 30}});
    EXPECT_EQ(t.items[2].textOrdinal, 308);
}

TEST(UiModuleTest, PicturesAndStrings) {
    for (WORD id : {306, 308})
        EXPECT_NE(FindResourceW(ui::UiResourceModule(), MAKEINTRESOURCEW(id), RT_BITMAP), nullptr);
    EXPECT_EQ(ui::LoadUiString(1213, 0x0407), L"Basissynchronisation:");
    EXPECT_EQ(ui::LoadUiString(4000, 0x0409), L"");
}

}  // namespace
