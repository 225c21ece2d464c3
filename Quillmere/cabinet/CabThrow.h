// The three failures of the cabinet string classes and buffers. They are thrown
// as plain 8-bit C strings (const char*), which is what callers catch.
#pragma once

namespace Cabinet {

inline constexpr const char* kOutOfMemoryText = "Fatal error: Out of memory!";
inline constexpr const char* kUnterminatedText = "The string has no terminating null character!";
inline constexpr const char* kNotAnsiText = "Unicode string cannot be converted to Ansi!";

[[noreturn]] inline void ThrowOutOfMemory() {
    throw kOutOfMemoryText;
}
[[noreturn]] inline void ThrowUnterminated() {
    throw kUnterminatedText;
}
[[noreturn]] inline void ThrowNotAnsi() {
    throw kNotAnsiText;
}

}  // namespace Cabinet
