#include "platform/cabinet/LzxDecoder.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/cabinet/LzxBitWriter.h"
#include "platform/cabinet/LzxHuffman.h"
#include "platform/cabinet/LzxTestSupport.h"

namespace cabinet::lzx {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Writes streams symbol by symbol, so that each malformed input differs from a
// sound one in exactly the defect it is named after.
class StreamBuilder {
public:
    StreamBuilder() : m_w(m_bytes) {
        // Pretree used for every tree: symbols 0..11 four bits, 12..19 five.
        for (int i = 0; i < kPretreeSize; ++i) {
            m_preLengths[i] = i < 12 ? 4 : 5;
        }
        BuildCodes(m_preLengths, kPretreeSize, m_preCodes);
    }

    StreamBuilder& Header(bool e8 = false, std::uint32_t size = 0) {
        m_w.Write(e8, 1);
        if (e8) {
            m_w.Write(size >> 16, 16);
            m_w.Write(size & 0xFFFF, 16);
        }
        return *this;
    }
    StreamBuilder& BlockHeader(int type, std::uint32_t size) {
        m_w.Write(static_cast<std::uint32_t>(type), 3);
        m_w.Write(size, 24);
        return *this;
    }
    // Delta-codes cur[first..last) against prev with the fixed pretree.
    StreamBuilder& Lengths(const std::uint8_t* prev, const std::uint8_t* cur, int first, int last) {
        PretreeLengths();
        for (int i = first; i < last; ++i) {
            PretreeSymbol((prev[i] + 17 - cur[i]) % 17);
        }
        return *this;
    }
    StreamBuilder& PretreeLengths() {
        for (std::uint8_t len : m_preLengths) {
            m_w.Write(len, 4);
        }
        return *this;
    }
    StreamBuilder& PretreeSymbol(int s) {
        m_w.Write(m_preCodes[s], m_preLengths[s]);
        return *this;
    }
    // A verbatim block's trees (previous lengths all zero).
    StreamBuilder& Trees(const std::vector<std::uint8_t>& main,
                         const std::vector<std::uint8_t>& len, int windowBits = 16) {
        m_main = main;
        m_len = len;
        m_main.resize(MainTreeSize(windowBits));
        m_len.resize(kLengthTreeSize);
        const std::vector<std::uint8_t> zeros(kMaxMainTreeSize, 0);
        Lengths(zeros.data(), m_main.data(), 0, kNumChars);
        Lengths(zeros.data(), m_main.data(), kNumChars, MainTreeSize(windowBits));
        Lengths(zeros.data(), m_len.data(), 0, kLengthTreeSize);
        BuildCodes(m_main.data(), static_cast<int>(m_main.size()), m_mainCodes);
        BuildCodes(m_len.data(), kLengthTreeSize, m_lenCodes);
        return *this;
    }
    StreamBuilder& Main(int symbol) {
        m_w.Write(m_mainCodes[symbol], m_main[symbol]);
        return *this;
    }
    StreamBuilder& LengthSymbol(int symbol) {
        m_w.Write(m_lenCodes[symbol], m_len[symbol]);
        return *this;
    }
    StreamBuilder& Bits(std::uint32_t v, int n) {
        m_w.Write(v, n);
        return *this;
    }
    StreamBuilder& Align() {
        m_w.AlignTo16();
        return *this;
    }
    // Uncompressed block body: padding, R0..R2, bytes, odd-size pad byte.
    StreamBuilder& Raw(std::uint32_t r0, const std::string& bytes) {
        m_w.Write(0, 16 - m_w.PendingBits());
        m_w.WriteRawLe32(r0);
        m_w.WriteRawLe32(1);
        m_w.WriteRawLe32(1);
        m_w.WriteRawBytes(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
        if (bytes.size() & 1) {
            m_w.WriteRawByte(0);
        }
        return *this;
    }
    Bytes Take() {
        m_w.AlignTo16();
        Bytes b = m_bytes;
        m_bytes.clear();
        return b;
    }

private:
    Bytes m_bytes;
    LzxBitWriter m_w;
    std::uint8_t m_preLengths[kPretreeSize];
    std::uint16_t m_preCodes[kPretreeSize];
    std::vector<std::uint8_t> m_main;
    std::vector<std::uint8_t> m_len;
    std::uint16_t m_mainCodes[kMaxMainTreeSize] = {};
    std::uint16_t m_lenCodes[kLengthTreeSize] = {};
};

constexpr int kMatchSlot3Len2 = kNumChars + 3 * 8 + 0;  // offset 1, length 2
constexpr int kRep0Len2 = kNumChars + 0 * 8 + 0;
constexpr int kRep0LongLength = kNumChars + 0 * 8 + 7;

// Main tree with 'a' and one match symbol, one bit each.
std::vector<std::uint8_t> TwoSymbolMain(int match) {
    std::vector<std::uint8_t> main(kMaxMainTreeSize, 0);
    main['a'] = 1;
    main[match] = 1;
    return main;
}
const std::vector<std::uint8_t> kTwoLengths = {1, 1};

bool Decode(int windowBits, const Bytes& in, std::size_t outSize, Bytes* out = nullptr) {
    LzxDecoder d(windowBits);
    Bytes buf(outSize);
    bool ok = d.DecodeFrame(in.data(), in.size(), buf.data(), outSize);
    if (out) {
        *out = buf;
    }
    return ok;
}

TEST(LzxDecoder, DecodesAHandWrittenUncompressedBlock) {
    // "abc" as an uncompressed block, without the chunk-size prefix that
    // cabinets do not use.
    const Bytes in = {0x00, 0x30, 0x30, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00,
                      0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x61, 0x62, 0x63, 0x00};
    Bytes out;
    ASSERT_TRUE(Decode(17, in, 3, &out));
    EXPECT_EQ(std::string(out.begin(), out.end()), "abc");
}

TEST(LzxDecoder, VerbatimLiteralAndMatchDecode) {
    StreamBuilder b;
    Bytes in = b.Header()
                   .BlockHeader(1, 3)
                   .Trees(TwoSymbolMain(kMatchSlot3Len2), kTwoLengths)
                   .Main('a')
                   .Main(kMatchSlot3Len2)
                   .Take();
    Bytes out;
    ASSERT_TRUE(Decode(16, in, 3, &out));
    EXPECT_EQ(std::string(out.begin(), out.end()), "aaa");
}

TEST(LzxDecoder, UncompressedBlockWithOddSizeRealignsForTheNextBlock) {
    StreamBuilder b;
    std::vector<std::uint8_t> main(kMaxMainTreeSize, 0);
    main['a'] = 1;
    main['d'] = 1;
    Bytes in = b.Header()
                   .BlockHeader(3, 3)
                   .Raw(1, "abc")
                   .BlockHeader(1, 1)
                   .Trees(main, kTwoLengths)
                   .Main('d')
                   .Take();
    Bytes out;
    ASSERT_TRUE(Decode(16, in, 4, &out));
    EXPECT_EQ(std::string(out.begin(), out.end()), "abcd");
}

TEST(LzxDecoder, BlockSpanningTwoFramesContinuesAfterTheRealignment) {
    // Frame 1: 'a' and rep-0 matches up to 32768 bytes; frame 2: "bc".
    std::vector<std::uint8_t> main(kMaxMainTreeSize, 0);
    main['a'] = main['b'] = main['c'] = main[kRep0LongLength] = 2;
    std::vector<std::uint8_t> len(kLengthTreeSize, 0);
    len[257 - 9] = len[128 - 9] = 1;
    StreamBuilder b;
    b.Header().BlockHeader(1, 32770).Trees(main, len).Main('a');
    for (int i = 0; i < 127; ++i) {
        b.Main(kRep0LongLength).LengthSymbol(257 - 9);
    }
    b.Main(kRep0LongLength).LengthSymbol(128 - 9);
    Bytes frame1 = b.Take();
    Bytes frame2 = b.Main('b').Main('c').Take();

    LzxDecoder d(16);
    Bytes out1(kFrameSize);
    Bytes out2(2);
    ASSERT_TRUE(d.DecodeFrame(frame1.data(), frame1.size(), out1.data(), out1.size()));
    ASSERT_TRUE(d.DecodeFrame(frame2.data(), frame2.size(), out2.data(), out2.size()));
    EXPECT_EQ(out1, Bytes(kFrameSize, 'a'));
    EXPECT_EQ(std::string(out2.begin(), out2.end()), "bc");
}

struct MalformedCase {
    const char* name;
    Bytes (*make)();
    std::size_t outSize;
};

Bytes BlockTypeZero() {
    return StreamBuilder().Header().BlockHeader(0, 10).Take();
}
Bytes BlockTypeSeven() {
    return StreamBuilder().Header().BlockHeader(7, 10).Take();
}
Bytes BlockSizeZero() {
    return StreamBuilder().Header().BlockHeader(3, 0).Raw(1, "ab").Take();
}
Bytes Empty() {
    return {};
}
Bytes TruncatedUncompressedHeader() {
    Bytes b = StreamBuilder().Header().BlockHeader(3, 3).Raw(1, "abc").Take();
    b.resize(10);
    return b;
}
Bytes TruncatedRawBytes() {
    Bytes b = StreamBuilder().Header().BlockHeader(3, 3).Raw(1, "abc").Take();
    b.resize(b.size() - 3);
    return b;
}
Bytes MatchBeforeTheFolderStart() {
    return StreamBuilder()
        .Header()
        .BlockHeader(1, 3)
        .Trees(TwoSymbolMain(kMatchSlot3Len2), kTwoLengths)
        .Main(kMatchSlot3Len2)
        .Main('a')
        .Take();
}
Bytes RepeatedOffsetZero() {
    StreamBuilder b;
    return b.Header()
        .BlockHeader(3, 1)
        .Raw(0, "a")
        .BlockHeader(1, 3)
        .Trees(TwoSymbolMain(kRep0Len2), kTwoLengths)
        .Main(kRep0Len2)
        .Take();
}
Bytes MatchPastTheBlockEnd() {
    return StreamBuilder()
        .Header()
        .BlockHeader(1, 2)
        .Trees(TwoSymbolMain(kMatchSlot3Len2), kTwoLengths)
        .Main('a')
        .Main(kMatchSlot3Len2)
        .Main('a')
        .Take();
}
Bytes OverSubscribedPretree() {
    StreamBuilder b;
    b.Header().BlockHeader(1, 3);
    for (int i = 0; i < kPretreeSize; ++i) {
        b.Bits(1, 4);
    }
    return b.Take();
}
Bytes ZeroRunPastTheTreeEnd() {
    StreamBuilder b;
    b.Header().BlockHeader(1, 3).PretreeLengths();
    for (int i = 0; i < 6; ++i) {  // 6 * 51 > 256
        b.PretreeSymbol(kPretreeZeros20).Bits(31, 5);
    }
    return b.Take();
}
Bytes MainTreeWithoutLengths() {
    return StreamBuilder()
        .Header()
        .BlockHeader(1, 3)
        .Trees(std::vector<std::uint8_t>(kMaxMainTreeSize, 0), kTwoLengths)
        .Bits(0, 16)
        .Take();
}
Bytes AlignedTreeOverSubscribed() {
    StreamBuilder b;
    b.Header().BlockHeader(2, 3);
    for (int i = 0; i < kAlignedTreeSize; ++i) {
        b.Bits(1, 3);
    }
    return b.Trees(TwoSymbolMain(kMatchSlot3Len2), kTwoLengths).Main('a').Take();
}
Bytes TreesCutShort() {
    Bytes b = StreamBuilder()
                  .Header()
                  .BlockHeader(1, 3)
                  .Trees(TwoSymbolMain(kMatchSlot3Len2), kTwoLengths)
                  .Main('a')
                  .Take();
    b.resize(b.size() / 2);
    return b;
}

class LzxDecoderMalformed : public ::testing::TestWithParam<MalformedCase> {};

TEST_P(LzxDecoderMalformed, FailsCleanly) {
    const MalformedCase& c = GetParam();
    const Bytes in = c.make();
    LzxDecoder d(16);
    Bytes out(c.outSize);
    EXPECT_FALSE(d.DecodeFrame(in.data(), in.size(), out.data(), out.size()));
    // A failed decoder stays failed for the rest of the folder.
    EXPECT_FALSE(d.DecodeFrame(in.data(), in.size(), out.data(), out.size()));
}

INSTANTIATE_TEST_SUITE_P(
    Streams, LzxDecoderMalformed,
    ::testing::Values(MalformedCase{"BlockTypeZero", BlockTypeZero, 10},
                      MalformedCase{"BlockTypeSeven", BlockTypeSeven, 10},
                      MalformedCase{"BlockSizeZero", BlockSizeZero, 2},
                      MalformedCase{"EmptyInput", Empty, 1},
                      MalformedCase{"TruncatedUncompressedHeader", TruncatedUncompressedHeader, 3},
                      MalformedCase{"TruncatedRawBytes", TruncatedRawBytes, 3},
                      MalformedCase{"MatchBeforeTheFolderStart", MatchBeforeTheFolderStart, 3},
                      MalformedCase{"RepeatedOffsetZero", RepeatedOffsetZero, 4},
                      MalformedCase{"MatchPastTheBlockEnd", MatchPastTheBlockEnd, 4},
                      MalformedCase{"OverSubscribedPretree", OverSubscribedPretree, 3},
                      MalformedCase{"ZeroRunPastTheTreeEnd", ZeroRunPastTheTreeEnd, 3},
                      MalformedCase{"MainTreeWithoutLengths", MainTreeWithoutLengths, 3},
                      MalformedCase{"AlignedTreeOverSubscribed", AlignedTreeOverSubscribed, 3},
                      MalformedCase{"TreesCutShort", TreesCutShort, 3}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LzxDecoder, RejectsFramesLargerThan32KiBAndBadWindows) {
    Bytes in = StreamBuilder().Header().BlockHeader(3, 3).Raw(1, "abc").Take();
    Bytes out(kFrameSize + 1);
    LzxDecoder d(16);
    EXPECT_FALSE(d.DecodeFrame(in.data(), in.size(), out.data(), out.size()));
    for (int bits : {0, 14, 22}) {
        LzxDecoder bad(bits);
        EXPECT_FALSE(bad.DecodeFrame(in.data(), in.size(), out.data(), 3)) << bits;
    }
}

TEST(LzxDecoder, ResetStartsAFreshFolderAfterAFailure) {
    const Bytes bad = BlockTypeZero();
    const Bytes good = StreamBuilder().Header().BlockHeader(3, 3).Raw(1, "abc").Take();
    LzxDecoder d(16);
    Bytes out(3);
    EXPECT_FALSE(d.DecodeFrame(bad.data(), bad.size(), out.data(), 3));
    d.Reset();
    ASSERT_TRUE(d.DecodeFrame(good.data(), good.size(), out.data(), 3));
    EXPECT_EQ(std::string(out.begin(), out.end()), "abc");
}

TEST(LzxDecoder, GarbageInputFailsOrDecodesWithinBounds) {
    // Random streams must never crash or hang; most fail.
    int failures = 0;
    for (std::uint32_t seed = 0; seed < 300; ++seed) {
        Bytes in = testing::RandomBytes(64 + seed * 7, seed);
        LzxDecoder d(15 + static_cast<int>(seed % 7));
        Bytes out(kFrameSize);
        failures += d.DecodeFrame(in.data(), in.size(), out.data(), out.size()) ? 0 : 1;
    }
    EXPECT_GT(failures, 250);
}

// --- Cabinets made by other compressors ---------------------------------------

std::uint32_t Le16(const Bytes& b, std::size_t at) {
    return b[at] | (b[at + 1] << 8);
}
std::uint32_t Le32(const Bytes& b, std::size_t at) {
    return Le16(b, at) | (Le16(b, at + 2) << 16);
}

struct LzxFolder {
    int windowBits = 0;
    std::vector<std::pair<Bytes, std::size_t>> blocks;  // compressed bytes, uncompressed size
};

// Just enough of the cabinet format to find the LZX folders of a test file.
bool ReadLzxFolders(const std::string& path, std::vector<LzxFolder>& folders) {
    std::ifstream f(path, std::ios::binary);
    Bytes cab((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    constexpr std::size_t kHeaderSize = 36;
    if (cab.size() < kHeaderSize || cab[0] != 'M' || cab[1] != 'S' || cab[2] != 'C' ||
        cab[3] != 'F') {
        return false;
    }
    const std::uint32_t cFolders = Le16(cab, 26);
    const std::uint32_t flags = Le16(cab, 30);
    if (flags & 3) {
        return false;  // continued cabinets: not needed here
    }
    std::size_t at = kHeaderSize;
    std::uint32_t folderReserve = 0;
    std::uint32_t dataReserve = 0;
    if (flags & 4) {
        if (cab.size() < at + 4) {
            return false;
        }
        const std::uint32_t headerReserve = Le16(cab, at);
        folderReserve = cab[at + 2];
        dataReserve = cab[at + 3];
        at += 4 + headerReserve;
    }
    for (std::uint32_t i = 0; i < cFolders; ++i, at += 8 + folderReserve) {
        if (cab.size() < at + 8) {
            return false;
        }
        const std::uint32_t type = Le16(cab, at + 6);
        if ((type & 0xF) != 3) {
            continue;
        }
        LzxFolder folder;
        folder.windowBits = static_cast<int>((type >> 8) & 0x1F);
        std::size_t d = Le32(cab, at);
        for (std::uint32_t k = 0; k < Le16(cab, at + 4); ++k) {
            if (cab.size() < d + 8 + dataReserve) {
                return false;
            }
            const std::size_t cb = Le16(cab, d + 4);
            const std::size_t uncompressed = Le16(cab, d + 6);
            const std::size_t begin = d + 8 + dataReserve;
            if (cab.size() < begin + cb) {
                return false;
            }
            folder.blocks.emplace_back(Bytes(cab.begin() + begin, cab.begin() + begin + cb),
                                       uncompressed);
            d = begin + cb;
        }
        folders.push_back(std::move(folder));
    }
    return true;
}

bool DecodeLzxFolder(const LzxFolder& folder, Bytes& out) {
    LzxDecoder d(folder.windowBits);
    out.clear();
    for (const auto& [in, size] : folder.blocks) {
        Bytes part(size);
        if (!d.DecodeFrame(in.data(), in.size(), part.data(), size)) {
            return false;
        }
        out.insert(out.end(), part.begin(), part.end());
    }
    return true;
}

std::string TestCab(const char* name) {
    return std::string(QM_TESTDATA_DIR) + "/cab/" + name;
}

Bytes CabextractFile(const std::string& cab, const char* member) {
    std::string cmd = "cabextract -q -p -F '" + std::string(member) + "' '" + cab + "' 2>/dev/null";
    Bytes out;
    FILE* p = popen(cmd.c_str(), "r");
    if (p == nullptr) {
        return out;
    }
    std::uint8_t buf[4096];
    std::size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) {
        out.insert(out.end(), buf, buf + n);
    }
    pclose(p);
    return out;
}

TEST(LzxDecoder, DecodesTheLzxFolderOfAForeignCabinetLikeCabextract) {
    for (const char* name : {"mszip_lzx_qtm.cab", "mixed.cab"}) {
        std::vector<LzxFolder> folders;
        ASSERT_TRUE(ReadLzxFolders(TestCab(name), folders)) << name;
        ASSERT_EQ(folders.size(), 1u) << name;
        Bytes decoded;
        ASSERT_TRUE(DecodeLzxFolder(folders[0], decoded)) << name;
        const Bytes expected = CabextractFile(TestCab(name), "lzx.txt");
        ASSERT_FALSE(expected.empty()) << "cabextract missing?";
        // The folder holds lzx.txt alone.
        EXPECT_EQ(decoded, expected) << name;
    }
}

TEST(LzxDecoder, MalformedForeignCabinetsFailCleanly) {
    for (const char* name : {"lzx-premature-matches.cab", "lzx-main-tree-no-lengths.cab",
                             "cve-2015-4471-lzx-under-read.cab"}) {
        std::vector<LzxFolder> folders;
        if (!ReadLzxFolders(TestCab(name), folders)) {
            continue;  // not even a readable container
        }
        for (const LzxFolder& folder : folders) {
            Bytes decoded;
            EXPECT_FALSE(DecodeLzxFolder(folder, decoded)) << name;
        }
    }
}

}  // namespace
}  // namespace cabinet::lzx
