#include "platform/msgfile/Utf16.h"

#include "platform/msgfile/LittleEndian.h"

namespace msgfile {

namespace {
constexpr std::uint32_t kReplacement = 0xFFFD;
}

std::size_t Utf16Length(std::wstring_view text) {
    std::size_t n = 0;
    for (wchar_t c : text) {
        n += static_cast<std::uint32_t>(c) > 0xFFFF && static_cast<std::uint32_t>(c) <= 0x10FFFF
                 ? 2
                 : 1;
    }
    return n;
}

std::vector<std::uint8_t> EncodeUtf16Le(std::wstring_view text) {
    std::vector<std::uint8_t> out;
    out.reserve(text.size() * 2);
    for (wchar_t wc : text) {
        auto c = static_cast<std::uint32_t>(wc);
        if (c > 0x10FFFF) {
            c = kReplacement;
        }
        if (c > 0xFFFF) {
            c -= 0x10000;
            le::Append16(out, static_cast<std::uint16_t>(0xD800 | (c >> 10)));
            le::Append16(out, static_cast<std::uint16_t>(0xDC00 | (c & 0x3FF)));
        } else {
            le::Append16(out, static_cast<std::uint16_t>(c));
        }
    }
    return out;
}

std::wstring DecodeUtf16Le(const std::uint8_t* data, std::size_t size) {
    std::wstring out;
    const std::size_t units = size / 2;
    out.reserve(units);
    for (std::size_t i = 0; i < units; ++i) {
        std::uint32_t u = le::Get16(data + 2 * i);
        if (u == 0) {
            break;
        }
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units) {
            std::uint32_t low = le::Get16(data + 2 * (i + 1));
            if (low >= 0xDC00 && low <= 0xDFFF) {
                out.push_back(
                    static_cast<wchar_t>(0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00)));
                ++i;
                continue;
            }
        }
        if (u >= 0xD800 && u <= 0xDFFF) {
            u = kReplacement;
        }
        out.push_back(static_cast<wchar_t>(u));
    }
    return out;
}

}  // namespace msgfile
