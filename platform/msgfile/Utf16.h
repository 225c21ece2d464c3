// UTF-16LE <-> wide text for the names and texts of message files.
// Characters above U+FFFF become surrogate pairs; on the way back pairs join
// and unpaired surrogates become U+FFFD. Decoding stops at the first NUL
// unit, as MAPI texts end there.
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
