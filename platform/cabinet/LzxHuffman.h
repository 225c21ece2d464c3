// Canonical Huffman codes of the LZX trees: length-limited code construction
// for the encoder, table-driven decoding for the decoder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/cabinet/LzxBitReader.h"

namespace cabinet::lzx {

// Computes code lengths (0 for unused symbols, else 1..maxLength) for n
// symbols from their frequencies. The code is always complete: a single used
// symbol gets a partner of length 1, so that strict decoders accept the tree;
// no used symbol at all gives all zeros. maxLength must allow n symbols.
void BuildCodeLengths(const std::uint32_t* freqs, int n, int maxLength, std::uint8_t* lengths);

// Canonical codes (shorter codes first, then by symbol) for the lengths.
void BuildCodes(const std::uint8_t* lengths, int n, std::uint16_t* codes);

// Decoding table for one tree. Build accepts complete codes, incomplete codes
// (decoding an unassigned code then fails) and the empty code (every decode
// fails); it rejects over-subscribed lengths.
class LzxDecodeTable {
public:
    // tableBits: width of the direct lookup (longer codes take a slow path).
    explicit LzxDecodeTable(int tableBits) : m_tableBits(tableBits) {}

    // lengths[i] <= kMaxCodeLength for i < n. false when over-subscribed.
    bool Build(const std::uint8_t* lengths, int n);

    // Next symbol, or -1 for a code that names no symbol.
    int Decode(LzxBitReader& in) const {
        in.Ensure(16);
        std::uint32_t entry = m_table[in.Peek(m_tableBits)];
        if (entry < kLongCode) {
            in.Consume(static_cast<int>(entry & 0x1F));
            return static_cast<int>(entry >> 5);
        }
        return entry == kLongCode ? DecodeLong(in) : -1;
    }

private:
    static constexpr std::uint16_t kLongCode = 0xFFFE;
    static constexpr std::uint16_t kInvalid = 0xFFFF;
    int DecodeLong(LzxBitReader& in) const;

    int m_tableBits;
    std::vector<std::uint16_t> m_table;
    // Canonical decoding for codes longer than the table: per length, the
    // first code, how many codes, and where its symbols start in m_sorted.
    std::uint32_t m_firstCode[17] = {};
    std::uint16_t m_count[17] = {};
    std::uint16_t m_offset[17] = {};
    std::vector<std::uint16_t> m_sorted;
};

}  // namespace cabinet::lzx
