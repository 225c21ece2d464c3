// MSZIP block codec: blocks carry the folder's history, and the decoder
// refuses anything that does not yield exactly the declared size.
#include <gtest/gtest.h>

#include "platform/cabinet/CabinetTestSupport.h"
#include "platform/cabinet/Codec.h"

namespace {

using cabinet::CreateMszipCompressor;
using cabinet::CreateMszipDecompressor;
using Bytes = std::vector<std::uint8_t>;

std::vector<Bytes> Compress(const std::vector<Bytes>& blocks) {
    auto c = CreateMszipCompressor();
    std::vector<Bytes> out;
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        Bytes o;
        EXPECT_TRUE(
            c->CompressBlock(blocks[i].data(), blocks[i].size(), i + 1 == blocks.size(), o));
        out.push_back(o);
    }
    return out;
}

TEST(Mszip, BlocksStartWithSignatureAndRoundTrip) {
    std::vector<Bytes> blocks = {cabtest::TextBytes(32768, 1),
                                 cabtest::RandomBytes(32768, 2),
                                 cabtest::TextBytes(100, 3),
                                 {}};
    auto packed = Compress(blocks);
    auto d = CreateMszipDecompressor();
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        ASSERT_GE(packed[i].size(), 2u);
        EXPECT_EQ(packed[i][0], 'C');
        EXPECT_EQ(packed[i][1], 'K');
        EXPECT_LE(packed[i].size(), cabinet::kMaxBlockCompressed);
        Bytes out(blocks[i].size());
        ASSERT_TRUE(d->DecompressBlock(packed[i].data(), packed[i].size(), out.data(), out.size()))
            << i;
        EXPECT_TRUE(out == blocks[i]) << i;
    }
}

// A block that repeats the end of the previous one is coded as references
// into it, so it is tiny, and a decoder without that history cannot read it.
TEST(Mszip, HistoryIsCarriedAcrossBlocks) {
    Bytes first = cabtest::RandomBytes(32768, 5);
    Bytes second(first.begin() + 16384, first.end());
    auto packed = Compress({first, second});
    EXPECT_LT(packed[1].size(), 1000u);
    auto fresh = CreateMszipDecompressor();
    Bytes out(first.size());
    EXPECT_FALSE(
        fresh->DecompressBlock(packed[1].data(), packed[1].size(), out.data(), second.size()));
    auto d = CreateMszipDecompressor();
    ASSERT_TRUE(d->DecompressBlock(packed[0].data(), packed[0].size(), out.data(), first.size()));
    ASSERT_TRUE(d->DecompressBlock(packed[1].data(), packed[1].size(), out.data(), second.size()));
    out.resize(second.size());
    EXPECT_TRUE(out == second);
}

TEST(Mszip, MalformedBlocksAreRefused) {
    Bytes data = cabtest::TextBytes(20000, 9);
    Bytes good = Compress({data})[0];
    struct Case {
        const char* label;
        Bytes in;
        std::size_t outSize;
    } cases[] = {
        {"no signature", Bytes(good.begin() + 2, good.end()), data.size()},
        {"wrong signature",
         [&] {
             Bytes b = good;
             b[1] = 'Q';
             return b;
         }(),
         data.size()},
        {"truncated", Bytes(good.begin(), good.begin() + good.size() / 2), data.size()},
        {"declared too large", good, data.size() + 1},
        {"declared too small", good, data.size() - 1},
        {"beyond a block", good, cabinet::kMaxBlockUncompressed + 1},
        {"signature only", Bytes{'C', 'K'}, 10},
        {"garbage", Bytes{'C', 'K', 0xFF, 0xFF, 0xFF, 0xFF}, 10},
    };
    for (const Case& c : cases) {
        auto d = CreateMszipDecompressor();
        Bytes out(c.outSize + 16);
        EXPECT_FALSE(d->DecompressBlock(c.in.data(), c.in.size(), out.data(), c.outSize))
            << c.label;
        // A failed decoder stays failed for the rest of its folder.
        EXPECT_FALSE(d->DecompressBlock(good.data(), good.size(), out.data(), data.size()))
            << c.label;
    }
}

}  // namespace
