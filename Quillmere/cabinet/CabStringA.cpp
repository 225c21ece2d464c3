#include "Quillmere/cabinet/CabStringA.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "Quillmere/cabinet/CabThrow.h"
#include "platform/win/Text.h"

namespace Cabinet {

namespace {
constexpr std::size_t kInitialUnits = 300;
// A wide character never needs more than four UTF-8 bytes.
constexpr std::size_t kUtf8BytesPerChar = 4;
}  // namespace

CCabStringA::CCabStringA() {
    Reserve(kInitialUnits);
}

CCabStringA::CCabStringA(const char* text) {
    std::size_t length = text != nullptr ? std::strlen(text) : 0;
    Reserve(length > kInitialUnits ? length : kInitialUnits);
    Assign(text);
}

CCabStringA::CCabStringA(const CCabStringA& other) : CCabStringA(other.Get()) {}

CCabStringA& CCabStringA::operator=(const CCabStringA& other) {
    if (this != &other) {
        Assign(other.Get());
    }
    return *this;
}

CCabStringA& CCabStringA::operator=(const char* text) {
    Assign(text);
    return *this;
}

CCabStringA::~CCabStringA() {
    std::free(m_buffer);
}

void CCabStringA::Reserve(std::size_t units) {
    if (units < m_capacity) {
        return;
    }
    std::size_t capacity = 2 * units;
    auto* buffer = static_cast<char*>(std::malloc(capacity));
    if (buffer == nullptr) {
        ThrowOutOfMemory();
    }
    buffer[0] = '\0';
    if (m_buffer != nullptr) {
        std::memcpy(buffer, m_buffer, m_capacity);
        std::free(m_buffer);
    }
    m_buffer = buffer;
    m_capacity = capacity;
}

void CCabStringA::CheckTerminated() const {
    if (std::memchr(m_buffer, '\0', m_capacity) == nullptr) {
        ThrowUnterminated();
    }
}

std::size_t CCabStringA::Len() const {
    CheckTerminated();
    return std::strlen(m_buffer);
}

void CCabStringA::Clear() {
    m_buffer[0] = '\0';
}

void CCabStringA::Assign(const char* text) {
    if (text == m_buffer) {
        CheckTerminated();
        return;
    }
    if (text != nullptr && text > m_buffer && text < m_buffer + m_capacity) {
        CCabStringA copy(text);
        Assign(copy.Get());
        return;
    }
    std::size_t length = text != nullptr ? std::strlen(text) : 0;
    Reserve(length + 1);
    std::memcpy(m_buffer, text != nullptr ? text : "", length);
    m_buffer[length] = '\0';
}

void CCabStringA::Append(const char* text) {
    if (text == nullptr) {
        return;
    }
    std::size_t own = Len();
    if (text >= m_buffer && text < m_buffer + m_capacity) {
        CCabStringA copy(text);
        Append(copy.Get());
        return;
    }
    std::size_t length = std::strlen(text);
    Reserve(own + length + 1);
    std::memcpy(m_buffer + own, text, length);
    m_buffer[own + length] = '\0';
}

void CCabStringA::Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    FormatV(format, args);
    va_end(args);
}

void CCabStringA::FormatV(const char* format, va_list args) {
    for (;;) {
        va_list attempt;
        va_copy(attempt, args);
        int written = std::vsnprintf(m_buffer, m_capacity, format, attempt);
        va_end(attempt);
        if (written >= 0 && static_cast<std::size_t>(written) < m_capacity) {
            return;
        }
        Clear();
        Reserve(2 * m_capacity);
    }
}

void CCabStringA::AssignUtf8(const wchar_t* text) {
    std::size_t length = text != nullptr ? std::wcslen(text) : 0;
    Reserve(length * kUtf8BytesPerChar + 1);
    Clear();
    if (length == 0) {
        return;
    }
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), m_buffer,
                                    static_cast<int>(m_capacity - 1), nullptr, nullptr);
    m_buffer[bytes > 0 ? bytes : 0] = '\0';
}

void CCabStringA::AssignAnsi(const wchar_t* text) {
    std::size_t length = text != nullptr ? std::wcslen(text) : 0;
    for (std::size_t i = 0; i < length; ++i) {
        if (static_cast<std::uint32_t>(text[i]) > 255) {
            ThrowNotAnsi();
        }
    }
    Reserve(length + 1);
    for (std::size_t i = 0; i < length; ++i) {
        m_buffer[i] = static_cast<char>(static_cast<unsigned char>(text[i]));
    }
    m_buffer[length] = '\0';
}

}  // namespace Cabinet
