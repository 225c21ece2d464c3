// The COM error exception of the throwing wrapper forms: the wrappers of
// Outlook's object model raise it with the failing HRESULT; callers catch it
// where the raw forms would test the result.
#pragma once

#include <exception>

#include "platform/win/Errors.h"

class _com_error : public std::exception {
public:
    explicit _com_error(HRESULT hr) : m_hr(hr) {}
    HRESULT Error() const { return m_hr; }
    const char* what() const noexcept override { return "COM error"; }

private:
    HRESULT m_hr;
};

// Throws _com_error(hr).
[[noreturn]] inline void _com_issue_error(HRESULT hr) {
    throw _com_error(hr);
}
// Throws for a failed hr, passes a success through.
inline HRESULT ThrowIfFailed(HRESULT hr) {
    if (FAILED(hr))
        _com_issue_error(hr);
    return hr;
}
