#include "Quillmere/cabinet/CabStringW.h"

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

#include "Quillmere/cabinet/CabThrow.h"
#include "platform/win/Text.h"

namespace Cabinet {

namespace {

constexpr std::size_t kInitialUnits = 300;

bool IsFlagOrWidth(wchar_t c) {
    return c == L'-' || c == L'+' || c == L' ' || c == L'#' || c == L'.' || c == L'*' ||
           (c >= L'0' && c <= L'9');
}

bool IsTextConversion(wchar_t c) {
    return c == L's' || c == L'c' || c == L'S' || c == L'C';
}

// Formats are written as the platform's runtime reads a wide format: %s and %c
// take wide arguments, %S, %C, %hs and %hc narrow ones, %ls and %lc wide ones.
// The C library here reads a bare %s in a wide format as narrow, so every
// string and character conversion gets its explicit size before formatting.
std::wstring ToHostWideFormat(const wchar_t* format) {
    std::wstring out;
    for (const wchar_t* p = format; *p != L'\0'; ++p) {
        out.push_back(*p);
        if (*p != L'%') {
            continue;
        }
        if (p[1] == L'%') {
            out.push_back(*++p);
            continue;
        }
        while (IsFlagOrWidth(p[1])) {
            out.push_back(*++p);
        }
        const wchar_t* conversion = p + 1;
        wchar_t size = L'\0';
        if ((*conversion == L'h' || *conversion == L'l') && IsTextConversion(conversion[1])) {
            size = *conversion++;
        }
        if (!IsTextConversion(*conversion)) {
            continue;  // every other conversion means the same on both
        }
        bool upper = *conversion == L'S' || *conversion == L'C';
        bool wide = size == L'l' || (size == L'\0' && !upper);
        if (wide) {
            out.push_back(L'l');
        }
        out.push_back(upper ? static_cast<wchar_t>(*conversion + (L'a' - L'A')) : *conversion);
        p = conversion;
    }
    return out;
}

}  // namespace

CCabStringW::CCabStringW() {
    Reserve(kInitialUnits);
}

CCabStringW::CCabStringW(const wchar_t* text) {
    std::size_t length = text != nullptr ? std::wcslen(text) : 0;
    Reserve(length > kInitialUnits ? length : kInitialUnits);
    Assign(text);
}

CCabStringW::CCabStringW(const CCabStringW& other) : CCabStringW(other.Get()) {}

CCabStringW& CCabStringW::operator=(const CCabStringW& other) {
    if (this != &other) {
        Assign(other.Get());
    }
    return *this;
}

CCabStringW& CCabStringW::operator=(const wchar_t* text) {
    Assign(text);
    return *this;
}

CCabStringW::~CCabStringW() {
    std::free(m_buffer);
}

void CCabStringW::Reserve(std::size_t units) {
    if (units < m_capacity) {
        return;
    }
    std::size_t capacity = 2 * units;
    auto* buffer = static_cast<wchar_t*>(std::malloc(capacity * sizeof(wchar_t)));
    if (buffer == nullptr) {
        ThrowOutOfMemory();
    }
    buffer[0] = L'\0';
    if (m_buffer != nullptr) {
        std::wmemcpy(buffer, m_buffer, m_capacity);
        std::free(m_buffer);
    }
    m_buffer = buffer;
    m_capacity = capacity;
}

void CCabStringW::CheckTerminated() const {
    if (std::wmemchr(m_buffer, L'\0', m_capacity) == nullptr) {
        ThrowUnterminated();
    }
}

std::size_t CCabStringW::Len() const {
    CheckTerminated();
    return std::wcslen(m_buffer);
}

void CCabStringW::Clear() {
    m_buffer[0] = L'\0';
}

void CCabStringW::Assign(const wchar_t* text) {
    if (text == m_buffer) {
        CheckTerminated();
        return;
    }
    if (text != nullptr && text > m_buffer && text < m_buffer + m_capacity) {
        // A tail of this string: growing would free the source.
        CCabStringW copy(text);
        Assign(copy.Get());
        return;
    }
    std::size_t length = text != nullptr ? std::wcslen(text) : 0;
    Reserve(length + 1);
    std::wmemcpy(m_buffer, text != nullptr ? text : L"", length);
    m_buffer[length] = L'\0';
}

void CCabStringW::Append(const wchar_t* text) {
    if (text == nullptr) {
        return;
    }
    std::size_t own = Len();
    std::size_t length = std::wcslen(text);
    if (text >= m_buffer && text < m_buffer + m_capacity) {
        // Appending (part of) the string to itself: growing frees the source.
        CCabStringW copy(text);
        Append(copy.Get());
        return;
    }
    Reserve(own + length + 1);
    std::wmemcpy(m_buffer + own, text, length);
    m_buffer[own + length] = L'\0';
}

void CCabStringW::Format(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    FormatV(format, args);
    va_end(args);
}

void CCabStringW::FormatV(const wchar_t* format, va_list args) {
    const std::wstring hostFormat = ToHostWideFormat(format);
    for (;;) {
        va_list attempt;
        va_copy(attempt, args);
        int written = std::vswprintf(m_buffer, m_capacity, hostFormat.c_str(), attempt);
        va_end(attempt);
        if (written >= 0 && static_cast<std::size_t>(written) < m_capacity) {
            return;
        }
        // Nothing of a failed attempt may stay behind.
        Clear();
        Reserve(2 * m_capacity);
    }
}

void CCabStringW::AppendBackslash() {
    std::size_t length = Len();
    if (length == 0 || m_buffer[length - 1] != L'\\') {
        Append(L"\\");
    }
}

void CCabStringW::AssignCodePage(const char* text, UINT codePage) {
    if (text == nullptr || *text == '\0') {
        Clear();
        return;
    }
    int units = MultiByteToWideChar(codePage, 0, text, -1, nullptr, 0);
    if (units <= 0) {
        Clear();
        return;
    }
    Reserve(static_cast<std::size_t>(units));
    if (MultiByteToWideChar(codePage, 0, text, -1, m_buffer, static_cast<int>(m_capacity)) <= 0) {
        Clear();
    }
}

bool CCabStringW::IsAscii() const {
    std::size_t length = Len();
    for (std::size_t i = 0; i < length; ++i) {
        if (static_cast<std::uint32_t>(m_buffer[i]) >= 128) {
            return false;
        }
    }
    return true;
}

}  // namespace Cabinet
