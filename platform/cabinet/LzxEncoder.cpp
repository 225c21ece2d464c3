#include "platform/cabinet/LzxEncoder.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "platform/cabinet/LzxBitWriter.h"
#include "platform/cabinet/LzxE8.h"
#include "platform/cabinet/LzxHuffman.h"

namespace cabinet::lzx {

namespace {

// Chains link positions with equal hashes of their next kChainBytes bytes, so
// that in text full of common short words a bounded walk still reaches the
// long matches; chainless tables keep the latest position of each 3-byte and
// 4-byte hash for the short matches, and of each 16-byte hash for repeats
// older than the chain walk reaches. The chain heads are many (a quarter of
// the largest window): in data that hardly compresses a chain would else be
// a run of hash collisions, each a cache miss to walk.
constexpr int kChainBytes = 7;
constexpr int kHashBits = 20;
constexpr int kHash3Bits = 14;
constexpr int kHash4Bits = 16;
constexpr std::uint32_t kMaxHash3Distance = 16384;
constexpr int kHashLongBits = 18;
constexpr int kChainBits = 21;
// The smallest tables: a stream of up to 2^kMinTableBits bytes uses them.
constexpr int kMinTableBits = 12;
// The tables grow by this many bits at a time; each step enters the
// history into the new tables again.
constexpr int kGrowBits = 2;
// A finished encoder's tables are kept for the thread's next one up to this
// many bytes; larger ones are freed.
constexpr std::size_t kKeptTableBytes = std::size_t{4} << 20;
// A position enters the tables once this many bytes from it are known.
constexpr std::uint64_t kHashedBytes = 16;
// Once a match this long is found, the rest of the chain gets a quarter of
// the effort.
constexpr std::uint32_t kGoodLength = 32;
// Matches at least this long are taken without looking one byte further.
constexpr std::uint32_t kMaxLazyLength = 48;
// Chain depth for a frame that follows a stored (incompressible) one.
constexpr int kStoredFrameDepth = 16;
// Price of a match symbol the previous block did not use, before rarity.
constexpr int kMatchSymbolBits = 9;

}  // namespace

std::unique_ptr<LzxEncoder::Tables>& LzxEncoder::SpareTables() {
    thread_local std::unique_ptr<Tables> spare;
    return spare;
}

std::size_t LzxEncoder::Tables::Bytes() const {
    return buf.capacity() +
           4 * (head.capacity() + head3.capacity() + head4.capacity() + headLong.capacity() +
                prev.capacity() + literalPrefix.capacity()) +
           sizeof(Item) * items.capacity() + ready.capacity();
}

void LzxEncoder::Stats::Clear() {
    std::memset(this, 0, sizeof *this);
}

void LzxEncoder::Stats::Add(const Stats& other, int mainSize) {
    for (int i = 0; i < mainSize; ++i) {
        main[i] += other.main[i];
    }
    for (int i = 0; i < kLengthTreeSize; ++i) {
        length[i] += other.length[i];
    }
    for (int i = 0; i < kAlignedTreeSize; ++i) {
        aligned[i] += other.aligned[i];
    }
    footerBits += other.footerBits;
}

std::uint32_t LzxEncoder::Hash3(const std::uint8_t* p) const {
    std::uint32_t v =
        p[0] | (static_cast<std::uint32_t>(p[1]) << 8) | (static_cast<std::uint32_t>(p[2]) << 16);
    return (v * 2654435761u) >> m_hash3Shift;
}

std::uint32_t LzxEncoder::Hash4(const std::uint8_t* p) const {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return (v * 2654435761u) >> m_hash4Shift;
}

// Hash of 16 bytes (all readable at p): its latest position is where a long
// repeat most likely is.
std::uint32_t LzxEncoder::HashLong(const std::uint8_t* p) const {
    std::uint64_t a;
    std::uint64_t b;
    std::memcpy(&a, p, 8);
    std::memcpy(&b, p + 8, 8);
    const std::uint64_t v = (a * 0x9E3779B97F4A7C15ull) ^ (b * 0xC2B2AE3D27D4EB4Full);
    return static_cast<std::uint32_t>((v ^ (v >> 29)) >> (m_hashLongShift + 32));
}

// Needs 8 readable bytes at p.
std::uint32_t LzxEncoder::HashChain(const std::uint8_t* p) const {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    v &= (std::uint64_t{1} << (8 * kChainBytes)) - 1;
    return static_cast<std::uint32_t>((v * 0x9E3779B97F4A7C15ull) >> (m_hashShift + 32));
}

LzxEncoder::LzxEncoder(int windowBits, const LzxEncoderOptions& options)
    : m_options(options),
      m_windowBits(windowBits),
      m_numSlots(NumPositionSlots(windowBits)),
      m_mainSize(MainTreeSize(windowBits)),
      m_maxOffset(m_numSlots ? MaxMatchOffset(windowBits) : 0) {
    if (m_numSlots == 0) {
        return;
    }
    if (m_options.e8TranslationSize >= 0x80000000u) {
        m_options.e8TranslationSize = kDefaultE8TranslationSize;
    }
    m_options.maxChainDepth = std::max(1, m_options.maxChainDepth);
    m_options.niceLength = std::clamp(m_options.niceLength, 3, kMaxMatch);
    m_options.maxBlockFrames = std::max(1, m_options.maxBlockFrames);
    if (auto& spare = SpareTables()) {
        m_t = std::move(*spare);
        spare.reset();
    }
    m_t.items.clear();
    m_t.ready.clear();
    m_blockStats.Clear();
}

LzxEncoder::~LzxEncoder() {
    if (IsValid() && m_t.Bytes() <= kKeptTableBytes) {
        auto& spare = SpareTables();
        if (!spare) {
            spare = std::make_unique<Tables>(std::move(m_t));
        }
    }
}

void LzxEncoder::ReserveTables(std::uint64_t bytes) {
    const std::uint64_t window = std::uint64_t{1} << m_windowBits;
    if (m_tableBytes >= std::min(bytes, window)) {
        return;
    }
    int bits = kMinTableBits;
    while ((std::uint64_t{1} << bits) < bytes && bits < m_windowBits) {
        bits = std::min(bits + kGrowBits, m_windowBits);
    }
    m_tableBytes = std::uint64_t{1} << bits;
    // Fresh tables of the new size; what is in the history goes in again.
    const int hashBits = std::min(bits, kHashBits);
    m_hashShift = 32 - hashBits;
    m_hash3Shift = 32 - std::min(bits, kHash3Bits);
    m_hash4Shift = 32 - std::min(bits, kHash4Bits);
    m_hashLongShift = 32 - std::min(bits, kHashLongBits);
    m_t.head.assign(std::size_t{1} << hashBits, 0);
    m_t.head3.assign(std::size_t{1} << std::min(bits, kHash3Bits), 0);
    m_t.head4.assign(std::size_t{1} << std::min(bits, kHash4Bits), 0);
    m_t.headLong.assign(std::size_t{1} << std::min(bits, kHashLongBits), 0);
    // Chains reach back kChainBits: further repeats are found through the
    // long-hash table, and a chain table that stays in the cache is what
    // makes the walks fast.
    const int chainBits = std::min(bits, kChainBits);
    m_t.prev.assign(std::size_t{1} << chainBits, 0);
    m_prevMask = (1u << chainBits) - 1;
    const std::uint64_t again = m_inserted;
    m_inserted = std::max<std::uint64_t>(m_bufBase, again > window ? again - window : 0);
    InsertUpTo(again);
}

void LzxEncoder::EncodeFrame(const std::uint8_t* data, std::size_t size) {
    if (!IsValid() || size == 0) {
        return;
    }
    size = std::min(size, kFrameSize);
    const std::uint64_t start = m_bufEnd;
    AppendToHistory(data, size);
    ReserveTables(m_bufEnd);
    // An uncompressed block restores the repeated offsets it carries, so the
    // parse's updates must be undone when that type wins.
    const std::uint32_t savedR[3] = {m_r[0], m_r[1], m_r[2]};
    // Data that just failed to compress (an embedded archive, an image) is
    // likely to go on failing: search it cheaply.
    m_depth = m_lastStored ? std::min(kStoredFrameDepth, m_options.maxChainDepth)
                           : m_options.maxChainDepth;
    const std::size_t firstItem = m_t.items.size();
    m_frameStats.Clear();
    Parse(start, start + size);

    // The frame alone, the open block with it, and stored.
    const std::uint64_t alone = PlanBlock(m_frameStats, m_framePlan);
    const std::uint64_t rawBits = 27 + 16 + 96 + 8 * (size + (size & 1));
    const bool forced = m_options.forceBlockType != 0;
    if ((!forced && rawBits < alone) ||
        (forced && m_options.forceBlockType == static_cast<int>(BlockType::kUncompressed))) {
        m_t.items.resize(firstItem);
        CloseBlock();
        std::copy(savedR, savedR + 3, m_r);
        WriteStoredFrame(start, size);
        m_lastStored = true;
        return;
    }
    m_lastStored = false;
    bool join = !m_heldSizes.empty() &&
                m_heldSizes.size() < static_cast<std::size_t>(m_options.maxBlockFrames);
    if (join) {
        Stats merged = m_blockStats;
        merged.Add(m_frameStats, m_mainSize);
        const std::uint64_t heldBits = PlanBlock(m_blockStats, m_heldPlan);
        const std::uint64_t mergedBits = PlanBlock(merged, m_mergedPlan);
        // The frame's own share of the merged block must fit its data block.
        const std::uint64_t frameBits = SymbolBits(m_frameStats, m_mergedPlan, m_mainSize);
        join = mergedBits <= heldBits + alone && frameBits < 8 * kFrameSize;
        if (join) {
            m_blockStats = merged;
            SetPrices(m_mergedPlan, m_blockStats);
        }
    }
    if (!join) {
        // The block before this frame is written; the frame's items stay.
        CloseBlock();
        m_blockStats = m_frameStats;
        SetPrices(m_framePlan, m_blockStats);
    }
    m_heldSizes.push_back(static_cast<std::uint32_t>(size));
    m_heldItemEnds.push_back(static_cast<std::uint32_t>(m_t.items.size()));
    m_heldBytes += size;
}

void LzxEncoder::Flush() {
    CloseBlock();
}

bool LzxEncoder::TakeFrame(std::vector<std::uint8_t>& out) {
    if (m_readyNext == m_readySizes.size()) {
        return false;
    }
    const std::size_t n = m_readySizes[m_readyNext++];
    out.insert(out.end(), m_t.ready.begin() + static_cast<std::ptrdiff_t>(m_readyOffset),
               m_t.ready.begin() + static_cast<std::ptrdiff_t>(m_readyOffset + n));
    m_readyOffset += n;
    if (m_readyNext == m_readySizes.size()) {
        m_readySizes.clear();
        m_readyNext = 0;
        m_readyOffset = 0;
        m_t.ready.clear();
    }
    return true;
}

void LzxEncoder::AppendToHistory(const std::uint8_t* data, std::size_t size) {
    const std::size_t window = std::size_t{1} << m_windowBits;
    const std::size_t full = 2 * window + kFrameSize;
    const std::size_t need = static_cast<std::size_t>(m_bufEnd - m_bufBase) + size;
    if (need > m_t.buf.size()) {
        if (m_t.buf.size() < full) {
            // Grown, not allocated in full: a small folder touches little.
            m_t.buf.resize(std::min(full, std::max(need, 2 * m_t.buf.size())));
        } else {
            // Keep one window of history in front of the new frame.
            std::memmove(m_t.buf.data(), At(m_bufEnd - window), window);
            m_bufBase = m_bufEnd - window;
        }
    }
    std::uint8_t* dst = m_t.buf.data() + (m_bufEnd - m_bufBase);
    std::memcpy(dst, data, size);
    if (m_options.e8Translation) {
        E8Encode(dst, size, m_options.streamOffsetForTest + m_bufEnd, m_options.e8TranslationSize);
    }
    m_bufEnd += size;
}

void LzxEncoder::InsertUpTo(std::uint64_t pos) {
    if (m_bufEnd < kHashedBytes) {
        return;
    }
    const std::uint64_t last = std::min(pos, m_bufEnd - kHashedBytes + 1);
    if (m_inserted >= last) {
        return;
    }
    // The same entries as Insert makes, with the tables and shifts held in
    // locals: the stores into the tables would otherwise make every member
    // be read again for each position.
    std::uint32_t* const head = m_t.head.data();
    std::uint32_t* const head3 = m_t.head3.data();
    std::uint32_t* const head4 = m_t.head4.data();
    std::uint32_t* const headLong = m_t.headLong.data();
    std::uint32_t* const prev = m_t.prev.data();
    const std::uint32_t prevMask = m_prevMask;
    const int shift = m_hashShift + 32;
    const int shift3 = m_hash3Shift;
    const int shift4 = m_hash4Shift;
    const int shiftLong = m_hashLongShift + 32;
    const std::uint8_t* p = At(m_inserted);
    for (std::uint64_t i = m_inserted; i < last; ++i, ++p) {
        std::uint64_t a;
        std::uint64_t b;
        std::memcpy(&a, p, 8);
        std::memcpy(&b, p + 8, 8);
        const auto pos32 = static_cast<std::uint32_t>(i);
        const std::uint64_t chainBytes = a & ((std::uint64_t{1} << (8 * kChainBytes)) - 1);
        std::uint32_t& chainHead =
            head[static_cast<std::uint32_t>((chainBytes * 0x9E3779B97F4A7C15ull) >> shift)];
        prev[i & prevMask] = chainHead;
        chainHead = pos32;
        head3[(static_cast<std::uint32_t>(a & 0xFFFFFF) * 2654435761u) >> shift3] = pos32;
        head4[(static_cast<std::uint32_t>(a) * 2654435761u) >> shift4] = pos32;
        const std::uint64_t v = (a * 0x9E3779B97F4A7C15ull) ^ (b * 0xC2B2AE3D27D4EB4Full);
        headLong[static_cast<std::uint32_t>((v ^ (v >> 29)) >> shiftLong)] = pos32;
    }
    m_inserted = last;
}

std::uint32_t LzxEncoder::Insert(std::uint64_t pos) {
    const auto pos32 = static_cast<std::uint32_t>(pos);
    const std::uint8_t* p = At(pos);
    std::uint32_t& head = m_t.head[HashChain(p)];
    const std::uint32_t previous = head;
    m_t.prev[pos & m_prevMask] = previous;
    head = pos32;
    m_t.head3[Hash3(p)] = pos32;
    m_t.head4[Hash4(p)] = pos32;
    m_t.headLong[HashLong(p)] = pos32;
    m_inserted = pos + 1;
    return previous;
}

std::uint32_t LzxEncoder::MatchLength(std::uint64_t a, std::uint64_t b, std::uint32_t max) const {
    const std::uint8_t* p = At(a);
    const std::uint8_t* q = At(b);
    std::uint32_t n = 0;
    while (n + 8 <= max) {
        std::uint64_t x;
        std::uint64_t y;
        std::memcpy(&x, p + n, 8);
        std::memcpy(&y, q + n, 8);
        if (x != y) {
            return n + static_cast<std::uint32_t>(__builtin_ctzll(x ^ y) >> 3);
        }
        n += 8;
    }
    while (n < max && p[n] == q[n]) {
        ++n;
    }
    return n;
}

int LzxEncoder::Score(const Match& m, std::uint64_t pos) const {
    if (m.length == 0) {
        return 0;
    }
    // Prices in 1/16 bit from the previous block's code lengths; a symbol that
    // block did not use is priced as rare.
    const int slot = m.rep >= 0 ? m.rep : PositionSlotOf(m.offset + 2);
    const std::uint32_t lengthCode = m.length - kMinMatch;
    const std::uint32_t header = std::min<std::uint32_t>(lengthCode, kNumPrimaryLengths);
    const std::uint8_t mainBits = m_priceMain[kNumChars + slot * 8 + header];
    int cost = (mainBits ? mainBits : kMatchSymbolBits + 3) + kFooterBits[slot];
    if (header == kNumPrimaryLengths) {
        const std::uint8_t bits = m_priceLength[lengthCode - kNumPrimaryLengths];
        cost += bits ? bits : 8;
    }
    // What the same bytes would cost as literals.
    const std::size_t from = static_cast<std::size_t>(pos - m_frameStart);
    return static_cast<int>(m_t.literalPrefix[from + m.length] - m_t.literalPrefix[from]) -
           16 * cost;
}

int LzxEncoder::NormalCandidates(std::uint64_t pos, std::uint64_t end, int depth, Match* out) {
    const auto maxLength =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(kMaxMatch, end - pos));
    const std::uint64_t history = std::min<std::uint64_t>(m_maxOffset, pos - m_bufBase);
    const auto pos32 = static_cast<std::uint32_t>(pos);
    const std::uint8_t* p = At(pos);
    if (pos + 1 + kHashedBytes <= m_bufEnd) {
        // The lazy parse looks at the next position straight after this one:
        // its table entries arrive while this chain is walked.
        const std::uint8_t* n = p + 1;
        __builtin_prefetch(&m_t.head[HashChain(n)]);
        __builtin_prefetch(&m_t.head3[Hash3(n)]);
        __builtin_prefetch(&m_t.head4[Hash4(n)]);
        __builtin_prefetch(&m_t.headLong[HashLong(n)]);
    }
    int count = 0;
    std::uint32_t bestLength = 2;
    auto add = [&](std::uint32_t len, std::uint32_t d) {
        bestLength = len;
        if (count == kMaxCandidates) {
            --count;
        }
        out[count++] = Match{len, d, -1};
    };
    // The latest positions with the same 3 and 4 bytes.
    const std::uint32_t near3 = pos32 - m_t.head3[Hash3(p)];
    const std::uint32_t near4 = pos32 - m_t.head4[Hash4(p)];
    for (std::uint32_t d : {near3, near4}) {
        if (d != 0 && d <= history && (d == near4 || d <= kMaxHash3Distance)) {
            const std::uint32_t len = MatchLength(pos, pos - d, maxLength);
            if (len > bestLength) {
                add(len, d);
            }
        }
    }
    if (maxLength < kHashedBytes) {
        return count;  // pos goes into the tables once the next frame has arrived
    }
    const std::uint32_t far = pos32 - m_t.headLong[HashLong(p)];
    if (far != 0 && far <= history) {
        const std::uint32_t len = MatchLength(pos, pos - far, maxLength);
        if (len > bestLength) {
            add(len, far);
        }
    }
    std::uint32_t cand = Insert(pos);
    std::uint32_t lastDistance = 0;
    for (; depth > 0 && bestLength < maxLength; --depth) {
        const std::uint32_t d = pos32 - cand;
        // The chain table holds the last m_prevMask + 1 positions only.
        if (d <= lastDistance || d > history || d > m_prevMask) {
            break;
        }
        lastDistance = d;
        const std::uint8_t* q = At(pos - d);
        if (q[bestLength] == p[bestLength] && q[0] == p[0]) {
            const std::uint32_t len = MatchLength(pos, pos - d, maxLength);
            if (len > bestLength) {
                add(len, d);
                if (len >= static_cast<std::uint32_t>(m_options.niceLength)) {
                    break;
                }
                // A good match in hand: look much less hard for a better one.
                if (len >= kGoodLength && depth > 4) {
                    depth /= 4;
                }
            }
        }
        cand = m_t.prev[(pos - d) & m_prevMask];
    }
    return count;
}

