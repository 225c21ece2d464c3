#include "Quillmere/cabinet/FolderTree.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "Quillmere/cabinet/testing/CabTestSupport.h"
#include "platform/win/Errors.h"

namespace Cabinet {
namespace {

using testing::ScratchUser;

TEST(FolderTreeTest, CreatesEveryMissingParent) {
    ScratchUser user;
    EXPECT_EQ(CreateFolderTree(L"C:\\a\\b\\c\\"), ERROR_SUCCESS);
    EXPECT_TRUE(std::filesystem::is_directory(ScratchUser::Host(L"C:\\a\\b\\c")));
    // An existing directory succeeds at once.
    EXPECT_EQ(CreateFolderTree(L"C:\\a\\b"), ERROR_SUCCESS);
}

TEST(FolderTreeTest, FailuresGiveTheWindowsError) {
    ScratchUser user;
    EXPECT_EQ(CreateFolderTree(L"nobackslash"), ERROR_INVALID_DRIVE);
    testing::WriteHostFile(ScratchUser::Host(L"C:\\file"), {1});
    EXPECT_NE(CreateFolderTree(L"C:\\file\\sub"), ERROR_SUCCESS);
    EXPECT_FALSE(std::filesystem::exists(ScratchUser::Host(L"C:\\file") + "/sub"));
}

}  // namespace
}  // namespace Cabinet
