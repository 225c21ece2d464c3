#include "platform/win/CommonDialog.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/win/Controls.h"
#include "platform/win/TestMachine.h"

namespace {

constexpr WCHAR kFilter[] = L"Text files (*.txt)\0*.txt\0All files\0*.*\0";

class CommonDialogTest : public ::testing::Test {
protected:
    void SetUp() override { win::ClearFileDialogCalls(); }
    void TearDown() override {
        win::SetFileDialogHandler({});
        win::ClearFileDialogCalls();
    }

    // A save dialog as a program offers one: proposed name, folder, filter,
    // default extension.
    OPENFILENAMEW Offer(DWORD maxFile = 255) {
        OPENFILENAMEW ofn{};
        ofn.lStructSize = sizeof ofn;
        ofn.lpstrFilter = kFilter;
        ofn.nFilterIndex = 1;
        m_file.assign(maxFile ? maxFile : 1, L'\0');
        std::wstring proposed = L"Proposed.txt";
        proposed.copy(m_file.data(), m_file.size() - 1);  // cut to the buffer
        ofn.lpstrFile = m_file.data();
        ofn.nMaxFile = maxFile;
        m_title.assign(255, L'\0');
        ofn.lpstrFileTitle = m_title.data();
        ofn.nMaxFileTitle = 255;
        ofn.lpstrInitialDir = L"C:\\Users\\ann\\Desktop";
        ofn.lpstrDefExt = L"txt";
        ofn.Flags = OFN_CREATEPROMPT | OFN_HIDEREADONLY;
        return ofn;
    }

