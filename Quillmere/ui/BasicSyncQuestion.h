// The modal question of the basic synchronisation: transfer the whole folder
// now? With a check box to transfer only new items. Lives for one question:
// made, filled (SetMessage, m_language, EnableOnlyNewItems), run with
// DoModal, read, freed. UI thread only.
#pragma once

#include <string>

#include "Quillmere/ui/DialogWindow.h"
#include "platform/win/Types.h"

namespace ui {

// Dialog template and control ids.
constexpr WORD kBasicSyncQuestionTemplate = 123;
constexpr int kOnlyNewItemsCheck = 277;
constexpr int kQuestionMessageText = 278;

class CCBasicSyncQuestion : public DialogWindow {
public:
    CCBasicSyncQuestion() : DialogWindow(kBasicSyncQuestionTemplate) {}
    ~CCBasicSyncQuestion() override = default;

    // Stores the string id of the question and the window caption.
    void SetMessage(UINT messageId, const std::wstring& caption);
    // Lets the user tick "only new items" (disabled unless called).
    void EnableOnlyNewItems();

    // DoModal's result: IDOK (1) for YES, IDCANCEL (2) for NO or closing.
    // Only after IDOK does m_onlyNewItems carry the answer.
    bool ProcessWindowMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam,
                              LRESULT& result) override;

    // Every time the window is shown: centres it, fills its texts in
    // m_language, disables the check box unless enabled, and clears
    // m_onlyNewItems.
    void OnShowWindow();
    // m_onlyNewItems := the check box's state.
    void OnOnlyNewItemsClicked();

    std::wstring m_caption;
    UINT m_messageId = 0;
    // The language the texts are loaded in; set by the caller.
    LANGID m_language = 0;
    bool m_checkBoxDisabled = true;
    bool m_onlyNewItems = false;
};

}  // namespace ui
