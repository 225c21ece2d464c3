#include "Quillmere/cabinet/Blowfish.h"

#include <cstring>

namespace Cabinet {

namespace {

std::uint32_t LoadLe32(const BYTE* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

void StoreLe32(BYTE* p, std::uint32_t v) {
    p[0] = static_cast<BYTE>(v);
    p[1] = static_cast<BYTE>(v >> 8);
    p[2] = static_cast<BYTE>(v >> 16);
    p[3] = static_cast<BYTE>(v >> 24);
}

}  // namespace

CBlowfish::CBlowfish() {
    std::memcpy(m_p, kBlowfishInitP, sizeof m_p);
    std::memcpy(m_s, kBlowfishInitS, sizeof m_s);
}

namespace {

// The last key schedule made on this thread: a writer and a reader per sync
// mail set the same folder password again and again, and the schedule costs
// 521 block encryptions.
struct ScheduleCache {
    bool valid = false;
    std::uint8_t cycled[4 * (kBlowfishRounds + 2)];
    std::uint32_t p[kBlowfishRounds + 2];
    std::uint32_t s[4][256];
};

ScheduleCache& ThreadSchedule() {
    thread_local ScheduleCache cache;
    return cache;
}

}  // namespace

BOOL CBlowfish::SetKey(const BYTE* key, DWORD length) {
    m_keySet = 0;
    m_fillIndex = -1;
    if (key == nullptr || length == 0) {
        return FALSE;
    }
    // The key bytes as they are cycled into the P-words: all the schedule
    // depends on.
    std::uint8_t cycled[4 * (kBlowfishRounds + 2)];
    DWORD next = 0;
    for (auto& byte : cycled) {
        byte = key[next];
        next = (next + 1) % length;
    }
    ScheduleCache& cache = ThreadSchedule();
    if (cache.valid && std::memcmp(cache.cycled, cycled, sizeof cycled) == 0) {
        std::memcpy(m_p, cache.p, sizeof m_p);
        std::memcpy(m_s, cache.s, sizeof m_s);
        m_keySet = 1;
        return TRUE;
    }
    std::memcpy(m_p, kBlowfishInitP, sizeof m_p);
    std::memcpy(m_s, kBlowfishInitS, sizeof m_s);
    for (int w = 0; w < kBlowfishRounds + 2; ++w) {
        std::uint32_t data = 0;
        for (int i = 0; i < 4; ++i) {
            data = (data << 8) | cycled[4 * w + i];
        }
        m_p[w] ^= data;
    }
    std::uint32_t left = 0;
    std::uint32_t right = 0;
    for (int i = 0; i < kBlowfishRounds + 2; i += 2) {
        EncryptWords(left, right);
        m_p[i] = left;
        m_p[i + 1] = right;
    }
    for (auto& box : m_s) {
        for (int i = 0; i < 256; i += 2) {
            EncryptWords(left, right);
            box[i] = left;
            box[i + 1] = right;
        }
    }
    std::memcpy(cache.cycled, cycled, sizeof cycled);
    std::memcpy(cache.p, m_p, sizeof m_p);
    std::memcpy(cache.s, m_s, sizeof m_s);
    cache.valid = true;
    m_keySet = 1;
    return TRUE;
}

void CBlowfish::EncryptWords(std::uint32_t& left, std::uint32_t& right) const {
    std::uint32_t l = left;
    std::uint32_t r = right;
    for (int i = 0; i < kBlowfishRounds; i += 2) {
        l ^= m_p[i];
        r ^= Round(l);
        r ^= m_p[i + 1];
        l ^= Round(r);
    }
    left = r ^ m_p[kBlowfishRounds + 1];
    right = l ^ m_p[kBlowfishRounds];
}

void CBlowfish::DecryptWords(std::uint32_t& left, std::uint32_t& right) const {
    std::uint32_t l = left;
    std::uint32_t r = right;
    for (int i = kBlowfishRounds + 1; i > 1; i -= 2) {
        l ^= m_p[i];
        r ^= Round(l);
        r ^= m_p[i - 1];
        l ^= Round(r);
    }
    left = r ^ m_p[0];
    right = l ^ m_p[1];
}

void CBlowfish::EncryptBlock(BYTE* block) const {
    EncryptBlocks(block, 1);
}

void CBlowfish::DecryptBlock(BYTE* block) const {
    DecryptBlocks(block, 1);
}

void CBlowfish::EncryptBlocks(BYTE* blocks, std::size_t count) const {
    for (std::size_t n = 0; n < count; ++n, blocks += kBlockSize) {
        std::uint32_t left = LoadLe32(blocks);
        std::uint32_t right = LoadLe32(blocks + 4);
        EncryptWords(left, right);
        StoreLe32(blocks, left);
        StoreLe32(blocks + 4, right);
    }
}

void CBlowfish::DecryptBlocks(BYTE* blocks, std::size_t count) const {
    for (std::size_t n = 0; n < count; ++n, blocks += kBlockSize) {
        std::uint32_t left = LoadLe32(blocks);
        std::uint32_t right = LoadLe32(blocks + 4);
        DecryptWords(left, right);
        StoreLe32(blocks, left);
        StoreLe32(blocks + 4, right);
    }
}

}  // namespace Cabinet
