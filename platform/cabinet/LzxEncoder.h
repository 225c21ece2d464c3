// LZX encoder for cabinet folders: one object per folder, fed the folder's
// data one frame (data block) at a time.
//
// Matches come from hash chains with lazy evaluation (or, as an option, a
// cheapest-path parse) and the three repeated offsets; each frame becomes one block whose type
// (verbatim, aligned offset or uncompressed) is the smallest of the three by exact bit count.
// Blocks never span frames, so each frame's output can be written as soon as its data has arrived;
// matches never cross a frame end either.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/cabinet/LzxConstants.h"

namespace cabinet::lzx {

class LzxBitWriter;

struct LzxEncoderOptions {
    // Call translation; the decoder learns both values from the stream.
    bool e8Translation = true;
    std::uint32_t e8TranslationSize = kDefaultE8TranslationSize;  // below 2^31
    // Match search effort: chain links followed per position, and the length
    // that ends a search (and the lazy look-ahead) at once.
    int maxChainDepth = 24;
    int niceLength = 128;
    // Cheapest-path parse of each frame by the previous block's prices instead
    // of lazy matching: some 4-8% smaller on text, at a third of the speed.
    bool optimalParse = false;
    // 0: the smallest block type; else every block is of this type (tests).
    int forceBlockType = 0;
    // Tests only: the folder starts this many bytes into a stream, for the
    // 1 GiB limit of the call translation. The decoder must be told the same.
    std::uint64_t streamOffsetForTest = 0;
};

class LzxEncoder {
public:
    // windowBits 15..21; IsValid() is false for anything else.
    explicit LzxEncoder(int windowBits, const LzxEncoderOptions& options = {});
    bool IsValid() const { return m_numSlots != 0; }

    // Compresses the folder's next frame of `size` bytes (1..kFrameSize; only
    // the folder's last frame may be shorter than kFrameSize) and appends its
    // compressed bytes, padded to a 16-bit boundary, to out. Size 0 appends
    // nothing. Not thread-safe; one folder per object.
    void EncodeFrame(const std::uint8_t* data, std::size_t size, std::vector<std::uint8_t>& out);

private:
    struct Match {
        std::uint32_t length = 0;
        std::uint32_t offset = 0;
        int rep = -1;  // 0..2: coded as repeated offset R0..R2
    };
    struct Item {
        std::uint16_t main;
        std::uint16_t lengthSymbol;  // kNoLength when none
        std::uint32_t footer;
        std::uint8_t footerBits;
    };
    struct Node {
        std::uint32_t cost = 0xFFFFFFFF;  // 1/16 bits from the frame start
        std::uint32_t offset = 0;
        std::uint16_t length = 0;  // of the arrival: 1 for a literal
        std::int8_t rep = -1;
        std::uint32_t r[3] = {};  // repeated offsets after the arrival
    };
    struct LengthToken {
        std::uint8_t symbol;
        std::uint8_t extraBits;
        std::uint8_t extra;
        std::uint8_t delta;  // for the same-length run only
    };
    static constexpr std::uint16_t kNoLength = 0xFFFF;

    void AppendToHistory(const std::uint8_t* data, std::size_t size);
    void InsertUpTo(std::uint64_t pos);
    // Enters pos into the tables; returns the previous head of its chain.
    std::uint32_t Insert(std::uint64_t pos);
    Match FindMatch(std::uint64_t pos, std::uint64_t end, int depth);
    std::uint32_t MatchLength(std::uint64_t a, std::uint64_t b, std::uint32_t max) const;
    // Bits (in 1/16) a match at pos saves over literals; > 0 means it pays.
    int Score(const Match& m, std::uint64_t pos) const;
    void Parse(std::uint64_t start, std::uint64_t end);
    void ParseOptimal(std::uint64_t start, std::uint64_t end);
    // Matches at pos from the hash tables, of strictly growing length (the
    // longest last); enters pos into the tables. Needs 4 bytes at pos.
    int NormalCandidates(std::uint64_t pos, std::uint64_t end, int depth, Match* out);
    static constexpr int kMaxCandidates = 16;
    void EmitLiteral(std::uint8_t byte);
    void EmitMatch(const Match& m);
    // The trees, their coded form and the block type chosen for the frame.
    struct BlockPlan {
        BlockType type = BlockType::kVerbatim;
        bool anyAligned = false;
        std::uint8_t mainLengths[kMaxMainTreeSize];
        std::uint8_t lengthLengths[kLengthTreeSize];
        std::uint8_t alignedLengths[kAlignedTreeSize];
        std::vector<LengthToken> tokens[3];  // main 0..255, main rest, length tree
        std::uint8_t preLengths[3][kPretreeSize];
    };
    void WriteFrame(std::uint64_t start, std::size_t size, const std::uint32_t savedR[3],
                    std::vector<std::uint8_t>& out);
    void PlanBlock(std::size_t size, BlockPlan& plan) const;
    void WriteStoredBody(LzxBitWriter& w, std::uint64_t start, std::size_t size) const;
    void WriteCompressedBody(LzxBitWriter& w, const BlockPlan& plan) const;
    void RememberLengths(const BlockPlan& plan);
    static void TokenizeLengths(const std::uint8_t* prev, const std::uint8_t* cur, int first,
                                int last, std::vector<LengthToken>& tokens);
    static std::uint64_t TreeCost(const std::vector<LengthToken>& tokens, std::uint8_t* preLengths);
    static void WriteTree(LzxBitWriter& w, const std::vector<LengthToken>& tokens,
                          const std::uint8_t* preLengths);

    const std::uint8_t* At(std::uint64_t pos) const { return m_buf.data() + (pos - m_bufBase); }

    LzxEncoderOptions m_options;
    int m_windowBits;
    int m_numSlots;
    int m_mainSize;
    std::uint32_t m_maxOffset;

    // History: the last window's worth of (translated) data and the current
    // frame; m_buf[0] is stream position m_bufBase.
    std::vector<std::uint8_t> m_buf;
    std::uint64_t m_bufBase = 0;
    std::uint64_t m_bufEnd = 0;
    std::uint64_t m_inserted = 0;  // positions below this are in the hash chains
    std::vector<std::uint32_t> m_head;
    std::vector<std::uint32_t> m_head3;
    std::vector<std::uint32_t> m_head4;
    std::vector<std::uint32_t> m_headLong;
    std::vector<std::uint32_t> m_prev;  // indexed by position modulo the window

    bool m_headerWritten = false;
    bool m_lastStored = false;  // the previous frame went out uncompressed
    int m_depth = 0;            // chain depth for the current frame
    // Average literal price of the last compressed block, in 1/16 bit.
    int m_literalBits16 = 16 * 6;
    // Literal prices of the current frame's bytes, summed from its start.
    std::uint64_t m_frameStart = 0;
    std::vector<std::uint32_t> m_literalPrefix;
    std::vector<Node> m_nodes;
    BlockPlan m_plan;
    std::vector<std::size_t> m_path;
    std::uint32_t m_r[3] = {1, 1, 1};

    // The current frame's symbols and their statistics.
    std::vector<Item> m_items;
    std::uint32_t m_mainFreq[kMaxMainTreeSize];
    std::uint32_t m_lengthFreq[kLengthTreeSize];
    std::uint32_t m_alignedFreq[kAlignedTreeSize];

    // Lengths of the last compressed block: the base of the delta coding.
    std::uint8_t m_mainLengths[kMaxMainTreeSize] = {};
    std::uint8_t m_lengthLengths[kLengthTreeSize] = {};
};

}  // namespace cabinet::lzx
