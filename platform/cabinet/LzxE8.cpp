#include "platform/cabinet/LzxE8.h"

#include <cstring>

#include "platform/cabinet/LzxConstants.h"

namespace cabinet::lzx {

namespace {

std::int32_t LoadLe32(const std::uint8_t* p) {
    return static_cast<std::int32_t>(p[0] | (static_cast<std::uint32_t>(p[1]) << 8) |
                                     (static_cast<std::uint32_t>(p[2]) << 16) |
                                     (static_cast<std::uint32_t>(p[3]) << 24));
}

void StoreLe32(std::uint8_t* p, std::int64_t v) {
    auto u = static_cast<std::uint32_t>(v);
    p[0] = static_cast<std::uint8_t>(u);
    p[1] = static_cast<std::uint8_t>(u >> 8);
    p[2] = static_cast<std::uint8_t>(u >> 16);
    p[3] = static_cast<std::uint8_t>(u >> 24);
}

// Calls fn(position in frame) for every 0xE8 byte the translation looks at:
// the scan skips the four displacement bytes after each one it finds.
template <typename Fn>
void ForEachCall(std::uint8_t* frame, std::size_t size, std::uint64_t frameOffset, Fn fn) {
    if (frameOffset >= kE8OffsetLimit || size <= kE8TailBytes) {
        return;
    }
    const std::size_t end = size - kE8TailBytes;
    std::size_t i = 0;
    while (i < end) {
        auto* hit = static_cast<std::uint8_t*>(std::memchr(frame + i, 0xE8, end - i));
        if (hit == nullptr) {
            return;
        }
        i = static_cast<std::size_t>(hit - frame);
        fn(i);
        i += 5;
    }
}

}  // namespace

void E8Encode(std::uint8_t* frame, std::size_t size, std::uint64_t frameOffset,
              std::uint32_t translationSize) {
    ForEachCall(frame, size, frameOffset, [&](std::size_t i) {
        const std::int64_t current = static_cast<std::int64_t>(frameOffset + i);
        const std::int64_t displacement = LoadLe32(frame + i + 1);
        const std::int64_t target = current + displacement;
        if (target >= 0 && target < static_cast<std::int64_t>(translationSize) + current) {
            StoreLe32(frame + i + 1,
                      target >= translationSize ? displacement - translationSize : target);
        }
    });
}

void E8Decode(std::uint8_t* frame, std::size_t size, std::uint64_t frameOffset,
              std::uint32_t translationSize) {
    ForEachCall(frame, size, frameOffset, [&](std::size_t i) {
        const std::int64_t current = static_cast<std::int64_t>(frameOffset + i);
        const std::int64_t value = LoadLe32(frame + i + 1);
        if (value >= -current && value < static_cast<std::int64_t>(translationSize)) {
            StoreLe32(frame + i + 1, value >= 0 ? value - current : value + translationSize);
        }
    });
}

}  // namespace cabinet::lzx
