// The cabinet classes' own 8-bit string: an owned, always terminated buffer.
// Same growth and throwing rules as CCabStringW (see there); in addition
// AssignAnsi throws "Unicode string cannot be converted to Ansi!".
//
// Threading: none; a string belongs to its owner's thread.
#pragma once

#include <cstdarg>
#include <cstddef>

#include "platform/win/Types.h"

namespace Cabinet {

class CCabStringA {
public:
    CCabStringA();
    explicit CCabStringA(const char* text);
    CCabStringA(const CCabStringA& other);
    CCabStringA& operator=(const CCabStringA& other);
    CCabStringA& operator=(const char* text);
    ~CCabStringA();

    void Assign(const char* text);
    void Append(const char* text);
    void Append(const CCabStringA& other) { Append(other.Get()); }
    std::size_t Len() const;
    const char* Get() const { return m_buffer; }
    char* Buffer() { return m_buffer; }
    std::size_t Capacity() const { return m_capacity; }
    void Clear();
    void Reserve(std::size_t units);

    // printf-style formatting into this string; grows fourfold until it fits.
    void Format(const char* format, ...);
    void FormatV(const char* format, va_list args);

    // Assigns the UTF-8 form of a wide text.
    void AssignUtf8(const wchar_t* text);
    // Assigns a wide text character by character; every character must be at
    // most 255, else throws "Unicode string cannot be converted to Ansi!".
    void AssignAnsi(const wchar_t* text);

private:
    void CheckTerminated() const;

    char* m_buffer = nullptr;
    std::size_t m_capacity = 0;
};

}  // namespace Cabinet
