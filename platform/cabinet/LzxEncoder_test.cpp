#include "platform/cabinet/LzxEncoder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/cabinet/LzxBitReader.h"
#include "platform/cabinet/LzxDecoder.h"
#include "platform/cabinet/LzxTestSupport.h"

namespace cabinet::lzx {
namespace {

using Bytes = std::vector<std::uint8_t>;
using testing::DecodeFolder;
using testing::EncodeFolder;
using testing::RandomBytes;
using testing::SampleText;
using testing::TotalSize;

void ExpectRoundTrip(const Bytes& data, int windowBits, const LzxEncoderOptions& options = {}) {
    auto frames = EncodeFolder(data, windowBits, options);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        ASSERT_EQ(frames[i].size() % 2, 0u) << "frame " << i << " not padded to 16 bits";
        ASSERT_LE(frames[i].size(), kFrameSize + 6144) << "frame " << i;
    }
    Bytes out;
    ASSERT_TRUE(DecodeFolder(frames, data.size(), windowBits, out, options.streamOffsetForTest));
    ASSERT_TRUE(out == data) << "decoded bytes differ";
}

// Type of a frame's first block; the folder's first frame starts with the
// 1- or 33-bit stream header.
int FirstBlockType(const Bytes& frame, bool firstFrame = true) {
    LzxBitReader r;
    r.Reset(frame.data(), frame.size());
    if (firstFrame && r.Read(1)) {
        r.Read(32);
    }
    return static_cast<int>(r.Read(3));
}

class WindowRoundTrip : public ::testing::TestWithParam<int> {};

TEST_P(WindowRoundTrip, EdgeSizesRoundTrip) {
    const int windowBits = GetParam();
    for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{32767}, std::size_t{32768},
                             std::size_t{32769}, std::size_t{100001}}) {
        SCOPED_TRACE(size);
        ExpectRoundTrip(SampleText(size, static_cast<std::uint32_t>(size)), windowBits);
    }
}

TEST_P(WindowRoundTrip, RandomMebibyteRoundTripsAndStaysNearItsSize) {
    const int windowBits = GetParam();
    const Bytes data = RandomBytes(1 << 20, 11);
    auto frames = EncodeFolder(data, windowBits);
    EXPECT_LE(TotalSize(frames), data.size() + data.size() / 200);
    EXPECT_EQ(FirstBlockType(frames[0]), static_cast<int>(BlockType::kUncompressed));
    Bytes out;
    ASSERT_TRUE(DecodeFolder(frames, data.size(), windowBits, out));
    EXPECT_TRUE(out == data);
}

TEST_P(WindowRoundTrip, MatchesReachAcrossTheWholeWindow) {
    // A random chunk, random filler nearly a window long, the chunk again: the
    // repeat is found only through the window's farthest offsets.
    const int windowBits = GetParam();
    const std::size_t window = std::size_t{1} << windowBits;
    const Bytes chunk = RandomBytes(20000, 1);
    Bytes data = chunk;
    const Bytes filler = RandomBytes(window - chunk.size() - 200, 2);
    data.insert(data.end(), filler.begin(), filler.end());
    data.insert(data.end(), chunk.begin(), chunk.end());
    auto frames = EncodeFolder(data, windowBits);
    EXPECT_LT(TotalSize(frames), data.size() - chunk.size() + 2000);
    Bytes out;
    ASSERT_TRUE(DecodeFolder(frames, data.size(), windowBits, out));
    EXPECT_TRUE(out == data);
}

INSTANTIATE_TEST_SUITE_P(Windows, WindowRoundTrip, ::testing::Range(15, 22));

TEST(LzxEncoder, FiveMebibytesOfTextRoundTripAndCompressWell) {
    const Bytes data = SampleText(5 << 20, 99);
    for (int windowBits : {15, 21}) {
        auto frames = EncodeFolder(data, windowBits);
        EXPECT_LT(TotalSize(frames), data.size() * 32 / 100) << windowBits;
        Bytes out;
        ASSERT_TRUE(DecodeFolder(frames, data.size(), windowBits, out));
        EXPECT_TRUE(out == data);
    }
}