LzxEncoder::Match LzxEncoder::FindMatch(std::uint64_t pos, std::uint64_t end, int depth) {
    InsertUpTo(pos);
    Match best;
    const auto maxLength =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(kMaxMatch, end - pos));
    if (maxLength < kMinMatch) {
        return best;
    }
    const std::uint64_t history = std::min<std::uint64_t>(m_maxOffset, pos - m_bufBase);
    int bestScore = 0;
    for (int k = 0; k < 3; ++k) {
        if (m_r[k] > history) {
            continue;
        }
        Match m{MatchLength(pos, pos - m_r[k], maxLength), m_r[k], k};
        if (m.length >= kMinMatch) {
            m.score = Score(m, pos);
            if (m.score > bestScore) {
                best = m;
                bestScore = m.score;
            }
        }
    }
    if (maxLength < 4) {
        return best;
    }
    Match found[kMaxCandidates];
    const bool enough = best.length >= static_cast<std::uint32_t>(m_options.niceLength);
    const int count = NormalCandidates(pos, end, enough ? 0 : depth, found);
    for (int i = 0; i < count; ++i) {
        found[i].score = Score(found[i], pos);
        if (found[i].score > bestScore) {
            best = found[i];
            bestScore = found[i].score;
        }
    }
    return best;
}

