// LZX encoder for cabinet folders: one object per folder, fed the folder's
// data one frame (data block) at a time.
//
// Matches come from hash chains with lazy evaluation (or, as an option, a
// cheapest-path parse) and the three repeated offsets. Consecutive frames
// share one block (and its trees) while that is cheaper than starting a new
// one; a frame that does not compress goes out as an uncompressed block of
// its own; a compressed block is verbatim or aligned offset, whichever is
// smaller by exact bit count. A frame's bytes are therefore ready only once
// the block holding it is closed. Matches never cross a frame end.
//
// The tables grow with the data (a small folder clears and touches little
// memory), and each thread keeps the tables of its last finished encoder, up
// to a bound, for the next one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
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
    // Most frames one block may span (1 = a block per frame).
    int maxBlockFrames = 32;
    // Tests only: the folder starts this many bytes into a stream, for the
    // 1 GiB limit of the call translation. The decoder must be told the same.
    std::uint64_t streamOffsetForTest = 0;
};

class LzxEncoder {
public:
    // windowBits 15..21; IsValid() is false for anything else.
    explicit LzxEncoder(int windowBits, const LzxEncoderOptions& options = {});
    ~LzxEncoder();
    LzxEncoder(const LzxEncoder&) = delete;
    LzxEncoder& operator=(const LzxEncoder&) = delete;
    bool IsValid() const { return m_numSlots != 0; }

    // Takes the folder's next frame of `size` bytes (1..kFrameSize; only the
    // folder's last frame may be shorter than kFrameSize). Size 0 does
    // nothing. Not thread-safe; one folder per object.
    void EncodeFrame(const std::uint8_t* data, std::size_t size);
    // Closes the open block: every frame taken so far becomes ready. Call it
    // after the folder's last frame.
    void Flush();
    // Appends the oldest ready frame's compressed bytes (padded to a 16-bit
    // boundary) to out; false when no frame is ready.
    bool TakeFrame(std::vector<std::uint8_t>& out);
    // Uncompressed bytes taken but not yet ready.
    std::size_t HeldBytes() const { return m_heldBytes; }

private:
    struct Match {
        std::uint32_t length = 0;
        std::uint32_t offset = 0;
        int rep = -1;   // 0..2: coded as repeated offset R0..R2
        int score = 0;  // of FindMatch's result: Score at its position
    };
    struct Item {
        std::uint16_t main;
        std::uint8_t lengthSymbol;  // kNoLength when none
        std::uint8_t footerBits;
        std::uint32_t footer;
    };
    // Symbol counts of a run of items.
    struct Stats {
        std::uint32_t main[kMaxMainTreeSize];
        std::uint32_t length[kLengthTreeSize];
        std::uint32_t aligned[kAlignedTreeSize];
        std::uint64_t footerBits;
        void Clear();
        void Add(const Stats& other, int mainSize);
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
    static constexpr std::uint8_t kNoLength = 0xFF;

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
    // Bits of a compressed block with these counts (its type chosen as the
    // cheaper of verbatim and aligned, or forced), trees coded against the
    // last written block's lengths.
    std::uint64_t PlanBlock(const Stats& stats, BlockPlan& plan) const;
    static std::uint64_t SymbolBits(const Stats& stats, const BlockPlan& plan, int mainSize);
    void WriteHeaderOnce(LzxBitWriter& w);
    void WriteStoredFrame(std::uint64_t start, std::size_t size);
    // Writes the open block (its frames become ready) and empties it; items
    // past its frames (the next frame's) stay.
    void CloseBlock();
    void RememberLengths(const BlockPlan& plan);
    void SetPrices(const BlockPlan& plan, const Stats& stats);
    // Sizes the tables for a stream of `bytes` so far (they only grow).
    void ReserveTables(std::uint64_t bytes);
    static void TokenizeLengths(const std::uint8_t* prev, const std::uint8_t* cur, int first,
                                int last, std::vector<LengthToken>& tokens);
    static std::uint64_t TreeCost(const std::vector<LengthToken>& tokens, std::uint8_t* preLengths);
    static void WriteTree(LzxBitWriter& w, const std::vector<LengthToken>& tokens,
                          const std::uint8_t* preLengths);

    const std::uint8_t* At(std::uint64_t pos) const { return m_t.buf.data() + (pos - m_bufBase); }
    std::uint32_t Hash3(const std::uint8_t* p) const;
    std::uint32_t Hash4(const std::uint8_t* p) const;
    std::uint32_t HashLong(const std::uint8_t* p) const;
    std::uint32_t HashChain(const std::uint8_t* p) const;

    LzxEncoderOptions m_options;
    int m_windowBits;
    int m_numSlots;
    int m_mainSize;
    std::uint32_t m_maxOffset;

    // The memory that grows with the data, handed from one encoder to the
    // next of the same thread.
    struct Tables {
        // History: the last window's worth of (translated) data and the
        // current frame; buf[0] is stream position m_bufBase.
        std::vector<std::uint8_t> buf;
        std::vector<std::uint32_t> head;
        std::vector<std::uint32_t> head3;
        std::vector<std::uint32_t> head4;
        std::vector<std::uint32_t> headLong;
        std::vector<std::uint32_t> prev;  // indexed by position modulo its size
        std::vector<Item> items;
        std::vector<std::uint32_t> literalPrefix;
        std::vector<std::uint8_t> ready;
        std::size_t Bytes() const;
    };
    // The tables of the thread's last finished encoder, if kept.
    static std::unique_ptr<Tables>& SpareTables();
    Tables m_t;
    std::uint64_t m_bufBase = 0;
    std::uint64_t m_bufEnd = 0;
    std::uint64_t m_inserted = 0;    // positions below this are in the hash chains
    std::uint64_t m_tableBytes = 0;  // the stream length the tables are sized for
    int m_hashShift = 32;            // of the chain hash (64-bit: + 32)
    int m_hashLongShift = 32;
    int m_hash3Shift = 32;
    int m_hash4Shift = 32;
    std::uint32_t m_prevMask = 0;

    // The open block: its frames' sizes and item ends, and its counts.
    std::vector<std::uint32_t> m_heldSizes;
    std::vector<std::uint32_t> m_heldItemEnds;
    std::size_t m_heldBytes = 0;
    Stats m_blockStats;
    Stats m_frameStats;
    BlockPlan m_framePlan;
    BlockPlan m_heldPlan;
    BlockPlan m_mergedPlan;
    // Ready frames: their bytes in m_t.ready from m_readyOffset on.
    std::vector<std::uint32_t> m_readySizes;
    std::size_t m_readyNext = 0;
    std::size_t m_readyOffset = 0;

    bool m_headerWritten = false;
    bool m_lastStored = false;  // the previous frame went out uncompressed
    int m_depth = 0;            // chain depth for the current frame
    // Average literal price of the last compressed block, in 1/16 bit.
    int m_literalBits16 = 16 * 6;
    // Literal prices of the current frame's bytes, summed from its start.
    std::uint64_t m_frameStart = 0;
    std::vector<Node> m_nodes;
    std::vector<std::size_t> m_path;
    std::uint32_t m_r[3] = {1, 1, 1};

    // Lengths of the last written compressed block: the base of the delta
    // coding.
    std::uint8_t m_mainLengths[kMaxMainTreeSize] = {};
    std::uint8_t m_lengthLengths[kLengthTreeSize] = {};
    // Lengths the parse prices symbols by: those of the block the last frame
    // went into.
    std::uint8_t m_priceMain[kMaxMainTreeSize] = {};
    std::uint8_t m_priceLength[kLengthTreeSize] = {};
};

}  // namespace cabinet::lzx
