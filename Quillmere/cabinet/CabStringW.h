// The cabinet classes' own wide string: an owned, always terminated buffer.
//
// Failures are thrown as plain 8-bit C strings (const char*), never as
// exception objects: "Fatal error: Out of memory!" when a buffer cannot be
// allocated, "The string has no terminating null character!" when the text no
// longer ends within the buffer. Growth: reserving n units when n is not below
// the capacity allocates 2n and keeps the text, so a new string holds at least
// 600 units.
//
// Threading: none; a string belongs to its owner's thread.
#pragma once

#include <cstdarg>
#include <cstddef>

#include "platform/win/Types.h"

namespace Cabinet {

class CCabStringW {
public:
    CCabStringW();
    explicit CCabStringW(const wchar_t* text);
    CCabStringW(const CCabStringW& other);
    CCabStringW& operator=(const CCabStringW& other);
    CCabStringW& operator=(const wchar_t* text);
    ~CCabStringW();

    void Assign(const wchar_t* text);
    void Append(const wchar_t* text);
    void Append(const CCabStringW& other) { Append(other.Get()); }
    // Length in characters up to the terminator.
    std::size_t Len() const;
    const wchar_t* Get() const { return m_buffer; }
    // Direct access for in-place edits; the text must stay terminated within
    // Capacity().
    wchar_t* Buffer() { return m_buffer; }
    std::size_t Capacity() const { return m_capacity; }
    void Clear();
    // Makes room for at least `units` characters plus the terminator.
    void Reserve(std::size_t units);

    // printf-style formatting into this string (replaces the text), with the
    // platform runtime's reading of a wide format: %s and %c take wide
    // arguments, %S, %C, %hs and %hc narrow ones. Grows the capacity fourfold
    // until the result fits.
    void Format(const wchar_t* format, ...);
    void FormatV(const wchar_t* format, va_list args);

    // Appends a backslash unless the text already ends in one.
    void AppendBackslash();
    // Assigns 8-bit text of the given code page (CP_UTF8, 1252, CP_ACP, ...).
    void AssignCodePage(const char* text, UINT codePage);
    // True when every character is below 128.
    bool IsAscii() const;

private:
    void CheckTerminated() const;

    wchar_t* m_buffer = nullptr;
    std::size_t m_capacity = 0;
};

}  // namespace Cabinet
