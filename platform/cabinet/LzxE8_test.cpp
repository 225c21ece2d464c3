#include "platform/cabinet/LzxE8.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/cabinet/LzxConstants.h"
#include "platform/cabinet/LzxTestSupport.h"

namespace cabinet::lzx {
namespace {

constexpr std::uint32_t kSize = kDefaultE8TranslationSize;

std::vector<std::uint8_t> Call(std::int32_t displacement) {
    auto u = static_cast<std::uint32_t>(displacement);
    return {0xE8, static_cast<std::uint8_t>(u), static_cast<std::uint8_t>(u >> 8),
            static_cast<std::uint8_t>(u >> 16), static_cast<std::uint8_t>(u >> 24)};
}

std::int32_t DisplacementAt(const std::vector<std::uint8_t>& v, std::size_t i) {
    return static_cast<std::int32_t>(v[i + 1] | (v[i + 2] << 8) | (v[i + 3] << 16) |
                                     (static_cast<std::uint32_t>(v[i + 4]) << 24));
}

TEST(E8, RelativeCallsBecomeAbsoluteTargets) {
    // Call at frame position 100 of the frame starting at 32768.
    std::vector<std::uint8_t> frame(200, 0x90);
    auto call = Call(-50);
    std::copy(call.begin(), call.end(), frame.begin() + 100);
    E8Encode(frame.data(), frame.size(), 32768, kSize);
    EXPECT_EQ(DisplacementAt(frame, 100), 32768 + 100 - 50);
    E8Decode(frame.data(), frame.size(), 32768, kSize);
    EXPECT_EQ(DisplacementAt(frame, 100), -50);
}

TEST(E8, TargetsPastTheTranslationSizeWrapBelowZero) {
    std::vector<std::uint8_t> frame(64, 0);
    auto call = Call(static_cast<std::int32_t>(kSize) - 10);  // target = kSize + 10 - 10 + pos
    std::copy(call.begin(), call.end(), frame.begin() + 10);
    E8Encode(frame.data(), frame.size(), 0, kSize);
    EXPECT_EQ(DisplacementAt(frame, 10), -10);
    E8Decode(frame.data(), frame.size(), 0, kSize);
    EXPECT_EQ(DisplacementAt(frame, 10), static_cast<std::int32_t>(kSize) - 10);
}

struct UntouchedCase {
    const char* name;
    std::size_t frameSize;
    std::size_t callAt;
    std::uint64_t frameOffset;
};

class E8Untouched : public ::testing::TestWithParam<UntouchedCase> {};

TEST_P(E8Untouched, CallIsLeftAlone) {
    const UntouchedCase& c = GetParam();
    std::vector<std::uint8_t> frame(c.frameSize, 0x11);
    auto call = Call(4);
    for (std::size_t k = 0; k < call.size() && c.callAt + k < frame.size(); ++k) {
        frame[c.callAt + k] = call[k];
    }
    const auto before = frame;
    E8Encode(frame.data(), frame.size(), c.frameOffset, kSize);
    EXPECT_EQ(frame, before);
}

INSTANTIATE_TEST_SUITE_P(Limits, E8Untouched,
                         ::testing::Values(UntouchedCase{"InTheLastTenBytes", 100, 90, 0},
                                           UntouchedCase{"FrameOfTenBytes", 10, 0, 0},
                                           UntouchedCase{"FrameAtOneGiB", 32768, 0, kE8OffsetLimit},
                                           UntouchedCase{"FramePastOneGiB", 32768, 500,
                                                         kE8OffsetLimit + 32768}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(E8, LastFrameBelowOneGiBIsStillTranslated) {
    std::vector<std::uint8_t> frame(32768, 0);
    auto call = Call(4);
    std::copy(call.begin(), call.end(), frame.begin());
    E8Encode(frame.data(), frame.size(), kE8OffsetLimit - 32768, kSize);
    // The target is past the translation size: stored as displacement - size.
    EXPECT_EQ(DisplacementAt(frame, 0), 4 - static_cast<std::int32_t>(kSize));
}

TEST(E8, DecodeUndoesEncodeOnDenseCalls) {
    for (std::uint64_t offset :
         {std::uint64_t{0}, std::uint64_t{11} * 32768, kE8OffsetLimit - 32768}) {
        auto data = testing::RandomBytes(32768, 5);
        for (std::size_t i = 0; i < data.size(); i += 7) {
            data[i] = 0xE8;
        }
        auto work = data;
        E8Encode(work.data(), work.size(), offset, kSize);
        EXPECT_NE(work, data);
        E8Decode(work.data(), work.size(), offset, kSize);
        EXPECT_EQ(work, data) << offset;
    }
}

TEST(E8, ScanSkipsTheFourDisplacementBytes) {
    // E8 E8 E8 E8 E8 ...: only positions 0, 5, 10, ... start calls.
    std::vector<std::uint8_t> frame(40, 0xE8);
    E8Encode(frame.data(), frame.size(), 0, kSize);
    // Displacement 0xE8E8E8E8 is negative and reaches below zero: untouched.
    EXPECT_EQ(frame, std::vector<std::uint8_t>(40, 0xE8));
    std::vector<std::uint8_t> small(40, 0);
    for (std::size_t i = 0; i < small.size(); i += 5) {
        small[i] = 0xE8;
    }
    E8Encode(small.data(), small.size(), 0, kSize);
    EXPECT_EQ(DisplacementAt(small, 0), 0);
    EXPECT_EQ(DisplacementAt(small, 5), 5);
    EXPECT_EQ(DisplacementAt(small, 25), 25);
    EXPECT_EQ(small[30], 0xE8);
    EXPECT_EQ(DisplacementAt(small, 30), 0);  // 30 >= 40 - 10: not scanned
}

}  // namespace
}  // namespace cabinet::lzx