void LzxEncoder::Parse(std::uint64_t start, std::uint64_t end) {
    // Literal prices from the previous block; bytes it did not use are rare.
    std::uint32_t price[kNumChars];
    for (int b = 0; b < kNumChars; ++b) {
        price[b] = m_priceMain[b] ? 16u * m_priceMain[b]
                                  : static_cast<std::uint32_t>(m_literalBits16) + 16 * 4;
    }
    m_frameStart = start;
    m_t.literalPrefix.resize(static_cast<std::size_t>(end - start) + 1);
    m_t.literalPrefix[0] = 0;
    for (std::uint64_t i = start; i < end; ++i) {
        m_t.literalPrefix[i - start + 1] = m_t.literalPrefix[i - start] + price[*At(i)];
    }
    if (m_options.optimalParse) {
        ParseOptimal(start, end);
        return;
    }
    std::uint64_t pos = start;
    while (pos < end) {
        Match m = FindMatch(pos, end, m_depth);
        if (m.length == 0) {
            EmitLiteral(*At(pos));
            ++pos;
            continue;
        }
        // Lazy evaluation: a better match one byte on wins over this one.
        while (m.length < kMaxLazyLength && pos + 1 < end) {
            Match next =
                FindMatch(pos + 1, end, m.length >= kGoodLength ? m_depth / 4 + 1 : m_depth);
            if (next.score <= m.score) {
                break;
            }
            EmitLiteral(*At(pos));
            ++pos;
            m = next;
        }
        EmitMatch(m);
        pos += m.length;
    }
    InsertUpTo(end);
}

