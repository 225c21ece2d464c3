// Reads the LZX bit stream of one frame: 16-bit little-endian words, bits most
// significant first. Past the end of the input it yields zero bits and counts
// them, so that a caller can reject a frame that needed more input than it has
// instead of reading outside the buffer.
#pragma once

#include <cstddef>
#include <cstdint>

namespace cabinet::lzx {

class LzxBitReader {
public:
    // The buffer must stay valid while the reader is used.
    void Reset(const std::uint8_t* data, std::size_t size) {
        m_data = data;
        m_size = size;
        m_pos = 0;
        m_buf = 0;
        m_left = 0;
    }

    // Makes at least n (<= 32) bits available.
    void Ensure(int n) {
        while (m_left < n) {
            std::uint32_t word = 0;
            if (m_pos + 1 < m_size) {
                word = m_data[m_pos] | (static_cast<std::uint32_t>(m_data[m_pos + 1]) << 8);
            } else if (m_pos < m_size) {
                word = m_data[m_pos];
            }
            m_pos += 2;
            m_buf |= static_cast<std::uint64_t>(word) << (48 - m_left);
            m_left += 16;
        }
    }
    // The next n (1..32) bits, not consumed; needs Ensure(n) first.
    std::uint32_t Peek(int n) const { return static_cast<std::uint32_t>(m_buf >> (64 - n)); }
    void Consume(int n) {
        m_buf <<= n;
        m_left -= n;
    }
    std::uint32_t Read(int n) {
        if (n == 0) {
            return 0;
        }
        Ensure(n);
        std::uint32_t v = Peek(n);
        Consume(n);
        return v;
    }

    // Bits consumed from the frame so far (including any zero bits past the end).
    std::uint64_t ConsumedBits() const { return static_cast<std::uint64_t>(m_pos) * 8 - m_left; }
    // True once more bits were consumed than the input holds.
    bool Overrun() const { return ConsumedBits() > static_cast<std::uint64_t>(m_size) * 8; }

    // Leaves the bit stream for raw bytes: drops 1..16 bits of padding up to the
    // next 16-bit boundary. The raw-byte calls below then read from there.
    void AlignForRawBytes() {
        int pad = 16 - static_cast<int>(ConsumedBits() % 16);
        Read(pad);
        // m_left is now a multiple of 16: hand the prefetched words back.
        m_pos -= static_cast<std::size_t>(m_left / 8);
        m_buf = 0;
        m_left = 0;
    }
    // Raw-byte reads; false when the input is too short. Only between
    // AlignForRawBytes and the next bit read.
    bool ReadRawBytes(std::uint8_t* out, std::size_t n) {
        if (m_pos > m_size || m_size - m_pos < n) {
            return false;
        }
        for (std::size_t i = 0; i < n; ++i) {
            out[i] = m_data[m_pos + i];
        }
        m_pos += n;
        return true;
    }
    const std::uint8_t* RawPointer() const { return m_data + m_pos; }
    std::size_t RawAvailable() const { return m_pos > m_size ? 0 : m_size - m_pos; }
    void SkipRaw(std::size_t n) { m_pos += n; }
    // Byte offset of the next raw byte within the frame's input.
    std::size_t RawOffset() const { return m_pos; }

private:
    const std::uint8_t* m_data = nullptr;
    std::size_t m_size = 0;
    std::size_t m_pos = 0;    // next byte to load into m_buf
    std::uint64_t m_buf = 0;  // left-aligned
    int m_left = 0;
};

}  // namespace cabinet::lzx