    win::testing::TestMachine m_machine;
    std::wstring m_file;
    std::wstring m_title;
};

TEST_F(CommonDialogTest, WithoutHandlerTheDialogIsCancelled) {
    OPENFILENAMEW ofn = Offer();
    EXPECT_FALSE(GetSaveFileNameW(&ofn));
    EXPECT_EQ(CommDlgExtendedError(), 0u);
    EXPECT_EQ(std::wstring(ofn.lpstrFile), L"Proposed.txt") << "the buffer is left alone";
    ASSERT_EQ(win::FileDialogCalls().size(), 1u);
    EXPECT_TRUE(win::FileDialogCalls()[0].result.empty());
}

TEST_F(CommonDialogTest, TheHandlerSeesWhatTheProgramOffered) {
    win::RegisterControlClasses();
    HWND owner = CreateWindowExW(0, L"Static", L"owner", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                                 nullptr, nullptr);
    ASSERT_NE(owner, nullptr);
    win::FileDialogCall seen;
    win::SetFileDialogHandler([&](const win::FileDialogCall& call) -> std::optional<std::wstring> {
        seen = call;
        return std::nullopt;
    });
    OPENFILENAMEW ofn = Offer();
    ofn.hwndOwner = owner;
    EXPECT_FALSE(GetSaveFileNameW(&ofn));
    EXPECT_EQ(CommDlgExtendedError(), 0u);
    EXPECT_TRUE(seen.save);
    EXPECT_EQ(seen.owner, owner);
    EXPECT_TRUE(seen.ownerDisabled);
    EXPECT_TRUE(IsWindowEnabled(owner)) << "enabled again after the dialog";
    ASSERT_EQ(seen.filters.size(), 2u);
    EXPECT_EQ(seen.filters[0].first, L"Text files (*.txt)");
    EXPECT_EQ(seen.filters[0].second, L"*.txt");
    EXPECT_EQ(seen.filters[1].second, L"*.*");
    EXPECT_EQ(seen.fileName, L"Proposed.txt");
    EXPECT_EQ(seen.initialDir, L"C:\\Users\\ann\\Desktop");
    EXPECT_EQ(seen.defaultExt, L"txt");
    EXPECT_EQ(seen.flags, OFN_CREATEPROMPT | OFN_HIDEREADONLY);
    EXPECT_EQ(seen.maxFile, 255u);
    DestroyWindow(owner);
}

TEST_F(CommonDialogTest, AConfirmedAnswerBecomesTheFullPath) {
    struct Case {
        const WCHAR* answer;
        const WCHAR* path;
        WORD extension;
    } cases[] = {
        {L"C:\\logs\\copy.txt", L"C:\\logs\\copy.txt", 13},
        {L"copy", L"C:\\Users\\ann\\Desktop\\copy.txt", 26},
        {L"..\\copy.log", L"C:\\Users\\ann\\copy.log", 18},
        {L"D:\\a.b\\noext", L"D:\\a.b\\noext.txt", 13},
    };
    for (const Case& c : cases) {
        win::SetFileDialogHandler(
            [&](const win::FileDialogCall&) { return std::optional<std::wstring>(c.answer); });
        OPENFILENAMEW ofn = Offer();
        ASSERT_TRUE(GetSaveFileNameW(&ofn)) << CommDlgExtendedError();
        EXPECT_EQ(CommDlgExtendedError(), 0u);
        std::wstring path = ofn.lpstrFile;
        EXPECT_EQ(path, c.path);
        EXPECT_EQ(ofn.nFileExtension, c.extension) << path;
        EXPECT_EQ(path.substr(ofn.nFileOffset), std::wstring(ofn.lpstrFileTitle));
        EXPECT_EQ(win::FileDialogCalls().back().result, c.path);
    }
}

TEST_F(CommonDialogTest, FailuresGiveTheirExtendedError) {
    win::SetFileDialogHandler([](const win::FileDialogCall&) {
        return std::optional<std::wstring>(L"C:\\a\\rather\\long\\name.txt");
    });
    OPENFILENAMEW small = Offer(10);
    EXPECT_FALSE(GetSaveFileNameW(&small));
    EXPECT_EQ(CommDlgExtendedError(), FNERR_BUFFERTOOSMALL);
    EXPECT_EQ(static_cast<DWORD>(small.lpstrFile[0]), 26u) << "characters needed";

    OPENFILENAMEW wrongSize = Offer();
    wrongSize.lStructSize = sizeof wrongSize - 8;
    EXPECT_FALSE(GetSaveFileNameW(&wrongSize));
    EXPECT_EQ(CommDlgExtendedError(), CDERR_STRUCTSIZE);

    OPENFILENAMEW badOwner = Offer();
    badOwner.hwndOwner = reinterpret_cast<HWND>(0x7654321);
    EXPECT_FALSE(GetSaveFileNameW(&badOwner));
    EXPECT_EQ(CommDlgExtendedError(), CDERR_DIALOGFAILURE);

    OPENFILENAMEW noBuffer = Offer();
    noBuffer.lpstrFile = nullptr;
    EXPECT_FALSE(GetSaveFileNameW(&noBuffer));
    EXPECT_EQ(CommDlgExtendedError(), CDERR_INITIALIZATION);

    win::SetFileDialogHandler([](const win::FileDialogCall&) {
        return std::optional<std::wstring>(L"\\\\server\\share\\x.txt");
    });
    OPENFILENAMEW badName = Offer();
    EXPECT_FALSE(GetSaveFileNameW(&badName));
    EXPECT_EQ(CommDlgExtendedError(), FNERR_INVALIDFILENAME);

    // A later cancel clears the error again.
    win::SetFileDialogHandler({});
    OPENFILENAMEW cancelled = Offer();
    EXPECT_FALSE(GetSaveFileNameW(&cancelled));
    EXPECT_EQ(CommDlgExtendedError(), 0u);
}

TEST_F(CommonDialogTest, TheOpenDialogIsRecordedAsSuch) {
    win::SetFileDialogHandler(
        [](const win::FileDialogCall&) { return std::optional<std::wstring>(L"C:\\in.txt"); });
    OPENFILENAMEW ofn = Offer();
    ASSERT_TRUE(GetOpenFileNameW(&ofn));
    ASSERT_EQ(win::FileDialogCalls().size(), 1u);
    EXPECT_FALSE(win::FileDialogCalls()[0].save);
}

}  // namespace