void LzxEncoder::ParseOptimal(std::uint64_t start, std::uint64_t end) {
    // Cheapest path through the frame by the previous block's prices: each
    // position is reached by a literal or a match from an earlier one, and
    // carries the repeated offsets of its cheapest arrival.
    const std::size_t n = static_cast<std::size_t>(end - start);
    std::uint32_t mainPrice[kMaxMainTreeSize];
    for (int i = 0; i < m_mainSize; ++i) {
        mainPrice[i] = m_priceMain[i] ? 16u * m_priceMain[i] : 16u * (kMatchSymbolBits + 3);
    }
    std::uint32_t lengthPrice[kLengthTreeSize];
    for (int i = 0; i < kLengthTreeSize; ++i) {
        lengthPrice[i] = m_priceLength[i] ? 16u * m_priceLength[i] : 16u * 8;
    }
    auto matchPrice = [&](int slot, std::uint32_t length) {
        const std::uint32_t code = length - kMinMatch;
        if (code < kNumPrimaryLengths) {
            return mainPrice[kNumChars + slot * 8 + code] + 16u * kFooterBits[slot];
        }
        return mainPrice[kNumChars + slot * 8 + kNumPrimaryLengths] + 16u * kFooterBits[slot] +
               lengthPrice[code - kNumPrimaryLengths];
    };
    m_nodes.assign(n + 1, Node{});
    m_nodes[0].cost = 0;
    std::copy(m_r, m_r + 3, m_nodes[0].r);
    const std::uint32_t nice = static_cast<std::uint32_t>(m_options.niceLength);
    Match found[kMaxCandidates];
    std::size_t i = 0;
    while (i < n) {
        const Node cur = m_nodes[i];
        const std::uint64_t pos = start + i;
        if (cur.cost == Node{}.cost) {
            ++i;  // defensive: every position visited here has an arrival
            continue;
        }
        auto relax = [&](std::size_t j, std::uint32_t cost, std::uint32_t length,
                         std::uint32_t offset, int rep) {
            Node& to = m_nodes[j];
            if (cost >= to.cost) {
                return;
            }
            to.cost = cost;
            to.length = static_cast<std::uint16_t>(length);
            to.offset = offset;
            to.rep = static_cast<std::int8_t>(rep);
            if (length == 1 || rep == 0) {
                std::copy(cur.r, cur.r + 3, to.r);
            } else if (rep > 0) {
                std::copy(cur.r, cur.r + 3, to.r);
                std::swap(to.r[0], to.r[rep]);
            } else {
                to.r[0] = offset;
                to.r[1] = cur.r[0];
                to.r[2] = cur.r[1];
            }
        };
        relax(i + 1, cur.cost + (m_t.literalPrefix[i + 1] - m_t.literalPrefix[i]), 1, 0, -1);
        InsertUpTo(pos);
        const auto maxLength =
            static_cast<std::uint32_t>(std::min<std::uint64_t>(kMaxMatch, end - pos));
        std::uint32_t longest = 0;
        if (maxLength >= kMinMatch) {
            const std::uint64_t history = std::min<std::uint64_t>(m_maxOffset, pos - m_bufBase);
            for (int k = 0; k < 3; ++k) {
                if (cur.r[k] > history) {
                    continue;
                }
                const std::uint32_t len = MatchLength(pos, pos - cur.r[k], maxLength);
                for (std::uint32_t l = kMinMatch; l <= len; ++l) {
                    relax(i + l, cur.cost + matchPrice(k, l), l, cur.r[k], k);
                }
                longest = std::max(longest, len);
            }
        }
        if (maxLength >= 4) {
            const int count = NormalCandidates(pos, end, longest >= nice ? 0 : m_depth, found);
            std::uint32_t from = kMinMatch + 1;
            for (int c = 0; c < count; ++c) {
                const int slot = PositionSlotOf(found[c].offset + 2);
                for (std::uint32_t l = from; l <= found[c].length; ++l) {
                    relax(i + l, cur.cost + matchPrice(slot, l), l, found[c].offset, -1);
                }
                from = found[c].length + 1;
                longest = std::max(longest, found[c].length);
            }
        }
        // A long match is taken as it is: the positions it covers are only
        // entered into the tables. Keeps repetitive data fast.
        i += longest >= nice ? longest : 1;
    }
    InsertUpTo(end);
    // Walk back along the cheapest arrivals, then emit forwards.
    std::vector<std::size_t>& path = m_path;
    path.clear();
    for (std::size_t j = n; j > 0; j -= m_nodes[j].length) {
        path.push_back(j);
    }
    for (auto it = path.rbegin(); it != path.rend(); ++it) {
        const Node& node = m_nodes[*it];
        if (node.length == 1) {
            EmitLiteral(*At(start + *it - 1));
        } else {
            EmitMatch(Match{node.length, node.offset, node.rep});
        }
    }
}

