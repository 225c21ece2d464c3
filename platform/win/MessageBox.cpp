#include "platform/win/MessageBox.h"

#include <cstdio>

#include "platform/win/Errors.h"
#include "platform/win/Mutex.h"
#include "platform/win/Text.h"
#include "platform/win/Threads.h"

namespace win {
namespace {

struct MessageBoxState {
    Mutex mutex;
    std::function<int(const MessageBoxCall&)> handler GUARDED_BY(mutex);
    std::vector<MessageBoxCall> calls GUARDED_BY(mutex);
};
MessageBoxState& State() {
    static MessageBoxState* state = new MessageBoxState;
    return *state;
}

// The buttons of each set, left to right.
std::vector<int> Buttons(UINT type) {
    switch (type & MB_TYPEMASK) {
        case MB_OK:
            return {IDOK};
        case MB_OKCANCEL:
            return {IDOK, IDCANCEL};
        case MB_ABORTRETRYIGNORE:
            return {IDABORT, IDRETRY, IDIGNORE};
        case MB_YESNOCANCEL:
            return {IDYES, IDNO, IDCANCEL};
        case MB_YESNO:
            return {IDYES, IDNO};
        case MB_RETRYCANCEL:
            return {IDRETRY, IDCANCEL};
        case MB_CANCELTRYCONTINUE:
            return {IDCANCEL, IDTRYAGAIN, IDCONTINUE};
        default:
            return {};
    }
}

std::string Utf8(const std::wstring& text) {
    if (text.empty())
        return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                            nullptr, nullptr);
    return out;
}

std::wstring Widen(const char* text) {
    if (!text || !*text)
        return {};
    int n = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n > 0 ? n : 1), L'\0');
    if (n > 0)
        MultiByteToWideChar(CP_ACP, 0, text, -1, out.data(), n);
    out.resize(out.size() - 1);
    return out;
}

}  // namespace

void SetMessageBoxHandler(std::function<int(const MessageBoxCall&)> handler) {
    MessageBoxState& s = State();
    MutexLock lock(s.mutex);
    s.handler = std::move(handler);
}

int DefaultMessageBoxAnswer(UINT type) {
    std::vector<int> buttons = Buttons(type);
    if (buttons.empty())
        return 0;
    std::size_t index = (type & MB_DEFMASK) >> 8;
    return index < buttons.size() ? buttons[index] : buttons.front();
}

std::vector<MessageBoxCall> MessageBoxCalls() {
    MessageBoxState& s = State();
    MutexLock lock(s.mutex);
    return s.calls;
}

void ClearMessageBoxCalls() {
    MessageBoxState& s = State();
    MutexLock lock(s.mutex);
    s.calls.clear();
}

}  // namespace win

int MessageBoxW(HWND owner, const WCHAR* text, const WCHAR* caption, UINT type) {
    if (owner && !IsWindow(owner)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (win::Buttons(type).empty()) {
        SetLastError(ERROR_INVALID_MSGBOX_STYLE);
        return 0;
    }
    win::MessageBoxCall call;
    call.owner = owner;
    call.text = text ? text : L"";
    call.caption = caption ? caption : L"Error";
    call.type = type;
    call.threadId = GetCurrentThreadId();

    win::MessageBoxState& s = win::State();
    std::function<int(const win::MessageBoxCall&)> handler;
    {
        win::MutexLock lock(s.mutex);
        handler = s.handler;
    }
    if (handler) {
        call.result = handler(call);
    } else {
        std::string line = "MessageBox: " + win::Utf8(call.caption) + ": " + win::Utf8(call.text);
        std::fprintf(stderr, "%s\n", line.c_str());
        call.result = win::DefaultMessageBoxAnswer(type);
    }
    int result = call.result;
    win::MutexLock lock(s.mutex);
    s.calls.push_back(std::move(call));
    return result;
}

int MessageBoxExW(HWND owner, const WCHAR* text, const WCHAR* caption, UINT type, WORD language) {
    return MessageBoxW(owner, text, caption, type);
}

int MessageBoxA(HWND owner, const char* text, const char* caption, UINT type) {
    std::wstring wideText = win::Widen(text);
    std::wstring wideCaption = win::Widen(caption);
    return MessageBoxW(owner, wideText.c_str(), caption ? wideCaption.c_str() : nullptr, type);
}
