#include "Quillmere/ui/BasicSyncQuestion.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "platform/win/Controls.h"
#include "platform/win/Dialog.h"
#include "platform/win/DialogTestSupport.h"
#include "platform/win/TestMachine.h"
#include "platform/win/UserInput.h"

namespace {

using win::testing::TextOf;

constexpr UINT kQuestionString = 1222;

class BasicSyncQuestionTest : public ::testing::Test {
protected:
    void TearDown() override {
        win::SetModalDialogHandler({});
        win::ClearModalDialogCalls();
    }

    // Runs the question with handler acting as the person in front of it.
    INT_PTR Ask(ui::CCBasicSyncQuestion& question, std::function<void(HWND)> act) {
        win::SetModalDialogHandler([act](const win::ModalDialogCall& call) { act(call.dialog); });
        return question.DoModal(nullptr);
    }

    win::testing::TestMachine m_machine;
};

TEST_F(BasicSyncQuestionTest, ShowsItsTextsInTheDialogsLanguage) {
    struct Case {
        LANGID language;
        const wchar_t* yes;
        const wchar_t* no;
        const wchar_t* check;
    };
    const Case cases[] = {
        {0x0407, L"JA", L"NEIN", L"Nur Elemente ab heute synchronisieren"},
        {0x0409, L"YES", L"NO", L"Only synchronized only items as from today"},
    };
    for (const auto& c : cases) {
        ui::CCBasicSyncQuestion question;
        question.SetMessage(kQuestionString, L"Basic synchronization:Calendar");
        question.m_language = c.language;
        std::wstring caption, yes, no, check, message;
        INT_PTR result = Ask(question, [&](HWND dialog) {
            caption = TextOf(dialog);
            yes = TextOf(GetDlgItem(dialog, IDOK));
            no = TextOf(GetDlgItem(dialog, IDCANCEL));
            check = TextOf(GetDlgItem(dialog, ui::kOnlyNewItemsCheck));
            message = TextOf(GetDlgItem(dialog, ui::kQuestionMessageText));
            win::ClickButton(GetDlgItem(dialog, IDCANCEL));
        });
        EXPECT_EQ(result, IDCANCEL);
        EXPECT_EQ(caption, L"Basic synchronization:Calendar");
        EXPECT_EQ(yes, c.yes);
        EXPECT_EQ(no, c.no);
        EXPECT_EQ(check, c.check);
        EXPECT_FALSE(message.empty());
        EXPECT_NE(message.find(c.language == 0x0407 ? L"Basissynchronisation" : L"basic"),
                  std::wstring::npos);
    }
}

TEST_F(BasicSyncQuestionTest, AnswerAndCheckBox) {
    struct Case {
        bool enable;
        bool tick;
        int button;
        INT_PTR result;
        bool onlyNew;
        bool checkEnabled;
    };
    const Case cases[] = {
        {true, true, IDOK, IDOK, true, true},
        {true, false, IDOK, IDOK, false, true},
        {true, true, IDCANCEL, IDCANCEL, true, true},  // the caller ignores it after NO
        {false, true, IDOK, IDOK, false, false},       // a disabled box takes no click
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.enable << c.tick << c.button);
        ui::CCBasicSyncQuestion question;
        question.SetMessage(kQuestionString, L"Q");
        question.m_language = 0x0409;
        if (c.enable)
            question.EnableOnlyNewItems();
        bool checkEnabled = false;
        INT_PTR result = Ask(question, [&](HWND dialog) {
            HWND check = GetDlgItem(dialog, ui::kOnlyNewItemsCheck);
            checkEnabled = IsWindowEnabled(check) != FALSE;
            if (c.tick) {
                EXPECT_EQ(win::ClickButton(check), c.enable);
            }
            win::ClickButton(GetDlgItem(dialog, c.button));
        });
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(checkEnabled, c.checkEnabled);
        EXPECT_EQ(question.m_onlyNewItems, c.onlyNew);
    }
}

TEST_F(BasicSyncQuestionTest, ClosingTheWindowAnswersNo) {
    ui::CCBasicSyncQuestion question;
    question.SetMessage(kQuestionString, L"Q");
    INT_PTR result = Ask(question, [](HWND dialog) { SendMessageW(dialog, WM_CLOSE, 0, 0); });
    EXPECT_EQ(result, IDCANCEL);
}

TEST_F(BasicSyncQuestionTest, OnlyNewItemsIsResetEachTimeTheWindowIsShown) {
    ui::CCBasicSyncQuestion question;
    question.SetMessage(kQuestionString, L"Q");
    question.EnableOnlyNewItems();
    question.m_onlyNewItems = true;
    bool atFirstShow = true, afterTick = false, afterReshow = true;
    INT_PTR result = Ask(question, [&](HWND dialog) {
        atFirstShow = question.m_onlyNewItems;
        win::ClickButton(GetDlgItem(dialog, ui::kOnlyNewItemsCheck));
        afterTick = question.m_onlyNewItems;
        ShowWindow(dialog, SW_HIDE);
        ShowWindow(dialog, SW_SHOW);
        afterReshow = question.m_onlyNewItems;
        win::ClickButton(GetDlgItem(dialog, IDOK));
    });
    EXPECT_EQ(result, IDOK);
    EXPECT_FALSE(atFirstShow);
    EXPECT_TRUE(afterTick);
    EXPECT_FALSE(afterReshow);
}

TEST_F(BasicSyncQuestionTest, AMessageThatCannotBeLoadedLeavesTheTextEmpty) {
    ui::CCBasicSyncQuestion question;
    question.SetMessage(4000, L"Q");
    std::wstring message = L"x";
    Ask(question, [&](HWND dialog) {
        message = TextOf(GetDlgItem(dialog, ui::kQuestionMessageText));
        win::ClickButton(GetDlgItem(dialog, IDCANCEL));
    });
    EXPECT_EQ(message, L"");
}

TEST_F(BasicSyncQuestionTest, IsCentredOnTheScreenWithoutOwner) {
    ui::CCBasicSyncQuestion question;
    question.SetMessage(kQuestionString, L"Q");
    RECT own{}, screen{};
    Ask(question, [&](HWND dialog) {
        GetWindowRect(dialog, &own);
        win::ClickButton(GetDlgItem(dialog, IDCANCEL));
    });
    GetWindowRect(GetDesktopWindow(), &screen);
    EXPECT_LE(std::abs((own.left + own.right) - (screen.left + screen.right)), 1);
    EXPECT_LE(std::abs((own.top + own.bottom) - (screen.top + screen.bottom)), 1);
}

TEST_F(BasicSyncQuestionTest, IsCentredOverItsOwner) {
    HWND owner = CreateWindowExW(0, L"Static", L"Outlook", WS_POPUP | WS_VISIBLE, 100, 50, 900, 700,
                                 nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(owner, nullptr);
    ui::CCBasicSyncQuestion question;
    question.SetMessage(kQuestionString, L"Q");
    RECT own{};
    HWND seenOwner = nullptr;
    win::SetModalDialogHandler([&](const win::ModalDialogCall& call) {
        GetWindowRect(call.dialog, &own);
        seenOwner = call.owner;
        win::ClickButton(GetDlgItem(call.dialog, IDOK));
    });
    EXPECT_EQ(question.DoModal(owner), IDOK);
    EXPECT_EQ(seenOwner, owner);
    EXPECT_LE(std::abs((own.left + own.right) - (100 + 1000)), 1);
    EXPECT_LE(std::abs((own.top + own.bottom) - (50 + 750)), 1);
    DestroyWindow(owner);
}

}  // namespace