void LzxEncoder::EmitLiteral(std::uint8_t byte) {
    m_t.items.push_back(Item{byte, kNoLength, 0, 0});
    ++m_frameStats.main[byte];
}

void LzxEncoder::EmitMatch(const Match& m) {
    int slot;
    std::uint32_t footer = 0;
    if (m.rep >= 0) {
        slot = m.rep;
        if (m.rep > 0) {
            std::swap(m_r[0], m_r[m.rep]);
        }
    } else {
        const std::uint32_t formatted = m.offset + 2;
        slot = PositionSlotOf(formatted);
        footer = formatted - kPositionBase[slot];
        m_r[2] = m_r[1];
        m_r[1] = m_r[0];
        m_r[0] = m.offset;
    }
    const std::uint32_t lengthCode = m.length - kMinMatch;
    const std::uint32_t header = std::min<std::uint32_t>(lengthCode, kNumPrimaryLengths);
    Item item{static_cast<std::uint16_t>(kNumChars + slot * 8 + header), kNoLength,
              kFooterBits[slot], footer};
    if (header == kNumPrimaryLengths) {
        item.lengthSymbol = static_cast<std::uint8_t>(lengthCode - kNumPrimaryLengths);
        ++m_frameStats.length[item.lengthSymbol];
    }
    ++m_frameStats.main[item.main];
    m_frameStats.footerBits += item.footerBits;
    if (item.footerBits >= 3) {
        ++m_frameStats.aligned[footer & 7];
    }
    m_t.items.push_back(item);
}

