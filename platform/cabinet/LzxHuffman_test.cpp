#include "platform/cabinet/LzxHuffman.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "platform/cabinet/LzxBitWriter.h"
#include "platform/cabinet/LzxConstants.h"

namespace cabinet::lzx {
namespace {

// Sum of 2^-length over used symbols, in units of 2^-maxLength.
std::uint64_t Kraft(const std::vector<std::uint8_t>& lengths, int maxLength) {
    std::uint64_t sum = 0;
    for (std::uint8_t len : lengths) {
        if (len) {
            sum += std::uint64_t{1} << (maxLength - len);
        }
    }
    return sum;
}

struct LengthCase {
    const char* name;
    int symbols;
    int maxLength;
    int shape;  // 0 Fibonacci (forces deep trees), 1 random, 2 all equal, 3 sparse
};

class CodeLengthTest : public ::testing::TestWithParam<LengthCase> {};

TEST_P(CodeLengthTest, CodesAreCompleteAndWithinTheLimit) {
    const LengthCase& c = GetParam();
    std::vector<std::uint32_t> freq(c.symbols, 0);
    std::mt19937 rng(7);
    std::uint32_t a = 1;
    std::uint32_t b = 1;
    for (int i = 0; i < c.symbols; ++i) {
        switch (c.shape) {
            case 0:
                freq[i] = a;
                std::tie(a, b) = std::pair(b, std::min<std::uint32_t>(a + b, 1u << 30));
                break;
            case 1:
                freq[i] = rng() % 1000;
                break;
            case 2:
                freq[i] = 5;
                break;
            default:
                freq[i] = i % 37 == 0 ? 1 + i : 0;
                break;
        }
    }
    std::vector<std::uint8_t> lengths(c.symbols);
    BuildCodeLengths(freq.data(), c.symbols, c.maxLength, lengths.data());
    for (int i = 0; i < c.symbols; ++i) {
        EXPECT_LE(lengths[i], c.maxLength) << i;
        EXPECT_EQ(lengths[i] != 0, freq[i] != 0) << i;
    }
    EXPECT_EQ(Kraft(lengths, c.maxLength), std::uint64_t{1} << c.maxLength);
}

INSTANTIATE_TEST_SUITE_P(Shapes, CodeLengthTest,
                         ::testing::Values(LengthCase{"MainFibonacci", kMaxMainTreeSize, 16, 0},
                                           LengthCase{"MainRandom", kMaxMainTreeSize, 16, 1},
                                           LengthCase{"LengthFibonacci", kLengthTreeSize, 16, 0},
                                           LengthCase{"PretreeFibonacci", kPretreeSize, 15, 0},
                                           LengthCase{"AlignedFibonacci", kAlignedTreeSize, 7, 0},
                                           LengthCase{"AlignedEqual", kAlignedTreeSize, 7, 2},
                                           LengthCase{"MainSparse", kMaxMainTreeSize, 16, 3}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CodeLengths, SingleSymbolGetsAPartnerSoTheCodeIsComplete) {
    std::uint32_t freq[8] = {0, 0, 0, 9, 0, 0, 0, 0};
    std::uint8_t lengths[8];
    BuildCodeLengths(freq, 8, 7, lengths);
    EXPECT_EQ(lengths[3], 1);
    EXPECT_EQ(lengths[0], 1);
    EXPECT_EQ(lengths[1] + lengths[2] + lengths[4] + lengths[5] + lengths[6] + lengths[7], 0);
}

TEST(CodeLengths, NoUsedSymbolGivesAnEmptyCode) {
    std::uint32_t freq[20] = {};
    std::uint8_t lengths[20];
    BuildCodeLengths(freq, 20, 15, lengths);
    for (std::uint8_t len : lengths) {
        EXPECT_EQ(len, 0);
    }
}

TEST(DecodeTable, DecodesWhatTheCanonicalCodesWrite) {
    // Skewed frequencies give codes longer than the 11-bit direct table.
    constexpr int kSymbols = 300;
    std::vector<std::uint32_t> freq(kSymbols);
    for (int i = 0; i < kSymbols; ++i) {
        freq[i] = i < 20 ? 1u << (20 - i) : 1;
    }
    std::vector<std::uint8_t> lengths(kSymbols);
    BuildCodeLengths(freq.data(), kSymbols, 16, lengths.data());
    ASSERT_GT(*std::max_element(lengths.begin(), lengths.end()), 11);
    std::vector<std::uint16_t> codes(kSymbols);
    BuildCodes(lengths.data(), kSymbols, codes.data());

    std::mt19937 rng(3);
    std::vector<int> symbols(5000);
    std::vector<std::uint8_t> bytes;
    LzxBitWriter w(bytes);
    for (int& s : symbols) {
        s = static_cast<int>(rng() % kSymbols);
        w.Write(codes[s], lengths[s]);
    }
    w.AlignTo16();

    LzxDecodeTable table(11);
    ASSERT_TRUE(table.Build(lengths.data(), kSymbols));
    LzxBitReader r;
    r.Reset(bytes.data(), bytes.size());
    for (int s : symbols) {
        ASSERT_EQ(table.Decode(r), s);
    }
    EXPECT_FALSE(r.Overrun());
}

TEST(DecodeTable, RejectsOverSubscribedLengths) {
    std::uint8_t lengths[20];
    std::fill(std::begin(lengths), std::end(lengths), 1);
    LzxDecodeTable table(6);
    EXPECT_FALSE(table.Build(lengths, 20));
    std::uint8_t tooLong[4] = {17, 1, 1, 0};
    EXPECT_FALSE(table.Build(tooLong, 4));
}

TEST(DecodeTable, UnassignedCodesOfAnIncompleteTreeFailToDecode) {
    // Only the code "0" exists; "1..." names nothing.
    std::uint8_t lengths[4] = {0, 1, 0, 0};
    LzxDecodeTable table(6);
    ASSERT_TRUE(table.Build(lengths, 4));
    const std::uint8_t zeros[2] = {0x00, 0x00};
    LzxBitReader r;
    r.Reset(zeros, 2);
    EXPECT_EQ(table.Decode(r), 1);
    const std::uint8_t ones[2] = {0xFF, 0xFF};
    r.Reset(ones, 2);
    EXPECT_EQ(table.Decode(r), -1);

    std::uint8_t empty[4] = {};
    ASSERT_TRUE(table.Build(empty, 4));
    r.Reset(zeros, 2);
    EXPECT_EQ(table.Decode(r), -1);
}

TEST(BitStream, WordsAreLittleEndianWithBitsMostSignificantFirst) {
    std::vector<std::uint8_t> bytes;
    LzxBitWriter w(bytes);
    w.Write(0x1A2B, 16);
    w.Write(0x3C4D, 16);
    w.Write(1, 1);
    w.AlignTo16();
    ASSERT_EQ(bytes, (std::vector<std::uint8_t>{0x2B, 0x1A, 0x4D, 0x3C, 0x00, 0x80}));
    LzxBitReader r;
    r.Reset(bytes.data(), bytes.size());
    EXPECT_EQ(r.Read(4), 0x1u);
    EXPECT_EQ(r.Read(17), 0x14567u);
    EXPECT_EQ(r.Read(11), 0x44Du);
    EXPECT_EQ(r.Read(1), 1u);
    EXPECT_FALSE(r.Overrun());
    r.Read(16);
    EXPECT_TRUE(r.Overrun());
}

}  // namespace
}  // namespace cabinet::lzx