TEST(LzxEncoder, OptimalParseRoundTripsAndBeatsLazyMatching) {
    Bytes data = SampleText(200000, 31);
    Bytes calls = RandomBytes(40000, 32);
    for (std::size_t i = 0; i + 5 < calls.size(); i += 11) {
        calls[i] = 0xE8;
        calls[i + 4] = 0;
    }
    data.insert(data.end(), calls.begin(), calls.end());
    const Bytes again = SampleText(100001, 31);
    data.insert(data.end(), again.begin(), again.end());
    LzxEncoderOptions optimal;
    optimal.optimalParse = true;
    for (int windowBits : {15, 18, 21}) {
        SCOPED_TRACE(windowBits);
        ExpectRoundTrip(data, windowBits, optimal);
        EXPECT_LT(TotalSize(EncodeFolder(data, windowBits, optimal)),
                  TotalSize(EncodeFolder(data, windowBits)));
    }
    for (int type = 1; type <= 3; ++type) {
        optimal.forceBlockType = type;
        ExpectRoundTrip(data, 17, optimal);
    }
}

TEST(LzxEncoder, LargeWindowFindsRepeatsThatASmallOneCannot) {
    Bytes data = SampleText(300000, 5);
    const Bytes copy = data;
    data.insert(data.end(), copy.begin(), copy.end());
    const std::size_t small = TotalSize(EncodeFolder(data, 15));
    const std::size_t large = TotalSize(EncodeFolder(data, 20));
    EXPECT_LT(large * 10, small * 6);
    Bytes out;
    ASSERT_TRUE(DecodeFolder(EncodeFolder(data, 20), data.size(), 20, out));
    EXPECT_TRUE(out == data);
}

TEST(LzxEncoder, RepeatsFromBeforeTheTablesGrewAreFound) {
    // The tables start small and grow with the stream; a block seen while
    // they were small must still be found once they have grown past it.
    // (Not at position 0, which an empty table entry names too.)
    const Bytes block = RandomBytes(20000, 7);
    Bytes data = RandomBytes(5000, 9);
    data.insert(data.end(), block.begin(), block.end());
    const Bytes other = RandomBytes(300000, 8);
    data.insert(data.end(), other.begin(), other.end());
    data.insert(data.end(), block.begin(), block.end());
    const std::size_t packed = TotalSize(EncodeFolder(data, 21));
    EXPECT_LT(packed, data.size() - block.size() + block.size() / 10);
    Bytes out;
    ASSERT_TRUE(DecodeFolder(EncodeFolder(data, 21), data.size(), 21, out));
    EXPECT_TRUE(out == data);
}

struct ForcedCase {
    const char* name;
    BlockType type;
};

class ForcedBlockType : public ::testing::TestWithParam<ForcedCase> {};

TEST_P(ForcedBlockType, EveryBlockOfTheForcedTypeRoundTrips) {
    LzxEncoderOptions options;
    options.forceBlockType = static_cast<int>(GetParam().type);
    options.maxBlockFrames = 1;  // each frame starts with its block's header
    // Text with far matches (aligned offsets need footers of 3+ bits), random
    // bytes, and an odd-sized tail.
    Bytes data = SampleText(70001, 3);
    const Bytes noise = RandomBytes(33333, 4);
    data.insert(data.end(), noise.begin(), noise.end());
    const Bytes again = SampleText(40000, 3);
    data.insert(data.end(), again.begin(), again.end());
    for (int windowBits : {15, 17, 21}) {
        SCOPED_TRACE(windowBits);
        auto frames = EncodeFolder(data, windowBits, options);
        for (const Bytes& f : frames) {
            LzxBitReader r;
            r.Reset(f.data(), f.size());
            if (&f == &frames[0] && r.Read(1)) {
                r.Read(32);
            }
            EXPECT_EQ(static_cast<int>(r.Read(3)), options.forceBlockType);
        }
        ExpectRoundTrip(data, windowBits, options);
    }
}