void LzxEncoder::TokenizeLengths(const std::uint8_t* prev, const std::uint8_t* cur, int first,
                                 int last, std::vector<LengthToken>& tokens) {
    tokens.clear();
    int i = first;
    while (i < last) {
        int run = 1;
        while (i + run < last && cur[i + run] == cur[i] && prev[i + run] == prev[i]) {
            ++run;
        }
        int zeros = 0;
        while (cur[i] == 0 && i + zeros < last && cur[i + zeros] == 0) {
            ++zeros;
        }
        if (zeros >= 20) {
            int r = std::min(zeros, 51);
            tokens.push_back({kPretreeZeros20, 5, static_cast<std::uint8_t>(r - 20), 0});
            i += r;
        } else if (zeros >= 4) {
            int r = std::min(zeros, 19);
            tokens.push_back({kPretreeZeros4, 4, static_cast<std::uint8_t>(r - 4), 0});
            i += r;
        } else if (run >= 4) {
            // Every element of the run has the same old and new length, so the
            // one delta is right for each of them however a decoder applies it.
            int r = std::min(run, 5);
            auto delta = static_cast<std::uint8_t>((prev[i] + 17 - cur[i]) % 17);
            tokens.push_back({kPretreeSame4, 1, static_cast<std::uint8_t>(r - 4), delta});
            i += r;
        } else {
            auto delta = static_cast<std::uint8_t>((prev[i] + 17 - cur[i]) % 17);
            tokens.push_back({delta, 0, 0, 0});
            ++i;
        }
    }
}

