#include "platform/cabinet/CabFormat.h"

namespace cabinet {

std::uint32_t Checksum(const std::uint8_t* data, std::size_t n, std::uint32_t seed) {
    std::uint32_t sum = seed;
    std::size_t words = n / 4;
    for (std::size_t i = 0; i < words; ++i) {
        sum ^= GetU32(data + 4 * i);
    }
    const std::uint8_t* tail = data + 4 * words;
    std::uint32_t last = 0;
    switch (n % 4) {
        case 3:
            last = (static_cast<std::uint32_t>(tail[0]) << 16) |
                   (static_cast<std::uint32_t>(tail[1]) << 8) | tail[2];
            break;
        case 2:
            last = (static_cast<std::uint32_t>(tail[0]) << 8) | tail[1];
            break;
        case 1:
            last = tail[0];
            break;
        default:
            break;
    }
    return sum ^ last;
}

std::uint32_t BlockChecksum(const std::uint8_t* headerFrom4, std::size_t headerLen,
                            const std::uint8_t* data, std::size_t n) {
    return Checksum(headerFrom4, headerLen, Checksum(data, n, 0));
}

}  // namespace cabinet
