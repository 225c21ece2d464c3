#include "platform/msgfile/Utf16.h"

#include "platform/win/Text.h"

namespace msgfile {

std::size_t Utf16Length(std::wstring_view text) {
    return win::ToUtf16(text).size();
}

std::vector<std::uint8_t> EncodeUtf16Le(std::wstring_view text) {
    return win::ToUtf16Le(text);
}

std::wstring DecodeUtf16Le(const std::uint8_t* data, std::size_t size) {
    std::size_t units = 0;
    while (units < size / 2 && (data[2 * units] != 0 || data[2 * units + 1] != 0)) {
        ++units;
    }
    return win::FromUtf16Le(data, 2 * units);
}

}  // namespace msgfile
