// UTF-16LE <-> wide text for the names and texts of message files, over the
// platform's conversions. Decoding stops at the first NUL unit, as MAPI
// texts end there (writers may or may not store the terminator).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace msgfile {

std::vector<std::uint8_t> EncodeUtf16Le(std::wstring_view text);
std::wstring DecodeUtf16Le(const std::uint8_t* data, std::size_t size);
// Count of UTF-16 units text needs.
std::size_t Utf16Length(std::wstring_view text);

}  // namespace msgfile
