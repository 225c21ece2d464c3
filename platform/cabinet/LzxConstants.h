// Numbers that both directions of the LZX codec agree on: alphabet sizes, the
// offset slot tables, the frame size and the limits of the call translation.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace cabinet::lzx {

// Every frame decodes to this many bytes, except the last frame of a folder.
// The bit stream is padded to a 16-bit boundary at each frame end.
constexpr std::size_t kFrameSize = 32768;

constexpr int kMinWindowBits = 15;
constexpr int kMaxWindowBits = 21;

constexpr int kMinMatch = 2;
constexpr int kMaxMatch = 257;
constexpr int kNumChars = 256;
// Length headers 0..6 are the length itself (minus kMinMatch); header 7 says
// that a length-tree symbol follows.
constexpr int kNumPrimaryLengths = 7;
constexpr int kLengthTreeSize = 249;
constexpr int kPretreeSize = 20;
constexpr int kAlignedTreeSize = 8;
constexpr int kMaxPositionSlots = 50;
constexpr int kMaxMainTreeSize = kNumChars + kMaxPositionSlots * 8;

// Code lengths: main and length trees reach 16 bits (the delta coding yields
// 0..16); pretree lengths are stored in 4 bits, aligned-tree lengths in 3.
constexpr int kMaxCodeLength = 16;
constexpr int kMaxPretreeCodeLength = 15;
constexpr int kMaxAlignedCodeLength = 7;

// Pretree symbols 0..16 are deltas against the previous length; these three
// are runs.
constexpr int kPretreeZeros4 = 17;   // 4 + (4 bits) zero lengths
constexpr int kPretreeZeros20 = 18;  // 20 + (5 bits) zero lengths
constexpr int kPretreeSame4 = 19;    // 4 + (1 bit) copies of one delta-coded length

enum class BlockType : int { kVerbatim = 1, kAligned = 2, kUncompressed = 3 };

// The call translation only applies to frames that start below 1 GiB
// (frame index < 32768) and only to frames longer than 10 bytes; the last
// 10 bytes of a frame are never scanned.
constexpr std::uint64_t kE8OffsetLimit = 0x40000000;
constexpr std::size_t kE8TailBytes = 10;
constexpr std::uint32_t kDefaultE8TranslationSize = 12000000;

// Number of offset slots for each window size: 2^15 .. 2^21.
constexpr int NumPositionSlots(int windowBits) {
    constexpr int kSlots[] = {30, 32, 34, 36, 38, 42, 50};
    return windowBits < kMinWindowBits || windowBits > kMaxWindowBits
               ? 0
               : kSlots[windowBits - kMinWindowBits];
}
constexpr int MainTreeSize(int windowBits) {
    return kNumChars + 8 * NumPositionSlots(windowBits);
}
// Largest match offset the format allows in a window.
constexpr std::uint32_t MaxMatchOffset(int windowBits) {
    return (1u << windowBits) - 3;
}

// Extra (footer) bits per offset slot: none for slots 0..3, then two slots per
// bit count, capped at 17.
constexpr std::array<std::uint8_t, kMaxPositionSlots> kFooterBits = [] {
    std::array<std::uint8_t, kMaxPositionSlots> t{};
    for (int s = 0; s < kMaxPositionSlots; ++s) {
        int bits = s < 4 ? 0 : (s - 2) / 2;
        t[s] = static_cast<std::uint8_t>(bits > 17 ? 17 : bits);
    }
    return t;
}();

// First formatted offset (match offset + 2) of each slot.
constexpr std::array<std::uint32_t, kMaxPositionSlots> kPositionBase = [] {
    std::array<std::uint32_t, kMaxPositionSlots> t{};
    std::uint32_t base = 0;
    for (int s = 0; s < kMaxPositionSlots; ++s) {
        t[s] = base;
        base += 1u << kFooterBits[s];
    }
    return t;
}();

static_assert(kPositionBase[3] == 3 && kPositionBase[4] == 4 && kPositionBase[36] == 262144);
static_assert(kPositionBase[49] + (1u << kFooterBits[49]) == (1u << 21));

// Offset slot of a formatted offset >= 3 (slots 0..2 are the repeated offsets).
inline int PositionSlotOf(std::uint32_t formatted) {
    if (formatted < 4) {
        return static_cast<int>(formatted);
    }
    if (formatted >= kPositionBase[36]) {
        return 36 + static_cast<int>((formatted - kPositionBase[36]) >> 17);
    }
    int high = 31 - __builtin_clz(formatted);
    return 2 * high + static_cast<int>((formatted >> (high - 1)) & 1);
}

}  // namespace cabinet::lzx
