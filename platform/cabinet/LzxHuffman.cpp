#include "platform/cabinet/LzxHuffman.h"

#include <algorithm>
#include <numeric>

#include "platform/cabinet/LzxConstants.h"

namespace cabinet::lzx {

void BuildCodeLengths(const std::uint32_t* freqs, int n, int maxLength, std::uint8_t* lengths) {
    std::fill(lengths, lengths + n, 0);
    std::vector<int> used;
    for (int i = 0; i < n; ++i) {
        if (freqs[i] != 0) {
            used.push_back(i);
        }
    }
    if (used.empty()) {
        return;
    }
    if (used.size() == 1) {
        lengths[used[0]] = 1;
        lengths[used[0] == 0 ? 1 : 0] = 1;
        return;
    }
    // Leaves by ascending frequency (ties by symbol, for determinism).
    std::stable_sort(used.begin(), used.end(), [&](int a, int b) { return freqs[a] < freqs[b]; });
    const int leaves = static_cast<int>(used.size());
    // Two-queue construction: leaves 0..leaves-1, internal nodes after them,
    // created in non-decreasing weight order.
    std::vector<std::uint64_t> weight(2 * leaves - 1);
    std::vector<int> parent(2 * leaves - 1, -1);
    for (int i = 0; i < leaves; ++i) {
        weight[i] = freqs[used[i]];
    }
    int nextLeaf = 0;
    int nextInner = leaves;
    auto takeSmallest = [&](int created) {
        if (nextLeaf < leaves && (nextInner >= created || weight[nextLeaf] <= weight[nextInner])) {
            return nextLeaf++;
        }
        return nextInner++;
    };
    for (int node = leaves; node < 2 * leaves - 1; ++node) {
        int a = takeSmallest(node);
        int b = takeSmallest(node);
        weight[node] = weight[a] + weight[b];
        parent[a] = node;
        parent[b] = node;
    }
    // Depths: the root is the last node; parents always come after children.
    std::vector<int> depth(2 * leaves - 1, 0);
    for (int node = 2 * leaves - 3; node >= 0; --node) {
        depth[node] = depth[parent[node]] + 1;
    }
    int maxDepth = 0;
    for (int i = 0; i < leaves; ++i) {
        maxDepth = std::max(maxDepth, depth[i]);
    }
    std::vector<int> count(std::max(maxDepth, maxLength) + 1, 0);
    for (int i = 0; i < leaves; ++i) {
        ++count[depth[i]];
    }
    // Length limiting on the per-length counts: take two leaves of the deepest
    // level, lift one to its parent's place and hang the other below the
    // deepest leaf that is still short enough. Keeps the code complete.
    for (int i = maxDepth; i > maxLength; --i) {
        while (count[i] > 0) {
            int j = i - 2;
            while (count[j] == 0) {
                --j;
            }
            count[i] -= 2;
            count[i - 1] += 1;
            count[j + 1] += 2;
            count[j] -= 1;
        }
    }
    // Shortest codes to the most frequent symbols.
    int leaf = leaves - 1;
    for (int len = 1; len <= maxLength; ++len) {
        for (int k = 0; k < count[len]; ++k) {
            lengths[used[leaf--]] = static_cast<std::uint8_t>(len);
        }
    }
}

void BuildCodes(const std::uint8_t* lengths, int n, std::uint16_t* codes) {
    int count[kMaxCodeLength + 1] = {};
    for (int i = 0; i < n; ++i) {
        ++count[lengths[i]];
    }
    count[0] = 0;
    std::uint32_t next[kMaxCodeLength + 2] = {};
    std::uint32_t code = 0;
    for (int len = 1; len <= kMaxCodeLength; ++len) {
        code = (code + count[len - 1]) << 1;
        next[len] = code;
    }
    for (int i = 0; i < n; ++i) {
        codes[i] = lengths[i] ? static_cast<std::uint16_t>(next[lengths[i]]++) : 0;
    }
}

bool LzxDecodeTable::Build(const std::uint8_t* lengths, int n) {
    std::uint16_t count[kMaxCodeLength + 1] = {};
    for (int i = 0; i < n; ++i) {
        if (lengths[i] > kMaxCodeLength) {
            return false;
        }
        ++count[lengths[i]];
    }
    count[0] = 0;
    // Kraft sum in units of 2^-16.
    std::uint32_t kraft = 0;
    for (int len = 1; len <= kMaxCodeLength; ++len) {
        kraft += static_cast<std::uint32_t>(count[len]) << (kMaxCodeLength - len);
    }
    if (kraft > (1u << kMaxCodeLength)) {
        return false;
    }
    std::uint32_t code = 0;
    std::uint16_t offset = 0;
    for (int len = 1; len <= kMaxCodeLength; ++len) {
        code = (code + (len > 1 ? count[len - 1] : 0)) << 1;
        if (len == 1) {
            code = 0;
        }
        m_firstCode[len] = code;
        m_count[len] = count[len];
        m_offset[len] = offset;
        offset = static_cast<std::uint16_t>(offset + count[len]);
    }
    m_sorted.assign(offset, 0);
    std::uint16_t fill[kMaxCodeLength + 1];
    std::copy(std::begin(m_offset), std::end(m_offset), fill);
    for (int i = 0; i < n; ++i) {
        if (lengths[i]) {
            m_sorted[fill[lengths[i]]++] = static_cast<std::uint16_t>(i);
        }
    }
    m_table.assign(std::size_t{1} << m_tableBits, kInvalid);
    for (int len = 1; len <= kMaxCodeLength; ++len) {
        for (int k = 0; k < m_count[len]; ++k) {
            std::uint32_t c = m_firstCode[len] + k;
            int sym = m_sorted[m_offset[len] + k];
            if (len <= m_tableBits) {
                std::uint32_t first = c << (m_tableBits - len);
                std::uint32_t span = 1u << (m_tableBits - len);
                auto entry = static_cast<std::uint16_t>((sym << 5) | len);
                std::fill(m_table.begin() + first, m_table.begin() + first + span, entry);
            } else {
                m_table[c >> (len - m_tableBits)] = kLongCode;
            }
        }
    }
    return true;
}

int LzxDecodeTable::DecodeLong(LzxBitReader& in) const {
    std::uint32_t bits = in.Peek(16);
    for (int len = m_tableBits + 1; len <= kMaxCodeLength; ++len) {
        std::uint32_t c = bits >> (kMaxCodeLength - len);
        if (c >= m_firstCode[len] && c - m_firstCode[len] < m_count[len]) {
            in.Consume(len);
            return m_sorted[m_offset[len] + (c - m_firstCode[len])];
        }
    }
    return -1;
}

}  // namespace cabinet::lzx