INSTANTIATE_TEST_SUITE_P(Types, ForcedBlockType,
                         ::testing::Values(ForcedCase{"Verbatim", BlockType::kVerbatim},
                                           ForcedCase{"Aligned", BlockType::kAligned},
                                           ForcedCase{"Uncompressed", BlockType::kUncompressed}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(LzxEncoder, AlignedBlocksAreChosenWhenOffsetsShareTheirLowBits) {
    // Records of 64 bytes whose copies lie a multiple of 64 back: every offset
    // has the same low three bits, which the aligned tree codes in one bit.
    std::mt19937 rng(8);
    std::vector<Bytes> records;
    for (int i = 0; i < 300; ++i) {
        records.push_back(RandomBytes(64, 100 + i));
    }
    Bytes data;
    while (data.size() < 4 * kFrameSize) {
        const Bytes& r = records[rng() % records.size()];
        data.insert(data.end(), r.begin(), r.end());
    }
    auto frames = EncodeFolder(data, 17);
    EXPECT_EQ(FirstBlockType(frames[2], false), static_cast<int>(BlockType::kAligned));
    Bytes out;
    ASSERT_TRUE(DecodeFolder(frames, data.size(), 17, out));
    EXPECT_TRUE(out == data);
    // And the choice pays: forcing verbatim blocks costs more.
    LzxEncoderOptions verbatim;
    verbatim.forceBlockType = static_cast<int>(BlockType::kVerbatim);
    EXPECT_LT(TotalSize(frames), TotalSize(EncodeFolder(data, 17, verbatim)));
}

TEST(LzxEncoder, StreamHeaderCarriesTheTranslationSettings) {
    const Bytes data = SampleText(100, 1);
    LzxEncoderOptions on;
    on.e8TranslationSize = 0x01234567;
    auto frames = EncodeFolder(data, 16, on);
    LzxBitReader r;
    r.Reset(frames[0].data(), frames[0].size());
    EXPECT_EQ(r.Read(1), 1u);
    EXPECT_EQ(r.Read(16), 0x0123u);
    EXPECT_EQ(r.Read(16), 0x4567u);
    LzxEncoderOptions off;
    off.e8Translation = false;
    frames = EncodeFolder(data, 16, off);
    r.Reset(frames[0].data(), frames[0].size());
    EXPECT_EQ(r.Read(1), 0u);
    ExpectRoundTrip(data, 16, off);
}

TEST(LzxEncoder, CallBytesRoundTripInEveryFrame) {
    // 0xE8 everywhere, then machine-code-like calls with small displacements.
    Bytes data(3 * kFrameSize + 123, 0xE8);
    Bytes calls = RandomBytes(2 * kFrameSize, 6);
    for (std::size_t i = 0; i + 5 < calls.size(); i += 9) {
        calls[i] = 0xE8;
        calls[i + 3] = 0;
        calls[i + 4] = 0;
    }
    data.insert(data.end(), calls.begin(), calls.end());
    for (int windowBits : {15, 21}) {
        ExpectRoundTrip(data, windowBits);
    }
}

TEST(LzxEncoder, TranslationStopsAtTheFrameThatStartsAtOneGiB) {
    // The folder is made to start four frames below 1 GiB: the first four
    // frames are translated, the rest are stored as they are.
    LzxEncoderOptions options;
    options.streamOffsetForTest = kE8OffsetLimit - 4 * kFrameSize;
    options.forceBlockType = static_cast<int>(BlockType::kUncompressed);
    Bytes data(7 * kFrameSize, 0);
    for (std::size_t i = 0; i < data.size(); i += 1000) {
        data[i] = 0xE8;  // displacement 0: the target is the call's own position
    }
    auto frames = EncodeFolder(data, 16, options);
    for (std::size_t f = 0; f < frames.size(); ++f) {
        // Uncompressed frame: header, padding, 12 bytes of offsets, the data.
        const std::size_t skip = (f == 0 ? 8 : 4) + 12;
        const Bytes stored(frames[f].begin() + static_cast<std::ptrdiff_t>(skip),
                           frames[f].begin() + static_cast<std::ptrdiff_t>(skip + kFrameSize));
        const Bytes original(data.begin() + static_cast<std::ptrdiff_t>(f * kFrameSize),
                             data.begin() + static_cast<std::ptrdiff_t>((f + 1) * kFrameSize));
        if (f < 4) {
            EXPECT_NE(stored, original) << "frame " << f << " should be translated";
        } else {
            EXPECT_EQ(stored, original) << "frame " << f << " should be untouched";
        }
    }
    ExpectRoundTrip(data, 16, options);
    // A decoder that does not know where the folder starts gets other bytes.
    Bytes out;
    ASSERT_TRUE(DecodeFolder(frames, data.size(), 16, out, 0));
    EXPECT_FALSE(out == data);
}

TEST(LzxEncoder, FramesStayWithinTheBlockLimitOnIncompressibleData) {
    const Bytes data = RandomBytes(5 * kFrameSize, 12);
    for (const Bytes& f : EncodeFolder(data, 21)) {
        EXPECT_LE(f.size(), kFrameSize + 20);
    }
}

TEST(LzxEncoder, InvalidWindowsProduceNothing) {
    for (int bits : {14, 22, -1}) {
        LzxEncoder e(bits);
        EXPECT_FALSE(e.IsValid());
        Bytes out;
        const Bytes data = SampleText(100, 1);
        e.EncodeFrame(data.data(), data.size());
        e.Flush();
        EXPECT_FALSE(e.TakeFrame(out));
        EXPECT_TRUE(out.empty());
    }
}

}  // namespace
}  // namespace cabinet::lzx
