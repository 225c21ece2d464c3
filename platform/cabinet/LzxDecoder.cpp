#include "platform/cabinet/LzxDecoder.h"

#include <algorithm>
#include <cstring>

#include "platform/cabinet/LzxE8.h"

namespace cabinet::lzx {

LzxDecoder::LzxDecoder(int windowBits)
    : m_windowBits(windowBits),
      m_numSlots(NumPositionSlots(windowBits)),
      m_mainSize(MainTreeSize(windowBits)),
      m_windowMask(0) {
    if (m_numSlots == 0) {
        m_failed = true;
        return;
    }
    Reset();
}

void LzxDecoder::GrowWindow(std::uint64_t end) {
    // Until the stream first fills the window nothing wraps, so a smaller
    // window that has room for everything decoded so far behaves the same;
    // a small folder then never touches the full window.
    const std::size_t full = std::size_t{1} << m_windowBits;
    if (m_window.size() >= full || end <= m_window.size()) {
        return;
    }
    std::size_t size = std::max(m_window.size(), kFrameSize);
    while (size < end && size < full) {
        size *= 4;
    }
    size = std::min(size, full);
    m_window.resize(size);
    m_windowMask = static_cast<std::uint32_t>(size - 1);
}

void LzxDecoder::Reset() {
    if (m_numSlots == 0) {
        return;
    }
    m_failed = false;
    m_headerRead = false;
    m_e8 = false;
    m_e8Size = 0;
    m_pos = 0;
    m_frameStart = 0;
    m_r[0] = m_r[1] = m_r[2] = 1;
    m_blockRemaining = 0;
    m_inRawBytes = false;
    std::memset(m_mainLengths, 0, sizeof m_mainLengths);
    std::memset(m_lengthLengths, 0, sizeof m_lengthLengths);
}

bool LzxDecoder::DecodeFrame(const std::uint8_t* in, std::size_t inSize, std::uint8_t* out,
                             std::size_t outSize) {
    if (m_failed || outSize > kFrameSize || (in == nullptr && inSize != 0)) {
        m_failed = true;
        return false;
    }
    if (outSize == 0) {
        return true;
    }
    m_in.Reset(in, inSize);
    if (!m_headerRead && !ReadStreamHeader()) {
        m_failed = true;
        return false;
    }
    const std::uint64_t frameEnd = m_frameStart + outSize;
    GrowWindow(frameEnd + kMaxMatch);
    while (m_pos < frameEnd) {
        if (m_blockRemaining == 0 && !ReadBlockHeader()) {
            m_failed = true;
            return false;
        }
        bool ok = m_blockType == BlockType::kUncompressed ? CopyUncompressed(frameEnd)
                                                          : DecodeSymbols(frameEnd);
        if (!ok || (!m_inRawBytes && m_in.Overrun())) {
            m_failed = true;
            return false;
        }
    }
    // Whatever input is left is the frame's padding: the next frame's bits
    // start at the beginning of the next block.
    CopyFrameOut(m_frameStart, out, outSize);
    if (m_e8) {
        E8Decode(out, outSize, m_e8Bias + m_frameStart, m_e8Size);
    }
    m_frameStart = frameEnd;
    return true;
}

bool LzxDecoder::ReadStreamHeader() {
    m_e8 = m_in.Read(1) != 0;
    if (m_e8) {
        std::uint32_t high = m_in.Read(16);
        std::uint32_t low = m_in.Read(16);
        m_e8Size = (high << 16) | low;
    }
    m_headerRead = true;
    return !m_in.Overrun();
}

bool LzxDecoder::ReadBlockHeader() {
    if (m_inRawBytes) {
        // An uncompressed block ended: an odd byte count is padded to restore
        // the 16-bit alignment of the bit stream that follows.
        if (m_in.RawOffset() & 1) {
            if (m_in.RawAvailable() < 1) {
                return false;
            }
            m_in.SkipRaw(1);
        }
        m_inRawBytes = false;
        // The bit reader restarts at the current byte.
    }
    const int type = static_cast<int>(m_in.Read(3));
    std::uint32_t size = m_in.Read(8) << 16;
    size |= m_in.Read(8) << 8;
    size |= m_in.Read(8);
    if (size == 0 || m_in.Overrun()) {
        return false;
    }
    switch (type) {
        case static_cast<int>(BlockType::kAligned):
            for (int i = 0; i < kAlignedTreeSize; ++i) {
                m_alignedLengths[i] = static_cast<std::uint8_t>(m_in.Read(3));
            }
            if (!m_alignedTree.Build(m_alignedLengths, kAlignedTreeSize)) {
                return false;
            }
            [[fallthrough]];
        case static_cast<int>(BlockType::kVerbatim):
            if (!ReadLengths(m_mainLengths, 0, kNumChars) ||
                !ReadLengths(m_mainLengths, kNumChars, m_mainSize) ||
                !m_mainTree.Build(m_mainLengths, m_mainSize) ||
                !ReadLengths(m_lengthLengths, 0, kLengthTreeSize) ||
                !m_lengthTree.Build(m_lengthLengths, kLengthTreeSize)) {
                return false;
            }
            break;
        case static_cast<int>(BlockType::kUncompressed): {
            m_in.AlignForRawBytes();
            std::uint8_t r[12];
            if (!m_in.ReadRawBytes(r, sizeof r)) {
                return false;
            }
            for (int k = 0; k < 3; ++k) {
                m_r[k] = r[4 * k] | (static_cast<std::uint32_t>(r[4 * k + 1]) << 8) |
                         (static_cast<std::uint32_t>(r[4 * k + 2]) << 16) |
                         (static_cast<std::uint32_t>(r[4 * k + 3]) << 24);
            }
            m_inRawBytes = true;
            break;
        }
        default:
            return false;
    }
    m_blockType = static_cast<BlockType>(type);
    m_blockRemaining = size;
    return !m_in.Overrun();
}

bool LzxDecoder::ReadLengths(std::uint8_t* lengths, int first, int last) {
    std::uint8_t pre[kPretreeSize];
    for (int i = 0; i < kPretreeSize; ++i) {
        pre[i] = static_cast<std::uint8_t>(m_in.Read(4));
    }
    if (!m_pretree.Build(pre, kPretreeSize)) {
        return false;
    }
    int i = first;
    while (i < last) {
        const int code = m_pretree.Decode(m_in);
        if (code < 0 || m_in.Overrun()) {
            return false;
        }
        if (code <= 16) {
            lengths[i] = static_cast<std::uint8_t>((lengths[i] + 17 - code) % 17);
            ++i;
            continue;
        }
        int run;
        int value = 0;
        if (code == kPretreeZeros4) {
            run = 4 + static_cast<int>(m_in.Read(4));
        } else if (code == kPretreeZeros20) {
            run = 20 + static_cast<int>(m_in.Read(5));
        } else {
            run = 4 + static_cast<int>(m_in.Read(1));
            const int delta = m_pretree.Decode(m_in);
            if (delta < 0 || delta > 16) {
                return false;
            }
            value = (lengths[i] + 17 - delta) % 17;
        }
        if (run > last - i) {
            return false;
        }
        std::memset(lengths + i, value, static_cast<std::size_t>(run));
        i += run;
    }
    return !m_in.Overrun();
}

bool LzxDecoder::DecodeSymbols(std::uint64_t frameEnd) {
    const std::uint64_t blockEnd = m_pos + m_blockRemaining;
    const std::uint64_t limit = std::min(frameEnd, blockEnd);
    const bool aligned = m_blockType == BlockType::kAligned;
    std::uint8_t* window = m_window.data();
    while (m_pos < limit) {
        int sym = m_mainTree.Decode(m_in);
        if (sym < kNumChars) {
            if (sym < 0) {
                return false;
            }
            window[m_pos & m_windowMask] = static_cast<std::uint8_t>(sym);
            ++m_pos;
            continue;
        }
        sym -= kNumChars;
        std::uint32_t length = static_cast<std::uint32_t>(sym & 7) + kMinMatch;
        if ((sym & 7) == kNumPrimaryLengths) {
            const int extra = m_lengthTree.Decode(m_in);
            if (extra < 0) {
                return false;
            }
            length += static_cast<std::uint32_t>(extra);
        }
        const int slot = sym >> 3;
        std::uint32_t offset;
        if (slot == 0) {
            offset = m_r[0];
        } else if (slot <= 2) {
            offset = m_r[slot];
            m_r[slot] = m_r[0];
            m_r[0] = offset;
        } else {
            const int bits = kFooterBits[slot];
            std::uint32_t footer;
            if (aligned && bits >= 3) {
                footer = m_in.Read(bits - 3) << 3;
                const int low = m_alignedTree.Decode(m_in);
                if (low < 0) {
                    return false;
                }
                footer |= static_cast<std::uint32_t>(low);
            } else {
                footer = m_in.Read(bits);
            }
            offset = kPositionBase[slot] + footer - 2;
            m_r[2] = m_r[1];
            m_r[1] = m_r[0];
            m_r[0] = offset;
        }
        if (m_pos + length > blockEnd || !CopyMatch(offset, length)) {
            return false;
        }
    }
    m_blockRemaining = static_cast<std::uint32_t>(blockEnd - m_pos);
    return true;
}

bool LzxDecoder::CopyMatch(std::uint32_t offset, std::uint32_t length) {
    // A match may not reach before the first byte of the folder, nor further
    // back than the window allows.
    if (offset == 0 || offset > m_pos || offset > MaxMatchOffset(m_windowBits)) {
        return false;
    }
    std::uint8_t* window = m_window.data();
    std::size_t dst = m_pos & m_windowMask;
    std::size_t src = (m_pos - offset) & m_windowMask;
    const std::size_t size = m_window.size();
    if (dst + length <= size && src + length <= size) {
        // After the window has wrapped, the source can lie just ahead of the
        // destination: only disjoint ranges may use memcpy.
        if (src + length <= dst || dst + length <= src) {
            std::memcpy(window + dst, window + src, length);
        } else if (dst > src && dst - src >= 8) {
            std::uint32_t done = 0;
            for (; done + 8 <= length; done += 8) {
                std::memcpy(window + dst + done, window + src + done, 8);
            }
            for (; done < length; ++done) {
                window[dst + done] = window[src + done];
            }
        } else {
            for (std::uint32_t k = 0; k < length; ++k) {
                window[dst + k] = window[src + k];
            }
        }
    } else {
        for (std::uint32_t k = 0; k < length; ++k) {
            window[(dst + k) & m_windowMask] = window[(src + k) & m_windowMask];
        }
    }
    m_pos += length;
    return true;
}

bool LzxDecoder::CopyUncompressed(std::uint64_t frameEnd) {
    std::uint64_t want = std::min<std::uint64_t>(frameEnd - m_pos, m_blockRemaining);
    while (want > 0) {
        const std::size_t dst = m_pos & m_windowMask;
        const std::size_t chunk =
            static_cast<std::size_t>(std::min<std::uint64_t>(want, m_window.size() - dst));
        if (!m_in.ReadRawBytes(m_window.data() + dst, chunk)) {
            return false;
        }
        m_pos += chunk;
        m_blockRemaining -= static_cast<std::uint32_t>(chunk);
        want -= chunk;
    }
    if (m_blockRemaining == 0 && m_pos < frameEnd) {
        // The next block starts within this frame; ReadBlockHeader realigns.
        return true;
    }
    return true;
}

void LzxDecoder::CopyFrameOut(std::uint64_t frameStart, std::uint8_t* out, std::size_t size) const {
    const std::size_t start = frameStart & m_windowMask;
    const std::size_t first = std::min(size, m_window.size() - start);
    std::memcpy(out, m_window.data() + start, first);
    if (first < size) {
        std::memcpy(out + first, m_window.data(), size - first);
    }
}

}  // namespace cabinet::lzx
