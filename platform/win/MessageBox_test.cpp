#include "platform/win/MessageBox.h"

#include <gtest/gtest.h>

#include <thread>

#include "platform/win/Threads.h"
#include "platform/win/WindowTestSupport.h"

namespace {

class MessageBoxTest : public ::testing::Test {
protected:
    void SetUp() override {
        win::SetMessageBoxHandler(nullptr);
        win::ClearMessageBoxCalls();
    }
    void TearDown() override { win::SetMessageBoxHandler(nullptr); }
};

TEST_F(MessageBoxTest, TheHandlerAnswersAndEveryCallIsRecorded) {
    std::vector<std::wstring> seenByHandler;
    win::SetMessageBoxHandler([&](const win::MessageBoxCall& call) {
        seenByHandler.push_back(call.caption);
        return IDNO;
    });
    EXPECT_EQ(
        MessageBoxW(nullptr, L"Quillmere", L"QuillmereRDO.dll  is not correctly registered", MB_OK),
        IDNO);
    DWORD worker = 0;
    std::thread([&] {
        worker = GetCurrentThreadId();
        MessageBoxW(nullptr, L"second", L"from a worker", MB_YESNO | MB_ICONQUESTION);
    }).join();
    auto calls = win::MessageBoxCalls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].text, L"Quillmere");
    EXPECT_EQ(calls[0].caption, L"QuillmereRDO.dll  is not correctly registered");
    EXPECT_EQ(calls[0].type, MB_OK);
    EXPECT_EQ(calls[0].owner, nullptr);
    EXPECT_EQ(calls[0].threadId, GetCurrentThreadId());
    EXPECT_EQ(calls[0].result, IDNO);
    EXPECT_EQ(calls[1].type, MB_YESNO | MB_ICONQUESTION);
    EXPECT_EQ(calls[1].threadId, worker);
    EXPECT_EQ(seenByHandler.size(), 2u);
}

struct DefaultCase {
    UINT type;
    int answer;
};

class MessageBoxDefaultTest : public MessageBoxTest,
                              public ::testing::WithParamInterface<DefaultCase> {};

TEST_P(MessageBoxDefaultTest, WithoutAHandlerTheDefaultButtonAnswers) {
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(MessageBoxW(nullptr, L"text", L"caption", GetParam().type), GetParam().answer);
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(win::DefaultMessageBoxAnswer(GetParam().type), GetParam().answer);
}

INSTANTIATE_TEST_SUITE_P(
    ButtonSets, MessageBoxDefaultTest,
    ::testing::Values(
        DefaultCase{MB_OK, IDOK}, DefaultCase{MB_OK | MB_DEFBUTTON3, IDOK},
        DefaultCase{MB_OKCANCEL, IDOK}, DefaultCase{MB_OKCANCEL | MB_DEFBUTTON2, IDCANCEL},
        DefaultCase{MB_ABORTRETRYIGNORE | MB_DEFBUTTON2, IDRETRY},
        DefaultCase{MB_ABORTRETRYIGNORE | MB_DEFBUTTON3, IDIGNORE},
        DefaultCase{MB_YESNOCANCEL, IDYES}, DefaultCase{MB_YESNOCANCEL | MB_DEFBUTTON2, IDNO},
        DefaultCase{MB_YESNOCANCEL | MB_DEFBUTTON3, IDCANCEL},
        DefaultCase{MB_YESNO | MB_ICONWARNING, IDYES}, DefaultCase{MB_YESNO | MB_DEFBUTTON2, IDNO},
        DefaultCase{MB_RETRYCANCEL, IDRETRY}, DefaultCase{MB_RETRYCANCEL | MB_DEFBUTTON2, IDCANCEL},
        DefaultCase{MB_CANCELTRYCONTINUE | MB_DEFBUTTON3, IDCONTINUE},
        DefaultCase{MB_YESNO | MB_DEFBUTTON4, IDYES}));

TEST_F(MessageBoxTest, WithoutAHandlerTheTextGoesToStandardError) {
    ::testing::internal::CaptureStderr();
    MessageBoxW(nullptr, L"There are more Mails to send.", L"Quillmere \u00e9", MB_OK);
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "MessageBox: Quillmere \xc3\xa9: There are more Mails to send.\n");
}

TEST_F(MessageBoxTest, ANullCaptionIsError) {
    win::SetMessageBoxHandler([](const win::MessageBoxCall&) { return IDOK; });
    MessageBoxW(nullptr, nullptr, nullptr, MB_OK);
    MessageBoxA(nullptr, "caf\xe9", "A", MB_OK);
    auto calls = win::MessageBoxCalls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].caption, L"Error");
    EXPECT_EQ(calls[0].text, L"");
    EXPECT_EQ(calls[1].text, L"caf\u00e9");
    EXPECT_EQ(calls[1].caption, L"A");
}

TEST_F(MessageBoxTest, BadStylesAndOwnersFail) {
    win::SetMessageBoxHandler([](const win::MessageBoxCall&) { return IDOK; });
    EXPECT_EQ(MessageBoxW(nullptr, L"t", L"c", 0x0000000C), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_MSGBOX_STYLE);
    EXPECT_EQ(MessageBoxW(reinterpret_cast<HWND>(0x7FFF0000), L"t", L"c", MB_OK), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_TRUE(win::MessageBoxCalls().empty());
}

}  // namespace