std::uint64_t LzxEncoder::TreeCost(const std::vector<LengthToken>& tokens,
                                   std::uint8_t* preLengths) {
    std::uint32_t freq[kPretreeSize] = {};
    for (const LengthToken& t : tokens) {
        ++freq[t.symbol];
        if (t.symbol == kPretreeSame4) {
            ++freq[t.delta];
        }
    }
    BuildCodeLengths(freq, kPretreeSize, kMaxPretreeCodeLength, preLengths);
    std::uint64_t bits = 4 * kPretreeSize;
    for (const LengthToken& t : tokens) {
        bits += preLengths[t.symbol] + t.extraBits;
        if (t.symbol == kPretreeSame4) {
            bits += preLengths[t.delta];
        }
    }
    return bits;
}

void LzxEncoder::WriteTree(LzxBitWriter& w, const std::vector<LengthToken>& tokens,
                           const std::uint8_t* preLengths) {
    std::uint16_t codes[kPretreeSize];
    BuildCodes(preLengths, kPretreeSize, codes);
    for (int i = 0; i < kPretreeSize; ++i) {
        w.Write(preLengths[i], 4);
    }
    for (const LengthToken& t : tokens) {
        w.Write(codes[t.symbol], preLengths[t.symbol]);
        w.Write(t.extra, t.extraBits);
        if (t.symbol == kPretreeSame4) {
            w.Write(codes[t.delta], preLengths[t.delta]);
        }
    }
}

std::uint64_t LzxEncoder::SymbolBits(const Stats& stats, const BlockPlan& plan, int mainSize) {
    std::uint64_t bits = stats.footerBits;
    for (int i = 0; i < mainSize; ++i) {
        bits += std::uint64_t{stats.main[i]} * plan.mainLengths[i];
    }
    for (int i = 0; i < kLengthTreeSize; ++i) {
        bits += std::uint64_t{stats.length[i]} * plan.lengthLengths[i];
    }
    if (plan.type == BlockType::kAligned) {
        for (int i = 0; i < kAlignedTreeSize; ++i) {
            bits += std::uint64_t{stats.aligned[i]} * plan.alignedLengths[i];
            bits -= std::uint64_t{stats.aligned[i]} * 3;
        }
    }
    return bits;
}

std::uint64_t LzxEncoder::PlanBlock(const Stats& stats, BlockPlan& plan) const {
    BuildCodeLengths(stats.main, m_mainSize, kMaxCodeLength, plan.mainLengths);
    // The length tree is never left empty: some decoders reject empty trees.
    std::uint32_t lengthFreq[kLengthTreeSize];
    std::copy(std::begin(stats.length), std::end(stats.length), lengthFreq);
    if (std::all_of(std::begin(lengthFreq), std::end(lengthFreq),
                    [](std::uint32_t f) { return f == 0; })) {
        lengthFreq[0] = 1;
    }
    BuildCodeLengths(lengthFreq, kLengthTreeSize, kMaxCodeLength, plan.lengthLengths);
    std::uint32_t alignedFreq[kAlignedTreeSize];
    std::copy(std::begin(stats.aligned), std::end(stats.aligned), alignedFreq);
    plan.anyAligned = std::any_of(std::begin(alignedFreq), std::end(alignedFreq),
                                  [](std::uint32_t f) { return f != 0; });
    if (!plan.anyAligned) {
        std::fill(std::begin(alignedFreq), std::end(alignedFreq), 1);  // forced type only
    }
    BuildCodeLengths(alignedFreq, kAlignedTreeSize, kMaxAlignedCodeLength, plan.alignedLengths);

    TokenizeLengths(m_mainLengths, plan.mainLengths, 0, kNumChars, plan.tokens[0]);
    TokenizeLengths(m_mainLengths, plan.mainLengths, kNumChars, m_mainSize, plan.tokens[1]);
    TokenizeLengths(m_lengthLengths, plan.lengthLengths, 0, kLengthTreeSize, plan.tokens[2]);
    std::uint64_t treeBits = 0;
    for (int t = 0; t < 3; ++t) {
        treeBits += TreeCost(plan.tokens[t], plan.preLengths[t]);
    }
    constexpr std::uint64_t kBlockHeaderBits = 27;
    plan.type = BlockType::kVerbatim;
    const std::uint64_t verbatimBits =
        kBlockHeaderBits + treeBits + SymbolBits(stats, plan, m_mainSize);
    plan.type = BlockType::kAligned;
    const std::uint64_t alignedBits =
        kBlockHeaderBits + 24 + treeBits + SymbolBits(stats, plan, m_mainSize);
    const int forced = m_options.forceBlockType;
    if (forced == static_cast<int>(BlockType::kVerbatim) ||
        (forced == 0 && !(plan.anyAligned && alignedBits < verbatimBits))) {
        plan.type = BlockType::kVerbatim;
        return verbatimBits;
    }
    return alignedBits;
}

