// Writes the LZX bit stream: bits are packed most significant first into
// 16-bit words, and each word is stored little-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace cabinet::lzx {

class LzxBitWriter {
public:
    // Appends to out, which must outlive the writer.
    explicit LzxBitWriter(std::vector<std::uint8_t>& out) : m_out(out) {}

    // Writes the low `bits` (0..32) bits of value.
    void Write(std::uint32_t value, int bits) {
        if (bits == 0) {
            return;
        }
        if (bits > 16) {
            Write(value >> 16, bits - 16);
            bits = 16;
        }
        m_acc = (m_acc << bits) | (value & ((1u << bits) - 1));
        m_count += bits;
        if (m_count >= 16) {
            m_count -= 16;
            std::uint32_t word = (m_acc >> m_count) & 0xFFFF;
            m_out.push_back(static_cast<std::uint8_t>(word));
            m_out.push_back(static_cast<std::uint8_t>(word >> 8));
        }
    }

    // Number of bits written since the last 16-bit boundary.
    int PendingBits() const { return m_count; }

    // Pads with 0..15 zero bits to the next 16-bit boundary.
    void AlignTo16() {
        if (m_count != 0) {
            Write(0, 16 - m_count);
        }
    }

    // Raw bytes go straight to the output; only valid on a 16-bit boundary.
    void WriteRawByte(std::uint8_t b) { m_out.push_back(b); }
    void WriteRawLe32(std::uint32_t v) {
        for (int i = 0; i < 4; ++i) {
            m_out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
        }
    }
    void WriteRawBytes(const std::uint8_t* p, std::size_t n) {
        m_out.insert(m_out.end(), p, p + n);
    }

private:
    std::vector<std::uint8_t>& m_out;
    std::uint32_t m_acc = 0;
    int m_count = 0;
};

}  // namespace cabinet::lzx