void LzxEncoder::SetPrices(const BlockPlan& plan, const Stats& stats) {
    std::copy(plan.mainLengths, plan.mainLengths + m_mainSize, m_priceMain);
    std::copy(std::begin(plan.lengthLengths), std::end(plan.lengthLengths), m_priceLength);
    std::uint64_t literalBits = 0;
    std::uint64_t literals = 0;
    for (int b = 0; b < kNumChars; ++b) {
        literalBits += std::uint64_t{stats.main[b]} * plan.mainLengths[b];
        literals += stats.main[b];
    }
    m_literalBits16 = literals ? static_cast<int>(16 * literalBits / literals) : 16 * 8;
}

void LzxEncoder::WriteHeaderOnce(LzxBitWriter& w) {
    if (!m_headerWritten) {
        w.Write(m_options.e8Translation ? 1 : 0, 1);
        if (m_options.e8Translation) {
            w.Write(m_options.e8TranslationSize >> 16, 16);
            w.Write(m_options.e8TranslationSize & 0xFFFF, 16);
        }
        m_headerWritten = true;
    }
}

void LzxEncoder::WriteStoredFrame(std::uint64_t start, std::size_t size) {
    const std::size_t before = m_t.ready.size();
    LzxBitWriter w(m_t.ready);
    WriteHeaderOnce(w);
    w.Write(static_cast<std::uint32_t>(BlockType::kUncompressed), 3);
    w.Write(static_cast<std::uint32_t>(size), 24);
    // 1..16 bits of padding: a full word when already aligned.
    w.Write(0, 16 - w.PendingBits());
    for (std::uint32_t r : m_r) {
        w.WriteRawLe32(r);
    }
    w.WriteRawBytes(At(start), size);
    if (size & 1) {
        w.WriteRawByte(0);
    }
    m_readySizes.push_back(static_cast<std::uint32_t>(m_t.ready.size() - before));
}

void LzxEncoder::CloseBlock() {
    if (m_heldSizes.empty()) {
        return;
    }
    BlockPlan& plan = m_mergedPlan;
    PlanBlock(m_blockStats, plan);
    std::size_t frameStart = m_t.ready.size();
    LzxBitWriter w(m_t.ready);
    WriteHeaderOnce(w);
    w.Write(static_cast<std::uint32_t>(plan.type), 3);
    w.Write(static_cast<std::uint32_t>(m_heldBytes), 24);
    const bool aligned = plan.type == BlockType::kAligned;
    if (aligned) {
        for (std::uint8_t len : plan.alignedLengths) {
            w.Write(len, 3);
        }
    }
    for (int t = 0; t < 3; ++t) {
        WriteTree(w, plan.tokens[t], plan.preLengths[t]);
    }
    std::uint16_t mainCodes[kMaxMainTreeSize];
    std::uint16_t lengthCodes[kLengthTreeSize];
    std::uint16_t alignedCodes[kAlignedTreeSize];
    BuildCodes(plan.mainLengths, m_mainSize, mainCodes);
    BuildCodes(plan.lengthLengths, kLengthTreeSize, lengthCodes);
    BuildCodes(plan.alignedLengths, kAlignedTreeSize, alignedCodes);
    std::size_t item = 0;
    for (std::size_t f = 0; f < m_heldSizes.size(); ++f) {
        for (; item < m_heldItemEnds[f]; ++item) {
            const Item& it = m_t.items[item];
            w.Write(mainCodes[it.main], plan.mainLengths[it.main]);
            if (it.lengthSymbol != kNoLength) {
                w.Write(lengthCodes[it.lengthSymbol], plan.lengthLengths[it.lengthSymbol]);
            }
            if (aligned && it.footerBits >= 3) {
                w.Write(it.footer >> 3, it.footerBits - 3);
                const std::uint32_t low = it.footer & 7;
                w.Write(alignedCodes[low], plan.alignedLengths[low]);
            } else {
                w.Write(it.footer, it.footerBits);
            }
        }
        // Each frame ends on a 16-bit boundary; the block goes on in the next.
        w.AlignTo16();
        m_readySizes.push_back(static_cast<std::uint32_t>(m_t.ready.size() - frameStart));
        frameStart = m_t.ready.size();
    }
    RememberLengths(plan);
    m_t.items.erase(m_t.items.begin(), m_t.items.begin() + static_cast<std::ptrdiff_t>(item));
    m_heldSizes.clear();
    m_heldItemEnds.clear();
    m_heldBytes = 0;
    m_blockStats.Clear();
}

void LzxEncoder::RememberLengths(const BlockPlan& plan) {
    // The next block's trees are coded against these.
    std::copy(plan.mainLengths, plan.mainLengths + m_mainSize, m_mainLengths);
    std::copy(std::begin(plan.lengthLengths), std::end(plan.lengthLengths), m_lengthLengths);
}

}  // namespace cabinet::lzx
